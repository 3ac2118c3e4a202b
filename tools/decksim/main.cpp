// decksim: the virtual deck on a pseudo-terminal. Prints the slave path first, then serves
// until quit, SIGINT or SIGTERM.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tapedeck5500_version.h"
#include "tools/decksim/pty_server.h"

namespace {

// What --help prints before the options; help2man makes it the manual page's description.
const char* const kDescription =
    "A virtual tape deck on a pseudo-terminal. The first line of output is the slave\n"
    "device to open as the deck's serial port.\n";

// What --help prints after the options: the wire the deck answers, its status bits, then the
// control commands. One entry a line with its meaning in a column, so help2man makes lists.
const char* const kFooter =
    "Wire commands (each byte acknowledged with 0A, unknown bytes with 0B):\n"
    "  3A                       play\n"
    "  3F                       stop\n"
    "  4B                       pause (still)\n"
    "  2A                       standby (unthread the tape)\n"
    "  3D / 3E                  shuttle forward x2 / wind forward x20\n"
    "  4D / 4E                  shuttle reverse x2 / wind reverse x20\n"
    "  B5/B6 + digit            variable speed forward/reverse; digit '5'-'8' = 1-4\n"
    "                           quarters of play speed, '0' = still, '1'-'4' = 4-1\n"
    "                           quarters the other way\n"
    "  DF 93 + time + 40        cue; ends in still at the target (0B to the 40 if\n"
    "                           the time is not a valid one)\n"
    "  D7 / B0                  request status bytes 0-4 / 5-9\n"
    "  DE C1                    request the video system\n"
    "  A0                       request the time\n"
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

int Fail(const std::string& msg) {
    std::fprintf(stderr, "decksim: %s\n", msg.c_str());
    return 2;
}

int Run(int argc, char** argv) {
    decksim::ServerOptions opt;
    CLI::App app{kDescription, "decksim"};
    // The control commands indented like the rest of the footer.
    std::string footer = std::string(kFooter) + "  ";
    for (const char* c = decksim::kControlHelp; *c != '\0'; ++c) {
        footer += *c;
        if (*c == '\n' && c[1] != '\0') {
            footer += "  ";
        }
    }
    app.footer(footer);
    app.set_version_flag("--version", "decksim " TAPEDECK_VERSION);
    app.add_option("--fps", opt.fps,
                   "frame rate of the time counter, 1 to 120 (default 25); 23.98, 29.97 and "
                   "59.94 count at 24000/1001, 30000/1001 and 60000/1001")
        ->option_text("N")
        ->check(CLI::Range(1.0, 120.0));
    app.add_flag("--drop-frame", opt.dropFrame,
                 "show drop-frame labels (HH:MM:SS;FF) at 29.97 or 59.94");
    app.add_option("--video-system", opt.videoSystem,
                   "the deck's video system (default 1); 4 reports and takes signed times")
        ->option_text("1|4")
        ->check(CLI::IsMember({1, 4}));
    app.add_option("--link", opt.link,
                   "keep a symlink to the slave at PATH (it follows the line across hang-ups)")
        ->option_text("PATH");
    app.add_option("--control", opt.control, "control channel on a UNIX socket at PATH")
        ->option_text("PATH");
    app.add_flag("--trace", opt.trace, "print each exchange: time, bytes in and out in hex, name");
    app.add_option("--baud", opt.baud,
                   "send replies no faster than N baud (10 bits a byte), up to 10000000")
        ->option_text("N")
        ->check(CLI::Range(1, 10000000));
    int adapterMs = 0;
    app.add_option("--adapter-latency", adapterMs,
                   "hold replies as a USB adapter does: MS after the first byte, or 62 bytes")
        ->option_text("MS")
        ->check(CLI::Range(1, 255));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version end with 0; a wrong option with 2, as before.
        return app.exit(e) == 0 ? 0 : 2;
    }
    opt.adapterLatency = decksim::Millis(adapterMs);
    opt.fps = decksim::ExactFps(opt.fps);
    const hostkit::TimeBase base{static_cast<int>(std::lround(opt.fps)), opt.dropFrame};
    if (opt.dropFrame && (hostkit::DroppedPerMinute(base) == 0 || opt.fps == base.whole)) {
        return Fail("--drop-frame needs --fps 29.97 or 59.94");
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

}  // namespace

int main(int argc, char** argv) {
    // Anything not handled on the way (out of memory, say) ends in one line, not abort.
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        return Fail(std::string("unexpected error: ") + e.what());
    } catch (...) {
        return Fail("unexpected error");
    }
}
