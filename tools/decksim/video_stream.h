// The deck's picture as a capture card would see it: frames at the deck's rate, always, whose
// content follows the tape (interlaced at SD sizes: each field taken at its own moment), and its
// sound when asked for, written as NUT with raw video and PCM (libavformat's own muxer) to each
// reader of a UNIX socket. Each frame carries
// its tape position in the stripe (tools/stripe/stripe.h) and its time below it in digits. The
// stream runs on a thread of its own: a reader that is slow or absent costs frames, counted, never
// a deck reply.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tools/decksim/deck_model.h"
#include "tools/decksim/ltc_track.h"
#include "tools/decksim/pty_server.h"

struct AVFormatContext;

namespace decksim {

// How a frame's two fields were taken: each at its own moment on an interlaced tape, the one
// that comes first in time named.
enum class Fields { kProgressive, kTopFirst, kBottomFirst };

struct VideoOptions {
    std::string path;  // the UNIX socket readers connect to
    int width = 320;
    int height = 240;
    int depth = 8;  // bits a sample: 8 as YUYV, 10 as planar 4:2:2 as an SDI card gives
    Fields fields = Fields::kProgressive;
    Millis delay{0};    // the capture path's latency: a frame arrives this long after it ends
    Millis jitter{0};   // and up to this much earlier or later, at random
    int dropOneIn = 0;  // one frame in this many (at random) never arrives; 0: none
    uint32_t seed = 0x5500;
    int soundChannels = 0;  // 48 kHz 24-bit PCM beside the picture; 0: no sound
    int ltcChannel = 0;     // the channel (from 1) that carries the tape's LTC; 0: none
    // The sound also alone on this socket, as a card's sound device gives it apart from its
    // picture; both streams then carry the deck's own clock, as a host's devices stamp theirs.
    std::string soundPath;
    double soundPpm = 0;  // the sound device's clock runs this fast against the picture's
};

// The sound's samples before frame `k` of a picture at `fps`, at 48 kHz: 1,920 a frame at 25,
// and at 29.97 the five-frame run 1602, 1601, 1602, 1601, 1602 from frame 0.
int64_t SamplesBefore(int64_t k, double fps);
// The tone's sample at the tape's sample `n`: 997 Hz at -20 dBFS, in 24 bits, its phase running
// along the tape, so that a sample lost or repeated shows. `gain` 20 overdrives it to clipping.
int32_t ToneAt(int64_t n, int gain = 1);

// "WIDTHxHEIGHT": an even width of 64 to 4096 and a height of 16 to 4096.
bool ParseVideoSize(const std::string& text, int* width, int* height);
// What the size's standard has: 720x576 (625 lines) top field first, 720x486 (525 lines)
// bottom field first, any other size progressive. NUT carries no field order: a capture states
// the standard's for these sizes.
Fields FieldsOf(int width, int height);

class VideoStream {
  public:
    using Sampler = std::function<Picture(Clock::time_point)>;

    // Frames run at `fps` from `origin` (the deck's video reference); `sampler` says what the
    // deck shows at a moment.
    VideoStream(VideoOptions options, double fps, const TimeBase& base, Clock::time_point origin,
                Sampler sampler);
    ~VideoStream();
    VideoStream(const VideoStream&) = delete;
    VideoStream& operator=(const VideoStream&) = delete;

    bool Start(std::string* error);
    void Stop();

    // The control lines of the picture: `video` prints its counters, `video delay MS`,
    // `video jitter MS` and `video drop N` change the set-up; `sound` prints the sound's,
    // `sound gap N` and `sound clip K on|off` fault it; `ltc` prints the LTC's set-up, `ltc
    // on|off`, `ltc offset N` and `ltc backwards on|off` fault it. "" for any other line.
    std::string Control(const std::string& line);
    static const char* const kHelp;

  private:
    struct Chunk {
        std::vector<uint8_t> bytes;
        Clock::time_point due;
    };
    struct Reader {
        int fd = -1;
        bool soundOnly = false;  // a reader of the sound device's socket
        AVFormatContext* mux = nullptr;
        std::deque<Chunk> queue;
        std::size_t queued = 0;  // bytes in the queue
        std::size_t frontSent = 0;
        int64_t firstTick = 0;
        std::vector<uint8_t> collecting;  // what the muxer wrote since the last chunk
    };

