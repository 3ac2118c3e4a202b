// A serial layer that answers like a healthy deck at once and allocates nothing, so the CPU
// benchmark times the plug-in alone and its allocation count is the plug-in's own.
#pragma once

#include <cstdint>
#include <cstring>

#include "deck/serial/serial.h"
#include "deck/wire.h"

namespace bench {

class LeanDeck : public serial::Port {
  public:
    int Open(int) override { return 0; }
    int SetLine(int, int, int) override { return 0; }
    int Flush(int, int) override {
        m_nReply = m_nRead = 0;
        return 0;
    }
    int SetTimeout(int, int, int) override { return 0; }
    int Write(int, const uint8_t* data, int count) override {
        for (int i = 0; i < count; ++i) {
            Answer(data[i]);
        }
        return count;
    }
    int Read(int, uint8_t* data, int count) override {
        int n = m_nReply - m_nRead;
        if (n > count) {
            n = count;
        }
        std::memcpy(data, m_Reply + m_nRead, static_cast<std::size_t>(n));
        m_nRead += n;
        return n;
    }
    int Close(int) override { return 0; }
    int AroundClose(int, int, int) override { return 0; }

    // Bytes the plug-in wrote and read since the last reset, to check each call's traffic.
    long BytesOut() const { return m_nOut; }
    long BytesIn() const { return m_nIn; }
    void ResetCounts() { m_nOut = m_nIn = 0; }

  private:
    void Put(const uint8_t* bytes, int n) {
        if (m_nReply + n > static_cast<int>(sizeof m_Reply)) {
            m_nReply = m_nRead = 0;  // an unread reply is lost, as a flush would lose it
        }
        std::memcpy(m_Reply + m_nReply, bytes, static_cast<std::size_t>(n));
        m_nReply += n;
        m_nIn += n;
    }

    void Answer(uint8_t b) {
        // Status: idle, threaded, nothing busy. Time: 00:00:10:00.
        static const uint8_t kStatus1[5] = {0x00, 0x02, 0x00, 0x20, 0x00};
        static const uint8_t kStatus2[5] = {0x00, 0x00, 0x00, 0x00, 0x00};
        static const uint8_t kTime[8] = {'0', '0', '0', '0', '1', '0', '0', '0'};
        static const uint8_t kAck = wire::kAck;
        static const uint8_t kSystem1 = 0x00;
        ++m_nOut;
        if (m_bSystemNext) {
            m_bSystemNext = false;
            Put(&kSystem1, 1);
            return;
        }
        switch (b) {
            case wire::kStatusFirst:
                Put(kStatus1, 5);
                break;
            case wire::kStatusSecond:
                Put(kStatus2, 5);
                break;
            case wire::kTimeRequest:
                Put(kTime, 8);
                break;
            case wire::kVideoSystem1:
                m_bSystemNext = true;
                Put(&kAck, 1);
                break;
            default:
                Put(&kAck, 1);
                break;
        }
    }

    uint8_t m_Reply[64] = {};
    int m_nReply = 0;
    int m_nRead = 0;
    bool m_bSystemNext = false;
    long m_nOut = 0;
    long m_nIn = 0;
};

}  // namespace bench
