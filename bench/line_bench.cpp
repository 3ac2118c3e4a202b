// The plug-in over the POSIX serial layer against the virtual deck on a pseudo-terminal:
// unpaced beside a minimal loop that moves the same bytes (the machine's floor), paced at
// 9600 baud against the wire time of the bytes, and against a silent deck.
// Writes one JSON object of figures; the report script prints the table.
#include <fcntl.h>
#include <sched.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "deck/wire.h"
#include "plugin/records.h"
#include "tools/decksim/pty_server.h"

extern "C" int Main(int nCommand, DEVICE_CONTEXT* pContext, COMMAND_DATA* pData);

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPort = 9;
constexpr double kByteMs = 10.0 / 9600.0 * 1000.0;  // 10 bits a byte at 9600 baud
constexpr int kPosition = 250;                      // 00:00:10:00 at 25 fps

[[noreturn]] void Die(const std::string& why) {
    std::fprintf(stderr, "line_bench: %s\n", why.c_str());
    std::exit(1);
}

double Ms(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) {
        return 0.0;
    }
    std::sort(v.begin(), v.end());
    const double pos = q * static_cast<double>(v.size() - 1);
    const auto i = static_cast<std::size_t>(pos);
    const double frac = pos - static_cast<double>(i);
    return i + 1 < v.size() ? v[i] + (v[i + 1] - v[i]) * frac : v[i];
}

double Median(const std::vector<double>& v) {
    return Quantile(v, 0.5);
}

struct Figure {
    std::string section, name, unit;
    double median = 0, lo = 0, hi = 0;
    int runs = 0;
    std::string target;  // as printed
    bool pass = true;
    std::string note;
};

std::vector<Figure> g_Figures;

void Add(const std::string& section, const std::string& name, const std::string& unit,
         const std::vector<double>& values, const std::string& target, bool pass,
         const std::string& note = {}) {
    Figure f{section,
             name,
             unit,
             Median(values),
             *std::min_element(values.begin(), values.end()),
             *std::max_element(values.begin(), values.end()),
             static_cast<int>(values.size()),
             target,
             pass,
             note};
    g_Figures.push_back(f);
}

// A deck whose status bits settle at once, so every call of a command does the same
// exchanges (a cue is otherwise refused while the last one still winds).
decksim::ServerOptions DeckOptions(int baud) {
    decksim::ServerOptions o;
    o.baud = baud;
    o.timing.settle = decksim::Millis(0);
    o.timing.thread = decksim::Millis(0);
    o.timing.cueMax = decksim::Millis(0);
    return o;
}

// Starts the deck's thread and gives the path of its pty; a deck that cannot start ends the run.
std::string StartDeck(decksim::PtyServer& deck) {
    std::string err;
    if (!deck.Start(&err)) {
        Die("deck: " + err);
    }
    return deck.SlavePath();
}

// The host's side: a record connected through Main to the port that names the deck's pty.
class Host {
  public:
    explicit Host(const std::string& path) {
        const std::string name = "TAPEDECK_COM" + std::to_string(kPort);
        setenv(name.c_str(), path.c_str(), 1);
        m_Ctx.nPort = kPort;
        m_Ctx.nVideoFormat = 1;
    }
    ~Host() { Disconnect(); }
    int Connect() {
        const int r = Main(5, &m_Ctx, &m_Data);
        return r;
    }
    void Disconnect() {
        if (m_Ctx.pDevice != 0) {
            Main(6, &m_Ctx, &m_Data);
        }
    }
    int Call(int command, uint32_t pending) {
        m_Ctx.dwPending = pending;
        m_Ctx.nPosition = kPosition;
        return Main(command, &m_Ctx, &m_Data);
    }
    const DEVICE_CONTEXT& Record() const { return m_Ctx; }

  private:
    DEVICE_CONTEXT m_Ctx{};
    COMMAND_DATA m_Data{};
};

// The floor: a blocking raw descriptor on the same pty, moving the same bytes with nothing
// around them. Checks the replies so that it cannot win by skipping work.
class Floor {
  public:
    explicit Floor(const std::string& path) {
        m_Fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_Fd < 0) {
            Die("floor cannot open " + path);
        }
        termios t{};
        tcgetattr(m_Fd, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(m_Fd, TCSANOW, &t);
        tcflush(m_Fd, TCIOFLUSH);
    }
    ~Floor() { ::close(m_Fd); }

