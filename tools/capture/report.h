// What became of each clip: requested against achieved, the faults met and the retries, as
// JSON (a file beside the clip's, and for the panel's event stream) and as one terminal line.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/capture/conformance.h"
#include "tools/hostkit/json.h"
#include "tools/hostkit/timecode.h"

namespace capture {

// A clip to capture: [in, out) in real frames at the deck's rate, as the clip log keeps them
// (out is the frame after the last, so out - in frames).
struct ClipRequest {
    int64_t id = 0;  // the clip log's id; 0 for one given on the command line
    std::string name;
    std::string reel;
    int64_t in = 0;
    int64_t out = 0;
    std::string stem;  // the files' name without extension, in the batch's folder
};

enum class ClipStatus { kCaptured, kFailed, kCancelled };

// A clip labelled from LTC, checked against the deck's serial time: on how many frames the two
// agreed, at what offset of the capture path.
struct LtcCheck {
    int channel = 0;  // from 1
    int64_t checked = 0;
    int64_t disagreeing = 0;
    int64_t worst = 0;                       // frames, the most they parted by
    double offsetMs = 0;                     // the serial time's
    std::string offsetFrom = "calibration";  // or "given", or "the LTC" (measured against it)
};

// A channel of a captured clip's sound: its peak, whether it was silent, and how many samples
// reached full scale.
struct ChannelReport {
    double peakDbfs = 0;
    bool silent = false;
    int64_t clipped = 0;
};

// A flag, in words and in the frames it covers.
struct QualityFlag {
    std::string flag;  // "brng", "tout", "vrep", "repeated", "frozen", "clipped", "silent"
    int channel = 0;   // from 1, for the sound's
    int64_t frames = 0;
    std::vector<std::pair<int64_t, int64_t>> stretches;  // [first, last] frames of the file
    std::string words;
};

// Stretches of a flag the report lists; it counts them all.
constexpr std::size_t kReportedStretches = 50;

// A clip's quality check: how much of it was checked, its luma, its flags and its figures' file.
struct QualitySummary {
    int64_t frames = 0;       // the clip's
    int64_t pictures = 0;     // checked
    int64_t soundFrames = 0;  // frames whose sound was checked
    int64_t skipped = 0;      // pictures and chunks of sound it had no room for
    bool withSound = false;
    int bitDepth = 8;
    double lumaMin = 0, lumaAvg = 0, lumaMax = 0;
    double cpuSeconds = 0;  // the check's own thread
    std::vector<QualityFlag> flags;
    // The clip at a glance: a point every `every` frames with its first frame's time, the
    // luma's least, mean and most, and each channel's peak in dBFS (-inf for silence).
    struct Graph {
        int64_t every = 0;
        std::vector<std::string> timecodes;
        std::vector<double> ymin, yavg, ymax;
        std::vector<std::vector<double>> peaks;  // per channel
    } graph;
    std::string poster;   // a JPEG of the clip's middle frame, when written
    std::string sidecar;  // the figures' file, when written
    std::string error;    // why it was not, in words
};

struct ClipReport {
    ClipRequest clip;
    const hostkit::RateInfo* rate = nullptr;
    ClipStatus status = ClipStatus::kFailed;
    std::string reason;  // in words; empty when captured
    int handles = 0;
    // As the capture labelled the frames it wrote: the first and the one after the last.
    std::optional<int64_t> achievedIn;
    std::optional<int64_t> achievedOut;
    int64_t frames = 0;
    int64_t missing = 0;
    int64_t repeated = 0;
    std::vector<std::string> breaks;    // each timecode break met, in words
    std::vector<std::string> attempts;  // how each attempt ended, in words
    int retries = 0;
    uint64_t cardGaps = 0;   // frames the input's clock skipped, over all attempts
    uint64_t overflows = 0;  // frames we had no room for, over all attempts
    double offsetMs = 0;
    double prerollSeconds = 0;
    double seconds = 0;     // the clip's wall time, cues and retries included
    double cueSeconds = 0;  // of which the deck spent cueing
    std::string file;       // the final names, when captured
    std::string framemd5;
    std::string timecodes;
    std::string reportFile;
    int sampleRate = 0;  // the sound kept, when the input had any
    int64_t samples = 0;
    std::vector<ChannelReport> channels;
    // From a sound device apart from the picture's: how much faster its clock ran, and how far
    // the sound ends after the picture, its samples kept as they came.
    std::optional<double> driftPpm;
    std::optional<double> partingMs;
    hostkit::Json provenance;  // what made the file: also attached to it
    std::optional<LtcCheck> ltc;
    std::optional<QualitySummary> quality;
    std::optional<Conformance> conformance;  // the file checked against `policy`
    std::string policy;
};

// Captured, and (when checked) conforming: what the exit status counts as done.
bool Whole(const ClipReport& report);

// A channel is silent when its peak stays below this.
constexpr double kSilentDbfs = -60.0;

const char* StatusName(ClipStatus status);
hostkit::Json ReportJson(const ClipReport& report);
// "100.28 ms" for 0.10028 s: offsets and latencies as the words about them give them.
std::string MillisText(double seconds);
// "clip 3 "name" 00:01:00:00-00:01:05:00 (125 frames): captured 125, ..."
std::string ReportLine(const ClipReport& report);
// "QC: ch 4 silent throughout; frozen picture for 2.40 s, ...", or "" without a check.
std::string QualityLine(const ClipReport& report);

}  // namespace capture
