// Rapid voltage changes of Class A instruments: per phase a window of the
// last N values with its sum, one state for all phases. See
// RapidVoltageChangeDetector.h for the rules.
#include "powerquality/RapidVoltageChangeDetector.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

#include "events/RmsInput.h"

namespace {

constexpr unsigned int maxPhases = 32;
constexpr unsigned int maxSteadyStateLength = 1000000;
constexpr unsigned int maxValuesPerWindow = 64;

using powerquality::describeNumber;

}  // namespace

RapidVoltageChangeDetector::RapidVoltageChangeDetector(double declaredVoltage, unsigned int phasesCount,
                                                       unsigned int steadyStateLength)
    : declaredVoltage(declaredVoltage),
      phasesCount(phasesCount),
      steadyStateLength(steadyStateLength),
      threshold(5.0),
      hysteresis(2.5),
      dipThreshold(90.0),
      swellThreshold(110.0),
      startStampValues(2),
      valuesClear(0),
      anyValue(false),
      latestTime(0.0),
      valuesSinceSum(0),
      lastDroppedTime(0.0),
      state(waiting),
      startTime(0.0),
      eventValues(0),
      discarded(false),
      phases(0) {
    if (!(std::isfinite(declaredVoltage) && declaredVoltage > 0.0)) {
        throw std::invalid_argument("declared voltage must be positive and finite, not " +
                                    describeNumber(declaredVoltage));
    }
    if (phasesCount < 1 || phasesCount > maxPhases) {
        throw std::invalid_argument("phase count must be 1 to 32, not " + std::to_string(phasesCount));
    }
    if (steadyStateLength < 1 || steadyStateLength > maxSteadyStateLength) {
        throw std::invalid_argument("steady-state length must be 1 to 1000000 values, not " +
                                    std::to_string(steadyStateLength));
    }
    windows.resize(phasesCount);
    sums.assign(phasesCount, 0.0);
    meanBefore.assign(phasesCount, 0.0);
    maxDeviation.assign(phasesCount, 0.0);
}

double RapidVoltageChangeDetector::getDeclaredVoltage() const { return declaredVoltage; }

unsigned int RapidVoltageChangeDetector::getPhasesCount() const { return phasesCount; }

unsigned int RapidVoltageChangeDetector::getSteadyStateLength() const { return steadyStateLength; }

void RapidVoltageChangeDetector::setThresholds(double rvcThreshold, double rvcHysteresis) {
    if (!(std::isfinite(rvcThreshold) && std::isfinite(rvcHysteresis) && rvcThreshold > 0.0 &&
          rvcHysteresis >= 0.0 && rvcHysteresis < rvcThreshold)) {
        throw std::invalid_argument("RVC thresholds must satisfy 0 < threshold and 0 <= hysteresis < threshold "
                                    "(threshold " + describeNumber(rvcThreshold) + ", hysteresis " +
                                    describeNumber(rvcHysteresis) + ")");
    }
    threshold = rvcThreshold;
    hysteresis = rvcHysteresis;
}

double RapidVoltageChangeDetector::getThreshold() const { return threshold; }

double RapidVoltageChangeDetector::getHysteresis() const { return hysteresis; }

void RapidVoltageChangeDetector::setDipSwellThresholds(double dip, double swell) {
    if (!(std::isfinite(dip) && std::isfinite(swell) && dip >= 0.0 && dip < swell)) {
        throw std::invalid_argument("dip and swell thresholds must satisfy 0 <= dip < swell (dip " +
                                    describeNumber(dip) + ", swell " + describeNumber(swell) + ")");
    }
    dipThreshold = dip;
    swellThreshold = swell;
}

double RapidVoltageChangeDetector::getDipThreshold() const { return dipThreshold; }

double RapidVoltageChangeDetector::getSwellThreshold() const { return swellThreshold; }

void RapidVoltageChangeDetector::setWindowStartStamps(unsigned int valuesPerWindow) {
    if (valuesPerWindow > maxValuesPerWindow) {
        throw std::invalid_argument("values per window must be 0 to 64, not " + std::to_string(valuesPerWindow));
    }
    startStampValues = valuesPerWindow;
    while (recentTimes.size() > valuesPerWindow) {
        recentTimes.pop_front();
    }
}

unsigned int RapidVoltageChangeDetector::getWindowStartStamps() const { return startStampValues; }

void RapidVoltageChangeDetector::addPeriodResults(const PowerResultsPeriod* records, int itemCount) {
    powerquality::forEachCheckedItem(records, itemCount, phasesCount, anyValue, latestTime,
                                     [this](double time, const double* values) { feed(time, values); });
}

void RapidVoltageChangeDetector::addRmsValues(double time, const double* rmsVoltages) {
    if (rmsVoltages == nullptr) {
        throw std::invalid_argument("null RMS values");
    }
    powerquality::checkRmsRow(time, rmsVoltages, phasesCount, anyValue, latestTime, "");
    feed(time, rmsVoltages);
}

// The window's mean from its running sum, or, where that sum overflowed
// (values near the largest double), from the window's values scaled down by
// 2^-32 (exact, and room for a million of them), then scaled back.
double RapidVoltageChangeDetector::meanOf(unsigned int phase) const {
    const std::deque<double>& w = windows[phase];
    if (w.empty()) {
        return 0.0;
    }
    const double count = static_cast<double>(w.size());
    if (std::isfinite(sums[phase])) {
        return sums[phase] / count;
    }
    constexpr int scaleDown = 32;
    double sum = 0.0;
    for (double u : w) {
        sum += std::ldexp(u, -scaleDown);
    }
    // Rounding may take the mean of values at the largest double past it.
    return std::min(std::ldexp(sum / count, scaleDown), std::numeric_limits<double>::max());
}

