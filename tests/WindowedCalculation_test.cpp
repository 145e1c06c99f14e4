// Windows computed from synthesised and recorded samples, driven through
// PowerModule as a host drives it: write the rings, schedule, fetch.
#include "ModuleTest.h"

#include <set>

namespace {

enum Switch : unsigned { LineToLine = 1, Symmetrical = 2, FullFft = 4 };

struct WindowSetup {
    double fs = 10240.0, nominal = 50.0;
    unsigned short periods = 10;
    unsigned int ring = 10240;
    PowerGridConfigType grid = SinglePhase;
    unsigned on = 0;  // Switch bits
};

// A module with windowed results, THD and inter-harmonics, reset at 0.
struct Windowed : PowerModule {
    explicit Windowed(const WindowSetup& s = {}) { configure(s); }
    void configure(const WindowSetup& s) {
        beginUpdate();
        setGridConfigType(s.grid); setSampleRate(s.fs, 1); setBufferLength(s.ring);
        setStaticFrequency(s.nominal, 0.1); setPeriodCount(s.periods);
        setThdEnabled(true); setInterHarmonicsEnabled(true); setWindowedResultsEnabled(true);
        setLineToLineResultsEnabled(s.on & LineToLine); setSymmetricalComponentsEnabled(s.on & Symmetrical);
        setFullFftEnabled(s.on & FullFft);
        endUpdate();
        reset(0);
    }
};

// One window of `periods` cycles at f starting at `first`, written and fetched.
PowerResultsGeneral window(PowerModule& m, const SignalDriver::Signal& signal, unsigned long long first, int periods,
                           double f) {
    SignalDriver(m).write(first, static_cast<uint64_t>(std::ceil(periods * m.getSampleRate() / f)), signal);
    m.scheduleForCalculation(first, periods, f);
    const std::vector<PowerResultsGeneral> results = m.getResults(0);
    EXPECT_EQ(results.size(), 1u);
    return results.empty() ? PowerResultsGeneral{} : results[0];
}

// The voltage: 230 V with 5 % 5th, 3 % 7th and 1 % of orders 13, 25 and 40 at
// their own phases, optional DC and an inter-harmonic. The current 10 A lags
// the voltage by 30 degrees and carries 20 % 5th lagging its voltage harmonic
// by 60 degrees.
struct Harmonic {
    unsigned order;
    double rms, phase;
};
const Harmonic voltageHarmonics[] = {{1, 230.0, 0.0}, {5, 11.5, 0.0},  {7, 6.9, 0.0},
                                     {13, 2.3, 0.5},  {25, 2.3, 1.0}, {40, 2.3, 2.0}};
const double thdVoltage = 100.0 * std::sqrt(0.0025 + 0.0009 + 3 * 0.0001);

SignalDriver::Signal distorted(double fs, double f, double dc = 0.0, double interHz = 0.0, double interRms = 0.0) {
    return [=](unsigned channel, uint64_t p) {
        const double t = static_cast<double>(p) / fs, th = 2 * pi * f * t;
        if (channel >= 3) return 10.0 * root2 * (std::sin(th - pi / 6) + 0.2 * std::sin(5 * th - pi / 3));
        double u = dc + interRms * root2 * std::sin(2 * pi * interHz * t);
        for (const Harmonic& h : voltageHarmonics) u += h.rms * root2 * std::sin(h.order * th + h.phase);
        return u;
    };
}

TEST(WindowedCalculation, HarmonicsAndThdOnAndOffNominal) {
    struct Case {
        double fs, nominal, f, tolerance;  // relative
        unsigned fftLines;  // FFT length / 2 + 1: the window itself, or the next multiple of 4 with factors 2, 3, 5
    };
    // 5760 Hz: order 40 at 49.5 Hz has under three samples per cycle and leaks
    // up to 0.02 % of the fundamental into its neighbours. At 49.95 Hz the
    // window (2050.05 samples) lies just above 2048, which is too short; at
    // 50.0122 Hz (2047.5 samples) 2048 points fit, but over the exact length.
    const Case cases[] = {{10240, 50.0, 50.0, 0.001, 1025},  {10240, 50.0, 49.5, 0.005, 1081},
                          {10240, 50.0, 50.5, 0.005, 1025},  {10240, 50.0, 49.95, 0.005, 1081},
                          {10240, 50.0, 50.0122, 0.005, 1025}, {10240, 60.0, 60.0, 0.005, 1025},
                          {10240, 60.0, 59.7, 0.005, 1081},  {5760, 50.0, 49.5, 0.005, 601}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fs << " Hz, " << c.f << " Hz");
        const WindowSetup s{c.fs, c.nominal, static_cast<unsigned short>(c.nominal == 60.0 ? 12 : 10),
                            static_cast<unsigned>(c.fs)};
        Windowed m(s);
        const double leakage = c.fs < 10240 ? 0.05 : 0.02;  // volts on the orders the signal does not have
        const PowerResultsGeneral g = window(m, distorted(s.fs, c.f), 1000, s.periods, c.f);
        const PowerResultsGeneralPhase& p = g.phases[0];
        // Orders 0 to thdHighestHarmonic.
        const unsigned length = static_cast<unsigned>(std::ceil(s.periods * s.fs / c.f - 1e-6));
        EXPECT_EQ(std::make_tuple(g.length, g.firstSampleIndex, g.harmonicLength, g.fftOutputLength),
                  std::make_tuple(length, 1000ull, 41u, c.fftLines));
        EXPECT_NEAR(g.dFrequency, c.f / s.periods, 1e-9);
        double expected[41] = {};
        for (const Harmonic& h : voltageHarmonics) expected[h.order] = h.rms;
        for (unsigned h = 1; h < 41; ++h) {
            EXPECT_NEAR(p.harmonicsVoltage[h], expected[h], std::max(expected[h] * c.tolerance, leakage)) << h;
        }
        const PowerResultsThd& d = p.thdVoltage;
        const double weighted = 100.0 * std::sqrt(25 * 0.0001 + 40 * 0.0001);  // orders 14 to 40, weighted
        const double rms = 230.0 * std::sqrt(1 + 0.0025 + 0.0009 + 0.0003);
        // value, expected, tolerance; partial THD 2: the 40th alone is even.
        // Rms over whole samples: up to half a sample too many.
        const double checks[][3] = {
            {p.fundamentalVoltage, 230.0, 230.0 * c.tolerance}, {p.rmsVoltage, rms, rms * 0.003},
            {d.thd, thdVoltage, c.tolerance == 0.001 ? 0.01 : thdVoltage * c.tolerance},
            {d.partialThd1, 100.0 * std::sqrt(0.0025 + 0.0009 + 0.0001 + 0.0001), thdVoltage * c.tolerance},
            {d.partialThd2, 1.0, c.tolerance}, {d.partialThd3, weighted, weighted * c.tolerance},
            {d.partialThd4, 100.0 * std::sqrt(0.0002), 1.5 * c.tolerance}, {p.spectrumRmsVoltage, rms, rms * c.tolerance}};
        for (const auto& k : checks) EXPECT_NEAR(k[0], k[1], k[2]) << &k - checks;
    }
}

