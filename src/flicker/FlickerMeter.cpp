// The flickermeter's chain: the squaring demodulator at the input rate with
// a decimating low-pass, then, at the decimated rate, the 1-minute mean that
// normalises, the band-pass (0.05 Hz high-pass, 6th-order Butterworth
// low-pass), the lamp-eye weighting filter, squaring, the 300 ms smoothing,
// the log-spaced classifier and the severities. See FlickerMeter.h for the
// choices.
//
// Every step is taken at a definite sample position, never at the end of a
// block, so the results do not depend on how the samples come in blocks.
#include "powerquality/FlickerMeter.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "windowed/Kernels.h"

#if POWERQUALITY_AVX2_KERNELS
#include <immintrin.h>
#endif

namespace {

constexpr double pi = 3.141592653589793;
constexpr double twoPi = 2.0 * pi;
constexpr double quietNaN = std::numeric_limits<double>::quiet_NaN();

// Decimated rate aimed at: at least this, below twice this.
constexpr double targetDecimatedRate = 1000.0;
constexpr double normalisingSeconds = 60.0;  // time constant of the mean that normalises
constexpr double highPassHz = 0.05;
constexpr double lowPassPerNominal = 0.7;  // 35 Hz at 50 Hz, 42 Hz at 60 Hz
constexpr double smoothingSeconds = 0.3;
constexpr double warmUpSeconds = 0.25;  // of the low-pass alone before the high-pass starts
// Bridging a gap: the level held is the low-pass's output through two
// first-order lags of levelSeconds (its ripple at twice the supply frequency
// down by 40 dB more); after the gap's warm-up the band-pass's input fades
// from it to the low-pass's output over fadeSeconds (a raised cosine, so the
// ripple fades in without a step); then Pinst is measured again.
constexpr double levelSeconds = 0.02;
constexpr double fadeSeconds = 0.25;
// The reference: a sinusoidal 8.8 Hz fluctuation of 0.25 % (dV/V, peak to
// peak) of the 230 V lamp gives Pinst 1 at its peaks.
constexpr double referenceHz = 8.8;
constexpr double referenceDeltaV = 0.0025;
constexpr double timeLimit = 1e15;  // clock offsets beyond this are refused
// Input samples demodulated at a time before the decimated side runs on the
// outputs they finish; and the lanes of meters whose chains run side by side
// (four doubles: one AVX2 register, two SSE2 ones in the baseline copy).
constexpr int chunkSamples = 4096;
constexpr int lanes = 4;

// Classifier bins: the upper 16 bits of a float (sign, exponent and 7
// mantissa bits) give 128 bins per octave, each bin linear inside, from 2^-30
// to 2^34; below is taken as 0, above is one bin up to the largest value.
constexpr uint32_t binsPerOctave = 128;
constexpr uint32_t lowestKey = (127u - 30u) * binsPerOctave;
constexpr uint32_t highestKey = (127u + 34u) * binsPerOctave;
constexpr uint32_t binCount = highestKey - lowestKey;

// A lamp: the weighting filter K w1 s / (s^2 + 2 lambda s + w1^2)
// * (1 + s/w2) / ((1 + s/w3)(1 + s/w4)), frequencies in Hz.
struct Lamp {
    double k, lambda, w1, w2, w3, w4;
};
constexpr Lamp lamp230{1.74802, 4.05981, 9.15494, 2.27979, 1.22535, 21.9};
constexpr Lamp lamp120{1.6357, 4.167375, 9.077169, 2.939902, 1.394468, 17.31512};

// A second-order section, transposed direct form II.
struct Biquad {
    double b0 = 1.0, b1 = 0.0, b2 = 0.0, a1 = 0.0, a2 = 0.0;
    double s1 = 0.0, s2 = 0.0;

    // The bilinear transform s = c (1 - 1/z) / (1 + 1/z) of
    // (n0 s^2 + n1 s + n2) / (d0 s^2 + d1 s + d2).
    static Biquad bilinear(double n0, double n1, double n2, double d0, double d1, double d2, double c) {
        Biquad q;
        const double cc = c * c;
        const double a0 = d0 * cc + d1 * c + d2;
        q.b0 = (n0 * cc + n1 * c + n2) / a0;
        q.b1 = 2.0 * (n2 - n0 * cc) / a0;
        q.b2 = (n0 * cc - n1 * c + n2) / a0;
        q.a1 = 2.0 * (d2 - d0 * cc) / a0;
        q.a2 = (d0 * cc - d1 * c + d2) / a0;
        return q;
    }

    double step(double x) {
        const double y = b0 * x + s1;
        s1 = b1 * x - a1 * y + s2;
        s2 = b2 * x - a2 * y;
        return y;
    }

