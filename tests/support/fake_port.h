// A scripted serial layer: records every call with its arguments and serves scripted replies.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "deck/serial/serial.h"

namespace testing_support {

using Bytes = std::vector<uint8_t>;

class FakePort : public serial::Port {
  public:
    // Results of Open and SetLine.
    int openResult = 0;
    int setLineResult = 0;

    // Each Write takes the next scripted reply (if any) and makes it readable; an empty entry
    // is silence. Flush drops what was readable and not yet read, as a real line would.
    std::deque<Bytes> replies;
    // Scripted results of successive Writes; when empty, a Write writes everything.
    std::deque<int> writeResults;
    // When set, answers instead of `replies`: called with each write's bytes, returns the reply.
    std::function<Bytes(const uint8_t* data, int count)> responder;

    // The call log, one line per call, e.g. "write(3,D7)=1" or "read(3,5)=4".
    std::vector<std::string> Calls() const;
    std::string Trace() const;  // the log joined by spaces
    Bytes Written() const;      // every byte written, in order
    void ClearLog();

    int Open(int port) override;
    int SetLine(int port, int speedCode, int mode) override;
    int Flush(int port, int direction) override;
    int SetTimeout(int port, int timeoutMs, int reserved) override;
    int Write(int port, const uint8_t* data, int count) override;
    int Read(int port, uint8_t* data, int count) override;
    int Close(int port) override;
    int AroundClose(int port, int a, int b) override;

  private:
    void Log(std::string line);

    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Calls;
    Bytes m_Written;
    std::deque<uint8_t> m_Rx;
};

// Makes `fake` the active serial layer for the scope, so deck objects created inside use it.
class ActiveFake {
  public:
    explicit ActiveFake(FakePort& fake) : m_Prev(serial::SetActivePort(&fake)) {}
    ~ActiveFake() { serial::SetActivePort(m_Prev); }
    ActiveFake(const ActiveFake&) = delete;
    ActiveFake& operator=(const ActiveFake&) = delete;

  private:
    serial::Port* m_Prev;
};

std::string Hex(const uint8_t* data, int count);
std::string Hex(const Bytes& bytes);

}  // namespace testing_support
