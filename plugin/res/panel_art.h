// The panel bitmaps carried inside the module on platforms without Windows resources.
#pragma once

#include <cstddef>

struct PanelBitmapEntry {
    const char* name;           // what LookupPanelBitmap accepts: "IDB_VTRINF_PLAYU" or "#15001"
    unsigned id;                // the numeric identifier, 0 for bitmaps known by name
    const unsigned char* data;  // the whole .bmp file
    unsigned size;
};

// The bytes of a bitmap's .bmp file, found by resource name or by "#number" as a Windows
// resource lookup would (names ignore ASCII case). Unknown or null names give null and set
// *size to 0; `size` itself may be null.
const void* LookupPanelBitmap(const char* name, unsigned* size);

// Every bitmap, in a fixed order, for tools that write or show them all.
const PanelBitmapEntry* PanelBitmaps(std::size_t* count);
