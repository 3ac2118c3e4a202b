#include "tools/capture/writer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <random>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace capture {

namespace {

constexpr int kEncoderNice = 5;
constexpr int kSlices = 24;

std::string AvError(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

bool CloseOutput(AVFormatContext* ctx, bool trailer, std::string* error) {
    if (ctx == nullptr) {
        return true;
    }
    bool ok = true;
    if (trailer) {
        const int rc = av_write_trailer(ctx);
        if (rc < 0 || (ctx->pb != nullptr && ctx->pb->error < 0)) {
            *error = AvError(rc < 0 ? rc : ctx->pb->error);
            ok = false;
        }
    }
    if (ctx->pb != nullptr) {
        const int rc = avio_closep(&ctx->pb);
        if (rc < 0 && ok) {
            *error = AvError(rc);
            ok = false;
        }
    }
    avformat_free_context(ctx);
    return ok;
}

// The whole text to a file descriptor; false when a write failed (a full disk).
bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string SafeStem(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
        out += keep ? c : '_';
    }
    if (out.empty() || out[0] == '.') {
        out.insert(out.begin(), '_');
    }
    return out.substr(0, 200);
}

std::string ClipStem(int64_t id, const std::string& reel, const std::string& name, int64_t in,
                     const hostkit::TimeBase& base) {
    char number[24];
    std::snprintf(number, sizeof number, "%04lld", static_cast<long long>(id));
    std::string digits;
    for (const char ch : hostkit::FormatTimecode(in, base)) {
        digits += std::isdigit(static_cast<unsigned char>(ch)) ? std::string(1, ch) : "";
    }
    return SafeStem(reel + "_" + (id > 0 ? std::string(number) : digits) +
                    (name.empty() ? "" : "_" + name));
}

FrameSource::Picture StatedPicture(FrameSource::Picture s) {
    const bool pal = s.width == 720 && s.height == 576;
    const bool ntsc = s.width == 720 && s.height == 486;
    if (pal || ntsc) {
        if (s.fieldOrder == AV_FIELD_UNKNOWN) {
            s.fieldOrder = pal ? AV_FIELD_TT : AV_FIELD_BB;
        }
        // A card that does not know the aspect says square.
        if (s.aspect.num <= 0 || s.aspect.num == s.aspect.den) {
            s.aspect = pal ? AVRational{12, 11} : AVRational{10, 11};
        }
        if (s.primaries == AVCOL_PRI_UNSPECIFIED) {
            s.primaries = pal ? AVCOL_PRI_BT470BG : AVCOL_PRI_SMPTE170M;
        }
        if (s.transfer == AVCOL_TRC_UNSPECIFIED) {
            s.transfer = pal ? AVCOL_TRC_GAMMA28 : AVCOL_TRC_SMPTE170M;
        }
        if (s.matrix == AVCOL_SPC_UNSPECIFIED) {
            s.matrix = pal ? AVCOL_SPC_BT470BG : AVCOL_SPC_SMPTE170M;
        }
    }
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(s.pixelFormat));
    if (s.range == AVCOL_RANGE_UNSPECIFIED && d != nullptr &&
        (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) == 0 && d->nb_components >= 3) {
        s.range = AVCOL_RANGE_MPEG;
    }
    return s;
}

ClipWriter::~ClipWriter() {
    Discard();
}

std::string ClipWriter::FilePath() const {
    return m_Spec.folder + "/" + m_Spec.stem + ".mkv";
}

std::string ClipWriter::SidecarPath() const {
    return m_Spec.folder + "/" + m_Spec.stem + ".framemd5";
}

std::string ClipWriter::TimecodePath() const {
    return m_Spec.folder + "/" + m_Spec.stem + ".timecode.csv";
}

bool ClipWriter::Failed(std::string* why) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bFailed && why != nullptr) {
        *why = m_Why;
    }
    return m_bFailed;
}

void ClipWriter::SetError(const std::string& why) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_bFailed) {
        m_bFailed = true;
        m_Why = why;
    }
}

