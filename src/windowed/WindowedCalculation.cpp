#include "windowed/WindowedCalculation.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "maths/PowerSymmetricalComponents.h"
#include "windowed/Kernels.h"
#include "windowed/LaneFft.h"

#if POWERQUALITY_AVX2_KERNELS
#include <immintrin.h>
#endif

namespace {

constexpr double degreesPerRadian = 57.29577951308232;
constexpr double pi = 3.141592653589793;

// Four floats of an SSE register; loads and stores may be unaligned.
typedef float v4 __attribute__((vector_size(16), aligned(4), may_alias));

// The channels of a window: waveform item and what it is.
enum class Kind { Voltage, Current, LineToLine };

struct Channel {
    unsigned short item;  // waveform item: 0-2 voltages, 3-5 currents, 6-8 line-to-line
    unsigned short phase;
    Kind kind;
};

// The channels of a window in their order (voltage, current, line-to-line
// of phase 1, then of phase 2, ...), at most nine.
class Channels {
public:
    void push_back(const Channel& c) { channel[count++] = c; }
    size_t size() const { return count; }
    const Channel& operator[](size_t k) const { return channel[k]; }

private:
    Channel channel[9];
    size_t count = 0;
};

// A signalling frequency within this share of the line spacing of a line is
// read from that line alone; any other from the four lines around it.
constexpr double signallingOnLine = 0.01;

// RMS value of a signalling frequency F from the squared RMS lines power[k]
// of a window of exact length W samples whose lines are dFrequency apart:
// line round(F / d) alone when F lies within signallingOnLine of the spacing
// from it, else the root sum of squares of lines floor(F / d) - 1 to
// floor(F / d) + 2. NaN when one of these lines is DC or not below half the
// sample rate (2k >= W).
double signallingValue(const double* power, size_t lines, double dFrequency, double exactLength, double frequency) {
    const double x = frequency / dFrequency;
    const double nearest = std::round(x);
    const bool onLine = std::fabs(x - nearest) <= signallingOnLine;
    const double first = onLine ? nearest : std::floor(x) - 1.0;
    const double last = onLine ? nearest : std::floor(x) + 2.0;
    if (!(first >= 1.0) || !(2.0 * last < exactLength) || !(last < static_cast<double>(lines))) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    double sum = 0.0;
    for (size_t k = static_cast<size_t>(first); k <= static_cast<size_t>(last); ++k) {
        sum += power[k];
    }
    return std::sqrt(sum);
}

// Angle of a phasor in degrees, in (-180, 180].
double degreesOf(std::complex<double> z) { return std::atan2(z.imag(), z.real()) * degreesPerRadian; }

double wrapDegrees(double angle) {
    if (angle > 180.0) {
        return angle - 360.0;
    }
    if (angle <= -180.0) {
        return angle + 360.0;
    }
    return angle;
}

// Sum and sum of squares of n samples, in double precision. Four partial
// sums (samples n = 4m + lane), added at the end, keep the additions from
// waiting for one another; each lane adds in sample order.
POWERQUALITY_KERNEL_INLINE void sumAndSquaresBody(const float* x, unsigned int n, double& sum, double& squares) {
    // Four doubles: two SSE2 registers, or one AVX register in the AVX2 copy.
    typedef double v4d __attribute__((vector_size(32)));
    v4d s4 = {0.0, 0.0, 0.0, 0.0}, q4 = {0.0, 0.0, 0.0, 0.0};
    unsigned int k = 0;
    for (; k + 4 <= n; k += 4) {
        const v4d a = __builtin_convertvector(*reinterpret_cast<const v4*>(x + k), v4d);
        s4 += a;
        q4 += a * a;
    }
    double s[4] = {s4[0], s4[1], s4[2], s4[3]};
    double q[4] = {q4[0], q4[1], q4[2], q4[3]};
    for (unsigned int lane = 0; k < n; ++k, ++lane) {
        const double v = x[k];
        s[lane] += v;
        q[lane] += v * v;
    }
    sum = (s[0] + s[1]) + (s[2] + s[3]);
    squares = (q[0] + q[1]) + (q[2] + q[3]);
}

// The single-precision transform (and the interpolation before it) adds up
// to a few thousand samples times their weights: samples beyond 2^96, far
// beyond any recording but finite, could overflow it. Such a window's
// samples are scaled down by a power of two after their sums are taken, so
// that the largest lies in [2^95, 2^96), and the lines and the sums of
// products are scaled back in double. The scaling is exact, but for samples
// that fall below the smallest normal float (below 2^-94 beside one beyond
// 2^96: far below the transform's rounding).
float largestMagnitude(const float* x, unsigned int n) {
    float largest = 0.0f;
    for (unsigned int k = 0; k < n; ++k) {
        largest = std::max(largest, std::fabs(x[k]));
    }
    return largest;
}

// The shift for a window whose largest |sample| is largest: 0 (the samples as
// they are, the bits of every ordinary window) up to 2^96 and for samples
// that are not finite.
int hugeShift(float largest) {
    return largest > 0x1p96f && std::isfinite(largest) ? std::ilogb(largest) - 95 : 0;
}

// Sum of the products of n sample pairs, with partial sums as above.
POWERQUALITY_KERNEL_INLINE double sumOfProductsBody(const float* u, const float* i, unsigned int n) {
    typedef double v4d __attribute__((vector_size(32)));
    v4d s4 = {0.0, 0.0, 0.0, 0.0};
    unsigned int k = 0;
    for (; k + 4 <= n; k += 4) {
        const v4d a = __builtin_convertvector(*reinterpret_cast<const v4*>(u + k), v4d);
        const v4d b = __builtin_convertvector(*reinterpret_cast<const v4*>(i + k), v4d);
        s4 += a * b;
    }
    double s[4] = {s4[0], s4[1], s4[2], s4[3]};
    for (unsigned int lane = 0; k < n; ++k, ++lane) {
        s[lane] += static_cast<double>(u[k]) * static_cast<double>(i[k]);
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}

// Four sequences into the four lanes: dst[4j + l] = source[l][j], j < n.
void interleave(const float* const* source, float* dst, unsigned int n) {
    const float* s0 = source[0];
    const float* s1 = source[1];
    const float* s2 = source[2];
    const float* s3 = source[3];
    unsigned int j = 0;
    for (; j + 4 <= n; j += 4) {
        const v4 a = *reinterpret_cast<const v4*>(s0 + j);
        const v4 b = *reinterpret_cast<const v4*>(s1 + j);
        const v4 c = *reinterpret_cast<const v4*>(s2 + j);
        const v4 d = *reinterpret_cast<const v4*>(s3 + j);
        const v4 ab01 = __builtin_shufflevector(a, b, 0, 4, 1, 5);
        const v4 ab23 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
        const v4 cd01 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
        const v4 cd23 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
        v4* out = reinterpret_cast<v4*>(dst + 4 * j);
        out[0] = __builtin_shufflevector(ab01, cd01, 0, 1, 4, 5);
        out[1] = __builtin_shufflevector(ab01, cd01, 2, 3, 6, 7);
        out[2] = __builtin_shufflevector(ab23, cd23, 0, 1, 4, 5);
        out[3] = __builtin_shufflevector(ab23, cd23, 2, 3, 6, 7);
    }
    for (; j < n; ++j) {
        dst[4 * j] = s0[j];
        dst[4 * j + 1] = s1[j];
        dst[4 * j + 2] = s2[j];
        dst[4 * j + 3] = s3[j];
    }
}

// The resampling interpolator: a Kaiser-windowed sinc of 24 taps (beta 6) over
// the samples i - 11 .. i + 12 around a point i + d, 0 <= d < 1. Its
// coefficients are tabulated at 256 fractions d and interpolated linearly
// between them, so that no window needs a sine or cosine of its own. The mean
// response over the fractions is tabulated too, against the frequency in
// radians per sample.
struct Interpolator {
    static const int taps = 24;
    static const int before = 11;  // samples before the point's own
    static const int phases = 256;
    static const int responsePoints = 512;  // over 0 .. pi
    float row[phases + 1][taps];
    float delta[phases][taps];
    std::complex<double> meanResponse[responsePoints + 1];

    // The tables: made once per process (interpolatorTables, below).
    Interpolator();

    // The coefficients at fraction d, four taps in each of the six vectors.
    POWERQUALITY_KERNEL_INLINE void coefficients(double d, v4* c) const {
        const double position = d * phases;
        int q = static_cast<int>(position);
        q = q < 0 ? 0 : (q >= phases ? phases - 1 : q);
        const float f = static_cast<float>(position - q);
        const v4* r = reinterpret_cast<const v4*>(row[q]);
        const v4* e = reinterpret_cast<const v4*>(delta[q]);
#pragma GCC unroll 6
        for (int m = 0; m < taps / 4; ++m) {
            c[m] = r[m] + e[m] * f;
        }
    }

    // The mean response at w radians per sample, 0 <= w <= pi.
    std::complex<double> response(double w) const {
        const double position = w / pi * responsePoints;
        int t = static_cast<int>(position);
        t = t < 0 ? 0 : (t >= responsePoints ? responsePoints - 1 : t);
        const double f = position - t;
        return meanResponse[t] + f * (meanResponse[t + 1] - meanResponse[t]);
    }
};

// Four doubles: two SSE2 registers, or one AVX register in the AVX2 copy.
typedef double d4 __attribute__((vector_size(32)));

// The modified Bessel function I0 of four arguments, each the series
// 1 + sum of term_k = term_{k-1} (x / 2k)^2 for k < 40, summed in order
// (the vectors by reference: no wide vector crosses a call of the baseline).
POWERQUALITY_KERNEL_INLINE void besselI0(const d4& x, d4& sum) {
    sum = d4{1.0, 1.0, 1.0, 1.0};
    d4 term = {1.0, 1.0, 1.0, 1.0};
    for (int k = 1; k < 40; ++k) {
        term *= (x / (2.0 * k)) * (x / (2.0 * k));
        sum += term;
    }
}

// The interpolator's tables. The coefficients: the sinc times the Kaiser
// window I0(beta sqrt(1 - r^2)) / I0(beta), r the tap's distance from the
// point over half the taps (12), four taps at a time. The mean response: a
// component e^{jwn} is interpolated at i + d as e^{jw(i + d)} H(w, d), H(w, d)
// = sum_m c_m(d) e^{jw(m - 11 - d)}; the mean over 32 fractions, summed over
// the fractions in order and within each over the taps, four frequencies at a
// time: e turned by the step e^{jw} as the complex product forms it, (a c -
// b d, a d + b c), and c_m e added. Every element takes the operations of the
// one-at-a-time sums in their order, so the tables have the same bits in
// either copy.
POWERQUALITY_KERNEL_INLINE void interpolatorTablesBody(Interpolator& table) {
    const int taps = Interpolator::taps;
    const int before = Interpolator::before;
    const int phases = Interpolator::phases;
    const int responsePoints = Interpolator::responsePoints;
    const double beta = 6.0;
    const d4 betas = {beta, beta, beta, beta};
    d4 norms;
    besselI0(betas, norms);
    const double norm = norms[0];
    const double reach = taps / 2.0;
    for (int q = 0; q <= phases; ++q) {
        const double d = static_cast<double>(q) / phases;
        for (int m0 = 0; m0 < taps; m0 += 4) {
            d4 argument = {0.0, 0.0, 0.0, 0.0};
            double sinc[4] = {0.0, 0.0, 0.0, 0.0};
            bool inside[4];
            for (int l = 0; l < 4; ++l) {
                const double u = m0 + l - before - d;
                const double r = u / reach;
                inside[l] = std::fabs(r) < 1.0;
                if (inside[l]) {
                    sinc[l] = u == 0.0 ? 1.0 : std::sin(pi * u) / (pi * u);
                    argument[l] = beta * std::sqrt(1.0 - r * r);
                }
            }
            d4 window;
            besselI0(argument, window);
            for (int l = 0; l < 4; ++l) {
                table.row[q][m0 + l] = static_cast<float>(inside[l] ? sinc[l] * window[l] / norm : 0.0);
            }
        }
    }
    for (int q = 0; q < phases; ++q) {
        for (int m = 0; m < taps; ++m) {
            table.delta[q][m] = table.row[q + 1][m] - table.row[q][m];
        }
    }
    const int fractions = 32;
    v4 lanes[fractions][taps / 4];
    for (int k = 0; k < fractions; ++k) {
        table.coefficients((k + 0.5) / fractions, lanes[k]);
    }
    for (int t0 = 0; t0 <= responsePoints; t0 += 4) {
        d4 w, stepRe, stepIm;
        for (int l = 0; l < 4; ++l) {
            w[l] = pi * (t0 + l) / responsePoints;
            stepRe[l] = std::cos(w[l]);
            stepIm[l] = std::sin(w[l]);
        }
        d4 meanRe = {0.0, 0.0, 0.0, 0.0};
        d4 meanIm = {0.0, 0.0, 0.0, 0.0};
        for (int k = 0; k < fractions; ++k) {
            const double d = (k + 0.5) / fractions;
            d4 eRe, eIm;
            for (int l = 0; l < 4; ++l) {
                const std::complex<double> e = std::polar(1.0, w[l] * (-before - d));
                eRe[l] = e.real();
                eIm[l] = e.imag();
            }
            for (int m = 0; m < taps; ++m) {
                const double c = static_cast<double>(lanes[k][m / 4][m % 4]);
                meanRe += c * eRe;
                meanIm += c * eIm;
                const d4 turnedRe = eRe * stepRe - eIm * stepIm;
                eIm = eRe * stepIm + eIm * stepRe;
                eRe = turnedRe;
            }
        }
        for (int l = 0; l < 4 && t0 + l <= responsePoints; ++l) {
            table.meanResponse[t0 + l] = std::complex<double>(meanRe[l], meanIm[l]) / static_cast<double>(fractions);
        }
    }
}

#if POWERQUALITY_AVX2_KERNELS
POWERQUALITY_TARGET_AVX2 void interpolatorTablesAvx2(Interpolator& table) { interpolatorTablesBody(table); }
#endif

void interpolatorTables(Interpolator& table) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        interpolatorTablesAvx2(table);
        return;
    }
#endif
    interpolatorTablesBody(table);
}

