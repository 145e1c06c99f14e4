// Holds operations of PowerModule::PowerModuleImpl, so it includes module/PowerModuleImpl.h from this folder.
// Period values of finished period items, and their retrieval from the
// period results ring.
//
// Each ring entry is cleared before it is written, so the fields that the
// configuration does not produce read 0.0 rather than what the entry held
// before (with a single phase the total record, record 0, reads all zero).
//
// Queued items whose ring no longer exists (period values disabled since the
// reset) cannot be calculated: a fetch then discards them and returns none.
// While period values are enabled but have no storage, a fetch fails with the
// module's message; while the buffers are laid out for other settings than
// the current ones (see module/PowerModuleImpl.h), it is refused and the queue
// kept, so that no entry is written with a wiring the ring was not made for.
// An item that spans more positions than the rings hold (a buffer shorter
// than one period value) is dropped with std::invalid_argument by the fetch
// that meets it first.
//
// Items that overlap (an overlap above 0 %) share positions. A fetch that
// finds an item and its successor both finished takes the sums of the shared
// positions for both in one pass: each term is formed once and added to each
// item's own sums, which still run over its positions in order from its first,
// so the values are the bits each item has alone. Only within one fetch: the
// rings do not change while it runs, as they may between fetches.
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "maths/NumericPolicy.h"
#include "module/PowerModuleImpl.h"
#include "maths/PowerSymmetricalComponents.h"