    std::complex<double> response(double omega) const {
        const std::complex<double> z1 = std::polar(1.0, -omega);
        return (b0 + z1 * (b1 + z1 * b2)) / (1.0 + z1 * (a1 + z1 * a2));
    }
};

Biquad weightingBandPass(const Lamp& lamp, double c) {
    const double w1 = twoPi * lamp.w1;
    return Biquad::bilinear(0.0, lamp.k * w1, 0.0, 1.0, 2.0 * twoPi * lamp.lambda, w1 * w1, c);
}

Biquad weightingShelf(const Lamp& lamp, double c) {
    const double w2 = twoPi * lamp.w2, w3 = twoPi * lamp.w3, w4 = twoPi * lamp.w4;
    return Biquad::bilinear(0.0, 1.0 / w2, 1.0, 1.0 / (w3 * w4), 1.0 / w3 + 1.0 / w4, 1.0, c);
}

// The three sections of a 6th-order Butterworth low-pass, prewarped at fc.
void butterworth(double fc, double rate, Biquad* sections) {
    const double wc = twoPi * fc;
    const double c = wc / std::tan(wc / (2.0 * rate));
    for (int k = 0; k < 3; ++k) {
        const double zeta = std::sin(pi * (2 * k + 1) / 12.0);
        sections[k] = Biquad::bilinear(0.0, 0.0, wc * wc, 1.0, 2.0 * zeta * wc, wc * wc, c);
    }
}

// Values of the meters running side by side, one to a lane (GCC's vector
// extension: each operation is the scalar one, lane by lane). Never passed
// or returned by value: the baseline copy has no register that wide.
typedef double Lanes __attribute__((vector_size(lanes * sizeof(double))));
typedef float LaneFloats __attribute__((vector_size(lanes * sizeof(float))));

// An array of Lanes on a 32-byte boundary (a std::vector of them is not
// kept so: the alignment does not reach the allocator). Empty until sized;
// the contents are not kept across a resize.
class LaneArray {
public:
    void resize(std::size_t n) {
        storage.assign(lanes * n + lanes, 0.0);
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(storage.data());
        first = reinterpret_cast<Lanes*>((at + sizeof(Lanes) - 1) & ~static_cast<std::uintptr_t>(sizeof(Lanes) - 1));
    }
    bool empty() const { return first == nullptr; }
    Lanes* data() const { return first; }
    Lanes& operator[](std::size_t k) const { return first[k]; }

private:
    std::vector<double> storage;
    Lanes* first = nullptr;
};

// A Biquad's coefficients in every lane.
struct LaneBiquad {
    Lanes b0, b1, b2, a1, a2;
};

void broadcast(double value, Lanes& to) {
    to = Lanes{value, value, value, value};
}

void broadcast(const Biquad& q, LaneBiquad& to) {
    broadcast(q.b0, to.b0);
    broadcast(q.b1, to.b1);
    broadcast(q.b2, to.b2);
    broadcast(q.a1, to.a1);
    broadcast(q.a2, to.a2);
}

// Biquad::step in every lane: y in, the output out.
POWERQUALITY_KERNEL_INLINE void lanesStep(const LaneBiquad& q, Lanes& y, Lanes& s1, Lanes& s2) {
    const Lanes x = y;
    y = q.b0 * x + s1;
    s1 = q.b1 * x - q.a1 * y + s2;
    s2 = q.b2 * x - q.a2 * y;
}

uint32_t floatBits(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

float bitsFloat(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// x convolved with a running mean of r samples (length x.size() + r - 1).
std::vector<double> runningMean(const std::vector<double>& x, std::size_t r) {
    std::vector<double> out(x.size() + r - 1);
    double sum = 0.0;
    for (std::size_t n = 0; n < out.size(); ++n) {
        sum += n < x.size() ? x[n] : 0.0;
        sum -= n >= r ? x[n - r] : 0.0;
        out[n] = sum / static_cast<double>(r);
    }
    return out;
}

// Whether every sample is finite (its exponent not all ones), four at a time.
bool allFinite(const float* samples, int count) {
    typedef int32_t Words __attribute__((vector_size(16)));
    const Words exponent = {0x7f800000, 0x7f800000, 0x7f800000, 0x7f800000};
    Words any = {0, 0, 0, 0};
    int i = 0;
    for (; i + 4 <= count; i += 4) {
        Words w;
        std::memcpy(&w, samples + i, sizeof w);
        any |= (w & exponent) == exponent;
    }
    bool finite = (any[0] | any[1] | any[2] | any[3]) == 0;
    for (; i < count; ++i) {
        finite = finite && std::isfinite(samples[i]);
    }
    return finite;
}

long long floorDiv(long long a, long long b) {
    const long long q = a / b;
    return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// The demodulators of up to four meters in step, one meter to a lane, over
// count samples: in each lane the operations of Impl::demodulate, in its
// order. weights[3 j + t] holds tap j of accumulator t (the one finished t
// blocks later) in every lane; a whole decimation block runs without a test
// per sample. Each finished decimated sample past the first two goes to
// out, one meter to a lane, and the input position of the sample that
// finished it to ats; returns how many. Lanes past the meters read meter 0's
// samples. A sample that is not finite is found afterwards (`finite`), and
// then the results are dropped: Impl::demodulate takes those samples.
struct LaneDemodulator {
    const float* samples[lanes];
    Lanes acc[3];
    int phase;
    unsigned long long blocks;
    bool finite;  // whether every sample was finite
};

// Sample i of every lane, squared in double.
POWERQUALITY_KERNEL_INLINE void laneSquares(const float* x0, const float* x1, const float* x2, const float* x3,
                                            std::ptrdiff_t i, Lanes& v) {
    const LaneFloats f = {x0[i], x1[i], x2[i], x3[i]};
    v = __builtin_convertvector(f, Lanes);
    v = v * v;
}

// R: the decimation when known at compile time (0: r).
template <int R>
POWERQUALITY_KERNEL_INLINE int demodulateLanesBody(LaneDemodulator& d, int count, int r, const Lanes* weights,
                                                   unsigned long long position, Lanes* out, unsigned long long* ats) {
    if (R > 0) {
        r = R;
    }
    const float* x0 = d.samples[0];
    const float* x1 = d.samples[1];
    const float* x2 = d.samples[2];
    const float* x3 = d.samples[3];
    Lanes a0 = d.acc[0], a1 = d.acc[1], a2 = d.acc[2];
    const Lanes zero = a0 - a0;  // the accumulators are finite
    Lanes sum = zero;            // of the outputs
    int j = d.phase;
    unsigned long long finished = d.blocks;
    int outputs = 0;
    int i = 0;
    // The block under way, and the first two (not handed out), sample by sample.
    while (i < count && (j != 0 || finished < 2)) {
        Lanes v;
        laneSquares(x0, x1, x2, x3, i, v);
        a0 += weights[3 * j] * v;
        a1 += weights[3 * j + 1] * v;
        a2 += weights[3 * j + 2] * v;
        ++i;
        if (++j == r) {
            j = 0;
            if (++finished > 2) {
                out[outputs] = a0;
                ats[outputs] = position + static_cast<unsigned long long>(i - 1);
                sum += a0;
                ++outputs;
            }
            a0 = a1;
            a1 = a2;
            a2 = zero;
        }
    }
    // Whole blocks.
    const int blocks = (count - i) / r;
    for (int b = 0; b < blocks; ++b) {
        const Lanes* w = weights;
        const Lanes* const end = weights + 3 * r;
#pragma GCC unroll 3
        for (; w != end; w += 3, ++i) {
            Lanes v;
            laneSquares(x0, x1, x2, x3, i, v);
            a0 += w[0] * v;
            a1 += w[1] * v;
            a2 += w[2] * v;
        }
        out[outputs] = a0;
        ats[outputs] = position + static_cast<unsigned long long>(i - 1);
        sum += a0;
        ++outputs;
        a0 = a1;
        a1 = a2;
        a2 = zero;
    }
    finished += static_cast<unsigned long long>(blocks);
    // The start of the next.
    for (; i < count; ++i, ++j) {
        Lanes v;
        laneSquares(x0, x1, x2, x3, i, v);
        a0 += weights[3 * j] * v;
        a1 += weights[3 * j + 1] * v;
        a2 += weights[3 * j + 2] * v;
    }
    // Every sample reaches an output or the accumulators with a positive
    // weight, and the terms are never negative: a sample that is not finite
    // leaves their sum not finite, and finite ones leave it finite.
    const Lanes total = sum + a0 + a1 + a2;
    const auto finite = (total - total) == zero;
    d.finite = (finite[0] & finite[1] & finite[2] & finite[3]) != 0;
    d.acc[0] = a0;
    d.acc[1] = a1;
    d.acc[2] = a2;
    d.phase = j;
    d.blocks = finished;
    return outputs;
}

#if POWERQUALITY_AVX2_KERNELS
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE void laneSquaresAvx2(const float* x0, const float* x1,
                                                                         const float* x2, const float* x3,
                                                                         std::ptrdiff_t i, Lanes& v) {
    v = _mm256_cvtps_pd(_mm_set_ps(x3[i], x2[i], x1[i], x0[i]));
    v = v * v;
}

// demodulateLanesBody for AVX2, its samples converted four in one instruction.
template <int R>
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE int
demodulateLanesAvx2Body(LaneDemodulator& d, int count, int r, const Lanes* weights,
                                                                                unsigned long long position, Lanes* out, unsigned long long* ats) {
    if (R > 0) {
        r = R;
    }
    const float* x0 = d.samples[0];
    const float* x1 = d.samples[1];
    const float* x2 = d.samples[2];
    const float* x3 = d.samples[3];
    Lanes a0 = d.acc[0], a1 = d.acc[1], a2 = d.acc[2];
    const Lanes zero = a0 - a0;  // the accumulators are finite
    Lanes sum = zero;            // of the outputs
    int j = d.phase;
    unsigned long long finished = d.blocks;
    int outputs = 0;
    int i = 0;
    // The block under way, and the first two (not handed out), sample by sample.
    while (i < count && (j != 0 || finished < 2)) {
        Lanes v;
        laneSquaresAvx2(x0, x1, x2, x3, i, v);
        a0 += weights[3 * j] * v;
        a1 += weights[3 * j + 1] * v;
        a2 += weights[3 * j + 2] * v;
        ++i;
        if (++j == r) {
            j = 0;
            if (++finished > 2) {
                out[outputs] = a0;
                ats[outputs] = position + static_cast<unsigned long long>(i - 1);
                sum += a0;
                ++outputs;
            }
            a0 = a1;
            a1 = a2;
            a2 = zero;
        }
    }
    // Whole blocks.
    const int blocks = (count - i) / r;
    for (int b = 0; b < blocks; ++b) {
        const Lanes* w = weights;
        const Lanes* const end = weights + 3 * r;
#pragma GCC unroll 3
        for (; w != end; w += 3, ++i) {
            Lanes v;
            laneSquaresAvx2(x0, x1, x2, x3, i, v);
            a0 += w[0] * v;
            a1 += w[1] * v;
            a2 += w[2] * v;
        }
        out[outputs] = a0;
        ats[outputs] = position + static_cast<unsigned long long>(i - 1);
        sum += a0;
        ++outputs;
        a0 = a1;
        a1 = a2;
        a2 = zero;
    }
    finished += static_cast<unsigned long long>(blocks);
    // The start of the next.
    for (; i < count; ++i, ++j) {
        Lanes v;
        laneSquaresAvx2(x0, x1, x2, x3, i, v);
        a0 += weights[3 * j] * v;
        a1 += weights[3 * j + 1] * v;
        a2 += weights[3 * j + 2] * v;
    }
    // Every sample reaches an output or the accumulators with a positive
    // weight, and the terms are never negative: a sample that is not finite
    // leaves their sum not finite, and finite ones leave it finite.
    const Lanes total = sum + a0 + a1 + a2;
    const auto finite = (total - total) == zero;
    d.finite = (finite[0] & finite[1] & finite[2] & finite[3]) != 0;
    d.acc[0] = a0;
    d.acc[1] = a1;
    d.acc[2] = a2;
    d.phase = j;
    d.blocks = finished;
    return outputs;
}
#endif

// The decimated chains of up to four meters, one to a lane, all on the
// common path of Impl::step (voltage seen, warmed up, no gap being bridged):
// lane by lane its operations in its order, over values [from, to), each
// square replaced by its Pinst. Up to `late` the normalising mean's weight is
// 1 / count (count in each lane from `counts` on, while below meanSamples).
struct LaneChain {
    Lanes mean, level0, level1, hpIn, hpOut, smIn, smOut;
    Lanes low[3][2];
    Lanes eye[2][2];
};

struct ChainCoefficients {
    LaneBiquad low[3], eye[2];
    Lanes meanAlpha, levelAlpha, highPassGain, highPassFeedback, smoothingGain, smoothingFeedback, scale;
    Lanes meanSamples;
};

POWERQUALITY_KERNEL_INLINE void chainStep(LaneChain& s, const ChainCoefficients& c, const Lanes& alpha,
                                          const Lanes& zero, const Lanes& one, Lanes& value) {
    const Lanes square = value;
    s.mean += alpha * (square - s.mean);
    Lanes y = square;
    lanesStep(c.low[0], y, s.low[0][0], s.low[0][1]);
    lanesStep(c.low[1], y, s.low[1][0], s.low[1][1]);
    lanesStep(c.low[2], y, s.low[2][0], s.low[2][1]);
    s.level0 += c.levelAlpha * (y - s.level0);
    s.level1 += c.levelAlpha * (s.level0 - s.level1);
    // Impl::lampEye(), the division only by a positive mean.
    s.hpOut = c.highPassGain * (y - s.hpIn) + c.highPassFeedback * s.hpOut;
    s.hpIn = y;
    const auto normalised = s.mean > zero;
    y = normalised ? s.hpOut / (normalised ? s.mean : one) : zero;
    lanesStep(c.eye[0], y, s.eye[0][0], s.eye[0][1]);
    lanesStep(c.eye[1], y, s.eye[1][0], s.eye[1][1]);
    const Lanes squared = y * y;
    s.smOut = c.smoothingGain * (squared + s.smIn) + c.smoothingFeedback * s.smOut;
    s.smIn = squared;
    value = c.scale * s.smOut;
}

POWERQUALITY_KERNEL_INLINE void runLanesBody(LaneChain& state, const ChainCoefficients& c, Lanes* values, int from,
                                             int late, int to, const Lanes& counts) {
    LaneChain s = state;
    const Lanes zero = s.mean - s.mean, one = zero + 1.0;  // the mean is finite
    Lanes count = counts;
    for (int k = from; k < late; ++k) {
        const Lanes alpha = count < c.meanSamples ? 1.0 / count : c.meanAlpha;
        chainStep(s, c, alpha, zero, one, values[k]);
        count += 1.0;
    }
    const Lanes alpha = c.meanAlpha;
    for (int k = late; k < to; ++k) {
        chainStep(s, c, alpha, zero, one, values[k]);
    }
    state = s;
}

#if POWERQUALITY_AVX2_KERNELS
POWERQUALITY_TARGET_AVX2 int demodulateLanesAvx2(LaneDemodulator& d, int count, int r, const Lanes* weights,
                                                 unsigned long long position, Lanes* out, unsigned long long* ats) {
    // 3200 per second: blocks of three unrolled.
    return r == 3 ? demodulateLanesAvx2Body<3>(d, count, r, weights, position, out, ats)
                  : demodulateLanesAvx2Body<0>(d, count, r, weights, position, out, ats);
}

POWERQUALITY_TARGET_AVX2 void runLanesAvx2(LaneChain& state, const ChainCoefficients& c, Lanes* values, int from,
                                           int late, int to, const Lanes& counts) {
    runLanesBody(state, c, values, from, late, to, counts);
}
#endif

int demodulateLanes(LaneDemodulator& d, int count, int r, const Lanes* weights, unsigned long long position,
                    Lanes* out, unsigned long long* ats) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        return demodulateLanesAvx2(d, count, r, weights, position, out, ats);
    }
#endif
    return demodulateLanesBody<0>(d, count, r, weights, position, out, ats);
}

void runLanes(LaneChain& state, const ChainCoefficients& c, Lanes* values, int from, int late, int to,
              const Lanes& counts) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        runLanesAvx2(state, c, values, from, late, to, counts);
        return;
    }
#endif
    runLanesBody(state, c, values, from, late, to, counts);
}

}  // namespace

