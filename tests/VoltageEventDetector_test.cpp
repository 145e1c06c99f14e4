// The voltage event detector on rows of RMS values chosen around its
// thresholds, and on Urms(1/2) of synthesised sines through a module. The flat
// twin is driven by a C host (voltage_events_c_test.c), window start stamps
// included; the recordings are run in Recordings_test.cpp.
#include "powerquality/VoltageEventDetector.h"

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

// One expected event: its type and phases, the disturbance it comes from
// [from, to), how far the measured duration may differ, and the extreme.
struct Expected { int type; uint32_t phases; double from, to, durationTolerance, extremePercent; };

void expectEvents(const std::string& name, const std::vector<Change>& changes, const std::vector<Expected>& expected) {
    SCOPED_TRACE(name);
    VoltageEventDetector detector(Udin, 3);
    feedChangedStar(changes, 1.0, detector);
    EXPECT_TRUE(detector.getRunningEvents().empty());
    const std::vector<VoltageEvent> events = detector.getEvents();
    ASSERT_EQ(events.size(), expected.size());
    for (size_t n = 0; n < events.size(); ++n) {
        SCOPED_TRACE(n);
        const VoltageEvent& e = events[n];
        EXPECT_EQ(std::make_pair(e.type, e.phases), std::make_pair(expected[n].type, expected[n].phases));
        // The first one-cycle value that sees enough of the disturbance.
        EXPECT_GT(e.startTime, expected[n].from);
        EXPECT_LE(e.startTime, expected[n].from + T + 1e-9);
        EXPECT_LE(std::fabs(e.duration - (expected[n].to - expected[n].from)), expected[n].durationTolerance + 1e-9);
        EXPECT_NEAR(e.extremePercent, expected[n].extremePercent, 0.5);  // 0.5 % of Udin
        EXPECT_DOUBLE_EQ(e.extremeVoltage, e.extremePercent * Udin / 100.0);
    }
}

TEST(VoltageEventDetector, SynthesisedEventsThroughAModule) {
    // A 70 % dip of 100 ms, starting at several points of the dipped phase's
    // wave: values end every half cycle, and the one-cycle window makes the
    // measured duration longer by 0 or half a cycle.
    int phase = 0;
    for (double degrees : {0.0, 45.0, 90.0, 135.0, 170.0}) {
        const unsigned k = static_cast<unsigned>(phase++ % 3);
        const double t0 = 0.5 + (k / 3.0 + degrees / 360.0) * T;
        expectEvents("70 % dip at " + std::to_string(degrees) + " degrees", {{1u << k, t0, t0 + 0.1, 0.7}},
                     {{VoltageEventDip, 1u << k, t0, t0 + 0.1, T / 2, 70.0}});
    }
    expectEvents("dips apart are two, in the order they ended", {{0x2, 0.50, 0.60, 0.5}, {0x1, 0.75, 0.80, 0.7}},
                 {{VoltageEventDip, 0x2, 0.5, 0.6, T, 50.0}, {VoltageEventDip, 0x1, 0.75, 0.8, T, 70.0}});
    expectEvents("swell to 115 %", {{0x4, 0.40, 0.60, 1.15}}, {{VoltageEventSwell, 0x4, 0.4, 0.6, T / 2, 115.0}});
    // Every phase below 5 %: an interruption, and a dip around it that ends
    // later (every phase back above 92 %, not one above 7 %).
    expectEvents("interruption of three phases", {{0x7, 0.4, 0.6, 0.01}},
                 {{VoltageEventInterruption, 0x7, 0.4, 0.6, T, 1.0}, {VoltageEventDip, 0x7, 0.4, 0.6, T, 1.0}});
}

