#include "tools/broker/machine_link.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "tools/broker/topics.h"

namespace broker {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A deck's state is looked at no more than every 20 ms, as the page's stream sends it.
constexpr Millis kStateInterval{20};
// Commands waiting for a worker, at most; past it they are answered 503.
constexpr std::size_t kMaxJobs = 256;
// A new connection is held this long before the machine shows itself, so that a server
// already online under the name can take its session back first.
constexpr Millis kClaim{2000};
// How long a start waits for its first connect to end, one way or the other.
constexpr Millis kStartWait{8000};

std::string Words(const std::string& topic) {
    return "a command on " + topic;
}

}  // namespace

bool ResolveLink(const BrokerOptions& given, LinkOptions* out, std::string* error) {
    if (given.url.empty()) {
        *error = "--machine, --hub and the --broker- options need --broker URL";
        return false;
    }
    if (given.hub == !given.machine.empty()) {
        *error = "--broker needs either --machine NAME (this server's decks) or --hub";
        return false;
    }
    LinkOptions o;
    if (!ParseBrokerUrl(given.url, &o.url, error)) {
        return false;
    }
    o.name = given.hub ? "hub" : given.machine;
    o.user = given.user.empty() ? o.name : given.user;
    for (const std::string& name : {o.name, o.user}) {
        if (const std::string why = NameRefusal(name); !why.empty()) {
            *error = why;
            return false;
        }
    }
    if (given.keepalive < 5 || given.keepalive > 3600) {
        *error = "--broker-keepalive must be 5 to 3600 seconds";
        return false;
    }
    o.keepalive = given.keepalive;
    if (!given.caFile.empty() && !o.url.tls) {
        *error = "--broker-ca is for mqtts:// brokers";
        return false;
    }
    o.caFile = given.caFile;
    if (!given.passwordFile.empty()) {
        std::ifstream in(given.passwordFile);
        if (!in || !std::getline(in, o.password)) {
            *error = "cannot read the broker's password from " + given.passwordFile;
            return false;
        }
        if (!o.password.empty() && o.password.back() == '\r') {
            o.password.pop_back();
        }
        if (o.password.empty()) {
            *error = "the first line of " + given.passwordFile +
                     " is empty: it should hold the "
                     "broker's password";
            return false;
        }
    }
    *out = std::move(o);
    return true;
}

MachineLink::MachineLink(LinkOptions options, const Decks& decks)
    : m_Options(std::move(options)), m_Decks(decks) {
    std::random_device random;
    char id[24];
    std::snprintf(id, sizeof id, "%08x%08x", static_cast<unsigned>(random()),
                  static_cast<unsigned>(random()));
    m_Instance = id;
}

MachineLink::~MachineLink() {
    Stop();
}

bool MachineLink::Start(std::string* error) {
    ClientOptions o;
    o.url = m_Options.url;
    o.caFile = m_Options.caFile;
    o.user = m_Options.user.empty() ? m_Options.name : m_Options.user;
    // The user's own name, which the shipped broker enforces (use_username_as_clientid).
    o.clientId = o.user;
    o.claim = kClaim;
    o.claiming = [this] {
        // Which server this is, so that a hub can tell one turned away from the name's holder.
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        Outgoing claim;
        claim.topic = ClaimTopic(m_Options.name);
        claim.payload = hostkit::DumpJson(Claim(m_Options.name, m_Instance, host, getpid()));
        m_Client->PublishClaim(claim);
    };
    o.password = m_Options.password;
    o.keepalive = m_Options.keepalive;
    o.willTopic = ConnectionTopic(m_Options.name);
    o.willPayload =
        hostkit::DumpJson(Presence(m_Options.name, false, m_Options.keepalive, m_Instance));
    o.connected = [this] { Connected(); };
    o.message = [this](const Message& m) { OnMessage(m); };
    o.log = m_Options.log;
    m_Client = std::make_unique<MqttClient>(o);
    // A worker for every command the decks' queues hold at once, and a few more.
    m_nWorkers = static_cast<int>(m_Decks.size() * (decks::DeckWorker::kMaxQueued + 1)) + 4;
    for (int i = 0; i < m_nWorkers; ++i) {
        m_Workers.emplace_back([this] { Work(); });
    }
    m_Publisher = std::thread([this] { Run(); });
    std::string refusal;
    if (!m_Client->Start(error)) {
        return false;
    }
    if (!m_Client->AwaitFirst(kStartWait, &refusal)) {
        *error = "machine " + m_Options.name + " is already online on the broker (is another " +
                 "deckctl serve running with --machine " + m_Options.name + "?): " + refusal;
        return false;
    }
    return true;
}

