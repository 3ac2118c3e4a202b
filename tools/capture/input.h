// The capture input: any libavformat input (decksim's stream, a V4L2 card through libavdevice),
// read on a thread of its own from open to close as a card delivers frames, whether or not a
// clip is being captured. Each frame gets its arrival time as the card's clock puts it on the
// host's (see CardClock); frames, and the sound beside them, are queued only while the capture
// wants them.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

#include "tools/capture/deck_control.h"
#include "tools/capture/labeller.h"

struct AVFormatContext;
struct AVCodecContext;
struct AVPacket;

namespace capture {

struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;

struct InputFrame {
    FramePtr frame;
    double arrival = 0;   // seconds on the capture's clock (SecondsOf), through the card's clock
    uint64_t number = 0;  // counts frames read since the input opened
    double card = std::nan("");  // seconds on the card's own clock, which its sound shares
};

// Samples as the card gave them, `first` counting the card's samples on the clock its frames
// share (the card's seconds times its rate, rounded).
struct SoundChunk {
    FramePtr samples;
    int64_t first = 0;
    double card = std::nan("");  // its first sample's time on its device's clock, in seconds
};

// Seconds since the steady clock's epoch: the one time scale of reads and frames.
double SecondsOf(Clock::time_point t);

// What a capture takes from its input: frames with their arrival times while armed, and what
// the input lost. A card through libavformat (InputReader), or a test's own.
class FrameSource {
  public:
    // The picture as the latest frame has it: a card's changes with its signal.
    struct Picture {
        int width = 0;
        int height = 0;
        int pixelFormat = -1;
        AVRational aspect{1, 1};
        // As the frames say (AVFieldOrder, AVColor*); unknown and unspecified where they do not.
        int fieldOrder = 0;
        int primaries = 2;
        int transfer = 2;
        int matrix = 2;
        int range = 0;
    };

    virtual ~FrameSource() = default;
    // While armed, frames are queued for Next; otherwise only their times are taken.
    virtual void Arm(bool on) = 0;
    // The next queued frame, waiting up to `wait`; nullopt when none came.
    virtual std::optional<InputFrame> Next(std::chrono::milliseconds wait) = 0;
    // False once the input ended or gave no frame for a while, with the reason.
    virtual bool Alive(std::string* why) const = 0;
    // Frames the card's clock skipped (lost before they reached us), and frames we had no room
    // for while armed.
    virtual uint64_t CardGaps() const = 0;
    virtual uint64_t Overflows() const = 0;
    virtual Picture Current() const = 0;

    // The input's sound: no channels when it has none.
    struct Sound {
        int channels = 0;
        int sampleRate = 0;
        int sampleFormat = -1;  // AVSampleFormat
        int bits = 0;           // significant bits a sample, as the card says
    };
    virtual Sound CurrentSound() const { return {}; }
    // Frames a second as they came of late; 0 before there are enough to tell.
    virtual double FrameRateSeen() const { return 0; }
    // The next queued samples, waiting up to `wait`; nullopt when none came.
    virtual std::optional<SoundChunk> NextSound(std::chrono::milliseconds /*wait*/) {
        return std::nullopt;
    }
    // Whether the sound comes from a device of its own, whose clock may run apart from the
    // picture's: its samples are then placed by its stamps, not by the picture's clock.
    virtual bool SoundApart() const { return false; }
};

// What watches an input besides the capture (a page's preview): shown each picture and each
// chunk of sound as it comes, armed or not, on the reader's thread. It must never wait.
class InputTap {
  public:
    virtual ~InputTap() = default;
    virtual void Picture(const AVFrame& frame) = 0;
    virtual void Sound(const AVFrame& samples) = 0;
};

class InputReader : public FrameSource {
  public:
    // Frames waiting for the capture, about two seconds' worth.
    static constexpr std::size_t kQueue = 60;
    // Chunks of sound waiting, as many seconds' worth when a card gives one a frame.
    static constexpr std::size_t kSoundQueue = 120;

    InputReader() = default;
    ~InputReader() override;
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    // What an input is read for: its picture (and the sound beside it); its picture with its
    // stamps on the host's wall clock where the device can give them (V4L2's absolute stamps),
    // as a sound device's apart from it are (ALSA's); or its sound alone, as that device.
    enum class Streams { kPicture, kPictureOnWallClock, kSoundOnly };

