#include "tools/http/http_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio/post.hpp>
#include <nlohmann/json.hpp>

#include "tools/http/server_impl.h"

namespace http {

std::string Kib(std::size_t bytes) {
    if (bytes % (1u << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    return std::to_string(bytes / 1024) + " KiB";
}

std::string Seconds(std::chrono::milliseconds t) {
    if (t.count() % 1000 == 0) {
        return std::to_string(t.count() / 1000) + " s";
    }
    return std::to_string(t.count()) + " ms";
}

std::string ErrorJson(const std::string& words) {
    // Words may quote what a client sent; bytes that are not UTF-8 are replaced, not thrown.
    return nlohmann::json{{"error", words}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

namespace {

// Descriptors for every connection the bound allows, and some for the rest of the program.
void RaiseDescriptorLimit(std::size_t connections) {
    rlimit lim{};
    const rlim_t want = connections + 256;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < want) {
        lim.rlim_cur = lim.rlim_max == RLIM_INFINITY ? want : std::min(want, lim.rlim_max);
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

}  // namespace

// ---- requests and responses -------------------------------------------------------------

namespace {

const std::string* Find(const std::vector<std::pair<std::string, std::string>>& list,
                        const std::string& name, bool anyCase) {
    for (const auto& [key, value] : list) {
        if (anyCase ? beast::iequals(key, name) : key == name) {
            return &value;
        }
    }
    return nullptr;
}

}  // namespace

std::string HttpRequest::Header(const std::string& name) const {
    const std::string* v = Find(headers, name, true);
    return v != nullptr ? *v : std::string();
}

bool HttpRequest::HasHeader(const std::string& name) const {
    return Find(headers, name, true) != nullptr;
}

std::string HttpRequest::Param(const std::string& name) const {
    const std::string* v = Find(params, name, false);
    return v != nullptr ? *v : std::string();
}

bool HttpRequest::HasParam(const std::string& name) const {
    return Find(params, name, false) != nullptr;
}

void HttpResponse::Json(int code, const std::string& json) {
    status = code;
    contentType = "application/json";
    body = json;
}

void HttpResponse::Error(int code, const std::string& words) {
    Json(code, ErrorJson(words));
}

void HttpResponse::StartStream(std::function<std::vector<StreamMessage>()> first) {
    status = 200;
    contentType = "text/event-stream";
    stream = std::move(first);
}

void HttpResponse::StartStream(std::vector<StreamMessage> first) {
    StartStream([first = std::move(first)] { return first; });
}

HttpLater HttpResponse::Later() {
    m_bLater = true;
    return m_Later;
}

// ---- accepting, routes, streams ------------------------------------------------------------

bool HttpServer::Impl::Listen(std::string* error) {
    ErrorCode ec;
    tcp::resolver resolver(m_Io);
    const auto found =
        resolver.resolve(m_Options.host, std::to_string(m_Options.port),
                         tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || found.empty()) {
        *error = "cannot listen on " + m_Options.host + ": " + ec.message();
        return false;
    }
    const tcp::endpoint at = found.begin()->endpoint();
    m_Acceptor.open(at.protocol(), ec);
    if (!ec) {
        m_Acceptor.set_option(net::socket_base::reuse_address(true), ec);
        m_Acceptor.bind(at, ec);
    }
    if (!ec) {
        m_Acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        *error = "cannot listen on " + m_Options.host + ":" + std::to_string(m_Options.port) +
                 ": " + ec.message();
        return false;
    }
    m_nPort = m_Acceptor.local_endpoint().port();
    return true;
}

bool HttpServer::Impl::Start(std::string* error) {
    RaiseDescriptorLimit(m_Options.limits.connections);
    if (!Listen(error)) {
        return false;
    }
    m_bStarted = true;
    m_Pool.Start(m_Options.workers, m_Options.workQueue);
    m_SidePool.Start(m_Options.sideWorkers, m_Options.sideQueue);
    m_Work.emplace(m_Io.get_executor());
    net::post(m_AcceptStrand, [this] { Accept(); });
    for (int i = 0; i < std::max(1, m_Options.ioThreads); ++i) {
        m_Threads.emplace_back([this] {
            if (m_Options.ioNice != 0) {
                setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), m_Options.ioNice);
            }
            m_Io.run();
        });
    }
    return true;
}

void HttpServer::Impl::Accept() {
    m_Acceptor.async_accept(net::make_strand(m_Io), [this](const ErrorCode& ec, tcp::socket s) {
        OnAccept(ec, std::move(s));
    });
}

void HttpServer::Impl::OnAccept(const ErrorCode& ec, tcp::socket socket) {
    if (ec) {
        if (!m_Acceptor.is_open() || ec == net::error::operation_aborted) {
            return;
        }
        // Out of descriptors, most likely: try again shortly rather than spin.
        Log("cannot accept a connection: " + ec.message());
        auto timer = std::make_shared<net::steady_timer>(m_AcceptStrand, kAcceptRetry);
        timer->async_wait([this, timer](const ErrorCode&) {
            if (m_Acceptor.is_open()) {
                Accept();
            }
        });
        return;
    }
    ErrorCode ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.set_option(net::socket_base::send_buffer_size(m_Options.limits.sendBuffer), ignored);
    auto session = std::make_shared<Session>(std::move(socket), *this);
    Opened(session);
    session->Go();
    std::shared_ptr<Session> gone;  // released outside the lock: it may end the session
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping) {
            return;
        }
        const std::size_t open = m_Sessions.size() - m_nMadeRoom;
        const std::size_t most = m_Options.limits.connections;
        // At the bound the next connection is still taken while a stranger's can make room
        // for it; one past it, the oldest stranger's goes.
        if (open > most) {
            gone = OldestStranger(session.get());
        }
        if ((open > most && gone == nullptr) || (open == most && !HasStranger(session.get()))) {
            // Every connection has shown the token: new ones wait in the kernel's backlog
            // until one ends.
            m_bPaused = true;
            Log(std::to_string(m_Sessions.size()) +
                " connections are open, the most allowed; new ones wait");
            return;
        }
        if (gone != nullptr) {
            Log("closed a connection from " + gone->m_Peer + " that had not shown the token: " +
                std::to_string(most) + " connections are open, the most allowed");
        }
    }
    if (gone) {
        gone->Close();
    }
    Accept();
}

// Whether a connection other than `besides` has not shown the token. Under the lock, where no
// session may be locked from its weak pointer: ending one there would call Closed().
bool HttpServer::Impl::HasStranger(const Session* besides) const {
    return std::any_of(m_Strangers.begin(), m_Strangers.end(), [besides](const auto& entry) {
        return entry.first != besides->m_nSeq && !entry.second.expired();
    });
}

// The oldest connection that has not shown the token, other than the newest, marked as gone;
// null when there is none. Under the lock; the caller releases what it gets outside it.
std::shared_ptr<Session> HttpServer::Impl::OldestStranger(const Session* newest) {
    for (auto it = m_Strangers.begin(); it != m_Strangers.end(); ++it) {
        if (it->first == newest->m_nSeq) {
            continue;
        }
        std::shared_ptr<Session> s = it->second.lock();
        if (s == nullptr) {
            continue;  // one already ending leaves by itself
        }
        m_Strangers.erase(it);
        s->m_bMadeRoom = true;
        ++m_nMadeRoom;
        return s;
    }
    return nullptr;
}

void HttpServer::Impl::Opened(const std::shared_ptr<Session>& s) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sessions[s.get()] = s;
    s->m_nSeq = ++m_nOpened;
    m_Strangers[s->m_nSeq] = s;
}

void HttpServer::Impl::ShownToken(const Session* s) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Strangers.erase(s->m_nSeq);
}

