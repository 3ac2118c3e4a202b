// One clip's files: FFV1 and 24-bit PCM in Matroska with the start timecode as the file's
// TIMECODE tag, its framemd5 sidecar (what `ffmpeg -i FILE -c:a copy -f framemd5 -` gives,
// from libavformat's own framemd5 muxer over the frames and samples as they were encoded) and
// every frame's tape timecode in a CSV, breaks and all. Each stream has its encoder, and the
// muxers interleave the streams' packets. The files are written under hidden temporary names
// on a thread of their own and take their final names only when whole and flushed; nothing
// half-written ever has a final name.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "tools/capture/files.h"
#include "tools/capture/input.h"
#include "tools/hostkit/timecode.h"

struct AVCodec;
struct AVCodecContext;
struct AVFormatContext;
struct SwsContext;

namespace capture {

struct WriterSpec {
    std::string folder;
    std::string stem;  // the files are stem.mkv, .framemd5 and .timecode.csv in the folder
    // The input's picture: its format converted when FFV1 cannot keep it; what it does not
    // state, an SD picture gets from its standard (StatedPicture).
    FrameSource::Picture picture;
    AVRational frameRate{25, 1};
    hostkit::TimeBase base;  // the labels' count, for the timecode sidecar
    std::string timecode;    // the first frame's label
    std::string title;
    // The sound kept beside the picture, as 24-bit PCM at the input's rate; none without
    // channels. Its samples come as interleaved 32-bit (AV_SAMPLE_FMT_S32), the top 24 kept.
    FrameSource::Sound sound;
    std::string provenance;  // JSON, attached to the file as provenance.json when not empty
};

// What a file states about its picture: the input's word where it gives one, else for the SD
// pictures what their standard has. 720x576 (625 lines): top field first, pixel aspect 12/11,
// BT.601 as bt470bg; 720x486 (525 lines): bottom field first, 10/11, smpte170m. Limited range
// for any YUV picture that does not say.
FrameSource::Picture StatedPicture(FrameSource::Picture picture);

// A clip's files as a take writes them: opened for one picture, fed frame by frame, then either
// finished under their final names or aborted with nothing left.
class ClipFiles {
  public:
    virtual ~ClipFiles() = default;
    // Creates the temporary files and starts the encoder. False with the reason.
    virtual bool Open(const WriterSpec& spec, std::string* error) = 0;
    // Hands a frame over with the tape's label for it; false when the encoder is that far
    // behind (the frame is lost) or has failed. A frame of another size or format than the one
    // opened with fails the file.
    virtual bool Push(FramePtr frame, int64_t label) = 0;
    // Hands over the sound that follows what came before, in the channels the file was opened
    // with, as 32-bit interleaved samples; false as for Push.
    virtual bool PushSound(FramePtr samples) = 0;
    // Encodes what is queued, closes and flushes the files and gives them their final names.
    // False with the reason, and then nothing is left.
    virtual bool Finish(std::string* error) = 0;
    // Stops and removes the temporary files.
    virtual void Abort() = 0;
    // A write failed already (a full disk): the reason.
    virtual bool Failed(std::string* why) const = 0;
    virtual std::string FilePath() const = 0;
    virtual std::string SidecarPath() const = 0;
    // Each frame's tape timecode, one line a frame: "frame,timecode".
    virtual std::string TimecodePath() const = 0;
};

class ClipWriter : public ClipFiles {
  public:
    // Frames waiting for the encoder, about two seconds' worth, and as many chunks of sound.
    static constexpr std::size_t kQueue = 60;

    ClipWriter() = default;
    ~ClipWriter() override;
    ClipWriter(const ClipWriter&) = delete;
    ClipWriter& operator=(const ClipWriter&) = delete;

    bool Open(const WriterSpec& spec, std::string* error) override;
    bool Push(FramePtr frame, int64_t label) override;
    bool PushSound(FramePtr samples) override;
    bool Finish(std::string* error) override;
    void Abort() override;
    bool Failed(std::string* why) const override;
    int64_t Encoded() const { return m_nEncoded.load(); }
    std::string FilePath() const override;
    std::string SidecarPath() const override;
    std::string TimecodePath() const override;

  private:
    // One per stream the file holds: its encoder, its stream in the file and in the sidecar,
    // and what it converts.
    struct Stream {
        AVCodecContext* encoder = nullptr;
        int file = -1;     // the stream's index in the file
        int sidecar = -1;  // and in the sidecar
        SwsContext* convert = nullptr;
        int encodeFormat = -1;
        int64_t nextPts = 0;
    };

    struct Item {
        FramePtr frame;
        bool sound = false;
    };

    void Run();
    bool Encode(AVFrame* frame);         // null flushes
    bool EncodeSound(AVFrame* samples);  // null flushes
    bool WritePackets(Stream& stream);
    void SetError(const std::string& why);
    void Release();
    // Abort's work, also the destructor's: stops the thread, removes the temporary files.
    void Discard();
    bool OpenFiles(std::string* error);
    bool ChooseFormat(const AVCodec* codec, std::string* error);
    bool MakeEncoder(const AVCodec* codec, std::string* error);
    bool MakeStreams(std::string* error);
    bool MakeSound(std::string* error);
    bool Attach(std::string* error);

    WriterSpec m_Spec;
    TempFile m_TempFile;
    TempFile m_TempSidecar;
    TempFile m_TempTimecodes;
    std::string m_Timecodes;  // the capture thread's: what goes into the timecode sidecar
    int64_t m_nLabelled = 0;
    AVFormatContext* m_pFile = nullptr;
    AVFormatContext* m_pSidecar = nullptr;
    Stream m_Video;
    Stream m_Sound;

    std::thread m_Thread;
    mutable std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<Item> m_Queue;
    std::size_t m_nQueuedSound = 0;
    bool m_bEnd = false;
    bool m_bFailed = false;
    std::string m_Why;
    std::atomic<int64_t> m_nEncoded{0};
    bool m_bOpen = false;
};

// "name.mkv" for a clip's stem: letters, digits, '-', '_' and '.' kept, anything else '_',
// and never a name that starts with '.'.
std::string SafeStem(const std::string& text);
// A logged clip's stem: its reel, its id (the in-point's digits for a clip without one) and
// its name, e.g. R1_0003_intro.
std::string ClipStem(int64_t id, const std::string& reel, const std::string& name, int64_t in,
                     const hostkit::TimeBase& base);

}  // namespace capture
