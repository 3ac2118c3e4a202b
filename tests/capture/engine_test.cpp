// The batch and its takes through fakes of the deck, the input and the files: a tape that plays
// at exactly its rate, frames stamped at their own moments, so every label is known beforehand,
// and sound whose samples count themselves.
#include "tools/capture/engine.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/pixfmt.h>
#include <libavutil/samplefmt.h>
}

#include "tools/capture/writer.h"

namespace capture {
namespace {

using Millis = std::chrono::milliseconds;

double Now() {
    return SecondsOf(Clock::now());
}

// A deck whose tape moves one frame a frame from the play command on, and that can fall silent
// once the tape passes a point.
class FakeDeck : public DeckControl {
  public:
    const hostkit::RateInfo& Rate() const override { return *hostkit::FindRate("25"); }
    std::string Name() const override { return "fake deck"; }

    bool Cue(int64_t frames, std::string*) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_nAt = frames;
        m_bPlaying = false;
        return !Silent();
    }
    std::optional<bool> CueDone() override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return Silent() ? std::nullopt : std::optional<bool>(true);
    }
    bool Play(std::string*) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_dPlayAt = Now();
        m_bPlaying = true;
        ++m_nPlays;
        return true;
    }
    bool Stop(std::string*) override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_nAt = PositionAt(Now());
        m_bPlaying = false;
        return true;
    }
    std::optional<bool> Playing() override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return Silent() ? std::nullopt : std::optional<bool>(m_bPlaying);
    }
    TimeRead ReadTime() override {
        std::lock_guard<std::mutex> lock(m_Mutex);
        TimeRead r;
        r.taken = Clock::now();
        r.done = r.taken;
        r.answered = !Silent();
        r.sure = r.answered;
        r.frames = PositionAt(SecondsOf(r.taken));
        return r;
    }
    bool Recover(Millis, const std::atomic<bool>*) override { return false; }

    // Where frame `p` of the tape passes the heads, on the clock.
    double TimeOfFrame(int64_t p) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_dPlayAt + static_cast<double>(p - m_nAt) / 25.0;
    }
    bool IsPlaying() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_bPlaying;
    }
    int64_t CuedTo() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_nAt;
    }
    int Plays() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_nPlays;
    }

    int64_t silentFrom = INT64_MAX;  // the deck stops answering once the tape is past this

  private:
    int64_t PositionAt(double t) const {
        return m_bPlaying ? m_nAt + static_cast<int64_t>(std::floor((t - m_dPlayAt) * 25.0))
                          : m_nAt;
    }
    bool Silent() const { return PositionAt(Now()) >= silentFrom; }

    mutable std::mutex m_Mutex;
    int64_t m_nAt = 0;
    bool m_bPlaying = false;
    double m_dPlayAt = 0;
    int m_nPlays = 0;
};

constexpr double kLatency = 0.06;  // seconds from the heads to the frame's arrival

// The deck's picture as a card gives it: each frame arrives `kLatency` after the middle of its
// frame on the tape, stamped with that moment, and carries its position in `pts`.
class FakeInput : public FrameSource {
  public:
    explicit FakeInput(FakeDeck& deck) : m_Deck(deck) {}

    void Arm(bool on) override { m_bArmed = on; }
    std::optional<InputFrame> Next(Millis wait) override {
        const double until = Now() + static_cast<double>(wait.count()) / 1000.0;
        for (;;) {
            if (m_Deck.IsPlaying()) {
                if (m_nPlay != m_Deck.Plays()) {  // a new run of the tape
                    m_nPlay = m_Deck.Plays();
                    m_nNext = m_Deck.CuedTo();
                }
                const double arrival = m_Deck.TimeOfFrame(m_nNext) + 0.02 + kLatency;
                if (arrival <= Now()) {
                    const int64_t p = m_nNext++;
                    if (!m_bArmed || (m_Drop.count(p) != 0 && m_nPlay == 1)) {
                        continue;  // not wanted now, or lost on the first run
                    }
                    InputFrame f;
                    f.frame.reset(av_frame_alloc());
                    f.frame->width = 64;
                    f.frame->height = 16;
                    f.frame->format = AV_PIX_FMT_GRAY8;
                    f.frame->pts = p;
                    f.arrival = arrival;
                    // The card's clock runs with the tape, and the frame's sound comes with it.
                    f.card = static_cast<double>(p) / 25.0;
                    if (m_SoundDrop.count(p) == 0 || m_nPlay != 1) {
                        m_Sound.push_back(SoundOf(p));
                    }
                    return f;
                }
            }
            if (Now() >= until) {
                return std::nullopt;
            }
            std::this_thread::sleep_for(Millis(2));
        }
    }
    bool Alive(std::string*) const override { return true; }
    uint64_t CardGaps() const override { return 0; }
    uint64_t Overflows() const override { return 0; }
    Picture Current() const override { return Picture{64, 16, AV_PIX_FMT_GRAY8, {1, 1}}; }
    Sound CurrentSound() const override { return Sound{2, 48000, AV_SAMPLE_FMT_S32, 24}; }
    std::optional<SoundChunk> NextSound(Millis) override {
        if (m_Sound.empty()) {
            return std::nullopt;
        }
        SoundChunk c = std::move(m_Sound.front());
        m_Sound.erase(m_Sound.begin());
        return c;
    }

