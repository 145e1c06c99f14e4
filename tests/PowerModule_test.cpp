#include "powerquality/PowerModule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

#include "TestAccess.h"

namespace {

using Impl = PowerModule::PowerModuleImpl;

Impl& implOf(PowerModule& module) { return PowerModuleTestAccess::impl(module); }

TEST(PowerModule, FreshModuleReportsTheDefaults) {
    PowerModule module;
    EXPECT_EQ(module.getBufferLength(), 0u);
    EXPECT_EQ(module.getSampleRate(), 1.0);
    EXPECT_EQ(module.getPhasesCount() + module.getVoltagesCount() + module.getCurrentsCount(), 3);
    EXPECT_EQ(module.getHalfPeriodValuesCount(), 2);
    EXPECT_EQ(module.getPeriodValuesOverlapInPercent(), 0);
    EXPECT_EQ(module.getHighestRequestedHarmonic(), 1);
    EXPECT_EQ(module.getThdHighestHarmonic(), 40);
    EXPECT_EQ(module.getRvcSteadyStateLength(), 100);
    EXPECT_EQ(module.getRvcThreshold(), 2.0);
    EXPECT_EQ(module.getRvcThresholdHysteresis(), 50.0);
    EXPECT_TRUE(module.getCurrentEnabled());
    const bool anyOther = module.getFundamentalPeriodValuesEnabled() || module.getInterHarmonicsEnabled() ||
                          module.getLineToLineResultsEnabled() || module.getPeriodValuesEnabled() ||
                          module.getRvcEnabled() || module.getThdEnabled() || module.getWaveformsEnabled() ||
                          module.getFullFftEnabled() || module.getSymmetricalComponentsEnabled() ||
                          module.getPeriodSymmetricalComponentsEnabled();
    EXPECT_FALSE(anyOther);
    const Impl& impl = implOf(module);
    EXPECT_EQ(impl.initializationCount, 0u);  // nothing initialises before a setter
    EXPECT_EQ(&impl.owner, &module);
    EXPECT_FALSE(impl.currentQueueItem);
}

TEST(PowerModule, StaticFrequencyToleranceIsClamped) {
    struct Case {
        double tolerance, low, high;
    };
    const Case cases[] = {{0.7, 25.0, 75.0}, {0.0, (1.0 - 0.001) * 50.0, (1.0 + 0.001) * 50.0},
                          {-1.0, (1.0 - 0.001) * 50.0, (1.0 + 0.001) * 50.0}, {0.1, 45.0, 55.00000000000001}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.tolerance);
        PowerModule module;
        module.setVariableFrequency(40.0, 70.0);
        module.setStaticFrequency(50.0, c.tolerance);
        const Impl& impl = implOf(module);
        EXPECT_FALSE(impl.config.variableFrequency);
        EXPECT_EQ(impl.config.minFrequency, c.low);
        EXPECT_EQ(impl.config.maxFrequency, c.high);
    }
    PowerModule module;
    module.setStaticFrequency(50.0, 0.0);
    EXPECT_NEAR(implOf(module).config.minFrequency, 49.95, 1e-12);
    EXPECT_NEAR(implOf(module).config.maxFrequency, 50.05, 1e-12);
}

TEST(PowerModule, FullFftOnlyWithStaticFrequency) {
    PowerModule module;
    module.setFullFftEnabled(true);
    EXPECT_TRUE(module.getFullFftEnabled());
    module.setVariableFrequency(45.0, 55.0);
    EXPECT_FALSE(module.getFullFftEnabled());
    module.setStaticFrequency(60.0, 0.05);
    EXPECT_TRUE(module.getFullFftEnabled());
}

TEST(PowerModule, SymmetricalComponentsOnlyOnThreePhaseGrids) {
    for (int type = 0; type < 8; ++type) {
        SCOPED_TRACE(type);
        PowerModule module;
        module.setSymmetricalComponentsEnabled(true);
        module.setPeriodSymmetricalComponentsEnabled(true);
        module.setGridConfigType(static_cast<PowerGridConfigType>(type));
        const bool threePhases = powerGridConfigs[type].phasesCount == 3;
        EXPECT_EQ(module.getSymmetricalComponentsEnabled(), threePhases);
        EXPECT_EQ(module.getPeriodSymmetricalComponentsEnabled(), threePhases);
    }
}

