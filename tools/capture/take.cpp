#include "tools/capture/take.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
}

#include "tools/capture/calibration.h"
#include "tools/capture/labeller.h"
#include "tools/capture/ltc.h"
#include "tools/capture/quality.h"
#include "tools/capture/roll.h"
#include "tools/capture/sound.h"
#include "tools/capture/writer.h"

namespace capture {

namespace {

using Millis = std::chrono::milliseconds;

// Progress is told at the first frame kept and every so many after it: a panel's bar moves
// about five times a second.
constexpr int64_t kProgressEvery = 5;
// How long past the out-point's moment the capture waits for its frame, and after its frame for
// the sound that goes with it.
constexpr double kLateLimit = 3.0;
constexpr double kSoundLate = 1.0;
// Without a calibrated offset, the serial time's is measured on the clip's first frames that LTC
// labelled; the check waits this long after the last frame for a read that covers it.
constexpr std::size_t kOffsetFrames = 8;
constexpr double kCheckLate = 2.0;
// A sound device apart from the picture's may end this far from the picture, and no further.
constexpr double kMostParting = 0.001;
// and its stamps lie within this many seconds of the picture's, on one clock.
constexpr int64_t kMostStampsApart = 5;

// "320x240 yuv420p"
std::string PictureText(int width, int height, int format) {
    const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(format));
    return std::to_string(width) + "x" + std::to_string(height) + " " +
           (name != nullptr ? name : "?");
}

// One attempt at a clip, in its stages: open the files, cue, preroll, keep the frames from in
// to out, finish the files. The first fault ends it, in words.
class Take {
  public:
    Take(const TakeContext& context, const ClipRequest& clip, double preroll, ClipReport& report)
        : m_C(context),
          m_Clip(clip),
          m_dPreroll(preroll),
          m_Report(report),
          m_dFps(context.deck.Rate().fps),
          m_nFrom(clip.in - context.options.handles),
          m_nTo(clip.out + context.options.handles),
          m_Roll(context.deck, context.options),
          m_Seq(m_nFrom, m_nTo),
          m_pFiles(context.options.files ? context.options.files()
                                         : std::make_unique<ClipWriter>()) {}

    Attempt Run() {
        if (Open() && Cue() && Preroll()) {
            Keep();
            KeepSound();
            KeepChecks();
        }
        return Finish();
    }

  private:
    int64_t Wanted() const { return m_nTo - m_nFrom; }

    void Tell(const char* phase) const {
        TakeNews n;
        n.phase = phase;
        n.frames = m_Seq.Kept();
        n.wanted = Wanted();
        n.position = m_Report.achievedOut ? *m_Report.achievedOut - 1 : m_Roll.LastFrames();
        if (m_bCued) {
            n.lost = static_cast<int64_t>(m_C.input.CardGaps() - m_nGaps0 + m_C.input.Overflows() -
                                          m_nOverflows0) +
                     m_Seq.Missing();
        }
        n.repeated = m_Seq.Repeated();
        m_C.tell(n);
    }

    // A fault ends the attempt; the first one is the one said.
    void Fault(End end, std::string words) {
        if (m_A.end == End::kCaptured) {
            m_A.end = end;
            m_A.words = std::move(words);
        }
    }

    bool Open() {
        m_Spec.folder = m_C.options.folder;
        m_Spec.stem = m_Clip.stem;
        m_Spec.picture = m_C.input.Current();
        m_Spec.frameRate = av_d2q(m_dFps, 1001000);
        m_Spec.base = m_C.deck.Rate().base;
        m_Spec.timecode = m_Roll.Time(m_nFrom);
        m_Spec.title = m_Clip.name;
        m_Spec.sound = m_C.input.CurrentSound();
        if (m_Spec.sound.channels > 0 && !Keepable(m_Spec.sound)) {
            const char* name =
                av_get_sample_fmt_name(static_cast<AVSampleFormat>(m_Spec.sound.sampleFormat));
            m_A.words = std::string("the input's sound comes as ") + (name ? name : "?") +
                        ", and the capture keeps only 16- or 32-bit integer samples";
            m_A.end = End::kFatal;
            return false;
        }
        m_Provenance = m_C.options.provenance;
        m_Provenance["deck"] = m_C.deck.Name();
        m_Provenance["started"] = UtcNow();
        m_Spec.provenance = hostkit::DumpJson(m_Provenance);
        if (!m_pFiles->Open(m_Spec, &m_A.words)) {
            m_A.end = End::kFatal;
            return false;
        }
        if (m_C.options.quality) {
            m_pQc =
                std::make_unique<QualityCheck>(m_Spec.picture, m_Spec.sound, m_Spec.frameRate,
                                               m_Spec.base, Wanted() / 2, m_C.options.qualityPace);
            if (!m_pQc->Start(&m_QcError)) {
                m_pQc.reset();  // the clip is captured all the same, and its report says why
            }
        }
        m_A.end = End::kCaptured;
        return true;
    }

