#include "powerquality/PowerModule.h"

#include <new>

#include "module/PowerModuleImpl.h"
#include "powerquality/Version.h"

const char* PowerModule::getVersionString() { return POWERQUALITY_VERSION_STRING; }

int PowerModule::getVersionNumber() { return POWERQUALITY_VERSION_NUMBER; }

PowerModule::PowerModule() : impl(nullptr) { impl = new PowerModuleImpl(*this); }

PowerModule::PowerModule(PowerModule&& other) noexcept : impl(other.impl) { other.impl = nullptr; }

PowerModule& PowerModule::operator=(PowerModule&& other) noexcept {
    if (this != &other) {
        PowerModuleImpl* previous = impl;
        impl = other.impl;
        other.impl = nullptr;
        delete previous;
    }
    return *this;
}

PowerModule::~PowerModule() { delete impl; }

// The buffer length is kept in samples; its duration follows the sample rate.
void PowerModule::setSampleRate(double sampleRate, int sampleIndexDivisor) {
    impl->setSampleRateKeepingLength(sampleRate, sampleIndexDivisor);
}

void PowerModule::setBufferLength(unsigned int length) {
    const double duration = static_cast<double>(length) / getSampleRate();
    impl->setBufferLengthAndDuration(length, duration);
}

void PowerModule::writeSamples(unsigned int count) const { impl->copyAddedSamplesToGpu(count); }

void PowerModule::sync() const { impl->syncCuda(); }

void PowerModule::scheduleForCalculation(unsigned long long firstSampleIndex, int periodCount, double frequency) const {
    impl->scheduleForCalculation(firstSampleIndex, periodCount, frequency);
}

void PowerModule::beginUpdate() { impl->beginUpdate(); }

void PowerModule::endUpdate() { impl->endUpdate(); }

void PowerModule::setGridConfigType(PowerGridConfigType type) const { impl->setGridConfigType(type); }

void PowerModule::setStaticFrequency(double frequency, double tolerance) { impl->setStaticFrequency(frequency, tolerance); }

void PowerModule::setVariableFrequency(double minFrequency, double maxFrequency) { impl->setVariableFrequency(minFrequency, maxFrequency); }

void PowerModule::setPeriodCount(unsigned short count) { impl->setPeriodCount(count); }

void PowerModule::setHalfPeriodValuesCount(unsigned short count) { impl->setHalfPeriodValuesCount(count); }

void PowerModule::setPeriodValuesOverlapInPercent(unsigned short percent) { impl->setPeriodValuesOverlapInPercent(percent); }

void PowerModule::setPeriodValuesEnabled(bool enabled) { impl->setPeriodValuesEnabled(enabled); }

void PowerModule::setFundamentalPeriodValuesEnabled(bool enabled) { impl->setFundamentalPeriodValuesEnabled(enabled); }

void PowerModule::setPeriodSymmetricalComponentsEnabled(bool enabled) { impl->setPeriodSymmetricalComponentsEnabled(enabled); }

void PowerModule::setCurrentEnabled(bool enabled) const { impl->setCurrentEnabled(enabled); }

void PowerModule::setLineToLineResultsEnabled(bool enabled) { impl->setLineToLineResultsEnabled(enabled); }

void PowerModule::setWaveformsEnabled(bool enabled) { impl->setWaveformsEnabled(enabled); }

void PowerModule::setInterHarmonicsEnabled(bool enabled) { impl->setInterHarmonicsEnabled(enabled); }

void PowerModule::setFullFftEnabled(bool enabled) { impl->setFullFftEnabled(enabled); }

void PowerModule::setThdEnabled(bool enabled) { impl->setThdEnabled(enabled); }

void PowerModule::setHighestRequestedHarmonic(int harmonic) { impl->setHighestRequestedHarmonic(harmonic); }

void PowerModule::setThdHighestHarmonic(int harmonic) { impl->setThdHighestHarmonic(harmonic); }

void PowerModule::setSymmetricalComponentsEnabled(bool enabled) { impl->setSymmetricalComponentsEnabled(enabled); }

void PowerModule::setRvcEnabled(bool enabled) { impl->setRvcEnabled(enabled); }

void PowerModule::setRvcSteadyStateLength(int periodValues) { impl->setRvcSteadyStateLength(periodValues); }

void PowerModule::setRvcThreshold(double percentOfAverage) { impl->setRvcThreshold(percentOfAverage); }

void PowerModule::setRvcThresholdHysteresis(double percentOfThreshold) { impl->setRvcThresholdHysteresis(percentOfThreshold); }

void PowerModule::setWindowedResultsEnabled(bool enabled) { impl->setWindowedResultsEnabled(enabled); }

