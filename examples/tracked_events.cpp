// Six seconds of a 49.9 Hz phase with a 70 % dip of 100 ms and a 6 % step:
// the library tracks the frequency, the module makes Urms(1/2) values, and
// the two detectors find the dip and the rapid voltage change.
#include <cmath>
#include <cstdio>
#include <powerquality/FrequencyTracker.h>
#include <powerquality/PowerModule.h>
#include <powerquality/RapidVoltageChangeDetector.h>
#include <powerquality/VoltageEventDetector.h>

int main() {
    const double fs = 10240.0, pi = 3.141592653589793;
    PowerModule m;
    m.beginUpdate();
    m.setGridConfigType(SinglePhase);
    m.setSampleRate(fs, 16);                        // segment boundaries to 1/16 sample
    m.setBufferLength(10240);
    m.setVariableFrequency(42.5, 57.5);
    m.setHalfPeriodValuesCount(2);                  // Urms(1/2): one-cycle values
    m.setPeriodValuesOverlapInPercent(50);          // refreshed every half cycle
    m.setPeriodValuesEnabled(true);
    m.endUpdate();
    float* ring;
    m.getWaveformBufferUInput(0, &ring);

    FrequencyTracker tracker(fs, 50.0, 16);
    VoltageEventDetector events(230.0, 1);          // Udin, phases
    events.setWindowStartStamps(2);                 // Ed. 3 stamps: two values per window
    RapidVoltageChangeDetector rvc(230.0, 1, 100);  // Udin, phases, steady-state values
    bool started = false;
    float block[1024];
    for (unsigned long long b = 0; b < 6 * 10240; b += 1024) {
        for (int i = 0; i < 1024; ++i) {
            double t = double(b + i) / fs;
            double rms = t >= 2.0 && t < 2.1 ? 161.0 : t >= 3.5 ? 243.8 : 230.0;
            block[i] = ring[(b + i) % 10240] = float(rms * std::sqrt(2.0) * std::sin(2 * pi * 49.9 * t));
        }
        tracker.addSamples(block, 1024);
        unsigned long long first[64]; int lengths[64]; double f[64]; bool flags[64];
        int n = tracker.getSegments(64, first, lengths, f, flags);
        if (n > 0 && !started) { m.reset(first[0] / 16); started = true; }
        if (n == 0) continue;
        m.scheduleForPeriodCalculation(n, first, lengths, f, flags);
        int count; bool more; PowerResultsPeriod* r;
        do {
            m.getPeriodResults(&count, &more, &r);
            events.addPeriodResults(r, count);
            rvc.addPeriodResults(r, count);
        } while (more);
    }
    std::printf("tracked %.3f Hz\n", tracker.getFrequency());
    for (const VoltageEvent& e : events.getEvents())
        std::printf("dip at %.3f s for %.3f s, residual %.1f %%\n", e.startTime, e.duration, e.extremePercent);
    for (const RapidVoltageChange& e : rvc.getEvents())
        std::printf("RVC at %.3f s for %.3f s, dUss %.2f %%, dUmax %.2f %%\n", e.startTime, e.duration,
                    e.deltaUssPercent, e.deltaUmaxPercent);
}
