#include "tools/decksim/control.h"

#include <gtest/gtest.h>

namespace decksim {
namespace {

const Clock::time_point kT0 = Clock::time_point{} + std::chrono::hours(1);

struct Harness {
    DeckModel deck{25, 1, kT0};
    Responder responder{deck};
    Millis hungUpFor{-1};
    bool quit = false;
    Controller control{deck, responder, [this](Millis ms) { hungUpFor = ms; },
                       [this] { quit = true; }};
};

struct LineCase {
    const char* line;
    const char* reply;  // expected start of the reply
};

void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.line;
}

class ControlLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(ControlLine, RepliesOkOrExplains) {
    Harness h;
    const std::string reply = h.control.Execute(GetParam().line, kT0);
    EXPECT_EQ(reply.rfind(GetParam().reply, 0), 0u) << reply;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ControlLine,
    ::testing::Values(LineCase{"status 3 4 1", "ok"}, LineCase{"status 9 7 auto", "ok"},
                      LineCase{"status 10 0 1", "error"}, LineCase{"status 0 8 1", "error"},
                      LineCase{"status 0 0 2", "error"}, LineCase{"status", "00 00 00 30 00"},
                      LineCase{"time -01:00:00:00", "ok"}, LineCase{"time 00:60:00:00", "error"},
                      LineCase{"system 4", "ok"}, LineCase{"system 2", "error"},
                      LineCase{"fault late 200", "ok"}, LineCase{"fault late soon", "error"},
                      LineCase{"fault late 60 10", "ok"}, LineCase{"fault late 60 0", "error"},
                      LineCase{"fault nak 1 2", "error"}, LineCase{"fault random", "error"},
                      LineCase{"fault random 0", "error"}, LineCase{"fault nak extra", "error"},
                      LineCase{"fault", "error"}, LineCase{"cue 00:01:00:00", "ok"},
                      LineCase{"get", "transport=stopped"}, LineCase{"rewind", "error"},
                      LineCase{"break 00:01:00:00 00:05:00:00", "ok"}, LineCase{"break none", "ok"},
                      LineCase{"break 00:60:00:00 00:01:00:00", "error"},
                      LineCase{"break 00:01:00:00", "error"}, LineCase{"lock 1500", "ok"},
                      LineCase{"lock -1", "error"}, LineCase{"help", "status BYTE BIT"}));

TEST(ControlEffects, CommandsReachTheDeck) {
    Harness h;
    h.control.Execute("time -00:00:02:00", kT0);
    h.control.Execute("system 4", kT0);
    h.control.Execute("status 5 4 1", kT0);
    h.control.Execute("fault late 200", kT0);
    EXPECT_EQ(h.deck.Frames(kT0), -50);
    EXPECT_EQ(h.deck.VideoSystem(), 4);
    EXPECT_EQ(h.deck.Status(kT0)[5], 0x10);
    EXPECT_EQ(h.responder.GetFault().kind, FaultKind::kLate);
    EXPECT_EQ(h.responder.GetFault().delay, Millis(200));
    EXPECT_EQ(h.control.Describe(kT0),
              "transport=stopped speed=0 time=-00:00:02:00 system=4 "
              "status=00 00 00 30 00 10 00 00 00 00 fault=late");

    h.control.Execute("play", kT0);
    EXPECT_EQ(h.deck.Frames(kT0 + std::chrono::seconds(2)), 0);
}

// Refused in words: a system-4 time past the deck's range, a cue to a pair's second frame.
TEST(ControlEffects, RefusesWhatTheDeckCannotHold) {
    Harness h;
    DeckModel deck50{50, 4, kT0};
    Controller c50{deck50, h.responder, [](Millis) {}, [] {}};
    EXPECT_EQ(c50.Execute("time 01:00:00:45", kT0), "ok");  // the tape may stand there
    EXPECT_EQ(c50.Execute("cue 01:00:00:45", kT0).rfind("error: 01:00:00:45 cannot be sent", 0),
              0u);
    EXPECT_EQ(c50.Execute("time 10:00:00:02", kT0),
              "error: a video-system-4 deck's times run from -13:59:59:48 to 10:00:00:01; "
              "10:00:00:02 is not one of them");
}

TEST(ControlEffects, ABreakMovesTheTimeReadNotTheTapeAndACueFindsItOnTheTape) {
    Harness h;
    h.control.Execute("break 00:01:00:00 00:05:00:00", kT0);
    h.control.Execute("time 00:01:00:05", kT0);
    EXPECT_EQ(h.deck.Frames(kT0), 1505);        // the tape, and its picture
    EXPECT_EQ(h.deck.LabelFrames(kT0), 7505);   // what the deck reports
    h.control.Execute("cue 00:05:00:10", kT0);  // a time after the break
    EXPECT_EQ(h.deck.Frames(kT0 + std::chrono::seconds(2)), 1510);
    h.control.Execute("break none", kT0);
    EXPECT_EQ(h.deck.LabelFrames(kT0 + std::chrono::seconds(2)), 1510);
}

TEST(ControlEffects, HangupAndQuitGoToTheServer) {
    Harness h;
    EXPECT_EQ(h.control.Execute("fault hangup", kT0), "ok");
    EXPECT_EQ(h.hungUpFor, Millis(1000));
    h.control.Execute("fault hangup 250", kT0);
    EXPECT_EQ(h.hungUpFor, Millis(250));
    EXPECT_EQ(h.responder.GetFault().kind, FaultKind::kNone);  // not a standing fault
    EXPECT_FALSE(h.quit);
    h.control.Execute("quit", kT0);
    EXPECT_TRUE(h.quit);
}

}  // namespace
}  // namespace decksim
