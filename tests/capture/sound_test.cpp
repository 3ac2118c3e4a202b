// A sound device apart from the picture's: its samples numbered on as they came whatever its
// stamps say, a hole kept as one, and its clock's drift fitted from the stamps.
#include <gtest/gtest.h>

#include <cmath>
#include <deque>
#include <random>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "tools/capture/input.h"
#include "tools/capture/sound.h"

namespace capture {
namespace {

using Millis = std::chrono::milliseconds;

// A sound device whose clock runs `ppm` fast: a chunk every 40 ms of the stamps' clock, holding
// what its clock counted meanwhile, stamped (as the host stamps it) with up to `jitterMs`.
class DriftingDevice : public FrameSource {
  public:
    DriftingDevice(double ppm, double jitterMs) : m_dRatio(1.0 + ppm * 1e-6), m_dJitter(jitterMs) {}

    // The stamp of chunk `i`'s first sample, before its jitter.
    double StampOf(std::size_t i) const { return 1000.0 + 0.04 * static_cast<double>(i) - m_dBack; }
    // From the next chunk on, the host's clock reads `seconds` earlier.
    void SetBack(double seconds) { m_dBack += seconds; }

    // The next chunk; with `lose`, the device lost it (an overrun) and the next one shows it.
    void Produce(bool lose = false) {
        const double start = StampOf(static_cast<std::size_t>(m_nChunk++));
        const int64_t end = std::llround(1920.0 * static_cast<double>(m_nChunk) * m_dRatio);
        const int64_t n = end - m_nCount;
        std::uniform_real_distribution<double> shake(-m_dJitter, m_dJitter);
        SoundChunk c;
        c.card = start + (m_dJitter > 0 ? shake(m_Random) / 1000.0 : 0.0);
        c.first = std::llround(c.card * 48000);
        c.samples.reset(av_frame_alloc());
        c.samples->format = AV_SAMPLE_FMT_S32;
        c.samples->sample_rate = 48000;
        av_channel_layout_default(&c.samples->ch_layout, 1);
        c.samples->nb_samples = static_cast<int>(n);
        m_Truth.push_back(m_nCount);
        m_nCount = end;
        if (!lose) {
            m_Chunks.push_back(std::move(c));
        }
    }
    // The device's own count at the start of chunk `i`.
    int64_t Truth(std::size_t i) const { return m_Truth[i]; }

    void Arm(bool) override {}
    std::optional<InputFrame> Next(Millis) override { return std::nullopt; }
    bool Alive(std::string*) const override { return true; }
    uint64_t CardGaps() const override { return 0; }
    uint64_t Overflows() const override { return 0; }
    Picture Current() const override { return {}; }
    std::optional<SoundChunk> NextSound(Millis) override {
        if (m_Chunks.empty()) {
            return std::nullopt;
        }
        SoundChunk c = std::move(m_Chunks.front());
        m_Chunks.pop_front();
        return c;
    }

  private:
    double m_dRatio;
    double m_dJitter;
    double m_dBack = 0;
    std::mt19937 m_Random{5500};
    int64_t m_nChunk = 0;
    int64_t m_nCount = 0;
    std::deque<SoundChunk> m_Chunks;
    std::vector<int64_t> m_Truth;
};

TEST(SoundApart, SamplesRunOnAsTheyCameAndTheClockIsFittedFromTheStamps) {
    struct Row {
        double ppm;
        double jitterMs;
        int64_t mostError;  // samples between the fitted clock and the device's own count
        bool hole;     // chunk 200 lost: a hole its size, which stamps tell exactly without drift
        bool setBack;  // the clock set back half a second at chunk 150: no sample lost
    };
    for (const Row row : {Row{0, 0, 0, true, false}, Row{100, 0, 1, false, true},
                          Row{-100, 0, 1, false, false}, Row{100, 2, 32, false, false}}) {
        SCOPED_TRACE(testing::Message() << row.ppm << " ppm, jitter " << row.jitterMs << " ms");
        DriftingDevice device(row.ppm, row.jitterMs);
        SplitInput split(device, device);
        SoundClock clock(true);
        EXPECT_FALSE(clock.SampleAt(1000.0, 48000));  // nothing to place samples by yet
        split.Arm(true);
        std::optional<int64_t> base;  // the first chunk's number against the device's count
        for (std::size_t i = 0; i < 300; ++i) {
            const bool lost = row.hole && i == 200;
            if (row.setBack && i == 150) {
                device.SetBack(0.5);
            }
            device.Produce(lost);
            const std::optional<SoundChunk> c = split.NextSound(Millis(0));
            if (lost) {
                EXPECT_FALSE(c);
                continue;
            }
            ASSERT_TRUE(c);
            base = base.value_or(c->first - device.Truth(i));
            EXPECT_EQ(c->first - *base, device.Truth(i)) << "chunk " << i;
            // Stamps that ran back start the fit again, once.
            EXPECT_EQ(clock.Add(c->card, c->first), !(row.setBack && i == 150)) << "chunk " << i;
            // Where the next chunk starts, as the fit puts it from the ones before (from one
            // alone, at the nominal rate).
            const std::optional<int64_t> at = clock.SampleAt(device.StampOf(i + 1), 48000);
            ASSERT_TRUE(at);
            if (i >= 100) {  // once the fit has four seconds of stamps
                const int64_t truth = device.Truth(i) + c->samples->nb_samples;
                EXPECT_LE(std::llabs(*at - *base - truth), row.mostError) << "chunk " << i;
            }
        }
    }
}

}  // namespace
}  // namespace capture
