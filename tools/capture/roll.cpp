#include "tools/capture/roll.h"

#include <algorithm>
#include <thread>

#include "tools/capture/input.h"

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
constexpr Millis kRestPause{300};
constexpr Millis kRestPatience{3000};

}  // namespace

Roll::Roll(DeckControl& deck, const EngineOptions& options)
    : m_Deck(deck), m_Options(options), m_Line(deck.Rate().fps) {}

bool Roll::Cancelled() const {
    return m_Options.cancel != nullptr && m_Options.cancel->load();
}

std::string Roll::Time(int64_t frames) const {
    return hostkit::FormatTimecode(frames, m_Deck.Rate().base);
}

// A transport command, tried again when the deck did not take it: one sense lost on a
// busy line must not end a clip.
template <typename Send>
bool Roll::Command(Send send, std::string* words) {
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

// Waits for a cue to end (command 29).
End Roll::WaitCue(int64_t target, std::string* words) {
    const auto start = Clock::now();
    int unanswered = 0;
    auto answeredAt = Clock::now();
    for (;;) {
        if (Cancelled()) {
            *words = "cancelled while the deck cued to " + Time(target);
            return End::kCancelled;
        }
        const std::optional<bool> done = m_Deck.CueDone();
        unanswered = done ? 0 : unanswered + 1;
        answeredAt = done ? Clock::now() : answeredAt;
        if (unanswered >= kLostAfter && Clock::now() - answeredAt >= kLostSilence) {
            *words = "the deck stopped answering while it cued to " + Time(target);
            return End::kDeckLost;
        }
        if (done.value_or(false)) {
            return End::kCaptured;
        }
        if (Clock::now() - start > m_Options.cueLimit) {
            *words = "the cue to " + Time(target) + " did not end within " +
                     std::to_string(m_Options.cueLimit.count() / 1000) + " s";
            return End::kRetry;
        }
        std::this_thread::sleep_for(kCuePoll);
    }
}

// Cues to `target` and waits until the deck is there.
End Roll::Cue(int64_t target, std::string* words, double* seconds) {
    const auto start = Clock::now();
    // A cue an attempt that lost the deck left running is waited out: the deck takes no
    // other until it ends.
    if (m_Deck.CueDone() == std::optional<bool>(false)) {
        if (const End e = WaitCue(target, words); e != End::kCaptured) {
            return e;
        }
    }
    if (!Command([&](std::string* e) { return m_Deck.Cue(target, e); }, words)) {
        return Refused();
    }
    if (const End e = WaitCue(target, words); e != End::kCaptured) {
        return e;
    }
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Where the deck came to rest, by two reads that agree: one reply garbled on the line
    // must not fail the clip, nor one taken while the tape still settled pass it. A pair not
    // answered in time (a busy host can hold a reply past the module's time-out) is asked
    // again for a while rather than counted.
    std::optional<int64_t> at;
    bool heard = false;
    const auto restFrom = Clock::now();
    int round = 0;
    while (round < kRestReads && Clock::now() - restFrom < kRestPatience) {
        const TimeRead a = m_Deck.ReadTime();
        const TimeRead b = m_Deck.ReadTime();
        heard = heard || a.answered || b.answered;
        if (!a.answered || !b.answered) {
            std::this_thread::sleep_for(kCuePoll);
            continue;
        }
        ++round;
        if (a.frames == b.frames) {
            at = a.frames;
            if (*at == target) {
                return End::kCaptured;
            }
        }
        std::this_thread::sleep_for(kRestPause);
    }
    if (!heard) {
        *words = "the deck stopped answering after the cue to " + Time(target);
        return End::kDeckLost;
    }
    *words = at ? "the deck stopped at " + Time(*at) + ", short of the cue point " + Time(target) +
                      (*at < target ? ": the tape ends before it" : "")
             : round > 0
                 ? "the deck's time reads after the cue to " + Time(target) + " did not agree"
                 : "the deck answered too few time reads after the cue to " + Time(target);
    return at ? End::kFail : End::kRetry;
}

End Roll::Play(std::string* words) {
    // A cancel that came during the cue: the deck is not started again.
    if (Cancelled()) {
        *words = "cancelled at the cue point";
        return End::kCancelled;
    }
    m_dPlayAt = SecondsOf(Clock::now());
    if (!Command([this](std::string* e) { return m_Deck.Play(e); }, words)) {
        return Refused();
    }
    return End::kCaptured;
}

// A command the deck would not take: tried again later if it answers, else it is gone.
End Roll::Refused() {
    return m_Deck.Playing() ? End::kRetry : End::kDeckLost;
}

// One question to the deck: whether it plays until the servo locks, then time reads with
// now and then the question again.
Roll::Step Roll::Exchange() {
    m_CycleStart = Clock::now();
    const bool ask = !m_bLocked || ++m_nTurn % kStatusEvery == 0;
    bool answered = false;
    Step step = Step::kOk;
    if (ask) {
        const double t = SecondsOf(Clock::now());
        const std::optional<bool> playing = m_Deck.Playing();
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
        const TimeRead r = m_Deck.ReadTime();
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
    return m_nUnanswered >= kLostAfter && Clock::now() - m_AnsweredAt >= kLostSilence ? Step::kLost
                                                                                      : step;
}

// What is left of the exchange's cycle on a fast line. A little dither keeps reads paced
// at a whole fraction of a frame from always meeting the frames at the same phase.
Millis Roll::Rest() {
    const auto left = kMinCycle + Millis(m_Dither() % 4) - (Clock::now() - m_CycleStart);
    return std::max(Millis(0), std::chrono::duration_cast<Millis>(left));
}

}  // namespace capture
