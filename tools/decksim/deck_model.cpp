#include "tools/decksim/deck_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace decksim {

namespace {

constexpr double kShuttleSpeed = 2.0;
constexpr double kWindSpeed = 20.0;
constexpr double kVarStep = 0.25;  // each variable-speed step is a quarter of play speed

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

void Put(std::array<uint8_t, 10>& s, Bit b, bool on) {
    if (on) {
        s[b.byte] |= b.mask;
    }
}

}  // namespace

const char* TransportName(Transport t) {
    switch (t) {
        case Transport::kStandby:
            return "standby";
        case Transport::kStopped:
            return "stopped";
        case Transport::kStill:
            return "still";
        case Transport::kPlay:
            return "play";
        case Transport::kShuttle:
            return "shuttle";
        case Transport::kWind:
            return "wind";
        case Transport::kVarSpeed:
            return "var-speed";
        case Transport::kCue:
            return "cue";
    }
    return "?";
}

std::string FormatTime(int64_t frames, const TimeBase& base) {
    return hostkit::FormatTimecode(frames, base);
}

bool ParseTime(const std::string& text, const TimeBase& base, int64_t* frames) {
    const bool plus = !text.empty() && text[0] == '+';
    const hostkit::ParsedTimecode p = hostkit::ParseTimecode(plus ? text.substr(1) : text, base);
    if (p.ok) {
        *frames = p.frames;
    }
    return p.ok;
}

double ExactFps(double fps) {
    for (const double exact : {24000.0 / 1001.0, 30000.0 / 1001.0, 60000.0 / 1001.0}) {
        if (std::fabs(fps - exact) < 0.005) {
            return exact;
        }
    }
    return fps;
}

namespace {

// The name hosts give a rate: one of theirs where it is one, else the whole rate.
std::string RateName(double fps, const TimeBase& base) {
    for (const hostkit::RateInfo& r : hostkit::Rates()) {
        if (r.base == base && std::fabs(r.fps - fps) < 1e-9) {
            return r.name;
        }
    }
    return std::to_string(base.whole);
}

}  // namespace

DeckModel::DeckModel(double fps, int videoSystem, Clock::time_point now, DeckTiming timing,
                     bool dropFrame)
    : m_dFps(fps),
      m_Base{std::max(1, static_cast<int>(std::lround(fps))), dropFrame},
      m_RateName(RateName(fps, m_Base)),
      m_nDayFrames(hostkit::DayFrames(m_Base)),
      m_nEarliest(hostkit::SignedEarliest(m_Base)),
      // The second frame of the latest pair shows that pair's label.
      m_nLatest(hostkit::SignedLatest(m_Base) + hostkit::Resolution(m_Base) - 1),
      m_nVideoSystem(videoSystem),
      m_Timing(timing),
      m_AnchorTime(now),
      m_SettledAt(now),
      m_ThreadedAt(now) {}

double DeckModel::PositionAt(Clock::time_point t) const {
    if (t <= m_AnchorTime) {
        return m_dAnchorFrames;
    }
    if (m_Mode == Transport::kCue) {
        if (t >= m_CueEnd) {
            return m_dCueTarget;
        }
        const double part = Seconds(t - m_AnchorTime) / Seconds(m_CueEnd - m_AnchorTime);
        return m_dAnchorFrames + (m_dCueTarget - m_dAnchorFrames) * part;
    }
    return m_dAnchorFrames + m_dSpeed * m_dFps * Seconds(t - m_AnchorTime);
}

void DeckModel::Advance(Clock::time_point now) {
    if (m_Mode == Transport::kCue && now >= m_CueEnd) {
        m_dAnchorFrames = m_dCueTarget;
        m_AnchorTime = m_CueEnd;
        m_Mode = Transport::kStill;
        m_dSpeed = 0.0;
        m_SettledAt = m_CueEnd;
    }
    if (m_TapeEnd && m_Mode != Transport::kCue && m_dSpeed > 0 && now > m_AnchorTime &&
        PositionAt(now) >= static_cast<double>(*m_TapeEnd)) {
        // Run off the end of the tape: the deck stops where it ran out.
        const double end = static_cast<double>(*m_TapeEnd);
        const auto run = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
            std::max(0.0, end - m_dAnchorFrames) / (m_dSpeed * m_dFps)));
        m_AnchorTime += run;
        m_dAnchorFrames = end;
        m_Mode = Transport::kStopped;
        m_dSpeed = 0.0;
        m_SettledAt = m_AnchorTime + m_Timing.settle;
    }
}

