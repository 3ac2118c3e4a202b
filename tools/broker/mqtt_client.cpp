#include "tools/broker/mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace broker {

namespace {

using Millis = std::chrono::milliseconds;

constexpr Millis kFirstPause{250};
constexpr Millis kLongestPause{10000};
// A connection that held this long sets the pause back to the first.
constexpr Millis kSteady{10000};

// How long one turn of the loop may wait for the socket; a Stop waits at most this long.
constexpr int kLoopMillis = 100;

void InitLibrary() {
    static const int once = mosquitto_lib_init();
    (void)once;
}

std::string Reason(int rc) {
    std::string words = rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
    if (!words.empty() && words.back() == '.') {
        words.pop_back();
    }
    if (rc == MOSQ_ERR_TLS) {
        words += " (is --broker-ca the authority that signed the broker's certificate?)";
    }
    return words;
}

// A property list freed when it goes out of scope.
struct Properties {
    mosquitto_property* list = nullptr;
    ~Properties() { mosquitto_property_free_all(&list); }
};

}  // namespace

bool ParseBrokerUrl(const std::string& url, BrokerUrl* out, std::string* error) {
    BrokerUrl u;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
        u.port = 1883;
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        u.tls = true;
        u.port = 8883;
    } else {
        *error = "--broker wants mqtt://HOST:PORT or mqtts://HOST:PORT, not '" + url + "'";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    const std::size_t colon = rest.rfind(':');
    const bool bracketed = !rest.empty() && rest.front() == '[';
    if (colon != std::string::npos && (!bracketed || rest[colon - 1] == ']')) {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stol(port) < 1 ||
            std::stol(port) > 65535) {
            *error = "the broker's port must be a number from 1 to 65535, not '" + port + "'";
            return false;
        }
        u.port = static_cast<int>(std::stol(port));
        rest = rest.substr(0, colon);
    }
    if (bracketed && rest.size() > 2 && rest.back() == ']') {
        rest = rest.substr(1, rest.size() - 2);
    }
    if (rest.empty() || rest.find_first_of("/@?# ") != std::string::npos) {
        *error = "--broker wants a host name or address: mqtt://HOST:PORT, not '" + url + "'";
        return false;
    }
    u.host = rest;
    *out = u;
    return true;
}

MqttClient::MqttClient(ClientOptions options) : m_Options(std::move(options)) {}

MqttClient::~MqttClient() {
    Stop();
    if (m_pClient != nullptr) {
        mosquitto_destroy(m_pClient);
    }
}

bool MqttClient::Start(std::string* error) {
    InitLibrary();
    m_pClient = mosquitto_new(m_Options.clientId.c_str(), true, this);
    if (m_pClient == nullptr) {
        *error = "cannot make a client for the broker: " + std::string(std::strerror(errno));
        return false;
    }
    mosquitto_int_option(m_pClient, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    // Our own thread runs the loop; other threads' publishes only queue and wake it.
    mosquitto_threaded_set(m_pClient, true);
    mosquitto_int_option(m_pClient, MOSQ_OPT_TCP_NODELAY, 1);
    int rc = MOSQ_ERR_SUCCESS;
    if (!m_Options.user.empty()) {
        rc = mosquitto_username_pw_set(m_pClient, m_Options.user.c_str(),
                                       m_Options.password.c_str());
    }
    if (rc == MOSQ_ERR_SUCCESS && !m_Options.willTopic.empty()) {
        rc = mosquitto_will_set_v5(m_pClient, m_Options.willTopic.c_str(),
                                   static_cast<int>(m_Options.willPayload.size()),
                                   m_Options.willPayload.data(), 1, true, nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && m_Options.url.tls) {
        const bool own = !m_Options.caFile.empty();
        rc = mosquitto_tls_set(m_pClient, own ? m_Options.caFile.c_str() : nullptr,
                               own ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = "the broker link cannot be set up: " + Reason(rc) +
                 (m_Options.url.tls ? " (is the CA file readable?)" : "");
        return false;
    }
    mosquitto_connect_v5_callback_set(m_pClient, OnConnect);
    mosquitto_disconnect_v5_callback_set(m_pClient, OnDisconnect);
    mosquitto_message_v5_callback_set(m_pClient, OnMessage);
    mosquitto_publish_v5_callback_set(m_pClient, OnPublish);
    m_Thread = std::thread([this] { Run(); });
    return true;
}

void MqttClient::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_bStop = true;
    }
    m_Wake.notify_all();
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}

std::string MqttClient::Problem() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_bConnected ? "" : m_Problem;
}

