#include "deck/vtr_device.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fake_port.h"
#include "timecode/timecode.h"

using testing_support::Bytes;
using testing_support::FakePort;
using testing_support::Hex;

namespace {

const Bytes kStatusA = {0x0A, 0x11, 0x12, 0x13, 0x14};
const Bytes kStatusB = {0x15, 0x16, 0x17, 0x18, 0x19};
const char* const kOpenTrace =
    "open(3)=0 setline(3,12,3)=0 flush(3,2) timeout(3,50,0) "
    "flush(3,2) write(3,D7)=1 read(3,5)=5 flush(3,2) write(3,B0)=1 read(3,5)=5";
const char* const kCloseTrace = "around(3,0,0) close(3) around(3,0,0)";

Bytes AckAll(const uint8_t*, int count) {
    return Bytes(static_cast<std::size_t>(count), 0x0A);
}

class DeckTest : public ::testing::Test {
  protected:
    void OpenDeck(int port = 3) {
        fake.replies = {kStatusA, kStatusB};
        ASSERT_TRUE(deck.Open(port));
        fake.ClearLog();
    }
    // Opens the deck and leaves it knowing its video system.
    void OpenWithSystem(int system) {
        OpenDeck();
        fake.replies = {{0x0A}, {system == 4 ? BYTE{0x01} : BYTE{0x00}}};
        ASSERT_EQ(deck.SenseVideoSystem(), system);
        fake.ClearLog();
    }

