#include "ModuleTest.h"

namespace {

// Period values on (so the waveform rings exist) in one bracket.
void configure(PowerModule& module, PowerGridConfigType grid, bool lineToLine, unsigned int length,
               double sampleRate = 1.0) {
    module.beginUpdate();
    module.setGridConfigType(grid); module.setSampleRate(sampleRate, 1); module.setPeriodValuesEnabled(true);
    module.setLineToLineResultsEnabled(lineToLine); module.setBufferLength(length);
    module.endUpdate();
}

TEST(PowerModule, FreshModuleReportsTheDefaults) {
    PowerModule module;
    EXPECT_EQ(std::make_tuple(module.getBufferLength(), module.getSampleRate(), module.getPhasesCount(),
                              module.getVoltagesCount(), module.getCurrentsCount(), module.getHalfPeriodValuesCount(),
                              module.getPeriodValuesOverlapInPercent(), module.getHighestRequestedHarmonic(),
                              module.getThdHighestHarmonic(), module.getRvcSteadyStateLength(),
                              module.getRvcThreshold(), module.getRvcThresholdHysteresis()),
              std::make_tuple(0u, 1.0, 1, 1, 1, 2, 0, 1, 40, 100, 2.0, 50.0));
    EXPECT_TRUE(module.getCurrentEnabled());
    EXPECT_FALSE(module.getFundamentalPeriodValuesEnabled() || module.getInterHarmonicsEnabled() ||
                 module.getLineToLineResultsEnabled() || module.getPeriodValuesEnabled() ||
                 module.getRvcEnabled() || module.getThdEnabled() || module.getWaveformsEnabled() ||
                 module.getFullFftEnabled() || module.getSymmetricalComponentsEnabled() ||
                 module.getPeriodSymmetricalComponentsEnabled() || module.getWindowedResultsEnabled());
    EXPECT_EQ(implOf(module).initializationCount, 0u);  // nothing initialises before a setter
}

TEST(PowerModule, SettingsThatDependOnOthers) {
    // The static tolerance is clamped to [0.001, 0.5].
    const double clamped[][3] = {
        {0.55, 25.0, 75.0}, {0.1, 45.0, 55.00000000000001}, {0.0005, (1.0 - 0.001) * 50.0, (1.0 + 0.001) * 50.0}};
    for (const auto& c : clamped) {
        PowerModule module;
        module.setVariableFrequency(40.0, 70.0); module.setStaticFrequency(50.0, c[0]);
        const PowerConfig& config = implOf(module).config;
        EXPECT_EQ(std::make_tuple(config.variableFrequency, config.minFrequency, config.maxFrequency),
                  std::make_tuple(false, c[1], c[2])) << c[0];
    }
    // Symmetrical components need three phases.
    PowerModule module;
    module.setSymmetricalComponentsEnabled(true); module.setPeriodSymmetricalComponentsEnabled(true);
    for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 0}) {
        module.setGridConfigType(static_cast<PowerGridConfigType>(type));
        const bool threePhases = powerGridConfigs[type].phasesCount == 3;
        EXPECT_EQ(std::make_tuple(module.getSymmetricalComponentsEnabled(), module.getPeriodSymmetricalComponentsEnabled()),
                  std::make_tuple(threePhases, threePhases)) << type;
    }
}