std::string MqttClient::Where() const {
    return m_Options.url.host + ":" + std::to_string(m_Options.url.port);
}

void MqttClient::Note(const std::string& problem) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Problem = problem;
        if (problem == m_LastLogged) {
            return;  // a broker away for an hour is said once, not at every attempt
        }
        m_LastLogged = problem;
    }
    if (m_Options.log) {
        m_Options.log(problem);
    }
}

void MqttClient::Outcome() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_nOutcomes;
    }
    m_Wake.notify_all();
}

bool MqttClient::AwaitFirst(std::chrono::milliseconds limit, std::string* refusal) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Wake.wait_for(lock, limit, [this] { return m_nOutcomes > 0 || m_bStop.load(); });
    if (m_bGaveUp) {
        *refusal = m_Problem;
        return false;
    }
    return true;
}

bool MqttClient::Attempt() {
    const int rc = m_bEverTried ? mosquitto_reconnect_async(m_pClient)
                                : mosquitto_connect_bind_async(
                                      m_pClient, m_Options.url.host.c_str(), m_Options.url.port,
                                      m_Options.keepalive, nullptr);
    m_bEverTried = true;
    if (rc != MOSQ_ERR_SUCCESS) {
        Note("cannot reach the broker at " + Where() + ": " + Reason(rc) + "; trying again");
        return false;
    }
    return true;
}

void MqttClient::Join() {
    m_bClaiming = false;
    m_bEverJoined = true;
    m_nClaimsLost = 0;
    m_bConnected = true;
    Note("joined the broker at " + Where() +
         (m_Options.user.empty() ? "" : " as '" + m_Options.user + "'"));
    if (m_Options.connected) {
        m_Options.connected();
    }
    Outcome();
}

void MqttClient::Run() {
    bool open = false;
    while (!m_bStop && !m_bGaveUp) {
        if (!open) {
            if (m_bEverTried) {
                std::unique_lock<std::mutex> lock(m_Mutex);
                m_Wake.wait_for(lock, m_Backoff, [this] { return m_bStop.load(); });
                m_Backoff = std::min(m_Backoff * 2, kLongestPause);
            }
            if (!m_bStop) {
                open = Attempt();
                if (!open) {
                    Outcome();
                }
            }
            continue;
        }
        const int rc = mosquitto_loop(m_pClient, kLoopMillis, 1);
        const auto now = std::chrono::steady_clock::now();
        if (rc == MOSQ_ERR_SUCCESS) {
            if (m_bClaiming && now - m_JoinedAt >= m_Options.claim) {
                Join();
            }
            if (m_bConnected && now - m_JoinedAt >= kSteady) {
                m_Backoff = kFirstPause;
            }
            continue;
        }
        open = false;
        if (Closed(rc)) {
            break;
        }
    }
    if (open && m_bConnected) {
        // The Will goes out as we leave: the hub sees the machine offline at once.
        mosquitto_disconnect_v5(m_pClient, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
        for (int i = 0; i < 10 && mosquitto_loop(m_pClient, 50, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
    } else if (open) {
        mosquitto_disconnect_v5(m_pClient, 0, nullptr);
    }
    m_bConnected = false;
}

// The connection ended: said in words; true when the client gives up its id for good.
bool MqttClient::Closed(int rc) {
    const bool claimLost = m_bClaiming;
    m_bClaiming = false;
    if (claimLost && ++m_nClaimsLost >= (m_bEverJoined ? 2 : 1)) {
        m_bGaveUp = true;
        const std::string words = "another client holds the id '" + m_Options.clientId +
                                  "' on the broker at " + Where() +
                                  ": it took its session back as this one signed in; not "
                                  "trying again";
        Note(words);
        if (m_Options.refused) {
            m_Options.refused(words);
        }
        Outcome();
        return true;
    }
    if (claimLost) {
        Note("the broker at " + Where() + " closed the connection as this one signed in as '" +
             m_Options.clientId + "' (did another client sign in under it?); trying again");
    } else if (m_bConnected.exchange(false)) {
        Note("lost the broker at " + Where() + ": " + Reason(rc) + "; trying again");
    } else if (rc != MOSQ_ERR_PROTOCOL && rc != MOSQ_ERR_CONN_REFUSED) {
        // A refused connect was said by OnConnect, with the broker's reason.
        Note("cannot reach the broker at " + Where() + ": " + Reason(rc) + "; trying again");
    }
    Outcome();
    return false;
}

void MqttClient::OnConnect(mosquitto*, void* self, int rc, int, const mqtt5__property*) {
    auto* c = static_cast<MqttClient*>(self);
    if (rc != 0) {
        c->Note("the broker at " + c->Where() + " refused " +
                (c->m_Options.user.empty() ? "us" : "user '" + c->m_Options.user + "'") + ": " +
                mosquitto_reason_string(rc) + "; trying again");
        return;
    }
    c->m_JoinedAt = std::chrono::steady_clock::now();
    if (c->m_Options.claim.count() > 0) {
        c->m_bClaiming = true;  // joined once no other holder of the id has taken it back
        if (c->m_Options.claiming) {
            c->m_Options.claiming();
        }
        return;
    }
    c->Join();
}

void MqttClient::OnDisconnect(mosquitto*, void* self, int rc, const mqtt5__property*) {
    auto* c = static_cast<MqttClient*>(self);
    if (c->m_bConnected.exchange(false) && !c->m_bStop) {
        c->Note("lost the broker at " + c->Where() + ": " +
                (rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_strerror(rc)) +
                "; trying again");
    }
}

void MqttClient::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                           const mqtt5__property* props) {
    auto* c = static_cast<MqttClient*>(self);
    if (!c->m_Options.message || message->topic == nullptr) {
        return;
    }
    Message m;
    m.topic = message->topic;
    if (message->payloadlen > 0) {
        m.payload.assign(static_cast<const char*>(message->payload),
                         static_cast<std::size_t>(message->payloadlen));
    }
    char* text = nullptr;
    if (mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &text, false) != nullptr) {
        m.responseTopic = text;
        std::free(text);
    }
    void* data = nullptr;
    uint16_t length = 0;
    if (mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &data, &length, false) !=
        nullptr) {
        m.correlation.assign(static_cast<const char*>(data), length);
        std::free(data);
    }
    uint32_t expiry = 0;
    if (mosquitto_property_read_int32(props, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, &expiry, false) !=
        nullptr) {
        m.expiry = expiry;
    }
    char* name = nullptr;
    char* value = nullptr;
    for (const mosquitto_property* p = mosquitto_property_read_string_pair(
             props, MQTT_PROP_USER_PROPERTY, &name, &value, false);
         p != nullptr;
         p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, true)) {
        m.user.emplace_back(name, value);
        std::free(name);
        std::free(value);
    }
    // A message is anyone's input: whatever it makes a handler throw stops here, on a thread
    // that C code called, and is said in the error log.
    try {
        c->m_Options.message(m);
    } catch (const std::exception& e) {
        if (c->m_Options.log) {
            c->m_Options.log("a message on " + m.topic + " could not be read: " + e.what());
        }
    }
}

