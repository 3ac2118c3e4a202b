// The deck's thread against a stand-in module: what it asks and in what order, what it makes of
// the answers, and what it does when the deck is silent, late or flooded with commands.
#include "tools/decks/deck_worker.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

namespace decks {
namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kStatusQuestions[] = {33, 18, 29, 17};

// Main as a deck answers it. A silent command takes a whole time-out and gets nothing.
struct FakeDeck {
    struct Call {
        int command;
        Clock::time_point start, end;
        int64_t frames;  // what a time read gave
    };

    int Main(int command, HostRecords& r) {
        std::unique_lock<std::mutex> lock(m);
        ++waiting;
        opened.wait(lock, [this] { return !gated; });
        --waiting;
        const auto start = Clock::now();
        const auto once = silentOnce.find(command);
        const bool quiet = silent || mute.count(command) != 0 || once != silentOnce.end();
        if (once != silentOnce.end()) {
            silentOnce.erase(once);
        }
        if (quiet) {
            lock.unlock();
            std::this_thread::sleep_for(Millis(55));
            lock.lock();
        }
        int result = quiet ? 0 : 1;
        r.Set("nFrames", 0);
        if (command == 25) {
            r.Set("nFrames", quiet ? 0 : frames);
            frames += step;
        } else if (command == 18 || command == 29) {
            r.Set(command == 18 ? "bAnswer18" : "bAnswer29", command == 18 ? playing : cueDone);
        } else if (command == 33 || command == 17) {
            result = command == 33 ? !standby : 1;  // 0 is yes, even unanswered
        } else if (command == 44) {
            r.Set("nVideoFormat", quiet ? 0 : system1);
            result = 1;
        } else if (command == 10 && !holdPending) {
            r.Set("dwPending", 0);
        }
        calls.push_back({command, start, Clock::now(), r.Get("nFrames")});
        return result;
    }
    template <class F>
    void With(F f) {
        std::lock_guard<std::mutex> lock(m);
        f();
    }
    std::vector<int> Commands() {
        std::lock_guard<std::mutex> lock(m);
        std::vector<int> out;
        for (const Call& c : calls) {
            out.push_back(c.command);
        }
        return out;
    }
    void Gate(bool shut) {
        {
            std::lock_guard<std::mutex> lock(m);
            gated = shut;
        }
        opened.notify_all();
    }

    std::mutex m;
    std::condition_variable opened;
    bool gated = false;
    int waiting = 0;  // calls held at the gate
    std::vector<Call> calls;
    bool silent = false;
    std::set<int> mute;
    std::multiset<int> silentOnce;
    int64_t frames = 20, step = 0;  // below a second: the module's count is the frames
    int playing = 0, cueDone = 1, system1 = 1;
    bool standby = false, holdPending = false;
};

template <class F>
bool Eventually(F f, Millis limit = Millis(3000)) {
    for (const auto end = Clock::now() + limit; Clock::now() < end;) {
        if (f()) {
            return true;
        }
        std::this_thread::sleep_for(Millis(5));
    }
    return f();
}

class DeckWorkerTest : public testing::Test {
  protected:
    void Start() {
        worker = std::make_unique<DeckWorker>(
            [this](int c, HostRecords& r) { return deck.Main(c, r); }, 1, "fake", nullptr, [] {});
        worker->Start();
        ASSERT_TRUE(Eventually([this] { return worker->Snapshot().answering; }));
    }
    void TearDown() override {
        deck.Gate(false);
        worker.reset();
    }
    std::string Words() { return worker->Snapshot().state; }
    // Holds the deck's thread in its next call to Main.
    void Hold() {
        deck.Gate(true);
        ASSERT_TRUE(Eventually([this] {
            std::lock_guard<std::mutex> lock(deck.m);
            return deck.waiting == 1;
        }));
    }

