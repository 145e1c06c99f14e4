#include "windowed/WindowedCalculation.h"

#include <unsupported/Eigen/FFT>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <vector>

#include "maths/PowerSymmetricalComponents.h"

namespace {

constexpr double degreesPerRadian = 57.29577951308232;

// The channels of a window: waveform item and what it is.
enum class Kind { Voltage, Current, LineToLine };

struct Channel {
    unsigned short item;  // waveform item: 0-2 voltages, 3-5 currents, 6-8 line-to-line
    unsigned short phase;
    Kind kind;
};

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
// waiting for one another.
void sumAndSquares(const float* x, unsigned int n, double& sum, double& squares) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    double q[4] = {0.0, 0.0, 0.0, 0.0};
    unsigned int k = 0;
    for (; k + 4 <= n; k += 4) {
        for (unsigned int lane = 0; lane < 4; ++lane) {
            const double v = x[k + lane];
            s[lane] += v;
            q[lane] += v * v;
        }
    }
    for (unsigned int lane = 0; k < n; ++k, ++lane) {
        const double v = x[k];
        s[lane] += v;
        q[lane] += v * v;
    }
    sum = (s[0] + s[1]) + (s[2] + s[3]);
    squares = (q[0] + q[1]) + (q[2] + q[3]);
}

// Sum of the products of n sample pairs, with partial sums as above.
double sumOfProducts(const float* u, const float* i, unsigned int n) {
    double s[4] = {0.0, 0.0, 0.0, 0.0};
    unsigned int k = 0;
    for (; k + 4 <= n; k += 4) {
        for (unsigned int lane = 0; lane < 4; ++lane) {
            s[lane] += static_cast<double>(u[k + lane]) * static_cast<double>(i[k + lane]);
        }
    }
    for (unsigned int lane = 0; k < n; ++k, ++lane) {
        s[lane] += static_cast<double>(u[k]) * static_cast<double>(i[k]);
    }
    return (s[0] + s[1]) + (s[2] + s[3]);
}

}  // namespace

struct WindowedCalculation::State {
    Eigen::FFT<float> fft;
    std::vector<float> samples[9];               // the window's samples per waveform item
    std::vector<std::complex<double>> lines[9];  // RMS phasors Z_0 .. Z_{M/2} per waveform item
    std::vector<double> power;                   // |Z_k|^2 of one channel
    std::vector<double> groups;                  // squared harmonic groups of one channel
    std::vector<double> subgroups;               // squared inter-harmonic subgroups of one channel
    std::vector<float> input;                    // FFT input of one channel
    std::vector<std::complex<float>> output;     // FFT output of one channel
    // Resampling plan: for output point j the first stencil sample and six
    // weights; kept while windows keep their length.
    std::vector<unsigned int> stencil;
    std::vector<float> weights;
    std::vector<std::complex<double>> correction;  // 1 / mean response of the interpolation, per line
    double planExactLength = -1.0;
    unsigned int planLength = 0;
    unsigned int planFftLength = 0;

    State() { fft.SetFlag(Eigen::FFT<float>::HalfSpectrum); }

    void plan(double exactLength, unsigned int N, unsigned int M);
};

