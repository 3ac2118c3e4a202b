#include "tools/panel/http_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/url/parse.hpp>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

namespace panel {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Parser = http::request_parser<http::string_body>;
using Reply = http::response<http::string_body>;

namespace {

// What a refused client may still send after its answer is read and thrown away, so that the
// close does not reset the connection before the client has read the answer.
constexpr std::size_t kLingerBytes = std::size_t{64} * 1024;
constexpr std::chrono::milliseconds kLinger{1000};
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Past this many log lines in a second the rest are counted, not written.
constexpr int kLogLinesPerSecond = 20;

std::string Kib(std::size_t bytes) {
    if (bytes % (1u << 20) == 0) {
        return std::to_string(bytes >> 20) + " MiB";
    }
    return std::to_string(bytes / 1024) + " KiB";
}

std::string ErrorJson(const std::string& words) {
    // Words may quote what a client sent; bytes that are not UTF-8 are replaced, not thrown.
    return nlohmann::json{{"error", words}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

// Handlers that may wait, on a fixed number of threads with a bounded queue.
class WorkerPool {
  public:
    void Start(int threads, std::size_t queue) {
        m_nQueue = queue;
        for (int i = 0; i < threads; ++i) {
            m_Threads.emplace_back([this] { Run(); });
        }
    }

    bool Post(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_bStopping || m_Jobs.size() >= m_nQueue) {
                return false;
            }
            m_Jobs.push_back(std::move(job));
        }
        m_Ready.notify_one();
        return true;
    }

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_bStopping = true;
        }
        m_Ready.notify_all();
        for (std::thread& t : m_Threads) {
            t.join();
        }
        m_Threads.clear();
    }

  private:
    void Run() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(m_Mutex);
                m_Ready.wait(lock, [this] { return m_bStopping || !m_Jobs.empty(); });
                if (m_Jobs.empty()) {
                    return;
                }
                job = std::move(m_Jobs.front());
                m_Jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Ready;
    std::deque<std::function<void()>> m_Jobs;
    std::vector<std::thread> m_Threads;
    std::size_t m_nQueue = 0;
    bool m_bStopping = false;
};

// The error log, at most kLogLinesPerSecond lines a second so that a flood of bad clients
// cannot fill a disk through it.
class RateLog {
  public:
    explicit RateLog(std::function<void(const std::string&)> sink) : m_Sink(std::move(sink)) {}

    void operator()(std::string line) {
        if (!m_Sink) {
            return;
        }
        // A line may quote a client's path: no control character of its may forge a line.
        for (char& c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                c = '?';
            }
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto now = std::chrono::steady_clock::now();
        if (now - m_Start >= std::chrono::seconds(1)) {
            if (m_nDropped > 0) {
                m_Sink(std::to_string(m_nDropped) + " more such lines in the last second");
            }
            m_Start = now;
            m_nLines = 0;
            m_nDropped = 0;
        }
        if (m_nLines++ < kLogLinesPerSecond) {
            m_Sink(line);
        } else {
            ++m_nDropped;
        }
    }

  private:
    std::function<void(const std::string&)> m_Sink;
    std::mutex m_Mutex;
    std::chrono::steady_clock::time_point m_Start;
    int m_nLines = 0;
    int m_nDropped = 0;
};

struct RouteEntry {
    std::string method;
    std::regex pattern;
    HttpHandler handler;
    HttpRun run = HttpRun::kInline;
    std::size_t body = 0;
};

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

std::string HttpRequest::Cookie(const std::string& name) const {
    // name=value pairs split by ';', as browsers send them.
    const std::string all = Header("Cookie");
    std::size_t pos = 0;
    while (pos < all.size()) {
        const std::size_t end = std::min(all.find(';', pos), all.size());
        std::size_t start = all.find_first_not_of(' ', pos);
        const std::size_t eq = all.find('=', start);
        if (start < end && eq < end && all.compare(start, eq - start, name) == 0) {
            return all.substr(eq + 1, end - eq - 1);
        }
        pos = end + 1;
    }
    return "";
}

