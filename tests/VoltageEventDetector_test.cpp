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
        : frequency(frequency), detector(declared, 3), driver(module) {
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

    double frequency;
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

// One expected event: its type and phases, the disturbance it comes from
// [from, to), how far the measured duration may differ, and the extreme.
struct Expected {
    int type;
    uint32_t phases;
    double from, to, durationTolerance, extremePercent;
};

void expectEvents(const char* name, const std::vector<Change>& changes, const std::vector<Expected>& expected) {
    SCOPED_TRACE(name);
    Pipeline pipeline;
    pipeline.run(static_cast<uint64_t>(fs), sines(changes));
    EXPECT_TRUE(pipeline.detector.getRunningEvents().empty());
    const std::vector<VoltageEvent> events = pipeline.detector.getEvents();
    ASSERT_EQ(events.size(), expected.size());
    for (size_t n = 0; n < events.size(); ++n) {
        SCOPED_TRACE(n);
        const VoltageEvent& e = events[n];
        EXPECT_EQ(e.type, expected[n].type);
        EXPECT_EQ(e.phases, expected[n].phases);
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
        expectEvents(("70 % dip at " + std::to_string(degrees) + " degrees").c_str(), {{k, t0, t0 + 0.1, 0.7}},
                     {{VoltageEventDip, 1u << k, t0, t0 + 0.1, T / 2, 70.0}});
    }
    expectEvents("overlapping dips on two phases are one", {{0, 0.50, 0.60, 0.7}, {1, 0.55, 0.70, 0.5}},
                 {{VoltageEventDip, 0x3, 0.5, 0.7, T, 50.0}});
    expectEvents("dips apart are two, in the order they ended", {{1, 0.50, 0.60, 0.5}, {0, 0.75, 0.80, 0.7}},
                 {{VoltageEventDip, 0x2, 0.5, 0.6, T, 50.0}, {VoltageEventDip, 0x1, 0.75, 0.8, T, 70.0}});
    expectEvents("swell to 115 %", {{2, 0.40, 0.60, 1.15}}, {{VoltageEventSwell, 0x4, 0.4, 0.6, T / 2, 115.0}});
    // Every phase below 5 %: an interruption, and a dip around it that ends
    // later (every phase back above 92 %, not one above 7 %).
    expectEvents("interruption of three phases", {{0, 0.4, 0.6, 0.01}, {1, 0.4, 0.6, 0.01}, {2, 0.4, 0.6, 0.01}},
                 {{VoltageEventInterruption, 0x7, 0.4, 0.6, T, 1.0}, {VoltageEventDip, 0x7, 0.4, 0.6, T, 1.0}});
    expectEvents("one phase live: no interruption", {{0, 0.4, 0.6, 0.0}, {1, 0.4, 0.6, 0.0}},
                 {{VoltageEventDip, 0x3, 0.4, 0.6, T, 0.0}});
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
        VoltageEventDetector d(100.0, 3);  // volts read as percent
        for (size_t n = 0; n < c.rows.size(); ++n) {
            d.addRmsValues(0.01 * static_cast<double>(n + 1), c.rows[n].data());
        }
        const std::vector<VoltageEvent> events = d.getEvents();
        // An interruption also makes a dip, still running here.
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, c.type);
        EXPECT_DOUBLE_EQ(events[0].startTime, 0.01 * static_cast<double>(c.startRow + 1));
        EXPECT_NEAR(events[0].duration, 0.01 * static_cast<double>(c.endRow - c.startRow), 1e-12);
        EXPECT_EQ(events[0].extremeVoltage, c.extreme);
        EXPECT_EQ(events[0].phases, c.phases);
        EXPECT_EQ(d.getRunningEvents().size(), c.type == VoltageEventInterruption ? 1u : 0u);
    }
}