// Six-point Lagrange interpolation at u, with nodes at 0 .. 5 relative to
// the stencil's first sample.
void WindowedCalculation::State::plan(double exactLength, unsigned int N, unsigned int M) {
    if (exactLength == planExactLength && N == planLength && M == planFftLength) {
        return;
    }
    static const double denominators[6] = {-120.0, 24.0, -12.0, 12.0, -24.0, 120.0};
    stencil.resize(M);
    weights.resize(static_cast<size_t>(M) * 6);
    const double step = exactLength / M;
    for (unsigned int j = 0; j < M; ++j) {
        const double t = j * step;
        const long long i = static_cast<long long>(std::floor(t));
        long long base = i - 2;
        base = std::max<long long>(0, std::min<long long>(base, static_cast<long long>(N) - 6));
        const double u = t - static_cast<double>(base);
        double d[6];
        for (int k = 0; k < 6; ++k) {
            d[k] = u - k;
        }
        for (int m = 0; m < 6; ++m) {
            double product = 1.0;
            for (int k = 0; k < 6; ++k) {
                if (k != m) {
                    product *= d[k];
                }
            }
            weights[static_cast<size_t>(j) * 6 + m] = static_cast<float>(product / denominators[m]);
        }
        stencil[j] = static_cast<unsigned int>(base);
    }
    planExactLength = exactLength;
    planLength = N;
    planFftLength = M;

    // A component exactly on line k (angular frequency w = 2 pi k / W per
    // sample) reaches that line scaled by the mean, over the output points,
    // of the interpolation's response H(w, d) = sum_m w_m(d) e^{jw(m - 2 - d)}
    // at the point's fraction d. The fractions of the points are spread
    // evenly over [0, 1), so the mean is taken over 16 evenly spaced
    // fractions, and each line is divided by it where it is at least 0.5
    // (above that the interpolation has lost too much to restore).
    static const int fractions = 16;
    static double fractionWeights[fractions][6];
    static const bool fractionWeightsReady = [] {
        for (int q = 0; q < fractions; ++q) {
            const double u = 2.0 + (q + 0.5) / fractions;
            for (int m = 0; m < 6; ++m) {
                double product = 1.0;
                for (int k = 0; k < 6; ++k) {
                    if (k != m) {
                        product *= u - k;
                    }
                }
                fractionWeights[q][m] = static_cast<float>(product / denominators[m]);
            }
        }
        return true;
    }();
    (void)fractionWeightsReady;
    const unsigned int lines = M / 2 + 1;
    correction.assign(lines, std::complex<double>(1.0, 0.0));
    for (unsigned int k = 1; k < lines; ++k) {
        const double w = 2.0 * 3.141592653589793 * k / exactLength;
        std::complex<double> powers[6];
        powers[0] = 1.0;
        const std::complex<double> step(std::cos(w), std::sin(w));
        for (int m = 1; m < 6; ++m) {
            powers[m] = powers[m - 1] * step;
        }
        const std::complex<double> fractionStep = std::polar(1.0, -w / fractions);
        std::complex<double> shift = std::polar(1.0, -w * (2.0 + 0.5 / fractions));
        std::complex<double> mean;
        for (int q = 0; q < fractions; ++q, shift *= fractionStep) {
            std::complex<double> h;
            for (int m = 0; m < 6; ++m) {
                h += fractionWeights[q][m] * powers[m];
            }
            mean += h * shift;
        }
        mean /= static_cast<double>(fractions);
        if (std::abs(mean) >= 0.5) {
            correction[k] = 1.0 / mean;
        }
    }
}

WindowedCalculation::WindowedCalculation() : state(new State()) {}

WindowedCalculation::~WindowedCalculation() = default;

