#include "tools/decks/deck_worker.h"

#include <algorithm>
#include <cmath>

#include "tools/hostkit/host_commands.h"
#include "tools/hostkit/host_records.h"
#include "tools/hostkit/port_diagnosis.h"

namespace decks {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// Main has no result that tells a deck that said nothing from one that answered: a call that
// took a whole line time-out waited for an answer that did not come, or came late.
using hostkit::kLineTimeout;
using hostkit::command::kConnect;
using hostkit::command::kCue;
using hostkit::command::kCueDone;
using hostkit::command::kCueOffset;
using hostkit::command::kDisconnect;
using hostkit::command::kPlay;
using hostkit::command::kPlaying;
using hostkit::command::kPoll;
using hostkit::command::kPosition;
using hostkit::command::kServo;
using hostkit::command::kSpeed;
using hostkit::command::kStandby;
using hostkit::command::kVarSpeed;
using hostkit::command::kVideoSystem;
constexpr uint32_t kPendingStop = hostkit::pending::kStop;
constexpr uint32_t kPendingPause = hostkit::pending::kPause;

// Speed bytes from 80 up wind at 20x (79 and below shuttle at 2x).
constexpr int kWindSpeed = 80;
// A fast line could run the loop thousands of times a second; twice a frame is plenty.
constexpr Millis kMinCycle{10};
constexpr Millis kRetryConnect{1000};
// Two status questions in a row without an answer: the deck is gone.
constexpr int kFailuresToDrop = 2;
// A stop or pause the poll cannot finish in this time is given up, with an error.
constexpr Millis kPendingLimit{5000};
constexpr Millis kCueLimit{10000};

// Why a connect failed, as far as the host side can tell.
std::string ConnectFailure(int port, const std::string& device) {
    const std::string why = device.empty() ? "no deck answers on port " + std::to_string(port)
                                           : hostkit::DiagnoseConnect(device);
    return "port " + std::to_string(port) + ": " + why + "; trying again every second";
}

}  // namespace

DeckWorker::DeckWorker(const Module& module, int port, std::string device, StatusSource status,
                       std::function<void()> changed, const hostkit::RateInfo* rate,
                       decks::FormatGate* gate)
    : DeckWorker(
          [&module](int command, HostRecords& records) { return module.Call(command, records); },
          port, std::move(device), std::move(status), std::move(changed), rate, gate) {}

DeckWorker::DeckWorker(MainCall main, int port, std::string device, StatusSource status,
                       std::function<void()> changed, const hostkit::RateInfo* rate,
                       decks::FormatGate* gate)
    : m_Main(std::move(main)),
      m_nPort(port),
      m_Device(std::move(device)),
      m_StatusSource(std::move(status)),
      m_Changed(std::move(changed)),
      m_pGate(gate),
      m_pRate(rate != nullptr ? rate : hostkit::FindRate("25")) {
    m_Records.Set("nPort", port);
    m_Records.Set("nVideoFormat", hostkit::ModuleFormat(m_pRate->base));
    m_State.port = port;
    m_State.device = m_Device;
    m_State.rate = m_pRate;
    m_State.state = "not answering";
}

DeckWorker::~DeckWorker() {
    Stop();
}

void DeckWorker::Start() {
    m_Thread = std::thread([this] { Run(); });
}

void DeckWorker::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_all();
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
    // Whoever still waits hears that the command never ran.
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (Request& r : m_Queue) {
        r.reply.set_value(DeckReply{false, std::nullopt, std::nullopt, "the server is stopping",
                                    true, std::nullopt});
    }
    m_Queue.clear();
}

const hostkit::RateInfo* DeckWorker::Rate() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State.rate;
}

std::future<DeckReply> DeckWorker::Submit(DeckAction action, int64_t value) {
    uint64_t id = 0;
    return Enqueue(action, value, &id);
}

