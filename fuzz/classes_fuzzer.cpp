// libFuzzer harness of the flat interfaces of the frequency tracker, the
// voltage event detector, the interval aggregator, the rapid voltage change
// detector and the flickermeter. Each input is a script
// of calls, one opcode byte followed by its arguments, on up to three handles
// of each class (and on null handles): creations with hostile arguments,
// settings that break their rules (NaN, infinities, thresholds out of order,
// ranges without the nominal frequency), samples with NaN, infinities and
// huge values, RMS values and windows whose time goes back, null arrays with
// positive counts, negative counts and capacities, and takes of every queue.
//
// The harness is a well-behaved host about the sizes of its own arrays: a
// count or capacity it passes with an array never exceeds that array.
// Everything else is fair game. Beyond "no crash, no leak, nothing read or
// written outside its storage", every call is checked against what the
// headers promise:
//   - the status is 0 or 1, and 1 leaves a message for getLastErrorMessage;
//   - where the harness can tell from the documented rules whether an
//     argument is acceptable (thresholds, ranges, times, values, counts), the
//     status says the same;
//   - a refused call writes nothing through its out-parameters and changes
//     nothing the getters show (sample position, range, thresholds, pending
//     counts), so the object stays usable;
//   - the out-parameters of a successful call are consistent: counts within
//     the capacity, segments and 10-second intervals that follow one another
//     without gaps, event and interval records that are well formed, values
//     that are finite where their inputs allow;
//   - a tracker hands out the same segments, intervals and estimates as a
//     twin fed the same samples in blocks of other lengths, a flickermeter
//     the same Pinst maxima, Pst and Plt, byte for byte, as a twin fed the
//     same samples split elsewhere, and a detector (of voltage events or of
//     rapid voltage changes) the same events as a twin fed the same values
//     through its other door.
// A broken promise aborts with the line of the check (a finding).
//
// Inputs feed at most 2^17 samples to the trackers in all, so that one input
// takes milliseconds; low sample rates (400 Hz at 50 Hz) let 10-second
// intervals close within an input.
//
// Build: cmake -DPOWERQUALITY_BUILD_FUZZER=ON with clang (scripts/fuzz.sh).
// POWERQUALITY_FUZZ_TRACE=1 prints every call of the script.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "FuzzInput.h"
#include "powerquality/FlickerMeterApi.h"
#include "powerquality/FrequencyTrackerApi.h"
#include "powerquality/IntervalAggregatorApi.h"
#include "powerquality/PowerModuleApi.h"
#include "powerquality/RapidVoltageChangeDetectorApi.h"
#include "powerquality/VoltageEventDetectorApi.h"

namespace {

constexpr int slotCount = 3;
constexpr size_t maxSamplesPerInput = 1u << 17;
constexpr int maxPhases = 32;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double pi = 3.141592653589793;

// Every flat call of these classes answers 0 or 1; a 1 leaves a message.
void checkStatus(int32_t status) {
    EXPECT(status == 0 || status == 1);
    if (status != 0) {
        const char* message = nullptr;
        EXPECT(getLastErrorMessage(nullptr, &message) == 0);
        EXPECT(message != nullptr && message[0] != '\0');
    }
}

// A status the harness can predict from the documented rules.
void checkStatus(int32_t status, bool acceptable) {
    checkStatus(status);
    EXPECT(status == (acceptable ? 0 : 1));
}

double pickDouble(FuzzedDataProvider& in) {
    static const double table[] = {0.0,    -0.0,   1.0,     -1.0,   0.5,   5.0,   45.0,  50.0,
                                   60.0,   90.0,   110.0,   230.0,  400.0, 600.0, 1e-6,  1e-300, 1e-310,
                                   1e15,   1.1e15, 1e300,   -1e300, std::numeric_limits<double>::denorm_min(),
                                   std::numeric_limits<double>::max(), inf, -inf, nan, -1.5e308, 1.5e308};
    return fuzzinput::pickDouble(in, table, -100.0, 1000.0, 0.0, 200.0);
}

int pickCount(FuzzedDataProvider& in, int usual) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return in.PickValueInArray({-1, 0, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()});
        case 1:
            return in.ConsumeIntegral<int>();
        default:
            return in.ConsumeIntegralInRange<int>(0, usual);
    }
}

// Capacities of takes: the harness's array holds max(capacity, 0) items (one
// at least, so that a negative capacity comes with a real array), or is null.
struct Capacity {
    int capacity;
    bool null;
    size_t items;
};

Capacity pickCapacity(FuzzedDataProvider& in) {
    Capacity c;
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            c.capacity = in.PickValueInArray({-1, std::numeric_limits<int>::min()});
            break;
        case 1:
            c.capacity = 0;
            break;
        default:
            c.capacity = in.ConsumeIntegralInRange<int>(1, 40);
            break;
    }
    c.null = in.ConsumeIntegralInRange<int>(0, 11) == 0;
    c.items = c.capacity > 0 ? static_cast<size_t>(c.capacity) : 1;
    return c;
}

// Out-parameters are prefilled with this pattern; a refused call leaves it.
constexpr unsigned char untouched = 0xA5;

template <typename T>
void fillUntouched(std::vector<T>& v) {
    std::memset(static_cast<void*>(v.data()), untouched, v.size() * sizeof(T));
}

template <typename T>
bool isUntouched(const std::vector<T>& v) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(v.data());
    return std::all_of(bytes, bytes + v.size() * sizeof(T), [](unsigned char b) { return b == untouched; });
}

constexpr int untouchedInt = -123456789;

// ---------------------------------------------------------------------------
// Frequency tracker

// Each live tracker has a twin made with the same arguments and settings
// and fed the same samples in other blocks: the segments, intervals and
// estimates must not depend on how the samples are split.
struct Tracker {
    FrequencyTrackerHandle handle = nullptr;
    FrequencyTrackerHandle twin = nullptr;
    double rate = 0.0;
    double nominal = 0.0;
    int divisor = 1;
    double minFrequency = 0.0;
    double maxFrequency = 0.0;
    double lossLevel = 0.0;
    uint64_t position = 0;      // samples added
    double phase = 0.0;         // of the generated wave, in cycles
    bool anySegment = false;    // a segment was taken: the next starts at nextFirst
    uint64_t nextFirst = 0;
    uint64_t nextInterval = 0;  // caller index where the next 10-second interval starts
};

void destroy(Tracker& t) {
    EXPECT(frequencyTracker_destroy(t.handle) == 0);
    EXPECT(frequencyTracker_destroy(t.twin) == 0);
    t = Tracker();
}

// The twin of a tracker just created; null only when memory ran out.
void makeTwin(Tracker& t) {
    t.twin = frequencyTracker_create(t.rate, t.nominal, t.divisor);
    if (t.twin == nullptr) {
        destroy(t);
    }
}

void create(FuzzedDataProvider& in, Tracker& t) {
    destroy(t);
    const bool hostile = in.ConsumeIntegralInRange<int>(0, 5) == 0;
    const double rate = hostile ? pickDouble(in) : in.PickValueInArray({400.0, 480.0, 1000.0, 1600.0, 4000.0, 10240.0});
    const double nominal = hostile ? pickDouble(in) : in.PickValueInArray({50.0, 60.0, 50.0, 16.7});
    const int divisor = in.ConsumeBool() ? in.PickValueInArray({1, 1, 16, 256, 0, -1, 1 << 20,
                                                               std::numeric_limits<int>::max(),
                                                               std::numeric_limits<int>::min()})
                                         : 1;
    t.handle = frequencyTracker_create(rate, nominal, divisor);
    TRACE("tracker create(%.17g, %.17g, %d) -> %p\n", rate, nominal, divisor, static_cast<void*>(t.handle));
    if (t.handle == nullptr) {
        return;
    }
    // Created only from arguments that make sense.
    EXPECT(std::isfinite(rate) && rate > 0.0 && std::isfinite(nominal) && nominal > 0.0 && divisor >= 1);
    EXPECT(rate >= 8.0 * nominal && rate / nominal <= 1e7);
    t.rate = rate;
    t.nominal = nominal;
    t.divisor = divisor;
    makeTwin(t);
    if (t.handle == nullptr) {
        return;
    }
    double lo = nan;
    double hi = nan;
    EXPECT(frequencyTracker_getFrequencyRange(t.handle, &lo, &hi) == 0);
    EXPECT(lo > 0.0 && lo <= nominal && hi >= nominal && hi <= 0.25 * rate);
    t.minFrequency = lo;
    t.maxFrequency = hi;
}

// What the getters show; a refused call must leave it as it was.
struct TrackerState {
    uint64_t position;
    double lo, hi, loss;
};

TrackerState stateOf(const Tracker& t) {
    TrackerState s{};
    EXPECT(frequencyTracker_getSamplePosition(t.handle, &s.position) == 0);
    EXPECT(frequencyTracker_getFrequencyRange(t.handle, &s.lo, &s.hi) == 0);
    EXPECT(frequencyTracker_getLossLevel(t.handle, &s.loss) == 0);
    return s;
}

void checkState(const Tracker& t) {
    if (t.handle == nullptr) {
        return;
    }
    const TrackerState s = stateOf(t);
    EXPECT(s.position == t.position);
    EXPECT(s.lo == t.minFrequency && s.hi == t.maxFrequency);
    EXPECT(s.loss == t.lossLevel);
}

bool rangeAcceptable(const Tracker& t, double lo, double hi) {
    return lo > 0.0 && lo <= t.nominal && hi >= t.nominal && hi <= 0.25 * t.rate && std::isfinite(hi) &&
           2.0 * t.divisor * t.rate / lo <= static_cast<double>(std::numeric_limits<int>::max());
}

void setRange(FuzzedDataProvider& in, Tracker& t) {
    double lo;
    double hi;
    if (in.ConsumeBool() && t.handle != nullptr) {
        lo = t.nominal * in.ConsumeFloatingPointInRange<double>(0.5, 1.1);
        hi = t.nominal * in.ConsumeFloatingPointInRange<double>(0.9, 2.5);
    } else {
        lo = pickDouble(in);
        hi = pickDouble(in);
    }
    const int32_t status = frequencyTracker_setFrequencyRange(t.handle, lo, hi);
    TRACE("tracker setFrequencyRange(%.17g, %.17g) -> %d\n", lo, hi, status);
    checkStatus(status, t.handle != nullptr && rangeAcceptable(t, lo, hi));
    if (status == 0) {
        t.minFrequency = lo;
        t.maxFrequency = hi;
        EXPECT(frequencyTracker_setFrequencyRange(t.twin, lo, hi) == 0);
    }
    checkState(t);
}

