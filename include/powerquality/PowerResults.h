// Result records of a power module. Callers read them by layout, so every
// field, its width and its offset are fixed; the static_asserts at the end of
// this header break the build before a caller could see a moved field.
//
// Layout: little-endian, IEEE 754 doubles, natural alignment with 8 for
// doubles, complex values and 64-bit integers (also on i386, see
// POWERQUALITY_ALIGN8). The offsets in the comments are those of a 32-bit
// target (4-byte pointers). On a 64-bit target the sixteen pointer slots of a
// PowerResultsGeneralPhase are 8 bytes each: the phase block grows from 720 to
// 784 bytes and PowerResultsGeneral from 3440 to 3696 bytes; every other record
// keeps its size and offsets.
//
// Fields that the configuration does not produce hold no defined value unless
// the producing operation documents otherwise.
#ifndef POWERQUALITY_POWERRESULTS_H
#define POWERQUALITY_POWERRESULTS_H

#include <complex>
#include <cstddef>
#include <cstdint>

#include "powerquality/Export.h"

// Rapid voltage change result of one detector, or of a detector group
// combined. 40 bytes.
struct POWERQUALITY_RECORD RvcResult {
    bool stateChanged;                  // 0: state differs from the previous result
    int32_t state;                      // 4: -1 no value yet, 0 steady state, 1 event in progress
    bool eventEnded;                    // 8: an event ended with this value
    float deltaUss;                     // 12: on an event end, |mean before - mean after|
    float deltaUmax;                    // 16: on an event end, largest |mean before - value|
    POWERQUALITY_ALIGN8 double duration;  // 24: on an event end, seconds from start to the
                                          //     oldest value of the closing steady window
    POWERQUALITY_ALIGN8 double time;      // 32: time of the latest value, seconds
};

// One sequence component (index 0 zero, 1 positive, 2 negative). 168 bytes.
// Fields from voltageRms on are filled for windowed results only.
struct POWERQUALITY_RECORD PowerResultsSymmetricalComponent {
    // Sets voltage, lineToLineVoltage and current to 0 + 0j; every other field
    // keeps what the storage held.
    PowerResultsSymmetricalComponent() : voltage(0.0, 0.0), lineToLineVoltage(0.0, 0.0), current(0.0, 0.0) {}

    POWERQUALITY_ALIGN8 std::complex<double> voltage;            // 0
    POWERQUALITY_ALIGN8 std::complex<double> lineToLineVoltage;  // 16: voltage * sqrt(3)
    POWERQUALITY_ALIGN8 std::complex<double> current;            // 32
    POWERQUALITY_ALIGN8 double voltageMagnitude;                 // 48
    POWERQUALITY_ALIGN8 double lineToLineVoltageMagnitude;       // 56
    POWERQUALITY_ALIGN8 double currentMagnitude;                 // 64
    POWERQUALITY_ALIGN8 double activePower;                      // 72: Re(3 U conj(I))
    POWERQUALITY_ALIGN8 double reactivePower;                    // 80: Im(3 U conj(I))
    POWERQUALITY_ALIGN8 double apparentPower;                    // 88: |3 U conj(I)|
    POWERQUALITY_ALIGN8 double activeCurrent;                    // 96
    POWERQUALITY_ALIGN8 double reactiveCurrent;                  // 104
    POWERQUALITY_ALIGN8 double powerFactor;                      // 112
    POWERQUALITY_ALIGN8 double voltageRms;                       // 120
    POWERQUALITY_ALIGN8 double currentRms;                       // 128
    POWERQUALITY_ALIGN8 double voltageRmsUnbalance;              // 136: percent of the positive sequence
    POWERQUALITY_ALIGN8 double currentRmsUnbalance;              // 144
    POWERQUALITY_ALIGN8 double voltageUnbalance;                 // 152
    POWERQUALITY_ALIGN8 double currentUnbalance;                 // 160
};

// Harmonic distortion of one waveform over one window, in percent where the
// name says so. 72 bytes. As raw per-window data the same record carries the
// sums of squares s0 in thd and s1..s4 in partialThd1..4.
struct POWERQUALITY_RECORD PowerResultsThd {
    POWERQUALITY_ALIGN8 double thd;                // 0: 100 sqrt(s0) / fundamental
    POWERQUALITY_ALIGN8 double partialThd1;        // 8
    POWERQUALITY_ALIGN8 double partialThd2;        // 16
    POWERQUALITY_ALIGN8 double partialThd3;        // 24
    POWERQUALITY_ALIGN8 double partialThd4;        // 32
    POWERQUALITY_ALIGN8 double thdRms;             // 40: 100 sqrt(s0) / rms
    POWERQUALITY_ALIGN8 double harmonicContent;    // 48: sqrt(s0)
    POWERQUALITY_ALIGN8 double distortionContent;  // 56: sqrt(max(rms^2 - fundamental^2, 0))
    POWERQUALITY_ALIGN8 double totalDistortion;    // 64: 100 distortionContent / fundamental
};

