// Frequency tracking from the samples of one reference voltage. The method,
// its delay and the handling of a lost reference are described in
// include/powerquality/FrequencyTracker.h; the notes here are about how the
// code keeps to it.
//
// Every decision (a crossing, the end of a run, a flywheel segment, the close
// of an interval) is taken at a definite sample position, never at the end of
// a block, so the segments do not depend on how the samples are split into
// blocks.
//
// Times of crossings are held as a 64-bit whole position plus a fraction in
// [0, 1), so that their differences keep sub-sample precision however long
// the stream runs. Caller indices are handled as signed 64-bit values.
//
// The filter and the crossing search run as a baseline and an AVX2 copy of
// one source (see windowed/Kernels.h: the same operations in the same order,
// so the same bits; POWERQUALITY_KERNELS=baseline keeps the baseline copy).
#include "powerquality/FrequencyTracker.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "windowed/Kernels.h"

namespace {

constexpr double pi = 3.141592653589793;
constexpr int halfWindow = 3;                // cycles on each side of the cycle whose frequency is measured
constexpr int settleCycles = 2;              // good cycles on each side of a window before it is flagged
constexpr double timeoutPeriods = 1.25;      // of the longest allowed cycle without a good crossing: lost
constexpr double relativeLossLevel = 0.1;    // automatic threshold, of the good cycles' amplitude
constexpr double referenceSmoothing = 0.1;   // weight of a new good cycle in the amplitude reference
// A crossing is trusted when the filtered reference's RMS over the cycle
// before it and over the cycle after it differ by at most this share of the
// larger (the header says why 3 %).
constexpr double steadyTolerance = 0.03;
constexpr double intervalSeconds = 10.0;
// A single cycle's length scatters around the true one (crossing noise,
// flicker), so a grid exactly on a range limit would lose many cycles: the
// limits are widened by this share, and a grid anywhere in the range is
// measured (the header says why 1 %).
constexpr double rangeTolerance = 0.01;
constexpr double intervalClosePeriods = halfWindow + settleCycles + 3;  // of the longest cycle, after the end
constexpr uint64_t never = std::numeric_limits<uint64_t>::max();
constexpr int chunkSamples = 4096;  // samples filtered at a time before their crossings are sought

// Doubles added and multiplied lane by lane, each lane rounded as the scalar
// operation is: two in the baseline copy, four in the AVX2 one (wider
// vectors without AVX are split into halves that cost more than they save).
template <int lanes>
struct Lanes;
template <>
struct Lanes<2> {
    using Doubles = double __attribute__((vector_size(16)));
    using Bits = int64_t __attribute__((vector_size(16)));
    using Floats = float __attribute__((vector_size(8)));
};
template <>
struct Lanes<4> {
    using Doubles = double __attribute__((vector_size(32)));
    using Bits = int64_t __attribute__((vector_size(32)));
    using Floats = float __attribute__((vector_size(16)));
};

// A time in positions: whole + fraction, fraction in [0, 1).
struct Instant {
    int64_t whole = 0;
    double fraction = 0.0;
};

Instant makeInstant(int64_t whole, double fraction) {
    const double floor = std::floor(fraction);
    return {whole + static_cast<int64_t>(floor), fraction - floor};
}

// a - b in positions.
double between(const Instant& a, const Instant& b) {
    return static_cast<double>(a.whole - b.whole) + (a.fraction - b.fraction);
}

double toDouble(const Instant& a) {
    return static_cast<double>(a.whole) + a.fraction;
}

// Running mean of the last `length` inputs: linear phase, a delay of
// (length - 1) / 2 samples at every frequency, zeros at the multiples of
// sampleRate / length. The running sum is taken afresh each time the ring
// comes round, so rounding errors cannot build up: the sum of the ring,
// oldest position first, is the sum of the inputs of the lap that ends,
// from 0 in the order they came, which `lap` forms as they come.
struct Boxcar {
    std::vector<double> ring;
    size_t index = 0;
    double sum = 0.0;
    double lap = 0.0;  // the inputs since the ring last came round, summed from 0 in order
    double scale = 1.0;

    explicit Boxcar(size_t length) : ring(length, 0.0), scale(1.0 / static_cast<double>(length)) {}

