// The HTTP server's inside, shared by the server (listening, accepting, routes and streams,
// http_server.cpp) and its connections (session.cpp). Not for the server's users.
#pragma once

#include <atomic>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tools/http/http_server.h"
#include "tools/http/rate_log.h"
#include "tools/http/worker_pool.h"

namespace http {

namespace beast = boost::beast;
namespace bhttp = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using ErrorCode = boost::system::error_code;
using Parser = bhttp::request_parser<bhttp::string_body>;
using Reply = bhttp::response<bhttp::string_body>;

// What a refused client may still send after its answer is read and thrown away, so that the
// close does not reset the connection before the client has read the answer.
constexpr std::size_t kLingerBytes = std::size_t{64} * 1024;
constexpr std::chrono::milliseconds kLinger{1000};
constexpr std::chrono::milliseconds kAcceptRetry{100};

// "16 KiB", "4 MiB"; "1 s", "500 ms": limits as the log and the refusals say them.
std::string Kib(std::size_t bytes);
std::string Seconds(std::chrono::milliseconds t);
// {"error": words}, valid JSON whatever bytes the words quote.
std::string ErrorJson(const std::string& words);

struct RouteEntry {
    std::string method;
    std::regex pattern;
    HttpHandler handler;
    HttpRun run = HttpRun::kInline;
    std::size_t body = 0;
};

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

}  // namespace http
