#include "powerquality/VoltageEventDetector.h"

#include "events/RmsInput.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace {

constexpr int swellKind = VoltageEventSwell - 1;
constexpr unsigned int maxPhases = 32;
constexpr unsigned int maxValuesPerWindow = 64;

std::string describe(double value) { return powerquality::describeNumber(value); }

}  // namespace

VoltageEventDetector::VoltageEventDetector(double declaredVoltage, unsigned int phasesCount)
    : declaredVoltage(declaredVoltage),
      phasesCount(phasesCount),
      dipThreshold(90.0),
      swellThreshold(110.0),
      interruptionThreshold(5.0),
      hysteresis(2.0),
      anyValue(false),
      latestTime(0.0),
      startStampValues(0),
      running{} {
    if (!(std::isfinite(declaredVoltage) && declaredVoltage > 0.0)) {
        throw std::invalid_argument("declared voltage must be positive and finite, not " + describe(declaredVoltage));
    }
    if (phasesCount < 1 || phasesCount > maxPhases) {
        throw std::invalid_argument("phase count must be 1 to 32, not " + std::to_string(phasesCount));
    }
}

double VoltageEventDetector::getDeclaredVoltage() const { return declaredVoltage; }

unsigned int VoltageEventDetector::getPhasesCount() const { return phasesCount; }

void VoltageEventDetector::checkThresholds(double dip, double swell, double interruption, double hyst) const {
    if (!(std::isfinite(dip) && std::isfinite(swell) && std::isfinite(interruption) && std::isfinite(hyst))) {
        throw std::invalid_argument("voltage event thresholds must be finite numbers");
    }
    if (!(0.0 <= interruption && interruption < dip && dip < swell)) {
        throw std::invalid_argument("voltage event thresholds must be in the order 0 <= interruption < dip < swell "
                                    "(interruption " + describe(interruption) + ", dip " + describe(dip) +
                                    ", swell " + describe(swell) + ")");
    }
    if (!(hyst >= 0.0)) {
        throw std::invalid_argument("voltage event hysteresis must not be negative");
    }
    if (!(dip + hyst <= swell - hyst)) {
        throw std::invalid_argument("voltage event hysteresis too wide: the dip's recovery level (dip + hysteresis) "
                                    "must not lie above the swell's (swell - hysteresis)");
    }
}

void VoltageEventDetector::setThresholds(double dip, double swell, double interruption, double hyst) {
    checkThresholds(dip, swell, interruption, hyst);
    dipThreshold = dip;
    swellThreshold = swell;
    interruptionThreshold = interruption;
    hysteresis = hyst;
}

void VoltageEventDetector::setDipThreshold(double percent) {
    setThresholds(percent, swellThreshold, interruptionThreshold, hysteresis);
}

void VoltageEventDetector::setSwellThreshold(double percent) {
    setThresholds(dipThreshold, percent, interruptionThreshold, hysteresis);
}

void VoltageEventDetector::setInterruptionThreshold(double percent) {
    setThresholds(dipThreshold, swellThreshold, percent, hysteresis);
}

void VoltageEventDetector::setHysteresis(double percent) {
    setThresholds(dipThreshold, swellThreshold, interruptionThreshold, percent);
}

double VoltageEventDetector::getDipThreshold() const { return dipThreshold; }

double VoltageEventDetector::getSwellThreshold() const { return swellThreshold; }

double VoltageEventDetector::getInterruptionThreshold() const { return interruptionThreshold; }

double VoltageEventDetector::getHysteresis() const { return hysteresis; }

void VoltageEventDetector::addPeriodResults(const PowerResultsPeriod* records, int itemCount) {
    powerquality::forEachCheckedItem(records, itemCount, phasesCount, anyValue, latestTime,
                                     [this](double time, const double* values) { feed(time, values); });
}

void VoltageEventDetector::addRmsValues(double time, const double* rmsVoltages) {
    if (rmsVoltages == nullptr) {
        throw std::invalid_argument("null RMS values");
    }
    powerquality::checkRmsRow(time, rmsVoltages, phasesCount, anyValue, latestTime, "");
    feed(time, rmsVoltages);
}

void VoltageEventDetector::setWindowStartStamps(unsigned int valuesPerWindow) {
    if (valuesPerWindow > maxValuesPerWindow) {
        throw std::invalid_argument("values per window must be 0 to " + std::to_string(maxValuesPerWindow) +
                                    ", not " + std::to_string(valuesPerWindow));
    }
    startStampValues = valuesPerWindow;
    while (recentTimes.size() > valuesPerWindow) {
        recentTimes.pop_front();
    }
}

unsigned int VoltageEventDetector::getWindowStartStamps() const { return startStampValues; }

