#include "records.h"

#include <cstring>

#include "powerquality/PowerResults.h"

namespace powerquality_python {

#define PQ_SCALAR(builder, Record, field) \
    (builder).scalar<decltype(Record::field)>(#field, offsetof(Record, field))

py::dtype rvcResultDtype() {
    DtypeBuilder b(sizeof(RvcResult));
    PQ_SCALAR(b, RvcResult, stateChanged);
    PQ_SCALAR(b, RvcResult, state);
    PQ_SCALAR(b, RvcResult, eventEnded);
    PQ_SCALAR(b, RvcResult, deltaUss);
    PQ_SCALAR(b, RvcResult, deltaUmax);
    PQ_SCALAR(b, RvcResult, duration);
    PQ_SCALAR(b, RvcResult, time);
    return b.build();
}

py::dtype symmetricalComponentDtype() {
    using R = PowerResultsSymmetricalComponent;
    DtypeBuilder b(sizeof(R));
    PQ_SCALAR(b, R, voltage);
    PQ_SCALAR(b, R, lineToLineVoltage);
    PQ_SCALAR(b, R, current);
    PQ_SCALAR(b, R, voltageMagnitude);
    PQ_SCALAR(b, R, lineToLineVoltageMagnitude);
    PQ_SCALAR(b, R, currentMagnitude);
    PQ_SCALAR(b, R, activePower);
    PQ_SCALAR(b, R, reactivePower);
    PQ_SCALAR(b, R, apparentPower);
    PQ_SCALAR(b, R, activeCurrent);
    PQ_SCALAR(b, R, reactiveCurrent);
    PQ_SCALAR(b, R, powerFactor);
    PQ_SCALAR(b, R, voltageRms);
    PQ_SCALAR(b, R, currentRms);
    PQ_SCALAR(b, R, voltageRmsUnbalance);
    PQ_SCALAR(b, R, currentRmsUnbalance);
    PQ_SCALAR(b, R, voltageUnbalance);
    PQ_SCALAR(b, R, currentUnbalance);
    return b.build();
}

py::dtype thdDtype() {
    DtypeBuilder b(sizeof(PowerResultsThd));
    PQ_SCALAR(b, PowerResultsThd, thd);
    PQ_SCALAR(b, PowerResultsThd, partialThd1);
    PQ_SCALAR(b, PowerResultsThd, partialThd2);
    PQ_SCALAR(b, PowerResultsThd, partialThd3);
    PQ_SCALAR(b, PowerResultsThd, partialThd4);
    PQ_SCALAR(b, PowerResultsThd, thdRms);
    PQ_SCALAR(b, PowerResultsThd, harmonicContent);
    PQ_SCALAR(b, PowerResultsThd, distortionContent);
    PQ_SCALAR(b, PowerResultsThd, totalDistortion);
    return b.build();
}

namespace {

// The fields of PowerResultsPeriod, each at `base` plus its offset.
void addPeriodFields(DtypeBuilder& b, std::size_t base) {
    using R = PowerResultsPeriod;
#define PQ_PERIOD(field) b.scalar<decltype(R::field)>(#field, base + offsetof(R, field))
    PQ_PERIOD(time);
    PQ_PERIOD(frequency);
    PQ_PERIOD(rmsVoltage);
    PQ_PERIOD(rmsCurrent);
    PQ_PERIOD(rmsLineToLine);
    PQ_PERIOD(activePower);
    PQ_PERIOD(nonActivePower);
    PQ_PERIOD(apparentPower);
    PQ_PERIOD(powerFactor);
    PQ_PERIOD(fundamentalVoltage);
    PQ_PERIOD(fundamentalCurrent);
    PQ_PERIOD(reserved);
    PQ_PERIOD(fundamentalActivePower);
    PQ_PERIOD(fundamentalReactivePower);
    PQ_PERIOD(fundamentalReactivePowerSum);
    PQ_PERIOD(fundamentalApparentPower);
    PQ_PERIOD(fundamentalPhaseAngle);
#undef PQ_PERIOD
    b.add("rvcVoltage", rvcResultDtype(), base + offsetof(R, rvcVoltage));
    b.add("rvcLineToLineVoltage", rvcResultDtype(), base + offsetof(R, rvcLineToLineVoltage));
    b.add("symmetricalComponent", symmetricalComponentDtype(), base + offsetof(R, symmetricalComponent));
}

}  // namespace

py::dtype periodRecordDtype() {
    DtypeBuilder b(sizeof(PowerResultsPeriod));
    addPeriodFields(b, 0);
    return b.build();
}

py::dtype periodRowDtype() {
    DtypeBuilder b(periodRowHeader + sizeof(PowerResultsPeriod));
    b.scalar<int64_t>("item", 0);
    b.scalar<int32_t>("phase", 8);
    addPeriodFields(b, periodRowHeader);
    return b.build();
}

py::dtype generalPhaseDtype() {
    using R = PowerResultsGeneralPhase;
    DtypeBuilder b(sizeof(R));
    PQ_SCALAR(b, R, dcVoltage);
    PQ_SCALAR(b, R, dcCurrent);
    PQ_SCALAR(b, R, dcLineToLine);
    PQ_SCALAR(b, R, rmsVoltage);
    PQ_SCALAR(b, R, rmsCurrent);
    PQ_SCALAR(b, R, rmsLineToLine);
    PQ_SCALAR(b, R, activePower);
    PQ_SCALAR(b, R, spectrumRmsVoltage);
    PQ_SCALAR(b, R, spectrumRmsCurrent);
    PQ_SCALAR(b, R, spectrumRmsLineToLine);
    PQ_SCALAR(b, R, fundamentalVoltage);
    PQ_SCALAR(b, R, fundamentalCurrent);
    PQ_SCALAR(b, R, fundamentalLineToLine);
    PQ_SCALAR(b, R, spectrumActivePower);
    PQ_SCALAR(b, R, nonActivePower);
    PQ_SCALAR(b, R, apparentPower);
    PQ_SCALAR(b, R, powerFactor);
    PQ_SCALAR(b, R, distortionPowerQ1);
    PQ_SCALAR(b, R, reactivePower);
    PQ_SCALAR(b, R, distortionPower);
    PQ_SCALAR(b, R, fundamentalActivePower);
    PQ_SCALAR(b, R, fundamentalReactivePower);
    PQ_SCALAR(b, R, fundamentalApparentPower);
    PQ_SCALAR(b, R, displacementPowerFactor);
    PQ_SCALAR(b, R, fundamentalReactivePowerSum);
    PQ_SCALAR(b, R, impedance);
    PQ_SCALAR(b, R, fundamentalAux);
    const py::dtype thd = thdDtype();
    b.add("thdVoltage", thd, offsetof(R, thdVoltage));
    b.add("thdCurrent", thd, offsetof(R, thdCurrent));
    b.add("thdLineToLine", thd, offsetof(R, thdLineToLine));
    b.add("thdInterVoltage", thd, offsetof(R, thdInterVoltage));
    b.add("thdInterCurrent", thd, offsetof(R, thdInterCurrent));
    b.add("thdInterLineToLine", thd, offsetof(R, thdInterLineToLine));
    PQ_SCALAR(b, R, harmonicCurrentContent);
    return b.build();
}

py::dtype generalRecordDtype() {
    using R = PowerResultsGeneral;
    DtypeBuilder b(sizeof(R));
    PQ_SCALAR(b, R, time);
    PQ_SCALAR(b, R, frequency);
    PQ_SCALAR(b, R, dFrequency);
    PQ_SCALAR(b, R, firstSampleIndex);
    PQ_SCALAR(b, R, length);
    PQ_SCALAR(b, R, fftOutputLength);
    PQ_SCALAR(b, R, harmonicLength);
    PQ_SCALAR(b, R, phasesCount);
    constexpr std::size_t phaseSlots = sizeof(R::phases) / sizeof(R::phases[0]);
    constexpr std::size_t sequences = sizeof(R::symmetricalComponents) / sizeof(R::symmetricalComponents[0]);
    b.add("phases", py::make_tuple(generalPhaseDtype(), phaseSlots), offsetof(R, phases));
    b.add("symmetricalComponents", py::make_tuple(symmetricalComponentDtype(), sequences),
          offsetof(R, symmetricalComponents));
    return b.build();
}

namespace {

// Records filled by the C++ compiler, field by field, with values that tell
// the fields apart: the tests read them through the dtypes.
py::bytes periodRecordProbe() {
    PowerResultsPeriod r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.time = 1.5;
    r.frequency = 2.5;
    r.rmsVoltage = 3.5;
    r.rmsCurrent = 4.5;
    r.rmsLineToLine = 5.5;
    r.activePower = 6.5;
    r.nonActivePower = 7.5;
    r.apparentPower = 8.5;
    r.powerFactor = 9.5;
    r.fundamentalVoltage = 10.5;
    r.fundamentalCurrent = 11.5;
    r.reserved = 12.5;
    r.fundamentalActivePower = 13.5;
    r.fundamentalReactivePower = 14.5;
    r.fundamentalReactivePowerSum = 15.5;
    r.fundamentalApparentPower = 16.5;
    r.fundamentalPhaseAngle = 17.5;
    r.rvcVoltage.stateChanged = true;
    r.rvcVoltage.state = -1;
    r.rvcVoltage.eventEnded = true;
    r.rvcVoltage.deltaUss = 18.5f;
    r.rvcVoltage.deltaUmax = 19.5f;
    r.rvcVoltage.duration = 20.5;
    r.rvcVoltage.time = 21.5;
    r.rvcLineToLineVoltage.state = 1;
    r.rvcLineToLineVoltage.deltaUmax = 22.5f;
    r.rvcLineToLineVoltage.time = 23.5;
    r.symmetricalComponent.voltage = {24.5, -24.5};
    r.symmetricalComponent.lineToLineVoltage = {25.5, -25.5};
    r.symmetricalComponent.current = {26.5, -26.5};
    r.symmetricalComponent.voltageMagnitude = 27.5;
    r.symmetricalComponent.currentUnbalance = 28.5;
    return py::bytes(reinterpret_cast<const char*>(&r), sizeof r);
}

py::bytes generalRecordProbe() {
    PowerResultsGeneral r;
    std::memset(static_cast<void*>(&r), 0, sizeof r);
    r.time = 1.5;
    r.frequency = 2.5;
    r.dFrequency = 3.5;
    r.firstSampleIndex = 0x123456789ULL;
    r.length = 5;
    r.fftOutputLength = 6;
    r.harmonicLength = 7;
    r.phasesCount = 3;
    r.phases[2].rmsVoltage = 8.5;
    r.phases[3].harmonicCurrentContent = 9.5;
    r.phases[1].thdVoltage.thd = 10.5;
    r.phases[1].thdInterLineToLine.totalDistortion = 11.5;
    r.symmetricalComponents[2].voltage = {12.5, 13.5};
    r.symmetricalComponents[1].voltageUnbalance = 14.5;
    return py::bytes(reinterpret_cast<const char*>(&r), sizeof r);
}

}  // namespace

void bindRecords(py::module_& m) {
    m.attr("RVC_RESULT_DTYPE") = rvcResultDtype();
    m.attr("SYMMETRICAL_COMPONENT_DTYPE") = symmetricalComponentDtype();
    m.attr("THD_DTYPE") = thdDtype();
    m.attr("PERIOD_RECORD_DTYPE") = periodRecordDtype();
    m.attr("PERIOD_DTYPE") = periodRowDtype();
    m.attr("GENERAL_PHASE_DTYPE") = generalPhaseDtype();
    m.attr("GENERAL_RECORD_DTYPE") = generalRecordDtype();
    m.def("_period_record_probe", &periodRecordProbe);
    m.def("_general_record_probe", &generalRecordProbe);
}

}  // namespace powerquality_python
