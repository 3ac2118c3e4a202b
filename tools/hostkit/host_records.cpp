#include "tools/hostkit/host_records.h"

#include <strings.h>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "plugin/records.h"

namespace hostkit {

static_assert(sizeof(DEVICE_CONTEXT) == kContextSize);
static_assert(sizeof(COMMAND_DATA) == kDataSize);

#define CTX(name, kind)                                                                        \
    FieldInfo {                                                                                \
#name, Record::kContext, offsetof(DEVICE_CONTEXT, name), sizeof(DEVICE_CONTEXT::name), \
            kind                                                                               \
    }
#define DATA(name, kind)                                                                     \
    FieldInfo {                                                                              \
#name, Record::kData, offsetof(COMMAND_DATA, name), sizeof(COMMAND_DATA::name), kind \
    }

const std::vector<FieldInfo>& Fields() {
    static const std::vector<FieldInfo> fields = {
        CTX(szName, FieldKind::kText),        CTX(pDevice, FieldKind::kHandle),
        CTX(nPosition, FieldKind::kFrames),   CTX(nPort, FieldKind::kInt),
        CTX(nCueOffset, FieldKind::kFrames),  CTX(nSpeed, FieldKind::kInt),
        CTX(dwOptions, FieldKind::kFlags),    CTX(nState, FieldKind::kInt),
        CTX(dwPending, FieldKind::kFlags),    CTX(bAnswer18, FieldKind::kInt),
        CTX(bAnswer29, FieldKind::kInt),      CTX(bAnswer30, FieldKind::kInt),
        CTX(nVideoFormat, FieldKind::kFlags), DATA(idPlugin, FieldKind::kGuid),
        DATA(nIdentFlag, FieldKind::kInt),    DATA(nFrames, FieldKind::kFrames),
    };
    return fields;
}

#undef CTX
#undef DATA

const FieldInfo* FindField(const std::string& name) {
    for (const FieldInfo& f : Fields()) {
        if (strcasecmp(f.name, name.c_str()) == 0) {
            return &f;
        }
    }
    return nullptr;
}

HostRecords::HostRecords() {
    std::memset(m_Context, 0, kContextSize);
    std::memset(m_Context + kContextSize, kGuardByte, kGuard);
    std::memset(m_Data, 0, kDataSize);
    std::memset(m_Data + kDataSize, kGuardByte, kGuard);
}

int64_t HostRecords::Get(const FieldInfo& field) const {
    if (field.size != 4) {
        throw std::logic_error(std::string(field.name) + " is not a number");
    }
    uint32_t raw = 0;
    std::memcpy(&raw, Base(field.record) + field.offset, 4);  // records are little-endian
    if (field.kind == FieldKind::kFlags || field.kind == FieldKind::kHandle) {
        return raw;
    }
    return static_cast<int32_t>(raw);
}

void HostRecords::Set(const FieldInfo& field, int64_t value) {
    if (field.size != 4) {
        throw std::logic_error(std::string(field.name) + " cannot be set");
    }
    const uint32_t raw = static_cast<uint32_t>(value);
    std::memcpy(Base(field.record) + field.offset, &raw, 4);
}

int64_t HostRecords::Get(const char* name) const {
    return Get(*FindField(name));
}
void HostRecords::Set(const char* name, int64_t value) {
    Set(*FindField(name), value);
}

std::string HostRecords::Show(const FieldInfo& field) const {
    const uint8_t* p = Base(field.record) + field.offset;
    char buf[64];
    switch (field.kind) {
        case FieldKind::kText: {
            std::string out = "\"";
            for (std::size_t i = 0; i + 1 < field.size; i += 2) {
                const unsigned unit = p[i] | (p[i + 1] << 8);
                if (unit == 0) {
                    break;
                }
                if (unit >= 0x20 && unit < 0x7F) {
                    out += static_cast<char>(unit);
                } else {
                    std::snprintf(buf, sizeof buf, "\\u%04X", unit);
                    out += buf;
                }
            }
            return out + "\"";
        }
        case FieldKind::kGuid: {
            auto word = [p](int at, int n) {
                unsigned long v = 0;
                for (int i = n - 1; i >= 0; --i) {
                    v = (v << 8) | p[at + i];
                }
                return v;
            };
            std::snprintf(buf, sizeof buf, "{%08lX-%04lX-%04lX-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                          word(0, 4), word(4, 2), word(6, 2), p[8], p[9], p[10], p[11], p[12],
                          p[13], p[14], p[15]);
            return buf;
        }
        case FieldKind::kFlags:
            std::snprintf(buf, sizeof buf, "0x%llX", static_cast<unsigned long long>(Get(field)));
            return buf;
        case FieldKind::kFrames:
        case FieldKind::kInt:
        case FieldKind::kHandle:
            break;
    }
    return std::to_string(Get(field));
}

void HostRecords::ClearData() {
    std::memset(m_Data, 0, kDataSize);
}

bool HostRecords::GuardsIntact() const {
    for (std::size_t i = 0; i < kGuard; ++i) {
        if (m_Context[kContextSize + i] != kGuardByte || m_Data[kDataSize + i] != kGuardByte) {
            return false;
        }
    }
    return true;
}

Snapshot::Snapshot(const HostRecords& records) : m_Copy(records) {}

std::vector<Change> Snapshot::Diff(const HostRecords& now) const {
    std::vector<Change> out;
    bool owned[2][kContextSize] = {};
    for (const FieldInfo& f : Fields()) {
        const int r = f.record == Record::kContext ? 0 : 1;
        for (std::size_t i = 0; i < f.size; ++i) {
            owned[r][f.offset + i] = true;
        }
        if (std::memcmp(m_Copy.Base(f.record) + f.offset, now.Base(f.record) + f.offset, f.size) ==
            0) {
            continue;
        }
        Change c;
        c.field = &f;
        c.before = m_Copy.Show(f);
        c.after = now.Show(f);
        if (f.size == 4) {
            c.beforeValue = m_Copy.Get(f);
            c.afterValue = now.Get(f);
        }
        if (f.kind == FieldKind::kFrames) {
            c.note = FormatTimecode(c.afterValue, now.Fps());
        }
        out.push_back(c);
    }
    // A byte the host owns changed: worth reporting, since a host keeps its own data there.
    for (int r = 0; r < 2; ++r) {
        const Record rec = r == 0 ? Record::kContext : Record::kData;
        const std::size_t size = r == 0 ? kContextSize : kDataSize;
        for (std::size_t i = 0; i < size; ++i) {
            if (!owned[r][i] && m_Copy.Base(rec)[i] != now.Base(rec)[i]) {
                char buf[64];
                std::snprintf(buf, sizeof buf, "%s+0x%03zX", r == 0 ? "context" : "data", i);
                Change c;
                c.before = buf;
                c.after = "host byte changed";
                out.push_back(c);
            }
        }
    }
    return out;
}

std::string FormatChanges(const std::vector<Change>& changes) {
    std::string out;
    for (const Change& c : changes) {
        if (!out.empty()) {
            out += ' ';
        }
        if (c.field == nullptr) {
            out += c.before + " (" + c.after + ")";
        } else {
            out += std::string(c.field->name) + ' ' + c.before + "->" + c.after;
            if (!c.note.empty()) {
                out += " (" + c.note + ")";
            }
        }
    }
    return out;
}

}  // namespace hostkit
