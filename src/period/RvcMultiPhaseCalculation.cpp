#include "period/RvcMultiPhaseCalculation.h"

RvcMultiPhaseCalculation::RvcMultiPhaseCalculation()
    : noEventStartTime(-1.0), eventStartTime(-1.0), previousState(-1) {}

void RvcMultiPhaseCalculation::setNumberOfPhases(unsigned int n) { phases.resize(n); }

unsigned int RvcMultiPhaseCalculation::getNumberOfPhases() const { return static_cast<unsigned int>(phases.size()); }

RvcPhaseCalculation& RvcMultiPhaseCalculation::operator[](unsigned int i) { return phases[i]; }

void RvcMultiPhaseCalculation::initialize() {
    for (RvcPhaseCalculation& phase : phases) {
        phase.reset();
    }
    eventStartTime = noEventStartTime;
    previousState = -1;
}

void RvcMultiPhaseCalculation::reset() { initialize(); }

RvcResult RvcMultiPhaseCalculation::getTotalResult() {
    RvcResult result = RvcResult();
    result.stateChanged = false;
    result.state = -1;
    result.eventEnded = false;
    result.deltaUss = 0.0f;
    result.deltaUmax = 0.0f;
    result.duration = 0.0;
    result.time = 0.0;

    int32_t combinedState = -1;
    bool anyEnded = false;
    for (const RvcPhaseCalculation& phase : phases) {
        const RvcResult& r = phase.getCurrentResult();
        // A detector's deltas are non-zero only in the call where its own
        // event ends, so the maxima cover just the detectors ending now.
        if (r.deltaUmax > result.deltaUmax) {
            result.deltaUmax = r.deltaUmax;
        }
        if (r.deltaUss > result.deltaUss) {
            result.deltaUss = r.deltaUss;
        }
        result.time = r.time;
        anyEnded = anyEnded || r.eventEnded;
        result.eventEnded = anyEnded;
        // The first detector with a result sets the state; any event wins.
        if (combinedState == -1) {
            combinedState = r.state;
        }
        if (r.state == 1) {
            combinedState = 1;
        }
        result.state = combinedState;
    }

    if (combinedState == 0 && anyEnded) {
        // All detectors are fed the same period times, so detector 0's
        // closing window marks where the group settled.
        const double span = phases[0].getSteadyStateDuration();
        result.duration = result.time - eventStartTime - span;
        eventStartTime = noEventStartTime;
    }
    if (combinedState == 1) {
        if (eventStartTime == noEventStartTime) {
            eventStartTime = result.time;
        }
        // A detector that settles while another is still in an event does
        // not end the group's event.
        result.eventEnded = false;
    }

    result.stateChanged = combinedState != previousState;
    previousState = combinedState;
    return result;
}
