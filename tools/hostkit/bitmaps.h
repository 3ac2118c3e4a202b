// The panel bitmaps the module carries: written out as files, and laid out in one preview image
// so the artwork can be checked by eye without a host.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "tools/artwork/bmp.h"
#include "tools/hostkit/module.h"

namespace hostkit {

// The module's lookup: the bytes of a whole .bmp file for a name or "#number", or null.
using FindPanelBitmapFn = const void* (*)(const char* name, unsigned* size);

// Every name the host asks the module for.
const std::vector<std::string>& PanelBitmapNames();

// "IDB_BTN_CLOSEU" -> "IDB_BTN_CLOSEU.bmp", "#15001" -> "15001.bmp".
std::string BitmapFileName(const std::string& name);

// The module's FindPanelBitmap, or null with a one-line reason.
FindPanelBitmapFn FindBitmapLookup(const Module& module, std::string* error);

// One bitmap as the module hands it over, checked to decode.
struct PanelBitmap {
    std::string name;
    std::vector<uint8_t> bytes;
    artwork::Bitmap image;
};

// Asks for every name; fails naming the first bitmap that is missing or does not decode.
bool FetchPanelBitmaps(FindPanelBitmapFn find, std::vector<PanelBitmap>* out, std::string* error);

// Where one bitmap sits on the preview canvas (top-left corner).
struct Placement {
    const char* name;
    int x;
    int y;
};

// The panel background at the top left; the controls in a strip below it.
const std::vector<Placement>& PreviewLayout();
int PreviewWidth();
int PreviewHeight();

// The 24-bit preview: the panel, the strip below in the commonest colour of the
// panel's lower quarter, and every
// placed bitmap copied in. `bitmaps` must hold every name the layout uses.
bool ComposePreview(const std::vector<PanelBitmap>& bitmaps, artwork::Bitmap* out,
                    std::string* error);

// Writes DIR/<name>.bmp for every bitmap and DIR/preview.bmp, creating DIR, and prints one line
// per file to `log`. Nothing is written when a bitmap is missing or damaged.
bool WritePanelBitmaps(FindPanelBitmapFn find, const std::string& dir, std::ostream& log,
                       std::string* error);

}  // namespace hostkit
