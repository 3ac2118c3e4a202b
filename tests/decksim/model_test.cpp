#include "tools/decksim/deck_model.h"

#include <gtest/gtest.h>

#include <functional>

namespace decksim {
namespace {

using std::chrono::seconds;
const Clock::time_point kT0 = Clock::time_point{} + std::chrono::hours(1);

using Command = std::function<void(DeckModel&, Clock::time_point)>;

const Command kPlay = [](DeckModel& d, Clock::time_point t) { d.Play(t); };
const Command kStop = [](DeckModel& d, Clock::time_point t) { d.Stop(t); };
const Command kStandby = [](DeckModel& d, Clock::time_point t) { d.Standby(t); };
const Command kNothing = [](DeckModel&, Clock::time_point) {};

struct RunCase {
    const char* name;
    double fps;
    Command command;
    Millis run;
    int64_t frames;  // counter change over the run
};

void PrintTo(const RunCase& c, std::ostream* os) {
    *os << c.name;
}

class ModelCounter : public ::testing::TestWithParam<RunCase> {};

TEST_P(ModelCounter, AdvancesWithSpeedAndDirection) {
    const RunCase& c = GetParam();
    DeckModel deck(c.fps, 4, kT0);
    deck.SetFrames(600 * deck.NominalFps(), kT0);
    const int64_t start = deck.Frames(kT0);
    c.command(deck, kT0);
    EXPECT_EQ(deck.Frames(kT0 + c.run) - start, c.frames);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModelCounter,
    ::testing::Values(
        RunCase{"Play25", 25, kPlay, seconds(2), 50}, RunCase{"Play30", 30, kPlay, seconds(1), 30},
        RunCase{"Play50HalfSecond", 50, kPlay, Millis(500), 25},
        RunCase{"Play2997CountsRealFrames", 30000.0 / 1001, kPlay, Millis(10010), 300},
        RunCase{"Stopped", 25, kNothing, seconds(3), 0},
        RunCase{"WindReverse", 25,
                [](DeckModel& d, Clock::time_point t) { d.Shuttle(false, true, t); }, seconds(1),
                -500},
        RunCase{"ShuttleForward", 25,
                [](DeckModel& d, Clock::time_point t) { d.Shuttle(true, false, t); }, seconds(1),
                50},
        RunCase{"VarSpeedTwoQuarters", 25,
                [](DeckModel& d, Clock::time_point t) { d.VarSpeed(true, 2, t); }, seconds(4), 50},
        RunCase{"PlayFromStandbyWaitsForThreading", 25,
                [](DeckModel& d, Clock::time_point t) {
                    d.Standby(t);  // unthreaded 300 ms later
                    d.Play(t + Millis(400));
                },
                Millis(1700), 25}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelCounter, PlayingBackwardsPastZeroGoesNegative) {
    DeckModel deck(25, 4, kT0);
    deck.Shuttle(false, false, kT0);
    EXPECT_EQ(deck.Frames(kT0 + seconds(1)), -50);
}

// A system-4 deck's time runs on past 10:00:00:00 as the time a day away, and back.
TEST(ModelCounter, System4RunsPastTenHoursAsTheTimeBelowZero) {
    DeckModel deck(25, 4, kT0);
    const int64_t ten = int64_t{36000} * 25;
    deck.SetFrames(ten, kT0);
    deck.Play(kT0);
    EXPECT_EQ(deck.Frames(kT0 + Millis(400)), ten + 10 - 86400 * 25);  // -13:59:59:15
    deck.Shuttle(false, false, kT0 + Millis(400));
    EXPECT_EQ(deck.Frames(kT0 + Millis(800)), ten - 10);
}

// The host's repeating flags end on a status bit that the deck must raise only after the
// transport has really done the thing, and the status questions read bits in between.
struct BitCase {
    const char* name;
    Command setup;    // at kT0 - 5 s, long settled by kT0
    Command command;  // at kT0
    Bit bit;
    bool soon;   // 10 ms after the command
    bool later;  // 2 s after it
};

void PrintTo(const BitCase& c, std::ostream* os) {
    *os << c.name;
}

class ModelStatus : public ::testing::TestWithParam<BitCase> {};

TEST_P(ModelStatus, BitFollowsTransport) {
    const BitCase& c = GetParam();
    DeckModel deck(25, 1, kT0 - seconds(10));
    c.setup(deck, kT0 - seconds(5));
    c.command(deck, kT0);
    EXPECT_EQ((deck.Status(kT0 + Millis(10))[c.bit.byte] & c.bit.mask) != 0, c.soon) << "soon";
    EXPECT_EQ((deck.Status(kT0 + seconds(2))[c.bit.byte] & c.bit.mask) != 0, c.later) << "later";
}

const Command kCueOneMinute = [](DeckModel& d, Clock::time_point t) { d.Cue(1500, t); };

INSTANTIATE_TEST_SUITE_P(
    Table, ModelStatus,
    ::testing::Values(
        BitCase{"StopRaisesStoppedAfterSettling", kPlay, kStop, bits::kStopped, false, true},
        BitCase{"PlayClearsStopped", kStop, kPlay, bits::kStopped, false, false},
        BitCase{"PlayLocksServo", kStop, kPlay, bits::kPlaying, false, true},
        BitCase{"ServoUnlockedWhileChanging", kStop, kPlay, bits::kServoUnlocked, true, false},
        BitCase{"StandbyRaisesStandby", kPlay, kStandby, bits::kStandby, false, true},
        BitCase{"StandbyClearsThreaded", kPlay, kStandby, bits::kThreaded, true, false},
        BitCase{"StandbyIsStopped", kPlay, kStandby, bits::kStopped, false, true},
        BitCase{"PlayLeavesStandby", kStandby, kPlay, bits::kStandby, false, false},
        BitCase{"ThreadingMakesNotReady", kStandby, kPlay, bits::kThreading, true, false},
        BitCase{"StopKeepsStandby", kStandby, kStop, bits::kStandby, true, true},
        BitCase{"CueBusyUntilThere", kNothing, kCueOneMinute, bits::kCueBusy, true, false},
        BitCase{"CueUnlocksServo", kNothing, kCueOneMinute, bits::kServoUnlocked, true, false},
        BitCase{"CueEndsInStill", kNothing, kCueOneMinute, bits::kStillMode, false, true},
        BitCase{"NotReadyOnlyWhenForced", kStandby, kPlay, bits::kNotReady, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ModelCue, ReachesTargetWithinCapWhateverTheDistance) {
    DeckModel deck(25, 4, kT0);
    const int64_t target = -(int64_t{5} * 3600 * 25);  // five hours back
    deck.Cue(target, kT0);
    const Millis cap = deck.Timing().cueMax;
    EXPECT_EQ(deck.Mode(kT0 + cap - Millis(1)), Transport::kCue);
    EXPECT_GT(deck.Frames(kT0 + cap / 2), target);  // on its way, not there yet
    EXPECT_LT(deck.Frames(kT0 + cap / 2), 0);
    EXPECT_EQ(deck.Frames(kT0 + cap), target);
    EXPECT_EQ(deck.Mode(kT0 + cap), Transport::kStill);
    EXPECT_EQ(deck.Frames(kT0 + cap + seconds(10)), target);  // and stays
}

TEST(ModelCue, ShortCueTakesSettleAndWinding) {
    DeckModel deck(25, 1, kT0);
    deck.Cue(1500, kT0);  // one minute at 60x play speed: one second of winding
    EXPECT_EQ(deck.Mode(kT0 + Millis(1099)), Transport::kCue);
    EXPECT_EQ(deck.Mode(kT0 + Millis(1101)), Transport::kStill);
}

TEST(ModelForce, PinnedBitsOverrideTheModelUntilReleased) {
    DeckModel deck(25, 1, kT0);
    deck.ForceBit(0, 0, true);
    deck.ForceBit(3, 4, false);  // the deck is stopped, but says it is not
    auto s = deck.Status(kT0);
    EXPECT_EQ(s[0], 0x01);
    EXPECT_EQ(s[3], 0x20);
    deck.ForceBit(0, 0, std::nullopt);
    deck.ForceBit(3, 4, std::nullopt);
    s = deck.Status(kT0);
    EXPECT_EQ(s[0], 0x00);
    EXPECT_EQ(s[3], 0x30);
}

struct TimeCase {
    const char* text;
    bool ok;
    int64_t frames;
};

void PrintTo(const TimeCase& c, std::ostream* os) {
    *os << c.text;
}

class ModelTime : public ::testing::TestWithParam<TimeCase> {};

TEST_P(ModelTime, ParsesAndFormatsAtTwentyFive) {
    int64_t frames = 0;
    ASSERT_EQ(ParseTime(GetParam().text, 25, &frames), GetParam().ok);
    if (GetParam().ok) {
        EXPECT_EQ(frames, GetParam().frames);
        EXPECT_EQ(FormatTime(frames, 25), std::string(GetParam().text));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ModelTime,
    ::testing::Values(TimeCase{"01:23:45:12", true, 125637}, TimeCase{"-00:00:01:00", true, -25},
                      TimeCase{"23:59:59:24", true, 2159999}, TimeCase{"00:00:00:25", false, 0},
                      TimeCase{"00:60:00:00", false, 0}, TimeCase{"24:00:00:00", false, 0},
                      TimeCase{"1:00:00:00", false, 0}, TimeCase{"00-00:00:00", false, 0}));

// A host repeats stop on every poll until the deck reports stopped; that must not keep it
// from ever settling.
TEST(ModelTransport, RepeatedStopStillSettles) {
    DeckModel deck(25, 1, kT0);
    deck.Play(kT0);
    const auto stop = kT0 + Millis(500);
    for (int i = 0; i < 6; ++i) {
        deck.Stop(stop + Millis(40 * i));
    }
    const auto settled = stop + deck.Timing().settle + Millis(1);
    EXPECT_NE(deck.Status(settled)[bits::kStopped.byte] & bits::kStopped.mask, 0);
}

// Likewise standby is repeated until the deck reports it.
TEST(ModelTransport, RepeatedStandbyStillUnthreads) {
    DeckModel deck(25, 1, kT0);
    for (int i = 0; i < 10; ++i) {
        deck.Standby(kT0 + Millis(40 * i));
    }
    const auto done = kT0 + deck.Timing().thread + Millis(1);
    EXPECT_NE(deck.Status(done)[bits::kStandby.byte] & bits::kStandby.mask, 0);
}

}  // namespace
}  // namespace decksim