// Samples near the largest float: the transform's single-precision sums
// would overflow (lines NaN), so such a window is transformed scaled down by
// a power of two and scaled back. A window times 2^118 gives exactly 2^118
// times the lines of the plain one, and 2^236 times its powers (in double;
// as floats they are beyond the largest, inf), on a window transformed as it
// is (50 Hz) and on a resampled one (49.5 Hz).
TEST(WindowedCalculation, SamplesNearTheLargestFloatGiveScaledResults) {
    for (double f : {50.0, 49.5}) {
        SCOPED_TRACE(f);
        const SignalDriver::Signal plain = distorted(10240.0, f);
        const SignalDriver::Signal huge = [&](unsigned channel, uint64_t p) { return std::ldexp(plain(channel, p), 118); };
        Windowed a, b;
        const PowerResultsGeneral x = window(a, plain, 1000, 10, f), y = window(b, huge, 1000, 10, f);
        const PowerResultsGeneralPhase &p = x.phases[0], &q = y.phases[0];
        const double doubles[][3] = {{p.fundamentalVoltage, q.fundamentalVoltage, 118}, {p.rmsVoltage, q.rmsVoltage, 118},
                                     {p.spectrumRmsVoltage, q.spectrumRmsVoltage, 118}, {p.dcVoltage, q.dcVoltage, 118},
                                     {p.fundamentalCurrent, q.fundamentalCurrent, 118}, {p.activePower, q.activePower, 236},
                                     {p.spectrumActivePower, q.spectrumActivePower, 236}, {p.thdVoltage.thd, q.thdVoltage.thd, 0},
                                     {p.thdCurrent.thd, q.thdCurrent.thd, 0}};
        for (const auto& d : doubles) {
            EXPECT_EQ(d[1], std::ldexp(d[0], static_cast<int>(d[2]))) << &d - doubles;
        }
        for (unsigned h = 0; h < x.harmonicLength; ++h) {
            EXPECT_EQ(q.harmonicsVoltage[h], std::ldexp(p.harmonicsVoltage[h], 118)) << h;
            EXPECT_EQ(q.interHarmonicsVoltage[h], std::ldexp(p.interHarmonicsVoltage[h], 118)) << h;
            EXPECT_EQ(q.harmonicsCurrent[h], std::ldexp(p.harmonicsCurrent[h], 118)) << h;
        }
    }
}

// Off-nominal windows share their resampling plan when they have the same
// length: a module that has seen a hundred lengths (more than it keeps) gives,
// for a length seen before, kept or dropped, the bits a fresh module gives.
TEST(WindowedCalculation, KeptPlansGiveTheResultsOfFreshOnes) {
    Windowed seen;
    const auto frequency = [](int k) { return 49.5 + 0.01 * k; };
    for (int k = 0; k < 100; ++k) window(seen, distorted(10240.0, frequency(k)), 1000, 10, frequency(k));
    for (int k : {0, 3, 60, 99, 0}) {
        Windowed fresh;
        const PowerResultsGeneral a = window(seen, distorted(10240.0, frequency(k)), 1000, 10, frequency(k));
        const PowerResultsGeneral b = window(fresh, distorted(10240.0, frequency(k)), 1000, 10, frequency(k));
        const PowerResultsGeneralPhase &x = a.phases[0], &y = b.phases[0];
        EXPECT_EQ(valuesOf(x.harmonicsVoltage, a.harmonicLength), valuesOf(y.harmonicsVoltage, b.harmonicLength)) << k;
        EXPECT_EQ(std::make_tuple(x.thdVoltage.thd, x.spectrumRmsVoltage),
                  std::make_tuple(y.thdVoltage.thd, y.spectrumRmsVoltage)) << k;
    }
}

