#include "config/PowerConfig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

namespace {

std::tuple<int, int, int, int, int, bool, bool, bool, bool, bool> fields(const PowerGridConfig& g) {
    return std::make_tuple(g.type, g.phasesCount, g.voltagesCount, g.currentsCount, g.lineToLineCount, g.deltaInput,
                           g.starInput, g.neutralPresent, g.voltageChannelMissing, g.currentChannelMissing);
}

// The eight wirings, the counts a configuration derives from them, and the
// default wiring for unknown types.
TEST(PowerGridConfig, TableAndDerivedCounts) {
    struct Row {
        PowerGridConfigType type;
        int phases, voltages, currents, lineToLine;
        bool delta, voltageMissing, currentMissing;
    };
    const Row rows[] = {
        {SinglePhaseDefault, 1, 1, 1, 0, false, false, false},
        {ThreePhaseStar, 3, 3, 3, 3, false, false, false},
        {ThreePhaseStarTwoCurrents, 3, 3, 2, 3, false, false, true},
        {ThreePhaseDelta, 3, 3, 3, 3, true, false, false},
        {ThreePhaseDeltaTwoCurrents, 3, 3, 2, 3, true, false, true},
        {TwoPhaseStar, 2, 2, 2, 1, false, false, false},
        {ThreePhaseDeltaTwoVoltages, 3, 2, 2, 3, true, true, true},
        {SinglePhase, 1, 1, 1, 0, false, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(static_cast<int>(r.type));
        EXPECT_EQ(fields(powerGridConfigs[r.type]),
                  std::make_tuple(r.type, r.phases, r.voltages, r.currents, r.lineToLine, r.delta, !r.delta, !r.delta,
                                  r.voltageMissing, r.currentMissing));
        PowerConfig config;
        config.gridConfigType = r.type;
        for (bool lineToLine : {false, true}) {
            for (bool waveforms : {false, true}) {
                config.lineToLineResultsEnabled = lineToLine;
                config.waveformsEnabled = waveforms;
                EXPECT_EQ(config.getLineToLineCount(), lineToLine ? r.lineToLine : 0);
                EXPECT_EQ(config.getDeltaWaveformsCount(), lineToLine || waveforms ? r.lineToLine : 0);
            }
        }
        config.currentEnabled = false;
        EXPECT_EQ(config.getCurrentsCount(), 0);
    }
    for (int raw : {8, -1, 1000}) {
        SCOPED_TRACE(raw);
        PowerConfig config;
        config.gridConfigType = static_cast<PowerGridConfigType>(raw);
        EXPECT_EQ(fields(config.getGridConfig()), fields(powerGridConfigs[SinglePhaseDefault]));
        EXPECT_EQ(config.getVoltagesCount(), 1);
    }
    EXPECT_EQ(powerGridConfigs[7].type, SinglePhase);  // the table itself is unchanged
}

TEST(PowerConfig, RequiredHarmonicsCompareAsUnsigned) {
    // THD raises the count to its own highest order; -1 is the largest unsigned
    // value: it wins the comparison and wraps to 0.
    const int cases[][3] = {{false, 0, 2}, {true, 0, 41}, {true, 50, 51}, {true, -1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c[1]);
        PowerConfig config;
        config.thdEnabled = c[0] != 0;
        config.highestRequestedHarmonic = c[1];
        EXPECT_EQ(config.getRequiredHarmonicsCount(), static_cast<unsigned int>(c[2]));
    }
}

TEST(PowerConfig, Pow2LengthRoundsUpAndAnswersZeroOutsideItsRange) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::pair<double, unsigned int> cases[] = {
        {1.0, 1}, {0.75, 1}, {0.5000001, 1}, {1024.0, 1024}, {1025.0, 2048}, {2275.56, 4096},
        {2147483648.0, 2147483648u}, {2147483649.0, 0}, {0.5, 0}, {0.0, 0}, {-3.0, 0}, {nan, 0}, {inf, 0}, {-inf, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(PowerConfig::getPow2Length(c.first), c.second);
    }
}

TEST(PowerConfig, FftLengthsStaticAndVariable) {
    PowerConfig config;
    config.sampleRate = 10240.0;
    config.periodCount = 10;
    config.minFrequency = 45.0;
    config.maxFrequency = 55.0;
    EXPECT_EQ(config.getFftLength(0, 50.0), 4096u);
    EXPECT_EQ(config.getFftLength(100000, 10.0), 4096u);  // static: arguments ignored
    EXPECT_EQ(config.getMinFftLength(), 4096u);
    EXPECT_EQ(config.getFftLengthX(50.0), 2048u);

    config.variableFrequency = true;
    EXPECT_EQ(config.getMaxFftLength(), 4096u);
    EXPECT_EQ(config.getMinFftLength(), 2048u);
    EXPECT_EQ(config.getFftLength(0, 50.0), 2048u);
    EXPECT_EQ(config.getFftLength(3000, 50.0), 4096u);
    EXPECT_EQ(config.getFftLength(0, 20.0), 4096u);  // below the range: 45 Hz is used

    config.sampleRate = 0.0;  // no samples per window: no FFT
    EXPECT_EQ(config.getMaxFftLength(), 0u);
}

}  // namespace
