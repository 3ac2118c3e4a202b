#include "tools/capture/quality.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/pixdesc.h>
}

#include "tools/capture/files.h"
#include "tools/capture/preview.h"
#include "tools/capture/program.h"
#include "tools/capture/thread.h"

namespace capture {

namespace {

// What gzip may take over a clip's figures: a long clip's CSV is some megabytes.
constexpr std::chrono::milliseconds kGzipLimit{60000};
constexpr std::size_t kMostGzipped = 256u << 20;

void AddError(QualitySummary& q, const std::string& words) {
    q.error += (q.error.empty() ? "" : "; ") + words;
}

bool WriteAll(int fd, const std::string& text) {
    std::size_t at = 0;
    while (at < text.size()) {
        const ssize_t n = write(fd, text.data() + at, text.size() - at);
        if (n <= 0) {
            return false;
        }
        at += static_cast<std::size_t>(n);
    }
    return true;
}

double Meta(const AVFrame& f, const char* key) {
    const AVDictionaryEntry* e = av_dict_get(f.metadata, key, nullptr, 0);
    return e != nullptr ? std::strtod(e->value, nullptr) : std::nan("");
}

std::string Time(const std::vector<QualityRow>& rows, int64_t i, const hostkit::TimeBase& base) {
    return hostkit::FormatTimecode(rows[static_cast<std::size_t>(i)].label, base);
}

// Runs of consecutive frames for which `on` holds, broken where the tape's time breaks.
template <typename On>
std::vector<std::pair<int64_t, int64_t>> Stretches(const std::vector<QualityRow>& rows, On on) {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!on(rows[i])) {
            continue;
        }
        const auto n = static_cast<int64_t>(i);
        if (!out.empty() && out.back().second == n - 1 && rows[i - 1].label + 1 == rows[i].label) {
            out.back().second = n;
        } else {
            out.emplace_back(n, n);
        }
    }
    return out;
}

int64_t Count(const std::vector<std::pair<int64_t, int64_t>>& stretches) {
    int64_t n = 0;
    for (const auto& s : stretches) {
        n += s.second - s.first + 1;
    }
    return n;
}

// "on 12 frames, first 00:00:01:00-00:00:01:11" ("in 3 stretches" when more than one).
std::string Where(const std::vector<QualityRow>& rows,
                  const std::vector<std::pair<int64_t, int64_t>>& stretches,
                  const hostkit::TimeBase& base) {
    const int64_t n = Count(stretches);
    std::string words = "on " + std::to_string(n) + (n == 1 ? " frame" : " frames");
    if (stretches.size() > 1) {
        words += " in " + std::to_string(stretches.size()) + " stretches, first";
    } else {
        words += ",";
    }
    words += " " + Time(rows, stretches.front().first, base);
    if (stretches.front().second != stretches.front().first) {
        words += "-" + Time(rows, stretches.front().second, base);
    }
    return words;
}

std::string Percent(double share) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %%", share * 100.0);
    return text;
}

std::string Seconds(int64_t frames, double fps) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", static_cast<double>(frames) / fps);
    return text;
}

QualityFlag MakeFlag(const char* name, int channel,
                     std::vector<std::pair<int64_t, int64_t>> stretches, std::string words) {
    QualityFlag f;
    f.flag = name;
    f.channel = channel;
    f.frames = Count(stretches);
    f.stretches = std::move(stretches);
    f.words = std::move(words);
    return f;
}

