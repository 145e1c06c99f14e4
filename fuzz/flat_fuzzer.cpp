// libFuzzer harness of the flat interface. Each input is a script of calls,
// one opcode byte followed by its arguments, on up to three module handles
// (and on null handles): settings with hostile values (NaN, infinities,
// zero and negative rates, out-of-range grid types, huge buffer lengths),
// brackets opened and closed out of order, resets, samples written into the
// waveform rings (NaN and infinities included), frequency segments that
// overlap, leave gaps or break the contract, fetches of period and windowed
// results, and every query, sometimes with null out-parameters.
//
// The harness is a well-behaved host in one respect only: it writes samples
// within the ring it was given, that is only while it knows the ring's length
// (the last buffer length that an initialisation took without failing).
// Everything else is fair game: the library must answer every call with a
// status code, never crash, never leak, never read or write outside its
// storage, and when it returns 0 its out-parameters must be readable.
//
// Segments stay within 2^14 positions of the stream and inputs feed at most a
// few ten thousand positions in all, so that one input takes
// milliseconds: far jumps of the stream would spend the minute on skipped
// positions instead of on call sequences.
//
// Build: cmake -DPOWERQUALITY_BUILD_FUZZER=ON with clang (scripts/fuzz.sh).
#include <dlfcn.h>

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
#include "powerquality/PowerModuleApi.h"

namespace {

constexpr int slotCount = 3;
constexpr uint64_t maxPositionsPerInput = 1u << 16;
constexpr int maxSegmentLength = 1 << 14;

// What the harness knows of one module.
struct Slot {
    PowerModuleHandle handle = nullptr;
    int openBrackets = 0;       // beginUpdate minus endUpdate, as the module counts them
    bool lengthKnown = true;    // the last setBufferLength was taken
    unsigned int length = 0;    // the buffer length the module holds
    bool storageKnown = false;  // the last initialisation succeeded, with `storageLength`
    unsigned int storageLength = 0;
    uint64_t nextIndex = 0;     // caller index after the last segment
};

// Read by the error reporter and after every failed call when the library
// offers it (looked up at run time, so that the harness builds either way).
using LastErrorMessage = int32_t (*)(PowerModuleHandle, const char**);
LastErrorMessage lastErrorMessage = nullptr;
volatile size_t sink = 0;

void reporter(int32_t code, const char* message) { sink = sink + static_cast<size_t>(code) + std::strlen(message); }

void afterFailure(int32_t status, PowerModuleHandle handle) {
    if (status == 0 || lastErrorMessage == nullptr) {
        return;
    }
    const char* message = nullptr;
    if (lastErrorMessage(handle, &message) == 0 && message != nullptr) {
        sink = sink + std::strlen(message);
    }
}

double pickDouble(FuzzedDataProvider& in) {
    static const double table[] = {0.0,     -0.0,    1.0,     -1.0,   0.5,    45.0, 50.0, 55.0, 60.0, 100.0,
                                   4000.0,  10240.0, 12800.0, 1e-300, 1e300,
                                   std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::max(),
                                   std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                                   std::numeric_limits<double>::quiet_NaN()};
    return fuzzinput::pickDouble(in, table, 1.0, 20000.0, 40.0, 70.0);
}

float pickSample(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 15)) {
        case 0:
            return std::numeric_limits<float>::quiet_NaN();
        case 1:
            return std::numeric_limits<float>::infinity();
        case 2:
            return std::numeric_limits<float>::max();
        case 3:
            return in.ConsumeFloatingPoint<float>();
        default:
            return in.ConsumeFloatingPointInRange<float>(-400.0f, 400.0f);
    }
}

int pickInt(FuzzedDataProvider& in) {
    static const int table[] = {0, 1, 2, 3, 4, 10, 40, 50, 100, 120, 1000, -1, std::numeric_limits<int>::max(),
                                std::numeric_limits<int>::min()};
    if (in.ConsumeBool()) {
        return fuzzinput::pickFrom(in, table);
    }
    return in.ConsumeIntegral<int>();
}

