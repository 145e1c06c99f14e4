// The frequency tracker against synthesised grids whose phase is known in
// closed form, against a module fed its segments, and against the recordings.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "ComtradeRecording.h"
#include "powerquality/FrequencyTracker.h"
#include "powerquality/FrequencyTrackerApi.h"
#include "powerquality/PowerModule.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr double fs = 10240.0;

struct Segments {
    std::vector<unsigned long long> first;
    std::vector<int> lengths;
    std::vector<double> frequencies;
    std::vector<bool> flags;
    size_t size() const { return first.size(); }
};

// Phase of the fundamental in cycles at time t (seconds).
using Phase = std::function<double(double)>;

Phase steady(double f) {
    return [f](double t) { return f * t; };
}

// 8 % distortion: 2nd 1.5 %, 3rd 5 %, 5th 5 %, 7th 3 %, 9th 1.5 % of the fundamental.
const std::vector<std::pair<int, double>> distortion = {{2, 0.015}, {3, 0.05}, {5, 0.05}, {7, 0.03}, {9, 0.015}};

struct Grid {
    Phase phase;
    double amplitude = 1.0;
    bool harmonics = false;
    double noise = 0.0;  // RMS, as a share of the fundamental's RMS
    // Gain of the voltage at time t (0 during an interruption).
    std::function<double(double)> gain = [](double) { return 1.0; };
};

std::vector<float> synthesise(const Grid& grid, double seconds, double rate = fs) {
    std::mt19937 random(12345);
    std::normal_distribution<double> normal(0.0, grid.noise * grid.amplitude / std::sqrt(2.0));
    const size_t n = static_cast<size_t>(seconds * rate);
    std::vector<float> samples(n);
    for (size_t p = 0; p < n; ++p) {
        const double t = static_cast<double>(p) / rate;
        const double theta = 2.0 * pi * grid.phase(t);
        double x = std::sin(theta);
        if (grid.harmonics) {
            for (const auto& h : distortion) {
                x += h.second * std::sin(h.first * theta + 0.3 * h.first);
            }
        }
        x = grid.amplitude * grid.gain(t) * x + (grid.noise > 0.0 ? normal(random) : 0.0);
        samples[p] = static_cast<float>(x);
    }
    return samples;
}

void take(FrequencyTracker& tracker, Segments& out) {
    unsigned long long first[16];
    int lengths[16];
    double frequencies[16];
    bool flags[16];
    int count;
    while ((count = tracker.getSegments(16, first, lengths, frequencies, flags)) > 0) {
        for (int k = 0; k < count; ++k) {
            out.first.push_back(first[k]);
            out.lengths.push_back(lengths[k]);
            out.frequencies.push_back(frequencies[k]);
            out.flags.push_back(flags[k]);
        }
    }
}

Segments track(FrequencyTracker& tracker, const std::vector<float>& samples, size_t block = 1024) {
    Segments out;
    for (size_t first = 0; first < samples.size(); first += block) {
        const size_t n = std::min(block, samples.size() - first);
        tracker.addSamples(samples.data() + first, static_cast<int>(n));
        take(tracker, out);
    }
    return out;
}

// Segments follow each other without gap or overlap.
void expectContiguous(const Segments& s) {
    ASSERT_FALSE(s.first.empty());
    for (size_t k = 0; k + 1 < s.size(); ++k) {
        ASSERT_GE(s.lengths[k], 1);
        ASSERT_EQ(s.first[k] + static_cast<unsigned long long>(s.lengths[k]), s.first[k + 1]) << k;
    }
}

// The grid's mean frequency over a segment.
double trueFrequency(const Phase& phase, const Segments& s, size_t k, int divisor) {
    const double a = static_cast<double>(s.first[k]) / (divisor * fs);
    const double b = static_cast<double>(s.first[k] + static_cast<unsigned long long>(s.lengths[k])) / (divisor * fs);
    return (phase(b) - phase(a)) / (b - a);
}

struct Accuracy {
    size_t flagged = 0;
    double worst = 0.0;
};

