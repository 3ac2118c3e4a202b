// A paced deck may be late (the machine is busy) but never faster than the wire: a request
// byte takes its 10 bits to reach the deck, and each reply byte its 10 bits to come back.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "tools/decksim/pty_server.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kByteMs = 10.0 / 9600.0 * 1000.0;

class PacedDeck : public testing::Test {
  protected:
    void SetUp() override { Start(0); }
    void Start(int adapterMs) {
        if (m_Deck) {
            TearDown();
        }
        decksim::ServerOptions o;
        o.baud = 9600;
        o.adapterLatency = decksim::Millis(adapterMs);
        m_Deck = std::make_unique<decksim::PtyServer>(o);
        std::string err;
        ASSERT_TRUE(m_Deck->Start(&err)) << err;
        m_Fd = open(m_Deck->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(m_Fd, 0);
        termios t{};
        tcgetattr(m_Fd, &t);
        cfmakeraw(&t);
        tcsetattr(m_Fd, TCSANOW, &t);
    }
    void TearDown() override {
        if (m_Fd >= 0) {
            close(m_Fd);
            m_Fd = -1;
        }
        m_Deck->Stop();
    }

    // Writes one byte (none when below 0) and returns the milliseconds until `n` reply bytes
    // are in; `first` gets those until the first one came.
    double Exchange(int request, int n, double* first = nullptr) {
        const auto start = Clock::now();
        const uint8_t byte = static_cast<uint8_t>(request);
        EXPECT_TRUE(request < 0 || write(m_Fd, &byte, 1) == 1);
        int got = 0;
        uint8_t buf[128];
        while (got < n) {
            pollfd p{m_Fd, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) {
                ADD_FAILURE() << "the deck went silent after " << got << " bytes";
                break;
            }
            const ssize_t r = read(m_Fd, buf + got, static_cast<size_t>(n - got));
            if (r > 0 && got == 0 && first != nullptr) {
                *first = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            }
            if (r > 0) {
                got += static_cast<int>(r);
            }
        }
        return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }

    std::unique_ptr<decksim::PtyServer> m_Deck;
    int m_Fd = -1;
};

TEST_F(PacedDeck, StatusBlockTakesTheWireTimeOfSixBytes) {
    EXPECT_GE(Exchange(0xD7, 5), 6 * kByteMs - 0.05);
    // Back to back: the second block cannot borrow time from the first.
    EXPECT_GE(Exchange(0xB0, 5), 6 * kByteMs - 0.05);
}

TEST_F(PacedDeck, AcknowledgeTakesTheWireTimeOfTwoBytes) {
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(Exchange(0x3A, 1), 2 * kByteMs - 0.05);
    }
}

}  // namespace

// Through an adapter a reply comes when the timer, started by its first byte, runs out; a
// timer shorter than the reply hands it over in pieces, the last piece one period after the
// last byte.
TEST_F(PacedDeck, AdapterHoldsRepliesForItsLatencyTimer) {
    struct Row {
        int latencyMs;
        int request;
        int replyBytes;
        double firstAtLeast, lastAtLeast;  // after the request's write, in byte times + ms
    } const rows[] = {
        {16, 0xD7, 5, 2 * kByteMs + 16, 2 * kByteMs + 16},
        {16, 0x3A, 1, 2 * kByteMs + 16, 2 * kByteMs + 16},
        {1, 0xD7, 5, 2 * kByteMs + 1, 6 * kByteMs + 1},
        {1, 0xA0, 8, 2 * kByteMs + 1, 9 * kByteMs + 1},
    };
    for (const Row& r : rows) {
        Start(r.latencyMs);
        for (int i = 0; i < 2; ++i) {  // the second must not ride on the first's timer
            double first = 0;
            const double last = Exchange(r.request, r.replyBytes, &first);
            EXPECT_GE(first, r.firstAtLeast - 0.05) << r.latencyMs << " ms, " << r.request;
            EXPECT_GE(last, r.lastAtLeast - 0.05) << r.latencyMs << " ms, " << r.request;
        }
    }
}

// 62 bytes fill the chip's packet, which leaves at once; the rest wait for the timer.
TEST_F(PacedDeck, AdapterSendsAFullPacketWithoutWaiting) {
    Start(600);
    ASSERT_EQ(m_Deck->Control("fault random 70"), "ok");
    double first = 0;
    const double full = Exchange(0xD7, 62, &first);
    EXPECT_GE(full, 63 * kByteMs - 0.05);
    EXPECT_LT(full, 400) << "a full packet waited for the timer";
    EXPECT_GE(Exchange(-1, 8), 600 - full) << "the rest left before the timer ran out";
}
