#include "tools/cliplog/clip_export.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace cliplog {
namespace {

const hostkit::TimeBase kDf{30, true};

int64_t At(const char* text) {
    return hostkit::ParseTimecode(text, kDf).frames;
}

TEST(ClipExport, EdlAtDropFrameMatchesGolden) {
    const std::vector<EdlClip> clips = {
        {1, "TAPE_A", "Opening", "bars", At("00:00:59;28"), At("00:01:00;04")},
        {2, "TAPE_A", "", "", At("00:09:59;29"), At("00:10:00;01")},
        {3, "TAPE_A", "a note", "", At("00:05:00;00"), At("00:05:00;00")},
        {4, "A very long reel", "A clip name well past the eight characters of a reel", "",
         At("00:01:59;29"), At("00:02:00;02")}};
    std::ifstream in(EXPECTED_DIR "/expected_df.edl", std::ios::binary);
    std::stringstream expected;
    expected << in.rdbuf();
    EXPECT_EQ(MakeEdl("DF TEST", kDf, clips), expected.str());
}

struct ConflictCase {
    const char* name;
    std::vector<EdlClip> clips;
    const char* says;
};

void PrintTo(const ConflictCase& c, std::ostream* os) {
    *os << c.name;
}

class EdlConflicts : public ::testing::TestWithParam<ConflictCase> {};

TEST_P(EdlConflicts, RefusedInWords) {
    try {
        MakeEdl("T", kDf, GetParam().clips);
        ADD_FAILURE() << "no conflict";
    } catch (const ExportConflict& e) {
        EXPECT_NE(std::string(e.what()).find(GetParam().says), std::string::npos) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, EdlConflicts,
    ::testing::Values(
        ConflictCase{"ReelsThatBecomeOne",
                     {{1, "Interview 1", "", "", 0, 10}, {2, "Interview 2", "", "", 0, 10}},
                     "'Interview 1' and 'Interview 2' both become 'INTERVIE'"},
        ConflictCase{"AcrossZero", {{7, "R", "", "", -5, 5}}, "clip 7 runs across 00:00:00;00"},
        ConflictCase{"ThousandEvents", std::vector<EdlClip>(1000, EdlClip{1, "R", "", "", 0, 1}),
                     "1000 events and an EDL at most 999; export a range"},
        // 23 hours from 01:00:00;00 would end on 24:00:00;00, written as the next day's.
        ConflictCase{"PastTheDay",
                     std::vector<EdlClip>(23, EdlClip{1, "R", "", "", 0, At("01:00:00;00")}),
                     "the record times would pass 24:00:00:00: the events last 23:00:00;00, and "
                     "from 01:00:00;00 an EDL holds less than 23:00:00;00; export a range"}),
    [](const auto& info) { return std::string(info.param.name); });

// The limits themselves are exported: 999 events, record times ending a frame short of 24 h.
TEST(ClipExport, LargestExportsAreMade) {
    EXPECT_NO_THROW(MakeEdl("T", kDf, std::vector<EdlClip>(999, EdlClip{1, "R", "", "", 0, 1})));
    std::vector<EdlClip> day(22, EdlClip{1, "R", "", "", 0, At("01:00:00;00")});
    day.push_back(EdlClip{2, "R", "", "", 0, At("00:59:59;29")});
    EXPECT_NE(MakeEdl("T", kDf, day).find(" 23:00:00;00 23:59:59;29\n"), std::string::npos);
}

// What a spreadsheet would run as a formula gets a leading quote, and comes back exact.
TEST(ClipExport, SpreadsheetTextRoundTrips) {
    for (const std::string text : {"=1+1", "+44 20", "-x", "@SUM(A1)", "\tx", "'quoted", "plain"}) {
        const std::string cell = SpreadsheetText(text);
        EXPECT_EQ(cell[0] == '\'', text != "plain") << text;
        EXPECT_EQ(FromSpreadsheetText(cell), text);
    }
    EXPECT_EQ(CsvQuoted("  a \"b\"  "), "\"  a \"\"b\"\"  \"");
}

}  // namespace
}  // namespace cliplog
