// The analog values of COMTRADE binary records (int16, int32 or float32,
// little-endian, at a fixed offset in records of a fixed size), scaled into
// rows of float32 or float64: the reader's one pass over a block.
//
// Each value is computed as the package's numpy reference computes it, step
// by step in double: the raw value times a, plus b when asked (the caller
// leaves b out only where adding it changes nothing), times each further
// factor in order (the ratio, the unit prefix), and the result rounded once
// into the row. A missing value (an integer type's smallest value, a float
// that is not finite) is a quiet NaN.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
// An AVX2 copy of the four-value loop, eight values at a time, chosen at run
// time on a processor that has AVX2 (GCC and Clang on x86-64).
#if defined(__SSE2__) && defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define POWERQUALITY_READER_AVX2 1
#include <immintrin.h>
#else
#define POWERQUALITY_READER_AVX2 0
#endif

#include "records.h"

namespace py = pybind11;

namespace powerquality_python {

namespace {

// The raw value at p, from its little-endian bytes whatever the host's order.
template <class Raw>
Raw load(const unsigned char* p) {
    Raw x;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(&x, p, sizeof x);
#else
    unsigned char bytes[sizeof(Raw)];
    for (std::size_t k = 0; k < sizeof(Raw); ++k) {
        bytes[k] = p[sizeof(Raw) - 1 - k];
    }
    std::memcpy(&x, bytes, sizeof x);
#endif
    return x;
}

template <class Raw>
bool missing(Raw x) {
    return x == std::numeric_limits<Raw>::min();
}

template <>
bool missing<float>(float x) {
    return !std::isfinite(x);
}

struct Steps {
    double a = 1.0;
    double b = 0.0;
    bool addB = false;
    std::vector<double> factors;  // after a (and b), in order
};

#if defined(__SSE2__)
// Four raw values as four int32 (an int16 widened) or float lanes.
template <class Raw>
struct Lanes {
    typedef __m128i Type;
    static Type gather(const unsigned char* p, std::size_t stride) {
        return _mm_set_epi32(load<Raw>(p + 3 * stride), load<Raw>(p + 2 * stride), load<Raw>(p + stride),
                             load<Raw>(p));
    }
    // All ones in a lane whose value is missing (the type's smallest).
    static __m128i missing(Type x) {
        return _mm_cmpeq_epi32(x, _mm_set1_epi32(std::numeric_limits<Raw>::min()));
    }
    static __m128d low(Type x) { return _mm_cvtepi32_pd(x); }
    static __m128d high(Type x) { return _mm_cvtepi32_pd(_mm_shuffle_epi32(x, _MM_SHUFFLE(1, 0, 3, 2))); }
};

template <>
struct Lanes<float> {
    typedef __m128 Type;
    static Type gather(const unsigned char* p, std::size_t stride) {
        return _mm_set_ps(load<float>(p + 3 * stride), load<float>(p + 2 * stride), load<float>(p + stride),
                          load<float>(p));
    }
    // x - x is 0 for a finite x, NaN (unequal to anything) for an infinity or NaN.
    static __m128i missing(Type x) {
        return _mm_castps_si128(_mm_cmpneq_ps(_mm_sub_ps(x, x), _mm_setzero_ps()));
    }
    static __m128d low(Type x) { return _mm_cvtps_pd(x); }
    static __m128d high(Type x) { return _mm_cvtps_pd(_mm_movehl_ps(x, x)); }
};

// The steps on two lanes of doubles: each lane as one value alone.
template <bool AddB, int Factors>
__m128d scaleLanes(__m128d v, __m128d a, __m128d b, __m128d f0, __m128d f1) {
    v = _mm_mul_pd(v, a);
    if (AddB) {
        v = _mm_add_pd(v, b);
    }
    if (Factors > 0) {
        v = _mm_mul_pd(v, f0);
    }
    if (Factors > 1) {
        v = _mm_mul_pd(v, f1);
    }
    return v;
}

// Four values at a time into float32 rows (SSE2, which every x86-64 has):
// the same operations on each value as one at a time, rounded into the row
// once as the scalar conversion rounds. Returns the values done.
template <class Raw, bool AddB, int Factors>
std::size_t scaleFour(const unsigned char* first, std::size_t stride, std::size_t count, double a, double b,
                      double f0, double f1, float* out, bool& suspect) {
    const __m128d va = _mm_set1_pd(a), vb = _mm_set1_pd(b), v0 = _mm_set1_pd(f0), v1 = _mm_set1_pd(f1);
    __m128i hits = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const typename Lanes<Raw>::Type x = Lanes<Raw>::gather(first + i * stride, stride);
        hits = _mm_or_si128(hits, Lanes<Raw>::missing(x));
        const __m128d low = scaleLanes<AddB, Factors>(Lanes<Raw>::low(x), va, vb, v0, v1);
        const __m128d high = scaleLanes<AddB, Factors>(Lanes<Raw>::high(x), va, vb, v0, v1);
        _mm_storeu_ps(out + i, _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high)));
    }
    suspect = suspect || _mm_movemask_epi8(hits) != 0;
    return i;
}
#endif

