// The bytes between the fields of the records handed out. A caller that hashes
// records, compares them byte for byte or writes them to a file whole must get
// the same bytes from the same data, and no byte of the library's memory that
// was never written may leave it. So every byte that belongs to no field reads
// 0, whatever the heap held before the module, detector, tracker or aggregator
// was made and whatever the caller's array held before the records were copied
// into it. The records with such bytes: PowerResultsPeriod (three in each
// RvcResult), PowerResultsGeneral (three after phasesCount, and the eight
// reserved ones, never written), FrequencyTrackerInterval (three) and
// IntervalAggregate (two).
#include <cstdlib>
#include <map>
#include <tuple>

#include "ModuleTest.h"
#include "powerquality/FrequencyTracker.h"
#include "powerquality/FrequencyTrackerApi.h"
#include "powerquality/IntervalAggregator.h"
#include "powerquality/IntervalAggregatorApi.h"

namespace {

struct Field { std::size_t offset, size; };
#define PQ_FIELD(Record, field) Field{offsetof(Record, field), sizeof(Record::field)}

// The bytes of a record of `size` bytes that no field covers.
std::vector<std::size_t> gapsOf(std::size_t size, const std::vector<Field>& fields) {
    std::vector<bool> covered(size, false);
    for (const Field& f : fields) std::fill(covered.begin() + f.offset, covered.begin() + f.offset + f.size, true);
    std::vector<std::size_t> gaps;
    for (std::size_t k = 0; k < size; ++k) if (!covered[k]) gaps.push_back(k);
    return gaps;
}

std::vector<Field> rvcFields(std::size_t base) {
    std::vector<Field> f = {PQ_FIELD(RvcResult, stateChanged), PQ_FIELD(RvcResult, state),
                            PQ_FIELD(RvcResult, eventEnded),   PQ_FIELD(RvcResult, deltaUss),
                            PQ_FIELD(RvcResult, deltaUmax),    PQ_FIELD(RvcResult, duration),
                            PQ_FIELD(RvcResult, time)};
    for (Field& x : f) x.offset += base;
    return f;
}

std::vector<std::size_t> periodGaps() {
    using R = PowerResultsPeriod;
    std::vector<Field> f = {PQ_FIELD(R, time), PQ_FIELD(R, frequency), PQ_FIELD(R, rmsVoltage),
        PQ_FIELD(R, rmsCurrent), PQ_FIELD(R, rmsLineToLine), PQ_FIELD(R, activePower), PQ_FIELD(R, nonActivePower),
        PQ_FIELD(R, apparentPower), PQ_FIELD(R, powerFactor), PQ_FIELD(R, fundamentalVoltage),
        PQ_FIELD(R, fundamentalCurrent), PQ_FIELD(R, reserved), PQ_FIELD(R, fundamentalActivePower),
        PQ_FIELD(R, fundamentalReactivePower), PQ_FIELD(R, fundamentalReactivePowerSum),
        PQ_FIELD(R, fundamentalApparentPower), PQ_FIELD(R, fundamentalPhaseAngle),
        PQ_FIELD(R, symmetricalComponent)};  // the sequence record has no gap: doubles only
    for (std::size_t base : {offsetof(R, rvcVoltage), offsetof(R, rvcLineToLineVoltage)}) {
        const std::vector<Field> rvc = rvcFields(base);
        f.insert(f.end(), rvc.begin(), rvc.end());
    }
    return gapsOf(sizeof(R), f);
}

// The reserved bytes count as a gap: they are never written.
std::vector<std::size_t> generalGaps() {
    using R = PowerResultsGeneral;
    return gapsOf(sizeof(R), {PQ_FIELD(R, time), PQ_FIELD(R, frequency), PQ_FIELD(R, dFrequency),
                              PQ_FIELD(R, firstSampleIndex), PQ_FIELD(R, length), PQ_FIELD(R, fftOutputLength),
                              PQ_FIELD(R, harmonicLength), PQ_FIELD(R, phasesCount), PQ_FIELD(R, phases),
                              PQ_FIELD(R, symmetricalComponents)});  // the phase blocks have no gap
}

std::vector<std::size_t> intervalGaps() {
    using R = FrequencyTrackerInterval;
    return gapsOf(sizeof(R), {PQ_FIELD(R, firstSampleIndex), PQ_FIELD(R, endSampleIndex), PQ_FIELD(R, frequency),
                              PQ_FIELD(R, cycleCount), PQ_FIELD(R, flag)});
}

std::vector<std::size_t> aggregateGaps() {
    using R = IntervalAggregate;
    return gapsOf(sizeof(R), {PQ_FIELD(R, startTime), PQ_FIELD(R, endTime), PQ_FIELD(R, clockInterval),
                              PQ_FIELD(R, windowCount), PQ_FIELD(R, flagged), PQ_FIELD(R, complete)});
}

#undef PQ_FIELD

// The gaps the layout really has: if a record lost its gaps, the checks
// below would check nothing.
TEST(RecordPadding, TheRecordsHaveTheGapsTheLayoutSays) {
    EXPECT_EQ(periodGaps(), (std::vector<std::size_t>{137, 138, 139, 145, 146, 147, 156, 157, 158, 159, 177, 178, 179,
                                                      185, 186, 187, 196, 197, 198, 199}));
    EXPECT_EQ(generalGaps(), (std::vector<std::size_t>{24, 25, 26, 27, 28, 29, 30, 31, 53, 54, 55}));
    EXPECT_EQ(intervalGaps(), (std::vector<std::size_t>{29, 30, 31}));
    EXPECT_EQ(aggregateGaps(), (std::vector<std::size_t>{30, 31}));
}

// Memory handed back to the heap full of `byte`, in blocks from 32 bytes to
// 8 MB, so that what the next allocations get holds it.
void dirtyHeap(unsigned char byte) {
    for (int round = 0; round < 2; ++round) {  // the second round after the first freed its mapped blocks
        std::vector<void*> blocks;
        for (std::size_t size = 32; size <= (std::size_t{8} << 20); size *= 2) {
            for (int k = 0; k < 4; ++k) {
                void* p = std::malloc(size);
                if (p != nullptr) std::memset(p, byte, size);
                blocks.push_back(p);
            }
        }
        for (void* p : blocks) std::free(p);
    }
}

// Every gap byte of the records of `size` bytes in `bytes` reads 0; the first that does not is named.
std::string firstDirtyGap(const std::vector<unsigned char>& bytes, std::size_t size,
                          const std::vector<std::size_t>& gaps) {
    for (std::size_t r = 0; r * size < bytes.size(); ++r) {
        for (std::size_t g : gaps) {
            if (bytes[r * size + g] != 0) return "record " + std::to_string(r) + " byte " + std::to_string(g);
        }
    }
    return "";
}

// What one run of each producer hands out, as raw bytes, by name.
using Outputs = std::map<std::string, std::vector<unsigned char>>;

template <typename T>
void append(std::vector<unsigned char>& out, const T* records, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(records);
    out.insert(out.end(), p, p + n * sizeof(T));
}

// A caller's array of n records, every byte `fill`.
template <typename T>
std::vector<T> filled(std::size_t n, unsigned char fill) {
    std::vector<T> v(n);
    std::memset(static_cast<void*>(v.data()), fill, n * sizeof(T));
    return v;
}

// The windowed records' pointer slots point into the module's buffers, which
// differ from run to run: they are cleared before the records are compared.
void appendCleared(std::vector<unsigned char>& out, PowerResultsGeneral g) {
    for (PowerResultsGeneralPhase& p : g.phases) {
        const std::size_t first = offsetof(PowerResultsGeneralPhase, spectrumVoltage);
        std::memset(reinterpret_cast<unsigned char*>(&p) + first, 0, sizeof p - first);
    }
    append(out, &g, 1);
}

constexpr double fs = 6400.0;

// A three-phase module with currents, line-to-line values, both RVC detectors,
// symmetrical components and windows, over 2 s of a supply that steps by 8 %
// after 1 s (so that the RVC results change state), run twice: its records
// fetched through the flat interface (each caller array filled with `fill`
// first), then through the C++ one.
void runModule(Outputs& out, unsigned char fill) {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar); module.setSampleRate(fs, 1); module.setBufferLength(6400);
    module.setStaticFrequency(50.0, 0.1); module.setPeriodValuesEnabled(true); module.setLineToLineResultsEnabled(true);
    module.setRvcEnabled(true); module.setRvcSteadyStateLength(20); module.setPeriodSymmetricalComponentsEnabled(true);
    module.setWindowedResultsEnabled(true); module.setThdEnabled(true); module.setSymmetricalComponentsEnabled(true);
    module.endUpdate();
    SignalDriver driver(module);
    const SignalDriver::Signal sine = threePhaseSine(fs, 50.0, 230.0, 10.0, 30.0);
    const auto stepped = [&](unsigned channel, uint64_t p) { return sine(channel, p) * (p < 6400 ? 1.0 : 1.08); };
    const PowerModuleHandle handle = handleOf(module);
    for (const bool flat : {true, false}) {
        module.reset(0);
        for (uint64_t p = 0; p < 12800; p += 1280) {
            driver.write(p, 1280, stepped);
            driver.schedule(p, 1280, 50.0);
            for (bool more = flat; more;) {  // the flat fetch hands out the ring's own records
                int count = 0;
                PowerResultsPeriod* records = nullptr;
                ASSERT_EQ(getPeriodResults(handle, &count, &more, &records), 0);
                append(out["period values (flat)"], records, static_cast<std::size_t>(count) * 4);
            }
            if (!flat) driver.fetch();
            module.scheduleForCalculation(p, 10, 50.0);
            if (flat) {
                std::vector<PowerResultsGeneral> records = filled<PowerResultsGeneral>(8, fill);
                int count = 0;
                ASSERT_EQ(getResults(handle, 8, &count, records.data()), 0);
                ASSERT_EQ(count, 1);
                appendCleared(out["windowed results (flat)"], records[0]);
            }
            for (const PowerResultsGeneral& g : flat ? std::vector<PowerResultsGeneral>{} : module.getResults(0)) {
                appendCleared(out["windowed results"], g);
            }
        }
    }
    for (const auto& entry : driver.entries) append(out["period values"], entry.data(), entry.size());
}