void HttpResponse::Json(int code, const std::string& json) {
    status = code;
    contentType = "application/json";
    body = json;
}

void HttpResponse::Error(int code, const std::string& words) {
    Json(code, ErrorJson(words));
}

void HttpResponse::StartStream(std::vector<StreamMessage> first) {
    status = 200;
    contentType = "text/event-stream";
    stream = std::move(first);
}

// ---- the server ---------------------------------------------------------------------------

class Session;

class HttpServer::Impl {
  public:
    explicit Impl(HttpOptions options)
        : m_Options(std::move(options)),
          m_Log(m_Options.log),
          m_Io(m_Options.ioThreads),
          m_AcceptStrand(net::make_strand(m_Io)),
          m_Acceptor(m_AcceptStrand) {}
    ~Impl() {
        try {
            Stop();
        } catch (...) {  // a destructor must not throw; the threads end with the process
        }
    }

    bool Start(std::string* error);
    void Stop();
    void Publish(const StreamMessage& message);

    // For the sessions.
    const HttpLimits& Limits() const { return m_Options.limits; }
    const HttpOptions& Options() const { return m_Options; }
    void Log(const std::string& line) { m_Log(line); }
    const RouteEntry* Match(HttpRequest* req, bool* otherMethod) const;
    bool Work(std::function<void()> job) { return m_Pool.Post(std::move(job)); }
    bool AddStream(const std::shared_ptr<Session>& s);
    std::size_t Count(bool streams) const;
    void RemoveStream(const Session* s);
    void Opened(const std::shared_ptr<Session>& s);
    void Closed(const Session* s);

    HttpOptions m_Options;
    std::vector<RouteEntry> m_Routes;
    HttpScreen m_Screen;
    std::atomic<int> m_nPort{0};

    // Declared before the I/O context: sessions still pending in it at its end report their
    // close here.
    mutable std::mutex m_Mutex;  // guards what follows
    std::map<const Session*, std::weak_ptr<Session>> m_Sessions;
    std::map<const Session*, std::shared_ptr<Session>> m_Streams;
    std::condition_variable m_AllClosed;
    bool m_bPaused = false;
    bool m_bStopping = false;

  private:
    bool Listen(std::string* error);
    void Accept();
    void OnAccept(const ErrorCode& ec, tcp::socket socket);

    RateLog m_Log;
    net::io_context m_Io;
    net::strand<net::io_context::executor_type> m_AcceptStrand;
    tcp::acceptor m_Acceptor;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> m_Work;
    WorkerPool m_Pool;
    std::vector<std::thread> m_Threads;
    bool m_bStarted = false;
};

// One connection: requests one after another, or an event stream once a handler starts one.
// Everything but Push and Close runs on the connection's strand.
class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, HttpServer::Impl& server)
        : m_Stream(std::move(socket)), m_Server(server) {
        ErrorCode ec;
        const auto peer = m_Stream.socket().remote_endpoint(ec);
        m_Peer = ec ? std::string("?") : peer.address().to_string();
    }
    ~Session() {
        try {
            m_Server.Closed(this);
        } catch (...) {  // out of memory posting the accept: the bound stays one lower
        }
    }

    // From the acceptor: the first request is read on the connection's own strand.
    void Go() {
        net::post(m_Stream.get_executor(), [self = shared_from_this()] { self->Start(); });
    }
    // From any thread: queues a stream message; false when the stream is gone or was dropped
    // for falling too far behind.
    bool Push(const StreamMessage& message);
    void Close();

  private:
    void Start();
    void WaitIdle();
    void BeginRequest(std::chrono::milliseconds deadline);
    void OnHeader(const ErrorCode& ec);
    bool TakeHeader();
    void ReadBody();
    void Continue();
    void OnBody(const ErrorCode& ec);
    void Dispatch();
    void Answer(HttpResponse res);
    void Send(HttpResponse res, bool close);
    void OnSent(const ErrorCode& ec, bool close);
    void Refuse(int status, const std::string& words);
    void ReadFailed(const ErrorCode& ec);
    void Linger();
    void OnLinger(const ErrorCode& ec, std::size_t n);
    void StartStream(HttpResponse res);
    void WriteQueued();
    void WatchStream();
    void Shut();

    beast::tcp_stream m_Stream;
    HttpServer::Impl& m_Server;
    std::string m_Peer;
    beast::flat_buffer m_Buffer;
    std::optional<Parser> m_Parser;
    HttpRequest m_Request;
    const RouteEntry* m_Route = nullptr;
    std::shared_ptr<Reply> m_Reply;
    std::array<char, 4096> m_Sink{};
    std::size_t m_nLingered = 0;
    std::vector<StreamMessage> m_Out;  // the stream's write in flight
    std::vector<net::const_buffer> m_OutBuffers;

    std::mutex m_Mutex;  // guards the stream's queue
    std::deque<StreamMessage> m_Queue;
    bool m_bWriting = false;
    bool m_bClosed = false;
};