// Worst error of the flagged segments that start at or after `from` seconds
// and end at or before `to`.
Accuracy accuracy(const Phase& phase, const Segments& s, int divisor, double from = 0.0,
                  double to = std::numeric_limits<double>::infinity()) {
    Accuracy a;
    for (size_t k = 0; k < s.size(); ++k) {
        const double start = static_cast<double>(s.first[k]) / (divisor * fs);
        const double end = start + s.lengths[k] / (divisor * fs);
        if (!s.flags[k] || start < from || end > to) {
            continue;
        }
        ++a.flagged;
        a.worst = std::max(a.worst, std::fabs(s.frequencies[k] - trueFrequency(phase, s, k, divisor)));
    }
    return a;
}

// Steady grids with distortion and noise: every flagged cycle within 10 mHz.
// One cycle alone would scatter by about 20 mHz here; the window of seven
// cycles and the filter bring the spread below 2 mHz.
TEST(FrequencyTracker, SteadyGridsWithDistortionAndNoise) {
    struct Case {
        double nominal, actual;
        int divisor;
    };
    for (const Case c : {Case{50.0, 49.9, 1}, Case{50.0, 50.37, 16}, Case{60.0, 59.93, 4}, Case{50.0, 47.0, 1}}) {
        SCOPED_TRACE(testing::Message() << c.nominal << " Hz nominal, " << c.actual << " Hz, divisor " << c.divisor);
        Grid grid{steady(c.actual)};
        grid.harmonics = true;
        grid.noise = 0.01;
        grid.amplitude = 325.0;
        FrequencyTracker tracker(fs, c.nominal, c.divisor);
        const Segments s = track(tracker, synthesise(grid, 6.0), 1000);
        expectContiguous(s);
        const Accuracy a = accuracy(grid.phase, s, c.divisor);
        EXPECT_GE(a.flagged, static_cast<size_t>(5.5 * c.actual));
        EXPECT_LT(a.worst, 0.010);
        EXPECT_TRUE(tracker.isLocked());
        EXPECT_NEAR(tracker.getFrequency(), c.actual, 0.02);
        // The first segment starts at the first crossing, within two cycles,
        // and is not flagged: its window is not complete.
        EXPECT_LT(s.first[0], static_cast<unsigned long long>(2.0 * c.divisor * fs / c.actual));
        EXPECT_FALSE(s.flags[0]);
    }
}

// A ramp of 1 Hz/s is followed without lag, and a step of 0.2 Hz is settled
// ten cycles after it.
TEST(FrequencyTracker, RampAndStep) {
    {
        // 49.5 Hz for a second, then 1 Hz/s for a second, then 50.5 Hz.
        const Phase ramp = [](double t) {
            if (t < 1.0) {
                return 49.5 * t;
            }
            if (t < 2.0) {
                return 49.5 + 49.5 * (t - 1.0) + 0.5 * (t - 1.0) * (t - 1.0);
            }
            return 49.5 + 49.5 + 0.5 + 50.5 * (t - 2.0);
        };
        Grid grid{ramp};
        grid.harmonics = true;
        grid.noise = 0.01;
        FrequencyTracker tracker(fs, 50.0, 16);
        const Segments s = track(tracker, synthesise(grid, 3.0));
        expectContiguous(s);
        const Accuracy during = accuracy(ramp, s, 16, 1.0, 2.0);
        EXPECT_GE(during.flagged, 40u);
        EXPECT_LT(during.worst, 0.020);
    }
    {
        const double at = 1.0;
        const Phase step = [at](double t) { return t < at ? 49.9 * t : 49.9 * at + 50.1 * (t - at); };
        Grid grid{step};
        grid.harmonics = true;
        grid.noise = 0.01;
        FrequencyTracker tracker(fs, 50.0, 1);
        const Segments s = track(tracker, synthesise(grid, 2.0));
        expectContiguous(s);
        // The windows of the last four cycles before the step reach past it.
        const Accuracy before = accuracy(step, s, 1, 0.0, at - 4.0 / 49.9);
        const Accuracy after = accuracy(step, s, 1, at + 10.0 / 50.1);
        EXPECT_GE(before.flagged, 35u);
        EXPECT_GE(after.flagged, 34u);
        EXPECT_LT(before.worst, 0.010);
        EXPECT_LT(after.worst, 0.010);
    }
}