Interpolator::Interpolator() { interpolatorTables(*this); }

const Interpolator& interpolator() {
    static const Interpolator table;
    return table;
}

// Six-point Lagrange weights at u, nodes 0 .. 5 (the window's ends, where the
// 24 samples around a point are not all inside the window).
// Weight m is the product of u - k over the nodes k other than m, taken in
// the order of k, over its denominator: the products of the first m factors
// (taken once for all weights) continued with the factors after m.
// Inlined into each copy, so that the AVX2 copy's calls do not go through
// code of the baseline instruction set.
POWERQUALITY_KERNEL_INLINE void lagrangeWeights(double u, float* weights) {
    static const double denominators[6] = {-120.0, 24.0, -12.0, 12.0, -24.0, 120.0};
    // The loops unrolled whole: every product in registers.
    double factor[6];
#pragma GCC unroll 6
    for (int k = 0; k < 6; ++k) {
        factor[k] = u - k;
    }
    // leading[m] = factor[0] x ... x factor[m - 1], from the left (1 for m = 0).
    double leading[6];
    leading[0] = 1.0;
#pragma GCC unroll 6
    for (int m = 1; m < 6; ++m) {
        leading[m] = leading[m - 1] * factor[m - 1];
    }
#pragma GCC unroll 6
    for (int m = 0; m < 6; ++m) {
        double product = leading[m];
#pragma GCC unroll 6
        for (int k = m + 1; k < 6; ++k) {
            product *= factor[k];
        }
        weights[m] = static_cast<float>(product / denominators[m]);
    }
}

// Horizontal sums of four vectors, (a0 + a1) + (a2 + a3) and alike, into the
// four lanes of one: the additions of the sums taken one vector at a time.
POWERQUALITY_KERNEL_INLINE v4 laneSums(v4 a, v4 b, v4 c, v4 d) {
    const v4 ab = __builtin_shufflevector(a, b, 0, 2, 4, 6) + __builtin_shufflevector(a, b, 1, 3, 5, 7);
    const v4 cd = __builtin_shufflevector(c, d, 0, 2, 4, 6) + __builtin_shufflevector(c, d, 1, 3, 5, 7);
    return __builtin_shufflevector(ab, cd, 0, 2, 4, 6) + __builtin_shufflevector(ab, cd, 1, 3, 5, 7);
}

// The interpolated point of one channel from its 24 samples s and the
// coefficients w, as four partial sums in the lanes.
POWERQUALITY_KERNEL_INLINE v4 tapSums(const v4* w, const float* samples) {
    const v4* s = reinterpret_cast<const v4*>(samples);
    return (w[0] * s[0] + w[1] * s[1]) + (w[2] * s[2] + w[3] * s[3]) + (w[4] * s[4] + w[5] * s[5]);
}

// The groups of four lanes of the FFT input: batch b's real parts, then its
// imaginary parts; channel c goes to batch c / 8, lane (c % 8) / 2, the real
// part for even c, the imaginary part for odd. A group without a channel is
// cleared and left out.
struct ResampleGroup {
    const float* x[4];
    unsigned int count;  // channels present, lanes 0 .. count - 1
    float* out;
};

POWERQUALITY_KERNEL_INLINE size_t resampleGroups(const float* const* x, size_t channelCount, float* re, float* im,
                                                 size_t batches, size_t batchLength, ResampleGroup* groups) {
    size_t groupCount = 0;
    for (size_t b = 0; b < batches; ++b) {
        for (size_t part = 0; part < 2; ++part) {
            ResampleGroup& g = groups[groupCount++];
            g.count = 0;
            g.out = (part == 0 ? re : im) + b * batchLength;
            for (size_t l = 0; l < 4; ++l) {
                const size_t c = 8 * b + 2 * l + part;
                if (c < channelCount) {
                    g.x[g.count++] = x[c];
                }
            }
            if (g.count == 0) {
                std::fill(g.out, g.out + batchLength, 0.0f);
                --groupCount;
            }
        }
    }
    return groupCount;
}

// The points go in blocks: first the coefficients of every point of the
// block (independent of one another, so that their long chains of
// conversions and table reads overlap), then the channels' sums. The
// coefficients of points j0 .. j0 + count - 1: the interpolator's, with
// bases[k] the first sample read, or within its reach of the window's ends
// the six Lagrange weights (in the first six taps), with bases[k] -1 - the
// first of their nodes.
const unsigned int resampleBlock = 32;

POWERQUALITY_KERNEL_INLINE void blockCoefficients(const Interpolator& table, unsigned int j0, unsigned int count,
                                                  double step, unsigned int N, v4 (*coefficients)[6],
                                                  long long* bases) {
    for (unsigned int k = 0; k < count; ++k) {
        const double t = (j0 + k) * step;
        // t is not negative: the conversion is the floor.
        const long long i = static_cast<long long>(t);
        const long long base = i - Interpolator::before;
        if (base >= 0 && base + Interpolator::taps <= static_cast<long long>(N)) {
            table.coefficients(t - static_cast<double>(i), coefficients[k]);
            bases[k] = base;
        } else {
            const long long first = std::max<long long>(0, std::min<long long>(i - 2, static_cast<long long>(N) - 6));
            float weights[6];
            lagrangeWeights(t - static_cast<double>(first), weights);
            coefficients[k][0] = v4{weights[0], weights[1], weights[2], weights[3]};
            coefficients[k][1] = v4{weights[4], weights[5], 0.0f, 0.0f};
            bases[k] = -1 - first;
        }
    }
}

// The point at `at` of every group from the six Lagrange weights in w over
// the samples first .. first + 5.
POWERQUALITY_KERNEL_INLINE void lagrangePoint(const v4* w, long long first, const ResampleGroup* groups,
                                              size_t groupCount, size_t at) {
    const float weights[6] = {w[0][0], w[0][1], w[0][2], w[0][3], w[1][0], w[1][1]};
    for (size_t n = 0; n < groupCount; ++n) {
        const ResampleGroup& g = groups[n];
        v4 sums = {0.0f, 0.0f, 0.0f, 0.0f};
        for (unsigned int l = 0; l < g.count; ++l) {
            const float* s = g.x[l] + first;
            sums[l] = weights[0] * s[0] + weights[1] * s[1] + weights[2] * s[2] + weights[3] * s[3] +
                      weights[4] * s[4] + weights[5] * s[5];
        }
        *reinterpret_cast<v4*>(g.out + at) = sums;
    }
}

