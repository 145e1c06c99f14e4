#include "period/PowerPeriodResultsQueueItem.h"

#include <cmath>
#include <utility>

#include "maths/NumericPolicy.h"

PowerPeriodResultsQueueItem::PowerPeriodResultsQueueItem(unsigned long long itemIndex,
                                                         unsigned long long firstSampleIndex,
                                                         double firstSampleFractionToUse, double lengthInPeriods,
                                                         double advanceBy)
    : itemIndex(itemIndex),
      firstSampleIndex(firstSampleIndex),
      lastRequiredSampleIndex(firstSampleIndex),
      firstSampleFractionToUse(firstSampleFractionToUse),
      lastSampleFractionToUse(0.0),
      lengthInPeriods(lengthInPeriods),
      advanceBy(advanceBy),
      nextItem(),
      lengthCalculated(false),
      valueCalculated(false),
      totalLength(0.0),
      samplesProcessed(0),
      phase(0.0) {}

// Successors that only this chain holds are taken off it one at a time:
// each is destroyed with an empty successor pointer, so no destructor runs
// inside another. A successor someone else still holds ends the walk.
PowerPeriodResultsQueueItem::~PowerPeriodResultsQueueItem() {
    std::shared_ptr<PowerPeriodResultsQueueItem> next = std::move(nextItem);
    while (next && next.use_count() == 1) {
        std::shared_ptr<PowerPeriodResultsQueueItem> after = std::move(next->nextItem);
        next = std::move(after);
    }
}

void PowerPeriodResultsQueueItem::addSampleWithPhaseShift(unsigned long long sampleIndex, double phaseShift) {
    // The successor is spawned before the end test so that an item whose
    // advance equals its length still has one when it finishes.
    if (!nextItem && phase + phaseShift >= advanceBy) {
        // Positions after this one until the crossing, and the share of the
        // crossing position that lies before it.
        double wholePositions = 0.0;
        const double beforeCrossing = std::modf((advanceBy - phase) / phaseShift, &wholePositions);
        nextItem = std::make_shared<PowerPeriodResultsQueueItem>(
            itemIndex + 1, sampleIndex + powerquality::toUnsigned64(wholePositions), 1.0 - beforeCrossing,
            lengthInPeriods, advanceBy);
    }

    if (lengthInPeriods > phase + phaseShift) {
        // Only the share of the first position that belongs to this item
        // advances its phase; the tests above see the whole position.
        if (sampleIndex == firstSampleIndex) {
            phase = phase + phaseShift * firstSampleFractionToUse;
        } else {
            phase = phase + phaseShift;
        }
        samplesProcessed = samplesProcessed + 1;
        return;
    }

    lastRequiredSampleIndex = sampleIndex;
    lastSampleFractionToUse = (lengthInPeriods - phase) / phaseShift;
    // Whole positions strictly between first and last, plus the two shares.
    // The count is taken unsigned, as the period-value integration counts it.
    const unsigned long long innerPositions = sampleIndex - firstSampleIndex - 1;
    totalLength = static_cast<double>(innerPositions) + firstSampleFractionToUse + lastSampleFractionToUse;
    lengthCalculated = true;
    phase = lengthInPeriods;
}

unsigned long long PowerPeriodResultsQueueItem::getItemIndex() const { return itemIndex; }

unsigned long long PowerPeriodResultsQueueItem::getFirstSampleIndex() const { return firstSampleIndex; }

unsigned long long PowerPeriodResultsQueueItem::getLastRequiredSampleIndex() const { return lastRequiredSampleIndex; }

double PowerPeriodResultsQueueItem::getFirstSampleFractionToUse() const { return firstSampleFractionToUse; }

double PowerPeriodResultsQueueItem::getLastSampleFractionToUse() const { return lastSampleFractionToUse; }

double PowerPeriodResultsQueueItem::getTotalLength() const { return totalLength; }

// The end position is not counted as processed, so after the end this is the
// last position again.
unsigned long long PowerPeriodResultsQueueItem::getNextSampleIndexToProcess() const {
    return firstSampleIndex + samplesProcessed;
}

std::shared_ptr<PowerPeriodResultsQueueItem> PowerPeriodResultsQueueItem::getNextItem() const { return nextItem; }

bool PowerPeriodResultsQueueItem::isLengthCalculated() const { return lengthCalculated; }

bool PowerPeriodResultsQueueItem::isValueCalculated() const { return valueCalculated; }
