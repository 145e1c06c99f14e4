// Holds operations of PowerModule::PowerModuleImpl, so it includes module/PowerModuleImpl.h from this folder.
// Scheduling of windowed calculations: with windowed results enabled, each
// window the caller declares becomes one queue item (the reset's item for
// window 0, then the successor of the current item), gets its calculation
// values, is computed from the rings at once and is queued for getResults.
//
// Refusals (all before anything is written, see PowerModule.h): settings that
// change the layout of the buffers and are not applied yet (see
// module/PowerModuleImpl.h) come first, then the checks on the arguments and
// the window's place in the rings; the results ring must have a free slot:
// the queue may hold at most generalResultsBufferLength windows, the number
// of raw records, so that a new window never overwrites the raw data of one
// still waiting.
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "module/PowerModuleImpl.h"
#include "windowed/WindowedCalculation.h"

void PowerModule::PowerModuleImpl::scheduleForCalculation(unsigned long long firstSampleIndex, int periodCount,
                                                          double frequency) {
    if (!config.windowedResultsEnabled) {
        return;
    }
    requireLaidOutSettings("scheduleForCalculation", true);
    if (buffers.windowedResultsDeferred) {
        char rate[32];
        std::snprintf(rate, sizeof rate, "%.10g", config.sampleRate);
        throw std::runtime_error(std::string("scheduleForCalculation: no windowed results ring: at a sample rate of ") +
                                 rate + " Hz a window of " +
                                 std::to_string(config.periodCount) +
                                 " cycles at the highest frequency spans fewer than 8 samples; set the sample rate "
                                 "(before the buffer length, or both inside beginUpdate/endUpdate)");
    }
    if (!currentQueueItem) {
        throw std::invalid_argument("scheduleForCalculation before the first reset");
    }
    if (periodCount < 1) {
        throw std::invalid_argument("a window spans at least one cycle");
    }
    if (!(std::isfinite(frequency) && frequency > 0.0)) {
        throw std::invalid_argument("the frequency of a window must be positive and finite");
    }
    const double periodLength = config.sampleRate / frequency;
    if (!(periodLength >= 2.0) || !std::isfinite(periodLength)) {
        throw std::invalid_argument("fewer than two samples per cycle");
    }
    // periodCount x sampleRate / frequency, the product formed first.
    const double exactLength = static_cast<double>(periodCount) * config.sampleRate / frequency;
    const double rounded = std::round(exactLength);
    const bool whole = std::fabs(exactLength - rounded) <= 1e-9 * exactLength;
    const double samples = whole ? rounded : std::ceil(exactLength);
    const double windowLength = whole ? rounded : exactLength;
    if (samples < 8.0) {
        throw std::invalid_argument("a window needs at least 8 samples");
    }
    if (samples > buffers.getBufferLength()) {
        throw std::invalid_argument("the window is longer than the waveform ring");
    }
    const unsigned int length = static_cast<unsigned int>(samples);
    const unsigned int fftLength = (whole && WindowedCalculation::isDirectLength(length))
                                       ? length
                                       : WindowedCalculation::resampledLength(windowLength);
    if (fftLength == 0 || fftLength > buffers.maxWindowFftLength) {
        throw std::invalid_argument("the window is longer than the longest FFT the configuration plans for");
    }
    const unsigned long long end = firstSampleIndex + length;
    const unsigned long long newest = end > windowedSamplesEnd ? end : windowedSamplesEnd;
    if (firstSampleIndex + buffers.getBufferLength() < newest) {
        throw std::invalid_argument("the ring has overwritten the window's samples");
    }

    std::shared_ptr<PowerResultsQueueItem> item;
    {
        std::lock_guard<std::mutex> lock(resultsMutex);
        if (resultsQueue.size() >= buffers.getGeneralResultsBufferLength()) {
            throw std::length_error("windowed results ring full: fetch with getResults first");
        }
        item = firstWindowPending ? currentQueueItem : getNextQueueItem();
    }
    item->setCalculation(firstSampleIndex, length, periodLength, static_cast<unsigned int>(periodCount), fftLength,
                         buffers.spectrumBuffer.getLength(), buffers.harmonicsReserve, frequency);
    if (fftLength != length || !whole) {
        // Resampled onto fftLength points over exactly periodCount cycles.
        item->dFrequency = frequency / periodCount;
    }
    if (!windowedCalculation) {
        windowedCalculation.reset(new WindowedCalculation());
    }
    const unsigned int slot = static_cast<unsigned int>(item->getIndex() % buffers.getGeneralResultsBufferLength());
    windowedCalculation->calculate(config, buffers, *item, windowLength, slot);

    std::lock_guard<std::mutex> lock(resultsMutex);
    resultsQueue.push(item);
    currentQueueItem = item;
    firstWindowPending = false;
    windowedSamplesEnd = newest;
}