    // One request byte, then n reply bytes.
    void Block(uint8_t request, int n) {
        Put(&request, 1);
        uint8_t in[16];
        int got = 0;
        while (got < n) {
            const ssize_t r = ::read(m_Fd, in + got, static_cast<size_t>(n - got));
            if (r <= 0) {
                Die("floor read failed");
            }
            got += static_cast<int>(r);
        }
    }
    // Every byte answered by one; the first answer must be the acknowledge.
    void ByteByByte(const uint8_t* bytes, int n) {
        for (int i = 0; i < n; ++i) {
            Put(&bytes[i], 1);
            uint8_t in = 0;
            if (::read(m_Fd, &in, 1) != 1) {
                Die("floor read failed");
            }
            if (i == 0 && in != wire::kAck) {
                Die("floor: the deck did not acknowledge");
            }
        }
    }
    void Status() {
        Block(wire::kStatusFirst, wire::kStatusReplyLen);
        Block(wire::kStatusSecond, wire::kStatusReplyLen);
    }

  private:
    void Put(const uint8_t* b, int n) {
        if (::write(m_Fd, b, static_cast<size_t>(n)) != n) {
            Die("floor write failed");
        }
    }
    int m_Fd = -1;
};

// One host command as the plug-in does it, and the same bytes as the floor moves them.
struct Case {
    const char* name;
    int command;
    uint32_t pending;
    int bytes;    // on the wire, both directions
    int replies;  // replies the plug-in waits for, each held by an adapter's timer
    std::function<void(Floor&)> floor;
};

std::vector<Case> Cases() {
    uint8_t cue[2 + wire::kCueBlockMax] = {wire::kCueCommand, wire::kCueFirst};
    const int cueLen = 2 + static_cast<int>(wire::BuildCueBlock(0, 0, 10, 0, false, true, cue + 2));
    std::vector<uint8_t> cueBytes(cue, cue + cueLen);
    const uint8_t pause = 0x4B;
    const uint8_t system[2] = {wire::kVideoSystem1, wire::kVideoSystem2};
    return {
        {"status sense (33)", 33, 0, 12, 2, [](Floor& f) { f.Status(); }},
        {"poll, nothing pending (10)", 10, 0, 12, 2, [](Floor& f) { f.Status(); }},
        {"poll, one command (10)", 10, 2, 14, 3,
         [pause](Floor& f) {
             f.Status();
             f.ByteByByte(&pause, 1);
         }},
        {"cue (7)", 7, 0, 12 + 2 * cueLen, 2 + cueLen,
         [cueBytes](Floor& f) {
             f.Status();
             f.ByteByByte(cueBytes.data(), static_cast<int>(cueBytes.size()));
         }},
        {"position (25)", 25, 0, 1 + wire::kTimeReplyLen1 + 4, 3,
         [system](Floor& f) {
             f.Block(wire::kTimeRequest, wire::kTimeReplyLen1);
             f.ByteByByte(system, 2);
         }},
    };
}

// Median time of `calls` plug-in calls, connected afresh for the block.
double PluginBlock(const std::string& path, const Case& c, int calls) {
    Host host(path);
    if (host.Connect() != 1) {
        Die("the plug-in could not connect to the deck");
    }
    std::vector<double> t;
    for (int i = -2; i < calls; ++i) {  // two untimed calls settle caches and the deck
        const auto a = Clock::now();
        const int r = host.Call(c.command, c.pending);
        const auto b = Clock::now();
        if (r != 1) {
            Die(std::string("the plug-in's ") + c.name + " gave " + std::to_string(r));
        }
        if (i >= 0) {
            t.push_back(Ms(b - a));
        }
    }
    return Median(t);
}

double FloorBlock(const std::string& path, const Case& c, int calls) {
    Floor f(path);
    std::vector<double> t;
    for (int i = -2; i < calls; ++i) {
        const auto a = Clock::now();
        c.floor(f);
        const auto b = Clock::now();
        if (i >= 0) {
            t.push_back(Ms(b - a));
        }
    }
    return Median(t);
}

std::string Fmt(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
}

// Keeps the calling thread (and threads it starts) on one CPU; false where that is refused.
bool PinTo(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    return sched_setaffinity(0, sizeof set, &set) == 0;
}

