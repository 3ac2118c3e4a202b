// The serial-port layer the deck object talks through, one operation per role.
// Every call names the port by number; results follow the conventions noted per call.
#pragma once

#include <cstdint>

namespace serial {

// Fixed line values the deck object passes to SetLine.
constexpr int kSpeed9600 = 12;  // 9600 baud
constexpr int kMode8N1 = 3;     // 8 data bits, no parity, 1 stop bit
constexpr int kFlushBoth = 2;   // discard pending input and output

class Port {
  public:
    virtual ~Port() = default;

    virtual int Open(int port) = 0;                              // 0 = opened
    virtual int SetLine(int port, int speedCode, int mode) = 0;  // 0 = done
    virtual int Flush(int port, int direction) = 0;
    virtual int SetTimeout(int port, int timeoutMs, int reserved) = 0;
    virtual int Write(int port, const uint8_t* data, int count) = 0;  // bytes written
    // Bytes read; returns once `count` bytes came or the time-out elapsed since the call began.
    virtual int Read(int port, uint8_t* data, int count) = 0;
    virtual int Close(int port) = 0;
    virtual int AroundClose(int port, int a, int b) = 0;  // just before and just after Close
};

// The platform's implementation (serial_posix.cpp / serial_win32.cpp).
Port& PlatformPort();

// The layer every deck object uses; tests put a fake in its place. Returns the previous one.
// Passing nullptr restores the platform layer.
Port* SetActivePort(Port* port);
Port& ActivePort();

}  // namespace serial