namespace {

HttpResponse Run(const RouteEntry& route, const HttpRequest& req) {
    HttpResponse res;
    try {
        route.handler(req, res);
    } catch (const std::exception& e) {
        res = HttpResponse();
        res.Error(500, std::string("the server failed on this request: ") + e.what());
    }
    return res;
}

bool Quiet(const ErrorCode& ec) {
    return ec == http::error::end_of_stream || ec == net::error::eof ||
           ec == net::error::connection_reset || ec == net::error::operation_aborted ||
           ec == net::error::broken_pipe || ec == beast::error::timeout;
}

}  // namespace

// ---- one connection -----------------------------------------------------------------------

void Session::Start() {
    m_Buffer.max_size(m_Server.Limits().header + 1024);
    BeginRequest(m_Server.Limits().request);
}

// Between requests: the idle limit runs until the next request's first byte.
void Session::WaitIdle() {
    if (m_Buffer.size() > 0) {
        BeginRequest(m_Server.Limits().request);
        return;
    }
    m_Buffer.shrink_to_fit();  // an idle connection holds no buffer
    m_Stream.expires_after(m_Server.Limits().idle);
    m_Stream.async_read_some(m_Buffer.prepare(1024),
                             [self = shared_from_this()](const ErrorCode& ec, std::size_t n) {
                                 if (ec) {
                                     self->Shut();
                                     return;
                                 }
                                 self->m_Buffer.commit(n);
                                 self->BeginRequest(self->m_Server.Limits().request);
                             });
}

// One deadline covers the header and the body together.
void Session::BeginRequest(std::chrono::milliseconds deadline) {
    m_Parser.emplace();
    m_Parser->header_limit(static_cast<std::uint32_t>(m_Server.Limits().header));
    // The route, found once the header is in, sets the body's limit before any of it is read.
    m_Parser->body_limit(boost::none);
    m_Request = HttpRequest();
    m_Route = nullptr;
    m_Stream.expires_after(deadline);
    http::async_read_header(
        m_Stream, m_Buffer, *m_Parser,
        [self = shared_from_this()](const ErrorCode& ec, std::size_t) { self->OnHeader(ec); });
}

void Session::OnHeader(const ErrorCode& ec) {
    if (ec) {
        ReadFailed(ec);
        return;
    }
    if (!TakeHeader()) {
        return;
    }
    if (m_Server.m_Screen) {
        std::optional<HttpResponse> refused = m_Server.m_Screen(m_Request);
        if (refused) {
            Answer(std::move(*refused));
            return;
        }
    }
    bool otherMethod = false;
    m_Route = m_Server.Match(&m_Request, &otherMethod);
    if (m_Route == nullptr) {
        HttpResponse res;
        res.Error(otherMethod ? 405 : 404,
                  otherMethod ? "method not allowed here" : "no such page or API");
        Answer(std::move(res));
        return;
    }
    ReadBody();
}

