#include "panel_art.h"
#include "plugin/export.h"

// Where there are no Windows resources, the host finds the panel bitmaps through this export.
extern "C" TAPEDECK_EXPORT const void* FindPanelBitmap(const char* name, unsigned* size) {
    return LookupPanelBitmap(name, size);
}
