// VoltageEventDetector: voltage dips, swells and interruptions of a one-,
// two- or three-phase system, found in the stream of period values that a
// PowerModule hands out.
//
// Input. Each period item gives one RMS voltage per phase (`rmsVoltage` of
// records 1 to phasesCount) and its time (`time`, the end of the item's span
// in seconds on the module's position scale). addRmsValues takes values from
// elsewhere, e.g. the line-to-line RMS values (`rmsLineToLine`) with a
// line-to-line declared voltage, which three-wire systems are judged on.
// The intended geometry is Urms(1/2): two half periods per value with 50 %
// overlap, that is one-cycle RMS values refreshed every half cycle. Any other geometry works the same way
// on its own time grid, but a longer window averages short events away (a dip
// shorter than the window never shows its full depth).
//
// Thresholds, in percent of the declared voltage Udin (defaults in brackets):
// dip [90], swell [110], interruption [5], hysteresis [2]. They must satisfy
// 0 <= interruption < dip < swell, hysteresis >= 0 and
// dip + hysteresis <= swell - hysteresis; a setter that would break this
// throws and changes nothing. New thresholds apply from the next value on,
// also to events already running.
//
// Polyphase rules, each kind detected on its own:
// - a dip starts when one or more phases fall strictly below the dip
//   threshold, and ends with the first value on which every phase is at or
//   above the dip threshold plus the hysteresis;
// - a swell starts when one or more phases rise strictly above the swell
//   threshold, and ends when every phase is at or below the swell threshold
//   minus the hysteresis;
// - an interruption starts when every phase is strictly below the
//   interruption threshold, and ends when any phase is at or above the
//   interruption threshold plus the hysteresis.
// A value hovering between a threshold and its recovery level therefore
// neither ends an event nor starts a new one. Because the kinds are detected
// independently, an interruption is also a dip: with the thresholds in order
// the dip contains the interruption (it starts no later and ends no earlier),
// and both are reported. A caller that counts interruptions apart drops the
// dips that contain one.
//
// Event records (VoltageEvent.h). `startTime` is the time of the value that
// started the event, and the event ends at the time of the value that ended
// it; `duration` is the difference. With Urms(1/2) both lie on the half-cycle
// grid of the period values. The one-cycle window enters a dip as soon as
// enough of it lies in the disturbance to pull the RMS value below the
// threshold, but leaves it only when the part still inside no longer pulls it
// below the recovery level, so a rectangular dip is measured up to one cycle
// longer than it is (0 or half a cycle longer for a 70 % residual voltage). An
// interruption is the reverse: the window must lie almost wholly in it to fall
// below the threshold, and one phase leaving ends it, so it is measured up to
// one cycle shorter.
//
// Time stamps after IEC 61000-4-30 Ed. 3 (opt-in: setWindowStartStamps).
// Our reading of the clause: an event starts where the window of the first
// Urms(1/2) value beyond the threshold begins, and ends where the value that
// ends it (the first one back at the recovery level) ends. The end is the
// stamp above; the start moves back by one window. The detector is handed
// the end time of each value only, so it takes a value's window start from
// the values before it: with k values per window, value i's window begins
// where value i - k ended (k = 2 for Urms(1/2), exactly so for the module's
// period items, each of which starts where the item two before ended). At
// the first values of the data, with fewer than k before, the latest step is
// taken back as often as values are missing; the very first value's window is
// taken to start at its own time. With Ed. 3 stamps a rectangular
// interruption is stamped within one cycle of its true start and duration; a
// rectangular dip starts within one cycle of its true start, and since the
// stamps take in the first value's whole window, it lasts one to one and a
// half cycles longer than it is (a 100 ms dip to 70 % at 50 Hz: 120 or 130 ms).
// k = 0, the default, keeps the stamps above, so records read by existing
// callers do not change; changing k applies to events that start afterwards.
//
// `phases` has bit p set when phase p was beyond the event's threshold on
// some value of the event (for an interruption, every phase). `extremeVoltage` is the lowest RMS value of any
// phase during a dip or interruption (its residual voltage) and the highest
// during a swell, taken over the values from the start up to, but not
// including, the value that ends it; `extremePercent` is
// extremeVoltage x (100 / Udin) (inf only where that lies beyond the largest
// double, e.g. a swell to 1e308 V on a declared voltage of 1 V). The
// detector compares values and keeps no sums, so huge values need no care.
//
// Finished events queue until getEvents takes them, in the order they ended;
// events that end with the same value come in the order of their start, a dip
// before a swell before an interruption when they start together. The queue
// grows until it is read. getRunningEvents reports the events still running,
// with the duration up to the latest value. At the end of the data,
// closeRunningEvents ends them at the time of the latest value and queues
// them; their durations are then lower bounds, so a caller that needs to mark
// them reads getRunningEvents first.
//
// Missing values: an RMS value that is NaN (a period value over missing
// samples) is refused, and its batch with it, as every value that is not a
// finite non-negative number: no event starts or ends on it and the
// detector stays as it was. A host with a gap in its data ends the running
// events at the gap itself (getRunningEvents to mark them as cut short, then
// closeRunningEvents) and feeds the values after it.
//
// Errors are std::invalid_argument with a message saying what was wrong: a
// declared voltage that is not positive and finite, a phase count outside 1 to
// 32, thresholds out of order, an RMS value that is not a finite non-negative
// number, a time that is not finite, goes back or lies beyond +-8.99e307 s
// (half the largest double: within it every duration, the difference of two
// times, is finite), more than 64 values per window. A rejected batch of values
// leaves the detector as it was. One detector is used from one thread at a
// time.
#ifndef POWERQUALITY_VOLTAGEEVENTDETECTOR_H
#define POWERQUALITY_VOLTAGEEVENTDETECTOR_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"
#include "powerquality/VoltageEvent.h"

