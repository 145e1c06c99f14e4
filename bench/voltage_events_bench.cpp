// Voltage event detector throughput: three-phase period items per second,
// fed in batches as getPeriodResults hands them out. The items are built once
// outside the timed loop: a steady 230 V with a dip on one phase every 64
// items, so events start, run and end while the detector is measured. All
// items carry one time (times may repeat, never go back), so the same batch
// can be fed again and again.
#include <benchmark/benchmark.h>

#include <vector>

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

}  // namespace

BENCHMARK_MAIN();
