// What the libFuzzer harnesses share: the check that turns a broken promise
// into a finding (EXPECT aborts with the line), the status rule of the flat
// interfaces, the call trace, and the pickers that read values from the
// input. The pickers consume the input's bytes in a fixed order (a choice,
// then the value), so a seed keeps meaning the same calls.
//
// POWERQUALITY_FUZZ_TRACE=1 prints every call made through CALL with its
// arguments and its answer, to turn a finding into a plain reproducer.
#ifndef POWERQUALITY_FUZZ_FUZZINPUT_H
#define POWERQUALITY_FUZZ_FUZZINPUT_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "powerquality/PowerModuleApi.h"

#define EXPECT(condition) ((condition) ? (void)0 : fuzzinput::broken(#condition, __LINE__))
#define TRACE(...) (fuzzinput::tracing ? (void)std::fprintf(stderr, __VA_ARGS__) : (void)0)
// The call, traced under the name of the function (the first argument).
#define CALL(...) fuzzinput::call(#__VA_ARGS__, __VA_ARGS__)

namespace fuzzinput {

inline const bool tracing = std::getenv("POWERQUALITY_FUZZ_TRACE") != nullptr;
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr int intMin = std::numeric_limits<int>::min();
constexpr int intMax = std::numeric_limits<int>::max();

[[noreturn]] inline void broken(const char* what, int line) {
    std::fprintf(stderr, "fuzzer: broken promise at line %d: %s\n", line, what);
    std::abort();
}

// An argument or a result as the trace prints it (a null pointer as "(nil)").
template <typename T>
void trace(T v) {
    if constexpr (std::is_pointer_v<T> || std::is_null_pointer_v<T>) std::fprintf(stderr, " %p", (const void*)v);
    else if constexpr (std::is_floating_point_v<T>) std::fprintf(stderr, " %.17g", static_cast<double>(v));
    else if constexpr (std::is_unsigned_v<T>) std::fprintf(stderr, " %llu", static_cast<unsigned long long>(v));
    else std::fprintf(stderr, " %lld", static_cast<long long>(v));
}

// fn(args...), traced under the name's part before its first comma.
template <typename F, typename... A>
auto call(const char* name, F fn, A... args) {
    const auto result = fn(args...);
    if (tracing) { std::fprintf(stderr, "%.*s", static_cast<int>(std::strcspn(name, ",")), name); (trace(args), ...); }
    if (tracing) { std::fprintf(stderr, " ->"); trace(result); std::fprintf(stderr, "\n"); }
    return result;
}

// Every flat call answers 0 to `highest` (1 for the classes; the module also
// has 2 and 3), and every failure leaves a message for getLastErrorMessage.
inline int32_t checkStatus(int32_t status, int32_t highest = 1) {
    EXPECT(status >= 0 && status <= highest);
    const char* message = nullptr;
    EXPECT(status == 0 || (getLastErrorMessage(nullptr, &message) == 0 && message != nullptr && message[0] != '\0'));
    return status;
}

// A status the harness can predict from the documented rules.
inline int32_t expectStatus(int32_t status, bool acceptable) {
    EXPECT(checkStatus(status) == (acceptable ? 0 : 1));
    return status;
}

inline bool oneIn(FuzzedDataProvider& in, int n) { return in.ConsumeIntegralInRange<int>(1, n) == 1; }

// A double: from the table, from one of two ranges, or any bit pattern.
template <std::size_t N>
double pickDouble(FuzzedDataProvider& in, const double (&table)[N], double wideLow, double wideHigh,
                  double narrowLow, double narrowHigh) {
    const int kind = in.ConsumeIntegralInRange<int>(0, 3);
    return kind == 0   ? table[in.ConsumeIntegralInRange<std::size_t>(0, N - 1)]
           : kind == 1 ? in.ConsumeFloatingPointInRange<double>(wideLow, wideHigh)
           : kind == 2 ? in.ConsumeFloatingPointInRange<double>(narrowLow, narrowHigh)
                       : in.ConsumeFloatingPoint<double>();
}

}  // namespace fuzzinput

#endif
