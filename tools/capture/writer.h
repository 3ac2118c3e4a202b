// One clip's files: FFV1 in Matroska with the start timecode as the file's TIMECODE tag, and
// its framemd5 sidecar (what `ffmpeg -i FILE -f framemd5 -` gives, from libavformat's own
// framemd5 muxer over the frames as they were encoded). Both are written under hidden
// temporary names on a thread of their own and take their final names only when whole and
// flushed; nothing half-written ever has a final name.
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
    std::string stem;  // the files are stem.mkv and stem.framemd5 in the folder
    int width = 0;
    int height = 0;
    int pixelFormat = -1;  // the input's; converted when FFV1 cannot keep it
    AVRational aspect{1, 1};
    AVRational frameRate{25, 1};
    std::string timecode;  // the first frame's label
    std::string title;
};

class ClipWriter {
  public:
    // Frames waiting for the encoder, about two seconds' worth.
    static constexpr std::size_t kQueue = 60;

    ClipWriter() = default;
    ~ClipWriter();
    ClipWriter(const ClipWriter&) = delete;
    ClipWriter& operator=(const ClipWriter&) = delete;

    // Creates the temporary files and starts the encoder. False with the reason.
    bool Open(const WriterSpec& spec, std::string* error);
    // Hands a frame over; false when the encoder is that far behind (the frame is lost) or
    // has failed. A frame of another size or format than the one opened with fails the file.
    bool Push(FramePtr frame);
    // Encodes what is queued, closes and flushes both files and gives them their final names.
    // False with the reason, and then nothing is left.
    bool Finish(std::string* error);
    // Stops and removes the temporary files.
    void Abort();

    // A write failed already (a full disk): the reason.
    bool Failed(std::string* why) const;
    int64_t Encoded() const { return m_nEncoded.load(); }
    std::string FilePath() const;
    std::string SidecarPath() const;

  private:
    void Run();
    bool Encode(AVFrame* frame);  // null flushes
    bool WritePackets();
    void SetError(const std::string& why);
    void Release();
    bool OpenFiles(std::string* error);
    bool ChooseFormat(const AVCodec* codec, std::string* error);
    bool MakeEncoder(const AVCodec* codec, std::string* error);
    bool MakeStreams(std::string* error);

    WriterSpec m_Spec;
    TempFile m_TempFile;
    TempFile m_TempSidecar;
    AVCodecContext* m_pEncoder = nullptr;
    AVFormatContext* m_pFile = nullptr;
    AVFormatContext* m_pSidecar = nullptr;
    SwsContext* m_pConvert = nullptr;
    int m_nEncodeFormat = -1;
    int64_t m_nNextPts = 0;

    std::thread m_Thread;
    mutable std::mutex m_Mutex;
    std::condition_variable m_Wake;
    std::deque<FramePtr> m_Queue;
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
