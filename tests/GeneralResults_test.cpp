#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "TestAccess.h"
#include "powerquality/PowerModuleApi.h"

namespace {

using Impl = PowerModule::PowerModuleImpl;

constexpr double pi = 3.141592653589793;
constexpr unsigned int harmonicBlocks = 64;  // harmonic elements per item slot

struct Options {
    PowerGridConfigType grid = ThreePhaseStar;
    bool currents = true;
    bool lineToLine = false;
    bool thd = false;
    bool interHarmonics = false;
    bool symmetrical = false;
    bool fullFft = false;
};

// A module whose windowed buffers have the items and storage a calculation
// stage would give them, so that raw per-window data can be written.
struct WindowedModule {
    explicit WindowedModule(const Options& o) : impl(PowerModuleTestAccess::impl(module)) {
        module.beginUpdate();
        module.setGridConfigType(o.grid);
        module.setSampleRate(10000.0, 1);
        module.setBufferLength(10000);
        module.setCurrentEnabled(o.currents);
        module.setLineToLineResultsEnabled(o.lineToLine);
        module.setThdEnabled(o.thd);
        module.setInterHarmonicsEnabled(o.interHarmonics);
        module.setSymmetricalComponentsEnabled(o.symmetrical);
        module.setFullFftEnabled(o.fullFft);
        module.endUpdate();
        PowerBuffers& b = impl.buffers;
        PowerBuffersTestAccess::addHarmonicItems(b, 0, 36);
        PowerBuffersTestAccess::addFftItems(b, 0, 9);
        PowerBuffersTestAccess::addSymmetricItems(b, 0);
        PowerBuffersTestAccess::addSymmetricItems(b, 3);
        const unsigned int windows = b.getGeneralResultsBufferLength();
        b.generalResultsBuffer.resize(windows);
        b.harmonicsBuffer.resize(harmonicBlocks);
        b.thdBuffer.resize(windows);
        b.spectrumBuffer.resize(2048);
        b.symmetricPhasorBuffer.resize(windows);
        b.symmetricMagnitudeBuffer.resize(windows);
        clear(b.generalResultsBuffer);
        clear(b.harmonicsBuffer);
        clear(b.thdBuffer);
        module.reset(0);
        impl.resultsQueue.pop();  // windows are queued by the tests themselves
    }

    template <typename T>
    static void clear(GpuBuffer<T>& buffer) {
        if (buffer.hostBuffer != nullptr) {
            std::memset(static_cast<void*>(buffer.hostBuffer), 0, buffer.hostAllocatedBytes);
        }
    }

    // Queues window `index` of `length` samples with five harmonic elements.
    void queue(unsigned long long index, unsigned int length) {
        auto item = std::make_shared<PowerResultsQueueItem>(10000.0, index, index * length, 0, 0);
        item->setCalculation(index * length, length, 200.0, 10, 2048, 4096, 5, 50.0);
        impl.resultsQueue.push(item);
    }

    PowerResultsGeneralPhase& raw(unsigned int slot, unsigned int phase) {
        return impl.buffers.generalResultsBuffer.getHostBufferAt(slot, 1, 0)->phases[phase];
    }
    float* harmonics(unsigned short item) { return impl.buffers.harmonicsBuffer.getHostBufferAt(0, 5, item); }

