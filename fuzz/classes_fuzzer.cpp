// libFuzzer harness of the flat interfaces of the frequency tracker, the
// voltage event detector, the interval aggregator, the rapid voltage change
// detector and the flickermeter. Each input is a script of calls: a slot
// (three per class) and a class, then an operation of that class and its
// arguments, on live and on null handles: creations with hostile arguments,
// settings that break their rules (NaN, infinities, thresholds out of order,
// ranges without the nominal frequency, clock offsets after the first
// sample), samples with NaN, infinities and huge values, RMS values and
// windows whose time goes back, null arrays with positive counts, negative
// counts and capacities, null out-parameters, and takes of every queue.
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
//     nothing the getters show: after every call the getters (sample
//     position, range, loss level, thresholds, stamps, value count, clock
//     interval) show what the harness holds, and pending counts change only
//     as the calls that close and take intervals may change them;
//   - the out-parameters of a successful call are consistent: counts within
//     the capacity and nothing written beyond them, segments and intervals
//     that follow one another without gaps, event and interval records that
//     are well formed, values that are finite where their inputs allow;
//   - each live object has a twin made with the same arguments and
//     settings, fed what the object took split into blocks the input
//     chooses, with calls between them that the twin must refuse: a
//     tracker's twin hands out the same segments, intervals and estimates,
//     a flickermeter's the same Pinst maxima, Pst and Plt, a detector's (of
//     voltage events or of rapid voltage changes) the same events, through
//     either door, an aggregator's the same 150/180-cycle, 10-minute and
//     2-hour records and values, byte for byte. So block splits change no
//     output, and a refused call changes nothing (the object never sees the
//     twin's refused calls, the twin never sees the object's).
// A broken promise aborts with the line of the check (a finding).
//
// Inputs feed at most 2^17 samples to the trackers and 2^16 to the
// flickermeters, so that one input takes milliseconds; low sample rates
// (400 Hz at 50 Hz) let 10-second intervals close within an input, clock
// offsets just before a tick 10-minute ones.
//
// Build: cmake -DPOWERQUALITY_BUILD_FUZZER=ON with clang (scripts/fuzz.sh);
// replay: build-fuzz/fuzz/classes_fuzzer FILE, with POWERQUALITY_FUZZ_TRACE=1
// to print every call. Seeds: fuzz/corpus-classes/, the few inputs that cover
// every edge a run of the harness covered (scripts/fuzz-seeds.sh), and the
// reproducers of past findings, repro-*: 15 windows of 1e300 whose root mean
// square was inf (agg-overflow), of 1.5e308 whose mean was inf
// (agg-mean-overflow), a 6 % step from 230 V with a steady state of 3
// values whose deltaUmax lay 1 ulp below |deltaUss| (rvc-ulp), and a step
// on a declared voltage of 1.5e308 V whose window sums overflow (rvc-huge).
#include <array>
#include <initializer_list>
#include <string>
#include <tuple>

#include "FuzzInput.h"
#include "powerquality/FlickerMeterApi.h"
#include "powerquality/FrequencyTrackerApi.h"
#include "powerquality/IntervalAggregatorApi.h"
#include "powerquality/RapidVoltageChangeDetectorApi.h"
#include "powerquality/VoltageEventDetectorApi.h"

