#include <atomic>

#include "deck/serial/serial.h"

namespace serial {

namespace {
std::atomic<Port*> g_active{nullptr};
}

Port* SetActivePort(Port* port) {
    return g_active.exchange(port);
}

Port& ActivePort() {
    Port* p = g_active.load(std::memory_order_acquire);
    return p != nullptr ? *p : PlatformPort();
}

}  // namespace serial
