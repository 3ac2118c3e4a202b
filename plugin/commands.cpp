#include "plugin/commands.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "deck/vtr_device.h"
#include "hostsupport/hostsupport.h"
#include "plugin/device_table.h"
#include "timecode/timecode.h"

namespace commands {

const char16_t kDisplayName[] = u"Tapedeck 5500";

// {6F3C2A91-5B7E-4D08-9C14-2E7A5B90D3C6} as it lies in memory.
const BYTE kPluginId[16] = {0x91, 0x2A, 0x3C, 0x6F, 0x7E, 0x5B, 0x08, 0x4D,
                            0x9C, 0x14, 0x2E, 0x7A, 0x5B, 0x90, 0xD3, 0xC6};

namespace {

// Status bits the commands test, as byte index x 256 + bit.
constexpr UINT kStatusCueBlocked = 0x0003;    // byte 0 bit 3
constexpr UINT kStatusBusy = 0x0201;          // byte 2 bit 1
constexpr UINT kStatusStopDone = 0x0304;      // byte 3 bit 4
constexpr UINT kStatusFlag8Pending = 0x0305;  // byte 3 bit 5
constexpr UINT kStatusAnswer18 = 0x0307;      // byte 3 bit 7
constexpr UINT kStatusAnswer29 = 0x0503;      // byte 5 bit 3

constexpr DWORD kOptionIdleState8 = 1u << 3;

int32_t IdleState(const DEVICE_CONTEXT& ctx) {
    return (ctx.dwOptions & kOptionIdleState8) ? 8 : 1;
}

BOOL SplitAndCue(CVtrDevice& dev, int nFrames, BOOL bPositive) {
    BYTE h = 0;
    BYTE m = 0;
    BYTE s = 0;
    BYTE f = 0;
    FramesToHmsf(nFrames, &h, &m, &s, &f);
    return dev.Cue(h, m, s, f, bPositive);
}

// Two's-complement negation without signed overflow (the magnitude of INT32_MIN stays 2^31).
int NegateWrapping(int32_t v) {
    return static_cast<int>(0u - static_cast<uint32_t>(v));
}

}  // namespace

int Identify(DEVICE_CONTEXT& ctx, COMMAND_DATA& data) {
    _zvstrcpy(ctx.szName, kDisplayName);
    std::memcpy(data.idPlugin, kPluginId, sizeof kPluginId);
    data.nIdentFlag = 1;
    return 0;  // the host expects 0 from identify
}

int Connect(DEVICE_CONTEXT& ctx) {
    if (ctx.nPort <= 0 || ctx.pDevice != 0) {
        return 0;
    }
    std::shared_ptr<CVtrDevice> dev;
    try {
        dev = std::make_shared<CVtrDevice>();
    } catch (const std::bad_alloc&) {
        return 0;
    }
    if (!dev->Open(ctx.nPort)) {
        return 0;  // the deck object closes the port as it goes
    }
    const uint32_t handle = device_table::Add(std::move(dev));
    if (handle == 0) {
        return 0;
    }
    ctx.pDevice = handle;
    ctx.nState = 0;
    return 1;
}

int Disconnect(DEVICE_CONTEXT& ctx) {
    // The deck closes its port when the last reference goes, outside the table's lock.
    device_table::Remove(ctx.pDevice);
    ctx.pDevice = 0;
    return 1;
}

int Idle(DEVICE_CONTEXT& ctx) {
    if (ctx.dwPending != 0) {
        return 0;
    }
    ctx.nState = IdleState(ctx);
    return 1;
}

int CueToPosition(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    // A negative count splits into no meaningful time; refuse it before touching the deck.
    if (ctx.nPosition < 0) {
        return 0;
    }
    if (!dev.SenseStatus() || !dev.IsCueReady()) {
        return 0;
    }
    if (!SplitAndCue(dev, ctx.nPosition, TRUE)) {
        return 0;
    }
    ctx.nState = 2;
    return 1;
}

int CueToOffset(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    const uint32_t d = static_cast<uint32_t>(ctx.nPosition) - static_cast<uint32_t>(ctx.nCueOffset);
    // 2^31 before zero has no positive 32-bit magnitude to split; refuse it before the deck.
    if (d == 0x80000000u) {
        return 0;
    }
    if (!dev.SenseStatus() || !dev.IsCueReady()) {
        return 0;
    }
    BOOL ok = FALSE;
    if ((d & 0x80000000u) == 0) {
        ok = SplitAndCue(dev, static_cast<int>(d), TRUE);
    } else {
        const int n = NegateWrapping(static_cast<int32_t>(d));
        // A deck without signed times refuses the negative form; the same magnitude then
        // goes out positive.
        ok = SplitAndCue(dev, n, FALSE) || SplitAndCue(dev, n, TRUE);
    }
    if (!ok) {
        return 0;
    }
    ctx.nState = 4;
    return 1;
}

int Position(COMMAND_DATA& data, CVtrDevice& dev) {
    BOOL answered = FALSE;
    const DWORD t = dev.ReadTime(&answered);
    const double rate = GetFrameRate();
    const int sys = dev.SenseVideoSystem();
    if (sys == 4 && t > 0x10000000u) {
        // Later than 10 hours on a signed deck: a time below zero, counted back from 24 hours.
        const int r = DoubleToInt(rate);
        const int h = static_cast<int>(BcdToBin(static_cast<BYTE>(t >> 24)));
        const int m = static_cast<int>(BcdToBin(static_cast<BYTE>(t >> 16)));
        const int s = static_cast<int>(BcdToBin(static_cast<BYTE>(t >> 8)));
        const int f = static_cast<int>(BcdToBin(static_cast<BYTE>(t)));
        const int secs = (23 - h) * 3600 + (59 - m) * 60 + (59 - s);
        const int frames = r - f;
        data.nFrames = NegateWrapping(DoubleToInt(secs * rate + frames));
    } else {
        data.nFrames = TimeDataToFrames(t, rate);
    }
    // nFrames is 0 either way, as a host that reads only the field has always seen; the result
    // tells a failed read from a deck really at 00:00:00:00.
    return answered ? 1 : 0;
}

int Send3A(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    if (!dev.Command3A()) {
        return 0;
    }
    ctx.nState = 5;
    return 1;
}

int Poll(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    dev.SenseStatus();  // on failure the poll goes on with the bytes as they stand
    ctx.nState = 7;
    const DWORD p = ctx.dwPending;
    if (p == 0) {
        ctx.nState = IdleState(ctx);
        return 1;
    }
    if (p & kPendingStop) {
        if (dev.TestStatus(kStatusStopDone)) {
            ctx.dwPending = p & ~kPendingStop;
            return 1;
        }
        return dev.Command3F();
    }
    if (p & kPending4B) {
        ctx.dwPending = p & ~kPending4B;
        return dev.Command4B();
    }
    if (p & kPendingCue) {
        ctx.dwPending = p & ~kPendingCue;
        if (ctx.nPosition < 0) {
            return 0;  // no meaningful time to send
        }
        return SplitAndCue(dev, ctx.nPosition, TRUE);
    }
    if (p == kPending2A) {
        const bool flag8Done = ctx.dwOptions == 2 && !dev.TestStatus(kStatusFlag8Pending);
        if (flag8Done || dev.TestStatus(kStatusCueBlocked)) {
            ctx.dwPending = p & ~kPending2A;
            return 1;
        }
        dev.Command2A();
        return 1;
    }
    ctx.dwPending = p & ~kPending2A;
    return 1;
}

int Status16(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    if (!dev.SenseStatus() || dev.TestStatus(kStatusBusy)) {
        return 0;
    }
    ctx.nState = 3;
    return 1;
}

int Status17(CVtrDevice& dev) {
    return dev.SenseStatus() && !dev.TestStatus(kStatusBusy) ? 1 : 0;
}

int Status18(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    if (!dev.SenseStatus()) {
        return 0;
    }
    ctx.bAnswer18 = dev.TestStatus(kStatusAnswer18) ? 1 : 0;
    return 1;
}

int StateUpdate(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    dev.SenseStatus();
    if (dev.TestStatus(kStatusCueBlocked)) {
        ctx.nState = 0;
    } else if (ctx.nState == 0) {
        ctx.nState = 1;
    }
    return 1;
}

int Status29(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    if (!dev.SenseStatus()) {
        return 0;
    }
    ctx.bAnswer29 = dev.TestStatus(kStatusAnswer29) ? 0 : 1;
    return 1;
}

int Ready(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    for (int i = 0; i < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (dev.SenseStatus()) {
            ctx.bAnswer30 = dev.IsReady() ? 1 : 0;
            return 1;
        }
    }
    ctx.bAnswer30 = 0;
    return 1;
}

int Status33(CVtrDevice& dev) {
    dev.SenseStatus();
    return dev.TestStatus(kStatusCueBlocked) ? 0 : 1;
}

int VideoSystem(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    ctx.nVideoFormat = dev.SenseVideoSystem() == 1 ? 1 : 0;
    return 1;
}

int Speed(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    const int32_t speed = ctx.nSpeed;
    if (speed > 0) {
        dev.SpeedForward(speed & 0xFF);
    } else {
        dev.SpeedReverse(NegateWrapping(speed));
    }
    return 1;
}

int VarSpeed(DEVICE_CONTEXT& ctx, CVtrDevice& dev) {
    const int32_t speed = ctx.nSpeed;
    if (speed < -4 || speed > 4) {
        return 0;  // the variable-speed table has no entry for it
    }
    if (speed > 0) {
        dev.VarSpeedForward(speed & 0xFF);
    } else {
        dev.VarSpeedReverse(-speed);
    }
    return 1;
}

}  // namespace commands
