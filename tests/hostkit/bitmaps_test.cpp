#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/panel_bitmaps.h"
#include "tools/artwork/bmp.h"
#include "tools/hostkit/bitmaps.h"
#include "tools/hostkit/module.h"

namespace hostkit {
namespace {

namespace fs = std::filesystem;
using testing_support::kPanelBitmaps;
using testing_support::ResourceKey;

std::vector<uint8_t> ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<uint8_t> Lookup(FindPanelBitmapFn find, const std::string& key) {
    unsigned size = 0;
    const auto* data = static_cast<const uint8_t*>(find(key.c_str(), &size));
    return data == nullptr ? std::vector<uint8_t>{} : std::vector<uint8_t>(data, data + size);
}

artwork::Bitmap Decode(const std::vector<uint8_t>& bytes) {
    artwork::Bitmap bm;
    std::string error;
    EXPECT_TRUE(artwork::DecodeBmp(bytes.data(), bytes.size(), &bm, &error)) << error;
    return bm;
}

int CountLines(const std::string& text) {
    int n = 0;
    for (char c : text) {
        n += c == '\n';
    }
    return n;
}

// A lookup that answers like the real one except for the name under test; the fault tests
// set these before handing FakeFind to the writer.
FindPanelBitmapFn g_realFind = nullptr;
std::string g_fakeName;
std::vector<uint8_t> g_fakeBytes;
bool g_fakeMissing = false;

const void* FakeFind(const char* name, unsigned* size) {
    if (g_fakeName != name) {
        return g_realFind(name, size);
    }
    if (g_fakeMissing) {
        return nullptr;
    }
    static const uint8_t kNothing = 0;  // a real pointer with a size of zero
    *size = static_cast<unsigned>(g_fakeBytes.size());
    return g_fakeBytes.empty() ? &kNothing : g_fakeBytes.data();
}

class BitmapsTest : public testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(module.Load(TAPEDECK_MODULE, &error)) << error;
        find = FindBitmapLookup(module, &error);
        ASSERT_NE(find, nullptr) << error;
        g_realFind = find;
        g_fakeName.clear();
        g_fakeBytes.clear();
        g_fakeMissing = false;
        char pattern[] = "/tmp/deckctl_bitmaps_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        temp = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(temp, ec);
    }
    Module module;
    FindPanelBitmapFn find = nullptr;
    fs::path temp;
};

TEST_F(BitmapsTest, WritesEveryBitmapAsTheModuleHandsItOver) {
    const fs::path out = temp / "new" / "folder";
    std::ostringstream log;
    std::string error;
    ASSERT_TRUE(WritePanelBitmaps(find, out.string(), log, &error)) << error;

    for (const auto& spec : kPanelBitmaps) {
        const fs::path file = out / (std::string(spec.stem) + ".bmp");
        ASSERT_TRUE(fs::is_regular_file(file)) << file;
        const std::vector<uint8_t> expected = Lookup(find, ResourceKey(spec.stem));
        ASSERT_FALSE(expected.empty()) << spec.stem;
        EXPECT_EQ(ReadBytes(file), expected) << spec.stem;
        EXPECT_NE(log.str().find(file.string()), std::string::npos) << spec.stem;
    }
    int files = 0;
    for (const auto& entry : fs::directory_iterator(out)) {
        EXPECT_EQ(entry.path().extension(), ".bmp") << entry.path();
        ++files;
    }
    constexpr int kFiles = static_cast<int>(std::size(kPanelBitmaps)) + 1;
    EXPECT_EQ(files, kFiles);
    EXPECT_EQ(CountLines(log.str()), kFiles) << log.str();
    EXPECT_NE(log.str().find((out / "preview.bmp").string()), std::string::npos);
}

