// The finishing stage: raw per-window data written by hand into a module's
// windowed buffers becomes records through getResults.
#include "ModuleTest.h"

namespace {
using P = PowerResultsGeneralPhase;

enum Switch : unsigned { LineToLine = 1, Thd = 2, InterHarmonics = 4, Symmetrical = 8, FullFft = 16 };

// A module whose windowed buffers have the items and zeroed storage a
// calculation stage would give them, so that raw per-window data can be written.
struct WindowedModule {
    explicit WindowedModule(PowerGridConfigType grid, unsigned on = 0) : impl(implOf(module)) {
        module.beginUpdate();
        module.setGridConfigType(grid); module.setSampleRate(10000.0, 1); module.setBufferLength(10000);
        module.setLineToLineResultsEnabled(on & LineToLine); module.setThdEnabled(on & Thd);
        module.setInterHarmonicsEnabled(on & InterHarmonics); module.setSymmetricalComponentsEnabled(on & Symmetrical);
        module.setFullFftEnabled(on & FullFft);
        module.endUpdate();
        PowerBuffers& b = impl.buffers;
        PowerBuffersTestAccess::addHarmonicItems(b, 0, 36);
        PowerBuffersTestAccess::addFftItems(b, 0, 9);
        PowerBuffersTestAccess::addSymmetricItems(b, 0); PowerBuffersTestAccess::addSymmetricItems(b, 3);
        const unsigned int windows = b.getGeneralResultsBufferLength();
        b.spectrumBuffer.resize(2048);
        // Zeroed storage (malloc leaves it uninitialised); 64 harmonic elements per item slot.
        const auto zeroed = [](auto& buffer, unsigned int length) {
            buffer.resize(length);
            if (buffer.hostBuffer != nullptr) std::memset((void*)buffer.hostBuffer, 0, buffer.hostAllocatedBytes);
        };
        zeroed(b.generalResultsBuffer, windows); zeroed(b.harmonicsBuffer, 64); zeroed(b.thdBuffer, windows);
        zeroed(b.symmetricPhasorBuffer, windows); zeroed(b.symmetricMagnitudeBuffer, windows);
        module.reset(0);
        impl.resultsQueue.pop();  // windows are queued by the tests themselves
    }

    // Queues window `index` of `length` samples with five harmonic elements from `harmonic` on.
    void queue(unsigned long long index, unsigned int length, unsigned int harmonic = 0) {
        auto item = std::make_shared<PowerResultsQueueItem>(10000.0, index, index * length, 0, harmonic);
        item->setCalculation(index * length, length, 200.0, 10, 2048, 4096, 5, 50.0);
        impl.resultsQueue.push(item);
    }
    // The one record that window `index` gives.
    PowerResultsGeneral finish(unsigned long long index, unsigned int length, unsigned int harmonic = 0) {
        queue(index, length, harmonic);
        const std::vector<PowerResultsGeneral> results = module.getResults(0);
        EXPECT_EQ(results.size(), 1u);
        return results.empty() ? PowerResultsGeneral{} : results[0];
    }
    P& raw(unsigned int slot, unsigned int phase) {
        return impl.buffers.generalResultsBuffer.getHostBufferAt(slot, 1, 0)->phases[phase];
    }
    float* harmonics(unsigned int item) {
        return impl.buffers.harmonicsBuffer.getHostBufferAt(0, 5, static_cast<unsigned short>(item));
    }
    PowerResultsThd& thd(unsigned int item) { return *impl.buffers.thdBuffer.getHostBufferAt(0, 1, item); }