TEST(VoltageEventDetector, EventsRunningAtTheEndAreReportedAndClosed) {
    // The samples end during a dip on L1 and a swell on L3.
    Pipeline pipeline;
    pipeline.run(static_cast<uint64_t>(0.8 * fs), sines({{0, 0.5, 1.0, 0.6}, {2, 0.7, 1.0, 1.2}}));
    VoltageEventDetector& d = pipeline.detector;
    EXPECT_EQ(d.getEventsCount(), 0u);
    const std::vector<VoltageEvent> running = d.getRunningEvents();
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[0].type, VoltageEventDip);
    EXPECT_NEAR(running[0].startTime, 0.5, T);
    EXPECT_DOUBLE_EQ(running[0].startTime + running[0].duration, pipeline.times.back());
    EXPECT_NEAR(running[0].extremePercent, 60.0, 0.5);
    EXPECT_EQ(running[1].type, VoltageEventSwell);
    EXPECT_NEAR(running[1].extremePercent, 120.0, 0.5);
    d.closeRunningEvents();
    EXPECT_TRUE(d.getRunningEvents().empty());
    // Closed as they were reported, and taken one at a time, oldest first.
    for (const VoltageEvent& expected : running) {
        const std::vector<VoltageEvent> one = d.getEvents(1);
        ASSERT_EQ(one.size(), 1u);
        EXPECT_EQ(0, std::memcmp(&one[0], &expected, sizeof(VoltageEvent)));
    }
    d.closeRunningEvents();
    EXPECT_EQ(d.getEventsCount(), 0u);
}

TEST(VoltageEventDetector, BadInputIsRejectedAndChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (double declared : {0.0, -230.0, nan, inf}) {
        EXPECT_THROW(VoltageEventDetector(declared, 3), std::invalid_argument) << declared;
    }
    EXPECT_THROW(VoltageEventDetector(230.0, 0), std::invalid_argument);
    EXPECT_THROW(VoltageEventDetector(230.0, 33), std::invalid_argument);

    VoltageEventDetector d(100.0, 2);
    // interruption > dip, dip = swell, negative interruption or hysteresis,
    // recovery levels crossing (90 + 10.5 > 110 - 10.5), not finite.
    const std::array<double, 4> wrong[] = {{80, 110, 85, 2}, {90, 90, 5, 0}, {90, 110, -1, 2}, {90, 110, 5, -0.5},
                                           {90, 110, 5, 10.5}, {nan, 110, 5, 2}, {90, inf, 5, 2}};
    for (const auto& t : wrong) {
        EXPECT_THROW(d.setThresholds(t[0], t[1], t[2], t[3]), std::invalid_argument) << t[0] << " " << t[1];
    }
    EXPECT_THROW(d.setDipThreshold(120.0), std::invalid_argument);
    EXPECT_THROW(d.setInterruptionThreshold(90.0), std::invalid_argument);
    EXPECT_THROW(d.setHysteresis(10.5), std::invalid_argument);
    EXPECT_EQ(d.getDipThreshold(), 90.0);
    EXPECT_EQ(d.getInterruptionThreshold(), 5.0);
    EXPECT_EQ(d.getHysteresis(), 2.0);
    d.setHysteresis(10.0);  // the widest that keeps the recovery levels apart
    d.setThresholds(80.0, 120.0, 10.0, 5.0);

    // A batch with a bad value anywhere is refused whole: the dip that its
    // first item would start does not exist afterwards.
    PowerResultsPeriod items[3 * 3] = {};
    const double rms[3] = {50.0, 82.0, 100.0};
    for (int n = 0; n < 3; ++n) {
        for (int k = 1; k <= 2; ++k) {
            items[3 * n + k].time = 0.01 * (n + 1);
            items[3 * n + k].rmsVoltage = rms[n];
        }
    }
    for (double bad : {nan, -1.0, inf}) {
        items[3 * 2 + 2].rmsVoltage = bad;
        EXPECT_THROW(d.addPeriodResults(items, 3), std::invalid_argument) << bad;
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
    try {
        VoltageEventDetector fresh(100.0, 2);
        items[2].rmsVoltage = nan;
        fresh.addPeriodResults(items, 1);
        FAIL() << "a NaN RMS value was taken";
    } catch (const std::invalid_argument& e) {
        EXPECT_NE(std::string(e.what()).find("phase 1"), std::string::npos) << e.what();
    }
}

TEST(VoltageEventDetector, FlatInterfaceForwardsAndRefuses) {
    EXPECT_EQ(voltageEventDetector_create(-230.0, 3), nullptr);
    EXPECT_EQ(voltageEventDetector_create(230.0, -1), nullptr);
    VoltageEventDetectorHandle h = voltageEventDetector_create(100.0, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(h, 85.0, 110.0, 90.0, 2.0), 1);
    EXPECT_EQ(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(h, 85.0, 115.0, 1.0, 3.0), 0);
    double t[4] = {};
    EXPECT_EQ(voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(h, &t[0], &t[1], &t[2], &t[3]), 0);
    EXPECT_EQ(t[0] + t[1] + t[2] + t[3], 85.0 + 115.0 + 1.0 + 3.0);

    // One phase: two records per item; the total record is not read.
    PowerResultsPeriod items[2 * 4] = {};
    const double rms[4] = {100.0, 80.0, 87.9, 88.0};
    for (int n = 0; n < 4; ++n) {
        items[2 * n].rmsVoltage = std::numeric_limits<double>::quiet_NaN();
        items[2 * n + 1].time = 0.5 + 0.01 * n;
        items[2 * n + 1].rmsVoltage = rms[n];
    }
    EXPECT_EQ(voltageEventDetector_addPeriodResults(h, items, 4), 0);
    VoltageEvent events[2];
    int count = -1;
    EXPECT_EQ(voltageEventDetector_getEvents(h, -1, &count, events), 1);
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, nullptr, events), 1);
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, &count, nullptr), 1);
    EXPECT_EQ(voltageEventDetector_getEvents(nullptr, 2, &count, events), 1);
    EXPECT_EQ(count, -1);  // nothing written, nothing taken
    EXPECT_EQ(voltageEventDetector_getEvents(h, 2, &count, events), 0);
    ASSERT_EQ(count, 1);
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
}

