#include "windowed/LaneFft.h"

#include "windowed/Kernels.h"

#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <utility>

namespace {

// Four floats, one per lane; loads and stores may be unaligned.
typedef float v4 __attribute__((vector_size(16), aligned(4), may_alias));

constexpr double twoPi = 6.283185307179586;

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
    workRe.resize(static_cast<size_t>(length) * lanes);
    workIm.resize(static_cast<size_t>(length) * lanes);
}

namespace {

// One butterfly of radix P on four lanes: b_t = sum_r a_r exp(-2 pi i r t / P).
template <unsigned int P>
inline void butterfly(v4* ar, v4* ai, v4* br, v4* bi);

template <>
POWERQUALITY_KERNEL_INLINE void butterfly<4>(v4* ar, v4* ai, v4* br, v4* bi) {
    const v4 s02r = ar[0] + ar[2], s02i = ai[0] + ai[2];
    const v4 d02r = ar[0] - ar[2], d02i = ai[0] - ai[2];
    const v4 s13r = ar[1] + ar[3], s13i = ai[1] + ai[3];
    const v4 d13r = ar[1] - ar[3], d13i = ai[1] - ai[3];
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

template <>
POWERQUALITY_KERNEL_INLINE void butterfly<2>(v4* ar, v4* ai, v4* br, v4* bi) {
    br[0] = ar[0] + ar[1];
    bi[0] = ai[0] + ai[1];
    br[1] = ar[0] - ar[1];
    bi[1] = ai[0] - ai[1];
}

template <>
POWERQUALITY_KERNEL_INLINE void butterfly<3>(v4* ar, v4* ai, v4* br, v4* bi) {
    const float c3 = -0.5f;
    const float s3 = 0.8660254037844386f;  // sin(2 pi / 3)
    const v4 sr = ar[1] + ar[2], si = ai[1] + ai[2];
    const v4 dr = ar[1] - ar[2], di = ai[1] - ai[2];
    const v4 tr = ar[0] + sr * c3, ti = ai[0] + si * c3;
    br[0] = ar[0] + sr;
    bi[0] = ai[0] + si;
    // -i sin(2 pi / 3) (a1 - a2)
    br[1] = tr + di * s3;
    bi[1] = ti - dr * s3;
    br[2] = tr - di * s3;
    bi[2] = ti + dr * s3;
}

template <>
POWERQUALITY_KERNEL_INLINE void butterfly<5>(v4* ar, v4* ai, v4* br, v4* bi) {
    const float c51 = 0.30901699437494745f;  // cos(2 pi / 5)
    const float c52 = -0.8090169943749475f;  // cos(4 pi / 5)
    const float s51 = 0.9510565162951535f;   // sin(2 pi / 5)
    const float s52 = 0.5877852522924731f;   // sin(4 pi / 5)
    const v4 s14r = ar[1] + ar[4], s14i = ai[1] + ai[4];
    const v4 d14r = ar[1] - ar[4], d14i = ai[1] - ai[4];
    const v4 s23r = ar[2] + ar[3], s23i = ai[2] + ai[3];
    const v4 d23r = ar[2] - ar[3], d23i = ai[2] - ai[3];
    br[0] = ar[0] + s14r + s23r;
    bi[0] = ai[0] + s14i + s23i;
    const v4 t1r = ar[0] + s14r * c51 + s23r * c52, t1i = ai[0] + s14i * c51 + s23i * c52;
    const v4 t2r = ar[0] + s14r * c52 + s23r * c51, t2i = ai[0] + s14i * c52 + s23i * c51;
    const v4 u1r = d14r * s51 + d23r * s52, u1i = d14i * s51 + d23i * s52;
    const v4 u2r = d14r * s52 - d23r * s51, u2i = d14i * s52 - d23i * s51;
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

// One Stockham stage of radix P over a sequence of len = P m elements with
// stride s: y[q + s (P k + t)] = w^(t k) sum_r x[q + s (k + r m)] e^(-2 pi i r t / P).
template <unsigned int P>
POWERQUALITY_KERNEL_INLINE void stage(const float* __restrict srcRe, const float* __restrict srcIm, float* __restrict dstRe,
           float* __restrict dstIm, size_t m, size_t s, const float* twiddleRe, const float* twiddleIm) {
    for (size_t k = 0; k < m; ++k) {
        // The twiddles of this k, in every lane, held for the whole q loop.
        v4 wr[P], wi[P];
#pragma GCC unroll 8
        for (unsigned int t = 1; t < P; ++t) {
            const float c = twiddleRe[k * (P - 1) + t - 1];
            const float d = twiddleIm[k * (P - 1) + t - 1];
            wr[t] = v4{c, c, c, c};
            wi[t] = v4{d, d, d, d};
        }
        const float* inRe = srcRe + 4 * s * k;
        const float* inIm = srcIm + 4 * s * k;
        float* outRe = dstRe + 4 * s * P * k;
        float* outIm = dstIm + 4 * s * P * k;
        const size_t inStride = 4 * s * m;
        const size_t outStride = 4 * s;
        for (size_t q = 0; q < 4 * s; q += 4) {
            v4 ar[P], ai[P], br[P], bi[P];
#pragma GCC unroll 8
            for (unsigned int r = 0; r < P; ++r) {
                ar[r] = *reinterpret_cast<const v4*>(inRe + q + r * inStride);
                ai[r] = *reinterpret_cast<const v4*>(inIm + q + r * inStride);
            }
            butterfly<P>(ar, ai, br, bi);
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
// result back in re and im.
POWERQUALITY_KERNEL_INLINE void forwardBody(float* re, float* im, unsigned int n, const std::vector<unsigned int>& radices,
                                            const float* twiddleRe, const float* twiddleIm, float* workRe,
                                            float* workIm) {
    float* srcRe = re;
    float* srcIm = im;
    float* dstRe = workRe;
    float* dstIm = workIm;
    size_t len = n;
    size_t s = 1;
    size_t twiddle = 0;
    for (unsigned int p : radices) {
        const size_t m = len / p;
        const float* wr = twiddleRe + twiddle;
        const float* wi = twiddleIm + twiddle;
        switch (p) {
            case 4:
                stage<4>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi);
                break;
            case 2:
                stage<2>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi);
                break;
            case 3:
                stage<3>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi);
                break;
            default:
                stage<5>(srcRe, srcIm, dstRe, dstIm, m, s, wr, wi);
                break;
        }
        twiddle += m * (p - 1);
        len = m;
        s *= p;
        std::swap(srcRe, dstRe);
        std::swap(srcIm, dstIm);
    }
    if (srcRe != re) {
        const size_t count = static_cast<size_t>(n) * LaneFft::lanes;
        for (size_t j = 0; j < count; ++j) {
            re[j] = srcRe[j];
            im[j] = srcIm[j];
        }
    }
}

void forwardBaseline(float* re, float* im, unsigned int n, const std::vector<unsigned int>& radices,
                     const float* twiddleRe, const float* twiddleIm, float* workRe, float* workIm) {
    forwardBody(re, im, n, radices, twiddleRe, twiddleIm, workRe, workIm);
}

#if POWERQUALITY_AVX2_KERNELS
POWERQUALITY_TARGET_AVX2 void forwardAvx2(float* re, float* im, unsigned int n, const std::vector<unsigned int>& radices,
                                          const float* twiddleRe, const float* twiddleIm, float* workRe,
                                          float* workIm) {
    forwardBody(re, im, n, radices, twiddleRe, twiddleIm, workRe, workIm);
}
#endif

}  // namespace

void LaneFft::forward(float* re, float* im) {
#if POWERQUALITY_AVX2_KERNELS
    if (powerquality::avx2Kernels()) {
        forwardAvx2(re, im, n, radices, twiddleRe.data(), twiddleIm.data(), workRe.data(), workIm.data());
        return;
    }
#endif
    forwardBaseline(re, im, n, radices, twiddleRe.data(), twiddleIm.data(), workRe.data(), workIm.data());
}
