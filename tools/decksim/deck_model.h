// The virtual deck's transport: a time counter that runs with the tape, and the ten status
// bytes derived from it. Every call takes the current time, so tests can drive it exactly.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/hostkit/timecode.h"

namespace decksim {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

enum class Transport { kStandby, kStopped, kStill, kPlay, kShuttle, kWind, kVarSpeed, kCue };

const char* TransportName(Transport t);

// Status bits the deck reports, as (byte, mask).
struct Bit {
    int byte;
    uint8_t mask;
};
namespace bits {
constexpr Bit kNotReady{0, 0x01};  // set only through the control channel
constexpr Bit kStandby{0, 0x08};   // tape unthreaded; no cue possible
constexpr Bit kPlayMode{1, 0x01};  // informative mode bits of byte 1
constexpr Bit kStillMode{1, 0x02};
constexpr Bit kReverse{1, 0x04};
constexpr Bit kWindMode{1, 0x08};
constexpr Bit kShuttleMode{1, 0x10};
constexpr Bit kVarMode{1, 0x20};
constexpr Bit kCueMode{1, 0x40};
constexpr Bit kServoUnlocked{2, 0x02};  // transport changing speed, or cueing
constexpr Bit kStopped{3, 0x10};        // tape at rest after a stop (or in standby)
constexpr Bit kThreaded{3, 0x20};       // tape wrapped round the drum
constexpr Bit kPlaying{3, 0x80};        // playing at normal speed, servo locked
constexpr Bit kCueBusy{5, 0x08};        // a cue is running; no new cue possible
constexpr Bit kThreading{5, 0x10};      // tape being threaded; not ready
}  // namespace bits

struct DeckTiming {
    Millis settle{100};     // a transport change until the servo locks / the tape rests
    Millis thread{300};     // threading or unthreading the tape
    double cueRate = 60.0;  // cue winding speed, in play speeds
    Millis cueMax{1500};    // a cue never takes longer than this, however far it goes
    Millis lock{0};         // play until the servo locks, when longer than settle
};

using hostkit::TimeBase;

// "HH:MM:SS:FF" or "-HH:MM:SS:FF" for a signed count of real frames; ';' before the frames
// in drop frame.
std::string FormatTime(int64_t frames, const TimeBase& base);
// Parses the form above, '+' first allowed; fields beyond their range (minutes 60, frames >=
// the whole rate) and labels drop frame skips are refused.
bool ParseTime(const std::string& text, const TimeBase& base, int64_t* frames);
inline bool ParseTime(const std::string& text, int nominalFps, int64_t* frames) {
    return ParseTime(text, TimeBase{nominalFps, false}, frames);
}
inline std::string FormatTime(int64_t frames, int nominalFps) {
    return FormatTime(frames, TimeBase{nominalFps, false});
}

// The real rate of a --fps value: 29.97, 59.94 and 23.98 name the 1001-based rates.
double ExactFps(double fps);

class DeckModel {
  public:
    // The counter runs in real frames at fps (see ExactFps) and shows labels at its whole rate,
    // in drop frame when dropFrame is set (29.97 and 59.94 only).
    DeckModel(double fps, int videoSystem, Clock::time_point now, DeckTiming timing = {},
              bool dropFrame = false);

    // Wire commands: obeyed at once; the status bits follow after the delays of DeckTiming.
    void Play(Clock::time_point now);
    void Stop(Clock::time_point now);
    void Pause(Clock::time_point now);
    void Standby(Clock::time_point now);
    void Shuttle(bool forward, bool fast, Clock::time_point now);
    // step -4..+4 from the variable-speed digit, direction from the command byte.
    void VarSpeed(bool forward, int step, Clock::time_point now);
    void Cue(int64_t target, Clock::time_point now);

    int64_t Frames(Clock::time_point now);
    void SetFrames(int64_t frames, Clock::time_point now);
    // Speed in play speeds, negative in reverse.
    double Speed(Clock::time_point now);
    Transport Mode(Clock::time_point now);
    std::array<uint8_t, 10> Status(Clock::time_point now);

    // Pins a status bit to a value, or hands it back to the model with nullopt.
    void ForceBit(int byte, int bit, std::optional<bool> value);

    // The tape ends at `frames`: forward motion stops there and a cue past it ends there.
    // Without an end the tape is the counter's whole day.
    void SetTapeEnd(std::optional<int64_t> frames) { m_TapeEnd = frames; }
    std::optional<int64_t> TapeEnd() const { return m_TapeEnd; }
    // A timecode break recorded on the tape: from tape frame `at` on, the deck's time reads
    // `jump` frames later while the tape runs on. Jump 0 removes it.
    void SetBreak(int64_t at, int64_t jump);
    // The deck's time as it reports it: the tape position with the break applied.
    int64_t LabelFrames(Clock::time_point now);
    // The tape position that carries a reported time (the earlier one where a break repeats
    // times).
    int64_t TapeOfLabel(int64_t label) const;
    // The video reference the deck's picture runs on, frames at fps from `origin`: play
    // starts the tape on one of its frame boundaries, as a servo locking to it does.
    void SetVideoReference(Clock::time_point origin);
    void SetLockTime(Millis lock) { m_Timing.lock = lock; }

    int VideoSystem() const { return m_nVideoSystem; }
    void SetVideoSystem(int system) { m_nVideoSystem = system; }
    double Fps() const { return m_dFps; }
    int NominalFps() const { return m_Base.whole; }
    const TimeBase& Base() const { return m_Base; }
    // The rate by the name hosts give it (29.97, not 30), for messages.
    hostkit::RateInfo Rate() const { return {m_RateName.c_str(), m_Base, m_dFps}; }
    // A system-4 deck's time runs from just after -14:00:00:00 to +10:00:00:00, the times a
    // host reading it signed tells apart; past either end it runs on as the time a day away.
    bool InRange(int64_t frames) const;
    int64_t Earliest() const { return m_nEarliest; }
    int64_t Latest() const { return m_nLatest; }
    const DeckTiming& Timing() const { return m_Timing; }

  private:
    void Advance(Clock::time_point now);
    void Anchor(Clock::time_point now);
    void Begin(Transport mode, double speed, Clock::time_point now);
    double PositionAt(Clock::time_point t) const;
    // The counter's frames as the deck shows them: in range on a system-4 deck.
    int64_t Shown(int64_t frames) const;

    double m_dFps;
    TimeBase m_Base;
    std::string m_RateName;
    int64_t m_nDayFrames;  // real frames in 24 hours of labels
    int64_t m_nEarliest;   // a system-4 deck's range
    int64_t m_nLatest;
    int m_nVideoSystem;
    DeckTiming m_Timing;

    Transport m_Mode = Transport::kStopped;
    double m_dSpeed = 0.0;         // play speeds while moving freely
    double m_dAnchorFrames = 0.0;  // position at m_AnchorTime
    Clock::time_point m_AnchorTime;
    Clock::time_point m_SettledAt;  // servo locked / tape at rest from then on
    Clock::time_point m_ThreadedAt;
    bool m_bThreaded = true;  // target state of the threading mechanism

    // The running cue: linear from m_dAnchorFrames at m_AnchorTime to the target at m_CueEnd.
    double m_dCueTarget = 0.0;
    Clock::time_point m_CueEnd;

    std::optional<int64_t> m_TapeEnd;
    int64_t m_nBreakAt = 0;
    int64_t m_nBreakJump = 0;
    std::optional<Clock::time_point> m_Reference;

    std::array<uint8_t, 10> m_ForceSet{};
    std::array<uint8_t, 10> m_ForceClear{};
};

}  // namespace decksim
