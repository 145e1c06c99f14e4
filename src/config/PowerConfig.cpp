#include "config/PowerConfig.h"

#include <cmath>
#include <cstdint>

PowerGridConfig::PowerGridConfig(PowerGridConfigType type, unsigned char phases, unsigned char voltages,
                                 unsigned char currents, bool delta)
    : type(type),
      phasesCount(phases),
      voltagesCount(voltages),
      currentsCount(currents),
      lineToLineCount(static_cast<unsigned char>((phases - 1) * phases / 2)),
      starInput(!delta),
      deltaInput(delta),
      neutralPresent(!delta),
      voltageChannelMissing(static_cast<int>(phases) - static_cast<int>(voltages) > 0),
      currentChannelMissing(static_cast<int>(phases) - static_cast<int>(currents) > 0) {}

PowerGridConfig::PowerGridConfig() : PowerGridConfig(SinglePhaseDefault, 1, 1, 1, false) {}

// Filled while the library loads, before any module can exist; nothing in the
// library reads it during static initialisation.
const PowerGridConfig powerGridConfigs[POWERQUALITY_GRID_CONFIG_COUNT] = {
    PowerGridConfig(SinglePhaseDefault, 1, 1, 1, false),
    PowerGridConfig(ThreePhaseStar, 3, 3, 3, false),
    PowerGridConfig(ThreePhaseStarTwoCurrents, 3, 3, 2, false),
    PowerGridConfig(ThreePhaseDelta, 3, 3, 3, true),
    PowerGridConfig(ThreePhaseDeltaTwoCurrents, 3, 3, 2, true),
    PowerGridConfig(TwoPhaseStar, 2, 2, 2, false),
    PowerGridConfig(ThreePhaseDeltaTwoVoltages, 3, 2, 2, true),
    PowerGridConfig(SinglePhase, 1, 1, 1, false),
};

namespace {
unsigned char pairCount(unsigned char phases) {
    return static_cast<unsigned char>((phases - 1) * phases / 2);
}
}  // namespace

// The defaults are those of setStaticFrequency(50.0, 0.1): 45 Hz and 55 + 2^-47 Hz.
PowerConfig::PowerConfig()
    : gridConfigType(SinglePhaseDefault),
      sampleRate(1.0),
      sampleIndexDivisor(1),
      variableFrequency(false),
      minFrequency((1.0 - 0.1) * 50.0),
      maxFrequency((1.0 + 0.1) * 50.0),
      periodCount(10),
      periodValuesEnabled(false),
      fundamentalPeriodValuesEnabled(false),
      periodSymmetricalComponentsEnabled(false),
      halfPeriodValuesCount(2),
      periodValuesOverlapInPercent(0),
      currentEnabled(true),
      lineToLineResultsEnabled(false),
      waveformsEnabled(false),
      interHarmonicsEnabled(false),
      fullFftEnabled(false),
      thdEnabled(false),
      highestRequestedHarmonic(1),
      thdHighestHarmonic(40),
      symmetricalComponentsEnabled(false),
      rvcEnabled(false),
      rvcSteadyStateLength(100),
      rvcThreshold(2.0),
      rvcThresholdHysteresis(50.0),
      windowedResultsEnabled(false),
      harmonicSubgroupsEnabled(false) {}

PowerGridConfig PowerConfig::getGridConfig() const { return lookupPowerGridConfig(gridConfigType); }

unsigned char PowerConfig::getPhasesCount() const { return getGridConfig().phasesCount; }

unsigned char PowerConfig::getVoltagesCount() const { return getGridConfig().voltagesCount; }

unsigned char PowerConfig::getCurrentsCount() const {
    return currentEnabled ? getGridConfig().currentsCount : static_cast<unsigned char>(0);
}

unsigned char PowerConfig::getLineToLineCount() const {
    return lineToLineResultsEnabled ? pairCount(getPhasesCount()) : static_cast<unsigned char>(0);
}

unsigned char PowerConfig::getDeltaWaveformsCount() const {
    return (lineToLineResultsEnabled || waveformsEnabled) ? pairCount(getPhasesCount())
                                                          : static_cast<unsigned char>(0);
}

bool PowerConfig::areAnyPeriodValuesEnabled() const {
    return periodValuesEnabled || fundamentalPeriodValuesEnabled || arePeriodSymmetricalComponentsEnabled();
}

bool PowerConfig::arePeriodSymmetricalComponentsEnabled() const {
    return periodSymmetricalComponentsEnabled && getPhasesCount() == 3;
}

bool PowerConfig::areSymmetricalComponentsEnabled() const {
    return symmetricalComponentsEnabled && getPhasesCount() == 3;
}

double PowerConfig::getPeriodCountForPeriodValues() const { return halfPeriodValuesCount * 0.5; }

double PowerConfig::getPeriodCountAdvanceBy() const {
    return (1.0 - periodValuesOverlapInPercent * 0.01) * (halfPeriodValuesCount * 0.5);
}

unsigned int PowerConfig::getRequiredHarmonicsCount() const {
    const unsigned int requested = static_cast<unsigned int>(highestRequestedHarmonic);
    unsigned int highest;
    if (thdEnabled) {
        const unsigned int thdHighest = static_cast<unsigned int>(thdHighestHarmonic);
        highest = requested > thdHighest ? requested : thdHighest;
    } else {
        highest = requested > 1u ? requested : 1u;
    }
    return highest + 1;
}

double PowerConfig::windowSamples(double frequency) const {
    return static_cast<double>(periodCount) * sampleRate / frequency;
}

unsigned int PowerConfig::getPow2Length(double samples) {
    // Outside (0.5, 2^31] the exponent would be negative or above 31 (or the
    // logarithm undefined): no power of two of 32 bits answers.
    if (!(samples > 0.5) || !(samples <= 2147483648.0)) {
        return 0;
    }
    const int64_t exponent = static_cast<int64_t>(std::ceil(std::log2(samples)));
    if (exponent < 0 || exponent > 31) {
        return 0;
    }
    return 1u << exponent;
}

unsigned int PowerConfig::getFftLengthX(double frequency) const { return getPow2Length(windowSamples(frequency)); }

unsigned int PowerConfig::getMaxFftLength() const { return getPow2Length(windowSamples(minFrequency)); }

unsigned int PowerConfig::getMinFftLength() const {
    return getPow2Length(windowSamples(variableFrequency ? maxFrequency : minFrequency));
}

unsigned int PowerConfig::getFftLength(unsigned int minimumLength, double frequency) const {
    if (!variableFrequency) {
        return getPow2Length(windowSamples(minFrequency));
    }
    const double lowest = minFrequency > frequency ? minFrequency : frequency;
    const double samples = windowSamples(lowest);
    // Truncation toward zero to 32 bits; counts beyond that range (or not a
    // number) have no power of two of 32 bits anyway.
    unsigned int count = 0;
    if (samples >= 4294967296.0) {
        return 0;
    }
    if (samples > 0.0) {
        count = static_cast<unsigned int>(samples);
    }
    const unsigned int larger = minimumLength > count ? minimumLength : count;
    return getPow2Length(static_cast<double>(larger));
}
