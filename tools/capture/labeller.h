// Labelling captured frames with the deck's time: pure arithmetic, no devices.
//
// In play the tape moves at exactly one frame a frame, so the deck's time reads, each taken at
// a known moment, pin down one line: position(t) = p0 + fps * (t - t0). A read that shows frame
// L at t says position(t) lies in [L, L + 1); many reads at different phases of the frame
// narrow p0 to a small fraction of a frame. A frame of the picture then gets the label of the
// position at its arrival time less the capture path's latency (the calibrated offset).
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace capture {

// What a new time read says about the line.
enum class ReadFit {
    kAgrees,   // on the line (or the first reads of one)
    kPending,  // off the line: an outlier or the start of a break, not known yet
    kBreak,    // the deck's time left the line: a jump, or the tape stopped
};

struct BreakInfo {
    int64_t lastOnLine = 0;   // the last time read on the old line
    int64_t firstAfter = 0;   // the first read after it
    bool stopped = false;     // the reads after it hold the time it had: the tape stopped
    double lastOnLineAt = 0;  // when those two reads were taken
    double firstAfterAt = 0;
};

class PlayLine {
  public:
    // Reads needed before frames are labelled, and the reads kept (the newest).
    static constexpr std::size_t kMinReads = 4;
    static constexpr std::size_t kKeep = 400;
    // Reads off the line in a row that make a break rather than an outlier.
    static constexpr std::size_t kBreakReads = 3;

    explicit PlayLine(double fps) : m_dFps(fps) {}

    // A read taken at `t` seconds that showed `frames`.
    ReadFit Add(double t, int64_t frames);
    // The break the last kBreak was; the line then runs on from the reads after it.
    const BreakInfo& LastBreak() const { return m_Break; }

    bool Ready() const { return m_Reads.size() >= kMinReads; }
    // The time of the newest read on the line: frames up to here can be labelled safely.
    double CoveredUntil() const { return m_Reads.empty() ? -1e300 : m_Reads.back().t; }
    double Position(double t) const;
    int64_t Label(double t) const;
    // When the tape is at `position`.
    double TimeOf(double position) const;

  private:
    struct Read {
        double t;
        int64_t frames;
    };
    void Fit();
    bool OnLine(const Read& r) const;

    double m_dFps;
    std::deque<Read> m_Reads;
    std::vector<Read> m_Pending;
    double m_dT0 = 0;  // times are kept relative to this, for precision
    double m_dP0 = 0;  // the position at m_dT0
    BreakInfo m_Break;
};

// A capture card stamps each frame by its own clock, exactly at the rate; the host sees each
// one arrive a little late by varying amounts. Put on the host's clock by the median of
// (arrival - card time) over the last frames, the card's times keep their regularity.
class CardClock {
  public:
    static constexpr std::size_t kWindow = 50;

    // The arrival time, in seconds, of a frame with card time `card` seconds that came in at
    // `arrival`; card times that run back or jump are taken as a new clock.
    double Arrival(double card, double arrival);
    void Reset() { m_Offsets.clear(); }

  private:
    std::deque<double> m_Offsets;
    double m_dLastCard = 0;
};

// The labels a clip wants, [from, to), against the labels the frames got, in the order they
// came: each one is kept, before the clip, after it, or a fault.
class Sequence {
  public:
    // kKeepLast keeps the clip's last frame; kAfter comes once it is complete.
    enum class Verdict { kBefore, kKeep, kKeepLast, kAfter, kMissedIn, kGap, kRepeat };

    Sequence(int64_t from, int64_t to) : m_nFrom(from), m_nTo(to), m_nNext(from) {}

    Verdict Add(int64_t label);
    int64_t Next() const { return m_nNext; }
    int64_t Kept() const { return m_nNext - m_nFrom; }
    int64_t Missing() const { return m_nMissing; }
    int64_t Repeated() const { return m_nRepeated; }
    bool Complete() const { return m_nNext >= m_nTo; }

  private:
    int64_t m_nFrom;
    int64_t m_nTo;
    int64_t m_nNext;
    int64_t m_nMissing = 0;
    int64_t m_nRepeated = 0;
};

}  // namespace capture
