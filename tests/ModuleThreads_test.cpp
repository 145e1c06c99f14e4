// Modules used from several threads at once, each module from one thread, as
// a host with one acquisition thread per channel group uses them. Every
// thread must get exactly the results that the same module gives when it is
// driven alone: modules share no mutable state (scratch buffers, detector
// windows, the error reporter's and the error message's storage).
//
// The test is meant to run under ThreadSanitizer as well (.ci/run builds the
// tests with -fsanitize=thread in build-tsan/ and runs this test there), where
// a data race between modules fails it even when the numbers come out right.
#include <thread>

#include "ModuleTest.h"

namespace {

// The frequency is the signal's and the segments'; variable: a variable
// frequency range instead of a static one; the overlap is in percent.
struct Scenario {
    PowerGridConfigType grid;
    double sampleRate, frequency;
    bool variable;
    unsigned short overlap;
    int steadyStateLength;
};

// What one run produced: the period values that matter bit for bit, and the
// status and message of a refused segment.
struct Outcome {
    std::vector<double> values;
    std::string refused;
    int rvcEvents = 0;
};

void append(std::vector<double>& out, const PowerResultsPeriod& r) {
    out.insert(out.end(), {r.time, r.frequency, r.rmsVoltage, r.rmsCurrent, r.rmsLineToLine, r.activePower,
                           r.nonActivePower, r.apparentPower, r.powerFactor, r.fundamentalVoltage, r.fundamentalCurrent,
                           r.fundamentalPhaseAngle, double(r.rvcVoltage.state), double(r.rvcVoltage.deltaUmax),
                           double(r.rvcVoltage.deltaUss), r.rvcVoltage.duration, r.symmetricalComponent.voltageMagnitude});
}

// 3.6 seconds of a grid whose phase 1 steps up by 6 % from 1.2 s to 2.0 s,
// written block by block, with one refused segment in the middle.
Outcome drive(const Scenario& sc) {
    Outcome outcome;
    PowerModuleHandle m = powerModule_create();
    EXPECT_NE(m, nullptr);
    EXPECT_EQ((Statuses{beginUpdate(m), setGridConfigType(m, sc.grid), setSampleRate(m, sc.sampleRate, 1),
                        setBufferLength(m, static_cast<unsigned int>(sc.sampleRate / 2)),
                        sc.variable ? setVariableFrequency(m, 42.5, 69.0) : setStaticFrequency(m, sc.frequency, 0.1),
                        setLineToLineResultsEnabled(m, true), setPeriodValuesEnabled(m, true),
                        setPeriodSymmetricalComponentsEnabled(m, true), setPeriodValuesOverlapInPercent(m, sc.overlap),
                        setRvcEnabled(m, true), setRvcSteadyStateLengthInNumberOfPeriodValues(m, sc.steadyStateLength),
                        endUpdate(m), reset(m, 0)}),
              Statuses(13));
    SignalDriver driver(*reinterpret_cast<PowerModule*>(m));
    const SignalDriver::Signal signal = [&](unsigned c, uint64_t p) {
        const double t = static_cast<double>(p) / sc.sampleRate;
        const unsigned phase = c % 3;
        const double step = (phase == 1 && t >= 1.2 && t < 2.0) ? 1.06 : 1.0;
        const double amplitude = c < 3 ? 325.0 * step : (c < 6 ? 14.0 : 563.0);
        return amplitude * std::sin(2.0 * pi * sc.frequency * t - 2.0 * pi / 3.0 * phase);
    };
    // Blocks of 700: not a divisor of the ring length.
    const uint64_t total = static_cast<uint64_t>(3.6 * sc.sampleRate), block = 700;
    for (uint64_t first = 0; first < total; first += block) {
        driver.write(first, block, signal);
        uint64_t segmentFirst = first;
        int length = static_cast<int>(block);
        double f = sc.frequency, bad = -sc.frequency;
        bool flag = true;
        if (first == 10 * block) {
            // A segment the module refuses; the stream goes on as if it was not sent.
            const int status = scheduleForPeriodCalculation(m, 1, &segmentFirst, &length, &bad, &flag);
            const char* message = nullptr;
            EXPECT_EQ(getLastErrorMessage(m, &message), 0);
            outcome.refused = std::to_string(status) + ": " + message;
        }
        EXPECT_EQ(scheduleForPeriodCalculation(m, 1, &segmentFirst, &length, &f, &flag), 0);
        driver.fetch();
    }
    for (const std::vector<PowerResultsPeriod>& entry : driver.entries) {
        for (const PowerResultsPeriod& r : entry) append(outcome.values, r);
        outcome.rvcEvents += entry[2].rvcVoltage.eventEnded ? 1 : 0;
    }
    powerModule_destroy(m);
    return outcome;
}

TEST(ModuleThreads, EachThreadGetsTheResultsOfItsModuleDrivenAlone) {
    const std::vector<Scenario> scenarios = {
        {ThreePhaseStar, 10240.0, 50.0, false, 50, 100},
        {ThreePhaseStar, 12800.0, 60.0, true, 50, 120},
        {ThreePhaseDelta, 4000.0, 50.0, false, 0, 50},
        {TwoPhaseStar, 10240.0, 60.0, false, 0, 60},
    };
    // The reference: each scenario alone, one after the other.
    std::vector<Outcome> alone;
    for (const Scenario& sc : scenarios) alone.push_back(drive(sc));
    // Then every scenario twice at the same time, eight threads in all.
    std::vector<Outcome> together(2 * scenarios.size());
    std::vector<std::thread> threads;
    for (size_t k = 0; k < together.size(); ++k) {
        threads.emplace_back([&, k] { together[k] = drive(scenarios[k % scenarios.size()]); });
    }
    for (std::thread& t : threads) t.join();
    for (size_t k = 0; k < together.size(); ++k) {
        SCOPED_TRACE("thread " + std::to_string(k));
        const Outcome& expected = alone[k % scenarios.size()];
        const Outcome& got = together[k];
        // The scenario really reached the detectors and the refusal.
        EXPECT_GT(expected.values.size(), 1000u);
        EXPECT_EQ(expected.refused.substr(0, 3), "1: ");
        ASSERT_EQ(got.values.size(), expected.values.size());
        EXPECT_EQ(std::memcmp(got.values.data(), expected.values.data(), got.values.size() * sizeof(double)), 0);
        EXPECT_EQ(got.refused, expected.refused);
        EXPECT_EQ(got.rvcEvents, expected.rvcEvents);
    }
    // The step on phase 1 ends as one event in the three-phase star scenario.
    EXPECT_EQ(alone[0].rvcEvents, 1);
}

}  // namespace