// Block lengths do not change the segments or the intervals.
TEST(FrequencyTracker, BlockLengthsGiveTheSameSegments) {
    Grid grid{[](double t) { return 49.95 * t + 0.02 * std::sin(2.0 * pi * t); }};
    grid.harmonics = true;
    grid.noise = 0.01;
    grid.gain = [](double t) { return t > 6.0 && t < 6.3 ? 0.0 : 1.0; };
    const std::vector<float> samples = synthesise(grid, 12.0);
    std::vector<Segments> runs;
    std::vector<std::vector<FrequencyTrackerInterval>> intervals;
    for (size_t block : {size_t{1}, size_t{7}, size_t{4096}}) {
        FrequencyTracker tracker(fs, 50.0, 16);
        runs.push_back(track(tracker, samples, block));
        intervals.emplace_back(4);
        intervals.back().resize(static_cast<size_t>(tracker.getTenSecondFrequencies(4, intervals.back().data())));
    }
    for (size_t r = 1; r < runs.size(); ++r) {
        SCOPED_TRACE(r);
        EXPECT_EQ(runs[r].first, runs[0].first);
        EXPECT_EQ(runs[r].lengths, runs[0].lengths);
        EXPECT_EQ(runs[r].frequencies, runs[0].frequencies);
        EXPECT_EQ(runs[r].flags, runs[0].flags);
        ASSERT_EQ(intervals[r].size(), 1u);
        EXPECT_EQ(intervals[r][0].frequency, intervals[0][0].frequency);
    }
    expectContiguous(runs[0]);
}

// An interruption of half a second: the segments go on at the last frequency
// with the flag cleared, one cycle each, and after the voltage returns the
// boundaries lie on the grid's crossings again without any segment advancing
// the phase by a fraction of a cycle.
TEST(FrequencyTracker, InterruptionKeepsCyclesAndResumes) {
    const double from = 2.0, to = 2.5;
    Grid grid{steady(49.9)};
    grid.noise = 0.01;
    grid.gain = [=](double t) { return t >= from && t < to ? 0.0 : 1.0; };
    const int divisor = 16;
    FrequencyTracker tracker(fs, 50.0, divisor);
    const std::vector<float> samples = synthesise(grid, 4.5);
    Segments s;
    bool lockedDuring = true;
    for (size_t first = 0; first < samples.size(); first += 512) {
        tracker.addSamples(samples.data() + first, static_cast<int>(std::min<size_t>(512, samples.size() - first)));
        take(tracker, s);
        const double t = static_cast<double>(first) / fs;
        if (t > from + 0.1 && t < to) {
            lockedDuring = lockedDuring && tracker.isLocked();
        }
    }
    EXPECT_FALSE(lockedDuring);
    expectContiguous(s);
    size_t unflaggedInside = 0;
    double offsetBefore = -1.0, offsetAfter = -1.0;
    for (size_t k = 0; k < s.size(); ++k) {
        const double start = static_cast<double>(s.first[k]) / (divisor * fs);
        const double end = start + s.lengths[k] / (divisor * fs);
        // Each segment advances the module's phase by one cycle, bridge
        // included; the cycles closest to the edges of the interruption are
        // distorted by a few percent.
        const double advance = s.frequencies[k] * s.lengths[k] / (divisor * fs);
        EXPECT_NEAR(advance, 1.0, s.flags[k] ? 0.001 : 0.05) << k << " at " << start << " s";
        if (end > from && start < to) {
            EXPECT_FALSE(s.flags[k]) << k << " at " << start << " s";
            ++unflaggedInside;
        }
        // Inside, the flywheel's cycles at the last valid frequency (the
        // bridge to the returning grid starts about six cycles before it).
        if (start > from + 0.1 && end < to - 0.15) {
            EXPECT_EQ(s.frequencies[k], s.frequencies[k - 1]);
            EXPECT_NEAR(s.frequencies[k], 49.9, 0.01);
        }
        // Where the boundaries lie on the grid's phase.
        double whole;
        const double offset = std::modf(grid.phase(start) + 0.5, &whole);
        if (s.flags[k] && end < from) {
            offsetBefore = offset;
        }
        if (s.flags[k] && start > to && offsetAfter < 0.0) {
            offsetAfter = offset;
        }
    }
    EXPECT_NEAR(static_cast<double>(unflaggedInside), (to - from) * 49.9, 4.0);
    EXPECT_NEAR(offsetBefore, 0.5, 0.002);
    EXPECT_NEAR(offsetAfter, 0.5, 0.002);
    const Accuracy resumed = accuracy(grid.phase, s, divisor, to + 0.2);
    EXPECT_GE(resumed.flagged, 80u);
    EXPECT_LT(resumed.worst, 0.010);
}

