// PowerPeriodResultsQueueItem: the span of one period value, a run of
// positions covering lengthInPeriods cycles of the tracked fundamental, with
// fractional first and last positions. Positions are fed one at a time with
// the phase advance of each; the item spawns its successor where its phase
// crosses advanceBy and knows its last position once the phase reaches
// lengthInPeriods. Phases are counted in cycles.
//
// Each item holds its successor, so unfetched items form a chain as long as
// the queue. The destructor frees the chain behind it one item after the
// other, so that destroying any number of them needs no deeper stack than
// one.
#ifndef POWERQUALITY_PERIOD_POWERPERIODRESULTSQUEUEITEM_H
#define POWERQUALITY_PERIOD_POWERPERIODRESULTSQUEUEITEM_H

#include <memory>

#include "powerquality/Export.h"

class POWERQUALITY_API PowerPeriodResultsQueueItem {
public:
    PowerPeriodResultsQueueItem(unsigned long long itemIndex, unsigned long long firstSampleIndex,
                                double firstSampleFractionToUse, double lengthInPeriods, double advanceBy);
    ~PowerPeriodResultsQueueItem();
    PowerPeriodResultsQueueItem(const PowerPeriodResultsQueueItem&) = default;
    PowerPeriodResultsQueueItem& operator=(const PowerPeriodResultsQueueItem&) = default;

    // Feeds position sampleIndex, which advances the phase by phaseShift
    // cycles (scaled by the first share on the first position). The spawn
    // test comes before the end test; both use the full phaseShift.
    void addSampleWithPhaseShift(unsigned long long sampleIndex, double phaseShift);
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

#endif
