#include "tools/decksim/pty_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace decksim {

namespace {

std::string Errno(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Sleeps to an absolute point on the monotonic clock, which steady_clock reads on Linux;
// absolute deadlines keep paced bytes from drifting.
void SleepUntil(Clock::time_point t) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch());
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ns.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(ns.count() % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

constexpr auto kSpin = std::chrono::microseconds(150);
constexpr std::size_t kAdapterPacket = 62;  // an FTDI chip's USB packet: 64 less 2 status bytes

// A UART hands a byte over the moment its last bit is in; a timer wake-up comes tens of
// microseconds late. Sleep to just short of the point, then wait out the rest on the clock.
void HandOverAt(Clock::time_point t) {
    SleepUntil(t - kSpin);
    while (Clock::now() < t) {
    }
}

// Writes everything unless the reader has stopped reading for a while.
void WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) {
            continue;
        }
        if (w < 0 && errno == EAGAIN) {
            pollfd pfd{fd, POLLOUT, 0};
            if (poll(&pfd, 1, 500) > 0) {
                continue;
            }
        }
        return;  // the host is gone or not reading; the rest is lost as on a real line
    }
}

}  // namespace

std::string TraceLine(double seconds, uint8_t in, const Reply& reply) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6f in %02X out", seconds, in);
    std::string s = buf;
    if (reply.bytes.empty()) {
        s += " -";
    }
    for (uint8_t b : reply.bytes) {
        std::snprintf(buf, sizeof buf, " %02X", b);
        s += buf;
    }
    s += ' ';
    s += reply.name;
    if (reply.fault != FaultKind::kNone) {
        s += " [fault ";
        s += FaultName(reply.fault);
        s += ']';
    }
    return s;
}

PtyServer::PtyServer(ServerOptions options)
    : m_Options(std::move(options)),
      m_Deck(m_Options.fps, m_Options.videoSystem, Clock::now(), m_Options.timing,
             m_Options.dropFrame),
      m_Responder(m_Deck, m_Options.seed),
      m_Controller(
          m_Deck, m_Responder,
          [this](Millis away) {
              // Called with m_Mutex held; the serving thread does the closing.
              m_bHangupPending = true;
              m_HangupFor = away;
              Wake();
          },
          [this] {
              m_bQuit = true;
              m_bStop = true;
              Wake();
          }),
      m_Started(Clock::now()) {
    if (m_Options.tapeFrames > 0) {
        m_Deck.SetTapeEnd(m_Options.tapeFrames);
    }
}

PtyServer::~PtyServer() {
    Stop();
}

bool PtyServer::Start(std::string* error) {
    std::string dummy;
    std::string& err = error ? *error : dummy;
    m_nWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_nWake < 0) {
        err = Errno("eventfd");
        return false;
    }
    if (!m_Options.link.empty()) {
        struct stat st {};
        if (lstat(m_Options.link.c_str(), &st) == 0 && !S_ISLNK(st.st_mode)) {
            err = m_Options.link + " exists and is not a symlink; not replacing it";
            Stop();
            return false;
        }
    }
    if (!OpenLine(&err) || !OpenControl(&err)) {
        Stop();
        return false;
    }
    m_Thread = std::thread(&PtyServer::Run, this);
    return true;
}

void PtyServer::Stop() {
    m_bStop = true;
    if (m_Thread.joinable()) {
        Wake();
        m_Thread.join();
    }
    if (m_bLinkMade) {
        unlink(m_Options.link.c_str());
        m_bLinkMade = false;
    }
    CloseLine();
    for (auto& c : m_Clients) {
        close(c.fd);
    }
    m_Clients.clear();
    if (m_nListen >= 0) {
        close(m_nListen);
        m_nListen = -1;
        unlink(m_Options.control.c_str());
    }
    if (m_nWake >= 0) {
        close(m_nWake);
        m_nWake = -1;
    }
}

