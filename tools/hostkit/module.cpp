#include "tools/hostkit/module.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace hostkit {

Module::~Module() {
    if (m_Handle != nullptr) {
        dlclose(m_Handle);
    }
}

bool Module::Load(const std::string& path, std::string* error) {
    // A bare name would send dlopen searching the library path; a host names its plug-in file.
    const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
    void* handle = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        *error = "cannot load module " + path + ": " + dlerror();
        return false;
    }
    void* entry = dlsym(handle, "Main");
    if (entry == nullptr) {
        *error = "module " + path + " has no entry point Main";
        dlclose(handle);
        return false;
    }
    if (m_Handle != nullptr) {
        dlclose(m_Handle);
    }
    m_Handle = handle;
    m_Main = reinterpret_cast<MainFn>(entry);
    m_Path = path;
    return true;
}

int Module::Call(int command, HostRecords& records) const {
    return m_Main(command, records.Context(), records.Data());
}

void* Module::Symbol(const char* name) const {
    return m_Handle != nullptr ? dlsym(m_Handle, name) : nullptr;
}

std::string DefaultModulePath() {
    char exe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    std::vector<std::string> candidates;
    if (n > 0) {
        exe[n] = '\0';
        std::string dir(exe);
        dir.erase(dir.rfind('/'));
        // The build tree, then installed: the package's private plug-in folder (/usr/bin ->
        // /usr/lib/tapedeck5500, or the same under any root it was unpacked to), then ../lib
        // and beside deckctl for hand-made layouts.
        candidates = {dir + "/../../plugin/libtapedeck5500.so",
                      dir + "/../lib/tapedeck5500/libtapedeck5500.so",
                      dir + "/../lib/libtapedeck5500.so", dir + "/libtapedeck5500.so"};
    }
#ifdef HOSTKIT_BUILT_MODULE
    candidates.push_back(HOSTKIT_BUILT_MODULE);
#endif
    for (const std::string& c : candidates) {
        if (access(c.c_str(), R_OK) == 0) {
            return c;
        }
    }
    return {};
}

}  // namespace hostkit