// Negative DC, an inter-harmonic on the border line of groups 3 and 4, and a
// current that lags.
TEST(WindowedCalculation, DcPowersAnglesAndInterHarmonics) {
    Windowed m;
    const PowerResultsGeneral g = window(m, distorted(10240.0, 50.0, -12.0, 175.0, 4.6), 0, 10, 50.0);
    const PowerResultsGeneralPhase& p = g.phases[0];
    const double active1 = 2300.0 * std::cos(pi / 6), active5 = 11.5, reactive5 = 23.0 * std::sin(pi / 3);
    // value, expected, tolerance. The current lags: reactive powers are
    // positive; its 5th lies 60 degrees behind the voltage's. Sine phase at the
    // window start: the cosine angle of U1 is -90 degrees; aux is U1 - I1.
    const double checks[][3] = {
        {p.dcVoltage, -12.0, 1e-3}, {p.harmonicsVoltage[0], -12.0, 1e-3}, {p.dcCurrent, 0.0, 1e-4},
        {p.rmsCurrent, 10.0 * std::sqrt(1.04), 1e-4}, {p.displacementPowerFactor, std::cos(pi / 6), 1e-5},
        {p.fundamentalActivePower, active1, 0.01}, {p.fundamentalReactivePower, 1150.0, 0.01},
        {p.fundamentalApparentPower, 2300.0, 0.01}, {p.harmonicsActivePower[5], active5, 1e-3},
        {p.harmonicsReactivePower[5], reactive5, 1e-3}, {p.harmonicsActivePower[7], 0.0, 1e-3},
        {p.fundamentalAux, 30.0, 1e-3}, {p.harmonicAnglesVoltage[1], -90.0, 1e-3},
        {p.harmonicAnglesCurrent[1], -120.0, 1e-3}, {p.spectrumActivePower, active1 + active5, 0.02},
        {p.activePower, active1 + active5, 0.02}, {p.reactivePower, 1150.0 + reactive5, 0.02},
        {p.thdCurrent.thd, 20.0, 1e-3}, {p.harmonicsVoltage[2], 0.0, 1e-3}, {p.harmonicsActivePower[0], 0.0, 1e-3},
        // 175 Hz is the border line of groups 3 and 4: half of its square in
        // each, all of it in subgroup 3 (odd), 2 % of 230 V.
        {p.harmonicsVoltage[3], 4.6 * std::sqrt(0.5), 1e-3}, {p.harmonicsVoltage[4], 4.6 * std::sqrt(0.5), 1e-3},
        {p.thdInterVoltage.thd, 2.0, 1e-3}, {p.thdInterVoltage.partialThd1, 2.0, 1e-3},
        {p.thdInterCurrent.thd, 0.0, 1e-3}};
    for (const auto& k : checks) EXPECT_NEAR(k[0], k[1], k[2]) << &k - checks;
    for (unsigned h = 0; h < 10; ++h) EXPECT_NEAR(p.interHarmonicsVoltage[h], h == 3 ? 4.6 : 0.0, 1e-3) << h;
}

TEST(WindowedCalculation, ThreePhasesWithNegativeSequenceAndLineToLine) {
    Windowed m({10240.0, 50.0, 10, 10240, ThreePhaseStar, LineToLine | Symmetrical});
    // Positive sequence 230 V plus 2 % negative sequence (phases -120/+120
    // swapped); 5 V DC on the line-to-line voltages alone.
    const SignalDriver::Signal positive = threePhaseSine(10240.0, 50.0, 230.0, 10.0, 30.0);
    const SignalDriver::Signal signal = [&](unsigned channel, uint64_t p) {
        const double th = 2 * pi * 50.0 * static_cast<double>(p) / 10240.0 + 0.3;
        const auto negative = [th](unsigned k) { return 4.6 * root2 * std::sin(th + 2 * pi / 3 * k); };
        const unsigned k = channel % 3;
        const double lineToLine = 5.0 + negative(k) - negative((k + 1) % 3);
        return positive(channel, p) + (channel < 3 ? negative(k) : channel < 6 ? 0.0 : lineToLine);
    };
    const PowerResultsGeneral g = window(m, signal, 5000, 10, 50.0);
    const PowerResultsSymmetricalComponent* sc = g.symmetricalComponents;
    // value, expected, tolerance; the positive sequence is turned to phase 1's voltage.
    const double checks[][3] = {{sc[1].voltageMagnitude, 230.0, 1e-3}, {sc[2].voltageUnbalance, 2.00, 1e-4},
                                {sc[2].voltageRmsUnbalance, 2.00, 1e-4}, {sc[1].voltage.imag(), 0.0, 230.0 * 0.02},
                                {sc[1].powerFactor, std::cos(pi / 6), 1e-4},
                                {g.phases[3].fundamentalActivePower, 3 * 2300.0 * std::cos(pi / 6), 0.1}};
    for (const auto& k : checks) EXPECT_NEAR(k[0], k[1], k[2]) << &k - checks;
    for (unsigned k = 0; k < 3; ++k) {
        SCOPED_TRACE(k);
        const PowerResultsGeneralPhase& p = g.phases[k];
        EXPECT_NEAR(p.fundamentalCurrent, 10.0, 1e-4);
        EXPECT_GT(p.fundamentalLineToLine, 390.0);  // about sqrt(3) x 230
        EXPECT_NEAR(p.rmsLineToLine, p.spectrumRmsLineToLine, 1e-2);
        EXPECT_NEAR(p.dcLineToLine - p.dcVoltage, 5.0, 1e-3);
    }
    const PowerResultsGeneralPhase* p = g.phases;  // the total: the mean of the three pairs
    EXPECT_NEAR(p[3].rmsLineToLine, (p[0].rmsLineToLine + p[1].rmsLineToLine + p[2].rmsLineToLine) / 3.0, 1e-9);
}

