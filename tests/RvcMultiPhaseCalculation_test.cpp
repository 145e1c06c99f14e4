#include <gtest/gtest.h>

#include <initializer_list>

#include "period/RvcMultiPhaseCalculation.h"

namespace {

// A group of detectors with a window of 4 values, fed one value each per
// second, like the period values of all phases.
struct Group {
    explicit Group(unsigned int n) {
        group.setNumberOfPhases(n);
        for (unsigned int i = 0; i < n; ++i) group[i].setSteadyStateLength(4);
        group.initialize();
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
    RvcMultiPhaseCalculation empty;
    EXPECT_EQ(empty.noEventStartTime, -1.0);
    EXPECT_EQ(empty.eventStartTime, -1.0);
    EXPECT_EQ(empty.previousState, -1);
    EXPECT_EQ(empty.getNumberOfPhases(), 0u);
    RvcResult r = empty.getTotalResult();
    EXPECT_EQ(r.state, -1);
    EXPECT_FALSE(r.stateChanged);
    EXPECT_FALSE(r.eventEnded);
    EXPECT_EQ(r.time, 0.0);

    // Detectors without a value yet leave the state to the first one that has one.
    Group g(2);
    EXPECT_EQ(g.group.getTotalResult().state, -1);
    g.group[1].calculate(230.0, 3.5);
    r = g.group.getTotalResult();
    EXPECT_EQ(r.state, 0);
    EXPECT_TRUE(r.stateChanged);
    EXPECT_EQ(r.time, 3.5);
    EXPECT_FALSE(g.group.getTotalResult().stateChanged);
    // The group reports the time of its last detector.
    g.group[0].calculate(230.0, 4.0);
    EXPECT_EQ(g.group.getTotalResult().time, 3.5);
}

TEST(RvcMultiPhaseCalculation, EventEndsWhenLastDetectorSettles) {
    Group g(2);
    for (int i = 0; i < 4; ++i) g.step({100.0, 100.0});

    RvcResult r = g.step({110.0, 100.0});  // t = 4: detector 0 starts
    EXPECT_EQ(r.state, 1);
    EXPECT_TRUE(r.stateChanged);
    EXPECT_EQ(g.group.eventStartTime, 4.0);
    r = g.step({110.0, 94.0});  // t = 5: detector 1 starts
    EXPECT_EQ(r.state, 1);
    EXPECT_FALSE(r.stateChanged);
    EXPECT_EQ(g.group.eventStartTime, 4.0);
    g.step({110.0, 94.0});

    r = g.step({110.0, 94.0});  // t = 7: detector 0 settles, detector 1 does not
    ASSERT_TRUE(g.group[0].getCurrentResult().eventEnded);
    EXPECT_EQ(r.state, 1);
    EXPECT_FALSE(r.eventEnded);
    EXPECT_EQ(r.duration, 0.0);
    // Its deltas pass through even though the group's event goes on.
    EXPECT_EQ(r.deltaUmax, 10.0f);

    r = g.step({110.0, 94.0});  // t = 8: detector 1 settles
    EXPECT_EQ(r.state, 0);
    EXPECT_TRUE(r.stateChanged);
    EXPECT_TRUE(r.eventEnded);
    // Only detector 1 ended now; detector 0's earlier step of 10 no longer counts.
    EXPECT_EQ(r.deltaUmax, 6.0f);
    EXPECT_EQ(r.deltaUss, 6.0f);
    // Detector 0's window starts at t = 5, one second after the group's start.
    EXPECT_EQ(r.duration, 1.0);
    EXPECT_EQ(g.group.eventStartTime, -1.0);

    r = g.step({110.0, 94.0});
    EXPECT_EQ(r.state, 0);
    EXPECT_FALSE(r.stateChanged);
    EXPECT_FALSE(r.eventEnded);
    EXPECT_EQ(r.deltaUmax, 0.0f);
}

TEST(RvcMultiPhaseCalculation, SimultaneousEndsTakeLargestDeltas) {
    Group g(2);
    for (int i = 0; i < 4; ++i) g.step({100.0, 100.0});
    g.step({100.0, 80.0});   // t = 4: detector 1 dips by 20 and recovers to 96
    g.step({115.0, 92.0});   // t = 5: detector 0 overshoots by 15 and settles at 110
    for (int i = 0; i < 3; ++i) EXPECT_EQ(g.step({110.0, 96.0}).state, 1);

    const RvcResult r = g.step({110.0, 96.0});  // t = 9: both settle
    ASSERT_TRUE(g.group[0].getCurrentResult().eventEnded);
    ASSERT_TRUE(g.group[1].getCurrentResult().eventEnded);
    EXPECT_EQ(r.state, 0);
    EXPECT_TRUE(r.eventEnded);
    // Each delta is the largest of its own kind, here from different detectors.
    EXPECT_EQ(r.deltaUmax, 20.0f);
    EXPECT_EQ(r.deltaUss, 10.0f);
    // Detector 0's closing window starts at t = 6, the group's event at t = 4.
    EXPECT_EQ(r.duration, 2.0);
    EXPECT_EQ(r.time, 9.0);
}

TEST(RvcMultiPhaseCalculation, ResizeKeepsExistingDetectors) {
    RvcMultiPhaseCalculation g;
    g.setNumberOfPhases(3);
    g[0].setSteadyStateLength(7);
    g[0].calculate(230.0, 0.5);
    g[2].setSteadyStateThreshold(9.0);
    g[2].calculate(230.0, 0.5);

    g.setNumberOfPhases(1);
    ASSERT_EQ(g.getNumberOfPhases(), 1u);
    EXPECT_EQ(g[0].getSteadyStateLength(), 7u);
    EXPECT_EQ(g[0].values.size(), 1u);
    EXPECT_EQ(g[0].getCurrentResult().state, 0);

    g.setNumberOfPhases(3);
    ASSERT_EQ(g.getNumberOfPhases(), 3u);
    EXPECT_EQ(g[0].getSteadyStateLength(), 7u);
    const RvcPhaseCalculation& fresh = g[2];
    EXPECT_EQ(fresh.getSteadyStateLength(), 100u);
    EXPECT_EQ(fresh.getSteadyStateThreshold(), 2.0);
    EXPECT_EQ(fresh.getThresholdHysteresis(), 50.0);
    EXPECT_EQ(fresh.getCurrentResult().state, -1);
    EXPECT_TRUE(fresh.values.empty());
    EXPECT_EQ(fresh.maxDeviation, 0.0);
}

TEST(RvcMultiPhaseCalculation, InitializeDropsRunningEvent) {
    Group g(2);
    for (int i = 0; i < 4; ++i) g.step({100.0, 100.0});
    ASSERT_EQ(g.step({120.0, 100.0}).state, 1);

    g.group.initialize();
    EXPECT_EQ(g.group.eventStartTime, -1.0);
    EXPECT_EQ(g.group.previousState, -1);
    EXPECT_EQ(g.group[0].getCurrentResult().state, -1);
    EXPECT_EQ(g.group[0].state, 0);
    EXPECT_EQ(g.group[1].getSteadyStateLength(), 4u);
    RvcResult r = g.group.getTotalResult();
    EXPECT_EQ(r.state, -1);
    EXPECT_FALSE(r.stateChanged);

    r = g.step({120.0, 100.0});
    EXPECT_EQ(r.state, 0);
    EXPECT_TRUE(r.stateChanged);
}

}  // namespace
