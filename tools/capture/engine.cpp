#include "tools/capture/engine.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <thread>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "tools/capture/files.h"
#include "tools/capture/labeller.h"
#include "tools/capture/stripe.h"
#include "tools/capture/writer.h"

namespace capture {

namespace {

using Millis = std::chrono::milliseconds;

// The deck is asked no more often than this on a fast line; at 9600 baud a time read takes
// about 13.5 ms anyway.
constexpr Millis kMinCycle{10};
// Exchanges in a row without an answer, over at least this long: the deck is gone. A busy
// machine can hold a deck's reply past the module's time-out now and then.
constexpr int kLostAfter = 3;
constexpr Millis kLostSilence{400};
// A transport command the deck did not take is sent again this many times in all.
constexpr int kCommandTries = 3;
constexpr Millis kCommandPause{100};
// Once locked, one exchange in this many asks whether the deck is still playing.
constexpr int kStatusEvery = 8;
constexpr Millis kCuePoll{30};
constexpr int kRestReads = 3;
// Progress is told at the first frame kept and every so many after it: a panel's bar moves
// about five times a second.
constexpr int64_t kProgressEvery = 5;
constexpr Millis kRestPause{300};
// How long past the out-point's moment the capture waits for its frame.
constexpr double kLateLimit = 3.0;

// The stripe of a decoded frame: its luma read in place where the format has an 8-bit luma
// plane, else through a conversion to grey.
std::optional<int64_t> FrameStripe(const AVFrame* f) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    if (d == nullptr) {
        return std::nullopt;
    }
    if ((d->flags & AV_PIX_FMT_FLAG_RGB) == 0 && (d->flags & AV_PIX_FMT_FLAG_PAL) == 0 &&
        d->comp[0].depth == 8) {
        const int plane = d->comp[0].plane;
        return ReadStripe(LumaView{f->data[plane] + d->comp[0].offset, f->linesize[plane],
                                   d->comp[0].step, f->width, f->height});
    }
    SwsContext* sws =
        sws_getContext(f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                       f->height, AV_PIX_FMT_GRAY8, SWS_POINT, nullptr, nullptr, nullptr);
    AVFrame* grey = av_frame_alloc();
    std::optional<int64_t> v;
    if (sws != nullptr && grey != nullptr) {
        grey->format = AV_PIX_FMT_GRAY8;
        grey->width = f->width;
        grey->height = f->height;
        if (av_frame_get_buffer(grey, 0) >= 0 && sws_scale_frame(sws, grey, f) >= 0) {
            v = ReadStripe(LumaView{grey->data[0], grey->linesize[0], 1, f->width, f->height});
        }
    }
    av_frame_free(&grey);
    sws_freeContext(sws);
    return v;
}

// A report beside the clip's files, replaced whole through a temporary file of its own.
bool WriteReport(const ClipReport& r, const std::string& folder, const std::string& path,
                 std::string* error) {
    const std::string text = hostkit::DumpJson(ReportJson(r)) + "\n";
    TempFile temp;
    if (!temp.Create(folder, r.clip.stem + ".json", error)) {
        return false;
    }
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(temp.Fd(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = "cannot write " + path + ": " + std::strerror(errno);
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    if (fsync(temp.Fd()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    if (!temp.RenameOver(path, error)) {
        return false;
    }
    SyncFolder(folder);  // the new name is durable once the folder is
    return true;
}

// "320x240 yuv420p"
std::string PictureText(int width, int height, int format) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return std::to_string(width) + "x" + std::to_string(height) + " " +
           (name != nullptr ? name : "?");
}

std::string Seconds(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

}  // namespace

bool ExactRate(const hostkit::RateInfo& rate, std::string* why) {
    if (rate.base.whole > 30) {
        *why = std::string("capture at ") + rate.name +
               " cannot be frame-exact: above 30 frames a second decks report frame pairs in "
               "their time reads, so one read cannot tell the two frames of a pair apart";
        return false;
    }
    return true;
}

std::string CalibrationVerdict(const CalibrationResult& r, const hostkit::RateInfo& rate) {
    if (r.agree < r.frames) {
        return "with it, " + std::to_string(r.frames - r.agree) + " of " +
               std::to_string(r.frames) + " frames were labelled other than their stripe";
    }
    if (r.spread > 0.5 / rate.fps) {
        return "the capture path's latency varies by " +
               std::to_string(std::lround(r.spread * 1000)) +
               " ms, more than half a frame: captures through it cannot be frame-exact";
    }
    return "";
}

CalibrationEntry CalibrationOf(const CalibrationResult& r, const std::string& deck,
                               const std::string& input, const hostkit::RateInfo& rate) {
    CalibrationEntry e;
    e.deck = deck;
    e.input = input;
    e.rate = rate.name;
    e.offsetMs = std::round(r.offset * 1e5) / 100.0;
    e.spreadMs = std::round(r.spread * 1e5) / 100.0;
    e.frames = r.frames;
    e.measured = UtcNow();
    return e;
}

// One run of the tape: the cue, play, the servo's lock and the line the time reads make,
// shared by a clip's capture and by calibration.
class CaptureEngine::Roll {
  public:
    enum class Step { kOk, kLost, kBreak, kLeftPlay };

    explicit Roll(CaptureEngine& e) : m_E(e), m_Line(e.m_dFps) {}

    // Waits for a cue to end (command 29).
    End WaitCue(int64_t target, std::string* words) {
        const auto start = Clock::now();
        int unanswered = 0;
        auto answeredAt = Clock::now();
        for (;;) {
            if (m_E.Cancelled()) {
                *words = "cancelled while the deck cued to " + m_E.Time(target);
                return End::kCancelled;
            }
            const std::optional<bool> done = m_E.m_Deck.CueDone();
            unanswered = done ? 0 : unanswered + 1;
            answeredAt = done ? Clock::now() : answeredAt;
            if (unanswered >= kLostAfter && Clock::now() - answeredAt >= kLostSilence) {
                *words = "the deck stopped answering while it cued to " + m_E.Time(target);
                return End::kDeckLost;
            }
            if (done.value_or(false)) {
                return End::kCaptured;
            }
            if (Clock::now() - start > m_E.m_Options.cueLimit) {
                *words = "the cue to " + m_E.Time(target) + " did not end within " +
                         std::to_string(m_E.m_Options.cueLimit.count() / 1000) + " s";
                return End::kRetry;
            }
            std::this_thread::sleep_for(kCuePoll);
        }
    }

    // Cues to `target` and waits until the deck is there.
    End Cue(int64_t target, std::string* words, double* seconds) {
        const auto start = Clock::now();
        // A cue an attempt that lost the deck left running is waited out: the deck takes no
        // other until it ends.
        if (m_E.m_Deck.CueDone() == std::optional<bool>(false)) {
            if (const End e = WaitCue(target, words); e != End::kCaptured) {
                return e;
            }
        }
        if (!Command([&](std::string* e) { return m_E.m_Deck.Cue(target, e); }, words)) {
            return Refused();
        }
        if (const End e = WaitCue(target, words); e != End::kCaptured) {
            return e;
        }
        *seconds = std::chrono::duration<double>(Clock::now() - start).count();
        // Where the deck came to rest, by two reads that agree: one reply garbled on the line
        // must not fail the clip, nor one taken while the tape still settled pass it.
        std::optional<int64_t> at;
        bool heard = false;
        for (int round = 0; round < kRestReads; ++round) {
            const TimeRead a = m_E.m_Deck.ReadTime();
            const TimeRead b = m_E.m_Deck.ReadTime();
            heard = heard || a.answered || b.answered;
            if (a.answered && b.answered && a.frames == b.frames) {
                at = a.frames;
                if (*at == target) {
                    return End::kCaptured;
                }
            }
            std::this_thread::sleep_for(kRestPause);
        }
        if (!heard) {
            *words = "the deck stopped answering after the cue to " + m_E.Time(target);
            return End::kDeckLost;
        }
        *words =
            at ? "the deck stopped at " + m_E.Time(*at) + ", short of the cue point " +
                     m_E.Time(target) + (*at < target ? ": the tape ends before it" : "")
               : "the deck's time reads after the cue to " + m_E.Time(target) + " did not agree";
        return at ? End::kFail : End::kRetry;
    }

    End Play(std::string* words) {
        // A cancel that came during the cue: the deck is not started again.
        if (m_E.Cancelled()) {
            *words = "cancelled at the cue point";
            return End::kCancelled;
        }
        m_dPlayAt = SecondsOf(Clock::now());
        if (!Command([this](std::string* e) { return m_E.m_Deck.Play(e); }, words)) {
            return Refused();
        }
        return End::kCaptured;
    }

    // A transport command, tried again when the deck did not take it: one sense lost on a
    // busy line must not end a clip.
    template <typename Send>
    bool Command(Send send, std::string* words) {
        for (int attempt = 0; attempt < kCommandTries; ++attempt) {
            if (attempt > 0) {
                std::this_thread::sleep_for(kCommandPause);
            }
            if (send(words)) {
                return true;
            }
        }
        return false;
    }

    // A command the deck would not take: tried again later if it answers, else it is gone.
    End Refused() { return m_E.m_Deck.Playing() ? End::kRetry : End::kDeckLost; }

    // One question to the deck: whether it plays until the servo locks, then time reads with
    // now and then the question again.
    Step Exchange() {
        m_CycleStart = Clock::now();
        const bool ask = !m_bLocked || ++m_nTurn % kStatusEvery == 0;
        bool answered = false;
        Step step = Step::kOk;
        if (ask) {
            const double t = SecondsOf(Clock::now());
            const std::optional<bool> playing = m_E.m_Deck.Playing();
            answered = playing.has_value();
            if (playing.value_or(false) && !m_bLocked) {
                m_bLocked = true;
                m_dLockAt = t;
            }
            // Twice in a row, so that one garbled status does not end a clip. The question
            // comes again at once after a no.
            m_nNotPlaying = answered && !*playing && m_bLocked ? m_nNotPlaying + 1 : 0;
            if (m_nNotPlaying >= 2) {
                step = Step::kLeftPlay;
            } else if (m_nNotPlaying == 1) {
                m_nTurn = kStatusEvery - 1;
            }
        } else {
            const TimeRead r = m_E.m_Deck.ReadTime();
            answered = r.answered;
            if (r.answered) {
                m_nLastFrames = r.frames;
            }
            if (r.sure) {
                if (m_Line.Add(SecondsOf(r.taken), r.frames) == ReadFit::kBreak) {
                    step = Step::kBreak;
                }
            }
        }
        m_nUnanswered = answered ? 0 : m_nUnanswered + 1;
        if (answered) {
            m_AnsweredAt = Clock::now();
        }
        return m_nUnanswered >= kLostAfter && Clock::now() - m_AnsweredAt >= kLostSilence
                   ? Step::kLost
                   : step;
    }

    // What is left of the exchange's cycle on a fast line. A little dither keeps reads paced
    // at a whole fraction of a frame from always meeting the frames at the same phase.
    Millis Rest() {
        const auto left = kMinCycle + Millis(m_Dither() % 4) - (Clock::now() - m_CycleStart);
        return std::max(Millis(0), std::chrono::duration_cast<Millis>(left));
    }

    bool Locked() const { return m_bLocked; }
    double LockAt() const { return m_dLockAt; }
    double PlayAt() const { return m_dPlayAt; }
    int64_t LastFrames() const { return m_nLastFrames; }
    PlayLine& Line() { return m_Line; }

  private:
    CaptureEngine& m_E;
    PlayLine m_Line;
    bool m_bLocked = false;
    double m_dLockAt = 0;
    double m_dPlayAt = 0;
    int m_nTurn = 0;
    int m_nUnanswered = 0;
    int m_nNotPlaying = 0;
    Clock::time_point m_AnsweredAt = Clock::now();
    int64_t m_nLastFrames = 0;
    Clock::time_point m_CycleStart;
    std::minstd_rand m_Dither;
};

CaptureEngine::CaptureEngine(DeckControl& deck, InputReader& input, EngineOptions options)
    : m_Deck(deck), m_Input(input), m_Options(std::move(options)), m_dFps(deck.Rate().fps) {}

bool CaptureEngine::Cancelled() const {
    return m_Options.cancel != nullptr && m_Options.cancel->load();
}

std::string CaptureEngine::Time(int64_t frames) const {
    return hostkit::FormatTimecode(frames, m_Deck.Rate().base);
}

void CaptureEngine::Tell(std::size_t index, int attempt, const char* phase, int64_t frames,
                         int64_t wanted, const ClipReport* report) const {
    if (m_Options.progress) {
        Progress p;
        p.clip = index;
        p.clips = m_nClips;
        p.attempt = attempt;
        p.phase = phase;
        p.frames = frames;
        p.wanted = wanted;
        p.report = report;
        m_Options.progress(p);
    }
}

// One attempt at a clip, in its stages: open the files, cue, preroll, keep the frames from in
// to out, finish the files. The first fault ends it, in words.
class CaptureEngine::Take {
  public:
    Take(CaptureEngine& e, const ClipRequest& clip, double preroll, std::size_t index, int attempt,
         ClipReport& report)
        : m_E(e),
          m_Clip(clip),
          m_dPreroll(preroll),
          m_nIndex(index),
          m_nAttempt(attempt),
          m_Report(report),
          m_nFrom(clip.in - e.m_Options.handles),
          m_nTo(clip.out + e.m_Options.handles),
          m_Roll(e),
          m_Seq(m_nFrom, m_nTo) {}

    Attempt Run() {
        if (Open() && Cue() && Preroll()) {
            Keep();
        }
        return Finish();
    }

  private:
    int64_t Wanted() const { return m_nTo - m_nFrom; }

    // A fault ends the attempt; the first one is the one said.
    void Fault(End end, std::string words) {
        if (m_A.end == End::kCaptured) {
            m_A.end = end;
            m_A.words = std::move(words);
        }
    }

    bool Open() {
        m_Spec.folder = m_E.m_Options.folder;
        m_Spec.stem = m_Clip.stem;
        const InputReader::Picture picture = m_E.m_Input.Current();
        m_Spec.width = picture.width;
        m_Spec.height = picture.height;
        m_Spec.pixelFormat = picture.pixelFormat;
        m_Spec.aspect = picture.aspect;
        m_Spec.frameRate = av_d2q(m_E.m_dFps, 1001000);
        m_Spec.timecode = m_E.Time(m_nFrom);
        m_Spec.title = m_Clip.name;
        if (!m_Writer.Open(m_Spec, &m_A.words)) {
            m_A.end = End::kFatal;
            return false;
        }
        m_A.end = End::kCaptured;
        return true;
    }

    // The preroll's start: before the first frame wanted, never before the tape's zero.
    bool Cue() {
        m_nTarget = std::max<int64_t>(
            0, m_nFrom - static_cast<int64_t>(std::llround(m_dPreroll * m_E.m_dFps)));
        m_E.Tell(m_nIndex, m_nAttempt, "cue", 0, Wanted());
        double cueSeconds = 0;
        m_A.end = m_Roll.Cue(m_nTarget, &m_A.words, &cueSeconds);
        m_Report.cueSeconds += cueSeconds;
        if (m_A.end == End::kCancelled) {
            std::string ignored;
            m_E.m_Deck.Stop(&ignored);  // a cancel stops the deck, in the middle of a wind too
        }
        m_bCued = m_A.end == End::kCaptured;
        return m_bCued;
    }

    bool Preroll() {
        m_E.m_Input.Arm(true);
        m_nGaps0 = m_E.m_Input.CardGaps();
        m_nOverflows0 = m_E.m_Input.Overflows();
        m_E.Tell(m_nIndex, m_nAttempt, "preroll", 0, Wanted());
        m_A.end = m_Roll.Play(&m_A.words);
        // The out-point's frame is due by this moment, or something went wrong.
        m_dDeadline = m_Roll.PlayAt() + static_cast<double>(m_nTo - m_nTarget) / m_E.m_dFps +
                      m_E.m_Options.offset + kLateLimit;
        return true;
    }

    // Until the out-point's frame is kept or a fault ends it: one question to the deck, the
    // frames that came meanwhile, and each frame labelled once a read after it is in.
    void Keep() {
        while (m_A.end == End::kCaptured && !m_bDone) {
            if (!Healthy() || !Ask()) {
                continue;
            }
            Gather();
            if (!m_Roll.Locked()) {
                m_Pending.clear();  // a picture from before the servo locked is no use
                continue;
            }
            if (!m_Roll.Line().Ready() || !LockedInTime()) {
                continue;
            }
            Label();
            if (m_A.end == End::kCaptured && !m_bDone && SecondsOf(Clock::now()) > m_dDeadline) {
                Fault(End::kRetry, "no frame labelled " + m_E.Time(m_nTo - 1) +
                                       " came (the last was " + m_E.Time(m_Seq.Next() - 1) + ")");
            }
        }
    }

    bool Healthy() {
        std::string why;
        if (m_E.Cancelled()) {
            Fault(End::kCancelled, "cancelled at " + m_E.Time(m_Roll.LastFrames()));
        } else if (!m_E.m_Input.Alive(&why) || m_Writer.Failed(&why)) {
            Fault(End::kFatal, why);
        }
        return m_A.end == End::kCaptured;
    }

    // The deck's answer to this cycle's question; false when it ended the attempt.
    bool Ask() {
        switch (m_Roll.Exchange()) {
            case Roll::Step::kOk:
                return true;
            case Roll::Step::kLost:
                Fault(End::kDeckLost,
                      "the deck stopped answering at about " + m_E.Time(m_Roll.LastFrames()));
                return false;
            case Roll::Step::kLeftPlay:
                Fault(End::kRetry, "the deck left play at about " + m_E.Time(m_Roll.LastFrames()) +
                                       " (the tape's end, or a transport fault)");
                return false;
            case Roll::Step::kBreak:
                return Break();
        }
        return true;
    }

    // A timecode break, or the tape stopping: inside the clip it ends the attempt; in the
    // preroll the frames around it are before the clip anyway.
    bool Break() {
        const BreakInfo& b = m_Roll.Line().LastBreak();
        // The break lies between two reads: after the last one on the line, as far as the
        // reads can tell.
        const std::string jump = " the deck's time jumps to " + m_E.Time(b.firstAfter);
        const std::string what = b.stopped
                                     ? "the tape stopped at " + m_E.Time(b.lastOnLine)
                                     : "timecode break: after " + m_E.Time(b.lastOnLine) + jump;
        // Each break once, however many attempts meet it.
        const auto same = [&jump](const std::string& seen) {
            return seen.size() >= jump.size() &&
                   seen.compare(seen.size() - jump.size(), jump.size(), jump) == 0;
        };
        if (!b.stopped && std::none_of(m_Report.breaks.begin(), m_Report.breaks.end(), same)) {
            m_Report.breaks.push_back(what);
        }
        if (m_Seq.Kept() > 0 || b.stopped || b.firstAfter >= m_nFrom) {
            Fault(End::kRetry,
                  what + (m_Seq.Kept() > 0 ? ", inside the clip" : ", before the in-point"));
            return false;
        }
        while (!m_Pending.empty() &&
               m_Pending.front().arrival - m_E.m_Options.offset < b.firstAfterAt) {
            m_Pending.pop_front();
        }
        return true;
    }

    // The frames that came meanwhile; on a fast line, wait for them out the cycle.
    void Gather() {
        for (std::optional<InputFrame> f = m_E.m_Input.Next(m_Roll.Rest()); f;
             f = m_E.m_Input.Next(Millis(0))) {
            m_Pending.push_back(std::move(*f));
        }
    }

    // Once: a servo that locked after the in-point missed it; the next attempt prerolls more.
    bool LockedInTime() {
        if (m_bLockChecked) {
            return true;
        }
        m_bLockChecked = true;
        const int64_t lockLabel = m_Roll.Line().Label(m_Roll.LockAt());
        if (lockLabel < m_nFrom) {
            return true;
        }
        m_A.lockDelay = m_Roll.LockAt() - m_Roll.PlayAt();
        Fault(End::kRetry, "in-point missed: the servo locked at " + m_E.Time(lockLabel) +
                               ", after the in-point " + m_E.Time(m_nFrom) + " (" +
                               Seconds(m_A.lockDelay) + " after play; preroll " +
                               Seconds(m_dPreroll) + ")");
        return false;
    }

    // Each frame labelled once a time read after it is in, and kept from in to out.
    void Label() {
        PlayLine& line = m_Roll.Line();
        while (!m_Pending.empty() && m_A.end == End::kCaptured && !m_bDone) {
            const double t = m_Pending.front().arrival - m_E.m_Options.offset;
            if (t > line.CoveredUntil()) {
                break;
            }
            InputFrame f = std::move(m_Pending.front());
            m_Pending.pop_front();
            if (t >= m_Roll.LockAt()) {
                Judge(line.Label(t), std::move(f));
            }
        }
    }

    void Judge(int64_t label, InputFrame f) {
        const Sequence::Verdict verdict = m_Seq.Add(label);
        // A card's picture changes with its signal, and its timing stumbles with it: the
        // picture is the cause to name, whatever the frame's label says.
        if (verdict != Sequence::Verdict::kBefore && verdict != Sequence::Verdict::kAfter &&
            !SamePicture(*f.frame)) {
            Fault(End::kRetry, "the input's picture changed from " +
                                   PictureText(m_Spec.width, m_Spec.height, m_Spec.pixelFormat) +
                                   " to " +
                                   PictureText(f.frame->width, f.frame->height, f.frame->format) +
                                   " at " + m_E.Time(label) + "; a clip's file keeps one picture");
            return;
        }
        switch (verdict) {
            case Sequence::Verdict::kBefore:
            case Sequence::Verdict::kAfter:
                break;
            case Sequence::Verdict::kKeep:
            case Sequence::Verdict::kKeepLast:
                Store(label, std::move(f));
                break;
            case Sequence::Verdict::kMissedIn:
                // A frame the input lost at the in-point is a gap, not a late deck.
                if (!InputLost()) {
                    Fault(End::kRetry, "in-point missed: the first frame after " +
                                           m_E.Time(m_nFrom - 1) + " was labelled " +
                                           m_E.Time(label));
                    break;
                }
                [[fallthrough]];
            case Sequence::Verdict::kGap:
                Fault(End::kRetry,
                      "gap: " + std::to_string(label - (m_Seq.Next())) +
                          " frame(s) missing before " + m_E.Time(label) +
                          (m_E.m_Input.CardGaps() > m_nGaps0 ? " (the input lost frames)"
                           : m_E.m_Input.Overflows() > m_nOverflows0
                               ? " (frames came faster than the capture took them)"
                               : ""));
                break;
            case Sequence::Verdict::kRepeat:
                Fault(End::kRetry, "frame " + m_E.Time(label) + " came twice");
                break;
        }
    }

    bool InputLost() const {
        return m_E.m_Input.CardGaps() != m_nGaps0 || m_E.m_Input.Overflows() != m_nOverflows0;
    }

    bool SamePicture(const AVFrame& frame) const {
        return frame.width == m_Spec.width && frame.height == m_Spec.height &&
               frame.format == m_Spec.pixelFormat;
    }

    void Store(int64_t label, InputFrame f) {
        if (!m_Writer.Push(std::move(f.frame))) {
            std::string why;
            if (m_Writer.Failed(&why)) {
                Fault(End::kFatal, why);
            } else {
                Fault(End::kRetry,
                      "the encoder fell behind at " + m_E.Time(label) + ": a frame was lost");
            }
            return;
        }
        if (!m_Report.achievedIn || m_Seq.Kept() == 1) {
            m_Report.achievedIn = label;
        }
        m_Report.achievedOut = label + 1;
        m_bDone = m_Seq.Complete();
        if (m_Seq.Kept() % kProgressEvery == 1) {
            m_E.Tell(m_nIndex, m_nAttempt, "capture", m_Seq.Kept(), Wanted());
        }
    }

    // The deck stopped, the counts told; the files kept when the clip is whole, else removed.
    Attempt Finish() {
        if (m_bCued) {
            m_E.m_Input.Arm(false);
            m_Report.cardGaps += m_E.m_Input.CardGaps() - m_nGaps0;
            m_Report.overflows += m_E.m_Input.Overflows() - m_nOverflows0;
            m_Report.missing = m_Seq.Missing();
            m_Report.repeated = m_Seq.Repeated();
            m_Report.frames = m_Seq.Kept();
            if (m_A.end != End::kDeckLost) {
                std::string error;
                if (!m_E.m_Deck.Stop(&error) && m_A.end == End::kCaptured) {
                    m_Report.attempts.push_back("the deck did not stop after the clip: " + error);
                }
            }
        }
        if (m_A.end != End::kCaptured) {
            m_Writer.Abort();
            return m_A;
        }
        m_E.Tell(m_nIndex, m_nAttempt, "finish", m_Seq.Kept(), Wanted());
        if (!m_Writer.Finish(&m_A.words)) {
            m_A.end = End::kFatal;
            return m_A;
        }
        m_Report.file = m_Writer.FilePath();
        m_Report.framemd5 = m_Writer.SidecarPath();
        return m_A;
    }

    CaptureEngine& m_E;
    const ClipRequest& m_Clip;
    double m_dPreroll;
    std::size_t m_nIndex;
    int m_nAttempt;
    ClipReport& m_Report;
    const int64_t m_nFrom;
    const int64_t m_nTo;
    Roll m_Roll;
    Sequence m_Seq;
    Attempt m_A;
    ClipWriter m_Writer;
    WriterSpec m_Spec;
    int64_t m_nTarget = 0;
    bool m_bCued = false;
    uint64_t m_nGaps0 = 0;
    uint64_t m_nOverflows0 = 0;
    double m_dDeadline = 0;
    std::deque<InputFrame> m_Pending;
    bool m_bDone = false;
    bool m_bLockChecked = false;
};

CaptureEngine::Attempt CaptureEngine::Capture(const ClipRequest& clip, double preroll,
                                              std::size_t index, int attempt, ClipReport& report) {
    return Take(*this, clip, preroll, index, attempt, report).Run();
}

void CaptureEngine::CaptureClip(std::size_t index, ClipReport& report) {
    const ClipRequest& clip = report.clip;
    const auto start = Clock::now();
    double preroll = m_Options.preroll;
    for (int attempt = 1;; ++attempt) {
        report.prerollSeconds = preroll;
        report.achievedIn.reset();
        report.achievedOut.reset();
        const Attempt a = Capture(clip, preroll, index, attempt, report);
        const char* lead = attempt == 1 ? "" : "retry: ";
        if (a.end == End::kCaptured) {
            report.status = ClipStatus::kCaptured;
            report.reason.clear();
            report.attempts.push_back(std::string(lead) + "captured " +
                                      std::to_string(report.frames) + " frames");
            break;
        }
        report.frames = 0;
        report.achievedIn.reset();
        report.achievedOut.reset();
        report.attempts.push_back(lead + a.words);
        report.reason = a.words;
        if (a.end == End::kCancelled) {
            report.status = ClipStatus::kCancelled;
            break;
        }
        if (a.end == End::kFatal) {
            m_BatchFailure = a.words;
            break;
        }
        if (a.end == End::kDeckLost) {
            if (!m_Deck.Recover(m_Options.recoverLimit, m_Options.cancel)) {
                m_BatchFailure = a.words + ", and did not come back within " +
                                 std::to_string(m_Options.recoverLimit.count() / 1000) + " s";
                report.reason = m_BatchFailure;
                break;
            }
            report.attempts.back() += "; the deck came back";
        }
        if (a.end == End::kFail || attempt > m_Options.retries) {
            break;
        }
        ++report.retries;
        if (a.lockDelay >= 0) {
            // The deck needs longer to lock than the preroll gave it.
            preroll = std::max(preroll, a.lockDelay + 1.0);
            report.attempts.back() += "; the next attempt prerolls " + Seconds(preroll);
        }
    }
    report.seconds = std::chrono::duration<double>(Clock::now() - start).count();
}

std::vector<ClipReport> CaptureEngine::Run(const std::vector<ClipRequest>& clips) {
    m_nClips = clips.size();
    std::vector<ClipReport> reports;
    std::string rateWhy;
    const bool exact = ExactRate(m_Deck.Rate(), &rateWhy);
    for (std::size_t i = 0; i < clips.size(); ++i) {
        reports.emplace_back();
        ClipReport& r = reports.back();
        r.clip = clips[i];
        r.rate = &m_Deck.Rate();
        r.handles = m_Options.handles;
        r.offsetMs = m_Options.offset * 1000.0;
        r.prerollSeconds = m_Options.preroll;
        const std::string base = m_Options.folder + "/" + r.clip.stem;
        // What a capture of it that crashed left behind, before anything else is decided.
        RemoveStaleParts(m_Options.folder, r.clip.stem);
        const std::string existing = FirstExisting({base + ".mkv", base + ".framemd5"});
        bool writeReport = true;
        if (!existing.empty()) {
            // Nothing about this run may replace that capture's files or its report.
            r.reason = existing + " exists; not replacing it";
            writeReport = false;
        } else if (Cancelled()) {
            r.status = ClipStatus::kCancelled;
            r.reason = "cancelled before it started";
        } else if (!exact) {
            r.reason = rateWhy;
        } else if (!m_BatchFailure.empty()) {
            r.reason = "not attempted: " + m_BatchFailure;
        } else if (r.clip.out <= r.clip.in) {
            r.reason = "no frames between in and out: nothing to capture";
        } else if (r.clip.in - r.handles < 0) {
            r.reason = "the handles reach before 00:00:00:00";
        } else {
            CaptureClip(i, r);
        }
        if (writeReport) {
            std::string error;
            if (WriteReport(r, m_Options.folder, base + ".json", &error)) {
                r.reportFile = base + ".json";
            } else if (r.status == ClipStatus::kCaptured) {
                r.attempts.push_back(error);
            }
        }
        Tell(i, r.retries + 1, "done", r.frames, r.clip.out - r.clip.in + 2 * int64_t{r.handles},
             &r);
    }
    return reports;
}

CalibrationResult CaptureEngine::Calibrate(int64_t at, double seconds) {
    for (int retries = 0;; ++retries) {
        End end = End::kFail;
        CalibrationResult result = CalibrateOnce(at, seconds, &end);
        result.retries = retries;
        if (end == End::kDeckLost && !m_Deck.Recover(m_Options.recoverLimit, m_Options.cancel)) {
            result.error += ", and did not come back within " +
                            std::to_string(m_Options.recoverLimit.count() / 1000) + " s";
            return result;
        }
        if ((end != End::kRetry && end != End::kDeckLost) || retries >= m_Options.retries) {
            if (!result.ok && retries > 0) {
                result.error += " (" + std::to_string(retries + 1) + " attempts)";
            }
            return result;
        }
    }
}

namespace {

// A frame measured for calibration: when it arrived, and the position its stripe shows.
struct Seen {
    double arrival;
    int64_t stripe;
};

// Each frame's own offset: its arrival less the moment the line puts the middle of its frame,
// the point furthest from either label boundary. The offset is their median.
void Measure(const std::vector<Seen>& seen, const PlayLine& line, CalibrationResult* result) {
    std::vector<double> offsets;
    offsets.reserve(seen.size());
    for (const Seen& s : seen) {
        offsets.push_back(s.arrival - line.TimeOf(static_cast<double>(s.stripe) + 0.5));
    }
    std::sort(offsets.begin(), offsets.end());
    result->offset = offsets[offsets.size() / 2];
    result->spread = offsets.back() - offsets.front();
    result->frames = static_cast<int>(seen.size());
    for (const Seen& s : seen) {
        result->agree += line.Label(s.arrival - result->offset) == s.stripe ? 1 : 0;
    }
    result->ok = true;
}

}  // namespace

// One cycle of a calibration's stretch: what ends it, in words, or kCaptured to go on.
CaptureEngine::End CaptureEngine::CalibrationStep(Roll& roll, std::string* words) {
    std::string why;
    if (Cancelled()) {
        *words = "cancelled";
        return End::kCancelled;
    }
    if (!m_Input.Alive(&why)) {
        *words = why;
        return End::kFatal;
    }
    const Roll::Step step = roll.Exchange();
    if (step == Roll::Step::kLost) {
        *words = "the deck stopped answering";
        return End::kDeckLost;
    }
    if (step == Roll::Step::kLeftPlay) {
        *words = "the deck left play";
        return End::kRetry;
    }
    if (step == Roll::Step::kBreak && roll.Line().LastBreak().stopped) {
        // The reads saw the tape stop before a status question did: worth another run.
        *words = "the tape stopped at " + Time(roll.Line().LastBreak().lastOnLine);
        return End::kRetry;
    }
    if (step == Roll::Step::kBreak) {
        // A jump in the tape's own time: another run would meet it again.
        *words = "the deck's time broke off during the stretch; calibrate on another (--at)";
        return End::kFail;
    }
    return End::kCaptured;
}

CalibrationResult CaptureEngine::CalibrateOnce(int64_t at, double seconds, End* how) {
    CalibrationResult result;
    std::vector<Seen> seen;
    const int64_t target = std::max<int64_t>(0, at - std::llround(m_Options.preroll * m_dFps));
    Roll roll(*this);
    double cueSeconds = 0;
    std::string words;
    End end = roll.Cue(target, &words, &cueSeconds);
    if (end == End::kCaptured) {
        m_Input.Arm(true);
        end = roll.Play(&words);
    }
    const auto enough = [&] {
        return roll.Locked() && roll.Line().Ready() && !seen.empty() &&
               seen.back().arrival - seen.front().arrival >= seconds;
    };
    while (end == End::kCaptured && !enough()) {
        end = CalibrationStep(roll, &words);
        for (std::optional<InputFrame> f = m_Input.Next(roll.Rest()); f && end == End::kCaptured;
             f = m_Input.Next(Millis(0))) {
            if (!roll.Locked() || f->arrival < roll.LockAt() + m_Options.preroll / 10.0) {
                continue;  // the first frames after the lock may still be settling
            }
            if (const std::optional<int64_t> s = FrameStripe(f->frame.get())) {
                seen.push_back(Seen{f->arrival, *s});
            } else {
                ++result.unreadable;
            }
        }
        if (end == End::kCaptured && SecondsOf(Clock::now()) > roll.PlayAt() + seconds + 20.0) {
            end = End::kFail;
            words = seen.empty() ? "no frame carried a readable position stripe: calibration "
                                   "needs a tape whose frames show their position"
                                 : "too few frames carried a readable position stripe";
        }
    }
    m_Input.Arm(false);
    std::string stopError;
    if (end != End::kDeckLost) {
        m_Deck.Stop(&stopError);
    }
    *how = end;
    if (end != End::kCaptured) {
        result.error = words;
        return result;
    }
    Measure(seen, roll.Line(), &result);
    return result;
}

}  // namespace capture
