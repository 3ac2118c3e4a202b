/* minimal_host: the smallest useful host of the Tapedeck 5500 module. It identifies the module,
 * connects to a deck, plays for a second, stops through the poll, reads the position as a
 * timecode, cues to one minute and waits for the cue to finish, reads the position again and
 * disconnects, printing each result. See docs/host-interface.md.
 *
 *   Linux:   cc -std=c99 -Wall -o minimal_host minimal_host.c -ldl
 *   Windows: i686-w64-mingw32-gcc -std=c99 -Wall -o minimal_host.exe minimal_host.c
 *   usage:   minimal_host MODULE PORT     (exit status 0 when every call gave its usual result)
 */
#ifndef _WIN32
#define _POSIX_C_SOURCE 200809L /* nanosleep under -std=c99 */
#endif
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
/* WINAPI is __stdcall on x86, where Main pops its own 12 bytes of arguments. */
typedef int(WINAPI* MainFn)(int command, void* context, void* data);
#define LOAD_MODULE(path) ((void*)LoadLibraryA(path))
#define FIND_MAIN(mod) ((MainFn)(void (*)(void))GetProcAddress((HMODULE)(mod), "Main"))
#define UNLOAD_MODULE(mod) FreeLibrary((HMODULE)(mod))
static void PauseMs(int ms) {
    Sleep((DWORD)ms);
}
#else
#include <dlfcn.h>
#include <time.h>
typedef int (*MainFn)(int command, void* context, void* data);
#define LOAD_MODULE(path) dlopen(path, RTLD_NOW | RTLD_LOCAL)
#define FIND_MAIN(mod) ((MainFn)(uintptr_t)dlsym(mod, "Main"))
#define UNLOAD_MODULE(mod) dlclose(mod)
static void PauseMs(int ms) {
    struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
    nanosleep(&t, NULL);
}
#endif

/* The two records, as byte buffers of their documented sizes; offsets from the reference. */
enum { CONTEXT_SIZE = 0x66C, DATA_SIZE = 0x24 };
enum {
    CTX_NAME = 0x004,     /* UTF-16, written by command 1 */
    CTX_DEVICE = 0x20C,   /* deck handle, 0 = not connected */
    CTX_POSITION = 0x41C, /* cue target in frames for command 7 */
    CTX_PORT = 0x424,     /* port number for command 5 */
    CTX_STATE = 0x440,    /* what the plug-in last did */
    CTX_PENDING = 0x444,  /* work the poll still has to do */
    CTX_ANSWER29 = 0x654, /* 1: no cue running, written by command 29 */
    CTX_FORMAT = 0x664    /* video-format code: 1 counts 25 frames a second */
};
enum { DATA_IDENT_FLAG = 0x18, DATA_FRAMES = 0x20 };
enum { FPS = 25, PENDING_STOP = 0x1, STATE_IDLE = 1, CUE_TARGET = 60 * FPS };
/* How often to ask, and for how long: a cue on the virtual deck takes at most 1.5 s. */
enum { ASK_EVERY_MS = 20, CUE_LIMIT_MS = 3000 };

static int32_t Get32(const unsigned char* rec, int off) {
    int32_t v;
    memcpy(&v, rec + off, sizeof v);
    return v;
}

static void Put32(unsigned char* rec, int off, int32_t v) {
    memcpy(rec + off, &v, sizeof v);
}

/* 25: the deck's time as a signed frame count, shown as a timecode at the record's rate. A
 * result of 0 means the deck did not answer: nFrames is then 0, not the deck's time. */
static int ShowPosition(MainFn Main, unsigned char* ctx, unsigned char* data, const char* what) {
    int r = Main(25, ctx, data);
    int32_t frames = Get32(data, DATA_FRAMES);
    long n = frames < 0 ? -(long)frames : (long)frames;
    if (r != 1) {
        printf("%s: result %d, the deck did not answer\n", what, r);
        return 0;
    }
    printf("%s: result %d, %ld frames, %s%02ld:%02ld:%02ld:%02ld\n", what, r, (long)frames,
           frames < 0 ? "-" : "", n / (3600L * FPS), n / (60L * FPS) % 60, n / FPS % 60, n % FPS);
    return 1;
}

