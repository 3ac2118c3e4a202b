// Draws every panel bitmap and writes them as .bmp files into the folder given on the command
// line. The output is committed under plugin/res/; a test regenerates it and compares bytes, so
// everything here is integer arithmetic and a fixed pseudo-random sequence.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "bmp.h"

namespace {

using artwork::Bitmap;
using artwork::Rgb;

uint32_t Pack(int r, int g, int b) {
    auto clamp = [](int v) { return static_cast<uint32_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
    return (clamp(r) << 16) | (clamp(g) << 8) | clamp(b);
}

uint32_t Shift(uint32_t c, int d) {
    return Pack(static_cast<int>((c >> 16) & 0xFF) + d, static_cast<int>((c >> 8) & 0xFF) + d,
                static_cast<int>(c & 0xFF) + d);
}

// Mixes a into b by weight/16, for edge coverage.
uint32_t Mix(uint32_t a, uint32_t b, int weight) {
    auto ch = [&](int s) {
        const int ca = static_cast<int>((a >> s) & 0xFF);
        const int cb = static_cast<int>((b >> s) & 0xFF);
        return (ca * weight + cb * (16 - weight) + 8) / 16;
    };
    return Pack(ch(16), ch(8), ch(0));
}

struct Canvas {
    int width;
    int height;
    std::vector<uint32_t> px;

    Canvas(int w, int h, uint32_t fill)
        : width(w), height(h), px(static_cast<size_t>(w) * h, fill) {}

    void Set(int x, int y, uint32_t c) {
        if (x >= 0 && y >= 0 && x < width && y < height) {
            px[static_cast<size_t>(y) * width + x] = c;
        }
    }
    uint32_t Get(int x, int y) const { return px[static_cast<size_t>(y) * width + x]; }
    // Half-open rectangle [x0, x1) x [y0, y1).
    void Fill(int x0, int y0, int x1, int y1, uint32_t c) {
        for (int y = y0; y < y1; ++y) {
            for (int x = x0; x < x1; ++x) {
                Set(x, y, c);
            }
        }
    }
    // One-pixel outline of the half-open rectangle: `tl` on the top and left, `br` elsewhere.
    void Bevel(int x0, int y0, int x1, int y1, uint32_t tl, uint32_t br) {
        Fill(x0, y0, x1, y0 + 1, tl);
        Fill(x0, y0, x0 + 1, y1, tl);
        Fill(x0, y1 - 1, x1, y1, br);
        Fill(x1 - 1, y0 + 1, x1, y1, br);
    }
};

// Deterministic on every platform, unlike the standard distributions.
struct Lcg {
    uint32_t state;
    int Next(int range) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 16) % static_cast<uint32_t>(range));
    }
};

// Palette images: the palette lists the colours in order of first appearance, which keeps
// the output stable as long as the drawing is.
bool ToBitmap(const Canvas& canvas, int bitCount, Bitmap* out) {
    out->width = canvas.width;
    out->height = canvas.height;
    out->bitCount = bitCount;
    out->palette.clear();
    out->pixels.clear();
    if (bitCount == 24) {
        out->pixels = canvas.px;
        return true;
    }
    const size_t limit = size_t{1} << bitCount;
    std::map<uint32_t, uint32_t> index;
    for (uint32_t c : canvas.px) {
        auto it = index.find(c);
        if (it == index.end()) {
            if (out->palette.size() == limit) {
                return false;
            }
            it = index.emplace(c, static_cast<uint32_t>(out->palette.size())).first;
            out->palette.push_back(Rgb{static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                                       static_cast<uint8_t>(c)});
        }
        out->pixels.push_back(it->second);
    }
    return true;
}

// The panel's blue-grey, shared by the knob's ground, the lamp's corners and the background.
constexpr uint32_t kGround = 0x6A7888;
constexpr uint32_t kFrame = 0x23272C;
constexpr uint32_t kGlyph = 0x1B1E22;

// ---- Transport buttons, 65 x 26 ----

enum class Glyph { kPlay, kStop, kPause, kFwd, kBack };

constexpr int kButtonW = 65;
constexpr int kButtonH = 26;
constexpr int kGlyphMidY = 12;

