// Kernels: the windowed stage's hot loops (the resampling, the transform,
// the conversion of the lines, the sums of the samples), the flickermeters'
// demodulation and filter chain in step, the frequency tracker's comb and
// the period tracking's search for runs of one frequency have a copy for
// the baseline instruction set and one for AVX2 (compiled from one source, or written apart where the
// wider registers hold the data otherwise), and the AVX2 copy runs where the
// processor and the system have it. Both copies do the same operations in
// the same order on the same types (no fused multiply-adds: the AVX2 copy is
// not allowed FMA, and contraction is off), so every result is bit for bit
// the same whichever copy ran; the AVX2 copy takes fewer instructions
// (operands from memory, three-operand forms) and, where it is written so,
// does the same operation on more elements in one register (the resampling:
// a lane's real and imaginary channel interleaved; the lines: two lanes in
// four doubles; the transform: two elements of a stage).
//
// POWERQUALITY_KERNELS=baseline in the environment, read once per process,
// keeps the baseline copy (the tests run the windowed results so too). The
// AVX2 copies are built for x86 with GCC or Clang, not for Windows (where
// the stack is not kept aligned for the wide registers).
#ifndef POWERQUALITY_WINDOWED_KERNELS_H
#define POWERQUALITY_WINDOWED_KERNELS_H

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define POWERQUALITY_AVX2_KERNELS 1
#define POWERQUALITY_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define POWERQUALITY_AVX2_KERNELS 0
#define POWERQUALITY_TARGET_AVX2
#endif

#define POWERQUALITY_KERNEL_INLINE inline __attribute__((always_inline))

#include <cstddef>
#include <cstdint>
#include <vector>

namespace powerquality {

// A float array whose element 0 lies on a 64-byte boundary (a cache line),
// so that the AVX2 copies' loads of eight floats from elements 8j never
// straddle two lines. The contents are not kept across a resize.
class AlignedFloats {
public:
    void resize(size_t n) {
        storage.resize(n + 16);
        const uintptr_t at = reinterpret_cast<uintptr_t>(storage.data());
        first = reinterpret_cast<float*>((at + 63) & ~static_cast<uintptr_t>(63));
    }
    float* data() const { return first; }

private:
    std::vector<float> storage;
    float* first = nullptr;
};

// Whether the AVX2 copies run in this process (decided on the first call).
bool avx2Kernels();

}  // namespace powerquality

#endif