bool PtyServer::OpenLine(std::string* error) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0) {
        *error = Errno("posix_openpt");
        return false;
    }
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
        *error = Errno("pty setup");
        close(master);
        return false;
    }
    const int slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) {
        *error = Errno(name);
        close(master);
        return false;
    }
    // Raw from the start: no echo and no line discipline between host and deck.
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    if (!m_Options.link.empty()) {
        // Swap the link in one step so that a host never finds it missing.
        const std::string tmp = m_Options.link + ".new";
        unlink(tmp.c_str());
        if (symlink(name, tmp.c_str()) != 0 || rename(tmp.c_str(), m_Options.link.c_str()) != 0) {
            *error = Errno(m_Options.link.c_str());
            unlink(tmp.c_str());
            close(slave);
            close(master);
            return false;
        }
        m_bLinkMade = true;
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_nMaster = master;
    m_nSlaveHold = slave;
    m_SlavePath = name;
    m_TxFree = Clock::now();
    m_RxFree = m_TxFree;
    m_Responder.Reset();
    m_bLineUp = true;
    ++m_nGeneration;
    return true;
}

void PtyServer::CloseLine() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (m_nSlaveHold >= 0) {
        close(m_nSlaveHold);
        m_nSlaveHold = -1;
    }
    if (m_nMaster >= 0) {
        close(m_nMaster);
        m_nMaster = -1;
    }
    m_Held.clear();  // what the adapter held goes with the line
    m_bLineUp = false;
}

bool PtyServer::OpenControl(std::string* error) {
    if (m_Options.control.empty()) {
        return true;
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (m_Options.control.size() >= sizeof addr.sun_path) {
        *error = "control socket path too long: " + m_Options.control;
        return false;
    }
    // The length is checked above and addr is zeroed, so the path stays terminated.
    std::memcpy(addr.sun_path, m_Options.control.data(), m_Options.control.size());
    struct stat st {};
    if (lstat(addr.sun_path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = m_Options.control + " exists and is not a socket; not replacing it";
            return false;
        }
        unlink(addr.sun_path);  // left behind by an earlier run
    }
    m_nListen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_nListen < 0 || bind(m_nListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(m_nListen, 4) != 0) {
        *error = Errno(m_Options.control.c_str());
        if (m_nListen >= 0) {
            close(m_nListen);
            m_nListen = -1;
        }
        return false;
    }
    return true;
}

std::string PtyServer::SlavePath() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_SlavePath;
}

std::string PtyServer::DevicePath() const {
    return m_Options.link.empty() ? SlavePath() : m_Options.link;
}

std::string PtyServer::Control(const std::string& line) {
    if (m_Options.controlHook) {
        std::string reply = m_Options.controlHook(line);
        if (!reply.empty()) {
            return reply;
        }
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Controller.Execute(line, Clock::now());
}

Picture PtyServer::PictureAt(Clock::time_point t) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Picture p;
    p.frames = m_Deck.Frames(t);
    p.label = m_Deck.LabelFrames(t);
    const auto s = m_Deck.Status(t);
    const auto on = [&s](Bit b) { return (s[b.byte] & b.mask) != 0; };
    const auto end = m_Deck.TapeEnd();
    p.clean = !on(bits::kServoUnlocked) && on(bits::kThreaded) && !on(bits::kStandby) &&
              (!end || p.frames < *end);
    return p;
}

void PtyServer::SetVideoReference(Clock::time_point origin) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Deck.SetVideoReference(origin);
}

void PtyServer::SetFault(const Fault& fault) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Responder.SetFault(fault);
}

void PtyServer::Hangup(Millis away) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_bHangupPending = true;
    m_HangupFor = away;
    Wake();
}

void PtyServer::Wake() {
    if (m_nWake >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(m_nWake, &one, sizeof one);
    }
}

void PtyServer::EmitTrace(const std::string& line) {
    if (m_Options.traceSink) {
        m_Options.traceSink(line);
    } else {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
    }
}

Clock::duration PtyServer::ByteTime() const {
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(10.0 / m_Options.baud));
}

