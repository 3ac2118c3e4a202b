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
#include <libswscale/swscale.h>
}

namespace capture {

namespace {

constexpr int kEncoderNice = 5;

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

ClipWriter::~ClipWriter() {
    Abort();
}

std::string ClipWriter::FilePath() const {
    return m_Spec.folder + "/" + m_Spec.stem + ".mkv";
}

std::string ClipWriter::SidecarPath() const {
    return m_Spec.folder + "/" + m_Spec.stem + ".framemd5";
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
    const auto src = static_cast<AVPixelFormat>(m_Spec.pixelFormat);
    AVPixelFormat dst = src;
    bool supported = false;
    for (const AVPixelFormat* p = codec->pix_fmts; p != nullptr && *p != AV_PIX_FMT_NONE; ++p) {
        supported = supported || *p == src;
    }
    if (!supported) {
        dst = avcodec_find_best_pix_fmt_of_list(codec->pix_fmts, src, 0, nullptr);
        m_pConvert = sws_getContext(m_Spec.width, m_Spec.height, src, m_Spec.width, m_Spec.height,
                                    dst, SWS_POINT, nullptr, nullptr, nullptr);
        if (m_pConvert == nullptr) {
            *error =
                std::string("cannot convert the input's ") + av_get_pix_fmt_name(src) + " for FFV1";
            return false;
        }
    }
    m_nEncodeFormat = dst;
    return true;
}

bool ClipWriter::MakeEncoder(const AVCodec* codec, std::string* error) {
    m_pEncoder = avcodec_alloc_context3(codec);
    if (m_pEncoder == nullptr) {
        *error = "out of memory";
        return false;
    }
    m_pEncoder->width = m_Spec.width;
    m_pEncoder->height = m_Spec.height;
    m_pEncoder->pix_fmt = static_cast<AVPixelFormat>(m_nEncodeFormat);
    m_pEncoder->sample_aspect_ratio = m_Spec.aspect;
    m_pEncoder->time_base = av_inv_q(m_Spec.frameRate);
    m_pEncoder->framerate = m_Spec.frameRate;
    m_pEncoder->gop_size = 1;
    m_pEncoder->thread_count = 0;  // as many slices at once as there are CPUs
    m_pEncoder->thread_type = FF_THREAD_SLICE;
    // Version 3: slices coded apart, each with its CRC, the archival form.
    av_opt_set_int(m_pEncoder->priv_data, "slicecrc", 1, 0);
    m_pEncoder->level = 3;
    av_opt_set_int(m_pEncoder->priv_data, "slices", 4, 0);
    return true;
}

// The file's video stream with the clip's timecode and title, and the sidecar's raw stream,
// hashing each frame's pixels as decoding the file gives them back.
bool ClipWriter::MakeStreams(std::string* error) {
    AVStream* video = avformat_new_stream(m_pFile, nullptr);
    AVStream* sums = avformat_new_stream(m_pSidecar, nullptr);
    if (video == nullptr || sums == nullptr ||
        avcodec_parameters_from_context(video->codecpar, m_pEncoder) < 0) {
        *error = "out of memory";
        return false;
    }
    video->time_base = m_pEncoder->time_base;
    video->avg_frame_rate = m_Spec.frameRate;
    video->sample_aspect_ratio = m_Spec.aspect;
    // The tape's time of the first frame, as ffprobe shows it: the file's TIMECODE.
    av_dict_set(&m_pFile->metadata, "timecode", m_Spec.timecode.c_str(), 0);
    av_dict_set(&video->metadata, "timecode", m_Spec.timecode.c_str(), 0);
    if (!m_Spec.title.empty()) {
        av_dict_set(&m_pFile->metadata, "title", m_Spec.title.c_str(), 0);
    }
    sums->time_base = m_pEncoder->time_base;
    sums->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    sums->codecpar->codec_id = AV_CODEC_ID_RAWVIDEO;
    sums->codecpar->format = m_nEncodeFormat;
    sums->codecpar->width = m_Spec.width;
    sums->codecpar->height = m_Spec.height;
    sums->codecpar->sample_aspect_ratio = m_Spec.aspect;
    sums->sample_aspect_ratio = m_Spec.aspect;
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
        m_pEncoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    }
    int rc = avcodec_open2(m_pEncoder, codec, nullptr);
    if (rc < 0) {
        *error = "cannot start the FFV1 encoder: " + AvError(rc);
        return false;
    }
    if (!MakeStreams(error)) {
        return false;
    }
    if ((rc = avio_open(&m_pFile->pb, ("file:" + m_TempFile.Path()).c_str(), AVIO_FLAG_WRITE)) <
            0 ||
        (rc = avio_open(&m_pSidecar->pb, ("file:" + m_TempSidecar.Path()).c_str(),
                        AVIO_FLAG_WRITE)) < 0) {
        *error = "cannot write in " + m_Spec.folder + ": " + AvError(rc);
        return false;
    }
    if ((rc = avformat_write_header(m_pFile, nullptr)) < 0 ||
        (rc = avformat_write_header(m_pSidecar, nullptr)) < 0) {
        *error = "cannot start " + FilePath() + ": " + AvError(rc);
        return false;
    }
    return true;
}

bool ClipWriter::Open(const WriterSpec& spec, std::string* error) {
    Abort();
    m_Spec = spec;
    m_nNextPts = 0;
    m_nEncoded = 0;
    m_bEnd = false;
    m_bFailed = false;
    m_Why.clear();
    if (!m_TempFile.Create(spec.folder, spec.stem + ".mkv", error) ||
        !m_TempSidecar.Create(spec.folder, spec.stem + ".framemd5", error)) {
        Abort();
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
        Abort();
        return false;
    }
    m_bOpen = true;
    return true;
}

bool ClipWriter::Push(FramePtr frame) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bFailed || m_Queue.size() >= kQueue) {
        return false;
    }
    m_Queue.push_back(std::move(frame));
    m_Wake.notify_one();
    return true;
}