TEST(VoltageEventDetector, EditionThreeStampsTheWindowStart) {
    // A 1 s interruption of every phase to 2 %, starting at several points of
    // the wave. Ed. 3 stamps (two values per window) put the start and the
    // duration within one cycle; the default stamps start at the end of the
    // first value beyond the threshold, later than the disturbance.
    for (double degrees : {0.0, 60.0, 130.0, 250.0}) {
        SCOPED_TRACE(degrees);
        const double t0 = 0.5 + degrees / 360.0 * T;
        VoltageEventDetector ed3(Udin, 3), old(Udin, 3);
        ed3.setWindowStartStamps(2);
        feedChangedStar({{0x7, t0, t0 + 1.0, 0.02}}, 2.0, ed3, old);
        const std::vector<VoltageEvent> a = ed3.getEvents(), b = old.getEvents();
        // The interruption ends first, then the dip around it.
        ASSERT_EQ(std::make_pair(a.size(), b.size()), std::make_pair(size_t{2}, size_t{2}));
        for (size_t n = 0; n < 2; ++n) {
            EXPECT_LE(std::fabs(a[n].startTime - t0), T);
            EXPECT_GT(b[n].startTime, t0);
            // The start moves back by exactly one window (two half cycles);
            // the end stays where it was.
            EXPECT_NEAR(b[n].startTime - a[n].startTime, T, 1e-9);
            EXPECT_NEAR(a[n].startTime + a[n].duration, b[n].startTime + b[n].duration, 1e-12);
        }
        EXPECT_EQ(a[0].type, VoltageEventInterruption);
        EXPECT_LE(std::fabs(a[0].duration - 1.0), T);
    }
    // Before k values have come, the latest step is taken back; the very
    // first value starts at its own time.
    VoltageEventDetector d(100.0, 1);
    d.setWindowStartStamps(3);
    const double rows[][2] = {{0.0, 50.0}, {1.0, 100.0}, {1.5, 50.0}, {2.0, 100.0}, {3.0, 100.0}, {4.0, 100.0},
                              {5.0, 50.0}, {6.0, 100.0}};
    for (const auto& row : rows) d.addRmsValues(row[0], &row[1]);
    std::vector<double> starts;
    for (const VoltageEvent& e : d.getEvents()) starts.push_back(e.startTime);
    // The second: times 0 and 1 known, 0 minus one step of 0.5; the third:
    // the value three before 5.0.
    EXPECT_EQ(starts, (std::vector<double>{0.0, 0.0 - 1.0 * 0.5, 2.0}));
    EXPECT_THROW(d.setWindowStartStamps(65), std::invalid_argument);
    EXPECT_EQ(d.getWindowStartStamps(), 3u);
}

