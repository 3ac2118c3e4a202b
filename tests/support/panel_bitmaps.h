// The panel bitmaps the host looks for: file stem under plugin/res, size and colour depth.
#pragma once

#include <cctype>
#include <string>

namespace testing_support {

struct PanelBitmapSpec {
    const char* stem;  // IDB_... by name, or the number of a numbered bitmap
    int width;
    int height;
    int bits;
};

inline constexpr PanelBitmapSpec kPanelBitmaps[] = {
    {"IDB_VTRINF_PLAYU", 65, 26, 8},
    {"IDB_VTRINF_PLAYD", 65, 26, 8},
    {"IDB_VTRINF_STOPU", 65, 26, 8},
    {"IDB_VTRINF_STOPD", 65, 26, 8},
    {"IDB_VTRINF_PAUSEU", 65, 26, 8},
    {"IDB_VTRINF_PAUSED", 65, 26, 8},
    {"IDB_VTRINF_FWDU", 65, 26, 8},
    {"IDB_VTRINF_FWDD", 65, 26, 8},
    {"IDB_VTRINF_BACKU", 65, 26, 8},
    {"IDB_VTRINF_BACKD", 65, 26, 8},
    {"IDB_SHUTTLE_BACK", 100, 100, 8},
    {"IDB_BTN_CLOSEU", 11, 11, 24},
    {"IDB_BTN_CLOSED", 11, 11, 24},
    {"IDB_BTN_SERIALU", 11, 11, 24},
    {"IDB_BTN_SERIALD", 11, 11, 24},
    {"IDB_BUTTON_U", 7, 7, 8},
    {"IDB_BUTTON_D", 7, 7, 8},
    {"1000", 32, 32, 4},
    {"1001", 16, 16, 4},
    {"15001", 610, 106, 24},
};

// How a resource lookup names it: the name itself, or "#" and the number.
inline std::string ResourceKey(const char* stem) {
    return std::isdigit(static_cast<unsigned char>(stem[0])) ? std::string("#") + stem : stem;
}

}  // namespace testing_support
