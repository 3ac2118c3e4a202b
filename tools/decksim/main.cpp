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
#include "tools/decksim/video_stream.h"

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
    "  A0                       request the time; above 30 fps its frames count frame\n"
    "                           pairs, with B0 | tens for the frames' tens digit on a\n"
    "                           pair's second frame\n"
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

// What the command line gives, before it is checked.
struct Args {
    decksim::ServerOptions opt;
    decksim::VideoOptions video;
    std::string videoSize = "320x240";
    int adapterMs = 0;
    int videoDelay = 0;
    int videoJitter = 0;
    int lockMs = 0;
    std::string tapeLength;
    CLI::Option* sound = nullptr;  // --audio, with or without its socket
    int soundChannels = 4;
    double soundDrift = 0;
    int ltcChannel = 0;
};

// The control commands, indented like the rest of the footer.
std::string Footer() {
    std::string footer = std::string(kFooter) + "  ";
    const std::string controlHelp =
        std::string(decksim::kControlHelp) + decksim::VideoStream::kHelp;
    for (const char* c = controlHelp.c_str(); *c != '\0'; ++c) {
        footer += *c;
        if (*c == '\n' && c[1] != '\0') {
            footer += "  ";
        }
    }
    return footer;
}

void AddDeckOptions(CLI::App& app, Args& a) {
    decksim::ServerOptions& opt = a.opt;
    app.add_option("--fps", opt.fps,
                   "frame rate of the time counter, 1 to 120 (default 25); 23.98, 29.97 and "
                   "59.94 count at 24000/1001, 30000/1001 and 60000/1001; above 30 the line "
                   "carries frame pairs")
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
    app.add_option("--adapter-latency", a.adapterMs,
                   "hold replies as a USB adapter does: MS after the first byte, or 62 bytes")
        ->option_text("MS")
        ->check(CLI::Range(1, 255));
}

void AddPictureOptions(CLI::App& app, Args& a) {
    app.add_option("--video", a.video.path,
                   "write the deck's picture to readers of a UNIX socket at PATH (NUT, raw "
                   "video; FFmpeg reads unix:PATH), frames carrying their tape position")
        ->option_text("PATH");
    app.add_option("--video-size", a.videoSize,
                   "the picture's size (default 320x240); 720x576 and 720x486 are interlaced "
                   "SD with the standard's 4:3 pixel aspect")
        ->option_text("WxH");
    app.add_option("--video-depth", a.video.depth,
                   "bits a sample: 8 (YUYV) or 10 (planar 4:2:2, as an SDI card gives)")
        ->option_text("8|10")
        ->check(CLI::IsMember({8, 10}));
    app.add_option("--video-delay", a.videoDelay, "the capture path's latency (default 0)")
        ->option_text("MS")
        ->check(CLI::Range(0, 10000));
    app.add_option("--video-jitter", a.videoJitter,
                   "each frame up to MS earlier or later than the latency (default 0)")
        ->option_text("MS")
        ->check(CLI::Range(0, 10000));
    app.add_option("--video-drop", a.video.dropOneIn,
                   "lose one frame in N on the way, at random (default 0: none)")
        ->option_text("N")
        ->check(CLI::Range(0, 1000000));
    a.sound = app.add_option(
                     "--audio", a.video.soundPath,
                     "add the tape's sound to the picture's stream: 48 kHz 24-bit PCM, a 997 Hz "
                     "tone whose phase runs along the tape on every channel but the last, which is "
                     "silent; muted unless the tape plays at speed. With PATH, also alone on that "
                     "socket, as a card's sound device gives it; both streams then carry the "
                     "deck's clock")
                  ->option_text("[PATH]")
                  ->expected(0, 1);
    app.add_option("--audio-drift", a.soundDrift,
                   "the sound device's clock (--audio PATH) runs PPM fast of the picture's, "
                   "negative slow (default 0)")
        ->option_text("PPM")
        ->check(CLI::Range(-10000.0, 10000.0));
    app.add_option("--audio-channels", a.soundChannels, "the sound's channels (default 4)")
        ->option_text("N")
        ->check(CLI::Range(1, 16));
    app.add_option("--ltc-channel", a.ltcChannel,
                   "channel K of the sound carries the tape's LTC (its labels, breaks included) "
                   "in place of the tone")
        ->option_text("K")
        ->check(CLI::Range(1, 16));
    app.add_option("--tape-length", a.tapeLength,
                   "the tape ends at this time: play and cues stop there (default: none)")
        ->option_text("HH:MM:SS:FF");
    app.add_option("--servo-lock", a.lockMs,
                   "the servo locks this long after play, when longer than 100 ms; until then "
                   "the picture is torn and carries no position")
        ->option_text("MS")
        ->check(CLI::Range(0, 60000));
}