    void DropOnFirstRun(int64_t p) { m_Drop.insert(p); }
    void DropSoundOnFirstRun(int64_t p) { m_SoundDrop.insert(p); }

    // Frame p's 1,920 samples: the first channel counts the card's samples, the second is silent.
    static SoundChunk SoundOf(int64_t p) {
        SoundChunk c;
        c.first = p * 1920;
        c.samples.reset(av_frame_alloc());
        c.samples->format = AV_SAMPLE_FMT_S32;
        c.samples->sample_rate = 48000;
        av_channel_layout_default(&c.samples->ch_layout, 2);
        c.samples->nb_samples = 1920;
        EXPECT_EQ(av_frame_get_buffer(c.samples.get(), 0), 0);
        auto* s = reinterpret_cast<int32_t*>(c.samples->data[0]);
        for (int i = 0; i < 1920; ++i) {
            s[2 * i] = static_cast<int32_t>((c.first + i) * 256);
            s[2 * i + 1] = 0;
        }
        return c;
    }

  private:
    FakeDeck& m_Deck;
    bool m_bArmed = false;
    int m_nPlay = 0;
    int64_t m_nNext = 0;
    std::set<int64_t> m_Drop;
    std::set<int64_t> m_SoundDrop;
    std::vector<SoundChunk> m_Sound;
};

// What the takes wrote: the positions of the frames of each finished clip, and the clips
// aborted; a full disk from a given frame on.
struct Written {
    std::vector<std::vector<int64_t>> finished;
    std::vector<std::vector<int64_t>> sounds;  // each finished clip's first channel
    int aborted = 0;
    int failAfter = -1;
};

class FakeFiles : public ClipFiles {
  public:
    explicit FakeFiles(Written& w) : m_W(w) {}
    bool Open(const WriterSpec& spec, std::string*) override {
        m_Spec = spec;
        return true;
    }
    bool Push(FramePtr frame, int64_t label) override {
        if (m_W.failAfter >= 0 && static_cast<int>(m_Frames.size()) >= m_W.failAfter) {
            m_Why = "writing " + FilePath() + " failed: No space left on device";
            return false;
        }
        EXPECT_EQ(label, frame->pts) << "labelled other than its position on the tape";
        m_Frames.push_back(frame->pts);
        return true;
    }
    bool PushSound(FramePtr samples) override {
        EXPECT_EQ(samples->ch_layout.nb_channels, m_Spec.sound.channels);
        const auto* s = reinterpret_cast<const int32_t*>(samples->data[0]);
        for (int i = 0; i < samples->nb_samples; ++i) {
            m_Sound.push_back(s[2 * i] / 256);
        }
        return true;
    }
    bool Finish(std::string*) override {
        m_W.finished.push_back(m_Frames);
        m_W.sounds.push_back(m_Sound);
        return true;
    }
    void Abort() override { ++m_W.aborted; }
    bool Failed(std::string* why) const override {
        if (why != nullptr) {
            *why = m_Why;
        }
        return !m_Why.empty();
    }
    std::string FilePath() const override { return m_Spec.folder + "/" + m_Spec.stem + ".mkv"; }
    std::string SidecarPath() const override {
        return m_Spec.folder + "/" + m_Spec.stem + ".framemd5";
    }
    std::string TimecodePath() const override {
        return m_Spec.folder + "/" + m_Spec.stem + ".timecode.csv";
    }

  private:
    Written& m_W;
    WriterSpec m_Spec;
    std::vector<int64_t> m_Frames;
    std::vector<int64_t> m_Sound;
    std::string m_Why;
};

struct BatchCase {
    const char* name;
    int64_t drop = -1;   // a frame the input loses on the clip's first run
    int failAfter = -1;  // frames written before the disk is full
    int64_t silentFrom = INT64_MAX;
    // What became of the two clips, [100, 110) and [200, 205).
    ClipStatus first;
    int retries;
    const char* firstWords;  // in its last attempt's words, or its reason
    ClipStatus second;
    const char* secondReason;  // "" for a clip captured, which has none
    int aborted;               // attempts whose files were thrown away
    int64_t soundDrop = -1;    // a frame whose sound the input loses on the clip's first run
};

