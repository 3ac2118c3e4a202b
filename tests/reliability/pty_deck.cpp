#include "pty_deck.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define RELIABILITY_SANITIZER_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define RELIABILITY_SANITIZER_HEAP 1
#endif
#endif
#ifdef RELIABILITY_SANITIZER_HEAP
// The sanitizer runtimes replace malloc, so mallinfo2 would not see their heap.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes(void);
#endif

namespace reliability {

PatientPort::PatientPort(int patientMs)
    : m_nPatientMs(patientMs), m_pBefore(serial::SetActivePort(this)) {}

PatientPort::~PatientPort() {
    serial::SetActivePort(m_pBefore);
}

int PatientPort::Wanted(const Given& g) const {
    return m_bPatient ? std::max(g.asked, m_nPatientMs) : g.asked;
}

int PatientPort::Open(int port) {
    return serial::PlatformPort().Open(port);
}
int PatientPort::SetLine(int port, int speed, int mode) {
    return serial::PlatformPort().SetLine(port, speed, mode);
}
int PatientPort::Flush(int port, int direction) {
    return serial::PlatformPort().Flush(port, direction);
}
int PatientPort::SetTimeout(int port, int ms, int reserved) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    Given& g = m_Given[port];
    g.asked = ms;
    g.applied = Wanted(g);
    return serial::PlatformPort().SetTimeout(port, g.applied, reserved);
}
int PatientPort::Write(int port, const uint8_t* data, int count) {
    return serial::PlatformPort().Write(port, data, count);
}
int PatientPort::Read(int port, uint8_t* data, int count) {
    {
        // Patience switched since the port's time-out was set: the read waits as it says now.
        std::lock_guard<std::mutex> lock(m_Mutex);
        const auto it = m_Given.find(port);
        if (it != m_Given.end() && it->second.applied != Wanted(it->second)) {
            it->second.applied = Wanted(it->second);
            serial::PlatformPort().SetTimeout(port, it->second.applied, 0);
        }
    }
    return serial::PlatformPort().Read(port, data, count);
}
int PatientPort::Close(int port) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Given.erase(port);
    }
    return serial::PlatformPort().Close(port);
}
int PatientPort::AroundClose(int port, int a, int b) {
    return serial::PlatformPort().AroundClose(port, a, b);
}

PtyDeck::PtyDeck(int port, int videoSystem, decksim::DeckTiming timing, bool trace)
    : m_nPort(port) {
    char dir[] = "/tmp/tapedeck-rel-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_Dir = dir;
    decksim::ServerOptions opt;
    opt.videoSystem = videoSystem;
    opt.timing = timing;
    opt.link = m_Dir + "/deck";  // stays put across hang-ups, unlike the slave path
    opt.trace = trace;
    opt.traceSink = [this](const std::string& line) { Sink(line); };
    opt.seed = 0x5500u + static_cast<uint32_t>(port);
    m_Server = std::make_unique<decksim::PtyServer>(opt);
    std::string err;
    if (!m_Server->Start(&err)) {
        throw std::runtime_error("decksim: " + err);
    }
    const std::string var = "TAPEDECK_COM" + std::to_string(port);
    setenv(var.c_str(), opt.link.c_str(), 1);
}

PtyDeck::~PtyDeck() {
    m_Server->Stop();
    const std::string var = "TAPEDECK_COM" + std::to_string(m_nPort);
    unsetenv(var.c_str());
    rmdir(m_Dir.c_str());
}

void PtyDeck::Sink(const std::string& line) {
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Last = std::chrono::steady_clock::now();
        m_Trace.push_back(line);
        const std::size_t at = line.find(" in ");
        if (at != std::string::npos) {
            m_Received.push_back(
                static_cast<uint8_t>(std::strtoul(line.substr(at + 4, 2).c_str(), nullptr, 16)));
            action.swap(m_OnByte);
        }
    }
    if (action) {
        action();
    }
}

