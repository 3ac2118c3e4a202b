#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "tools/hostkit/host_records.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/session.h"
#include "tools/hostkit/timecode.h"

namespace hostkit {
namespace {

struct FpsCase {
    int32_t code;
    int fps;
};

TEST(Records, WholeFramesPerSecondByFormatCode) {
    const FpsCase cases[] = {{0, 25},        {1, 25},        {2, 30},        {4, 30},
                             {8, 25},        {0x20, 30},     {0x200, 24},    {0x400, 50},
                             {0x800, 60},    {0x1000, 30},   {0x2000, 24},   {0x4000, 24},
                             {0x10000, 30},  {0x20000, 30},  {0x40000, 25},  {0x80000, 24},
                             {0x100000, 24}, {0x400000, 30}, {0x800000, 30}, {-1, 25}};
    for (const FpsCase& c : cases) {
        EXPECT_EQ(WholeFps(c.code), c.fps) << std::hex << c.code;
    }
}

TEST(Records, TimecodeText) {
    const struct {
        int64_t frames;
        int fps;
        const char* text;
    } cases[] = {{0, 25, "00:00:00:00"},
                 {1500, 25, "00:01:00:00"},
                 {-50, 25, "-00:00:02:00"},
                 {86400 * 30 - 1, 30, "23:59:59:29"},
                 {3723 * 24 + 5, 24, "01:02:03:05"},
                 {-2147483647 - 1, 25, "-23860:55:45:23"},
                 {100 * 3600 * 25, 25, "100:00:00:00"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FormatTimecode(c.frames, c.fps), c.text) << c.frames;
    }
}

TEST(Timecode, ParsesOnlyTimesThatExistAtTheRate) {
    const TimeBase k25{25, false};
    const struct {
        const char* text;
        TimeBase base;
        bool ok;
        int64_t frames;
    } cases[] = {
        {"00:00:00:00", k25, true, 0},
        {"23:59:59:24", k25, true, 2159999},
        {"-00:00:01:00", k25, true, -25},
        // Drop frame skips ;00 and ;01 of minute 1: its ;29 is frame 1827, not 1829.
        {"00:01:00;29", {30, true}, true, 1827},
        {"00:01:00;29", {30, false}, false, 0},
        {"00:00:00:25", k25, false, 0},
        {"24:00:00:00", k25, false, 0},
        {"00:60:00:00", k25, false, 0},
        {"0:00:00:00", k25, false, 0},
        {"00:00:00:00 ", k25, false, 0},
        {"+00:00:00:00", k25, false, 0},
        {"", k25, false, 0},
        {"00:00:00:00", {0, false}, false, 0},
    };
    for (const auto& c : cases) {
        const ParsedTimecode p = ParseTimecode(c.text, c.base);
        EXPECT_EQ(p.ok, c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(p.frames, c.frames) << c.text;
        }
    }
}

// The offsets a host shares with the module, written out rather than taken from the code.
TEST(Records, FieldsLieLittleEndianAtTheirOffsets) {
    const struct {
        const char* name;
        bool context;
        std::size_t offset;
    } cases[] = {
        {"pDevice", true, 0x20C},    {"nPosition", true, 0x41C},    {"nPort", true, 0x424},
        {"nCueOffset", true, 0x430}, {"nSpeed", true, 0x438},       {"dwOptions", true, 0x43C},
        {"nState", true, 0x440},     {"dwPending", true, 0x444},    {"bAnswer29", true, 0x654},
        {"bAnswer30", true, 0x658},  {"nVideoFormat", true, 0x664}, {"bAnswer18", true, 0x668},
        {"nIdentFlag", false, 0x18}, {"nFrames", false, 0x20}};
    for (const auto& c : cases) {
        HostRecords r;
        r.Set(c.name, 0x12345678);
        const uint8_t* p = (c.context ? r.Context() : r.Data()) + c.offset;
        EXPECT_EQ(p[0], 0x78) << c.name;
        EXPECT_EQ(p[3], 0x12) << c.name;
        EXPECT_EQ(r.Get(c.name), 0x12345678) << c.name;
    }
}

TEST(Records, SignedAndUnsignedFieldsReadBack) {
    HostRecords r;
    r.Set("nPosition", -50);
    r.Set("dwPending", 0xFFFFFFFF);
    EXPECT_EQ(r.Get("nPosition"), -50);
    EXPECT_EQ(r.Get("dwPending"), 0xFFFFFFFFLL);
}

TEST(Records, DiffNamesChangedFieldsAndHostBytes) {
    HostRecords r;
    r.Set("nState", 0);
    r.Set("dwPending", 4);
    const Snapshot before(r);
    r.Set("nState", 7);
    r.Set("dwPending", 0);
    r.Set("nFrames", 1500);
    r.Context()[0x300] = 1;  // a byte the host owns
    EXPECT_EQ(FormatChanges(before.Diff(r)),
              "nState 0->7 dwPending 0x4->0x0 nFrames 0->1500 (00:01:00:00) "
              "context+0x300 (host byte changed)");
    EXPECT_TRUE(Snapshot(r).Diff(r).empty());
}

TEST(Records, GuardBytesCatchAWritePastTheRecord) {
    HostRecords r;
    EXPECT_TRUE(r.GuardsIntact());
    r.Data()[kDataSize] = 0;
    EXPECT_FALSE(r.GuardsIntact());
    HostRecords c;
    c.Context()[kContextSize + HostRecords::kGuard - 1] = 0;
    EXPECT_FALSE(c.GuardsIntact());
}

class SessionTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(module.Load(TAPEDECK_MODULE, &error)) << error;
    }
    std::string Run(const char* script, bool json, const char* rate = nullptr) {
        std::ostringstream out;
        HostRecords records;
        Session session(module, records, out, json);
        session.SetRate(rate != nullptr ? FindRate(rate) : nullptr);
        for (const Step& s : ParseScript(script)) {
            session.Run(s);
        }
        EXPECT_TRUE(session.Healthy());
        return out.str();
    }
    Module module;
};

