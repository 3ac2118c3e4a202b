#include <windows.h>

// The module's own instance, kept at load for code of ours that has to name the module (the
// host itself reaches the panel bitmaps through the handle LoadLibrary gave it). External
// linkage so that the store is kept even while nothing here reads it yet.
extern HINSTANCE g_hModule;
HINSTANCE g_hModule = nullptr;

// Loading does nothing else. Unloading does not close decks still connected: the host owns
// their records and decides when they go, and a port handle dies with the process anyway.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*pReserved*/) {
    if (dwReason == DLL_PROCESS_ATTACH) {
        g_hModule = hInstance;
    }
    return TRUE;
}
