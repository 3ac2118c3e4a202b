// One capture job as a user starts it, from `deckctl capture` or from the page: the clips of the
// log as the engine takes them, the input opened, the engine's options made from the user's,
// the calibrated offset looked up, and a calibration measured, judged and stored.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/capture/calibration.h"
#include "tools/capture/conformance.h"
#include "tools/capture/deck_control.h"
#include "tools/capture/input.h"
#include "tools/capture/options.h"
#include "tools/capture/report.h"
#include "tools/cliplog/clip_log.h"
#include "tools/hostkit/json.h"

namespace capture {

// A logged clip as the engine takes it, its files named after its reel, id and name.
ClipRequest RequestOf(const cliplog::Clip& clip);

// The calibration store's file: `file`, or the default one when it is empty.
std::string StoreFile(const std::string& file);
// The offset stored for a deck, input and rate; nullopt when there is none, or when the store
// cannot be read (then with the reason in `error`).
std::optional<CalibrationEntry> StoredOffset(const std::string& file, const std::string& deck,
                                             const std::string& input,
                                             const hostkit::RateInfo& rate, std::string* error);

struct JobOptions {
    std::string input;  // any FFmpeg input
    std::string inputFormat;
    std::string soundInput;  // the sound from a device of its own; "" for the input's
    std::string soundInputFormat;
    std::chrono::milliseconds inputLimit{5000};  // an input silent this long is refused
    std::string folder;
    double preroll = 5.0;
    int handles = 0;
    int retries = 2;
    double offset = 0.0;          // seconds, as calibrated
    std::string calibrated;       // when the offset was measured; "" when it was given
    std::string calibrationFile;  // "" for the default store
    bool requireSound = false;    // an input without sound is refused
    int ltcChannel = 0;           // frames labelled from LTC on this channel (from 1)
    bool check = false;           // each file checked against `policy` (the built-in one if "")
    std::string policy;
    bool quality = true;            // each clip's picture and sound checked as it is captured
    std::shared_ptr<InputTap> tap;  // shown the input's frames and sound (a page's preview)
    std::function<void(const Progress&)> progress;
    const std::atomic<bool>* cancel = nullptr;
};

// A calibration as measured, and what became of it.
struct CalibrationOutcome {
    CalibrationResult result;
    std::string verdict;  // why it was not stored, in words; "" when it was
    std::string file;     // the store
    hostkit::Json Json(const std::string& deck, const std::string& input,
                       const hostkit::RateInfo& rate) const;
};

class CaptureJob {
  public:
    CaptureJob(DeckControl& deck, JobOptions options);

    // Opens the input (and readies the check); false with the reason when it cannot be opened
    // or gives no frame, or the check cannot be made.
    bool OpenInput(std::string* error);
    // The offset, in seconds, when it is known only once the deck is connected, and when it was
    // measured ("" for one given); none when LTC labels the frames without a calibration.
    void SetOffset(std::optional<double> seconds, const std::string& calibrated) {
        m_bOffsetKnown = seconds.has_value();
        m_Options.offset = seconds.value_or(0.0);
        m_Options.calibrated = calibrated;
    }
    // The clips captured in order, one report each (the input opened first).
    std::vector<ClipReport> Capture(const std::vector<ClipRequest>& clips);
    // Measures the offset on `seconds` of tape from `at` and stores it when sound.
    CalibrationOutcome Calibrate(int64_t at, double seconds);
    // The report of each clip when the job never reached the deck, with the reason.
    std::vector<ClipReport> NotAttempted(const std::vector<ClipRequest>& clips,
                                         const std::string& why) const;

  private:
    EngineOptions Engine() const;
    // The input as the capture takes it: the picture's, with the sound device's beside it.
    FrameSource& Source();

    DeckControl& m_Deck;
    JobOptions m_Options;
    InputReader m_Input;
    InputReader m_SoundInput;
    std::unique_ptr<SplitInput> m_pSplit;
    std::unique_ptr<PolicyCheck> m_Check;
    bool m_bOffsetKnown = true;
};

}  // namespace capture
