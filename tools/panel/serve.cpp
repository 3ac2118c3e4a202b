#include "tools/panel/serve.h"

#include <arpa/inet.h>
#include <malloc.h>
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

#include "tools/broker/hub_link.h"
#include "tools/cliplog/clip_export.h"
#include "tools/cliplog/clip_log.h"
#include "tools/decks/deck_action.h"
#include "tools/decks/deck_worker.h"
#include "tools/decks/format_gate.h"
#include "tools/decksim/pty_server.h"
#include "tools/decksim/video_stream.h"
#include "tools/hostkit/bitmaps.h"
#include "tools/hostkit/timecode.h"
#include "tools/http/http_server.h"
#include "tools/http/token.h"
#include "tools/panel/capture_batches.h"
#include "tools/panel/panel_assets.h"

namespace panel {

using cliplog::ClipError;
using cliplog::ClipJson;
using cliplog::ClipLimit;
using cliplog::ClipLog;
using cliplog::ClipsCsv;
using cliplog::ClipsEdl;
using cliplog::DefaultClipLogPath;
using cliplog::ExportConflict;
using cliplog::LogChange;
using cliplog::LogResult;
using cliplog::LogSaved;
using cliplog::LogState;
using cliplog::LogView;
using cliplog::RateOfDeck;
using cliplog::SelectClips;
using decks::ActionAnswer;
using decks::DeckState;
using decks::DeckWorker;
using decks::FormatGate;
using decks::RunDeckAction;
using hostkit::DumpJson;
using hostkit::Json;
using hostkit::Module;
using hostkit::ParseJson;
using http::HttpHandler;
using http::HttpLater;
using http::HttpOptions;
using http::HttpRequest;
using http::HttpResponse;
using http::HttpRun;
using http::HttpServer;
using http::HttpVerdict;
using http::ResolveToken;
using http::SameToken;
using http::StreamMessage;
using http::TokenFile;

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

// A failure as the client hears it: in words, with the status its kind calls for.
void SendFailure(HttpResponse& res, const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
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
    } catch (...) {
        SendError(res, 500, "the server failed on this request");
    }
}