std::optional<DeckReply> DeckWorker::Command(DeckAction action, int64_t value,
                                             std::chrono::milliseconds wait) {
    uint64_t id = 0;
    std::future<DeckReply> reply = Enqueue(action, value, &id);
    if (reply.wait_for(wait) != std::future_status::ready && Withdraw(id)) {
        return std::nullopt;
    }
    return reply.get();
}

bool DeckWorker::Withdraw(uint64_t id) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto it =
        std::find_if(m_Queue.begin(), m_Queue.end(), [id](const Request& r) { return r.id == id; });
    if (it == m_Queue.end()) {
        return false;  // taken by the deck's thread
    }
    m_Queue.erase(it);
    return true;
}

std::future<DeckReply> DeckWorker::Enqueue(DeckAction action, int64_t value, uint64_t* id) {
    std::promise<DeckReply> promise;
    std::future<DeckReply> future = promise.get_future();
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStop || m_Queue.size() >= kMaxQueued) {
            promise.set_value(DeckReply{
                false, std::nullopt, std::nullopt,
                m_bStop ? "the server is stopping" : "too many commands waiting for this deck",
                true, std::nullopt});
            return future;
        }
        *id = ++m_nLastId;
        m_Queue.push_back(Request{action, value, std::move(promise), *id});
    }
    m_Wake.notify_all();
    return future;
}

DeckState DeckWorker::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_State;
}

void DeckWorker::Mark(bool in, int64_t frames) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        (in ? m_State.markIn : m_State.markOut) = frames;
        ++m_State.seq;
    }
    m_Changed();
}

void DeckWorker::ClearMarks() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_State.markIn.reset();
        m_State.markOut.reset();
        ++m_State.seq;
    }
    m_Changed();
}

int DeckWorker::Call(int command) {
    AwaitLateReply();
    m_Records.ClearData();
    std::optional<decks::FormatGate::Pass> pass;
    if (m_pGate != nullptr) {
        pass.emplace(m_pGate->Enter(static_cast<int32_t>(m_Records.Get("nVideoFormat"))));
    }
    m_LastCallStart = Clock::now();
    const int result = m_Main(command, m_Records);
    m_LastCallEnd = Clock::now();
    m_bLastUnanswered = m_LastCallEnd - m_LastCallStart >= kLineTimeout;
    return result;
}

// A reply that comes after the module gave up on it would land in the next call after that
// call's flush, and be read as its answer. One more time-out lets it arrive first.
void DeckWorker::AwaitLateReply() {
    if (!m_bLastUnanswered) {
        return;
    }
    m_bLastUnanswered = false;
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Wake.wait_until(lock, m_LastCallEnd + kLineTimeout, [this] { return m_bStop; });
}

void DeckWorker::SetRate(const hostkit::RateInfo* rate) {
    m_pRate = rate;
    m_Records.Set("nVideoFormat", hostkit::ModuleFormat(rate->base));
    // Marks and the speed estimate were counted at the old rate.
    m_dRate = 0.0;
    m_RateAt = Clock::now();
    m_nRateFrames = m_nFrames;
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.markIn.reset();
    m_State.markOut.reset();
    ++m_State.seq;
}

DeckReply DeckWorker::CueTo(int64_t value) {
    DeckReply r;
    m_Mode = "cue";
    m_nSpeed = 0;
    const hostkit::TimeBase& base = m_pRate->base;
    const std::string target = hostkit::FormatTimecode(value, base);
    int64_t count = 0;
    if (!hostkit::ModuleCountOfLabels(hostkit::FramesToLabels(value, base), base, &count)) {
        r.error = hostkit::LineRefusal(value, *m_pRate);
        SetError(r.error);
        return r;
    }
    r.command = kCue;
    if (count < 0) {
        // Below zero only as an offset back from zero, which signed decks take.
        r.command = kCueOffset;
        m_Records.Set("nPosition", 0);
        m_Records.Set("nCueOffset", -count);
    } else {
        m_Records.Set("nPosition", count);
    }
    r.result = Call(*r.command);
    r.ok = r.result == 1;
    m_bCueing = r.ok;
    m_bCueAsked = false;
    m_CueSince = Clock::now();
    if (!r.ok) {
        r.error = "the deck refused the cue to " + target +
                  " (in standby, busy with a cue, or not answering)";
        SetError(r.error);
    }
    return r;
}

