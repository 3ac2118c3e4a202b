#include "tools/deckctl/demo.h"

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/decksim/pty_server.h"
#include "tools/hostkit/host_records.h"
#include "tools/hostkit/session.h"

namespace deckctl {

namespace {

constexpr int kPort = 1;

using Millis = std::chrono::milliseconds;
using namespace hostkit;

// Collects the deck's trace lines from its thread for printing after each host call.
class WireTrace {
  public:
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Lines.push_back(line);
        m_All.push_back(line);
    }
    // The deck writes its trace just after its reply, so give it a moment to catch up.
    std::vector<std::string> Take() {
        std::size_t seen = ~std::size_t{0};
        for (int i = 0; i < 20; ++i) {
            std::this_thread::sleep_for(Millis(2));
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Lines.size() == seen) {
                break;
            }
            seen = m_Lines.size();
        }
        std::lock_guard<std::mutex> lock(m_Mutex);
        std::vector<std::string> out;
        out.swap(m_Lines);
        return out;
    }
    bool Saw(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const std::string& l : m_All) {
            if (l.size() >= name.size() &&
                l.compare(l.size() - name.size(), name.size(), name) == 0) {
                return true;
            }
        }
        return false;
    }
    void Forget() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_All.clear();
    }

  private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
    std::vector<std::string> m_All;
};

class Demo {
  public:
    Demo(const Module& module, std::ostream& out, bool json, decksim::PtyServer& deck,
         WireTrace& trace)
        : m_Out(out),
          m_bJson(json),
          m_Deck(deck),
          m_Trace(trace),
          m_Session(module, m_Rec, out, json) {
        m_Session.afterCall = [this](std::ostream& o) {
            for (const std::string& line : m_Trace.Take()) {
                if (m_bJson) {
                    o << DumpJson(Json{{"wire", line}}) << '\n';
                } else {
                    o << "        wire " << line << '\n';
                }
            }
        };
    }

    void Heading(const std::string& text) {
        if (m_bJson) {
            m_Out << DumpJson(Json{{"step", text}}) << '\n';
        } else {
            m_Out << "\n== " << text << '\n';
        }
    }

    void Note(const std::string& text) {
        if (!m_bJson) {
            m_Out << "   " << text << '\n';
        }
    }

    void Set(const char* field, int64_t value) { m_Rec.Set(field, value); }
    int64_t Get(const char* field) const { return m_Rec.Get(field); }

    // One host call whose result, and optionally one field, must come out as given.
    Outcome Expect(int command, int result, const char* field = nullptr, int64_t value = 0) {
        Outcome o = m_Session.Call(command);
        Check(o.result == result, CommandName(command) + " should give " + std::to_string(result) +
                                      ", gave " + std::to_string(o.result));
        if (field != nullptr) {
            Check(m_Rec.Get(field) == value, std::string(field) + " should be " +
                                                 std::to_string(value) + ", is " +
                                                 std::to_string(m_Rec.Get(field)));
        }
        Check(o.guardsIntact, "the module wrote past the end of a record");
        return o;
    }

    // Polls as a host does on its timer, until `done` or the deadline.
    bool PollUntil(const std::function<bool()>& done, Millis limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            const Outcome o = m_Session.Call(10);
            Check(o.result == 1, "poll should give 1, gave " + std::to_string(o.result));
            if (done()) {
                return true;
            }
            std::this_thread::sleep_for(Millis(40));
        }
        Check(false, "the poll did not finish in time");
        return false;
    }

    // Asks the deck (command 29) until its cue is over, as a host waits before reading time.
    void WaitCue() {
        for (int i = 0; i < 60; ++i) {
            std::this_thread::sleep_for(Millis(50));
            if (m_Session.Quiet(29).result == 1 && m_Rec.Get("bAnswer29") == 1) {
                m_Trace.Take();  // the waiting itself is not worth showing
                return;
            }
        }
        Check(false, "the cue did not end in time");
    }

    void Check(bool ok, const std::string& what) {
        ++m_nChecks;
        if (!ok) {
            ++m_nFailures;
            if (m_bJson) {
                m_Out << DumpJson(Json{{"unexpected", what}}) << '\n';
            } else {
                m_Out << "   !! unexpected: " << what << '\n';
            }
        }
    }

    int Finish() {
        if (m_bJson) {
            m_Out << DumpJson(Json{{"checks", m_nChecks}, {"failures", m_nFailures}}) << '\n';
        } else if (m_nFailures == 0) {
            m_Out << "\ndemo: all " << m_nChecks << " checks gave the expected result\n";
        } else {
            m_Out << "\ndemo: " << m_nFailures << " of " << m_nChecks << " checks went wrong\n";
        }
        return m_nFailures == 0 && m_Session.Healthy() ? 0 : 1;
    }

    decksim::PtyServer& Deck() { return m_Deck; }
    WireTrace& Trace() { return m_Trace; }

  private:
    std::ostream& m_Out;
    bool m_bJson;
    decksim::PtyServer& m_Deck;
    WireTrace& m_Trace;
    HostRecords m_Rec;
    Session m_Session;
    int m_nChecks = 0;
    int m_nFailures = 0;
};

