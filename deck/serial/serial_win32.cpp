#include <windows.h>

#include <array>
#include <cwchar>
#include <mutex>

#include "deck/serial/serial.h"

namespace serial {

namespace {

constexpr int kPortCount = 256;  // port numbers 1 to 255; 0 means none
constexpr int kDefaultTimeoutMs = 50;

bool ValidPort(int port) {
    return port > 0 && port < kPortCount;
}

// A read returns once all its bytes came or the time-out ran out, with what came by then.
COMMTIMEOUTS TimeoutsFor(int timeoutMs) {
    COMMTIMEOUTS t{};
    if (timeoutMs <= 0) {
        // All zeros would mean "wait forever"; this pattern returns at once with what is there.
        t.ReadIntervalTimeout = MAXDWORD;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = 0;
    } else {
        t.ReadIntervalTimeout = 0;
        t.ReadTotalTimeoutMultiplier = 0;
        t.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs);
    }
    // A write gets its bytes' time on the line (about 1 ms each at 9600 baud) plus the
    // time-out, so a blocked line cannot stall it for longer than a read would.
    t.WriteTotalTimeoutMultiplier = 2;
    t.WriteTotalTimeoutConstant = static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs);
    return t;
}

class Win32Port : public Port {
  public:
    Win32Port() { m_Handles.fill(INVALID_HANDLE_VALUE); }

    int Open(int port) override {
        if (!ValidPort(port)) {
            return -1;
        }
        // The \\.\ form is the only one that reaches ports above 9.
        wchar_t path[32];
        std::swprintf(path, sizeof path / sizeof path[0], L"\\\\.\\COM%d", port);
        const HANDLE h =
            CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return -1;
        }
        // Until the deck object sets its own, reads already end after the usual time-out.
        COMMTIMEOUTS t = TimeoutsFor(kDefaultTimeoutMs);
        SetCommTimeouts(h, &t);
        std::lock_guard<std::mutex> g(m_Mutex);
        if (m_Handles[port] != INVALID_HANDLE_VALUE) {
            CloseHandle(h);  // one opener per port in this process
            return -1;
        }
        m_Handles[port] = h;
        return 0;
    }

    int SetLine(int port, int speedCode, int mode) override {
        // The deck speaks 9600 8N1 only; other codes are refused rather than guessed.
        if (speedCode != kSpeed9600 || mode != kMode8N1) {
            return -1;
        }
        const HANDLE h = HandleOf(port);
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (h == INVALID_HANDLE_VALUE || !GetCommState(h, &dcb)) {
            return -1;
        }
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        // No flow control of either kind: the deck drives no handshake lines.
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        // A line error must not leave the port refusing all I/O until ClearCommError.
        dcb.fAbortOnError = FALSE;
        return SetCommState(h, &dcb) ? 0 : -1;
    }

    int Flush(int port, int direction) override {
        const HANDLE h = HandleOf(port);
        if (h == INVALID_HANDLE_VALUE) {
            return -1;
        }
        const DWORD which = direction == 0   ? PURGE_RXCLEAR
                            : direction == 1 ? PURGE_TXCLEAR
                                             : PURGE_RXCLEAR | PURGE_TXCLEAR;
        return PurgeComm(h, which) ? 0 : -1;
    }

    int SetTimeout(int port, int timeoutMs, int /*reserved*/) override {
        const HANDLE h = HandleOf(port);
        if (h == INVALID_HANDLE_VALUE) {
            return -1;
        }
        COMMTIMEOUTS t = TimeoutsFor(timeoutMs);
        return SetCommTimeouts(h, &t) ? 0 : -1;
    }

    int Write(int port, const uint8_t* data, int count) override {
        const HANDLE h = HandleOf(port);
        if (h == INVALID_HANDLE_VALUE || data == nullptr || count <= 0) {
            return 0;
        }
        DWORD written = 0;
        // A time-out or error still reports the bytes that went out.
        WriteFile(h, data, static_cast<DWORD>(count), &written, nullptr);
        return static_cast<int>(written);
    }

    int Read(int port, uint8_t* data, int count) override {
        const HANDLE h = HandleOf(port);
        if (h == INVALID_HANDLE_VALUE || data == nullptr || count <= 0) {
            return 0;
        }
        DWORD got = 0;
        ReadFile(h, data, static_cast<DWORD>(count), &got, nullptr);
        return static_cast<int>(got);
    }

    int Close(int port) override {
        if (!ValidPort(port)) {
            return -1;
        }
        HANDLE h = INVALID_HANDLE_VALUE;
        {
            std::lock_guard<std::mutex> g(m_Mutex);
            h = m_Handles[port];
            m_Handles[port] = INVALID_HANDLE_VALUE;
        }
        if (h == INVALID_HANDLE_VALUE) {
            return -1;
        }
        return CloseHandle(h) ? 0 : -1;
    }

    int AroundClose(int /*port*/, int /*a*/, int /*b*/) override { return 0; }

  private:
    // The handle is looked up under the lock and used outside it, so a slow read on one
    // port does not hold up the others. Closing a port while another thread uses it is the
    // caller's to avoid; the deck object does so under its own lock.
    HANDLE HandleOf(int port) {
        if (!ValidPort(port)) {
            return INVALID_HANDLE_VALUE;
        }
        std::lock_guard<std::mutex> g(m_Mutex);
        return m_Handles[port];
    }

    std::mutex m_Mutex;
    std::array<HANDLE, kPortCount> m_Handles;
};

}  // namespace

Port& PlatformPort() {
    static Win32Port port;
    return port;
}

}  // namespace serial
