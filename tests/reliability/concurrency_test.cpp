// Several host threads through Main, one deck each, and two threads on one deck object:
// run under ThreadSanitizer, and every deck's trace must be whole frames, never interleaved.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "deck/vtr_device.h"
#include "fake_port.h"
#include "plugin/device_table.h"
#include "plugin/export.h"
#include "plugin/records.h"
#include "pty_deck.h"
#include "tools/decks/format_gate.h"

namespace {

using reliability::FrameCount;
using reliability::PtyDeck;

constexpr int kDecks = 8;
constexpr int kCommandsInAll = 10000;

// Each command a host thread cycles through, with what a healthy deck makes it return
// (-1: depends on the deck's transport at that moment).
struct Step {
    int command;
    int expect;
};
constexpr Step kCycle[] = {
    {10, 1}, {17, -1}, {18, 1}, {24, 1},  {25, 1}, {29, 1}, {33, -1}, {44, 1},
    {47, 1}, {53, 1},  {9, 1},  {16, -1}, {7, -1}, {8, -1}, {30, 1},  {25, 1},
};

// Bytes of the context the plug-in may write in these commands; every other byte is canary.
bool PluginField(std::size_t off) {
    auto in = [off](std::size_t at, std::size_t size) { return off >= at && off < at + size; };
    return in(offsetof(DEVICE_CONTEXT, pDevice), 4) || in(offsetof(DEVICE_CONTEXT, nState), 4) ||
           in(offsetof(DEVICE_CONTEXT, dwPending), 4) ||
           in(offsetof(DEVICE_CONTEXT, bAnswer18), 4) ||
           in(offsetof(DEVICE_CONTEXT, bAnswer29), 4) ||
           in(offsetof(DEVICE_CONTEXT, bAnswer30), 4) ||
           in(offsetof(DEVICE_CONTEXT, nVideoFormat), 4);
}

struct HostRecord {
    alignas(8) BYTE ctxBuf[sizeof(DEVICE_CONTEXT) + 64];
    alignas(8) BYTE dataBuf[sizeof(COMMAND_DATA) + 64];
    BYTE ctxCanary[sizeof ctxBuf];
    DEVICE_CONTEXT& ctx() { return *reinterpret_cast<DEVICE_CONTEXT*>(ctxBuf); }
    COMMAND_DATA& data() { return *reinterpret_cast<COMMAND_DATA*>(dataBuf); }

