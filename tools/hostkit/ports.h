// The serial devices a host could open, with the port numbers that reach them.
#pragma once

#include <string>
#include <vector>

namespace hostkit {

struct PortEntry {
    int port = 0;  // 0: no port number reaches the device until TAPEDECK_COM<N> names it
    std::string device;
    std::string source;  // "default" or the variable that maps it
    bool exists = false;
    bool accessible = false;  // readable and writable by this user
};

// Port numbers from TAPEDECK_COM<N> first, then /dev/ttyS* (port N is ttyS<N-1> unless a
// variable maps N elsewhere), then USB and ACM adapters, which only a variable can map.
std::vector<PortEntry> ListPorts(char** environment);

}  // namespace hostkit
