// The line commands of the control channel, shared by the socket, stdin and tests.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/decksim/deck_model.h"
#include "tools/decksim/responder.h"

namespace decksim {

extern const char* const kControlHelp;

class Controller {
  public:
    // hangup(ms) drops the line and brings it back after ms; quit() ends the deck.
    Controller(DeckModel& deck, Responder& responder, std::function<void(Millis)> hangup,
               std::function<void()> quit);

    // One command line in, one reply line out (no newline): "ok", "error: ..." or a value.
    std::string Execute(const std::string& line, Clock::time_point now);

    // One line describing the deck, as the `get` command prints it.
    std::string Describe(Clock::time_point now);

  private:
    using Words = std::vector<std::string>;
    // Each line's kind: its reply, or nullopt when the words are not of its shape.
    std::optional<std::string> Status(const Words& w, Clock::time_point now);
    std::optional<std::string> SetTime(const Words& w, Clock::time_point now);
    std::optional<std::string> Break(const Words& w);
    std::optional<std::string> Lock(const Words& w);
    std::optional<std::string> SetFault(const Words& w);
    std::optional<std::string> Transport(const std::string& cmd, Clock::time_point now);

    DeckModel& m_Deck;
    Responder& m_Responder;
    std::function<void(Millis)> m_Hangup;
    std::function<void()> m_Quit;
};

}  // namespace decksim