TEST(PowerModule, UpdateBracketsInitialiseOnceAtTheOutermostEnd) {
    PowerModule module;
    Impl& impl = implOf(module);
    module.beginUpdate();
    configure(module, ThreePhaseStar, false, 1000, 10000.0);  // a bracket inside the bracket
    EXPECT_EQ(impl.initializationCount, 0u);
    module.endUpdate();
    EXPECT_EQ(std::make_tuple(impl.initializationCount, impl.buffers.waveformBuffer.hostElementsCount),
              std::make_tuple(1u, 6000u));
    module.beginUpdate(); module.endUpdate();  // initialises even when nothing changed
    EXPECT_EQ(impl.initializationCount, 2u);
    // Outside a bracket: every re-initialising setter runs it, a sample-rate
    // change twice, the period geometry setters not at all.
    module.setRvcEnabled(true);
    EXPECT_EQ(impl.initializationCount, 3u);
    module.setSampleRate(20000.0, 1);  // the duration follows the sample rate
    EXPECT_EQ(std::make_tuple(impl.initializationCount, module.getBufferLength(), impl.buffers.bufferDuration),
              std::make_tuple(5u, 1000u, 0.05));
    module.setHalfPeriodValuesCount(4); module.setPeriodValuesOverlapInPercent(50);
    EXPECT_EQ(impl.initializationCount, 5u);
}

TEST(PowerModule, InitialisationSizesAndResetsTheDetectorGroups) {
    PowerModule module;
    Impl& impl = implOf(module);
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseDelta); module.setRvcSteadyStateLength(20);
    module.setRvcThreshold(1.5); module.setRvcThresholdHysteresis(60.0);
    module.endUpdate();
    // RVC and line-to-line both off, yet three of each.
    ASSERT_EQ(std::make_tuple(impl.rvcPhaseVoltages.getNumberOfPhases(), impl.rvcLineToLineVoltages.getNumberOfPhases()),
              std::make_tuple(3u, 3u));
    EXPECT_EQ(std::make_tuple(impl.rvcLineToLineVoltages[2].getSteadyStateLength(),
                              impl.rvcPhaseVoltages[1].getSteadyStateThreshold(),
                              impl.rvcPhaseVoltages[0].getThresholdHysteresis()),
              std::make_tuple(20u, 1.5, 60.0));
    impl.rvcPhaseVoltages[0].calculate(230.0, 0.0);
    EXPECT_EQ(impl.rvcPhaseVoltages[0].getCurrentResult().state, 0);
    module.setGridConfigType(SinglePhase);
    EXPECT_EQ(std::make_tuple(impl.rvcPhaseVoltages.getNumberOfPhases(), impl.rvcLineToLineVoltages.getNumberOfPhases(),
                              impl.rvcPhaseVoltages[0].getCurrentResult().state),
              std::make_tuple(1u, 0u, -1));
}

TEST(PowerModule, WaveformPointersPerWiringAndNullOutParameters) {
    // Star wiring: the inputs are the phase voltages, ring items 0-2; the
    // currents are items 3-5 and the line-to-line voltages 6-8.
    using Accessor = void (PowerModule::*)(unsigned char, float**) const;
    const std::pair<Accessor, unsigned int> star[] = {{&PowerModule::getWaveformBufferUInput, 0},
                                                      {&PowerModule::getWaveformBufferUStar, 0},
                                                      {&PowerModule::getWaveformBufferI, 300},
                                                      {&PowerModule::getWaveformBufferUDelta, 600}};
    PowerModule module;
    configure(module, ThreePhaseStar, true, 100);
    float* base = implOf(module).buffers.waveformBuffer.hostBuffer;
    ASSERT_NE(base, nullptr);
    for (const auto& [get, offset] : star) {
        EXPECT_THROW((module.*get)(0, nullptr), std::invalid_argument);
        for (unsigned char k = 0; k < 4; ++k) {
            float* ring = base;
            (module.*get)(k, &ring);
            EXPECT_EQ(ring, k < 3 ? base + offset + 100 * k : nullptr) << "offset " << offset << ", channel " << +k;
        }
    }
    int count = 0;
    bool more = false;
    PowerResultsPeriod* records = nullptr;
    EXPECT_THROW(module.getPeriodResults(nullptr, &more, &records), std::invalid_argument);
    EXPECT_THROW(module.getPeriodResults(&count, nullptr, &records), std::invalid_argument);
    EXPECT_THROW(module.getPeriodResults(&count, &more, nullptr), std::invalid_argument);

    // Delta wiring: the inputs are the line-to-line voltages, whose rings
    // exist only with line-to-line results.
    PowerModule delta;
    configure(delta, ThreePhaseDelta, false, 100);
    float* input = base;
    delta.getWaveformBufferUInput(0, &input);
    EXPECT_EQ(input, nullptr);
    delta.setLineToLineResultsEnabled(true); delta.getWaveformBufferUInput(1, &input);
    EXPECT_EQ(input, implOf(delta).buffers.waveformBuffer.hostBuffer + 600 + 100);
}

