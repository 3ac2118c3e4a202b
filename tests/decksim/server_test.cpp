#include "tools/decksim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <thread>

#include "hex.h"

namespace decksim {
namespace {

using test::Bytes;
using test::Hex;

int OpenRaw(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
    return fd;
}

// Reads up to n bytes, giving up after the time-out.
std::vector<uint8_t> ReadFor(int fd, size_t n, int timeoutMs) {
    std::vector<uint8_t> out;
    const auto end = Clock::now() + Millis(timeoutMs);
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<Millis>(end - Clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        uint8_t buf[64];
        const ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) {
            break;
        }
        out.insert(out.end(), buf, buf + r);
    }
    return out;
}

std::string Ask(int fd, const std::string& hex, size_t n, int timeoutMs = 500) {
    const auto b = Bytes(hex);
    EXPECT_EQ(write(fd, b.data(), b.size()), static_cast<ssize_t>(b.size()));
    return Hex(ReadFor(fd, n, timeoutMs));
}

std::string TempPath(const char* tag) {
    return "/tmp/decksim_test_" + std::to_string(getpid()) + "_" + tag;
}

TEST(PtyServer, AnswersStatusOnTheSlave) {
    PtyServer server(ServerOptions{});
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const int fd = OpenRaw(server.SlavePath());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Ask(fd, "D7", 5), "00 00 00 30 00");
    EXPECT_EQ(Ask(fd, "B0", 5), "00 00 00 00 00");
    close(fd);
    server.Stop();
}

TEST(PtyServer, CueByteByByteThroughLinkAndTimeReadBack) {
    ServerOptions opt;
    opt.videoSystem = 4;
    opt.link = TempPath("link");
    PtyServer server(opt);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const int fd = OpenRaw(opt.link);
    ASSERT_GE(fd, 0);
    std::string replies;
    for (const char* b : {"DF", "93", "30", "A2", "30", "30", "31", "30", "30", "30", "30", "40"}) {
        replies += Ask(fd, b, 1) + " ";
    }
    EXPECT_EQ(replies, "0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A 0A ");
    EXPECT_EQ(Ask(fd, "B0", 5), "08 00 00 00 00");  // cue busy
    std::this_thread::sleep_for(Millis(1600));
    EXPECT_EQ(Ask(fd, "A0", 9), "A2 30 30 30 31 30 30 30 30");
    close(fd);
    server.Stop();
    EXPECT_NE(access(opt.link.c_str(), F_OK), 0) << "link left behind";
}

TEST(PtyServer, ControlSocketDrivesTheDeck) {
    ServerOptions opt;
    opt.control = TempPath("sock");
    PtyServer server(opt);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, opt.control.c_str());
    ASSERT_EQ(connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const std::string cmds = "status 0 3 1\nfault nak\n";
    ASSERT_EQ(write(s, cmds.data(), cmds.size()), static_cast<ssize_t>(cmds.size()));
    const auto r = ReadFor(s, 6, 1000);
    EXPECT_EQ(std::string(r.begin(), r.end()), "ok\nok\n");

    const int fd = OpenRaw(server.SlavePath());
    EXPECT_EQ(Ask(fd, "D7", 5, 200), "0B");
    server.SetFault({});
    EXPECT_EQ(Ask(fd, "D7", 5), "08 00 00 30 00");
    close(fd);
    close(s);
    server.Stop();
}

TEST(PtyServer, HangupDropsTheLineAndComesBackAtTheLink) {
    ServerOptions opt;
    opt.link = TempPath("hup");
    PtyServer server(opt);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const int fd = OpenRaw(opt.link);
    ASSERT_EQ(Ask(fd, "D7", 5), "00 00 00 30 00");
    const unsigned generation = server.LineGeneration();

    EXPECT_EQ(server.Control("fault hangup 200"), "ok");
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 1000), 1);
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR)) << "old line still up";
    close(fd);
    // While the line is down the link leads nowhere: its old pty may already be someone else's.
    struct stat st {};
    bool linkGone = false;
    for (int i = 0; i < 100 && !linkGone && server.LineGeneration() == generation; ++i) {
        linkGone = lstat(opt.link.c_str(), &st) != 0;
        std::this_thread::sleep_for(Millis(1));
    }
    EXPECT_TRUE(linkGone) << "the link still points at the hung-up pty";

    for (int i = 0; i < 100 && server.LineGeneration() == generation; ++i) {
        std::this_thread::sleep_for(Millis(10));
    }
    ASSERT_NE(server.LineGeneration(), generation);
    const int again = OpenRaw(opt.link);
    ASSERT_GE(again, 0);
    EXPECT_EQ(Ask(again, "D7", 5), "00 00 00 30 00");
    close(again);
    server.Stop();
}

TEST(PtyServer, LateReplyMissesAFiftyMillisecondWait) {
    PtyServer server(ServerOptions{});
    ASSERT_TRUE(server.Start(nullptr));
    server.SetFault({FaultKind::kLate, Millis(120)});
    const int fd = OpenRaw(server.SlavePath());
    EXPECT_EQ(Ask(fd, "D7", 5, 50), "");
    EXPECT_EQ(Hex(ReadFor(fd, 5, 500)), "00 00 00 30 00");
    close(fd);
}

TEST(PtyServer, PacedRepliesTakeTheLineTime) {
    ServerOptions opt;
    opt.baud = 9600;
    opt.videoSystem = 4;
    PtyServer server(opt);
    ASSERT_TRUE(server.Start(nullptr));
    const int fd = OpenRaw(server.SlavePath());
    const auto t = Clock::now();
    EXPECT_EQ(Ask(fd, "A0", 9), "A1 30 30 30 30 30 30 30 30");
    // Nine bytes at 10 bits each: the last leaves eight byte-times after the first.
    EXPECT_GE(Clock::now() - t, std::chrono::microseconds(8 * 10000000 / 9600));
    close(fd);
}

TEST(PtyServer, TraceLineShowsExchange) {
    std::vector<std::string> lines;
    std::mutex m;
    ServerOptions opt;
    opt.trace = true;
    opt.traceSink = [&](const std::string& s) {
        std::lock_guard<std::mutex> lock(m);
        lines.push_back(s);
    };
    PtyServer server(opt);
    ASSERT_TRUE(server.Start(nullptr));
    const int fd = OpenRaw(server.SlavePath());
    Ask(fd, "D7", 5);
    Ask(fd, "55", 1);
    close(fd);
    server.Stop();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(
        std::regex_match(lines[0], std::regex(R"(\d+\.\d{6} in D7 out 00 00 00 30 00 status-1)")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(\d+\.\d{6} in 55 out 0B unknown)")))
        << lines[1];
}

TEST(PtyServer, RefusesToReplaceAFileWithTheLink) {
    ServerOptions opt;
    opt.link = TempPath("file");
    const int f = open(opt.link.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(f, 0);
    close(f);
    PtyServer server(opt);
    std::string error;
    EXPECT_FALSE(server.Start(&error));
    EXPECT_NE(error.find("not a symlink"), std::string::npos) << error;
    EXPECT_EQ(access(opt.link.c_str(), F_OK), 0) << "the file was removed";
    unlink(opt.link.c_str());
}

TEST(TraceLine, MarksFaultsAndSilence) {
    Reply r;
    r.name = "status-1";
    r.fault = FaultKind::kSilent;
    EXPECT_EQ(TraceLine(1.5, 0xD7, r), "1.500000 in D7 out - status-1 [fault silent]");
}

}  // namespace
}  // namespace decksim