// Resamples the channelCount channels x (N samples each) onto the M points
// of a window of exact length W into the FFT input (see resampleGroups);
// lanes without a channel read 0. The four channels that share the real (or
// the imaginary) parts of a batch are summed together and stored as one
// vector; the coefficients of a point are made once for all channels.
void resampleBaseline(const float* const* x, size_t channelCount, float* re, float* im, size_t batches,
                      size_t batchLength, unsigned int N, unsigned int M, double exactLength) {
    const Interpolator& table = interpolator();
    static_assert(Interpolator::taps == 24, "six vectors of four taps");
    ResampleGroup groups[4];
    const size_t groupCount = resampleGroups(x, channelCount, re, im, batches, batchLength, groups);
    const double step = exactLength / M;
    v4 coefficients[resampleBlock][6];
    long long bases[resampleBlock];
    for (unsigned int j0 = 0; j0 < M; j0 += resampleBlock) {
        const unsigned int count = std::min(resampleBlock, M - j0);
        blockCoefficients(table, j0, count, step, N, coefficients, bases);
        for (unsigned int k = 0; k < count; ++k) {
            const size_t at = 4 * static_cast<size_t>(j0 + k);
            const v4* w = coefficients[k];
            const long long base = bases[k];
            if (base < 0) {
                lagrangePoint(w, -1 - base, groups, groupCount, at);
                continue;
            }
            for (size_t n = 0; n < groupCount; ++n) {
                const ResampleGroup& g = groups[n];
                // A lane without a channel sums zeros: +0, as the lane is cleared.
                const v4 zero = {0.0f, 0.0f, 0.0f, 0.0f};
                const v4 a = tapSums(w, g.x[0] + base);
                const v4 b = g.count > 1 ? tapSums(w, g.x[1] + base) : zero;
                const v4 c = g.count > 2 ? tapSums(w, g.x[2] + base) : zero;
                const v4 d = g.count > 3 ? tapSums(w, g.x[3] + base) : zero;
                *reinterpret_cast<v4*>(g.out + at) = laneSums(a, b, c, d);
            }
        }
    }
}

#if POWERQUALITY_AVX2_KERNELS
// The AVX2 copy of resampleBaseline, the same sums in the same order. The
// real and imaginary channels of a lane are first interleaved sample by sample
// (pairs: r0 i0 r1 i1 ...), so that eight floats read at once hold taps
// 4m .. 4m + 3 of both, and the coefficients, each one twice (w0 w0 w1 w1 ...),
// multiply them without a shuffle: element 2l of the six products' sum is
// lane l's partial sum of the real channel, element 2l + 1 that of the
// imaginary one, formed as tapSums forms them. The lanes' sums then follow
// laneSums, four lanes at a time.
// r[0..n) and i[0..n) into pairs[0..2n) as r0 i0 r1 i1 ...; i null: zeros.
POWERQUALITY_TARGET_AVX2 void interleavePair(const float* r, const float* i, unsigned int n, float* pairs) {
    unsigned int k = 0;
    for (; k + 8 <= n; k += 8) {
        const __m256 a = _mm256_loadu_ps(r + k);
        const __m256 b = i != nullptr ? _mm256_loadu_ps(i + k) : _mm256_setzero_ps();
        const __m256 low = _mm256_unpacklo_ps(a, b);   // r0 i0 r1 i1 | r4 i4 r5 i5
        const __m256 high = _mm256_unpackhi_ps(a, b);  // r2 i2 r3 i3 | r6 i6 r7 i7
        _mm256_storeu_ps(pairs + 2 * k, _mm256_permute2f128_ps(low, high, 0x20));
        _mm256_storeu_ps(pairs + 2 * k + 8, _mm256_permute2f128_ps(low, high, 0x31));
    }
    for (; k < n; ++k) {
        pairs[2 * k] = r[k];
        pairs[2 * k + 1] = i != nullptr ? i[k] : 0.0f;
    }
}

// The partial sums of one lane (pairs p from the point's first sample on):
// ((x0 + x1) + (x2 + x3)) + (x4 + x5), x_m the products of taps 4m .. 4m + 3.
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE __m256 pairSums(const __m256* w, const float* p) {
    const __m256 x0 = _mm256_mul_ps(w[0], _mm256_loadu_ps(p));
    const __m256 x1 = _mm256_mul_ps(w[1], _mm256_loadu_ps(p + 8));
    const __m256 x2 = _mm256_mul_ps(w[2], _mm256_loadu_ps(p + 16));
    const __m256 x3 = _mm256_mul_ps(w[3], _mm256_loadu_ps(p + 24));
    const __m256 x4 = _mm256_mul_ps(w[4], _mm256_loadu_ps(p + 32));
    const __m256 x5 = _mm256_mul_ps(w[5], _mm256_loadu_ps(p + 40));
    return _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(x0, x1), _mm256_add_ps(x2, x3)), _mm256_add_ps(x4, x5));
}

// laneSums of four lanes' partial sums s0 .. s3 (each a0 b0 a1 b1 | a2 b2 a3
// b3, a the real channel's, b the imaginary one's): the real channels'
// (a0 + a1) + (a2 + a3) in the low half, the imaginary ones' in the high.
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE __m256 pairLaneSums(__m256 s0, __m256 s1, __m256 s2, __m256 s3) {
    // (a0 + a1, b0 + b1, a0' + a1', b0' + b1' | a2 + a3, ...) of s0 and s1 (') and alike.
    const __m256 h01 = _mm256_add_ps(_mm256_shuffle_ps(s0, s1, _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm256_shuffle_ps(s0, s1, _MM_SHUFFLE(3, 2, 3, 2)));
    const __m256 h23 = _mm256_add_ps(_mm256_shuffle_ps(s2, s3, _MM_SHUFFLE(1, 0, 1, 0)),
                                     _mm256_shuffle_ps(s2, s3, _MM_SHUFFLE(3, 2, 3, 2)));
    // Low halves plus high halves: A0 B0 A1 B1 | A2 B2 A3 B3.
    const __m256 sums = _mm256_add_ps(_mm256_permute2f128_ps(h01, h23, 0x20), _mm256_permute2f128_ps(h01, h23, 0x31));
    return _mm256_permutevar8x32_ps(sums, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7));
}

// The lanes of one batch: their interleaved channels, and a mask that keeps
// the real channel's elements of a lane without an imaginary one (whose
// imaginary part then reads +0, as a cleared lane does) and all of the others.
struct PairLanes {
    const float* pairs[4];
    __m256 keep[4];
    float* re;
    float* im;
};

// One point of the count lanes of a batch from the six coefficient vectors w
// (each coefficient twice), the lanes' pairs read from offset on; lanes from
// the count on have no channel and sum zeros. Only the last lane can lack an
// imaginary channel (lastHalf), and only its sums are masked: for the others
// the mask keeps every element.
template <unsigned int count, bool lastHalf>
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE void pairPoint(const __m256* w, size_t offset, size_t at,
                                                                   const PairLanes& lanes) {
    __m256 sums[4];
#pragma GCC unroll 4
    for (unsigned int n = 0; n < 4; ++n) {
        if (n < count) {
            sums[n] = pairSums(w, lanes.pairs[n] + offset);
            if (lastHalf && n + 1 == count) {
                sums[n] = _mm256_and_ps(sums[n], lanes.keep[n]);
            }
        } else {
            sums[n] = _mm256_setzero_ps();
        }
    }
    const __m256 out = pairLaneSums(sums[0], sums[1], sums[2], sums[3]);
    _mm_storeu_ps(lanes.re + at, _mm256_castps256_ps128(out));
    _mm_storeu_ps(lanes.im + at, _mm256_extractf128_ps(out, 1));
}

// One point into the batches, first (count lanes) and, when secondCount is
// not 0, second (the ninth channel alone), from the coefficients c of taps
// 8m .. 8m + 7, the first sample the point reads at base.
template <unsigned int count, bool lastHalf, unsigned int secondCount>
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE void pairPoints(const __m256* c, long long base, size_t at,
                                                                    const PairLanes& first,
                                                                    const PairLanes& second) {
    const __m256i twice0 = _mm256_setr_epi32(0, 0, 1, 1, 2, 2, 3, 3);
    const __m256i twice1 = _mm256_setr_epi32(4, 4, 5, 5, 6, 6, 7, 7);
    const __m256 w[6] = {_mm256_permutevar8x32_ps(c[0], twice0), _mm256_permutevar8x32_ps(c[0], twice1),
                         _mm256_permutevar8x32_ps(c[1], twice0), _mm256_permutevar8x32_ps(c[1], twice1),
                         _mm256_permutevar8x32_ps(c[2], twice0), _mm256_permutevar8x32_ps(c[2], twice1)};
    const size_t offset = 2 * static_cast<size_t>(base);
    pairPoint<count, lastHalf>(w, offset, at, first);
    if (secondCount > 0) {
        pairPoint<secondCount, true>(w, offset, at, second);
    }
}

// blockCoefficients with the interpolator's coefficients formed eight at a
// time (each the same product and sum, rounded alike), and the positions,
// fractions and table rows of four points at a time: t = j x step, its
// integer part i, the fraction's position (t - i) x phases, its row q and
// the float (position - q), converted, subtracted and rounded as the
// baseline's double and int operations do (t stays below 2^31: the window
// is at most 2^31 samples long).
// Whether every point of the block took the interpolator (none the Lagrange
// weights) is returned.
POWERQUALITY_TARGET_AVX2 bool blockCoefficientsAvx2(const Interpolator& table, unsigned int j0, unsigned int count,
                                                    double step, unsigned int N, __m256 (*coefficients)[3],
                                                    long long* bases) {
    bool interpolated = true;
    const __m256d steps = _mm256_set1_pd(step);
    const __m256d phases = _mm256_set1_pd(static_cast<double>(Interpolator::phases));
    const __m128i lastPhase = _mm_set1_epi32(Interpolator::phases - 1);
    alignas(32) double ts[4];
    alignas(16) int is[4];
    alignas(16) int qs[4];
    alignas(16) float fs[4];
    for (unsigned int k0 = 0; k0 < count; k0 += 4) {
        const __m128i js = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(j0 + k0)), _mm_setr_epi32(0, 1, 2, 3));
        const __m256d t = _mm256_mul_pd(_mm256_cvtepi32_pd(js), steps);
        const __m128i i = _mm256_cvttpd_epi32(t);
        const __m256d position = _mm256_mul_pd(_mm256_sub_pd(t, _mm256_cvtepi32_pd(i)), phases);
        const __m128i q = _mm_max_epi32(_mm_setzero_si128(), _mm_min_epi32(_mm256_cvttpd_epi32(position), lastPhase));
        _mm256_store_pd(ts, t);
        _mm_store_si128(reinterpret_cast<__m128i*>(is), i);
        _mm_store_si128(reinterpret_cast<__m128i*>(qs), q);
        _mm_store_ps(fs, _mm256_cvtpd_ps(_mm256_sub_pd(position, _mm256_cvtepi32_pd(q))));
        const unsigned int points = std::min(4u, count - k0);
        // Four points whose first samples (which grow with j) all lie within
        // the interpolator's reach of the window's: the branch for each
        // point's reach left out.
        if (points == 4 && static_cast<long long>(is[0]) >= Interpolator::before &&
            static_cast<long long>(is[3]) - Interpolator::before + Interpolator::taps <= static_cast<long long>(N)) {
#pragma GCC unroll 4
            for (unsigned int l = 0; l < 4; ++l) {
                const __m256 f = _mm256_set1_ps(fs[l]);
                const float* row = table.row[qs[l]];
                const float* delta = table.delta[qs[l]];
#pragma GCC unroll 3
                for (int m = 0; m < 3; ++m) {
                    coefficients[k0 + l][m] = _mm256_add_ps(_mm256_loadu_ps(row + 8 * m),
                                                            _mm256_mul_ps(_mm256_loadu_ps(delta + 8 * m), f));
                }
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(bases + k0),
                                _mm256_cvtepi32_epi64(_mm_sub_epi32(i, _mm_set1_epi32(Interpolator::before))));
            continue;
        }
        for (unsigned int l = 0; l < points; ++l) {
            const unsigned int k = k0 + l;
            const long long base = static_cast<long long>(is[l]) - Interpolator::before;
            if (base >= 0 && base + Interpolator::taps <= static_cast<long long>(N)) {
                const __m256 f = _mm256_set1_ps(fs[l]);
                const float* row = table.row[qs[l]];
                const float* delta = table.delta[qs[l]];
#pragma GCC unroll 3
                for (int m = 0; m < 3; ++m) {
                    coefficients[k][m] = _mm256_add_ps(_mm256_loadu_ps(row + 8 * m),
                                                       _mm256_mul_ps(_mm256_loadu_ps(delta + 8 * m), f));
                }
                bases[k] = base;
            } else {
                const long long first =
                    std::max<long long>(0, std::min<long long>(is[l] - 2, static_cast<long long>(N) - 6));
                float weights[6];
                lagrangeWeights(ts[l] - static_cast<double>(first), weights);
                coefficients[k][0] = _mm256_setr_ps(weights[0], weights[1], weights[2], weights[3], weights[4],
                                                    weights[5], 0.0f, 0.0f);
                bases[k] = -1 - first;
                interpolated = false;
            }
        }
    }
    return interpolated;
}

