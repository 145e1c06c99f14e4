// A host written in C uses the voltage event detector through its flat
// interface: the record read by layout from C, period records built in C,
// every status checked. Prints "N passed, N failed".
#include <math.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

#include "powerquality/VoltageEventDetectorApi.h"

#include "CCheck.h"

_Static_assert(sizeof(VoltageEvent) == 40, "VoltageEvent from C");
_Static_assert(offsetof(VoltageEvent, extremePercent) == 32, "VoltageEvent from C");

int main(void) {
    CHECK(voltageEventDetector_create(-230.0, 3) == NULL);
    CHECK(voltageEventDetector_create(230.0, 0) == NULL);
    VoltageEventDetectorHandle d = voltageEventDetector_create(230.0, 3);
    CHECK(d != NULL);
    CHECK(voltageEventDetector_setThresholdsInPercentOfDeclaredVoltage(d, 90.0, 110.0, 95.0, 2.0) == 1);

    /* Items of a three-phase module: the total record, then one per phase.
     * Every phase falls to 1 % from the 3rd to the 6th item, phase 2 stays
     * at 40 % for the 7th, and all are back from the 8th. */
    PowerResultsPeriod items[10 * 4];
    memset(items, 0, sizeof items);
    for (int n = 0; n < 10; ++n) {
        for (int k = 0; k < 3; ++k) {
            double level = 1.0;
            if (n >= 2 && n < 6) {
                level = 0.01;
            } else if (n == 6 && k == 2) {
                level = 0.4;
            }
            items[4 * n + 1 + k].time = 0.01 * (n + 1);
            items[4 * n + 1 + k].rmsVoltage = 230.0 * level;
        }
    }
    OK(voltageEventDetector_addPeriodResults(d, items, 10));

    VoltageEvent events[4];
    int count = -1;
    OK(voltageEventDetector_getEvents(d, 4, &count, events));
    CHECK(count == 2);
    if (count == 2) {
        /* The interruption ends when phase 0 is back (7th item), the dip when all are (8th). */
        CHECK(events[0].type == VoltageEventInterruption);
        CHECK(events[0].phases == 7u);
        CHECK(fabs(events[0].startTime - 0.03) < 1e-12 && fabs(events[0].duration - 0.04) < 1e-12);
        CHECK(fabs(events[0].extremePercent - 1.0) < 1e-9);
        CHECK(events[1].type == VoltageEventDip);
        CHECK(fabs(events[1].duration - 0.05) < 1e-12);
        CHECK(fabs(events[1].extremeVoltage - 2.3) < 1e-9);
    }

    const double values[3] = {230.0, NAN, 230.0};
    CHECK(voltageEventDetector_addRmsValues(d, 0.2, values) == 1);
    OK(voltageEventDetector_destroy(d));

    return FINISH();
}
