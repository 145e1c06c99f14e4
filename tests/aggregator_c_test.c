// A host written in C driving the interval aggregator's flat interface: the
// record's layout as C sees it, a batch over a 10-minute tick with the values
// laid out record by record, and refusals: status 1, the thread's message,
// nothing written.
#include <math.h>
#include <stddef.h>
#include <string.h>

#include "powerquality/IntervalAggregatorApi.h"
#include "powerquality/PowerModuleApi.h"

#include "CCheck.h"

_Static_assert(sizeof(IntervalAggregate) == 32, "IntervalAggregate is 32 bytes in C too");
_Static_assert(offsetof(IntervalAggregate, clockInterval) == 16, "IntervalAggregate.clockInterval");
_Static_assert(offsetof(IntervalAggregate, windowCount) == 24, "IntervalAggregate.windowCount");
_Static_assert(offsetof(IntervalAggregate, flagged) == 28, "IntervalAggregate.flagged");
_Static_assert(offsetof(IntervalAggregate, complete) == 29, "IntervalAggregate.complete");

static const char* lastMessage(void) {
    const char* message = NULL;
    OK(getLastErrorMessage(NULL, &message));
    return message != NULL ? message : "";
}

int main(void) {
    enum { windows = 40 };
    CHECK(intervalAggregator_create(0, 0.0) == NULL && strstr(lastMessage(), "value count") != NULL);
    // Position 0 is 5 s before a whole 10 minutes: the tick is at 5 s. The
    // second value is aggregated as a mean.
    IntervalAggregatorHandle a = intervalAggregator_create(2, 3600.0 - 5.0);
    int n = -1, three = -1, ten = -1, twoHour = -1;
    bool mean = false;
    CHECK(a != NULL && intervalAggregator_getValueCount(a, &n) == 0 && n == 2);
    OK(intervalAggregator_setMeanAggregated(a, 1, true));
    CHECK(intervalAggregator_getMeanAggregated(a, 1, &mean) == 0 && mean);
    double starts[windows], ends[windows], values[2 * windows];
    bool flags[windows] = {false};
    for (int k = 0; k < windows; ++k) {
        starts[k] = 0.2 * k, ends[k] = 0.2 * (k + 1);
        values[2 * k] = k < 25 ? 3.0 : 4.0, values[2 * k + 1] = -1.0 * k;
    }
    flags[30] = true;
    OK(intervalAggregator_addWindows(a, windows, starts, ends, values, flags));
    const double bad[2] = {1.0, NAN};
    CHECK(intervalAggregator_addWindow(a, 8.0, 8.2, bad, false) == 1 && strstr(lastMessage(), "not finite") != NULL);
    OK(intervalAggregator_flush(a));
    CHECK(intervalAggregator_getPendingCounts(a, &three, NULL) == 1 && three == -1);
    CHECK(intervalAggregator_getPendingCounts(a, &three, &ten) == 0 && three == 3 && ten == 2);

    IntervalAggregate frames[4];
    double out[8];
    CHECK(intervalAggregator_getThreeSecondIntervals(a, -1, &n, frames, out) == 1 && n == 2);
    OK(intervalAggregator_getThreeSecondIntervals(a, 4, &n, frames, out));
    // 0 .. 4.8 (25 windows): 15, then 10 that run on past the tick with the
    // first 5 after it; 15 from 5 s. Record k's values at out[2 k + i].
    CHECK(n == 3 && frames[1].windowCount == 15 && frames[1].clockInterval == 5 && fabs(frames[1].endTime - 6) < 1e-12);
    CHECK(!frames[1].flagged && frames[1].complete && frames[2].flagged && frames[2].complete);
    CHECK(fabs(out[2] - sqrt((10 * 9.0 + 5 * 16.0) / 15)) < 1e-12 && out[3] == -22.0 && out[5] == -32.0);
    OK(intervalAggregator_getTenMinuteIntervals(a, 4, &n, frames, out));
    CHECK(n == 2 && frames[0].windowCount == 25 && fabs(frames[1].startTime - 5.0) < 1e-12);
    OK(intervalAggregator_getPendingTwoHourCount(a, &twoHour));
    CHECK(intervalAggregator_getTwoHourIntervals(a, 4, &n, frames, out) == 0 && n == twoHour && n == 1);
    CHECK(intervalAggregator_destroy(a) == 0 && intervalAggregator_destroy(NULL) == 0);  // NULL: nothing to do
    return FINISH();
}