// One phase (or the phase total) of a windowed result. 720 bytes with 4-byte
// pointers, 784 with 8-byte pointers. Pointer fields point into the module's
// own buffers and stay valid until its next initialisation.
struct POWERQUALITY_RECORD PowerResultsGeneralPhase {
    POWERQUALITY_ALIGN8 double dcVoltage;                    // 0
    POWERQUALITY_ALIGN8 double dcCurrent;                    // 8
    POWERQUALITY_ALIGN8 double dcLineToLine;                 // 16
    POWERQUALITY_ALIGN8 double rmsVoltage;                   // 24
    POWERQUALITY_ALIGN8 double rmsCurrent;                   // 32
    POWERQUALITY_ALIGN8 double rmsLineToLine;                // 40
    POWERQUALITY_ALIGN8 double activePower;                  // 48
    POWERQUALITY_ALIGN8 double spectrumRmsVoltage;           // 56
    POWERQUALITY_ALIGN8 double spectrumRmsCurrent;           // 64
    POWERQUALITY_ALIGN8 double spectrumRmsLineToLine;        // 72
    POWERQUALITY_ALIGN8 double fundamentalVoltage;           // 80
    POWERQUALITY_ALIGN8 double fundamentalCurrent;           // 88
    POWERQUALITY_ALIGN8 double fundamentalLineToLine;        // 96
    POWERQUALITY_ALIGN8 double spectrumActivePower;          // 104
    POWERQUALITY_ALIGN8 double nonActivePower;               // 112
    POWERQUALITY_ALIGN8 double apparentPower;                // 120
    POWERQUALITY_ALIGN8 double powerFactor;                  // 128
    POWERQUALITY_ALIGN8 double distortionPowerQ1;            // 136
    POWERQUALITY_ALIGN8 double reactivePower;                // 144
    POWERQUALITY_ALIGN8 double distortionPower;              // 152
    POWERQUALITY_ALIGN8 double fundamentalActivePower;       // 160
    POWERQUALITY_ALIGN8 double fundamentalReactivePower;     // 168
    POWERQUALITY_ALIGN8 double fundamentalApparentPower;     // 176
    POWERQUALITY_ALIGN8 double displacementPowerFactor;      // 184
    POWERQUALITY_ALIGN8 double fundamentalReactivePowerSum;  // 192: total slot only
    POWERQUALITY_ALIGN8 double impedance;                    // 200
    POWERQUALITY_ALIGN8 double fundamentalAux;               // 208
    PowerResultsThd thdVoltage;                              // 216
    PowerResultsThd thdCurrent;                              // 288
    PowerResultsThd thdLineToLine;                           // 360
    PowerResultsThd thdInterVoltage;                         // 432
    PowerResultsThd thdInterCurrent;                         // 504
    PowerResultsThd thdInterLineToLine;                      // 576
    POWERQUALITY_ALIGN8 double harmonicCurrentContent;       // 648
    // Sixteen pointer slots from offset 656 (4 or 8 bytes each).
    std::complex<float>* spectrumVoltage;
    std::complex<float>* spectrumCurrent;
    std::complex<float>* spectrumLineToLine;
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
    float* harmonicAnglesVoltage;  // degrees
    float* harmonicAnglesCurrent;  // degrees
    float* reservedHarmonics;      // never written
};

// Windowed (general) result of one analysis window. 3440 bytes with 4-byte
// pointers, 3696 with 8-byte pointers.
struct POWERQUALITY_RECORD PowerResultsGeneral {
    POWERQUALITY_ALIGN8 double time;                      // 0: end of the window, seconds
    POWERQUALITY_ALIGN8 double frequency;                 // 8
    POWERQUALITY_ALIGN8 double dFrequency;                // 16: spectrum bin spacing, Hz
    unsigned char reserved[8];                            // 24: never written
    POWERQUALITY_ALIGN8 uint64_t firstSampleIndex;        // 32
    uint32_t length;                                      // 40
    uint32_t fftOutputLength;                             // 44
    uint32_t harmonicLength;                              // 48
    uint8_t phasesCount;                                  // 52
    // Slots 0..phasesCount-1: the phases; slot phasesCount: their total.
    PowerResultsGeneralPhase phases[4];                   // 56
    PowerResultsSymmetricalComponent symmetricalComponents[3];  // 2936 (3192 with 8-byte pointers)
};

