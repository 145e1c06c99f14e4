// The tracker's flat interface: each function opens the guard, forwards to
// the tracker and lets the guard map exceptions to status codes.
#include "powerquality/FrequencyTrackerApi.h"

#include <cstddef>
#include <stdexcept>

#include "flat/FlatGuard.h"
#include "powerquality/FrequencyTracker.h"

static_assert(sizeof(FrequencyTrackerInterval) == 32, "FrequencyTrackerInterval is 32 bytes");
static_assert(offsetof(FrequencyTrackerInterval, firstSampleIndex) == 0, "FrequencyTrackerInterval.firstSampleIndex");
static_assert(offsetof(FrequencyTrackerInterval, endSampleIndex) == 8, "FrequencyTrackerInterval.endSampleIndex");
static_assert(offsetof(FrequencyTrackerInterval, frequency) == 16, "FrequencyTrackerInterval.frequency");
static_assert(offsetof(FrequencyTrackerInterval, cycleCount) == 24, "FrequencyTrackerInterval.cycleCount");
static_assert(offsetof(FrequencyTrackerInterval, flag) == 28, "FrequencyTrackerInterval.flag");
static_assert(sizeof(uint64_t) == sizeof(unsigned long long), "caller indices are 64-bit");

namespace {

FrequencyTracker& trackerOf(FrequencyTrackerHandle handle) {
    return powerquality::objectOf<FrequencyTracker>(handle, "null tracker handle");
}

template <typename T>
T& required(T* pointer) {
    return powerquality::requiredOr(pointer, "null out-parameter");
}

}  // namespace

FrequencyTrackerHandle frequencyTracker_create(double sampleRate, double nominalFrequency, int sampleIndexDivisor) {
    try {
        return reinterpret_cast<FrequencyTrackerHandle>(
            new FrequencyTracker(sampleRate, nominalFrequency, sampleIndexDivisor));
    } catch (...) {
        return nullptr;
    }
}

int32_t frequencyTracker_destroy(FrequencyTrackerHandle tracker) {
    return powerquality::destroyed<FrequencyTracker>(tracker);
}

int32_t frequencyTracker_setFrequencyRange(FrequencyTrackerHandle tracker, double minFrequency, double maxFrequency) {
    return powerquality::guarded([&] { trackerOf(tracker).setFrequencyRange(minFrequency, maxFrequency); });
}

int32_t frequencyTracker_getFrequencyRange(FrequencyTrackerHandle tracker, double* minFrequency,
                                           double* maxFrequency) {
    return powerquality::guarded([&] {
        const FrequencyTracker& t = trackerOf(tracker);
        required(maxFrequency);
        required(minFrequency) = t.getMinFrequency();
        *maxFrequency = t.getMaxFrequency();
    });
}

int32_t frequencyTracker_setLossLevel(FrequencyTrackerHandle tracker, double rms) {
    return powerquality::guarded([&] { trackerOf(tracker).setLossLevel(rms); });
}

int32_t frequencyTracker_getLossLevel(FrequencyTrackerHandle tracker, double* rms) {
    return powerquality::guarded([&] { required(rms) = trackerOf(tracker).getLossLevel(); });
}

int32_t frequencyTracker_addSamples(FrequencyTrackerHandle tracker, const float* samples, int count) {
    return powerquality::guarded([&] {
        FrequencyTracker& t = trackerOf(tracker);
        // The C++ method takes a count <= 0 as no samples; the flat door
        // refuses a negative one, as it does a negative capacity.
        if (count < 0) {
            throw std::invalid_argument("negative sample count");
        }
        t.addSamples(samples, count);
    });
}

int32_t frequencyTracker_getSegments(FrequencyTrackerHandle tracker, int capacity, int* count,
                                     uint64_t* firstSampleIndices, int* lengths, double* frequencies, bool* flags) {
    return powerquality::guarded([&] {
        int& taken = required(count);  // checked before anything is taken
        taken = trackerOf(tracker).getSegments(capacity, reinterpret_cast<unsigned long long*>(firstSampleIndices),
                                               lengths, frequencies, flags);
    });
}

int32_t frequencyTracker_getTenSecondFrequencies(FrequencyTrackerHandle tracker, int capacity, int* count,
                                                 FrequencyTrackerInterval* intervals) {
    return powerquality::guarded([&] {
        int& taken = required(count);  // checked before anything is taken
        taken = trackerOf(tracker).getTenSecondFrequencies(capacity, intervals);
    });
}

int32_t frequencyTracker_getFrequency(FrequencyTrackerHandle tracker, double* frequency) {
    return powerquality::guarded([&] { required(frequency) = trackerOf(tracker).getFrequency(); });
}

int32_t frequencyTracker_isLocked(FrequencyTrackerHandle tracker, bool* locked) {
    return powerquality::guarded([&] { required(locked) = trackerOf(tracker).isLocked(); });
}

int32_t frequencyTracker_getSamplePosition(FrequencyTrackerHandle tracker, uint64_t* position) {
    return powerquality::guarded([&] { required(position) = trackerOf(tracker).getSamplePosition(); });
}