// A loss level set above the voltage keeps the tracker from locking: before
// the first lock there are no segments at all. Below it, it locks.
TEST(FrequencyTracker, LossLevelAboveTheVoltageNeverLocks) {
    Grid grid{steady(49.8)};
    grid.amplitude = 10.0;  // 7.07 V rms
    FrequencyTracker tracker(fs, 50.0, 1);
    tracker.setLossLevel(7.2);
    EXPECT_EQ(track(tracker, synthesise(grid, 1.0)).size(), 0u);
    EXPECT_FALSE(tracker.isLocked());
    tracker.setLossLevel(6.9);
    const Segments locked = track(tracker, synthesise(grid, 1.0));
    EXPECT_TRUE(tracker.isLocked());
    ASSERT_GE(locked.size(), 30u);
    EXPECT_TRUE(locked.flags.back());
}

// The 10-second frequency: whole cycles inside each interval over their
// duration, with the interval's limits in caller indices.
TEST(FrequencyTracker, TenSecondFrequency) {
    Grid grid{steady(49.9)};
    grid.harmonics = true;
    grid.noise = 0.01;
    grid.gain = [](double t) { return t > 33.0 && t < 33.5 ? 0.0 : 1.0; };
    FrequencyTracker tracker(fs, 50.0, 4);
    track(tracker, synthesise(grid, 45.0));
    FrequencyTrackerInterval intervals[5];
    ASSERT_EQ(tracker.getTenSecondFrequencies(5, intervals), 4);
    EXPECT_EQ(intervals[0].firstSampleIndex, 0u);
    EXPECT_EQ(intervals[0].endSampleIndex, static_cast<uint64_t>(10 * fs * 4));
    EXPECT_EQ(intervals[1].firstSampleIndex, intervals[0].endSampleIndex);
    EXPECT_EQ(intervals[1].endSampleIndex, static_cast<uint64_t>(20 * fs * 4));
    // The first interval starts before the first crossing, so it is not
    // covered; the second is.
    EXPECT_FALSE(intervals[0].flag);
    EXPECT_TRUE(intervals[1].flag);
    EXPECT_TRUE(intervals[2].flag);
    for (int k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_NEAR(intervals[k].frequency, 49.9, 0.001);
        // Only flagged cycles count: the first interval misses the first few.
        EXPECT_GE(intervals[k].cycleCount, k == 0 ? 490 : 497);
        EXPECT_LE(intervals[k].cycleCount, 499);
    }
    // An interval with an interruption (30 s to 40 s) is not flagged; its
    // frequency comes from the cycles that were measured.
    EXPECT_FALSE(intervals[3].flag);
    EXPECT_NEAR(intervals[3].frequency, 49.9, 0.001);
    EXPECT_LT(intervals[3].cycleCount, 480);
    EXPECT_GT(intervals[3].cycleCount, 450);
}

