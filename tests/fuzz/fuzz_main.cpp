// Main as a host calls it, with any command number and any record contents, against a serial
// fake whose replies, short reads, failed writes and silences the input chooses. After every
// call the bytes outside the command's own fields, and past both records, must be as before.
//
// Input, step after step:
//   command byte: below 0xE0 picks a command Main carries out, else a 32-bit number follows
//   flags byte:   1 null context, 2 null block, 4 fields follow, 8 handle follows,
//                 0x10 the open fails, 0x20 the line setup fails, 0x40 a well deck answers,
//                 0x80 the next two writes come out short
//   [fields]      nPort nPosition nCueOffset nSpeed dwOptions dwPending nState nVideoFormat
//   [handle]      pDevice
// and, when no well deck answers, each write takes its reply from the input:
//   0x00-0x3F silence, 0x40-0x7F 0x0A, 0x80-0xBF 0x0B, 0xC0-0xFF (b & 15) bytes that follow.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "fake_port.h"
#include "fuzz_input.h"
#include "host_fixture.h"
#include "plugin/device_table.h"
#include "plugin/export.h"
#include "plugin/records.h"

namespace {

using testing_support::Bytes;
using testing_support::FakeDeck;
using testing_support::FakePort;

constexpr int kCommands[] = {1, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 24, 25, 29, 30, 33, 44, 47, 53};
constexpr std::size_t kSlack = 64;
constexpr int kMaxSteps = 24;

void Fail(const char* what, int cmd, std::size_t at) {
    std::fprintf(stderr, "fuzz_main: %s (command %d, byte 0x%zx)\n", what, cmd, at);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static FakePort fake;
    static bool ready = (serial::SetActivePort(&fake), true);
    (void)ready;

    fuzzing::Input in(data, size);
    FakeDeck well;
    bool useWell = false;
    fake.responder = [&](const uint8_t* bytes, int count) -> Bytes {
        if (useWell) {
            return well.Respond(bytes, count);
        }
        const uint8_t b = in.Byte();
        if (b < 0x40) {
            return {};
        }
        if (b < 0x80) {
            return {0x0A};
        }
        if (b < 0xC0) {
            return {0x0B};
        }
        return in.Bytes(b & 15u);
    };
    well.status[3] = 0x20;  // threaded
    well.timeReply = {0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x31, 0x32};

    alignas(8) static uint8_t ctxBuf[sizeof(DEVICE_CONTEXT) + kSlack];
    alignas(8) static uint8_t dataBuf[sizeof(COMMAND_DATA) + kSlack];
    for (std::size_t i = 0; i < sizeof ctxBuf; ++i) {
        ctxBuf[i] = static_cast<uint8_t>(0xC3 ^ (i * 7));
    }
    for (std::size_t i = 0; i < sizeof dataBuf; ++i) {
        dataBuf[i] = static_cast<uint8_t>(0x5A ^ (i * 13));
    }
    auto* ctx = reinterpret_cast<DEVICE_CONTEXT*>(ctxBuf);
    auto* cmdData = reinterpret_cast<COMMAND_DATA*>(dataBuf);
    ctx->pDevice = 0;
    ctx->nPort = 3;
    ctx->nVideoFormat = 1;

    std::set<uint32_t> connected;
    for (int step = 0; step < kMaxSteps && !in.Empty(); ++step) {
        const uint8_t pick = in.Byte();
        const int cmd = pick < 0xE0 ? kCommands[pick % (sizeof kCommands / sizeof kCommands[0])]
                                    : static_cast<int>(in.Word());
        const uint8_t flags = in.Byte();
        if (flags & 4) {
            ctx->nPort = static_cast<int32_t>(in.Word());
            ctx->nPosition = static_cast<int32_t>(in.Word());
            ctx->nCueOffset = static_cast<int32_t>(in.Word());
            ctx->nSpeed = static_cast<int32_t>(in.Word());
            ctx->dwOptions = in.Word();
            ctx->dwPending = in.Word();
            ctx->nState = static_cast<int32_t>(in.Word());
            ctx->nVideoFormat = static_cast<int32_t>(in.Word());
        }
        if (flags & 8) {
            ctx->pDevice = in.Word();
        }
        fake.openResult = (flags & 0x10) ? -1 : 0;
        fake.setLineResult = (flags & 0x20) ? -1 : 0;
        useWell = (flags & 0x40) != 0;
        fake.writeResults.clear();
        if (flags & 0x80) {
            fake.writeResults = {0, -1};
        }
        DEVICE_CONTEXT* pContext = (flags & 1) ? nullptr : ctx;
        COMMAND_DATA* pData = (flags & 2) ? nullptr : cmdData;

        uint8_t ctxBefore[sizeof ctxBuf];
        uint8_t dataBefore[sizeof dataBuf];
        std::memcpy(ctxBefore, ctxBuf, sizeof ctxBuf);
        std::memcpy(dataBefore, dataBuf, sizeof dataBuf);
        const uint32_t handleBefore = ctx->pDevice;

        const int r = Main(cmd, pContext, pData);

        if (r != 0 && r != 1) {
            Fail("result neither 0 nor 1", cmd, 0);
        }
        bool ctxMay[sizeof ctxBuf] = {};
        bool dataMay[sizeof dataBuf] = {};
        if (pContext != nullptr) {
            for (const auto& [inContext, f] : testing_support::WritableFields(cmd)) {
                if (!inContext && pData == nullptr) {
                    continue;
                }
                for (std::size_t i = 0; i < f.size; ++i) {
                    (inContext ? ctxMay : dataMay)[f.offset + i] = true;
                }
            }
        }
        for (std::size_t i = 0; i < sizeof ctxBuf; ++i) {
            if (!ctxMay[i] && ctxBuf[i] != ctxBefore[i]) {
                Fail("context byte outside the command's fields changed", cmd, i);
            }
        }
        for (std::size_t i = 0; i < sizeof dataBuf; ++i) {
            if (!dataMay[i] && dataBuf[i] != dataBefore[i]) {
                Fail("block byte outside the command's fields changed", cmd, i);
            }
        }
        if (pContext != nullptr && cmd == 5 && r == 1) {
            if (handleBefore != 0 || ctx->pDevice == 0) {
                Fail("connect over a nonzero handle, or to handle 0", cmd, 0x20C);
            }
            connected.insert(ctx->pDevice);
        }
        fake.ClearLog();
    }
    // Leave the table as the input found it, whatever handles the input overwrote.
    for (uint32_t h : connected) {
        device_table::Remove(h);
    }
    if (device_table::LiveCount() != 0) {
        Fail("a deck outlived its input", 0, 0);
    }
    fake.responder = nullptr;
    return 0;
}
