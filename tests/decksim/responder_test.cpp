#include "tools/decksim/responder.h"

#include <gtest/gtest.h>

#include "hex.h"

namespace decksim {
namespace {

using test::Bytes;
using test::Hex;

const Clock::time_point kT0 = Clock::time_point{} + std::chrono::hours(1);
constexpr double kNtsc = 30000.0 / 1001.0;

// Feeds the bytes one at a time, 1 ms apart, and joins the replies.
std::string Exchange(Responder& r, const std::string& in, Clock::time_point t = kT0) {
    std::vector<uint8_t> out;
    for (uint8_t b : Bytes(in)) {
        const Reply reply = r.Feed(b, t);
        out.insert(out.end(), reply.bytes.begin(), reply.bytes.end());
        t += Millis(1);
    }
    return Hex(out);
}

struct WireCase {
    const char* name;
    int system;
    const char* time;  // deck counter before the exchange; the deck is stopped
    const char* in;
    const char* out;
    double fps = 25;
    bool dropFrame = false;
};

void PrintTo(const WireCase& c, std::ostream* os) {
    *os << c.name;
}

class ResponderWire : public ::testing::TestWithParam<WireCase> {};

TEST_P(ResponderWire, AnswersByteForByte) {
    const WireCase& c = GetParam();
    DeckModel deck(c.fps, c.system, kT0, {}, c.dropFrame);
    int64_t frames = 0;
    ASSERT_TRUE(ParseTime(c.time, deck.Base(), &frames));
    deck.SetFrames(frames, kT0);
    Responder r(deck);
    EXPECT_EQ(Exchange(r, c.in), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponderWire,
    ::testing::Values(
        WireCase{"StatusFirstHalf", 1, "01:23:45:12", "D7", "00 00 00 30 00"},
        WireCase{"StatusSecondHalf", 1, "01:23:45:12", "B0", "00 00 00 00 00"},
        WireCase{"VideoSystem1", 1, "00:00:00:00", "DE C1", "0A 00"},
        WireCase{"VideoSystem4", 4, "00:00:00:00", "DE C1", "0A 01"},
        WireCase{"VideoSystemBadSecondByteThenRecovers", 1, "00:00:00:00", "DE D7 D7",
                 "0A 0B 00 00 00 30 00"},
        WireCase{"TimeSystem1", 1, "01:23:45:12", "A0", "30 31 32 33 34 35 31 32"},
        WireCase{"TimeSystem4", 4, "01:23:45:12", "A0", "A1 30 31 32 33 34 35 31 32"},
        WireCase{"NegativeTimeSystem4", 4, "-00:00:01:00", "A0", "A2 30 30 30 30 30 31 30 30"},
        WireCase{"NegativeTimeSystem1WrapsFrom24h", 1, "-00:00:01:00", "A0",
                 "32 33 35 39 35 39 30 30"},
        WireCase{"CueSystem1", 1, "00:00:00:00", "DF 93 30 31 32 33 34 35 31 32 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A"},
        WireCase{"CueSystem4", 4, "00:00:00:00", "DF 93 30 A2 30 30 30 30 35 30 30 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A"},
        WireCase{"SignedCueTakenInSystem1", 1, "00:00:00:00", "DF 93 30 A1 31 32 33 34 35 31 32 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A"},
        WireCase{"UnsignedCueTakenInSystem4", 4, "00:00:00:00", "DF 93 30 31 32 33 34 35 31 32 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A"},
        WireCase{"CueToMinute60Refused", 1, "00:00:00:00", "DF 93 30 30 36 30 30 30 30 30 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0B"},
        WireCase{"CueToFrame25Refused", 1, "00:00:00:00", "DF 93 30 30 30 30 30 30 32 35 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0B"},
        WireCase{"CueEndTooEarlyRefused", 1, "00:00:00:00", "DF 93 30 30 30 40 D7",
                 "0A 0A 0A 0A 0A 0B 00 00 00 30 00"},
        WireCase{"CueBrokenByForeignByte", 1, "00:00:00:00", "DF 93 30 D7", "0A 0A 0A 0B"},
        WireCase{"CueSecondSignRefused", 4, "00:00:00:00", "DF 93 30 A1 A1", "0A 0A 0A 0A 0B"},
        WireCase{"CueWrongFirstByte", 1, "00:00:00:00", "DF 94", "0A 0B"},
        WireCase{"SingleByteCommands", 1, "00:00:00:00", "3A 3F 4B 2A 3D 3E 4D 4E",
                 "0A 0A 0A 0A 0A 0A 0A 0A"},
        WireCase{"VarSpeedBothDirections", 1, "00:00:00:00", "B5 36 B6 30", "0A 0A 0A 0A"},
        WireCase{"VarSpeedDigitOutsideTable", 1, "00:00:00:00", "B5 39 B6 41", "0A 0B 0A 0B"},
        WireCase{"UnknownBytes", 1, "00:00:00:00", "00 FF 0A 93 40 C1", "0B 0B 0B 0B 0B 0B"},
        WireCase{"CueToFrame29At2997", 1, "00:00:00:00", "DF 93 30 30 30 30 30 30 32 39 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A", kNtsc},
        WireCase{"CueToSkippedLabelRefused", 1, "00:00:00;00", "DF 93 30 30 30 31 30 30 30 31 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0B", kNtsc, true},
        WireCase{"CueToTenthMinuteFrame0Taken", 1, "00:00:00;00",
                 "DF 93 30 30 31 30 30 30 30 30 40", "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A", kNtsc,
                 true},
        // Above 30 fps the frames are pair labels: ;01 is the pair of the skipped ;02 and ;03.
        WireCase{"CueToSkippedLabelAt5994Refused", 4, "00:00:00;00",
                 "DF 93 30 A1 30 30 31 30 30 30 31 40", "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0B",
                 kNtsc * 2, true},
        WireCase{"CueToPair25At50Refused", 1, "00:00:00:00", "DF 93 30 30 30 30 30 30 32 35 40",
                 "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0B", 50},
        WireCase{"TimeDropFrame", 1, "00:01:00;02", "A0", "30 30 30 31 30 30 30 32", kNtsc, true},
        WireCase{"TimeDropFrame5994", 4, "00:11:00;04", "A0", "A1 30 30 31 31 30 30 30 32",
                 kNtsc * 2, true},
        WireCase{"TimeSecondOfPairAt50Flagged", 1, "00:00:01:45", "A0", "30 30 30 30 30 31 B2 32",
                 50},
        // Below zero a pair starts on the earlier frame too: -2 and -1 share the label -1.
        WireCase{"NegativeSecondOfPairAt50", 4, "-00:00:00:01", "A0", "A2 30 30 30 30 30 30 B0 31",
                 50},
        WireCase{"NegativePairAcrossSkippedLabelsAt5994", 4, "-00:00:59;59", "A0",
                 "A2 30 30 30 31 30 30 B0 32", kNtsc * 2, true},

        WireCase{"NegativeDropFrameSystem1WrapsFrom24h", 1, "-00:00:00;01", "A0",
                 "32 33 35 39 35 39 32 39", kNtsc, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponderFrame, StalledFrameIsDropped) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    EXPECT_EQ(Exchange(r, "DE", kT0), "0A");
    // The host gave up; a new request long after must not be read as the frame's second byte.
    EXPECT_EQ(Exchange(r, "D7", kT0 + Responder::kFrameGap + Millis(1)), "00 00 00 30 00");
}

struct MotionCase {
    const char* name;
    const char* in;
    double speed;  // play speeds once settled
};

void PrintTo(const MotionCase& c, std::ostream* os) {
    *os << c.name;
}

class ResponderMotion : public ::testing::TestWithParam<MotionCase> {};

TEST_P(ResponderMotion, CommandSetsSpeed) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    Exchange(r, GetParam().in);
    EXPECT_DOUBLE_EQ(deck.Speed(kT0 + Millis(500)), GetParam().speed);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponderMotion,
    ::testing::Values(MotionCase{"Play", "3A", 1.0}, MotionCase{"PlayThenStop", "3A 3F", 0.0},
                      MotionCase{"Pause", "3A 4B", 0.0}, MotionCase{"ShuttleFwd", "3D", 2.0},
                      MotionCase{"WindFwd", "3E", 20.0}, MotionCase{"ShuttleRev", "4D", -2.0},
                      MotionCase{"WindRev", "4E", -20.0}, MotionCase{"VarFwdPlus2", "B5 36", 0.5},
                      MotionCase{"VarFwdPlus4", "B5 38", 1.0},
                      MotionCase{"VarRevPlus4", "B6 38", -1.0},
                      MotionCase{"VarRevZero", "B6 30", 0.0},
                      MotionCase{"VarFwdMinus2", "B5 33", -0.5},
                      MotionCase{"RefusedDigitKeepsPlay", "3A B5 39", 1.0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponderCue, TapeReachesTargetAndReportsIt) {
    DeckModel deck(25, 4, kT0);
    Responder r(deck);
    // -00:00:05:00, the signed form with the sign after the first hours digit.
    Exchange(r, "DF 93 30 A2 30 30 30 30 35 30 30 40");
    EXPECT_EQ(Exchange(r, "B0", kT0 + Millis(20)), "08 00 00 00 00");  // cue busy
    EXPECT_EQ(Exchange(r, "A0", kT0 + std::chrono::seconds(2)), "A2 30 30 30 30 30 35 30 30");
    EXPECT_EQ(Exchange(r, "B0", kT0 + std::chrono::seconds(2)), "00 00 00 00 00");
}

TEST(ResponderCue, RefusedCueLeavesTapeAlone) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    Exchange(r, "DF 93 32 34 30 30 30 30 30 30 40");  // 24:00:00:00 is no time on the tape
    EXPECT_EQ(deck.Mode(kT0 + Millis(100)), Transport::kStopped);
    EXPECT_EQ(deck.Frames(kT0 + std::chrono::seconds(2)), 0);
}

struct FaultCase {
    const char* name;
    Fault fault;
    size_t length;    // bytes in the reply to D7
    bool truePrefix;  // the bytes sent are the start of the true reply
    bool allWrong;    // every byte differs from the true one
    Millis delay;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class ResponderFault : public ::testing::TestWithParam<FaultCase> {};

TEST_P(ResponderFault, ShapesStatusReply) {
    const FaultCase& c = GetParam();
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    const auto truth = Bytes("00 00 00 30 00");
    r.SetFault(c.fault);
    const Reply reply = r.Feed(0xD7, kT0);
    ASSERT_EQ(reply.bytes.size(), c.length);
    EXPECT_EQ(reply.delay, c.delay);
    for (size_t i = 0; i < reply.bytes.size(); ++i) {
        if (c.truePrefix) {
            EXPECT_EQ(reply.bytes[i], truth[i]) << "byte " << i;
        }
        if (c.allWrong) {
            EXPECT_NE(reply.bytes[i], truth[i]) << "byte " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ResponderFault,
    ::testing::Values(
        FaultCase{"None", {}, 5, true, false, Millis(0)},
        FaultCase{"Silent", {FaultKind::kSilent}, 0, false, false, Millis(0)},
        FaultCase{"Short", {FaultKind::kShort}, 4, true, false, Millis(0)},
        FaultCase{"Garbage", {FaultKind::kGarbage}, 5, false, true, Millis(0)},
        FaultCase{"Late", {FaultKind::kLate, Millis(120)}, 5, true, false, Millis(120)},
        FaultCase{"Random7", {FaultKind::kRandom, Millis(0), 7}, 7, false, false, Millis(0)}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ResponderFaultEffects, NakRefusesEveryByteAndObeysNothing) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    r.SetFault({FaultKind::kNak});
    EXPECT_EQ(Exchange(r, "D7 3A DE C1"), "0B 0B 0B 0B");
    EXPECT_EQ(deck.Mode(kT0 + Millis(500)), Transport::kStopped);
}

TEST(ResponderFaultEffects, SilentDeckObeysNothing) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    r.SetFault({FaultKind::kSilent});
    EXPECT_EQ(Exchange(r, "3A"), "");
    EXPECT_EQ(deck.Mode(kT0 + Millis(500)), Transport::kStopped);
}

TEST(ResponderFaultEffects, ShortAckIsNoAckButCommandRuns) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    r.SetFault({FaultKind::kShort});
    EXPECT_EQ(Exchange(r, "3A"), "");
    EXPECT_EQ(deck.Mode(kT0 + Millis(500)), Transport::kPlay);
}

TEST(ResponderFaultEffects, LateOneReplyInNHoldsBackOnlyThatOne) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    r.SetFault({FaultKind::kLate, Millis(60), 0, 3});
    for (int round = 0; round < 2; ++round) {
        for (const Millis want : {Millis(0), Millis(0), Millis(60)}) {
            const Reply reply = r.Feed(0xD7, kT0);
            EXPECT_EQ(reply.delay, want);
            EXPECT_EQ(reply.fault, want.count() ? FaultKind::kLate : FaultKind::kNone);
            EXPECT_EQ(reply.bytes.size(), 5u);
        }
    }
}

TEST(ResponderFaultEffects, RandomBurstThenBehaves) {
    DeckModel deck(25, 1, kT0);
    Responder r(deck);
    r.SetFault({FaultKind::kRandom, Millis(0), 3});
    EXPECT_EQ(r.Feed(0xD7, kT0).bytes.size(), 3u);
    EXPECT_EQ(r.GetFault().kind, FaultKind::kNone);
    EXPECT_EQ(Exchange(r, "D7"), "00 00 00 30 00");
}

}  // namespace
}  // namespace decksim