// FFV1 keeps the input's pixels where it can; otherwise the nearest format it has.
bool ClipWriter::ChooseFormat(const AVCodec* codec, std::string* error) {
    const auto src = static_cast<AVPixelFormat>(m_Spec.picture.pixelFormat);
    AVPixelFormat dst = src;
    bool supported = false;
    for (const AVPixelFormat* p = codec->pix_fmts; p != nullptr && *p != AV_PIX_FMT_NONE; ++p) {
        supported = supported || *p == src;
    }
    if (!supported) {
        dst = avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, src, 0, nullptr);
        m_Video.convert =
            sws_getContext(m_Spec.picture.width, m_Spec.picture.height, src, m_Spec.picture.width,
                           m_Spec.picture.height, dst, SWS_POINT, nullptr, nullptr, nullptr);
        if (m_Video.convert == nullptr) {
            *error =
                std::string("cannot convert the input's ") + av_get_pix_fmt_name(src) + " for FFV1";
            return false;
        }
    }
    m_Video.encodeFormat = dst;
    return true;
}

bool ClipWriter::MakeEncoder(const AVCodec* codec, std::string* error) {
    m_Video.encoder = avcodec_alloc_context3(codec);
    if (m_Video.encoder == nullptr) {
        *error = "out of memory";
        return false;
    }
    m_Video.encoder->width = m_Spec.picture.width;
    m_Video.encoder->height = m_Spec.picture.height;
    m_Video.encoder->pix_fmt = static_cast<AVPixelFormat>(m_Video.encodeFormat);
    AVCodecContext* e = m_Video.encoder;
    e->sample_aspect_ratio = m_Spec.picture.aspect;
    e->field_order = static_cast<AVFieldOrder>(m_Spec.picture.fieldOrder);
    e->color_primaries = static_cast<AVColorPrimaries>(m_Spec.picture.primaries);
    e->color_trc = static_cast<AVColorTransferCharacteristic>(m_Spec.picture.transfer);
    e->colorspace = static_cast<AVColorSpace>(m_Spec.picture.matrix);
    e->color_range = static_cast<AVColorRange>(m_Spec.picture.range);
    e->time_base = av_inv_q(m_Spec.frameRate);
    e->framerate = m_Spec.frameRate;
    e->gop_size = 1;
    e->thread_count = 0;  // as many slices at once as there are CPUs
    e->thread_type = FF_THREAD_SLICE;
    // Version 3: slices coded apart, each with its CRC, the archival form. 24 slices keep a
    // damaged one to a small part of the picture, and give the threads work enough. The range
    // coder at every depth (8 bits would take Golomb-Rice), as archives' policies ask.
    av_opt_set_int(e->priv_data, "slicecrc", 1, 0);
    av_opt_set(e->priv_data, "coder", "range_tab", 0);
    e->level = 3;
    e->slices = kSlices;
    return true;
}

// The file's video stream with the clip's timecode and title, and the sidecar's raw stream,
// hashing each frame's pixels as decoding the file gives them back.
bool ClipWriter::MakeStreams(std::string* error) {
    AVStream* video = avformat_new_stream(m_pFile, nullptr);
    AVStream* sums = avformat_new_stream(m_pSidecar, nullptr);
    if (video == nullptr || sums == nullptr ||
        avcodec_parameters_from_context(video->codecpar, m_Video.encoder) < 0) {
        *error = "out of memory";
        return false;
    }
    m_Video.file = video->index;
    m_Video.sidecar = sums->index;
    video->time_base = m_Video.encoder->time_base;
    video->avg_frame_rate = m_Spec.frameRate;
    video->sample_aspect_ratio = m_Spec.picture.aspect;  // the container's, beside the stream's
    // The tape's time of the first frame, as ffprobe shows it: the file's TIMECODE.
    av_dict_set(&m_pFile->metadata, "timecode", m_Spec.timecode.c_str(), 0);
    av_dict_set(&video->metadata, "timecode", m_Spec.timecode.c_str(), 0);
    if (!m_Spec.title.empty()) {
        av_dict_set(&m_pFile->metadata, "title", m_Spec.title.c_str(), 0);
    }
    sums->time_base = m_Video.encoder->time_base;
    sums->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    sums->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
    sums->codecpar->format = m_Video.encodeFormat;
    sums->codecpar->width = m_Spec.picture.width;
    sums->codecpar->height = m_Spec.picture.height;
    sums->codecpar->sample_aspect_ratio = m_Spec.picture.aspect;
    sums->sample_aspect_ratio = m_Spec.picture.aspect;
    return true;
}