// The points of the window in blocks: the coefficients of a block's points
// first (blockCoefficientsAvx2), then the lanes' sums of each point.
template <unsigned int count, bool lastHalf, unsigned int secondCount>
POWERQUALITY_TARGET_AVX2 void resamplePoints(const Interpolator& table, double step, unsigned int N, unsigned int M,
                                             const PairLanes& first, const PairLanes& second,
                                             const ResampleGroup* groups, size_t groupCount) {
    __m256 coefficients[resampleBlock][3];
    long long bases[resampleBlock];
    for (unsigned int j0 = 0; j0 < M; j0 += resampleBlock) {
        const unsigned int points = std::min(resampleBlock, M - j0);
        if (blockCoefficientsAvx2(table, j0, points, step, N, coefficients, bases)) {
            for (unsigned int k = 0; k < points; ++k) {
                pairPoints<count, lastHalf, secondCount>(coefficients[k], bases[k], 4 * static_cast<size_t>(j0 + k),
                                                         first, second);
            }
            continue;
        }
        for (unsigned int k = 0; k < points; ++k) {
            const size_t at = 4 * static_cast<size_t>(j0 + k);
            if (bases[k] < 0) {
                lagrangePoint(reinterpret_cast<const v4*>(coefficients[k]), -1 - bases[k], groups, groupCount, at);
            } else {
                pairPoints<count, lastHalf, secondCount>(coefficients[k], bases[k], at, first, second);
            }
        }
    }
}

POWERQUALITY_TARGET_AVX2 void resampleAvx2(const float* const* x, size_t channelCount, float* re, float* im,
                                           size_t batches, size_t batchLength, unsigned int N, unsigned int M,
                                           double exactLength, float* pairs) {
    const Interpolator& table = interpolator();
    ResampleGroup groups[4];
    const size_t groupCount = resampleGroups(x, channelCount, re, im, batches, batchLength, groups);
    PairLanes lanes[2];
    const __m256 all = _mm256_castsi256_ps(_mm256_set1_epi32(-1));
    const __m256 realOnly = _mm256_castsi256_ps(_mm256_setr_epi32(-1, 0, -1, 0, -1, 0, -1, 0));
    for (size_t b = 0; b < batches; ++b) {
        PairLanes& l = lanes[b];
        l.re = re + b * batchLength;
        l.im = im + b * batchLength;
        for (unsigned int lane = 0; lane < 4; ++lane) {
            const size_t c = 8 * b + 2 * lane;
            l.pairs[lane] = nullptr;
            l.keep[lane] = c + 1 < channelCount ? all : realOnly;
            if (c < channelCount) {
                float* p = pairs + (4 * b + lane) * 2 * static_cast<size_t>(N);
                interleavePair(x[c], c + 1 < channelCount ? x[c + 1] : nullptr, N, p);
                l.pairs[lane] = p;
            }
        }
    }
    const double step = exactLength / M;
    const PairLanes& a = lanes[0];
    const PairLanes& b = lanes[1];
    // Channels 2l and 2l + 1 in lane l; the ninth alone in a second batch.
    switch (channelCount) {
        case 1:
            resamplePoints<1, true, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 2:
            resamplePoints<1, false, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 3:
            resamplePoints<2, true, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 4:
            resamplePoints<2, false, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 5:
            resamplePoints<3, true, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 6:
            resamplePoints<3, false, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 7:
            resamplePoints<4, true, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        case 8:
            resamplePoints<4, false, 0>(table, step, N, M, a, b, groups, groupCount);
            break;
        default:
            resamplePoints<4, false, 1>(table, step, N, M, a, b, groups, groupCount);
            break;
    }
}
#endif

// pairs: scratch for the AVX2 copy, 2N floats per lane ((channelCount + 1) / 2 lanes).
void resample(const float* const* x, size_t channelCount, float* re, float* im, size_t batches,
              size_t batchLength, unsigned int N, unsigned int M, double exactLength, float* pairs) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        resampleAvx2(x, channelCount, re, im, batches, batchLength, N, M, exactLength, pairs);
        return;
    }
#endif
    (void)pairs;
    resampleBaseline(x, channelCount, re, im, batches, batchLength, N, M, exactLength);
}

// The sums over n lines of Re and Im of Zu_k conj Zi_k. The products are
// written out as the complex product forms them, (a c - b (-d), a (-d) + b c);
// the product's recovery of infinities from a NaN result (which only lines
// that are not finite can take) is left to the complex product itself, taken
// again for all lines when a sum comes out NaN. The sums of all phases
// (count of them, one to three) go in one pass over the lines, each phase's
// in the order of its lines, so that the phases' additions do not wait for
// one another.
template <unsigned int Count>
POWERQUALITY_KERNEL_INLINE void spectrumPowerSums(const std::complex<double>* const* Zu,
                                                  const std::complex<double>* const* Zi, unsigned int n, double* re,
                                                  double* im) {
    double sumRe[Count], sumIm[Count];
    for (unsigned int p = 0; p < Count; ++p) {
        sumRe[p] = 0.0;
        sumIm[p] = 0.0;
    }
    for (unsigned int k = 0; k < n; ++k) {
#pragma GCC unroll 3
        for (unsigned int p = 0; p < Count; ++p) {
            const double a = Zu[p][k].real(), b = Zu[p][k].imag();
            const double c = Zi[p][k].real(), d = -Zi[p][k].imag();
            sumRe[p] += a * c - b * d;
            sumIm[p] += a * d + b * c;
        }
    }
    for (unsigned int p = 0; p < Count; ++p) {
        re[p] = sumRe[p];
        im[p] = sumIm[p];
    }
}

#if POWERQUALITY_AVX2_KERNELS
// The AVX2 copy: each phase's two sums in one register, (re, im) +=
// (a c - b d, a d + b c), the products (a c, a d) and (b d, b c) formed apart
// and joined by one subtraction and one addition (addsub), as the baseline
// forms them.
template <unsigned int Count>
POWERQUALITY_TARGET_AVX2 void spectrumPowerSumsAvx2(const std::complex<double>* const* Zu,
                                                    const std::complex<double>* const* Zi, unsigned int n, double* re,
                                                    double* im) {
    const __m128d negateImag = _mm_setr_pd(0.0, -0.0);
    const double* u[Count];
    const double* i[Count];
    __m128d sum[Count];
    for (unsigned int p = 0; p < Count; ++p) {
        u[p] = reinterpret_cast<const double*>(Zu[p]);
        i[p] = reinterpret_cast<const double*>(Zi[p]);
        sum[p] = _mm_setzero_pd();
    }
    for (size_t k = 0; k < 2 * static_cast<size_t>(n); k += 2) {
#pragma GCC unroll 3
        for (unsigned int p = 0; p < Count; ++p) {
            const __m128d ab = _mm_loadu_pd(u[p] + k);
            const __m128d cd = _mm_xor_pd(_mm_loadu_pd(i[p] + k), negateImag);  // (c, d)
            const __m128d products = _mm_mul_pd(_mm_unpacklo_pd(ab, ab), cd);                  // (a c, a d)
            const __m128d crossed = _mm_mul_pd(_mm_unpackhi_pd(ab, ab), _mm_shuffle_pd(cd, cd, 1));  // (b d, b c)
            sum[p] = _mm_add_pd(sum[p], _mm_addsub_pd(products, crossed));
        }
    }
    for (unsigned int p = 0; p < Count; ++p) {
        re[p] = _mm_cvtsd_f64(sum[p]);
        im[p] = _mm_cvtsd_f64(_mm_unpackhi_pd(sum[p], sum[p]));
    }
}
#endif

void spectrumPowers(const std::complex<double>* const* Zu, const std::complex<double>* const* Zi, unsigned int count,
                    unsigned int n, double* active, double* reactive) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        switch (count) {
            case 1:
                spectrumPowerSumsAvx2<1>(Zu, Zi, n, active, reactive);
                break;
            case 2:
                spectrumPowerSumsAvx2<2>(Zu, Zi, n, active, reactive);
                break;
            default:
                spectrumPowerSumsAvx2<3>(Zu, Zi, n, active, reactive);
                break;
        }
    } else
#endif
    {
        switch (count) {
            case 1:
                spectrumPowerSums<1>(Zu, Zi, n, active, reactive);
                break;
            case 2:
                spectrumPowerSums<2>(Zu, Zi, n, active, reactive);
                break;
            default:
                spectrumPowerSums<3>(Zu, Zi, n, active, reactive);
                break;
        }
    }
    for (unsigned int p = 0; p < count; ++p) {
        if (std::isnan(active[p]) || std::isnan(reactive[p])) {
            double re = 0.0;
            double im = 0.0;
            for (unsigned int k = 0; k < n; ++k) {
                const std::complex<double> s = Zu[p][k] * std::conj(Zi[p][k]);
                re += s.real();
                im += s.imag();
            }
            active[p] = re;
            reactive[p] = im;
        }
    }
}

