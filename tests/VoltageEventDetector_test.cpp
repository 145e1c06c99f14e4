#include "powerquality/VoltageEventDetector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "ComtradeRecording.h"
#include "SignalDriver.h"
#include "powerquality/VoltageEventDetectorApi.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr double fs = 10240.0;  // 204.8 samples per cycle: spans with fractional ends
constexpr double f0 = 50.0;
constexpr double T = 1.0 / f0;
constexpr double Udin = 230.0;

// A rectangular change of one phase's amplitude to level (1.0 = Udin) over [from, to).
struct Change {
    unsigned phase;
    double from, to, level;
};

// A three-phase star module producing Urms(1/2) (one-cycle values every half
// cycle) and a detector fed with every fetch, straight from the results ring.
struct Pipeline {
    explicit Pipeline(double rate = fs, double frequency = f0, double declared = Udin)
        : rate(rate), frequency(frequency), detector(declared, 3), driver(module) {
        module.beginUpdate();
        module.setGridConfigType(ThreePhaseStar);
        module.setSampleRate(rate, 1);
        module.setBufferLength(static_cast<unsigned int>(rate / 2));
        module.setStaticFrequency(frequency, 0.1);
        module.setCurrentEnabled(false);
        module.setPeriodValuesEnabled(true);
        module.setHalfPeriodValuesCount(2);
        module.setPeriodValuesOverlapInPercent(50);
        module.endUpdate();
        module.reset(0);
    }

    void run(uint64_t total, const SignalDriver::Signal& signal) {
        const uint64_t block = 1000;
        for (uint64_t p = 0; p < total; p += block) {
            const uint64_t n = std::min(block, total - p);
            driver.write(p, n, signal);
            driver.schedule(p, static_cast<int>(n), frequency);
            bool more = true;
            while (more) {
                int count = 0;
                PowerResultsPeriod* records = nullptr;
                module.getPeriodResults(&count, &more, &records);
                detector.addPeriodResults(records, count);
                for (int c = 0; c < count; ++c) {
                    times.push_back(records[4 * c + 1].time);
                }
            }
        }
    }

    double rate, frequency;
    PowerModule module;
    VoltageEventDetector detector;
    SignalDriver driver;
    std::vector<double> times;
};

SignalDriver::Signal sines(std::vector<Change> changes) {
    return [changes](unsigned channel, uint64_t p) {
        const double t = static_cast<double>(p) / fs;
        double level = 1.0;
        for (const Change& c : changes) {
            if (c.phase == channel && t >= c.from && t < c.to) {
                level = c.level;
            }
        }
        return Udin * std::sqrt(2.0) * level * std::sin(2.0 * pi * f0 * t - 2.0 * pi / 3.0 * channel);
    };
}

// Runs one second of the grid with the changes, then closes what still runs.
std::vector<VoltageEvent> eventsOf(const std::vector<Change>& changes) {
    Pipeline pipeline;
    pipeline.run(static_cast<uint64_t>(fs), sines(changes));
    EXPECT_TRUE(pipeline.detector.getRunningEvents().empty());
    return pipeline.detector.getEvents();
}

TEST(VoltageEventDetector, SeventyPercentDipOfOneHundredMillisecondsOnOnePhase) {
    // The dip starts at several points of the dipped phase's wave. Values end
    // every half cycle, so start and end lie on that grid; the one-cycle
    // window makes the measured duration longer by 0 or half a cycle.
    struct Case {
        unsigned phase;
        double degrees;
    };
    for (const Case& c : {Case{0, 0.0}, Case{1, 45.0}, Case{2, 90.0}, Case{0, 135.0}, Case{1, 170.0}}) {
        SCOPED_TRACE(std::to_string(c.phase) + " at " + std::to_string(c.degrees) + " degrees");
        const double t0 = 0.5 + (c.phase / 3.0 + c.degrees / 360.0) * T;
        const std::vector<VoltageEvent> events = eventsOf({{c.phase, t0, t0 + 0.1, 0.7}});
        ASSERT_EQ(events.size(), 1u);
        const VoltageEvent& dip = events[0];
        EXPECT_EQ(dip.type, VoltageEventDip);
        EXPECT_EQ(dip.phases, 1u << c.phase);
        EXPECT_GT(dip.startTime, t0);
        EXPECT_LE(dip.startTime, t0 + T + 1e-9);
        EXPECT_LE(std::fabs(dip.duration - 0.1), T / 2 + 1e-9);
        EXPECT_NEAR(dip.extremeVoltage, 0.7 * Udin, 0.005 * Udin);
        EXPECT_NEAR(dip.extremePercent, 70.0, 0.5);
        EXPECT_DOUBLE_EQ(dip.extremePercent, dip.extremeVoltage * (100.0 / Udin));
    }
}

