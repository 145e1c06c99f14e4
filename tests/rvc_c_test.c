// A host written in C uses the rapid voltage change detector through its
// flat interface: the 56-byte record (its layout asserted by the header)
// read from C, period records built in C, every status checked, refused
// calls that write and take nothing.
// Prints "N passed, N failed".
#include <math.h>
#include <string.h>

#include "powerquality/RapidVoltageChangeDetectorApi.h"

#include "CCheck.h"

// Phase 1 of a two-phase supply at 230 V steps down 6 % at the 5th value,
// passes 90 % at the 6th and settles at 95 % from the 7th.
static double level(int n, int phase) { return phase == 0 || n < 4 ? 230.0 : n == 4 ? 216.2 : n == 5 ? 207.0 : 218.5; }

int main(void) {
    CHECK(rapidVoltageChangeDetector_create(230.0, -1, 3) == NULL);
    RapidVoltageChangeDetectorHandle d = rapidVoltageChangeDetector_create(230.0, 2, 3);
    CHECK(d != NULL && rapidVoltageChangeDetector_setWindowStartStamps(d, 0) == 0);
    double a = -1.0, b = -1.0;
    // Refused settings change nothing; refused getters write nothing.
    CHECK(rapidVoltageChangeDetector_setThresholdsInPercentOfDeclaredVoltage(d, 5.0, 5.0) == 1);
    CHECK(rapidVoltageChangeDetector_setDipSwellThresholdsInPercentOfDeclaredVoltage(d, 110.0, 90.0) == 1);
    CHECK(rapidVoltageChangeDetector_setWindowStartStamps(d, -1) == 1);
    int stamps = -1, count = -7;
    CHECK(rapidVoltageChangeDetector_getWindowStartStamps(d, &stamps) == 0 && stamps == 0);
    CHECK(rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage(d, &a, NULL) == 1 && a == -1.0);
    CHECK(rapidVoltageChangeDetector_getThresholdsInPercentOfDeclaredVoltage(d, &a, &b) == 0 && a == 5.0 && b == 2.5);
    CHECK(rapidVoltageChangeDetector_getDipSwellThresholdsInPercentOfDeclaredVoltage(d, &a, &b) == 0 && a == 90.0 &&
          b == 110.0);

    // Ten items of a two-phase module: the total record (not read), then
    // one per phase, 10 ms apart.
    PowerResultsPeriod items[10 * 3] = {0};
    for (int j = 0; j < 10 * 3; ++j) {
        items[j].time = 0.01 * (j / 3 + 1);
        items[j].rmsVoltage = j % 3 ? level(j / 3, j % 3 - 1) : NAN;  // the total first
    }
    // A batch with a bad item is refused whole.
    items[3 * 7 + 2].rmsVoltage = -1.0;
    CHECK(rapidVoltageChangeDetector_addPeriodResults(d, items, 10) == 1);
    items[3 * 7 + 2].rmsVoltage = level(7, 1);
    OK(rapidVoltageChangeDetector_addPeriodResults(d, items, 10));

    RapidVoltageChange events[3];
    memset(events, 0xA5, sizeof events);
    CHECK(rapidVoltageChangeDetector_getEvents(d, -1, &count, events) == 1);
    CHECK(count == -7 && ((const unsigned char*)events)[0] == 0xA5);
    // Starts at the 5th value, ends at the end of the 6th (the last before
    // the new steady window of the 7th to 9th).
    CHECK(rapidVoltageChangeDetector_getEvents(d, 3, &count, events) == 0 && count == 1);
    CHECK(events[0].phases == 2u && events[0].reserved == 0u && fabs(events[0].startTime - 0.05) < 1e-12);
    CHECK(fabs(events[0].duration - 0.01) < 1e-12 && fabs(events[0].deltaUmaxPercent - 10.0) < 1e-9);
    CHECK(fabs(events[0].deltaUss + 11.5) < 1e-9 && fabs(events[0].deltaUssPercent + 5.0) < 1e-9);

    // A rise of phase 0 left running: shown, not queued.
    const double high[2] = {245.0, 218.5}, bad[2] = {245.0, INFINITY};
    OK(rapidVoltageChangeDetector_addRmsValues(d, 0.11, high));
    CHECK(rapidVoltageChangeDetector_addRmsValues(d, 0.12, bad) == 1);
    CHECK(rapidVoltageChangeDetector_getRunningEvents(d, 3, &count, events) == 0 && count == 1);
    CHECK(events[0].phases == 1u && fabs(events[0].startTime - 0.11) < 1e-12);
    CHECK(fabs(events[0].deltaUmax - 15.0) < 1e-9);
    CHECK(rapidVoltageChangeDetector_getEvents(d, 3, &count, events) == 0 && count == 0);
    CHECK(rapidVoltageChangeDetector_destroy(d) == 0 && rapidVoltageChangeDetector_destroy(NULL) == 0);
    return FINISH();
}
