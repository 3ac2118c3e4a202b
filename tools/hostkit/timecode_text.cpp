#include "tools/hostkit/timecode_text.h"

#include <cstdio>
#include <regex>

#include "hostsupport/hostsupport.h"
#include "timecode/timecode.h"

namespace hostkit {

int WholeFps(int32_t videoFormat) {
    return DoubleToInt(FrameRateOf(videoFormat));
}

std::string FormatTimecode(int64_t frames, int fps) {
    const bool negative = frames < 0;
    const uint64_t n = negative ? 0 - static_cast<uint64_t>(frames) : static_cast<uint64_t>(frames);
    const uint64_t perMinute = static_cast<uint64_t>(fps) * 60;
    const uint64_t perHour = perMinute * 60;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s%02llu:%02llu:%02llu:%02llu", negative ? "-" : "",
                  static_cast<unsigned long long>(n / perHour),
                  static_cast<unsigned long long>(n % perHour / perMinute),
                  static_cast<unsigned long long>(n % perMinute / fps),
                  static_cast<unsigned long long>(n % fps));
    return buf;
}

bool ParseTimecode(const std::string& text, int fps, int64_t* frames) {
    static const std::regex form(R"((-?)(\d\d):(\d\d):(\d\d)[:;](\d\d))");
    std::smatch m;
    if (fps <= 0 || !std::regex_match(text, m, form)) {
        return false;
    }
    const int h = std::stoi(m[2]);
    const int mi = std::stoi(m[3]);
    const int s = std::stoi(m[4]);
    const int f = std::stoi(m[5]);
    if (h > 23 || mi > 59 || s > 59 || f >= fps) {
        return false;
    }
    const int64_t n = ((int64_t{h} * 60 + mi) * 60 + s) * fps + f;
    *frames = m[1].length() != 0 ? -n : n;
    return true;
}

}  // namespace hostkit