// A triangle pointing right whose flat side is column x0, `len` columns long, 13 rows tall,
// ending in a one-pixel tip.
void RightTriangle(Canvas& c, int x0, int len, uint32_t color) {
    const int half = 6;
    for (int i = 0; i < len; ++i) {
        int extent = (len - 1 - i) * half / (len - 1);
        c.Fill(x0 + i, kGlyphMidY - extent, x0 + i + 1, kGlyphMidY + extent + 1, color);
    }
}

void DrawGlyph(Canvas& c, Glyph glyph) {
    switch (glyph) {
        case Glyph::kPlay:
            RightTriangle(c, 26, 13, kGlyph);
            break;
        case Glyph::kStop:
            c.Fill(27, 7, 38, 18, kGlyph);
            break;
        case Glyph::kPause:
            c.Fill(26, 6, 30, 19, kGlyph);
            c.Fill(35, 6, 39, 19, kGlyph);
            break;
        case Glyph::kFwd:
        case Glyph::kBack: {
            // Drawn for wind forward; wind back is its mirror image about the centre column,
            // so both occupy the same place.
            Canvas g(kButtonW, kButtonH, 0);
            RightTriangle(g, 23, 7, 1);
            RightTriangle(g, 31, 7, 1);
            g.Fill(39, 6, 42, 19, 1);
            for (int y = 0; y < kButtonH; ++y) {
                for (int x = 0; x < kButtonW; ++x) {
                    int sx = glyph == Glyph::kFwd ? x : kButtonW - 1 - x;
                    if (g.Get(sx, y)) {
                        c.Set(x, y, kGlyph);
                    }
                }
            }
            break;
        }
    }
}

// Pressed looks only lighten the face and swap the bevel; frame and glyph stay put so the
// host can swap the images without anything jumping.
Canvas TransportButton(Glyph glyph, bool pressed) {
    Canvas c(kButtonW, kButtonH, kFrame);
    const int lift = pressed ? 34 : 0;
    for (int y = 2; y < kButtonH - 2; ++y) {
        // Top-lit brushed face: a gentle vertical gradient.
        c.Fill(2, y, kButtonW - 2, y + 1, Shift(0xC6CBD2, lift - (y - 2) * 2));
    }
    const uint32_t light = Shift(0xE8ECF0, lift / 2);
    const uint32_t dark = 0x5C636C;
    c.Bevel(1, 1, kButtonW - 1, kButtonH - 1, pressed ? dark : light, pressed ? light : dark);
    DrawGlyph(c, glyph);
    return c;
}

// ---- Shuttle knob, 100 x 100 ----

// Integer square root, floor.
int ISqrt(int v) {
    int r = 0;
    while ((r + 1) * (r + 1) <= v) {
        ++r;
    }
    return r;
}

Canvas ShuttleKnob() {
    Canvas c(100, 100, kGround);
    Lcg rng{5500};
    for (int y = 0; y < 100; ++y) {
        c.Fill(0, y, 100, y + 1, Shift(kGround, rng.Next(5) - 2));
    }
    // Coordinates in quarter pixels; the centre sits between pixels 49 and 50.
    const int cx = 200, cy = 200;
    const int rOuter = 184, rRim = 172, rDish = 120;
    for (int y = 0; y < 100; ++y) {
        for (int x = 0; x < 100; ++x) {
            // 4 x 4 samples for a smooth outer edge.
            int inside = 0;
            for (int sy = 0; sy < 4; ++sy) {
                for (int sx = 0; sx < 4; ++sx) {
                    int dx = x * 4 + sx - cx + 0, dy = y * 4 + sy - cy + 0;
                    inside += dx * dx + dy * dy <= rOuter * rOuter;
                }
            }
            if (inside == 0) {
                continue;
            }
            const int dx = x * 4 + 2 - cx, dy = y * 4 + 2 - cy;
            const int d = ISqrt(dx * dx + dy * dy);
            // Light from the upper left: positive when the pixel faces it.
            const int facing = -(dx + dy) * 16 / rOuter;
            int grey;
            if (d > rRim) {
                grey = 88 + facing * 2;  // dark rim
            } else if (d > rDish) {
                grey = 168 + facing * 3;  // convex body
            } else {
                grey = 150 - facing * 2;  // concave dish, lit from the opposite side
            }
            grey = grey / 4 * 4;
            const uint32_t color = Pack(grey, grey, grey + 4);
            c.Set(x, y, inside == 16 ? color : Mix(color, c.Get(x, y), inside));
        }
    }
    // The finger dimple near the top of the dish.
    for (int y = 20; y < 36; ++y) {
        for (int x = 42; x < 58; ++x) {
            const int dx = x * 4 + 2 - cx, dy = y * 4 + 2 - 112;
            const int d2 = dx * dx + dy * dy;
            if (d2 <= 28 * 28) {
                const int grey = (112 + (dx + dy) * 24 / 28) / 4 * 4;
                c.Set(x, y, Pack(grey, grey, grey + 4));
            }
        }
    }
    return c;
}

