// Conversions and roots with a defined result for every input, shared by all
// calculations of the library.
//
// toUnsigned32 / toUnsigned64: a double to an unsigned count, truncated
// toward zero. NaN and values at or below 0 give 0; values beyond the type's
// range (infinity included) give its largest value. Inside the range the
// result is that of a plain conversion.
//
// nonNegativeRoot(x) is the √max(x, 0) of a power from a difference of
// squares: a negative x (rounding) gives exactly 0, and NaN stays NaN. A NaN
// there comes from a NaN or infinite sample or sum; turning it into 0 would
// report a clean zero power for data that was never valid, so the period
// values and the windowed results both let it through. For every other x the
// result is std::sqrt(x < 0 ? 0 : x), bit for bit.
#ifndef POWERQUALITY_MATHS_NUMERICPOLICY_H
#define POWERQUALITY_MATHS_NUMERICPOLICY_H

#include <cmath>
#include <cstdint>

namespace powerquality {

inline unsigned int toUnsigned32(double x) {
    if (!(x > 0.0)) {
        return 0;  // NaN, zero and negative values
    }
    if (x >= 4294967296.0) {
        return UINT32_MAX;
    }
    return static_cast<unsigned int>(x);
}

inline unsigned long long toUnsigned64(double x) {
    if (!(x > 0.0)) {
        return 0;
    }
    if (x >= 18446744073709551616.0) {
        return UINT64_MAX;
    }
    return static_cast<unsigned long long>(x);
}

inline double nonNegativeRoot(double x) { return std::sqrt(x < 0.0 ? 0.0 : x); }

}  // namespace powerquality

#endif
