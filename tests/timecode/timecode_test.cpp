#include <gtest/gtest.h>

#include <cmath>

#include "timecode/timecode.h"

namespace {

// Each test sets the format it needs and restores the initial one.
class WithFormat : public testing::Test {
  protected:
    void TearDown() override { SetVideoFormat(1); }
};

struct RateCase {
    int code;
    double rate;
};

class FrameRateTest : public testing::TestWithParam<RateCase> {
  protected:
    void TearDown() override { SetVideoFormat(1); }
};

TEST_P(FrameRateTest, MatchesTable) {
    SetVideoFormat(GetParam().code);
    EXPECT_EQ(GetFrameRate(), GetParam().rate) << std::hex << GetParam().code;
}

constexpr double kNtsc = 30000.0 / 1001.0;
constexpr double kNtsc60 = 60000.0 / 1001.0;

INSTANTIATE_TEST_SUITE_P(
    Codes, FrameRateTest,
    testing::Values(RateCase{0x2, kNtsc}, RateCase{0x4, 30}, RateCase{0x20, kNtsc},
                    RateCase{0x200, 24}, RateCase{0x400, 50}, RateCase{0x800, kNtsc60},
                    RateCase{0x1000, kNtsc}, RateCase{0x2000, 23.98}, RateCase{0x4000, 24},
                    RateCase{0x10000, kNtsc}, RateCase{0x20000, 30}, RateCase{0x80000, 23.98},
                    RateCase{0x100000, 24}, RateCase{0x400000, kNtsc}, RateCase{0x800000, 30},
                    // Unlisted codes, combinations of listed bits and negatives give 25.
                    RateCase{0, 25}, RateCase{1, 25}, RateCase{8, 25}, RateCase{0x40000, 25},
                    RateCase{0x6, 25}, RateCase{0x2002, 25}, RateCase{-1, 25},
                    RateCase{INT32_MIN, 25}));

TEST_F(WithFormat, InitialFormatIsOneAndStoreIsVisible) {
    EXPECT_EQ(g_nVideoFormat.load(), 1);
    EXPECT_EQ(GetFrameRate(), 25.0);
    SetVideoFormat(0x800);
    EXPECT_EQ(g_nVideoFormat.load(), 0x800);
    EXPECT_EQ(GetFrameRate(), kNtsc60);
}

TEST(FrameRate, RatesAreExactConstants) {
    EXPECT_EQ(FrameRateOf(0x2000), 23.98);
    EXPECT_NE(FrameRateOf(0x2000), 24000.0 / 1001.0);
    EXPECT_EQ(FrameRateOf(0x2), 29.97002997002997);
    EXPECT_EQ(FrameRateOf(0x800), 59.94005994005994);
}

struct SplitCase {
    int format;
    int frames;
    int h, m, s, f;
};

class SplitTest : public testing::TestWithParam<SplitCase> {
  protected:
    void TearDown() override { SetVideoFormat(1); }
};

TEST_P(SplitTest, FramesToHmsf) {
    const SplitCase& c = GetParam();
    SetVideoFormat(c.format);
    BYTE h = 0xEE, m = 0xEE, s = 0xEE, f = 0xEE;
    FramesToHmsf(c.frames, &h, &m, &s, &f);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(m, c.m);
    EXPECT_EQ(s, c.s);
    EXPECT_EQ(f, c.f);
}

// K = integer part of 3600 x 30000/1001 = 107892; 300 x rate -> 8991; 60 x rate -> 1798.
INSTANTIATE_TEST_SUITE_P(
    Cases, SplitTest,
    testing::Values(SplitCase{1, 0, 0, 0, 0, 0}, SplitCase{1, 25 * 3600, 1, 0, 0, 0},
                    SplitCase{1, 25 * 3600 - 1, 0, 59, 59, 24},
                    SplitCase{1, 125637, 1, 23, 45, 12},  // 01:23:45:12
                    SplitCase{4, 30 * 86400 - 1, 23, 59, 59, 29},
                    SplitCase{0x400, 50 * 61 + 7, 0, 1, 1, 7},
                    SplitCase{0x2, 107891, 0, 59, 59, 29}, SplitCase{0x2, 107892, 0, 59, 60, 0},
                    SplitCase{0x2, 8991, 0, 4, 60, 0}, SplitCase{0x2, 1799, 0, 1, 0, 1},
                    SplitCase{0x2, 29, 0, 0, 0, 29}, SplitCase{0x2, 30, 0, 0, 1, 0},
                    // 300 hours: the hours field keeps its low 8 bits (300 & 0xFF = 44).
                    SplitCase{1, 25 * 3600 * 300 + 25 * 61, 44, 1, 1, 0},
                    // INT32_MAX at 25 is 23860:55:45:22; hours written as 23860 & 0xFF.
                    SplitCase{1, INT32_MAX, 23860 & 0xFF, 55, 45, 22}));

TEST(Bcd, FieldConversions) {
    EXPECT_EQ(BinToBcd(0), 0x00);
    EXPECT_EQ(BinToBcd(59), 0x59);
    EXPECT_EQ(BinToBcd(99), 0x99);
    EXPECT_EQ(BinToBcd(100), 0xA0);  // (100 / 10) x 16 + 0 = 160
    EXPECT_EQ(BinToBcd(255), ((25 * 16 + 5) & 0xFF));
    EXPECT_EQ(BcdToBin(0x59), 59u);
    EXPECT_EQ(BcdToBin(0xFF), 165u);
}

TEST_F(WithFormat, FramesToBcdPacksDigits) {
    SetVideoFormat(4);
    EXPECT_EQ(FramesToBcd(30 * 86400 - 1), 0x23595929u);
    SetVideoFormat(1);
    EXPECT_EQ(FramesToBcd(125637), 0x01234512u);
    EXPECT_EQ(FramesToBcd(0), 0u);
    // 120 hours: the hours field does not fit two digits and is packed truncated.
    EXPECT_EQ(FramesToBcd(25 * 3600 * 120), static_cast<DWORD>(BinToBcd(120)) << 24);
}

TEST_F(WithFormat, BcdToFrames) {
    SetVideoFormat(1);
    EXPECT_EQ(BcdToFrames(0x00001200), 300);
    EXPECT_EQ(BcdToFrames(0x01234512), 125637);
    EXPECT_EQ(BcdToFrames(0x24000000), 25 * 86400);
    SetVideoFormat(0x2);
    // 3600 s x 30000/1001 = 107892.107..., rounded to nearest.
    EXPECT_EQ(BcdToFrames(0x01000000), 107892);
    EXPECT_EQ(BcdToFrames(0x00000129), 30 + 29);
}

TEST_F(WithFormat, BcdRoundTripAtWholeRates) {
    for (int format : {1, 4, 0x400, 0x200}) {
        SetVideoFormat(format);
        for (int n : {0, 1, 24, 1000, 89999, 90000, 2000000}) {
            EXPECT_EQ(BcdToFrames(FramesToBcd(n)), n) << format << " " << n;
        }
    }
}

TEST_F(WithFormat, ComplementToDayAgreesWithFrameCountSplitAtWholeRates) {
    // At whole rates the day's frame count is exact, so borrowing field by field must give
    // the same bytes as splitting the remaining frames, for every time of the day and for
    // digits the deck should not send.
    for (int format : {1, 4, 0x200, 0x400}) {
        SetVideoFormat(format);
        const int day = static_cast<int>(GetFrameRate()) * 86400;
        for (int n = 0; n < day; n += 7919) {
            const DWORD t = FramesToBcd(n);
            EXPECT_EQ(ComplementToDay(t), FramesToBcd(day - BcdToFrames(t))) << format << " " << n;
        }
        for (DWORD t : {0x00000000u, 0x23595900u, 0x0000003Au, 0x00005F00u, 0x2300FF29u}) {
            EXPECT_EQ(ComplementToDay(t), FramesToBcd(day - BcdToFrames(t))) << format << " " << t;
        }
    }
}

TEST_F(WithFormat, ComplementToDayKeepsFieldsInRangeAtFractionalRates) {
    const struct {
        int format;
        DWORD magnitude;
        DWORD complement;
    } rows[] = {
        {0x2, 0x00000001, 0x23595929},
        {0x2, 0x00000100, 0x23595900},
        {0x2, 0x00000000, 0x24000000},
        {0x800, 0x00010000, 0x23590000},
        {0x800, 0x00000001, 0x23595959},
        {0x2000, 0x00001005, 0x23594919},
        {0x2000, 0x00000100, 0x23595900},
        // A day or more before zero has no complement.
        {0x2, 0x24000000, 0},
        {0x1, 0x99595929, 0},
    };
    for (const auto& r : rows) {
        SetVideoFormat(r.format);
        EXPECT_EQ(ComplementToDay(r.magnitude), r.complement) << std::hex << r.magnitude;
    }
}

TEST(TimeDataToFrames, IgnoresFlagBits) {
    EXPECT_EQ(TimeDataToFrames(0x80000040u, 25.0), 0);
    EXPECT_EQ(TimeDataToFrames(0x80808040u | 0x00000080u, 30.0), 0);
    EXPECT_EQ(TimeDataToFrames(0x00000930u, 30.0), 300);  // 9 s + frame label 30
    // Tens digits keep only their low bits: 0xF9 minutes read as 0x79 = 79.
    EXPECT_EQ(TimeDataToFrames(0x00F90000u, 25.0), 79 * 60 * 25);
    EXPECT_EQ(TimeDataToFrames(0x01234512u, 25.0), 125637);
}

TEST(TimeDataToFrames, RoundsAtFractionalRates) {
    const double r = 30000.0 / 1001.0;
    EXPECT_EQ(TimeDataToFrames(0x00000129u, r), 59);     // 29.97 + 29 = 58.97
    EXPECT_EQ(TimeDataToFrames(0x00100000u, r), 17982);  // 600 s exactly 17982.017
    EXPECT_EQ(TimeDataToFrames(0x00000000u, r), 0);
}

}  // namespace
