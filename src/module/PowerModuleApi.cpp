// The flat interface: each function opens the guard, forwards to the module
// and lets the guard map exceptions to status codes.
#include "powerquality/PowerModuleApi.h"

#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "flat/FlatGuard.h"
#include "powerquality/PowerExceptions.h"
#include "powerquality/PowerModule.h"


// The C declarations of the records match the C++ ones field by field.
static_assert(sizeof(RvcResult_C) == sizeof(RvcResult), "RvcResult layout in C");
static_assert(offsetof(RvcResult_C, stateChanged) == offsetof(RvcResult, stateChanged), "RvcResult.stateChanged in C");
static_assert(offsetof(RvcResult_C, state) == offsetof(RvcResult, state), "RvcResult.state in C");
static_assert(offsetof(RvcResult_C, eventEnded) == offsetof(RvcResult, eventEnded), "RvcResult.eventEnded in C");
static_assert(offsetof(RvcResult_C, deltaUss) == offsetof(RvcResult, deltaUss), "RvcResult.deltaUss in C");
static_assert(offsetof(RvcResult_C, deltaUmax) == offsetof(RvcResult, deltaUmax), "RvcResult.deltaUmax in C");
static_assert(offsetof(RvcResult_C, duration) == offsetof(RvcResult, duration), "RvcResult.duration in C");
static_assert(offsetof(RvcResult_C, time) == offsetof(RvcResult, time), "RvcResult.time in C");
static_assert(sizeof(PowerResultsSymmetricalComponent_C) == sizeof(PowerResultsSymmetricalComponent), "PowerResultsSymmetricalComponent layout in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, voltage) == offsetof(PowerResultsSymmetricalComponent, voltage), "PowerResultsSymmetricalComponent.voltage in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, lineToLineVoltage) == offsetof(PowerResultsSymmetricalComponent, lineToLineVoltage), "PowerResultsSymmetricalComponent.lineToLineVoltage in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, current) == offsetof(PowerResultsSymmetricalComponent, current), "PowerResultsSymmetricalComponent.current in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, voltageMagnitude) == offsetof(PowerResultsSymmetricalComponent, voltageMagnitude), "PowerResultsSymmetricalComponent.voltageMagnitude in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, lineToLineVoltageMagnitude) == offsetof(PowerResultsSymmetricalComponent, lineToLineVoltageMagnitude), "PowerResultsSymmetricalComponent.lineToLineVoltageMagnitude in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, currentMagnitude) == offsetof(PowerResultsSymmetricalComponent, currentMagnitude), "PowerResultsSymmetricalComponent.currentMagnitude in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, activePower) == offsetof(PowerResultsSymmetricalComponent, activePower), "PowerResultsSymmetricalComponent.activePower in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, reactivePower) == offsetof(PowerResultsSymmetricalComponent, reactivePower), "PowerResultsSymmetricalComponent.reactivePower in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, apparentPower) == offsetof(PowerResultsSymmetricalComponent, apparentPower), "PowerResultsSymmetricalComponent.apparentPower in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, activeCurrent) == offsetof(PowerResultsSymmetricalComponent, activeCurrent), "PowerResultsSymmetricalComponent.activeCurrent in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, reactiveCurrent) == offsetof(PowerResultsSymmetricalComponent, reactiveCurrent), "PowerResultsSymmetricalComponent.reactiveCurrent in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, powerFactor) == offsetof(PowerResultsSymmetricalComponent, powerFactor), "PowerResultsSymmetricalComponent.powerFactor in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, voltageRms) == offsetof(PowerResultsSymmetricalComponent, voltageRms), "PowerResultsSymmetricalComponent.voltageRms in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, currentRms) == offsetof(PowerResultsSymmetricalComponent, currentRms), "PowerResultsSymmetricalComponent.currentRms in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, voltageRmsUnbalance) == offsetof(PowerResultsSymmetricalComponent, voltageRmsUnbalance), "PowerResultsSymmetricalComponent.voltageRmsUnbalance in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, currentRmsUnbalance) == offsetof(PowerResultsSymmetricalComponent, currentRmsUnbalance), "PowerResultsSymmetricalComponent.currentRmsUnbalance in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, voltageUnbalance) == offsetof(PowerResultsSymmetricalComponent, voltageUnbalance), "PowerResultsSymmetricalComponent.voltageUnbalance in C");
static_assert(offsetof(PowerResultsSymmetricalComponent_C, currentUnbalance) == offsetof(PowerResultsSymmetricalComponent, currentUnbalance), "PowerResultsSymmetricalComponent.currentUnbalance in C");
static_assert(sizeof(PowerResultsThd_C) == sizeof(PowerResultsThd), "PowerResultsThd layout in C");
static_assert(offsetof(PowerResultsThd_C, thd) == offsetof(PowerResultsThd, thd), "PowerResultsThd.thd in C");
static_assert(offsetof(PowerResultsThd_C, partialThd1) == offsetof(PowerResultsThd, partialThd1), "PowerResultsThd.partialThd1 in C");
static_assert(offsetof(PowerResultsThd_C, partialThd2) == offsetof(PowerResultsThd, partialThd2), "PowerResultsThd.partialThd2 in C");
static_assert(offsetof(PowerResultsThd_C, partialThd3) == offsetof(PowerResultsThd, partialThd3), "PowerResultsThd.partialThd3 in C");
static_assert(offsetof(PowerResultsThd_C, partialThd4) == offsetof(PowerResultsThd, partialThd4), "PowerResultsThd.partialThd4 in C");
static_assert(offsetof(PowerResultsThd_C, thdRms) == offsetof(PowerResultsThd, thdRms), "PowerResultsThd.thdRms in C");
static_assert(offsetof(PowerResultsThd_C, harmonicContent) == offsetof(PowerResultsThd, harmonicContent), "PowerResultsThd.harmonicContent in C");
static_assert(offsetof(PowerResultsThd_C, distortionContent) == offsetof(PowerResultsThd, distortionContent), "PowerResultsThd.distortionContent in C");
static_assert(offsetof(PowerResultsThd_C, totalDistortion) == offsetof(PowerResultsThd, totalDistortion), "PowerResultsThd.totalDistortion in C");
static_assert(sizeof(PowerResultsGeneralPhase_C) == sizeof(PowerResultsGeneralPhase), "PowerResultsGeneralPhase layout in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, dcVoltage) == offsetof(PowerResultsGeneralPhase, dcVoltage), "PowerResultsGeneralPhase.dcVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, dcCurrent) == offsetof(PowerResultsGeneralPhase, dcCurrent), "PowerResultsGeneralPhase.dcCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, dcLineToLine) == offsetof(PowerResultsGeneralPhase, dcLineToLine), "PowerResultsGeneralPhase.dcLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, rmsVoltage) == offsetof(PowerResultsGeneralPhase, rmsVoltage), "PowerResultsGeneralPhase.rmsVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, rmsCurrent) == offsetof(PowerResultsGeneralPhase, rmsCurrent), "PowerResultsGeneralPhase.rmsCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, rmsLineToLine) == offsetof(PowerResultsGeneralPhase, rmsLineToLine), "PowerResultsGeneralPhase.rmsLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, activePower) == offsetof(PowerResultsGeneralPhase, activePower), "PowerResultsGeneralPhase.activePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumRmsVoltage) == offsetof(PowerResultsGeneralPhase, spectrumRmsVoltage), "PowerResultsGeneralPhase.spectrumRmsVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumRmsCurrent) == offsetof(PowerResultsGeneralPhase, spectrumRmsCurrent), "PowerResultsGeneralPhase.spectrumRmsCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumRmsLineToLine) == offsetof(PowerResultsGeneralPhase, spectrumRmsLineToLine), "PowerResultsGeneralPhase.spectrumRmsLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalVoltage) == offsetof(PowerResultsGeneralPhase, fundamentalVoltage), "PowerResultsGeneralPhase.fundamentalVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalCurrent) == offsetof(PowerResultsGeneralPhase, fundamentalCurrent), "PowerResultsGeneralPhase.fundamentalCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalLineToLine) == offsetof(PowerResultsGeneralPhase, fundamentalLineToLine), "PowerResultsGeneralPhase.fundamentalLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumActivePower) == offsetof(PowerResultsGeneralPhase, spectrumActivePower), "PowerResultsGeneralPhase.spectrumActivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, nonActivePower) == offsetof(PowerResultsGeneralPhase, nonActivePower), "PowerResultsGeneralPhase.nonActivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, apparentPower) == offsetof(PowerResultsGeneralPhase, apparentPower), "PowerResultsGeneralPhase.apparentPower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, powerFactor) == offsetof(PowerResultsGeneralPhase, powerFactor), "PowerResultsGeneralPhase.powerFactor in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, distortionPowerQ1) == offsetof(PowerResultsGeneralPhase, distortionPowerQ1), "PowerResultsGeneralPhase.distortionPowerQ1 in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, reactivePower) == offsetof(PowerResultsGeneralPhase, reactivePower), "PowerResultsGeneralPhase.reactivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, distortionPower) == offsetof(PowerResultsGeneralPhase, distortionPower), "PowerResultsGeneralPhase.distortionPower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalActivePower) == offsetof(PowerResultsGeneralPhase, fundamentalActivePower), "PowerResultsGeneralPhase.fundamentalActivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalReactivePower) == offsetof(PowerResultsGeneralPhase, fundamentalReactivePower), "PowerResultsGeneralPhase.fundamentalReactivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalApparentPower) == offsetof(PowerResultsGeneralPhase, fundamentalApparentPower), "PowerResultsGeneralPhase.fundamentalApparentPower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, displacementPowerFactor) == offsetof(PowerResultsGeneralPhase, displacementPowerFactor), "PowerResultsGeneralPhase.displacementPowerFactor in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalReactivePowerSum) == offsetof(PowerResultsGeneralPhase, fundamentalReactivePowerSum), "PowerResultsGeneralPhase.fundamentalReactivePowerSum in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, impedance) == offsetof(PowerResultsGeneralPhase, impedance), "PowerResultsGeneralPhase.impedance in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, fundamentalAux) == offsetof(PowerResultsGeneralPhase, fundamentalAux), "PowerResultsGeneralPhase.fundamentalAux in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, thdVoltage) == offsetof(PowerResultsGeneralPhase, thdVoltage), "PowerResultsGeneralPhase.thdVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, thdCurrent) == offsetof(PowerResultsGeneralPhase, thdCurrent), "PowerResultsGeneralPhase.thdCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, thdLineToLine) == offsetof(PowerResultsGeneralPhase, thdLineToLine), "PowerResultsGeneralPhase.thdLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, thdInterVoltage) == offsetof(PowerResultsGeneralPhase, thdInterVoltage), "PowerResultsGeneralPhase.thdInterVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, thdInterCurrent) == offsetof(PowerResultsGeneralPhase, thdInterCurrent), "PowerResultsGeneralPhase.thdInterCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, thdInterLineToLine) == offsetof(PowerResultsGeneralPhase, thdInterLineToLine), "PowerResultsGeneralPhase.thdInterLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicCurrentContent) == offsetof(PowerResultsGeneralPhase, harmonicCurrentContent), "PowerResultsGeneralPhase.harmonicCurrentContent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumVoltage) == offsetof(PowerResultsGeneralPhase, spectrumVoltage), "PowerResultsGeneralPhase.spectrumVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumCurrent) == offsetof(PowerResultsGeneralPhase, spectrumCurrent), "PowerResultsGeneralPhase.spectrumCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, spectrumLineToLine) == offsetof(PowerResultsGeneralPhase, spectrumLineToLine), "PowerResultsGeneralPhase.spectrumLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsVoltage) == offsetof(PowerResultsGeneralPhase, harmonicsVoltage), "PowerResultsGeneralPhase.harmonicsVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsCurrent) == offsetof(PowerResultsGeneralPhase, harmonicsCurrent), "PowerResultsGeneralPhase.harmonicsCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsLineToLine) == offsetof(PowerResultsGeneralPhase, harmonicsLineToLine), "PowerResultsGeneralPhase.harmonicsLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, interHarmonicsVoltage) == offsetof(PowerResultsGeneralPhase, interHarmonicsVoltage), "PowerResultsGeneralPhase.interHarmonicsVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, interHarmonicsCurrent) == offsetof(PowerResultsGeneralPhase, interHarmonicsCurrent), "PowerResultsGeneralPhase.interHarmonicsCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, interHarmonicsLineToLine) == offsetof(PowerResultsGeneralPhase, interHarmonicsLineToLine), "PowerResultsGeneralPhase.interHarmonicsLineToLine in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsActivePower) == offsetof(PowerResultsGeneralPhase, harmonicsActivePower), "PowerResultsGeneralPhase.harmonicsActivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsReactivePower) == offsetof(PowerResultsGeneralPhase, harmonicsReactivePower), "PowerResultsGeneralPhase.harmonicsReactivePower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsApparentPower) == offsetof(PowerResultsGeneralPhase, harmonicsApparentPower), "PowerResultsGeneralPhase.harmonicsApparentPower in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicsAux) == offsetof(PowerResultsGeneralPhase, harmonicsAux), "PowerResultsGeneralPhase.harmonicsAux in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicAnglesVoltage) == offsetof(PowerResultsGeneralPhase, harmonicAnglesVoltage), "PowerResultsGeneralPhase.harmonicAnglesVoltage in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, harmonicAnglesCurrent) == offsetof(PowerResultsGeneralPhase, harmonicAnglesCurrent), "PowerResultsGeneralPhase.harmonicAnglesCurrent in C");
static_assert(offsetof(PowerResultsGeneralPhase_C, reservedHarmonics) == offsetof(PowerResultsGeneralPhase, reservedHarmonics), "PowerResultsGeneralPhase.reservedHarmonics in C");
static_assert(sizeof(PowerResultsGeneral_C) == sizeof(PowerResultsGeneral), "PowerResultsGeneral layout in C");
static_assert(offsetof(PowerResultsGeneral_C, time) == offsetof(PowerResultsGeneral, time), "PowerResultsGeneral.time in C");
static_assert(offsetof(PowerResultsGeneral_C, frequency) == offsetof(PowerResultsGeneral, frequency), "PowerResultsGeneral.frequency in C");
static_assert(offsetof(PowerResultsGeneral_C, dFrequency) == offsetof(PowerResultsGeneral, dFrequency), "PowerResultsGeneral.dFrequency in C");
static_assert(offsetof(PowerResultsGeneral_C, reserved) == offsetof(PowerResultsGeneral, reserved), "PowerResultsGeneral.reserved in C");
static_assert(offsetof(PowerResultsGeneral_C, firstSampleIndex) == offsetof(PowerResultsGeneral, firstSampleIndex), "PowerResultsGeneral.firstSampleIndex in C");
static_assert(offsetof(PowerResultsGeneral_C, length) == offsetof(PowerResultsGeneral, length), "PowerResultsGeneral.length in C");
static_assert(offsetof(PowerResultsGeneral_C, fftOutputLength) == offsetof(PowerResultsGeneral, fftOutputLength), "PowerResultsGeneral.fftOutputLength in C");
static_assert(offsetof(PowerResultsGeneral_C, harmonicLength) == offsetof(PowerResultsGeneral, harmonicLength), "PowerResultsGeneral.harmonicLength in C");
static_assert(offsetof(PowerResultsGeneral_C, phasesCount) == offsetof(PowerResultsGeneral, phasesCount), "PowerResultsGeneral.phasesCount in C");
static_assert(offsetof(PowerResultsGeneral_C, phases) == offsetof(PowerResultsGeneral, phases), "PowerResultsGeneral.phases in C");
static_assert(offsetof(PowerResultsGeneral_C, symmetricalComponents) == offsetof(PowerResultsGeneral, symmetricalComponents), "PowerResultsGeneral.symmetricalComponents in C");
static_assert(sizeof(PowerResultsPeriod_C) == sizeof(PowerResultsPeriod), "PowerResultsPeriod layout in C");
static_assert(offsetof(PowerResultsPeriod_C, time) == offsetof(PowerResultsPeriod, time), "PowerResultsPeriod.time in C");
static_assert(offsetof(PowerResultsPeriod_C, frequency) == offsetof(PowerResultsPeriod, frequency), "PowerResultsPeriod.frequency in C");
static_assert(offsetof(PowerResultsPeriod_C, rmsVoltage) == offsetof(PowerResultsPeriod, rmsVoltage), "PowerResultsPeriod.rmsVoltage in C");
static_assert(offsetof(PowerResultsPeriod_C, rmsCurrent) == offsetof(PowerResultsPeriod, rmsCurrent), "PowerResultsPeriod.rmsCurrent in C");
static_assert(offsetof(PowerResultsPeriod_C, rmsLineToLine) == offsetof(PowerResultsPeriod, rmsLineToLine), "PowerResultsPeriod.rmsLineToLine in C");
static_assert(offsetof(PowerResultsPeriod_C, activePower) == offsetof(PowerResultsPeriod, activePower), "PowerResultsPeriod.activePower in C");
static_assert(offsetof(PowerResultsPeriod_C, nonActivePower) == offsetof(PowerResultsPeriod, nonActivePower), "PowerResultsPeriod.nonActivePower in C");
static_assert(offsetof(PowerResultsPeriod_C, apparentPower) == offsetof(PowerResultsPeriod, apparentPower), "PowerResultsPeriod.apparentPower in C");
static_assert(offsetof(PowerResultsPeriod_C, powerFactor) == offsetof(PowerResultsPeriod, powerFactor), "PowerResultsPeriod.powerFactor in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalVoltage) == offsetof(PowerResultsPeriod, fundamentalVoltage), "PowerResultsPeriod.fundamentalVoltage in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalCurrent) == offsetof(PowerResultsPeriod, fundamentalCurrent), "PowerResultsPeriod.fundamentalCurrent in C");
static_assert(offsetof(PowerResultsPeriod_C, reserved) == offsetof(PowerResultsPeriod, reserved), "PowerResultsPeriod.reserved in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalActivePower) == offsetof(PowerResultsPeriod, fundamentalActivePower), "PowerResultsPeriod.fundamentalActivePower in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalReactivePower) == offsetof(PowerResultsPeriod, fundamentalReactivePower), "PowerResultsPeriod.fundamentalReactivePower in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalReactivePowerSum) == offsetof(PowerResultsPeriod, fundamentalReactivePowerSum), "PowerResultsPeriod.fundamentalReactivePowerSum in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalApparentPower) == offsetof(PowerResultsPeriod, fundamentalApparentPower), "PowerResultsPeriod.fundamentalApparentPower in C");
static_assert(offsetof(PowerResultsPeriod_C, fundamentalPhaseAngle) == offsetof(PowerResultsPeriod, fundamentalPhaseAngle), "PowerResultsPeriod.fundamentalPhaseAngle in C");
static_assert(offsetof(PowerResultsPeriod_C, rvcVoltage) == offsetof(PowerResultsPeriod, rvcVoltage), "PowerResultsPeriod.rvcVoltage in C");
static_assert(offsetof(PowerResultsPeriod_C, rvcLineToLineVoltage) == offsetof(PowerResultsPeriod, rvcLineToLineVoltage), "PowerResultsPeriod.rvcLineToLineVoltage in C");
static_assert(offsetof(PowerResultsPeriod_C, symmetricalComponent) == offsetof(PowerResultsPeriod, symmetricalComponent), "PowerResultsPeriod.symmetricalComponent in C");

