// One deck as a host drives it: a thread that owns the deck's two host records and is the only
// caller of Main for it. It reads the time every cycle, runs the poll while flags are pending,
// asks one status question per cycle, and takes one queued user command after each of these
// exchanges, so that no number of clients can starve the time read or the status question.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "tools/decks/format_gate.h"
#include "tools/hostkit/json.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/timecode.h"

namespace decks {

// The host kit's names, used throughout the server.
using hostkit::HostRecords;
using hostkit::Json;
using hostkit::Module;

struct DeckState {
    int port = 0;
    std::string device;
    bool connected = false;  // command 5 succeeded and no disconnect since
    bool answering = false;  // the deck answered its last status question
    std::string state = "disconnected";
    int64_t frames = 0;  // real frames at the deck's rate; above 30 fps a pair's first
    const hostkit::RateInfo* rate = hostkit::FindRate("25");
    int videoSystem = 0;
    std::optional<std::array<uint8_t, 10>> status;
    int speed = 0;
    std::string mode;
    std::optional<int64_t> markIn;
    std::optional<int64_t> markOut;
    std::string error;
    uint64_t errorSeq = 0;
    uint64_t seq = 0;
    bool capturing = false;  // a capture holds the transport (DeckWorker::Hold)
};

enum class DeckAction {
    kConnect,
    kDisconnect,
    kPlay,
    kStop,
    kPause,
    kFfwd,
    kRew,
    kShuttle,
    kCue,
    kRate,
    kMark,  // In (value 1) or Out (value 0) at a time read fresh from the deck
    // A capture's questions, through the queue like any command; no client names them.
    kAskPlaying,  // command 18: playing with the servo locked
    kAskCueDone,  // command 29: the cue has ended
    kAskStopped,  // whether the poll has worked off a stop (no call of Main)
};

struct DeckReply {
    bool ok = false;
    std::optional<int> command;
    std::optional<int> result;
    std::string error;
    bool busy = false;  // refused before it ran: the deck's queue was full, or the server stops
    std::optional<bool> answer;  // a question's answer (kAsk...)
};

// One of the deck thread's own time reads, as a capture labels frames by them: what the deck
// said, when the question went out and when the answer was in.
struct TimeSample {
    uint64_t seq = 0;       // counts the thread's time reads, from 1
    bool answered = false;  // whole, and not after a line time-out
    int64_t frames = 0;     // real frames at the deck's rate
    std::chrono::steady_clock::time_point taken;
    std::chrono::steady_clock::time_point done;
};

class DeckWorker {
  public:
    using StatusSource = std::function<std::optional<std::array<uint8_t, 10>>()>;

    // `changed` is called from the deck's thread after every change of its state; it must
    // return at once. `status` gives the deck's ten status bytes where they can be seen.
    // Every call of Main goes through `gate` when there is one (decks at other rates share
    // the process's video format).
    DeckWorker(const Module& module, int port, std::string device, StatusSource status,
               std::function<void()> changed, const hostkit::RateInfo* rate = nullptr,
               decks::FormatGate* gate = nullptr);
    // One call of the module's Main on the deck's records.
    using MainCall = std::function<int(int command, HostRecords& records)>;
    // The same over any Main, such as a stand-in for the module in tests.
    DeckWorker(MainCall main, int port, std::string device, StatusSource status,
               std::function<void()> changed, const hostkit::RateInfo* rate = nullptr,
               decks::FormatGate* gate = nullptr);
    ~DeckWorker();
    DeckWorker(const DeckWorker&) = delete;
    DeckWorker& operator=(const DeckWorker&) = delete;

    // Commands that may wait for one deck; each holds an HTTP worker while it waits.
    static constexpr std::size_t kMaxQueued = 8;

    // Called on the deck's thread after every time the deck answered a time read, with the
    // real frames read; it must return at once. Set before Start.
    void OnTimeRead(std::function<void(int64_t frames)> read) { m_TimeRead = std::move(read); }

    void Start();
    void Stop();

    // Queues a command for the deck's thread; `value` is the shuttle speed, the cue's real
    // frames or the index of a rate in hostkit::Rates(), checked by the caller. The future is
    // ready once Main has answered.
    std::future<DeckReply> Submit(DeckAction action, int64_t value = 0);
    // Submits and waits up to `wait` for the reply. A command the deck's thread has not taken
    // by then is withdrawn and never reaches the deck: nullopt. One already taken is waited
    // for, since Main ends within its own time-outs.
    std::optional<DeckReply> Command(DeckAction action, int64_t value,
                                     std::chrono::milliseconds wait);

    DeckState Snapshot() const;
    // Marks `frames` as In or Out. To mark the deck's current time, submit kMark.
    void Mark(bool in, int64_t frames);
    void ClearMarks();

    // The newest time reads the thread made, for a capture that labels frames by them.
    static constexpr std::size_t kTimeSamples = 64;
    // The first read after the one numbered `after` that was taken at `since` or later,
    // waiting for it until `until`; false when none came by then.
    bool NextTimeRead(uint64_t after, std::chrono::steady_clock::time_point since,
                      std::chrono::steady_clock::time_point until, TimeSample* out) const;

