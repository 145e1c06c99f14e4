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

// The bytes of n records of `size` bytes each, as one vector.
template <typename T>
std::vector<unsigned char> bytesOf(const T* records, std::size_t n) {
    const auto* p = reinterpret_cast<const unsigned char*>(records);
    return std::vector<unsigned char>(p, p + n * sizeof(T));
}

// Every gap byte of n records reads 0; the first that does not is named.
std::string firstDirtyGap(const std::vector<unsigned char>& bytes, std::size_t size,
                          const std::vector<std::size_t>& gaps) {
    for (std::size_t r = 0; r * size < bytes.size(); ++r) {
        for (std::size_t g : gaps) {
            if (bytes[r * size + g] != 0) return "record " + std::to_string(r) + " byte " + std::to_string(g);
        }
    }
    return "";
}

// What one run of each producer hands out, as raw bytes. The windowed
// records' pointer slots point into the module's buffers, which differ from
// run to run: they are cleared before the records are compared.
struct Outputs {
    std::vector<unsigned char> period, periodFlat, general, generalFlat, intervals, intervalsFlat, aggregates,
        aggregatesFlat;
};

void clearPointers(PowerResultsGeneral& g) {
    for (PowerResultsGeneralPhase& p : g.phases) {
        const std::size_t first = offsetof(PowerResultsGeneralPhase, spectrumVoltage);
        std::memset(reinterpret_cast<unsigned char*>(&p) + first, 0, sizeof p - first);
    }
}

constexpr double fs = 6400.0;

// A three-phase module with currents, line-to-line values, both RVC detectors,
// symmetrical components and windows, over 2 s of a supply that steps by 8 %
// after 1 s (so that the RVC results change state), its records fetched
// through both interfaces; each caller array filled with `fill` first.
void runModule(Outputs& out, unsigned char fill) {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar); module.setSampleRate(fs, 1); module.setBufferLength(6400);
    module.setStaticFrequency(50.0, 0.1); module.setPeriodValuesEnabled(true); module.setLineToLineResultsEnabled(true);
    module.setRvcEnabled(true); module.setRvcSteadyStateLength(20); module.setPeriodSymmetricalComponentsEnabled(true);
    module.setWindowedResultsEnabled(true); module.setThdEnabled(true); module.setSymmetricalComponentsEnabled(true);
    module.endUpdate();
    module.reset(0);
    SignalDriver driver(module);
    const SignalDriver::Signal sine = threePhaseSine(fs, 50.0, 230.0, 10.0, 30.0);
    const auto stepped = [&](unsigned channel, uint64_t p) { return sine(channel, p) * (p < 6400 ? 1.0 : 1.08); };
    const PowerModuleHandle handle = handleOf(module);
    for (uint64_t p = 0; p < 12800; p += 1280) {
        driver.write(p, 1280, stepped);
        driver.schedule(p, 1280, 50.0);
        for (bool more = true; more;) {  // the flat fetch hands out the ring's own records
            int count = 0;
            PowerResultsPeriod* records = nullptr;
            ASSERT_EQ(getPeriodResults(handle, &count, &more, &records), 0);
            const std::vector<unsigned char> b = bytesOf(records, static_cast<std::size_t>(count) * 4);
            out.periodFlat.insert(out.periodFlat.end(), b.begin(), b.end());
        }
        module.scheduleForCalculation(p, 10, 50.0);
        std::vector<PowerResultsGeneral> flat(8);
        std::memset(static_cast<void*>(flat.data()), fill, flat.size() * sizeof flat[0]);
        int count = 0;
        ASSERT_EQ(getResults(handle, 8, &count, flat.data()), 0);
        ASSERT_EQ(count, 1);
        clearPointers(flat[0]);
        const std::vector<unsigned char> b = bytesOf(flat.data(), 1);
        out.generalFlat.insert(out.generalFlat.end(), b.begin(), b.end());
    }
    // The same module once more through the C++ interface.
    module.reset(0);
    for (uint64_t p = 0; p < 12800; p += 1280) {
        driver.write(p, 1280, stepped);
        driver.schedule(p, 1280, 50.0);
        driver.fetch();
        module.scheduleForCalculation(p, 10, 50.0);
        for (PowerResultsGeneral g : module.getResults(0)) {
            clearPointers(g);
            const std::vector<unsigned char> b = bytesOf(&g, 1);
            out.general.insert(out.general.end(), b.begin(), b.end());
        }
    }
    for (const auto& entry : driver.entries) {
        const std::vector<unsigned char> b = bytesOf(entry.data(), entry.size());
        out.period.insert(out.period.end(), b.begin(), b.end());
    }
}

std::vector<float> supplyOf(double seconds) {
    std::vector<float> u(static_cast<std::size_t>(seconds * fs));
    for (std::size_t n = 0; n < u.size(); ++n) u[n] = static_cast<float>(325.0 * std::sin(2.0 * pi * 50.0 * n / fs));
    return u;
}