TEST_F(BitmapsTest, LayoutKeepsEveryBitmapApartAndOnTheCanvas) {
    std::map<std::string, artwork::Bitmap> images;
    for (const auto& spec : kPanelBitmaps) {
        images[ResourceKey(spec.stem)] = Decode(Lookup(find, ResourceKey(spec.stem)));
    }
    const std::vector<Placement>& layout = PreviewLayout();
    std::map<std::string, Placement> at;
    for (const Placement& p : layout) {
        ASSERT_EQ(images.count(p.name), 1u) << p.name;
        at.emplace(p.name, p);
    }
    // Everything but the two icons, each once.
    EXPECT_EQ(at.size(), std::size(kPanelBitmaps) - 2);
    EXPECT_EQ(at.size(), layout.size());
    EXPECT_EQ(at.count("#1000"), 0u);

    for (size_t i = 0; i < layout.size(); ++i) {
        const Placement& a = layout[i];
        const artwork::Bitmap& ai = images[a.name];
        EXPECT_GE(a.x, 0) << a.name;
        EXPECT_GE(a.y, 0) << a.name;
        EXPECT_LE(a.x + ai.width, PreviewWidth()) << a.name;
        EXPECT_LE(a.y + ai.height, PreviewHeight()) << a.name;
        for (size_t j = i + 1; j < layout.size(); ++j) {
            const Placement& b = layout[j];
            const artwork::Bitmap& bi = images[b.name];
            const bool apart = a.x + ai.width <= b.x || b.x + bi.width <= a.x ||
                               a.y + ai.height <= b.y || b.y + bi.height <= a.y;
            EXPECT_TRUE(apart) << a.name << " overlaps " << b.name;
        }
    }
    // Each pressed transport look directly under its released one.
    for (const char* button : {"PLAY", "STOP", "PAUSE", "FWD", "BACK"}) {
        const Placement& up = at.at(std::string("IDB_VTRINF_") + button + "U");
        const Placement& down = at.at(std::string("IDB_VTRINF_") + button + "D");
        EXPECT_EQ(up.x, down.x) << button;
        EXPECT_GT(down.y, up.y) << button;
    }
}

TEST_F(BitmapsTest, PreviewShowsTheBitmapsWhereTheLayoutPutsThem) {
    std::ostringstream log;
    std::string error;
    ASSERT_TRUE(WritePanelBitmaps(find, temp.string(), log, &error)) << error;
    artwork::Bitmap preview;
    ASSERT_TRUE(artwork::ReadBmpFile((temp / "preview.bmp").string(), &preview, &error)) << error;
    EXPECT_EQ(preview.bitCount, 24);
    ASSERT_EQ(preview.width, 610);
    ASSERT_EQ(preview.height, 222);  // the 106-line panel and a strip for the controls

    std::map<std::string, Placement> at;
    for (const Placement& p : PreviewLayout()) {
        at.emplace(p.name, p);
    }
    const auto pixel = [&](const char* name, int x, int y) {
        return Decode(Lookup(find, name)).ColorAt(x, y);
    };

    // The panel sits unchanged at the top left.
    const artwork::Bitmap panel = Decode(Lookup(find, "#15001"));
    ASSERT_EQ(at.at("#15001").x, 0);
    ASSERT_EQ(at.at("#15001").y, 0);
    for (int y = 0; y < panel.height; ++y) {
        for (int x = 0; x < panel.width; ++x) {
            ASSERT_EQ(preview.ColorAt(x, y), panel.ColorAt(x, y)) << x << ',' << y;
        }
    }

    // The strip below carries on in the plain metal of the panel's lower quarter: its commonest
    // colour, the frame line at the bottom left out.
    std::map<uint32_t, int> counts;
    for (int y = 79; y < 105; ++y) {
        for (int x = 0; x < panel.width; ++x) {
            ++counts[panel.At(x, y)];
        }
    }
    uint32_t ground = 0;
    int most = 0;
    for (const auto& [v, n] : counts) {
        if (n > most) {
            ground = v;
            most = n;
        }
    }
    EXPECT_EQ(preview.At(0, preview.height - 1), ground);
    EXPECT_EQ(preview.At(preview.width - 1, preview.height - 1), ground);
    EXPECT_EQ(preview.At(2, panel.height + 2), ground);

    // The centres of the play button and of both lamp looks, which differ from the ground, so
    // a bitmap left out would show.
    for (const char* name : {"IDB_VTRINF_PLAYU", "IDB_VTRINF_PLAYD", "IDB_BUTTON_U", "IDB_BUTTON_D",
                             "IDB_SHUTTLE_BACK", "IDB_BTN_CLOSEU"}) {
        const artwork::Bitmap bm = Decode(Lookup(find, name));
        const Placement& p = at.at(name);
        const artwork::Rgb centre = pixel(name, bm.width / 2, bm.height / 2);
        EXPECT_NE(artwork::Rgb({static_cast<uint8_t>(ground >> 16),
                                static_cast<uint8_t>(ground >> 8), static_cast<uint8_t>(ground)}),
                  centre)
            << name;
        EXPECT_EQ(preview.ColorAt(p.x + bm.width / 2, p.y + bm.height / 2), centre) << name;
    }

    // And every pixel of every placed bitmap.
    for (const Placement& p : PreviewLayout()) {
        const artwork::Bitmap bm = Decode(Lookup(find, p.name));
        for (int y = 0; y < bm.height; ++y) {
            for (int x = 0; x < bm.width; ++x) {
                ASSERT_EQ(preview.ColorAt(p.x + x, p.y + y), bm.ColorAt(x, y))
                    << p.name << ' ' << x << ',' << y;
            }
        }
    }
}

