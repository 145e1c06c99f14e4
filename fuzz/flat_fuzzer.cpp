// libFuzzer harness of the module's flat interface. Each input is a script
// of calls, a slot and an opcode followed by their arguments, on up to three
// module handles (and on null handles): settings with hostile values (NaN,
// infinities, zero and negative rates, out-of-range grid types, huge buffer
// lengths), brackets opened and closed out of order, resets, samples written
// into the waveform rings (NaN and infinities included), frequency segments
// that overlap, leave gaps or break the contract, fetches of period and
// windowed results, and every query, sometimes with null out-parameters.
//
// The harness is a well-behaved host in one respect only: it writes samples
// within the ring it was given, that is only while it knows the ring's length
// (the last buffer length that an initialisation took without failing).
// Everything else is fair game: the library must answer every call with a
// status code from 0 to 3 and a message for getLastErrorMessage on any
// failure, never crash, never leak, never read or write outside its
// storage, and when it returns 0 its out-parameters must be readable.
//
// Segments stay within 2^14 positions of the stream and inputs feed at most a
// few ten thousand positions in all, so that one input takes milliseconds:
// far jumps of the stream would spend the minute on skipped positions
// instead of on call sequences.
//
// Build: cmake -DPOWERQUALITY_BUILD_FUZZER=ON with clang (scripts/fuzz.sh);
// replay: build-fuzz/fuzz/flat_fuzzer FILE, with POWERQUALITY_FUZZ_TRACE=1
// to print every call. Seeds: fuzz/corpus/, the few inputs that cover
// every edge a run of the harness covered (scripts/fuzz-seeds.sh).
#include <iterator>

#include "FuzzInput.h"

