#include "period/RvcPhaseCalculation.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>

RvcPhaseCalculation::RvcPhaseCalculation()
    : steadyStateLength(100),
      steadyStateThreshold(2.0),
      thresholdHysteresis(50.0),
      state(0),
      currentResult(),
      sum(0.0),
      eventLength(0),
      averageBeforeEvent(0.0),
      eventStartTime(0.0),
      maxDeviation(0.0),
      valuesAdded(0),
      nonFiniteCount(0) {
    currentResult.state = -1;
}

void RvcPhaseCalculation::calculate(double value, double time) {
    currentResult.time = time;
    currentResult.eventEnded = false;
    currentResult.duration = 0.0;
    currentResult.deltaUmax = 0.0f;
    currentResult.deltaUss = 0.0f;

    // The reference of a new event is the window as it stood before the
    // value that breaks it; once an event runs it stays frozen.
    if (state == 0) {
        averageBeforeEvent = getAverage();
    }

    addToWindow(value, time);
    // At most one drop per call: after the length is lowered, a filled window
    // keeps its old length until a reset empties it.
    if (values.size() > steadyStateLength) {
        dropOldest();
    }

    const bool judged = nonFiniteCount == 0;
    if (state == 0) {
        if (!judged || isSteadyState()) {
            report(0);
        } else {
            eventStartTime = time;
            state = 1;
            eventLength = 1;
            maxDeviation = std::abs(averageBeforeEvent - value);
            report(1);
        }
    } else if (state == 1) {
        ++eventLength;
        // isSteadyState() still sees state 1 here, so the narrower band applies.
        if (judged && isSteadyState() && eventLength >= steadyStateLength) {
            state = 0;
            eventLength = 0;
            currentResult.eventEnded = true;
            currentResult.deltaUmax = static_cast<float>(maxDeviation);
            currentResult.deltaUss = static_cast<float>(std::abs(averageBeforeEvent - getAverage()));
            // The closing window already belongs to the new steady state, so
            // the event is over where that window begins.
            currentResult.duration = times.front() - eventStartTime;
            report(0);
        } else {
            // Only values inside the event count; the one that settles it
            // is part of the new steady state.
            if (std::isfinite(value)) {
                maxDeviation = std::max(maxDeviation, std::abs(averageBeforeEvent - value));
            }
            report(1);
        }
    }
}

void RvcPhaseCalculation::addToWindow(double value, double time) {
    sum += value;
    values.push_back(value);
    times.push_back(time);
    const uint64_t number = valuesAdded++;
    if (!std::isfinite(value)) {
        ++nonFiniteCount;
        return;
    }
    while (!windowMinima.empty() && windowMinima.back().second >= value) {
        windowMinima.pop_back();
    }
    windowMinima.push_back({number, value});
    while (!windowMaxima.empty() && windowMaxima.back().second <= value) {
        windowMaxima.pop_back();
    }
    windowMaxima.push_back({number, value});
}

void RvcPhaseCalculation::dropOldest() {
    const double oldest = values.front();
    const uint64_t number = valuesAdded - values.size();
    sum -= oldest;
    values.pop_front();
    times.pop_front();
    if (!windowMinima.empty() && windowMinima.front().first == number) {
        windowMinima.pop_front();
    }
    if (!windowMaxima.empty() && windowMaxima.front().first == number) {
        windowMaxima.pop_front();
    }
    // The sum has carried the non-finite value since it came; once the last
    // one has gone it is taken afresh, oldest value first.
    if (!std::isfinite(oldest) && --nonFiniteCount == 0) {
        sum = 0.0;
        for (double v : values) {
            sum += v;
        }
    }
}

const RvcResult& RvcPhaseCalculation::getCurrentResult() const { return currentResult; }

void RvcPhaseCalculation::setSteadyStateLength(unsigned int length) { steadyStateLength = length; }

unsigned int RvcPhaseCalculation::getSteadyStateLength() const { return steadyStateLength; }

void RvcPhaseCalculation::setSteadyStateThreshold(double percentOfAverage) { steadyStateThreshold = percentOfAverage; }

double RvcPhaseCalculation::getSteadyStateThreshold() const { return steadyStateThreshold; }

void RvcPhaseCalculation::setThresholdHysteresis(double percentOfThreshold) {
    thresholdHysteresis = percentOfThreshold;
}

double RvcPhaseCalculation::getThresholdHysteresis() const { return thresholdHysteresis; }

double RvcPhaseCalculation::getSteadyStateDuration() const {
    if (times.size() < 2) {
        return 0.0;
    }
    return times.back() - times.front();
}

void RvcPhaseCalculation::reset() {
    sum = 0.0;
    eventLength = 0;
    // Fresh queues hand the old storage back.
    values = RvcQueue<double>();
    times = RvcQueue<double>();
    windowMinima = RvcQueue<std::pair<uint64_t, double>>();
    windowMaxima = RvcQueue<std::pair<uint64_t, double>>();
    nonFiniteCount = 0;
    state = 0;
    averageBeforeEvent = 0.0;
    maxDeviation = -std::numeric_limits<double>::infinity();
    currentResult.state = -1;
}

void RvcPhaseCalculation::initialize() { reset(); }

double RvcPhaseCalculation::getAverage() const {
    if (values.empty()) {
        return 0.0;
    }
    if (nonFiniteCount == 0) {
        return sum / static_cast<double>(values.size());
    }
    double finiteSum = 0.0;
    std::size_t finiteCount = 0;
    for (double v : values) {
        if (std::isfinite(v)) {
            finiteSum += v;
            ++finiteCount;
        }
    }
    return finiteCount == 0 ? 0.0 : finiteSum / static_cast<double>(finiteCount);
}

double RvcPhaseCalculation::getThreshold() const {
    if (state == 1) {
        return thresholdHysteresis * steadyStateThreshold / 100.0;
    }
    return steadyStateThreshold;
}

bool RvcPhaseCalculation::isSteadyState() const {
    const std::size_t n = values.size();
    // Until the window has filled there is no steady state to leave.
    if (n < steadyStateLength) {
        return true;
    }
    const double mean = getAverage();
    const double band = getThreshold() * mean / 100.0;
    const double low = mean - band;
    const double high = mean + band;
    if (n == 0) {
        return true;
    }
    return !(windowMaxima.front().second > high || windowMinima.front().second < low);
}

void RvcPhaseCalculation::report(int32_t newState) {
    currentResult.stateChanged = currentResult.state != newState;
    currentResult.state = newState;
}
