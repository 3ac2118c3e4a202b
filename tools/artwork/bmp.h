// Reading and writing the uncompressed Windows bitmaps the panel artwork is made of.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace artwork {

struct Rgb {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    bool operator==(const Rgb& o) const { return r == o.r && g == o.g && b == o.b; }
    bool operator!=(const Rgb& o) const { return !(*this == o); }
};

// An image in memory, rows top-down. Palette images (bit count 1, 4 or 8) hold palette indices
// in `pixels`; 24-bit images hold 0xRRGGBB.
struct Bitmap {
    int width = 0;
    int height = 0;
    int bitCount = 24;
    std::vector<Rgb> palette;
    std::vector<uint32_t> pixels;

    uint32_t& At(int x, int y) { return pixels[static_cast<size_t>(y) * width + x]; }
    uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
    // The colour shown at (x, y), whatever the depth.
    Rgb ColorAt(int x, int y) const;
};

// File layout: a BITMAPFILEHEADER, a BITMAPINFOHEADER (BI_RGB, positive height, so rows are
// stored bottom-up), a palette of 2^bitCount entries for palette images, rows padded to 4 bytes.
// Returns an empty vector when the bitmap is inconsistent (wrong pixel count, index outside
// the palette, unsupported depth).
std::vector<uint8_t> EncodeBmp(const Bitmap& bitmap);

// Accepts uncompressed 1, 4, 8 and 24-bit bitmaps with a BITMAPINFOHEADER or a larger header,
// bottom-up or top-down. Every offset and size is checked against `size`.
bool DecodeBmp(const uint8_t* data, size_t size, Bitmap* out, std::string* error);

bool WriteBmpFile(const std::string& path, const Bitmap& bitmap, std::string* error);
bool ReadBmpFile(const std::string& path, Bitmap* out, std::string* error);

}  // namespace artwork
