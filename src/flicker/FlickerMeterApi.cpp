// The flickermeter's flat interface: each function opens the guard, forwards
// to the meter and lets the guard map exceptions to status codes.
#include "powerquality/FlickerMeterApi.h"

#include <stdexcept>

#include "flat/FlatGuard.h"
#include "powerquality/FlickerMeter.h"

static_assert(sizeof(uint64_t) == sizeof(unsigned long long), "sample positions are 64-bit");
static_assert(sizeof(int64_t) == sizeof(long long), "clock intervals are 64-bit");

namespace {

FlickerMeter& meterOf(FlickerMeterHandle handle) {
    return powerquality::objectOf<FlickerMeter>(handle, "null flicker meter handle");
}

template <typename T>
T& required(T* pointer) {
    return powerquality::requiredOr(pointer, "null out-parameter");
}

}  // namespace

FlickerMeterHandle flickerMeter_create(double sampleRate, double nominalFrequency, double lampVoltage) {
    return powerquality::createdOrNull<FlickerMeterHandle>(
        [&] { return new FlickerMeter(sampleRate, nominalFrequency, lampVoltage); });
}

int32_t flickerMeter_destroy(FlickerMeterHandle meter) {
    return powerquality::destroyed<FlickerMeter>(meter);
}

int32_t flickerMeter_setClockOffset(FlickerMeterHandle meter, double clockOffset) {
    return powerquality::guarded([&] { meterOf(meter).setClockOffset(clockOffset); });
}

int32_t flickerMeter_getFirstClockInterval(FlickerMeterHandle meter, int64_t* clockInterval) {
    return powerquality::guarded([&] {
        const FlickerMeter& m = meterOf(meter);
        required(clockInterval) = m.getFirstClockInterval();
    });
}

int32_t flickerMeter_addSamples(FlickerMeterHandle meter, const float* samples, int32_t count) {
    return powerquality::guarded([&] {
        FlickerMeter& m = meterOf(meter);
        if (count < 0) {
            throw std::invalid_argument("negative sample count");
        }
        m.addSamples(samples, count);
    });
}

int32_t flickerMeter_getInstantaneousMaximum(FlickerMeterHandle meter, double* pinstMax) {
    return powerquality::guarded([&] {
        FlickerMeter& m = meterOf(meter);
        double& maximum = required(pinstMax);  // checked before the maximum is taken
        maximum = m.getInstantaneousMaximum();
    });
}

int32_t flickerMeter_getShortTermSeverities(FlickerMeterHandle meter, int32_t capacity, int32_t* count,
                                            double* pst) {
    return powerquality::guarded([&] {
        int32_t& taken = required(count);  // checked before anything is taken
        taken = meterOf(meter).getShortTermSeverities(capacity, pst);
    });
}

int32_t flickerMeter_getLongTermSeverities(FlickerMeterHandle meter, int32_t capacity, int32_t* count,
                                           double* plt) {
    return powerquality::guarded([&] {
        int32_t& taken = required(count);
        taken = meterOf(meter).getLongTermSeverities(capacity, plt);
    });
}

int32_t flickerMeter_getShortTermSeveritiesWithGaps(FlickerMeterHandle meter, int32_t capacity, int32_t* count,
                                                    double* pst, bool* gaps) {
    return powerquality::guarded([&] {
        int32_t& taken = required(count);
        taken = meterOf(meter).getShortTermSeverities(capacity, pst, gaps);
    });
}

int32_t flickerMeter_getLongTermSeveritiesWithGaps(FlickerMeterHandle meter, int32_t capacity, int32_t* count,
                                                   double* plt, bool* gaps) {
    return powerquality::guarded([&] {
        int32_t& taken = required(count);
        taken = meterOf(meter).getLongTermSeverities(capacity, plt, gaps);
    });
}

int32_t flickerMeter_getSamplePosition(FlickerMeterHandle meter, uint64_t* position) {
    return powerquality::guarded([&] { required(position) = meterOf(meter).getSamplePosition(); });
}
