// LaneFft: a complex forward FFT of one length n over four sequences at once,
// one in each lane of a 4 x float SSE register, so that every butterfly works
// on four channels without shuffles. The windowed calculation packs two real
// channels into each lane (one as the real, one as the imaginary part) and
// so transforms eight real channels per call.
//
// Lengths: any n >= 1 whose only prime factors are 2, 3 and 5 (the lengths
// the windowed stage uses). The transform is a self-sorting (Stockham)
// decimation in frequency with radices 4, 2, 3 and 5; the twiddle factors of
// every stage are computed once per plan, in double precision and rounded to
// float, so a plan costs nothing per window once made. Arithmetic is single
// precision, as the samples are. Where the processor has AVX2 the stages run
// as their AVX2 copy (windowed/Kernels.h), two elements in a register of
// eight, with the same operations on every lane: the results are bit for bit
// those of the four-lane stages.
//
// X_k = sum_j x_j exp(-2 pi i j k / n), unscaled.
#ifndef POWERQUALITY_WINDOWED_LANEFFT_H
#define POWERQUALITY_WINDOWED_LANEFFT_H

#include <vector>

#include "windowed/Kernels.h"

class LaneFft {
public:
    static const unsigned int lanes = 4;

    // Whether a plan of length n can be made (n >= 1, factors 2, 3, 5).
    static bool supports(unsigned int n);

    // Plans length n; std::invalid_argument when supports(n) is false.
    explicit LaneFft(unsigned int n);

    unsigned int size() const { return n; }

    // Transforms the four lanes in place: element j of lane l at re[4j + l]
    // (real part) and im[4j + l] (imaginary part), n elements each.
    void forward(float* re, float* im);

private:
    unsigned int n;
    std::vector<unsigned int> radices;  // in the order the stages apply them
    std::vector<float> twiddleRe;       // per stage, for k < m and t = 1 .. p - 1
    std::vector<float> twiddleIm;
    powerquality::AlignedFloats pairTwiddles;  // the first stage's, as its AVX2 copy reads them
    powerquality::AlignedFloats workRe;  // one array of n elements, or two (see forward)
    powerquality::AlignedFloats workIm;
};

#endif
