// Every host command against a deck that behaves.
#include <thread>

#include "tests/e2e/deck_fixture.h"
#include "tools/hostkit/timecode.h"

namespace e2e {
namespace {

TEST_F(DeckTest, IdentifyNeedsNoDeck) {
    EXPECT_EQ(Call(1), 0);  // identify fills the records and answers 0
    EXPECT_EQ(m_Rec.Show(*hostkit::FindField("szName")), "\"Tapedeck 5500\"");
    EXPECT_EQ(m_Rec.Show(*hostkit::FindField("idPlugin")),
              "{6F3C2A91-5B7E-4D08-9C14-2E7A5B90D3C6}");
    EXPECT_EQ(Get("nIdentFlag"), 1);
}

TEST_F(DeckTest, WithoutAConnectionCommandsRefuse) {
    StartDeck();
    for (int command : {7, 8, 9, 10, 16, 17, 18, 24, 25, 29, 30, 33, 44, 47, 53}) {
        EXPECT_EQ(Call(command), 0) << command;
    }
    EXPECT_EQ(Call(6), 1);
    EXPECT_FALSE(SawByte(0xD7)) << "nothing reaches the line without a connection";
    for (int command : {0, 2, 54, -1}) {
        EXPECT_EQ(Call(command), 0) << command;
    }
}

TEST_F(DeckTest, ConnectTwiceKeepsTheFirst) {
    StartDeck();
    Set("nState", 6);
    Connect();
    EXPECT_EQ(Get("nState"), 0);
    const int64_t handle = Get("pDevice");
    EXPECT_EQ(Call(5), 0);
    EXPECT_EQ(Get("pDevice"), handle);
    EXPECT_EQ(Call(9), 1);
    EXPECT_EQ(Call(6), 1);
    EXPECT_EQ(Get("pDevice"), 0);
    EXPECT_EQ(Call(6), 1);
    Connect();  // the port is free again
}

// Status questions with one status bit pinned by the deck's control channel.
struct StatusCase {
    const char* name;
    const char* pin;  // control line, or "" for the deck as it stands (stopped, threaded)
    int command;
    int32_t stateBefore;
    int result;
    const char* field;
    int64_t value;
};

class StatusTest : public DeckTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTest, AnswersFromTheDecksBits) {
    const StatusCase& c = GetParam();
    StartDeck();
    Connect();
    if (c.pin[0] != '\0') {
        ASSERT_EQ(Control(c.pin), "ok");
    }
    Set("nState", c.stateBefore);
    EXPECT_EQ(Call(c.command), c.result);
    if (c.field != nullptr) {
        EXPECT_EQ(Get(c.field), c.value) << c.field;
    }
    EXPECT_TRUE(SawByte(0xD7) && SawByte(0xB0)) << "every status question senses the deck";
}

INSTANTIATE_TEST_SUITE_P(
    Table, StatusTest,
    testing::Values(StatusCase{"LockedSetsState3", "", 16, 9, 1, "nState", 3},
                    StatusCase{"UnlockedRefuses", "status 2 1 1", 16, 9, 0, "nState", 9},
                    StatusCase{"LockedTest", "", 17, 9, 1, "nState", 9},
                    StatusCase{"UnlockedTest", "status 2 1 1", 17, 9, 0, "nState", 9},
                    StatusCase{"NotPlaying", "", 18, 9, 1, "bAnswer18", 0},
                    StatusCase{"Playing", "status 3 7 1", 18, 9, 1, "bAnswer18", 1},
                    StatusCase{"CueFree", "", 29, 9, 1, "bAnswer29", 1},
                    StatusCase{"CueBusy", "status 5 3 1", 29, 9, 1, "bAnswer29", 0},
                    StatusCase{"Ready", "", 30, 9, 1, "bAnswer30", 1},
                    StatusCase{"NotReady", "status 0 0 1", 30, 9, 1, "bAnswer30", 0},
                    StatusCase{"Threading", "status 5 4 1", 30, 9, 1, "bAnswer30", 0},
                    StatusCase{"NotStandby", "", 33, 9, 1, nullptr, 0},
                    StatusCase{"Standby", "status 0 3 1", 33, 9, 0, nullptr, 0},
                    StatusCase{"UpdateStandbyGives0", "status 0 3 1", 24, 5, 1, "nState", 0},
                    StatusCase{"UpdateFrom0Gives1", "", 24, 0, 1, "nState", 1},
                    StatusCase{"UpdateKeeps5", "", 24, 5, 1, "nState", 5}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeckTest, IdleNeedsNoDeck) {
    StartDeck();
    Connect();
    Set("dwOptions", 8);
    EXPECT_EQ(Call(19), 1);
    EXPECT_EQ(Get("nState"), 8);
    Set("dwPending", 0x10);
    Set("nState", 5);
    EXPECT_EQ(Call(19), 0);
    EXPECT_EQ(Get("nState"), 5);
    EXPECT_FALSE(SawByte(0xD7));
}

TEST_F(DeckTest, PlayRunsTheTape) {
    StartDeck();
    Connect();
    EXPECT_EQ(Call(9), 1);
    EXPECT_EQ(Get("nState"), 5);
    EXPECT_TRUE(Saw("play"));
    std::this_thread::sleep_for(Millis(300));
    EXPECT_EQ(Call(18), 1);
    EXPECT_EQ(Get("bAnswer18"), 1);
    EXPECT_EQ(Call(25), 1);
    EXPECT_GT(Get("nFrames"), 0) << "the time runs while the tape plays";
}

// Each pending flag of the poll, from set to worked off.
struct PendingCase {
    const char* name;
    const char* before;  // control line to put the deck in its starting state, or ""
    uint32_t pending;
    uint32_t options;
    std::vector<const char*> sent;  // what the deck must have been told; none: no standby
    uint32_t left;                  // dwPending when the poll is done
    int finalState;                 // nState after the last poll
};

class PendingTest : public DeckTest, public testing::WithParamInterface<PendingCase> {};

TEST_P(PendingTest, PollWorksTheFlagOff) {
    const PendingCase& c = GetParam();
    StartDeck();
    Connect();
    if (c.before[0] != '\0') {
        ASSERT_EQ(Control(c.before), "ok");
        std::this_thread::sleep_for(Millis(300));
    }
    Forget();
    Set("nPosition", 20 * 25);
    Set("dwOptions", c.options);
    Set("dwPending", c.pending);
    EXPECT_TRUE(PollUntil([&] { return Get("dwPending") == c.left; }, Millis(3000)));
    EXPECT_EQ(Get("nState"), c.finalState);
    for (const char* name : c.sent) {
        EXPECT_TRUE(Saw(name)) << name;
    }
    if (c.sent.empty()) {
        EXPECT_FALSE(SawByte(0x2A));
    }
    // Nothing more to do: a poll reports idle, or keeps reporting pending for high bits.
    EXPECT_EQ(Call(10), 1);
    EXPECT_EQ(Get("dwPending"), c.left);
    EXPECT_EQ(Get("nState"), c.left == 0 ? (c.options & 8 ? 8 : 1) : 7);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PendingTest,
    testing::Values(
        PendingCase{"StopUntilStopped", "play", 1, 0, {"stop"}, 0, 7},
        PendingCase{"PauseOnce", "play", 2, 0, {"pause"}, 0, 7},
        PendingCase{"CueOnce", "", 4, 0, {"cue-end"}, 0, 7},
        PendingCase{"StandbyUntilStandby", "", 8, 0, {"standby"}, 0, 7},
        PendingCase{"StandbyUntilUnthreaded", "", 8, 2, {"standby"}, 0, 7},
        PendingCase{"AllFourInTurn", "play", 0xF, 8, {"stop", "pause", "cue-end", "standby"}, 0, 7},
        PendingCase{"HighBitsStayPending", "", 0x18, 0, {}, 0x10, 7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeckTest, PollsCueArrivesWhereAsked) {
    StartDeck();
    Connect();
    Set("nPosition", 20 * 25);
    Set("dwPending", 4);
    EXPECT_EQ(Call(10), 1);
    EXPECT_EQ(Get("dwPending"), 0);
    WaitCueDone();
    EXPECT_EQ(Call(25), 1);
    EXPECT_EQ(Get("nFrames"), 20 * 25);
}

// Cues and time reads on both video systems, at the deck's and the host's frame rate.
struct CueCase {
    const char* name;
    int system;
    double fps;
    int32_t format;  // the host's video-format code
    int command;     // 7 or 8
    int32_t position;
    int32_t offset;
    int64_t frames;  // what command 25 reads back
};

class CueTest : public DeckTest, public testing::WithParamInterface<CueCase> {};

TEST_P(CueTest, CueThenReadPosition) {
    const CueCase& c = GetParam();
    StartDeck({c.system, c.fps});
    Set("nVideoFormat", c.format);
    Connect();
    Set("nPosition", c.position);
    Set("nCueOffset", c.offset);
    EXPECT_EQ(Call(c.command), 1);
    EXPECT_EQ(Get("nState"), c.command == 7 ? 2 : 4);
    WaitCueDone();
    EXPECT_EQ(Call(25), 1);
    EXPECT_EQ(Get("nFrames"), c.frames);
    EXPECT_EQ(SawByte(0xA1) || SawByte(0xA2), c.system == 4) << "sign bytes only on system 4";
}

INSTANTIATE_TEST_SUITE_P(Table, CueTest,
                         testing::Values(CueCase{"System1OneMinute", 1, 25, 1, 7, 1500, 0, 1500},
                                         CueCase{"System4OneHour", 4, 25, 1, 7, 90000, 0, 90000},
                                         CueCase{"System4At30", 4, 30, 4, 7, 315, 0, 315},
                                         CueCase{"System1At50", 1, 50, 0x400, 7, 3 * 50 + 7, 0,
                                                 3 * 50 + 7},
                                         CueCase{"System1Offset", 1, 25, 1, 8, 100, 25, 75},
                                         CueCase{"System4OffsetBelowZero", 4, 25, 1, 8, 0, 50, -50},
                                         CueCase{"System4At30BelowZero", 4, 30, 4, 8, 10, 41, -31},
                                         // Pair 29 below one second: -00:00:01:58 at 59.94.
                                         CueCase{"System4PairAt5994BelowZero", 4, 60000.0 / 1001.0,
                                                 0x400, 8, 0, 79, -79}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TimeCase {
    const char* name;
    int system;
    const char* deckTime;
    int64_t frames;
    // With a rate, the deck runs at it, the host counts in hostkit::ModuleFormat and shows
    // the count as `shown` (as `deckTime` when not given).
    const char* rate = nullptr;
    const char* shown = nullptr;
};

class TimeTest : public DeckTest, public testing::WithParamInterface<TimeCase> {};

TEST_P(TimeTest, PositionReadsTheDecksCounter) {
    const TimeCase& c = GetParam();
    const hostkit::RateInfo& rate = *hostkit::FindRate(c.rate != nullptr ? c.rate : "25");
    StartDeck({c.system, rate.fps, rate.base.dropFrame});
    if (c.rate != nullptr) {
        Set("nVideoFormat", hostkit::ModuleFormat(rate.base));
    }
    Connect();
    ASSERT_EQ(Control(std::string("time ") + c.deckTime), "ok");
    EXPECT_EQ(Call(25), 1);
    EXPECT_EQ(Get("nFrames"), c.frames);
    if (c.rate != nullptr) {
        const int64_t labels = hostkit::LabelsOfModuleCount(Get("nFrames"), rate.base);
        EXPECT_EQ(hostkit::FormatTimecode(hostkit::LabelsToFrames(labels, rate.base), rate.base),
                  c.shown != nullptr ? c.shown : c.deckTime);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimeTest,
    testing::Values(TimeCase{"System1Zero", 1, "00:00:00:00", 0},
                    TimeCase{"System1LateInTheDay", 1, "23:59:59:00", 86399 * 25},
                    TimeCase{"System4Positive", 4, "01:23:45:12", 5025 * 25 + 12},
                    TimeCase{"System4OneSecondBelowZero", 4, "-00:00:01:00", -25},
                    TimeCase{"System4FarBelowZero", 4, "-01:23:45:12", -(5025 * 25 + 12)},
                    TimeCase{"System4TenHours", 4, "10:00:00:00", 36000 * 25},
                    // The ends of a system-4 deck's range; pairs above 30 fps (first frames).
                    TimeCase{"LowestAt25", 4, "-13:59:59:24", -2519974, "25"},
                    TimeCase{"LowestPairAt50", 4, "-13:59:59:47", -2519974, "50", "-13:59:59:48"},
                    TimeCase{"HighestPairAt50", 4, "10:00:00:01", 1800000, "50", "10:00:00:00"},
                    TimeCase{"PairBelowZeroAt50", 4, "-00:00:00:01", -1, "50", "-00:00:00:02"},
                    TimeCase{"PairOfSkips", 4, "-00:00:59;59", -3002, "59.94df", "-00:01:00;04"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DeckTest, VideoSystemReportAndSwitch) {
    StartDeck({1, 25});
    Connect();
    Set("nVideoFormat", 4);
    EXPECT_EQ(Call(44), 1);
    EXPECT_EQ(Get("nVideoFormat"), 1);
    ASSERT_EQ(Control("system 4"), "ok");
    EXPECT_EQ(Call(44), 1);
    EXPECT_EQ(Get("nVideoFormat"), 0);
    // After the new sense the time read takes the signed form.
    ASSERT_EQ(Control("time -00:00:02:00"), "ok");
    EXPECT_EQ(Call(25), 1);
    EXPECT_EQ(Get("nFrames"), -50);
}

TEST_F(DeckTest, CueRefusedInStandby) {
    StartDeck();
    Connect();
    ASSERT_EQ(Control("status 0 3 1"), "ok");
    Set("nState", 9);
    Set("nPosition", 1500);
    EXPECT_EQ(Call(7), 0);
    EXPECT_EQ(Call(8), 0);
    EXPECT_EQ(Get("nState"), 9);
    EXPECT_FALSE(SawByte(0xDF));
}

// Speed commands: the byte the deck receives and what it then does.
struct SpeedCase {
    int command;
    int32_t speed;
    const char* sent;
    uint8_t digit;  // the variable-speed digit, 0 for none
};

TEST_F(DeckTest, SpeedAndVariableSpeed) {
    const SpeedCase cases[] = {{47, 10, "shuttle-fwd", 0},   {47, 80, "wind-fwd", 0},
                               {47, -2, "shuttle-rev", 0},   {47, 0, "wind-rev", 0},
                               {47, -300, "shuttle-rev", 0}, {53, 3, "var-fwd", '7'},
                               {53, -2, "var-rev", '6'},     {53, 0, "var-rev", '0'},
                               {53, 4, "var-fwd", '8'},      {53, -4, "var-rev", '8'}};
    StartDeck();
    Connect();
    for (const SpeedCase& c : cases) {
        Forget();
        Set("nSpeed", c.speed);
        EXPECT_EQ(Call(c.command), 1) << c.command << " " << c.speed;
        EXPECT_TRUE(Saw(c.sent)) << c.command << " " << c.speed << " should send " << c.sent;
        if (c.digit != 0) {
            EXPECT_TRUE(SawByte(c.digit)) << c.speed;
            EXPECT_TRUE(Saw("var-digit")) << c.speed;
        }
    }
    const std::string state = Control("get");
    EXPECT_NE(state.find("transport=var-speed"), std::string::npos) << state;
}

}  // namespace
}  // namespace e2e