unsigned int pickLength(FuzzedDataProvider& in) {
    static const unsigned int table[] = {0, 1, 2, 3, 10, 64, 200, 1024, 4096, 10240, 20480, 65536};
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0:
            return in.ConsumeIntegral<unsigned int>();
        case 1:
        case 2:
            return in.ConsumeIntegralInRange<unsigned int>(0, 1u << 16);
        default:
            return fuzzinput::pickFrom(in, table);
    }
}

// A call that may initialise: the module now holds storage of `length`
// exactly when the call succeeded outside any bracket.
void initialising(Slot& s, int32_t status) {
    if (status != 0) {
        s.storageKnown = false;
    } else if (s.openBrackets == 0) {
        s.storageKnown = s.lengthKnown;
        s.storageLength = s.length;
    }
}

void writeRing(FuzzedDataProvider& in, Slot& s, uint64_t& budget) {
    float* ring = nullptr;
    const unsigned char channel = in.ConsumeIntegralInRange<unsigned char>(0, 9);
    int32_t status;
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            status = getWaveformBufferUInput(s.handle, channel, &ring);
            break;
        case 1:
            status = getWaveformBufferI(s.handle, channel, &ring);
            break;
        case 2:
            status = getWaveformBufferUStar(s.handle, channel, &ring);
            break;
        default:
            status = getWaveformBufferUDelta(s.handle, channel, &ring);
            break;
    }
    afterFailure(status, s.handle);
    if (status != 0 || ring == nullptr || !s.storageKnown || s.storageLength == 0) {
        return;
    }
    const uint64_t first = in.ConsumeIntegralInRange<int>(0, 3) == 0
                               ? in.ConsumeIntegral<uint64_t>()
                               : s.nextIndex + in.ConsumeIntegralInRange<uint64_t>(0, 4096);
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, 2048);
    if (count > budget) {
        return;
    }
    budget -= count;
    const bool sine = in.ConsumeBool();
    const double amplitude = in.ConsumeFloatingPointInRange<double>(0.0, 400.0);
    const double step = in.ConsumeFloatingPointInRange<double>(0.0, 0.1);
    for (size_t k = 0; k < count; ++k) {
        const uint64_t position = first + k;
        ring[position % s.storageLength] =
            sine ? static_cast<float>(amplitude * std::sin(step * static_cast<double>(position))) : pickSample(in);
    }
}

void schedule(FuzzedDataProvider& in, Slot& s, uint64_t& budget) {
    const int count = in.ConsumeIntegralInRange<int>(-1, 6);
    const size_t n = count > 0 ? static_cast<size_t>(count) : 1;
    std::vector<uint64_t> first(n);
    std::vector<int> lengths(n);
    std::vector<double> frequencies(n);
    std::unique_ptr<bool[]> flags(new bool[n]);
    uint64_t next = s.nextIndex;
    for (size_t k = 0; k < n; ++k) {
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                first[k] = next + in.ConsumeIntegralInRange<uint64_t>(0, maxSegmentLength);
                break;
            case 1:
                first[k] = next - in.ConsumeIntegralInRange<uint64_t>(0, 64);
                break;
            default:
                first[k] = next;
                break;
        }
        switch (in.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                lengths[k] = in.PickValueInArray({0, -1, std::numeric_limits<int>::min()});
                break;
            case 1:
                lengths[k] = in.ConsumeIntegralInRange<int>(1, maxSegmentLength);
                break;
            default:
                lengths[k] = in.ConsumeIntegralInRange<int>(1, 1024);
                break;
        }
        frequencies[k] = in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(42.0, 69.0) : pickDouble(in);
        flags[k] = in.ConsumeBool();
        if (lengths[k] > 0) {
            next = first[k] + static_cast<uint64_t>(lengths[k]);
        }
    }
    // Positions fed: the segments themselves, and the gap to them when the
    // stream jumps ahead.
    const uint64_t span = next > s.nextIndex ? next - s.nextIndex : 0;
    if (span > budget) {
        return;
    }
    budget -= span;
    const bool nullArray = in.ConsumeIntegralInRange<int>(0, 31) == 0;
    const int32_t status = scheduleForPeriodCalculation(s.handle, count, nullArray ? nullptr : first.data(),
                                                        lengths.data(), frequencies.data(), flags.get());
    afterFailure(status, s.handle);
    TRACE("schedule %d segments -> %d\n", count, status);
    if (status == 0) {
        s.nextIndex = next;
    }
}

