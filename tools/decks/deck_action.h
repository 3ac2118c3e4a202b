// A deck's actions as clients ask for them, by name with a JSON body: checked against the
// deck's rate and state, run on its thread, and answered with an HTTP status and JSON. The
// HTTP API and the broker link both come through here, so a command gets the same checks,
// queue and refusals in words however it arrives.
#pragma once

#include <chrono>
#include <string>

#include "tools/decks/deck_worker.h"

namespace decks {

// How long a command may wait for the deck's thread to take it.
constexpr std::chrono::milliseconds kCommandWait{10000};

// The actions, for the refusal of an unknown one.
extern const char* const kDeckActions;

struct ActionAnswer {
    int status = 200;  // as HTTP has it: 200, 400, 404, 409, 503, 504
    Json body;         // {"ok": ...} or {"error": "words", ...}
};

// `POST /api/decks/PORT/ACTION` with `body` (empty: {}). `deck` is the deck on `port`, or
// nullptr when none is served there. Bad input is answered 4xx before anything is queued; a
// command not taken within `wait` is withdrawn (504), so it never reaches the deck later.
ActionAnswer RunDeckAction(DeckWorker* deck, const std::string& port, const std::string& action,
                           const std::string& body, std::chrono::milliseconds wait = kCommandWait);

// {"error": words} with a status.
ActionAnswer Refusal(int status, const std::string& words);

// A deck as clients see it: the API's DECK, the broker's state.
Json DeckJson(const DeckState& deck);

}  // namespace decks
