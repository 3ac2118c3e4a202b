// The clip log's file formats and its file: CSV and EDL against expected files, CSV read back,
// bad CSV refused whole, and a log that survives a reopen.
#include "tools/cliplog/clip_log.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace cliplog {
namespace {

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const hostkit::RateInfo* Fps25(int port) {
    return port == 1 || port == 2 ? hostkit::FindRate("25") : nullptr;
}

// Quotes, commas, line breaks, UTF-8, edge spaces and formulas in the text fields; a reel too long
// and too odd for an EDL; a note at a single time, which has no EDL event; a second deck.
std::vector<Json> Rows() {
    return {
        Json{{"name", "Opening"},
             {"in", "00:10:00:00"},
             {"out", "00:10:04:10"},
             {"note", "colour bars first"}},
        Json{{"name", "Interview, \"take 2\""},
             {"in", "00:20:00:00"},
             {"out", "00:20:10:00"},
             {"note", "line one\nline two"}},
        Json{{"name", "dropout"}, {"in", "00:21:00:05"}, {"note", "a fault on the tape"}},
        Json{{"port", 2},
             {"reel", "tape-0042 b"},
             {"name", "Schlu\u00df"},
             {"in", "01:00:00:00"},
             {"out", "01:00:00:01"}},
        // Spaces a CSV reader would trim, and text a spreadsheet would run.
        Json{{"name", "  spaced  "}, {"in", "00:30:00:00"}, {"note", "=cmd|' /c calc'!A0"}},
    };
}

class ClipLogTest : public testing::Test {
  protected:
    void SetUp() override {
        m_Dir = fs::temp_directory_path() / ("cliplog-test-" + std::to_string(getpid()));
        fs::remove_all(m_Dir);
        m_Path = (m_Dir / "sub" / "cliplog.json").string();
        std::string error;
        ASSERT_TRUE(m_Log.Open(m_Path, &error)) << error;
    }
    void TearDown() override { fs::remove_all(m_Dir); }

    fs::path m_Dir;
    std::string m_Path;
    ClipLog m_Log;
};

TEST_F(ClipLogTest, CsvAndEdlMatchTheExpectedFiles) {
    for (const Json& row : Rows()) {
        m_Log.Add(row, Fps25);
    }
    EXPECT_EQ(ClipsCsv(m_Log.List()), ReadFile(EXPECTED_DIR "/cliplog.csv"));
    EXPECT_EQ(ClipsEdl(m_Log.List(), "LOG\nONE"), ReadFile(EXPECTED_DIR "/cliplog.edl"));
}

TEST_F(ClipLogTest, CsvReadsBackToTheSameLogAndSurvivesAReopen) {
    for (const Json& row : Rows()) {
        m_Log.Add(row, Fps25);
    }
    const std::string csv = ClipsCsv(m_Log.List());

    ClipLog other;
    std::string error;
    ASSERT_TRUE(other.Open((m_Dir / "other.json").string(), &error)) << error;
    other.ImportCsv(csv, Fps25);
    EXPECT_EQ(ClipsCsv(other.List()), csv);
    // The same rows again update the clips by id rather than adding them twice.
    other.ImportCsv(csv, Fps25);
    EXPECT_EQ(ClipsCsv(other.List()), csv);
    // Rows without an id are new clips, numbered on from the last.
    other.ImportCsv("in,out,name\r\n00:00:01:00,00:00:02:00,extra\r\n", Fps25);
    ASSERT_EQ(other.List().size(), 6u);
    EXPECT_EQ(other.List().back().id, 6);
    EXPECT_EQ(other.List().back().reel, "DECK1");

    m_Log.Delete(2);
    m_Log.Edit(1, Json{{"name", "renamed"}}, Fps25);
    const std::string written = ClipsCsv(m_Log.List());
    m_Log.Close();
    ClipLog reopened;
    ASSERT_TRUE(reopened.Open(m_Path, &error)) << error;
    EXPECT_EQ(ClipsCsv(reopened.List()), written);
    EXPECT_EQ(reopened.Add(Json{{"in", "00:00:00:00"}}, Fps25).id, 6) << "ids are never reused";
}

TEST_F(ClipLogTest, BadInputIsRefusedAndChangesNothing) {
    m_Log.Add(Rows()[0], Fps25);
    const std::string before = ReadFile(m_Path);
    std::string rows = "id,in\r\n";  // each row edits clip 1: only the count of rows stops it
    for (std::size_t i = 0; i < kMaxCsvRows; ++i) {
        rows += "1,00:00:00:00\r\n";
    }
    const struct {
        std::string csv;
        const char* error;
    } badCsv[] = {
        {"", "empty"},
        {"id,reel,name\r\n1,a,b\r\n", "no 'in' column"},
        {"in,colour\r\n00:00:00:00,red\r\n", "unknown CSV column 'colour'"},
        {"in,name\r\n00:00:00:00\r\n", "row 2 has 1 fields"},
        {"in,name\r\n00:00:00:00,\"unclosed\r\n", "malformed"},
        {"in,name\r\n00:00:00:00,ok\r\n00:00:61:00,bad second\r\n", "row 3: in must be"},
        {"in,out\r\n00:00:02:00,00:00:01:00\r\n", "before the in time"},
        {"id,in\r\n-4,00:00:00:00\r\n", "not a clip number"},
        {"id,in\r\n99999999999999999999,00:00:00:00\r\n", "not a clip number"},
        {"id,in\r\n1000000000,00:00:00:00\r\n", "not a clip number"},
        // Ids that would leave too few numbers for new clips; the bounds of the reader.
        {"id,in\r\n999979999,00:00:00:00\r\n999980000,00:00:00:00\r\n", "row 3: clip id"},
        {std::string(4 << 20, ','), "row 1 has more than 11 fields"},
        {"in,note\r\n00:00:00:00,\"" + std::string(2 * kMaxCsvField + 2, '"') + "\"\r\n",
         "row 2 has a field longer than 4096"},
        {rows, "more than 20000 rows"},
    };
    for (const auto& c : badCsv) {
        try {
            m_Log.ImportCsv(c.csv, Fps25);
            ADD_FAILURE() << "accepted: " << c.csv.substr(0, 80);
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos)
                << c.csv.substr(0, 80) << " -> " << e.what();
        }
    }
    const Json badFields[] = {
        Json{{"name", "no in"}},
        Json{{"in", "00:00:00:25"}},
        Json{{"in", "24:00:00:00"}},
        Json{{"in", 5}},
        Json{{"in", "00:00:00:00"}, {"port", 9}},
        Json{{"in", "00:00:00:00"}, {"name", std::string(300, 'x')}},
        Json::array(),
    };
    for (const Json& f : badFields) {
        EXPECT_THROW(m_Log.Add(f, Fps25), ClipError) << f.dump();
    }
    EXPECT_THROW(m_Log.Edit(7, Json{{"name", "x"}}, Fps25), std::out_of_range);
    EXPECT_EQ(m_Log.List().size(), 1u);
    EXPECT_EQ(ReadFile(m_Path), before);
}

