// Real fault-recorder captures driven through the period path and the
// voltage event detector. They live in the shared data folder beside the
// checkout; without it these tests skip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "ComtradeRecording.h"
#include "SignalDriver.h"
#include "powerquality/VoltageEventDetector.h"

namespace {

// Where the RVC event starts (seconds); the declared voltage phase to neutral
// (the channels' primary rating, line to line, over sqrt(3)); the voltage
// event as Urms(1/2) of the samples alone shows it.
struct Recording { const char* file; const char* voltages[3]; const char* currents[3]; double rvcFrom, rvcTo, declared;
                   VoltageEvent event; };

// Feeds a recording block by block at its nominal frequency.
std::vector<std::vector<PowerResultsPeriod>> drive(const ComtradeRecording& rec, const Recording& names) {
    PowerModule module;
    module.beginUpdate();
    module.setGridConfigType(ThreePhaseStar); module.setSampleRate(rec.sampleRate, 1);
    module.setBufferLength(static_cast<unsigned int>(rec.sampleRate)); module.setStaticFrequency(rec.frequency, 0.1);
    module.setPeriodValuesEnabled(true); module.setRvcEnabled(true); module.setRvcSteadyStateLength(10);
    module.endUpdate();
    module.reset(0);
    SignalDriver driver(module);
    driver.run(0, rec.channel(names.voltages[0]).size(), 500, rec.frequency, [&](unsigned channel, uint64_t p) {
        return channel < 3 ? rec.channel(names.voltages[channel])[p] : rec.channel(names.currents[channel % 3])[p];
    });
    return driver.entries;
}

// The RMS value over the span [end - T, end) of the piecewise-constant
// sample sequence (as the float rings hold it), with T = fs / f: what a period
// value of one cycle integrates, computed here directly from its time and frequency.
double spanRms(const std::vector<double>& samples, double fs, const PowerResultsPeriod& r) {
    const double end = r.time * fs, start = end - fs / r.frequency;
    double sum = 0.0;
    for (long p = static_cast<long>(std::floor(start)); p < static_cast<long>(std::ceil(end)); ++p) {
        const double from = std::max(start, static_cast<double>(p)), to = std::min(end, static_cast<double>(p + 1));
        const double u = static_cast<float>(samples[static_cast<size_t>(p)]);
        sum += (to - from) * u * u;
    }
    return std::sqrt(sum / (end - start));
}

// The voltages of test1 (50 Hz) rise by about half (3.5 kV to 5.2 kV rms) in
// the second half of its second second, far beyond the 2 % band; those of
// test2 (60 Hz) dip to two thirds.
TEST(Recordings, SwellAndDip) {
    const Recording recordings[] = {
        {"test1", {"VA_G1", "VB_G1", "VC_G1"}, {"IA_G1", "IB_G1", "IC_G1"}, 1.3, 1.8, 6.0 / std::sqrt(3.0),
         {VoltageEventSwell, 0x7, 1.44, 1.45, 5.227, 150.9}},
        {"test2", {"VA_GC1", "VB_GC1", "VC_GC1"}, {"IA_GC1", "IB_GC1", "IC_GC1"}, 0.0, 2.3, 13.8 / std::sqrt(3.0),
         {VoltageEventDip, 0x7, 0.2583, 0.1167, 5.407, 67.86}}};
    for (const Recording& r : recordings) {
        SCOPED_TRACE(r.file);
        ComtradeRecording rec;
        const std::string base = std::string(POWERQUALITY_SHARED_DATA_DIR) + "/comtrade/" + r.file;
        if (!rec.load(base)) {
            GTEST_SKIP() << "recording " << base << " not found (the shared data folder is not beside the checkout)";
        }
        const std::vector<std::vector<PowerResultsPeriod>> entries = drive(rec, r);
        EXPECT_NEAR(entries.size(), rec.channel(r.voltages[0]).size() / rec.sampleRate * rec.frequency, 2.0);
        // Every period value integrates exactly the span its time and frequency
        // describe, fractional ends included.
        for (size_t n = 0; n < entries.size(); n += 7) {
            for (unsigned k = 0; k < 3; ++k) {
                const double expected = spanRms(rec.channel(r.voltages[k]), rec.sampleRate, entries[n][k + 1]);
                EXPECT_NEAR(entries[n][k + 1].rmsVoltage, expected, 1e-9 * expected) << n << " " << k;
            }
        }
        // The disturbance the recording holds starts a combined RVC event.
        const auto start = std::find_if(entries.begin(), entries.end(), [](const std::vector<PowerResultsPeriod>& e) {
            return e[0].rvcVoltage.stateChanged && e[0].rvcVoltage.state == 1;
        });
        ASSERT_NE(start, entries.end());
        EXPECT_GE((*start)[0].rvcVoltage.time, r.rvcFrom);
        EXPECT_LE((*start)[0].rvcVoltage.time, r.rvcTo);

        // The event detector finds it too, from the same values: one a cycle
        // instead of two, so within a cycle of where Urms(1/2) puts it.
        VoltageEventDetector detector(r.declared, 3);
        for (const std::vector<PowerResultsPeriod>& entry : entries) detector.addPeriodResults(entry.data(), 1);
        detector.closeRunningEvents();
        const std::vector<VoltageEvent> events = detector.getEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(std::make_pair(events[0].type, events[0].phases), std::make_pair(r.event.type, r.event.phases));
        EXPECT_NEAR(events[0].startTime, r.event.startTime, 1.0 / rec.frequency + 1e-9);
        EXPECT_NEAR(events[0].duration, r.event.duration, 1.0 / rec.frequency + 1e-9);
        EXPECT_NEAR(events[0].extremePercent, r.event.extremePercent, 0.5);
    }
}

}  // namespace
