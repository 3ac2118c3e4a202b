// The HTTP layer's bounds, over raw sockets: what a hostile or broken client sends, and what
// the server must answer (or that it closes without reading on).
#include <sys/socket.h>

#include <gtest/gtest.h>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "tools/http/http_server.h"

namespace {

namespace net = boost::asio;
namespace bhttp = boost::beast::http;
using net::ip::tcp;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr std::size_t kCsvLimit = 4u << 20;

struct Client {
    net::io_context io;
    tcp::socket socket{io};
    boost::beast::flat_buffer buffer;  // what was read past one answer belongs to the next

    explicit Client(int port) {
        socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
    }
    bool Send(const std::string& bytes) {
        boost::system::error_code ec;
        net::write(socket, net::buffer(bytes), ec);
        return !ec;
    }
    bool Readable() {
        boost::system::error_code ec;
        return socket.available(ec) > 0 || ec;
    }
    // The status of the answer, or 0 when the connection closed without one or none came
    // within 5 s.
    int Status(std::string* body = nullptr) {
        bhttp::response_parser<bhttp::string_body> parser;
        parser.body_limit(1 << 20);
        bool read = false;
        bhttp::async_read(socket, buffer, parser, [&read](auto, auto) { read = true; });
        io.restart();
        io.run_for(5s);
        if (!read) {
            socket.cancel();
            io.run();
        }
        if (!parser.is_header_done()) {
            return 0;
        }
        if (body != nullptr) {
            *body = parser.get().body();
        }
        return static_cast<int>(parser.get().result_int());
    }
};

class HttpLimitsTest : public ::testing::Test {
  protected:
    HttpLimitsTest() {
        // The rows that count bytes must meet no clock on any build, however slow.
        options.limits.request = 120s;
        options.limits.idle = 1500ms;
        options.limits.streams = 1;
        options.log = [this](const std::string& line) {
            const std::lock_guard<std::mutex> wait(m_Hold);  // a test may hold the log here
            m_Log.push_back(line);
        };
    }

    void SetUp() override {
        server = std::make_unique<http::HttpServer>(options);
        const auto echo = [](const http::HttpRequest& req, http::HttpResponse& res) {
            res.Json(200, std::to_string(req.body.size()));
        };
        server->Route("GET", "/echo", echo);
        server->Route("GET", "/open", echo);
        server->Route("GET", "/fail[\\s\\S]*", [](const http::HttpRequest&, http::HttpResponse&) {
            throw std::runtime_error("failed");
        });
        server->Route("POST", "/echo", echo, http::HttpRun::kWorker);
        server->Route("POST", "/import", echo, http::HttpRun::kInline, kCsvLimit);
        server->Route("GET", "/events", [](const http::HttpRequest&, http::HttpResponse& res) {
            res.StartStream({std::make_shared<const std::string>("retry: 1000\n\n")});
        });
        server->Screen([](const http::HttpRequest& req) -> http::HttpVerdict {
            if (req.Header("Authorization") == "Bearer right") {
                return {};
            }
            if (req.path == "/open") {
                return http::HttpVerdict::Open();
            }
            http::HttpResponse res;
            res.Error(401, "no token");
            return {res};
        });
        std::string error;
        ASSERT_TRUE(server->Start(&error)) << error;
    }

    int Logged(const std::string& words) const {
        return static_cast<int>(std::count_if(m_Log.begin(), m_Log.end(), [&](const auto& l) {
            return l.find(words) != std::string::npos;
        }));
    }

    http::HttpOptions options;
    // The log's thread writes here until the server has ended, so these outlive it.
    std::mutex m_Hold;
    std::vector<std::string> m_Log;  // written by the log's thread; read after Stop
    std::unique_ptr<http::HttpServer> server;
};

constexpr const char* kStranger = "GET /open HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

std::string Head(const std::string& line, const std::string& fields = "") {
    return line + "\r\nHost: 127.0.0.1\r\nAuthorization: Bearer right\r\n" + fields + "\r\n";
}

std::string Fields(int n, std::size_t valueSize) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += "X-" + std::to_string(i) + ": " + std::string(valueSize, 'v') + "\r\n";
    }
    return out;
}

std::string Chunk(std::size_t n) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", n);
    return size + std::string(n, 'c') + "\r\n";
}

struct LimitRow {
    const char* name;
    std::string first;   // sent at once
    std::string repeat;  // then sent again and again, while the server has not answered,
    int most;            // at most this many times: a server that reads on is not answering
    int status;          // 0: closed without an answer
    std::string body;    // the answer's body, when it matters
};

