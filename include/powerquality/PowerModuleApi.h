/* The flat interface of libpowerquality: every operation of PowerModule as a
 * plain function that takes a module handle first and returns a status code.
 * For C programs and foreign-function layers (C#, Python ctypes, LabVIEW);
 * compiles as C11 and as C++.
 *
 * Status codes:
 *   0  success
 *   1  any failure other than the two below: an allocation or lock failure,
 *      a call the module rejects (std::invalid_argument), and also a null
 *      handle, a null out-parameter or array, or a negative capacity, which
 *      are refused before anything is touched
 *   2  more windowed results were ready than the capacity given (getResults)
 *   3  a device (GPU) error; the registered error reporter was called with
 *      code 1 and the message first
 * Every failure leaves its message for getLastErrorMessage.
 * On a non-zero status nothing is written through the out-parameters, except
 * by the waveform accessors and getPeriodResults, which fill theirs as they go.
 *
 * A handle is valid from powerModule_create to powerModule_destroy. Calls on
 * one handle follow the threading rules of PowerModule. */
#ifndef POWERQUALITY_POWERMODULEAPI_H
#define POWERQUALITY_POWERMODULEAPI_H

#include <stdbool.h>
#include <stdint.h>

#include "powerquality/Export.h"
#include "powerquality/PowerGridConfigType.h"
#include "powerquality/PowerResultsC.h"
#include "powerquality/Version.h"

