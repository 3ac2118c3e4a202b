#include "tools/hostkit/port_diagnosis.h"

#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

bool Has(const std::string& text, const std::string& part) {
    return part.empty() ? text.empty() : text.find(part) != std::string::npos;
}

// A made-up sysfs and /proc: drivers with and without a latency timer, and a holder.
TEST(PortDiagnosis, DriverLatencyAndHoldersFromMadeUpTrees) {
    char tmpl[] = "/tmp/port_diagnosis.XXXXXX";
    const std::string root = mkdtemp(tmpl);
    const std::string script = R"(
        for t in USB0:ftdi_sio:usb-serial:16 USB1:ftdi_sio:usb-serial:1 \
                 USB2:pl2303:usb-serial: S0:serial8250:platform:; do
            IFS=: read n d b l <<< "$t"
            dev=class/tty/tty$n/device
            mkdir -p $dev
            ln -s ../../../bus/$b/drivers/$d $dev/driver
            ln -s ../../../bus/$b $dev/subsystem
            [ -z "$l" ] || echo $l > $dev/latency_timer
        done
        mkdir -p 101/fd 202/fd && echo minicom > 101/comm
        ln -s /dev/ttyUSB0 101/fd/3 && ln -s /dev/ttyUSB0 202/fd/4)";
    ASSERT_EQ(std::system(("cd " + root + " && bash -ec '" + script + "'").c_str()), 0);
    struct Row {
        const char* device;
        const char* driver;
        int latency;
        const char* note;
    } const rows[] = {
        {"/dev/ttyUSB0", "ftdi_sio", 16, "from 16 ms to 1 ms while the module holds the port"},
        {"/dev/ttyUSB1", "ftdi_sio", 1, ""},
        {"/dev/ttyUSB2", "pl2303", -1, "cannot lower the latency of pl2303"},
        {"/dev/ttyS0", "serial8250", -1, ""},
        {"/dev/ttyUSB9", "", -1, ""},
    };
    for (const Row& r : rows) {
        const hostkit::DriverInfo d = hostkit::ReadDriver(r.device, root);
        EXPECT_EQ(d.name, r.driver) << r.device;
        EXPECT_EQ(d.latencyMs, r.latency) << r.device;
        EXPECT_TRUE(Has(hostkit::LatencyNote(d), r.note)) << r.device;
    }
    const auto held = hostkit::FindHolders("/dev/ttyUSB0", root, 202);  // 202: ourselves
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].pid, 101);
    EXPECT_EQ(held[0].name, "minicom");
    std::system(("rm -rf " + root).c_str());
}

TEST(PortDiagnosis, EachCauseInWords) {
    using F = hostkit::OpenFacts;
    struct Row {
        void (*change)(F&);
        const char* words;
    } const rows[] = {
        {[](F& f) { f.exists = false; }, "does not exist"},
        {[](F& f) { f.openErrno = EACCES; },
         "group dialout): join the group with `sudo usermod "
         "-aG dialout ed`"},
        {[](F& f) { f.openErrno = EACCES, f.mode = "crw-------"; }, "only its owner may open"},
        {[](F& f) {
             f.holders = {{4242, "minicom"}};
         },
         "held by another process: minicom (pid"},
        {[](F& f) { f.openErrno = EBUSY; }, "held by another process"},
        {[](F& f) { f.tty = false; }, "is not a terminal"},
        {[](F&) {}, "no deck answered: check the cable"},
    };
    for (const Row& r : rows) {
        F f;
        f.device = "/dev/ttyUSB0";
        f.exists = f.charDevice = f.tty = true;
        f.mode = "crw-rw----";
        f.group = "dialout";
        f.user = "ed";
        r.change(f);
        EXPECT_TRUE(Has(hostkit::Explain(f), r.words)) << hostkit::Explain(f);
    }
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    EXPECT_TRUE(Has(hostkit::DiagnoseConnect(name), "no deck answered"));
    close(slave);
    close(master);
    EXPECT_TRUE(Has(hostkit::DiagnoseConnect("/dev/null"), "not a terminal"));
    EXPECT_TRUE(Has(hostkit::DiagnoseConnect("/nonexistent/tty"), "does not exist"));
}

}  // namespace
