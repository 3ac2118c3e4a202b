// Integer names of the host's plug-in interface, fixed to their Win32 widths on every platform.
#pragma once

#include <cstdint>

using BOOL = int32_t;
using BYTE = uint8_t;
using UINT = uint32_t;
using DWORD = uint32_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