    explicit HostRecord(int port) {
        for (std::size_t i = 0; i < sizeof ctxBuf; ++i) {
            ctxBuf[i] = static_cast<BYTE>(0xA5 ^ (i * 11));
        }
        std::memset(dataBuf, 0x3C, sizeof dataBuf);
        ctx().pDevice = 0;
        ctx().nPort = port;
        ctx().nVideoFormat = 1;  // one video format for every record: g_nVideoFormat is shared
        ctx().nPosition = 25 * 60;
        ctx().nCueOffset = 25 * 30;
        ctx().nSpeed = 2;
        ctx().dwOptions = 0;
        ctx().dwPending = 0;
        std::memcpy(ctxCanary, ctxBuf, sizeof ctxBuf);
    }
};

struct HostResult {
    int calls = 0;
    int unexpected = 0;
    int timeReads = 0;
    int varSpeeds = 0;
    std::string firstProblem;
};

void DriveDeck(HostRecord& rec, int commands, HostResult* out) {
    if (Main(5, &rec.ctx(), &rec.data()) != 1) {
        out->firstProblem = "connect failed";
        return;
    }
    const uint32_t handle = rec.ctx().pDevice;
    for (int i = 0; i < commands; ++i) {
        const Step& s = kCycle[i % (sizeof kCycle / sizeof kCycle[0])];
        const int r = Main(s.command, &rec.ctx(), &rec.data());
        ++out->calls;
        out->timeReads += s.command == 25;
        out->varSpeeds += s.command == 53;
        const bool bad = (s.expect >= 0 && r != s.expect) || rec.ctx().pDevice != handle ||
                         rec.ctx().nVideoFormat != 1;
        if (bad && out->unexpected++ == 0) {
            out->firstProblem = "command " + std::to_string(s.command) + " returned " +
                                std::to_string(r) + " at call " + std::to_string(i);
        }
    }
    Main(6, &rec.ctx(), &rec.data());
}

// Whole frames, the deck never refused or failed to parse one, and the counts the host knows.
void CheckTrace(const PtyDeck& deck, int timeReads, int varSpeeds) {
    FrameCount count;
    std::size_t badAt = 0;
    const auto bytes = deck.Received();
    ASSERT_TRUE(reliability::SplitFrames(bytes, &count, &badAt))
        << "deck on port " << deck.port() << ": broken frame at byte " << badAt << " of "
        << bytes.size();
    for (const std::string& line : deck.Trace()) {
        ASSERT_EQ(line.find("-bad"), std::string::npos) << line;
        ASSERT_EQ(line.find("unknown"), std::string::npos) << line;
        ASSERT_EQ(line.find("refused"), std::string::npos) << line;
    }
    EXPECT_EQ(count.time, timeReads) << "port " << deck.port();
    EXPECT_EQ(count.varSpeed, varSpeeds) << "port " << deck.port();
    EXPECT_GT(count.cue, 0) << "port " << deck.port();
}

TEST(Concurrency, EightHostThreadsEightDecksTenThousandCommands) {
    std::vector<std::unique_ptr<PtyDeck>> decks;
    std::vector<std::unique_ptr<HostRecord>> records;
    for (int i = 0; i < kDecks; ++i) {
        decks.push_back(std::make_unique<PtyDeck>(41 + i));
        records.push_back(std::make_unique<HostRecord>(41 + i));
    }
    std::array<HostResult, kDecks> results{};
    std::vector<std::thread> hosts;
    for (int i = 0; i < kDecks; ++i) {
        hosts.emplace_back(DriveDeck, std::ref(*records[i]), kCommandsInAll / kDecks, &results[i]);
    }
    for (auto& t : hosts) {
        t.join();
    }
    int calls = 0;
    for (int i = 0; i < kDecks; ++i) {
        SCOPED_TRACE("deck " + std::to_string(i));
        calls += results[i].calls;
        EXPECT_EQ(results[i].unexpected, 0) << results[i].firstProblem;
        EXPECT_TRUE(results[i].firstProblem.empty()) << results[i].firstProblem;
        for (std::size_t b = 0; b < sizeof records[i]->ctxBuf; ++b) {
            if (!PluginField(b)) {
                ASSERT_EQ(records[i]->ctxBuf[b], records[i]->ctxCanary[b])
                    << "byte 0x" << std::hex << b;
            }
        }
        CheckTrace(*decks[i], results[i].timeReads, results[i].varSpeeds);
    }
    EXPECT_EQ(calls, kCommandsInAll);
    EXPECT_EQ(device_table::LiveCount(), 0u);
}

TEST(Concurrency, TwoThreadsOnOneDeckObjectNeverInterleave) {
    PtyDeck deck(49);
    CVtrDevice dev;
    ASSERT_TRUE(dev.Open(49));
    deck.WaitQuiet(std::chrono::milliseconds(50), std::chrono::seconds(2));
    deck.ClearTrace();  // the open's own sense is not part of the count
    constexpr int kRounds = 300;
    std::atomic<int> failures{0};
    std::thread a([&] {
        for (int i = 0; i < kRounds; ++i) {
            failures += !dev.SenseStatus();
            dev.ReadTime();
        }
    });
    std::thread b([&] {
        for (int i = 0; i < kRounds; ++i) {
            failures += dev.SenseVideoSystem() != 1;
            failures += dev.Cue(0, 1, static_cast<BYTE>(i % 60), 0, TRUE) != 1;
            failures += dev.VarSpeedForward(2) != 1;
        }
    });
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    dev.Close();
    deck.WaitQuiet(std::chrono::milliseconds(50), std::chrono::seconds(2));
    FrameCount count;
    std::size_t badAt = 0;
    const auto bytes = deck.Received();
    ASSERT_TRUE(reliability::SplitFrames(bytes, &count, &badAt)) << "broken frame at " << badAt;
    // Each operation's frames arrive whole: exactly the frames the two threads sent.
    EXPECT_EQ(count.status1, kRounds);
    EXPECT_EQ(count.time, kRounds);
    EXPECT_EQ(count.cue, kRounds);
    EXPECT_EQ(count.varSpeed, kRounds);
    // One more when the first time read came before the first sense and had to sense itself.
    EXPECT_GE(count.videoSystem, kRounds);
    EXPECT_LE(count.videoSystem, kRounds + 1);
}

// The process-wide port table is set up by whichever deck object is built first; two host
// threads connecting at the same moment must not race on it.
TEST(Concurrency, FirstDeckObjectsBuiltOnTwoThreadsAtOnce) {
    testing_support::FakePort fake;
    std::atomic<bool> go{false};
    auto build = [&] {
        while (!go.load()) {
        }
        CVtrDevice dev(fake);
        EXPECT_EQ(dev.Port(), 0);
    };
    std::thread a(build);
    std::thread b(build);
    go = true;
    a.join();
    b.join();
}

// Records at two video formats, driven at once through the gate: the module's one format for
// the process is always the calling record's, so every cue carries its own target's digits
// and every time read comes back as the same count. Format 1 counts 25 a second, 0x400 50.
struct FormatHost {
    int format;
    int target;  // 00:01:00:00 at the format's rate
    int wrongCues = 0;
    int wrongReads = 0;
};

void DriveThroughGate(panel::FormatGate& gate, HostRecord& rec, FormatHost* host) {
    rec.ctx().nVideoFormat = host->format;
    rec.ctx().nPosition = host->target;
    const auto call = [&](int command) {
        const panel::FormatGate::Pass pass = gate.Enter(rec.ctx().nVideoFormat);
        return Main(command, &rec.ctx(), &rec.data());
    };
    if (call(5) != 1) {
        host->wrongCues = -1;
        return;
    }
    for (int i = 0; i < 150; ++i) {
        host->wrongCues += call(7) != 1;
        call(25);
        host->wrongReads += rec.data().nFrames != host->target;
    }
    call(6);
}

TEST(Concurrency, TwoVideoFormatsAtOnceThroughTheGate) {
    const decksim::DeckTiming quick{std::chrono::milliseconds(0), std::chrono::milliseconds(0),
                                    60.0, std::chrono::milliseconds(0)};
    std::vector<std::unique_ptr<PtyDeck>> decks;
    std::vector<std::unique_ptr<HostRecord>> records;
    std::array<FormatHost, 4> hosts{{{1, 1500}, {0x400, 3000}, {1, 1500}, {0x400, 3000}}};
    for (int i = 0; i < 4; ++i) {
        decks.push_back(std::make_unique<PtyDeck>(51 + i, 1, quick));
        records.push_back(std::make_unique<HostRecord>(51 + i));
    }
    panel::FormatGate gate;
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i) {
        threads.emplace_back(DriveThroughGate, std::ref(gate), std::ref(*records[i]), &hosts[i]);
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_GT(gate.Switches(), 10u);  // the formats did take turns
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE("deck " + std::to_string(i));
        EXPECT_EQ(hosts[i].wrongCues, 0);
        EXPECT_EQ(hosts[i].wrongReads, 0);
        const auto bytes = decks[i]->Received();
        int cues = 0;
        for (std::size_t at = 0; at + 10 <= bytes.size(); ++at) {
            if (bytes[at] == 0xDF && bytes[at + 1] == 0x93) {
                ++cues;
                EXPECT_EQ(std::string(bytes.begin() + at + 2, bytes.begin() + at + 10), "00010000");
            }
        }
        EXPECT_EQ(cues, 150);
    }
}

// While a format waits, a newcomer of the format inside waits behind it: were it let in, a
// stream of such calls would keep the other format out for ever.
TEST(Concurrency, GateLetsNoNewcomerOvertakeAWaitingFormat) {
    panel::FormatGate gate;
    std::optional<panel::FormatGate::Pass> inside(gate.Enter(1));
    std::vector<int> order;  // formats in the order they got in
    std::mutex orderMutex;
    const auto enter = [&](int32_t format) {
        const panel::FormatGate::Pass pass = gate.Enter(format);
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(format);
    };
    const auto waiting = [&gate](int n) {
        for (int i = 0; i < 1000 && gate.Waiting() < n; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return gate.Waiting();
    };
    std::thread other(enter, 0x400);
    ASSERT_EQ(waiting(1), 1) << "the other format must wait while format 1 is inside";
    std::thread newcomer(enter, 1);
    EXPECT_EQ(waiting(2), 2) << "a newcomer of the format inside went past the waiting one";
    EXPECT_EQ(gate.Inside(), 1);
    inside.reset();
    other.join();
    newcomer.join();
    EXPECT_EQ(order, (std::vector<int>{0x400, 1}));
}

}  // namespace
