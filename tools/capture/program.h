// Another program run to its end, its output kept: for the conformance check, which hands a
// finished file to a checker of its own. Never waits past a time limit.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace capture {

struct ProgramRun {
    bool started = false;   // false: it could not be started (`error` says why)
    bool timedOut = false;  // killed at the limit
    int status = -1;        // its exit status when it exited; -1 when killed or not started
    std::string out;        // its standard output, up to the limit given
    std::string error;
};

// Runs `argv` (looked up in PATH) with `env` added to this process's environment, its standard
// input and error on /dev/null, and waits at most `limit`; output past `maxOut` bytes is dropped.
ProgramRun RunProgram(const std::vector<std::string>& argv,
                      const std::vector<std::pair<std::string, std::string>>& env,
                      std::chrono::milliseconds limit, std::size_t maxOut);

}  // namespace capture