// A harmonic subgroup holds the lines on either side of its harmonic: 1.5 V
// at 6.9 and 2 V at 7.1 times 50 Hz make subgroup 7 hold 2.5 V.
TEST(WindowedCalculation, ASubgroupHoldsTheLinesBesideItsHarmonic) {
    Windowed m;
    m.setHarmonicSubgroupsEnabled(true);
    const auto signal = [](unsigned c, uint64_t p) {
        const double th = 2 * pi * 50.0 * static_cast<double>(p) / 10240.0;
        return c < 3 ? root2 * (230.0 * std::sin(th) + 1.5 * std::sin(6.9 * th) + 2.0 * std::sin(7.1 * th)) : 0.0;
    };
    EXPECT_NEAR(window(m, signal, 0, 10, 50.0).phases[0].harmonicsVoltage[7], 2.5, 1e-3);
}

// Every sample counts once in the DC and RMS sums, whichever of the partial
// sums adds it (a pulse on every fourth sample); no current has no distortion.
TEST(WindowedCalculation, EverySampleCountsOnceAndNoCurrentHasNoDistortion) {
    Windowed m;
    const auto pulses = [](unsigned c, uint64_t p) { return c < 3 && p % 4 == 2 ? 4.0 : 0.0; };
    const PowerResultsGeneral g = window(m, pulses, 0, 10, 50.0);
    const PowerResultsGeneralPhase& p = g.phases[0];
    EXPECT_EQ(std::make_tuple(p.dcVoltage, p.rmsVoltage, p.rmsCurrent, p.thdCurrent.thdRms),
              std::make_tuple(1.0, 2.0, 0.0, 0.0));
}

TEST(WindowedCalculation, WindowAcrossTheRingEndAndNumbering) {
    Windowed m({10240.0, 50.0, 10, 4000, SinglePhase, FullFft});  // window 1 spans 2048..4095: it wraps at 4000
    SignalDriver driver(m);
    Impl& impl = implOf(m);
    for (unsigned w = 0; w < 3; ++w) {
        driver.write(2048ull * w, 2048, distorted(10240.0, 50.0)); m.scheduleForCalculation(2048ull * w, 10, 50.0);
        EXPECT_EQ(impl.resultsQueue.back()->getIndex(), w);
    }
    const std::vector<PowerResultsGeneral> results = m.getResults(0);
    ASSERT_EQ(results.size(), 3u);
    for (unsigned w = 0; w < 3; ++w) {
        SCOPED_TRACE(w);
        const PowerResultsGeneralPhase& p = results[w].phases[0];
        EXPECT_EQ(std::make_tuple(results[w].firstSampleIndex, results[w].time),
                  std::make_tuple(2048ull * w, 2048.0 * (w + 1) / 10240.0));
        EXPECT_NEAR(p.harmonicsVoltage[1], 230.0, 0.01);
        EXPECT_NEAR(p.thdVoltage.thd, thdVoltage, 0.001);
        // Full FFT: line 10 is the fundamental; the angle matches the harmonic angle.
        ASSERT_NE(p.spectrumVoltage, nullptr);
        const std::complex<float> z = static_cast<const std::complex<float>*>(p.spectrumVoltage)[10];
        EXPECT_NEAR(std::abs(z), 230.0, 0.01);
        EXPECT_NEAR(std::arg(z) * 180 / pi, p.harmonicAnglesVoltage[1], 1e-3);
    }
    // Each window keeps its own arrays while it waits.
    EXPECT_TRUE(results[0].phases[0].harmonicsVoltage != results[1].phases[0].harmonicsVoltage &&
                results[0].phases[0].spectrumVoltage != results[1].phases[0].spectrumVoltage);
    m.reset(100);
    EXPECT_TRUE(!m.isAnyResultReady() && m.getResults(0).empty());  // a reset alone yields no window
    driver.write(100, 2048, distorted(10240.0, 50.0)); m.scheduleForCalculation(100, 10, 50.0);
    EXPECT_EQ(impl.resultsQueue.back()->getIndex(), 0u);
}

