// FrequencyTracker: tracks the grid frequency from the samples of one
// reference voltage and hands it out as frequency segments, one per cycle,
// ready for PowerModule::scheduleForPeriodCalculation.
//
// Typical use (the tracker fed the same samples as the module's reference
// channel; the module reset at the first segment's position):
//   FrequencyTracker tracker(10240.0, 50.0, 16);   // and module.setSampleRate(10240.0, 16)
//   tracker.addSamples(block, n);                  // any block length
//   int count = tracker.getSegments(64, first, lengths, frequencies, flags);
//   if (count > 0 && !started) { module.reset(first[0] / 16); started = true; }
//   module.scheduleForPeriodCalculation(count, first, lengths, frequencies, flags);
//
// Positions and caller indices. The first sample ever added is position 0;
// sample p is taken at time p / sampleRate. A caller index is a position
// times the divisor N plus a sub-position, so boundaries are placed to 1/N of
// a sample. Positions are 64-bit; caller indices stay below 2^63.
//
// Method.
// 1. Filter, linear phase: y[n] = x[n-D] - (x[n] + x[n-2D]) / 2 with D half a
//    nominal cycle (zeros at 0 Hz and the even harmonics), then running means
//    over a third, a fifth and a seventh of a nominal cycle (zeros at the
//    harmonics 3, 5, 7 and their multiples), all lengths rounded to whole
//    samples. Every stage is symmetric, so every frequency is delayed by the
//    same D + (L3 - 1) / 2 + (L5 - 1) / 2 + (L7 - 1) / 2 samples (about 0.83
//    of a nominal cycle), whatever the grid's frequency does: taking that
//    constant off a crossing gives the input's crossing exactly, on a ramp as
//    well, without any estimate of the frequency. Running sums are recomputed
//    from their rings once per turn, so rounding does not build up.
// 2. Rising zero crossings of the filtered signal, placed between the two
//    samples by linear interpolation (the filtered wave is nearly a pure sine,
//    straight at its crossings). A crossing needs the signal to have gone
//    below minus the hysteresis (half the loss threshold) since the last one;
//    a crossing closer than 1 / maxFrequency to the previous one is spurious
//    and ignored. Nothing is detected before the filter has filled.
// 3. A cycle runs from one crossing to the next. It is good when it lasts
//    between 1 / maxFrequency and 1 / minFrequency and its smaller half-cycle
//    peak reaches the loss threshold. Consecutive good cycles form a run.
//    The range includes its ends: the limits are widened by 1 % (42.075
//    to 58.075 Hz for the default range at 50 Hz, 50.49 to 69.69 Hz at
//    60 Hz), because single cycles scatter around the grid's period (by
//    about 0.1 % with 1 % noise, by up to 0.44 % at 69 Hz under the
//    flickermeter's strongest test point, 4.8 % steps at 40 Hz, whose
//    moved crossings the trust rule below lets stand) and a grid exactly on
//    a limit, such as the Class A range's 42.5 and 57.5 Hz, would otherwise
//    lose many of its cycles.
// 4. The frequency of cycle k of a run is (2h + 1) cycles divided by the time
//    from crossing k - h to crossing k + h + 1: a window centred on the cycle,
//    h = 3 cycles on each side where the run allows it. A centred window does
//    not lag on a ramp (its mean is the frequency at its centre) and averages
//    the crossing noise over seven cycles; a step is spread over the seven
//    cycles around it. A cycle is flagged valid when it has the full window
//    and two more good cycles on each side of it (the filter's length), and
//    the crossings it rests on are trusted (below).
// 5. Segments: each cycle of a run becomes one segment from its crossing to
//    the next, rounded to caller indices, with the windowed frequency;
//    consecutive segments share their boundaries, so they never gap or
//    overlap, and each advances the module's phase by one cycle to within
//    the crossing noise (one next to a moved crossing, below, by up to 0.07
//    cycles more or less, which its neighbour makes up).
//
// Trusted crossings. The filter's delay is exact for a steady wave only: a
// change of the reference's level within the 1.7 cycles a crossing is
// filtered from (a dip's edge) moves the crossing, by up to 0.09 rad for a
// step to 60 % and 0.4 rad for one to 10 %, and a window ending on it by
// up to 0.2 % (cycles of 49.90 and 50.10 Hz on an exact 50 Hz supply,
// which move the period values of phases that never dipped by 0.1 %). A
// crossing is trusted when the RMS of the filtered reference over the
// cycle before it and over the cycle after it differ by at most 3 % of
// the larger (the first crossing, without a cycle before it, is trusted;
// the last before a timeout, without one after it, is not).
// Why 3 %: a supply that flickers must keep its cycles valid, and flicker
// is made of level changes. The flickermeter's test points (sinusoidal and
// rectangular modulation of up to 4.8 % at up to 40 Hz, rectangular
// changes of up to 3.2 % once a minute) change that RMS from one cycle to
// the next by at most 2.3 % (a step of s by at most 0.73 s; 1 % steps at
// 8.8 Hz, a Pst of about 5, by 0.74 %). A rule that trusted periodic
// changes only would not do: a change once a minute is, over the few
// cycles a crossing is judged on, a one-off step like a dip's edge, so the
// tolerance has to take steps of that size anyway. The edges of dips keep
// out: one to 90 % or below changes the RMS next to it by 5 % or more.
// The error budget: a trusted crossing has moved by at most 0.24 x 3 % =
// 0.007 rad near the nominal frequency (0.44 x 3 % at the range's ends),
// whatever the size or place of the step. A 7-cycle window with one end on
// such a crossing (a one-off step) is off by at most 8 mHz at 50 Hz and
// 10 mHz at 60 Hz (measured for steps of 1 to 4 % at every fifth degree:
// 7.9 and 9.6 mHz; 17 and 21 mHz at 57.5 and 69 Hz); under the flicker
// test points, where a modulation moves both ends, every flagged cycle was
// within 7.7 mHz at the nominal frequency (18 mHz at the range's ends). The 10-second frequency, the
// Class A quantity, keeps far within its 10 mHz: flagged cycles follow each
// other, so their summed durations run from crossing to crossing and only
// the ends of a stretch of them count (0.013 rad at most each, 0.4 mHz a
// stretch; under the test points 0.07 mHz measured, 0.44 mHz at the
// range's ends). Noise hardly matters next to 3 % (1 % white noise scatters the comparison by 0.09 %), and a
// change of the frequency itself stays trusted (the filter's gain changes
// by 0.23 % for a step of 0.2 Hz at 50 Hz, 0.56 % at 57.5 Hz, and by less
// than 0.06 % a cycle on a ramp of 1 Hz/s). A cycle whose window ends
// or whose own boundaries are not trusted is not flagged; its boundaries
// stay on the crossings, and its frequency is measured over the widest
// centred window whose ends are trusted (h = 2, 1 or 0), or, when one of
// its own boundaries moved, carried from the cycle before it (the last
// flagged frequency at a run's start). Carrying the last flagged frequency
// over the fifteen or so cycles around a 100 ms dip would do as well on a
// steady grid, but on one ramping by 1 Hz/s it is up to 0.3 Hz old and
// moves the other phases' period values by 0.24 % (0.04 % so). So every
// flagged cycle's frequency and boundaries rest on trusted crossings (the
// 10-second sums and the windows of tracked cycles too), and the module's
// phase follows the grid across a dip. Not caught: a notch shorter than a
// quarter cycle next to a crossing changes the cycles' RMS values too
// little for the rule while it can move the crossing by 0.02 rad.
//
// Start. The first segment starts at the first crossing of the first run;
// there are no segments before it. Reset the module at that position
// (firstSampleIndices[0] / N): its first period value then starts at the
// crossing, because after a reset the first position's frequency is weighted
// by the share the segment has of it.
//
// Delay. A cycle is handed out when the crossing that ends the fifth cycle
// after it is detected, that is about 5.8 cycles after the cycle closes
// (five cycles plus the filter's 0.83; 117 ms at 50 Hz).
//
// Loss of the reference voltage. The reference counts as lost when no good
// cycle has ended for 1.25 / minFrequency seconds, or a cycle's amplitude is
// below the loss threshold: sqrt(2) x the loss level when one is set, and 10 %
// of a reference amplitude otherwise. The reference follows the good cycles
// (growing by at most 10 % a cycle, so a burst of huge samples cannot lift it
// far), sinks by 10 % for every cycle too weak for the threshold (so a lasting
// lower voltage is tracked again after a while), and is held while there are
// no crossings at all.
// While lost, the tracker hands out flywheel segments of one cycle each at the
// last valid frequency, with the flag cleared, with the same delay as cycles;
// the flywheel starts at the run's last trusted crossing (or at the last
// boundary handed out, if that is later), so the run's cycles after it are
// its first. When a new run begins, the flywheel stops and the segments
// bridge from the last boundary handed out to the first trusted crossing of
// the run at least four cycles later, in whole cycles (the nearest count at
// the run's frequency) of equal length, flag cleared. Their frequency makes
// each of them advance the module's phase by exactly one cycle, so after the
// bridge the boundaries lie on the grid's crossings again and no segment
// advances the phase by a fraction of a cycle; the price is a bridge
// frequency that differs from the grid's by up to 1/8 (by the phase the grid
// moved during the loss).
//
// 10-second frequency (IEC 61000-4-30): intervals of 10 s of positions from
// position 0; the frequency of an interval is the number of flagged cycles
// that lie wholly inside it divided by their cumulative duration (the
// distorted cycles at the edges of a loss do not count). Its flag is set when
// one run of good cycles covers the whole interval. An interval is handed out
// with the first flagged cycle that ends after it, or 8 / minFrequency
// seconds after its end, whichever comes first.
//
// Bad input: samples that are not finite (missing samples) count as 0.0, bit
// for bit as zeros there would: a run of them is an interruption of the
// reference, a lost reference when it lasts (200 ms: the cycles over it not
// flagged), and nothing is left of it a fifth of a second after it. A run
// too short to lose the reference (a few ms) moves the crossings of the
// cycles around it, which may still be flagged. Huge finite samples disturb
// the filter for one pass of its rings at most. The filter's sums run in
// double, far from overflow for any float sample, and every threshold
// follows the reference amplitude: a signal scaled by a power of two, up to
// the largest float, gives the same segments. The constructor rejects, with std::invalid_argument, a
// sample rate or nominal frequency that is not positive and finite, a divisor
// below 1, fewer than 8 or more than 10 million samples per nominal cycle, and
// cycles too long for the int lengths of segments; setFrequencyRange rejects
// a range that does not contain the nominal frequency or reaches 0 or a
// quarter of the sample rate, and setLossLevel a negative or non-finite level.
//
// Segments and intervals wait in queues until taken; take them regularly.
// Copying is not offered; moving is.
#ifndef POWERQUALITY_FREQUENCYTRACKER_H
#define POWERQUALITY_FREQUENCYTRACKER_H

