// POSIX details of the serial layer that tests check directly.
#pragma once

#include <cstddef>

namespace serial {

// The device path for a port number: $TAPEDECK_COM<N> when set and not empty, else
// /dev/ttyS<N-1>. False when the port number is not above 0 or the path does not fit.
bool PosixDevicePath(int port, char* out, std::size_t size);

// The driver's serial flags (TIOCGSERIAL / TIOCSSERIAL). Open sets the low-latency flag where
// the driver has them, so that a USB adapter hands over short replies at once; Close puts the
// flags back as they were. Each call returns false where the driver has no such flags (a pty).
struct DriverFlags {
    bool (*get)(int fd, int* flags);
    bool (*set)(int fd, int flags);
};
// Tests play a driver that has them; nullptr puts the real ioctls back. Returns the previous.
const DriverFlags* SetDriverFlags(const DriverFlags* flags);

}  // namespace serial
