// The flat interface of the voltage event detector: each function opens the
// guard, forwards to the detector and lets the guard map exceptions to status
// codes.
#include "powerquality/VoltageEventDetectorApi.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "flat/FlatGuard.h"
#include "powerquality/VoltageEventDetector.h"

namespace {

VoltageEventDetector& detectorOf(VoltageEventDetectorHandle handle) {
    return powerquality::objectOf<VoltageEventDetector>(handle, "null voltage event detector handle");
}

template <typename T>
T& required(T* pointer) {
    return powerquality::requiredOr(pointer, "null out-parameter or array");
}

std::size_t capacityOf(int capacity) {
    if (capacity < 0) {
        throw std::invalid_argument("negative capacity");
    }
    return static_cast<std::size_t>(capacity);
}

void copyOut(const std::vector<VoltageEvent>& events, int& count, VoltageEvent* array) {
    if (!events.empty()) {
        std::memcpy(static_cast<void*>(array), events.data(), events.size() * sizeof(VoltageEvent));
    }
    count = static_cast<int>(events.size());
}

}  // namespace

VoltageEventDetectorHandle voltageEventDetector_create(double declaredVoltage, int phasesCount) {
    return powerquality::createdOrNull<VoltageEventDetectorHandle>([&] {
        if (phasesCount < 1) {
            throw std::invalid_argument("phase count must be 1 to 32");
        }
        return new VoltageEventDetector(declaredVoltage, static_cast<unsigned int>(phasesCount));
    });
}

int32_t voltageEventDetector_destroy(VoltageEventDetectorHandle detector) {
    return powerquality::destroyed<VoltageEventDetector>(detector);
}

int32_t voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(VoltageEventDetectorHandle detector, double dip,
                                                                      double swell, double interruption,
                                                                      double hysteresis) {
    return powerquality::guarded([&] { detectorOf(detector).setThresholds(dip, swell, interruption, hysteresis); });
}

int32_t voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(VoltageEventDetectorHandle detector, double* dip,
                                                                      double* swell, double* interruption,
                                                                      double* hysteresis) {
    return powerquality::guarded([&] {
        const VoltageEventDetector& d = detectorOf(detector);
        double& outDip = required(dip);
        double& outSwell = required(swell);
        double& outInterruption = required(interruption);
        double& outHysteresis = required(hysteresis);
        outDip = d.getDipThreshold();
        outSwell = d.getSwellThreshold();
        outInterruption = d.getInterruptionThreshold();
        outHysteresis = d.getHysteresis();
    });
}

int32_t voltageEventDetector_setWindowStartStamps(VoltageEventDetectorHandle detector, int valuesPerWindow) {
    return powerquality::guarded([&] {
        VoltageEventDetector& d = detectorOf(detector);
        if (valuesPerWindow < 0) {
            throw std::invalid_argument("negative values per window");
        }
        d.setWindowStartStamps(static_cast<unsigned int>(valuesPerWindow));
    });
}

int32_t voltageEventDetector_getWindowStartStamps(VoltageEventDetectorHandle detector, int* valuesPerWindow) {
    return powerquality::guarded([&] {
        const VoltageEventDetector& d = detectorOf(detector);
        required(valuesPerWindow) = static_cast<int>(d.getWindowStartStamps());
    });
}

int32_t voltageEventDetector_addPeriodResults(VoltageEventDetectorHandle detector, const PowerResultsPeriod* records,
                                              int itemCount) {
    return powerquality::guarded([&] { detectorOf(detector).addPeriodResults(records, itemCount); });
}

int32_t voltageEventDetector_addRmsValues(VoltageEventDetectorHandle detector, double time,
                                          const double* rmsVoltages) {
    return powerquality::guarded([&] { detectorOf(detector).addRmsValues(time, rmsVoltages); });
}

int32_t voltageEventDetector_getEvents(VoltageEventDetectorHandle detector, int capacity, int* count,
                                       VoltageEvent* events) {
    return powerquality::guarded([&] {
        VoltageEventDetector& d = detectorOf(detector);
        int& written = required(count);
        VoltageEvent* array = &required(events);
        copyOut(d.getEvents(capacityOf(capacity)), written, array);
    });
}

int32_t voltageEventDetector_getRunningEvents(VoltageEventDetectorHandle detector, int capacity, int* count,
                                              VoltageEvent* events) {
    return powerquality::guarded([&] {
        const VoltageEventDetector& d = detectorOf(detector);
        int& written = required(count);
        VoltageEvent* array = &required(events);
        std::vector<VoltageEvent> running = d.getRunningEvents();
        running.resize(std::min(running.size(), capacityOf(capacity)));
        copyOut(running, written, array);
    });
}

int32_t voltageEventDetector_closeRunningEvents(VoltageEventDetectorHandle detector) {
    return powerquality::guarded([&] { detectorOf(detector).closeRunningEvents(); });
}
