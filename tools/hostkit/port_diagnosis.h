// What the host side can find out about a serial port: the kernel driver behind it, an FTDI
// adapter's latency timer, and why a connect failed. Roots are parameters so that tests can
// give a made-up sysfs or /proc.
#pragma once

#include <string>
#include <vector>

namespace hostkit {

struct DriverInfo {
    std::string name;    // "ftdi_sio", "serial8250", "pty"; empty when sysfs does not say
    bool usb = false;    // a USB serial adapter or modem
    int latencyMs = -1;  // the FTDI latency timer now; -1 where the driver has none
};

// The device path port N opens: $TAPEDECK_COM<N> when set and not empty, else /dev/ttyS<N-1>.
std::string DevicePathForPort(int port);

// The driver behind a tty device, through symlinks (/dev/serial/by-id/..., decksim --link).
DriverInfo ReadDriver(const std::string& device, const std::string& sysRoot = "/sys");

// One line on the latency the module can or cannot get from the driver; empty when there is
// nothing to say (a UART, a pty, an FTDI timer already low).
std::string LatencyNote(const DriverInfo& driver);

struct Holder {
    int pid = 0;
    std::string name;  // the process's command name
};

// Other processes with the device open, as far as /proc lets this user see.
std::vector<Holder> FindHolders(const std::string& device, const std::string& procRoot = "/proc",
                                int self = 0);

// What opening the device shows.
struct OpenFacts {
    std::string device;
    bool exists = false;
    bool charDevice = false;
    int openErrno = 0;  // 0: it opened
    bool tty = false;   // it opened and is a terminal
    std::string group;  // the group that owns it
    std::string mode;   // e.g. "crw-rw----"
    std::string user;   // who runs this
    std::vector<Holder> holders;
};

OpenFacts ProbeDevice(const std::string& device, const std::string& procRoot = "/proc");

// Why a connect on the device failed, in one sentence a user can act on.
std::string Explain(const OpenFacts& facts);

// Explain(ProbeDevice(device)).
std::string DiagnoseConnect(const std::string& device);

}  // namespace hostkit