class FlickerMeter::Impl {
public:
    Impl(double sampleRate, double nominalFrequency, double lampVoltage)
        : sampleRate(sampleRate), nominalFrequency(nominalFrequency), lampVoltage(lampVoltage) {
        decimation = std::max(1, static_cast<int>(std::floor(sampleRate / targetDecimatedRate)));
        decimatedRate = sampleRate / decimation;
        // The decimating low-pass: three running means of `decimation`
        // samples in cascade (zeros at every multiple of the decimated rate),
        // evaluated once per output; unit gain at 0 Hz.
        const std::size_t r = static_cast<std::size_t>(decimation);
        kernel.assign(1, 1.0);
        for (int pass = 0; pass < 3; ++pass) {
            kernel = runningMean(kernel, r);
        }
        kernel.resize(3 * r, 0.0);  // 3 r - 2 taps
        const double c = 2.0 * decimatedRate;
        const double wh = twoPi * highPassHz;
        const double ch = wh / std::tan(wh / (2.0 * decimatedRate));
        highPassGain = ch / (ch + wh);
        highPassFeedback = (ch - wh) / (ch + wh);
        butterworth(lowPassPerNominal * nominalFrequency, decimatedRate, lowPass);
        const Lamp& lamp = lampVoltage == 120.0 ? lamp120 : lamp230;
        weighting[0] = weightingBandPass(lamp, c);
        weighting[1] = weightingShelf(lamp, c);
        smoothingGain = 1.0 / (1.0 + c * smoothingSeconds);
        smoothingFeedback = (c * smoothingSeconds - 1.0) / (c * smoothingSeconds + 1.0);
        meanSamples = static_cast<unsigned long long>(std::ceil(normalisingSeconds * decimatedRate));
        meanAlpha = -std::expm1(-1.0 / (normalisingSeconds * decimatedRate));
        settlingSamples = static_cast<unsigned long long>(std::ceil(settlingSeconds * decimatedRate));
        warmUpSteps = static_cast<unsigned long long>(std::ceil(warmUpSeconds * decimatedRate));
        fadeSteps = static_cast<unsigned long long>(std::ceil(fadeSeconds * decimatedRate));
        levelAlpha = -std::expm1(-1.0 / (levelSeconds * decimatedRate));
        scale = referenceScale();
        histogram.assign(binCount, 0);
        setClock(0.0);
    }