bool WindowedCalculation::isDirectLength(unsigned long long samples) {
    if (samples == 0) {
        return false;
    }
    for (unsigned long long factor : {2ull, 3ull, 5ull}) {
        while (samples % factor == 0) {
            samples /= factor;
        }
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

    std::vector<Channel> channels;
    for (unsigned short p = 0; p < phases; ++p) {
        channels.push_back({p, p, Kind::Voltage});
        if (currents) {
            channels.push_back({static_cast<unsigned short>(3 + p), p, Kind::Current});
        }
        if (p < lineToLineCount) {
            channels.push_back({static_cast<unsigned short>(6 + p), p, Kind::LineToLine});
        }
    }

    PowerResultsGeneral& raw = *buffers.generalResultsBuffer.getHostBufferAt(slot, 1, 0);
    std::memset(static_cast<void*>(&raw), 0, sizeof raw);

    if (!direct) {
        st.plan(exactLength, N, M);
    }
    st.input.resize(M);
    st.output.resize(half + 1);
    const double scale = std::sqrt(2.0) / M;
    const double dcScale = 1.0 / M;

    // Time-domain sums, the spectrum, and everything that needs one channel only.
    std::vector<double>& power = st.power;
    for (const Channel& c : channels) {
        std::vector<float>& x = st.samples[c.item];
        x.resize(N);
        const float* ring = buffers.waveformBuffer.getHostBuffer(c.item);
        const unsigned int firstPart = std::min(N, ringLength - start);
        std::memcpy(x.data(), ring + start, firstPart * sizeof(float));
        std::memcpy(x.data() + firstPart, ring, (N - firstPart) * sizeof(float));
        double sum = 0.0;
        double squares = 0.0;
        sumAndSquares(x.data(), N, sum, squares);

        if (direct) {
            std::memcpy(st.input.data(), x.data(), M * sizeof(float));
        } else {
            const float* w = st.weights.data();
            for (unsigned int j = 0; j < M; ++j, w += 6) {
                const float* s = x.data() + st.stencil[j];
                st.input[j] = w[0] * s[0] + w[1] * s[1] + w[2] * s[2] + w[3] * s[3] + w[4] * s[4] + w[5] * s[5];
            }
        }
        st.fft.fwd(st.output.data(), st.input.data(), static_cast<Eigen::Index>(M));

        std::vector<std::complex<double>>& Z = st.lines[c.item];
        Z.resize(half + 1);
        power.resize(half + 1);
        double spectrumSquares = 0.0;
        for (unsigned int k = 0; k <= half; ++k) {
            const double f = (k == 0 || 2 * k == M) ? dcScale : scale;
            Z[k] = std::complex<double>(st.output[k].real() * f, st.output[k].imag() * f);
            if (!direct) {
                Z[k] *= st.correction[k];
            }
            power[k] = std::norm(Z[k]);
            spectrumSquares += power[k];
        }
        const auto line = [&](unsigned long long k) { return k <= half ? power[k] : 0.0; };

        PowerResultsGeneralPhase& r = raw.phases[c.phase];
        switch (c.kind) {
            case Kind::Voltage:
                r.dcVoltage = sum;
                r.rmsVoltage = squares;
                r.spectrumRmsVoltage = spectrumSquares;
                break;
            case Kind::Current:
                r.dcCurrent = sum;
                r.rmsCurrent = squares;
                r.spectrumRmsCurrent = spectrumSquares;
                break;
            case Kind::LineToLine:
                r.dcLineToLine = sum;
                r.rmsLineToLine = squares;
                r.spectrumRmsLineToLine = spectrumSquares;
                break;
        }

        // Harmonic groups (squares first, for the distortion sums).
        std::vector<double>& groups = st.groups;
        groups.assign(H, 0.0);
        for (unsigned int h = 1; h < H; ++h) {
            const unsigned long long centre = static_cast<unsigned long long>(h) * P;
            double g = 0.0;
            if (P % 2 == 0) {
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
            for (unsigned int h = 0; h < H; ++h) {
                const unsigned long long base = static_cast<unsigned long long>(h) * P;
                for (unsigned int i = 2; i + 2 <= P; ++i) {
                    subgroups[h] += line(base + i);
                }
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
            angles[0] = static_cast<float>(degreesOf(Z[0]));
            for (unsigned int h = 1; h < H; ++h) {
                const unsigned long long k = static_cast<unsigned long long>(h) * P;
                angles[h] = k <= half ? static_cast<float>(degreesOf(Z[k])) : 0.0f;
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
        for (unsigned short p = 0; p < phases; ++p) {
            const std::vector<float>& u = st.samples[p];
            const std::vector<float>& i = st.samples[3 + p];
            const double products = sumOfProducts(u.data(), i.data(), N);
            const std::vector<std::complex<double>>& Zu = st.lines[p];
            const std::vector<std::complex<double>>& Zi = st.lines[3 + p];
            double active = 0.0;
            double reactive = 0.0;
            for (unsigned int k = 0; k <= half; ++k) {
                const std::complex<double> s = Zu[k] * std::conj(Zi[k]);
                active += s.real();
                reactive += s.imag();
            }
            PowerResultsGeneralPhase& r = raw.phases[p];
            r.activePower = products;
            r.spectrumActivePower = active;
            r.nonActivePower = reactive;  // raw reactive power sits at offset 112

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
                aux[h] = static_cast<float>(wrapDegrees(degreesOf(U) - degreesOf(I)));
            }
        }
    }

    if (config.areSymmetricalComponentsEnabled() && P <= half) {
        const std::complex<double> reference = st.lines[0][P];
        // The sequences of the voltages (lines 0-2, item 0) and currents (lines
        // 3-5, item 3), both turned to phase 1's voltage.
        auto storeSequences = [&](unsigned int line, unsigned short item) {
            std::vector<std::complex<double>> phases = {st.lines[line][P], st.lines[line + 1][P],
                                                        st.lines[line + 2][P]};
            std::vector<std::complex<double>> sequences = PowerSymmetricalComponents::transform(phases);
            PowerSymmetricalComponents::subtractReference(sequences, reference);
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
