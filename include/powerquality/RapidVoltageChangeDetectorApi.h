/* The flat interface of the rapid voltage change (RVC) detector of Class A
 * instruments (see RapidVoltageChangeDetector.h for the rules it applies),
 * and its event record. For C programs and foreign-function layers; compiles
 * as C11 and as C++.
 *
 * RapidVoltageChange: one RVC event, read by layout, 56 bytes, little-endian,
 * doubles aligned to 8 on every target.
 *
 * Offset  Type     Field
 *   0     uint32   phases            bit p set when phase p left the threshold band during the event
 *   4     uint32   reserved          0
 *   8     double   startTime         seconds, on the time base of the values
 *  16     double   duration          seconds
 *  24     double   deltaUmax         volts: largest |value - mean before| of any phase
 *  32     double   deltaUss          volts, signed: mean after - mean before, of the phase where it
 *                                    is largest in size
 *  40     double   deltaUmaxPercent  deltaUmax in percent of the declared voltage
 *  48     double   deltaUssPercent   deltaUss in percent of the declared voltage
 *
 * Status codes as in PowerModuleApi.h: 0 success, 1 any failure (a rejected
 * argument, a null handle, out-parameter or array, a negative count or
 * capacity, an allocation failure). On a non-zero status nothing has changed
 * and nothing is written through the out-parameters. A handle is valid from
 * rapidVoltageChangeDetector_create to rapidVoltageChangeDetector_destroy and
 * is used from one thread at a time. */
#ifndef POWERQUALITY_RAPIDVOLTAGECHANGEDETECTORAPI_H
#define POWERQUALITY_RAPIDVOLTAGECHANGEDETECTORAPI_H

#include <stddef.h>
#include <stdint.h>

#include "powerquality/Export.h"
#include "powerquality/PowerResultsC.h"

#ifdef __cplusplus
#include "powerquality/PowerResults.h"
extern "C" {
#endif

typedef struct RapidVoltageChange {
    uint32_t phases;
    uint32_t reserved;
    POWERQUALITY_ALIGN8 double startTime;
    POWERQUALITY_ALIGN8 double duration;
    POWERQUALITY_ALIGN8 double deltaUmax;
    POWERQUALITY_ALIGN8 double deltaUss;
    POWERQUALITY_ALIGN8 double deltaUmaxPercent;
    POWERQUALITY_ALIGN8 double deltaUssPercent;
} RapidVoltageChange;

#ifdef __cplusplus
#define POWERQUALITY_RVC_ASSERT static_assert
#else
#define POWERQUALITY_RVC_ASSERT _Static_assert
#endif
POWERQUALITY_RVC_ASSERT(sizeof(RapidVoltageChange) == 56, "RapidVoltageChange is 56 bytes");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, phases) == 0, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, reserved) == 4, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, startTime) == 8, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, duration) == 16, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, deltaUmax) == 24, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, deltaUss) == 32, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, deltaUmaxPercent) == 40, "RapidVoltageChange layout");
POWERQUALITY_RVC_ASSERT(offsetof(RapidVoltageChange, deltaUssPercent) == 48, "RapidVoltageChange layout");
#undef POWERQUALITY_RVC_ASSERT

/* Opaque detector handle: points to a RapidVoltageChangeDetector. */
typedef struct RapidVoltageChangeDetectorHandleTag* RapidVoltageChangeDetectorHandle;

/* A detector for phasesCount phases (1 to 32), the declared input voltage in
 * volts and a steady state of steadyStateLength values (100 at 50 Hz, 120 at
 * 60 Hz; 1 to 1000000), with the default thresholds; null when an argument
 * is out of range or memory runs out. */
POWERQUALITY_API RapidVoltageChangeDetectorHandle rapidVoltageChangeDetector_create(double declaredVoltage,
                                                                                    int phasesCount,
                                                                                    int steadyStateLength);
/* Destroys a detector; a null handle is ignored. Always 0. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_destroy(RapidVoltageChangeDetectorHandle detector);

/* RVC threshold [5] and hysteresis [2.5] in percent of the declared voltage;
 * rejected unless 0 < threshold and 0 <= hysteresis < threshold. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_setThresholdsInPercentOfDeclaredVoltage(
    RapidVoltageChangeDetectorHandle detector, double threshold, double hysteresis);
POWERQUALITY_API int32_t rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage(
    RapidVoltageChangeDetectorHandle detector, double* threshold, double* hysteresis);
/* Dip [90] and swell [110] thresholds in percent of the declared voltage: an
 * RVC during which a value crosses one is discarded, and detection restarts
 * with a fresh steady state after the dip or swell. Rejected unless
 * 0 <= dip < swell. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_setDipSwellThresholdsInPercentOfDeclaredVoltage(
    RapidVoltageChangeDetectorHandle detector, double dip, double swell);
POWERQUALITY_API int32_t rapidVoltageChangeDetector_getDipSwellThresholdsInPercentOfDeclaredVoltage(
    RapidVoltageChangeDetectorHandle detector, double* dip, double* swell);
/* Values per window of the start stamps [2]: 0 to 64, as for the voltage
 * event detector. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_setWindowStartStamps(RapidVoltageChangeDetectorHandle detector,
                                                                         int valuesPerWindow);
POWERQUALITY_API int32_t rapidVoltageChangeDetector_getWindowStartStamps(RapidVoltageChangeDetectorHandle detector,
                                                                         int* valuesPerWindow);

/* itemCount items exactly as getPeriodResults hands them out: phasesCount + 1
 * records each, the total record first; the batch is checked whole first. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_addPeriodResults(RapidVoltageChangeDetectorHandle detector,
                                                                     const PowerResultsPeriod* records,
                                                                     int itemCount);
/* One RMS value per phase (phasesCount doubles) with its time in seconds. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_addRmsValues(RapidVoltageChangeDetectorHandle detector,
                                                                 double time, const double* rmsVoltages);

/* Takes up to capacity finished events, in the order they ended; *count is
 * the number written. Call until *count < capacity to drain. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_getEvents(RapidVoltageChangeDetectorHandle detector, int capacity,
                                                              int* count, RapidVoltageChange* events);
/* Copies the event still running, if any and capacity allows (*count 0 or
 * 1), with its figures up to the latest value. */
POWERQUALITY_API int32_t rapidVoltageChangeDetector_getRunningEvents(RapidVoltageChangeDetectorHandle detector,
                                                                     int capacity, int* count,
                                                                     RapidVoltageChange* events);

#ifdef __cplusplus
}
#endif

#endif