// The request line, the fields and the target, checked and decoded; false once refused.
bool Session::TakeHeader() {
    const auto& msg = m_Parser->get();
    const HttpLimits& lim = m_Server.Limits();
    m_Request.method = std::string(msg.method_string());
    m_Request.target = std::string(msg.target());
    // "METHOD TARGET HTTP/1.1\r\n"
    if (m_Request.method.size() + m_Request.target.size() + 12 > lim.requestLine) {
        Refuse(414, "the request line is longer than " + Kib(lim.requestLine));
        return false;
    }
    // The parser holds back only what it has not yet taken, so the whole is counted here.
    std::size_t size = m_Request.method.size() + m_Request.target.size() + 12;
    for (const auto& f : msg) {
        if (m_Request.headers.size() >= lim.fields) {
            Refuse(431, "more than " + std::to_string(lim.fields) + " header fields");
            return false;
        }
        size += f.name_string().size() + f.value().size() + 4;  // "name: value\r\n"
        if (size > lim.header) {
            Refuse(431, "the header is larger than " + Kib(lim.header));
            return false;
        }
        m_Request.headers.emplace_back(std::string(f.name_string()), std::string(f.value()));
    }
    const auto url = boost::urls::parse_origin_form(msg.target());
    if (!url) {
        Refuse(400, "the request's target is not a path");
        return false;
    }
    m_Request.path = url->path();
    for (const auto& p : url->params(boost::urls::encoding_opts(true, false, false))) {
        m_Request.params.emplace_back(p.key, p.value);
    }
    return true;
}

void Session::ReadBody() {
    const std::size_t limit = m_Route->body != 0 ? m_Route->body : m_Server.Limits().body;
    const auto length = m_Parser->content_length();
    if (length && *length > limit) {
        Refuse(413, "the body is larger than " + Kib(limit));
        return;
    }
    // From here the parser counts every body byte, chunked or not, against the route's limit.
    m_Parser->body_limit(limit);
    if (m_Parser->is_done()) {
        Dispatch();
        return;
    }
    if (beast::iequals(m_Parser->get()[http::field::expect], "100-continue")) {
        Continue();
        return;
    }
    http::async_read(
        m_Stream, m_Buffer, *m_Parser,
        [self = shared_from_this()](const ErrorCode& ec, std::size_t) { self->OnBody(ec); });
}

// A client that waits to be told before sending its body (curl does, past 1 KiB) is told,
// now that the header has passed every check.
void Session::Continue() {
    auto told = std::make_shared<http::response<http::empty_body>>(http::status::continue_, 11);
    http::async_write(
        m_Stream, *told, [self = shared_from_this(), told](const ErrorCode& ec, std::size_t) {
            if (ec) {
                self->Shut();
                return;
            }
            http::async_read(self->m_Stream, self->m_Buffer, *self->m_Parser,
                             [self](const ErrorCode& e, std::size_t) { self->OnBody(e); });
        });
}

void Session::OnBody(const ErrorCode& ec) {
    if (ec) {
        ReadFailed(ec);
        return;
    }
    Dispatch();
}

void Session::ReadFailed(const ErrorCode& ec) {
    const HttpLimits& lim = m_Server.Limits();
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
        // The header never ended: its request line, if that never ended either, or its fields.
        if (m_Parser->get().target().empty()) {
            Refuse(414, "the request line is longer than " + Kib(lim.requestLine));
        } else {
            Refuse(431, "the header is larger than " + Kib(lim.header));
        }
    } else if (ec == http::error::body_limit) {
        const std::size_t limit =
            m_Route != nullptr && m_Route->body != 0 ? m_Route->body : lim.body;
        Refuse(413, "the body is larger than " + Kib(limit));
    } else if (ec == beast::error::timeout) {
        if (m_Parser->got_some() || m_Buffer.size() > 0) {
            m_Server.Log("closed a connection from " + m_Peer + ": its request took longer than " +
                         std::to_string(lim.request.count() / 1000) + " s");
        }
        Shut();
    } else if (Quiet(ec) || m_Parser->got_some() == false) {
        Shut();
    } else {
        Refuse(400, "not a well-formed HTTP request: " + ec.message());
    }
}

