// The Win32 serial layer on its own, run under Wine against the virtual deck.
//   serial_win32_check LIVE_PORT ABSENT_PORT
// LIVE_PORT leads to a deck that answers; ABSENT_PORT leads nowhere. Exit 0 when all passed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "deck/serial/serial.h"

namespace {

int g_nPassed = 0;
int g_nFailed = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    (ok ? g_nPassed : g_nFailed)++;
}

// Milliseconds a call took.
template <typename F>
ULONGLONG Timed(F f) {
    const ULONGLONG t0 = GetTickCount64();
    f();
    return GetTickCount64() - t0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: serial_win32_check LIVE_PORT ABSENT_PORT\n");
        return 2;
    }
    const int live = std::atoi(argv[1]);
    const int absent = std::atoi(argv[2]);
    serial::Port& port = serial::PlatformPort();
    uint8_t buf[16] = {};

    Check(port.Open(0) != 0 && port.Open(-1) != 0 && port.Open(256) != 0 &&
              port.Open(0x7FFFFFFF) != 0,
          "port numbers outside 1-255 are refused");
    Check(port.Open(absent) != 0, "a port that does not exist is refused");
    Check(port.SetLine(absent, serial::kSpeed9600, serial::kMode8N1) != 0 &&
              port.Flush(absent, serial::kFlushBoth) != 0 && port.SetTimeout(absent, 50, 0) != 0 &&
              port.Write(absent, buf, 1) == 0 && port.Read(absent, buf, 1) == 0 &&
              port.Close(absent) != 0 && port.Write(-5, buf, 1) == 0 && port.Read(300, buf, 1) == 0,
          "every call on a port that is not open fails without touching anything");

    Check(port.Open(live) == 0, "the deck's port opens");
    Check(port.Open(live) != 0, "a second open of the same port is refused");
    Check(port.SetLine(live, 13, serial::kMode8N1) != 0 &&
              port.SetLine(live, serial::kSpeed9600, 4) != 0,
          "line settings other than 9600 8N1 are refused");
    Check(port.SetLine(live, serial::kSpeed9600, serial::kMode8N1) == 0, "9600 8N1 is set");
    Check(port.Flush(live, serial::kFlushBoth) == 0, "both directions are purged");
    Check(port.SetTimeout(live, 50, 0) == 0, "the 50 ms time-out is set");

    const uint8_t request = 0xD7;  // status bytes 0-4
    Check(port.Write(live, &request, 1) == 1, "a one-byte write reports 1");
    int got = 0;
    ULONGLONG ms = Timed([&] { got = port.Read(live, buf, 5); });
    std::printf("     status reply: %d bytes in %llu ms\n", got, ms);
    Check(got == 5, "the deck's five status bytes are read");

    ms = Timed([&] { got = port.Read(live, buf, 5); });
    std::printf("     read with nothing coming: %d bytes after %llu ms\n", got, ms);
    Check(got == 0 && ms >= 35 && ms < 1000, "a read with nothing coming ends after about 50 ms");

    Check(port.SetTimeout(live, 0, 0) == 0, "a zero time-out is taken");
    ms = Timed([&] { got = port.Read(live, buf, 5); });
    Check(got == 0 && ms < 35, "with a zero time-out a read returns at once, never waits forever");

    Check(port.Close(live) == 0, "the port closes");
    Check(port.Close(live) != 0, "closing it again fails");
    Check(port.Open(live) == 0 && port.Close(live) == 0, "after closing, the port opens again");

    std::printf("serial_win32_check: %d passed, %d failed\n", g_nPassed, g_nFailed);
    return g_nFailed == 0 ? 0 : 1;
}