// The correction of lines k = from .. half: the reciprocal mean response of
// the interpolation, conj(h) / |h|^2, where the line's frequency
// w = 2 pi k / W lies within half the sample rate (w <= pi) and |h|^2 is at
// least 0.25 (a response of at least 0.5); 1 for the other lines.
POWERQUALITY_KERNEL_INLINE void correctionsFrom(const Interpolator& table, double exactLength, unsigned int from,
                                                unsigned int half, std::complex<double>* correction) {
    unsigned int k = from;
    for (; k <= half; ++k) {
        const double w = 2.0 * pi * k / exactLength;
        if (w > pi) {
            break;
        }
        const std::complex<double> h = table.response(w);
        const double magnitude = std::norm(h);
        correction[k] = magnitude >= 0.25 ? std::conj(h) / magnitude : std::complex<double>(1.0, 0.0);
    }
    std::fill(correction + k, correction + half + 1, std::complex<double>(1.0, 0.0));
}

#if POWERQUALITY_AVX2_KERNELS
// The AVX2 copy: four lines at a time, each the operations of
// Interpolator::response and of the baseline copy in the same order (the
// response's two table entries gathered), the lines beyond half the sample
// rate or of too small a response left as they are; the last few lines as
// the baseline copy takes them.
// Four doubles at base[index] (the masked form, whose contents GCC sees defined).
POWERQUALITY_TARGET_AVX2 POWERQUALITY_KERNEL_INLINE __m256d gather(const double* base, __m128i index) {
    return _mm256_mask_i32gather_pd(_mm256_setzero_pd(), base, index, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)), 8);
}

POWERQUALITY_TARGET_AVX2 void correctionsAvx2(const Interpolator& table, double exactLength, unsigned int half,
                                              std::complex<double>* correction) {
    const __m256d twoPi = _mm256_set1_pd(2.0 * pi);
    const __m256d length = _mm256_set1_pd(exactLength);
    const __m256d halfTurn = _mm256_set1_pd(pi);
    const __m256d points = _mm256_set1_pd(static_cast<double>(Interpolator::responsePoints));
    const __m256d quarter = _mm256_set1_pd(0.25);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d sign = _mm256_set1_pd(-0.0);
    const __m128i lastPoint = _mm_set1_epi32(Interpolator::responsePoints - 1);
    const double* mean = reinterpret_cast<const double*>(table.meanResponse);
    unsigned int k = 1;
    for (; k + 3 <= half; k += 4) {
        const __m256d lines = _mm256_cvtepi32_pd(_mm_add_epi32(_mm_set1_epi32(static_cast<int>(k)),
                                                               _mm_setr_epi32(0, 1, 2, 3)));
        const __m256d w = _mm256_div_pd(_mm256_mul_pd(twoPi, lines), length);
        const __m256d within = _mm256_cmp_pd(w, halfTurn, _CMP_NGT_UQ);  // not w > pi
        const __m256d position = _mm256_mul_pd(_mm256_div_pd(w, halfTurn), points);
        __m128i t = _mm256_cvttpd_epi32(position);
        t = _mm_max_epi32(_mm_setzero_si128(), _mm_min_epi32(t, lastPoint));
        const __m256d f = _mm256_sub_pd(position, _mm256_cvtepi32_pd(t));
        const __m128i at = _mm_slli_epi32(t, 1);  // the real part of entry t, in doubles
        const __m256d r0 = gather(mean, at);
        const __m256d i0 = gather(mean + 1, at);
        const __m256d r1 = gather(mean + 2, at);
        const __m256d i1 = gather(mean + 3, at);
        const __m256d hr = _mm256_add_pd(r0, _mm256_mul_pd(_mm256_sub_pd(r1, r0), f));
        const __m256d hi = _mm256_add_pd(i0, _mm256_mul_pd(_mm256_sub_pd(i1, i0), f));
        const __m256d magnitude = _mm256_add_pd(_mm256_mul_pd(hr, hr), _mm256_mul_pd(hi, hi));
        const __m256d use = _mm256_and_pd(within, _mm256_cmp_pd(magnitude, quarter, _CMP_GE_OQ));
        const __m256d cr = _mm256_blendv_pd(one, _mm256_div_pd(hr, magnitude), use);
        const __m256d ci =
            _mm256_blendv_pd(_mm256_setzero_pd(), _mm256_div_pd(_mm256_xor_pd(hi, sign), magnitude), use);
        const __m256d low = _mm256_unpacklo_pd(cr, ci);   // lines k, k + 2
        const __m256d high = _mm256_unpackhi_pd(cr, ci);  // lines k + 1, k + 3
        double* out = reinterpret_cast<double*>(correction + k);
        _mm256_storeu_pd(out, _mm256_permute2f128_pd(low, high, 0x20));
        _mm256_storeu_pd(out + 4, _mm256_permute2f128_pd(low, high, 0x31));
        if (_mm256_movemask_pd(within) != 0xF) {
            // The lines from here on lie beyond half the sample rate.
            std::fill(correction + k + 4, correction + half + 1, std::complex<double>(1.0, 0.0));
            return;
        }
    }
    correctionsFrom(table, exactLength, k, half, correction);
}
#endif

// The corrections of lines 1 .. half (see correctionsFrom); line 0 is not
// corrected.
void corrections(const Interpolator& table, double exactLength, unsigned int half, std::complex<double>* correction) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        correctionsAvx2(table, exactLength, half, correction);
        return;
    }
#endif
    correctionsFrom(table, exactLength, 1, half, correction);
}

// The lines of the channels of one transformed batch (re, im: 4M floats
// each, lane l at 4j + l). Slot 2l + part is the channel in lane l's real
// (part 0) or imaginary (part 1) part; its lines Z_0 .. Z_{M/2} go to
// Z[slot], their squares to power[slot] and the sum of these, in the order of
// the lines, to squares[slot]. Two real channels share a lane as z = a + i b:
// A_k = (Z_k + conj Z_{M-k}) / 2, B_k = (Z_k - conj Z_{M-k}) / 2i; with (p, q)
// = (re, im) for a and (im, re) for b, the line is ((p_k + p_{M-k}) f, (q_k -
// q_{M-k}) g), g = f for a and -f for b (f half the RMS scale). Both channels
// of a lane take the same operations in the same order, so they go through
// one double-precision vector (a in element 0, b in element 1); only the
// first Lanes lanes are converted.
template <unsigned int Lanes, bool Corrected>
POWERQUALITY_KERNEL_INLINE void convertLineRange(const float* re, const float* im, unsigned int M, unsigned int pairs, double f,
                      const std::complex<double>* correction, std::complex<double>* const* Z,
                      double* const* power, double* squares) {
    typedef double v2d __attribute__((vector_size(16)));
    const v2d fs = {f, f};
    const v2d fg = {f, -f};
    v2d sum[Lanes];
    for (unsigned int l = 0; l < Lanes; ++l) {
        sum[l] = v2d{squares[2 * l], squares[2 * l + 1]};
    }
    for (unsigned int k = 1; k < pairs; ++k) {
        const v4 r = *reinterpret_cast<const v4*>(re + 4 * static_cast<size_t>(k));
        const v4 i = *reinterpret_cast<const v4*>(im + 4 * static_cast<size_t>(k));
        const v4 rm = *reinterpret_cast<const v4*>(re + 4 * static_cast<size_t>(M - k));
        const v4 im_ = *reinterpret_cast<const v4*>(im + 4 * static_cast<size_t>(M - k));
        v2d cr = {1.0, 1.0}, ci = {0.0, 0.0};
        if (Corrected) {
            cr = v2d{correction[k].real(), correction[k].real()};
            ci = v2d{correction[k].imag(), correction[k].imag()};
        }
#pragma GCC unroll 4
        for (unsigned int l = 0; l < Lanes; ++l) {
            const v2d at = {r[l], i[l]};
            const v2d mirror = {rm[l], im_[l]};
            const v2d sums = at + mirror;
            const v2d differences = at - mirror;
            v2d x = sums * fs;
            v2d y = __builtin_shufflevector(differences, differences, 1, 0) * fg;
            if (Corrected) {
                const v2d turned = x * cr - y * ci;
                y = x * ci + y * cr;
                x = turned;
            }
            const v2d p = x * x + y * y;
            sum[l] += p;
            Z[2 * l][k] = std::complex<double>(x[0], y[0]);
            Z[2 * l + 1][k] = std::complex<double>(x[1], y[1]);
            power[2 * l][k] = p[0];
            power[2 * l + 1][k] = p[1];
        }
    }
    for (unsigned int l = 0; l < Lanes; ++l) {
        squares[2 * l] = sum[l][0];
        squares[2 * l + 1] = sum[l][1];
    }
}

template <unsigned int Lanes>
POWERQUALITY_KERNEL_INLINE void convertLineRange(const float* re, const float* im, unsigned int M, unsigned int pairs, double f,
                      const std::complex<double>* correction, std::complex<double>* const* Z,
                      double* const* power, double* squares) {
    if (correction != nullptr) {
        convertLineRange<Lanes, true>(re, im, M, pairs, f, correction, Z, power, squares);
    } else {
        convertLineRange<Lanes, false>(re, im, M, pairs, f, correction, Z, power, squares);
    }
}