TEST(PowerModule, NestedBracketsInitialiseOnceAtTheOutermostEnd) {
    PowerModule module;
    Impl& impl = implOf(module);
    module.beginUpdate();
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar);
    module.setPeriodValuesEnabled(true);
    module.setSampleRate(10000.0, 1);
    module.setBufferLength(1000);
    module.endUpdate();
    EXPECT_EQ(impl.initializationCount, 0u);
    EXPECT_EQ(impl.buffers.waveformBuffer.hostBuffer, nullptr);
    module.endUpdate();
    EXPECT_EQ(impl.initializationCount, 1u);
    EXPECT_EQ(impl.buffers.waveformBuffer.hostElementsCount, 6000u);

    // The outermost end initialises even when nothing changed.
    module.beginUpdate();
    module.endUpdate();
    EXPECT_EQ(impl.initializationCount, 2u);

    // Outside a bracket every re-initialising setter runs it; a sample-rate
    // change runs it twice; the period geometry setters do not run it.
    module.setRvcEnabled(true);
    EXPECT_EQ(impl.initializationCount, 3u);
    module.setSampleRate(20000.0, 1);
    EXPECT_EQ(impl.initializationCount, 5u);
    module.setHalfPeriodValuesCount(4);
    module.setPeriodValuesOverlapInPercent(50);
    EXPECT_EQ(impl.initializationCount, 5u);
}

TEST(PowerModule, UnmatchedEndUpdateBlocksInitialisationUntilBalanced) {
    PowerModule module;
    Impl& impl = implOf(module);
    module.endUpdate();
    EXPECT_EQ(impl.updateCount.load(), -1);
    EXPECT_EQ(impl.initializationCount, 0u);
    module.setRvcEnabled(true);
    EXPECT_EQ(impl.initializationCount, 0u);
    module.beginUpdate();  // back to 0, but beginUpdate itself never initialises
    EXPECT_EQ(impl.initializationCount, 0u);
    module.setRvcEnabled(false);
    EXPECT_EQ(impl.initializationCount, 1u);
}

TEST(PowerModule, BufferDurationFollowsTheSampleRate) {
    PowerModule module;
    Impl& impl = implOf(module);
    module.setBufferLength(1000);
    EXPECT_EQ(impl.buffers.bufferDuration, 1000.0);
    module.setSampleRate(10000.0, 4);
    EXPECT_EQ(module.getBufferLength(), 1000u);
    EXPECT_EQ(impl.buffers.bufferDuration, 0.1);
    EXPECT_EQ(impl.config.sampleIndexDivisor, 4);
}

TEST(PowerModule, InitialisationSizesTheDetectorGroupsForTheWiring) {
    PowerModule module;
    Impl& impl = implOf(module);
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseDelta);
    module.setRvcSteadyStateLength(20);
    module.setRvcThreshold(1.5);
    module.setRvcThresholdHysteresis(60.0);
    module.endUpdate();
    ASSERT_EQ(impl.rvcPhaseVoltages.getNumberOfPhases(), 3u);
    ASSERT_EQ(impl.rvcLineToLineVoltages.getNumberOfPhases(), 3u);  // rvc and line-to-line both off
    EXPECT_EQ(impl.rvcLineToLineVoltages[2].getSteadyStateLength(), 20u);
    EXPECT_EQ(impl.rvcPhaseVoltages[1].getSteadyStateThreshold(), 1.5);
    EXPECT_EQ(impl.rvcPhaseVoltages[0].getThresholdHysteresis(), 60.0);

    // A detector that has seen a value is reset by the next initialisation.
    impl.rvcPhaseVoltages[0].calculate(230.0, 0.0);
    EXPECT_EQ(impl.rvcPhaseVoltages[0].getCurrentResult().state, 0);
    module.setGridConfigType(SinglePhase);
    EXPECT_EQ(impl.rvcPhaseVoltages.getNumberOfPhases(), 1u);
    EXPECT_EQ(impl.rvcLineToLineVoltages.getNumberOfPhases(), 0u);
    EXPECT_EQ(impl.rvcPhaseVoltages[0].getCurrentResult().state, -1);
}