TEST(VoltageEventDetector, PhasesAndKindsFollowThePolyphaseRules) {
    // Overlapping dips on two phases are one event with both phases; the same
    // dips apart are two events, in the order they ended.
    {
        SCOPED_TRACE("overlapping dips");
        const std::vector<VoltageEvent> events = eventsOf({{0, 0.50, 0.60, 0.7}, {1, 0.55, 0.70, 0.5}});
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, VoltageEventDip);
        EXPECT_EQ(events[0].phases, 0x3u);
        EXPECT_NEAR(events[0].startTime, 0.5, T);
        EXPECT_NEAR(events[0].startTime + events[0].duration, 0.7, T + 1e-9);
        EXPECT_NEAR(events[0].extremePercent, 50.0, 0.5);
    }
    {
        SCOPED_TRACE("separate dips");
        const std::vector<VoltageEvent> events = eventsOf({{1, 0.50, 0.60, 0.5}, {0, 0.75, 0.80, 0.7}});
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[0].phases, 0x2u);
        EXPECT_NEAR(events[0].extremePercent, 50.0, 0.5);
        EXPECT_EQ(events[1].phases, 0x1u);
        EXPECT_NEAR(events[1].extremePercent, 70.0, 0.5);
        EXPECT_LT(events[0].startTime + events[0].duration, events[1].startTime);
    }
    {
        SCOPED_TRACE("swell to 115 %");
        const std::vector<VoltageEvent> events = eventsOf({{2, 0.40, 0.60, 1.15}});
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, VoltageEventSwell);
        EXPECT_EQ(events[0].phases, 0x4u);
        EXPECT_LE(std::fabs(events[0].duration - 0.2), T / 2 + 1e-9);
        EXPECT_NEAR(events[0].extremePercent, 115.0, 0.5);
    }
    {
        // Every phase below 5 %: an interruption, and a dip that contains it.
        // The interruption ends first (one phase back above 7 % suffices).
        SCOPED_TRACE("interruption of three phases");
        const std::vector<VoltageEvent> events = eventsOf({{0, 0.4, 0.6, 0.01}, {1, 0.4, 0.6, 0.01}, {2, 0.4, 0.6, 0.01}});
        ASSERT_EQ(events.size(), 2u);
        const VoltageEvent& interruption = events[0];
        const VoltageEvent& dip = events[1];
        EXPECT_EQ(interruption.type, VoltageEventInterruption);
        EXPECT_EQ(interruption.phases, 0x7u);
        EXPECT_NEAR(interruption.extremePercent, 1.0, 0.5);
        EXPECT_LE(std::fabs(interruption.duration - 0.2), T + 1e-9);
        EXPECT_EQ(dip.type, VoltageEventDip);
        EXPECT_EQ(dip.phases, 0x7u);
        EXPECT_LE(dip.startTime, interruption.startTime);
        EXPECT_GE(dip.startTime + dip.duration, interruption.startTime + interruption.duration);
        EXPECT_LE(std::fabs(dip.duration - 0.2), T + 1e-9);
        EXPECT_EQ(dip.extremeVoltage, interruption.extremeVoltage);
    }
    {
        SCOPED_TRACE("two phases out, one live: a dip only");
        const std::vector<VoltageEvent> events = eventsOf({{0, 0.4, 0.6, 0.0}, {1, 0.4, 0.6, 0.0}});
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, VoltageEventDip);
        EXPECT_EQ(events[0].phases, 0x3u);
        EXPECT_NEAR(events[0].extremePercent, 0.0, 0.5);
    }
}