void Session::Dispatch() {
    m_Request.body = std::move(m_Parser->get().body());
    if (m_Route->run == HttpRun::kInline) {
        Answer(Run(*m_Route, m_Request));
        return;
    }
    // The strand is idle until the answer is posted back, so the worker may read m_Request.
    auto self = shared_from_this();
    const bool queued = m_Server.Work([self] {
        HttpResponse res = Run(*self->m_Route, self->m_Request);
        net::post(self->m_Stream.get_executor(),
                  [self, res = std::move(res)]() mutable { self->Answer(std::move(res)); });
    });
    if (!queued) {
        HttpResponse busy;
        busy.Error(503, "the server is busy; try again later");
        Answer(std::move(busy));
    }
}

// A response to a request whose body may not have been read: then the connection closes.
void Session::Answer(HttpResponse res) {
    if (res.stream) {
        StartStream(std::move(res));
        return;
    }
    Send(std::move(res), !m_Parser->is_done() || !m_Parser->keep_alive());
}

void Session::Refuse(int status, const std::string& words) {
    if (status == 413 || status == 414 || status == 431) {
        m_Server.Log("refused a request from " + m_Peer + " (" + std::to_string(status) +
                     "): " + words);
    }
    HttpResponse res;
    res.Error(status, words);
    Send(std::move(res), true);
}

void Session::Send(HttpResponse res, bool close) {
    if (res.status >= 500) {
        m_Server.Log(m_Request.method + " " + m_Request.path + ": " + std::to_string(res.status) +
                     " " + res.body);
    }
    const bool head = m_Request.method == "HEAD";
    auto reply = std::make_shared<Reply>(static_cast<http::status>(res.status),
                                         m_Parser->get().version() == 10 ? 10 : 11);
    for (const auto& [name, value] : m_Server.Options().headers) {
        reply->set(name, value);
    }
    reply->set(http::field::content_type, res.contentType);
    for (const auto& [name, value] : res.headers) {
        reply->insert(name, value);
    }
    reply->body() = std::move(res.body);
    reply->keep_alive(!close);
    reply->prepare_payload();
    if (head) {
        reply->body().clear();  // the length stays: what a GET would have sent
    }
    m_Reply = reply;
    m_Stream.expires_after(m_Server.Limits().write);
    http::async_write(m_Stream, *reply,
                      [self = shared_from_this(), close](const ErrorCode& ec, std::size_t) {
                          self->OnSent(ec, close);
                      });
}

void Session::OnSent(const ErrorCode& ec, bool close) {
    m_Reply.reset();
    if (ec) {
        Shut();
    } else if (close) {
        Linger();
    } else {
        WaitIdle();
    }
}

// Half-closes, then throws away what the client still sends for a moment: closing with unread
// bytes would reset the connection, and the client might lose the answer.
void Session::Linger() {
    ErrorCode ignored;
    m_Stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    m_nLingered = 0;
    m_Stream.expires_after(kLinger);
    m_Stream.async_read_some(
        net::buffer(m_Sink),
        [self = shared_from_this()](const ErrorCode& ec, std::size_t n) { self->OnLinger(ec, n); });
}

void Session::OnLinger(const ErrorCode& ec, std::size_t n) {
    m_nLingered += n;
    if (ec || m_nLingered >= kLingerBytes) {
        Shut();
        return;
    }
    m_Stream.async_read_some(
        net::buffer(m_Sink),
        [self = shared_from_this()](const ErrorCode& e, std::size_t k) { self->OnLinger(e, k); });
}

// ---- the event stream ---------------------------------------------------------------------