// The picture's flags: out of range, outliers and repeated lines by their share of the picture.
void PictureFlags(const std::vector<QualityRow>& rows, const hostkit::TimeBase& base,
                  std::vector<QualityFlag>& flags) {
    std::vector<double> vrep;
    for (const QualityRow& r : rows) {
        if (r.picture && std::isfinite(r.vrep)) {
            vrep.push_back(r.vrep);
        }
    }
    if (vrep.empty()) {
        return;
    }
    std::nth_element(vrep.begin(), vrep.begin() + static_cast<std::ptrdiff_t>(vrep.size() / 2),
                     vrep.end());
    const double usual = vrep[vrep.size() / 2];
    struct Share {
        const char* flag;
        const char* words;
        double QualityRow::*field;
        double limit;
    };
    const Share shares[] = {
        {"brng", "outside broadcast range", &QualityRow::brng, kBrngShare},
        {"tout", "temporal outliers", &QualityRow::tout, kToutShare},
        {"vrep", "lines repeated beyond the clip's usual", &QualityRow::vrep, usual + kVrepRise},
    };
    for (const Share& s : shares) {
        const auto on = [&s](const QualityRow& r) { return r.picture && r.*s.field > s.limit; };
        auto stretches = Stretches(rows, on);
        if (stretches.empty()) {
            continue;
        }
        double most = 0;
        for (const QualityRow& r : rows) {
            most = on(r) ? std::max(most, r.*s.field) : most;
        }
        std::string words = std::string(s.words) + " " + Where(rows, stretches, base) + " (up to " +
                            Percent(most) + " of the picture)";
        flags.push_back(MakeFlag(s.flag, 0, std::move(stretches), std::move(words)));
    }
}

// A frozen picture, and frames that repeat the one before for less than that.
void StillFlags(const std::vector<QualityRow>& rows, double fps, int bitDepth,
                const hostkit::TimeBase& base, std::vector<QualityFlag>& flags) {
    const double full = std::ldexp(1.0, bitDepth) - 1.0;
    const auto still = [full](const QualityRow& r) {
        return r.picture && r.compared && std::max({r.ydif, r.udif, r.vdif}) <= kStillShare * full;
    };
    const auto frozenFrames = static_cast<int64_t>(std::ceil(kFrozenSeconds * fps));
    std::vector<std::pair<int64_t, int64_t>> frozen;
    std::vector<std::pair<int64_t, int64_t>> repeated;
    for (const auto& s : Stretches(rows, still)) {
        // A run of stills repeats the frame before it, which is frozen too, unless the tape's
        // time breaks between them.
        auto held = s;
        const auto before = static_cast<std::size_t>(s.first - 1);
        if (rows[before].label + 1 == rows[before + 1].label) {
            --held.first;
        }
        if (held.second - held.first + 1 >= frozenFrames) {
            frozen.push_back(held);
        } else {
            repeated.push_back(s);
        }
    }
    if (!frozen.empty()) {
        const int64_t n = Count(frozen);
        std::string words = "frozen picture for " + Seconds(n, fps);
        words += frozen.size() > 1 ? " in " + std::to_string(frozen.size()) + " stretches, first "
                                   : ", ";
        words +=
            Time(rows, frozen.front().first, base) + "-" + Time(rows, frozen.front().second, base);
        flags.push_back(MakeFlag("frozen", 0, std::move(frozen), std::move(words)));
    }
    if (!repeated.empty()) {
        const int64_t n = Count(repeated);
        std::string words = std::to_string(n) + (n == 1 ? " frame repeats" : " frames repeat") +
                            " the one before, first at " + Time(rows, repeated.front().first, base);
        flags.push_back(MakeFlag("repeated", 0, std::move(repeated), std::move(words)));
    }
}

