#include "scheduling/PowerResultsQueueItem.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(PowerResultsQueueItem, NewItemIsAMinimalWindowUntilCalculated) {
    PowerResultsQueueItem item(10000.0, 7, 1ULL << 40, 3000, 34);
    EXPECT_EQ(item.getNextSampleIndex(), (1ULL << 40) + 4);
    EXPECT_EQ(item.getFftOutputLength(), 3u);
    EXPECT_EQ(item.getDFrequency(), 1.0);

    item.setCalculation(1000, 2000, 200.0, 12, 2048, 4025, 51, 50.0);
    EXPECT_EQ(item.getNextSampleIndex(), 3000u);
    EXPECT_EQ(item.getPeriodCount(), 10u);
    EXPECT_EQ(item.getFftOutputLength(), 1025u);
    EXPECT_EQ(item.getFirstFftOutputSampleIndex(), 3000u);  // 3000 + 1025 just fits
    EXPECT_EQ(item.getDFrequency(), 4.8828125);
    EXPECT_EQ(item.getHarmonicLength(), 51u);  // limited; the orders alone give 101
    EXPECT_EQ(item.getIndex(), 7u);

    item.setCalculation(1000, 2000, 200.0, 12, 2048, 4024, 51, 50.0);
    EXPECT_EQ(item.getFirstFftOutputSampleIndex(), 0u);
}

TEST(PowerResultsQueueItem, CountsAreRoundedAsDocumented) {
    PowerResultsQueueItem item(10000.0, 0, 0, 0, 0);
    // 9.5 periods round to 10; 1023 * (10000 / 2047) / 49 = 101.99 takes the
    // ceiling, and order 0 adds one.
    item.setCalculation(0, 19, 2.0, 12, 2047, 4096, 500, 49.0);
    EXPECT_EQ(item.getPeriodCount(), 10u);
    EXPECT_EQ(item.getFftOutputLength(), 1024u);
    EXPECT_EQ(item.getHarmonicLength(), 103u);

    item.setCalculation(0, 1899, 200.0, 12, 2048, 4096, 51, 50.0);
    EXPECT_EQ(item.getPeriodCount(), 9u);
    item.setCalculation(0, 2000, 200.0, 9, 2048, 4096, 51, 50.0);
    EXPECT_EQ(item.getPeriodCount(), 9u);
}

TEST(PowerResultsQueueItem, CountsOfDegenerateWindowsAreDefined) {
    // Period counts from length / period length, harmonic lengths from the
    // frequency: NaN and negative quotients count 0, infinite ones saturate
    // and are then capped by the limits.
    struct Case {
        double periodLength, frequency;
        unsigned int periods, harmonics;
    };
    const double nan = std::nan("");
    const Case cases[] = {{0.0, 50.0, 12, 51}, {-200.0, 50.0, 0, 51}, {nan, 50.0, 0, 51},
                          {200.0, 0.0, 10, 51}, {200.0, -50.0, 10, 1},  {200.0, nan, 10, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.periodLength << " " << c.frequency);
        PowerResultsQueueItem item(10000.0, 0, 0, 0, 0);
        item.setCalculation(0, 2000, c.periodLength, 12, 2048, 4096, 51, c.frequency);
        EXPECT_EQ(item.getPeriodCount(), c.periods);
        EXPECT_EQ(item.getHarmonicLength(), c.harmonics);
    }
}

}  // namespace
