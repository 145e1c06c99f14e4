// Configures a three-phase star module in one update bracket and prints what
// the module reports about itself and where its waveform rings are.
#include <cstdio>

#include "powerquality/PowerModule.h"

int main() {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar);
    module.setSampleRate(10240.0, 1);
    module.setBufferLength(10240);
    module.setStaticFrequency(50.0, 0.1);
    module.setPeriodValuesEnabled(true);
    module.setRvcEnabled(true);
    module.endUpdate();

    std::printf("phases %u, voltages %u, currents %u, buffer %u samples\n", module.getPhasesCount(),
                module.getVoltagesCount(), module.getCurrentsCount(), module.getBufferLength());
    for (unsigned char k = 0; k < module.getPhasesCount(); ++k) {
        float* voltage = nullptr;
        float* current = nullptr;
        module.getWaveformBufferUInput(k, &voltage);
        module.getWaveformBufferI(k, &current);
        std::printf("phase %u: voltage ring %s, current ring %s\n", k, voltage ? "ready" : "absent",
                    current ? "ready" : "absent");
    }
    return 0;
}
