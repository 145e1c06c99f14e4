// Drives a module the way a host does: writes synthesised samples into the
// waveform rings block by block, reports the tracked frequency as segments and
// collects the period results as they come.
#ifndef POWERQUALITY_TESTS_SIGNALDRIVER_H
#define POWERQUALITY_TESTS_SIGNALDRIVER_H

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

#include "powerquality/PowerModule.h"

struct SignalDriver {
    // Sample of channel (0-2 voltages, 3-5 currents, 6-8 line-to-line) at a position.
    using Signal = std::function<double(unsigned channel, uint64_t position)>;

    explicit SignalDriver(PowerModule& module) : module(module) {}

    // Writes positions [first, first + count) of every existing ring.
    void write(uint64_t first, uint64_t count, const Signal& signal) {
        using Accessor = void (PowerModule::*)(unsigned char, float**) const;
        const Accessor rings[] = {&PowerModule::getWaveformBufferUStar, &PowerModule::getWaveformBufferI,
                                  &PowerModule::getWaveformBufferUDelta};
        const uint64_t L = module.getBufferLength();
        for (unsigned channel = 0; channel < 9; ++channel) {
            float* ring = nullptr;
            (module.*rings[channel / 3])(static_cast<unsigned char>(channel % 3), &ring);
            for (uint64_t p = first; ring != nullptr && p < first + count; ++p) {
                ring[p % L] = static_cast<float>(signal(channel, p));
            }
        }
    }

    // One segment of caller indices [first, first + length) at a frequency.
    void schedule(unsigned long long first, int length, double frequency, bool flag = true) {
        module.scheduleForPeriodCalculation(1, &first, &length, &frequency, &flag);
    }

    // Fetches until nothing is waiting; keeps copies of every entry.
    void fetch() {
        for (bool more = true; more;) {
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            module.getPeriodResults(&count, &more, &records);
            const unsigned perItem = module.getPhasesCount() + 1u;
            for (int k = 0; k < count; ++k) entries.emplace_back(records + k * perItem, records + (k + 1) * perItem);
        }
    }

    // Writes and schedules [first, first + total) in blocks, fetching after each.
    void run(uint64_t first, uint64_t total, uint64_t block, double frequency, const Signal& signal) {
        for (uint64_t p = first; p < first + total; p += block) {
            const uint64_t n = first + total - p < block ? first + total - p : block;
            write(p, n, signal); schedule(p, static_cast<int>(n), frequency); fetch();
        }
    }

    PowerModule& module;
    std::vector<std::vector<PowerResultsPeriod>> entries;  // per item: total, then phases
};

// A three-phase sine set: voltages of rms V with phases 0, -120, +120 degrees,
// currents of rms I lagging by lagDegrees, at a constant frequency.
inline SignalDriver::Signal threePhaseSine(double fs, double frequency, double V, double I, double lagDegrees) {
    const double pi = 3.141592653589793;
    return [=](unsigned channel, uint64_t p) {
        const double shift = -2.0 * pi / 3.0 * (channel % 3);
        const double theta = 2.0 * pi * frequency * static_cast<double>(p) / fs + shift;
        // line-to-line k: phase k minus phase k+1
        return channel < 3   ? V * std::sqrt(2.0) * std::sin(theta)
               : channel < 6 ? I * std::sqrt(2.0) * std::sin(theta - lagDegrees * pi / 180.0)
                             : V * std::sqrt(2.0) * (std::sin(theta) - std::sin(theta - 2.0 * pi / 3.0));
    };
}

// Urms(1/2) of a three-phase star module (one-cycle values refreshed every
// half cycle, no currents) at a static frequency, fed with signal for the
// given seconds: all items' records one after the other, phasesCount + 1 each.
inline std::vector<PowerResultsPeriod> halfCycleRmsRecords(const SignalDriver::Signal& signal, double fs,
                                                           double frequency, double seconds, int* itemCount) {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar); module.setSampleRate(fs, 1);
    module.setBufferLength(static_cast<unsigned int>(fs / 2)); module.setStaticFrequency(frequency, 0.1);
    module.setCurrentEnabled(false); module.setPeriodValuesEnabled(true); module.setHalfPeriodValuesCount(2);
    module.setPeriodValuesOverlapInPercent(50);
    module.endUpdate();
    module.reset(0);
    SignalDriver driver(module);
    driver.run(0, static_cast<uint64_t>(seconds * fs), 1000, frequency, signal);
    std::vector<PowerResultsPeriod> records;
    for (const auto& entry : driver.entries) records.insert(records.end(), entry.begin(), entry.end());
    *itemCount = static_cast<int>(driver.entries.size());
    return records;
}

#endif
