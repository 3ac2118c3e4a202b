#include "deck/vtr_device.h"

#include <cstring>
#include <mutex>

#include "deck/wire.h"
#include "hostsupport/hostsupport.h"
#include "timecode/timecode.h"

int32_t g_PortInUse[256];
int32_t g_bPortTableReady = 0;

namespace {
// Host threads may build their first decks at the same moment; the table is set up once.
std::once_flag g_PortTableOnce;
}  // namespace

CVtrDevice::CVtrDevice() : CVtrDevice(serial::ActivePort()) {}

CVtrDevice::CVtrDevice(serial::Port& port) : m_Serial(port) {
    // Status bytes start cleared so that a test before the first sense reads no garbage.
    std::memset(m_Status, 0, sizeof m_Status);
    Initialize(TRUE);
}

CVtrDevice::~CVtrDevice() {
    Initialize(FALSE);
}

BOOL CVtrDevice::Initialize(BOOL bInit) {
    if (!bInit) {
        Close();
        return TRUE;
    }
    m_nPort = 0;
    std::memset(m_RecvBuf, 0, sizeof m_RecvBuf);
    std::memset(m_SendBuf, 0, sizeof m_SendBuf);
    m_nRetries = 1;
    m_nTimeout = kTimeoutMs;
    m_nVideoSystem = 0;
    std::call_once(g_PortTableOnce, [] {
        std::memset(g_PortInUse, 0, sizeof g_PortInUse);
        g_bPortTableReady = 1;
    });
    return TRUE;
}

BOOL CVtrDevice::Open(int nPort) {
    if (m_nPort != 0) {
        Close();
    }
    if (m_Serial.Open(nPort) != 0) {
        return FALSE;
    }
    m_nPort = nPort;
    if (m_Serial.SetLine(nPort, serial::kSpeed9600, serial::kMode8N1) != 0) {
        Close();
        return FALSE;
    }
    m_Serial.Flush(nPort, serial::kFlushBoth);
    m_Serial.SetTimeout(nPort, m_nTimeout, 0);
    if (!SenseStatus()) {
        Close();
        return FALSE;
    }
    return TRUE;
}

BOOL CVtrDevice::Close() {
    // Under the lock, so a disconnect waits for another thread's exchange to finish.
    CDeviceLock lock(this);
    if (m_nPort <= 0) {
        return FALSE;
    }
    if (m_nPort < 256) {
        g_PortInUse[m_nPort] = 0;
    }
    m_Serial.AroundClose(m_nPort, 0, 0);
    m_Serial.Close(m_nPort);
    m_Serial.AroundClose(m_nPort, 0, 0);
    m_nPort = 0;
    return TRUE;
}

BOOL CVtrDevice::Transact(int nSend, int nRecv) {
    if (nSend < 0 || nSend > 256 || nRecv < 0 || nRecv > 256) {
        return FALSE;
    }
    // The port is read under the lock: Close takes it too, so it cannot change mid-exchange.
    CDeviceLock lock(this);
    const int port = m_nPort;
    if (port == 0) {
        return FALSE;
    }
    m_Serial.Flush(port, serial::kFlushBoth);
    if (nSend != nRecv) {
        if (m_Serial.Write(port, m_SendBuf, nSend) != nSend) {
            return FALSE;
        }
        return m_Serial.Read(port, m_RecvBuf, nRecv) == nRecv ? TRUE : FALSE;
    }
    for (int i = 0; i < nSend; ++i) {
        // A slot the deck leaves unanswered must not keep an old acknowledge.
        m_RecvBuf[i] = 0;
        if (m_Serial.Write(port, &m_SendBuf[i], 1) == 1) {
            m_Serial.Read(port, &m_RecvBuf[i], 1);
        }
    }
    return TRUE;
}

BOOL CVtrDevice::SenseStatus() {
    CDeviceLock lock(this);
    for (int attempt = 0; attempt < m_nRetries; ++attempt) {
        m_SendBuf[0] = wire::kStatusFirst;
        if (!Transact(1, wire::kStatusReplyLen)) {
            continue;
        }
        std::memcpy(&m_Status[0], m_RecvBuf, wire::kStatusReplyLen);
        m_SendBuf[0] = wire::kStatusSecond;
        if (!Transact(1, wire::kStatusReplyLen)) {
            continue;
        }
        std::memcpy(&m_Status[5], m_RecvBuf, wire::kStatusReplyLen);
        return TRUE;
    }
    return FALSE;
}

int CVtrDevice::SenseVideoSystem() {
    CDeviceLock lock(this);
    m_nVideoSystem = 0;
    for (int attempt = 0; attempt < m_nRetries; ++attempt) {
        m_SendBuf[0] = wire::kVideoSystem1;
        m_SendBuf[1] = wire::kVideoSystem2;
        if (Transact(2, 2) && m_RecvBuf[0] == wire::kAck) {
            m_nVideoSystem = wire::VideoSystemFromByte(m_RecvBuf[1]);
            return m_nVideoSystem;
        }
    }
    return 0;
}