void setLossLevel(FuzzedDataProvider& in, Tracker& t) {
    const double level = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(0.0, 300.0) : pickDouble(in);
    const int32_t status = frequencyTracker_setLossLevel(t.handle, level);
    TRACE("tracker setLossLevel(%.17g) -> %d\n", level, status);
    checkStatus(status, t.handle != nullptr && std::isfinite(level) && level >= 0.0);
    if (status == 0) {
        t.lossLevel = level;
        EXPECT(frequencyTracker_setLossLevel(t.twin, level) == 0);
    }
    checkState(t);
}

float hostileSample(FuzzedDataProvider& in) {
    return in.PickValueInArray({std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max(),
                                -std::numeric_limits<float>::max(), 0.0f, 1e30f});
}

// A block of a grid-like wave (frequency and amplitude drawn per block, the
// phase carried on), with dropouts, bursts of hostile samples or plain noise.
void addSamples(FuzzedDataProvider& in, Tracker& t, size_t& budget) {
    int count = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickCount(in, 64) : in.ConsumeIntegralInRange<int>(0, 8192);
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const size_t items = count > 0 ? static_cast<size_t>(count) : 0;
    if (!null && items > budget) {
        return;
    }
    std::vector<float> samples;
    if (!null) {
        budget -= items;
        samples.resize(std::max<size_t>(items, 1));
        const double nominal = t.handle != nullptr ? t.nominal : 50.0;
        const double rate = t.handle != nullptr ? t.rate : 4000.0;
        const double frequency = nominal * (in.ConsumeBool() ? 1.0 : in.ConsumeFloatingPointInRange<double>(0.7, 1.4));
        const double amplitude = in.ConsumeBool() ? 325.0 : in.ConsumeFloatingPointInRange<double>(0.0, 400.0);
        const int shape = in.ConsumeIntegralInRange<int>(0, 9);
        const double harmonic = in.ConsumeFloatingPointInRange<double>(0.0, 0.3);
        for (size_t k = 0; k < items; ++k) {
            double x = amplitude * (std::sin(2.0 * pi * t.phase) + harmonic * std::sin(6.0 * pi * t.phase));
            t.phase += frequency / rate;
            t.phase -= std::floor(t.phase);
            switch (shape) {
                case 0:
                    x = 0.0;  // the reference is gone
                    break;
                case 1:
                    if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
                        x = hostileSample(in);
                    }
                    break;
                case 2:
                    x = in.ConsumeFloatingPointInRange<double>(-400.0, 400.0);
                    break;
                default:
                    break;
            }
            samples[k] = static_cast<float>(x);
        }
    }
    const int32_t status = frequencyTracker_addSamples(t.handle, null ? nullptr : samples.data(), count);
    TRACE("tracker addSamples(%s, %d) -> %d\n", null ? "null" : "samples", count, status);
    // Negative counts are refused, and so is a null array with samples in it.
    checkStatus(status, t.handle != nullptr && count >= 0 && !(null && count > 0));
    if (status == 0) {
        t.position += items;
        // The twin takes them in blocks of another length, the first of one
        // sample.
        const size_t block = in.ConsumeIntegralInRange<size_t>(1, 700);
        for (size_t k = 0; k < items;) {
            const size_t n = k == 0 ? 1 : std::min(block, items - k);
            EXPECT(frequencyTracker_addSamples(t.twin, samples.data() + k, static_cast<int>(n)) == 0);
            k += n;
        }
    }
    checkState(t);
}

void takeSegments(FuzzedDataProvider& in, Tracker& t) {
    const Capacity c = pickCapacity(in);
    const int nullArray = c.null ? in.ConsumeIntegralInRange<int>(0, 3) : -1;
    std::vector<uint64_t> first(c.items);
    std::vector<int> lengths(c.items);
    std::vector<double> frequencies(c.items);
    std::unique_ptr<bool[]> flags(new bool[c.items]);
    fillUntouched(first);
    fillUntouched(lengths);
    fillUntouched(frequencies);
    std::memset(flags.get(), untouched, c.items);
    const bool nullCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    int count = untouchedInt;
    const int32_t status = frequencyTracker_getSegments(
        t.handle, c.capacity, nullCount ? nullptr : &count, nullArray == 0 ? nullptr : first.data(),
        nullArray == 1 ? nullptr : lengths.data(), nullArray == 2 ? nullptr : frequencies.data(),
        nullArray == 3 ? nullptr : flags.get());
    TRACE("tracker getSegments(%d%s) -> %d, %d\n", c.capacity, c.null ? ", a null array" : "", status, count);
    checkStatus(status, t.handle != nullptr && !nullCount && c.capacity >= 0 && !(c.null && c.capacity > 0));
    if (status != 0) {
        EXPECT(count == untouchedInt);
        EXPECT(isUntouched(first) && isUntouched(lengths) && isUntouched(frequencies));
        const unsigned char* flagBytes = reinterpret_cast<const unsigned char*>(flags.get());
        EXPECT(std::all_of(flagBytes, flagBytes + c.items, [](unsigned char b) { return b == untouched; }));
        checkState(t);
        return;
    }
    EXPECT(count >= 0 && count <= c.capacity);
    {
        std::vector<uint64_t> twinFirst(c.items);
        std::vector<int> twinLengths(c.items);
        std::vector<double> twinFrequencies(c.items);
        std::unique_ptr<bool[]> twinFlags(new bool[c.items]);
        int twinCount = -1;
        EXPECT(frequencyTracker_getSegments(t.twin, c.capacity, &twinCount, twinFirst.data(), twinLengths.data(),
                                            twinFrequencies.data(), twinFlags.get()) == 0);
        EXPECT(twinCount == count);
        for (size_t k = 0; k < static_cast<size_t>(count); ++k) {
            EXPECT(twinFirst[k] == first[k] && twinLengths[k] == lengths[k]);
            EXPECT(twinFrequencies[k] == frequencies[k] && twinFlags[k] == flags[k]);
        }
    }
    for (int k = 0; k < count; ++k) {
        // One after the other: no gap, no overlap, forward, below 2^63.
        EXPECT(lengths[k] > 0);
        EXPECT(first[k] < (uint64_t(1) << 63));
        if (t.anySegment) {
            EXPECT(first[k] == t.nextFirst);
        }
        t.anySegment = true;
        t.nextFirst = first[k] + static_cast<uint64_t>(lengths[k]);
        EXPECT(std::isfinite(frequencies[k]) && frequencies[k] > 0.0);
        const unsigned char flagByte = reinterpret_cast<const unsigned char*>(flags.get())[k];
        EXPECT(flagByte == 0 || flagByte == 1);
    }
    // Segments are taken from samples already added.
    if (count > 0) {
        EXPECT(t.nextFirst <= (t.position + 1) * static_cast<uint64_t>(t.divisor));
    }
    for (size_t k = static_cast<size_t>(count); k < c.items; ++k) {
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&lengths[k]);
        EXPECT(bytes[0] == untouched);  // nothing beyond *count is written
    }
}

void takeIntervals(FuzzedDataProvider& in, Tracker& t) {
    const Capacity c = pickCapacity(in);
    std::vector<FrequencyTrackerInterval> intervals(c.items);
    fillUntouched(intervals);
    const bool nullCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    int count = untouchedInt;
    const int32_t status = frequencyTracker_getTenSecondFrequencies(t.handle, c.capacity, nullCount ? nullptr : &count,
                                                                    c.null ? nullptr : intervals.data());
    TRACE("tracker getTenSecondFrequencies(%d%s) -> %d, %d\n", c.capacity, c.null ? ", null" : "", status, count);
    checkStatus(status, t.handle != nullptr && !nullCount && c.capacity >= 0 && !(c.null && c.capacity > 0));
    if (status != 0) {
        EXPECT(count == untouchedInt && isUntouched(intervals));
        checkState(t);
        return;
    }
    EXPECT(count >= 0 && count <= c.capacity);
    {
        std::vector<FrequencyTrackerInterval> twin(c.items);
        int twinCount = -1;
        EXPECT(frequencyTracker_getTenSecondFrequencies(t.twin, c.capacity, &twinCount, twin.data()) == 0);
        EXPECT(twinCount == count);
        for (size_t k = 0; k < static_cast<size_t>(count); ++k) {
            EXPECT(twin[k].firstSampleIndex == intervals[k].firstSampleIndex);
            EXPECT(twin[k].endSampleIndex == intervals[k].endSampleIndex);
            EXPECT(twin[k].frequency == intervals[k].frequency && twin[k].cycleCount == intervals[k].cycleCount);
            EXPECT(twin[k].flag == intervals[k].flag);
        }
    }
    for (int k = 0; k < count; ++k) {
        const FrequencyTrackerInterval& r = intervals[static_cast<size_t>(k)];
        // 10 s of positions each, from position 0 on, one after the other.
        EXPECT(r.firstSampleIndex == t.nextInterval);
        EXPECT(r.endSampleIndex > r.firstSampleIndex);
        const double expectedLength = 10.0 * t.rate * t.divisor;
        EXPECT(std::fabs(static_cast<double>(r.endSampleIndex - r.firstSampleIndex) - expectedLength) <= 1.0);
        t.nextInterval = r.endSampleIndex;
        EXPECT(r.cycleCount >= 0);
        EXPECT(std::isfinite(r.frequency) && r.frequency >= 0.0);
        EXPECT((r.cycleCount == 0) == (r.frequency == 0.0));
        EXPECT(!r.flag || r.cycleCount > 0);
        // Handed out only once the interval has ended.
        EXPECT(r.endSampleIndex <= t.position * static_cast<uint64_t>(t.divisor));
    }
}

