// Every host command that talks to the deck, against every way a deck can fail, end to end
// over a pty through the real serial layer: the command must return within its time-outs,
// report the failure as the host interface says, write nothing else, and the next command
// must work once the deck behaves again.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <set>
#include <string>
#include <thread>

#include "host_fixture.h"
#include "plugin/export.h"
#include "plugin/records.h"
#include "pty_deck.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing_support::WritableFields;

enum class Fault { kSilent, kNak, kShort, kGarbage, kLate, kHangup, kRandom };

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::kSilent:
            return "silent";
        case Fault::kNak:
            return "nak";
        case Fault::kShort:
            return "short";
        case Fault::kGarbage:
            return "garbage";
        case Fault::kLate:
            return "late";
        case Fault::kHangup:
            return "hangup";
        case Fault::kRandom:
            return "random";
    }
    return "?";
}

// Each command with the most one-byte-or-block reads it can make, each bounded by the 50 ms
// time-out, and any pauses of its own.
struct Command {
    int number;
    int maxReads;
    int pauseMs;
};
constexpr Command kCommands[] = {
    {5, 2, 0},   // status sense at open
    {7, 15, 0},  // sense, video-system sense, 11-byte cue
    {8, 28, 0},  // sense, then a negative target: two cues, each sensing the system first
    {9, 1, 0},
    {10, 3, 0},  // poll with bit 1 pending: sense, then 0x4B
    {16, 2, 0},
    {17, 2, 0},
    {18, 2, 0},
    {24, 2, 0},
    {25, 5, 0},  // video-system sense, time read,
                 // video-system sense
    {29, 2, 0},
    {30, 6, 30},
    {33, 2, 0},
    {44, 2, 0},
    {47, 1, 0},
    {53, 2, 0},
};
void PrintTo(const Command& c, std::ostream* os) {
    *os << "command " << c.number;
}
void PrintTo(Fault f, std::ostream* os) {
    *os << FaultName(f);
}

constexpr int kTimeoutMs = 50;
constexpr int kMarginMs = 500;  // pty round trips and sanitizer slowdown
constexpr int kPort = 61;
constexpr int32_t kUnset = 85;  // what the answer fields hold before the call

decksim::DeckTiming QuickDeck() {
    // Transitions settle fast, so the deck is at rest again soon after a fault.
    decksim::DeckTiming t;
    t.settle = milliseconds(20);
    t.thread = milliseconds(40);
    t.cueMax = milliseconds(100);
    return t;
}

class FaultMatrix : public testing::TestWithParam<std::tuple<Command, Fault>> {
  protected:
    FaultMatrix() : deck(kPort, 1, QuickDeck()) {
        for (std::size_t i = 0; i < sizeof ctxBuf; ++i) {
            ctxBuf[i] = static_cast<BYTE>(0x96 ^ (i * 5));
        }
        for (std::size_t i = 0; i < sizeof dataBuf; ++i) {
            dataBuf[i] = static_cast<BYTE>(0x69 ^ (i * 3));
        }
        ctx().pDevice = 0;
        ctx().nPort = kPort;
        ctx().nVideoFormat = 1;
        Prime();
    }
    ~FaultMatrix() override { Main(6, &ctx(), &data()); }

    DEVICE_CONTEXT& ctx() { return *reinterpret_cast<DEVICE_CONTEXT*>(ctxBuf); }
    COMMAND_DATA& data() { return *reinterpret_cast<COMMAND_DATA*>(dataBuf); }

    // The fields the commands read, and the ones they may write set to known values.
    void Prime() {
        ctx().nPosition = 25 * 3600;        // 01:00:00:00
        ctx().nCueOffset = 25 * 3600 + 50;  // command 8 then cues to minus two seconds
        ctx().nSpeed = 2;
        ctx().dwOptions = 0;
        ctx().dwPending = 2;  // the poll sends 0x4B
        ctx().nState = 5;
        ctx().bAnswer18 = kUnset;
        ctx().bAnswer29 = kUnset;
        ctx().bAnswer30 = kUnset;
        ctx().nVideoFormat = 1;
        data().nFrames = kUnset;
    }

