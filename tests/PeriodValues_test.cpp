#include "ModuleTest.h"

namespace {

struct ModuleSetup {
    PowerGridConfigType grid = ThreePhaseStar;
    double fs = 10000.0;
    int divisor = 1;
    unsigned int bufferLength = 3000;  // not a multiple of a cycle: items straddle the wrap
    bool lineToLine = false, rvc = false, symmetrical = false;
};

// A module with period values (RVC window of 20) reset at position 0, and its driver.
struct Started : PowerModule {
    explicit Started(const ModuleSetup& s = {}) {
        beginUpdate();
        setGridConfigType(s.grid); setSampleRate(s.fs, s.divisor); setBufferLength(s.bufferLength);
        setPeriodValuesEnabled(true); setLineToLineResultsEnabled(s.lineToLine); setRvcEnabled(s.rvc);
        setRvcSteadyStateLength(20); setPeriodSymmetricalComponentsEnabled(s.symmetrical);
        endUpdate();
        reset(0);
    }
    SignalDriver driver{*this};
};

// The golden runs pin every bit of every field; this checks the values of the
// last item against the maths, for a current leading by 30 degrees (the
// reactive power negative, its total also as a magnitude).
TEST(PeriodValues, SineAtTheTrackedFrequencyWithSymmetricalComponents) {
    Started module({ThreePhaseStar, 10000.0, 1, 3000, false, false, true});
    module.driver.run(0, 6000, 700, 50.0, threePhaseSine(10000.0, 50.0, 230.0, 10.0, -30.0));
    ASSERT_GE(module.driver.entries.size(), 29u);
    const std::vector<PowerResultsPeriod>& e = module.driver.entries.back();
    // Records 0, 1, 2 hold zero, positive, negative sequence; the positive one
    // is turned to phase 1's voltage.
    const PowerResultsSymmetricalComponent &zero = e[0].symmetricalComponent, &positive = e[1].symmetricalComponent;
    const double c = std::cos(pi / 6), checks[][3] = {  // value, expected, tolerance
        {e[2].rmsVoltage, 230.0, 1e-3}, {e[3].fundamentalVoltage, 230.0, 1e-3}, {e[1].fundamentalCurrent, 10.0, 1e-4},
        {e[2].fundamentalPhaseAngle, -30.0, 1e-4}, {e[3].fundamentalActivePower, 2300.0 * c, 1e-2},
        {e[1].fundamentalReactivePower, -1150.0, 1e-2}, {e[2].powerFactor, c, 1e-6}, {e[3].frequency, 50.0, 1e-9},
        {e[0].activePower, 6900.0 * c, 3e-2}, {e[0].nonActivePower, 3450.0, 3e-2},
        {e[0].fundamentalReactivePowerSum, -3450.0, 3e-2}, {e[0].fundamentalReactivePower, 3450.0, 3e-2},
        {e[0].time - module.driver.entries.rbegin()[1][0].time, 0.02, 1e-9},
        {positive.voltageMagnitude, 230.0, 1e-3}, {std::arg(positive.voltage), 0.0, 1e-9},
        {std::arg(positive.current), pi / 6, 1e-6}, {zero.voltageMagnitude, 0.0, 1e-3},
        {e[2].symmetricalComponent.currentMagnitude, 0.0, 1e-4}};
    for (const auto& x : checks) EXPECT_NEAR(x[0], x[1], x[2]) << &x - checks;
}

TEST(PeriodValues, LineToLineValuesPerWiring) {
    // Two phases have one line-to-line pair: only phase 1 gets it; totals are means over what exists.
    Started module({TwoPhaseStar, 10000.0, 1, 3000, true, true});
    SignalDriver& driver = module.driver;
    driver.run(0, 2000, 500, 50.0, threePhaseSine(10000.0, 50.0, 230.0, 10.0, 0.0));
    ASSERT_GE(driver.entries.size(), 5u);
    const auto& entry = driver.entries[3];
    const double lineToLine = 230.0 * std::sqrt(3.0), checks[][2] = {{entry[1].rmsLineToLine, lineToLine},
        {entry[0].rmsLineToLine, lineToLine / 2.0}, {entry[0].rmsVoltage, 230.0}, {entry[0].fundamentalVoltage, 230.0}};
    for (const auto& [got, expected] : checks) EXPECT_NEAR(got, expected, 1e-2) << &got - &checks[0][0];
    // The missing pair's RVC record is cleared, not written.
    EXPECT_EQ(std::make_tuple(entry[2].rmsLineToLine, entry[2].rvcLineToLineVoltage.time,
                              entry[1].rvcLineToLineVoltage.time),
              std::make_tuple(0.0, 0.0, entry[1].time));
    float* secondPair = nullptr;  // no ring for a pair that does not exist
    module.getWaveformBufferUDelta(1, &secondPair);
    EXPECT_EQ(secondPair, nullptr);
}

TEST(PeriodValues, NonFiniteSamplesStayVisibleAndLeaveTheRvcWindow) {
    // A NaN sample on phase 1 and an infinite one on phase 3: their period
    // values read NaN in the RMS values and in the powers from differences of
    // squares (not a clean 0). Both leave the RVC window of 20 period values
    // before all voltages dip by 10 % from 0.5 s on: one event of 23 V on every
    // phase and the total, one line-to-line event.
    Started module({ThreePhaseStar, 10000.0, 1, 3000, true, true});
    SignalDriver& driver = module.driver;
    const SignalDriver::Signal base = threePhaseSine(10000.0, 50.0, 230.0, 10.0, 30.0);
    driver.run(0, 15000, 1000, 50.0, [&](unsigned channel, uint64_t p) {
        if ((channel == 0 && p == 300) || (channel == 2 && p == 700)) return channel == 0 ? NaN : HUGE_VAL;
        return base(channel, p) * (p >= 5000 ? 0.9 : 1.0);
    });
    const std::vector<PowerResultsPeriod>& glitch = driver.entries[1];  // positions 200 to 399
    // A NaN apparent power is not positive: power factor 0.
    EXPECT_TRUE(std::isnan(glitch[1].rmsVoltage) && std::isnan(glitch[1].nonActivePower) && glitch[1].powerFactor == 0.0);
    EXPECT_TRUE(std::isnan(glitch[0].nonActivePower) && std::isnan(glitch[0].fundamentalReactivePower));
    EXPECT_NEAR(glitch[2].rmsVoltage, 230.0, 1e-3);  // the other phases are untouched
    EXPECT_NEAR(driver.entries[2][0].nonActivePower, 3 * 2300.0 * 0.5, 1e-1);  // and the next value is finite
    int ends[4] = {}, lineToLineEnds = 0;  // an event that starts twice ends twice; a stuck one never
    for (const auto& entry : driver.entries) {
        for (unsigned k = 0; k < 4; ++k) {
            const RvcResult& r = entry[k].rvcVoltage;
            if (r.eventEnded) {
                ++ends[k];
                EXPECT_NEAR(r.deltaUmax, 23.0, 0.1);
                EXPECT_NEAR(r.deltaUss, 23.0, 0.1);
                EXPECT_NEAR(r.duration, 0.02, 0.02);
            }
        }
        lineToLineEnds += entry[0].rvcLineToLineVoltage.eventEnded ? 1 : 0;
    }
    EXPECT_EQ(std::make_tuple(ends[0], ends[1], ends[2], ends[3], lineToLineEnds), std::make_tuple(1, 1, 1, 1, 1));
}

TEST(PeriodValues, ASpanLongerThanTheRingsIsRefused) {
    // 50 Hz at 10240 Hz: a period value spans about 206 positions. A ring of
    // 220 holds it (blocks of 10 are fetched before it comes round); a ring of
    // 10 cannot, and each such item is dropped with a message.
    for (unsigned int length : {220u, 10u}) {
        SCOPED_TRACE(length);
        Started module({SinglePhase, 10240.0, 1, length});
        SignalDriver& driver = module.driver;
        int refused = 0;
        for (uint64_t p = 0; p < 1030; p += 10) {
            const std::string said = refusal<std::invalid_argument>(
                [&] { driver.run(p, 10, 10, 50.0, threePhaseSine(10240.0, 50.0, 230.0, 10.0, 0.0)); });
            refused += said != "(not refused)";
            EXPECT_TRUE(said == "(not refused)" || says(said, "more than the buffer length of 10")) << said;
        }
        EXPECT_EQ(std::make_tuple(driver.entries.size(), refused), length == 220u ? std::make_tuple(size_t{5}, 0)
                                                                                 : std::make_tuple(size_t{0}, 5));
    }
}

}  // namespace