    PowerModule module;
    Impl& impl;
};

// Raw sums of one phase over N samples (whole cycles) of u = dcU + V sqrt2 sin
// and i = dcI + I sqrt2 sin(- lag). The spectrum sums hold the sine parts
// alone, and the raw reactive power is 0.8 of V I sin(lag), so that every raw
// field differs from the one a wrong offset would read.
void writeSines(P& r, unsigned int N, double V, double I, double lagDegrees, double dcU, double dcI) {
    const double lag = lagDegrees * pi / 180.0;
    r.dcVoltage = N * dcU; r.dcCurrent = N * dcI;
    r.rmsVoltage = N * (V * V + dcU * dcU); r.rmsCurrent = N * (I * I + dcI * dcI);
    r.activePower = N * (V * I * std::cos(lag) + dcU * dcI);
    r.spectrumRmsVoltage = V * V; r.spectrumRmsCurrent = I * I; r.spectrumActivePower = V * I * std::cos(lag);
    r.nonActivePower = 0.8 * V * I * std::sin(lag);  // raw reactive power
}

bool allZero(const void* bytes, size_t size) {
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    return std::all_of(b, b + size, [](unsigned char c) { return c == 0; });
}

TEST(GeneralResults, SinglePhaseFillsSlotZeroOnly) {
    WindowedModule w(SinglePhase);
    writeSines(w.raw(0, 0), 2000, 230.0, 10.0, 30.0, 1.5, 0.5);
    // Fundamental voltage and current, their angles.
    w.harmonics(0)[1] = 229.5f; w.harmonics(3)[1] = 9.5f; w.harmonics(30)[1] = 10.0f; w.harmonics(33)[1] = -20.0f;
    const PowerResultsGeneral g = w.finish(0, 2000);
    EXPECT_EQ(std::make_tuple(g.phasesCount, g.time, g.dFrequency), std::make_tuple(1, 0.2, 10000.0 / 2048));
    const P& p = g.phases[0];
    const std::pair<double P::*, double> expected[] = {
        {&P::dcVoltage, 1.5}, {&P::dcCurrent, 0.5}, {&P::rmsVoltage, std::sqrt(230.0 * 230.0 + 1.5 * 1.5)},
        {&P::rmsCurrent, std::sqrt(100.25)}, {&P::activePower, 2300.0 * std::cos(pi / 6) + 0.75},
        {&P::apparentPower, 2300.0}, {&P::powerFactor, std::cos(pi / 6)}, {&P::nonActivePower, 1150.0},
        {&P::reactivePower, 920.0}, {&P::distortionPower, 690.0}, {&P::fundamentalVoltage, 229.5},
        {&P::fundamentalCurrent, 9.5}, {&P::displacementPowerFactor, std::cos(-30.0 * 0.017453292519943295)}};
    for (const auto& [field, value] : expected) EXPECT_NEAR(p.*field, value, 1e-9) << &field - &expected[0].first;
    // Inter-harmonics off.
    EXPECT_EQ(std::make_tuple(p.impedance, p.interHarmonicsVoltage),
              std::make_tuple(p.rmsVoltage / p.rmsCurrent, nullptr));
    EXPECT_TRUE(allZero(&g.phases[1], sizeof g.phases[1]));
}

// Three phases in slot 1: totals, and the symmetrical components with the
// rms values of the sequences (twice the phasors' magnitudes here).
TEST(GeneralResults, ThreePhaseTotalsAndSymmetricalComponents) {
    WindowedModule w(ThreePhaseStar, Symmetrical | FullFft);
    const double V[3] = {230.0, 231.0, 229.0}, I[3] = {10.0, 12.0, 8.0}, lag[3] = {30.0, 0.0, 60.0};
    std::complex<double>* phasors = w.impl.buffers.symmetricPhasorBuffer.getHostBufferAt(1, 1, 0);
    double* magnitudes = w.impl.buffers.symmetricMagnitudeBuffer.getHostBufferAt(1, 1, 0);
    const double sequence[3] = {5.0, 230.0, 2.3};
    for (unsigned int k = 0; k < 3; ++k) {
        writeSines(w.raw(1, k), 1000, V[k], I[k], lag[k], 1.0 + k, 0.25 * (k + 1));
        w.harmonics(k)[1] = static_cast<float>(V[k]);
        // Fundamental powers at 0.9 of the whole: the rest is distortion.
        w.harmonics(18 + k)[1] = static_cast<float>(0.9 * V[k] * I[k] * std::cos(lag[k] * pi / 180));
        w.harmonics(21 + k)[1] = static_cast<float>(0.9 * V[k] * I[k] * std::sin(lag[k] * pi / 180));
        w.harmonics(24 + k)[1] = static_cast<float>(0.9 * V[k] * I[k]);
        phasors[k] = sequence[k]; phasors[3 + k] = k == 1 ? 10.0 : 0.5;
        magnitudes[k] = 4.0 * sequence[k] * sequence[k]; magnitudes[3 + k] = 4.0;
    }
    const PowerResultsGeneral g = w.finish(1, 1000);
    const P* ph = g.phases;
    const P& T = ph[3];
    EXPECT_DOUBLE_EQ(ph[2].rmsCurrent, std::sqrt(64.0 + 0.75 * 0.75));  // raw block 2 of slot 1
    for (double P::*mean : {&P::dcVoltage, &P::rmsVoltage, &P::spectrumRmsVoltage, &P::fundamentalVoltage,
                            &P::dcCurrent, &P::rmsCurrent, &P::spectrumRmsCurrent, &P::fundamentalCurrent}) {
        EXPECT_EQ(T.*mean, ph[0].*mean / 3 + ph[1].*mean / 3 + ph[2].*mean / 3);
    }
    for (double P::*sum : {&P::activePower, &P::spectrumActivePower, &P::apparentPower, &P::reactivePower,
                           &P::fundamentalActivePower, &P::fundamentalApparentPower}) {
        EXPECT_EQ(T.*sum, ph[0].*sum + ph[1].*sum + ph[2].*sum);
    }
    EXPECT_EQ(T.fundamentalReactivePowerSum, ph[0].fundamentalReactivePower + ph[1].fundamentalReactivePower +
                                                 ph[2].fundamentalReactivePower);
    // Finished from the totals, in order.
    const auto root = [](double a, double b) { return a * a - b * b > 0.0 ? std::sqrt(a * a - b * b) : 0.0; };
    EXPECT_EQ(T.nonActivePower, root(T.apparentPower, T.spectrumActivePower));
    EXPECT_EQ(T.fundamentalReactivePower, root(T.fundamentalApparentPower, T.fundamentalActivePower));
    EXPECT_EQ(T.distortionPowerQ1, root(T.nonActivePower, T.fundamentalReactivePower));
    EXPECT_EQ(T.powerFactor, T.spectrumActivePower / T.apparentPower);
    EXPECT_EQ(T.displacementPowerFactor, T.fundamentalActivePower / T.fundamentalApparentPower);

    const PowerResultsSymmetricalComponent* c = g.symmetricalComponents;
    EXPECT_NEAR(c[0].voltageUnbalance, 2.173913, 1e-6);
    EXPECT_NEAR(c[0].voltageRmsUnbalance, 2.173913, 1e-6);
    EXPECT_EQ(std::make_tuple(c[2].voltageUnbalance, c[2].voltageRms, c[1].activePower, c[0].currentUnbalance,
                              c[1].currentRmsUnbalance),
              std::make_tuple(0.9999999999999999, 4.6, 6900.0, 5.0, 100.0));
    EXPECT_EQ(ph[0].spectrumVoltage, w.impl.buffers.spectrumBuffer.getHostBufferAt(0, 1025, 0));

    // Without fundamental apparent power the total's displacement factor is 1;
    // without sequences every ratio is 0.
    for (unsigned int k = 24; k < 27; ++k) w.harmonics(k)[1] = 0.0f;
    const PowerResultsGeneral again = w.finish(2, 1000);
    EXPECT_EQ(std::make_tuple(again.phases[3].displacementPowerFactor, again.symmetricalComponents[2].voltageUnbalance,
                              again.symmetricalComponents[2].currentRmsUnbalance),
              std::make_tuple(1.0, 0.0, 0.0));
}

// Two phases give one line-to-line pair; the distortion records come from
// the raw sums of squares and the fundamentals.
TEST(GeneralResults, DistortionAndLineToLineWithTwoPhases) {
    WindowedModule w(TwoPhaseStar, LineToLine | Thd | InterHarmonics);
    w.thd(0).thd = 9.0; w.thd(0).partialThd1 = 4.0; w.thd(0).partialThd4 = 1.0;
    w.thd(3).thd = 0.25;  // current, with fundamental 0
    w.thd(9).thd = 16.0;  // voltage inter-harmonics
    w.raw(0, 0).rmsVoltage = 100 * 101.0 * 101.0; w.raw(0, 0).rmsCurrent = 100 * 5.0 * 5.0;
    w.harmonics(0)[1] = 100.0f;
    for (unsigned int k = 0; k < 2; ++k) {
        w.raw(0, k).dcLineToLine = 100.0 * (k + 1); w.raw(0, k).rmsLineToLine = 400.0 * 400.0 * 100 * (k + 1);
        w.raw(0, k).spectrumRmsLineToLine = 398.0 * 398.0;
    }
    w.harmonics(6)[1] = 397.0f; w.harmonics(7)[1] = 999.0f;
    // √max(rms² − fundamental², 0): 0 when rounding makes it negative, NaN
    // for a NaN input, as in the period values.
    w.raw(0, 1).rmsVoltage = 100 * 1.0; w.harmonics(1)[1] = 1.0000001f; w.raw(0, 1).rmsCurrent = NaN;
    const PowerResultsGeneral g = w.finish(0, 100);
    const P* ph = g.phases;
    const PowerResultsThd &u = ph[0].thdVoltage, &i = ph[0].thdCurrent;
    // A zero current fundamental makes every percent of it 0; one pair: only
    // phase 0 has line-to-line values, and the total is their mean over one.
    const std::pair<double, double> expected[] = {
        {u.harmonicContent, 3.0}, {u.thd, 3.0}, {u.thdRms, 300.0 / 101.0}, {u.partialThd1, 2.0},
        {u.partialThd4, 1.0}, {u.distortionContent, std::sqrt(201.0)}, {u.totalDistortion, std::sqrt(201.0)},
        {i.harmonicContent, 0.5}, {i.thd, 0.0}, {i.thdRms, 10.0}, {ph[0].harmonicCurrentContent, 0.5},
        {ph[0].thdInterVoltage.thd, 4.0}, {ph[0].dcLineToLine, 1.0}, {ph[0].rmsLineToLine, 400.0},
        {ph[0].spectrumRmsLineToLine, 398.0}, {ph[0].fundamentalLineToLine, 397.0},
        {ph[0].thdLineToLine.distortionContent, std::sqrt(400.0 * 400.0 - 397.0 * 397.0)},
        {ph[1].rmsLineToLine, 0.0}, {ph[2].rmsLineToLine, 400.0}, {ph[2].dcLineToLine, 1.0},
        {ph[2].fundamentalLineToLine, 397.0}, {ph[1].thdVoltage.distortionContent, 0.0}};
    for (const auto& [got, value] : expected) EXPECT_DOUBLE_EQ(got, value) << &got - &expected[0].first;
    EXPECT_TRUE(allZero(&ph[1].thdLineToLine, sizeof(PowerResultsThd)) && std::isnan(ph[1].thdCurrent.distortionContent));
    // Each array is its own item.
    EXPECT_EQ(std::make_tuple(ph[0].interHarmonicsVoltage, ph[0].interHarmonicsCurrent,
                              ph[0].interHarmonicsLineToLine, ph[0].harmonicsLineToLine),
              std::make_tuple(w.harmonics(9), w.harmonics(12), w.harmonics(15), w.harmonics(6)));
}

// Windows leave the queue oldest first, at most maxCount at a time, through
// the class and the flat call; the impedance needs an rms current above 0.001.
TEST(GeneralResults, WindowsLeaveOldestFirstUpToMaxCount) {
    WindowedModule w(SinglePhase);
    for (unsigned int k = 0; k < 5; ++k) { w.raw(k, 0).rmsVoltage = (100.0 + k) * (100.0 + k); w.queue(k, 1); }
    w.raw(0, 0).rmsCurrent = 0.001 * 0.001; w.raw(1, 0).rmsCurrent = 0.0011 * 0.0011;  // rms exactly 0.001, then above
    const std::vector<PowerResultsGeneral> first = w.module.getResults(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(std::make_tuple(first[0].phases[0].rmsVoltage, first[1].phases[0].rmsVoltage,
                              first[0].phases[0].impedance, first[1].phases[0].impedance),
              std::make_tuple(100.0, 101.0, 0.0, 101.0 / first[1].phases[0].rmsCurrent));
    ASSERT_EQ(w.module.getResults(1).size(), 1u);

    // The flat call copies the two left into an array of three.
    PowerModuleHandle handle = handleOf(w.module);
    std::vector<PowerResultsGeneral> array(3);
    std::memset(static_cast<void*>(array.data()), 0xAB, sizeof(PowerResultsGeneral) * 3);
    int count = -1;
    EXPECT_EQ(getResults(handle, 3, &count, array.data()), 0);
    EXPECT_EQ(std::make_tuple(count, array[0].phases[0].rmsVoltage, array[1].phases[0].rmsVoltage,
                              array[1].firstSampleIndex),
              std::make_tuple(2, 103.0, 104.0, uint64_t{4}));
    // Exactly two records of sizeof(PowerResultsGeneral) written: the third is untouched.
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&array[2])[0], 0xAB);

