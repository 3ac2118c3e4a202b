// The quality check of a clip as it is captured: FFmpeg's signalstats on each picture and
// astats on each frame's sound, on a thread of its own below the capture's, fed beside the
// writer and never holding it up. A frame it has no room for is skipped, and the summary says
// how much of the clip it covered. At the clip's end it writes every frame's figures to a
// gzip'd CSV beside the clip's files and sums them up as flags in words.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/capture/input.h"
#include "tools/capture/report.h"
#include "tools/hostkit/timecode.h"

struct AVFilterGraph;
struct AVFilterContext;

namespace capture {

// What a frame's figures must pass.
// Out of broadcast range: more than this share of the picture's pixels (signalstats' BRNG).
constexpr double kBrngShare = 0.01;
// Temporal outliers: more than this share of the pixels (TOUT), as dropouts and noise bursts give.
constexpr double kToutShare = 0.005;
// Repeated lines: this much more of the picture than the clip's median (VREP). Bars and flat
// fields repeat every line by nature, so only a rise above the clip's own is a dropout's
// concealment.
constexpr double kVrepRise = 0.05;
// A frame is the same as the one before when no plane moves by more than this share of its full
// scale on average (YDIF, UDIF, VDIF: -60 dB).
constexpr double kStillShare = 0.001;
// Still frames this long are a frozen picture; shorter runs are repeated frames.
constexpr double kFrozenSeconds = 2.0;
// A sample at full scale: a frame's peak at or above this.
constexpr double kClipDbfs = -0.001;
// A channel below this for kSilentSeconds (or the whole clip) is silent.
constexpr double kQuietDbfs = -60.0;
constexpr double kSilentSeconds = 2.0;

// One frame of the clip, as the check measured it: its picture and its sound (per channel).
struct QualityRow {
    int64_t label = 0;
    bool picture = false;
    bool compared = false;  // the picture before it was checked too: the DIFs are against it
    double ymin = 0, yavg = 0, ymax = 0, umin = 0, uavg = 0, umax = 0, vmin = 0, vavg = 0, vmax = 0,
           satmax = 0, ydif = 0, udif = 0, vdif = 0, tout = 0, vrep = 0, brng = 0;
    bool sound = false;
    std::vector<double> peak;  // dBFS, -inf for digital silence
    std::vector<double> rms;
};

// The flags of a clip's rows, `fps` frames a second, each stretch named by its tape times.
std::vector<QualityFlag> Flag(const std::vector<QualityRow>& rows, double fps, int bitDepth,
                              const hostkit::TimeBase& base);
// Rows [from, to) as CSV, one line a frame (the header first, from 0): frame,timecode, then
// the picture's figures and each channel's peak and RMS (empty where not checked).
std::string QualityCsv(const std::vector<QualityRow>& rows, std::size_t channels,
                       const hostkit::TimeBase& base, std::size_t from, std::size_t to);

class QualityCheck {
  public:
    // Pictures waiting for the check, a second's worth, and as many chunks of sound as a card
    // gives in two.
    static constexpr std::size_t kQueue = 25;
    static constexpr std::size_t kSoundQueue = 100;

    // Points of a clip's graph, at most.
    static constexpr std::size_t kGraphPoints = 200;

    // `posterAt`: the frame (of the clip's) kept as its poster, or the last checked before it;
    // `pace`, when set, is called before each item is checked (a test's slow check).
    QualityCheck(const FrameSource::Picture& picture, const FrameSource::Sound& sound,
                 AVRational frameRate, const hostkit::TimeBase& base, int64_t posterAt = 0,
                 std::function<void()> pace = nullptr);
    ~QualityCheck();
    QualityCheck(const QualityCheck&) = delete;
    QualityCheck& operator=(const QualityCheck&) = delete;

    // False when the filters cannot be set up, with the reason; the capture goes on without.
    bool Start(std::string* error);
    // The clip's next frame and its label, and the sound that follows what came before (32-bit
    // interleaved). Never blocks: what finds the queue full is skipped.
    void Push(const AVFrame& frame, int64_t label);
    void PushSound(const AVFrame& samples);
    // Checks what is queued, writes folder/stem.qc.csv.gz and folder/stem.poster.jpg, and sums
    // up the clip of `frames`.
    QualitySummary Finish(const std::string& folder, const std::string& stem, int64_t frames);

  private:
    struct Item {
        FramePtr frame;
        int64_t label = 0;  // the picture's
        int64_t index = 0;  // the picture's in the clip, or the chunk's first sample
        bool sound = false;
    };

    void Run();
    void CheckPicture(Item& item);
    void CheckSound(Item& item);
    void MeasureSound(int64_t frame, const uint8_t* samples, int count);
    int64_t SampleAt(int64_t frame) const;
    int64_t FrameOf(int64_t sample) const;  // the frame whose sound holds the sample
    QualityRow& Row(int64_t index);
    void Summarise(QualitySummary& q) const;
    void WritePoster(const std::string& folder, const std::string& stem, QualitySummary& q);

    FrameSource::Picture m_Picture;
    FrameSource::Sound m_Sound;
    AVRational m_Rate;
    hostkit::TimeBase m_Base;
    std::function<void()> m_Pace;
    int64_t m_nPosterAt = 0;
    FramePtr m_pPoster;  // the check's thread's

    AVFilterGraph* m_pVideoGraph = nullptr;
    AVFilterContext* m_pVideoIn = nullptr;
    AVFilterContext* m_pVideoOut = nullptr;
    AVFilterGraph* m_pSoundGraph = nullptr;
    AVFilterContext* m_pSoundIn = nullptr;
    AVFilterContext* m_pSoundOut = nullptr;

    // The pushing thread's count of the clip's pictures and samples.
    int64_t m_nPushed = 0;
    int64_t m_nSamplesPushed = 0;
    std::vector<int64_t> m_Labels;  // every picture's, checked or not

    std::thread m_Thread;
    std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<Item> m_Queue;
    std::size_t m_nQueuedPictures = 0;
    int64_t m_nSkipped = 0;  // pictures and chunks of sound it had no room for
    bool m_bEnd = false;

    // The check's thread's: the rows, and the sound not yet a whole frame's.
    std::vector<QualityRow> m_Rows;
    std::vector<uint8_t> m_Pending;
    int64_t m_nPendingFrom = -1;  // the pending sound's first sample in the clip
    int64_t m_nPictures = 0;
    int64_t m_nSoundFrames = 0;
    double m_dCpu = 0;
    std::string m_Why;  // a filter that failed mid-clip
};

}  // namespace capture
