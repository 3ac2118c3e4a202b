// The module as a host sees it: Main, the two records, and the bytes on the line.
#include <chrono>
#include <climits>
#include <cstring>
#include <string>

#include "deck/wire.h"
#include "host_fixture.h"
#include "plugin/device_table.h"
#include "timecode/timecode.h"

namespace testing_support {
namespace {

std::string WrittenHex(const FakePort& fake) {
    return Hex(fake.Written());
}

// What a status sense puts on the line.
const std::string kSense = "D7 B0";

// ---- Entry step and refusals ----------------------------------------------------------------

class UnsupportedCommand : public HostTest, public testing::WithParamInterface<int> {};

TEST_P(UnsupportedCommand, ReturnsZeroTouchesNothingButStoresFormat) {
    Connect();
    ctx().nVideoFormat = 0x400;
    SetVideoFormat(1);
    EXPECT_EQ(CallUntouched(GetParam(), &data()), 0);
    EXPECT_EQ(g_nVideoFormat.load(), 0x400);
    EXPECT_EQ(fake.Trace(), "");
}

INSTANTIATE_TEST_SUITE_P(Numbers, UnsupportedCommand,
                         testing::Values(0, 2, 3, 4, 11, 12, 13, 14, 15, 20, 21, 22, 23, 26, 27, 28,
                                         31, 32, 34, 40, 43, 45, 46, 48, 52, 54, -1, 1000, INT_MIN,
                                         INT_MAX));

TEST_F(HostTest, NullContextDoesNothingAtAll) {
    SetVideoFormat(0x800);
    for (int cmd : {1, 5, 6, 10, 19, 25, 77}) {
        EXPECT_EQ(Main(cmd, nullptr, &data()), 0) << cmd;
        EXPECT_EQ(g_nVideoFormat.load(), 0x800) << cmd;
    }
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(HostTest, EveryCallStoresItsRecordsFormatFirst) {
    ctx().nVideoFormat = 4;
    Call(1);
    EXPECT_EQ(g_nVideoFormat.load(), 4);
    ctx().nVideoFormat = 0x2000;
    Call(19);
    EXPECT_EQ(GetFrameRate(), 23.98);
}

// ---- Command 1 ------------------------------------------------------------------------------

TEST_F(HostTest, IdentifyFillsNameIdAndFlagAndReturnsZero) {
    EXPECT_EQ(Call(1), 0);
    EXPECT_EQ(std::u16string(ctx().szName), u"Tapedeck 5500");
    EXPECT_EQ(Hex(data().idPlugin, 16), "91 2A 3C 6F 7E 5B 08 4D 9C 14 2E 7A 5B 90 D3 C6");
    EXPECT_EQ(data().nIdentFlag, 1);
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(HostTest, IdentifyWithoutDataBlockWritesNothing) {
    EXPECT_EQ(CallUntouched(1, nullptr), 0);
}

// ---- Commands 5 and 6 -----------------------------------------------------------------------

TEST_F(HostTest, ConnectOpensSetsUpAndSensesInOrder) {
    deck.status[0] = 0x11;
    ctx().nState = 5;
    EXPECT_EQ(Call(5), 1);
    EXPECT_NE(ctx().pDevice, 0u);
    EXPECT_EQ(ctx().nState, 0);
    EXPECT_EQ(fake.Trace(),
              "open(3)=0 setline(3,12,3)=0 flush(3,2) timeout(3,50,0) "
              "flush(3,2) write(3,D7)=1 read(3,5)=5 flush(3,2) write(3,B0)=1 read(3,5)=5");
}

class ConnectRefusesPort : public HostTest, public testing::WithParamInterface<int> {};

TEST_P(ConnectRefusesPort, WithoutTouchingTheLine) {
    ctx().nPort = GetParam();
    EXPECT_EQ(CallUntouched(5, &data()), 0);
    EXPECT_EQ(fake.Trace(), "");
}

INSTANTIATE_TEST_SUITE_P(Ports, ConnectRefusesPort, testing::Values(0, -3, INT_MIN));

TEST_F(HostTest, ConnectRefusesAnyNonzeroDeviceField) {
    ctx().pDevice = 0xDEADBEEF;
    EXPECT_EQ(CallUntouched(5, &data()), 0);
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(HostTest, SecondConnectIsRefusedAndFirstKeepsWorking) {
    Connect();
    const uint32_t handle = ctx().pDevice;
    EXPECT_EQ(CallUntouched(5, &data()), 0);
    EXPECT_EQ(fake.Trace(), "");
    EXPECT_EQ(ctx().pDevice, handle);
    EXPECT_EQ(Call(9), 1);
    EXPECT_EQ(WrittenHex(fake), "3A");
}

TEST_F(HostTest, ConnectToSilentDeckClosesThePortAgain) {
    deck.silent = true;
    EXPECT_EQ(CallUntouched(5, &data()), 0);
    EXPECT_EQ(ctx().pDevice, 0u);
    const std::string trace = fake.Trace();
    EXPECT_NE(trace.find("read(3,5)=0 around(3,0,0) close(3) around(3,0,0)"), std::string::npos)
        << trace;
}

TEST_F(HostTest, ConnectWhenPortWillNotOpenMakesNoOtherCall) {
    fake.openResult = 7;
    EXPECT_EQ(CallUntouched(5, &data()), 0);
    EXPECT_EQ(fake.Trace(), "open(3)=7");
}

TEST_F(HostTest, ConnectWhenLineSetupFailsClosesThePort) {
    fake.setLineResult = -1;
    EXPECT_EQ(CallUntouched(5, &data()), 0);
    EXPECT_EQ(fake.Trace(), "open(3)=0 setline(3,12,3)=-1 around(3,0,0) close(3) around(3,0,0)");
}

TEST_F(HostTest, DisconnectClosesAndClearsButKeepsState) {
    Connect();
    ctx().nState = 3;
    EXPECT_EQ(Call(6), 1);
    EXPECT_EQ(ctx().pDevice, 0u);
    EXPECT_EQ(ctx().nState, 3);
    EXPECT_EQ(fake.Trace(), "around(3,0,0) close(3) around(3,0,0)");
}

TEST_F(HostTest, DisconnectWithoutDeckOrWithGarbageStoresZero) {
    for (uint32_t handle : {0u, 0xDEADBEEFu, 1u}) {
        ctx().pDevice = handle;
        EXPECT_EQ(Call(6), 1);
        EXPECT_EQ(ctx().pDevice, 0u);
    }
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(HostTest, StaleHandleNeverReachesANewerDeck) {
    Connect();
    const uint32_t old = ctx().pDevice;
    Call(6);
    Connect();
    EXPECT_NE(ctx().pDevice, old);
    const uint32_t current = ctx().pDevice;
    ctx().pDevice = old;
    EXPECT_EQ(CallUntouched(9, &data()), 0);
    EXPECT_EQ(fake.Trace(), "");
    ctx().pDevice = current;
}

TEST_F(HostTest, ConnectDisconnectCyclesDoNotGrowTheTable) {
    Connect();
    Call(6);
    const std::size_t slots = device_table::SlotCount();
    for (int i = 0; i < 200; ++i) {
        Connect();
        Call(6);
    }
    EXPECT_EQ(device_table::SlotCount(), slots);
    EXPECT_EQ(device_table::LiveCount(), 0u);
}

// ---- Commands that need a deck, without one -------------------------------------------------

struct NoDeckCase {
    int command;
    uint32_t handle;
};

class WithoutDeck : public HostTest, public testing::WithParamInterface<NoDeckCase> {};

TEST_P(WithoutDeck, ReturnsZeroWritesAndSendsNothing) {
    ctx().pDevice = GetParam().handle;
    ctx().dwPending = 4;
    ctx().nSpeed = 1;
    EXPECT_EQ(CallUntouched(GetParam().command, &data()), 0);
    EXPECT_EQ(fake.Trace(), "");
}

std::vector<NoDeckCase> NoDeckCases() {
    std::vector<NoDeckCase> cases;
    for (int cmd : {7, 8, 9, 10, 16, 17, 18, 24, 25, 29, 30, 33, 44, 47, 53}) {
        for (uint32_t handle : {0u, 0xDEADBEEFu, 0x00010001u}) {
            cases.push_back({cmd, handle});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Commands, WithoutDeck, testing::ValuesIn(NoDeckCases()));

TEST_F(HostTest, IdleNeedsNoDeck) {
    ctx().dwOptions = 8;
    EXPECT_EQ(Call(19), 1);
    EXPECT_EQ(ctx().nState, 8);
    ctx().dwOptions = 0;
    EXPECT_EQ(Call(19), 1);
    EXPECT_EQ(ctx().nState, 1);
    ctx().nState = 5;
    ctx().dwPending = 0x10;
    EXPECT_EQ(Call(19), 0);
    EXPECT_EQ(ctx().nState, 5);
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(HostTest, PositionWithoutDataBlockSendsNothing) {
    Connect();
    EXPECT_EQ(CallUntouched(25, nullptr), 0);
    EXPECT_EQ(fake.Trace(), "");
}

// ---- Command 10, the poll -------------------------------------------------------------------

struct PollCase {
    const char* name;
    DWORD pending;
    DWORD options;
    int statusByte;  // -1: none set
    BYTE statusMask;
    bool nak;
    std::string sent;  // after the status sense
    DWORD pendingAfter;
    int32_t state;
    int result;
    BYTE systemByte = 0x00;
    int statusByte2 = -1;
    BYTE statusMask2 = 0;
};

class PollTable : public HostTest, public testing::WithParamInterface<PollCase> {};

TEST_P(PollTable, Row) {
    const PollCase& c = GetParam();
    Connect();
    if (c.statusByte >= 0) {
        deck.status[c.statusByte] = c.statusMask;
    }
    if (c.statusByte2 >= 0) {
        deck.status[c.statusByte2] = c.statusMask2;
    }
    deck.systemByte = c.systemByte;
    deck.nakCommands = c.nak;
    ctx().dwPending = c.pending;
    ctx().dwOptions = c.options;
    ctx().nPosition = 25 * 3600;
    EXPECT_EQ(Call(10), c.result);
    EXPECT_EQ(WrittenHex(fake), c.sent.empty() ? kSense : kSense + " " + c.sent);
    EXPECT_EQ(ctx().dwPending, c.pendingAfter);
    EXPECT_EQ(ctx().nState, c.state);
}

// Status bits: byte 3 bit 4 (0x10) ends flag 1; byte 0 bit 3 (0x08) ends flag 8;
// byte 3 bit 5 (0x20) keeps flag 8 going when dwOptions is 2.
INSTANTIATE_TEST_SUITE_P(
    Rows, PollTable,
    testing::Values(PollCase{"IdleOption8", 0, 8, -1, 0, false, "", 0, 8, 1},
                    PollCase{"Idle", 0, 0, -1, 0, false, "", 0, 1, 1},
                    PollCase{"StopDone", 1, 0, 3, 0x10, false, "", 0, 7, 1},
                    PollCase{"StopSent", 1, 0, 3, 0xEF, false, "3F", 1, 7, 1},
                    PollCase{"StopRefused", 1, 0, -1, 0, true, "3F", 1, 7, 0},
                    PollCase{"LowestFlagFirst", 3, 0, -1, 0, false, "3F", 3, 7, 1},
                    PollCase{"StopDoneLeavesBit1", 3, 0, 3, 0x10, false, "", 2, 7, 1},
                    PollCase{"OneShot4B", 2, 0, -1, 0, false, "4B", 0, 7, 1},
                    PollCase{"OneShot4BRefusedStillCleared", 2, 0, -1, 0, true, "4B", 0, 7, 0},
                    PollCase{"CueIgnoresCueReady", 4, 0, 0, 0x08, false,
                             "DE C1 DF 93 30 31 30 30 30 30 30 30 40", 0, 7, 1},
                    PollCase{"CueSystem4IsPositive", 4, 0, -1, 0, false,
                             "DE C1 DF 93 30 A1 31 30 30 30 30 30 30 40", 0, 7, 1, 0x01},
                    PollCase{"Flag8Option2Done", 8, 2, 3, 0xDF, false, "", 0, 7, 1},
                    PollCase{"Flag8Sent", 8, 0, 0, 0xF7, false, "2A", 8, 7, 1},
                    PollCase{"Flag8RefusedStillOne", 8, 0, -1, 0, true, "2A", 8, 7, 1},
                    PollCase{"Flag8Ended", 8, 0, 0, 0x08, false, "", 0, 7, 1},
                    PollCase{"Flag8Option2Busy", 8, 2, 3, 0x20, false, "2A", 8, 7, 1},
                    PollCase{"Flag8Option2BusyButStandby", 8, 2, 3, 0x20, false, "", 0, 7, 1, 0x00,
                             0, 0x08},
                    PollCase{"Flag8Option6IsNotOption2", 8, 6, -1, 0, false, "2A", 8, 7, 1},
                    PollCase{"HighBitClearsFlag8", 0x18, 0, -1, 0, false, "", 0x10, 7, 1},
                    PollCase{"HighBitAlone", 0x10, 8, -1, 0, false, "", 0x10, 7, 1}),
    [](const testing::TestParamInfo<PollCase>& info) { return std::string(info.param.name); });

TEST_F(HostTest, PollWorksOffFlagsInTurn) {
    Connect();
    ctx().dwPending = 3;
    deck.status[3] = 0x10;
    EXPECT_EQ(Call(10), 1);
    EXPECT_EQ(ctx().dwPending, 2u);
    EXPECT_EQ(Call(10), 1);
    EXPECT_EQ(ctx().dwPending, 0u);
    EXPECT_EQ(Call(10), 1);
    EXPECT_EQ(ctx().nState, 1);
    EXPECT_EQ(WrittenHex(fake), "D7 B0 D7 B0 4B D7 B0");
}

TEST_F(HostTest, PollWithFailedSenseGoesOnWithOldStatus) {
    deck.status[3] = 0x10;
    Connect();
    deck.silent = true;
    ctx().dwPending = 1;
    EXPECT_EQ(Call(10), 1);  // the stored bit still ends the flag
    EXPECT_EQ(ctx().dwPending, 0u);
    EXPECT_EQ(ctx().nState, 7);
}

TEST_F(HostTest, PollCueToNegativePositionSendsNoCue) {
    Connect();
    ctx().dwPending = 4;
    ctx().nPosition = -25;
    EXPECT_EQ(Call(10), 0);
    EXPECT_EQ(WrittenHex(fake), kSense);
    EXPECT_EQ(ctx().dwPending, 0u);
    EXPECT_EQ(ctx().nState, 7);
}

// ---- Commands 7 and 8 -----------------------------------------------------------------------

struct CueCase {
    const char* name;
    int format;
    BYTE systemByte;
    int command;
    int32_t position;
    int32_t offset;
    int nakCues;
    std::string sent;  // after the status sense
    int result;
    int32_t state;  // 6 = unchanged
};

class CueCommand : public HostTest, public testing::WithParamInterface<CueCase> {};

TEST_P(CueCommand, Row) {
    const CueCase& c = GetParam();
    Connect();
    ctx().nState = 6;
    ctx().nVideoFormat = c.format;
    ctx().nPosition = c.position;
    ctx().nCueOffset = c.offset;
    deck.systemByte = c.systemByte;
    deck.nakCues = c.nakCues;
    EXPECT_EQ(Call(c.command), c.result);
    EXPECT_EQ(WrittenHex(fake), kSense + " " + c.sent);
    EXPECT_EQ(ctx().nState, c.state);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, CueCommand,
    testing::Values(
        CueCase{"OneHourSystem1", 1, 0x00, 7, 90000, 0, 0, "DE C1 DF 93 30 31 30 30 30 30 30 30 40",
                1, 2},
        CueCase{"OneHourSystem4", 1, 0x01, 7, 90000, 0, 0,
                "DE C1 DF 93 30 A1 31 30 30 30 30 30 30 40", 1, 2},
        CueCase{"Refused", 1, 0x00, 7, 90000, 0, 1, "DE C1 DF 93 30 31 30 30 30 30 30 30 40", 0, 6},
        CueCase{"NtscSixtySeconds", 2, 0x00, 7, 107892, 0, 0,
                "DE C1 DF 93 30 30 35 39 36 30 30 30 40", 1, 2},
        CueCase{"Fps30", 4, 0x00, 7, 30 * 86400 - 1, 0, 0, "DE C1 DF 93 32 33 35 39 35 39 32 39 40",
                1, 2},
        CueCase{"OffsetPositive", 1, 0x00, 8, 100, 25, 0, "DE C1 DF 93 30 30 30 30 30 33 30 30 40",
                1, 4},
        CueCase{"OffsetZero", 1, 0x01, 8, 40, 40, 0, "DE C1 DF 93 30 A1 30 30 30 30 30 30 30 40", 1,
                4},
        CueCase{"OffsetNegativeSigned", 1, 0x01, 8, 0, 50, 0,
                "DE C1 DF 93 30 A2 30 30 30 30 32 30 30 40", 1, 4},
        CueCase{"OffsetNegativeRetriedPositive", 1, 0x01, 8, 0, 50, 1,
                "DE C1 DF 93 30 A2 30 30 30 30 32 30 30 40 DF 93 30 A1 30 30 30 30 32 30 30 40", 1,
                4},
        CueCase{"OffsetNegativeSystem1SentTwice", 1, 0x00, 8, 0, 50, 1,
                "DE C1 DF 93 30 30 30 30 30 32 30 30 40 DF 93 30 30 30 30 30 32 30 30 40", 1, 4},
        CueCase{"OffsetNegativeBothRefused", 1, 0x01, 8, 0, 50, 2,
                "DE C1 DF 93 30 A2 30 30 30 30 32 30 30 40 DF 93 30 A1 30 30 30 30 32 30 30 40", 0,
                6},
        CueCase{"OffsetWrapsToNegative", 1, 0x01, 8, 0x7FFFFFF0, -0x7FFFFFF0, 0,
                "DE C1 DF 93 30 A2 30 30 30 30 31 30 37 40", 1, 4},
        CueCase{"OffsetPositiveRefusedOnce", 1, 0x01, 8, 100, 25, 1,
                "DE C1 DF 93 30 A1 30 30 30 30 33 30 30 40", 0, 6}),
    [](const testing::TestParamInfo<CueCase>& info) { return std::string(info.param.name); });

TEST_F(HostTest, CueRefusedWhenDeckNotCueReady) {
    for (int byte : {0, 5}) {
        Connect();
        deck.status[0] = 0;
        deck.status[5] = 0;
        deck.status[byte] = 0x08;
        for (int cmd : {7, 8}) {
            fake.ClearLog();
            ctx().nPosition = 100;
            EXPECT_EQ(Call(cmd), 0) << cmd;
            EXPECT_EQ(WrittenHex(fake), kSense) << cmd;
            EXPECT_EQ(ctx().nState, 0) << cmd;
        }
        Call(6);
    }
}

TEST_F(HostTest, CueRefusedWhenSenseFails) {
    Connect();
    deck.silent = true;
    for (int cmd : {7, 8}) {
        EXPECT_EQ(Call(cmd), 0);
        EXPECT_EQ(ctx().nState, 0);
    }
}

TEST_F(HostTest, CueToUnrepresentableTargetSendsNothing) {
    Connect();
    const struct {
        int command;
        int32_t position;
        int32_t offset;
    } rows[] = {{7, -1, 0}, {8, 0, INT_MIN}, {8, INT_MAX, -1}, {8, INT_MIN, 0}};
    for (const auto& r : rows) {
        ctx().nPosition = r.position;
        ctx().nCueOffset = r.offset;
        EXPECT_EQ(CallUntouched(r.command, &data()), 0) << r.position << " " << r.offset;
        EXPECT_EQ(fake.Trace(), "") << r.position << " " << r.offset;
    }
}

// ---- Command 25 -----------------------------------------------------------------------------

struct PositionCase {
    const char* name;
    int format;
    BYTE systemByte;
    Bytes reply;
    int32_t frames;
    int result = 1;  // 0: the read got no complete answer
    bool silent = false;
};

class PositionTable : public HostTest, public testing::WithParamInterface<PositionCase> {};

TEST_P(PositionTable, Frames) {
    const PositionCase& c = GetParam();
    Connect();
    ctx().nVideoFormat = c.format;
    deck.systemByte = c.systemByte;
    deck.timeReply = c.reply;
    deck.silent = c.silent;
    data().nFrames = 12345;
    EXPECT_EQ(Call(25), c.result);
    EXPECT_EQ(data().nFrames, c.frames);
    // Without a video system there is no time request to send.
    EXPECT_EQ(WrittenHex(fake), c.silent ? "DE C1 DE C1" : "DE C1 A0 DE C1");
}

Bytes Signed(BYTE sign, const char* digits) {
    Bytes b{sign};
    for (const char* p = digits; *p; ++p) {
        b.push_back(static_cast<BYTE>(*p));
    }
    return b;
}

Bytes Unsigned(const char* digits) {
    Bytes b = Signed(0, digits);
    b.erase(b.begin());
    return b;
}

constexpr int32_t Hmsf25(int h, int m, int s, int f) {
    return ((h * 60 + m) * 60 + s) * 25 + f;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PositionTable,
    testing::Values(
        PositionCase{"Sys4LateTimeIsNegative", 1, 1, Signed(0xA1, "23595900"), -25},
        PositionCase{"Sys4MinusOneSecond", 1, 1, Signed(0xA2, "00000100"), -25},
        PositionCase{"Sys4Complement", 1, 1, Signed(0xA2, "01234512"), -Hmsf25(1, 23, 45, 12)},
        PositionCase{"Sys4MinusZero", 1, 1, Signed(0xA2, "00000000"), 0},
        PositionCase{"Sys4JustAboveTen", 1, 1, Signed(0xA1, "10000001"), -Hmsf25(13, 59, 59, 24)},
        PositionCase{"Sys4Fourteen", 1, 1, Signed(0xA1, "14000000"), -Hmsf25(10, 0, 0, 0)},
        PositionCase{"Sys4ExactlyTenIsPositive", 1, 1, Signed(0xA1, "10000000"),
                     Hmsf25(10, 0, 0, 0)},
        PositionCase{"Sys4TenAndFiveSeconds", 1, 1, Signed(0xA1, "10000500"),
                     -Hmsf25(13, 59, 54, 25)},
        PositionCase{"Sys4Positive", 1, 1, Signed(0xA1, "01234512"), Hmsf25(1, 23, 45, 12)},
        PositionCase{"Sys4At30", 4, 1, Signed(0xA1, "23595829"), -31},
        PositionCase{"Sys4At30Frames25", 4, 1, Signed(0xA1, "23595925"), -5},
        PositionCase{"Sys4At50", 0x400, 1, Signed(0xA1, "23595900"), -50},
        PositionCase{"Sys4AtNtscLastFrame", 2, 1, Signed(0xA1, "23595929"), -1},
        PositionCase{"Sys4NtscMinusOneFrame", 2, 1, Signed(0xA2, "00000001"), -1},
        PositionCase{"Sys4NtscMinusOneSecond", 2, 1, Signed(0xA2, "00000100"), -30},
        PositionCase{"Sys4NtscMinusOneHour", 2, 1, Signed(0xA2, "01000000"), -107892},
        PositionCase{"Sys4NtscMinusZero", 2, 1, Signed(0xA2, "00000000"), 0},
        PositionCase{"Sys4Ntsc60MinusOneMinute", 0x800, 1, Signed(0xA2, "00010000"), -3596},
        PositionCase{"Sys4Ntsc60MinusOneFrame", 0x800, 1, Signed(0xA2, "00000001"), -1},
        PositionCase{"Sys4At2398MinusOneSecond", 0x2000, 1, Signed(0xA2, "00000100"), -24},
        PositionCase{"Sys4At2398MinusTenSeconds", 0x2000, 1, Signed(0xA2, "00001005"), -245},
        PositionCase{"Sys4MinusADayReadsZero", 1, 1, Signed(0xA2, "24000000"), 0},
        PositionCase{"Sys4MinusMoreThanADayReadsZero", 2, 1, Signed(0xA2, "99595929"), 0},
        PositionCase{"Sys1LateTimeStaysPositive", 1, 0, Unsigned("23595900"),
                     Hmsf25(23, 59, 59, 0)},
        PositionCase{"Sys1Plain", 1, 0, Unsigned("01234512"), Hmsf25(1, 23, 45, 12)},
        PositionCase{"Sys1NtscRounds", 2, 0, Unsigned("00000129"), 59},
        PositionCase{"Sys1At30", 4, 0, Unsigned("00000930"), 300},
        PositionCase{"SilentDeckFails", 1, 0, {}, 0, 0, true},
        PositionCase{"Sys1ShortReplyFails", 1, 0, Unsigned("0123451"), 0, 0},
        PositionCase{"Sys4ShortReplyFails", 1, 1, Signed(0xA1, "0123451"), 0, 0},
        PositionCase{"Sys1AllZerosIsATime", 1, 0, Unsigned("00000000"), 0},
        PositionCase{"Sys4PlusZeroIsATime", 1, 1, Signed(0xA1, "00000000"), 0}),
    [](const testing::TestParamInfo<PositionCase>& info) { return std::string(info.param.name); });

// ---- Status commands ------------------------------------------------------------------------

struct StatusCase {
    const char* name;
    int command;
    int statusByte;
    BYTE value;
    bool silent;
    int result;
    int32_t DEVICE_CONTEXT::*field;  // checked field, or null
    int32_t expected;
};

class StatusCommand : public HostTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(StatusCommand, Row) {
    const StatusCase& c = GetParam();
    // Set before connecting, so a failed sense leaves these bytes held from the connect.
    deck.status[c.statusByte] = c.value;
    Connect();
    deck.silent = c.silent;
    ctx().nState = 6;
    ctx().bAnswer18 = ctx().bAnswer29 = ctx().bAnswer30 = 9;
    EXPECT_EQ(Call(c.command), c.result);
    if (c.field != nullptr) {
        EXPECT_EQ(ctx().*(c.field), c.expected);
    }
    if (!c.silent) {
        EXPECT_EQ(WrittenHex(fake), kSense);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, StatusCommand,
    testing::Values(
        StatusCase{"C16Clear", 16, 2, 0xFD, false, 1, &DEVICE_CONTEXT::nState, 3},
        StatusCase{"C16Set", 16, 2, 0x02, false, 0, &DEVICE_CONTEXT::nState, 6},
        StatusCase{"C16Silent", 16, 2, 0x00, true, 0, &DEVICE_CONTEXT::nState, 6},
        StatusCase{"C17Clear", 17, 2, 0xFD, false, 1, nullptr, 0},
        StatusCase{"C17Set", 17, 2, 0x02, false, 0, nullptr, 0},
        StatusCase{"C17Silent", 17, 2, 0x00, true, 0, nullptr, 0},
        StatusCase{"C18Set", 18, 3, 0x80, false, 1, &DEVICE_CONTEXT::bAnswer18, 1},
        StatusCase{"C18Clear", 18, 3, 0x7F, false, 1, &DEVICE_CONTEXT::bAnswer18, 0},
        StatusCase{"C18Silent", 18, 3, 0x80, true, 0, &DEVICE_CONTEXT::bAnswer18, 9},
        StatusCase{"C24CueBlocked", 24, 0, 0x08, false, 1, &DEVICE_CONTEXT::nState, 0},
        StatusCase{"C24KeepsOtherState", 24, 0, 0xF7, false, 1, &DEVICE_CONTEXT::nState, 6},
        StatusCase{"C24SilentActsOnHeldBytes", 24, 0, 0x08, true, 1, &DEVICE_CONTEXT::nState, 0},
        StatusCase{"C29Clear", 29, 5, 0xF7, false, 1, &DEVICE_CONTEXT::bAnswer29, 1},
        StatusCase{"C29Set", 29, 5, 0x08, false, 1, &DEVICE_CONTEXT::bAnswer29, 0},
        StatusCase{"C29Silent", 29, 5, 0x00, true, 0, &DEVICE_CONTEXT::bAnswer29, 9},
        StatusCase{"C30Ready", 30, 0, 0xEE, false, 1, &DEVICE_CONTEXT::bAnswer30, 1},
        StatusCase{"C30NotReady0", 30, 0, 0x01, false, 1, &DEVICE_CONTEXT::bAnswer30, 0},
        StatusCase{"C30NotReady5", 30, 5, 0x10, false, 1, &DEVICE_CONTEXT::bAnswer30, 0},
        StatusCase{"C30Silent", 30, 0, 0x00, true, 1, &DEVICE_CONTEXT::bAnswer30, 0},
        StatusCase{"C33Clear", 33, 0, 0xF7, false, 1, nullptr, 0},
        StatusCase{"C33Set", 33, 0, 0x08, false, 0, nullptr, 0},
        StatusCase{"C33SilentActsOnHeldBytes", 33, 0, 0x08, true, 0, nullptr, 0}),
    [](const testing::TestParamInfo<StatusCase>& info) { return std::string(info.param.name); });

TEST_F(HostTest, StateUpdateMovesZeroToOne) {
    Connect();
    ctx().nState = 0;
    EXPECT_EQ(Call(24), 1);
    EXPECT_EQ(ctx().nState, 1);
}

TEST_F(HostTest, ReadyPausesBeforeEachSenseAndTakesTheFirstAnswered) {
    using Clock = std::chrono::steady_clock;
    const struct {
        size_t answerFrom;  // the deck answers from this status request on
        const char* sent;
        int32_t answer;
    } rows[] = {{3, "D7 D7 D7", 0}, {1, "D7 D7 B0", 1}};
    for (const auto& r : rows) {
        Connect();
        ctx().bAnswer30 = 9;
        std::vector<Clock::time_point> requests;
        fake.responder = [&](const uint8_t* d, int n) {
            if (n == 1 && d[0] == wire::kStatusFirst) {
                requests.push_back(Clock::now());
                if (requests.size() <= r.answerFrom) {
                    return Bytes{};
                }
            }
            return deck.Respond(d, n);
        };
        const Clock::time_point start = Clock::now();
        EXPECT_EQ(Call(30), 1);
        EXPECT_EQ(WrittenHex(fake), r.sent);
        EXPECT_EQ(ctx().bAnswer30, r.answer);
        Clock::time_point before = start;
        for (const Clock::time_point at : requests) {
            EXPECT_GE(at - before, std::chrono::milliseconds(10)) << r.sent;
            before = at;
        }
        fake.responder = [this](const uint8_t* d, int n) { return deck.Respond(d, n); };
        Call(6);
    }
}

TEST_F(HostTest, Command9SetsStateOnlyWhenAcknowledged) {
    Connect();
    ctx().nState = 6;
    deck.nakCommands = true;
    EXPECT_EQ(Call(9), 0);
    EXPECT_EQ(ctx().nState, 6);
    deck.nakCommands = false;
    EXPECT_EQ(Call(9), 1);
    EXPECT_EQ(ctx().nState, 5);
    EXPECT_EQ(WrittenHex(fake), "3A 3A");
}

TEST_F(HostTest, VideoSystemReport) {
    Connect();
    const struct {
        BYTE systemByte;
        bool silent;
        int32_t format;
    } rows[] = {{0x00, false, 1}, {0xFE, false, 1}, {0x01, false, 0}, {0x00, true, 0}};
    for (const auto& r : rows) {
        deck.systemByte = r.systemByte;
        deck.silent = r.silent;
        ctx().nVideoFormat = 0x400;
        EXPECT_EQ(Call(44), 1);
        EXPECT_EQ(ctx().nVideoFormat, r.format) << int{r.systemByte} << r.silent;
    }
}

// ---- Commands 47 and 53 ---------------------------------------------------------------------

struct SpeedCase {
    int command;
    int32_t speed;
    std::string sent;
    int result;
};

class SpeedCommand : public HostTest, public testing::WithParamInterface<SpeedCase> {};

TEST_P(SpeedCommand, Bytes) {
    Connect();
    ctx().nSpeed = GetParam().speed;
    EXPECT_EQ(Call(GetParam().command), GetParam().result);
    EXPECT_EQ(WrittenHex(fake), GetParam().sent);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SpeedCommand,
    testing::Values(
        SpeedCase{47, 1, "3D", 1}, SpeedCase{47, 79, "3D", 1}, SpeedCase{47, 80, "3E", 1},
        SpeedCase{47, 255, "3E", 1}, SpeedCase{47, 256, "3E", 1}, SpeedCase{47, 300, "3D", 1},
        SpeedCase{47, 0, "4E", 1}, SpeedCase{47, -1, "4D", 1}, SpeedCase{47, -79, "4D", 1},
        SpeedCase{47, -80, "4E", 1}, SpeedCase{47, -300, "4D", 1}, SpeedCase{47, INT_MIN, "4E", 1},
        SpeedCase{47, INT_MAX, "3E", 1}, SpeedCase{53, -2, "B6 36", 1},
        SpeedCase{53, 3, "B5 37", 1}, SpeedCase{53, 0, "B6 30", 1}, SpeedCase{53, -4, "B6 38", 1},
        SpeedCase{53, 4, "B5 38", 1}, SpeedCase{53, 1, "B5 35", 1}, SpeedCase{53, 5, "", 0},
        SpeedCase{53, -5, "", 0}, SpeedCase{53, INT_MIN, "", 0}));

TEST_F(HostTest, SpeedCommandsReturnOneWhenRefused) {
    Connect();
    deck.nakCommands = true;
    ctx().nSpeed = 2;
    EXPECT_EQ(Call(47), 1);
    EXPECT_EQ(Call(53), 1);
}

}  // namespace
}  // namespace testing_support