namespace {

using namespace fuzzinput;

constexpr int slotCount = 3, maxPhases = 32;
constexpr double pi = 3.141592653589793, timeLimit = 1e15, big = std::numeric_limits<double>::max();

double pickDouble(FuzzedDataProvider& in) {
    static const double table[] = {0.0,  -0.0, 1.0,   -1.0,  0.5,  5.0,   45.0,   50.0,   60.0,  90.0,   110.0, 230.0,
                                   400.0, 600.0, 1e-6, 1e-300, 1e-310, 1e15, 1.1e15, 1e300, -1e300, 5e-324, big,
                                   inf,  -inf, NaN,   -1.5e308, 1.5e308};
    return fuzzinput::pickDouble(in, table, -100.0, 1000.0, 0.0, 200.0);
}

// A count: mostly within [0, usual], at times hostile.
int pickCount(FuzzedDataProvider& in, int usual) {
    return !oneIn(in, 8) ? in.ConsumeIntegralInRange<int>(0, usual) : in.ConsumeBool() ? in.ConsumeIntegral<int>() : in.PickValueInArray({-1, 0, intMin, intMax});
}

// Out-parameters are prefilled with this pattern; a refused call leaves it,
// and so does a take beyond its count.
constexpr unsigned char untouched = 0xA5;
constexpr int untouchedInt = -123456789;

template <typename T>
std::vector<T> prefilled(size_t n) {
    std::vector<T> v(n);
    std::memset(static_cast<void*>(v.data()), untouched, n * sizeof(T));
    return v;
}

template <typename T>
bool untouchedFrom(const std::vector<T>& v, size_t first) {
    const auto* b = reinterpret_cast<const unsigned char*>(v.data());
    return std::all_of(b + first * sizeof(T), b + v.size() * sizeof(T), [](unsigned char x) { return x == untouched; });
}

// A bool array is prefilled as bytes: the pattern is no bool's value.
template <typename T>
using Stored = std::conditional_t<std::is_same_v<T, bool>, unsigned char, T>;

// The bytes of a take's arrays, one after the other.
template <typename... V>
std::string bytesOf(const std::tuple<V...>& arrays) {
    return std::apply([](const auto&... v) { return (std::string(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(v[0])) + ...); }, arrays);
}

// A take from a queue into one array or several (one of them null at times),
// with a hostile capacity and count pointer (nullAtZero: a null array may come
// with capacity 0). A refusal writes nothing; a success writes *count records
// within the capacity (all that wait, where the caller knows how many:
// `waiting`) and nothing beyond, byte for byte what the twin (if any) writes.
// Arrays of doubles hold `per` items a record (the aggregator's values).
// Returns the arrays cut to the records taken. Both takes are traced.
template <typename H, typename... T>
auto take(FuzzedDataProvider& in, const char* name, int32_t (*fn)(H, int, int*, T*...), H h, decltype(h) twin, bool nullAtZero, int waiting = -1, size_t per = 1) {
    using Arrays = std::tuple<std::vector<Stored<T>>...>;
    // The capacity, at times negative; the arrays hold max(capacity, 1) records, or one is null.
    const int kind = in.ConsumeIntegralInRange<int>(0, 9);
    const int capacity = kind == 0 ? in.PickValueInArray({-1, intMin}) : kind == 1 ? 0 : in.ConsumeIntegralInRange<int>(1, 40);
    const size_t items = capacity > 0 ? static_cast<size_t>(capacity) : 1;
    const size_t nullArray = oneIn(in, 12) ? in.ConsumeIntegralInRange<size_t>(0, sizeof...(T) - 1) : sizeof...(T);
    if (items * per > (1 << 16)) return Arrays{};  // more than the harness's arrays hold
    const bool nullCount = oneIn(in, 16);
    Arrays arrays{prefilled<Stored<T>>(items * (std::is_same_v<T, double> ? per : 1))...}, twins = arrays;
    // fn into one set of arrays, the one at nullArray null (braces keep the order).
    const auto into = [&](H handle, int* count, Arrays& a) {
        return std::apply([&](auto&... v) {
            size_t k = 0;
            const std::tuple<T*...> arguments{(k++ == nullArray ? nullptr : reinterpret_cast<T*>(v.data()))...};
            return std::apply([&](T*... p) { return call(name, fn, handle, capacity, count, p...); }, arguments);
        }, a);
    };
    int count = untouchedInt, twinCount = -1;
    const int32_t status = into(h, nullCount ? nullptr : &count, arrays);
    expectStatus(status, h && !nullCount && capacity >= 0 && (nullArray == sizeof...(T) || (nullAtZero && capacity == 0)));
    EXPECT(status == 0 ? count >= 0 && count <= capacity && (waiting < 0 || count == std::min(capacity, waiting)) : count == untouchedInt);
    const size_t n = status == 0 ? static_cast<size_t>(count) : 0;
    EXPECT(std::apply([&](const auto&... v) { return (untouchedFrom(v, n * (v.size() / items)) && ...); }, arrays));
    EXPECT(status != 0 || twin == nullptr || (into(twin, &twinCount, twins) == 0 && twinCount == count && bytesOf(arrays) == bytesOf(twins)));
    std::apply([&](auto&... v) { (v.resize(n * (v.size() / items)), ...); }, arrays);
    return arrays;
}

// A setting with the status the rules predict; what the object took, its
// twin takes.
template <typename O, typename F, typename... A>
bool both(O& o, bool acceptable, const char* name, F fn, A... args) {
    const bool ok = expectStatus(call(name, fn, o.h, args...), o.h != nullptr && acceptable) == 0;
    EXPECT(!ok || fn(o.twin, args...) == 0);
    return ok;
}
#define BOTH(o, acceptable, ...) both(o, acceptable, #__VA_ARGS__, __VA_ARGS__)

// Out-parameter getters refuse a null one.
template <typename H, typename T>
void refusesNull(int32_t (*fn)(H, T*), H h) { expectStatus(call("null out-parameter", fn, h, static_cast<T*>(nullptr)), false); }

template <typename O>
void destroy(O& o) {
    EXPECT(O::destroyFn(o.h) == 0 && O::destroyFn(o.twin) == 0);
    o = O();
}

// A new object in place of the old: a handle exactly when the arguments make
// sense (but for a tracker, whose rule the harness knows only in part), and
// its twin made alike.

template <typename O, typename F, typename... A>
bool make(O& o, bool acceptable, const char* name, F fn, A... args) {
    destroy(o);
    o.h = call(name, fn, args...);
    EXPECT(o.h == nullptr ? !acceptable || (std::is_same_v<decltype(o.h), FrequencyTrackerHandle>) : acceptable);
    if (o.h != nullptr) EXPECT((o.twin = fn(args...)) != nullptr);
    return o.h != nullptr;
}
#define MAKE(o, acceptable, ...) make(o, acceptable, #__VA_ARGS__, __VA_ARGS__)

// Samples through one call (tracker or flickermeter): a grid-like wave (its
// phase carried on) with a frequency, amplitude, flicker-like modulation and
// third harmonic drawn per block; at times the reference is gone, or plain
// noise, or hostile samples scattered in it. The twin takes them split
// elsewhere: a first part (often one sample), then blocks of another length.
template <typename O>
void addSamples(FuzzedDataProvider& in, O& o) {
    int count = oneIn(in, 8) ? pickCount(in, 64) : in.ConsumeIntegralInRange<int>(0, O::mostSamples);
    const bool null = oneIn(in, 16);
    const size_t n = count > 0 && !null ? std::min<size_t>(static_cast<size_t>(count), O::budget) : 0;
    count = count > 0 && !null ? static_cast<int>(n) : count;
    std::vector<float> s(std::max<size_t>(n, 1));
    const double f = o.nominal * (in.ConsumeBool() ? 1.0 : in.ConsumeFloatingPointInRange<double>(0.7, 1.4)) / o.rate;
    const double amplitude = in.ConsumeBool() ? 325.0 : in.PickValueInArray({1.0, 1e-30, 3e38, 0.0, 230.0, 400.0});
    const double depth = in.PickValueInArray({0.0, 0.0025, 0.02, 0.5}), fm = in.PickValueInArray({8.8, 1.0, 25.0}) / o.rate;
    const double harmonic = in.ConsumeBool() ? 0.0 : in.ConsumeFloatingPointInRange<double>(0.0, 0.3);
    const int shape = in.ConsumeIntegralInRange<int>(0, 9);
    for (size_t k = 0; k < n; ++k, o.phase = std::fmod(o.phase + f, 1.0)) {
        const double m = 1.0 + 0.5 * depth * std::sin(2.0 * pi * fm * static_cast<double>(o.position + k));
        const double x = amplitude * m * (std::sin(2.0 * pi * o.phase) + harmonic * std::sin(6.0 * pi * o.phase));
        s[k] = shape == 0 ? 0.0f : shape == 1 ? in.ConsumeFloatingPointInRange<float>(-400.0f, 400.0f) : static_cast<float>(x);
    }
    for (int bad = shape == 2 ? in.ConsumeIntegralInRange<int>(1, 8) : 0; bad > 0 && n > 0; --bad)
        s[in.ConsumeIntegralInRange<size_t>(0, n - 1)] = in.PickValueInArray({NaN, inf, -inf, 3.4e38, -3.4e38, 1e30, 1e-45, -0.0});
    // Negative counts are refused, and so is a null array with samples in it.
    const int32_t status = call("addSamples", O::addFn, o.h, null ? nullptr : s.data(), count);
    if (expectStatus(status, o.h && count >= 0 && !(null && count > 0)) != 0) return;
    const size_t block = in.ConsumeIntegralInRange<size_t>(1, 700);
    for (size_t k = 0, part = in.ConsumeBool() ? std::min<size_t>(1, n) : in.ConsumeIntegralInRange<size_t>(0, n); k < n;
         k += part, part = std::min(block, n - k)) {
        if (oneIn(in, 16)) EXPECT(checkStatus(in.ConsumeBool() ? O::addFn(o.twin, nullptr, 5) : O::addFn(o.twin, s.data(), -1)) == 1);
        EXPECT(O::addFn(o.twin, s.data() + k, static_cast<int>(part)) == 0);
    }
    o.position += n;
    O::budget -= n;
}

// ---------------------------------------------------------------------------
// Frequency tracker

struct Tracker {
    static constexpr auto destroyFn = frequencyTracker_destroy;
    static constexpr auto addFn = frequencyTracker_addSamples;
    static constexpr int mostSamples = 8192;
    static inline size_t budget = 0;
    FrequencyTrackerHandle h = nullptr, twin = nullptr;
    double rate = 4000.0, nominal = 50.0, lo = 0.0, hi = 0.0, loss = 0.0, phase = 0.0;
    int divisor = 1;
    bool anySegment = false;
    uint64_t position = 0, nextFirst = 0, nextInterval = 0;  // samples added; where the next segment, interval start
};

void create(FuzzedDataProvider& in, Tracker& t) {
    const bool hostile = oneIn(in, 6);
    const double rate = hostile ? pickDouble(in) : in.PickValueInArray({400.0, 480.0, 1000.0, 1600.0, 4000.0, 10240.0});
    const double nominal = hostile ? pickDouble(in) : in.PickValueInArray({50.0, 60.0, 50.0, 16.7});
    const int divisor = in.ConsumeBool() ? in.PickValueInArray({1, 1, 16, 256, 0, -1, 1 << 20, intMax, intMin}) : 1;
    const bool sense = std::isfinite(rate) && rate > 0.0 && std::isfinite(nominal) && nominal > 0.0 && divisor >= 1 &&
                       rate >= 8.0 * nominal && rate / nominal <= 1e7;
    if (!MAKE(t, sense, frequencyTracker_create, rate, nominal, divisor)) return;
    t.rate = rate; t.nominal = nominal; t.divisor = divisor;
    EXPECT(frequencyTracker_getFrequencyRange(t.h, &t.lo, &t.hi) == 0 && t.lo > 0.0 && t.lo <= nominal && t.hi >= nominal && t.hi <= 0.25 * rate);
}

// What the getters show; the latest estimate (the last good one while the
// reference is lost) and the lock are the twin's.
void check(const Tracker& t) {
    uint64_t position = 0;
    double lo = NaN, hi = NaN, loss = NaN, f[2] = {NaN, NaN};
    bool locked[2] = {false, true};
    EXPECT(frequencyTracker_getSamplePosition(t.h, &position) == 0 && position == t.position);
    EXPECT(frequencyTracker_getFrequencyRange(t.h, &lo, &hi) == 0 && lo == t.lo && hi == t.hi && frequencyTracker_getLossLevel(t.h, &loss) == 0 && loss == t.loss);
    EXPECT(frequencyTracker_getFrequency(t.h, f) == 0 && frequencyTracker_getFrequency(t.twin, f + 1) == 0 && std::isfinite(f[0]) && f[0] > 0.0 && f[0] == f[1]);
    EXPECT(frequencyTracker_isLocked(t.h, locked) == 0 && frequencyTracker_isLocked(t.twin, locked + 1) == 0 && locked[0] == locked[1]);
}

void setRangeOrLoss(FuzzedDataProvider& in, Tracker& t) {
    const bool near = in.ConsumeBool();
    const double lo = near ? t.nominal * in.ConsumeFloatingPointInRange<double>(0.5, 1.1) : pickDouble(in);
    const double hi = near ? t.nominal * in.ConsumeFloatingPointInRange<double>(0.9, 2.5) : pickDouble(in);
    if (in.ConsumeBool()) {
        if (BOTH(t, std::isfinite(hi) && hi >= 0.0, frequencyTracker_setLossLevel, hi)) t.loss = hi;
        return refusesNull(near ? frequencyTracker_getFrequency : frequencyTracker_getLossLevel, t.h);
    }
    const bool acceptable = lo > 0.0 && lo <= t.nominal && hi >= t.nominal && hi <= 0.25 * t.rate && std::isfinite(hi) &&
                            2.0 * t.divisor * t.rate / lo <= static_cast<double>(intMax);
    if (BOTH(t, acceptable, frequencyTracker_setFrequencyRange, lo, hi)) { t.lo = lo; t.hi = hi; }
    refusesNull(frequencyTracker_isLocked, t.h);
}

// Segments into four arrays; the twin's the same.
void takeSegments(FuzzedDataProvider& in, Tracker& t) {
    const auto [first, lengths, frequencies, flags] = take(in, "getSegments", frequencyTracker_getSegments, t.h, t.twin, true);
    for (size_t k = 0; k < first.size(); ++k, t.anySegment = true) {
        // One after the other: no gap, no overlap, forward, below 2^63;
        // taken from samples already added.
        EXPECT(lengths[k] > 0 && first[k] < (uint64_t(1) << 63) && (!t.anySegment || first[k] == t.nextFirst));
        EXPECT(std::isfinite(frequencies[k]) && frequencies[k] > 0.0 && flags[k] <= 1);
        t.nextFirst = first[k] + static_cast<uint64_t>(lengths[k]);
        EXPECT(t.nextFirst <= (t.position + 1) * static_cast<uint64_t>(t.divisor));
    }
}

void takeIntervals(FuzzedDataProvider& in, Tracker& t) {
    const auto [intervals] = take(in, "getTenSecondFrequencies", frequencyTracker_getTenSecondFrequencies, t.h, t.twin, true);
    for (const auto& r : intervals) {
        // 10 s of positions each, from position 0 on, one after the other,
        // handed out once the interval has ended.
        EXPECT(r.firstSampleIndex == t.nextInterval && r.endSampleIndex <= t.position * static_cast<uint64_t>(t.divisor));
        EXPECT(std::fabs(static_cast<double>(r.endSampleIndex - r.firstSampleIndex) - 10.0 * t.rate * t.divisor) <= 1.0);
        EXPECT(r.cycleCount >= 0 && std::isfinite(r.frequency) && r.frequency >= 0.0 && (r.cycleCount == 0) == (r.frequency == 0.0) && (!r.flag || r.cycleCount > 0));
        t.nextInterval = r.endSampleIndex;
    }
}

// ---------------------------------------------------------------------------
// The detectors fed RMS values: of voltage events and of rapid voltage
// changes. They share their doors (addRmsValues, addPeriodResults), queues
// and start stamps; Api names a class's functions, its four thresholds (set
// by one setter or by two, two each) with their defaults, plausible ranges
// and rules.

// The functions both detectors have, by the prefix of their names.
#define DETECTOR_DOORS(p)                                                                                \
    static constexpr auto destroyFn = p##_destroy; static constexpr auto addRms = p##_addRmsValues;       \
    static constexpr auto addPeriods = p##_addPeriodResults; static constexpr auto events = p##_getEvents; \
    static constexpr auto running = p##_getRunningEvents; static constexpr auto setStamps = p##_setWindowStartStamps; \
    static constexpr auto getStamps = p##_getWindowStartStamps

struct VoltageEventApi {
    using H = VoltageEventDetectorHandle;
    DETECTOR_DOORS(voltageEventDetector);
    static constexpr size_t maxRunning = 3;
    static constexpr int setters = 1, defaultStamps = 0;
    static constexpr std::array<double, 4> defaults = {90.0, 110.0, 5.0, 2.0};  // dip, swell, interruption, hysteresis
    static constexpr double plausible[4][2] = {{50.0, 99.0}, {100.0, 150.0}, {0.0, 20.0}, {0.0, 10.0}};
    static H create(double declared, int phases, int) { return voltageEventDetector_create(declared, phases); }
    static bool acceptable(int, const double* t) { return 0.0 <= t[2] && t[2] < t[0] && t[0] < t[1] && t[3] >= 0.0 && t[0] + t[3] <= t[1] - t[3]; }
    static int32_t set(H h, int, const double* t) { return voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(h, t[0], t[1], t[2], t[3]); }
    static int32_t get(H h, double* t) { return voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(h, t, t + 1, t + 2, t + 3); }
};

struct RvcApi {
    using H = RapidVoltageChangeDetectorHandle;
    DETECTOR_DOORS(rapidVoltageChangeDetector);
    static constexpr size_t maxRunning = 1;
    static constexpr int setters = 2, defaultStamps = 2;
    static constexpr std::array<double, 4> defaults = {5.0, 2.5, 90.0, 110.0};  // threshold, hysteresis, dip, swell
    static constexpr double plausible[4][2] = {{0.5, 10.0}, {0.0, 5.0}, {0.0, 99.0}, {90.0, 150.0}};
    static H create(double declared, int phases, int length) { return rapidVoltageChangeDetector_create(declared, phases, length); }
    static bool acceptable(int which, const double* t) { return which == 0 ? t[0] > 0.0 && t[1] >= 0.0 && t[1] < t[0] : t[2] >= 0.0 && t[2] < t[3]; }
    static int32_t set(H h, int which, const double* t) { return (which == 0 ? setThresholds : setDipSwell)(h, t[2 * which], t[2 * which + 1]); }
    static int32_t get(H h, double* t) { return getThresholds(h, t, t + 1) | getDipSwell(h, t + 2, t + 3); }
    static constexpr auto setThresholds = rapidVoltageChangeDetector_setThresholdsInPercentOfDeclaredVoltage;
    static constexpr auto setDipSwell = rapidVoltageChangeDetector_setDipSwellThresholdsInPercentOfDeclaredVoltage;
    static constexpr auto getThresholds = rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage;
    static constexpr auto getDipSwell = rapidVoltageChangeDetector_getDipSwellThresholdsInPercentOfDeclaredVoltage;
};

template <typename Api>
struct Detector : Api {
    typename Api::H h = nullptr, twin = nullptr;
    int phases = 1, stamps = Api::defaultStamps;
    std::array<double, 4> thresholds = Api::defaults;
    // anyStamps: start stamps were ever on, so that a start may lie before the first value.
    bool anyStamps = Api::defaultStamps > 0, anyValue = false;
    // The declared voltage; times of the first and of the latest value
    // taken; end of the last event taken.
    double declared = 230.0, earliest = 0.0, latest = 0.0, lastEnd = -inf;
};
using EventDetector = Detector<VoltageEventApi>;
using RvcDetector = Detector<RvcApi>;

template <typename Api>
void create(FuzzedDataProvider& in, Detector<Api>& d) {
    const double declared = oneIn(in, 5) ? pickDouble(in) : in.PickValueInArray({230.0, 120.0, 400.0, 1.0});
    const int phases = oneIn(in, 6) ? in.PickValueInArray({0, -1, 33, 32, intMin, intMax}) : in.ConsumeIntegralInRange<int>(1, 4);
    const int length = oneIn(in, 6) ? in.PickValueInArray({0, -1, 1000000, 1000001, intMin, intMax}) : in.PickValueInArray({1, 2, 3, 5, 10, 100});
    const bool acceptable = std::isfinite(declared) && declared > 0.0 && phases >= 1 && phases <= maxPhases &&
                            (Api::setters == 1 || (length >= 1 && length <= 1000000));  // the length: an RVC's steady state
    if (make(d, acceptable, "create", Api::create, declared, phases, length)) {
        d.declared = declared;
        d.phases = phases;
    }
}

template <typename Api>
void check(const Detector<Api>& d) {
    double t[4] = {NaN, NaN, NaN, NaN};
    int stamps = untouchedInt;
    EXPECT(Api::get(d.h, t) == 0 && std::equal(t, t + 4, d.thresholds.begin()));
    EXPECT(Api::getStamps(d.h, &stamps) == 0 && stamps == d.stamps);
}

// One of the threshold setters (plausible values or hostile ones), or the
// start stamps (and their getter, which refuses a null out-parameter).
template <typename Api>
void settings(FuzzedDataProvider& in, Detector<Api>& d) {
    const int which = in.ConsumeIntegralInRange<int>(0, Api::setters);
    if (which == Api::setters) {
        const int stamps = in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 4) : in.PickValueInArray({64, 65, -1, intMin});
        if (BOTH(d, stamps >= 0 && stamps <= 64, Api::setStamps, stamps)) {
            d.stamps = stamps;
            d.anyStamps |= stamps > 0;
        }
        return refusesNull(Api::getStamps, d.h);
    }
    std::array<double, 4> t = d.thresholds;
    const bool plausible = in.ConsumeBool();
    for (int k = 0; k < 4; ++k)
        if (Api::setters == 1 || k / 2 == which) t[k] = plausible ? in.ConsumeFloatingPointInRange<double>(Api::plausible[k][0], Api::plausible[k][1]) : pickDouble(in);
    const bool finite = std::all_of(t.begin(), t.end(), [](double v) { return std::isfinite(v); });
    if (BOTH(d, finite && Api::acceptable(which, t.data()), Api::set, which, t.data())) d.thresholds = t;
}