PowerErrorReporter reportErrorCallbackFunction = nullptr;

namespace {

PowerModule& moduleOf(PowerModuleHandle handle) {
    return powerquality::objectOf<PowerModule>(handle, "null module handle");
}

template <typename T>
T& required(T* pointer) {
    return powerquality::requiredOr(pointer, "null out-parameter or array");
}

}  // namespace

PowerModuleHandle powerModule_create(void) {
    try {
        return reinterpret_cast<PowerModuleHandle>(new PowerModule());
    } catch (...) {
        return nullptr;
    }
}

int32_t powerModule_destroy(PowerModuleHandle module) {
    return powerquality::destroyed<PowerModule>(module);
}

int32_t registerErrorReporter(PowerErrorReporter reporter) {
    reportErrorCallbackFunction = reporter;
    return 0;
}

int32_t getVersionString(const char** version) {
    return powerquality::guarded([&] { required(version) = POWERQUALITY_VERSION_STRING; });
}

int32_t getVersionNumber(int32_t* version) {
    return powerquality::guarded([&] { required(version) = POWERQUALITY_VERSION_NUMBER; });
}

// The handle is not used: the message belongs to the calling thread, whatever
// module (or none) its failing call was about.
int32_t getLastErrorMessage(PowerModuleHandle, const char** message) {
    return powerquality::guarded([&] { required(message) = powerquality::lastErrorMessage(); });
}