TEST(PowerModule, MoveTransfersTheImplementation) {
    PowerModule first;
    first.setBufferLength(10);
    Impl* impl = &implOf(first);
    PowerModule second(std::move(first));
    EXPECT_TRUE(PowerModuleTestAccess::empty(first) && &implOf(second) == impl);
    PowerModule& self = second;
    second = std::move(self);
    EXPECT_EQ(&implOf(second), impl);
    first = std::move(second);  // assigning to a moved-from module is valid
    EXPECT_TRUE(PowerModuleTestAccess::empty(second) && first.getBufferLength() == 10u);
}

TEST(PowerModule, ImplementationQueriesForFftAndHarmonics) {
    PowerModule module;
    Impl& impl = implOf(module);
    // ceil(sample rate / (2 x minimum frequency)): 0 for a quotient that is
    // not positive, the largest count for one beyond 32 bits.
    const double harmonics[][3] = {{10240.0, 45.0, 114.0}, {10240.0, 0.0, 4294967295.0}, {10240.0, -45.0, 0.0},
                                   {10240.0, NaN, 0.0},    {NaN, 45.0, 0.0},               {-10240.0, 45.0, 0.0},
                                   {1e12, 1.0, 4294967295.0}};
    for (const auto& c : harmonics) {
        impl.config.sampleRate = c[0]; impl.config.minFrequency = c[1];  // values the setters refuse
        EXPECT_EQ(impl.getMaxHarmonicsCount(), static_cast<unsigned int>(c[2])) << c[0] << " Hz, from " << c[1];
    }
    module.setSampleRate(10240.0, 1); module.setStaticFrequency(50.0, 0.1);
    EXPECT_EQ(impl.getFftLength(0, 50.0), 4096u);  // static: one window at 45 Hz
    module.setVariableFrequency(45.0, 55.0);
    EXPECT_EQ(std::make_tuple(impl.getFftLength(0, 50.0), impl.getFftLength(0, 40.0)), std::make_tuple(2048u, 4096u));
    EXPECT_FALSE(impl.getAnyPeriodValuesEnabled());
    module.setGridConfigType(ThreePhaseStarTwoCurrents); module.setInterHarmonicsEnabled(true);
    EXPECT_EQ(std::make_tuple(impl.getRequiredBuffersCount(), impl.getHarmonicOutputsCount()),
              std::make_tuple(5, static_cast<unsigned char>(3 * (6 + 2))));
    module.setCurrentEnabled(false);
    EXPECT_EQ(std::make_tuple(impl.getRequiredBuffersCount(), impl.getHarmonicOutputsCount()),
              std::make_tuple(3, static_cast<unsigned char>(3 * (1 + 1))));
    module.setPeriodSymmetricalComponentsEnabled(true);
    EXPECT_TRUE(!impl.getAnyPeriodValuesEnabled() && impl.config.areAnyPeriodValuesEnabled());
}

// Single phase at 10240 Hz, a 50 Hz sine in the ring, and the ten period
// values of positions 0 to 2047 queued, not yet fetched.
void queueCycles(PowerModule& module, SignalDriver& driver) {
    configure(module, SinglePhase, false, 10240, 10240.0);
    module.reset(0);
    driver.write(0, 10240, threePhaseSine(10240.0, 50.0, 230.0, 0.0, 0.0));
    driver.schedule(0, 2048, 50.0);
}