// Commands that need no deck, through the real module: what a user of `run` reads.
TEST_F(SessionTest, TextLinesShowResultAndChanges) {
    EXPECT_EQ(Run("set dwOptions=8; idle; set dwPending=0x10; 19; 54", false),
              "   set dwOptions 0x0->0x8\n"
              "19 idle         -> 1   nState 0->8\n"
              "   set dwPending 0x0->0x10\n"
              "19 idle         -> 0\n"
              "54 command 54   -> 0\n");
}

TEST_F(SessionTest, JsonHasOneObjectPerCommand) {
    const std::string out = Run("identify; disconnect", true);
    EXPECT_NE(out.find("{\"command\":1,\"name\":\"identify\",\"result\":0,\"changed\":{"
                       "\"szName\":[\"\\\"\\\"\",\"\\\"Tapedeck 5500\\\"\"],"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("\"nIdentFlag\":[0,1]}"), std::string::npos) << out;
    EXPECT_NE(out.find("{\"command\":6,\"name\":\"disconnect\",\"result\":1,\"changed\":{}"),
              std::string::npos)
        << out;
}

// With the deck's rate, timecodes are its labels in the module's count (pairs above 30 fps).
TEST_F(SessionTest, WithARateTimecodesAreTheRatesLabels) {
    EXPECT_EQ(Run("set nPosition=01:00:00:44", false, "50"),
              "   set nPosition 0->180022 (01:00:00:44)\n");
    EXPECT_THROW(Run("set nPosition=01:00:00:45", false, "59.94"), ScriptError);
}

TEST_F(SessionTest, LoadNamesAMissingFile) {
    Module other;
    std::string error;
    EXPECT_FALSE(other.Load("/nonexistent/libnothing.so", &error));
    EXPECT_NE(error.find("cannot load module"), std::string::npos);
}

}  // namespace
}  // namespace hostkit