int32_t getCurrentEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getCurrentEnabled();
    });
}

int32_t getCurrentsCount(PowerModuleHandle module, unsigned char* value) {
    return powerquality::guarded([&] {
        unsigned char& out = required(value);
        out = moduleOf(module).getCurrentsCount();
    });
}

int32_t getFullFftEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getFullFftEnabled();
    });
}

int32_t getFundamentalPeriodValuesEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getFundamentalPeriodValuesEnabled();
    });
}

int32_t getHalfPeriodValuesCount(PowerModuleHandle module, unsigned short* value) {
    return powerquality::guarded([&] {
        unsigned short& out = required(value);
        out = moduleOf(module).getHalfPeriodValuesCount();
    });
}

int32_t getHighestRequestedHarmonic(PowerModuleHandle module, int* value) {
    return powerquality::guarded([&] {
        int& out = required(value);
        out = moduleOf(module).getHighestRequestedHarmonic();
    });
}

int32_t getInterHarmonicsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getInterHarmonicsEnabled();
    });
}

int32_t getLineToLineResultsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getLineToLineResultsEnabled();
    });
}

int32_t getPeriodSymmetricalComponentsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getPeriodSymmetricalComponentsEnabled();
    });
}

int32_t getPeriodValuesEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getPeriodValuesEnabled();
    });
}

