// A group of per-phase rapid voltage change detectors combined into one
// result: no value yet, events that end with the last detector to settle,
// simultaneous ends, resizing and initialising.
#include <gtest/gtest.h>

#include <initializer_list>
#include <tuple>

#include "period/RvcMultiPhaseCalculation.h"

namespace {

// A result as one row: state, state changed, event ended, deltaUmax, deltaUss, duration.
using Row = std::tuple<int, bool, bool, float, float, double>;
Row row(const RvcResult& r) { return Row{r.state, r.stateChanged, r.eventEnded, r.deltaUmax, r.deltaUss, r.duration}; }

// A group of detectors with a window of 4 values, fed one value each per
// second, like the period values of all phases.
struct Group {
    explicit Group(unsigned int n) {
        group.setNumberOfPhases(n);
        for (unsigned int i = 0; i < n; ++i) group[i].setSteadyStateLength(4);
        group.initialize();
        for (int k = 0; k < 4; ++k) step({100.0, 100.0});
    }
    RvcResult step(std::initializer_list<double> values) {
        unsigned int i = 0;
        for (double v : values) group[i++].calculate(v, time);
        time += 1.0;
        return group.getTotalResult();
    }
    RvcMultiPhaseCalculation group;
    double time = 0.0;
};

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
    Group g(2);
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
    Group g(2);
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

    Group running(2);
    ASSERT_EQ(running.step({120.0, 100.0}).state, 1);
    running.group.initialize();
    EXPECT_EQ(running.group.eventStartTime, -1.0);
    // The previous state was dropped as well.
    EXPECT_EQ(row(running.group.getTotalResult()), Row(-1, false, false, 0.0f, 0.0f, 0.0));
    EXPECT_EQ(running.group[1].getSteadyStateLength(), 4u);
    EXPECT_TRUE(running.step({120.0, 100.0}).stateChanged);
}

}  // namespace
