#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/hostkit/script.h"

namespace hostkit {
namespace {

struct ValueCase {
    const char* text;
    const char* field;
    int fps;
    bool ok;
    int64_t expected;
};

class ValueTest : public testing::TestWithParam<ValueCase> {};

TEST_P(ValueTest, ResolvesOrRefuses) {
    const ValueCase& c = GetParam();
    const FieldInfo* field = FindField(c.field);
    ASSERT_NE(field, nullptr);
    auto resolve = [&] {
        return Resolve(ParseValue(c.text, field->kind == FieldKind::kFrames), *field, c.fps);
    };
    if (c.ok) {
        EXPECT_EQ(resolve(), c.expected) << c.text;
    } else {
        EXPECT_THROW(resolve(), ScriptError) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ValueTest,
    testing::Values(ValueCase{"1500", "nPosition", 25, true, 1500},
                    ValueCase{"00:01:00:00", "nPosition", 25, true, 1500},
                    ValueCase{"00:01:00:00", "nPosition", 30, true, 1800},
                    ValueCase{"01:02:03:04", "nPosition", 25, true, (3723 * 25) + 4},
                    ValueCase{"-00:00:02:00", "nCueOffset", 25, true, -50},
                    ValueCase{"0:0:2:0", "nPosition", 25, true, 50},
                    ValueCase{"00:00:00:24", "nPosition", 25, true, 24},
                    ValueCase{"00:00:00:25", "nPosition", 25, false, 0},
                    ValueCase{"00:00:00:25", "nPosition", 30, true, 25},
                    ValueCase{"00:60:00:00", "nPosition", 25, false, 0},
                    ValueCase{"00:00:60:00", "nPosition", 25, false, 0},
                    ValueCase{"1:2", "nPosition", 25, false, 0},
                    ValueCase{"00:01:00:00:00", "nPosition", 25, false, 0},
                    ValueCase{"00:001:00:00", "nPosition", 25, false, 0},
                    ValueCase{"00:01:00:00", "nSpeed", 25, false, 0},
                    ValueCase{"010", "nPosition", 25, true, 10},
                    ValueCase{"-2", "nSpeed", 25, true, -2}, ValueCase{"+3", "nSpeed", 25, true, 3},
                    ValueCase{"0x18", "dwPending", 25, true, 0x18},
                    ValueCase{"0xFFFFFFFF", "dwOptions", 25, true, 0xFFFFFFFF},
                    ValueCase{"0x100000000", "dwOptions", 25, false, 0},
                    ValueCase{"-1", "dwPending", 25, false, 0},
                    ValueCase{"2147483647", "nPosition", 25, true, 2147483647},
                    ValueCase{"2147483648", "nPosition", 25, false, 0},
                    ValueCase{"-2147483648", "nSpeed", 25, true, -2147483648LL},
                    ValueCase{"-2147483649", "nSpeed", 25, false, 0},
                    ValueCase{"12abc", "nPort", 25, false, 0}, ValueCase{"", "nPort", 25, false, 0},
                    ValueCase{"0x", "nPort", 25, false, 0},
                    ValueCase{"--1", "nPort", 25, false, 0}));

struct ScriptCase {
    const char* name;
    const char* script;
    // One entry per step: command number, or -1 set, -2 sleep, -3 show.
    std::vector<int> steps;
    // Fields filled by the last step, in order.
    std::vector<std::string> fields;
    const char* error;  // part of the message when the script is refused
};

class ScriptTest : public testing::TestWithParam<ScriptCase> {};

TEST_P(ScriptTest, ParsesOrNamesTheFault) {
    const ScriptCase& c = GetParam();
    if (c.error != nullptr) {
        try {
            ParseScript(c.script);
            ADD_FAILURE() << "accepted: " << c.script;
        } catch (const ScriptError& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        return;
    }
    const std::vector<Step> steps = ParseScript(c.script);
    std::vector<int> kinds;
    for (const Step& s : steps) {
        switch (s.kind) {
            case Step::Kind::kCommand:
                kinds.push_back(s.command);
                break;
            case Step::Kind::kSet:
                kinds.push_back(-1);
                break;
            case Step::Kind::kSleep:
                kinds.push_back(-2);
                break;
            case Step::Kind::kShow:
                kinds.push_back(-3);
                break;
        }
    }
    EXPECT_EQ(kinds, c.steps);
    std::vector<std::string> fields;
    if (!steps.empty()) {
        for (const Assignment& a : steps.back().sets) {
            fields.push_back(a.field->name);
        }
    }
    EXPECT_EQ(fields, c.fields);
}

const ScriptCase kScripts[] = {
    {"IssueExample",
     "connect; status; play; poll; cue 00:01:00:00; position; speed -2; disconnect",
     {5, 33, 9, 10, 7, 25, 47, 6},
     {},
     nullptr},
    {"EveryName",
     "identify;connect;disconnect;cue;cue-offset;play;poll;status16;status17;status18;idle;"
     "update;position;status29;ready;status;video-system;speed;varspeed",
     {1, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 24, 25, 29, 30, 33, 44, 47, 53},
     {},
     nullptr},
    {"NumbersAndUnknownNumbers", "10\n47\n2\n-1", {10, 47, 2, -1}, {}, nullptr},
    {"NamesIgnoreCase", "CONNECT; Poll", {5, 10}, {}, nullptr},
    {"CueTakesPosition", "cue 00:01:00:00", {7}, {"nPosition"}, nullptr},
    {"CueOffsetTakesBoth", "cue-offset 100 25", {8}, {"nPosition", "nCueOffset"}, nullptr},
    {"NumberWithValue", "47 -2", {47}, {"nSpeed"}, nullptr},
    {"ConnectTakesPort", "connect 3", {5}, {"nPort"}, nullptr},
    {"VarspeedEdge", "varspeed -4; varspeed 4", {53, 53}, {"nSpeed"}, nullptr},
    {"SetSeveral", "set nPosition=1500 dwPending=4", {-1}, {"nPosition", "dwPending"}, nullptr},
    {"SetWithSpace", "set nSpeed 3", {-1}, {"nSpeed"}, nullptr},
    {"BareAssignment", "dwOptions=8", {-1}, {"dwOptions"}, nullptr},
    {"FieldNamesIgnoreCase", "set NPOSITION=1", {-1}, {"nPosition"}, nullptr},
    {"SleepAndShow", "sleep 10; show", {-2, -3}, {}, nullptr},
    {"CommentsAndBlanks", "# setup\n\n identify  # name\n;;; poll;", {1, 10}, {}, nullptr},
    {"SemicolonInCommentIsComment", "idle # a; play", {19}, {}, nullptr},
    {"UnknownCommand", "connect\nrewind", {}, {}, "line 2: unknown command 'rewind'"},
    {"UnknownField", "set nFoo=1", {}, {}, "unknown field 'nFoo'"},
    {"ReadOnlyField", "set szName=1", {}, {}, "szName cannot be set"},
    {"SetWithoutValue", "set", {}, {}, "set needs FIELD=VALUE"},
    {"SetMissingEquals", "set nSpeed=1 nPort", {}, {}, "expected FIELD=VALUE"},
    {"TooManyValues", "play 3", {}, {}, "play takes no value"},
    {"TooManyForCueOffset", "cue-offset 1 2 3", {}, {}, "at most 2 values"},
    {"BadTimecode", "cue 1:00", {}, {}, "bad timecode '1:00'"},
    {"TimecodeForSpeed", "speed 00:00:01:00", {}, {}, "timecode is not allowed"},
    {"VarspeedOutOfRange", "varspeed 5", {}, {}, "varspeed takes -4 to 4"},
    {"SleepNeedsNumber", "sleep soon", {}, {}, "sleep takes milliseconds"},
    {"ShowTakesNothing", "show all", {}, {}, "show takes no value"},
    {"HugeCommandNumber", "99999999999", {}, {}, "out of range"},
};

INSTANTIATE_TEST_SUITE_P(Table, ScriptTest, testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Script, ValuesStayTimecodesUntilRun) {
    // The frame rate is that of the record when the step runs, not when the script is read.
    const std::vector<Step> steps = ParseScript("cue -01:00:00:10");
    ASSERT_EQ(steps.size(), 1u);
    const Assignment& a = steps[0].sets.at(0);
    EXPECT_EQ(Resolve(a.value, *a.field, 25), -(3600 * 25 + 10));
    EXPECT_EQ(Resolve(a.value, *a.field, 30), -(3600 * 30 + 10));
}

TEST(Script, CommandTableIsConsistent) {
    for (const CommandInfo& c : Commands()) {
        EXPECT_EQ(FindCommand(c.number), &c) << c.name;
        EXPECT_EQ(FindCommand(std::string(c.name)), &c) << c.name;
        for (const char* field : c.args) {
            EXPECT_NE(FindField(field), nullptr) << c.name << " fills " << field;
        }
    }
    EXPECT_EQ(CommandName(2), "command 2");
}

}  // namespace
}  // namespace hostkit
