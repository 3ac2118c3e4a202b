#include "tools/decks/deck_action.h"

#include <cstdio>
#include <map>
#include <optional>

namespace decks {

const char* const kDeckActions =
    "connect, disconnect, play, stop, pause, ffwd, rew, shuttle, cue, mark, clearmarks, rate";

ActionAnswer Refusal(int status, const std::string& words) {
    return ActionAnswer{status, Json{{"error", words}}};
}

namespace {

const std::map<std::string, DeckAction>& DeckActions() {
    static const std::map<std::string, DeckAction> actions = {
        {"connect", DeckAction::kConnect}, {"disconnect", DeckAction::kDisconnect},
        {"play", DeckAction::kPlay},       {"stop", DeckAction::kStop},
        {"pause", DeckAction::kPause},     {"ffwd", DeckAction::kFfwd},
        {"rew", DeckAction::kRew},         {"shuttle", DeckAction::kShuttle},
        {"cue", DeckAction::kCue}};
    return actions;
}

// Frames from {"timecode": ...} or {"frames": N}, checked against the deck's rate; "" when
// they are fine (or absent and not required), else what is wrong, for a 400.
std::string FramesOf(const Json& body, const DeckState& now, bool required,
                     std::optional<int64_t>* out) {
    const int64_t day = hostkit::DayFrames(now.rate->base);
    if (body.contains("timecode")) {
        if (!body["timecode"].is_string()) {
            return "timecode must be text, [-]HH:MM:SS:FF";
        }
        const hostkit::ParsedTimecode p =
            hostkit::ParseTimecode(body["timecode"].get<std::string>(), *now.rate);
        if (!p.ok) {
            return "timecode " + p.error;
        }
        *out = p.frames;
    } else if (body.contains("frames")) {
        if (!body["frames"].is_number_integer() || body["frames"].get<int64_t>() >= day ||
            body["frames"].get<int64_t>() <= -day) {
            return "frames must be a whole number within 24 hours";
        }
        *out = body["frames"].get<int64_t>();
    } else if (required) {
        return "give {\"timecode\": \"HH:MM:SS:FF\"} or {\"frames\": N}";
    }
    return "";
}

// Above 30 fps the line carries frame pairs: a label the deck cannot be sent, nor ever
// reports, is refused; "" when the line carries it.
std::string Sendable(int64_t frames, const DeckState& now) {
    return hostkit::LineRefusal(frames, *now.rate);
}

// The value a command takes from its body: the shuttle's speed or the cue's frames; "" when
// the body is good, else what is wrong, for a 400.
std::string CommandValue(DeckAction action, const Json& body, const DeckState& now,
                         int64_t* value) {
    *value = 0;
    if (action == DeckAction::kShuttle) {
        const Json speed = body.value("speed", Json());
        if (!speed.is_number_integer() || speed.get<int64_t>() < -4 || speed.get<int64_t>() > 4) {
            return "shuttle wants {\"speed\": N} with N from -4 to 4";
        }
        *value = speed.get<int64_t>();
    } else if (action == DeckAction::kCue) {
        std::optional<int64_t> target;
        std::string bad = FramesOf(body, now, true, &target);
        if (!bad.empty()) {
            return bad;
        }
        if (*target < 0 && now.videoSystem != 4) {
            return "the deck on port " + std::to_string(now.port) +
                   " has no times below zero (only video-system 4 decks do)";
        }
        const hostkit::TimeBase& base = now.rate->base;
        if (now.videoSystem == 4 &&
            (*target < hostkit::SignedEarliest(base) || *target > hostkit::SignedLatest(base))) {
            // The deck would go there as the time a day away, and show that.
            return "the deck on port " + std::to_string(now.port) +
                   " is a video-system-4 deck, whose times run from " +
                   hostkit::FormatTimecode(hostkit::SignedEarliest(base), base) + " to " +
                   hostkit::FormatTimecode(hostkit::SignedLatest(base), base) + "; " +
                   hostkit::FormatTimecode(*target, base) + " is not one of them";
        }
        *value = *target;
        return Sendable(*target, now);
    }
    return "";
}

// {"ok", "command", "result"} and the error, as a client hears the deck's answer.
Json ReplyJson(const DeckReply& r) {
    Json j{{"ok", r.ok},
           {"command", r.command ? Json(*r.command) : Json(nullptr)},
           {"result", r.result ? Json(*r.result) : Json(nullptr)}};
    if (!r.ok) {
        j["error"] = r.error;
    }
    return j;
}

// What a deck command came to: 504 if the deck's thread never took it, 503 if it was
// refused unrun, 409 with the deck's answer if the deck refused it, else the deck's answer.
ActionAnswer CommandAnswer(const std::optional<DeckReply>& reply, std::chrono::milliseconds wait) {
    if (!reply) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", static_cast<double>(wait.count()) / 1000);
        return Refusal(504, std::string("the deck's thread did not take the command within ") +
                                seconds + " seconds");
    }
    if (reply->busy) {
        return Refusal(503, reply->error);
    }
    if (!reply->ok) {
        return ActionAnswer{409, Json{{"error", reply->error}, {"reply", ReplyJson(*reply)}}};
    }
    return ActionAnswer{200, ReplyJson(*reply)};
}

// What a client asked of a deck, read and checked against one look at the deck: the command
// for its thread, or what is done and answered without it.
struct Asked {
    std::optional<ActionAnswer> refused;
    bool marked = false;  // a mark at a given time, or clearmarks: the server's own
    std::optional<int64_t> markAt;
    bool markIn = true;
    DeckAction action = DeckAction::kPlay;
    int64_t value = 0;
};

Asked Refused(int status, const std::string& words) {
    Asked a;
    a.refused = Refusal(status, words);
    return a;
}

// A mark names in or out, and maybe its time; without one the deck's thread reads the time.
Asked ReadMark(const std::string& name, const Json& body, const DeckState& now) {
    Asked a;
    a.action = DeckAction::kMark;
    if (name == "clearmarks") {
        a.marked = true;
        return a;
    }
    const Json which = body.value("which", Json());
    if (!which.is_string() || (which != "in" && which != "out")) {
        return Refused(400, "mark wants {\"which\": \"in\"} or {\"which\": \"out\"}");
    }
    a.markIn = which == "in";
    a.value = a.markIn ? 1 : 0;
    std::string bad = FramesOf(body, now, false, &a.markAt);
    if (bad.empty() && a.markAt) {
        bad = Sendable(*a.markAt, now);  // a mark is never finer than a read could be
    }
    if (!bad.empty()) {
        return Refused(400, bad);
    }
    a.marked = a.markAt.has_value();
    return a;
}

Asked Read(const std::string& name, const std::string& text, const DeckState& now) {
    const auto it = DeckActions().find(name);
    const bool marks = name == "mark" || name == "clearmarks";
    if (it == DeckActions().end() && !marks && name != "rate") {
        return Refused(404, "unknown action '" + name + "'; the actions are " + kDeckActions);
    }
    const Json body = text.empty() ? Json::object() : hostkit::ParseJson(text);
    if (!body.is_object()) {
        return Refused(400, "the body must be a JSON object");
    }
    if (marks) {
        return ReadMark(name, body, now);
    }
    Asked a;
    if (name == "rate") {
        const Json rate = body.value("rate", Json());
        const hostkit::RateInfo* r =
            rate.is_string() ? hostkit::FindRate(rate.get<std::string>()) : nullptr;
        if (r == nullptr) {
            return Refused(400, "rate wants {\"rate\": R} with R one of " + hostkit::RateNames());
        }
        a.action = DeckAction::kRate;
        a.value = r - hostkit::Rates().data();
        return a;
    }
    a.action = it->second;
    if (const std::string bad = CommandValue(a.action, body, now, &a.value); !bad.empty()) {
        return Refused(400, bad);
    }
    return a;
}

}  // namespace

