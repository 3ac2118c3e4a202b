#include <windows.h>

namespace {
// The module's own instance: the host reaches the panel bitmaps through the handle it got
// from LoadLibrary, and this is the same handle for code of ours that needs it.
HINSTANCE g_hModule = nullptr;
}  // namespace

// Loading does nothing else. Unloading does not close decks still connected: the host owns
// their records and decides when they go, and a port handle dies with the process anyway.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*pReserved*/) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hModule = hInstance;
    }
    return TRUE;
}
