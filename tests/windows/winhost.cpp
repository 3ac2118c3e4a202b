// A stand-in for the host application, run under Wine: it loads the module the way the host
// does and drives one deck through it.
//   winhost MODULE.dll PORT session   identity, bitmaps, and a session with a live deck on PORT
//   winhost MODULE.dll PORT silent    the deck on PORT answers nothing: connecting must fail fast
// Exit status 0 when every check passed.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "call_main.h"

namespace {

constexpr size_t kContextSize = 0x66C;  // the host's record; the module stays inside it
constexpr size_t kDataSize = 0x24;
constexpr size_t kSlack = 0x100;  // guard bytes behind each record
constexpr uint8_t kFill = 0xCD;

int g_nPassed = 0;
int g_nFailed = 0;
int g_nCalls = 0;
int g_nStackFaults = 0;

void Check(bool ok, const char* what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
    (ok ? g_nPassed : g_nFailed)++;
}

int32_t Get32(const std::vector<uint8_t>& b, size_t off) {
    int32_t v = 0;
    std::memcpy(&v, b.data() + off, sizeof v);
    return v;
}

void Put32(std::vector<uint8_t>& b, size_t off, int32_t v) {
    std::memcpy(b.data() + off, &v, sizeof v);
}

bool Untouched(const std::vector<uint8_t>& b, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
        if (b[i] != kFill) {
            return false;
        }
    }
    return true;
}

struct Host {
    void* main = nullptr;
    std::vector<uint8_t> ctx = std::vector<uint8_t>(kContextSize + kSlack, kFill);
    std::vector<uint8_t> data = std::vector<uint8_t>(kDataSize + kSlack, kFill);

    Host() {
        Put32(ctx, 0x20C, 0);  // pDevice: not connected
        Put32(ctx, 0x664, 1);  // nVideoFormat: 25 frames a second, as the deck runs
    }
    int Call(int command) {
        int left = 0;
        const int r = CallWithStackCheck(main, command, ctx.data(), data.data(), &left);
        ++g_nCalls;
        if (left != 0) {
            std::printf("FAIL Main(%d) left %d bytes of its arguments on the stack\n", command,
                        left);
            ++g_nStackFaults;
        }
        return r;
    }
    int32_t Device() const { return Get32(ctx, 0x20C); }
};

void CheckIdentity(Host& h) {
    Check(h.Call(1) == 0, "identify returns 0");
    const char16_t name[] = u"Tapedeck 5500";
    Check(std::memcmp(h.ctx.data() + 4, name, sizeof name) == 0,
          "identify writes \"Tapedeck 5500\" in UTF-16 at offset 4");
    const uint8_t guid[16] = {0x91, 0x2A, 0x3C, 0x6F, 0x7E, 0x5B, 0x08, 0x4D,
                              0x9C, 0x14, 0x2E, 0x7A, 0x5B, 0x90, 0xD3, 0xC6};
    Check(std::memcmp(h.data.data() + 4, guid, sizeof guid) == 0, "identify writes the GUID at 4");
    Check(Get32(h.data, 0x18) == 1, "identify sets the flag at 0x18 to 1");
    Check(Untouched(h.data, 0, 4) && Untouched(h.data, 0x14, 0x18) && Untouched(h.data, 0x1C, 0x20),
          "identify leaves the host's bytes of the data block alone");
    Check(
        Untouched(h.ctx, kContextSize, h.ctx.size()) && Untouched(h.data, kDataSize, h.data.size()),
        "nothing is written past either record");
}

void CheckBitmap(HMODULE mod, LPCWSTR name, const char* label, int width, int height, int bits) {
    char what[128];
    std::snprintf(what, sizeof what, "bitmap %s in language 2052 is %dx%d at %d bits", label, width,
                  height, bits);
    const HRSRC res = FindResourceExW(mod, MAKEINTRESOURCEW(2) /* RT_BITMAP */, name,
                                      MAKELANGID(LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED));
    const HGLOBAL loaded = res != nullptr ? LoadResource(mod, res) : nullptr;
    const void* p = loaded != nullptr ? LockResource(loaded) : nullptr;
    const DWORD size = res != nullptr ? SizeofResource(mod, res) : 0;
    if (p == nullptr || size < sizeof(BITMAPINFOHEADER)) {
        Check(false, what);
        return;
    }
    BITMAPINFOHEADER bih;
    std::memcpy(&bih, p, sizeof bih);
    Check(bih.biSize == sizeof bih && bih.biWidth == width && bih.biHeight == height &&
              bih.biBitCount == bits && bih.biCompression == BI_RGB,
          what);
}

