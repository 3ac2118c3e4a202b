// decksim: the virtual deck on a pseudo-terminal. Prints the slave path first, then serves
// until quit, SIGINT or SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/decksim/pty_server.h"

namespace {

const char* const kUsage =
    "usage: decksim [options]\n"
    "\n"
    "A virtual tape deck on a pseudo-terminal. The first line of output is the slave\n"
    "device to open as the deck's serial port.\n"
    "\n"
    "  --fps N            frame rate of the time counter (default 25)\n"
    "  --video-system 1|4 the deck's video system; 4 reports and takes signed times\n"
    "  --link PATH        keep a symlink to the slave at PATH (it survives hang-ups)\n"
    "  --control PATH     control channel on a UNIX socket at PATH\n"
    "  --trace            print each exchange: time, bytes in and out in hex, name\n"
    "  --baud N           send replies no faster than N baud (10 bits a byte)\n"
    "  --help             this text\n"
    "\n"
    "Wire commands (each byte acknowledged with 0A, unknown bytes with 0B):\n"
    "  3A play  3F stop  4B pause (still)  2A standby (unthread the tape)\n"
    "  3D shuttle fwd x2  3E wind fwd x20  4D shuttle rev x2  4E wind rev x20\n"
    "  B5/B6 + digit  variable speed fwd/rev; digit '5'-'8' = 1-4 quarters of play\n"
    "        speed, '0' = still, '1'-'4' = 4-1 quarters the other way\n"
    "  DF 93 + time + 40  cue; ends in still at the target (0B to the 40 if the\n"
    "        time is not a valid one). Requests: D7/B0 status, DE C1 system, A0 time.\n"
    "\n"
    "Status bits (byte.bit) and when the deck sets them:\n"
    "  0.0 not ready            only through the control channel\n"
    "  0.3 standby              tape unthreaded (300 ms after 2A); no cue possible\n"
    "  1.0-1.6 mode             play, still, reverse, wind, shuttle, var-speed, cue\n"
    "  2.1 servo unlocked       100 ms after a transport change, and while cueing\n"
    "  3.4 stopped              100 ms after 3F (and in standby)\n"
    "  3.5 threaded             tape round the drum; clear in standby\n"
    "  3.7 playing              100 ms after 3A, while at play speed\n"
    "  5.3 cue busy             while a cue runs (up to 1.5 s); no new cue possible\n"
    "  5.4 threading            while the tape threads or unthreads; not ready\n"
    "Leaving standby (any motion command) threads the tape first (300 ms).\n"
    "\n"
    "Control commands (--control socket, or stdin when it is a terminal):\n";

volatile sig_atomic_t g_Signal = 0;
int g_SignalPipe[2] = {-1, -1};

void OnSignal(int sig) {
    g_Signal = sig;
    const char c = 1;
    [[maybe_unused]] const ssize_t n = write(g_SignalPipe[1], &c, 1);
}

bool ParseInt(const char* s, long lo, long hi, long* out) {
    char* end = nullptr;
    const long v = std::strtol(s, &end, 10);
    if (end == s || *end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

int Fail(const std::string& msg) {
    std::fprintf(stderr, "decksim: %s\n", msg.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    decksim::ServerOptions opt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        long v = 0;
        if (a == "--help" || a == "-h") {
            std::printf("%s%s", kUsage, decksim::kControlHelp);
            return 0;
        } else if (a == "--trace") {
            opt.trace = true;
        } else if (a == "--fps" && hasValue) {
            char* end = nullptr;
            opt.fps = std::strtod(argv[++i], &end);
            if (*end != '\0' || !(opt.fps >= 1.0 && opt.fps <= 120.0)) {
                return Fail("--fps wants a rate from 1 to 120");
            }
        } else if (a == "--video-system" && hasValue) {
            if (!ParseInt(argv[++i], 1, 4, &v) || (v != 1 && v != 4)) {
                return Fail("--video-system wants 1 or 4");
            }
            opt.videoSystem = static_cast<int>(v);
        } else if (a == "--baud" && hasValue) {
            if (!ParseInt(argv[++i], 1, 10000000, &v)) {
                return Fail("--baud wants a positive rate");
            }
            opt.baud = static_cast<int>(v);
        } else if (a == "--link" && hasValue) {
            opt.link = argv[++i];
        } else if (a == "--control" && hasValue) {
            opt.control = argv[++i];
        } else {
            return Fail("unknown or incomplete option '" + a + "' (see --help)");
        }
    }

    if (pipe2(g_SignalPipe, O_CLOEXEC) != 0) {
        return Fail(std::strerror(errno));
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);  // a control client that went away is not fatal

    decksim::PtyServer server(opt);
    std::string error;
    if (!server.Start(&error)) {
        return Fail(error);
    }
    std::printf("%s\n", server.SlavePath().c_str());
    std::fflush(stdout);

    const bool interactive = isatty(STDIN_FILENO);
    if (interactive) {
        std::fprintf(stderr, "decksim: type 'help' for commands\n");
    }
    std::string pending;
    while (!g_Signal && !server.QuitRequested()) {
        pollfd fds[2] = {{g_SignalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, interactive ? 2 : 1, 100) <= 0 || !interactive || !fds[1].revents) {
            continue;
        }
        char buf[256];
        const ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            break;  // end of input ends the deck
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t eol;
        while ((eol = pending.find('\n')) != std::string::npos) {
            const std::string reply = server.Control(pending.substr(0, eol));
            pending.erase(0, eol + 1);
            if (!reply.empty()) {
                std::printf("%s\n", reply.c_str());
                std::fflush(stdout);
            }
        }
    }
    server.Stop();
    return 0;
}