// ---- Small frame buttons, 11 x 11 ----

enum class Mark { kClose, kSerial };

Canvas SmallButton(Mark mark, bool pressed) {
    Canvas c(11, 11, 0x2A2E33);
    c.Fill(1, 1, 10, 10, pressed ? 0xD2D7DD : 0xA9B0B9);
    const uint32_t light = pressed ? 0xF0F3F6 : 0xDDE2E8;
    c.Bevel(1, 1, 10, 10, pressed ? 0x6A717A : light, pressed ? light : 0x6A717A);
    if (mark == Mark::kClose) {
        for (int i = 3; i <= 7; ++i) {
            c.Set(i, i, kGlyph);
            c.Set(10 - i, i, kGlyph);
        }
    } else {
        // A plug: two pins above a body, the cable below.
        c.Set(4, 3, kGlyph);
        c.Set(6, 3, kGlyph);
        c.Fill(3, 4, 8, 7, kGlyph);
        c.Fill(5, 7, 6, 9, kGlyph);
    }
    return c;
}

// ---- Indicator lamp, 7 x 7 ----

Canvas Lamp(bool pressed) {
    Canvas c(7, 7, kGround);
    const uint32_t body = pressed ? 0x8C1212 : 0xE02424;
    const uint32_t rim = pressed ? 0x520808 : 0x981010;
    const uint32_t glint = pressed ? 0xB04646 : 0xFF9A9A;
    for (int y = 0; y < 7; ++y) {
        for (int x = 0; x < 7; ++x) {
            const int d2 = (x - 3) * (x - 3) + (y - 3) * (y - 3);
            if (d2 <= 10) {
                c.Set(x, y, d2 >= 5 ? rim : body);
            }
        }
    }
    c.Set(2, 2, glint);
    return c;
}

// ---- Deck icon ----

// "VTR" in a 3 x 7 pixel font.
const char* const kLetters[3][7] = {
    {"#.#", "#.#", "#.#", "#.#", "#.#", ".#.", ".#."},
    {"###", ".#.", ".#.", ".#.", ".#.", ".#.", ".#."},
    {"##.", "#.#", "#.#", "##.", "#.#", "#.#", "#.#"},
};

Canvas Icon(int size) {
    const int scale = size / 16;
    Canvas c(size, size, 0x780A0A);
    c.Fill(1, 1, size - 1, size - 1, 0xC81E1E);
    const int gap = 2 * scale + (scale > 1 ? 1 : 0);
    const int textW = 3 * 3 * scale + 2 * gap;
    const int x0 = (size - textW + 1) / 2;
    const int y0 = (size - 7 * scale) / 2;
    for (int l = 0; l < 3; ++l) {
        for (int row = 0; row < 7; ++row) {
            for (int col = 0; col < 3; ++col) {
                if (kLetters[l][row][col] == '#') {
                    const int x = x0 + l * (3 * scale + gap) + col * scale;
                    c.Fill(x, y0 + row * scale, x + scale, y0 + (row + 1) * scale, 0xFFFFFF);
                }
            }
        }
    }
    return c;
}

// ---- Panel background, 610 x 106 ----