#if POWERQUALITY_AVX2_KERNELS
// convertLineRange for AVX2: lanes l and l + 2 go through one vector of four
// doubles (lane l's two channels in the low half, lane l + 2's in the high),
// every element the operation the two-element vector performs, in the same
// order, so the lines and their squares keep their bits.
template <unsigned int Lanes, bool Corrected>
POWERQUALITY_TARGET_AVX2 void convertLineRangeWide(const float* re, const float* im, unsigned int M,
                                                   unsigned int pairs, double f,
                                                   const std::complex<double>* correction,
                                                   std::complex<double>* const* Z, double* const* power,
                                                   double* squares) {
    // Group g: lanes g and g + step (up to two lanes: lanes 0 and 1 in one group).
    constexpr unsigned int step = Lanes > 2 ? 2 : 1;
    constexpr unsigned int groups = Lanes > 2 ? 2 : 1;
    const __m256d fs = _mm256_set1_pd(f);
    const __m256d fg = _mm256_setr_pd(f, -f, f, -f);
    __m256d sum[2];
    for (unsigned int g = 0; g < groups; ++g) {
        const unsigned int u = g + step;
        sum[g] = _mm256_setr_pd(squares[2 * g], squares[2 * g + 1], u < Lanes ? squares[2 * u] : 0.0,
                                u < Lanes ? squares[2 * u + 1] : 0.0);
    }
    for (unsigned int k = 1; k < pairs; ++k) {
        const __m256d r = _mm256_cvtps_pd(_mm_loadu_ps(re + 4 * static_cast<size_t>(k)));
        const __m256d i = _mm256_cvtps_pd(_mm_loadu_ps(im + 4 * static_cast<size_t>(k)));
        const __m256d rm = _mm256_cvtps_pd(_mm_loadu_ps(re + 4 * static_cast<size_t>(M - k)));
        const __m256d im_ = _mm256_cvtps_pd(_mm_loadu_ps(im + 4 * static_cast<size_t>(M - k)));
        // (re, im) of lanes g and g + step: unpacked, lanes 0 and 2, 1 and 3.
        __m256d at[2] = {_mm256_unpacklo_pd(r, i), _mm256_unpackhi_pd(r, i)};
        __m256d mirror[2] = {_mm256_unpacklo_pd(rm, im_), _mm256_unpackhi_pd(rm, im_)};
        if (step == 1) {
            at[0] = _mm256_permute2f128_pd(at[0], at[1], 0x20);
            mirror[0] = _mm256_permute2f128_pd(mirror[0], mirror[1], 0x20);
        }
        __m256d cr = _mm256_set1_pd(1.0), ci = _mm256_setzero_pd();
        if (Corrected) {
            cr = _mm256_set1_pd(correction[k].real());
            ci = _mm256_set1_pd(correction[k].imag());
        }
#pragma GCC unroll 2
        for (unsigned int g = 0; g < groups; ++g) {
            const __m256d sums = _mm256_add_pd(at[g], mirror[g]);
            const __m256d differences = _mm256_sub_pd(at[g], mirror[g]);
            __m256d x = _mm256_mul_pd(sums, fs);
            __m256d y = _mm256_mul_pd(_mm256_permute_pd(differences, 0x5), fg);
            if (Corrected) {
                const __m256d turned = _mm256_sub_pd(_mm256_mul_pd(x, cr), _mm256_mul_pd(y, ci));
                y = _mm256_add_pd(_mm256_mul_pd(x, ci), _mm256_mul_pd(y, cr));
                x = turned;
            }
            const __m256d p = _mm256_add_pd(_mm256_mul_pd(x, x), _mm256_mul_pd(y, y));
            sum[g] = _mm256_add_pd(sum[g], p);
            const __m256d first = _mm256_unpacklo_pd(x, y);   // (x, y) of the lanes' first channels
            const __m256d second = _mm256_unpackhi_pd(x, y);  // and of their second
            _mm_storeu_pd(reinterpret_cast<double*>(Z[2 * g] + k), _mm256_castpd256_pd128(first));
            _mm_storeu_pd(reinterpret_cast<double*>(Z[2 * g + 1] + k), _mm256_castpd256_pd128(second));
            const __m128d low = _mm256_castpd256_pd128(p);
            _mm_storel_pd(power[2 * g] + k, low);
            _mm_storeh_pd(power[2 * g + 1] + k, low);
            const unsigned int u = g + step;
            if (u < Lanes) {
                _mm_storeu_pd(reinterpret_cast<double*>(Z[2 * u] + k), _mm256_extractf128_pd(first, 1));
                _mm_storeu_pd(reinterpret_cast<double*>(Z[2 * u + 1] + k), _mm256_extractf128_pd(second, 1));
                const __m128d high = _mm256_extractf128_pd(p, 1);
                _mm_storel_pd(power[2 * u] + k, high);
                _mm_storeh_pd(power[2 * u + 1] + k, high);
            }
        }
    }
    for (unsigned int g = 0; g < groups; ++g) {
        squares[2 * g] = sum[g][0];
        squares[2 * g + 1] = sum[g][1];
        if (g + step < Lanes) {
            squares[2 * (g + step)] = sum[g][2];
            squares[2 * (g + step) + 1] = sum[g][3];
        }
    }
}

// convertLineRangeWide for lanes 1 to 4 (any more: 4), corrected or not.
POWERQUALITY_TARGET_AVX2 void convertLineRangeWide(unsigned int lanes, const float* re, const float* im,
                                                   unsigned int M, unsigned int pairs, double f,
                                                   const std::complex<double>* correction,
                                                   std::complex<double>* const* Z, double* const* power,
                                                   double* squares) {
#define POWERQUALITY_WIDE_LANES(n)                                                                     \
    if (correction != nullptr) {                                                                       \
        convertLineRangeWide<n, true>(re, im, M, pairs, f, correction, Z, power, squares);             \
    } else {                                                                                           \
        convertLineRangeWide<n, false>(re, im, M, pairs, f, correction, Z, power, squares);            \
    }
    switch (lanes) {
        case 1:
            POWERQUALITY_WIDE_LANES(1)
            break;
        case 2:
            POWERQUALITY_WIDE_LANES(2)
            break;
        case 3:
            POWERQUALITY_WIDE_LANES(3)
            break;
        default:
            POWERQUALITY_WIDE_LANES(4)
            break;
    }
#undef POWERQUALITY_WIDE_LANES
}
#endif

// The lines of the first `slots` slots of a batch (see convertLineRange).
// The AVX2 copy (wide) takes convertLineRangeWide for the lines between.
template <bool wide = false>
POWERQUALITY_KERNEL_INLINE void convertLinesBody(const float* re, const float* im, unsigned int M, unsigned int slots,
                                                 double f, double dcScale, const std::complex<double>* correction,
                                                 std::complex<double>* const* Z, double* const* power,
                                                 double* squares) {
    const unsigned int half = M / 2;
    std::fill(squares, squares + 8, 0.0);
    for (unsigned int slot = 0; slot < slots; ++slot) {
        const float* zp = (slot % 2 == 1 ? im : re) + slot / 2;
        Z[slot][0] = std::complex<double>(zp[0] * dcScale, 0.0);
        power[slot][0] = Z[slot][0].real() * Z[slot][0].real() + Z[slot][0].imag() * Z[slot][0].imag();
        squares[slot] = 0.0;
        squares[slot] += power[slot][0];
    }
    const unsigned int pairs = (M % 2 == 0) ? half : half + 1;  // lines 1 .. pairs - 1 have a mirror
#if POWERQUALITY_AVX2_KERNELS
    if (wide) {
        convertLineRangeWide((slots + 1) / 2, re, im, M, pairs, f, correction, Z, power, squares);
    } else
#endif
    switch ((slots + 1) / 2) {
        case 1:
            convertLineRange<1>(re, im, M, pairs, f, correction, Z, power, squares);
            break;
        case 2:
            convertLineRange<2>(re, im, M, pairs, f, correction, Z, power, squares);
            break;
        case 3:
            convertLineRange<3>(re, im, M, pairs, f, correction, Z, power, squares);
            break;
        default:
            convertLineRange<4>(re, im, M, pairs, f, correction, Z, power, squares);
            break;
    }
    if (M % 2 == 0) {
        for (unsigned int slot = 0; slot < slots; ++slot) {
            const float* zp = (slot % 2 == 1 ? im : re) + slot / 2;
            std::complex<double>& z = Z[slot][half];
            z = std::complex<double>(zp[4 * static_cast<size_t>(half)] * dcScale, 0.0);
            if (correction != nullptr) {
                z *= correction[half];
            }
            power[slot][half] = z.real() * z.real() + z.imag() * z.imag();
            squares[slot] += power[slot][half];
        }
    }
}

// The baseline and AVX2 copies of the kernels above (windowed/Kernels.h).
#if POWERQUALITY_AVX2_KERNELS
// The AVX2 copies of the sums: each four floats converted to four doubles in
// one instruction, then the body's additions and products, lane by lane in
// the same order (the loop unrolled, the additions still one after the
// other), and its tail.
POWERQUALITY_TARGET_AVX2 void sumAndSquaresAvx2(const float* x, unsigned int n, double& sum, double& squares) {
    __m256d s4 = _mm256_setzero_pd(), q4 = _mm256_setzero_pd();
    unsigned int k = 0;
#pragma GCC unroll 4
    for (; k + 4 <= n; k += 4) {
        const __m256d a = _mm256_cvtps_pd(_mm_loadu_ps(x + k));
        s4 = _mm256_add_pd(s4, a);
        q4 = _mm256_add_pd(q4, _mm256_mul_pd(a, a));
    }
    double s[4], q[4];
    _mm256_storeu_pd(s, s4);
    _mm256_storeu_pd(q, q4);
    for (unsigned int lane = 0; k < n; ++k, ++lane) {
        const double v = x[k];
        s[lane] += v;
        q[lane] += v * v;
    }
    sum = (s[0] + s[1]) + (s[2] + s[3]);
    squares = (q[0] + q[1]) + (q[2] + q[3]);
}

POWERQUALITY_TARGET_AVX2 double sumOfProductsAvx2(const float* u, const float* i, unsigned int n) {
    __m256d s4 = _mm256_setzero_pd();
    unsigned int k = 0;
#pragma GCC unroll 4
    for (; k + 4 <= n; k += 4) {
        s4 = _mm256_add_pd(s4, _mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(u + k)), _mm256_cvtps_pd(_mm_loadu_ps(i + k))));
    }
    double s[4];
    _mm256_storeu_pd(s, s4);
    for (unsigned int lane = 0; k < n; ++k, ++lane) {
        s[lane] += static_cast<double>(u[k]) * static_cast<double>(i[k]);
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}
#endif

void sumAndSquares(const float* x, unsigned int n, double& sum, double& squares) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        sumAndSquaresAvx2(x, n, sum, squares);
        return;
    }
#endif
    sumAndSquaresBody(x, n, sum, squares);
}

double sumOfProducts(const float* u, const float* i, unsigned int n) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        return sumOfProductsAvx2(u, i, n);
    }
#endif
    return sumOfProductsBody(u, i, n);
}
// The lines: the AVX2 copy with the wide range, by hand.
void convertLines(const float* re, const float* im, unsigned int M, unsigned int slots, double f, double dcScale,
                  const std::complex<double>* correction, std::complex<double>* const* Z, double* const* power,
                  double* squares) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        convertLinesBody<true>(re, im, M, slots, f, dcScale, correction, Z, power, squares);
        return;
    }
#endif
    convertLinesBody<false>(re, im, M, slots, f, dcScale, correction, Z, power, squares);
}

}  // namespace

struct WindowedCalculation::State {
    std::vector<float> samples[9];               // a window's samples per waveform item, where copied
    std::vector<std::complex<double>> lines[9];  // RMS phasors Z_0 .. Z_{M/2} per waveform item
    std::vector<double> degrees[6];              // angles of the lines hP per voltage and current, degrees
    std::vector<double> powers[9];               // |Z_k|^2 per waveform item
    std::vector<std::complex<double>> scratchLines;  // the lines of a lane without a channel
    std::vector<double> scratchPowers;
    std::vector<double> groups;                  // squared harmonic groups (or subgroups) of one channel
    std::vector<double> subgroups;               // squared inter-harmonic subgroups of one channel
    // Signalling voltages per results slot: phase p, frequency j at
    // p x F + j, for the F frequencies set when the slot's window was computed.
    std::vector<std::vector<double>> signalling;
    // FFT input and output: eight channels per batch, two (real and
    // imaginary part) in each of the four lanes; batch b at b x 4M.
    powerquality::AlignedFloats batchRe;
    powerquality::AlignedFloats batchIm;
    std::vector<float> zeros;  // the samples of a lane without a channel
    // The resampling's lanes, their two channels interleaved (AVX2 copy).
    powerquality::AlignedFloats pairs;
    // The reciprocal mean response of the interpolation per line (resampled
    // windows).
    std::vector<std::complex<double>> correction;
    // FFT plans of the last few lengths, the most recently used first: a
    // tracked frequency moves between a handful of lengths.
    std::vector<std::unique_ptr<LaneFft>> plans;

