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
    void SetUp() override {
        decksim::ServerOptions o;
        o.baud = 9600;
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
        }
        m_Deck->Stop();
    }

    // Writes one byte and returns the milliseconds until `n` reply bytes are in.
    double Exchange(uint8_t request, int n) {
        const auto start = Clock::now();
        EXPECT_EQ(write(m_Fd, &request, 1), 1);
        int got = 0;
        uint8_t buf[16];
        while (got < n) {
            pollfd p{m_Fd, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) {
                ADD_FAILURE() << "the deck went silent after " << got << " bytes";
                break;
            }
            const ssize_t r = read(m_Fd, buf + got, static_cast<size_t>(n - got));
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
