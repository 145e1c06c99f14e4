#include "windowed/LaneFft.h"

#include "windowed/Kernels.h"

#include <cmath>
#include <cstddef>
#include <cstring>
#include <stdexcept>

namespace {

// Four floats, one per lane; loads and stores may be unaligned. Eight in the
// AVX2 copy.
typedef float v4 __attribute__((vector_size(16), aligned(4), may_alias));
typedef float v8 __attribute__((vector_size(32), aligned(4), may_alias));
typedef float v4r __attribute__((vector_size(16)));  // held in registers
typedef float v8r __attribute__((vector_size(32)));

constexpr double twoPi = 6.283185307179586;

// Where the spare work array begins in the work storage: after the first
// one, on a 64-byte boundary.
size_t spareOffset(unsigned int n) { return (static_cast<size_t>(n) * LaneFft::lanes + 15) / 16 * 16; }

}  // namespace

bool LaneFft::supports(unsigned int n) {
    if (n == 0) {
        return false;
    }
    for (unsigned int factor : {2u, 3u, 5u}) {
        while (n % factor == 0) {
            n /= factor;
        }
    }
    return n == 1;
}

LaneFft::LaneFft(unsigned int length) : n(length) {
    if (!supports(length)) {
        throw std::invalid_argument("LaneFft: the length must have no prime factor above 5");
    }
    unsigned int rest = length;
    while (rest % 4 == 0) {
        radices.push_back(4);
        rest /= 4;
    }
    for (unsigned int factor : {2u, 3u, 5u}) {
        while (rest % factor == 0) {
            radices.push_back(factor);
            rest /= factor;
        }
    }
    unsigned int len = length;
    for (unsigned int p : radices) {
        const unsigned int m = len / p;
        for (unsigned int k = 0; k < m; ++k) {
            for (unsigned int t = 1; t < p; ++t) {
                // Reduced modulo len so that the angle stays below 2 pi.
                const unsigned long long e = (static_cast<unsigned long long>(t) * k) % len;
                const double angle = -twoPi * static_cast<double>(e) / len;
                twiddleRe.push_back(static_cast<float>(std::cos(angle)));
                twiddleIm.push_back(static_cast<float>(std::sin(angle)));
            }
        }
        len = m;
    }
    // The first stage's twiddles as its AVX2 copy reads them: for the
    // elements k and k + 1 (k even) and each t, eight real parts (element
    // k's in four lanes, then k + 1's) and eight imaginary parts.
    if (!radices.empty()) {
        const unsigned int p = radices[0];
        const size_t pairs = length / p / 2;
        pairTwiddles.resize(pairs * (p - 1) * 16);
        float* w = pairTwiddles.data();
        for (size_t k = 0; k < 2 * pairs; k += 2) {
            for (unsigned int t = 1; t < p; ++t) {
                for (unsigned int l = 0; l < 8; ++l) {
                    const size_t at = (k + l / 4) * (p - 1) + t - 1;
                    w[l] = twiddleRe[at];
                    w[8 + l] = twiddleIm[at];
                }
                w += 16;
            }
        }
    }
    // Two work arrays each where an odd number of stages (three or more)
    // passes through a spare one to end in the caller's arrays.
    const size_t work = spareOffset(length) * (radices.size() % 2 == 1 && radices.size() >= 3 ? 2 : 1);
    workRe.resize(work);
    workIm.resize(work);
}