    // Capacity 0 means no limit for the module, so any ready window overflows
    // the caller's array: code 2, nothing written, and the window is gone.
    w.queue(5, 1);
    count = -1;
    EXPECT_EQ((Statuses{getResults(handle, 0, &count, array.data()), count}), (Statuses{2, -1}));
    EXPECT_FALSE(w.module.isAnyResultReady());
    // Nothing ready: no overflow.
    EXPECT_EQ((Statuses{getResults(handle, 0, &count, array.data()), count}), (Statuses{0, 0}));
}

// A window's harmonic block is read when it ends exactly at the end of the
// storage (64 elements per item slot here) and not when it reaches one element
// beyond it: then its arrays are null and its fundamentals 0.
TEST(GeneralResults, AHarmonicBlockEndingAtTheStorageEndIsReadAndOnePastItIsNot) {
    for (const auto& [first, read] : {std::make_pair(59u, true), std::make_pair(60u, false)}) {
        SCOPED_TRACE(first);
        WindowedModule w(SinglePhase);
        writeSines(w.raw(0, 0), 2000, 230.0, 10.0, 30.0, 0.0, 0.0);
        float* voltage = w.impl.buffers.harmonicsBuffer.getHostBufferAt(59, 5, 0);
        voltage[1] = 229.5f;  // the last block that fits: elements 59 to 63 of every slot
        const PowerResultsGeneral g = w.finish(0, 2000, first);
        EXPECT_EQ(std::make_pair(g.phases[0].harmonicsVoltage, g.phases[0].fundamentalVoltage),
                  read ? std::make_pair(voltage, 229.5) : std::make_pair(static_cast<float*>(nullptr), 0.0));
    }
}

