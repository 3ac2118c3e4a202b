// The record tables of docs/host-interface.md against the compiled layout: every byte of each
// record is documented exactly once, at the offset and width the plug-in uses.
#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "plugin/records.h"

namespace {

struct Row {
    std::size_t offset;
    std::size_t width;
    std::string field;  // empty for reserved bytes
    bool operator==(const Row& o) const {
        return offset == o.offset && width == o.width && field == o.field;
    }
};

void PrintTo(const Row& r, std::ostream* os) {
    *os << "0x" << std::hex << r.offset << std::dec << " +" << r.width << " "
        << (r.field.empty() ? "reserved" : r.field);
}

#define NAMED(T, m)                      \
    Row {                                \
        offsetof(T, m), sizeof(T::m), #m \
    }
#define RESERVED(T, m)                   \
    Row {                                \
        offsetof(T, m), sizeof(T::m), "" \
    }

// Every member in order, reserved ones included; Tiles() proves nothing is left out.
std::vector<Row> ContextRows() {
    return {
        RESERVED(DEVICE_CONTEXT, reserved000), NAMED(DEVICE_CONTEXT, szName),
        NAMED(DEVICE_CONTEXT, pDevice),        RESERVED(DEVICE_CONTEXT, reserved210),
        NAMED(DEVICE_CONTEXT, nPosition),      RESERVED(DEVICE_CONTEXT, reserved420),
        NAMED(DEVICE_CONTEXT, nPort),          RESERVED(DEVICE_CONTEXT, reserved428),
        NAMED(DEVICE_CONTEXT, nCueOffset),     RESERVED(DEVICE_CONTEXT, reserved434),
        NAMED(DEVICE_CONTEXT, nSpeed),         NAMED(DEVICE_CONTEXT, dwOptions),
        NAMED(DEVICE_CONTEXT, nState),         NAMED(DEVICE_CONTEXT, dwPending),
        RESERVED(DEVICE_CONTEXT, reserved448), NAMED(DEVICE_CONTEXT, bAnswer29),
        NAMED(DEVICE_CONTEXT, bAnswer30),      RESERVED(DEVICE_CONTEXT, reserved65C),
        NAMED(DEVICE_CONTEXT, nVideoFormat),   NAMED(DEVICE_CONTEXT, bAnswer18),
    };
}
std::vector<Row> DataRows() {
    return {
        RESERVED(COMMAND_DATA, reserved00), NAMED(COMMAND_DATA, idPlugin),
        RESERVED(COMMAND_DATA, reserved14), NAMED(COMMAND_DATA, nIdentFlag),
        RESERVED(COMMAND_DATA, reserved1C), NAMED(COMMAND_DATA, nFrames),
    };
}

bool Tiles(const std::vector<Row>& rows, std::size_t size) {
    std::size_t at = 0;
    for (const Row& r : rows) {
        if (r.offset != at) {
            return false;
        }
        at += r.width;
    }
    return at == size;
}

// The rows of the "| Offset | Width | Field |" table under the first heading naming `record`.
std::vector<Row> DocumentedRows(const std::string& record) {
    std::ifstream in(TAPEDECK_HOST_INTERFACE_DOC);
    EXPECT_TRUE(in.good()) << TAPEDECK_HOST_INTERFACE_DOC;
    const std::regex row(R"(^\| *0x([0-9A-Fa-f]+) *\| *([0-9]+) *\| *([^|]*?) *\|.*)");
    const std::regex name("^`([A-Za-z0-9_]+)`$");
    std::vector<Row> rows;
    std::string line;
    bool under = false;
    bool inTable = false;
    while (std::getline(in, line)) {
        if (line.rfind('#', 0) == 0) {
            if (under && !rows.empty()) {
                break;
            }
            under = line.find("`" + record + "`") != std::string::npos;
        } else if (under && line.rfind("| Offset | Width | Field |", 0) == 0) {
            inTable = true;
        } else if (inTable && line.rfind('|', 0) != 0) {
            break;
        } else if (inTable) {
            std::smatch m;
            std::smatch n;
            if (std::regex_match(line, m, row)) {
                const std::string cell = m[3];
                const bool named = std::regex_match(cell, n, name);
                EXPECT_TRUE(named || cell == "reserved") << line;
                rows.push_back(Row{std::stoul(m[1], nullptr, 16), std::stoul(m[2]),
                                   named ? std::string(n[1]) : std::string()});
            } else {
                EXPECT_TRUE(line.rfind("|---", 0) == 0) << "not a record row: " << line;
            }
        }
    }
    return rows;
}

TEST(RecordTables, CompiledListsCoverEveryByte) {
    EXPECT_TRUE(Tiles(ContextRows(), sizeof(DEVICE_CONTEXT)));
    EXPECT_TRUE(Tiles(DataRows(), sizeof(COMMAND_DATA)));
}

TEST(RecordTables, DocumentMatchesCompiledLayout) {
    EXPECT_EQ(DocumentedRows("DEVICE_CONTEXT"), ContextRows());
    EXPECT_EQ(DocumentedRows("COMMAND_DATA"), DataRows());
}

}  // namespace
