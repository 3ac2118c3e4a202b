// A hub on the broker: `deckctl serve --broker URL --hub`. It follows every machine's presence
// and every deck's state and time, serves them as DECKs named MACHINE:PORT, and sends the
// page's commands to the deck's machine as MQTT 5 requests, handing the machine's answer back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "tools/broker/machine_link.h"
#include "tools/broker/mqtt_client.h"
#include "tools/decks/deck_action.h"

namespace broker {

// A command's life on the broker: one the machine has not had within this is never run.
constexpr std::chrono::seconds kCommandExpiry{2};
// How long the hub waits for a machine's answer: the expiry, the deck's turn and the exchange.
constexpr std::chrono::seconds kReplyWait{10};

class HubLink {
  public:
    // `changed` is called on the link's threads whenever what Decks() gives may have changed;
    // it must return at once.
    HubLink(LinkOptions options, std::function<void()> changed);
    ~HubLink();
    HubLink(const HubLink&) = delete;
    HubLink& operator=(const HubLink&) = delete;

    bool Start(std::string* error);
    void Stop();

    // Every deck seen, by machine and then port: its last state with its latest time, and
    // `machineOnline`; a deck whose machine is offline, or that has said nothing for its
    // machine's keep-alive, shows as not answering.
    hostkit::Json Decks() const;
    // The rate of MACHINE's deck on PORT, or nullptr for a deck not seen.
    const hostkit::RateInfo* RateOf(const std::string& machine, int port) const;
    // "MACHINE:PORT" taken apart; false when it is not a deck's name.
    static bool SplitName(const std::string& name, std::string* machine, int* port);

    // Sends ACTION with BODY to the deck named `deck`; `done` gets the machine's answer, or the
    // hub's refusal (an unknown deck, a machine offline, the broker away, no answer in time).
    // Never waits: `done` is called on one of the link's threads, or before this returns.
    void Command(const std::string& deck, const std::string& action, const std::string& body,
                 std::function<void(decks::ActionAnswer)> done);

    hostkit::Json Status() const;

  private:
    struct Deck {
        hostkit::Json state;
        hostkit::Json time;  // the latest time read since that state, or null
        std::chrono::steady_clock::time_point seen;
        bool lost = false;  // as last told
    };
    struct Machine {
        bool online = false;  // as its presence says
        int keepalive = 10;
        std::chrono::steady_clock::time_point seen;  // anything from it
        bool up = false;                             // as last told
        std::map<std::string, std::string> claims;   // since its last presence: instance, where
        std::string clash;      // the last server turned away from its name, in words
        std::string saidClash;  // as last told
    };
    struct Pending {
        std::function<void(decks::ActionAnswer)> done;
        std::chrono::steady_clock::time_point deadline;
        std::string machine;
    };
    using Key = std::pair<std::string, int>;

    void Connected();
    void OnMessage(const Message& m);
    void OnReply(const Topic& t, const Message& m);
    void Send(const std::string& machine, int port, const std::string& action,
              const std::string& body, const std::string& id);
    // Under the mutex.
    void TakeClaim(Machine& machine, const hostkit::Json& message);
    bool TakePresence(Machine& machine, const std::string& name, const hostkit::Json& message);
    bool TakeDeck(const Key& key, bool state, const hostkit::Json& message);
    void Tick();
    bool Up(const std::string& machine, std::chrono::steady_clock::time_point now) const;
    bool Lost(const Key& key, const Deck& deck, std::chrono::steady_clock::time_point now) const;

    LinkOptions m_Options;
    std::function<void()> m_Changed;
    std::string m_Name;                    // the hub's level in its reply topics
    std::unique_ptr<MqttClient> m_Client;  // made with the link, started by Start

    mutable std::mutex m_Mutex;  // guards what follows
    std::condition_variable m_Wake;
    bool m_bStop = false;
    std::map<Key, Deck> m_Decks;
    std::map<std::string, Machine> m_Machines;
    std::map<std::string, Pending> m_Pending;  // by correlation data
    uint64_t m_nLastId = 0;
    std::thread m_Ticker;
};

}  // namespace broker