bool DeckWorker::TakeRequest(Request* out) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_Queue.empty()) {
        return false;
    }
    *out = std::move(m_Queue.front());
    m_Queue.pop_front();
    return true;
}

void DeckWorker::SetError(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_State.error = text;
    ++m_State.errorSeq;
    ++m_State.seq;
}

void DeckWorker::ClearError() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_State.error.empty()) {
        m_State.error.clear();
        ++m_State.seq;
    }
}

void DeckWorker::Forget() {
    m_Standby = m_Playing = m_CueBusy = m_ServoBusy = Sense{};
}

bool DeckWorker::TryConnect() {
    if (Call(kConnect) != 1) {
        return false;
    }
    m_bLinked = true;
    m_bAnswering = true;
    m_nFailures = 0;
    Forget();
    // Command 44 tells a system-1 deck from the others; the record keeps the host's rate.
    const int64_t format = m_Records.Get("nVideoFormat");
    Call(kVideoSystem);
    // Unanswered, it reads as system 4; the system stays unknown instead.
    m_nVideoSystem = m_bLastUnanswered ? 0 : m_Records.Get("nVideoFormat") == 1 ? 1 : 4;
    m_Records.Set("nVideoFormat", format);
    return true;
}

void DeckWorker::Drop(const std::string& why) {
    if (m_bLinked) {
        Call(kDisconnect);
    }
    const bool wasAnswering = m_bLinked && m_bAnswering;
    m_bLinked = false;
    m_bAnswering = false;
    m_bCueing = false;
    m_Records.Set("dwPending", 0);
    Forget();
    if (wasAnswering) {
        SetError(why);
    }
}

DeckReply DeckWorker::Finish(int command, int result, const std::string& failure) {
    DeckReply r;
    r.command = command;
    r.result = result;
    r.ok = result == 1;
    if (!r.ok) {
        r.error = failure;
        SetError(failure);
    }
    return r;
}

DeckReply DeckWorker::Execute(DeckAction action, int64_t value) {
    if (action == DeckAction::kAskPlaying || action == DeckAction::kAskCueDone ||
        action == DeckAction::kAskStopped) {
        return Ask(action);  // questions leave the transport as it is
    }
    if (action == DeckAction::kConnect) {
        return ConnectDeck();
    }
    if (action == DeckAction::kDisconnect) {
        return DisconnectDeck();
    }
    if (action == DeckAction::kMark) {
        return TakeMark(value != 0);
    }
    if (action == DeckAction::kRate) {
        // Taken while disconnected too: the operator changes tapes.
        SetRate(&hostkit::Rates().at(static_cast<std::size_t>(value)));
        DeckReply r;
        r.ok = true;
        return r;
    }
    if (!m_bLinked) {
        DeckReply r;
        r.error = "port " + std::to_string(m_nPort) + " is not connected";
        return r;
    }
    return Transport(action, value);
}