namespace {

using namespace fuzzinput;

constexpr int slotCount = 3, maxSegmentLength = 1 << 14;
uint64_t budget = 0;  // positions left to feed in this input
volatile size_t sink = 0;

// What the harness knows of one module: beginUpdate minus endUpdate, as the
// module counts them; whether the last setBufferLength was taken, and whether
// the last initialisation succeeded, with `storageLength`; the buffer length
// the module holds; the caller index after the last segment.
struct Slot {
    PowerModuleHandle h = nullptr;
    int openBrackets = 0;
    bool lengthKnown = true, storageKnown = false;
    unsigned int length = 0, storageLength = 0;
    uint64_t nextIndex = 0;
};

void reporter(int32_t code, const char* message) { sink = sink + static_cast<size_t>(code) + std::strlen(message); }

double pickDouble(FuzzedDataProvider& in) {
    static const double table[] = {0.0,    -0.0,  1.0,    -1.0,   0.5,    45.0,  50.0, 55.0, 60.0, 100.0, 4000.0, 10240.0,
                                   12800.0, 1e-300, 1e300, 5e-324, std::numeric_limits<double>::max(), inf, -inf, NaN};
    return fuzzinput::pickDouble(in, table, 1.0, 20000.0, 40.0, 70.0);
}

int pickInt(FuzzedDataProvider& in) {
    return in.ConsumeBool() ? in.PickValueInArray({0, 1, 2, 3, 4, 10, 40, 50, 100, 120, 1000, -1, intMax, intMin})
                            : in.ConsumeIntegral<int>();
}

// A call that may initialise: the module now holds storage of `length`
// exactly when the call succeeded outside any bracket.
int32_t initialising(Slot& s, int32_t status) {
    s.storageKnown = status == 0 && (s.openBrackets == 0 ? s.lengthKnown : s.storageKnown);
    s.storageLength = status == 0 && s.openBrackets == 0 ? s.length : s.storageLength;
    return status;
}

const decltype(&getWaveformBufferI) rings[] = {getWaveformBufferUInput, getWaveformBufferI, getWaveformBufferUStar, getWaveformBufferUDelta};

// Every record handed out is readable. They follow the layout of the last
// initialisation; while a bracket is open or after a failed one the harness
// cannot know it.
void fetchPeriodResults(FuzzedDataProvider& in, Slot& s) {
    int count = -1;
    bool more = true;
    PowerResultsPeriod* records = nullptr;
    unsigned char phases = 0;
    for (int round = 0; round < 64 && more && checkStatus(CALL(getPeriodResults, s.h, &count, &more, &records), 3) == 0; ++round) {
        if (count > 0 && s.openBrackets == 0 && s.storageKnown && getPhasesCount(s.h, &phases) == 0)
            for (size_t r = 0; r < static_cast<size_t>(count) * (phases + 1u); ++r)
                sink = sink + (records[r].rmsVoltage + records[r].rvcVoltage.time + records[r].symmetricalComponent.voltageMagnitude > 0.0);
        more = more && !in.ConsumeBool();
    }
}

// Samples into the rings and segments over them. Mostly what a host does: a
// block of a sine into the voltage rings from the end of the stream on, one
// segment over it at a grid frequency, then a fetch. Else hostile: one ring
// of any kind and channel, from any position, with NaN and infinities, and
// up to six segments on, ahead of or back into the stream, of hostile
// lengths and frequencies, at times with a null array.
void feed(FuzzedDataProvider& in, Slot& s) {
    const bool host = in.ConsumeBool();
    const uint64_t first = host ? s.nextIndex : oneIn(in, 4) ? in.ConsumeIntegral<uint64_t>() : s.nextIndex + in.ConsumeIntegralInRange<uint64_t>(0, 4096);
    const unsigned int count = in.ConsumeIntegralInRange<unsigned int>(host ? 1 : 0, 4096);
    const double amplitude = in.ConsumeBool() ? 325.0 : in.ConsumeFloatingPointInRange<double>(0.0, 400.0);
    const int accessor = host ? 0 : in.ConsumeIntegralInRange<int>(0, 3);
    const bool hostile = !host && in.ConsumeBool();
    if (count > budget) return;
    budget -= count;
    for (unsigned char k = host ? 0 : in.ConsumeIntegralInRange<unsigned char>(0, 9), last = host ? 2 : k; k <= last; ++k) {
        float* ring = nullptr;
        if (checkStatus(call("ring", rings[accessor], s.h, k, &ring), 3) != 0 || ring == nullptr || !s.storageKnown || s.storageLength == 0) continue;
        for (uint64_t p = first; p != first + count; ++p) {
            const int kind = hostile ? in.ConsumeIntegralInRange<int>(0, 15) : -1;
            ring[p % s.storageLength] = kind < 0    ? static_cast<float>(amplitude * std::sin(0.0307 * static_cast<double>(p) + k))
                                        : kind == 0 ? std::numeric_limits<float>::quiet_NaN()
                                        : kind == 1 ? std::numeric_limits<float>::infinity()
                                        : kind == 2 ? in.ConsumeFloatingPoint<float>()
                                                    : in.ConsumeFloatingPointInRange<float>(-400.0f, 400.0f);
        }
    }
    const int segments = host ? 1 : in.ConsumeIntegralInRange<int>(-1, 6);
    const size_t n = segments > 0 ? static_cast<size_t>(segments) : 1;
    std::vector<uint64_t> starts(n);
    std::vector<int> lengths(n);
    std::vector<double> frequencies(n);
    std::vector<unsigned char> flags(n, 1);
    uint64_t next = s.nextIndex;
    for (size_t k = 0; k < n; ++k) {
        const int where = host ? 2 : in.ConsumeIntegralInRange<int>(0, 7), kind = host ? -1 : in.ConsumeIntegralInRange<int>(0, 7);
        starts[k] = where == 0 ? next + in.ConsumeIntegralInRange<uint64_t>(0, maxSegmentLength) : where == 1 ? next - in.ConsumeIntegralInRange<uint64_t>(0, 64) : next;
        lengths[k] = kind < 0 ? static_cast<int>(count) : kind == 0 ? in.PickValueInArray({0, -1, intMin}) : in.ConsumeIntegralInRange<int>(1, kind == 1 ? maxSegmentLength : 1024);
        frequencies[k] = host || in.ConsumeBool() ? in.ConsumeFloatingPointInRange<double>(42.0, 69.0) : pickDouble(in);
        flags[k] = host || in.ConsumeBool();
        next = lengths[k] > 0 ? starts[k] + static_cast<uint64_t>(lengths[k]) : next;
    }
    // Positions fed: the segments, and the gap to them when the stream jumps.
    const uint64_t span = next > s.nextIndex ? next - s.nextIndex : 0;
    if (span > budget) return;
    budget -= span;
    const int32_t status = CALL(scheduleForPeriodCalculation, s.h, segments, !host && oneIn(in, 32) ? nullptr : starts.data(), lengths.data(),
                                frequencies.data(), reinterpret_cast<bool*>(flags.data()));
    s.nextIndex = checkStatus(status, 3) == 0 ? next : s.nextIndex;
    if (host) fetchPeriodResults(in, s);
}

// One of the getters in fns, its out-parameter null at times.
template <typename T, size_t N>
int32_t ask(FuzzedDataProvider& in, PowerModuleHandle h, bool null, int32_t (*const (&fns)[N])(PowerModuleHandle, T*)) {
    T value;
    return call("query", fns[in.ConsumeIntegralInRange<size_t>(0, N - 1)], h, null ? nullptr : &value);
}

// Every query, now and then with a null out-parameter.
int32_t query(FuzzedDataProvider& in, PowerModuleHandle h) {
    const bool null = oneIn(in, 16);
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 0: return ask(in, h, null, {getCurrentsCount, getPhasesCount, getVoltagesCount});
        case 1: return ask(in, h, null, {getHalfPeriodValuesCount, getPeriodValuesOverlapInPercent});
        case 2: return ask(in, h, null, {getHighestRequestedHarmonic, getThdHighestHarmonic, getRvcSteadyStateLengthInNumberOfPeriodValues});
        case 3: return ask(in, h, null, {getRvcThresholdHysteresisInPercentOfThreshold, getRvcThresholdInPercentOfAverage});
        default:
            return ask(in, h, null, {getCurrentEnabled, getFullFftEnabled, getFundamentalPeriodValuesEnabled, getInterHarmonicsEnabled,
                                     getLineToLineResultsEnabled, getPeriodSymmetricalComponentsEnabled, getPeriodValuesEnabled, getRvcEnabled,
                                     getSymmetricalComponentsEnabled, getThdEnabled, getWaveformsEnabled, getWindowedResultsEnabled,
                                     getHarmonicSubgroupsEnabled, isAnyResultReady});
    }
}