TEST_F(HttpLimitsTest, EachLimitHolds) {
    const std::string post = "POST /echo HTTP/1.1";
    const std::string chunked = "Transfer-Encoding: chunked\r\n";
    const std::vector<LimitRow> rows = {
        {"request line at 8 KiB", Head("GET /echo?" + std::string(8150, 'a') + " HTTP/1.1"), "", 0,
         200, "0"},
        {"request line over 8 KiB", Head("GET /echo?" + std::string(8200, 'a') + " HTTP/1.1"), "",
         0, 414, ""},
        {"request line without end", "GET /" + std::string(4096, 'a'), std::string(4096, 'a'), 8,
         414, ""},
        {"100 fields", Head("GET /echo HTTP/1.1", Fields(98, 8)), "", 0, 200, "0"},
        {"101 fields", Head("GET /echo HTTP/1.1", Fields(99, 8)), "", 0, 431, ""},
        {"header over 16 KiB", Head("GET /echo HTTP/1.1", Fields(20, 900)), "", 0, 431, ""},
        {"header never ending", Head("GET /echo HTTP/1.1").substr(0, 40), Fields(1, 1000), 20, 431,
         ""},
        {"body of 16 KiB", Head(post, "Content-Length: 16384\r\n") + std::string(16384, 'b'), "", 0,
         200, "16384"},
        {"length over 16 KiB: answered before the body", Head(post, "Content-Length: 16385\r\n"),
         "", 0, 413, ""},
        {"chunked body of 16 KiB", Head(post, chunked) + Chunk(16384) + "0\r\n\r\n", "", 0, 200,
         "16384"},
        {"endless chunked body", Head(post, chunked), Chunk(4096), 8, 413, ""},
        {"one chunk over 16 KiB", Head(post, chunked) + "4001\r\n", "", 0, 413, ""},
        {"the import's own 4 MiB", Head("POST /import HTTP/1.1", chunked), Chunk(65536), 80, 413,
         ""},
        {"the import under 4 MiB",
         Head("POST /import HTTP/1.1", "Content-Length: 1048576\r\n") + std::string(1 << 20, 'i'),
         "", 0, 200, "1048576"},
        {"refused before its body is read",
         "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 16000\r\n\r\n", "", 0, 401, ""},
        {"a long path is only not found", Head("GET /" + std::string(8000, 'p') + " HTTP/1.1"), "",
         0, 404, ""},
        {"told to go on before its body",
         Head(post, "Expect: 100-continue\r\nContent-Length: 5\r\n"), "", 0, 100, ""},
        {"not HTTP", "\x16\x03\x01\x02\x00garbage\r\n\r\n"s, "", 0, 400, ""},
        {"a path with CR, LF and ESC, logged without them", Head("GET /fail%0D%0A%1B HTTP/1.1"), "",
         0, 500, ""},
    };
    for (const LimitRow& row : rows) {
        SCOPED_TRACE(row.name);
        Client c(server->Port());
        ASSERT_TRUE(c.Send(row.first));
        for (int i = 0; i < row.most && !c.Readable(); ++i) {
            if (!c.Send(row.repeat)) {
                break;
            }
        }
        std::string body;
        EXPECT_EQ(c.Status(&body), row.status);
        if (!row.body.empty()) {
            EXPECT_EQ(body, row.body);
        }
    }
    server->Stop();
    EXPECT_EQ(Logged("(413)"), 4);
    EXPECT_EQ(Logged("(414)"), 2);
    EXPECT_EQ(Logged("(431)"), 3);
    EXPECT_EQ(Logged("GET /fail???: 500"), 1);
}

// A 1 s deadline for the header; a body is judged by its rate alone (32 KiB in 2 s).
class HttpDeadlineTest : public HttpLimitsTest {
  protected:
    HttpDeadlineTest() { options.limits.request = 1000ms; }
};

// Sends `bytes` in pieces of `piece`, `rate` bytes a second, while the server has not answered.
void Paced(Client& c, const std::string& bytes, std::size_t piece, double rate) {
    const auto start = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < bytes.size() && !c.Readable(); at += piece) {
        if (!c.Send(bytes.substr(at, piece))) {
            return;
        }
        std::this_thread::sleep_until(start + std::chrono::duration<double>((at + piece) / rate));
    }
}

TEST_F(HttpDeadlineTest, AHeaderHasItsDeadlineABodyItsRate) {
    {
        SCOPED_TRACE("a header of one field every 20 ms, past its 1 s");
        Client c(server->Port());
        ASSERT_TRUE(c.Send("GET /echo HTTP/1.1\r\n"));
        Paced(c, Fields(100, 1), 8, 400.0);
        EXPECT_EQ(c.Status(), 0);
    }
    {
        SCOPED_TRACE("a body of one byte a second");
        Client c(server->Port());
        ASSERT_TRUE(c.Send(Head("POST /echo HTTP/1.1", "Content-Length: 100\r\n")));
        const auto start = std::chrono::steady_clock::now();
        Paced(c, std::string(100, 'b'), 1, 1.0);
        EXPECT_EQ(c.Status(), 0);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, 2s);  // the rule's window, never less
        EXPECT_LT(took, 10s);
    }
    {
        SCOPED_TRACE("a 4 MiB import at 1 Mbit/s: 34 s, against a 1 s header deadline");
        Client c(server->Port());
        ASSERT_TRUE(c.Send(Head("POST /import HTTP/1.1", "Content-Length: 4194304\r\n")));
        Paced(c, std::string(kCsvLimit, 'i'), 12500, 125000.0);
        std::string body;
        EXPECT_EQ(c.Status(&body), 200);
        EXPECT_EQ(body, "4194304");
    }
    server->Stop();
    EXPECT_EQ(Logged("its request took longer than 1 s"), 1);
    EXPECT_EQ(Logged("its body came slower than 32 KiB in 2 s"), 1);
}