void ConnectAndPlay(Demo& d) {
    d.Heading("identify: the module names itself; command 1 answers 0 by design");
    d.Expect(1, 0, "nIdentFlag", 1);

    d.Heading("connect on port 1; the plug-in senses the deck's status as it opens the line");
    d.Set("nPort", kPort);
    d.Set("nState", 6);
    d.Expect(5, 1, "nState", 0);

    d.Heading("status questions on a deck stopped with its tape threaded");
    d.Expect(30, 1, "bAnswer30", 1);
    d.Expect(33, 1);
    d.Expect(16, 1, "nState", 3);
    d.Expect(17, 1);
    d.Expect(18, 1, "bAnswer18", 0);
    d.Expect(29, 1, "bAnswer29", 1);

    d.Heading("play; once the servo locks the deck reports playing");
    d.Expect(9, 1, "nState", 5);
    std::this_thread::sleep_for(Millis(200));
    d.Expect(18, 1, "bAnswer18", 1);
    d.Expect(24, 1, "nState", 5);
}

void PendingFlags(Demo& d) {
    d.Heading("the poll works off pending flags 1, 2 and 4 (stop until stopped, pause, cue)");
    d.Set("nPosition", int64_t{30} * 25);
    d.Set("dwPending", 7);
    d.PollUntil([&] { return d.Get("dwPending") == 0; }, Millis(3000));
    d.Check(d.Trace().Saw("stop") && d.Trace().Saw("pause"),
            "the deck should have been told to stop and to pause");
    d.Note("nothing pending: the next poll reports idle");
    d.Expect(10, 1, "nState", 1);
    d.Expect(19, 1, "nState", 1);

    d.Heading("pending flag 8 (standby) repeats until the deck reports standby");
    d.Trace().Forget();
    d.Set("dwPending", 8);
    d.PollUntil([&] { return d.Get("dwPending") == 0; }, Millis(3000));
    d.Check(d.Trace().Saw("standby"), "the deck should have been told to go to standby");
    d.Expect(33, 0);
    d.Note("a deck in standby cannot cue: command 7 refuses");
    d.Set("nPosition", int64_t{60} * 25);
    d.Expect(7, 0);
}

void Cues(Demo& d) {
    d.Heading("cue to 00:01:00:00 and read the position");
    d.Expect(9, 1, "nState", 5);  // threads the tape again
    d.Expect(7, 1, "nState", 2);
    d.WaitCue();
    d.Expect(25, 1, "nFrames", int64_t{60} * 25);

    d.Heading("cue to 00:00:10:00 less an offset of 00:00:02:00");
    d.Set("nPosition", int64_t{10} * 25);
    d.Set("nCueOffset", int64_t{2} * 25);
    d.Expect(8, 1, "nState", 4);
    d.WaitCue();
    d.Expect(25, 1, "nFrames", int64_t{8} * 25);

    d.Heading("a deck on video system 4 takes and reports times below zero");
    d.Check(d.Deck().Control("system 4") == "ok", "the virtual deck should switch to system 4");
    d.Set("nVideoFormat", 1);
    d.Expect(44, 1, "nVideoFormat", 0);
    d.Set("nPosition", 0);
    d.Expect(8, 1, "nState", 4);  // 0 less 2 seconds: the signed cue
    d.WaitCue();
    d.Expect(25, 1, "nFrames", int64_t{-2} * 25);
}

void SpeedsAndDisconnect(Demo& d) {
    d.Heading("speed and variable speed");
    d.Trace().Forget();
    d.Set("nSpeed", -2);
    d.Expect(47, 1);
    d.Check(d.Trace().Saw("shuttle-rev"), "speed -2 should shuttle in reverse");
    d.Set("nSpeed", 3);
    d.Expect(53, 1);
    d.Check(d.Trace().Saw("var-digit"), "varspeed 3 should send its speed digit");

    d.Heading("disconnect");
    d.Expect(6, 1, "pDevice", 0);
    d.Note("after disconnecting the record is no longer connected: commands refuse");
    d.Expect(25, 0);
}

void Script(Demo& d) {
    ConnectAndPlay(d);
    PendingFlags(d);
    Cues(d);
    SpeedsAndDisconnect(d);
}

}  // namespace

int RunDemo(const hostkit::Module& module, std::ostream& out, bool json) {
    WireTrace trace;
    decksim::ServerOptions options;
    options.trace = true;
    options.traceSink = [&trace](const std::string& line) { trace.Add(line); };
    decksim::PtyServer deck(options);
    std::string error;
    if (!deck.Start(&error)) {
        std::fprintf(stderr, "deckctl: cannot start the virtual deck: %s\n", error.c_str());
        return 1;
    }
    const std::string var = "TAPEDECK_COM" + std::to_string(kPort);
    setenv(var.c_str(), deck.SlavePath().c_str(), 1);
    if (!json) {
        out << "virtual deck on " << deck.SlavePath() << " (" << var << "), module "
            << module.Path() << "\n"
            << "each host command: number, name -> result, then the record fields it changed;\n"
            << "the lines below it are the bytes on the wire: time, byte in, bytes out, meaning\n";
    }
    Demo demo(module, out, json, deck, trace);
    Script(demo);
    const int status = demo.Finish();
    deck.Stop();
    return status;
}

}  // namespace deckctl