std::vector<uint8_t> PtyDeck::Received() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Received;
}

std::vector<std::string> PtyDeck::Trace() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Trace;
}

void PtyDeck::ClearTrace() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Trace.clear();
    m_Received.clear();
}

void PtyDeck::OnNextByte(std::function<void()> action) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_OnByte = std::move(action);
}

void PtyDeck::WaitQuiet(std::chrono::milliseconds quiet, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (std::chrono::steady_clock::now() - m_Last >= quiet) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

bool PtyDeck::WaitLineUp(unsigned afterGeneration, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (m_Server->LineUp() && m_Server->LineGeneration() != afterGeneration) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

namespace {

bool IsDigit(uint8_t x) {
    return x >= 0x30 && x <= 0x39;
}

// The length of the frame that starts at `i`, counted as it goes; 0 when no frame starts
// there. `whole` says whether the frame ran to its end or stopped short at `n`.
std::size_t FrameAt(const std::vector<uint8_t>& b, std::size_t i, std::size_t n, FrameCount* count,
                    bool* whole) {
    const uint8_t x = b[i];
    // Each byte after the first must be the frame's next, else the frame ended before it.
    std::size_t at = i + 1;
    const auto next = [&](bool ok) {
        if (at < n && ok) {
            ++at;
            return true;
        }
        return false;
    };
    *whole = true;
    if (x == 0xD7) {
        // The two status requests of one sense go out under one lock, back to back.
        ++count->status1;
        *whole = next(b[std::min(at, n - 1)] == 0xB0);
        count->status2 += *whole ? 1 : 0;
    } else if (x == 0xDE) {
        ++count->videoSystem;
        *whole = next(b[std::min(at, n - 1)] == 0xC1);
    } else if (x == 0xA0) {
        ++count->time;
    } else if (x == 0xB5 || x == 0xB6) {
        ++count->varSpeed;
        const uint8_t d = b[std::min(at, n - 1)];
        *whole = next(d >= 0x30 && d <= 0x38);
    } else if (x == 0x3A || x == 0x3F || x == 0x4B || x == 0x2A || x == 0x3D || x == 0x3E ||
               x == 0x4D || x == 0x4E) {
        ++count->single;
    } else if (x == 0xDF) {
        // DF 93 d [sign] d d d d d d d 40
        ++count->cue;
        const auto peek = [&] { return at < n ? b[at] : uint8_t{0}; };
        *whole = next(peek() == 0x93) && next(IsDigit(peek()));
        if (*whole && (peek() == 0xA1 || peek() == 0xA2)) {
            next(true);
        }
        for (int d = 0; *whole && d < 7; ++d) {
            *whole = next(IsDigit(peek()));
        }
        *whole = *whole && next(peek() == 0x40);
    } else {
        return 0;
    }
    return at - i;
}

}  // namespace

bool SplitFrames(const std::vector<uint8_t>& b, FrameCount* count, std::size_t* badAt,
                 std::vector<std::size_t>* cuts) {
    const std::size_t n = b.size();
    std::size_t i = 0;
    while (i < n) {
        bool whole = true;
        const std::size_t length = FrameAt(b, i, n, count, &whole);
        if (length == 0 || (!whole && cuts == nullptr)) {
            *badAt = i;
            return false;
        }
        i += length;
        if (!whole) {
            cuts->push_back(i);  // a broken frame unless the next byte starts one
            FrameCount ignored;
            bool ignoredWhole = true;
            if (i < n && FrameAt(b, i, n, &ignored, &ignoredWhole) == 0) {
                *badAt = i;
                return false;
            }
        }
    }
    return true;
}

int OpenFdCount() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) {
        return -1;
    }
    int n = 0;
    while (readdir(d) != nullptr) {
        ++n;
    }
    closedir(d);
    return n - 3;  // ".", ".." and the directory's own descriptor
}

std::size_t HeapInUse() {
#ifdef RELIABILITY_SANITIZER_HEAP
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

}  // namespace reliability
