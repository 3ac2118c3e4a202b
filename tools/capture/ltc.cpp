#include "tools/capture/ltc.h"

#include <ltc.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "tools/capture/sound.h"

namespace capture {

namespace {

// Decoded frames kept: a few seconds' worth, for frames still waiting for their label.
constexpr std::size_t kKept = 256;

}  // namespace

std::optional<int64_t> LtcLabel(int hours, int mins, int secs, int frame,
                                const hostkit::TimeBase& base) {
    if (hours < 0 || hours > 23 || mins < 0 || mins > 59 || secs < 0 || secs > 59 || frame < 0 ||
        frame >= base.whole) {
        return std::nullopt;
    }
    const int64_t labels = ((int64_t{hours} * 60 + mins) * 60 + secs) * base.whole + frame;
    if (!hostkit::LabelExists(labels, base)) {
        return std::nullopt;
    }
    return hostkit::LabelsToFrames(labels, base);
}

LtcReader::LtcReader(int channel, int sampleRate, double fps, const hostkit::TimeBase& base)
    : m_nChannel(channel),
      m_nSlack(std::llround(sampleRate / fps * 1.25)),
      m_Base(base),
      m_nFrameSamples(static_cast<int>(std::lround(sampleRate / fps))),
      m_pDecoder(NewDecoder()) {}

LTCDecoder* LtcReader::NewDecoder() const {
    return ltc_decoder_create(m_nFrameSamples, 32);  // a queue of a second's frames and more
}

LtcReader::~LtcReader() {
    if (m_pDecoder != nullptr) {
        ltc_decoder_free(m_pDecoder);
    }
}

void LtcReader::Add(const SoundChunk& chunk, const FrameSource::Sound& sound) {
    if (m_pDecoder == nullptr || chunk.samples == nullptr || m_nChannel >= sound.channels ||
        chunk.samples->ch_layout.nb_channels != sound.channels ||
        chunk.samples->format != sound.sampleFormat) {
        return;
    }
    const int n = chunk.samples->nb_samples;
    if (m_bFed && chunk.first + n <= m_nReached) {
        return;  // already heard
    }
    // A chunk that overlaps what was heard goes on from where that ended.
    const int skip =
        m_bFed && chunk.first < m_nReached ? static_cast<int>(m_nReached - chunk.first) : 0;
    if (m_bFed && chunk.first > m_nReached) {
        // The card's clock jumped or lost samples: what was half-read cannot be trusted.
        ltc_decoder_queue_flush(m_pDecoder);
        ltc_decoder_free(m_pDecoder);
        m_pDecoder = NewDecoder();
        if (m_pDecoder == nullptr) {
            return;
        }
    }
    std::vector<float> samples(static_cast<std::size_t>(n - skip));
    for (int i = skip; i < n; ++i) {
        samples[static_cast<std::size_t>(i - skip)] = static_cast<float>(
            SampleAt(*chunk.samples, m_nChannel, i, sound.channels) / 2147483648.0);
    }
    ltc_decoder_write_float(m_pDecoder, samples.data(), samples.size(), chunk.first + skip);
    m_bFed = true;
    m_nReached = chunk.first + n;
    LTCFrameExt f;
    while (ltc_decoder_read(m_pDecoder, &f) != 0) {
        SMPTETimecode t;
        ltc_frame_to_time(&t, &f.ltc, 0);
        const std::optional<int64_t> label = LtcLabel(t.hours, t.mins, t.secs, t.frame, m_Base);
        if (!label) {
            continue;  // not a time at this rate: noise, or another standard's LTC
        }
        LtcFrame frame;
        frame.reverse = f.reverse != 0;
        frame.start = std::min(f.off_start, f.off_end);  // where it lies in the stream, either way
        frame.end = std::max(f.off_start, f.off_end);
        frame.label = *label;
        m_Frames.push_back(frame);
        if (m_Frames.size() > kKept) {
            m_Frames.pop_front();
        }
    }
}

std::optional<LtcFrame> LtcReader::At(int64_t start, int64_t end) const {
    // An LTC frame begins at its picture frame's start, give or take the few lines of a
    // standard's alignment and the decoder's reading of the first edge.
    const int64_t slack = (end - start) / 4;
    for (auto it = m_Frames.rbegin(); it != m_Frames.rend(); ++it) {
        if (it->start >= start - slack && it->start < end - slack) {
            return *it;
        }
        if (it->start < start - slack) {
            break;
        }
    }
    return std::nullopt;
}

}  // namespace capture
