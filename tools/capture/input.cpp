#include "tools/capture/input.h"

#include <cmath>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavdevice/avdevice.h>
#include <libavformat/avformat.h>
}

namespace capture {

namespace {

// A running input that gives no frame for this long has stopped.
constexpr auto kSilence = std::chrono::seconds(2);

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

int64_t Nanos(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

}  // namespace

double SecondsOf(Clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

InputReader::~InputReader() {
    Close();
}

int InputReader::OnInterrupt(void* opaque) {
    const auto* self = static_cast<const InputReader*>(opaque);
    return self->m_bStop.load() || Nanos(Clock::now()) > self->m_nDeadline.load() ? 1 : 0;
}

// The input itself, opened without probing it for long: frames are timed as they arrive.
bool InputReader::OpenFormat(const std::string& url, const std::string& format,
                             const std::string& limitText, std::string* error) {
    m_pFormat = avformat_alloc_context();
    if (m_pFormat == nullptr) {
        *error = "out of memory";
        return false;
    }
    m_pFormat->interrupt_callback.callback = &InputReader::OnInterrupt;
    m_pFormat->interrupt_callback.opaque = this;
    // Nothing may sit in a buffer meanwhile, and probing a raw stream for seconds would hold
    // frames back.
    m_pFormat->flags |= AVFMT_FLAG_NOBUFFER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "probesize", "65536", 0);
    const AVInputFormat* fmt = nullptr;
    if (!format.empty() && (fmt = av_find_input_format(format.c_str())) == nullptr) {
        *error = "no input format '" + format + "' in this libavformat";
        avformat_free_context(m_pFormat);
        m_pFormat = nullptr;
        return false;
    }
    const int rc = avformat_open_input(&m_pFormat, url.c_str(), fmt, &options);
    av_dict_free(&options);
    if (rc < 0) {
        *error = "cannot open the input " + url + ": " +
                 (rc == AVERROR_EXIT ? "no answer within " + limitText : AvError(rc));
        m_pFormat = nullptr;  // freed by avformat_open_input
        return false;
    }
    return true;
}

// Its video stream and a decoder for it.
bool InputReader::OpenVideo(const std::string& url, const std::string& limitText,
                            std::string* error) {
    int rc = 0;
    m_nStream = av_find_best_stream(m_pFormat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_nStream < 0 || m_pFormat->streams[m_nStream]->codecpar->width <= 0) {
        // Only a format without a header that says it all needs frames probed.
        rc = avformat_find_stream_info(m_pFormat, nullptr);
        m_nStream =
            rc < 0 ? -1 : av_find_best_stream(m_pFormat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    if (m_nStream < 0) {
        *error = "the input " + url + " has no video" +
                 (rc == AVERROR_EXIT ? " (no frame within " + limitText + ")" : "");
        return false;
    }
    AVStream* st = m_pFormat->streams[m_nStream];
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    m_pDecoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (m_pDecoder == nullptr || avcodec_parameters_to_context(m_pDecoder, st->codecpar) < 0 ||
        avcodec_open2(m_pDecoder, codec, nullptr) < 0) {
        *error = "no decoder for the input's video (" +
                 std::string(avcodec_get_name(st->codecpar->codec_id)) + ")";
        return false;
    }
    return true;
}

bool InputReader::Open(const std::string& url, const std::string& format,
                       std::chrono::milliseconds limit, std::string* error) {
    static std::once_flag devices;
    std::call_once(devices, [] { avdevice_register_all(); });
    Close();
    m_Url = url;
    m_bStop = false;
    m_bFailed = false;
    m_Why.clear();
    m_nDeadline = Nanos(Clock::now() + limit);
    const std::string limitText = std::to_string(limit.count()) + " ms";
    if (!OpenFormat(url, format, limitText, error)) {
        return false;
    }
    if (!OpenVideo(url, limitText, error)) {
        Close();
        return false;
    }
    AVStream* st = m_pFormat->streams[m_nStream];
    m_TimeBase = st->time_base;
    m_FrameRate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Picture =
            Picture{st->codecpar->width, st->codecpar->height, st->codecpar->format,
                    st->codecpar->sample_aspect_ratio.num > 0 ? st->codecpar->sample_aspect_ratio
                                                              : AVRational{1, 1}};
    }
    m_Clock.Reset();
    m_bHaveLastPts = false;
    m_nRead = 0;
    m_Thread = std::thread(&InputReader::Run, this);
    // An input that opens but never gives a frame is no capture input.
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Ready.wait_until(lock, Clock::now() + limit, [this] { return m_nRead > 0 || m_bFailed; });
    if (m_nRead == 0) {
        *error = "the input " + url + " gave no frame within " + limitText;
        lock.unlock();
        Close();
        return false;
    }
    return true;
}

void InputReader::Close() {
    m_bStop = true;
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    if (m_pDecoder != nullptr) {
        avcodec_free_context(&m_pDecoder);
    }
    if (m_pFormat != nullptr) {
        avformat_close_input(&m_pFormat);
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.clear();
}

void InputReader::Arm(bool on) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bArmed = on;
    if (!on) {
        m_Queue.clear();
    }
}

std::optional<InputFrame> InputReader::Next(std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_Ready.wait_for(lock, wait, [this] { return !m_Queue.empty() || m_bFailed; }) ||
        m_Queue.empty()) {
        return std::nullopt;
    }
    InputFrame f = std::move(m_Queue.front());
    m_Queue.pop_front();
    return f;
}

InputReader::Picture InputReader::Current() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Picture;
}

bool InputReader::Alive(std::string* why) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bFailed && why != nullptr) {
        *why = m_Why;
    }
    return !m_bFailed;
}