// Feeds rows of three RMS values at times 0.01, 0.02, ... (Udin 100 V, so
// volts read as percent).
std::vector<VoltageEvent> feedRows(VoltageEventDetector& d, const std::vector<std::array<double, 3>>& rows) {
    for (size_t n = 0; n < rows.size(); ++n) {
        d.addRmsValues(0.01 * static_cast<double>(n + 1), rows[n].data());
    }
    return d.getEvents();
}

TEST(VoltageEventDetector, ThresholdsAndHysteresisDoNotChatter) {
    struct Case {
        const char* name;
        std::vector<std::array<double, 3>> rows;
        int type;
        size_t startRow, endRow;  // the event's first value and the value that ends it
        double extreme;
        uint32_t phases;
    };
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
        VoltageEventDetector d(100.0, 3);
        std::vector<VoltageEvent> events = feedRows(d, c.rows);
        // An interruption also makes a dip, still running here.
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, c.type);
        EXPECT_DOUBLE_EQ(events[0].startTime, 0.01 * static_cast<double>(c.startRow + 1));
        EXPECT_NEAR(events[0].duration, 0.01 * static_cast<double>(c.endRow - c.startRow), 1e-12);
        EXPECT_EQ(events[0].extremeVoltage, c.extreme);
        EXPECT_EQ(events[0].phases, c.phases);
        const std::vector<VoltageEvent> running = d.getRunningEvents();
        EXPECT_EQ(running.size(), c.type == VoltageEventInterruption ? 1u : 0u);
    }
}

TEST(VoltageEventDetector, EventsRunningAtTheEndAreReportedAndClosed) {
    // A dip whose samples end during the dip, and a swell on another phase.
    Pipeline pipeline;
    pipeline.run(static_cast<uint64_t>(0.8 * fs), sines({{0, 0.5, 1.0, 0.6}, {2, 0.7, 1.0, 1.2}}));
    VoltageEventDetector& d = pipeline.detector;
    EXPECT_EQ(d.getEventsCount(), 0u);
    const double latest = pipeline.times.back();
    const std::vector<VoltageEvent> running = d.getRunningEvents();
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[0].type, VoltageEventDip);
    EXPECT_EQ(running[1].type, VoltageEventSwell);
    EXPECT_NEAR(running[0].startTime, 0.5, T);
    EXPECT_DOUBLE_EQ(running[0].startTime + running[0].duration, latest);
    EXPECT_NEAR(running[0].extremePercent, 60.0, 0.5);
    EXPECT_NEAR(running[1].extremePercent, 120.0, 0.5);
    EXPECT_EQ(d.getRunningEvents().size(), 2u);  // reading leaves them running
    d.closeRunningEvents();
    EXPECT_TRUE(d.getRunningEvents().empty());
    // Taken one at a time, oldest start first.
    std::vector<VoltageEvent> first = d.getEvents(1);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(0, std::memcmp(&first[0], &running[0], sizeof(VoltageEvent)));
    std::vector<VoltageEvent> second = d.getEvents(5);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(0, std::memcmp(&second[0], &running[1], sizeof(VoltageEvent)));
    EXPECT_TRUE(d.getEvents().empty());
    d.closeRunningEvents();  // nothing left to close
    EXPECT_EQ(d.getEventsCount(), 0u);
}

