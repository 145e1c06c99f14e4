/* A host written in C driving the interval aggregator's flat interface: the
 * record's layout as C sees it, a batch over a 10-minute tick, and a refusal. */
#include <math.h>
#include <stddef.h>

#include "powerquality/IntervalAggregatorApi.h"
#include "powerquality/PowerModuleApi.h"

#include "CCheck.h"

_Static_assert(sizeof(IntervalAggregate) == 32, "IntervalAggregate is 32 bytes in C too");
_Static_assert(offsetof(IntervalAggregate, clockInterval) == 16, "IntervalAggregate.clockInterval");
_Static_assert(offsetof(IntervalAggregate, windowCount) == 24, "IntervalAggregate.windowCount");
_Static_assert(offsetof(IntervalAggregate, flagged) == 28, "IntervalAggregate.flagged");
_Static_assert(offsetof(IntervalAggregate, complete) == 29, "IntervalAggregate.complete");

int main(void) {
    enum { windows = 40 };
    /* Position 0 is 5 s before a whole 10 minutes: the tick is at 5 s. */
    IntervalAggregatorHandle a = intervalAggregator_create(1, 3600.0 - 5.0);
    CHECK(a != NULL);
    double starts[windows], ends[windows], values[windows];
    bool flags[windows] = {false};
    for (int k = 0; k < windows; ++k) {
        starts[k] = 0.2 * k;
        ends[k] = 0.2 * (k + 1);
        values[k] = k < 25 ? 3.0 : 4.0;
    }
    flags[30] = true;
    OK(intervalAggregator_addWindows(a, windows, starts, ends, values, flags));
    const double back = 1.0;
    CHECK(intervalAggregator_addWindow(a, 1.0, 1.2, &back, false) == 1);
    const char* message = NULL;
    OK(getLastErrorMessage(NULL, &message));
    CHECK(message != NULL && message[0] != '\0');
    OK(intervalAggregator_flush(a));

    IntervalAggregate frames[4];
    double out[4];
    int count = 0;
    OK(intervalAggregator_getThreeSecondIntervals(a, 4, &count, frames, out));
    /* 0 .. 4.8 (25 windows): 15, then 10 that run on past the tick with the
     * first 5 after it; 15 from 5 s. */
    CHECK(count == 3);
    CHECK(frames[0].windowCount == 15 && frames[1].windowCount == 15 && frames[2].windowCount == 15);
    CHECK(frames[1].clockInterval == 5 && frames[2].clockInterval == 6);
    CHECK(!frames[1].flagged && frames[1].complete && frames[2].flagged && frames[2].complete);
    CHECK(fabs(out[1] - sqrt((10 * 9.0 + 5 * 16.0) / 15)) < 1e-12 && out[2] == 4.0);
    CHECK(fabs(frames[1].endTime - 6.0) < 1e-12);
    OK(intervalAggregator_getTenMinuteIntervals(a, 4, &count, frames, out));
    CHECK(count == 2 && frames[0].windowCount == 25 && frames[1].windowCount == 15);
    CHECK(fabs(frames[1].startTime - 5.0) < 1e-12);
    OK(intervalAggregator_destroy(a));
    CHECK(intervalAggregator_create(0, 0.0) == NULL);
    return FINISH();
}