TEST_F(HttpLimitsTest, RefusedByTheScreenThenClosed) {
    Client c(server->Port());
    const std::string noToken = "GET /echo HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    ASSERT_TRUE(c.Send(noToken + noToken));
    EXPECT_EQ(c.Status(), 401);
    EXPECT_EQ(c.Status(), 0);  // the second is never read: the connection ended
}

TEST_F(HttpLimitsTest, ABlockedLogHoldsUpNoClient) {
    {
        const std::lock_guard<std::mutex> hold(m_Hold);  // the log's writer waits here
        for (int i = 0; i < 3; ++i) {
            Client c(server->Port());
            ASSERT_TRUE(c.Send(Head("GET /fail HTTP/1.1")));
            EXPECT_EQ(c.Status(), 500);  // logged, and answered all the same
        }
    }
    server->Stop();
    EXPECT_EQ(Logged("GET /fail: 500"), 3);  // written once the log could go on
}

// Four places, and deadlines long enough that only making room lets anyone in.
class HttpStrangersTest : public HttpLimitsTest {
  protected:
    HttpStrangersTest() {
        options.limits.connections = 4;
        options.limits.request = 10s;
        options.limits.idle = 10s;
        options.limits.firstHeader = 500ms;
    }
};

TEST_F(HttpStrangersTest, TheTokensHolderGetsInPastStrangers) {
    // Strangers take every place: each loaded an open page and stays.
    std::vector<std::unique_ptr<Client>> strangers;
    const auto stranger = [&] {
        strangers.push_back(std::make_unique<Client>(server->Port()));
        return strangers.back()->Send(kStranger) && strangers.back()->Status() == 200;
    };
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(stranger());
    }
    ASSERT_EQ(server->Connections(), 4u);
    Client holder(server->Port());
    ASSERT_TRUE(holder.Send(Head("GET /echo HTTP/1.1")));
    EXPECT_EQ(holder.Status(), 200);
    EXPECT_EQ(strangers[0]->Status(), 0);  // the oldest stranger made room
    ASSERT_TRUE(strangers[1]->Send(kStranger));
    EXPECT_EQ(strangers[1]->Status(), 200);
    // Strangers keep coming; the holder keeps its place.
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(stranger());
    }
    ASSERT_TRUE(holder.Send(Head("GET /echo HTTP/1.1")));
    EXPECT_EQ(holder.Status(), 200);
}

TEST_F(HttpStrangersTest, TheFirstHeaderHasAShortDeadline) {
    Client silent(server->Port());
    Client later(server->Port());
    ASSERT_TRUE(later.Send(Head("GET /echo HTTP/1.1")));
    ASSERT_EQ(later.Status(), 200);
    ASSERT_TRUE(later.Send("GET /echo HTTP/1.1\r\n"));  // its second header, half of it
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.Status(), 0);  // closed, long before the client would stop waiting
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
    std::this_thread::sleep_for(300ms);  // the half header has waited past 500 ms
    ASSERT_TRUE(later.Send("Host: 127.0.0.1\r\nAuthorization: Bearer right\r\n\r\n"));
    EXPECT_EQ(later.Status(), 200);  // a later request's header may take longer
}

TEST_F(HttpLimitsTest, KeptAliveUntilIdle) {
    Client c(server->Port());
    // Taken before the requests go: the idle time can only begin after them.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(c.Send(Head("GET /echo HTTP/1.1") + Head("GET /echo HTTP/1.1")));
    EXPECT_EQ(c.Status(), 200);
    EXPECT_EQ(c.Status(), 200);  // pipelined on the same connection
    EXPECT_EQ(c.Status(), 0);    // then closed once idle
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1500ms);
}

TEST_F(HttpLimitsTest, StreamsAreBoundedAndDroppedWhenBehind) {
    Client reader(server->Port());
    const int small = 4096;
    setsockopt(reader.socket.native_handle(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(reader.Send(Head("GET /events HTTP/1.1")));
    for (int i = 0; i < 100 && server->Streams() == 0; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_EQ(server->Streams(), 1u);
    Client second(server->Port());
    ASSERT_TRUE(second.Send(Head("GET /events HTTP/1.1")));
    EXPECT_EQ(second.Status(), 503);  // one stream at most in this test
    // The reader never reads: the kernel's buffers fill, then 64 messages queue, then it goes.
    const std::string message = "data: " + std::string(std::size_t{16} * 1024, 'm') + "\n\n";
    for (int i = 0; i < 400 && server->Streams() == 1; ++i) {
        server->Publish(message);
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(server->Streams(), 0u);
}

}  // namespace