#if POWERQUALITY_READER_AVX2
bool hasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}

// Eight raw values as eight int32 (an integer widened) or float lanes, and the
// steps on four lanes of doubles: each lane as one value alone, as above.
template <class Raw>
struct Lanes8 {
    __attribute__((target("avx2"))) static __m256i gather(const unsigned char* p, std::size_t s) {
        return _mm256_setr_epi32(load<Raw>(p), load<Raw>(p + s), load<Raw>(p + 2 * s), load<Raw>(p + 3 * s),
                                 load<Raw>(p + 4 * s), load<Raw>(p + 5 * s), load<Raw>(p + 6 * s),
                                 load<Raw>(p + 7 * s));
    }
    __attribute__((target("avx2"))) static __m256i missing(__m256i x) {
        return _mm256_cmpeq_epi32(x, _mm256_set1_epi32(std::numeric_limits<Raw>::min()));
    }
    __attribute__((target("avx2"))) static __m256d low(__m256i x) {
        return _mm256_cvtepi32_pd(_mm256_castsi256_si128(x));
    }
    __attribute__((target("avx2"))) static __m256d high(__m256i x) {
        return _mm256_cvtepi32_pd(_mm256_extracti128_si256(x, 1));
    }
};

template <>
struct Lanes8<float> {
    __attribute__((target("avx2"))) static __m256i gather(const unsigned char* p, std::size_t s) {
        return _mm256_castps_si256(_mm256_setr_ps(load<float>(p), load<float>(p + s), load<float>(p + 2 * s),
                                                  load<float>(p + 3 * s), load<float>(p + 4 * s),
                                                  load<float>(p + 5 * s), load<float>(p + 6 * s),
                                                  load<float>(p + 7 * s)));
    }
    __attribute__((target("avx2"))) static __m256i missing(__m256i bits) {
        const __m256 x = _mm256_castsi256_ps(bits);
        return _mm256_castps_si256(_mm256_cmp_ps(_mm256_sub_ps(x, x), _mm256_setzero_ps(), _CMP_NEQ_UQ));
    }
    __attribute__((target("avx2"))) static __m256d low(__m256i x) {
        return _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_castsi256_ps(x)));
    }
    __attribute__((target("avx2"))) static __m256d high(__m256i x) {
        return _mm256_cvtps_pd(_mm256_extractf128_ps(_mm256_castsi256_ps(x), 1));
    }
};

template <bool AddB, int Factors>
__attribute__((target("avx2"))) __m256d scaleLanes8(__m256d v, __m256d a, __m256d b, __m256d f0, __m256d f1) {
    v = _mm256_mul_pd(v, a);
    if (AddB) {
        v = _mm256_add_pd(v, b);
    }
    if (Factors > 0) {
        v = _mm256_mul_pd(v, f0);
    }
    if (Factors > 1) {
        v = _mm256_mul_pd(v, f1);
    }
    return v;
}

