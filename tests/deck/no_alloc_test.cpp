#include <atomic>
#include <cstdlib>
#include <new>

#include <gtest/gtest.h>

#include "deck/vtr_device.h"

namespace {
std::atomic<long> g_nAllocs{0};
}

void* operator new(std::size_t size) {
    g_nAllocs.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// A deck that acknowledges every byte and answers block requests with digits; allocates
// nothing itself, so any allocation counted comes from the deck object.
class AckingPort : public serial::Port {
  public:
    int Open(int) override { return 0; }
    int SetLine(int, int, int) override { return 0; }
    int Flush(int, int) override { return 0; }
    int SetTimeout(int, int, int) override { return 0; }
    int Write(int, const uint8_t*, int count) override { return count; }
    int Read(int, uint8_t* data, int count) override {
        for (int i = 0; i < count; ++i) {
            data[i] = count == 1 ? 0x0A : 0x31;
        }
        return count;
    }
    int Close(int) override { return 0; }
    int AroundClose(int, int, int) override { return 0; }
};

TEST(DeckExchange, AllocatesNoMemory) {
    AckingPort port;
    CVtrDevice deck(port);
    const long before = g_nAllocs.load();
    ASSERT_TRUE(deck.Open(3));
    EXPECT_EQ(deck.SenseVideoSystem(), 1);
    EXPECT_EQ(deck.Command3A(), 1);
    EXPECT_EQ(deck.VarSpeedForward(2), 1);
    EXPECT_EQ(deck.ReadTime(), 0x11111111u);
    EXPECT_EQ(deck.Cue(1, 2, 3, 4, 1), TRUE);
    EXPECT_TRUE(deck.Close());
    EXPECT_EQ(g_nAllocs.load(), before);
}

}  // namespace
