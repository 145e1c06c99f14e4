#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "powerquality/IntervalAggregator.h"
#include "powerquality/IntervalAggregatorApi.h"
#include "powerquality/PowerModuleApi.h"

namespace {

struct Taken {
    std::vector<IntervalAggregate> frames;
    std::vector<double> values;  // valueCount per frame
};

Taken takeAll(IntervalAggregator& a, bool tenMinute) {
    Taken out;
    const int n = a.getValueCount();
    IntervalAggregate frames[4];
    double values[4 * 8];
    for (;;) {
        const int got =
            tenMinute ? a.getTenMinuteIntervals(4, frames, values) : a.getThreeSecondIntervals(4, frames, values);
        out.frames.insert(out.frames.end(), frames, frames + got);
        out.values.insert(out.values.end(), values, values + got * n);
        if (got < 4) {
            return out;
        }
    }
}

// Two values per window: a magnitude that grows with the window number and a
// signed value that alternates around a small mean.
double magnitude(int k) { return 100.0 + k; }
double alternating(int k) { return (k % 2 == 0 ? 5.0 : -3.0) + 0.1 * k; }

void addWindows(IntervalAggregator& a, double first, double length, int from, int count, int flagged = -1) {
    for (int k = from; k < from + count; ++k) {
        const double values[2] = {magnitude(k), alternating(k)};
        a.addWindow(first + length * (k - from), first + length * (k - from + 1), values, k == flagged);
    }
}

// The root mean square of the magnitudes, or the mean of the alternating values, of windows [from, from + count).
double aggregateOf(int from, int count, bool mean) {
    double sum = 0.0;
    for (int k = from; k < from + count; ++k) {
        sum += mean ? alternating(k) : magnitude(k) * magnitude(k);
    }
    return mean ? sum / count : std::sqrt(sum / count);
}

}  // namespace

// Fifteen windows make an interval, handed out with the fifteenth; the values
// are the root mean square, or the mean for a value set so; flush hands out
// the partial rest.
TEST(IntervalAggregator, FifteenWindowsRmsOrMeanAndFlush) {
    IntervalAggregator a(2);
    a.setMeanAggregated(1, true);
    addWindows(a, 0.0, 0.2, 0, 14);
    EXPECT_EQ(a.getPendingThreeSecondCount(), 0);
    addWindows(a, 14 * 0.2, 0.2, 14, 1);
    ASSERT_EQ(a.getPendingThreeSecondCount(), 1);
    addWindows(a, 15 * 0.2, 0.2, 15, 17);  // 15 more and 2 over

    Taken t = takeAll(a, false);
    ASSERT_EQ(t.frames.size(), 2u);
    for (int k = 0; k < 2; ++k) {
        const IntervalAggregate& f = t.frames[k];
        EXPECT_EQ(f.windowCount, 15);
        EXPECT_TRUE(f.complete);
        EXPECT_FALSE(f.flagged);
        EXPECT_EQ(f.clockInterval, 0);
        EXPECT_DOUBLE_EQ(f.startTime, 3.0 * k);
        EXPECT_DOUBLE_EQ(f.endTime, 3.0 * (k + 1));
        EXPECT_DOUBLE_EQ(t.values[2 * k], aggregateOf(15 * k, 15, false));
        EXPECT_DOUBLE_EQ(t.values[2 * k + 1], aggregateOf(15 * k, 15, true));
    }
    // The mode is the one in force when an interval closes.
    a.setMeanAggregated(1, false);
    a.setMeanAggregated(0, true);
    EXPECT_TRUE(a.isMeanAggregated(0));
    EXPECT_EQ(a.getPendingTenMinuteCount(), 0);
    a.flush();
    t = takeAll(a, false);
    ASSERT_EQ(t.frames.size(), 1u);
    EXPECT_EQ(t.frames[0].windowCount, 2);
    EXPECT_FALSE(t.frames[0].complete);
    EXPECT_DOUBLE_EQ(t.values[0], (130.0 + 131.0) / 2.0);
    EXPECT_DOUBLE_EQ(t.values[1], std::sqrt((8.0 * 8.0 + 0.1 * 0.1) / 2.0));  // 5 + 3.0, -3 + 3.1

    Taken ten = takeAll(a, true);
    ASSERT_EQ(ten.frames.size(), 1u);
    EXPECT_EQ(ten.frames[0].windowCount, 32);
    EXPECT_FALSE(ten.frames[0].complete);
    EXPECT_DOUBLE_EQ(ten.values[0], 115.5);  // the mean of 100 .. 131
    a.flush();  // nothing running: nothing more
    EXPECT_EQ(a.getPendingThreeSecondCount() + a.getPendingTenMinuteCount(), 0);
}

