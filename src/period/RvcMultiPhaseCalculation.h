// RvcMultiPhaseCalculation: one rapid voltage change detector per voltage of a
// group, and their combined result. The combined state is 1 while any
// detector is in an event; the combined event ends when the last detector in
// an event settles, with the largest deltas of the detectors that ended their
// event with that very value.
#ifndef POWERQUALITY_PERIOD_RVCMULTIPHASECALCULATION_H
#define POWERQUALITY_PERIOD_RVCMULTIPHASECALCULATION_H

#include <vector>

#include "period/RvcPhaseCalculation.h"
#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"

class POWERQUALITY_API RvcMultiPhaseCalculation {
public:
    RvcMultiPhaseCalculation();

    // Detectors beyond n are dropped; new ones start with the defaults.
    void setNumberOfPhases(unsigned int n);
    unsigned int getNumberOfPhases() const;
    // Detector i; i below getNumberOfPhases() is the caller's duty.
    RvcPhaseCalculation& operator[](unsigned int i);
    void initialize();
    void reset();
    // The combined result of the detectors' current results.
    RvcResult getTotalResult();

    const double noEventStartTime;
    double eventStartTime;
    int32_t previousState;
    std::vector<RvcPhaseCalculation> phases;
};

#endif