// Blocks are looked up by item, item 0 included: a stage that lays out the
// current's harmonics alone (item 3 in the first slot, no item 0) gives the
// current its block and leaves the voltage without one, rather than reading
// the first slot as the voltage's.
TEST(GeneralResults, AnItemInTheFirstSlotIsFoundAndAnAbsentItemZeroIsNot) {
    WindowedModule w(SinglePhase);
    PowerBuffers& b = w.impl.buffers;
    b.harmonicsBuffer.clearItems();
    PowerBuffersTestAccess::addHarmonicItems(b, 3, 1);
    b.harmonicsBuffer.resize(64);
    std::memset(static_cast<void*>(b.harmonicsBuffer.hostBuffer), 0, b.harmonicsBuffer.hostAllocatedBytes);
    writeSines(w.raw(0, 0), 2000, 230.0, 10.0, 30.0, 0.0, 0.0);
    float* current = b.harmonicsBuffer.getHostBufferAt(0, 5, 3);
    ASSERT_EQ(current, b.harmonicsBuffer.hostBuffer);
    current[1] = 9.5f;
    const PowerResultsGeneral g = w.finish(0, 2000);
    EXPECT_EQ(std::make_tuple(g.phases[0].harmonicsCurrent, g.phases[0].fundamentalCurrent, g.phases[0].harmonicsVoltage,
                              g.phases[0].fundamentalVoltage),
              std::make_tuple(current, 9.5, static_cast<float*>(nullptr), 0.0));
}

TEST(GeneralResults, WindowWithoutRawStorageYieldsNoRecord) {
    PowerModule module;
    module.setSampleRate(10000.0, 1);
    module.reset(500);
    Impl& impl = implOf(module);
    EXPECT_TRUE(module.getResults(0).empty());
    EXPECT_EQ(impl.resultsPosition, 504u);  // the window of 4 samples was consumed

    // The successor of a window continues where it ends; without spectrum or
    // harmonic storage its first indices are 0.
    module.reset(1000);
    impl.currentQueueItem->setCalculation(1000, 2000, 200.0, 10, 2048, 4096, 51, 50.0);
    const std::shared_ptr<PowerResultsQueueItem> next = PowerModuleImplTestAccess::nextQueueItem(impl);
    EXPECT_EQ(std::make_tuple(next->getIndex(), next->getFirstSampleIndex(), next->getFirstFftOutputSampleIndex(),
                              next->getFirstHarmonicSampleIndex()),
              std::make_tuple(1u, 3000u, 0u, 0u));
}

}  // namespace
