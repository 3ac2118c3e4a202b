// MediaConch's CSV verdicts read as the report needs them, and the program runner's limits.
#include "tools/capture/conformance.h"

#include <gtest/gtest.h>

#include "tools/capture/program.h"

namespace capture {
namespace {

constexpr const char* kHeader =
    "filename,overall,\"Matroska\",\"Cues, to find a frame\",\"Interlaced\"\n";

TEST(PolicyCsvTest, ReadsTheFilesVerdict) {
    struct Row {
        const char* name;
        std::string csv;
        std::string file;
        bool checked;
        bool pass;
        std::vector<std::string> failed;
        const char* error;
    };
    const Row rows[] = {
        // A rule MediaConch could not apply does not fail the file.
        {"pass",
         std::string(kHeader) + "/c/a.mkv,pass,pass,pass,n/a\n",
         "/c/a.mkv",
         true,
         true,
         {},
         ""},
        // A rule's name with a comma in it stays whole; only the rules failed are named.
        {"fail",
         std::string(kHeader) + "/c/a.mkv,fail,n/a,fail,fail\n",
         "/c/a.mkv",
         true,
         false,
         {"Cues, to find a frame", "Interlaced"},
         ""},
        {"the file's row among others",
         std::string(kHeader) +
             "/c/b.mkv,fail,fail,fail,fail\n\"/c/a,1.mkv\",pass,pass,pass,pass\n",
         "/c/a,1.mkv",
         true,
         true,
         {},
         ""},
        {"no row for the file",
         std::string(kHeader) + "/c/b.mkv,pass,pass,pass,pass\n",
         "/c/a.mkv",
         false,
         false,
         {},
         "MediaConch gave no verdict for /c/a.mkv"},
        {"no report", "", "/c/a.mkv", false, false, {}, "MediaConch gave no verdict for /c/a.mkv"},
        {"a row cut short",
         std::string(kHeader) + "/c/a.mkv,pass,pass\n",
         "/c/a.mkv",
         false,
         false,
         {},
         "MediaConch's verdict for /c/a.mkv cannot be read"},
        {"an outcome unknown",
         std::string(kHeader) + "/c/a.mkv,n/a,pass,pass,pass\n",
         "/c/a.mkv",
         false,
         false,
         {},
         "MediaConch's verdict for /c/a.mkv cannot be read"},
        {"not CSV",
         std::string(kHeader) + "\"/c/a.mkv,pass\n",
         "/c/a.mkv",
         false,
         false,
         {},
         "MediaConch's report is not CSV"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Conformance c = ReadPolicyCsv(row.csv, row.file);
        EXPECT_EQ(c.checked, row.checked);
        EXPECT_EQ(c.pass, row.pass);
        EXPECT_EQ(c.failed, row.failed);
        EXPECT_EQ(c.error.substr(0, std::string(row.error).size()), row.error);
        EXPECT_EQ(c.error.empty(), std::string(row.error).empty());
    }
}

TEST(RunProgramTest, OutputStatusAndLimits) {
    ProgramRun r = RunProgram({"sh", "-c", "printf 'a,b'; echo \"$CHECK_HOME\" >&2; exit 3"},
                              {{"CHECK_HOME", "/x"}}, std::chrono::seconds(20), 100);
    EXPECT_TRUE(r.started);
    EXPECT_FALSE(r.timedOut);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.out, "a,b");  // standard error is not kept

    r = RunProgram({"sh", "-c", "printf \"$CHECK_HOME\"; yes | head -c 100000"},
                   {{"CHECK_HOME", "/home/x"}}, std::chrono::seconds(20), 10);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/home/xy\ny");  // cut at 10 bytes, the rest read and dropped

    // One that never ends is killed at the limit, even with its output closed.
    for (const char* script : {"sleep 30", "exec >&-; sleep 30"}) {
        SCOPED_TRACE(script);
        const auto start = std::chrono::steady_clock::now();
        r = RunProgram({"sh", "-c", script}, {}, std::chrono::milliseconds(200), 10);
        EXPECT_TRUE(r.started);
        EXPECT_TRUE(r.timedOut);
        EXPECT_EQ(r.status, -1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    }

    r = RunProgram({"tapedeck5500-no-such-program"}, {}, std::chrono::seconds(5), 10);
    EXPECT_FALSE(r.started);
    EXPECT_NE(r.error.find("cannot run tapedeck5500-no-such-program"), std::string::npos);
}

}  // namespace
}  // namespace capture
