#include "powerquality/PowerModule.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "TestAccess.h"

namespace {

using Impl = PowerModule::PowerModuleImpl;

Impl& implOf(PowerModule& module) { return PowerModuleTestAccess::impl(module); }

// Period values on (so the waveform rings exist) in one bracket.
void configure(PowerModule& module, PowerGridConfigType grid, bool lineToLine, unsigned int length) {
    module.beginUpdate();
    module.setGridConfigType(grid);
    module.setPeriodValuesEnabled(true);
    module.setLineToLineResultsEnabled(lineToLine);
    module.setBufferLength(length);
    module.endUpdate();
}

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
    EXPECT_FALSE(module.getFundamentalPeriodValuesEnabled() || module.getInterHarmonicsEnabled() ||
                 module.getLineToLineResultsEnabled() || module.getPeriodValuesEnabled() ||
                 module.getRvcEnabled() || module.getThdEnabled() || module.getWaveformsEnabled() ||
                 module.getFullFftEnabled() || module.getSymmetricalComponentsEnabled() ||
                 module.getPeriodSymmetricalComponentsEnabled());
    EXPECT_EQ(implOf(module).initializationCount, 0u);  // nothing initialises before a setter
    EXPECT_EQ(&implOf(module).owner, &module);
}

TEST(PowerModule, SettingsThatDependOnOthers) {
    // The static tolerance is clamped to [0.001, 0.5].
    const double clamped[][3] = {{0.7, 25.0, 75.0}, {0.0, (1.0 - 0.001) * 50.0, (1.0 + 0.001) * 50.0},
                                 {-1.0, (1.0 - 0.001) * 50.0, (1.0 + 0.001) * 50.0}, {0.1, 45.0, 55.00000000000001},
                                 {0.0005, (1.0 - 0.001) * 50.0, (1.0 + 0.001) * 50.0}};
    for (const auto& c : clamped) {
        SCOPED_TRACE(c[0]);
        PowerModule module;
        module.setVariableFrequency(40.0, 70.0);
        module.setStaticFrequency(50.0, c[0]);
        EXPECT_FALSE(implOf(module).config.variableFrequency);
        EXPECT_EQ(implOf(module).config.minFrequency, c[1]);
        EXPECT_EQ(implOf(module).config.maxFrequency, c[2]);
    }
    // The full FFT needs a static frequency.
    PowerModule module;
    module.setFullFftEnabled(true);
    EXPECT_TRUE(module.getFullFftEnabled());
    module.setVariableFrequency(45.0, 55.0);
    EXPECT_FALSE(module.getFullFftEnabled());
    module.setStaticFrequency(60.0, 0.05);
    EXPECT_TRUE(module.getFullFftEnabled());
    // Symmetrical components need three phases.
    module.setSymmetricalComponentsEnabled(true);
    module.setPeriodSymmetricalComponentsEnabled(true);
    for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 0}) {
        SCOPED_TRACE(type);
        module.setGridConfigType(static_cast<PowerGridConfigType>(type));
        const bool threePhases = powerGridConfigs[type].phasesCount == 3;
        EXPECT_EQ(module.getSymmetricalComponentsEnabled(), threePhases);
        EXPECT_EQ(module.getPeriodSymmetricalComponentsEnabled(), threePhases);
    }
}

TEST(PowerModule, UpdateBracketsInitialiseOnceAtTheOutermostEnd) {
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
    module.beginUpdate();
    module.endUpdate();  // initialises even when nothing changed
    EXPECT_EQ(impl.initializationCount, 2u);
    // Outside a bracket: every re-initialising setter runs it, a sample-rate
    // change twice, the period geometry setters not at all.
    module.setRvcEnabled(true);
    EXPECT_EQ(impl.initializationCount, 3u);
    module.setSampleRate(20000.0, 1);
    EXPECT_EQ(impl.initializationCount, 5u);
    EXPECT_EQ(module.getBufferLength(), 1000u);
    EXPECT_EQ(impl.buffers.bufferDuration, 0.05);  // the duration follows the sample rate
    module.setHalfPeriodValuesCount(4);
    module.setPeriodValuesOverlapInPercent(50);
    EXPECT_EQ(impl.initializationCount, 5u);

    // An unmatched end blocks initialisation until a begin balances it.
    PowerModule unmatched;
    Impl& u = implOf(unmatched);
    unmatched.endUpdate();
    EXPECT_EQ(u.updateCount.load(), -1);
    unmatched.setRvcEnabled(true);
    unmatched.beginUpdate();  // back to 0, but beginUpdate itself never initialises
    EXPECT_EQ(u.initializationCount, 0u);
    unmatched.setRvcEnabled(false);
    EXPECT_EQ(u.initializationCount, 1u);
}