    FakeDeck deck;
    std::unique_ptr<DeckWorker> worker;
};

TEST_F(DeckWorkerTest, AsksTheStatusQuestionsInTurnAndOnly29WhileCueing) {
    Start();
    ASSERT_TRUE(Eventually([this] { return worker->Cycles() >= 9; }));
    std::vector<int> asked;
    for (const int c : deck.Commands()) {
        if (std::count(std::begin(kStatusQuestions), std::end(kStatusQuestions), c) != 0) {
            asked.push_back(c);
        }
    }
    ASSERT_GE(asked.size(), 8u);
    for (std::size_t i = 0; i < asked.size(); ++i) {
        EXPECT_EQ(asked[i], kStatusQuestions[i % 4]) << "question " << i;
    }
    deck.With([this] { deck.cueDone = 0; });
    ASSERT_TRUE(worker->Submit(DeckAction::kCue, 500).get().ok);
    const std::size_t from = deck.Commands().size();
    const uint64_t cycles = worker->Cycles();
    ASSERT_TRUE(Eventually([&] { return worker->Cycles() >= cycles + 6; }));
    EXPECT_EQ(Words(), "cueing");
    const std::vector<int> during = deck.Commands();
    for (std::size_t i = from; i < during.size(); ++i) {
        EXPECT_TRUE(during[i] == 25 || during[i] == 29) << "asked " << during[i];
    }
    deck.With([this] { deck.cueDone = 1; });
    EXPECT_TRUE(Eventually([this] { return Words() == "still"; }));
}

TEST_F(DeckWorkerTest, StateWordsFollowTheAnswers) {
    Start();
    const struct {
        std::function<void(FakeDeck&)> set;
        std::optional<DeckAction> action;
        const char* words;
    } cases[] = {
        {[](FakeDeck& d) { d.standby = true; }, std::nullopt, "standby"},
        {[](FakeDeck& d) { d.standby = false; }, std::nullopt, "stopped"},
        {[](FakeDeck& d) { d.playing = 1; }, DeckAction::kPlay, "playing"},
        {[](FakeDeck& d) { d.playing = 0; }, DeckAction::kFfwd, "winding"},
        {[](FakeDeck&) {}, DeckAction::kPause, "still"},
        {[](FakeDeck& d) { d.silent = true; }, std::nullopt, "not answering"},
        {[](FakeDeck& d) { d.silent = false; }, DeckAction::kDisconnect, "disconnected"},
    };
    for (const auto& c : cases) {
        deck.With([&] { c.set(deck); });
        if (c.action) {
            worker->Submit(*c.action).get();
        }
        EXPECT_TRUE(Eventually([&] { return Words() == c.words; })) << c.words << ": " << Words();
    }
}

TEST_F(DeckWorkerTest, AnUnansweredTimeReadKeepsTheLastTime) {
    Start();
    ASSERT_TRUE(Eventually([this] { return worker->Snapshot().frames == 20; }));
    deck.With([this] { deck.silentOnce = {25, 25, 25}; });
    const uint64_t cycles = worker->Cycles();
    ASSERT_TRUE(Eventually([&] { return worker->Cycles() >= cycles + 4; }));
    EXPECT_EQ(worker->Snapshot().frames, 20);
    deck.With([this] { deck.frames = 0; });  // a deck truly at zero is believed
    EXPECT_TRUE(Eventually([this] { return worker->Snapshot().frames == 0; }));
}

TEST_F(DeckWorkerTest, AStopThatNeverSettlesIsGivenUpAfterFiveSeconds) {
    Start();
    deck.With([this] { deck.holdPending = true; });
    const auto start = Clock::now();
    ASSERT_TRUE(worker->Submit(DeckAction::kStop).get().ok);
    ASSERT_TRUE(Eventually([this] { return !worker->Snapshot().error.empty(); }, Millis(8000)));
    EXPECT_GE(Clock::now() - start, Millis(5000));
    EXPECT_NE(worker->Snapshot().error.find("within 5 seconds"), std::string::npos);
}

// Also: the queued commands, released at once, each wait for one of the deck's own exchanges.
TEST_F(DeckWorkerTest, AFullQueueRefusesAndAWithdrawnCommandNeverRuns) {
    Start();
    Hold();
    // Given up on while still queued: withdrawn, so play never reaches the deck.
    EXPECT_FALSE(worker->Command(DeckAction::kPlay, 0, Millis(50)));
    std::vector<std::future<DeckReply>> queued;
    std::future<DeckReply> refused;
    for (std::size_t i = 0; i < DeckWorker::kMaxQueued + 6 && !refused.valid(); ++i) {
        std::future<DeckReply> f = worker->Submit(DeckAction::kShuttle, 1);
        (f.wait_for(Millis(0)) == std::future_status::ready ? refused : queued.emplace_back()) =
            std::move(f);
    }
    ASSERT_TRUE(refused.valid());
    EXPECT_EQ(queued.size(), DeckWorker::kMaxQueued);
    const DeckReply refusal = refused.get();
    EXPECT_TRUE(refusal.busy);
    EXPECT_NE(refusal.error.find("too many commands"), std::string::npos);
    deck.Gate(false);
    for (auto& f : queued) {
        EXPECT_TRUE(f.get().ok);
    }
    const std::vector<int> all = deck.Commands();
    EXPECT_EQ(std::count(all.begin(), all.end(), 9), 0);
    for (std::size_t i = 1; i < all.size(); ++i) {
        EXPECT_FALSE(all[i] == 53 && all[i - 1] == 53) << "two commands back to back at " << i;
    }
    EXPECT_TRUE(worker->Command(DeckAction::kPlay, 0, Millis(3000)).value().ok);
}

TEST_F(DeckWorkerTest, VideoSystemUnknownWhenCommand44GoesUnanswered) {
    for (const auto& [system1, silent, want] :
         {std::tuple{1, false, 1}, std::tuple{0, false, 4}, std::tuple{0, true, 0}}) {
        deck.With([&, s = silent, v = system1] {
            deck.system1 = v;
            deck.silentOnce = s ? std::multiset<int>{44} : std::multiset<int>{};
        });
        Start();
        EXPECT_EQ(worker->Snapshot().videoSystem, want) << system1 << silent;
        worker.reset();
    }
}

TEST_F(DeckWorkerTest, ACallThatTimedOutIsFollowedByAnotherTimeOutBeforeTheNext) {
    Start();
    deck.With([this] { deck.silentOnce = {25}; });
    std::size_t after = 0;
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(deck.m);
        after = after != 0 ? after : deck.silentOnce.empty() ? deck.calls.size() : 0;
        return after != 0 && deck.calls.size() > after + 1;
    }));
    std::lock_guard<std::mutex> lock(deck.m);
    for (std::size_t i = 0; i + 1 < deck.calls.size(); ++i) {
        if (deck.calls[i].end - deck.calls[i].start >= Millis(50)) {
            EXPECT_GE(deck.calls[i + 1].start - deck.calls[i].end, Millis(50)) << "call " << i;
        }
    }
}

