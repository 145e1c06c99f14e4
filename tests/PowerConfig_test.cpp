#include "config/PowerConfig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace {

TEST(PowerGridConfig, TableHoldsTheEightWirings) {
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
    for (const Row& row : rows) {
        SCOPED_TRACE(static_cast<int>(row.type));
        const PowerGridConfig& grid = powerGridConfigs[row.type];
        EXPECT_EQ(grid.type, row.type);
        EXPECT_EQ(grid.phasesCount, row.phases);
        EXPECT_EQ(grid.voltagesCount, row.voltages);
        EXPECT_EQ(grid.currentsCount, row.currents);
        EXPECT_EQ(grid.lineToLineCount, row.lineToLine);
        EXPECT_EQ(grid.deltaInput, row.delta);
        EXPECT_EQ(grid.starInput, !row.delta);
        EXPECT_EQ(grid.neutralPresent, !row.delta);
        EXPECT_EQ(grid.voltageChannelMissing, row.voltageMissing);
        EXPECT_EQ(grid.currentChannelMissing, row.currentMissing);
    }
}

TEST(PowerConfig, UnknownGridTypesLookUpAsTheDefaultWiring) {
    for (int raw : {8, -1, 1000}) {
        SCOPED_TRACE(raw);
        PowerConfig config;
        config.gridConfigType = static_cast<PowerGridConfigType>(raw);
        for (int round = 0; round < 2; ++round) {
            const PowerGridConfig grid = config.getGridConfig();
            EXPECT_EQ(grid.type, SinglePhaseDefault);
            EXPECT_EQ(grid.phasesCount, 1);
            EXPECT_EQ(grid.voltagesCount, 1);
            EXPECT_EQ(grid.currentsCount, 1);
            EXPECT_TRUE(grid.starInput);
        }
    }
    EXPECT_EQ(powerGridConfigs[7].type, SinglePhase);  // the table itself is unchanged
}

TEST(PowerConfig, LineToLineAndDeltaWaveformCounts) {
    for (int type = 0; type < 8; ++type) {
        SCOPED_TRACE(type);
        PowerConfig config;
        config.gridConfigType = static_cast<PowerGridConfigType>(type);
        const int phases = powerGridConfigs[type].phasesCount;
        const int pairs = phases == 3 ? 3 : (phases == 2 ? 1 : 0);
        EXPECT_EQ(config.getLineToLineCount(), 0);
        EXPECT_EQ(config.getDeltaWaveformsCount(), 0);
        config.waveformsEnabled = true;
        EXPECT_EQ(config.getLineToLineCount(), 0);
        EXPECT_EQ(config.getDeltaWaveformsCount(), pairs);
        config.waveformsEnabled = false;
        config.lineToLineResultsEnabled = true;
        EXPECT_EQ(config.getLineToLineCount(), pairs);
        EXPECT_EQ(config.getDeltaWaveformsCount(), pairs);
        config.currentEnabled = false;
        EXPECT_EQ(config.getCurrentsCount(), 0);
    }
}

TEST(PowerConfig, PeriodSwitchesNeedThreePhasesForSymmetricalComponents) {
    PowerConfig config;
    config.periodSymmetricalComponentsEnabled = true;
    config.symmetricalComponentsEnabled = true;
    config.gridConfigType = ThreePhaseStar;
    EXPECT_TRUE(config.areAnyPeriodValuesEnabled());
    EXPECT_TRUE(config.arePeriodSymmetricalComponentsEnabled());
    EXPECT_TRUE(config.areSymmetricalComponentsEnabled());
    config.gridConfigType = TwoPhaseStar;
    EXPECT_FALSE(config.areAnyPeriodValuesEnabled());
    EXPECT_FALSE(config.arePeriodSymmetricalComponentsEnabled());
    EXPECT_FALSE(config.areSymmetricalComponentsEnabled());
    config.fundamentalPeriodValuesEnabled = true;
    EXPECT_TRUE(config.areAnyPeriodValuesEnabled());
}

TEST(PowerConfig, PeriodValueGeometry) {
    struct Case {
        unsigned short halfPeriods, overlap;
        double length, advance;
    };
    const Case cases[] = {{2, 0, 1.0, 1.0}, {2, 50, 1.0, 0.5}, {2, 100, 1.0, 0.0}, {4, 25, 2.0, 1.5}, {1, 0, 0.5, 0.5}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.halfPeriods << " half periods, " << c.overlap << " %");
        PowerConfig config;
        config.halfPeriodValuesCount = c.halfPeriods;
        config.periodValuesOverlapInPercent = c.overlap;
        EXPECT_EQ(config.getPeriodCountForPeriodValues(), c.length);
        EXPECT_EQ(config.getPeriodCountAdvanceBy(), c.advance);
    }
}

TEST(PowerConfig, RequiredHarmonicsCompareAsUnsigned) {
    PowerConfig config;
    EXPECT_EQ(config.getRequiredHarmonicsCount(), 2u);
    config.highestRequestedHarmonic = 0;
    EXPECT_EQ(config.getRequiredHarmonicsCount(), 2u);
    config.thdEnabled = true;
    EXPECT_EQ(config.getRequiredHarmonicsCount(), 41u);
    config.highestRequestedHarmonic = 50;
    EXPECT_EQ(config.getRequiredHarmonicsCount(), 51u);
    // -1 is the largest unsigned value: it wins the comparison and wraps to 0.
    config.highestRequestedHarmonic = -1;
    EXPECT_EQ(config.getRequiredHarmonicsCount(), 0u);
}

TEST(PowerConfig, Pow2LengthRoundsUpAndAnswersZeroOutsideItsRange) {
    struct Case {
        double samples;
        unsigned int length;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {{1.0, 1},       {0.75, 1},         {0.5000001, 1}, {1024.0, 1024},
                          {1025.0, 2048}, {2275.56, 4096},   {2147483648.0, 2147483648u},
                          {2147483649.0, 0}, {0.5, 0},       {0.0, 0},       {-3.0, 0},
                          {nan, 0},       {inf, 0},          {-inf, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.samples);
        EXPECT_EQ(PowerConfig::getPow2Length(c.samples), c.length);
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
    EXPECT_EQ(config.getMaxFftLength(), 4096u);
    EXPECT_EQ(config.getFftLengthX(50.0), 2048u);

    config.variableFrequency = true;
    EXPECT_EQ(config.getMaxFftLength(), 4096u);
    EXPECT_EQ(config.getMinFftLength(), 2048u);
    EXPECT_EQ(config.getFftLength(0, 50.0), 2048u);
    EXPECT_EQ(config.getFftLength(3000, 50.0), 4096u);
    EXPECT_EQ(config.getFftLength(0, 40.0), 4096u);  // below the range: 45 Hz is used
    EXPECT_EQ(config.getFftLengthX(50.0), 2048u);

    config.sampleRate = 0.0;  // no samples per window: no FFT
    EXPECT_EQ(config.getFftLength(0, 50.0), 0u);
    EXPECT_EQ(config.getMaxFftLength(), 0u);
}

}  // namespace