void RunSession(Host& h, int port) {
    Put32(h.ctx, 0x424, port);
    Put32(h.ctx, 0x440, 99);  // nState, so that the connect visibly sets it
    Check(h.Call(5) == 1, "connect on the deck's port returns 1");
    Check(h.Device() != 0, "connect stores the deck in the record");
    Check(Get32(h.ctx, 0x440) == 0, "connect sets the state to 0");
    if (h.Device() == 0) {
        return;
    }
    Check(h.Call(5) == 0, "a second connect on the same record is refused");
    Check(h.Call(33) == 1, "status 33: the deck is not in standby");
    Check(h.Call(9) == 1 && Get32(h.ctx, 0x440) == 5, "play is acknowledged, state 5");

    Sleep(300);
    const ULONGLONG t0 = GetTickCount64();
    Check(h.Call(25) == 1, "position read returns 1");
    const int32_t f0 = Get32(h.data, 0x20);
    Sleep(400);
    const ULONGLONG t1 = GetTickCount64();
    h.Call(25);
    const int32_t f1 = Get32(h.data, 0x20);
    const double expected = static_cast<double>(t1 - t0) * 25.0 / 1000.0;
    std::printf("     position %d then %d frames, %llu ms apart\n", f0, f1,
                static_cast<unsigned long long>(t1 - t0));
    Check(f0 >= 0 && f1 - f0 > expected - 6 && f1 - f0 < expected + 6,
          "the position advances at 25 frames a second while playing");

    Check(h.Call(6) == 1 && h.Device() == 0, "disconnect returns 1 and clears the record");
    // The port must have been closed: a fresh connect gets it again.
    Check(h.Call(5) == 1 && h.Device() != 0, "the port can be opened again after disconnect");
    Check(h.Call(6) == 1 && h.Device() == 0, "second disconnect");
    Check(h.Call(6) == 1 && h.Device() == 0, "disconnect without a deck still returns 1");
}

void RunSilent(Host& h, int port) {
    Put32(h.ctx, 0x424, port);
    const ULONGLONG t0 = GetTickCount64();
    const int r = h.Call(5);
    const ULONGLONG ms = GetTickCount64() - t0;
    std::printf("     connect to a silent deck took %llu ms\n",
                static_cast<unsigned long long>(ms));
    Check(r == 0 && h.Device() == 0, "connect to a deck that never answers returns 0");
    Check(ms < 2000, "and gives up within the read time-out, not blocking");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: winhost MODULE.dll PORT session|silent\n");
        return 2;
    }
    const int port = std::atoi(argv[2]);
    const bool silent = std::strcmp(argv[3], "silent") == 0;

    const HMODULE mod = LoadLibraryA(argv[1]);
    Check(mod != nullptr, "LoadLibrary loads the module");
    if (mod == nullptr) {
        std::printf("LoadLibrary error %lu\n", GetLastError());
        return 1;
    }
    if (kStackCheckApplies) {
        // The check must see a wrong convention, or its silence below proves nothing.
        const int left = BytesLeftByCdeclCallee();
        std::printf("     a cdecl callee through the stack check left %d bytes\n", left);
        Check(left == 12, "the stack check reports a cdecl callee's 12 bytes left on the stack");
    }
    Host h;
    h.main = reinterpret_cast<void*>(GetProcAddress(mod, "Main"));
    Check(h.main != nullptr, "GetProcAddress finds Main");
    if (h.main != nullptr) {
        CheckIdentity(h);
        CheckBitmap(mod, L"IDB_VTRINF_PLAYU", "IDB_VTRINF_PLAYU", 65, 26, 8);
        CheckBitmap(mod, MAKEINTRESOURCEW(15001), "#15001", 610, 106, 24);
        if (silent) {
            RunSilent(h, port);
        } else {
            RunSession(h, port);
        }
    }
    if (kStackCheckApplies) {
        std::printf("     %d calls of Main checked on the stack\n", g_nCalls);
        Check(g_nCalls > 0 && g_nStackFaults == 0,
              "every call of Main removed exactly its 12 bytes of arguments (stdcall)");
    }
    Check(FreeLibrary(mod) != 0, "FreeLibrary unloads the module");
    std::printf("winhost: %d passed, %d failed\n", g_nPassed, g_nFailed);
    return g_nFailed == 0 ? 0 : 1;
}
