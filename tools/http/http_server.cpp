#include "tools/http/http_server.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
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

namespace http {

namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Parser = bhttp::request_parser<bhttp::string_body>;
using Reply = bhttp::response<bhttp::string_body>;

namespace {

// What a refused client may still send after its answer is read and thrown away, so that the
// close does not reset the connection before the client has read the answer.
constexpr std::size_t kLingerBytes = std::size_t{64} * 1024;
constexpr std::chrono::milliseconds kLinger{1000};
constexpr std::chrono::milliseconds kAcceptRetry{100};
// Past this many log lines in a second the rest are counted, not written.
constexpr int kLogLinesPerSecond = 20;
// Lines waiting for the log's writer; past it they are counted, not queued.
constexpr std::size_t kLogQueue = 64;
// How long the end waits for the log's writer to write what is queued.
constexpr std::chrono::seconds kLogDrain{1};

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
// cannot fill a disk through it. Lines go through a bounded queue to a thread of the log's
// own: a sink that blocks (a stderr nobody reads) costs lines, counted, never a client's
// thread.
class RateLog {
  public:
    explicit RateLog(std::function<void(const std::string&)> sink) {
        if (sink) {
            m_State = std::make_shared<State>();
            m_State->sink = std::move(sink);
            // The thread shares the state: a writer stuck in its sink may outlive the server.
            m_Writer = std::thread([state = m_State] { Run(*state); });
        }
    }
    ~RateLog() { Stop(); }
    RateLog(const RateLog&) = delete;
    RateLog& operator=(const RateLog&) = delete;

    void operator()(std::string line) {
        if (!m_State) {
            return;
        }
        // A line may quote a client's path: no control character of its may forge a line.
        for (char& c : line) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                c = '?';
            }
        }
        State& s = *m_State;
        {
            std::lock_guard<std::mutex> lock(s.mutex);
            const auto now = std::chrono::steady_clock::now();
            if (now - s.start >= std::chrono::seconds(1)) {
                if (s.over > 0) {
                    Queue(s, std::to_string(s.over) + " more such lines in the last second");
                }
                s.start = now;
                s.lines = 0;
                s.over = 0;
            }
            if (s.lines++ < kLogLinesPerSecond) {
                Queue(s, std::move(line));
            } else {
                ++s.over;
            }
        }
        s.ready.notify_one();
    }

    // Writes what is queued, then ends the writer; a writer stuck in its sink is left behind
    // after a second rather than holding up the end.
    void Stop() {
        if (!m_Writer.joinable()) {
            return;
        }
        State& s = *m_State;
        bool done = false;
        {
            std::unique_lock<std::mutex> lock(s.mutex);
            s.stopping = true;
            s.ready.notify_one();
            done = s.finished.wait_for(lock, kLogDrain, [&s] { return s.done; });
        }
        if (done) {
            m_Writer.join();
        } else {
            m_Writer.detach();
        }
    }

  private:
    struct State {
        std::function<void(const std::string&)> sink;
        std::mutex mutex;  // guards what follows
        std::condition_variable ready;
        std::condition_variable finished;
        std::deque<std::string> queue;
        std::chrono::steady_clock::time_point start;
        int lines = 0;
        int over = 0;          // past the rate in this second
        std::size_t lost = 0;  // past the queue's bound
        bool stopping = false;
        bool done = false;
    };

    static void Queue(State& s, std::string line) {
        if (s.queue.size() < kLogQueue) {
            s.queue.push_back(std::move(line));
        } else {
            ++s.lost;
        }
    }

    static void Run(State& s) {
        std::unique_lock<std::mutex> lock(s.mutex);
        for (;;) {
            s.ready.wait(lock, [&s] { return s.stopping || !s.queue.empty(); });
            if (s.queue.empty()) {
                break;
            }
            std::deque<std::string> lines;
            lines.swap(s.queue);
            const std::size_t lost = s.lost;
            s.lost = 0;
            lock.unlock();
            for (const std::string& line : lines) {
                s.sink(line);
            }
            if (lost > 0) {
                s.sink(std::to_string(lost) + " lines lost: the error log could not keep up");
            }
            lock.lock();
        }
        s.done = true;
        s.finished.notify_all();
    }