    double sampleRate, nominalFrequency, lampVoltage;
    int decimation = 1;
    double decimatedRate = 0.0;
    std::vector<double> kernel;
    double highPassGain = 0.0, highPassFeedback = 0.0;
    Biquad lowPass[3];
    Biquad weighting[2];
    double smoothingGain = 0.0, smoothingFeedback = 0.0;
    unsigned long long meanSamples = 0, settlingSamples = 0, warmUpSteps = 1;
    unsigned long long fadeSteps = 1;
    double levelAlpha = 0.0;
    double meanAlpha = 0.0;
    double scale = 0.0;

    // Input side.
    unsigned long long position = 0;  // samples taken
    unsigned long long missingEnd = 0;  // one past the last sample that was not finite (0: none yet)
    int phase = 0;                    // of the current decimation block
    double acc0 = 0.0, acc1 = 0.0, acc2 = 0.0;
    unsigned long long blocks = 0;  // decimation blocks finished

    // Decimated side.
    unsigned long long meanCount = 0;
    double mean = 0.0;
    unsigned long long warmUp = 0;  // decimated samples of voltage through the low-pass alone
    double highPassIn = 0.0, highPassOut = 0.0;
    double smoothingIn = 0.0, smoothingOut = 0.0;
    unsigned long long steps = 0;  // decimated samples through the chain
    // Bridging a gap: the band-pass's input is held at the level before the
    // gap (`held`, taken from `level`) from the first decimated sample that a
    // missing sample reaches until the low-pass, started again after the
    // gap, has settled and faded back in (rejoin counts those steps).
    bool bridging = false;
    unsigned long long rejoin = 0;
    bool rewarming = false;  // a gap came within the warm-up: it starts again, unmeasured
    double held = 0.0;
    double level[2] = {0.0, 0.0};  // the low-pass's output smoothed twice, free of ripple

    // Intervals.
    double clockOffset = 0.0;
    long long clockBase = 0;  // clock interval of sample 0
    double clockRest = 0.0;   // seconds of that interval before sample 0
    long long intervalIndex = 0;  // intervals finished
    unsigned long long nextTick = 0;  // first sample of the next interval
    std::vector<uint32_t> histogram;
    unsigned long long underflow = 0, overflow = 0, classified = 0;
    double intervalMaximum = 0.0;
    double pinstMaximum = quietNaN;
    // Gap marks: intervals (counted from 0) that hold a missing sample, in
    // order, and whether the running interval lost Pinst values to a gap.
    std::deque<long long> gapIntervals;
    bool intervalBridged = false;
    struct Severity {
        double value;
        bool gap;
    };
    std::deque<Severity> shortTerm, longTerm;
    bool blockOpen = false;
    long long block = 0;
    double cubes = 0.0;
    int cubeCount = 0;
    bool blockGap = false;

    // The 230 V lamp's reference fluctuation through this chain (decimating
    // low-pass, band-pass, weighting, smoothing of the squared ripple at
    // twice the reference frequency), evaluated from the digital filters
    // themselves: Pinst = scale * smoothed square.
    double referenceScale() const {
        const double omega = twoPi * referenceHz / decimatedRate;
        const double x = pi * referenceHz / sampleRate;
        const double mean1 = decimation == 1 ? 1.0 : std::sin(x * decimation) / (decimation * std::sin(x));
        double gain = mean1 * mean1 * mean1;
        const std::complex<double> z1 = std::polar(1.0, -omega);
        gain *= std::abs(highPassGain * (1.0 - z1) / (1.0 - highPassFeedback * z1));
        for (const Biquad& q : lowPass) {
            gain *= std::abs(q.response(omega));
        }
        const double c = 2.0 * decimatedRate;
        gain *= std::abs(weightingBandPass(lamp230, c).response(omega) * weightingShelf(lamp230, c).response(omega));
        const std::complex<double> z2 = std::polar(1.0, -2.0 * omega);
        const double ripple = std::abs(smoothingGain * (1.0 + z2) / (1.0 - smoothingFeedback * z2));
        const double amplitude = referenceDeltaV * gain;
        return 2.0 / (amplitude * amplitude * (1.0 + ripple));
    }

    void setClock(double offset) {
        const double whole = std::floor(offset / shortTermSeconds);
        double rest = offset - whole * shortTermSeconds;
        long long base = static_cast<long long>(whole);
        if (rest >= shortTermSeconds) {
            rest -= shortTermSeconds;
            base += 1;
        }
        if (rest < 0.0) {
            rest += shortTermSeconds;
            base -= 1;
        }
        clockOffset = offset;
        clockBase = base;
        clockRest = rest;
        nextTick = tickSample(0);
    }

    // First sample at or after the end of interval j (counted from 0).
    unsigned long long tickSample(long long j) const {
        const double t = static_cast<double>(j + 1) * shortTermSeconds - clockRest;
        return static_cast<unsigned long long>(std::ceil(t * sampleRate));
    }

