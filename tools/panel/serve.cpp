#include "tools/panel/serve.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <httplib.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <system_error>
#include <thread>

#include "tools/decksim/pty_server.h"
#include "tools/hostkit/bitmaps.h"
#include "tools/hostkit/timecode.h"
#include "tools/panel/clip_export.h"
#include "tools/panel/clip_log.h"
#include "tools/panel/deck_worker.h"
#include "tools/panel/format_gate.h"
#include "tools/panel/panel_assets.h"

namespace panel {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr std::size_t kMaxBody = std::size_t{16} * 1024;
// A CSV import carries a day's logging: 20,000 clips fit with room to spare.
constexpr std::size_t kMaxImport = std::size_t{4} * 1024 * 1024;
constexpr const char* kImportPath = "/api/log.csv";
// Messages a stream client may fall behind by before it is dropped (about a second at 50/s).
constexpr std::size_t kClientQueue = 64;
constexpr std::size_t kMaxStreamClients = 512;
constexpr std::size_t kMaxConnections = 1024;
constexpr int kSendBuffer = 64 * 1024;
// The deck threads' exchanges are timed by the line; when the CPUs are short, feeding the
// stream's watchers should wait rather than they. Commands keep the normal priority.
constexpr int kStreamNice = 5;

void LowerPriority() {
    thread_local bool t_bLowered = false;
    if (!t_bLowered) {
        setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kStreamNice);
        t_bLowered = true;
    }
}
// At most one state message every 20 ms: 50 a second, twice the frame rate.
constexpr Millis kStreamInterval{20};
// A comment line now and then finds clients that went away while the deck was idle.
constexpr Millis kStreamKeepAlive{10000};
constexpr auto kCommandWait = std::chrono::seconds(10);

const char* const kActions =
    "connect, disconnect, play, stop, pause, ffwd, rew, shuttle, cue, mark, clearmarks, rate";

std::string Lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

void SendJson(httplib::Response& res, int status, const Json& body) {
    res.status = status;
    res.set_content(DumpJson(body), "application/json");
}

void SendError(httplib::Response& res, int status, const std::string& words) {
    SendJson(res, status, Json{{"error", words}});
}

std::string ContentType(const std::string& path) {
    static const std::map<std::string, std::string> types = {
        {".html", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".bmp", "image/bmp"},
        {".ico", "image/x-icon"},
        {".txt", "text/plain; charset=utf-8"},
        {".woff2", "font/woff2"},
    };
    const std::size_t dot = path.rfind('.');
    const auto it = dot == std::string::npos ? types.end() : types.find(Lower(path.substr(dot)));
    return it != types.end() ? it->second : "application/octet-stream";
}

// A whole number written in decimal digits only, within [lo, hi].
bool Digits(const std::string& s, long lo, long hi, long* out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const long v = std::stol(s);
    if (v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

bool IsIpLiteral(const std::string& host) {
    unsigned char buf[16];
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        return inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
    }
    return inet_pton(AF_INET, host.c_str(), buf) == 1;
}

bool IsLoopback(const std::string& addr) {
    unsigned char buf[16];
    if (addr == "localhost") {
        return true;
    }
    if (inet_pton(AF_INET, addr.c_str(), buf) == 1) {
        return buf[0] == 127;
    }
    return addr == "::1";
}

std::string RandomToken() {
    std::random_device rd;
    std::string out;
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) {
        const unsigned v = rd();
        for (int b = 0; b < 4; ++b) {
            out += hex[(v >> (b * 8)) & 0xF];
            out += hex[(v >> (b * 8 + 4)) & 0xF];
        }
    }
    return out;
}

bool SameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    unsigned char diff = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    }
    return diff == 0;
}

// One thread per connection: a stream client holds its connection for as long as it watches,
// so a fixed pool would let a few watchers lock everyone else out.
class ConnectionThreads : public httplib::TaskQueue {
  public:
    void enqueue(std::function<void()> fn) override {
        {
            // Past the cap, new connections wait in the kernel's backlog until one ends (idle
            // ones end after the 5 s keep-alive); threads are never made without bound.
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Changed.wait(lock, [this] { return m_nActive < kMaxConnections; });
            ++m_nActive;
        }
        auto task = [this, fn] {
            fn();
            Done();
        };
        try {
            std::thread(task).detach();
        } catch (const std::system_error&) {
            task();  // no thread to be had: serve it here rather than drop the socket
        }
    }
    void shutdown() override {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait(lock, [this] { return m_nActive == 0; });
    }

  private:
    void Done() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        --m_nActive;
        m_Changed.notify_all();
    }

    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::size_t m_nActive = 0;
};

// The stream's clients, each with a bounded queue of messages. Publishing never waits for a
// client: one that has fallen too far behind is dropped.
class EventHub {
  public:
    // One copy of a message for all the clients it goes to: the whole log can be megabytes.
    using Message = std::shared_ptr<const std::string>;
    struct Client {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<Message> queue;
        bool dropped = false;
    };

