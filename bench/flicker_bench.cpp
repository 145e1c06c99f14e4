// Flickermeter throughput: samples of one voltage channel through the whole
// chain (demodulator, decimation, filters, classifier) per second on one
// core, with the maximum Pinst and the severities taken after every block.
// The signal (a 50 Hz sine with a 0.5 %, 8.8 Hz fluctuation and a little
// distortion) is built once outside the timed loop and fed round and round;
// the meter runs on, so 10-minute intervals close inside the timed loop as
// in a live stream. BM_FlickerMetersTogether feeds three voltages to three
// meters in one call (their chains side by side); its items are samples of
// all three, so its rate compares with BM_FlickerMeter's directly.
// bench/flicker_peer.py measures a scipy.signal version of
// the same chain and runs this benchmark beside it.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "powerquality/FlickerMeter.h"

namespace {

constexpr double pi = 3.141592653589793;

// Ten seconds of signal, a whole number of blocks; voltage k shifted by a
// third of a cycle k times.
std::vector<float> signal(double sampleRate, int block, int k) {
    const size_t n = (static_cast<size_t>(10.0 * sampleRate) / static_cast<size_t>(block)) * static_cast<size_t>(block);
    std::vector<float> samples(n);
    for (size_t p = 0; p < n; ++p) {
        const double t = static_cast<double>(p) / sampleRate;
        const double shift = 2.0 * pi * k / 3.0;
        const double carrier = std::sin(2.0 * pi * 50.0 * t - shift) + 0.03 * std::sin(2.0 * pi * 250.0 * t - shift);
        samples[p] = static_cast<float>(325.0 * carrier * (1.0 + 0.0025 * std::sin(2.0 * pi * 8.8 * t)));
    }
    return samples;
}

void BM_FlickerMeter(benchmark::State& state) {
    const double sampleRate = static_cast<double>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    const std::vector<float> samples = signal(sampleRate, block, 0);
    const size_t n = samples.size();
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

void BM_FlickerMetersTogether(benchmark::State& state) {
    const double sampleRate = static_cast<double>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    const std::vector<float> voltages[3] = {signal(sampleRate, block, 0), signal(sampleRate, block, 1),
                                            signal(sampleRate, block, 2)};
    const size_t n = voltages[0].size();
    FlickerMeter meters[3] = {FlickerMeter(sampleRate, 50.0, 230.0), FlickerMeter(sampleRate, 50.0, 230.0),
                              FlickerMeter(sampleRate, 50.0, 230.0)};
    FlickerMeter* pointers[3] = {&meters[0], &meters[1], &meters[2]};
    double values[16];
    size_t at = 0;
    for (auto _ : state) {
        const float* rows[3] = {voltages[0].data() + at, voltages[1].data() + at, voltages[2].data() + at};
        FlickerMeter::addSamples(pointers, rows, 3, block);
        at += static_cast<size_t>(block);
        if (at == n) {
            at = 0;
        }
        for (FlickerMeter& meter : meters) {
            benchmark::DoNotOptimize(meter.getInstantaneousMaximum());
            benchmark::DoNotOptimize(meter.getShortTermSeverities(16, values));
            benchmark::DoNotOptimize(meter.getLongTermSeverities(16, values));
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * block * 3);
}

BENCHMARK(BM_FlickerMeter)->Args({10240, 10240})->Args({10240, 1024})->Args({10240, 7})->Args({51200, 4096})->Args({3200, 3200});
BENCHMARK(BM_FlickerMetersTogether)->Args({10240, 10240})->Args({10240, 1024})->Args({3200, 3200});

}  // namespace

BENCHMARK_MAIN();
