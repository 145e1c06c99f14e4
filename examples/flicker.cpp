// The reference fluctuation (8.8 Hz, 0.25 % peak to peak) on 230 V at 50 Hz
// for ten minutes and five seconds: Pinst peaks at 1, and one Pst.
#include <cmath>
#include <cstdio>
#include <powerquality/FlickerMeter.h>

int main() {
    const double fs = 1600.0, pi = 3.141592653589793;
    FlickerMeter meter(fs, 50.0, 230.0);            // sample rate, supply, lamp
    float block[1600];
    for (int s = 0; s < 605; ++s) {                 // one second per block
        for (int i = 0; i < 1600; ++i) {
            double t = s + i / fs;
            block[i] = float(325.27 * (1 + 0.00125 * std::sin(2 * pi * 8.8 * t)) * std::sin(2 * pi * 50 * t));
        }
        meter.addSamples(block, 1600);
    }
    double pinstMax = meter.getInstantaneousMaximum();   // since the last call
    double pst[4];
    int n = meter.getShortTermSeverities(4, pst);
    std::printf("Pinst max %.3f, %d Pst value: %.3f\n", pinstMax, n, pst[0]);
}