    std::shared_ptr<Client> Join(std::vector<Message> first) {
        auto client = std::make_shared<Client>();
        client->queue.assign(first.begin(), first.end());
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopped || m_Clients.size() >= kMaxStreamClients) {
            return nullptr;
        }
        m_Clients.insert(client);
        return client;
    }

    void Leave(const std::shared_ptr<Client>& client) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Clients.erase(client);
    }

    void Publish(const std::string& text) {
        const Message message = std::make_shared<const std::string>(text);
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const auto& c : m_Clients) {
            {
                std::lock_guard<std::mutex> clientLock(c->mutex);
                if (c->queue.size() >= kClientQueue) {
                    c->dropped = true;
                    c->queue.clear();
                } else if (!c->dropped) {
                    c->queue.push_back(message);
                }
            }
            c->ready.notify_one();
        }
    }

    void Stop() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStopped = true;
        for (const auto& c : m_Clients) {
            {
                std::lock_guard<std::mutex> clientLock(c->mutex);
                c->dropped = true;
            }
            c->ready.notify_one();
        }
    }

    std::size_t Count() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Clients.size();
    }

  private:
    mutable std::mutex m_Mutex;
    std::set<std::shared_ptr<Client>> m_Clients;
    bool m_bStopped = false;
};

const hostkit::RateInfo* RateFor(const ServeOptions& options, int port) {
    const auto it = options.rates.find(port);
    const hostkit::RateInfo* rate =
        it != options.rates.end() ? hostkit::FindRate(it->second) : nullptr;
    return rate != nullptr ? rate : hostkit::FindRate("25");
}

std::string Event(const char* name, const Json& data) {
    return std::string("event: ") + name + "\ndata: " + DumpJson(data) + "\n\n";
}

}  // namespace

class PanelServer::Impl {
  public:
    Impl(const Module& module, ServeOptions options)
        : m_Module(module), m_Options(std::move(options)) {
        if (m_Options.ports.empty()) {
            m_Options.ports.push_back(1);
        }
        for (const PanelAsset* a = PanelAssets(); a->path != nullptr; ++a) {
            m_Assets[a->path] = a;
        }
    }

    ~Impl() { Stop(); }

    bool Start(std::string* error);
    void Stop();
    std::string Url() const;
    int Port() const { return m_nBoundPort; }
    std::vector<std::string> Describe() const { return m_Description; }

  private:
    bool ParseListen(std::string* error);
    bool StartDecks(std::string* error);
    bool StartSim(int port, DeckWorker::StatusSource* status, std::string* error);
    void Routes();
    void DeckRoutes();
    void LogRoutes();
    httplib::Server::HandlerResponse Screen(const httplib::Request& req, httplib::Response& res);
    void Broadcast();
    void Changed();
    Json DecksJson() const;
    Json LogJson() const;
    DeckWorker* Find(const std::string& port) const;
    const hostkit::RateInfo* RateOf(int port) const;
    RateOfPort Rates() const {
        return [this](int p) { return RateOf(p); };
    }
    void PublishClips(const std::vector<Clip>& changed, const std::vector<int64_t>& deleted);
    EventHub::Message LogEvent();
    void RateAction(DeckWorker* deck, const Json& body, httplib::Response& res);
    void Edl(const httplib::Request& req, httplib::Response& res) const;

    void GetAsset(const std::string& path, httplib::Response& res) const;
    void GetArt(const httplib::Request& req, httplib::Response& res) const;
    void Events(httplib::Response& res);
    void Action(const httplib::Request& req, httplib::Response& res);
    void AddClip(const httplib::Request& req, httplib::Response& res);
    void EditClip(const httplib::Request& req, httplib::Response& res);
    void DeleteClip(const httplib::Request& req, httplib::Response& res);
    void ImportCsv(const httplib::Request& req, httplib::Response& res);

    const Module& m_Module;
    ServeOptions m_Options;
    std::map<std::string, const PanelAsset*> m_Assets;
    hostkit::FindPanelBitmapFn m_FindBitmap = nullptr;

    std::string m_ListenHost;
    int m_nListenPort = 0;
    int m_nBoundPort = 0;
    bool m_bLoopback = true;
    bool m_bWildcard = false;
    std::string m_SimDir;
    std::vector<std::unique_ptr<decksim::PtyServer>> m_Sims;
    std::map<int, std::unique_ptr<DeckWorker>> m_Decks;
    std::vector<std::string> m_Description;
    ClipLog m_Log;
    EventHub m_Hub;
    panel::FormatGate m_Gate;  // every deck's calls of Main
    std::mutex m_LogEventMutex;
    EventHub::Message m_LogEvent;  // the whole log as a stream event; made again after a change

