// What comes from outside the broker link: the --broker URL a user types, and the topics and
// timestamps any client of the broker may send.
#include <gtest/gtest.h>

#include "tools/broker/mqtt_client.h"
#include "tools/broker/topics.h"

namespace broker {
namespace {

TEST(BrokerUrl, TakesWhatAUserTypesAndRefusesTheRestInWords) {
    const struct {
        const char* url;
        const char* host;
        int port;  // 0: refused
        bool tls;
    } rows[] = {
        {"mqtt://broker.local:1884", "broker.local", 1884, false},
        {"mqtt://broker.local", "broker.local", 1883, false},
        {"mqtts://10.0.0.5", "10.0.0.5", 8883, true},
        {"mqtts://[::1]:8884/", "::1", 8884, true},
        {"mqtt://[::1]", "::1", 1883, false},
        {"http://broker:1883", "", 0, false},
        {"mqtt://broker:0", "", 0, false},
        {"mqtt://broker:65536", "", 0, false},
        {"mqtt://broker:99999999999999999999", "", 0, false},
        {"mqtt://user@broker:1883", "", 0, false},
        {"mqtt://:1883", "", 0, false},
        {"mqtt://broker/topic", "", 0, false},
    };
    for (const auto& r : rows) {
        BrokerUrl u;
        std::string error;
        const bool ok = ParseBrokerUrl(r.url, &u, &error);
        EXPECT_EQ(ok, r.port != 0) << r.url << ": " << error;
        if (ok) {
            EXPECT_EQ(u.tls, r.tls) << r.url;
            EXPECT_EQ(u.host, r.host) << r.url;
            EXPECT_EQ(u.port, r.port) << r.url;
        } else {
            EXPECT_FALSE(error.empty()) << r.url;
        }
    }
}

TEST(Topics, OnlyOurShapesAreTaken) {
    for (const char* bad : {"tapedeck5500/v2/A/connection", "tapedeck5500/v1/A", "tapedeck5500/v1/",
                            "tapedeck5500/v1/A+/connection", "tapedeck5500/v1/A/decks/1",
                            "tapedeck5500/v1/A/decks/1/state/x", "tapedeck5500/v1/A/replies/",
                            "tapedeck5500/v1/A/decks/1/command", "other/v1/A/connection", ""}) {
        EXPECT_FALSE(ParseTopic(bad)) << bad;
    }
    const auto t = ParseTopic(CommandTopic("B", 2, "cue"));
    ASSERT_TRUE(t);
    EXPECT_EQ(t->machine + "|" + t->kind + "|" + t->port + "|" + t->action, "B|command|2|cue");
    EXPECT_EQ(ParseTopic(ReplyTopic("B", "hub-1"))->hub, "hub-1");
}

TEST(Topics, TimestampsGoBothWaysAndNonsenseIsRefused) {
    const WallClock::time_point at{std::chrono::seconds(1700000000) + std::chrono::microseconds(5)};
    EXPECT_EQ(Timestamp(at), "1700000000:000005000");
    EXPECT_EQ(ParseTimestamp(Timestamp(at)), at);
    // Past 2262 the nanosecond clock overflows.
    for (const char* bad : {"", "1", ":1", "1:", "1:1234567890", "-1:0", "1:2:3",
                            "99999999999999:0", "999999999999:000000000", "9223372036:0"}) {
        EXPECT_FALSE(ParseTimestamp(bad)) << bad;
    }
    EXPECT_TRUE(ParseTimestamp("9223372035:999999999"));
}

}  // namespace
}  // namespace broker
