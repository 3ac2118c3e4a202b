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

#include "tools/panel/serve_impl.h"

namespace panel {

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
    m_Captures =
        std::make_unique<CaptureBatches>(m_Decks, [this](const char* event, const Json& body) {
            if (m_Http) {
                m_Http->Publish(Event(event, body));
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
