// FlickerMeter: the flickermeter of IEC 61000-4-15 Ed. 2 over one voltage
// channel: instantaneous flicker sensation Pinst, short-term severity Pst of
// every 10-minute interval and long-term severity Plt of every 2 hours.
//
// Typical use:
//   FlickerMeter meter(10240.0, 50.0, 230.0);   // sample rate, supply, lamp
//   meter.setClockOffset(secondsSinceMidnight);  // optional, before the first sample
//   meter.addSamples(block, n);                  // any scale, any block length
//   double pinstMax = meter.getInstantaneousMaximum();
//   int n = meter.getShortTermSeverities(16, pst);
//   int m = meter.getLongTermSeverities(16, plt);
//
// The chain, as the standard draws it:
// 1. Input adaptation: the fluctuation is taken relative to the mean square
//    of the voltage over the last minute (a first-order mean with a 60 s
//    time constant; over the first minute the plain mean of everything so
//    far, so that the meter needs no minute to find the level). So any scale
//    of the samples gives the same results (bit for bit for powers of two, up
//    to samples near the largest float: squares and sums run in double, far
//    from overflow).
// 2. Squaring demodulator: u^2 at the input rate.
// 3. Band-pass: first-order high-pass at 0.05 Hz, 6th-order Butterworth
//    low-pass at 0.7 times the supply frequency (35 Hz at 50 Hz, 42 Hz at
//    60 Hz, which removes the ripple at twice the supply frequency and
//    matches the published tables of both); then the lamp-eye weighting
//    filter K w1 s / (s^2 + 2 lambda s + w1^2) (1 + s/w2) / ((1 + s/w3)(1 + s/w4)),
//    for the 230 V lamp K = 1.74802, lambda = 2 pi 4.05981, w1 = 2 pi 9.15494,
//    w2 = 2 pi 2.27979, w3 = 2 pi 1.22535, w4 = 2 pi 21.9; for the 120 V lamp
//    K = 1.6357, lambda = 2 pi 4.167375, w1 = 2 pi 9.077169,
//    w2 = 2 pi 2.939902, w3 = 2 pi 1.394468, w4 = 2 pi 17.31512. Digital
//    filters by the bilinear transform (the Butterworth and the high-pass
//    prewarped at their corners), in double.
// 4. Squaring and first-order smoothing with a 300 ms time constant, scaled
//    so that the reference fluctuation (sinusoidal, 8.8 Hz, dV/V 0.25 % peak
//    to peak, 230 V lamp) gives Pinst 1 at its peaks. The scale is computed
//    from the digital filters themselves and is the same for both lamps
//    (the 120 V lamp's weighting filter is less sensitive, as its table says).
// 5. Classifier of every Pinst value after settling, and the severities:
//    Pst = sqrt(0.0314 P0.1 + 0.0525 P1s + 0.0657 P3s + 0.28 P10s + 0.08 P50s)
//    with P1s = (P0.7 + P1 + P1.5) / 3, P3s = (P2.2 + P3 + P4) / 3,
//    P10s = (P6 + P8 + P10 + P13 + P17) / 5, P50s = (P30 + P50 + P80) / 3,
//    Px the level exceeded x % of the interval's time; Plt = cbrt(sum Pst^3 / N)
//    over the N Pst values of its 2 hours.
//
// Decimation. After squaring, the signal is low-passed by three running
// means of R samples in cascade and kept every R-th sample, R = floor(rate /
// 1000): the rest of the chain runs at 1000 to 2000 per second (R = 1 below
// 2000 per second). The running means have zeros on every multiple of the
// decimated rate, so what folds onto the 0-42 Hz band is attenuated by about
// 80 dB; their droop at 35 Hz is below 0.4 %, taken into the scale. Measured
// against the published tables at 80 samples per cycle and at 10240 per
// second: Pinst,max of every sinusoidal and rectangular row within 3 % of
// 1, Pst of every rectangular-changes row within 1.5 % of 1 (tolerances 8 %
// and 5 %); an unmodulated sine gives Pst below 0.01.
//
// Classifier. Log-spaced bins: the upper 16 bits of Pinst as a float, 128
// bins per octave (0.54 % wide) from 2^-30 to 2^34, linear inside a bin and
// interpolated there; values below 2^-30 count as 0, values above in one
// bin up to the interval's largest value. Pst is therefore exact to well
// under 0.5 %.
//
// Settling. The low-pass starts in the steady state of the first non-zero
// value, the high-pass 0.25 s later in the steady state of the low-pass's
// output then (the start of the ripple has left the low-pass by then), so
// the band-pass does not see the voltage switched on; before, Pinst is 0.
// Pinst is classified, and counted by getInstantaneousMaximum, only from
// settlingSeconds (5 s) after the first sample, when the 300 ms smoothing
// has forgotten the start (measured: the reference fluctuation reads within
// 0.1 % of its steady Pinst from 2.5 s on, an unmodulated sine's 1e-4 has
// no start-up peak above 6e-4).
//
// Intervals. 10-minute intervals are counted from the first sample: the
// k-th holds Pinst of [600 k, 600 (k + 1)) s. With setClockOffset (the
// absolute time of sample 0, as IntervalAggregator's clock offset) they lie
// on whole 10 minutes of that clock instead, and the first is the part of a
// clock interval after sample 0. The first interval holds the Pinst values
// after settling only (595 s of 600); an interval that holds none (one that
// ends within the settling time) has Pst NaN. Every interval from the first
// gives one Pst, in order and without gaps: Pst number j belongs to clock
// interval getFirstClockInterval() + j, which ends at
// 600 (getFirstClockInterval() + j + 1) - clockOffset seconds after sample 0.
// An interval is closed, and its Pst handed out, with the first decimated
// sample at or after its end; one still running when the data stop is not
// handed out. 2-hour blocks are clock blocks of twelve clock intervals
// (12 b to 12 b + 11); Plt of a block is handed out with the Pst of its
// twelfth interval, over the block's Pst values that are not NaN (fewer than
// twelve in a first block that starts between two 2-hour ticks; NaN when
// none).
//
// Missing samples: a sample that is NaN or infinite is missing, and a gap
// never reads as flicker. The decimated samples whose kernel (the last
// 3 R input samples) holds a missing one are not used: over them the
// band-pass goes on with its input held at the level before the gap (the
// low-pass's output through two 20 ms lags, so without its ripple) and the
// normalising mean stands still. After the gap the low-pass starts again in
// the steady state of that level, its input held for 0.25 s while it
// settles, then fades over 0.25 s (a raised cosine) from the held level to
// its output. Pinst of that whole stretch is not measured: it is neither
// classified nor counted by getInstantaneousMaximum, so a 10-minute
// interval's Pst is over the Pinst values measured in it (NaN when none, as
// for an interval entirely in a gap). Every interval that holds a missing
// sample or lost Pinst values to one is marked: the takes with a gaps array
// say so for each Pst, and for each Plt whose block holds such an interval.
// So a clean supply reads with a gap as without one (a 10-s gap in a steady
// 230 V supply at 49 to 51 Hz leaves Pst as it was to within 1e-3), a real
// change of level across the gap reads as a change over 0.25 s, and a
// single missing sample costs about half a second of Pinst. Missing samples before the
// first voltage count as silence that is not measured; a gap within the
// first 0.25 s of voltage switches the voltage on again after it. Silence
// (zeros) gives Pinst 0 and Pst 0; a voltage that appears after silence is
// taken as switched on (the first cycle of it starts the band-pass). Blocks
// of zero or negative length add nothing. The constructor rejects, with
// std::invalid_argument, a nominal frequency outside 40 to 70 Hz, a sample
// rate below 20 times it or above 1e7 per second, and a lamp voltage other
// than 230 or 120; setClockOffset an offset that is not finite or beyond
// 1e15 s, and any offset after the first sample; addSamples a null pointer
// with a positive count; the getters a negative capacity or a null array
// with a positive capacity (with capacity 0 the arrays are not read, so null
// is accepted).
//
// Results wait in queues until taken; take them regularly. Copying is not
// offered; moving is.
#ifndef POWERQUALITY_FLICKERMETER_H
#define POWERQUALITY_FLICKERMETER_H