void MachineLink::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    {
        std::lock_guard<std::mutex> lock(m_JobMutex);
        m_bJobsStop = true;
        m_Jobs.clear();
    }
    m_Wake.notify_all();
    m_JobWake.notify_all();
    if (m_Publisher.joinable()) {
        m_Publisher.join();
    }
    for (std::thread& t : m_Workers) {
        t.join();
    }
    m_Workers.clear();
    if (m_Client) {
        m_Client->Stop();
    }
}

hostkit::Json MachineLink::Status() const {
    const bool up = m_Client && m_Client->Connected();
    return hostkit::Json{{"url", std::string(m_Options.url.tls ? "mqtts://" : "mqtt://") +
                                     m_Options.url.host + ":" + std::to_string(m_Options.url.port)},
                         {"machine", m_Options.name},
                         {"connected", up},
                         {"error", up || !m_Client ? "" : m_Client->Problem()}};
}

void MachineLink::Changed() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_bDirty) {
        m_bDirty = true;
        m_Wake.notify_one();
    }
}

void MachineLink::TimeRead(int port, int64_t frames) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Times[port] = Slot{frames, WallClock::now(), true};
    if (!m_bTimes) {
        m_bTimes = true;
        m_Wake.notify_one();
    }
}

// On the client's thread, each time the broker takes us: the commands, the presence, and
// every state again (the broker may have lost its retained messages meanwhile).
void MachineLink::Connected() {
    m_Client->Subscribe(CommandFilter(m_Options.name), 1);
    Outgoing online;
    online.topic = ConnectionTopic(m_Options.name);
    online.payload =
        hostkit::DumpJson(Presence(m_Options.name, true, m_Options.keepalive, m_Instance));
    online.retain = true;
    m_Client->Publish(online);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bRepublish = true;
    m_Wake.notify_one();
}

void MachineLink::Run() {
    // A deck that has said nothing for half the keep-alive says its state again (looked for
    // every quarter), so that a hub can tell a quiet deck from one whose machine is gone.
    const Millis beat{m_Options.keepalive * 250};
    auto lastCheck = Clock::now() - kStateInterval;
    auto nextBeat = Clock::now() + beat;
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        if (m_bStop) {
            return;
        }
        // Each wake-up looks again: a change may have made a check due sooner.
        const auto due = m_bDirty ? std::min(lastCheck + kStateInterval, nextBeat) : nextBeat;
        if (!m_bTimes && !m_bRepublish && Clock::now() < due) {
            m_Wake.wait_until(lock, due);
            continue;
        }
        const bool times = m_bTimes;
        const bool all = m_bRepublish;
        const bool states = all || (m_bDirty && Clock::now() >= lastCheck + kStateInterval) ||
                            Clock::now() >= nextBeat;
        m_bTimes = false;
        m_bRepublish = false;
        if (states) {
            m_bDirty = false;
        }
        lock.unlock();
        if (times) {
            PublishTimes();
        }
        if (states) {
            lastCheck = Clock::now();
            PublishStates(all);
            if (lastCheck >= nextBeat) {
                nextBeat = lastCheck + beat;
            }
        }
        lock.lock();
    }
}

