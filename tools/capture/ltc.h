// Timecode from the signal: LTC on one channel of the card's sound, decoded by libltc, each LTC
// frame placed on the card's sample clock, which its pictures share. A picture frame's label is
// the LTC frame that starts with it.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>

#include "tools/capture/input.h"
#include "tools/hostkit/timecode.h"

struct LTCDecoder;

namespace capture {

struct LtcFrame {
    int64_t start = 0;  // the card's sample where it starts, and where it ends
    int64_t end = 0;
    int64_t label = 0;     // real frames at the deck's rate
    bool reverse = false;  // read backwards: the tape ran in reverse
};

class LtcReader {
  public:
    // LTC on `channel` (from 0) of sound at `sampleRate`, at `fps` with the labels of `base`.
    LtcReader(int channel, int sampleRate, double fps, const hostkit::TimeBase& base);
    ~LtcReader();
    LtcReader(const LtcReader&) = delete;
    LtcReader& operator=(const LtcReader&) = delete;

    bool Ready() const { return m_pDecoder != nullptr; }
    // Samples as the card gave them, in order; a chunk that does not follow on starts afresh.
    void Add(const SoundChunk& chunk, const FrameSource::Sound& sound);
    // Whether the sound up to sample `end` is decoded, so that an LTC frame starting before it
    // would have been read.
    bool Decoded(int64_t end) const { return m_bFed && m_nReached >= end + m_nSlack; }
    // The LTC frame that starts with the picture frame [start, end) of the card's samples.
    std::optional<LtcFrame> At(int64_t start, int64_t end) const;

  private:
    LTCDecoder* NewDecoder() const;

    int m_nChannel;
    int64_t m_nSlack;  // libltc gives an LTC frame once the next one has begun
    hostkit::TimeBase m_Base;
    int m_nFrameSamples;  // the sound's samples a frame, as libltc's decoder wants them
    LTCDecoder* m_pDecoder = nullptr;
    bool m_bFed = false;
    int64_t m_nReached = 0;         // the card's sample after the last fed
    std::deque<LtcFrame> m_Frames;  // the newest, in order
};

// The label of an LTC frame's time: HH:MM:SS:FF at the base, in real frames; nullopt when the
// time does not exist at the base (a dropped label, a frame past the rate).
std::optional<int64_t> LtcLabel(int hours, int mins, int secs, int frame,
                                const hostkit::TimeBase& base);

}  // namespace capture