int CVtrDevice::TestStatus(UINT nCode) const {
    return wire::TestStatusBit(m_Status, nCode);
}

BOOL CVtrDevice::IsReady() const {
    return (m_Status[0] & 0x01) == 0 && (m_Status[5] & 0x10) == 0 ? TRUE : FALSE;
}

BOOL CVtrDevice::IsCueReady() const {
    return (m_Status[5] & 0x08) == 0 && (m_Status[0] & 0x08) == 0 ? TRUE : FALSE;
}

int CVtrDevice::SendCommand(BYTE cmd) {
    CDeviceLock lock(this);
    for (int attempt = 0; attempt < m_nRetries; ++attempt) {
        m_SendBuf[0] = cmd;
        if (Transact(1, 1) && m_RecvBuf[0] == wire::kAck) {
            return 1;
        }
    }
    return 0;
}

int CVtrDevice::SendCommand2(BYTE cmd, BYTE data) {
    CDeviceLock lock(this);
    for (int attempt = 0; attempt < m_nRetries; ++attempt) {
        m_SendBuf[0] = cmd;
        m_SendBuf[1] = data;
        if (Transact(2, 2) && m_RecvBuf[0] == wire::kAck && m_RecvBuf[1] == wire::kAck) {
            return 1;
        }
    }
    return 0;
}

int CVtrDevice::SendCommandData(BYTE cmd, BYTE first, const BYTE* data, int len) {
    // The frame of len + 2 bytes must fit the 256-byte buffers.
    if (len < 0 || len > 254 || (data == nullptr && len > 0)) {
        return 0;
    }
    CDeviceLock lock(this);
    for (int attempt = 0; attempt < m_nRetries; ++attempt) {
        m_SendBuf[0] = cmd;
        m_SendBuf[1] = first;
        if (len > 0) {
            std::memmove(&m_SendBuf[2], data, static_cast<std::size_t>(len));
        }
        if (Transact(len + 2, len + 2) && m_RecvBuf[0] == wire::kAck) {
            return 1;
        }
    }
    return 0;
}

int CVtrDevice::Command3A() {
    return SendCommand(0x3A);
}
int CVtrDevice::Command3F() {
    return SendCommand(0x3F);
}
int CVtrDevice::Command4B() {
    return SendCommand(0x4B);
}
int CVtrDevice::Command2A() {
    return SendCommand(0x2A);
}

int CVtrDevice::SpeedForward(int speed) {
    return SendCommand(wire::SpeedCommand(speed, true));
}

int CVtrDevice::SpeedReverse(int speed) {
    return SendCommand(wire::SpeedCommand(speed, false));
}

int CVtrDevice::VarSpeedForward(int speed) {
    BYTE digit = 0;
    if (!wire::VarSpeedDigit(speed, &digit)) {
        return 0;
    }
    return SendCommand2(wire::kVarSpeedForward, digit);
}

int CVtrDevice::VarSpeedReverse(int speed) {
    BYTE digit = 0;
    if (!wire::VarSpeedDigit(speed, &digit)) {
        return 0;
    }
    return SendCommand2(wire::kVarSpeedReverse, digit);
}

DWORD CVtrDevice::ReadTime(BOOL* pAnswered) {
    if (pAnswered != nullptr) {
        *pAnswered = FALSE;
    }
    // Held across the sense, the attempts and the decode, so they form one unit on the deck.
    CDeviceLock lock(this);
    if (m_nVideoSystem == 0) {
        SenseVideoSystem();
    }
    for (int attempt = 0; attempt < m_nRetries; ++attempt) {
        m_SendBuf[0] = wire::kTimeRequest;
        if (m_nVideoSystem == 4) {
            if (!Transact(1, wire::kTimeReplyLen4)) {
                continue;
            }
            DWORD value = wire::DecodeTimeDigits(&m_RecvBuf[1]);
            if (m_RecvBuf[0] == wire::kSignNegative) {
                // A time before zero is reported as its complement to 24 hours.
                value = ComplementToDay(value);
            }
            if (pAnswered != nullptr) {
                *pAnswered = TRUE;
            }
            return value;
        }
        if (m_nVideoSystem == 1) {
            if (!Transact(1, wire::kTimeReplyLen1)) {
                continue;
            }
            if (pAnswered != nullptr) {
                *pAnswered = TRUE;
            }
            return wire::DecodeTimeDigits(&m_RecvBuf[0]);
        }
    }
    return 0;
}

BOOL CVtrDevice::Cue(BYTE h, BYTE m, BYTE s, BYTE f, BOOL bPositive) {
    // Held across the sense and the send, so another thread cannot change the video system
    // between them.
    CDeviceLock lock(this);
    if (m_nVideoSystem == 0) {
        SenseVideoSystem();
    }
    BYTE block[wire::kCueBlockMax];
    const std::size_t len =
        wire::BuildCueBlock(h, m, s, f, m_nVideoSystem == 4, bPositive != FALSE, block);
    return SendCommandData(wire::kCueCommand, wire::kCueFirst, block, static_cast<int>(len));
}