int32_t getPeriodValuesOverlapInPercent(PowerModuleHandle module, unsigned short* value) {
    return powerquality::guarded([&] {
        unsigned short& out = required(value);
        out = moduleOf(module).getPeriodValuesOverlapInPercent();
    });
}

int32_t getPhasesCount(PowerModuleHandle module, unsigned char* value) {
    return powerquality::guarded([&] {
        unsigned char& out = required(value);
        out = moduleOf(module).getPhasesCount();
    });
}

int32_t getRvcEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getRvcEnabled();
    });
}

int32_t getRvcSteadyStateLengthInNumberOfPeriodValues(PowerModuleHandle module, int* value) {
    return powerquality::guarded([&] {
        int& out = required(value);
        out = moduleOf(module).getRvcSteadyStateLength();
    });
}

int32_t getRvcThresholdHysteresisInPercentOfThreshold(PowerModuleHandle module, double* value) {
    return powerquality::guarded([&] {
        double& out = required(value);
        out = moduleOf(module).getRvcThresholdHysteresis();
    });
}

int32_t getRvcThresholdInPercentOfAverage(PowerModuleHandle module, double* value) {
    return powerquality::guarded([&] {
        double& out = required(value);
        out = moduleOf(module).getRvcThreshold();
    });
}

int32_t getSymmetricalComponentsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getSymmetricalComponentsEnabled();
    });
}

