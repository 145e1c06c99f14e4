// PowerModule::PowerModuleImpl: the implementation object behind the
// PowerModule facade. It owns the configuration, the buffer set, the two RVC
// detector groups, the sample positions, the period-tracking state, the locks
// and the two queues with their current items.
//
// Locks: updateMutex (update bracket, deferred initialisation) is taken
// before initMutex (initialisation); resultsMutex (reset, isAnyResultReady,
// getResults) is never held together with another. All three are plain,
// non-recursive mutexes, and no path locks one its caller holds.
//
// Choices where callers could otherwise hit undefined behaviour:
// - the waveform accessors answer a channel index of 3 or more with null;
// - null out-parameters of the waveform accessors and getPeriodResults are
//   refused with std::invalid_argument;
// - while period values are enabled but their buffers have no storage (no
//   buffer length yet, a sample rate that does not fit yet, or a failed
//   initialisation), scheduleForPeriodCalculation and getPeriodResults throw
//   std::runtime_error with a message that names the setting to change,
//   instead of answering nothing; reset still works. The waveform accessors
//   answer null wherever the rings have no storage at all; A failed initialisation leaves no half-sized buffers, so the
//   setter that makes the settings valid again succeeds;
// - the operations that compute from the buffers read them only with the
//   layout they were laid out for. The settings that decide that layout are
//   the wiring, the buffer length, whether period values of any kind,
//   currents and line-to-line results are enabled and, for the windowed
//   stage, whether windowed results, inter-harmonics, THD, symmetrical
//   components and the full FFT are; the initialisation records them
//   (`layout`) when it succeeds. Between a change of one of them and the
//   initialisation that applies it - inside an open update bracket, after an
//   endUpdate without beginUpdate (no setter initialises while the count is
//   negative) - the period operations (scheduleForPeriodCalculation,
//   getPeriodResults) and, while windowed results are or were on,
//   scheduleForCalculation and getResults refuse with std::runtime_error
//   (status 1) and a message that names the changed settings and what
//   applies them; after a failed initialisation they refuse with its
//   message. A side that has no buffers before or after the change (period
//   values, or windowed results, off throughout) refuses nothing. A refused
//   call changes nothing: queued items stay queued and are computed, with the
//   new layout, once it is applied. Settings outside the
//   layout (sample rate, frequencies, half periods, overlap, RVC settings)
//   keep taking effect at once, as does reset, which reads no buffer. The
//   waveform accessors refuse the same way (std::runtime_error, status 1)
//   while the rings have storage laid out for another wiring, buffer length,
//   channel set or period/windowed switch than the current settings: the
//   pointer would not match getBufferLength() or the channels. An endUpdate
//   without beginUpdate is not refused: it leaves the count negative and
//   the module uninitialised until the count is back at 0, as documented
//   on PowerModule;
// - skipSamples before the first reset only advances the positions;
// - getFftLength is offered: with variable frequency it is the FFT length at
//   the larger of minFrequency and the given frequency, with static
//   frequency the buffer set's staticFftLength, which initialisation sets to
//   the FFT length of one window at the nominal frequency.
#ifndef POWERQUALITY_MODULE_POWERMODULEIMPL_H
#define POWERQUALITY_MODULE_POWERMODULEIMPL_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <deque>
#include <mutex>
#include <queue>
#include <stdexcept>
#include <string>
#include <vector>

#include "buffers/PowerBuffers.h"
#include "config/PowerConfig.h"
#include "period/PowerPeriodResultsQueueItem.h"
#include "period/RvcMultiPhaseCalculation.h"
#include "powerquality/Export.h"
#include "powerquality/PowerModule.h"
#include "powerquality/PowerResults.h"
#include "scheduling/PowerResultsQueueItem.h"

class WindowedCalculation;
struct PeriodSums;  // period/PeriodValues.cpp

class POWERQUALITY_API PowerModule::PowerModuleImpl {
public:
    explicit PowerModuleImpl(PowerModule& owner);
    ~PowerModuleImpl();
    PowerModuleImpl(const PowerModuleImpl&) = delete;
    PowerModuleImpl& operator=(const PowerModuleImpl&) = delete;

    void beginUpdate();
    void endUpdate();

