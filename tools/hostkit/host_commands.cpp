#include "tools/hostkit/host_commands.h"

#include <cstdlib>

namespace hostkit {

std::string DataFolder() {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        return std::string(xdg) + "/tapedeck5500";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr && home[0] != '\0' ? home : ".") +
           "/.local/share/tapedeck5500";
}

}  // namespace hostkit