    double gain(double w) const {
        const double n = static_cast<double>(ring.size());
        return std::fabs(std::sin(0.5 * w * n) / (n * std::sin(0.5 * w)));
    }
};

// y[n] = x[n - D] - (x[n] + x[n - 2D]) / 2 = -(1 - z^-D)^2 / 2: symmetric, so
// linear phase with a delay of D samples; zeros at 0 Hz and the multiples of
// sampleRate / D, a gain of 2 at sampleRate / (2D).
struct Comb {
    size_t delay;
    size_t length;  // of the inputs it reaches: 2D + 1
    // The inputs from fill - 2D to fill (zeros before the first), room for
    // a block after them: a block's outputs are read from one straight run,
    // and the last 2D inputs are moved to the front only when it is full.
    std::vector<double> history;
    size_t fill;

    Comb(size_t D, size_t block) : delay(D), length(2 * D + 1), history(2 * D + block, 0.0), fill(2 * D) {}

    // n <= block samples (not finite ones taken as 0) through the comb into
    // y, `lanes` samples at a time and then one by one.
    template <int lanes>
    POWERQUALITY_KERNEL_INLINE void run(const float* samples, size_t n, double* y) {
        using Doubles = typename Lanes<lanes>::Doubles;
        using Bits = typename Lanes<lanes>::Bits;
        using Floats = typename Lanes<lanes>::Floats;
        const size_t D = delay;
        const size_t past = 2 * D;
        if (fill + n > history.size()) {
            std::copy(history.data() + fill - past, history.data() + fill, history.data());
            fill = past;
        }
        double* const h = history.data() + fill - past;
        // Each lane the scalar operation: x - x is 0 exactly for a finite x
        // and NaN otherwise, so the mask keeps the finite samples' bits (-0
        // included) and gives +0 for the others.
        const Doubles zero = {};
        const Doubles half = zero + 0.5;
        size_t k = 0;
        for (; k + lanes <= n; k += lanes) {
            Floats some;
            std::memcpy(&some, samples + k, sizeof some);
            const Doubles x = __builtin_convertvector(some, Doubles);
            Bits kept;
            std::memcpy(&kept, &x, sizeof kept);
            kept &= (x - x) == zero;
            std::memcpy(h + past + k, &kept, sizeof kept);
        }
        for (; k < n; ++k) {
            const double x = samples[k];
            h[past + k] = std::isfinite(x) ? x : 0.0;
        }
        k = 0;
        for (; k + lanes <= n; k += lanes) {
            Doubles middle, newest, oldest;
            std::memcpy(&middle, h + k + D, sizeof middle);
            std::memcpy(&newest, h + k + past, sizeof newest);
            std::memcpy(&oldest, h + k, sizeof oldest);
            const Doubles out = middle - half * (newest + oldest);
            std::memcpy(y + k, &out, sizeof out);
        }
        for (; k < n; ++k) {
            y[k] = h[k + D] - 0.5 * (h[k + past] + h[k]);
        }
        fill += n;
    }

    double gain(double w) const {
        const double s = std::sin(0.5 * w * static_cast<double>(delay));
        return 2.0 * s * s;
    }
};

size_t samplesPer(double sampleRate, double frequency) {
    return std::max<size_t>(1, static_cast<size_t>(std::llround(sampleRate / frequency)));
}

// The filter in front of the crossing detector: the comb at half a nominal
// cycle, then running means over a third, a fifth and a seventh of it. All
// stages are symmetric, so the whole filter delays every frequency by the
// same number of samples and crossings need no frequency-dependent
// correction.
struct LinearPhaseFilter {
    Comb comb;
    Boxcar third, fifth, seventh;
    double delay;   // samples
    size_t length;  // samples until the output depends on inputs only
    double gain;    // at the nominal frequency

    LinearPhaseFilter(double sampleRate, double nominal)
        : comb(samplesPer(sampleRate, 2.0 * nominal), chunkSamples),
          third(samplesPer(sampleRate, 3.0 * nominal)),
          fifth(samplesPer(sampleRate, 5.0 * nominal)),
          seventh(samplesPer(sampleRate, 7.0 * nominal)) {
        delay = static_cast<double>(comb.delay) + 0.5 * static_cast<double>(third.ring.size() - 1) +
                0.5 * static_cast<double>(fifth.ring.size() - 1) + 0.5 * static_cast<double>(seventh.ring.size() - 1);
        length = comb.length + third.ring.size() + fifth.ring.size() + seventh.ring.size() - 3;
        const double w = 2.0 * pi * nominal / sampleRate;
        gain = comb.gain(w) * third.gain(w) * fifth.gain(w) * seventh.gain(w);
    }