void MqttClient::OnPublish(mosquitto*, void* self, int, int rc, const mqtt5__property*) {
    auto* c = static_cast<MqttClient*>(self);
    if (rc >= 128 && c->m_Options.log) {
        // What the ACL refuses says where the broker's files and ours disagree.
        c->m_Options.log(std::string("the broker refused a message: ") +
                         mosquitto_reason_string(rc));
    }
}

bool MqttClient::Publish(const Outgoing& out) {
    return m_bConnected && Send(out);
}

bool MqttClient::PublishClaim(const Outgoing& out) {
    return m_bClaiming && Send(out);
}

bool MqttClient::Send(const Outgoing& out) {
    if (m_pClient == nullptr) {
        return false;
    }
    Properties props;
    if (!out.responseTopic.empty()) {
        mosquitto_property_add_string(&props.list, MQTT_PROP_RESPONSE_TOPIC,
                                      out.responseTopic.c_str());
    }
    if (!out.correlation.empty()) {
        mosquitto_property_add_binary(&props.list, MQTT_PROP_CORRELATION_DATA,
                                      out.correlation.data(),
                                      static_cast<uint16_t>(out.correlation.size()));
    }
    if (out.expiry) {
        mosquitto_property_add_int32(&props.list, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, *out.expiry);
    }
    for (const auto& [name, value] : out.user) {
        mosquitto_property_add_string_pair(&props.list, MQTT_PROP_USER_PROPERTY, name.c_str(),
                                           value.c_str());
    }
    return mosquitto_publish_v5(m_pClient, nullptr, out.topic.c_str(),
                                static_cast<int>(out.payload.size()), out.payload.data(), out.qos,
                                out.retain, props.list) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::Subscribe(const std::string& filter, int qos) {
    return m_pClient != nullptr && mosquitto_subscribe_v5(m_pClient, nullptr, filter.c_str(), qos,
                                                          0, nullptr) == MOSQ_ERR_SUCCESS;
}

}  // namespace broker
