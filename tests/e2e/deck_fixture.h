// The real module, loaded with dlopen, over the real serial layer to the virtual deck on a
// pseudo-terminal. The deck runs on its own thread in this process.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "tools/decksim/pty_server.h"
#include "tools/hostkit/host_records.h"
#include "tools/hostkit/module.h"
#include "tools/hostkit/session.h"

namespace e2e {

using Millis = std::chrono::milliseconds;

constexpr int kPort = 7;
// nFrames before every call; only command 25 writes the field.
constexpr int64_t kUnwritten = 0x5EEDF00D;

struct DeckSetup {
    int videoSystem = 1;
    double fps = 25.0;
    bool dropFrame = false;
};

class DeckTest : public testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the deck, maps kPort to it; fatal failures end the test.
    void StartDeck(DeckSetup setup = {});
    void Connect();

    // One host call; fails the test if the module wrote past a record.
    int Call(int command);
    // The call's duration too.
    int Timed(int command, Millis* took);
    int64_t Get(const char* field) const { return m_Rec.Get(field); }
    void Set(const char* field, int64_t value) { m_Rec.Set(field, value); }

    std::string Control(const std::string& line);
    // True when a wire trace line since the last Forget() ends with this name.
    bool Saw(const std::string& name);
    // True when a received byte since the last Forget() was this one.
    bool SawByte(uint8_t in);
    void Forget();
    // Waits until the deck has sent nothing for `quiet`, so no stale reply is on its way.
    void WaitQuiet(Millis quiet);

    // Polls every 20 ms until `done`; false after `limit`. Every poll must give `result`.
    bool PollUntil(const std::function<bool()>& done, Millis limit, int result = 1);
    // Waits until the deck's cue is over (status byte 5 bit 3 clear, through command 29).
    void WaitCueDone();

    // Descriptors of this process that refer to the deck's line.
    int OpenLineDescriptors() const;

    std::unique_ptr<decksim::PtyServer> m_Deck;
    hostkit::HostRecords m_Rec;
    std::string m_Dir;  // private temp folder with the link to the line
    std::string m_Link;

  private:
    hostkit::Module m_Module;
    std::unique_ptr<hostkit::Session> m_Session;
    std::ostringstream m_Sink;
    std::mutex m_TraceMutex;
    std::vector<std::string> m_Trace;
    std::chrono::steady_clock::time_point m_LastTrace;
};

}  // namespace e2e