    PowerModule module;
    Impl& impl;
};

// Raw sums of one phase over a window of N samples of u = V sqrt2 sin and
// i = I sqrt2 sin(- lag), with the spectrum sums set to the same values.
void writeSines(PowerResultsGeneralPhase& r, unsigned int N, double V, double I, double lagDegrees, double dc) {
    double su = 0, si = 0, su2 = 0, si2 = 0, sui = 0;
    for (unsigned int n = 0; n < N; ++n) {
        const double theta = 2.0 * pi * n / 200.0;
        const double u = dc + V * std::sqrt(2.0) * std::sin(theta);
        const double i = I * std::sqrt(2.0) * std::sin(theta - lagDegrees * pi / 180.0);
        su += u;
        si += i;
        su2 += u * u;
        si2 += i * i;
        sui += u * i;
    }
    r.dcVoltage = su;
    r.dcCurrent = si;
    r.rmsVoltage = su2;
    r.rmsCurrent = si2;
    r.activePower = sui;
    r.spectrumRmsVoltage = V * V;
    r.spectrumRmsCurrent = I * I;
    r.spectrumActivePower = V * I * std::cos(lagDegrees * pi / 180.0);
    r.nonActivePower = V * I * std::sin(lagDegrees * pi / 180.0);  // raw reactive power
}

bool allZero(const void* bytes, size_t size) {
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    for (size_t k = 0; k < size; ++k) {
        if (b[k] != 0) {
            return false;
        }
    }
    return true;
}

TEST(GeneralResults, SinglePhaseFillsSlotZeroOnly) {
    Options o;
    o.grid = SinglePhase;
    WindowedModule w(o);
    writeSines(w.raw(0, 0), 2000, 230.0, 10.0, 30.0, 1.5);
    w.harmonics(0)[1] = 229.5f;
    w.harmonics(3)[1] = 9.5f;
    w.harmonics(30)[1] = 10.0f;
    w.harmonics(33)[1] = -20.0f;
    w.queue(0, 2000);
    const std::vector<PowerResultsGeneral> results = w.module.getResults(0);
    ASSERT_EQ(results.size(), 1u);
    const PowerResultsGeneral& g = results[0];
    EXPECT_EQ(g.phasesCount, 1);
    EXPECT_EQ(g.length, 2000u);
    EXPECT_EQ(g.time, 0.2);
    EXPECT_EQ(g.frequency, 50.0);
    EXPECT_EQ(g.dFrequency, 10000.0 / 2048);
    EXPECT_EQ(g.harmonicLength, 5u);
    EXPECT_EQ(g.fftOutputLength, 1025u);
    const PowerResultsGeneralPhase& p = g.phases[0];
    EXPECT_NEAR(p.dcVoltage, 1.5, 1e-9);
    EXPECT_NEAR(p.rmsVoltage, std::sqrt(230.0 * 230.0 + 1.5 * 1.5), 1e-9);
    EXPECT_NEAR(p.rmsCurrent, 10.0, 1e-9);
    EXPECT_NEAR(p.activePower, 2300.0 * std::cos(pi / 6), 1e-6);
    EXPECT_DOUBLE_EQ(p.spectrumRmsVoltage, 230.0);
    EXPECT_DOUBLE_EQ(p.apparentPower, 2300.0);
    EXPECT_DOUBLE_EQ(p.powerFactor, std::cos(pi / 6));
    EXPECT_NEAR(p.nonActivePower, 1150.0, 1e-9);
    EXPECT_DOUBLE_EQ(p.reactivePower, 1150.0);
    EXPECT_NEAR(p.distortionPower, 0.0, 1e-4);
    EXPECT_EQ(p.fundamentalVoltage, 229.5);
    EXPECT_EQ(p.fundamentalCurrent, 9.5);
    EXPECT_DOUBLE_EQ(p.displacementPowerFactor, std::cos(-30.0 * 0.017453292519943295));
    EXPECT_EQ(p.impedance, p.rmsVoltage / p.rmsCurrent);
    EXPECT_EQ(p.harmonicsVoltage, w.harmonics(0));
    EXPECT_EQ(p.harmonicsCurrent, w.harmonics(3));
    EXPECT_EQ(p.harmonicAnglesCurrent, w.harmonics(33));
    EXPECT_EQ(p.interHarmonicsVoltage, nullptr);  // inter-harmonics off
    EXPECT_EQ(p.spectrumVoltage, nullptr);        // full spectrum off
    EXPECT_EQ(p.dcLineToLine, 0.0);
    EXPECT_TRUE(allZero(&g.phases[1], sizeof g.phases[1]));
    EXPECT_EQ(w.impl.resultsPosition, 2000u);
}

TEST(GeneralResults, ThreePhaseTotalsAreMeansAndSums) {
    WindowedModule w(Options{});
    const double V[3] = {230.0, 231.0, 229.0};
    const double I[3] = {10.0, 12.0, 8.0};
    const double lag[3] = {30.0, 0.0, 60.0};
    for (unsigned int k = 0; k < 3; ++k) {
        writeSines(w.raw(1, k), 1000, V[k], I[k], lag[k], 0.0);
        w.harmonics(static_cast<unsigned short>(k))[1] = static_cast<float>(V[k]);
        w.harmonics(static_cast<unsigned short>(18 + k))[1] = static_cast<float>(V[k] * I[k] * std::cos(lag[k] * pi / 180));
        w.harmonics(static_cast<unsigned short>(21 + k))[1] = static_cast<float>(V[k] * I[k] * std::sin(lag[k] * pi / 180));
        w.harmonics(static_cast<unsigned short>(24 + k))[1] = static_cast<float>(V[k] * I[k]);
    }
    w.queue(1, 1000);  // slot 1
    const std::vector<PowerResultsGeneral> results = w.module.getResults(0);
    ASSERT_EQ(results.size(), 1u);
    const PowerResultsGeneralPhase* ph = results[0].phases;
    const PowerResultsGeneralPhase& T = ph[3];
    EXPECT_EQ(T.rmsVoltage, ph[0].rmsVoltage / 3 + ph[1].rmsVoltage / 3 + ph[2].rmsVoltage / 3);
    EXPECT_EQ(T.rmsCurrent, ph[0].rmsCurrent / 3 + ph[1].rmsCurrent / 3 + ph[2].rmsCurrent / 3);
    EXPECT_EQ(T.fundamentalVoltage, ph[0].fundamentalVoltage / 3 + ph[1].fundamentalVoltage / 3 +
                                        ph[2].fundamentalVoltage / 3);
    EXPECT_EQ(T.activePower, ph[0].activePower + ph[1].activePower + ph[2].activePower);
    EXPECT_EQ(T.apparentPower, ph[0].apparentPower + ph[1].apparentPower + ph[2].apparentPower);
    EXPECT_EQ(T.reactivePower, ph[0].reactivePower + ph[1].reactivePower + ph[2].reactivePower);
    EXPECT_EQ(T.fundamentalReactivePowerSum, ph[0].fundamentalReactivePower + ph[1].fundamentalReactivePower +
                                                 ph[2].fundamentalReactivePower);
    // Finished from the totals, in order.
    const double nonActive = std::sqrt(T.apparentPower * T.apparentPower - T.spectrumActivePower * T.spectrumActivePower);
    EXPECT_EQ(T.nonActivePower, nonActive);
    const double fundamentalReactive = std::sqrt(T.fundamentalApparentPower * T.fundamentalApparentPower -
                                                 T.fundamentalActivePower * T.fundamentalActivePower);
    EXPECT_EQ(T.fundamentalReactivePower, fundamentalReactive);
    const double q1 = nonActive * nonActive - fundamentalReactive * fundamentalReactive;
    EXPECT_EQ(T.distortionPowerQ1, q1 > 0 ? std::sqrt(q1) : 0.0);
    EXPECT_EQ(T.powerFactor, T.spectrumActivePower / T.apparentPower);
    EXPECT_EQ(T.displacementPowerFactor, T.fundamentalActivePower / T.fundamentalApparentPower);
    EXPECT_EQ(T.impedance, 0.0);
    EXPECT_EQ(T.harmonicsVoltage, nullptr);
    EXPECT_TRUE(allZero(&results[0].phases[3].thdVoltage, sizeof(PowerResultsThd)));
    EXPECT_NEAR(ph[2].rmsCurrent, 8.0, 1e-9);  // phase 2 came from raw block 2 of slot 1
    EXPECT_NEAR(ph[1].powerFactor, 1.0, 1e-12);

    // Without fundamental apparent power the total's displacement factor is 1.
    for (unsigned short k = 24; k < 27; ++k) {
        w.harmonics(k)[1] = 0.0f;
    }
    w.queue(2, 1000);
    const std::vector<PowerResultsGeneral> again = w.module.getResults(0);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].phases[3].displacementPowerFactor, 1.0);
    EXPECT_EQ(again[0].phases[3].rmsVoltage, 0.0);  // slot 2 holds no raw data
}

