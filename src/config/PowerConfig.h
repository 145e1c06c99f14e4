// PowerConfig: the settings record of one module and the counts and lengths
// derived from it.
//
// FFT lengths: getPow2Length answers 0 for a sample count that is zero,
// negative, not a number, at most 0.5 or above 2^31, so every FFT-length query
// is defined for every configuration (a zero sample rate or period count gives
// 0, never an undefined conversion).
#ifndef POWERQUALITY_CONFIG_POWERCONFIG_H
#define POWERQUALITY_CONFIG_POWERCONFIG_H

#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerGridConfig.h"

// The wiring record of a type; types outside the table answer with
// PowerGridConfig() (single phase, type 0). The table is never changed.
inline PowerGridConfig lookupPowerGridConfig(PowerGridConfigType type) {
    const int index = static_cast<int>(type);
    if (index >= 0 && index < POWERQUALITY_GRID_CONFIG_COUNT) {
        return powerGridConfigs[index];
    }
    return PowerGridConfig();
}

class POWERQUALITY_API PowerConfig {
public:
    PowerConfig();

    PowerGridConfig getGridConfig() const;
    unsigned char getPhasesCount() const;
    unsigned char getVoltagesCount() const;
    unsigned char getCurrentsCount() const;        // 0 without currents
    unsigned char getLineToLineCount() const;      // 0 without line-to-line results
    unsigned char getDeltaWaveformsCount() const;  // with line-to-line results or waveforms
    bool areAnyPeriodValuesEnabled() const;
    bool arePeriodSymmetricalComponentsEnabled() const;
    bool areSymmetricalComponentsEnabled() const;
    double getPeriodCountForPeriodValues() const;  // periods per period value
    double getPeriodCountAdvanceBy() const;        // periods between period value starts
    unsigned int getRequiredHarmonicsCount() const;
    unsigned int getFftLength(unsigned int minimumLength, double frequency) const;
    unsigned int getFftLengthX(double frequency) const;
    unsigned int getMinFftLength() const;
    unsigned int getMaxFftLength() const;
    static unsigned int getPow2Length(double samples);

    PowerGridConfigType gridConfigType;
    double sampleRate;
    int sampleIndexDivisor;
    bool variableFrequency;
    double minFrequency;
    double maxFrequency;
    unsigned short periodCount;
    bool periodValuesEnabled;
    bool fundamentalPeriodValuesEnabled;
    bool periodSymmetricalComponentsEnabled;
    unsigned short halfPeriodValuesCount;
    unsigned short periodValuesOverlapInPercent;
    bool currentEnabled;
    bool lineToLineResultsEnabled;
    bool waveformsEnabled;
    bool interHarmonicsEnabled;
    bool fullFftEnabled;
    bool thdEnabled;
    int highestRequestedHarmonic;
    int thdHighestHarmonic;
    bool symmetricalComponentsEnabled;
    bool rvcEnabled;
    int rvcSteadyStateLength;
    double rvcThreshold;
    double rvcThresholdHysteresis;
    // The windowed calculation stage computes each scheduled window from the
    // samples (off: scheduleForCalculation does nothing, as before).
    bool windowedResultsEnabled;
    // The windowed harmonic arrays and their distortion hold harmonic
    // subgroups (the centre line and its two neighbours) and THDS instead of
    // harmonic groups and THD (off: groups, as before).
    bool harmonicSubgroupsEnabled;
    // Mains signalling frequencies, Hz (positive, finite): each window
    // computed gives the RMS voltage of each (empty: none, as before).
    std::vector<double> signallingFrequencies;

private:
    // Samples per window at frequency f.
    double windowSamples(double frequency) const;
};

#endif
