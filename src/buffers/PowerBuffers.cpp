#include "buffers/PowerBuffers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <utility>

namespace {
// Resizes a ring and zeroes it when it got new storage, so that positions the
// caller has not written yet read as 0 rather than as whatever the heap held.
template <typename T>
void resizeCleared(GpuBuffer<T>& buffer, unsigned int length) {
    const unsigned int before = buffer.hostAllocatedBytes;
    buffer.resize(length);
    if (buffer.hostBuffer != nullptr && buffer.hostAllocatedBytes != before) {
        std::memset(static_cast<void*>(buffer.hostBuffer), 0, buffer.hostAllocatedBytes);
    }
}

// ceil(quotient) as a count of at least 1; a zero divisor (infinite quotient)
// or a zero numerator holds it at 1 (see the header).
unsigned int ringLength(double quotient) {
    const double rounded = std::ceil(quotient);
    if (!(rounded >= 1.0) || std::isinf(rounded)) {
        return 1;
    }
    if (rounded >= 4294967295.0) {
        return UINT32_MAX;
    }
    return static_cast<unsigned int>(rounded);
}

// An allocation failure that says what was asked for; still a std::bad_alloc.
class StorageRefused : public std::bad_alloc {
public:
    explicit StorageRefused(std::string text) : text(std::move(text)) {}
    const char* what() const noexcept override { return text.c_str(); }

private:
    std::string text;
};
}  // namespace

PowerBuffers::PowerBuffers(PowerConfig& config)
    : config(config),
      bufferLength(0),
      bufferDuration(1.0),
      generalResultsBufferLength(1),
      periodResultsBufferLength(1),
      staticFftLength(0),
      harmonicsReserve(0),
      recordsPerPeriodItem(0),
      periodResultsRingDeferred(false),
      windowedResultsDeferred(false),
      maxWindowFftLength(0),
      waveformBuffer(9, true),
      fftInputBuffer(9, true),
      spectrumBuffer(9, true),
      harmonicsBuffer(39, true),
      thdBuffer(39, true),
      symmetricMagnitudeBuffer(9, true),
      symmetricPhasorBuffer(9, true),
      generalResultsBuffer(1, true),
      periodResultsBuffer(1, true),
      periodTrackingBuffer(3, false),
      windowedLayout(false) {
    generalResultsBuffer.addItems(0, 1, GpuBufferItems::HostOnly);
}

PowerBuffers::~PowerBuffers() = default;

void PowerBuffers::setBufferLengthAndDuration(unsigned int length, double duration) {
    bufferLength = length;
    bufferDuration = duration;
}

unsigned int PowerBuffers::getBufferLength() const { return bufferLength; }
unsigned int PowerBuffers::getGeneralResultsBufferLength() const { return generalResultsBufferLength; }
unsigned int PowerBuffers::getPeriodResultsBufferLength() const { return periodResultsBufferLength; }

void PowerBuffers::initialize() {
    try {
        layOut();
    } catch (...) {
        // Nothing half-sized stays behind, whatever failed: the period and
        // windowed buffers end without items or storage, and the next
        // initialize starts from scratch.
        releaseLaidOutBuffers();
        try {
            throw;
        } catch (const std::bad_alloc&) {
            throw StorageRefused("cannot allocate the period buffers for a buffer length of " +
                                 std::to_string(bufferLength) + " samples and a period results ring of " +
                                 std::to_string(periodResultsBufferLength) + " entries: reduce the buffer length");
        }
    }
}

void PowerBuffers::releaseLaidOutBuffers() {
    waveformBuffer.clearItems();
    periodTrackingBuffer.clearItems();
    periodResultsBuffer.clearItems();
    waveformBuffer.resize(0);
    periodTrackingBuffer.resize(0);
    periodResultsBuffer.resize(0);
    periodResultsRingDeferred = false;
    windowedResultsDeferred = false;
    // The general results buffer keeps the item the constructor gave it.
    clearWindowedItems();
    fftInputBuffer.resize(0);
    spectrumBuffer.resize(0);
    harmonicsBuffer.resize(0);
    thdBuffer.resize(0);
    symmetricMagnitudeBuffer.resize(0);
    symmetricPhasorBuffer.resize(0);
    generalResultsBuffer.resize(0);
    maxWindowFftLength = 0;
    harmonicsReserve = 0;
    windowedLayout = false;
}

