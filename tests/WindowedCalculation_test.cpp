// Windows computed from synthesised and recorded samples, driven through
// PowerModule as a host drives it: write the rings, schedule, fetch.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <stdexcept>
#include <string>
#include <vector>

#include "ComtradeRecording.h"
#include "SignalDriver.h"
#include "TestAccess.h"
#include "powerquality/PowerModuleApi.h"

namespace {

using Impl = PowerModule::PowerModuleImpl;

constexpr double pi = 3.141592653589793;
constexpr double root2 = 1.4142135623730951;

struct WindowSetup {
    PowerGridConfigType grid = SinglePhase;
    double fs = 10240.0;
    double nominal = 50.0;
    unsigned short periods = 10;
    unsigned int ring = 10240;
    bool lineToLine = false;
    bool symmetrical = false;
    bool fullFft = false;
};

void configure(PowerModule& m, const WindowSetup& s) {
    m.beginUpdate();
    m.setGridConfigType(s.grid);
    m.setSampleRate(s.fs, 1);
    m.setBufferLength(s.ring);
    m.setStaticFrequency(s.nominal, 0.1);
    m.setPeriodCount(s.periods);
    m.setThdEnabled(true);
    m.setInterHarmonicsEnabled(true);
    m.setLineToLineResultsEnabled(s.lineToLine);
    m.setSymmetricalComponentsEnabled(s.symmetrical);
    m.setFullFftEnabled(s.fullFft);
    m.setWindowedResultsEnabled(true);
    m.endUpdate();
    m.reset(0);
}

// One window of `periods` cycles at f starting at `first`, written and fetched.
PowerResultsGeneral window(PowerModule& m, const SignalDriver::Signal& signal, unsigned long long first, int periods,
                           double f) {
    SignalDriver driver(m);
    driver.write(first, static_cast<uint64_t>(std::ceil(periods * m.getSampleRate() / f)), signal);
    m.scheduleForCalculation(first, periods, f);
    const std::vector<PowerResultsGeneral> results = m.getResults(0);
    EXPECT_EQ(results.size(), 1u);
    return results.empty() ? PowerResultsGeneral{} : results[0];
}

// 230 V with 5 % 5th and 3 % 7th harmonic (sine phase), optional DC and an
// inter-harmonic; the current 10 A lags the voltage by 30 degrees and carries
// 20 % 5th harmonic lagging its voltage harmonic by 60 degrees.
SignalDriver::Signal distorted(double fs, double f, double dc = 0.0, double interHz = 0.0, double interRms = 0.0) {
    return [=](unsigned channel, uint64_t p) {
        const double t = static_cast<double>(p) / fs;
        const double th = 2 * pi * f * t;
        if (channel >= 3) {
            return 10.0 * root2 * (std::sin(th - pi / 6) + 0.2 * std::sin(5 * th - pi / 3));
        }
        return dc + 230.0 * root2 * (std::sin(th) + 0.05 * std::sin(5 * th) + 0.03 * std::sin(7 * th)) +
               interRms * root2 * std::sin(2 * pi * interHz * t);
    };
}

TEST(WindowedCalculation, HarmonicsAndThdOnAndOffNominal) {
    struct Case {
        double nominal, f;
        unsigned short periods;
        double tolerance;  // relative
        unsigned fftLines;  // FFT length / 2 + 1: the window itself, or the next multiple of 4 with factors 2, 3, 5
    };
    const Case cases[] = {{50.0, 50.0, 10, 0.001, 1025}, {50.0, 49.5, 10, 0.005, 1081}, {50.0, 50.5, 10, 0.005, 1025},
                          {60.0, 60.0, 12, 0.005, 1025}, {60.0, 59.7, 12, 0.005, 1081}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.f);
        PowerModule m;
        WindowSetup s;
        s.nominal = c.nominal;
        s.periods = c.periods;
        configure(m, s);
        const PowerResultsGeneral g = window(m, distorted(s.fs, c.f), 1000, c.periods, c.f);
        const PowerResultsGeneralPhase& p = g.phases[0];
        const double exact = c.periods * s.fs / c.f;
        EXPECT_EQ(g.length, static_cast<unsigned>(std::ceil(exact - 1e-6)));
        EXPECT_EQ(g.firstSampleIndex, 1000u);
        EXPECT_NEAR(g.dFrequency, c.f / c.periods, 1e-9);
        EXPECT_EQ(g.harmonicLength, 41u);  // orders 0 to thdHighestHarmonic
        EXPECT_EQ(g.fftOutputLength, c.fftLines);
        const double expected[8] = {0, 230.0, 0, 0, 0, 11.5, 0, 6.9};
        for (unsigned h = 1; h < 8; ++h) {
            SCOPED_TRACE(h);
            EXPECT_NEAR(p.harmonicsVoltage[h], expected[h], std::max(expected[h] * c.tolerance, 0.02));
        }
        EXPECT_NEAR(p.fundamentalVoltage, 230.0, 230.0 * c.tolerance);
        const double thd = 100.0 * std::sqrt(0.05 * 0.05 + 0.03 * 0.03);
        EXPECT_NEAR(p.thdVoltage.thd, thd, c.tolerance == 0.001 ? 0.01 : thd * c.tolerance);
        EXPECT_NEAR(p.thdVoltage.partialThd1, thd, thd * c.tolerance);  // odd orders only
        EXPECT_NEAR(p.thdVoltage.partialThd2, 0.0, 0.01);               // no even order
        const double rms = 230.0 * std::sqrt(1 + 0.0025 + 0.0009);
        EXPECT_NEAR(p.spectrumRmsVoltage, rms, rms * c.tolerance);
        EXPECT_NEAR(p.rmsVoltage, rms, rms * 0.003);  // over whole samples: up to half a sample too many
    }
}

