// A full day of frames at each drop-frame rate, every frame formatted as its label and parsed
// back, timed; writes report.py's figures.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/hostkit/timecode.h"

namespace {

// Seconds for one day's round trip; -1 when a frame did not come back as itself.
double RoundTripDay(const hostkit::TimeBase& base) {
    const auto start = std::chrono::steady_clock::now();
    for (int64_t f = 0; f < hostkit::DayFrames(base); ++f) {
        const hostkit::ParsedTimecode p =
            hostkit::ParseTimecode(hostkit::FormatTimecode(f, base), base);
        if (!p.ok || p.frames != f) {
            return -1;
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    std::string json = "timecode.json";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            runs = 1;
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--json PATH]\n", argv[0]);
            return 2;
        }
    }
    FILE* out = std::fopen(json.c_str(), "w");
    if (out == nullptr) {
        std::perror(json.c_str());
        return 1;
    }
    std::fprintf(out, "{\"figures\": [\n");
    const char* rates[] = {"29.97df", "59.94df"};
    for (int r = 0; r < 2; ++r) {
        std::vector<double> t;
        for (int i = 0; i < runs; ++i) {
            t.push_back(RoundTripDay(hostkit::FindRate(rates[r])->base));
            if (t.back() < 0) {
                std::fprintf(stderr, "%s: a frame did not round-trip\n", rates[r]);
                return 1;
            }
        }
        std::sort(t.begin(), t.end());
        const double median = t[t.size() / 2];
        std::fprintf(out,
                     "%s{\"section\": \"Timecode\", \"name\": \"a day of frames at %s, frame -> "
                     "label -> frame\", \"unit\": \"s\", \"median\": %.4f, \"lo\": %.4f, \"hi\": "
                     "%.4f, \"runs\": %zu, \"target\": \"< 1\", \"pass\": %s, \"note\": \"\"}\n",
                     r == 0 ? "" : ",", rates[r], median, t.front(), t.back(), t.size(),
                     median < 1.0 ? "true" : "false");
    }
    std::fprintf(out, "]}\n");
    return std::fclose(out) == 0 ? 0 : 1;
}