TEST(PowerModule, PeriodOperationsWaitUntilAChangedLayoutIsApplied) {
    // Three ways to change the wiring without the initialisation that lays
    // the buffers out for it. Until it runs, fetching and scheduling refuse
    // (saying why) and keep the queue; once it has run, the queued items
    // come out in entries of the new layout.
    struct Route {
        const char* says;
        std::function<void(PowerModule&)> change, apply;
    };
    const Route routes[] = {
        {"the wiring; the change takes effect when the update bracket closes: call endUpdate first",
         [](PowerModule& m) { m.beginUpdate(); m.setGridConfigType(ThreePhaseStar); },
         [](PowerModule& m) { m.endUpdate(); }},
        {"endUpdate was called 1 time(s) more than beginUpdate",
         [](PowerModule& m) { m.endUpdate(); m.setGridConfigType(ThreePhaseStar); },
         [](PowerModule& m) {
             m.beginUpdate();  // balanced, but beginUpdate itself never initialises
             EXPECT_PRED2(says, refusal([&] { SignalDriver(m).fetch(); }), "set the setting again");
             m.setGridConfigType(ThreePhaseStar);
         }},
        {"since the last initialisation failed: cannot allocate",
         [](PowerModule& m) {
             m.beginUpdate(); m.setGridConfigType(ThreePhaseStar);
             m.setBufferLength(1u << 30);  // 3 x 2^32 bytes of waveform ring
             EXPECT_THROW(m.endUpdate(), std::bad_alloc);
         },
         [](PowerModule& m) { m.setBufferLength(10240); }},
    };
    for (const Route& route : routes) {
        SCOPED_TRACE(route.says);
        PowerModule module;
        SignalDriver driver(module);
        queueCycles(module, driver);
        ASSERT_EQ(implOf(module).periodResultsQueue.size(), 10u);
        route.change(module);
        EXPECT_PRED2(says, refusal([&] { driver.fetch(); }), route.says);
        EXPECT_NE(refusal([&] { driver.schedule(2048, 100, 50.0); }), "(not refused)");
        EXPECT_TRUE(driver.entries.empty() && implOf(module).periodResultsQueue.size() == 10u);
        route.apply(module); driver.fetch();
        EXPECT_EQ(driver.entries.size(), 10u);
        driver.schedule(2048, 100, 50.0);
    }
}

TEST(PowerModule, SettingsOutsideTheLayoutApplyAtOnceInsideABracket) {
    PowerModule reference, module;
    SignalDriver expected(reference), got(module);
    queueCycles(reference, expected);
    expected.fetch();
    ASSERT_EQ(expected.entries.size(), 10u);
    queueCycles(module, got);
    // Back to the layout there is; the half periods are read by the values
    // at once, as outside a bracket.
    module.beginUpdate();
    module.setRvcThreshold(5.0); module.setGridConfigType(ThreePhaseStar); module.setGridConfigType(SinglePhase);
    module.setHalfPeriodValuesCount(4);
    got.fetch();
    module.endUpdate();
    ASSERT_EQ(got.entries.size(), expected.entries.size());
    for (size_t k = 0; k < got.entries.size(); ++k) {
        const PowerResultsPeriod &a = got.entries[k][1], &b = expected.entries[k][1];
        EXPECT_EQ(std::make_tuple(a.rmsVoltage, a.frequency), std::make_tuple(b.rmsVoltage, 2.0 * b.frequency)) << k;
    }
}

