#include "ModuleTest.h"

namespace {

TEST(PowerResultsQueueItem, MinimalUntilCalculatedThenCountsRoundedAndDegenerateWindowsDefined) {
    PowerResultsQueueItem item(10000.0, 7, 1ULL << 40, 3000, 34);
    EXPECT_EQ(std::make_tuple(item.getNextSampleIndex(), item.getFftOutputLength()),
              std::make_tuple((1ULL << 40) + 4, 3u));

    item.setCalculation(1000, 2000, 200.0, 12, 2048, 4025, 51, 50.0);
    // 3000 + 1025 just fits.
    EXPECT_EQ(std::make_tuple(item.getNextSampleIndex(), item.getFftOutputLength(), item.getFirstFftOutputSampleIndex(),
                              item.getDFrequency()),
              std::make_tuple(3000ull, 1025u, 3000ull, 4.8828125));

    item.setCalculation(1000, 2000, 200.0, 12, 2048, 4024, 51, 50.0);
    EXPECT_EQ(item.getFirstFftOutputSampleIndex(), 0u);
    // Periods: length / period length, halves away from zero, at most the
    // limit. Harmonics: the ceiling of the highest order below half the sample
    // rate, plus order 0, at most the limit. NaN and negative quotients count
    // 0; infinite ones saturate and are then capped by the limits.
    // Length, period length, period limit, FFT length, harmonic limit, frequency; periods, harmonics.
    const std::tuple<unsigned, double, unsigned, unsigned, unsigned, double, unsigned, unsigned> cases[] = {
        {19, 2.0, 12, 2047, 500, 49.0, 10, 103},  // 9.5 periods; 1023 * (10000 / 2047) / 49 = 101.99
        {1899, 200.0, 12, 2048, 51, 50.0, 9, 51},  {2000, 200.0, 9, 2048, 51, 50.0, 9, 51},
        {2000, 0.0, 12, 2048, 51, 50.0, 12, 51},   {2000, -200.0, 12, 2048, 51, 50.0, 0, 51},
        {2000, NaN, 12, 2048, 51, 50.0, 0, 51},    {2000, 200.0, 12, 2048, 51, 0.0, 10, 51},
        {2000, 200.0, 12, 2048, 51, -50.0, 10, 1}, {2000, 200.0, 12, 2048, 51, NaN, 10, 1}};
    for (const auto& [length, periodLength, periodLimit, fftLength, harmonicLimit, frequency, periods, harmonics] :
         cases) {
        SCOPED_TRACE(testing::Message() << length << " " << periodLength << " " << frequency);
        PowerResultsQueueItem fresh(10000.0, 0, 0, 0, 0);
        fresh.setCalculation(0, length, periodLength, periodLimit, fftLength, 4096, harmonicLimit, frequency);
        EXPECT_EQ(std::make_tuple(fresh.getPeriodCount(), fresh.getHarmonicLength()), std::make_tuple(periods, harmonics));
    }
}

}  // namespace
