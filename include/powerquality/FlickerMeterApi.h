/* The flat interface of the flickermeter (see FlickerMeter.h for the chain,
 * its settling time and its handling of bad input): plain functions that
 * take a meter handle first and return a status code, for C programs and
 * foreign-function layers. Compiles as C11 and as C++.
 *
 * Status codes, as for the module's flat interface:
 *   0  success
 *   1  any failure: a null handle or out-parameter, a null array with a
 *      positive count or capacity, a negative count
 *      or capacity, a clock offset set after the first sample or not finite,
 *      an allocation failure; nothing is changed and nothing is written;
 *      getLastErrorMessage gives the reason.
 *
 * Typical use:
 *   FlickerMeterHandle m = flickerMeter_create(10240.0, 50.0, 230.0);
 *   flickerMeter_addSamples(m, block, n);
 *   double pst[16]; int32_t count;
 *   flickerMeter_getShortTermSeverities(m, 16, &count, pst);
 *   flickerMeter_destroy(m);
 * A handle is valid from flickerMeter_create to flickerMeter_destroy; calls
 * on one handle are made from one thread or serialised by the caller. */
#ifndef POWERQUALITY_FLICKERMETERAPI_H
#define POWERQUALITY_FLICKERMETERAPI_H

#include <stdbool.h>
#include <stdint.h>

#include "powerquality/Export.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque meter handle: points to a FlickerMeter. */
typedef struct FlickerMeterHandleTag* FlickerMeterHandle;

/* A meter for samples at sampleRate (per second) of a supply of the given
 * nominal frequency (Hz) with the lamp of lampVoltage (230 or 120 V). Null
 * when the arguments make no sense (see FlickerMeter's constructor) or
 * allocation fails. */
POWERQUALITY_API FlickerMeterHandle flickerMeter_create(double sampleRate, double nominalFrequency,
                                                        double lampVoltage);
/* Destroys a meter; a null handle is ignored. Always 0. */
POWERQUALITY_API int32_t flickerMeter_destroy(FlickerMeterHandle meter);

/* Absolute time in seconds of the first sample, so that the 10-minute
 * intervals end on whole 10 minutes of that clock; before the first sample
 * only. Without it intervals count from the first sample. */
POWERQUALITY_API int32_t flickerMeter_setClockOffset(FlickerMeterHandle meter, double clockOffset);
/* The 10-minute clock interval k ([600 k, 600 (k + 1)) absolute seconds)
 * that holds the first sample: the first Pst is interval k's. */
POWERQUALITY_API int32_t flickerMeter_getFirstClockInterval(FlickerMeterHandle meter, int64_t* clockInterval);

/* The next count samples of the voltage, in any scale. */
POWERQUALITY_API int32_t flickerMeter_addSamples(FlickerMeterHandle meter, const float* samples, int32_t count);

/* The largest Pinst since the previous call (the first call: since the meter
 * settled), then it starts again; NaN when there was none. */
POWERQUALITY_API int32_t flickerMeter_getInstantaneousMaximum(FlickerMeterHandle meter, double* pinstMax);
/* The Pst of every 10-minute interval finished since the previous call,
 * oldest first, up to capacity; *count is the number taken. */
POWERQUALITY_API int32_t flickerMeter_getShortTermSeverities(FlickerMeterHandle meter, int32_t capacity,
                                                             int32_t* count, double* pst);
/* The Plt of every 2-hour block of 12 intervals finished since the previous
 * call, oldest first, up to capacity; *count is the number taken. */
POWERQUALITY_API int32_t flickerMeter_getLongTermSeverities(FlickerMeterHandle meter, int32_t capacity,
                                                            int32_t* count, double* plt);
/* The same two takes, and gaps[i] whether value i's interval (for Plt: any
 * of its block's intervals) held a missing sample (NaN or infinite) or lost
 * Pinst values to one; both arrays hold capacity values. */
POWERQUALITY_API int32_t flickerMeter_getShortTermSeveritiesWithGaps(FlickerMeterHandle meter, int32_t capacity,
                                                                     int32_t* count, double* pst, bool* gaps);
POWERQUALITY_API int32_t flickerMeter_getLongTermSeveritiesWithGaps(FlickerMeterHandle meter, int32_t capacity,
                                                                    int32_t* count, double* plt, bool* gaps);
/* Samples added so far: the position of the next sample. */
POWERQUALITY_API int32_t flickerMeter_getSamplePosition(FlickerMeterHandle meter, uint64_t* position);

#ifdef __cplusplus
}
#endif

#endif
