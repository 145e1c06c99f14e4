// Voltage event detector throughput: three-phase period items per second,
// fed in batches as getPeriodResults hands them out. The items are built once
// outside the timed loop: a steady 230 V with a dip on one phase every 64
// items, so events start, run and end while the detector is measured. All
// items carry one time (times may repeat, never go back), so the same batch
// can be fed again and again. The Class A RVC detector is measured the same way.
#include <benchmark/benchmark.h>

#include <vector>

#include "powerquality/RapidVoltageChangeDetector.h"
#include "powerquality/VoltageEventDetector.h"

namespace {

void BM_VoltageEventDetector(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    std::vector<PowerResultsPeriod> records(static_cast<size_t>(4 * batch));
    for (int n = 0; n < batch; ++n) {
        for (int k = 1; k <= 3; ++k) {
            records[static_cast<size_t>(4 * n + k)].time = 1.0;
            records[static_cast<size_t>(4 * n + k)].rmsVoltage = (k == 1 && n % 64 < 8) ? 150.0 : 230.0;
        }
    }
    VoltageEventDetector detector(230.0, 3);
    for (auto _ : state) {
        detector.addPeriodResults(records.data(), batch);
        benchmark::DoNotOptimize(detector.getEvents());
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_VoltageEventDetector)->Range(8, 512);

// Class A rapid voltage changes, steady state of 100 values. range(1) 0: a
// 5.2 % step on one phase every 256 items (events start and end); 1: after
// one step, values alternating 3 % apart, inside the threshold but not the
// hysteresis band, so the event never ends and every value tests the whole
// window of each phase for a new steady state (the costliest case).
void BM_RapidVoltageChangeDetector(benchmark::State& state) {
    const int batch = static_cast<int>(state.range(0));
    const bool restless = state.range(1) != 0;
    std::vector<PowerResultsPeriod> records(static_cast<size_t>(4 * batch));
    for (int n = 0; n < batch; ++n) {
        for (int k = 1; k <= 3; ++k) {
            PowerResultsPeriod& r = records[static_cast<size_t>(4 * n + k)];
            r.time = 1.0;
            const bool high = (n / 256) % 2 == 1;
            r.rmsVoltage = k != 1 ? 230.0 : restless ? (n % 2 == 0 ? 238.0 : 245.0) : (high ? 242.0 : 230.0);
        }
    }
    RapidVoltageChangeDetector detector(230.0, 3, 100);
    if (restless) {  // a steady state first, then the restless values start an event
        const double steady[3] = {230.0, 230.0, 230.0};
        for (int n = 0; n < 100; ++n) {
            detector.addRmsValues(0.0, steady);
        }
    }
    for (auto _ : state) {
        detector.addPeriodResults(records.data(), batch);
        benchmark::DoNotOptimize(detector.getEvents());
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_RapidVoltageChangeDetector)->Args({512, 0})->Args({4096, 0})->Args({4096, 1});

}  // namespace

BENCHMARK_MAIN();