// A transport command: it supersedes what the poll was still working off.
DeckReply DeckWorker::Transport(DeckAction action, int64_t value) {
    Forget();
    m_bCueing = false;
    const uint32_t pending = static_cast<uint32_t>(m_Records.Get("dwPending"));
    m_Records.Set("dwPending", 0);
    switch (action) {
        case DeckAction::kPlay:
            m_Mode = "play";
            m_nSpeed = 0;
            return Finish(kPlay, Call(kPlay), "the deck did not acknowledge play");
        case DeckAction::kStop:
        case DeckAction::kPause:
            return StopOrPause(action == DeckAction::kStop, pending);
        case DeckAction::kFfwd:
        case DeckAction::kRew:
            return Wind(action == DeckAction::kFfwd);
        case DeckAction::kShuttle:
            m_Mode = "shuttle";
            m_nSpeed = static_cast<int>(value);
            m_Records.Set("nSpeed", value);
            return Finish(kVarSpeed, Call(kVarSpeed),
                          "the deck did not acknowledge shuttle speed " + std::to_string(value));
        case DeckAction::kCue:
            return CueTo(value);
        default:
            break;
    }
    DeckReply r;
    r.error = "unknown action";
    return r;
}

DeckReply DeckWorker::ConnectDeck() {
    m_bWanted = true;
    if (m_bLinked) {
        DeckReply r;
        r.ok = true;
        return r;
    }
    const bool ok = TryConnect();
    return Finish(kConnect, ok ? 1 : 0, ok ? "" : ConnectFailure(m_nPort, m_Device));
}

DeckReply DeckWorker::DisconnectDeck() {
    m_bWanted = false;
    m_Mode.clear();
    m_nSpeed = 0;
    if (!m_bLinked) {
        DeckReply r;
        r.ok = true;
        return r;
    }
    const int result = Call(kDisconnect);
    m_bLinked = false;
    m_bAnswering = false;
    m_bCueing = false;
    m_Records.Set("dwPending", 0);
    return Finish(kDisconnect, result, "the module refused to disconnect");
}

// Stop and pause are pending flags the poll works off, cycle after cycle, until they clear.
DeckReply DeckWorker::StopOrPause(bool stop, uint32_t pending) {
    m_Mode = stop ? "stop" : "pause";
    m_nSpeed = 0;
    m_Records.Set("dwPending", (pending & ~(kPendingStop | kPendingPause)) |
                                   (stop ? kPendingStop : kPendingPause));
    m_PendingSince = Clock::now();
    m_bPendingGivenUp = false;
    return Finish(
        kPoll, Call(kPoll),
        stop ? "the deck did not acknowledge stop" : "the deck did not acknowledge pause");
}

DeckReply DeckWorker::Wind(bool forward) {
    m_Mode = forward ? "ffwd" : "rew";
    m_nSpeed = 0;
    m_Records.Set("nSpeed", forward ? kWindSpeed : -kWindSpeed);
    return Finish(kSpeed, Call(kSpeed),
                  forward ? "the deck refused fast forward" : "the deck refused rewind");
}

bool DeckWorker::ReadTime() {
    // A read the deck did not answer in full returns 0 and says nothing of the tape: keep the
    // last time, so neither the display nor a mark shows a 00:00:00:00 the deck never had.
    // Nor is a read that ran into a time-out believed: its answer may have been a late one.
    if (Call(kPosition) != 1 || m_bLastUnanswered) {
        Sample(false);
        return false;
    }
    // Above 30 fps the deck sends a pair's label: the pair's first frame is never later than
    // the tape, and marks taken from it are no finer than the line.
    const hostkit::TimeBase& base = m_pRate->base;
    m_nFrames =
        hostkit::LabelsToFrames(hostkit::LabelsOfModuleCount(m_Records.Get("nFrames"), base), base);
    const auto now = Clock::now();
    const double span = std::chrono::duration<double>(now - m_RateAt).count();
    if (span >= 0.2) {
        m_dRate = span < 2.0 ? static_cast<double>(m_nFrames - m_nRateFrames) / span : 0.0;
        m_RateAt = now;
        m_nRateFrames = m_nFrames;
    }
    Sample(true);
    if (m_TimeRead) {
        m_TimeRead(m_nFrames);
    }
    return true;
}

