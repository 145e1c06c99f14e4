// Three star voltages of 230 V with 4 % fifth harmonic: RMS, THD and the fifth
// harmonic of one 10-cycle window, computed from the samples.
#include <cmath>
#include <cstdio>
#include <powerquality/PowerModule.h>

int main() {
    PowerModule m;
    m.beginUpdate();
    m.setGridConfigType(ThreePhaseStar);
    m.setSampleRate(10240.0, 1);
    m.setBufferLength(10240);
    m.setStaticFrequency(50.0, 0.1);
    m.setThdEnabled(true);
    m.setHighestRequestedHarmonic(50);
    m.setWindowedResultsEnabled(true);              // rings exist even without period values
    m.endUpdate();
    m.reset(0);
    const double pi = 3.141592653589793;
    for (unsigned char k = 0; k < 3; ++k) {
        float* u;
        m.getWaveformBufferUInput(k, &u);
        for (int p = 0; p < 2048; ++p) {
            double w = 2 * pi * 50 * p / 10240 - k * 2 * pi / 3;
            u[p] = float(325.27 * (std::sin(w) + 0.04 * std::sin(5 * w)));
        }
    }
    m.scheduleForCalculation(0, 10, 50.0);          // positions [0, 2048) hold 10 cycles
    for (const PowerResultsGeneral& g : m.getResults(0))   // one record per window, in order
        for (int k = 0; k < 3; ++k)
            std::printf("L%d: %.1f V, THD %.2f %%, fifth harmonic %.2f V\n", k + 1, g.phases[k].rmsVoltage,
                        g.phases[k].thdVoltage.thd, g.phases[k].harmonicsVoltage[5]);
}
