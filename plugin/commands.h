// The host commands, one function each. Main dispatches to them after the entry step.
#pragma once

#include "plugin/records.h"

class CVtrDevice;

namespace commands {

// Host command numbers.
enum : int {
    kIdentify = 1,
    kConnect = 5,
    kDisconnect = 6,
    kCue = 7,
    kCueOffset = 8,
    kCommand3A = 9,
    kPoll = 10,
    kStatus16 = 16,
    kStatus17 = 17,
    kStatus18 = 18,
    kIdle = 19,
    kStateUpdate = 24,
    kPosition = 25,
    kStatus29 = 29,
    kReady = 30,
    kStatus33 = 33,
    kVideoSystem = 44,
    kSpeed = 47,
    kVarSpeed = 53,
};

// The pending-action flags of dwPending that the poll (command 10) works off, one a call.
enum : DWORD {
    kPendingStop = 1u << 0,
    kPending4B = 1u << 1,
    kPendingCue = 1u << 2,
    kPending2A = 1u << 3,
};

// The display name and identity command 1 reports.
extern const char16_t kDisplayName[];
extern const BYTE kPluginId[16];

int Identify(DEVICE_CONTEXT& ctx, COMMAND_DATA& data);
int Connect(DEVICE_CONTEXT& ctx);
int Disconnect(DEVICE_CONTEXT& ctx);
int Idle(DEVICE_CONTEXT& ctx);

// Commands that need a live deck.
int CueToPosition(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int CueToOffset(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Position(COMMAND_DATA& data, CVtrDevice& dev);
int Send3A(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Poll(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Status16(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Status17(CVtrDevice& dev);
int Status18(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int StateUpdate(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Status29(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Ready(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Status33(CVtrDevice& dev);
int VideoSystem(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int Speed(DEVICE_CONTEXT& ctx, CVtrDevice& dev);
int VarSpeed(DEVICE_CONTEXT& ctx, CVtrDevice& dev);

}  // namespace commands
