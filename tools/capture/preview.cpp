#include "tools/capture/preview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libswscale/swscale.h>
}

#include "tools/capture/thread.h"
#include "tools/capture/writer.h"

namespace capture {

namespace {

constexpr auto kEvery = std::chrono::microseconds(1000000 / Preview::kRate);

double Db(double linear) {
    return linear > 0 ? 20.0 * std::log10(linear) : -INFINITY;
}

// The preview's size: kWidth wide (or the picture's, when smaller) with the picture's display
// aspect, both even as 4:2:0 wants them.
void Scaled(const AVFrame& f, int* width, int* height) {
    // As the files state it: an SD picture that says square has its standard's aspect.
    FrameSource::Picture p;
    p.width = f.width;
    p.height = f.height;
    p.pixelFormat = f.format;
    p.aspect = f.sample_aspect_ratio;
    const AVRational stated = StatedPicture(p).aspect;
    const double aspect = stated.num > 0 && stated.den > 0 ? av_q2d(stated) : 1.0;
    const double shown = f.width * aspect;
    *width = std::max(2, std::min(Preview::kWidth, static_cast<int>(shown)) & ~1);
    *height = std::max(2, static_cast<int>(std::lround(*width * f.height / shown)) & ~1);
}

}  // namespace

Preview::Preview(std::function<void(const PreviewFrame&)> made)
    : m_Made(std::move(made)), m_Thread([this] { Run(); }) {}

Preview::~Preview() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
        m_Wake.notify_one();
    }
    m_Thread.join();
    avfilter_graph_free(&m_pGraph);
}

void Preview::Picture(const AVFrame& frame) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (now < m_Due) {
        return;
    }
    m_Due = now + kEvery;
    if (m_pWaiting != nullptr) {
        ++m_nSkipped;  // the last is still being made: this one is the preview's to lose
        return;
    }
    m_pWaiting.reset(av_frame_clone(&frame));
    m_Arrived = now;
    m_Wake.notify_one();
}

void Preview::Sound(const AVFrame& samples) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Sound.size() >= kSoundQueue) {
        m_Sound.pop_front();  // behind: the meters skip, the capture never waits
    }
    m_Sound.emplace_back(av_frame_clone(&samples));
    m_Wake.notify_one();
}

PreviewFrame Preview::Latest() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Latest;
}

uint64_t Preview::Skipped() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nSkipped;
}

void Preview::Run() {
    LowerThisThread();
    for (;;) {
        FramePtr picture;
        std::deque<FramePtr> sound;
        Clock::time_point arrived;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Wake.wait(lock,
                        [this] { return m_bStop || !m_Sound.empty() || m_pWaiting != nullptr; });
            if (m_bStop) {
                return;
            }
            sound.swap(m_Sound);
            // The picture stays in its slot while it is made, so that none other is taken.
            if (m_pWaiting != nullptr) {
                picture.reset(av_frame_clone(m_pWaiting.get()));
                arrived = m_Arrived;
            }
        }
        for (const FramePtr& s : sound) {
            if (s != nullptr) {
                Measure(*s);
            }
        }
        if (picture != nullptr) {
            Make(*picture, arrived);
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_pWaiting.reset();
        }
    }
}

JpegCoder::~JpegCoder() {
    Free();
}

void JpegCoder::Free() {
    avcodec_free_context(&m_pCoder);
    sws_freeContext(m_pScale);
    m_pScale = nullptr;
}

bool JpegCoder::Code(const AVFrame& in, std::string* jpeg, int* width, int* height) {
    Scaled(in, width, height);
    if (m_pCoder == nullptr || *width != m_nWidth || *height != m_nHeight) {
        Free();
        const AVCodec* mjpeg = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
        m_pCoder = mjpeg != nullptr ? avcodec_alloc_context3(mjpeg) : nullptr;
        if (m_pCoder == nullptr) {
            return false;
        }
        m_pCoder->width = *width;
        m_pCoder->height = *height;
        m_pCoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
        m_pCoder->time_base = AVRational{1, Preview::kRate};
        m_pCoder->thread_count = 1;
        m_pCoder->flags |= AV_CODEC_FLAG_QSCALE;
        m_pCoder->global_quality = FF_QP2LAMBDA * 5;
        if (avcodec_open2(m_pCoder, mjpeg, nullptr) < 0) {
            Free();
            return false;
        }
        m_nWidth = *width;
        m_nHeight = *height;
    }
    // The picture's format may change with its signal: the scaler follows it.
    m_pScale = sws_getCachedContext(m_pScale, in.width, in.height,
                                    static_cast<AVPixelFormat>(in.format), *width, *height,
                                    AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr);
    FramePtr small(av_frame_alloc());
    AVPacket* packet = av_packet_alloc();
    bool ok = m_pScale != nullptr && small != nullptr && packet != nullptr;
    if (ok) {
        small->format = AV_PIX_FMT_YUVJ420P;
        small->width = *width;
        small->height = *height;
        small->pts = m_nPts++;  // the encoder wants them rising
        ok = av_frame_get_buffer(small.get(), 0) >= 0 &&
             sws_scale(m_pScale, in.data, in.linesize, 0, in.height, small->data,
                       small->linesize) == *height &&
             avcodec_send_frame(m_pCoder, small.get()) >= 0 &&
             avcodec_receive_packet(m_pCoder, packet) >= 0;
    }
    if (ok) {
        jpeg->assign(reinterpret_cast<const char*>(packet->data),
                     static_cast<std::size_t>(packet->size));
    }
    av_packet_free(&packet);
    return ok;
}

