// The tape's LTC as decksim writes it, read back as the capture reads it: every frame's label
// found at its picture frame's samples, drop frame and breaks included, and read again after
// the card lost samples.
#include "tools/capture/ltc.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "tools/decksim/ltc_track.h"
#include "tools/decksim/video_stream.h"

namespace capture {
namespace {

struct Row {
    const char* name;
    double fps;
    hostkit::TimeBase base;
    int64_t first;    // the first frame's label
    int64_t breakAt;  // from this frame on the labels jump by `jump` (-1: never)
    int64_t jump;
    int64_t lostAt;  // the card loses this frame's samples (-1: never)
};

// A card's chunk of two channels, S32 interleaved, the LTC on the second.
SoundChunk Chunk(const std::vector<int32_t>& ltc, int64_t first) {
    FramePtr f(av_frame_alloc());
    f->format = AV_SAMPLE_FMT_S32;
    f->sample_rate = 48000;
    av_channel_layout_default(&f->ch_layout, 2);
    f->nb_samples = static_cast<int>(ltc.size());
    EXPECT_GE(av_frame_get_buffer(f.get(), 0), 0);
    auto* out = reinterpret_cast<int32_t*>(f->data[0]);
    for (int32_t v : ltc) {
        *out++ = 0;
        *out++ = v * 256;  // 24-bit as the card's 32
    }
    return SoundChunk{std::move(f), first};
}

TEST(LtcTest, EveryFrameLabelledAtItsSamples) {
    const Row rows[] = {
        {"25", 25.0, {25, false}, 1500, -1, 0, -1},
        // 00:00:59;28 onwards at 29.97 drop frame: the labels ;00 and ;01 are skipped.
        {"29.97 drop frame across a minute", 30000.0 / 1001, {30, true}, 1798, -1, 0, -1},
        {"29.97 non-drop", 30000.0 / 1001, {30, false}, 53946, -1, 0, -1},
        {"a break on the tape", 25.0, {25, false}, 1500, 20, 7500, -1},
        {"the card loses a frame's samples", 25.0, {25, false}, 1500, -1, 0, 20},
    };
    const FrameSource::Sound sound{2, 48000, AV_SAMPLE_FMT_S32, 24};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        decksim::LtcTrack track(row.fps, row.base);
        LtcReader reader(1, 48000, row.fps, row.base);
        ASSERT_TRUE(reader.Ready());
        constexpr int64_t kFrames = 60;
        std::vector<int64_t> labels;
        std::vector<int32_t> samples;
        for (int64_t k = 0; k < kFrames; ++k) {
            const int64_t label =
                row.first + k + (row.breakAt >= 0 && k >= row.breakAt ? row.jump : 0);
            labels.push_back(label);
            const int64_t start = decksim::SamplesBefore(k, row.fps);
            const int64_t n = decksim::SamplesBefore(k + 1, row.fps) - start;
            track.Frame(label, n, k == 0, &samples);
            if (k != row.lostAt) {
                reader.Add(Chunk(samples, start), sound);
            }
        }
        int found = 0;
        for (int64_t k = 0; k + 2 < kFrames; ++k) {
            const int64_t start = decksim::SamplesBefore(k, row.fps);
            const int64_t end = decksim::SamplesBefore(k + 1, row.fps);
            ASSERT_TRUE(reader.Decoded(end)) << k;
            const std::optional<LtcFrame> f = reader.At(start, end);
            // The first frame has no edge before it to read from; a lost frame's samples and
            // the one they cut short are gone; every other frame is read at its own samples.
            const bool gone =
                k == 0 || (row.lostAt >= 0 && k >= row.lostAt - 1 && k <= row.lostAt + 1);
            if (gone) {
                continue;
            }
            ASSERT_TRUE(f.has_value()) << k;
            EXPECT_EQ(f->label, labels[static_cast<std::size_t>(k)]) << k;
            EXPECT_FALSE(f->reverse);
            ++found;
        }
        EXPECT_GE(found, kFrames - 6);
    }
}

TEST(LtcTest, LabelsOnlyTimesTheRateHas) {
    struct Time {
        int h, m, s, f;
        hostkit::TimeBase base;
        std::optional<int64_t> label;
    };
    const Time times[] = {
        {0, 1, 0, 0, {25, false}, 1500},          {23, 59, 59, 24, {25, false}, 25 * 86400 - 1},
        {0, 0, 0, 25, {25, false}, std::nullopt},  // no frame 25 at 25
        {24, 0, 0, 0, {25, false}, std::nullopt},  // past the day
        {0, 1, 0, 2, {30, true}, 1800},            // the minute's first label in drop frame
        {0, 1, 0, 0, {30, true}, std::nullopt},    // dropped
        {0, 10, 0, 0, {30, true}, 17982},          // each tenth minute keeps its labels
        {0, 1, 0, 0, {30, false}, 1800},
    };
    for (const Time& t : times) {
        SCOPED_TRACE(testing::Message() << t.h << ":" << t.m << ":" << t.s << ":" << t.f);
        EXPECT_EQ(LtcLabel(t.h, t.m, t.s, t.f, t.base), t.label);
    }
}

}  // namespace
}  // namespace capture
