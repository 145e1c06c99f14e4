// The Class A rapid voltage change detector on rows of RMS values chosen
// around its thresholds, and on Urms(1/2) of synthesised sines through a
// module (the voltage event detector's tests find the same dips, swells and
// interruptions there). The flat twin is driven by a C host (rvc_c_test.c).
#include "powerquality/RapidVoltageChangeDetector.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "ChangedStar.h"

namespace {

TEST(RapidVoltageChangeDetector, StateRulesOnRowsPhasesStampsAndRunningEvents) {
    // Udin 100, a steady state of 4 values, threshold 5, hysteresis 2.5,
    // stamps from the value two before; rows of one phase, one value a second
    // from time 0 (times are row numbers).
    struct Expected { double start, duration, deltaUmax, deltaUss; };
    struct Case { const char* name; std::vector<double> rows; std::vector<Expected> events; };
    const std::vector<Case> cases = {
        // 103 stays inside the band; 107 leaves the band around 100.75 and
        // is already the new steady state: the event lasts from row 5 (two
        // before row 7) to the end of row 6.
        {"step", {100, 100, 100, 100, 103, 100, 100, 107, 107, 107, 107}, {{5, 1, 6.25, 6.25}}},
        // Exactly 5 away from the mean is inside.
        {"on the band's edge", {100, 100, 100, 100, 105, 100, 100, 100, 100}, {}},
        // Nothing before the first steady state: 107 in the first window only
        // delays it.
        {"first window", {100, 107, 100, 100, 100, 100, 100}, {}},
        // Values 2.6 from their mean (rows 5 to 8) are steady under 5 but not
        // under the hysteresis band: the event runs on until the window of
        // rows 8 to 11 settles, and ends with row 7. deltaUmax takes every
        // value of the event, 108.1 included.
        {"hysteresis", {100, 100, 100, 100, 106, 102.9, 108.1, 102.9, 108.1, 106, 106, 106, 106}, {{2, 5, 8.1, 6.525}}},
        // A value below the dip threshold discards the change; the next one,
        // from the new steady state, is found.
        {"dip discards", {100, 100, 100, 100, 94, 89.9, 95, 95, 95, 95, 101, 101, 101, 101}, {{8, 1, 6, 6}}},
        {"swell discards", {100, 100, 100, 100, 106, 110.1, 106, 106, 106, 106}, {}},
        // A dip or swell long enough to hold a steady window: the return
        // from it belongs to it, and so does the new level it returns to.
        {"long dip", {100, 100, 100, 100, 85, 85, 85, 85, 85, 85, 100, 100, 100, 100, 100}, {}},
        {"long swell", {100, 100, 100, 100, 112, 112, 112, 112, 112, 112, 104, 104, 104, 104, 104}, {}},
        // 89 lies on the band around 94, so it starts no change, but it is
        // a dip: the step from 89 to 95.5 after it is the dip's end.
        {"dip inside the band", {94, 94, 94, 94, 89, 89, 89, 89, 89, 89, 95.5, 95.5, 95.5, 95.5, 95.5}, {}},
        // Nothing before a first steady state outside any dip.
        {"starting in a dip", {85, 85, 85, 85, 85, 85, 100, 100, 100, 100, 100}, {}},
        // The steady state after a dip needs all N values past it: 100 at
        // rows 9 to 12 is steady, the step to 94 at row 13 is a change.
        {"step after a dip", {100, 100, 100, 100, 85, 85, 85, 85, 85, 100, 100, 100, 100, 94, 94, 94, 94},
         {{11, 1, 6, -6}}},
        // A short excursion (96 stays inside, 93 leaves the band around
        // 99): the new steady state is found once the excursion has left
        // the window, and the event ends with the last value outside it.
        {"excursion", {100, 100, 100, 100, 96, 93, 100, 100, 100, 100, 100, 100}, {{3, 2, 6, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RapidVoltageChangeDetector d(100.0, 1, 4);
        for (size_t i = 0; i < c.rows.size(); ++i) d.addRmsValues(static_cast<double>(i), &c.rows[i]);
        const std::vector<RapidVoltageChange> events = d.getEvents();
        ASSERT_EQ(events.size(), c.events.size());
        for (size_t n = 0; n < events.size(); ++n) {
            EXPECT_EQ(std::make_tuple(events[n].startTime, events[n].duration, events[n].phases),
                      std::make_tuple(c.events[n].start, c.events[n].duration, 1u));
            EXPECT_NEAR(events[n].deltaUmax, c.events[n].deltaUmax, 1e-12);
            EXPECT_NEAR(events[n].deltaUss, c.events[n].deltaUss, 1e-12);
            EXPECT_EQ(events[n].deltaUssPercent, events[n].deltaUss / 100.0 * 100.0);
        }
        EXPECT_TRUE(d.getRunningEvents().empty());
    }

    // Three phases: B drops by 7 while A and C stay; deltaUss is B's, signed.
    RapidVoltageChangeDetector d(100.0, 3, 4);
    d.setWindowStartStamps(0);  // the end of the first value beyond
    const double steady[3] = {100, 100, 100}, dropped[3] = {100.5, 93, 100};
    for (int i = 0; i < 4; ++i) d.addRmsValues(i, steady);
    d.addRmsValues(4, dropped);
    // Running: figures up to the latest value.
    std::vector<RapidVoltageChange> running = d.getRunningEvents();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(std::make_tuple(running[0].startTime, running[0].phases, running[0].deltaUmax),
              std::make_tuple(4.0, 0x2u, 7.0));
    for (int i = 5; i < 8; ++i) d.addRmsValues(i, dropped);
    const std::vector<RapidVoltageChange> events = d.getEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(std::make_pair(events[0].deltaUss, events[0].duration), std::make_pair(-7.0, 0.0));  // never negative
    EXPECT_EQ(0, std::memcmp(&events[0], &running[0], offsetof(RapidVoltageChange, duration)));
}

TEST(RapidVoltageChangeDetector, BadInputIsRejectedAndChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const auto& [u, n, length] : {std::make_tuple(0.0, 1u, 100u), {230.0, 33u, 100u}, {230.0, 1u, 0u},
                                         {230.0, 1u, 1000001u}})
        EXPECT_THROW(RapidVoltageChangeDetector(u, n, length), std::invalid_argument) << u << " " << n << " " << length;
    EXPECT_NO_THROW(RapidVoltageChangeDetector(230.0, 1, 1000000));  // the longest window
    RapidVoltageChangeDetector d(230.0, 1);
    for (const auto& t : {std::make_pair(0.0, 0.0), {5.0, 5.0}, {3.0, 4.0}, {5.0, -1.0}, {nan, 1.0}})
        EXPECT_THROW(d.setThresholds(t.first, t.second), std::invalid_argument) << t.first << " " << t.second;
    EXPECT_EQ(std::make_tuple(d.getThreshold(), d.getHysteresis(), d.getWindowStartStamps()),
              std::make_tuple(5.0, 2.5, 2u));
    EXPECT_THROW(d.setDipSwellThresholds(110.0, 90.0), std::invalid_argument);
    EXPECT_EQ(d.getDipThreshold(), 90.0);
    const double value = 230.0, bad = -1.0;
    d.addRmsValues(1.0, &value);
    EXPECT_THROW(d.addRmsValues(0.5, &value), std::invalid_argument);
    EXPECT_THROW(d.addRmsValues(2.0, &bad), std::invalid_argument);
}

// Only a time before the latest one is refused: the first value may come at
// any time, before 0 too (a caller's clock that counts from a trigger), through
// either way in; after it, the time may stay but not go back.
TEST(RapidVoltageChangeDetector, TheFirstValueMayComeBeforeTimeZero) {
    const double value = 230.0;
    for (bool records : {false, true}) {
        SCOPED_TRACE(records ? "addPeriodResults" : "addRmsValues");
        RapidVoltageChangeDetector d(230.0, 1, 4);
        const auto add = [&](double time) {
            PowerResultsPeriod item[2] = {};
            item[1].time = time;
            item[1].rmsVoltage = value;
            records ? d.addPeriodResults(item, 1) : d.addRmsValues(time, &value);
        };
        EXPECT_NO_THROW(add(-3600.0));
        EXPECT_NO_THROW(add(-3600.0));
        EXPECT_NO_THROW(add(-3599.99));
        EXPECT_THROW(add(-3600.0), std::invalid_argument);
    }
}

// Dips to 85 % and 75 % and swells to 115 % of 0.1 s, 2 s and 20 s, on one
// phase and on all three, a 70 % dip (also in the first second) and a 1 s
// interruption, through a module: the change into them and the return from
// them are the dip's or swell's, never an RVC, however long the detector had
// to settle inside. A 6 % step still is one, alone and 3 s after the return
// from a 20-s dip (the detector has found a steady state again).
TEST(RapidVoltageChangeDetector, DipsSwellsInterruptionsAndTheReturnFromThemAreNoRapidVoltageChanges) {
    struct Case { unsigned phases; double start, seconds, level; };
    std::vector<Case> cases = {{0x1, 1.5, 0.1, 0.7}, {0x2, 1.5, 0.2, 1.15}, {0x7, 1.5, 1.0, 0.01}, {0x1, 0.3, 0.1, 0.7}};
    for (unsigned phases : {0x1u, 0x7u})
        for (double seconds : {0.1, 2.0, 20.0})
            for (double level : {0.85, 0.75, 1.15}) cases.push_back({phases, 1.5, seconds, level});
    for (const Case& c : cases) {
        SCOPED_TRACE("phases " + std::to_string(c.phases) + ", " + std::to_string(c.seconds) + " s at " +
                     std::to_string(c.level) + " from " + std::to_string(c.start));
        RapidVoltageChangeDetector rvc(Udin, 3, 100);
        feedChangedStar({{c.phases, c.start, c.start + c.seconds, c.level}}, c.seconds + 4.0, rvc);
        EXPECT_EQ(rvc.getEventsCount(), 0u);
        EXPECT_TRUE(rvc.getRunningEvents().empty());
    }

    struct Step { const char* name; std::vector<Change> changes; double seconds, from; };
    const std::vector<Step> steps = {
        {"6 % step", {{0x1, 1.513, 99.0, 1.06}}, 4.0, 1.513},
        {"6 % step after a 20-s dip", {{0x7, 1.5, 21.5, 0.85}, {0x1, 24.513, 99.0, 1.06}}, 27.0, 24.513},
    };
    for (const Step& c : steps) {
        SCOPED_TRACE(c.name);
        RapidVoltageChangeDetector rvc(Udin, 3, 100);
        feedChangedStar(c.changes, c.seconds, rvc);
        const std::vector<RapidVoltageChange> changes = rvc.getEvents();
        ASSERT_EQ(changes.size(), 1u);
        const RapidVoltageChange& e = changes[0];
        EXPECT_NEAR(e.deltaUssPercent, 6.0, 0.05 * 6.0);
        EXPECT_GE(e.deltaUmaxPercent, e.deltaUssPercent);
        EXPECT_LE(std::fabs(e.startTime - c.from), T);
        EXPECT_LE(e.duration, T);
        EXPECT_EQ(e.phases, 0x1u);
        EXPECT_TRUE(rvc.getRunningEvents().empty());
    }
}

// An RMS value that is NaN (a period value over missing samples), before
// the first steady state, in steady state or within a running change, on
// one phase or both: refused (a batch whole), the detector as it was; the
// values after it give the changes a twin never offered the NaN gives.
TEST(RapidVoltageChangeDetector, ANaNValueIsRefusedAndChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Udin 100, two phases, a steady state of 4 values: 6 values of 100,
    // a step of phase 0 to 94 (an RVC of 6), 6 values there.
    std::vector<std::array<double, 2>> rows(12, {100.0, 100.0});
    for (std::size_t k = 6; k < rows.size(); ++k) rows[k][0] = 94.0;
    struct Case { const char* name; std::size_t at; bool first, second, batch; };
    for (const Case& c : {Case{"filling the first window", 1, true, false, false},
                          Case{"steady", 5, false, true, true},
                          Case{"in the change", 7, true, true, false},
                          Case{"in the change, another phase", 8, false, true, true}}) {
        SCOPED_TRACE(c.name);
        RapidVoltageChangeDetector detector(100.0, 2, 4), twin(100.0, 2, 4);
        const std::array<double, 2> bad = {c.first ? nan : rows[c.at][0], c.second ? nan : rows[c.at][1]};
        EXPECT_EQ(feedRefusingOnce(detector, twin, rows, c.at, bad, c.batch, 1.0), 1u);
    }
}

// deltaUmax >= |deltaUss| to the last bit. A step from a to b, N = 6: the
// mean of six b's rounds above b, so the plain difference of the new mean
// and the old one lay a few units in the last place above the largest
// |value - mean before| (found by a random search over levels, steps and N).
// The percentages keep the order.
TEST(RapidVoltageChangeDetector, DeltaUmaxIsNeverBelowDeltaUssToTheLastBit) {
    struct Case { const char* name; double a, b; unsigned int length; };
    const Case cases[] = {
        {"rise", 0x1.c0dd8760dbc23p+7, 0x1.e16f5ee33207fp+7, 6},
        {"fall", 0x1.e16f5ee33207fp+7, 0x1.c0dd8760dbc23p+7, 6},
        {"6 % step from 230 V, N = 3", 230.0, 230.0 * 1.06, 3},  // as the fuzzer's reproducer feeds it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RapidVoltageChangeDetector d(230.0, 1, c.length);
        double time = 0.0;
        for (unsigned int k = 0; k < 3 * c.length + 3; ++k, time += 0.01) {
            d.addRmsValues(time, k <= c.length ? &c.a : &c.b);
            for (const RapidVoltageChange& e : d.getRunningEvents()) {
                EXPECT_GE(e.deltaUmax, std::fabs(e.deltaUss)) << "running, value " << k;
            }
        }
        const std::vector<RapidVoltageChange> events = d.getEvents();
        ASSERT_EQ(events.size(), 1u);
        const RapidVoltageChange& e = events[0];
        EXPECT_GE(e.deltaUmax, std::fabs(e.deltaUss));
        EXPECT_GE(e.deltaUmaxPercent, std::fabs(e.deltaUssPercent));
        // Held at |deltaUss|, never more than rounding above the step.
        EXPECT_NEAR(e.deltaUmax, std::fabs(c.b - c.a), 1e-12);
    }
}

// A declared voltage near the largest double: the running sum of its window
// overflows, and the mean is taken from the window scaled down, so the
// detector still finds steady states and the 7 % step between them.
TEST(RapidVoltageChangeDetector, ValuesNearTheLargestDoubleGiveFiniteMeans) {
    const double udin = 1e308, before = 1e308, after = 1.07e308;
    RapidVoltageChangeDetector d(udin, 2, 4);
    for (int k = 0; k < 14; ++k) {
        const double row[2] = {k < 5 ? before : after, before};
        d.addRmsValues(0.01 * k, row);
    }
    const std::vector<RapidVoltageChange> events = d.getEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].phases, 0x1u);
    EXPECT_DOUBLE_EQ(events[0].deltaUss, after - before);
    EXPECT_NEAR(events[0].deltaUssPercent, 7.0, 1e-12);  // 1.07e308 - 1e308 is not exactly 7e306
    EXPECT_GE(events[0].deltaUmax, events[0].deltaUss);
}

}  // namespace
