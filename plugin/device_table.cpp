#include "plugin/device_table.h"

#include <mutex>
#include <new>
#include <vector>

#include "deck/vtr_device.h"

namespace device_table {

namespace {

// Low 16 bits: slot index + 1 (never 0); high 16 bits: the slot's generation.
constexpr uint32_t kSlotBits = 16;
constexpr uint32_t kSlotMask = (1u << kSlotBits) - 1;
constexpr std::size_t kMaxSlots = kSlotMask;

struct Slot {
    std::shared_ptr<CVtrDevice> device;
    uint16_t generation = 0;
};

struct Table {
    std::mutex mutex;
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
};

Table& TheTable() {
    // Never destroyed: decks may outlive static teardown, and a late caller still finds a
    // working table. The storage is static rather than heap, so unloading the module frees it.
    alignas(Table) static unsigned char storage[sizeof(Table)];
    static Table* const table = new (storage) Table;
    return *table;
}

// At unload (or exit) a table with no deck left gives back its slot arrays, so a host that
// loads and unloads the module does not lose them each time; the table itself stays usable.
struct ReleaseWhenEmpty {
    ~ReleaseWhenEmpty() {
        Table& t = TheTable();
        std::lock_guard<std::mutex> guard(t.mutex);
        if (t.slots.size() == t.freeSlots.size()) {
            std::vector<Slot>().swap(t.slots);
            std::vector<uint32_t>().swap(t.freeSlots);
        }
    }
};
const ReleaseWhenEmpty g_ReleaseWhenEmpty;

uint32_t MakeHandle(uint32_t index, uint16_t generation) {
    return (uint32_t{generation} << kSlotBits) | (index + 1);
}

// The slot a handle names, or null when it is not that slot's current generation.
Slot* SlotOf(Table& t, uint32_t handle) {
    const uint32_t low = handle & kSlotMask;
    if (low == 0 || low > t.slots.size()) {
        return nullptr;
    }
    Slot& s = t.slots[low - 1];
    if (!s.device || s.generation != static_cast<uint16_t>(handle >> kSlotBits)) {
        return nullptr;
    }
    return &s;
}

}  // namespace

uint32_t Add(std::shared_ptr<CVtrDevice> device) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.mutex);
    uint32_t index = 0;
    if (!t.freeSlots.empty()) {
        index = t.freeSlots.back();
        t.freeSlots.pop_back();
    } else {
        if (t.slots.size() >= kMaxSlots) {
            return 0;
        }
        // Reserve first so that a failed allocation leaves the table as it was.
        t.freeSlots.reserve(t.slots.size() + 1);
        t.slots.emplace_back();
        index = static_cast<uint32_t>(t.slots.size() - 1);
    }
    Slot& s = t.slots[index];
    ++s.generation;  // wraps after 65536 reuses of one slot
    s.device = std::move(device);
    return MakeHandle(index, s.generation);
}

std::shared_ptr<CVtrDevice> Find(uint32_t handle) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.mutex);
    Slot* s = SlotOf(t, handle);
    return s != nullptr ? s->device : nullptr;
}

std::shared_ptr<CVtrDevice> Remove(uint32_t handle) {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.mutex);
    Slot* s = SlotOf(t, handle);
    if (s == nullptr) {
        return nullptr;
    }
    std::shared_ptr<CVtrDevice> device = std::move(s->device);
    s->device.reset();
    t.freeSlots.push_back(static_cast<uint32_t>(s - t.slots.data()));  // room reserved in Add
    return device;
}

std::size_t LiveCount() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.slots.size() - t.freeSlots.size();
}

std::size_t SlotCount() {
    Table& t = TheTable();
    std::lock_guard<std::mutex> guard(t.mutex);
    return t.slots.size();
}

}  // namespace device_table
