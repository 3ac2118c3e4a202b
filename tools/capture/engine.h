// A batch capture: for each clip, cue to its in-point less the preroll, play, label every
// arriving frame from the deck's time reads and the calibrated capture offset, keep in to out,
// write the files, stop the deck; retry a clip whose in-point was missed or that has a break
// or a gap inside, and say in words what became of it. A library: `deckctl capture` drives
// it, and a server can, through its own DeckControl, progress callback and cancel flag.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/capture/calibration.h"
#include "tools/capture/deck_control.h"
#include "tools/capture/input.h"
#include "tools/capture/report.h"

namespace capture {

struct Progress {
    std::size_t clip = 0;  // 0-based, in the batch
    std::size_t clips = 0;
    int attempt = 1;
    std::string phase;   // "cue", "preroll", "capture", "finish", "done"
    int64_t frames = 0;  // kept so far in this attempt
    int64_t wanted = 0;
    const ClipReport* report = nullptr;  // with "done"
};

struct EngineOptions {
    std::string folder;
    double preroll = 5.0;  // seconds
    int handles = 0;       // frames kept either side of in and out
    int retries = 2;
    double offset = 0.0;  // seconds: the capture path's latency, from calibration
    std::chrono::milliseconds cueLimit{120000};
    std::chrono::milliseconds recoverLimit{10000};
    std::function<void(const Progress&)> progress;
    const std::atomic<bool>* cancel = nullptr;
};

struct CalibrationResult {
    bool ok = false;
    std::string error;
    double offset = 0.0;  // seconds
    double spread = 0.0;  // seconds between the earliest and the latest frame's own offset
    int frames = 0;       // frames with a readable stripe, measured
    int agree = 0;        // of them, labelled as their stripe with `offset`
    int unreadable = 0;   // frames after the lock without a readable stripe
    int retries = 0;      // runs of the stretch tried again (the deck left play, or was lost)
};

// Whether a rate's time reads give every frame: above 30 frames a second decks report frame
// pairs, so a capture cannot be frame-exact. The reason in words when not.
bool ExactRate(const hostkit::RateInfo& rate, std::string* why);

// Why a calibration may not be stored, in words; "" when it may: every frame measured must be
// labelled as its stripe, and the path's latency vary by less than half a frame.
std::string CalibrationVerdict(const CalibrationResult& result, const hostkit::RateInfo& rate);
// The store's entry for a calibration of `deck` (DeckControl::Name) and `input`, measured now.
CalibrationEntry CalibrationOf(const CalibrationResult& result, const std::string& deck,
                               const std::string& input, const hostkit::RateInfo& rate);

class CaptureEngine {
  public:
    CaptureEngine(DeckControl& deck, InputReader& input, EngineOptions options);

    // Captures the clips in order; a report for each. The files and a JSON report per clip
    // go to the folder.
    std::vector<ClipReport> Run(const std::vector<ClipRequest>& clips);

    // Plays `seconds` of tape from `at` and measures the capture offset against the
    // position stripe the frames carry; tried again, as a clip is, when the deck left play or
    // stopped answering.
    CalibrationResult Calibrate(int64_t at, double seconds);

  private:
    enum class End { kCaptured, kRetry, kDeckLost, kFail, kFatal, kCancelled };
    struct Attempt {
        End end = End::kFail;
        std::string words;
        double lockDelay = -1;  // seconds from play to the servo's lock, when known
    };
    class Roll;
    class Take;

    Attempt Capture(const ClipRequest& clip, double preroll, std::size_t index, int attempt,
                    ClipReport& report);
    CalibrationResult CalibrateOnce(int64_t at, double seconds, End* end);
    End CalibrationStep(Roll& roll, std::string* words);
    void CaptureClip(std::size_t index, ClipReport& report);
    bool Cancelled() const;
    void Tell(std::size_t index, int attempt, const char* phase, int64_t frames, int64_t wanted,
              const ClipReport* report = nullptr) const;
    std::string Time(int64_t frames) const;

    DeckControl& m_Deck;
    InputReader& m_Input;
    EngineOptions m_Options;
    double m_dFps;
    std::size_t m_nClips = 0;
    std::string m_BatchFailure;  // once set, the rest of the batch is not attempted
};

}  // namespace capture