// Settings that request an initialisation.
int32_t setting(FuzzedDataProvider& in, Slot& s) {
    static const decltype(&setCurrentEnabled) switches[] = {
        setCurrentEnabled, setFullFftEnabled, setFundamentalPeriodValuesEnabled, setInterHarmonicsEnabled, setLineToLineResultsEnabled,
        setPeriodSymmetricalComponentsEnabled, setPeriodValuesEnabled, setRvcEnabled, setSymmetricalComponentsEnabled, setThdEnabled,
        setWaveformsEnabled, setWindowedResultsEnabled, setHarmonicSubgroupsEnabled};
    const int kind = in.ConsumeIntegralInRange<int>(0, 9);
    const double a = kind <= 3 ? pickDouble(in) : 0.0, b = kind <= 1 ? pickDouble(in) : 0.0;
    switch (kind) {
        case 0: return CALL(setStaticFrequency, s.h, a, b);
        case 1: return CALL(setVariableFrequency, s.h, a, b);
        case 2: return call("setRvcThreshold", in.ConsumeBool() ? setRvcThresholdInPercentOfAverage : setRvcThresholdHysteresisInPercentOfThreshold, s.h, a);
        case 3: return CALL(setSampleRate, s.h, a, in.PickValueInArray({1, 1, 1, 2, 4, 10, 0, -1, intMin}));
        case 4: {
            const auto set = in.PickValueInArray({setHighestRequestedHarmonic, setThdHighestHarmonic, setRvcSteadyStateLengthInNumberOfPeriodValues});
            return call("setHarmonicOrSteadyState", set, s.h, in.ConsumeBool() ? in.ConsumeIntegralInRange<int>(0, 130) : pickInt(in));
        }
        case 5: return CALL(setGridConfigType, s.h, static_cast<PowerGridConfigType>(in.ConsumeIntegralInRange<int>(-1, 9)));
        case 6: return CALL(setPeriodCount, s.h, in.ConsumeIntegral<unsigned short>());
        case 7: { const bool on = in.ConsumeBool(); return call("switch", switches[in.ConsumeIntegralInRange<size_t>(0, std::size(switches) - 1)], s.h, on); }
        default: {
            const unsigned int length = in.ConsumeBool() ? in.ConsumeIntegralInRange<unsigned int>(0, 1u << 16) : oneIn(in, 4) ? in.ConsumeIntegral<unsigned int>()
                                      : in.PickValueInArray<unsigned int>({0, 1, 2, 3, 10, 64, 200, 1024, 4096, 10240, 20480, 65536});
            const int32_t status = CALL(setBufferLength, s.h, length);
            s.lengthKnown = status == 0; s.length = length;
            return status;
        }
    }
}