// A tick inside a window: the window goes with the intervals before the tick.
// The 150/180-cycle interval in progress runs on to its fifteen windows past
// the tick while a new one starts with the first window after it ("overlap
// 1"); the two share the windows between.
TEST(IntervalAggregator, WindowOverTheTickEndsTheTenMinutesAndTheThreeSecondsRunOn) {
    IntervalAggregator a(2, 599.0);  // caller time 1 s is the tick 600 s
    EXPECT_EQ(a.getClockOffset(), 599.0);
    addWindows(a, 0.1, 0.2, 0, 19);  // window 4 runs from 0.9 to 1.1
    Taken ten = takeAll(a, true);
    ASSERT_EQ(ten.frames.size(), 1u);
    EXPECT_EQ(ten.frames[0].windowCount, 5);
    EXPECT_DOUBLE_EQ(ten.frames[0].endTime, 1.1);
    EXPECT_FALSE(ten.frames[0].complete);  // began with the data, not with a tick
    Taken t = takeAll(a, false);
    ASSERT_EQ(t.frames.size(), 1u);
    EXPECT_EQ(t.frames[0].windowCount, 15);
    EXPECT_TRUE(t.frames[0].complete);
    EXPECT_EQ(t.frames[0].clockInterval, 0);
    EXPECT_DOUBLE_EQ(t.frames[0].endTime, 3.1);
    EXPECT_DOUBLE_EQ(t.values[0], aggregateOf(0, 15, false));

    // Fifteen windows after the tick, not ten: the new count began there.
    addWindows(a, 0.1 + 19 * 0.2, 0.2, 19, 1);
    t = takeAll(a, false);
    ASSERT_EQ(t.frames.size(), 1u);
    EXPECT_EQ(t.frames[0].windowCount, 15);
    EXPECT_EQ(t.frames[0].clockInterval, 1);
    EXPECT_DOUBLE_EQ(t.frames[0].startTime, 1.1);
    EXPECT_DOUBLE_EQ(t.values[0], aggregateOf(5, 15, false));

    // An interval still running on at the next tick (windows with a gap)
    // ends there incomplete; flush ends it too, before the newer one.
    IntervalAggregator gap(2, 599.0);
    addWindows(gap, 0.5, 0.2, 0, 3);  // 0.5 .. 1.1: the third over the tick at 1 (absolute 600)
    addWindows(gap, 600.0, 0.2, 3, 1);  // absolute 1199: the first past the tick
    addWindows(gap, 601.0, 0.2, 4, 2);  // absolute 1200 on: past the next tick
    gap.flush();
    t = takeAll(gap, false);
    ASSERT_EQ(t.frames.size(), 3u);
    const int counts[] = {4, 3, 2};  // ended by the second tick; ran on past it, ended by flush; the newest
    const double starts[] = {0.5, 600.0, 601.0};
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(t.frames[k].windowCount, counts[k]) << k;
        EXPECT_DOUBLE_EQ(t.frames[k].startTime, starts[k]) << k;
        EXPECT_FALSE(t.frames[k].complete) << k;
    }
}