// Mostly values near the declared voltage that start and end events, some
// beyond the thresholds, some hostile.
double rmsValue(FuzzedDataProvider& in, double declared) {
    if (oneIn(in, 16)) return in.PickValueInArray({NaN, inf, -inf, -1.0, -0.0, 0.0, 1e300, big, 5e-324});
    if (oneIn(in, 16)) return in.ConsumeFloatingPoint<double>();
    return declared * in.PickValueInArray({1.0, 1.0, 1.0, 0.99, 1.01, 0.97, 0.93, 0.95, 1.05, 1.07, 0.85, 1.15, 0.89, 0.91,
                                           1.09, 1.11, 0.5, 1.5, 0.06, 0.03, 0.0});
}

// A call the twin must refuse (a value that is not finite or negative, a
// time that is not finite, a negative count, a batch whose last item is
// bad), made between two blocks of what the object took whole: the twin
// must then go on exactly as if it had not been made.
template <typename Api>
void refuseOnTwin(FuzzedDataProvider& in, Detector<Api>& d, double time) {
    const size_t per = static_cast<size_t>(d.phases) + 1;
    std::vector<PowerResultsPeriod> r(2 * per);
    std::vector<double> values(per, d.declared);
    for (size_t k = 0; k < r.size(); ++k) { r[k].rmsVoltage = d.declared; r[k].time = time; }
    const int kind = in.ConsumeIntegralInRange<int>(0, 3);
    values[1] = kind == 0 ? NaN : kind == 1 ? -1.0 : d.declared;
    r[per + 1].rmsVoltage = -inf;
    const int32_t status = kind <= 1 ? Api::addRms(d.twin, time, &values[1])
                           : kind == 2 ? Api::addRms(d.twin, NaN, &values[1]) : Api::addPeriods(d.twin, r.data(), in.ConsumeBool() ? 2 : -1);
    EXPECT(checkStatus(status) == 1);
}