TEST(PowerModule, InitialisationSizesAndResetsTheDetectorGroups) {
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
    impl.rvcPhaseVoltages[0].calculate(230.0, 0.0);
    EXPECT_EQ(impl.rvcPhaseVoltages[0].getCurrentResult().state, 0);
    module.setGridConfigType(SinglePhase);
    EXPECT_EQ(impl.rvcPhaseVoltages.getNumberOfPhases(), 1u);
    EXPECT_EQ(impl.rvcLineToLineVoltages.getNumberOfPhases(), 0u);
    EXPECT_EQ(impl.rvcPhaseVoltages[0].getCurrentResult().state, -1);
}

TEST(PowerModule, WaveformPointersPerWiring) {
    PowerModule star;
    configure(star, ThreePhaseStar, true, 100);
    float* base = implOf(star).buffers.waveformBuffer.hostBuffer;
    ASSERT_NE(base, nullptr);
    for (unsigned char k = 0; k < 4; ++k) {
        SCOPED_TRACE(static_cast<int>(k));
        float *input = base, *uStar = base, *current = base, *delta = base;
        star.getWaveformBufferUInput(k, &input);
        star.getWaveformBufferUStar(k, &uStar);
        star.getWaveformBufferI(k, &current);
        star.getWaveformBufferUDelta(k, &delta);
        EXPECT_EQ(input, uStar);  // star: the inputs are the phase voltages
        EXPECT_EQ(uStar, k < 3 ? base + 100 * k : nullptr);
        EXPECT_EQ(current, k < 3 ? base + 300 + 100 * k : nullptr);
        EXPECT_EQ(delta, k < 3 ? base + 600 + 100 * k : nullptr);
    }
    PowerModule delta;
    configure(delta, ThreePhaseDelta, false, 100);
    float *input = base, *deltaRing = nullptr;
    delta.getWaveformBufferUInput(0, &input);
    EXPECT_EQ(input, nullptr);  // line-to-line rings exist only with line-to-line results
    delta.setLineToLineResultsEnabled(true);
    delta.getWaveformBufferUInput(1, &input);
    delta.getWaveformBufferUDelta(1, &deltaRing);
    EXPECT_EQ(input, deltaRing);
    EXPECT_EQ(input, implOf(delta).buffers.waveformBuffer.hostBuffer + 600 + 100);
}

TEST(PowerModule, SamplesSurviveAnInitialisationThatKeepsTheSize) {
    PowerModule module;
    configure(module, ThreePhaseStar, false, 64);
    float *ring = nullptr, *again = nullptr;
    module.getWaveformBufferUInput(0, &ring);
    ring[63] = 1.25f;
    module.writeSamples(64);
    module.sync();
    module.scheduleForCalculation(0, 10, 50.0);
    module.setRvcEnabled(true);  // re-initialises, same sizes
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
    EXPECT_EQ(impl.getRequiredBuffersCount(), 3);
    EXPECT_EQ(impl.getHarmonicOutputsCount(), 3 * (1 + 1));
    module.setPeriodSymmetricalComponentsEnabled(true);
    EXPECT_FALSE(impl.getAnyPeriodValuesEnabled());
    EXPECT_TRUE(impl.config.areAnyPeriodValuesEnabled());
}

