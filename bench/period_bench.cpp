// Period path throughput: reporting frequency segments and fetching the
// period values they finish, in positions (samples per channel) per second.
// The rings are filled once outside the timed loop; the host's own writing of
// samples is not measured.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "BenchRings.h"
#include "powerquality/PowerModule.h"

namespace {

constexpr double sampleRate = 10240.0;
constexpr int blockLength = 1024;

void fill(PowerModule& module) {
    fillRings(module, [](unsigned char k, unsigned int p) {
        return 325.0 * std::sin(2.0 * 3.141592653589793 * 50.0 * p / sampleRate - k);
    });
}

// With `divisor` above 1 the host reports what a frequency tracker gives: one
// segment per cycle of the fundamental (which wanders between 49.9 and
// 50.1 Hz), in caller indices of 1/divisor position, so segment ends fall
// inside positions; each call carries the segments of one block, the last
// one cut at the block's end. `commandLine` sets what the command line asks
// for: currents without line-to-line values, and blocks of a second, so that
// each fetch finds some hundred period values.
void runPeriodPath(benchmark::State& state, bool threePhase, unsigned short overlap, int divisor = 1,
                   bool commandLine = false) {
    const int block = commandLine ? static_cast<int>(sampleRate) : blockLength;
    PowerModule module;
    module.beginUpdate();
    module.setSampleRate(sampleRate, divisor);
    module.setBufferLength(static_cast<unsigned int>(sampleRate) * (commandLine ? 3 : 1));
    module.setPeriodValuesEnabled(true);
    module.setPeriodValuesOverlapInPercent(overlap);
    if (threePhase) {
        module.setGridConfigType(ThreePhaseStar);
        module.setLineToLineResultsEnabled(!commandLine);
        module.setRvcEnabled(true);
        module.setPeriodSymmetricalComponentsEnabled(true);
    }
    module.endUpdate();
    fill(module);
    module.reset(0);

    const unsigned long long blockIndices = static_cast<unsigned long long>(block) * divisor;
    std::vector<unsigned long long> firsts;
    std::vector<int> lengths;
    std::vector<double> frequencies;
    bool flags[64];
    std::fill(flags, flags + 64, true);
    unsigned long long first = 0, cycleEnd = 0;
    unsigned cycle = 0;
    double frequency = 50.0;
    int64_t items = 0;
    for (auto _ : state) {
        firsts.clear();
        lengths.clear();
        frequencies.clear();
        const unsigned long long blockEnd = first + blockIndices;
        while (first < blockEnd) {
            if (divisor == 1) {
                cycleEnd = blockEnd;
            } else if (first == cycleEnd) {
                frequency = 49.9 + 0.2 * static_cast<double>(++cycle % 7) / 6.0;
                cycleEnd = first + static_cast<unsigned long long>(sampleRate * divisor / frequency);
            }
            const unsigned long long end = cycleEnd < blockEnd ? cycleEnd : blockEnd;
            firsts.push_back(first);
            lengths.push_back(static_cast<int>(end - first));
            frequencies.push_back(frequency);
            first = end;
        }
        module.scheduleForPeriodCalculation(static_cast<int>(firsts.size()), firsts.data(), lengths.data(),
                                            frequencies.data(), flags);
        bool more = true;
        while (more) {
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            module.getPeriodResults(&count, &more, &records);
            benchmark::DoNotOptimize(records);
            items += count;
        }
    }
    state.SetItemsProcessed(state.iterations() * block);
    state.counters["periodValues"] = benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

void BM_PeriodSinglePhaseDefaults(benchmark::State& state) { runPeriodPath(state, false, 0); }
void BM_PeriodSinglePhaseHalfOverlap(benchmark::State& state) { runPeriodPath(state, false, 50); }
void BM_PeriodThreePhaseFull(benchmark::State& state) { runPeriodPath(state, true, 0); }
void BM_PeriodThreePhaseFullHalfOverlap(benchmark::State& state) { runPeriodPath(state, true, 50); }
void BM_PeriodThreePhaseFullTrackedDivisor16(benchmark::State& state) { runPeriodPath(state, true, 0, 16); }
void BM_PeriodCommandLineSecondBlocks(benchmark::State& state) { runPeriodPath(state, true, 50, 16, true); }

BENCHMARK(BM_PeriodSinglePhaseDefaults);
BENCHMARK(BM_PeriodSinglePhaseHalfOverlap);
BENCHMARK(BM_PeriodThreePhaseFull);
BENCHMARK(BM_PeriodThreePhaseFullHalfOverlap);
BENCHMARK(BM_PeriodThreePhaseFullTrackedDivisor16);
BENCHMARK(BM_PeriodCommandLineSecondBlocks);

}  // namespace

BENCHMARK_MAIN();
