#include "tools/decksim/video_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <numeric>
#include <sstream>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
}

#include "tools/stripe/stripe.h"

namespace decksim {

namespace {

// What SD capture cards give: 8-bit YUYV, or 10-bit 4:2:2 from an SDI card.
AVPixelFormat PixelFormat(int depth) {
    return depth == 10 ? AV_PIX_FMT_YUV422P10LE : AV_PIX_FMT_YUYV422;
}

// The standard's pixel aspect of an SD picture (4:3 on 720 samples a line), else square.
AVRational PixelAspect(int width, int height) {
    if (width == 720 && height == 576) {
        return AVRational{12, 11};
    }
    if (width == 720 && height == 486) {
        return AVRational{10, 11};
    }
    return AVRational{1, 1};
}
constexpr int kMuxerBuffer = 64 * 1024;
constexpr int kSoundRate = 48000;
constexpr int kToneHz = 997;  // prime to the rate: every sample of a second has its own phase
constexpr int kSoundStream = 1;
constexpr std::size_t kMaxReaders = 8;
constexpr std::size_t kFirstReader = 3;  // in the poll: the wake, the two listeners, the readers
// A stream thread held up this long gives the frames up rather than sending them late.
constexpr auto kGiveUp = std::chrono::milliseconds(500);

// A 5x7 face for the time under the stripe: rows top down, bit 4 the leftmost column.
struct Glyph {
    char c;
    uint8_t rows[7];
};
constexpr Glyph kFont[] = {
    {'0', {0x0E, 0x11, 0x13, 0x15, 0x19, 0x11, 0x0E}},
    {'1', {0x04, 0x0C, 0x04, 0x04, 0x04, 0x04, 0x0E}},
    {'2', {0x0E, 0x11, 0x01, 0x02, 0x04, 0x08, 0x1F}},
    {'3', {0x1F, 0x02, 0x04, 0x02, 0x01, 0x11, 0x0E}},
    {'4', {0x02, 0x06, 0x0A, 0x12, 0x1F, 0x02, 0x02}},
    {'5', {0x1F, 0x10, 0x1E, 0x01, 0x01, 0x11, 0x0E}},
    {'6', {0x06, 0x08, 0x10, 0x1E, 0x11, 0x11, 0x0E}},
    {'7', {0x1F, 0x01, 0x02, 0x04, 0x08, 0x08, 0x08}},
    {'8', {0x0E, 0x11, 0x11, 0x0E, 0x11, 0x11, 0x0E}},
    {'9', {0x0E, 0x11, 0x11, 0x0F, 0x01, 0x02, 0x0C}},
    {':', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x0C, 0x00}},
    {';', {0x00, 0x0C, 0x0C, 0x00, 0x0C, 0x04, 0x08}},
    {'-', {0x00, 0x00, 0x00, 0x1F, 0x00, 0x00, 0x00}},
};

const Glyph* FindGlyph(char c) {
    for (const Glyph& g : kFont) {
        if (g.c == c) {
            return &g;
        }
    }
    return nullptr;
}

bool ToInt(const std::string& s, long lo, long hi, long* out) {
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (s.empty() || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

// Colour bars for people, 75 % as BT.601 puts them: white, yellow, cyan, green, magenta, red,
// blue, black.
constexpr uint8_t kBars[8][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                 {84, 184, 198},  {65, 100, 212}, {35, 212, 114}, {16, 128, 128}};

}  // namespace

const char* const VideoStream::kHelp =
    "video                      print the picture's counters: readers, frames put out,\n"
    "                           dropped on purpose, lost to slow readers, late\n"
    "video delay|jitter MS      change the capture path's latency or its jitter\n"
    "video drop N               lose one frame in N at random (0: none)\n"
    "sound                      print the sound's set-up and frames silenced\n"
    "sound gap N                the next N frames' sound never arrives\n"
    "sound clip K on|off        overdrive channel K's tone until it clips\n"
    "sound drift PPM            the sound device's clock runs PPM fast (negative: slow)\n"
    "ltc                        print the LTC's set-up\n"
    "ltc on|off                 the LTC channel carries LTC, or silence\n"
    "ltc offset N               LTC reads N frames later than the deck's time (a jump)\n"
    "ltc backwards on|off       LTC counts down from where it is\n";

int64_t SamplesBefore(int64_t k, double fps) {
    const AVRational rate = av_d2q(fps, 1001000);
    // Rounded to the nearest sample: never a tie at the rates decks run at.
    const int64_t a = k * kSoundRate * rate.den;
    return (a + (a >= 0 ? rate.num / 2 : -rate.num / 2)) / rate.num;
}

int32_t ToneAt(int64_t n, int gain) {
    constexpr double kFull = 8388607.0;  // 24 bits
    const int64_t phase = ((n % kSoundRate) * kToneHz % kSoundRate + kSoundRate) % kSoundRate;
    const double v =
        0.1 * gain * kFull * std::sin(2.0 * M_PI * static_cast<double>(phase) / kSoundRate);
    return static_cast<int32_t>(std::lround(std::clamp(v, -kFull - 1.0, kFull)));
}

bool ParseVideoSize(const std::string& text, int* width, int* height) {
    const std::size_t x = text.find('x');
    long w = 0;
    long h = 0;
    if (x == std::string::npos || !ToInt(text.substr(0, x), stripe::kStripeMinWidth, 4096, &w) ||
        !ToInt(text.substr(x + 1), stripe::kStripeRows, 4096, &h) || w % 2 != 0) {
        return false;
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
    return true;
}

Fields FieldsOf(int width, int height) {
    return width == 720 && height == 576   ? Fields::kTopFirst
           : width == 720 && height == 486 ? Fields::kBottomFirst
                                           : Fields::kProgressive;
}

VideoStream::VideoStream(VideoOptions options, double fps, const TimeBase& base,
                         Clock::time_point origin, Sampler sampler)
    : m_Options(std::move(options)),
      m_dFps(fps),
      m_Base(base),
      m_Origin(origin),
      m_Sampler(std::move(sampler)),
      m_nFrameBytes(av_image_get_buffer_size(PixelFormat(m_Options.depth), m_Options.width,
                                             m_Options.height, 1)),
      m_Random(m_Options.seed),
      m_Delay(m_Options.delay),
      m_Jitter(m_Options.jitter),
      m_nDropOneIn(m_Options.dropOneIn) {
    m_Apart.apart = true;
    m_dDrift = m_Options.soundPpm;
    if (m_Options.ltcChannel > 0) {
        m_Sound.ltc = std::make_unique<LtcTrack>(fps, base);
        m_Apart.ltc = std::make_unique<LtcTrack>(fps, base);
    }
    const int w = m_Options.width;
    const int h = m_Options.height;
    m_Background.assign(static_cast<std::size_t>(w) * h * 2, 128);
    for (int y = 0; y < h; ++y) {
        uint8_t* row = m_Background.data() + static_cast<std::ptrdiff_t>(y) * w * 2;
        for (int x = 0; x < w; x += 2) {
            uint8_t yuv[3] = {16, 128, 128};
            if (y >= h / 3 && y < 2 * h / 3) {
                const auto* bar = kBars[x * 8 / w];
                std::copy(bar, bar + 3, yuv);
            } else if (y >= 2 * h / 3) {
                yuv[0] = static_cast<uint8_t>(16 + 219 * x / std::max(1, w - 2));
            }
            uint8_t* pair = row + static_cast<std::ptrdiff_t>(x) * 2;
            pair[0] = yuv[0];
            pair[1] = yuv[1];
            pair[2] = yuv[0];
            pair[3] = yuv[2];
        }
    }
    m_Frame = m_Background;
    m_Second = m_Background;
    m_Packed.assign(static_cast<std::size_t>(m_nFrameBytes), 0);
}

VideoStream::~VideoStream() {
    Stop();
}

bool VideoStream::OpenListener(const std::string& path, int* fd, std::string* error) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        *error = "socket path too long: " + path;
        return false;
    }
    std::memcpy(addr.sun_path, path.data(), path.size());
    struct stat st {};
    if (lstat(addr.sun_path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + " exists and is not a socket; not replacing it";
            return false;
        }
        unlink(addr.sun_path);  // left behind by an earlier run
    }
    *fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(*fd, 4) != 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool VideoStream::Start(std::string* error) {
    m_nWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_nWake < 0 || !OpenListener(m_Options.path, &m_nListen, error) ||
        (!m_Options.soundPath.empty() &&
         !OpenListener(m_Options.soundPath, &m_nSoundListen, error))) {
        if (m_nWake < 0) {
            *error = std::strerror(errno);
        }
        Stop();
        return false;
    }
    av_log_set_level(AV_LOG_ERROR);  // the muxer's notices are not the deck's business
    m_bStop = false;
    m_Thread = std::thread(&VideoStream::Run, this);
    return true;
}

void VideoStream::Stop() {
    m_bStop = true;
    if (m_Thread.joinable()) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_nWake, &one, sizeof one);
        m_Thread.join();
    }
    for (auto& r : m_Readers) {
        CloseReader(*r);
    }
    m_Readers.clear();
    const auto closeListener = [](int* fd, const std::string& path) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
            unlink(path.c_str());
        }
    };
    closeListener(&m_nListen, m_Options.path);
    closeListener(&m_nSoundListen, m_Options.soundPath);
    if (m_nWake >= 0) {
        close(m_nWake);
        m_nWake = -1;
    }
}

