// Urms(1/2) of a 230 V, 50 Hz three-phase star module sampled at 10240 Hz
// (204.8 samples per cycle: spans with fractional ends) whose phase voltages
// change as listed: the module-driven input of the event detectors' tests.
#ifndef POWERQUALITY_TESTS_CHANGEDSTAR_H
#define POWERQUALITY_TESTS_CHANGEDSTAR_H

#include <cmath>
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

#endif