    std::shared_ptr<State> m_State;
    std::thread m_Writer;
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
    bool Work(HttpRun run, std::function<void()> job) {
        return (run == HttpRun::kSideWorker ? m_SidePool : m_Pool).Post(std::move(job));
    }
    bool AddStream(const std::shared_ptr<Session>& s);
    std::size_t Count(bool streams) const;
    void RemoveStream(const Session* s);
    void Opened(const std::shared_ptr<Session>& s);
    void ShownToken(const Session* s);
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
    // Connections none of whose requests has shown the token yet, oldest first: at the bound
    // the oldest goes to make room, so that strangers cannot keep the token's holders out.
    std::map<std::uint64_t, std::weak_ptr<Session>> m_Strangers;
    std::uint64_t m_nOpened = 0;
    std::size_t m_nMadeRoom = 0;  // closed to make room, not yet gone; not counted
    bool m_bPaused = false;
    bool m_bStopping = false;

  private:
    bool Listen(std::string* error);
    void Accept();
    void OnAccept(const ErrorCode& ec, tcp::socket socket);
    bool HasStranger(const Session* besides) const;
    std::shared_ptr<Session> OldestStranger(const Session* newest);

    RateLog m_Log;
    net::io_context m_Io;
    net::strand<net::io_context::executor_type> m_AcceptStrand;
    tcp::acceptor m_Acceptor;
    std::optional<net::executor_work_guard<net::io_context::executor_type>> m_Work;
    WorkerPool m_Pool;
    WorkerPool m_SidePool;
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
    friend class HttpServer::Impl;

    void Start();
    void WaitIdle();
    void BeginRequest();
    void OnHeader(const ErrorCode& ec);
    bool TakeHeader();
    void ReadBody();
    void Continue();
    void ReadBodyPart();
    void OnBodyPart(const ErrorCode& ec, std::size_t n);
    void Dispatch();
    void Handle();
    void OpenStream(HttpResponse& res);
    void Post(HttpResponse res);
    void Answer(HttpResponse res);
    void Send(HttpResponse res, bool close);
    void OnSent(const ErrorCode& ec, bool close);
    void Refuse(int status, const std::string& words);
    void ReadFailed(const ErrorCode& ec);
    void Linger();
    void OnLinger(const ErrorCode& ec, std::size_t n);
    void StartStream(const HttpResponse& res);
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
    bool m_bFirst = true;        // the connection's first request, until its header is in
    bool m_bShownToken = false;  // a request of this connection passed the screen
    std::chrono::steady_clock::time_point m_Begun;      // the request's start
    std::chrono::milliseconds m_Deadline{0};            // the deadline in force, for the log
    bool m_bInBody = false;                             // its body is being read, by its rate
    std::chrono::steady_clock::time_point m_WindowEnd;  // the body's window closes then
    std::size_t m_nWindowBytes = 0;                     // what the window has brought
    std::array<char, 4096> m_Sink{};
    std::size_t m_nLingered = 0;
    std::vector<StreamMessage> m_Out;  // the stream's write in flight
    std::vector<net::const_buffer> m_OutBuffers;

    bool m_bStreamStarted = false;  // its first write, the whole state, is done

    std::mutex m_Mutex;  // guards the stream's queue
    std::deque<StreamMessage> m_Queue;
    bool m_bWriting = false;
    bool m_bClosed = false;

    // Guarded by the server's mutex.
    std::uint64_t m_nSeq = 0;  // in the order of acceptance
    bool m_bMadeRoom = false;  // closed to make room for a newer connection
};

namespace {

bool Quiet(const ErrorCode& ec) {
    return ec == bhttp::error::end_of_stream || ec == net::error::eof ||
           ec == net::error::connection_reset || ec == net::error::operation_aborted ||
           ec == net::error::broken_pipe || ec == beast::error::timeout;
}

}  // namespace

// ---- one connection -----------------------------------------------------------------------

void Session::Start() {
    m_Buffer.max_size(m_Server.Limits().header + 1024);
    BeginRequest();
}

// Between requests: the idle limit runs until the next request's first byte.
void Session::WaitIdle() {
    if (m_Buffer.size() > 0) {
        BeginRequest();
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
                                 self->BeginRequest();
                             });
}

