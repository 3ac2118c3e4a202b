// The tape's longitudinal timecode on a sound channel, as a deck's LTC head gives it: each
// frame's label encoded by libltc, the LTC frame starting with the picture frame's first sample.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/hostkit/timecode.h"

struct LTCEncoder;

namespace decksim {

class LtcTrack {
  public:
    // At `fps` (29.97 counts its five-frame run of samples) with the labels of `base`.
    LtcTrack(double fps, const hostkit::TimeBase& base);
    ~LtcTrack();
    LtcTrack(const LtcTrack&) = delete;
    LtcTrack& operator=(const LtcTrack&) = delete;

    // The `n` samples of a frame labelled `label` (real frames within the day), 24-bit; with
    // `restart` when the tape did not run on from the last frame.
    void Frame(int64_t label, int64_t n, bool restart, std::vector<int32_t>* out);

  private:
    hostkit::TimeBase m_Base;
    LTCEncoder* m_pEncoder = nullptr;
    std::vector<int32_t> m_Pending;  // encoded, not yet played: a sample or two at most
};

}  // namespace decksim
