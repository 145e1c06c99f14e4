#include "ModuleTest.h"
#include "maths/PowerSymmetricalComponents.h"

namespace {

using Complex = std::complex<double>;
using SC = PowerSymmetricalComponents;

TEST(PowerSymmetricalComponents, TransformSeparatesTheSequencesInOrder) {
    // Summed left to right, then divided by 3: other orders change the last
    // bit of the zero and negative sequences here.
    const std::vector<Complex> s = SC::transform({Complex(230.1, 1.3), Complex(-117.2, -198.7), Complex(-113.9, 200.3)});
    EXPECT_EQ(s, (std::vector<Complex>{{-0.3333333333333381, 0.966666666666678}, {230.398045369997, -0.7859612774962784},
                                       {0.03528796333634906, 1.119294610829589}}));
}

// Lagging current, reversed flow, no voltage (guarded, not NaN), and without
// currents: everything that needs them is 0 whatever it held before.
TEST(PowerSymmetricalComponents, CalculatePowersFromVoltageTimesConjugateCurrent) {
    struct Case {
        Complex voltage, current;
        bool withCurrents;
        double values[7];  // current magnitude, P, Q, S, active and reactive current, power factor
    };
    const Case cases[] = {
        {230.0, 10.0, true, {10.0, 6900.0, 0.0, 6900.0, 10.0, 0.0, 1.0}},
        {230.0, Complex(0.0, -10.0), true, {10.0, 0.0, 6900.0, 6900.0, 0.0, 10.0, 0.0}},
        {Complex(0.0, 230.0), Complex(0.0, -10.0), true, {10.0, -6900.0, 0.0, 6900.0, -10.0, 0.0, -1.0}},
        {0.0, 10.0, true, {10.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
        {Complex(3.0, 4.0), 10.0, false, {}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.voltage << " " << c.current << " " << c.withCurrents);
        PowerResultsSymmetricalComponent r;
        r.voltage = c.voltage; r.current = c.current;
        r.currentMagnitude = r.activePower = r.reactivePower = r.apparentPower = 7.0;
        r.activeCurrent = r.reactiveCurrent = r.powerFactor = 7.0;
        SC::calculate(r, c.withCurrents);
        EXPECT_EQ(r.voltageMagnitude, std::abs(c.voltage));
        EXPECT_NEAR(r.lineToLineVoltage.real(), c.voltage.real() * std::sqrt(3.0), 1e-12);
        EXPECT_EQ((std::vector<double>{r.currentMagnitude, r.activePower, r.reactivePower, r.apparentPower,
                                       r.activeCurrent, r.reactiveCurrent, r.powerFactor}),
                  std::vector<double>(c.values, c.values + 7));
    }
}

// The ratios themselves are checked through the windowed results; without
// currents the current ratios are left as they are.
TEST(PowerSymmetricalComponents, RatiosWithoutCurrentsLeaveTheCurrentRatios) {
    PowerResultsSymmetricalComponent c[3] = {};
    for (int k = 0; k < 3; ++k) {
        c[k].voltageMagnitude = c[k].currentMagnitude = c[k].currentRms = 2.0 * (k + 1);
        c[k].voltageRms = k + 1.0;
        c[k].currentUnbalance = c[k].currentRmsUnbalance = -1.0;
    }
    SC::calculateRatios(c, false);
    EXPECT_EQ(std::make_tuple(c[0].voltageUnbalance, c[2].voltageRmsUnbalance, c[0].currentUnbalance,
                              c[0].currentRmsUnbalance),
              std::make_tuple(50.0, 150.0, -1.0, -1.0));
}

}  // namespace
