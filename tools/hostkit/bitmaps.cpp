#include "tools/hostkit/bitmaps.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

namespace hostkit {
namespace {

namespace fs = std::filesystem;

// Far more than any panel bitmap; a size past this is a damaged answer, not artwork.
constexpr unsigned kMaxBitmapBytes = 16u << 20;

constexpr int kPanelWidth = 610;
constexpr int kPanelHeight = 106;
constexpr int kMargin = 8;
constexpr int kStripTop = kPanelHeight + kMargin;
constexpr int kButtonWidth = 65;
constexpr int kButtonHeight = 26;
constexpr int kButtonStep = kButtonWidth + kMargin;
constexpr int kPressedTop = kStripTop + kButtonHeight + kMargin;
constexpr int kShuttleLeft = 10 + 5 * kButtonStep + 12;
constexpr int kShuttleSize = 100;
constexpr int kSmallLeft = kShuttleLeft + kShuttleSize + 20;
constexpr int kSmallStep = 23;
constexpr int kHeight = kStripTop + kShuttleSize + kMargin;

const PanelBitmap* Find(const std::vector<PanelBitmap>& bitmaps, const std::string& name) {
    for (const PanelBitmap& b : bitmaps) {
        if (b.name == name) {
            return &b;
        }
    }
    return nullptr;
}

uint32_t Pack(artwork::Rgb c) {
    return (static_cast<uint32_t>(c.r) << 16) | (static_cast<uint32_t>(c.g) << 8) | c.b;
}

// The commonest colour of the panel's lower quarter, inside its one-line frame: the plain metal
// below the display fields, so the strip under the panel reads as more of it.
uint32_t GroundColour(const artwork::Bitmap& panel) {
    std::map<uint32_t, int> counts;
    for (int y = panel.height * 3 / 4; y < panel.height - 1; ++y) {
        for (int x = 0; x < panel.width; ++x) {
            ++counts[Pack(panel.ColorAt(x, y))];
        }
    }
    uint32_t best = 0;
    int bestCount = 0;
    for (const auto& [colour, count] : counts) {
        if (count > bestCount) {
            best = colour;
            bestCount = count;
        }
    }
    return best;
}

// Copies `src` with its top left at (left, top), clipped to the canvas: a bitmap of another
// size than the layout expects must not write outside it.
void Blit(const artwork::Bitmap& src, int left, int top, artwork::Bitmap& canvas) {
    for (int y = 0; y < src.height; ++y) {
        const int cy = top + y;
        if (cy < 0 || cy >= canvas.height) {
            continue;
        }
        for (int x = 0; x < src.width; ++x) {
            const int cx = left + x;
            if (cx >= 0 && cx < canvas.width) {
                canvas.At(cx, cy) = Pack(src.ColorAt(x, y));
            }
        }
    }
}

bool WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes, std::string* error) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    if (!file.flush()) {
        *error = "cannot write " + path.string();
        return false;
    }
    return true;
}

}  // namespace

const std::vector<std::string>& PanelBitmapNames() {
    static const std::vector<std::string> names = {"IDB_VTRINF_PLAYU",
                                                   "IDB_VTRINF_PLAYD",
                                                   "IDB_VTRINF_STOPU",
                                                   "IDB_VTRINF_STOPD",
                                                   "IDB_VTRINF_PAUSEU",
                                                   "IDB_VTRINF_PAUSED",
                                                   "IDB_VTRINF_FWDU",
                                                   "IDB_VTRINF_FWDD",
                                                   "IDB_VTRINF_BACKU",
                                                   "IDB_VTRINF_BACKD",
                                                   "IDB_SHUTTLE_BACK",
                                                   "IDB_BTN_CLOSEU",
                                                   "IDB_BTN_CLOSED",
                                                   "IDB_BTN_SERIALU",
                                                   "IDB_BTN_SERIALD",
                                                   "IDB_BUTTON_U",
                                                   "IDB_BUTTON_D",
                                                   "#1000",
                                                   "#1001",
                                                   "#15001"};
    return names;
}

std::string BitmapFileName(const std::string& name) {
    return (!name.empty() && name[0] == '#' ? name.substr(1) : name) + ".bmp";
}

FindPanelBitmapFn FindBitmapLookup(const Module& module, std::string* error) {
    void* entry = module.Symbol("FindPanelBitmap");
    if (entry == nullptr) {
        *error = "module " + module.Path() + " has no export FindPanelBitmap";
        return nullptr;
    }
    return reinterpret_cast<FindPanelBitmapFn>(entry);
}

