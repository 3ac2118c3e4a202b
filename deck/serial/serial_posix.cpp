#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <optional>

#include "deck/serial/serial.h"
#include "deck/serial/serial_posix.h"

namespace serial {

bool PosixDevicePath(int port, char* out, std::size_t size) {
    if (port <= 0 || out == nullptr || size == 0) {
        return false;
    }
    char name[32];
    std::snprintf(name, sizeof name, "TAPEDECK_COM%d", port);
    const char* path = std::getenv(name);
    int n = 0;
    if (path != nullptr && path[0] != '\0') {
        n = std::snprintf(out, size, "%s", path);
    } else {
        n = std::snprintf(out, size, "/dev/ttyS%d", port - 1);
    }
    return n > 0 && static_cast<std::size_t>(n) < size;
}

namespace {

constexpr int kMaxOpenPorts = 32;
constexpr int kDefaultTimeoutMs = 50;

struct Slot {
    int port = 0;  // 0 = free
    int fd = -1;
    int timeoutMs = kDefaultTimeoutMs;
    bool restoreFlags = false;  // the low-latency flag was changed on open
    // Bytes went out that no full reply has answered yet, so some may still be queued.
    bool unanswered = true;
    int savedFlags = 0;
    // Replies have come in pieces at the line's speed, as a UART delivers them: the next one
    // is waited for by sleeping out its wire time, one wake-up instead of a poll and a sleep.
    bool paced = false;
    int64_t sentNs = 0;  // when the last write handed its bytes to the driver
    int sentBytes = 0;
};

// What a read or write needs of its port's slot, copied under the lock.
struct SlotState {
    int fd = -1;
    int timeoutMs = 0;
    bool paced = false;
    int64_t sentNs = 0;
    int sentBytes = 0;
};

bool IoctlGetFlags(int fd, int* flags) {
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
        return false;
    }
    *flags = ss.flags;
    return true;
}

bool IoctlSetFlags(int fd, int flags) {
    // Everything but the flags goes back as the driver gave it; an ordinary user may change
    // only the user flags, low latency among them.
    serial_struct ss{};
    if (ioctl(fd, TIOCGSERIAL, &ss) != 0) {
        return false;
    }
    ss.flags = flags;
    return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

constexpr DriverFlags kIoctlFlags{IoctlGetFlags, IoctlSetFlags};
std::atomic<const DriverFlags*> g_DriverFlags{&kIoctlFlags};
constexpr int kLowLatency = static_cast<int>(ASYNC_LOW_LATENCY);

// Sets the low-latency flag where the driver has one; remembers what to put back. A driver
// without the flags (ptys, some adapters) or one that refuses them is used as it is.
void SetLowLatency(Slot* slot) {
    const DriverFlags* io = g_DriverFlags.load();
    int flags = 0;
    if (!io->get(slot->fd, &flags) || (flags & kLowLatency) != 0) {
        return;
    }
    if (io->set(slot->fd, flags | kLowLatency)) {
        slot->restoreFlags = true;
        slot->savedFlags = flags;
    }
}

// Gives the low-latency flag back its earlier state, leaving any other flag as it is now.
void RestoreFlags(const Slot& slot) {
    const DriverFlags* io = g_DriverFlags.load();
    int flags = 0;
    if (slot.restoreFlags && io->get(slot.fd, &flags)) {
        io->set(slot.fd, (flags & ~kLowLatency) | (slot.savedFlags & kLowLatency));
    }
}

int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

enum class Wait { kTimedOut, kReady, kReadyHungUp };

// Waits for `events` until the deadline. A hung-up line may still hold bytes to read, so
// it is reported as ready once; the caller stops when the next attempt gets nothing.
// A deadline already passed still asks once without waiting, so a zero time-out takes what
// is there.
Wait WaitFor(int fd, short events, int64_t deadlineNs) {
    for (;;) {
        // Rounded up: a time-out never ends before its deadline, so a caller timing the call
        // can tell one that ran into it.
        int64_t left = (deadlineNs - NowNs() + 999999) / 1000000;
        if (left < 0) {
            left = 0;
        }
        pollfd p{fd, events, 0};
        const int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0 || (p.revents & POLLNVAL) != 0) {
            return Wait::kTimedOut;
        }
        if ((p.revents & (POLLHUP | POLLERR)) != 0) {
            return (p.revents & events) != 0 ? Wait::kReadyHungUp : Wait::kTimedOut;
        }
        return (p.revents & events) != 0 ? Wait::kReady : Wait::kTimedOut;
    }
}

// A byte's time on the line: 10 bits at 9600 baud, the only speed SetLine allows.
constexpr int64_t kByteNs = 1041667;
// How early a sleep for the rest of a reply ends: a thread's timer fires up to its slack
// (50 us by default) late, and the wake-up takes some tens of microseconds more. Woken too
// early, the reader polls for the last byte as it would have anyway.
constexpr int64_t kEarlyNs = 150000;

// How late a sleep for a whole reply ends: its last byte is handed over at the end of its
// stop bit, and a wake-up just before it would cost a second one.
constexpr int64_t kLateNs = 100000;

// Sleeps until `until` on the monotonic clock, never past the deadline.
void SleepUntil(int64_t untilNs, int64_t deadlineNs) {
    const int64_t until = std::min(untilNs, deadlineNs);
    if (until <= NowNs()) {
        return;
    }
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(until / 1000000000);
    ts.tv_nsec = static_cast<long>(until % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// After a read that came short, sleeps while the missing bytes cross the line, since they
// cannot come faster: two wake-ups for a reply instead of one a byte. Never past the deadline.
void AwaitRest(int missing, int64_t deadlineNs) {
    SleepUntil(NowNs() + missing * kByteNs - kEarlyNs, deadlineNs);
}

class PosixPort : public Port {
  public:
    int Open(int port) override {
        char path[256];
        if (!PosixDevicePath(port, path, sizeof path)) {
            return -1;
        }
        std::lock_guard<std::mutex> g(m_Mutex);
        if (Find(port) != nullptr) {
            return -1;  // one opener per port in this process
        }
        Slot* slot = Find(0);
        if (slot == nullptr) {
            return -1;
        }
        // Non-blocking so the open never waits for carrier and reads can try before polling.
        const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        *slot = Slot{};
        slot->fd = fd;
        // Exclusive first: the flags are changed only once no one else can open the port.
        if (ioctl(fd, TIOCEXCL) != 0) {
            ::close(fd);
            *slot = Slot{};
            return -1;
        }
        SetLowLatency(slot);
        slot->port = port;
        return 0;
    }

    int SetLine(int port, int speedCode, int mode) override {
        // The deck speaks 9600 8N1 only; other codes are refused rather than guessed.
        if (speedCode != kSpeed9600 || mode != kMode8N1) {
            return -1;
        }
        const int fd = FdOf(port, nullptr);
        termios t{};
        if (fd < 0 || tcgetattr(fd, &t) != 0) {
            return -1;
        }
        cfmakeraw(&t);
        // A real port opens with HUPCL set, which drops DTR and RTS when the port closes and
        // so signals a hang-up to the deck on every disconnect; the line stays up instead.
        t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS | HUPCL);
        t.c_cflag |= CS8 | CREAD | CLOCAL;
        t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        if (cfsetispeed(&t, B9600) != 0 || cfsetospeed(&t, B9600) != 0) {
            return -1;
        }
        return tcsetattr(fd, TCSANOW, &t) == 0 ? 0 : -1;
    }

    int Flush(int port, int direction) override {
        bool unanswered = true;
        const int fd = FdOf(port, nullptr, &unanswered);
        if (fd < 0) {
            return -1;
        }
        const int which = direction == 0 ? TCIFLUSH : direction == 1 ? TCOFLUSH : TCIOFLUSH;
        // Every exchange starts with a flush, and on a pseudo-terminal tcflush costs far more
        // than asking whether anything is queued; a clean line, the usual case, needs none.
        // A byte still arriving races with either form alike. Output the deck has answered
        // in full has left the port, so only unanswered output is asked after.
        int queuedIn = 0;
        int queuedOut = 0;
        const bool askIn = which != TCOFLUSH;
        const bool askOut = which != TCIFLUSH && unanswered;
        if ((askIn && ioctl(fd, FIONREAD, &queuedIn) != 0) ||
            (askOut && ioctl(fd, TIOCOUTQ, &queuedOut) != 0) || queuedIn > 0 || queuedOut > 0) {
            return tcflush(fd, which) == 0 ? 0 : -1;
        }
        return 0;
    }

    int SetTimeout(int port, int timeoutMs, int /*reserved*/) override {
        std::lock_guard<std::mutex> g(m_Mutex);
        Slot* slot = port > 0 ? Find(port) : nullptr;
        if (slot == nullptr) {
            return -1;
        }
        slot->timeoutMs = timeoutMs < 0 ? 0 : timeoutMs;
        return 0;
    }

    int Write(int port, const uint8_t* data, int count) override {
        int timeoutMs = 0;
        const int fd = FdOf(port, &timeoutMs);
        if (fd < 0 || data == nullptr || count <= 0) {
            return 0;
        }
        int done = 0;
        int64_t deadline = -1;
        bool hungUp = false;
        while (done < count) {
            const ssize_t r = ::write(fd, data + done, static_cast<size_t>(count - done));
            if (r > 0) {
                done += static_cast<int>(r);
                continue;
            }
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (hungUp || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                break;  // EIO, ENXIO or hang-up: report what went out
            }
            // A full output queue waits no longer than a read would.
            if (deadline < 0) {
                deadline = NowNs() + int64_t{timeoutMs} * 1000000;
            }
            const Wait w = WaitFor(fd, POLLOUT, deadline);
            if (w == Wait::kTimedOut) {
                break;
            }
            hungUp = w == Wait::kReadyHungUp;
        }
        if (done > 0) {
            Sent(port, done);
        }
        return done;
    }

    int Read(int port, uint8_t* data, int count) override {
        const SlotState st = Lookup(port);
        const int fd = st.fd;
        if (fd < 0 || data == nullptr || count <= 0) {
            return 0;
        }
        const int64_t deadline = NowNs() + int64_t{st.timeoutMs} * 1000000;
        int got = 0;
        bool hungUp = false;
        bool awaited = false;
        bool slept = false;
        // On a line that has shown its speed, the reply cannot be whole before the request
        // and the reply have crossed it: sleep till then and read, with nothing to poll for.
        // A single byte is polled for: its wake-up is the same either way.
        if (st.paced && count >= 2) {
            SleepUntil(st.sentNs + (st.sentBytes + count) * kByteNs + kLateNs, deadline);
            slept = true;
        }
        int reads = 0;            // reads that brought bytes
        bool wholeAfter = false;  // the first of them followed the sleep and took everything
        while (got < count) {
            // Poll before reading: just after a write the reply is hardly ever there yet, and
            // a read that finds nothing would cost a system call on every exchange. After
            // sleeping out the rest of a reply, though, it is there.
            const bool afterSleep = slept;
            if (!slept) {
                const Wait w = WaitFor(fd, POLLIN, deadline);
                if (w == Wait::kTimedOut) {
                    break;
                }
                hungUp = w == Wait::kReadyHungUp;
            }
            slept = false;
            const ssize_t r = ::read(fd, data + got, static_cast<size_t>(count - got));
            if (r > 0) {
                if (reads++ == 0) {
                    wholeAfter = afterSleep && r == count;
                }
                got += static_cast<int>(r);
                // Once a reply: a later short read means a deck slower than its line. A reply
                // still short after sleeping out its wire time comes late by an unknown time:
                // its next byte is polled for, and the rest slept out from there.
                if (got < count && !hungUp && !awaited && !afterSleep) {
                    awaited = true;
                    AwaitRest(count - got, deadline);
                    slept = true;
                }
            } else if (r < 0 && errno == EINTR) {
                continue;
            } else if (hungUp || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                break;  // EIO, ENXIO or hang-up: the bytes that came are all there will be
            }
            // A raw line with VMIN 0 reads 0 rather than EAGAIN when nothing is there; the
            // next poll waits again.
        }
        if (got == count) {
            // Only a reply of several bytes shows whether the line delivers at its speed
            // (in pieces) or all at once (a pseudo-terminal, an adapter's buffer).
            Answered(port,
                     count >= 2 ? std::optional<bool>(reads > 1 || wholeAfter) : std::nullopt);
        }
        return got;
    }

    int Close(int port) override {
        std::lock_guard<std::mutex> g(m_Mutex);
        Slot* slot = port > 0 ? Find(port) : nullptr;
        if (slot == nullptr) {
            return -1;
        }
        // The port is left as it was found. On a pseudo-terminal the exclusive flag outlives the
        // close; clear it for the next user.
        RestoreFlags(*slot);
        ioctl(slot->fd, TIOCNXCL);
        ::close(slot->fd);
        *slot = Slot{};
        return 0;
    }

    int AroundClose(int /*port*/, int /*a*/, int /*b*/) override { return 0; }

  private:
    // Caller holds m_Mutex. Port 0 finds a free slot.
    Slot* Find(int port) {
        for (Slot& s : m_Slots) {
            if (s.port == port) {
                return &s;
            }
        }
        return nullptr;
    }

    // The descriptor is looked up under the lock and used outside it, so a slow read on one
    // port does not hold up the others. Closing a port while another thread uses it is the
    // caller's to avoid; the deck object does so under its own lock.
    int FdOf(int port, int* timeoutMs, bool* unanswered = nullptr) {
        if (port <= 0) {
            return -1;
        }
        std::lock_guard<std::mutex> g(m_Mutex);
        const Slot* slot = Find(port);
        if (slot == nullptr) {
            return -1;
        }
        if (timeoutMs != nullptr) {
            *timeoutMs = slot->timeoutMs;
        }
        if (unanswered != nullptr) {
            *unanswered = slot->unanswered;
        }
        return slot->fd;
    }

    SlotState Lookup(int port) {
        SlotState st;
        if (port <= 0) {
            return st;
        }
        std::lock_guard<std::mutex> g(m_Mutex);
        const Slot* slot = Find(port);
        if (slot != nullptr) {
            st = SlotState{slot->fd, slot->timeoutMs, slot->paced, slot->sentNs, slot->sentBytes};
        }
        return st;
    }

    void Sent(int port, int bytes) {
        const int64_t now = NowNs();
        std::lock_guard<std::mutex> g(m_Mutex);
        Slot* slot = Find(port);
        if (slot != nullptr) {
            slot->unanswered = true;
            slot->sentNs = now;
            slot->sentBytes = bytes;
        }
    }

    void Answered(int port, std::optional<bool> paced) {
        std::lock_guard<std::mutex> g(m_Mutex);
        Slot* slot = Find(port);
        if (slot != nullptr) {
            slot->unanswered = false;
            slot->paced = paced.value_or(slot->paced);
        }
    }

    std::mutex m_Mutex;
    Slot m_Slots[kMaxOpenPorts];
};

}  // namespace

const DriverFlags* SetDriverFlags(const DriverFlags* flags) {
    return g_DriverFlags.exchange(flags != nullptr ? flags : &kIoctlFlags);
}

Port& PlatformPort() {
    static PosixPort port;
    return port;
}

}  // namespace serial