// A run of items as getPeriodResults hands them out (the total record and
// the later phase records' times NaN, which the detectors must not read): a
// level with a step in the first phase, at times a hostile value, at equal
// steps in time from the latest, at times a time that goes back or is not
// usable (beyond half the largest double a duration could overflow).
// Through one door (addRmsValues, one item; addPeriodResults, the run,
// checked whole); the twin takes what was taken in blocks of its own, each
// through one door or the other, with refused calls between them.
template <typename Api>
void feed(FuzzedDataProvider& in, Detector<Api>& d) {
    const bool periods = in.ConsumeBool(), null = oneIn(in, 16);
    const int items = periods ? pickCount(in, 150) : 1;
    const size_t n = items > 0 && !null ? static_cast<size_t>(items) : 0, per = static_cast<size_t>(d.phases) + 1;
    if (n > 200) return;
    std::vector<PowerResultsPeriod> r(std::max<size_t>(n, 1) * per);
    std::vector<double> values(r.size());  // their RMS values, for addRmsValues
    const double level = rmsValue(in, d.declared), factor = in.PickValueInArray({1.0, 0.94, 1.06, 0.8, 1.3, 0.96});
    const double dt = in.PickValueInArray({0.02, 0.01, 1.0 / 120.0, 0.0});
    const size_t stepAt = in.ConsumeIntegralInRange<size_t>(0, n);
    Detector<Api> next = d;
    bool acceptable = true;
    for (size_t i = 0; i < n; ++i) {
        const int kind = i == 0 || oneIn(in, 16) ? in.ConsumeIntegralInRange<int>(0, 7) : 7;  // 2 to 7: the next step
        const double time = kind == 0 ? pickDouble(in) : kind == 1 ? next.latest - in.ConsumeFloatingPointInRange<double>(0.0, 1.0) : next.latest + dt;
        acceptable = acceptable && std::fabs(time) <= big / 2 && (!next.anyValue || time >= next.latest);
        for (size_t k = 0; k < per; ++k) {
            const double v = k == 0 ? NaN : oneIn(in, 16) ? rmsValue(in, d.declared) : level * (i >= stepAt && k == 1 ? factor : 1.0);
            r[i * per + k].rmsVoltage = values[i * per + k] = v;
            r[i * per + k].time = k == 1 ? time : NaN;
            acceptable = acceptable && (k == 0 || (std::isfinite(v) && v >= 0.0));
        }
        next.earliest = next.anyValue ? next.earliest : time;
        next.anyValue = true; next.latest = time;
    }
    const int32_t status = periods ? call("addPeriodResults", Api::addPeriods, d.h, null ? nullptr : r.data(), items)
                                   : call("addRmsValues", Api::addRms, d.h, r[1].time, null ? nullptr : &values[1]);
    if (expectStatus(status, d.h && items >= 0 && !(null && items > 0) && acceptable) != 0) return;
    for (size_t i = 0; i < n;) {
        const size_t part = in.ConsumeIntegralInRange<size_t>(1, n - i);
        if (oneIn(in, 8)) refuseOnTwin(in, d, r[i * per + 1].time);
        if (in.ConsumeBool()) {
            EXPECT(Api::addPeriods(d.twin, &r[i * per], static_cast<int>(part)) == 0);
        } else {
            for (size_t j = i; j < i + part; ++j) EXPECT(Api::addRms(d.twin, r[j * per + 1].time, &values[j * per + 1]) == 0);
        }
        i += part;
    }
    d = next;
}