void PtyServer::Send(const std::vector<uint8_t>& bytes, Clock::time_point notBefore) {
    if (bytes.empty() || m_nMaster < 0) {
        return;
    }
    if (m_Options.baud <= 0) {
        if (m_Options.adapterLatency.count() <= 0) {
            WriteAll(m_nMaster, bytes.data(), bytes.size());
            return;
        }
        const auto at = std::max(Clock::now(), notBefore);
        for (uint8_t b : bytes) {
            Deliver(b, at);
        }
        return;
    }
    const auto perByte = ByteTime();
    // An idle line starts sending now; a busy one right after its last byte. The bytes of a
    // reply then follow back to back, as a UART sends them, so this thread's wake-up
    // latency delays each byte's hand-over but never adds up from byte to byte.
    auto start = std::max({Clock::now(), m_TxFree, notBefore});
    for (uint8_t b : bytes) {
        // A byte is the host's only when its last bit is in: hand it over at the end of its
        // time on the wire.
        const auto end = start + perByte;
        Deliver(b, end);
        m_TxFree = end;
        start = end;
    }
}

void PtyServer::Deliver(uint8_t byte, Clock::time_point at) {
    if (m_Options.adapterLatency.count() <= 0) {
        HandOverAt(at);
        WriteAll(m_nMaster, &byte, 1);
        return;
    }
    // The chip sends what it holds when its timer runs out, which may be before this byte
    // is in; the byte then starts the timer again.
    if (!m_Held.empty() && m_HeldSince + m_Options.adapterLatency <= at) {
        HandOverAt(m_HeldSince + m_Options.adapterLatency);
        FlushAdapter();
    }
    if (m_Held.empty()) {
        m_HeldSince = at;
    }
    m_Held.push_back(byte);
    if (m_Held.size() >= kAdapterPacket) {
        HandOverAt(at);
        FlushAdapter();
    }
}

void PtyServer::FlushAdapter() {
    if (!m_Held.empty() && m_nMaster >= 0) {
        WriteAll(m_nMaster, m_Held.data(), m_Held.size());
    }
    m_Held.clear();
}

Clock::time_point PtyServer::NextDeadline() const {
    auto next = Clock::time_point::max();
    if (m_bReopenPending) {
        next = m_ReopenAt;
    }
    if (!m_Held.empty()) {
        // Woken a little early; the rest is waited out on the clock.
        next = std::min(next, m_HeldSince + m_Options.adapterLatency - kSpin);
    }
    return next;
}

void PtyServer::ServeInput() {
    uint8_t in[256];
    const ssize_t n = read(m_nMaster, in, sizeof in);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        // The pty failed under us; bring up a fresh line rather than spin.
        CloseLine();
        m_bReopenPending = true;
        m_ReopenAt = Clock::now() + Millis(100);
        return;
    }
    const auto now = Clock::now();
    std::vector<Reply> replies(static_cast<size_t>(n));
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (ssize_t i = 0; i < n; ++i) {
            replies[i] = m_Responder.Feed(in[i], now);
        }
    }
    // Traced before the replies leave, so a host that has its answer finds it in the trace.
    TraceInput(now, in, n, replies);
    if (m_Options.baud > 0) {
        // The host's bytes take their wire time too: the deck hears a byte, and can answer
        // it, only once all its bits are in.
        const auto perByte = ByteTime();
        for (ssize_t i = 0; i < n; ++i) {
            m_RxFree = std::max(now, m_RxFree) + perByte;
            Send(replies[i].bytes, m_RxFree + replies[i].delay);
        }
        return;
    }
    // Replies to one read leave in one write unless one of them must wait.
    std::vector<uint8_t> out;
    for (const Reply& r : replies) {
        if (r.delay.count() > 0) {
            Send(out);
            out.clear();
            SleepUntil(now + r.delay);
            Send(r.bytes);
        } else {
            out.insert(out.end(), r.bytes.begin(), r.bytes.end());
        }
    }
    Send(out);
}

void PtyServer::TraceInput(Clock::time_point now, const uint8_t* in, ssize_t n,
                           const std::vector<Reply>& replies) {
    if (m_Options.trace) {
        const double t = std::chrono::duration<double>(now - m_Started).count();
        for (ssize_t i = 0; i < n; ++i) {
            EmitTrace(TraceLine(t, in[i], replies[i]));
        }
    }
}

