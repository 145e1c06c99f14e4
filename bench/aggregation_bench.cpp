// Interval aggregator throughput: windows per second, fed as the command line
// feeds them (a second's windows at a time through addWindows). Each window
// carries range(0) values: a third magnitudes around 230, a third signed
// values, a third shares of 1 or 0 aggregated as means (as the command line's
// shares of measured windows are); the windows follow one another at 0.2 s,
// so intervals close and 10-minute ticks pass while the aggregator is
// measured, and the closed intervals are taken every batch.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "powerquality/IntervalAggregator.h"

namespace {

void BM_IntervalAggregator(benchmark::State& state) {
    const int values = static_cast<int>(state.range(0));
    constexpr int batch = 5;  // one second of 10-cycle windows at 50 Hz
    IntervalAggregator aggregator(values);
    for (int k = 2 * values / 3; k < values; ++k) {
        aggregator.setMeanAggregated(k, true);
    }
    std::vector<double> v(static_cast<size_t>(batch * values));
    for (int w = 0; w < batch; ++w) {
        for (int k = 0; k < values; ++k) {
            const double x = std::sin(0.37 * k + w);
            v[static_cast<size_t>(w * values + k)] = k < values / 3 ? 230.0 + x : k < 2 * values / 3 ? x : (k % 7 != 0);
        }
    }
    std::vector<double> starts(batch), ends(batch);
    std::vector<IntervalAggregate> frames(16);
    std::vector<double> taken(16 * static_cast<size_t>(values));
    double time = 0.0;
    for (auto _ : state) {
        for (int w = 0; w < batch; ++w) {
            starts[static_cast<size_t>(w)] = time + 0.2 * w;
            ends[static_cast<size_t>(w)] = time + 0.2 * (w + 1);
        }
        time += 0.2 * batch;
        aggregator.addWindows(batch, starts.data(), ends.data(), v.data(), nullptr);
        benchmark::DoNotOptimize(aggregator.getThreeSecondIntervals(16, frames.data(), taken.data()));
        benchmark::DoNotOptimize(aggregator.getTenMinuteIntervals(16, frames.data(), taken.data()));
        benchmark::DoNotOptimize(aggregator.getTwoHourIntervals(16, frames.data(), taken.data()));
    }
    state.SetItemsProcessed(state.iterations() * batch);
}
BENCHMARK(BM_IntervalAggregator)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