    // n samples (not finite ones taken as 0) through the filter into y:
    // the comb over the whole block, then the three running means, sample by
    // sample one after the other (their three running sums are independent,
    // so the additions of one need not wait for another's). Each running
    // mean takes the sample out of its ring and the new one in, and when its
    // ring comes round takes its lap's sum as its sum and gives that sum's
    // mean for the sample that brought it round. The samples go in stretches
    // that end where a ring comes round, so that only a stretch's last
    // sample asks which rings do.
    template <int lanes>
    POWERQUALITY_KERNEL_INLINE void run(const float* samples, size_t n, double* y) {
        comb.run<lanes>(samples, n, y);
        Boxcar* const means[3] = {&third, &fifth, &seventh};
        double* ring[3];
        size_t index[3], size[3];
        double sum[3], lap[3], scale[3];
        for (int b = 0; b < 3; ++b) {
            ring[b] = means[b]->ring.data();
            index[b] = means[b]->index;
            size[b] = means[b]->ring.size();
            sum[b] = means[b]->sum;
            lap[b] = means[b]->lap;
            scale[b] = means[b]->scale;
        }
        for (size_t k = 0; k < n;) {
            size_t stretch = n - k;
            for (int b = 0; b < 3; ++b) {
                stretch = size[b] - index[b] < stretch ? size[b] - index[b] : stretch;
            }
            double* const r0 = ring[0] + index[0];
            double* const r1 = ring[1] + index[1];
            double* const r2 = ring[2] + index[2];
            double* const out = y + k;
            // Every sample of the stretch but its last: no ring comes round.
            for (size_t j = 0; j + 1 < stretch; ++j) {
                double v = out[j];
                sum[0] += v - r0[j];
                r0[j] = v;
                lap[0] += v;
                v = sum[0] * scale[0];
                sum[1] += v - r1[j];
                r1[j] = v;
                lap[1] += v;
                v = sum[1] * scale[1];
                sum[2] += v - r2[j];
                r2[j] = v;
                lap[2] += v;
                out[j] = sum[2] * scale[2];
            }
            double v = out[stretch - 1];
#pragma GCC unroll 3
            for (int b = 0; b < 3; ++b) {
                double& slot = ring[b][index[b] + stretch - 1];
                sum[b] += v - slot;
                slot = v;
                lap[b] += v;
                index[b] += stretch;
                if (index[b] == size[b]) {
                    index[b] = 0;
                    sum[b] = lap[b];
                    lap[b] = 0.0;
                }
                v = sum[b] * scale[b];
            }
            out[stretch - 1] = v;
            k += stretch;
        }
        for (int b = 0; b < 3; ++b) {
            means[b]->index = index[b];
            means[b]->sum = sum[b];
            means[b]->lap = lap[b];
        }
    }
};

struct Segment {
    uint64_t first;
    int length;
    double frequency;
    bool flag;
};

}  // namespace

class FrequencyTracker::Impl {
public:
    Impl(double sampleRate, double nominal, int divisor)
        : fs(checked(sampleRate, nominal, divisor)), f0(nominal), N(divisor), filter(sampleRate, nominal) {
        setRange(nominal - 0.15 * nominal, nominal + 0.15 * nominal);
        lastValidFrequency = f0;
        currentFrequency = f0;
        intervalCloseAt = closePositionOf(0);
        updateNextEvent();
    }

    static double checked(double sampleRate, double nominal, int divisor) {
        if (!(sampleRate > 0.0) || !std::isfinite(sampleRate)) {
            throw std::invalid_argument("sample rate must be positive and finite");
        }
        if (!(nominal > 0.0) || !std::isfinite(nominal)) {
            throw std::invalid_argument("nominal frequency must be positive and finite");
        }
        if (divisor < 1) {
            throw std::invalid_argument("sample index divisor must be at least 1");
        }
        if (sampleRate < 8.0 * nominal) {
            throw std::invalid_argument("sample rate must be at least 8 times the nominal frequency");
        }
        if (sampleRate / nominal > 1e7) {
            throw std::invalid_argument("more than 10 million samples per cycle");
        }
        return sampleRate;
    }

    void setRange(double minFrequency, double maxFrequency) {
        if (!(minFrequency > 0.0) || !(minFrequency <= f0) || !(maxFrequency >= f0) ||
            !(maxFrequency <= 0.25 * fs) || !std::isfinite(maxFrequency)) {
            throw std::invalid_argument("frequency range must contain the nominal frequency and lie between 0 and "
                                        "a quarter of the sample rate");
        }
        // A bridge segment lasts at most about 1.2 of the longest cycles.
        if (2.0 * static_cast<double>(N) * fs / minFrequency > static_cast<double>(std::numeric_limits<int>::max())) {
            throw std::invalid_argument("cycles at the lowest frequency are too long for segment lengths");
        }
        minF = minFrequency;
        maxF = maxFrequency;
        minPeriod = fs / (maxF * (1.0 + rangeTolerance));
        maxPeriod = fs / (minF * (1.0 - rangeTolerance));
        timeoutLength = static_cast<uint64_t>(std::ceil(timeoutPeriods * maxPeriod));
    }

