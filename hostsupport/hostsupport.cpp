#include "hostsupport/hostsupport.h"

#include <cmath>
#include <cstdint>

int DoubleToInt(double value) {
    if (std::isnan(value)) {
        return 0;
    }
    const double r = std::round(value);
    // Callers stay well inside the range; saturate rather than invoke undefined behaviour.
    if (r >= static_cast<double>(INT32_MAX)) {
        return INT32_MAX;
    }
    if (r <= static_cast<double>(INT32_MIN)) {
        return INT32_MIN;
    }
    return static_cast<int>(r);
}

int _zvstrcpy(char16_t* pDest, const char16_t* pSrc) {  // NOLINT(bugprone-reserved-identifier)
    int n = 0;
    while ((pDest[n] = pSrc[n]) != u'\0') {
        ++n;
    }
    return n;
}
