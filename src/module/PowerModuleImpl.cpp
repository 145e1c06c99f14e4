#include "module/PowerModuleImpl.h"

#include <cmath>
#include <cstdio>

#include "maths/NumericPolicy.h"

#include "windowed/WindowedCalculation.h"

namespace {

// The settings whose layout differs, named in a comma-separated list for a
// refusal's message.
struct ChangedSettings {
    std::string list;
    void note(bool differs, const char* setting) {
        if (differs) {
            list += list.empty() ? "" : ", ";
            list += setting;
        }
    }
};
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
      lostPeriodValues(0),
      lostPeriodSpan(0),
      sampleRateSet(false),
      frequencySet(false),
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
    ChangedSettings changed;
    changed.note(wanted.wiring != layout.wiring, "the wiring");
    changed.note(wanted.bufferLength != layout.bufferLength, "the buffer length");
    if (windowed) {
        changed.note(wanted.windowed != layout.windowed, "windowed results");
    } else {
        changed.note(wanted.periodValues != layout.periodValues, "the period values switches");
    }
    changed.note(wanted.currents != layout.currents, "currents");
    changed.note(wanted.lineToLine != layout.lineToLine, "line-to-line results");
    if (windowed) {
        changed.note(wanted.interHarmonics != layout.interHarmonics, "inter-harmonics");
        changed.note(wanted.thd != layout.thd, "THD");
        changed.note(wanted.symmetricalComponents != layout.symmetricalComponents, "symmetrical components");
        changed.note(wanted.fullFft != layout.fullFft, "the full FFT");
    }
    if (changed.list.empty()) {
        return;
    }
    throw std::runtime_error(std::string(operation) + ": the buffers are still laid out for the settings before " +
                             "the change of " + changed.list + "; " + pendingChangeRemedy());
}

// What applies a change of the layout that has not been applied yet.
std::string PowerModule::PowerModuleImpl::pendingChangeRemedy() const {
    const int32_t open = updateCount.load();
    if (open > 0) {
        return "the change takes effect when the update bracket closes: call endUpdate first";
    }
    if (open < 0) {
        return "endUpdate was called " + std::to_string(-static_cast<int64_t>(open)) +
               " time(s) more than beginUpdate, so no setter applies the change: balance the count with "
               "beginUpdate, then set the setting again or close a bracket";
    }
    return "no initialisation has applied the change yet: set the setting again";
}

// ---- settings ----

namespace {
std::string numberText(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", x);
    return text;
}

void refuse(const char* setter, const std::string& why) {
    throw std::invalid_argument(std::string(setter) + ": " + why);
}

bool positiveFinite(double x) { return x > 0.0 && std::isfinite(x); }
}  // namespace

// Stores a checked setting and requests the initialisation. Should that fail
// (storage that cannot be had), the settings before the call come back and
// are initialised again, so that a refused call leaves the settings as they
// were and the module working (its rings then get fresh, zeroed storage,
// since the failure released them); the failure is passed on.
template <class Store>
void PowerModule::PowerModuleImpl::changeSettings(Store store) {
    const PowerConfig configBefore = config;
    const unsigned int lengthBefore = buffers.bufferLength;
    const double durationBefore = buffers.bufferDuration;
    const bool rateBefore = sampleRateSet;
    const bool frequencyBefore = frequencySet;
    try {
        store();
        lazyInitialize();
    } catch (...) {
        config = configBefore;
        buffers.setBufferLengthAndDuration(lengthBefore, durationBefore);
        sampleRateSet = rateBefore;
        frequencySet = frequencyBefore;
        try {
            lazyInitialize();
        } catch (...) {
        }
        throw;
    }
}

void PowerModule::PowerModuleImpl::setGridConfigType(PowerGridConfigType type) {
    if (lookupPowerGridConfig(type).type != type) {
        refuse("setGridConfigType", std::to_string(static_cast<int>(type)) + " is not a wiring (0 to 7)");
    }
    changeSettings([&] { config.gridConfigType = type; });
}