void MachineLink::PublishStates(bool all) {
    const auto now = Clock::now();
    const Millis quiet{m_Options.keepalive * 500};
    for (const auto& [port, deck] : m_Decks) {
        hostkit::Json payload = decks::DeckJson(deck->Snapshot());
        payload["machine"] = m_Options.name;
        hostkit::Json bare = payload;
        for (const char* moving : {"time", "frames", "seq"}) {
            bare.erase(moving);
        }
        std::string text = hostkit::DumpJson(bare);
        Published& last = m_Published[port];
        if (!all && text == last.text && now - last.at < quiet) {
            continue;
        }
        Outgoing out;
        out.topic = StateTopic(m_Options.name, port);
        out.payload = hostkit::DumpJson(
            Event(m_Options.name, port, "state", "object", WallClock::now(), std::move(payload)));
        out.retain = true;
        if (m_Client->Publish(out)) {
            last = Published{std::move(text), now};
        }
    }
}

void MachineLink::PublishTimes() {
    std::map<int, Slot> fresh;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& [port, slot] : m_Times) {
            if (slot.fresh) {
                fresh[port] = slot;
                slot.fresh = false;
            }
        }
    }
    for (const auto& [port, slot] : fresh) {
        const auto deck = m_Decks.find(port);
        if (deck == m_Decks.end()) {
            continue;
        }
        const hostkit::RateInfo* rate = deck->second->Rate();
        Outgoing out;
        out.topic = TimeTopic(m_Options.name, port);
        out.payload = hostkit::DumpJson(
            Event(m_Options.name, port, "time", "number", slot.at,
                  hostkit::Json{{"value", slot.frames},
                                {"unit", "frames"},
                                {"time", hostkit::FormatTimecode(slot.frames, rate->base)},
                                {"rate", rate->name}}));
        out.qos = 0;
        if (m_Client->Publish(out)) {
            m_Published[port].at = Clock::now();
        }
    }
}

// On the client's thread: a command is checked for what it needs to be answered at all, and
// for having been seen before, then left to a worker; nothing here waits for a deck.
void MachineLink::OnMessage(const Message& m) {
    const std::optional<Topic> t = ParseTopic(m.topic);
    if (!t || t->kind != "command" || t->machine != m_Options.name) {
        return;
    }
    const std::string replies = ReplyTopic(m_Options.name, "");
    const std::optional<Topic> answerTo = ParseTopic(m.responseTopic);
    if (m.correlation.empty() || !answerTo || answerTo->kind != "replies" ||
        m.responseTopic.rfind(replies, 0) != 0) {
        // Nowhere to answer that this machine may publish to: not carried out.
        if (m_Options.log) {
            m_Options.log(Words(m.topic) +
                          " came without correlation data or a response topic "
                          "under " +
                          replies + "; not carried out");
        }
        return;
    }
    const std::string key = m.responseTopic + '\n' + m.correlation;
    std::optional<decks::ActionAnswer> again;
    {
        std::lock_guard<std::mutex> lock(m_JobMutex);
        const auto seen = m_Remembered.find(key);
        if (seen != m_Remembered.end()) {
            // Delivered twice: the answer again once there is one, never a second run.
            if (!seen->second.done) {
                return;
            }
            again = seen->second.answer;
        } else if (m_Jobs.size() >= kMaxJobs) {
            again = decks::Refusal(
                503, "too many commands are waiting on machine " + m_Options.name + "; try again");
        } else {
            m_Remembered[key];
            m_RememberedOrder.push_back(key);
            m_Jobs.push_back(Job{m, Clock::now()});
            m_JobWake.notify_one();
            return;
        }
    }
    Answer(m, *again);
}

void MachineLink::Work() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_JobMutex);
            m_JobWake.wait(lock, [this] { return !m_Jobs.empty() || m_bJobsStop; });
            if (m_bJobsStop) {
                return;
            }
            job = std::move(m_Jobs.front());
            m_Jobs.pop_front();
        }
        Carry(job);
    }
}

