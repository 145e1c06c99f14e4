// PowerSymmetricalComponents: static operations for the symmetrical
// components of a three-phase system. The Fortescue transform splits three
// phasors into sequence components, always in the order 0 zero, 1 positive,
// 2 negative; the other operations rotate phasors to a reference angle and
// derive magnitudes, powers, current components and unbalance ratios of the
// sequences. No operation keeps state.
#ifndef POWERQUALITY_MATHS_POWERSYMMETRICALCOMPONENTS_H
#define POWERQUALITY_MATHS_POWERSYMMETRICALCOMPONENTS_H

#include <complex>
#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"

class POWERQUALITY_API PowerSymmetricalComponents {
public:
    // The rotation operators 1, e^(j2pi/3), e^(j4pi/3), built when the library
    // is loaded from the doubles nearest 2pi/3 and 4pi/3, so a[1] and a[2] are
    // off from -1/2 +- j sqrt(3)/2 in the last bits. No static initialiser of
    // the library reads them.
    static const std::vector<std::complex<double>> a;

    // Zero, positive and negative sequence of x[0], x[1], x[2]; further
    // elements are ignored, fewer than three is not allowed.
    static std::vector<std::complex<double>> transform(const std::vector<std::complex<double>>& x);
    // The same into sequences[0..2], from x[0..2], without an allocation.
    static void transform(const std::complex<double>* x, std::complex<double>* sequences);

    // Rotates every element of v by minus the angle of reference. The angle is
    // read again for each element, so reference must not be an element of v.
    static void subtractReference(std::vector<std::complex<double>>& v, const std::complex<double>& reference);
    // The rotation subtractReference applies (unit phasor at minus the angle
    // of reference), for callers that rotate several arrays by one reference.
    static std::complex<double> referenceRotation(const std::complex<double>& reference);

    // Fills the derived fields of one sequence from its voltage (and current)
    // phasor. Without currents the current-dependent fields become 0.
    static void calculate(PowerResultsSymmetricalComponent& component, bool withCurrents);

    // Unbalance ratios of all three sequences in percent of the positive
    // sequence (components[1]). Without currents the current ratios are left
    // untouched.
    static void calculateRatios(PowerResultsSymmetricalComponent* components, bool withCurrents);
};

#endif
