#include <dirent.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "deck/serial/serial.h"
#include "deck/serial/serial_posix.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// A pseudo-terminal pair whose slave side stands in for serial port `port`.
class PtyPortTest : public ::testing::Test {
  protected:
    static constexpr int kPort = 7;

    void SetUp() override {
        char name[128];
        ASSERT_EQ(openpty(&m_Master, &m_Slave, name, nullptr, nullptr), 0);
        m_SlaveName = name;
        m_Env = "TAPEDECK_COM" + std::to_string(kPort);
        setenv(m_Env.c_str(), name, 1);
    }

    void TearDown() override {
        port.Close(kPort);
        unsetenv(m_Env.c_str());
        if (m_Master >= 0) {
            close(m_Master);
        }
        close(m_Slave);
    }

    void OpenAndSetUp(int timeoutMs) {
        ASSERT_EQ(port.Open(kPort), 0);
        ASSERT_EQ(port.SetLine(kPort, serial::kSpeed9600, serial::kMode8N1), 0);
        ASSERT_EQ(port.Flush(kPort, serial::kFlushBoth), 0);
        ASSERT_EQ(port.SetTimeout(kPort, timeoutMs, 0), 0);
    }

    void MasterWrite(const std::string& bytes) {
        ASSERT_EQ(write(m_Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    int Exclusive() {
        int excl = -1;
        EXPECT_EQ(ioctl(m_Slave, TIOCGEXCL, &excl), 0);
        return excl;
    }

    // The descriptor the layer opened on the slave, found through /proc.
    int LayerFd() {
        DIR* dir = opendir("/proc/self/fd");
        int found = -1;
        while (dirent* e = readdir(dir)) {
            const int fd = std::atoi(e->d_name);
            char target[256] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (fd != m_Slave && fd != dirfd(dir) && n > 0 && m_SlaveName == target) {
                found = fd;
            }
        }
        closedir(dir);
        return found;
    }

    serial::Port& port = serial::PlatformPort();
    int m_Master = -1;
    int m_Slave = -1;
    std::string m_SlaveName;
    std::string m_Env;
};

TEST_F(PtyPortTest, LineIsRaw9600EightNoneOneWithoutFlowControl) {
    // Start from what a real UART opens with (a pty opens without hang-up on close or flow
    // control), so that the layer is seen to clear each.
    termios t{};
    ASSERT_EQ(tcgetattr(m_Slave, &t), 0);
    t.c_cflag |= HUPCL | CRTSCTS;
    t.c_iflag |= IXON | IXOFF;
    ASSERT_EQ(tcsetattr(m_Slave, TCSANOW, &t), 0);
    OpenAndSetUp(50);
    ASSERT_EQ(tcgetattr(m_Slave, &t), 0);
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | BRKINT), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);

    const int fd = LayerFd();
    ASSERT_GE(fd, 0);
    EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
}

TEST_F(PtyPortTest, OtherLineCodesAreRefused) {
    ASSERT_EQ(port.Open(kPort), 0);
    EXPECT_NE(port.SetLine(kPort, 13, serial::kMode8N1), 0);
    EXPECT_NE(port.SetLine(kPort, serial::kSpeed9600, 2), 0);
}

TEST_F(PtyPortTest, BytesPassBothWaysUnchanged) {
    OpenAndSetUp(500);
    const uint8_t out[] = {0xD7, 0x0A, 0x0D, 0x11, 0x13, 0x00};
    EXPECT_EQ(port.Write(kPort, out, sizeof out), static_cast<int>(sizeof out));
    uint8_t seen[sizeof out] = {};
    ASSERT_EQ(read(m_Master, seen, sizeof seen), static_cast<ssize_t>(sizeof seen));
    EXPECT_EQ(0, memcmp(seen, out, sizeof out));

    MasterWrite(std::string("\x0A\x0D\x03\x11\xFF", 5));
    uint8_t in[5] = {};
    EXPECT_EQ(port.Read(kPort, in, 5), 5);
    EXPECT_EQ(0, memcmp(in, "\x0A\x0D\x03\x11\xFF", 5));
}

// Never a moment short of the time-out: a host tells a call that ran into it by its length.
TEST_F(PtyPortTest, ReadTimesOutWithShortCount) {
    OpenAndSetUp(50);
    uint8_t buf[5] = {};
    auto start = Clock::now();
    EXPECT_EQ(port.Read(kPort, buf, 5), 0);
    long ms = MsSince(start);
    EXPECT_GE(ms, 50);
    EXPECT_LT(ms, 500);

    MasterWrite("abc");
    start = Clock::now();
    EXPECT_EQ(port.Read(kPort, buf, 5), 3);
    ms = MsSince(start);
    EXPECT_GE(ms, 50);
    EXPECT_LT(ms, 500);
    EXPECT_EQ(0, memcmp(buf, "abc", 3));
}

TEST_F(PtyPortTest, ReadReturnsAsSoonAsAllBytesCame) {
    OpenAndSetUp(3000);
    std::thread deck([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        MasterWrite("12");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        MasterWrite("345");
    });
    uint8_t buf[5] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(kPort, buf, 5), 5);
    EXPECT_LT(MsSince(start), 1500);
    deck.join();
    EXPECT_EQ(0, memcmp(buf, "12345", 5));
}

