// The aggregator's flat interface: each function opens the guard, forwards to
// the aggregator and lets the guard map exceptions to status codes.
#include "powerquality/IntervalAggregatorApi.h"

#include <stdexcept>

#include "flat/FlatGuard.h"
#include "powerquality/IntervalAggregator.h"

namespace {

IntervalAggregator& aggregatorOf(IntervalAggregatorHandle handle) {
    return powerquality::objectOf<IntervalAggregator>(handle, "null aggregator handle");
}

template <typename T>
T& required(T* pointer) {
    return powerquality::requiredOr(pointer, "null out-parameter");
}

}  // namespace

IntervalAggregatorHandle intervalAggregator_create(int valueCount, double clockOffset) {
    return powerquality::createdOrNull<IntervalAggregatorHandle>(
        [&] { return new IntervalAggregator(valueCount, clockOffset); });
}

int32_t intervalAggregator_destroy(IntervalAggregatorHandle aggregator) {
    return powerquality::destroyed<IntervalAggregator>(aggregator);
}

int32_t intervalAggregator_getValueCount(IntervalAggregatorHandle aggregator, int* valueCount) {
    return powerquality::guarded([&] { required(valueCount) = aggregatorOf(aggregator).getValueCount(); });
}

int32_t intervalAggregator_setMeanAggregated(IntervalAggregatorHandle aggregator, int valueIndex, bool mean) {
    return powerquality::guarded([&] { aggregatorOf(aggregator).setMeanAggregated(valueIndex, mean); });
}

int32_t intervalAggregator_getMeanAggregated(IntervalAggregatorHandle aggregator, int valueIndex, bool* mean) {
    return powerquality::guarded([&] {
        const IntervalAggregator& a = aggregatorOf(aggregator);
        required(mean) = a.isMeanAggregated(valueIndex);
    });
}

int32_t intervalAggregator_addWindow(IntervalAggregatorHandle aggregator, double startTime, double endTime,
                                     const double* values, bool flagged) {
    return powerquality::guarded([&] { aggregatorOf(aggregator).addWindow(startTime, endTime, values, flagged); });
}

int32_t intervalAggregator_addWindows(IntervalAggregatorHandle aggregator, int count, const double* startTimes,
                                      const double* endTimes, const double* values, const bool* flags) {
    return powerquality::guarded(
        [&] { aggregatorOf(aggregator).addWindows(count, startTimes, endTimes, values, flags); });
}

int32_t intervalAggregator_flush(IntervalAggregatorHandle aggregator) {
    return powerquality::guarded([&] { aggregatorOf(aggregator).flush(); });
}

int32_t intervalAggregator_getThreeSecondIntervals(IntervalAggregatorHandle aggregator, int capacity, int* count,
                                                   IntervalAggregate* records, double* values) {
    return powerquality::guarded([&] {
        int& taken = required(count);  // checked before anything is taken
        taken = aggregatorOf(aggregator).getThreeSecondIntervals(capacity, records, values);
    });
}

int32_t intervalAggregator_getTenMinuteIntervals(IntervalAggregatorHandle aggregator, int capacity, int* count,
                                                 IntervalAggregate* records, double* values) {
    return powerquality::guarded([&] {
        int& taken = required(count);
        taken = aggregatorOf(aggregator).getTenMinuteIntervals(capacity, records, values);
    });
}

int32_t intervalAggregator_getPendingCounts(IntervalAggregatorHandle aggregator, int* threeSecondCount,
                                            int* tenMinuteCount) {
    return powerquality::guarded([&] {
        const IntervalAggregator& a = aggregatorOf(aggregator);
        required(tenMinuteCount);
        required(threeSecondCount) = a.getPendingThreeSecondCount();
        *tenMinuteCount = a.getPendingTenMinuteCount();
    });
}

int32_t intervalAggregator_getTwoHourIntervals(IntervalAggregatorHandle aggregator, int capacity, int* count,
                                               IntervalAggregate* records, double* values) {
    return powerquality::guarded([&] {
        int& taken = required(count);
        taken = aggregatorOf(aggregator).getTwoHourIntervals(capacity, records, values);
    });
}

int32_t intervalAggregator_getPendingTwoHourCount(IntervalAggregatorHandle aggregator, int* count) {
    return powerquality::guarded([&] { required(count) = aggregatorOf(aggregator).getPendingTwoHourCount(); });
}