bool wellFormed(const VoltageEvent& e, uint32_t all) {
    return (e.type == VoltageEventDip || e.type == VoltageEventSwell || (e.type == VoltageEventInterruption && e.phases == all)) &&
           std::isfinite(e.duration) && std::isfinite(e.extremeVoltage) && e.extremeVoltage >= 0.0 && e.extremePercent >= 0.0;
}

bool wellFormed(const RapidVoltageChange& e, uint32_t) {
    return e.reserved == 0 && std::isfinite(e.deltaUss) && std::isfinite(e.deltaUmax) && std::fabs(e.deltaUss) <= e.deltaUmax &&
           e.deltaUmaxPercent >= 0.0 && !std::isnan(e.deltaUssPercent) && std::fabs(e.deltaUssPercent) <= e.deltaUmaxPercent;
}

// Finished events in the order they ended; running ones (a few at most) in
// the order they started. Closing the running events: the twin too.
template <typename Api>
void takeEvents(FuzzedDataProvider& in, Detector<Api>& d) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 7);
    if constexpr (std::is_same_v<Api, VoltageEventApi>)
        if (kind == 7) return (void)BOTH(d, true, voltageEventDetector_closeRunningEvents);
    const bool running = kind < 2;
    const auto [events] = take(in, running ? "getRunningEvents" : "getEvents", running ? Api::running : Api::events, d.h, d.twin, false);
    const uint32_t all = d.phases == 32 ? ~uint32_t(0) : (uint32_t(1) << d.phases) - 1u;
    EXPECT(!running || events.size() <= Api::maxRunning);
    for (size_t k = 0; k < events.size(); ++k) {
        const auto& e = events[k];
        const double end = e.startTime + e.duration;
        // Well formed (its kind; all phases for an interruption; deltaUmax at
        // least |deltaUss|, reserved 0), phases within the detector's, from
        // the first value (or its window, with start stamps) to the latest.
        EXPECT(wellFormed(e, all) && e.phases != 0 && (e.phases & ~all) == 0 && e.duration >= 0.0);
        EXPECT(std::isfinite(e.startTime) && (d.anyStamps || e.startTime >= d.earliest) && e.startTime <= d.latest);
        EXPECT(std::fabs(e.startTime) >= 1e290 || std::fabs(d.latest) >= 1e290 || end <= d.latest + 1e-9 * std::fabs(d.latest));
        EXPECT(!running || k == 0 || events[k - 1].startTime <= e.startTime);
        if (running || !std::isfinite(e.duration) || std::fabs(e.startTime) >= 1e290) continue;
        EXPECT(end >= d.lastEnd - 1e-9 * std::fabs(end));
        d.lastEnd = end;
    }
}

