// RvcPhaseCalculation: rapid voltage change detector of one voltage.
//
// It watches a stream of RMS values (one per period value). A steady state
// holds while the last steadyStateLength values all lie within
// +/- steadyStateThreshold percent of their own mean. An event starts with the
// first value that breaks the steady state and ends once the window is steady
// again under the narrower band thresholdHysteresis percent of the threshold,
// and at least steadyStateLength values have passed since the start. Below
// steadyStateLength values the window counts as steady, so no event starts
// before the window has filled.
#ifndef POWERQUALITY_PERIOD_RVCPHASECALCULATION_H
#define POWERQUALITY_PERIOD_RVCPHASECALCULATION_H

#include <deque>

#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"

class POWERQUALITY_API RvcPhaseCalculation {
public:
    RvcPhaseCalculation();

    // Feeds one value with its time in seconds; the result is currentResult.
    void calculate(double value, double time);
    const RvcResult& getCurrentResult() const;

    void setSteadyStateLength(unsigned int length);
    unsigned int getSteadyStateLength() const;
    void setSteadyStateThreshold(double percentOfAverage);
    double getSteadyStateThreshold() const;
    void setThresholdHysteresis(double percentOfThreshold);
    double getThresholdHysteresis() const;
    // Newest minus oldest time of the window with 2 or more values, else 0.
    double getSteadyStateDuration() const;

    // Empties the window and returns to the steady state with no result
    // (state -1); the settings and eventStartTime stay.
    void reset();
    void initialize();

    std::deque<double> values;
    std::deque<double> times;
    unsigned int steadyStateLength;
    double steadyStateThreshold;
    double thresholdHysteresis;
    int32_t state;
    RvcResult currentResult;
    double sum;
    unsigned int eventLength;
    double averageBeforeEvent;
    double eventStartTime;
    double maxDeviation;

private:
    double getAverage() const;
    double getThreshold() const;
    bool isSteadyState() const;
    void report(int32_t newState);
};

#endif