TEST(VoltageEventDetector, BadInputIsRejectedAndChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double declared : {0.0, -230.0, nan, inf}) {
        SCOPED_TRACE(declared);
        EXPECT_THROW(VoltageEventDetector(declared, 3), std::invalid_argument);
        EXPECT_EQ(voltageEventDetector_create(declared, 3), nullptr);
    }
    EXPECT_THROW(VoltageEventDetector(230.0, 0), std::invalid_argument);
    EXPECT_THROW(VoltageEventDetector(230.0, 33), std::invalid_argument);
    EXPECT_EQ(voltageEventDetector_create(230.0, -1), nullptr);
    EXPECT_EQ(voltageEventDetector_create(230.0, 0), nullptr);

    VoltageEventDetector d(100.0, 2);
    struct Thresholds {
        double dip, swell, interruption, hysteresis;
    };
    for (const Thresholds& t : {Thresholds{80, 110, 85, 2}, Thresholds{90, 90, 5, 0}, Thresholds{90, 110, -1, 2},
                                Thresholds{90, 110, 5, -0.5}, Thresholds{90, 110, 5, 10.5},
                                Thresholds{nan, 110, 5, 2}, Thresholds{90, inf, 5, 2}}) {
        SCOPED_TRACE(std::to_string(t.dip) + " " + std::to_string(t.swell) + " " + std::to_string(t.interruption) +
                     " " + std::to_string(t.hysteresis));
        EXPECT_THROW(d.setThresholds(t.dip, t.swell, t.interruption, t.hysteresis), std::invalid_argument);
    }
    EXPECT_THROW(d.setDipThreshold(120.0), std::invalid_argument);
    EXPECT_THROW(d.setInterruptionThreshold(90.0), std::invalid_argument);
    EXPECT_THROW(d.setHysteresis(10.5), std::invalid_argument);
    EXPECT_EQ(d.getDipThreshold(), 90.0);
    EXPECT_EQ(d.getSwellThreshold(), 110.0);
    EXPECT_EQ(d.getInterruptionThreshold(), 5.0);
    EXPECT_EQ(d.getHysteresis(), 2.0);
    d.setHysteresis(10.0);  // the widest that keeps the recovery levels apart
    d.setThresholds(80.0, 120.0, 10.0, 5.0);
    EXPECT_EQ(d.getDipThreshold(), 80.0);

    // A batch with a bad value anywhere is refused whole: the dip its first
    // item would start does not exist afterwards.
    PowerResultsPeriod items[3 * 3] = {};
    for (int n = 0; n < 3; ++n) {
        for (int k = 1; k <= 2; ++k) {
            items[3 * n + k].time = 0.01 * (n + 1);
            items[3 * n + k].rmsVoltage = n == 0 ? 50.0 : n == 1 ? 82.0 : 100.0;
        }
    }
    for (double bad : {nan, -1.0, inf}) {
        SCOPED_TRACE(bad);
        items[3 * 2 + 2].rmsVoltage = bad;
        EXPECT_THROW(d.addPeriodResults(items, 3), std::invalid_argument);
        EXPECT_TRUE(d.getRunningEvents().empty());
    }
    items[3 * 2 + 2].rmsVoltage = 100.0;
    items[3 * 2 + 1].time = 0.005;  // goes back within the batch
    EXPECT_THROW(d.addPeriodResults(items, 3), std::invalid_argument);
    EXPECT_THROW(d.addPeriodResults(nullptr, 1), std::invalid_argument);
    EXPECT_THROW(d.addPeriodResults(items, -1), std::invalid_argument);
    d.addPeriodResults(items, 2);
    EXPECT_EQ(d.getRunningEvents().size(), 1u);
    const double late[2] = {100.0, 100.0};
    EXPECT_THROW(d.addRmsValues(0.015, late), std::invalid_argument);  // before the latest 0.02
    EXPECT_THROW(d.addRmsValues(nan, late), std::invalid_argument);
    EXPECT_THROW(d.addRmsValues(0.03, nullptr), std::invalid_argument);
    d.addRmsValues(0.02, late);  // the same time again is accepted, and ends the dip
    ASSERT_EQ(d.getEventsCount(), 1u);
    EXPECT_DOUBLE_EQ(d.getEvents()[0].duration, 0.01);
    try {
        VoltageEventDetector fresh(100.0, 2);
        items[3 * 0 + 2].rmsVoltage = nan;
        fresh.addPeriodResults(items, 1);
        FAIL() << "a NaN RMS value was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("phase 1"), std::string::npos) << e.what();
    }
}

