// The capture's deck in the server: its deck thread stays the only caller of Main. Commands
// and questions go through the thread's queue, taken between its own exchanges as clients'
// are; the time reads are the thread's own, each with the moment its question went out.
#pragma once

#include "tools/capture/deck_control.h"
#include "tools/decks/deck_worker.h"

namespace panel {

class WorkerDeck : public capture::DeckControl {
  public:
    WorkerDeck(decks::DeckWorker& worker, const hostkit::RateInfo& rate);

    const hostkit::RateInfo& Rate() const override { return m_Rate; }
    // As `deckctl capture` names the deck on the same port, so that both share calibrations.
    std::string Name() const override;
    bool Cue(int64_t frames, std::string* error) override;
    std::optional<bool> CueDone() override;
    bool Play(std::string* error) override;
    bool Stop(std::string* error) override;
    std::optional<bool> Playing() override;
    capture::TimeRead ReadTime() override;
    bool Recover(std::chrono::milliseconds limit, const std::atomic<bool>* cancel) override;

  private:
    // A command or question through the queue; the reason in words when it failed.
    bool Send(decks::DeckAction action, int64_t value, decks::DeckReply* reply);
    // The tape moves on a command: time reads whose questions went out before it are stale.
    void Moved();

    decks::DeckWorker& m_Worker;
    const hostkit::RateInfo& m_Rate;
    uint64_t m_nLastRead = 0;
    capture::Clock::time_point m_Since;
    capture::Clock::duration m_Quickest = capture::Clock::duration::max();
};

}  // namespace panel
