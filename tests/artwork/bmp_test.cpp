#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "bmp.h"

namespace {

using artwork::Bitmap;
using artwork::DecodeBmp;
using artwork::EncodeBmp;

Bitmap Sample(int width, int height, int bitCount) {
    Bitmap bm;
    bm.width = width;
    bm.height = height;
    bm.bitCount = bitCount;
    const uint32_t colors = bitCount == 24 ? 0 : 1u << bitCount;
    for (uint32_t i = 0; i < colors; ++i) {
        bm.palette.push_back({static_cast<uint8_t>(i * 7), static_cast<uint8_t>(i * 3),
                              static_cast<uint8_t>(255 - i)});
    }
    for (int i = 0; i < width * height; ++i) {
        bm.pixels.push_back(bitCount == 24 ? (0x123456u * (i + 1)) & 0xFFFFFF
                                           : (i * 5 + 1) % colors);
    }
    return bm;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Odd widths exercise the row padding and the partly filled last byte of packed rows.
TEST(Bmp, RoundTripsEveryDepthWithPaddedRows) {
    const struct {
        int width, height, bitCount;
        size_t fileSize;
    } cases[] = {
        {3, 2, 1, 14 + 40 + 8 + 4 * 2},
        {5, 3, 4, 14 + 40 + 64 + 4 * 3},
        {65, 2, 8, 14 + 40 + 1024 + 68 * 2},
        {11, 2, 24, 14 + 40 + 36 * 2},
        {1, 1, 24, 14 + 40 + 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << "x" << c.bitCount);
        const Bitmap in = Sample(c.width, c.height, c.bitCount);
        const std::vector<uint8_t> bytes = EncodeBmp(in);
        ASSERT_EQ(bytes.size(), c.fileSize);
        Bitmap out;
        std::string error;
        ASSERT_TRUE(DecodeBmp(bytes.data(), bytes.size(), &out, &error)) << error;
        EXPECT_EQ(out.width, in.width);
        EXPECT_EQ(out.height, in.height);
        EXPECT_EQ(out.bitCount, in.bitCount);
        EXPECT_EQ(out.palette, in.palette);
        EXPECT_EQ(out.pixels, in.pixels);
    }
}

TEST(Bmp, StoresPaletteEntriesBlueGreenRed) {
    Bitmap bm = Sample(1, 1, 8);
    bm.palette = {{0xFF, 0x80, 0x01}};
    bm.pixels = {0};
    const std::vector<uint8_t> bytes = EncodeBmp(bm);
    ASSERT_EQ(bytes.size(), 54u + 1024 + 4);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 54, bytes.begin() + 58),
              (std::vector<uint8_t>{0x01, 0x80, 0xFF, 0}));
}

TEST(Bmp, StoresRowsBottomUpAndReadsTopDownToo) {
    Bitmap bm = Sample(1, 2, 24);
    bm.pixels = {0xFF0000, 0x0000FF};  // red above blue
    std::vector<uint8_t> bytes = EncodeBmp(bm);
    ASSERT_EQ(bytes.size(), 62u);
    // Bottom row first, each pixel blue-green-red.
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 54, bytes.begin() + 57),
              (std::vector<uint8_t>{0xFF, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 58, bytes.begin() + 61),
              (std::vector<uint8_t>{0, 0, 0xFF}));

    Put32(bytes, 22, static_cast<uint32_t>(-2));
    Bitmap out;
    ASSERT_TRUE(DecodeBmp(bytes.data(), bytes.size(), &out, nullptr));
    EXPECT_EQ(out.pixels, (std::vector<uint32_t>{0x0000FF, 0xFF0000}));
}

TEST(Bmp, RejectsDamagedFiles) {
    const std::vector<uint8_t> good = EncodeBmp(Sample(5, 3, 4));
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> damage;
    } cases[] = {
        {"truncated pixels", [](auto& b) { b.pop_back(); }},
        {"truncated header", [](auto& b) { b.resize(40); }},
        {"signature", [](auto& b) { b[0] = 'X'; }},
        {"compressed", [](auto& b) { Put32(b, 30, 2); }},
        {"16-bit", [](auto& b) { b[28] = 16; }},
        {"zero width", [](auto& b) { Put32(b, 18, 0); }},
        {"huge width", [](auto& b) { Put32(b, 18, 0x7FFFFFFF); }},
        {"pixels past the end", [](auto& b) { Put32(b, 10, 0xFFFFFFF0); }},
        {"palette over the depth", [](auto& b) { Put32(b, 46, 17); }},
        {"index outside a short palette", [](auto& b) { Put32(b, 46, 1); }},
        {"header size past the end", [](auto& b) { Put32(b, 14, 0x10000); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> bytes = good;
        c.damage(bytes);
        Bitmap out;
        std::string error;
        EXPECT_FALSE(DecodeBmp(bytes.data(), bytes.size(), &out, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_FALSE(DecodeBmp(nullptr, 0, nullptr, nullptr));
}

}  // namespace
