// A module with the host entry point and nothing else: what an older build of the plug-in looks
// like to deckctl bitmaps.
extern "C" __attribute__((visibility("default"))) int Main(int, void*, void*) {
    return 0;
}
