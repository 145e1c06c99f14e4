// FlickerMeter: the flickermeter of IEC 61000-4-15 Ed. 2 over one voltage
// channel: instantaneous flicker sensation Pinst, short-term severity Pst of
// every 10-minute interval and long-term severity Plt of every 2 hours.
//
// Typical use:
//   FlickerMeter meter(10240.0, 50.0, 230.0);   // sample rate, supply, lamp
//   meter.addSamples(block, n);                  // any scale, any block length
//   double pinstMax = meter.getInstantaneousMaximum();
//   int n = meter.getShortTermSeverities(16, pst);
//
// (The full description of the chain and its choices follows below.)
#ifndef POWERQUALITY_FLICKERMETER_H
#define POWERQUALITY_FLICKERMETER_H

#include "powerquality/Export.h"
#include "powerquality/FlickerMeterApi.h"

class POWERQUALITY_API FlickerMeter {
public:
    // Seconds per short-term interval, short-term intervals per long-term
    // block, and the settling time from the first sample.
    static constexpr double shortTermSeconds = 600.0;
    static constexpr int shortTermPerLongTerm = 12;
    static constexpr double settlingSeconds = 5.0;

    FlickerMeter(double sampleRate, double nominalFrequency, double lampVoltage = 230.0);
    FlickerMeter(FlickerMeter&& other) noexcept;
    FlickerMeter& operator=(FlickerMeter&& other) noexcept;
    FlickerMeter(const FlickerMeter&) = delete;
    FlickerMeter& operator=(const FlickerMeter&) = delete;
    ~FlickerMeter();

    double getSampleRate() const;
    double getNominalFrequency() const;
    double getLampVoltage() const;
    // Input samples per internal (decimated) sample.
    int getDecimationFactor() const;

    // Absolute time in seconds of sample 0 (as IntervalAggregator's clock
    // offset): intervals then end on whole 10 minutes of that clock. Only
    // before the first sample; 0 (intervals from the first sample) unless set.
    void setClockOffset(double clockOffset);
    double getClockOffset() const;
    // Number k of the 10-minute clock interval [600 k, 600 (k + 1)) of
    // absolute seconds that holds sample 0: the first Pst handed out is
    // interval k's, the next k + 1's, and so on without gaps.
    long long getFirstClockInterval() const;

    // The next count samples of the voltage (count <= 0: none).
    void addSamples(const float* samples, int count);

    // The largest Pinst since the previous call (the first call: since the
    // meter settled); NaN when there was none.
    double getInstantaneousMaximum();
    // Take up to capacity finished values, oldest first; return how many.
    int getShortTermSeverities(int capacity, double* pst);
    int getLongTermSeverities(int capacity, double* plt);
    int getPendingShortTermCount() const;
    int getPendingLongTermCount() const;

    // Samples added so far.
    unsigned long long getSamplePosition() const;

private:
    class Impl;
    Impl* impl;
};

#endif
