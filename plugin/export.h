// Calling convention and export of the module's entry points, in one place.
#pragma once

#if defined(_WIN32)
#if defined(__i386__) || defined(_M_IX86)
#define TAPEDECK_CALL __stdcall
#else
#define TAPEDECK_CALL
#endif
#define TAPEDECK_EXPORT
#else
#define TAPEDECK_CALL
#define TAPEDECK_EXPORT __attribute__((visibility("default")))
#endif

struct DEVICE_CONTEXT;
struct COMMAND_DATA;

extern "C" TAPEDECK_EXPORT int TAPEDECK_CALL Main(int nCommand, DEVICE_CONTEXT* pContext,
                                                  COMMAND_DATA* pData);
