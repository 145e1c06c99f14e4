// Fills every waveform ring a module has (star voltages, currents, line-to-line
// voltages, in that order as channels 0-8) once, outside the timed loops:
// sample(channel, position) gives the value. Rings the settings leave out are
// skipped.
#ifndef POWERQUALITY_BENCH_BENCHRINGS_H
#define POWERQUALITY_BENCH_BENCHRINGS_H

#include "powerquality/PowerModule.h"

template <typename Sample>
void fillRings(PowerModule& module, Sample sample) {
    const unsigned int L = module.getBufferLength();
    for (unsigned char k = 0; k < 9; ++k) {
        float* ring = nullptr;
        if (k < 3) {
            module.getWaveformBufferUStar(k, &ring);
        } else if (k < 6) {
            module.getWaveformBufferI(static_cast<unsigned char>(k - 3), &ring);
        } else {
            module.getWaveformBufferUDelta(static_cast<unsigned char>(k - 6), &ring);
        }
        if (ring == nullptr) {
            continue;
        }
        for (unsigned int p = 0; p < L; ++p) {
            ring[p] = static_cast<float>(sample(k, p));
        }
    }
}

#endif
