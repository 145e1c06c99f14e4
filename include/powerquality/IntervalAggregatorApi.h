/* The flat interface of the interval aggregator (150/180-cycle and 10-minute
 * values from windowed values; see IntervalAggregator.h for the rules). For
 * C programs and foreign-function layers; compiles as C11 and as C++.
 *
 * Status codes as in PowerModuleApi.h: 0 success, 1 any failure (a rejected
 * argument: a value count below 1, a value index out of range, a time or
 * value that is not finite, a window that ends before it starts or starts
 * before the previous one; a null handle, out-parameter or array; a negative
 * capacity; an allocation failure). On a non-zero status nothing has changed
 * and nothing is written through the out-parameters; getLastErrorMessage
 * gives the reason.
 *
 * Typical use, one window at a time (three values: the RMS voltages):
 *   IntervalAggregatorHandle a = intervalAggregator_create(3, clockOffset);
 *   intervalAggregator_addWindow(a, start, end, rms, false);
 *   IntervalAggregate records[8]; double values[8 * 3]; int n;
 *   intervalAggregator_getThreeSecondIntervals(a, 8, &n, records, values);
 * and at the end of the data intervalAggregator_flush, then a last get of
 * each stream. Record k's values are values[k * valueCount + i].
 *
 * A handle is valid from intervalAggregator_create to
 * intervalAggregator_destroy and is used from one thread at a time. */
#ifndef POWERQUALITY_INTERVALAGGREGATORAPI_H
#define POWERQUALITY_INTERVALAGGREGATORAPI_H

#include <stdbool.h>
#include <stdint.h>

#include "powerquality/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque aggregator handle: points to an IntervalAggregator. */
typedef struct IntervalAggregatorHandleTag* IntervalAggregatorHandle;

/* The frame of one aggregated interval; its values travel in a separate
 * array, valueCount doubles per record. 32 bytes on every target. */
typedef struct IntervalAggregate {
    POWERQUALITY_ALIGN8 double startTime;     /* start of the first window, caller's seconds */
    POWERQUALITY_ALIGN8 double endTime;       /* end of the last window, caller's seconds */
    POWERQUALITY_ALIGN8 int64_t clockInterval; /* k of the 10-minute clock interval [600 k, 600 (k + 1)) of
                                                  absolute seconds that holds the first window's start */
    int32_t windowCount;                      /* windows aggregated */
    bool flagged;                             /* any of them flagged */
    bool complete;                            /* 15 windows (150/180-cycle), or the whole clock interval
                                                 from tick to tick (10-minute) */
} IntervalAggregate;

/* An aggregator of valueCount values per window (at least 1); clockOffset is
 * the absolute time in seconds (e.g. since midnight UTC or the Unix epoch) of
 * caller time 0. Null when valueCount < 1, clockOffset is not finite or
 * memory runs out. */
POWERQUALITY_API IntervalAggregatorHandle intervalAggregator_create(int valueCount, double clockOffset);
/* Destroys an aggregator; a null handle is ignored. Always 0. */
POWERQUALITY_API int32_t intervalAggregator_destroy(IntervalAggregatorHandle aggregator);

POWERQUALITY_API int32_t intervalAggregator_getValueCount(IntervalAggregatorHandle aggregator, int* valueCount);
/* Value valueIndex aggregated as an arithmetic mean (true; for signed
 * quantities) or as the root of the mean of the squares (false, the default). */
POWERQUALITY_API int32_t intervalAggregator_setMeanAggregated(IntervalAggregatorHandle aggregator, int valueIndex,
                                                              bool mean);
POWERQUALITY_API int32_t intervalAggregator_getMeanAggregated(IntervalAggregatorHandle aggregator, int valueIndex,
                                                              bool* mean);

/* The next window: its start and end in the caller's seconds, valueCount
 * values and whether it is flagged. */
POWERQUALITY_API int32_t intervalAggregator_addWindow(IntervalAggregatorHandle aggregator, double startTime,
                                                      double endTime, const double* values, bool flagged);
/* count windows at once (values: valueCount doubles per window, window after
 * window; flags may be null: none flagged); refused whole when any is bad. */
POWERQUALITY_API int32_t intervalAggregator_addWindows(IntervalAggregatorHandle aggregator, int count,
                                                       const double* startTimes, const double* endTimes,
                                                       const double* values, const bool* flags);
/* Closes the running intervals of both streams (at the end of the data). */
POWERQUALITY_API int32_t intervalAggregator_flush(IntervalAggregatorHandle aggregator);

/* Takes up to capacity closed intervals of one stream, oldest first: frames
 * into records, capacity * valueCount doubles into values; *count is the
 * number taken. Call until *count < capacity to drain. */
POWERQUALITY_API int32_t intervalAggregator_getThreeSecondIntervals(IntervalAggregatorHandle aggregator, int capacity,
                                                                    int* count, IntervalAggregate* records,
                                                                    double* values);
POWERQUALITY_API int32_t intervalAggregator_getTenMinuteIntervals(IntervalAggregatorHandle aggregator, int capacity,
                                                                  int* count, IntervalAggregate* records,
                                                                  double* values);
/* Takes up to capacity closed 2-hour values (from twelve 10-minute values on
 * the clock; see IntervalAggregator.h), as the other streams. */
POWERQUALITY_API int32_t intervalAggregator_getTwoHourIntervals(IntervalAggregatorHandle aggregator, int capacity,
                                                                int* count, IntervalAggregate* records,
                                                                double* values);
POWERQUALITY_API int32_t intervalAggregator_getPendingTwoHourCount(IntervalAggregatorHandle aggregator, int* count);
/* Closed intervals waiting in each stream. */
POWERQUALITY_API int32_t intervalAggregator_getPendingCounts(IntervalAggregatorHandle aggregator,
                                                             int* threeSecondCount, int* tenMinuteCount);

#ifdef __cplusplus
}
#endif

#endif