TEST(PowerModule, WaveformPointersPerWiring) {
    PowerModule star;
    star.beginUpdate();
    star.setGridConfigType(ThreePhaseStar);
    star.setPeriodValuesEnabled(true);
    star.setLineToLineResultsEnabled(true);
    star.setBufferLength(100);
    star.endUpdate();
    float* base = PowerModuleTestAccess::impl(star).buffers.waveformBuffer.hostBuffer;
    ASSERT_NE(base, nullptr);
    for (unsigned char k = 0; k < 3; ++k) {
        SCOPED_TRACE(static_cast<int>(k));
        float *input, *uStar, *current, *delta;
        star.getWaveformBufferUInput(k, &input);
        star.getWaveformBufferUStar(k, &uStar);
        star.getWaveformBufferI(k, &current);
        star.getWaveformBufferUDelta(k, &delta);
        EXPECT_EQ(input, uStar);
        EXPECT_EQ(uStar, base + 100 * k);
        EXPECT_EQ(current, base + 300 + 100 * k);
        EXPECT_EQ(delta, base + 600 + 100 * k);
    }
    float* out = base;
    star.getWaveformBufferUInput(3, &out);
    EXPECT_EQ(out, nullptr);
    out = base;
    star.getWaveformBufferI(200, &out);
    EXPECT_EQ(out, nullptr);

    PowerModule delta;
    delta.beginUpdate();
    delta.setGridConfigType(ThreePhaseDelta);
    delta.setPeriodValuesEnabled(true);
    delta.setBufferLength(100);
    delta.endUpdate();
    float* input = nullptr;
    delta.getWaveformBufferUInput(0, &input);
    EXPECT_EQ(input, nullptr);  // line-to-line rings exist only with line-to-line results
    delta.setLineToLineResultsEnabled(true);
    float* deltaRing = nullptr;
    delta.getWaveformBufferUInput(1, &input);
    delta.getWaveformBufferUDelta(1, &deltaRing);
    EXPECT_NE(input, nullptr);
    EXPECT_EQ(input, deltaRing);

}

TEST(PowerModule, SamplesSurviveAnInitialisationThatKeepsTheSize) {
    PowerModule module;
    module.setPeriodValuesEnabled(true);
    module.setBufferLength(64);
    float* ring = nullptr;
    module.getWaveformBufferUInput(0, &ring);
    ring[63] = 1.25f;
    module.writeSamples(64);
    module.sync();
    module.scheduleForCalculation(0, 10, 50.0);
    module.setRvcEnabled(true);  // re-initialises, same sizes
    float* again = nullptr;
    module.getWaveformBufferUInput(0, &again);
    EXPECT_EQ(again, ring);
    EXPECT_EQ(again[63], 1.25f);
    EXPECT_FALSE(module.isAnyResultReady());
}

TEST(PowerModule, MoveTransfersTheImplementation) {
    PowerModule first;
    first.setBufferLength(10);
    Impl* impl = &implOf(first);
    PowerModule second(std::move(first));
    EXPECT_TRUE(PowerModuleTestAccess::empty(first));
    EXPECT_EQ(&implOf(second), impl);
    EXPECT_EQ(second.getBufferLength(), 10u);

    PowerModule& self = second;
    second = std::move(self);
    EXPECT_EQ(&implOf(second), impl);
    first = std::move(second);  // assigning to a moved-from module is valid
    EXPECT_TRUE(PowerModuleTestAccess::empty(second));
    EXPECT_EQ(first.getBufferLength(), 10u);
}

TEST(PowerModule, ImplementationQueriesForFftAndHarmonics) {
    PowerModule module;
    module.setSampleRate(10240.0, 1);
    Impl& impl = implOf(module);
    EXPECT_EQ(impl.getMaxHarmonicsCount(), 114u);  // ceil(10240 / 90)
    EXPECT_EQ(impl.getFftLength(0, 50.0), 4096u);   // static: one window at 45 Hz
    module.setVariableFrequency(45.0, 55.0);
    EXPECT_EQ(impl.getFftLength(0, 50.0), 2048u);
    EXPECT_EQ(impl.getFftLength(0, 40.0), 4096u);
    EXPECT_FALSE(impl.getAnyPeriodValuesEnabled());
    module.setGridConfigType(ThreePhaseStarTwoCurrents);
    module.setInterHarmonicsEnabled(true);
    EXPECT_EQ(impl.getRequiredBuffersCount(), 5);
    EXPECT_EQ(impl.getHarmonicOutputsCount(), 3 * (6 + 2));
    module.setCurrentEnabled(false);
    EXPECT_EQ(module.getCurrentsCount(), 0);
    EXPECT_EQ(impl.getRequiredBuffersCount(), 3);
    EXPECT_EQ(impl.getHarmonicOutputsCount(), 3 * (1 + 1));
    module.setPeriodSymmetricalComponentsEnabled(true);
    EXPECT_FALSE(impl.getAnyPeriodValuesEnabled());
    EXPECT_TRUE(impl.config.areAnyPeriodValuesEnabled());
}

}  // namespace
