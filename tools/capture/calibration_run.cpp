#include "tools/capture/calibration.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "tools/capture/deck_control.h"
#include "tools/capture/input.h"
#include "tools/capture/ltc.h"
#include "tools/capture/options.h"
#include "tools/capture/roll.h"
#include "tools/capture/sound.h"
#include "tools/stripe/stripe.h"

namespace capture {

namespace {

using Millis = std::chrono::milliseconds;

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
        return stripe::ReadStripe(stripe::LumaView{f->data[plane] + d->comp[0].offset,
                                                   f->linesize[plane], d->comp[0].step, f->width,
                                                   f->height});
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
            v = stripe::ReadStripe(
                stripe::LumaView{grey->data[0], grey->linesize[0], 1, f->width, f->height});
        }
    }
    av_frame_free(&grey);
    sws_freeContext(sws);
    return v;
}

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

// A calibration's runs of the tape, each measured as it plays.
class Measuring {
  public:
    Measuring(DeckControl& deck, FrameSource& input, const EngineOptions& options)
        : m_D(deck), m_In(input), m_O(options) {}

    CalibrationResult Run(int64_t at, double seconds) {
        for (int retries = 0;; ++retries) {
            End end = End::kFail;
            CalibrationResult result = Once(at, seconds, &end);
            result.retries = retries;
            if (end == End::kDeckLost && !m_D.Recover(m_O.recoverLimit, m_O.cancel)) {
                result.error += ", and did not come back within " +
                                std::to_string(m_O.recoverLimit.count() / 1000) + " s";
                return result;
            }
            if ((end != End::kRetry && end != End::kDeckLost) || retries >= m_O.retries) {
                if (!result.ok && retries > 0) {
                    result.error += " (" + std::to_string(retries + 1) + " attempts)";
                }
                return result;
            }
        }
    }

  private:
    // One cycle of a calibration's stretch: what ends it, in words, or kCaptured to go on.
    End Step(Roll& roll, std::string* words) {
        std::string why;
        if (roll.Cancelled()) {
            *words = "cancelled";
            return End::kCancelled;
        }
        if (!m_In.Alive(&why)) {
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
            *words = "the tape stopped at " + roll.Time(roll.Line().LastBreak().lastOnLine);
            return End::kRetry;
        }
        if (step == Roll::Step::kBreak) {
            // A jump in the tape's own time: another run would meet it again.
            *words = "the deck's time broke off during the stretch; calibrate on another (--at)";
            return End::kFail;
        }
        return End::kCaptured;
    }

    // A frame waiting for its LTC: when it arrived, and its time on the card's clock.
    struct Heard {
        double arrival;
        double card;
    };

    // The frames whose LTC is decoded, measured by it; those without any counted unreadable.
    void ByLtc(LtcReader& ltc, SoundClock& clock, std::deque<Heard>& waiting,
               std::vector<Seen>& seen, CalibrationResult& result) {
        const FrameSource::Sound sound = m_In.CurrentSound();
        for (std::optional<SoundChunk> c = m_In.NextSound(Millis(0)); c;
             c = m_In.NextSound(Millis(0))) {
            clock.Add(c->card, c->first);
            ltc.Add(*c, sound);
        }
        while (!waiting.empty()) {
            const Heard h = waiting.front();
            const std::optional<int64_t> start = clock.SampleAt(h.card, sound.sampleRate);
            const std::optional<int64_t> end =
                clock.SampleAt(h.card + 1.0 / m_D.Rate().fps, sound.sampleRate);
            if (!start || !end || !ltc.Decoded(*end)) {
                break;
            }
            waiting.pop_front();
            if (const std::optional<LtcFrame> f = ltc.At(*start, *end)) {
                seen.push_back(Seen{h.arrival, f->label});
            } else {
                ++result.unreadable;
            }
        }
    }

    CalibrationResult Once(int64_t at, double seconds, End* how) {
        CalibrationResult result;
        std::vector<Seen> seen;
        const FrameSource::Sound sound = m_In.CurrentSound();
        std::unique_ptr<LtcReader> ltc;
        std::deque<Heard> waiting;
        SoundClock clock(m_In.SoundApart());
        if (m_O.ltcChannel > 0) {
            result.against = "LTC";
            if (m_O.ltcChannel > sound.channels) {
                *how = End::kFail;
                result.error = "the input's sound has no channel " + std::to_string(m_O.ltcChannel);
                return result;
            }
            ltc = std::make_unique<LtcReader>(m_O.ltcChannel - 1, sound.sampleRate, m_D.Rate().fps,
                                              m_D.Rate().base);
        }
        const int64_t target =
            std::max<int64_t>(0, at - std::llround(m_O.preroll * m_D.Rate().fps));
        Roll roll(m_D, m_O);
        double cueSeconds = 0;
        std::string words;
        End end = roll.Cue(target, &words, &cueSeconds);
        if (end == End::kCaptured) {
            m_In.Arm(true);
            end = roll.Play(&words);
        }
        const auto enough = [&] {
            return roll.Locked() && roll.Line().Ready() && !seen.empty() &&
                   seen.back().arrival - seen.front().arrival >= seconds;
        };
        while (end == End::kCaptured && !enough()) {
            end = Step(roll, &words);
            for (std::optional<InputFrame> f = m_In.Next(roll.Rest()); f && end == End::kCaptured;
                 f = m_In.Next(Millis(0))) {
                if (!roll.Locked() || f->arrival < roll.LockAt() + m_O.preroll / 10.0) {
                    continue;  // the first frames after the lock may still be settling
                }
                if (ltc != nullptr) {
                    if (!std::isnan(f->card)) {
                        waiting.push_back(Heard{f->arrival, f->card});
                    } else {
                        ++result.unreadable;
                    }
                } else if (const std::optional<int64_t> s = FrameStripe(f->frame.get())) {
                    seen.push_back(Seen{f->arrival, *s});
                } else {
                    ++result.unreadable;
                }
            }
            if (ltc != nullptr) {
                ByLtc(*ltc, clock, waiting, seen, result);
            }
            if (end == End::kCaptured && SecondsOf(Clock::now()) > roll.PlayAt() + seconds + 20.0) {
                end = End::kFail;
                if (ltc != nullptr) {
                    words = seen.empty() ? "no frame came with LTC on channel " +
                                               std::to_string(m_O.ltcChannel)
                                         : "too few frames came with LTC";
                } else {
                    words = seen.empty()
                                ? "no frame carried a readable position stripe: calibration "
                                  "needs a tape whose frames show their position"
                                : "too few frames carried a readable position stripe";
                }
            }
        }
        m_In.Arm(false);
        std::string stopError;
        if (end != End::kDeckLost) {
            m_D.Stop(&stopError);
        }
        *how = end;
        if (end != End::kCaptured) {
            result.error = words;
            return result;
        }
        Measure(seen, roll.Line(), &result);
        return result;
    }

    DeckControl& m_D;
    FrameSource& m_In;
    const EngineOptions& m_O;
};

}  // namespace

std::string CalibrationVerdict(const CalibrationResult& r, const hostkit::RateInfo& rate) {
    if (r.agree < r.frames) {
        return "with it, " + std::to_string(r.frames - r.agree) + " of " +
               std::to_string(r.frames) + " frames were labelled other than their " + r.against;
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

CalibrationResult MeasureOffset(DeckControl& deck, FrameSource& input, const EngineOptions& options,
                                int64_t at, double seconds) {
    return Measuring(deck, input, options).Run(at, seconds);
}

}  // namespace capture