// The sound as 24-bit PCM at the input's rate, every channel kept, in the file and the sidecar
// alike: the sidecar hashes the samples as the file holds them, at the file's timestamps.
bool ClipWriter::MakeSound(std::string* error) {
    const FrameSource::Sound& in = m_Spec.sound;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PCM_S24LE);
    m_Sound.encoder = codec != nullptr ? avcodec_alloc_context3(codec) : nullptr;
    if (m_Sound.encoder == nullptr) {
        *error = "no 24-bit PCM encoder in this libavcodec";
        return false;
    }
    AVCodecContext* e = m_Sound.encoder;
    e->sample_fmt = AV_SAMPLE_FMT_S32;
    e->sample_rate = in.sampleRate;
    e->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    e->ch_layout.nb_channels = in.channels;
    e->time_base = AVRational{1, in.sampleRate};
    int rc = avcodec_open2(e, codec, nullptr);
    AVStream* sound = rc < 0 ? nullptr : avformat_new_stream(m_pFile, nullptr);
    AVStream* sums = sound == nullptr ? nullptr : avformat_new_stream(m_pSidecar, nullptr);
    if (sums == nullptr || avcodec_parameters_from_context(sound->codecpar, e) < 0 ||
        avcodec_parameters_from_context(sums->codecpar, e) < 0) {
        *error = rc < 0 ? "cannot start the PCM encoder: " + AvError(rc) : "out of memory";
        return false;
    }
    sound->time_base = e->time_base;
    sums->time_base = e->time_base;
    // Matroska keeps a count of channels, no layout: ffmpeg reading the file guesses the
    // default layout for the count, and the sidecar says what it will say.
    av_channel_layout_uninit(&sums->codecpar->ch_layout);
    av_channel_layout_default(&sums->codecpar->ch_layout, in.channels);
    m_Sound.file = sound->index;
    m_Sound.sidecar = sums->index;
    return true;
}

// What the capture was, carried in the file itself.
bool ClipWriter::Attach(std::string* error) {
    if (m_Spec.provenance.empty()) {
        return true;
    }
    AVStream* st = avformat_new_stream(m_pFile, nullptr);
    const auto size = static_cast<int>(m_Spec.provenance.size());
    if (st == nullptr ||
        (st->codecpar->extradata = static_cast<uint8_t*>(av_mallocz(
             static_cast<std::size_t>(size) + AV_INPUT_BUFFER_PADDING_SIZE))) == nullptr) {
        *error = "out of memory";
        return false;
    }
    std::memcpy(st->codecpar->extradata, m_Spec.provenance.data(), m_Spec.provenance.size());
    st->codecpar->extradata_size = size;
    st->codecpar->codec_type = AVMEDIA_TYPE_ATTACHMENT;
    st->codecpar->codec_id = AV_CODEC_ID_TEXT;
    av_dict_set(&st->metadata, "filename", "provenance.json", 0);
    av_dict_set(&st->metadata, "mimetype", "application/json", 0);
    return true;
}

bool ClipWriter::OpenFiles(std::string* error) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    if (codec == nullptr) {
        *error = "no FFV1 encoder in this libavcodec";
        return false;
    }
    if (!ChooseFormat(codec, error) || !MakeEncoder(codec, error)) {
        return false;
    }
    if (avformat_alloc_output_context2(&m_pFile, nullptr, "matroska", nullptr) < 0 ||
        avformat_alloc_output_context2(&m_pSidecar, nullptr, "framemd5", nullptr) < 0) {
        *error = "no Matroska or framemd5 muxer in this libavformat";
        return false;
    }
    if ((m_pFile->oformat->flags & AVFMT_GLOBALHEADER) != 0) {
        m_Video.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int rc = avcodec_open2(m_Video.encoder, codec, nullptr);
    if (rc < 0) {
        *error = "cannot start the FFV1 encoder: " + AvError(rc);
        return false;
    }
    if (!MakeStreams(error) || (m_Spec.sound.channels > 0 && !MakeSound(error)) || !Attach(error)) {
        return false;
    }
    if ((rc = avio_open(&m_pFile->pb, ("file:" + m_TempFile.Path()).c_str(), AVIO_FLAG_WRITE)) <
            0 ||
        (rc = avio_open(&m_pSidecar->pb, ("file:" + m_TempSidecar.Path()).c_str(),
                        AVIO_FLAG_WRITE)) < 0) {
        *error = "cannot write in " + m_Spec.folder + ": " + AvError(rc);
        return false;
    }
    rc = avformat_write_header(m_pFile, nullptr);
    if (rc >= 0 && m_Sound.encoder != nullptr) {
        m_pSidecar->streams[m_Sound.sidecar]->time_base = m_pFile->streams[m_Sound.file]->time_base;
    }
    if (rc < 0 || (rc = avformat_write_header(m_pSidecar, nullptr)) < 0) {
        *error = "cannot start " + FilePath() + ": " + AvError(rc);
        return false;
    }
    return true;
}