    void setLossLevel(double rms) {
        if (!(rms >= 0.0) || !std::isfinite(rms)) {
            throw std::invalid_argument("loss level must be zero or positive and finite");
        }
        lossRms = rms;
        updateThreshold();
    }

    void add(const float* samples, int count) {
        while (count > 0) {
            const int n = std::min(count, chunkSamples);
#if POWERQUALITY_AVX2_KERNELS
            if (wide) {
                filterAndScanWide(samples, n);
            } else {
                filterAndScan(samples, n);
            }
#else
            filterAndScan(samples, n);
#endif
            samples += n;
            count -= n;
        }
    }

    // One chunk through the filter and the crossing search, as the baseline
    // and as the AVX2 copy (the same operations in the same order).
    void filterAndScan(const float* samples, int n) {
        filter.run<2>(samples, static_cast<size_t>(n), filtered.data());
        scan(filtered.data(), n);
    }

#if POWERQUALITY_AVX2_KERNELS
    POWERQUALITY_TARGET_AVX2 void filterAndScanWide(const float* samples, int n) {
        filter.run<4>(samples, static_cast<size_t>(n), filtered.data());
        scan(filtered.data(), n);
    }
#endif

    // The filter's outputs y[0..n), sample by sample: crossings and events.
    // The state the loop changes is held in locals, and handed to the
    // members around the calls that read or change it. The samples go in
    // stretches that end before the next event's position, or after a
    // crossing (which may move the next event), so that the samples inside
    // a stretch need not ask for events.
    POWERQUALITY_KERNEL_INLINE void scan(const double* y, int n) {
        double pos = posPeak, neg = negPeak, energy = cycleEnergy, previous = yPrev;
        bool arm = armed;
        const uint64_t origin = position;  // the position of y[0]
        uint64_t next = nextEvent;
        // The sample y[i]: false when a crossing was taken at it.
        const auto step = [&](int i) __attribute__((always_inline)) {
            const double v = y[i];
            const uint64_t at = origin + static_cast<uint64_t>(i);
            pos = std::max(pos, v);
            neg = std::min(neg, v);
            bool crossed = false;
            // Armed only once the filter has filled; armed, the previous
            // output is negative, so a crossing lies between it and this one.
            if (arm) {
                if (v >= 0.0) {
                    arm = false;
                    posPeak = pos;
                    negPeak = neg;
                    cycleEnergy = energy;
                    crossing(makeInstant(static_cast<int64_t>(at) - 1, previous / (previous - v)));
                    pos = posPeak;
                    neg = negPeak;
                    energy = cycleEnergy;
                    next = nextEvent;
                    crossed = true;
                }
            } else if (v < -hysteresis && at >= filter.length) {
                arm = true;
            }
            // The sample that completes a crossing belongs to the cycle
            // after it, so it counts once the crossing has been taken.
            energy += v * v;
            previous = v;
            return !crossed;
        };
        for (int i = 0; i < n;) {
            // The samples before the next event's position.
            const uint64_t at = origin + static_cast<uint64_t>(i);
            const uint64_t before = next > at ? next - at : 0;
            const int stop = before < static_cast<uint64_t>(n - i) ? i + static_cast<int>(before) : n;
            bool plain = true;
            while (i < stop) {
                if (!step(i++)) {
                    plain = false;
                    break;
                }
            }
            if (plain && i < n) {
                step(i++);  // at the next event's position
            }
            // Events at the last sample taken (after a crossing, the event
            // it may have brought forward).
            const uint64_t last = origin + static_cast<uint64_t>(i) - 1;
            if (last >= next) {
                position = last;
                events();
                next = nextEvent;
            }
        }
        posPeak = pos;
        negPeak = neg;
        cycleEnergy = energy;
        yPrev = previous;
        armed = arm;
        position = origin + static_cast<uint64_t>(n);
    }

    int take(int capacity, unsigned long long* first, int* lengths, double* frequencies, bool* flags) {
        if (capacity < 0) {
            throw std::invalid_argument("capacity must not be negative");
        }
        if (capacity > 0 && (first == nullptr || lengths == nullptr || frequencies == nullptr || flags == nullptr)) {
            throw std::invalid_argument("segment arrays must not be null");
        }
        const int count = static_cast<int>(std::min<size_t>(static_cast<size_t>(capacity), segments.size()));
        for (int k = 0; k < count; ++k) {
            const Segment& s = segments.front();
            first[k] = s.first;
            lengths[k] = s.length;
            frequencies[k] = s.frequency;
            flags[k] = s.flag;
            segments.pop_front();
        }
        return count;
    }

