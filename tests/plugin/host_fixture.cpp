#include "host_fixture.h"

#include <cstring>

#include "deck/wire.h"
#include "timecode/timecode.h"

namespace testing_support {

Bytes FakeDeck::Respond(const uint8_t* data, int count) {
    if (silent || count <= 0) {
        return {};
    }
    if (count > 1) {
        return {};  // the plug-in never writes more than one byte at a time to this deck
    }
    const BYTE b = data[0];
    if (m_InCue) {
        // Cue digits and sign never take the terminator's value.
        m_InCue = b != wire::kCueEnd;
        return {wire::kAck};
    }
    if (m_AfterDE) {
        m_AfterDE = false;
        if (b == wire::kVideoSystem2) {
            return {systemByte};
        }
    }
    switch (b) {
        case wire::kStatusFirst:
            return Bytes(status, status + 5);
        case wire::kStatusSecond:
            return Bytes(status + 5, status + 10);
        case wire::kVideoSystem1:
            m_AfterDE = true;
            return {wire::kAck};
        case wire::kTimeRequest:
            return timeReply;
        case wire::kCueCommand:
            if (nakCues > 0) {
                --nakCues;
                return {wire::kNak};
            }
            m_InCue = true;
            return {wire::kAck};
        case 0x3A:
        case 0x3F:
        case 0x4B:
        case 0x2A:
        case 0x3D:
        case 0x3E:
        case 0x4D:
        case 0x4E:
            return {nakCommands ? wire::kNak : wire::kAck};
        case wire::kVarSpeedForward:
        case wire::kVarSpeedReverse:
            return {nakCommands ? wire::kNak : wire::kAck};
        default:
            // Variable-speed digits follow 0xB5/0xB6.
            if (b >= 0x30 && b <= 0x38) {
                return {nakCommands ? wire::kNak : wire::kAck};
            }
            return {wire::kNak};
    }
}

HostTest::HostTest() {
    for (std::size_t i = 0; i < sizeof m_CtxBuf; ++i) {
        m_CtxBuf[i] = static_cast<BYTE>(0xC3 ^ (i * 7));
    }
    for (std::size_t i = 0; i < sizeof m_DataBuf; ++i) {
        m_DataBuf[i] = static_cast<BYTE>(0x5A ^ (i * 13));
    }
    // A record as a host would start it: not connected, 25 fps, nothing pending.
    ctx().pDevice = 0;
    ctx().nVideoFormat = 1;
    ctx().nPort = 3;
    ctx().nState = 6;
    ctx().dwPending = 0;
    ctx().dwOptions = 0;
    fake.responder = [this](const uint8_t* d, int n) { return deck.Respond(d, n); };
}

HostTest::~HostTest() {
    ctx().dwPending = 0;
    Main(6, &ctx(), &data());  // never leave a deck in the process-wide table
    SetVideoFormat(1);
}

int HostTest::Call(int nCommand) {
    return CallChecked(nCommand, &data(), false);
}

int HostTest::CallUntouched(int nCommand, COMMAND_DATA* pData) {
    return CallChecked(nCommand, pData, true);
}

int HostTest::CallChecked(int nCommand, COMMAND_DATA* pData, bool strict) {
    BYTE ctxBefore[sizeof m_CtxBuf];
    BYTE dataBefore[sizeof m_DataBuf];
    std::memcpy(ctxBefore, m_CtxBuf, sizeof m_CtxBuf);
    std::memcpy(dataBefore, m_DataBuf, sizeof m_DataBuf);

    const int result = Main(nCommand, &ctx(), pData);

    std::vector<bool> ctxMay(sizeof m_CtxBuf, false);
    std::vector<bool> dataMay(sizeof m_DataBuf, false);
    for (const auto& [inContext, f] :
         strict ? std::vector<std::pair<bool, Field>>{} : WritableFields(nCommand)) {
        auto& may = inContext ? ctxMay : dataMay;
        for (std::size_t i = 0; i < f.size; ++i) {
            may[f.offset + i] = true;
        }
    }
    for (std::size_t i = 0; i < sizeof m_CtxBuf; ++i) {
        if (!ctxMay[i]) {
            EXPECT_EQ(m_CtxBuf[i], ctxBefore[i])
                << "command " << nCommand << " wrote context byte 0x" << std::hex << i;
        }
    }
    for (std::size_t i = 0; i < sizeof m_DataBuf; ++i) {
        if (!dataMay[i]) {
            EXPECT_EQ(m_DataBuf[i], dataBefore[i])
                << "command " << nCommand << " wrote data byte 0x" << std::hex << i;
        }
    }
    return result;
}

void HostTest::Connect() {
    ctx().pDevice = 0;
    ASSERT_EQ(Call(5), 1) << fake.Trace();
    ASSERT_NE(ctx().pDevice, 0u);
    fake.ClearLog();
}

std::vector<std::pair<bool, Field>> WritableFields(int nCommand) {
    switch (nCommand) {
        case 1:
            return {{true, CTX_FIELD(szName)},
                    {false, DATA_FIELD(idPlugin)},
                    {false, DATA_FIELD(nIdentFlag)}};
        case 5:
            return {{true, CTX_FIELD(pDevice)}, {true, CTX_FIELD(nState)}};
        case 6:
            return {{true, CTX_FIELD(pDevice)}};
        case 7:
        case 8:
        case 9:
        case 16:
        case 19:
        case 24:
            return {{true, CTX_FIELD(nState)}};
        case 10:
            return {{true, CTX_FIELD(nState)}, {true, CTX_FIELD(dwPending)}};
        case 18:
            return {{true, CTX_FIELD(bAnswer18)}};
        case 25:
            return {{false, DATA_FIELD(nFrames)}};
        case 29:
            return {{true, CTX_FIELD(bAnswer29)}};
        case 30:
            return {{true, CTX_FIELD(bAnswer30)}};
        case 44:
            return {{true, CTX_FIELD(nVideoFormat)}};
        default:
            return {};
    }
}

}  // namespace testing_support
