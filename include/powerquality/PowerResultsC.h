/* The result records as C declares them, for callers of the flat interface
 * written in C (and foreign-function layers that mirror C). Byte for byte the
 * records of PowerResults.h: complex values are two doubles (real part
 * first), the spectrum pointers point to pairs of floats. C++ code uses the
 * records of PowerResults.h; the library checks both declarations against
 * each other field by field.
 *
 * In C the types carry the library's names (PowerResultsPeriod, ...); when
 * this header is read by C++ they are named with a _C suffix so that the two
 * declarations can be compared. */
#ifndef POWERQUALITY_POWERRESULTSC_H
#define POWERQUALITY_POWERRESULTSC_H

#include <stdbool.h>
#include <stdint.h>

#include "powerquality/Export.h"

#ifdef __cplusplus
#define POWERQUALITY_C_NAME(name) name##_C
#else
#define POWERQUALITY_C_NAME(name) name
#endif

typedef struct POWERQUALITY_C_NAME(RvcResult) {
    bool stateChanged;
    int32_t state;
    bool eventEnded;
    float deltaUss;
    float deltaUmax;
    POWERQUALITY_ALIGN8 double duration;
    POWERQUALITY_ALIGN8 double time;
} POWERQUALITY_C_NAME(RvcResult);

typedef struct POWERQUALITY_C_NAME(PowerResultsSymmetricalComponent) {
    POWERQUALITY_ALIGN8 double voltage[2];
    POWERQUALITY_ALIGN8 double lineToLineVoltage[2];
    POWERQUALITY_ALIGN8 double current[2];
    POWERQUALITY_ALIGN8 double voltageMagnitude;
    POWERQUALITY_ALIGN8 double lineToLineVoltageMagnitude;
    POWERQUALITY_ALIGN8 double currentMagnitude;
    POWERQUALITY_ALIGN8 double activePower;
    POWERQUALITY_ALIGN8 double reactivePower;
    POWERQUALITY_ALIGN8 double apparentPower;
    POWERQUALITY_ALIGN8 double activeCurrent;
    POWERQUALITY_ALIGN8 double reactiveCurrent;
    POWERQUALITY_ALIGN8 double powerFactor;
    POWERQUALITY_ALIGN8 double voltageRms;
    POWERQUALITY_ALIGN8 double currentRms;
    POWERQUALITY_ALIGN8 double voltageRmsUnbalance;
    POWERQUALITY_ALIGN8 double currentRmsUnbalance;
    POWERQUALITY_ALIGN8 double voltageUnbalance;
    POWERQUALITY_ALIGN8 double currentUnbalance;
} POWERQUALITY_C_NAME(PowerResultsSymmetricalComponent);

typedef struct POWERQUALITY_C_NAME(PowerResultsThd) {
    POWERQUALITY_ALIGN8 double thd;
    POWERQUALITY_ALIGN8 double partialThd1;
    POWERQUALITY_ALIGN8 double partialThd2;
    POWERQUALITY_ALIGN8 double partialThd3;
    POWERQUALITY_ALIGN8 double partialThd4;
    POWERQUALITY_ALIGN8 double thdRms;
    POWERQUALITY_ALIGN8 double harmonicContent;
    POWERQUALITY_ALIGN8 double distortionContent;
    POWERQUALITY_ALIGN8 double totalDistortion;
} POWERQUALITY_C_NAME(PowerResultsThd);

