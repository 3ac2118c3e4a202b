// A machine on the broker: `deckctl serve --broker URL --machine NAME`. It says it is online
// (retained, with a Will of offline), publishes each deck's state when it changes (retained)
// and each time the deck's thread reads the time, and carries out the commands the broker
// brings for its decks: at most once, never after their expiry, through the same checks and
// queue as the HTTP API (tools/decks/deck_action.h), answering on the command's response topic.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/broker/mqtt_client.h"
#include "tools/broker/topics.h"
#include "tools/decks/deck_action.h"
#include "tools/decks/deck_worker.h"

namespace broker {

struct LinkOptions {
    BrokerUrl url;
    std::string caFile;
    std::string name;  // the machine's name, or the hub's
    std::string user;  // "" for the name
    std::string password;
    int keepalive = 10;
    std::function<void(const std::string&)> log;
};

// The broker options of `deckctl serve`.
struct BrokerOptions {
    std::string url;           // --broker mqtt://HOST:PORT or mqtts://HOST:PORT; "": none
    std::string machine;       // --machine NAME: this server's decks on the broker
    bool hub = false;          // --hub: every machine's decks on this server's page
    std::string user;          // --broker-user; the machine's name by default, "hub" for a hub
    std::string passwordFile;  // --broker-password-file: its first line
    std::string caFile;        // --broker-ca, for mqtts
    int keepalive = 10;        // --broker-keepalive, seconds
};

// The link's options from the command line's: the URL read, the name checked, the password
// read from its file (never from the command line); false with the reason.
bool ResolveLink(const BrokerOptions& given, LinkOptions* out, std::string* error);

// Commands remembered, so that one delivered twice runs once.
constexpr std::size_t kRememberedCommands = 1024;
// A command's body, as the HTTP API's.
constexpr std::size_t kMaxCommandBody = 16 * 1024;

class MachineLink {
  public:
    using Decks = std::map<int, std::unique_ptr<decks::DeckWorker>>;

    // `decks` must outlive the link and be complete before Start.
    MachineLink(LinkOptions options, const Decks& decks);
    ~MachineLink();
    MachineLink(const MachineLink&) = delete;
    MachineLink& operator=(const MachineLink&) = delete;

    bool Start(std::string* error);
    void Stop();

    // From a deck's thread: its state changed, or it read the time. Both return at once.
    void Changed();
    void TimeRead(int port, int64_t frames);

    // {"url", "name", "connected", "error"}, for the API.
    hostkit::Json Status() const;

  private:
    struct Slot {
        int64_t frames = 0;
        WallClock::time_point at;
        bool fresh = false;
    };
    struct Published {
        std::string text;  // the state as last sent, without its time
        std::chrono::steady_clock::time_point at;
    };
    struct Job {
        Message message;
        std::chrono::steady_clock::time_point received;
    };
    struct Remembered {
        bool done = false;
        decks::ActionAnswer answer;
    };

    void Connected();
    void Run();
    void PublishStates(bool all);
    void PublishTimes();
    void OnMessage(const Message& m);
    void Work();
    void Carry(Job& job);
    static std::chrono::milliseconds TimeLeft(const Job& job, std::string* unreadable);
    std::optional<decks::ActionAnswer> Refused(const Message& m, std::chrono::milliseconds left,
                                               const std::string& unreadable) const;
    void Answer(const Message& m, const decks::ActionAnswer& answer);
    void Remember(const std::string& key, const decks::ActionAnswer& answer);

    LinkOptions m_Options;
    const Decks& m_Decks;
    std::string m_Instance;  // this run of the server, in its claim and presence
    std::unique_ptr<MqttClient> m_Client;
    int m_nWorkers = 0;

    mutable std::mutex m_Mutex;  // guards what follows
    std::condition_variable m_Wake;
    bool m_bStop = false;
    bool m_bDirty = true;
    bool m_bRepublish = false;  // after a connect: every state again
    std::map<int, Slot> m_Times;
    bool m_bTimes = false;

    std::map<int, Published> m_Published;  // the publishing thread's own
    std::thread m_Publisher;

    std::mutex m_JobMutex;  // guards the jobs and the remembered commands
    std::condition_variable m_JobWake;
    std::deque<Job> m_Jobs;
    bool m_bJobsStop = false;
    std::map<std::string, Remembered> m_Remembered;
    std::deque<std::string> m_RememberedOrder;
    std::vector<std::thread> m_Workers;
};

}  // namespace broker
