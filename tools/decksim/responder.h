// The deck's side of the wire: fed one received byte at a time, it says what goes back.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "tools/decksim/deck_model.h"

namespace decksim {

enum class FaultKind { kNone, kSilent, kNak, kShort, kGarbage, kLate, kRandom };

const char* FaultName(FaultKind kind);

struct Fault {
    FaultKind kind = FaultKind::kNone;
    Millis delay{120};  // kLate: how long each reply is held back
    int count = 0;      // kRandom: how many random bytes replace the next reply
    int every = 1;      // kLate: only one reply in this many is held back
};

struct Reply {
    std::vector<uint8_t> bytes;
    Millis delay{0};                     // send no earlier than this after the byte came in
    const char* name = "";               // what the received byte was, for the trace
    FaultKind fault = FaultKind::kNone;  // the fault that shaped this reply
};

class Responder {
  public:
    // A frame whose next byte comes later than this is dropped, so a host that gave up
    // half-way through does not leave the deck waiting for the rest.
    static constexpr Millis kFrameGap{500};

    explicit Responder(DeckModel& deck, uint32_t seed = 0x5500);

    Reply Feed(uint8_t in, Clock::time_point now);

    // kSilent, kNak, kShort, kGarbage and kLate hold until changed; kRandom is used up by
    // the next reply, after which the deck behaves again.
    void SetFault(const Fault& fault) { m_Fault = fault; }
    const Fault& GetFault() const { return m_Fault; }

    // Forgets a part-received frame (the line was hung up).
    void Reset() { m_State = State::kIdle; }

  private:
    enum class State { kIdle, kVideoSystem, kCueFirst, kCueBlock, kVarDigit };

    Reply Answer(uint8_t in, Clock::time_point now);
    Reply Continue(uint8_t in, Clock::time_point now);
    Reply Command(uint8_t in, Clock::time_point now);
    Reply CueByte(uint8_t in, Clock::time_point now);
    void TimeReply(Clock::time_point now, std::vector<uint8_t>* out);
    uint8_t RandomByte() { return static_cast<uint8_t>(m_Random() & 0xFF); }

    DeckModel& m_Deck;
    Fault m_Fault;
    int m_nLateTurn = 0;  // replies since the last one held back
    std::mt19937 m_Random;

    State m_State = State::kIdle;
    Clock::time_point m_LastByte;
    bool m_bVarForward = true;
    uint8_t m_Digits[8] = {};
    int m_nDigits = 0;
    bool m_bSigned = false;  // a sign byte came in the cue block
    bool m_bNegative = false;
};

}  // namespace decksim