TEST(WindowedCalculation, RefusesWindowsThatMakeNoSense) {
    PowerModule fresh;
    fresh.setWindowedResultsEnabled(true);
    fresh.setSampleRate(10240.0, 1); fresh.setBufferLength(8192);
    EXPECT_THROW(fresh.scheduleForCalculation(0, 10, 50.0), std::invalid_argument);  // no reset yet
    Windowed m({10240.0, 50.0, 10, 8192});
    // Zero cycles, bad frequencies, under two samples per cycle, under 8
    // samples (5.12), longer than the longest FFT (19 cycles at 45 Hz: 4324
    // samples > 4096), longer than the ring (41 cycles: 8397 samples).
    const std::pair<int, double> bad[] = {{0, 50.0},     {10, 0.0},    {10, -50.0}, {10, NAN},  {10, INFINITY},
                                          {10, 6000.0}, {1, 2000.0}, {19, 45.0},  {41, 50.0}};
    for (const auto& b : bad) {
        EXPECT_THROW(m.scheduleForCalculation(0, b.first, b.second), std::invalid_argument) << b.first << " " << b.second;
    }
    EXPECT_FALSE(m.isAnyResultReady());
    m.scheduleForCalculation(8000, 10, 50.0);  // the ring now holds positions 1856 to 10047
    EXPECT_THROW(m.scheduleForCalculation(1855, 10, 50.0), std::invalid_argument);
    EXPECT_NO_THROW(m.scheduleForCalculation(1856, 10, 50.0));
    // The results ring holds ceil(8192 / 10240 x 55 / 10) = 5 windows.
    for (unsigned long long first : {2000, 3000, 4000}) m.scheduleForCalculation(first, 10, 50.0);
    EXPECT_THROW(m.scheduleForCalculation(5000, 10, 50.0), std::length_error);
    EXPECT_EQ(m.getResults(0).size(), 5u);
    EXPECT_NO_THROW(m.scheduleForCalculation(5000, 10, 50.0));
    EXPECT_EQ(scheduleForCalculation(handleOf(m), 0, 10, NAN), 1);
}

TEST(WindowedCalculation, WaitsForTheLayoutAndSwitchesOffThroughTheFlatInterface) {
    Windowed m;
    PowerModuleHandle handle = handleOf(m);
    const Impl& impl = implOf(m);
    // Inside a bracket the rings are still those of one phase: the windowed
    // stage refuses until endUpdate lays them out for three.
    m.beginUpdate(); m.setGridConfigType(ThreePhaseStar);
    EXPECT_THROW(m.scheduleForCalculation(0, 10, 50.0), std::runtime_error);
    EXPECT_THROW(m.getResults(0), std::runtime_error);
    m.endUpdate();
    EXPECT_EQ(window(m, distorted(10240.0, 50.0), 0, 10, 50.0).phasesCount, 3);

    // A buffer length that cannot be allocated is refused and changes
    // nothing: the length before it is laid out again and the stage goes on.
    EXPECT_THROW(m.setBufferLength(1u << 30), std::bad_alloc);  // 6 rings of 2^32 bytes
    EXPECT_TRUE(m.getBufferLength() == 10240u && impl.buffers.generalResultsBuffer.hostBuffer != nullptr);
    EXPECT_EQ(window(m, distorted(10240.0, 50.0), 10240, 10, 50.0).phasesCount, 3);

    // Off again: no rings without period values, no windowed buffers, and the
    // reset's window is queued as always.
    float* ring = nullptr;
    bool ready = false;
    EXPECT_EQ((Statuses{setWindowedResultsEnabled(handle, false), getWaveformBufferUInput(handle, 0, &ring),
                        reset(handle, 0), isAnyResultReady(handle, &ready), ready}),
              (Statuses{0, 0, 0, 0, 1}));
    EXPECT_TRUE(ring == nullptr && impl.buffers.harmonicsBuffer.hostBuffer == nullptr &&
                impl.buffers.generalResultsBuffer.hostBuffer == nullptr);
}

// Full spectra of windows whose lengths take every radix of the FFT (4 and
// 2; 2, 3, 4 and 5; 2 and 5; 3 and 5, odd; 4 and 3), nine channels of
// different content (two per lane, the ninth alone in a second batch),
// against a direct DFT of the samples the rings hold.
TEST(WindowedCalculation, SpectraOfEveryFftLengthAgreeWithADirectDft) {
    for (double fs : {10240.0, 5400.0, 6250.0, 5625.0, 4860.0}) {
        const unsigned N = static_cast<unsigned>(fs / 5.0);  // 10 cycles at 50 Hz
        SCOPED_TRACE(N);
        Windowed m({fs, 50.0, 10, static_cast<unsigned>(fs), ThreePhaseStar, LineToLine | FullFft});
        const auto value = [=](unsigned channel, uint64_t p) {
            const double th = 2 * pi * 50.0 * static_cast<double>(p) / fs;
            return channel + (100.0 + 10 * channel) * std::sin(th + 0.1 * channel) +
                   (5.0 + channel) * std::cos((2 + channel) * th);
        };
        const PowerResultsGeneral g = window(m, value, 0, 10, 50.0);
        ASSERT_EQ(g.fftOutputLength, N / 2 + 1);
        std::vector<std::complex<double>> turn(N);
        for (unsigned k = 0; k < N; ++k) turn[k] = std::polar(1.0, -2 * pi * k / N);
        for (unsigned channel = 0; channel < 9; ++channel) {
            SCOPED_TRACE(channel);
            const PowerResultsGeneralPhase& p = g.phases[channel % 3];
            const void* spectrum = channel < 3 ? p.spectrumVoltage : channel < 6 ? p.spectrumCurrent : p.spectrumLineToLine;
            ASSERT_NE(spectrum, nullptr);
            const std::complex<float>* z = static_cast<const std::complex<float>*>(spectrum);
            for (unsigned k = 0; k <= N / 2; k += (k < 40 ? 1 : 7)) {
                std::complex<double> sum;
                for (unsigned n = 0; n < N; ++n) {
                    sum += static_cast<double>(static_cast<float>(value(channel, n))) * turn[(uint64_t{n} * k) % N];
                }
                const double rms = (k == 0 || 2 * k == N) ? 1.0 / N : root2 / N;
                EXPECT_NEAR(std::abs(std::complex<double>(z[k]) - sum * rms), 0.0, 2e-5 * (100.0 + 10 * channel)) << k;
            }
        }
    }
}

