// A host written in C driving the frequency tracker's flat interface: a
// second of 50.1 Hz; refused calls (a negative sample count with or without
// an array) return 1 and leave the tracker as it was.
#include <limits.h>
#include <math.h>

#include "powerquality/FrequencyTrackerApi.h"

#include "CCheck.h"

int main(void) {
    enum { rate = 10240, divisor = 16 };
    static float samples[rate];
    for (int p = 0; p < rate; ++p) samples[p] = (float)(325.0 * sin(2.0 * 3.141592653589793 * 50.1 * p / rate));
    FrequencyTrackerHandle tracker = frequencyTracker_create(rate, 50.0, divisor);
    CHECK(tracker != NULL && frequencyTracker_setFrequencyRange(tracker, 45.0, 55.0) == 0);
    double low = 0.0, high = 0.0, level = -1.0;
    CHECK(frequencyTracker_getFrequencyRange(tracker, &low, &high) == 0 && low == 45.0 && high == 55.0);
    CHECK(frequencyTracker_setLossLevel(tracker, -1.0) == 1);
    CHECK(frequencyTracker_getLossLevel(tracker, &level) == 0 && level == 0.0);
    CHECK(frequencyTracker_addSamples(tracker, samples, -1) == 1);
    CHECK(frequencyTracker_addSamples(tracker, NULL, INT_MIN) == 1);
    OK(frequencyTracker_addSamples(tracker, NULL, 0));
    OK(frequencyTracker_addSamples(tracker, samples, rate));
    uint64_t position = 0, first[64];
    CHECK(frequencyTracker_getSamplePosition(tracker, &position) == 0 && position == rate);

    int lengths[64], count = -1;
    double frequencies[64], frequency = 0.0;
    bool flags[64], locked = false;
    // A failed call takes nothing.
    CHECK(frequencyTracker_getSegments(tracker, 64, NULL, first, lengths, frequencies, flags) == 1);
    CHECK(frequencyTracker_getSegments(tracker, 64, &count, first, lengths, frequencies, flags) == 0 && count >= 40 &&
          count <= 46);
    CHECK(fabs(frequencies[count - 1] - 50.1) < 0.002 && flags[count - 1]);
    CHECK(frequencyTracker_getFrequency(tracker, &frequency) == 0 && fabs(frequency - 50.1) < 0.002);
    CHECK(frequencyTracker_isLocked(tracker, &locked) == 0 && locked);
    FrequencyTrackerInterval intervals[2];
    CHECK(sizeof(FrequencyTrackerInterval) == 32);
    CHECK(frequencyTracker_getTenSecondFrequencies(tracker, 2, &count, intervals) == 0 && count == 0);
    CHECK(frequencyTracker_destroy(tracker) == 0 && frequencyTracker_destroy(NULL) == 0);  // NULL: nothing to do
    return FINISH();
}