TEST(GeneralResults, LineToLineWithTwoPhases) {
    Options o;
    o.grid = TwoPhaseStar;
    o.lineToLine = true;
    o.thd = true;
    WindowedModule w(o);
    for (unsigned int k = 0; k < 2; ++k) {
        PowerResultsGeneralPhase& r = w.raw(0, k);
        r.dcLineToLine = 100.0 * (k + 1);
        r.rmsLineToLine = 400.0 * 400.0 * 100 * (k + 1);
        r.spectrumRmsLineToLine = 398.0 * 398.0;
    }
    w.harmonics(6)[1] = 397.0f;
    w.harmonics(7)[1] = 999.0f;
    w.queue(0, 100);
    const std::vector<PowerResultsGeneral> results = w.module.getResults(0);
    ASSERT_EQ(results.size(), 1u);
    const PowerResultsGeneralPhase* ph = results[0].phases;
    EXPECT_EQ(ph[0].dcLineToLine, 1.0);
    EXPECT_EQ(ph[0].rmsLineToLine, 400.0);
    EXPECT_EQ(ph[0].spectrumRmsLineToLine, 398.0);
    EXPECT_EQ(ph[0].fundamentalLineToLine, 397.0);
    EXPECT_EQ(ph[1].rmsLineToLine, 0.0);  // one pair: only phase 0 has it
    EXPECT_EQ(ph[1].fundamentalLineToLine, 0.0);
    EXPECT_TRUE(allZero(&ph[1].thdLineToLine, sizeof(PowerResultsThd)));
    EXPECT_EQ(ph[2].rmsLineToLine, ph[0].rmsLineToLine);  // mean over one pair
    EXPECT_EQ(ph[2].fundamentalLineToLine, ph[0].fundamentalLineToLine);
    EXPECT_EQ(ph[0].harmonicsLineToLine, w.harmonics(6));
    EXPECT_NEAR(ph[0].thdLineToLine.distortionContent, std::sqrt(400.0 * 400.0 - 397.0 * 397.0), 1e-9);
}

