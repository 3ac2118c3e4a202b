#include "tools/panel/serve.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <system_error>
#include <thread>

#include "tools/decksim/pty_server.h"
#include "tools/hostkit/bitmaps.h"
#include "tools/hostkit/timecode.h"
#include "tools/panel/clip_export.h"
#include "tools/panel/clip_log.h"
#include "tools/panel/deck_worker.h"
#include "tools/panel/format_gate.h"
#include "tools/panel/http_server.h"
#include "tools/panel/panel_assets.h"
#include "tools/panel/token.h"

namespace panel {

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// A CSV import carries a day's logging: 20,000 clips fit with room to spare.
constexpr std::size_t kMaxImport = std::size_t{4} << 20;
// The deck threads' exchanges are timed by the line; when the CPUs are short, reading
// requests and feeding the stream's watchers should wait rather than they. Commands keep the
// normal priority: their handlers run on the HTTP layer's workers.
constexpr int kStreamNice = 5;
// HTTP workers beyond those the decks' waiting commands may hold.
constexpr int kSpareWorkers = 32;

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

void SendJson(HttpResponse& res, int status, const Json& body) {
    res.Json(status, DumpJson(body));
}

void SendError(HttpResponse& res, int status, const std::string& words) {
    res.Error(status, words);
}

// What a deck command came to: 504 if the deck's thread never took it, 503 if it was
// refused unrun, else the deck's own answer (which may be a refusal of the deck's).
void SendCommandReply(HttpResponse& res, const std::optional<DeckReply>& reply) {
    if (!reply) {
        SendError(res, 504, "the deck's thread did not take the command within 10 seconds");
    } else if (reply->busy) {
        SendError(res, 503, reply->error);
    } else {
        SendJson(res, 200, ReplyJson(*reply));
    }
}

void SetContent(HttpResponse& res, std::string body, const std::string& type) {
    res.body = std::move(body);
    res.contentType = type;
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
    bool Listen(std::string* error);
    std::optional<HttpResponse> Screen(const HttpRequest& req) const;
    bool HostOk(const HttpRequest& req) const;
    std::string GivenToken(const HttpRequest& req) const;
    std::string CookieName() const { return "tapedeck5500-" + std::to_string(m_nBoundPort); }
    void Broadcast();
    void NoteAnswering();
    void ErrorLine(const std::string& line) const;
    void Changed();
    Json DecksJson() const;
    Json LogJson() const;
    DeckWorker* Find(const std::string& port) const;
    const hostkit::RateInfo* RateOf(int port) const;
    RateOfPort Rates() const {
        return [this](int p) { return RateOf(p); };
    }
    void PublishClips(const std::vector<Clip>& changed, const std::vector<int64_t>& deleted);
    StreamMessage LogEvent();
    void RateAction(DeckWorker* deck, const Json& body, HttpResponse& res);
    void Edl(const HttpRequest& req, HttpResponse& res) const;

    void GetPage(const HttpRequest& req, HttpResponse& res) const;
    void GetAsset(const std::string& path, HttpResponse& res) const;
    void GetArt(const HttpRequest& req, HttpResponse& res) const;
    void Events(HttpResponse& res);
    void Action(const HttpRequest& req, HttpResponse& res);
    void AddClip(const HttpRequest& req, HttpResponse& res);
    void EditClip(const HttpRequest& req, HttpResponse& res);
    void DeleteClip(const HttpRequest& req, HttpResponse& res);
    void ImportCsv(const HttpRequest& req, HttpResponse& res);

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
    FormatGate m_Gate;  // every deck's calls of Main
    std::mutex m_LogEventMutex;
    StreamMessage m_LogEvent;  // the whole log as a stream event; made again after a change
    std::string m_Token;
    TokenFile m_TokenFile;
    std::map<int, bool> m_Answering;  // the broadcaster's last view, for the error log

    std::unique_ptr<HttpServer> m_Http;
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
    // A token on loopback too: any local user or process can reach a loopback port.
    std::string warning;
    if (!ResolveToken({m_Options.tokenFile, m_Options.token}, &m_Token, &warning, error)) {
        return false;
    }
    if (!warning.empty()) {
        std::fprintf(stderr, "deckctl serve: %s\n", warning.c_str());
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

bool PanelServer::Impl::Listen(std::string* error) {
    HttpOptions o;
    o.host = m_ListenHost;
    o.port = m_nListenPort;
    o.ioNice = kStreamNice;
    // Every deck's waiting commands at once still leave workers for the log and the others.
    o.workers =
        kSpareWorkers + static_cast<int>(m_Options.ports.size() * (DeckWorker::kMaxQueued + 1));
    o.headers = {{"X-Content-Type-Options", "nosniff"},
                 {"Referrer-Policy", "no-referrer"},
                 {"X-Frame-Options", "DENY"}};
    if (!m_Options.quiet) {
        o.log = [this](const std::string& line) { ErrorLine(line); };
    }
    m_Http = std::make_unique<HttpServer>(o);
    Routes();
    m_Http->Screen([this](const HttpRequest& req) { return Screen(req); });
    if (!m_Http->Start(error)) {
        return false;
    }
    m_nBoundPort = m_Http->Port();
    return m_TokenFile.Write(m_nBoundPort, m_Token, error);
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
    if (!Listen(error)) {
        return false;
    }
    if (!StartDecks(error)) {
        m_Http->Stop();
        return false;
    }
    m_Description.push_back("the token for scripts: " + m_TokenFile.Path());
    m_bStarted = true;
    m_Broadcaster = std::thread([this] { Broadcast(); });
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
    if (m_Http) {
        m_Http->Stop();
    }
    m_TokenFile.Remove();
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

void PanelServer::Impl::ErrorLine(const std::string& line) const {
    // One write per line, so that lines from several threads do not interleave.
    const std::string out = "deckctl serve: " + line + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
}

std::string PanelServer::Impl::Url() const {
    std::string host = m_ListenHost;
    if (m_bWildcard) {
        char name[256] = {};
        host = gethostname(name, sizeof name - 1) == 0 ? name : "localhost";
    } else if (host.find(':') != std::string::npos) {
        host = "[" + host + "]";
    }
    return "http://" + host + ":" + std::to_string(m_nBoundPort) + "/?token=" + m_Token;
}

void PanelServer::Impl::Changed() {
    bool wasDirty = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        wasDirty = m_bDirty;
        m_bDirty = true;
    }
    // Sixteen decks each change about 37 times a second; the broadcaster sends at most 50
    // messages a second and needs waking only once per message.
    if (!wasDirty) {
        m_Dirty.notify_one();
    }
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
            m_Http->Publish(": still here\n\n");
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
        // Nobody watching, nothing to make: a client that connects gets the whole state then.
        if (m_Http->Streams() > 0) {
            m_Http->Publish(Event("decks", DecksJson()));
        }
        NoteAnswering();
        lock.lock();
    }
}

// The error log's line for a deck that stopped answering, or that answers again.
void PanelServer::Impl::NoteAnswering() {
    if (m_Options.quiet) {
        return;
    }
    for (const auto& [port, deck] : m_Decks) {
        const DeckState d = deck->Snapshot();
        const auto seen = m_Answering.find(port);
        if (seen == m_Answering.end()) {
            if (d.answering) {
                m_Answering[port] = true;  // from its first answer on
            }
        } else if (seen->second != d.answering) {
            seen->second = d.answering;
            ErrorLine("the deck on port " + std::to_string(port) + " (" + d.device + ") " +
                      (d.answering ? "answers again" : "stopped answering"));
        }
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

bool PanelServer::Impl::HostOk(const HttpRequest& req) const {
    const std::string host = Lower(req.Header("Host"));
    const std::size_t colon = host.rfind(':');
    const bool hasPort = colon != std::string::npos && host.back() != ']';
    const std::string name = hasPort ? host.substr(0, colon) : host;
    const std::string givenPort = hasPort ? host.substr(colon + 1) : "80";
    std::string listen = Lower(m_ListenHost);
    if (listen.find(':') != std::string::npos) {
        listen = "[" + listen + "]";
    }
    if (givenPort != std::to_string(m_nBoundPort) || name.empty()) {
        return false;
    }
    if (m_bLoopback) {
        return name == listen || name == "localhost" || name == "127.0.0.1" || name == "[::1]";
    }
    if (m_bWildcard) {
        char self[256] = {};
        gethostname(self, sizeof self - 1);
        return IsIpLiteral(name) || name == Lower(self) || name == Lower(self) + ".local";
    }
    return name == listen;
}

// The token as scripts give it (Authorization: Bearer), as the printed URL has it, or as the
// page's cookie carries it.
std::string PanelServer::Impl::GivenToken(const HttpRequest& req) const {
    const std::string auth = req.Header("Authorization");
    if (auth.rfind("Bearer ", 0) == 0) {
        return auth.substr(7);
    }
    if (req.HasParam("token")) {
        return req.Param("token");
    }
    return req.Cookie(CookieName());
}

// Every request passes here once its header is in, before its body is read: the Host header
// (DNS rebinding), the token, and for requests that change something, the Origin a browser
// names (another site's form).
std::optional<HttpResponse> PanelServer::Impl::Screen(const HttpRequest& req) const {
    HttpResponse res;
    if (!HostOk(req)) {
        SendError(res, 403,
                  "this server answers only requests addressed to " +
                      Url().substr(7, Url().find('/', 7) - 7) + "; the Host header said '" +
                      req.Header("Host") + "'");
        return res;
    }
    const std::string given = GivenToken(req);
    if (!SameToken(given, m_Token)) {
        SendError(res, 401,
                  given.empty() ? "this server needs its token: Authorization: Bearer T, or "
                                  "open the URL it printed"
                                : "wrong token");
        return res;
    }
    if (req.method != "GET" && req.method != "HEAD" && req.HasHeader("Origin") &&
        req.Header("Origin") != "http://" + req.Header("Host")) {
        SendError(res, 403, "requests from another site's page are refused");
        return res;
    }
    return std::nullopt;
}

// The page. Opened through the printed URL, it moves the token into a cookie that its
// scripts cannot read and that no other site's page sends; the page then drops the token
// from the address bar.
void PanelServer::Impl::GetPage(const HttpRequest& req, HttpResponse& res) const {
    GetAsset("index.html", res);
    if (req.HasParam("token")) {
        res.headers.emplace_back(
            "Set-Cookie", CookieName() + "=" + m_Token + "; Path=/; HttpOnly; SameSite=Strict");
    }
    res.headers.emplace_back("Cache-Control", "no-store");
}

void PanelServer::Impl::GetAsset(const std::string& path, HttpResponse& res) const {
    const auto it = m_Assets.find(path);
    if (it == m_Assets.end()) {
        SendError(res, 404, "no such file: /" + path);
        return;
    }
    SetContent(res, std::string(reinterpret_cast<const char*>(it->second->data), it->second->size),
               ContentType(path));
}

void PanelServer::Impl::GetArt(const HttpRequest& req, HttpResponse& res) const {
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
    res.headers.emplace_back("Cache-Control", "max-age=3600");
    SetContent(res, std::string(static_cast<const char*>(data), size), "image/bmp");
}

void PanelServer::Impl::Events(HttpResponse& res) {
    // The whole state first; the broadcaster's messages follow. A client that falls 64
    // messages behind is dropped by the HTTP layer.
    res.StartStream(
        {std::make_shared<const std::string>("retry: 1000\n" + Event("decks", DecksJson())),
         LogEvent()});
    res.headers.emplace_back("Cache-Control", "no-store");
    res.headers.emplace_back("X-Accel-Buffering", "no");
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

// A mark at a given time and clearmarks are the server's own: true once answered here. A mark
// of the deck's current time is left to the deck's thread, which reads the time for it.
bool MarkAction(DeckWorker* deck, const std::string& name, const Json& body, HttpResponse& res) {
    if (name == "mark") {
        const Json which = body.value("which", Json());
        if (!which.is_string() || (which != "in" && which != "out")) {
            SendError(res, 400, "mark wants {\"which\": \"in\"} or {\"which\": \"out\"}");
            return true;
        }
        std::optional<int64_t> at;
        const std::string bad = FramesOf(body, deck->Snapshot(), false, &at);
        if (!bad.empty()) {
            SendError(res, 400, bad);
            return true;
        }
        if (!at) {
            return false;
        }
        deck->Mark(which == "in", *at);
    } else {
        deck->ClearMarks();
    }
    SendJson(res, 200, ReplyJson(DeckReply{true, std::nullopt, std::nullopt, ""}));
    return true;
}

}  // namespace

void PanelServer::Impl::Action(const HttpRequest& req, HttpResponse& res) {
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
    const Json body = req.body.empty() ? Json::object() : ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object");
        return;
    }
    if (marks && MarkAction(deck, name, body, res)) {
        return;
    }
    if (name == "rate") {
        RateAction(deck, body, res);
        return;
    }
    const DeckAction action = marks ? DeckAction::kMark : it->second;
    int64_t value = marks && body.at("which") == "in" ? 1 : 0;
    const std::string bad = marks ? "" : CommandValue(action, body, deck->Snapshot(), &value);
    if (!bad.empty()) {
        SendError(res, 400, bad);
        return;
    }
    // A command not taken in time is withdrawn, so a client told 504 knows it never ran.
    const std::optional<DeckReply> reply = deck->Command(action, value, kCommandWait);
    SendCommandReply(res, reply);
}

void PanelServer::Impl::RateAction(DeckWorker* deck, const Json& body, HttpResponse& res) {
    const Json rate = body.value("rate", Json());
    const hostkit::RateInfo* r =
        rate.is_string() ? hostkit::FindRate(rate.get<std::string>()) : nullptr;
    if (r == nullptr) {
        SendError(res, 400, "rate wants {\"rate\": R} with R one of " + hostkit::RateNames());
        return;
    }
    const std::optional<DeckReply> reply =
        deck->Command(DeckAction::kRate, r - hostkit::Rates().data(), kCommandWait);
    SendCommandReply(res, reply);
}

// The whole log for a client that connects, made once per change of the log and shared.
StreamMessage PanelServer::Impl::LogEvent() {
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
    m_Http->Publish(Event("clips", Json{{"clips", clips}, {"deleted", deleted}}));
}

void PanelServer::Impl::Edl(const HttpRequest& req, HttpResponse& res) const {
    long port = 0;
    long first = 0;
    long last = 0;
    const auto number = [&req](const char* key, long hi, long* out) {
        return !req.HasParam(key) || Digits(req.Param(key), 1, hi, out);
    };
    if (!number("port", 255, &port) || !number("first", 999999999, &first) ||
        !number("last", 999999999, &last) || (last != 0 && first > last)) {
        SendError(res, 400,
                  "port must be a deck's number and first and last clip numbers, first <= last");
        return;
    }
    const std::string title = req.HasParam("title") ? req.Param("title") : "TAPEDECK 5500";
    const std::string edl =
        ClipsEdl(SelectClips(m_Log.List(), static_cast<int>(port), first, last), title);
    res.headers.emplace_back("Content-Disposition", "attachment; filename=\"cliplog.edl\"");
    SetContent(res, edl, "text/plain; charset=utf-8");
}

void PanelServer::Impl::AddClip(const HttpRequest& req, HttpResponse& res) {
    const Json body = ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the clip's fields");
        return;
    }
    const Clip c = m_Log.Add(body, Rates());
    SendJson(res, 201, ClipJson(c));
    PublishClips({c}, {});
}

void PanelServer::Impl::EditClip(const HttpRequest& req, HttpResponse& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    const Json body = ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the fields to change");
        return;
    }
    const Clip c = m_Log.Edit(id, body, Rates());
    SendJson(res, 200, ClipJson(c));
    PublishClips({c}, {});
}

void PanelServer::Impl::DeleteClip(const HttpRequest& req, HttpResponse& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id) || !m_Log.Delete(id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    SendJson(res, 200, Json{{"ok", true}});
    PublishClips({}, {id});
}

void PanelServer::Impl::ImportCsv(const HttpRequest& req, HttpResponse& res) {
    const std::vector<Json> rows = ParseClipsCsv(req.body);
    const std::vector<Clip> changed = m_Log.Import(rows, Rates());
    SendJson(res, 200, LogJson());
    PublishClips(changed, {});
}

namespace {

using Req = HttpRequest;
using Res = HttpResponse;
constexpr HttpRun kWorker = HttpRun::kWorker;

// Client mistakes and failures of the log file become JSON errors, never a crash.
template <typename Handler>
HttpHandler Guarded(Handler handler) {
    return [handler](const Req& req, Res& res) {
        try {
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

// Handlers that wait on a deck or on the log's file run on the HTTP layer's workers; the
// rest on its I/O threads.
void PanelServer::Impl::Routes() {
    DeckRoutes();
    LogRoutes();
    // Last: everything else is a file of the page.
    m_Http->Route("GET", "/(.+)",
                  Guarded([this](const Req& req, Res& res) { GetAsset(req.matches[1], res); }));
}

void PanelServer::Impl::DeckRoutes() {
    HttpServer& http = *m_Http;
    http.Route("GET", "/", Guarded([this](const Req& req, Res& res) { GetPage(req, res); }));
    http.Route("GET", "/art/(.+)", Guarded([this](const Req& req, Res& res) { GetArt(req, res); }));
    http.Route("GET", "/api/decks", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Cache-Control", "no-store");
                   SendJson(res, 200, DecksJson());
               }));
    http.Route("GET", "/api/events", Guarded([this](const Req&, Res& res) { Events(res); }),
               kWorker);
    http.Route("POST", "/api/decks/([^/]+)/([^/]+)",
               Guarded([this](const Req& req, Res& res) { Action(req, res); }), kWorker);
}

void PanelServer::Impl::LogRoutes() {
    HttpServer& http = *m_Http;
    http.Route("GET", "/api/log", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Cache-Control", "no-store");
                   SendJson(res, 200, LogJson());
               }),
               kWorker);
    http.Route("POST", "/api/log", Guarded([this](const Req& req, Res& res) { AddClip(req, res); }),
               kWorker);
    http.Route("PUT", "/api/log/([^/]+)",
               Guarded([this](const Req& req, Res& res) { EditClip(req, res); }), kWorker);
    http.Route("DELETE", "/api/log/([^/]+)",
               Guarded([this](const Req& req, Res& res) { DeleteClip(req, res); }), kWorker);
    http.Route("GET", "/api/log.csv", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Content-Disposition",
                                            "attachment; filename=\"cliplog.csv\"");
                   SetContent(res, ClipsCsv(m_Log.List()), "text/csv; charset=utf-8");
               }),
               kWorker);
    http.Route("GET", "/api/log.edl", Guarded([this](const Req& req, Res& res) { Edl(req, res); }),
               kWorker);
    http.Route("POST", "/api/log.csv",
               Guarded([this](const Req& req, Res& res) { ImportCsv(req, res); }), kWorker,
               kMaxImport);
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
