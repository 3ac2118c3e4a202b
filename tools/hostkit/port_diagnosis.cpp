#include "tools/hostkit/port_diagnosis.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace hostkit {

namespace {

// An FTDI timer above this is worth lowering; the module takes it to 1 ms.
constexpr int kLowLatencyMs = 4;

std::string Resolved(const std::string& path) {
    char buf[PATH_MAX];
    return realpath(path.c_str(), buf) != nullptr ? std::string(buf) : path;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The last part of a symlink's target, e.g. "ftdi_sio" for .../drivers/ftdi_sio.
std::string LinkName(const std::string& link) {
    char buf[PATH_MAX];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? BaseName(std::string(buf, static_cast<std::size_t>(n))) : std::string();
}

std::string FirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string Mode(mode_t m) {
    std::string s = S_ISCHR(m) ? "c" : S_ISDIR(m) ? "d" : S_ISREG(m) ? "-" : "?";
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) {
        s += (m & (0400 >> i)) != 0 ? rwx[i] : '-';
    }
    return s;
}

std::string Holders(const std::vector<Holder>& holders) {
    std::string s;
    for (const Holder& h : holders) {
        s += (s.empty() ? "" : ", ") + (h.name.empty() ? std::string("a process") : h.name) +
             " (pid " + std::to_string(h.pid) + ")";
    }
    return s;
}

}  // namespace

std::string DevicePathForPort(int port) {
    const std::string var = "TAPEDECK_COM" + std::to_string(port);
    const char* path = std::getenv(var.c_str());
    if (path != nullptr && path[0] != '\0') {
        return path;
    }
    return "/dev/ttyS" + std::to_string(port - 1);
}

DriverInfo ReadDriver(const std::string& device, const std::string& sysRoot) {
    DriverInfo d;
    const std::string real = Resolved(device);
    if (real.compare(0, 9, "/dev/pts/") == 0) {
        d.name = "pty";
        return d;
    }
    std::string dev = sysRoot + "/class/tty/" + BaseName(real) + "/device";
    std::string bus = LinkName(dev + "/subsystem");
    // Newer kernels put a UART's port and controller on a bus of their own; the driver that
    // matters (serial8250, serial) is above them.
    for (int up = 0; up < 3 && bus == "serial-base"; ++up) {
        dev += "/..";
        bus = LinkName(dev + "/subsystem");
    }
    d.name = LinkName(dev + "/driver");
    // ftdi_sio and its kind sit on the usb-serial bus; cdc_acm on a USB interface.
    d.usb = bus == "usb-serial" || bus == "usb";
    const std::string latency = FirstLine(dev + "/latency_timer");
    if (!latency.empty() && latency.find_first_not_of("0123456789") == std::string::npos) {
        d.latencyMs = std::atoi(latency.c_str());
    }
    return d;
}

std::string LatencyNote(const DriverInfo& driver) {
    if (driver.latencyMs > kLowLatencyMs) {
        return "the latency timer goes from " + std::to_string(driver.latencyMs) +
               " ms to 1 ms while the module holds the port";
    }
    if (driver.usb && driver.latencyMs < 0) {
        return "the module cannot lower the latency of " +
               (driver.name.empty() ? std::string("this driver") : driver.name);
    }
    return {};
}

std::vector<Holder> FindHolders(const std::string& device, const std::string& procRoot, int self) {
    std::vector<Holder> out;
    const std::string real = Resolved(device);
    DIR* proc = opendir(procRoot.c_str());
    if (proc == nullptr) {
        return out;
    }
    while (const dirent* p = readdir(proc)) {
        const int pid = std::atoi(p->d_name);
        if (pid <= 0 || pid == (self != 0 ? self : getpid())) {
            continue;
        }
        const std::string fdDir = procRoot + "/" + p->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());  // another user's: refused, and skipped
        if (fds == nullptr) {
            continue;
        }
        bool holds = false;
        while (const dirent* f = readdir(fds)) {
            char buf[PATH_MAX];
            const ssize_t n = readlink((fdDir + "/" + f->d_name).c_str(), buf, sizeof buf - 1);
            holds = holds || (n > 0 && std::string(buf, static_cast<std::size_t>(n)) == real);
        }
        closedir(fds);
        if (holds) {
            out.push_back({pid, FirstLine(procRoot + "/" + p->d_name + "/comm")});
        }
    }
    closedir(proc);
    return out;
}

OpenFacts ProbeDevice(const std::string& device, const std::string& procRoot) {
    OpenFacts f;
    f.device = device;
    if (const passwd* pw = getpwuid(getuid())) {
        f.user = pw->pw_name;
    }
    struct stat st {};
    f.exists = stat(device.c_str(), &st) == 0;
    if (!f.exists) {
        return f;
    }
    f.charDevice = S_ISCHR(st.st_mode);
    f.mode = Mode(st.st_mode);
    const group* g = getgrgid(st.st_gid);
    f.group = g != nullptr ? g->gr_name : std::to_string(st.st_gid);
    // Non-blocking: no wait for carrier. Nothing is written, so the deck hears nothing.
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    f.openErrno = fd < 0 ? errno : 0;
    if (fd >= 0) {
        f.tty = isatty(fd) != 0;
        close(fd);
    }
    // The program behind a pty (decksim, say) often holds its slave open too; for a pty only a
    // refused open means someone else has the port.
    const bool pty = Resolved(device).compare(0, 9, "/dev/pts/") == 0;
    if (!pty || f.openErrno == EBUSY) {
        f.holders = FindHolders(device, procRoot);
    }
    return f;
}

std::string Explain(const OpenFacts& f) {
    const std::string& dev = f.device;
    if (!f.exists) {
        return dev + " does not exist (is the adapter plugged in?); `deckctl ports` lists the " +
               "serial devices and TAPEDECK_COM<N>=PATH maps port N to one";
    }
    if (!f.charDevice || f.openErrno == ENOTTY || (f.openErrno == 0 && !f.tty)) {
        return dev + " is not a terminal; a port must name a serial device or a pty";
    }
    if (f.openErrno == EACCES || f.openErrno == EPERM) {
        const std::string head =
            "permission denied on " + dev + " (" + f.mode + ", group " + f.group + ")";
        // A group with read and write on the device is the way in; root's is not one to join.
        if (f.mode.size() < 7 || f.mode.compare(4, 2, "rw") != 0 || f.group == "root") {
            return head + ": only its owner may open it; ask for it to be given to a group " +
                   "such as dialout (a udev rule)";
        }
        const std::string user = f.user.empty() ? "$USER" : f.user;
        return head + ": join the group with `sudo usermod -aG " + f.group + " " + user +
               "`, then log out and in again";
    }
    if (!f.holders.empty()) {
        return dev + " is held by another process: " + Holders(f.holders);
    }
    if (f.openErrno == EBUSY) {
        return dev + " is held by another process (one this user cannot see)";
    }
    if (f.openErrno != 0) {
        return "cannot open " + dev + ": " + std::strerror(f.openErrno);
    }
    return dev + " opened, but no deck answered: check the cable, that the deck is set to " +
           "remote control, and that its line is 9600 baud, 8N1";
}

std::string DiagnoseConnect(const std::string& device) {
    return Explain(ProbeDevice(device));
}

}  // namespace hostkit