namespace {

// Two doubles added and multiplied lane by lane, each lane rounded as the
// scalar operation is: a phasor's real and imaginary parts in one register.
using Pair = double __attribute__((vector_size(16)));

// Weighted sums over one phase's span. The weight f (the frequency of the
// position) turns the phasor sums into integrals over the tracked phase. The
// phasor sums hold (real, imaginary), the squares (voltage, current), the
// products (voltage times current, line-to-line squared).
struct PhaseSums {
    double wf = 0.0;
    Pair squares = {0.0, 0.0};
    Pair au = {0.0, 0.0};
    Pair products = {0.0, 0.0};
    Pair ai = {0.0, 0.0};
};

// The rings one phase reads; current and line-to-line may be absent.
struct PhaseRings {
    const float* voltage;
    const float* current;
    const float* lineToLine;
};

// The rings every phase reads.
struct TrackingRings {
    const double* frequency;
    const double* phasor;  // (cosine, sine) per position
};

// Adds the positions [begin, end) of the ring with weight w to the sums of
// phases phases, in one pass: frequency and phasor are read once for all of
// them, and the sum of the weighted frequencies, which every phase forms
// alike, is formed once. The optional channels are chosen outside the loop,
// so the loop itself has no branch. The sums run in locals: written through
// the pointer they would be stored on every position, since the compiler
// cannot rule out that they alias the rings. The inner run has w = 1, and a
// product with 1.0 is exact, so `weighted` false only drops multiplications
// that cannot change a bit; for the same reason the line-to-line square takes
// its weight in a product with (1, w) after the pair (u i, d d) is formed.
// The conjugate phasor (re, -im) times x is (x re, -(x im)) to the bit, so
// one product of pairs gives both parts of w u f conj(ph).
template <unsigned phases, bool withCurrent, bool withLineToLine, bool weighted>
inline __attribute__((always_inline)) void addPosition(PhaseSums* sums, double& wf, const TrackingRings& tracking,
                                                       const PhaseRings* rings, uint64_t j, double w) {
    const Pair conjugate = {1.0, -1.0};
    const Pair weight = {w, w};
    const Pair productWeight = {1.0, w};
    const double f = tracking.frequency[j];
    Pair ph;
    std::memcpy(&ph, tracking.phasor + 2 * j, sizeof ph);
    const Pair conjPh = ph * conjugate;
    wf += weighted ? w * f : f;
#pragma GCC unroll 3
    for (unsigned k = 0; k < phases; ++k) {
        // Voltage and current side by side; without a current its lane
        // carries zeros that no result reads.
        const Pair ui = {rings[k].voltage[j], withCurrent ? rings[k].current[j] : 0.0f};
        const Pair wui = weighted ? weight * ui : ui;
        sums[k].squares += weighted ? weight * (ui * ui) : ui * ui;
        const Pair wuif = wui * Pair{f, f};
        sums[k].au += Pair{wuif[0], wuif[0]} * conjPh;
        if (withCurrent) {
            sums[k].ai += Pair{wuif[1], wuif[1]} * conjPh;
        }
        if (withCurrent || withLineToLine) {
            const double d = withLineToLine ? rings[k].lineToLine[j] : 0.0;
            const Pair product = Pair{wui[0], d} * Pair{ui[1], d};
            sums[k].products += weighted ? productWeight * product : product;
        }
    }
}

// A single position (the weighted ends of a span) goes straight into the
// sums, the same operations as a position of the loop; a longer run is
// summed in locals.
template <unsigned phases, bool withCurrent, bool withLineToLine, bool weighted>
void accumulate(PhaseSums* out, const TrackingRings& tracking, const PhaseRings* rings, uint64_t begin,
                uint64_t end, double w) {
    if (end - begin == 1) {
        double wf = out[0].wf;
        addPosition<phases, withCurrent, withLineToLine, weighted>(out, wf, tracking, rings, begin, w);
        for (unsigned k = 0; k < phases; ++k) {
            out[k].wf = wf;
        }
        return;
    }
    PhaseSums sums[phases];
    for (unsigned k = 0; k < phases; ++k) {
        sums[k] = out[k];
    }
    double wf = out[0].wf;
    for (uint64_t j = begin; j < end; ++j) {
        addPosition<phases, withCurrent, withLineToLine, weighted>(sums, wf, tracking, rings, j, w);
    }
    for (unsigned k = 0; k < phases; ++k) {
        out[k] = sums[k];
        out[k].wf = wf;
    }
}

// The same sums for two items at once, over positions that are inner to
// both (weight 1 in each): every term is formed once, as the unweighted pass
// forms it, and added to each item's sums, so each item's sums see the terms
// they would see alone, in the same order. One phase at a time, so that both
// items' sums stay in registers.
template <bool withCurrent, bool withLineToLine>
void accumulateShared(PhaseSums& outA, PhaseSums& outB, const TrackingRings& tracking, const PhaseRings& rings,
                      uint64_t begin, uint64_t end) {
    const Pair conjugate = {1.0, -1.0};
    PhaseSums a = outA;
    PhaseSums b = outB;
    for (uint64_t j = begin; j < end; ++j) {
        const double f = tracking.frequency[j];
        Pair ph;
        std::memcpy(&ph, tracking.phasor + 2 * j, sizeof ph);
        const Pair conjPh = ph * conjugate;
        a.wf += f;
        b.wf += f;
        const Pair ui = {rings.voltage[j], withCurrent ? rings.current[j] : 0.0f};
        const Pair squares = ui * ui;
        a.squares += squares;
        b.squares += squares;
        const Pair uif = ui * Pair{f, f};
        const Pair au = Pair{uif[0], uif[0]} * conjPh;
        a.au += au;
        b.au += au;
        if (withCurrent) {
            const Pair ai = Pair{uif[1], uif[1]} * conjPh;
            a.ai += ai;
            b.ai += ai;
        }
        if (withCurrent || withLineToLine) {
            const double d = withLineToLine ? rings.lineToLine[j] : 0.0;
            const Pair product = Pair{ui[0], d} * Pair{ui[1], d};
            a.products += product;
            b.products += product;
        }
    }
    outA = a;
    outB = b;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define POWERQUALITY_WIDE_PERIOD_SUMS 1
// accumulateShared in four lanes: (u f re, -(u f im), i f re, -(i f im)),
// the phasor terms of voltage and current, and (u u, i i, u i, d d), the
// squares and products, each lane the operation the two-lane pass performs
// (products and sums rounded lane by lane, no fused multiply-add), so the
// sums keep their bits. The 256-bit vectors live only inside this function.
template <bool withCurrent, bool withLineToLine>
__attribute__((target("avx2"))) void accumulateSharedWide(PhaseSums& outA, PhaseSums& outB,
                                                          const TrackingRings& tracking, const PhaseRings& rings,
                                                          uint64_t begin, uint64_t end) {
    using Quad = double __attribute__((vector_size(32)));
    const Quad conjugate = {1.0, -1.0, 1.0, -1.0};
    Quad phasorsA = {outA.au[0], outA.au[1], outA.ai[0], outA.ai[1]};
    Quad phasorsB = {outB.au[0], outB.au[1], outB.ai[0], outB.ai[1]};
    Quad squaresA = {outA.squares[0], outA.squares[1], outA.products[0], outA.products[1]};
    Quad squaresB = {outB.squares[0], outB.squares[1], outB.products[0], outB.products[1]};
    double wfA = outA.wf;
    double wfB = outB.wf;
    for (uint64_t j = begin; j < end; ++j) {
        const double f = tracking.frequency[j];
        const double re = tracking.phasor[2 * j];
        const double im = tracking.phasor[2 * j + 1];
        wfA += f;
        wfB += f;
        const double u = rings.voltage[j];
        const double i = withCurrent ? static_cast<double>(rings.current[j]) : 0.0;
        const double d = withLineToLine ? static_cast<double>(rings.lineToLine[j]) : 0.0;
        const Quad uif = Quad{u, u, i, i} * Quad{f, f, f, f};
        const Quad phasors = uif * (Quad{re, im, re, im} * conjugate);
        phasorsA += phasors;
        phasorsB += phasors;
        const Quad squares = Quad{u, i, u, d} * Quad{u, i, i, d};
        squaresA += squares;
        squaresB += squares;
    }
    outA.wf = wfA;
    outB.wf = wfB;
    outA.au = Pair{phasorsA[0], phasorsA[1]};
    outB.au = Pair{phasorsB[0], phasorsB[1]};
    outA.squares = Pair{squaresA[0], squaresA[1]};
    outB.squares = Pair{squaresB[0], squaresB[1]};
    if (withCurrent) {
        outA.ai = Pair{phasorsA[2], phasorsA[3]};
        outB.ai = Pair{phasorsB[2], phasorsB[3]};
    }
    if (withCurrent || withLineToLine) {
        outA.products = Pair{squaresA[2], squaresA[3]};
        outB.products = Pair{squaresB[2], squaresB[3]};
    }
}

// Three rings' floats at positions j .. j + 3 as four vectors of doubles,
// one a position: q[n] = (a[j + n], b[j + n], c[j + n], spare), read four
// at a time and transposed (the conversions are exact). Each vector is
// converted in one instruction: the compiler's own conversion of a vector of
// four floats goes through memory in two halves.
using QuadOfPhases = double __attribute__((vector_size(32)));
__attribute__((target("avx2"), always_inline)) inline void fourPositions(const float* a, const float* b,
                                                                        const float* c, __m128 spare, uint64_t j,
                                                                        QuadOfPhases* q) {
    const __m128 r0 = _mm_loadu_ps(a + j);
    const __m128 r1 = _mm_loadu_ps(b + j);
    const __m128 r2 = _mm_loadu_ps(c + j);
    const __m128 t0 = _mm_unpacklo_ps(r0, r1);     // a0 b0 a1 b1
    const __m128 t1 = _mm_unpackhi_ps(r0, r1);     // a2 b2 a3 b3
    const __m128 t2 = _mm_unpacklo_ps(r2, spare);  // c0 s c1 s
    const __m128 t3 = _mm_unpackhi_ps(r2, spare);  // c2 s c3 s
    q[0] = _mm256_cvtps_pd(_mm_movelh_ps(t0, t2));
    q[1] = _mm256_cvtps_pd(_mm_movehl_ps(t2, t0));
    q[2] = _mm256_cvtps_pd(_mm_movelh_ps(t1, t3));
    q[3] = _mm256_cvtps_pd(_mm_movehl_ps(t3, t1));
}

// One position of three rings, (a[j], b[j], c[j], spare), as doubles.
__attribute__((target("avx2"), always_inline)) inline QuadOfPhases onePosition(const float* a, const float* b,
                                                                              const float* c, float spare,
                                                                              uint64_t j) {
    return _mm256_cvtps_pd(_mm_setr_ps(a[j], b[j], c[j], spare));
}

// accumulateShared for three phases that read the same channels, the phases
// side by side in the lanes of each vector ((phase 0, 1, 2, spare), every
// lane the operation the two-lane pass performs on that phase), in two passes
// over the positions so that both items' sums stay in registers: the
// voltages' squares and phasor terms first (the sum of the frequencies rides
// in the spare lane of the real parts: 1 f 1 is f to the bit), then the
// currents' and the products.
template <bool withCurrent, bool withLineToLine>
__attribute__((target("avx2"))) void accumulateSharedThree(PhaseSums* outA, PhaseSums* outB,
                                                           const TrackingRings& tracking, const PhaseRings* rings,
                                                           uint64_t begin, uint64_t end) {
    using Quad = double __attribute__((vector_size(32)));
    // (Through references: a 256-bit value passed or returned would need
    // AVX in the helpers' own signatures.)
    const auto load = [](Quad& v, const PhaseSums* out, int pair, int lane, double spare) {
        for (int k = 0; k < 3; ++k) {
            const PhaseSums& s = out[k];
            v[k] = (pair == 0 ? s.squares : pair == 1 ? s.au : pair == 2 ? s.ai : s.products)[lane];
        }
        v[3] = spare;
    };
    const auto store = [](PhaseSums* out, int pair, int lane, const Quad& v) {
        for (int k = 0; k < 3; ++k) {
            Pair& p = pair == 0 ? out[k].squares : pair == 1 ? out[k].au : pair == 2 ? out[k].ai : out[k].products;
            p[lane] = v[k];
        }
    };
    const float* u0 = rings[0].voltage;
    const float* u1 = rings[1].voltage;
    const float* u2 = rings[2].voltage;
    {
        Quad uuA, uuB;
        load(uuA, outA, 0, 0, 0.0);
        load(uuB, outB, 0, 0, 0.0);
        Quad reA, reB;
        load(reA, outA, 1, 0, outA[0].wf);
        load(reB, outB, 1, 0, outB[0].wf);
        Quad imA, imB;
        load(imA, outA, 1, 1, 0.0);
        load(imB, outB, 1, 1, 0.0);
        // The imaginary parts take the term with the phasor's sine and
        // subtract it: a - x is a + (-x) to the bit, and -(x s) is x (-s),
        // the term of the conjugate phasor.
        const Quad oneInSpare = {0.0, 0.0, 0.0, 1.0};
        const auto voltageTerms = [&](uint64_t j, const Quad& u) __attribute__((target("avx2"), always_inline)) {
            const Quad f = _mm256_broadcast_sd(tracking.frequency + j);
            const Quad re = _mm256_blend_pd(_mm256_broadcast_sd(tracking.phasor + 2 * j), oneInSpare, 0x8);
            const Quad im = _mm256_broadcast_sd(tracking.phasor + 2 * j + 1);
            const Quad uf = u * f;
            const Quad uu = u * u;
            uuA += uu;
            uuB += uu;
            const Quad ure = uf * re;
            reA += ure;
            reB += ure;
            const Quad uim = uf * im;
            imA -= uim;
            imB -= uim;
        };
        // The voltages read four positions at a time, then one by one.
        const __m128 one = _mm_set1_ps(1.0f);
        uint64_t j = begin;
        for (; j + 4 <= end; j += 4) {
            Quad four[4];
            fourPositions(u0, u1, u2, one, j, four);
            voltageTerms(j, four[0]);
            voltageTerms(j + 1, four[1]);
            voltageTerms(j + 2, four[2]);
            voltageTerms(j + 3, four[3]);
        }
        for (; j < end; ++j) {
            voltageTerms(j, onePosition(u0, u1, u2, 1.0f, j));
        }
        store(outA, 0, 0, uuA);
        store(outB, 0, 0, uuB);
        store(outA, 1, 0, reA);
        store(outB, 1, 0, reB);
        store(outA, 1, 1, imA);
        store(outB, 1, 1, imB);
        for (int k = 0; k < 3; ++k) {
            outA[k].wf = reA[3];
            outB[k].wf = reB[3];
        }
    }
    if (!withCurrent && !withLineToLine) {
        return;
    }
    const float zero[1] = {0.0f};
    const float* i0 = withCurrent ? rings[0].current : zero;
    const float* i1 = withCurrent ? rings[1].current : zero;
    const float* i2 = withCurrent ? rings[2].current : zero;
    const float* d0 = withLineToLine ? rings[0].lineToLine : zero;
    const float* d1 = withLineToLine ? rings[1].lineToLine : zero;
    const float* d2 = withLineToLine ? rings[2].lineToLine : zero;
    const uint64_t step = withCurrent ? 1 : 0;
    const uint64_t lineStep = withLineToLine ? 1 : 0;
    Quad iiA, iiB;
    load(iiA, outA, 0, 1, 0.0);
    load(iiB, outB, 0, 1, 0.0);
    Quad ireA, ireB;
    load(ireA, outA, 2, 0, 0.0);
    load(ireB, outB, 2, 0, 0.0);
    Quad iimA, iimB;
    load(iimA, outA, 2, 1, 0.0);
    load(iimB, outB, 2, 1, 0.0);
    Quad uiA, uiB;
    load(uiA, outA, 3, 0, 0.0);
    load(uiB, outB, 3, 0, 0.0);
    Quad ddA, ddB;
    load(ddA, outA, 3, 1, 0.0);
    load(ddB, outB, 3, 1, 0.0);
    const auto otherTerms = [&](uint64_t j, const Quad& u, const Quad& i)
                                __attribute__((target("avx2"), always_inline)) {
        const Quad ui = u * i;
        uiA += ui;
        uiB += ui;
        if (withCurrent) {
            const Quad f = _mm256_broadcast_sd(tracking.frequency + j);
            const Quad re = _mm256_broadcast_sd(tracking.phasor + 2 * j);
            const Quad im = _mm256_broadcast_sd(tracking.phasor + 2 * j + 1);
            const Quad ii = i * i;
            iiA += ii;
            iiB += ii;
            const Quad f4 = i * f;
            const Quad ire = f4 * re;
            ireA += ire;
            ireB += ire;
            const Quad iim = f4 * im;
            iimA -= iim;
            iimB -= iim;
        }
        if (withLineToLine) {
            const Quad d = onePosition(d0, d1, d2, 0.0f, j * lineStep);
            const Quad dd = d * d;
            ddA += dd;
            ddB += dd;
        }
    };
    // Four positions at a time, then one by one (the currents four at a
    // time only where there are currents: without them i0 .. i2 hold one zero).
    const __m128 zeros = _mm_setzero_ps();
    uint64_t j = begin;
    for (; j + 4 <= end; j += 4) {
        Quad fourU[4], fourI[4] = {};
        fourPositions(u0, u1, u2, zeros, j, fourU);
        if (withCurrent) {
            fourPositions(i0, i1, i2, zeros, j, fourI);
        }
#pragma GCC unroll 4
        for (unsigned n = 0; n < 4; ++n) {
            otherTerms(j + n, fourU[n], fourI[n]);
        }
    }
    for (; j < end; ++j) {
        otherTerms(j, onePosition(u0, u1, u2, 0.0f, j), onePosition(i0, i1, i2, 0.0f, j * step));
    }
    if (withCurrent) {
        store(outA, 0, 1, iiA);
        store(outB, 0, 1, iiB);
        store(outA, 2, 0, ireA);
        store(outB, 2, 0, ireB);
        store(outA, 2, 1, iimA);
        store(outB, 2, 1, iimB);
    }
    store(outA, 3, 0, uiA);
    store(outB, 3, 0, uiB);
    // Without a line-to-line voltage the two-lane pass adds 0 times 0 to a
    // lane that only ever held +0: left as it is.
    if (withLineToLine) {
        store(outA, 3, 1, ddA);
        store(outB, 3, 1, ddB);
    }}
#endif

// accumulate with the channels chosen at run time.
template <unsigned phases>
void accumulateChosen(PhaseSums* sums, const TrackingRings& tracking, const PhaseRings* rings, bool withCurrent,
                      bool withLineToLine, bool weighted, uint64_t begin, uint64_t end, double w) {
    if (weighted) {
        if (withCurrent && withLineToLine) {
            accumulate<phases, true, true, true>(sums, tracking, rings, begin, end, w);
        } else if (withCurrent) {
            accumulate<phases, true, false, true>(sums, tracking, rings, begin, end, w);
        } else if (withLineToLine) {
            accumulate<phases, false, true, true>(sums, tracking, rings, begin, end, w);
        } else {
            accumulate<phases, false, false, true>(sums, tracking, rings, begin, end, w);
        }
    } else if (withCurrent && withLineToLine) {
        accumulate<phases, true, true, false>(sums, tracking, rings, begin, end, w);
    } else if (withCurrent) {
        accumulate<phases, true, false, false>(sums, tracking, rings, begin, end, w);
    } else if (withLineToLine) {
        accumulate<phases, false, true, false>(sums, tracking, rings, begin, end, w);
    } else {
        accumulate<phases, false, false, false>(sums, tracking, rings, begin, end, w);
    }
}

// What the sums of an item read: the tracking rings, each phase's channels,
// and the rings' length.
struct PeriodChannels {
    TrackingRings tracking;
    PhaseRings rings[3];
    bool hasCurrent[3];
    bool hasLineToLine[3];
    unsigned int phases;
    bool alike;  // three phases that read the same channels (three currents, say)
    uint64_t length;
};

// One item's span: positions first to last, with the shares of the two ends.
struct PeriodSpan {
    uint64_t first;
    uint64_t last;
    double firstFraction;
    double lastFraction;
};

}  // namespace

bool PowerModule::PowerModuleImpl::widePeriodSumsAvailable() {
#if POWERQUALITY_WIDE_PERIOD_SUMS
    __builtin_cpu_init();  // a module built by a static initialiser may come before the runtime's own
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

// The sums of one item over the positions [first, next) of its span.
struct PeriodSums {
    PhaseSums phases[3];
    uint64_t next;
};

namespace {

// Calls run(ringBegin, ringEnd) for the positions [begin, end), split where
// the ring wraps.
template <class Run>
void forRingRuns(uint64_t length, uint64_t begin, uint64_t end, Run run) {
    uint64_t j = begin % length;
    for (uint64_t left = end - begin; left > 0;) {
        const uint64_t n = left < length - j ? left : length - j;
        run(j, j + n);
        left -= n;
        j = j + n == length ? 0 : j + n;
    }
}

// Positions [sums.next, end) of the span into its sums, each with its weight:
// the first share on the first position (also when it is the last), the last
// share on the last, 1 on those between. All phases in one pass where they
// read the same channels, each phase on its own otherwise.
void addSpan(const PeriodChannels& c, const PeriodSpan& span, PeriodSums& sums, uint64_t end) {
    const auto add = [&](uint64_t begin, uint64_t stop, bool weighted, double w) {
        forRingRuns(c.length, begin, stop, [&](uint64_t j, uint64_t k) {
            if (c.alike) {
                accumulateChosen<3>(sums.phases, c.tracking, c.rings, c.hasCurrent[0], c.hasLineToLine[0], weighted,
                                    j, k, w);
                return;
            }
            for (unsigned int p = 0; p < c.phases; ++p) {
                accumulateChosen<1>(sums.phases + p, c.tracking, c.rings + p, c.hasCurrent[p], c.hasLineToLine[p],
                                    weighted, j, k, w);
            }
        });
    };
    uint64_t s = sums.next;
    while (s < end) {
        if (s == span.first || s == span.last) {
            add(s, s + 1, true, s == span.first ? span.firstFraction : span.lastFraction);
            ++s;
        } else {
            const uint64_t stop = end < span.last ? end : span.last;
            add(s, stop, false, 1.0);
            s = stop;
        }
    }
    sums.next = s;
}

// Positions [a.next, end), inner to both spans, into both items' sums; b.next
// equals a.next.
void addShared(const PeriodChannels& c, bool wide, PeriodSums& a, PeriodSums& b, uint64_t end) {
    forRingRuns(c.length, a.next, end, [&](uint64_t j, uint64_t k) {
#if POWERQUALITY_WIDE_PERIOD_SUMS
        if (wide && c.alike) {
            if (c.hasCurrent[0] && c.hasLineToLine[0]) {
                accumulateSharedThree<true, true>(a.phases, b.phases, c.tracking, c.rings, j, k);
            } else if (c.hasCurrent[0]) {
                accumulateSharedThree<true, false>(a.phases, b.phases, c.tracking, c.rings, j, k);
            } else if (c.hasLineToLine[0]) {
                accumulateSharedThree<false, true>(a.phases, b.phases, c.tracking, c.rings, j, k);
            } else {
                accumulateSharedThree<false, false>(a.phases, b.phases, c.tracking, c.rings, j, k);
            }
            return;
        }
#endif
        for (unsigned int p = 0; p < c.phases; ++p) {
            PhaseSums& x = a.phases[p];
            PhaseSums& y = b.phases[p];
#if POWERQUALITY_WIDE_PERIOD_SUMS
            if (wide) {
                if (c.hasCurrent[p] && c.hasLineToLine[p]) {
                    accumulateSharedWide<true, true>(x, y, c.tracking, c.rings[p], j, k);
                } else if (c.hasCurrent[p]) {
                    accumulateSharedWide<true, false>(x, y, c.tracking, c.rings[p], j, k);
                } else if (c.hasLineToLine[p]) {
                    accumulateSharedWide<false, true>(x, y, c.tracking, c.rings[p], j, k);
                } else {
                    accumulateSharedWide<false, false>(x, y, c.tracking, c.rings[p], j, k);
                }
                continue;
            }
#else
            (void)wide;
#endif
            if (c.hasCurrent[p] && c.hasLineToLine[p]) {
                accumulateShared<true, true>(x, y, c.tracking, c.rings[p], j, k);
            } else if (c.hasCurrent[p]) {
                accumulateShared<true, false>(x, y, c.tracking, c.rings[p], j, k);
            } else if (c.hasLineToLine[p]) {
                accumulateShared<false, true>(x, y, c.tracking, c.rings[p], j, k);
            } else {
                accumulateShared<false, false>(x, y, c.tracking, c.rings[p], j, k);
            }
        }
    });
    a.next = end;
    b.next = end;
}

PeriodChannels channelsOf(const PowerConfig& config, const PowerBuffers& buffers) {
    PeriodChannels c = {};
    c.phases = config.getPhasesCount();
    c.length = buffers.waveformBuffer.getLength();
    c.tracking = {buffers.periodTrackingBuffer.getHostBuffer(0), buffers.periodTrackingBuffer.getHostBuffer(1)};
    const bool currents = config.currentEnabled;
    const bool lineToLine = config.lineToLineResultsEnabled;
    const unsigned int lineToLineCount = config.getLineToLineCount();
    bool alike = true;
    for (unsigned int k = 0; k < c.phases; ++k) {
        PhaseRings& rings = c.rings[k];
        rings.voltage = buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(k));
        rings.current = currents ? buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(3 + k)) : nullptr;
        rings.lineToLine = buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(6 + k));
        c.hasLineToLine[k] = lineToLine && k < lineToLineCount && rings.lineToLine != nullptr;
        c.hasCurrent[k] = currents && rings.current != nullptr;
        alike = alike && c.hasCurrent[k] == c.hasCurrent[0] && c.hasLineToLine[k] == c.hasLineToLine[0];
    }
    c.alike = alike && c.phases == 3;
    return c;
}

