// RapidVoltageChangeDetector: rapid voltage changes (RVC) as IEC 61000-4-30
// Class A instruments report them, found in the same stream of Urms(1/2)
// values (one-cycle RMS values refreshed every half cycle) as voltage dips and
// swells. It works beside a VoltageEventDetector and knows the dip and swell
// thresholds, because a change that crosses them is a dip or a swell, not an
// RVC. (The module's own detectors, RvcPhaseCalculation and its group, are a
// different method: their threshold is relative to the window mean and they
// know nothing of dips; they stay as they are.)
//
// Input as for VoltageEventDetector: addPeriodResults takes the records of a
// module's getPeriodResults (rmsVoltage of records 1 to phasesCount, time of
// record 1), addRmsValues one RMS value per phase with its time.
//
// Method, our reading of the standard (N = steadyStateLength, 100 values at
// 50 Hz and 120 at 60 Hz; thresholds in percent of the declared voltage Udin,
// defaults in brackets):
// - Steady state of a phase: its last N values all lie within the RVC
//   threshold [5 %] of their arithmetic mean (a value on the band's edge is
//   inside), and none of them, on any phase, lies beyond the dip or swell
//   threshold (see below). Nothing is detected before every phase is in
//   steady state for the first time; until then the detector only fills its
//   windows.
// - Start: in steady state, an event starts with the first value of any
//   phase that lies farther than the threshold from the mean of that phase's
//   N values before it, or beyond the dip or swell threshold. Those means
//   are the means before the event.
// - End: the event ends once a new steady state is established on every
//   phase: the last N values, all taken since the start and since the last
//   value beyond the dip or swell threshold, lie within the threshold minus
//   the hysteresis [2.5 %] of their mean (the hysteresis
//   keeps a voltage hovering near the threshold from ending and restarting
//   events). The new steady state then holds, and the next event is looked
//   for against its means.
// - An event during which any value of any phase lies strictly below the dip
//   threshold [90 %] or strictly above the swell threshold [110 %] is
//   discarded (it is a dip or swell). Detection restarts only when the dip or
//   swell has ended and a fresh steady state follows it (N values, none
//   beyond the thresholds, within the hysteresis band): however long the dip
//   or swell, the step back out of it, and the level it returns to, belong
//   to it and give no RVC. (The dip's end is taken at its threshold, without
//   the event detector's hysteresis: the fresh steady state, which a value
//   near the threshold cannot join, does that work.) So with a phase that
//   stays beyond a threshold (a dead phase) nothing is ever reported. One
//   still running at the end of the data is never queued (it cannot be told
//   from a dip yet); getRunningEvents shows it.
// - Characteristics: deltaUmax, the largest |value - mean before| of any
//   phase over every value from the start up to the one that establishes the
//   new steady state (so deltaUmax >= |deltaUss| always, to the last bit: the
//   means are rounded on their own, and where a mean's rounding would put
//   |deltaUss| a few units in the last place above the largest deviation,
//   deltaUmax is |deltaUss|); deltaUss, mean of the new steady window - mean
//   before, signed, of the phase where its size is largest.
// - Means come from running sums, taken afresh once per turn of the window;
//   a sum that overflows (values near the largest double, as with a declared
//   voltage near it) is replaced by one of the window's values scaled down by
//   a power of two, so every finite value gives a finite mean.
// - Time stamps after IEC 61000-4-30 Ed. 3: the start is where the window of
//   the first value beyond the threshold begins, taken from the end time of
//   the value valuesPerWindow [2] values before it, as VoltageEventDetector.h
//   explains (0 stamps the end of that value instead). The end is the end of
//   the last value before the new steady window, which makes the duration N
//   values shorter than the time between the two steady states; it is never
//   negative (a step whose first value already belongs to the new steady
//   state lasts half a cycle with Urms(1/2)).
//
// Finished events queue until getEvents takes them, in the order they ended.
// getRunningEvents gives the event in progress, if it is not already
// discarded, with its figures up to the latest value (deltaUss from the
// current window, the end at the latest value). Thresholds may be changed at any time and apply from the
// next value on.
//
// Missing values: an RMS value that is NaN (a period value over missing
// samples) is refused, and its batch with it, as every value that is not a
// finite non-negative number: it neither starts nor ends a change nor enters
// a steady-state window, and the detector stays as it was. A host that wants
// the steady state found afresh after a gap starts a new detector there
// (with the same settings).
//
// Errors are std::invalid_argument with a message: a declared voltage that is
// not positive and finite, a phase count outside 1 to 32, a steady-state
// length outside 1 to 1000000, thresholds out of order, more than 64 values
// per window, an RMS value that is not a finite non-negative number, a time
// that is not finite or goes back. A rejected batch leaves the detector as it
// was. One detector is used from one thread at a time.
#ifndef POWERQUALITY_RAPIDVOLTAGECHANGEDETECTOR_H
#define POWERQUALITY_RAPIDVOLTAGECHANGEDETECTOR_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"
#include "powerquality/RapidVoltageChangeDetectorApi.h"

