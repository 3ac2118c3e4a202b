#include "tools/capture/labeller.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace capture {
namespace {

// Time reads of a tape at `fps` whose position is p0 at t = 0, one every `period` seconds,
// each stamped up to `noise` seconds off the moment the deck took it.
struct ReadCase {
    double fps;
    double period;
    double noise;
    double p0;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.fps << " fps, a read every " << c.period * 1000 << " ms +/- " << c.noise * 1000;
}

class PlayLineReads : public ::testing::TestWithParam<ReadCase> {};

TEST_P(PlayLineReads, PlaceEveryFrameWithinAFifthOfAFrame) {
    const ReadCase c = GetParam();
    PlayLine line(c.fps);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-c.noise, c.noise);
    for (int i = 0; i * c.period < 2.0; ++i) {
        const double t = i * c.period;
        const auto frames = static_cast<int64_t>(std::floor(c.p0 + c.fps * (t + noise(random))));
        ASSERT_EQ(line.Add(t, frames), ReadFit::kAgrees) << t;
    }
    ASSERT_TRUE(line.Ready());
    // The middle of each frame's time, where calibration puts the frames, gets its label.
    const auto last = static_cast<int64_t>(c.p0 + c.fps * 1.9);
    for (int64_t k = static_cast<int64_t>(c.p0) + 1; k < last; ++k) {
        const double middle = (static_cast<double>(k) + 0.5 - c.p0) / c.fps;
        EXPECT_NEAR(line.Position(middle), static_cast<double>(k) + 0.5, 0.2) << k;
        EXPECT_EQ(line.Label(middle), k);
        EXPECT_NEAR(line.TimeOf(static_cast<double>(k) + 0.5), middle, 0.2 / c.fps);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PlayLineReads,
                         ::testing::Values(ReadCase{25, 0.0146, 0.002, 1500.3},  // 9600 baud
                                           ReadCase{30000.0 / 1001, 0.0146, 0.003, 1798.9},
                                           ReadCase{25, 0.010, 0.0005,
                                                    7500.0},  // a fast line, paced
                                           ReadCase{24000.0 / 1001, 0.027, 0.004, 12.6}));

// A second of reads at 25 fps, one every 15 ms, from position p0; the time after the last.
double Second(PlayLine& line, double p0) {
    int i = 0;
    for (; i * 0.015 < 1.0; ++i) {
        line.Add(i * 0.015, static_cast<int64_t>(std::floor(p0 + 25 * i * 0.015)));
    }
    return i * 0.015;
}

TEST(PlayLineBreak, AJumpIsABreakAfterThreeReadsAndTheLineRunsOnFromThem) {
    PlayLine line(25);
    const double t = Second(line, 100.5);
    const int64_t before = line.Label(t - 0.015);
    EXPECT_EQ(line.Add(t, 9000), ReadFit::kPending);
    EXPECT_EQ(line.Add(t + 0.015, 9000), ReadFit::kPending);
    EXPECT_EQ(line.Add(t + 0.030, 9001), ReadFit::kBreak);
    EXPECT_EQ(line.LastBreak().lastOnLine, before);
    EXPECT_EQ(line.LastBreak().firstAfter, 9000);
    EXPECT_FALSE(line.LastBreak().stopped);
    EXPECT_NEAR(line.Position(t + 0.1), 9000 + 2.5, 1.0);
}

TEST(PlayLineBreak, AStillTapeIsAStopAndOneWildReadIsNothing) {
    PlayLine line(25);
    double t = Second(line, 200.5);
    EXPECT_EQ(line.Add(t, 40), ReadFit::kPending);  // a garbled reply
    t += 0.015;
    EXPECT_EQ(line.Add(t, line.Label(t)), ReadFit::kAgrees);
    // The tape stops: reads within the line's slack still agree, then three in a row do not.
    const int64_t held = line.Label(t) + 1;
    std::vector<ReadFit> fits;
    for (int i = 1; i <= 12 && (fits.empty() || fits.back() != ReadFit::kBreak); ++i) {
        fits.push_back(line.Add(t + 0.015 * i, held));
    }
    ASSERT_GE(fits.size(), 3u);
    EXPECT_EQ(fits[fits.size() - 3], ReadFit::kPending);
    EXPECT_EQ(fits[fits.size() - 2], ReadFit::kPending);
    EXPECT_EQ(fits.back(), ReadFit::kBreak);
    EXPECT_TRUE(line.LastBreak().stopped);
    EXPECT_EQ(line.LastBreak().firstAfter, held);
}

TEST(CardClock, ArrivalsKeepTheCardsRegularityAndFollowANewClock) {
    CardClock clock;
    std::mt19937 random(3);
    std::uniform_real_distribution<double> late(0.0, 0.008);
    for (int k = 0; k < 200; ++k) {
        const double card = k / 25.0;
        // Now and then the host is held up by 30 ms.
        const double arrival = 1000.0 + card + 0.1 + late(random) + (k % 17 == 0 ? 0.03 : 0);
        const double smoothed = clock.Arrival(card, arrival);
        if (k >= 20) {
            EXPECT_NEAR(smoothed, 1000.0 + card + 0.104, 0.003) << k;
        }
    }
    // The card started again (a reconnect): its new times are taken at once.
    EXPECT_NEAR(clock.Arrival(0.0, 2000.0), 2000.0, 1e-9);
    // A frame without a card time keeps the time it came.
    EXPECT_EQ(clock.Arrival(std::nan(""), 5.0), 5.0);
}

struct SequenceCase {
    std::vector<int64_t> labels;
    std::vector<Sequence::Verdict> verdicts;
    int64_t missing;
    int64_t repeated;
};

void PrintTo(const SequenceCase& c, std::ostream* os) {
    for (const int64_t label : c.labels) {
        *os << label << ' ';
    }
}

class SequenceTable : public ::testing::TestWithParam<SequenceCase> {};

TEST_P(SequenceTable, KeepsInToOutAndNamesEachFault) {
    Sequence seq(10, 13);  // wants 10, 11, 12
    for (std::size_t i = 0; i < GetParam().labels.size(); ++i) {
        EXPECT_EQ(static_cast<int>(seq.Add(GetParam().labels[i])),
                  static_cast<int>(GetParam().verdicts[i]))
            << "label " << GetParam().labels[i];
    }
    EXPECT_EQ(seq.Missing(), GetParam().missing);
    EXPECT_EQ(seq.Repeated(), GetParam().repeated);
}

using V = Sequence::Verdict;
INSTANTIATE_TEST_SUITE_P(Table, SequenceTable,
                         ::testing::Values(SequenceCase{{8, 9, 10, 11, 12, 13},
                                                        {V::kBefore, V::kBefore, V::kKeep, V::kKeep,
                                                         V::kKeepLast, V::kAfter},
                                                        0,
                                                        0},
                                           SequenceCase{{9, 11}, {V::kBefore, V::kMissedIn}, 1, 0},
                                           SequenceCase{{10, 13}, {V::kKeep, V::kGap}, 2, 0},
                                           SequenceCase{{10, 12}, {V::kKeep, V::kGap}, 1, 0},
                                           SequenceCase{{10, 10}, {V::kKeep, V::kRepeat}, 0, 1}));

}  // namespace
}  // namespace capture
