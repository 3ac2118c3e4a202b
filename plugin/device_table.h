// Maps the 32-bit handles the host keeps in pDevice to live deck objects. A handle is never 0,
// and a freed slot gets a new generation, so a stale handle does not reach a newer deck.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class CVtrDevice;

namespace device_table {

// Returns the new handle, or 0 when the table is full.
uint32_t Add(std::shared_ptr<CVtrDevice> device);
// The deck for a handle, or null for 0, garbage or a handle already removed.
std::shared_ptr<CVtrDevice> Find(uint32_t handle);
// Takes the deck out of the table; null when the handle is not live.
std::shared_ptr<CVtrDevice> Remove(uint32_t handle);

std::size_t LiveCount();
std::size_t SlotCount();  // slots ever created; stays flat when decks come and go

}  // namespace device_table
