// The capture input: any libavformat input (decksim's stream, a V4L2 card through libavdevice),
// read on a thread of its own from open to close as a card delivers frames, whether or not a
// clip is being captured. Each frame gets its arrival time as the card's clock puts it on the
// host's (see CardClock); frames are queued only while the capture wants them.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include "tools/capture/deck_control.h"
#include "tools/capture/labeller.h"

struct AVFormatContext;
struct AVCodecContext;

namespace capture {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

struct InputFrame {
    FramePtr frame;
    double arrival = 0;   // seconds on the capture's clock (SecondsOf), through the card's clock
    uint64_t number = 0;  // counts frames read since the input opened
};

// Seconds since the steady clock's epoch: the one time scale of reads and frames.
double SecondsOf(Clock::time_point t);

class InputReader {
  public:
    // Frames waiting for the capture, about two seconds' worth.
    static constexpr std::size_t kQueue = 60;

    InputReader() = default;
    ~InputReader();
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // Opens `url` (with `format` when given, e.g. v4l2) and starts reading. False with the
    // reason when it cannot be opened or gives no frame within `limit`.
    bool Open(const std::string& url, const std::string& format, std::chrono::milliseconds limit,
              std::string* error);
    void Close();

    // While armed, frames are queued for Next; otherwise only their times are taken.
    void Arm(bool on);
    // The next queued frame, waiting up to `wait`; nullopt when none came.
    std::optional<InputFrame> Next(std::chrono::milliseconds wait);

    // False once the input ended or gave no frame for a while, with the reason.
    bool Alive(std::string* why) const;
    // Frames the card's clock skipped (lost before they reached us), and frames we had no room
    // for while armed.
    uint64_t CardGaps() const { return m_nCardGaps.load(); }
    uint64_t Overflows() const { return m_nOverflows.load(); }

    // The picture as the latest frame has it: a card's changes with its signal.
    struct Picture {
        int width = 0;
        int height = 0;
        int pixelFormat = -1;
        AVRational aspect{1, 1};
    };
    Picture Current() const;
    int Width() const { return Current().width; }
    int Height() const { return Current().height; }
    int PixelFormat() const { return Current().pixelFormat; }
    AVRational AspectRatio() const { return Current().aspect; }
    AVRational FrameRate() const { return m_FrameRate; }
    const std::string& Url() const { return m_Url; }

  private:
    bool OpenFormat(const std::string& url, const std::string& format, const std::string& limitText,
                    std::string* error);
    bool OpenVideo(const std::string& url, const std::string& limitText, std::string* error);
    void Run();
    void Deliver(FramePtr frame);
    void Fail(const std::string& why);
    static int OnInterrupt(void* opaque);

    std::string m_Url;
    AVFormatContext* m_pFormat = nullptr;
    AVCodecContext* m_pDecoder = nullptr;
    int m_nStream = -1;
    AVRational m_TimeBase{0, 1};
    AVRational m_FrameRate{0, 1};
    Picture m_Picture;  // guarded by m_Mutex
    CardClock m_Clock;
    int64_t m_nLastPts = 0;
    bool m_bHaveLastPts = false;
    uint64_t m_nRead = 0;

    std::thread m_Thread;
    std::atomic<bool> m_bStop{false};
    // Blocking reads give up at this point (ns on the steady clock); the thread moves it on.
    std::atomic<int64_t> m_nDeadline{0};
    std::atomic<uint64_t> m_nCardGaps{0};
    std::atomic<uint64_t> m_nOverflows{0};

    mutable std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<InputFrame> m_Queue;
    bool m_bArmed = false;
    bool m_bFailed = false;
    std::string m_Why;
};

}  // namespace capture
