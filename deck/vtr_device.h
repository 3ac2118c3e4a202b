// One connected deck: its serial port, exchange buffers, lock, video system and status bytes.
#pragma once

#include <cstdint>

#include "deck/critical_section.h"
#include "deck/serial/serial.h"
#include "hostsupport/win_types.h"

// Process-wide per-port flags, cleared once per process and on each close.
extern int32_t g_PortInUse[256];
extern int32_t g_bPortTableReady;

class CVtrDevice {
  public:
    // How long a reply may take to come whole, in milliseconds: fixed for every exchange.
    static constexpr int32_t kTimeoutMs = 50;

    CVtrDevice();
    // Uses `port` instead of the active serial layer.
    explicit CVtrDevice(serial::Port& port);
    ~CVtrDevice();
    CVtrDevice(const CVtrDevice&) = delete;
    CVtrDevice& operator=(const CVtrDevice&) = delete;

    BOOL Initialize(BOOL bInit);
    BOOL Open(int nPort);
    BOOL Close();
    BOOL Transact(int nSend, int nRecv);

    // Status sense.
    BOOL SenseStatus();
    int SenseVideoSystem();
    int TestStatus(UINT nCode) const;
    BOOL IsReady() const;
    BOOL IsCueReady() const;

    // Senders and commands.
    int SendCommand(BYTE cmd);
    int SendCommand2(BYTE cmd, BYTE data);
    int SendCommandData(BYTE cmd, BYTE first, const BYTE* data, int len);
    int Command3A();
    int Command3F();
    int Command4B();
    int Command2A();
    int SpeedForward(int speed);
    int SpeedReverse(int speed);
    int VarSpeedForward(int speed);
    int VarSpeedReverse(int speed);

    // Time read and cue. A read the deck did not answer in full gives 0, like 00:00:00:00;
    // pAnswered, when given, tells the two apart.
    DWORD ReadTime(BOOL* pAnswered = nullptr);
    BOOL Cue(BYTE h, BYTE m, BYTE s, BYTE f, BOOL bPositive);

    int Port() const { return m_nPort; }
    int VideoSystem() const { return m_nVideoSystem; }
    const BYTE* Status() const { return m_Status; }
    // The exchange buffers, for callers of Transact.
    BYTE* SendBuf() { return m_SendBuf; }
    const BYTE* RecvBuf() const { return m_RecvBuf; }

  private:
    friend class CDeviceLock;

    serial::Port& m_Serial;
    int32_t m_nPort = 0;
    BYTE m_RecvBuf[256] = {};
    BYTE m_SendBuf[256] = {};
    int32_t m_nRetries = 1;
    int32_t m_nTimeout = kTimeoutMs;
    CCriticalSection m_Lock;
    int32_t m_nVideoSystem = 0;
    BYTE m_Status[10] = {};
};

// Holds a deck object's lock for its own lifetime.
class CDeviceLock {
  public:
    explicit CDeviceLock(CVtrDevice* pDevice) : m_pDevice(pDevice) { m_pDevice->m_Lock.Lock(); }
    ~CDeviceLock() { m_pDevice->m_Lock.Unlock(); }
    CDeviceLock(const CDeviceLock&) = delete;
    CDeviceLock& operator=(const CDeviceLock&) = delete;

  private:
    CVtrDevice* m_pDevice;
};
