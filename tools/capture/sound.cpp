#include "tools/capture/sound.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

namespace capture {

namespace {

// Before the first frame is kept, this much of the card's sound is held for it.
constexpr int64_t kHeldSeconds = 5;

}  // namespace

int32_t SampleAt(const AVFrame& in, int channel, int64_t i, int channels) {
    const auto c = static_cast<std::size_t>(channel);
    const auto at = static_cast<std::size_t>(i);
    const auto n = static_cast<std::size_t>(channels);
    switch (in.format) {
        case AV_SAMPLE_FMT_S16:
            return static_cast<int32_t>(reinterpret_cast<const int16_t*>(in.data[0])[at * n + c]) *
                   65536;
        case AV_SAMPLE_FMT_S16P:
            return static_cast<int32_t>(reinterpret_cast<const int16_t*>(in.extended_data[c])[at]) *
                   65536;
        case AV_SAMPLE_FMT_S32:
            return reinterpret_cast<const int32_t*>(in.data[0])[at * n + c];
        case AV_SAMPLE_FMT_S32P:
            return reinterpret_cast<const int32_t*>(in.extended_data[c])[at];
        default:
            return 0;  // refused when the input opened (Keepable)
    }
}

int64_t CardSample(double seconds, int rate) {
    return std::llround(seconds * rate);
}

bool Keepable(const FrameSource::Sound& s) {
    const int f = s.sampleFormat;
    return s.channels > 0 && s.sampleRate > 0 &&
           (f == AV_SAMPLE_FMT_S16 || f == AV_SAMPLE_FMT_S16P || f == AV_SAMPLE_FMT_S32 ||
            f == AV_SAMPLE_FMT_S32P);
}

bool SoundClock::Add(double seconds, int64_t first) {
    if (!m_bApart || std::isnan(seconds)) {
        return true;
    }
    const bool on = m_Points.empty() || seconds > m_Points.back().first;
    if (!on) {
        m_Points.clear();  // stamps that run back are a clock set, or a device started again
    }
    m_Points.emplace_back(seconds, first);
    if (m_Points.size() > kWindow) {
        m_Points.pop_front();
    }
    // A least-squares line through the points, about their first one to keep the precision of
    // stamps that count from the host's boot.
    const double x0 = m_Points.front().first;
    const int64_t y0 = m_Points.front().second;
    double sx = 0;
    double sy = 0;
    for (const auto& [x, y] : m_Points) {
        sx += x - x0;
        sy += static_cast<double>(y - y0);
    }
    const auto n = static_cast<double>(m_Points.size());
    m_dX = sx / n;
    m_dY = sy / n;
    double sxx = 0;
    double sxy = 0;
    for (const auto& [x, y] : m_Points) {
        const double dx = x - x0 - m_dX;
        sxx += dx * dx;
        sxy += dx * (static_cast<double>(y - y0) - m_dY);
    }
    m_dSlope = sxx > 0 ? sxy / sxx : 0;
    return on;
}

std::optional<int64_t> SoundClock::SampleAt(double seconds, int rate) const {
    if (!m_bApart) {
        return CardSample(seconds, rate);
    }
    if (m_Points.empty()) {
        return std::nullopt;
    }
    const double slope = m_dSlope > 0 ? m_dSlope : rate;
    const double x = seconds - m_Points.front().first - m_dX;
    return m_Points.front().second + std::llround(m_dY + slope * x);
}

void SoundSpan::Begin(int64_t from) {
    m_nFrom = from;
    m_nNext = from;
    m_nTo = from;
    m_Levels.assign(static_cast<std::size_t>(m_Sound.channels), ChannelLevel{});
}

void SoundSpan::Add(SoundChunk chunk) {
    if (chunk.samples == nullptr || chunk.samples->nb_samples <= 0 ||
        chunk.samples->ch_layout.nb_channels != m_Sound.channels ||
        chunk.samples->format != m_Sound.sampleFormat) {
        return;  // the writer would refuse it; a changed card shows in its picture first
    }
    const int64_t end = chunk.first + chunk.samples->nb_samples;
    if (m_nFrom && end <= m_nNext) {
        return;
    }
    m_Chunks.push_back(std::move(chunk));
    while (!m_nFrom && m_Chunks.front().first + m_Chunks.front().samples->nb_samples <
                           end - kHeldSeconds * m_Sound.sampleRate) {
        m_Chunks.pop_front();
    }
}

std::vector<FramePtr> SoundSpan::Take() {
    std::vector<FramePtr> out;
    while (m_nFrom && !m_Hole && !m_Chunks.empty() && m_nNext < m_nTo) {
        const SoundChunk& c = m_Chunks.front();
        const int64_t end = c.first + c.samples->nb_samples;
        if (end <= m_nNext) {
            m_Chunks.pop_front();
            continue;
        }
        if (c.first > m_nNext) {
            m_Hole = m_nNext;
            m_nMissing = c.first - m_nNext;
            break;
        }
        const int64_t count = std::min(end, m_nTo) - m_nNext;
        FramePtr cut = Cut(*c.samples, m_nNext - c.first, count);
        if (cut == nullptr) {
            break;  // out of memory: the span stays short, and says so at the end
        }
        out.push_back(std::move(cut));
        m_nNext += count;
        if (m_nNext >= end) {
            m_Chunks.pop_front();
        }
    }
    return out;
}

FramePtr SoundSpan::Cut(const AVFrame& in, int64_t from, int64_t count) {
    FramePtr out(av_frame_alloc());
    const int channels = m_Sound.channels;
    if (out == nullptr) {
        return nullptr;
    }
    out->format = AV_SAMPLE_FMT_S32;
    out->sample_rate = m_Sound.sampleRate;
    out->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    out->ch_layout.nb_channels = channels;
    out->nb_samples = static_cast<int>(count);
    if (av_frame_get_buffer(out.get(), 0) < 0) {
        return nullptr;
    }
    // Full scale as the card's bits put it: a 24-bit card clips at 0x7FFFFF00.
    const int bits = std::clamp(m_Sound.bits, 8, 32);
    const int64_t full = ((int64_t{1} << (bits - 1)) - 1) << (32 - bits);
    auto* dst = reinterpret_cast<int32_t*>(out->data[0]);
    for (int64_t i = 0; i < count; ++i) {
        for (int c = 0; c < channels; ++c) {
            const int32_t v = SampleAt(in, c, from + i, channels);
            *dst++ = v;
            ChannelLevel& level = m_Levels[static_cast<std::size_t>(c)];
            const int64_t magnitude = std::llabs(static_cast<int64_t>(v));
            level.peak = std::max(level.peak, magnitude);
            level.clipped += magnitude >= full ? 1 : 0;
        }
    }
    return out;
}

}  // namespace capture