// The highest frequency may not exceed half a sample rate that the caller
// has set (the default 1 Hz is a placeholder until a call changes it, so
// settings may still come in any order, and the divisor may be set alone).
void PowerModule::PowerModuleImpl::checkSampleRate(const char* setter, double sampleRate, int sampleIndexDivisor,
                                                   double maxFrequency, bool frequencyGiven) const {
    if (!positiveFinite(sampleRate)) {
        refuse(setter, "the sample rate must be positive and finite, not " + numberText(sampleRate));
    }
    if (sampleIndexDivisor < 1) {
        refuse(setter, "the sample index divisor must be at least 1, not " + std::to_string(sampleIndexDivisor));
    }
    const bool placeholder = !sampleRateSet && sampleRate == config.sampleRate;
    if (frequencyGiven && !placeholder && maxFrequency > sampleRate / 2.0) {
        refuse(setter, "a sample rate of " + numberText(sampleRate) +
                           " Hz cannot measure the highest frequency set, " + numberText(maxFrequency) +
                           " Hz: it must be at least twice that (set the frequencies first)");
    }
}

void PowerModule::PowerModuleImpl::checkHighestFrequency(const char* setter, double maxFrequency) const {
    if (sampleRateSet && maxFrequency > config.sampleRate / 2.0) {
        refuse(setter, "a highest frequency of " + numberText(maxFrequency) + " Hz lies above half the sample rate (" +
                           numberText(config.sampleRate / 2.0) + " Hz)");
    }
}

void PowerModule::PowerModuleImpl::setSampleRate(double sampleRate, int sampleIndexDivisor) {
    checkSampleRate("setSampleRate", sampleRate, sampleIndexDivisor, config.maxFrequency, frequencySet);
    changeSettings([&] {
        sampleRateSet = sampleRateSet || sampleRate != config.sampleRate;
        config.sampleRate = sampleRate;
        config.sampleIndexDivisor = sampleIndexDivisor;
    });
}

// The facade's setSampleRate: the buffer length is kept in samples and its
// duration follows the rate. The first initialisation sees the new rate with
// the old duration; should it fail for want of storage, the second one, with
// the duration re-derived, decides. A failure of the second brings back the
// settings before the call.
void PowerModule::PowerModuleImpl::setSampleRateKeepingLength(double sampleRate, int sampleIndexDivisor) {
    checkSampleRate("setSampleRate", sampleRate, sampleIndexDivisor, config.maxFrequency, frequencySet);
    const unsigned int length = buffers.getBufferLength();
    changeSettings([&] {
        sampleRateSet = sampleRateSet || sampleRate != config.sampleRate;
        config.sampleRate = sampleRate;
        config.sampleIndexDivisor = sampleIndexDivisor;
        try {
            lazyInitialize();
        } catch (const std::bad_alloc&) {
        }
        buffers.setBufferLengthAndDuration(length, length / sampleRate);
    });
}

void PowerModule::PowerModuleImpl::setBufferLengthAndDuration(unsigned int length, double duration) {
    changeSettings([&] { buffers.setBufferLengthAndDuration(length, duration); });
}

void PowerModule::PowerModuleImpl::setStaticFrequency(double frequency, double tolerance) {
    if (!positiveFinite(frequency)) {
        refuse("setStaticFrequency", "the frequency must be positive and finite, not " + numberText(frequency));
    }
    if (std::isnan(tolerance)) {
        refuse("setStaticFrequency", "the tolerance must be a number");
    }
    double t = tolerance;
    if (t > 0.5) {
        t = 0.5;
    }
    if (t < 0.001) {
        t = 0.001;
    }
    const double minFrequency = (1.0 - t) * frequency;
    const double maxFrequency = (1.0 + t) * frequency;
    if (!std::isfinite(maxFrequency)) {
        refuse("setStaticFrequency", "the highest frequency, " + numberText(frequency) + " Hz x " +
                                         numberText(1.0 + t) + ", is not finite");
    }
    checkHighestFrequency("setStaticFrequency", maxFrequency);
    changeSettings([&] {
        config.variableFrequency = false;
        config.minFrequency = minFrequency;
        config.maxFrequency = maxFrequency;
        frequencySet = true;
    });
}

