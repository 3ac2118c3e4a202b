// What a page shows of an input while it is captured from, or before (to check the signal): the
// picture scaled down and coded as JPEG by FFmpeg's MJPEG encoder a few times a second, and
// each channel's peak and RMS over the same time from astats. It watches the input's reader
// (an InputTap), takes a reference to a frame only when one is due and it has none waiting,
// and does its work on a thread of its own below the capture's: it drops its own frames first,
// never one the capture wants.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/capture/input.h"

struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct SwsContext;

namespace capture {

struct Meter {
    double peakDbfs = -INFINITY;
    double rmsDbfs = -INFINITY;
};

struct PreviewFrame {
    std::shared_ptr<const std::string> jpeg;  // null before the first
    uint64_t seq = 0;                         // counts the pictures made
    int width = 0;
    int height = 0;
    double seconds = 0;  // from the frame's arrival to its JPEG
    std::vector<Meter> meters;
};

// Pictures coded as JPEG, Preview::kWidth wide (or the picture's width, when smaller) at the
// display aspect: an SD picture that says square has its standard's, as its file states.
class JpegCoder {
  public:
    JpegCoder() = default;
    ~JpegCoder();
    JpegCoder(const JpegCoder&) = delete;
    JpegCoder& operator=(const JpegCoder&) = delete;
    bool Code(const AVFrame& frame, std::string* jpeg, int* width, int* height);

  private:
    void Free();
    SwsContext* m_pScale = nullptr;
    AVCodecContext* m_pCoder = nullptr;
    int m_nWidth = 0;
    int m_nHeight = 0;
    int64_t m_nPts = 0;
};

class Preview : public InputTap {
  public:
    // Pictures a second, at most, and their width (the height from the picture's aspect).
    static constexpr int kRate = 5;
    static constexpr int kWidth = 320;
    // Chunks of sound waiting for the meters.
    static constexpr std::size_t kSoundQueue = 64;

    // `made` is called on the preview's thread with each new picture and its meters.
    explicit Preview(std::function<void(const PreviewFrame&)> made = nullptr);
    ~Preview() override;
    Preview(const Preview&) = delete;
    Preview& operator=(const Preview&) = delete;

    void Picture(const AVFrame& frame) override;
    void Sound(const AVFrame& samples) override;

    // The latest picture and meters.
    PreviewFrame Latest() const;
    // Pictures that came due while one was still being made: left, as the preview's own.
    uint64_t Skipped() const;

  private:
    void Run();
    void Make(const AVFrame& frame, Clock::time_point arrived);
    void Measure(const AVFrame& samples);
    bool SoundGraph(const AVFrame& samples);

    std::function<void(const PreviewFrame&)> m_Made;

    mutable std::mutex m_Mutex;
    std::condition_variable m_Wake;
    FramePtr m_pWaiting;  // the picture due, one at most
    Clock::time_point m_Arrived;
    Clock::time_point m_Due;
    std::deque<FramePtr> m_Sound;
    uint64_t m_nSkipped = 0;
    bool m_bStop = false;
    PreviewFrame m_Latest;

    // The preview thread's own.
    JpegCoder m_Coder;
    AVFilterGraph* m_pGraph = nullptr;
    AVFilterContext* m_pIn = nullptr;
    AVFilterContext* m_pOut = nullptr;
    int m_nGraphFormat = -1;
    int m_nGraphChannels = 0;
    int m_nGraphRate = 0;
    std::vector<double> m_Peak;   // since the last picture, linear
    std::vector<double> m_Power;  // mean square, summed over chunks
    std::vector<int64_t> m_Samples;
    std::vector<Meter> m_Meters;

    std::thread m_Thread;
};

}  // namespace capture
