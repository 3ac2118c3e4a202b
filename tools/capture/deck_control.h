// What the capture needs of a deck, whoever drives it: `deckctl capture` through the module
// on a port of its own (ModuleDeck), or a server's deck thread that already owns the port.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/hostkit/timecode.h"

namespace capture {

using Clock = std::chrono::steady_clock;

// One time read: what the deck said and when the question went out. The deck takes its time
// as the question reaches it; the constant from there to `taken` is part of the calibrated
// capture offset.
struct TimeRead {
    bool answered = false;
    bool sure = false;   // stamped well enough to place the tape (the host was not held up)
    int64_t frames = 0;  // real frames at the deck's rate
    Clock::time_point taken;
    Clock::time_point done;
};

class DeckControl {
  public:
    virtual ~DeckControl() = default;

    virtual const hostkit::RateInfo& Rate() const = 0;
    // The deck for people and for the calibration store, e.g. "port 1 (/dev/ttyS0)".
    virtual std::string Name() const = 0;

    // Starts a cue to `frames`; false with the reason when the deck did not take it.
    virtual bool Cue(int64_t frames, std::string* error) = 0;
    // Whether the cue has ended; nullopt when the deck did not answer.
    virtual std::optional<bool> CueDone() = 0;
    virtual bool Play(std::string* error) = 0;
    // Brings the tape to rest; false with the reason when the deck did not stop.
    virtual bool Stop(std::string* error) = 0;
    // Playing at speed with the servo locked; nullopt when the deck did not answer.
    virtual std::optional<bool> Playing() = 0;
    virtual TimeRead ReadTime() = 0;
    // After the deck stopped answering: gets it back within `limit`, or false.
    virtual bool Recover(std::chrono::milliseconds limit, const std::atomic<bool>* cancel) = 0;
};

}  // namespace capture