void InputReader::Fail(const std::string& why) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_bFailed) {
        m_bFailed = true;
        m_Why = why;
    }
    m_Ready.notify_all();
}

void InputReader::Deliver(FramePtr frame) {
    const auto now = Clock::now();
    const int64_t pts = frame->best_effort_timestamp;
    double card = std::nan("");
    if (pts != AV_NOPTS_VALUE && m_TimeBase.num > 0) {
        card = static_cast<double>(pts) * av_q2d(m_TimeBase);
        if (m_bHaveLastPts && m_FrameRate.num > 0) {
            // Frames the card stamped but that never came show as a gap in its times.
            const double step =
                (card - static_cast<double>(m_nLastPts) * av_q2d(m_TimeBase)) * av_q2d(m_FrameRate);
            const auto skipped = static_cast<int64_t>(std::llround(step)) - 1;
            if (skipped > 0 && skipped < 1000000) {
                m_nCardGaps += static_cast<uint64_t>(skipped);
            }
        }
        m_nLastPts = pts;
        m_bHaveLastPts = true;
    }
    // What the frames are, as the decoder gives them: a header may not say, and a card's
    // picture changes when its signal does.
    const int width = frame->width;
    const int height = frame->height;
    const int format = frame->format;
    const AVRational aspect = frame->sample_aspect_ratio;
    InputFrame f;
    f.arrival = m_Clock.Arrival(card, SecondsOf(now));
    f.number = m_nRead;
    f.frame = std::move(frame);
    std::lock_guard<std::mutex> lock(m_Mutex);
    // A frame that does not say its aspect has the stream's.
    m_Picture = Picture{width, height, format, aspect.num > 0 ? aspect : m_Picture.aspect};
    ++m_nRead;
    if (m_bArmed) {
        if (m_Queue.size() >= kQueue) {
            ++m_nOverflows;
        } else {
            m_Queue.push_back(std::move(f));
        }
    }
    m_Ready.notify_all();
}

void InputReader::Run() {
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const std::string silent =
        "the input gave no frame for " + std::to_string(kSilence.count()) + " s";
    bool first = true;  // the first frame has the time Open gave it
    while (!m_bStop && pkt != nullptr && frame != nullptr) {
        if (!first) {
            m_nDeadline = Nanos(Clock::now() + kSilence);
        }
        const int rc = av_read_frame(m_pFormat, pkt);
        if (rc < 0) {
            if (!m_bStop) {
                Fail(rc == AVERROR_EXIT  ? silent
                     : rc == AVERROR_EOF ? "the input ended"
                                         : "reading the input failed: " + AvError(rc));
            }
            break;
        }
        // A packet cut short by Close is not a frame.
        if (!m_bStop && pkt->stream_index == m_nStream &&
            avcodec_send_packet(m_pDecoder, pkt) >= 0) {
            while (avcodec_receive_frame(m_pDecoder, frame) >= 0) {
                FramePtr copy(av_frame_clone(frame));
                av_frame_unref(frame);
                if (copy != nullptr) {
                    first = false;
                    Deliver(std::move(copy));
                }
            }
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
}

}  // namespace capture