    httplib::Server m_Http;
    std::thread m_Listener;
    std::thread m_Broadcaster;
    std::mutex m_Mutex;  // guards m_bDirty and m_bStopping for the broadcaster
    std::condition_variable m_Dirty;
    bool m_bDirty = true;
    bool m_bStopping = false;
    bool m_bStarted = false;
};

bool PanelServer::Impl::ParseListen(std::string* error) {
    const std::string& l = m_Options.listen;
    const std::size_t colon = l.rfind(':');
    long port = 0;
    if (colon == std::string::npos || !Digits(l.substr(colon + 1), 0, 65535, &port)) {
        *error = "--listen wants ADDR:PORT, e.g. 127.0.0.1:8055 or [::1]:8055";
        return false;
    }
    std::string host = l.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty()) {
        *error = "--listen wants an address before the port";
        return false;
    }
    m_ListenHost = host;
    m_nListenPort = static_cast<int>(port);
    m_bLoopback = IsLoopback(host);
    m_bWildcard = host == "0.0.0.0" || host == "::";
    if (!m_bLoopback && m_Options.token.empty()) {
        // Off loopback anyone on the network could drive the deck: a token is a must.
        m_Options.token = RandomToken();
    }
    return true;
}

namespace {

// The module never shows the ten status bytes; the virtual deck's model does.
DeckWorker::StatusSource SimStatus(decksim::PtyServer* sim) {
    return [sim]() -> std::optional<std::array<uint8_t, 10>> {
        const std::string hex = sim->Control("status");
        std::array<uint8_t, 10> bytes{};
        std::size_t pos = 0;
        for (uint8_t& b : bytes) {
            if (pos + 2 > hex.size()) {
                return std::nullopt;
            }
            b = static_cast<uint8_t>(std::strtoul(hex.substr(pos, 2).c_str(), nullptr, 16));
            pos += 3;
        }
        return bytes;
    };
}

}  // namespace

bool PanelServer::Impl::StartSim(int port, DeckWorker::StatusSource* status, std::string* error) {
    decksim::ServerOptions so;
    so.baud = m_Options.simBaud;
    // The virtual deck runs at the rate the server expects of it.
    so.fps = RateFor(m_Options, port)->fps;
    so.dropFrame = RateFor(m_Options, port)->base.dropFrame;
    // A link that follows the line across hang-ups, as a fixed port name would.
    so.link = m_SimDir + "/deck" + std::to_string(port);
    auto sim = std::make_unique<decksim::PtyServer>(so);
    if (!sim->Start(error)) {
        *error = "cannot start the virtual deck for port " + std::to_string(port) + ": " + *error;
        return false;
    }
    const std::string var = "TAPEDECK_COM" + std::to_string(port);
    setenv(var.c_str(), sim->DevicePath().c_str(), 1);
    *status = SimStatus(sim.get());
    m_Description.push_back(
        "port " + std::to_string(port) + ": virtual deck on " + sim->SlavePath() +
        (m_Options.simBaud > 0 ? " at " + std::to_string(m_Options.simBaud) + " baud" : ""));
    m_Sims.push_back(std::move(sim));
    return true;
}

bool PanelServer::Impl::StartDecks(std::string* error) {
    if (m_Options.sim) {
        char dir[] = "/tmp/deckctl-serve-XXXXXX";
        if (mkdtemp(dir) == nullptr) {
            *error =
                std::string("cannot make a folder for the virtual decks: ") + std::strerror(errno);
            return false;
        }
        m_SimDir = dir;
    }
    for (const int port : m_Options.ports) {
        if (m_Decks.count(port) != 0) {
            continue;
        }
        DeckWorker::StatusSource status;
        if (m_Options.sim && !StartSim(port, &status, error)) {
            return false;
        }
        const char* mapped = std::getenv(("TAPEDECK_COM" + std::to_string(port)).c_str());
        const std::string device =
            mapped != nullptr ? mapped : "/dev/ttyS" + std::to_string(port - 1);
        if (!m_Options.sim) {
            m_Description.push_back("port " + std::to_string(port) + ": " + device);
        }
        m_Decks[port] = std::make_unique<DeckWorker>(
            m_Module, port, device, status, [this] { Changed(); }, RateFor(m_Options, port),
            &m_Gate);
    }
    for (auto& [port, deck] : m_Decks) {
        deck->Start();
    }
    return true;
}