void query(FuzzedDataProvider& in, Tracker& t) {
    const bool null = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    const bool live = t.handle != nullptr && !null;
    int32_t status;
    switch (in.ConsumeIntegralInRange<int>(0, 4)) {
        case 0: {
            double f = nan;
            status = frequencyTracker_getFrequency(t.handle, null ? nullptr : &f);
            if (status == 0) {
                // The latest estimate: a frequency the tracker may report.
                EXPECT(std::isfinite(f) && f > 0.0);
                double twin = nan;
                EXPECT(frequencyTracker_getFrequency(t.twin, &twin) == 0 && twin == f);
            }
            break;
        }
        case 1: {
            bool locked = false;
            status = frequencyTracker_isLocked(t.handle, null ? nullptr : &locked);
            if (status == 0) {
                bool twin = !locked;
                EXPECT(frequencyTracker_isLocked(t.twin, &twin) == 0 && twin == locked);
            }
            break;
        }
        case 2: {
            uint64_t position = 0;
            status = frequencyTracker_getSamplePosition(t.handle, null ? nullptr : &position);
            EXPECT(status != 0 || position == t.position);
            break;
        }
        case 3: {
            double lo = nan;
            double hi = nan;
            const int which = in.ConsumeIntegralInRange<int>(0, 2);
            status = frequencyTracker_getFrequencyRange(t.handle, null && which != 1 ? nullptr : &lo,
                                                        null && which != 0 ? nullptr : &hi);
            if (status != 0) {
                EXPECT(std::isnan(lo) && std::isnan(hi));  // neither written
            } else {
                EXPECT(lo == t.minFrequency && hi == t.maxFrequency);
            }
            break;
        }
        default: {
            double level = nan;
            status = frequencyTracker_getLossLevel(t.handle, null ? nullptr : &level);
            EXPECT(status != 0 || level == t.lossLevel);
            break;
        }
    }
    checkStatus(status, live);
}

void stepTracker(FuzzedDataProvider& in, Tracker& t, size_t& budget) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
            if (t.handle != nullptr && in.ConsumeBool()) {
                TRACE("tracker destroy\n");
                destroy(t);
            } else {
                create(in, t);
            }
            break;
        case 1:
            setRange(in, t);
            break;
        case 2:
            setLossLevel(in, t);
            break;
        case 3:
        case 4:
        case 5:
        case 6:
            addSamples(in, t, budget);
            break;
        case 7:
        case 8:
            takeSegments(in, t);
            break;
        case 9:
            takeIntervals(in, t);
            break;
        default:
            query(in, t);
            break;
    }
}

// ---------------------------------------------------------------------------
// Voltage event detector

// Each live detector has a twin made with the same arguments and settings
// and fed the same values through the other door (RMS values for period
// items and the reverse): both must find the same events.
struct Detector {
    VoltageEventDetectorHandle handle = nullptr;
    VoltageEventDetectorHandle twin = nullptr;
    double declared = 230.0;
    int phases = 3;
    double dip = 90.0, swell = 110.0, interruption = 5.0, hysteresis = 2.0;
    bool anyValue = false;
    double latest = 0.0;           // time of the latest value taken
    double earliest = 0.0;         // time of the first value taken
    double lastEnd = -inf;         // end of the last event taken
};

void destroy(Detector& d) {
    EXPECT(voltageEventDetector_destroy(d.handle) == 0);
    EXPECT(voltageEventDetector_destroy(d.twin) == 0);
    d = Detector();
}

void create(FuzzedDataProvider& in, Detector& d) {
    destroy(d);
    const double declared = in.ConsumeIntegralInRange<int>(0, 4) == 0
                                ? pickDouble(in)
                                : in.PickValueInArray({230.0, 120.0, 400.0, 1.0});
    const int phases = in.ConsumeIntegralInRange<int>(0, 5) == 0
                           ? in.PickValueInArray({0, -1, 33, 32, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()})
                           : in.ConsumeIntegralInRange<int>(1, 4);
    d.handle = voltageEventDetector_create(declared, phases);
    TRACE("detector create(%.17g, %d) -> %p\n", declared, phases, static_cast<void*>(d.handle));
    const bool acceptable = std::isfinite(declared) && declared > 0.0 && phases >= 1 && phases <= maxPhases;
    EXPECT((d.handle != nullptr) == acceptable);
    if (d.handle != nullptr) {
        d.declared = declared;
        d.phases = phases;
        d.twin = voltageEventDetector_create(declared, phases);
        EXPECT(d.twin != nullptr);
    }
}

uint32_t allPhases(const Detector& d) {
    return d.phases == 32 ? ~uint32_t(0) : (uint32_t(1) << d.phases) - 1u;
}

void checkThresholds(const Detector& d) {
    if (d.handle == nullptr) {
        return;
    }
    double dip = nan, swell = nan, interruption = nan, hysteresis = nan;
    EXPECT(voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(d.handle, &dip, &swell, &interruption,
                                                                        &hysteresis) == 0);
    EXPECT(dip == d.dip && swell == d.swell && interruption == d.interruption && hysteresis == d.hysteresis);
}

void setThresholds(FuzzedDataProvider& in, Detector& d) {
    double dip, swell, interruption, hysteresis;
    if (in.ConsumeBool()) {
        dip = in.ConsumeFloatingPointInRange<double>(50.0, 99.0);
        swell = in.ConsumeFloatingPointInRange<double>(100.0, 150.0);
        interruption = in.ConsumeFloatingPointInRange<double>(0.0, 20.0);
        hysteresis = in.ConsumeFloatingPointInRange<double>(0.0, 10.0);
    } else {
        dip = pickDouble(in);
        swell = pickDouble(in);
        interruption = pickDouble(in);
        hysteresis = pickDouble(in);
    }
    const int32_t status =
        voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(d.handle, dip, swell, interruption, hysteresis);
    TRACE("detector setThresholds(%.17g, %.17g, %.17g, %.17g) -> %d\n", dip, swell, interruption, hysteresis, status);
    const bool acceptable = std::isfinite(dip) && std::isfinite(swell) && std::isfinite(interruption) &&
                            std::isfinite(hysteresis) && 0.0 <= interruption && interruption < dip && dip < swell &&
                            hysteresis >= 0.0 && dip + hysteresis <= swell - hysteresis;
    checkStatus(status, d.handle != nullptr && acceptable);
    if (status == 0) {
        d.dip = dip;
        d.swell = swell;
        d.interruption = interruption;
        d.hysteresis = hysteresis;
        EXPECT(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(d.twin, dip, swell, interruption,
                                                                            hysteresis) == 0);
    }
    checkThresholds(d);
}

// Times the detector takes: finite and within half the largest double, so
// that every duration is finite.
bool usableTime(double time) { return std::fabs(time) <= std::numeric_limits<double>::max() / 2; }

template <typename D>
double nextTime(FuzzedDataProvider& in, const D& d) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return pickDouble(in);
        case 1:
            return d.latest - in.ConsumeFloatingPointInRange<double>(0.0, 1.0);  // back, or the same
        case 2:
            return d.latest;
        default:
            return d.latest + in.PickValueInArray({0.01, 1.0 / 120.0, 0.02, 0.5});
    }
}

double rmsValue(FuzzedDataProvider& in, const Detector& d) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return in.PickValueInArray({nan, inf, -inf, -1.0, -0.0, 0.0, 1e300,
                                        std::numeric_limits<double>::max(),
                                        std::numeric_limits<double>::denorm_min()});
        case 1:
            return in.ConsumeFloatingPoint<double>();
        default:
            return d.declared *
                   in.PickValueInArray({1.0, 1.0, 0.95, 0.89, 0.91, 0.5, 0.03, 0.06, 0.0, 1.09, 1.11, 1.5});
    }
}

template <typename D>
bool valuesAcceptable(const D& d, const double* values) {
    for (int k = 0; k < d.phases; ++k) {
        if (!(std::isfinite(values[k]) && values[k] >= 0.0)) {
            return false;
        }
    }
    return true;
}

template <typename D>
void took(D& d, double time) {
    if (!d.anyValue) {
        d.earliest = time;
    }
    d.anyValue = true;
    d.latest = time;
}

void addRmsValues(FuzzedDataProvider& in, Detector& d) {
    double values[maxPhases];
    for (double& v : values) {
        v = in.ConsumeBool() && &v != values ? values[0] : rmsValue(in, d);
    }
    const double time = nextTime(in, d);
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const int32_t status = voltageEventDetector_addRmsValues(d.handle, time, null ? nullptr : values);
    TRACE("detector addRmsValues(%.17g, %.17g ...) -> %d\n", time, values[0], status);
    const bool timeAcceptable = usableTime(time) && (!d.anyValue || time >= d.latest);
    checkStatus(status, d.handle != nullptr && !null && timeAcceptable && valuesAcceptable(d, values));
    if (status == 0) {
        took(d, time);
        std::vector<PowerResultsPeriod> item(static_cast<size_t>(d.phases) + 1);
        for (int k = 0; k < d.phases; ++k) {
            item[static_cast<size_t>(k) + 1].time = time;
            item[static_cast<size_t>(k) + 1].rmsVoltage = values[k];
        }
        EXPECT(voltageEventDetector_addPeriodResults(d.twin, item.data(), 1) == 0);
    }
    checkThresholds(d);
}

