#include "module/PowerModuleImpl.h"

#include <cmath>
#include <cstdio>

#include "config/NumericPolicy.h"

#include "windowed/WindowedCalculation.h"

namespace {
// The layout the buffers get from these settings.
PowerModule::PowerModuleImpl::StorageLayout layoutOf(const PowerConfig& config, const PowerBuffers& buffers) {
    PowerModule::PowerModuleImpl::StorageLayout l;
    l.wiring = lookupPowerGridConfig(config.gridConfigType).type;
    l.bufferLength = buffers.getBufferLength();
    l.periodValues = config.areAnyPeriodValuesEnabled();
    l.currents = config.currentEnabled;
    l.lineToLine = config.lineToLineResultsEnabled;
    l.windowed = config.windowedResultsEnabled;
    l.interHarmonics = config.interHarmonicsEnabled;
    l.thd = config.thdEnabled;
    l.symmetricalComponents = config.areSymmetricalComponentsEnabled();
    l.fullFft = config.fullFftEnabled && !config.variableFrequency;
    return l;
}
}  // namespace

PowerModule::PowerModuleImpl::PowerModuleImpl(PowerModule& owner)
    : owner(owner),
      config(),
      buffers(config),
      rvcPhaseVoltages(),
      rvcLineToLineVoltages(),
      samplePosition(0),
      skipPosition(0),
      resultsPosition(0),
      previousFrequency(0.0),
      trackingPhase(0.0),
      previousFlag(1.0),
      updateCount(0),
      initializationCount(0),
      nextSegmentPosition(0),
      layout(layoutOf(config, buffers)),
      windowedCalculation(),
      firstWindowPending(false),
      windowedSamplesEnd(0) {}

PowerModule::PowerModuleImpl::~PowerModuleImpl() = default;

// ---- update bracket and initialisation ----

void PowerModule::PowerModuleImpl::beginUpdate() { ++updateCount; }

void PowerModule::PowerModuleImpl::endUpdate() {
    std::lock_guard<std::mutex> lock(updateMutex);
    if (--updateCount == 0) {
        initialize();
    }
}

void PowerModule::PowerModuleImpl::lazyInitialize() {
    std::lock_guard<std::mutex> lock(updateMutex);
    if (updateCount.load() == 0) {
        initialize();
    }
}

// Runs with updateMutex held. Lays out the buffers and re-creates the
// detectors; the sample positions, queues and period tracking belong to reset.
// Only an initialisation that completes records the layout; one that fails
// leaves its message, and the operations that read the buffers refuse with
// it until the next one succeeds.
void PowerModule::PowerModuleImpl::initialize() {
    std::lock_guard<std::mutex> lock(initMutex);
    ++initializationCount;
    try {
        buffers.initialize();

        rvcPhaseVoltages.setNumberOfPhases(lookupPowerGridConfig(config.gridConfigType).phasesCount);
        for (unsigned int k = 0; k < rvcPhaseVoltages.getNumberOfPhases(); ++k) {
            rvcPhaseVoltages[k].setSteadyStateLength(static_cast<unsigned int>(config.rvcSteadyStateLength));
            rvcPhaseVoltages[k].setSteadyStateThreshold(config.rvcThreshold);
            rvcPhaseVoltages[k].setThresholdHysteresis(config.rvcThresholdHysteresis);
        }
        rvcPhaseVoltages.initialize();

        // The pair count comes from the wiring, whether or not line-to-line
        // results are enabled.
        rvcLineToLineVoltages.setNumberOfPhases(lookupPowerGridConfig(config.gridConfigType).lineToLineCount);
        for (unsigned int k = 0; k < rvcLineToLineVoltages.getNumberOfPhases(); ++k) {
            rvcLineToLineVoltages[k].setSteadyStateLength(static_cast<unsigned int>(config.rvcSteadyStateLength));
            rvcLineToLineVoltages[k].setSteadyStateThreshold(config.rvcThreshold);
            rvcLineToLineVoltages[k].setThresholdHysteresis(config.rvcThresholdHysteresis);
        }
        rvcLineToLineVoltages.initialize();
    } catch (const std::exception& e) {
        initializationError = *e.what() != '\0' ? e.what() : "initialisation failed";
        throw;
    } catch (...) {
        initializationError = "initialisation failed";
        throw;
    }
    initializationError.clear();
    layout = layoutOf(config, buffers);
}