void DeckWorker::Sample(bool answered) {
    {
        std::lock_guard<std::mutex> lock(m_SampleMutex);
        TimeSample& s = m_Samples[m_nSamples % kTimeSamples];
        s.seq = ++m_nSamples;
        s.answered = answered;
        s.frames = answered ? m_nFrames : 0;
        s.taken = m_LastCallStart;
        s.done = m_LastCallEnd;
    }
    m_SampleWake.notify_all();
}

bool DeckWorker::NextTimeRead(uint64_t after, Clock::time_point since, Clock::time_point until,
                              TimeSample* out) const {
    std::unique_lock<std::mutex> lock(m_SampleMutex);
    for (;;) {
        // The oldest kept first: a reader that fell behind loses the reads overwritten.
        const uint64_t oldest = m_nSamples > kTimeSamples ? m_nSamples - kTimeSamples + 1 : 1;
        for (uint64_t n = std::max(after + 1, oldest); n <= m_nSamples; ++n) {
            const TimeSample& s = m_Samples[(n - 1) % kTimeSamples];
            if (s.taken >= since) {
                *out = s;
                return true;
            }
        }
        const uint64_t seen = m_nSamples;
        if (!m_SampleWake.wait_until(lock, until, [&] { return m_nSamples != seen; })) {
            return false;
        }
    }
}

bool DeckWorker::Hold(std::string holder, std::function<void()> cancel) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Holder.empty()) {
            return false;
        }
        m_Holder = std::move(holder);
        m_HoldCancel = std::move(cancel);
        m_State.capturing = true;
        ++m_State.seq;
    }
    m_Changed();
    return true;
}

void DeckWorker::Release() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Holder.clear();
        m_HoldCancel = nullptr;
        m_State.capturing = false;
        ++m_State.seq;
    }
    m_Changed();
}

std::string DeckWorker::Holder() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Holder;
}

bool DeckWorker::CancelHold() {
    std::function<void()> cancel;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        cancel = m_HoldCancel;
    }
    if (cancel) {
        cancel();
    }
    return static_cast<bool>(cancel);
}

// A capture's questions: asked between the thread's own exchanges, as commands are.
DeckReply DeckWorker::Ask(DeckAction action) {
    DeckReply r;
    if (!m_bLinked) {
        r.error = "port " + std::to_string(m_nPort) + " is not connected";
        return r;
    }
    if (action == DeckAction::kAskStopped) {
        r.ok = !m_bPendingGivenUp;
        r.answer = (m_Records.Get("dwPending") & kPendingStop) == 0 && r.ok;
        r.error = r.ok ? "" : "the deck did not come to a stop within 5 seconds";
        return r;
    }
    const bool playing = action == DeckAction::kAskPlaying;
    r.command = playing ? kPlaying : kCueDone;
    r.result = Call(*r.command);
    r.ok = r.result == 1 && !m_bLastUnanswered;
    if (!r.ok) {
        r.error = "the deck did not answer command " + std::to_string(*r.command);
    } else if (playing) {
        m_Playing = Sense{true, m_Records.Get("bAnswer18") == 1};
        r.answer = m_Playing.value;
    } else {
        CueAnswered();
        r.answer = !m_CueBusy.value;
    }
    return r;
}

// What command 29 said: a cue in progress ends once an answer after its first says so.
void DeckWorker::CueAnswered() {
    m_CueBusy = Sense{true, m_Records.Get("bAnswer29") == 0};
    if (m_bCueing && m_bCueAsked && !m_CueBusy.value) {
        m_bCueing = false;
    }
    m_bCueAsked = true;
}

// A mark is the deck's time as read for it, never the last time the page was shown.
DeckReply DeckWorker::TakeMark(bool in) {
    DeckReply r;
    if (!m_bLinked) {
        r.error = "port " + std::to_string(m_nPort) + " is not connected";
        return r;
    }
    r.command = kPosition;
    r.result = ReadTime() ? 1 : 0;
    if (r.result == 0) {
        r.error = "the deck did not answer the time read; nothing was marked";
        return r;
    }
    Mark(in, m_nFrames);
    r.ok = true;
    return r;
}

