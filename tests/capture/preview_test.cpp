// The preview of an input: its picture scaled to the display aspect and coded as a JPEG that
// decodes, its meters from the sound that came, and a tap that never waits for it.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include "tools/capture/preview.h"

namespace capture {
namespace {

FramePtr Picture(int width, int height, AVPixelFormat format, AVRational aspect) {
    FramePtr f(av_frame_alloc());
    f->format = format;
    f->width = width;
    f->height = height;
    f->sample_aspect_ratio = aspect;
    EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
    EXPECT_EQ(av_frame_make_writable(f.get()), 0);
    std::ptrdiff_t lines[4] = {f->linesize[0], f->linesize[1], f->linesize[2], f->linesize[3]};
    EXPECT_GE(av_image_fill_black(f->data, lines, format, AVCOL_RANGE_MPEG, width, height), 0);
    return f;
}

// A second of a 1 kHz square wave at `db` dBFS on channel 0, channel 1 silent, as 16-bit.
FramePtr Tone(double db) {
    FramePtr s(av_frame_alloc());
    s->format = AV_SAMPLE_FMT_S16;
    s->sample_rate = 48000;
    av_channel_layout_default(&s->ch_layout, 2);
    s->nb_samples = 4800;
    EXPECT_EQ(av_frame_get_buffer(s.get(), 0), 0);
    auto* out = reinterpret_cast<int16_t*>(s->data[0]);
    const auto level = static_cast<int16_t>(std::lround(32768.0 * std::pow(10.0, db / 20.0)));
    for (int i = 0; i < s->nb_samples; ++i) {
        out[2 * i] = (i / 24) % 2 == 0 ? level : static_cast<int16_t>(-level);
        out[2 * i + 1] = 0;
    }
    return s;
}

// Waits (a bounded while) for the preview's picture after `seq`.
PreviewFrame After(const Preview& p, uint64_t seq) {
    for (int i = 0; i < 1000 && p.Latest().seq <= seq; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return p.Latest();
}

// The JPEG's own size, as a decoder finds it.
std::pair<int, int> Decoded(const std::string& jpeg) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* d = avcodec_alloc_context3(codec);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    std::pair<int, int> size{0, 0};
    if (avcodec_open2(d, codec, nullptr) == 0 &&
        av_new_packet(pkt, static_cast<int>(jpeg.size())) == 0) {
        std::memcpy(pkt->data, jpeg.data(), jpeg.size());
        if (avcodec_send_packet(d, pkt) == 0 && avcodec_receive_frame(d, f) == 0) {
            size = {f->width, f->height};
        }
    }
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&d);
    return size;
}

TEST(Preview, ScalesToTheDisplayAspectAndMeters) {
    struct Row {
        int width, height;
        AVPixelFormat format;
        AVRational aspect;
        int shownWidth, shownHeight;
    };
    const Row rows[] = {
        {720, 576, AV_PIX_FMT_YUV422P10LE, {12, 11}, 320, 234},  // 625 lines, 4:3 shown
        {720, 486, AV_PIX_FMT_YUYV422, {10, 11}, 320, 238},      // 525 lines
        {160, 120, AV_PIX_FMT_YUV420P, {1, 1}, 160, 120},        // smaller: not enlarged
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.width);
        Preview preview;
        preview.Sound(*Tone(-20));
        preview.Picture(*Picture(r.width, r.height, r.format, r.aspect));
        const PreviewFrame f = After(preview, 0);
        ASSERT_NE(f.jpeg, nullptr);
        EXPECT_EQ(std::make_pair(f.width, f.height), std::make_pair(r.shownWidth, r.shownHeight));
        EXPECT_EQ(Decoded(*f.jpeg), std::make_pair(r.shownWidth, r.shownHeight));
        ASSERT_EQ(f.meters.size(), 2u);
        EXPECT_NEAR(f.meters[0].peakDbfs, -20, 0.01);
        EXPECT_NEAR(f.meters[0].rmsDbfs, -20, 0.01);  // a square wave's RMS is its peak
        EXPECT_FALSE(std::isfinite(f.meters[1].peakDbfs));
    }
}

// Pictures come at the input's rate; the preview takes a few a second and the rest cost it
// nothing. One coming while the last is being made is skipped, never waited for.
TEST(Preview, TakesAFewPicturesASecondAndNeverWaits) {
    Preview preview;
    const FramePtr sd = Picture(720, 576, AV_PIX_FMT_YUV422P10LE, {12, 11});
    uint64_t seq = 0;
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000 / Preview::kRate));
        preview.Picture(*sd);
        for (int k = 0; k < 20; ++k) {
            preview.Picture(*sd);  // too soon after: not taken
        }
        const PreviewFrame f = After(preview, seq);
        EXPECT_EQ(f.seq, seq + 1);
        seq = f.seq;
    }
}

}  // namespace
}  // namespace capture