    // Scratch of one chunk: the decimated samples it finished, their input
    // positions and whether a missing sample lies in their kernel.
    std::vector<double> squares = std::vector<double>(chunkSamples + 1);
    std::vector<unsigned long long> ats = std::vector<unsigned long long>(chunkSamples + 1);
    std::vector<unsigned char> gaps = std::vector<unsigned char>(chunkSamples + 1);
    // A group's (see addGroup), held by its first meter: its decimated
    // samples, whether any meter's lies near a missing sample, and the
    // decimation kernel's taps in every lane.
    LaneArray laneValues;
    std::vector<unsigned char> anyGaps;
    LaneArray laneWeights;

    void add(const float* samples, int count) {
        while (count > 0) {
            const int n = std::min(count, chunkSamples);
            const int outputs = demodulate(samples, n);
            for (int k = 0; k < outputs; ++k) {
                step(squares[static_cast<std::size_t>(k)], ats[static_cast<std::size_t>(k)],
                     gaps[static_cast<std::size_t>(k)] != 0);
            }
            samples += n;
            count -= n;
        }
    }

    // The input side of count <= chunkSamples samples: the decimated samples
    // they finish into squares, ats and gaps; returns how many. Marking a
    // missing sample's interval before the decimated side has closed the
    // intervals before it marks the same interval (the one that holds it).
    int demodulate(const float* samples, int count) {
        // A short block is checked sample by sample: the scan first would cost more than it spares.
        return count >= 64 && allFinite(samples, count) ? demodulate<false>(samples, count)
                                                         : demodulate<true>(samples, count);
    }

    // With `checked` false every sample is known to be finite.
    template <bool checked>
    int demodulate(const float* samples, int count) {
        const int r = decimation;
        const double* w0 = kernel.data() + 2 * r;
        const double* w1 = kernel.data() + r;
        const double* w2 = kernel.data();
        // A decimated sample reaches back 3 r input samples.
        const unsigned long long reach = 3 * static_cast<unsigned long long>(r);
        std::ptrdiff_t j = phase;
        double a0 = acc0, a1 = acc1, a2 = acc2;
        int outputs = 0;
        for (int i = 0; i < count; ++i) {
            const float x = samples[i];
            double v = static_cast<double>(x) * x;
            if (checked && !std::isfinite(x)) {
                // Missing: the decimated samples it reaches are not used, so
                // what it adds to the sums does not matter, only that it is finite.
                v = 0.0;
                markMissing(position + static_cast<unsigned long long>(i));
            }
            a0 += w0[j] * v;
            a1 += w1[j] * v;
            a2 += w2[j] * v;
            if (++j == r) {
                j = 0;
                const double out = a0;
                a0 = a1;
                a1 = a2;
                a2 = 0.0;
                // The first two outputs lack the blocks before the first sample.
                if (++blocks > 2) {
                    const unsigned long long at = position + static_cast<unsigned long long>(i);
                    squares[static_cast<std::size_t>(outputs)] = out;
                    ats[static_cast<std::size_t>(outputs)] = at;
                    gaps[static_cast<std::size_t>(outputs)] = missingEnd > 0 && at + 1 - missingEnd < reach;
                    ++outputs;
                }
            }
        }
        position += static_cast<unsigned long long>(count);
        phase = static_cast<int>(j);
        acc0 = a0;
        acc1 = a1;
        acc2 = a2;
        return outputs;
    }

    // Whether the next decimated sample, unless a missing sample lies in
    // its kernel, takes step()'s common path: voltage seen, the band-pass
    // warmed up, no gap being bridged.
    bool steady() const { return meanCount > 0 && warmUp >= warmUpSteps && !bridging; }

    // Whether two meters have the same chain (the same coefficients, from
    // the same settings) and take their decimated samples at the same
    // input positions.
    bool inStepWith(const Impl& other) const {
        return sampleRate == other.sampleRate && nominalFrequency == other.nominalFrequency &&
               lampVoltage == other.lampVoltage && position == other.position;
    }

    // Meters in step with each other run in groups of up to `lanes`, a group
    // over all the samples before the next: a meter's results depend on its
    // own samples only.
    static void addInStep(Impl* const* meters, const float* const* samples, int count, int meterCount) {
        for (int first = 0; first < meterCount; first += lanes) {
            const int used = std::min(lanes, meterCount - first);
            if (used == 1) {
                meters[first]->add(samples[first], count);
            } else {
                addGroup(meters + first, samples + first, count, used);
            }
        }
    }

    // A group takes its samples chunk by chunk; its decimated samples wait in
    // the first meter's laneValues, one meter to a lane. A run of them that
    // every meter takes on the common path runs in lanes; the others go
    // through step(), meter by meter. Each meter's arithmetic, and the order
    // of it, is step()'s: the results are those of each meter on its own.
    static void addGroup(Impl* const* meters, const float* const* samples, int count, int used) {
        Impl& lead = *meters[0];
        if (lead.laneValues.empty()) {
            lead.laneValues.resize(chunkSamples + 1);
            lead.anyGaps.resize(chunkSamples + 1);
        }
        Lanes* values = lead.laneValues.data();
        const unsigned long long* ats = lead.ats.data();
        const unsigned char* anyGaps = lead.anyGaps.data();
        int done = 0;
        while (done < count) {
            const int n = std::min(count - done, chunkSamples);
            const int outputs = demodulateGroup(meters, samples, done, n, used);
            int k = 0;
            while (k < outputs) {
                bool common = true;
                for (int c = 0; c < used; ++c) {
                    common = common && meters[c]->steady();
                }
                int end = k;
                if (common) {
                    const void* gap = std::memchr(anyGaps + k, 1, static_cast<std::size_t>(outputs - k));
                    end = gap != nullptr ? static_cast<int>(static_cast<const unsigned char*>(gap) - anyGaps) : outputs;
                }
                if (end > k) {
                    runGroup(meters, used, k, end);
                    k = end;
                } else {
                    for (int c = 0; c < used; ++c) {
                        Impl& m = *meters[c];
                        m.step(values[k][c], ats[k], m.gaps[static_cast<std::size_t>(k)] != 0);
                    }
                    ++k;
                }
            }
            done += n;
        }
    }