void DeckWorker::Poll() {
    const int result = Call(kPoll);
    const uint32_t pending = static_cast<uint32_t>(m_Records.Get("dwPending"));
    if (pending == 0) {
        return;
    }
    if (result != 1 && (pending & kPendingStop) != 0) {
        SetError("the deck did not acknowledge stop");
    }
    if (Clock::now() - m_PendingSince > kPendingLimit) {
        m_Records.Set("dwPending", 0);
        m_bPendingGivenUp = true;
        SetError(std::string("the deck did not come to ") +
                 ((pending & kPendingStop) != 0 ? "a stop" : "a pause") + " within 5 seconds");
    }
}

void DeckWorker::AskStatus() {
    // The cue's own question every cycle while it runs; otherwise one in turn.
    static constexpr int kRotation[] = {kStandby, kPlaying, kCueDone, kServo};
    if (m_bCueing && Clock::now() - m_CueSince > kCueLimit) {
        m_bCueing = false;
        SetError("the deck did not finish its cue within 10 seconds");
    }
    const int command = m_bCueing ? kCueDone : kRotation[m_nRotation++ % 4];
    const int result = Call(command);
    bool answered = true;
    switch (command) {
        case kStandby:
            m_Standby = Sense{true, result == 0};
            break;
        case kPlaying:
            answered = result == 1;
            if (answered) {
                m_Playing = Sense{true, m_Records.Get("bAnswer18") == 1};
            }
            break;
        case kCueDone:
            answered = result == 1;
            if (answered) {
                CueAnswered();
            }
            break;
        default:
            m_ServoBusy = Sense{true, result == 0};
            break;
    }
    if (!answered) {
        if (++m_nFailures >= kFailuresToDrop) {
            Drop("the deck on port " + std::to_string(m_nPort) +
                 " stopped answering; trying again every second");
        }
        return;
    }
    if (command != kStandby && command != kServo) {
        m_nFailures = 0;
        m_bAnswering = true;
    }
}

std::string DeckWorker::Words() const {
    if (!m_bWanted) {
        return "disconnected";
    }
    if (!m_bLinked || !m_bAnswering) {
        return "not answering";
    }
    const double fps = m_pRate->fps;
    const double speed = std::fabs(m_dRate) / fps;  // in play speeds
    if (m_Standby.known && m_Standby.value) {
        return "standby";
    }
    if (m_bCueing || (m_CueBusy.known && m_CueBusy.value)) {
        return "cueing";
    }
    if (m_Playing.known && m_Playing.value) {
        return "playing";
    }
    if (speed > 3.0 || m_Mode == "ffwd" || m_Mode == "rew") {
        return "winding";
    }
    if (m_Mode == "shuttle") {
        return m_nSpeed == 0 ? "still" : "shuttle";
    }
    if (m_Mode == "pause" || m_Mode == "cue") {
        return "still";
    }
    if (m_Mode == "play" && !m_Playing.known) {
        return "playing";  // the servo has not locked yet
    }
    if (speed > 0.1) {
        return "shuttle";  // moving, at a speed this server did not ask for
    }
    return "stopped";
}

void DeckWorker::Publish() {
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        DeckState& s = m_State;
        const std::string words = Words();
        changed = s.connected != m_bLinked || s.answering != (m_bLinked && m_bAnswering) ||
                  s.state != words || s.frames != m_nFrames || s.rate != m_pRate ||
                  s.videoSystem != m_nVideoSystem || s.status != m_Status || s.speed != m_nSpeed ||
                  s.mode != m_Mode || s.seq != m_nPublishedSeq;  // an error or a mark
        if (changed) {
            s.connected = m_bLinked;
            s.answering = m_bLinked && m_bAnswering;
            s.state = words;
            s.frames = m_nFrames;
            s.rate = m_pRate;
            s.videoSystem = m_nVideoSystem;
            s.status = m_Status;
            s.speed = m_nSpeed;
            s.mode = m_Mode;
            ++s.seq;
            m_nPublishedSeq = s.seq;
        }
    }
    if (changed) {
        m_Changed();
    }
}