    // The preroll's start: before the first frame wanted, never before the tape's zero.
    bool Cue() {
        m_nTarget =
            std::max<int64_t>(0, m_nFrom - static_cast<int64_t>(std::llround(m_dPreroll * m_dFps)));
        Tell("cue");
        double cueSeconds = 0;
        m_A.end = m_Roll.Cue(m_nTarget, &m_A.words, &cueSeconds);
        m_Report.cueSeconds += cueSeconds;
        if (m_A.end == End::kCancelled) {
            std::string ignored;
            m_C.deck.Stop(&ignored);  // a cancel stops the deck, in the middle of a wind too
        }
        m_bCued = m_A.end == End::kCaptured;
        return m_bCued;
    }

    bool Preroll() {
        if (m_Spec.sound.channels > 0) {
            m_pSound = std::make_unique<SoundSpan>(m_Spec.sound);
            m_bApart = m_C.input.SoundApart();
            m_Clock = SoundClock(m_bApart);
        }
        const int ltc = m_C.options.ltcChannel;
        if (ltc > 0) {
            if (ltc > m_Spec.sound.channels) {
                m_A.end = End::kFatal;
                m_A.words = "LTC on channel " + std::to_string(ltc) +
                            " asked for, and the input's "
                            "sound has " +
                            std::to_string(m_Spec.sound.channels) + " channel(s)";
                return false;
            }
            m_pLtc = std::make_unique<LtcReader>(ltc - 1, m_Spec.sound.sampleRate, m_dFps,
                                                 m_C.deck.Rate().base);
            m_Ltc.channel = ltc;
            if (!m_pLtc->Ready()) {
                m_A.end = End::kFatal;
                m_A.words = "cannot start the LTC decoder";
                return false;
            }
            if (m_C.options.offsetKnown) {
                m_LtcOffset = m_C.options.offset;
                m_Ltc.offsetFrom = m_C.options.offsetSource;
            }
        }
        m_C.input.Arm(true);
        m_nGaps0 = m_C.input.CardGaps();
        m_nOverflows0 = m_C.input.Overflows();
        Tell("preroll");
        m_A.end = m_Roll.Play(&m_A.words);
        // The out-point's frame is due by this moment, or something went wrong.
        m_dDeadline = m_Roll.PlayAt() + static_cast<double>(m_nTo - m_nTarget) / m_dFps +
                      m_C.options.offset + kLateLimit;
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
            if (m_pLtc != nullptr) {
                LabelFromLtc();
                CrossCheck();
            } else {
                Label();
            }
            if (m_A.end == End::kCaptured && !m_bDone && SecondsOf(Clock::now()) > m_dDeadline) {
                Fault(End::kRetry, "no frame labelled " + m_Roll.Time(m_nTo - 1) +
                                       " came (the last was " + m_Roll.Time(m_Seq.Next() - 1) +
                                       ")");
            }
        }
    }