void fetchPeriodResults(FuzzedDataProvider& in, Slot& s);

// What a host does most of the time: a block of samples into every ring,
// one segment over it at a grid frequency, then a fetch.
void hostBlock(FuzzedDataProvider& in, Slot& s, uint64_t& budget) {
    const unsigned int count = in.ConsumeIntegralInRange<unsigned int>(1, 4096);
    if (count > budget) {
        return;
    }
    budget -= count;
    const double frequency = in.ConsumeFloatingPointInRange<double>(42.0, 69.0);
    const float amplitude = in.ConsumeBool() ? 325.0f : in.ConsumeFloatingPointInRange<float>(0.0f, 400.0f);
    if (s.storageKnown && s.storageLength > 0) {
        for (unsigned char k = 0; k < 3; ++k) {
            float* ring = nullptr;
            if (getWaveformBufferUInput(s.handle, k, &ring) != 0 || ring == nullptr) {
                continue;
            }
            for (unsigned int j = 0; j < count; ++j) {
                const uint64_t position = s.nextIndex + j;
                ring[position % s.storageLength] =
                    amplitude * static_cast<float>(std::sin(0.0307 * static_cast<double>(position) + k));
            }
        }
    }
    uint64_t first = s.nextIndex;
    int length = static_cast<int>(count);
    double f = frequency;
    bool flag = true;
    const int32_t status = scheduleForPeriodCalculation(s.handle, 1, &first, &length, &f, &flag);
    TRACE("host block %llu + %d at %.17g Hz -> %d\n", static_cast<unsigned long long>(first), length, f, status);
    afterFailure(status, s.handle);
    if (status == 0) {
        s.nextIndex += count;
    }
    fetchPeriodResults(in, s);
}

void fetchPeriodResults(FuzzedDataProvider& in, Slot& s) {
    for (int round = 0; round < 64; ++round) {
        int count = -1;
        bool more = false;
        PowerResultsPeriod* records = nullptr;
        const int32_t status = getPeriodResults(s.handle, &count, &more, &records);
        TRACE("getPeriodResults -> %d, count %d\n", status, count);
        afterFailure(status, s.handle);
        if (status != 0) {
            return;
        }
        // The records follow the layout of the last initialisation; while a
        // bracket is open or after a failed one the harness cannot know it.
        if (count > 0 && s.openBrackets == 0 && s.storageKnown) {
            unsigned char phases = 0;
            getPhasesCount(s.handle, &phases);
            // Every record handed out is readable.
            const size_t records_count = static_cast<size_t>(count) * (phases + 1u);
            double sum = 0.0;
            for (size_t r = 0; r < records_count; ++r) {
                sum += records[r].rmsVoltage + records[r].rvcVoltage.time + records[r].symmetricalComponent.voltageMagnitude;
            }
            sink = sink + (sum == sum ? 1 : 0);
        }
        if (!more || in.ConsumeBool()) {
            return;
        }
    }
}

void fetchResults(FuzzedDataProvider& in, Slot& s) {
    const int capacity = in.ConsumeIntegralInRange<int>(-1, 3);
    std::vector<PowerResultsGeneral> results(capacity > 0 ? static_cast<size_t>(capacity) : 1);
    int count = 0;
    const int32_t status = getResults(s.handle, capacity, &count, results.data());
    afterFailure(status, s.handle);
}

