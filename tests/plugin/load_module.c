/* A plain C host: loads the module, finds Main and identifies the plug-in. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

typedef int (*MainFn)(int, void*, void*);

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: load_module MODULE\n");
        return 2;
    }
    void* module = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    MainFn fn = (MainFn)dlsym(module, "Main");
    if (fn == NULL) {
        fprintf(stderr, "dlsym Main: %s\n", dlerror());
        return 1;
    }
    static uint32_t context[(0x66C + 64) / 4];
    static uint8_t data[0x24 + 16];
    context[0x664 / 4] = 4;
    if (fn(1, context, data) != 0) {
        fprintf(stderr, "identify returned nonzero\n");
        return 1;
    }
    const uint16_t* name = (const uint16_t*)((const uint8_t*)context + 4);
    const char* expected = "Tapedeck 5500";
    for (size_t i = 0; i <= strlen(expected); ++i) {
        if (name[i] != (uint16_t)(unsigned char)expected[i]) {
            fprintf(stderr, "name differs at %zu\n", i);
            return 1;
        }
    }
    static const uint8_t id[16] = {0x91, 0x2A, 0x3C, 0x6F, 0x7E, 0x5B, 0x08, 0x4D,
                                   0x9C, 0x14, 0x2E, 0x7A, 0x5B, 0x90, 0xD3, 0xC6};
    if (memcmp(data + 4, id, 16) != 0 || data[0x18] != 1) {
        fprintf(stderr, "identity differs\n");
        return 1;
    }
    /* A command that needs a deck, on a record without one, is refused. */
    if (fn(10, context, data) != 0 || fn(6, context, data) != 1) {
        fprintf(stderr, "unexpected results without a deck\n");
        return 1;
    }
    printf("loaded %s: Main identifies \"%s\"\n", argv[1], expected);
    dlclose(module);
    return 0;
}