// ---------------------------------------------------------------------------
// Interval aggregator (the twin takes the windows in blocks of its own)

struct Aggregator {
    static constexpr auto destroyFn = intervalAggregator_destroy;
    IntervalAggregatorHandle h = nullptr, twin = nullptr;
    int valueCount = 0;
    double offset = 0.0, largest = 0.0;  // largest |value| taken
    double lastStart = -inf, lastEnd = 0.0;  // of the last window taken
    std::vector<bool> mean;
    bool anyMean = false;  // some value was ever aggregated as a mean
    double last[3] = {-inf, -inf, -inf};  // start, clock interval, clock interval of the last record of each stream
};
using Pending = std::array<int, 3>;  // closed intervals waiting in the three streams

void create(FuzzedDataProvider& in, Aggregator& a) {
    const int n = oneIn(in, 8) ? in.PickValueInArray({0, -1, 64, 100000, intMin}) : in.ConsumeIntegralInRange<int>(1, 4);
    const double offset = oneIn(in, 4) ? pickDouble(in) : in.PickValueInArray({0.0, 1.7e9, 599.9999995, -300.0, 86400.0, 1e15, -1e15});
    if (!MAKE(a, n >= 1 && std::fabs(offset) <= timeLimit, intervalAggregator_create, n, offset)) return (void)checkStatus(1);  // a reason left
    a.valueCount = n; a.offset = offset; a.mean.assign(static_cast<size_t>(n), false);
}

Pending pendingOf(const Aggregator& a) {
    Pending p = {untouchedInt, untouchedInt, untouchedInt};
    if (a.h == nullptr) return p;
    EXPECT(intervalAggregator_getPendingCounts(a.h, &p[0], &p[1]) == 0 && intervalAggregator_getPendingTwoHourCount(a.h, &p[2]) == 0);
    EXPECT(p[0] >= 0 && p[1] >= 0 && p[2] >= 0);
    return p;
}

bool grewFrom(const Pending& before, const Pending& after) { return after[0] >= before[0] && after[1] >= before[1] && after[2] >= before[2]; }

void check(const Aggregator& a) {
    int n = 0;
    EXPECT(intervalAggregator_getValueCount(a.h, &n) == 0 && n == a.valueCount);
    Aggregator twin;
    twin.h = a.twin;
    EXPECT(pendingOf(twin) == pendingOf(a));
    twin.h = nullptr;
}

// A call the twin must refuse, between two blocks of the windows the
// aggregator took whole: a value that is not finite, a batch whose last
// window ends before it starts, no values; start is the twin's last start.
void refuseOnTwin(FuzzedDataProvider& in, const Aggregator& a, double start) {
    const size_t per = static_cast<size_t>(a.valueCount);
    std::vector<double> v(2 * per, 1.0);
    const double s = std::isfinite(start) ? start : 0.0, starts[2] = {s, s}, ends[2] = {s + 0.2, s - 1.0};
    const int kind = in.ConsumeIntegralInRange<int>(0, 2);
    v[in.ConsumeIntegralInRange<size_t>(0, per - 1)] = in.PickValueInArray({NaN, inf, -inf});
    const int32_t status = kind == 0 ? intervalAggregator_addWindow(a.twin, s, s + 0.2, v.data(), false)
                           : kind == 1 ? intervalAggregator_addWindows(a.twin, 2, starts, ends, v.data() + per, nullptr)
                                       : intervalAggregator_addWindow(a.twin, s, s + 0.2, nullptr, true);
    EXPECT(checkStatus(status) == 1);
}

// Windows (one by addWindow or a batch by addWindows), each starting on
// after the last one mostly, across a tick of the clock now and then (just
// before, on, just after it), after a gap, with the last one's start
// (overlapping windows are allowed) or back in time rarely; values and
// lengths at times hostile. Windows only ever close intervals: the queues
// grow or stay.
void addWindows(FuzzedDataProvider& in, Aggregator& a) {
    const bool one = in.ConsumeBool();
    const int count = one ? 1 : pickCount(in, 40), nullArray = oneIn(in, 5) ? in.ConsumeIntegralInRange<int>(0, 3) : -1;
    const size_t n = count > 0 ? static_cast<size_t>(count) : 0, per = a.h ? static_cast<size_t>(a.valueCount) : 1;
    if (n > 4096 || n * per > (1 << 14)) return;  // more than the harness's arrays hold
    std::vector<double> starts(n + 1, a.lastStart), ends(n + 1, a.lastEnd), values(std::max<size_t>(n * per, 1));
    std::vector<unsigned char> flags(n + 1);  // window k at k + 1, the last one taken at 0
    bool acceptable = true;
    for (size_t k = 1; k <= n; ++k) {
        const double base = std::isfinite(starts[k - 1]) ? ends[k - 1] : 0.0, tick = (std::floor((base + a.offset) / 600.0) + 1.0) * 600.0 - a.offset;
        const int kind = in.ConsumeIntegralInRange<int>(0, 15);
        starts[k] = kind == 0 ? pickDouble(in) : kind == 1 ? starts[k - 1] - in.ConsumeFloatingPointInRange<double>(0.0, 1.0)
                  : kind == 2 ? tick + in.PickValueInArray({0.0, -1e-6, -0.5e-6, -2e-6, 1e-9, -0.1, 0.1, 600.0, 1200.0})
                  : kind == 3 ? base + in.ConsumeFloatingPointInRange<double>(0.0, 2000.0) : kind == 4 ? starts[k - 1] : base;
        ends[k] = starts[k] + (oneIn(in, 16) ? pickDouble(in) : in.PickValueInArray({0.2, 0.2, 0.19, 0.0}));
        double* v = &values[(k - 1) * per];
        for (size_t i = 0; i < per; ++i) v[i] = i > 0 && in.ConsumeBool() ? v[0] : oneIn(in, 6) ? pickDouble(in) : in.ConsumeFloatingPointInRange<double>(-400.0, 400.0);
        flags[k] = oneIn(in, 8);
        acceptable = acceptable && std::fabs(starts[k]) <= timeLimit && std::fabs(ends[k]) <= timeLimit && ends[k] >= starts[k] &&
                     starts[k] >= starts[k - 1] && std::all_of(v, v + per, [](double x) { return std::isfinite(x); });
    }
    const Pending before = pendingOf(a);
    const int32_t status =
        one ? CALL(intervalAggregator_addWindow, a.h, starts[1], ends[1], nullArray >= 0 ? nullptr : values.data(), flags[1] != 0)
            : CALL(intervalAggregator_addWindows, a.h, count, nullArray == 0 ? nullptr : &starts[1], nullArray == 1 ? nullptr : &ends[1],
                   nullArray == 2 ? nullptr : values.data(), nullArray == 3 ? nullptr : reinterpret_cast<const bool*>(&flags[1]));
    // Null flags mean none flagged; the other arrays are required when there
    // are windows, and a batch is refused whole.
    const bool arrays = one ? nullArray < 0 : count == 0 || nullArray < 0 || nullArray == 3;
    expectStatus(status, a.h && count >= 0 && arrays && (count == 0 || acceptable));
    const Pending after = pendingOf(a);
    EXPECT(status == 0 ? grewFrom(before, after) : after == before);
    if (status != 0 || n == 0) return;
    // The twin takes the same windows in blocks of its own, each by
    // addWindows or one by addWindow, with refused calls between them.
    if (!one && nullArray == 3) std::fill(flags.begin(), flags.end(), 0);
    for (size_t k = 1; k <= n;) {
        const size_t part = in.ConsumeIntegralInRange<size_t>(1, n - k + 1);
        if (oneIn(in, 8)) refuseOnTwin(in, a, starts[k - 1]);
        EXPECT((part == 1 && in.ConsumeBool() ? intervalAggregator_addWindow(a.twin, starts[k], ends[k], &values[(k - 1) * per], flags[k] != 0)
                                              : intervalAggregator_addWindows(a.twin, static_cast<int>(part), &starts[k], &ends[k], &values[(k - 1) * per],
                                                                              reinterpret_cast<const bool*>(&flags[k]))) == 0);
        k += part;
    }
    a.lastStart = starts[n]; a.lastEnd = ends[n];
    for (double v : values) a.largest = std::max(a.largest, std::fabs(v));
}