    int takeIntervals(int capacity, FrequencyTrackerInterval* out) {
        if (capacity < 0) {
            throw std::invalid_argument("capacity must not be negative");
        }
        if (capacity > 0 && out == nullptr) {
            throw std::invalid_argument("interval array must not be null");
        }
        const int count = static_cast<int>(std::min<size_t>(static_cast<size_t>(capacity), intervals.size()));
        for (int k = 0; k < count; ++k) {
            std::memcpy(static_cast<void*>(out + k), &intervals.front(), sizeof(FrequencyTrackerInterval));  // whole
            intervals.pop_front();
        }
        return count;
    }

    const double fs;
    const double f0;
    const int N;
    double minF = 0.0, maxF = 0.0;
    double lossRms = 0.0;
    double currentFrequency = 0.0;
    bool runActive = false;
    uint64_t position = 0;  // of the next sample
    std::deque<Segment> segments;

private:
    int64_t callerIndex(const Instant& t) const {
        return t.whole * N + static_cast<int64_t>(std::llround(t.fraction * N));
    }

    // Thresholds on the filter's output, whose gain at the nominal frequency
    // is filter.gain; the reference is kept in input units.
    void updateThreshold() {
        threshold = std::max(lossRms * std::sqrt(2.0), relativeLossLevel * reference) * filter.gain;
        hysteresis = 0.5 * threshold;
    }

    void crossing(const Instant& raw) {
        const double amplitude = std::min(posPeak, -negPeak);
        double period = 0.0;
        if (haveLast) {
            period = between(raw, lastRaw);
            if (period < minPeriod) {
                return;  // spurious: the cycle goes on
            }
        }
        posPeak = 0.0;
        negPeak = 0.0;
        // Whether the crossing before this one is trusted: the cycles on its
        // two sides have the same RMS within the tolerance. Without a cycle
        // before it (the first crossing) nothing speaks against it.
        bool lastTrusted = true;
        if (haveLast) {
            const double rms = std::sqrt(cycleEnergy / period);
            if (havePreviousRms) {
                lastTrusted = std::fabs(rms - previousRms) <= steadyTolerance * std::max(rms, previousRms);
            }
            previousRms = rms;
            havePreviousRms = true;
        }
        cycleEnergy = 0.0;
        if (runActive) {
            runTrusted.back() = lastTrusted;  // the run's last crossing is lastRaw
        }
        const bool good = haveLast && period <= maxPeriod && amplitude >= threshold && amplitude > 0.0;
        if (good) {
            if (rawHistory.empty()) {
                rawHistory.push_back(lastRaw);
            }
            rawHistory.push_back(raw);
            if (rawHistory.size() > 2 * halfWindow + 2) {
                rawHistory.pop_front();
            }
            currentFrequency = static_cast<double>(rawHistory.size() - 1) * fs /
                               between(rawHistory.back(), rawHistory.front());
            // The reference grows by at most 10 % a cycle, so that a burst of
            // huge samples cannot lift the threshold above the grid.
            const double input = std::min(amplitude / filter.gain, 2.0 * reference);
            reference = reference == 0.0 ? amplitude / filter.gain
                                         : reference + referenceSmoothing * (input - reference);
            updateThreshold();
        } else {
            rawHistory.clear();
            if (haveLast && period <= maxPeriod && amplitude < threshold) {
                // A cycle too weak for the threshold: the automatic reference
                // sinks 10 % a cycle, so a lasting lower voltage is tracked
                // again; a voltage that is gone (no crossings) keeps it.
                reference *= 1.0 - referenceSmoothing;
                updateThreshold();
            }
        }
        const Instant compensated = makeInstant(raw.whole, raw.fraction - filter.delay);
        if (good) {
            if (!runActive) {
                startRun(lastCompensated, lastTrusted);
            }
            appendToRun(compensated);
            timeoutAt = static_cast<uint64_t>(raw.whole) + timeoutLength;
        } else if (runActive) {
            endRun();
        }
        lastRaw = raw;
        lastCompensated = compensated;
        haveLast = true;
        updateNextEvent();
    }