std::string VideoStream::Control(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string t; in >> t;) {
        w.push_back(t);
    }
    if (w.empty() || (w[0] != "video" && w[0] != "sound" && w[0] != "ltc")) {
        return "";
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    long v = 0;
    if (w[0] == "ltc") {
        if (m_Options.ltcChannel == 0) {
            return "error: the deck's sound has no LTC (decksim --ltc-channel K)";
        }
        if (w.size() == 1) {
            std::ostringstream out;
            out << "channel=" << m_Options.ltcChannel << " on=" << m_bLtcOn
                << " offset=" << m_nLtcOffset << " backwards=" << m_bLtcBackwards;
            return out.str();
        }
        if (w.size() == 2 && (w[1] == "on" || w[1] == "off")) {
            m_bLtcOn = w[1] == "on";
            return "ok";
        }
        if (w.size() == 3 && w[1] == "offset" && ToInt(w[2], -100000, 100000, &v)) {
            m_nLtcOffset = v;
            return "ok";
        }
        if (w.size() == 3 && w[1] == "backwards" && (w[2] == "on" || w[2] == "off")) {
            m_bLtcBackwards = w[2] == "on";
            return "ok";
        }
        return "error: ltc, ltc on|off, ltc offset N or ltc backwards on|off";
    }
    if (w[0] == "sound") {
        const int n = m_Options.soundChannels;
        if (w.size() == 1) {
            std::ostringstream out;
            out << "channels=" << n << " silenced=" << m_nSilenced.load() << " gap=" << m_nSoundGap
                << " clipping=" << m_nClipping << " drift=" << m_dDrift;
            return out.str();
        }
        if (n > 0 && w.size() == 3 && w[1] == "drift" && ToInt(w[2], -10000, 10000, &v)) {
            if (m_Options.soundPath.empty()) {
                return "error: the sound has no device of its own (decksim --audio PATH)";
            }
            m_dDrift = static_cast<double>(v);
            return "ok";
        }
        if (n > 0 && w.size() == 3 && w[1] == "gap" && ToInt(w[2], 0, 1000000, &v)) {
            m_nSoundGap = static_cast<int>(v);
            return "ok";
        }
        if (n > 0 && w.size() == 4 && w[1] == "clip" && ToInt(w[2], 1, n, &v) &&
            (w[3] == "on" || w[3] == "off")) {
            const uint32_t bit = 1U << (v - 1);
            m_nClipping = w[3] == "on" ? (m_nClipping | bit) : (m_nClipping & ~bit);
            return "ok";
        }
        return n == 0 ? "error: the deck has no sound (decksim --audio)"
                      : "error: sound, sound gap N, sound clip K on|off or sound drift PPM";
    }
    if (w.size() == 1) {
        std::ostringstream out;
        out << "readers=" << m_nReaders.load() << " frames=" << m_nFrames.load()
            << " dropped=" << m_nDropped.load() << " slow=" << m_nSlow.load()
            << " late=" << m_nLate.load() << " delay=" << m_Delay.count()
            << " jitter=" << m_Jitter.count() << " drop=" << m_nDropOneIn;
        return out.str();
    }
    if (w.size() == 3 && (w[1] == "delay" || w[1] == "jitter") && ToInt(w[2], 0, 10000, &v)) {
        (w[1] == "delay" ? m_Delay : m_Jitter) = Millis(v);
        return "ok";
    }
    if (w.size() == 3 && w[1] == "drop" && ToInt(w[2], 0, 1000000, &v)) {
        m_nDropOneIn = static_cast<int>(v);
        return "ok";
    }
    return "error: video, video delay MS, video jitter MS or video drop N";
}