// IEC 61000-4-7 subgroups: a 1 % inter-harmonic at order 7.5 (375 Hz at
// 50 Hz) lies on the border line of groups 7 and 8 and on no subgroup line.
// The same window read with the switch off, on, and off again (also through
// the flat interface), on and off nominal.
TEST(WindowedCalculation, HarmonicSubgroupsAndThds) {
    for (const auto& [f, tolerance] : {std::pair{50.0, 0.001}, std::pair{50.5, 0.005}}) {  // relative
        SCOPED_TRACE(f);
        const auto signal = [f = f](unsigned, uint64_t p) {
            const double th = 2 * pi * f * static_cast<double>(p) / 10240.0;
            return root2 * (230.0 * std::sin(th) + 11.5 * std::sin(7 * th + 0.4) + 2.3 * std::sin(7.5 * th + 1.0));
        };
        Windowed m;
        const PowerResultsGeneral off = window(m, signal, 0, 10, f);
        const unsigned initialisations = implOf(m).initializationCount;
        ASSERT_EQ(setHarmonicSubgroupsEnabled(handleOf(m), true), 0);
        EXPECT_EQ(implOf(m).initializationCount, initialisations);  // applies from the next window
        const PowerResultsGeneral sub = window(m, signal, 0, 10, f);
        m.setHarmonicSubgroupsEnabled(false);
        const PowerResultsGeneral again = window(m, signal, 0, 10, f);

        const double group7 = std::sqrt(11.5 * 11.5 + 0.5 * 2.3 * 2.3), group8 = 2.3 * std::sqrt(0.5);
        const PowerResultsGeneralPhase &g = off.phases[0], &s = sub.phases[0];
        // value, expected, relative tolerance; THDS: 11.5 V of 230 V, in the odd orders.
        const double checks[][3] = {{g.harmonicsVoltage[7], group7, group7}, {g.harmonicsVoltage[8], group8, group8},
                                    {g.thdVoltage.thd, 100.0 * std::hypot(group7, group8) / 230.0, 1.0},
                                    {s.harmonicsVoltage[7], 11.5, 11.5}, {s.fundamentalVoltage, 230.0, 230.0},
                                    {s.thdVoltage.thd, 5.0, 5.0}, {s.thdVoltage.partialThd1, 5.0, 5.0}};
        for (const auto& k : checks) EXPECT_NEAR(k[0], k[1], k[2] * tolerance) << &k - checks;
        EXPECT_TRUE(s.harmonicsVoltage[8] < 0.01 && s.thdVoltage.partialThd2 < 0.01);
        // Centred inter-harmonic subgroup 7 (lines 72-78) holds the 375 Hz
        // line either way; angles and powers do not depend on the switch.
        EXPECT_NEAR(s.interHarmonicsVoltage[7], 2.3, 2.3 * tolerance);
        EXPECT_EQ(std::make_tuple(s.interHarmonicsVoltage[7], s.harmonicAnglesVoltage[7], s.harmonicsActivePower[7]),
                  std::make_tuple(g.interHarmonicsVoltage[7], g.harmonicAnglesVoltage[7], g.harmonicsActivePower[7]));
        // Off again: the groups bit for bit as before the switch was touched.
        const unsigned n = off.harmonicLength;
        EXPECT_EQ(valuesOf(again.phases[0].harmonicsVoltage, n), valuesOf(g.harmonicsVoltage, n));
        EXPECT_EQ(valuesOf(again.phases[0].harmonicsCurrent, n), valuesOf(g.harmonicsCurrent, n));
        EXPECT_EQ(std::memcmp(&again.phases[0].thdVoltage, &g.thdVoltage, sizeof g.thdVoltage), 0);
    }
}

// Synchronised windows off nominal: the fundamental and a lone 1 % harmonic
// put under 0.05 % of the fundamental (IEC 61000-4-7 Class I for components
// under 1 %) into every other group and subgroup, and the harmonic reads
// within 5 %, for orders up to 0.45 times the sample rate (the groups above
// it, next to half the sample rate, catch what the interpolation lets
// through of the images of components above 0.43 times the rate).
TEST(WindowedCalculation, NoLeakageOffNominalAtLowSampleRates) {
    for (double fs : {4096.0, 5760.0, 6400.0, 10240.0}) {
        for (double f : {42.5, 50.5, 57.5}) {
            SCOPED_TRACE(testing::Message() << fs << " Hz, " << f << " Hz");
            PowerModule m;
            m.beginUpdate();
            m.setGridConfigType(SinglePhase); m.setSampleRate(fs, 1); m.setBufferLength(static_cast<unsigned>(fs));
            m.setStaticFrequency(50.0, 0.2); m.setHighestRequestedHarmonic(50); m.setWindowedResultsEnabled(true);
            m.setCurrentEnabled(false);  // one channel: half a lane of the transform stays empty
            m.endUpdate();
            m.reset(0);
            const unsigned highest = std::min(50u, static_cast<unsigned>(0.45 * fs / f));
            const unsigned length = static_cast<unsigned>(std::ceil(10 * fs / f));
            unsigned long long first = 0;
            for (unsigned h : {2u, 7u, 13u, 25u, highest - 1, highest}) {
                for (bool subgroups : {false, true}) {
                    SCOPED_TRACE(testing::Message() << "order " << h << (subgroups ? ", subgroups" : ""));
                    m.setHarmonicSubgroupsEnabled(subgroups);
                    const auto signal = [=](unsigned, uint64_t p) {
                        const double th = 2 * pi * f * static_cast<double>(p) / fs;
                        return root2 * (230.0 * std::sin(th + 0.3) + 2.3 * std::sin(h * th + 1.1));
                    };
                    const PowerResultsGeneral g = window(m, signal, first, 10, f);
                    first += length;
                    ASSERT_GT(g.harmonicLength, highest);
                    const float* a = g.phases[0].harmonicsVoltage;
                    EXPECT_NEAR(a[h], 2.3, 2.3 * 0.05);
                    for (unsigned k = 2; k <= highest; ++k) EXPECT_TRUE(k == h || a[k] < 0.115) << k << ": " << a[k];
                }
            }
        }
    }
}

