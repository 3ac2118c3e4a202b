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

CaptureEngine::Attempt CaptureEngine::Capture(const ClipRequest& clip, double preroll,
                                              std::size_t index, int attempt, ClipReport& report) {
    Attempt a;
    const int64_t from = clip.in - m_Options.handles;
    const int64_t to = clip.out + m_Options.handles;
    const int64_t wanted = to - from;

    ClipWriter writer;
    WriterSpec spec;
    spec.folder = m_Options.folder;
    spec.stem = clip.stem;
    const InputReader::Picture picture = m_Input.Current();
    spec.width = picture.width;
    spec.height = picture.height;
    spec.pixelFormat = picture.pixelFormat;
    spec.aspect = picture.aspect;
    spec.frameRate = av_d2q(m_dFps, 1001000);
    spec.timecode = Time(from);
    spec.title = clip.name;
    if (!writer.Open(spec, &a.words)) {
        a.end = End::kFatal;
        return a;
    }

    // The preroll: from before the first frame wanted, never before the tape's zero.
    int64_t target = from - static_cast<int64_t>(std::llround(preroll * m_dFps));
    if (target < 0) {
        target = 0;
    }
    Tell(index, attempt, "cue", 0, wanted);
    Roll roll(*this);
    double cueSeconds = 0;
    a.end = roll.Cue(target, &a.words, &cueSeconds);
    report.cueSeconds += cueSeconds;
    if (a.end != End::kCaptured) {
        if (a.end == End::kCancelled) {
            std::string ignored;
            m_Deck.Stop(&ignored);  // a cancel stops the deck, in the middle of a wind too
        }
        return a;
    }
    m_Input.Arm(true);
    const uint64_t gaps0 = m_Input.CardGaps();
    const uint64_t overflows0 = m_Input.Overflows();
    Tell(index, attempt, "preroll", 0, wanted);
    a.end = roll.Play(&a.words);

    Sequence seq(from, to);
    std::deque<InputFrame> pending;
    bool done = false;
    bool lockChecked = false;
    // The out-point's frame is due by this moment, or something went wrong.
    const double deadline =
        roll.PlayAt() + static_cast<double>(to - target) / m_dFps + m_Options.offset + kLateLimit;
    const auto fault = [&a](End end, std::string words) {
        if (a.end == End::kCaptured) {
            a.end = end;
            a.words = std::move(words);
        }
    };
    while (a.end == End::kCaptured && !done) {
        if (Cancelled()) {
            fault(End::kCancelled, "cancelled at " + Time(roll.LastFrames()));
            break;
        }
        std::string why;
        if (!m_Input.Alive(&why)) {
            fault(End::kFatal, why);
            break;
        }
        if (writer.Failed(&why)) {
            fault(End::kFatal, why);
            break;
        }
        switch (roll.Exchange()) {
            case Roll::Step::kOk:
                break;
            case Roll::Step::kLost:
                fault(End::kDeckLost,
                      "the deck stopped answering at about " + Time(roll.LastFrames()));
                continue;
            case Roll::Step::kLeftPlay:
                fault(End::kRetry, "the deck left play at about " + Time(roll.LastFrames()) +
                                       " (the tape's end, or a transport fault)");
                continue;
            case Roll::Step::kBreak: {
                const BreakInfo& b = roll.Line().LastBreak();
                // The break lies between two reads: after the last one on the line, as far as
                // the reads can tell.
                const std::string jump = " the deck's time jumps to " + Time(b.firstAfter);
                const std::string what = b.stopped
                                             ? "the tape stopped at " + Time(b.lastOnLine)
                                             : "timecode break: after " + Time(b.lastOnLine) + jump;
                // Each break once, however many attempts meet it.
                const auto same = [&jump](const std::string& seen) {
                    return seen.size() >= jump.size() &&
                           seen.compare(seen.size() - jump.size(), jump.size(), jump) == 0;
                };
                if (!b.stopped && std::none_of(report.breaks.begin(), report.breaks.end(), same)) {
                    report.breaks.push_back(what);
                }
                if (seq.Kept() > 0 || b.stopped || b.firstAfter >= from) {
                    fault(End::kRetry,
                          what + (seq.Kept() > 0 ? ", inside the clip" : ", before the in-point"));
                    continue;
                }
                // A break in the preroll: the frames around it are before the clip anyway.
                while (!pending.empty() &&
                       pending.front().arrival - m_Options.offset < b.firstAfterAt) {
                    pending.pop_front();
                }
                break;
            }
        }
        // The frames that came meanwhile; on a fast line, wait for them out the cycle.
        for (std::optional<InputFrame> f = m_Input.Next(roll.Rest()); f;
             f = m_Input.Next(Millis(0))) {
            pending.push_back(std::move(*f));
        }
        if (!roll.Locked()) {
            pending.clear();  // a picture from before the servo locked is no use
            continue;
        }
        PlayLine& line = roll.Line();
        if (!line.Ready()) {
            continue;
        }
        if (!lockChecked) {
            lockChecked = true;
            const int64_t lockLabel = line.Label(roll.LockAt());
            if (lockLabel >= from) {
                a.lockDelay = roll.LockAt() - roll.PlayAt();
                fault(End::kRetry, "in-point missed: the servo locked at " + Time(lockLabel) +
                                       ", after the in-point " + Time(from) + " (" +
                                       Seconds(a.lockDelay) + " after play; preroll " +
                                       Seconds(preroll) + ")");
                continue;
            }
        }
        // Each frame labelled once a time read after it is in.
        while (!pending.empty() && a.end == End::kCaptured && !done) {
            const double t = pending.front().arrival - m_Options.offset;
            if (t > line.CoveredUntil()) {
                break;
            }
            InputFrame f = std::move(pending.front());
            pending.pop_front();
            if (t < roll.LockAt()) {
                continue;
            }
            const int64_t label = line.Label(t);
            switch (seq.Add(label)) {
                case Sequence::Verdict::kBefore:
                case Sequence::Verdict::kAfter:
                    break;
                case Sequence::Verdict::kKeep:
                case Sequence::Verdict::kKeepLast:
                    if (f.frame->width != spec.width || f.frame->height != spec.height ||
                        f.frame->format != spec.pixelFormat) {
                        // A card's picture changes with its signal; a file keeps one.
                        fault(End::kRetry,
                              "the input's picture changed from " +
                                  PictureText(spec.width, spec.height, spec.pixelFormat) + " to " +
                                  PictureText(f.frame->width, f.frame->height, f.frame->format) +
                                  " at " + Time(label) + "; a clip's file keeps one picture");
                        break;
                    }
                    if (!writer.Push(std::move(f.frame))) {
                        std::string why;
                        if (writer.Failed(&why)) {
                            fault(End::kFatal, why);
                        } else {
                            fault(End::kRetry, "the encoder fell behind at " + Time(label) +
                                                   ": a frame was lost");
                        }
                        break;
                    }
                    if (!report.achievedIn || seq.Kept() == 1) {
                        report.achievedIn = label;
                    }
                    report.achievedOut = label + 1;
                    done = seq.Complete();
                    if (seq.Kept() % kProgressEvery == 1) {
                        Tell(index, attempt, "capture", seq.Kept(), wanted);
                    }
                    break;
                case Sequence::Verdict::kMissedIn:
                    // A frame the input lost at the in-point is a gap, not a late deck.
                    if (m_Input.CardGaps() == gaps0 && m_Input.Overflows() == overflows0) {
                        fault(End::kRetry, "in-point missed: the first frame after " +
                                               Time(from - 1) + " was labelled " + Time(label));
                        break;
                    }
                    [[fallthrough]];
                case Sequence::Verdict::kGap:
                    fault(End::kRetry, "gap: " + std::to_string(label - (seq.Next())) +
                                           " frame(s) missing before " + Time(label) +
                                           (m_Input.CardGaps() > gaps0 ? " (the input lost frames)"
                                            : m_Input.Overflows() > overflows0
                                                ? " (frames came faster than the capture took them)"
                                                : ""));
                    break;
                case Sequence::Verdict::kRepeat:
                    fault(End::kRetry, "frame " + Time(label) + " came twice");
                    break;
            }
        }
        if (a.end == End::kCaptured && !done && SecondsOf(Clock::now()) > deadline) {
            fault(End::kRetry, "no frame labelled " + Time(to - 1) + " came (the last was " +
                                   Time(seq.Next() - 1) + ")");
        }
    }
    m_Input.Arm(false);
    report.cardGaps += m_Input.CardGaps() - gaps0;
    report.overflows += m_Input.Overflows() - overflows0;
    report.missing = seq.Missing();
    report.repeated = seq.Repeated();
    report.frames = seq.Kept();
    if (a.end != End::kDeckLost) {
        std::string error;
        if (!m_Deck.Stop(&error) && a.end == End::kCaptured) {
            report.attempts.push_back("the deck did not stop after the clip: " + error);
        }
    }
    if (a.end != End::kCaptured) {
        writer.Abort();
        return a;
    }
    Tell(index, attempt, "finish", seq.Kept(), wanted);
    if (!writer.Finish(&a.words)) {
        a.end = End::kFatal;
        return a;
    }
    report.file = writer.FilePath();
    report.framemd5 = writer.SidecarPath();
    return a;
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

CalibrationResult CaptureEngine::CalibrateOnce(int64_t at, double seconds, End* how) {
    CalibrationResult result;
    struct Seen {
        double arrival;
        int64_t stripe;
    };
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
        std::string why;
        if (Cancelled()) {
            end = End::kCancelled;
            words = "cancelled";
        } else if (!m_Input.Alive(&why)) {
            end = End::kFatal;
            words = why;
        } else if (const Roll::Step step = roll.Exchange(); step == Roll::Step::kLost) {
            end = End::kDeckLost;
            words = "the deck stopped answering";
        } else if (step == Roll::Step::kLeftPlay) {
            end = End::kRetry;
            words = "the deck left play";
        } else if (step == Roll::Step::kBreak && roll.Line().LastBreak().stopped) {
            // The reads saw the tape stop before a status question did: worth another run.
            end = End::kRetry;
            words = "the tape stopped at " + Time(roll.Line().LastBreak().lastOnLine);
        } else if (step == Roll::Step::kBreak) {
            end = End::kFail;  // a jump in the tape's own time: another run would meet it again
            words = "the deck's time broke off during the stretch; calibrate on another (--at)";
        }
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
    // Each frame's own offset: its arrival less the moment the line puts the middle of its
    // frame, the point furthest from either label boundary.
    const PlayLine& line = roll.Line();
    std::vector<double> offsets;
    offsets.reserve(seen.size());
    for (const Seen& s : seen) {
        offsets.push_back(s.arrival - line.TimeOf(static_cast<double>(s.stripe) + 0.5));
    }
    std::vector<double> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    result.offset = sorted[sorted.size() / 2];
    result.spread = sorted.back() - sorted.front();
    result.frames = static_cast<int>(seen.size());
    for (const Seen& s : seen) {
        result.agree += line.Label(s.arrival - result.offset) == s.stripe ? 1 : 0;
    }
    result.ok = true;
    return result;
}

}  // namespace capture