    // The input side of samples [from, from + count) of a group: its
    // decimated samples into the first meter's laneValues (lanes past the
    // meters: meter 0's again) and ats, whether each lies near a missing
    // sample into each meter's gaps and, for any meter, into anyGaps. In
    // lanes (demodulateLanes); when a sample was not finite that is dropped
    // and they go meter by meter (demodulate, which marks the missing ones).
    // Returns how many.
    static int demodulateGroup(Impl* const* meters, const float* const* samples, int from, int count, int used) {
        Impl& lead = *meters[0];
        Lanes* values = lead.laneValues.data();
        unsigned char* anyGaps = lead.anyGaps.data();
        const int r = lead.decimation;
        if (lead.laneWeights.empty()) {
            // Tap j of the accumulator finished now, a block later and two.
            lead.laneWeights.resize(3 * static_cast<std::size_t>(r));
            for (int j = 0; j < r; ++j) {
                for (int t = 0; t < 3; ++t) {
                    const double w = lead.kernel[static_cast<std::size_t>((2 - t) * r + j)];
                    broadcast(w, lead.laneWeights[static_cast<std::size_t>(3 * j + t)]);
                }
            }
        }
        LaneDemodulator d;
        for (int l = 0; l < lanes; ++l) {
            const Impl& m = *meters[l < used ? l : 0];
            d.samples[l] = samples[l < used ? l : 0] + from;
            d.acc[0][l] = m.acc0;
            d.acc[1][l] = m.acc1;
            d.acc[2][l] = m.acc2;
        }
        d.phase = lead.phase;
        d.blocks = lead.blocks;
        const int outputs = demodulateLanes(d, count, r, lead.laneWeights.data(), lead.position, values,
                                            lead.ats.data());
        if (!d.finite) {
            int outputs = 0;
            for (int c = 0; c < used; ++c) {
                outputs = meters[c]->demodulate(samples[c] + from, count);  // the same for all: in step
            }
            for (int k = 0; k < outputs; ++k) {
                const std::size_t at = static_cast<std::size_t>(k);
                unsigned char gap = 0;
                for (int l = 0; l < lanes; ++l) {
                    const Impl& m = *meters[l < used ? l : 0];
                    values[k][l] = m.squares[at];
                    gap |= m.gaps[at];
                }
                anyGaps[k] = gap;
            }
            return outputs;
        }
        // Only a missing sample before these reaches them: the first few.
        const unsigned long long reach = 3 * static_cast<unsigned long long>(r);
        std::memset(anyGaps, 0, static_cast<std::size_t>(outputs));
        for (int c = 0; c < used; ++c) {
            Impl& m = *meters[c];
            std::memset(m.gaps.data(), 0, static_cast<std::size_t>(outputs));
            for (int k = 0; k < outputs && m.missingEnd > 0 && lead.ats[static_cast<std::size_t>(k)] + 1 - m.missingEnd < reach; ++k) {
                m.gaps[static_cast<std::size_t>(k)] = 1;
                anyGaps[k] = 1;
            }
            m.position += static_cast<unsigned long long>(count);
            m.phase = d.phase;
            m.blocks = d.blocks;
            m.acc0 = d.acc[0][c];
            m.acc1 = d.acc[1][c];
            m.acc2 = d.acc[2][c];
        }
        return outputs;
    }

    // Decimated samples [from, to) of a group, all on the common path: the
    // filters in lanes (runLanes), their Pinst written over the squares they
    // came from, then each meter closes its intervals and classifies them.
    static void runGroup(Impl* const* meters, int used, int from, int to) {
        Impl& a = *meters[0];
        Lanes* values = a.laneValues.data();
        LaneChain s;
        Lanes counts;
        for (int l = 0; l < lanes; ++l) {
            const Impl& m = *meters[l < used ? l : 0];
            s.mean[l] = m.mean;
            s.level0[l] = m.level[0];
            s.level1[l] = m.level[1];
            s.hpIn[l] = m.highPassIn;
            s.hpOut[l] = m.highPassOut;
            s.smIn[l] = m.smoothingIn;
            s.smOut[l] = m.smoothingOut;
            for (int q = 0; q < 3; ++q) {
                s.low[q][0][l] = m.lowPass[q].s1;
                s.low[q][1][l] = m.lowPass[q].s2;
            }
            for (int q = 0; q < 2; ++q) {
                s.eye[q][0][l] = m.weighting[q].s1;
                s.eye[q][1][l] = m.weighting[q].s2;
            }
            counts[l] = static_cast<double>(m.meanCount + 1);  // the count at sample `from`
        }
        ChainCoefficients c;
        for (int q = 0; q < 3; ++q) {
            broadcast(a.lowPass[q], c.low[q]);
        }
        for (int q = 0; q < 2; ++q) {
            broadcast(a.weighting[q], c.eye[q]);
        }
        broadcast(a.meanAlpha, c.meanAlpha);
        broadcast(a.levelAlpha, c.levelAlpha);
        broadcast(a.highPassGain, c.highPassGain);
        broadcast(a.highPassFeedback, c.highPassFeedback);
        broadcast(a.smoothingGain, c.smoothingGain);
        broadcast(a.smoothingFeedback, c.smoothingFeedback);
        broadcast(a.scale, c.scale);
        broadcast(static_cast<double>(a.meanSamples), c.meanSamples);
        // The mean's weight is 1 / count until count reaches meanSamples.
        int late = from;
        for (int l = 0; l < used; ++l) {
            const unsigned long long first = meters[l]->meanCount + 1;
            if (first < a.meanSamples) {
                const unsigned long long lateHere = std::min<unsigned long long>(
                    static_cast<unsigned long long>(to), static_cast<unsigned long long>(from) + (a.meanSamples - first));
                late = std::max(late, static_cast<int>(lateHere));
            }
        }
        runLanes(s, c, values, from, late, to, counts);
        for (int l = 0; l < used; ++l) {
            Impl& m = *meters[l];
            m.classifyLane(values, l, a.ats.data(), from, to);
            m.meanCount += static_cast<unsigned long long>(to - from);
            m.mean = s.mean[l];
            m.level[0] = s.level0[l];
            m.level[1] = s.level1[l];
            m.highPassIn = s.hpIn[l];
            m.highPassOut = s.hpOut[l];
            m.smoothingIn = s.smIn[l];
            m.smoothingOut = s.smOut[l];
            for (int q = 0; q < 3; ++q) {
                m.lowPass[q].s1 = s.low[q][0][l];
                m.lowPass[q].s2 = s.low[q][1][l];
            }
            for (int q = 0; q < 2; ++q) {
                m.weighting[q].s1 = s.eye[q][0][l];
                m.weighting[q].s2 = s.eye[q][1][l];
            }
        }
    }

    // The rest of step() for Pinst values [from, to) in lane l of values,
    // taken at input positions ats: the intervals closed where a tick
    // falls, every value after settling classified, in order.
    void classifyLane(const Lanes* values, int l, const unsigned long long* ats, int from, int to) {
        int k = from;
        while (k < to) {
            // The values before the next tick, the settled ones of them classified.
            const int stop = static_cast<int>(std::lower_bound(ats + k, ats + to, nextTick) - ats);
            int settled = k;
            if (steps < settlingSamples) {
                settled += static_cast<int>(std::min<unsigned long long>(settlingSamples - steps,
                                                                         static_cast<unsigned long long>(stop - k)));
            }
            steps += static_cast<unsigned long long>(stop - k);
            classifyRun(values, l, settled, stop);
            k = stop;
            if (k < to) {
                ++steps;
                while (ats[k] >= nextTick) {
                    closeInterval();
                }
                if (steps > settlingSamples) {
                    classify(values[k][l]);
                }
                ++k;
            }
        }
    }

    // A sample at input position p that is not finite: its interval is
    // marked (intervals counted from 0, the open one being intervalIndex).
    void markMissing(unsigned long long p) {
        missingEnd = p + 1;
        if (!gapIntervals.empty() && p < tickSample(gapIntervals.back())) {
            return;  // in the interval marked last
        }
        long long k = gapIntervals.empty() ? intervalIndex : std::max(intervalIndex, gapIntervals.back() + 1);
        while (p >= tickSample(k)) {
            ++k;
        }
        gapIntervals.push_back(k);
    }