Clock::time_point VideoStream::Tick(int64_t k) const {
    return m_Origin + std::chrono::duration_cast<Clock::duration>(
                          std::chrono::duration<double>(static_cast<double>(k) / m_dFps));
}

int VideoStream::OnMuxerWrite(void* opaque, uint8_t* data, int size) {
    auto* reader = static_cast<Reader*>(opaque);
    reader->collecting.insert(reader->collecting.end(), data, data + size);
    return size;
}

bool VideoStream::AddPicture(AVFormatContext* mux, std::string* error) const {
    AVStream* st = avformat_new_stream(mux, nullptr);
    if (st == nullptr) {
        *error = "out of memory";
        return false;
    }
    const AVRational rate = av_d2q(m_dFps, 1001000);
    st->time_base = av_inv_q(rate);
    st->avg_frame_rate = rate;
    st->r_frame_rate = rate;
    AVCodecParameters* p = st->codecpar;
    p->codec_type = AVMEDIA_TYPE_VIDEO;
    p->codec_id = AV_CODEC_ID_RAWVIDEO;
    p->format = PixelFormat(m_Options.depth);
    p->codec_tag = avcodec_pix_fmt_to_codec_tag(PixelFormat(m_Options.depth));
    p->width = m_Options.width;
    p->height = m_Options.height;
    p->sample_aspect_ratio = PixelAspect(m_Options.width, m_Options.height);
    st->sample_aspect_ratio = p->sample_aspect_ratio;
    p->field_order = m_Options.fields == Fields::kTopFirst      ? AV_FIELD_TT
                     : m_Options.fields == Fields::kBottomFirst ? AV_FIELD_BB
                                                                : AV_FIELD_PROGRESSIVE;
    return true;
}

