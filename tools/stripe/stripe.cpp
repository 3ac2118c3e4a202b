#include "tools/stripe/stripe.h"

namespace stripe {

namespace {

// Between black (16) and white (235), with room either side for a picture that went through
// a lossy path: nearer the middle than this is neither.
constexpr int kOneAbove = 170;
constexpr int kZeroBelow = 80;

}  // namespace

void StripeBlock(int width, int bit, int* first, int* last) {
    *first = static_cast<int>(int64_t{width} * bit / kStripeBits);
    *last = static_cast<int>(int64_t{width} * (bit + 1) / kStripeBits);
}

void DrawStripe(uint8_t* luma, int stride, int step, int width, std::optional<int64_t> frames) {
    const auto bits = static_cast<uint32_t>(frames.value_or(0));
    for (int bit = 0; bit < kStripeBits; ++bit) {
        const bool one = ((bits >> (kStripeBits - 1 - bit)) & 1u) != 0;
        const uint8_t value = !frames ? kLumaGrey : one ? kLumaWhite : kLumaBlack;
        int first = 0;
        int last = 0;
        StripeBlock(width, bit, &first, &last);
        for (int row = 0; row < kStripeRows; ++row) {
            uint8_t* p = luma + static_cast<int64_t>(row) * stride;
            for (int x = first; x < last; ++x) {
                p[static_cast<int64_t>(x) * step] = value;
            }
        }
    }
}

std::optional<int64_t> ReadStripe(const LumaView& v) {
    if (v.width < kStripeMinWidth || v.height < kStripeRows || v.data == nullptr) {
        return std::nullopt;
    }
    uint32_t bits = 0;
    for (int bit = 0; bit < kStripeBits; ++bit) {
        int first = 0;
        int last = 0;
        StripeBlock(v.width, bit, &first, &last);
        // The middle of the block and of the rows: edges may have been smeared by scaling.
        const int quarter = (last - first) / 4;
        const int x0 = first + quarter;
        const int x1 = last - quarter;
        int64_t sum = 0;
        int64_t n = 0;
        for (int row = 2; row < kStripeRows - 2; ++row) {
            const uint8_t* p = v.data + static_cast<int64_t>(row) * v.stride;
            for (int x = x0; x < x1; ++x) {
                sum += p[static_cast<int64_t>(x) * v.step];
                ++n;
            }
        }
        const int64_t mean = n > 0 ? sum / n : 0;
        if (mean > kZeroBelow && mean < kOneAbove) {
            return std::nullopt;
        }
        bits = (bits << 1) | (mean >= kOneAbove ? 1u : 0u);
    }
    return static_cast<int32_t>(bits);
}

}  // namespace stripe