// A clip keeps the rate it was logged at when its deck changes tapes; a log written before
// clips had rates opens at 25.
TEST_F(ClipLogTest, ClipsKeepTheirRate) {
    const hostkit::RateInfo* deckRate = hostkit::FindRate("29.97df");
    const RateOfPort rateOf = [&deckRate](int port) { return port == 1 ? deckRate : nullptr; };
    m_Log.Add(Json{{"in", "00:01:00;02"}, {"out", "00:02:00;02"}}, rateOf);
    deckRate = hostkit::FindRate("25");
    const Clip edited = m_Log.Edit(1, Json{{"name", "after the tape change"}}, rateOf);
    EXPECT_STREQ(edited.rate->name, "29.97df");
    EXPECT_EQ(edited.out - edited.in, 1798);  // a dropping minute
    EXPECT_EQ(ClipJson(edited)["out"], "00:02:00;02");

    {
        std::ofstream(m_Path) << R"({"version":1,"nextId":2,"clips":[{"id":1,"port":1,)"
                              << R"("reel":"DECK1","name":"","in":"00:00:01:00",)"
                              << R"("out":"00:00:02:00","note":"","fps":25}]})";
    }
    m_Log.Close();  // the file is one server's at a time
    ClipLog old;
    std::string error;
    ASSERT_TRUE(old.Open(m_Path, &error)) << error;
    EXPECT_STREQ(old.List().at(0).rate->name, "25");
    EXPECT_EQ(old.List().at(0).in, 25);
}

// Above 30 fps a clip's times are frames the line carries, added or imported; a file from
// before keeps the times it holds.
TEST_F(ClipLogTest, PairRatesTakeOnlyWhatTheLineCarries) {
    const RateOfPort at50 = [](int p) { return p == 1 ? hostkit::FindRate("50") : nullptr; };
    EXPECT_THROW(m_Log.Add(Json{{"in", "00:00:01:45"}}, at50), ClipError);
    EXPECT_THROW(m_Log.ImportCsv("in,rate\r\n00:00:01:45,59.94\r\n", at50), ClipError);
    m_Log.Close();
    {
        std::ofstream(m_Path)
            << R"({"clips":[{"id":1,"in":"00:00:01:45","out":"00:00:01:47","rate":"50"}]})";
    }
    ClipLog old;
    std::string error;
    EXPECT_TRUE(old.Open(m_Path, &error)) << error;
}

TEST_F(ClipLogTest, ADamagedFileIsReportedNotReplaced) {
    m_Log.Close();
    for (const char* text : {"{\"clips\":[{\"id\":1,\"in\":\"00:00:0", "[1,2]",
                             "{\"clips\":[{\"id\":1,\"in\":\"99:00:00:00\"}]}",
                             "{\"clips\":[{\"id\":0,\"in\":\"00:00:00:00\"}]}",
                             "{\"clips\":[{\"id\":1000000000,\"in\":\"00:00:00:00\"}]}",
                             "{\"clips\":[{\"id\":9223372036854775807,\"in\":\"00:00:00:00\"}]}",
                             "{\"clips\":[{\"id\":18446744073709551615,\"in\":\"00:00:00:00\"}]}",
                             "{\"nextId\":1000000001,\"clips\":[]}"}) {
        { std::ofstream(m_Path) << text; }
        ClipLog log;
        std::string error;
        EXPECT_FALSE(log.Open(m_Path, &error)) << text;
        EXPECT_NE(error.find("is damaged"), std::string::npos) << error;
        EXPECT_EQ(ReadFile(m_Path), text);
    }
}