// A window that ends on the tick belongs before it, one that starts on it
// after it (also when the start is a hair early from rounding); a host that
// resynchronises its windows may start one on the tick while the previous
// one still runs.
TEST(IntervalAggregator, WindowsOnTheTick) {
    const double v[2] = {1.0, 1.0};
    for (double onTick : {600.0, 600.0 - 1e-9}) {
        IntervalAggregator a(2);
        a.addWindow(599.6, 599.8, v, false);
        a.addWindow(599.8, 600.0, v, false);
        a.addWindow(onTick, 600.2, v, false);
        Taken ten = takeAll(a, true);
        ASSERT_EQ(ten.frames.size(), 1u) << onTick;
        EXPECT_EQ(ten.frames[0].windowCount, 2);
        EXPECT_EQ(ten.frames[0].clockInterval, 0);
        // The 150/180-cycle interval runs on past the tick: still open.
        EXPECT_EQ(a.getPendingThreeSecondCount(), 0);
        a.flush();
        Taken t = takeAll(a, false);
        ASSERT_EQ(t.frames.size(), 2u);
        EXPECT_EQ(t.frames[0].windowCount, 3);
        EXPECT_EQ(t.frames[1].windowCount, 1);
    }
    IntervalAggregator a(2);
    a.addWindow(599.9, 600.1, v, false);  // overlaps the tick
    a.addWindow(600.0, 600.2, v, false);  // the resynchronised series
    a.flush();
    Taken ten = takeAll(a, true);
    ASSERT_EQ(ten.frames.size(), 2u);
    EXPECT_EQ(ten.frames[0].windowCount, 1);
    EXPECT_DOUBLE_EQ(ten.frames[0].endTime, 600.1);
    EXPECT_EQ(ten.frames[1].clockInterval, 1);
    EXPECT_DOUBLE_EQ(ten.frames[1].startTime, 600.0);
}

// Clock intervals over an epoch-sized offset: a whole interval from tick to
// tick is complete, flags spread to the intervals that hold a flagged window,
// and a gap of whole clock intervals produces no records.
TEST(IntervalAggregator, TenMinuteIntervalsFlagsAndGaps) {
    // 1700000400 s is a whole 10 minutes: ticks at caller 570 + 600 k.
    IntervalAggregator a(1, 1700000400.0 + 30.0);
    EXPECT_DOUBLE_EQ(a.getClockOffset(), 30.0);
    for (int k = 0; k < 30; ++k) {  // 50-second windows from 20 s to 1520 s
        const double value = 10.0;
        a.addWindow(20.0 + 50.0 * k, 70.0 + 50.0 * k, &value, k == 13);
    }
    const double value = 10.0;
    a.addWindow(4000.0, 4050.0, &value, false);  // after a gap of three clock intervals
    a.flush();
    Taken ten = takeAll(a, true);
    ASSERT_EQ(ten.frames.size(), 4u);
    // [0, 570): windows at 20 .. 520 (11); [570, 1170): 570 .. 1120 (12);
    // [1170, 1770): 1170 .. 1470 (7), not complete as the data pause there;
    // then the lone window at 4000.
    const int counts[4] = {11, 12, 7, 1};
    const bool complete[4] = {false, true, false, false};
    const bool flagged[4] = {false, true, false, false};  // window 13 starts at 670
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(ten.frames[k].windowCount, counts[k]) << k;
        EXPECT_EQ(ten.frames[k].complete, complete[k]) << k;
        EXPECT_EQ(ten.frames[k].flagged, flagged[k]) << k;
        EXPECT_DOUBLE_EQ(ten.values[k], 10.0);
    }
    EXPECT_EQ(ten.frames[0].clockInterval, 2833334);
    EXPECT_EQ(ten.frames[1].clockInterval, 2833335);
    EXPECT_EQ(ten.frames[2].clockInterval, 2833336);
    EXPECT_EQ(ten.frames[3].clockInterval, 2833334 + 6);  // 4030 s after 1700000400
    EXPECT_DOUBLE_EQ(ten.frames[1].startTime, 570.0);
    EXPECT_DOUBLE_EQ(ten.frames[1].endTime, 1170.0);

    // The 150/180-cycle stream: 11 and 12 windows run on past their ticks to
    // 15 (both hold the flagged window at 670); 7 are cut by the pause; 1.
    Taken t = takeAll(a, false);
    ASSERT_EQ(t.frames.size(), 4u);
    const int threeSecondCounts[4] = {15, 15, 7, 1};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(t.frames[k].windowCount, threeSecondCounts[k]) << k;
        EXPECT_EQ(t.frames[k].flagged, k < 2) << k;
    }
    EXPECT_DOUBLE_EQ(t.frames[1].endTime, 1320.0);
}