int32_t getThdEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getThdEnabled();
    });
}

int32_t getThdHighestHarmonic(PowerModuleHandle module, int* value) {
    return powerquality::guarded([&] {
        int& out = required(value);
        out = moduleOf(module).getThdHighestHarmonic();
    });
}

int32_t getVoltagesCount(PowerModuleHandle module, unsigned char* value) {
    return powerquality::guarded([&] {
        unsigned char& out = required(value);
        out = moduleOf(module).getVoltagesCount();
    });
}

int32_t getWaveformsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getWaveformsEnabled();
    });
}

int32_t getWindowedResultsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getWindowedResultsEnabled();
    });
}

int32_t isAnyResultReady(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).isAnyResultReady();
    });
}

int32_t setBufferLength(PowerModuleHandle module, unsigned int length) {
    return powerquality::guarded([&] { moduleOf(module).setBufferLength(length); });
}

int32_t setCurrentEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setCurrentEnabled(enabled); });
}

int32_t setFullFftEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setFullFftEnabled(enabled); });
}

int32_t setFundamentalPeriodValuesEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setFundamentalPeriodValuesEnabled(enabled); });
}

int32_t setGridConfigType(PowerModuleHandle module, PowerGridConfigType type) {
    return powerquality::guarded([&] { moduleOf(module).setGridConfigType(type); });
}