// Items as getPeriodResults hands them out; the total record of each item
// carries NaN, which the detector must not read.
void addPeriodResults(FuzzedDataProvider& in, Detector& d) {
    const int items =
        in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickCount(in, 4) : in.ConsumeIntegralInRange<int>(0, 24);
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const size_t n = items > 0 ? static_cast<size_t>(items) : 0;
    if (n > 64 && !null) {
        return;  // only a null array comes with a count this large
    }
    const size_t perItem = static_cast<size_t>(d.phases) + 1;
    std::vector<PowerResultsPeriod> records(null ? 1 : std::max<size_t>(n * perItem, 1));
    bool acceptable = true;
    bool timed = d.anyValue;
    double previous = d.latest;
    double latest = d.latest;
    double earliest = d.earliest;
    Detector shadow = d;
    for (size_t item = 0; item < n && !null; ++item) {
        PowerResultsPeriod* r = &records[item * perItem];
        r[0].time = nan;
        r[0].rmsVoltage = nan;
        shadow.latest = previous;
        const double time = nextTime(in, shadow);
        double values[maxPhases];
        for (size_t k = 1; k < perItem; ++k) {
            values[k - 1] = in.ConsumeBool() && k > 1 ? values[0] : rmsValue(in, d);
            r[k].time = in.ConsumeBool() ? time : nan;  // only the first phase record's time counts
            r[k].rmsVoltage = values[k - 1];
        }
        r[1].time = time;
        const bool timeAcceptable = usableTime(time) && (!timed || time >= previous);
        acceptable = acceptable && timeAcceptable && valuesAcceptable(d, values);
        if (!timed) {
            earliest = time;
        }
        timed = true;
        previous = time;
        latest = time;
    }
    const int32_t status = voltageEventDetector_addPeriodResults(d.handle, null ? nullptr : records.data(), items);
    TRACE("detector addPeriodResults(%s, %d) -> %d\n", null ? "null" : "records", items, status);
    checkStatus(status, d.handle != nullptr && items >= 0 && !(null && items > 0) && acceptable);
    if (status == 0 && n > 0) {
        d.anyValue = true;
        d.earliest = earliest;
        d.latest = latest;
        for (size_t item = 0; item < n; ++item) {
            double values[maxPhases];
            for (size_t k = 1; k < perItem; ++k) {
                values[k - 1] = records[item * perItem + k].rmsVoltage;
            }
            EXPECT(voltageEventDetector_addRmsValues(d.twin, records[item * perItem + 1].time, values) == 0);
        }
    }
    checkThresholds(d);
}

// A well-formed event: its kind, phases within the detector's, a start no
// earlier than the first value and an end no later than the latest.
void checkEvent(const Detector& d, const VoltageEvent& e) {
    EXPECT(e.type == VoltageEventDip || e.type == VoltageEventSwell || e.type == VoltageEventInterruption);
    EXPECT(e.phases != 0 && (e.phases & ~allPhases(d)) == 0);
    if (e.type == VoltageEventInterruption) {
        EXPECT(e.phases == allPhases(d));
    }
    EXPECT(std::isfinite(e.startTime));
    EXPECT(e.startTime >= d.earliest && e.startTime <= d.latest);
    EXPECT(std::isfinite(e.duration) && e.duration >= 0.0);
    EXPECT(std::isfinite(e.extremeVoltage) && e.extremeVoltage >= 0.0);
    EXPECT(!std::isnan(e.extremePercent) && e.extremePercent >= 0.0);
    EXPECT(e.startTime + e.duration <= d.latest + 1e-9 * std::fabs(d.latest));
}

void takeEvents(FuzzedDataProvider& in, Detector& d) {
    const bool running = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    const Capacity c = pickCapacity(in);
    std::vector<VoltageEvent> events(c.items);
    fillUntouched(events);
    const bool nullCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    int count = untouchedInt;
    const int32_t status =
        running ? voltageEventDetector_getRunningEvents(d.handle, c.capacity, nullCount ? nullptr : &count,
                                                        c.null ? nullptr : events.data())
                : voltageEventDetector_getEvents(d.handle, c.capacity, nullCount ? nullptr : &count,
                                                 c.null ? nullptr : events.data());
    TRACE("detector %s(%d%s) -> %d, %d\n", running ? "getRunningEvents" : "getEvents", c.capacity,
          c.null ? ", null" : "", status, count);
    // The events array is required whatever the capacity.
    checkStatus(status, d.handle != nullptr && !nullCount && c.capacity >= 0 && !c.null);
    if (status != 0) {
        EXPECT(count == untouchedInt && isUntouched(events));
        checkThresholds(d);
        return;
    }
    EXPECT(count >= 0 && count <= c.capacity);
    if (running) {
        EXPECT(count <= 3);
    }
    {
        std::vector<VoltageEvent> twin(c.items);
        int twinCount = -1;
        EXPECT((running ? voltageEventDetector_getRunningEvents : voltageEventDetector_getEvents)(
                   d.twin, c.capacity, &twinCount, twin.data()) == 0);
        EXPECT(twinCount == count);
        const size_t bytes = static_cast<size_t>(count) * sizeof(VoltageEvent);
        EXPECT(count == 0 || std::memcmp(twin.data(), events.data(), bytes) == 0);
    }
    uint32_t kinds = 0;
    for (int k = 0; k < count; ++k) {
        const VoltageEvent& e = events[static_cast<size_t>(k)];
        checkEvent(d, e);
        if (running) {
            // One of each kind at most, in order of their start, running up
            // to the latest value.
            EXPECT((kinds & (1u << e.type)) == 0);
            kinds |= 1u << e.type;
            EXPECT(k == 0 || events[static_cast<size_t>(k - 1)].startTime <= e.startTime);
        } else if (std::isfinite(e.duration) && std::fabs(e.startTime) < 1e290) {
            // In the order they ended.
            const double end = e.startTime + e.duration;
            EXPECT(end >= d.lastEnd - 1e-9 * std::fabs(end));
            d.lastEnd = end;
        }
    }
    for (size_t k = static_cast<size_t>(count); k < c.items; ++k) {
        EXPECT(reinterpret_cast<const unsigned char*>(&events[k])[0] == untouched);
    }
}

void stepDetector(FuzzedDataProvider& in, Detector& d) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
            if (d.handle != nullptr && in.ConsumeBool()) {
                TRACE("detector destroy\n");
                destroy(d);
            } else {
                create(in, d);
            }
            break;
        case 1:
            setThresholds(in, d);
            break;
        case 2:
        case 3:
        case 4:
            addRmsValues(in, d);
            break;
        case 5:
        case 6:
            addPeriodResults(in, d);
            break;
        case 7:
        case 8:
        case 9:
            takeEvents(in, d);
            break;
        case 10: {
            const int32_t status = voltageEventDetector_closeRunningEvents(d.handle);
            TRACE("detector closeRunningEvents -> %d\n", status);
            checkStatus(status, d.handle != nullptr);
            if (status == 0) {
                EXPECT(voltageEventDetector_closeRunningEvents(d.twin) == 0);
            }
            break;
        }
        default: {
            const int which = in.ConsumeIntegralInRange<int>(0, 4);
            double values[4] = {nan, nan, nan, nan};
            const int32_t status = voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(
                d.handle, which == 0 ? nullptr : &values[0], which == 1 ? nullptr : &values[1],
                which == 2 ? nullptr : &values[2], which == 3 ? nullptr : &values[3]);
            checkStatus(status, d.handle != nullptr && which == 4);
            if (status != 0) {
                EXPECT(std::isnan(values[0]) && std::isnan(values[1]) && std::isnan(values[2]) &&
                       std::isnan(values[3]));
            }
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Interval aggregator

constexpr double timeLimit = 1e15;
constexpr int maxValuesPerCall = 1 << 14;  // doubles the harness passes in one call

struct Aggregator {
    IntervalAggregatorHandle handle = nullptr;
    int valueCount = 0;
    double clockOffset = 0.0;
    std::vector<bool> mean;   // when valueCount is small enough to model
    double lastStart = -inf;  // of the last window taken
    double lastEnd = 0.0;
    double largest = 0.0;     // largest |value| taken
    bool anyMean = false;     // some value was ever aggregated as a mean
    double lastThreeSecondStart = -inf;
    bool anyTenMinute = false;
    int64_t lastClockInterval = 0;
};

void destroy(Aggregator& a) {
    EXPECT(intervalAggregator_destroy(a.handle) == 0);
    a = Aggregator();
}

void create(FuzzedDataProvider& in, Aggregator& a) {
    destroy(a);
    const int valueCount = in.ConsumeIntegralInRange<int>(0, 7) == 0
                               ? in.PickValueInArray({0, -1, 64, 100000, std::numeric_limits<int>::min()})
                               : in.ConsumeIntegralInRange<int>(1, 4);
    const double offset = in.ConsumeIntegralInRange<int>(0, 3) == 0
                              ? pickDouble(in)
                              : in.PickValueInArray({0.0, 1.7e9, 599.9999995, -300.0, 86400.0, 1e15, -1e15});
    a.handle = intervalAggregator_create(valueCount, offset);
    TRACE("aggregator create(%d, %.17g) -> %p\n", valueCount, offset, static_cast<void*>(a.handle));
    const bool acceptable = valueCount >= 1 && std::fabs(offset) <= timeLimit;
    EXPECT((a.handle != nullptr) == acceptable);
    if (a.handle == nullptr) {
        const char* message = nullptr;
        EXPECT(getLastErrorMessage(nullptr, &message) == 0 && message != nullptr && message[0] != '\0');
        return;
    }
    a.valueCount = valueCount;
    a.clockOffset = offset;
    a.mean.assign(static_cast<size_t>(valueCount), false);
    int count = 0;
    EXPECT(intervalAggregator_getValueCount(a.handle, &count) == 0 && count == valueCount);
}

struct Pending {
    int threeSecond = untouchedInt;
    int tenMinute = untouchedInt;
};

Pending pendingOf(const Aggregator& a) {
    Pending p;
    EXPECT(intervalAggregator_getPendingCounts(a.handle, &p.threeSecond, &p.tenMinute) == 0);
    EXPECT(p.threeSecond >= 0 && p.tenMinute >= 0);
    return p;
}

double windowValue(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
            return in.PickValueInArray({nan, inf, -inf, 1e300, -1e300, std::numeric_limits<double>::max(),
                                        std::numeric_limits<double>::denorm_min(), -0.0});
        case 1:
            return in.ConsumeFloatingPoint<double>();
        default:
            return in.ConsumeFloatingPointInRange<double>(-400.0, 400.0);
    }
}

// The next window's start: on after the last one mostly, across a tick now
// and then (just before, on, just after it), back in time rarely.
double nextStart(FuzzedDataProvider& in, const Aggregator& a, double previousEnd, double previousStart) {
    const double base = std::isfinite(previousStart) ? previousEnd : in.ConsumeFloatingPointInRange<double>(-5.0, 5.0);
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return pickDouble(in);
        case 1:
            return previousStart - in.ConsumeFloatingPointInRange<double>(0.0, 1.0);
        case 2:
        case 3: {
            // Around the next tick of the absolute clock.
            const double absolute = base + a.clockOffset;
            const double tick = (std::floor(absolute / 600.0) + 1.0) * 600.0 - a.clockOffset;
            return tick + in.PickValueInArray({0.0, -1e-6, -0.5e-6, -2e-6, 1e-9, -0.1, 0.1, 600.0, 1200.0});
        }
        case 4:
            return base + in.ConsumeFloatingPointInRange<double>(0.0, 2000.0);  // a gap
        case 5:
            return previousStart;  // overlapping windows: allowed
        default:
            return base;
    }
}

