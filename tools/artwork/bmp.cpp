#include "bmp.h"

#include <fstream>
#include <iterator>

namespace artwork {
namespace {

constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kBiRgb = 0;
// Far above anything the panel uses; keeps a corrupt header from asking for gigabytes.
constexpr int64_t kMaxDimension = 1 << 15;

bool Fail(std::string* error, const char* message) {
    if (error) {
        *error = message;
    }
    return false;
}

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

uint32_t Get16(const uint8_t* p) {
    return p[0] | (p[1] << 8);
}
uint32_t Get32(const uint8_t* p) {
    return Get16(p) | (Get16(p + 2) << 16);
}

bool IsPaletteDepth(int bitCount) {
    return bitCount == 1 || bitCount == 4 || bitCount == 8;
}

size_t RowStride(int width, int bitCount) {
    return ((static_cast<size_t>(width) * bitCount + 31) / 32) * 4;
}

}  // namespace

Rgb Bitmap::ColorAt(int x, int y) const {
    uint32_t v = At(x, y);
    if (IsPaletteDepth(bitCount)) {
        return v < palette.size() ? palette[v] : Rgb{};
    }
    return Rgb{static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
               static_cast<uint8_t>(v)};
}

std::vector<uint8_t> EncodeBmp(const Bitmap& bm) {
    const bool indexed = IsPaletteDepth(bm.bitCount);
    if ((!indexed && bm.bitCount != 24) || bm.width <= 0 || bm.height <= 0 ||
        bm.width > kMaxDimension || bm.height > kMaxDimension ||
        bm.pixels.size() != static_cast<size_t>(bm.width) * bm.height) {
        return {};
    }
    const uint32_t colors = indexed ? 1u << bm.bitCount : 0;
    if (indexed && (bm.palette.empty() || bm.palette.size() > colors)) {
        return {};
    }
    for (uint32_t v : bm.pixels) {
        if (indexed ? v >= bm.palette.size() : v > 0xFFFFFF) {
            return {};
        }
    }

    const size_t stride = RowStride(bm.width, bm.bitCount);
    const uint32_t imageSize = static_cast<uint32_t>(stride * bm.height);
    const uint32_t offBits = kFileHeaderSize + kInfoHeaderSize + colors * 4;

    std::vector<uint8_t> out;
    out.reserve(offBits + imageSize);
    out.push_back('B');
    out.push_back('M');
    Put32(out, offBits + imageSize);
    Put32(out, 0);
    Put32(out, offBits);

    Put32(out, kInfoHeaderSize);
    Put32(out, static_cast<uint32_t>(bm.width));
    Put32(out, static_cast<uint32_t>(bm.height));  // positive: bottom-up
    Put16(out, 1);
    Put16(out, static_cast<uint32_t>(bm.bitCount));
    Put32(out, kBiRgb);
    Put32(out, imageSize);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 0);  // colours used: 0 means the full table that follows
    Put32(out, 0);

    // Unused palette slots are written black so the table always has its full length.
    for (uint32_t i = 0; i < colors; ++i) {
        Rgb c = i < bm.palette.size() ? bm.palette[i] : Rgb{};
        out.push_back(c.b);
        out.push_back(c.g);
        out.push_back(c.r);
        out.push_back(0);
    }

    for (int y = bm.height - 1; y >= 0; --y) {
        const size_t rowStart = out.size();
        if (indexed) {
            const int perByte = 8 / bm.bitCount;
            for (int x = 0; x < bm.width; x += perByte) {
                uint8_t byte = 0;
                for (int k = 0; k < perByte; ++k) {
                    uint32_t v = x + k < bm.width ? bm.At(x + k, y) : 0;
                    byte = static_cast<uint8_t>(byte | (v << (8 - bm.bitCount * (k + 1))));
                }
                out.push_back(byte);
            }
        } else {
            for (int x = 0; x < bm.width; ++x) {
                uint32_t v = bm.At(x, y);
                out.push_back(static_cast<uint8_t>(v));
                out.push_back(static_cast<uint8_t>(v >> 8));
                out.push_back(static_cast<uint8_t>(v >> 16));
            }
        }
        out.resize(rowStart + stride, 0);
    }
    return out;
}