    LaneFft& plan(unsigned int M) {
        for (size_t k = 0; k < plans.size(); ++k) {
            if (plans[k]->size() == M) {
                std::rotate(plans.begin(), plans.begin() + static_cast<std::ptrdiff_t>(k),
                            plans.begin() + static_cast<std::ptrdiff_t>(k) + 1);
                return *plans.front();
            }
        }
        std::unique_ptr<LaneFft> made(new LaneFft(M));
        if (plans.size() >= 4) {
            plans.pop_back();
        }
        plans.insert(plans.begin(), std::move(made));
        return *plans.front();
    }
};

WindowedCalculation::WindowedCalculation() : state(new State()) {}

WindowedCalculation::~WindowedCalculation() = default;

const std::vector<double>& WindowedCalculation::signallingVoltages(unsigned int slot) const {
    static const std::vector<double> none;
    return slot < state->signalling.size() ? state->signalling[slot] : none;
}

bool WindowedCalculation::isDirectLength(unsigned long long samples) {
    if (samples == 0) {
        return false;
    }
    // Divisions by constants (which compile to multiplications): this runs
    // for every window, a few lengths each.
    while (samples % 2 == 0) {
        samples /= 2;
    }
    while (samples % 3 == 0) {
        samples /= 3;
    }
    while (samples % 5 == 0) {
        samples /= 5;
    }
    return samples == 1;
}

unsigned int WindowedCalculation::resampledLength(double exactLength) {
    if (!(exactLength > 0.0) || !(exactLength <= 2147483648.0)) {
        return 0;
    }
    unsigned long long n = static_cast<unsigned long long>(std::ceil(exactLength));
    n = (n + 3) / 4 * 4;
    while (!isDirectLength(n)) {
        n += 4;
    }
    return static_cast<unsigned int>(n);
}

