// What the voltage event detector and the rapid voltage change detector share:
// the checks of their input (period records or rows of RMS values, with times
// that never go back) and the start stamp of a value's window.
#ifndef POWERQUALITY_EVENTS_RMSINPUT_H
#define POWERQUALITY_EVENTS_RMSINPUT_H

#include <cmath>
#include <cstddef>
#include <deque>
#include <sstream>
#include <stdexcept>
#include <string>

#include "powerquality/PowerResults.h"

namespace powerquality {

inline std::string describeNumber(double value) {
    std::ostringstream text;
    text.precision(17);
    text << value;
    return text.str();
}

// Times lie within +-(half the largest double), so that the difference of any
// two, a duration, is finite.
constexpr double maxRmsTime = 8.9884656743115785e307;  // std::numeric_limits<double>::max() / 2

// Refuses a time that is not finite, lies beyond +-maxRmsTime or lies before
// the latest one (when a value came before) and an RMS value that is not a
// finite non-negative number; where names the item in the message.
inline void checkRmsRow(double time, const double* values, unsigned int phasesCount, bool anyValue,
                        double latestTime, const std::string& where) {
    if (!(std::fabs(time) <= maxRmsTime) || (anyValue && time < latestTime)) {
        throw std::invalid_argument(where + "time " + describeNumber(time) +
                                    " s is not finite, lies beyond +-8.99e307 s or lies before the latest time " +
                                    describeNumber(latestTime) + " s");
    }
    for (unsigned int k = 0; k < phasesCount; ++k) {
        if (!(std::isfinite(values[k]) && values[k] >= 0.0)) {
            throw std::invalid_argument(where + "RMS voltage of phase " + std::to_string(k) + " is " +
                                        describeNumber(values[k]) + ", not a finite non-negative number");
        }
    }
}

// Checks a whole batch of period items (phasesCount + 1 records each, the
// total first) before any of it is taken in, then calls take(time, values)
// for each item.
template <class Take>
void forEachCheckedItem(const PowerResultsPeriod* records, int itemCount, unsigned int phasesCount, bool anyValue,
                        double latestTime, Take take) {
    constexpr unsigned int maxPhases = 32;
    if (itemCount < 0) {
        throw std::invalid_argument("negative item count");
    }
    if (itemCount == 0) {
        return;
    }
    if (records == nullptr) {
        throw std::invalid_argument("null period records");
    }
    const std::size_t perItem = phasesCount + 1u;
    double values[maxPhases];
    bool timed = anyValue;
    double previous = latestTime;
    for (int pass = 0; pass < 2; ++pass) {
        for (int n = 0; n < itemCount; ++n) {
            const PowerResultsPeriod* item = records + static_cast<std::size_t>(n) * perItem;
            for (unsigned int k = 0; k < phasesCount; ++k) {
                values[k] = item[k + 1].rmsVoltage;
            }
            if (pass == 0) {
                checkRmsRow(item[1].time, values, phasesCount, timed, previous,
                            "period item " + std::to_string(n) + ": ");
                timed = true;
                previous = item[1].time;
            } else {
                take(item[1].time, values);
            }
        }
    }
}

// The start of a value's window, for stamps that mark where the first value
// beyond a threshold began. Values that overlap take their window from the
// times of the values before: with valuesPerWindow k, value i's window begins
// where value i - k ended (k = 2 for one-cycle values refreshed every half
// cycle). recent holds the times of up to k values before this one, oldest
// first; with fewer, the latest step is taken back as often as values are
// missing; with none, or k = 0, the value's own time.
inline double windowStartOf(const std::deque<double>& recent, unsigned int valuesPerWindow, double time) {
    if (valuesPerWindow == 0 || recent.empty()) {
        return time;
    }
    if (recent.size() >= valuesPerWindow) {
        return recent[recent.size() - valuesPerWindow];
    }
    const double step = time - recent.back();
    return recent.front() - static_cast<double>(valuesPerWindow - recent.size()) * step;
}

inline void rememberTime(std::deque<double>& recent, unsigned int valuesPerWindow, double time) {
    recent.push_back(time);
    while (recent.size() > valuesPerWindow) {
        recent.pop_front();
    }
}

}  // namespace powerquality

#endif