// Eight values at a time into float32 rows: the values scaleFour gives, with
// half the conversions and stores. Returns the values done.
template <class Raw, bool AddB, int Factors>
__attribute__((target("avx2"))) std::size_t scaleEight(const unsigned char* first, std::size_t stride,
                                                       std::size_t count, double a, double b, double f0, double f1,
                                                       float* out, bool& suspect) {
    const __m256d va = _mm256_set1_pd(a), vb = _mm256_set1_pd(b), v0 = _mm256_set1_pd(f0), v1 = _mm256_set1_pd(f1);
    __m256i hits = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        const __m256i x = Lanes8<Raw>::gather(first + i * stride, stride);
        hits = _mm256_or_si256(hits, Lanes8<Raw>::missing(x));
        const __m128 low = _mm256_cvtpd_ps(scaleLanes8<AddB, Factors>(Lanes8<Raw>::low(x), va, vb, v0, v1));
        const __m128 high = _mm256_cvtpd_ps(scaleLanes8<AddB, Factors>(Lanes8<Raw>::high(x), va, vb, v0, v1));
        _mm256_storeu_ps(out + i, _mm256_insertf128_ps(_mm256_castps128_ps256(low), high, 1));
    }
    suspect = suspect || _mm256_movemask_epi8(hits) != 0;
    return i;
}
#endif

// One row: the values at first, first + stride, ... scaled into out; returns
// whether a raw value is missing (the row is then searched for them).
template <class Raw, class Out, bool AddB, int Factors>
bool scaleRow(const unsigned char* first, std::size_t stride, std::size_t count, const Steps& s, Out* out) {
    const double a = s.a;
    const double b = s.b;
    const double f0 = Factors > 0 ? s.factors[0] : 1.0;
    const double f1 = Factors > 1 ? s.factors[1] : 1.0;
    bool suspect = false;
    std::size_t i = 0;
#if defined(__SSE2__)
    if constexpr (std::is_same<Out, float>::value) {
#if POWERQUALITY_READER_AVX2
        if (hasAvx2()) {
            i = scaleEight<Raw, AddB, Factors>(first, stride, count, a, b, f0, f1, out, suspect);
        }
#endif
        i += scaleFour<Raw, AddB, Factors>(first + i * stride, stride, count - i, a, b, f0, f1, out + i, suspect);
    }
#endif
    for (; i < count; ++i) {
        const Raw x = load<Raw>(first + i * stride);
        suspect |= missing(x);
        double v = static_cast<double>(x) * a;
        if (AddB) {
            v = v + b;
        }
        if (Factors > 0) {
            v = v * f0;
        }
        if (Factors > 1) {
            v = v * f1;
        }
        out[i] = static_cast<Out>(v);
    }
    return suspect;
}

template <class Raw, class Out>
void scaleRowAny(const unsigned char* first, std::size_t stride, std::size_t count, const Steps& s, Out* out) {
    const std::size_t factors = s.factors.size();
    bool suspect;
    if (s.addB) {
        suspect = factors == 0   ? scaleRow<Raw, Out, true, 0>(first, stride, count, s, out)
                  : factors == 1 ? scaleRow<Raw, Out, true, 1>(first, stride, count, s, out)
                                 : scaleRow<Raw, Out, true, 2>(first, stride, count, s, out);
    } else {
        suspect = factors == 0   ? scaleRow<Raw, Out, false, 0>(first, stride, count, s, out)
                  : factors == 1 ? scaleRow<Raw, Out, false, 1>(first, stride, count, s, out)
                                 : scaleRow<Raw, Out, false, 2>(first, stride, count, s, out);
    }
    if (suspect) {
        const Out nan = std::numeric_limits<Out>::quiet_NaN();
        for (std::size_t i = 0; i < count; ++i) {
            if (missing(load<Raw>(first + i * stride))) {
                out[i] = nan;
            }
        }
    }
}

// Row by row: each row's values read from the records and scaled in one loop
// of its own steps.
template <class Out>
void scaleRows(const unsigned char* records, std::size_t recordSize, std::size_t count, const std::string& rawType,
               const std::vector<std::size_t>& offsets, const std::vector<Steps>& steps, Out* out) {
    for (std::size_t row = 0; row < offsets.size(); ++row) {
        const unsigned char* first = records + offsets[row];
        Out* dest = out + row * count;
        if (rawType == "<i2") {
            scaleRowAny<std::int16_t>(first, recordSize, count, steps[row], dest);
        } else if (rawType == "<i4") {
            scaleRowAny<std::int32_t>(first, recordSize, count, steps[row], dest);
        } else {
            scaleRowAny<float>(first, recordSize, count, steps[row], dest);
        }
    }
}