void step(FuzzedDataProvider& in, Slot* slots) {
    Slot& s = slots[in.ConsumeIntegralInRange<int>(0, slotCount - 1)];
    TRACE("[%d] ", static_cast<int>(&s - slots));
    const PowerModuleHandle h = s.h;
    const int kind = in.ConsumeIntegralInRange<int>(0, 19);  // 0 to 13, and feeds
    static std::vector<PowerResultsGeneral> results(4);
    int count = 0;
    // A reset's first index, or a schedule's periods and first index (read in this order).
    const int periods = kind == 9 ? pickInt(in) : 0;
    const uint64_t first = kind == 9 ? in.ConsumeIntegral<uint64_t>() : kind != 6 ? 0
                           : in.ConsumeBool() ? in.ConsumeIntegralInRange<uint64_t>(0, 100000) : in.ConsumeIntegral<uint64_t>();
    int32_t status = 0;
    switch (kind) {
        case 0:  // a module comes and goes
            EXPECT(h == nullptr || CALL(powerModule_destroy, h) == 0);
            s = Slot(); s.h = h == nullptr ? CALL(powerModule_create) : nullptr;
            return;
        case 1: s.openBrackets += (status = CALL(beginUpdate, h)) == 0 ? 1 : 0; break;
        case 2:
            status = CALL(endUpdate, h);
            if (h != nullptr) { --s.openBrackets; initialising(s, status); }
            break;
        case 3:
        case 4: status = initialising(s, setting(in, s)); break;
        case 5:
            status = in.ConsumeBool() ? CALL(setHalfPeriodValuesCount, h, in.PickValueInArray<unsigned short>({0, 1, 2, 3, 4, 20, 65535}))
                                      : CALL(setPeriodValuesOverlapInPercent, h, in.PickValueInArray<unsigned short>({0, 25, 50, 75, 99, 100, 101, 65535})); break;
        case 6: s.nextIndex = (status = CALL(reset, h, first)) == 0 ? first : s.nextIndex; break;
        case 7: return fetchPeriodResults(in, s);
        case 8: status = CALL(getResults, h, in.ConsumeIntegralInRange<int>(-1, 3), &count, results.data()); break;
        case 9: status = CALL(scheduleForCalculation, h, first, periods, pickDouble(in)); break;
        case 10: status = CALL(skipSamples, h, in.ConsumeIntegralInRange<unsigned int>(0, 100000)); break;
        case 11: status = in.ConsumeBool() ? CALL(writeSamples, h, in.ConsumeIntegral<unsigned int>()) : CALL(syncCuda, h); break;
        case 12: status = CALL(registerErrorReporter, in.ConsumeBool() ? reporter : nullptr); break;
        case 13: status = query(in, h); break;
        default: return feed(in, s);
    }
    checkStatus(status, 3);
}

// Most inputs start from a module set up as a host would set it up (period
// values, RVC with a short steady window so that events come within one
// input, reset to 0), so that the hostile calls
// reach the period path and the detectors rather than stopping at the
// default sample rate.
void configure(FuzzedDataProvider& in, Slot& s) {
    const PowerModuleHandle h = s.h;
    const unsigned int length = in.PickValueInArray<unsigned int>({256, 1024, 4096, 10240});
    const double rate = in.PickValueInArray({4000.0, 10240.0, 12800.0}), nominal = in.PickValueInArray({50.0, 60.0});
    CALL(beginUpdate, h);
    CALL(setGridConfigType, h, static_cast<PowerGridConfigType>(in.ConsumeIntegralInRange<int>(0, 7)));
    CALL(setSampleRate, h, rate, in.PickValueInArray({1, 1, 2, 4}));
    CALL(setBufferLength, h, length);
    in.ConsumeBool() ? CALL(setStaticFrequency, h, nominal, 0.1) : CALL(setVariableFrequency, h, 42.0, 69.0);
    for (const auto set : {setCurrentEnabled, setLineToLineResultsEnabled, setFundamentalPeriodValuesEnabled, setPeriodSymmetricalComponentsEnabled})
        call("switch", set, h, in.ConsumeBool());
    CALL(setPeriodValuesEnabled, h, true);
    CALL(setRvcEnabled, h, true);
    CALL(setHalfPeriodValuesCount, h, in.PickValueInArray<unsigned short>({1, 2, 2, 4}));
    CALL(setPeriodValuesOverlapInPercent, h, in.PickValueInArray<unsigned short>({0, 0, 50}));
    CALL(setRvcSteadyStateLengthInNumberOfPeriodValues, h, in.PickValueInArray({1, 3, 8, 20}));
    CALL(setRvcThresholdInPercentOfAverage, h, in.PickValueInArray({0.0, 1.0, 2.0, 5.0}));
    if (CALL(endUpdate, h) != 0 || CALL(reset, h, uint64_t(0)) != 0) return;
    s.length = s.storageLength = length;
    s.storageKnown = true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return registerErrorReporter(reporter); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider in(data, size);
    Slot slots[slotCount];
    slots[0].h = powerModule_create();
    if (in.ConsumeIntegralInRange<int>(0, 3) != 0) configure(in, slots[0]);
    budget = 1u << 16;
    for (int calls = 0; calls < 400 && in.remaining_bytes() > 0; ++calls) step(in, slots);
    for (Slot& s : slots) EXPECT(powerModule_destroy(s.h) == 0);
    return 0;
}