// The broker counts a message's expiry down while it holds it; what is left is counted down
// here too, up to the moment the deck's thread takes the command. A hub also says when it
// sent the command, which counts a broker that stalled with it in hand. A `sent` that is no
// time is handed back.
Millis MachineLink::TimeLeft(const Job& job, std::string* unreadable) {
    const Message& m = job.message;
    const Millis expiry = m.expiry ? Millis(std::chrono::seconds(*m.expiry)) : Millis(0);
    Millis left = expiry - std::chrono::duration_cast<Millis>(Clock::now() - job.received);
    for (const auto& [name, value] : m.user) {
        if (name != "sent") {
            continue;
        }
        const std::optional<WallClock::time_point> sent = ParseTimestamp(value);
        if (!sent) {
            *unreadable = value.substr(0, 40);
            continue;
        }
        const Millis age = std::chrono::duration_cast<Millis>(WallClock::now() - *sent);
        left = std::min(left, expiry - age);
    }
    return left;
}

// What refuses a command before it reaches a deck: its form, its size, its age.
std::optional<decks::ActionAnswer> MachineLink::Refused(const Message& m, Millis left,
                                                        const std::string& unreadable) const {
    if (!unreadable.empty()) {
        return decks::Refusal(400, "the command's sent property '" + unreadable +
                                       "' is not a time (seconds:nanoseconds since 1970, UTC, "
                                       "as IS-07 writes it); it was not carried out");
    }
    if (m.payload.size() > kMaxCommandBody) {
        return decks::Refusal(413, "the command's body is " + std::to_string(m.payload.size()) +
                                       " bytes; 16 KiB at most");
    }
    if (!m.expiry) {
        return decks::Refusal(400,
                              "a command must carry a message expiry (2 s, say), so that one "
                              "that arrives late is never carried out");
    }
    if (left <= Millis(0)) {
        return decks::Refusal(504, "the command reached machine " + m_Options.name +
                                       " after its expiry of " + std::to_string(*m.expiry) +
                                       " s; it was not carried out (if every command does, set "
                                       "the clocks of the hub and the machine by NTP)");
    }
    return std::nullopt;
}

void MachineLink::Carry(Job& job) {
    const Message& m = job.message;
    const Topic t = *ParseTopic(m.topic);
    std::string unreadable;
    const Millis left = TimeLeft(job, &unreadable);
    std::optional<decks::ActionAnswer> answer = Refused(m, left, unreadable);
    if (!answer) {
        long port = 0;
        const bool digits = !t.port.empty() && t.port.size() <= 3 &&
                            t.port.find_first_not_of("0123456789") == std::string::npos;
        if (digits) {
            port = std::stol(t.port);
        }
        const auto deck = m_Decks.find(static_cast<int>(port));
        try {
            answer =
                decks::RunDeckAction(deck == m_Decks.end() ? nullptr : deck->second.get(), t.port,
                                     t.action, m.payload, std::min(left, decks::kCommandWait));
        } catch (const std::exception& e) {
            answer =
                decks::Refusal(500, std::string("the machine failed on this command: ") + e.what());
        }
    }
    Remember(m.responseTopic + '\n' + m.correlation, *answer);
    Answer(m, *answer);
}

void MachineLink::Remember(const std::string& key, const decks::ActionAnswer& answer) {
    std::lock_guard<std::mutex> lock(m_JobMutex);
    m_Remembered[key] = Remembered{true, answer};
    // The oldest answers go first; a command still running stays until it has its answer.
    while (m_RememberedOrder.size() > kRememberedCommands) {
        const auto oldest = m_Remembered.find(m_RememberedOrder.front());
        if (oldest != m_Remembered.end() && !oldest->second.done) {
            break;
        }
        m_Remembered.erase(m_RememberedOrder.front());
        m_RememberedOrder.pop_front();
    }
}

void MachineLink::Answer(const Message& m, const decks::ActionAnswer& answer) {
    Outgoing out;
    out.topic = m.responseTopic;
    out.payload = hostkit::DumpJson(answer.body);
    out.correlation = m.correlation;
    out.user = {{"status", std::to_string(answer.status)}};
    if (!m_Client->Publish(out) && m_Options.log) {
        m_Options.log("the answer to " + Words(m.topic) + " could not be sent: the broker is away");
    }
}

}  // namespace broker