void HttpServer::Impl::Closed(const Session* s) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sessions.erase(s);
    m_Strangers.erase(s->m_nSeq);
    if (s->m_bMadeRoom) {
        --m_nMadeRoom;
    }
    if (m_bPaused && !m_bStopping &&
        m_Sessions.size() - m_nMadeRoom < m_Options.limits.connections) {
        m_bPaused = false;
        net::post(m_AcceptStrand, [this] { Accept(); });
    }
    m_AllClosed.notify_all();
}

std::size_t HttpServer::Impl::Count(bool streams) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return streams ? m_Streams.size() : m_Sessions.size();
}

const RouteEntry* HttpServer::Impl::Match(HttpRequest* req, bool* otherMethod) const {
    const std::string method = req->method == "HEAD" ? "GET" : req->method;
    for (const RouteEntry& r : m_Routes) {
        std::smatch m;
        if (!std::regex_match(req->path, m, r.pattern)) {
            continue;
        }
        if (r.method != method) {
            *otherMethod = true;
            continue;
        }
        req->matches.assign(m.begin(), m.end());
        return &r;
    }
    return nullptr;
}

bool HttpServer::Impl::AddStream(const std::shared_ptr<Session>& s) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_bStopping || m_Streams.size() >= m_Options.limits.streams) {
        return false;
    }
    m_Streams[s.get()] = s;
    return true;
}