TEST(GeneralResults, ImpedanceNeedsMoreThanAMilliampere) {
    Options o;
    o.grid = SinglePhase;
    WindowedModule w(o);
    w.raw(0, 0).rmsVoltage = 230.0 * 230.0;
    w.raw(0, 0).rmsCurrent = 0.001 * 0.001;  // rms exactly 0.001
    w.raw(1, 0).rmsVoltage = 230.0 * 230.0;
    w.raw(1, 0).rmsCurrent = 0.0011 * 0.0011;
    w.queue(0, 1);
    w.queue(1, 1);
    const std::vector<PowerResultsGeneral> results = w.module.getResults(0);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].phases[0].rmsCurrent, 0.001);
    EXPECT_EQ(results[0].phases[0].impedance, 0.0);
    EXPECT_EQ(results[1].phases[0].impedance, 230.0 / results[1].phases[0].rmsCurrent);
}

TEST(GeneralResults, DistortionRecordsFromRawSums) {
    Options o;
    o.grid = SinglePhase;
    o.thd = true;
    o.interHarmonics = true;
    WindowedModule w(o);
    PowerResultsThd* raw = w.impl.buffers.thdBuffer.getHostBufferAt(0, 1, 0);
    raw->thd = 9.0;
    raw->partialThd1 = 4.0;
    raw->partialThd4 = 1.0;
    w.impl.buffers.thdBuffer.getHostBufferAt(0, 1, 3)->thd = 0.25;  // current
    w.impl.buffers.thdBuffer.getHostBufferAt(0, 1, 9)->thd = 16.0;  // voltage inter-harmonics
    w.raw(0, 0).rmsVoltage = 101.0 * 101.0;
    w.raw(0, 0).rmsCurrent = 5.0 * 5.0;
    w.harmonics(0)[1] = 100.0f;
    w.harmonics(3)[1] = 0.0f;
    w.queue(0, 1);
    const std::vector<PowerResultsGeneral> results = w.module.getResults(0);
    ASSERT_EQ(results.size(), 1u);
    const PowerResultsGeneralPhase& p = results[0].phases[0];
    EXPECT_EQ(p.thdVoltage.harmonicContent, 3.0);
    EXPECT_EQ(p.thdVoltage.thd, 3.0);
    EXPECT_NEAR(p.thdVoltage.thdRms, 2.970297, 1e-6);
    EXPECT_EQ(p.thdVoltage.partialThd1, 2.0);
    EXPECT_EQ(p.thdVoltage.partialThd2, 0.0);
    EXPECT_EQ(p.thdVoltage.partialThd4, 1.0);
    EXPECT_NEAR(p.thdVoltage.distortionContent, 14.177447, 1e-6);
    EXPECT_NEAR(p.thdVoltage.totalDistortion, 14.177447, 1e-6);
    // A zero fundamental makes every percent of it 0.
    EXPECT_EQ(p.thdCurrent.harmonicContent, 0.5);
    EXPECT_EQ(p.thdCurrent.thd, 0.0);
    EXPECT_EQ(p.thdCurrent.thdRms, 10.0);
    EXPECT_EQ(p.harmonicCurrentContent, 0.5);
    EXPECT_EQ(p.thdInterVoltage.thd, 4.0);
    EXPECT_EQ(p.interHarmonicsVoltage, w.harmonics(9));

    PowerResultsThd direct;
    PowerModuleImplTestAccess::calculateThd(w.impl, direct, 0.0, 3.0, 0, 0);
    EXPECT_EQ(direct.thd, 0.0);
    EXPECT_EQ(direct.harmonicContent, 3.0);
    EXPECT_EQ(direct.thdRms, 100.0);
}

