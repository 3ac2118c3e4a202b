#include "tools/decksim/ltc_track.h"

#include <ltc.h>

#include <cmath>

namespace decksim {

namespace {

constexpr double kRate = 48000.0;

}  // namespace

LtcTrack::LtcTrack(double fps, const hostkit::TimeBase& base) : m_Base(base) {
    const bool ntsc = std::fabs(fps - 30000.0 / 1001.0) < 1e-3;
    m_pEncoder =
        ltc_encoder_create(kRate, fps, base.whole == 25 ? LTC_TV_625_50 : LTC_TV_525_60, 0);
    if (m_pEncoder != nullptr && ntsc && !base.dropFrame) {
        // libltc takes 29.97 for drop frame; a non-drop tape says so in its frames.
        LTCFrame f;
        ltc_encoder_get_frame(m_pEncoder, &f);
        f.dfbit = 0;
        ltc_encoder_set_frame(m_pEncoder, &f);
    }
}

LtcTrack::~LtcTrack() {
    if (m_pEncoder != nullptr) {
        ltc_encoder_free(m_pEncoder);
    }
}

void LtcTrack::Frame(int64_t label, int64_t n, bool restart, std::vector<int32_t>* out) {
    out->assign(static_cast<std::size_t>(n), 0);
    if (m_pEncoder == nullptr || n <= 0) {
        return;
    }
    if (restart) {
        ltc_encoder_reset(m_pEncoder);
        m_Pending.clear();
    }
    const int64_t labels = hostkit::FramesToLabels(label, m_Base);
    const int64_t whole = m_Base.whole;
    SMPTETimecode t{};
    t.hours = static_cast<unsigned char>(labels / (whole * 3600) % 24);
    t.mins = static_cast<unsigned char>(labels / (whole * 60) % 60);
    t.secs = static_cast<unsigned char>(labels / whole % 60);
    t.frame = static_cast<unsigned char>(labels % whole);
    ltc_encoder_set_timecode(m_pEncoder, &t);
    ltc_encoder_encode_frame(m_pEncoder);
    ltcsnd_sample_t* samples = nullptr;
    const int got = ltc_encoder_get_bufferptr(m_pEncoder, &samples, 1);
    for (int i = 0; i < got; ++i) {
        // Unsigned 8-bit about 128, as 24-bit signed.
        m_Pending.push_back((static_cast<int32_t>(samples[i]) - 128) * 65536);
    }
    // libltc's frames run a sample either way of the card's run; the level is held to fill.
    const std::size_t take = std::min(m_Pending.size(), static_cast<std::size_t>(n));
    std::copy(m_Pending.begin(), m_Pending.begin() + static_cast<std::ptrdiff_t>(take),
              out->begin());
    const int32_t hold = take > 0 ? m_Pending[take - 1] : 0;
    std::fill(out->begin() + static_cast<std::ptrdiff_t>(take), out->end(), hold);
    m_Pending.erase(m_Pending.begin(), m_Pending.begin() + static_cast<std::ptrdiff_t>(take));
}

}  // namespace decksim