TEST(WindowedCalculation, HighOrdersSurviveResampling) {
    // 5760 Hz: order 40 at 49.5 Hz has under three samples per cycle.
    PowerModule m;
    WindowSetup s;
    s.fs = 5760.0;
    s.ring = 5760;
    configure(m, s);
    const SignalDriver::Signal signal = [](unsigned, uint64_t p) {
        const double th = 2 * pi * 49.5 * static_cast<double>(p) / 5760.0;
        return 230.0 * root2 * (std::sin(th) + 0.01 * std::sin(25 * th + 1.0) + 0.01 * std::sin(40 * th + 2.0));
    };
    const PowerResultsGeneral g = window(m, signal, 0, 10, 49.5);
    EXPECT_NEAR(g.phases[0].harmonicsVoltage[25], 2.3, 2.3 * 0.005);
    EXPECT_NEAR(g.phases[0].harmonicsVoltage[40], 2.3, 2.3 * 0.005);
}

TEST(WindowedCalculation, DcPowersAndAnglesOfALaggingCurrent) {
    PowerModule m;
    configure(m, WindowSetup{});
    const PowerResultsGeneral g = window(m, distorted(10240.0, 50.0, 12.0), 0, 10, 50.0);
    const PowerResultsGeneralPhase& p = g.phases[0];
    EXPECT_NEAR(p.dcVoltage, 12.0, 1e-3);
    EXPECT_NEAR(p.harmonicsVoltage[0], 12.0, 1e-3);
    EXPECT_NEAR(p.dcCurrent, 0.0, 1e-4);
    EXPECT_NEAR(p.displacementPowerFactor, std::cos(pi / 6), 1e-5);
    EXPECT_NEAR(p.fundamentalActivePower, 2300.0 * std::cos(pi / 6), 0.01);
    EXPECT_NEAR(p.fundamentalReactivePower, 1150.0, 0.01);  // lagging: positive
    EXPECT_NEAR(p.fundamentalApparentPower, 2300.0, 0.01);
    EXPECT_NEAR(p.harmonicsActivePower[5], 11.5 * 2.0 * 0.5, 1e-3);  // 5th: 60 degrees apart
    EXPECT_NEAR(p.harmonicsReactivePower[5], 11.5 * 2.0 * std::sin(pi / 3), 1e-3);
    EXPECT_NEAR(p.harmonicsActivePower[7], 0.0, 1e-3);  // no 7th in the current
    EXPECT_NEAR(p.fundamentalAux, 30.0, 1e-3);          // angle of U1 minus angle of I1
    // Sine phase at the window start: the cosine angle of U1 is -90 degrees.
    EXPECT_NEAR(p.harmonicAnglesVoltage[1], -90.0, 1e-3);
    EXPECT_NEAR(p.harmonicAnglesCurrent[1], -120.0, 1e-3);
    EXPECT_NEAR(p.spectrumActivePower, 2300.0 * std::cos(pi / 6) + 11.5 * 2.0 * 0.5, 0.02);
    EXPECT_NEAR(p.activePower, p.spectrumActivePower, 0.02);
    EXPECT_NEAR(p.reactivePower, 1150.0 + 11.5 * 2.0 * std::sin(pi / 3), 0.02);
    EXPECT_NEAR(p.thdCurrent.thd, 20.0, 1e-3);
}