bool ClipWriter::Open(const WriterSpec& spec, std::string* error) {
    Discard();
    m_Spec = spec;
    m_Spec.picture = StatedPicture(spec.picture);
    m_Video = Stream{};
    m_Sound = Stream{};
    m_nQueuedSound = 0;
    m_nEncoded = 0;
    m_bEnd = false;
    m_bFailed = false;
    m_Why.clear();
    m_Timecodes = "frame,timecode\n";
    m_nLabelled = 0;
    if (!m_TempFile.Create(spec.folder, spec.stem + ".mkv", error) ||
        !m_TempSidecar.Create(spec.folder, spec.stem + ".framemd5", error) ||
        !m_TempTimecodes.Create(spec.folder, spec.stem + ".timecode.csv", error)) {
        Discard();
        return false;
    }
    // The encoder runs below the deck's thread, which times the frames: a nice value is the
    // thread's own on Linux, and the encoder's slice threads, started as it opens, inherit it.
    std::promise<std::string> opened;
    std::future<std::string> result = opened.get_future();
    m_Thread = std::thread([this, &opened] {
        setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kEncoderNice);
        std::string why;
        const bool ok = OpenFiles(&why);
        opened.set_value(ok ? std::string() : why);
        if (ok) {
            Run();
        }
    });
    *error = result.get();
    if (!error->empty()) {
        m_Thread.join();
        Discard();
        return false;
    }
    m_bOpen = true;
    return true;
}

bool ClipWriter::Push(FramePtr frame, int64_t label) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bFailed || m_Queue.size() - m_nQueuedSound >= kQueue) {
            return false;
        }
        m_Queue.push_back(Item{std::move(frame), false});
        m_Wake.notify_one();
    }
    m_Timecodes +=
        std::to_string(m_nLabelled++) + "," + hostkit::FormatTimecode(label, m_Spec.base) + "\n";
    return true;
}

bool ClipWriter::PushSound(FramePtr samples) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bFailed || m_nQueuedSound >= kQueue) {
        return false;
    }
    if (samples->ch_layout.nb_channels != m_Spec.sound.channels ||
        samples->format != AV_SAMPLE_FMT_S32) {
        m_bFailed = true;
        m_Why = "sound of " + std::to_string(samples->ch_layout.nb_channels) +
                " channel(s) came into a clip of " + std::to_string(m_Spec.sound.channels);
        return false;
    }
    m_Queue.push_back(Item{std::move(samples), true});
    ++m_nQueuedSound;
    m_Wake.notify_one();
    return true;
}

