#include "windowed/PowerSymmetricalComponents.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace {

using Complex = std::complex<double>;
using SC = PowerSymmetricalComponents;

TEST(PowerSymmetricalComponents, TransformSeparatesTheSequencesInOrder) {
    // Summed left to right, then divided by 3: other orders change the last
    // bit of the zero and negative sequences here.
    const std::vector<Complex> s = SC::transform({Complex(230.1, 1.3), Complex(-117.2, -198.7), Complex(-113.9, 200.3)});
    EXPECT_EQ(s[0], Complex(-0.3333333333333381, 0.966666666666678));
    EXPECT_EQ(s[1], Complex(230.398045369997, -0.7859612774962784));
    EXPECT_EQ(s[2], Complex(0.03528796333634906, 1.119294610829589));
}

PowerResultsSymmetricalComponent calculated(Complex voltage, Complex current, bool withCurrents) {
    PowerResultsSymmetricalComponent c;
    c.voltage = voltage;
    c.current = current;
    c.currentMagnitude = c.activePower = c.reactivePower = c.apparentPower = 7.0;
    c.activeCurrent = c.reactiveCurrent = c.powerFactor = 7.0;
    SC::calculate(c, withCurrents);
    return c;
}

TEST(PowerSymmetricalComponents, CalculatePowersFromVoltageTimesConjugateCurrent) {
    PowerResultsSymmetricalComponent c = calculated(230.0, 10.0, true);
    EXPECT_NEAR(c.lineToLineVoltage.real(), 398.3717, 1e-4);
    EXPECT_EQ(c.apparentPower, 6900.0);
    EXPECT_EQ(c.activeCurrent, 10.0);
    EXPECT_EQ(c.powerFactor, 1.0);

    c = calculated(230.0, Complex(0.0, -10.0), true);  // lagging current
    EXPECT_EQ(c.activePower, 0.0);
    EXPECT_EQ(c.reactivePower, 6900.0);
    EXPECT_EQ(c.reactiveCurrent, 10.0);

    c = calculated(Complex(0.0, 230.0), Complex(0.0, -10.0), true);  // reversed flow
    EXPECT_EQ(c.activePower, -6900.0);
    EXPECT_EQ(c.reactivePower, 0.0);
    EXPECT_EQ(c.powerFactor, -1.0);

    c = calculated(0.0, 10.0, true);  // no voltage: guarded, not NaN
    EXPECT_EQ(c.activeCurrent, 0.0);
    EXPECT_EQ(c.powerFactor, 0.0);

    c = calculated(Complex(3.0, 4.0), 10.0, false);
    EXPECT_EQ(c.voltageMagnitude, 5.0);
    for (double v : {c.currentMagnitude, c.activePower, c.reactivePower, c.apparentPower, c.activeCurrent,
                     c.reactiveCurrent, c.powerFactor}) {
        EXPECT_EQ(v, 0.0);
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
    EXPECT_EQ(c[0].voltageUnbalance, 50.0);
    EXPECT_EQ(c[2].voltageRmsUnbalance, 150.0);
    EXPECT_EQ(c[0].currentUnbalance, -1.0);
    EXPECT_EQ(c[0].currentRmsUnbalance, -1.0);
}

}  // namespace