TEST(VoltageEventDetector, FlatInterfaceForwardsAndRefuses) {
    VoltageEventDetectorHandle h = voltageEventDetector_create(100.0, 1);
    ASSERT_NE(h, nullptr);
    double dip = 0, swell = 0, interruption = 0, hysteresis = 0;
    EXPECT_EQ(voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(h, &dip, &swell, &interruption, &hysteresis), 0);
    EXPECT_EQ(dip, 90.0);
    EXPECT_EQ(swell, 110.0);
    EXPECT_EQ(interruption, 5.0);
    EXPECT_EQ(hysteresis, 2.0);
    EXPECT_EQ(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(h, 85.0, 110.0, 90.0, 2.0), 1);
    EXPECT_EQ(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(h, 85.0, 115.0, 1.0, 3.0), 0);
    EXPECT_EQ(voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(h, &dip, &swell, &interruption, &hysteresis), 0);
    EXPECT_EQ(dip, 85.0);
    EXPECT_EQ(hysteresis, 3.0);

    // One phase: two records per item, the total record (0) is not read.
    PowerResultsPeriod items[2 * 4] = {};
    const double rms[4] = {100.0, 80.0, 87.9, 88.0};
    for (int n = 0; n < 4; ++n) {
        items[2 * n].rmsVoltage = std::numeric_limits<double>::quiet_NaN();
        items[2 * n + 1].time = 0.5 + 0.01 * n;
        items[2 * n + 1].rmsVoltage = rms[n];
    }
    EXPECT_EQ(voltageEventDetector_addPeriodResults(h, items, 4), 0);
    VoltageEvent events[2];
    std::memset(static_cast<void*>(events), 0xA5, sizeof events);
    int count = -1;
    EXPECT_EQ(voltageEventDetector_getEvents(h, -1, &count, events), 1);
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, nullptr, events), 1);
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, &count, nullptr), 1);
    EXPECT_EQ(voltageEventDetector_getEvents(nullptr, 2, &count, events), 1);
    EXPECT_EQ(count, -1);
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, &count, events), 0);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(events[0].type, VoltageEventDip);
    EXPECT_EQ(events[0].phases, 1u);
    EXPECT_DOUBLE_EQ(events[0].startTime, 0.51);
    EXPECT_NEAR(events[0].duration, 0.02, 1e-12);
    EXPECT_EQ(events[0].extremeVoltage, 80.0);

    const double low = 50.0;
    EXPECT_EQ(voltageEventDetector_addRmsValues(h, 0.56, &low), 0);
    EXPECT_EQ(voltageEventDetector_addRmsValues(h, 0.55, &low), 1);
    EXPECT_EQ(voltageEventDetector_getRunningEvents(h, 0, &count, events), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(voltageEventDetector_getRunningEvents(h, 2, &count, events), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(voltageEventDetector_closeRunningEvents(h), 0);
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, &count, events), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(voltageEventDetector_closeRunningEvents(nullptr), 1);
    EXPECT_EQ(voltageEventDetector_destroy(h), 0);
    EXPECT_EQ(voltageEventDetector_destroy(nullptr), 0);
}

// --- Recordings --------------------------------------------------------------

// Urms(1/2) computed here from the samples alone: the RMS of the whole samples
// in the cycle before each time of the module's period values.
struct Reference {
    std::vector<double> times;
    std::vector<std::array<double, 3>> rms;
};

Reference referenceRms(const ComtradeRecording& rec, const char* const names[3], const std::vector<double>& times) {
    Reference ref;
    const long window = std::lround(rec.sampleRate / rec.frequency);
    for (double t : times) {
        const long end = std::lround(t * rec.sampleRate);
        if (end - window < 0) {
            continue;
        }
        std::array<double, 3> values{};
        for (int k = 0; k < 3; ++k) {
            const std::vector<double>& u = rec.channel(names[k]);
            double sum = 0.0;
            for (long p = end - window; p < end; ++p) {
                const double x = static_cast<float>(u[static_cast<size_t>(p)]);
                sum += x * x;
            }
            values[k] = std::sqrt(sum / static_cast<double>(window));
        }
        ref.times.push_back(t);
        ref.rms.push_back(values);
    }
    return ref;
}