void PowerBuffers::layOut() {
    generalResultsBufferLength = ringLength(bufferDuration * config.maxFrequency / config.periodCount);
    periodResultsBufferLength = ringLength(bufferDuration * config.maxFrequency / config.getPeriodCountAdvanceBy());
    staticFftLength = config.variableFrequency ? 0u : config.getMinFftLength();

    // More period values than the waveform ring has positions would mean that
    // at the highest frequency one period value starts less than a sample
    // after the one before, which period scheduling refuses anyway: the
    // sample rate is not the one meant yet (still the default 1 Hz while the
    // settings are being changed one by one). The results ring is then not
    // requested; a later initialisation with a fitting sample rate gets it.
    const bool periodValues = config.areAnyPeriodValuesEnabled();
    windowedResultsDeferred = config.windowedResultsEnabled &&
                              generalResultsBufferLength > static_cast<uint64_t>(bufferLength) / 8 + 1;
    periodResultsRingDeferred = periodValues && periodResultsBufferLength > static_cast<uint64_t>(bufferLength) + 1;
    // A results ring beyond 32-bit byte counts is refused before any buffer
    // is touched.
    const uint64_t ringBytes = static_cast<uint64_t>(config.getPhasesCount() + 1u) * periodResultsBufferLength *
                               sizeof(PowerResultsPeriod);
    if (periodValues && !periodResultsRingDeferred && ringBytes > UINT32_MAX) {
        throw std::bad_array_new_length();
    }
    const unsigned short phases = config.getPhasesCount();

    waveformBuffer.clearItems();
    if (periodValues || config.windowedResultsEnabled) {
        waveformBuffer.addItems(0, phases, GpuBufferItems::HostOnly);
        if (config.currentEnabled) {
            waveformBuffer.addItems(3, phases, GpuBufferItems::HostOnly);
        }
        if (config.lineToLineResultsEnabled) {
            waveformBuffer.addItems(6, config.getDeltaWaveformsCount(), GpuBufferItems::HostOnly);
        }
    }
    resizeCleared(waveformBuffer, bufferLength);

    periodTrackingBuffer.clearItems();
    periodResultsBuffer.clearItems();
    if (periodValues) {
        recordsPerPeriodItem = phases + 1u;
        periodTrackingBuffer.addItems(0, 1, GpuBufferItems::HostOnly);
        periodTrackingBuffer.addItems(1, 2, GpuBufferItems::HostOnly);
        periodTrackingBuffer.addItems(2, 1, GpuBufferItems::HostOnly);
        if (!periodResultsRingDeferred) {
            periodResultsBuffer.addItems(0, 1, GpuBufferItems::HostOnly);
        }
    }
    resizeCleared(periodTrackingBuffer, bufferLength);

    const uint64_t records = static_cast<uint64_t>(recordsPerPeriodItem) * periodResultsBufferLength;
    if (periodValues && !periodResultsRingDeferred && records > UINT32_MAX) {
        throw std::bad_array_new_length();
    }
    // Zeroed with new storage: the bytes between a record's fields are never
    // written, and the records are handed out whole.
    resizeCleared(periodResultsBuffer, static_cast<unsigned int>(records));

    layOutWindowedBuffers();
}

void PowerBuffers::clearWindowedItems() {
    fftInputBuffer.clearItems();
    spectrumBuffer.clearItems();
    harmonicsBuffer.clearItems();
    thdBuffer.clearItems();
    symmetricMagnitudeBuffer.clearItems();
    symmetricPhasorBuffer.clearItems();
}