// {"seq": N, "clips": [CLIP, ...]}, the clips as the file has them: not encoded again. seq
// counts the log's saves, as the stream's changes carry it.
std::string LogBody(const LogState& log) {
    const std::string_view clips = log.ClipsJson();
    std::string body;
    body.reserve(clips.size() + 40);
    body += "{\"seq\":" + std::to_string(log.seq) + ",\"clips\":";
    body += clips;
    body += "}";
    return body;
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
        // A hub's decks are the machines' on the broker; a server's own, port 1 when none.
        if (m_Options.ports.empty() && !m_Options.broker.hub) {
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
    int Port() const { return m_Http ? m_Http->Port() : 0; }
    std::vector<std::string> Describe() const { return m_Description; }

  private:
    bool ParseListen(std::string* error);
    bool StartDecks(std::string* error);
    bool StartSim(int port, DeckWorker::StatusSource* status, std::string* error);
    void Routes();
    void DeckRoutes();
    void LogRoutes();
    void CaptureRoutes();
    bool StartCaptures(std::string* error);
    void Captures(HttpResponse& res, const std::function<ActionAnswer()>& run);
    bool Listen(std::string* error);
    bool CheckBroker(std::string* error);
    bool JoinBroker(std::string* error);
    HttpVerdict Screen(const HttpRequest& req) const;
    bool HostOk(const HttpRequest& req) const;
    std::string GivenToken(const HttpRequest& req) const;
    bool PageFile(const std::string& path) const;
    void Broadcast();
    void NoteAnswering();
    static void ErrorLine(const std::string& line);
    void Changed();
    Json DecksJson() const;
    DeckWorker* Find(const std::string& port) const;
    const hostkit::RateInfo* RateOf(int port) const;
    RateOfDeck Rates() const {
        return [this](const std::string& machine, int port) {
            return m_Hub ? m_Hub->RateOf(machine, port) : machine.empty() ? RateOf(port) : nullptr;
        };
    }
    void PublishClips(const LogSaved& saved);
    StreamMessage LogEvent(const LogView& view);
    void Change(LogChange change, HttpResponse& res,
                std::function<void(const LogResult&, HttpResponse&)> answer);
    void Edl(const HttpRequest& req, HttpResponse& res) const;

    void GetPage(const HttpRequest& req, HttpResponse& res) const;
    void GetAsset(const std::string& path, HttpResponse& res) const;
    void GetArt(const HttpRequest& req, HttpResponse& res) const;
    void Events(HttpResponse& res);
    void Action(const HttpRequest& req, HttpResponse& res);
    void AddClip(const HttpRequest& req, HttpResponse& res);
    void EditClip(const HttpRequest& req, HttpResponse& res);
    void DeleteClip(const HttpRequest& req, HttpResponse& res);
    void ImportCsv(HttpRequest& req, HttpResponse& res);

    const Module& m_Module;
    ServeOptions m_Options;
    std::map<std::string, const PanelAsset*> m_Assets;
    hostkit::FindPanelBitmapFn m_FindBitmap = nullptr;

    std::string m_ListenHost;
    int m_nListenPort = 0;
    bool m_bLoopback = true;
    bool m_bWildcard = false;
    std::string m_SimDir;
    std::vector<std::unique_ptr<decksim::PtyServer>> m_Sims;
    std::vector<std::unique_ptr<decksim::VideoStream>> m_SimPictures;
    std::map<int, std::unique_ptr<DeckWorker>> m_Decks;
    std::unique_ptr<CaptureBatches> m_Captures;
    std::vector<std::string> m_Description;
    ClipLog m_Log;
    FormatGate m_Gate;  // every deck's calls of Main
    std::mutex m_LogEventMutex;
    StreamMessage m_LogEvent;  // the whole log as a stream event, made once a save
    uint64_t m_nLogEventSeq = 0;
    std::string m_Token;
    TokenFile m_TokenFile;
    std::map<int, bool> m_Answering;  // the broadcaster's last view, for the error log
    broker::LinkOptions m_Link;
    std::unique_ptr<broker::MachineLink> m_Machine;  // --machine: this server's decks
    std::unique_ptr<broker::HubLink> m_Hub;          // --hub: every machine's decks

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
    std::unique_ptr<decksim::VideoStream> picture;
    if (m_Options.simVideo) {
        // Its picture as decksim --video shows it, an input for the page's capture.
        decksim::VideoOptions vo;
        vo.path = m_SimDir + "/deck" + std::to_string(port) + ".video";
        const auto origin = decksim::Clock::now();
        decksim::PtyServer* deck = sim.get();
        picture = std::make_unique<decksim::VideoStream>(
            vo, so.fps, RateFor(m_Options, port)->base, origin,
            [deck](decksim::Clock::time_point t) { return deck->PictureAt(t); });
        sim->SetVideoReference(origin);
        m_Options.captureInputs.push_back("unix:" + vo.path);
    }
    if (!sim->Start(error) || (picture && !picture->Start(error))) {
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
    if (picture) {
        m_Description.push_back("  its picture: unix:" + m_SimDir + "/deck" + std::to_string(port) +
                                ".video");
        m_SimPictures.push_back(std::move(picture));
    }
    return true;
}

// Capture from the page, where the decks and the input are: never on a hub.
bool PanelServer::Impl::StartCaptures(std::string* error) {
    CaptureSettings cs{m_Options.captureInputs, m_Options.captureFolder,
                       m_Options.captureCalibration};
    if (m_Options.broker.hub && (!cs.inputs.empty() || !cs.folder.empty())) {
        *error =
            "a hub has no decks of its own to capture from: give --capture-input and "
            "--capture-folder to the machine whose deck plays the tape";
        return false;
    }
    m_Captures = std::make_unique<CaptureBatches>(m_Decks, [this](const Json& batch) {
        if (m_Http) {
            m_Http->Publish(Event("capture", batch));
        }
    });
    return m_Captures->Configure(std::move(cs), error);
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
        if (m_Machine) {
            m_Decks[port]->OnTimeRead(
                [this, port](int64_t frames) { m_Machine->TimeRead(port, frames); });
        }
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
        o.log = ErrorLine;
    }
    m_Http = std::make_unique<HttpServer>(o);
    Routes();
    m_Http->Screen([this](const HttpRequest& req) { return Screen(req); });
    if (!m_Http->Start(error)) {
        return false;
    }
    return m_TokenFile.Write(m_Http->Port(), m_Token, error);
}

// The broker's options are checked before anything starts, and the link made, so that the
// deck threads can tell it of every time read from their first.
bool PanelServer::Impl::CheckBroker(std::string* error) {
    const broker::BrokerOptions& b = m_Options.broker;
    if (b.url.empty() && !b.hub && b.machine.empty() && b.user.empty() && b.passwordFile.empty() &&
        b.caFile.empty()) {
        return true;
    }
    if (!broker::ResolveLink(b, &m_Link, error)) {
        return false;
    }
    if (b.hub && (!m_Options.ports.empty() || m_Options.sim)) {
        *error =
            "a hub serves the decks it sees on the broker: run a server's own decks as "
            "a machine (--machine NAME), not with --hub";
        return false;
    }
    if (!m_Options.quiet) {
        m_Link.log = [this](const std::string& line) {
            if (m_Http) {
                m_Http->Log("broker: " + line);
            }
        };
    }
    if (!b.hub) {
        m_Machine = std::make_unique<broker::MachineLink>(m_Link, m_Decks);
    }
    return true;
}

bool PanelServer::Impl::JoinBroker(std::string* error) {
    if (m_Options.broker.hub) {
        m_Hub = std::make_unique<broker::HubLink>(m_Link, [this] { Changed(); });
        m_Description.push_back("hub of every machine's decks on " + m_Options.broker.url);
        return m_Hub->Start(error);
    }
    if (m_Machine) {
        m_Description.push_back("machine " + m_Link.name + " on " + m_Options.broker.url);
        return m_Machine->Start(error);
    }
    return true;
}

bool PanelServer::Impl::Start(std::string* error) {
    if (!ParseListen(error) || !CheckBroker(error)) {
        return false;
    }
    const std::string logPath =
        m_Options.logPath.empty() ? DefaultClipLogPath() : m_Options.logPath;
    m_Log.OnSaved([this](const LogSaved& saved) { PublishClips(saved); });
    if (!m_Log.Open(logPath, error)) {
        return false;
    }
    std::string why;
    m_FindBitmap = hostkit::FindBitmapLookup(m_Module, &why);
    // The decks first: a request must never see a deck list still being built. What is
    // started is stopped by Stop() when listening fails.
    if (!StartDecks(error) || !StartCaptures(error) || !Listen(error) || !JoinBroker(error)) {
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
    // A capture stops its deck and keeps what it finished, while the deck thread still runs.
    if (m_Captures) {
        m_Captures->Stop();
    }
    if (m_Http) {
        m_Http->Stop();
    }
    // The machine says offline before its decks stop; a hub's waiting commands are answered.
    if (m_Machine) {
        m_Machine->Stop();
    }
    if (m_Hub) {
        m_Hub->Stop();
    }
    // What is waiting is saved; its answers meet closed connections.
    m_Log.Close();
    m_TokenFile.Remove();
    if (m_Broadcaster.joinable()) {
        m_Broadcaster.join();
    }
    for (auto& [port, deck] : m_Decks) {
        deck->Stop();
    }
    for (auto& picture : m_SimPictures) {
        picture->Stop();
    }
    for (auto& sim : m_Sims) {
        sim->Stop();
    }
    if (!m_SimDir.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_SimDir, ec);
    }
}

// The HTTP layer's error log writes here from a thread of its own.
void PanelServer::Impl::ErrorLine(const std::string& line) {
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
    return "http://" + host + ":" + std::to_string(Port()) + "/?token=" + m_Token;
}

void PanelServer::Impl::Changed() {
    if (m_Machine) {
        m_Machine->Changed();
    }
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
            m_Http->Log("the deck on port " + std::to_string(port) + " (" + d.device + ") " +
                        (d.answering ? "answers again" : "stopped answering"));
        }
    }
}

