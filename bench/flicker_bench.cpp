// Flickermeter throughput: samples of one voltage channel through the whole
// chain (demodulator, decimation, filters, classifier) per second on one
// core, with the maximum Pinst and the severities taken after every block.
// The signal (a 50 Hz sine with a 0.5 %, 8.8 Hz fluctuation and a little
// distortion) is built once outside the timed loop and fed round and round;
// the meter runs on, so 10-minute intervals close inside the timed loop as
// in a live stream. bench/flicker_peer.py measures a scipy.signal version of
// the same chain and runs this benchmark beside it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "powerquality/FlickerMeter.h"

namespace {

constexpr double pi = 3.141592653589793;

void BM_FlickerMeter(benchmark::State& state) {
    const double sampleRate = static_cast<double>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    // Ten seconds of signal, a whole number of blocks.
    const size_t n = (static_cast<size_t>(10.0 * sampleRate) / static_cast<size_t>(block)) * static_cast<size_t>(block);
    std::vector<float> samples(n);
    for (size_t p = 0; p < n; ++p) {
        const double t = static_cast<double>(p) / sampleRate;
        const double carrier = std::sin(2.0 * pi * 50.0 * t) + 0.03 * std::sin(2.0 * pi * 250.0 * t);
        samples[p] = static_cast<float>(325.0 * carrier * (1.0 + 0.0025 * std::sin(2.0 * pi * 8.8 * t)));
    }
    FlickerMeter meter(sampleRate, 50.0, 230.0);
    double values[16];
    size_t at = 0;
    for (auto _ : state) {
        meter.addSamples(samples.data() + at, block);
        at += static_cast<size_t>(block);
        if (at == n) {
            at = 0;
        }
        benchmark::DoNotOptimize(meter.getInstantaneousMaximum());
        benchmark::DoNotOptimize(meter.getShortTermSeverities(16, values));
        benchmark::DoNotOptimize(meter.getLongTermSeverities(16, values));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * block);
}

BENCHMARK(BM_FlickerMeter)->Args({10240, 10240})->Args({10240, 1024})->Args({10240, 7})->Args({51200, 4096});

}  // namespace

BENCHMARK_MAIN();