bool FetchPanelBitmaps(FindPanelBitmapFn find, std::vector<PanelBitmap>* out, std::string* error) {
    std::vector<PanelBitmap> result;
    for (const std::string& name : PanelBitmapNames()) {
        unsigned size = 0;
        const void* data = find(name.c_str(), &size);
        if (data == nullptr) {
            *error = "the module has no bitmap " + name;
            return false;
        }
        // The size is the module's word; all that can be checked is that it is sane. Past that,
        // the decoder checks every offset in the file against it.
        if (size == 0 || size > kMaxBitmapBytes) {
            *error = "bitmap " + name + " has an implausible size of " + std::to_string(size);
            return false;
        }
        PanelBitmap b;
        b.name = name;
        const auto* bytes = static_cast<const uint8_t*>(data);
        b.bytes.assign(bytes, bytes + size);
        std::string why;
        if (!artwork::DecodeBmp(b.bytes.data(), b.bytes.size(), &b.image, &why)) {
            error->assign("bitmap ").append(name).append(" is damaged: ").append(why);
            return false;
        }
        result.push_back(std::move(b));
    }
    *out = std::move(result);
    return true;
}

const std::vector<Placement>& PreviewLayout() {
    static const std::vector<Placement> layout = [] {
        std::vector<Placement> l = {{"#15001", 0, 0}};
        // Transport in deck order, released looks in a row and each pressed look under it.
        const char* transport[][2] = {{"IDB_VTRINF_BACKU", "IDB_VTRINF_BACKD"},
                                      {"IDB_VTRINF_STOPU", "IDB_VTRINF_STOPD"},
                                      {"IDB_VTRINF_PAUSEU", "IDB_VTRINF_PAUSED"},
                                      {"IDB_VTRINF_PLAYU", "IDB_VTRINF_PLAYD"},
                                      {"IDB_VTRINF_FWDU", "IDB_VTRINF_FWDD"}};
        for (int i = 0; i < 5; ++i) {
            const int x = 10 + i * kButtonStep;
            l.push_back({transport[i][0], x, kStripTop});
            l.push_back({transport[i][1], x, kPressedTop});
        }
        l.push_back({"IDB_SHUTTLE_BACK", kShuttleLeft, kStripTop});
        // The small ones in a column of pairs, released on the left.
        l.push_back({"IDB_BTN_CLOSEU", kSmallLeft, kStripTop});
        l.push_back({"IDB_BTN_CLOSED", kSmallLeft + kSmallStep, kStripTop});
        l.push_back({"IDB_BTN_SERIALU", kSmallLeft, kStripTop + kSmallStep});
        l.push_back({"IDB_BTN_SERIALD", kSmallLeft + kSmallStep, kStripTop + kSmallStep});
        l.push_back({"IDB_BUTTON_U", kSmallLeft + 2, kStripTop + 2 * kSmallStep + 2});
        l.push_back({"IDB_BUTTON_D", kSmallLeft + kSmallStep + 2, kStripTop + 2 * kSmallStep + 2});
        return l;
    }();
    return layout;
}

int PreviewWidth() {
    return kPanelWidth;
}

int PreviewHeight() {
    return kHeight;
}

bool ComposePreview(const std::vector<PanelBitmap>& bitmaps, artwork::Bitmap* out,
                    std::string* error) {
    const PanelBitmap* panel = Find(bitmaps, "#15001");
    if (panel == nullptr) {
        *error = "no panel background to lay the preview out on";
        return false;
    }
    artwork::Bitmap canvas;
    canvas.width = kPanelWidth;
    canvas.height = kHeight;
    canvas.bitCount = 24;
    canvas.pixels.assign(static_cast<size_t>(canvas.width) * canvas.height,
                         GroundColour(panel->image));
    for (const Placement& p : PreviewLayout()) {
        const PanelBitmap* b = Find(bitmaps, p.name);
        if (b == nullptr) {
            *error = std::string("the preview needs bitmap ") + p.name;
            return false;
        }
        Blit(b->image, p.x, p.y, canvas);
    }
    *out = std::move(canvas);
    return true;
}

bool WritePanelBitmaps(FindPanelBitmapFn find, const std::string& dir, std::ostream& log,
                       std::string* error) {
    std::vector<PanelBitmap> bitmaps;
    artwork::Bitmap preview;
    if (!FetchPanelBitmaps(find, &bitmaps, error) || !ComposePreview(bitmaps, &preview, error)) {
        return false;
    }
    const std::vector<uint8_t> previewBytes = artwork::EncodeBmp(preview);
    if (previewBytes.empty()) {
        *error = "the preview cannot be encoded";
        return false;
    }

    const fs::path root(dir);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec || !fs::is_directory(root, ec)) {
        *error = "cannot create folder " + dir + (ec ? ": " + ec.message() : "");
        return false;
    }
    for (const PanelBitmap& b : bitmaps) {
        const fs::path path = root / BitmapFileName(b.name);
        if (!WriteFile(path, b.bytes, error)) {
            return false;
        }
        log << path.string() << "  " << b.image.width << 'x' << b.image.height << ' '
            << b.image.bitCount << "-bit, " << b.bytes.size() << " bytes\n";
    }
    const fs::path path = root / "preview.bmp";
    if (!WriteFile(path, previewBytes, error)) {
        return false;
    }
    log << path.string() << "  " << preview.width << 'x' << preview.height << " 24-bit, "
        << previewBytes.size() << " bytes\n";
    return true;
}

}  // namespace hostkit