void Unpaced(bool quick) {
    // The deck on one CPU and the host on the other, for the plug-in and the floor alike:
    // a round trip then always crosses CPUs, instead of sometimes and at the scheduler's whim.
    cpu_set_t all;
    const bool pinned = sched_getaffinity(0, sizeof all, &all) == 0 && CPU_COUNT(&all) >= 2 &&
                        CPU_ISSET(0, &all) && CPU_ISSET(1, &all) && PinTo(1);
    decksim::PtyServer deck(DeckOptions(0));
    const std::string path = StartDeck(deck);  // its thread takes the CPU pinned just now
    if (pinned) {
        PinTo(0);
    }
    const int rounds = quick ? 2 : 41;
    const int calls = quick ? 5 : 200;
    for (const Case& c : Cases()) {
        std::vector<double> plug, floor, ratio;
        for (int r = 0; r < rounds; ++r) {
            // Alternate which side goes first, so neither always gets the warmer machine.
            double p = 0, f = 0;
            if (r % 2 == 0) {
                p = PluginBlock(path, c, calls);
                f = FloorBlock(path, c, calls);
            } else {
                f = FloorBlock(path, c, calls);
                p = PluginBlock(path, c, calls);
            }
            plug.push_back(p * 1000.0);
            floor.push_back(f * 1000.0);
            ratio.push_back(p / f);
        }
        const std::string s = "pty, unpaced";
        Add(s, std::string(c.name) + " plug-in", "us", plug, "", true);
        Add(s, std::string(c.name) + " floor", "us", floor, "", true);
        const double m = Median(ratio);
        Add(s, std::string(c.name) + " plug-in / floor", "x", ratio, "<= 1.10", m <= 1.10);
    }
    deck.Stop();
    if (pinned) {
        sched_setaffinity(0, sizeof all, &all);
    }
}

void Paced(bool quick) {
    decksim::PtyServer deck(DeckOptions(9600));
    const std::string path = StartDeck(deck);
    const int rounds = quick ? 1 : 5;
    const int calls = quick ? 2 : 10;
    const std::string s = "9600 baud";
    for (const Case& c : Cases()) {
        const double wire = c.bytes * kByteMs;
        std::vector<double> plug, floor;
        for (int r = 0; r < rounds; ++r) {
            if (r % 2 == 0) {
                plug.push_back(PluginBlock(path, c, calls) / wire);
                floor.push_back(FloorBlock(path, c, calls) / wire);
            } else {
                floor.push_back(FloorBlock(path, c, calls) / wire);
                plug.push_back(PluginBlock(path, c, calls) / wire);
            }
        }
        const std::string note = std::to_string(c.bytes) + " bytes, " + Fmt("%.2f ms", wire);
        const double m = Median(plug);
        const bool targeted = c.command != 10 || c.pending != 0;
        Add(s, std::string(c.name) + " plug-in / wire", "x", plug, targeted ? "<= 1.05" : "",
            !targeted || m <= 1.05, note);
        Add(s, std::string(c.name) + " floor / wire", "x", floor, "", true, note);
    }
    // A host polling every frame: 1,000 polls back to back, each timed.
    Host host(path);
    if (host.Connect() != 1) {
        Die("the plug-in could not connect to the paced deck");
    }
    std::vector<double> t;
    const int polls = quick ? 20 : 1000;
    for (int i = 0; i < polls; ++i) {
        const auto a = Clock::now();
        if (host.Call(10, 0) != 1) {
            Die("a paced poll failed");
        }
        t.push_back(Ms(Clock::now() - a));
    }
    const double p99 = Quantile(t, 0.99);
    Figure f{s,
             "poll (10), 99th percentile of " + std::to_string(polls),
             "ms",
             p99,
             Quantile(t, 0.5),
             *std::max_element(t.begin(), t.end()),
             polls,
             "<= 15.5",
             p99 <= 15.5,
             "spread is median..max"};
    g_Figures.push_back(f);
    host.Disconnect();
    deck.Stop();
}