TEST(WindowedCalculation, InterHarmonicLandsInItsSubgroup) {
    PowerModule m;
    configure(m, WindowSetup{});
    const PowerResultsGeneral g = window(m, distorted(10240.0, 50.0, 0.0, 175.0, 4.6), 0, 10, 50.0);
    const PowerResultsGeneralPhase& p = g.phases[0];
    for (unsigned h = 0; h < 10; ++h) {
        SCOPED_TRACE(h);
        EXPECT_NEAR(p.interHarmonicsVoltage[h], h == 3 ? 4.6 : 0.0, 1e-3);
    }
    // 175 Hz is the border line of groups 3 and 4: half of its square in each.
    EXPECT_NEAR(p.harmonicsVoltage[3], 4.6 * std::sqrt(0.5), 1e-3);
    EXPECT_NEAR(p.harmonicsVoltage[4], 4.6 * std::sqrt(0.5), 1e-3);
    EXPECT_NEAR(p.harmonicsVoltage[2], 0.0, 1e-3);
    EXPECT_NEAR(p.thdInterVoltage.thd, 2.0, 1e-3);  // 4.6 V of 230 V
    EXPECT_NEAR(p.thdInterVoltage.partialThd1, 2.0, 1e-3);  // subgroup 3 is odd
    EXPECT_NEAR(p.thdInterCurrent.thd, 0.0, 1e-3);
}

TEST(WindowedCalculation, ThreePhasesWithNegativeSequenceAndLineToLine) {
    PowerModule m;
    WindowSetup s;
    s.grid = ThreePhaseStar;
    s.lineToLine = true;
    s.symmetrical = true;
    configure(m, s);
    // Positive sequence 230 V plus 2 % negative sequence (phases -120/+120 swapped).
    auto phaseVoltage = [](unsigned k, double th) {
        const double shift = 2 * pi / 3 * k;
        return 230.0 * root2 * (std::sin(th - shift) + 0.02 * std::sin(th + shift + 0.3));
    };
    const SignalDriver::Signal signal = [&](unsigned channel, uint64_t p) {
        const double th = 2 * pi * 50.0 * static_cast<double>(p) / 10240.0;
        if (channel < 3) {
            return phaseVoltage(channel, th);
        }
        if (channel < 6) {
            return 10.0 * root2 * std::sin(th - 2 * pi / 3 * (channel - 3) - pi / 6);
        }
        const unsigned k = channel - 6;
        return phaseVoltage(k, th) - phaseVoltage((k + 1) % 3, th);
    };
    const PowerResultsGeneral g = window(m, signal, 5000, 10, 50.0);
    const PowerResultsSymmetricalComponent* sc = g.symmetricalComponents;
    EXPECT_NEAR(sc[1].voltageMagnitude, 230.0, 1e-3);
    EXPECT_NEAR(sc[2].voltageUnbalance, 2.00, 1e-4);
    EXPECT_NEAR(sc[2].voltageRmsUnbalance, 2.00, 1e-4);
    EXPECT_NEAR(sc[0].voltageUnbalance, 0.0, 1e-4);
    EXPECT_NEAR(sc[1].voltage.imag(), 0.0, 230.0 * 0.02);  // turned to phase 1's voltage
    EXPECT_NEAR(sc[1].currentMagnitude, 10.0, 1e-4);
    EXPECT_NEAR(sc[2].currentUnbalance, 0.0, 1e-4);
    EXPECT_NEAR(sc[1].powerFactor, std::cos(pi / 6), 1e-4);
    EXPECT_EQ(g.phasesCount, 3);
    for (unsigned k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        EXPECT_NEAR(g.phases[k].fundamentalCurrent, 10.0, 1e-4);
        EXPECT_GT(g.phases[k].fundamentalLineToLine, 390.0);  // about sqrt(3) x 230
        EXPECT_NEAR(g.phases[k].fundamentalLineToLine, g.phases[k].harmonicsLineToLine[1], 1e-9);
        EXPECT_NEAR(g.phases[k].rmsLineToLine, g.phases[k].spectrumRmsLineToLine, 1e-2);
    }
    EXPECT_NEAR(g.phases[3].fundamentalActivePower, 3 * 2300.0 * std::cos(pi / 6), 0.1);
}

