// `deckctl serve`: the deck panel and its HTTP API. One deck thread per port drives the deck
// through Main; the HTTP side (http_server.h) only queues commands and reads published state;
// a Server-Sent Events stream carries every change to the browsers. Every request carries the
// server's token (token.h).
#pragma once

#include <map>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tools/broker/machine_link.h"
#include "tools/hostkit/module.h"

namespace panel {

// The host kit's names, used throughout the server.
using hostkit::Module;

struct ServeOptions {
    std::vector<int> ports;            // none given: port 1
    std::map<int, std::string> rates;  // a port's rate by its hostkit::Rates() name; else 25
    std::string listen = "127.0.0.1:8055";
    bool sim = false;  // a virtual deck in-process for every port
    int simBaud = 0;   // pace the virtual decks like a line at this rate; 0: unpaced
    std::string logPath;
    std::string token;             // --token: fixes the token, seen by all in the process list
    std::string tokenFile;         // --token-file: the token is this file's first line
    bool quiet = false;            // no error log on stderr
    broker::BrokerOptions broker;  // a machine or a hub on an MQTT broker
    // Capture from the page: the inputs clients may name, the folder files go below and the
    // offsets file (capture_batches.h). --sim-video gives each virtual deck a picture, an
    // input of its own.
    std::vector<std::string> captureInputs;
    std::string captureFolder;
    std::string captureCalibration;
    bool simVideo = false;
};

class PanelServer {
  public:
    PanelServer(const hostkit::Module& module, ServeOptions options);
    ~PanelServer();
    PanelServer(const PanelServer&) = delete;
    PanelServer& operator=(const PanelServer&) = delete;

    // Starts the virtual decks, loads the clip log, starts the deck threads and listens.
    bool Start(std::string* error);
    // The address to open in a browser, token included.
    std::string Url() const;
    int Port() const;
    // Lines describing the decks, for the start-up message.
    std::vector<std::string> Describe() const;
    void Stop();

  private:
    class Impl;
    std::unique_ptr<Impl> m_Impl;
};

// Runs the server until SIGINT or SIGTERM; prints the URL first.
int RunServe(const hostkit::Module& module, const ServeOptions& options, std::ostream& out);

}  // namespace panel