bool PanelServer::Impl::Start(std::string* error) {
    if (!ParseListen(error)) {
        return false;
    }
    const std::string logPath =
        m_Options.logPath.empty() ? DefaultClipLogPath() : m_Options.logPath;
    if (!m_Log.Open(logPath, error)) {
        return false;
    }
    std::string why;
    m_FindBitmap = hostkit::FindBitmapLookup(m_Module, &why);
    Routes();
    m_Http.new_task_queue = [] { return new ConnectionThreads; };
    // Only the CSV import may be this large; Screen holds every other request to kMaxBody.
    m_Http.set_payload_max_length(kMaxImport);
    m_Http.set_keep_alive_timeout(5);
    m_Http.set_read_timeout(5);
    m_Http.set_write_timeout(5);
    m_Http.set_tcp_nodelay(true);
    m_Http.set_socket_options([](socket_t sock) {
        const int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        // Connections inherit this from the listener. A small send buffer makes a client that
        // stops reading show as one within seconds, and bounds what the kernel holds for it.
        const int bytes = kSendBuffer;
        setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    });
    if (m_nListenPort == 0) {
        m_nBoundPort = m_Http.bind_to_any_port(m_ListenHost);
    } else {
        m_nBoundPort = m_Http.bind_to_port(m_ListenHost, m_nListenPort) ? m_nListenPort : -1;
    }
    if (m_nBoundPort <= 0) {
        *error = "cannot listen on " + m_Options.listen + " (in use, or not an address here)";
        return false;
    }
    if (!StartDecks(error)) {
        m_Http.stop();
        return false;
    }
    m_bStarted = true;
    m_Broadcaster = std::thread([this] { Broadcast(); });
    m_Listener = std::thread([this] { m_Http.listen_after_bind(); });
    return true;
}

void PanelServer::Impl::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping) {
            return;
        }
        m_bStopping = true;
    }
    m_Dirty.notify_all();
    m_Hub.Stop();
    m_Http.stop();
    if (m_Listener.joinable()) {
        m_Listener.join();
    }
    if (m_Broadcaster.joinable()) {
        m_Broadcaster.join();
    }
    for (auto& [port, deck] : m_Decks) {
        deck->Stop();
    }
    for (auto& sim : m_Sims) {
        sim->Stop();
    }
    if (!m_SimDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_SimDir, ec);
    }
}

std::string PanelServer::Impl::Url() const {
    std::string host = m_ListenHost;
    if (m_bWildcard) {
        char name[256] = {};
        host = gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    std::string url = "http://" + host + ":" + std::to_string(m_nBoundPort) + "/";
    if (!m_Options.token.empty()) {
        url += "?token=" + m_Options.token;
    }
    return url;
}

void PanelServer::Impl::Changed() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bDirty = true;
    }
    m_Dirty.notify_one();
}

void PanelServer::Impl::Broadcast() {
    LowerPriority();
    auto last = Clock::now() - kStreamInterval;
    std::unique_lock<std::mutex> lock(m_Mutex);
    for (;;) {
        m_Dirty.wait_for(lock, kStreamKeepAlive, [this] { return m_bDirty || m_bStopping; });
        if (m_bStopping) {
            return;
        }
        if (!m_bDirty) {
            lock.unlock();
            m_Hub.Publish(": still here\n\n");
            lock.lock();
            continue;
        }
        // Changes within one interval travel together.
        const auto next = last + kStreamInterval;
        if (Clock::now() < next) {
            m_Dirty.wait_until(lock, next, [this] { return m_bStopping; });
            if (m_bStopping) {
                return;
            }
        }
        m_bDirty = false;
        lock.unlock();
        last = Clock::now();
        m_Hub.Publish(Event("decks", DecksJson()));
        lock.lock();
    }
}

Json PanelServer::Impl::DecksJson() const {
    Json decks = Json::array();
    for (const auto& [port, deck] : m_Decks) {
        decks.push_back(DeckJson(deck->Snapshot()));
    }
    return Json{{"decks", decks}};
}

Json PanelServer::Impl::LogJson() const {
    Json clips = Json::array();
    for (const Clip& c : m_Log.List()) {
        clips.push_back(ClipJson(c));
    }
    return Json{{"clips", clips}};
}

DeckWorker* PanelServer::Impl::Find(const std::string& port) const {
    long n = 0;
    if (!Digits(port, 1, 255, &n)) {
        return nullptr;
    }
    const auto it = m_Decks.find(static_cast<int>(n));
    return it != m_Decks.end() ? it->second.get() : nullptr;
}

const hostkit::RateInfo* PanelServer::Impl::RateOf(int port) const {
    const auto it = m_Decks.find(port);
    return it != m_Decks.end() ? it->second->Rate() : nullptr;
}