Json PanelServer::Impl::DecksJson() const {
    Json decks = m_Hub ? m_Hub->Decks() : Json::array();
    for (const auto& [port, deck] : m_Decks) {
        decks.push_back(DeckJson(deck->Snapshot()));
    }
    Json all{{"decks", std::move(decks)}};
    if (m_Hub || m_Machine) {
        all["broker"] = m_Hub ? m_Hub->Status() : m_Machine->Status();
    }
    return all;
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
    if (givenPort != std::to_string(Port()) || name.empty()) {
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

// The token as scripts and the page give it (Authorization: Bearer) or as the printed URL has
// it. Never from a cookie: browsers send a host's cookies to all of its ports, so any other
// server there would read it, or plant one of its own.
std::string PanelServer::Impl::GivenToken(const HttpRequest& req) const {
    const std::string auth = req.Header("Authorization");
    if (auth.rfind("Bearer ", 0) == 0) {
        return auth.substr(7);
    }
    return req.Param("token");
}

// The page and its scripts and styles, which hold nothing secret: anyone may load them, so
// that a reload of the page, whose address no longer has the token, works.
bool PanelServer::Impl::PageFile(const std::string& path) const {
    return path == "/" || (path.size() > 1 && m_Assets.count(path.substr(1)) != 0);
}

// Every request passes here once its header is in, before its body is read: the Host header
// (DNS rebinding), the token, and for requests that change something, the Origin a browser
// names (another site's form). The page's own files are open to anyone the Host check lets
// through.
HttpVerdict PanelServer::Impl::Screen(const HttpRequest& req) const {
    HttpResponse res;
    if (!HostOk(req)) {
        SendError(res, 403,
                  "this server answers only requests addressed to " +
                      Url().substr(7, Url().find('/', 7) - 7) + "; the Host header said '" +
                      req.Header("Host") + "'");
        return HttpVerdict(std::move(res));
    }
    const std::string given = GivenToken(req);
    if (!SameToken(given, m_Token)) {
        if ((req.method == "GET" || req.method == "HEAD") && PageFile(req.path)) {
            return HttpVerdict::Open();
        }
        SendError(res, 401,
                  given.empty() ? "this server needs its token: Authorization: Bearer T, or "
                                  "open the URL it printed"
                                : "wrong token");
        return HttpVerdict(std::move(res));
    }
    if (req.method != "GET" && req.method != "HEAD" && req.HasHeader("Origin") &&
        req.Header("Origin") != "http://" + req.Header("Host")) {
        SendError(res, 403, "requests from another site's page are refused");
        return HttpVerdict(std::move(res));
    }
    return HttpVerdict();
}

// The page. Opened through the printed URL, its script keeps the token in the tab's session
// storage, sends it with every request and drops it from the address bar.
void PanelServer::Impl::GetPage(const HttpRequest&, HttpResponse& res) const {
    GetAsset("index.html", res);
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
    // The whole state first, made once the stream is registered: what is published meanwhile
    // follows it, and the page skips the log's changes its state already holds (by seq). A
    // client that falls 64 messages behind is dropped by the HTTP layer.
    res.StartStream([this] {
        std::vector<StreamMessage> first{
            std::make_shared<const std::string>("retry: 1000\n" + Event("decks", DecksJson())),
            LogEvent(m_Log.View())};
        for (const Json& batch : m_Captures->Batches()) {
            first.push_back(std::make_shared<const std::string>(Event("capture", batch)));
        }
        return first;
    });
    res.headers.emplace_back("Cache-Control", "no-store");
    res.headers.emplace_back("X-Accel-Buffering", "no");
}

void PanelServer::Impl::Action(const HttpRequest& req, HttpResponse& res) {
    if (m_Hub) {
        // Through the broker to the deck's machine; the answer comes back when it does.
        m_Hub->Command(req.matches[1], req.matches[2], req.body,
                       [later = res.Later()](const ActionAnswer& answer) {
                           HttpResponse out;
                           SendJson(out, answer.status, answer.body);
                           later(std::move(out));
                       });
        return;
    }
    const ActionAnswer answer =
        RunDeckAction(Find(req.matches[1]), req.matches[1], req.matches[2], req.body);
    SendJson(res, answer.status, answer.body);
}

// The whole log for a client that connects, made once per save and shared.
StreamMessage PanelServer::Impl::LogEvent(const LogView& view) {
    std::lock_guard<std::mutex> lock(m_LogEventMutex);
    if (m_LogEvent && m_nLogEventSeq == view->seq) {
        return m_LogEvent;
    }
    auto event =
        std::make_shared<const std::string>("event: log\ndata: " + LogBody(*view) + "\n\n");
    if (!m_LogEvent || view->seq > m_nLogEventSeq) {
        m_LogEvent = event;
        m_nLogEventSeq = view->seq;
    }
    return event;
}

// On the saving thread, in the order of the saves: only what changed, as the file has it. The
// whole log goes to a client once, when it connects.
void PanelServer::Impl::PublishClips(const LogSaved& saved) {
    if (!m_Http) {
        return;
    }
    const LogState& log = *saved.view;
    const std::string deleted = DumpJson(Json(saved.deleted));
    std::size_t size = 80 + deleted.size();
    for (const std::size_t i : saved.changed) {
        size += log.spans[i].second + 1;
    }
    std::string event;
    event.reserve(size);  // an import's event can be megabytes: made once, in place
    event += "event: clips\ndata: {\"seq\":" + std::to_string(log.seq) + ",\"clips\":[";
    for (std::size_t k = 0; k < saved.changed.size(); ++k) {
        event += k == 0 ? "" : ",";
        event += log.ClipText(saved.changed[k]);
    }
    event += "],\"deleted\":" + deleted + "}\n\n";
    m_Http->Publish(std::make_shared<const std::string>(std::move(event)));
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
    // A hub's log holds every machine's decks: machine=M&port=N is one deck.
    const std::string edl = ClipsEdl(
        SelectClips(m_Log.View()->clips, static_cast<int>(port), first, last, req.Param("machine")),
        title);
    res.headers.emplace_back("Content-Disposition", "attachment; filename=\"cliplog.edl\"");
    SetContent(res, edl, "text/plain; charset=utf-8");
}

// A change of the log is answered by the saving thread once it is saved or refused: no
// worker waits for the disk meanwhile.
void PanelServer::Impl::Change(LogChange change, HttpResponse& res,
                               std::function<void(const LogResult&, HttpResponse&)> answer) {
    const HttpLater later = res.Later();
    const bool queued =
        m_Log.Submit(std::move(change), [later, answer = std::move(answer)](const LogResult& r) {
            HttpResponse out;
            if (r.error) {
                SendFailure(out, r.error);
            } else {
                answer(r, out);
            }
            later(std::move(out));
        });
    if (!queued) {
        HttpResponse busy;
        SendError(busy, 503, "too many changes are waiting to be saved to the clip log; try again");
        later(std::move(busy));
    }
}

void PanelServer::Impl::AddClip(const HttpRequest& req, HttpResponse& res) {
    Json body = ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the clip's fields");
        return;
    }
    Change(
        LogChange::Add(std::move(body), Rates()), res,
        [](const LogResult& r, HttpResponse& out) { SendJson(out, 201, ClipJson(r.clips.at(0))); });
}

void PanelServer::Impl::EditClip(const HttpRequest& req, HttpResponse& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    Json body = ParseJson(req.body);
    if (!body.is_object()) {
        SendError(res, 400, "the body must be a JSON object with the fields to change");
        return;
    }
    Change(
        LogChange::Edit(id, std::move(body), Rates()), res,
        [](const LogResult& r, HttpResponse& out) { SendJson(out, 200, ClipJson(r.clips.at(0))); });
}

void PanelServer::Impl::DeleteClip(const HttpRequest& req, HttpResponse& res) {
    long id = 0;
    if (!Digits(req.matches[1], 1, 999999999, &id)) {
        SendError(res, 404, "no clip " + std::string(req.matches[1]));
        return;
    }
    Change(LogChange::Delete(id), res, [](const LogResult&, HttpResponse& out) {
        SendJson(out, 200, Json{{"ok", true}});
    });
}

// Read as it streams, by the saving thread, against the log as it then stands (the body moves
// there: 4 MiB is not held twice); the answer is the whole log after it.
void PanelServer::Impl::ImportCsv(HttpRequest& req, HttpResponse& res) {
    Change(LogChange::ImportCsv(std::move(req.body), Rates()), res,
           [](const LogResult& r, HttpResponse& out) { out.Json(200, LogBody(*r.view)); });
}

namespace {

using Req = HttpRequest;
using Res = HttpResponse;
constexpr HttpRun kWorker = HttpRun::kWorker;
// The log's handlers: they never wait for its disk (reads take the last saved state, changes
// are answered by the saving thread), and on a pool of their own they never hold a deck's.
constexpr HttpRun kLogWorker = HttpRun::kSideWorker;

// Client mistakes and failures of the log file become JSON errors, never a crash; a handler
// that answers later gets its failure answered there.
template <typename Handler>
HttpHandler Guarded(Handler handler) {
    return [handler](Req& req, Res& res) {
        try {
            handler(req, res);
        } catch (...) {
            if (res.Deferred()) {
                HttpResponse failed;
                SendFailure(failed, std::current_exception());
                res.Later()(std::move(failed));
            } else {
                SendFailure(res, std::current_exception());
            }
        }
    };
}

}  // namespace

// Handlers that wait on a deck run on the HTTP layer's workers, the log's on its second
// pool; the rest on its I/O threads.
void PanelServer::Impl::Routes() {
    DeckRoutes();
    LogRoutes();
    CaptureRoutes();
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
    // Its first state holds the whole log: made on the log's workers.
    http.Route("GET", "/api/events", Guarded([this](const Req&, Res& res) { Events(res); }),
               kLogWorker);
    http.Route("POST", "/api/decks/([^/]+)/([^/]+)",
               Guarded([this](const Req& req, Res& res) { Action(req, res); }), kWorker);
}

void PanelServer::Impl::LogRoutes() {
    HttpServer& http = *m_Http;
    http.Route("GET", "/api/log", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Cache-Control", "no-store");
                   res.Json(200, LogBody(*m_Log.View()));
               }),
               kLogWorker);
    http.Route("POST", "/api/log", Guarded([this](const Req& req, Res& res) { AddClip(req, res); }),
               kLogWorker);
    http.Route("PUT", "/api/log/([^/]+)",
               Guarded([this](const Req& req, Res& res) { EditClip(req, res); }), kLogWorker);
    http.Route("DELETE", "/api/log/([^/]+)",
               Guarded([this](const Req& req, Res& res) { DeleteClip(req, res); }), kLogWorker);
    http.Route("GET", "/api/log.csv", Guarded([this](const Req&, Res& res) {
                   res.headers.emplace_back("Content-Disposition",
                                            "attachment; filename=\"cliplog.csv\"");
                   SetContent(res, ClipsCsv(m_Log.View()->clips), "text/csv; charset=utf-8");
               }),
               kLogWorker);
    http.Route("GET", "/api/log.edl", Guarded([this](const Req& req, Res& res) { Edl(req, res); }),
               kLogWorker);
    http.Route("POST", "/api/log.csv", Guarded([this](Req& req, Res& res) { ImportCsv(req, res); }),
               kLogWorker, kMaxImport);
}

