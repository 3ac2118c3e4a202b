#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bmp.h"
#include "panel_art.h"
#include "tests/support/panel_bitmaps.h"

namespace {

using Asset = testing_support::PanelBitmapSpec;
using testing_support::kPanelBitmaps;

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Committed(const std::string& stem) {
    return ReadFile(std::string(ARTWORK_RES_DIR) + "/" + stem + ".bmp");
}

artwork::Bitmap Decoded(const std::string& stem) {
    const std::vector<uint8_t> bytes = Committed(stem);
    artwork::Bitmap bm;
    std::string error;
    EXPECT_TRUE(artwork::DecodeBmp(bytes.data(), bytes.size(), &bm, &error))
        << stem << ": " << error;
    return bm;
}

uint32_t U16(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return U16(b, at) | (U16(b, at + 2) << 16);
}

// Read straight from the bytes so a fault shared by our writer and reader cannot hide here.
TEST(ArtworkPanelBitmaps, HeadersMatchTheTable) {
    for (const Asset& a : kPanelBitmaps) {
        SCOPED_TRACE(a.stem);
        const std::vector<uint8_t> b = Committed(a.stem);
        ASSERT_GE(b.size(), 54u);
        EXPECT_EQ(b[0], 'B');
        EXPECT_EQ(b[1], 'M');
        EXPECT_EQ(U32(b, 2), b.size());
        EXPECT_EQ(U32(b, 14), 40u);  // BITMAPINFOHEADER
        EXPECT_EQ(static_cast<int32_t>(U32(b, 18)), a.width);
        EXPECT_EQ(static_cast<int32_t>(U32(b, 22)), a.height);  // positive: bottom-up
        EXPECT_EQ(U16(b, 26), 1u);
        EXPECT_EQ(U16(b, 28), static_cast<uint32_t>(a.bits));
        EXPECT_EQ(U32(b, 30), 0u);  // BI_RGB
        const uint32_t clrUsed = U32(b, 46);
        const uint32_t paletteEntries = a.bits == 24 ? 0 : (clrUsed != 0 ? clrUsed : 1u << a.bits);
        if (a.bits == 24) {
            EXPECT_EQ(clrUsed, 0u);
        } else {
            EXPECT_LE(clrUsed, 1u << a.bits);
        }
        const uint32_t stride = (a.width * a.bits + 31) / 32 * 4;
        EXPECT_EQ(U32(b, 10), 54 + paletteEntries * 4);
        EXPECT_EQ(b.size(), 54 + paletteEntries * 4 + stride * a.height);
    }
}

TEST(PanelArt, LookupGivesTheCommittedBytes) {
    for (const Asset& a : kPanelBitmaps) {
        SCOPED_TRACE(a.stem);
        const std::vector<uint8_t> file = Committed(a.stem);
        unsigned size = 0;
        const void* data = LookupPanelBitmap(testing_support::ResourceKey(a.stem).c_str(), &size);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(size, file.size());
        EXPECT_EQ(std::memcmp(data, file.data(), size), 0);
    }
    size_t count = 0;
    const PanelBitmapEntry* entries = PanelBitmaps(&count);
    ASSERT_EQ(count, std::size(kPanelBitmaps));
    for (size_t i = 0; i < count; ++i) {
        const std::string key = entries[i].name;
        EXPECT_EQ(LookupPanelBitmap(key.c_str(), nullptr), entries[i].data) << key;
        EXPECT_EQ(entries[i].id, key[0] == '#' ? std::stoul(key.substr(1)) : 0u) << key;
    }

    // Resource names ignore case and numbers their leading zeros, as on Windows.
    unsigned size = 0;
    EXPECT_EQ(LookupPanelBitmap("idb_vtrinf_playu", &size),
              LookupPanelBitmap("IDB_VTRINF_PLAYU", nullptr));
    EXPECT_EQ(LookupPanelBitmap("#01000", &size), LookupPanelBitmap("#1000", nullptr));
    EXPECT_EQ(size, Committed("1000").size());
}

TEST(PanelArt, UnknownNamesGiveNullAndSizeZero) {
    const char* const names[] = {nullptr,
                                 "",
                                 "#",
                                 "#0",
                                 "#999",
                                 "#1000x",
                                 "#15001 ",
                                 "1000",
                                 "# 1000",
                                 "#-1000",
                                 "#000001000",
                                 "#4294968296",
                                 "IDB_VTRINF_PLAY",
                                 "IDB_VTRINF_PLAYUX",
                                 "IDB_BUTTON_"};
    for (const char* name : names) {
        SCOPED_TRACE(name ? name : "(null)");
        unsigned size = 1234;
        EXPECT_EQ(LookupPanelBitmap(name, &size), nullptr);
        EXPECT_EQ(size, 0u);
    }
    EXPECT_EQ(LookupPanelBitmap("#1234", nullptr), nullptr);
}

int Luma(artwork::Rgb c) {
    return (c.r * 299 + c.g * 587 + c.b * 114) / 1000;
}

// Dark pixels: the frame and the glyph.
std::vector<bool> DarkMask(const artwork::Bitmap& bm) {
    std::vector<bool> mask;
    for (int y = 0; y < bm.height; ++y) {
        for (int x = 0; x < bm.width; ++x) {
            mask.push_back(Luma(bm.ColorAt(x, y)) < 64);
        }
    }
    return mask;
}

int MeanFaceLuma(const artwork::Bitmap& bm, const std::vector<bool>& dark) {
    long sum = 0, n = 0;
    for (int y = 2; y < bm.height - 2; ++y) {
        for (int x = 2; x < bm.width - 2; ++x) {
            if (!dark[y * bm.width + x]) {
                sum += Luma(bm.ColorAt(x, y));
                ++n;
            }
        }
    }
    return n ? static_cast<int>(sum / n) : 0;
}

// The glyph's pieces from left to right, away from the frame: 'R' or 'L' for a triangle
// pointing right or left, 'B' for a solid block.
std::string GlyphShapes(const artwork::Bitmap& bm, const std::vector<bool>& dark) {
    std::vector<int> heights;
    for (int x = 3; x < bm.width - 3; ++x) {
        int h = 0;
        for (int y = 3; y < bm.height - 3; ++y) {
            h += dark[y * bm.width + x];
        }
        heights.push_back(h);
    }
    std::string shapes;
    for (size_t i = 0; i < heights.size();) {
        if (heights[i] == 0) {
            ++i;
            continue;
        }
        size_t j = i;
        while (j < heights.size() && heights[j] != 0) {
            ++j;
        }
        const int first = heights[i], last = heights[j - 1];
        bool flat = true;
        for (size_t k = i; k < j; ++k) {
            flat = flat && heights[k] == first;
        }
        shapes += flat ? 'B' : first > last ? 'R' : 'L';
        i = j;
    }
    return shapes;
}

TEST(ArtworkPanelBitmaps, PressedLooksAreLighterWithGlyphAndFrameInPlace) {
    const struct {
        const char *up, *down, *shapes;  // shapes empty: too small to read
    } cases[] = {
        {"IDB_VTRINF_PLAYU", "IDB_VTRINF_PLAYD", "R"},
        {"IDB_VTRINF_STOPU", "IDB_VTRINF_STOPD", "B"},
        {"IDB_VTRINF_PAUSEU", "IDB_VTRINF_PAUSED", "BB"},
        {"IDB_VTRINF_FWDU", "IDB_VTRINF_FWDD", "RRB"},
        {"IDB_VTRINF_BACKU", "IDB_VTRINF_BACKD", "BLL"},
        {"IDB_BTN_CLOSEU", "IDB_BTN_CLOSED", ""},
        {"IDB_BTN_SERIALU", "IDB_BTN_SERIALD", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.up);
        const artwork::Bitmap up = Decoded(c.up), down = Decoded(c.down);
        ASSERT_EQ(up.width, down.width);
        const std::vector<bool> upDark = DarkMask(up), downDark = DarkMask(down);
        EXPECT_EQ(upDark, downDark);
        EXPECT_GT(MeanFaceLuma(down, downDark), MeanFaceLuma(up, upDark) + 15);
        if (*c.shapes) {
            EXPECT_EQ(GlyphShapes(up, upDark), c.shapes);
        }
    }
}

enum class Tone { kRed, kGrey, kBlueGrey, kDark, kWhite };

bool HasTone(artwork::Rgb c, Tone tone) {
    switch (tone) {
        case Tone::kRed:
            return c.r > 100 && c.r > 2 * c.g && c.r > 2 * c.b;
        case Tone::kGrey:
            return Luma(c) > 90 && std::abs(c.r - c.g) < 10 && std::abs(c.g - c.b) < 10;
        case Tone::kBlueGrey:
            return c.b > c.r + 20 && Luma(c) > 70 && Luma(c) < 160;
        case Tone::kDark:
            return Luma(c) < 40;
        case Tone::kWhite:
            return Luma(c) > 220;
    }
    return false;
}

TEST(ArtworkPanelBitmaps, ShowWhatEachImageIsFor) {
    const struct {
        const char* name;
        int x, y;
        Tone tone;
    } cases[] = {
        {"IDB_SHUTTLE_BACK", 0, 0, Tone::kBlueGrey},
        {"IDB_SHUTTLE_BACK", 99, 99, Tone::kBlueGrey},
        {"IDB_SHUTTLE_BACK", 50, 50, Tone::kGrey},
        {"IDB_SHUTTLE_BACK", 20, 50, Tone::kGrey},
        {"IDB_BUTTON_U", 3, 3, Tone::kRed},
        {"IDB_BUTTON_D", 3, 3, Tone::kRed},
        {"1000", 2, 2, Tone::kRed},
        {"1001", 1, 14, Tone::kRed},
        {"15001", 300, 90, Tone::kBlueGrey},
        {"15001", 60, 46, Tone::kDark},
        {"15001", 540, 46, Tone::kDark},
        {"15001", 599, 46, Tone::kWhite},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.name << " at " << c.x << "," << c.y);
        const artwork::Bitmap bm = Decoded(c.name);
        ASSERT_LT(c.x, bm.width);
        ASSERT_LT(c.y, bm.height);
        EXPECT_TRUE(HasTone(bm.ColorAt(c.x, c.y), c.tone));
    }
    EXPECT_LT(Luma(Decoded("IDB_BUTTON_D").ColorAt(3, 3)),
              Luma(Decoded("IDB_BUTTON_U").ColorAt(3, 3)));
    for (const char* icon : {"1000", "1001"}) {
        const artwork::Bitmap bm = Decoded(icon);
        int white = 0;
        for (int y = 0; y < bm.height; ++y) {
            for (int x = 0; x < bm.width; ++x) {
                white += HasTone(bm.ColorAt(x, y), Tone::kWhite);
            }
        }
        EXPECT_GT(white, bm.width * bm.height / 10) << icon << ": the letters";
    }
}

TEST(ArtworkPanelBitmaps, GeneratorReproducesTheCommittedFiles) {
    char pattern[] = "/tmp/artgen-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string command = std::string("\"") + ARTGEN_PATH + "\" \"" + dir + "\"";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    size_t written = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        (void)entry;
        ++written;
    }
    EXPECT_EQ(written, std::size(kPanelBitmaps));
    for (const Asset& a : kPanelBitmaps) {
        const std::vector<uint8_t> fresh = ReadFile(dir + "/" + a.stem + ".bmp");
        EXPECT_FALSE(fresh.empty()) << a.stem;
        EXPECT_TRUE(fresh == Committed(a.stem)) << a.stem << " differs from artgen's output";
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
