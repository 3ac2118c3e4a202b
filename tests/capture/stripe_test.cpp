#include "tools/stripe/stripe.h"

#include <gtest/gtest.h>

#include <vector>

namespace stripe {
namespace {

struct StripeCase {
    int width;
    int step;  // 1 planar luma, 2 YUYV
    int64_t frames;
};

void PrintTo(const StripeCase& c, std::ostream* os) {
    *os << c.width << " wide, step " << c.step << ", frame " << c.frames;
}

class StripeRoundTrip : public ::testing::TestWithParam<StripeCase> {};

TEST_P(StripeRoundTrip, ReadsBackWhatWasDrawnAndTouchesOnlyTheTopRowsLuma) {
    const StripeCase c = GetParam();
    const int stride = c.width * c.step;
    std::vector<uint8_t> picture(static_cast<std::size_t>(stride) * 24, 77);
    DrawStripe(picture.data(), stride, c.step, c.width, c.frames);
    EXPECT_EQ(ReadStripe(LumaView{picture.data(), stride, c.step, c.width, 24}), c.frames);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        const bool luma = i % static_cast<std::size_t>(c.step) == 0;
        if (i >= static_cast<std::size_t>(stride) * kStripeRows || !luma) {
            ASSERT_EQ(picture[i], 77) << i;
        }
    }
    // No position: grey, which reads as none.
    DrawStripe(picture.data(), stride, c.step, c.width, std::nullopt);
    EXPECT_EQ(ReadStripe(LumaView{picture.data(), stride, c.step, c.width, 24}), std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(Table, StripeRoundTrip,
                         ::testing::Values(StripeCase{320, 2, 3000}, StripeCase{720, 2, 1},
                                           StripeCase{720, 1, 2158920}, StripeCase{64, 1, 0},
                                           StripeCase{486, 1, -1}, StripeCase{330, 2, 0x7FFFFFFF},
                                           StripeCase{100, 2, -2158920}));

TEST(StripeRead, AnUnclearBlockOrATooSmallPictureHoldsNoPosition) {
    std::vector<uint8_t> picture(std::size_t{320} * 16);
    DrawStripe(picture.data(), 320, 1, 320, 12345);
    for (int row = 0; row < kStripeRows; ++row) {
        for (int x = 2; x < 8; ++x) {
            picture[static_cast<std::size_t>(row) * 320 + x] = 128;  // block 0's middle
        }
    }
    EXPECT_EQ(ReadStripe(LumaView{picture.data(), 320, 1, 320, 16}), std::nullopt);
    EXPECT_EQ(ReadStripe(LumaView{picture.data(), 320, 1, 62, 16}), std::nullopt);
    EXPECT_EQ(ReadStripe(LumaView{picture.data(), 320, 1, 320, 15}), std::nullopt);
}

}  // namespace
}  // namespace stripe
