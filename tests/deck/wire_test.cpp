#include "deck/wire.h"

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "fake_port.h"

using testing_support::Hex;

namespace {

struct CueCase {
    BYTE h, m, s, f;
    bool signedForm;
    bool positive;
    const char* block;
};

class CueBlockTest : public ::testing::TestWithParam<CueCase> {};

TEST_P(CueBlockTest, BuildsDigitsSignAndTerminator) {
    const CueCase& c = GetParam();
    BYTE block[wire::kCueBlockMax + 4];
    std::memset(block, 0xEE, sizeof block);
    const std::size_t n = wire::BuildCueBlock(c.h, c.m, c.s, c.f, c.signedForm, c.positive, block);
    EXPECT_EQ(Hex(block, static_cast<int>(n)), c.block);
    EXPECT_EQ(block[n], 0xEE) << "wrote past the block";
}

INSTANTIATE_TEST_SUITE_P(
    Forms, CueBlockTest,
    ::testing::Values(CueCase{1, 23, 45, 12, false, true, "30 31 32 33 34 35 31 32 40"},
                      CueCase{1, 23, 45, 12, true, true, "30 A1 31 32 33 34 35 31 32 40"},
                      CueCase{0, 0, 5, 0, true, false, "30 A2 30 30 30 30 35 30 30 40"},
                      CueCase{0, 0, 5, 0, false, false, "30 30 30 30 30 35 30 30 40"},
                      CueCase{99, 59, 59, 29, true, true, "39 A1 39 35 39 35 39 32 39 40"},
                      CueCase{23, 59, 59, 29, false, true, "32 33 35 39 35 39 32 39 40"}));

struct VarSpeedCase {
    int speed;
    bool inTable;
    BYTE digit;
};

class VarSpeedDigitTest : public ::testing::TestWithParam<VarSpeedCase> {};

TEST_P(VarSpeedDigitTest, LooksUpTableOrRefuses) {
    const VarSpeedCase& c = GetParam();
    BYTE digit = 0x77;
    EXPECT_EQ(wire::VarSpeedDigit(c.speed, &digit), c.inTable);
    EXPECT_EQ(digit, c.inTable ? c.digit : 0x77);
}

INSTANTIATE_TEST_SUITE_P(
    Speeds, VarSpeedDigitTest,
    ::testing::Values(VarSpeedCase{-4, true, 0x31}, VarSpeedCase{-3, true, 0x32},
                      VarSpeedCase{-2, true, 0x33}, VarSpeedCase{-1, true, 0x34},
                      VarSpeedCase{0, true, 0x30}, VarSpeedCase{1, true, 0x35},
                      VarSpeedCase{2, true, 0x36}, VarSpeedCase{3, true, 0x37},
                      VarSpeedCase{4, true, 0x38}, VarSpeedCase{5, false, 0},
                      VarSpeedCase{-5, false, 0}, VarSpeedCase{100, false, 0},
                      VarSpeedCase{251, false, 0},
                      // The index is an 8-bit sum: 252 + 4 wraps to index 0.
                      VarSpeedCase{252, true, 0x31}, VarSpeedCase{INT_MIN, true, 0x30},
                      VarSpeedCase{INT_MAX, true, 0x34}));

struct SpeedCase {
    int speed;
    BYTE forward;
    BYTE reverse;
};

class SpeedCommandTest : public ::testing::TestWithParam<SpeedCase> {};

TEST_P(SpeedCommandTest, LowByteSelectsCommand) {
    const SpeedCase& c = GetParam();
    EXPECT_EQ(wire::SpeedCommand(c.speed, true), c.forward);
    EXPECT_EQ(wire::SpeedCommand(c.speed, false), c.reverse);
}

INSTANTIATE_TEST_SUITE_P(Speeds, SpeedCommandTest,
                         ::testing::Values(SpeedCase{1, 0x3D, 0x4D}, SpeedCase{10, 0x3D, 0x4D},
                                           SpeedCase{79, 0x3D, 0x4D}, SpeedCase{0, 0x3E, 0x4E},
                                           SpeedCase{80, 0x3E, 0x4E}, SpeedCase{255, 0x3E, 0x4E},
                                           SpeedCase{256, 0x3E, 0x4E}, SpeedCase{257, 0x3D, 0x4D},
                                           SpeedCase{-1, 0x3E, 0x4E}));

struct StatusBitCase {
    int byteIndex;
    BYTE value;
    UINT code;
    int expected;
};

class StatusBitTest : public ::testing::TestWithParam<StatusBitCase> {};

TEST_P(StatusBitTest, SelectsByteAndBit) {
    const StatusBitCase& c = GetParam();
    BYTE status[10] = {};
    status[c.byteIndex] = c.value;
    EXPECT_EQ(wire::TestStatusBit(status, c.code), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StatusBitTest,
    ::testing::Values(StatusBitCase{3, 0xFF, 0x0304, 0x10}, StatusBitCase{3, 0xEF, 0x0304, 0},
                      StatusBitCase{0, 0x08, 0x0003, 0x08}, StatusBitCase{2, 0x02, 0x0201, 0x02},
                      StatusBitCase{3, 0x20, 0x0305, 0x20}, StatusBitCase{3, 0x80, 0x0307, 0x80},
                      StatusBitCase{5, 0x08, 0x0503, 0x08}, StatusBitCase{9, 0xFF, 0x0908, 0},
                      StatusBitCase{9, 0xFF, 0x0A00, -1}, StatusBitCase{0, 0xFF, 0xFFFFFF00, -1},
                      // Bits 5 to 7 of the code are ignored: 0x21 tests bit 1.
                      StatusBitCase{0, 0x02, 0x0021, 0x02}, StatusBitCase{0, 0xFD, 0x0021, 0}));

TEST(DecodeTimeDigits, PacksLowNibblesAndMasksInPlace) {
    BYTE reply[9] = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32, 0xA2};
    EXPECT_EQ(wire::DecodeTimeDigits(reply), 0x01234512u);
    EXPECT_EQ(Hex(reply, 9), "00 01 02 03 04 05 01 02 A2");
}

TEST(DecodeTimeDigits, NonDecimalDigitPassesThrough) {
    BYTE reply[8] = {0x3A, 0xF0, 0x30, 0x30, 0x30, 0x30, 0x30, 0x39};
    EXPECT_EQ(wire::DecodeTimeDigits(reply), 0xA0000009u);
}

TEST(VideoSystemFromByte, BitZeroSelectsSystemFour) {
    EXPECT_EQ(wire::VideoSystemFromByte(0x01), 4);
    EXPECT_EQ(wire::VideoSystemFromByte(0xFF), 4);
    EXPECT_EQ(wire::VideoSystemFromByte(0xFE), 1);
    EXPECT_EQ(wire::VideoSystemFromByte(0x00), 1);
}

}  // namespace