int32_t setHalfPeriodValuesCount(PowerModuleHandle module, unsigned short count) {
    return powerquality::guarded([&] { moduleOf(module).setHalfPeriodValuesCount(count); });
}

int32_t setHighestRequestedHarmonic(PowerModuleHandle module, int harmonic) {
    return powerquality::guarded([&] { moduleOf(module).setHighestRequestedHarmonic(harmonic); });
}

int32_t setInterHarmonicsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setInterHarmonicsEnabled(enabled); });
}

int32_t setLineToLineResultsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setLineToLineResultsEnabled(enabled); });
}

int32_t setPeriodCount(PowerModuleHandle module, unsigned short count) {
    return powerquality::guarded([&] { moduleOf(module).setPeriodCount(count); });
}

int32_t setPeriodSymmetricalComponentsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setPeriodSymmetricalComponentsEnabled(enabled); });
}

int32_t setPeriodValuesEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setPeriodValuesEnabled(enabled); });
}

int32_t setPeriodValuesOverlapInPercent(PowerModuleHandle module, unsigned short percent) {
    return powerquality::guarded([&] { moduleOf(module).setPeriodValuesOverlapInPercent(percent); });
}

int32_t setRvcEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setRvcEnabled(enabled); });
}

int32_t setRvcSteadyStateLengthInNumberOfPeriodValues(PowerModuleHandle module, int periodValues) {
    return powerquality::guarded([&] { moduleOf(module).setRvcSteadyStateLength(periodValues); });
}

