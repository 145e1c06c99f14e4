// What the libFuzzer harnesses share: the call trace, the check that turns a
// broken promise into a finding, and the pickers that read values from the
// input. The pickers consume the input's bytes in a fixed order (a choice,
// then the value), so a seed keeps meaning the same calls.
#ifndef POWERQUALITY_FUZZ_FUZZINPUT_H
#define POWERQUALITY_FUZZ_FUZZINPUT_H

#include <cstddef>
#include <cstdio>
#include <cstdlib>

#include <fuzzer/FuzzedDataProvider.h>

namespace fuzzinput {

// POWERQUALITY_FUZZ_TRACE=1 prints every call of the script, to turn a
// finding into a plain reproducer.
inline bool tracing = false;

inline void traceFromEnvironment() { tracing = std::getenv("POWERQUALITY_FUZZ_TRACE") != nullptr; }

[[noreturn]] inline void broken(const char* what, int line) {
    std::fprintf(stderr, "fuzzer: broken promise at line %d: %s\n", line, what);
    std::abort();
}

// One entry of a table, chosen by the input.
template <typename T, std::size_t N>
T pickFrom(FuzzedDataProvider& in, const T (&table)[N]) {
    return table[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)];
}

// A double: from the table, from one of two ranges, or any bit pattern.
template <std::size_t N>
double pickDouble(FuzzedDataProvider& in, const double (&table)[N], double wideLow, double wideHigh,
                  double narrowLow, double narrowHigh) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0:
            return pickFrom(in, table);
        case 1:
            return in.ConsumeFloatingPointInRange<double>(wideLow, wideHigh);
        case 2:
            return in.ConsumeFloatingPointInRange<double>(narrowLow, narrowHigh);
        default:
            return in.ConsumeFloatingPoint<double>();
    }
}

}  // namespace fuzzinput

#define TRACE(...)                             \
    do {                                       \
        if (fuzzinput::tracing) {              \
            std::fprintf(stderr, __VA_ARGS__); \
        }                                      \
    } while (false)

#define EXPECT(condition)                                \
    do {                                                 \
        if (!(condition)) {                              \
            fuzzinput::broken(#condition, __LINE__);     \
        }                                                \
    } while (false)

#endif
