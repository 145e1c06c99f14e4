// Urms(1/2) of a 230 V, 50 Hz three-phase star module sampled at 10240 Hz
// (204.8 samples per cycle: spans with fractional ends) whose phase voltages
// change as listed: the module-driven input of the event detectors' tests.
#ifndef POWERQUALITY_TESTS_CHANGEDSTAR_H
#define POWERQUALITY_TESTS_CHANGEDSTAR_H

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "SignalDriver.h"

constexpr double fs = 10240.0, f0 = 50.0, T = 1.0 / f0, Udin = 230.0;

// A rectangular change of the amplitude of the phases in a bit mask to level
// (1.0 = Udin) over [from, to); of two changes of a phase the later listed counts.
struct Change { unsigned phases; double from, to, level; };

// Hands every detector the same values, all items as one batch.
template <typename... Detectors>
void feedChangedStar(const std::vector<Change>& changes, double seconds, Detectors&... detectors) {
    const double pi = 3.141592653589793;
    const SignalDriver::Signal signal = [&](unsigned channel, uint64_t p) {
        const double t = static_cast<double>(p) / fs;
        double level = 1.0;
        for (const Change& c : changes) level = (c.phases >> channel & 1u) && t >= c.from && t < c.to ? c.level : level;
        return Udin * std::sqrt(2.0) * level * std::sin(2.0 * pi * f0 * t - 2.0 * pi / 3.0 * channel);
    };
    int items = 0;
    const std::vector<PowerResultsPeriod> records = halfCycleRmsRecords(signal, fs, f0, seconds, &items);
    (detectors.addPeriodResults(records.data(), items), ...);
}

// Rows of RMS values, row k at time step * (k + 1), to a detector and its
// twin; at row `at` the detector is first offered `bad` (alone, or second in a
// batch after row `at` itself), which it must refuse whole, its running events
// as they were. Returns how many events it gave, having checked that they are
// byte for byte the twin's, which never saw `bad`.
template <typename Detector, std::size_t P>
std::size_t feedRefusingOnce(Detector& d, Detector& twin, const std::vector<std::array<double, P>>& rows,
                             std::size_t at, const std::array<double, P>& bad, bool batch, double step) {
    for (std::size_t k = 0; k < rows.size(); ++k) {
        const double time = step * static_cast<double>(k + 1);
        if (k == at) {
            const auto before = d.getRunningEvents();
            if (batch) {
                PowerResultsPeriod items[2 * (P + 1)] = {};  // per item the total, then the phases
                for (std::size_t p = 0; p < P; ++p) { items[1 + p].rmsVoltage = rows[k][p]; items[P + 2 + p].rmsVoltage = bad[p]; }
                items[1].time = time; items[P + 2].time = time + step / 2;
                EXPECT_THROW(d.addPeriodResults(items, 2), std::invalid_argument);
            } else {
                EXPECT_THROW(d.addRmsValues(time, bad.data()), std::invalid_argument);
            }
            const auto after = d.getRunningEvents();
            EXPECT_TRUE(after.size() == before.size() &&
                        (after.empty() || std::memcmp(after.data(), before.data(), after.size() * sizeof after[0]) == 0));
        }
        d.addRmsValues(time, rows[k].data());
        twin.addRmsValues(time, rows[k].data());
    }
    const auto events = d.getEvents(), expected = twin.getEvents();
    EXPECT_TRUE(events.size() == expected.size() &&
                (events.empty() || std::memcmp(events.data(), expected.data(), events.size() * sizeof events[0]) == 0));
    return events.size();
}

#endif