int32_t setRvcThresholdHysteresisInPercentOfThreshold(PowerModuleHandle module, double percentOfThreshold) {
    return powerquality::guarded([&] { moduleOf(module).setRvcThresholdHysteresis(percentOfThreshold); });
}

int32_t setRvcThresholdInPercentOfAverage(PowerModuleHandle module, double percentOfAverage) {
    return powerquality::guarded([&] { moduleOf(module).setRvcThreshold(percentOfAverage); });
}

int32_t setSampleRate(PowerModuleHandle module, double sampleRate, int sampleIndexDivisor) {
    return powerquality::guarded([&] { moduleOf(module).setSampleRate(sampleRate, sampleIndexDivisor); });
}

int32_t setStaticFrequency(PowerModuleHandle module, double frequency, double tolerance) {
    return powerquality::guarded([&] { moduleOf(module).setStaticFrequency(frequency, tolerance); });
}

int32_t setSymmetricalComponentsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setSymmetricalComponentsEnabled(enabled); });
}

int32_t setThdEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setThdEnabled(enabled); });
}

int32_t setThdHighestHarmonic(PowerModuleHandle module, int harmonic) {
    return powerquality::guarded([&] { moduleOf(module).setThdHighestHarmonic(harmonic); });
}

int32_t setVariableFrequency(PowerModuleHandle module, double minFrequency, double maxFrequency) {
    return powerquality::guarded([&] { moduleOf(module).setVariableFrequency(minFrequency, maxFrequency); });
}

int32_t setWaveformsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setWaveformsEnabled(enabled); });
}

int32_t setWindowedResultsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setWindowedResultsEnabled(enabled); });
}

int32_t setHarmonicSubgroupsEnabled(PowerModuleHandle module, bool enabled) {
    return powerquality::guarded([&] { moduleOf(module).setHarmonicSubgroupsEnabled(enabled); });
}

int32_t getHarmonicSubgroupsEnabled(PowerModuleHandle module, bool* value) {
    return powerquality::guarded([&] {
        bool& out = required(value);
        out = moduleOf(module).getHarmonicSubgroupsEnabled();
    });
}

int32_t setSignallingFrequencies(PowerModuleHandle module, const double* frequencies, int count) {
    return powerquality::guarded([&] {
        PowerModule& m = moduleOf(module);
        if (count < 0) {
            throw std::invalid_argument("negative count of signalling frequencies");
        }
        const double* first = count == 0 ? frequencies : &required(frequencies);
        m.setSignallingFrequencies(std::vector<double>(first, first + count));
    });
}

namespace {

// values into out (capacity of them) and their number into *count; status 2
// when they do not fit.
void copyOut(const std::vector<double>& values, int capacity, int* count, double* out) {
    int& written = required(count);
    if (capacity < 0) {
        throw std::invalid_argument("negative capacity");
    }
    if (values.size() > static_cast<unsigned int>(capacity)) {
        throw PowerErrorTooManyResults("Too many values to fit in allocated space.");
    }
    if (!values.empty()) {
        std::memcpy(&required(out), values.data(), values.size() * sizeof(double));
    }
    written = static_cast<int>(values.size());
}

}  // namespace

