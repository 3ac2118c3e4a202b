#include "tools/hostkit/timecode.h"

#include "hostsupport/hostsupport.h"
#include "timecode/timecode.h"

namespace hostkit {

namespace {

constexpr int64_t kMinutesPerDay = int64_t{24} * 60;

// Magnitude of a signed count, safe for the most negative value.
uint64_t Magnitude(int64_t v) {
    return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
}

int64_t WithSign(bool negative, uint64_t v) {
    return negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

int Digits2(std::string_view t, std::size_t at) {
    const char a = t[at];
    const char b = t[at + 1];
    if (a < '0' || a > '9' || b < '0' || b > '9') {
        return -1;
    }
    return (a - '0') * 10 + (b - '0');
}

ParsedTimecode Refuse(std::string error) {
    ParsedTimecode p;
    p.error = std::move(error);
    return p;
}

constexpr int32_t kFormat50 = 0x400;
constexpr int64_t kModuleWhole = 50;
// Above this many labels a second a deck counts frame pairs.
constexpr int kMostSingleLabels = 30;

}  // namespace

int Resolution(const TimeBase& base) {
    return base.whole > kMostSingleLabels ? 2 : 1;
}

bool OnTheLine(int64_t frames, const TimeBase& base) {
    return frames % Resolution(base) == 0;
}

int64_t SignedEarliest(const TimeBase& base) {
    // -14:00:00:00 itself reads as +10:00:00:00, and so does the pair it starts.
    return Resolution(base) - LabelsToFrames(int64_t{14} * 3600 * base.whole, base);
}

int64_t SignedLatest(const TimeBase& base) {
    return LabelsToFrames(int64_t{10} * 3600 * base.whole, base);
}

std::string RateWords(const RateInfo& rate) {
    std::string name = rate.name;
    if (rate.base.dropFrame) {
        return name.substr(0, name.size() - 2) + " fps drop frame";
    }
    return name + " fps";
}

std::string LineRefusal(int64_t frames, const RateInfo& rate) {
    const TimeBase& base = rate.base;
    if (OnTheLine(frames, base)) {
        return "";
    }
    const int64_t day = DayFrames(base);
    std::string either;
    for (const int64_t near : {frames - 1, frames + 1}) {
        if (near > -day && near < day) {
            either += (either.empty() ? "" : " or ") + FormatTimecode(near, base);
        }
    }
    return FormatTimecode(frames, base) + " cannot be sent to or read from a deck at " +
           RateWords(rate) + ": its line carries frame pairs; " + either;
}

int32_t ModuleFormat(const TimeBase&) {
    return kFormat50;
}

bool ModuleCountOfLabels(int64_t labels, const TimeBase& base, int64_t* count) {
    const int64_t w = base.whole;
    const int64_t res = Resolution(base);
    const int64_t n = static_cast<int64_t>(Magnitude(labels));
    if (n % res != 0) {
        return false;
    }
    *count = WithSign(labels < 0, static_cast<uint64_t>(n / w * kModuleWhole + n % w / res));
    return true;
}

int64_t LabelsOfModuleCount(int64_t count, const TimeBase& base) {
    // A negative count comes back from the module's complement with frames 1..50, which the
    // division carries into the seconds as it should.
    const int64_t n = static_cast<int64_t>(Magnitude(count));
    const int64_t labels = n / kModuleWhole * base.whole + n % kModuleWhole * Resolution(base);
    return WithSign(count < 0, static_cast<uint64_t>(labels));
}

const std::vector<RateInfo>& Rates() {
    static const std::vector<RateInfo> kRates = {
        {"23.98", {24, false}, 24000.0 / 1001.0},
        {"24", {24, false}, 24.0},
        {"25", {25, false}, 25.0},
        {"29.97", {30, false}, 30000.0 / 1001.0},
        {"29.97df", {30, true}, 30000.0 / 1001.0},
        {"30", {30, false}, 30.0},
        {"50", {50, false}, 50.0},
        {"59.94", {60, false}, 60000.0 / 1001.0},
        {"59.94df", {60, true}, 60000.0 / 1001.0},
    };
    return kRates;
}

const RateInfo* FindRate(std::string_view name) {
    for (const RateInfo& r : Rates()) {
        if (name == r.name) {
            return &r;
        }
    }
    return nullptr;
}

const RateInfo& RateOf(const TimeBase& base) {
    // 24 and 30 share their whole rate with 23.98 and 29.97; the whole rates come first here.
    for (const char* name : {"24", "25", "30", "50", "29.97df", "59.94", "59.94df"}) {
        const RateInfo* r = FindRate(name);
        if (r->base == base) {
            return *r;
        }
    }
    return *FindRate("25");
}

std::string RateNames() {
    std::string out;
    for (const RateInfo& r : Rates()) {
        out += (out.empty() ? "" : " ") + std::string(r.name);
    }
    return out;
}

int DroppedPerMinute(const TimeBase& base) {
    if (!base.dropFrame) {
        return 0;
    }
    return base.whole == 60 ? 4 : (base.whole == 30 ? 2 : 0);
}

int64_t DayFrames(const TimeBase& base) {
    // Every minute but one in ten drops its labels.
    return kMinutesPerDay * 60 * base.whole - DroppedPerMinute(base) * (kMinutesPerDay / 10 * 9);
}

bool LabelExists(int64_t labels, const TimeBase& base) {
    const uint64_t d = static_cast<uint64_t>(DroppedPerMinute(base));
    const uint64_t perMinute = static_cast<uint64_t>(base.whole) * 60;
    const uint64_t n = Magnitude(labels);
    return d == 0 || (n / perMinute) % 10 == 0 || n % perMinute >= d;
}

int64_t LabelsToFrames(int64_t labels, const TimeBase& base) {
    const uint64_t d = static_cast<uint64_t>(DroppedPerMinute(base));
    if (d == 0) {
        return labels;
    }
    const uint64_t perMinute = static_cast<uint64_t>(base.whole) * 60;
    uint64_t n = Magnitude(labels);
    if (!LabelExists(labels, base)) {
        n += d - n % perMinute;
    }
    const uint64_t minutes = n / perMinute;
    return WithSign(labels < 0, n - d * (minutes - minutes / 10));
}

int64_t FramesToLabels(int64_t frames, const TimeBase& base) {
    const uint64_t d = static_cast<uint64_t>(DroppedPerMinute(base));
    if (d == 0) {
        return frames;
    }
    const uint64_t perMinute = static_cast<uint64_t>(base.whole) * 60;
    const uint64_t perDroppingMinute = perMinute - d;
    const uint64_t perTenMinutes = perMinute * 10 - 9 * d;
    const uint64_t n = Magnitude(frames);
    const uint64_t tens = n / perTenMinutes;
    const uint64_t rest = n % perTenMinutes;
    // The first minute of ten keeps all its labels; each later one skips d.
    uint64_t skipped = 9 * d * tens;
    if (rest >= perMinute) {
        skipped += d * ((rest - perMinute) / perDroppingMinute + 1);
    }
    return WithSign(frames < 0, n + skipped);
}

std::string FormatTimecode(int64_t frames, const TimeBase& base) {
    const uint64_t n = Magnitude(FramesToLabels(frames, base));
    const uint64_t fps = static_cast<uint64_t>(base.whole > 0 ? base.whole : 25);
    const uint64_t secs = n / fps;
    // Hours past 99 (a count far beyond a day) keep all their digits.
    std::string out = frames < 0 ? "-" : "";
    const std::string hours = std::to_string(secs / 3600);
    out += hours.size() < 2 ? "0" + hours : hours;
    const uint64_t fields[3] = {secs / 60 % 60, secs % 60, n % fps};
    const char separators[3] = {':', ':', base.dropFrame ? ';' : ':'};
    for (int i = 0; i < 3; ++i) {
        out += separators[i];
        out += static_cast<char>('0' + fields[i] / 10 % 10);
        out += static_cast<char>('0' + fields[i] % 10);
    }
    return out;
}

namespace {

// `rateName` names the rate in the reasons.
ParsedTimecode Parse(std::string_view text, const TimeBase& base, const std::string& rateName) {
    const auto shown = [text] { return std::string(text.substr(0, 32)); };
    std::string_view t = text;
    const bool negative = !t.empty() && t[0] == '-';
    t.remove_prefix(negative ? 1 : 0);
    const bool shape = t.size() == 11 && t[2] == ':' && t[5] == ':' && (t[8] == ':' || t[8] == ';');
    const int h = shape ? Digits2(t, 0) : -1;
    const int m = shape ? Digits2(t, 3) : -1;
    const int s = shape ? Digits2(t, 6) : -1;
    const int f = shape ? Digits2(t, 9) : -1;
    if (h < 0 || m < 0 || s < 0 || f < 0) {
        return Refuse("'" + shown() + "' is not a time of the form HH:MM:SS:FF");
    }
    if (t[8] == ';' && !base.dropFrame) {
        return Refuse(shown() + ": ';' marks drop-frame time, and this runs at " + rateName +
                      " non-drop");
    }
    if (h > 23 || m > 59 || s > 59) {
        return Refuse(shown() + " is not a time of day (hours 0-23, minutes and seconds 0-59)");
    }
    if (f >= base.whole) {
        return Refuse(shown() + ": frame " + std::to_string(f) + " does not exist at " + rateName +
                      " fps (frames below " + std::to_string(base.whole) + ")");
    }
    const int64_t labels = ((int64_t{h} * 60 + m) * 60 + s) * base.whole + f;
    if (!LabelExists(labels, base)) {
        return Refuse(shown() + " does not exist in drop-frame time at " + rateName +
                      ": frames 00-0" + std::to_string(DroppedPerMinute(base) - 1) +
                      " are skipped at minutes not divisible by 10");
    }
    ParsedTimecode p;
    p.ok = true;
    p.frames = LabelsToFrames(negative ? -labels : labels, base);
    return p;
}

}  // namespace

ParsedTimecode ParseTimecode(std::string_view text, const RateInfo& rate) {
    return Parse(text, rate.base, rate.name);
}

ParsedTimecode ParseTimecode(std::string_view text, const TimeBase& base) {
    return Parse(text, base, std::to_string(base.whole));
}

int WholeFps(int32_t videoFormat) {
    return DoubleToInt(FrameRateOf(videoFormat));
}

std::string FormatTimecode(int64_t frames, int fps) {
    return FormatTimecode(frames, TimeBase{fps, false});
}

bool ParseTimecode(const std::string& text, int fps, int64_t* frames) {
    const ParsedTimecode p = ParseTimecode(std::string_view(text), TimeBase{fps, false});
    if (p.ok) {
        *frames = p.frames;
    }
    return p.ok;
}

}  // namespace hostkit