// Segments with divisor 16 fed to a module: period values of a pure sine span
// whole cycles, so their RMS is right to 0.01 %; segments at the nominal
// frequency would not be.
TEST(FrequencyTracker, SegmentsDriveAModule) {
    const int divisor = 16;
    const double rms = 230.0;
    Grid grid{steady(49.9)};
    grid.amplitude = rms * std::sqrt(2.0);
    const std::vector<float> samples = synthesise(grid, 3.0);
    for (bool tracked : {true, false}) {
        SCOPED_TRACE(tracked ? "tracked" : "nominal");
        PowerModule module;
        module.beginUpdate();
        module.setGridConfigType(SinglePhase);
        module.setSampleRate(fs, divisor);
        module.setBufferLength(static_cast<unsigned int>(fs));
        module.setCurrentEnabled(false);
        module.setPeriodValuesEnabled(true);
        module.endUpdate();
        float* ring = nullptr;
        module.getWaveformBufferUInput(0, &ring);
        FrequencyTracker tracker(fs, 50.0, divisor);
        double worst = 0.0;
        int values = 0;
        bool started = false;
        for (size_t first = 0; first < samples.size(); first += 1024) {
            const size_t n = std::min<size_t>(1024, samples.size() - first);
            for (size_t p = first; p < first + n; ++p) {
                ring[p % static_cast<size_t>(fs)] = samples[p];
            }
            tracker.addSamples(samples.data() + first, static_cast<int>(n));
            Segments s;
            take(tracker, s);
            if (!tracked) {
                for (double& f : s.frequencies) {
                    f = 50.0;
                }
            }
            std::vector<char> flags(s.flags.begin(), s.flags.end());
            if (s.size() > 0) {
                if (!started) {
                    // Period values start at the grid's first crossing.
                    module.reset(s.first[0] / divisor);
                    started = true;
                }
                module.scheduleForPeriodCalculation(static_cast<int>(s.size()), s.first.data(), s.lengths.data(),
                                                    s.frequencies.data(), reinterpret_cast<bool*>(flags.data()));
            }
            bool more = true;
            while (more) {
                int count = 0;
                PowerResultsPeriod* records = nullptr;
                module.getPeriodResults(&count, &more, &records);
                for (int c = 0; c < count; ++c) {
                    if (records[2 * c + 1].time > 0.5) {
                        worst = std::max(worst, std::fabs(records[2 * c + 1].rmsVoltage / rms - 1.0));
                        ++values;
                    }
                }
            }
        }
        EXPECT_GE(values, 115);
        if (tracked) {
            EXPECT_LT(worst, 1e-4);
        } else {
            EXPECT_GT(worst, 1e-4);
        }
    }
}

// The recorded 50 Hz swell and 60 Hz dip: the tracked frequency stays within
// half a hertz of the nominal one, and most of each recording is tracked.
TEST(FrequencyTracker, Recordings) {
    struct Case {
        const char* file;
        const char* channel;
    };
    for (const Case c : {Case{"test1", "VA_G1"}, Case{"test2", "VA_GC1"}}) {
        SCOPED_TRACE(c.file);
        ComtradeRecording rec;
        const std::string base = std::string(POWERQUALITY_SHARED_DATA_DIR) + "/comtrade/" + c.file;
        if (!rec.load(base)) {
            GTEST_SKIP() << "recording " << base << " not found (the shared data folder is not beside the checkout)";
        }
        const std::vector<double>& channel = rec.channel(c.channel);
        const std::vector<float> samples(channel.begin(), channel.end());
        FrequencyTracker tracker(rec.sampleRate, rec.frequency, 1);
        Segments s;
        for (size_t first = 0; first < samples.size(); first += 500) {
            tracker.addSamples(samples.data() + first, static_cast<int>(std::min<size_t>(500, samples.size() - first)));
            take(tracker, s);
        }
        expectContiguous(s);
        size_t flagged = 0;
        for (size_t k = 0; k < s.size(); ++k) {
            EXPECT_NEAR(s.frequencies[k], rec.frequency, 0.5) << k;
            flagged += s.flags[k] ? 1 : 0;
        }
        const double cycles = samples.size() / rec.sampleRate * rec.frequency;
        EXPECT_GE(static_cast<double>(flagged), 0.7 * cycles);
    }
}

// Samples that are not finite count as zero: a burst of them is a loss of
// the reference, not a crash or a poisoned filter.
TEST(FrequencyTracker, NonFiniteSamplesCountAsZero) {
    Grid grid{steady(50.2)};
    std::vector<float> samples = synthesise(grid, 3.0);
    for (size_t p = 10000; p < 12000; ++p) {
        samples[p] = p % 2 ? std::numeric_limits<float>::quiet_NaN() : std::numeric_limits<float>::infinity();
    }
    FrequencyTracker tracker(fs, 50.0, 1);
    const Segments s = track(tracker, samples);
    expectContiguous(s);
    EXPECT_LT(accuracy(grid.phase, s, 1, 1.5).worst, 0.010);
    EXPECT_GE(accuracy(grid.phase, s, 1, 1.5).flagged, 60u);
}

