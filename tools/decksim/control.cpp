#include "tools/decksim/control.h"

#include <cstdio>
#include <sstream>
#include <vector>

namespace decksim {

const char* const kControlHelp =
    "status BYTE BIT 0|1|auto   pin a status bit (BYTE 0-9, BIT 0-7) or give it back\n"
    "status                     print the ten status bytes\n"
    "time [-]HH:MM:SS:FF        set the time counter (';' before FF in drop frame; on a\n"
    "                           system-4 deck from just after -14:00:00:00 to 10:00:00:00)\n"
    "system 1|4                 switch the video system\n"
    "fault KIND                 silent, nak, short, garbage, late [MS [N]] (one reply in N),\n"
    "                           hangup [MS], random N, or none to behave again\n"
    "play|stop|pause|standby    move the tape as the wire would\n"
    "cue [-]HH:MM:SS:FF         cue the tape as the wire would (above 30 fps, to the first\n"
    "                           frame of a pair: an even frame)\n"
    "break AT TO | break none   a timecode break: from the tape's AT on the time reads TO\n"
    "                           and runs on from there; the tape and its picture do not jump\n"
    "lock MS                    the servo locks MS after play (default 100)\n"
    "get                        print transport, speed, time, system, status, fault\n"
    "quit                       end the deck\n";

namespace {

bool ToInt(const std::string& s, long lo, long hi, long* out) {
    if (s.empty()) {
        return false;
    }
    char* end = nullptr;
    const long v = std::strtol(s.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) {
        return false;
    }
    *out = v;
    return true;
}

std::string Hex(const uint8_t* p, size_t n) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        s += buf;
    }
    return s;
}

}  // namespace

Controller::Controller(DeckModel& deck, Responder& responder, std::function<void(Millis)> hangup,
                       std::function<void()> quit)
    : m_Deck(deck), m_Responder(responder), m_Hangup(std::move(hangup)), m_Quit(std::move(quit)) {}

std::string Controller::Describe(Clock::time_point now) {
    const auto s = m_Deck.Status(now);
    char speed[32];
    std::snprintf(speed, sizeof speed, "%g", m_Deck.Speed(now));
    std::string out = "transport=";
    out += TransportName(m_Deck.Mode(now));
    out += " speed=" + std::string(speed);
    out += " time=" + FormatTime(m_Deck.LabelFrames(now), m_Deck.Base());
    out += " system=" + std::to_string(m_Deck.VideoSystem());
    out += " status=" + Hex(s.data(), s.size());
    out += " fault=" + std::string(FaultName(m_Responder.GetFault().kind));
    return out;
}

std::string Controller::Execute(const std::string& line, Clock::time_point now) {
    std::istringstream in(line);
    Words w;
    for (std::string t; in >> t;) {
        w.push_back(t);
    }
    if (w.empty()) {
        return "";
    }
    const std::string& cmd = w[0];
    std::optional<std::string> reply;
    if (cmd == "status") {
        reply = Status(w, now);
    } else if (cmd == "time" || cmd == "cue") {
        reply = SetTime(w, now);
    } else if (cmd == "break") {
        reply = Break(w);
    } else if (cmd == "lock") {
        reply = Lock(w);
    } else if (cmd == "system" && w.size() == 2 && (w[1] == "1" || w[1] == "4")) {
        m_Deck.SetVideoSystem(w[1] == "1" ? 1 : 4);
        reply = "ok";
    } else if (cmd == "fault") {
        reply = SetFault(w);
    }
    if (!reply && w.size() == 1) {
        reply = Transport(cmd, now);
    }
    return reply ? *reply : "error: bad arguments to '" + cmd + "' (try help)";
}

std::optional<std::string> Controller::Status(const Words& w, Clock::time_point now) {
    long a = 0;
    long b = 0;
    if (w.size() == 1) {
        const auto s = m_Deck.Status(now);
        return Hex(s.data(), s.size());
    }
    if (w.size() != 4) {
        return std::nullopt;
    }
    if (!ToInt(w[1], 0, 9, &a) || !ToInt(w[2], 0, 7, &b)) {
        return "error: status BYTE BIT wants BYTE 0-9 and BIT 0-7";
    }
    if (w[3] == "auto") {
        m_Deck.ForceBit(static_cast<int>(a), static_cast<int>(b), std::nullopt);
    } else if (w[3] == "0" || w[3] == "1") {
        m_Deck.ForceBit(static_cast<int>(a), static_cast<int>(b), w[3] == "1");
    } else {
        return "error: status BYTE BIT wants 0, 1 or auto";
    }
    return "ok";
}

