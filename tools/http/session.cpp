// One connection of the HTTP server: its requests one after another, read under the bounds,
// screened, routed and answered; or an event stream once a handler starts one.
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/url/parse.hpp>

#include "tools/http/server_impl.h"

namespace http {

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

}  // namespace http