// Windows of one minute from 60 minutes into a 2-hour clock block: the first
// block holds the 10-minute values of clock intervals 6 to 11, the second
// twelve whole ones (12 to 23), flush closes the third with one.
TEST(IntervalAggregator, TwoHourValuesFromTwelveTenMinuteValuesOnTheClock) {
    IntervalAggregator a(2, 3600.0);
    a.setMeanAggregated(1, true);
    addWindows(a, 0.0, 60.0, 0, 182, 65);
    EXPECT_EQ(a.getPendingTwoHourCount(), 2);
    a.flush();
    const Taken ten = takeAll(a, true);
    ASSERT_EQ(ten.frames.size(), 19u);
    IntervalAggregate frames[4];
    double values[8];
    ASSERT_EQ(a.getTwoHourIntervals(4, frames, values), 3);
    EXPECT_EQ(a.getPendingTwoHourCount(), 0);
    struct Expected {
        std::size_t first, count;
        long long clock;
        bool flagged, complete;
    };
    const Expected expected[3] = {{0, 6, 6, false, false}, {6, 12, 12, true, true}, {18, 1, 24, false, false}};
    for (int b = 0; b < 3; ++b) {
        SCOPED_TRACE(b);
        const Expected& e = expected[b];
        double squares = 0.0, sum = 0.0;
        for (std::size_t k = e.first; k < e.first + e.count; ++k) {
            squares += ten.values[2 * k] * ten.values[2 * k];
            sum += ten.values[2 * k + 1];
        }
        EXPECT_NEAR(values[2 * b], std::sqrt(squares / e.count), 1e-9);
        EXPECT_NEAR(values[2 * b + 1], sum / e.count, 1e-12);
        EXPECT_EQ(frames[b].windowCount, static_cast<int>(e.count));
        EXPECT_EQ(frames[b].clockInterval, e.clock);
        EXPECT_EQ(frames[b].startTime, ten.frames[e.first].startTime);
        EXPECT_EQ(frames[b].endTime, ten.frames[e.first + e.count - 1].endTime);
        EXPECT_EQ(frames[b].flagged, e.flagged);
        EXPECT_EQ(frames[b].complete, e.complete);
    }
}