bool VideoStream::OpenMuxer(Reader& r, int64_t tick, std::string* error) {
    if (avformat_alloc_output_context2(&r.mux, nullptr, "nut", nullptr) < 0 || r.mux == nullptr) {
        *error = "no NUT muxer in this libavformat";
        return false;
    }
    auto* buffer = static_cast<uint8_t*>(av_malloc(kMuxerBuffer));
    r.mux->pb = buffer == nullptr ? nullptr
                                  : avio_alloc_context(buffer, kMuxerBuffer, 1, &r, nullptr,
                                                       &VideoStream::OnMuxerWrite, nullptr);
    if (r.mux->pb == nullptr) {
        av_free(buffer);
        *error = "out of memory";
        return false;
    }
    r.mux->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (!r.soundOnly && !AddPicture(r.mux, error)) {
        return false;
    }
    if (m_Options.soundChannels > 0) {
        AVStream* sound = avformat_new_stream(r.mux, nullptr);
        if (sound == nullptr) {
            *error = "out of memory";
            return false;
        }
        sound->time_base = AVRational{1, kSoundRate};
        AVCodecParameters* a = sound->codecpar;
        a->codec_type = AVMEDIA_TYPE_AUDIO;
        a->codec_id = AV_CODEC_ID_PCM_S24LE;
        a->sample_rate = kSoundRate;
        a->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        a->ch_layout.nb_channels = m_Options.soundChannels;
        a->bits_per_coded_sample = 24;
        a->block_align = 3 * m_Options.soundChannels;
    }
    const int rc = avformat_write_header(r.mux, nullptr);
    if (rc < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(rc, text, sizeof text);
        *error = std::string("NUT header: ") + text;
        return false;
    }
    avio_flush(r.mux->pb);
    r.firstTick = tick;
    return true;
}

void VideoStream::CloseReader(Reader& r) {
    if (r.mux != nullptr) {
        if (r.mux->pb != nullptr) {
            av_freep(&r.mux->pb->buffer);
            avio_context_free(&r.mux->pb);
        }
        avformat_free_context(r.mux);
        r.mux = nullptr;
    }
    if (r.fd >= 0) {
        close(r.fd);
        r.fd = -1;
        --m_nReaders;
    }
}