void query(FuzzedDataProvider& in, PowerModuleHandle h) {
    bool b;
    unsigned char c;
    unsigned short u;
    int i;
    double d;
    const bool null = in.ConsumeIntegralInRange<int>(0, 15) == 0;
    int32_t status;
    switch (in.ConsumeIntegralInRange<int>(0, 21)) {
        case 0: status = getCurrentEnabled(h, null ? nullptr : &b); break;
        case 1: status = getCurrentsCount(h, null ? nullptr : &c); break;
        case 2: status = getFullFftEnabled(h, null ? nullptr : &b); break;
        case 3: status = getFundamentalPeriodValuesEnabled(h, null ? nullptr : &b); break;
        case 4: status = getHalfPeriodValuesCount(h, null ? nullptr : &u); break;
        case 5: status = getHighestRequestedHarmonic(h, null ? nullptr : &i); break;
        case 6: status = getInterHarmonicsEnabled(h, null ? nullptr : &b); break;
        case 7: status = getLineToLineResultsEnabled(h, null ? nullptr : &b); break;
        case 8: status = getPeriodSymmetricalComponentsEnabled(h, null ? nullptr : &b); break;
        case 9: status = getPeriodValuesEnabled(h, null ? nullptr : &b); break;
        case 10: status = getPeriodValuesOverlapInPercent(h, null ? nullptr : &u); break;
        case 11: status = getPhasesCount(h, null ? nullptr : &c); break;
        case 12: status = getRvcEnabled(h, null ? nullptr : &b); break;
        case 13: status = getRvcSteadyStateLengthInNumberOfPeriodValues(h, null ? nullptr : &i); break;
        case 14: status = getRvcThresholdHysteresisInPercentOfThreshold(h, null ? nullptr : &d); break;
        case 15: status = getRvcThresholdInPercentOfAverage(h, null ? nullptr : &d); break;
        case 16: status = getSymmetricalComponentsEnabled(h, null ? nullptr : &b); break;
        case 17: status = getThdEnabled(h, null ? nullptr : &b); break;
        case 18: status = getThdHighestHarmonic(h, null ? nullptr : &i); break;
        case 19: status = getVoltagesCount(h, null ? nullptr : &c); break;
        case 20: status = getWaveformsEnabled(h, null ? nullptr : &b); break;
        default: status = isAnyResultReady(h, null ? nullptr : &b); break;
    }
    afterFailure(status, h);
}

// Switches that request an initialisation.
int32_t setSwitch(FuzzedDataProvider& in, PowerModuleHandle h) {
    const bool on = in.ConsumeBool();
    switch (in.ConsumeIntegralInRange<int>(0, 11)) {
        case 0: return setCurrentEnabled(h, on);
        case 1: return setFullFftEnabled(h, on);
        case 2: return setFundamentalPeriodValuesEnabled(h, on);
        case 3: return setInterHarmonicsEnabled(h, on);
        case 4: return setLineToLineResultsEnabled(h, on);
        case 5: return setPeriodSymmetricalComponentsEnabled(h, on);
        case 6: return setPeriodValuesEnabled(h, on);
        case 7: return setRvcEnabled(h, on);
        case 8: return setSymmetricalComponentsEnabled(h, on);
        case 9: return setThdEnabled(h, on);
        case 10: return setWaveformsEnabled(h, on);
        default: return setPeriodCount(h, in.ConsumeIntegral<unsigned short>());
    }
}