// Refused input changes nothing: after each refusal the aggregator still
// gives exactly what a twin fed only the good windows gives.
TEST(IntervalAggregator, RefusedInputChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_THROW(IntervalAggregator(0), std::invalid_argument);
    EXPECT_THROW(IntervalAggregator(-2), std::invalid_argument);
    EXPECT_THROW(IntervalAggregator(1, nan), std::invalid_argument);
    EXPECT_THROW(IntervalAggregator(1, inf), std::invalid_argument);

    IntervalAggregator a(2, -1.0);  // a negative offset is kept modulo 600
    IntervalAggregator twin(2, -1.0);
    EXPECT_DOUBLE_EQ(a.getClockOffset(), 599.0);
    EXPECT_THROW(a.setMeanAggregated(2, true), std::invalid_argument);
    EXPECT_THROW(a.setMeanAggregated(-1, true), std::invalid_argument);
    EXPECT_THROW(a.isMeanAggregated(2), std::invalid_argument);

    addWindows(a, 0.0, 0.2, 0, 3);
    addWindows(twin, 0.0, 0.2, 0, 3);
    const double good[2] = {1.0, 2.0};
    const double bad[3][2] = {{nan, 1.0}, {1.0, inf}, {-inf, 0.0}};
    for (const auto& values : bad) {
        EXPECT_THROW(a.addWindow(0.6, 0.8, values, true), std::invalid_argument);
    }
    EXPECT_THROW(a.addWindow(nan, 0.8, good, true), std::invalid_argument);
    EXPECT_THROW(a.addWindow(0.6, inf, good, true), std::invalid_argument);
    EXPECT_THROW(a.addWindow(0.6, 0.5, good, true), std::invalid_argument);  // ends before it starts
    EXPECT_THROW(a.addWindow(0.3, 0.8, good, true), std::invalid_argument);  // starts before 0.4
    EXPECT_THROW(a.addWindow(1e16, 1e16, good, true), std::invalid_argument);
    EXPECT_THROW(a.addWindow(0.6, 0.8, nullptr, true), std::invalid_argument);
    try {
        a.addWindow(0.6, 0.8, bad[1], false);
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("value 1"), std::string::npos) << e.what();
    }
    IntervalAggregate frames[1];
    double values[2];
    EXPECT_THROW(a.getThreeSecondIntervals(-1, frames, values), std::invalid_argument);
    EXPECT_THROW(a.getTenMinuteIntervals(1, nullptr, values), std::invalid_argument);
    EXPECT_THROW(a.getTenMinuteIntervals(1, frames, nullptr), std::invalid_argument);
    EXPECT_EQ(a.getTenMinuteIntervals(0, nullptr, nullptr), 0);

    // The rest as one batch, refused whole while any window in it is bad.
    std::vector<double> starts, ends, batch;
    std::vector<char> flags(12, 0);
    for (int k = 3; k < 15; ++k) {
        starts.push_back(0.6 + 0.2 * (k - 3));  // as addWindows places them
        ends.push_back(0.6 + 0.2 * (k - 2));
        batch.push_back(magnitude(k));
        batch.push_back(alternating(k));
    }
    batch[2 * 11 + 1] = nan;  // the last window's
    try {
        a.addWindows(12, starts.data(), ends.data(), batch.data(), nullptr);
        ADD_FAILURE() << "a NaN was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("window 11: value 1"), std::string::npos) << e.what();
    }
    batch[2 * 11 + 1] = 0.0;
    std::swap(starts[4], starts[5]);  // goes back inside the batch
    EXPECT_THROW(a.addWindows(12, starts.data(), ends.data(), batch.data(), nullptr), std::invalid_argument);
    std::swap(starts[4], starts[5]);
    batch[2 * 11 + 1] = alternating(14);
    EXPECT_THROW(a.addWindows(-1, starts.data(), ends.data(), batch.data(), nullptr), std::invalid_argument);
    EXPECT_THROW(a.addWindows(1, starts.data(), nullptr, batch.data(), nullptr), std::invalid_argument);
    EXPECT_EQ(a.getPendingThreeSecondCount() + a.getPendingTenMinuteCount(), 0);
    a.addWindows(12, starts.data(), ends.data(), batch.data(), reinterpret_cast<const bool*>(flags.data()));
    addWindows(twin, 0.6, 0.2, 3, 12);  // over the tick at 1.0
    a.flush();
    twin.flush();
    for (bool tenMinute : {false, true}) {
        const Taken x = takeAll(a, tenMinute);
        const Taken y = takeAll(twin, tenMinute);
        ASSERT_EQ(x.frames.size(), y.frames.size());
        EXPECT_EQ(x.frames.size(), 2u);
        for (std::size_t k = 0; k < x.frames.size(); ++k) {
            EXPECT_EQ(x.frames[k].startTime, y.frames[k].startTime);
            EXPECT_EQ(x.frames[k].endTime, y.frames[k].endTime);
            EXPECT_EQ(x.frames[k].windowCount, y.frames[k].windowCount);
            // The tick at caller time 1 s is absolute 0.
            EXPECT_EQ(x.frames[k].clockInterval, static_cast<long long>(k) - 1);
            EXPECT_FALSE(x.frames[k].flagged);
        }
        EXPECT_EQ(x.values, y.values);
    }
}