PeriodSpan spanOf(const PowerPeriodResultsQueueItem& item) {
    return {item.getFirstSampleIndex(), item.getLastRequiredSampleIndex(), item.getFirstSampleFractionToUse(),
            item.getLastSampleFractionToUse()};
}

PeriodSums freshSums(uint64_t first) {
    PeriodSums sums;
    sums.next = first;
    return sums;
}

constexpr double pi = 3.141592653589793;

using powerquality::nonNegativeRoot;  // NaN stays NaN, see maths/NumericPolicy.h

}  // namespace

// One item on its own: its sums over its span, then its records. A fetch does
// the same in two steps, with sums that may have begun in a shared pass.
void PowerModule::PowerModuleImpl::calculatePeriodValues(unsigned long long firstSampleIndex,
                                                         unsigned long long lastSampleIndex,
                                                         double firstSampleFraction, double lastSampleFraction,
                                                         double totalLength, PowerResultsPeriod* results) {
    const PeriodChannels channels = channelsOf(config, buffers);
    PeriodSums sums = freshSums(firstSampleIndex);
    addSpan(channels, {firstSampleIndex, lastSampleIndex, firstSampleFraction, lastSampleFraction}, sums,
            lastSampleIndex + 1);
    writePeriodValues(sums, lastSampleIndex, lastSampleFraction, totalLength, results);
}

