// Long runs through Main against a deck on a pty: descriptors, heap and the handle table must
// come back to where they started.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>

#include "plugin/device_table.h"
#include "plugin/export.h"
#include "plugin/records.h"
#include "pty_deck.h"

namespace {

using reliability::HeapInUse;
using reliability::OpenFdCount;

constexpr int kCycles = 10000;
constexpr int kPolls = 100000;
// Room for what the deck's own thread holds for a moment while it answers; a leak of even one
// small block per cycle is many times this.
constexpr std::size_t kHeapSlack = 4096;

struct Record {
    alignas(8) BYTE ctxBuf[sizeof(DEVICE_CONTEXT)] = {};
    COMMAND_DATA data{};
    DEVICE_CONTEXT& ctx() { return *reinterpret_cast<DEVICE_CONTEXT*>(ctxBuf); }
    explicit Record(int port) {
        ctx().nPort = port;
        ctx().nVideoFormat = 1;
    }
};

struct Snapshot {
    int fds;
    std::size_t heap;
    std::size_t slots;
    std::size_t live;
};

Snapshot Take() {
    return {OpenFdCount(), HeapInUse(), device_table::SlotCount(), device_table::LiveCount()};
}

void ExpectBack(const Snapshot& before, const Snapshot& after, const char* what, double secs,
                int count) {
    std::printf("%s: %d in %.1f s; fds %d -> %d, heap %zu -> %zu bytes, slots %zu -> %zu\n", what,
                count, secs, before.fds, after.fds, before.heap, after.heap, before.slots,
                after.slots);
    EXPECT_EQ(after.fds, before.fds);
    EXPECT_LE(after.heap, before.heap + kHeapSlack);
    EXPECT_EQ(after.slots, before.slots);
    EXPECT_EQ(after.live, before.live);
}

TEST(Soak, TenThousandConnectDisconnectCycles) {
    reliability::PtyDeck deck(71, 1, {}, /*trace=*/false);
    reliability::PatientPort patient;  // what is counted is descriptors and heap, not the 50 ms
    Record rec(71);
    // One round first, so the lazily built tables count as the starting point.
    ASSERT_EQ(Main(5, &rec.ctx(), &rec.data), 1);
    ASSERT_EQ(Main(6, &rec.ctx(), &rec.data), 1);
    const Snapshot before = Take();
    const auto t0 = std::chrono::steady_clock::now();
    int failures = 0;
    for (int i = 0; i < kCycles; ++i) {
        failures += Main(5, &rec.ctx(), &rec.data) != 1;
        failures += rec.ctx().pDevice == 0;
        failures += Main(6, &rec.ctx(), &rec.data) != 1;
        failures += rec.ctx().pDevice != 0;
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(failures, 0);
    ExpectBack(before, Take(), "connect/disconnect cycles", secs, kCycles);
    RecordProperty("seconds", std::to_string(secs));
}

TEST(Soak, HundredThousandPolls) {
    reliability::PtyDeck deck(72, 1, {}, /*trace=*/false);
    Record rec(72);
    ASSERT_EQ(Main(5, &rec.ctx(), &rec.data), 1);
    ASSERT_EQ(Main(10, &rec.ctx(), &rec.data), 1);
    const Snapshot before = Take();
    const auto t0 = std::chrono::steady_clock::now();
    int failures = 0;
    for (int i = 0; i < kPolls; ++i) {
        rec.ctx().nState = 0;
        failures += Main(10, &rec.ctx(), &rec.data) != 1;
        failures += rec.ctx().nState != 1;  // nothing pending, idle state 1
    }
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(failures, 0);
    ExpectBack(before, Take(), "polls", secs, kPolls);
    RecordProperty("seconds", std::to_string(secs));
    EXPECT_EQ(Main(6, &rec.ctx(), &rec.data), 1);
}

}  // namespace