    // One device's sound: the picture stream's, or the sound device's on its own clock.
    struct SoundTrack {
        bool apart = false;          // the sound device's, whose clock may drift from the picture's
        double carry = 0;            // the part of a sample its count is owed
        std::vector<uint8_t> bytes;  // frame k's samples, interleaved 24-bit little-endian
        int64_t lastPosition = INT64_MIN;
        bool sounded = false;  // the last frame played the tape's sound
        int64_t cursor = 0;    // the tape's sample that plays next, in the device's count
        std::unique_ptr<LtcTrack> ltc;
        std::vector<int32_t> ltcSamples;  // frame k's LTC
        bool ltcRunning = false;          // the last frame carried LTC
        int64_t ltcBackFrom = -1;         // the label LTC began counting down from
    };

    void Run();
    Clock::time_point Tick(int64_t k) const;
    void Accept(int listen, bool soundOnly);
    bool OpenMuxer(Reader& reader, int64_t tick, std::string* error);
    bool AddPicture(AVFormatContext* mux, std::string* error) const;
    bool OpenListener(const std::string& path, int* fd, std::string* error);
    void CloseReader(Reader& reader);
    void Produce(int64_t k);
    void Render(const Picture& picture, int field, uint8_t* frame);
    void Pack(const uint8_t* yuyv);
    // Frame k's sound: the tape's while it plays at speed, else muted, as a deck does.
    void Sound(int64_t k, const Picture& picture, SoundTrack& track);
    // The frame's sound as the sound device's readers get it.
    bool WriteApart(Reader& reader, int64_t k);
    void Queue(Reader& reader, Clock::time_point due);
    bool SendDue(Reader& reader, Clock::time_point now);  // false when the reader is gone
    static int OnMuxerWrite(void* opaque, uint8_t* data, int size);

    VideoOptions m_Options;
    double m_dFps;
    TimeBase m_Base;
    Clock::time_point m_Origin;
    Sampler m_Sampler;
    int m_nFrameBytes;
    std::vector<uint8_t> m_Background;  // the picture as 8-bit YUYV, before the tape's marks
    std::vector<uint8_t> m_Frame;       // the frame as 8-bit YUYV
    std::vector<uint8_t> m_Second;      // the field taken second, drawn whole
    std::vector<uint8_t> m_Packed;      // the frame as it goes out, when not YUYV
    std::mt19937 m_Random;
    Clock::time_point m_LastDue;
    SoundTrack m_Sound;  // the picture stream's
    SoundTrack m_Apart;  // the sound device's, when it has a socket

    int m_nListen = -1;
    int m_nSoundListen = -1;
    int m_nWake = -1;
    std::vector<std::unique_ptr<Reader>> m_Readers;  // the stream thread's alone
    std::thread m_Thread;
    std::atomic<bool> m_bStop{false};

    mutable std::mutex m_Mutex;  // guards the set-up that control lines change
    Millis m_Delay;
    Millis m_Jitter;
    int m_nDropOneIn;
    int m_nSoundGap = 0;           // frames left whose sound never arrives
    uint32_t m_nClipping = 0;      // channels overdriven, a bit each
    bool m_bLtcOn = true;          // false: the LTC channel is silent
    int64_t m_nLtcOffset = 0;      // LTC reads this many frames later than the tape's time
    bool m_bLtcBackwards = false;  // LTC counts down from where this was set
    double m_dDrift = 0;           // the sound device's clock runs this fast, in parts per million

    std::atomic<uint64_t> m_nFrames{0};   // frames the deck put out
    std::atomic<uint64_t> m_nDropped{0};  // lost on the way on purpose (video drop)
    std::atomic<uint64_t> m_nSlow{0};     // not sent: a reader was too far behind
    std::atomic<uint64_t> m_nLate{0};     // not made: the stream thread was held up
    std::atomic<uint64_t> m_nReaders{0};
    std::atomic<uint64_t> m_nSilenced{0};  // frames whose sound was lost on purpose (sound gap)
};

}  // namespace decksim
