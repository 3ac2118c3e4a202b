// CPU cost of host commands through Main, against a deck that answers at once, and the heap
// allocations each one makes. Everything here runs in one thread; the deck is in memory.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "bench/lean_port.h"
#include "deck/serial/serial.h"
#include "plugin/records.h"

extern "C" int Main(int nCommand, DEVICE_CONTEXT* pContext, COMMAND_DATA* pData);

// Every heap allocation of the process is counted: malloc and its kin directly, and
// operator new, which is routed to the same counter without going through malloc twice.
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void __libc_free(void*);

namespace {
std::atomic<long> g_nAllocs{0};
}

extern "C" void* malloc(std::size_t size) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
extern "C" void free(void* p) {
    __libc_free(p);
}

void* operator new(std::size_t size) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = __libc_malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* p) noexcept {
    __libc_free(p);
}
void operator delete[](void* p) noexcept {
    __libc_free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    __libc_free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    __libc_free(p);
}

namespace {

constexpr int kPort = 1;

// One connected deck on the lean serial layer for the whole run.
struct Session {
    bench::LeanDeck deck;
    DEVICE_CONTEXT ctx{};
    COMMAND_DATA data{};
    bool connected = false;
    bool hookLive = false;

    Session() {
        serial::SetActivePort(&deck);
        ctx.nPort = kPort;
        ctx.nVideoFormat = 1;
        // Connecting creates the deck object on the heap; seeing it counted shows the hook works.
        const long before = g_nAllocs.load();
        connected = Main(5, &ctx, &data) == 1;
        hookLive = g_nAllocs.load() > before;
    }
};

Session& TheSession() {
    static Session s;
    return s;
}

// pending: the dwPending word set before every call (0 for none). expect: the result a
// healthy deck gives.
void HostCommand(benchmark::State& state, int command, uint32_t pending, int expect) {
    Session& s = TheSession();
    if (!s.connected) {
        state.SkipWithError("connect failed against the in-memory deck");
        return;
    }
    if (!s.hookLive) {
        state.SkipWithError("the allocation counter saw no allocation at connect");
        return;
    }
    s.ctx.nPosition = 250;  // 00:00:10:00 at 25 fps
    s.deck.ResetCounts();
    long bad = 0;
    const long before = g_nAllocs.load(std::memory_order_relaxed);
    for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
        s.ctx.dwPending = pending;
        const int r = Main(command, &s.ctx, &s.data);
        bad += r != expect;
        benchmark::DoNotOptimize(r);
        benchmark::ClobberMemory();
    }
    const long allocs = g_nAllocs.load(std::memory_order_relaxed) - before;
    if (bad != 0) {
        state.SkipWithError("a call gave an unexpected result");
        return;
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["allocs_per_call"] = static_cast<double>(allocs) / n;
    state.counters["bytes_per_call"] =
        static_cast<double>(s.deck.BytesOut() + s.deck.BytesIn()) / n;
}

void BM_Status33(benchmark::State& st) {
    HostCommand(st, 33, 0, 1);
}
void BM_Poll10Idle(benchmark::State& st) {
    HostCommand(st, 10, 0, 1);
}
void BM_Poll10Pending(benchmark::State& st) {
    HostCommand(st, 10, 2, 1);
}  // one 0x4B
void BM_Cue7(benchmark::State& st) {
    HostCommand(st, 7, 0, 1);
}
void BM_Position25(benchmark::State& st) {
    HostCommand(st, 25, 0, 1);
}

}  // namespace

int main(int argc, char** argv) {
    // --quick: one short pass, to prove the binary runs. --json PATH: where the runs go.
    bool quick = false;
    std::string json;
    std::vector<char*> args{argv[0]};
    std::vector<char*> extra;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else {
            extra.push_back(argv[i]);
        }
    }
    std::string out = "--benchmark_out=" + json;
    std::string format = "--benchmark_out_format=json";
    std::string reps = quick ? "--benchmark_repetitions=1" : "--benchmark_repetitions=9";
    std::string minTime = quick ? "--benchmark_min_time=0.001" : "--benchmark_min_time=0.1";
    args.push_back(reps.data());
    args.push_back(minTime.data());
    if (!json.empty()) {
        args.push_back(out.data());
        args.push_back(format.data());
    }
    args.insert(args.end(), extra.begin(), extra.end());  // the caller's flags win
    for (auto* b : {benchmark::RegisterBenchmark("status_33", BM_Status33),
                    benchmark::RegisterBenchmark("poll_10_idle", BM_Poll10Idle),
                    benchmark::RegisterBenchmark("poll_10_pending", BM_Poll10Pending),
                    benchmark::RegisterBenchmark("cue_7", BM_Cue7),
                    benchmark::RegisterBenchmark("position_25", BM_Position25)}) {
        b->Unit(benchmark::kMicrosecond);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) {
        return 2;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