void PowerModule::PowerModuleImpl::setVariableFrequency(double minFrequency, double maxFrequency) {
    if (!positiveFinite(minFrequency)) {
        refuse("setVariableFrequency",
               "the lowest frequency must be positive and finite, not " + numberText(minFrequency));
    }
    if (!positiveFinite(maxFrequency)) {
        refuse("setVariableFrequency",
               "the highest frequency must be positive and finite, not " + numberText(maxFrequency));
    }
    if (minFrequency > maxFrequency) {
        refuse("setVariableFrequency", "the lowest frequency, " + numberText(minFrequency) +
                                           " Hz, lies above the highest, " + numberText(maxFrequency) + " Hz");
    }
    checkHighestFrequency("setVariableFrequency", maxFrequency);
    changeSettings([&] {
        config.minFrequency = minFrequency;
        config.maxFrequency = maxFrequency;
        config.variableFrequency = true;
        frequencySet = true;
    });
}

void PowerModule::PowerModuleImpl::setPeriodCount(unsigned short count) {
    if (count < 1) {
        refuse("setPeriodCount", "a window spans at least one period, not 0");
    }
    changeSettings([&] { config.periodCount = count; });
}

// Read by the next initialisation and the next reset; running period items
// keep the geometry they were created with.
void PowerModule::PowerModuleImpl::setHalfPeriodValuesCount(unsigned short count) {
    if (count < 1) {
        refuse("setHalfPeriodValuesCount", "a period value spans at least one half period, not 0");
    }
    config.halfPeriodValuesCount = count;
}

void PowerModule::PowerModuleImpl::setPeriodValuesOverlapInPercent(unsigned short percent) {
    if (percent >= 100) {
        refuse("setPeriodValuesOverlapInPercent",
               "the overlap must lie below 100 %, not " + std::to_string(percent) + " %");
    }
    config.periodValuesOverlapInPercent = percent;
}