// Every request passes here first: the Host header (DNS rebinding), the token, and for
// requests that change something, the Origin a browser names (another site's form).
httplib::Server::HandlerResponse PanelServer::Impl::Screen(const httplib::Request& req,
                                                           httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    const std::string host = Lower(req.get_header_value("Host"));
    const std::string port = std::to_string(m_nBoundPort);
    const std::size_t colon = host.rfind(':');
    const bool hasPort = colon != std::string::npos && host.back() != ']';
    const std::string name = hasPort ? host.substr(0, colon) : host;
    const std::string givenPort = hasPort ? host.substr(colon + 1) : "80";
    std::string listen = Lower(m_ListenHost);
    if (listen.find(':') != std::string::npos) {
        listen = "[" + listen + "]";
    }
    bool hostOk = givenPort == port && !name.empty();
    if (hostOk) {
        if (m_bLoopback) {
            hostOk =
                name == listen || name == "localhost" || name == "127.0.0.1" || name == "[::1]";
        } else if (m_bWildcard) {
            char self[256] = {};
            gethostname(self, sizeof self - 1);
            hostOk = IsIpLiteral(name) || name == Lower(self) || name == Lower(self) + ".local";
        } else {
            hostOk = name == listen;
        }
    }
    if (!hostOk) {
        SendError(res, 403,
                  "this server answers only requests addressed to " +
                      Url().substr(7, Url().find('/', 7) - 7) + "; the Host header said '" +
                      req.get_header_value("Host") + "'");
        return R::Handled;
    }
    if (!m_Options.token.empty()) {
        std::string given = req.get_param_value("token");
        const std::string auth = req.get_header_value("Authorization");
        if (auth.rfind("Bearer ", 0) == 0) {
            given = auth.substr(7);
        }
        if (!SameSecret(given, m_Options.token)) {
            SendError(res, 401,
                      given.empty() ? "this server needs its token: ?token=T or "
                                      "Authorization: Bearer T"
                                    : "wrong token");
            return R::Handled;
        }
    }
    if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin") &&
        req.get_header_value("Origin") != "http://" + req.get_header_value("Host")) {
        SendError(res, 403, "requests from another site's page are refused");
        return R::Handled;
    }
    // Refused before the body is read; what comes without a length is checked when read.
    const std::string length = req.get_header_value("Content-Length");
    if (req.path != kImportPath && length.size() > 0 &&
        (length.size() > 9 || std::strtoul(length.c_str(), nullptr, 10) > kMaxBody)) {
        SendError(res, 413, "the body is larger than 16 KiB");
        return R::Handled;
    }
    return R::Unhandled;
}

void PanelServer::Impl::GetAsset(const std::string& path, httplib::Response& res) const {
    const auto it = m_Assets.find(path);
    if (it == m_Assets.end()) {
        SendError(res, 404, "no such file: /" + path);
        return;
    }
    res.set_content(reinterpret_cast<const char*>(it->second->data), it->second->size,
                    ContentType(path).c_str());
}

void PanelServer::Impl::GetArt(const httplib::Request& req, httplib::Response& res) const {
    std::string name = req.matches[1];
    long number = 0;
    if (Digits(name, 0, 99999, &number)) {
        name = "#" + name;
    }
    const auto& names = hostkit::PanelBitmapNames();
    unsigned size = 0;
    const void* data = nullptr;
    if (m_FindBitmap != nullptr && std::find(names.begin(), names.end(), name) != names.end()) {
        data = m_FindBitmap(name.c_str(), &size);
    }
    if (data == nullptr || size == 0 || size > (16u << 20)) {
        SendError(res, 404, "the module has no panel bitmap " + name);
        return;
    }
    res.set_header("Cache-Control", "max-age=3600");
    res.set_content(static_cast<const char*>(data), size, "image/bmp");
}

void PanelServer::Impl::Events(httplib::Response& res) {
    auto client = m_Hub.Join(
        {std::make_shared<const std::string>("retry: 1000\n" + Event("decks", DecksJson())),
         LogEvent()});
    if (!client) {
        SendError(res, 503, "too many clients are watching; try again later");
        return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [client](std::size_t, httplib::DataSink& sink) {
            LowerPriority();  // this connection's thread serves the stream from now on
            std::deque<EventHub::Message> batch;
            {
                std::unique_lock<std::mutex> lock(client->mutex);
                client->ready.wait_for(lock, kStreamKeepAlive + Millis(1000),
                                       [&] { return client->dropped || !client->queue.empty(); });
                if (client->dropped) {
                    return false;
                }
                batch.swap(client->queue);
            }
            // In slices: the sink copies what it is given into a chunk of its own, and the whole
            // log for a hundred clients at once would be a hundred copies.
            constexpr std::size_t kSlice = std::size_t{64} * 1024;
            for (const EventHub::Message& m : batch) {
                for (std::size_t at = 0; at < m->size(); at += kSlice) {
                    if (!sink.write(m->data() + at, std::min(kSlice, m->size() - at))) {
                        return false;
                    }
                }
            }
            return true;
        },
        [this, client](bool) { m_Hub.Leave(client); });
}