void step(FuzzedDataProvider& in, Slot* slots, uint64_t& budget) {
    Slot& s = slots[in.ConsumeIntegralInRange<int>(0, slotCount - 1)];
    TRACE("[%d] ", static_cast<int>(&s - slots));
    const PowerModuleHandle h = s.handle;
    int32_t status = 0;
    switch (in.ConsumeIntegralInRange<int>(0, 23)) {
        case 20:
        case 21:
        case 22:
        case 23:
            hostBlock(in, s, budget);
            return;
        case 0:  // a module comes and goes
            TRACE("slot %d %s\n", static_cast<int>(&s - slots), h == nullptr ? "create" : "destroy");
            if (h == nullptr) {
                s = Slot();
                s.handle = powerModule_create();
            } else {
                powerModule_destroy(h);
                s = Slot();
            }
            return;
        case 1:
            status = beginUpdate(h);
            TRACE("beginUpdate -> %d\n", status);
            if (status == 0) {
                ++s.openBrackets;
            }
            break;
        case 2:
            status = endUpdate(h);
            TRACE("endUpdate -> %d\n", status);
            if (h != nullptr) {
                --s.openBrackets;
                initialising(s, status);
            }
            break;
        case 3:
            status = setGridConfigType(h, static_cast<PowerGridConfigType>(in.ConsumeIntegralInRange<int>(-1, 9)));
            TRACE("setGridConfigType -> %d\n", status);
            initialising(s, status);
            break;
        case 4: {
            const double rate = pickDouble(in);
            const int divisor = in.PickValueInArray({1, 1, 1, 2, 4, 10, 0, -1, std::numeric_limits<int>::min()});
            status = setSampleRate(h, rate, divisor);
            TRACE("setSampleRate(%.17g, %d) -> %d\n", rate, divisor, status);
            initialising(s, status);
            break;
        }
        case 5: {
            const unsigned int length = pickLength(in);
            status = setBufferLength(h, length);
            TRACE("setBufferLength(%u) -> %d\n", length, status);
            s.lengthKnown = status == 0;
            s.length = length;
            initialising(s, status);
            break;
        }
        case 6: {
            const double a = pickDouble(in);
            const double b = pickDouble(in);
            status = in.ConsumeBool() ? setStaticFrequency(h, a, b) : setVariableFrequency(h, a, b);
            initialising(s, status);
            break;
        }
        case 7:
            status = setSwitch(in, h);
            TRACE("switch -> %d\n", status);
            initialising(s, status);
            break;
        case 8:
            TRACE("half periods or overlap\n");
            status = in.ConsumeBool() ? setHalfPeriodValuesCount(h, in.PickValueInArray<unsigned short>({0, 1, 2, 3, 4, 20, 65535}))
                                      : setPeriodValuesOverlapInPercent(h, in.PickValueInArray<unsigned short>({0, 25, 50, 75, 99, 100, 101, 65535}));
            break;
        case 9:
            switch (in.ConsumeIntegralInRange<int>(0, 2)) {
                case 0: status = setRvcSteadyStateLengthInNumberOfPeriodValues(h, in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 130) : pickInt(in)); break;
                case 1: status = setRvcThresholdInPercentOfAverage(h, pickDouble(in)); break;
                default: status = setRvcThresholdHysteresisInPercentOfThreshold(h, pickDouble(in)); break;
            }
            initialising(s, status);
            break;
        case 10:
            status = in.ConsumeBool() ? setHighestRequestedHarmonic(h, pickInt(in)) : setThdHighestHarmonic(h, pickInt(in));
            initialising(s, status);
            break;
        case 11: {
            const uint64_t first = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 100000) : in.ConsumeIntegral<uint64_t>();
            status = reset(h, first);
            TRACE("reset(%llu) -> %d\n", static_cast<unsigned long long>(first), status);
            if (status == 0) {
                s.nextIndex = first;
            }
            break;
        }
        case 12:
        case 13:
            writeRing(in, s, budget);
            return;
        case 14:
        case 15:
            schedule(in, s, budget);
            return;
        case 16:
            fetchPeriodResults(in, s);
            return;
        case 17:
            fetchResults(in, s);
            return;
        case 18:
            query(in, h);
            return;
        default:
            switch (in.ConsumeIntegralInRange<int>(0, 4)) {
                case 0: status = skipSamples(h, in.ConsumeIntegralInRange<unsigned int>(0, 100000)); break;
                case 1: status = ::writeSamples(h, in.ConsumeIntegral<unsigned int>()); break;
                case 2: status = syncCuda(h); break;
                case 3: status = scheduleForCalculation(h, in.ConsumeIntegral<uint64_t>(), pickInt(in), pickDouble(in)); break;
                default: status = registerErrorReporter(in.ConsumeBool() ? reporter : nullptr); break;
            }
            break;
    }
    afterFailure(status, h);
}