TEST(WindowedCalculation, WindowAcrossTheRingEndAndNumbering) {
    PowerModule m;
    WindowSetup s;
    s.ring = 4000;  // window 1 spans positions 2048..4095: it wraps at 4000
    s.fullFft = true;
    configure(m, s);
    SignalDriver driver(m);
    Impl& impl = PowerModuleTestAccess::impl(m);
    for (unsigned w = 0; w < 3; ++w) {
        driver.write(2048ull * w, 2048, distorted(10240.0, 50.0));
        m.scheduleForCalculation(2048ull * w, 10, 50.0);
        EXPECT_EQ(impl.resultsQueue.back()->getIndex(), w);
    }
    const std::vector<PowerResultsGeneral> results = m.getResults(0);
    ASSERT_EQ(results.size(), 3u);
    for (unsigned w = 0; w < 3; ++w) {
        SCOPED_TRACE(w);
        const PowerResultsGeneralPhase& p = results[w].phases[0];
        EXPECT_EQ(results[w].firstSampleIndex, 2048ull * w);
        EXPECT_DOUBLE_EQ(results[w].time, 2048.0 * (w + 1) / 10240.0);
        EXPECT_NEAR(p.harmonicsVoltage[1], 230.0, 0.01);
        EXPECT_NEAR(p.harmonicsVoltage[5], 11.5, 0.01);
        EXPECT_NEAR(p.thdVoltage.thd, 100.0 * std::sqrt(0.0034), 0.001);
        // Full FFT: line 10 is the fundamental; the angle matches the harmonic angle.
        ASSERT_NE(p.spectrumVoltage, nullptr);
        const std::complex<float> z = static_cast<const std::complex<float>*>(p.spectrumVoltage)[10];
        EXPECT_NEAR(std::abs(z), 230.0, 0.01);
        EXPECT_NEAR(std::arg(z) * 180 / pi, p.harmonicAnglesVoltage[1], 1e-3);
    }
    // Each window keeps its own arrays while it waits.
    EXPECT_NE(results[0].phases[0].harmonicsVoltage, results[1].phases[0].harmonicsVoltage);
    m.reset(100);
    EXPECT_FALSE(m.isAnyResultReady());  // a reset alone yields no window
    EXPECT_TRUE(m.getResults(0).empty());
    driver.write(100, 2048, distorted(10240.0, 50.0));
    m.scheduleForCalculation(100, 10, 50.0);
    EXPECT_EQ(impl.resultsQueue.back()->getIndex(), 0u);
}