namespace {

const std::map<std::string, DeckAction>& DeckActions() {
    static const std::map<std::string, DeckAction> actions = {
        {"connect", DeckAction::kConnect}, {"disconnect", DeckAction::kDisconnect},
        {"play", DeckAction::kPlay},       {"stop", DeckAction::kStop},
        {"pause", DeckAction::kPause},     {"ffwd", DeckAction::kFfwd},
        {"rew", DeckAction::kRew},         {"shuttle", DeckAction::kShuttle},
        {"cue", DeckAction::kCue}};
    return actions;
}

// Frames from {"timecode": ...} or {"frames": N}, checked against the deck's rate; "" when
// they are fine (or absent and not required), else what is wrong, for a 400.
std::string FramesOf(const Json& body, const DeckState& now, bool required,
                     std::optional<int64_t>* out) {
    const int64_t day = hostkit::DayFrames(now.rate->base);
    if (body.contains("timecode")) {
        if (!body["timecode"].is_string()) {
            return "timecode must be text, [-]HH:MM:SS:FF";
        }
        const hostkit::ParsedTimecode p =
            hostkit::ParseTimecode(body["timecode"].get<std::string>(), now.rate->base);
        if (!p.ok) {
            return "timecode " + p.error;
        }
        *out = p.frames;
    } else if (body.contains("frames")) {
        if (!body["frames"].is_number_integer() || body["frames"].get<int64_t>() >= day ||
            body["frames"].get<int64_t>() <= -day) {
            return "frames must be a whole number within 24 hours";
        }
        *out = body["frames"].get<int64_t>();
    } else if (required) {
        return "give {\"timecode\": \"HH:MM:SS:FF\"} or {\"frames\": N}";
    }
    return "";
}

// At 59.94 the module's arithmetic reaches a few labels by no count; "" when it reaches this.
std::string Sendable(int64_t frames, const DeckState& now) {
    const hostkit::TimeBase& base = now.rate->base;
    int64_t count = 0;
    if (hostkit::ModuleCountOfLabels(hostkit::FramesToLabels(frames, base), base, &count)) {
        return "";
    }
    return "the module cannot send " + hostkit::FormatTimecode(frames, base) + " at " +
           now.rate->name + " (its count at 60000/1001 skips it); cue a frame either side";
}

// The value a command takes from its body: the shuttle's speed or the cue's frames; "" when
// the body is good, else what is wrong, for a 400.
std::string CommandValue(DeckAction action, const Json& body, const DeckState& now,
                         int64_t* value) {
    *value = 0;
    if (action == DeckAction::kShuttle) {
        const Json speed = body.value("speed", Json());
        if (!speed.is_number_integer() || speed.get<int64_t>() < -4 || speed.get<int64_t>() > 4) {
            return "shuttle wants {\"speed\": N} with N from -4 to 4";
        }
        *value = speed.get<int64_t>();
    } else if (action == DeckAction::kCue) {
        std::optional<int64_t> target;
        std::string bad = FramesOf(body, now, true, &target);
        if (!bad.empty()) {
            return bad;
        }
        if (*target < 0 && now.videoSystem != 4) {
            return "the deck on port " + std::to_string(now.port) +
                   " has no times below zero (only video-system 4 decks do)";
        }
        *value = *target;
        return Sendable(*target, now);
    }
    return "";
}

// mark and clearmarks: the server's own, no command reaches the deck.
void MarkAction(DeckWorker* deck, const std::string& name, const Json& body,
                httplib::Response& res) {
    if (name == "mark") {
        const Json which = body.value("which", Json());
        if (!which.is_string() || (which != "in" && which != "out")) {
            SendError(res, 400, "mark wants {\"which\": \"in\"} or {\"which\": \"out\"}");
            return;
        }
        std::optional<int64_t> at;
        const std::string bad = FramesOf(body, deck->Snapshot(), false, &at);
        if (!bad.empty()) {
            SendError(res, 400, bad);
            return;
        }
        deck->Mark(which == "in", at);
    } else {
        deck->ClearMarks();
    }
    SendJson(res, 200, ReplyJson(DeckReply{true, std::nullopt, std::nullopt, ""}));
}

}  // namespace

void PanelServer::Impl::Action(const httplib::Request& req, httplib::Response& res) {
    DeckWorker* deck = Find(req.matches[1]);
    if (deck == nullptr) {
        SendError(res, 404, "no deck on port '" + std::string(req.matches[1]) + "'");
        return;
    }
    const std::string name = req.matches[2];
    const auto it = DeckActions().find(name);
    const bool marks = name == "mark" || name == "clearmarks";
    if (it == DeckActions().end() && !marks && name != "rate") {
        SendError(res, 404, "unknown action '" + name + "'; the actions are " + kActions);
        return;
    }
    const Json body = req.body.empty() ? Json::object() : Json::parse(req.body, nullptr, false);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object");
        return;
    }
    if (marks) {
        MarkAction(deck, name, body, res);
        return;
    }
    if (name == "rate") {
        RateAction(deck, body, res);
        return;
    }
    int64_t value = 0;
    const std::string bad = CommandValue(it->second, body, deck->Snapshot(), &value);
    if (!bad.empty()) {
        SendError(res, 400, bad);
        return;
    }
    std::future<DeckReply> reply = deck->Submit(it->second, value);
    if (reply.wait_for(kCommandWait) != std::future_status::ready) {
        SendError(res, 504, "the deck's thread did not take the command within 10 seconds");
        return;
    }
    SendJson(res, 200, ReplyJson(reply.get()));
}

