// POSIX details of the serial layer that tests check directly.
#pragma once

#include <cstddef>

namespace serial {

// The device path for a port number: $TAPEDECK_COM<N> when set and not empty, else
// /dev/ttyS<N-1>. False when the port number is not above 0 or the path does not fit.
bool PosixDevicePath(int port, char* out, std::size_t size);

}  // namespace serial
