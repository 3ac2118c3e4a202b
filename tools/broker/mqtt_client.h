// A client of the broker over libmosquitto, MQTT 5. One thread of its own runs the connection:
// it connects, and when the broker is away or the connection drops, tries again with a growing
// pause (a quarter second doubling up to 10 s, back to a quarter only once a connection has
// held for 10 s), whatever the reason, a refused password included, so that a server keeps
// serving its own page meanwhile. Publish works from any thread.
//
// Its client id is its own: another client signing in under it takes the session, and the
// broker closes the first. So a new connection is first a claim: held for a while before it
// counts as joined, and a client whose claim is closed under it gives the id up, in words,
// to the one that took it back (a new client at once, one that had joined before only when
// it happens twice in a row, since a network can drop a connection too).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;

namespace broker {

struct BrokerUrl {
    bool tls = false;
    std::string host;
    int port = 0;
};

// mqtt://HOST:PORT or mqtts://HOST:PORT (1883 and 8883 when no port is given); false with
// the reason.
bool ParseBrokerUrl(const std::string& url, BrokerUrl* out, std::string* error);

// A message as it arrived, with the MQTT 5 properties a request carries.
struct Message {
    std::string topic;
    std::string payload;
    std::string responseTopic;
    std::string correlation;
    std::optional<uint32_t> expiry;  // seconds left, as the broker handed it on
    std::vector<std::pair<std::string, std::string>> user;
};

struct Outgoing {
    std::string topic;
    std::string payload;
    int qos = 1;
    bool retain = false;
    std::string responseTopic;
    std::string correlation;
    std::optional<uint32_t> expiry;
    std::vector<std::pair<std::string, std::string>> user;
};

struct ClientOptions {
    BrokerUrl url;
    std::string caFile;  // mqtts: the authority that signed the broker's certificate
    std::string clientId;
    std::string user;
    std::string password;
    int keepalive = 10;     // seconds; the broker gives up on us after 1.5 times this
    std::string willTopic;  // sent by the broker, retained, when we vanish (and on Stop)
    std::string willPayload;
    // How long an accepted connect is held before it counts as joined. 0: joined at once.
    std::chrono::milliseconds claim{0};
    // On the client's thread. `claiming` as each claim begins (it may send with PublishClaim);
    // `connected` after each join, before anything else is read; `message` for each message;
    // `log` for each change of the link, in words; `refused` once, when the client gives its
    // id up to another.
    std::function<void()> claiming;
    std::function<void()> connected;
    std::function<void(const Message&)> message;
    std::function<void(const std::string&)> log;
    std::function<void(const std::string&)> refused;
};

class MqttClient {
  public:
    explicit MqttClient(ClientOptions options);
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Starts the client's thread; false only for options the library refuses (a CA file it
    // cannot read, for one). The broker itself may be away: the thread keeps trying.
    bool Start(std::string* error);
    // Leaves with the Will sent (so the machine shows offline at once) and ends the thread.
    void Stop();

    bool Connected() const { return m_bConnected.load(); }
    // The last problem with the link in words; "" while connected.
    std::string Problem() const;
    // Waits, at most `limit`, for the first connect to end one way or the other; false with
    // the words when the client gave its id up to another that holds it.
    bool AwaitFirst(std::chrono::milliseconds limit, std::string* refusal);

    // Queues a message; false when the link is down (nothing is queued: the caller sends its
    // state again on the next connect) or the library refused it.
    bool Publish(const Outgoing& message);
    // From `claiming` only: a message sent while the connection is still a claim.
    bool PublishClaim(const Outgoing& message);
    bool Subscribe(const std::string& filter, int qos = 1);

  private:
    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mqtt5__property*);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                          const mqtt5__property* props);
    static void OnPublish(mosquitto*, void* self, int mid, int rc, const mqtt5__property*);
    void Run();
    bool Attempt();
    void Join();
    bool Closed(int rc);
    void Note(const std::string& problem);
    void Outcome();
    bool Send(const Outgoing& message);
    std::string Where() const;

    ClientOptions m_Options;
    mosquitto* m_pClient = nullptr;
    std::thread m_Thread;
    std::atomic<bool> m_bConnected{false};
    std::atomic<bool> m_bStop{false};
    std::atomic<bool> m_bGaveUp{false};  // another holds the id
    bool m_bEverTried = false;
    std::chrono::milliseconds m_Backoff{250};
    // The client's thread's own: the connection's state.
    bool m_bClaiming = false;
    bool m_bEverJoined = false;
    int m_nClaimsLost = 0;  // in a row
    std::chrono::steady_clock::time_point m_JoinedAt;
    mutable std::mutex m_Mutex;  // guards m_Problem and m_nOutcomes; m_Wake wakes a pause or a wait
    std::condition_variable m_Wake;
    std::string m_Problem = "not connected yet";
    std::string m_LastLogged;
    int m_nOutcomes = 0;  // connects that ended one way or the other
};

}  // namespace broker