void PowerModule::PowerModuleImpl::writePeriodValues(const PeriodSums& spanSums, unsigned long long lastSampleIndex,
                                                     double lastSampleFraction, double totalLength,
                                                     PowerResultsPeriod* results) {
    const unsigned int P = config.getPhasesCount();
    const double fs = config.sampleRate;
    const double T = totalLength;
    const bool currents = config.currentEnabled;
    const bool lineToLine = config.lineToLineResultsEnabled;
    const unsigned int lineToLineCount = config.getLineToLineCount();
    const PhaseSums* phaseSums = spanSums.phases;

    std::memset(static_cast<void*>(results), 0, sizeof(PowerResultsPeriod) * (P + 1));

    const double time = (static_cast<double>(lastSampleIndex) + lastSampleFraction) / fs;
    const double frequency = config.halfPeriodValuesCount * fs * 0.5 / T;

    // The phases' fundamental phasors (at most three), kept on the stack.
    std::complex<double> voltages[3] = {};
    std::complex<double> currentPhasors[3] = {};

    for (unsigned int k = 0; k < P; ++k) {
        PowerResultsPeriod& record = results[k + 1];
        record.time = time;
        record.frequency = frequency;
        const PhaseSums& sums = phaseSums[k];

        const double c = std::sqrt(2.0) / sums.wf;
        const std::complex<double> u1(c * sums.au[0], c * sums.au[1]);
        voltages[k] = u1;
        record.fundamentalVoltage = std::hypot(u1.real(), u1.imag());
        record.rmsVoltage = std::sqrt((1.0 / T) * sums.squares[0]);

        if (currents) {
            const std::complex<double> i1(c * sums.ai[0], c * sums.ai[1]);
            currentPhasors[k] = i1;
            record.fundamentalCurrent = std::hypot(i1.real(), i1.imag());
            record.fundamentalApparentPower = record.fundamentalCurrent * record.fundamentalVoltage;
            record.fundamentalActivePower = i1.real() * u1.real() + i1.imag() * u1.imag();
            record.fundamentalReactivePower = i1.real() * u1.imag() - i1.imag() * u1.real();
            double angle = (std::atan2(u1.imag(), u1.real()) - std::atan2(i1.imag(), i1.real())) * 180.0 / pi;
            if (!(angle > -180.0 && angle <= 180.0)) {
                angle = angle - 360.0 * std::ceil(angle / 360.0 - 0.5);
            }
            record.fundamentalPhaseAngle = angle;
            record.rmsCurrent = std::sqrt(sums.squares[1] / T);
            record.activePower = sums.products[0] / T;
            record.apparentPower = record.rmsCurrent * record.rmsVoltage;
            record.nonActivePower = nonNegativeRoot(record.apparentPower * record.apparentPower -
                                                    record.activePower * record.activePower);
            record.powerFactor = record.apparentPower > 0.0 ? record.activePower / record.apparentPower : 0.0;
        }
        if (lineToLine) {
            record.rmsLineToLine = std::sqrt(sums.products[1] / T);
        }
        if (config.rvcEnabled) {
            rvcPhaseVoltages[k].calculate(record.rmsVoltage, time);
            record.rvcVoltage = rvcPhaseVoltages[k].getCurrentResult();
            if (lineToLine && k < lineToLineCount &&
                buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(6 + k)) != nullptr) {
                rvcLineToLineVoltages[k].calculate(record.rmsLineToLine, time);
                record.rvcLineToLineVoltage = rvcLineToLineVoltages[k].getCurrentResult();
            }
        }
    }

    if (P <= 1) {
        return;
    }
    PowerResultsPeriod& total = results[0];
    total.time = time;
    total.frequency = frequency;
    for (unsigned int k = 0; k < P; ++k) {
        const PowerResultsPeriod& phase = results[k + 1];
        total.rmsVoltage += phase.rmsVoltage / P;
        total.rmsCurrent += phase.rmsCurrent / P;
        total.rmsLineToLine += phase.rmsLineToLine / P;
        total.fundamentalVoltage += phase.fundamentalVoltage / P;
        total.fundamentalCurrent += phase.fundamentalCurrent / P;
        total.activePower += phase.activePower;
        total.apparentPower += phase.apparentPower;
        total.fundamentalActivePower += phase.fundamentalActivePower;
        total.fundamentalApparentPower += phase.fundamentalApparentPower;
        total.fundamentalReactivePowerSum += phase.fundamentalReactivePower;
    }
    total.powerFactor = total.apparentPower > 0.0 ? total.activePower / total.apparentPower : 0.0;
    total.fundamentalReactivePower =
        nonNegativeRoot(total.fundamentalApparentPower * total.fundamentalApparentPower -
                        total.fundamentalActivePower * total.fundamentalActivePower);
    total.nonActivePower =
        nonNegativeRoot(total.apparentPower * total.apparentPower - total.activePower * total.activePower);
    if (config.rvcEnabled) {
        total.rvcVoltage = rvcPhaseVoltages.getTotalResult();
        if (lineToLine) {
            total.rvcLineToLineVoltage = rvcLineToLineVoltages.getTotalResult();
        }
    }
    if (config.arePeriodSymmetricalComponentsEnabled()) {
        // Both sequence sets turn by minus the angle of phase 0's voltage:
        // one rotation for both, as subtractReference forms it.
        const std::complex<double> rotation = PowerSymmetricalComponents::referenceRotation(voltages[0]);
        std::complex<double> sequences[3];
        PowerSymmetricalComponents::transform(voltages, sequences);
        for (unsigned int m = 0; m < 3; ++m) {
            results[m].symmetricalComponent.voltage = sequences[m] * rotation;
        }
        if (currents) {
            PowerSymmetricalComponents::transform(currentPhasors, sequences);
            for (unsigned int m = 0; m < 3; ++m) {
                results[m].symmetricalComponent.current = sequences[m] * rotation;
            }
        }
        for (unsigned int m = 0; m < 3; ++m) {
            PowerSymmetricalComponents::calculate(results[m].symmetricalComponent, currents);
        }
    }
}

