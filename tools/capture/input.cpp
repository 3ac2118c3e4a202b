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
bool InputReader::OpenFormat(const std::string& url, const std::string& format, Streams streams,
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
    if (streams == Streams::kPictureOnWallClock) {
        av_dict_set(&options, "ts", "abs", 0);  // V4L2's own are the monotonic clock's
    }
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

// Its video stream and a decoder for it; the input's other streams are passed over.
bool InputReader::OpenVideo(const std::string& url, const std::string& limitText,
                            std::string* error) {
    int rc = 0;
    m_nVideo = av_find_best_stream(m_pFormat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (m_nVideo < 0 || m_pFormat->streams[m_nVideo]->codecpar->width <= 0) {
        // Only a format without a header that says it all needs frames probed.
        rc = avformat_find_stream_info(m_pFormat, nullptr);
        m_nVideo =
            rc < 0 ? -1 : av_find_best_stream(m_pFormat, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    }
    if (m_nVideo < 0) {
        *error = "the input " + url + " has no video" +
                 (rc == AVERROR_EXIT ? " (no frame within " + limitText + ")" : "");
        return false;
    }
    m_Streams.assign(m_pFormat->nb_streams, Stream{});
    AVStream* st = m_pFormat->streams[m_nVideo];
    Stream& video = m_Streams[static_cast<std::size_t>(m_nVideo)];
    video.timeBase = st->time_base;
    video.fieldOrder = st->codecpar->field_order;
    if (!OpenDecoder(m_nVideo, video)) {
        *error = "no decoder for the input's video (" +
                 std::string(avcodec_get_name(st->codecpar->codec_id)) + ")";
        return false;
    }
    return true;
}

bool InputReader::OpenDecoder(int index, Stream& stream) {
    const AVCodecParameters* par = m_pFormat->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    stream.decoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    return stream.decoder != nullptr && avcodec_parameters_to_context(stream.decoder, par) >= 0 &&
           avcodec_open2(stream.decoder, codec, nullptr) >= 0;
}

// The input's sound, when it has any: its first audio stream, decoded as the card gave it.
bool InputReader::OpenSound(std::string* error) {
    m_Sound = Sound{};
    const int index = av_find_best_stream(m_pFormat, AVMEDIA_TYPE_AUDIO, -1, m_nVideo, nullptr, 0);
    if (index < 0) {
        return true;
    }
    AVStream* st = m_pFormat->streams[index];
    Stream& sound = m_Streams[static_cast<std::size_t>(index)];
    sound.timeBase = st->time_base;
    sound.sound = true;
    if (!OpenDecoder(index, sound) || sound.decoder->sample_rate <= 0) {
        *error = "no decoder for the input's sound (" +
                 std::string(avcodec_get_name(st->codecpar->codec_id)) + ")";
        return false;
    }
    m_Sound.channels = sound.decoder->ch_layout.nb_channels;
    m_Sound.sampleRate = sound.decoder->sample_rate;
    m_Sound.sampleFormat = sound.decoder->sample_fmt;
    m_Sound.bits = sound.decoder->bits_per_raw_sample > 0
                       ? sound.decoder->bits_per_raw_sample
                       : av_get_bytes_per_sample(sound.decoder->sample_fmt) * 8;
    return true;
}

bool InputReader::Open(const std::string& url, const std::string& format,
                       std::chrono::milliseconds limit, std::string* error, Streams streams) {
    static std::once_flag devices;
    std::call_once(devices, [] { avdevice_register_all(); });
    Close();
    m_Url = url;
    m_bStop = false;
    m_bFailed = false;
    m_Why.clear();
    m_nDeadline = Nanos(Clock::now() + limit);
    const std::string limitText = std::to_string(limit.count()) + " ms";
    if (!OpenFormat(url, format, streams, limitText, error)) {
        return false;
    }
    const bool soundOnly = streams == Streams::kSoundOnly;
    if (soundOnly) {
        m_Streams.assign(m_pFormat->nb_streams, Stream{});
        const bool opened = OpenSound(error);
        if (opened && m_Sound.channels == 0) {
            *error = "the sound input " + url + " has no sound";
        }
        if (!opened || m_Sound.channels == 0) {
            Close();
            return false;
        }
    } else if (!OpenVideo(url, limitText, error) || !OpenSound(error)) {
        Close();
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Picture = Picture{};
        if (!soundOnly) {
            AVStream* st = m_pFormat->streams[m_nVideo];
            m_FrameRate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
            const AVRational aspect = st->codecpar->sample_aspect_ratio;
            m_Picture = Picture{st->codecpar->width, st->codecpar->height, st->codecpar->format,
                                aspect.num > 0 ? aspect : AVRational{1, 1}};
        }
    }
    m_Clock.Reset();
    m_bHaveLastPts = false;
    m_nRead = 0;
    m_Thread = std::thread(&InputReader::Run, this);
    // An input that opens but never gives a frame (or its sound) is no capture input.
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Ready.wait_until(lock, Clock::now() + limit, [this] { return m_nRead > 0 || m_bFailed; });
    if (m_nRead == 0) {
        *error = "the input " + url + " gave no " + (soundOnly ? "sound" : "frame") + " within " +
                 limitText;
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
    for (Stream& s : m_Streams) {
        avcodec_free_context(&s.decoder);
    }
    m_Streams.clear();
    m_nVideo = -1;
    if (m_pFormat != nullptr) {
        avformat_close_input(&m_pFormat);
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.clear();
    m_SoundQueue.clear();
}

void InputReader::Arm(bool on) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bArmed = on;
    if (!on) {
        m_Queue.clear();
        m_SoundQueue.clear();
    }
}

template <typename T>
std::optional<T> InputReader::PopWithin(std::deque<T>& queue, std::chrono::milliseconds wait) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (!m_Ready.wait_for(lock, wait, [this, &queue] { return !queue.empty() || m_bFailed; }) ||
        queue.empty()) {
        return std::nullopt;
    }
    T item = std::move(queue.front());
    queue.pop_front();
    return item;
}

std::optional<SoundChunk> InputReader::NextSound(std::chrono::milliseconds wait) {
    return PopWithin(m_SoundQueue, wait);
}

double InputReader::FrameRateSeen() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Arrivals.size() < 2 || m_Arrivals.back() <= m_Arrivals.front()) {
        return 0;
    }
    return static_cast<double>(m_Arrivals.size() - 1) / (m_Arrivals.back() - m_Arrivals.front());
}

InputReader::Sound InputReader::CurrentSound() const {
    return m_Sound;  // set before the thread starts, never changed while it runs
}

std::optional<InputFrame> InputReader::Next(std::chrono::milliseconds wait) {
    return PopWithin(m_Queue, wait);
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

void InputReader::Deliver(FramePtr frame, const Stream& stream) {
    const auto now = Clock::now();
    if (frame->sample_aspect_ratio.num <= 0) {
        // A frame that does not say its aspect has the stream's.
        std::lock_guard<std::mutex> lock(m_Mutex);
        frame->sample_aspect_ratio = m_Picture.aspect;
    }
    {
        std::lock_guard<std::mutex> lock(m_TapMutex);
        if (m_pTap != nullptr) {
            m_pTap->Picture(*frame);
        }
    }
    const int64_t pts = frame->best_effort_timestamp;
    const AVRational tb = stream.timeBase;
    double card = std::nan("");
    if (pts != AV_NOPTS_VALUE && tb.num > 0) {
        card = static_cast<double>(pts) * av_q2d(tb);
        if (m_bHaveLastPts && m_FrameRate.num > 0) {
            // Frames the card stamped but that never came show as a gap in its times.
            const double step =
                (card - static_cast<double>(m_nLastPts) * av_q2d(tb)) * av_q2d(m_FrameRate);
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
    Picture seen;
    seen.width = frame->width;
    seen.height = frame->height;
    seen.pixelFormat = frame->format;
    seen.aspect = frame->sample_aspect_ratio;
    seen.fieldOrder = frame->interlaced_frame == 0  ? stream.fieldOrder
                      : frame->top_field_first != 0 ? AV_FIELD_TT
                                                    : AV_FIELD_BB;
    seen.primaries = frame->color_primaries;
    seen.transfer = frame->color_trc;
    seen.matrix = frame->colorspace;
    seen.range = frame->color_range;
    InputFrame f;
    f.arrival = m_Clock.Arrival(card, SecondsOf(now));
    f.number = m_nRead;
    f.card = card;
    f.frame = std::move(frame);
    std::lock_guard<std::mutex> lock(m_Mutex);
    // A frame that does not say its aspect has the stream's.
    seen.aspect = seen.aspect.num > 0 ? seen.aspect : m_Picture.aspect;
    m_Picture = seen;
    ++m_nRead;
    // A second or so of arrivals, as the host saw them: the rate a person is shown.
    m_Arrivals.push_back(SecondsOf(now));
    while (m_Arrivals.size() > 31) {
        m_Arrivals.pop_front();
    }
    if (m_bArmed) {
        if (m_Queue.size() >= kQueue) {
            ++m_nOverflows;
        } else {
            m_Queue.push_back(std::move(f));
        }
    }
    m_Ready.notify_all();
}

// Samples are placed by the card's clock, as its frames are: their sound is the samples of the
// frame's time.
void InputReader::DeliverSound(FramePtr samples, const Stream& stream) {
    const int64_t pts = samples->best_effort_timestamp;
    if (pts == AV_NOPTS_VALUE || stream.timeBase.num <= 0 || samples->sample_rate <= 0) {
        return;  // sound that cannot be placed is no sound for a clip
    }
    SoundChunk c;
    c.card = static_cast<double>(pts) * av_q2d(stream.timeBase);
    c.first = std::llround(c.card * samples->sample_rate);
    c.samples = std::move(samples);
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_nVideo < 0) {
        ++m_nRead;  // a sound device's chunks are what it gives
    }
    if (m_bArmed) {
        // A capture that takes no sound (a calibration) leaves it; the oldest goes first, and a
        // take that wanted it sees the hole.
        if (m_SoundQueue.size() >= kSoundQueue) {
            m_SoundQueue.pop_front();
        }
        m_SoundQueue.push_back(std::move(c));
    }
    m_Ready.notify_all();
}

// A packet through its stream's decoder, and each picture or sound it gives on to the capture.
void InputReader::Decode(const AVPacket* packet, AVFrame* scratch, Stream& stream) {
    if (stream.decoder == nullptr || avcodec_send_packet(stream.decoder, packet) < 0) {
        return;
    }
    while (avcodec_receive_frame(stream.decoder, scratch) >= 0) {
        if (stream.sound) {
            std::lock_guard<std::mutex> lock(m_TapMutex);
            if (m_pTap != nullptr) {
                m_pTap->Sound(*scratch);
            }
        }
        FramePtr copy(av_frame_clone(scratch));
        av_frame_unref(scratch);
        if (copy != nullptr && stream.sound) {
            DeliverSound(std::move(copy), stream);
        } else if (copy != nullptr) {
            Deliver(std::move(copy), stream);
        }
    }
}

void InputReader::SetTap(std::shared_ptr<InputTap> tap) {
    std::lock_guard<std::mutex> lock(m_TapMutex);
    m_pTap = std::move(tap);
}

void InputReader::Run() {
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const std::string silent =
        "the input gave no frame for " + std::to_string(kSilence.count()) + " s";
    while (!m_bStop && pkt != nullptr && frame != nullptr) {
        if (m_nRead > 0) {  // the first frame has the time Open gave it
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
        // A packet cut short by Close is not a frame; a stream without a decoder is not read.
        if (!m_bStop && pkt->stream_index >= 0 &&
            static_cast<std::size_t>(pkt->stream_index) < m_Streams.size()) {
            Decode(pkt, frame, m_Streams[static_cast<std::size_t>(pkt->stream_index)]);
        }
        av_packet_unref(pkt);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
}

void SplitInput::Arm(bool on) {
    m_Picture.Arm(on);
    m_Sound.Arm(on);
    m_nNext.reset();  // the first chunk of a take is placed by its stamp
}

bool SplitInput::Alive(std::string* why) const {
    if (!m_Picture.Alive(why)) {
        return false;
    }
    std::string sound;
    if (!m_Sound.Alive(&sound)) {
        if (why != nullptr) {
            *why = "the sound input: " + sound;
        }
        return false;
    }
    return true;
}

std::optional<SoundChunk> SplitInput::NextSound(std::chrono::milliseconds wait) {
    std::optional<SoundChunk> c = m_Sound.NextSound(wait);
    if (!c || c->samples == nullptr) {
        return c;
    }
    const int64_t stamped = c->first;
    if (m_nNext) {
        // A stamp within half a chunk of where the samples run on is their jitter, or the
        // device's drift: they follow on. Later than that, the device lost some. Earlier, the
        // clock was set back: a device never gives its samples twice, so they follow on too.
        const int64_t off = stamped - m_nStamped;
        c->first = *m_nNext + (off * 2 > m_nLast ? off : 0);
    }
    m_nLast = c->samples->nb_samples;
    m_nStamped = stamped + m_nLast;
    m_nNext = c->first + m_nLast;
    return c;
}

}  // namespace capture