    bool Healthy() {
        std::string why;
        if (m_Roll.Cancelled()) {
            Fault(End::kCancelled, "cancelled at " + m_Roll.Time(m_Roll.LastFrames()));
        } else if (!m_C.input.Alive(&why) || m_pFiles->Failed(&why)) {
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
                      "the deck stopped answering at about " + m_Roll.Time(m_Roll.LastFrames()));
                return false;
            case Roll::Step::kLeftPlay:
                Fault(End::kRetry, "the deck left play at about " +
                                       m_Roll.Time(m_Roll.LastFrames()) +
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
        const std::string jump = " the deck's time jumps to " + m_Roll.Time(b.firstAfter);
        const std::string what = b.stopped
                                     ? "the tape stopped at " + m_Roll.Time(b.lastOnLine)
                                     : "timecode break: after " + m_Roll.Time(b.lastOnLine) + jump;
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
               m_Pending.front().arrival - m_C.options.offset < b.firstAfterAt) {
            m_Pending.pop_front();
        }
        return true;
    }

    // The frames that came meanwhile; on a fast line, wait for them out the cycle.
    void Gather() {
        for (std::optional<InputFrame> f = m_C.input.Next(m_Roll.Rest()); f;
             f = m_C.input.Next(Millis(0))) {
            m_Pending.push_back(std::move(*f));
        }
        GatherSound(Millis(0));
    }

    // The sound that came meanwhile, and the kept frames' part of it on to the files.
    void GatherSound(Millis wait) {
        if (m_pSound == nullptr) {
            return;
        }
        for (std::optional<SoundChunk> c = m_C.input.NextSound(wait); c;
             c = m_C.input.NextSound(Millis(0))) {
            if (m_pLtc != nullptr) {
                m_pLtc->Add(*c, m_Spec.sound);
            }
            if (!m_Clock.Add(c->card, c->first) && m_pSound->Begun()) {
                Fault(End::kRetry, "the sound input's stamps ran back at about " +
                                       m_Roll.Time(m_Roll.LastFrames()) +
                                       ": its clock was set, or the device started again");
            }
            if (c->samples != nullptr) {
                m_nNewestSound = c->first + c->samples->nb_samples;
            }
            m_pSound->Add(std::move(*c));
        }
        for (FramePtr& samples : m_pSound->Take()) {
            if (m_pQc != nullptr) {
                m_pQc->PushSound(*samples);
            }
            if (!m_pFiles->PushSound(std::move(samples))) {
                std::string why;
                Fault(m_pFiles->Failed(&why) ? End::kFatal : End::kRetry,
                      !why.empty() ? why : "the encoder fell behind: sound was lost");
                return;
            }
        }
        if (m_pSound->Hole()) {
            Fault(End::kRetry, "the sound stopped: " + std::to_string(m_pSound->Missing()) +
                                   " sample(s) missing in " +
                                   m_Roll.Time(LabelOfSample(m_pSound->Kept())));
        }
    }

    // The sound's sample at a moment of the picture's card; nullopt before a device apart
    // gave any.
    std::optional<int64_t> SampleOf(double card) const {
        return m_Clock.SampleAt(card, m_Spec.sound.sampleRate);
    }

    // The kept frame whose time holds the clip's sample `into`.
    int64_t LabelOfSample(int64_t into) const {
        return m_Report.achievedIn.value_or(m_nFrom) +
               static_cast<int64_t>(
                   std::floor(static_cast<double>(into) * m_dFps / m_Spec.sound.sampleRate));
    }

    // Once the last frame is kept, the rest of its sound.
    void KeepSound() {
        if (m_pSound == nullptr || m_A.end != End::kCaptured) {
            return;
        }
        const double until = SecondsOf(Clock::now()) + kSoundLate;
        while (m_A.end == End::kCaptured && !m_pSound->Complete() &&
               SecondsOf(Clock::now()) < until) {
            GatherSound(Millis(20));
        }
        if (m_A.end == End::kCaptured && !m_pSound->Complete()) {
            Fault(End::kRetry,
                  "the sound stopped before the out-point: " + std::to_string(m_pSound->Kept()) +
                      " of " + std::to_string(m_pSound->Wanted()) + " samples came");
        }
    }