void WindowedCalculation::calculate(const PowerConfig& config, PowerBuffers& buffers,
                                    const PowerResultsQueueItem& item, double exactLength, unsigned int slot) {
    State& st = *state;
    const unsigned int N = item.getLength();
    const unsigned int M = item.getFftInputLength();
    const unsigned int half = M / 2;
    const unsigned int P = item.getPeriodCount();
    const unsigned int H = item.getHarmonicLength();
    const unsigned int ringLength = buffers.getBufferLength();
    const unsigned int firstHarmonic = item.getFirstHarmonicSampleIndex();
    const unsigned int start = static_cast<unsigned int>(item.getFirstSampleIndex() % ringLength);
    const bool direct = (M == N && exactLength == static_cast<double>(N));

    const unsigned short phases = config.getPhasesCount();
    const unsigned short lineToLineCount = config.getLineToLineCount();
    const bool currents = config.currentEnabled;
    const bool inter = config.interHarmonicsEnabled;
    const bool thd = config.thdEnabled;
    const bool subgroupsOn = config.harmonicSubgroupsEnabled;

    // At most nine channels: held in place, no allocation per window.
    Channels channels;
    for (unsigned short p = 0; p < phases; ++p) {
        channels.push_back({p, p, Kind::Voltage});
        if (currents) {
            channels.push_back({static_cast<unsigned short>(3 + p), p, Kind::Current});
        }
        if (p < lineToLineCount) {
            channels.push_back({static_cast<unsigned short>(6 + p), p, Kind::LineToLine});
        }
    }

    const std::vector<double>& signallingFrequencies = config.signallingFrequencies;
    std::vector<double>* signalling = nullptr;
    if (!signallingFrequencies.empty()) {
        if (st.signalling.size() <= slot) {
            st.signalling.resize(slot + 1);
        }
        signalling = &st.signalling[slot];
        signalling->assign(phases * signallingFrequencies.size(), std::numeric_limits<double>::quiet_NaN());
    } else if (slot < st.signalling.size()) {
        st.signalling[slot].clear();
    }

    PowerResultsGeneral& raw = *buffers.generalResultsBuffer.getHostBufferAt(slot, 1, 0);
    std::memset(static_cast<void*>(&raw), 0, sizeof raw);

    // The samples and their sums; the FFT input of channel c goes to batch
    // c / 8, lane (c % 8) / 2, real part for even c, imaginary part for odd.
    const size_t channelCount = channels.size();
    const size_t batches = (channelCount + 7) / 8;
    const size_t batchLength = static_cast<size_t>(4) * M;
    st.batchRe.resize(batches * batchLength);
    st.batchIm.resize(batches * batchLength);
    double sums[9] = {};
    double squareSums[9] = {};
    float largest = 0.0f;  // of the window's samples, over all channels
    // The window's samples per waveform item: read in the ring where they
    // lie in one piece, else (and when they are scaled) copied out of it.
    const float* window[9] = {};
    for (size_t c = 0; c < channelCount; ++c) {
        const unsigned short item = channels[c].item;
        const float* ring = buffers.waveformBuffer.getHostBuffer(item);
        const unsigned int firstPart = std::min(N, ringLength - start);
        if (firstPart == N) {
            window[item] = ring + start;
        } else {
            std::vector<float>& x = st.samples[item];
            x.resize(N);
            std::memcpy(x.data(), ring + start, firstPart * sizeof(float));
            std::memcpy(x.data() + firstPart, ring, (N - firstPart) * sizeof(float));
            window[item] = x.data();
        }
        sumAndSquares(window[item], N, sums[c], squareSums[c]);
        // A sum of squares within 2^192 holds no sample beyond 2^96: only a
        // window beyond it (or not finite) needs the pass for its largest.
        if (!(squareSums[c] <= 0x1p192)) {
            largest = std::max(largest, largestMagnitude(window[item], N));
        }
    }
    // One shift for every channel, so that channels sharing a lane keep
    // their proportions (and a window scaled as a whole gives its lines
    // scaled).
    const int shift = hugeShift(largest);
    if (shift != 0) {
        for (size_t c = 0; c < channelCount; ++c) {
            const unsigned short item = channels[c].item;
            std::vector<float>& x = st.samples[item];
            if (window[item] != x.data()) {
                x.assign(window[item], window[item] + N);
            }
            for (float& v : x) {
                v = std::ldexp(v, -shift);
            }
            window[item] = x.data();
        }
    }
    if (direct) {
        st.zeros.assign(M, 0.0f);
        for (size_t b = 0; b < batches; ++b) {
            for (size_t part = 0; part < 2; ++part) {
                const float* source[4];
                for (size_t l = 0; l < 4; ++l) {
                    const size_t c = 8 * b + 2 * l + part;
                    source[l] = c < channelCount ? window[channels[c].item] : st.zeros.data();
                }
                interleave(source, (part == 0 ? st.batchRe : st.batchIm).data() + b * batchLength, M);
            }
        }
    }
    const Interpolator& table = interpolator();
    if (!direct) {
        const float* x[9];
        for (size_t c = 0; c < channelCount; ++c) {
            x[c] = window[channels[c].item];
        }
        st.pairs.resize(4 * batches * 2 * static_cast<size_t>(N));
        resample(x, channelCount, st.batchRe.data(), st.batchIm.data(), batches, batchLength, N, M, exactLength,
                 st.pairs.data());
    }
    LaneFft& fft = st.plan(M);
    for (size_t b = 0; b < batches; ++b) {
        fft.forward(st.batchRe.data() + b * batchLength, st.batchIm.data() + b * batchLength);
    }

    const double scale = std::sqrt(2.0) / M;
    const double dcScale = 1.0 / M;
    if (!direct) {
        // Lines above half the sample rate, and where the interpolation has
        // lost too much to restore (mean response below 0.5), stay as they are.
        st.correction.resize(half + 1);
        corrections(table, exactLength, half, st.correction.data());
    }

    // The lines of every channel, Z_0 .. Z_{M/2}, with their squares and the
    // sum of these (spectrumSquares, in the order of the lines).
    double spectrumSquares[9];
    for (size_t c = 0; c < channelCount; ++c) {
        st.lines[channels[c].item].resize(half + 1);
        st.powers[channels[c].item].resize(half + 1);
    }
    for (size_t b = 0; b < batches; ++b) {
        // Slot 2l + part: the channel 8b + 2l + part, or the scratch lines
        // for the imaginary part of a lane without a second channel.
        const unsigned int slots = static_cast<unsigned int>(std::min<size_t>(8, channelCount - 8 * b));
        std::complex<double>* Zs[8];
        double* powers[8];
        for (size_t slotOfLane = 0; slotOfLane < (slots + 1) / 2 * 2; ++slotOfLane) {
            const size_t c = 8 * b + slotOfLane;
            if (c < channelCount) {
                Zs[slotOfLane] = st.lines[channels[c].item].data();
                powers[slotOfLane] = st.powers[channels[c].item].data();
            } else {
                st.scratchLines.resize(half + 1);
                st.scratchPowers.resize(half + 1);
                Zs[slotOfLane] = st.scratchLines.data();
                powers[slotOfLane] = st.scratchPowers.data();
            }
        }
        double squares[8];
        convertLines(st.batchRe.data() + b * batchLength, st.batchIm.data() + b * batchLength, M, slots,
                     std::ldexp(0.5 * scale, shift), std::ldexp(dcScale, shift),
                     direct ? nullptr : st.correction.data(), Zs, powers, squares);
        for (size_t slotOfLane = 0; slotOfLane < 8 && 8 * b + slotOfLane < channelCount; ++slotOfLane) {
            spectrumSquares[8 * b + slotOfLane] = squares[slotOfLane];
        }
    }
    // The squares padded with zeros up to line H x P, beyond the last line a
    // harmonic group, subgroup or inter-harmonic subgroup reads ((H - 1) P + P - 1
    // at most).
    const size_t paddedLines = std::max<size_t>(half + 1, static_cast<size_t>(H) * P + 1);
    for (size_t c = 0; c < channelCount; ++c) {
        st.powers[channels[c].item].resize(paddedLines, 0.0);
    }

    // Everything that needs one channel only.
    for (size_t ci = 0; ci < channelCount; ++ci) {
        const Channel& c = channels[ci];
        const double sum = sums[ci];
        const double squares = squareSums[ci];
        const std::vector<std::complex<double>>& Z = st.lines[c.item];
        const std::vector<double>& power = st.powers[c.item];
        // Lines beyond M / 2 count 0: the squares run on as zeros up to the
        // last line a group reads.
        const double* padded = power.data();
        const auto line = [padded](unsigned long long k) { return padded[k]; };

        PowerResultsGeneralPhase& r = raw.phases[c.phase];
        switch (c.kind) {
            case Kind::Voltage:
                r.dcVoltage = sum;
                r.rmsVoltage = squares;
                r.spectrumRmsVoltage = spectrumSquares[ci];
                if (signalling != nullptr) {
                    const size_t count = signallingFrequencies.size();
                    for (size_t j = 0; j < count; ++j) {
                        (*signalling)[c.phase * count + j] =
                            signallingValue(power.data(), half + 1, item.getDFrequency(), exactLength,
                                            signallingFrequencies[j]);
                    }
                }
                break;
            case Kind::Current:
                r.dcCurrent = sum;
                r.rmsCurrent = squares;
                r.spectrumRmsCurrent = spectrumSquares[ci];
                break;
            case Kind::LineToLine:
                r.dcLineToLine = sum;
                r.rmsLineToLine = squares;
                r.spectrumRmsLineToLine = spectrumSquares[ci];
                break;
        }

        // Harmonic groups or subgroups (squares first, for the distortion sums).
        std::vector<double>& groups = st.groups;
        groups.assign(H, 0.0);
        for (unsigned int h = 1; h < H; ++h) {
            const unsigned long long centre = static_cast<unsigned long long>(h) * P;
            double g = 0.0;
            if (subgroupsOn) {
                g = line(centre);
                if (P >= 3) {
                    g += line(centre - 1) + line(centre + 1);
                }
            } else if (P % 2 == 0) {
                const unsigned int reach = P / 2;
                g = 0.5 * line(centre - reach) + 0.5 * line(centre + reach);
                for (unsigned long long k = centre - reach + 1; k < centre + reach; ++k) {
                    g += line(k);
                }
            } else {
                const unsigned int reach = (P - 1) / 2;
                for (unsigned long long k = centre - reach; k <= centre + reach; ++k) {
                    g += line(k);
                }
            }
            groups[h] = g;
        }
        float* harmonics = buffers.harmonicsBuffer.getHostBufferAt(firstHarmonic, H, c.item);
        harmonics[0] = static_cast<float>(Z[0].real());
        for (unsigned int h = 1; h < H; ++h) {
            harmonics[h] = static_cast<float>(std::sqrt(groups[h]));
        }

        const unsigned int highest = H - 1;
        const unsigned int thdHighest =
            config.thdHighestHarmonic < 0 ? 0u : std::min<unsigned int>(config.thdHighestHarmonic, highest);
        if (thd) {
            PowerResultsThd& d = *buffers.thdBuffer.getHostBufferAt(slot, 1, c.item);
            d = PowerResultsThd{};
            for (unsigned int h = 2; h <= thdHighest; ++h) {
                d.thd += groups[h];
                (h % 2 == 1 ? d.partialThd1 : d.partialThd2) += groups[h];
            }
            for (unsigned int h = 14; h <= std::min(40u, highest); ++h) {
                d.partialThd3 += h * groups[h];
                d.partialThd4 += groups[h];
            }
        }

        if (inter) {
            std::vector<double>& subgroups = st.subgroups;
            subgroups.assign(H, 0.0);
            // Each summed in a register from 0, in the order of its lines; four
            // subgroups side by side, so that their additions do not wait for
            // one another.
            unsigned int h = 0;
            for (; h + 4 <= H; h += 4) {
                const double* at = padded + static_cast<size_t>(h) * P;
                double g0 = 0.0, g1 = 0.0, g2 = 0.0, g3 = 0.0;
                for (unsigned int i = 2; i + 2 <= P; ++i) {
                    g0 += at[i];
                    g1 += at[P + i];
                    g2 += at[2 * static_cast<size_t>(P) + i];
                    g3 += at[3 * static_cast<size_t>(P) + i];
                }
                subgroups[h] = g0;
                subgroups[h + 1] = g1;
                subgroups[h + 2] = g2;
                subgroups[h + 3] = g3;
            }
            for (; h < H; ++h) {
                const double* at = padded + static_cast<size_t>(h) * P;
                double g = 0.0;
                for (unsigned int i = 2; i + 2 <= P; ++i) {
                    g += at[i];
                }
                subgroups[h] = g;
            }
            const unsigned short interItem = static_cast<unsigned short>(c.item + 9);
            float* ih = buffers.harmonicsBuffer.getHostBufferAt(firstHarmonic, H, interItem);
            for (unsigned int h = 0; h < H; ++h) {
                ih[h] = static_cast<float>(std::sqrt(subgroups[h]));
            }
            if (thd) {
                PowerResultsThd& d = *buffers.thdBuffer.getHostBufferAt(slot, 1, interItem);
                d = PowerResultsThd{};
                for (unsigned int h = 1; h + 1 <= thdHighest; ++h) {
                    d.thd += subgroups[h];
                    (h % 2 == 1 ? d.partialThd1 : d.partialThd2) += subgroups[h];
                }
                for (unsigned int h = 14; h <= std::min(39u, highest); ++h) {
                    d.partialThd3 += h * subgroups[h];
                }
                d.partialThd4 = subgroups[0];
            }
        }

        if (c.kind != Kind::LineToLine) {
            float* angles = buffers.harmonicsBuffer.getHostBufferAt(
                firstHarmonic, H, static_cast<unsigned short>(c.kind == Kind::Voltage ? 30 + c.phase : 33 + c.phase));
            // Kept in double for the powers' angle differences below (0 for a
            // line beyond the window's, the angle of a zero phasor).
            std::vector<double>& degrees = st.degrees[c.item];
            degrees.resize(H);
            angles[0] = static_cast<float>(degreesOf(Z[0]));
            for (unsigned int h = 1; h < H; ++h) {
                const unsigned long long k = static_cast<unsigned long long>(h) * P;
                degrees[h] = degreesOf(k <= half ? Z[k] : std::complex<double>());
                angles[h] = k <= half ? static_cast<float>(degrees[h]) : 0.0f;
            }
        }

        std::complex<float>* spectrum = nullptr;
        if (buffers.spectrumBuffer.hostBuffer != nullptr &&
            buffers.spectrumBuffer.items.getHostItemIndex(c.item) >= 0) {
            spectrum = buffers.spectrumBuffer.getHostBufferAt(item.getFirstFftOutputSampleIndex(),
                                                               item.getFftOutputLength(), c.item);
        }
        if (spectrum != nullptr) {
            for (unsigned int k = 0; k <= half; ++k) {
                spectrum[k] = std::complex<float>(static_cast<float>(Z[k].real()), static_cast<float>(Z[k].imag()));
            }
        }
    }

    // Powers: voltage and current of one phase together.
    if (currents) {
        const std::complex<double>* voltageLines[3];
        const std::complex<double>* currentLines[3];
        for (unsigned short p = 0; p < phases; ++p) {
            voltageLines[p] = st.lines[p].data();
            currentLines[p] = st.lines[3 + p].data();
        }
        double actives[3];
        double reactives[3];
        spectrumPowers(voltageLines, currentLines, phases, half + 1, actives, reactives);
        for (unsigned short p = 0; p < phases; ++p) {
            const double products = std::ldexp(sumOfProducts(window[p], window[3 + p], N), 2 * shift);
            const std::vector<std::complex<double>>& Zu = st.lines[p];
            const std::vector<std::complex<double>>& Zi = st.lines[3 + p];
            const std::vector<double>& degreesU = st.degrees[p];
            const std::vector<double>& degreesI = st.degrees[3 + p];
            PowerResultsGeneralPhase& r = raw.phases[p];
            r.activePower = products;
            r.spectrumActivePower = actives[p];
            r.nonActivePower = reactives[p];  // raw reactive power sits at offset 112

            float* activeH = buffers.harmonicsBuffer.getHostBufferAt(firstHarmonic, H, static_cast<unsigned short>(18 + p));
            float* reactiveH = buffers.harmonicsBuffer.getHostBufferAt(firstHarmonic, H, static_cast<unsigned short>(21 + p));
            float* apparentH = buffers.harmonicsBuffer.getHostBufferAt(firstHarmonic, H, static_cast<unsigned short>(24 + p));
            float* aux = buffers.harmonicsBuffer.getHostBufferAt(firstHarmonic, H, static_cast<unsigned short>(27 + p));
            const double dc = Zu[0].real() * Zi[0].real();
            activeH[0] = static_cast<float>(dc);
            reactiveH[0] = 0.0f;
            apparentH[0] = static_cast<float>(std::fabs(dc));
            aux[0] = 0.0f;
            for (unsigned int h = 1; h < H; ++h) {
                const unsigned long long k = static_cast<unsigned long long>(h) * P;
                const std::complex<double> U = k <= half ? Zu[k] : std::complex<double>();
                const std::complex<double> I = k <= half ? Zi[k] : std::complex<double>();
                const std::complex<double> s = U * std::conj(I);
                activeH[h] = static_cast<float>(s.real());
                reactiveH[h] = static_cast<float>(s.imag());
                apparentH[h] = static_cast<float>(std::abs(U) * std::abs(I));
                aux[h] = static_cast<float>(wrapDegrees(degreesU[h] - degreesI[h]));
            }
        }
    }

    if (config.areSymmetricalComponentsEnabled() && P <= half) {
        const std::complex<double> reference = st.lines[0][P];
        // The sequences of the voltages (lines 0-2, item 0) and currents (lines
        // 3-5, item 3), both turned to phase 1's voltage.
        // The rotation subtractReference applies, taken once for both.
        const std::complex<double> rotation = PowerSymmetricalComponents::referenceRotation(reference);
        auto storeSequences = [&](unsigned int line, unsigned short item) {
            const std::complex<double> phases[3] = {st.lines[line][P], st.lines[line + 1][P], st.lines[line + 2][P]};
            std::complex<double> sequences[3];
            PowerSymmetricalComponents::transform(phases, sequences);
            for (std::complex<double>& x : sequences) {
                x = x * rotation;
            }
            std::complex<double>* phasors = buffers.symmetricPhasorBuffer.getHostBufferAt(slot, 1, item);
            double* magnitudes = buffers.symmetricMagnitudeBuffer.getHostBufferAt(slot, 1, item);
            for (unsigned int k = 0; k < 3; ++k) {
                phasors[k] = sequences[k];
                magnitudes[k] = std::norm(sequences[k]);
            }
        };
        storeSequences(0, 0);
        if (currents) {
            storeSequences(3, 3);
        }
    }
}
