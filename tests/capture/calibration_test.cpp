#include "tools/capture/calibration.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace capture {
namespace {

// Writers that each read the store before any of them wrote (a `deckctl capture --calibrate`
// and a server storing at once): none may lose another's entry.
TEST(CalibrationStore, WritersAtOnceKeepEveryEntry) {
    char dir[] = "/tmp/tapedeck-cal-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/capture.json";
    constexpr int kWriters = 8;
    std::vector<CalibrationStore> stores(kWriters);
    for (CalibrationStore& s : stores) {
        std::string error;
        ASSERT_TRUE(s.Load(path, &error)) << error;
    }
    std::vector<std::thread> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.emplace_back([&stores, i] {
            CalibrationEntry e;
            e.deck = "port " + std::to_string(i + 1);
            e.input = "unix:/tmp/video.sock";
            e.rate = "25";
            e.offsetMs = 100.0 + i;
            std::string error;
            EXPECT_TRUE(stores[i].Put(e, &error)) << error;
        });
    }
    for (std::thread& t : writers) {
        t.join();
    }
    CalibrationStore after;
    std::string error;
    ASSERT_TRUE(after.Load(path, &error)) << error;
    for (int i = 0; i < kWriters; ++i) {
        const auto e = after.Find("port " + std::to_string(i + 1), "unix:/tmp/video.sock", "25");
        ASSERT_TRUE(e.has_value()) << "port " << i + 1 << "'s entry was lost";
        EXPECT_EQ(e->offsetMs, 100.0 + i);
    }
    for (const auto& f : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(f.path().filename().string().find(".part-"), std::string::npos) << f.path();
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace capture
