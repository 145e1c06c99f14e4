// The flickermeter against fluctuations of known severity: the published
// test points, clock-aligned Pst and Plt, and inputs that must not upset it.
// The flat twin is driven by a C host (flicker_c_test.c).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <complex>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "ComtradeRecording.h"
#include "powerquality/FlickerMeter.h"
#include "powerquality/FlickerMeterApi.h"

namespace {

constexpr double pi = 3.141592653589793;

// u(t) = U sqrt(2) sin(2 pi f t) (1 + dV/V / 200 m(t)) with m a sine of
// frequency fm or its sign; the carrier comes from a rotating phasor (cheap
// and exact enough for hours of samples).
struct Fluctuation { double rate, supply, volts, percent, modulation; bool rectangular; };

std::vector<float> synthesise(const Fluctuation& f, double seconds, double scale = 1.0) {
    const std::size_t n = static_cast<std::size_t>(seconds * f.rate);
    std::vector<float> out(n);
    const std::complex<double> turn = std::polar(1.0, 2.0 * pi * f.supply / f.rate);
    std::complex<double> carrier(1.0, 0.0);
    for (std::size_t p = 0; p < n; ++p) {
        const double cycles = f.modulation * static_cast<double>(p) / f.rate;
        const double phase = cycles - std::floor(cycles);
        const double m = f.rectangular ? (phase < 0.5 ? 1.0 : -1.0) : std::sin(2.0 * pi * phase);
        out[p] = static_cast<float>(scale * f.volts * std::sqrt(2.0) * carrier.imag() * (1.0 + f.percent / 200.0 * m));
        carrier *= turn;
        carrier /= p % 4096 == 0 ? std::abs(carrier) : 1.0;
    }
    return out;
}

// What a meter hands out: the largest Pinst, Pst and Plt, and their gap marks.
struct Outcome { double pinstMax; std::vector<double> pst, plt; std::vector<bool> pstGap, pltGap; };

Outcome outcomeOf(FlickerMeter& meter) {
    const int shortTerm = meter.getPendingShortTermCount(), longTerm = meter.getPendingLongTermCount();
    Outcome out{meter.getInstantaneousMaximum(), std::vector<double>(shortTerm), std::vector<double>(longTerm), {}, {}};
    std::unique_ptr<bool[]> pstGap(new bool[shortTerm + 1]), pltGap(new bool[longTerm + 1]);
    meter.getShortTermSeverities(shortTerm, out.pst.data(), pstGap.get());
    meter.getLongTermSeverities(longTerm, out.plt.data(), pltGap.get());
    out.pstGap.assign(pstGap.get(), pstGap.get() + shortTerm);
    out.pltGap.assign(pltGap.get(), pltGap.get() + longTerm);
    return out;
}

Outcome measure(const Fluctuation& f, const std::vector<float>& samples, double clockOffset = 0.0, int block = 0) {
    FlickerMeter meter(f.rate, f.supply, f.volts);
    meter.setClockOffset(clockOffset);
    const int n = static_cast<int>(samples.size()), step = block > 0 ? block : n;
    for (int at = 0; at < n; at += step) meter.addSamples(samples.data() + at, std::min(step, n - at));
    return outcomeOf(meter);
}

// The bits of every value, so that NaN compares equal to itself.
std::vector<uint64_t> bitsOf(const Outcome& o) {
    std::vector<double> all{o.pinstMax};
    all.insert(all.end(), o.pst.begin(), o.pst.end());
    all.insert(all.end(), o.plt.begin(), o.plt.end());
    std::vector<uint64_t> out;
    for (double v : all) {
        uint64_t b;
        std::memcpy(&b, &v, sizeof b);
        out.push_back(b);
    }
    for (bool g : o.pstGap) out.push_back(g);
    for (bool g : o.pltGap) out.push_back(g);
    return out;
}

// The published test points, one row each (table, system, modulation, x,
// unit, dV/V in percent): the system, x, whether x is in Hz (not changes/min),
// and the fluctuation, of a system "230V/50Hz" sampled at 80 samples per cycle.
struct TestPoint { std::string system; double x; bool hertz; Fluctuation f; };

std::vector<TestPoint> testPoints() {
    std::ifstream in(std::string(POWERQUALITY_SHARED_DATA_DIR) + "/flicker/iec61000-4-15-ed2-test-points.csv");
    std::vector<TestPoint> rows;
    ComtradeRecording::fields(in);  // header
    for (std::vector<std::string> f; (f = ComtradeRecording::fields(in)).size() >= 6;) {
        const double x = std::stod(f[3]), supply = std::stod(f[1].substr(f[1].find('/') + 1));
        rows.push_back({f[1], x, f[4] == "Hz", {80.0 * supply, supply, std::stod(f[1].substr(0, f[1].find('V'))),
                                                std::stod(f[5]), f[4] == "changes/min" ? x / 120.0 : x,
                                                f[2] == "rectangular"}});
    }
    return rows;
}

// Ten minutes after settling: the clock offset puts the first tick at the
// end of the settling time, so interval 0 holds nothing (NaN) and interval 1
// is a whole settled one.
double settledPst(const Fluctuation& f) {
    const double settle = FlickerMeter::settlingSeconds;
    const Outcome out = measure(f, synthesise(f, settle + 600.5), 600.0 - settle);
    EXPECT_EQ(out.pst.size(), 2u);
    EXPECT_TRUE(std::isnan(out.pst.at(0)));
    return out.pst.at(1);
}

// The sinusoidal and rectangular tables (in Hz) give a Pinst maximum of 1,
// the rectangular changes table (changes/min) a Pst of 1: every row (21, ten
// minutes each) when POWERQUALITY_FLICKER_FULL_TABLE is set; otherwise three,
// the slowest, a middle and the fastest, one of each system. A steady sine
// gives none.
TEST(FlickerMeter, TestPointsGiveOneAndASteadySineNone) {
    for (const Fluctuation& f : {Fluctuation{4000.0, 50.0, 230.0, 0.0, 1.0, false},
                                 Fluctuation{4800.0, 60.0, 120.0, 0.0, 1.0, false}}) {
        SCOPED_TRACE(f.supply);
        EXPECT_LT(settledPst(f), 0.05);
    }
    const std::vector<TestPoint> rows = testPoints();
    if (rows.empty()) GTEST_SKIP() << "no test points in ../shared/data/flicker";
    const bool full = std::getenv("POWERQUALITY_FLICKER_FULL_TABLE") != nullptr;
    int checked = 0;
    for (const TestPoint& row : rows) {
        SCOPED_TRACE(testing::Message() << row.system << (row.f.rectangular ? " rectangular " : " ") << row.x);
        const bool sample = (row.x == 1.0 && row.system == "230V/50Hz") ||
                            (row.x == 110.0 && row.system == "120V/60Hz") ||
                            (row.x == 4800.0 && row.system == "230V/60Hz");
        if (row.hertz) {
            // Settling, then at least three periods of the slowest modulation.
            EXPECT_NEAR(measure(row.f, synthesise(row.f, FlickerMeter::settlingSeconds + 7.0)).pinstMax, 1.0, 0.08);
            ++checked;
        } else if (full || sample) {
            EXPECT_NEAR(settledPst(row.f), 1.0, 0.05);
        }
    }
    EXPECT_EQ(checked, 116);
}

// 9001 s from 90 minutes into a 2-hour clock block: intervals 9, 10, 11 make
// a first short block, 12 to 23 a whole one. A missing sample marks its
// interval and its block.
TEST(FlickerMeter, PltIsTheCubicMeanOfTheBlocksPstOnTheClock) {
    const Fluctuation f{1000.0, 50.0, 230.0, 0.25, 8.8, false};
    std::vector<float> samples = synthesise(f, 9001.0);
    samples[4300000] = std::numeric_limits<float>::quiet_NaN();  // in interval 7, the whole block's fifth
    const Outcome out = measure(f, samples, 5400.0);
    ASSERT_EQ(std::make_pair(out.pst.size(), out.plt.size()), std::make_pair(std::size_t{15}, std::size_t{2}));
    std::vector<bool> marked(15, false);
    marked[7] = true;
    EXPECT_EQ(std::make_pair(out.pstGap, out.pltGap), std::make_pair(marked, std::vector<bool>{false, true}));
    auto cubicMean = [&](std::size_t from, std::size_t count) {
        double sum = 0.0;
        for (std::size_t k = from; k < from + count; ++k) sum += out.pst[k] * out.pst[k] * out.pst[k];
        return std::cbrt(sum / static_cast<double>(count));
    };
    EXPECT_NEAR(out.plt[0], cubicMean(0, 3), 1e-12);
    EXPECT_NEAR(out.plt[1], cubicMean(3, 12), 1e-12);
    // Twelve equal Pst: the steady fluctuation's, all within a hair.
    for (std::size_t k = 3; k < 15; ++k) EXPECT_NEAR(out.pst[k], out.plt[1], 1e-3 * out.plt[1]);
}

TEST(FlickerMeter, SameResultsForAnyBlocksAndAnyScaleDefinedOnesForBadSamples) {
    const Fluctuation f{4000.0, 50.0, 230.0, 1.0, 5.0, true};
    const std::vector<float> samples = synthesise(f, 25.0);
    const Outcome whole = measure(f, samples, 580.0);  // an interval ends at 20 s
    ASSERT_EQ(whole.pst.size(), 1u);
    // Powers of two scale every square and the mean exactly, up to samples
    // near the largest float (whose squares are far inside double's range).
    const std::pair<int, double> variants[] = {{1, 1.0}, {7, 1.0}, {4096, 1.0}, {0, 0x1p-40}, {0, 0x1p40}, {0, 0x1p118}};
    for (const auto& [block, scale] : variants) {
        SCOPED_TRACE(testing::Message() << "blocks of " << block << ", scaled by " << scale);
        const Outcome o = measure(f, scale == 1.0 ? samples : synthesise(f, 25.0, scale), 580.0, block);
        EXPECT_EQ(std::tie(o.pinstMax, o.pst), std::tie(whole.pinstMax, whole.pst));
    }

    // The reference fluctuation (8.8 Hz, 0.25 %) with samples that are not
    // finite: they are missing, the fluctuation reads as without them, and
    // the interval that holds them (the one ending at 20 s) is marked.
    const Fluctuation g{4000.0, 50.0, 230.0, 0.25, 8.8, false};
    const std::vector<float> clean = synthesise(g, 20.5);
    const Outcome reference = measure(g, clean, 580.0);
    ASSERT_EQ(reference.pstGap, std::vector<bool>{false});
    const double nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case { const char* name; std::size_t from, count; double value; };
    for (const Case& c : {Case{"one NaN", 40000, 1, nan}, Case{"a cycle of NaN", 50000, 80, nan},
                          Case{"+inf", 60000, 3, inf}, Case{"-inf", 60001, 1, -inf}, Case{"NaN first", 0, 10, nan},
                          Case{"a second of NaN", 30000, 4000, nan}, Case{"every 500th NaN", 0, 82000, nan}}) {
        SCOPED_TRACE(c.name);
        std::vector<float> bad = clean;
        const std::size_t every = c.count > 10000 ? 500 : 1;
        for (std::size_t p = c.from; p < c.from + c.count; p += every) bad[p] = static_cast<float>(c.value);
        const Outcome o = measure(g, bad, 580.0);
        EXPECT_EQ(o.pstGap, std::vector<bool>{true});
        if (every > 1) {
            // Every 500th sample missing (each costs 0.5 s) leaves nothing measured.
            EXPECT_TRUE(std::isnan(o.pinstMax) && std::isnan(o.pst.at(0)));
        } else {
            EXPECT_NEAR(o.pinstMax, 1.0, 0.01);
            EXPECT_NEAR(o.pst.at(0), reference.pst.at(0), 0.02);
        }
    }
    // Silence: no flicker at all; nothing before settling: NaN.
    const Outcome silence = measure(g, std::vector<float>(4000 * 30, 0.0f), 580.0);
    EXPECT_EQ(std::tie(silence.pinstMax, silence.pst), std::make_tuple(0.0, std::vector<double>{0.0}));
    EXPECT_TRUE(std::isnan(measure(g, synthesise(g, FlickerMeter::settlingSeconds - 0.1)).pinstMax));
}

// Several meters in one call give each meter's own results, bit for bit:
// up to five voltages (more than one group of lanes, a group part filled),
// blocks across the meter's internal chunks, a voltage that starts late
// (its mean counts fewer samples than the others' while they run side by
// side), missing samples in one voltage only (the others run on, it is
// bridged alone) and meters that are not in step (another lamp, another
// position, one meter twice), which take their samples one after another.
// At 4000 samples per second two to four meters demodulate one after
// another, at 6400 side by side.
// Meters in step run side by side, four to a vector, in blocks of the
// decimation (1 at 1000 per second, 3 unrolled at 3200, 4, 6 and 10): each
// meter's results, every Pinst maximum included, are the bits of the same
// meter on its own, whatever the blocks, with missing samples anywhere (a
// missing sample makes the chunk go meter by meter).
TEST(FlickerMeter, MetersTogetherGiveEachMetersOwnResults) {
  for (const double rate : {1000.0, 3200.0, 4000.0, 6400.0, 10240.0}) {
    SCOPED_TRACE(rate);
    std::vector<std::vector<float>> voltages;
    for (int c = 0; c < 5; ++c) {
        voltages.push_back(synthesise({rate, 50.0, 230.0, 0.5 + 0.3 * c, 3.0 + 2.0 * c, c == 3}, 75.0));
    }
    const auto at = [rate](double seconds) { return static_cast<std::size_t>(seconds * rate); };
    std::fill_n(voltages[2].begin(), 3000, 0.0f);                          // silence first
    std::fill_n(voltages[1].begin() + static_cast<std::ptrdiff_t>(at(30.0)), 2000, std::nanf(""));  // 2000 missing
    voltages[4][at(66.0) + 1] = std::numeric_limits<float>::infinity();  // one sample
    voltages[2][5 * 9999 + 9997] = std::nanf("");  // in the last, short chunk of a block of 9999
    voltages[3][1] = -std::numeric_limits<float>::infinity();  // before the first decimated sample
    voltages[0][7 * 4096 - 1] = std::nanf("");  // the last of a chunk (of a block of 7 too): in no output of it
    const double clock = 580.0;  // an interval ends at 20 s
    struct Case { int meters, block; };
    for (const Case& c : {Case{1, 0}, Case{2, 4097}, Case{3, 0}, Case{3, 7}, Case{3, 9999}, Case{5, 4096}}) {
        SCOPED_TRACE(testing::Message() << c.meters << " meters, blocks of " << c.block);
        std::vector<FlickerMeter> meters, solos;
        std::vector<FlickerMeter*> pointers;
        for (int m = 0; m < c.meters; ++m) {
            meters.emplace_back(rate, 50.0, 230.0);
            meters.back().setClockOffset(clock);
            solos.emplace_back(rate, 50.0, 230.0);
            solos.back().setClockOffset(clock);
        }
        for (FlickerMeter& m : meters) pointers.push_back(&m);
        // The largest Pinst of every block (of every 10000 samples for
        // blocks of 7) too: a value, not a histogram bin, so any bit of the
        // filters' state that differs shows.
        std::vector<std::vector<double>> peaks(static_cast<std::size_t>(c.meters)), soloPeaks = peaks;
        const int n = static_cast<int>(voltages[0].size()), step = c.block > 0 ? c.block : n;
        for (int at = 0; at < n; at += step) {
            const int count = std::min(step, n - at);
            std::vector<const float*> rows;
            for (int m = 0; m < c.meters; ++m) rows.push_back(voltages[static_cast<std::size_t>(m)].data() + at);
            FlickerMeter::addSamples(pointers.data(), rows.data(), c.meters, count);
            const bool peak = step != 7 || (at + count) / 10000 != at / 10000;
            for (std::size_t m = 0; m < meters.size(); ++m) {
                solos[m].addSamples(rows[m], count);
                if (peak) {
                    peaks[m].push_back(meters[m].getInstantaneousMaximum());
                    soloPeaks[m].push_back(solos[m].getInstantaneousMaximum());
                }
            }
        }
        for (std::size_t m = 0; m < meters.size(); ++m) {
            EXPECT_EQ(bitsOf(outcomeOf(meters[m])), bitsOf(outcomeOf(solos[m]))) << "meter " << m;
            EXPECT_EQ(bitsOf({0.0, peaks[m], {}, {}, {}}), bitsOf({0.0, soloPeaks[m], {}, {}, {}})) << "meter " << m;
        }
    }
  }

    // Not in step: each takes its samples in turn, as addSamples would.
    // At 3000 per second the decimation (3) does not divide the meter's chunks.
    const std::vector<float> u = synthesise({4000.0, 50.0, 230.0, 0.5, 3.0, false}, 75.0);
    const double r3 = 3000.0;
    FlickerMeter a(r3, 50.0, 230.0), b(r3, 50.0, 120.0), early(r3, 50.0, 230.0), twice(r3, 50.0, 230.0);
    FlickerMeter soloA(r3, 50.0, 230.0), soloB(r3, 50.0, 120.0), soloEarly(r3, 50.0, 230.0), soloTwice(r3, 50.0, 230.0);
    early.addSamples(u.data(), 1000);  // another phase of the decimation too
    soloEarly.addSamples(u.data(), 1000);
    const int n = 200000;
    const float* rows[] = {u.data() + 1000, u.data() + 1000, u.data() + 1000};
    for (const auto& group : {std::vector<FlickerMeter*>{&a, &b}, std::vector<FlickerMeter*>{&a, &early},
                              std::vector<FlickerMeter*>{&twice, &twice}}) {
        FlickerMeter::addSamples(group.data(), rows, static_cast<int>(group.size()), n);
    }
    for (FlickerMeter* solo : {&soloA, &soloB, &soloA, &soloEarly, &soloTwice, &soloTwice}) {
        solo->addSamples(u.data() + 1000, n);
    }
    EXPECT_EQ(early.getInstantaneousMaximum(), soloEarly.getInstantaneousMaximum());
    EXPECT_EQ(bitsOf(outcomeOf(a)), bitsOf(outcomeOf(soloA)));
    EXPECT_EQ(bitsOf(outcomeOf(b)), bitsOf(outcomeOf(soloB)));
    EXPECT_EQ(bitsOf(outcomeOf(early)), bitsOf(outcomeOf(soloEarly)));
    EXPECT_EQ(bitsOf(outcomeOf(twice)), bitsOf(outcomeOf(soloTwice)));
    EXPECT_EQ(a.getSamplePosition(), 2u * n);

    FlickerMeter* none[] = {&a, nullptr};
    EXPECT_THROW(FlickerMeter::addSamples(none, rows, 2, 10), std::invalid_argument);
    EXPECT_THROW(FlickerMeter::addSamples(nullptr, rows, 2, 10), std::invalid_argument);
    FlickerMeter::addSamples(nullptr, nullptr, 2, 0);  // nothing to add: not read
}

// A clean 230 V supply off its nominal 50 Hz with 10 s missing (10240 per
// second: a nominal cycle is not a whole number of samples; 4000: it is), in
// a first interval of 65 s (60 s settled). The gap does not read as flicker:
// Pst as without the gap, to within a hair, and the interval marked. Taking
// the sample one nominal cycle before instead gave Pinst up to 7 and Pst up
// to 0.26 over 10 minutes.
TEST(FlickerMeter, AGapInACleanSupplyReadsAsNoFlickerAndIsMarked) {
    struct Case { double rate, supply; };
    for (const Case& c : {Case{10240.0, 49.5}, Case{10240.0, 49.0}, Case{10240.0, 50.5}, Case{10240.0, 51.0},
                          Case{10240.0, 50.0}, Case{4000.0, 49.5}, Case{4000.0, 51.0}}) {
        SCOPED_TRACE(testing::Message() << c.supply << " Hz at " << c.rate << " per second");
        const Fluctuation nominal{c.rate, 50.0, 230.0, 0.0, 1.0, false};
        std::vector<float> samples = synthesise({c.rate, c.supply, 230.0, 0.0, 1.0, false}, 65.5);
        const Outcome clean = measure(nominal, samples, 535.0);
        std::fill(samples.begin() + static_cast<std::ptrdiff_t>(30.0 * c.rate),
                  samples.begin() + static_cast<std::ptrdiff_t>(40.0 * c.rate), std::numeric_limits<float>::quiet_NaN());
        const Outcome gap = measure(nominal, samples, 535.0);
        ASSERT_EQ(gap.pst.size(), 1u);
        EXPECT_EQ(clean.pstGap, std::vector<bool>{false});
        EXPECT_EQ(gap.pstGap, std::vector<bool>{true});
        EXPECT_LT(gap.pst[0], 0.05);
        EXPECT_NEAR(gap.pst[0], clean.pst[0], 1e-3);
        EXPECT_LT(gap.pinstMax, 2.0 * clean.pinstMax);
    }
}

// A steady level switched on makes no flicker: the low-pass starts in the
// steady state of the first value, and again of the level held when the
// meter rejoins after a gap, so the band-pass sees no step. A constant input
// is that steady state exactly; a low-pass started from any other state (a
// wrong sign in one of its coefficients' sums) rings for seconds, Pinst 1e-10
// at settling, where the settled filters leave rounding only (below 1e-25).
TEST(FlickerMeter, ASteadyLevelMakesNoFlickerAtTheStartOrAfterAGap) {
    struct Case { double rate, supply; };
    for (const Case& c : {Case{3200.0, 50.0}, Case{10240.0, 50.0}, Case{4000.0, 60.0}}) {
        SCOPED_TRACE(testing::Message() << c.supply << " Hz at " << c.rate << " per second");
        std::vector<float> samples(static_cast<std::size_t>(30.0 * c.rate), 325.0f);
        std::fill(samples.begin() + static_cast<std::ptrdiff_t>(12.0 * c.rate),
                  samples.begin() + static_cast<std::ptrdiff_t>(12.5 * c.rate), std::numeric_limits<float>::quiet_NaN());
        FlickerMeter meter(c.rate, c.supply, 230.0);
        const int second = static_cast<int>(c.rate);
        int measured = 0;
        for (int s = 0; s < 30; ++s) {
            meter.addSamples(samples.data() + static_cast<std::ptrdiff_t>(s) * second, second);
            const double pinst = meter.getInstantaneousMaximum();
            if (std::isnan(pinst)) {
                EXPECT_TRUE(s < FlickerMeter::settlingSeconds || s == 12) << "second " << s;
                continue;
            }
            EXPECT_LT(pinst, 1e-20) << "second " << s;
            ++measured;
        }
        EXPECT_GE(measured, 20);
    }
}

// Which intervals a missing sample marks: the one that holds it, and the
// next when the half second of Pinst it costs runs past the tick (at 10 s,
// sample 10000; intervals from a clock offset 10 s before the end of a
// 2-hour block, so the first Plt is the first interval's alone). A real
// change of level across a gap reads as a change over a quarter second,
// not as a step.
TEST(FlickerMeter, AMissingSampleMarksTheIntervalsItTouches) {
    const Fluctuation f{1000.0, 50.0, 230.0, 0.0, 1.0, false};
    const std::vector<float> clean = synthesise(f, 611.0);
    struct Case { long missing; bool first, second; };
    for (const Case& c : {Case{-1, false, false}, Case{0, true, false}, Case{9400, true, false},
                          Case{9600, true, true}, Case{9999, true, true}, Case{10000, false, true},
                          Case{610999, false, true}}) {
        SCOPED_TRACE(c.missing);
        std::vector<float> samples = clean;
        if (c.missing >= 0) samples[static_cast<std::size_t>(c.missing)] = std::numeric_limits<float>::quiet_NaN();
        const Outcome whole = measure(f, samples, 7190.0);
        for (const int block : {0, 1, 333}) {
            const Outcome o = measure(f, samples, 7190.0, block);
            EXPECT_EQ(std::tie(o.pinstMax, o.pst, o.plt), std::tie(whole.pinstMax, whole.pst, whole.plt));
            if (c.missing == 610999) {  // the last sample, in the interval still running
                EXPECT_EQ(o.pstGap, (std::vector<bool>{false, false}));
                continue;
            }
            EXPECT_EQ(o.pstGap, (std::vector<bool>{c.first, c.second}));
            EXPECT_EQ(o.pltGap, std::vector<bool>{c.first});
            EXPECT_LT(o.pst.at(1), 0.05);
        }
    }
    // 1 % more voltage after a second's gap: Pinst well below the 3.7 of a
    // step of 1 %, and the change is not lost.
    std::vector<float> raised = synthesise(f, 20.0);
    for (std::size_t p = 10000; p < raised.size(); ++p) raised[p] *= 1.01f;
    const double step = measure(f, raised).pinstMax;
    std::fill(raised.begin() + 9000, raised.begin() + 11000, std::numeric_limits<float>::quiet_NaN());
    const double bridged = measure(f, raised).pinstMax;
    EXPECT_GT(step, 3.0);
    EXPECT_GT(bridged, 0.3);
    EXPECT_LT(bridged, 1.0);
}

TEST(FlickerMeter, RefusesArgumentsThatMakeNoSense) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case { double rate, supply, lamp; };
    for (const Case& c : {Case{0.0, 50.0, 230.0}, Case{nan, 50.0, 230.0}, Case{999.0, 50.0, 230.0},
                          Case{4000.0, 0.0, 230.0}, Case{4000.0, 16.7, 230.0}, Case{4000.0, nan, 230.0},
                          Case{4000.0, 50.0, 220.0}, Case{4000.0, 50.0, nan}, Case{2e7, 50.0, 230.0}}) {
        SCOPED_TRACE(std::to_string(c.rate) + " " + std::to_string(c.supply) + " " + std::to_string(c.lamp));
        EXPECT_THROW(FlickerMeter(c.rate, c.supply, c.lamp), std::invalid_argument);
        EXPECT_EQ(flickerMeter_create(c.rate, c.supply, c.lamp), nullptr);
    }
    FlickerMeter meter(1000.0, 50.0, 230.0);
    EXPECT_THROW(meter.setClockOffset(nan), std::invalid_argument);
    // Empty blocks change nothing: the clock can still be set.
    const float one = 1.0f;
    meter.addSamples(nullptr, 0);
    meter.addSamples(&one, -5);
    EXPECT_EQ(meter.getSamplePosition(), 0u);
    EXPECT_THROW(meter.addSamples(nullptr, 1), std::invalid_argument);
    double value = 0.0;
    bool gap = false;
    EXPECT_THROW(meter.getShortTermSeverities(1, &value, nullptr), std::invalid_argument);
    EXPECT_THROW(meter.getLongTermSeverities(1, nullptr, &gap), std::invalid_argument);
    EXPECT_EQ(meter.getShortTermSeverities(0, nullptr, nullptr), 0);
    meter.setClockOffset(-30.0);  // 30 s before a tick: clock interval -1
    EXPECT_EQ(meter.getFirstClockInterval(), -1);
    meter.addSamples(&one, 1);
    EXPECT_THROW(meter.setClockOffset(0.0), std::invalid_argument);
}

}  // namespace
