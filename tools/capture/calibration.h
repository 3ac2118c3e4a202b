// The capture offset: measured on a stretch of tape whose frames carry their position, judged,
// and kept per deck, input and rate in one JSON file,
// ${XDG_DATA_HOME:-~/.local/share}/tapedeck5500/capture.json, replaced whole on each change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/hostkit/timecode.h"

namespace capture {

class DeckControl;
class FrameSource;
struct EngineOptions;

struct CalibrationEntry {
    std::string deck;   // DeckControl::Name()
    std::string input;  // the input's URL as given
    std::string rate;   // the rate it was measured at
    double offsetMs = 0;
    double spreadMs = 0;
    int frames = 0;
    std::string measured;  // UTC, ISO 8601
};

class CalibrationStore {
  public:
    static std::string DefaultPath();

    // A missing file is an empty store; a file that is not one is refused in words.
    bool Load(const std::string& path, std::string* error);
    std::optional<CalibrationEntry> Find(const std::string& deck, const std::string& input,
                                         const std::string& rate) const;
    // Adds the entry, replacing one for the same deck, input and rate, to the file as it is
    // now (other writers' entries kept), and writes it.
    bool Put(const CalibrationEntry& entry, std::string* error);
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
    std::vector<CalibrationEntry> m_Entries;
};

// The moment now as a calibration stamps it.
std::string UtcNow();

struct CalibrationResult {
    bool ok = false;
    std::string error;
    double offset = 0.0;  // seconds
    double spread = 0.0;  // seconds between the earliest and the latest frame's own offset
    int frames = 0;       // frames with a readable stripe, measured
    int agree = 0;        // of them, labelled as their stripe with `offset`
    int unreadable = 0;   // frames after the lock without a readable stripe
    int retries = 0;      // runs of the stretch tried again (the deck left play, or was lost)
    std::string against = "stripe";  // what gave each frame's position: "stripe" or "LTC"
};

// Plays `seconds` of tape from `at` (less the preroll) and measures the capture offset against
// the position stripe the frames carry, or with `options.ltcChannel` the LTC that comes with
// them; tried again, as a clip is, when the deck left play or stopped answering.
CalibrationResult MeasureOffset(DeckControl& deck, FrameSource& input, const EngineOptions& options,
                                int64_t at, double seconds);

// Why a calibration may not be stored, in words; "" when it may: every frame measured must be
// labelled as its stripe, and the path's latency vary by less than half a frame.
std::string CalibrationVerdict(const CalibrationResult& result, const hostkit::RateInfo& rate);
// The store's entry for a calibration of `deck` (DeckControl::Name) and `input`, measured now.
CalibrationEntry CalibrationOf(const CalibrationResult& result, const std::string& deck,
                               const std::string& input, const hostkit::RateInfo& rate);

}  // namespace capture
