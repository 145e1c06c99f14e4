// Holds operations of PowerModule::PowerModuleImpl, so it includes module/PowerModuleImpl.h from this folder.
// Period tracking: the caller's frequency segments become the per-position
// period tracking buffer (frequency, unit phasor of the tracked phase, flag)
// and are fed, position by position, to the chain of period items.
//
// Choices for calls outside the caller's contract (nothing is written or fed
// before a call has been accepted):
// - no current period item (period values disabled, or no reset since they
//   were enabled), or no tracking storage (a zero buffer length, or period
//   values disabled since the reset): the call changes nothing;
// - a sample-index divisor below 1, a sample rate that is not positive and
//   finite, a segment length below 1, a frequency that is not positive or not
//   finite, a frequency so high that one position advances the phase by more
//   than the advance between period values (f / sampleRate > advance), a null
//   array with a positive count, or a period-value geometry without progress
//   (0 half periods, an overlap of 100 % or more): the call is rejected with
//   std::invalid_argument (status 1 at the flat interface), because each of
//   them would otherwise divide by zero, walk backwards or spawn items
//   without end;
// - while period values are enabled but their buffers have no storage, the
//   call fails with the module's message about the setting to change; while
//   the buffers are laid out for other settings than the current ones (see
//   module/PowerModuleImpl.h), it is refused before anything is written;
// - a segment that starts a buffer length or more away from where the
//   previous one ended (or from the reset position) is rejected with
//   std::invalid_argument: its period values cannot be computed, feeding the
//   gap position by position would take as long as the gap, and a host that
//   lost samples calls reset. A segment longer than the buffer is accepted
//   and written lap by lap as defined (the host then fetches the period
//   values of the earlier laps only if their samples are still there, as
//   with any unfetched value);
// - positions are 64-bit throughout, so streams longer than 2^32 positions
//   keep their ring indices right.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "module/PowerModuleImpl.h"

namespace {
constexpr double twoPi = 6.283185307179586;

// The fractional part as modf gives it. For 0 <= x < 2^52 (the tracked phase
// plus one advance always is) x minus its truncation is exact and equals
// modf's result, zero sign included, without a call.
double fractionalPart(double x) {
    if (x >= 0.0 && x < 4503599627370496.0) {
        return x - static_cast<double>(static_cast<int64_t>(x));
    }
    double whole;
    return std::modf(x, &whole);
}

// (cos 2 pi phase, sin 2 pi phase) into phasor[0] and phasor[1]. glibc's
// sincos shares the argument reduction of the two and returns the bits that
// sin and cos return; elsewhere the two are called.
void writeUnitPhasor(double phase, double* phasor) {
#if defined(__GLIBC__)
    sincos(twoPi * phase, phasor + 1, phasor);
#else
    phasor[0] = std::cos(twoPi * phase);
    phasor[1] = std::sin(twoPi * phase);
#endif
}

// The fractional part of x for 0 <= x < 2, as fractionalPart gives it: x
// itself or x - 1, both exact, without a conversion to an integer and back.
double wrapOnce(double x) { return x - (x >= 1.0 ? 1.0 : 0.0); }

// The rows of the period tracking buffer.
struct TrackingRows {
    double* frequency;
    double* phasor;  // (cosine, sine) pairs
    double* flag;
};

uint64_t bitsOf(const double* value) {
    uint64_t bits;
    std::memcpy(&bits, value, sizeof bits);
    return bits;
}

// Ring positions [begin, end) of one segment, each advancing the phase by
// increment; returns the phase after the last. With a phase in [0, 1) and an
// increment below one cycle the sum stays below 2, so one wrap does what the
// fractional part does. Frequency and flag go in as bits, which stay in
// registers that the sine and cosine leave alone.
template <bool belowOneCycle>
double writeRun(double phase, double increment, uint64_t begin, uint64_t end, const TrackingRows& rows,
                double frequency, double flag) {
    double* phasor = rows.phasor + 2 * begin;
    double* frequencyRow = rows.frequency + begin;
    double* flagRow = rows.flag + begin;
    const uint64_t frequencyBits = bitsOf(&frequency);
    const uint64_t flagBits = bitsOf(&flag);
    for (uint64_t n = end - begin; n > 0; --n) {
        phase = belowOneCycle ? wrapOnce(phase + increment) : fractionalPart(phase + increment);
        writeUnitPhasor(phase, phasor);
        std::memcpy(frequencyRow++, &frequencyBits, sizeof frequencyBits);
        std::memcpy(flagRow++, &flagBits, sizeof flagBits);
        phasor += 2;
    }
    return phase;
}

// The number of leading values, at least 1 and at most limit, that have the
// bits of values[0]: a run of positions with one phase advance.
uint64_t sameBitsRun(const double* values, uint64_t limit) {
    const uint64_t first = bitsOf(values);
    uint64_t n = 1;
    for (; n + 8 <= limit; n += 8) {
        const double* v = values + n;
        const uint64_t differing = ((bitsOf(v) ^ first) | (bitsOf(v + 1) ^ first)) |
                                   ((bitsOf(v + 2) ^ first) | (bitsOf(v + 3) ^ first)) |
                                   ((bitsOf(v + 4) ^ first) | (bitsOf(v + 5) ^ first)) |
                                   ((bitsOf(v + 6) ^ first) | (bitsOf(v + 7) ^ first));
        if (differing != 0) {
            break;
        }
    }
    while (n < limit && bitsOf(values + n) == first) {
        ++n;
    }
    return n;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define POWERQUALITY_WIDE_RUNS 1
// sameBitsRun eight values a time in two 256-bit registers: the same count,
// found with fewer instructions.
__attribute__((target("avx2"))) uint64_t sameBitsRunWide(const double* values, uint64_t limit) {
    const uint64_t first = bitsOf(values);
    const __m256i pattern = _mm256_set1_epi64x(static_cast<long long>(first));
    uint64_t n = 1;
    for (; n + 8 <= limit; n += 8) {
        const __m256i low = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + n));
        const __m256i high = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + n + 4));
        const __m256i differing = _mm256_or_si256(_mm256_xor_si256(low, pattern), _mm256_xor_si256(high, pattern));
        if (!_mm256_testz_si256(differing, differing)) {
            break;
        }
    }
    while (n < limit && bitsOf(values + n) == first) {
        ++n;
    }
    return n;
}
#endif

