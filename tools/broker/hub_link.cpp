#include "tools/broker/hub_link.h"

#include <cstdio>
#include <random>
#include <vector>

#include "tools/broker/topics.h"

namespace broker {

namespace {

using Clock = std::chrono::steady_clock;
using Json = hostkit::Json;

// How often waiting commands and quiet decks are looked at.
constexpr std::chrono::milliseconds kTick{100};

std::string RandomHex() {
    std::random_device random;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(random()));
    return text;
}

// A status as a machine sends it in its answer's user property; 0 when there is none.
int StatusOf(const Message& m) {
    for (const auto& [name, value] : m.user) {
        if (name == "status" && value.size() == 3 &&
            value.find_first_not_of("0123456789") == std::string::npos) {
            return std::stoi(value);
        }
    }
    return 0;
}

bool PortOf(const std::string& text, int* port) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos || std::stoi(text) < 1 ||
        std::stoi(text) > 255) {
        return false;
    }
    *port = std::stoi(text);
    return true;
}

}  // namespace

// As a machine's: a new connection is held this long before the hub shows itself.
constexpr std::chrono::milliseconds kClaim{2000};
constexpr std::chrono::milliseconds kStartWait{8000};
// What a claim may hold: its instance's length, and claims kept between two presences.
constexpr std::size_t kMaxClash = 64;
constexpr std::size_t kMaxClaims = 16;

// The link's name and client are made here, before any thread can ask for its status.
HubLink::HubLink(LinkOptions options, std::function<void()> changed)
    : m_Options(std::move(options)), m_Changed(std::move(changed)) {
    const std::string user = m_Options.user.empty() ? m_Options.name : m_Options.user;
    // Answers come back on a level of the hub's own, so two hubs never take each other's.
    m_Name = user + "-" + RandomHex();
    ClientOptions o;
    o.url = m_Options.url;
    o.caFile = m_Options.caFile;
    // The user's own name, which the shipped broker enforces: each hub needs a user of its own.
    o.clientId = user;
    o.claim = kClaim;
    o.user = user;
    o.password = m_Options.password;
    o.keepalive = m_Options.keepalive;
    o.connected = [this] { Connected(); };
    o.message = [this](const Message& m) { OnMessage(m); };
    o.log = m_Options.log;
    m_Client = std::make_unique<MqttClient>(o);
}

HubLink::~HubLink() {
    Stop();
}

bool HubLink::SplitName(const std::string& name, std::string* machine, int* port) {
    const std::size_t colon = name.rfind(':');
    if (colon == std::string::npos || !NameRefusal(name.substr(0, colon)).empty() ||
        !PortOf(name.substr(colon + 1), port)) {
        return false;
    }
    *machine = name.substr(0, colon);
    return true;
}

bool HubLink::Start(std::string* error) {
    m_Ticker = std::thread([this] { Tick(); });
    if (!m_Client->Start(error)) {
        return false;
    }
    std::string refusal;
    if (!m_Client->AwaitFirst(kStartWait, &refusal)) {
        *error = "a hub is already signed in to the broker as user '" +
                 (m_Options.user.empty() ? m_Options.name : m_Options.user) +
                 "'; give each hub a user of its own (--broker-user, and its lines in the "
                 "broker's acl): " +
                 refusal;
        return false;
    }
    return true;
}

void HubLink::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_all();
    if (m_Ticker.joinable()) {
        m_Ticker.join();
    }
    m_Client->Stop();
    // Whoever still waits hears that no answer will come.
    std::map<std::string, Pending> left;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        left.swap(m_Pending);
    }
    for (auto& [id, p] : left) {
        p.done(decks::Refusal(503, "the hub is stopping"));
    }
}

hostkit::Json HubLink::Status() const {
    const bool up = m_Client->Connected();
    return Json{{"url", std::string(m_Options.url.tls ? "mqtts://" : "mqtt://") +
                            m_Options.url.host + ":" + std::to_string(m_Options.url.port)},
                {"hub", m_Name},
                {"connected", up},
                {"error", up ? "" : m_Client->Problem()}};
}

void HubLink::Connected() {
    for (const std::string& filter :
         {ConnectionFilter(), ClaimFilter(), StateFilter(), TimeFilter(), ReplyFilter(m_Name)}) {
        m_Client->Subscribe(filter, 1);
    }
}

// Online by its presence, and heard from within 1.5 times its keep-alive: a machine says
// something at least every half keep-alive, so one that stalls shows offline in that time
// whenever the broker gets round to its Will.
bool HubLink::Up(const std::string& machine, Clock::time_point now) const {
    const auto m = m_Machines.find(machine);
    return m != m_Machines.end() && m->second.online &&
           now - m->second.seen <= std::chrono::milliseconds(m->second.keepalive * 1500);
}

