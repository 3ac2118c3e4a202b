#include "fake_port.h"

#include <cstdio>

namespace testing_support {

std::string Hex(const uint8_t* data, int count) {
    std::string out;
    char buf[4];
    for (int i = 0; i < count; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", data[i]);
        out += buf;
    }
    return out;
}

std::string Hex(const Bytes& bytes) {
    return Hex(bytes.data(), static_cast<int>(bytes.size()));
}

void FakePort::Log(std::string line) {
    m_Calls.push_back(std::move(line));
}

std::vector<std::string> FakePort::Calls() const {
    std::lock_guard<std::mutex> g(m_Mutex);
    return m_Calls;
}

std::string FakePort::Trace() const {
    std::lock_guard<std::mutex> g(m_Mutex);
    std::string out;
    for (const auto& c : m_Calls) {
        out += out.empty() ? "" : " ";
        out += c;
    }
    return out;
}

Bytes FakePort::Written() const {
    std::lock_guard<std::mutex> g(m_Mutex);
    return m_Written;
}

void FakePort::ClearLog() {
    std::lock_guard<std::mutex> g(m_Mutex);
    m_Calls.clear();
    m_Written.clear();
}

int FakePort::Open(int port) {
    std::lock_guard<std::mutex> g(m_Mutex);
    Log("open(" + std::to_string(port) + ")=" + std::to_string(openResult));
    return openResult;
}

int FakePort::SetLine(int port, int speedCode, int mode) {
    std::lock_guard<std::mutex> g(m_Mutex);
    Log("setline(" + std::to_string(port) + "," + std::to_string(speedCode) + "," +
        std::to_string(mode) + ")=" + std::to_string(setLineResult));
    return setLineResult;
}

int FakePort::Flush(int port, int direction) {
    std::lock_guard<std::mutex> g(m_Mutex);
    m_Rx.clear();
    Log("flush(" + std::to_string(port) + "," + std::to_string(direction) + ")");
    return 0;
}

int FakePort::SetTimeout(int port, int timeoutMs, int reserved) {
    std::lock_guard<std::mutex> g(m_Mutex);
    Log("timeout(" + std::to_string(port) + "," + std::to_string(timeoutMs) + "," +
        std::to_string(reserved) + ")");
    return 0;
}

int FakePort::Write(int port, const uint8_t* data, int count) {
    std::lock_guard<std::mutex> g(m_Mutex);
    int n = count;
    if (!writeResults.empty()) {
        n = writeResults.front();
        writeResults.pop_front();
    }
    const int sent = n < 0 ? 0 : (n > count ? count : n);
    m_Written.insert(m_Written.end(), data, data + sent);
    Log("write(" + std::to_string(port) + "," + Hex(data, count) + ")=" + std::to_string(n));
    if (sent > 0) {
        Bytes reply;
        if (responder) {
            reply = responder(data, sent);
        } else if (!replies.empty()) {
            reply = replies.front();
            replies.pop_front();
        }
        m_Rx.insert(m_Rx.end(), reply.begin(), reply.end());
    }
    return n;
}

int FakePort::Read(int port, uint8_t* data, int count) {
    std::lock_guard<std::mutex> g(m_Mutex);
    int n = 0;
    while (n < count && !m_Rx.empty()) {
        data[n++] = m_Rx.front();
        m_Rx.pop_front();
    }
    Log("read(" + std::to_string(port) + "," + std::to_string(count) + ")=" + std::to_string(n));
    return n;
}

int FakePort::Close(int port) {
    std::lock_guard<std::mutex> g(m_Mutex);
    Log("close(" + std::to_string(port) + ")");
    return 0;
}

int FakePort::AroundClose(int port, int a, int b) {
    std::lock_guard<std::mutex> g(m_Mutex);
    Log("around(" + std::to_string(port) + "," + std::to_string(a) + "," + std::to_string(b) + ")");
    return 0;
}

}  // namespace testing_support