#include <cstdint>

#include "powerquality/Export.h"
#include "powerquality/FrequencyTrackerApi.h"

class POWERQUALITY_API FrequencyTracker {
public:
    // Default range: 85 % to 115 % of the nominal frequency; default loss
    // level: 0, the automatic threshold.
    FrequencyTracker(double sampleRate, double nominalFrequency, int sampleIndexDivisor = 1);
    FrequencyTracker(FrequencyTracker&& other) noexcept;
    FrequencyTracker& operator=(FrequencyTracker&& other) noexcept;
    FrequencyTracker(const FrequencyTracker&) = delete;
    FrequencyTracker& operator=(const FrequencyTracker&) = delete;
    ~FrequencyTracker();

    double getSampleRate() const;
    double getNominalFrequency() const;
    int getSampleIndexDivisor() const;

    // Allowed frequency range in Hz: cycles outside it are not good.
    void setFrequencyRange(double minFrequency, double maxFrequency);
    double getMinFrequency() const;
    double getMaxFrequency() const;
    // Loss level: RMS of the fundamental, in the samples' unit, below which
    // the reference counts as lost; 0 selects the automatic threshold.
    void setLossLevel(double rms);
    double getLossLevel() const;

    // The next count samples of the reference voltage (count <= 0: none).
    void addSamples(const float* samples, int count);

    // Takes up to capacity closed segments, oldest first, into the arrays;
    // returns how many it took.
    int getSegments(int capacity, unsigned long long* firstSampleIndices, int* lengths, double* frequencies,
                    bool* flags);
    int getPendingSegmentsCount() const;
    // Takes up to capacity finished 10-second intervals, oldest first.
    int getTenSecondFrequencies(int capacity, FrequencyTrackerInterval* intervals);

    // The latest frequency estimate (Hz); the last good one while lost.
    double getFrequency() const;
    bool isLocked() const;
    // Samples added so far.
    unsigned long long getSamplePosition() const;

private:
    class Impl;
    Impl* impl;
};

#endif