bool windowAcceptable(const Aggregator& a, double start, double end, const double* values, double previousStart) {
    if (!(std::fabs(start) <= timeLimit && std::fabs(end) <= timeLimit) || end < start || start < previousStart) {
        return false;
    }
    if (values == nullptr) {
        return false;
    }
    for (int i = 0; i < a.valueCount; ++i) {
        if (!std::isfinite(values[i])) {
            return false;
        }
    }
    return true;
}

void tookWindows(Aggregator& a, int count, const double* starts, const double* ends, const double* values) {
    for (int k = 0; k < count; ++k) {
        a.lastStart = starts[k];
        a.lastEnd = ends[k];
    }
    for (size_t i = 0; i < static_cast<size_t>(count) * static_cast<size_t>(a.valueCount); ++i) {
        a.largest = std::max(a.largest, std::fabs(values[i]));
    }
}

void addWindows(FuzzedDataProvider& in, Aggregator& a) {
    const bool one = in.ConsumeBool();
    const int count = one ? 1 : (in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickCount(in, 20)
                                                                           : in.ConsumeIntegralInRange<int>(0, 40));
    const int nullArray = in.ConsumeIntegralInRange<int>(0, 19) < 4 ? in.ConsumeIntegralInRange<int>(0, 3) : -1;
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
    const size_t perWindow = a.handle != nullptr ? static_cast<size_t>(a.valueCount) : 1;
    if (n > 4096 || n * perWindow > static_cast<size_t>(maxValuesPerCall)) {
        return;  // more than the harness's arrays hold
    }
    const size_t windows = n;
    std::vector<double> starts(std::max<size_t>(windows, 1));
    std::vector<double> ends(starts.size());
    std::vector<double> values(std::max<size_t>(windows * perWindow, 1));
    std::unique_ptr<bool[]> flags(new bool[starts.size()]);
    double previousStart = a.lastStart;
    double previousEnd = a.lastEnd;
    bool acceptable = true;
    for (size_t k = 0; k < windows; ++k) {
        const double start = nextStart(in, a, previousEnd, previousStart);
        const double length = in.ConsumeIntegralInRange<int>(0, 15) == 0 ? pickDouble(in)
                                                                          : in.PickValueInArray({0.2, 0.2, 0.19, 0.0});
        starts[k] = start;
        ends[k] = start + length;
        for (size_t i = 0; i < perWindow; ++i) {
            values[k * perWindow + i] = i > 0 && in.ConsumeBool() ? values[k * perWindow] : windowValue(in);
        }
        flags[k] = in.ConsumeIntegralInRange<int>(0, 7) == 0;
        if (a.handle != nullptr) {
            acceptable = acceptable && windowAcceptable(a, starts[k], ends[k], &values[k * perWindow], previousStart);
        }
        previousStart = start;
        previousEnd = ends[k];
    }
    const Pending before = a.handle != nullptr ? pendingOf(a) : Pending();
    int32_t status;
    if (one) {
        status = intervalAggregator_addWindow(a.handle, starts[0], ends[0], nullArray >= 0 ? nullptr : values.data(),
                                              flags[0]);
        TRACE("aggregator addWindow(%.17g, %.17g, %s) -> %d\n", starts[0], ends[0], nullArray >= 0 ? "null" : "values",
              status);
        checkStatus(status, a.handle != nullptr && nullArray < 0 && acceptable);
    } else {
        status = intervalAggregator_addWindows(a.handle, count, nullArray == 0 ? nullptr : starts.data(),
                                               nullArray == 1 ? nullptr : ends.data(),
                                               nullArray == 2 ? nullptr : values.data(),
                                               nullArray == 3 ? nullptr : flags.get());
        TRACE("aggregator addWindows(%d, null array %d) -> %d\n", count, nullArray, status);
        // Null flags mean none flagged; the other arrays are required when
        // there are windows.
        const bool arrays = nullArray < 0 || nullArray == 3 || count == 0;
        checkStatus(status, a.handle != nullptr && count >= 0 && arrays && (count == 0 || acceptable));
    }
    if (a.handle == nullptr) {
        return;
    }
    const Pending after = pendingOf(a);
    if (status != 0) {
        EXPECT(after.threeSecond == before.threeSecond && after.tenMinute == before.tenMinute);
        return;
    }
    tookWindows(a, one ? 1 : count, starts.data(), ends.data(), values.data());
    // Windows only ever close intervals: the queues grow or stay.
    EXPECT(after.threeSecond >= before.threeSecond && after.tenMinute >= before.tenMinute);
}

void takeIntervals(FuzzedDataProvider& in, Aggregator& a) {
    const bool tenMinute = in.ConsumeBool();
    const Capacity c = pickCapacity(in);
    const int nullArray = c.null ? in.ConsumeIntegralInRange<int>(0, 1) : -1;
    const size_t perRecord = a.handle != nullptr ? static_cast<size_t>(a.valueCount) : 1;
    if (c.items * perRecord > static_cast<size_t>(maxValuesPerCall) * 4) {
        return;
    }
    std::vector<IntervalAggregate> records(c.items);
    std::vector<double> values(c.items * perRecord);
    fillUntouched(records);
    fillUntouched(values);
    const bool nullCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const Pending before = a.handle != nullptr ? pendingOf(a) : Pending();
    int count = untouchedInt;
    const int32_t status =
        (tenMinute ? intervalAggregator_getTenMinuteIntervals : intervalAggregator_getThreeSecondIntervals)(
            a.handle, c.capacity, nullCount ? nullptr : &count, nullArray == 0 ? nullptr : records.data(),
            nullArray == 1 ? nullptr : values.data());
    TRACE("aggregator %s(%d%s) -> %d, %d\n", tenMinute ? "getTenMinuteIntervals" : "getThreeSecondIntervals",
          c.capacity, c.null ? ", null" : "", status, count);
    checkStatus(status, a.handle != nullptr && !nullCount && c.capacity >= 0 && !(c.null && c.capacity > 0));
    if (a.handle == nullptr) {
        return;
    }
    const Pending after = pendingOf(a);
    if (status != 0) {
        EXPECT(count == untouchedInt && isUntouched(records) && isUntouched(values));
        EXPECT(after.threeSecond == before.threeSecond && after.tenMinute == before.tenMinute);
        return;
    }
    const int waiting = tenMinute ? before.tenMinute : before.threeSecond;
    EXPECT(count == std::min(c.capacity, waiting));
    EXPECT((tenMinute ? after.tenMinute : after.threeSecond) == waiting - count);
    EXPECT((tenMinute ? after.threeSecond : after.tenMinute) == (tenMinute ? before.threeSecond : before.tenMinute));
    for (int k = 0; k < count; ++k) {
        const IntervalAggregate& r = records[static_cast<size_t>(k)];
        EXPECT(r.windowCount >= 1);
        EXPECT(std::isfinite(r.startTime) && std::isfinite(r.endTime) && r.endTime >= r.startTime);
        const unsigned char flagged = reinterpret_cast<const unsigned char*>(&r)[28];
        const unsigned char complete = reinterpret_cast<const unsigned char*>(&r)[29];
        EXPECT(flagged <= 1 && complete <= 1);
        if (tenMinute) {
            // In clock order; one record per clock interval, except that a
            // flush may close one that later windows open again.
            EXPECT(!a.anyTenMinute || r.clockInterval >= a.lastClockInterval);
            a.anyTenMinute = true;
            a.lastClockInterval = r.clockInterval;
            // The first window's start lies in its clock interval (up to the
            // tick tolerance).
            const double absolute = r.startTime + a.clockOffset;
            const double tolerance = 1e-6 + 1e-12 * std::fabs(absolute);
            EXPECT(absolute >= 600.0 * static_cast<double>(r.clockInterval) - tolerance);
            EXPECT(absolute < 600.0 * static_cast<double>(r.clockInterval + 1) + tolerance);
        } else {
            EXPECT(r.windowCount <= 15);
            EXPECT(r.complete == (r.windowCount == 15));
            EXPECT(r.startTime >= a.lastThreeSecondStart);
            a.lastThreeSecondStart = r.startTime;
        }
        for (size_t i = 0; i < perRecord; ++i) {
            const double v = values[static_cast<size_t>(k) * perRecord + i];
            EXPECT(!std::isnan(v));
            // An aggregate lies within the range of the values taken, so it
            // is finite while they are far from overflowing.
            if (a.largest <= 1e150) {
                EXPECT(std::isfinite(v));
                EXPECT(std::fabs(v) <= a.largest * (1.0 + 1e-12));
            }
            if (i < a.mean.size() && !a.mean[i] && !a.anyMean) {
                EXPECT(v >= 0.0);  // a root of a mean of squares
            }
        }
    }
    const unsigned char* rest = reinterpret_cast<const unsigned char*>(records.data() + count);
    EXPECT(static_cast<size_t>(count) == c.items || rest[0] == untouched);
}

void setMean(FuzzedDataProvider& in, Aggregator& a) {
    const int index = in.ConsumeIntegralInRange<int>(0, 5) == 0
                          ? in.PickValueInArray({-1, a.valueCount, std::numeric_limits<int>::max(),
                                                 std::numeric_limits<int>::min()})
                          : in.ConsumeIntegralInRange<int>(0, std::max(a.valueCount - 1, 0));
    const bool inRange = index >= 0 && index < a.valueCount;
    if (in.ConsumeBool()) {
        const bool mean = in.ConsumeBool();
        const int32_t status = intervalAggregator_setMeanAggregated(a.handle, index, mean);
        TRACE("aggregator setMeanAggregated(%d, %d) -> %d\n", index, mean, status);
        checkStatus(status, a.handle != nullptr && inRange);
        if (status == 0) {
            a.mean[static_cast<size_t>(index)] = mean;
            a.anyMean = a.anyMean || mean;
        }
    } else {
        const bool null = in.ConsumeIntegralInRange<int>(0, 7) == 0;
        unsigned char mean = untouched;
        const int32_t status =
            intervalAggregator_getMeanAggregated(a.handle, index, null ? nullptr : reinterpret_cast<bool*>(&mean));
        checkStatus(status, a.handle != nullptr && inRange && !null);
        if (status == 0) {
            EXPECT(mean == (a.mean[static_cast<size_t>(index)] ? 1 : 0));
        } else {
            EXPECT(mean == untouched);
        }
    }
}

