// IntervalAggregator: aggregates values of consecutive analysis windows (10
// cycles at 50 Hz, 12 at 60 Hz, as the module's windowed results come) over
// 150/180 cycles and over 10 minutes of the absolute clock, the way
// IEC 61000-4-30 Class A instruments report them.
//
// Typical use, after each getResults of a module (values taken from the
// windowed records, e.g. the RMS voltage of each phase):
//   IntervalAggregator agg(3, clockOffset);
//   agg.addWindow(start, end, values, flagged);        // one call per window
//   int n = agg.getThreeSecondIntervals(8, records, recordValues);
//   ...
//   agg.flush();                                       // at the end of the data
//
// Time. Window times are seconds on the caller's scale (a module's, from its
// sample positions). clockOffset is the absolute time in seconds of caller
// time 0 (since midnight UTC, the Unix epoch or any origin that lies on a
// whole 10 minutes); it places the 10-minute ticks: a tick lies at every
// caller time t where t + clockOffset is a multiple of 600 s, and numbers the
// clock intervals. The offset is split into whole clock intervals and a rest
// in [0, 600) s, so an epoch-sized offset costs no precision. A window
// start within 1 microsecond before a tick counts as on the tick (a start
// computed from sample positions rounds either way).
//
// Aggregation. Each value of an interval is the square root of the arithmetic
// mean of the squares of the windows' values, the standard's aggregation of
// magnitudes; a value set with setMeanAggregated is the plain arithmetic mean
// instead (for signed quantities, e.g. a DC component or a power). The sums
// run in double over the windows in the order given, each held as a double
// times a power of two (2^0 while that suffices), so that no finite value
// makes an aggregate infinite: a square that would overflow the sum scales
// the sum down by a power of two, and a sum of squares that is still 0 when
// a value below 2^-511 comes (whose square would underflow) is scaled up by
// that value's power of two. Scaling by powers of two is exact, so values
// whose squares and sums are ordinary doubles aggregate bit for bit as plain
// sums would; values near the largest double (above 2^512 for the squares)
// give a finite aggregate where plain sums gave inf, and tiny values one
// that plain sums lost to underflow. What a scaled-down sum drops below the
// smallest double lies far below the rounding of the sum. A scaled
// aggregate that rounding would take past the largest double is held
// there. The mode is applied when
// an interval is closed, so it may be changed at any time and applies to
// every interval closed from then on, including the running ones: both sums
// are kept for every window, and the windows an interval took in before the
// change are aggregated with the mode in force when it closes (never half
// one way, half the other). The 10-minute values are aggregated from
// the windows directly, not from the 150/180-cycle values.
//
// The two streams, as read from the standard (Class A synchronisation of the
// aggregation intervals):
// - 10-minute intervals are clock intervals: the k-th holds the windows whose
//   start lies in [600 k, 600 (k + 1)) s of absolute time. A window that
//   overlaps a tick (starts before it, ends after it) is the last window of
//   the interval that the tick ends: the standard includes the 10/12-cycle
//   value that overlaps the 10-minute limit in the interval ending there. A
//   window that starts on the tick is the first of the next interval. An
//   interval is closed, and handed out, by the first window that starts at or
//   after its end tick; clock intervals without any window produce no record.
// - 150/180-cycle intervals are not clock intervals: 15 consecutive windows
//   each, counted from the first window. They are resynchronised at every
//   10-minute tick with "overlap 1" (IEC 61000-4-30 Class A, aggregation
//   over 150/180 cycles): the interval in progress takes the window that
//   overlaps the tick (or ends on it) and then runs on past the tick to its
//   full 15 windows, while a new interval starts with the first window that
//   starts at or after the tick. The two share the windows between; each
//   is handed out with its 15th window. The one that runs on is cut short
//   (handed out incomplete) only when the data pause over a whole clock
//   interval, at the next tick, or by flush. Its clock interval stays the
//   one of its first window.
//   Hosts that resynchronise their windows as well (start a new window
//   series on the tick while the window in progress runs on past it) give
//   the standard's picture exactly: the overlapping window goes with the old
//   intervals, the window on the tick opens the new ones (and goes on
//   filling the 150/180-cycle interval that runs on). That is why
//   windows may overlap: only a start before the previous window's start
//   counts as time going back. Gaps between windows are not checked;
//   windows are counted, not their durations.
// Flags: an interval is flagged when any window in it was flagged (the
// flagged windows' values are aggregated all the same, so that the flag marks
// a value the caller may want to leave out).
//
// Records (IntervalAggregate, IntervalAggregatorApi.h): start of the first
// window, end of the last, the 10-minute clock interval that holds the first
// window, the window count, the flag and whether the interval is complete: a
// 150/180-cycle interval with 15 windows, a 10-minute interval whose
// neighbouring clock intervals hold the windows just before and after it
// (it began with a tick and was closed by a window of the next clock
// interval, not by flush nor by a window after a gap). The values of
// record k come in a separate array: values[k * valueCount + i]. The
// 10-minute value's time tag, the tick at its end, is
// 600 (clockInterval + 1) s absolute.
//
// 2-hour values (IEC 61000-4-30: from twelve 10-minute values) come from the
// 10-minute values as they close, not from the windows: clock blocks of 12
// clock intervals, the k-th holding the 10-minute values of clock intervals
// 12 k to 12 k + 11 (whole 2 hours of absolute time). Each value is the root
// of the mean of the squares of the 10-minute values (the arithmetic mean for
// a value set with setMeanAggregated), so a short 10-minute value weighs as
// much as a whole one. The record's clockInterval is the first 10-minute
// value's, its windowCount the number of 10-minute values, its start and end
// those of the first and the last; it is flagged when any of them is, and
// complete when it holds twelve complete ones. A block is closed by its
// twelfth clock interval's value, by a value of a later block (after a gap)
// or by flush. This stream is additional: the other two do not change with it.
//
// End of the data: flush closes the running intervals, oldest first (handed
// out incomplete, unless a 150/180-cycle one happens to have 15 windows). Windows
// added after a flush start new intervals, as at the start.
//
// Missing values: a window value that is NaN (a window over missing samples)
// is refused like any value that is not finite (addWindows: the whole
// batch), and the aggregator stays as it was. A host leaves such windows
// out: a 10-minute value then counts fewer windows, a 150/180-cycle one
// takes the next windows instead (windows are counted, see above).
//
// Bad input: the constructor rejects a value count below 1 and a clock offset
// that is not finite or beyond 1e15 s; setMeanAggregated an index out of range; addWindow
// (and addWindows, for any window of the batch) non-finite times or values,
// times beyond 1e15 s, a null values pointer, an end before the start
// and a start before the previous window's start; the getters a negative
// capacity or a null array (when capacity > 0). All with
// std::invalid_argument, before anything changes.
//
// Closed intervals wait in two queues until taken; take them regularly.
// Copying is not offered; moving is.
#ifndef POWERQUALITY_INTERVALAGGREGATOR_H
#define POWERQUALITY_INTERVALAGGREGATOR_H