int32_t getSignallingFrequencies(PowerModuleHandle module, int capacity, int* count, double* frequencies) {
    return powerquality::guarded(
        [&] { copyOut(moduleOf(module).getSignallingFrequencies(), capacity, count, frequencies); });
}

int32_t getSignallingVoltages(PowerModuleHandle module, int capacity, int* count, double* values) {
    return powerquality::guarded([&] { copyOut(moduleOf(module).getSignallingVoltages(), capacity, count, values); });
}

int32_t beginUpdate(PowerModuleHandle module) {
    return powerquality::guarded([&] { moduleOf(module).beginUpdate(); });
}

int32_t endUpdate(PowerModuleHandle module) {
    return powerquality::guarded([&] { moduleOf(module).endUpdate(); });
}

int32_t reset(PowerModuleHandle module, uint64_t firstSampleIndex) {
    return powerquality::guarded([&] { moduleOf(module).reset(firstSampleIndex); });
}

int32_t scheduleForCalculation(PowerModuleHandle module, uint64_t firstSampleIndex, int periodCount, double frequency) {
    return powerquality::guarded([&] { moduleOf(module).scheduleForCalculation(firstSampleIndex, periodCount, frequency); });
}

int32_t skipSamples(PowerModuleHandle module, unsigned int count) {
    return powerquality::guarded([&] { moduleOf(module).skipSamples(count); });
}

int32_t writeSamples(PowerModuleHandle module, unsigned int count) {
    return powerquality::guarded([&] { moduleOf(module).writeSamples(count); });
}

int32_t syncCuda(PowerModuleHandle module) {
    return powerquality::guarded([&] { moduleOf(module).sync(); });
}

int32_t scheduleForPeriodCalculation(PowerModuleHandle module, int count, uint64_t* firstSampleIndices, int* lengths,
                                     double* frequencies, bool* flags) {
    static_assert(sizeof(uint64_t) == sizeof(unsigned long long), "caller indices are 64-bit");
    return powerquality::guarded([&] {
        moduleOf(module).scheduleForPeriodCalculation(
            count, reinterpret_cast<unsigned long long*>(firstSampleIndices), lengths, frequencies, flags);
    });
}

int32_t getWaveformBufferI(PowerModuleHandle module, unsigned char channel, float** buffer) {
    return powerquality::guarded([&] { moduleOf(module).getWaveformBufferI(channel, &required(buffer)); });
}

int32_t getWaveformBufferUDelta(PowerModuleHandle module, unsigned char channel, float** buffer) {
    return powerquality::guarded([&] { moduleOf(module).getWaveformBufferUDelta(channel, &required(buffer)); });
}

int32_t getWaveformBufferUInput(PowerModuleHandle module, unsigned char channel, float** buffer) {
    return powerquality::guarded([&] { moduleOf(module).getWaveformBufferUInput(channel, &required(buffer)); });
}

int32_t getWaveformBufferUStar(PowerModuleHandle module, unsigned char channel, float** buffer) {
    return powerquality::guarded([&] { moduleOf(module).getWaveformBufferUStar(channel, &required(buffer)); });
}

int32_t getPeriodResults(PowerModuleHandle module, int* count, bool* hasMoreResults, PowerResultsPeriod** results) {
    return powerquality::guarded([&] {
        PowerModule& m = moduleOf(module);
        m.getPeriodResults(&required(count), &required(hasMoreResults), &required(results));
    });
}

int32_t getResults(PowerModuleHandle module, int capacity, int* count, PowerResultsGeneral* results) {
    return powerquality::guarded([&] {
        PowerModule& m = moduleOf(module);
        int& written = required(count);
        PowerResultsGeneral* array = &required(results);
        if (capacity < 0) {
            throw std::invalid_argument("negative capacity");
        }
        const std::vector<PowerResultsGeneral> records = m.getResults(capacity);
        if (records.size() > static_cast<unsigned int>(capacity)) {
            throw PowerErrorTooManyResults("Too many results to fit in allocated space.");
        }
        written = static_cast<int>(records.size());
        if (!records.empty()) {
            std::memcpy(static_cast<void*>(array), records.data(), records.size() * sizeof(PowerResultsGeneral));
        }
    });
}
