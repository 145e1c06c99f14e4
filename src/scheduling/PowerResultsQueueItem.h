// PowerResultsQueueItem: one windowed calculation: the window's number, first
// sample and length, the fundamental it assumes, its FFT sizes and where its
// outputs start in the windowed buffers. Items are shared between the
// module's results queue and its current-item slot.
#ifndef POWERQUALITY_SCHEDULING_POWERRESULTSQUEUEITEM_H
#define POWERQUALITY_SCHEDULING_POWERRESULTSQUEUEITEM_H

#include "powerquality/Export.h"

class POWERQUALITY_API PowerResultsQueueItem {
public:
    PowerResultsQueueItem(double sampleRate, unsigned long long index, unsigned long long firstSampleIndex,
                          unsigned int firstFftOutputSampleIndex, unsigned int firstHarmonicSampleIndex);

    // Fills in the calculation values. A window's spectrum never straddles
    // the end of the spectrum buffer: its first index falls back to 0 when
    // first + fftOutputLength would exceed spectrumLength.
    void setCalculation(unsigned long long firstSampleIndex, unsigned int length, double exactPeriodLength,
                        unsigned int periodCountLimit, unsigned int fftInputLength, unsigned int spectrumLength,
                        unsigned int harmonicLengthLimit, double frequency);
    void reset(unsigned long long firstSampleIndex);
    bool isResultReady();  // a queued item is ready at once

    unsigned long long getIndex() const;
    unsigned long long getFirstSampleIndex() const;
    unsigned int getLength() const;
    unsigned int getFirstFftOutputSampleIndex() const;
    unsigned int getFirstHarmonicSampleIndex() const;
    double getExactPeriodLength() const;
    double getFrequency() const;
    double getDFrequency() const;
    unsigned int getFftInputLength() const;
    unsigned int getFftOutputLength() const;
    unsigned int getHarmonicLength() const;
    unsigned int getPeriodCount() const;
    unsigned long long getNextSampleIndex() const;  // first sample after the window

    double sampleRate;
    unsigned long long index;
    unsigned long long firstSampleIndex;
    unsigned int length;
    unsigned int firstFftOutputSampleIndex;
    unsigned int firstHarmonicSampleIndex;
    double exactPeriodLength;
    double frequency;
    double dFrequency;
    unsigned int fftInputLength;
    unsigned int fftOutputLength;
    unsigned int harmonicLength;
    unsigned int periodCount;
};

#endif