    // Each frame labelled from the LTC that starts with it, once the sound past it is decoded.
    void LabelFromLtc() {
        while (!m_Pending.empty() && m_A.end == End::kCaptured && !m_bDone) {
            const InputFrame& front = m_Pending.front();
            if (std::isnan(front.card)) {
                Fault(End::kFatal, "the input's frames carry no clock to place their LTC by");
                return;
            }
            const std::optional<int64_t> start = SampleOf(front.card);
            const std::optional<int64_t> end = SampleOf(front.card + 1.0 / m_dFps);
            if (!start || !end || !m_pLtc->Decoded(*end)) {
                // A picture whose sound never comes would wait, and the frames behind it.
                if (SecondsOf(Clock::now()) - front.arrival > kSoundLate + 2.0 / m_dFps) {
                    Fault(End::kRetry, "the sound stopped: no LTC to read on channel " +
                                           std::to_string(m_Ltc.channel) + " at about " +
                                           m_Roll.Time(m_Roll.Line().Label(
                                               front.arrival - m_LtcOffset.value_or(0.0))));
                }
                break;
            }
            InputFrame f = std::move(m_Pending.front());
            m_Pending.pop_front();
            if (f.arrival - m_C.options.offset < m_Roll.LockAt()) {
                continue;
            }
            const std::optional<LtcFrame> ltc = m_pLtc->At(*start, *end);
            // Where the serial time puts the frame, to say where in words.
            const int64_t about = m_Roll.Line().Label(f.arrival - m_LtcOffset.value_or(0.0));
            const bool inClip = m_Seq.Kept() > 0 || about >= m_nFrom - 2;
            if (!ltc) {
                if (inClip) {
                    Fault(End::kRetry,
                          "no LTC on channel " + std::to_string(m_Ltc.channel) + " at about " +
                              m_Roll.Time(about) +
                              (m_nLastLtc ? " (the last read " + m_Roll.Time(*m_nLastLtc) + ")"
                                          : ""));
                }
                continue;
            }
            if (m_nLastLtc && (inClip || ltc->label >= m_nFrom)) {
                if (ltc->reverse || ltc->label < *m_nLastLtc) {
                    Fault(End::kRetry, "the LTC runs backwards: " + m_Roll.Time(ltc->label) +
                                           " after " + m_Roll.Time(*m_nLastLtc));
                    return;
                }
                if (ltc->label > *m_nLastLtc + 1 && !InputLost()) {
                    Fault(End::kRetry,
                          "the LTC jumps from " + m_Roll.Time(*m_nLastLtc) + " to " +
                              m_Roll.Time(ltc->label) +
                              (m_Seq.Kept() > 0 ? ", inside the clip" : ", at the in-point"));
                    return;
                }
            }
            m_nLastLtc = ltc->label;
            const int64_t kept = m_Seq.Kept();
            const double arrival = f.arrival;
            Judge(ltc->label, std::move(f));
            if (m_Seq.Kept() > kept) {
                m_Checks.push_back(Check{arrival, ltc->label});
            }
        }
    }

    // The LTC's labels against the deck's serial time, each frame once a read after it is in:
    // more than a frame apart fails the attempt. Without a calibrated offset, the serial time's
    // is measured on the clip's first frames.
    void CrossCheck() {
        PlayLine& line = m_Roll.Line();
        if (!m_LtcOffset) {
            if (m_Checks.empty() || (m_Checks.size() < kOffsetFrames && !m_bDone)) {
                return;
            }
            std::vector<double> offsets;
            for (std::size_t i = 0; i < std::min(kOffsetFrames, m_Checks.size()); ++i) {
                offsets.push_back(m_Checks[i].arrival -
                                  line.TimeOf(static_cast<double>(m_Checks[i].label) + 0.5));
            }
            std::sort(offsets.begin(), offsets.end());
            m_LtcOffset = offsets[offsets.size() / 2];
            m_Ltc.offsetFrom = "the LTC";
            if (*m_LtcOffset < 0) {
                // A frame cannot come before the deck played it: the LTC runs ahead.
                Fault(End::kRetry, std::string("the LTC and the deck's serial time disagree: "
                                               "measured against the LTC, the capture path's "
                                               "latency would be ") +
                                       MillisText(*m_LtcOffset) + ", which no path has");
                return;
            }
        }
        while (!m_Checks.empty() && m_A.end == End::kCaptured &&
               m_Checks.front().arrival - *m_LtcOffset <= line.CoveredUntil()) {
            const Check c = m_Checks.front();
            m_Checks.pop_front();
            const int64_t serial = line.Label(c.arrival - *m_LtcOffset);
            const int64_t apart = serial - c.label;
            ++m_Ltc.checked;
            m_Ltc.disagreeing += apart != 0 ? 1 : 0;
            m_Ltc.worst = std::max<int64_t>(m_Ltc.worst, std::llabs(apart));
            if (std::llabs(apart) > 1) {
                Fault(End::kRetry,
                      "the LTC and the deck's serial time part by " +
                          std::to_string(std::llabs(apart)) + " frames: the LTC labels a frame " +
                          m_Roll.Time(c.label) + ", the serial time with the offset " +
                          MillisText(*m_LtcOffset) + " labels it " + m_Roll.Time(serial) +
                          (m_Ltc.offsetFrom == "the LTC"
                               ? ""
                               : " (the capture path's latency changed since its "
                                 "calibration, or the LTC is not the deck's time)"));
            }
        }
    }

