#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>

#include "period/RvcPhaseCalculation.h"

namespace {

// Feeds values half a second apart, starting at time 0.
struct Feed {
    explicit Feed(unsigned int length) { detector.setSteadyStateLength(length); }

    const RvcResult& push(double value) {
        detector.calculate(value, time);
        time += 0.5;
        return detector.getCurrentResult();
    }
    const RvcResult& pushAll(std::initializer_list<double> list) {
        for (double v : list) push(v);
        return detector.getCurrentResult();
    }

    RvcPhaseCalculation detector;
    double time = 0.0;
};

TEST(RvcPhaseCalculation, StepEndsWithHundredthEventValue) {
    RvcPhaseCalculation d;  // the default window of 100 values
    for (int i = 0; i < 100; ++i) d.calculate(230.0, i * 0.02);
    const RvcResult& r = d.getCurrentResult();
    for (int k = 0; k < 100; ++k) {
        d.calculate(240.0, (100 + k) * 0.02);
        ASSERT_TRUE(r.state == (k == 99 ? 0 : 1) && r.eventEnded == (k == 99)) << "value " << k;
        ASSERT_EQ(r.stateChanged, k == 0 || k == 99) << "value " << k;
    }
    EXPECT_EQ(r.deltaUss, 10.0f);
    EXPECT_EQ(r.deltaUmax, 10.0f);
    EXPECT_EQ(r.duration, 0.0);
    // The end is reported once; the next value clears the event fields.
    d.calculate(240.0, 4.0);
    EXPECT_FALSE(r.eventEnded || r.stateChanged);
    EXPECT_EQ(r.deltaUss, 0.0f);
    EXPECT_EQ(r.deltaUmax, 0.0f);
}

TEST(RvcPhaseCalculation, BandLimitsAreInsideAndEventsLastAWindow) {
    // Mean 100, band +/-2: 98 and 102 sit exactly on the limits.
    EXPECT_EQ(Feed(4).pushAll({98.0, 98.0, 102.0, 102.0}).state, 0);
    Feed beyond(4);
    EXPECT_EQ(beyond.pushAll({98.0, 98.0, 102.0, 102.5}).state, 1);  // fills the window and starts
    EXPECT_DOUBLE_EQ(beyond.detector.averageBeforeEvent, 298.0 / 3.0);

    Feed f(4);
    // The mean before 101 is 100; with it the window mean would be 100.75.
    EXPECT_EQ(f.pushAll({98.0, 98.0, 102.0, 102.0, 101.0}).state, 1);
    EXPECT_EQ(f.detector.averageBeforeEvent, 100.0);
    // The window is already steady within +/-1 percent, but the event is too short.
    EXPECT_EQ(f.pushAll({101.5, 101.5}).state, 1);
    const RvcResult& r = f.push(101.75);
    EXPECT_EQ(r.state, 0);
    EXPECT_TRUE(r.eventEnded);
    EXPECT_EQ(r.deltaUmax, 1.5f);  // 101.75 settles the event and is no deviation
    EXPECT_EQ(r.deltaUss, 1.4375f);
    EXPECT_EQ(r.duration, 0.0);
}

TEST(RvcPhaseCalculation, DipThatRecovers) {
    Feed f(4);
    EXPECT_EQ(f.pushAll({200.0, 200.0, 200.0, 200.0, 180.0}).state, 1);  // t = 2.0
    EXPECT_EQ(f.detector.eventStartTime, 2.0);
    // Within +/-2 percent of 198 but not within the +/-1 percent band of an event.
    EXPECT_EQ(f.pushAll({170.0, 196.0, 200.0, 196.0, 200.0, 198.0, 198.0}).state, 1);
    const RvcResult& r = f.push(198.0);  // t = 6.0, window 200 198 198 198 from t = 4.5
    EXPECT_EQ(r.state, 0);
    EXPECT_TRUE(r.eventEnded);
    EXPECT_EQ(r.deltaUmax, 30.0f);
    EXPECT_EQ(r.deltaUss, 1.5f);
    EXPECT_EQ(r.duration, 2.5);
    EXPECT_EQ(r.time, 6.0);
    EXPECT_EQ(f.detector.getSteadyStateDuration(), 1.5);
}

TEST(RvcPhaseCalculation, ZeroLengthNeverDetects) {
    Feed f(0);
    for (double v : {230.0, 0.0, 500.0, 1.0, 230.0}) {
        EXPECT_EQ(f.push(v).state, 0);
        EXPECT_TRUE(f.detector.values.empty());
    }
    EXPECT_EQ(f.detector.getSteadyStateDuration(), 0.0);
}

TEST(RvcPhaseCalculation, ResetKeepsSettingsAndRefillsWindow) {
    Feed f(4);
    RvcPhaseCalculation& d = f.detector;
    d.setSteadyStateThreshold(5.0);
    d.setThresholdHysteresis(20.0);
    EXPECT_EQ(f.pushAll({100.0, 100.0, 100.0, 100.0, 120.0}).state, 1);
    d.initialize();
    EXPECT_EQ(d.getSteadyStateLength(), 4u);
    EXPECT_EQ(d.getSteadyStateThreshold(), 5.0);
    EXPECT_EQ(d.getThresholdHysteresis(), 20.0);
    EXPECT_EQ(d.state, 0);
    EXPECT_EQ(d.currentResult.state, -1);
    EXPECT_TRUE(std::isinf(d.maxDeviation) && d.maxDeviation < 0.0);
    // The old window is gone: three far-off values cannot start an event.
    EXPECT_TRUE(f.push(300.0).stateChanged);
    EXPECT_EQ(f.pushAll({300.0, 300.0}).state, 0);
    // Band 5 percent of the mean 300: the fourth value fills the window and breaks it.
    EXPECT_EQ(f.push(330.0).state, 1);
    EXPECT_EQ(d.averageBeforeEvent, 300.0);
}

TEST(RvcPhaseCalculation, NonFiniteValuesHoldTheStateForOneWindow) {
    for (double bad : {NAN, INFINITY, -INFINITY}) {
        SCOPED_TRACE(bad);
        // In the steady state: the bad value and the far-off 300 after it are
        // not judged while the bad value is in the window of 4; the call that
        // drops it judges again, against the mean of the finite values before.
        Feed f(4);
        f.pushAll({230.0, 230.0, 230.0, 230.0});
        EXPECT_EQ(f.push(bad).state, 0);
        EXPECT_EQ(f.pushAll({300.0, 230.0, 230.0}).state, 0);
        EXPECT_FALSE(f.detector.getCurrentResult().stateChanged);
        const RvcResult& start = f.push(230.0);  // window 300 230 230 230
        EXPECT_EQ(start.state, 1);
        EXPECT_DOUBLE_EQ(f.detector.averageBeforeEvent, (300.0 + 230.0 + 230.0) / 3.0);
        EXPECT_EQ(f.detector.sum, 990.0);  // taken afresh: no trace of the bad value

        // In an event: it runs on through the bad value's window and ends
        // after it, with the bad value counted neither as a deviation nor in
        // the means.
        Feed e(4);
        e.pushAll({200.0, 200.0, 200.0, 200.0, 220.0});  // starts at t = 2.0
        EXPECT_EQ(e.pushAll({bad, 210.0, 210.0, 210.0}).state, 1);  // long enough, but not judged
        const RvcResult& end = e.push(210.0);
        EXPECT_TRUE(end.eventEnded);
        EXPECT_EQ(end.deltaUmax, 20.0f);
        EXPECT_EQ(end.deltaUss, 10.0f);
        EXPECT_EQ(end.duration, 1.0);  // window from t = 3.0
    }
}

}  // namespace