// The flat door: status codes, the thread's message, nothing written on
// failure, and the values array laid out record by record.
TEST(IntervalAggregator, FlatInterface) {
    const char* message = nullptr;
    EXPECT_EQ(intervalAggregator_create(0, 0.0), nullptr);
    ASSERT_EQ(getLastErrorMessage(nullptr, &message), 0);
    EXPECT_NE(std::string(message).find("value count"), std::string::npos) << message;

    IntervalAggregatorHandle h = intervalAggregator_create(2, 0.0);
    ASSERT_NE(h, nullptr);
    int n = -7;
    EXPECT_EQ(intervalAggregator_getValueCount(h, &n), 0);
    EXPECT_EQ(n, 2);
    EXPECT_EQ(intervalAggregator_setMeanAggregated(h, 1, true), 0);
    bool mean = false;
    EXPECT_EQ(intervalAggregator_getMeanAggregated(h, 1, &mean), 0);
    EXPECT_TRUE(mean);
    mean = false;
    EXPECT_EQ(intervalAggregator_getMeanAggregated(h, 5, &mean), 1);
    EXPECT_FALSE(mean);

    for (int k = 0; k < 16; ++k) {
        const double v[2] = {3.0 * (k + 1), -1.0 * k};
        ASSERT_EQ(intervalAggregator_addWindow(h, 0.2 * k, 0.2 * (k + 1), v, k == 15), 0);
    }
    const double v[2] = {1.0, std::numeric_limits<double>::quiet_NaN()};
    EXPECT_EQ(intervalAggregator_addWindow(h, 4.0, 4.2, v, false), 1);
    getLastErrorMessage(nullptr, &message);
    EXPECT_NE(std::string(message).find("not finite"), std::string::npos) << message;
    EXPECT_EQ(intervalAggregator_addWindow(nullptr, 4.0, 4.2, v, false), 1);
    EXPECT_EQ(intervalAggregator_flush(h), 0);

    int three = -1, ten = -1;
    EXPECT_EQ(intervalAggregator_getPendingCounts(h, &three, nullptr), 1);
    EXPECT_EQ(three, -1);
    EXPECT_EQ(intervalAggregator_getPendingCounts(h, &three, &ten), 0);
    EXPECT_EQ(three, 2);
    EXPECT_EQ(ten, 1);
    IntervalAggregate frames[3];
    double values[6] = {};
    EXPECT_EQ(intervalAggregator_getThreeSecondIntervals(h, 3, nullptr, frames, values), 1);
    n = -1;
    EXPECT_EQ(intervalAggregator_getThreeSecondIntervals(h, -1, &n, frames, values), 1);
    EXPECT_EQ(n, -1);
    // Record k's values at values[2 k + i]: the mean of 0 .. -14, then the lone window.
    EXPECT_EQ(intervalAggregator_getThreeSecondIntervals(h, 3, &n, frames, values), 0);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(std::vector<double>(values + 1, values + 4), (std::vector<double>{-7.0, 48.0, -15.0}));
    int twoHour = -1;
    EXPECT_EQ(intervalAggregator_getPendingTwoHourCount(h, &twoHour), 0);
    EXPECT_EQ(intervalAggregator_getTwoHourIntervals(h, 3, &n, frames, values), 0);
    EXPECT_EQ(n, twoHour);
    EXPECT_EQ(intervalAggregator_getTwoHourIntervals(h, -1, &n, frames, values), 1);
    EXPECT_EQ(intervalAggregator_destroy(h), 0);
    EXPECT_EQ(intervalAggregator_destroy(nullptr), 0);
}
