// Windowed results throughput: whole windows (scheduling, which computes the
// window from the rings, and getResults, which finishes it), in windows per
// second. A full three-phase star with currents, line-to-line voltages, THD,
// inter-harmonics and symmetrical components at 10240 Hz. The rings are
// filled once outside the timed loop with a signal that repeats every ring
// length; the host's writing of samples is not measured.
//
//   BM_WindowedThreePhase/50000  10 cycles at 50 Hz: 2048 samples, FFT 2048 as is
//   BM_WindowedThreePhase/49500  10 cycles at 49.5 Hz: resampled onto 2160 points
//   BM_WindowedThreePhaseTracked a tracked frequency: every window at its own
//                                frequency between 49.8 and 50.2 Hz (its own
//                                exact length, 2039.8 to 2056.2 samples),
//                                resampled onto 2048 or 2160 points
//   BM_WindowedSinglePhase       one voltage and one current, 10 cycles at 50 Hz
//   BM_WindowedCommandLine       what the command line asks of a three-phase
//                                V+I recording: no line-to-line voltages,
//                                harmonic subgroups, a tracked frequency as
//                                above (six channels: three in the real, three
//                                in the imaginary parts of one transform)
//   BM_WindowedCommandLineVoltages3200  what it asks of three voltages at
//                                3200 Hz (subgroups to order 32, no
//                                inter-harmonics, a tracked frequency)
//
// bench/windowed_numpy_peer.py runs the three-phase cases next to the same
// work in numpy and prints the ratio.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "BenchRings.h"
#include "powerquality/PowerModule.h"

namespace {

constexpr double sampleRate = 10240.0;

// 50 Hz with 5th and 7th harmonics; 10240 samples hold 50 whole cycles.
void fill(PowerModule& module) {
    fillRings(module, [](unsigned char k, unsigned int p) {
        const double th = 2.0 * 3.141592653589793 * 50.0 * p / sampleRate - 2.0943951023931953 * (k % 3);
        return 325.0 * (std::sin(th) + 0.05 * std::sin(5 * th) + 0.03 * std::sin(7 * th));
    });
}

// frequency > 0: every window at that frequency; 0: a tracked frequency that
// changes every window.
// lineToLine and subgroups apply to three phases.
void runWindows(benchmark::State& state, bool threePhase, double frequency, bool lineToLine = true,
                bool subgroups = false) {
    PowerModule module;
    module.beginUpdate();
    module.setSampleRate(sampleRate, 1);
    module.setBufferLength(static_cast<unsigned int>(sampleRate));
    module.setStaticFrequency(50.0, 0.1);
    module.setThdEnabled(true);
    module.setInterHarmonicsEnabled(true);
    if (threePhase) {
        module.setGridConfigType(ThreePhaseStar);
        module.setLineToLineResultsEnabled(lineToLine);
        module.setHarmonicSubgroupsEnabled(subgroups);
        module.setSymmetricalComponentsEnabled(true);
    }
    module.setWindowedResultsEnabled(true);
    module.endUpdate();
    fill(module);
    module.reset(0);

    unsigned long long first = 0;
    unsigned int window = 0;
    for (auto _ : state) {
        // 0.2 Hz around 50 Hz, a period of 37 windows: no two neighbours alike.
        const double f = frequency > 0.0 ? frequency : 50.0 + 0.2 * std::sin(0.16981581 * window);
        module.scheduleForCalculation(first, 10, f);
        std::vector<PowerResultsGeneral> results = module.getResults(0);
        benchmark::DoNotOptimize(results.data());
        first += static_cast<unsigned long long>(std::ceil(10 * sampleRate / f));
        ++window;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_WindowedThreePhase(benchmark::State& state) {
    runWindows(state, true, static_cast<double>(state.range(0)) / 1000.0);
}
BENCHMARK(BM_WindowedThreePhase)->Arg(50000)->Arg(49500);

void BM_WindowedThreePhaseTracked(benchmark::State& state) { runWindows(state, true, 0.0); }
BENCHMARK(BM_WindowedThreePhaseTracked);

void BM_WindowedSinglePhase(benchmark::State& state) { runWindows(state, false, 50.0); }
BENCHMARK(BM_WindowedSinglePhase);

void BM_WindowedCommandLine(benchmark::State& state) { runWindows(state, true, 0.0, false, true); }
BENCHMARK(BM_WindowedCommandLine);

// What the command line asks of three voltages at 3200 Hz: harmonic
// subgroups and THD to order 32 (the highest below half the rate), no
// inter-harmonics, symmetrical components, a tracked frequency as above
// (10 cycles: about 640 samples, resampled onto 640 or 648 points; three
// channels in two of the transform's four lanes).
void BM_WindowedCommandLineVoltages3200(benchmark::State& state) {
    const double rate = 3200.0;
    PowerModule module;
    module.beginUpdate();
    module.setSampleRate(rate, 1);
    module.setBufferLength(static_cast<unsigned int>(rate));
    module.setStaticFrequency(50.0, 0.1);
    module.setGridConfigType(ThreePhaseStar);
    module.setCurrentEnabled(false);
    module.setLineToLineResultsEnabled(false);
    module.setThdEnabled(true);
    module.setHarmonicSubgroupsEnabled(true);
    module.setHighestRequestedHarmonic(32);
    module.setThdHighestHarmonic(32);
    module.setSymmetricalComponentsEnabled(true);
    module.setWindowedResultsEnabled(true);
    module.endUpdate();
    // 3200 samples hold 50 whole cycles of 50 Hz.
    fillRings(module, [rate](unsigned char k, unsigned int p) {
        const double th = 2.0 * 3.141592653589793 * 50.0 * p / rate - 2.0943951023931953 * (k % 3);
        return 325.0 * (std::sin(th) + 0.05 * std::sin(5 * th) + 0.03 * std::sin(7 * th));
    });
    module.reset(0);

    unsigned long long first = 0;
    unsigned int window = 0;
    for (auto _ : state) {
        const double f = 50.0 + 0.2 * std::sin(0.16981581 * window);
        module.scheduleForCalculation(first, 10, f);
        std::vector<PowerResultsGeneral> results = module.getResults(0);
        benchmark::DoNotOptimize(results.data());
        first += static_cast<unsigned long long>(std::ceil(10 * rate / f));
        ++window;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowedCommandLineVoltages3200);

}  // namespace

BENCHMARK_MAIN();