void VideoStream::Accept(int listen, bool soundOnly) {
    const int fd = accept4(listen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    if (m_Readers.size() >= kMaxReaders) {
        close(fd);  // each reader holds frames in flight: a bound on them all
        return;
    }
    // A bigger buffer lets a whole frame go at once where the system allows it.
    const int size = 4 * m_nFrameBytes;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    m_Readers.push_back(std::make_unique<Reader>());
    Reader& r = *m_Readers.back();
    r.fd = fd;
    r.soundOnly = soundOnly;
    ++m_nReaders;
    const auto now = Clock::now();
    // A reader's stream starts where the sound's run of frames does (five frames at 29.97), so
    // that its frames and samples count from one moment as a card's do.
    const AVRational rate = av_d2q(m_dFps, 1001000);
    // (A rate that is no fraction, which the options never give, starts anywhere.)
    const int64_t common = std::gcd<int64_t>(rate.num, int64_t{kSoundRate} * rate.den);
    const int64_t run = common > 0 && rate.num > 0 ? rate.num / common : 1;
    const auto soon = static_cast<int64_t>(
        std::ceil(std::chrono::duration<double>(now - m_Origin).count() * m_dFps));
    const int64_t next = (soon + run - 1) / run * run;
    std::string error;
    if (!OpenMuxer(r, next, &error)) {
        CloseReader(r);
        m_Readers.pop_back();
        return;
    }
    Queue(r, now);
}

void VideoStream::Queue(Reader& r, Clock::time_point due) {
    if (r.collecting.empty()) {
        return;
    }
    r.queued += r.collecting.size();
    r.queue.push_back(Chunk{std::move(r.collecting), due});
    r.collecting.clear();
}

// One moment of the tape drawn whole into `frame` (8-bit YUYV); `field` 1 for the field taken
// second, whose moving bar has moved on by half a frame.
void VideoStream::Render(const Picture& pic, int field, uint8_t* frame) {
    const int w = m_Options.width;
    const int h = m_Options.height;
    std::copy(m_Background.begin(), m_Background.end(), frame);
    uint8_t* luma = frame;
    const int stride = w * 2;
    stripe::DrawStripe(luma, stride, 2, w,
                       pic.clean ? std::optional<int64_t>(pic.frames) : std::nullopt);
    // The time in digits for people, under the stripe; dashes without a clean picture.
    const int scale = std::max(1, w / 160);
    const std::string text = pic.clean ? FormatTime(pic.frames, m_Base) : "--:--:--:--";
    const int top = stripe::kStripeRows + 4 * scale;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Glyph* g = FindGlyph(text[i]);
        const int left = 4 * scale + static_cast<int>(i) * 6 * scale;
        for (int gy = 0; g != nullptr && gy < 7 * scale && top + gy < h; ++gy) {
            for (int gx = 0; gx < 5 * scale && left + gx < w; ++gx) {
                const bool on = ((g->rows[gy / scale] >> (4 - gx / scale)) & 1) != 0;
                luma[static_cast<std::ptrdiff_t>(top + gy) * stride +
                     static_cast<std::ptrdiff_t>(left + gx) * 2] = on ? stripe::kLumaWhite : 16;
            }
        }
    }
    // A bar that moves with the tape, so that people see it run and still frames repeat.
    const int barTop = top + 9 * scale;
    const int barX = static_cast<int>((pic.frames % (w / 2 / scale)) * 2 * scale) + field * scale;
    for (int y = barTop; y < std::min(h, h / 3); ++y) {
        for (int x = barX; x < std::min(w, barX + 2 * scale); ++x) {
            luma[static_cast<std::ptrdiff_t>(y) * stride + static_cast<std::ptrdiff_t>(x) * 2] =
                stripe::kLumaWhite;
        }
    }
    if (!pic.clean) {
        // An unlocked servo tears the picture: a few lines of noise.
        for (int n = 0; n < 8; ++n) {
            const int y = static_cast<int>(m_Random() % static_cast<unsigned>(h));
            if (y < stripe::kStripeRows) {
                continue;
            }
            for (int x = 0; x < w; ++x) {
                luma[static_cast<std::ptrdiff_t>(y) * stride + static_cast<std::ptrdiff_t>(x) * 2] =
                    static_cast<uint8_t>(16 + m_Random() % 220);
            }
        }
    }
}

// The 8-bit YUYV frame as planar 10-bit 4:2:2, little-endian, the planes one after another.
void VideoStream::Pack(const uint8_t* yuyv) {
    const std::size_t n = static_cast<std::size_t>(m_Options.width) * m_Options.height;
    uint8_t* y = m_Packed.data();
    uint8_t* u = y + 2 * n;
    uint8_t* v = u + n;
    const auto put = [](uint8_t* at, uint8_t sample) {
        const unsigned ten = static_cast<unsigned>(sample) << 2;
        at[0] = static_cast<uint8_t>(ten & 0xFF);
        at[1] = static_cast<uint8_t>(ten >> 8);
    };
    for (std::size_t i = 0; i < n / 2; ++i) {
        const uint8_t* pair = yuyv + 4 * i;
        put(y + 4 * i, pair[0]);
        put(u + 2 * i, pair[1]);
        put(y + 4 * i + 2, pair[2]);
        put(v + 2 * i, pair[3]);
    }
}