#ifdef __cplusplus
#include "powerquality/PowerResults.h"
extern "C" {
#endif

/* Opaque module handle: points to a PowerModule. */
typedef struct PowerModuleHandleTag* PowerModuleHandle;

/* Error reporter: a code (always 1) and a zero-terminated message that is
 * valid only during the call. Runs on the thread of the failing call. */
typedef void (*PowerErrorReporter)(int32_t code, const char* message);

/* The registered reporter; null (reporting off) when the library is loaded. */
POWERQUALITY_API extern PowerErrorReporter reportErrorCallbackFunction;

/* Creates a module with default settings; null if that fails. */
POWERQUALITY_API PowerModuleHandle powerModule_create(void);
/* Destroys a module; a null handle is ignored. Always 0. */
POWERQUALITY_API int32_t powerModule_destroy(PowerModuleHandle module);
/* Replaces the reporter; null switches reporting off. Always 0. Register it
 * before modules are used from other threads. */
POWERQUALITY_API int32_t registerErrorReporter(PowerErrorReporter reporter);

/* The library's version, e.g. "0.2.0" and 200 (major * 10000 + minor * 100 +
 * patch). Both always 0. */
POWERQUALITY_API int32_t getVersionString(const char** version);
POWERQUALITY_API int32_t getVersionNumber(int32_t* version);

/* The message of the last failed flat call on the calling thread (status 1, 2
 * or 3 of any function, this one included), for instance "sample rate must be
 * positive and finite", or "null module handle" and "null out-parameter or
 * array" for the refusals of the flat layer itself. module may be any handle or
 * null: the message belongs to the thread, not to a module. A successful call
 * leaves the message as it is; a thread that has not failed yet reads "".
 * The text stays valid until the same thread's next failing call (at most 511
 * characters). 0, or 1 when message is null. */
POWERQUALITY_API int32_t getLastErrorMessage(PowerModuleHandle module, const char** message);

/* Queries: the value is written through the out-parameter. */
POWERQUALITY_API int32_t getCurrentEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getCurrentsCount(PowerModuleHandle module, unsigned char* value);
POWERQUALITY_API int32_t getFullFftEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getFundamentalPeriodValuesEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getHalfPeriodValuesCount(PowerModuleHandle module, unsigned short* value);
POWERQUALITY_API int32_t getHighestRequestedHarmonic(PowerModuleHandle module, int* value);
POWERQUALITY_API int32_t getInterHarmonicsEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getLineToLineResultsEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getPeriodSymmetricalComponentsEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getPeriodValuesEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getPeriodValuesOverlapInPercent(PowerModuleHandle module, unsigned short* value);
POWERQUALITY_API int32_t getPhasesCount(PowerModuleHandle module, unsigned char* value);
POWERQUALITY_API int32_t getRvcEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getRvcSteadyStateLengthInNumberOfPeriodValues(PowerModuleHandle module, int* value);
POWERQUALITY_API int32_t getRvcThresholdHysteresisInPercentOfThreshold(PowerModuleHandle module, double* value);
POWERQUALITY_API int32_t getRvcThresholdInPercentOfAverage(PowerModuleHandle module, double* value);
POWERQUALITY_API int32_t getSymmetricalComponentsEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getThdEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getThdHighestHarmonic(PowerModuleHandle module, int* value);
POWERQUALITY_API int32_t getVoltagesCount(PowerModuleHandle module, unsigned char* value);
POWERQUALITY_API int32_t getWaveformsEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t getWindowedResultsEnabled(PowerModuleHandle module, bool* value);
POWERQUALITY_API int32_t isAnyResultReady(PowerModuleHandle module, bool* value);

/* Settings: arguments are passed unchanged (the RVC names state the units). */
POWERQUALITY_API int32_t setBufferLength(PowerModuleHandle module, unsigned int length);
POWERQUALITY_API int32_t setCurrentEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setFullFftEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setFundamentalPeriodValuesEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setGridConfigType(PowerModuleHandle module, PowerGridConfigType type);
POWERQUALITY_API int32_t setHalfPeriodValuesCount(PowerModuleHandle module, unsigned short count);
POWERQUALITY_API int32_t setHighestRequestedHarmonic(PowerModuleHandle module, int harmonic);
POWERQUALITY_API int32_t setInterHarmonicsEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setLineToLineResultsEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setPeriodCount(PowerModuleHandle module, unsigned short count);
POWERQUALITY_API int32_t setPeriodSymmetricalComponentsEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setPeriodValuesEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setPeriodValuesOverlapInPercent(PowerModuleHandle module, unsigned short percent);
POWERQUALITY_API int32_t setRvcEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setRvcSteadyStateLengthInNumberOfPeriodValues(PowerModuleHandle module, int periodValues);
POWERQUALITY_API int32_t setRvcThresholdHysteresisInPercentOfThreshold(PowerModuleHandle module, double percentOfThreshold);
POWERQUALITY_API int32_t setRvcThresholdInPercentOfAverage(PowerModuleHandle module, double percentOfAverage);
POWERQUALITY_API int32_t setSampleRate(PowerModuleHandle module, double sampleRate, int sampleIndexDivisor);
POWERQUALITY_API int32_t setStaticFrequency(PowerModuleHandle module, double frequency, double tolerance);
POWERQUALITY_API int32_t setSymmetricalComponentsEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setThdEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t setThdHighestHarmonic(PowerModuleHandle module, int harmonic);
POWERQUALITY_API int32_t setVariableFrequency(PowerModuleHandle module, double minFrequency, double maxFrequency);
POWERQUALITY_API int32_t setWaveformsEnabled(PowerModuleHandle module, bool enabled);
/* Windowed results computed from the samples (see PowerModule.h); off by
 * default. */
POWERQUALITY_API int32_t setWindowedResultsEnabled(PowerModuleHandle module, bool enabled);
/* Harmonic subgroups and THDS in the windowed harmonic arrays instead of
 * groups and THD (see PowerModule.h); off by default. */
POWERQUALITY_API int32_t setHarmonicSubgroupsEnabled(PowerModuleHandle module, bool enabled);
POWERQUALITY_API int32_t getHarmonicSubgroupsEnabled(PowerModuleHandle module, bool* value);
/* Mains signalling frequencies, Hz (see PowerModule.h): count of them at
 * frequencies (null when count is 0); none by default. The getter writes at
 * most capacity of them and their number to *count (status 2 when more are
 * set than capacity, nothing written). */
POWERQUALITY_API int32_t setSignallingFrequencies(PowerModuleHandle module, const double* frequencies, int count);
POWERQUALITY_API int32_t getSignallingFrequencies(PowerModuleHandle module, int capacity, int* count,
                                                  double* frequencies);
/* The signalling voltages of the windows the latest getResults returned,
 * laid out as PowerModule::getSignallingVoltages says; status 2 when they do
 * not fit in capacity (nothing written). */
POWERQUALITY_API int32_t getSignallingVoltages(PowerModuleHandle module, int capacity, int* count, double* values);

/* Operations. */
POWERQUALITY_API int32_t beginUpdate(PowerModuleHandle module);
POWERQUALITY_API int32_t endUpdate(PowerModuleHandle module);
POWERQUALITY_API int32_t reset(PowerModuleHandle module, uint64_t firstSampleIndex);
POWERQUALITY_API int32_t scheduleForCalculation(PowerModuleHandle module, uint64_t firstSampleIndex, int periodCount, double frequency);
POWERQUALITY_API int32_t skipSamples(PowerModuleHandle module, unsigned int count);
POWERQUALITY_API int32_t writeSamples(PowerModuleHandle module, unsigned int count);
POWERQUALITY_API int32_t syncCuda(PowerModuleHandle module);
POWERQUALITY_API int32_t scheduleForPeriodCalculation(PowerModuleHandle module, int count,
                                                      uint64_t* firstSampleIndices, int* lengths,
                                                      double* frequencies, bool* flags);
POWERQUALITY_API int32_t getWaveformBufferI(PowerModuleHandle module, unsigned char channel, float** buffer);
POWERQUALITY_API int32_t getWaveformBufferUDelta(PowerModuleHandle module, unsigned char channel, float** buffer);
POWERQUALITY_API int32_t getWaveformBufferUInput(PowerModuleHandle module, unsigned char channel, float** buffer);
POWERQUALITY_API int32_t getWaveformBufferUStar(PowerModuleHandle module, unsigned char channel, float** buffer);
/* count items of phasesCount + 1 records each (the total record first) from
 * *results, valid until the ring comes round to them again; *results is
 * written only when count > 0. */
POWERQUALITY_API int32_t getPeriodResults(PowerModuleHandle module, int* count, bool* hasMoreResults,
                                          PowerResultsPeriod** results);
/* Copies up to capacity finished windows into results; status 2 when more
 * were taken than fit (only possible with capacity 0, meaning no limit). */
POWERQUALITY_API int32_t getResults(PowerModuleHandle module, int capacity, int* count,
                                    PowerResultsGeneral* results);

#ifdef __cplusplus
}
#endif

#endif