TEST(FrequencyTracker, RejectsArgumentsThatMakeNoSense) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        double rate, nominal;
        int divisor;
    };
    for (const Case c : {Case{0.0, 50.0, 1}, Case{-10240.0, 50.0, 1}, Case{nan, 50.0, 1}, Case{10240.0, 0.0, 1},
                         Case{10240.0, nan, 1}, Case{10240.0, 50.0, 0}, Case{300.0, 50.0, 1},
                         Case{1e9, 50.0, 1 << 20}}) {
        SCOPED_TRACE(testing::Message() << c.rate << " " << c.nominal << " " << c.divisor);
        EXPECT_THROW(FrequencyTracker(c.rate, c.nominal, c.divisor), std::invalid_argument);
        EXPECT_EQ(frequencyTracker_create(c.rate, c.nominal, c.divisor), nullptr);
    }
    FrequencyTracker tracker(fs, 50.0, 1);
    EXPECT_THROW(tracker.setFrequencyRange(51.0, 55.0), std::invalid_argument);
    EXPECT_THROW(tracker.setFrequencyRange(45.0, 49.0), std::invalid_argument);
    EXPECT_THROW(tracker.setFrequencyRange(0.0, 55.0), std::invalid_argument);
    EXPECT_THROW(tracker.setFrequencyRange(45.0, nan), std::invalid_argument);
    EXPECT_THROW(tracker.setLossLevel(-1.0), std::invalid_argument);
    EXPECT_THROW(tracker.addSamples(nullptr, 3), std::invalid_argument);
    EXPECT_THROW(tracker.getSegments(-1, nullptr, nullptr, nullptr, nullptr), std::invalid_argument);
    EXPECT_EQ(tracker.getMinFrequency(), 42.5);
    EXPECT_EQ(tracker.getMaxFrequency(), 57.5);
    tracker.setFrequencyRange(50.0, 50.0);
    EXPECT_EQ(tracker.getMinFrequency(), 50.0);
}

// The flat twin forwards and maps failures to status 1 without taking or
// writing anything.
TEST(FrequencyTracker, FlatInterface) {
    FrequencyTrackerHandle h = frequencyTracker_create(fs, 50.0, 16);
    ASSERT_NE(h, nullptr);
    const std::vector<float> samples = synthesise(Grid{steady(50.1)}, 1.0);
    EXPECT_EQ(frequencyTracker_addSamples(h, samples.data(), static_cast<int>(samples.size())), 0);
    EXPECT_EQ(frequencyTracker_addSamples(h, nullptr, 1), 1);
    uint64_t position = 0;
    EXPECT_EQ(frequencyTracker_getSamplePosition(h, &position), 0);
    EXPECT_EQ(position, samples.size());
    uint64_t first[64];
    int lengths[64];
    double frequencies[64];
    bool flags[64];
    EXPECT_EQ(frequencyTracker_getSegments(h, 64, nullptr, first, lengths, frequencies, flags), 1);
    int count = -1;
    EXPECT_EQ(frequencyTracker_getSegments(h, 64, &count, first, lengths, frequencies, flags), 0);
    EXPECT_GE(count, 40);  // nothing was taken by the failed call
    EXPECT_EQ(first[1], first[0] + static_cast<uint64_t>(lengths[0]));
    EXPECT_NEAR(frequencies[count - 1], 50.1, 0.002);
    EXPECT_TRUE(flags[count - 1]);
    bool locked = false;
    EXPECT_EQ(frequencyTracker_isLocked(h, &locked), 0);
    EXPECT_TRUE(locked);
    EXPECT_EQ(frequencyTracker_setFrequencyRange(h, 51.0, 55.0), 1);
    double lo = 0.0, hi = 0.0;
    EXPECT_EQ(frequencyTracker_getFrequencyRange(h, &lo, &hi), 0);
    EXPECT_EQ(lo, 42.5);
    EXPECT_EQ(hi, 57.5);
    EXPECT_EQ(frequencyTracker_setLossLevel(h, -1.0), 1);
    EXPECT_EQ(frequencyTracker_setLossLevel(h, 2.0), 0);
    double level = 0.0;
    EXPECT_EQ(frequencyTracker_getLossLevel(h, &level), 0);
    EXPECT_EQ(level, 2.0);
    FrequencyTrackerInterval intervals[2];
    EXPECT_EQ(frequencyTracker_getTenSecondFrequencies(h, 2, &count, intervals), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(frequencyTracker_addSamples(nullptr, samples.data(), 1), 1);
    EXPECT_EQ(frequencyTracker_destroy(h), 0);
    EXPECT_EQ(frequencyTracker_destroy(nullptr), 0);
}

}  // namespace