// One deadline covers the header and the body together. A new connection's first header has
// a shorter one: a client that means to ask asks at once, and one that does not is not kept.
void Session::BeginRequest() {
    const HttpLimits& lim = m_Server.Limits();
    m_Begun = std::chrono::steady_clock::now();
    m_Deadline = m_bFirst ? std::min(lim.firstHeader, lim.request) : lim.request;
    m_Parser.emplace();
    m_Parser->header_limit(static_cast<std::uint32_t>(m_Server.Limits().header));
    // The route, found once the header is in, sets the body's limit before any of it is read.
    m_Parser->body_limit(boost::none);
    m_Request = HttpRequest();
    m_Route = nullptr;
    m_bInBody = false;
    m_Stream.expires_after(m_Deadline);
    bhttp::async_read_header(
        m_Stream, m_Buffer, *m_Parser,
        [self = shared_from_this()](const ErrorCode& ec, std::size_t) { self->OnHeader(ec); });
}

void Session::OnHeader(const ErrorCode& ec) {
    if (ec) {
        ReadFailed(ec);
        return;
    }
    if (m_bFirst) {
        m_bFirst = false;
        m_Deadline = m_Server.Limits().request;
        m_Stream.expires_at(m_Begun + m_Deadline);
    }
    if (!TakeHeader()) {
        return;
    }
    HttpVerdict verdict = m_Server.m_Screen ? m_Server.m_Screen(m_Request) : HttpVerdict();
    if (verdict.refusal) {
        // Refused, and closed: a stranger keeps no place among the connections.
        Send(std::move(*verdict.refusal), true);
        return;
    }
    if (verdict.shownToken && !m_bShownToken) {
        m_bShownToken = true;
        m_Server.ShownToken(this);
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
    if (beast::iequals(m_Parser->get()[bhttp::field::expect], "100-continue")) {
        Continue();
        return;
    }
    ReadBodyPart();
}

// A client that waits to be told before sending its body (curl does, past 1 KiB) is told,
// now that the header has passed every check.
void Session::Continue() {
    auto told = std::make_shared<bhttp::response<bhttp::empty_body>>(bhttp::status::continue_, 11);
    bhttp::async_write(m_Stream, *told,
                       [self = shared_from_this(), told](const ErrorCode& ec, std::size_t) {
                           if (ec) {
                               self->Shut();
                               return;
                           }
                           self->ReadBodyPart();
                       });
}

// The body in parts, each window of bodyWindow bringing at least bodyBytes or the rest.
void Session::ReadBodyPart() {
    if (!m_bInBody) {
        m_bInBody = true;
        m_WindowEnd = std::chrono::steady_clock::now() + m_Server.Limits().bodyWindow;
        m_nWindowBytes = 0;
    }
    m_Stream.expires_at(m_WindowEnd);
    bhttp::async_read_some(m_Stream, m_Buffer, *m_Parser,
                           [self = shared_from_this()](const ErrorCode& ec, std::size_t n) {
                               self->OnBodyPart(ec, n);
                           });
}

void Session::OnBodyPart(const ErrorCode& ec, std::size_t n) {
    if (ec) {
        ReadFailed(ec);
        return;
    }
    if (m_Parser->is_done()) {
        Dispatch();
        return;
    }
    m_nWindowBytes += n;
    if (m_nWindowBytes >= m_Server.Limits().bodyBytes) {
        m_WindowEnd = std::chrono::steady_clock::now() + m_Server.Limits().bodyWindow;
        m_nWindowBytes = 0;
    }
    ReadBodyPart();
}

void Session::ReadFailed(const ErrorCode& ec) {
    const HttpLimits& lim = m_Server.Limits();
    if (ec == bhttp::error::header_limit || ec == bhttp::error::buffer_overflow) {
        // The header never ended: its request line, if that never ended either, or its fields.
        if (m_Parser->get().target().empty()) {
            Refuse(414, "the request line is longer than " + Kib(lim.requestLine));
        } else {
            Refuse(431, "the header is larger than " + Kib(lim.header));
        }
    } else if (ec == bhttp::error::body_limit) {
        const std::size_t limit =
            m_Route != nullptr && m_Route->body != 0 ? m_Route->body : lim.body;
        Refuse(413, "the body is larger than " + Kib(limit));
    } else if (ec == beast::error::timeout && m_bInBody) {
        m_Server.Log("closed a connection from " + m_Peer + ": its body came slower than " +
                     Kib(lim.bodyBytes) + " in " + Seconds(lim.bodyWindow));
        Shut();
    } else if (ec == beast::error::timeout) {
        if (m_Parser->got_some() || m_Buffer.size() > 0) {
            m_Server.Log("closed a connection from " + m_Peer + ": its request took longer than " +
                         Seconds(m_Deadline));
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
        Handle();
        return;
    }
    const bool queued =
        m_Server.Work(m_Route->run, [self = shared_from_this()] { self->Handle(); });
    if (!queued) {
        HttpResponse busy;
        busy.Error(503, "the server is busy; try again later");
        Answer(std::move(busy));
    }
}

// On the handler's thread. The strand is idle until the answer is posted back, so the
// handler may read m_Request; one that answers later gives its answer from any thread.
void Session::Handle() {
    HttpResponse res;
    auto once = std::make_shared<std::atomic<bool>>(false);
    res.m_Later = [self = shared_from_this(), once](HttpResponse later) {
        if (!once->exchange(true)) {
            self->Post(std::move(later));
        }
    };
    try {
        m_Route->handler(m_Request, res);
    } catch (const std::exception& e) {
        HttpResponse failed;
        failed.Error(500, std::string("the server failed on this request: ") + e.what());
        if (res.m_bLater) {
            res.m_Later(std::move(failed));
            return;
        }
        res = std::move(failed);
    }
    if (res.m_bLater) {
        return;
    }
    res.m_Later = nullptr;
    if (res.stream && m_Request.method != "HEAD") {
        OpenStream(res);
    }
    Post(std::move(res));
}

void Session::Post(HttpResponse res) {
    net::post(m_Stream.get_executor(), [self = shared_from_this(), res = std::move(res)]() mutable {
        self->Answer(std::move(res));
    });
}

// A response to a request whose body may not have been read: then the connection closes.
void Session::Answer(HttpResponse res) {
    if (res.stream && m_Request.method == "HEAD") {
        res.stream = nullptr;  // the header a stream would have, and no stream
        Send(std::move(res), true);
        return;
    }
    if (res.stream) {
        StartStream(res);
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
    auto reply = std::make_shared<Reply>(static_cast<bhttp::status>(res.status),
                                         m_Parser->get().version() == 10 ? 10 : 11);
    for (const auto& [name, value] : m_Server.Options().headers) {
        reply->set(name, value);
    }
    reply->set(bhttp::field::content_type, res.contentType);
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
    bhttp::async_write(m_Stream, *reply,
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

// On the handler's thread: the stream is registered before its first messages are made, so
// that a change published meanwhile follows them rather than being lost between the two.
void Session::OpenStream(HttpResponse& res) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Queue.clear();
        m_bWriting = true;  // Push queues only until the header is out
    }
    const auto refuse = [&res](int status, const std::string& words) {
        res = HttpResponse();
        res.Error(status, words);
    };
    if (!m_Server.AddStream(shared_from_this())) {
        m_Server.Log("refused an event stream to " + m_Peer + ": " +
                     std::to_string(m_Server.Limits().streams) + " streams are open");
        refuse(503, "too many clients are watching; try again later");
        return;
    }
    std::vector<StreamMessage> first;
    try {
        first = res.stream();
    } catch (const std::exception& e) {
        m_Server.RemoveStream(this);
        refuse(500, std::string("the server failed on this request: ") + e.what());
        return;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Queue.insert(m_Queue.begin(), first.begin(), first.end());
}

void Session::StartStream(const HttpResponse& res) {
    // No length and no chunks: the stream's body runs until the connection closes.
    auto reply = std::make_shared<Reply>(bhttp::status::ok, 11);
    for (const auto& [name, value] : m_Server.Options().headers) {
        reply->set(name, value);
    }
    reply->set(bhttp::field::content_type, res.contentType);
    for (const auto& [name, value] : res.headers) {
        reply->insert(name, value);
    }
    reply->keep_alive(false);
    m_Reply = reply;
    m_Stream.expires_after(m_Server.Limits().write);
    bhttp::async_write(m_Stream, *reply,
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
    // The first write carries the whole state, megabytes on a big log: a slow client gets
    // the time to read it once rather than a reconnect in a loop.
    m_Stream.expires_after(m_bStreamStarted ? m_Server.Limits().write
                                            : m_Server.Limits().streamStart);
    net::async_write(m_Stream, m_OutBuffers,
                     [self = shared_from_this()](const ErrorCode& ec, std::size_t) {
                         if (ec) {
                             self->Shut();
                             return;
                         }
                         self->m_bStreamStarted = true;
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