// Refuses an operation of the period side (windowed false) or of the windowed
// stage (true) while the buffers are laid out for other settings than the
// current ones, or not at all since an initialisation failed. A side that has
// no buffers before or after the change has nothing to refuse.
void PowerModule::PowerModuleImpl::requireLaidOutSettings(const char* operation, bool windowed) const {
    const StorageLayout wanted = layoutOf(config, buffers);
    if (windowed ? !(wanted.windowed || layout.windowed) : !(wanted.periodValues || layout.periodValues)) {
        return;
    }
    if (!initializationError.empty()) {
        throw std::runtime_error(std::string(operation) +
                                 ": the buffers have no storage since the last initialisation failed: " +
                                 initializationError);
    }
    std::string changed;
    const auto note = [&changed](bool differs, const char* setting) {
        if (differs) {
            changed += changed.empty() ? "" : ", ";
            changed += setting;
        }
    };
    note(wanted.wiring != layout.wiring, "the wiring");
    note(wanted.bufferLength != layout.bufferLength, "the buffer length");
    if (windowed) {
        note(wanted.windowed != layout.windowed, "windowed results");
    } else {
        note(wanted.periodValues != layout.periodValues, "the period values switches");
    }
    note(wanted.currents != layout.currents, "currents");
    note(wanted.lineToLine != layout.lineToLine, "line-to-line results");
    if (windowed) {
        note(wanted.interHarmonics != layout.interHarmonics, "inter-harmonics");
        note(wanted.thd != layout.thd, "THD");
        note(wanted.symmetricalComponents != layout.symmetricalComponents, "symmetrical components");
        note(wanted.fullFft != layout.fullFft, "the full FFT");
    }
    if (changed.empty()) {
        return;
    }
    const int32_t open = updateCount.load();
    std::string remedy;
    if (open > 0) {
        remedy = "the change takes effect when the update bracket closes: call endUpdate first";
    } else if (open < 0) {
        remedy = "endUpdate was called " + std::to_string(-static_cast<int64_t>(open)) +
                 " time(s) more than beginUpdate, so no setter applies the change: balance the count with "
                 "beginUpdate, then set the setting again or close a bracket";
    } else {
        remedy = "no initialisation has applied the change yet: set the setting again";
    }
    throw std::runtime_error(std::string(operation) + ": the buffers are still laid out for the settings before " +
                             "the change of " + changed + "; " + remedy);
}

// ---- settings ----