bool ClipWriter::WritePackets(Stream& stream) {
    AVPacket* pkt = av_packet_alloc();
    const bool sound = &stream == &m_Sound;
    AVPacket* sum = sound ? av_packet_alloc() : nullptr;  // the sidecar's copy of the sound
    bool ok = pkt != nullptr && (!sound || sum != nullptr);
    AVStream* out = m_pFile->streams[stream.file];
    while (ok) {
        const int rc = avcodec_receive_packet(stream.encoder, pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            break;
        }
        if (rc < 0) {
            SetError(std::string(stream.encoder->codec->name) + " encoding failed: " + AvError(rc));
            ok = false;
            break;
        }
        av_packet_rescale_ts(pkt, stream.encoder->time_base, out->time_base);
        if (sound) {
            // The sidecar's line for the samples: the packet as the file keeps it, on the
            // file's clock (Matroska's milliseconds), as ffmpeg copying it out gives it.
            ok = av_packet_ref(sum, pkt) == 0;
            if (ok) {
                sum->stream_index = stream.sidecar;
                ok = av_interleaved_write_frame(m_pSidecar, sum) >= 0 && m_pSidecar->pb->error >= 0;
            }
            av_packet_unref(sum);
            if (!ok) {
                SetError("writing " + SidecarPath() + " failed: " + AvError(m_pSidecar->pb->error));
                break;
            }
        }
        pkt->stream_index = out->index;
        // The muxer orders the streams' packets by time; it takes the packet's data.
        const int w = av_interleaved_write_frame(m_pFile, pkt);
        av_packet_unref(pkt);
        if (w < 0 || m_pFile->pb->error < 0) {
            SetError("writing " + FilePath() +
                     " failed: " + AvError(w < 0 ? w : m_pFile->pb->error));
            ok = false;
        }
    }
    av_packet_free(&sum);
    av_packet_free(&pkt);
    return ok;
}

bool ClipWriter::EncodeSound(AVFrame* samples) {
    if (samples != nullptr) {
        samples->pts = m_Sound.nextPts;
        m_Sound.nextPts += samples->nb_samples;
    }
    const int rc = avcodec_send_frame(m_Sound.encoder, samples);
    if (rc < 0) {
        SetError("PCM encoding failed: " + AvError(rc));
        return false;
    }
    return WritePackets(m_Sound);
}

bool ClipWriter::Encode(AVFrame* in) {
    if (in == nullptr) {
        return avcodec_send_frame(m_Video.encoder, nullptr) >= 0 && WritePackets(m_Video);
    }
    // The encoder, the conversion and the sidecar are set up for the picture opened with.
    if (in->width != m_Spec.picture.width || in->height != m_Spec.picture.height ||
        in->format != m_Spec.picture.pixelFormat) {
        SetError("a frame of " + std::to_string(in->width) + "x" + std::to_string(in->height) +
                 " came into a clip of " + std::to_string(m_Spec.picture.width) + "x" +
                 std::to_string(m_Spec.picture.height));
        return false;
    }
    FramePtr converted;
    AVFrame* frame = in;
    if (m_Video.convert != nullptr) {
        converted.reset(av_frame_alloc());
        if (converted == nullptr) {
            SetError("out of memory");
            return false;
        }
        converted->format = m_Video.encodeFormat;
        converted->width = m_Spec.picture.width;
        converted->height = m_Spec.picture.height;
        if (av_frame_get_buffer(converted.get(), 0) < 0 ||
            sws_scale_frame(m_Video.convert, converted.get(), in) < 0) {
            SetError("converting a frame for FFV1 failed");
            return false;
        }
        frame = converted.get();
    }
    frame->pts = m_Video.nextPts;
    frame->sample_aspect_ratio = m_Spec.picture.aspect;
    // FFV1 codes each slice's field structure from the frame's own flags.
    const bool interlaced = m_Spec.picture.fieldOrder > AV_FIELD_PROGRESSIVE;
    frame->interlaced_frame = interlaced ? 1 : 0;
    frame->top_field_first =
        m_Spec.picture.fieldOrder == AV_FIELD_TT || m_Spec.picture.fieldOrder == AV_FIELD_TB ? 1
                                                                                             : 0;
    // The sidecar's line for the frame: its raw pixels, packed as a decoder gives them.
    const auto fmt = static_cast<AVPixelFormat>(m_Video.encodeFormat);
    const int size = av_image_get_buffer_size(fmt, m_Spec.picture.width, m_Spec.picture.height, 1);
    AVPacket* raw = av_packet_alloc();
    bool ok = raw != nullptr && size > 0 && av_new_packet(raw, size) == 0 &&
              av_image_copy_to_buffer(raw->data, size, frame->data, frame->linesize, fmt,
                                      m_Spec.picture.width, m_Spec.picture.height, 1) >= 0;
    if (ok) {
        raw->pts = raw->dts = m_Video.nextPts;
        raw->duration = 1;
        raw->stream_index = m_Video.sidecar;
        ok = av_interleaved_write_frame(m_pSidecar, raw) >= 0 && m_pSidecar->pb->error >= 0;
        if (!ok) {
            SetError("writing " + SidecarPath() + " failed: " + AvError(m_pSidecar->pb->error));
        }
    } else {
        SetError("out of memory");
    }
    av_packet_free(&raw);
    if (!ok) {
        return false;
    }
    const int rc = avcodec_send_frame(m_Video.encoder, frame);
    if (rc < 0) {
        SetError("FFV1 encoding failed: " + AvError(rc));
        return false;
    }
    ++m_Video.nextPts;
    ++m_nEncoded;
    return WritePackets(m_Video);
}