// A batch's start, its calibration and its cancel answer at once; its thread does the rest.
void PanelServer::Impl::Captures(HttpResponse& res, const std::function<ActionAnswer()>& run) {
    if (m_Hub) {
        SendError(res, 409,
                  "a hub has no decks of its own: capture on the machine whose deck plays the "
                  "tape, through its own page or API");
        return;
    }
    const ActionAnswer answer = run();
    SendJson(res, answer.status, answer.body);
}

void PanelServer::Impl::CaptureRoutes() {
    HttpServer& http = *m_Http;
    // It lists the folders below the capture folder: the disk, so the second pool.
    http.Route("GET", "/api/capture", Guarded([this](const Req& req, Res& res) {
                   long port = 0;
                   if (req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) {
                       SendError(res, 400, "port must be a deck's number");
                       return;
                   }
                   res.headers.emplace_back("Cache-Control", "no-store");
                   SendJson(res, 200, m_Captures->List(static_cast<int>(port)));
               }),
               kLogWorker);
    http.Route("POST", "/api/capture", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->Start(req.body, m_Log.View()->clips); });
               }),
               kWorker);
    http.Route("POST", "/api/capture/calibrate", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->Calibrate(req.body); });
               }),
               kWorker);
    http.Route("POST", "/api/capture/cancel", Guarded([this](const Req& req, Res& res) {
                   Captures(res, [&] { return m_Captures->Cancel(req.body); });
               }),
               kWorker);
    http.Route("DELETE", "/api/capture", Guarded([this](const Req& req, Res& res) {
                   long port = 0;
                   if (req.HasParam("port") && !Digits(req.Param("port"), 1, 255, &port)) {
                       SendError(res, 400, "port must be a deck's number");
                       return;
                   }
                   const std::string body = port ? DumpJson(Json{{"port", port}}) : "{}";
                   Captures(res, [&] { return m_Captures->Cancel(body); });
               }),
               kWorker);
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
    // Buffers of megabytes live briefly on many threads here (the log's text on each save,
    // a read of the whole log, an import's body). glibc's sliding threshold would settle them
    // in each thread's arena, where the process kept some 10 KiB a clip for 0.3 KiB of data;
    // mapped and unmapped instead, each goes back when it is done.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    // Signals are taken by this thread alone, with sigwait; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);  // a browser that went away is not fatal
    // Past a file size limit a write fails and says so (the log answers 500, a capture's clip
    // fails in words) rather than ending the server.
    std::signal(SIGXFSZ, SIG_IGN);

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