// Through a USB adapter's latency timer (decksim --adapter-latency): each reply the plug-in
// waits for comes up to one timer period late, so the best a call can take is its wire time
// plus one period per reply.
void Adapter(bool quick, int latencyMs) {
    decksim::ServerOptions o = DeckOptions(9600);
    o.adapterLatency = decksim::Millis(latencyMs);
    decksim::PtyServer deck(o);
    const std::string path = StartDeck(deck);
    const int rounds = quick ? 1 : 5;
    const int calls = quick ? 2 : 10;
    const std::string s =
        "9600 baud through a USB adapter, latency timer " + std::to_string(latencyMs) + " ms";
    const bool targeted = latencyMs == 1;  // the default's cost is shown, not judged
    for (const Case& c : Cases()) {
        const double wire = c.bytes * kByteMs;
        const double floor = wire + c.replies * latencyMs;
        std::vector<double> ms, toWire, toFloor;
        for (int r = 0; r < rounds; ++r) {
            ms.push_back(PluginBlock(path, c, calls));
            toWire.push_back(ms.back() / wire);
            toFloor.push_back(ms.back() / floor);
        }
        const std::string note = std::to_string(c.bytes) + " bytes, " + std::to_string(c.replies) +
                                 " replies, floor " + Fmt("%.2f ms", floor);
        Add(s, std::string(c.name) + " per call", "ms", ms, "", true);
        Add(s, std::string(c.name) + " / wire", "x", toWire, "", true);
        const double m = Median(toFloor);
        Add(s, std::string(c.name) + " / adapter floor", "x", toFloor, targeted ? "<= 1.05" : "",
            !targeted || m <= 1.05, note);
    }
    deck.Stop();
}

void Silent(bool quick) {
    decksim::PtyServer deck(DeckOptions(0));
    const std::string path = StartDeck(deck);
    const int runs = quick ? 1 : 7;
    const std::string s = "silent deck";
    std::vector<double> connect, ready;
    for (int i = 0; i < runs; ++i) {
        deck.Control("fault silent");
        Host host(path);
        const auto a = Clock::now();
        const int r = host.Connect();
        connect.push_back(Ms(Clock::now() - a));
        if (r != 0) {
            Die("connect to a silent deck succeeded");
        }
    }
    for (int i = 0; i < runs; ++i) {
        deck.Control("fault none");
        Host host(path);
        if (host.Connect() != 1) {
            Die("connect failed");
        }
        deck.Control("fault silent");
        const auto a = Clock::now();
        const int r = host.Call(30, 0);
        ready.push_back(Ms(Clock::now() - a));
        if (r != 1 || host.Record().bAnswer30 != 0) {
            Die("ready against a silent deck did not report not ready");
        }
    }
    const double c = Median(connect);
    Add(s, "connect (5) fails", "ms", connect, "50 +/- 10%", c >= 45.0 && c <= 55.0);
    const double rd = Median(ready);
    Add(s, "ready (30), three senses", "ms", ready, "<= 198", rd <= 3 * (10 + 50) * 1.10);
    deck.Stop();
}

void WriteJson(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) {
        Die("cannot write " + path);
    }
    std::fprintf(f, "{\"figures\": [\n");
    for (std::size_t i = 0; i < g_Figures.size(); ++i) {
        const Figure& x = g_Figures[i];
        std::fprintf(
            f,
            "  {\"section\": \"%s\", \"name\": \"%s\", \"unit\": \"%s\", \"median\": %.6g, "
            "\"lo\": %.6g, \"hi\": %.6g, \"runs\": %d, \"target\": \"%s\", \"pass\": %s, "
            "\"note\": \"%s\"}%s\n",
            x.section.c_str(), x.name.c_str(), x.unit.c_str(), x.median, x.lo, x.hi, x.runs,
            x.target.c_str(), x.pass ? "true" : "false", x.note.c_str(),
            i + 1 < g_Figures.size() ? "," : "");
    }
    std::fprintf(f, "]}\n");
    std::fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    bool quick = false;
    std::string json = "line.json";
    std::string only = "unpaced,paced,adapter,silent";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            quick = true;
        } else if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--json PATH] [--only PARTS]\n", argv[0]);
            return 2;
        }
    }
    const auto wanted = [&only](const char* part) {
        return ("," + only + ",").find("," + std::string(part) + ",") != std::string::npos;
    };
    if (wanted("unpaced")) {
        Unpaced(quick);
    }
    if (wanted("paced")) {
        Paced(quick);
    }
    if (wanted("adapter")) {
        Adapter(quick, 16);
        Adapter(quick, 1);
    }
    if (wanted("silent")) {
        Silent(quick);
    }
    WriteJson(json);
    return 0;
}