    void setGridConfigType(PowerGridConfigType type);
    void setSampleRate(double sampleRate, int sampleIndexDivisor);
    void setSampleRateKeepingLength(double sampleRate, int sampleIndexDivisor);
    void setBufferLengthAndDuration(unsigned int length, double duration);
    void setStaticFrequency(double frequency, double tolerance);
    void setVariableFrequency(double minFrequency, double maxFrequency);
    void setPeriodCount(unsigned short count);
    void setHalfPeriodValuesCount(unsigned short count);
    void setPeriodValuesOverlapInPercent(unsigned short percent);
    void setPeriodValuesEnabled(bool enabled);
    void setFundamentalPeriodValuesEnabled(bool enabled);
    void setPeriodSymmetricalComponentsEnabled(bool enabled);
    void setCurrentEnabled(bool enabled);
    void setLineToLineResultsEnabled(bool enabled);
    void setWaveformsEnabled(bool enabled);
    void setInterHarmonicsEnabled(bool enabled);
    void setFullFftEnabled(bool enabled);
    void setThdEnabled(bool enabled);
    void setHighestRequestedHarmonic(int harmonic);
    void setThdHighestHarmonic(int harmonic);
    void setSymmetricalComponentsEnabled(bool enabled);
    void setRvcEnabled(bool enabled);
    void setRvcSteadyStateLength(int periodValues);
    void setRvcThreshold(double percentOfAverage);
    void setRvcThresholdHysteresis(double percentOfThreshold);
    void setWindowedResultsEnabled(bool enabled);
    void setHarmonicSubgroupsEnabled(bool enabled);
    void setSignallingFrequencies(const std::vector<double>& frequencies);

    unsigned int getBufferLength() const;
    double getSampleRate() const;
    unsigned char getPhasesCount() const;
    unsigned char getVoltagesCount() const;
    unsigned char getCurrentsCount() const;
    bool getCurrentEnabled() const;
    bool getFundamentalPeriodValuesEnabled() const;
    bool getInterHarmonicsEnabled() const;
    bool getLineToLineResultsEnabled() const;
    bool getPeriodValuesEnabled() const;
    bool getRvcEnabled() const;
    bool getThdEnabled() const;
    bool getWaveformsEnabled() const;
    bool getFullFftEnabled() const;
    bool getSymmetricalComponentsEnabled() const;
    bool getPeriodSymmetricalComponentsEnabled() const;
    unsigned short getHalfPeriodValuesCount() const;
    unsigned short getPeriodValuesOverlapInPercent() const;
    int getHighestRequestedHarmonic() const;
    int getThdHighestHarmonic() const;
    int getRvcSteadyStateLength() const;
    double getRvcThreshold() const;
    double getRvcThresholdHysteresis() const;
    bool getWindowedResultsEnabled() const;
    bool getHarmonicSubgroupsEnabled() const;
    std::vector<double> getSignallingFrequencies() const;
    std::vector<double> getSignallingVoltages() const;

    PowerGridConfig getGridConfig();
    PowerGridConfigType getGridConfigType();
    unsigned short getPeriodCount() const;
    unsigned char getLineToLineCount() const;
    bool getAnyPeriodValuesEnabled() const;
    unsigned char getRequiredBuffersCount() const;
    unsigned char getHarmonicOutputsCount() const;
    unsigned int getMaxHarmonicsCount() const;
    unsigned int getFftLength(unsigned int minimumLength, double frequency);
    void initFftPlans(unsigned int fftLength, unsigned int count);
    void deinit();

    void getWaveformBufferUStar(unsigned char channel, float** buffer) const;
    void getWaveformBufferI(unsigned char channel, float** buffer) const;
    void getWaveformBufferUDelta(unsigned char channel, float** buffer) const;
    void getWaveformBufferUInput(unsigned char channel, float** buffer) const;
    void copyAddedSamplesToGpu(unsigned int count);
    void syncCuda();

    void reset(unsigned long long firstSampleIndex);
    void skipSamples(unsigned int count);
    bool isAnyResultReady();
    void scheduleForCalculation(unsigned long long firstSampleIndex, int periodCount, double frequency);
    void scheduleForPeriodCalculation(int count, unsigned long long* firstSampleIndices, int* lengths,
                                      double* frequencies, bool* flags);
    void getPeriodResults(int* count, bool* hasMoreResults, PowerResultsPeriod** results);
    std::vector<PowerResultsGeneral> getResults(int maxCount);