TEST(WindowedCalculation, RefusesWindowsThatMakeNoSense) {
    PowerModule m;
    m.setWindowedResultsEnabled(true);
    EXPECT_THROW(m.scheduleForCalculation(0, 10, 50.0), std::invalid_argument);  // no reset yet
    WindowSetup s;
    s.ring = 8192;
    configure(m, s);
    struct Bad {
        int periods;
        double f;
    };
    // Zero cycles, bad frequencies, under two samples per cycle, longer than
    // the longest FFT (19 cycles at 45 Hz: 4324 samples > 4096), longer than
    // the ring (41 cycles: 8397 samples).
    const Bad bad[] = {{0, 50.0},  {10, 0.0},  {10, -50.0}, {10, NAN},
                       {10, INFINITY}, {10, 6000.0}, {19, 45.0}, {41, 50.0}};
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.periods * 10000 + b.f);
        EXPECT_THROW(m.scheduleForCalculation(0, b.periods, b.f), std::invalid_argument);
    }
    EXPECT_FALSE(m.isAnyResultReady());
    m.scheduleForCalculation(8000, 10, 50.0);  // the ring now holds positions 1856 to 10047
    EXPECT_THROW(m.scheduleForCalculation(1855, 10, 50.0), std::invalid_argument);
    EXPECT_NO_THROW(m.scheduleForCalculation(1856, 10, 50.0));
    // The results ring holds ceil(8192 / 10240 x 55 / 10) = 5 windows.
    for (unsigned long long first : {2000, 3000, 4000}) {
        m.scheduleForCalculation(first, 10, 50.0);
    }
    EXPECT_THROW(m.scheduleForCalculation(5000, 10, 50.0), std::length_error);
    EXPECT_EQ(m.getResults(0).size(), 5u);
    EXPECT_NO_THROW(m.scheduleForCalculation(5000, 10, 50.0));
    PowerModuleHandle handle = reinterpret_cast<PowerModuleHandle>(&m);
    EXPECT_EQ(scheduleForCalculation(handle, 0, 10, NAN), 1);
}

TEST(WindowedCalculation, WaitsUntilAChangedLayoutIsApplied) {
    // Inside a bracket the rings are still those of one phase: the windowed
    // stage refuses until endUpdate lays them out for three.
    PowerModule m;
    configure(m, WindowSetup());
    const Impl& impl = PowerModuleTestAccess::impl(m);
    m.beginUpdate();
    m.setGridConfigType(ThreePhaseStar);
    EXPECT_THROW(m.scheduleForCalculation(0, 10, 50.0), std::runtime_error);
    EXPECT_THROW(m.getResults(0), std::runtime_error);
    m.endUpdate();
    EXPECT_EQ(window(m, distorted(10240.0, 50.0), 0, 10, 50.0).phasesCount, 3);

    // A failed initialisation leaves no windowed buffer behind; the stage
    // refuses with its message until a setting fits again.
    EXPECT_THROW(m.setBufferLength(1u << 30), std::bad_alloc);  // 6 rings of 2^32 bytes
    EXPECT_EQ(impl.buffers.harmonicsBuffer.hostBuffer, nullptr);
    EXPECT_EQ(impl.buffers.harmonicsBuffer.getHostItemsCount(), 0u);
    EXPECT_EQ(impl.buffers.generalResultsBuffer.hostBuffer, nullptr);
    EXPECT_EQ(impl.buffers.maxWindowFftLength, 0u);
    EXPECT_THROW(m.scheduleForCalculation(0, 10, 50.0), std::runtime_error);
    EXPECT_THROW(m.getResults(0), std::runtime_error);
    m.setBufferLength(10240);
    EXPECT_EQ(window(m, distorted(10240.0, 50.0), 10240, 10, 50.0).phasesCount, 3);
}

