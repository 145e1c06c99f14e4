#include "maths/PowerSymmetricalComponents.h"

#include <cmath>

// Built with polar() rather than written out, so the values are exactly the
// cosines and sines of the two rounded angles.
const std::vector<std::complex<double>> PowerSymmetricalComponents::a = {
    std::polar(1.0, 0.0),
    std::polar(1.0, 2.0943951023931953),
    std::polar(1.0, 4.1887902047863905),
};

std::vector<std::complex<double>> PowerSymmetricalComponents::transform(const std::vector<std::complex<double>>& x) {
    std::vector<std::complex<double>> sequences(3);
    transform(x.data(), sequences.data());
    return sequences;
}

void PowerSymmetricalComponents::transform(const std::complex<double>* x, std::complex<double>* sequences) {
    // Every term is a full complex product, a[0] included, and each sum is
    // taken left to right before the division: results are compared bit for
    // bit with those of other builds.
    const std::complex<double> zero = (x[0] * a[0] + x[1] * a[0] + x[2] * a[0]) / 3.0;
    const std::complex<double> positive = (x[0] * a[0] + x[1] * a[1] + x[2] * a[2]) / 3.0;
    const std::complex<double> negative = (x[0] * a[0] + x[1] * a[2] + x[2] * a[1]) / 3.0;
    sequences[0] = zero;
    sequences[1] = positive;
    sequences[2] = negative;
}

std::complex<double> PowerSymmetricalComponents::referenceRotation(const std::complex<double>& reference) {
    const double theta = std::atan2(reference.imag(), reference.real());
    return std::polar(1.0, -theta);
}

void PowerSymmetricalComponents::subtractReference(std::vector<std::complex<double>>& v,
                                                   const std::complex<double>& reference) {
    // One rotation for all: the angle and its cosine and sine are the same
    // for every element.
    const std::complex<double> rotation = referenceRotation(reference);
    for (std::complex<double>& x : v) {
        x = x * rotation;
    }
}

void PowerSymmetricalComponents::calculate(PowerResultsSymmetricalComponent& component, bool withCurrents) {
    const double sqrt3 = std::sqrt(3.0);
    component.lineToLineVoltage = std::complex<double>(component.voltage.real() * sqrt3,
                                                       component.voltage.imag() * sqrt3);
    // hypot rather than abs(): the magnitude must not depend on how the
    // runtime implements the complex absolute value.
    component.voltageMagnitude = std::hypot(component.voltage.real(), component.voltage.imag());
    component.lineToLineVoltageMagnitude =
        std::hypot(component.lineToLineVoltage.real(), component.lineToLineVoltage.imag());

    if (!withCurrents) {
        component.currentMagnitude = 0.0;
        component.activePower = 0.0;
        component.reactivePower = 0.0;
        component.apparentPower = 0.0;
        component.activeCurrent = 0.0;
        component.reactiveCurrent = 0.0;
        component.powerFactor = 0.0;
        return;
    }

    const std::complex<double> u = component.voltage;
    const std::complex<double> i = component.current;
    component.currentMagnitude = std::hypot(i.real(), i.imag());
    // 3 U conj(I), spelled out so the rounding is the same everywhere.
    component.activePower = (3.0 * u.real()) * i.real() - (3.0 * u.imag()) * (-i.imag());
    component.reactivePower = (3.0 * u.real()) * (-i.imag()) + (3.0 * u.imag()) * i.real();
    component.apparentPower = std::hypot(component.activePower, component.reactivePower);

    const double perVoltage = component.voltageMagnitude > 0.0 ? 1.0 / (3.0 * component.voltageMagnitude) : 0.0;
    component.activeCurrent = component.activePower * perVoltage;
    component.reactiveCurrent = component.reactivePower * perVoltage;

    // The product with 0 (instead of a plain 0) keeps a NaN power visible.
    const double perApparent = component.apparentPower > 0.0 ? 1.0 / component.apparentPower : 0.0;
    component.powerFactor = component.activePower * perApparent;
}

namespace {
// Factor that turns a value into percent of reference; 0 instead of a
// division by a reference that is not positive.
double percentFactor(double reference) { return reference > 0.0 ? 100.0 / reference : 0.0; }
}  // namespace

void PowerSymmetricalComponents::calculateRatios(PowerResultsSymmetricalComponent* components, bool withCurrents) {
    const PowerResultsSymmetricalComponent& positive = components[1];
    const double kV = percentFactor(positive.voltageRms);
    const double kU = percentFactor(positive.voltageMagnitude);
    for (int k = 0; k < 3; ++k) {
        components[k].voltageRmsUnbalance = components[k].voltageRms * kV;
        components[k].voltageUnbalance = components[k].voltageMagnitude * kU;
    }
    if (!withCurrents) {
        return;
    }
    const double kI = percentFactor(positive.currentRms);
    const double kC = percentFactor(positive.currentMagnitude);
    for (int k = 0; k < 3; ++k) {
        components[k].currentRmsUnbalance = components[k].currentRms * kI;
        components[k].currentUnbalance = components[k].currentMagnitude * kC;
    }
}
