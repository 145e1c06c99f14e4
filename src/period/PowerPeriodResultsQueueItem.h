// PowerPeriodResultsQueueItem: the span of one period value, a run of
// positions covering lengthInPeriods cycles of the tracked fundamental, with
// fractional first and last positions. Positions are fed one at a time with
// the phase advance of each; the item spawns its successor where its phase
// crosses advanceBy and knows its last position once the phase reaches
// lengthInPeriods. Phases are counted in cycles.
#ifndef POWERQUALITY_PERIOD_POWERPERIODRESULTSQUEUEITEM_H
#define POWERQUALITY_PERIOD_POWERPERIODRESULTSQUEUEITEM_H

#include <memory>

#include "powerquality/Export.h"

class POWERQUALITY_API PowerPeriodResultsQueueItem {
public:
    PowerPeriodResultsQueueItem(unsigned long long itemIndex, unsigned long long firstSampleIndex,
                                double firstSampleFractionToUse, double lengthInPeriods, double advanceBy);

    // Feeds position sampleIndex, which advances the phase by phaseShift
    // cycles (scaled by the first share on the first position). The spawn
    // test comes before the end test; both use the full phaseShift.
    void addSampleWithPhaseShift(unsigned long long sampleIndex, double phaseShift);
    // Feeds the positions from sampleIndex to lastSampleIndex in turn, as
    // addSampleWithPhaseShift does, with the phase advance phaseShiftOf(p) of
    // each, and stops after the position that ends the item. Returns the
    // position after the last one fed. The phase stays in a register on the
    // way, which a call per position cannot do.
    template <typename PhaseShiftOf>
    unsigned long long addSamples(unsigned long long sampleIndex, unsigned long long lastSampleIndex,
                                  PhaseShiftOf phaseShiftOf);

    unsigned long long getItemIndex() const;
    unsigned long long getFirstSampleIndex() const;
    unsigned long long getLastRequiredSampleIndex() const;
    double getFirstSampleFractionToUse() const;
    double getLastSampleFractionToUse() const;
    double getTotalLength() const;
    unsigned long long getNextSampleIndexToProcess() const;
    std::shared_ptr<PowerPeriodResultsQueueItem> getNextItem() const;
    bool isLengthCalculated() const;
    bool isValueCalculated() const;

    unsigned long long itemIndex;
    unsigned long long firstSampleIndex;
    unsigned long long lastRequiredSampleIndex;
    double firstSampleFractionToUse;
    double lastSampleFractionToUse;
    double lengthInPeriods;
    double advanceBy;
    std::shared_ptr<PowerPeriodResultsQueueItem> nextItem;
    bool lengthCalculated;
    bool valueCalculated;
    double totalLength;
    unsigned long long samplesProcessed;
    double phase;

private:
    void spawnNextItem(unsigned long long sampleIndex, double phaseShift);
    void finish(unsigned long long sampleIndex, double phaseShift);
};

template <typename PhaseShiftOf>
unsigned long long PowerPeriodResultsQueueItem::addSamples(unsigned long long sampleIndex,
                                                           unsigned long long lastSampleIndex,
                                                           PhaseShiftOf phaseShiftOf) {
    double current = phase;
    unsigned long long processed = samplesProcessed;
    for (; sampleIndex <= lastSampleIndex; ++sampleIndex) {
        const double phaseShift = phaseShiftOf(sampleIndex);
        if (!nextItem && current + phaseShift >= advanceBy) {
            phase = current;
            spawnNextItem(sampleIndex, phaseShift);
        }
        if (!(lengthInPeriods > current + phaseShift)) {
            phase = current;
            samplesProcessed = processed;
            finish(sampleIndex, phaseShift);
            return sampleIndex + 1;
        }
        current = current + (sampleIndex == firstSampleIndex ? phaseShift * firstSampleFractionToUse : phaseShift);
        processed = processed + 1;
    }
    phase = current;
    samplesProcessed = processed;
    return sampleIndex;
}

#endif