// Feeds count positions from sampleIndex on, all advancing the phase by
// phaseShift, to the item as that many calls of addSampleWithPhaseShift do,
// and stops after the position that ends it. Returns the number of positions
// fed. The item's first position, the one that spawns its successor and the
// one that ends it go through the member; every other position only adds to
// the phase and passes one comparison, with the phase in a register.
uint64_t feedRun(PowerPeriodResultsQueueItem& item, uint64_t sampleIndex, uint64_t count, double phaseShift) {
    uint64_t fed = 0;
    while (fed < count && !item.lengthCalculated) {
        if (sampleIndex + fed != item.firstSampleIndex) {
            // Below the bound a position neither spawns (phase + shift below
            // the advance, or a successor already there) nor ends the item
            // (phase + shift below the length). A NaN bound lets none through.
            const double length = item.lengthInPeriods;
            const double bound = item.nextItem || !(item.advanceBy < length) ? length : item.advanceBy;
            double phase = item.phase;
            uint64_t n = fed;
            // The sums of one advance move one way from a phase below the
            // bound (every position fed leaves the phase below it unless it
            // ends the item), so when the fourth sum is below the bound the
            // three before it are too.
            for (; n + 4 <= count; n += 4) {
                const double r1 = phase + phaseShift;
                const double r2 = r1 + phaseShift;
                const double r3 = r2 + phaseShift;
                const double r4 = r3 + phaseShift;
                if (!(r4 < bound)) {
                    break;
                }
                phase = r4;
            }
            for (; n < count; ++n) {
                const double reached = phase + phaseShift;
                if (!(reached < bound)) {
                    break;
                }
                phase = reached;
            }
            item.phase = phase;
            item.samplesProcessed = item.samplesProcessed + (n - fed);
            fed = n;
            if (fed == count) {
                break;
            }
        }
        item.addSampleWithPhaseShift(sampleIndex + fed, phaseShift);
        ++fed;
    }
    return fed;
}
}  // namespace