    void ApplyFault(Fault f) {
        auto& srv = deck.server();
        switch (f) {
            case Fault::kSilent:
                ASSERT_EQ(srv.Control("fault silent"), "ok");
                break;
            case Fault::kNak:
                ASSERT_EQ(srv.Control("fault nak"), "ok");
                break;
            case Fault::kShort:
                ASSERT_EQ(srv.Control("fault short"), "ok");
                break;
            case Fault::kGarbage:
                ASSERT_EQ(srv.Control("fault garbage"), "ok");
                break;
            // Later than any command here lasts: a reply just past the time-out can land in
            // the command's next exchange and pass for its answer, as nothing on the wire
            // tells them apart (seen with command 30's retries).
            case Fault::kLate:
                ASSERT_EQ(srv.Control("fault late 400"), "ok");
                break;
            case Fault::kRandom:
                ASSERT_EQ(srv.Control("fault random 3"), "ok");
                break;
            case Fault::kHangup:
                // The deck takes the first byte, answers part of it, and the line drops.
                ASSERT_EQ(srv.Control("fault short"), "ok");
                deck.OnNextByte([&srv] { srv.Hangup(milliseconds(150)); });
                break;
        }
    }

    alignas(8) BYTE ctxBuf[sizeof(DEVICE_CONTEXT) + 64];
    alignas(8) BYTE dataBuf[sizeof(COMMAND_DATA) + 64];
    reliability::PtyDeck deck;
    // The setting up and the recovery wait as long as a loaded machine needs; the command
    // under its fault meets the module's own time-out.
    reliability::PatientPort patient;
};

// What the host interface gives when every exchange of the command fails. `cueBlocked` is
// status byte 0 bit 3 as the last good sense left it.
void ExpectFailedExchange(int cmd, int r, const DEVICE_CONTEXT& c, const COMMAND_DATA& d,
                          bool cueBlocked) {
    switch (cmd) {
        case 5:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(c.pDevice, 0u);
            EXPECT_EQ(c.nState, 5);
            break;
        case 7:
        case 8:
        case 9:
        case 16:
        case 17:
        case 18:
        case 29:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(c.nState, 5);
            EXPECT_EQ(c.bAnswer18, kUnset);
            EXPECT_EQ(c.bAnswer29, kUnset);
            break;
        case 10:
            EXPECT_EQ(r, 0);  // the 0x4B went unanswered
            EXPECT_EQ(c.dwPending, 0u);
            EXPECT_EQ(c.nState, 7);
            break;
        case 24:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nState, cueBlocked ? 0 : 5);
            break;
        case 25:
            EXPECT_EQ(r, 0);  // a failed time read says so
            EXPECT_EQ(d.nFrames, 0);
            break;
        case 30:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.bAnswer30, 0);
            break;
        case 33:
            EXPECT_EQ(r, cueBlocked ? 0 : 1);
            break;
        case 44:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nVideoFormat, 0);
            break;
        case 47:
        case 53:
            EXPECT_EQ(r, 1);
            break;
        default:
            FAIL() << "no expectation for command " << cmd;
    }
}

// Garbled replies are never the acknowledge, but status replies arrive whole with bits
// nobody can predict.
void ExpectGarbled(int cmd, int r, const DEVICE_CONTEXT& c, const COMMAND_DATA& d) {
    switch (cmd) {
        case 5:
            EXPECT_EQ(r, 1);  // five bytes each: a deck, as far as the plug-in can tell
            EXPECT_NE(c.pDevice, 0u);
            EXPECT_EQ(c.nState, 0);
            break;
        case 7:
        case 8:
        case 9:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(c.nState, 5);
            break;
        case 10:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(c.dwPending, 0u);
            EXPECT_EQ(c.nState, 7);
            break;
        case 16:
            EXPECT_TRUE((r == 1 && c.nState == 3) || (r == 0 && c.nState == 5));
            break;
        case 17:
        case 33:
            EXPECT_TRUE(r == 0 || r == 1);
            break;
        case 18:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(c.bAnswer18 == 0 || c.bAnswer18 == 1);
            break;
        case 24:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(c.nState == 0 || c.nState == 5);
            break;
        case 25:
            EXPECT_EQ(r, 0);
            EXPECT_EQ(d.nFrames, 0);  // the video system never reads back, so no time read
            break;
        case 29:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(c.bAnswer29 == 0 || c.bAnswer29 == 1);
            break;
        case 30:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(c.bAnswer30 == 0 || c.bAnswer30 == 1);
            break;
        case 44:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nVideoFormat, 0);
            break;
        case 47:
        case 53:
            EXPECT_EQ(r, 1);
            break;
        default:
            FAIL() << "no expectation for command " << cmd;
    }
}