// `time` sets the counter, `cue` moves the tape there as the wire would.
std::optional<std::string> Controller::SetTime(const Words& w, Clock::time_point now) {
    if (w.size() != 2) {
        return std::nullopt;
    }
    const std::string& cmd = w[0];
    const std::string& text = w[1];
    const bool plus = text[0] == '+';
    const hostkit::ParsedTimecode p =
        hostkit::ParseTimecode(plus ? text.substr(1) : text, m_Deck.Rate());
    if (!p.ok) {
        return "error: " + cmd + " wants [-]HH:MM:SS:FF: " + p.error;
    }
    const int64_t frames = p.frames;
    if (!m_Deck.InRange(frames)) {
        return "error: a video-system-4 deck's times run from " +
               FormatTime(m_Deck.Earliest(), m_Deck.Base()) + " to " +
               FormatTime(m_Deck.Latest(), m_Deck.Base()) + "; " + text + " is not one of them";
    }
    // The deck may stand on either frame of a pair, but a cue goes to a label the line can
    // carry, as one from the wire does.
    if (cmd == "cue" && !hostkit::OnTheLine(frames, m_Deck.Base())) {
        return "error: " + hostkit::LineRefusal(frames, m_Deck.Rate());
    }
    if (cmd == "time") {
        m_Deck.SetFrames(frames, now);
    } else {
        m_Deck.Cue(m_Deck.TapeOfLabel(frames), now);
    }
    return "ok";
}

std::optional<std::string> Controller::Break(const Words& w) {
    const std::size_t n = w.size();
    if (n != 3 && !(n == 2 && w[1] == "none")) {
        return std::nullopt;
    }
    int64_t at = 0;
    int64_t to = 0;
    if (n == 3 && (!ParseTime(w[1], m_Deck.Base(), &at) || !ParseTime(w[2], m_Deck.Base(), &to))) {
        return "error: break wants AT and TO as [-]HH:MM:SS:FF, or none";
    }
    m_Deck.SetBreak(at, to - at);
    return "ok";
}

std::optional<std::string> Controller::Lock(const Words& w) {
    long ms = 0;
    if (w.size() != 2) {
        return std::nullopt;
    }
    if (!ToInt(w[1], 0, 60000, &ms)) {
        return "error: lock wants MS from 0 to 60000";
    }
    m_Deck.SetLockTime(Millis(ms));
    return "ok";
}

std::optional<std::string> Controller::SetFault(const Words& w) {
    const std::size_t n = w.size();
    if (n < 2 || n > 4) {
        return std::nullopt;
    }
    Fault f;
    const std::string& kind = w[1];
    const bool hasArg = n >= 3;
    long a = 0;
    long every = 1;
    if (n == 4 && (kind != "late" || !ToInt(w[3], 1, 1000, &every))) {
        return "error: fault late MS N wants N from 1 to 1000";
    }
    f.every = static_cast<int>(every);
    if (kind == "none" && !hasArg) {
        f.kind = FaultKind::kNone;
    } else if (kind == "silent" && !hasArg) {
        f.kind = FaultKind::kSilent;
    } else if (kind == "nak" && !hasArg) {
        f.kind = FaultKind::kNak;
    } else if (kind == "short" && !hasArg) {
        f.kind = FaultKind::kShort;
    } else if (kind == "garbage" && !hasArg) {
        f.kind = FaultKind::kGarbage;
    } else if (kind == "late" && (!hasArg || ToInt(w[2], 0, 10000, &a))) {
        f.kind = FaultKind::kLate;
        if (hasArg) {
            f.delay = Millis(a);
        }
    } else if (kind == "random" && hasArg && ToInt(w[2], 1, 4096, &a)) {
        f.kind = FaultKind::kRandom;
        f.count = static_cast<int>(a);
    } else if (kind == "hangup" && (!hasArg || ToInt(w[2], 0, 60000, &a))) {
        m_Hangup(Millis(hasArg ? a : 1000));
        return "ok";
    } else {
        return "error: fault silent|nak|short|garbage|late [MS [N]]|hangup [MS]|random N|none";
    }
    m_Responder.SetFault(f);
    return "ok";
}

// The one-word lines: the transport, and `get`, `help` and `quit`.
std::optional<std::string> Controller::Transport(const std::string& cmd, Clock::time_point now) {
    if (cmd == "play") {
        m_Deck.Play(now);
    } else if (cmd == "stop") {
        m_Deck.Stop(now);
    } else if (cmd == "pause") {
        m_Deck.Pause(now);
    } else if (cmd == "standby") {
        m_Deck.Standby(now);
    } else if (cmd == "get") {
        return Describe(now);
    } else if (cmd == "help") {
        std::string h = kControlHelp;
        h.pop_back();
        return h;
    } else if (cmd == "quit") {
        m_Quit();
    } else {
        return "error: unknown command '" + cmd + "' (try help)";
    }
    return "ok";
}

}  // namespace decksim
