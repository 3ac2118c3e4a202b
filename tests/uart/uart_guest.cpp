// The module over a real kernel serial driver. Runs inside the QEMU guest, where port 1 is the
// guest's /dev/ttyS0 (an emulated 16550A wired to the virtual deck's pty on the host), and
// reports on a control line to the host script (tests/uart/run.py), one line per result:
//   PASS|FAIL name: detail     a check
//   FIG name median lo hi n    a benchmark figure in microseconds
//   ASK what                   the host acts on the deck (stop, cont, kill, start, system 4)
//                              and answers "OK what", or "NO what" when it could not
//   END failures               the last line
// usage: uart_guest MODULE CONTROL-TTY check
//        uart_guest MODULE CONTROL-TTY bench CALLS ROUNDS [TRIGGER...]
// CONTROL-TTY "-" reports on stdout (and ASK is refused), for a reference run on the host.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/hostkit/host_records.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/session.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

constexpr int kPort = 1;  // no TAPEDECK_COM1 in the guest: /dev/ttyS0
constexpr const char* kDevice = "/dev/ttyS0";
constexpr double kTimeoutMs = 50.0;

double MsSince(Clock::time_point t) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// The line to the host: raw, so that lines pass unchanged both ways.
class Control {
  public:
    explicit Control(const std::string& path) : m_bStdout(path == "-") {
        if (m_bStdout) {
            return;
        }
        m_Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios t{};
        if (m_Fd >= 0 && tcgetattr(m_Fd, &t) == 0) {
            cfmakeraw(&t);
            t.c_cflag |= CLOCAL | CREAD;
            t.c_cc[VMIN] = 1;
            t.c_cc[VTIME] = 0;
            tcsetattr(m_Fd, TCSANOW, &t);
        }
    }
    bool Ok() const { return m_Fd >= 0 || m_bStdout; }

    void Say(const std::string& line) {
        const std::string out = line + "\n";
        if (m_Fd < 0) {
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
            return;
        }
        std::size_t done = 0;
        while (done < out.size()) {
            const ssize_t n = ::write(m_Fd, out.data() + done, out.size() - done);
            if (n <= 0 && errno != EINTR) {
                return;
            }
            done += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        tcdrain(m_Fd);
    }

    // Asks the host to act on the deck and waits for its "OK what".
    bool Ask(const std::string& what) {
        if (m_Fd < 0) {
            return false;
        }
        Say("ASK " + what);
        std::string line;
        char c = 0;
        while (::read(m_Fd, &c, 1) == 1) {
            if (c != '\n') {
                line += c;
            } else if (line == "OK " + what || line == "NO " + what) {
                return line[0] == 'O';
            } else {
                line.clear();
            }
        }
        return false;
    }

  private:
    int m_Fd = -1;
    bool m_bStdout;
};

class Checks {
  public:
    Checks(const hostkit::Module& module, Control& control)
        : m_Control(control), m_Session(module, m_Rec, m_Sink, false) {}

    void Check(bool ok, const std::string& name, const std::string& detail = {}) {
        if (!ok) {
            ++m_nFailures;
        }
        m_Control.Say(std::string(ok ? "PASS " : "FAIL ") + name + (detail.empty() ? "" : ": ") +
                      detail);
    }

    // One host call whose result, and optionally one field, must come out as given.
    hostkit::Outcome Expect(int command, int result, const char* field = nullptr,
                            int64_t value = 0) {
        hostkit::Outcome o = m_Session.Quiet(command);
        std::ostringstream d;
        d << "result " << o.result << " (want " << result << ")";
        bool ok = o.result == result && o.guardsIntact;
        if (field != nullptr) {
            d << ", " << field << " " << m_Rec.Get(field) << " (want " << value << ")";
            ok = ok && m_Rec.Get(field) == value;
        }
        d << ", " << std::lround(o.millis) << " ms";
        Check(ok, "command " + std::to_string(command), d.str());
        return o;
    }

    bool PollUntil(const std::function<bool()>& done, Millis limit) {
        const auto end = Clock::now() + limit;
        while (Clock::now() < end) {
            if (m_Session.Quiet(10).result != 1) {
                return false;
            }
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(Millis(40));
        }
        return false;
    }