// Each channel's clipping and silence.
void SoundFlags(const std::vector<QualityRow>& rows, double fps, const hostkit::TimeBase& base,
                std::vector<QualityFlag>& flags) {
    std::size_t channels = 0;
    int64_t checked = 0;
    for (const QualityRow& r : rows) {
        channels = std::max(channels, r.sound ? r.peak.size() : 0);
        checked += r.sound ? 1 : 0;
    }
    const auto silentFrames = static_cast<int64_t>(std::ceil(kSilentSeconds * fps));
    for (std::size_t c = 0; c < channels; ++c) {
        const std::string ch = "ch " + std::to_string(c + 1);
        const int channel = static_cast<int>(c + 1);
        auto clipped = Stretches(rows, [c](const QualityRow& r) {
            return r.sound && c < r.peak.size() && r.peak[c] >= kClipDbfs;
        });
        if (!clipped.empty()) {
            std::string words =
                ch + " clipped (a sample at full scale) " + Where(rows, clipped, base);
            flags.push_back(MakeFlag("clipped", channel, std::move(clipped), std::move(words)));
        }
        auto quiet = Stretches(rows, [c](const QualityRow& r) {
            return r.sound && c < r.peak.size() && !(r.peak[c] >= kQuietDbfs);
        });
        if (Count(quiet) == checked && checked > 0) {
            flags.push_back(
                MakeFlag("silent", channel, std::move(quiet), ch + " silent throughout"));
            continue;
        }
        quiet.erase(std::remove_if(quiet.begin(), quiet.end(),
                                   [silentFrames](const auto& s) {
                                       return s.second - s.first + 1 < silentFrames;
                                   }),
                    quiet.end());
        if (!quiet.empty()) {
            const int64_t n = Count(quiet);
            std::string words = ch + " silent for " + Seconds(n, fps);
            words += quiet.size() > 1 ? " in " + std::to_string(quiet.size()) + " stretches, first "
                                      : ", ";
            words += Time(rows, quiet.front().first, base) + "-" +
                     Time(rows, quiet.front().second, base);
            flags.push_back(MakeFlag("silent", channel, std::move(quiet), std::move(words)));
        }
    }
}

void Number(std::string& line, bool known, double v) {
    line += ',';
    if (!known) {
        return;
    }
    if (!std::isfinite(v)) {
        line += v < 0 ? "-inf" : "nan";
        return;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", v);
    line += text;
}

void FreeGraph(AVFilterGraph*& graph) {
    avfilter_graph_free(&graph);
}

// source -> filter -> sink, set up and checked; false with the reason.
bool MakeChain(AVFilterGraph* graph, const char* source, const std::string& sourceArgs,
               const char* filter, const char* filterArgs, const char* sink, const char* sinkArgs,
               AVFilterContext** in, AVFilterContext** out, std::string* error) {
    AVFilterContext* middle = nullptr;
    const AVFilter* s = avfilter_get_by_name(source);
    const AVFilter* f = avfilter_get_by_name(filter);
    const AVFilter* k = avfilter_get_by_name(sink);
    if (s == nullptr || f == nullptr || k == nullptr) {
        *error = std::string("this libavfilter has no ") + filter + " filter";
        return false;
    }
    if (avfilter_graph_create_filter(in, s, "in", sourceArgs.c_str(), nullptr, graph) < 0 ||
        avfilter_graph_create_filter(&middle, f, filter, filterArgs, nullptr, graph) < 0 ||
        avfilter_graph_create_filter(out, k, "out", sinkArgs, nullptr, graph) < 0 ||
        avfilter_link(*in, 0, middle, 0) < 0 || avfilter_link(middle, 0, *out, 0) < 0 ||
        avfilter_graph_config(graph, nullptr) < 0) {
        *error = std::string("setting up FFmpeg's ") + filter + " failed";
        return false;
    }
    return true;
}

}  // namespace

std::vector<QualityFlag> Flag(const std::vector<QualityRow>& rows, double fps, int bitDepth,
                              const hostkit::TimeBase& base) {
    std::vector<QualityFlag> flags;
    PictureFlags(rows, base, flags);
    StillFlags(rows, fps, bitDepth, base, flags);
    SoundFlags(rows, fps, base, flags);
    return flags;
}