void ClipWriter::Run() {
    for (;;) {
        Item item;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Wake.wait(lock, [this] { return m_bEnd || !m_Queue.empty(); });
            if (m_Queue.empty()) {
                break;
            }
            item = std::move(m_Queue.front());
            m_Queue.pop_front();
            m_nQueuedSound -= item.sound ? 1 : 0;
            if (m_bFailed) {
                continue;  // a failed file takes nothing more
            }
        }
        if (item.sound) {
            EncodeSound(item.frame.get());
        } else {
            Encode(item.frame.get());
        }
    }
}

bool ClipWriter::Finish(std::string* error) {
    if (!m_bOpen) {
        *error = "nothing was written";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bEnd = true;
        m_Wake.notify_one();
    }
    m_Thread.join();
    std::string why;
    if (!Failed(&why) && Encode(nullptr) && m_Sound.encoder != nullptr) {
        EncodeSound(nullptr);
    }
    std::string closeError;
    const bool trailer = !Failed(nullptr);
    const bool fileOk = CloseOutput(m_pFile, trailer, &closeError);
    m_pFile = nullptr;
    const bool sumsOk = CloseOutput(m_pSidecar, trailer, &closeError);
    m_pSidecar = nullptr;
    if (!WriteAll(m_TempTimecodes.Fd(), m_Timecodes) || fsync(m_TempTimecodes.Fd()) != 0) {
        SetError("writing " + TimecodePath() + " failed: " + std::strerror(errno));
    }
    if (Failed(&why) || !fileOk || !sumsOk || !SyncFile(m_TempFile.Path()) ||
        !SyncFile(m_TempSidecar.Path())) {
        *error = !why.empty()          ? why
                 : !closeError.empty() ? "finishing " + FilePath() + " failed: " + closeError
                                       : "flushing " + FilePath() + " failed";
        Discard();
        return false;
    }
    if (!m_TempFile.LinkAs(FilePath(), error)) {
        Discard();
        return false;
    }
    if (!m_TempSidecar.LinkAs(SidecarPath(), error)) {
        unlink(FilePath().c_str());  // never one without the others
        Discard();
        return false;
    }
    if (!m_TempTimecodes.LinkAs(TimecodePath(), error)) {
        unlink(FilePath().c_str());
        unlink(SidecarPath().c_str());
        Discard();
        return false;
    }
    // The new names are durable once the folder is.
    SyncFolder(m_Spec.folder);
    Release();
    return true;
}

void ClipWriter::Release() {
    if (m_Video.encoder != nullptr) {
        avcodec_free_context(&m_Video.encoder);
    }
    if (m_Sound.encoder != nullptr) {
        avcodec_free_context(&m_Sound.encoder);
    }
    if (m_Video.convert != nullptr) {
        sws_freeContext(m_Video.convert);
        m_Video.convert = nullptr;
    }
    std::string ignored;
    CloseOutput(m_pFile, false, &ignored);
    m_pFile = nullptr;
    CloseOutput(m_pSidecar, false, &ignored);
    m_pSidecar = nullptr;
    m_bOpen = false;
}

void ClipWriter::Abort() {
    Discard();
}

void ClipWriter::Discard() {
    if (m_Thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bEnd = true;
            m_bFailed = true;  // what is queued is dropped
            m_Queue.clear();
            m_nQueuedSound = 0;
            m_Wake.notify_one();
        }
        m_Thread.join();
    }
    Release();
    m_TempFile.Remove();
    m_TempSidecar.Remove();
    m_TempTimecodes.Remove();
}

}  // namespace capture