    void startRun(const Instant& first, bool trusted) {
        runActive = true;
        run.clear();
        run.push_back(first);
        runTrusted.clear();
        runTrusted.push_back(trusted);
        runBase = 0;
        runStart = first;
        bridgePending = true;
        nextEmit = 0;
        previousCycleFrequency = lastValidFrequency;
        flywheel = false;  // the bridge starts where the flywheel stopped
        updateNextEvent();
    }

    // The new crossing is not trusted until the cycle after it ends with the
    // reference's RMS unchanged; pump does not use it before that.
    void appendToRun(const Instant& t) {
        run.push_back(t);
        runTrusted.push_back(false);
        pump(false);
    }

    // A run ends at a cycle that is not good, which has set the trust of the
    // run's last crossing, or at the timeout, which leaves it untrusted (no
    // cycle after it: the reference went away next to it). The cycles after
    // the last trusted crossing are left to the flywheel, so that it, and the
    // bridge after it, start on the grid's phase rather than on a crossing
    // that the loss has moved.
    void endRun() {
        runActive = false;
        timeoutAt = never;
        rawHistory.clear();
        previousRunValid = true;
        previousRunStart = runStart;
        previousRunEnd = run.back();
        const size_t kept = nextEmit >= runBase ? static_cast<size_t>(nextEmit - runBase) + 1 : 1;
        while (run.size() > kept && !runTrusted.back()) {
            run.pop_back();
            runTrusted.pop_back();
        }
        pump(true);
        if (haveOutput) {
            startFlywheel();  // from the last boundary handed out, bridged or not
        }
        run.clear();
        runTrusted.clear();
        bridgePending = false;
    }

    Instant crossingAt(uint64_t index) const {
        return run[static_cast<size_t>(index - runBase)];
    }

    bool trustedAt(uint64_t index) const {
        return runTrusted[static_cast<size_t>(index - runBase)];
    }

    void push(int64_t from, int64_t to, double frequency, bool flag) {
        segments.push_back({static_cast<uint64_t>(from), static_cast<int>(to - from), frequency, flag});
        lastBoundary = to;
    }

    // Hands out what the run allows: the bridge to it first, then every cycle
    // whose window is complete and settled (all remaining ones when the run
    // has ended).
    void pump(bool ended) {
        if (bridgePending && !haveOutput) {
            // The first run: the segments start at its first crossing.
            size_t j = 0;
            while (j < run.size() && callerIndex(run[j]) < 0) {
                ++j;
            }
            if (j == run.size()) {
                return;
            }
            lastBoundary = callerIndex(run[j]);
            haveOutput = true;
            bridgePending = false;
            nextEmit = runBase + j;
        }
        if (bridgePending) {
            if (run.size() < 2) {
                return;
            }
            const double cycle = between(run.back(), run.front()) / static_cast<double>(run.size() - 1) * N;
            const double shortest = (halfWindow + 1) * cycle;
            // It ends on a trusted crossing, whose trust is known: not the
            // last one of a run still going.
            const size_t known = ended ? run.size() : run.size() - 1;
            size_t j = 0;
            while (j < known &&
                   (static_cast<double>(callerIndex(run[j]) - lastBoundary) < shortest || !runTrusted[j])) {
                ++j;
            }
            if (j == known) {
                return;  // not yet, or never for a run that ended this short
            }
            const int64_t end = callerIndex(run[j]);
            const int64_t length = end - lastBoundary;
            const int64_t cycles = std::max<int64_t>(1, std::llround(static_cast<double>(length) / cycle));
            const double frequency = static_cast<double>(cycles) * N * fs / static_cast<double>(length);
            const int64_t start = lastBoundary;
            for (int64_t c = 0; c < cycles; ++c) {
                push(start + length * c / cycles, start + length * (c + 1) / cycles, frequency, false);
            }
            bridgePending = false;
            flywheel = false;
            nextEmit = runBase + j;
        }
        const uint64_t last = runBase + run.size() - 1;
        while (nextEmit < last && (ended || nextEmit + halfWindow + 1 + settleCycles <= last)) {
            const uint64_t k = nextEmit;
            const uint64_t h = std::min<uint64_t>({halfWindow, k, last - 1 - k});
            const double span = between(crossingAt(k + h + 1), crossingAt(k - h));
            double frequency = static_cast<double>(2 * h + 1) * fs / span;
            frequency = std::min(std::max(frequency, minF), maxF);
            bool flag = h == halfWindow && k - h >= settleCycles && k + h + 1 + settleCycles <= last;
            // The cycle's own boundaries and the window's ends are the
            // crossings its frequency and its 10-second share rest on; a
            // cycle with one of them moved is not flagged.
            if (!(trustedAt(k) && trustedAt(k + 1))) {
                frequency = previousCycleFrequency;
                flag = false;
            } else if (!(trustedAt(k - h) && trustedAt(k + h + 1))) {
                uint64_t g = h - 1;  // h > 0 here, and g = 0 has trusted ends
                while (!(trustedAt(k - g) && trustedAt(k + g + 1))) {
                    --g;
                }
                frequency = static_cast<double>(2 * g + 1) * fs / between(crossingAt(k + g + 1), crossingAt(k - g));
                frequency = std::min(std::max(frequency, minF), maxF);
                flag = false;
            }
            previousCycleFrequency = frequency;
            if (flag) {
                lastValidFrequency = frequency;
                countCycle(crossingAt(k), crossingAt(k + 1));
            }
            push(lastBoundary, callerIndex(crossingAt(k + 1)), frequency, flag);
            ++nextEmit;
            while (runBase + halfWindow < nextEmit && run.size() > 1) {
                run.pop_front();
                runTrusted.pop_front();
                ++runBase;
            }
        }
    }