// A take from one stream (150/180-cycle, 10-minute, 2-hour): as many records
// as wait up to the capacity, the other streams left alone.
void takeIntervals(FuzzedDataProvider& in, Aggregator& a) {
    static constexpr decltype(&intervalAggregator_getTenMinuteIntervals) takes[] = {
        intervalAggregator_getThreeSecondIntervals, intervalAggregator_getTenMinuteIntervals, intervalAggregator_getTwoHourIntervals};
    const int stream = in.ConsumeIntegralInRange<int>(0, 2);
    const size_t per = a.h ? static_cast<size_t>(a.valueCount) : 1;
    Pending pending = pendingOf(a);  // less what is taken
    const auto [records, values] = take(in, "getIntervals", takes[stream], a.h, a.twin, true, pending[stream], per);
    pending[stream] -= static_cast<int>(records.size());
    EXPECT(pendingOf(a) == pending);
    // Records in order (of start; of clock interval or block, though a flush
    // may close one that later windows open again), whose first window
    // starts in their clock interval (up to the tick tolerance). An
    // aggregate lies within the range of the values taken, and is finite
    // however large they are; a root of a mean of squares is not negative.
    for (size_t k = 0; k < records.size(); ++k) {
        const IntervalAggregate& r = records[k];
        const double key = stream == 0 ? r.startTime : static_cast<double>(r.clockInterval), at = r.startTime + a.offset - 600.0 * key;
        EXPECT(r.windowCount >= 1 && std::isfinite(r.startTime) && std::isfinite(r.endTime) && r.endTime >= r.startTime && key >= a.last[stream]);
        EXPECT(reinterpret_cast<const unsigned char*>(&r)[28] <= 1 && reinterpret_cast<const unsigned char*>(&r)[29] <= 1);  // the flags
        EXPECT(stream != 0 || (r.windowCount <= 15 && r.complete == (r.windowCount == 15)));
        EXPECT(stream == 0 || (std::fabs(at - 300.0) < 300.0 + 1e-6 + 1e-12 * std::fabs(r.startTime + a.offset) && (stream == 1 || r.windowCount <= 12)));
        EXPECT(std::all_of(&values[k * per], &values[k * per] + per, [&](double v) {
            return std::isfinite(v) && std::fabs(v) <= a.largest * (1.0 + 1e-12) && (a.anyMean || v >= 0.0);
        }));
        a.last[stream] = key;
    }
}

// A value set to be a mean or not, read back (a null out-parameter is
// refused and nothing written); or the flush, which only closes intervals,
// and getters with null out-parameters.
void settings(FuzzedDataProvider& in, Aggregator& a) {
    const int index = oneIn(in, 6) ? in.PickValueInArray({-1, a.valueCount, intMax, intMin})
                                   : in.ConsumeIntegralInRange<int>(0, std::max(a.valueCount - 1, 0));
    const bool inRange = index >= 0 && index < a.valueCount, mean = in.ConsumeBool(), null = oneIn(in, 8);
    const Pending before = pendingOf(a);
    unsigned char got = untouched;
    int c[2] = {untouchedInt, untouchedInt};
    if (in.ConsumeBool()) {
        if (both(a, inRange, "intervalAggregator_setMeanAggregated", intervalAggregator_setMeanAggregated, index, mean)) {
            a.mean[static_cast<size_t>(index)] = mean;
            a.anyMean |= mean;
        }
        const int32_t status = CALL(intervalAggregator_getMeanAggregated, a.h, index, null ? nullptr : reinterpret_cast<bool*>(&got));
        return EXPECT(expectStatus(status, a.h && inRange && !null) != 0 ? got == untouched : got == a.mean[static_cast<size_t>(index)]);
    }
    both(a, true, "intervalAggregator_flush", intervalAggregator_flush);
    EXPECT(grewFrom(before, pendingOf(a)));
    expectStatus(CALL(intervalAggregator_getPendingCounts, a.h, null ? nullptr : c, null ? c + 1 : nullptr), false);
    EXPECT(c[0] == untouchedInt && c[1] == untouchedInt);
    refusesNull(null ? intervalAggregator_getValueCount : intervalAggregator_getPendingTwoHourCount, a.h);
}

// ---------------------------------------------------------------------------
// Flickermeter

struct Meter {
    static constexpr auto destroyFn = flickerMeter_destroy;
    static constexpr auto addFn = flickerMeter_addSamples;
    static constexpr int mostSamples = 1 << 15;
    static inline size_t budget = 0;
    FlickerMeterHandle h = nullptr, twin = nullptr;
    double rate = 1000.0, nominal = 50.0, phase = 0.0, offset = 0.0;
    uint64_t position = 0;
};

