#include "scheduling/PowerResultsQueueItem.h"

#include <algorithm>
#include <cmath>

#include "maths/NumericPolicy.h"

// The calculation values are placeholders of a minimal window (4 samples,
// one period, 50 Hz) until setCalculation gives the real ones.
PowerResultsQueueItem::PowerResultsQueueItem(double sampleRate, unsigned long long index,
                                             unsigned long long firstSampleIndex,
                                             unsigned int firstFftOutputSampleIndex,
                                             unsigned int firstHarmonicSampleIndex)
    : sampleRate(sampleRate),
      index(index),
      firstSampleIndex(firstSampleIndex),
      length(4),
      firstFftOutputSampleIndex(firstFftOutputSampleIndex),
      firstHarmonicSampleIndex(firstHarmonicSampleIndex),
      exactPeriodLength(1.0),
      frequency(50.0),
      dFrequency(1.0),
      fftInputLength(4),
      fftOutputLength(3),
      harmonicLength(1),
      periodCount(1) {}

void PowerResultsQueueItem::setCalculation(unsigned long long firstSampleIndex, unsigned int length,
                                           double exactPeriodLength, unsigned int periodCountLimit,
                                           unsigned int fftInputLength, unsigned int spectrumLength,
                                           unsigned int harmonicLengthLimit, double frequency) {
    this->firstSampleIndex = firstSampleIndex;
    this->length = length;
    this->exactPeriodLength = exactPeriodLength;

    // A tracked fundamental rarely fits the window exactly: count the nearest
    // whole number of periods (halves away from zero).
    // A quotient that is not a positive number (a period length of 0 or less,
    // or not a number) counts 0 periods; one beyond 32 bits the largest count.
    const unsigned int roundedPeriods = powerquality::toUnsigned32(std::round(length / exactPeriodLength));
    periodCount = std::min(periodCountLimit, roundedPeriods);

    this->frequency = frequency;
    this->fftInputLength = fftInputLength;
    fftOutputLength = fftInputLength / 2 + 1;

    if (firstFftOutputSampleIndex + fftOutputLength > spectrumLength) {
        firstFftOutputSampleIndex = 0;
    }

    dFrequency = sampleRate / fftInputLength;

    // Highest harmonic order at or below half the sample rate, plus order 0.
    const double highestOrder = std::ceil((fftInputLength / 2) * dFrequency / frequency);
    // Counted in 64 bits so that a saturated order cannot wrap to 0 with the 1.
    harmonicLength = static_cast<unsigned int>(
        std::min<unsigned long long>(harmonicLengthLimit, powerquality::toUnsigned32(highestOrder) + 1ull));
}

void PowerResultsQueueItem::reset(unsigned long long firstSampleIndex) { this->firstSampleIndex = firstSampleIndex; }

bool PowerResultsQueueItem::isResultReady() { return true; }

unsigned long long PowerResultsQueueItem::getIndex() const { return index; }

unsigned long long PowerResultsQueueItem::getFirstSampleIndex() const { return firstSampleIndex; }

unsigned int PowerResultsQueueItem::getLength() const { return length; }

unsigned int PowerResultsQueueItem::getFirstFftOutputSampleIndex() const { return firstFftOutputSampleIndex; }

unsigned int PowerResultsQueueItem::getFirstHarmonicSampleIndex() const { return firstHarmonicSampleIndex; }

double PowerResultsQueueItem::getExactPeriodLength() const { return exactPeriodLength; }

double PowerResultsQueueItem::getFrequency() const { return frequency; }

double PowerResultsQueueItem::getDFrequency() const { return dFrequency; }

unsigned int PowerResultsQueueItem::getFftInputLength() const { return fftInputLength; }

unsigned int PowerResultsQueueItem::getFftOutputLength() const { return fftOutputLength; }

unsigned int PowerResultsQueueItem::getHarmonicLength() const { return harmonicLength; }

unsigned int PowerResultsQueueItem::getPeriodCount() const { return periodCount; }

unsigned long long PowerResultsQueueItem::getNextSampleIndex() const { return firstSampleIndex + length; }