TEST(PowerModule, NullOutParametersAreRefused) {
    PowerModule module;
    configure(module, SinglePhase, false, 100);
    module.reset(0);
    int count = 0;
    bool more = false;
    PowerResultsPeriod* records = nullptr;
    EXPECT_THROW(module.getPeriodResults(nullptr, &more, &records), std::invalid_argument);
    EXPECT_THROW(module.getPeriodResults(&count, nullptr, &records), std::invalid_argument);
    EXPECT_THROW(module.getPeriodResults(&count, &more, nullptr), std::invalid_argument);
    EXPECT_THROW(module.getWaveformBufferUInput(0, nullptr), std::invalid_argument);
    EXPECT_THROW(module.getWaveformBufferUStar(0, nullptr), std::invalid_argument);
    EXPECT_THROW(module.getWaveformBufferI(0, nullptr), std::invalid_argument);
    EXPECT_THROW(module.getWaveformBufferUDelta(0, nullptr), std::invalid_argument);
}

TEST(PowerModule, MaxHarmonicsCountForEveryInput) {
    const double nan = std::nan("");
    const double cases[][3] = {{10240.0, 45.0, 114.0},      {10240.0, 0.0, 4294967295.0}, {10240.0, -45.0, 0.0},
                               {10240.0, nan, 0.0},         {nan, 45.0, 0.0},             {-10240.0, 45.0, 0.0},
                               {1e12, 1.0, 4294967295.0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c[0] << " " << c[1]);
        PowerModule module;
        module.setSampleRate(c[0], 1);
        module.setVariableFrequency(c[1], 55.0);
        EXPECT_EQ(implOf(module).getMaxHarmonicsCount(), static_cast<unsigned int>(c[2]));
    }
}

TEST(PowerModule, ResultsRingWaitsForAFittingSampleRate) {
    // At the default 1 Hz, 1000 samples last 1000 s: 55 000 period values of
    // 4 records for a ring of 1000 positions. The waveform and tracking rings
    // are there, the results ring is not, and fetching says why.
    PowerModule module;
    configure(module, ThreePhaseStar, false, 1000);
    Impl& impl = implOf(module);
    EXPECT_NE(impl.buffers.waveformBuffer.hostBuffer, nullptr);
    EXPECT_EQ(impl.buffers.periodResultsBuffer.hostAllocatedBytes, 0u);
    EXPECT_TRUE(impl.buffers.periodResultsRingDeferred);
    module.reset(0);
    int count = 0;
    bool more = false;
    PowerResultsPeriod* records = nullptr;
    EXPECT_THROW(module.getPeriodResults(&count, &more, &records), std::runtime_error);
    module.setSampleRate(10000.0, 1);
    EXPECT_FALSE(impl.buffers.periodResultsRingDeferred);
    EXPECT_EQ(impl.buffers.periodResultsBuffer.hostAllocatedBytes, 4u * 6u * sizeof(PowerResultsPeriod));
    EXPECT_NO_THROW(module.getPeriodResults(&count, &more, &records));
}

// Single phase at 10240 Hz, a 50 Hz sine in the ring, and the period values of
// positions 0 to 2047 queued, not yet fetched.
void queueCycles(PowerModule& module) {
    module.beginUpdate();
    module.setGridConfigType(SinglePhase);
    module.setSampleRate(10240.0, 1);
    module.setPeriodValuesEnabled(true);
    module.setBufferLength(10240);
    module.endUpdate();
    module.reset(0);
    float* ring = nullptr;
    module.getWaveformBufferUInput(0, &ring);
    for (int p = 0; p < 10240; ++p) {
        ring[p] = static_cast<float>(325.0 * std::sin(2.0 * 3.141592653589793 * 50.0 * p / 10240.0));
    }
    unsigned long long first = 0;
    int length = 2048;
    double frequency = 50.0;
    bool flag = true;
    module.scheduleForPeriodCalculation(1, &first, &length, &frequency, &flag);
}

// Fetches everything waiting (entries of `perItem` records) and checks that
// each fetch hands out records inside the results ring.
std::vector<PowerResultsPeriod> fetchAll(PowerModule& module, unsigned int perItem) {
    const Impl& impl = implOf(module);
    std::vector<PowerResultsPeriod> records;
    bool more = true;
    while (more) {
        int count = 0;
        PowerResultsPeriod* first = nullptr;
        module.getPeriodResults(&count, &more, &first);
        if (count == 0) {
            break;
        }
        const PowerResultsPeriod* ring = impl.buffers.periodResultsBuffer.hostBuffer;
        EXPECT_EQ(impl.buffers.recordsPerPeriodItem, perItem);
        EXPECT_TRUE(first >= ring && first + count * perItem <= ring + impl.buffers.periodResultsBuffer.length);
        records.insert(records.end(), first, first + count * perItem);
    }
    return records;
}