// --- Recordings --------------------------------------------------------------

// The first dip (or swell) found in Urms(1/2) computed here from the samples
// alone: the RMS of the whole samples of the cycle before each time of the
// module's period values, scanned with the polyphase rule.
VoltageEvent referenceEvent(const ComtradeRecording& rec, const char* const names[3],
                            const std::vector<double>& times, bool swell, double threshold, double recovery) {
    const long window = std::lround(rec.sampleRate / rec.frequency);
    VoltageEvent event{};
    event.duration = -1.0;
    bool inside = false;
    for (double t : times) {
        const long end = std::lround(t * rec.sampleRate);
        bool recovered = true;
        for (unsigned k = 0; k < 3 && end >= window; ++k) {
            double sum = 0.0;
            for (long p = end - window; p < end; ++p) {
                const double x = static_cast<float>(rec.channel(names[k])[static_cast<size_t>(p)]);
                sum += x * x;
            }
            const double u = std::sqrt(sum / static_cast<double>(window));
            const bool beyond = swell ? u > threshold : u < threshold;
            recovered = recovered && (swell ? u <= recovery : u >= recovery);
            if (beyond && !inside) {
                inside = true;
                event.startTime = t;
                event.extremeVoltage = u;
            }
            if (inside) {
                event.phases |= beyond ? 1u << k : 0u;
                event.extremeVoltage = swell ? std::max(event.extremeVoltage, u) : std::min(event.extremeVoltage, u);
            }
        }
        if (inside && recovered) {
            event.duration = t - event.startTime;
            return event;
        }
    }
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
    const bool swell = type == VoltageEventSwell;
    const double scale = declared / 100.0;
    const VoltageEvent expected = referenceEvent(rec, names, pipeline.times, swell, (swell ? 110.0 : 90.0) * scale,
                                                 (swell ? 108.0 : 92.0) * scale);
    ASSERT_GT(expected.duration, 0.0);
    EXPECT_EQ(event.phases, expected.phases);
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