    void WaitCue() {
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(Millis(50));
            if (m_Session.Quiet(29).result == 1 && m_Rec.Get("bAnswer29") == 1) {
                return;
            }
        }
        Check(false, "cue ends", "the deck still winds after 3 s");
    }

    void Set(const char* field, int64_t value) { m_Rec.Set(field, value); }
    int64_t Get(const char* field) const { return m_Rec.Get(field); }
    int Failures() const { return m_nFailures; }
    Control& Line() { return m_Control; }

  private:
    Control& m_Control;
    hostkit::HostRecords m_Rec;
    std::ostringstream m_Sink;
    hostkit::Session m_Session;
    int m_nFailures = 0;
};

// Opens the port as nobody (uid and gid 65534) in a child: 0 when it opened, else the errno.
int OpenAsNobody() {
    const pid_t pid = fork();
    if (pid == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(254);
        }
        const int fd = ::open(kDevice, O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// The line as the driver holds it while the module has the port open. Root may open a port
// held exclusively; read-only and non-blocking leaves the line as it is.
void CheckTermios(Checks& c) {
    const int fd = ::open(kDevice, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0) {
        c.Check(false, "termios", std::string("cannot read back: ") + std::strerror(errno));
        if (fd >= 0) {
            ::close(fd);
        }
        return;
    }
    struct Bit {
        const char* name;
        bool ok;
    };
    const Bit bits[] = {
        {"input speed 9600", cfgetispeed(&t) == B9600},
        {"output speed 9600", cfgetospeed(&t) == B9600},
        {"CS8", (t.c_cflag & CSIZE) == CS8},
        {"no parity (PARENB clear)", (t.c_cflag & PARENB) == 0},
        {"one stop bit (CSTOPB clear)", (t.c_cflag & CSTOPB) == 0},
        {"CLOCAL set", (t.c_cflag & CLOCAL) != 0},
        {"CREAD set", (t.c_cflag & CREAD) != 0},
        {"CRTSCTS clear", (t.c_cflag & CRTSCTS) == 0},
        {"HUPCL clear", (t.c_cflag & HUPCL) == 0},
        {"IXON and IXOFF clear", (t.c_iflag & (IXON | IXOFF | IXANY)) == 0},
        {"raw input", (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
                          (t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | BRKINT | PARMRK)) == 0},
        {"raw output (OPOST clear)", (t.c_oflag & OPOST) == 0},
        {"VMIN 0, VTIME 0", t.c_cc[VMIN] == 0 && t.c_cc[VTIME] == 0},
    };
    char flags[160];
    std::snprintf(flags, sizeof flags, "cflag %o iflag %o oflag %o lflag %o",
                  static_cast<unsigned>(t.c_cflag), static_cast<unsigned>(t.c_iflag),
                  static_cast<unsigned>(t.c_oflag), static_cast<unsigned>(t.c_lflag));
    for (const Bit& b : bits) {
        c.Check(b.ok, std::string("termios ") + b.name, b.ok ? "" : flags);
    }
    // What the emulated UART reports of its modem lines, with nothing driving them.
    int lines = 0;
    const bool got = ioctl(fd, TIOCMGET, &lines) == 0;
    char shown[96];
    std::snprintf(shown, sizeof shown, "DCD %d CTS %d DSR %d RI %d DTR %d RTS %d",
                  (lines & TIOCM_CAR) != 0, (lines & TIOCM_CTS) != 0, (lines & TIOCM_DSR) != 0,
                  (lines & TIOCM_RI) != 0, (lines & TIOCM_DTR) != 0, (lines & TIOCM_RTS) != 0);
    c.Check(got && (lines & (TIOCM_CAR | TIOCM_CTS)) == 0,
            "modem lines: carrier and CTS not asserted", shown);
    ::close(fd);
}

void Session(Checks& c) {
    c.Expect(1, 0, "nIdentFlag", 1);

    const int before = OpenAsNobody();
    c.Check(before == 0, "nobody may open the idle port", before == 0 ? "" : std::strerror(before));

    // Open must not wait for carrier (DCD is down) and the first writes must not wait for CTS.
    c.Set("nPort", kPort);
    c.Set("nState", 6);
    const hostkit::Outcome connect = c.Expect(5, 1, "nState", 0);
    c.Check(connect.millis < 1000, "open does not block on carrier, writes do not stall on CTS",
            std::to_string(static_cast<int>(connect.millis)) + " ms for connect");
    CheckTermios(c);
    const int held = OpenAsNobody();
    c.Check(held == EBUSY, "a second open by nobody fails with EBUSY",
            held == 0 ? "it opened" : std::strerror(held));

    c.Expect(30, 1, "bAnswer30", 1);
    c.Expect(33, 1);
    c.Expect(16, 1, "nState", 3);
    c.Expect(17, 1);
    c.Expect(18, 1, "bAnswer18", 0);
    c.Expect(29, 1, "bAnswer29", 1);

    c.Expect(9, 1, "nState", 5);
    std::this_thread::sleep_for(Millis(200));
    c.Expect(18, 1, "bAnswer18", 1);
    c.Expect(24, 1, "nState", 5);

    c.Set("nPosition", int64_t{30} * 25);
    c.Set("dwPending", 7);
    c.Check(c.PollUntil([&] { return c.Get("dwPending") == 0; }, Millis(3000)),
            "poll works off pending flags 1, 2 and 4");
    c.Expect(10, 1, "nState", 1);
    c.Expect(19, 1, "nState", 1);

    c.Set("dwPending", 8);
    c.Check(c.PollUntil([&] { return c.Get("dwPending") == 0; }, Millis(3000)),
            "poll works off pending flag 8 (standby)");
    c.Expect(33, 0);
    c.Set("nPosition", int64_t{60} * 25);
    c.Expect(7, 0);

    c.Expect(9, 1, "nState", 5);
    c.Expect(7, 1, "nState", 2);
    c.WaitCue();
    c.Expect(25, 1, "nFrames", int64_t{60} * 25);

    c.Set("nPosition", int64_t{10} * 25);
    c.Set("nCueOffset", int64_t{2} * 25);
    c.Expect(8, 1, "nState", 4);
    c.WaitCue();
    c.Expect(25, 1, "nFrames", int64_t{8} * 25);

    c.Check(c.Line().Ask("system 4"), "the deck switches to video system 4");
    c.Set("nVideoFormat", 1);
    c.Expect(44, 1, "nVideoFormat", 0);
    c.Set("nPosition", 0);
    c.Expect(8, 1, "nState", 4);
    c.WaitCue();
    c.Expect(25, 1, "nFrames", int64_t{-2} * 25);

    c.Set("nSpeed", -2);
    c.Expect(47, 1);
    c.Set("nSpeed", 3);
    c.Expect(53, 1);

    c.Expect(6, 1, "pDevice", 0);
    c.Expect(25, 0);
    const int after = OpenAsNobody();
    c.Check(after == 0, "the port is free again after disconnect",
            after == 0 ? "" : std::strerror(after));
}

void Silent(Checks& c) {
    if (!c.Line().Ask("stop")) {
        c.Check(false, "silent deck", "the host did not stop the deck");
        return;
    }
    c.Set("nPort", kPort);
    const hostkit::Outcome o = c.Expect(5, 0, "pDevice", 0);
    c.Check(o.millis >= kTimeoutMs - 5 && o.millis < 2 * kTimeoutMs,
            "a silent deck fails connect within one 50 ms time-out",
            std::to_string(std::lround(o.millis)) + " ms");
    c.Check(c.Line().Ask("cont"), "the deck runs again");
    // Its late replies to the requests it held are discarded by the next exchange's flush.
    std::this_thread::sleep_for(Millis(300));
    c.Expect(5, 1);
    c.Expect(6, 1, "pDevice", 0);
}

// On a real UART a far side that went away is silence: no hang-up reaches the driver, so a
// command fails by its time-out rather than at once as it does on a pty.
void HangUp(Checks& c) {
    c.Set("nPort", kPort);
    c.Expect(5, 1);
    c.Expect(9, 1, "nState", 5);
    if (!c.Line().Ask("kill")) {
        c.Check(false, "hang-up", "the host did not stop the deck's process");
        return;
    }
    c.Set("nState", 9);
    const hostkit::Outcome o = c.Expect(9, 0);
    c.Check(o.millis >= kTimeoutMs - 5 && o.millis < 2 * kTimeoutMs,
            "a command on the dead line fails by one time-out (silence, no hang-up)",
            std::to_string(std::lround(o.millis)) + " ms");
    c.Expect(6, 1, "pDevice", 0);
    c.Check(c.Line().Ask("start"), "the deck is back");
    c.Expect(5, 1);
    c.Expect(9, 1, "nState", 5);
    c.Expect(6, 1, "pDevice", 0);
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

// Median time of each benchmarked command, per round of `calls` calls on a fresh connection.
void Bench(const hostkit::Module& module, Control& control, int calls, int rounds,
           const std::string& label) {
    struct Row {
        const char* name;
        int command;
    };
    const Row rows[] = {{"status sense (33)", 33}, {"poll (10)", 10}, {"position (25)", 25}};
    for (const Row& row : rows) {
        std::vector<double> medians;
        for (int r = 0; r < rounds; ++r) {
            hostkit::HostRecords rec;
            rec.Set("nPort", kPort);
            rec.Set("nVideoFormat", 1);
            if (module.Call(5, rec) != 1) {
                control.Say("FAIL bench: cannot connect");
                return;
            }
            std::vector<double> t;
            for (int i = -2; i < calls; ++i) {
                rec.Set("dwPending", 0);
                const auto a = Clock::now();
                const int result = module.Call(row.command, rec);
                const double ms = MsSince(a);
                if (result != 1) {
                    control.Say(std::string("FAIL bench: ") + row.name + " gave " +
                                std::to_string(result));
                    return;
                }
                if (i >= 0) {
                    t.push_back(ms * 1000.0);
                }
            }
            module.Call(6, rec);
            medians.push_back(Median(t));
        }
        char line[200];
        std::snprintf(line, sizeof line, "FIG %s%s %.1f %.1f %.1f %d", row.name, label.c_str(),
                      Median(medians), *std::min_element(medians.begin(), medians.end()),
                      *std::max_element(medians.begin(), medians.end()), rounds);
        control.Say(line);
    }
}

bool SetTrigger(int bytes) {
    const char* path = "/sys/class/tty/ttyS0/rx_trig_bytes";
    {
        std::ofstream out(path);
        out << bytes << '\n';
    }
    std::ifstream in(path);
    int now = 0;
    return static_cast<bool>(in >> now) && now == bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: uart_guest MODULE CONTROL check\n"
                     "       uart_guest MODULE CONTROL bench CALLS ROUNDS [TRIGGER...]\n");
        return 2;
    }
    Control control(argv[2]);
    hostkit::Module module;
    std::string error;
    if (!control.Ok() || !module.Load(argv[1], &error)) {
        std::fprintf(stderr, "uart_guest: %s\n", error.empty() ? argv[2] : error.c_str());
        return 2;
    }
    const std::string mode = argv[3];
    int failures = 0;
    if (mode == "check") {
        Checks c(module, control);
        Session(c);
        Silent(c);
        HangUp(c);
        failures = c.Failures();
        Bench(module, control, 5, 1, "");  // a short pass: the benchmark runs, and to the end
    } else if (mode == "bench" && argc >= 6) {
        const int calls = std::atoi(argv[4]);
        const int rounds = std::atoi(argv[5]);
        if (argc == 6) {
            Bench(module, control, calls, rounds, "");
        }
        for (int i = 6; i < argc; ++i) {
            const int trigger = std::atoi(argv[i]);
            if (!SetTrigger(trigger)) {
                control.Say("FAIL bench: the driver did not take rx_trig_bytes " +
                            std::string(argv[i]));
                ++failures;
                continue;
            }
            Bench(module, control, calls, rounds, ", FIFO trigger " + std::to_string(trigger));
        }
    } else {
        std::fprintf(stderr, "uart_guest: unknown mode '%s'\n", mode.c_str());
        return 2;
    }
    control.Say("END " + std::to_string(failures));
    return failures == 0 ? 0 : 1;
}
