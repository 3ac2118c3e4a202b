// The host's two records as a host keeps them: plain byte buffers of the documented sizes,
// with named fields read and written at their offsets, and a before/after comparison.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/hostkit/timecode.h"

namespace hostkit {

constexpr std::size_t kContextSize = 0x66C;
constexpr std::size_t kDataSize = 0x24;

enum class Record { kContext, kData };

enum class FieldKind {
    kInt,     // signed 32-bit
    kFlags,   // unsigned 32-bit, shown in hex
    kFrames,  // signed 32-bit frame count; timecodes accepted
    kHandle,  // the deck handle; 0 = not connected
    kText,    // UTF-16 name, read-only
    kGuid,    // 16 bytes, read-only
};

struct FieldInfo {
    const char* name;
    Record record;
    std::size_t offset;
    std::size_t size;
    FieldKind kind;
};

const std::vector<FieldInfo>& Fields();
// Case-insensitive lookup; nullptr when there is no such field.
const FieldInfo* FindField(const std::string& name);

class HostRecords {
  public:
    // Bytes past each record that a well-behaved module never touches.
    static constexpr std::size_t kGuard = 64;
    static constexpr uint8_t kGuardByte = 0xA5;

    HostRecords();

    uint8_t* Context() { return m_Context; }
    uint8_t* Data() { return m_Data; }

    int64_t Get(const FieldInfo& field) const;
    void Set(const FieldInfo& field, int64_t value);
    int64_t Get(const char* name) const;
    void Set(const char* name, int64_t value);
    // A field shown as text the way the change lines print it.
    std::string Show(const FieldInfo& field) const;

    int Fps() const { return WholeFps(static_cast<int32_t>(Get("nVideoFormat"))); }

    // The host hands out a fresh parameter block for every call.
    void ClearData();
    // True when every guard byte past both records is still intact.
    bool GuardsIntact() const;

  private:
    friend class Snapshot;
    const uint8_t* Base(Record r) const { return r == Record::kContext ? m_Context : m_Data; }
    uint8_t* Base(Record r) { return r == Record::kContext ? m_Context : m_Data; }

    alignas(8) uint8_t m_Context[kContextSize + kGuard];
    alignas(8) uint8_t m_Data[kDataSize + kGuard];
};

struct Change {
    const FieldInfo* field = nullptr;  // nullptr for bytes outside every named field
    std::string before;
    std::string after;
    int64_t beforeValue = 0;
    int64_t afterValue = 0;
    std::string note;  // the timecode of a frame count
};

// A copy of both records, to list what a call changed.
class Snapshot {
  public:
    explicit Snapshot(const HostRecords& records);
    std::vector<Change> Diff(const HostRecords& now) const;

  private:
    HostRecords m_Copy;
};

// "nState 0->7 dwPending 0x4->0x0"
std::string FormatChanges(const std::vector<Change>& changes);

}  // namespace hostkit