TEST_F(PtyPortTest, PacedReplyWakesTheReaderFewTimesNotOncePerByte) {
    OpenAndSetUp(500);
    constexpr int kBytes = 24;
    std::thread deck([this] {
        // Bytes a line time apart, caught up at absolute times when this thread runs late.
        auto at = Clock::now() + std::chrono::milliseconds(5);
        for (int i = 0; i < kBytes; ++i) {
            std::this_thread::sleep_until(at += std::chrono::microseconds(1042));
            MasterWrite("x");
        }
    });
    rusage before{};
    rusage after{};
    getrusage(RUSAGE_THREAD, &before);
    uint8_t buf[kBytes] = {};
    EXPECT_EQ(port.Read(kPort, buf, kBytes), kBytes);
    getrusage(RUSAGE_THREAD, &after);
    deck.join();
    EXPECT_LT(after.ru_nvcsw - before.ru_nvcsw, kBytes / 3);
}

// Once replies have come at the line's speed, the layer sleeps out a reply's wire time before
// reading it. Whatever the next reply does, it is read whole, and a missing one still ends at
// the time-out.
TEST_F(PtyPortTest, AfterAPacedReplyEveryShapeOfTheNextIsReadWhole) {
    constexpr int kBytes = 5;
    const auto pacedReply = [this](std::chrono::milliseconds late) {
        auto at = Clock::now() + std::chrono::microseconds(1042) + late;
        for (int i = 0; i < kBytes; ++i) {
            std::this_thread::sleep_until(at += std::chrono::microseconds(1042));
            MasterWrite("x");
        }
    };
    struct Row {
        const char* reply;
        std::function<void()> deck;
        int got;
    } const rows[] = {
        {"at the line's speed", [&] { pacedReply(std::chrono::milliseconds(0)); }, kBytes},
        {"5 ms late, then paced", [&] { pacedReply(std::chrono::milliseconds(5)); }, kBytes},
        {"all at once, 16 ms late (an adapter's timer)",
         [this] {
             std::this_thread::sleep_for(std::chrono::milliseconds(16));
             MasterWrite("xxxxx");
         },
         kBytes},
        {"none (a silent deck)", [] {}, 0},
    };
    OpenAndSetUp(50);
    for (const Row& r : rows) {
        // A reply the deck's thread sends late on a loaded machine is still a reply: only the
        // silent row meets the 50 ms, which it must wait out whole.
        ASSERT_EQ(port.SetTimeout(kPort, r.got == 0 ? 50 : 1000, 0), 0);
        for (bool first : {true, false}) {  // the first teaches the layer the line's speed
            const uint8_t request = 0xD7;
            ASSERT_EQ(port.Write(kPort, &request, 1), 1);
            std::thread deck(first ? std::function<void()>([&] { pacedReply({}); }) : r.deck);
            uint8_t buf[kBytes] = {};
            const auto start = Clock::now();
            const int got = port.Read(kPort, buf, kBytes);
            const long ms = MsSince(start);
            deck.join();
            EXPECT_EQ(got, first ? kBytes : r.got) << r.reply << (first ? " (first)" : "");
            EXPECT_LT(ms, 1000) << r.reply;
            if (!first && r.got == 0) {
                EXPECT_GE(ms, 50) << "a missing reply is waited for the whole time-out";
            }
        }
    }
}

