/* The quick start through the flat C interface: a status from every call,
 * the reason for a refusal from getLastErrorMessage. */
#include <math.h>
#include <stdio.h>
#include <powerquality/PowerModuleApi.h>

int main(void) {
    const char* version;
    getVersionString(&version);
    PowerModuleHandle m = powerModule_create();
    beginUpdate(m);
    setGridConfigType(m, SinglePhase);
    setSampleRate(m, 10240.0, 1);
    setBufferLength(m, 10240);
    setPeriodValuesEnabled(m, true);
    endUpdate(m);
    reset(m, 0);
    float* u;
    getWaveformBufferUInput(m, 0, &u);
    for (int p = 0; p < 10240; ++p) u[p] = (float)(325.27 * sin(2 * 3.141592653589793 * 50 * p / 10240));
    uint64_t first = 0; int length = 10240; double f = 50.0; bool locked = true;
    scheduleForPeriodCalculation(m, 1, &first, &length, &f, &locked);
    int count; bool more; PowerResultsPeriod* records;
    if (getPeriodResults(m, &count, &more, &records) == 0 && count > 0)
        printf("library %s: %d period values, the first %.1f V\n", version, count, records[1].rmsVoltage);
    const char* message;
    if (setSampleRate(m, -1.0, 1) == 1 && getLastErrorMessage(m, &message) == 0)
        printf("refused: %s\n", message);
    powerModule_destroy(m);
    return 0;
}
