#include "tools/hostkit/timecode.h"

#include <gtest/gtest.h>

namespace hostkit {
namespace {

struct LabelCase {
    const char* rate;
    const char* text;
    int64_t frames;  // real frames since 00:00:00:00
};

void PrintTo(const LabelCase& c, std::ostream* os) {
    *os << c.rate << " " << c.text;
}

class TimecodeLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(TimecodeLabels, ParseAndFormatAgree) {
    const LabelCase& c = GetParam();
    const TimeBase base = FindRate(c.rate)->base;
    const ParsedTimecode p = ParseTimecode(c.text, base);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.frames, c.frames);
    EXPECT_EQ(FormatTimecode(c.frames, base), c.text);
}

// The minute boundaries of drop frame: the first minute of ten keeps its labels, the others
// start at ;02 (;04 at 59.94).
INSTANTIATE_TEST_SUITE_P(
    Table, TimecodeLabels,
    ::testing::Values(
        LabelCase{"29.97df", "00:00:59;29", 1799}, LabelCase{"29.97df", "00:01:00;02", 1800},
        LabelCase{"29.97df", "00:01:00;29", 1827}, LabelCase{"29.97df", "00:09:59;29", 17981},
        LabelCase{"29.97df", "00:10:00;00", 17982}, LabelCase{"29.97df", "00:10:00;01", 17983},
        LabelCase{"29.97df", "00:11:00;02", 19782}, LabelCase{"29.97df", "23:59:59;29", 2589407},
        LabelCase{"29.97df", "-00:01:00;02", -1800}, LabelCase{"59.94df", "00:00:59;59", 3599},
        LabelCase{"59.94df", "00:01:00;04", 3600}, LabelCase{"59.94df", "00:09:59;59", 35963},
        LabelCase{"59.94df", "00:10:00;00", 35964}, LabelCase{"59.94df", "00:10:00;03", 35967},
        LabelCase{"59.94df", "23:59:59;59", 5178815}, LabelCase{"29.97", "00:01:00:29", 1829},
        LabelCase{"23.98", "00:00:01:00", 24}, LabelCase{"25", "01:00:00:00", 90000}));

struct RefusalCase {
    const char* rate;
    const char* text;
    const char* says;  // part of the error
};

void PrintTo(const RefusalCase& c, std::ostream* os) {
    *os << c.rate << " " << c.text;
}

class TimecodeRefusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(TimecodeRefusals, NamesTheLabel) {
    const RefusalCase& c = GetParam();
    const ParsedTimecode p = ParseTimecode(c.text, *FindRate(c.rate));
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
}

INSTANTIATE_TEST_SUITE_P(
    Table, TimecodeRefusals,
    ::testing::Values(RefusalCase{"29.97df", "00:01:00;00", "00:01:00;00 does not exist"},
                      RefusalCase{"29.97df", "00:01:00;01", "frames 00-01 are skipped"},
                      RefusalCase{"59.94df", "00:21:00;03", "frames 00-03 are skipped"},
                      RefusalCase{"29.97", "00:01:00;29", "';' marks drop-frame"},
                      RefusalCase{"29.97", "00:01:00;29", "this runs at 29.97 non-drop"},
                      RefusalCase{"29.97df", "00:00:00;30", "frame 30 does not exist"},
                      RefusalCase{"25", "00:00:00:25", "frame 25 does not exist"},
                      RefusalCase{"25", "24:00:00:00", "not a time of day"},
                      RefusalCase{"25", "0:00:00:00", "not a time of the form"},
                      RefusalCase{"25", "00:00:0a:00", "not a time of the form"}));

struct ModuleCase {
    const char* rate;
    const char* text;
    int64_t cue;   // the count that makes the module send it; -1: the line cannot carry it
    int64_t read;  // the module's count when the deck stands on it
    const char* shown = nullptr;  // what that read shows, when not `text`
};

void PrintTo(const ModuleCase& c, std::ostream* os) {
    *os << c.rate << " " << c.text;
}

class TimecodeModuleCounts : public ::testing::TestWithParam<ModuleCase> {};

TEST_P(TimecodeModuleCounts, CueAndRead) {
    const ModuleCase& c = GetParam();
    const TimeBase base = FindRate(c.rate)->base;
    const int64_t labels = FramesToLabels(ParseTimecode(c.text, base).frames, base);
    int64_t count = -1;
    EXPECT_EQ(ModuleCountOfLabels(labels, base, &count), c.cue != -1);
    EXPECT_EQ(count, c.cue);
    EXPECT_EQ(FormatTimecode(LabelsToFrames(LabelsOfModuleCount(c.read, base), base), base),
              c.shown != nullptr ? c.shown : c.text);
    // What the line cannot carry is refused naming the frames either side, the shown one first.
    const std::string refusal = LineRefusal(LabelsToFrames(labels, base), *FindRate(c.rate));
    EXPECT_EQ(refusal.empty(), c.cue != -1) << refusal;
    if (c.cue == -1) {
        EXPECT_NE(refusal.find(std::string("pairs; ") + c.shown + " or "), std::string::npos);
    }
}

// Every rate counts at 50 a second in the module, the same both ways: the pair labels of 50
// and 59.94 (00-24, 00-29) too. A read at a pair rate shows the pair's first frame; a count
// below zero comes back from the module's complement with frames 1-50.
INSTANTIATE_TEST_SUITE_P(
    Table, TimecodeModuleCounts,
    ::testing::Values(
        ModuleCase{"25", "00:00:01:00", 50, 50}, ModuleCase{"23.98", "01:00:00:23", 180023, 180023},
        ModuleCase{"29.97df", "00:01:00;02", 3002, 3002},
        ModuleCase{"25", "-00:00:01:24", -74, -74}, ModuleCase{"59.94", "00:00:01:00", 50, 50},
        ModuleCase{"59.94", "00:00:16:58", 829, 829}, ModuleCase{"59.94", "-00:00:01:00", -50, -50},
        ModuleCase{"59.94df", "00:10:00;00", 30000, 30000},
        ModuleCase{"59.94", "00:00:16:59", -1, 829, "00:00:16:58"},
        ModuleCase{"50", "01:00:00:45", -1, 180022, "01:00:00:44"},
        ModuleCase{"50", "-00:00:00:01", -1, -1, "-00:00:00:02"},
        ModuleCase{"59.94df", "-00:01:00;04", -3002, -3002},
        ModuleCase{"59.94df", "-00:00:59;59", -1, -3002, "-00:01:00;04"}));

// Every frame of a day has a label that exists, the labels only grow, and each leads back to
// its frame; the day ends on the last label of 23:59:59.
TEST(TimecodeDay, EveryFrameRoundTripsAtBothDropRates) {
    for (const char* name : {"29.97df", "59.94df"}) {
        const TimeBase base = FindRate(name)->base;
        int64_t previous = -1;
        int64_t bad = 0;
        for (int64_t f = 0; f < DayFrames(base); ++f) {
            const int64_t label = FramesToLabels(f, base);
            bad +=
                label <= previous || !LabelExists(label, base) || LabelsToFrames(label, base) != f;
            previous = label;
        }
        EXPECT_EQ(bad, 0) << name;
        EXPECT_EQ(previous, int64_t{86400} * base.whole - 1) << name;
    }
}

}  // namespace
}  // namespace hostkit