// A few random bytes in place of the first reply, then a well deck: a first exchange that is
// a status read fails; what follows works.
void ExpectRandomThenRecover(int cmd, int r, const DEVICE_CONTEXT& c, const COMMAND_DATA& d,
                             bool cueBlocked) {
    switch (cmd) {
        case 5:
        case 7:
        case 8:
        case 16:
        case 17:
        case 18:
        case 24:
        case 29:
        case 33:
            ExpectFailedExchange(cmd, r, c, d, cueBlocked);
            break;
        case 10:
            EXPECT_EQ(r, 1);  // the sense failed, the 0x4B after it went through
            EXPECT_EQ(c.dwPending, 0u);
            EXPECT_EQ(c.nState, 7);
            break;
        case 30:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.bAnswer30, 1);  // the second sense found the deck ready
            break;
        case 9:
            EXPECT_TRUE((r == 1 && c.nState == 5) || (r == 0 && c.nState == 5));
            break;
        case 25:
            // The random bytes may or may not spoil the video-system question before the read.
            EXPECT_TRUE(r == 1 || (r == 0 && d.nFrames == 0));
            break;
        case 44:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(c.nVideoFormat == 0 || c.nVideoFormat == 1);
            break;
        case 47:
        case 53:
            EXPECT_EQ(r, 1);
            break;
        default:
            FAIL() << "no expectation for command " << cmd;
    }
}

// A deck at rest after the fault, answering: what each command gives.
void ExpectHealthy(int cmd, int r, const DEVICE_CONTEXT& c) {
    switch (cmd) {
        case 5:
            EXPECT_EQ(r, 1);
            EXPECT_NE(c.pDevice, 0u);
            EXPECT_EQ(c.nState, 0);
            break;
        case 7:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nState, 2);
            break;
        case 8:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nState, 4);
            break;
        case 9:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nState, 5);
            break;
        case 10:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.dwPending, 0u);
            EXPECT_EQ(c.nState, 7);
            break;
        case 16:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nState, 3);
            break;
        case 18:
            EXPECT_EQ(r, 1);
            EXPECT_TRUE(c.bAnswer18 == 0 || c.bAnswer18 == 1);
            break;
        case 29:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.bAnswer29, 1);
            break;
        case 30:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.bAnswer30, 1);
            break;
        case 44:
            EXPECT_EQ(r, 1);
            EXPECT_EQ(c.nVideoFormat, 1);
            break;
        case 17:
        case 24:
        case 25:
        case 33:
        case 47:
        case 53:
            EXPECT_EQ(r, 1);
            break;
        default:
            FAIL() << "no expectation for command " << cmd;
    }
}