// 25 s through a tracker of each interface: two 10-second intervals each.
void runTrackers(Outputs& out, unsigned char fill) {
    std::vector<float> u(static_cast<std::size_t>(25.0 * fs));
    for (std::size_t n = 0; n < u.size(); ++n) u[n] = static_cast<float>(325.0 * std::sin(2.0 * pi * 50.0 * n / fs));
    FrequencyTracker tracker(fs, 50.0, 1);
    tracker.addSamples(u.data(), static_cast<int>(u.size()));
    std::vector<FrequencyTrackerInterval> got = filled<FrequencyTrackerInterval>(8, fill), flat = got;
    const int n = tracker.getTenSecondFrequencies(8, got.data());
    append(out["10-second frequencies"], got.data(), static_cast<std::size_t>(n));
    const FrequencyTrackerHandle handle = frequencyTracker_create(fs, 50.0, 1);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(frequencyTracker_addSamples(handle, u.data(), static_cast<int>(u.size())), 0);
    int count = 0;
    ASSERT_EQ(frequencyTracker_getTenSecondFrequencies(handle, 8, &count, flat.data()), 0);
    frequencyTracker_destroy(handle);
    append(out["10-second frequencies (flat)"], flat.data(), static_cast<std::size_t>(count));
}

// 25 minutes of 3-second windows, one of them flagged, through an aggregator
// of each interface: every stream taken, the running intervals flushed.
void runAggregators(Outputs& out, unsigned char fill) {
    IntervalAggregator aggregator(2, 0.0);
    const IntervalAggregatorHandle handle = intervalAggregator_create(2, 0.0);
    ASSERT_NE(handle, nullptr);
    for (int k = 0; k < 500; ++k) {
        const double values[2] = {230.0 + k % 7, 5.0};
        aggregator.addWindow(3.0 * k, 3.0 * k + 3.0, values, k == 17);
        ASSERT_EQ(intervalAggregator_addWindow(handle, 3.0 * k, 3.0 * k + 3.0, values, k == 17), 0);
    }
    aggregator.flush();
    ASSERT_EQ(intervalAggregator_flush(handle), 0);
    using Take = int (IntervalAggregator::*)(int, IntervalAggregate*, double*);
    using TakeFlat = int32_t (*)(IntervalAggregatorHandle, int, int*, IntervalAggregate*, double*);
    const std::pair<Take, TakeFlat> streams[] = {
        {&IntervalAggregator::getThreeSecondIntervals, &intervalAggregator_getThreeSecondIntervals},
        {&IntervalAggregator::getTenMinuteIntervals, &intervalAggregator_getTenMinuteIntervals},
        {&IntervalAggregator::getTwoHourIntervals, &intervalAggregator_getTwoHourIntervals}};
    for (const auto& [take, takeFlat] : streams) {
        std::vector<IntervalAggregate> frames = filled<IntervalAggregate>(200, fill), flat = frames;
        std::vector<double> v(400);
        const int n = (aggregator.*take)(200, frames.data(), v.data());
        int count = 0;
        ASSERT_EQ(takeFlat(handle, 200, &count, flat.data(), v.data()), 0);
        ASSERT_GT(n, 0);
        append(out["aggregates"], frames.data(), static_cast<std::size_t>(n));
        append(out["aggregates (flat)"], flat.data(), static_cast<std::size_t>(count));
    }
    intervalAggregator_destroy(handle);
}