bool RapidVoltageChangeDetector::windowsSteady(double band) const {
    for (unsigned int k = 0; k < phasesCount; ++k) {
        const std::deque<double>& w = windows[k];
        if (w.size() < steadyStateLength) {
            return false;
        }
        const double mean = meanOf(k);
        for (double u : w) {
            if (std::fabs(u - mean) > band) {
                return false;
            }
        }
    }
    return true;
}

void RapidVoltageChangeDetector::feed(double time, const double* values) {
    const double scale = declaredVoltage / 100.0;  // volts per percent
    const double band = threshold * scale;
    const double stamp = powerquality::windowStartOf(recentTimes, startStampValues, time);
    bool beyond = false;  // a dip or a swell on some phase
    for (unsigned int k = 0; k < phasesCount; ++k) {
        beyond = beyond || values[k] < dipThreshold * scale || values[k] > swellThreshold * scale;
    }
    valuesClear = beyond ? 0 : std::min<std::size_t>(valuesClear + 1, steadyStateLength);

    if (state == steady) {
        // The windows hold the N values before this one: their means are the
        // reference the new value is judged against. A dip or swell that
        // stays within the band stops detection all the same.
        bool leaves = beyond;
        for (unsigned int k = 0; k < phasesCount; ++k) {
            leaves = leaves || std::fabs(values[k] - meanOf(k)) > band;
        }
        if (leaves) {
            state = changing;
            startTime = stamp;
            eventValues = 0;
            discarded = false;
            phases = 0;
            for (unsigned int k = 0; k < phasesCount; ++k) {
                meanBefore[k] = meanOf(k);
                maxDeviation[k] = 0.0;
            }
        }
    }
    if (state == changing) {
        eventValues += 1;
        for (unsigned int k = 0; k < phasesCount; ++k) {
            const double u = values[k];
            const double deviation = std::fabs(u - meanBefore[k]);
            maxDeviation[k] = std::max(maxDeviation[k], deviation);
            if (deviation > band) {
                phases |= uint32_t(1) << k;
            }
        }
        discarded = discarded || beyond;
    }

    const bool full = windows[0].size() == steadyStateLength;
    for (unsigned int k = 0; k < phasesCount; ++k) {
        std::deque<double>& w = windows[k];
        w.push_back(values[k]);
        sums[k] += values[k];
        if (full) {
            const double old = w.front();
            w.pop_front();
            sums[k] -= old;
        }
    }
    times.push_back(time);
    if (full) {
        lastDroppedTime = times.front();
        times.pop_front();
    }
    // Sums are taken afresh once per turn of the windows, so that rounding
    // does not build up over a long recording.
    if (++valuesSinceSum >= steadyStateLength) {
        valuesSinceSum = 0;
        for (unsigned int k = 0; k < phasesCount; ++k) {
            double sum = 0.0;
            for (double u : windows[k]) {
                sum += u;
            }
            sums[k] = sum;
        }
    }

    // A steady state takes N values past the last dip or swell, so that a
    // return from one (or the level it returns to) is never a change.
    const bool clear = valuesClear >= steadyStateLength;
    if (state == waiting) {
        if (clear && windowsSteady(band)) {
            state = steady;
        }
    } else if (state == changing && eventValues >= steadyStateLength && clear) {
        if (windowsSteady((threshold - hysteresis) * scale)) {
            if (!discarded) {
                finished.push_back(eventOf(lastDroppedTime));
            }
            state = steady;
        }
    }
    powerquality::rememberTime(recentTimes, startStampValues, time);
    anyValue = true;
    latestTime = time;
}

RapidVoltageChange RapidVoltageChangeDetector::eventOf(double endTime) const {
    RapidVoltageChange event{};
    event.phases = phases;
    event.startTime = startTime;
    event.duration = std::max(0.0, endTime - startTime);
    for (unsigned int k = 0; k < phasesCount; ++k) {
        event.deltaUmax = std::max(event.deltaUmax, maxDeviation[k]);
        const double change = meanOf(k) - meanBefore[k];
        if (std::fabs(change) > std::fabs(event.deltaUss)) {
            event.deltaUss = change;
        }
    }
    // Exactly, the new mean lies within the values it is the mean of, so
    // |deltaUss| <= deltaUmax; but the mean is rounded on its own (a sum of N
    // values divided by N), and may land a few units in the last place beyond
    // the largest value. deltaUmax is held at |deltaUss| then, so that the
    // promise holds to the last bit (and for the percentages, whose rounding
    // keeps the order).
    event.deltaUmax = std::max(event.deltaUmax, std::fabs(event.deltaUss));
    event.deltaUmaxPercent = event.deltaUmax / declaredVoltage * 100.0;
    event.deltaUssPercent = event.deltaUss / declaredVoltage * 100.0;
    return event;
}

std::vector<RapidVoltageChange> RapidVoltageChangeDetector::getEvents(std::size_t capacity) {
    const std::size_t n = std::min(capacity, finished.size());
    std::vector<RapidVoltageChange> events(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(n));
    finished.erase(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(n));
    return events;
}

std::size_t RapidVoltageChangeDetector::getEventsCount() const { return finished.size(); }

std::vector<RapidVoltageChange> RapidVoltageChangeDetector::getRunningEvents() const {
    std::vector<RapidVoltageChange> events;
    if (state == changing && !discarded) {
        events.push_back(eventOf(latestTime));
    }
    return events;
}