int main(int argc, char** argv) {
    static unsigned char ctx[CONTEXT_SIZE]; /* zeroed: no deck, nothing pending */
    static unsigned char data[DATA_SIZE];
    char name[64];
    int i, r, done, ok = 1;
    if (argc != 3) {
        fprintf(stderr, "usage: %s MODULE PORT\n", argv[0]);
        return 2;
    }
    void* module = LOAD_MODULE(argv[1]);
    MainFn Main = module != NULL ? FIND_MAIN(module) : NULL;
    if (Main == NULL) {
        fprintf(stderr, "cannot load %s or find its Main\n", argv[1]);
        return 1;
    }
    Put32(ctx, CTX_FORMAT, 1);

    /* 1: identify. Answers 0 by design; the name is ASCII held in UTF-16 units. */
    r = Main(1, ctx, data);
    for (i = 0; i < (int)sizeof name - 1 && (ctx[CTX_NAME + 2 * i] | ctx[CTX_NAME + 2 * i + 1]);
         ++i) {
        name[i] = (char)ctx[CTX_NAME + 2 * i];
    }
    name[i] = '\0';
    printf("identify: result %d, name \"%s\", flag %d\n", r, name, Get32(data, DATA_IDENT_FLAG));
    ok &= r == 0;

    /* 5: connect. The plug-in opens the port and senses the deck's status. */
    Put32(ctx, CTX_PORT, atoi(argv[2]));
    r = Main(5, ctx, data);
    printf("connect: port %d, result %d, connected %s\n", Get32(ctx, CTX_PORT), r,
           Get32(ctx, CTX_DEVICE) != 0 ? "yes" : "no");
    if (r != 1) {
        UNLOAD_MODULE(module);
        return 1;
    }

    /* 9: play, then let the tape run for a second. */
    r = Main(9, ctx, data);
    printf("play: result %d, state %d\n", r, Get32(ctx, CTX_STATE));
    ok &= r == 1;
    PauseMs(1000);

    /* 10: the poll works off pending flags; flag 1 stops the deck and waits until it has.
     * With nothing left pending, a poll reports the idle state. */
    Put32(ctx, CTX_PENDING, PENDING_STOP);
    for (i = 1; i <= 100; ++i) {
        r = Main(10, ctx, data);
        if (r != 1 || Get32(ctx, CTX_STATE) == STATE_IDLE) {
            break;
        }
        PauseMs(20);
    }
    printf("poll: %d calls, result %d, state %d, pending 0x%X\n", i, r, Get32(ctx, CTX_STATE),
           (unsigned)Get32(ctx, CTX_PENDING));
    ok &= r == 1 && Get32(ctx, CTX_STATE) == STATE_IDLE;

    ok &= ShowPosition(Main, ctx, data, "position");

    /* 7: cue. The result only says the deck took the cue; the tape then winds. Command 29
     * asks whether a cue still runs: ask until bAnswer29 is 1, and give up after a limit. An
     * idle poll says nothing about a cue. */
    Put32(ctx, CTX_POSITION, CUE_TARGET);
    r = Main(7, ctx, data);
    printf("cue: result %d, state %d\n", r, Get32(ctx, CTX_STATE));
    ok &= r == 1;
    for (i = 1; r == 1 && i * ASK_EVERY_MS <= CUE_LIMIT_MS; ++i) {
        PauseMs(ASK_EVERY_MS);
        if (Main(29, ctx, data) == 1 && Get32(ctx, CTX_ANSWER29) == 1) {
            break;
        }
    }
    done = r == 1 && i * ASK_EVERY_MS <= CUE_LIMIT_MS;
    printf("cue wait: %d asks, done %s\n", i, done ? "yes" : "no");
    ok &= done;
    ok &= ShowPosition(Main, ctx, data, "position after cue") &&
          Get32(data, DATA_FRAMES) == CUE_TARGET;

    /* 6: disconnect. Always 1; the record is no longer connected. */
    r = Main(6, ctx, data);
    printf("disconnect: result %d, connected %s\n", r, Get32(ctx, CTX_DEVICE) != 0 ? "yes" : "no");
    ok &= r == 1;

    UNLOAD_MODULE(module);
    return ok ? 0 : 1;
}
