// The script language of `deckctl run` and `deckctl shell`: host commands by name or number,
// `set FIELD=VALUE`, `sleep MS` and `show`, separated by ';' or newlines.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/hostkit/host_records.h"

namespace hostkit {

struct CommandInfo {
    int number;
    const char* name;
    // Record fields that the command's handy arguments fill, in order (`cue 00:01:00:00`).
    std::vector<const char*> args;
    const char* help;
};

const std::vector<CommandInfo>& Commands();
const CommandInfo* FindCommand(int number);
const CommandInfo* FindCommand(const std::string& name);
// The command's name, or "command N" for a number the module does not know.
std::string CommandName(int number);

// A number or a timecode as written; timecodes become frames only when the step runs, at
// the frame rate of the record's video format as it then stands.
struct Value {
    bool isTime = false;
    bool negative = false;
    int64_t number = 0;
    int hours = 0, minutes = 0, seconds = 0, frames = 0;
    std::string text;
};

class ScriptError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Decimal, 0x hex or negative numbers; "[-]HH:MM:SS:FF" timecodes when `time` is allowed.
Value ParseValue(const std::string& text, bool timeAllowed);
// The value for a field, range-checked for its width. Throws ScriptError.
int64_t Resolve(const Value& value, const FieldInfo& field, int fps);

struct Assignment {
    const FieldInfo* field;
    Value value;
};

struct Step {
    enum class Kind { kCommand, kSet, kSleep, kShow };
    Kind kind = Kind::kCommand;
    int command = 0;               // kCommand
    std::vector<Assignment> sets;  // kSet, and the handy arguments of kCommand
    int64_t millis = 0;            // kSleep
    std::string text;              // the statement as written, for messages
};

// Parses a whole script up front, so that a typo fails before anything reaches the deck.
// Throws ScriptError naming the statement.
std::vector<Step> ParseScript(const std::string& script);

}  // namespace hostkit
