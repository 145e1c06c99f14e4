#include "ModuleTest.h"
#include "period/PowerPeriodResultsQueueItem.h"

namespace {

constexpr double twoPi = 6.283185307179586;

// A module with period values at fs and divisor, rings of `length`, and
// further settings; reset at 0 unless told not to.
struct Tracked : PowerModule {
    Tracked(double fs, int divisor, unsigned int length, bool resetAt0 = true,
            const std::function<void(PowerModule&)>& settings = [](PowerModule&) {}) {
        beginUpdate();
        setSampleRate(fs, divisor); setBufferLength(length); setPeriodValuesEnabled(true); settings(*this);
        endUpdate();
        if (resetAt0) reset(0);
    }
    unsigned long long next() { return impl.currentPeriodQueueItem->getNextSampleIndexToProcess(); }
    // Tracking rows: 0 frequency, 1 phasor (cos, sin pairs), 2 flag.
    const double* tracking(unsigned short row) { return impl.buffers.periodTrackingBuffer.getHostBuffer(row); }
    Impl& impl = implOf(*this);
    SignalDriver driver{*this};
};

TEST(PeriodTracking, WholePositionSegmentsWritePhaseFrequencyAndFlag) {
    // The second segment wraps the ring of 16 from its last index at 1.7 cycles per position (items of 2).
    Tracked module(1000.0, 1, 16, true, [](PowerModule& m) { m.setHalfPeriodValuesCount(4); });
    module.driver.schedule(0, 15, 50.0, true); module.driver.schedule(15, 5, 1700.0, false);
    const double *frequencies = module.tracking(0), *phasor = module.tracking(1), *flag = module.tracking(2);
    double phase = 0.0, whole;
    for (unsigned p = 0; p < 20; ++p) {
        const double frequency = p < 15 ? 50.0 : 1700.0;
        phase = std::modf(phase + frequency / 1000.0, &whole);
        const unsigned s = p % 16;
        if (p >= 4) {  // positions 0-3 were overwritten by 16-19
            EXPECT_EQ(std::make_tuple(frequencies[s], phasor[2 * s], phasor[2 * s + 1], flag[s]),
                      std::make_tuple(frequency, std::cos(twoPi * phase), std::sin(twoPi * phase), p < 15 ? 1.0 : 0.0))
                << p;
        }
    }
    EXPECT_EQ(module.impl.trackingPhase, phase);
}

TEST(PeriodTracking, FlagOfASharedFirstPosition) {
    // Previous flag, first caller index (divisor 10: first share 1 - (first % 10) / 10), expected flag.
    const std::tuple<bool, unsigned long long, double> cases[] = {{true, 19, 1.0}, {false, 19, 0.0}, {false, 11, 0.0}};
    for (const auto& [previousFlag, first, expected] : cases) {
        SCOPED_TRACE(first + 100 * previousFlag);
        Tracked module(1000.0, 10, 64);
        module.driver.schedule(0, static_cast<int>(first), 50.0, previousFlag);
        module.driver.schedule(first, 30, 50.0, true);
        EXPECT_EQ(std::make_tuple(module.tracking(2)[first / 10], module.tracking(2)[first / 10 + 1]),
                  std::make_tuple(expected, 1.0));
    }
    // After a reset the previous flag counts as set and the previous frequency as 0.
    Tracked module(1000.0, 4, 64);
    module.driver.schedule(3, 9, 50.0, true);
    EXPECT_EQ(std::make_tuple(module.tracking(2)[0], module.tracking(0)[0]), std::make_tuple(1.0, 12.5));
}

TEST(PeriodTracking, FeedingStopsAtTheLastPositionWritten) {
    Tracked module(10000.0, 1, 1000);
    module.scheduleForPeriodCalculation(0, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(module.next(), 1u);  // position 0 only
    module.driver.schedule(1, 99, 50.0);
    EXPECT_EQ(module.next(), 100u);
    module.reset(500); module.driver.schedule(400, 50, 50.0);  // ends before the item's next position
    EXPECT_EQ(module.next(), 500u);
}

TEST(PeriodTracking, CallsOutsideTheContractChangeNothing) {
    Tracked module(1000.0, 1, 64, false);  // no current item before a reset
    Impl& impl = module.impl;
    SignalDriver& driver = module.driver;
    driver.schedule(0, 10, 50.0);
    EXPECT_TRUE(impl.trackingPhase == 0.0 && impl.periodResultsQueue.empty());
    module.reset(0); driver.schedule(0, 10, 50.0);
    const double phase = impl.trackingPhase;
    for (const auto& [length, frequency] : std::vector<std::pair<int, double>>{
             {0, 50.0}, {-5, 50.0}, {10, 0.0}, {10, -50.0}, {10, NAN}, {10, INFINITY}, {10, 1000.5}}) {
        SCOPED_TRACE(testing::Message() << length << " " << frequency);
        unsigned long long firsts[2] = {10, 20};
        int lengths[2] = {10, length};
        double frequencies[2] = {50.0, frequency};
        bool flags[2] = {true, true};
        EXPECT_THROW(module.scheduleForPeriodCalculation(2, firsts, lengths, frequencies, flags), std::invalid_argument);
        EXPECT_EQ(impl.trackingPhase, phase);  // the valid first segment was not written either
    }
    EXPECT_THROW(module.scheduleForPeriodCalculation(1, nullptr, nullptr, nullptr, nullptr), std::invalid_argument);
    // Divisor 0, overlap 100 or 150, no half periods.
    const int divisors[] = {0, 1, 1, 1};
    const unsigned short overlaps[] = {0, 100, 150, 0};
    for (int k = 0; k < 4; ++k) {
        SCOPED_TRACE(k);
        impl.config.sampleIndexDivisor = divisors[k];  // values the setters refuse
        impl.config.periodValuesOverlapInPercent = overlaps[k];
        impl.config.halfPeriodValuesCount = k == 3 ? 0 : 2;
        module.reset(0);
        EXPECT_THROW(driver.schedule(0, 10, 50.0), std::invalid_argument);
    }
    // Period values switched off after the reset: no tracking storage, no change.
    module.setHalfPeriodValuesCount(2); module.reset(0); module.setPeriodValuesEnabled(false);
    driver.schedule(0, 10, 50.0);
    EXPECT_EQ(impl.trackingPhase, 0.0);
}

TEST(PeriodTracking, SegmentsMustFollowWithinTheRing) {
    // Ring of 64. After reset(100) and a segment [100, 110) the next segment
    // is expected at 110; it may start up to 63 positions away either way.
    // Its length is not limited: a segment longer than the ring is written
    // lap by lap, as the tracking algorithm defines it.
    // Divisor, first caller index, length, whether accepted.
    const std::tuple<int, unsigned long long, int, bool> cases[] = {
        {1, 173, 1, true},   {1, 174, 1, false}, {1, 47, 1, true},     {1, 46, 1, false},  {1, 110, 64, true},
        {1, 110, 65, true},  {4, 440, 257, true}, {4, 439, 4000, true}, {4, 695, 1, true}, {4, 696, 1, false}};
    for (const auto& [divisor, first, length, accepted] : cases) {
        SCOPED_TRACE(testing::Message() << divisor << " " << first << " " << length);
        Tracked module(1000.0, divisor, 64, false);
        module.reset(100); module.driver.schedule(100 * divisor, 10 * divisor, 50.0);
        const auto before = std::make_tuple(module.impl.trackingPhase, module.next());
        if (accepted) {
            EXPECT_NO_THROW(module.driver.schedule(first, length, 50.0));
            continue;
        }
        EXPECT_THROW(module.driver.schedule(first, length, 50.0), std::invalid_argument);
        EXPECT_EQ(std::make_tuple(module.impl.trackingPhase, module.next()), before);  // nothing written, nothing fed
    }
    // A host that lost samples resets to where it continues.
    Tracked module(1000.0, 1, 64);
    EXPECT_THROW(module.driver.schedule(1000000000, 10, 50.0), std::invalid_argument);
    module.reset(1000000000);
    EXPECT_NO_THROW(module.driver.schedule(1000000000, 10, 50.0));
}

TEST(PeriodTracking, AChainOfAMillionItemsIsFreedWithoutDeepRecursion) {
    // Each item holds its successor: freed one inside the other, a million
    // of them would overflow the stack.
    auto head = std::make_shared<PowerPeriodResultsQueueItem>(0, 0, 1.0, 1.0, 1.0);
    PowerPeriodResultsQueueItem* tail = head.get();
    for (unsigned long long k = 1; k < 1000000; ++k) {
        tail->nextItem = std::make_shared<PowerPeriodResultsQueueItem>(k, k, 1.0, 1.0, 1.0);
        tail = tail->nextItem.get();
    }
    // A successor someone else holds outlives the chain's release.
    std::shared_ptr<PowerPeriodResultsQueueItem> held = head->nextItem->nextItem;
    head.reset();
    ASSERT_EQ(held.use_count(), 1);
    EXPECT_EQ(std::make_tuple(held->getItemIndex(), held->nextItem->getItemIndex()), std::make_tuple(2ull, 3ull));
}

TEST(PeriodTracking, UnfetchedValuesAreBoundedAndTheirLossIsReported) {
    // A million cycles at 4 positions per cycle in one segment, never
    // fetched, through a ring of 400 positions (100 values): the queue keeps
    // the values of the last two ring lengths, the fetch says how many were
    // dropped, the next one hands out the rest, and the module is destroyed
    // without trouble. A host that fetches after each ring length loses none.
    for (const bool fetchEachRing : {false, true}) {
        SCOPED_TRACE(fetchEachRing);
        Tracked module(200.0, 1, 400, true, [](PowerModule& m) { m.setStaticFrequency(50.0, 0.001); });
        SignalDriver& driver = module.driver;
        const int length = fetchEachRing ? 400 : 4000000;
        const int calls = fetchEachRing ? 100 : 1;
        for (int c = 0; c < calls; ++c) {
            driver.schedule(static_cast<unsigned long long>(c) * length, length, 50.0);
            EXPECT_LE(module.impl.periodResultsQueue.size(), 200u);
            if (fetchEachRing) driver.fetch();
        }
        if (!fetchEachRing) {
            int count = -1;
            bool more = false;
            PowerResultsPeriod* records = nullptr;
            EXPECT_EQ(refusal([&] { module.getPeriodResults(&count, &more, &records); }),
                      "999800 period value(s) dropped unfetched: their first samples lay two buffer lengths (800 "
                      "samples) or more behind the newest one scheduled; fetch with getPeriodResults at least once "
                      "per buffer length");
            EXPECT_EQ(std::make_tuple(count, more), std::make_tuple(0, true));
            driver.fetch();
        }
        EXPECT_EQ(driver.entries.size(), fetchEachRing ? 10000u : 200u);
    }
}

// The positions fed to the items go in runs of one frequency, found by a
// baseline search and, where the processor has AVX2, a wide one. Runs of
// every length from 1 to 40 positions (the wide search takes eight at a
// time), segments that end inside positions (a first position shared by two
// frequencies) and a ring that wraps inside runs: the records of a module
// with the wide search are those of one with the baseline one, bit for bit,
// and the tracking rows hold what each segment wrote.
TEST(PeriodTracking, RunsOfOneFrequencyFoundEitherWayGiveTheSameRecords) {
    const double fs = 10240.0;
    const int divisor = 4;
    const auto signal = threePhaseSine(fs, 50.0, 230.0, 10.0, 25.0);
    std::vector<std::vector<PowerResultsPeriod>> entries[2];
    for (int wide = 0; wide < 2; ++wide) {
        if (wide && !Impl::widePeriodSumsAvailable()) {
            GTEST_SKIP() << "no AVX2 here: only the baseline search runs";
        }
        PowerModule module;
        module.beginUpdate();
        module.setGridConfigType(ThreePhaseStar); module.setSampleRate(fs, divisor); module.setBufferLength(1999);
        module.setPeriodValuesEnabled(true); module.setPeriodValuesOverlapInPercent(50);
        module.setCurrentEnabled(true);
        module.endUpdate();
        module.reset(0);
        implOf(module).widePeriodSums = wide != 0;
        SignalDriver driver(module);
        unsigned long long next = 0;
        uint64_t written = 0;
        for (int n = 0; n < 600; ++n) {
            // 1 to 40 positions, some ending inside a position.
            const int length = divisor * (1 + (n * 7) % 40) + (n % 3 == 0 ? 1 : 0);
            const double frequency = 49.5 + 0.01 * (n % 11);
            const bool flag = n % 5 != 0;
            const uint64_t end = (next + static_cast<unsigned long long>(length) - 1) / divisor + 1;
            driver.write(written, end - written, signal);
            written = end;
            driver.schedule(next, length, frequency, flag);
            // The row of the segment's inner positions: its frequency and flag.
            const GpuBuffer<double>& tracking = implOf(module).buffers.periodTrackingBuffer;
            const uint64_t L = tracking.getLength();
            for (uint64_t q = next / divisor + 1; q + 1 < end; ++q) {
                ASSERT_EQ(tracking.getHostBuffer(0)[q % L], frequency) << n << " " << q;
                ASSERT_EQ(tracking.getHostBuffer(2)[q % L], flag ? 1.0 : 0.0) << n << " " << q;
            }
            next += static_cast<unsigned long long>(length);
            driver.fetch();
        }
        entries[wide] = driver.entries;
        ASSERT_GT(entries[wide].size(), 100u);
    }
    ASSERT_EQ(entries[0].size(), entries[1].size());
    size_t differing = 0;
    for (size_t k = 0; k < entries[0].size(); ++k) {
        differing += std::memcmp(entries[0][k].data(), entries[1][k].data(),
                                 entries[0][k].size() * sizeof(PowerResultsPeriod)) != 0;
    }
    EXPECT_EQ(differing, 0u);
}

}  // namespace
