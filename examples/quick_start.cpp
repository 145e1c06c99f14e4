// One second of a 230 V, 50 Hz phase through a module: its period values.
#include <cmath>
#include <cstdio>
#include <powerquality/PowerModule.h>

int main() {
    PowerModule m;
    m.beginUpdate();                                // settings in a bracket: one initialisation
    m.setGridConfigType(SinglePhase);
    m.setSampleRate(10240.0, 1);
    m.setBufferLength(10240);                       // one second per channel ring
    m.setPeriodValuesEnabled(true);
    m.endUpdate();
    m.reset(0);                                     // the stream starts at position 0
    float* u;
    m.getWaveformBufferUInput(0, &u);               // write sample p at u[p % buffer length]
    for (int p = 0; p < 10240; ++p) u[p] = float(325.27 * std::sin(2 * 3.141592653589793 * 50 * p / 10240));
    unsigned long long first = 0; int length = 10240; double f = 50.0; bool locked = true;
    m.scheduleForPeriodCalculation(1, &first, &length, &f, &locked);  // the frequency over those samples
    int count; bool more; PowerResultsPeriod* r;
    m.getPeriodResults(&count, &more, &r);          // per value: the total record, then one per phase
    std::printf("%d period values, the first %.1f V at %.1f Hz\n", count, r[1].rmsVoltage, r[1].frequency);
}
