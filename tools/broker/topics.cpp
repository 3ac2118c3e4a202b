#include "tools/broker/topics.h"

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <cstdio>
#include <ctime>
#include <vector>

namespace broker {

namespace {

constexpr std::size_t kMaxName = 64;

std::string DeckTopic(const std::string& machine, int port) {
    return std::string(kTopicPrefix) + "/" + machine + "/decks/" + std::to_string(port);
}

std::vector<std::string> Levels(const std::string& topic) {
    std::vector<std::string> levels;
    std::size_t at = 0;
    for (;;) {
        const std::size_t slash = topic.find('/', at);
        levels.push_back(topic.substr(at, slash - at));
        if (slash == std::string::npos) {
            return levels;
        }
        at = slash + 1;
    }
}

// The namespace of our ids: itself a name-based UUID, so that it is fixed once and for all.
const boost::uuids::uuid& IdSpace() {
    static const boost::uuids::uuid space =
        boost::uuids::name_generator_sha1(boost::uuids::ns::url())("tapedeck5500:decks");
    return space;
}

}  // namespace

std::string NameRefusal(const std::string& name) {
    if (name.empty() || name.size() > kMaxName) {
        return "a name on the broker is 1 to 64 characters";
    }
    if (name.find_first_not_of(
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") !=
        std::string::npos) {
        return "a name on the broker is made of letters, digits, '-' and '_' ('" + name +
               "' is not)";
    }
    return "";
}

std::string ConnectionTopic(const std::string& machine) {
    return std::string(kTopicPrefix) + "/" + machine + "/connection";
}

std::string ClaimTopic(const std::string& machine) {
    return std::string(kTopicPrefix) + "/" + machine + "/claim";
}

std::string StateTopic(const std::string& machine, int port) {
    return DeckTopic(machine, port) + "/state";
}

std::string TimeTopic(const std::string& machine, int port) {
    return DeckTopic(machine, port) + "/time";
}

std::string CommandTopic(const std::string& machine, int port, const std::string& action) {
    return DeckTopic(machine, port) + "/command/" + action;
}

std::string ReplyTopic(const std::string& machine, const std::string& hub) {
    return std::string(kTopicPrefix) + "/" + machine + "/replies/" + hub;
}

std::string CommandFilter(const std::string& machine) {
    return std::string(kTopicPrefix) + "/" + machine + "/decks/+/command/+";
}

std::string ConnectionFilter() {
    return std::string(kTopicPrefix) + "/+/connection";
}

std::string ClaimFilter() {
    return std::string(kTopicPrefix) + "/+/claim";
}

std::string StateFilter() {
    return std::string(kTopicPrefix) + "/+/decks/+/state";
}

std::string TimeFilter() {
    return std::string(kTopicPrefix) + "/+/decks/+/time";
}

std::string ReplyFilter(const std::string& hub) {
    return std::string(kTopicPrefix) + "/+/replies/" + hub;
}

std::optional<Topic> ParseTopic(const std::string& topic) {
    const std::string prefix = std::string(kTopicPrefix) + "/";
    if (topic.compare(0, prefix.size(), prefix) != 0) {
        return std::nullopt;
    }
    const std::vector<std::string> l = Levels(topic.substr(prefix.size()));
    Topic t;
    t.machine = l[0];
    if (!NameRefusal(t.machine).empty()) {
        return std::nullopt;
    }
    if (l.size() == 2 && (l[1] == "connection" || l[1] == "claim")) {
        t.kind = l[1];
    } else if (l.size() == 3 && l[1] == "replies" && !l[2].empty()) {
        t.kind = l[1];
        t.hub = l[2];
    } else if (l.size() == 4 && l[1] == "decks" && (l[3] == "state" || l[3] == "time")) {
        t.kind = l[3];
        t.port = l[2];
    } else if (l.size() == 5 && l[1] == "decks" && l[3] == "command") {
        t.kind = l[3];
        t.port = l[2];
        t.action = l[4];
    } else {
        return std::nullopt;
    }
    return t;
}

std::string Timestamp(WallClock::time_point at) {
    const auto ns =
        std::chrono::duration_cast<std::chrono::nanoseconds>(at.time_since_epoch()).count();
    char text[48];
    std::snprintf(text, sizeof text, "%lld:%09lld", static_cast<long long>(ns / 1000000000),
                  static_cast<long long>(ns % 1000000000));
    return text;
}

std::optional<WallClock::time_point> ParseTimestamp(const std::string& text) {
    const std::size_t colon = text.find(':');
    const auto digits = [](const std::string& d, std::size_t most) {
        return !d.empty() && d.size() <= most &&
               d.find_first_not_of("0123456789") == std::string::npos;
    };
    // Ten digits of seconds, and below what the nanosecond clock holds (year 2262).
    constexpr long long kLastSecond = 9223372035LL;
    if (colon == std::string::npos || !digits(text.substr(0, colon), 10) ||
        !digits(text.substr(colon + 1), 9) || std::stoll(text.substr(0, colon)) > kLastSecond) {
        return std::nullopt;
    }
    const auto ns = std::chrono::seconds(std::stoll(text.substr(0, colon))) +
                    std::chrono::nanoseconds(std::stoll(text.substr(colon + 1)));
    return WallClock::time_point(std::chrono::duration_cast<WallClock::duration>(ns));
}

std::string UtcText(WallClock::time_point at) {
    const std::time_t t = WallClock::to_time_t(at);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return text;
}

std::string SourceId(const std::string& machine, int port, const std::string& what) {
    return boost::uuids::to_string(boost::uuids::name_generator_sha1(IdSpace())(
        machine + "/" + std::to_string(port) + "/" + what));
}

Json Event(const std::string& machine, int port, const std::string& what,
           const std::string& eventType, WallClock::time_point origin, Json payload) {
    return Json{{"identity",
                 {{"source_id", SourceId(machine, port, what)},
                  {"flow_id", SourceId(machine, port, what + "/flow")}}},
                {"event_type", eventType},
                {"timing",
                 {{"creation_timestamp", Timestamp(WallClock::now())},
                  {"origin_timestamp", Timestamp(origin)}}},
                {"message_type", "state"},
                {"payload", std::move(payload)}};
}

Json Presence(const std::string& machine, bool online, int keepalive, const std::string& instance) {
    return Json{{"message_type", "connection_status"},
                {"active", online},
                {"status", online ? "online" : "offline"},
                {"machine", machine},
                {"keepalive", keepalive},
                {"instance", instance},
                {"timing", {{"creation_timestamp", Timestamp(WallClock::now())}}}};
}

Json Claim(const std::string& machine, const std::string& instance, const std::string& host,
           long pid) {
    return Json{{"message_type", "claim"},
                {"machine", machine},
                {"instance", instance},
                {"host", host},
                {"pid", pid},
                {"timing", {{"creation_timestamp", Timestamp(WallClock::now())}}}};
}

}  // namespace broker
