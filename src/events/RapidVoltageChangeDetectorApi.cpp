// The flat interface of the rapid voltage change detector: each function
// opens the guard, forwards to the detector and lets the guard map exceptions
// to status codes.
#include "powerquality/RapidVoltageChangeDetectorApi.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "flat/FlatGuard.h"
#include "powerquality/RapidVoltageChangeDetector.h"

namespace {

RapidVoltageChangeDetector& detectorOf(RapidVoltageChangeDetectorHandle handle) {
    return powerquality::objectOf<RapidVoltageChangeDetector>(handle, "null rapid voltage change detector handle");
}

template <typename T>
T& required(T* pointer) {
    return powerquality::requiredOr(pointer, "null out-parameter or array");
}

unsigned int notNegative(int value, const char* what) {
    if (value < 0) {
        throw std::invalid_argument(what);
    }
    return static_cast<unsigned int>(value);
}

void copyOut(std::vector<RapidVoltageChange> events, int capacity, int& count, RapidVoltageChange* array) {
    events.resize(std::min(events.size(), static_cast<std::size_t>(capacity)));
    if (!events.empty()) {
        std::memcpy(static_cast<void*>(array), events.data(), events.size() * sizeof(RapidVoltageChange));
    }
    count = static_cast<int>(events.size());
}

}  // namespace

RapidVoltageChangeDetectorHandle rapidVoltageChangeDetector_create(double declaredVoltage, int phasesCount,
                                                                   int steadyStateLength) {
    return powerquality::createdOrNull<RapidVoltageChangeDetectorHandle>([&] {
        return new RapidVoltageChangeDetector(declaredVoltage, notNegative(phasesCount, "negative phase count"),
                                              notNegative(steadyStateLength, "negative steady-state length"));
    });
}

int32_t rapidVoltageChangeDetector_destroy(RapidVoltageChangeDetectorHandle detector) {
    return powerquality::destroyed<RapidVoltageChangeDetector>(detector);
}

int32_t rapidVoltageChangeDetector_setThresholdsInPercentOfDeclaredVoltage(RapidVoltageChangeDetectorHandle detector,
                                                                           double threshold, double hysteresis) {
    return powerquality::guarded([&] { detectorOf(detector).setThresholds(threshold, hysteresis); });
}

int32_t rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage(RapidVoltageChangeDetectorHandle detector,
                                                                           double* threshold, double* hysteresis) {
    return powerquality::guarded([&] {
        const RapidVoltageChangeDetector& d = detectorOf(detector);
        double& outThreshold = required(threshold);
        double& outHysteresis = required(hysteresis);
        outThreshold = d.getThreshold();
        outHysteresis = d.getHysteresis();
    });
}

int32_t rapidVoltageChangeDetector_setDipSwellThresholdsInPercentOfDeclaredVoltage(
    RapidVoltageChangeDetectorHandle detector, double dip, double swell) {
    return powerquality::guarded([&] { detectorOf(detector).setDipSwellThresholds(dip, swell); });
}

int32_t rapidVoltageChangeDetector_getDipSwellThresholdsInPercentOfDeclaredVoltage(
    RapidVoltageChangeDetectorHandle detector, double* dip, double* swell) {
    return powerquality::guarded([&] {
        const RapidVoltageChangeDetector& d = detectorOf(detector);
        double& outDip = required(dip);
        double& outSwell = required(swell);
        outDip = d.getDipThreshold();
        outSwell = d.getSwellThreshold();
    });
}

int32_t rapidVoltageChangeDetector_setWindowStartStamps(RapidVoltageChangeDetectorHandle detector,
                                                        int valuesPerWindow) {
    return powerquality::guarded([&] {
        RapidVoltageChangeDetector& d = detectorOf(detector);
        d.setWindowStartStamps(notNegative(valuesPerWindow, "negative values per window"));
    });
}

int32_t rapidVoltageChangeDetector_getWindowStartStamps(RapidVoltageChangeDetectorHandle detector,
                                                        int* valuesPerWindow) {
    return powerquality::guarded([&] {
        const RapidVoltageChangeDetector& d = detectorOf(detector);
        required(valuesPerWindow) = static_cast<int>(d.getWindowStartStamps());
    });
}

int32_t rapidVoltageChangeDetector_addPeriodResults(RapidVoltageChangeDetectorHandle detector,
                                                    const PowerResultsPeriod* records, int itemCount) {
    return powerquality::guarded([&] { detectorOf(detector).addPeriodResults(records, itemCount); });
}

int32_t rapidVoltageChangeDetector_addRmsValues(RapidVoltageChangeDetectorHandle detector, double time,
                                                const double* rmsVoltages) {
    return powerquality::guarded([&] { detectorOf(detector).addRmsValues(time, rmsVoltages); });
}

int32_t rapidVoltageChangeDetector_getEvents(RapidVoltageChangeDetectorHandle detector, int capacity, int* count,
                                             RapidVoltageChange* events) {
    return powerquality::guarded([&] {
        RapidVoltageChangeDetector& d = detectorOf(detector);
        int& written = required(count);
        RapidVoltageChange* array = &required(events);
        copyOut(d.getEvents(notNegative(capacity, "negative capacity")), capacity, written, array);
    });
}

int32_t rapidVoltageChangeDetector_getRunningEvents(RapidVoltageChangeDetectorHandle detector, int capacity,
                                                    int* count, RapidVoltageChange* events) {
    return powerquality::guarded([&] {
        const RapidVoltageChangeDetector& d = detectorOf(detector);
        int& written = required(count);
        RapidVoltageChange* array = &required(events);
        copyOut(d.getRunningEvents(), static_cast<int>(notNegative(capacity, "negative capacity")), written, array);
    });
}
