#include "panel_art.h"

#include "panel_art_table.h"

namespace {

char Upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool SameName(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (Upper(*a) != Upper(*b)) {
            return false;
        }
    }
    return *a == *b;
}

// "#1000" -> 1000; anything that is not '#' and 1 to 5 decimal digits within 16 bits -> 0,
// which no numbered bitmap uses.
unsigned ParseNumber(const char* name) {
    if (name[0] != '#' || name[1] == '\0') {
        return 0;
    }
    unsigned value = 0;
    for (const char* p = name + 1; *p; ++p) {
        if (*p < '0' || *p > '9' || p - name > 5) {
            return 0;
        }
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    return value <= 0xFFFF ? value : 0;
}

}  // namespace

const void* LookupPanelBitmap(const char* name, unsigned* size) {
    if (size) {
        *size = 0;
    }
    if (name == nullptr) {
        return nullptr;
    }
    const unsigned id = ParseNumber(name);
    for (std::size_t i = 0; i < kPanelBitmapCount; ++i) {
        const PanelBitmapEntry& e = kPanelBitmaps[i];
        if (id != 0 ? e.id == id : (e.id == 0 && SameName(e.name, name))) {
            if (size) {
                *size = e.size;
            }
            return e.data;
        }
    }
    return nullptr;
}

const PanelBitmapEntry* PanelBitmaps(std::size_t* count) {
    if (count) {
        *count = kPanelBitmapCount;
    }
    return kPanelBitmaps;
}