Json DeckJson(const DeckState& d) {
    Json status = nullptr;
    if (d.status) {
        status = Json::array();
        for (const uint8_t b : *d.status) {
            status.push_back(b);
        }
    }
    const hostkit::TimeBase& base = d.rate->base;
    // The page shows times as the server writes them: drop-frame labels are not arithmetic.
    const auto time = [&base](const std::optional<int64_t>& f) {
        return f ? Json(hostkit::FormatTimecode(*f, base)) : Json(nullptr);
    };
    const Json duration = d.markIn && d.markOut
                              ? Json(hostkit::FormatTimecode(*d.markOut - *d.markIn, base))
                              : Json(nullptr);
    return Json{{"port", d.port},
                {"device", d.device},
                {"connected", d.connected},
                {"answering", d.answering},
                {"state", d.state},
                {"time", hostkit::FormatTimecode(d.frames, base)},
                {"frames", d.frames},
                {"rate", d.rate->name},
                {"fps", d.rate->fps},
                {"dropFrame", base.dropFrame},
                {"resolution", hostkit::Resolution(base)},
                {"markInTime", time(d.markIn)},
                {"markOutTime", time(d.markOut)},
                {"markDuration", duration},
                {"videoSystem", d.videoSystem},
                {"status", status},
                {"speed", d.speed},
                {"mode", d.mode},
                {"markIn", d.markIn ? Json(*d.markIn) : Json(nullptr)},
                {"markOut", d.markOut ? Json(*d.markOut) : Json(nullptr)},
                {"error", d.error},
                {"errorSeq", d.errorSeq},
                {"seq", d.seq},
                {"capturing", d.capturing}};
}

// Read and checked here, then done by the deck's thread in one call, then answered here.
ActionAnswer RunDeckAction(DeckWorker* deck, const std::string& port, const std::string& name,
                           const std::string& text, std::chrono::milliseconds wait) {
    if (deck == nullptr) {
        return Refusal(404, "no deck on port '" + port + "'");
    }
    const Asked asked = Read(name, text, deck->Snapshot());
    if (asked.refused) {
        return *asked.refused;
    }
    if (asked.marked) {
        if (asked.markAt) {
            deck->Mark(asked.markIn, *asked.markAt);
        } else {
            deck->ClearMarks();
        }
        return ActionAnswer{
            200, ReplyJson(DeckReply{true, std::nullopt, std::nullopt, "", false, std::nullopt})};
    }
    // A capture drives the transport: anything that would move the tape, read its time for a
    // mark or change its rate under it is refused; a stop cancels the capture and stops.
    bool cancelled = false;
    if (const std::string holder = deck->Holder(); !holder.empty()) {
        if (name != "stop") {
            return Refusal(409, "port " + port + " is capturing (" + holder + "): " + name +
                                    " is refused until the capture ends; stop cancels it");
        }
        cancelled = deck->CancelHold();
    }
    // A command not taken in time is withdrawn, so a client told 504 knows it never ran.
    ActionAnswer answer = CommandAnswer(deck->Command(asked.action, asked.value, wait), wait);
    if (cancelled) {
        answer.body["capture"] = "cancelled";
    }
    return answer;
}

}  // namespace decks
