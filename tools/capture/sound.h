// A clip's sound: the card's samples from the start of its first kept frame to the end of its
// last, no more and no fewer, as the card gave them (never resampled), in 32-bit interleaved
// form for the writer, with each channel's peak measured on the way.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>
#include <vector>

#include "tools/capture/input.h"

namespace capture {

// The card's sample at a moment on its clock (seconds times the rate, rounded): frames and
// samples meet on it.
int64_t CardSample(double seconds, int rate);

// Sample `i` of `channel` of a chunk in a keepable format, as a 32-bit value.
int32_t SampleAt(const AVFrame& in, int channel, int64_t i, int channels);

// Whether the capture keeps this sound: integer samples, interleaved or planar, 16 or 32 bits.
bool Keepable(const FrameSource::Sound& sound);

// Where the samples of a sound device apart from the picture's fall on the picture's clock:
// their chunks' stamps against their numbers, fitted over the last chunks (ten seconds of a
// chunk a frame), since the device's clock runs a little fast or slow of the picture's and its
// stamps jitter.
class SoundClock {
  public:
    static constexpr std::size_t kWindow = 250;

    // `apart`: the sound comes from a device of its own. Otherwise its samples share the card's
    // clock with the frames, and a moment's sample is that clock's (CardSample).
    explicit SoundClock(bool apart) : m_bApart(apart) {}

    // False when the stamps ran back, and the fit started again from this chunk.
    bool Add(double seconds, int64_t first);
    // The sound's sample at `seconds` on the picture's clock; apart, nullopt before any chunk
    // came, and from one chunk on at the nominal `rate`.
    std::optional<int64_t> SampleAt(double seconds, int rate) const;

  private:
    bool m_bApart;
    std::deque<std::pair<double, int64_t>> m_Points;
    double m_dX = 0;      // the points' mean stamp, from the first one's
    double m_dY = 0;      // and their mean number, from the first one's
    double m_dSlope = 0;  // samples a second; 0 until two stamps differ
};

struct ChannelLevel {
    int64_t peak = 0;     // the largest magnitude, in 32-bit units
    int64_t clipped = 0;  // samples at the card's full scale
};

class SoundSpan {
  public:
    explicit SoundSpan(FrameSource::Sound sound) : m_Sound(sound) {}

    // The span starts at the card's sample `from` (the first kept frame's) and has grown to `to`.
    void Begin(int64_t from);
    void Extend(int64_t to) { m_nTo = to; }
    bool Begun() const { return m_nFrom.has_value(); }
    // Samples as they came from the card, in its order.
    void Add(SoundChunk chunk);
    // The span's samples that came since the last call, ready for the writer; stops at a hole.
    std::vector<FramePtr> Take();
    // The card's first sample the span lacks, once a later one came: the sound stopped there.
    std::optional<int64_t> Hole() const { return m_Hole; }
    int64_t Missing() const { return m_nMissing; }  // samples of the hole
    bool Complete() const { return m_nFrom && m_nNext == m_nTo; }
    int64_t Kept() const { return m_nFrom ? m_nNext - *m_nFrom : 0; }
    int64_t Wanted() const { return m_nFrom ? m_nTo - *m_nFrom : 0; }
    const std::vector<ChannelLevel>& Levels() const { return m_Levels; }

  private:
    FramePtr Cut(const AVFrame& in, int64_t from, int64_t count);

    FrameSource::Sound m_Sound;
    std::deque<SoundChunk> m_Chunks;
    std::optional<int64_t> m_nFrom;
    int64_t m_nTo = 0;
    int64_t m_nNext = 0;  // the card's next sample to keep
    std::optional<int64_t> m_Hole;
    int64_t m_nMissing = 0;
    std::vector<ChannelLevel> m_Levels;
};

}  // namespace capture