TEST(WindowedCalculation, SwitchThroughTheFlatInterfaceAndBackOff) {
    PowerModuleHandle handle = powerModule_create();
    bool on = true;
    EXPECT_EQ(getWindowedResultsEnabled(handle, &on), 0);
    EXPECT_FALSE(on);
    EXPECT_EQ(setBufferLength(handle, 1000), 0);
    EXPECT_EQ(setWindowedResultsEnabled(handle, true), 0);
    EXPECT_EQ(getWindowedResultsEnabled(handle, &on), 0);
    EXPECT_TRUE(on);
    PowerModule& m = *reinterpret_cast<PowerModule*>(handle);
    PowerBuffers& b = PowerModuleTestAccess::impl(m).buffers;
    float* ring = nullptr;
    m.getWaveformBufferUInput(0, &ring);
    EXPECT_NE(ring, nullptr);  // rings without period values
    EXPECT_NE(b.harmonicsBuffer.hostBuffer, nullptr);
    EXPECT_EQ(setWindowedResultsEnabled(handle, false), 0);
    m.getWaveformBufferUInput(0, &ring);
    EXPECT_EQ(ring, nullptr);
    EXPECT_EQ(b.harmonicsBuffer.hostBuffer, nullptr);
    EXPECT_EQ(b.generalResultsBuffer.hostBuffer, nullptr);
    EXPECT_EQ(reset(handle, 0), 0);
    bool ready = false;
    EXPECT_EQ(isAnyResultReady(handle, &ready), 0);
    EXPECT_TRUE(ready);  // off: the reset's window is queued as always
    EXPECT_EQ(powerModule_destroy(handle), 0);
}

// The direct DFT of `samples` at lines k f / P, grouped as IEC 61000-4-7.
std::vector<double> directGroups(const std::vector<double>& x, size_t first, size_t N, unsigned P, unsigned H) {
    std::vector<double> power(H * P + P, 0.0);
    for (size_t k = 0; k < power.size(); ++k) {
        std::complex<double> sum;
        for (size_t n = 0; n < N; ++n) {
            sum += x[first + n] * std::polar(1.0, -2 * pi * k * n / N);
        }
        power[k] = std::norm(sum * (k == 0 ? 1.0 : root2) / static_cast<double>(N));
    }
    std::vector<double> groups(H, 0.0);
    for (unsigned h = 1; h < H; ++h) {
        double g = 0.5 * (power[h * P - P / 2] + power[h * P + P / 2]);
        for (unsigned k = h * P - P / 2 + 1; k < h * P + P / 2; ++k) {
            g += power[k];
        }
        groups[h] = std::sqrt(g);
    }
    return groups;
}

void checkRecording(const char* file, const char* channel, double seconds) {
    ComtradeRecording rec;
    const std::string base = std::string(POWERQUALITY_SHARED_DATA_DIR) + "/comtrade/" + file;
    if (!rec.load(base)) {
        GTEST_SKIP() << "recording " << base << " not found";
    }
    PowerModule m;
    WindowSetup s;
    s.fs = rec.sampleRate;
    s.nominal = rec.frequency;
    s.periods = rec.frequency == 60.0 ? 12 : 10;
    s.ring = static_cast<unsigned>(rec.sampleRate);
    configure(m, s);
    std::vector<double> x(rec.channel(channel).begin(), rec.channel(channel).end());
    for (double& v : x) {
        v = static_cast<float>(v);  // what the ring holds
    }
    const size_t first = static_cast<size_t>(seconds * rec.sampleRate);
    const PowerResultsGeneral g =
        window(m, [&](unsigned, uint64_t p) { return x[p]; }, first, s.periods, rec.frequency);
    const size_t N = static_cast<size_t>(s.periods * rec.sampleRate / rec.frequency);
    ASSERT_EQ(g.length, N);
    const std::vector<double> groups = directGroups(x, first, N, s.periods, 41);
    const PowerResultsGeneralPhase& p = g.phases[0];
    double s0 = 0.0;
    for (unsigned h = 1; h < 41; ++h) {
        SCOPED_TRACE(h);
        EXPECT_NEAR(p.harmonicsVoltage[h], groups[h], groups[h] * 0.005 + groups[1] * 1e-5);
        s0 += h >= 2 ? groups[h] * groups[h] : 0.0;
    }
    const double thd = 100.0 * std::sqrt(s0) / groups[1];
    EXPECT_NEAR(p.thdVoltage.thd, thd, thd * 0.005);
}

TEST(WindowedCalculation, RecordedSwellAgreesWithADirectDft) { checkRecording("test1", "VA_G1", 2.0); }

TEST(WindowedCalculation, RecordedDipAgreesWithADirectDft) { checkRecording("test2", "VA_GC1", 1.0); }

}  // namespace