void PanelServer::Impl::RateAction(DeckWorker* deck, const Json& body, httplib::Response& res) {
    const Json rate = body.value("rate", Json());
    const hostkit::RateInfo* r =
        rate.is_string() ? hostkit::FindRate(rate.get<std::string>()) : nullptr;
    if (r == nullptr) {
        SendError(res, 400, "rate wants {\"rate\": R} with R one of " + hostkit::RateNames());
        return;
    }
    std::future<DeckReply> reply = deck->Submit(DeckAction::kRate, r - hostkit::Rates().data());
    if (reply.wait_for(kCommandWait) != std::future_status::ready) {
        SendError(res, 504, "the deck's thread did not take the command within 10 seconds");
        return;
    }
    SendJson(res, 200, ReplyJson(reply.get()));
}

// The whole log for a client that connects, made once per change of the log and shared.
EventHub::Message PanelServer::Impl::LogEvent() {
    std::lock_guard<std::mutex> lock(m_LogEventMutex);
    if (!m_LogEvent) {
        m_LogEvent = std::make_shared<const std::string>(Event("log", LogJson()));
    }
    return m_LogEvent;
}

void PanelServer::Impl::PublishClips(const std::vector<Clip>& changed,
                                     const std::vector<int64_t>& deleted) {
    {
        std::lock_guard<std::mutex> lock(m_LogEventMutex);
        m_LogEvent.reset();
    }
    // Only what changed: the whole log goes to a client once, when it connects.
    Json clips = Json::array();
    for (const Clip& c : changed) {
        clips.push_back(ClipJson(c));
    }
    m_Hub.Publish(Event("clips", Json{{"clips", clips}, {"deleted", deleted}}));
}

void PanelServer::Impl::Edl(const httplib::Request& req, httplib::Response& res) const {
    long port = 0;
    long first = 0;
    long last = 0;
    const auto number = [&req](const char* key, long hi, long* out) {
        return !req.has_param(key) || Digits(req.get_param_value(key), 1, hi, out);
    };
    if (!number("port", 255, &port) || !number("first", 999999999, &first) ||
        !number("last", 999999999, &last) || (last != 0 && first > last)) {
        SendError(res, 400,
                  "port must be a deck's number and first and last clip numbers, first <= last");
        return;
    }
    const std::string title =
        req.has_param("title") ? req.get_param_value("title") : "TAPEDECK 5500";
    const std::string edl =
        ClipsEdl(SelectClips(m_Log.List(), static_cast<int>(port), first, last), title);
    res.set_header("Content-Disposition", "attachment; filename=\"cliplog.edl\"");
    res.set_content(edl, "text/plain; charset=utf-8");
}

void PanelServer::Impl::AddClip(const httplib::Request& req, httplib::Response& res) {
    const Json body = Json::parse(req.body, nullptr, false);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the clip's fields");
        return;
    }
    const Clip c = m_Log.Add(body, Rates());
    SendJson(res, 201, ClipJson(c));
    PublishClips({c}, {});
}

void PanelServer::Impl::EditClip(const httplib::Request& req, httplib::Response& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    const Json body = Json::parse(req.body, nullptr, false);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the fields to change");
        return;
    }
    const Clip c = m_Log.Edit(id, body, Rates());
    SendJson(res, 200, ClipJson(c));
    PublishClips({c}, {});
}

void PanelServer::Impl::DeleteClip(const httplib::Request& req, httplib::Response& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id) || !m_Log.Delete(id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    SendJson(res, 200, Json{{"ok", true}});
    PublishClips({}, {id});
}

void PanelServer::Impl::ImportCsv(const httplib::Request& req, httplib::Response& res) {
    const std::vector<Json> rows = ParseClipsCsv(req.body);
    const std::vector<Clip> changed = m_Log.Import(rows, Rates());
    SendJson(res, 200, LogJson());
    PublishClips(changed, {});
}

