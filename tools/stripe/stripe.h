// The position stripe: a frame's tape position written into its picture, so that a capture
// can be checked against the tape. The top 16 rows hold the frame number as 32 blocks across
// the width, most significant bit first, white for 1 and black for 0 (the number is the
// deck's signed 32-bit frame count, two's complement). Grey blocks mean no position: the
// picture is not a clean one of the tape. Only calibration and the tests read it; a capture
// never does, since real tapes have none.
#pragma once

#include <cstdint>
#include <optional>

namespace stripe {

struct LumaView {
    const uint8_t* data;  // the first row's first luma sample
    int stride;           // bytes from one row to the next
    int step;             // bytes from one luma sample to the next: 1 planar, 2 for YUYV
    int width;
    int height;
};

constexpr int kStripeRows = 16;
constexpr int kStripeBits = 32;
constexpr int kStripeMinWidth = 2 * kStripeBits;
constexpr uint8_t kLumaWhite = 235;
constexpr uint8_t kLumaBlack = 16;
constexpr uint8_t kLumaGrey = 128;

// The columns block `bit` (0 = most significant) covers: [first, last).
void StripeBlock(int width, int bit, int* first, int* last);

// Writes the stripe into the top rows of a picture's luma; no position paints it grey.
void DrawStripe(uint8_t* luma, int stride, int step, int width, std::optional<int64_t> frames);

// The position a picture's stripe holds, or nullopt when it holds none (a grey or unclear
// block, or a picture too small for one).
std::optional<int64_t> ReadStripe(const LumaView& view);

}  // namespace stripe