std::string QualityCsv(const std::vector<QualityRow>& rows, std::size_t channels,
                       const hostkit::TimeBase& base, std::size_t from, std::size_t to) {
    std::string csv;
    if (from == 0) {
        csv =
            "frame,timecode,ymin,yavg,ymax,umin,uavg,umax,vmin,vavg,vmax,satmax,ydif,udif,vdif,"
            "tout,vrep,brng";
        for (std::size_t c = 1; c <= channels; ++c) {
            csv += ",peak" + std::to_string(c) + ",rms" + std::to_string(c);
        }
        csv += '\n';
    }
    for (std::size_t i = from; i < std::min(to, rows.size()); ++i) {
        const QualityRow& r = rows[i];
        std::string line = std::to_string(i) + "," + hostkit::FormatTimecode(r.label, base);
        for (double v :
             {r.ymin, r.yavg, r.ymax, r.umin, r.uavg, r.umax, r.vmin, r.vavg, r.vmax, r.satmax}) {
            Number(line, r.picture, v);
        }
        for (double v : {r.ydif, r.udif, r.vdif}) {
            Number(line, r.picture && r.compared, v);
        }
        for (double v : {r.tout, r.vrep, r.brng}) {
            Number(line, r.picture, v);
        }
        for (std::size_t c = 0; c < channels; ++c) {
            const bool known = r.sound && c < r.peak.size();
            Number(line, known, known ? r.peak[c] : 0);
            Number(line, known, known ? r.rms[c] : 0);
        }
        csv += line + '\n';
    }
    return csv;
}

QualityCheck::QualityCheck(const FrameSource::Picture& picture, const FrameSource::Sound& sound,
                           AVRational frameRate, const hostkit::TimeBase& base, int64_t posterAt,
                           std::function<void()> pace)
    : m_Picture(picture),
      m_Sound(sound),
      m_Rate(frameRate),
      m_Base(base),
      m_Pace(std::move(pace)),
      m_nPosterAt(posterAt) {}

QualityCheck::~QualityCheck() {
    if (m_Thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bEnd = true;
            m_Queue.clear();
            m_Wake.notify_one();
        }
        m_Thread.join();
    }
    FreeGraph(m_pVideoGraph);
    FreeGraph(m_pSoundGraph);
}

bool QualityCheck::Start(std::string* error) {
    if (m_Rate.num <= 0 || m_Rate.den <= 0) {
        *error = "the quality check needs the picture's rate";
        return false;
    }
    m_pVideoGraph = avfilter_graph_alloc();
    if (m_pVideoGraph == nullptr) {
        *error = "out of memory";
        return false;
    }
    // One thread each: the check must not take the cores the capture needs.
    m_pVideoGraph->nb_threads = 1;
    char args[256];
    std::snprintf(args, sizeof args,
                  "video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", m_Picture.width,
                  m_Picture.height, m_Picture.pixelFormat, m_Rate.den, m_Rate.num,
                  std::max(1, m_Picture.aspect.num), std::max(1, m_Picture.aspect.den));
    if (!MakeChain(m_pVideoGraph, "buffer", args, "signalstats", "stat=tout+vrep+brng",
                   "buffersink", nullptr, &m_pVideoIn, &m_pVideoOut, error)) {
        return false;
    }
    if (m_Sound.channels > 0 && m_Sound.sampleRate > 0) {
        m_pSoundGraph = avfilter_graph_alloc();
        if (m_pSoundGraph == nullptr) {
            *error = "out of memory";
            return false;
        }
        m_pSoundGraph->nb_threads = 1;
        std::snprintf(args, sizeof args, "time_base=1/%d:sample_rate=%d:sample_fmt=s32:channels=%d",
                      m_Sound.sampleRate, m_Sound.sampleRate, m_Sound.channels);
        if (!MakeChain(m_pSoundGraph, "abuffer", args, "astats",
                       "metadata=1:reset=1:measure_perchannel=Peak_level+RMS_level:"
                       "measure_overall=none",
                       // Channels without a layout, as the card gives them.
                       "abuffersink", "all_channel_counts=1", &m_pSoundIn, &m_pSoundOut, error)) {
            return false;
        }
    }
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void QualityCheck::Push(const AVFrame& frame, int64_t label) {
    const int64_t index = m_nPushed++;
    m_Labels.push_back(label);
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_nQueuedPictures >= kQueue || !m_Thread.joinable()) {
        ++m_nSkipped;  // behind: this frame goes unchecked, and the summary says so
        return;
    }
    FramePtr copy(av_frame_clone(&frame));
    if (copy != nullptr) {
        m_Queue.push_back(Item{std::move(copy), label, index, false});
        ++m_nQueuedPictures;
        m_Wake.notify_one();
    }
}