bool HubLink::Lost(const Key& key, const Deck& deck, Clock::time_point now) const {
    return !Up(key.first, now) ||
           now - deck.seen > std::chrono::seconds(m_Machines.at(key.first).keepalive);
}

Json HubLink::Decks() const {
    Json list = Json::array();
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const auto& [key, deck] : m_Decks) {
        Json d = deck.state;
        if (!deck.time.is_null()) {
            d["time"] = deck.time["time"];
            d["frames"] = deck.time["value"];
        }
        const bool online = Up(key.first, now);
        d["machineOnline"] = online;
        if (const std::string& clash = m_Machines.at(key.first).clash; !clash.empty()) {
            d["machineClash"] = clash;
        }
        if (Lost(key, deck, now)) {
            d["answering"] = false;
            d["state"] = online ? "not answering" : "offline";
        }
        list.push_back(std::move(d));
    }
    return list;
}

const hostkit::RateInfo* HubLink::RateOf(const std::string& machine, int port) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto it = m_Decks.find(Key{machine, port});
    if (it == m_Decks.end()) {
        return nullptr;
    }
    const Json rate = it->second.state.value("rate", Json());
    return rate.is_string() ? hostkit::FindRate(rate.get<std::string>()) : nullptr;
}

void HubLink::OnMessage(const Message& m) {
    const std::optional<Topic> t = ParseTopic(m.topic);
    if (!t) {
        return;
    }
    if (t->kind == "replies") {
        OnReply(*t, m);
        return;
    }
    const Json message = hostkit::ParseJson(m.payload);
    if (!message.is_object()) {
        return;
    }
    bool changed = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        int port = 0;
        Machine& machine = m_Machines[t->machine];
        machine.seen = Clock::now();
        if (t->kind == "claim") {
            TakeClaim(machine, message);
        } else if (t->kind == "connection") {
            changed = TakePresence(machine, t->machine, message);
        } else if ((t->kind == "state" || t->kind == "time") && PortOf(t->port, &port)) {
            changed = TakeDeck(Key{t->machine, port}, t->kind == "state", message);
        }
    }
    if (changed && m_Changed) {
        m_Changed();
    }
}

// A machine's answer to a command of ours, handed to whoever waits for it.
void HubLink::OnReply(const Topic& t, const Message& m) {
    std::function<void(decks::ActionAnswer)> done;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto it = m_Pending.find(m.correlation);
        if (t.hub != m_Name || it == m_Pending.end() || it->second.machine != t.machine) {
            return;  // answered already, given up on, or not ours
        }
        done = std::move(it->second.done);
        m_Pending.erase(it);
    }
    const Json body = hostkit::ParseJson(m.payload);
    const int status = StatusOf(m);
    if (status == 0 || !body.is_object()) {
        done(decks::Refusal(502,
                            "machine " + t.machine + " answered in a form the hub does not read"));
    } else {
        done(decks::ActionAnswer{status, body});
    }
}

// A server signing in under the name: if the name then shows online under another run of a
// server, this one was turned away.
void HubLink::TakeClaim(Machine& machine, const Json& message) {
    const Json instance = message.value("instance", Json());
    const Json host = message.value("host", Json());
    const Json pid = message.value("pid", Json());
    if (instance.is_string() && machine.claims.size() < kMaxClaims) {
        machine.claims[instance.get<std::string>().substr(0, kMaxClash)] =
            "on " + (host.is_string() ? host.get<std::string>().substr(0, 64) : "?") +
            (pid.is_number_integer() ? ", pid " + std::to_string(pid.get<int64_t>()) : "") +
            ", at " + UtcText(WallClock::now());
    }
}

// False for what is no presence: the last one stands.
bool HubLink::TakePresence(Machine& machine, const std::string& name, const Json& message) {
    const Json active = message.value("active", Json());
    if (!active.is_boolean()) {
        return false;
    }
    machine.online = active.get<bool>();
    const Json instance = message.value("instance", Json());
    if (machine.online && instance.is_string()) {
        for (const auto& [claimer, where] : machine.claims) {
            if (claimer != instance.get<std::string>()) {
                machine.clash = "another server (";
                machine.clash += where;
                machine.clash += ") signed in as " + name + " and was turned away";
            }
        }
        machine.claims.clear();
    }
    const Json keepalive = message.value("keepalive", Json());
    if (keepalive.is_number_integer() && keepalive.get<int64_t>() >= 1 &&
        keepalive.get<int64_t>() <= 3600) {
        machine.keepalive = keepalive.get<int>();
    }
    return true;
}