TEST_P(FaultMatrix, FailsInTimeWritesOnlyItsFieldsAndTheNextCommandWorks) {
    const auto [command, fault] = GetParam();
    const int cmd = command.number;
    bool cueBlocked = false;
    if (cmd != 5) {
        ASSERT_EQ(Main(5, &ctx(), &data()), 1);
        cueBlocked = Main(33, &ctx(), &data()) == 0;  // refreshes the status bytes
        Prime();
    }
    deck.WaitQuiet(milliseconds(30), milliseconds(1000));
    ApplyFault(fault);
    const unsigned lineBefore = deck.server().LineGeneration();
    patient.Patient(false);

    BYTE ctxBefore[sizeof ctxBuf];
    BYTE dataBefore[sizeof dataBuf];
    std::memcpy(ctxBefore, ctxBuf, sizeof ctxBuf);
    std::memcpy(dataBefore, dataBuf, sizeof dataBuf);
    const auto t0 = Clock::now();
    const int r = Main(cmd, &ctx(), &data());
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    patient.Patient(true);

    const int bound = command.maxReads * kTimeoutMs + command.pauseMs + kMarginMs;
    RecordProperty("took_ms", static_cast<int>(took));
    EXPECT_LE(took, bound) << "command " << cmd << " under " << FaultName(fault);

    // Nothing outside the command's own fields moved, in either record or past them.
    std::vector<bool> ctxMay(sizeof ctxBuf, false);
    std::vector<bool> dataMay(sizeof dataBuf, false);
    for (const auto& [inContext, f] : WritableFields(cmd)) {
        for (std::size_t i = 0; i < f.size; ++i) {
            (inContext ? ctxMay : dataMay)[f.offset + i] = true;
        }
    }
    for (std::size_t i = 0; i < sizeof ctxBuf; ++i) {
        if (!ctxMay[i]) {
            ASSERT_EQ(ctxBuf[i], ctxBefore[i]) << "context byte 0x" << std::hex << i;
        }
    }
    for (std::size_t i = 0; i < sizeof dataBuf; ++i) {
        if (!dataMay[i]) {
            ASSERT_EQ(dataBuf[i], dataBefore[i]) << "data byte 0x" << std::hex << i;
        }
    }

    switch (fault) {
        case Fault::kGarbage:
            ExpectGarbled(cmd, r, ctx(), data());
            break;
        case Fault::kRandom:
            ExpectRandomThenRecover(cmd, r, ctx(), data(), cueBlocked);
            break;
        default:
            ExpectFailedExchange(cmd, r, ctx(), data(), cueBlocked);
            break;
    }

    // The deck behaves again; whatever the fault left on the line must not spoil what follows.
    ASSERT_EQ(deck.server().Control("fault none"), "ok");
    if (fault == Fault::kHangup) {
        ASSERT_TRUE(deck.WaitLineUp(lineBefore, milliseconds(3000))) << "line never came back";
        // The old descriptor is dead for good: the host reconnects, as it would to a new cable.
        if (cmd != 5) {
            EXPECT_EQ(Main(25, &ctx(), &data()), 0);  // still no crash on the dead line
            EXPECT_EQ(data().nFrames, 0);
        }
    }
    // The deck holds each late reply back in turn and traces it only once sent; quiet means
    // longer than one of those, after the first has surely gone.
    if (fault == Fault::kLate) {
        std::this_thread::sleep_for(milliseconds(450));
    }
    deck.WaitQuiet(milliseconds(fault == Fault::kLate ? 1000 : 150), milliseconds(8000));
    std::this_thread::sleep_for(milliseconds(150));  // transport changes settle
    if (ctx().pDevice != 0 && (cmd == 5 || fault == Fault::kHangup)) {
        ASSERT_EQ(Main(6, &ctx(), &data()), 1);
        ASSERT_EQ(ctx().pDevice, 0u);
    }
    if (cmd != 5 && ctx().pDevice == 0) {
        ASSERT_EQ(Main(5, &ctx(), &data()), 1);
    }
    Prime();
    deck.ClearTrace();
    const int next = Main(cmd, &ctx(), &data());
    ExpectHealthy(cmd, next, ctx());
    deck.WaitQuiet(milliseconds(30), milliseconds(1000));
    for (const std::string& line : deck.Trace()) {
        EXPECT_EQ(line.find("[fault"), std::string::npos) << line;
        EXPECT_EQ(line.find("refused"), std::string::npos) << line;
        EXPECT_EQ(line.find("-bad"), std::string::npos) << line;
    }
}

std::string CellName(const testing::TestParamInfo<std::tuple<Command, Fault>>& info) {
    return "cmd" + std::to_string(std::get<0>(info.param).number) + "_" +
           FaultName(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    AllCommands, FaultMatrix,
    testing::Combine(testing::ValuesIn(kCommands),
                     testing::Values(Fault::kSilent, Fault::kNak, Fault::kShort, Fault::kGarbage,
                                     Fault::kLate, Fault::kHangup, Fault::kRandom)),
    CellName);

}  // namespace
