// Connecting when memory runs out: Main returns 0, both records stay as they were, and no
// exception reaches the host. A replaced operator new fails on request.
#include <cstdlib>
#include <cstring>
#include <new>

#include "host_fixture.h"

namespace {
thread_local int t_FailAfter = -1;  // allocations to allow before failing; -1: never fail
}

void* operator new(std::size_t size) {
    if (t_FailAfter == 0) {
        throw std::bad_alloc();
    }
    if (t_FailAfter > 0) {
        --t_FailAfter;
    }
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

namespace testing_support {
namespace {

TEST_F(HostTest, ConnectOutOfMemoryReturnsZeroAndLeavesRecords) {
    BYTE ctxBefore[sizeof(DEVICE_CONTEXT)];
    BYTE dataBefore[sizeof(COMMAND_DATA)];
    std::memcpy(ctxBefore, &ctx(), sizeof ctxBefore);
    std::memcpy(dataBefore, &data(), sizeof dataBefore);
    t_FailAfter = 0;
    const int result = Main(5, &ctx(), &data());
    t_FailAfter = -1;
    EXPECT_EQ(result, 0);
    EXPECT_EQ(std::memcmp(ctxBefore, &ctx(), sizeof ctxBefore), 0);
    EXPECT_EQ(std::memcmp(dataBefore, &data(), sizeof dataBefore), 0);
    EXPECT_EQ(ctx().pDevice, 0u);
    EXPECT_EQ(fake.Trace(), "");  // no deck object, so no port was opened
    // Memory back: the same record connects.
    EXPECT_EQ(Call(5), 1);
}

TEST_F(HostTest, CommandsSurviveFailingAllocationsAnywhere) {
    Connect();
    // Whatever allocation fails, Main answers without letting the exception out.
    for (int allow = 0; allow < 8; ++allow) {
        for (int cmd : {1, 6, 7, 10, 25, 33}) {
            t_FailAfter = allow;
            const int result = Main(cmd, &ctx(), &data());
            t_FailAfter = -1;
            EXPECT_TRUE(result == 0 || result == 1) << cmd;
        }
        if (ctx().pDevice == 0) {
            Connect();
        }
    }
}

}  // namespace
}  // namespace testing_support