// Frame k's sound, on the device's clock of 48 kHz (the picture's own, or apart from it): the
// tape's samples on from where the sound last began while the tape plays at speed, silence
// otherwise. Every channel carries the tone but the last of several, which stays silent.
void VideoStream::Sound(int64_t k, const Picture& picture, SoundTrack& t) {
    const int channels = m_Options.soundChannels;
    uint32_t clipping;
    bool ltcOn;
    int64_t ltcOffset;
    bool ltcBackwards;
    double ratio = 1.0;  // the device's samples for each of the picture's clock
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        clipping = m_nClipping;
        ltcOn = m_bLtcOn;
        ltcOffset = m_nLtcOffset;
        ltcBackwards = m_bLtcBackwards;
        ratio = t.apart ? 1.0 + m_dDrift * 1e-6 : 1.0;
    }
    const double owed =
        static_cast<double>(SamplesBefore(k + 1, m_dFps) - SamplesBefore(k, m_dFps)) * ratio +
        t.carry;
    const auto n = static_cast<int64_t>(std::floor(owed));
    t.carry = owed - static_cast<double>(n);
    const bool playing = picture.clean && picture.frames == t.lastPosition + 1;
    if (playing && !t.sounded) {
        t.cursor = std::llround(static_cast<double>(SamplesBefore(picture.frames, m_dFps)) * ratio);
    }
    t.lastPosition = picture.frames;
    t.sounded = playing;
    const int ltc = m_Options.ltcChannel - 1;  // -1: none
    if (ltc >= 0) {
        const bool running = playing && ltcOn;
        int64_t label = picture.label + ltcOffset;
        if (!ltcBackwards) {
            t.ltcBackFrom = -1;
        } else {
            t.ltcBackFrom = t.ltcBackFrom < 0 ? label : t.ltcBackFrom;
            label = 2 * t.ltcBackFrom - label;
        }
        const int64_t day = hostkit::DayFrames(m_Base);
        label = ((label % day) + day) % day;
        if (running) {
            t.ltc->Frame(label, n, !t.ltcRunning, &t.ltcSamples);
        } else {
            t.ltcSamples.assign(static_cast<std::size_t>(n), 0);
        }
        t.ltcRunning = running;
    }
    t.bytes.assign(static_cast<std::size_t>(n * channels * 3), 0);
    uint8_t* at = t.bytes.data();
    for (int64_t i = 0; i < n; ++i) {
        const int32_t tone = playing ? ToneAt(t.cursor + i) : 0;
        const int32_t loud = playing ? ToneAt(t.cursor + i, 20) : 0;
        for (int c = 0; c < channels; ++c, at += 3) {
            const bool silent = channels > 1 && c == channels - 1;
            const int32_t v = c == ltc ? t.ltcSamples[static_cast<std::size_t>(i)]
                              : silent ? 0
                              : ((clipping >> c) & 1) != 0 ? loud
                                                           : tone;
            at[0] = static_cast<uint8_t>(v & 0xFF);
            at[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
            at[2] = static_cast<uint8_t>((v >> 16) & 0xFF);
        }
    }
    if (playing) {
        t.cursor += n;
    }
}

// The sound device stamps each chunk with the deck's clock at its first sample, as a host's
// sound device is stamped with the host's: its count runs apart from its stamps by its drift.
bool VideoStream::WriteApart(Reader& r, int64_t k) {
    AVPacket* pkt = av_packet_alloc();
    if (pkt == nullptr) {
        return false;
    }
    pkt->data = m_Apart.bytes.data();
    pkt->size = static_cast<int>(m_Apart.bytes.size());
    pkt->stream_index = 0;
    pkt->flags = AV_PKT_FLAG_KEY;
    pkt->pts = SamplesBefore(k, m_dFps);
    pkt->dts = pkt->pts;
    pkt->duration =
        static_cast<int64_t>(m_Apart.bytes.size()) / (int64_t{3} * m_Options.soundChannels);
    av_packet_rescale_ts(pkt, AVRational{1, kSoundRate}, r.mux->streams[0]->time_base);
    const bool written = av_write_frame(r.mux, pkt) >= 0;
    av_packet_free(&pkt);
    return written;
}