TEST(VoltageEventDetector, ThresholdsAndHysteresisDoNotChatterEventsRunningAtTheEndAreClosed) {
    // The rows fed, and the one event they make: its first value, the value that ends it.
    struct Case { const char* name; std::vector<std::array<double, 3>> rows; int type; size_t startRow, endRow;
                  double extreme; uint32_t phases; };
    const std::vector<Case> cases = {
        // 90 exactly does not start a dip; hovering up to 91.99 does not end
        // one; 92 exactly ends it; 91 and 90 after it start nothing.
        {"dip", {{100, 100, 100}, {90, 100, 100}, {89.9, 100, 100}, {91.9, 100, 100}, {89, 100, 100},
                 {91.99, 100, 100}, {92, 100, 100}, {91, 100, 100}, {90, 100, 100}},
         VoltageEventDip, 2, 6, 89, 0x1},
        // A dip ends only when every phase is back.
        {"dip on two phases", {{100, 100, 100}, {85, 100, 100}, {95, 88, 100}, {95, 91, 100}, {92, 92, 100}},
         VoltageEventDip, 1, 4, 85, 0x3},
        {"swell", {{100, 100, 100}, {100, 110, 100}, {100, 110.1, 100}, {100, 108.1, 100}, {100, 111, 100},
                   {100, 108, 100}, {100, 110, 100}},
         VoltageEventSwell, 2, 5, 111, 0x2},
        // One phase above 5 % prevents an interruption; one at 7 % ends it,
        // 6.99 does not. The ending row's 0.5 % does not count as the extreme.
        {"interruption", {{100, 100, 100}, {4, 5, 4}, {4, 4.9, 3}, {6.99, 6.99, 6.99}, {0.5, 0.5, 7}},
         VoltageEventInterruption, 2, 4, 3, 0x7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VoltageEventDetector d(100.0, 3);  // volts read as percent
        for (size_t n = 0; n < c.rows.size(); ++n) d.addRmsValues(0.01 * static_cast<double>(n + 1), c.rows[n].data());
        const std::vector<VoltageEvent> events = d.getEvents();
        // An interruption also makes a dip, still running here.
        ASSERT_EQ(events.size(), 1u);
        const VoltageEvent& e = events[0];
        EXPECT_EQ(std::make_tuple(e.type, e.phases, e.extremeVoltage), std::make_tuple(c.type, c.phases, c.extreme));
        EXPECT_DOUBLE_EQ(e.startTime, 0.01 * static_cast<double>(c.startRow + 1));
        EXPECT_NEAR(e.duration, 0.01 * static_cast<double>(c.endRow - c.startRow), 1e-12);
        EXPECT_EQ(d.getRunningEvents().size(), c.type == VoltageEventInterruption ? 1u : 0u);
    }

    // The data end during a swell on L3 and a dip on L1 that started after it.
    VoltageEventDetector d(100.0, 3);  // volts read as percent
    const double rows[][3] = {{100, 100, 100}, {100, 100, 120}, {60, 100, 121}, {61, 100, 119}};
    for (int n = 0; n < 4; ++n) d.addRmsValues(0.01 * (n + 1), rows[n]);
    EXPECT_EQ(d.getEventsCount(), 0u);
    // In the order they started, with their duration up to the latest value.
    const std::vector<VoltageEvent> running = d.getRunningEvents();
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(std::make_pair(running[0].extremeVoltage, running[1].extremeVoltage), std::make_pair(121.0, 60.0));
    EXPECT_DOUBLE_EQ(running[1].startTime + running[1].duration, 0.04);
    // Closed as they were reported, and taken one at a time, oldest first.
    d.closeRunningEvents();
    EXPECT_TRUE(d.getRunningEvents().empty());
    EXPECT_EQ(0, std::memcmp(&d.getEvents(1).at(0), &running[0], sizeof(VoltageEvent)));
    EXPECT_EQ(0, std::memcmp(&d.getEvents(1).at(0), &running[1], sizeof(VoltageEvent)));
    EXPECT_EQ(d.getEventsCount(), 0u);
}

TEST(VoltageEventDetector, BadInputIsRefusedAndChangesNothingEdgeInputIsTaken) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (const auto& args : {std::make_pair(0.0, 3), {-230.0, 3}, {nan, 3}, {inf, 3}, {230.0, 0}, {230.0, 33}})
        EXPECT_THROW(VoltageEventDetector(args.first, args.second), std::invalid_argument) << args.first;

    VoltageEventDetector d(100.0, 2);
    // interruption > dip, dip = swell, negative interruption or hysteresis,
    // recovery levels crossing (90 + 10.5 > 110 - 10.5), not finite.
    const std::array<double, 4> wrong[] = {{80, 110, 85, 2}, {90, 90, 5, 0}, {90, 110, -1, 2}, {90, 110, 5, -0.5},
                                           {90, 110, 5, 10.5}, {nan, 110, 5, 2}, {90, inf, 5, 2}};
    for (const auto& t : wrong)
        EXPECT_THROW(d.setThresholds(t[0], t[1], t[2], t[3]), std::invalid_argument) << t[0] << " " << t[1];
    EXPECT_THROW(d.setDipThreshold(120.0), std::invalid_argument);
    EXPECT_THROW(d.setInterruptionThreshold(90.0), std::invalid_argument);
    EXPECT_THROW(d.setHysteresis(10.5), std::invalid_argument);
    EXPECT_EQ(std::make_tuple(d.getDipThreshold(), d.getInterruptionThreshold(), d.getHysteresis()),
              std::make_tuple(90.0, 5.0, 2.0));
    d.setHysteresis(10.0);  // the widest that keeps the recovery levels apart
    d.setDipThreshold(80.0);
    d.setThresholds(80.0, 120.0, 0.0, 5.0);  // an interruption threshold of 0 is allowed

    // A batch with a bad value anywhere is refused whole: the dip that its
    // first item would start does not exist afterwards.
    PowerResultsPeriod items[3 * 3] = {};
    const double rms[3] = {50.0, 82.0, 100.0};
    for (int j = 0; j < 9; ++j) { items[j].time = 0.01 * (j / 3 + 1); items[j].rmsVoltage = j % 3 ? rms[j / 3] : 0.0; }
    for (double bad : {nan, -1.0, inf}) {
        items[3 * 2 + 2].rmsVoltage = bad;
        std::string message = "taken";
        try {
            d.addPeriodResults(items, 3);
        } catch (const std::invalid_argument& e) {
            message = e.what();
        }
        EXPECT_NE(message.find("item 2: RMS voltage of phase 1"), std::string::npos) << message;
        EXPECT_TRUE(d.getRunningEvents().empty());
    }
    items[3 * 2 + 2].rmsVoltage = 100.0;
    items[3 * 2 + 1].time = 0.005;  // goes back within the batch
    EXPECT_THROW(d.addPeriodResults(items, 3), std::invalid_argument);
    EXPECT_THROW(d.addPeriodResults(nullptr, 1), std::invalid_argument);
    EXPECT_THROW(d.addPeriodResults(items, -1), std::invalid_argument);
    d.addPeriodResults(items, 2);  // starts a dip at 0.01, still running at 82 % (below 80 + 5)
    const double back[2] = {100.0, 100.0};
    EXPECT_THROW(d.addRmsValues(0.015, back), std::invalid_argument);  // before the latest, 0.02
    EXPECT_THROW(d.addRmsValues(nan, back), std::invalid_argument);
    d.addRmsValues(0.02, back);  // the same time again is accepted, and ends the dip
    ASSERT_EQ(d.getEventsCount(), 1u);
    EXPECT_DOUBLE_EQ(d.getEvents()[0].duration, 0.01);

    // Times so far out that the difference of two is infinite are refused;
    // at the edge, a dip from one end of the scale to the other lasts the
    // largest double.
    const double edge = std::numeric_limits<double>::max() / 2;
    const double low[2] = {10.0, 10.0};
    for (double far : {-1.5e308, std::nextafter(edge, inf)}) {
        VoltageEventDetector e(100.0, 2);
        EXPECT_THROW(e.addRmsValues(-far, low), std::invalid_argument) << far;
        items[1].time = items[2].time = far;
        EXPECT_THROW(e.addPeriodResults(items, 1), std::invalid_argument) << far;
    }
    VoltageEventDetector e(100.0, 2);
    e.addRmsValues(-edge, low);
    e.addRmsValues(edge, back);
    ASSERT_EQ(e.getEventsCount(), 1u);
    EXPECT_EQ(e.getEvents()[0].duration, std::numeric_limits<double>::max());

    // A declared voltage too small for 100 / Udin (positive and finite, so
    // accepted): an interruption to 0 V is at 0 %, not NaN, and a swell's
    // percentage is large but a number.
    VoltageEventDetector tiny(1e-310, 1);
    const double rows[][2] = {{0.0, 0.0}, {0.01, 0.0}, {0.02, 2e-310}};
    for (const auto& row : rows) tiny.addRmsValues(row[0], &row[1]);
    const std::vector<VoltageEvent> running = tiny.getRunningEvents();
    ASSERT_EQ(running.size(), 1u);
    EXPECT_EQ(running[0].type, VoltageEventSwell);
    EXPECT_GT(running[0].extremePercent, 110.0);  // not NaN
    const std::vector<VoltageEvent> ended = tiny.getEvents();
    ASSERT_EQ(ended.size(), 2u);  // the dip and the interruption, ended by the swell
    for (const VoltageEvent& e : ended)
        EXPECT_EQ(std::make_pair(e.extremeVoltage, e.extremePercent), std::make_pair(0.0, 0.0)) << e.type;
}