// Period values of one phase, or of the phase total (record 0 of a ring
// entry). 384 bytes.
struct POWERQUALITY_RECORD PowerResultsPeriod {
    POWERQUALITY_ALIGN8 double time;                         // 0: end of the span, seconds
    POWERQUALITY_ALIGN8 double frequency;                    // 8: mean frequency over the span, Hz
    POWERQUALITY_ALIGN8 double rmsVoltage;                   // 16
    POWERQUALITY_ALIGN8 double rmsCurrent;                   // 24
    POWERQUALITY_ALIGN8 double rmsLineToLine;                // 32
    POWERQUALITY_ALIGN8 double activePower;                  // 40
    POWERQUALITY_ALIGN8 double nonActivePower;               // 48
    POWERQUALITY_ALIGN8 double apparentPower;                // 56
    POWERQUALITY_ALIGN8 double powerFactor;                  // 64
    POWERQUALITY_ALIGN8 double fundamentalVoltage;           // 72
    POWERQUALITY_ALIGN8 double fundamentalCurrent;           // 80
    POWERQUALITY_ALIGN8 double reserved;                     // 88
    POWERQUALITY_ALIGN8 double fundamentalActivePower;       // 96
    POWERQUALITY_ALIGN8 double fundamentalReactivePower;     // 104
    POWERQUALITY_ALIGN8 double fundamentalReactivePowerSum;  // 112: total record only
    POWERQUALITY_ALIGN8 double fundamentalApparentPower;     // 120
    POWERQUALITY_ALIGN8 double fundamentalPhaseAngle;        // 128: degrees, in (-180, 180]
    RvcResult rvcVoltage;                                    // 136
    RvcResult rvcLineToLineVoltage;                          // 176
    PowerResultsSymmetricalComponent symmetricalComponent;   // 216
};

#define POWERQUALITY_POINTER_SLOT (sizeof(void*))

static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "records are laid out for 4- or 8-byte pointers");

static_assert(sizeof(RvcResult) == 40, "RvcResult is 40 bytes");
static_assert(offsetof(RvcResult, stateChanged) == 0, "RvcResult layout");
static_assert(offsetof(RvcResult, state) == 4, "RvcResult layout");
static_assert(offsetof(RvcResult, eventEnded) == 8, "RvcResult layout");
static_assert(offsetof(RvcResult, deltaUss) == 12, "RvcResult layout");
static_assert(offsetof(RvcResult, deltaUmax) == 16, "RvcResult layout");
static_assert(offsetof(RvcResult, duration) == 24, "RvcResult layout");
static_assert(offsetof(RvcResult, time) == 32, "RvcResult layout");

static_assert(sizeof(PowerResultsSymmetricalComponent) == 168, "PowerResultsSymmetricalComponent is 168 bytes");
static_assert(offsetof(PowerResultsSymmetricalComponent, voltage) == 0, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, lineToLineVoltage) == 16, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, current) == 32, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, voltageMagnitude) == 48, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, lineToLineVoltageMagnitude) == 56, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, currentMagnitude) == 64, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, activePower) == 72, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, reactivePower) == 80, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, apparentPower) == 88, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, activeCurrent) == 96, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, reactiveCurrent) == 104, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, powerFactor) == 112, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, voltageRms) == 120, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, currentRms) == 128, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, voltageRmsUnbalance) == 136, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, currentRmsUnbalance) == 144, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, voltageUnbalance) == 152, "symmetrical component layout");
static_assert(offsetof(PowerResultsSymmetricalComponent, currentUnbalance) == 160, "symmetrical component layout");

static_assert(sizeof(PowerResultsThd) == 72, "PowerResultsThd is 72 bytes");
static_assert(offsetof(PowerResultsThd, thd) == 0, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, partialThd1) == 8, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, partialThd2) == 16, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, partialThd3) == 24, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, partialThd4) == 32, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, thdRms) == 40, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, harmonicContent) == 48, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, distortionContent) == 56, "PowerResultsThd layout");
static_assert(offsetof(PowerResultsThd, totalDistortion) == 64, "PowerResultsThd layout");

