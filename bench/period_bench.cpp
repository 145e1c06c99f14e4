// Period path throughput: reporting frequency segments and fetching the
// period values they finish, in positions (samples per channel) per second.
// The rings are filled once outside the timed loop; the host's own writing of
// samples is not measured.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>

#include "powerquality/PowerModule.h"

namespace {

constexpr double sampleRate = 10240.0;
constexpr int blockLength = 1024;

void fill(PowerModule& module) {
    const unsigned int L = module.getBufferLength();
    for (unsigned char k = 0; k < 9; ++k) {
        float* ring = nullptr;
        if (k < 3) {
            module.getWaveformBufferUStar(k, &ring);
        } else if (k < 6) {
            module.getWaveformBufferI(static_cast<unsigned char>(k - 3), &ring);
        } else {
            module.getWaveformBufferUDelta(static_cast<unsigned char>(k - 6), &ring);
        }
        if (ring == nullptr) {
            continue;
        }
        for (unsigned int p = 0; p < L; ++p) {
            ring[p] = static_cast<float>(325.0 * std::sin(2.0 * 3.141592653589793 * 50.0 * p / sampleRate - k));
        }
    }
}

void runPeriodPath(benchmark::State& state, bool threePhase, unsigned short overlap) {
    PowerModule module;
    module.beginUpdate();
    module.setSampleRate(sampleRate, 1);
    module.setBufferLength(static_cast<unsigned int>(sampleRate));
    module.setPeriodValuesEnabled(true);
    module.setPeriodValuesOverlapInPercent(overlap);
    if (threePhase) {
        module.setGridConfigType(ThreePhaseStar);
        module.setLineToLineResultsEnabled(true);
        module.setRvcEnabled(true);
        module.setPeriodSymmetricalComponentsEnabled(true);
    }
    module.endUpdate();
    fill(module);
    module.reset(0);

    unsigned long long first = 0;
    int length = blockLength;
    double frequency = 50.0;
    bool flag = true;
    int64_t items = 0;
    for (auto _ : state) {
        module.scheduleForPeriodCalculation(1, &first, &length, &frequency, &flag);
        bool more = true;
        while (more) {
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            module.getPeriodResults(&count, &more, &records);
            benchmark::DoNotOptimize(records);
            items += count;
        }
        first += blockLength;
    }
    state.SetItemsProcessed(state.iterations() * blockLength);
    state.counters["periodValues"] = benchmark::Counter(static_cast<double>(items), benchmark::Counter::kIsRate);
}

void BM_PeriodSinglePhaseDefaults(benchmark::State& state) { runPeriodPath(state, false, 0); }
void BM_PeriodSinglePhaseHalfOverlap(benchmark::State& state) { runPeriodPath(state, false, 50); }
void BM_PeriodThreePhaseFull(benchmark::State& state) { runPeriodPath(state, true, 0); }
void BM_PeriodThreePhaseFullHalfOverlap(benchmark::State& state) { runPeriodPath(state, true, 50); }

BENCHMARK(BM_PeriodSinglePhaseDefaults);
BENCHMARK(BM_PeriodSinglePhaseHalfOverlap);
BENCHMARK(BM_PeriodThreePhaseFull);
BENCHMARK(BM_PeriodThreePhaseFullHalfOverlap);

}  // namespace

BENCHMARK_MAIN();