    void startFlywheel() {
        flywheel = true;
        flyOrigin = lastBoundary;
        flyIndex = 0;
        flyFrequency = lastValidFrequency;
        flyLength = static_cast<double>(N) * fs / flyFrequency;
        flyHoldback = static_cast<uint64_t>(std::ceil((halfWindow + settleCycles + 1) * fs / flyFrequency));
        scheduleFlywheel();
    }

    int64_t nextFlyBoundary() const {
        return flyOrigin + std::llround(static_cast<double>(flyIndex + 1) * flyLength);
    }

    void scheduleFlywheel() {
        const int64_t boundary = nextFlyBoundary();
        flyEmitAt = static_cast<uint64_t>((boundary + N - 1) / N) + flyHoldback;
    }

    // Whole cycles of an interval, from crossing a to crossing b: the
    // flagged ones, in the order they are handed out.
    void countCycle(const Instant& a, const Instant& b) {
        while (toDouble(b) > intervalEnd()) {
            closeInterval();
        }
        if (toDouble(a) >= intervalStart()) {
            ++intervalCycles;
            intervalDuration += between(b, a);
        }
    }

    double intervalStart() const { return static_cast<double>(intervalIndex) * intervalSeconds * fs; }
    double intervalEnd() const { return static_cast<double>(intervalIndex + 1) * intervalSeconds * fs; }

    uint64_t closePositionOf(uint64_t index) const {
        const double end = static_cast<double>(index + 1) * intervalSeconds * fs;
        const double at = std::ceil(end + intervalClosePeriods * maxPeriod);
        // At sample rates where 10 s hold 2^64 positions or more, the
        // interval never closes (the position counter wraps first).
        return at < 18446744073709551616.0 ? static_cast<uint64_t>(at) : never;
    }

    void closeInterval() {
        const double start = intervalStart();
        const double end = intervalEnd();
        const bool covered = (runActive && toDouble(runStart) <= start) ||
                             (previousRunValid && toDouble(previousRunStart) <= start &&
                              toDouble(previousRunEnd) >= end);
        FrequencyTrackerInterval record;
        std::memset(static_cast<void*>(&record), 0, sizeof record);  // the bytes after the flag too
        record.firstSampleIndex = static_cast<uint64_t>(std::llround(start * N));
        record.endSampleIndex = static_cast<uint64_t>(std::llround(end * N));
        record.frequency = intervalCycles > 0 ? static_cast<double>(intervalCycles) * fs / intervalDuration : 0.0;
        record.cycleCount = intervalCycles;
        record.flag = intervalCycles > 0 && covered;
        intervals.emplace_back();  // byte for byte, the zeroed bytes after the flag too
        std::memcpy(static_cast<void*>(&intervals.back()), &record, sizeof record);
        ++intervalIndex;
        intervalCycles = 0;
        intervalDuration = 0.0;
        intervalCloseAt = closePositionOf(intervalIndex);
    }

    void events() {
        if (position >= timeoutAt && runActive) {
            endRun();
        }
        while (flywheel && position >= flyEmitAt) {
            const int64_t boundary = nextFlyBoundary();
            push(lastBoundary, boundary, flyFrequency, false);
            ++flyIndex;
            scheduleFlywheel();
        }
        while (position >= intervalCloseAt) {
            closeInterval();
        }
        updateNextEvent();
    }

    void updateNextEvent() {
        nextEvent = std::min({runActive ? timeoutAt : never, flywheel ? flyEmitAt : never, intervalCloseAt});
    }

