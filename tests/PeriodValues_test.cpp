#include "ModuleTest.h"

#include <limits>
#include <string>

namespace {

struct ModuleSetup {
    PowerGridConfigType grid = ThreePhaseStar;
    double fs = 10000.0;
    int divisor = 1;
    unsigned int bufferLength = 3000;  // not a multiple of a cycle: items straddle the wrap
    bool lineToLine = false, rvc = false, symmetrical = false;
};

// A module with period values (RVC window of 20) reset at position 0, and its driver.
struct Started : PowerModule {
    explicit Started(const ModuleSetup& s = {}) {
        beginUpdate();
        setGridConfigType(s.grid); setSampleRate(s.fs, s.divisor); setBufferLength(s.bufferLength);
        setPeriodValuesEnabled(true); setLineToLineResultsEnabled(s.lineToLine); setRvcEnabled(s.rvc);
        setRvcSteadyStateLength(20); setPeriodSymmetricalComponentsEnabled(s.symmetrical);
        endUpdate();
        reset(0);
    }
    SignalDriver driver{*this};
};

// The golden runs pin every bit of every field; this checks the values of the
// last item against the maths, for a current leading by 30 degrees (the
// reactive power negative, its total also as a magnitude).
TEST(PeriodValues, SineAtTheTrackedFrequencyWithSymmetricalComponents) {
    Started module({ThreePhaseStar, 10000.0, 1, 3000, false, false, true});
    module.driver.run(0, 6000, 700, 50.0, threePhaseSine(10000.0, 50.0, 230.0, 10.0, -30.0));
    ASSERT_GE(module.driver.entries.size(), 29u);
    const std::vector<PowerResultsPeriod>& e = module.driver.entries.back();
    // Records 0, 1, 2 hold zero, positive, negative sequence; the positive one
    // is turned to phase 1's voltage.
    const PowerResultsSymmetricalComponent &zero = e[0].symmetricalComponent, &positive = e[1].symmetricalComponent;
    const double c = std::cos(pi / 6), checks[][3] = {  // value, expected, tolerance
        {e[2].rmsVoltage, 230.0, 1e-3}, {e[3].fundamentalVoltage, 230.0, 1e-3}, {e[1].fundamentalCurrent, 10.0, 1e-4},
        {e[2].fundamentalPhaseAngle, -30.0, 1e-4}, {e[3].fundamentalActivePower, 2300.0 * c, 1e-2},
        {e[1].fundamentalReactivePower, -1150.0, 1e-2}, {e[2].powerFactor, c, 1e-6}, {e[3].frequency, 50.0, 1e-9},
        {e[0].activePower, 6900.0 * c, 3e-2}, {e[0].nonActivePower, 3450.0, 3e-2},
        {e[0].fundamentalReactivePowerSum, -3450.0, 3e-2}, {e[0].fundamentalReactivePower, 3450.0, 3e-2},
        {e[0].time - module.driver.entries.rbegin()[1][0].time, 0.02, 1e-9},
        {positive.voltageMagnitude, 230.0, 1e-3}, {std::arg(positive.voltage), 0.0, 1e-9},
        {std::arg(positive.current), pi / 6, 1e-6}, {zero.voltageMagnitude, 0.0, 1e-3},
        {e[2].symmetricalComponent.currentMagnitude, 0.0, 1e-4}};
    for (const auto& x : checks) EXPECT_NEAR(x[0], x[1], x[2]) << &x - checks;
}

TEST(PeriodValues, LineToLineValuesPerWiring) {
    // Two phases have one line-to-line pair: only phase 1 gets it; totals are means over what exists.
    Started module({TwoPhaseStar, 10000.0, 1, 3000, true, true});
    SignalDriver& driver = module.driver;
    driver.run(0, 2000, 500, 50.0, threePhaseSine(10000.0, 50.0, 230.0, 10.0, 0.0));
    ASSERT_GE(driver.entries.size(), 5u);
    const auto& entry = driver.entries[3];
    const double lineToLine = 230.0 * std::sqrt(3.0), checks[][2] = {{entry[1].rmsLineToLine, lineToLine},
        {entry[0].rmsLineToLine, lineToLine / 2.0}, {entry[0].rmsVoltage, 230.0}, {entry[0].fundamentalVoltage, 230.0}};
    for (const auto& [got, expected] : checks) EXPECT_NEAR(got, expected, 1e-2) << &got - &checks[0][0];
    // The missing pair's RVC record is cleared, not written.
    EXPECT_EQ(std::make_tuple(entry[2].rmsLineToLine, entry[2].rvcLineToLineVoltage.time,
                              entry[1].rvcLineToLineVoltage.time),
              std::make_tuple(0.0, 0.0, entry[1].time));
    float* secondPair = nullptr;  // no ring for a pair that does not exist
    module.getWaveformBufferUDelta(1, &secondPair);
    EXPECT_EQ(secondPair, nullptr);
}

TEST(PeriodValues, NonFiniteSamplesStayVisibleAndLeaveTheRvcWindow) {
    // A NaN sample on phase 1 and an infinite one on phase 3: their period
    // values read NaN in the RMS values and in the powers from differences of
    // squares (not a clean 0). Both leave the RVC window of 20 period values
    // before all voltages dip by 10 % from 0.5 s on: one event of 23 V on every
    // phase and the total, one line-to-line event.
    Started module({ThreePhaseStar, 10000.0, 1, 3000, true, true});
    SignalDriver& driver = module.driver;
    const SignalDriver::Signal base = threePhaseSine(10000.0, 50.0, 230.0, 10.0, 30.0);
    driver.run(0, 15000, 1000, 50.0, [&](unsigned channel, uint64_t p) {
        if ((channel == 0 && p == 300) || (channel == 2 && p == 700)) return channel == 0 ? NaN : HUGE_VAL;
        return base(channel, p) * (p >= 5000 ? 0.9 : 1.0);
    });
    const std::vector<PowerResultsPeriod>& glitch = driver.entries[1];  // positions 200 to 399
    // A NaN apparent power is not positive: power factor 0.
    EXPECT_TRUE(std::isnan(glitch[1].rmsVoltage) && std::isnan(glitch[1].nonActivePower) && glitch[1].powerFactor == 0.0);
    EXPECT_TRUE(std::isnan(glitch[0].nonActivePower) && std::isnan(glitch[0].fundamentalReactivePower));
    EXPECT_NEAR(glitch[2].rmsVoltage, 230.0, 1e-3);  // the other phases are untouched
    EXPECT_NEAR(driver.entries[2][0].nonActivePower, 3 * 2300.0 * 0.5, 1e-1);  // and the next value is finite
    int ends[4] = {}, lineToLineEnds = 0;  // an event that starts twice ends twice; a stuck one never
    for (const auto& entry : driver.entries) {
        for (unsigned k = 0; k < 4; ++k) {
            const RvcResult& r = entry[k].rvcVoltage;
            if (r.eventEnded) {
                ++ends[k];
                EXPECT_NEAR(r.deltaUmax, 23.0, 0.1);
                EXPECT_NEAR(r.deltaUss, 23.0, 0.1);
                EXPECT_NEAR(r.duration, 0.02, 0.02);
            }
        }
        lineToLineEnds += entry[0].rvcLineToLineVoltage.eventEnded ? 1 : 0;
    }
    EXPECT_EQ(std::make_tuple(ends[0], ends[1], ends[2], ends[3], lineToLineEnds), std::make_tuple(1, 1, 1, 1, 1));
}

TEST(PeriodValues, ASpanLongerThanTheRingsIsRefused) {
    // 50 Hz at 10240 Hz: a period value spans about 206 positions. A ring of
    // 220 holds it (blocks of 10 are fetched before it comes round); a ring of
    // 10 cannot, and each such item is dropped with a message.
    for (unsigned int length : {220u, 10u}) {
        SCOPED_TRACE(length);
        Started module({SinglePhase, 10240.0, 1, length});
        SignalDriver& driver = module.driver;
        int refused = 0;
        for (uint64_t p = 0; p < 1030; p += 10) {
            const std::string said = refusal<std::invalid_argument>(
                [&] { driver.run(p, 10, 10, 50.0, threePhaseSine(10240.0, 50.0, 230.0, 10.0, 0.0)); });
            refused += said != "(not refused)";
            EXPECT_TRUE(said == "(not refused)" || says(said, "more than the buffer length of 10")) << said;
        }
        EXPECT_EQ(std::make_tuple(driver.entries.size(), refused), length == 220u ? std::make_tuple(size_t{5}, 0)
                                                                                 : std::make_tuple(size_t{0}, 5));
    }
}

// A fetch that finds an item and its successor both finished reads the
// positions they share once for both; each item's sums must still be what it
// would have alone. The same stream (the same segments, so the same tracking
// buffer and samples) goes to two modules with 50 % overlap: one is fetched
// after every segment, so each fetch meets a single item, the other after
// every 24 segments, so its items come in runs whose spans straddle the
// ring's wrap. Segments end on whole positions: one that ends inside a
// position has that position written again by the next call, which a fetch
// in between would see. Every wiring, so that each mix of current and
// line-to-line channels, alike over the phases or not, is covered, by the
// two-lane pass over the shared positions and, where the processor has it,
// the four-lane one.
TEST(PeriodValues, ItemsFetchedTogetherEqualItemsFetchedAlone) {
    struct Case {
        PowerGridConfigType grid;
        bool currents, lineToLine;
    };
    const Case cases[] = {{ThreePhaseStar, true, true},          {ThreePhaseStar, true, false},
                          {ThreePhaseStar, false, true},         {ThreePhaseStar, false, false},
                          {ThreePhaseStarTwoCurrents, true, true}, {ThreePhaseDeltaTwoVoltages, true, true},
                          {TwoPhaseStar, true, false},           {SinglePhaseDefault, true, false}};
    const double fs = 10240.0;
    const int divisor = 1;
    const auto signal = threePhaseSine(fs, 50.1, 230.0, 10.0, 25.0);
    for (int run = 0; run < 16; ++run) {
        const Case& c = cases[run % 8];
        const bool wide = run >= 8;
        if (wide && !Impl::widePeriodSumsAvailable()) {
            continue;
        }
        SCOPED_TRACE(std::to_string(c.grid) + (c.currents ? " currents" : "") + (c.lineToLine ? " line-to-line" : "") +
                     (wide ? " four lanes" : " two lanes"));
        std::vector<std::vector<PowerResultsPeriod>> entries[2];
        size_t largestFetch[2] = {0, 0};
        for (int together = 0; together < 2; ++together) {
            PowerModule module;
            module.beginUpdate();
            module.setGridConfigType(c.grid); module.setSampleRate(fs, divisor); module.setBufferLength(3001);
            module.setPeriodValuesEnabled(true); module.setPeriodValuesOverlapInPercent(50);
            module.setCurrentEnabled(c.currents); module.setLineToLineResultsEnabled(c.lineToLine);
            module.setRvcEnabled(true); module.setRvcSteadyStateLength(20);
            module.setPeriodSymmetricalComponentsEnabled(module.getPhasesCount() == 3);
            module.endUpdate();
            module.reset(0);
            implOf(module).widePeriodSums = wide;
            SignalDriver driver(module);
            std::vector<unsigned long long> firsts;
            std::vector<int> lengths;
            std::vector<double> frequencies;
            bool flags[24];
            std::fill(flags, flags + 24, true);
            unsigned long long next = 0;
            uint64_t written = 0;
            for (int n = 0; n < 800; ++n) {
                // Frequencies wandering round 50 Hz.
                firsts.push_back(next); lengths.push_back(13 + 7 * (n % 5)); frequencies.push_back(49.8 + 0.1 * (n % 6));
                next += static_cast<unsigned long long>(lengths.back());
                if (firsts.size() == (together ? 24u : 1u) || n == 799) {
                    const uint64_t end = (next - 1) / divisor + 1;
                    driver.write(written, end - written, signal);
                    written = end;
                    module.scheduleForPeriodCalculation(static_cast<int>(firsts.size()), firsts.data(),
                                                        lengths.data(), frequencies.data(), flags);
                    const size_t before = driver.entries.size();
                    driver.fetch();
                    largestFetch[together] = std::max(largestFetch[together], driver.entries.size() - before);
                    firsts.clear(); lengths.clear(); frequencies.clear();
                }
            }
            entries[together] = driver.entries;
        }
        EXPECT_EQ(largestFetch[0], 1u);
        EXPECT_GE(largestFetch[1], 4u);
        ASSERT_EQ(entries[0].size(), entries[1].size());
        ASSERT_GT(entries[0].size(), 100u);
        size_t differing = 0;
        for (size_t k = 0; k < entries[0].size(); ++k) {
            differing += std::memcmp(entries[0][k].data(), entries[1][k].data(),
                                     entries[0][k].size() * sizeof(PowerResultsPeriod)) != 0;
        }
        EXPECT_EQ(differing, 0u);
    }
}

// Samples that are not finite (a NaN, infinities of both signs, on voltages,
// currents and line-to-line channels, some where one of them meets another)
// give the same values whether the positions two items share are summed four
// lanes wide or two: every double has the same bits, except that a NaN may
// come out with the other sign (which NaN a sum of NaNs and infinities ends
// with depends on the order of the operands; the four-lane pass's own bits
// are pinned by the golden runs). Fetched every 24 segments, so that shared
// passes run, over the ring's wrap too.
TEST(PeriodValues, NonFiniteSamplesGiveTheSameBitsInEveryPass) {
    if (!Impl::widePeriodSumsAvailable()) {
        GTEST_SKIP() << "the four-lane pass needs AVX2";
    }
    const double fs = 10240.0;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const auto sine = threePhaseSine(fs, 50.1, 230.0, 10.0, 25.0);
    // (position, channel, value): channels 0-2 voltages, 3-5 currents, 6-8 line-to-line.
    const struct {
        uint64_t position;
        unsigned channel;
        double value;
    } odd[] = {{1234, 0, nan}, {1500, 3, inf}, {1777, 1, -inf}, {2100, 4, nan}, {2101, 2, inf},
               {2102, 2, -nan}, {2500, 6, nan}, {2600, 5, -inf}, {2601, 5, nan}, {2990, 7, inf},
               {3003, 0, -inf}, {3004, 0, inf}, {3005, 3, nan}, {4321, 8, -inf}};
    const SignalDriver::Signal signal = [&](unsigned channel, uint64_t p) {
        for (const auto& o : odd) {
            if (o.position == p && o.channel == channel) return o.value;
        }
        return sine(channel, p);
    };
    for (int wiring = 0; wiring < 4; ++wiring) {
        const bool currents = wiring & 1, lineToLine = wiring & 2;
        SCOPED_TRACE(std::string(currents ? "currents" : "no currents") + (lineToLine ? ", line-to-line" : ""));
        std::vector<std::vector<PowerResultsPeriod>> entries[2];
        for (int wide = 0; wide < 2; ++wide) {
            PowerModule module;
            module.beginUpdate();
            module.setGridConfigType(ThreePhaseStar); module.setSampleRate(fs, 1); module.setBufferLength(3001);
            module.setPeriodValuesEnabled(true); module.setPeriodValuesOverlapInPercent(50);
            module.setCurrentEnabled(currents); module.setLineToLineResultsEnabled(lineToLine);
            module.setPeriodSymmetricalComponentsEnabled(true);
            module.endUpdate();
            module.reset(0);
            implOf(module).widePeriodSums = wide != 0;
            SignalDriver driver(module);
            std::vector<unsigned long long> firsts;
            std::vector<int> lengths;
            std::vector<double> frequencies;
            bool flags[24];
            std::fill(flags, flags + 24, true);
            unsigned long long next = 0;
            for (int n = 0; n < 240; ++n) {
                firsts.push_back(next); lengths.push_back(13 + 7 * (n % 5)); frequencies.push_back(49.8 + 0.1 * (n % 6));
                next += static_cast<unsigned long long>(lengths.back());
                if (firsts.size() == 24u) {
                    driver.write(firsts.front(), next - firsts.front(), signal);
                    module.scheduleForPeriodCalculation(24, firsts.data(), lengths.data(), frequencies.data(), flags);
                    driver.fetch();
                    firsts.clear(); lengths.clear(); frequencies.clear();
                }
            }
            entries[wide] = driver.entries;
        }
        ASSERT_EQ(entries[0].size(), entries[1].size());
        ASSERT_GT(entries[0].size(), 40u);
        // Record by record, double by double (every field of the record is a
        // double or lies in one's eight bytes, and the padding is cleared).
        const auto same = [](const PowerResultsPeriod& a, const PowerResultsPeriod& b) {
            static_assert(sizeof(PowerResultsPeriod) % sizeof(double) == 0, "a record is whole doubles");
            for (size_t offset = 0; offset < sizeof(PowerResultsPeriod); offset += sizeof(double)) {
                double x, y;
                std::memcpy(&x, reinterpret_cast<const char*>(&a) + offset, sizeof x);
                std::memcpy(&y, reinterpret_cast<const char*>(&b) + offset, sizeof y);
                if (std::memcmp(&x, &y, sizeof x) != 0 && !(std::isnan(x) && std::isnan(y))) {
                    return false;
                }
            }
            return true;
        };
        size_t differing = 0, nonFinite = 0;
        for (size_t k = 0; k < entries[0].size(); ++k) {
            for (size_t r = 0; r < entries[0][k].size(); ++r) {
                differing += !same(entries[0][k][r], entries[1][k][r]);
            }
            nonFinite += !std::isfinite(entries[1][k][1].rmsVoltage) || !std::isfinite(entries[1][k][3].rmsVoltage);
        }
        EXPECT_EQ(differing, 0u);
        EXPECT_GT(nonFinite, 4u);  // the odd samples reached the values
    }
}

}  // namespace
