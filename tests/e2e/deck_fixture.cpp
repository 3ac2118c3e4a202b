#include "tests/e2e/deck_fixture.h"

#include <dirent.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

namespace e2e {

namespace {

// The module under test: $E2E_MODULE (the unprivileged run uses a copy), else the build's.
std::string ModulePath() {
    const char* env = std::getenv("E2E_MODULE");
    return env != nullptr && env[0] != '\0' ? env : TAPEDECK_MODULE;
}

}  // namespace

void DeckTest::SetUp() {
    std::string error;
    ASSERT_TRUE(m_Module.Load(ModulePath(), &error)) << error;
    m_Session = std::make_unique<hostkit::Session>(m_Module, m_Rec, m_Sink, false);
    // A value no command writes: a command that should have written nFrames and did not
    // shows, where a zeroed block would pass for a time read of 00:00:00:00.
    m_Session->beforeCall = [](hostkit::HostRecords& rec) { rec.Set("nFrames", kUnwritten); };
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && tmp[0] ? tmp : "/tmp") + "/e2e.XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr) << pattern;
    m_Dir = pattern;
    m_Link = m_Dir + "/deck";
    m_Rec.Set("nPort", kPort);
    m_Rec.Set("nVideoFormat", 1);
}

void DeckTest::TearDown() {
    if (m_Session && m_Rec.Get("pDevice") != 0) {
        Call(6);
    }
    if (m_Deck) {
        m_Deck->Stop();
    }
    unlink(m_Link.c_str());
    rmdir(m_Dir.c_str());
}

void DeckTest::StartDeck(DeckSetup setup) {
    decksim::ServerOptions o;
    o.fps = setup.fps;
    o.dropFrame = setup.dropFrame;
    o.videoSystem = setup.videoSystem;
    // A link that follows the line across hang-ups, as a udev name would.
    o.link = m_Link;
    o.trace = true;
    o.traceSink = [this](const std::string& line) {
        std::lock_guard<std::mutex> lock(m_TraceMutex);
        m_Trace.push_back(line);
        m_LastTrace = std::chrono::steady_clock::now();
    };
    // Quicker than a real transport, so the suite stays short; the order of events is the same.
    o.timing.settle = Millis(60);
    o.timing.thread = Millis(150);
    o.timing.cueMax = Millis(400);
    m_Deck = std::make_unique<decksim::PtyServer>(o);
    std::string error;
    ASSERT_TRUE(m_Deck->Start(&error)) << error;
    ASSERT_EQ(setenv(("TAPEDECK_COM" + std::to_string(kPort)).c_str(), m_Link.c_str(), 1), 0);
}

// A connect is an exchange under the line's 50 ms time-out, and a loaded machine can hold the
// deck's thread past it, as a busy deck can be late: tried again, as a host does. A deck that
// never answers fails every try.
void DeckTest::Connect() {
    constexpr int kTries = 3;
    int result = 0;
    for (int attempt = 0; attempt < kTries && result != 1; ++attempt) {
        result = Call(5);
    }
    ASSERT_EQ(result, 1) << "no connection to the virtual deck in " << kTries << " tries";
    ASSERT_NE(Get("pDevice"), 0);
    Forget();
}

int DeckTest::Timed(int command, Millis* took) {
    const hostkit::Outcome o = m_Session->Quiet(command);
    EXPECT_TRUE(o.guardsIntact) << "command " << command << " wrote past a record";
    for (const hostkit::Change& c : o.changes) {
        EXPECT_NE(c.field, nullptr) << "command " << command << " changed " << c.before;
    }
    if (took != nullptr) {
        *took = Millis(static_cast<int64_t>(o.millis));
    }
    return o.result;
}

int DeckTest::Call(int command) {
    return Timed(command, nullptr);
}

std::string DeckTest::Control(const std::string& line) {
    return m_Deck->Control(line);
}

bool DeckTest::Saw(const std::string& name) {
    // The deck traces just after it replies; give its thread a moment.
    std::this_thread::sleep_for(Millis(5));
    std::lock_guard<std::mutex> lock(m_TraceMutex);
    for (const std::string& l : m_Trace) {
        if (l.size() > name.size() && l.compare(l.size() - name.size(), name.size(), name) == 0 &&
            l[l.size() - name.size() - 1] == ' ') {
            return true;
        }
    }
    return false;
}

bool DeckTest::SawByte(uint8_t in) {
    std::this_thread::sleep_for(Millis(5));
    char needle[16];
    std::snprintf(needle, sizeof needle, " in %02X ", in);
    std::lock_guard<std::mutex> lock(m_TraceMutex);
    for (const std::string& l : m_Trace) {
        if (l.find(needle) != std::string::npos) {
            return true;
        }
    }
    return false;
}

void DeckTest::Forget() {
    std::this_thread::sleep_for(Millis(5));
    std::lock_guard<std::mutex> lock(m_TraceMutex);
    m_Trace.clear();
}

void DeckTest::WaitQuiet(Millis quiet) {
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(m_TraceMutex);
            if (std::chrono::steady_clock::now() - m_LastTrace >= quiet) {
                return;
            }
        }
        std::this_thread::sleep_for(Millis(10));
    }
    ADD_FAILURE() << "the deck kept sending";
}

bool DeckTest::PollUntil(const std::function<bool()>& done, Millis limit, int result) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        EXPECT_EQ(Call(10), result);
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(Millis(20));
    }
    return false;
}

void DeckTest::WaitCueDone() {
    for (int i = 0; i < 100; ++i) {
        if (Call(29) == 1 && Get("bAnswer29") == 1) {
            return;
        }
        std::this_thread::sleep_for(Millis(20));
    }
    ADD_FAILURE() << "the cue did not end";
}

int DeckTest::OpenLineDescriptors() const {
    const std::string slave = m_Deck->SlavePath();
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    while (dirent* d = readdir(dir)) {
        char target[PATH_MAX];
        const std::string path = std::string("/proc/self/fd/") + d->d_name;
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == slave) {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

}  // namespace e2e