void Session::StartStream(HttpResponse res) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Queue.assign(res.stream->begin(), res.stream->end());
        m_bWriting = true;  // Push queues only until the header is out
    }
    if (!m_Server.AddStream(shared_from_this())) {
        m_Server.Log("refused an event stream to " + m_Peer + ": " +
                     std::to_string(m_Server.Limits().streams) + " streams are open");
        HttpResponse busy;
        busy.Error(503, "too many clients are watching; try again later");
        Send(std::move(busy), true);
        return;
    }
    // No length and no chunks: the stream's body runs until the connection closes.
    auto reply = std::make_shared<Reply>(http::status::ok, 11);
    for (const auto& [name, value] : m_Server.Options().headers) {
        reply->set(name, value);
    }
    reply->set(http::field::content_type, res.contentType);
    for (const auto& [name, value] : res.headers) {
        reply->insert(name, value);
    }
    reply->keep_alive(false);
    m_Reply = reply;
    m_Stream.expires_after(m_Server.Limits().write);
    http::async_write(m_Stream, *reply,
                      [self = shared_from_this()](const ErrorCode& ec, std::size_t) {
                          self->m_Reply.reset();
                          if (ec) {
                              self->Shut();
                              return;
                          }
                          self->WatchStream();
                          self->WriteQueued();
                      });
}

bool Session::Push(const StreamMessage& message) {
    bool drop = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bClosed) {
            return false;
        }
        if (m_Queue.size() >= m_Server.Limits().streamQueue) {
            m_bClosed = true;
            m_Queue.clear();
            drop = true;
        } else {
            m_Queue.push_back(message);
            if (!m_bWriting) {
                m_bWriting = true;
                net::post(m_Stream.get_executor(),
                          [self = shared_from_this()] { self->WriteQueued(); });
            }
        }
    }
    if (drop) {
        m_Server.Log("dropped an event stream to " + m_Peer + ": " +
                     std::to_string(m_Server.Limits().streamQueue) + " messages behind");
        Close();
    }
    return !drop;
}

// Everything queued goes in one write; the next write starts when it is done.
void Session::WriteQueued() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bClosed || m_Queue.empty()) {
            m_bWriting = false;
            return;
        }
        m_Out.assign(m_Queue.begin(), m_Queue.end());
        m_Queue.clear();
    }
    m_OutBuffers.clear();
    for (const StreamMessage& m : m_Out) {
        m_OutBuffers.push_back(net::buffer(*m));
    }
    m_Stream.expires_after(m_Server.Limits().write);
    net::async_write(m_Stream, m_OutBuffers,
                     [self = shared_from_this()](const ErrorCode& ec, std::size_t) {
                         if (ec) {
                             self->Shut();
                             return;
                         }
                         self->WriteQueued();
                     });
}

// A read kept pending on the stream finds a client that went away at once; what it sends is
// thrown away. It bypasses the stream's timer, which belongs to the writes.
void Session::WatchStream() {
    m_Stream.socket().async_read_some(
        net::buffer(m_Sink), [self = shared_from_this()](const ErrorCode& ec, std::size_t) {
            if (ec) {
                self->Shut();
                return;
            }
            self->WatchStream();
        });
}

void Session::Shut() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bClosed = true;
        m_Queue.clear();
    }
    m_Server.RemoveStream(this);
    ErrorCode ignored;
    m_Stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    m_Stream.close();
}

void Session::Close() {
    net::post(m_Stream.get_executor(), [self = shared_from_this()] { self->Shut(); });
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
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bStopping) {
            return;
        }
        if (m_Sessions.size() >= m_Options.limits.connections) {
            // Past the bound new connections wait in the kernel's backlog until one ends.
            m_bPaused = true;
            Log(std::to_string(m_Sessions.size()) +
                " connections are open, the most allowed; "
                "new ones wait");
            return;
        }
    }
    Accept();
}

void HttpServer::Impl::Opened(const std::shared_ptr<Session>& s) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sessions[s.get()] = s;
}

void HttpServer::Impl::Closed(const Session* s) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Sessions.erase(s);
    if (m_bPaused && !m_bStopping && m_Sessions.size() < m_Options.limits.connections) {
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

void HttpServer::Publish(StreamMessage message) {
    m_Impl->Publish(message);
}

std::size_t HttpServer::Streams() const {
    return m_Impl->Count(true);
}

std::size_t HttpServer::Connections() const {
    return m_Impl->Count(false);
}

void HttpServer::Stop() {
    m_Impl->Stop();
}

}  // namespace panel
