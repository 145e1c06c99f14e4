/* The flat interface of the voltage event detector (dips, swells and
 * interruptions; see VoltageEventDetector.h for the rules it applies). For C
 * programs and foreign-function layers; compiles as C11 and as C++.
 *
 * Status codes as in PowerModuleApi.h: 0 success, 1 any failure (a rejected
 * argument such as a NaN RMS value, thresholds out of order or a time that
 * goes back; a null handle, out-parameter or array; a negative count or
 * capacity; an allocation failure). On a non-zero status nothing has changed
 * and nothing is written through the out-parameters.
 *
 * Typical use, after each getPeriodResults of a module:
 *   VoltageEventDetectorHandle d = voltageEventDetector_create(230.0, 3);
 *   voltageEventDetector_addPeriodResults(d, records, count);
 *   VoltageEvent events[16]; int n;
 *   voltageEventDetector_getEvents(d, 16, &n, events);
 * and at the end of the data voltageEventDetector_getRunningEvents, then
 * voltageEventDetector_closeRunningEvents and a last getEvents.
 *
 * A handle is valid from voltageEventDetector_create to
 * voltageEventDetector_destroy and is used from one thread at a time. */
#ifndef POWERQUALITY_VOLTAGEEVENTDETECTORAPI_H
#define POWERQUALITY_VOLTAGEEVENTDETECTORAPI_H

#include <stdint.h>

#include "powerquality/Export.h"
#include "powerquality/PowerResultsC.h"
#include "powerquality/VoltageEvent.h"

#ifdef __cplusplus
#include "powerquality/PowerResults.h"
extern "C" {
#endif

/* Opaque detector handle: points to a VoltageEventDetector. */
typedef struct VoltageEventDetectorHandleTag* VoltageEventDetectorHandle;

/* A detector for phasesCount phases (1 to 32) and the declared input voltage
 * in volts, with the default thresholds; null when the declared voltage is not
 * positive and finite, the phase count is out of range or memory runs out. */
POWERQUALITY_API VoltageEventDetectorHandle voltageEventDetector_create(double declaredVoltage, int phasesCount);
/* Destroys a detector; a null handle is ignored. Always 0. */
POWERQUALITY_API int32_t voltageEventDetector_destroy(VoltageEventDetectorHandle detector);

/* Thresholds in percent of the declared voltage: dip [90], swell [110],
 * interruption [5] and hysteresis [2]; rejected unless
 * 0 <= interruption < dip < swell, hysteresis >= 0 and
 * dip + hysteresis <= swell - hysteresis. */
POWERQUALITY_API int32_t voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(
    VoltageEventDetectorHandle detector, double dip, double swell, double interruption, double hysteresis);
POWERQUALITY_API int32_t voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(
    VoltageEventDetectorHandle detector, double* dip, double* swell, double* interruption, double* hysteresis);

/* Start stamps after IEC 61000-4-30 Ed. 3 (see VoltageEventDetector.h): the
 * start of the first value's window, taken from the value valuesPerWindow
 * values before it (2 for Urms(1/2)); 0, the default, stamps the end of the
 * first value beyond the threshold. Rejected outside 0 to 64. */
POWERQUALITY_API int32_t voltageEventDetector_setWindowStartStamps(VoltageEventDetectorHandle detector,
                                                                   int valuesPerWindow);
POWERQUALITY_API int32_t voltageEventDetector_getWindowStartStamps(VoltageEventDetectorHandle detector,
                                                                   int* valuesPerWindow);

/* itemCount items exactly as getPeriodResults hands them out: phasesCount + 1
 * records each, the total record first. The whole batch is checked first and
 * rejected as a whole. */
POWERQUALITY_API int32_t voltageEventDetector_addPeriodResults(VoltageEventDetectorHandle detector,
                                                               const PowerResultsPeriod* records, int itemCount);
/* One RMS value per phase (phasesCount doubles) with its time in seconds. */
POWERQUALITY_API int32_t voltageEventDetector_addRmsValues(VoltageEventDetectorHandle detector, double time,
                                                           const double* rmsVoltages);

/* Takes up to capacity finished events, in the order they ended; *count is
 * the number written to events. Call until *count < capacity to drain. */
POWERQUALITY_API int32_t voltageEventDetector_getEvents(VoltageEventDetectorHandle detector, int capacity, int* count,
                                                        VoltageEvent* events);
/* Copies up to capacity events still running (never more than 3), their
 * duration up to the latest value; they stay running. */
POWERQUALITY_API int32_t voltageEventDetector_getRunningEvents(VoltageEventDetectorHandle detector, int capacity,
                                                               int* count, VoltageEvent* events);
/* Ends the running events at the time of the latest value and queues them for
 * getEvents (at the end of the data). */
POWERQUALITY_API int32_t voltageEventDetector_closeRunningEvents(VoltageEventDetectorHandle detector);

#ifdef __cplusplus
}
#endif

#endif
