// The virtual deck on a pseudo-terminal, served from its own thread so that tests and the
// host tool can run it in-process.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/decksim/control.h"
#include "tools/decksim/deck_model.h"
#include "tools/decksim/responder.h"

namespace decksim {

struct ServerOptions {
    double fps = 25.0;  // exact: 30000/1001, not 29.97 (see ExactFps)
    bool dropFrame = false;
    int videoSystem = 1;
    std::string link;     // symlink kept pointing at the slave, across hang-ups too
    std::string control;  // UNIX socket for the control channel; none when empty
    int baud = 0;         // pace replies at 10 bits a byte; 0 sends them at once
    // A USB adapter's latency timer between deck and host: reply bytes are held until this
    // long after the first one held, or until 62 are held. Zero: no adapter.
    Millis adapterLatency{0};
    bool trace = false;
    std::function<void(const std::string&)> traceSink;  // one line, no newline; stdout if unset
    DeckTiming timing;
    uint32_t seed = 0x5500;  // for garbage and random faults
    int64_t tapeFrames = 0;  // the tape's length; 0: the counter's whole day
    // Control lines go here first (the picture's own commands); an empty reply hands the
    // line on to the deck. Called from any thread.
    std::function<std::string(const std::string&)> controlHook;
};

// What the deck's picture shows at a moment: the tape's frame, and whether it is a clean
// picture of it (the servo locked on a threaded tape, within its recorded length).
struct Picture {
    int64_t frames = 0;
    int64_t label = 0;  // the time the tape carries there, as the deck reports it
    bool clean = false;
};

// One trace line: "12.345678 in D7 out 00 00 00 30 00 status-1".
std::string TraceLine(double seconds, uint8_t in, const Reply& reply);

class PtyServer {
  public:
    explicit PtyServer(ServerOptions options);
    ~PtyServer();
    PtyServer(const PtyServer&) = delete;
    PtyServer& operator=(const PtyServer&) = delete;

    // Opens the pty (and the link and control socket) and starts serving on a thread.
    bool Start(std::string* error);
    // Ends the thread, closes everything and removes the link and socket. Idempotent.
    void Stop();

    // The current slave device; a hang-up brings the line back on a new one.
    std::string SlavePath() const;
    // The path a host should open: the link when there is one, else the slave.
    std::string DevicePath() const;

    // Runs one control-channel command line and returns its reply line.
    std::string Control(const std::string& line);
    void SetFault(const Fault& fault);
    void Hangup(Millis away);

    // The picture's hooks: what it shows at `t` (which may be a little past), and the
    // reference its frames run on, to which play then starts in step.
    Picture PictureAt(Clock::time_point t);
    void SetVideoReference(Clock::time_point origin);

    bool LineUp() const { return m_bLineUp.load(); }
    // Counts the times the line came up; a host can wait for it to change after a hang-up.
    unsigned LineGeneration() const { return m_nGeneration.load(); }
    bool QuitRequested() const { return m_bQuit.load(); }

  private:
    struct Client {
        int fd;
        std::string pending;
    };

    void Run();
    bool KeepLine();
    void ServeClients(const std::vector<pollfd>& fds, int listenIdx, size_t firstClient);
    bool OpenLine(std::string* error);
    void CloseLine();
    bool OpenControl(std::string* error);
    void ServeInput();
    void ServeClient(Client& client, bool* closed);
    // Paced, no byte starts before `notBefore`, and each reaches the host when its 10 bits end.
    void Send(const std::vector<uint8_t>& bytes, Clock::time_point notBefore = {});
    void TraceInput(Clock::time_point now, const uint8_t* in, ssize_t n,
                    const std::vector<Reply>& replies);
    Clock::duration ByteTime() const;  // 10 bits at the paced rate
    // A reply byte reaches the host side at `at`: through the adapter when there is one.
    void Deliver(uint8_t byte, Clock::time_point at);
    void FlushAdapter();
    // When the serving thread must next wake: a reopen or the adapter's timer; none if max.
    Clock::time_point NextDeadline() const;
    bool WaitForEvents(std::vector<pollfd>& fds) const;  // false on EINTR
    void Wake();
    void EmitTrace(const std::string& line);

    ServerOptions m_Options;
    mutable std::mutex m_Mutex;  // guards the deck, responder, controller and paths
    DeckModel m_Deck;
    Responder m_Responder;
    Controller m_Controller;

    Clock::time_point m_Started;
    std::string m_SlavePath;
    bool m_bLinkMade = false;
    int m_nMaster = -1;
    int m_nSlaveHold = -1;  // our own slave handle keeps the master from seeing hang-ups
    int m_nWake = -1;
    int m_nListen = -1;
    std::vector<Client> m_Clients;
    Clock::time_point m_TxFree;     // when the paced line can take its next byte
    Clock::time_point m_RxFree;     // when the last byte from the host has fully come in
    std::vector<uint8_t> m_Held;    // reply bytes the adapter holds
    Clock::time_point m_HeldSince;  // when the first of them came in

    bool m_bHangupPending = false;
    Millis m_HangupFor{0};
    bool m_bReopenPending = false;
    Clock::time_point m_ReopenAt;

    std::thread m_Thread;
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bQuit{false};
    std::atomic<bool> m_bLineUp{false};
    std::atomic<unsigned> m_nGeneration{0};
};

}  // namespace decksim
