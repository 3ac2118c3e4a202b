#include "timecode/timecode.h"

#include "hostsupport/hostsupport.h"

std::atomic<int32_t> g_nVideoFormat{1};

void SetVideoFormat(int nFormat) {
    g_nVideoFormat.store(nFormat, std::memory_order_relaxed);
}

double FrameRateOf(int nFormat) {
    constexpr double kNtsc = 30000.0 / 1001.0;
    switch (nFormat) {
        case 0x2:
        case 0x20:
        case 0x1000:
        case 0x10000:
        case 0x400000:
            return kNtsc;
        case 0x4:
        case 0x20000:
        case 0x800000:
            return 30.0;
        case 0x200:
        case 0x4000:
        case 0x100000:
            return 24.0;
        case 0x400:
            return 50.0;
        case 0x800:
            return 60000.0 / 1001.0;
        case 0x2000:
        case 0x80000:
            return 23.98;  // the decimal constant, not 24000/1001
        default:
            return 25.0;
    }
}

double GetFrameRate() {
    return FrameRateOf(g_nVideoFormat.load(std::memory_order_relaxed));
}

namespace {

// Truncation toward zero of a value that may exceed the int range for hostile frame counts;
// the low bits are what the fields keep, so wrap through int64 instead of overflowing.
int64_t Trunc(double v) {
    if (!(v > -9.2e18 && v < 9.2e18)) {
        return 0;
    }
    return static_cast<int64_t>(v);
}

}  // namespace

void FramesToHmsf(int nFrames, BYTE* pH, BYTE* pM, BYTE* pS, BYTE* pF) {
    const double r = GetFrameRate();
    const int64_t n = nFrames;
    // The grouping of products and quotients is deliberate: it decides the splits at the
    // 1001-based rates (0:59:60 at 30000/1001 comes from it).
    const int64_t h = Trunc(static_cast<double>(n) / (r * 3600.0));
    int64_t rest = n + Trunc((static_cast<double>(h) * r) * -3600.0);
    const int64_t m = Trunc(static_cast<double>(rest) / (r * 60.0));
    rest = rest + Trunc((static_cast<double>(m) * r) * -60.0);
    const int64_t s = Trunc(static_cast<double>(rest) / r);
    const int64_t f = Trunc(static_cast<double>(rest) - r * static_cast<double>(s));
    *pH = static_cast<BYTE>(h & 0xFF);
    *pM = static_cast<BYTE>(m & 0xFF);
    *pS = static_cast<BYTE>(s & 0xFF);
    *pF = static_cast<BYTE>(f & 0xFF);
}

BYTE BinToBcd(unsigned v) {
    return static_cast<BYTE>(((v / 10) * 16 + (v % 10)) & 0xFF);
}

unsigned BcdToBin(BYTE b) {
    return (b >> 4) * 10u + (b & 0x0Fu);
}

DWORD FramesToBcd(int nFrames) {
    BYTE h = 0;
    BYTE m = 0;
    BYTE s = 0;
    BYTE f = 0;
    FramesToHmsf(nFrames, &h, &m, &s, &f);
    return (DWORD{BinToBcd(h)} << 24) | (DWORD{BinToBcd(m)} << 16) | (DWORD{BinToBcd(s)} << 8) |
           DWORD{BinToBcd(f)};
}

int BcdToFrames(DWORD dwTime) {
    const double r = GetFrameRate();
    const uint32_t h = BcdToBin(static_cast<BYTE>(dwTime >> 24));
    const uint32_t m = BcdToBin(static_cast<BYTE>(dwTime >> 16));
    const uint32_t s = BcdToBin(static_cast<BYTE>(dwTime >> 8));
    const uint32_t f = BcdToBin(static_cast<BYTE>(dwTime));
    const uint32_t secs = s + 60u * (m + 60u * h);
    // Unsigned addition: wraps like the 32-bit original instead of overflowing.
    return static_cast<int>(static_cast<uint32_t>(DoubleToInt(secs * r)) + f);
}

int TimeDataToFrames(DWORD dwTime, double rate) {
    // The flag bits (31, 23, 15, 7-6) carry no time.
    const int32_t hours = static_cast<int32_t>(BcdToBin(static_cast<BYTE>((dwTime >> 24) & 0x7F)));
    const int32_t minutes =
        static_cast<int32_t>(BcdToBin(static_cast<BYTE>((dwTime >> 16) & 0x7F)));
    const int32_t seconds = static_cast<int32_t>(BcdToBin(static_cast<BYTE>((dwTime >> 8) & 0x7F)));
    const int32_t frames = static_cast<int32_t>(BcdToBin(static_cast<BYTE>(dwTime & 0x3F)));
    const int32_t secs = seconds + 60 * (minutes + 60 * hours);
    return DoubleToInt(secs * rate + frames);
}

DWORD ComplementToDay(DWORD dwMagnitude) {
    // Borrowing in whole frames keeps every field in range at the 1001-based rates, where a
    // split of the day's fractional frame count gave second 60; at whole rates the two agree.
    const int64_t r = DoubleToInt(GetFrameRate());
    const int64_t h = BcdToBin(static_cast<BYTE>(dwMagnitude >> 24));
    const int64_t m = BcdToBin(static_cast<BYTE>(dwMagnitude >> 16));
    const int64_t s = BcdToBin(static_cast<BYTE>(dwMagnitude >> 8));
    const int64_t f = BcdToBin(static_cast<BYTE>(dwMagnitude));
    const int64_t day = 86400 * r;
    const int64_t magnitude = ((h * 60 + m) * 60 + s) * r + f;
    // A day or more before zero has no complement; 00:00:00:00 is what a failed read gives too.
    if (magnitude >= day) {
        return 0;
    }
    const int64_t c = day - magnitude;
    const auto field = [](int64_t v) { return DWORD{BinToBcd(static_cast<unsigned>(v))}; };
    return (field(c / (3600 * r)) << 24) | (field(c / (60 * r) % 60) << 16) |
           (field(c / r % 60) << 8) | field(c % r);
}