void PowerModule::setHarmonicSubgroupsEnabled(bool enabled) { impl->setHarmonicSubgroupsEnabled(enabled); }

bool PowerModule::getWindowedResultsEnabled() const { return impl->getWindowedResultsEnabled(); }

bool PowerModule::getHarmonicSubgroupsEnabled() const { return impl->getHarmonicSubgroupsEnabled(); }
void PowerModule::setSignallingFrequencies(const std::vector<double>& frequencies) {
    impl->setSignallingFrequencies(frequencies);
}
std::vector<double> PowerModule::getSignallingFrequencies() const { return impl->getSignallingFrequencies(); }
std::vector<double> PowerModule::getSignallingVoltages() const { return impl->getSignallingVoltages(); }

unsigned int PowerModule::getBufferLength() const { return impl->getBufferLength(); }

double PowerModule::getSampleRate() const { return impl->getSampleRate(); }

unsigned char PowerModule::getPhasesCount() const { return impl->getPhasesCount(); }

unsigned char PowerModule::getVoltagesCount() const { return impl->getVoltagesCount(); }

unsigned char PowerModule::getCurrentsCount() const { return impl->getCurrentsCount(); }

bool PowerModule::getCurrentEnabled() const { return impl->getCurrentEnabled(); }

bool PowerModule::getFundamentalPeriodValuesEnabled() const { return impl->getFundamentalPeriodValuesEnabled(); }

bool PowerModule::getInterHarmonicsEnabled() const { return impl->getInterHarmonicsEnabled(); }

bool PowerModule::getLineToLineResultsEnabled() const { return impl->getLineToLineResultsEnabled(); }

bool PowerModule::getPeriodValuesEnabled() const { return impl->getPeriodValuesEnabled(); }

bool PowerModule::getRvcEnabled() const { return impl->getRvcEnabled(); }

bool PowerModule::getThdEnabled() const { return impl->getThdEnabled(); }

bool PowerModule::getWaveformsEnabled() const { return impl->getWaveformsEnabled(); }

bool PowerModule::getFullFftEnabled() const { return impl->getFullFftEnabled(); }

bool PowerModule::getSymmetricalComponentsEnabled() const { return impl->getSymmetricalComponentsEnabled(); }

bool PowerModule::getPeriodSymmetricalComponentsEnabled() const { return impl->getPeriodSymmetricalComponentsEnabled(); }

unsigned short PowerModule::getHalfPeriodValuesCount() { return impl->getHalfPeriodValuesCount(); }

unsigned short PowerModule::getPeriodValuesOverlapInPercent() { return impl->getPeriodValuesOverlapInPercent(); }

int PowerModule::getHighestRequestedHarmonic() const { return impl->getHighestRequestedHarmonic(); }

int PowerModule::getThdHighestHarmonic() const { return impl->getThdHighestHarmonic(); }

int PowerModule::getRvcSteadyStateLength() { return impl->getRvcSteadyStateLength(); }

double PowerModule::getRvcThreshold() { return impl->getRvcThreshold(); }

double PowerModule::getRvcThresholdHysteresis() { return impl->getRvcThresholdHysteresis(); }

void PowerModule::getWaveformBufferUStar(unsigned char channel, float** buffer) const { impl->getWaveformBufferUStar(channel, buffer); }

void PowerModule::getWaveformBufferI(unsigned char channel, float** buffer) const { impl->getWaveformBufferI(channel, buffer); }

void PowerModule::getWaveformBufferUDelta(unsigned char channel, float** buffer) const { impl->getWaveformBufferUDelta(channel, buffer); }

void PowerModule::getWaveformBufferUInput(unsigned char channel, float** buffer) const { impl->getWaveformBufferUInput(channel, buffer); }

void PowerModule::reset(unsigned long long firstSampleIndex) const { impl->reset(firstSampleIndex); }

void PowerModule::skipSamples(unsigned int count) const { impl->skipSamples(count); }

bool PowerModule::isAnyResultReady() const { return impl->isAnyResultReady(); }

void PowerModule::scheduleForPeriodCalculation(int count, unsigned long long* firstSampleIndices, int* lengths, double* frequencies, bool* flags) const { impl->scheduleForPeriodCalculation(count, firstSampleIndices, lengths, frequencies, flags); }

void PowerModule::getPeriodResults(int* count, bool* hasMoreResults, PowerResultsPeriod** results) { impl->getPeriodResults(count, hasMoreResults, results); }

std::vector<PowerResultsGeneral> PowerModule::getResults(int maxCount) { return impl->getResults(maxCount); }