// Mains signalling voltages against the window's own spectrum (static
// frequency, full FFT on): a frequency on a line reads that line alone, one
// between lines the root sum of squares of the two lines below it and the two
// above; a frequency whose lines reach half the sample rate reads NaN. The
// supply carries harmonics, an inter-harmonic 5 Hz above 1060 Hz (the line
// next to it) and components at 316.67 and 1060 Hz.
TEST(WindowedCalculation, SignallingVoltagesFromTheWindowsLines) {
    struct Case {
        double frequency;
        int first, last;  // lines read (-1: NaN)
    };
    const double fs = 10240.0;
    // 50 Hz: 10 cycles of 2048 samples, lines 5 Hz apart (line 212 at 1060 Hz);
    // 5112 Hz needs line 1024, half the sample rate.
    const Case cases[] = {{1060.0, 212, 212}, {1060.04, 212, 212}, {1062.5, 211, 214}, {316.67, 62, 65},
                          {315.2, 62, 65},   {314.9, 61, 64},     {5112.0, -1, -1},  {5092.5, 1017, 1020}};
    Windowed m({fs, 50.0, 10, 10240, ThreePhaseStar, FullFft});
    std::vector<double> frequencies;
    for (const Case& c : cases) frequencies.push_back(c.frequency);
    m.setSignallingFrequencies(frequencies);
    EXPECT_EQ(m.getSignallingFrequencies(), frequencies);
    const SignalDriver::Signal signal = [=](unsigned channel, uint64_t p) {
        const double t = static_cast<double>(p) / fs, th = 2 * pi * 50.0 * t - (channel % 3) * 2 * pi / 3;
        const double scale = 1.0 + 0.5 * (channel % 3);  // each phase its own level
        return root2 * (230.0 * std::sin(th) + 6.9 * std::sin(5 * th) + 2.3 * std::sin(7 * th) +
                        scale * (4.6 * std::sin(2 * pi * 316.67 * t + 0.3) + 1.15 * std::sin(2 * pi * 1060.0 * t) +
                                 0.46 * std::sin(2 * pi * 1065.0 * t + 1.0)));
    };
    SignalDriver(m).write(0, 4096, signal);
    m.scheduleForCalculation(0, 10, 50.0);
    m.scheduleForCalculation(2048, 10, 50.0);
    const std::vector<PowerResultsGeneral> results = m.getResults(0);
    ASSERT_EQ(results.size(), 2u);
    const std::vector<double> values = m.getSignallingVoltages();
    const size_t F = frequencies.size();
    ASSERT_EQ(values.size(), 2 * 3 * F);
    for (size_t w = 0; w < 2; ++w) {
        for (unsigned p = 0; p < 3; ++p) {
            const auto* lines = static_cast<const std::complex<float>*>(results[w].phases[p].spectrumVoltage);
            ASSERT_NE(lines, nullptr);
            for (size_t j = 0; j < F; ++j) {
                const Case& c = cases[j];
                SCOPED_TRACE(testing::Message() << "window " << w << ", phase " << p << ", " << c.frequency << " Hz");
                const double value = values[(w * 3 + p) * F + j];
                if (c.first < 0) {
                    EXPECT_TRUE(std::isnan(value));
                    continue;
                }
                double sum = 0.0;
                for (int k = c.first; k <= c.last; ++k) sum += std::norm(std::complex<double>(lines[k]));
                EXPECT_NEAR(value, std::sqrt(sum), 1e-6 * std::sqrt(sum) + 1e-9);
            }
            // On the line: the 1060 Hz component alone (with what 316.67 Hz leaks into it, under 1 %), the
            // inter-harmonic on the next line left out (with it: 8 % more).
            EXPECT_NEAR(values[(w * 3 + p) * F], 1.15 * (1.0 + 0.5 * p), 0.015 * 1.15 * (1.0 + 0.5 * p));
        }
    }
    // None set: nothing handed out, and the windowed results bit for bit those without the setting.
    m.setSignallingFrequencies({});
    m.scheduleForCalculation(4096 - 2048, 10, 50.0);
    const std::vector<PowerResultsGeneral> again = m.getResults(0);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_TRUE(m.getSignallingVoltages().empty());
    EXPECT_EQ(std::memcmp(&again[0].phases[0].rmsVoltage, &results[1].phases[0].rmsVoltage, sizeof(double)), 0);
    EXPECT_THROW(m.setSignallingFrequencies({316.67, std::nan("")}), std::invalid_argument);
    EXPECT_THROW(m.setSignallingFrequencies({-1.0}), std::invalid_argument);
    EXPECT_TRUE(m.getSignallingFrequencies().empty());
}

