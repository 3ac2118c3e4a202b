#include "tools/capture/module_deck.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <thread>

#include "tools/hostkit/host_commands.h"
#include "tools/hostkit/port_diagnosis.h"
#include "tools/hostkit/ports.h"

namespace capture {

namespace {

using hostkit::kLineTimeout;
using hostkit::command::kConnect;
using hostkit::command::kCue;
using hostkit::command::kCueDone;
using hostkit::command::kCueOffset;
using hostkit::command::kDisconnect;
using hostkit::command::kPlay;
using hostkit::command::kPlaying;
using hostkit::command::kPoll;
using hostkit::command::kPosition;
constexpr uint32_t kPendingStop = hostkit::pending::kStop;
// A read that took longer than the quickest by more than this may have gone out later than it
// was stamped (the host was busy): it is answered, but not trusted to place the tape.
constexpr auto kSureWithin = std::chrono::milliseconds(10);
constexpr auto kStopLimit = std::chrono::seconds(5);
constexpr auto kPollEvery = std::chrono::milliseconds(20);
constexpr int kConnectTries = 3;
constexpr auto kConnectPause = std::chrono::milliseconds(200);

// Who holds a lock on the file with this device and inode, from /proc/locks: "name (pid N)".
std::string LockHolder(const struct stat& st) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream in(line);
        std::string n, kind, mode, access, where;
        long pid = 0;
        in >> n >> kind >> mode >> access >> pid >> where;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (kind == "FLOCK" &&
            std::sscanf(where.c_str(), "%x:%x:%lu", &major, &minor, &inode) == 3 &&
            inode == st.st_ino && makedev(major, minor) == st.st_dev) {
            std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
            std::string name;
            std::getline(comm, name);
            return (name.empty() ? "a process" : name) + " (pid " + std::to_string(pid) + ")";
        }
    }
    return "another process";
}

}  // namespace

ModuleDeck::ModuleDeck(const hostkit::Module& module, int port, const hostkit::RateInfo& rate)
    : m_Module(module), m_nPort(port), m_Rate(rate), m_Device(hostkit::DevicePathForPort(port)) {
    m_Records.Set("nPort", port);
}

std::string ModuleDeck::Name() const {
    return "port " + std::to_string(m_nPort) + " (" + m_Device + ")";
}

int ModuleDeck::Call(int command) {
    // A reply that came after the module gave up on it would be read as the next call's
    // answer: one more time-out lets it land before that call's flush.
    if (m_bLastFailed) {
        std::this_thread::sleep_until(m_LastEnd + kLineTimeout);
    }
    m_Records.ClearData();
    // The module counts frames at the record's video format, which command 44 rewrites.
    m_Records.Set("nVideoFormat", hostkit::ModuleFormat(m_Rate.base));
    const int result = m_Module.Call(command, m_Records);
    m_LastEnd = Clock::now();
    m_bLastFailed = result == 0;
    return result;
}

bool ModuleDeck::Lock(std::string* error) {
    if (m_nLock >= 0) {
        return true;
    }
    // Read-only and non-blocking: nothing reaches the deck, and no carrier is waited for.
    m_nLock = open(m_Device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_nLock < 0) {
        return true;  // the connect says why the port does not open
    }
    if (flock(m_nLock, LOCK_EX | LOCK_NB) != 0) {
        struct stat st {};
        fstat(m_nLock, &st);
        *error = "the deck on " + Name() + " is held for a capture by " + LockHolder(st);
        close(m_nLock);
        m_nLock = -1;
        return false;
    }
    return true;
}

bool ModuleDeck::Connect(std::string* error) {
    if (m_bConnected) {
        return true;
    }
    if (!Lock(error)) {
        return false;
    }
    // A deck busy with something else, or a line that lost a byte, may miss one sense.
    bool linked = false;
    for (int attempt = 0; attempt < kConnectTries && !linked; ++attempt) {
        if (attempt > 0) {
            std::this_thread::sleep_for(kConnectPause);
        }
        linked = Call(kConnect) == 1;
    }
    if (!linked) {
        *error =
            "cannot connect to the deck on " + Name() + ": " + hostkit::DiagnoseConnect(m_Device);
        return false;
    }
    m_bConnected = true;
    return true;
}

void ModuleDeck::Disconnect() {
    if (m_bConnected) {
        Call(kDisconnect);
        m_bConnected = false;
    }
}

ModuleDeck::~ModuleDeck() {
    Disconnect();
    if (m_nLock >= 0) {
        close(m_nLock);
    }
}

bool ModuleDeck::Cue(int64_t frames, std::string* error) {
    const hostkit::TimeBase& base = m_Rate.base;
    const std::string target = hostkit::FormatTimecode(frames, base);
    int64_t count = 0;
    if (!hostkit::ModuleCountOfLabels(hostkit::FramesToLabels(frames, base), base, &count)) {
        *error = "the module cannot send " + target + " at " + m_Rate.name;
        return false;
    }
    int command = kCue;
    if (count < 0) {
        command = kCueOffset;  // below zero only as an offset back from zero
        m_Records.Set("nPosition", 0);
        m_Records.Set("nCueOffset", -count);
    } else {
        m_Records.Set("nPosition", count);
    }
    // ClearData in Call keeps the context record, where the position lives.
    if (Call(command) != 1) {
        *error = "the deck did not take the cue to " + target +
                 " (in standby, busy with a cue, or not answering)";
        return false;
    }
    return true;
}

std::optional<bool> ModuleDeck::CueDone() {
    if (Call(kCueDone) != 1) {
        return std::nullopt;
    }
    return m_Records.Get("bAnswer29") == 1;
}

bool ModuleDeck::Play(std::string* error) {
    m_Records.Set("dwPending", 0);
    if (Call(kPlay) != 1) {
        *error = "the deck did not acknowledge play";
        return false;
    }
    return true;
}

bool ModuleDeck::Stop(std::string* error) {
    // Stop is the poll's work: it sends 3F until the deck reports stopped.
    m_Records.Set("dwPending", kPendingStop);
    const auto end = Clock::now() + kStopLimit;
    while (Clock::now() < end) {
        Call(kPoll);
        if ((m_Records.Get("dwPending") & kPendingStop) == 0) {
            return true;
        }
        std::this_thread::sleep_for(kPollEvery);
    }
    m_Records.Set("dwPending", 0);
    *error = "the deck did not report stopped within 5 s";
    return false;
}

std::optional<bool> ModuleDeck::Playing() {
    if (Call(kPlaying) != 1) {
        return std::nullopt;
    }
    return m_Records.Get("bAnswer18") == 1;
}

TimeRead ModuleDeck::ReadTime() {
    TimeRead r;
    r.taken = Clock::now();
    const int result = Call(kPosition);
    r.done = m_LastEnd;
    r.answered = result == 1;
    if (r.answered) {
        const auto took = r.done - r.taken;
        m_Quickest = std::min(m_Quickest, took);
        r.sure = took <= m_Quickest + kSureWithin;
        const hostkit::TimeBase& base = m_Rate.base;
        r.frames = hostkit::LabelsToFrames(
            hostkit::LabelsOfModuleCount(m_Records.Get("nFrames"), base), base);
    }
    return r;
}

bool ModuleDeck::Recover(std::chrono::milliseconds limit, const std::atomic<bool>* cancel) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end && (cancel == nullptr || !cancel->load())) {
        Disconnect();
        // The line may come back as another device (a new pty, a re-plugged adapter).
        if (m_nLock >= 0) {
            close(m_nLock);
            m_nLock = -1;
        }
        std::string ignored;
        if (Connect(&ignored)) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    return false;
}

}  // namespace capture