TEST(GeneralResults, SymmetricalComponentsWithRatios) {
    Options o;
    o.symmetrical = true;
    o.fullFft = true;
    WindowedModule w(o);
    std::complex<double>* phasors = w.impl.buffers.symmetricPhasorBuffer.getHostBufferAt(0, 1, 0);
    double* magnitudes = w.impl.buffers.symmetricMagnitudeBuffer.getHostBufferAt(0, 1, 0);
    const double voltage[3] = {5.0, 230.0, 2.3};
    for (unsigned int k = 0; k < 3; ++k) {
        phasors[k] = std::complex<double>(voltage[k], 0.0);
        phasors[3 + k] = std::complex<double>(k == 1 ? 10.0 : 0.5, 0.0);
        magnitudes[k] = voltage[k] * voltage[k];
        magnitudes[3 + k] = 4.0;
    }
    w.queue(0, 10);
    const std::vector<PowerResultsGeneral> results = w.module.getResults(0);
    ASSERT_EQ(results.size(), 1u);
    const PowerResultsSymmetricalComponent* c = results[0].symmetricalComponents;
    EXPECT_NEAR(c[0].voltageUnbalance, 2.173913, 1e-6);
    EXPECT_EQ(c[1].voltageUnbalance, 100.0);
    EXPECT_EQ(c[2].voltageUnbalance, 0.9999999999999999);
    EXPECT_EQ(c[2].voltageRms, 2.3);
    EXPECT_EQ(c[1].activePower, 6900.0);
    EXPECT_EQ(c[0].currentUnbalance, 5.0);
    EXPECT_EQ(c[1].currentRmsUnbalance, 100.0);
    EXPECT_EQ(results[0].phases[0].spectrumVoltage, w.impl.buffers.spectrumBuffer.getHostBufferAt(0, 1025, 0));
}