    PowerModule& owner;
    PowerConfig config;
    PowerBuffers buffers;
    RvcMultiPhaseCalculation rvcPhaseVoltages;
    RvcMultiPhaseCalculation rvcLineToLineVoltages;
    unsigned long long samplePosition;
    unsigned long long skipPosition;
    unsigned long long resultsPosition;
    double previousFrequency;
    double trackingPhase;
    double previousFlag;
    std::mutex initMutex;
    std::mutex resultsMutex;
    std::mutex updateMutex;
    std::atomic<int32_t> updateCount;
    std::shared_ptr<PowerResultsQueueItem> currentQueueItem;
    std::shared_ptr<PowerPeriodResultsQueueItem> currentPeriodQueueItem;
    std::queue<std::shared_ptr<PowerResultsQueueItem>> resultsQueue;
    // First in, first out; a fetch looks at the item after the front too (see
    // period/PeriodValues.cpp).
    std::deque<std::shared_ptr<PowerPeriodResultsQueueItem>> periodResultsQueue;
    // How often initialize() has run; a diagnostic that shows what an update
    // bracket saved.
    unsigned int initializationCount;
    // The position the next frequency segment is expected to start in: the
    // reset position, then the end of the last segment accepted.
    unsigned long long nextSegmentPosition;
    // Period values dropped unfetched since the last fetch that reported
    // them (or the last reset): finished items whose first position the
    // rings had already overwritten; the longest span among them.
    unsigned long long lostPeriodValues;
    unsigned long long lostPeriodSpan;
    // Whether the caller has set the sample rate, and the frequencies; until
    // both are, their defaults are placeholders that no check holds against
    // the other.
    bool sampleRateSet;
    bool frequencySet;
    // The message of the last initialisation that failed; empty once one has
    // succeeded.
    std::string initializationError;
    // The settings that decide the layout of the buffers and the detectors,
    // as the last successful initialisation (or the constructor, which lays
    // out nothing) found them.
    struct StorageLayout {
        PowerGridConfigType wiring;  // as the grid table answers it
        unsigned int bufferLength;
        bool periodValues;
        bool currents;
        bool lineToLine;
        bool windowed;
        bool interHarmonics;
        bool thd;
        bool symmetricalComponents;
        bool fullFft;
    };
    StorageLayout layout;
    // Windowed calculation stage (only with windowed results enabled): its
    // FFT and scratch, whether the item that reset created still waits to
    // become window 0, and the end of the newest window scheduled (or the
    // reset or skip position): the rings hold the samples before it.
    std::unique_ptr<WindowedCalculation> windowedCalculation;
    bool firstWindowPending;
    unsigned long long windowedSamplesEnd;
    // The signalling voltages of the windows the last getResults returned, in
    // its order (see PowerModule::getSignallingVoltages).
    std::vector<double> lastSignallingVoltages;
    // Whether this processor runs the period sums' four-lane pass (x86-64
    // with AVX2), which gives the bits of the two-lane one
    // (period/PeriodValues.cpp).
    static bool widePeriodSumsAvailable();
    // The period sums of positions two items share in four lanes rather than
    // two where the processor can. Tests switch it off to run the two-lane
    // pass on any processor.
    bool widePeriodSums = widePeriodSumsAvailable();

private:
    friend struct PowerModuleImplTestAccess;  // tests call the private operations through it
    void lazyInitialize();
    template <class Store>
    void changeSettings(Store store);
    void checkSampleRate(const char* setter, double sampleRate, int sampleIndexDivisor, double maxFrequency,
                         bool frequencyGiven) const;
    void checkHighestFrequency(const char* setter, double maxFrequency) const;
    void initialize();
    float* waveformItem(unsigned char channel, unsigned short firstItem, const char* operation) const;
    std::string pendingChangeRemedy() const;
    std::runtime_error missingPeriodStorage() const;
    void requireLaidOutSettings(const char* operation, bool windowed) const;
    void dropOverwrittenPeriodItems(unsigned long long newestPosition, unsigned long long ringLength);
    void reportLostPeriodValues(bool* hasMoreResults);
    std::shared_ptr<PowerResultsQueueItem> getNextQueueItem();
    void calculateThd(PowerResultsThd& result, double fundamental, double rms, unsigned short item,
                      unsigned int index);
    bool finishWindow(const PowerResultsQueueItem& item, PowerResultsGeneral& record);
    void calculatePeriodValues(unsigned long long firstSampleIndex, unsigned long long lastSampleIndex,
                               double firstSampleFraction, double lastSampleFraction, double totalLength,
                               PowerResultsPeriod* results);
    // The records of one item from its sums over its whole span (the second
    // half of calculatePeriodValues).
    void writePeriodValues(const PeriodSums& sums, unsigned long long lastSampleIndex, double lastSampleFraction,
                           double totalLength, PowerResultsPeriod* results);
};

#endif
