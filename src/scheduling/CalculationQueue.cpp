// Holds operations of PowerModule::PowerModuleImpl, so it includes module/PowerModuleImpl.h from this folder.
// Reset of a module to a sample position, skipping of samples and the
// readiness of the windowed results queue.
#include "module/PowerModuleImpl.h"

void PowerModule::PowerModuleImpl::reset(unsigned long long firstSampleIndex) {
    previousFrequency = 0.0;
    trackingPhase = 0.0;
    previousFlag = 1.0;
    samplePosition = firstSampleIndex;
    skipPosition = firstSampleIndex;
    resultsPosition = firstSampleIndex;
    nextSegmentPosition = firstSampleIndex;
    lostPeriodValues = 0;
    lostPeriodSpan = 0;

    std::lock_guard<std::mutex> lock(resultsMutex);
    while (!resultsQueue.empty()) {
        resultsQueue.pop();
    }
    currentQueueItem = std::make_shared<PowerResultsQueueItem>(config.sampleRate, 0, firstSampleIndex, 0, 0);
    if (config.windowedResultsEnabled) {
        // The reset's item becomes window 0 when the first window is
        // scheduled; until then nothing is queued, so a reset yields no record.
        firstWindowPending = true;
        windowedSamplesEnd = firstSampleIndex;
    } else {
        resultsQueue.push(currentQueueItem);
    }

    while (!periodResultsQueue.empty()) {
        periodResultsQueue.pop_front();
    }
    if (config.areAnyPeriodValuesEnabled()) {
        currentPeriodQueueItem = std::make_shared<PowerPeriodResultsQueueItem>(
            0, firstSampleIndex, 1.0, config.getPeriodCountForPeriodValues(), config.getPeriodCountAdvanceBy());
    } else {
        currentPeriodQueueItem.reset();
    }
}

void PowerModule::PowerModuleImpl::skipSamples(unsigned int count) {
    samplePosition = samplePosition + count;
    skipPosition = samplePosition;
    resultsPosition = samplePosition;
    if (currentQueueItem) {
        currentQueueItem->reset(samplePosition);
    }
    if (config.windowedResultsEnabled && samplePosition > windowedSamplesEnd) {
        windowedSamplesEnd = samplePosition;
    }
}

bool PowerModule::PowerModuleImpl::isAnyResultReady() {
    std::lock_guard<std::mutex> lock(resultsMutex);
    return !resultsQueue.empty() && resultsQueue.front()->isResultReady();
}

// The successor of the current window. No operation of the module schedules
// windows yet; a windowed calculation stage would use this.
std::shared_ptr<PowerResultsQueueItem> PowerModule::PowerModuleImpl::getNextQueueItem() {
    const PowerResultsQueueItem& current = *currentQueueItem;
    const unsigned long long index = current.index + 1;
    const unsigned long long firstSampleIndex = current.firstSampleIndex + current.length;
    unsigned int fftIndex = current.firstFftOutputSampleIndex + current.fftOutputLength;
    if (!(config.fullFftEnabled && fftIndex < buffers.spectrumBuffer.getLength())) {
        fftIndex = 0;
    }
    unsigned int harmonicIndex = current.firstHarmonicSampleIndex + current.harmonicLength;
    if (buffers.harmonicsReserve + harmonicIndex > buffers.harmonicsBuffer.getLength()) {
        harmonicIndex = 0;
    }
    return std::make_shared<PowerResultsQueueItem>(config.sampleRate, index, firstSampleIndex, fftIndex,
                                                   harmonicIndex);
}