void PowerModule::PowerModuleImpl::setPeriodValuesEnabled(bool enabled) {
    changeSettings([&] { config.periodValuesEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setFundamentalPeriodValuesEnabled(bool enabled) {
    changeSettings([&] { config.fundamentalPeriodValuesEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setPeriodSymmetricalComponentsEnabled(bool enabled) {
    changeSettings([&] { config.periodSymmetricalComponentsEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setCurrentEnabled(bool enabled) {
    changeSettings([&] { config.currentEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setLineToLineResultsEnabled(bool enabled) {
    changeSettings([&] { config.lineToLineResultsEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setWaveformsEnabled(bool enabled) {
    changeSettings([&] { config.waveformsEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setInterHarmonicsEnabled(bool enabled) {
    changeSettings([&] { config.interHarmonicsEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setFullFftEnabled(bool enabled) {
    changeSettings([&] { config.fullFftEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setThdEnabled(bool enabled) {
    changeSettings([&] { config.thdEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setHighestRequestedHarmonic(int harmonic) {
    if (harmonic < 0) {
        refuse("setHighestRequestedHarmonic", "a harmonic order is not negative: " + std::to_string(harmonic));
    }
    changeSettings([&] { config.highestRequestedHarmonic = harmonic; });
}

void PowerModule::PowerModuleImpl::setThdHighestHarmonic(int harmonic) {
    if (harmonic < 0) {
        refuse("setThdHighestHarmonic", "a harmonic order is not negative: " + std::to_string(harmonic));
    }
    changeSettings([&] { config.thdHighestHarmonic = harmonic; });
}

void PowerModule::PowerModuleImpl::setSymmetricalComponentsEnabled(bool enabled) {
    changeSettings([&] { config.symmetricalComponentsEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setRvcEnabled(bool enabled) {
    changeSettings([&] { config.rvcEnabled = enabled; });
}

void PowerModule::PowerModuleImpl::setRvcSteadyStateLength(int periodValues) {
    if (periodValues < 1) {
        refuse("setRvcSteadyStateLength",
               "the steady-state window holds at least one period value, not " + std::to_string(periodValues));
    }
    changeSettings([&] { config.rvcSteadyStateLength = periodValues; });
}

void PowerModule::PowerModuleImpl::setRvcThreshold(double percentOfAverage) {
    if (!(percentOfAverage >= 0.0) || !std::isfinite(percentOfAverage)) {
        refuse("setRvcThreshold", "the threshold must be finite and not negative, not " + numberText(percentOfAverage));
    }
    changeSettings([&] { config.rvcThreshold = percentOfAverage; });
}

void PowerModule::PowerModuleImpl::setRvcThresholdHysteresis(double percentOfThreshold) {
    if (!(percentOfThreshold >= 0.0) || !std::isfinite(percentOfThreshold)) {
        refuse("setRvcThresholdHysteresis",
               "the hysteresis must be finite and not negative, not " + numberText(percentOfThreshold));
    }
    changeSettings([&] { config.rvcThresholdHysteresis = percentOfThreshold; });
}

void PowerModule::PowerModuleImpl::setWindowedResultsEnabled(bool enabled) {
    changeSettings([&] { config.windowedResultsEnabled = enabled; });
}

// Read by each window as it is computed and laid out nowhere: it requests no
// initialisation, so that switching it neither re-creates the RVC detectors
// nor touches windows waiting for getResults.
void PowerModule::PowerModuleImpl::setHarmonicSubgroupsEnabled(bool enabled) {
    config.harmonicSubgroupsEnabled = enabled;
}

// Read by each window as it is computed, like the subgroups: no
// initialisation, and windows already computed keep their values.
void PowerModule::PowerModuleImpl::setSignallingFrequencies(const std::vector<double>& frequencies) {
    for (double f : frequencies) {
        if (!(std::isfinite(f) && f > 0.0)) {
            refuse("setSignallingFrequencies", "a signalling frequency must be positive and finite, not " + numberText(f));
        }
    }
    config.signallingFrequencies = frequencies;
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

std::vector<double> PowerModule::PowerModuleImpl::getSignallingFrequencies() const {
    return config.signallingFrequencies;
}
std::vector<double> PowerModule::PowerModuleImpl::getSignallingVoltages() const { return lastSignallingVoltages; }

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

// Where the rings have no storage at all (no buffer length, no period values
// or windowed results, a failed initialisation, a module never initialised)
// every channel answers null. Where they have storage but are laid out for
// other settings than the current ones (a change waiting for the bracket to
// close, or held back by a negative update count), a pointer would not match
// getBufferLength() or the channels: the accessor refuses.
float* PowerModule::PowerModuleImpl::waveformItem(unsigned char channel, unsigned short firstItem,
                                                  const char* operation) const {
    if (buffers.waveformBuffer.hostBuffer == nullptr) {
        return nullptr;
    }
    const StorageLayout wanted = layoutOf(config, buffers);
    ChangedSettings changed;
    changed.note(wanted.wiring != layout.wiring, "the wiring");
    changed.note(wanted.bufferLength != layout.bufferLength, "the buffer length");
    changed.note((wanted.periodValues || wanted.windowed) != (layout.periodValues || layout.windowed),
                 "the period values or windowed results switches");
    changed.note(wanted.currents != layout.currents, "currents");
    changed.note(wanted.lineToLine != layout.lineToLine, "line-to-line results");
    if (!changed.list.empty()) {
        throw std::runtime_error(std::string(operation) + ": the waveform rings are still laid out for the " +
                                 "settings before the change of " + changed.list + "; " + pendingChangeRemedy());
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
    *buffer = waveformItem(channel, 0, "getWaveformBufferUStar");
}

void PowerModule::PowerModuleImpl::getWaveformBufferI(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferI: null out-parameter");
    *buffer = waveformItem(channel, 3, "getWaveformBufferI");
}

void PowerModule::PowerModuleImpl::getWaveformBufferUDelta(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferUDelta: null out-parameter");
    *buffer = waveformItem(channel, 6, "getWaveformBufferUDelta");
}

void PowerModule::PowerModuleImpl::getWaveformBufferUInput(unsigned char channel, float** buffer) const {
    if (buffer == nullptr) throw std::invalid_argument("getWaveformBufferUInput: null out-parameter");
    const unsigned short firstItem = lookupPowerGridConfig(config.gridConfigType).starInput ? 0 : 6;
    *buffer = waveformItem(channel, firstItem, "getWaveformBufferUInput");
}

// The calculations read the host rings in place: nothing to copy or wait for.
void PowerModule::PowerModuleImpl::copyAddedSamplesToGpu(unsigned int) {}
void PowerModule::PowerModuleImpl::syncCuda() {}
