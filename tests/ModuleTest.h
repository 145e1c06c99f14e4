// What the tests of the module and its parts share: the headers, the ways into
// the internals, the signal driver and a few helpers.
#ifndef POWERQUALITY_TESTS_MODULETEST_H
#define POWERQUALITY_TESTS_MODULETEST_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "SignalDriver.h"
#include "TestAccess.h"
#include "powerquality/PowerModuleApi.h"

using Impl = PowerModule::PowerModuleImpl;
using Items = std::vector<unsigned short>;
// Statuses of flat calls; written as a braced list the calls run in order,
// and Statuses(n) is n successes.
using Statuses = std::vector<int32_t>;
constexpr double pi = 3.141592653589793, root2 = 1.4142135623730951;
const double NaN = std::nan(""), inf = INFINITY;

inline Impl& implOf(PowerModule& module) { return PowerModuleTestAccess::impl(module); }
inline PowerModuleHandle handleOf(PowerModule& module) { return reinterpret_cast<PowerModuleHandle>(&module); }

// The message of the E that call throws, or "(not refused)"; anything else
// it throws fails the test.
template <typename E = std::runtime_error>
std::string refusal(const std::function<void()>& call) {
    try {
        call();
    } catch (const E& e) {
        return e.what();
    }
    return "(not refused)";
}

// The n values from p on, as a vector to compare whole.
template <typename T>
std::vector<T> valuesOf(const T* p, size_t n) {
    return p == nullptr ? std::vector<T>() : std::vector<T>(p, p + n);
}

// Whether text holds part.
inline bool says(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

#endif