class POWERQUALITY_API RapidVoltageChangeDetector {
public:
    RapidVoltageChangeDetector(double declaredVoltage, unsigned int phasesCount, unsigned int steadyStateLength = 100);

    double getDeclaredVoltage() const;
    unsigned int getPhasesCount() const;
    unsigned int getSteadyStateLength() const;

    // In percent of the declared voltage: 0 < threshold, 0 <= hysteresis < threshold.
    void setThresholds(double threshold, double hysteresis);
    double getThreshold() const;
    double getHysteresis() const;
    // In percent of the declared voltage: 0 <= dip < swell.
    void setDipSwellThresholds(double dip, double swell);
    double getDipThreshold() const;
    double getSwellThreshold() const;
    // Values per window of the start stamps, 0 to 64.
    void setWindowStartStamps(unsigned int valuesPerWindow);
    unsigned int getWindowStartStamps() const;

    // itemCount items as PowerModule::getPeriodResults hands them out.
    void addPeriodResults(const PowerResultsPeriod* records, int itemCount);
    // One RMS value per phase, with its time in seconds.
    void addRmsValues(double time, const double* rmsVoltages);

    std::vector<RapidVoltageChange> getEvents(std::size_t capacity = std::numeric_limits<std::size_t>::max());
    std::size_t getEventsCount() const;
    std::vector<RapidVoltageChange> getRunningEvents() const;

private:
    enum State { waiting, steady, changing };

    void feed(double time, const double* values);
    bool windowsSteady(double band) const;
    double meanOf(unsigned int phase) const;
    RapidVoltageChange eventOf(double endTime) const;

    double declaredVoltage;
    unsigned int phasesCount;
    unsigned int steadyStateLength;
    double threshold;
    double hysteresis;
    double dipThreshold;
    double swellThreshold;
    unsigned int startStampValues;
    std::size_t valuesClear;                  // values in a row, up to N, with no phase beyond the dip or swell threshold
    bool anyValue;
    double latestTime;
    std::deque<double> recentTimes;           // end times of up to startStampValues values before the next
    std::vector<std::deque<double>> windows;  // per phase: the last N values, oldest first
    std::vector<double> sums;                 // per phase: sum of its window
    std::deque<double> times;                 // end times of the values in the windows
    std::size_t valuesSinceSum;               // values since the sums were last taken afresh
    double lastDroppedTime;                   // end time of the value that last left the windows
    State state;
    // The event in progress.
    double startTime;
    std::size_t eventValues;  // values since the start, the starting value counted
    bool discarded;
    uint32_t phases;
    std::vector<double> meanBefore;
    std::vector<double> maxDeviation;  // per phase: largest |value - mean before| of the event so far
    std::deque<RapidVoltageChange> finished;
};

#endif