void stepAggregator(FuzzedDataProvider& in, Aggregator& a) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
            if (a.handle != nullptr && in.ConsumeBool()) {
                TRACE("aggregator destroy\n");
                destroy(a);
            } else {
                create(in, a);
            }
            break;
        case 1:
            setMean(in, a);
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            addWindows(in, a);
            break;
        case 6:
        case 7:
        case 8:
            takeIntervals(in, a);
            break;
        case 9: {
            const Pending before = a.handle != nullptr ? pendingOf(a) : Pending();
            const int32_t status = intervalAggregator_flush(a.handle);
            TRACE("aggregator flush -> %d\n", status);
            checkStatus(status, a.handle != nullptr);
            if (a.handle != nullptr) {
                const Pending after = pendingOf(a);
                EXPECT(after.threeSecond >= before.threeSecond && after.tenMinute >= before.tenMinute);
            }
            break;
        }
        default: {
            const int which = in.ConsumeIntegralInRange<int>(0, 3);
            int counts[3] = {untouchedInt, untouchedInt, untouchedInt};
            const int32_t status =
                which == 3 ? intervalAggregator_getValueCount(a.handle, in.ConsumeBool() ? nullptr : &counts[2])
                           : intervalAggregator_getPendingCounts(a.handle, which == 0 ? nullptr : &counts[0],
                                                                 which == 1 ? nullptr : &counts[1]);
            if (which == 3) {
                checkStatus(status);
                EXPECT(status != 0 || counts[2] == a.valueCount);
            } else {
                checkStatus(status, a.handle != nullptr && which == 2);
            }
            if (status != 0) {
                EXPECT(counts[0] == untouchedInt && counts[1] == untouchedInt && counts[2] == untouchedInt);
            }
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Rapid voltage change detector

// Each live detector has a twin made with the same arguments and settings
// and fed the same values through the other door: both must find the same
// events, byte for byte.
struct Rvc {
    RapidVoltageChangeDetectorHandle handle = nullptr;
    RapidVoltageChangeDetectorHandle twin = nullptr;
    double declared = 230.0;
    int phases = 1;
    double threshold = 5.0, hysteresis = 2.5, dip = 90.0, swell = 110.0;
    int stamps = 2;
    bool anyValue = false;
    double latest = 0.0;
    double earliest = 0.0;
    double lastEnd = -inf;
};

void destroy(Rvc& r) {
    EXPECT(rapidVoltageChangeDetector_destroy(r.handle) == 0);
    EXPECT(rapidVoltageChangeDetector_destroy(r.twin) == 0);
    r = Rvc();
}

// The settings the getters show are those last accepted.
void checkSettings(const Rvc& r) {
    if (r.handle == nullptr) {
        return;
    }
    double a = nan, b = nan;
    EXPECT(rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage(r.handle, &a, &b) == 0);
    EXPECT(a == r.threshold && b == r.hysteresis);
    EXPECT(rapidVoltageChangeDetector_getDipSwellThresholdsInPercentOfDeclaredVoltage(r.handle, &a, &b) == 0);
    EXPECT(a == r.dip && b == r.swell);
    int stamps = untouchedInt;
    EXPECT(rapidVoltageChangeDetector_getWindowStartStamps(r.handle, &stamps) == 0);
    EXPECT(stamps == r.stamps);
}

void create(FuzzedDataProvider& in, Rvc& r) {
    destroy(r);
    const double declared =
        in.ConsumeIntegralInRange<int>(0, 4) == 0 ? pickDouble(in) : in.PickValueInArray({230.0, 120.0, 1.0});
    const int phases = in.ConsumeIntegralInRange<int>(0, 5) == 0
                           ? in.PickValueInArray({0, -1, 33, 32, std::numeric_limits<int>::min()})
                           : in.ConsumeIntegralInRange<int>(1, 3);
    const int length = in.ConsumeIntegralInRange<int>(0, 5) == 0
                           ? in.PickValueInArray({0, -1, 1000000, 1000001, std::numeric_limits<int>::min(),
                                                  std::numeric_limits<int>::max()})
                           : in.PickValueInArray({1, 2, 3, 5, 10, 100});
    r.handle = rapidVoltageChangeDetector_create(declared, phases, length);
    TRACE("rvc create(%.17g, %d, %d) -> %p\n", declared, phases, length, static_cast<void*>(r.handle));
    const bool acceptable = std::isfinite(declared) && declared > 0.0 && phases >= 1 && phases <= maxPhases &&
                            length >= 1 && length <= 1000000;
    EXPECT((r.handle != nullptr) == acceptable);
    if (r.handle != nullptr) {
        r.declared = declared;
        r.phases = phases;
        r.twin = rapidVoltageChangeDetector_create(declared, phases, length);
        EXPECT(r.twin != nullptr);
        checkSettings(r);
    }
}

void setRvcSettings(FuzzedDataProvider& in, Rvc& r) {
    const int which = in.ConsumeIntegralInRange<int>(0, 2);
    int32_t status;
    if (which == 2) {
        const int stamps = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 4)
                                            : in.PickValueInArray({64, 65, -1, std::numeric_limits<int>::min()});
        status = rapidVoltageChangeDetector_setWindowStartStamps(r.handle, stamps);
        TRACE("rvc setWindowStartStamps(%d) -> %d\n", stamps, status);
        checkStatus(status, r.handle != nullptr && stamps >= 0 && stamps <= 64);
        if (status == 0) {
            r.stamps = stamps;
            EXPECT(rapidVoltageChangeDetector_setWindowStartStamps(r.twin, stamps) == 0);
        }
    } else {
        double a, b;
        if (in.ConsumeBool()) {
            a = which == 0 ? in.ConsumeFloatingPointInRange<double>(0.5, 10.0)
                           : in.ConsumeFloatingPointInRange<double>(0.0, 99.0);
            b = which == 0 ? in.ConsumeFloatingPointInRange<double>(0.0, 5.0)
                           : in.ConsumeFloatingPointInRange<double>(90.0, 150.0);
        } else {
            a = pickDouble(in);
            b = pickDouble(in);
        }
        bool acceptable = std::isfinite(a) && std::isfinite(b);
        if (which == 0) {
            status = rapidVoltageChangeDetector_setThresholdsInPercentOfDeclaredVoltage(r.handle, a, b);
            acceptable = acceptable && a > 0.0 && b >= 0.0 && b < a;
        } else {
            status = rapidVoltageChangeDetector_setDipSwellThresholdsInPercentOfDeclaredVoltage(r.handle, a, b);
            acceptable = acceptable && a >= 0.0 && a < b;
        }
        TRACE("rvc %s(%.17g, %.17g) -> %d\n", which == 0 ? "setThresholds" : "setDipSwellThresholds", a, b, status);
        checkStatus(status, r.handle != nullptr && acceptable);
        if (status == 0) {
            if (which == 0) {
                r.threshold = a;
                r.hysteresis = b;
                EXPECT(rapidVoltageChangeDetector_setThresholdsInPercentOfDeclaredVoltage(r.twin, a, b) == 0);
            } else {
                r.dip = a;
                r.swell = b;
                EXPECT(rapidVoltageChangeDetector_setDipSwellThresholdsInPercentOfDeclaredVoltage(r.twin, a, b) == 0);
            }
        }
    }
    checkSettings(r);
}

// Mostly small steps about the declared voltage, which start and end RVCs,
// some beyond the dip and swell thresholds, some hostile.
double rvcValue(FuzzedDataProvider& in, const Rvc& r) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return in.PickValueInArray({nan, inf, -inf, -1.0, -0.0, 1e300, std::numeric_limits<double>::max(),
                                        std::numeric_limits<double>::denorm_min()});
        case 1:
            return in.ConsumeFloatingPoint<double>();
        default:
            return r.declared * in.PickValueInArray({1.0, 1.0, 1.0, 1.0, 0.99, 1.01, 0.97, 0.93, 0.95, 1.05, 1.07,
                                                     0.85, 1.15, 0.0});
    }
}

void addRvcRms(FuzzedDataProvider& in, Rvc& r) {
    double values[maxPhases];
    for (double& v : values) {
        v = in.ConsumeBool() && &v != values ? values[0] : rvcValue(in, r);
    }
    const double time = nextTime(in, r);
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const int32_t status = rapidVoltageChangeDetector_addRmsValues(r.handle, time, null ? nullptr : values);
    TRACE("rvc addRmsValues(%.17g, %.17g ...) -> %d\n", time, values[0], status);
    const bool timeAcceptable = usableTime(time) && (!r.anyValue || time >= r.latest);
    checkStatus(status, r.handle != nullptr && !null && timeAcceptable && valuesAcceptable(r, values));
    if (status == 0) {
        took(r, time);
        std::vector<PowerResultsPeriod> item(static_cast<size_t>(r.phases) + 1);
        item[0].time = nan;
        item[0].rmsVoltage = nan;
        for (int k = 0; k < r.phases; ++k) {
            item[static_cast<size_t>(k) + 1].time = time;
            item[static_cast<size_t>(k) + 1].rmsVoltage = values[k];
        }
        EXPECT(rapidVoltageChangeDetector_addPeriodResults(r.twin, item.data(), 1) == 0);
    }
    checkSettings(r);
}