Canvas PanelBackground() {
    const int w = 610, h = 106;
    Canvas c(w, h, kGround);
    // Brushed metal: a streak level per row plus noise smeared along the row.
    Lcg rng{15001};
    for (int y = 0; y < h; ++y) {
        const int streak = rng.Next(9) - 4;
        int smear = 0;
        for (int x = 0; x < w; ++x) {
            smear = (smear * 3 + (rng.Next(13) - 6) * 4) / 4;
            c.Set(x, y, Shift(kGround, streak + smear / 4));
        }
    }
    c.Bevel(0, 0, w, h, 0x9AA6B4, 0x3C4450);

    // Tab strip: the first tab is the open one and joins the strip's base line.
    const int tabTop = 4, tabBottom = 22;
    c.Fill(1, tabBottom, w - 1, tabBottom + 1, 0x9AA6B4);
    for (int t = 0; t < 3; ++t) {
        const int x0 = 10 + t * 96, x1 = x0 + 92;
        const bool open = t == 0;
        const uint32_t face = open ? 0x8794A4 : 0x5E6B7A;
        for (int y = tabTop; y < tabBottom + (open ? 1 : 0); ++y) {
            // Slanted sides, two rows per pixel of slant.
            const int inset = (y - tabTop < 6) ? (6 - (y - tabTop)) / 2 : 0;
            c.Fill(x0 + inset, y, x1 - inset, y + 1, face);
        }
        c.Fill(x0 + 3, tabTop, x1 - 3, tabTop + 1, 0xB4BECA);
        for (int y = tabTop; y < tabBottom; ++y) {
            const int inset = (y - tabTop < 6) ? (6 - (y - tabTop)) / 2 : 0;
            c.Set(x0 + inset, y, 0xB4BECA);
            c.Set(x1 - 1 - inset, y, 0x3C4450);
        }
    }

    // Display fields: four in a row and a fifth set apart, sunk into the panel.
    auto field = [&](int x0, int width) {
        const int y0 = 34, y1 = 58;
        c.Fill(x0, y0, x0 + width, y1, 0x121A22);
        c.Bevel(x0 - 1, y0 - 1, x0 + width + 1, y1 + 1, 0x3C4450, 0xA4B0BE);
        c.Fill(x0 + 1, y0 + 1, x0 + width - 1, y0 + 2, 0x1C2630);
    };
    for (int i = 0; i < 4; ++i) {
        field(12 + i * 118, 110);
    }
    field(500, 84);

    // The arrow at the right edge.
    for (int i = 0; i < 6; ++i) {
        c.Fill(597 + i, 40 + i, 598 + i, 52 - i, 0xE0E6EC);
    }

    // Groove separating the display area from the control area below.
    c.Fill(8, 70, w - 8, 71, 0x3C4450);
    c.Fill(8, 71, w - 8, 72, 0x9AA6B4);
    return c;
}

struct Asset {
    std::string name;
    int bitCount;
    Canvas canvas;
};

std::vector<Asset> DrawAll() {
    std::vector<Asset> assets;
    const struct {
        const char* stem;
        Glyph glyph;
    } transports[] = {{"PLAY", Glyph::kPlay},
                      {"STOP", Glyph::kStop},
                      {"PAUSE", Glyph::kPause},
                      {"FWD", Glyph::kFwd},
                      {"BACK", Glyph::kBack}};
    for (const auto& t : transports) {
        for (bool pressed : {false, true}) {
            assets.push_back({std::string("IDB_VTRINF_") + t.stem + (pressed ? "D" : "U"), 8,
                              TransportButton(t.glyph, pressed)});
        }
    }
    assets.push_back({"IDB_SHUTTLE_BACK", 8, ShuttleKnob()});
    for (bool pressed : {false, true}) {
        const char* suffix = pressed ? "D" : "U";
        assets.push_back(
            {std::string("IDB_BTN_CLOSE") + suffix, 24, SmallButton(Mark::kClose, pressed)});
        assets.push_back(
            {std::string("IDB_BTN_SERIAL") + suffix, 24, SmallButton(Mark::kSerial, pressed)});
        assets.push_back({std::string("IDB_BUTTON_") + suffix, 8, Lamp(pressed)});
    }
    assets.push_back({"1000", 4, Icon(32)});
    assets.push_back({"1001", 4, Icon(16)});
    assets.push_back({"15001", 24, PanelBackground()});
    return assets;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    for (const Asset& asset : DrawAll()) {
        Bitmap bitmap;
        std::string error;
        if (!ToBitmap(asset.canvas, asset.bitCount, &bitmap)) {
            std::fprintf(stderr, "%s: more colours than a %d-bit palette holds\n",
                         asset.name.c_str(), asset.bitCount);
            return 1;
        }
        const std::string path = dir + "/" + asset.name + ".bmp";
        if (!artwork::WriteBmpFile(path, bitmap, &error)) {
            std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
            return 1;
        }
    }
    return 0;
}