    FakePort fake;
    CVtrDevice deck{fake};
};

TEST_F(DeckTest, OpenSetsUpLineAndSensesStatus) {
    fake.replies = {kStatusA, kStatusB};
    EXPECT_TRUE(deck.Open(3));
    EXPECT_EQ(fake.Trace(), kOpenTrace);
    EXPECT_EQ(deck.Port(), 3);
    EXPECT_EQ(Hex(deck.Status(), 10), "0A 11 12 13 14 15 16 17 18 19");
}

TEST_F(DeckTest, OpenRefusedByLayerMakesNoFurtherCall) {
    fake.openResult = 5;
    EXPECT_FALSE(deck.Open(3));
    EXPECT_EQ(fake.Trace(), "open(3)=5");
    EXPECT_EQ(deck.Port(), 0);
    fake.ClearLog();
    EXPECT_FALSE(deck.Close());
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(DeckTest, OpenWithLineSetupRefusedClosesAgain) {
    fake.setLineResult = -1;
    EXPECT_FALSE(deck.Open(3));
    EXPECT_EQ(fake.Trace(), std::string("open(3)=0 setline(3,12,3)=-1 ") + kCloseTrace);
    EXPECT_EQ(deck.Port(), 0);
}

TEST_F(DeckTest, OpenWithSilentDeckClosesAgain) {
    EXPECT_FALSE(deck.Open(3));
    EXPECT_EQ(fake.Trace(),
              std::string("open(3)=0 setline(3,12,3)=0 flush(3,2) timeout(3,50,0) flush(3,2) "
                          "write(3,D7)=1 read(3,5)=0 ") +
                  kCloseTrace);
    EXPECT_EQ(deck.Port(), 0);
}

TEST_F(DeckTest, OpenWithSecondStatusHalfShortClosesAgain) {
    fake.replies = {kStatusA, {0x01, 0x02, 0x03, 0x04}};
    EXPECT_FALSE(deck.Open(3));
    EXPECT_NE(fake.Trace().find("write(3,B0)=1 read(3,5)=4 around(3,0,0)"), std::string::npos);
    EXPECT_EQ(deck.Port(), 0);
}

TEST_F(DeckTest, OpenOnOpenDeckClosesOldPortFirst) {
    OpenDeck(3);
    fake.replies = {kStatusA, kStatusB};
    EXPECT_TRUE(deck.Open(4));
    EXPECT_EQ(fake.Trace().rfind(std::string(kCloseTrace) + " open(4)=0", 0), 0u) << fake.Trace();
    EXPECT_EQ(deck.Port(), 4);
}

TEST_F(DeckTest, CloseCallsAroundCloseAndClearsPortFlag) {
    OpenDeck(7);
    g_PortInUse[7] = 1;
    g_PortInUse[8] = 1;
    EXPECT_TRUE(deck.Close());
    EXPECT_EQ(fake.Trace(), "around(7,0,0) close(7) around(7,0,0)");
    EXPECT_EQ(g_PortInUse[7], 0);
    EXPECT_EQ(g_PortInUse[8], 1);
    g_PortInUse[8] = 0;
    fake.ClearLog();
    EXPECT_FALSE(deck.Close());
    EXPECT_TRUE(deck.Initialize(FALSE));
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(DeckTest, PortAbove255ClosesWithoutTouchingFlags) {
    for (int32_t& flag : g_PortInUse) {
        flag = 1;
    }
    OpenDeck(300);
    EXPECT_TRUE(deck.Close());
    for (int32_t flag : g_PortInUse) {
        EXPECT_EQ(flag, 1);
    }
    std::memset(g_PortInUse, 0, sizeof g_PortInUse);
}

TEST(DeckLifetime, DestructorClosesPortAndFreshDeckUsesActiveLayer) {
    FakePort fake;
    {
        testing_support::ActiveFake active(fake);
        CVtrDevice deck;
        EXPECT_EQ(deck.Port(), 0);
        EXPECT_EQ(deck.VideoSystem(), 0);
        EXPECT_EQ(Hex(deck.Status(), 10), "00 00 00 00 00 00 00 00 00 00");
        fake.replies = {kStatusA, kStatusB};
        ASSERT_TRUE(deck.Open(3));
        fake.ClearLog();
    }
    EXPECT_EQ(fake.Trace(), kCloseTrace);
}

TEST_F(DeckTest, TransactOnClosedDeckMakesNoCall) {
    EXPECT_FALSE(deck.Transact(1, 1));
    EXPECT_FALSE(deck.Transact(1, 5));
    EXPECT_EQ(fake.Trace(), "");
}

TEST_F(DeckTest, TransactRefusesCountsOutsideBuffers) {
    OpenDeck();
    EXPECT_FALSE(deck.Transact(257, 257));
    EXPECT_FALSE(deck.Transact(1, 257));
    EXPECT_FALSE(deck.Transact(-1, 1));
    EXPECT_FALSE(deck.Transact(1, -1));
    EXPECT_EQ(fake.Trace(), "");
    fake.responder = AckAll;
    EXPECT_TRUE(deck.Transact(256, 256));
    EXPECT_EQ(fake.Written().size(), 256u);
}

TEST_F(DeckTest, TransactZeroOnlyFlushes) {
    OpenDeck();
    EXPECT_TRUE(deck.Transact(0, 0));
    EXPECT_EQ(fake.Trace(), "flush(3,2)");
}

TEST_F(DeckTest, BlockShapeShortReadFails) {
    OpenDeck();
    deck.SendBuf()[0] = 0xD7;
    fake.replies = {{1, 2, 3, 4}};
    EXPECT_FALSE(deck.Transact(1, 5));
    EXPECT_EQ(fake.Trace(), "flush(3,2) write(3,D7)=1 read(3,5)=4");
}

TEST_F(DeckTest, BlockShapeShortWriteReadsNothing) {
    OpenDeck();
    deck.SendBuf()[0] = 0xD7;
    fake.writeResults = {0};
    EXPECT_FALSE(deck.Transact(1, 5));
    EXPECT_EQ(fake.Trace(), "flush(3,2) write(3,D7)=0");
}

TEST_F(DeckTest, ByteShapeSkipsReadOfUnwrittenByteAndGoesOn) {
    OpenDeck();
    deck.SendBuf()[0] = 0x01;
    deck.SendBuf()[1] = 0x02;
    deck.SendBuf()[2] = 0x03;
    fake.writeResults = {1, 0, 1};
    fake.replies = {{0x0A}, {0x0A}};
    EXPECT_TRUE(deck.Transact(3, 3));
    EXPECT_EQ(fake.Trace(),
              "flush(3,2) write(3,01)=1 read(3,1)=1 write(3,02)=0 write(3,03)=1 read(3,1)=1");
    EXPECT_EQ(Hex(deck.RecvBuf(), 3), "0A 00 0A");
}

TEST_F(DeckTest, ByteShapeClearsSlotsTheDeckLeavesUnanswered) {
    OpenDeck();
    fake.responder = AckAll;
    ASSERT_EQ(deck.SendCommand2(0x10, 0x20), 1);
    fake.responder = nullptr;
    EXPECT_TRUE(deck.Transact(2, 2));
    EXPECT_EQ(Hex(deck.RecvBuf(), 2), "00 00");
    // A silent deck must not look like it acknowledged.
    EXPECT_EQ(deck.Command3A(), 0);
    EXPECT_EQ(deck.SenseVideoSystem(), 0);
}

TEST_F(DeckTest, SenseStatusStoresBothHalvesInOrder) {
    OpenDeck();
    fake.replies = {{0x0A, 0x01, 0x02, 0x03, 0x04}, {0x05, 0x06, 0x07, 0x08, 0x09}};
    EXPECT_TRUE(deck.SenseStatus());
    EXPECT_EQ(Hex(deck.Status(), 10), "0A 01 02 03 04 05 06 07 08 09");
}

TEST_F(DeckTest, SenseStatusSecondHalfShortKeepsNewFirstHalf) {
    OpenDeck();
    fake.replies = {{0x21, 0x22, 0x23, 0x24, 0x25}, {0x31, 0x32, 0x33, 0x34}};
    EXPECT_FALSE(deck.SenseStatus());
    EXPECT_EQ(Hex(deck.Status(), 10), "21 22 23 24 25 15 16 17 18 19");
    // One attempt only: the failed sense is not repeated.
    EXPECT_EQ(Hex(fake.Written()), "D7 B0");
}

TEST_F(DeckTest, SenseStatusFirstHalfShortLeavesStatus) {
    OpenDeck();
    fake.replies = {{0x21, 0x22}};
    EXPECT_FALSE(deck.SenseStatus());
    EXPECT_EQ(Hex(deck.Status(), 10), "0A 11 12 13 14 15 16 17 18 19");
    EXPECT_EQ(Hex(fake.Written()), "D7");
}

TEST_F(DeckTest, StatusTestsReadStoredBytes) {
    OpenDeck();
    fake.replies = {{0xEE, 0, 0x02, 0xFF, 0}, {0xEE, 0, 0, 0, 0}};
    ASSERT_TRUE(deck.SenseStatus());
    EXPECT_EQ(deck.TestStatus(0x0304), 0x10);
    EXPECT_EQ(deck.TestStatus(0x0201), 0x02);
    EXPECT_EQ(deck.TestStatus(0x0A00), -1);

    struct Case {
        BYTE b0, b5;
        BOOL ready, cueReady;
    };
    for (const Case& c : {Case{0x01, 0x00, FALSE, TRUE}, Case{0x00, 0x10, FALSE, TRUE},
                          Case{0x08, 0x00, TRUE, FALSE}, Case{0x00, 0x08, TRUE, FALSE},
                          Case{0xF7, 0xF7, FALSE, TRUE}, Case{0xEE, 0xEE, TRUE, FALSE}}) {
        fake.replies = {{c.b0, 0, 0, 0, 0}, {c.b5, 0, 0, 0, 0}};
        ASSERT_TRUE(deck.SenseStatus());
        EXPECT_EQ(deck.IsReady(), c.ready) << int{c.b0} << " " << int{c.b5};
        EXPECT_EQ(deck.IsCueReady(), c.cueReady) << int{c.b0} << " " << int{c.b5};
    }
}

struct VideoSystemCase {
    Bytes first, second;
    int expected;
};

class SenseVideoSystemTest : public DeckTest,
                             public ::testing::WithParamInterface<VideoSystemCase> {};

TEST_P(SenseVideoSystemTest, JudgesAckAndBitZero) {
    OpenWithSystem(4);
    fake.replies = {GetParam().first, GetParam().second};
    EXPECT_EQ(deck.SenseVideoSystem(), GetParam().expected);
    EXPECT_EQ(deck.VideoSystem(), GetParam().expected);
    EXPECT_EQ(fake.Trace(),
              "flush(3,2) write(3,DE)=1 read(3,1)=" + std::to_string(GetParam().first.size()) +
                  " write(3,C1)=1 read(3,1)=" + std::to_string(GetParam().second.size()));
}

INSTANTIATE_TEST_SUITE_P(Replies, SenseVideoSystemTest,
                         ::testing::Values(VideoSystemCase{{0x0A}, {0x01}, 4},
                                           VideoSystemCase{{0x0A}, {0xFE}, 1},
                                           VideoSystemCase{{0x0B}, {0x01}, 0},
                                           VideoSystemCase{{}, {}, 0}));

struct CommandCase {
    const char* name;
    int (*call)(CVtrDevice&);
    const char* frame;
};

class CommandTest : public DeckTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(CommandTest, SendsFrameAndSucceedsOnAck) {
    OpenDeck();
    fake.responder = AckAll;
    EXPECT_EQ(GetParam().call(deck), 1);
    EXPECT_EQ(Hex(fake.Written()), GetParam().frame);
}

TEST_P(CommandTest, FailsOnNakWithOneAttempt) {
    OpenDeck();
    fake.responder = [](const uint8_t*, int) { return Bytes{0x0B}; };
    EXPECT_EQ(GetParam().call(deck), 0);
    EXPECT_EQ(Hex(fake.Written()), GetParam().frame);
}

TEST_P(CommandTest, FailsOnClosedDeckWithoutIo) {
    EXPECT_EQ(GetParam().call(deck), 0);
    EXPECT_EQ(fake.Trace(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Frames, CommandTest,
    ::testing::Values(
        CommandCase{"Command3A", [](CVtrDevice& d) { return d.Command3A(); }, "3A"},
        CommandCase{"Command3F", [](CVtrDevice& d) { return d.Command3F(); }, "3F"},
        CommandCase{"Command4B", [](CVtrDevice& d) { return d.Command4B(); }, "4B"},
        CommandCase{"Command2A", [](CVtrDevice& d) { return d.Command2A(); }, "2A"},
        CommandCase{"SpeedForward10", [](CVtrDevice& d) { return d.SpeedForward(10); }, "3D"},
        CommandCase{"SpeedForward80", [](CVtrDevice& d) { return d.SpeedForward(80); }, "3E"},
        CommandCase{"SpeedForward257", [](CVtrDevice& d) { return d.SpeedForward(257); }, "3D"},
        CommandCase{"SpeedReverse0", [](CVtrDevice& d) { return d.SpeedReverse(0); }, "4E"},
        CommandCase{"SpeedReverse1", [](CVtrDevice& d) { return d.SpeedReverse(1); }, "4D"},
        CommandCase{"VarSpeedForward2", [](CVtrDevice& d) { return d.VarSpeedForward(2); },
                    "B5 36"},
        CommandCase{"VarSpeedForwardM4", [](CVtrDevice& d) { return d.VarSpeedForward(-4); },
                    "B5 31"},
        CommandCase{"VarSpeedReverse0", [](CVtrDevice& d) { return d.VarSpeedReverse(0); },
                    "B6 30"},
        CommandCase{"VarSpeedReverse1", [](CVtrDevice& d) { return d.VarSpeedReverse(1); },
                    "B6 35"},
        CommandCase{"VarSpeedReverse4", [](CVtrDevice& d) { return d.VarSpeedReverse(4); },
                    "B6 38"},
        CommandCase{"SendCommandDataLen0",
                    [](CVtrDevice& d) { return d.SendCommandData(0xDF, 0x93, nullptr, 0); },
                    "DF 93"},
        CommandCase{"SendCommandData9",
                    [](CVtrDevice& d) {
                        const BYTE block[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
                        return d.SendCommandData(0xDF, 0x93, block, 9);
                    },
                    "DF 93 01 02 03 04 05 06 07 08 09"}),
    [](const ::testing::TestParamInfo<CommandCase>& info) { return info.param.name; });

TEST_F(DeckTest, SendCommand2NeedsBothAcks) {
    OpenDeck();
    fake.replies = {{0x0A}, {0x0B}};
    EXPECT_EQ(deck.SendCommand2(0xB5, 0x30), 0);
    fake.replies = {{0x0A}, {0x0A}};
    EXPECT_EQ(deck.SendCommand2(0xB5, 0x30), 1);
}

TEST_F(DeckTest, SendCommandDataJudgesFirstReplyOnly) {
    OpenDeck();
    const BYTE block[3] = {0x31, 0x32, 0x33};
    fake.replies = {{0x0A}, {0x00}, {0xFF}, {}, {0x0B}};
    EXPECT_EQ(deck.SendCommandData(0xDF, 0x93, block, 3), 1);
    fake.replies = {{0x0B}, {0x0A}, {0x0A}, {0x0A}, {0x0A}};
    EXPECT_EQ(deck.SendCommandData(0xDF, 0x93, block, 3), 0);
}

TEST_F(DeckTest, SendCommandDataRefusesBadBlocks) {
    OpenDeck();
    fake.responder = AckAll;
    BYTE block[255] = {};
    EXPECT_EQ(deck.SendCommandData(0xDF, 0x93, block, 255), 0);
    EXPECT_EQ(deck.SendCommandData(0xDF, 0x93, block, -1), 0);
    EXPECT_EQ(deck.SendCommandData(0xDF, 0x93, nullptr, 1), 0);
    EXPECT_EQ(fake.Trace(), "");
    EXPECT_EQ(deck.SendCommandData(0xDF, 0x93, block, 254), 1);
    EXPECT_EQ(fake.Written().size(), 256u);
}

TEST_F(DeckTest, VarSpeedOutsideTableSendsNothing) {
    OpenDeck();
    fake.responder = AckAll;
    EXPECT_EQ(deck.VarSpeedForward(5), 0);
    EXPECT_EQ(deck.VarSpeedReverse(-5), 0);
    EXPECT_EQ(deck.VarSpeedReverse(1000), 0);
    EXPECT_EQ(fake.Trace(), "");
}

struct ReadTimeCase {
    const char* name;
    int system;
    int videoFormat;
    Bytes reply;
    DWORD expected;
};

class ReadTimeTest : public DeckTest, public ::testing::WithParamInterface<ReadTimeCase> {
  protected:
    void TearDown() override { SetVideoFormat(1); }
};

TEST_P(ReadTimeTest, DecodesReply) {
    const ReadTimeCase& c = GetParam();
    SetVideoFormat(c.videoFormat);
    OpenWithSystem(c.system);
    fake.replies = {c.reply};
    EXPECT_EQ(deck.ReadTime(), c.expected);
    const int want = c.system == 4 ? 9 : 8;
    EXPECT_EQ(fake.Trace(), "flush(3,2) write(3,A0)=1 read(3," + std::to_string(want) +
                                ")=" + std::to_string(c.reply.size()));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ReadTimeTest,
    ::testing::Values(
        ReadTimeCase{"System1", 1, 1, {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32}, 0x01234512},
        ReadTimeCase{
            "System1HexDigit", 1, 1, {0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x3A}, 0x0000000A},
        ReadTimeCase{"System1Short", 1, 1, {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31}, 0},
        ReadTimeCase{"System4Positive",
                     4,
                     1,
                     {0xA1, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32},
                     0x01234512},
        ReadTimeCase{"System4OtherSignIsPositive",
                     4,
                     1,
                     {0x00, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32},
                     0x01234512},
        ReadTimeCase{"System4NegativeAt25",
                     4,
                     1,
                     {0xA2, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32},
                     0x22361413},
        ReadTimeCase{"System4NegativeZeroAt25",
                     4,
                     1,
                     {0xA2, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30},
                     0x24000000},
        ReadTimeCase{"System4MinusOneSecondAt25",
                     4,
                     1,
                     {0xA2, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30, 0x30},
                     0x23595900},
        ReadTimeCase{"System4MinusOneFrameAt30",
                     4,
                     0x4,
                     {0xA2, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31},
                     0x23595929},
        ReadTimeCase{"System4MinusOneSecondAt50",
                     4,
                     0x400,
                     {0xA2, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31, 0x30, 0x30},
                     0x23595900},
        ReadTimeCase{"System4MinusOneFrameAtNtsc",
                     4,
                     0x2,
                     {0xA2, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x31},
                     0x23595929},
        ReadTimeCase{"System4MinusADayHasNoComplement",
                     4,
                     1,
                     {0xA2, 0x32, 0x34, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30},
                     0},
        ReadTimeCase{"System4Short", 4, 1, {0xA1, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31}, 0}),
    [](const ::testing::TestParamInfo<ReadTimeCase>& info) { return info.param.name; });

TEST_F(DeckTest, ReadTimeSensesSystemFirstUnderOneLock) {
    OpenDeck();
    fake.replies = {{0x0A}, {0x00}, {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32}};
    EXPECT_EQ(deck.ReadTime(), 0x01234512u);
    EXPECT_EQ(fake.Trace(),
              "flush(3,2) write(3,DE)=1 read(3,1)=1 write(3,C1)=1 read(3,1)=1 "
              "flush(3,2) write(3,A0)=1 read(3,8)=8");
}

TEST_F(DeckTest, ReadTimeWithUnsensedSystemNeverSendsRequest) {
    OpenDeck();
    EXPECT_EQ(deck.ReadTime(), 0u);
    EXPECT_EQ(Hex(fake.Written()), "DE C1");
}

struct CueDeckCase {
    const char* name;
    int system;
    BYTE h, m, s, f;
    BOOL positive;
    const char* frame;
};

class CueTest : public DeckTest, public ::testing::WithParamInterface<CueDeckCase> {};

TEST_P(CueTest, SendsFrameByteByByte) {
    const CueDeckCase& c = GetParam();
    OpenWithSystem(c.system);
    fake.responder = AckAll;
    EXPECT_EQ(deck.Cue(c.h, c.m, c.s, c.f, c.positive), TRUE);
    EXPECT_EQ(Hex(fake.Written()), c.frame);
    const std::size_t n = fake.Written().size();
    EXPECT_EQ(fake.Calls().size(), 1 + 2 * n) << "one flush, then a write and a read per byte";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CueTest,
    ::testing::Values(
        CueDeckCase{"System1", 1, 1, 23, 45, 12, 1, "DF 93 30 31 32 33 34 35 31 32 40"},
        CueDeckCase{"System4", 4, 1, 23, 45, 12, 1, "DF 93 30 A1 31 32 33 34 35 31 32 40"},
        CueDeckCase{"System4Negative", 4, 0, 0, 5, 0, 0, "DF 93 30 A2 30 30 30 30 35 30 30 40"},
        CueDeckCase{"System1IgnoresSign", 1, 0, 0, 5, 0, 0, "DF 93 30 30 30 30 30 35 30 30 40"},
        CueDeckCase{"System4AnyNonZeroIsPositive", 4, 0, 0, 5, 0, 2,
                    "DF 93 30 A1 30 30 30 30 35 30 30 40"}),
    [](const ::testing::TestParamInfo<CueDeckCase>& info) { return info.param.name; });

TEST_F(DeckTest, CueJudgesCommandByteOnly) {
    OpenWithSystem(1);
    fake.replies = {{0x0B}};
    EXPECT_EQ(deck.Cue(0, 0, 1, 0, 1), FALSE);
    fake.replies = {{0x0A}};
    EXPECT_EQ(deck.Cue(0, 0, 1, 0, 1), TRUE);
}

TEST_F(DeckTest, CueWithUnsensedSystemSendsUnsignedFrame) {
    OpenDeck();
    fake.responder = [](const uint8_t* data, int) {
        return data[0] == 0xDE ? Bytes{0x0B} : Bytes{0x0A};
    };
    EXPECT_EQ(deck.Cue(1, 23, 45, 12, 0), TRUE);
    EXPECT_EQ(Hex(fake.Written()), "DE C1 DF 93 30 31 32 33 34 35 31 32 40");
}

TEST_F(DeckTest, LockIsReentrant) {
    OpenDeck();
    fake.responder = AckAll;
    CDeviceLock outer(&deck);
    {
        CDeviceLock inner(&deck);
        EXPECT_EQ(deck.Command3A(), 1);
    }
    EXPECT_EQ(deck.Command3F(), 1);
}

TEST_F(DeckTest, CloseWaitsForLockHolder) {
    OpenDeck();
    std::atomic<bool> closed{false};
    std::thread closer;
    {
        CDeviceLock held(&deck);
        closer = std::thread([&] { closed = deck.Close() == TRUE; });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_FALSE(closed.load());
        EXPECT_EQ(deck.Port(), 3);
    }
    closer.join();
    EXPECT_TRUE(closed.load());
    EXPECT_EQ(deck.Port(), 0);
}

TEST_F(DeckTest, TwoThreadsNeverInterleaveExchanges) {
    OpenDeck();
    fake.responder = [](const uint8_t*, int count) {
        std::this_thread::yield();
        return Bytes(static_cast<std::size_t>(count), 0x0A);
    };
    constexpr int kRounds = 200;
    auto worker = [&](BYTE cmd, BYTE data) {
        for (int i = 0; i < kRounds; ++i) {
            EXPECT_EQ(deck.SendCommand2(cmd, data), 1);
        }
    };
    std::thread a(worker, 0x11, 0x12);
    std::thread b(worker, 0x21, 0x22);
    a.join();
    b.join();
    // Every exchange is flush, write cmd, read, write data, read, with both bytes from one thread.
    const std::vector<std::string> calls = fake.Calls();
    ASSERT_EQ(calls.size(), 2u * kRounds * 5);
    for (std::size_t i = 0; i < calls.size(); i += 5) {
        ASSERT_EQ(calls[i], "flush(3,2)");
        const bool first = calls[i + 1] == "write(3,11)=1";
        ASSERT_TRUE(first || calls[i + 1] == "write(3,21)=1") << calls[i + 1];
        EXPECT_EQ(calls[i + 2], "read(3,1)=1");
        EXPECT_EQ(calls[i + 3], first ? "write(3,12)=1" : "write(3,22)=1");
        EXPECT_EQ(calls[i + 4], "read(3,1)=1");
    }
}

}  // namespace