    // A capture holds the transport while it runs: clients' transport commands are then
    // refused, and their stop calls `cancel` (deck_action.cpp). False when one holds it.
    bool Hold(std::string holder, std::function<void()> cancel);
    void Release();
    // Who holds it, in words; "" when nobody.
    std::string Holder() const;
    // Asks the holder to let go; false when nobody held it.
    bool CancelHold();

    int Port() const { return m_nPort; }
    // The deck's rate as last published.
    const hostkit::RateInfo* Rate() const;
    // Cycles of the deck's loop so far (each reads the time once).
    uint64_t Cycles() const { return m_nCycles.load(); }

  private:
    struct Request {
        DeckAction action;
        int64_t value;
        std::promise<DeckReply> reply;
        uint64_t id = 0;
    };
    // What a status question said, until a transport command makes it stale.
    struct Sense {
        bool known = false;
        bool value = false;
    };

    // The steps of one cycle, with queued commands taken between any two of them.
    enum class CycleStep { kTime, kPoll, kStatus, kRest };
    using TimePoint = std::chrono::steady_clock::time_point;

    void Run();
    bool Stopping() const;
    void Serve(Request& request);
    // Connects when the retry is due (nothing to wait for then); else when it will be.
    std::optional<TimePoint> ConnectWhenDue();
    std::optional<TimePoint> NextStep();
    int Call(int command);
    void AwaitLateReply();
    bool TakeRequest(Request* out);
    std::future<DeckReply> Enqueue(DeckAction action, int64_t value, uint64_t* id);
    bool Withdraw(uint64_t id);
    DeckReply TakeMark(bool in);
    DeckReply Ask(DeckAction action);
    void CueAnswered();
    void Sample(bool answered);
    DeckReply Execute(DeckAction action, int64_t value);
    DeckReply Transport(DeckAction action, int64_t value);
    DeckReply ConnectDeck();
    DeckReply DisconnectDeck();
    DeckReply StopOrPause(bool stop, uint32_t pending);
    DeckReply Wind(bool forward);
    DeckReply CueTo(int64_t frames);
    // The reply for `command`'s `result`; a failure also becomes the deck's error in words.
    DeckReply Finish(int command, int result, const std::string& failure);
    bool TryConnect();
    void Drop(const std::string& why);
    bool ReadTime();
    void Poll();
    void AskStatus();
    void Forget();
    void Publish();
    void SetRate(const hostkit::RateInfo* rate);
    void SetError(const std::string& text);
    void ClearError();
    std::string Words() const;

    const MainCall m_Main;
    const int m_nPort;
    const std::string m_Device;
    StatusSource m_StatusSource;
    std::function<void()> m_Changed;
    std::function<void(int64_t)> m_TimeRead;
    decks::FormatGate* m_pGate;

    // The deck thread's own: the records and what it learnt from the deck.
    HostRecords m_Records;
    const hostkit::RateInfo* m_pRate;
    bool m_bWanted = true;  // connect at start; a disconnect command clears it
    bool m_bLinked = false;
    bool m_bAnswering = false;
    int m_nFailures = 0;
    int m_nRotation = 0;
    bool m_bCueing = false;
    bool m_bCueAsked = false;
    Sense m_Standby, m_Playing, m_CueBusy, m_ServoBusy;
    int64_t m_nFrames = 0;
    std::chrono::steady_clock::time_point m_RateAt;
    int64_t m_nRateFrames = 0;
    double m_dRate = 0.0;  // frames a second, from the motion of the time
    std::chrono::steady_clock::time_point m_PendingSince;
    bool m_bPendingGivenUp = false;  // the last stop or pause was given up after 5 s
    std::chrono::steady_clock::time_point m_CueSince;
    std::string m_Mode;
    int m_nSpeed = 0;
    int m_nVideoSystem = 0;
    std::optional<std::array<uint8_t, 10>> m_Status;
    CycleStep m_Step = CycleStep::kTime;
    TimePoint m_CycleStart;
    TimePoint m_NextConnect;
    bool m_bCommandTaken = false;  // since the deck's own last exchange
    bool m_bLastUnanswered = false;
    TimePoint m_LastCallStart;
    TimePoint m_LastCallEnd;

    mutable std::mutex m_Mutex;  // guards the queue and the published state
    std::condition_variable m_Wake;
    std::deque<Request> m_Queue;
    uint64_t m_nLastId = 0;
    DeckState m_State;
    uint64_t m_nPublishedSeq = 0;  // m_State.seq when the stream was last told
    bool m_bStop = false;
    std::atomic<uint64_t> m_nCycles{0};
    std::string m_Holder;  // guarded by m_Mutex, with the hold's cancel
    std::function<void()> m_HoldCancel;

    // The time reads, a ring of their own so that a capture's waiting never holds the state.
    mutable std::mutex m_SampleMutex;
    mutable std::condition_variable m_SampleWake;
    std::array<TimeSample, kTimeSamples> m_Samples{};
    uint64_t m_nSamples = 0;
    std::thread m_Thread;
};

}  // namespace decks