TEST_F(BitmapsTest, BitmapLargerThanItsPlaceIsClippedToTheCanvas) {
    std::vector<PanelBitmap> bitmaps;
    std::string error;
    ASSERT_TRUE(FetchPanelBitmaps(find, &bitmaps, &error)) << error;
    artwork::Bitmap big;
    big.width = 900;
    big.height = 400;
    big.pixels.assign(static_cast<size_t>(big.width) * big.height, 0x123456);
    for (PanelBitmap& b : bitmaps) {
        if (b.name == "IDB_SHUTTLE_BACK") {
            b.image = big;
        }
    }
    artwork::Bitmap preview;
    ASSERT_TRUE(ComposePreview(bitmaps, &preview, &error)) << error;
    ASSERT_EQ(preview.width, PreviewWidth());
    ASSERT_EQ(preview.height, PreviewHeight());
    ASSERT_EQ(preview.pixels.size(), static_cast<size_t>(preview.width) * preview.height);
    EXPECT_EQ(preview.At(preview.width - 1, preview.height - 1), 0x123456u);
}

TEST_F(BitmapsTest, ModuleWithoutTheLookupIsRefused) {
    Module other;
    std::string error;
    ASSERT_TRUE(other.Load(NO_BITMAPS_MODULE, &error)) << error;
    EXPECT_EQ(FindBitmapLookup(other, &error), nullptr);
    EXPECT_NE(error.find("has no export FindPanelBitmap"), std::string::npos) << error;
    EXPECT_NE(error.find(NO_BITMAPS_MODULE), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
}

TEST_F(BitmapsTest, OutFolderThatCannotBeMadeIsAnError) {
    const fs::path file = temp / "plain";
    std::ofstream(file) << "x";
    for (const fs::path& out : {file, file / "sub"}) {
        std::ostringstream log;
        std::string error;
        EXPECT_FALSE(WritePanelBitmaps(find, out.string(), log, &error)) << out;
        EXPECT_NE(error.find("cannot create folder " + out.string()), std::string::npos) << error;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_EQ(log.str(), "");
    }
}

// The bytes come from the module; a truncated or inconsistent file must be reported, not read
// past its end, and nothing is left half written.
TEST_F(BitmapsTest, DamagedOrMissingBitmapIsReportedAndNothingWritten) {
    const std::vector<uint8_t> play = Lookup(find, "IDB_VTRINF_PLAYU");
    ASSERT_GT(play.size(), 1000u);
    std::vector<uint8_t> taller = play;
    taller[22] = 200;  // height 200 rows in a file that holds 26
    std::vector<uint8_t> pastEnd = play;
    pastEnd[10] = 0xF0;  // pixel data said to start past the end
    pastEnd[11] = 0xFF;

    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
        bool missing;
        const char* message;
    } cases[] = {
        {"truncated", std::vector<uint8_t>(play.begin(), play.begin() + 60), false, "damaged"},
        {"taller than its data", taller, false, "damaged"},
        {"pixels past the end", pastEnd, false, "damaged"},
        {"empty", {}, false, "implausible size"},
        {"missing", {}, true, "no bitmap IDB_VTRINF_PLAYU"},
    };
    for (const auto& c : cases) {
        g_fakeName = "IDB_VTRINF_PLAYU";
        g_fakeBytes = c.bytes;
        g_fakeMissing = c.missing;
        const fs::path out = temp / "out";
        std::ostringstream log;
        std::string error;
        EXPECT_FALSE(WritePanelBitmaps(FakeFind, out.string(), log, &error)) << c.what;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.what << ": " << error;
        EXPECT_NE(error.find("IDB_VTRINF_PLAYU"), std::string::npos) << c.what << ": " << error;
        EXPECT_FALSE(fs::exists(out)) << c.what;
        EXPECT_EQ(log.str(), "") << c.what;
    }
}

TEST(BitmapFileNames, NumberedBitmapsDropTheHash) {
    EXPECT_EQ(BitmapFileName("#15001"), "15001.bmp");
    EXPECT_EQ(BitmapFileName("#1000"), "1000.bmp");
    EXPECT_EQ(BitmapFileName("IDB_BUTTON_U"), "IDB_BUTTON_U.bmp");
}

}  // namespace
}  // namespace hostkit