std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "(not refused)";
}

TEST(PowerModule, PeriodOperationsWaitUntilAChangedLayoutIsApplied) {
    // Three ways to change the wiring without the initialisation that lays
    // the buffers out for it. Until it runs, fetching and scheduling refuse
    // and keep the queue; once it has run, the queued items come out in
    // entries of the new layout (four records).
    struct Route {
        const char* name;
        std::function<void(PowerModule&)> change;
        const char* says;
        std::function<void(PowerModule&)> apply;
    };
    const Route routes[] = {
        {"open bracket",
         [](PowerModule& m) {
             m.beginUpdate();
             m.setGridConfigType(ThreePhaseStar);
         },
         "the wiring; the change takes effect when the update bracket closes: call endUpdate first",
         [](PowerModule& m) { m.endUpdate(); }},
        {"endUpdate without beginUpdate",
         [](PowerModule& m) {
             m.endUpdate();
             m.setGridConfigType(ThreePhaseStar);
         },
         "endUpdate was called 1 time(s) more than beginUpdate",
         [](PowerModule& m) {
             m.beginUpdate();
             m.setGridConfigType(ThreePhaseStar);
         }},
        {"failed initialisation",
         [](PowerModule& m) {
             m.beginUpdate();
             m.setGridConfigType(ThreePhaseStar);
             m.setBufferLength(1u << 30);  // 3 x 2^32 bytes of waveform ring
             EXPECT_THROW(m.endUpdate(), std::bad_alloc);
         },
         "since the last initialisation failed: cannot allocate",
         [](PowerModule& m) { m.setBufferLength(10240); }},
    };
    for (const Route& route : routes) {
        SCOPED_TRACE(route.name);
        PowerModule module;
        queueCycles(module);
        const size_t queued = implOf(module).periodResultsQueue.size();
        ASSERT_EQ(queued, 10u);
        route.change(module);
        int count = -1;
        bool more = true;
        PowerResultsPeriod* records = nullptr;
        EXPECT_NE(refusal([&] { module.getPeriodResults(&count, &more, &records); }).find(route.says),
                  std::string::npos);
        unsigned long long first = 2048;
        int length = 100;
        double frequency = 50.0;
        bool flag = true;
        EXPECT_NE(refusal([&] { module.scheduleForPeriodCalculation(1, &first, &length, &frequency, &flag); }),
                  "(not refused)");
        EXPECT_EQ(records, nullptr);
        EXPECT_EQ(implOf(module).periodResultsQueue.size(), queued);
        route.apply(module);
        EXPECT_EQ(fetchAll(module, 4).size(), 4 * queued);
        module.scheduleForPeriodCalculation(1, &first, &length, &frequency, &flag);
    }
}

TEST(PowerModule, SettingsOutsideTheLayoutApplyAtOnceInsideABracket) {
    PowerModule reference;
    queueCycles(reference);
    const std::vector<PowerResultsPeriod> expected = fetchAll(reference, 2);
    ASSERT_EQ(expected.size(), 20u);
    PowerModule module;
    queueCycles(module);
    module.beginUpdate();
    module.setRvcThreshold(5.0);
    module.setGridConfigType(ThreePhaseStar);
    module.setGridConfigType(SinglePhase);  // back to the layout there is
    module.setHalfPeriodValuesCount(4);     // read by the values at once, as outside a bracket
    const std::vector<PowerResultsPeriod> records = fetchAll(module, 2);
    module.endUpdate();
    ASSERT_EQ(records.size(), expected.size());
    for (size_t r = 1; r < records.size(); r += 2) {
        EXPECT_EQ(records[r].rmsVoltage, expected[r].rmsVoltage);
        EXPECT_EQ(records[r].frequency, 2.0 * expected[r].frequency);
    }
}

}  // namespace