// 25 s through a tracker of each interface: two 10-second intervals each.
void runTrackers(Outputs& out, unsigned char fill) {
    const std::vector<float> u = supplyOf(25.0);
    FrequencyTracker tracker(fs, 50.0, 1);
    tracker.addSamples(u.data(), static_cast<int>(u.size()));
    std::vector<FrequencyTrackerInterval> got(8);
    std::memset(static_cast<void*>(got.data()), fill, got.size() * sizeof got[0]);
    got.resize(static_cast<std::size_t>(tracker.getTenSecondFrequencies(8, got.data())));
    out.intervals = bytesOf(got.data(), got.size());

    const FrequencyTrackerHandle handle = frequencyTracker_create(fs, 50.0, 1);
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(frequencyTracker_addSamples(handle, u.data(), static_cast<int>(u.size())), 0);
    std::vector<FrequencyTrackerInterval> flat(8);
    std::memset(static_cast<void*>(flat.data()), fill, flat.size() * sizeof flat[0]);
    int count = 0;
    ASSERT_EQ(frequencyTracker_getTenSecondFrequencies(handle, 8, &count, flat.data()), 0);
    frequencyTracker_destroy(handle);
    out.intervalsFlat = bytesOf(flat.data(), static_cast<std::size_t>(count));
}

// 25 minutes of 3-second windows, one of them flagged, through an aggregator
// of each interface: every stream taken, the running intervals flushed.
void runAggregators(Outputs& out, unsigned char fill) {
    std::vector<double> starts, ends, values;
    std::vector<char> flags;
    for (int k = 0; k < 500; ++k) {
        starts.push_back(3.0 * k); ends.push_back(3.0 * k + 3.0);
        values.push_back(230.0 + k % 7); values.push_back(5.0);
        flags.push_back(k == 17);
    }
    IntervalAggregator aggregator(2, 0.0);
    const IntervalAggregatorHandle handle = intervalAggregator_create(2, 0.0);
    ASSERT_NE(handle, nullptr);
    for (int k = 0; k < 500; ++k) {
        aggregator.addWindow(starts[k], ends[k], &values[2 * k], flags[k] != 0);
        ASSERT_EQ(intervalAggregator_addWindow(handle, starts[k], ends[k], &values[2 * k], flags[k] != 0), 0);
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
        std::vector<IntervalAggregate> frames(200), flat(200);
        std::vector<double> v(400);
        std::memset(static_cast<void*>(frames.data()), fill, frames.size() * sizeof frames[0]);
        std::memset(static_cast<void*>(flat.data()), fill, flat.size() * sizeof flat[0]);
        const int n = (aggregator.*take)(200, frames.data(), v.data());
        int count = 0;
        ASSERT_EQ(takeFlat(handle, 200, &count, flat.data(), v.data()), 0);
        ASSERT_GT(n, 0);
        const std::vector<unsigned char> a = bytesOf(frames.data(), static_cast<std::size_t>(n));
        const std::vector<unsigned char> b = bytesOf(flat.data(), static_cast<std::size_t>(count));
        out.aggregates.insert(out.aggregates.end(), a.begin(), a.end());
        out.aggregatesFlat.insert(out.aggregatesFlat.end(), b.begin(), b.end());
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
    const Outputs a = runAll(0xAA), b = runAll(0x55);
    struct Case { const char* name; const std::vector<unsigned char> *a, *b; std::size_t size; std::vector<std::size_t> gaps; };
    const Case cases[] = {
        {"period values", &a.period, &b.period, sizeof(PowerResultsPeriod), periodGaps()},
        {"period values (flat)", &a.periodFlat, &b.periodFlat, sizeof(PowerResultsPeriod), periodGaps()},
        {"windowed results", &a.general, &b.general, sizeof(PowerResultsGeneral), generalGaps()},
        {"windowed results (flat)", &a.generalFlat, &b.generalFlat, sizeof(PowerResultsGeneral), generalGaps()},
        {"10-second frequencies", &a.intervals, &b.intervals, sizeof(FrequencyTrackerInterval), intervalGaps()},
        {"10-second frequencies (flat)", &a.intervalsFlat, &b.intervalsFlat, sizeof(FrequencyTrackerInterval),
         intervalGaps()},
        {"aggregates", &a.aggregates, &b.aggregates, sizeof(IntervalAggregate), aggregateGaps()},
        {"aggregates (flat)", &a.aggregatesFlat, &b.aggregatesFlat, sizeof(IntervalAggregate), aggregateGaps()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_FALSE(c.a->empty());
        ASSERT_EQ(c.a->size(), c.b->size());
        EXPECT_EQ(std::memcmp(c.a->data(), c.b->data(), c.a->size()), 0);
        EXPECT_EQ(firstDirtyGap(*c.a, c.size, c.gaps), "");
        EXPECT_EQ(firstDirtyGap(*c.b, c.size, c.gaps), "");
    }
    // The step made both RVC detectors change state, so the gaps around the
    // flags were written over, not only left as allocated.
    bool changed = false;
    for (std::size_t r = 0; r * sizeof(PowerResultsPeriod) < a.period.size(); ++r) {
        PowerResultsPeriod record;
        std::memcpy(static_cast<void*>(&record), a.period.data() + r * sizeof record, sizeof record);
        changed = changed || (record.rvcVoltage.stateChanged && record.rvcLineToLineVoltage.stateChanged);
    }
    EXPECT_TRUE(changed);
}

}  // namespace
