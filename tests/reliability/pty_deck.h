// A virtual deck served in-process on a pty, reachable by the module as serial port N, with its
// trace kept for the checks on what went over the line.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "deck/serial/serial.h"
#include "tools/decksim/pty_server.h"

namespace reliability {

// The platform's serial layer with patience: while patient, every read waits up to `patientMs`
// however short a time-out the deck object set. For the rows where the 50 ms is not what is
// tested: a deck thread that a loaded machine holds off the CPU is then only slow, and a frame
// that breaks or a count that is off still shows. It stands in for the platform's layer from
// its construction to its destruction, for deck objects made meanwhile; set patience off for
// a call whose own time-out is the point, on again after.
class PatientPort : public serial::Port {
  public:
    explicit PatientPort(int patientMs = 2000);
    ~PatientPort() override;
    PatientPort(const PatientPort&) = delete;
    PatientPort& operator=(const PatientPort&) = delete;

    void Patient(bool on) { m_bPatient = on; }

    int Open(int port) override;
    int SetLine(int port, int speed, int mode) override;
    int Flush(int port, int direction) override;
    int SetTimeout(int port, int ms, int reserved) override;
    int Write(int port, const uint8_t* data, int count) override;
    int Read(int port, uint8_t* data, int count) override;
    int Close(int port) override;
    int AroundClose(int port, int a, int b) override;

  private:
    struct Given {
        int asked = 0;    // what the deck object set
        int applied = 0;  // what the platform's layer was given
    };
    int Wanted(const Given& g) const;

    int m_nPatientMs;
    std::atomic<bool> m_bPatient{true};
    serial::Port* m_pBefore;
    std::mutex m_Mutex;
    std::map<int, Given> m_Given;
};

class PtyDeck {
  public:
    // Serves a deck on a pty linked from a fresh path and points TAPEDECK_COM<port> at it.
    // Call from one thread before the host threads start: setenv is not thread-safe.
    explicit PtyDeck(int port, int videoSystem = 1, decksim::DeckTiming timing = {},
                     bool trace = true);
    ~PtyDeck();

    decksim::PtyServer& server() { return *m_Server; }
    int port() const { return m_nPort; }

    // Input bytes the deck received, in order, and the trace lines that carried them.
    std::vector<uint8_t> Received() const;
    std::vector<std::string> Trace() const;
    void ClearTrace();
    // Runs `action` (on the deck's own thread) when the next byte comes in, once.
    void OnNextByte(std::function<void()> action);
    // Waits until the deck has said nothing for `quiet`, so late replies have all gone out.
    void WaitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit);
    // Waits for the line to come back after a hang-up; false after `limit`.
    bool WaitLineUp(unsigned afterGeneration, std::chrono::milliseconds limit);

  private:
    void Sink(const std::string& line);

    int m_nPort;
    std::string m_Dir;
    std::unique_ptr<decksim::PtyServer> m_Server;
    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Trace;
    std::vector<uint8_t> m_Received;
    std::function<void()> m_OnByte;
    std::chrono::steady_clock::time_point m_Last;
};

// Splits the bytes a deck received into the host's frames. Returns false, with the offset of
// the first byte that starts no frame or breaks one, when the stream is not whole frames.
// Every byte of a frame awaits the deck's reply, so a host that gave up on one (a time-out)
// ends its frame there: with `cuts`, a frame that stops short and is followed by the start
// of another is taken, and the offset of the byte after it noted.
struct FrameCount {
    int status1 = 0, status2 = 0, videoSystem = 0, time = 0, cue = 0, varSpeed = 0, single = 0;
};
bool SplitFrames(const std::vector<uint8_t>& bytes, FrameCount* count, std::size_t* badAt,
                 std::vector<std::size_t>* cuts = nullptr);

// Open file descriptors of this process.
int OpenFdCount();
// Bytes of heap in use: the sanitizer allocator's figure when one is linked, else mallinfo2.
std::size_t HeapInUse();

}  // namespace reliability