void PtyServer::ServeClient(Client& client, bool* closed) {
    char buf[512];
    const ssize_t n = read(client.fd, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        *closed = true;
        return;
    }
    client.pending.append(buf, static_cast<size_t>(n));
    size_t eol;
    while ((eol = client.pending.find('\n')) != std::string::npos) {
        std::string line = client.pending.substr(0, eol);
        client.pending.erase(0, eol + 1);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string reply = Control(line) + "\n";
        WriteAll(client.fd, reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
    }
    if (client.pending.size() > 4096) {
        *closed = true;  // no command is this long
    }
}

bool PtyServer::WaitForEvents(std::vector<pollfd>& fds) const {
    const auto next = NextDeadline();
    if (next == Clock::time_point::max()) {
        return poll(fds.data(), fds.size(), -1) >= 0;
    }
    // To the microsecond: the adapter's timer may be 1 ms, and poll's would round it up.
    const auto left = std::max(next - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    return ppoll(fds.data(), fds.size(), &ts, nullptr) >= 0;
}

// A hang-up asked for from the control channel: the line goes, and comes back once its time
// is up. False while the line is down.
bool PtyServer::KeepLine() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_bHangupPending) {
            m_bHangupPending = false;
            m_bReopenPending = true;
            m_ReopenAt = Clock::now() + m_HangupFor;
            m_Responder.Reset();
        }
    }
    if (m_bReopenPending && m_nMaster >= 0) {
        // The freed pty name goes to the next program that opens a pty, so a host following
        // the link meanwhile would talk to a stranger's terminal (another deck, as it
        // happened). The link goes first, before the pty is freed, and stays gone until the
        // line is back, as an unplugged adapter is.
        if (m_bLinkMade) {
            unlink(m_Options.link.c_str());
            m_bLinkMade = false;
        }
        CloseLine();
    }
    if (m_bReopenPending && m_ReopenAt <= Clock::now()) {
        std::string err;
        if (OpenLine(&err)) {
            m_bReopenPending = false;
        } else {
            EmitTrace("line not reopened: " + err);
            m_ReopenAt = Clock::now() + Millis(1000);
        }
        return false;
    }
    return true;
}

// A new control client, and the lines of those there are; a client gone is closed.
void PtyServer::ServeClients(const std::vector<pollfd>& fds, int listenIdx, size_t firstClient) {
    if (listenIdx >= 0 && (fds[listenIdx].revents & POLLIN)) {
        const int fd = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            m_Clients.push_back({fd, {}});
        }
    }
    for (size_t i = m_Clients.size(); i-- > 0;) {
        if (firstClient + i >= fds.size() || !fds[firstClient + i].revents) {
            continue;
        }
        bool closed = false;
        ServeClient(m_Clients[i], &closed);
        if (closed) {
            close(m_Clients[i].fd);
            m_Clients.erase(m_Clients.begin() + static_cast<long>(i));
        }
    }
}

void PtyServer::Run() {
    if (m_Options.baud > 0 || m_Options.adapterLatency.count() > 0) {
        // Paced bytes sleep to the microsecond; the default 50 us of timer slack on every
        // byte would make the deck slower than the line it stands for.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    }
    std::vector<pollfd> fds;
    while (!m_bStop) {
        if (!KeepLine()) {
            continue;
        }
        fds.clear();
        fds.push_back({m_nWake, POLLIN, 0});
        const int masterIdx = m_nMaster >= 0 ? static_cast<int>(fds.size()) : -1;
        if (masterIdx >= 0) {
            fds.push_back({m_nMaster, POLLIN, 0});
        }
        const int listenIdx = m_nListen >= 0 ? static_cast<int>(fds.size()) : -1;
        if (listenIdx >= 0) {
            fds.push_back({m_nListen, POLLIN, 0});
        }
        const size_t firstClient = fds.size();
        for (const auto& c : m_Clients) {
            fds.push_back({c.fd, POLLIN, 0});
        }
        if (!WaitForEvents(fds)) {
            continue;  // EINTR
        }
        if (!m_Held.empty() && Clock::now() >= m_HeldSince + m_Options.adapterLatency - kSpin) {
            HandOverAt(m_HeldSince + m_Options.adapterLatency);
            FlushAdapter();
        }
        if (fds[0].revents) {
            uint64_t v;
            [[maybe_unused]] const ssize_t r = read(m_nWake, &v, sizeof v);
        }
        if (m_bStop) {
            break;
        }
        if (masterIdx >= 0 && fds[masterIdx].revents) {
            ServeInput();
        }
        ServeClients(fds, listenIdx, firstClient);
    }
}

}  // namespace decksim