namespace {

using Req = httplib::Request;
using Res = httplib::Response;

// Client mistakes and failures of the log file become JSON errors, never a crash.
template <typename Handler>
httplib::Server::Handler Guarded(Handler handler) {
    return [handler](const Req& req, Res& res) {
        try {
            if (req.body.size() > kMaxBody && req.path != kImportPath) {
                SendError(res, 413, "the body is larger than 16 KiB");
                return;
            }
            handler(req, res);
        } catch (const ClipError& e) {
            SendError(res, 400, e.what());
        } catch (const ClipLimit& e) {
            SendError(res, 413, e.what());
        } catch (const ExportConflict& e) {
            SendError(res, 409, e.what());
        } catch (const std::out_of_range& e) {
            SendError(res, 404, e.what());
        } catch (const std::exception& e) {
            SendError(res, 500, e.what());
        }
    };
}

}  // namespace

void PanelServer::Impl::Routes() {
    m_Http.set_pre_routing_handler([this](const Req& req, Res& res) { return Screen(req, res); });
    m_Http.set_error_handler([](const Req&, Res& res) {
        if (res.body.empty()) {
            const char* words = res.status == 413   ? "the body is larger than 4 MiB (a CSV "
                                                      "import's limit; other requests take 16 KiB)"
                                : res.status == 404 ? "no such page or API"
                                : res.status == 405 ? "method not allowed here"
                                                    : "the request was refused";
            SendError(res, res.status, words);
        }
    });
    m_Http.set_exception_handler([](const Req&, Res& res, const std::exception_ptr&) {
        SendError(res, 500, "the server failed on this request");
    });
    httplib::Headers headers = {{"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"},
                                {"X-Frame-Options", "DENY"}};
    m_Http.set_default_headers(headers);
    DeckRoutes();
    LogRoutes();
    // Last: everything else is a file of the page.
    m_Http.Get(R"(/(.+))",
               Guarded([this](const Req& req, Res& res) { GetAsset(req.matches[1], res); }));
}

void PanelServer::Impl::DeckRoutes() {
    m_Http.Get("/", Guarded([this](const Req&, Res& res) { GetAsset("index.html", res); }));
    m_Http.Get(R"(/art/(.+))", Guarded([this](const Req& req, Res& res) { GetArt(req, res); }));
    m_Http.Get("/api/decks", Guarded([this](const Req&, Res& res) {
                   res.set_header("Cache-Control", "no-store");
                   SendJson(res, 200, DecksJson());
               }));
    m_Http.Get("/api/events", Guarded([this](const Req&, Res& res) { Events(res); }));
    m_Http.Post(R"(/api/decks/([^/]+)/([^/]+))",
                Guarded([this](const Req& req, Res& res) { Action(req, res); }));
}

void PanelServer::Impl::LogRoutes() {
    m_Http.Get("/api/log", Guarded([this](const Req&, Res& res) {
                   res.set_header("Cache-Control", "no-store");
                   SendJson(res, 200, LogJson());
               }));
    m_Http.Post("/api/log", Guarded([this](const Req& req, Res& res) { AddClip(req, res); }));
    m_Http.Put(R"(/api/log/([^/]+))",
               Guarded([this](const Req& req, Res& res) { EditClip(req, res); }));
    m_Http.Delete(R"(/api/log/([^/]+))",
                  Guarded([this](const Req& req, Res& res) { DeleteClip(req, res); }));
    m_Http.Get("/api/log.csv", Guarded([this](const Req&, Res& res) {
                   res.set_header("Content-Disposition", "attachment; filename=\"cliplog.csv\"");
                   res.set_content(ClipsCsv(m_Log.List()), "text/csv; charset=utf-8");
               }));
    m_Http.Get("/api/log.edl", Guarded([this](const Req& req, Res& res) { Edl(req, res); }));
    m_Http.Post("/api/log.csv", Guarded([this](const Req& req, Res& res) { ImportCsv(req, res); }));
}

PanelServer::PanelServer(const Module& module, ServeOptions options)
    : m_Impl(std::make_unique<Impl>(module, std::move(options))) {}

PanelServer::~PanelServer() = default;

bool PanelServer::Start(std::string* error) {
    return m_Impl->Start(error);
}

std::string PanelServer::Url() const {
    return m_Impl->Url();
}

int PanelServer::Port() const {
    return m_Impl->Port();
}

std::vector<std::string> PanelServer::Describe() const {
    return m_Impl->Describe();
}

void PanelServer::Stop() {
    m_Impl->Stop();
}

int RunServe(const Module& module, const ServeOptions& options, std::ostream& out) {
    // Signals are taken by this thread alone, with sigwait; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a browser that went away is not fatal

    PanelServer server(module, options);
    std::string error;
    if (!server.Start(&error)) {
        std::fprintf(stderr, "deckctl: %s\n", error.c_str());
        return 1;
    }
    out << "panel: " << server.Url() << '\n';
    for (const std::string& line : server.Describe()) {
        out << "  " << line << '\n';
    }
    out << "  Ctrl-C ends the server" << std::endl;
    int sig = 0;
    sigwait(&signals, &sig);
    server.Stop();
    return 0;
}

}  // namespace panel