bool DecodeBmp(const uint8_t* data, size_t size, Bitmap* out, std::string* error) {
    if (data == nullptr || size < kFileHeaderSize + kInfoHeaderSize) {
        return Fail(error, "too short for the headers");
    }
    if (data[0] != 'B' || data[1] != 'M') {
        return Fail(error, "no BM signature");
    }
    const uint32_t offBits = Get32(data + 10);
    const uint8_t* info = data + kFileHeaderSize;
    const uint32_t headerSize = Get32(info);
    if (headerSize < kInfoHeaderSize || headerSize > size - kFileHeaderSize) {
        return Fail(error, "unsupported info header");
    }
    const int64_t width = static_cast<int32_t>(Get32(info + 4));
    const int64_t rawHeight = static_cast<int32_t>(Get32(info + 8));
    const int bitCount = static_cast<int>(Get16(info + 14));
    const uint32_t compression = Get32(info + 16);
    const uint32_t clrUsed = Get32(info + 32);
    const bool bottomUp = rawHeight > 0;
    const int64_t height = bottomUp ? rawHeight : -rawHeight;

    if (Get16(info + 12) != 1 || compression != kBiRgb) {
        return Fail(error, "compressed or multi-plane bitmap");
    }
    if (!IsPaletteDepth(bitCount) && bitCount != 24) {
        return Fail(error, "unsupported colour depth");
    }
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension) {
        return Fail(error, "bad dimensions");
    }

    Bitmap bm;
    bm.width = static_cast<int>(width);
    bm.height = static_cast<int>(height);
    bm.bitCount = bitCount;
    if (IsPaletteDepth(bitCount)) {
        const uint32_t maxColors = 1u << bitCount;
        const uint32_t colors = clrUsed == 0 ? maxColors : clrUsed;
        if (colors > maxColors) {
            return Fail(error, "palette larger than the depth allows");
        }
        const size_t paletteAt = kFileHeaderSize + headerSize;
        const size_t paletteEnd = paletteAt + static_cast<size_t>(colors) * 4;
        if (paletteEnd > size || paletteEnd > offBits) {
            return Fail(error, "palette runs past the pixels");
        }
        for (uint32_t i = 0; i < colors; ++i) {
            const uint8_t* p = data + paletteAt + static_cast<size_t>(i) * 4;
            bm.palette.push_back(Rgb{p[2], p[1], p[0]});
        }
    }

    const size_t stride = RowStride(bm.width, bitCount);
    if (offBits < kFileHeaderSize + headerSize || offBits > size ||
        stride * bm.height > size - offBits) {
        return Fail(error, "pixel data runs past the end");
    }

    bm.pixels.resize(static_cast<size_t>(bm.width) * bm.height);
    for (int row = 0; row < bm.height; ++row) {
        const uint8_t* src = data + offBits + stride * row;
        const int y = bottomUp ? bm.height - 1 - row : row;
        for (int x = 0; x < bm.width; ++x) {
            uint32_t v;
            if (bitCount == 24) {
                const uint8_t* p = src + static_cast<size_t>(x) * 3;
                v = (p[2] << 16) | (p[1] << 8) | p[0];
            } else {
                const int bitPos = x * bitCount;
                v = (src[bitPos / 8] >> (8 - bitCount - bitPos % 8)) & ((1u << bitCount) - 1);
                if (v >= bm.palette.size()) {
                    return Fail(error, "pixel index outside the palette");
                }
            }
            bm.At(x, y) = v;
        }
    }
    *out = std::move(bm);
    return true;
}

bool WriteBmpFile(const std::string& path, const Bitmap& bitmap, std::string* error) {
    const std::vector<uint8_t> bytes = EncodeBmp(bitmap);
    if (bytes.empty()) {
        return Fail(error, "bitmap cannot be encoded");
    }
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
        return Fail(error, "cannot write the file");
    }
    return true;
}

bool ReadBmpFile(const std::string& path, Bitmap* out, std::string* error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Fail(error, "cannot open the file");
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    return DecodeBmp(bytes.data(), bytes.size(), out, error);
}

}  // namespace artwork
