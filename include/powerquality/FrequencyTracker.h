// FrequencyTracker: tracks the grid frequency from the samples of one
// reference voltage and hands it out as frequency segments, one per cycle,
// ready for PowerModule::scheduleForPeriodCalculation.
//
// Typical use (the module reset at position 0, the tracker fed the same
// samples as the module's reference channel):
//   FrequencyTracker tracker(10240.0, 50.0, 16);   // and module.setSampleRate(10240.0, 16)
//   tracker.addSamples(block, n);                  // any block length
//   int count = tracker.getSegments(64, first, lengths, frequencies, flags);
//   module.scheduleForPeriodCalculation(count, first, lengths, frequencies, flags);
//
// Positions and caller indices. The first sample ever added is position 0;
// sample p is taken at time p / sampleRate. A caller index is a position
// times the divisor N plus a sub-position, so boundaries are placed to 1/N of
// a sample. Positions are 64-bit throughout.
//
// Method.
// 1. Filter: two cascaded second-order band-pass sections (each of quality
//    factor 1.5, gain 1 and phase 0 at the nominal frequency), in doubles. At
//    the nominal frequency the third harmonic is attenuated 20-fold and white
//    noise to about an eighth at 10 kHz sampling.
// 2. Rising zero crossings of the filtered signal, placed between the two
//    samples by linear interpolation. A crossing needs the signal to have
//    gone below minus the hysteresis (half the loss threshold) since the last
//    one; a crossing closer than 1 / maxFrequency to the previous one is
//    spurious and ignored.
// 3. Delay: the filter's phase at the frequency being tracked (known in
//    closed form) is turned into a time and taken off each crossing, so
//    crossings are those of the input. At the nominal frequency the filter
//    shifts nothing; off it, the shift is up to a few hundred microseconds and
//    is compensated with the frequency measured over the last cycles.
// 4. A cycle runs from one crossing to the next. It is good when it lasts
//    between 1 / maxFrequency and 1 / minFrequency and its smaller half-cycle
//    peak reaches the loss threshold. Consecutive good cycles form a run.
// 5. The frequency of cycle k of a run is (2h + 1) cycles divided by the time
//    from crossing k - h to crossing k + h + 1: a window centred on the cycle,
//    h = 3 cycles on each side where the run allows it. A centred window does
//    not lag on a ramp (its mean is the frequency at its centre) and averages
//    the crossing noise over seven cycles. Only cycles with the full window
//    are flagged valid.
// 6. Segments: each cycle of a run becomes one segment from its first
//    crossing to the next, rounded to caller indices, with the windowed
//    frequency; consecutive segments share their boundaries, so they never
//    gap or overlap.
//
// Delay. A cycle is handed out once the crossing h + 1 = 4 cycles after its
// end is known, that is about four cycles plus one sample after the cycle
// closes (80 ms at 50 Hz). Flywheel segments (below) are handed out with the
// same delay.
//
// Loss of the reference voltage. The reference counts as lost when no good
// cycle has ended for 1.25 / minFrequency seconds, or a cycle's amplitude is
// below the loss threshold: sqrt(2) x the loss level when one is set, and 10 %
// of the amplitude of the last good cycles (held during a loss) otherwise.
// While lost, the tracker hands out flywheel segments of one cycle each at the
// last valid frequency (the nominal one before any), with the flag cleared.
// When a new run begins, the segments bridge from the last boundary handed
// out to the first crossing of the run at least four cycles later, in whole
// cycles (the nearest count at the run's frequency) of equal length, flag
// cleared; their frequency makes each of them advance the module's phase by
// one cycle, so that after the bridge the segment boundaries lie on the
// grid's crossings again and no segment advances the phase by a fraction of a
// cycle. The bridge frequency differs from the grid's by at most 1/8. The
// first segments after creation are such a bridge from position 0.
//
// 10-second frequency (IEC 61000-4-30): intervals of 10 s of positions from
// position 0; the frequency of an interval is the number of whole good cycles
// that lie inside it divided by their cumulative duration. Its flag is set
// when one run of good cycles covers the whole interval. An interval is
// handed out with the first cycle that ends after it, or 2 / minFrequency
// seconds after its end, whichever comes first.
//
// Bad input: samples that are not finite count as 0.0 (a lost reference when
// they persist). The constructor rejects, with std::invalid_argument, a
// sample rate or nominal frequency that is not positive and finite, a divisor
// below 1, fewer than 8 samples per nominal cycle, and cycles too long for
// the int lengths of segments; setFrequencyRange rejects a range that does
// not contain the nominal frequency or reaches 0 or a quarter of the sample
// rate, and setLossLevel a negative or non-finite level.
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