#include "powerquality/Export.h"
#include "powerquality/FlickerMeterApi.h"

class POWERQUALITY_API FlickerMeter {
public:
    // Seconds per short-term interval, short-term intervals per long-term
    // block, and the settling time from the first sample.
    static constexpr double shortTermSeconds = 600.0;
    static constexpr int shortTermPerLongTerm = 12;
    static constexpr double settlingSeconds = 5.0;

    FlickerMeter(double sampleRate, double nominalFrequency, double lampVoltage = 230.0);
    FlickerMeter(FlickerMeter&& other) noexcept;
    FlickerMeter& operator=(FlickerMeter&& other) noexcept;
    FlickerMeter(const FlickerMeter&) = delete;
    FlickerMeter& operator=(const FlickerMeter&) = delete;
    ~FlickerMeter();

    double getSampleRate() const;
    double getNominalFrequency() const;
    double getLampVoltage() const;
    // Input samples per internal (decimated) sample.
    int getDecimationFactor() const;

    // Absolute time in seconds of sample 0 (as IntervalAggregator's clock
    // offset): intervals then end on whole 10 minutes of that clock. Only
    // before the first sample; 0 (intervals from the first sample) unless set.
    void setClockOffset(double clockOffset);
    double getClockOffset() const;
    // Number k of the 10-minute clock interval [600 k, 600 (k + 1)) of
    // absolute seconds that holds sample 0: the first Pst handed out is
    // interval k's, the next k + 1's, and so on without gaps.
    long long getFirstClockInterval() const;

    // The next count samples of the voltage (count <= 0: none).
    void addSamples(const float* samples, int count);
    // The next count samples of several voltages, samples[c] to meters[c]:
    // the same results, bit for bit, as meters[c]->addSamples(samples[c],
    // count) for each c in turn, and faster when the meters have the same
    // settings and sample position (their filters then run side by side).
    // Throws std::invalid_argument for a null array or pointer in them when
    // count and meterCount are positive.
    static void addSamples(FlickerMeter* const* meters, const float* const* samples, int meterCount, int count);

    // The largest Pinst since the previous call (the first call: since the
    // meter settled); NaN when there was none.
    double getInstantaneousMaximum();
    // Take up to capacity finished values, oldest first; return how many.
    int getShortTermSeverities(int capacity, double* pst);
    int getLongTermSeverities(int capacity, double* plt);
    // The same, and gaps[i] whether value i's interval (for Plt: any of its
    // block's intervals) held a missing sample or lost Pinst values to one
    // (see Missing samples above); both arrays hold capacity values.
    int getShortTermSeverities(int capacity, double* pst, bool* gaps);
    int getLongTermSeverities(int capacity, double* plt, bool* gaps);
    int getPendingShortTermCount() const;
    int getPendingLongTermCount() const;

    // Samples added so far.
    unsigned long long getSamplePosition() const;

private:
    class Impl;
    Impl* impl;
};

#endif
