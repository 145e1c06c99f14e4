// A host written in C driving the flickermeter's flat interface: 21 s of the
// reference fluctuation (8.8 Hz, 0.25 %) give Pinst 1 at its peaks, and with
// a second missing the same Pst, marked; refused calls return 1 and write and
// take nothing.
#include <math.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>

#include "powerquality/FlickerMeterApi.h"
#include "powerquality/PowerModuleApi.h"

#include "CCheck.h"

int main(void) {
    enum { rate = 4000, seconds = 21 };
    float* samples = malloc(sizeof(float) * rate * seconds);
    CHECK(samples != NULL);
    const double w = 2.0 * 3.141592653589793 / rate;  // radians a sample at 1 Hz
    for (int p = 0; p < rate * seconds; ++p)
        samples[p] = (float)(325.0 * sin(w * 50.0 * p) * (1.0 + 0.00125 * sin(w * 8.8 * p)));
    FlickerMeterHandle meter = flickerMeter_create(rate, 50.0, 230.0);
    double pinst = 0.0, pst[2] = {-1.0, -1.0};
    int32_t count = -1;
    int64_t clock = 7;
    uint64_t position = 0;
    const char* message = NULL;
    CHECK(meter != NULL && flickerMeter_getInstantaneousMaximum(meter, &pinst) == 0 && isnan(pinst));
    OK(flickerMeter_setClockOffset(meter, 580.0));  // an interval ends at 20 s
    CHECK(flickerMeter_addSamples(meter, samples, -1) == 1);
    OK(flickerMeter_addSamples(meter, samples, rate * seconds));
    CHECK(flickerMeter_getInstantaneousMaximum(meter, NULL) == 1);  // refused: the maximum is not taken
    CHECK(flickerMeter_getInstantaneousMaximum(meter, &pinst) == 0 && fabs(pinst - 1.0) < 0.01);
    CHECK(flickerMeter_getFirstClockInterval(meter, &clock) == 0 && clock == 0);
    CHECK(flickerMeter_getSamplePosition(meter, &position) == 0 && position == rate * seconds);
    CHECK(flickerMeter_getShortTermSeverities(meter, 0, &count, NULL) == 0 && count == 0);
    CHECK(flickerMeter_getShortTermSeverities(meter, 2, &count, NULL) == 1 && count == 0 && pst[0] == -1.0);
    // 15 s of Pinst 1 around its mean: a Pst near 0.7.
    CHECK(flickerMeter_getShortTermSeverities(meter, 2, &count, pst) == 0 && count == 1 && fabs(pst[0] - 0.7) < 0.05);
    CHECK(flickerMeter_getLongTermSeverities(meter, 2, &count, pst) == 0 && count == 0);
    CHECK(flickerMeter_addSamples(meter, NULL, 1) == 1);
    CHECK(flickerMeter_setClockOffset(meter, 0.0) == 1);
    CHECK(getLastErrorMessage(NULL, &message) == 0 && strstr(message, "before the first sample") != NULL);
    CHECK(flickerMeter_getInstantaneousMaximum(NULL, &pinst) == 1);
    CHECK(flickerMeter_destroy(meter) == 0 && flickerMeter_destroy(NULL) == 0);  // NULL: nothing to do
    // The first second missing (NaN): the interval is marked, and reads as
    // without it; both arrays are needed.
    for (int p = 0; p < rate; ++p) samples[p] = NAN;
    meter = flickerMeter_create(rate, 50.0, 230.0);
    bool gaps[2] = {false, false};
    CHECK(meter != NULL && flickerMeter_setClockOffset(meter, 580.0) == 0);
    OK(flickerMeter_addSamples(meter, samples, rate * seconds));
    CHECK(flickerMeter_getShortTermSeveritiesWithGaps(meter, 2, &count, pst, NULL) == 1 && count == 0);
    CHECK(flickerMeter_getShortTermSeveritiesWithGaps(meter, 2, &count, NULL, gaps) == 1 && count == 0 && !gaps[0]);
    CHECK(flickerMeter_getLongTermSeveritiesWithGaps(meter, 0, &count, NULL, NULL) == 0 && count == 0);
    CHECK(flickerMeter_getShortTermSeveritiesWithGaps(meter, 2, &count, pst, gaps) == 0 && count == 1 && gaps[0] &&
          fabs(pst[0] - 0.7) < 0.05);
    CHECK(flickerMeter_destroy(meter) == 0);
    free(samples);
    return FINISH();
}
