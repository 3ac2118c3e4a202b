#include <gtest/gtest.h>

#include <cmath>

#include "hostsupport/hostsupport.h"

namespace {

struct RoundCase {
    double in;
    int out;
};

class DoubleToIntTest : public testing::TestWithParam<RoundCase> {};

TEST_P(DoubleToIntTest, RoundsToNearestHalvesAwayFromZero) {
    EXPECT_EQ(DoubleToInt(GetParam().in), GetParam().out) << GetParam().in;
}

INSTANTIATE_TEST_SUITE_P(Values, DoubleToIntTest,
                         testing::Values(RoundCase{0.0, 0}, RoundCase{2160000.0, 2160000},
                                         RoundCase{29.97002997002997, 30},
                                         RoundCase{59.94005994005994, 60}, RoundCase{23.98, 24},
                                         RoundCase{0.5, 1}, RoundCase{1.4999, 1}, RoundCase{2.5, 3},
                                         RoundCase{-0.5, -1}, RoundCase{-0.4, 0},
                                         RoundCase{-2.5, -3}, RoundCase{2589410.5894, 2589411},
                                         RoundCase{1e12, INT32_MAX}, RoundCase{-1e12, INT32_MIN},
                                         RoundCase{std::nan(""), 0}));

TEST(ZvStrCpy, CopiesUnitsAndTerminator) {
    char16_t dest[8];
    for (auto& c : dest) {
        c = u'#';
    }
    const int n = _zvstrcpy(dest, u"T\u00e9p\U0001F3AC");
    EXPECT_EQ(n, 5);  // the emoji is two UTF-16 units
    EXPECT_EQ(std::u16string(dest), u"T\u00e9p\U0001F3AC");
    EXPECT_EQ(dest[5], u'\0');
    EXPECT_EQ(dest[6], u'#');  // nothing past the terminator
}

TEST(ZvStrCpy, EmptyString) {
    char16_t dest[2] = {u'x', u'y'};
    EXPECT_EQ(_zvstrcpy(dest, u""), 0);
    EXPECT_EQ(dest[0], u'\0');
    EXPECT_EQ(dest[1], u'y');
}

}  // namespace