void PowerModule::PowerModuleImpl::setGridConfigType(PowerGridConfigType type) {
    config.gridConfigType = type;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setSampleRate(double sampleRate, int sampleIndexDivisor) {
    config.sampleRate = sampleRate;
    config.sampleIndexDivisor = sampleIndexDivisor;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setBufferLengthAndDuration(unsigned int length, double duration) {
    buffers.setBufferLengthAndDuration(length, duration);
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setStaticFrequency(double frequency, double tolerance) {
    double t = tolerance;
    if (t > 0.5) {
        t = 0.5;
    }
    if (t < 0.001) {
        t = 0.001;
    }
    config.variableFrequency = false;
    config.minFrequency = (1.0 - t) * frequency;
    config.maxFrequency = (1.0 + t) * frequency;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setVariableFrequency(double minFrequency, double maxFrequency) {
    config.minFrequency = minFrequency;
    config.maxFrequency = maxFrequency;
    config.variableFrequency = true;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setPeriodCount(unsigned short count) {
    config.periodCount = count;
    lazyInitialize();
}

// Read by the next initialisation and the next reset; running period items
// keep the geometry they were created with.
void PowerModule::PowerModuleImpl::setHalfPeriodValuesCount(unsigned short count) {
    config.halfPeriodValuesCount = count;
}

void PowerModule::PowerModuleImpl::setPeriodValuesOverlapInPercent(unsigned short percent) {
    config.periodValuesOverlapInPercent = percent;
}

void PowerModule::PowerModuleImpl::setPeriodValuesEnabled(bool enabled) {
    config.periodValuesEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setFundamentalPeriodValuesEnabled(bool enabled) {
    config.fundamentalPeriodValuesEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setPeriodSymmetricalComponentsEnabled(bool enabled) {
    config.periodSymmetricalComponentsEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setCurrentEnabled(bool enabled) {
    config.currentEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setLineToLineResultsEnabled(bool enabled) {
    config.lineToLineResultsEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setWaveformsEnabled(bool enabled) {
    config.waveformsEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setInterHarmonicsEnabled(bool enabled) {
    config.interHarmonicsEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setFullFftEnabled(bool enabled) {
    config.fullFftEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setThdEnabled(bool enabled) {
    config.thdEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setHighestRequestedHarmonic(int harmonic) {
    config.highestRequestedHarmonic = harmonic;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setThdHighestHarmonic(int harmonic) {
    config.thdHighestHarmonic = harmonic;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setSymmetricalComponentsEnabled(bool enabled) {
    config.symmetricalComponentsEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setRvcEnabled(bool enabled) {
    config.rvcEnabled = enabled;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setRvcSteadyStateLength(int periodValues) {
    config.rvcSteadyStateLength = periodValues;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setRvcThreshold(double percentOfAverage) {
    config.rvcThreshold = percentOfAverage;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setRvcThresholdHysteresis(double percentOfThreshold) {
    config.rvcThresholdHysteresis = percentOfThreshold;
    lazyInitialize();
}

void PowerModule::PowerModuleImpl::setWindowedResultsEnabled(bool enabled) {
    config.windowedResultsEnabled = enabled;
    lazyInitialize();
}

// Read by each window as it is computed and laid out nowhere: it requests no
// initialisation, so that switching it neither re-creates the RVC detectors
// nor touches windows waiting for getResults.
void PowerModule::PowerModuleImpl::setHarmonicSubgroupsEnabled(bool enabled) {
    config.harmonicSubgroupsEnabled = enabled;
}

// ---- queries ----

unsigned int PowerModule::PowerModuleImpl::getBufferLength() const { return buffers.getBufferLength(); }
double PowerModule::PowerModuleImpl::getSampleRate() const { return config.sampleRate; }
unsigned char PowerModule::PowerModuleImpl::getPhasesCount() const { return config.getPhasesCount(); }
unsigned char PowerModule::PowerModuleImpl::getVoltagesCount() const { return config.getVoltagesCount(); }
unsigned char PowerModule::PowerModuleImpl::getCurrentsCount() const { return config.getCurrentsCount(); }
bool PowerModule::PowerModuleImpl::getCurrentEnabled() const { return config.currentEnabled; }
bool PowerModule::PowerModuleImpl::getFundamentalPeriodValuesEnabled() const {
    return config.fundamentalPeriodValuesEnabled;
}
bool PowerModule::PowerModuleImpl::getInterHarmonicsEnabled() const { return config.interHarmonicsEnabled; }
bool PowerModule::PowerModuleImpl::getLineToLineResultsEnabled() const { return config.lineToLineResultsEnabled; }
bool PowerModule::PowerModuleImpl::getPeriodValuesEnabled() const { return config.periodValuesEnabled; }
bool PowerModule::PowerModuleImpl::getRvcEnabled() const { return config.rvcEnabled; }
bool PowerModule::PowerModuleImpl::getThdEnabled() const { return config.thdEnabled; }
bool PowerModule::PowerModuleImpl::getWaveformsEnabled() const { return config.waveformsEnabled; }
bool PowerModule::PowerModuleImpl::getFullFftEnabled() const {
    return config.fullFftEnabled && !config.variableFrequency;
}
bool PowerModule::PowerModuleImpl::getSymmetricalComponentsEnabled() const {
    return config.areSymmetricalComponentsEnabled();
}
bool PowerModule::PowerModuleImpl::getPeriodSymmetricalComponentsEnabled() const {
    return config.arePeriodSymmetricalComponentsEnabled();
}
unsigned short PowerModule::PowerModuleImpl::getHalfPeriodValuesCount() const { return config.halfPeriodValuesCount; }
unsigned short PowerModule::PowerModuleImpl::getPeriodValuesOverlapInPercent() const {
    return config.periodValuesOverlapInPercent;
}
int PowerModule::PowerModuleImpl::getHighestRequestedHarmonic() const { return config.highestRequestedHarmonic; }
int PowerModule::PowerModuleImpl::getThdHighestHarmonic() const { return config.thdHighestHarmonic; }
int PowerModule::PowerModuleImpl::getRvcSteadyStateLength() const { return config.rvcSteadyStateLength; }
double PowerModule::PowerModuleImpl::getRvcThreshold() const { return config.rvcThreshold; }
double PowerModule::PowerModuleImpl::getRvcThresholdHysteresis() const { return config.rvcThresholdHysteresis; }
bool PowerModule::PowerModuleImpl::getWindowedResultsEnabled() const { return config.windowedResultsEnabled; }
bool PowerModule::PowerModuleImpl::getHarmonicSubgroupsEnabled() const {
    return config.harmonicSubgroupsEnabled;
}

PowerGridConfig PowerModule::PowerModuleImpl::getGridConfig() { return config.getGridConfig(); }
PowerGridConfigType PowerModule::PowerModuleImpl::getGridConfigType() { return config.gridConfigType; }
unsigned short PowerModule::PowerModuleImpl::getPeriodCount() const { return config.periodCount; }
unsigned char PowerModule::PowerModuleImpl::getLineToLineCount() const { return config.getLineToLineCount(); }

// Period symmetrical components alone do not count here, unlike
// PowerConfig::areAnyPeriodValuesEnabled.
bool PowerModule::PowerModuleImpl::getAnyPeriodValuesEnabled() const {
    return config.periodValuesEnabled || config.fundamentalPeriodValuesEnabled;
}

unsigned char PowerModule::PowerModuleImpl::getRequiredBuffersCount() const {
    const PowerGridConfig grid = config.getGridConfig();
    return static_cast<unsigned char>(grid.voltagesCount + (config.currentEnabled ? grid.currentsCount : 0));
}

unsigned char PowerModule::PowerModuleImpl::getHarmonicOutputsCount() const {
    const unsigned int harmonicGroups = config.currentEnabled ? 6u : 1u;
    unsigned int interHarmonicGroups = 0;
    if (config.interHarmonicsEnabled) {
        interHarmonicGroups = config.currentEnabled ? 2u : 1u;
    }
    return static_cast<unsigned char>(config.getPhasesCount() * (harmonicGroups + interHarmonicGroups));
}

// A quotient that is not positive or not a number (a negative frequency or
// sample rate) gives 0; one beyond 32 bits, or infinite from a minimum
// frequency of 0, the largest count.
unsigned int PowerModule::PowerModuleImpl::getMaxHarmonicsCount() const {
    return powerquality::toUnsigned32(std::ceil(config.sampleRate / (2.0 * config.minFrequency)));
}

unsigned int PowerModule::PowerModuleImpl::getFftLength(unsigned int, double frequency) {
    if (config.variableFrequency) {
        return config.getFftLengthX(config.minFrequency > frequency ? config.minFrequency : frequency);
    }
    return buffers.staticFftLength;
}

void PowerModule::PowerModuleImpl::initFftPlans(unsigned int, unsigned int) {}
void PowerModule::PowerModuleImpl::deinit() {}

// ---- waveform access ----

float* PowerModule::PowerModuleImpl::waveformItem(unsigned char channel, unsigned short firstItem) const {
    if (buffers.waveformBuffer.hostBuffer == nullptr && config.areAnyPeriodValuesEnabled()) {
        throw missingPeriodStorage();
    }
    if (channel >= 3) {
        return nullptr;
    }
    return buffers.waveformBuffer.getHostBuffer(static_cast<unsigned short>(firstItem + channel));
}

namespace {
std::string formatNumber(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", x);
    return text;
}
}  // namespace

// Why the period buffers have no storage while period values are enabled,
// and which setting changes that.
std::runtime_error PowerModule::PowerModuleImpl::missingPeriodStorage() const {
    if (!initializationError.empty()) {
        return std::runtime_error("the period buffers have no storage since the last initialisation failed: " +
                                  initializationError);
    }
    if (buffers.getBufferLength() == 0) {
        return std::runtime_error("period values need a buffer length: call setBufferLength");
    }
    if (buffers.periodResultsRingDeferred) {
        return std::runtime_error(
            "no period results ring: at a sample rate of " + formatNumber(config.sampleRate) +
            " Hz a period value at the highest frequency would start less than one sample after the one before; "
            "set the sample rate (before the buffer length, or both inside beginUpdate/endUpdate)");
    }
    return std::runtime_error("the period buffers have no storage");
}

void PowerModule::PowerModuleImpl::getWaveformBufferUStar(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferUStar: null out-parameter");
    *buffer = waveformItem(channel, 0);
}

void PowerModule::PowerModuleImpl::getWaveformBufferI(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferI: null out-parameter");
    *buffer = waveformItem(channel, 3);
}

void PowerModule::PowerModuleImpl::getWaveformBufferUDelta(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferUDelta: null out-parameter");
    *buffer = waveformItem(channel, 6);
}

void PowerModule::PowerModuleImpl::getWaveformBufferUInput(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferUInput: null out-parameter");
    *buffer = waveformItem(channel, lookupPowerGridConfig(config.gridConfigType).starInput ? 0 : 6);
}

// The calculations read the host rings in place: nothing to copy or wait for.
void PowerModule::PowerModuleImpl::copyAddedSamplesToGpu(unsigned int) {}
void PowerModule::PowerModuleImpl::syncCuda() {}