namespace {

// One butterfly of radix P on the lanes of V (four, or eight in the AVX2
// copy: two elements at once): b_t = sum_r a_r exp(-2 pi i r t / P).
template <unsigned int P>
struct Butterfly;

template <>
struct Butterfly<4> {
    template <class V>
    static POWERQUALITY_KERNEL_INLINE void apply(const V* ar, const V* ai, V* br, V* bi) {
        const V s02r = ar[0] + ar[2], s02i = ai[0] + ai[2];
        const V d02r = ar[0] - ar[2], d02i = ai[0] - ai[2];
        const V s13r = ar[1] + ar[3], s13i = ai[1] + ai[3];
        const V d13r = ar[1] - ar[3], d13i = ai[1] - ai[3];
        br[0] = s02r + s13r;
        bi[0] = s02i + s13i;
        br[2] = s02r - s13r;
        bi[2] = s02i - s13i;
        // -i (a1 - a3) = (d13i, -d13r)
        br[1] = d02r + d13i;
        bi[1] = d02i - d13r;
        br[3] = d02r - d13i;
        bi[3] = d02i + d13r;
    }
};

template <>
struct Butterfly<2> {
    template <class V>
    static POWERQUALITY_KERNEL_INLINE void apply(const V* ar, const V* ai, V* br, V* bi) {
        br[0] = ar[0] + ar[1];
        bi[0] = ai[0] + ai[1];
        br[1] = ar[0] - ar[1];
        bi[1] = ai[0] - ai[1];
    }
};

template <>
struct Butterfly<3> {
    template <class V>
    static POWERQUALITY_KERNEL_INLINE void apply(const V* ar, const V* ai, V* br, V* bi) {
        const float c3 = -0.5f;
        const float s3 = 0.8660254037844386f;  // sin(2 pi / 3)
        const V sr = ar[1] + ar[2], si = ai[1] + ai[2];
        const V dr = ar[1] - ar[2], di = ai[1] - ai[2];
        const V tr = ar[0] + sr * c3, ti = ai[0] + si * c3;
        br[0] = ar[0] + sr;
        bi[0] = ai[0] + si;
        // -i sin(2 pi / 3) (a1 - a2)
        br[1] = tr + di * s3;
        bi[1] = ti - dr * s3;
        br[2] = tr - di * s3;
        bi[2] = ti + dr * s3;
    }
};

template <>
struct Butterfly<5> {
    template <class V>
    static POWERQUALITY_KERNEL_INLINE void apply(const V* ar, const V* ai, V* br, V* bi) {
        const float c51 = 0.30901699437494745f;  // cos(2 pi / 5)
        const float c52 = -0.8090169943749475f;  // cos(4 pi / 5)
        const float s51 = 0.9510565162951535f;   // sin(2 pi / 5)
        const float s52 = 0.5877852522924731f;   // sin(4 pi / 5)
        const V s14r = ar[1] + ar[4], s14i = ai[1] + ai[4];
        const V d14r = ar[1] - ar[4], d14i = ai[1] - ai[4];
        const V s23r = ar[2] + ar[3], s23i = ai[2] + ai[3];
        const V d23r = ar[2] - ar[3], d23i = ai[2] - ai[3];
        br[0] = ar[0] + s14r + s23r;
        bi[0] = ai[0] + s14i + s23i;
        const V t1r = ar[0] + s14r * c51 + s23r * c52, t1i = ai[0] + s14i * c51 + s23i * c52;
        const V t2r = ar[0] + s14r * c52 + s23r * c51, t2i = ai[0] + s14i * c52 + s23i * c51;
        const V u1r = d14r * s51 + d23r * s52, u1i = d14i * s51 + d23i * s52;
        const V u2r = d14r * s52 - d23r * s51, u2i = d14i * s52 - d23i * s51;
        // b1 = t1 - i u1, b4 = t1 + i u1, b2 = t2 - i u2, b3 = t2 + i u2
        br[1] = t1r + u1i;
        bi[1] = t1i - u1r;
        br[4] = t1r - u1i;
        bi[4] = t1i + u1r;
        br[2] = t2r + u2i;
        bi[2] = t2i - u2r;
        br[3] = t2r - u2i;
        bi[3] = t2i + u2r;
    }
};

// One Stockham stage of radix P over a sequence of len = P m elements with
// stride s: y[q + s (P k + t)] = w^(t k) sum_r x[q + s (k + r m)] e^(-2 pi i r t / P).
// Wide (the AVX2 copy): two elements at once in eight lanes, the elements q
// and q + 1 of one k where s > 1, else the elements of k and k + 1, with the
// same operations on every lane.
template <unsigned int P, bool Wide>
POWERQUALITY_KERNEL_INLINE void stage(const float* __restrict srcRe, const float* __restrict srcIm,
                                      float* __restrict dstRe, float* __restrict dstIm, size_t m, size_t s,
                                      const float* twiddleRe, const float* twiddleIm,
                                      const float* pairTwiddles) {
    const size_t inStride = 4 * s * m;
    const size_t outStride = 4 * s;
    size_t k = 0;
    if constexpr (Wide) {
      if (s == 1) {
        for (; k + 2 <= m; k += 2) {
            // The twiddles of k and k + 1 as the plan laid them out (s = 1 only in the first stage).
            v8r wr[P], wi[P];
#pragma GCC unroll 8
            for (unsigned int t = 1; t < P; ++t) {
                const float* w = pairTwiddles + ((k / 2) * (P - 1) + t - 1) * 16;
                wr[t] = *reinterpret_cast<const v8*>(w);
                wi[t] = *reinterpret_cast<const v8*>(w + 8);
            }
            const float* inRe = srcRe + 4 * k;
            const float* inIm = srcIm + 4 * k;
            float* outRe = dstRe + 4 * P * k;
            float* outIm = dstIm + 4 * P * k;
            v8r ar[P], ai[P], br[P], bi[P];
#pragma GCC unroll 8
            for (unsigned int r = 0; r < P; ++r) {
                ar[r] = *reinterpret_cast<const v8*>(inRe + r * inStride);
                ai[r] = *reinterpret_cast<const v8*>(inIm + r * inStride);
            }
            Butterfly<P>::apply(ar, ai, br, bi);
            v8r x[P], y[P];
            x[0] = br[0];
            y[0] = bi[0];
#pragma GCC unroll 8
            for (unsigned int t = 1; t < P; ++t) {
                x[t] = br[t] * wr[t] - bi[t] * wi[t];
                y[t] = br[t] * wi[t] + bi[t] * wr[t];
            }
            // Element k's outputs from the low four lanes, k + 1's from the high four.
#pragma GCC unroll 8
            for (unsigned int t = 0; t < P; ++t) {
                *reinterpret_cast<v4*>(outRe + 4 * t) = __builtin_shufflevector(x[t], x[t], 0, 1, 2, 3);
                *reinterpret_cast<v4*>(outIm + 4 * t) = __builtin_shufflevector(y[t], y[t], 0, 1, 2, 3);
                *reinterpret_cast<v4*>(outRe + 4 * P + 4 * t) = __builtin_shufflevector(x[t], x[t], 4, 5, 6, 7);
                *reinterpret_cast<v4*>(outIm + 4 * P + 4 * t) = __builtin_shufflevector(y[t], y[t], 4, 5, 6, 7);
            }
        }
      }
    }
    for (; k < m; ++k) {
        const float* inRe = srcRe + 4 * s * k;
        const float* inIm = srcIm + 4 * s * k;
        float* outRe = dstRe + 4 * s * P * k;
        float* outIm = dstIm + 4 * s * P * k;
        size_t q = 0;
        if constexpr (Wide) {
            if (s > 1) {
                v8r wr[P], wi[P];
#pragma GCC unroll 8
                for (unsigned int t = 1; t < P; ++t) {
                    const float c = twiddleRe[k * (P - 1) + t - 1];
                    const float d = twiddleIm[k * (P - 1) + t - 1];
                    const v4 c4 = {c, c, c, c}, d4 = {d, d, d, d};
                    wr[t] = __builtin_shufflevector(c4, c4, 0, 1, 2, 3, 0, 1, 2, 3);
                    wi[t] = __builtin_shufflevector(d4, d4, 0, 1, 2, 3, 0, 1, 2, 3);
                }
                for (; q + 8 <= 4 * s; q += 8) {
                    v8r ar[P], ai[P], br[P], bi[P];
#pragma GCC unroll 8
                    for (unsigned int r = 0; r < P; ++r) {
                        ar[r] = *reinterpret_cast<const v8*>(inRe + q + r * inStride);
                        ai[r] = *reinterpret_cast<const v8*>(inIm + q + r * inStride);
                    }
                    Butterfly<P>::apply(ar, ai, br, bi);
                    *reinterpret_cast<v8*>(outRe + q) = br[0];
                    *reinterpret_cast<v8*>(outIm + q) = bi[0];
#pragma GCC unroll 8
                    for (unsigned int t = 1; t < P; ++t) {
                        *reinterpret_cast<v8*>(outRe + q + t * outStride) = br[t] * wr[t] - bi[t] * wi[t];
                        *reinterpret_cast<v8*>(outIm + q + t * outStride) = br[t] * wi[t] + bi[t] * wr[t];
                    }
                }
            }
        }
        if (q == 4 * s) {
            continue;
        }
        // The twiddles of this k, in every lane, held for the whole q loop.
        v4r wr[P], wi[P];
#pragma GCC unroll 8
        for (unsigned int t = 1; t < P; ++t) {
            const float c = twiddleRe[k * (P - 1) + t - 1];
            const float d = twiddleIm[k * (P - 1) + t - 1];
            wr[t] = v4r{c, c, c, c};
            wi[t] = v4r{d, d, d, d};
        }
        for (; q < 4 * s; q += 4) {
            v4r ar[P], ai[P], br[P], bi[P];
#pragma GCC unroll 8
            for (unsigned int r = 0; r < P; ++r) {
                ar[r] = *reinterpret_cast<const v4*>(inRe + q + r * inStride);
                ai[r] = *reinterpret_cast<const v4*>(inIm + q + r * inStride);
            }
            Butterfly<P>::apply(ar, ai, br, bi);
            *reinterpret_cast<v4*>(outRe + q) = br[0];
            *reinterpret_cast<v4*>(outIm + q) = bi[0];
#pragma GCC unroll 8
            for (unsigned int t = 1; t < P; ++t) {
                *reinterpret_cast<v4*>(outRe + q + t * outStride) = br[t] * wr[t] - bi[t] * wi[t];
                *reinterpret_cast<v4*>(outIm + q + t * outStride) = br[t] * wi[t] + bi[t] * wr[t];
            }
        }
    }
}

// The stages over the radices, from re and im through the work arrays, the
// result back in re and im. Every stage reads one pair of arrays and writes
// another: an even number of stages alternates between the work arrays and
// re and im; an odd number (three or more) writes the work arrays first,
// then alternates between the spare and the work arrays, and the last stage
// writes re and im (which the first has read), so that no stage's output is
// copied.
template <bool Wide>
POWERQUALITY_KERNEL_INLINE void forwardBody(float* re, float* im, unsigned int n, const std::vector<unsigned int>& radices,
                                            const float* twiddleRe, const float* twiddleIm, const float* pairTwiddles,
                                            float* workRe, float* workIm) {
    const size_t stages = radices.size();
    const bool spare = stages % 2 == 1 && stages >= 3;
    float* const spareRe = spare ? workRe + spareOffset(n) : re;
    float* const spareIm = spare ? workIm + spareOffset(n) : im;
    float* srcRe = re;
    float* srcIm = im;
    size_t len = n;
    size_t s = 1;
    size_t twiddle = 0;
    for (size_t stageIndex = 0; stageIndex < stages; ++stageIndex) {
        const unsigned int p = radices[stageIndex];
        float* dstRe = workRe;
        float* dstIm = workIm;
        if (stageIndex + 1 == stages && stageIndex > 0) {
            dstRe = re;
            dstIm = im;
        } else if (srcRe == workRe) {
            dstRe = spareRe;
            dstIm = spareIm;
        }
        const size_t m = len / p;
        const float* wr = twiddleRe + twiddle;
        const float* wi = twiddleIm + twiddle;
        switch (p) {
            case 4:
                stage<4, Wide>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi, pairTwiddles);
                break;
            case 2:
                stage<2, Wide>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi, pairTwiddles);
                break;
            case 3:
                stage<3, Wide>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi, pairTwiddles);
                break;
            default:
                stage<5, Wide>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi, pairTwiddles);
                break;
        }
        twiddle += m * (p - 1);
        len = m;
        s *= p;
        srcRe = dstRe;
        srcIm = dstIm;
    }
    if (srcRe != re) {
        // A single stage ends in the work arrays: copied back.
        const size_t bytes = static_cast<size_t>(n) * LaneFft::lanes * sizeof(float);
        std::memcpy(re, srcRe, bytes);
        std::memcpy(im, srcIm, bytes);
    }
}

void forwardBaseline(float* re, float* im, unsigned int n, const std::vector<unsigned int>& radices,
                     const float* twiddleRe, const float* twiddleIm, float* workRe, float* workIm) {
    forwardBody<false>(re, im, n, radices, twiddleRe, twiddleIm, nullptr, workRe, workIm);
}

#if POWERQUALITY_AVX2_KERNELS
POWERQUALITY_TARGET_AVX2 void forwardAvx2(float* re, float* im, unsigned int n, const std::vector<unsigned int>& radices,
                                          const float* twiddleRe, const float* twiddleIm, const float* pairTwiddles,
                                          float* workRe, float* workIm) {
    forwardBody<true>(re, im, n, radices, twiddleRe, twiddleIm, pairTwiddles, workRe, workIm);
}
#endif

}  // namespace

void LaneFft::forward(float* re, float* im) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        forwardAvx2(re, im, n, radices, twiddleRe.data(), twiddleIm.data(), pairTwiddles.data(), workRe.data(),
                    workIm.data());
        return;
    }
#endif
    forwardBaseline(re, im, n, radices, twiddleRe.data(), twiddleIm.data(), workRe.data(), workIm.data());
}