void DeckModel::Anchor(Clock::time_point now) {
    // The counter wraps at 24 hours each way, like the deck's own.
    const double day = static_cast<double>(m_nDayFrames);
    const double at = std::fmod(PositionAt(now), day);
    // Whole frames move by whole days, so the fraction of the frame in progress stays.
    m_dAnchorFrames = at + static_cast<double>(Shown(static_cast<int64_t>(std::floor(at))) -
                                               static_cast<int64_t>(std::floor(at)));
    m_AnchorTime = std::max(now, m_AnchorTime);
}

void DeckModel::Begin(Transport mode, double speed, Clock::time_point now) {
    Advance(now);
    Anchor(now);
    m_Mode = mode;
    m_dSpeed = speed;
    if (mode != Transport::kStopped && !m_bThreaded) {
        // Moving the tape needs it threaded first; it starts when threading ends.
        m_bThreaded = true;
        m_ThreadedAt = std::max(now, m_ThreadedAt) + m_Timing.thread;
        m_AnchorTime = m_ThreadedAt;
    }
    m_SettledAt = m_AnchorTime + m_Timing.settle;
}

void DeckModel::Play(Clock::time_point now) {
    if (m_Reference && Mode(now) == Transport::kPlay) {
        return;  // already running in step with the reference
    }
    Begin(Transport::kPlay, 1.0, now);
    if (m_Reference) {
        // The tape starts on the frame it shows, at the reference's next frame boundary, so
        // its frames change in step with the picture's.
        const double ticks = std::ceil(Seconds(m_AnchorTime - *m_Reference) * m_dFps - 1e-9);
        m_AnchorTime = *m_Reference + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(ticks / m_dFps));
        m_dAnchorFrames = std::floor(m_dAnchorFrames + 1e-6);
    }
    m_SettledAt = m_AnchorTime + std::max(m_Timing.settle, m_Timing.lock);
}

void DeckModel::Stop(Clock::time_point now) {
    const Transport mode = Mode(now);
    if (mode == Transport::kStandby || mode == Transport::kStopped) {
        // Already at rest, or coming to rest: a host repeating stop until the deck reports
        // stopped must not restart the settling each time.
        return;
    }
    Begin(Transport::kStopped, 0.0, now);
}

void DeckModel::Pause(Clock::time_point now) {
    Begin(Transport::kStill, 0.0, now);
}

void DeckModel::Standby(Clock::time_point now) {
    Begin(Transport::kStopped, 0.0, now);
    if (m_bThreaded) {
        m_bThreaded = false;
        m_ThreadedAt = std::max(now, m_ThreadedAt) + m_Timing.thread;
    }
    m_Mode = Transport::kStandby;
}

void DeckModel::Shuttle(bool forward, bool fast, Clock::time_point now) {
    const double speed = fast ? kWindSpeed : kShuttleSpeed;
    Begin(fast ? Transport::kWind : Transport::kShuttle, forward ? speed : -speed, now);
}

void DeckModel::VarSpeed(bool forward, int step, Clock::time_point now) {
    Begin(Transport::kVarSpeed, (forward ? 1 : -1) * step * kVarStep, now);
}

void DeckModel::Cue(int64_t target, Clock::time_point now) {
    if (m_TapeEnd) {
        target = std::min(target, *m_TapeEnd);  // the search stops where the tape does
    }
    Begin(Transport::kCue, 0.0, now);
    target = Shown(target % m_nDayFrames);
    const double distance = std::fabs(static_cast<double>(target) - m_dAnchorFrames);
    const auto wind = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(distance / (m_Timing.cueRate * m_dFps)));
    const auto total = std::min<Clock::duration>(m_Timing.settle + wind, m_Timing.cueMax);
    m_dCueTarget = static_cast<double>(target);
    m_CueEnd = m_AnchorTime + total;
    m_SettledAt = m_CueEnd;
}

int64_t DeckModel::Frames(Clock::time_point now) {
    Advance(now);
    const int64_t day = m_nDayFrames;
    // The epsilon keeps whole frames whole despite the floating-point product.
    const auto n = static_cast<int64_t>(std::floor(PositionAt(now) + 1e-6));
    return Shown(n % day);
}