    // Once the last frame is kept, the reads that cover the frames still to check.
    void KeepChecks() {
        if (m_pLtc == nullptr) {
            return;
        }
        const double until = SecondsOf(Clock::now()) + kCheckLate;
        CrossCheck();
        while (m_A.end == End::kCaptured && !m_Checks.empty() && SecondsOf(Clock::now()) < until) {
            if (!Healthy()) {
                break;
            }
            const Roll::Step step = m_Roll.Exchange();
            if (step == Roll::Step::kLost) {
                Fault(End::kDeckLost, "the deck stopped answering after the out-point");
                break;
            }
            if (step != Roll::Step::kOk) {
                break;  // past the clip: its last frames are left unchecked, and counted so
            }
            Gather();  // the frames after the clip are no use
            m_Pending.clear();
            CrossCheck();
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
        Fault(End::kRetry, "in-point missed: the servo locked at " + m_Roll.Time(lockLabel) +
                               ", after the in-point " + m_Roll.Time(m_nFrom) + " (" +
                               SecondsText(m_A.lockDelay) + " after play; preroll " +
                               SecondsText(m_dPreroll) + ")");
        return false;
    }

    // Each frame labelled once a time read after it is in, and kept from in to out.
    void Label() {
        PlayLine& line = m_Roll.Line();
        while (!m_Pending.empty() && m_A.end == End::kCaptured && !m_bDone) {
            const double t = m_Pending.front().arrival - m_C.options.offset;
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
            Fault(End::kRetry,
                  "the input's picture changed from " +
                      PictureText(m_Spec.picture.width, m_Spec.picture.height,
                                  m_Spec.picture.pixelFormat) +
                      " to " + PictureText(f.frame->width, f.frame->height, f.frame->format) +
                      " at " + m_Roll.Time(label) + "; a clip's file keeps one picture");
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
                                           m_Roll.Time(m_nFrom - 1) + " was labelled " +
                                           m_Roll.Time(label));
                    break;
                }
                [[fallthrough]];
            case Sequence::Verdict::kGap:
                Fault(End::kRetry, "gap: " + std::to_string(label - (m_Seq.Next())) +
                                       " frame(s) missing before " + m_Roll.Time(label) +
                                       (m_C.input.CardGaps() > m_nGaps0 ? " (the input lost frames)"
                                        : m_C.input.Overflows() > m_nOverflows0
                                            ? " (frames came faster than the capture took them)"
                                            : ""));
                break;
            case Sequence::Verdict::kRepeat:
                Fault(End::kRetry, "frame " + m_Roll.Time(label) + " came twice");
                break;
        }
    }

    bool InputLost() const {
        return m_C.input.CardGaps() != m_nGaps0 || m_C.input.Overflows() != m_nOverflows0;
    }

    bool SamePicture(const AVFrame& frame) const {
        return frame.width == m_Spec.picture.width && frame.height == m_Spec.picture.height &&
               frame.format == m_Spec.picture.pixelFormat;
    }

    void Store(int64_t label, InputFrame f) {
        if (m_pSound != nullptr) {
            // The frame's sound: the card's samples of its time.
            if (std::isnan(f.card)) {
                Fault(End::kFatal, "the input's frames carry no clock to place their sound by");
                return;
            }
            const std::optional<int64_t> from = SampleOf(f.card);
            const std::optional<int64_t> to = SampleOf(f.card + 1.0 / m_dFps);
            if (!from || !to) {
                Fault(End::kRetry,
                      "the sound stopped: none came from the sound input by " + m_Roll.Time(label));
                return;
            }
            if (!m_pSound->Begun()) {
                if (m_bApart && !OneClock(*from)) {
                    return;
                }
                m_pSound->Begin(*from);
                m_nPictureFrom = CardSample(f.card, m_Spec.sound.sampleRate);
            }
            m_pSound->Extend(*to);
            if (m_bApart && !Together(label, f.card + 1.0 / m_dFps)) {
                return;
            }
        }
        if (m_pQc != nullptr) {
            m_pQc->Push(*f.frame, label);
        }
        if (!m_pFiles->Push(std::move(f.frame), label)) {
            std::string why;
            if (m_pFiles->Failed(&why)) {
                Fault(End::kFatal, why);
            } else {
                Fault(End::kRetry,
                      "the encoder fell behind at " + m_Roll.Time(label) + ": a frame was lost");
            }
            return;
        }
        if (!m_Report.achievedIn || m_Seq.Kept() == 1) {
            m_Report.achievedIn = label;
        }
        m_Report.achievedOut = label + 1;
        m_bDone = m_Seq.Complete();
        if (m_Seq.Kept() % kProgressEvery == 1) {
            Tell("capture");
        }
    }

    // A sound device apart places its samples by its stamps, which must be on the picture's
    // clock: the first kept frame's sound then lies about where the newest came.
    bool OneClock(int64_t from) {
        const int rate = m_Spec.sound.sampleRate;
        const int64_t apart = from - m_nNewestSound;
        if (std::llabs(apart) <= kMostStampsApart * rate) {
            return true;
        }
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f s", static_cast<double>(apart) / rate);
        Fault(End::kFatal, std::string("the sound input's stamps lie ") + seconds +
                               " from the picture's: both devices must stamp one clock, as "
                               "V4L2 (asked for its absolute stamps) and ALSA stamp the host's "
                               "wall clock");
        return false;
    }

    // A sound device apart keeps its samples as they came: a clock that runs fast gives more of
    // them than the picture's time holds, and the sound ends after the picture. Past a
    // millisecond, the clip is no use, and a retry would part them alike.
    bool Together(int64_t label, double end) {
        const int rate = m_Spec.sound.sampleRate;
        const int64_t picture = CardSample(end, rate) - m_nPictureFrom;
        if (picture <= 0) {
            return true;
        }
        const auto parting = static_cast<double>(m_pSound->Wanted() - picture) / rate;
        m_dDrift =
            (static_cast<double>(m_pSound->Wanted()) / static_cast<double>(picture) - 1.0) * 1e6;
        m_dParting = parting;
        if (std::fabs(parting) <= kMostParting) {
            return true;
        }
        const std::string words = "picture and sound part by " + MillisText(std::fabs(parting)) +
                                  " by " + m_Roll.Time(label) + ": the sound input's clock runs " +
                                  std::to_string(std::llround(std::fabs(m_dDrift))) + " ppm " +
                                  (m_dDrift > 0 ? "fast" : "slow") +
                                  " of the picture's, and its samples are kept as they came, "
                                  "never resampled";
        Fault(End::kFail, words);
        return false;
    }

    // The deck stopped, the counts told; the files kept when the clip is whole, else removed.
    Attempt Finish() {
        if (m_bCued) {
            m_C.input.Arm(false);
            m_Report.cardGaps += m_C.input.CardGaps() - m_nGaps0;
            m_Report.overflows += m_C.input.Overflows() - m_nOverflows0;
            m_Report.missing = m_Seq.Missing();
            m_Report.repeated = m_Seq.Repeated();
            m_Report.frames = m_Seq.Kept();
            if (m_A.end != End::kDeckLost) {
                std::string error;
                if (!m_C.deck.Stop(&error) && m_A.end == End::kCaptured) {
                    m_Report.attempts.push_back("the deck did not stop after the clip: " + error);
                }
            }
        }
        if (m_A.end != End::kCaptured) {
            m_pFiles->Abort();
            return m_A;
        }
        Tell("finish");
        if (!m_pFiles->Finish(&m_A.words)) {
            m_A.end = End::kFatal;
            return m_A;
        }
        m_Report.file = m_pFiles->FilePath();
        m_Report.framemd5 = m_pFiles->SidecarPath();
        m_Report.timecodes = m_pFiles->TimecodePath();
        if (m_pQc != nullptr) {
            m_Report.quality = m_pQc->Finish(m_Spec.folder, m_Spec.stem, m_Report.frames);
        } else if (!m_QcError.empty()) {
            QualitySummary q;
            q.frames = m_Report.frames;
            q.error = "not checked: " + m_QcError;
            m_Report.quality = q;
        }
        m_Provenance["ended"] = UtcNow();
        m_Report.provenance = m_Provenance;
        if (m_pLtc != nullptr) {
            m_Ltc.offsetMs = m_LtcOffset.value_or(0.0) * 1000.0;
            m_Report.ltc = m_Ltc;
        }
        if (m_pSound != nullptr) {
            m_Report.sampleRate = m_Spec.sound.sampleRate;
            m_Report.samples = m_pSound->Kept();
            if (m_bApart) {
                m_Report.driftPpm = m_dDrift;
                m_Report.partingMs = m_dParting * 1000.0;
            }
            m_Report.channels.clear();
            for (const ChannelLevel& level : m_pSound->Levels()) {
                ChannelReport c;
                c.peakDbfs = 20.0 * std::log10(static_cast<double>(level.peak) / 2147483648.0);
                c.silent = !(c.peakDbfs >= kSilentDbfs);
                c.clipped = level.clipped;
                m_Report.channels.push_back(c);
            }
        }
        return m_A;
    }

    const TakeContext& m_C;
    const ClipRequest& m_Clip;
    double m_dPreroll;
    ClipReport& m_Report;
    const double m_dFps;
    const int64_t m_nFrom;
    const int64_t m_nTo;
    Roll m_Roll;
    Sequence m_Seq;
    Attempt m_A;
    std::unique_ptr<ClipFiles> m_pFiles;
    WriterSpec m_Spec;
    int64_t m_nTarget = 0;
    bool m_bCued = false;
    uint64_t m_nGaps0 = 0;
    uint64_t m_nOverflows0 = 0;
    double m_dDeadline = 0;
    std::deque<InputFrame> m_Pending;
    std::unique_ptr<SoundSpan> m_pSound;
    std::unique_ptr<QualityCheck> m_pQc;
    std::string m_QcError;
    bool m_bApart = false;       // the sound comes from a device of its own
    SoundClock m_Clock{false};   // where the sound's samples fall on the picture's clock
    int64_t m_nPictureFrom = 0;  // the first kept frame's sample on the picture's clock
    int64_t m_nNewestSound = 0;  // the sample after the newest chunk that came
    double m_dDrift = 0;         // that device's clock against the picture's, in ppm
    double m_dParting = 0;       // seconds by which its sound ends after the picture
    struct Check {
        double arrival;
        int64_t label;
    };
    std::unique_ptr<LtcReader> m_pLtc;
    std::deque<Check> m_Checks;  // kept frames the serial time has yet to check
    std::optional<double> m_LtcOffset;
    std::optional<int64_t> m_nLastLtc;
    LtcCheck m_Ltc;
    hostkit::Json m_Provenance;
    bool m_bDone = false;
    bool m_bLockChecked = false;
};

}  // namespace

std::string SecondsText(double s) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.2f s", s);
    return buf;
}

Attempt TakeClip(const TakeContext& context, const ClipRequest& clip, double preroll,
                 ClipReport& report) {
    return Take(context, clip, preroll, report).Run();
}

}  // namespace capture
