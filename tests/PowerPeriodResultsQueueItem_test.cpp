#include "period/PowerPeriodResultsQueueItem.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

void feedToEnd(PowerPeriodResultsQueueItem& item, double phaseShift) {
    for (unsigned long long p = item.getNextSampleIndexToProcess(); !item.isLengthCalculated(); ++p) {
        item.addSampleWithPhaseShift(p, phaseShift);
    }
}

TEST(PowerPeriodResultsQueueItem, OverlapSpawnsTheSuccessorMidItemOnce) {
    PowerPeriodResultsQueueItem item(5, 10, 1.0, 1.0, 0.5);
    item.addSampleWithPhaseShift(10, 0.3);
    item.addSampleWithPhaseShift(11, 0.3);  // crosses 0.5 two thirds into 11
    std::shared_ptr<PowerPeriodResultsQueueItem> next = item.getNextItem();
    ASSERT_TRUE(next);
    EXPECT_EQ(next->getItemIndex(), 6u);
    EXPECT_EQ(next->getFirstSampleIndex(), 11u);
    EXPECT_NEAR(next->getFirstSampleFractionToUse(), 1.0 / 3.0, 1e-15);

    feedToEnd(item, 0.3);
    EXPECT_EQ(item.getNextItem(), next);
    EXPECT_EQ(item.getLastRequiredSampleIndex(), 13u);
    EXPECT_NEAR(item.getTotalLength(), 2.0 + 1.0 + 1.0 / 3.0, 1e-15);
}

TEST(PowerPeriodResultsQueueItem, FirstShareScalesOnlyTheFirstAdvance) {
    PowerPeriodResultsQueueItem item(0, 10, 0.5, 1.0, 1.0);
    feedToEnd(item, 0.25);  // phases 0.125, 0.375, 0.625, 0.875, then half a step
    EXPECT_EQ(item.getLastRequiredSampleIndex(), 14u);
    EXPECT_EQ(item.getLastSampleFractionToUse(), 0.5);
    EXPECT_EQ(item.getTotalLength(), 4.0);
    ASSERT_TRUE(item.getNextItem());
    EXPECT_EQ(item.getNextItem()->getFirstSampleFractionToUse(), 0.5);

    // The spawn test sees the whole first step.
    PowerPeriodResultsQueueItem early(0, 10, 0.5, 1.0, 0.25);
    early.addSampleWithPhaseShift(10, 0.25);
    ASSERT_TRUE(early.getNextItem());
    EXPECT_EQ(early.getNextItem()->getFirstSampleIndex(), 11u);
}

}  // namespace