bool DeckModel::InRange(int64_t frames) const {
    return m_nVideoSystem != 4 || (frames >= m_nEarliest && frames <= m_nLatest);
}

int64_t DeckModel::Shown(int64_t frames) const {
    if (m_nVideoSystem != 4) {
        return frames;
    }
    if (frames > m_nLatest) {
        return frames - m_nDayFrames;
    }
    return frames < m_nEarliest ? frames + m_nDayFrames : frames;
}

void DeckModel::SetFrames(int64_t frames, Clock::time_point now) {
    Advance(now);
    Anchor(now);
    m_dAnchorFrames = static_cast<double>(Shown(frames % m_nDayFrames));
    if (m_Mode == Transport::kCue) {
        m_dCueTarget = m_dAnchorFrames;  // setting the counter ends the search where it is
    }
}

double DeckModel::Speed(Clock::time_point now) {
    Advance(now);
    if (now < m_AnchorTime) {
        return 0.0;
    }
    if (m_Mode == Transport::kCue) {
        return (m_dCueTarget - m_dAnchorFrames) / (m_dFps * Seconds(m_CueEnd - m_AnchorTime));
    }
    return m_dSpeed;
}

Transport DeckModel::Mode(Clock::time_point now) {
    Advance(now);
    return m_Mode;
}

std::array<uint8_t, 10> DeckModel::Status(Clock::time_point now) {
    Advance(now);
    std::array<uint8_t, 10> s{};
    const bool settled = now >= m_SettledAt;
    const bool mechanismIdle = now >= m_ThreadedAt;
    const Transport mode = m_Mode;

    Put(s, bits::kStandby, !m_bThreaded && mechanismIdle);
    Put(s, bits::kPlayMode, mode == Transport::kPlay);
    Put(s, bits::kStillMode, mode == Transport::kStill);
    Put(s, bits::kWindMode, mode == Transport::kWind);
    Put(s, bits::kShuttleMode, mode == Transport::kShuttle);
    Put(s, bits::kVarMode, mode == Transport::kVarSpeed);
    Put(s, bits::kCueMode, mode == Transport::kCue);
    Put(s, bits::kReverse,
        m_dSpeed < 0 || (mode == Transport::kCue && m_dCueTarget < m_dAnchorFrames));
    Put(s, bits::kServoUnlocked, !settled || mode == Transport::kCue);
    Put(s, bits::kStopped, (mode == Transport::kStopped || mode == Transport::kStandby) && settled);
    Put(s, bits::kThreaded, m_bThreaded ? mechanismIdle : !mechanismIdle);  // until it is off
    Put(s, bits::kPlaying, mode == Transport::kPlay && settled);
    Put(s, bits::kCueBusy, mode == Transport::kCue);
    Put(s, bits::kThreading, !mechanismIdle);

    for (size_t i = 0; i < s.size(); ++i) {
        s[i] = static_cast<uint8_t>((s[i] | m_ForceSet[i]) & ~m_ForceClear[i]);
    }
    return s;
}

void DeckModel::SetBreak(int64_t at, int64_t jump) {
    m_nBreakAt = at;
    m_nBreakJump = jump;
}

int64_t DeckModel::LabelFrames(Clock::time_point now) {
    const int64_t tape = Frames(now);
    return m_nBreakJump != 0 && tape >= m_nBreakAt ? (tape + m_nBreakJump) % m_nDayFrames : tape;
}

int64_t DeckModel::TapeOfLabel(int64_t label) const {
    if (m_nBreakJump != 0 && label >= m_nBreakAt && label - m_nBreakJump >= m_nBreakAt) {
        return label - m_nBreakJump;
    }
    return label;
}

void DeckModel::SetVideoReference(Clock::time_point origin) {
    m_Reference = origin;
}

void DeckModel::ForceBit(int byte, int bit, std::optional<bool> value) {
    const auto mask = static_cast<uint8_t>(1u << bit);
    m_ForceSet[byte] &= static_cast<uint8_t>(~mask);
    m_ForceClear[byte] &= static_cast<uint8_t>(~mask);
    if (value) {
        (*value ? m_ForceSet : m_ForceClear)[byte] |= mask;
    }
}

}  // namespace decksim
