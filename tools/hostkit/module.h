// The plug-in module, loaded as a host loads it: dlopen, then the one entry point `Main`.
#pragma once

#include <string>

#include "tools/hostkit/host_records.h"

namespace hostkit {

class Module {
  public:
    Module() = default;
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    bool Load(const std::string& path, std::string* error);
    bool Loaded() const { return m_Main != nullptr; }
    const std::string& Path() const { return m_Path; }

    // One host call on the two records, as they stand.
    int Call(int command, HostRecords& records) const;

    // Another export of the loaded module, or null when it has none by that name.
    void* Symbol(const char* name) const;

  private:
    using MainFn = int (*)(int, void*, void*);
    void* m_Handle = nullptr;
    MainFn m_Main = nullptr;
    std::string m_Path;
};

// Where the module is when --module is not given: next to the build tree deckctl came from,
// in ../lib/tapedeck5500 of an installation (the package's private folder), ../lib or beside
// deckctl. Empty when none of them exists.
std::string DefaultModulePath();

}  // namespace hostkit