// Period values dropped unfetched (see dropOverwrittenPeriodItems) are
// reported once, by the fetch that follows: it throws before it hands out
// anything, and the next one returns the values after the gap. A value
// longer than the rings is the buffer length's fault (std::invalid_argument),
// one overwritten while it waited the fetching's (std::runtime_error).
void PowerModule::PowerModuleImpl::reportLostPeriodValues(bool* hasMoreResults) {
    if (lostPeriodValues == 0) {
        return;
    }
    const unsigned long long lost = lostPeriodValues;
    const unsigned long long span = lostPeriodSpan;
    const uint64_t length = buffers.periodTrackingBuffer.getLength();
    lostPeriodValues = 0;
    lostPeriodSpan = 0;
    *hasMoreResults = !periodResultsQueue.empty();
    if (span > length) {
        throw std::invalid_argument(std::to_string(lost) + " period value(s) dropped: a period value spans " +
                                    std::to_string(span) + " samples, more than the buffer length of " +
                                    std::to_string(length) + ": set a buffer length of at least one period value");
    }
    throw std::runtime_error(std::to_string(lost) + " period value(s) dropped unfetched: their first samples lay " +
                             "two buffer lengths (" + std::to_string(2 * length) +
                             " samples) or more behind the newest one scheduled; fetch with getPeriodResults at "
                             "least once per buffer length");
}