// A deck's state, or its time since that state; false for one of another shape.
bool HubLink::TakeDeck(const Key& key, bool state, const Json& message) {
    const Json payload = message.value("payload", Json());
    if (!payload.is_object()) {
        return false;
    }
    if (state) {
        // A state names the deck it comes from; one that names another is ignored.
        if (payload.value("port", Json()) != Json(key.second) ||
            payload.value("machine", Json()) != Json(key.first)) {
            return false;
        }
        Deck& d = m_Decks[key];
        d.state = payload;
        d.time = Json();
        d.seen = Clock::now();
        return true;
    }
    const auto it = m_Decks.find(key);
    if (it == m_Decks.end() || !payload.value("value", Json()).is_number_integer() ||
        !payload.value("time", Json()).is_string()) {
        return false;
    }
    it->second.time = payload;
    it->second.seen = Clock::now();
    return true;
}

void HubLink::Command(const std::string& deck, const std::string& action, const std::string& body,
                      std::function<void(decks::ActionAnswer)> done) {
    std::string machine;
    int port = 0;
    if (!SplitName(deck, &machine, &port)) {
        done(decks::Refusal(404, "no deck '" + deck + "'; the hub names a deck MACHINE:PORT"));
        return;
    }
    if (action.empty() ||
        action.find_first_not_of("abcdefghijklmnopqrstuvwxyz") != std::string::npos) {
        done(decks::Refusal(
            404, "unknown action '" + action + "'; the actions are " + decks::kDeckActions));
        return;
    }
    std::string id;
    decks::ActionAnswer refusal;
    std::function<void(decks::ActionAnswer)> refused;  // the caller, when refused
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        id = m_Name + "-" + std::to_string(++m_nLastId);
        if (m_Decks.count(Key{machine, port}) == 0) {
            refusal = decks::Refusal(404, "no deck " + deck + " on the broker");
            refused = std::move(done);
        } else if (!Up(machine, Clock::now())) {
            refusal = decks::Refusal(503, "machine " + machine + " is offline; nothing was sent");
            refused = std::move(done);
        } else {
            m_Pending[id] = Pending{std::move(done), Clock::now() + kReplyWait, machine};
        }
    }
    // The answer is given outside the lock: it may call back into the hub.
    if (refused) {
        refused(std::move(refusal));
        return;
    }
    Send(machine, port, action, body, id);
}

// The command on its way to the machine; one the broker would not take is answered 503.
void HubLink::Send(const std::string& machine, int port, const std::string& action,
                   const std::string& body, const std::string& id) {
    Outgoing out;
    out.topic = CommandTopic(machine, port, action);
    out.payload = body;
    out.responseTopic = ReplyTopic(machine, m_Name);
    out.correlation = id;
    out.expiry = static_cast<uint32_t>(kCommandExpiry.count());
    // The broker counts the expiry from when it takes the command; a broker that stalls with
    // the command in hand would hand it on late but fresh. The machine counts from here.
    out.user = {{"sent", Timestamp(WallClock::now())}};
    if (!m_Client->Publish(out)) {
        std::function<void(decks::ActionAnswer)> unsent;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            const auto it = m_Pending.find(id);
            if (it == m_Pending.end()) {
                return;  // answered meanwhile: the hub is stopping
            }
            unsent = std::move(it->second.done);
            m_Pending.erase(it);
        }
        unsent(decks::Refusal(503, "the hub is not connected to the broker; nothing was sent"));
    }
}

// Commands whose answer is overdue are answered 504; decks that fell quiet, or spoke again,
// are news for the page.
void HubLink::Tick() {
    std::unique_lock<std::mutex> lock(m_Mutex);
    while (!m_bStop) {
        m_Wake.wait_for(lock, kTick, [this] { return m_bStop; });
        const auto now = Clock::now();
        std::vector<Pending> overdue;
        for (auto it = m_Pending.begin(); it != m_Pending.end();) {
            if (it->second.deadline <= now) {
                overdue.push_back(std::move(it->second));
                it = m_Pending.erase(it);
            } else {
                ++it;
            }
        }
        bool changed = false;
        for (auto& [key, deck] : m_Decks) {
            const bool lost = Lost(key, deck, now);
            changed = changed || lost != deck.lost;
            deck.lost = lost;
        }
        std::vector<std::string> said;
        for (auto& [name, machine] : m_Machines) {
            const bool up = Up(name, now);
            if (up != machine.up) {
                said.push_back("machine " + name + (up ? " is online" : " went offline"));
                machine.up = up;
                changed = true;
            }
            if (machine.clash != machine.saidClash) {
                if (!machine.clash.empty()) {
                    said.push_back("machine " + name + ": " + machine.clash);
                }
                machine.saidClash = machine.clash;
            }
        }
        lock.unlock();
        for (const std::string& line : said) {
            if (m_Options.log) {
                m_Options.log(line);
            }
        }
        for (Pending& p : overdue) {
            p.done(decks::Refusal(504, "machine " + p.machine + " did not answer within " +
                                           std::to_string(kReplyWait.count()) +
                                           " seconds; the command may not have reached the deck"));
        }
        if (changed && m_Changed) {
            m_Changed();
        }
        lock.lock();
    }
}

}  // namespace broker
