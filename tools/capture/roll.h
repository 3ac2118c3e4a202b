// One run of the tape: the cue, play, the servo's lock and the line the time reads make.
// A clip's take and a calibration's run each roll the tape once per attempt.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>

#include "tools/capture/deck_control.h"
#include "tools/capture/labeller.h"
#include "tools/capture/options.h"

namespace capture {

class Roll {
  public:
    enum class Step { kOk, kLost, kBreak, kLeftPlay };

    Roll(DeckControl& deck, const EngineOptions& options);

    // Cues to `target` and waits until the deck is there (kCaptured), or says why not.
    End Cue(int64_t target, std::string* words, double* seconds);
    End Play(std::string* words);

    // One question to the deck: whether it plays until the servo locks, then time reads with
    // now and then the question again.
    Step Exchange();
    // What is left of the exchange's cycle on a fast line.
    std::chrono::milliseconds Rest();

    bool Locked() const { return m_bLocked; }
    double LockAt() const { return m_dLockAt; }
    double PlayAt() const { return m_dPlayAt; }
    int64_t LastFrames() const { return m_nLastFrames; }
    PlayLine& Line() { return m_Line; }

    bool Cancelled() const;
    // A tape position in words, at the deck's rate.
    std::string Time(int64_t frames) const;

  private:
    End WaitCue(int64_t target, std::string* words);
    template <typename Send>
    bool Command(Send send, std::string* words);
    End Refused();

    DeckControl& m_Deck;
    const EngineOptions& m_Options;
    PlayLine m_Line;
    bool m_bLocked = false;
    double m_dLockAt = 0;
    double m_dPlayAt = 0;
    int m_nTurn = 0;
    int m_nUnanswered = 0;
    int m_nNotPlaying = 0;
    Clock::time_point m_AnsweredAt = Clock::now();
    int64_t m_nLastFrames = 0;
    Clock::time_point m_CycleStart;
    std::minstd_rand m_Dither;
};

}  // namespace capture
