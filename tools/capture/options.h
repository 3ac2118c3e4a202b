// What a capture is told: where its files go, how it rolls the tape, the calibrated offset,
// and where its progress goes. The batch, each take and a calibration's run all read it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "tools/capture/report.h"

namespace capture {

class ClipFiles;

struct Progress {
    std::size_t clip = 0;  // 0-based, in the batch
    std::size_t clips = 0;
    int attempt = 1;
    std::string phase;   // "cue", "preroll", "capture", "finish", "done"
    int64_t frames = 0;  // kept so far in this attempt
    int64_t wanted = 0;
    std::string timecode;  // the tape's, as last kept or read; "" before any
    int64_t lost = 0;      // frames lost so far in this attempt, and repeated
    int64_t repeated = 0;
    double inputFps = 0;                 // the rate the input's frames come at
    double secondsLeft = 0;              // about, for the rest of the batch
    const ClipReport* report = nullptr;  // with "done"
};

struct EngineOptions {
    std::string folder;
    double preroll = 5.0;  // seconds
    int handles = 0;       // frames kept either side of in and out
    int retries = 2;
    double offset = 0.0;      // seconds: the capture path's latency, from calibration
    bool offsetKnown = true;  // false: labelled from LTC, the offset measured against it
    std::string offsetSource = "calibration";  // or "given"
    int ltcChannel = 0;  // frames labelled from LTC on this channel (from 1); 0: serial time
    std::chrono::milliseconds cueLimit{120000};
    std::chrono::milliseconds recoverLimit{10000};
    std::function<void(const Progress&)> progress;
    const std::atomic<bool>* cancel = nullptr;
    // A clip's files for each attempt; FFV1 in Matroska and framemd5 (ClipWriter) when unset.
    std::function<std::unique_ptr<ClipFiles>()> files;
    // What made the files, as the job knows it: each take adds the deck and its times.
    hostkit::Json provenance;
    // When set, each captured clip's file is checked against `policy`.
    std::function<Conformance(const std::string& file)> check;
    std::string policy;
    // Each clip's quality checked as it is captured; `qualityPace`, when set, runs before each
    // item the check takes (a test's slow check).
    bool quality = true;
    std::function<void()> qualityPace;
};

// How a stage, an attempt at a clip or a calibration's run ended.
enum class End { kCaptured, kRetry, kDeckLost, kFail, kFatal, kCancelled };

}  // namespace capture
