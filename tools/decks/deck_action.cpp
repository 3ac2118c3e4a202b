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

// A mark at a given time and clearmarks are the server's own: answered here. A mark of the
// deck's current time is left to the deck's thread, which reads the time for it: nullopt.
std::optional<ActionAnswer> MarkAction(DeckWorker* deck, const std::string& name,
                                       const Json& body) {
    if (name == "mark") {
        const Json which = body.value("which", Json());
        if (!which.is_string() || (which != "in" && which != "out")) {
            return Refusal(400, "mark wants {\"which\": \"in\"} or {\"which\": \"out\"}");
        }
        std::optional<int64_t> at;
        const DeckState now = deck->Snapshot();
        std::string bad = FramesOf(body, now, false, &at);
        if (bad.empty() && at) {
            bad = Sendable(*at, now);  // a mark is never finer than a read could be
        }
        if (!bad.empty()) {
            return Refusal(400, bad);
        }
        if (!at) {
            return std::nullopt;
        }
        deck->Mark(which == "in", *at);
    } else {
        deck->ClearMarks();
    }
    return ActionAnswer{
        200, ReplyJson(DeckReply{true, std::nullopt, std::nullopt, "", false, std::nullopt})};
}

ActionAnswer RateAction(DeckWorker* deck, const Json& body, std::chrono::milliseconds wait) {
    const Json rate = body.value("rate", Json());
    const hostkit::RateInfo* r =
        rate.is_string() ? hostkit::FindRate(rate.get<std::string>()) : nullptr;
    if (r == nullptr) {
        return Refusal(400, "rate wants {\"rate\": R} with R one of " + hostkit::RateNames());
    }
    return CommandAnswer(deck->Command(DeckAction::kRate, r - hostkit::Rates().data(), wait), wait);
}

}  // namespace

ActionAnswer RunDeckAction(DeckWorker* deck, const std::string& port, const std::string& name,
                           const std::string& text, std::chrono::milliseconds wait) {
    if (deck == nullptr) {
        return Refusal(404, "no deck on port '" + port + "'");
    }
    const auto it = DeckActions().find(name);
    const bool marks = name == "mark" || name == "clearmarks";
    if (it == DeckActions().end() && !marks && name != "rate") {
        return Refusal(404, "unknown action '" + name + "'; the actions are " + kDeckActions);
    }
    const Json body = text.empty() ? Json::object() : hostkit::ParseJson(text);
    if (!body.is_object()) {
        return Refusal(400, "the body must be a JSON object");
    }
    if (marks) {
        if (std::optional<ActionAnswer> answered = MarkAction(deck, name, body)) {
            return *answered;
        }
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
    if (name == "rate") {
        return RateAction(deck, body, wait);
    }
    const DeckAction action = marks ? DeckAction::kMark : it->second;
    int64_t value = marks && body.at("which") == "in" ? 1 : 0;
    const std::string bad = marks ? "" : CommandValue(action, body, deck->Snapshot(), &value);
    if (!bad.empty()) {
        return Refusal(400, bad);
    }
    // A command not taken in time is withdrawn, so a client told 504 knows it never ran.
    ActionAnswer answer = CommandAnswer(deck->Command(action, value, wait), wait);
    if (cancelled) {
        answer.body["capture"] = "cancelled";
    }
    return answer;
}

}  // namespace decks