void HttpServer::Impl::RemoveStream(const Session* s) {
    std::shared_ptr<Session> last;  // released outside the lock: it may end the session
    std::lock_guard<std::mutex> lock(m_Mutex);
    const auto it = m_Streams.find(s);
    if (it != m_Streams.end()) {
        last = std::move(it->second);
        m_Streams.erase(it);
    }
}

void HttpServer::Impl::Publish(const StreamMessage& message) {
    std::vector<std::shared_ptr<Session>> open;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        open.reserve(m_Streams.size());
        for (const auto& [key, s] : m_Streams) {
            open.push_back(s);
        }
    }
    for (const auto& s : open) {
        if (!s->Push(message)) {
            RemoveStream(s.get());
        }
    }
}

void HttpServer::Impl::Stop() {
    std::vector<std::shared_ptr<Session>> open;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping) {
            return;
        }
        m_bStopping = true;
        for (const auto& [key, weak] : m_Sessions) {
            if (auto s = weak.lock()) {
                open.push_back(std::move(s));
            }
        }
        m_Streams.clear();
    }
    if (!m_bStarted) {
        return;
    }
    net::post(m_AcceptStrand, [this] {
        ErrorCode ignored;
        m_Acceptor.close(ignored);
    });
    for (const auto& s : open) {
        s->Close();
    }
    open.clear();
    m_Pool.Stop();  // handlers still running finish; their answers meet closed connections
    m_SidePool.Stop();
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_AllClosed.wait_for(lock, std::chrono::seconds(5), [this] { return m_Sessions.empty(); });
    }
    m_Work.reset();
    m_Io.stop();
    for (std::thread& t : m_Threads) {
        t.join();
    }
    m_Threads.clear();
    m_Log.Stop();
}

// ---- the public face ------------------------------------------------------------------------

HttpServer::HttpServer(HttpOptions options) : m_Impl(std::make_shared<Impl>(std::move(options))) {}

HttpServer::~HttpServer() = default;  // the Impl's end stops it

void HttpServer::Route(const std::string& method, const std::string& pattern, HttpHandler handler,
                       HttpRun run, std::size_t body) {
    m_Impl->m_Routes.push_back(
        RouteEntry{method, std::regex(pattern), std::move(handler), run, body});
}

void HttpServer::Screen(HttpScreen screen) {
    m_Impl->m_Screen = std::move(screen);
}

bool HttpServer::Start(std::string* error) {
    return m_Impl->Start(error);
}

int HttpServer::Port() const {
    return m_Impl->m_nPort;
}

void HttpServer::Publish(const StreamMessage& message) {
    m_Impl->Publish(message);
}

std::size_t HttpServer::Streams() const {
    return m_Impl->Count(true);
}

std::size_t HttpServer::Connections() const {
    return m_Impl->Count(false);
}

void HttpServer::Log(const std::string& line) {
    m_Impl->Log(line);
}

void HttpServer::Stop() {
    m_Impl->Stop();
}

}  // namespace http
