// The interval aggregator on windows whose values are known in closed form.
// The flat twin is driven by a C host (aggregator_c_test.c).
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <functional>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "powerquality/IntervalAggregator.h"

namespace {

struct Taken { std::vector<IntervalAggregate> frames; std::vector<double> values; };  // valueCount values per frame

// Of the 150/180-cycle (kind 0), 10-minute (1) or 2-hour (2) intervals.
Taken takeAll(IntervalAggregator& a, int kind) {
    Taken out;
    IntervalAggregate frames[4];
    std::vector<double> values(4 * static_cast<std::size_t>(a.getValueCount()));
    for (int got = 4; got == 4;) {
        got = kind == 2 ? a.getTwoHourIntervals(4, frames, values.data())
              : kind    ? a.getTenMinuteIntervals(4, frames, values.data())
                        : a.getThreeSecondIntervals(4, frames, values.data());
        out.frames.insert(out.frames.end(), frames, frames + got);
        out.values.insert(out.values.end(), values.begin(), values.begin() + got * a.getValueCount());
    }
    return out;
}

// A record's whole-number fields as one row: window count, complete, flagged, clock interval.
using Rows = std::vector<std::array<long long, 4>>;
Rows rows(const Taken& t) {
    Rows out;
    for (const IntervalAggregate& f : t.frames) out.push_back({f.windowCount, f.complete, f.flagged, f.clockInterval});
    return out;
}
using Doubles = std::vector<double>;
Doubles column(const Taken& t, double IntervalAggregate::*field) {
    Doubles out;
    for (const IntervalAggregate& f : t.frames) out.push_back(f.*field);
    return out;
}

// Two values per window: a magnitude that grows with the window number and a
// signed value that alternates around a small mean.
double magnitude(int k) { return 100.0 + k; }
double alternating(int k) { return (k % 2 == 0 ? 5.0 : -3.0) + 0.1 * k; }

void addWindows(IntervalAggregator& a, double first, double length, int from, int count, int flagged = -1) {
    for (int k = from; k < from + count; ++k) {
        const double values[2] = {magnitude(k), alternating(k)};
        a.addWindow(first + length * (k - from), first + length * (k - from + 1), values, k == flagged);
    }
}

// The root mean square of the magnitudes, or the mean of the alternating values, of windows [from, from + count).
double aggregateOf(int from, int count, bool mean) {
    double sum = 0.0;
    for (int k = from; k < from + count; ++k) sum += mean ? alternating(k) : magnitude(k) * magnitude(k);
    return mean ? sum / count : std::sqrt(sum / count);
}

// The message of the invalid_argument a call throws, or "taken".
template <typename Call>
std::string refusal(Call call) {
    try { call(); } catch (const std::invalid_argument& e) { return e.what(); }
    return "taken";
}

// Fifteen windows make an interval, handed out with the fifteenth; the values
// are the root mean square, or the mean for a value set so; flush hands out
// the partial rest.
TEST(IntervalAggregator, FifteenWindowsRmsOrMeanAndFlush) {
    IntervalAggregator a(2);
    a.setMeanAggregated(1, true);
    addWindows(a, 0.0, 0.2, 0, 14);
    EXPECT_EQ(a.getPendingThreeSecondCount(), 0);
    addWindows(a, 14 * 0.2, 0.2, 14, 1);
    ASSERT_EQ(a.getPendingThreeSecondCount(), 1);
    addWindows(a, 15 * 0.2, 0.2, 15, 17);  // 15 more and 2 over
    Taken t = takeAll(a, false);
    EXPECT_EQ(rows(t), (Rows{{15, 1, 0, 0}, {15, 1, 0, 0}}));
    ASSERT_EQ(t.values.size(), 4u);
    for (int k = 0; k < 4; ++k) {  // record k / 2: its start or end, its RMS or mean value
        EXPECT_DOUBLE_EQ(k % 2 ? t.frames[k / 2].endTime : t.frames[k / 2].startTime, 3.0 * (k / 2 + k % 2));
        EXPECT_DOUBLE_EQ(t.values[k], aggregateOf(15 * (k / 2), 15, k % 2 == 1));
    }
    // The mode is the one in force when an interval closes.
    a.setMeanAggregated(1, false);
    a.setMeanAggregated(0, true);
    EXPECT_EQ(a.getPendingTenMinuteCount(), 0);
    a.flush();
    t = takeAll(a, false);
    EXPECT_EQ(rows(t), (Rows{{2, 0, 0, 0}}));
    EXPECT_DOUBLE_EQ(t.values[0], (130.0 + 131.0) / 2.0);
    EXPECT_DOUBLE_EQ(t.values[1], std::sqrt((8.0 * 8.0 + 0.1 * 0.1) / 2.0));  // 5 + 3.0, -3 + 3.1
    const Taken ten = takeAll(a, true);
    EXPECT_EQ(rows(ten), (Rows{{32, 0, 0, 0}}));
    EXPECT_DOUBLE_EQ(ten.values[0], 115.5);  // the mean of 100 .. 131
    a.flush();  // nothing running: nothing more
    EXPECT_EQ(a.getPendingThreeSecondCount() + a.getPendingTenMinuteCount(), 0);
}

// A tick inside a window: the window goes with the intervals before the tick.
// The 150/180-cycle interval in progress runs on to its fifteen windows past
// the tick while a new one starts with the first window after it ("overlap
// 1"); the two share the windows between.
TEST(IntervalAggregator, WindowsOverAndOnTheTick) {
    IntervalAggregator a(2, 599.0);  // caller time 1 s is the tick 600 s
    addWindows(a, 0.1, 0.2, 0, 19);  // window 4 runs from 0.9 to 1.1
    const Taken ten = takeAll(a, true);
    EXPECT_EQ(rows(ten), (Rows{{5, 0, 0, 0}}));  // not complete: began with the data, not with a tick
    EXPECT_DOUBLE_EQ(ten.frames[0].endTime, 1.1);
    Taken t = takeAll(a, false);
    EXPECT_EQ(rows(t), (Rows{{15, 1, 0, 0}}));
    EXPECT_DOUBLE_EQ(t.frames[0].endTime, 3.1);
    EXPECT_DOUBLE_EQ(t.values[0], aggregateOf(0, 15, false));
    // Fifteen windows after the tick, not ten: the new count began there.
    addWindows(a, 0.1 + 19 * 0.2, 0.2, 19, 1);
    t = takeAll(a, false);
    EXPECT_EQ(rows(t), (Rows{{15, 1, 0, 1}}));
    EXPECT_DOUBLE_EQ(t.frames[0].startTime, 1.1);
    EXPECT_DOUBLE_EQ(t.values[0], aggregateOf(5, 15, false));

    // An interval still running on at the next tick (windows with a gap)
    // ends there incomplete; flush ends it too, before the newer one.
    IntervalAggregator gap(2, 599.0);
    addWindows(gap, 0.5, 0.2, 0, 3);    // 0.5 .. 1.1: the third over the tick at 1 (absolute 600)
    addWindows(gap, 600.0, 0.2, 3, 1);  // absolute 1199: the first past the tick
    addWindows(gap, 601.0, 0.2, 4, 2);  // absolute 1200 on: past the next tick
    gap.flush();
    t = takeAll(gap, false);
    // Ended by the second tick; ran on past it, ended by flush; the newest.
    EXPECT_EQ(rows(t), (Rows{{4, 0, 0, 0}, {3, 0, 0, 1}, {2, 0, 0, 2}}));
    EXPECT_EQ(column(t, &IntervalAggregate::startTime), (Doubles{0.5, 600.0, 601.0}));

    // A window that ends on the tick belongs before it, one that starts on it
    // after it (also when the start is a hair early from rounding); a host
    // that resynchronises its windows may start one on the tick while the
    // previous one still runs.
    const double v[2] = {1.0, 1.0};
    for (double onTick : {600.0, 600.0 - 1e-9}) {
        SCOPED_TRACE(onTick);
        IntervalAggregator on(2);
        on.addWindow(599.6, 599.8, v, false);
        on.addWindow(599.8, 600.0, v, false);
        on.addWindow(onTick, 600.2, v, false);
        EXPECT_EQ(rows(takeAll(on, true)), (Rows{{2, 0, 0, 0}}));
        // The 150/180-cycle interval runs on past the tick: still open.
        EXPECT_EQ(on.getPendingThreeSecondCount(), 0);
        on.flush();
        EXPECT_EQ(rows(takeAll(on, false)), (Rows{{3, 0, 0, 0}, {1, 0, 0, 1}}));
    }
    IntervalAggregator resync(2);
    resync.addWindow(599.9, 600.1, v, false);  // overlaps the tick
    resync.addWindow(600.0, 600.2, v, false);  // the resynchronised series
    resync.flush();
    const Taken both = takeAll(resync, true);
    EXPECT_EQ(rows(both), (Rows{{1, 0, 0, 0}, {1, 0, 0, 1}}));
    EXPECT_EQ(column(both, &IntervalAggregate::startTime), (Doubles{599.9, 600.0}));
    EXPECT_EQ(column(both, &IntervalAggregate::endTime), (Doubles{600.1, 600.2}));
}

// Clock intervals over an epoch-sized offset: a whole interval from tick to
// tick is complete, flags spread to the intervals that hold a flagged window,
// and a gap of whole clock intervals produces no records.
TEST(IntervalAggregator, TenMinuteIntervalsFlagsGapsAndTwoHourBlocks) {
    // 1700000400 s is a whole 10 minutes: ticks at caller 570 + 600 k.
    IntervalAggregator a(1, 1700000400.0 + 30.0);
    EXPECT_DOUBLE_EQ(a.getClockOffset(), 30.0);
    const double value = 10.0;
    for (int k = 0; k < 30; ++k) a.addWindow(20.0 + 50.0 * k, 70.0 + 50.0 * k, &value, k == 13);  // 20 s .. 1520 s
    a.addWindow(4000.0, 4050.0, &value, false);  // after a gap of three clock intervals
    a.flush();
    // [0, 570): windows at 20 .. 520 (11); [570, 1170): 570 .. 1120 (12),
    // holding the flagged window at 670; [1170, 1770): 1170 .. 1470 (7), not
    // complete as the data pause there; then the lone window at 4000 (4030 s
    // after 1700000400).
    const Taken ten = takeAll(a, true);
    EXPECT_EQ(rows(ten), (Rows{{11, 0, 0, 2833334}, {12, 1, 1, 2833335}, {7, 0, 0, 2833336}, {1, 0, 0, 2833340}}));
    EXPECT_EQ(ten.values, Doubles(4, 10.0));
    EXPECT_DOUBLE_EQ(ten.frames[1].startTime, 570.0);
    EXPECT_DOUBLE_EQ(ten.frames[1].endTime, 1170.0);
    // The 150/180-cycle stream: 11 and 12 windows run on past their ticks to
    // 15 (both hold the flagged window at 670); 7 are cut by the pause; 1.
    const Taken t = takeAll(a, false);
    EXPECT_EQ(rows(t), (Rows{{15, 1, 1, 2833334}, {15, 1, 1, 2833335}, {7, 0, 0, 2833336}, {1, 0, 0, 2833340}}));
    EXPECT_DOUBLE_EQ(t.frames[1].endTime, 1320.0);

    // Windows of one minute from 60 minutes into a 2-hour clock block: the
    // first block holds the 10-minute values of clock intervals 6 to 11, the
    // second twelve whole ones (12 to 23), flush closes the third with one.
    IntervalAggregator hours(2, 3600.0);
    hours.setMeanAggregated(1, true);
    addWindows(hours, 0.0, 60.0, 0, 182, 65);
    EXPECT_EQ(hours.getPendingTwoHourCount(), 2);
    hours.flush();
    const Taken tens = takeAll(hours, true);
    ASSERT_EQ(tens.frames.size(), 19u);
    const Taken two = takeAll(hours, 2);
    EXPECT_EQ(hours.getPendingTwoHourCount(), 0);
    EXPECT_EQ(rows(two), (Rows{{6, 0, 0, 6}, {12, 1, 1, 12}, {1, 0, 0, 24}}));
    // Each block's first 10-minute record, and its first window: ten to a
    // whole 10-minute interval, so the values are those of the windows.
    const std::size_t first[] = {0, 6, 18, 19};
    const int windows[] = {0, 60, 180, 182};
    for (std::size_t b = 0; b < 3; ++b) {
        SCOPED_TRACE(b);
        EXPECT_NEAR(two.values[2 * b], aggregateOf(windows[b], windows[b + 1] - windows[b], false), 1e-9);
        EXPECT_NEAR(two.values[2 * b + 1], aggregateOf(windows[b], windows[b + 1] - windows[b], true), 1e-12);
        EXPECT_EQ(two.frames[b].startTime, tens.frames[first[b]].startTime);
        EXPECT_EQ(two.frames[b].endTime, tens.frames[first[b + 1] - 1].endTime);
    }
}


// Sums kept scaled by powers of two: windows whose values are those of an
// ordinary run times 2^e aggregate, in all three streams and in both modes,
// to exactly 2^e times that run's aggregates, where plain sums of the
// squares overflow (e > 512, and beyond 1020 the sums of the values too) or
// underflow (e < -511). Sums that never needed scaling pin the ordinary
// bits, as the golden tests do.
TEST(IntervalAggregator, HugeAndTinyValuesAggregateAsTheirScaledRun) {
    // Four values a window (a magnitude as a root mean square and as a mean,
    // a signed value, one that starts with zeros) over 180 windows of 40 s:
    // 15 to a 150/180-cycle and to a 10-minute interval, 12 of those to 2 hours.
    constexpr int windows = 180;
    const auto valuesOf = [](int k, double scale) {
        const double m = magnitude(k) + 0.37 * std::sin(k);
        return std::array<double, 4>{m * scale, m * scale, alternating(k) * scale,
                                     (k % 15 < 3 ? 0.0 : 1.0 + k * 1e-3) * scale};
    };
    const auto run = [&](double scale) {
        IntervalAggregator a(4);
        a.setMeanAggregated(1, true);
        a.setMeanAggregated(2, true);
        for (int k = 0; k < windows; ++k) {
            const std::array<double, 4> v = valuesOf(k, scale);
            a.addWindow(40.0 * k, 40.0 * (k + 1), v.data(), false);
        }
        a.flush();
        std::array<Taken, 3> streams;
        for (int kind = 0; kind < 3; ++kind) streams[kind] = takeAll(a, kind);
        return streams;
    };
    const std::array<Taken, 3> ordinary = run(1.0);
    ASSERT_EQ(ordinary[2].frames.size(), 1u);
    for (int e : {400, 600, 1000, 1015, -300, -600, -1000}) {
        SCOPED_TRACE(e);
        const std::array<Taken, 3> scaled = run(std::ldexp(1.0, e));
        for (int kind = 0; kind < 3; ++kind) {
            SCOPED_TRACE(kind);
            ASSERT_EQ(rows(scaled[kind]), rows(ordinary[kind]));
            ASSERT_EQ(scaled[kind].values.size(), ordinary[kind].values.size());
            for (std::size_t i = 0; i < scaled[kind].values.size(); ++i) {
                EXPECT_EQ(scaled[kind].values[i], std::ldexp(ordinary[kind].values[i], e)) << "value " << i;
            }
        }
    }
}

// At the ends of the range: the largest doubles give the largest double (not
// inf) as their root mean square and mean; a tiny value before ordinary ones
// changes nothing of their aggregate (its square is lost to their rounding
// as it is to a plain sum's); the smallest subnormal's aggregate is itself.
TEST(IntervalAggregator, ExtremeValuesStayFiniteAndTinyOnesAreNotLost) {
    constexpr double largest = std::numeric_limits<double>::max(), least = std::numeric_limits<double>::denorm_min();
    struct Case { const char* name; std::vector<double> values; double rms, mean; };
    const std::vector<Case> cases = {
        {"largest", std::vector<double>(15, largest), largest, largest},
        {"largest, both signs", {largest, -largest, largest, largest, -largest}, largest, largest / 5.0},
        {"one largest among ordinary ones", {230.0, largest, 230.0}, std::sqrt(1.0 / 3.0) * largest, largest / 3.0},
        {"tiny before ordinary", {1e-170, 230.0, 231.0}, std::sqrt((230.0 * 230.0 + 231.0 * 231.0) / 3.0),
         (1e-170 + 230.0 + 231.0) / 3.0},
        {"smallest subnormal", {least, least}, least, least},
        {"zeros, then a tiny one", {0.0, 0.0, 0.0, 0x1p-700}, 0x1p-701, 0x1p-700 / 4.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        IntervalAggregator a(2);
        a.setMeanAggregated(1, true);
        for (std::size_t k = 0; k < c.values.size(); ++k) {
            const double v[2] = {c.values[k], c.values[k]};
            a.addWindow(0.2 * k, 0.2 * (k + 1), v, false);
        }
        a.flush();
        for (int kind = 0; kind < 3; ++kind) {
            const Taken t = takeAll(a, kind);
            ASSERT_EQ(t.values.size(), 2u) << kind;
            EXPECT_DOUBLE_EQ(t.values[0], c.rms) << kind;
            EXPECT_DOUBLE_EQ(t.values[1], c.mean) << kind;
            EXPECT_TRUE(std::isfinite(t.values[0]) && std::isfinite(t.values[1])) << kind;
        }
    }
}


// Values go four at a time while no sum is scaled: eleven values a window
// (two blocks of four and three more), ordinary, huge, tiny and zero ones
// mixed in one block and switching between windows, aggregate bit for bit as
// each value does alone (one value a window goes one at a time).
TEST(IntervalAggregator, ManyValuesAggregateAsEachAlone) {
    constexpr double largest = std::numeric_limits<double>::max();
    constexpr int count = 11, windows = 200;
    const auto value = [&](int slot, int k) {
        switch (slot % 6) {
            case 0: return magnitude(k) + 0.37 * std::sin(k + slot);
            case 1: return alternating(k) * (slot + 1);
            case 2: return k == 7 + slot ? 0.5 * largest : 230.0 + slot;  // one square overflows
            case 3: return k < 3 ? 0.0 : k < 5 + slot ? 0x1p-700 * (k + 1) : 1.0 + k;  // zeros, tiny, ordinary
            case 4: return k % 40 == slot ? -0x1p-600 : 0.0;
            default: return k == 100 ? largest : -1e-3 * k;
        }
    };
    IntervalAggregator together(count);
    std::vector<IntervalAggregator> alone;
    for (int slot = 0; slot < count; ++slot) {
        alone.emplace_back(1);
        together.setMeanAggregated(slot, slot % 2 == 1);
        alone.back().setMeanAggregated(0, slot % 2 == 1);
    }
    for (int k = 0; k < windows; ++k) {
        double v[count];
        for (int slot = 0; slot < count; ++slot) {
            v[slot] = value(slot, k);
            alone[static_cast<std::size_t>(slot)].addWindow(20.0 * k, 20.0 * (k + 1), v + slot, false);
        }
        together.addWindow(20.0 * k, 20.0 * (k + 1), v, false);
    }
    together.flush();
    for (IntervalAggregator& a : alone) a.flush();
    for (int kind = 0; kind < 3; ++kind) {
        SCOPED_TRACE(kind);
        const Taken all = takeAll(together, kind);
        for (int slot = 0; slot < count; ++slot) {
            SCOPED_TRACE(slot);
            const Taken one = takeAll(alone[static_cast<std::size_t>(slot)], kind);
            ASSERT_EQ(rows(one), rows(all));
            for (std::size_t i = 0; i < one.values.size(); ++i) {
                const double x = one.values[i], y = all.values[i * count + static_cast<std::size_t>(slot)];
                EXPECT_EQ(std::memcmp(&x, &y, sizeof x), 0) << "interval " << i << ": " << x << " " << y;
            }
        }
    }
}

// Refused input changes nothing: after each refusal the aggregator still
// gives exactly what a twin fed only the good windows gives.
TEST(IntervalAggregator, RefusedInputChangesNothing) {
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (const auto& args : {std::make_pair(0, 0.0), {-2, 0.0}, {1, nan}, {1, inf}})
        EXPECT_THROW(IntervalAggregator(args.first, args.second), std::invalid_argument) << args.first;
    EXPECT_NO_THROW(IntervalAggregator(1, 1e15));  // the largest offset
    IntervalAggregator a(2, -1.0), twin(2, -1.0);  // a negative offset is kept modulo 600
    EXPECT_DOUBLE_EQ(a.getClockOffset(), 599.0);
    addWindows(a, 0.0, 0.2, 0, 3);
    addWindows(twin, 0.0, 0.2, 0, 3);
    // The rest as one batch, placed as addWindows places them, refused whole
    // while any window in it is bad: a value not finite, a start going back.
    std::vector<double> starts, ends, batch;
    for (int k = 3; k < 15; ++k) {
        starts.push_back(0.6 + 0.2 * (k - 3)); ends.push_back(0.6 + 0.2 * (k - 2));
        batch.insert(batch.end(), {magnitude(k), alternating(k)});
    }
    std::vector<double> notFinite = batch, back = starts;
    notFinite[2 * 11 + 1] = nan;  // the last window's
    std::swap(back[4], back[5]);
    const double good[2] = {1.0, 2.0}, bad[3][2] = {{nan, 1.0}, {1.0, inf}, {-inf, 0.0}};
    IntervalAggregate frames[1];
    double values[2];
    // Bad values; times not finite, ending before the start, starting before
    // 0.4, beyond the clock; no values; bad arguments of the getters.
    const std::function<void()> refused[] = {
        [&] { a.setMeanAggregated(2, true); }, [&] { a.setMeanAggregated(-1, true); }, [&] { a.isMeanAggregated(2); },
        [&] { a.addWindow(0.6, 0.8, bad[0], true); }, [&] { a.addWindow(0.6, 0.8, bad[2], true); },
        [&] { a.addWindow(nan, 0.8, good, true); }, [&] { a.addWindow(0.6, inf, good, true); },
        [&] { a.addWindow(0.6, 0.5, good, true); }, [&] { a.addWindow(0.3, 0.8, good, true); },
        [&] { a.addWindow(1e16, 1e16, good, true); }, [&] { a.addWindow(0.6, 0.8, nullptr, true); },
        [&] { a.getThreeSecondIntervals(-1, frames, values); }, [&] { a.getTenMinuteIntervals(1, nullptr, values); },
        [&] { a.getTenMinuteIntervals(1, frames, nullptr); },
        [&] { a.addWindows(12, back.data(), ends.data(), batch.data(), nullptr); },
        [&] { a.addWindows(-1, starts.data(), ends.data(), batch.data(), nullptr); },
        [&] { a.addWindows(1, starts.data(), nullptr, batch.data(), nullptr); },
    };
    for (std::size_t k = 0; k < std::size(refused); ++k) EXPECT_NE(refusal(refused[k]), "taken") << k;
    EXPECT_NE(refusal([&] { a.addWindow(0.6, 0.8, bad[1], true); }).find("value 1"), std::string::npos);
    EXPECT_NE(refusal([&] { a.addWindows(12, starts.data(), ends.data(), notFinite.data(), nullptr); })
                  .find("window 11: value 1"), std::string::npos);
    EXPECT_EQ(a.getTenMinuteIntervals(0, nullptr, nullptr), 0);
    EXPECT_EQ(a.getPendingThreeSecondCount() + a.getPendingTenMinuteCount(), 0);
    const std::vector<char> flags(12, 0);
    a.addWindows(12, starts.data(), ends.data(), batch.data(), reinterpret_cast<const bool*>(flags.data()));
    addWindows(twin, 0.6, 0.2, 3, 12);  // over the tick at 1.0
    a.flush();
    twin.flush();
    for (bool tenMinute : {false, true}) {
        const Taken x = takeAll(a, tenMinute), y = takeAll(twin, tenMinute);
        // Not flagged; the tick at caller time 1 s is absolute 0.
        EXPECT_EQ(rows(x), (tenMinute ? Rows{{5, 0, 0, -1}, {10, 0, 0, 0}} : Rows{{15, 1, 0, -1}, {10, 0, 0, 0}}));
        EXPECT_EQ(rows(x), rows(y));
        EXPECT_EQ(column(x, &IntervalAggregate::startTime), column(y, &IntervalAggregate::startTime));
        EXPECT_EQ(column(x, &IntervalAggregate::endTime), column(y, &IntervalAggregate::endTime));
        EXPECT_EQ(x.values, y.values);
    }
}

}  // namespace