void DeckWorker::Run() {
    m_NextConnect = Clock::now();
    m_CycleStart = Clock::now();
    m_Step = CycleStep::kTime;
    while (!Stopping()) {
        // One command after each of the deck's own exchanges; back to back only while the
        // deck has none of its own to make.
        const bool cycling = m_bWanted && m_bLinked;
        Request request{DeckAction::kPlay, 0, {}};
        if ((!cycling || !m_bCommandTaken) && TakeRequest(&request)) {
            Serve(request);
            m_bCommandTaken = true;
            continue;
        }
        std::optional<Clock::time_point> sleepUntil;
        if (!m_bWanted) {
            sleepUntil = Clock::now() + Millis(1000);
        } else if (!m_bLinked) {
            sleepUntil = ConnectWhenDue();
        } else {
            sleepUntil = NextStep();
        }
        if (sleepUntil) {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Wake.wait_until(lock, *sleepUntil, [this] { return m_bStop || !m_Queue.empty(); });
        }
    }
    if (m_bLinked) {
        Call(kDisconnect);
        m_bLinked = false;
    }
}

bool DeckWorker::Stopping() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_bStop;
}

void DeckWorker::Serve(Request& request) {
    const bool wasLinked = m_bLinked;
    DeckReply reply;
    try {
        reply = Execute(request.action, request.value);
    } catch (const std::exception& e) {
        reply.error = e.what();
    }
    Publish();
    request.reply.set_value(reply);
    // Only a command that lost the link waits out the retry: were each command to put it
    // off, a client posting more than once a second would keep a lost deck from coming back.
    if (wasLinked && !m_bLinked) {
        m_NextConnect = Clock::now() + kRetryConnect;
    }
}

std::optional<DeckWorker::TimePoint> DeckWorker::ConnectWhenDue() {
    if (Clock::now() < m_NextConnect) {
        return m_NextConnect;
    }
    if (TryConnect()) {
        ClearError();
    } else {
        // The cause can change while the deck is away (unplugged, then plugged in without
        // access): say the latest one, and only when it changed.
        const std::string why = ConnectFailure(m_nPort, m_Device);
        if (Snapshot().error != why) {
            SetError(why);
        }
    }
    m_NextConnect = Clock::now() + kRetryConnect;
    Publish();
    return std::nullopt;
}

// One step of the cycle: time, poll while a flag is pending, one status question, rest.
std::optional<DeckWorker::TimePoint> DeckWorker::NextStep() {
    const auto now = Clock::now();
    std::optional<Clock::time_point> sleepUntil;
    switch (m_Step) {
        case CycleStep::kTime:
            m_CycleStart = now;
            ReadTime();
            m_bCommandTaken = false;
            m_Step = CycleStep::kPoll;
            break;
        case CycleStep::kPoll:
            if (m_Records.Get("dwPending") != 0) {
                Poll();
                m_bCommandTaken = false;
            }
            m_Step = CycleStep::kStatus;
            break;
        case CycleStep::kStatus:
            AskStatus();
            if (m_StatusSource) {
                m_Status = m_StatusSource();
            }
            ++m_nCycles;
            m_bCommandTaken = false;
            m_Step = CycleStep::kRest;
            break;
        case CycleStep::kRest:
            m_Step = CycleStep::kTime;
            if (now - m_CycleStart < kMinCycle) {
                sleepUntil = m_CycleStart + kMinCycle;
            }
            break;
    }
    if (!m_bLinked) {
        m_NextConnect = Clock::now() + kRetryConnect;
        m_Step = CycleStep::kTime;
    }
    Publish();
    return sleepUntil;
}

}  // namespace decks
