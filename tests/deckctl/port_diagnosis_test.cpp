#include "tools/hostkit/port_diagnosis.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace {

class FakeRoot : public testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/port_diagnosis.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_Root = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + m_Root).c_str()); }

    void Dir(const std::string& rel) { std::system(("mkdir -p " + m_Root + rel).c_str()); }
    void Link(const std::string& target, const std::string& rel) {
        ASSERT_EQ(symlink(target.c_str(), (m_Root + rel).c_str()), 0) << rel;
    }
    void File(const std::string& rel, const std::string& text) {
        std::ofstream(m_Root + rel) << text;
    }
    // A tty in the made-up sysfs: its driver, its bus, and a latency timer if given.
    void Tty(const std::string& name, const std::string& driver, const std::string& bus,
             const std::string& latency) {
        const std::string dev = "/class/tty/" + name + "/device";
        Dir(dev);
        Link("../../../bus/" + bus + "/drivers/" + driver, dev + "/driver");
        Link("../../../bus/" + bus, dev + "/subsystem");
        if (!latency.empty()) {
            File(dev + "/latency_timer", latency + "\n");
        }
    }
    std::string m_Root;
};

TEST_F(FakeRoot, DriverAndWhatTheModuleCanDoAboutItsLatency) {
    Tty("ttyUSB0", "ftdi_sio", "usb-serial", "16");
    Tty("ttyUSB1", "ftdi_sio", "usb-serial", "1");
    Tty("ttyUSB2", "pl2303", "usb-serial", "");
    Tty("ttyS0", "serial8250", "platform", "");
    struct Row {
        const char* device;
        const char* driver;
        int latency;
        const char* note;  // a part of it; "" for none
    } const rows[] = {
        {"/dev/ttyUSB0", "ftdi_sio", 16, "from 16 ms to 1 ms while the module holds the port"},
        {"/dev/ttyUSB1", "ftdi_sio", 1, ""},
        {"/dev/ttyUSB2", "pl2303", -1, "cannot lower the latency of pl2303"},
        {"/dev/ttyS0", "serial8250", -1, ""},
        {"/dev/ttyUSB9", "", -1, ""},
    };
    for (const Row& r : rows) {
        const hostkit::DriverInfo d = hostkit::ReadDriver(r.device, m_Root);
        EXPECT_EQ(d.name, r.driver) << r.device;
        EXPECT_EQ(d.latencyMs, r.latency) << r.device;
        const std::string note = hostkit::LatencyNote(d);
        EXPECT_TRUE(*r.note ? note.find(r.note) != std::string::npos : note.empty())
            << r.device << ": " << note;
    }
}

TEST_F(FakeRoot, HoldersNamedFromProc) {
    for (const char* pid : {"101", "202", "303"}) {
        Dir(std::string("/") + pid + "/fd");
        File(std::string("/") + pid + "/comm", pid[0] == '1' ? "minicom\n" : "other\n");
    }
    Link("/dev/ttyUSB0", "/101/fd/3");
    Link("/dev/ttyUSB1", "/202/fd/3");
    Link("/dev/ttyUSB0", "/303/fd/7");  // ourselves: not named
    const auto held = hostkit::FindHolders("/dev/ttyUSB0", m_Root, 303);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].pid, 101);
    EXPECT_EQ(held[0].name, "minicom");
}

TEST(PortDiagnosis, EachCauseInWords) {
    hostkit::OpenFacts base;
    base.device = "/dev/ttyUSB0";
    base.exists = base.charDevice = base.tty = true;
    base.mode = "crw-rw----";
    base.group = "dialout";
    base.user = "ed";
    struct Row {
        const char* cause;
        void (*change)(hostkit::OpenFacts&);
        const char* words;
    } const rows[] = {
        {"missing", [](hostkit::OpenFacts& f) { f.exists = false; }, "does not exist"},
        {"permission", [](hostkit::OpenFacts& f) { f.openErrno = EACCES; },
         "group dialout): join the group with `sudo usermod -aG dialout ed`"},
        {"owner only",
         [](hostkit::OpenFacts& f) {
             f.openErrno = EACCES;
             f.mode = "crw-------";
         },
         "only its owner may open it"},
        {"held, named",
         [](hostkit::OpenFacts& f) {
             f.holders = {{4242, "minicom"}};
         },
         "held by another process: minicom (pid 4242)"},
        {"held, unseen", [](hostkit::OpenFacts& f) { f.openErrno = EBUSY; },
         "held by another process"},
        {"not a terminal", [](hostkit::OpenFacts& f) { f.tty = false; }, "is not a terminal"},
        {"silent deck", [](hostkit::OpenFacts&) {}, "no deck answered: check the cable"},
    };
    for (const Row& r : rows) {
        hostkit::OpenFacts f = base;
        r.change(f);
        const std::string why = hostkit::Explain(f);
        EXPECT_NE(why.find(r.words), std::string::npos) << r.cause << ": " << why;
    }
}

TEST(PortDiagnosis, ProbesWhatIsThere) {
    int master = -1;
    int slave = -1;
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    EXPECT_NE(hostkit::DiagnoseConnect(name).find("no deck answered"), std::string::npos);
    EXPECT_EQ(hostkit::ReadDriver(name).name, "pty");
    close(slave);
    close(master);
    EXPECT_NE(hostkit::DiagnoseConnect("/dev/null").find("not a terminal"), std::string::npos);
    EXPECT_NE(hostkit::DiagnoseConnect("/nonexistent/tty").find("does not exist"),
              std::string::npos);
}

}  // namespace
