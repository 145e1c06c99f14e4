/* A host written in C driving the flickermeter's flat interface: 20 s of the
 * reference fluctuation (8.8 Hz, 0.25 %) give Pinst 1 at its peaks. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include "powerquality/FlickerMeterApi.h"

#include "CCheck.h"

int main(void) {
    enum { rate = 4000, seconds = 20 };
    float* samples = malloc(sizeof(float) * rate * seconds);
    CHECK(samples != NULL);
    for (int p = 0; p < rate * seconds; ++p) {
        const double t = (double)p / rate;
        samples[p] = (float)(325.0 * sin(2.0 * 3.141592653589793 * 50.0 * t) *
                             (1.0 + 0.00125 * sin(2.0 * 3.141592653589793 * 8.8 * t)));
    }
    CHECK(flickerMeter_create(rate, 50.0, 220.0) == NULL);
    FlickerMeterHandle meter = flickerMeter_create(rate, 50.0, 230.0);
    CHECK(meter != NULL);
    CHECK(flickerMeter_setClockOffset(meter, 590.0) == 0);
    CHECK(flickerMeter_addSamples(meter, samples, -1) == 1);
    CHECK(flickerMeter_addSamples(meter, samples, rate * seconds) == 0);
    double pinst = 0.0;
    CHECK(flickerMeter_getInstantaneousMaximum(meter, &pinst) == 0 && fabs(pinst - 1.0) < 0.01);
    double pst[4];
    int32_t count = 0;
    CHECK(flickerMeter_getShortTermSeverities(meter, 4, &count, pst) == 0 && count == 1 && pst[0] > 0.5);
    CHECK(flickerMeter_getLongTermSeverities(meter, 4, &count, pst) == 0 && count == 0);
    CHECK(flickerMeter_destroy(meter) == 0);
    free(samples);
    return FINISH();
}
