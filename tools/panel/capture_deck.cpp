#include "tools/panel/capture_deck.h"

#include <algorithm>
#include <thread>

#include "tools/decks/deck_action.h"

namespace panel {

using decks::DeckAction;
using decks::DeckReply;
using decks::DeckWorker;
using decks::kCommandWait;
using decks::TimeSample;

namespace {

using capture::Clock;
using Millis = std::chrono::milliseconds;

// The thread reads the time every cycle (about 27 ms at 9600 baud); past this without one,
// the read counts as unanswered, as a silent deck's would.
constexpr Millis kReadWait{200};
// A read that took longer than the quickest by more than this may have gone out later than it
// was stamped: it is answered, but not trusted to place the tape (as ModuleDeck does).
constexpr Millis kSureWithin{10};
constexpr Millis kStopLimit{5500};  // the thread's own limit for a stop is 5 s
constexpr Millis kStopPoll{20};

}  // namespace

WorkerDeck::WorkerDeck(DeckWorker& worker, const hostkit::RateInfo& rate)
    : m_Worker(worker), m_Rate(rate), m_Since(Clock::now()) {}

std::string WorkerDeck::Name() const {
    return "port " + std::to_string(m_Worker.Port()) + " (" + m_Worker.Snapshot().device + ")";
}

bool WorkerDeck::Send(DeckAction action, int64_t value, DeckReply* reply) {
    *reply = DeckReply{};
    const std::optional<DeckReply> r = m_Worker.Command(action, value, kCommandWait);
    if (!r) {
        reply->error = "the deck's thread did not take the command";
        return false;
    }
    *reply = *r;
    return r->ok;
}

void WorkerDeck::Moved() {
    m_Since = Clock::now();
}

bool WorkerDeck::Cue(int64_t frames, std::string* error) {
    Moved();
    DeckReply r;
    if (!Send(DeckAction::kCue, frames, &r)) {
        *error = r.error;
        return false;
    }
    return true;
}

std::optional<bool> WorkerDeck::CueDone() {
    Moved();
    DeckReply r;
    return Send(DeckAction::kAskCueDone, 0, &r) ? r.answer : std::nullopt;
}

bool WorkerDeck::Play(std::string* error) {
    Moved();
    DeckReply r;
    if (!Send(DeckAction::kPlay, 0, &r)) {
        *error = r.error;
        return false;
    }
    return true;
}

// The thread's stop: the poll's flag, worked off cycle after cycle until the deck is stopped.
bool WorkerDeck::Stop(std::string* error) {
    Moved();
    DeckReply r;
    if (!Send(DeckAction::kStop, 0, &r)) {
        *error = r.error;
        return false;
    }
    // The thread gives a stop up after 5 s; then the question says so.
    const auto end = Clock::now() + kStopLimit;
    while (Clock::now() < end) {
        const bool answered = Send(DeckAction::kAskStopped, 0, &r);
        if (answered && r.answer.value_or(false)) {
            return true;
        }
        if (!answered && !r.busy) {
            *error = r.error;
            return false;
        }
        std::this_thread::sleep_for(kStopPoll);
    }
    *error = "the deck did not report stopped within 5 s";
    return false;
}

std::optional<bool> WorkerDeck::Playing() {
    Moved();
    DeckReply r;
    return Send(DeckAction::kAskPlaying, 0, &r) ? r.answer : std::nullopt;
}

capture::TimeRead WorkerDeck::ReadTime() {
    capture::TimeRead read;
    TimeSample s;
    if (!m_Worker.NextTimeRead(m_nLastRead, m_Since, Clock::now() + kReadWait, &s)) {
        read.taken = read.done = Clock::now();
        return read;
    }
    m_nLastRead = s.seq;
    read.taken = s.taken;
    read.done = s.done;
    read.answered = s.answered;
    if (s.answered) {
        const auto took = s.done - s.taken;
        m_Quickest = std::min(m_Quickest, took);
        read.sure = took <= m_Quickest + kSureWithin;
        read.frames = s.frames;
    }
    return read;
}

// The thread reconnects a lost deck by itself, every second: back once it answers a time read
// asked after this.
bool WorkerDeck::Recover(std::chrono::milliseconds limit, const std::atomic<bool>* cancel) {
    Moved();
    const auto end = Clock::now() + limit;
    while (Clock::now() < end && (cancel == nullptr || !cancel->load())) {
        TimeSample s;
        if (m_Worker.NextTimeRead(m_nLastRead, m_Since, std::min(end, Clock::now() + kReadWait),
                                  &s)) {
            m_nLastRead = s.seq;
            if (s.answered && m_Worker.Snapshot().answering) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace panel