void create(FuzzedDataProvider& in, Meter& m) {
    const bool hostile = oneIn(in, 6);
    const double rate = hostile ? pickDouble(in) : in.PickValueInArray({1000.0, 1200.0, 2000.0, 2500.0, 4000.0});
    const double nominal = hostile ? pickDouble(in) : in.PickValueInArray({50.0, 60.0, 40.0, 70.0});
    const double lamp = oneIn(in, 8) ? pickDouble(in) : in.PickValueInArray({230.0, 120.0});
    const bool acceptable = nominal >= 40.0 && nominal <= 70.0 && rate >= 20.0 * nominal && rate <= 1e7 && (lamp == 230.0 || lamp == 120.0);
    if (MAKE(m, acceptable, flickerMeter_create, rate, nominal, lamp)) { m.rate = rate; m.nominal = nominal; }
}

void check(const Meter& m) {
    uint64_t position = ~uint64_t(0), twin = ~uint64_t(1);
    int64_t k = std::numeric_limits<int64_t>::min(), twinK = std::numeric_limits<int64_t>::max();
    EXPECT(flickerMeter_getSamplePosition(m.h, &position) == 0 && flickerMeter_getSamplePosition(m.twin, &twin) == 0);
    EXPECT(flickerMeter_getFirstClockInterval(m.h, &k) == 0 && flickerMeter_getFirstClockInterval(m.twin, &twinK) == 0);
    EXPECT(position == m.position && twin == m.position && k == twinK && std::fabs(static_cast<double>(k) - m.offset / 600.0) <= 1.0);
}

// The clock offset, mostly just before a 10-minute or a 2-hour tick, so that
// intervals and blocks close within an input; getters with a null
// out-parameter.
void settings(FuzzedDataProvider& in, Meter& m) {
    static const double table[] = {0.0, -0.0, 1e15, -1e15, 1.0000000000000002e15, inf, -inf, NaN, 1e300};
    const int kind = in.ConsumeIntegralInRange<int>(0, 3);
    if (kind == 2) return refusesNull(flickerMeter_getSamplePosition, m.h);
    if (kind == 3) return refusesNull(flickerMeter_getFirstClockInterval, m.h);
    const double offset = kind == 0 ? in.PickValueInArray({595.0, 599.5, 7195.0, 7199.0, 1800.0, -5.0, 86397.0, 590.0, 7190.0}) +
                                          600.0 * in.ConsumeIntegralInRange<int>(-3, 3)
                                    : fuzzinput::pickDouble(in, table, -1e15, 1e15, -7200.0, 7200.0);
    if (BOTH(m, std::fabs(offset) <= 1e15 && m.position == 0, flickerMeter_setClockOffset, offset)) m.offset = offset;
}

// The largest Pinst since the previous call, the twin's the same; or Pst or
// Plt (at times with their gap marks): NaN for an interval without Pinst
// values, else finite and not negative. A take refused for a null out-parameter takes nothing: the twin,
// not asked, still agrees at the next take.
void takeSeverities(FuzzedDataProvider& in, Meter& m) {
    double pinst = -2.0, twin = -3.0;
    const int kind = in.ConsumeIntegralInRange<int>(0, 3);
    if (kind >= 2) {
        if (expectStatus(CALL(flickerMeter_getInstantaneousMaximum, m.h, kind == 2 ? &pinst : nullptr), m.h != nullptr && kind == 2) != 0) return;
        EXPECT(std::isnan(pinst) || (std::isfinite(pinst) && pinst >= 0.0));
        return EXPECT(flickerMeter_getInstantaneousMaximum(m.twin, &twin) == 0 && std::memcmp(&pinst, &twin, sizeof pinst) == 0);
    }
    const auto wellFormed = [](double v) { return std::isnan(v) || (std::isfinite(v) && v >= 0.0); };
    if (in.ConsumeBool()) {  // with the gap marks, each a bool's value
        const auto [severities, gaps] = take(in, "getSeveritiesWithGaps", kind == 0 ? flickerMeter_getShortTermSeveritiesWithGaps : flickerMeter_getLongTermSeveritiesWithGaps, m.h, m.twin, true);
        EXPECT(std::all_of(severities.begin(), severities.end(), wellFormed));
        return EXPECT(std::all_of(gaps.begin(), gaps.end(), [](unsigned char g) { return g <= 1; }));
    }
    const auto [severities] = take(in, "getSeverities", kind == 0 ? flickerMeter_getShortTermSeverities : flickerMeter_getLongTermSeverities, m.h, m.twin, true);
    EXPECT(std::all_of(severities.begin(), severities.end(), wellFormed));
}

// ---------------------------------------------------------------------------

template <typename O>
using Op = void (*)(FuzzedDataProvider&, O&);

// One call on an object: choice 0 creates it (or destroys a live one, half
// the time), the others pick from ops (an operation listed twice comes twice
// as often). Then the getters must show what the harness holds.
template <typename O>
void step(FuzzedDataProvider& in, O& o, std::initializer_list<Op<O>> ops) {
    const size_t k = in.ConsumeIntegralInRange<size_t>(0, ops.size());
    if (k == 0 && o.h != nullptr && in.ConsumeBool()) { TRACE("destroy\n"); destroy(o); }
    else k == 0 ? create(in, o) : ops.begin()[k - 1](in, o);
    if (o.h != nullptr) check(o);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    struct { Tracker t; EventDetector e; Aggregator a; RvcDetector r; Meter m; } slots[slotCount], &first = slots[0];
    Tracker::budget = size_t(1) << 17;
    Meter::budget = size_t(1) << 16;
    // Most inputs start with one object of each class but the flickermeter
    // (whose samples cost the most) made as create makes it, so that the
    // script reaches the queues rather than stopping at creation.
    if (in.ConsumeIntegralInRange<int>(0, 3) != 0) { create(in, first.t); create(in, first.e); create(in, first.a); create(in, first.r); }
    for (int calls = 0; calls < 400 && in.remaining_bytes() > 0; ++calls) {
        auto& s = slots[in.ConsumeIntegralInRange<int>(0, slotCount - 1)];
        const int kind = in.ConsumeIntegralInRange<int>(0, 4);
        TRACE("[%d %d] ", kind, static_cast<int>(&s - slots));
        kind == 0   ? step<Tracker>(in, s.t, {setRangeOrLoss, addSamples, addSamples, addSamples, takeSegments, takeIntervals})
        : kind == 1 ? step<EventDetector>(in, s.e, {settings, feed, feed, feed, takeEvents, takeEvents})
        : kind == 2 ? step<Aggregator>(in, s.a, {settings, addWindows, addWindows, addWindows, takeIntervals, takeIntervals})
        : kind == 3 ? step<RvcDetector>(in, s.r, {settings, feed, feed, feed, takeEvents, takeEvents})
                    : step<Meter>(in, s.m, {settings, addSamples, addSamples, addSamples, takeSeverities, takeSeverities});
    }
    for (auto& s : slots) { destroy(s.t); destroy(s.e); destroy(s.a); destroy(s.r); destroy(s.m); }
    return 0;
}
