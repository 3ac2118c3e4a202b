// The broker's topics and messages, built and read in small pure functions. Everything lives
// under one prefix with a version in it; state and time travel as IS-07 style events (identity,
// event type, timing, payload), a machine's presence as a connection status.
//
//   tapedeck5500/v1/MACHINE/connection               retained: online, or the Will's offline
//   tapedeck5500/v1/MACHINE/claim                    a server signing in under the name
//   tapedeck5500/v1/MACHINE/decks/PORT/state         retained: the DECK object and `machine`
//   tapedeck5500/v1/MACHINE/decks/PORT/time          each time read, not retained
//   tapedeck5500/v1/MACHINE/decks/PORT/command/ACT   a command: the HTTP body, MQTT 5 request
//   tapedeck5500/v1/MACHINE/replies/HUB              its answer: the HTTP answer's JSON
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "tools/hostkit/json.h"

namespace broker {

using hostkit::Json;
using WallClock = std::chrono::system_clock;

inline constexpr const char* kTopicPrefix = "tapedeck5500/v1";

// A machine's or a hub's name: 1 to 64 letters, digits, '-' or '_', so that it is one topic
// level and a user name of the broker's ACL. "" when good, else what is wrong.
std::string NameRefusal(const std::string& name);

std::string ConnectionTopic(const std::string& machine);
std::string ClaimTopic(const std::string& machine);
std::string StateTopic(const std::string& machine, int port);
std::string TimeTopic(const std::string& machine, int port);
std::string CommandTopic(const std::string& machine, int port, const std::string& action);
std::string ReplyTopic(const std::string& machine, const std::string& hub);
// What a machine subscribes to: its own decks' commands.
std::string CommandFilter(const std::string& machine);
// What a hub subscribes to: every machine's presence, states, times, and its own replies.
std::string ConnectionFilter();
std::string ClaimFilter();
std::string StateFilter();
std::string TimeFilter();
std::string ReplyFilter(const std::string& hub);

// A topic taken apart; `kind` is connection, claim, state, time, command or replies. The port is
// the level as sent (a command may name a port no deck has).
struct Topic {
    std::string machine;
    std::string kind;
    std::string port;
    std::string action;  // command
    std::string hub;     // replies
};
std::optional<Topic> ParseTopic(const std::string& topic);

// "seconds:nanoseconds" since 1970 (UTC), as IS-07 writes timestamps, and back: a time
// before 1970 or after 2262 (past the nanosecond clock) is no time.
std::string Timestamp(WallClock::time_point at);
std::optional<WallClock::time_point> ParseTimestamp(const std::string& text);
// "2026-12-10T01:02:03Z", for people.
std::string UtcText(WallClock::time_point at);

// A stable id for a machine's deck and what it sends ("state", "time"): a name-based UUID.
std::string SourceId(const std::string& machine, int port, const std::string& what);

// An IS-07 style state event: identity, event_type, timing (made now, at `origin` from the
// deck), payload.
Json Event(const std::string& machine, int port, const std::string& what,
           const std::string& eventType, WallClock::time_point origin, Json payload);

// The machine's presence: connection status, with "online"/"offline", its keep-alive and the
// server's `instance` (a random id for each run of a server).
Json Presence(const std::string& machine, bool online, int keepalive, const std::string& instance);

// What a server says as it signs in under a machine's name, before it shows itself: which run
// of which server it is. A hub that then sees the name online under another instance knows
// that this one was turned away.
Json Claim(const std::string& machine, const std::string& instance, const std::string& host,
           long pid);

}  // namespace broker
