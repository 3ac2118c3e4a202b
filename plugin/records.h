// The host's two records, shared byte for byte with the host (32-bit little-endian layout).
// Only the named fields belong to the plug-in; the reserved bytes are the host's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostsupport/win_types.h"

struct DEVICE_CONTEXT {
    BYTE reserved000[0x004];
    char16_t szName[260];  // 0x004..0x20B, UTF-16, NUL-terminated
    uint32_t pDevice;      // deck handle; 0 = not connected
    BYTE reserved210[0x41C - 0x210];
    int32_t nPosition;  // frames
    BYTE reserved420[0x424 - 0x420];
    int32_t nPort;
    BYTE reserved428[0x430 - 0x428];
    int32_t nCueOffset;  // frames
    BYTE reserved434[0x438 - 0x434];
    int32_t nSpeed;
    DWORD dwOptions;
    int32_t nState;
    DWORD dwPending;
    BYTE reserved448[0x654 - 0x448];
    int32_t bAnswer29;
    int32_t bAnswer30;
    BYTE reserved65C[0x664 - 0x65C];
    int32_t nVideoFormat;
    int32_t bAnswer18;
};

static_assert(offsetof(DEVICE_CONTEXT, szName) == 0x004);
static_assert(offsetof(DEVICE_CONTEXT, pDevice) == 0x20C);
static_assert(offsetof(DEVICE_CONTEXT, nPosition) == 0x41C);
static_assert(offsetof(DEVICE_CONTEXT, nPort) == 0x424);
static_assert(offsetof(DEVICE_CONTEXT, nCueOffset) == 0x430);
static_assert(offsetof(DEVICE_CONTEXT, nSpeed) == 0x438);
static_assert(offsetof(DEVICE_CONTEXT, dwOptions) == 0x43C);
static_assert(offsetof(DEVICE_CONTEXT, nState) == 0x440);
static_assert(offsetof(DEVICE_CONTEXT, dwPending) == 0x444);
static_assert(offsetof(DEVICE_CONTEXT, bAnswer29) == 0x654);
static_assert(offsetof(DEVICE_CONTEXT, bAnswer30) == 0x658);
static_assert(offsetof(DEVICE_CONTEXT, nVideoFormat) == 0x664);
static_assert(offsetof(DEVICE_CONTEXT, bAnswer18) == 0x668);
static_assert(sizeof(DEVICE_CONTEXT) == 0x66C, "the plug-in touches nothing beyond 0x66B");

struct COMMAND_DATA {
    BYTE reserved00[0x04];
    BYTE idPlugin[16];  // GUID bytes as they lie in memory
    BYTE reserved14[0x18 - 0x14];
    int32_t nIdentFlag;
    BYTE reserved1C[0x20 - 0x1C];
    int32_t nFrames;
};

static_assert(offsetof(COMMAND_DATA, idPlugin) == 0x04);
static_assert(offsetof(COMMAND_DATA, nIdentFlag) == 0x18);
static_assert(offsetof(COMMAND_DATA, nFrames) == 0x20);
static_assert(sizeof(COMMAND_DATA) == 0x24, "the plug-in touches nothing beyond 0x23");
