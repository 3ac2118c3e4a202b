#include <memory>

#include "deck/vtr_device.h"
#include "plugin/commands.h"
#include "plugin/device_table.h"
#include "plugin/export.h"
#include "plugin/records.h"
#include "timecode/timecode.h"

namespace {

using namespace commands;

// Commands that work on the connected deck; each returns 0 without one.
int WithDeck(int nCommand, DEVICE_CONTEXT& ctx, COMMAND_DATA* pData) {
    if (nCommand == kPosition && pData == nullptr) {
        return 0;
    }
    const std::shared_ptr<CVtrDevice> dev = device_table::Find(ctx.pDevice);
    if (!dev) {
        return 0;
    }
    switch (nCommand) {
        case kCue:
            return CueToPosition(ctx, *dev);
        case kCueOffset:
            return CueToOffset(ctx, *dev);
        case kPosition:
            return Position(*pData, *dev);
        case kCommand3A:
            return Send3A(ctx, *dev);
        case kPoll:
            return Poll(ctx, *dev);
        case kStatus16:
            return Status16(ctx, *dev);
        case kStatus17:
            return Status17(*dev);
        case kStatus18:
            return Status18(ctx, *dev);
        case kStateUpdate:
            return StateUpdate(ctx, *dev);
        case kStatus29:
            return Status29(ctx, *dev);
        case kReady:
            return Ready(ctx, *dev);
        case kStatus33:
            return Status33(*dev);
        case kVideoSystem:
            return VideoSystem(ctx, *dev);
        case kSpeed:
            return Speed(ctx, *dev);
        case kVarSpeed:
            return VarSpeed(ctx, *dev);
        default:
            return 0;
    }
}

int Dispatch(int nCommand, DEVICE_CONTEXT* pContext, COMMAND_DATA* pData) {
    if (pContext == nullptr) {
        return 0;
    }
    DEVICE_CONTEXT& ctx = *pContext;
    // Every call, supported or not, first makes its record's format the current one.
    SetVideoFormat(ctx.nVideoFormat);
    switch (nCommand) {
        case kIdentify:
            return pData != nullptr ? Identify(ctx, *pData) : 0;
        case kConnect:
            return Connect(ctx);
        case kDisconnect:
            return Disconnect(ctx);
        case kIdle:
            return Idle(ctx);
        case kCue:
        case kCueOffset:
        case kCommand3A:
        case kPoll:
        case kStatus16:
        case kStatus17:
        case kStatus18:
        case kStateUpdate:
        case kPosition:
        case kStatus29:
        case kReady:
        case kStatus33:
        case kVideoSystem:
        case kSpeed:
        case kVarSpeed:
            return WithDeck(nCommand, ctx, pData);
        default:
            return 0;
    }
}

}  // namespace

extern "C" int TAPEDECK_CALL Main(int nCommand, DEVICE_CONTEXT* pContext, COMMAND_DATA* pData) {
    // An exception crossing into a host built by another compiler would terminate it.
    try {
        return Dispatch(nCommand, pContext, pData);
    } catch (...) {
        return 0;
    }
}
