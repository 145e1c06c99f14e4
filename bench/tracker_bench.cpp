// Frequency tracking throughput: samples of the reference voltage tracked
// per second on one core, with the segments taken after every block. The
// signal (a drifting 50 Hz sine with a little distortion) is built once
// outside the timed loop and fed round and round.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "powerquality/FrequencyTracker.h"

namespace {

constexpr double pi = 3.141592653589793;

void BM_TrackFrequency(benchmark::State& state) {
    const double sampleRate = static_cast<double>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    // Ten seconds of signal, a whole number of blocks.
    const size_t n = (static_cast<size_t>(10.0 * sampleRate) / static_cast<size_t>(block)) * static_cast<size_t>(block);
    std::vector<float> samples(n);
    double phase = 0.0;
    for (size_t p = 0; p < n; ++p) {
        const double t = static_cast<double>(p) / sampleRate;
        phase += (50.0 + 0.1 * std::sin(2.0 * pi * t / 10.0)) / sampleRate;
        samples[p] = static_cast<float>(325.0 * (std::sin(2.0 * pi * phase) + 0.05 * std::sin(6.0 * pi * phase)));
    }
    FrequencyTracker tracker(sampleRate, 50.0, 16);
    unsigned long long first[64];
    int lengths[64];
    double frequencies[64];
    bool flags[64];
    size_t at = 0;
    for (auto _ : state) {
        tracker.addSamples(samples.data() + at, block);
        at += static_cast<size_t>(block);
        if (at == n) {
            at = 0;
        }
        while (tracker.getSegments(64, first, lengths, frequencies, flags) > 0) {
            benchmark::DoNotOptimize(frequencies[0]);
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * block);
}

BENCHMARK(BM_TrackFrequency)->Args({10240, 1024})->Args({10240, 7})->Args({51200, 4096});

}  // namespace

BENCHMARK_MAIN();