TEST_F(ClipLogTest, TheLastClipNumberIsTheLast) {
    m_Log.Close();
    { std::ofstream(m_Path) << R"({"version":1,"nextId":999999999,"clips":[]})"; }
    std::string error;
    ASSERT_TRUE(m_Log.Open(m_Path, &error)) << error;
    EXPECT_EQ(m_Log.Add(Json{{"in", "00:00:00:00"}}, Fps25).id, 999999999);
    EXPECT_THROW(m_Log.Add(Json{{"in", "00:00:00:00"}}, Fps25), ClipError);
    EXPECT_THROW(m_Log.ImportCsv("in\r\n00:00:00:00\r\n", Fps25), ClipError);
    m_Log.Edit(999999999, Json{{"name", "still reachable"}}, Fps25);
    EXPECT_EQ(m_Log.List().size(), 1u);
}

// An edit of any one field alone reaches the file: each row reopens the log and finds it.
TEST_F(ClipLogTest, AnEditOfOneFieldIsSaved) {
    const auto rates = [](int port) { return port <= 2 ? hostkit::FindRate("25") : nullptr; };
    m_Log.Add(Json{{"in", "00:00:01:00"}, {"out", "00:00:02:00"}}, rates);
    for (const Json& edit :
         {Json{{"rate", "29.97"}}, Json{{"name", "n"}}, Json{{"note", "x"}}, Json{{"reel", "R"}},
          Json{{"port", 2}}, Json{{"in", "00:00:00:10"}}, Json{{"out", "00:00:03:00"}}}) {
        const Clip edited = m_Log.Edit(1, edit, rates);
        m_Log.Close();
        std::string error;
        ASSERT_TRUE(m_Log.Open(m_Path, &error)) << error;
        EXPECT_EQ(ClipJson(m_Log.List().at(0)), ClipJson(edited)) << edit.dump();
    }
    EXPECT_STREQ(m_Log.List().at(0).rate->name, "29.97");
}

// The file is this log's alone: a second opener is refused with the holder's pid, links
// planted where a temporary file might go are never written through, and a write cut off
// halfway leaves the old file whole and reports the failure.
TEST_F(ClipLogTest, TheFileIsTheLogsAlone) {
    ClipLog second;
    std::string error;
    EXPECT_FALSE(second.Open(m_Path, &error));
    EXPECT_NE(error.find("pid " + std::to_string(getpid())), std::string::npos) << error;

    const fs::path victim = m_Dir / "victim";
    { std::ofstream(victim) << "not yours"; }
    for (const std::string& tail :
         {".tmp-" + std::to_string(getpid()), std::string(".tmp-XXXXXX")}) {
        fs::create_symlink(victim, m_Path + tail);
    }
    m_Log.Add(Rows()[0], Fps25);
    EXPECT_EQ(ReadFile(victim.string()), "not yours");
    EXPECT_EQ(fs::status(m_Path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    const std::string before = ReadFile(m_Path);
    m_Log.Close();  // the child's own saving thread takes the log
    const pid_t child = fork();
    if (child == 0) {
        // Room for half the new file: the write fails with EFBIG in the middle.
        const rlimit limit{before.size() + 200, before.size() + 200};
        signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limit);
        Json big = Rows()[1];
        big["note"] = std::string(1500, 'n');
        ClipLog log;
        std::string error;
        if (!log.Open(m_Path, &error)) {
            _exit(4);
        }
        try {
            log.Add(big, Fps25);
        } catch (const ClipError&) {
            _exit(2);
        } catch (const std::runtime_error&) {
            _exit(log.List().size() == 1 ? 0 : 3);
        }
        _exit(1);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(ReadFile(m_Path), before);
    for (const auto& e : fs::directory_iterator(fs::path(m_Path).parent_path())) {
        const std::string name = e.path().filename().string();
        EXPECT_TRUE(name.find(".tmp-") == std::string::npos || fs::is_symlink(e.path())) << name;
    }
}

TEST(Json, NumbersPastInt64AreRefused) {
    for (const char* text : {"{\"speed\": 18446744073709551612}", "[9223372036854775808]",
                             "{\"a\": {\"b\": -9223372036854775809}}", "{\"x\": 1e19}"}) {
        EXPECT_TRUE(ParseJson(text).is_discarded()) << text;
    }
    for (const char* text :
         {"{\"speed\": 9223372036854775807}", "[-9223372036854775808]", "{\"frames\": 1e12}"}) {
        EXPECT_FALSE(ParseJson(text).is_discarded()) << text;
    }
}

}  // namespace
}  // namespace cliplog
