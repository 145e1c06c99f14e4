#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "SignalDriver.h"
#include "TestAccess.h"

namespace {

using Impl = PowerModule::PowerModuleImpl;

constexpr double twoPi = 6.283185307179586;

struct Tracking {
    const double* frequency;
    const double* phasor;
    const double* flag;
};

Tracking trackingOf(Impl& impl) {
    GpuBuffer<double>& buffer = impl.buffers.periodTrackingBuffer;
    return {buffer.getHostBuffer(0), buffer.getHostBuffer(1), buffer.getHostBuffer(2)};
}

void configure(PowerModule& module, double fs, int divisor, unsigned int length) {
    module.beginUpdate();
    module.setSampleRate(fs, divisor);
    module.setBufferLength(length);
    module.setPeriodValuesEnabled(true);
    module.endUpdate();
}

TEST(PeriodTracking, WholePositionSegmentsWritePhaseFrequencyAndFlag) {
    PowerModule module;
    configure(module, 1000.0, 1, 16);
    module.reset(0);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    driver.schedule(0, 10, 50.0, true);
    driver.schedule(10, 10, 25.0, false);  // wraps the ring of 16
    const Tracking t = trackingOf(impl);
    double phase = 0.0;
    for (unsigned p = 0; p < 20; ++p) {
        SCOPED_TRACE(p);
        const double frequency = p < 10 ? 50.0 : 25.0;
        double whole;
        phase = std::modf(phase + frequency * (1.0 / 1000.0), &whole);
        const unsigned s = p % 16;
        if (p >= 4) {  // positions 0-3 were overwritten by 16-19
            EXPECT_EQ(t.frequency[s], frequency);
            EXPECT_EQ(t.phasor[2 * s], std::cos(twoPi * phase));
            EXPECT_EQ(t.phasor[2 * s + 1], std::sin(twoPi * phase));
            EXPECT_EQ(t.flag[s], p < 10 ? 1.0 : 0.0);
        }
    }
    EXPECT_EQ(impl.trackingPhase, phase);
    EXPECT_EQ(impl.previousFrequency, 25.0);
    EXPECT_EQ(impl.previousFlag, 0.0);
}

TEST(PeriodTracking, FractionalSegmentEndsShareTheirPositions) {
    PowerModule module;
    configure(module, 1000.0, 4, 64);
    module.reset(0);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    const Tracking t = trackingOf(impl);
    // Caller indices 0-9: positions 0, 1 and half of 2.
    driver.schedule(0, 10, 40.0);
    const double shift40 = 40.0 * (1.0 / 1000.0);
    EXPECT_DOUBLE_EQ(impl.trackingPhase, 2.5 * shift40);
    // Caller indices 10-21: positions 2 (second half) to 5 (first half).
    driver.schedule(10, 12, 80.0);
    EXPECT_EQ(t.frequency[2], 0.5 * 40.0 + 0.5 * 80.0);
    EXPECT_EQ(t.frequency[3], 80.0);
    EXPECT_EQ(t.frequency[5], 80.0);
    const double shift80 = 80.0 * (1.0 / 1000.0);
    EXPECT_NEAR(impl.trackingPhase, 2.5 * shift40 + 3.0 * shift80, 1e-15);
    // Position 2 is shared: its phasor is written again at the later share.
    const double phase2 = 2.5 * shift40 + 0.5 * shift80;
    EXPECT_NEAR(t.phasor[4], std::cos(twoPi * phase2), 1e-14);
    EXPECT_NEAR(t.phasor[5], std::sin(twoPi * phase2), 1e-14);

    // A segment inside one position advances by its first share only (caller
    // index 22 is sub-position 2 of position 5: the rest of it is 0.5).
    driver.schedule(22, 1, 80.0);
    EXPECT_NEAR(impl.trackingPhase, 2.5 * shift40 + 3.5 * shift80, 1e-15);
}

TEST(PeriodTracking, FlagOfASharedFirstPosition) {
    struct Case {
        const char* what;
        bool previousFlag;
        unsigned long long first;  // divisor 10: first fraction 1 - (first % 10) / 10
        bool flag;
        double expected;
    };
    const Case cases[] = {
        {"previous set, small share", true, 19, true, 1.0},
        {"previous clear, small share", false, 19, true, 0.0},
        {"previous clear, share 0.9", false, 11, true, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerModule module;
        configure(module, 1000.0, 10, 64);
        module.reset(0);
        SignalDriver driver(module);
        driver.schedule(0, static_cast<int>(c.first), 50.0, c.previousFlag);
        driver.schedule(c.first, 30, 50.0, c.flag);
        const Tracking t = trackingOf(PowerModuleTestAccess::impl(module));
        EXPECT_EQ(t.flag[c.first / 10], c.expected);
        EXPECT_EQ(t.flag[c.first / 10 + 1], c.flag ? 1.0 : 0.0);
    }
    // Right after a reset the previous flag counts as set and the previous
    // frequency as 0, so a first segment starting inside a position blends
    // with 0 Hz there.
    PowerModule module;
    configure(module, 1000.0, 4, 64);
    module.reset(0);
    SignalDriver driver(module);
    driver.schedule(3, 9, 50.0, true);
    const Tracking t = trackingOf(PowerModuleTestAccess::impl(module));
    EXPECT_EQ(t.flag[0], 1.0);
    EXPECT_EQ(t.frequency[0], 0.25 * 50.0);
}

TEST(PeriodTracking, ItemsOfOneCycleChainWithoutGaps) {
    PowerModule module;
    configure(module, 10000.0, 1, 4000);
    module.reset(1000);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    driver.schedule(1000, 990, 50.0);
    // 990 positions of 200 per cycle: four items finish, the fifth is current.
    ASSERT_EQ(impl.periodResultsQueue.size(), 4u);
    std::shared_ptr<PowerPeriodResultsQueueItem> item = impl.periodResultsQueue.front();
    EXPECT_EQ(item->getItemIndex(), 0u);
    EXPECT_EQ(item->getFirstSampleIndex(), 1000u);
    EXPECT_EQ(item->getFirstSampleFractionToUse(), 1.0);
    for (unsigned k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(item->isLengthCalculated());
        EXPECT_EQ(item->getItemIndex(), k);
        EXPECT_NEAR(item->getTotalLength(), 200.0, 1e-9);
        // The successor starts in the position where the item ends (tiny
        // first share) or in the next one (share of about 1).
        std::shared_ptr<PowerPeriodResultsQueueItem> next = item->getNextItem();
        ASSERT_TRUE(next);
        const unsigned long long last = item->getLastRequiredSampleIndex();
        if (next->getFirstSampleIndex() == last) {
            EXPECT_NEAR(next->getFirstSampleFractionToUse() + item->getLastSampleFractionToUse(), 1.0, 1e-9);
        } else {
            EXPECT_EQ(next->getFirstSampleIndex(), last + 1);
            EXPECT_NEAR(item->getLastSampleFractionToUse(), 1.0, 1e-9);
            EXPECT_NEAR(next->getFirstSampleFractionToUse(), 1.0, 1e-9);
        }
        EXPECT_NEAR(static_cast<double>(last), 1000.0 + 200.0 * (k + 1) - 1.0, 1.0);
        item = next;
    }
    EXPECT_EQ(impl.currentPeriodQueueItem, item);
}

TEST(PeriodTracking, ExactCycleEndsOnAPositionBoundary) {
    // 0.25 cycles per position is exact in binary: every item ends with a
    // whole last position and the next starts at the next position.
    PowerModule module;
    configure(module, 200.0, 1, 64);
    module.reset(0);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    driver.schedule(0, 12, 50.0);
    ASSERT_EQ(impl.periodResultsQueue.size(), 3u);
    for (unsigned k = 0; k < 3; ++k) {
        const std::shared_ptr<PowerPeriodResultsQueueItem> item = impl.periodResultsQueue.front();
        impl.periodResultsQueue.pop();
        EXPECT_EQ(item->getFirstSampleIndex(), 4u * k);
        EXPECT_EQ(item->getLastRequiredSampleIndex(), 4u * k + 3);
        EXPECT_EQ(item->getFirstSampleFractionToUse(), 1.0);
        EXPECT_EQ(item->getLastSampleFractionToUse(), 1.0);
        EXPECT_EQ(item->getTotalLength(), 4.0);
    }
    EXPECT_EQ(impl.currentPeriodQueueItem->getFirstSampleIndex(), 12u);
}

TEST(PeriodTracking, HalfOverlapStartsAnItemEveryHalfCycle) {
    PowerModule module;
    configure(module, 200.0, 1, 64);
    module.setPeriodValuesOverlapInPercent(50);
    module.reset(0);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    driver.schedule(0, 12, 50.0);
    // Items of 4 positions every 2 positions: [0,3], [2,5], ..., [8,11].
    ASSERT_EQ(impl.periodResultsQueue.size(), 5u);
    for (unsigned k = 0; k < 5; ++k) {
        const std::shared_ptr<PowerPeriodResultsQueueItem> item = impl.periodResultsQueue.front();
        impl.periodResultsQueue.pop();
        EXPECT_EQ(item->getItemIndex(), k);
        EXPECT_EQ(item->getFirstSampleIndex(), 2u * k);
        EXPECT_EQ(item->getLastRequiredSampleIndex(), 2u * k + 3);
    }
}

TEST(PeriodTracking, FeedingStopsAtTheLastPositionWritten) {
    PowerModule module;
    configure(module, 10000.0, 1, 1000);
    module.reset(0);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    module.scheduleForPeriodCalculation(0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(impl.currentPeriodQueueItem->getNextSampleIndexToProcess(), 1u);  // position 0 only
    driver.schedule(1, 99, 50.0);
    EXPECT_EQ(impl.currentPeriodQueueItem->getNextSampleIndexToProcess(), 100u);
    // A call that ends before the item's next position feeds nothing more.
    module.reset(500);
    driver.schedule(400, 50, 50.0);
    EXPECT_EQ(impl.currentPeriodQueueItem->getNextSampleIndexToProcess(), 500u);
}

TEST(PeriodTracking, CallsOutsideTheContractChangeNothing) {
    PowerModule module;
    configure(module, 1000.0, 1, 64);
    Impl& impl = PowerModuleTestAccess::impl(module);
    SignalDriver driver(module);
    driver.schedule(0, 10, 50.0);  // no reset yet: no current item
    EXPECT_EQ(impl.trackingPhase, 0.0);
    EXPECT_TRUE(impl.periodResultsQueue.empty());

    module.reset(0);
    driver.schedule(0, 10, 50.0);
    const double phase = impl.trackingPhase;
    struct Case {
        const char* what;
        int length;
        double frequency;
    };
    const Case rejected[] = {{"zero length", 0, 50.0},
                             {"negative length", -5, 50.0},
                             {"zero frequency", 10, 0.0},
                             {"negative frequency", 10, -50.0},
                             {"infinite frequency", 10, INFINITY},
                             {"frequency not a number", 10, NAN},
                             {"more than a cycle per position", 10, 1000.5}};
    for (const Case& c : rejected) {
        SCOPED_TRACE(c.what);
        unsigned long long firsts[2] = {10, 20};
        int lengths[2] = {10, c.length};
        double frequencies[2] = {50.0, c.frequency};
        bool flags[2] = {true, true};
        EXPECT_THROW(module.scheduleForPeriodCalculation(2, firsts, lengths, frequencies, flags),
                     std::invalid_argument);
        EXPECT_EQ(impl.trackingPhase, phase);  // the valid first segment was not written either
    }
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, nullptr, nullptr, nullptr, nullptr), std::invalid_argument);

    module.setSampleRate(1000.0, 0);
    module.reset(0);
    EXPECT_THROW(driver.schedule(0, 10, 50.0), std::invalid_argument);
    module.setSampleRate(1000.0, 1);

    for (unsigned short overlap : {100, 150}) {
        module.setPeriodValuesOverlapInPercent(overlap);
        module.reset(0);
        EXPECT_THROW(driver.schedule(0, 10, 50.0), std::invalid_argument) << overlap;
    }
    module.setPeriodValuesOverlapInPercent(0);
    module.setHalfPeriodValuesCount(0);
    module.reset(0);
    EXPECT_THROW(driver.schedule(0, 10, 50.0), std::invalid_argument);

    // Period values switched off after the reset: no tracking storage, no change.
    module.setHalfPeriodValuesCount(2);
    module.reset(0);
    module.setPeriodValuesEnabled(false);
    driver.schedule(0, 10, 50.0);
    EXPECT_EQ(impl.trackingPhase, 0.0);
}

}  // namespace
