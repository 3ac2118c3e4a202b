// Hostile host input through Main: garbage handles, out-of-range speeds and ports, null
// pointers, every command number, random records. Defined results and no stray writes.
#include <climits>
#include <cstring>
#include <random>
#include <set>

#include "deck/serial/serial.h"
#include "deck/vtr_device.h"
#include "host_fixture.h"
#include "plugin/device_table.h"
#include "reliability_commands.h"
#include "timecode/timecode.h"

namespace testing_support {
namespace {

using reliability::kDeckCommands;
using reliability::kSupported;

class HostileInput : public HostTest {};

TEST_F(HostileInput, HandlesTheTableDoesNotKnowCountAsNotConnected) {
    Connect();
    const uint32_t live = ctx().pDevice;
    ASSERT_EQ(Call(6), 1);
    const uint32_t gone = live;  // disconnected: its slot is free again
    Connect();
    const uint32_t current = ctx().pDevice;
    const uint32_t garbage[] = {1u,          0xFFFFFFFFu,           0x12345678u,
                                0x0000FFFFu, 0xFFFF0000u,           0x80000000u,
                                gone,        current ^ 0x00010000u, current + 1};
    for (uint32_t h : garbage) {
        if (h == current) {
            continue;  // a reused slot with a new generation is the live deck, not garbage
        }
        SCOPED_TRACE(testing::Message() << "handle 0x" << std::hex << h);
        ctx().pDevice = h;
        for (int cmd : kDeckCommands) {
            fake.ClearLog();
            EXPECT_EQ(CallUntouched(cmd, &data()), 0) << "command " << cmd;
            EXPECT_EQ(fake.Trace(), "") << "command " << cmd;
        }
        // Connect refuses any nonzero field; disconnect stores 0 and leaves the live deck be.
        EXPECT_EQ(CallUntouched(5, &data()), 0);
        EXPECT_EQ(Call(6), 1);
        EXPECT_EQ(ctx().pDevice, 0u);
        EXPECT_EQ(fake.Trace(), "");
    }
    ctx().pDevice = current;
    EXPECT_EQ(device_table::LiveCount(), 1u);
    EXPECT_EQ(Call(9), 1);  // the real deck was not disturbed
}

TEST_F(HostileInput, PortsNotAboveZeroOpenNothing) {
    for (int port : {0, -1, -3, -255, -256, -1000, INT_MIN}) {
        ctx().nPort = port;
        EXPECT_EQ(CallUntouched(5, &data()), 0) << port;
    }
    EXPECT_EQ(fake.Trace(), "");
    EXPECT_EQ(device_table::LiveCount(), 0u);
}

TEST_F(HostileInput, PortsAbove255ConnectAndCloseWithoutTouchingThePortTable) {
    { CVtrDevice first(fake); }  // the first deck of the process sets the table up; not ours
    for (int32_t& flag : g_PortInUse) {
        flag = 7;
    }
    for (int port : {256, 1000, 65536, INT_MAX}) {
        ctx().nPort = port;
        fake.ClearLog();
        EXPECT_EQ(Call(5), 1) << port;
        EXPECT_EQ(Call(6), 1) << port;
        EXPECT_EQ(fake.Calls().front(), "open(" + std::to_string(port) + ")=0");
    }
    for (int32_t flag : g_PortInUse) {
        EXPECT_EQ(flag, 7);
    }
    std::memset(g_PortInUse, 0, sizeof g_PortInUse);
}

TEST_F(HostileInput, PortsWithNoDeviceBehindThemFailCleanly) {
    // The platform layer: no such device node, so the open fails and nothing stays open.
    serial::Port* fakeLayer = serial::SetActivePort(nullptr);
    for (int port : {200, 256, 1000, INT_MAX}) {
        ctx().nPort = port;
        EXPECT_EQ(CallUntouched(5, &data()), 0) << port;
    }
    serial::SetActivePort(fakeLayer);
    EXPECT_EQ(device_table::LiveCount(), 0u);
}

// The speed byte a host speed must put on the line: the low byte of the magnitude picks
// the slow (1..79) or the fast command.
uint8_t SpeedByte(int32_t speed) {
    const bool forward = speed > 0;
    const uint32_t magnitude =
        forward ? static_cast<uint32_t>(speed) : 0u - static_cast<uint32_t>(speed);
    const uint32_t low = magnitude & 0xFFu;
    const bool slow = low >= 1 && low <= 79;
    return forward ? (slow ? 0x3D : 0x3E) : (slow ? 0x4D : 0x4E);
}

TEST_F(HostileInput, SpeedsOfAnySizeSendOneDefinedByte) {
    Connect();
    for (int32_t speed : {0, 1, -1, 79, 80, -79, -80, 255, 256, 257, 300, -300, 335, 0x10050,
                          INT_MAX, INT_MIN, INT_MIN + 1}) {
        ctx().nSpeed = speed;
        fake.ClearLog();
        EXPECT_EQ(CallUntouched(47, &data()), 1) << speed;
        EXPECT_EQ(fake.Written(), Bytes{SpeedByte(speed)}) << speed;
    }
}

TEST_F(HostileInput, VariableSpeedsOutsideTheTableSendNothing) {
    Connect();
    for (int32_t speed : {5, -5, 8, -8, 100, 252, 256, -256, 260, INT_MAX, INT_MIN}) {
        ctx().nSpeed = speed;
        fake.ClearLog();
        EXPECT_EQ(CallUntouched(53, &data()), 0) << speed;
        EXPECT_EQ(fake.Trace(), "") << speed;
    }
    for (int32_t speed = -4; speed <= 4; ++speed) {
        ctx().nSpeed = speed;
        fake.ClearLog();
        EXPECT_EQ(CallUntouched(53, &data()), 1) << speed;
        const Bytes sent = fake.Written();
        ASSERT_EQ(sent.size(), 2u) << speed;
        EXPECT_EQ(sent[0], speed > 0 ? 0xB5 : 0xB6) << speed;
        EXPECT_TRUE(sent[1] >= '0' && sent[1] <= '8') << speed;
    }
}

TEST_F(HostileInput, NullRecordsWhereTheRulesAllowThem) {
    Connect();
    SetVideoFormat(0x800);
    for (int cmd = -1000; cmd <= 1000; ++cmd) {
        ASSERT_EQ(Main(cmd, nullptr, &data()), 0) << cmd;
        ASSERT_EQ(Main(cmd, nullptr, nullptr), 0) << cmd;
    }
    EXPECT_EQ(g_nVideoFormat.load(), 0x800);
    EXPECT_EQ(fake.Trace(), "");
    // Identify and the position read need the block; without it they write and send nothing.
    EXPECT_EQ(CallUntouched(1, nullptr), 0);
    EXPECT_EQ(CallUntouched(25, nullptr), 0);
    EXPECT_EQ(fake.Trace(), "");
    // Every other command ignores the block, so a null one changes nothing for them.
    EXPECT_EQ(Main(9, &ctx(), nullptr), 1);
    EXPECT_EQ(Main(19, &ctx(), nullptr), 1);
}

TEST_F(HostileInput, EveryCommandNumberFromMinus1000To1000) {
    Connect();
    ctx().nVideoFormat = 0x400;
    for (int cmd = -1000; cmd <= 1000; ++cmd) {
        if (cmd == 6) {
            continue;  // disconnect is covered above; the deck stays for the others
        }
        SetVideoFormat(1);
        fake.ClearLog();
        ctx().nPosition = 250;
        ctx().nCueOffset = 25;
        ctx().nSpeed = 2;
        ctx().dwPending = 0;
        const int r = kSupported.count(cmd) ? Call(cmd) : CallUntouched(cmd, &data());
        ASSERT_EQ(g_nVideoFormat.load(), 0x400) << cmd;
        if (kSupported.count(cmd) == 0) {
            ASSERT_EQ(r, 0) << cmd;
            ASSERT_EQ(fake.Trace(), "") << cmd;
        } else {
            ASSERT_TRUE(r == 0 || r == 1) << cmd;
        }
        ctx().nVideoFormat = 0x400;  // command 44 writes it
    }
    EXPECT_EQ(device_table::LiveCount(), 1u);
}

// Random bytes in every field the plug-in reads, against a deck that answers and one that
// does not: results are 0 or 1 (33 too), and only each command's own fields change.
TEST_F(HostileInput, RandomRecordsWriteOnlyTheCommandsFields) {
    std::mt19937 rng(0x5500);
    const std::size_t live0 = device_table::LiveCount();
    for (int round = 0; round < 300; ++round) {
        deck.silent = false;
        ctx().nPort = 3;
        Connect();
        deck.silent = round % 3 == 0;
        deck.nakCommands = round % 5 == 0;
        for (std::size_t i = 0; i < 10; ++i) {
            deck.status[i] = static_cast<BYTE>(rng());
        }
        deck.systemByte = static_cast<BYTE>(rng());
        deck.timeReply.assign(rng() % 12, static_cast<BYTE>(rng()));
        const uint32_t handle = ctx().pDevice;
        for (int cmd : kSupported) {
            if (cmd == 5 || cmd == 6) {
                continue;
            }
            ctx().nPosition = static_cast<int32_t>(rng());
            ctx().nCueOffset = static_cast<int32_t>(rng());
            ctx().nSpeed = static_cast<int32_t>(rng() % 3 == 0 ? rng() : rng() % 11) - 5;
            ctx().dwOptions =
                rng() % 2 ? static_cast<DWORD>(rng()) : static_cast<DWORD>(rng() % 16);
            ctx().dwPending =
                rng() % 2 ? static_cast<DWORD>(rng()) : static_cast<DWORD>(rng() % 16);
            ctx().nState = static_cast<int32_t>(rng());
            ctx().nVideoFormat = static_cast<int32_t>(rng() % 2 ? rng() : 1u << (rng() % 24));
            // Now and then a handle of the wrong generation or none at all.
            ctx().pDevice = rng() % 8 == 0 ? static_cast<uint32_t>(rng()) : handle;
            if (ctx().pDevice == handle || device_table::Find(ctx().pDevice) == nullptr) {
                const int r = Call(cmd);
                ASSERT_TRUE(r == 0 || r == 1) << "command " << cmd << " round " << round;
            }
            ctx().pDevice = handle;
        }
        ASSERT_EQ(Call(6), 1);
    }
    EXPECT_EQ(device_table::LiveCount(), live0);
}

}  // namespace
}  // namespace testing_support
