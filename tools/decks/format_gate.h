// The module keeps one video format for the whole process, stored at the start of every call
// of Main and read by that call's frame arithmetic. Calls for records with different formats
// must therefore not overlap; calls with the same format may. The gate lets a caller in when
// its format is the one inside (or nobody is inside) and nobody waits; otherwise it queues.
// When the last caller inside leaves, the format of the longest-waiting caller goes in, with
// every caller waiting for that format, so no format waits longer than one turn of the others.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>

namespace decks {

class FormatGate {
  public:
    // Held for the length of one call; leaving lets the next format in.
    class Pass {
      public:
        Pass(Pass&& other) noexcept : m_pGate(other.m_pGate) { other.m_pGate = nullptr; }
        Pass(const Pass&) = delete;
        Pass& operator=(const Pass&) = delete;
        Pass& operator=(Pass&&) = delete;
        ~Pass() {
            if (m_pGate != nullptr) {
                m_pGate->Leave();
            }
        }

      private:
        friend class FormatGate;
        explicit Pass(FormatGate* gate) : m_pGate(gate) {}
        FormatGate* m_pGate;
    };

    Pass Enter(int32_t format);

    // Calls inside now, calls waiting, and the turns the format changed so far (for tests and
    // benchmarks).
    int Inside() const;
    int Waiting() const;
    uint64_t Switches() const;

  private:
    struct Waiter {
        int32_t format;
        bool admitted = false;
    };

    void Leave();

    mutable std::mutex m_Mutex;
    std::condition_variable m_Admitted;
    std::deque<Waiter*> m_Waiting;  // oldest first
    int32_t m_nFormat = 0;          // the format of the calls inside
    int m_nInside = 0;
    uint64_t m_nSwitches = 0;
};

}  // namespace decks