void VideoStream::Produce(int64_t k) {
    Millis delay;
    Millis jitter;
    int dropOneIn;
    bool sound = m_Options.soundChannels > 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        delay = m_Delay;
        jitter = m_Jitter;
        dropOneIn = m_nDropOneIn;
        if (sound && m_nSoundGap > 0) {
            --m_nSoundGap;
            ++m_nSilenced;
            sound = false;
        }
    }
    ++m_nFrames;
    // A frame lost on the way costs the picture only: a card's sound runs on.
    const bool dropped = dropOneIn > 0 && m_Random() % static_cast<unsigned>(dropOneIn) == 0;
    m_nDropped += dropped ? 1 : 0;
    // The deck shows the middle of each frame's time: the frame the tape holds then. An
    // interlaced picture takes each field at the middle of its own half.
    const auto period = Tick(k + 1) - Tick(k);
    if (m_Options.soundChannels > 0) {
        const Picture middle = m_Sampler(Tick(k) + period / 2);
        Sound(k, middle, m_Sound);
        if (m_nSoundListen >= 0) {
            Sound(k, middle, m_Apart);
        }
    }
    if (dropped && !sound) {
        return;
    }
    if (dropped) {
        // no picture to draw: only the sound goes
    } else if (m_Options.fields == Fields::kProgressive) {
        Render(m_Sampler(Tick(k) + period / 2), 0, m_Frame.data());
    } else {
        Render(m_Sampler(Tick(k) + period / 4), 0, m_Frame.data());
        Render(m_Sampler(Tick(k) + period * 3 / 4), 1, m_Second.data());
        // The field taken second: the bottom lines of a top-first frame, the top of the other.
        const int first = m_Options.fields == Fields::kTopFirst ? 1 : 0;
        const std::size_t stride = static_cast<std::size_t>(m_Options.width) * 2;
        for (int y = first; y < m_Options.height; y += 2) {
            const std::size_t at = static_cast<std::size_t>(y) * stride;
            std::copy_n(m_Second.data() + at, stride, m_Frame.data() + at);
        }
    }
    uint8_t* out = m_Frame.data();
    if (m_Options.depth == 10 && !dropped) {
        Pack(m_Frame.data());
        out = m_Packed.data();
    }
    // The frame is whole when its time ends; the capture path then takes its latency.
    const auto spread = std::chrono::duration_cast<Clock::duration>(jitter).count();
    const auto shift =
        spread > 0
            ? Clock::duration(static_cast<Clock::rep>(m_Random() % (2 * spread + 1)) - spread)
            : Clock::duration::zero();
    const auto due = std::max({Tick(k + 1) + delay + shift, m_LastDue, Tick(k + 1)});
    m_LastDue = due;
    // Room for the frames in flight along the path, and a few more for a reader to catch up.
    const auto inFlight =
        static_cast<std::size_t>(std::ceil(std::chrono::duration<double>(delay + jitter) /
                                           std::chrono::duration<double>(1.0 / m_dFps)) +
                                 4);
    const std::size_t frameBytes = static_cast<std::size_t>(m_nFrameBytes) + m_Sound.bytes.size();
    // With a sound device apart, every stream counts from the deck's video reference: one clock.
    const bool oneClock = m_nSoundListen >= 0;
    const AVRational frameBase = av_inv_q(av_d2q(m_dFps, 1001000));
    AVPacket* pkt = av_packet_alloc();
    for (auto& reader : m_Readers) {
        Reader& r = *reader;
        if (k < r.firstTick) {
            continue;  // its stream has not started yet
        }
        if (r.queued > inFlight * (r.soundOnly ? m_Apart.bytes.size() : frameBytes)) {
            ++m_nSlow;
            continue;
        }
        if (pkt == nullptr) {
            break;
        }
        if (r.soundOnly) {
            if (sound && WriteApart(r, k)) {
                avio_flush(r.mux->pb);
                Queue(r, due);
            }
            continue;
        }
        const int64_t base = oneClock ? 0 : r.firstTick;
        bool written = false;
        if (!dropped) {
            pkt->data = out;
            pkt->size = m_nFrameBytes;
            pkt->stream_index = 0;
            pkt->flags = AV_PKT_FLAG_KEY;
            // The card's clock: the frame's number since the reader came, at the exact rate.
            pkt->pts = k - base;
            pkt->dts = pkt->pts;
            pkt->duration = 1;
            av_packet_rescale_ts(pkt, frameBase, r.mux->streams[0]->time_base);
            written = av_write_frame(r.mux, pkt) >= 0;
            av_packet_unref(pkt);
        }
        if (sound) {
            // The samples of the frame's time on the same clock, in the same chunk.
            const int64_t first = SamplesBefore(k, m_dFps) - SamplesBefore(base, m_dFps);
            pkt->data = m_Sound.bytes.data();
            pkt->size = static_cast<int>(m_Sound.bytes.size());
            pkt->stream_index = kSoundStream;
            pkt->flags = AV_PKT_FLAG_KEY;
            pkt->pts = first;
            pkt->dts = first;
            pkt->duration =
                static_cast<int64_t>(m_Sound.bytes.size()) / (int64_t{3} * m_Options.soundChannels);
            av_packet_rescale_ts(pkt, AVRational{1, kSoundRate},
                                 r.mux->streams[kSoundStream]->time_base);
            written = av_write_frame(r.mux, pkt) >= 0 || written;
            av_packet_unref(pkt);
        }
        if (written) {
            avio_flush(r.mux->pb);
            Queue(r, due);
        }
    }
    av_packet_free(&pkt);
}