// The options put together and checked; what is wrong in words, or "".
std::string Resolve(Args& a, hostkit::TimeBase* base) {
    decksim::ServerOptions& opt = a.opt;
    opt.adapterLatency = decksim::Millis(a.adapterMs);
    opt.fps = decksim::ExactFps(opt.fps);
    *base = hostkit::TimeBase{static_cast<int>(std::lround(opt.fps)), opt.dropFrame};
    // Drop frame keeps 30000/1001 and 60000/1001 labels in step with the clock; at any other
    // rate it would drift.
    const bool ntsc = std::fabs(opt.fps * 1001.0 - base->whole * 1000.0) < 1e-6;
    if (opt.dropFrame && (hostkit::DroppedPerMinute(*base) == 0 || !ntsc)) {
        return "--drop-frame needs --fps 29.97 or 59.94";
    }
    if (hostkit::Resolution(*base) > 1 && base->whole % 2 != 0) {
        return "above 30 fps a deck counts frame pairs, so --fps needs an even whole rate";
    }
    if (!decksim::ParseVideoSize(a.videoSize, &a.video.width, &a.video.height)) {
        return "--video-size wants WIDTHxHEIGHT, an even width of 64 to 4096, e.g. 720x576";
    }
    a.video.fields = decksim::FieldsOf(a.video.width, a.video.height);
    if (!a.tapeLength.empty() &&
        (!decksim::ParseTime(a.tapeLength, *base, &opt.tapeFrames) || opt.tapeFrames <= 0)) {
        return "--tape-length wants a time after 00:00:00:00 at the deck's rate";
    }
    const bool sound = a.sound != nullptr && a.sound->count() > 0;
    if (sound && a.video.path.empty()) {
        return "--audio goes with the picture: give --video PATH";
    }
    if (!a.video.soundPath.empty() && a.video.soundPath == a.video.path) {
        return "--audio PATH needs a socket of its own, apart from --video's";
    }
    if (a.soundDrift != 0 && a.video.soundPath.empty()) {
        return "--audio-drift is the sound device's: give --audio PATH";
    }
    a.video.soundPpm = a.soundDrift;
    a.video.soundChannels = sound ? a.soundChannels : 0;
    if (a.ltcChannel > 0 && (!sound || a.ltcChannel > a.soundChannels)) {
        return "--ltc-channel K needs --audio with K channels or more";
    }
    a.video.ltcChannel = a.ltcChannel;
    a.video.delay = decksim::Millis(a.videoDelay);
    a.video.jitter = decksim::Millis(a.videoJitter);
    opt.timing.lock = decksim::Millis(a.lockMs);
    return "";
}

// Control lines typed on a terminal, until a signal, a quit or the end of input.
void ReadControlLines(decksim::PtyServer& server) {
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
}

// The deck, and its picture when asked for, until it is told to end.
int Serve(Args& a, const hostkit::TimeBase& base) {
    decksim::VideoStream* picture = nullptr;
    a.opt.controlHook = [&picture](const std::string& line) {
        return picture != nullptr ? picture->Control(line) : std::string();
    };
    if (pipe2(g_SignalPipe, O_CLOEXEC) != 0) {
        return Fail(std::strerror(errno));
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGPIPE, SIG_IGN);  // a control client that went away is not fatal

    decksim::PtyServer server(a.opt);
    const auto origin = decksim::Clock::now();
    decksim::VideoStream stream(
        a.video, a.opt.fps, base, origin,
        [&server](decksim::Clock::time_point t) { return server.PictureAt(t); });
    std::string error;
    if (!a.video.path.empty()) {
        server.SetVideoReference(origin);
        picture = &stream;
    }
    if (!server.Start(&error) || (picture != nullptr && !stream.Start(&error))) {
        server.Stop();
        return Fail(error);
    }
    std::printf("%s\n", server.SlavePath().c_str());
    std::fflush(stdout);
    ReadControlLines(server);
    stream.Stop();
    server.Stop();
    return 0;
}

int Run(int argc, char** argv) {
    Args a;
    CLI::App app{kDescription, "decksim"};
    app.footer(Footer());
    app.set_version_flag("--version", "decksim " TAPEDECK_VERSION);
    AddDeckOptions(app, a);
    AddPictureOptions(app, a);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version end with 0; a wrong option with 2, as before.
        return app.exit(e) == 0 ? 0 : 2;
    }
    hostkit::TimeBase base{};
    if (const std::string wrong = Resolve(a, &base); !wrong.empty()) {
        return Fail(wrong);
    }
    return Serve(a, base);
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