TEST(PowerModule, WaveformAccessorsRefuseRingsLaidOutForOtherSettings) {
    // A module laid out for 100 samples per channel, then one of these. The
    // accessor answers a pointer that matches getBufferLength() and the
    // channels, null where the rings have no storage, or refuses.
    struct Case {
        const char* what;
        std::function<void(PowerModule&)> change;
        const char* refusal;  // nullptr: answered, pointer or null as `ring` says
        bool ring;
    };
    const Case cases[] = {
        {"nothing changed", [](PowerModule&) {}, nullptr, true},
        {"a stray endUpdate alone", [](PowerModule& m) { m.endUpdate(); }, nullptr, true},
        {"a setting outside the layout inside a bracket",
         [](PowerModule& m) { m.beginUpdate(); m.setRvcThreshold(4.0); }, nullptr, true},
        {"a new buffer length inside a bracket", [](PowerModule& m) { m.beginUpdate(); m.setBufferLength(200); },
         "getWaveformBufferUInput: the waveform rings are still laid out for the settings before the change of the "
         "buffer length; the change takes effect when the update bracket closes",
         false},
        {"a new buffer length after a stray endUpdate", [](PowerModule& m) { m.endUpdate(); m.setBufferLength(200); },
         "the buffer length; endUpdate was called 1 time(s) more than beginUpdate", false},
        {"a new wiring after two stray endUpdates",
         [](PowerModule& m) {
             m.endUpdate(); m.endUpdate();
             m.setLineToLineResultsEnabled(true); m.setGridConfigType(ThreePhaseStar);
         },
         "the wiring, line-to-line results; endUpdate was called 2 time(s)", false},
        {"period values switched off inside a bracket",
         [](PowerModule& m) { m.beginUpdate(); m.setPeriodValuesEnabled(false); },
         "the period values or windowed results switches", false},
        {"period values switched off", [](PowerModule& m) { m.setPeriodValuesEnabled(false); }, nullptr, false},
        {"no buffer length", [](PowerModule& m) { m.setBufferLength(0); }, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PowerModule module;
        configure(module, SinglePhase, false, 100, 10240.0);
        c.change(module);
        float *const untouched = reinterpret_cast<float*>(0x10), *ring = untouched;
        const std::string said = refusal([&] { module.getWaveformBufferUInput(0, &ring); });
        EXPECT_PRED2(says, said, c.refusal ? c.refusal : "(not refused)");
        EXPECT_EQ(ring, c.refusal ? untouched : c.ring ? implOf(module).buffers.waveformBuffer.hostBuffer : nullptr);
    }
    // A module never initialised has no storage, inside a bracket too.
    PowerModule fresh;
    fresh.beginUpdate(); fresh.setPeriodValuesEnabled(true); fresh.setBufferLength(100);
    float* ring = reinterpret_cast<float*>(0x10);
    fresh.getWaveformBufferI(0, &ring);
    EXPECT_EQ(ring, nullptr);
}

// A refused call: the setter it calls, the rest of the message it gives.
#define REFUSED(call, rest) {#call, rest, [](PowerModule& m) { m.call; }}

TEST(PowerModule, RefusedSettersChangeNothingAndNameTheSetting) {
    // A module at 10240 Hz with rings of 1024 samples and 50 Hz +- 10 %
    // set, then one refused call each. The message starts with the setter;
    // no initialisation runs and every setting and the ring stay as they were.
    struct Case {
        std::string call, rest;
        std::function<void(PowerModule&)> run;
    };
    const Case cases[] = {
        REFUSED(setSampleRate(-1.0, 1), "the sample rate must be positive and finite, not -1"),
        REFUSED(setSampleRate(0.0, 1), "the sample rate must be positive and finite, not 0"),
        REFUSED(setSampleRate(NaN, 1), "the sample rate must be positive and finite, not nan"),
        REFUSED(setSampleRate(inf, 1), "the sample rate must be positive and finite, not inf"),
        REFUSED(setSampleRate(-inf, 1), "the sample rate must be positive and finite, not -inf"),
        REFUSED(setSampleRate(10240.0, 0), "the sample index divisor must be at least 1, not 0"),
        REFUSED(setSampleRate(100.0, 1), "a sample rate of 100 Hz cannot measure the highest frequency set, 55 Hz"),
        REFUSED(setVariableFrequency(16.7, 1.8e19),
                "a highest frequency of 1.8e+19 Hz lies above half the sample rate (5120 Hz)"),
        REFUSED(setVariableFrequency(55.0, 45.0), "the lowest frequency, 55 Hz, lies above the highest, 45 Hz"),
        REFUSED(setVariableFrequency(0.0, 55.0), "the lowest frequency must be positive and finite, not 0"),
        REFUSED(setVariableFrequency(45.0, NaN), "the highest frequency must be positive and finite, not nan"),
        REFUSED(setStaticFrequency(2147483648.0, 0.1),
                "a highest frequency of 2362232013 Hz lies above half the sample rate"),
        REFUSED(setStaticFrequency(-50.0, 0.1), "the frequency must be positive and finite, not -50"),
        REFUSED(setStaticFrequency(50.0, NaN), "the tolerance must be a number"),
        REFUSED(setGridConfigType(PowerGridConfigType(8)), "8 is not a wiring"),
        REFUSED(setPeriodCount(0), "a window spans at least one period"),
        REFUSED(setHalfPeriodValuesCount(0), "a period value spans at least one half period"),
        REFUSED(setPeriodValuesOverlapInPercent(100), "the overlap must lie below 100 %, not 100 %"),
        REFUSED(setHighestRequestedHarmonic(-1), "a harmonic order is not negative: -1"),
        REFUSED(setThdHighestHarmonic(-40), "a harmonic order is not negative"),
        REFUSED(setRvcSteadyStateLength(0), "the steady-state window holds at least one period value, not 0"),
        REFUSED(setRvcThreshold(NaN), "the threshold must be finite and not negative, not nan"),
        REFUSED(setRvcThresholdHysteresis(-1.0), "the hysteresis must be finite and not negative, not -1"),
    };
    const auto settings = [](PowerModule& m) {
        const PowerConfig& c = implOf(m).config;
        float* ring = nullptr;
        m.getWaveformBufferUInput(0, &ring);
        return std::make_tuple(c.gridConfigType, c.sampleRate, c.sampleIndexDivisor, c.variableFrequency,
                               c.minFrequency, c.maxFrequency, c.periodCount, c.halfPeriodValuesCount,
                               c.periodValuesOverlapInPercent, c.highestRequestedHarmonic, c.thdHighestHarmonic,
                               c.rvcSteadyStateLength, c.rvcThreshold, c.rvcThresholdHysteresis, m.getBufferLength(),
                               implOf(m).initializationCount, ring);
    };
    for (const Case& c : cases) {
        const std::string expected = c.call.substr(0, c.call.find('(')) + ": " + c.rest;
        SCOPED_TRACE(expected);
        PowerModule module;
        module.setStaticFrequency(50.0, 0.1);
        configure(module, SinglePhase, false, 1024, 10240.0);
        const auto before = settings(module);
        const std::string said = refusal<std::invalid_argument>([&] { c.run(module); });
        EXPECT_EQ(said.rfind(expected, 0), 0u) << said;
        EXPECT_TRUE(settings(module) == before);
    }
    // Until the caller sets a sample rate, the default 1 Hz holds no
    // frequency back (settings come in any order); nor does the default
    // frequency hold a sample rate back.
    EXPECT_NO_THROW(PowerModule().setStaticFrequency(60.0, 0.1));
    EXPECT_NO_THROW(PowerModule().setSampleRate(100.0, 1));
}

// Missing samples (NaN) in a clean three-phase 230 V supply at 50 Hz, on
// phase 1 only, 10000 per second: one-cycle period values (200 samples,
// RVC over 20 of them) and windows of 10 cycles (2000 samples). A NaN makes
// every period value and every window whose span holds it NaN in phase 1's
// RMS values and in the powers and distortion it enters (in a window the
// current's distortion too; power factors read 0), the other phases as they
// were, and nothing after the span: the sums start afresh with each span.
// The RVC detector keeps its state while the NaN value is in its window: no
// event starts.
TEST(PowerModule, ANaNSampleMakesTheValuesWhoseSpanHoldsItNaNAndNothingElse) {
    struct Case { const char* name; uint64_t from, count; };
    for (const Case& c : {Case{"one sample", 3000, 1}, Case{"5 ms", 3020, 50}, Case{"20 ms across two cycles", 3100, 200},
                          Case{"200 ms", 4500, 2000}, Case{"the first sample", 0, 1}}) {
        SCOPED_TRACE(c.name);
        PowerModule module;
        module.beginUpdate();
        module.setGridConfigType(ThreePhaseStar); module.setSampleRate(10000.0, 1); module.setBufferLength(10000);
        module.setPeriodValuesEnabled(true); module.setRvcEnabled(true); module.setRvcSteadyStateLength(20);
        module.setStaticFrequency(50.0, 0.1); module.setPeriodCount(10); module.setThdEnabled(true);
        module.setWindowedResultsEnabled(true);
        module.endUpdate();
        module.reset(0);
        SignalDriver driver(module);
        const SignalDriver::Signal clean = threePhaseSine(10000.0, 50.0, 230.0, 10.0, 30.0);
        const auto missing = [&](uint64_t first, uint64_t end) { return first < c.from + c.count && c.from < end; };
        std::vector<PowerResultsGeneral> windows;
        for (uint64_t p = 0; p < 20000; p += 2000) {
            driver.write(p, 2000, [&](unsigned channel, uint64_t q) {
                return channel == 0 && missing(q, q + 1) ? NaN : clean(channel, q);
            });
            driver.schedule(p, 2000, 50.0);
            driver.fetch();
            module.scheduleForCalculation(p, 10, 50.0);
            const std::vector<PowerResultsGeneral> w = module.getResults(0);
            windows.insert(windows.end(), w.begin(), w.end());
        }
        ASSERT_EQ(driver.entries.size(), 100u);
        for (uint64_t k = 0; k < driver.entries.size(); ++k) {
            const std::vector<PowerResultsPeriod>& e = driver.entries[k];
            SCOPED_TRACE(k);
            EXPECT_EQ(std::isnan(e[1].rmsVoltage), missing(200 * k, 200 * k + 200));
            EXPECT_EQ(std::isnan(e[1].activePower), missing(200 * k, 200 * k + 200));
            EXPECT_EQ(std::isnan(e[0].apparentPower), missing(200 * k, 200 * k + 200));
            EXPECT_EQ(e[1].powerFactor == 0.0, missing(200 * k, 200 * k + 200));
            EXPECT_TRUE(std::isfinite(e[2].rmsVoltage) && std::isfinite(e[3].rmsVoltage) && std::isfinite(e[1].rmsCurrent));
            EXPECT_FALSE(e[1].rvcVoltage.eventEnded || e[1].rvcVoltage.state == 1 || e[0].rvcVoltage.state == 1);
        }
        ASSERT_EQ(windows.size(), 10u);
        for (uint64_t w = 0; w < windows.size(); ++w) {
            const PowerResultsGeneralPhase& a = windows[w].phases[0];
            SCOPED_TRACE(w);
            const bool gap = missing(2000 * w, 2000 * w + 2000);
            EXPECT_EQ(std::isnan(a.rmsVoltage), gap);
            EXPECT_EQ(std::isnan(a.fundamentalVoltage), gap);
            EXPECT_EQ(std::isnan(a.thdVoltage.thd), gap);
            EXPECT_EQ(std::isnan(a.thdCurrent.thd), gap);  // the current shares the voltage's transform here
            EXPECT_EQ(std::make_pair(std::isnan(a.rmsCurrent), a.powerFactor == 0.0), std::make_pair(false, gap));
            EXPECT_EQ(std::isnan(windows[w].phases[3].activePower), gap);
            EXPECT_TRUE(std::isfinite(windows[w].phases[1].rmsVoltage) && std::isfinite(windows[w].phases[1].thdVoltage.thd));
        }
    }
}

}  // namespace