// The first event of a kind in the reference series: the first time any phase
// is beyond the threshold to the first time every phase is back within the
// recovery level, with the extreme in between.
VoltageEvent firstReferenceEvent(const Reference& ref, bool swell, double threshold, double recovery) {
    VoltageEvent event{};
    bool inside = false;
    for (size_t n = 0; n < ref.times.size(); ++n) {
        const auto& v = ref.rms[n];
        const double low = std::min({v[0], v[1], v[2]});
        const double high = std::max({v[0], v[1], v[2]});
        if (!inside && (swell ? high > threshold : low < threshold)) {
            inside = true;
            event.startTime = ref.times[n];
            event.extremeVoltage = swell ? high : low;
        } else if (inside) {
            if (swell ? high <= recovery : low >= recovery) {
                event.duration = ref.times[n] - event.startTime;
                return event;
            }
            event.extremeVoltage = swell ? std::max(event.extremeVoltage, high) : std::min(event.extremeVoltage, low);
        }
    }
    event.duration = -1.0;
    return event;
}

void checkRecording(const char* file, const char* const names[3], double declared, int type) {
    ComtradeRecording rec;
    const std::string base = std::string(POWERQUALITY_SHARED_DATA_DIR) + "/comtrade/" + file;
    if (!rec.load(base)) {
        GTEST_SKIP() << "recording " << base << " not found (the shared data folder is not beside the checkout)";
    }
    Pipeline pipeline(rec.sampleRate, rec.frequency, declared);
    const size_t total = rec.channel(names[0]).size();
    pipeline.run(total, [&](unsigned channel, uint64_t p) {
        return channel < 3 ? rec.channel(names[channel])[static_cast<size_t>(p)] : 0.0;
    });
    pipeline.detector.closeRunningEvents();
    const std::vector<VoltageEvent> events = pipeline.detector.getEvents();
    ASSERT_EQ(events.size(), 1u);
    const VoltageEvent& event = events[0];
    EXPECT_EQ(event.type, type);
    EXPECT_NE(event.phases, 0u);

    const bool swell = type == VoltageEventSwell;
    const double scale = declared / 100.0;
    const Reference ref = referenceRms(rec, names, pipeline.times);
    const VoltageEvent expected = swell ? firstReferenceEvent(ref, true, 110.0 * scale, 108.0 * scale)
                                        : firstReferenceEvent(ref, false, 90.0 * scale, 92.0 * scale);
    ASSERT_GT(expected.duration, 0.0);
    const double halfCycle = 0.5 / rec.frequency;
    EXPECT_NEAR(event.startTime, expected.startTime, halfCycle + 1e-9);
    EXPECT_NEAR(event.duration, expected.duration, halfCycle + 1e-9);
    // Whole-sample windows against the module's exact spans: within 0.5 % of Udin.
    EXPECT_NEAR(event.extremeVoltage, expected.extremeVoltage, 0.005 * declared);
    std::printf("%s: type %d phases %u start %.4f s duration %.4f s extreme %.3f kV (%.2f %%); "
                "from the samples: start %.4f s duration %.4f s extreme %.3f kV\n",
                file, event.type, event.phases, event.startTime, event.duration, event.extremeVoltage,
                event.extremePercent, expected.startTime, expected.duration, expected.extremeVoltage);
}

// The declared voltages are the channels' primary ratings (line to line) over
// the square root of three: 6 kV and 13.8 kV systems.
TEST(VoltageEventDetector, RecordedFiftyHertzSwell) {
    const char* const names[3] = {"VA_G1", "VB_G1", "VC_G1"};
    checkRecording("test1", names, 6.0 / std::sqrt(3.0), VoltageEventSwell);
}

TEST(VoltageEventDetector, RecordedSixtyHertzDip) {
    const char* const names[3] = {"VA_GC1", "VB_GC1", "VC_GC1"};
    checkRecording("test2", names, 13.8 / std::sqrt(3.0), VoltageEventDip);
}

}  // namespace
