/* The flat interface of the frequency tracker (see FrequencyTracker.h for the
 * method, its delay and its choices): plain functions that take a tracker
 * handle first and return a status code, for C programs and foreign-function
 * layers. Compiles as C11 and as C++.
 *
 * Status codes, as for the module's flat interface:
 *   0  success
 *   1  any failure: an argument the tracker rejects (a frequency range that
 *      does not contain the nominal frequency, a negative loss level, a
 *      negative count or capacity), a null handle, out-parameter or array, or
 *      an allocation failure; nothing is changed and nothing is written
 * A handle is valid from frequencyTracker_create to frequencyTracker_destroy;
 * calls on one handle are made from one thread or serialised by the caller. */
#ifndef POWERQUALITY_FREQUENCYTRACKERAPI_H
#define POWERQUALITY_FREQUENCYTRACKERAPI_H

#include <stdbool.h>
#include <stdint.h>

#include "powerquality/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque tracker handle: points to a FrequencyTracker. */
typedef struct FrequencyTrackerHandleTag* FrequencyTrackerHandle;

/* One 10-second frequency: the number of whole cycles that lie inside the
 * interval divided by their cumulative duration. Positions are caller indices
 * (sample positions times the divisor), as in the segments. 32 bytes on every
 * target. */
typedef struct FrequencyTrackerInterval {
    POWERQUALITY_ALIGN8 uint64_t firstSampleIndex; /* caller index where the interval starts */
    POWERQUALITY_ALIGN8 uint64_t endSampleIndex;   /* caller index just after its end */
    POWERQUALITY_ALIGN8 double frequency;          /* Hz; 0 when no whole cycle was measured */
    int32_t cycleCount;                            /* whole cycles measured inside the interval */
    bool flag;                                     /* true when the grid was tracked over the whole interval */
} FrequencyTrackerInterval;

/* A tracker for samples at sampleRate (samples per second) of a grid of the
 * given nominal frequency (Hz), handing out caller indices in units of
 * 1/sampleIndexDivisor of a sample. Null when the arguments make no sense
 * (see FrequencyTracker's constructor) or allocation fails. */
POWERQUALITY_API FrequencyTrackerHandle frequencyTracker_create(double sampleRate, double nominalFrequency,
                                                                int sampleIndexDivisor);
/* Destroys a tracker; a null handle is ignored. Always 0. */
POWERQUALITY_API int32_t frequencyTracker_destroy(FrequencyTrackerHandle tracker);

/* Settings: the allowed frequency range in Hz and the loss level (RMS of the
 * fundamental in the samples' unit; 0 selects the automatic level). */
POWERQUALITY_API int32_t frequencyTracker_setFrequencyRange(FrequencyTrackerHandle tracker, double minFrequency,
                                                            double maxFrequency);
POWERQUALITY_API int32_t frequencyTracker_getFrequencyRange(FrequencyTrackerHandle tracker, double* minFrequency,
                                                            double* maxFrequency);
POWERQUALITY_API int32_t frequencyTracker_setLossLevel(FrequencyTrackerHandle tracker, double rms);
POWERQUALITY_API int32_t frequencyTracker_getLossLevel(FrequencyTrackerHandle tracker, double* rms);

/* The next count samples of the reference voltage. */
POWERQUALITY_API int32_t frequencyTracker_addSamples(FrequencyTrackerHandle tracker, const float* samples, int count);

/* Takes up to capacity closed segments, oldest first, in the form that
 * scheduleForPeriodCalculation takes them; *count is the number taken. */
POWERQUALITY_API int32_t frequencyTracker_getSegments(FrequencyTrackerHandle tracker, int capacity, int* count,
                                                      uint64_t* firstSampleIndices, int* lengths,
                                                      double* frequencies, bool* flags);
/* Takes up to capacity finished 10-second intervals, oldest first. */
POWERQUALITY_API int32_t frequencyTracker_getTenSecondFrequencies(FrequencyTrackerHandle tracker, int capacity,
                                                                  int* count, FrequencyTrackerInterval* intervals);

/* The latest frequency estimate in Hz (the last good one while the reference
 * is lost) and whether the tracker is locked on the grid now. */
POWERQUALITY_API int32_t frequencyTracker_getFrequency(FrequencyTrackerHandle tracker, double* frequency);
POWERQUALITY_API int32_t frequencyTracker_isLocked(FrequencyTrackerHandle tracker, bool* locked);
/* Samples added so far: the position of the next sample. */
POWERQUALITY_API int32_t frequencyTracker_getSamplePosition(FrequencyTrackerHandle tracker, uint64_t* position);

#ifdef __cplusplus
}
#endif

#endif