    // One decimated sample: the mean square over the decimation kernel, at
    // input sample `at`; `gap` when a missing sample lies in the kernel.
    void step(double square, unsigned long long at, bool gap) {
        // Whether this Pinst is measured: not while the band-pass's input is
        // bridged over a gap.
        bool measured = true;
        double pinst = 0.0;
        if (gap) {
            measured = false;
            if (meanCount > 0) {
                if (warmUp < warmUpSteps) {
                    warmUp = 0;  // switched on again after the gap, unmeasured
                    rewarming = true;
                } else {
                    if (!bridging) {
                        held = level[1];
                        bridging = true;
                    }
                    rejoin = 0;
                    pinst = lampEye(held);
                }
            }
        } else {
            if (square > 0.0 || meanCount > 0) {  // silence before the first voltage does not count
                ++meanCount;
                mean += (meanCount < meanSamples ? 1.0 / static_cast<double>(meanCount) : meanAlpha) * (square - mean);
            }
            // The low-pass starts in the steady state of the first value of
            // voltage (silence before it runs nothing), the high-pass a warm-up
            // later in the steady state of the low-pass's output then, when the
            // start of the ripple has left the low-pass: so the band-pass does
            // not see the voltage switched on. Until then Pinst is 0.
            if (meanCount > 0) {
                const bool restart = bridging && rejoin == 0;
                if (warmUp == 0 || restart) {
                    const double start = restart ? held : square;
                    for (Biquad& q : lowPass) {
                        q.s2 = (q.b2 - q.a2) * start;
                        q.s1 = (q.b1 - q.a1) * start + q.s2;
                    }
                    level[0] = level[1] = start;
                }
                double y = square;
                for (Biquad& q : lowPass) {
                    y = q.step(y);
                }
                level[0] += levelAlpha * (y - level[0]);
                level[1] += levelAlpha * (level[0] - level[1]);
                if (warmUp < warmUpSteps) {
                    highPassIn = y;
                    ++warmUp;
                    measured = !rewarming;
                    rewarming = rewarming && warmUp < warmUpSteps;
                } else {
                    if (bridging) {
                        // After a gap: the held level while the low-pass
                        // settles again, then faded over to its output.
                        ++rejoin;
                        if (rejoin <= warmUpSteps) {
                            y = held;
                        } else if (rejoin <= warmUpSteps + fadeSteps) {
                            const double w = 0.5 - 0.5 * std::cos(pi * static_cast<double>(rejoin - warmUpSteps) /
                                                                   static_cast<double>(fadeSteps));
                            y = held + w * (y - held);
                        }
                        bridging = rejoin < warmUpSteps + fadeSteps;
                        measured = false;
                    }
                    pinst = lampEye(y);
                }
            }
        }
        ++steps;
        while (at >= nextTick) {
            closeInterval();
        }
        if (!measured) {
            intervalBridged = true;
        } else if (steps > settlingSamples) {
            classify(pinst);
        }
    }

    // The band-pass from the low-pass's output y on, the weighting, squaring
    // and smoothing: Pinst.
    double lampEye(double y) {
        highPassOut = highPassGain * (y - highPassIn) + highPassFeedback * highPassOut;
        highPassIn = y;
        y = mean > 0.0 ? highPassOut / mean : 0.0;
        y = weighting[1].step(weighting[0].step(y));
        const double squared = y * y;
        smoothingOut = smoothingGain * (squared + smoothingIn) + smoothingFeedback * smoothingOut;
        smoothingIn = squared;
        return scale * smoothingOut;
    }

    void classify(double pinst) {
        if (!(pinst <= intervalMaximum)) {
            intervalMaximum = pinst;
        }
        if (!(pinst <= pinstMaximum)) {
            pinstMaximum = pinst;
        }
        // Values beyond the bins are not narrowed to float (no overflow).
        const uint32_t key = pinst < 1e30 ? floatBits(static_cast<float>(pinst)) >> 16 : highestKey;
        if (key < lowestKey) {
            ++underflow;
        } else if (key >= highestKey) {
            ++overflow;
        } else {
            ++histogram[key - lowestKey];
        }
        ++classified;
    }

    // classify() of values [from, to) of lane l, the interval not closing.
    void classifyRun(const Lanes* values, int l, int from, int to) {
        double intervalMax = intervalMaximum, pinstMax = pinstMaximum;
        // The smaller of the two, NaN when either is: a value not above it
        // changes neither.
        double lower = intervalMax <= pinstMax ? intervalMax : pinstMax <= intervalMax ? pinstMax : quietNaN;
        unsigned long long under = 0, over = 0;
        uint32_t* bins = histogram.data();
        for (int k = from; k < to; ++k) {
            const double pinst = values[k][l];
            if (!(pinst <= lower)) {
                if (!(pinst <= intervalMax)) {
                    intervalMax = pinst;
                }
                if (!(pinst <= pinstMax)) {
                    pinstMax = pinst;
                }
                lower = intervalMax <= pinstMax ? intervalMax : pinstMax <= intervalMax ? pinstMax : quietNaN;
            }
            const uint32_t key = pinst < 1e30 ? floatBits(static_cast<float>(pinst)) >> 16 : highestKey;
            const uint32_t bin = key - lowestKey;  // wraps round below the bins
            if (bin < binCount) {
                ++bins[bin];
            } else if (key < lowestKey) {
                ++under;
            } else {
                ++over;
            }
        }
        intervalMaximum = intervalMax;
        pinstMaximum = pinstMax;
        underflow += under;
        overflow += over;
        classified += static_cast<unsigned long long>(std::max(0, to - from));
    }

    // The level exceeded by `percent` % of the interval's values.
    double percentile(double percent) const {
        const double target = percent / 100.0 * static_cast<double>(classified);
        double above = static_cast<double>(overflow);
        if (above >= target) {
            const double lo = bitsFloat(highestKey << 16);
            return intervalMaximum - (target / above) * (intervalMaximum - lo);
        }
        for (uint32_t b = binCount; b-- > 0;) {
            const double count = histogram[b];
            if (count > 0.0 && above + count >= target) {
                const double lo = bitsFloat((lowestKey + b) << 16);
                const double hi = bitsFloat((lowestKey + b + 1) << 16);
                return hi - (target - above) / count * (hi - lo);
            }
            above += count;
        }
        return 0.0;  // below 2^-30
    }

    double severity() const {
        if (classified == 0) {
            return quietNaN;
        }
        const double p01 = percentile(0.1);
        const double p1s = (percentile(0.7) + percentile(1.0) + percentile(1.5)) / 3.0;
        const double p3s = (percentile(2.2) + percentile(3.0) + percentile(4.0)) / 3.0;
        const double p10s =
            (percentile(6.0) + percentile(8.0) + percentile(10.0) + percentile(13.0) + percentile(17.0)) / 5.0;
        const double p50s = (percentile(30.0) + percentile(50.0) + percentile(80.0)) / 3.0;
        return std::sqrt(0.0314 * p01 + 0.0525 * p1s + 0.0657 * p3s + 0.28 * p10s + 0.08 * p50s);
    }