#include "powerquality/Export.h"
#include "powerquality/IntervalAggregatorApi.h"

class POWERQUALITY_API IntervalAggregator {
public:
    // Windows per 150/180-cycle interval and seconds per clock interval.
    static constexpr int windowsPerInterval = 15;
    static constexpr double clockIntervalSeconds = 600.0;
    // 10-minute values per 2-hour value.
    static constexpr int tenMinutesPerTwoHours = 12;

    explicit IntervalAggregator(int valueCount, double clockOffset = 0.0);
    IntervalAggregator(IntervalAggregator&& other) noexcept;
    IntervalAggregator& operator=(IntervalAggregator&& other) noexcept;
    IntervalAggregator(const IntervalAggregator&) = delete;
    IntervalAggregator& operator=(const IntervalAggregator&) = delete;
    ~IntervalAggregator();

    int getValueCount() const;
    // The rest of the clock offset after whole clock intervals: in [0, 600).
    double getClockOffset() const;
    void setMeanAggregated(int valueIndex, bool mean);
    bool isMeanAggregated(int valueIndex) const;

    // The next window: start and end in the caller's seconds, valueCount
    // values, and whether it is flagged.
    void addWindow(double startTime, double endTime, const double* values, bool flagged);
    // count windows at once: values holds valueCount doubles per window, one
    // window after the other; flags may be null (none flagged). The batch is
    // checked whole before any window is taken.
    void addWindows(int count, const double* startTimes, const double* endTimes, const double* values,
                    const bool* flags);
    // Closes the running intervals of both streams.
    void flush();

    // Take up to capacity closed intervals, oldest first: frames into records,
    // their values into values (capacity * valueCount doubles); return how
    // many were taken.
    int getThreeSecondIntervals(int capacity, IntervalAggregate* records, double* values);
    int getTenMinuteIntervals(int capacity, IntervalAggregate* records, double* values);
    int getPendingThreeSecondCount() const;
    int getPendingTenMinuteCount() const;
    // 2-hour values (see above), taken as the other streams.
    int getTwoHourIntervals(int capacity, IntervalAggregate* records, double* values);
    int getPendingTwoHourCount() const;

private:
    class Impl;
    Impl* impl;
};

#endif