void PowerModule::PowerModuleImpl::scheduleForPeriodCalculation(int count, unsigned long long* firstSampleIndices,
                                                                int* lengths, double* frequencies, bool* flags) {
    requireLaidOutSettings("scheduleForPeriodCalculation", false);
    GpuBuffer<double>& tracking = buffers.periodTrackingBuffer;
    const uint64_t L = tracking.getLength();
    if (config.areAnyPeriodValuesEnabled() &&
        (tracking.hostBuffer == nullptr || buffers.periodResultsBuffer.hostBuffer == nullptr)) {
        throw missingPeriodStorage();
    }
    if (!currentPeriodQueueItem || tracking.hostBuffer == nullptr || L == 0) {
        return;
    }
    if (config.sampleIndexDivisor < 1) {
        throw std::invalid_argument("sample index divisor must be at least 1");
    }
    if (!(currentPeriodQueueItem->lengthInPeriods > 0.0) || !(currentPeriodQueueItem->advanceBy > 0.0)) {
        throw std::invalid_argument("period values need at least one half period and an overlap below 100 %");
    }
    if (count > 0 && (firstSampleIndices == nullptr || lengths == nullptr || frequencies == nullptr ||
                      flags == nullptr)) {
        throw std::invalid_argument("segment arrays must not be null");
    }
    const double fs = config.sampleRate;
    if (!(fs > 0.0) || !std::isfinite(fs)) {
        throw std::invalid_argument("sample rate must be positive and finite");
    }
    const uint64_t divisor = static_cast<uint64_t>(config.sampleIndexDivisor);
    uint64_t expected = nextSegmentPosition;
    for (int i = 0; i < count; ++i) {
        if (lengths[i] < 1) {
            throw std::invalid_argument("segment length must be at least 1");
        }
        // A segment may not skip or repeat a whole ring of positions: the
        // positions it would need are overwritten before any period value over
        // them can be fetched, and feeding the gap position by position would
        // take as long as the gap.
        const uint64_t q1 = firstSampleIndices[i] / divisor;
        const uint64_t end = firstSampleIndices[i] + static_cast<uint64_t>(static_cast<int64_t>(lengths[i]));
        if (q1 >= expected ? q1 - expected >= L : expected - q1 >= L) {
            throw std::invalid_argument(
                "segment starts at sample " + std::to_string(q1) + " where sample " + std::to_string(expected) +
                " comes next, a buffer length (" + std::to_string(L) +
                " samples) or more away: a gap that long cannot be computed; call reset after lost samples");
        }
        expected = end / divisor;
        if (!(frequencies[i] > 0.0) || !std::isfinite(frequencies[i])) {
            throw std::invalid_argument("segment frequency must be positive and finite");
        }
        if (frequencies[i] / fs > currentPeriodQueueItem->advanceBy) {
            throw std::invalid_argument("segment frequency too high for the sample rate: a period value would "
                                        "start in the same position as the one before it");
        }
    }

    if (count > 0) {
        nextSegmentPosition = expected;
    }
    const uint64_t N = divisor;
    double* frequencyItem = tracking.getHostBuffer(0);
    double* phasorItem = tracking.getHostBuffer(1);  // (cosine, sine) pairs
    double* flagItem = tracking.getHostBuffer(2);
    const TrackingRows rows = {frequencyItem, phasorItem, flagItem};

    uint64_t lastPosition = 0;
    for (int i = 0; i < count; ++i) {
        const double frequency = frequencies[i];
        const double flag = flags[i] ? 1.0 : 0.0;
        const double shift = frequency * (1.0 / fs);
        const uint64_t first = firstSampleIndices[i];
        const uint64_t q1 = first / N;
        const uint64_t r1 = first % N;
        const uint64_t end = first + static_cast<uint64_t>(static_cast<int64_t>(lengths[i]));
        const uint64_t q2 = (end - 1) / N;
        const uint64_t r2 = (end - 1) % N;
        const double firstFraction = 1.0 - static_cast<double>(r1) / static_cast<double>(N);
        const double lastFraction = static_cast<double>(r2 + 1) / static_cast<double>(N);
        const uint64_t s1 = q1 % L;
        const uint64_t s2 = q2 % L;
        const uint32_t m = static_cast<uint32_t>(q2 - q1);

        // The first position may be shared with the previous segment: its
        // frequency is weighted by the share each segment has of it.
        double phase = fractionalPart(trackingPhase + firstFraction * shift);
        writeUnitPhasor(phase, phasorItem + 2 * s1);
        frequencyItem[s1] = (1.0 - firstFraction) * previousFrequency + firstFraction * frequency;
        flagItem[s1] = (flags[i] && (firstFraction > 0.9 || previousFlag != 0.0)) ? 1.0 : 0.0;

        // The further positions in runs of ring indices up to the ring's end.
        // The position whose ring index is that of the segment's last
        // position advances by the last share only; a segment longer than the
        // ring meets that index once per lap. The phase, a fractional part of
        // a non-negative sum, is in [0, 1), so below a cycle per position one
        // wrap suffices.
        const double lastShift = lastFraction * shift;
        const bool belowOneCycle = shift < 1.0;
        const auto run = [&](double increment, uint64_t begin, uint64_t end) {
            phase = belowOneCycle ? writeRun<true>(phase, increment, begin, end, rows, frequency, flag)
                                  : writeRun<false>(phase, increment, begin, end, rows, frequency, flag);
        };
        uint64_t remaining = m;
        uint64_t s = s1 + 1 == L ? 0 : s1 + 1;
        while (remaining > 0) {
            const uint64_t end = s + (remaining < L - s ? remaining : L - s);
            if (s2 >= s && s2 < end) {
                run(shift, s, s2);
                run(lastShift, s2, s2 + 1);
                run(shift, s2 + 1, end);
            } else {
                run(shift, s, end);
            }
            remaining -= end - s;
            s = end == L ? 0 : end;
        }
        trackingPhase = phase;

        previousFrequency = frequency;
        previousFlag = flag;
        lastPosition = q2;
    }

    // Feed the chain of items up to the last position written. An item that
    // ends hands over to its successor, which restarts at its own first
    // position, so a position shared by two items is fed to both. Positions
    // go in runs whose frequency items have the same bits, and so the same
    // advance f / fs; a run ends at the ring's end at the latest. A run found
    // for one item serves its successor too, which restarts inside it.
    uint64_t runBegin = 1;
    uint64_t runEnd = 0;
    double runShift = 0.0;
    std::shared_ptr<PowerPeriodResultsQueueItem> item = currentPeriodQueueItem;
    while (item) {
        uint64_t p = item->getNextSampleIndexToProcess();
        while (p <= lastPosition && !item->isLengthCalculated()) {
            if (p < runBegin || p >= runEnd) {
                const uint64_t ring = p % L;
                runBegin = p;
                const uint64_t limit = std::min(lastPosition - p + 1, L - ring);
#if POWERQUALITY_WIDE_RUNS
                runEnd = p + (widePeriodSums ? sameBitsRunWide(frequencyItem + ring, limit)
                                             : sameBitsRun(frequencyItem + ring, limit));
#else
                runEnd = p + sameBitsRun(frequencyItem + ring, limit);
#endif
                runShift = frequencyItem[ring] / fs;
            }
            p += feedRun(*item, p, runEnd - p, runShift);
        }
        if (item->isLengthCalculated()) {
            periodResultsQueue.push_back(item);
            currentPeriodQueueItem = item->getNextItem();
        }
        if (p > lastPosition) {
            break;
        }
        item = currentPeriodQueueItem;
    }
    if (count > 0) {
        dropOverwrittenPeriodItems(lastPosition, L);
    }
}

// What happens to period values that are never fetched: a finished item
// whose first position lies two ring lengths or more behind the newest
// position written is dropped and counted, and the next fetch says how many
// were lost. Its positions were overwritten at least once already; one ring
// length behind, a fetch still computes it from what the rings hold, as it
// always has (a segment longer than the ring is written lap by lap), so a
// host whose calls each cover at most a ring length and that fetches after
// each never loses a value. Such items lead the queue (first positions grow
// with item numbers), and the queue of a host that never fetches stays
// within twice the period values the rings span.
void PowerModule::PowerModuleImpl::dropOverwrittenPeriodItems(unsigned long long newestPosition,
                                                             unsigned long long ringLength) {
    while (!periodResultsQueue.empty()) {
        const PowerPeriodResultsQueueItem& front = *periodResultsQueue.front();
        if (newestPosition - front.getFirstSampleIndex() < 2 * ringLength ||
            front.getFirstSampleIndex() > newestPosition) {
            break;
        }
        const unsigned long long span = front.getLastRequiredSampleIndex() - front.getFirstSampleIndex() + 1;
        lostPeriodSpan = std::max<unsigned long long>(lostPeriodSpan, span);
        ++lostPeriodValues;
        periodResultsQueue.pop_front();
    }
}