void VoltageEventDetector::feed(double time, const double* values) {
    const double scale = declaredVoltage / 100.0;  // volts per percent
    const double dipLevel = dipThreshold * scale;
    const double dipEnd = (dipThreshold + hysteresis) * scale;
    const double swellLevel = swellThreshold * scale;
    const double swellEnd = (swellThreshold - hysteresis) * scale;
    const double interruptionLevel = interruptionThreshold * scale;
    const double interruptionEnd = (interruptionThreshold + hysteresis) * scale;

    double lowest = values[0];
    double highest = values[0];
    uint32_t belowDip = 0;
    uint32_t aboveSwell = 0;
    uint32_t belowInterruption = 0;
    bool allRecoveredFromDip = true;
    bool allRecoveredFromSwell = true;
    bool anyRecoveredFromInterruption = false;
    for (unsigned int k = 0; k < phasesCount; ++k) {
        const double u = values[k];
        const uint32_t bit = uint32_t(1) << k;
        lowest = std::min(lowest, u);
        highest = std::max(highest, u);
        if (u < dipLevel) {
            belowDip |= bit;
        }
        if (u > swellLevel) {
            aboveSwell |= bit;
        }
        if (u < interruptionLevel) {
            belowInterruption |= bit;
        }
        allRecoveredFromDip = allRecoveredFromDip && u >= dipEnd;
        allRecoveredFromSwell = allRecoveredFromSwell && u <= swellEnd;
        anyRecoveredFromInterruption = anyRecoveredFromInterruption || u >= interruptionEnd;
    }
    const uint32_t allPhases = phasesCount == maxPhases ? ~uint32_t(0) : (uint32_t(1) << phasesCount) - 1u;

    const bool ends[3] = {allRecoveredFromDip, allRecoveredFromSwell, anyRecoveredFromInterruption};
    const bool starts[3] = {belowDip != 0, aboveSwell != 0, belowInterruption == allPhases};
    const uint32_t beyond[3] = {belowDip, aboveSwell, belowInterruption};
    const double extreme[3] = {lowest, highest, lowest};
    const double startStamp = powerquality::windowStartOf(recentTimes, startStampValues, time);

    VoltageEvent ended[3];
    int endedCount = 0;
    for (int kind = 0; kind < 3; ++kind) {
        Running& r = running[kind];
        if (r.active) {
            if (ends[kind]) {
                ended[endedCount++] = eventOf(kind, time);
                r.active = false;
            } else {
                r.extreme = kind == swellKind ? std::max(r.extreme, extreme[kind]) : std::min(r.extreme, extreme[kind]);
                r.phases |= beyond[kind];
            }
        } else if (starts[kind]) {
            r.active = true;
            r.startTime = startStamp;
            r.extreme = extreme[kind];
            r.phases = beyond[kind];
        }
    }
    queueInStartOrder(ended, endedCount);
    powerquality::rememberTime(recentTimes, startStampValues, time);
    anyValue = true;
    latestTime = time;
}

VoltageEvent VoltageEventDetector::eventOf(int kind, double endTime) const {
    const Running& r = running[kind];
    VoltageEvent event;
    event.type = kind + 1;
    event.phases = r.phases;
    event.startTime = r.startTime;
    event.duration = endTime - r.startTime;
    event.extremeVoltage = r.extreme;
    // 100 / Udin overflows for a declared voltage below about 5.6e-307 V;
    // dividing first keeps a residual voltage of 0 at 0 % instead of NaN.
    const double percentPerVolt = 100.0 / declaredVoltage;
    event.extremePercent = std::isfinite(percentPerVolt) ? r.extreme * percentPerVolt
                                                         : r.extreme / declaredVoltage * 100.0;
    return event;
}

void VoltageEventDetector::queueInStartOrder(VoltageEvent* events, int count) {
    // Stable: events that start together keep the order dip, swell, interruption.
    std::stable_sort(events, events + count,
                     [](const VoltageEvent& a, const VoltageEvent& b) { return a.startTime < b.startTime; });
    finished.insert(finished.end(), events, events + count);
}

std::vector<VoltageEvent> VoltageEventDetector::getEvents(std::size_t capacity) {
    const std::size_t n = std::min(capacity, finished.size());
    std::vector<VoltageEvent> events(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(n));
    finished.erase(finished.begin(), finished.begin() + static_cast<std::ptrdiff_t>(n));
    return events;
}

std::size_t VoltageEventDetector::getEventsCount() const { return finished.size(); }

std::vector<VoltageEvent> VoltageEventDetector::getRunningEvents() const {
    std::vector<VoltageEvent> events;
    for (int kind = 0; kind < 3; ++kind) {
        if (running[kind].active) {
            events.push_back(eventOf(kind, latestTime));
        }
    }
    std::stable_sort(events.begin(), events.end(),
                     [](const VoltageEvent& a, const VoltageEvent& b) { return a.startTime < b.startTime; });
    return events;
}

void VoltageEventDetector::closeRunningEvents() {
    VoltageEvent ended[3];
    int endedCount = 0;
    for (int kind = 0; kind < 3; ++kind) {
        if (running[kind].active) {
            ended[endedCount++] = eventOf(kind, latestTime);
            running[kind].active = false;
        }
    }
    queueInStartOrder(ended, endedCount);
}