Outputs runAll(unsigned char byte) {
    dirtyHeap(byte);
    Outputs out;
    runModule(out, byte);
    runTrackers(out, byte);
    runAggregators(out, byte);
    return out;
}

// Two identical runs, one after the heap was filled with 0xAA and one after
// it was filled with 0x55 (and each caller array so filled), hand out the
// same bytes; and every byte outside the fields reads 0.
TEST(RecordPadding, TheSameRunGivesTheSameBytesWhateverTheHeapHeld) {
    Outputs a = runAll(0xAA), b = runAll(0x55);
    const std::tuple<const char*, std::size_t, std::vector<std::size_t>> cases[] = {
        {"period values", sizeof(PowerResultsPeriod), periodGaps()},
        {"windowed results", sizeof(PowerResultsGeneral), generalGaps()},
        {"10-second frequencies", sizeof(FrequencyTrackerInterval), intervalGaps()},
        {"aggregates", sizeof(IntervalAggregate), aggregateGaps()}};
    for (const auto& [record, size, gaps] : cases) {
        for (const std::string& name : {std::string(record), std::string(record) + " (flat)"}) {
            SCOPED_TRACE(name);
            ASSERT_FALSE(a[name].empty());
            EXPECT_TRUE(a[name] == b[name]);
            EXPECT_EQ(firstDirtyGap(a[name], size, gaps), "");
            EXPECT_EQ(firstDirtyGap(b[name], size, gaps), "");
        }
    }
    EXPECT_EQ(a.size(), 8u);
    // The step made both RVC detectors change state, so the gaps around the
    // flags were written over, not only left as allocated.
    bool changed = false;
    for (std::size_t r = 0; r * sizeof(PowerResultsPeriod) < a["period values"].size(); ++r) {
        PowerResultsPeriod record;
        std::memcpy(static_cast<void*>(&record), a["period values"].data() + r * sizeof record, sizeof record);
        changed = changed || (record.rvcVoltage.stateChanged && record.rvcLineToLineVoltage.stateChanged);
    }
    EXPECT_TRUE(changed);
}

}  // namespace