class POWERQUALITY_API VoltageEventDetector {
public:
    VoltageEventDetector(double declaredVoltage, unsigned int phasesCount);

    double getDeclaredVoltage() const;
    unsigned int getPhasesCount() const;

    // All four at once, in percent of the declared voltage.
    void setThresholds(double dip, double swell, double interruption, double hysteresis);
    void setDipThreshold(double percent);
    void setSwellThreshold(double percent);
    void setInterruptionThreshold(double percent);
    void setHysteresis(double percent);
    double getDipThreshold() const;
    double getSwellThreshold() const;
    double getInterruptionThreshold() const;
    double getHysteresis() const;

    // itemCount items as PowerModule::getPeriodResults hands them out:
    // phasesCount + 1 records each, the total record first (it is not read).
    void addPeriodResults(const PowerResultsPeriod* records, int itemCount);
    // One RMS value per phase, with its time in seconds.
    void addRmsValues(double time, const double* rmsVoltages);

    // Ed. 3 start stamps (see above): values per window k, 0 to 64; 0 (the
    // default) stamps the end of the first value beyond the threshold.
    void setWindowStartStamps(unsigned int valuesPerWindow);
    unsigned int getWindowStartStamps() const;

    // Takes up to capacity finished events, in the order they ended.
    std::vector<VoltageEvent> getEvents(std::size_t capacity = std::numeric_limits<std::size_t>::max());
    std::size_t getEventsCount() const;
    // The events still running (at most one of each kind), duration up to the
    // latest value, in order of their start.
    std::vector<VoltageEvent> getRunningEvents() const;
    // Ends the running events at the time of the latest value and queues them.
    void closeRunningEvents();

private:
    struct Running {
        bool active;
        double startTime;
        double extreme;
        uint32_t phases;
    };

    void checkThresholds(double dip, double swell, double interruption, double hysteresis) const;
    void feed(double time, const double* values);
    VoltageEvent eventOf(int kind, double endTime) const;
    void queueInStartOrder(VoltageEvent* events, int count);

    double declaredVoltage;
    unsigned int phasesCount;
    double dipThreshold;
    double swellThreshold;
    double interruptionThreshold;
    double hysteresis;
    bool anyValue;
    double latestTime;
    unsigned int startStampValues;
    std::deque<double> recentTimes;  // end times of up to startStampValues values before the next
    Running running[3];  // index: event type - 1
    std::deque<VoltageEvent> finished;
};

#endif