// Most inputs start from a module set up as a host would set it up (period
// values, RVC with a short steady window so that events come within one
// input, rings filled with a sine, reset to 0), so that the hostile calls
// reach the period path and the detectors rather than stopping at the
// default sample rate.
void configure(FuzzedDataProvider& in, Slot& s) {
    const PowerModuleHandle h = s.handle;
    const unsigned int length = in.PickValueInArray<unsigned int>({256, 1024, 4096, 10240});
    const double rate = in.PickValueInArray({4000.0, 10240.0, 12800.0});
    const double nominal = in.PickValueInArray({50.0, 60.0});
    const int grid = in.ConsumeIntegralInRange<int>(0, 7);
    const int divisor = in.PickValueInArray({1, 1, 2, 4});
    const bool fixed = in.ConsumeBool();
    const bool currents = in.ConsumeBool();
    const bool lineToLine = in.ConsumeBool();
    const bool fundamental = in.ConsumeBool();
    const bool symmetrical = in.ConsumeBool();
    const unsigned short halfPeriods = in.PickValueInArray<unsigned short>({1, 2, 2, 4});
    const unsigned short overlap = in.PickValueInArray<unsigned short>({0, 0, 50});
    const int steady = in.PickValueInArray({1, 3, 8, 20});
    const double threshold = in.PickValueInArray({0.0, 1.0, 2.0, 5.0});
    TRACE("configure: grid %d, rate %g / %d, length %u, %s %g Hz, currents %d, line-to-line %d, fundamental %d, "
          "symmetrical %d, half periods %u, overlap %u, steady %d, threshold %g\n",
          grid, rate, divisor, length, fixed ? "static" : "variable", nominal, currents, lineToLine, fundamental,
          symmetrical, halfPeriods, overlap, steady, threshold);
    beginUpdate(h);
    setGridConfigType(h, static_cast<PowerGridConfigType>(grid));
    setSampleRate(h, rate, divisor);
    setBufferLength(h, length);
    if (fixed) {
        setStaticFrequency(h, nominal, 0.1);
    } else {
        setVariableFrequency(h, 42.0, 69.0);
    }
    setCurrentEnabled(h, currents);
    setLineToLineResultsEnabled(h, lineToLine);
    setPeriodValuesEnabled(h, true);
    setFundamentalPeriodValuesEnabled(h, fundamental);
    setPeriodSymmetricalComponentsEnabled(h, symmetrical);
    setHalfPeriodValuesCount(h, halfPeriods);
    setPeriodValuesOverlapInPercent(h, overlap);
    setRvcEnabled(h, true);
    setRvcSteadyStateLengthInNumberOfPeriodValues(h, steady);
    setRvcThresholdInPercentOfAverage(h, threshold);
    const int32_t status = endUpdate(h);
    TRACE("configured: length %u, rate %g -> %d\n", length, rate, status);
    if (status != 0 || reset(h, 0) != 0) {
        return;
    }
    s.length = length;
    s.storageLength = length;
    s.storageKnown = true;
    float* rings[18] = {};
    for (unsigned char k = 0; k < 3; ++k) {
        getWaveformBufferUInput(h, k, &rings[k]);
        getWaveformBufferI(h, k, &rings[3 + k]);
        getWaveformBufferUStar(h, k, &rings[6 + k]);
        getWaveformBufferUDelta(h, k, &rings[9 + k]);
    }
    for (float* ring : rings) {
        if (ring == nullptr) {
            continue;
        }
        for (unsigned int p = 0; p < length; ++p) {
            ring[p] = static_cast<float>(325.0 * std::sin(2.0 * 3.141592653589793 * nominal * p / rate));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzinput::traceFromEnvironment();
    lastErrorMessage = reinterpret_cast<LastErrorMessage>(dlsym(RTLD_DEFAULT, "getLastErrorMessage"));
    registerErrorReporter(reporter);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Slot slots[slotCount];
    slots[0].handle = powerModule_create();
    if (in.ConsumeIntegralInRange<int>(0, 3) != 0) {
        configure(in, slots[0]);
    }
    uint64_t budget = maxPositionsPerInput;
    for (int calls = 0; calls < 400 && in.remaining_bytes() > 0; ++calls) {
        step(in, slots, budget);
    }
    for (Slot& s : slots) {
        powerModule_destroy(s.handle);
    }
    return 0;
}