TEST_F(DeckWorkerTest, AMarkIsATimeReadForItNotTheLastOneShown) {
    Start();
    ASSERT_TRUE(Eventually([this] { return worker->Snapshot().frames == 20; }));
    Hold();  // 20 stays the time shown while the deck moves on
    deck.With([this] { deck.frames = 23; });
    std::future<DeckReply> in = worker->Submit(DeckAction::kMark, 1);
    deck.Gate(false);
    ASSERT_TRUE(in.get().ok);
    EXPECT_EQ(worker->Snapshot().markIn, 23);
    deck.With([this] { deck.mute = {25}; });
    const DeckReply out = worker->Submit(DeckAction::kMark, 0).get();
    EXPECT_FALSE(out.ok);
    EXPECT_FALSE(worker->Snapshot().markOut);
}

TEST_F(DeckWorkerTest, CommandsToALostDeckDoNotPutOffItsReconnect) {
    Start();
    deck.With([this] { deck.silent = true; });
    ASSERT_TRUE(Eventually([this] { return !worker->Snapshot().connected; }));
    deck.With([this] { deck.silent = false; });
    const auto back = Clock::now();
    while (!worker->Snapshot().connected && Clock::now() - back < Millis(4000)) {
        worker->Submit(DeckAction::kPlay).get();
        std::this_thread::sleep_for(Millis(200));
    }
    EXPECT_TRUE(worker->Snapshot().connected);
}

// A capture's view of the thread: every time read in order with the moments of its question
// and answer (unanswered ones too), none taken before the moment asked for, the newest 64
// kept, a wait that ends with the next read; its questions answered without moving the tape.
TEST_F(DeckWorkerTest, TimeReadsForACaptureComeInOrderStampedAndFresh) {
    deck.With([this] { deck.step = 1; });
    Start();
    const auto soon = [] { return Clock::now() + Millis(500); };
    TimeSample a, b, c;
    ASSERT_TRUE(worker->NextTimeRead(0, {}, soon(), &a));
    ASSERT_TRUE(worker->NextTimeRead(a.seq, {}, soon(), &b));
    EXPECT_EQ(b.seq, a.seq + 1);
    EXPECT_TRUE(a.answered && b.answered && b.frames == a.frames + 1 && a.taken < a.done &&
                a.done <= b.taken);
    std::vector<FakeDeck::Call> calls;
    deck.With([&] { calls = deck.calls; });
    const auto same = std::find_if(calls.begin(), calls.end(), [&](const FakeDeck::Call& k) {
        return k.command == 25 && k.frames == b.frames;
    });
    ASSERT_NE(same, calls.end());
    EXPECT_TRUE(b.taken <= same->start && same->end <= b.done);
    deck.With([this] { deck.silentOnce = {25}; });
    // Read on from b, one read at a time, until the unanswered one comes by.
    uint64_t seen = b.seq;
    ASSERT_TRUE(Eventually(
        [&] { return worker->NextTimeRead(seen, {}, soon(), &c) && (seen = c.seq, !c.answered); }));
    const auto since = Clock::now();
    ASSERT_TRUE(worker->NextTimeRead(0, since, soon(), &c));
    EXPECT_GE(c.taken, since);
    while (c.seq <= 70) {
        ASSERT_TRUE(worker->NextTimeRead(c.seq, {}, soon(), &c));  // each waits for the next
    }
    ASSERT_TRUE(worker->NextTimeRead(1, {}, soon(), &a));
    EXPECT_GE(a.seq + DeckWorker::kTimeSamples, c.seq + 1);  // the oldest kept, not read 2
    Hold();
    uint64_t latest = c.seq;
    while (worker->NextTimeRead(latest, {}, Clock::now(), &a)) {
        latest = a.seq;
    }
    EXPECT_FALSE(worker->NextTimeRead(latest, {}, Clock::now() + Millis(100), &a));
    deck.Gate(false);
    EXPECT_TRUE(worker->NextTimeRead(latest, {}, soon(), &a));
    deck.With([this] {
        deck.playing = 1;
        deck.cueDone = 0;
    });
    EXPECT_EQ(worker->Submit(DeckAction::kAskPlaying).get().answer, true);
    EXPECT_EQ(worker->Submit(DeckAction::kAskCueDone).get().answer, false);
    EXPECT_EQ(worker->Submit(DeckAction::kAskStopped).get().answer, true);
    EXPECT_EQ(worker->Snapshot().mode, "");  // questions leave the transport alone
}

}  // namespace
}  // namespace decks
