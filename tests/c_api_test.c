// A host written in C drives a three-phase module through the flat interface,
// checking every status code and the values that follow from its signal:
// 230 V phase voltages, 10 A currents lagging by 60 degrees, 50 Hz sampled at
// 10 kHz (200 samples per cycle). Prints "N passed, N failed".
#include <math.h>
#include <string.h>

#include "powerquality/PowerModuleApi.h"

#include "CCheck.h"

static const double pi = 3.141592653589793;

int main(void) {
    PowerModuleHandle module = powerModule_create();
    const char* version = NULL;
    CHECK(module != NULL && getVersionString(&version) == 0);
    CHECK(version != NULL && strcmp(version, POWERQUALITY_VERSION_STRING) == 0);
    OK(beginUpdate(module) || setGridConfigType(module, ThreePhaseStar) || setSampleRate(module, 10000.0, 1) ||
       setBufferLength(module, 4000) || setPeriodValuesEnabled(module, true) ||
       setPeriodSymmetricalComponentsEnabled(module, true) || setRvcEnabled(module, true) ||
       setRvcSteadyStateLengthInNumberOfPeriodValues(module, 10) || endUpdate(module) || reset(module, 0));

    float *u[3], *i[3];
    for (unsigned char k = 0; k < 3; ++k) {
        OK(getWaveformBufferUInput(module, k, &u[k]) || getWaveformBufferI(module, k, &i[k]));
    }

    // Eight segments of 1000 samples through a ring of 4000.
    int items = 0;
    for (uint64_t first = 0; first < 8000; first += 1000) {
        for (uint64_t p = first; p < first + 1000; ++p) {
            for (int k = 0; k < 3; ++k) {
                const double theta = 2.0 * pi * 50.0 * (double)p / 10000.0 - 2.0 * pi / 3.0 * k;
                u[k][p % 4000] = (float)(230.0 * sqrt(2.0) * sin(theta));
                i[k][p % 4000] = (float)(10.0 * sqrt(2.0) * sin(theta - pi / 3.0));
            }
        }
        OK(writeSamples(module, 1000));
        uint64_t segmentFirst = first;
        int length = 1000, count = -1;
        double frequency = 50.0;
        bool flag = true, more = true;
        OK(scheduleForPeriodCalculation(module, 1, &segmentFirst, &length, &frequency, &flag));
        for (PowerResultsPeriod* records = NULL; more;) {
            OK(getPeriodResults(module, &count, &more, &records));
            for (int n = 0; n < count; ++n, ++items) {
                const PowerResultsPeriod* entry = records + n * 4;  // the total, then the three phases
                CHECK(fabs(entry[0].rmsVoltage - 230.0) < 1e-2 && fabs(entry[2].fundamentalPhaseAngle - 60.0) < 1e-3);
                CHECK(fabs(entry[3].powerFactor - 0.5) < 1e-5 && fabs(entry[0].activePower - 3.0 * 1150.0) < 0.5);
                CHECK(fabs(entry[1].symmetricalComponent.voltageMagnitude - 230.0) < 1e-2);
                CHECK(entry[3].rvcVoltage.state == 0);
            }
        }
    }
    CHECK(items >= 39 && items <= 40);

    // A refusal leaves its message, read from C.
    const char* message = NULL;
    CHECK(setRvcEnabled(NULL, true) == 1 && getLastErrorMessage(NULL, &message) == 0);
    CHECK(message != NULL && strcmp(message, "null module handle") == 0);
    OK(powerModule_destroy(module));

    return FINISH();
}