void PowerModule::PowerModuleImpl::getPeriodResults(int* count, bool* hasMoreResults, PowerResultsPeriod** results) {
    if (count == nullptr || hasMoreResults == nullptr || results == nullptr) {
        throw std::invalid_argument("getPeriodResults: null out-parameter");
    }
    requireLaidOutSettings("getPeriodResults", false);
    if (config.areAnyPeriodValuesEnabled() &&
        (buffers.periodResultsBuffer.hostBuffer == nullptr || buffers.periodTrackingBuffer.hostBuffer == nullptr)) {
        throw missingPeriodStorage();
    }
    *count = 0;
    *hasMoreResults = false;
    reportLostPeriodValues(hasMoreResults);
    if (periodResultsQueue.empty()) {
        return;
    }
    PowerResultsPeriod* ring = buffers.periodResultsBuffer.getHostBuffer(0);
    if (ring == nullptr || buffers.waveformBuffer.hostBuffer == nullptr ||
        buffers.periodTrackingBuffer.hostBuffer == nullptr) {
        while (!periodResultsQueue.empty()) {
            periodResultsQueue.pop_front();
        }
        return;
    }
    const uint64_t R = buffers.getPeriodResultsBufferLength();
    const unsigned int recordsPerItem = buffers.recordsPerPeriodItem;
    PowerResultsPeriod* entry = ring + (periodResultsQueue.front()->getItemIndex() % R) * recordsPerItem;
    *results = entry;
    const PeriodChannels channels = channelsOf(config, buffers);
    // The sums of the item after the front, begun while the front's were
    // taken: the positions the two share are read and multiplied once for
    // both (addShared). Only within one fetch, so both see the rings as
    // they are now, as each would alone.
    PeriodSums ahead = freshSums(0);
    const PowerPeriodResultsQueueItem* aheadOf = nullptr;
    while (!periodResultsQueue.empty()) {
        const std::shared_ptr<PowerPeriodResultsQueueItem>& item = periodResultsQueue.front();
        // The entry after the ring's last one is not contiguous with the
        // records handed out so far: stop and let the next fetch start there.
        if (item->getItemIndex() % R == 0 && *count > 0) {
            *hasMoreResults = true;
            return;
        }
        // A span longer than the rings has lost its first positions to its
        // last ones. The values done so far are handed out; the fetch that
        // meets the item first drops it and says so.
        const uint64_t span = item->getLastRequiredSampleIndex() - item->getFirstSampleIndex() + 1;
        if (span > channels.length) {
            if (*count > 0) {
                *hasMoreResults = true;
                return;
            }
            periodResultsQueue.pop_front();
            throw std::invalid_argument("a period value spans " + std::to_string(span) +
                                        " samples, more than the buffer length of " +
                                        std::to_string(channels.length) +
                                        ": set a buffer length of at least one period value");
        }
        const PeriodSpan itemSpan = spanOf(*item);
        PeriodSums sums = aheadOf == item.get() ? ahead : freshSums(itemSpan.first);
        aheadOf = nullptr;
        // The next item, when this fetch calculates it too (the ring does not
        // end before it and its span fits), shares the positions inner to
        // both spans from its first on.
        if (periodResultsQueue.size() > 1) {
            const PowerPeriodResultsQueueItem& next = *periodResultsQueue[1];
            const PeriodSpan nextSpan = spanOf(next);
            const uint64_t begin = std::max(std::max(itemSpan.first, nextSpan.first) + 1, sums.next);
            const uint64_t end = std::min(itemSpan.last, nextSpan.last);
            if (next.getItemIndex() % R != 0 && nextSpan.last - nextSpan.first + 1 <= channels.length && begin < end) {
                ahead = freshSums(nextSpan.first);
                addSpan(channels, itemSpan, sums, begin);
                addSpan(channels, nextSpan, ahead, begin);
                addShared(channels, widePeriodSums, sums, ahead, end);
                aheadOf = &next;
            }
        }
        addSpan(channels, itemSpan, sums, itemSpan.last + 1);
        writePeriodValues(sums, itemSpan.last, itemSpan.lastFraction, item->getTotalLength(), entry);
        *count = *count + 1;
        periodResultsQueue.pop_front();
        entry += recordsPerItem;
    }
}