    LinearPhaseFilter filter;
    const bool wide = powerquality::avx2Kernels();  // the AVX2 copy of the filter and the search
    std::vector<double> filtered = std::vector<double>(chunkSamples);  // the filter's outputs of one chunk
    double minPeriod = 0.0, maxPeriod = 0.0;  // positions
    uint64_t timeoutLength = 0;

    // Crossing detection.
    double yPrev = 0.0;
    bool armed = false;
    double posPeak = 0.0, negPeak = 0.0;
    double reference = 0.0;  // amplitude of the good cycles
    double threshold = 0.0, hysteresis = 0.0;
    bool haveLast = false;
    Instant lastRaw, lastCompensated;
    std::deque<Instant> rawHistory;  // filter-output crossings of the run's last cycles
    double cycleEnergy = 0.0;        // sum of the squared filter outputs since the last crossing
    double previousRms = 0.0;        // of the filter's output over the last cycle
    bool havePreviousRms = false;

    // The run of good cycles: crossings from index runBase on.
    std::deque<Instant> run;
    std::deque<bool> runTrusted;  // of each crossing of run; the last one's is known at the next crossing
    uint64_t runBase = 0;
    Instant runStart;
    bool bridgePending = false;
    uint64_t nextEmit = 0;
    uint64_t timeoutAt = never;
    bool previousRunValid = false;
    Instant previousRunStart, previousRunEnd;

    // Output.
    bool haveOutput = false;
    int64_t lastBoundary = 0;  // caller index where the next segment starts
    double lastValidFrequency = 0.0;
    double previousCycleFrequency = 0.0;  // of the run's last cycle handed out

    // Flywheel while the reference is lost.
    bool flywheel = false;
    int64_t flyOrigin = 0;
    uint64_t flyIndex = 0;
    double flyFrequency = 0.0;
    double flyLength = 0.0;  // caller indices per cycle
    uint64_t flyHoldback = 0;
    uint64_t flyEmitAt = never;

    // 10-second intervals.
    uint64_t intervalIndex = 0;
    int intervalCycles = 0;
    double intervalDuration = 0.0;  // positions
    uint64_t intervalCloseAt = never;
    std::deque<FrequencyTrackerInterval> intervals;

    uint64_t nextEvent = never;
};

FrequencyTracker::FrequencyTracker(double sampleRate, double nominalFrequency, int sampleIndexDivisor)
    : impl(new Impl(sampleRate, nominalFrequency, sampleIndexDivisor)) {}

FrequencyTracker::FrequencyTracker(FrequencyTracker&& other) noexcept : impl(std::exchange(other.impl, nullptr)) {}

FrequencyTracker& FrequencyTracker::operator=(FrequencyTracker&& other) noexcept {
    if (this != &other) {
        delete impl;
        impl = std::exchange(other.impl, nullptr);
    }
    return *this;
}

FrequencyTracker::~FrequencyTracker() { delete impl; }

double FrequencyTracker::getSampleRate() const { return impl->fs; }
double FrequencyTracker::getNominalFrequency() const { return impl->f0; }
int FrequencyTracker::getSampleIndexDivisor() const { return impl->N; }
void FrequencyTracker::setFrequencyRange(double minFrequency, double maxFrequency) {
    impl->setRange(minFrequency, maxFrequency);
}
double FrequencyTracker::getMinFrequency() const { return impl->minF; }
double FrequencyTracker::getMaxFrequency() const { return impl->maxF; }
void FrequencyTracker::setLossLevel(double rms) { impl->setLossLevel(rms); }
double FrequencyTracker::getLossLevel() const { return impl->lossRms; }

void FrequencyTracker::addSamples(const float* samples, int count) {
    if (count > 0 && samples == nullptr) {
        throw std::invalid_argument("samples must not be null");
    }
    impl->add(samples, count);
}

int FrequencyTracker::getSegments(int capacity, unsigned long long* firstSampleIndices, int* lengths,
                                  double* frequencies, bool* flags) {
    return impl->take(capacity, firstSampleIndices, lengths, frequencies, flags);
}

int FrequencyTracker::getPendingSegmentsCount() const { return static_cast<int>(impl->segments.size()); }

int FrequencyTracker::getTenSecondFrequencies(int capacity, FrequencyTrackerInterval* intervals) {
    return impl->takeIntervals(capacity, intervals);
}

double FrequencyTracker::getFrequency() const { return impl->currentFrequency; }
bool FrequencyTracker::isLocked() const { return impl->runActive; }
unsigned long long FrequencyTracker::getSamplePosition() const { return impl->position; }