bool ClipWriter::WritePackets() {
    AVPacket* pkt = av_packet_alloc();
    bool ok = pkt != nullptr;
    while (ok) {
        const int rc = avcodec_receive_packet(m_pEncoder, pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) {
            break;
        }
        if (rc < 0) {
            SetError("FFV1 encoding failed: " + AvError(rc));
            ok = false;
            break;
        }
        av_packet_rescale_ts(pkt, m_pEncoder->time_base, m_pFile->streams[0]->time_base);
        pkt->stream_index = 0;
        const int w = av_write_frame(m_pFile, pkt);
        av_packet_unref(pkt);
        if (w < 0 || m_pFile->pb->error < 0) {
            SetError("writing " + FilePath() +
                     " failed: " + AvError(w < 0 ? w : m_pFile->pb->error));
            ok = false;
        }
    }
    av_packet_free(&pkt);
    return ok;
}

bool ClipWriter::Encode(AVFrame* in) {
    if (in == nullptr) {
        return avcodec_send_frame(m_pEncoder, nullptr) >= 0 && WritePackets();
    }
    // The encoder, the conversion and the sidecar are set up for the picture opened with.
    if (in->width != m_Spec.width || in->height != m_Spec.height ||
        in->format != m_Spec.pixelFormat) {
        SetError("a frame of " + std::to_string(in->width) + "x" + std::to_string(in->height) +
                 " came into a clip of " + std::to_string(m_Spec.width) + "x" +
                 std::to_string(m_Spec.height));
        return false;
    }
    FramePtr converted;
    AVFrame* frame = in;
    if (m_pConvert != nullptr) {
        converted.reset(av_frame_alloc());
        if (converted == nullptr) {
            SetError("out of memory");
            return false;
        }
        converted->format = m_nEncodeFormat;
        converted->width = m_Spec.width;
        converted->height = m_Spec.height;
        if (av_frame_get_buffer(converted.get(), 0) < 0 ||
            sws_scale_frame(m_pConvert, converted.get(), in) < 0) {
            SetError("converting a frame for FFV1 failed");
            return false;
        }
        frame = converted.get();
    }
    frame->pts = m_nNextPts;
    frame->sample_aspect_ratio = m_Spec.aspect;
    // The sidecar's line for the frame: its raw pixels, packed as a decoder gives them.
    const auto fmt = static_cast<AVPixelFormat>(m_nEncodeFormat);
    const int size = av_image_get_buffer_size(fmt, m_Spec.width, m_Spec.height, 1);
    AVPacket* raw = av_packet_alloc();
    bool ok = raw != nullptr && size > 0 && av_new_packet(raw, size) == 0 &&
              av_image_copy_to_buffer(raw->data, size, frame->data, frame->linesize, fmt,
                                      m_Spec.width, m_Spec.height, 1) >= 0;
    if (ok) {
        raw->pts = raw->dts = m_nNextPts;
        raw->duration = 1;
        raw->stream_index = 0;
        ok = av_write_frame(m_pSidecar, raw) >= 0 && m_pSidecar->pb->error >= 0;
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
    const int rc = avcodec_send_frame(m_pEncoder, frame);
    if (rc < 0) {
        SetError("FFV1 encoding failed: " + AvError(rc));
        return false;
    }
    ++m_nNextPts;
    ++m_nEncoded;
    return WritePackets();
}

void ClipWriter::Run() {
    for (;;) {
        FramePtr frame;
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Wake.wait(lock, [this] { return m_bEnd || !m_Queue.empty(); });
            if (m_Queue.empty()) {
                break;
            }
            frame = std::move(m_Queue.front());
            m_Queue.pop_front();
            if (m_bFailed) {
                continue;  // a failed file takes nothing more
            }
        }
        Encode(frame.get());
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
    if (!Failed(&why)) {
        Encode(nullptr);
    }
    std::string closeError;
    const bool trailer = !Failed(nullptr);
    const bool fileOk = CloseOutput(m_pFile, trailer, &closeError);
    m_pFile = nullptr;
    const bool sumsOk = CloseOutput(m_pSidecar, trailer, &closeError);
    m_pSidecar = nullptr;
    if (Failed(&why) || !fileOk || !sumsOk || !SyncFile(m_TempFile.Path()) ||
        !SyncFile(m_TempSidecar.Path())) {
        *error = !why.empty()          ? why
                 : !closeError.empty() ? "finishing " + FilePath() + " failed: " + closeError
                                       : "flushing " + FilePath() + " failed";
        Abort();
        return false;
    }
    if (!m_TempFile.LinkAs(FilePath(), error)) {
        Abort();
        return false;
    }
    if (!m_TempSidecar.LinkAs(SidecarPath(), error)) {
        unlink(FilePath().c_str());  // never one without the other
        Abort();
        return false;
    }
    // The new names are durable once the folder is.
    SyncFolder(m_Spec.folder);
    Release();
    return true;
}

void ClipWriter::Release() {
    if (m_pEncoder != nullptr) {
        avcodec_free_context(&m_pEncoder);
    }
    if (m_pConvert != nullptr) {
        sws_freeContext(m_pConvert);
        m_pConvert = nullptr;
    }
    std::string ignored;
    CloseOutput(m_pFile, false, &ignored);
    m_pFile = nullptr;
    CloseOutput(m_pSidecar, false, &ignored);
    m_pSidecar = nullptr;
    m_bOpen = false;
}

void ClipWriter::Abort() {
    if (m_Thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bEnd = true;
            m_bFailed = true;  // what is queued is dropped
            m_Queue.clear();
            m_Wake.notify_one();
        }
        m_Thread.join();
    }
    Release();
    m_TempFile.Remove();
    m_TempSidecar.Remove();
}

}  // namespace capture
