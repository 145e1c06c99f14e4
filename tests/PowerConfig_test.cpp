#include "ModuleTest.h"

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
        for (int bits = 0; bits < 4; ++bits) {
            const bool lineToLine = bits & 1, waveforms = bits & 2;
            config.lineToLineResultsEnabled = lineToLine; config.waveformsEnabled = waveforms;
            EXPECT_EQ(std::make_tuple(config.getLineToLineCount(), config.getDeltaWaveformsCount()),
                      std::make_tuple(lineToLine ? r.lineToLine : 0, lineToLine || waveforms ? r.lineToLine : 0));
        }
        config.currentEnabled = false;
        EXPECT_EQ(config.getCurrentsCount(), 0);
    }
    for (int raw : {8, -1, 1000}) {
        PowerConfig config;
        config.gridConfigType = static_cast<PowerGridConfigType>(raw);
        EXPECT_EQ(fields(config.getGridConfig()), fields(powerGridConfigs[SinglePhaseDefault])) << raw;
        EXPECT_EQ(config.getVoltagesCount(), 1) << raw;
    }
    EXPECT_EQ(powerGridConfigs[7].type, SinglePhase);  // the table itself is unchanged
}

TEST(PowerConfig, RequiredHarmonicsAndPow2LengthsAtTheirBounds) {
    // THD raises the count to its own highest order; -1 is the largest unsigned
    // value: it wins the comparison and wraps to 0.
    const int cases[][3] = {{false, 0, 2}, {true, 0, 41}, {true, 50, 51}, {true, -1, 0}};
    for (const auto& c : cases) {
        PowerConfig config;
        config.thdEnabled = c[0] != 0; config.highestRequestedHarmonic = c[1];
        EXPECT_EQ(config.getRequiredHarmonicsCount(), static_cast<unsigned int>(c[2])) << c[1];
    }
    // Powers of 2 round up, and are 0 outside their range.
    const std::pair<double, unsigned int> lengths[] = {
        {1.0, 1}, {0.75, 1}, {0.5000001, 1}, {1024.0, 1024}, {1025.0, 2048}, {2275.56, 4096},
        {2147483648.0, 2147483648u}, {2147483649.0, 0}, {0.5, 0}, {0.0, 0}, {-3.0, 0}, {NaN, 0}, {inf, 0}, {-inf, 0}};
    for (const auto& [length, pow2] : lengths) EXPECT_EQ(PowerConfig::getPow2Length(length), pow2) << length;
}

TEST(PowerConfig, FftLengthsStaticAndVariable) {
    using Lengths = std::vector<unsigned int>;
    PowerConfig config;
    config.sampleRate = 10240.0; config.periodCount = 10; config.minFrequency = 45.0; config.maxFrequency = 55.0;
    // Static: the arguments are ignored.
    EXPECT_EQ((Lengths{config.getFftLength(0, 50.0), config.getFftLength(100000, 10.0), config.getMinFftLength(),
                       config.getFftLengthX(50.0)}),
              (Lengths{4096, 4096, 4096, 2048}));
    // Variable: below the range 45 Hz is used.
    config.variableFrequency = true;
    EXPECT_EQ((Lengths{config.getMaxFftLength(), config.getMinFftLength(), config.getFftLength(0, 50.0),
                       config.getFftLength(3000, 50.0), config.getFftLength(0, 20.0)}),
              (Lengths{4096, 2048, 2048, 4096, 4096}));

    config.sampleRate = 0.0;  // no samples per window: no FFT
    EXPECT_EQ(config.getMaxFftLength(), 0u);
}

}  // namespace