void PrintTo(const BatchCase& c, std::ostream* os) {
    *os << c.name;
}

class Batch : public ::testing::TestWithParam<BatchCase> {};

TEST_P(Batch, EndsAsItShould) {
    const BatchCase& c = GetParam();
    char dir[] = "/tmp/tapedeck-engine-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    FakeDeck deck;
    deck.silentFrom = c.silentFrom;
    FakeInput input(deck);
    if (c.drop >= 0) {
        input.DropOnFirstRun(c.drop);
    }
    if (c.soundDrop >= 0) {
        input.DropSoundOnFirstRun(c.soundDrop);
    }
    Written written;
    written.failAfter = c.failAfter;
    std::vector<std::string> phases;
    EngineOptions o;
    o.folder = dir;
    o.preroll = 0.5;
    o.offset = kLatency;
    o.recoverLimit = Millis(100);
    o.files = [&written] { return std::make_unique<FakeFiles>(written); };
    o.progress = [&phases](const Progress& p) {
        if (p.clip == 0 && (phases.empty() || phases.back() != p.phase)) {
            phases.push_back(p.phase);
        }
    };
    CaptureEngine engine(deck, input, o);
    const std::vector<ClipReport> r = engine.Run({ClipRequest{1, "one", "R1", 100, 110, "one"},
                                                  ClipRequest{2, "two", "R1", 200, 205, "two"}});
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].status, c.first) << r[0].reason;
    EXPECT_EQ(r[0].retries, c.retries);
    const std::string words = r[0].attempts.empty() ? r[0].reason : r[0].attempts.front();
    EXPECT_NE((r[0].reason + " | " + words).find(c.firstWords), std::string::npos)
        << r[0].reason << " | " << words;
    EXPECT_EQ(r[1].status, c.second) << r[1].reason;
    EXPECT_TRUE(*c.secondReason == '\0' ? r[1].reason.empty()
                                        : r[1].reason.find(c.secondReason) != std::string::npos)
        << r[1].reason;
    EXPECT_EQ(written.aborted, c.aborted);
    // Every finished clip holds exactly its frames, in order, and exactly their samples; nothing
    // else was kept.
    std::vector<std::vector<int64_t>> want;
    std::vector<std::vector<int64_t>> sound;
    for (const ClipReport& report : r) {
        if (report.status == ClipStatus::kCaptured) {
            want.emplace_back();
            sound.emplace_back();
            for (int64_t p = report.clip.in; p < report.clip.out; ++p) {
                want.back().push_back(p);
            }
            for (int64_t n = report.clip.in * 1920; n < report.clip.out * 1920; ++n) {
                sound.back().push_back(n);
            }
            EXPECT_EQ(report.samples, static_cast<int64_t>(sound.back().size()));
            ASSERT_EQ(report.channels.size(), 2u);
            EXPECT_FALSE(report.channels[0].silent);
            EXPECT_TRUE(report.channels[1].silent);
            EXPECT_EQ(report.provenance["deck"], "fake deck");
        }
    }
    EXPECT_EQ(written.finished, want);
    EXPECT_TRUE(written.sounds == sound) << "the sound kept is not the clips' samples";
    if (c.first == ClipStatus::kCaptured && c.retries == 0) {
        EXPECT_EQ(phases,
                  (std::vector<std::string>{"cue", "preroll", "capture", "finish", "done"}));
    }
    std::filesystem::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Engine, Batch,
    ::testing::Values(BatchCase{"exact", -1, -1, INT64_MAX, ClipStatus::kCaptured, 0,
                                "captured 10 frames", ClipStatus::kCaptured, "", 0},
                      BatchCase{"gap_retried", 104, -1, INT64_MAX, ClipStatus::kCaptured, 1,
                                "gap: 1 frame(s) missing before 00:00:04:05", ClipStatus::kCaptured,
                                "", 1},
                      BatchCase{"disk_full", -1, 3, INT64_MAX, ClipStatus::kFailed, 0,
                                "No space left on device", ClipStatus::kFailed,
                                "not attempted: writing", 1},
                      BatchCase{"deck_lost", -1, -1, 105, ClipStatus::kFailed, 0,
                                "the deck stopped answering at about", ClipStatus::kFailed,
                                "not attempted: the deck stopped answering", 1},
                      BatchCase{"sound_gap_retried", -1, -1, INT64_MAX, ClipStatus::kCaptured, 1,
                                "the sound stopped: 1920 sample(s) missing in 00:00:04:06",
                                ClipStatus::kCaptured, "", 1, 106}),
    [](const ::testing::TestParamInfo<BatchCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace capture
