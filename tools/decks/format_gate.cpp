#include "tools/decks/format_gate.h"

#include <algorithm>

namespace decks {

FormatGate::Pass FormatGate::Enter(int32_t format) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    if (m_Waiting.empty() && (m_nInside == 0 || format == m_nFormat)) {
        m_nSwitches += m_nInside == 0 && format != m_nFormat;
        m_nFormat = format;
        ++m_nInside;
        return Pass(this);
    }
    // Someone waits, or another format is inside: joining the queue keeps a stream of calls of
    // the format inside from holding the others off for ever.
    Waiter me{format};
    m_Waiting.push_back(&me);
    m_Admitted.wait(lock, [&me] { return me.admitted; });
    return Pass(this);
}

void FormatGate::Leave() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (--m_nInside > 0 || m_Waiting.empty()) {
        return;
    }
    const int32_t next = m_Waiting.front()->format;
    m_nSwitches += next != m_nFormat;
    m_nFormat = next;
    for (Waiter* w : m_Waiting) {
        if (w->format == next) {
            w->admitted = true;
            ++m_nInside;
        }
    }
    m_Waiting.erase(std::remove_if(m_Waiting.begin(), m_Waiting.end(),
                                   [](const Waiter* w) { return w->admitted; }),
                    m_Waiting.end());
    m_Admitted.notify_all();
}

int FormatGate::Inside() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nInside;
}

int FormatGate::Waiting() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Waiting.size());
}

uint64_t FormatGate::Switches() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_nSwitches;
}

}  // namespace decks