// A run of values in one call of either door: many values, to fill the
// steady-state windows, mostly one level with a step in it.
void addRvcPeriods(FuzzedDataProvider& in, Rvc& r) {
    const int items =
        in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickCount(in, 4) : in.ConsumeIntegralInRange<int>(0, 150);
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    const size_t n = items > 0 ? static_cast<size_t>(items) : 0;
    if (n > 200 && !null) {
        return;  // only a null array comes with a count this large
    }
    const size_t perItem = static_cast<size_t>(r.phases) + 1;
    std::vector<PowerResultsPeriod> records(null ? 1 : std::max<size_t>(n * perItem, 1));
    double level[maxPhases];
    for (double& v : level) {
        v = rvcValue(in, r);
    }
    const size_t stepAt = in.ConsumeIntegralInRange<size_t>(0, n);
    const double factor = in.PickValueInArray({1.0, 0.94, 1.06, 0.8, 1.3, 0.96});
    const double step = in.PickValueInArray({0.02, 0.01, 1.0 / 120.0, 0.0});
    bool acceptable = true;
    bool timed = r.anyValue;
    double previous = r.latest;
    double earliest = r.earliest;
    for (size_t item = 0; item < n && !null; ++item) {
        PowerResultsPeriod* p = &records[item * perItem];
        p[0].time = nan;
        p[0].rmsVoltage = nan;
        const double time = item == 0 ? nextTime(in, r) : previous + step;
        double values[maxPhases];
        for (size_t k = 1; k < perItem; ++k) {
            values[k - 1] = item >= stepAt && k == 1 ? level[k - 1] * factor : level[k - 1];
            p[k].time = nan;
            p[k].rmsVoltage = values[k - 1];
        }
        p[1].time = time;
        acceptable = acceptable && usableTime(time) && (!timed || time >= previous) && valuesAcceptable(r, values);
        if (!timed) {
            earliest = time;
        }
        timed = true;
        previous = time;
    }
    const int32_t status = rapidVoltageChangeDetector_addPeriodResults(r.handle, null ? nullptr : records.data(), items);
    TRACE("rvc addPeriodResults(%s, %d) -> %d\n", null ? "null" : "records", items, status);
    checkStatus(status, r.handle != nullptr && items >= 0 && !(null && items > 0) && acceptable);
    if (status == 0 && n > 0) {
        r.anyValue = true;
        r.earliest = earliest;
        r.latest = previous;
        for (size_t item = 0; item < n; ++item) {
            double values[maxPhases];
            for (size_t k = 1; k < perItem; ++k) {
                values[k - 1] = records[item * perItem + k].rmsVoltage;
            }
            EXPECT(rapidVoltageChangeDetector_addRmsValues(r.twin, records[item * perItem + 1].time, values) == 0);
        }
    }
    checkSettings(r);
}

// A well-formed event: phases within the detector's, reserved 0, figures
// finite where the times allow, deltaUmax at least |deltaUss|.
void checkRvc(const Rvc& r, const RapidVoltageChange& e) {
    const uint32_t all = r.phases == 32 ? ~uint32_t(0) : (uint32_t(1) << r.phases) - 1u;
    EXPECT(e.phases != 0 && (e.phases & ~all) == 0);
    EXPECT(e.reserved == 0);
    EXPECT(std::isfinite(e.startTime) && e.startTime <= r.latest);
    EXPECT(!std::isnan(e.duration) && e.duration >= 0.0);
    EXPECT(std::isfinite(e.deltaUmax) && e.deltaUmax >= 0.0 && std::isfinite(e.deltaUss));
    EXPECT(std::fabs(e.deltaUss) <= e.deltaUmax * (1.0 + 1e-12));
    EXPECT(!std::isnan(e.deltaUmaxPercent) && e.deltaUmaxPercent >= 0.0 && !std::isnan(e.deltaUssPercent));
    if (std::fabs(e.startTime) < 1e290 && std::fabs(r.latest) < 1e290) {
        EXPECT(e.startTime + e.duration <= r.latest + 1e-9 * std::fabs(r.latest));
    }
}

void takeRvcs(FuzzedDataProvider& in, Rvc& r) {
    const bool running = in.ConsumeIntegralInRange<int>(0, 3) == 0;
    const Capacity c = pickCapacity(in);
    std::vector<RapidVoltageChange> events(c.items);
    fillUntouched(events);
    const bool nullCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    int count = untouchedInt;
    auto take = running ? rapidVoltageChangeDetector_getRunningEvents : rapidVoltageChangeDetector_getEvents;
    const int32_t status =
        take(r.handle, c.capacity, nullCount ? nullptr : &count, c.null ? nullptr : events.data());
    TRACE("rvc %s(%d%s) -> %d, %d\n", running ? "getRunningEvents" : "getEvents", c.capacity, c.null ? ", null" : "",
          status, count);
    checkStatus(status, r.handle != nullptr && !nullCount && c.capacity >= 0 && !c.null);
    if (status != 0) {
        EXPECT(count == untouchedInt && isUntouched(events));
        checkSettings(r);
        return;
    }
    EXPECT(count >= 0 && count <= c.capacity && (!running || count <= 1));
    {
        std::vector<RapidVoltageChange> twin(c.items);
        int twinCount = -1;
        EXPECT(take(r.twin, c.capacity, &twinCount, twin.data()) == 0);
        EXPECT(twinCount == count);
        EXPECT(count == 0 ||
               std::memcmp(twin.data(), events.data(), static_cast<size_t>(count) * sizeof(RapidVoltageChange)) == 0);
    }
    for (int k = 0; k < count; ++k) {
        const RapidVoltageChange& e = events[static_cast<size_t>(k)];
        checkRvc(r, e);
        if (!running && std::isfinite(e.duration) && std::fabs(e.startTime) < 1e290) {
            const double end = e.startTime + e.duration;  // in the order they ended
            EXPECT(end >= r.lastEnd - 1e-9 * std::fabs(end));
            r.lastEnd = end;
        }
    }
    for (size_t k = static_cast<size_t>(count); k < c.items; ++k) {
        EXPECT(reinterpret_cast<const unsigned char*>(&events[k])[0] == untouched);
    }
}

