// Prints a digest of every windowed output (records, harmonic arrays, spectra,
// signalling voltages) of a table of settings, one line each: tests/
// check_kernels.sh runs it with the kernels this machine chooses and with
// POWERQUALITY_KERNELS=baseline and compares the lines, so that the AVX2 and
// the baseline copies of the windowed stage (src/windowed/Kernels.h) are held
// to the same bits on every channel count, FFT length and branch they have.
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "powerquality/PowerModule.h"

namespace {

struct Case {
    const char* name;
    double sampleRate;
    PowerGridConfigType grid;
    bool currents;
    bool lineToLine;
    bool subgroups;
    bool fullFft;
    double frequency;   // of every window; 0: a tracked frequency, new every window
    double amplitude;   // volts; beyond 2^96 the windows are scaled
};

// Channel counts 1 to 9 (odd ones leave a lane's imaginary part empty), each
// resampled (the resampling's lanes: one alone, one pair, one and a half,
// two, two and a half, three, four and a ninth channel), windows transformed as they are (2048; 375 = 3 x 5^3 and
// 750, whose radix stages end in odd strides and counts), the full FFT,
// samples beyond 2^96.
const Case cases[] = {
    {"single voltage", 10240.0, SinglePhase, false, false, false, false, 0.0, 325.0},
    {"single V+I", 10240.0, SinglePhase, true, false, false, false, 50.0, 325.0},
    {"single V+I resampled", 10240.0, SinglePhase, true, false, false, false, 0.0, 325.0},
    {"three voltages", 3200.0, ThreePhaseStar, false, false, true, false, 0.0, 325.0},
    {"three V+I subgroups", 10240.0, ThreePhaseStar, true, false, true, false, 0.0, 325.0},
    {"nine channels", 10240.0, ThreePhaseStar, true, true, false, false, 0.0, 325.0},
    {"nine channels 2048", 10240.0, ThreePhaseStar, true, true, false, true, 50.0, 325.0},
    {"nine channels 375", 1875.0, ThreePhaseStar, true, true, false, true, 50.0, 325.0},
    {"nine channels 750", 3750.0, ThreePhaseStar, true, true, true, true, 50.0, 325.0},
    {"resampled full FFT", 10240.0, ThreePhaseStar, true, true, false, true, 49.5, 325.0},
    {"beyond 2^96", 10240.0, ThreePhaseStar, true, true, false, false, 49.5, 1e30},
    {"two-phase V+I", 10240.0, TwoPhaseStar, true, false, false, false, 0.0, 325.0},
    {"two-phase V+I+LL", 10240.0, TwoPhaseStar, true, true, true, false, 0.0, 325.0},
    {"three V+LL", 6400.0, ThreePhaseStar, false, true, false, false, 0.0, 325.0},
};

uint64_t digest = 1469598103934665603ull;

void mix(const void* data, size_t bytes) {
    const unsigned char* c = static_cast<const unsigned char*>(data);
    for (size_t k = 0; k < bytes; ++k) {
        digest = (digest ^ c[k]) * 1099511628211ull;
    }
}

template <typename T>
void mixArray(T*& array, size_t count) {
    if (array != nullptr) {
        mix(array, count * sizeof(T));
    }
    array = nullptr;
}

uint64_t run(const Case& c) {
    digest = 1469598103934665603ull;
    PowerModule module;
    module.beginUpdate();
    module.setSampleRate(c.sampleRate, 1);
    module.setBufferLength(static_cast<unsigned int>(2 * c.sampleRate));
    module.setGridConfigType(c.grid);
    module.setCurrentEnabled(c.currents);
    module.setStaticFrequency(50.0, 0.1);
    module.setThdEnabled(true);
    module.setInterHarmonicsEnabled(true);
    module.setHighestRequestedHarmonic(50);
    if (c.grid == ThreePhaseStar) {
        module.setLineToLineResultsEnabled(c.lineToLine);
        module.setSymmetricalComponentsEnabled(true);
    } else if (c.lineToLine) {
        module.setLineToLineResultsEnabled(true);
    }
    module.setHarmonicSubgroupsEnabled(c.subgroups);
    module.setFullFftEnabled(c.fullFft);
    module.setSignallingFrequencies({316.67, 175.0});
    module.setWindowedResultsEnabled(true);
    module.endUpdate();
    // 50 Hz with harmonics, an inter-harmonic and a little noise, phases 120
    // degrees apart, currents a tenth of the voltages.
    const unsigned int L = module.getBufferLength();
    uint32_t seed = 12345;
    for (unsigned char k = 0; k < 9; ++k) {
        float* ring = nullptr;
        if (k < 3) {
            module.getWaveformBufferUStar(k, &ring);
        } else if (k < 6) {
            module.getWaveformBufferI(static_cast<unsigned char>(k - 3), &ring);
        } else {
            module.getWaveformBufferUDelta(static_cast<unsigned char>(k - 6), &ring);
        }
        if (ring == nullptr) {
            continue;
        }
        for (unsigned int p = 0; p < L; ++p) {
            seed = seed * 1664525u + 1013904223u;
            const double noise = ((seed >> 8) / 16777216.0 - 0.5) * 0.01;
            const double th = 2.0 * 3.141592653589793 * 50.0 * p / c.sampleRate - 2.0943951023931953 * (k % 3);
            const double a = (k >= 3 && k < 6) ? c.amplitude / 10.0 : c.amplitude;
            ring[p] = static_cast<float>(a * (std::sin(th) + 0.05 * std::sin(5 * th) + 0.03 * std::sin(7 * th) +
                                              0.01 * std::sin(13.3 * th) + noise));
        }
    }
    module.reset(0);
    unsigned long long first = 0;
    // Enough windows to come round the ring (a window across its end).
    for (int w = 0; w < 24; ++w) {
        const double f = c.frequency > 0.0 ? c.frequency : 50.0 + 0.2 * std::sin(0.16981581 * w);
        module.scheduleForCalculation(first, 10, f);
        for (PowerResultsGeneral r : module.getResults(0)) {
            std::memset(r.reserved, 0, sizeof r.reserved);
            for (PowerResultsGeneralPhase& p : r.phases) {
                for (std::complex<float>** s : {&p.spectrumVoltage, &p.spectrumCurrent, &p.spectrumLineToLine}) {
                    mixArray(*s, r.fftOutputLength);
                }
                for (float** a : {&p.harmonicsVoltage, &p.harmonicsCurrent, &p.harmonicsLineToLine,
                                  &p.interHarmonicsVoltage, &p.interHarmonicsCurrent, &p.interHarmonicsLineToLine,
                                  &p.harmonicsActivePower, &p.harmonicsReactivePower, &p.harmonicsApparentPower,
                                  &p.harmonicsAux, &p.harmonicAnglesVoltage, &p.harmonicAnglesCurrent}) {
                    mixArray(*a, r.harmonicLength);
                }
                p.reservedHarmonics = nullptr;
            }
            mix(&r, sizeof r);
        }
        const std::vector<double> signalling = module.getSignallingVoltages();
        mix(signalling.data(), signalling.size() * sizeof(double));
        first += static_cast<unsigned long long>(std::ceil(10 * c.sampleRate / f));
    }
    return digest;
}

}  // namespace

int main() {
    for (const Case& c : cases) {
        std::printf("%-22s %016llx\n", c.name, static_cast<unsigned long long>(run(c)));
    }
    return 0;
}
