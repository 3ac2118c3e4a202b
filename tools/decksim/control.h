// The line commands of the control channel, shared by the socket, stdin and tests.
#pragma once

#include <functional>
#include <string>

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
    DeckModel& m_Deck;
    Responder& m_Responder;
    std::function<void(Millis)> m_Hangup;
    std::function<void()> m_Quit;
};

}  // namespace decksim