void QualityCheck::PushSound(const AVFrame& samples) {
    const int64_t first = m_nSamplesPushed;
    m_nSamplesPushed += samples.nb_samples;
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_pSoundGraph == nullptr || !m_Thread.joinable()) {
        return;
    }
    if (m_Queue.size() - m_nQueuedPictures >= kSoundQueue) {
        ++m_nSkipped;
        return;
    }
    FramePtr copy(av_frame_clone(&samples));
    if (copy != nullptr) {
        m_Queue.push_back(Item{std::move(copy), 0, first, true});
        m_Wake.notify_one();
    }
}

void QualityCheck::Run() {
    LowerThisThread();
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
            m_nQueuedPictures -= item.sound ? 0 : 1;
        }
        if (m_Pace) {
            m_Pace();
        }
        if (!m_Why.empty()) {
            continue;
        }
        if (item.sound) {
            CheckSound(item);
        } else {
            CheckPicture(item);
        }
    }
    m_dCpu = ThisThreadCpuSeconds();
}

QualityRow& QualityCheck::Row(int64_t index) {
    const auto i = static_cast<std::size_t>(index);
    if (m_Rows.size() <= i) {
        m_Rows.resize(i + 1);
    }
    return m_Rows[i];
}

void QualityCheck::CheckPicture(Item& item) {
    AVFrame* in = item.frame.get();
    in->pts = item.index;
    if (item.index <= m_nPosterAt || m_pPoster == nullptr) {
        // A copy of its own: a card's buffer goes back to it.
        FramePtr poster(av_frame_alloc());
        if (poster != nullptr) {
            poster->format = in->format;
            poster->width = in->width;
            poster->height = in->height;
            poster->sample_aspect_ratio = in->sample_aspect_ratio;
            if (av_frame_get_buffer(poster.get(), 0) >= 0 && av_frame_copy(poster.get(), in) >= 0) {
                m_pPoster = std::move(poster);
            }
        }
    }
    if (in->width != m_Picture.width || in->height != m_Picture.height ||
        in->format != m_Picture.pixelFormat || av_buffersrc_add_frame(m_pVideoIn, in) < 0) {
        m_Why = "a picture the check could not take";
        return;
    }
    FramePtr out(av_frame_alloc());
    while (out != nullptr && av_buffersink_get_frame(m_pVideoOut, out.get()) >= 0) {
        const int64_t at = out->pts;
        if (at >= 0) {
            const auto before = static_cast<std::size_t>(at - 1);
            const bool compared = at > 0 && before < m_Rows.size() && m_Rows[before].picture;
            QualityRow& row = Row(at);
            row.picture = true;
            row.compared = compared;
            const char* keys[] = {"YMIN", "YAVG",   "YMAX", "UMIN", "UAVG", "UMAX", "VMIN", "VAVG",
                                  "VMAX", "SATMAX", "YDIF", "UDIF", "VDIF", "TOUT", "VREP", "BRNG"};
            double* fields[] = {&row.ymin, &row.yavg, &row.ymax, &row.umin,   &row.uavg, &row.umax,
                                &row.vmin, &row.vavg, &row.vmax, &row.satmax, &row.ydif, &row.udif,
                                &row.vdif, &row.tout, &row.vrep, &row.brng};
            for (std::size_t k = 0; k < std::size(keys); ++k) {
                *fields[k] = Meta(*out, ("lavfi.signalstats." + std::string(keys[k])).c_str());
            }
            ++m_nPictures;
        }
        av_frame_unref(out.get());
    }
}