void stepRvc(FuzzedDataProvider& in, Rvc& r) {
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0:
            if (r.handle != nullptr && in.ConsumeBool()) {
                TRACE("rvc destroy\n");
                destroy(r);
            } else {
                create(in, r);
            }
            break;
        case 1:
            setRvcSettings(in, r);
            break;
        case 2:
        case 3:
        case 4:
            addRvcRms(in, r);
            break;
        case 5:
        case 6:
        case 7:
            addRvcPeriods(in, r);
            break;
        case 8:
        case 9:
        case 10:
            takeRvcs(in, r);
            break;
        default: {
            // Getters with a null out-parameter write nothing.
            const int which = in.ConsumeIntegralInRange<int>(0, 4);
            double a = nan, b = nan;
            int stamps = untouchedInt;
            int32_t status;
            if (which < 2) {
                status = rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage(
                    r.handle, which == 0 ? nullptr : &a, which == 1 ? nullptr : &b);
            } else if (which < 4) {
                status = rapidVoltageChangeDetector_getDipSwellThresholdsInPercentOfDeclaredVoltage(
                    r.handle, which == 2 ? nullptr : &a, which == 3 ? nullptr : &b);
            } else {
                status = rapidVoltageChangeDetector_getWindowStartStamps(r.handle, nullptr);
            }
            checkStatus(status, false);
            EXPECT(std::isnan(a) && std::isnan(b) && stamps == untouchedInt);
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Flickermeter

// Samples a flickermeter takes in one input: at 1000 per second about four
// minutes, enough for 10-minute intervals that a clock offset lets end soon.
constexpr size_t maxFlickerSamplesPerInput = 1u << 18;

// Each live meter has a twin made with the same arguments and clock offset
// and fed the same samples split at other points; every figure taken from
// one is taken from the other at the same point and must match byte for
// byte.
struct Meter {
    FlickerMeterHandle handle = nullptr;
    FlickerMeterHandle twin = nullptr;
    double rate = 1000.0;
    double nominal = 50.0;
    uint64_t position = 0;
    double phase = 0.0;  // of the generated wave, in cycles
    bool offsetSet = false;
    double offset = 0.0;
};

void destroy(Meter& m) {
    EXPECT(flickerMeter_destroy(m.handle) == 0);
    EXPECT(flickerMeter_destroy(m.twin) == 0);
    m = Meter();
}

void checkPosition(const Meter& m) {
    if (m.handle == nullptr) {
        return;
    }
    uint64_t position = ~uint64_t(0), twin = ~uint64_t(1);
    EXPECT(flickerMeter_getSamplePosition(m.handle, &position) == 0);
    EXPECT(flickerMeter_getSamplePosition(m.twin, &twin) == 0);
    EXPECT(position == m.position && twin == m.position);
}

void create(FuzzedDataProvider& in, Meter& m) {
    destroy(m);
    const bool hostile = in.ConsumeIntegralInRange<int>(0, 5) == 0;
    const double rate = hostile ? pickDouble(in) : in.PickValueInArray({1000.0, 1200.0, 2000.0, 2500.0, 4000.0});
    const double nominal = hostile ? pickDouble(in) : in.PickValueInArray({50.0, 60.0, 40.0, 70.0});
    const double lamp = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickDouble(in) : in.PickValueInArray({230.0, 120.0});
    m.handle = flickerMeter_create(rate, nominal, lamp);
    TRACE("meter create(%.17g, %.17g, %.17g) -> %p\n", rate, nominal, lamp, static_cast<void*>(m.handle));
    const bool acceptable = nominal >= 40.0 && nominal <= 70.0 && rate >= 20.0 * nominal && rate <= 1e7 &&
                            (lamp == 230.0 || lamp == 120.0);
    EXPECT((m.handle != nullptr) == acceptable);
    if (m.handle != nullptr) {
        m.rate = rate;
        m.nominal = nominal;
        m.twin = flickerMeter_create(rate, nominal, lamp);
        EXPECT(m.twin != nullptr);
        checkPosition(m);
    }
}

void setClockOffset(FuzzedDataProvider& in, Meter& m) {
    double offset;
    if (in.ConsumeBool()) {
        // Just before a 10-minute or a 2-hour tick, so that intervals and
        // blocks close within an input.
        offset = in.PickValueInArray({595.0, 599.5, 7195.0, 7199.0, 1800.0, -5.0, 86400.0 - 3.0, 590.0, 7190.0}) +
                 600.0 * in.ConsumeIntegralInRange<int>(-3, 3);
    } else {
        static const double table[] = {0.0, -0.0, 1e15, -1e15, 1.0000000000000002e15, inf, -inf, nan, 1e300};
        offset = fuzzinput::pickDouble(in, table, -1e15, 1e15, -7200.0, 7200.0);
    }
    const int32_t status = flickerMeter_setClockOffset(m.handle, offset);
    TRACE("meter setClockOffset(%.17g) -> %d\n", offset, status);
    checkStatus(status, m.handle != nullptr && std::fabs(offset) <= 1e15 && m.position == 0);
    if (status == 0) {
        m.offsetSet = true;
        m.offset = offset;
        EXPECT(flickerMeter_setClockOffset(m.twin, offset) == 0);
    }
    if (m.handle != nullptr) {
        int64_t k = std::numeric_limits<int64_t>::min(), twin = std::numeric_limits<int64_t>::max();
        EXPECT(flickerMeter_getFirstClockInterval(m.handle, &k) == 0);
        EXPECT(flickerMeter_getFirstClockInterval(m.twin, &twin) == 0);
        EXPECT(k == twin);
        const double expected = m.offsetSet ? m.offset / 600.0 : 0.0;
        EXPECT(std::fabs(static_cast<double>(k) - expected) <= 1.0);
    }
    checkPosition(m);
}

// A block of a modulated sine, some of it hostile; the twin takes it in two
// parts split at another point.
void addFlickerSamples(FuzzedDataProvider& in, Meter& m, size_t& budget) {
    int count = in.ConsumeIntegralInRange<int>(0, 7) == 0 ? pickCount(in, 64)
                                                           : in.ConsumeIntegralInRange<int>(1, 1 << 15);
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    if (count > 0 && !null) {
        count = static_cast<int>(std::min<size_t>(static_cast<size_t>(count), budget));
    }
    const size_t n = count > 0 && !null ? static_cast<size_t>(count) : 0;
    std::vector<float> samples(std::max<size_t>(n, 1));
    const double amplitude = in.PickValueInArray({325.0, 1.0, 1e-30, 3e38, 0.0});
    const double depth = in.PickValueInArray({0.0, 0.0025, 0.02, 0.5});
    const double modulation = in.PickValueInArray({8.8, 1.0, 25.0});
    const int bad = in.ConsumeIntegralInRange<int>(0, 3) == 0 ? in.ConsumeIntegralInRange<int>(0, 8) : 0;
    const double cyclesPerSample = m.nominal / m.rate;
    for (size_t k = 0; k < n; ++k) {
        const double t = static_cast<double>(m.position + k) / m.rate;
        samples[k] = static_cast<float>(amplitude * (1.0 + 0.5 * depth * std::sin(2.0 * pi * modulation * t)) *
                                        std::sin(2.0 * pi * m.phase));
        m.phase += cyclesPerSample;
        m.phase -= std::floor(m.phase);
    }
    for (int k = 0; k < bad && n > 0; ++k) {
        samples[in.ConsumeIntegralInRange<size_t>(0, n - 1)] =
            in.PickValueInArray({std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::denorm_min(), -0.0f});
    }
    const int32_t status = flickerMeter_addSamples(m.handle, null ? nullptr : samples.data(), count);
    TRACE("meter addSamples(%s, %d) -> %d\n", null ? "null" : "samples", count, status);
    checkStatus(status, m.handle != nullptr && count >= 0 && !(null && count > 0));
    if (status == 0 && n > 0) {
        const size_t split = in.ConsumeIntegralInRange<size_t>(0, n);
        EXPECT(flickerMeter_addSamples(m.twin, samples.data(), static_cast<int32_t>(split)) == 0);
        EXPECT(flickerMeter_addSamples(m.twin, samples.data() + split, static_cast<int32_t>(n - split)) == 0);
        m.position += n;
        budget -= n;
    }
    checkPosition(m);
}

// Pst or Plt: NaN for an interval without Pinst values, else finite and not
// negative.
void takeSeverities(FuzzedDataProvider& in, Meter& m) {
    const bool longTerm = in.ConsumeBool();
    const Capacity c = pickCapacity(in);
    std::vector<double> values(c.items);
    fillUntouched(values);
    const bool nullCount = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    int32_t count = untouchedInt;
    auto take = longTerm ? flickerMeter_getLongTermSeverities : flickerMeter_getShortTermSeverities;
    const int32_t status = take(m.handle, c.capacity, nullCount ? nullptr : &count, c.null ? nullptr : values.data());
    TRACE("meter %s(%d%s) -> %d, %d\n", longTerm ? "getLongTermSeverities" : "getShortTermSeverities", c.capacity,
          c.null ? ", null" : "", status, count);
    if (c.capacity == 0 && c.null) {
        checkStatus(status);  // nothing to write: a null array may pass
        EXPECT(status != 0 || m.handle == nullptr || count == 0);
    } else {
        checkStatus(status, m.handle != nullptr && !nullCount && c.capacity >= 0 && !c.null);
    }
    if (status != 0) {
        EXPECT(count == untouchedInt && isUntouched(values));
        return;
    }
    EXPECT(count >= 0 && count <= c.capacity);
    std::vector<double> twin(c.items);
    int32_t twinCount = -1;
    EXPECT(take(m.twin, c.capacity, &twinCount, c.null ? nullptr : twin.data()) == 0);
    EXPECT(twinCount == count);
    EXPECT(count == 0 || std::memcmp(twin.data(), values.data(), static_cast<size_t>(count) * sizeof(double)) == 0);
    for (int k = 0; k < count; ++k) {
        const double v = values[static_cast<size_t>(k)];
        EXPECT(std::isnan(v) || (std::isfinite(v) && v >= 0.0));
    }
    for (size_t k = static_cast<size_t>(count); k < c.items; ++k) {
        EXPECT(reinterpret_cast<const unsigned char*>(&values[k])[0] == untouched);
    }
}

void stepMeter(FuzzedDataProvider& in, Meter& m, size_t& budget) {
    switch (in.ConsumeIntegralInRange<int>(0, 9)) {
        case 0:
            if (m.handle != nullptr && in.ConsumeBool()) {
                TRACE("meter destroy\n");
                destroy(m);
            } else {
                create(in, m);
            }
            break;
        case 1:
            setClockOffset(in, m);
            break;
        case 2:
        case 3:
        case 4:
            addFlickerSamples(in, m, budget);
            break;
        case 5:
        case 6:
            takeSeverities(in, m);
            break;
        case 7: {
            const bool null = in.ConsumeIntegralInRange<int>(0, 7) == 0;
            double pinst = -2.0;
            const int32_t status = flickerMeter_getInstantaneousMaximum(m.handle, null ? nullptr : &pinst);
            TRACE("meter getInstantaneousMaximum -> %d, %.17g\n", status, pinst);
            checkStatus(status, m.handle != nullptr && !null);
            if (status != 0) {
                EXPECT(pinst == -2.0);
                break;
            }
            EXPECT(std::isnan(pinst) || (std::isfinite(pinst) && pinst >= 0.0));
            double twin = -3.0;
            EXPECT(flickerMeter_getInstantaneousMaximum(m.twin, &twin) == 0);
            EXPECT(std::memcmp(&pinst, &twin, sizeof(double)) == 0);
            break;
        }
        default: {
            // Getters with a null out-parameter refuse.
            const int which = in.ConsumeIntegralInRange<int>(0, 1);
            const int32_t status = which == 0 ? flickerMeter_getSamplePosition(m.handle, nullptr)
                                              : flickerMeter_getFirstClockInterval(m.handle, nullptr);
            checkStatus(status, false);
            checkPosition(m);
            break;
        }
    }
}

// Most inputs start with one live object of each class, as a host sets them
// up, so that the script reaches the queues rather than stopping at
// creation.
void setUp(FuzzedDataProvider& in, Tracker& t, Detector& d, Aggregator& a) {
    const double rate = in.PickValueInArray({480.0, 1000.0, 4000.0});
    const double nominal = in.PickValueInArray({50.0, 60.0});
    const int divisor = in.PickValueInArray({1, 16});
    t.handle = frequencyTracker_create(rate, nominal, divisor);
    EXPECT(t.handle != nullptr);
    t.rate = rate;
    t.nominal = nominal;
    t.divisor = divisor;
    makeTwin(t);
    EXPECT(t.twin != nullptr);
    EXPECT(frequencyTracker_getFrequencyRange(t.handle, &t.minFrequency, &t.maxFrequency) == 0);
    const int phases = in.ConsumeIntegralInRange<int>(1, 3);
    d.handle = voltageEventDetector_create(230.0, phases);
    d.twin = voltageEventDetector_create(230.0, phases);
    EXPECT(d.handle != nullptr && d.twin != nullptr);
    d.phases = phases;
    const int values = in.ConsumeIntegralInRange<int>(1, 3);
    a.handle = intervalAggregator_create(values, 0.0);
    EXPECT(a.handle != nullptr);
    a.valueCount = values;
    a.mean.assign(static_cast<size_t>(values), false);
    checkState(t);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzinput::traceFromEnvironment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Tracker trackers[slotCount];
    Detector detectors[slotCount];
    Aggregator aggregators[slotCount];
    Rvc rvcs[slotCount];
    Meter meters[slotCount];
    if (in.ConsumeIntegralInRange<int>(0, 3) != 0) {
        setUp(in, trackers[0], detectors[0], aggregators[0]);
    }
    size_t budget = maxSamplesPerInput;
    size_t flickerBudget = maxFlickerSamplesPerInput;
    for (int calls = 0; calls < 400 && in.remaining_bytes() > 0; ++calls) {
        const int slot = in.ConsumeIntegralInRange<int>(0, slotCount - 1);
        TRACE("[%d] ", slot);
        // Choices 0 to 2 keep the meaning they had before the rapid voltage
        // change detector (3) and the flickermeter (4) joined.
        switch (in.ConsumeIntegralInRange<int>(0, 4)) {
            case 0:
                stepTracker(in, trackers[slot], budget);
                break;
            case 1:
                stepDetector(in, detectors[slot]);
                break;
            case 2:
                stepAggregator(in, aggregators[slot]);
                break;
            case 3:
                stepRvc(in, rvcs[slot]);
                break;
            default:
                stepMeter(in, meters[slot], flickerBudget);
                break;
        }
    }
    for (int k = 0; k < slotCount; ++k) {
        destroy(trackers[k]);
        destroy(detectors[k]);
        destroy(aggregators[k]);
        destroy(rvcs[k]);
        destroy(meters[k]);
    }
    return 0;
}
