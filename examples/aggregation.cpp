// 25 minutes of 10-cycle windows (0.2 s at 50 Hz) from 09:55, one value each:
// an RMS voltage rising by 1 V a minute, aggregated on the 10-minute clock.
#include <cstdio>
#include <powerquality/IntervalAggregator.h>

int main() {
    IntervalAggregator agg(1, 9 * 3600.0 + 55 * 60);   // one value; caller time 0 is 09:55:00
    for (int w = 0; w < 25 * 300; ++w) {
        double u = 230.0 + w * 0.2 / 60;
        agg.addWindow(w * 0.2, (w + 1) * 0.2, &u, false);
    }
    agg.flush();                                        // the end of the data
    IntervalAggregate frames[8];
    double values[8];                                   // record k: values[k * valueCount + i]
    int n = agg.getTenMinuteIntervals(8, frames, values);
    for (int k = 0; k < n; ++k) {
        long long tag = 600 * (frames[k].clockInterval + 1);   // the tick that ends it
        std::printf("%02lld:%02lld  %.2f V from %d windows%s\n", tag / 3600 % 24, tag / 60 % 60, values[k],
                    frames[k].windowCount, frames[k].complete ? "" : " (incomplete)");
    }
    std::printf("%d values of 150 cycles\n", agg.getPendingThreeSecondCount());
}