int64_t QualityCheck::SampleAt(int64_t frame) const {
    // The frame's first sample, from the rates' exact fraction: 1601.6 a frame at 29.97.
    const int64_t per = int64_t{m_Sound.sampleRate} * m_Rate.den;
    return frame * per / m_Rate.num;
}

int64_t QualityCheck::FrameOf(int64_t sample) const {
    int64_t frame = sample * m_Rate.num / (int64_t{m_Sound.sampleRate} * m_Rate.den);
    while (SampleAt(frame + 1) <= sample) {
        ++frame;
    }
    while (frame > 0 && SampleAt(frame) > sample) {
        --frame;
    }
    return frame;
}

void QualityCheck::CheckSound(Item& item) {
    const AVFrame& s = *item.frame;
    const int channels = m_Sound.channels;
    if (s.format != AV_SAMPLE_FMT_S32 || s.ch_layout.nb_channels != channels) {
        m_Why = "sound the check could not take";
        return;
    }
    const std::size_t bytes = static_cast<std::size_t>(channels) * 4;
    // Sound that does not follow what is pending (a chunk skipped) starts afresh.
    const auto pendingSamples = static_cast<int64_t>(m_Pending.size() / bytes);
    if (m_nPendingFrom < 0 || m_nPendingFrom + pendingSamples != item.index) {
        m_Pending.clear();
        m_nPendingFrom = item.index;
    }
    m_Pending.insert(m_Pending.end(), s.data[0],
                     s.data[0] + static_cast<std::size_t>(s.nb_samples) * bytes);
    for (;;) {
        // The frame the pending sound starts in; one whose start was skipped is not measured.
        int64_t frame = FrameOf(m_nPendingFrom);
        if (SampleAt(frame) != m_nPendingFrom) {
            ++frame;
        }
        const int64_t start = SampleAt(frame);
        const int64_t end = SampleAt(frame + 1);
        const int64_t have = m_nPendingFrom + static_cast<int64_t>(m_Pending.size() / bytes);
        const int64_t drop = std::min(start, have) - m_nPendingFrom;
        m_Pending.erase(m_Pending.begin(),
                        m_Pending.begin() +
                            static_cast<std::ptrdiff_t>(drop) * static_cast<std::ptrdiff_t>(bytes));
        m_nPendingFrom += drop;
        if (have < end) {
            return;
        }
        const auto count = static_cast<int>(end - start);
        MeasureSound(frame, m_Pending.data(), count);
        m_Pending.erase(m_Pending.begin(),
                        m_Pending.begin() + static_cast<std::ptrdiff_t>(count) *
                                                static_cast<std::ptrdiff_t>(bytes));
        m_nPendingFrom = end;
        if (!m_Why.empty()) {
            return;
        }
    }
}

void QualityCheck::MeasureSound(int64_t frame, const uint8_t* samples, int count) {
    FramePtr in(av_frame_alloc());
    if (in == nullptr) {
        m_Why = "out of memory";
        return;
    }
    in->format = AV_SAMPLE_FMT_S32;
    in->sample_rate = m_Sound.sampleRate;
    in->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
    in->ch_layout.nb_channels = m_Sound.channels;
    in->nb_samples = count;
    in->pts = frame;
    if (av_frame_get_buffer(in.get(), 0) < 0) {
        m_Why = "out of memory";
        return;
    }
    std::memcpy(in->data[0], samples, static_cast<std::size_t>(count) * m_Sound.channels * 4);
    if (av_buffersrc_add_frame(m_pSoundIn, in.get()) < 0) {
        m_Why = "sound the check could not take";
        return;
    }
    FramePtr out(av_frame_alloc());
    while (out != nullptr && av_buffersink_get_frame(m_pSoundOut, out.get()) >= 0) {
        if (out->pts >= 0) {
            QualityRow& row = Row(out->pts);
            row.sound = true;
            row.peak.assign(static_cast<std::size_t>(m_Sound.channels), 0);
            row.rms.assign(static_cast<std::size_t>(m_Sound.channels), 0);
            char key[64];
            for (int c = 0; c < m_Sound.channels; ++c) {
                std::snprintf(key, sizeof key, "lavfi.astats.%d.Peak_level", c + 1);
                row.peak[static_cast<std::size_t>(c)] = Meta(*out, key);
                std::snprintf(key, sizeof key, "lavfi.astats.%d.RMS_level", c + 1);
                row.rms[static_cast<std::size_t>(c)] = Meta(*out, key);
            }
            ++m_nSoundFrames;
        }
        av_frame_unref(out.get());
    }
}

