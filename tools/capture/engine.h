// A batch capture: for each clip, a take (take.h) cues to its in-point less the preroll, plays,
// labels every arriving frame from the deck's time reads and the calibrated capture offset,
// keeps in to out, writes the files and stops the deck; the batch retries a clip whose in-point
// was missed or that has a break or a gap inside, and says in words what became of it. A
// capture job (job.h) runs it for `deckctl capture` and for the panel's batches.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/capture/calibration.h"
#include "tools/capture/deck_control.h"
#include "tools/capture/input.h"
#include "tools/capture/options.h"
#include "tools/capture/report.h"
#include "tools/capture/take.h"

namespace capture {

// Whether a rate's time reads give every frame: above 30 frames a second decks report frame
// pairs, so a capture cannot be frame-exact. The reason in words when not.
bool ExactRate(const hostkit::RateInfo& rate, std::string* why);

class CaptureEngine {
  public:
    CaptureEngine(DeckControl& deck, FrameSource& input, EngineOptions options);

    // Captures the clips in order; a report for each. The files and a JSON report per clip
    // go to the folder.
    std::vector<ClipReport> Run(const std::vector<ClipRequest>& clips);

  private:
    void CaptureClip(std::size_t index, ClipReport& report);
    bool Cancelled() const;
    void Tell(std::size_t index, int attempt, const TakeNews& news,
              const ClipReport* report = nullptr) const;

    DeckControl& m_Deck;
    FrameSource& m_Input;
    EngineOptions m_Options;
    std::size_t m_nClips = 0;
    std::vector<int64_t> m_Frames;  // each clip's frames, for the time left
    std::string m_BatchFailure;     // once set, the rest of the batch is not attempted
};

}  // namespace capture