// An RMS value that is NaN (a period value over missing samples), on one
// phase or all, before any value, in steady voltage, within a dip, a swell
// or an interruption, alone or inside a batch: refused, the batch whole, and
// the detector is as it was. No event starts or ends on it: the running
// events are unchanged, and the values after it give the events that a twin
// never offered the NaN gives.
TEST(VoltageEventDetector, ANaNValueIsRefusedAndChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    using Row = std::array<double, 3>;
    const Row steady{230, 230, 230}, dipped{150, 230, 230}, swollen{230, 230, 260}, gone{1, 1, 1};
    struct Case { const char* name; Row level; std::size_t at; std::array<bool, 3> missing; bool batch; };
    for (const Case& c : {Case{"first value", steady, 0, {true, false, false}, false},
                          Case{"steady", steady, 5, {true, true, true}, false},
                          Case{"in a dip, the dipped phase", dipped, 7, {true, false, false}, false},
                          Case{"in a dip, another phase", dipped, 7, {false, true, false}, true},
                          Case{"in a swell", swollen, 7, {false, false, true}, false},
                          Case{"in an interruption", gone, 7, {true, true, true}, true}}) {
        SCOPED_TRACE(c.name);
        // 5 steady values, 5 at the level, 5 steady again, every 10 ms.
        std::vector<Row> rows(15, steady);
        std::fill(rows.begin() + 5, rows.begin() + 10, c.level);
        VoltageEventDetector detector(230.0, 3), twin(230.0, 3);
        Row bad = rows[c.at];
        for (int p = 0; p < 3; ++p) bad[p] = c.missing[p] ? nan : bad[p];
        EXPECT_EQ(feedRefusingOnce(detector, twin, rows, c.at, bad, c.batch, 0.01),
                  c.level == steady ? 0u : c.level == gone ? 2u : 1u);
    }
}

}  // namespace
