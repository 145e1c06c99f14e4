// A host written in C uses the voltage event detector through its flat
// interface: the record (its layout asserted by the header) read from C,
// period records built in C, every status checked, refused calls that write
// and take nothing. Prints "N passed, N failed".
#include <math.h>

#include "powerquality/VoltageEventDetectorApi.h"

#include "CCheck.h"

int main(void) {
    CHECK(voltageEventDetector_create(-230.0, 3) == NULL && voltageEventDetector_create(230.0, -1) == NULL);
    VoltageEventDetectorHandle d = voltageEventDetector_create(230.0, 3);
    CHECK(d != NULL && voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(d, 90.0, 110.0, 95.0, 2.0) == 1);
    OK(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(d, 90.0, 115.0, 5.0, 3.0));
    double t[4] = {0.0, 0.0, 0.0, 0.0};
    CHECK(voltageEventDetector_getThresholdsInPercentOfDeclaredVoltage(d, &t[0], &t[1], &t[2], &t[3]) == 0);
    CHECK(t[0] == 90.0 && t[1] == 115.0 && t[2] == 5.0 && t[3] == 3.0);
    // Window start stamps: a negative count is refused and changes nothing.
    int stamps = -1, count = -1;
    OK(voltageEventDetector_setWindowStartStamps(d, 2));
    CHECK(voltageEventDetector_setWindowStartStamps(d, -2) == 1);
    CHECK(voltageEventDetector_getWindowStartStamps(d, &stamps) == 0 && stamps == 2);
    OK(voltageEventDetector_setWindowStartStamps(d, 0));

    // Items of a three-phase module: the total record (not read), then one
    // per phase. Every phase falls to 1 % from the 3rd to the 6th item, phase
    // 2 stays at 40 % for the 7th, and all are back from the 8th.
    PowerResultsPeriod items[10 * 4] = {0};
    for (int j = 0; j < 10 * 4; ++j) {
        const int n = j / 4, k = j % 4 - 1;  // k = -1: the total
        items[j].time = 0.01 * (n + 1);
        items[j].rmsVoltage = k < 0 ? NAN : 230.0 * (n >= 2 && n < 6 ? 0.01 : n == 6 && k == 2 ? 0.4 : 1.0);
    }
    OK(voltageEventDetector_addPeriodResults(d, items, 10));

    VoltageEvent events[4];
    CHECK(voltageEventDetector_getEvents(d, -1, &count, events) == 1 && count == -1);
    // The interruption ends when phase 0 is back (7th item), the dip when all are (8th).
    CHECK(voltageEventDetector_getEvents(d, 1, &count, events) == 0 && count == 1);
    CHECK(voltageEventDetector_getEvents(d, 4, &count, events + 1) == 0 && count == 1);
    CHECK(events[0].type == VoltageEventInterruption && events[0].phases == 7u && events[1].type == VoltageEventDip);
    CHECK(fabs(events[0].startTime - 0.03) < 1e-12 && fabs(events[0].duration - 0.04) < 1e-12);
    CHECK(fabs(events[0].extremePercent - 1.0) < 1e-9 && fabs(events[1].extremeVoltage - 2.3) < 1e-9);
    CHECK(fabs(events[1].duration - 0.05) < 1e-12);

    // A dip left running at the end of the data.
    const double low[3] = {230.0, 100.0, 230.0}, bad[3] = {230.0, NAN, 230.0};
    OK(voltageEventDetector_addRmsValues(d, 0.2, low));
    CHECK(voltageEventDetector_addRmsValues(d, 0.3, bad) == 1);
    CHECK(voltageEventDetector_getRunningEvents(d, 4, &count, events) == 0 && count == 1);
    CHECK(events[0].type == VoltageEventDip && events[0].phases == 2u);
    CHECK(voltageEventDetector_closeRunningEvents(NULL) == 1 && voltageEventDetector_closeRunningEvents(d) == 0);
    CHECK(voltageEventDetector_getEvents(d, 4, &count, events) == 0 && count == 1);
    CHECK(events[0].startTime == 0.2 && events[0].duration == 0.0);
    CHECK(voltageEventDetector_destroy(d) == 0 && voltageEventDetector_destroy(NULL) == 0);  // NULL: nothing to do
    return FINISH();
}