    // Opens `url` (with `format` when given, e.g. v4l2) and starts reading. False with the
    // reason when it cannot be opened or gives no frame (or sound) within `limit`.
    bool Open(const std::string& url, const std::string& format, std::chrono::milliseconds limit,
              std::string* error, Streams streams = Streams::kPicture);
    void Close();

    void Arm(bool on) override;
    std::optional<InputFrame> Next(std::chrono::milliseconds wait) override;
    bool Alive(std::string* why) const override;
    uint64_t CardGaps() const override { return m_nCardGaps.load(); }
    uint64_t Overflows() const override { return m_nOverflows.load(); }
    Picture Current() const override;
    Sound CurrentSound() const override;
    double FrameRateSeen() const override;
    std::optional<SoundChunk> NextSound(std::chrono::milliseconds wait) override;
    int Width() const { return Current().width; }
    int Height() const { return Current().height; }
    int PixelFormat() const { return Current().pixelFormat; }
    AVRational AspectRatio() const { return Current().aspect; }
    AVRational FrameRate() const { return m_FrameRate; }
    const std::string& Url() const { return m_Url; }
    // Shows the frames and sound to `tap` from now on (none: to nobody).
    void SetTap(std::shared_ptr<InputTap> tap);

  private:
    // One per stream of the input, by its index: a decoder for those the capture reads.
    struct Stream {
        AVCodecContext* decoder = nullptr;
        AVRational timeBase{0, 1};
        int fieldOrder = 0;  // as the container says, for frames that do not
        bool sound = false;
    };

    bool OpenFormat(const std::string& url, const std::string& format, Streams streams,
                    const std::string& limitText, std::string* error);
    bool OpenVideo(const std::string& url, const std::string& limitText, std::string* error);
    bool OpenSound(std::string* error);
    // A decoder for the stream `index`; false when there is none.
    bool OpenDecoder(int index, Stream& stream);
    // The front of a queue, waiting up to `wait` for one.
    template <typename T>
    std::optional<T> PopWithin(std::deque<T>& queue, std::chrono::milliseconds wait);
    void Run();
    void Decode(const AVPacket* packet, AVFrame* scratch, Stream& stream);
    void Deliver(FramePtr frame, const Stream& stream);
    void DeliverSound(FramePtr samples, const Stream& stream);
    void Fail(const std::string& why);
    static int OnInterrupt(void* opaque);

    std::string m_Url;
    AVFormatContext* m_pFormat = nullptr;
    std::vector<Stream> m_Streams;
    int m_nVideo = -1;
    Sound m_Sound;  // set at open
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

    std::mutex m_TapMutex;
    std::shared_ptr<InputTap> m_pTap;

    mutable std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<InputFrame> m_Queue;
    std::deque<SoundChunk> m_SoundQueue;
    std::deque<double> m_Arrivals;  // the last frames' arrivals on the host's clock
    bool m_bArmed = false;
    bool m_bFailed = false;
    std::string m_Why;
};

// A picture from one device and its sound from another, as a card whose sound device is apart
// from its picture's: the sound's samples numbered on in the order they came, a hole where
// their stamps jump by more than half a chunk, and never re-placed by stamps that jitter and
// drift. Both devices must stamp one clock, as V4L2 and ALSA stamp the host's.
class SplitInput : public FrameSource {
  public:
    SplitInput(FrameSource& picture, FrameSource& sound) : m_Picture(picture), m_Sound(sound) {}

    void Arm(bool on) override;
    std::optional<InputFrame> Next(std::chrono::milliseconds wait) override {
        return m_Picture.Next(wait);
    }
    bool Alive(std::string* why) const override;
    uint64_t CardGaps() const override { return m_Picture.CardGaps(); }
    uint64_t Overflows() const override { return m_Picture.Overflows(); }
    Picture Current() const override { return m_Picture.Current(); }
    Sound CurrentSound() const override { return m_Sound.CurrentSound(); }
    double FrameRateSeen() const override { return m_Picture.FrameRateSeen(); }
    std::optional<SoundChunk> NextSound(std::chrono::milliseconds wait) override;
    bool SoundApart() const override { return true; }

  private:
    FrameSource& m_Picture;
    FrameSource& m_Sound;
    std::optional<int64_t> m_nNext;  // the number the next chunk takes when it follows on
    int64_t m_nStamped = 0;          // where its stamp would put it
    int64_t m_nLast = 0;             // the last chunk's samples
};

}  // namespace capture