void PowerBuffers::layOutWindowedBuffers() {
    const bool on = config.windowedResultsEnabled && !windowedResultsDeferred;
    if (!on && !windowedLayout) {
        return;  // never enabled: the windowed buffers stay as the constructor left them
    }
    clearWindowedItems();
    windowedLayout = on;
    if (!on) {
        maxWindowFftLength = 0;
        harmonicsReserve = 0;
        fftInputBuffer.resize(0);
        harmonicsBuffer.resize(0);
        spectrumBuffer.resize(0);
        thdBuffer.resize(0);
        symmetricMagnitudeBuffer.resize(0);
        symmetricPhasorBuffer.resize(0);
        generalResultsBuffer.resize(0);
        return;
    }

    const unsigned int ringFft = PowerConfig::getPow2Length(bufferLength);
    const unsigned int configuredFft = config.getMaxFftLength();
    maxWindowFftLength = (configuredFft != 0 && configuredFft < ringFft) ? configuredFft : ringFft;
    // The longest harmonic array: orders 0 to the highest one needed, at least
    // the fundamental, at most the orders below half the longest FFT.
    const uint64_t required = config.getRequiredHarmonicsCount() == 0 ? UINT32_MAX : config.getRequiredHarmonicsCount();
    const uint64_t orders = maxWindowFftLength / 2 + 1;
    harmonicsReserve = static_cast<unsigned int>(std::max<uint64_t>(2, std::min(required, orders)));

    const unsigned short phases = config.getPhasesCount();
    const unsigned short lineToLine = config.getLineToLineCount();
    const bool currents = config.currentEnabled;
    const bool inter = config.interHarmonicsEnabled;
    const auto harmonicGroup = [&](unsigned short first, unsigned short count, bool distortion) {
        if (count == 0) {
            return;
        }
        harmonicsBuffer.addItems(first, count, GpuBufferItems::DeviceToHost);
        if (distortion && config.thdEnabled) {
            thdBuffer.addItems(first, count, GpuBufferItems::DeviceToHost);
        }
    };
    harmonicGroup(0, phases, true);
    harmonicGroup(3, currents ? phases : 0, true);
    harmonicGroup(6, lineToLine, true);
    harmonicGroup(9, inter ? phases : 0, true);
    harmonicGroup(12, (inter && currents) ? phases : 0, true);
    harmonicGroup(15, inter ? lineToLine : 0, true);
    for (unsigned short group : {18, 21, 24, 27}) {
        harmonicGroup(group, currents ? phases : 0, false);
    }
    harmonicGroup(30, phases, false);
    harmonicGroup(33, currents ? phases : 0, false);

    if (config.fullFftEnabled && !config.variableFrequency) {
        spectrumBuffer.addItems(0, phases, GpuBufferItems::DeviceToHost);
        if (currents) {
            spectrumBuffer.addItems(3, phases, GpuBufferItems::DeviceToHost);
        }
        if (lineToLine != 0) {
            spectrumBuffer.addItems(6, lineToLine, GpuBufferItems::DeviceToHost);
        }
    }
    if (config.areSymmetricalComponentsEnabled()) {
        addSymmetricItems(0);
        if (currents) {
            addSymmetricItems(3);
        }
    }

    const uint64_t windows = static_cast<uint64_t>(generalResultsBufferLength) + 2;
    const uint64_t harmonicLength = windows * harmonicsReserve;
    const uint64_t spectrumLength = spectrumBuffer.getHostItemsCount() != 0 ? windows * (maxWindowFftLength / 2 + 1) : 0;
    if (harmonicLength > UINT32_MAX || spectrumLength > UINT32_MAX) {
        throw std::bad_array_new_length();
    }
    resizeCleared(generalResultsBuffer, generalResultsBufferLength);
    resizeCleared(harmonicsBuffer, static_cast<unsigned int>(harmonicLength));
    resizeCleared(thdBuffer, generalResultsBufferLength);
    resizeCleared(spectrumBuffer, static_cast<unsigned int>(spectrumLength));
    resizeCleared(symmetricMagnitudeBuffer, generalResultsBufferLength);
    resizeCleared(symmetricPhasorBuffer, generalResultsBufferLength);
}

void PowerBuffers::addFftItems(unsigned short first, unsigned short count) {
    fftInputBuffer.addItems(first, count, GpuBufferItems::DeviceOnly);
    spectrumBuffer.addItems(first, count,
                            config.fullFftEnabled ? GpuBufferItems::DeviceToHost : GpuBufferItems::DeviceOnly);
}

void PowerBuffers::addHarmonicItems(unsigned short first, unsigned short count, bool) {
    harmonicsBuffer.addItems(first, count, GpuBufferItems::DeviceToHost);
    if (config.thdEnabled) {
        thdBuffer.addItems(first, count, GpuBufferItems::DeviceToHost);
    }
}

void PowerBuffers::addSymmetricItems(unsigned short first) {
    symmetricMagnitudeBuffer.addItems(first, 3, GpuBufferItems::DeviceToHost);
    symmetricPhasorBuffer.addItems(first, 3, GpuBufferItems::DeviceToHost);
}
