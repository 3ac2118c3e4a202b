#include "tools/hostkit/script.h"

#include <strings.h>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "plugin/commands.h"

namespace hostkit {

const std::vector<CommandInfo>& Commands() {
    // Numbered as the module's own header numbers them.
    static const std::vector<CommandInfo> table = {
        {commands::kIdentify, "identify", {}, "name and identity of the plug-in"},
        {commands::kConnect, "connect", {"nPort"}, "open the deck on nPort"},
        {commands::kDisconnect, "disconnect", {}, "close the deck"},
        {commands::kCue, "cue", {"nPosition"}, "cue to nPosition"},
        {commands::kCueOffset,
         "cue-offset",
         {"nPosition", "nCueOffset"},
         "cue to nPosition - nCueOffset"},
        {commands::kCommand3A, "play", {}, "deck command 0x3A"},
        {commands::kPoll, "poll", {}, "report the state, work off one pending flag of dwPending"},
        {commands::kStatus16, "status16", {}, "status test; state 3 when it passes"},
        {commands::kStatus17, "status17", {}, "the same status test, writing nothing"},
        {commands::kStatus18, "status18", {}, "status answer into bAnswer18"},
        {commands::kIdle, "idle", {}, "idle state report, no deck traffic"},
        {commands::kStateUpdate, "update", {}, "state update from the deck's status"},
        {commands::kPosition, "position", {}, "the deck's time into nFrames"},
        {commands::kStatus29, "status29", {}, "status answer into bAnswer29"},
        {commands::kReady, "ready", {}, "ready test into bAnswer30"},
        {commands::kStatus33, "status", {}, "status test as the result"},
        {commands::kVideoSystem, "video-system", {}, "the deck's video system into nVideoFormat"},
        {commands::kSpeed, "speed", {"nSpeed"}, "speed from nSpeed, forward above 0"},
        {commands::kVarSpeed, "varspeed", {"nSpeed"}, "variable speed from nSpeed, -4..4"},
    };
    return table;
}

const CommandInfo* FindCommand(int number) {
    for (const CommandInfo& c : Commands()) {
        if (c.number == number) {
            return &c;
        }
    }
    return nullptr;
}

const CommandInfo* FindCommand(const std::string& name) {
    for (const CommandInfo& c : Commands()) {
        if (strcasecmp(c.name, name.c_str()) == 0) {
            return &c;
        }
    }
    return nullptr;
}

std::string CommandName(int number) {
    const CommandInfo* c = FindCommand(number);
    return c != nullptr ? c->name : "command " + std::to_string(number);
}

namespace {

bool ParseInteger(const std::string& text, int64_t* out) {
    // Decimal unless it says 0x: a leading zero is not octal to a host counting frames.
    std::string body = text;
    const bool negative = !body.empty() && (body[0] == '-' || body[0] == '+');
    const bool minus = negative && body[0] == '-';
    if (negative) {
        body.erase(0, 1);
    }
    int base = 10;
    if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
        base = 16;
        body.erase(0, 2);
    }
    if (body.empty() || !std::isxdigit(static_cast<unsigned char>(body[0]))) {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(body.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > (1ULL << 40)) {
        return false;
    }
    *out = minus ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

bool ParseTimecode(const std::string& text, Value* v) {
    std::string body = text;
    v->negative = !body.empty() && body[0] == '-';
    if (v->negative) {
        body.erase(0, 1);
    }
    int fields[4];
    std::size_t at = 0;
    for (int i = 0; i < 4; ++i) {
        const std::size_t start = at;
        while (at < body.size() && std::isdigit(static_cast<unsigned char>(body[at]))) {
            ++at;
        }
        if (at - start < 1 || at - start > 2) {
            return false;
        }
        fields[i] = std::atoi(body.substr(start, at - start).c_str());
        if (i < 3) {
            if (at >= body.size() || body[at] != ':') {
                return false;
            }
            ++at;
        }
    }
    if (at != body.size() || fields[1] > 59 || fields[2] > 59) {
        return false;
    }
    v->isTime = true;
    v->hours = fields[0];
    v->minutes = fields[1];
    v->seconds = fields[2];
    v->frames = fields[3];
    return true;
}

std::vector<std::string> Words(const std::string& statement) {
    std::istringstream in(statement);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

Assignment ParseAssignment(const std::string& name, const std::string& value) {
    const FieldInfo* field = FindField(name);
    if (field == nullptr) {
        throw ScriptError("unknown field '" + name + "'");
    }
    if (field->size != 4) {
        throw ScriptError(std::string(field->name) + " cannot be set");
    }
    return Assignment{field, ParseValue(value, field->kind == FieldKind::kFrames)};
}

// set A=1 B=2, set A 1, or A=1 on its own.
Step ParseSet(const std::vector<std::string>& words) {
    Step step;
    step.kind = Step::Kind::kSet;
    std::size_t i = strcasecmp(words[0].c_str(), "set") == 0 ? 1 : 0;
    if (i == words.size()) {
        throw ScriptError("set needs FIELD=VALUE");
    }
    if (words.size() == i + 2 && words[i].find('=') == std::string::npos) {
        step.sets.push_back(ParseAssignment(words[i], words[i + 1]));
        return step;
    }
    for (; i < words.size(); ++i) {
        const std::size_t eq = words[i].find('=');
        if (eq == std::string::npos) {
            throw ScriptError("expected FIELD=VALUE, got '" + words[i] + "'");
        }
        step.sets.push_back(ParseAssignment(words[i].substr(0, eq), words[i].substr(eq + 1)));
    }
    return step;
}

// A host command by name or number, with values for the fields it names.
Step ParseCommand(const std::vector<std::string>& words) {
    Step step;
    const std::string& head = words[0];
    const CommandInfo* info = FindCommand(head);
    int64_t number = 0;
    if (info == nullptr && ParseInteger(head, &number)) {
        if (number < INT32_MIN || number > INT32_MAX) {
            throw ScriptError("command number out of range: " + head);
        }
        info = FindCommand(static_cast<int>(number));
        step.command = static_cast<int>(number);  // numbers the module refuses are allowed
    } else if (info == nullptr) {
        throw ScriptError("unknown command '" + head + "'");
    } else {
        step.command = info->number;
    }
    const std::size_t given = words.size() - 1;
    const std::size_t allowed = info != nullptr ? info->args.size() : 0;
    if (given > allowed) {
        throw ScriptError(CommandName(step.command) +
                          (allowed == 0 ? " takes no value"
                                        : " takes at most " + std::to_string(allowed) +
                                              (allowed == 1 ? " value" : " values")));
    }
    for (std::size_t i = 0; i < given; ++i) {
        step.sets.push_back(ParseAssignment(info->args[i], words[i + 1]));
    }
    if (step.command == 53 && given == 1 && !step.sets[0].value.isTime &&
        (step.sets[0].value.number < -4 || step.sets[0].value.number > 4)) {
        // The deck knows nine variable speeds; `set nSpeed=...; 53` still sends anything.
        throw ScriptError("varspeed takes -4 to 4");
    }
    return step;
}

Step ParseStatement(const std::vector<std::string>& words) {
    Step step;
    const std::string& head = words[0];
    if (strcasecmp(head.c_str(), "set") == 0 || head.find('=') != std::string::npos) {
        return ParseSet(words);
    }
    if (strcasecmp(head.c_str(), "sleep") == 0) {
        step.kind = Step::Kind::kSleep;
        if (words.size() != 2 || !ParseInteger(words[1], &step.millis) || step.millis < 0 ||
            step.millis > 600000) {
            throw ScriptError("sleep takes milliseconds, 0 to 600000");
        }
        return step;
    }
    if (strcasecmp(head.c_str(), "show") == 0) {
        if (words.size() != 1) {
            throw ScriptError("show takes no value");
        }
        step.kind = Step::Kind::kShow;
        return step;
    }
    return ParseCommand(words);
}

}  // namespace

Value ParseValue(const std::string& text, bool timeAllowed) {
    Value v;
    v.text = text;
    if (text.find(':') != std::string::npos) {
        if (!timeAllowed) {
            throw ScriptError("a timecode is not allowed here: '" + text + "'");
        }
        if (!ParseTimecode(text, &v)) {
            throw ScriptError("bad timecode '" + text + "' (want HH:MM:SS:FF)");
        }
        return v;
    }
    if (!ParseInteger(text, &v.number)) {
        throw ScriptError("bad number '" + text + "'");
    }
    return v;
}

int64_t Resolve(const Value& value, const FieldInfo& field, int fps) {
    int64_t n = value.number;
    if (value.isTime) {
        if (value.frames >= fps) {
            throw ScriptError("frames " + std::to_string(value.frames) + " in '" + value.text +
                              "' do not fit " + std::to_string(fps) + " frames a second");
        }
        n = ((int64_t{value.hours} * 60 + value.minutes) * 60 + value.seconds) * fps + value.frames;
        if (value.negative) {
            n = -n;
        }
    }
    const bool isUnsigned = field.kind == FieldKind::kFlags || field.kind == FieldKind::kHandle;
    const int64_t lo = isUnsigned ? 0 : INT32_MIN;
    const int64_t hi = isUnsigned ? int64_t{UINT32_MAX} : INT32_MAX;
    if (n < lo || n > hi) {
        throw ScriptError(std::string(field.name) + " out of range: " + value.text);
    }
    return n;
}

std::vector<Step> ParseScript(const std::string& script) {
    std::vector<Step> steps;
    int line = 1;
    std::string current;
    int currentLine = 1;
    auto finish = [&]() {
        const std::vector<std::string> words = Words(current);
        if (!words.empty()) {
            try {
                Step step = ParseStatement(words);
                std::string text;
                for (const std::string& w : words) {
                    text += (text.empty() ? "" : " ") + w;
                }
                step.text = text;
                steps.push_back(std::move(step));
            } catch (const ScriptError& e) {
                throw ScriptError("line " + std::to_string(currentLine) + ": " + e.what());
            }
        }
        current.clear();
    };
    bool comment = false;
    for (const char c : script) {
        if (c == '\n' || c == ';') {
            finish();
            if (c == '\n') {
                ++line;
                comment = false;
            }
            currentLine = line;
            continue;
        }
        if (c == '#') {
            comment = true;
        }
        if (!comment) {
            current += c;
        }
    }
    finish();
    return steps;
}

}  // namespace hostkit