void QualityCheck::Summarise(QualitySummary& q) const {
    double sum = 0;
    q.lumaMin = std::numeric_limits<double>::infinity();
    q.lumaMax = -q.lumaMin;
    for (const QualityRow& r : m_Rows) {
        q.soundFrames += r.sound ? 1 : 0;
        if (r.picture) {
            ++q.pictures;
            sum += r.yavg;
            q.lumaMin = std::min(q.lumaMin, r.ymin);
            q.lumaMax = std::max(q.lumaMax, r.ymax);
        }
    }
    if (q.pictures == 0) {
        q.lumaMin = q.lumaMax = 0;
    }
    q.lumaAvg = q.pictures > 0 ? sum / static_cast<double>(q.pictures) : 0;
    // The graph: each point the frames it stands for, from what was checked of them.
    QualitySummary::Graph& g = q.graph;
    const auto rows = static_cast<int64_t>(m_Rows.size());
    const auto points = static_cast<int64_t>(kGraphPoints);
    g.every = std::max<int64_t>(1, (rows + points - 1) / points);
    g.peaks.assign(static_cast<std::size_t>(std::max(0, m_Sound.channels)), {});
    for (int64_t first = 0; first < rows; first += g.every) {
        double least = INFINITY;
        double most = -INFINITY;
        double total = 0;
        int64_t seen = 0;
        std::vector<double> peaks(g.peaks.size(), -INFINITY);
        for (int64_t i = first; i < std::min(rows, first + g.every); ++i) {
            const QualityRow& r = m_Rows[static_cast<std::size_t>(i)];
            if (r.picture) {
                least = std::min(least, r.ymin);
                most = std::max(most, r.ymax);
                total += r.yavg;
                ++seen;
            }
            for (std::size_t c = 0; r.sound && c < peaks.size() && c < r.peak.size(); ++c) {
                peaks[c] = std::max(peaks[c], r.peak[c]);
            }
        }
        g.timecodes.push_back(
            hostkit::FormatTimecode(m_Rows[static_cast<std::size_t>(first)].label, m_Base));
        g.ymin.push_back(seen > 0 ? least : 0);
        g.yavg.push_back(seen > 0 ? total / static_cast<double>(seen) : 0);
        g.ymax.push_back(seen > 0 ? most : 0);
        for (std::size_t c = 0; c < peaks.size(); ++c) {
            g.peaks[c].push_back(peaks[c]);
        }
    }
}

void QualityCheck::WritePoster(const std::string& folder, const std::string& stem,
                               QualitySummary& q) {
    if (m_pPoster == nullptr) {
        return;
    }
    JpegCoder coder;
    std::string jpeg;
    int width = 0;
    int height = 0;
    const std::string name = stem + ".poster.jpg";
    TempFile file;
    std::string error;
    if (!coder.Code(*m_pPoster, &jpeg, &width, &height) || !file.Create(folder, name, &error) ||
        write(file.Fd(), jpeg.data(), jpeg.size()) != static_cast<ssize_t>(jpeg.size()) ||
        fsync(file.Fd()) != 0 || !file.LinkAs(folder + "/" + name, &error)) {
        AddError(q, "the poster frame was not written" + (error.empty() ? "" : ": " + error));
    } else {
        q.poster = folder + "/" + name;
    }
    file.Remove();
    m_pPoster.reset();
}

