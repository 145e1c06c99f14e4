// The rapid voltage change detector of one phase on short rows of values:
// band limits, events that last a window, reset, values that are not finite;
// and a group of them combined into one result: no value yet, events that end
// with the last detector to settle, simultaneous ends, resizing and
// initialising.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <tuple>
#include <vector>

#include "period/RvcMultiPhaseCalculation.h"
#include "period/RvcPhaseCalculation.h"

namespace {

// A result as one row: state, state changed, event ended, deltaUmax, deltaUss, duration.
using Row = std::tuple<int, bool, bool, float, float, double>;
Row row(const RvcResult& r) { return Row{r.state, r.stateChanged, r.eventEnded, r.deltaUmax, r.deltaUss, r.duration}; }

// Detectors with a window of length values in a group. A lone detector is
// fed values half a second apart from time 0 (push); a group of several one
// value each per second, like the period values of all phases (step), after
// a steady start of length values of 100.
struct Feed {
    explicit Feed(unsigned int length, unsigned int phases = 1)
        : detector((group.setNumberOfPhases(phases), group[0])), dt(phases > 1 ? 1.0 : 0.5) {
        for (unsigned int i = 0; i < phases; ++i) group[i].setSteadyStateLength(length);
        for (unsigned int k = 0; phases > 1 && k < length; ++k) step({100.0, 100.0});
    }
    const RvcResult& push(std::initializer_list<double> list) {
        for (double v : list) { detector.calculate(v, time); time += dt; }
        return detector.getCurrentResult();
    }
    RvcResult step(std::initializer_list<double> values) {
        unsigned int i = 0;
        for (double v : values) group[i++].calculate(v, time);
        time += dt;
        return group.getTotalResult();
    }
    RvcMultiPhaseCalculation group;
    RvcPhaseCalculation& detector;
    double dt, time = 0.0;
};

// The detector's queue holds what a std::deque holds through pushes at the
// back and pops at both ends, also when it grows while its values wrap round
// the end of its storage (as the window's extremes do once values leave).
TEST(RvcQueue, HoldsWhatADequeHolds) {
    for (const unsigned int popEvery : {2u, 3u, 7u}) {
        SCOPED_TRACE(popEvery);
        RvcQueue<int> queue;
        std::deque<int> expected;
        uint32_t seed = 7;
        for (int k = 0; k < 3000; ++k) {
            seed = seed * 1664525u + 1013904223u;
            if (k % popEvery == 0 && !expected.empty()) {
                const bool back = (seed >> 20) % 4 == 0;
                (back ? expected.pop_back() : expected.pop_front());
                (back ? queue.pop_back() : queue.pop_front());
            } else {
                expected.push_back(k);
                queue.push_back(k);
            }
            ASSERT_EQ(queue.size(), expected.size()) << k;
            if (!expected.empty()) {
                ASSERT_EQ(std::make_pair(queue.front(), queue.back()), std::make_pair(expected.front(), expected.back()));
            }
        }
        std::vector<int> held;
        for (int v : queue) held.push_back(v);
        EXPECT_EQ(held, std::vector<int>(expected.begin(), expected.end()));
    }
}

TEST(RvcPhaseCalculation, StepEndsWithHundredthEventValue) {
    RvcPhaseCalculation d;  // the default window of 100 values
    for (int i = 0; i < 100; ++i) d.calculate(230.0, i * 0.02);
    const RvcResult& r = d.getCurrentResult();
    for (int k = 0; k < 99; ++k) {
        d.calculate(240.0, (100 + k) * 0.02);
        ASSERT_EQ(row(r), Row(1, k == 0, false, 0.0f, 0.0f, 0.0)) << "value " << k;
    }
    d.calculate(240.0, 199 * 0.02);
    EXPECT_EQ(row(r), Row(0, true, true, 10.0f, 10.0f, 0.0));
    // The end is reported once; the next value clears the event fields.
    d.calculate(240.0, 4.0);
    EXPECT_EQ(row(r), Row(0, false, false, 0.0f, 0.0f, 0.0));
}

TEST(RvcPhaseCalculation, BandLimitsAreInsideAndEventsLastAWindow) {
    // Mean 100, band +/-2: 98 and 102 sit exactly on the limits.
    EXPECT_EQ(Feed(4).push({98.0, 98.0, 102.0, 102.0}).state, 0);
    Feed beyond(4);
    EXPECT_EQ(beyond.push({98.0, 98.0, 102.0, 102.5}).state, 1);  // fills the window and starts
    EXPECT_DOUBLE_EQ(beyond.detector.averageBeforeEvent, 298.0 / 3.0);
    Feed f(4);
    // The mean before 101 is 100; with it the window mean would be 100.75.
    EXPECT_EQ(f.push({98.0, 98.0, 102.0, 102.0, 101.0}).state, 1);
    EXPECT_EQ(f.detector.averageBeforeEvent, 100.0);
    // The window is already steady within +/-1 percent, but the event is too short.
    EXPECT_EQ(f.push({101.5, 101.5}).state, 1);
    // 101.75 settles the event and is no deviation.
    EXPECT_EQ(row(f.push({101.75})), Row(0, true, true, 1.5f, 1.4375f, 0.0));

    // A dip that recovers.
    Feed g(4);
    EXPECT_EQ(g.push({200.0, 200.0, 200.0, 200.0, 180.0}).state, 1);  // t = 2.0
    EXPECT_EQ(g.detector.eventStartTime, 2.0);
    // Within +/-2 percent of 198 but not within the +/-1 percent band of an event.
    EXPECT_EQ(g.push({170.0, 196.0, 200.0, 196.0, 200.0, 198.0, 198.0}).state, 1);
    const RvcResult& r = g.push({198.0});  // t = 6.0, window 200 198 198 198 from t = 4.5
    EXPECT_EQ(row(r), Row(0, true, true, 30.0f, 1.5f, 2.5));
    EXPECT_EQ(r.time, 6.0);
    EXPECT_EQ(g.detector.getSteadyStateDuration(), 1.5);
}

// A window of no values never detects anything; reset keeps the settings.
TEST(RvcPhaseCalculation, ZeroLengthNeverDetectsAndResetKeepsSettings) {
    Feed zero(0);
    for (double v : {230.0, 0.0, 500.0, 1.0, 230.0}) {
        EXPECT_EQ(zero.push({v}).state, 0);
        EXPECT_TRUE(zero.detector.values.empty());
    }
    EXPECT_EQ(zero.detector.getSteadyStateDuration(), 0.0);
    Feed f(4);
    RvcPhaseCalculation& d = f.detector;
    d.setSteadyStateThreshold(5.0);
    d.setThresholdHysteresis(20.0);
    EXPECT_EQ(f.push({100.0, 100.0, 100.0, 100.0, 120.0}).state, 1);
    d.initialize();
    EXPECT_EQ(std::make_tuple(d.getSteadyStateLength(), d.getSteadyStateThreshold(), d.getThresholdHysteresis()),
              std::make_tuple(4u, 5.0, 20.0));
    EXPECT_EQ(std::make_pair(d.state, d.currentResult.state), std::make_pair(0, -1));
    EXPECT_TRUE(std::isinf(d.maxDeviation) && d.maxDeviation < 0.0);
    // The old window is gone: three far-off values cannot start an event.
    EXPECT_TRUE(f.push({300.0}).stateChanged);
    EXPECT_EQ(f.push({300.0, 300.0}).state, 0);
    // Band 5 percent of the mean 300: the fourth value fills the window and breaks it.
    EXPECT_EQ(f.push({330.0}).state, 1);
    EXPECT_EQ(d.averageBeforeEvent, 300.0);
}

TEST(RvcPhaseCalculation, NonFiniteValuesHoldTheStateForOneWindow) {
    for (double bad : {NAN, INFINITY, -INFINITY}) {
        SCOPED_TRACE(bad);
        // In the steady state: the bad value and the far-off 300 after it are
        // not judged while the bad value is in the window of 4; the call that
        // drops it judges again, against the mean of the finite values before.
        Feed f(4);
        EXPECT_EQ(f.push({230.0, 230.0, 230.0, 230.0, bad}).state, 0);
        EXPECT_EQ(row(f.push({300.0, 230.0, 230.0})), Row(0, false, false, 0.0f, 0.0f, 0.0));
        EXPECT_EQ(f.push({230.0}).state, 1);  // window 300 230 230 230
        EXPECT_DOUBLE_EQ(f.detector.averageBeforeEvent, (300.0 + 230.0 + 230.0) / 3.0);
        EXPECT_EQ(f.detector.sum, 990.0);  // taken afresh: no trace of the bad value

        // In an event: it runs on through the bad value's window and ends
        // after it, with the bad value counted neither as a deviation nor in
        // the means.
        Feed e(4);
        e.push({200.0, 200.0, 200.0, 200.0, 220.0});                // starts at t = 2.0
        EXPECT_EQ(e.push({bad, 210.0, 210.0, 210.0}).state, 1);      // long enough, but not judged
        EXPECT_EQ(row(e.push({210.0})), Row(0, true, true, 20.0f, 10.0f, 1.0));  // window from t = 3.0
    }
}

TEST(RvcMultiPhaseCalculation, NoResultGivesStateMinusOne) {
    RvcMultiPhaseCalculation g;
    EXPECT_EQ(g.getTotalResult().state, -1);
    // A detector without a value yet leaves the state to those that have one.
    g.setNumberOfPhases(2);
    EXPECT_EQ(g.getTotalResult().state, -1);
    g[0].calculate(230.0, 3.5);
    EXPECT_EQ(row(g.getTotalResult()), Row(0, true, false, 0.0f, 0.0f, 0.0));
    EXPECT_FALSE(g.getTotalResult().stateChanged);
    g[1].calculate(230.0, 4.0);
    EXPECT_EQ(g.getTotalResult().time, 4.0);  // the time of the last detector
}

TEST(RvcMultiPhaseCalculation, EventEndsWhenLastDetectorSettles) {
    Feed g(4, 2);
    EXPECT_EQ(row(g.step({110.0, 100.0})), Row(1, true, false, 0.0f, 0.0f, 0.0));  // t = 4: detector 0 starts
    EXPECT_FALSE(g.step({110.0, 94.0}).stateChanged);                              // t = 5: detector 1 starts
    EXPECT_EQ(g.group.eventStartTime, 4.0);
    g.step({110.0, 94.0});
    // t = 7: detector 0 settles, detector 1 does not; its deltas pass through while the event goes on.
    const RvcResult r = g.step({110.0, 94.0});
    ASSERT_TRUE(g.group[0].getCurrentResult().eventEnded);
    EXPECT_EQ(std::make_tuple(r.state, r.eventEnded, r.deltaUmax), std::make_tuple(1, false, 10.0f));
    // t = 8: detector 1 settles. Only detector 1 ended now: detector 0's
    // earlier step of 10 no longer counts; detector 0's window starts at t =
    // 5, the event at t = 4.
    EXPECT_EQ(row(g.step({110.0, 94.0})), Row(0, true, true, 6.0f, 6.0f, 1.0));
    EXPECT_EQ(row(g.step({110.0, 94.0})), Row(0, false, false, 0.0f, 0.0f, 0.0));
}

TEST(RvcMultiPhaseCalculation, SimultaneousEndsTakeLargestDeltas) {
    Feed g(4, 2);
    g.step({100.0, 80.0});  // t = 4: detector 1 dips by 20 and recovers to 96
    g.step({115.0, 92.0});  // t = 5: detector 0 overshoots by 15 and settles at 110
    for (int i = 0; i < 3; ++i) EXPECT_EQ(g.step({110.0, 96.0}).state, 1);
    const RvcResult r = g.step({110.0, 96.0});  // t = 9: both settle
    ASSERT_TRUE(g.group[0].getCurrentResult().eventEnded && g.group[1].getCurrentResult().eventEnded);
    // Each delta is the largest of its own kind, here from different
    // detectors; detector 0's closing window starts at t = 6, the event at t = 4.
    EXPECT_EQ(row(r), Row(0, true, true, 20.0f, 10.0f, 2.0));
    EXPECT_EQ(r.time, 9.0);
}

TEST(RvcMultiPhaseCalculation, ResizeKeepsDetectorsAndInitializeDropsTheEvent) {
    RvcMultiPhaseCalculation g;
    g.setNumberOfPhases(3);
    g[0].setSteadyStateLength(7);
    g[0].calculate(230.0, 0.5);
    g[2].setSteadyStateThreshold(9.0);
    g.setNumberOfPhases(1);
    g.setNumberOfPhases(3);
    EXPECT_EQ(std::make_pair(g[0].getSteadyStateLength(), g[0].values.size()), std::make_pair(7u, std::size_t{1}));
    EXPECT_EQ(g[2].getSteadyStateThreshold(), 2.0);  // a fresh detector

    Feed running(4, 2);
    ASSERT_EQ(running.step({120.0, 100.0}).state, 1);
    running.group.initialize();
    EXPECT_EQ(running.group.eventStartTime, -1.0);
    // The previous state was dropped as well.
    EXPECT_EQ(row(running.group.getTotalResult()), Row(-1, false, false, 0.0f, 0.0f, 0.0));
    EXPECT_EQ(running.group[1].getSteadyStateLength(), 4u);
    EXPECT_TRUE(running.step({120.0, 100.0}).stateChanged);
}

}  // namespace