void Preview::Make(const AVFrame& in, Clock::time_point arrived) {
    PreviewFrame made;
    std::string jpeg;
    if (!m_Coder.Code(in, &jpeg, &made.width, &made.height)) {
        return;
    }
    made.jpeg = std::make_shared<const std::string>(std::move(jpeg));
    made.seconds = std::chrono::duration<double>(Clock::now() - arrived).count();
    // The meters over the time since the last picture; silence where no sound came.
    made.meters.resize(m_Peak.size());
    for (std::size_t c = 0; c < m_Peak.size(); ++c) {
        made.meters[c].peakDbfs = Db(m_Peak[c]);
        made.meters[c].rmsDbfs =
            m_Samples[c] > 0 ? 10.0 * std::log10(m_Power[c] / static_cast<double>(m_Samples[c]))
                             : -INFINITY;
        m_Peak[c] = 0;
        m_Power[c] = 0;
        m_Samples[c] = 0;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        made.seq = m_Latest.seq + 1;
        m_Latest = made;
    }
    if (m_Made) {
        m_Made(made);
    }
}

bool Preview::SoundGraph(const AVFrame& s) {
    const int channels = s.ch_layout.nb_channels;
    if (m_pGraph != nullptr && s.format == m_nGraphFormat && channels == m_nGraphChannels &&
        s.sample_rate == m_nGraphRate) {
        return true;
    }
    avfilter_graph_free(&m_pGraph);
    m_nGraphFormat = -1;
    m_pGraph = avfilter_graph_alloc();
    if (m_pGraph == nullptr || channels <= 0 || s.sample_rate <= 0) {
        return false;
    }
    m_pGraph->nb_threads = 1;
    char args[160];
    std::snprintf(args, sizeof args, "time_base=1/%d:sample_rate=%d:sample_fmt=%d:channels=%d",
                  s.sample_rate, s.sample_rate, s.format, channels);
    AVFilterContext* stats = nullptr;
    if (avfilter_graph_create_filter(&m_pIn, avfilter_get_by_name("abuffer"), "in", args, nullptr,
                                     m_pGraph) < 0 ||
        avfilter_graph_create_filter(&stats, avfilter_get_by_name("astats"), "astats",
                                     "metadata=1:reset=1:measure_perchannel=Peak_level+RMS_level:"
                                     "measure_overall=none",
                                     nullptr, m_pGraph) < 0 ||
        avfilter_graph_create_filter(&m_pOut, avfilter_get_by_name("abuffersink"), "out",
                                     "all_channel_counts=1", nullptr, m_pGraph) < 0 ||
        avfilter_link(m_pIn, 0, stats, 0) < 0 || avfilter_link(stats, 0, m_pOut, 0) < 0 ||
        avfilter_graph_config(m_pGraph, nullptr) < 0) {
        avfilter_graph_free(&m_pGraph);
        return false;
    }
    m_nGraphFormat = s.format;
    m_nGraphChannels = channels;
    m_nGraphRate = s.sample_rate;
    m_Peak.assign(static_cast<std::size_t>(channels), 0);
    m_Power.assign(static_cast<std::size_t>(channels), 0);
    m_Samples.assign(static_cast<std::size_t>(channels), 0);
    return true;
}

void Preview::Measure(const AVFrame& samples) {
    if (!SoundGraph(samples)) {
        return;
    }
    FramePtr in(av_frame_clone(&samples));
    if (in == nullptr) {
        return;
    }
    // The graph takes the chunk as its own: unspecified channels, as it was set up with.
    av_channel_layout_uninit(&in->ch_layout);
    in->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    in->ch_layout.nb_channels = m_nGraphChannels;
    if (av_buffersrc_add_frame(m_pIn, in.get()) < 0) {
        return;
    }
    FramePtr out(av_frame_alloc());
    while (out != nullptr && av_buffersink_get_frame(m_pOut, out.get()) >= 0) {
        char key[64];
        for (int c = 0; c < m_nGraphChannels; ++c) {
            const auto i = static_cast<std::size_t>(c);
            std::snprintf(key, sizeof key, "lavfi.astats.%d.Peak_level", c + 1);
            const AVDictionaryEntry* peak = av_dict_get(out->metadata, key, nullptr, 0);
            std::snprintf(key, sizeof key, "lavfi.astats.%d.RMS_level", c + 1);
            const AVDictionaryEntry* rms = av_dict_get(out->metadata, key, nullptr, 0);
            if (peak == nullptr || rms == nullptr) {
                continue;
            }
            const double p = std::strtod(peak->value, nullptr);
            const double r = std::strtod(rms->value, nullptr);
            m_Peak[i] = std::max(m_Peak[i], std::isfinite(p) ? std::pow(10.0, p / 20.0) : 0.0);
            m_Power[i] += (std::isfinite(r) ? std::pow(10.0, r / 10.0) : 0.0) * out->nb_samples;
            m_Samples[i] += out->nb_samples;
        }
        av_frame_unref(out.get());
    }
}

}  // namespace capture