QualitySummary QualityCheck::Finish(const std::string& folder, const std::string& stem,
                                    int64_t frames) {
    QualitySummary q;
    q.frames = frames;
    q.withSound = m_pSoundGraph != nullptr;
    const AVPixFmtDescriptor* d =
        av_pix_fmt_desc_get(static_cast<AVPixelFormat>(m_Picture.pixelFormat));
    q.bitDepth = d != nullptr ? d->comp[0].depth : 8;
    if (m_Thread.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bEnd = true;
            m_Wake.notify_one();
        }
        m_Thread.join();
    }
    // The last frame's sound may end a few samples short of the picture's time (a device
    // apart parts from it by up to a millisecond): nearly whole, it is that frame's.
    if (m_pSoundGraph != nullptr && m_nPendingFrom >= 0 && m_Why.empty()) {
        const std::size_t bytes = static_cast<std::size_t>(m_Sound.channels) * 4;
        const int64_t frame = FrameOf(m_nPendingFrom);
        const int64_t want = SampleAt(frame + 1) - SampleAt(frame);
        const auto have = static_cast<int64_t>(m_Pending.size() / bytes);
        if (SampleAt(frame) == m_nPendingFrom && have > 0 && have * 10 >= want * 9) {
            MeasureSound(frame, m_Pending.data(), static_cast<int>(have));
        }
    }
    q.skipped = m_nSkipped;
    // Frames the check skipped still have their place and their time.
    const auto kept = static_cast<std::size_t>(std::max<int64_t>(frames, 0));
    m_Rows.resize(std::min(kept, m_Labels.size()));
    for (std::size_t i = 0; i < m_Rows.size(); ++i) {
        m_Rows[i].label = m_Labels[i];
    }
    Summarise(q);
    q.cpuSeconds = m_dCpu;
    q.flags = Flag(m_Rows, av_q2d(m_Rate), q.bitDepth, m_Base);
    if (!m_Why.empty()) {
        AddError(q, "the check stopped: " + m_Why);
    }
    WritePoster(folder, stem, q);
    // The figures, gzip'd: the CSV written under a hidden name a block of rows at a time,
    // gzip's output under another, and only that one takes the final name.
    const std::string name = stem + ".qc.csv";
    const std::string final = folder + "/" + name + ".gz";
    TempFile plain;
    TempFile packed;
    std::string error;
    bool written = plain.Create(folder, name, &error);
    const auto channels = static_cast<std::size_t>(std::max(0, m_Sound.channels));
    for (std::size_t from = 0; written && (from == 0 || from < m_Rows.size()); from += 4096) {
        written = WriteAll(plain.Fd(), QualityCsv(m_Rows, channels, m_Base, from, from + 4096));
    }
    if (!written) {
        AddError(q, error.empty() ? "writing the quality figures failed" : error);
        plain.Remove();
        return q;
    }
    const ProgramRun gz =
        RunProgram({"gzip", "-n", "-c", plain.Path()}, {}, kGzipLimit, kMostGzipped);
    plain.Remove();
    // Output cut at the limit would be a gzip file cut short.
    if (!gz.started || gz.status != 0 || gz.timedOut || gz.out.size() >= kMostGzipped) {
        AddError(q, "gzip could not pack the quality figures" +
                        (gz.error.empty() ? std::string() : ": " + gz.error));
        return q;
    }
    if (!packed.Create(folder, name + ".gz", &error) || !WriteAll(packed.Fd(), gz.out) ||
        fsync(packed.Fd()) != 0 || !packed.LinkAs(final, &error)) {
        AddError(q, error.empty() ? "writing " + final + " failed" : error);
        packed.Remove();
        return q;
    }
    packed.Remove();
    q.sidecar = final;
    return q;
}

}  // namespace capture