bool VideoStream::SendDue(Reader& r, Clock::time_point now) {
    while (!r.queue.empty() && r.queue.front().due <= now) {
        Chunk& c = r.queue.front();
        const ssize_t n = send(r.fd, c.bytes.data() + r.frontSent, c.bytes.size() - r.frontSent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        r.frontSent += static_cast<std::size_t>(n);
        if (r.frontSent < c.bytes.size()) {
            return true;  // the socket is full; on when the reader has read some
        }
        r.queued -= c.bytes.size();
        r.frontSent = 0;
        r.queue.pop_front();
    }
    return true;
}

void VideoStream::Run() {
    const auto sinceOrigin = std::chrono::duration<double>(Clock::now() - m_Origin).count();
    int64_t k = static_cast<int64_t>(std::floor(sinceOrigin * m_dFps));
    std::vector<pollfd> fds;
    while (!m_bStop) {
        auto now = Clock::now();
        // Each frame once its time is over; a thread held up past kGiveUp skips what it missed.
        if (now - Tick(k + 1) > kGiveUp) {
            const auto behind = static_cast<int64_t>(
                std::floor(std::chrono::duration<double>(now - m_Origin).count() * m_dFps));
            m_nLate += static_cast<uint64_t>(std::max<int64_t>(0, behind - 1 - k));
            k = std::max(k, behind - 1);
        }
        while (Tick(k + 1) <= now) {
            Produce(k);
            ++k;
        }
        now = Clock::now();
        auto next = Tick(k + 1);
        for (std::size_t i = m_Readers.size(); i-- > 0;) {
            if (!SendDue(*m_Readers[i], now)) {
                CloseReader(*m_Readers[i]);
                m_Readers.erase(m_Readers.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        fds.clear();
        fds.push_back({m_nWake, POLLIN, 0});
        fds.push_back({m_nListen, POLLIN, 0});
        fds.push_back({m_nSoundListen, POLLIN, 0});  // ignored while -1
        for (const auto& reader : m_Readers) {
            const Reader& r = *reader;
            short events = POLLIN;  // a reader's data is ignored; its hang-up is seen
            if (!r.queue.empty()) {
                if (r.queue.front().due <= now) {
                    events |= POLLOUT;
                } else {
                    next = std::min(next, r.queue.front().due);
                }
            }
            fds.push_back({r.fd, events, 0});
        }
        const auto left = std::max(next - Clock::now(), Clock::duration::zero());
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        if (ppoll(fds.data(), fds.size(), &ts, nullptr) < 0) {
            continue;
        }
        if (fds[0].revents != 0) {
            uint64_t v;
            [[maybe_unused]] const ssize_t n = read(m_nWake, &v, sizeof v);
        }
        for (std::size_t i = m_Readers.size(); i-- > 0;) {
            const short ev = fds[kFirstReader + i].revents;
            bool gone = (ev & (POLLERR | POLLHUP)) != 0;
            if (!gone && (ev & POLLIN) != 0) {
                char sink[256];
                const ssize_t n = recv(m_Readers[i]->fd, sink, sizeof sink, MSG_DONTWAIT);
                gone = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
            }
            if (gone) {
                CloseReader(*m_Readers[i]);
                m_Readers.erase(m_Readers.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if ((fds[1].revents & POLLIN) != 0) {
            Accept(m_nListen, false);
        }
        if ((fds[2].revents & POLLIN) != 0) {
            Accept(m_nSoundListen, true);
        }
    }
}

}  // namespace decksim