void scaleRecords(py::buffer records, std::size_t recordSize, std::size_t analogOffset, std::size_t analogCount,
                  const std::string& rawType, const std::vector<std::size_t>& columns, py::sequence stepsArg,
                  py::array out) {
    if (rawType != "<i2" && rawType != "<i4" && rawType != "<f4") {
        throw py::value_error("raw type " + rawType + ": give '<i2', '<i4' or '<f4'");
    }
    const std::size_t width = rawType == "<i2" ? 2 : 4;
    if (recordSize == 0 || analogOffset + analogCount * width > recordSize) {
        throw py::value_error("records of " + std::to_string(recordSize) + " bytes do not hold " +
                              std::to_string(analogCount) + " analog values at byte " + std::to_string(analogOffset));
    }
    const py::buffer_info raw = records.request();
    if (raw.ndim != 1 || raw.itemsize != 1 || raw.strides[0] != 1) {
        throw py::value_error("records must be contiguous bytes");
    }
    const std::size_t bytes = static_cast<std::size_t>(raw.size);
    if (bytes % recordSize) {
        throw py::value_error(std::to_string(bytes) + " bytes are not a whole number of " +
                              std::to_string(recordSize) + "-byte records");
    }
    const std::size_t count = bytes / recordSize;
    if (py::len(stepsArg) != columns.size()) {
        throw py::value_error("one step list per column: " + std::to_string(py::len(stepsArg)) + " for " +
                              std::to_string(columns.size()) + " columns");
    }
    std::vector<Steps> steps;
    std::vector<std::size_t> offsets;
    for (std::size_t row = 0; row < columns.size(); ++row) {
        if (columns[row] >= analogCount) {
            throw py::value_error("column " + std::to_string(columns[row]) + " is not one of the " +
                                  std::to_string(analogCount) + " analog values");
        }
        const py::tuple t = py::reinterpret_borrow<py::object>(stepsArg[row]).cast<py::tuple>();
        if (t.size() != 3) {
            throw py::value_error("a column's steps are (a, b or None, factors)");
        }
        Steps s;
        s.a = t[0].cast<double>();
        s.addB = !t[1].is_none();
        s.b = s.addB ? t[1].cast<double>() : 0.0;
        s.factors = t[2].cast<std::vector<double>>();
        if (s.factors.size() > 2) {
            throw py::value_error("at most two factors after a and b (the ratio and the prefix)");
        }
        steps.push_back(std::move(s));
        offsets.push_back(analogOffset + columns[row] * width);
    }
    const bool isFloat = py::isinstance<py::array_t<float>>(out);
    const bool isDouble = py::isinstance<py::array_t<double>>(out);
    if ((!isFloat && !isDouble) || out.ndim() != 2 || !(out.flags() & py::array::c_style) || !out.writeable() ||
        static_cast<std::size_t>(out.shape(0)) != columns.size() || static_cast<std::size_t>(out.shape(1)) != count) {
        throw py::value_error("out must be a writable C-contiguous float32 or float64 array of (" +
                              std::to_string(columns.size()) + ", " + std::to_string(count) + ")");
    }
    const auto* data = static_cast<const unsigned char*>(raw.ptr);
    void* dest = out.mutable_data();
    py::gil_scoped_release unlocked;
    if (isFloat) {
        scaleRows(data, recordSize, count, rawType, offsets, steps, static_cast<float*>(dest));
    } else {
        scaleRows(data, recordSize, count, rawType, offsets, steps, static_cast<double*>(dest));
    }
}

}  // namespace

void bindReader(py::module_& m) {
    m.def("scale_records", &scaleRecords, py::arg("records"), py::arg("record_size"), py::arg("analog_offset"),
          py::arg("analog_count"), py::arg("raw_type"), py::arg("columns"), py::arg("steps"), py::arg("out"),
          R"(Scale the analog values of binary records into rows (the COMTRADE reader's one pass over a block).

Parameters
----------
records : bytes-like
    Whole records of record_size bytes each; the analog values, analog_count
    of raw_type ('<i2', '<i4' or '<f4'), start at byte analog_offset of each.
columns : sequence of int
    The analog value of each row of out.
steps : sequence of (a, b or None, factors)
    Per row: the raw value (as a double) times a, plus b unless it is None,
    times each of factors (at most two) in order; the result rounded once
    into out. A missing raw value (the integer type's smallest, a float that
    is not finite) gives NaN.
out : ndarray
    float32 or float64, C-contiguous, (len(columns), number of records).)");
}

}  // namespace powerquality_python