TEST(GeneralResults, MaxCountTakesTheOldestAndKeepsTheRest) {
    Options o;
    o.grid = SinglePhase;
    WindowedModule w(o);
    for (unsigned int k = 0; k < 5; ++k) {
        w.raw(k, 0).rmsVoltage = (100.0 + k) * (100.0 + k);
        w.queue(k, 1);
    }
    std::vector<PowerResultsGeneral> first = w.module.getResults(2);
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].phases[0].rmsVoltage, 100.0);
    EXPECT_EQ(first[1].phases[0].rmsVoltage, 101.0);
    EXPECT_EQ(w.impl.resultsQueue.size(), 3u);
    EXPECT_TRUE(w.module.isAnyResultReady());
    std::vector<PowerResultsGeneral> rest = w.module.getResults(0);
    ASSERT_EQ(rest.size(), 3u);
    EXPECT_EQ(rest[2].phases[0].rmsVoltage, 104.0);
    EXPECT_EQ(rest[2].firstSampleIndex, 4u);
    EXPECT_FALSE(w.module.isAnyResultReady());
    EXPECT_TRUE(w.module.getResults(0).empty());
}

TEST(GeneralResults, FlatCopyAndTooManyResults) {
    Options o;
    o.grid = SinglePhase;
    WindowedModule w(o);
    PowerModuleHandle handle = reinterpret_cast<PowerModuleHandle>(&w.module);
    w.raw(0, 0).rmsVoltage = 4.0;
    w.raw(1, 0).rmsVoltage = 9.0;
    w.queue(0, 1);
    w.queue(1, 1);
    std::vector<PowerResultsGeneral> array(3);
    std::memset(static_cast<void*>(array.data()), 0xAB, sizeof(PowerResultsGeneral) * 3);
    int count = -1;
    EXPECT_EQ(getResults(handle, 3, &count, array.data()), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(array[0].phases[0].rmsVoltage, 2.0);
    EXPECT_EQ(array[1].phases[0].rmsVoltage, 3.0);
    const unsigned char* third = reinterpret_cast<const unsigned char*>(&array[2]);
    EXPECT_EQ(third[0], 0xAB);  // exactly two records of sizeof(PowerResultsGeneral) written
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&array[2]) - reinterpret_cast<const unsigned char*>(&array[0]),
              static_cast<long>(2 * sizeof(PowerResultsGeneral)));

    // Capacity 0 means no limit for the module, so any ready window overflows
    // the caller's array: code 2, nothing written, and the window is gone.
    w.queue(2, 1);
    count = -1;
    EXPECT_EQ(getResults(handle, 0, &count, array.data()), 2);
    EXPECT_EQ(count, -1);
    EXPECT_FALSE(w.module.isAnyResultReady());
    EXPECT_EQ(getResults(handle, 0, &count, array.data()), 0);  // nothing ready: no overflow
    EXPECT_EQ(count, 0);
}

TEST(GeneralResults, WindowWithoutRawStorageYieldsNoRecord) {
    PowerModule module;
    module.setSampleRate(10000.0, 1);
    module.reset(500);
    Impl& impl = PowerModuleTestAccess::impl(module);
    ASSERT_TRUE(module.isAnyResultReady());
    EXPECT_TRUE(module.getResults(0).empty());
    EXPECT_FALSE(module.isAnyResultReady());
    EXPECT_EQ(impl.resultsPosition, 504u);  // the window of 4 samples was consumed

    // The successor of a window continues where it ends; without spectrum or
    // harmonic storage its first indices are 0.
    module.reset(1000);
    impl.currentQueueItem->setCalculation(1000, 2000, 200.0, 10, 2048, 4096, 51, 50.0);
    const std::shared_ptr<PowerResultsQueueItem> next = PowerModuleImplTestAccess::nextQueueItem(impl);
    EXPECT_EQ(next->getIndex(), 1u);
    EXPECT_EQ(next->getFirstSampleIndex(), 3000u);
    EXPECT_EQ(next->getFirstFftOutputSampleIndex(), 0u);
    EXPECT_EQ(next->getFirstHarmonicSampleIndex(), 0u);
}

}  // namespace