TEST_F(PtyPortTest, FlushDiscardsPendingInput) {
    OpenAndSetUp(50);
    MasterWrite("stale");
    // The pty hands the bytes over on a kernel worker: wait until they are there to discard.
    int queued = 0;
    for (int i = 0; i < 400 && queued < 5; ++i) {
        ASSERT_EQ(ioctl(m_Slave, FIONREAD, &queued), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(queued, 5);
    EXPECT_EQ(port.Flush(kPort, serial::kFlushBoth), 0);
    uint8_t buf[5] = {};
    EXPECT_EQ(port.Read(kPort, buf, 5), 0);
}

TEST_F(PtyPortTest, OpenIsExclusiveAndClearedOnClose) {
    ASSERT_EQ(port.Open(kPort), 0);
    EXPECT_EQ(Exclusive(), 1);
    EXPECT_NE(port.Open(kPort), 0) << "a second opener must not share the line";
    EXPECT_EQ(port.Close(kPort), 0);
    EXPECT_EQ(Exclusive(), 0);
    EXPECT_NE(port.Close(kPort), 0);
    ASSERT_EQ(port.Open(kPort), 0) << "reconnect after close";
    EXPECT_EQ(Exclusive(), 1);
}

TEST_F(PtyPortTest, HungUpLineGivesShortCountsAtOnce) {
    OpenAndSetUp(3000);
    close(m_Master);
    m_Master = -1;
    uint8_t buf[5] = {};
    const auto start = Clock::now();
    EXPECT_EQ(port.Read(kPort, buf, 5), 0);
    EXPECT_LT(port.Write(kPort, buf, 5), 5);
    EXPECT_LT(MsSince(start), 1000);
    EXPECT_EQ(port.Close(kPort), 0);
}

TEST_F(PtyPortTest, HangUpMidReadKeepsBytesThatCame) {
    OpenAndSetUp(3000);
    MasterWrite("ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    uint8_t buf[5] = {};
    std::thread hangup([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        close(m_Master);
    });
    const auto start = Clock::now();
    const int got = port.Read(kPort, buf, 5);
    const long ms = MsSince(start);
    hangup.join();
    m_Master = -1;
    EXPECT_EQ(got, 2);
    EXPECT_LT(ms, 1500);
}

TEST_F(PtyPortTest, PortNumberAbove255Works) {
    setenv("TAPEDECK_COM300", m_SlaveName.c_str(), 1);
    EXPECT_EQ(port.Open(300), 0);
    EXPECT_EQ(port.SetLine(300, serial::kSpeed9600, serial::kMode8N1), 0);
    EXPECT_EQ(Exclusive(), 1);
    EXPECT_EQ(port.Close(300), 0);
    unsetenv("TAPEDECK_COM300");
}

// A driver with serial flags, as a USB adapter or a UART has and a pty has not.
struct ScriptedDriver {
    static inline bool hasFlags = true;
    static inline bool refusesSet = false;
    static inline int flags = 0;
    static inline int sets = 0;
    static bool Get(int, int* out) {
        *out = flags;
        return hasFlags;
    }
    static bool Set(int, int value) {
        ++sets;
        if (!hasFlags || refusesSet) {
            return false;
        }
        flags = value;
        return true;
    }
};

TEST_F(PtyPortTest, LowLatencyIsSetWhileHeldAndTheFlagsPutBack) {
    constexpr int kOther = ASYNC_SPD_HI;  // a flag of someone else's, left alone
    struct Row {
        const char* driver;
        bool hasFlags, refusesSet;
        int before, held, sets;
        int meanwhile;  // set by someone else while the port is held: the close keeps it
    } const rows[] = {
        {"no serial flags (pty)", false, false, 0, 0, 0, 0},
        {"flags, low latency clear", true, false, kOther, kOther | ASYNC_LOW_LATENCY, 2, 0},
        {"low latency already set", true, false, ASYNC_LOW_LATENCY, ASYNC_LOW_LATENCY, 0, 0},
        {"refuses the change", true, true, kOther, kOther, 1, 0},
        {"another flag changed while held", true, false, 0, ASYNC_LOW_LATENCY, 2, kOther},
    };
    const serial::DriverFlags scripted{ScriptedDriver::Get, ScriptedDriver::Set};
    const serial::DriverFlags* real = serial::SetDriverFlags(&scripted);
    for (const Row& r : rows) {
        ScriptedDriver::hasFlags = r.hasFlags;
        ScriptedDriver::refusesSet = r.refusesSet;
        ScriptedDriver::flags = r.before;
        ScriptedDriver::sets = 0;
        ASSERT_EQ(port.Open(kPort), 0) << r.driver;
        EXPECT_EQ(ScriptedDriver::flags, r.held) << r.driver;
        ScriptedDriver::flags |= r.meanwhile;
        // A line the deck refuses ends the connect with a close, which must restore too.
        EXPECT_NE(port.SetLine(kPort, 13, serial::kMode8N1), 0);
        EXPECT_EQ(port.Close(kPort), 0);
        EXPECT_EQ(ScriptedDriver::flags, r.before | r.meanwhile) << r.driver << ": not put back";
        EXPECT_EQ(ScriptedDriver::sets, r.sets) << r.driver;
    }
    EXPECT_EQ(serial::SetDriverFlags(real), &scripted);
    // The real ioctls on a pty: not supported, and the port opens as before.
    ASSERT_EQ(port.Open(kPort), 0);
    serial_struct ss{};
    EXPECT_NE(ioctl(m_Slave, TIOCGSERIAL, &ss), 0);
}

TEST(SerialPosix, DevicePathFromEnvironmentOrTtyS) {
    char path[64];
    unsetenv("TAPEDECK_COM3");
    ASSERT_TRUE(serial::PosixDevicePath(3, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS2");
    ASSERT_TRUE(serial::PosixDevicePath(1000, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS999");
    setenv("TAPEDECK_COM3", "/dev/ttyUSB0", 1);
    ASSERT_TRUE(serial::PosixDevicePath(3, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyUSB0");
    setenv("TAPEDECK_COM3", "", 1);
    ASSERT_TRUE(serial::PosixDevicePath(3, path, sizeof path));
    EXPECT_STREQ(path, "/dev/ttyS2");
    unsetenv("TAPEDECK_COM3");
    EXPECT_FALSE(serial::PosixDevicePath(0, path, sizeof path));
    EXPECT_FALSE(serial::PosixDevicePath(-4, path, sizeof path));
    EXPECT_FALSE(serial::PosixDevicePath(3, path, 4)) << "path does not fit";
}

TEST(SerialPosix, BadPortsFailCleanly) {
    serial::Port& port = serial::PlatformPort();
    setenv("TAPEDECK_COM9", "/nonexistent/tty", 1);
    EXPECT_NE(port.Open(9), 0);
    unsetenv("TAPEDECK_COM9");
    setenv("TAPEDECK_COM10", "/dev/null", 1);
    EXPECT_NE(port.Open(10), 0) << "not a terminal";
    unsetenv("TAPEDECK_COM10");
    uint8_t buf[4] = {};
    for (int p : {0, -1, 9, 10, 256, 100000}) {
        EXPECT_NE(port.Open(p <= 0 ? p : -p), 0);
        EXPECT_NE(port.SetLine(p, serial::kSpeed9600, serial::kMode8N1), 0);
        EXPECT_NE(port.SetTimeout(p, 50, 0), 0);
        EXPECT_EQ(port.Write(p, buf, 4), 0);
        EXPECT_EQ(port.Read(p, buf, 4), 0);
        EXPECT_NE(port.Close(p), 0);
    }
}

}  // namespace
