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
};

template <typename PhaseShiftOf>
unsigned long long PowerPeriodResultsQueueItem::addSamples(unsigned long long sampleIndex,
                                                           unsigned long long lastSampleIndex,
                                                           PhaseShiftOf phaseShiftOf) {
    // The inner loop runs the positions that neither spawn nor end the item
    // (its test lets exactly those through) and calls nothing, so the phase
    // stays in a register; the position that does either is fed through the
    // member operations.
    const double length = lengthInPeriods;
    const double advance = advanceBy;
    const unsigned long long first = firstSampleIndex;
    const double firstShare = firstSampleFractionToUse;
    double current = phase;
    unsigned long long processed = samplesProcessed;
    bool spawned = static_cast<bool>(nextItem);
    while (sampleIndex <= lastSampleIndex) {
        double phaseShift = 0.0;
        for (; sampleIndex <= lastSampleIndex; ++sampleIndex) {
            phaseShift = phaseShiftOf(sampleIndex);
            const double reached = current + phaseShift;
            if (!((spawned || reached < advance) && length > reached)) {
                break;
            }
            current = current + (sampleIndex == first ? phaseShift * firstShare : phaseShift);
            processed = processed + 1;
        }
        phase = current;
        samplesProcessed = processed;
        if (sampleIndex > lastSampleIndex) {
            break;
        }
        addSampleWithPhaseShift(sampleIndex, phaseShift);
        if (lengthCalculated) {
            return sampleIndex + 1;
        }
        spawned = static_cast<bool>(nextItem);
        current = phase;
        processed = samplesProcessed;
        ++sampleIndex;
    }
    return sampleIndex;
}

#endif