    void closeInterval() {
        const double pst = severity();
        bool gap = intervalBridged;
        while (!gapIntervals.empty() && gapIntervals.front() <= intervalIndex) {
            gap = true;
            gapIntervals.pop_front();
        }
        shortTerm.push_back({pst, gap});
        std::fill(histogram.begin(), histogram.end(), 0u);
        underflow = overflow = classified = 0;
        intervalMaximum = 0.0;
        intervalBridged = false;
        const long long clock = clockBase + intervalIndex;
        const long long b = floorDiv(clock, shortTermPerLongTerm);
        if (blockOpen && b != block) {
            closeBlock();
        }
        if (!blockOpen) {
            blockOpen = true;
            block = b;
            cubes = 0.0;
            cubeCount = 0;
            blockGap = false;
        }
        blockGap = blockGap || gap;
        if (!std::isnan(pst)) {
            cubes += pst * pst * pst;
            ++cubeCount;
        }
        if (clock - b * shortTermPerLongTerm == shortTermPerLongTerm - 1) {
            closeBlock();
        }
        ++intervalIndex;
        nextTick = tickSample(intervalIndex);
    }

    void closeBlock() {
        longTerm.push_back({cubeCount > 0 ? std::cbrt(cubes / cubeCount) : quietNaN, blockGap});
        blockOpen = false;
    }

    static int take(std::deque<Severity>& queue, int capacity, double* out, bool withGaps, bool* gaps) {
        if (capacity < 0) {
            throw std::invalid_argument("FlickerMeter: negative capacity");
        }
        if (capacity > 0 && (out == nullptr || (withGaps && gaps == nullptr))) {
            throw std::invalid_argument("FlickerMeter: null array");
        }
        const std::size_t n = std::min(static_cast<std::size_t>(capacity), queue.size());
        for (std::size_t k = 0; k < n; ++k) {
            out[k] = queue[k].value;
            if (withGaps) {
                gaps[k] = queue[k].gap;
            }
        }
        queue.erase(queue.begin(), queue.begin() + static_cast<std::ptrdiff_t>(n));
        return static_cast<int>(n);
    }
};

FlickerMeter::FlickerMeter(double sampleRate, double nominalFrequency, double lampVoltage) : impl(nullptr) {
    if (!(nominalFrequency >= 40.0 && nominalFrequency <= 70.0)) {
        throw std::invalid_argument("FlickerMeter: the nominal frequency must lie between 40 and 70 Hz, not " +
                                    std::to_string(nominalFrequency));
    }
    if (!(sampleRate >= 20.0 * nominalFrequency && sampleRate <= 1e7)) {
        throw std::invalid_argument("FlickerMeter: the sample rate must lie between 20 times the nominal "
                                    "frequency and 1e7 per second, not " + std::to_string(sampleRate));
    }
    if (lampVoltage != 230.0 && lampVoltage != 120.0) {
        throw std::invalid_argument("FlickerMeter: the lamp voltage must be 230 or 120 V, not " +
                                    std::to_string(lampVoltage));
    }
    impl = new Impl(sampleRate, nominalFrequency, lampVoltage);
}

FlickerMeter::FlickerMeter(FlickerMeter&& other) noexcept : impl(other.impl) {
    other.impl = nullptr;
}

FlickerMeter& FlickerMeter::operator=(FlickerMeter&& other) noexcept {
    if (this != &other) {
        delete impl;
        impl = other.impl;
        other.impl = nullptr;
    }
    return *this;
}

FlickerMeter::~FlickerMeter() {
    delete impl;
}

double FlickerMeter::getSampleRate() const {
    return impl->sampleRate;
}

double FlickerMeter::getNominalFrequency() const {
    return impl->nominalFrequency;
}

double FlickerMeter::getLampVoltage() const {
    return impl->lampVoltage;
}

int FlickerMeter::getDecimationFactor() const {
    return impl->decimation;
}

void FlickerMeter::setClockOffset(double clockOffset) {
    if (!(std::fabs(clockOffset) <= timeLimit)) {
        throw std::invalid_argument("FlickerMeter: the clock offset must be finite and within 1e15 s");
    }
    if (impl->position > 0) {
        throw std::invalid_argument("FlickerMeter: the clock offset is set before the first sample");
    }
    impl->setClock(clockOffset);
}

double FlickerMeter::getClockOffset() const {
    return impl->clockOffset;
}

long long FlickerMeter::getFirstClockInterval() const {
    return impl->clockBase;
}

void FlickerMeter::addSamples(const float* samples, int count) {
    if (count <= 0) {
        return;
    }
    if (samples == nullptr) {
        throw std::invalid_argument("FlickerMeter: null samples");
    }
    impl->add(samples, count);
}

double FlickerMeter::getInstantaneousMaximum() {
    const double m = impl->pinstMaximum;
    impl->pinstMaximum = quietNaN;
    return m;
}

int FlickerMeter::getShortTermSeverities(int capacity, double* pst) {
    return Impl::take(impl->shortTerm, capacity, pst, false, nullptr);
}

int FlickerMeter::getLongTermSeverities(int capacity, double* plt) {
    return Impl::take(impl->longTerm, capacity, plt, false, nullptr);
}

int FlickerMeter::getShortTermSeverities(int capacity, double* pst, bool* gaps) {
    return Impl::take(impl->shortTerm, capacity, pst, true, gaps);
}

int FlickerMeter::getLongTermSeverities(int capacity, double* plt, bool* gaps) {
    return Impl::take(impl->longTerm, capacity, plt, true, gaps);
}

int FlickerMeter::getPendingShortTermCount() const {
    return static_cast<int>(impl->shortTerm.size());
}

int FlickerMeter::getPendingLongTermCount() const {
    return static_cast<int>(impl->longTerm.size());
}

void FlickerMeter::addSamples(FlickerMeter* const* meters, const float* const* samples, int meterCount, int count) {
    if (count <= 0 || meterCount <= 0) {
        return;
    }
    if (meters == nullptr || samples == nullptr) {
        throw std::invalid_argument("FlickerMeter: null meters or samples");
    }
    std::vector<Impl*> impls(static_cast<std::size_t>(meterCount));
    for (int c = 0; c < meterCount; ++c) {
        if (meters[c] == nullptr || meters[c]->impl == nullptr || samples[c] == nullptr) {
            throw std::invalid_argument("FlickerMeter: null meter or samples");
        }
        impls[static_cast<std::size_t>(c)] = meters[c]->impl;
    }
    // In step: the same settings and position, each meter once.
    bool inStep = true;
    for (int c = 1; c < meterCount && inStep; ++c) {
        inStep = impls[static_cast<std::size_t>(c)]->inStepWith(*impls[0]);
        for (int d = 0; d < c && inStep; ++d) {
            inStep = impls[static_cast<std::size_t>(c)] != impls[static_cast<std::size_t>(d)];
        }
    }
    if (!inStep) {
        for (int c = 0; c < meterCount; ++c) {
            impls[static_cast<std::size_t>(c)]->add(samples[c], count);
        }
        return;
    }
    Impl::addInStep(impls.data(), samples, count, meterCount);
}

unsigned long long FlickerMeter::getSamplePosition() const {
    return impl->position;
}
