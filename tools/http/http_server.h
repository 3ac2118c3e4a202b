// The panel's HTTP server: Boost.Beast parses every request under fixed bounds (request line,
// header size and count, body by any transfer encoding, a deadline for the header, a least
// rate for the body and a deadline for idle keep-alive), so no client can make it hold more
// than a few KiB per connection.
//
// Threads: a few I/O threads run every connection asynchronously, so idle or hostile
// connections cost memory, not threads. Handlers that may wait (a deck's reply) run on a
// bounded pool of workers, work of another kind (the clip log's) on a second pool, so that
// neither queues behind the other; quick ones run on the I/O thread. A handler may also answer
// later, from any thread. An event stream is a connection left open after its handler;
// Publish() from any thread queues a message for every stream, and a stream that falls too
// far behind is dropped.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace http {

struct HttpLimits {
    std::size_t requestLine = 8 * 1024;           // 414 past it
    std::size_t header = 16 * 1024;               // request line and fields together; 431 past it
    std::size_t fields = 100;                     // 431 past it
    std::size_t body = 16 * 1024;                 // by any transfer encoding; 413 past it
    std::chrono::milliseconds request{10000};     // from a request's first byte to its header's end
    std::chrono::milliseconds firstHeader{2000};  // a new connection's first request header
    // A body is judged by its rate, not by one deadline, so that a slow link (a VPN from home)
    // is not taken for a client that trickles: it is closed once fewer than `bodyBytes`
    // arrived in a `bodyWindow` (32 KiB in 2 s: 128 kbit/s), a body that stops included.
    std::size_t bodyBytes = 32 * 1024;
    std::chrono::milliseconds bodyWindow{2000};
    std::chrono::milliseconds idle{30000};  // between requests on a kept-alive connection
    std::chrono::milliseconds write{5000};  // one write to a client, the stream's included
    // Past it the oldest connection that has not shown the token is closed for the new one;
    // when every one has, new ones wait in the kernel's backlog.
    std::size_t connections = 1024;
    std::size_t streams = 512;     // 503 past it
    std::size_t streamQueue = 64;  // messages a stream may fall behind by
    int sendBuffer = 64 * 1024;    // small, so a client that stops reading shows within seconds

    // A stream's first write: the whole state, which a big clip log makes megabytes.
    std::chrono::milliseconds streamStart{60000};
};

struct HttpOptions {
    std::string host = "127.0.0.1";
    int port = 0;  // 0: any free port
    HttpLimits limits;
    int ioThreads = 2;
    int workers = 32;             // handlers that may block, at once
    std::size_t workQueue = 256;  // waiting for a worker; 503 past it
    int ioNice = 0;               // added to the I/O threads' nice value
    std::vector<std::pair<std::string, std::string>> headers;  // on every response
    // One line for each 5xx and each connection refused past a limit; empty: quiet. Called on
    // a thread of its own, never on one that serves a client.
    std::function<void(const std::string&)> log;

    // The second pool (HttpRun::kSideWorker): its workers, and its queue (503 past it).
    int sideWorkers = 4;
    std::size_t sideQueue = 256;
};

class HttpRequest {
  public:
    std::string method;                // as sent, e.g. "GET"
    std::string target;                // as sent, e.g. "/api/log.edl?title=A%20B"
    std::string path;                  // percent-decoded, without the query
    std::vector<std::string> matches;  // the route's captures; [0] is the whole path
    std::vector<std::pair<std::string, std::string>> headers;
    std::vector<std::pair<std::string, std::string>> params;  // the query, decoded
    std::string body;

    // The first value, or "" (header names without regard to case).
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
    std::string Param(const std::string& name) const;
    bool HasParam(const std::string& name) const;
};

// A message for event streams, shared by every stream it goes to: a whole clip log can be
// megabytes, and a hundred watchers must not mean a hundred copies.
using StreamMessage = std::shared_ptr<const std::string>;

struct HttpResponse;
// A handler's answer given later, from any thread; only its first call counts.
using HttpLater = std::function<void(HttpResponse)>;

struct HttpResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Set by StartStream: the connection stays open as an event stream. The stream is
    // registered before its first messages are made, so that nothing published meanwhile is
    // lost; those go first, and what was published meanwhile after them.
    std::function<std::vector<StreamMessage>()> stream;

    void Json(int code, const std::string& json);
    void Error(int code, const std::string& words);  // {"error": words}
    void StartStream(std::function<std::vector<StreamMessage>()> first);
    void StartStream(std::vector<StreamMessage> first);
    // For a handler that answers later (e.g. once a file is saved): it returns at once, and
    // the connection waits for the function this gives.
    HttpLater Later();
    bool Deferred() const { return m_bLater; }

  private:
    friend class Session;
    HttpLater m_Later;  // set by the connection before the handler runs
    bool m_bLater = false;
};

// Where a handler runs: kInline on the I/O thread (it must not wait on anything slow),
// kWorker on the pool (it may wait, e.g. for a deck's reply), kSideWorker on the second pool.
enum class HttpRun { kInline, kWorker, kSideWorker };

// The request is the handler's while it runs: one that answers later may move its body away.
using HttpHandler = std::function<void(HttpRequest&, HttpResponse&)>;

// The screen's verdict on a request: refused with an answer (4xx; the connection then closes),
// let through as one that showed the token, or let through as open to anyone (the page's own
// files). A connection with a request that showed the token is never the one closed to make
// room for another.
struct HttpVerdict {
    std::optional<HttpResponse> refusal;
    bool shownToken = true;

    // Converts from what a screen used to return: nothing lets the request through.
    HttpVerdict(std::optional<HttpResponse> refused = std::nullopt)
        : refusal(std::move(refused)), shownToken(!refusal) {}
    static HttpVerdict Open() {
        HttpVerdict v;
        v.shownToken = false;
        return v;
    }
};

// Sees each request once its header has arrived, before any body is read.
using HttpScreen = std::function<HttpVerdict(const HttpRequest&)>;

class HttpServer {
  public:
    explicit HttpServer(HttpOptions options);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // `pattern` is a regular expression matched against the whole decoded path. `body` is
    // this route's body limit, 0 for the server's.
    void Route(const std::string& method, const std::string& pattern, HttpHandler handler,
               HttpRun run = HttpRun::kInline, std::size_t body = 0);
    void Screen(HttpScreen screen);

    // Binds and listens; false with the reason when the address cannot be had.
    bool Start(std::string* error);
    int Port() const;
    // Queues a message for every open stream; never waits for a client.
    void Publish(const StreamMessage& message);
    void Publish(const std::string& message) {
        Publish(std::make_shared<const std::string>(message));
    }
    std::size_t Streams() const;
    std::size_t Connections() const;
    // A line for the error log (options.log): queued, never waiting for the log's writer.
    void Log(const std::string& line);
    // Closes every connection, waits for running handlers and ends the threads.
    void Stop();

  private:
    friend class Session;
    class Impl;
    std::shared_ptr<Impl> m_Impl;
};

}  // namespace http
