// The quality check as a table over synthetic clips through FFmpeg's own filters: what each
// picture and sound fault flags, where, and what the figures' file holds.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include "tools/capture/program.h"
#include "tools/capture/quality.h"

namespace capture {
namespace {

constexpr int kW = 64;
constexpr int kH = 48;
constexpr int kRate = 48000;
// Five frames a second, so that two seconds (a frozen picture, a silence) fit in the check's
// queue without it ever skipping one.
constexpr AVRational kFps{5, 1};

// A picture's luma: a gradient down the frame (no line repeats another) with a bright block
// that moves with `at`.
void Paint(AVFrame* f, int at) {
    for (int y = 0; y < kH; ++y) {
        uint8_t* row = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
        for (int x = 0; x < kW; ++x) {
            row[x] = static_cast<uint8_t>(16 + 4 * y);
        }
        for (int x = (at * 3) % (kW - 8); y < 16 && x < (at * 3) % (kW - 8) + 8; ++x) {
            row[x] = 200;
        }
    }
    for (int p = 1; p < 3; ++p) {
        for (int y = 0; y < kH; ++y) {
            std::memset(f->data[p] + static_cast<std::ptrdiff_t>(y) * f->linesize[p], 128, kW / 2);
        }
    }
}

struct Clip {
    const char* name;
    int frames;
    // What frame i shows: its moving block's place (the same as the last frame's repeats it),
    // then anything painted over it.
    std::function<int(int)> place;
    std::function<void(int, AVFrame*)> over;
    // Channel c's sample s of frame i (2 channels); a -20 dBFS square wave when unset.
    std::function<int32_t(int, int, int)> sample;
    std::function<int64_t(int)> label;
    std::vector<std::string> flags;  // "flag[channel]:frames", in the order flagged
    std::string words;               // part of the flags' words
};

int Moving(int i) {
    return i;
}

int64_t Tape(int i) {
    return 1000 + i;
}

int32_t Tone(int, int, int s) {
    return (s / 24) % 2 == 0 ? 214748364 : -214748364;  // 1000 Hz at -20 dBFS
}

std::string Read(const std::string& gz) {
    return RunProgram({"gzip", "-dc", gz}, {}, std::chrono::seconds(10), 1 << 20).out;
}

std::string Column(const std::string& line, int k) {
    std::istringstream fields(line);
    std::string field;
    for (int i = 0; i <= k && std::getline(fields, field, ','); ++i) {
    }
    return field;
}

struct Result {
    QualitySummary summary;
    std::string csv;
};

Result Check(const Clip& clip, const std::function<void()>& pace = nullptr, int chunk = 0,
             AVRational fps = kFps) {
    av_log_set_level(AV_LOG_ERROR);  // astats tells its totals at the end
    FrameSource::Picture picture;
    picture.width = kW;
    picture.height = kH;
    picture.pixelFormat = AV_PIX_FMT_YUV422P;
    FrameSource::Sound sound{2, kRate, AV_SAMPLE_FMT_S32, 24};
    QualityCheck qc(picture, sound, fps, hostkit::TimeBase{25, false}, clip.frames / 2, pace);
    std::string error;
    EXPECT_TRUE(qc.Start(&error)) << error;
    const auto sampleOf = [&clip](int frame, int c, int s) {
        return clip.sample ? clip.sample(frame, c, s) : Tone(frame, c, s);
    };
    // Frame i's samples, from the rates' exact fraction (1601.6 a frame at 29.97).
    const auto sampleAt = [fps](int64_t i) { return i * kRate * fps.den / fps.num; };
    std::vector<int32_t> all;
    for (int i = 0; i < clip.frames; ++i) {
        FramePtr f(av_frame_alloc());
        f->format = AV_PIX_FMT_YUV422P;
        f->width = kW;
        f->height = kH;
        EXPECT_EQ(av_frame_get_buffer(f.get(), 0), 0);
        Paint(f.get(), clip.place(i));
        if (clip.over) {
            clip.over(i, f.get());
        }
        qc.Push(*f, clip.label(i));
        for (int64_t s = sampleAt(i); s < sampleAt(i + 1); ++s) {
            for (int c = 0; c < 2; ++c) {
                all.push_back(sampleOf(i, c, static_cast<int>(s - sampleAt(i))));
            }
        }
    }
    const int per = static_cast<int>(sampleAt(1));
    // The sound in chunks of its own size (a card's periods), or a frame's at a time.
    const std::size_t step = static_cast<std::size_t>(chunk > 0 ? chunk : per) * 2;
    for (std::size_t at = 0; at < all.size(); at += step) {
        FramePtr s(av_frame_alloc());
        s->format = AV_SAMPLE_FMT_S32;
        s->sample_rate = kRate;
        s->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;
        s->ch_layout.nb_channels = 2;
        s->nb_samples = static_cast<int>(std::min(step, all.size() - at) / 2);
        EXPECT_EQ(av_frame_get_buffer(s.get(), 0), 0);
        std::memcpy(s->data[0], all.data() + at, static_cast<std::size_t>(s->nb_samples) * 8);
        qc.PushSound(*s);
    }
    const std::string folder =
        (std::filesystem::temp_directory_path() / ("qc-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(folder);
    Result r;
    r.summary = qc.Finish(folder, clip.name, clip.frames);
    EXPECT_EQ(r.summary.sidecar, folder + "/" + clip.name + ".qc.csv.gz") << r.summary.error;
    r.csv = Read(r.summary.sidecar);
    EXPECT_EQ(r.summary.poster, folder + "/" + clip.name + ".poster.jpg");
    EXPECT_EQ(r.summary.graph.timecodes.size(), static_cast<std::size_t>(clip.frames));
    std::filesystem::remove_all(folder);
    return r;
}

std::vector<std::string> Flags(const QualitySummary& q) {
    std::vector<std::string> out;
    for (const QualityFlag& f : q.flags) {
        out.push_back(f.flag + (f.channel > 0 ? std::to_string(f.channel) : "") + ":" +
                      std::to_string(f.frames));
    }
    return out;
}

std::string Words(const QualitySummary& q) {
    std::string out;
    for (const QualityFlag& f : q.flags) {
        out += f.words + "; ";
    }
    return out;
}

TEST(QualityCheck, FlagsWhatEachClipShows) {
    const auto still = [](int from, int to) {
        return [from, to](int i) { return i >= from && i <= to ? from - 1 : i; };
    };
    // Ten lines of frames from..to at `luma`, plus up to `spread` that varies along each line and
    // from line to line (0: every line the same).
    const auto rows = [](int from, int to, int luma, int spread) {
        return [=](int i, AVFrame* f) {
            for (int y = 20; i >= from && i <= to && y < 30; ++y) {
                uint8_t* row = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
                for (int x = 0; x < kW; ++x) {
                    row[x] = static_cast<uint8_t>(luma + (spread > 0 ? (x + 5 * y) % spread : 0));
                }
            }
        };
    };
    const Clip clips[] = {
        {"clean", 20, Moving, nullptr, nullptr, Tape, {}, ""},
        // A picture held for two seconds and more: frozen, the frame it holds included.
        {"frozen",
         24,
         still(6, 17),
         nullptr,
         nullptr,
         Tape,
         {"frozen:13"},
         "frozen picture for 2.60 s, 00:00:40:05-00:00:40:17"},
        // Held for less: repeated frames.
        {"repeats",
         20,
         [](int i) { return i == 8 || i == 15 ? i - 1 : i; },
         nullptr,
         nullptr,
         Tape,
         {"repeated:2"},
         "2 frames repeat the one before, first "
         "at 00:00:40:08"},
        // The tape's time breaks inside a held picture: two stretches, neither across it.
        {"held_across_break",
         25,
         still(2, 24),
         nullptr,
         nullptr,
         [](int i) { return i < 13 ? 1000 + i : 3000 + i; },
         {"frozen:24"},
         "frozen picture for 4.80 s in 2 stretches, first 00:00:40:01-00:00:40:12"},
        // Ten lines of super-white and of black below legal: out of broadcast range.
        {"out_of_range",
         20,
         Moving,
         [rows](int i, AVFrame* f) {
             rows(3, 7, 240, 15)(i, f);
             rows(12, 12, 0, 15)(i, f);
         },
         nullptr,
         Tape,
         {"brng:6"},
         "outside broadcast range on 6 frames in 2 stretches, first 00:00:40:03-00:00:40:07"},
        // Dropouts: short bright streaks on single lines, unlike the lines either side.
        {"dropouts",
         20,
         Moving,
         [](int i, AVFrame* f) {
             for (int y = 21; i >= 5 && i <= 7 && y < kH - 2; y += 4) {
                 for (int x = 2; x < kW - 2; ++x) {
                     f->data[0][static_cast<std::ptrdiff_t>(y) * f->linesize[0] + x] =
                         x % 8 < 4
                             ? 235
                             : f->data[0][static_cast<std::ptrdiff_t>(y - 1) * f->linesize[0] + x];
                 }
             }
         },
         nullptr,
         Tape,
         {"tout:3"},
         "temporal outliers on 3 frames, 00:00:40:05-00:00:40:07"},
        // Lines repeated (a dropout's concealment) on three frames.
        {"repeated_lines",
         20,
         Moving,
         rows(10, 12, 90, 0),
         nullptr,
         Tape,
         {"vrep:3"},
         "lines repeated beyond the clip's usual"},
        // A channel at full scale on three frames; the other silent throughout.
        {"clipped",
         20,
         Moving,
         nullptr,
         [](int i, int c, int s) {
             return c == 1 ? 0 : i >= 4 && i <= 6 && s == 100 ? INT32_MAX : Tone(i, c, s);
         },
         Tape,
         {"clipped1:3", "silent2:20"},
         "ch 1 clipped (a sample at full scale) on 3 frames, 00:00:40:04-00:00:40:06; ch 2 "
         "silent throughout"},
        // A channel silent for two seconds and a half mid-clip; a shorter silence is none.
        {"silence",
         24,
         Moving,
         nullptr,
         [](int i, int c, int s) {
             return (c == 0 && i >= 5 && i <= 16) || (c == 1 && i >= 3 && i <= 8) ? 0
                                                                                  : Tone(i, c, s);
         },
         Tape,
         {"silent1:12"},
         "ch 1 silent for 2.40 s, "},
    };
    for (const Clip& clip : clips) {
        SCOPED_TRACE(clip.name);
        const Result r = Check(clip);
        EXPECT_EQ(r.summary.pictures, clip.frames);
        EXPECT_EQ(r.summary.soundFrames, clip.frames);
        EXPECT_EQ(Flags(r.summary), clip.flags) << Words(r.summary);
        EXPECT_NE(Words(r.summary).find(clip.words), std::string::npos) << Words(r.summary);
        // The figures' file: a header and one line a frame, at the frame's tape time.
        std::istringstream lines(r.csv);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line.rfind("frame,timecode,ymin,yavg,ymax,", 0), 0u) << line;
        for (int i = 0; i < clip.frames; ++i) {
            ASSERT_TRUE(std::getline(lines, line)) << i;
            EXPECT_EQ(line.rfind(std::to_string(i) + "," +
                                     hostkit::FormatTimecode(clip.label(i), {25, false}) + ",",
                                 0),
                      0u)
                << line;
        }
        EXPECT_FALSE(std::getline(lines, line)) << line;
    }
}

// The sound split at the frames' own boundaries at 29.97, whatever size the chunks came in:
// each frame measured on its samples alone, as a louder next frame would show.
TEST(QualityCheck, MeasuresEachFrameOnItsOwnSamples) {
    const Clip rising{
        "rising", 10, Moving, nullptr, [](int i, int, int) { return (i + 1) * 1000000; },
        Tape,     {}, ""};
    for (int chunk : {1000, 1601, 7001}) {
        SCOPED_TRACE(chunk);
        const Result r = Check(rising, nullptr, chunk, {30000, 1001});
        EXPECT_EQ(r.summary.soundFrames, rising.frames);
        std::istringstream lines(r.csv);
        std::string line;
        std::getline(lines, line);
        for (int i = 0; std::getline(lines, line); ++i) {
            const double peak = std::stod(Column(line, 18));  // peak1
            EXPECT_NEAR(peak, 20.0 * std::log10((i + 1) * 1e6 / 2147483648.0), 0.001) << line;
        }
    }
}

// A check slower than the capture skips what it has no room for, never holds the pushes up,
// and says how much it covered.
TEST(QualityCheck, FallsBehindWithoutHoldingTheCaptureUp) {
    std::mutex m;
    std::condition_variable cv;
    bool go = false;
    const auto slow = [&] {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return go; });
    };
    FrameSource::Picture picture;
    picture.width = kW;
    picture.height = kH;
    picture.pixelFormat = AV_PIX_FMT_YUV422P;
    QualityCheck qc(picture, {}, kFps, hostkit::TimeBase{25, false}, 0, slow);
    std::string error;
    ASSERT_TRUE(qc.Start(&error)) << error;
    for (int i = 0; i < 2 * static_cast<int>(QualityCheck::kQueue) + 30; ++i) {
        FramePtr f(av_frame_alloc());
        f->format = AV_PIX_FMT_YUV422P;
        f->width = kW;
        f->height = kH;
        ASSERT_EQ(av_frame_get_buffer(f.get(), 0), 0);
        Paint(f.get(), i);
        qc.Push(*f, i);  // returns at once although the check waits
    }
    {
        std::lock_guard<std::mutex> lock(m);
        go = true;
    }
    cv.notify_all();
    ClipReport report;
    report.status = ClipStatus::kCaptured;
    report.quality = qc.Finish(std::filesystem::temp_directory_path().string(),
                               "many-" + std::to_string(getpid()), 80);
    std::filesystem::remove(report.quality->sidecar);
    std::filesystem::remove(report.quality->poster);
    // The one taken before the queue filled, and the queue's worth after it.
    const auto queue = static_cast<int64_t>(QualityCheck::kQueue);
    EXPECT_LE(report.quality->pictures, queue + 1);
    EXPECT_GE(report.quality->pictures, queue);
    EXPECT_EQ(report.quality->skipped, 80 - report.quality->pictures);
    EXPECT_EQ(QualityLine(report).rfind("QC covered " + std::to_string(report.quality->pictures) +
                                            " of 80 frames (it fell behind",
                                        0),
              0u)
        << QualityLine(report);
}

}  // namespace
}  // namespace capture
