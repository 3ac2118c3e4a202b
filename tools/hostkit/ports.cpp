#include "tools/hostkit/ports.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace hostkit {

namespace {

// Numeric suffix of a device name after `prefix`, or -1.
int Suffix(const std::string& name, const char* prefix) {
    const std::size_t n = std::strlen(prefix);
    if (name.compare(0, n, prefix) != 0 || name.size() == n ||
        name.find_first_not_of("0123456789", n) != std::string::npos) {
        return -1;
    }
    return std::atoi(name.c_str() + n);
}

PortEntry Entry(int port, const std::string& device, const std::string& source) {
    PortEntry e;
    e.port = port;
    e.device = device;
    e.source = source;
    e.exists = access(device.c_str(), F_OK) == 0;
    e.accessible = access(device.c_str(), R_OK | W_OK) == 0;
    return e;
}

}  // namespace

std::vector<PortEntry> ListPorts(char** environment) {
    std::map<int, std::string> mapped;
    for (char** e = environment; e != nullptr && *e != nullptr; ++e) {
        const std::string var(*e);
        const std::size_t eq = var.find('=');
        const int n = Suffix(var.substr(0, eq), "TAPEDECK_COM");
        if (eq != std::string::npos && n > 0 && eq + 1 < var.size()) {
            mapped[n] = var.substr(eq + 1);
        }
    }
    std::vector<PortEntry> out;
    out.reserve(mapped.size());
    for (const auto& [n, device] : mapped) {
        out.push_back(Entry(n, device, "TAPEDECK_COM" + std::to_string(n)));
    }

    std::vector<std::pair<int, std::string>> serial;
    std::vector<std::string> adapters;
    if (DIR* dir = opendir("/dev")) {
        while (dirent* d = readdir(dir)) {
            const std::string name = d->d_name;
            const int s = Suffix(name, "ttyS");
            if (s >= 0) {
                serial.emplace_back(s, "/dev/" + name);
            } else if (Suffix(name, "ttyUSB") >= 0 || Suffix(name, "ttyACM") >= 0) {
                adapters.push_back("/dev/" + name);
            }
        }
        closedir(dir);
    }
    std::sort(serial.begin(), serial.end());
    std::sort(adapters.begin(), adapters.end());
    for (const auto& [s, device] : serial) {
        const int port = s + 1;
        out.push_back(Entry(mapped.count(port) ? 0 : port, device, "default"));
    }
    std::set<std::string> named;
    for (const auto& [n, device] : mapped) {
        named.insert(device);
    }
    for (const std::string& device : adapters) {
        if (!named.count(device)) {
            out.push_back(Entry(0, device, "default"));
        }
    }
    return out;
}

}  // namespace hostkit