// A tracked (resampled) window: lines f / 10 apart, so 1060 Hz at 49.9 Hz
// lies between lines 212 and 213 and reads the four around it, within the
// method's leakage of the component's own value.
TEST(WindowedCalculation, SignallingVoltagesOfResampledWindows) {
    const double fs = 10240.0, f = 49.9;
    Windowed m({fs, 50.0, 10, 10240, SinglePhase, 0});
    m.setVariableFrequency(42.5, 57.5);
    m.setSignallingFrequencies({1060.0, 316.67});
    SignalDriver(m).write(0, 4096, [=](unsigned, uint64_t p) {
        const double t = static_cast<double>(p) / fs;
        return root2 * (230.0 * std::sin(2 * pi * f * t) + 4.6 * std::sin(2 * pi * 1060.0 * t) +
                        4.6 * std::sin(2 * pi * 316.67 * t));
    });
    m.reset(0);
    m.scheduleForCalculation(0, 10, f);
    ASSERT_EQ(m.getResults(0).size(), 1u);
    const std::vector<double> values = m.getSignallingVoltages();
    ASSERT_EQ(values.size(), 2u);
    // Four lines of a rectangular window keep 90 % to 100 % of a component's square.
    for (double v : values) {
        EXPECT_GT(v, 4.6 * 0.94);
        EXPECT_LT(v, 4.6 * 1.001);
    }
}

TEST(WindowedCalculation, SizesThatCannotBeMeantAreNotRequested) {
    // Settings one by one at the default 1 Hz: windows of 10 cycles at 55 Hz
    // would span 0.18 samples, and a results ring for 131072 s of them 2.6
    // GB. Nothing of it is requested; scheduling says why, and the sample
    // rate makes everything fit. Cases: the buffer length before the sample
    // rate; then also a static frequency of 2^31 Hz and 34549 periods per window.
    for (bool frequencyToo : {false, true}) {
        SCOPED_TRACE(frequencyToo);
        PowerModule m;
        m.setWindowedResultsEnabled(true);
        m.setBufferLength(131072);
        if (frequencyToo) { m.setStaticFrequency(2147483648.0, 0.1); m.setPeriodCount(34549); }
        const Impl& impl = implOf(m);
        EXPECT_EQ(impl.buffers.generalResultsBuffer.hostAllocatedBytes + impl.buffers.harmonicsBuffer.hostAllocatedBytes, 0u);
        m.reset(0);
        EXPECT_PRED2(says, refusal([&] { m.scheduleForCalculation(0, 10, 50.0); }),
                     "at a sample rate of 1 Hz a window of");
        // Half the sample rate now lies below the frequency set, if any:
        // the rate is refused and changes nothing.
        if (impl.config.maxFrequency > 5120.0) {
            EXPECT_THROW(m.setSampleRate(10240.0, 1), std::invalid_argument);
            EXPECT_EQ(m.getSampleRate(), 1.0);
            m.setStaticFrequency(50.0, 0.1); m.setPeriodCount(10);
        }
        m.setSampleRate(10240.0, 1);
        EXPECT_EQ(window(m, distorted(10240.0, 50.0), 0, 10, 50.0).phasesCount, 1);
        EXPECT_EQ(impl.buffers.getGeneralResultsBufferLength(), 71u);  // 12.8 s x 55 Hz / 10
    }
}

TEST(WindowedCalculation, DirectAndResampledLengthsFollowTheirFactors) {
    // The lengths 2^a 3^b 5^c, made by multiplication: a window of such a
    // whole number of samples is transformed as it is, any other is
    // resampled onto the smallest multiple of 4 of them not below its exact
    // length. Windows of 10 cycles at 10240 Hz of every whole length from
    // 1862 to 2275 samples (55 to 45 Hz) and of lengths half a sample
    // beyond, each read back as its count of lines M / 2 + 1.
    std::set<unsigned int> smooth;
    for (unsigned int a = 1; a <= 8192; a *= 2) {
        for (unsigned int b = a; b <= 8192; b *= 3) {
            for (unsigned int c = b; c <= 8192; c *= 5) {
                smooth.insert(c);
            }
        }
    }
    const auto resampled = [&](double length) {
        return *std::find_if(smooth.begin(), smooth.end(),
                             [&](unsigned int m) { return m % 4 == 0 && static_cast<double>(m) >= length; });
    };
    Windowed m;
    const SignalDriver::Signal signal = distorted(10240.0, 50.0);
    unsigned long long first = 0;
    for (unsigned int n = 1862; n <= 2275; ++n) {
        for (double extra : {0.0, 0.5}) {
            const double length = n + extra;
            const unsigned int M = extra == 0.0 && smooth.count(n) == 1 ? n : resampled(length);
            const PowerResultsGeneral r = window(m, signal, first, 10, 10.0 * 10240.0 / length);
            ASSERT_EQ(r.fftOutputLength, M / 2 + 1) << length;
            first += n + 1;
        }
    }
}

}  // namespace
