// A host's view of the module for tests: records in canary-filled buffers, a scripted deck
// behind the serial fake, and a call helper that checks no byte outside a command's fields moved.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fake_port.h"
#include "plugin/export.h"
#include "plugin/records.h"

namespace testing_support {

// Answers the deck's side of the protocol one written chunk at a time.
struct FakeDeck {
    BYTE status[10] = {};
    BYTE systemByte = 0x00;  // bit 0 set: video system 4
    Bytes timeReply;         // the reply to 0xA0, as sent
    bool silent = false;
    bool nakCommands = false;  // answer 0x0B to command bytes
    int nakCues = 0;           // refuse this many coming cue commands with 0x0B

    Bytes Respond(const uint8_t* data, int count);

  private:
    bool m_InCue = false;
    bool m_AfterDE = false;
};

// Byte offset and width of a record field, for the canary checks.
struct Field {
    std::size_t offset;
    std::size_t size;
};

#define CTX_FIELD(name)                                              \
    Field {                                                          \
        offsetof(DEVICE_CONTEXT, name), sizeof(DEVICE_CONTEXT::name) \
    }
#define DATA_FIELD(name)                                         \
    Field {                                                      \
        offsetof(COMMAND_DATA, name), sizeof(COMMAND_DATA::name) \
    }

class HostTest : public testing::Test {
  protected:
    static constexpr std::size_t kSlack = 64;  // canary bytes past each record

    HostTest();
    ~HostTest() override;

    DEVICE_CONTEXT& ctx() { return *reinterpret_cast<DEVICE_CONTEXT*>(m_CtxBuf); }
    COMMAND_DATA& data() { return *reinterpret_cast<COMMAND_DATA*>(m_DataBuf); }

    // Calls Main and fails the test if a byte changed outside the fields the command may write.
    int Call(int nCommand);
    // Calls Main and fails the test if any byte of either record changed.
    int CallUntouched(int nCommand, COMMAND_DATA* pData);

    // Connects on port 3 with the deck answering; clears the fake's log afterwards.
    void Connect();

    FakePort fake;
    FakeDeck deck;

  private:
    int CallChecked(int nCommand, COMMAND_DATA* pData, bool strict);

    alignas(8) BYTE m_CtxBuf[sizeof(DEVICE_CONTEXT) + kSlack];
    alignas(8) BYTE m_DataBuf[sizeof(COMMAND_DATA) + kSlack];
    ActiveFake m_Active{fake};
};

// The fields each command may write, by the host interface's rules.
std::vector<std::pair<bool, Field>> WritableFields(int nCommand);  // first: true = context

}  // namespace testing_support