static_assert(sizeof(PowerResultsGeneralPhase) == 656 + 16 * POWERQUALITY_POINTER_SLOT, "phase block: 720 bytes with 4-byte pointers");
static_assert(offsetof(PowerResultsGeneralPhase, dcVoltage) == 0, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, dcCurrent) == 8, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, dcLineToLine) == 16, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, rmsVoltage) == 24, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, rmsCurrent) == 32, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, rmsLineToLine) == 40, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, activePower) == 48, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumRmsVoltage) == 56, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumRmsCurrent) == 64, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumRmsLineToLine) == 72, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalVoltage) == 80, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalCurrent) == 88, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalLineToLine) == 96, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumActivePower) == 104, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, nonActivePower) == 112, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, apparentPower) == 120, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, powerFactor) == 128, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, distortionPowerQ1) == 136, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, reactivePower) == 144, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, distortionPower) == 152, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalActivePower) == 160, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalReactivePower) == 168, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalApparentPower) == 176, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, displacementPowerFactor) == 184, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalReactivePowerSum) == 192, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, impedance) == 200, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, fundamentalAux) == 208, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, thdVoltage) == 216, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, thdCurrent) == 288, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, thdLineToLine) == 360, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, thdInterVoltage) == 432, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, thdInterCurrent) == 504, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, thdInterLineToLine) == 576, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicCurrentContent) == 648, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumVoltage) == 656 + 0 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumCurrent) == 656 + 1 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, spectrumLineToLine) == 656 + 2 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsVoltage) == 656 + 3 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsCurrent) == 656 + 4 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsLineToLine) == 656 + 5 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, interHarmonicsVoltage) == 656 + 6 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, interHarmonicsCurrent) == 656 + 7 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, interHarmonicsLineToLine) == 656 + 8 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsActivePower) == 656 + 9 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsReactivePower) == 656 + 10 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsApparentPower) == 656 + 11 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicsAux) == 656 + 12 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicAnglesVoltage) == 656 + 13 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, harmonicAnglesCurrent) == 656 + 14 * POWERQUALITY_POINTER_SLOT, "phase block layout");
static_assert(offsetof(PowerResultsGeneralPhase, reservedHarmonics) == 656 + 15 * POWERQUALITY_POINTER_SLOT, "phase block layout");

static_assert(sizeof(PowerResultsGeneral) == 56 + 4 * sizeof(PowerResultsGeneralPhase) + 3 * 168, "PowerResultsGeneral: 3440 bytes with 4-byte pointers");
static_assert(sizeof(void*) != 4 || sizeof(PowerResultsGeneral) == 3440, "PowerResultsGeneral is 3440 bytes on 32-bit targets");
static_assert(sizeof(void*) != 8 || sizeof(PowerResultsGeneral) == 3696, "PowerResultsGeneral is 3696 bytes on 64-bit targets");
static_assert(offsetof(PowerResultsGeneral, time) == 0, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, frequency) == 8, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, dFrequency) == 16, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, reserved) == 24, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, firstSampleIndex) == 32, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, length) == 40, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, fftOutputLength) == 44, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, harmonicLength) == 48, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, phasesCount) == 52, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, phases) == 56, "PowerResultsGeneral layout");
static_assert(offsetof(PowerResultsGeneral, symmetricalComponents) == 56 + 4 * sizeof(PowerResultsGeneralPhase), "PowerResultsGeneral layout");
static_assert(sizeof(void*) != 4 || offsetof(PowerResultsGeneral, symmetricalComponents) == 2936, "PowerResultsGeneral layout");

static_assert(sizeof(PowerResultsPeriod) == 384, "PowerResultsPeriod is 384 bytes");
static_assert(offsetof(PowerResultsPeriod, time) == 0, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, frequency) == 8, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, rmsVoltage) == 16, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, rmsCurrent) == 24, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, rmsLineToLine) == 32, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, activePower) == 40, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, nonActivePower) == 48, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, apparentPower) == 56, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, powerFactor) == 64, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalVoltage) == 72, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalCurrent) == 80, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, reserved) == 88, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalActivePower) == 96, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalReactivePower) == 104, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalReactivePowerSum) == 112, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalApparentPower) == 120, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, fundamentalPhaseAngle) == 128, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, rvcVoltage) == 136, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, rvcLineToLineVoltage) == 176, "PowerResultsPeriod layout");
static_assert(offsetof(PowerResultsPeriod, symmetricalComponent) == 216, "PowerResultsPeriod layout");

#undef POWERQUALITY_POINTER_SLOT

#endif