typedef struct POWERQUALITY_C_NAME(PowerResultsGeneralPhase) {
    POWERQUALITY_ALIGN8 double dcVoltage;
    POWERQUALITY_ALIGN8 double dcCurrent;
    POWERQUALITY_ALIGN8 double dcLineToLine;
    POWERQUALITY_ALIGN8 double rmsVoltage;
    POWERQUALITY_ALIGN8 double rmsCurrent;
    POWERQUALITY_ALIGN8 double rmsLineToLine;
    POWERQUALITY_ALIGN8 double activePower;
    POWERQUALITY_ALIGN8 double spectrumRmsVoltage;
    POWERQUALITY_ALIGN8 double spectrumRmsCurrent;
    POWERQUALITY_ALIGN8 double spectrumRmsLineToLine;
    POWERQUALITY_ALIGN8 double fundamentalVoltage;
    POWERQUALITY_ALIGN8 double fundamentalCurrent;
    POWERQUALITY_ALIGN8 double fundamentalLineToLine;
    POWERQUALITY_ALIGN8 double spectrumActivePower;
    POWERQUALITY_ALIGN8 double nonActivePower;
    POWERQUALITY_ALIGN8 double apparentPower;
    POWERQUALITY_ALIGN8 double powerFactor;
    POWERQUALITY_ALIGN8 double distortionPowerQ1;
    POWERQUALITY_ALIGN8 double reactivePower;
    POWERQUALITY_ALIGN8 double distortionPower;
    POWERQUALITY_ALIGN8 double fundamentalActivePower;
    POWERQUALITY_ALIGN8 double fundamentalReactivePower;
    POWERQUALITY_ALIGN8 double fundamentalApparentPower;
    POWERQUALITY_ALIGN8 double displacementPowerFactor;
    POWERQUALITY_ALIGN8 double fundamentalReactivePowerSum;
    POWERQUALITY_ALIGN8 double impedance;
    POWERQUALITY_ALIGN8 double fundamentalAux;
    POWERQUALITY_C_NAME(PowerResultsThd) thdVoltage;
    POWERQUALITY_C_NAME(PowerResultsThd) thdCurrent;
    POWERQUALITY_C_NAME(PowerResultsThd) thdLineToLine;
    POWERQUALITY_C_NAME(PowerResultsThd) thdInterVoltage;
    POWERQUALITY_C_NAME(PowerResultsThd) thdInterCurrent;
    POWERQUALITY_C_NAME(PowerResultsThd) thdInterLineToLine;
    POWERQUALITY_ALIGN8 double harmonicCurrentContent;
    float* spectrumVoltage; /* pairs of floats: real, imaginary */
    float* spectrumCurrent;
    float* spectrumLineToLine;
    float* harmonicsVoltage;
    float* harmonicsCurrent;
    float* harmonicsLineToLine;
    float* interHarmonicsVoltage;
    float* interHarmonicsCurrent;
    float* interHarmonicsLineToLine;
    float* harmonicsActivePower;
    float* harmonicsReactivePower;
    float* harmonicsApparentPower;
    float* harmonicsAux;
    float* harmonicAnglesVoltage;
    float* harmonicAnglesCurrent;
    float* reservedHarmonics;
} POWERQUALITY_C_NAME(PowerResultsGeneralPhase);

typedef struct POWERQUALITY_C_NAME(PowerResultsGeneral) {
    POWERQUALITY_ALIGN8 double time;
    POWERQUALITY_ALIGN8 double frequency;
    POWERQUALITY_ALIGN8 double dFrequency;
    unsigned char reserved[8];
    POWERQUALITY_ALIGN8 uint64_t firstSampleIndex;
    uint32_t length;
    uint32_t fftOutputLength;
    uint32_t harmonicLength;
    uint8_t phasesCount;
    POWERQUALITY_C_NAME(PowerResultsGeneralPhase) phases[4];
    POWERQUALITY_C_NAME(PowerResultsSymmetricalComponent) symmetricalComponents[3];
} POWERQUALITY_C_NAME(PowerResultsGeneral);

typedef struct POWERQUALITY_C_NAME(PowerResultsPeriod) {
    POWERQUALITY_ALIGN8 double time;
    POWERQUALITY_ALIGN8 double frequency;
    POWERQUALITY_ALIGN8 double rmsVoltage;
    POWERQUALITY_ALIGN8 double rmsCurrent;
    POWERQUALITY_ALIGN8 double rmsLineToLine;
    POWERQUALITY_ALIGN8 double activePower;
    POWERQUALITY_ALIGN8 double nonActivePower;
    POWERQUALITY_ALIGN8 double apparentPower;
    POWERQUALITY_ALIGN8 double powerFactor;
    POWERQUALITY_ALIGN8 double fundamentalVoltage;
    POWERQUALITY_ALIGN8 double fundamentalCurrent;
    POWERQUALITY_ALIGN8 double reserved;
    POWERQUALITY_ALIGN8 double fundamentalActivePower;
    POWERQUALITY_ALIGN8 double fundamentalReactivePower;
    POWERQUALITY_ALIGN8 double fundamentalReactivePowerSum;
    POWERQUALITY_ALIGN8 double fundamentalApparentPower;
    POWERQUALITY_ALIGN8 double fundamentalPhaseAngle;
    POWERQUALITY_C_NAME(RvcResult) rvcVoltage;
    POWERQUALITY_C_NAME(RvcResult) rvcLineToLineVoltage;
    POWERQUALITY_C_NAME(PowerResultsSymmetricalComponent) symmetricalComponent;
} POWERQUALITY_C_NAME(PowerResultsPeriod);

#ifndef __cplusplus
_Static_assert(sizeof(RvcResult) == 40, "RvcResult is 40 bytes");
_Static_assert(sizeof(PowerResultsSymmetricalComponent) == 168, "PowerResultsSymmetricalComponent is 168 bytes");
_Static_assert(sizeof(PowerResultsThd) == 72, "PowerResultsThd is 72 bytes");
_Static_assert(sizeof(PowerResultsPeriod) == 384, "PowerResultsPeriod is 384 bytes");
_Static_assert(sizeof(PowerResultsGeneralPhase) == 656 + 16 * sizeof(void*), "phase block: 720 bytes with 4-byte pointers");
_Static_assert(sizeof(PowerResultsGeneral) == 56 + 4 * sizeof(PowerResultsGeneralPhase) + 3 * 168,
               "PowerResultsGeneral: 3440 bytes with 4-byte pointers");
#endif

#endif
