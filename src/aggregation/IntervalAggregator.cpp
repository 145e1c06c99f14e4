// Interval aggregation of windowed values: running intervals (150/180
// cycles, one of which may run on past a 10-minute tick, and 10 minutes) with per-value sums of squares and plain sums, and
// two queues of closed intervals. See IntervalAggregator.h for the rules,
// and for why the sums are kept scaled by powers of two.
#include "powerquality/IntervalAggregator.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <deque>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

static_assert(sizeof(IntervalAggregate) == 32, "IntervalAggregate is 32 bytes");
static_assert(offsetof(IntervalAggregate, startTime) == 0, "IntervalAggregate.startTime");
static_assert(offsetof(IntervalAggregate, endTime) == 8, "IntervalAggregate.endTime");
static_assert(offsetof(IntervalAggregate, clockInterval) == 16, "IntervalAggregate.clockInterval");
static_assert(offsetof(IntervalAggregate, windowCount) == 24, "IntervalAggregate.windowCount");
static_assert(offsetof(IntervalAggregate, flagged) == 28, "IntervalAggregate.flagged");
static_assert(offsetof(IntervalAggregate, complete) == 29, "IntervalAggregate.complete");

namespace {

// A window start this close before a tick counts as on the tick.
constexpr double tickTolerance = 1e-6;
// Times beyond this (about 32 million years) are refused: clock interval
// numbers stay far inside 64 bits.
constexpr double timeLimit = 1e15;

// A sum of squares held as sum * 2^(2 shift), so that it stays finite for
// every finite value. Scaling by a power of two is exact and commutes with
// every rounding of the sum, its quotient and its root, as long as nothing
// falls below the smallest normal double: a sum that needs no scaling gives
// the bits of a plain sum, and so does one scaled up or down, unless the
// plain one overflowed or lost tiny squares to underflow.
// - The shift starts at 0. A sum that stays 0 and meets a value whose square
//   would be subnormal takes that value's exponent as its shift (negative),
//   so that the root of tiny values is not lost to underflow.
// - A square that would overflow the sum raises the shift by shiftStep and
//   scales the sum down by 2^(2 shiftStep) first. The sum is then at least
//   2^(1024 - 2 shiftStep); what the scaling drops below the smallest
//   normal double (2^-1022, scaled) lies some 1800 binary orders below it.
constexpr int shiftStep = 128;
// Squares below this are subnormal or lost (2^-1022 is the smallest normal).
constexpr double tinyRoot = 0x1p-511;

void addSquare(double& sum, int& shift, double x) {
    if (sum == 0.0 && x != 0.0 && std::fabs(x) < tinyRoot) {
        shift = std::ilogb(x);
    }
    for (;;) {
        const double scaled = shift == 0 ? x : std::ldexp(x, -shift);
        const double next = sum + scaled * scaled;
        if (std::isfinite(next)) {
            sum = next;
            return;
        }
        shift += shiftStep;
        sum = std::ldexp(sum, -2 * shiftStep);
    }
}

// A sum of values held as sum * 2^shift, shift 0 until a value would
// overflow it (values near the largest double), as for the squares.
void addValue(double& sum, int& shift, double x) {
    for (;;) {
        const double next = sum + (shift == 0 ? x : std::ldexp(x, -shift));
        if (std::isfinite(next)) {
            sum = next;
            return;
        }
        shift += shiftStep;
        sum = std::ldexp(sum, -shiftStep);
    }
}

// Root of the mean square and mean of count values from their scaled sums.
// Mathematically neither exceeds the largest |value|; rounding may take the
// scaled one past the largest double, which is where it is held.
double rootMeanSquare(double sum, int shift, double count) {
    const double root = std::sqrt(sum / count);
    return shift == 0 ? root : std::min(std::ldexp(root, shift), std::numeric_limits<double>::max());
}

double meanOf(double sum, int shift, double count) {
    constexpr double largest = std::numeric_limits<double>::max();
    const double mean = sum / count;
    return shift == 0 ? mean : std::max(-largest, std::min(std::ldexp(mean, shift), largest));
}

// One interval being aggregated.
struct Running {
    bool open = false;
    bool startedOnTick = false;  // 10-minute: opened by a tick rather than by the first window
    IntervalAggregate frame{};
    std::vector<double> squares;  // scaled by 2^(-2 squareShifts[i])
    std::vector<double> sums;     // scaled by 2^(-sumShifts[i])
    std::vector<int> squareShifts;
    std::vector<int> sumShifts;
    bool scaled = false;  // a shift is not 0

    void begin(std::size_t valueCount, double startTime, long long clock, bool onTick) {
        open = true;
        startedOnTick = onTick;
        std::memset(static_cast<void*>(&frame), 0, sizeof frame);  // the bytes after the flags too
        frame.startTime = startTime;
        frame.endTime = startTime;
        frame.clockInterval = clock;
        squares.assign(valueCount, 0.0);
        sums.assign(valueCount, 0.0);
        squareShifts.assign(valueCount, 0);
        sumShifts.assign(valueCount, 0);
        scaled = false;
    }

    void add(double endTime, const double* values, bool flagged) {
        const std::size_t n = squares.size();
        std::size_t i = 0;
        // Two values at a time while every shift is 0: a pair whose sums
        // both come out finite, with no sum of squares still 0 meeting a tiny
        // value, takes sum + x x and sum + x as addSquare and addValue would;
        // from the first other pair on they go through these, from the sums
        // as they were.
#if defined(__SSE2__)
        if (!scaled) {
            const __m128d zero = _mm_setzero_pd();
            const __m128d tiny = _mm_set1_pd(tinyRoot);
            const __m128d magnitude = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
            for (; i + 2 <= n; i += 2) {
                const __m128d x = _mm_loadu_pd(values + i);
                const __m128d q = _mm_loadu_pd(squares.data() + i);
                const __m128d nextSquares = _mm_add_pd(q, _mm_mul_pd(x, x));
                const __m128d nextSums = _mm_add_pd(_mm_loadu_pd(sums.data() + i), x);
                // Finite: v - v is 0 (NaN for inf and NaN).
                const __m128d finite = _mm_and_pd(_mm_cmpeq_pd(_mm_sub_pd(nextSquares, nextSquares), zero),
                                                  _mm_cmpeq_pd(_mm_sub_pd(nextSums, nextSums), zero));
                const __m128d tinyStart =
                    _mm_and_pd(_mm_and_pd(_mm_cmpeq_pd(q, zero), _mm_cmpneq_pd(x, zero)),
                               _mm_cmplt_pd(_mm_and_pd(x, magnitude), tiny));
                if (_mm_movemask_pd(_mm_andnot_pd(tinyStart, finite)) != 3) {
                    break;
                }
                _mm_storeu_pd(squares.data() + i, nextSquares);
                _mm_storeu_pd(sums.data() + i, nextSums);
            }
        }
#endif
        for (; i < n; ++i) {
            addSquare(squares[i], squareShifts[i], values[i]);
            addValue(sums[i], sumShifts[i], values[i]);
            scaled = scaled || squareShifts[i] != 0 || sumShifts[i] != 0;
        }
        frame.endTime = endTime;
        frame.windowCount += 1;
        frame.flagged = frame.flagged || flagged;
    }
};

// Closed intervals waiting to be taken: frames and their values, valueCount
// each, in the same order.
struct Closed {
    std::deque<IntervalAggregate> frames;
    std::deque<double> values;
};

}  // namespace

class IntervalAggregator::Impl {
public:
    Impl(int valueCount, long long clockBase, double clockOffset)
        : valueCount(static_cast<std::size_t>(valueCount)),
          clockBase(clockBase),
          clockOffset(clockOffset),
          mean(static_cast<std::size_t>(valueCount), false) {}

    std::size_t valueCount;
    long long clockBase;  // whole clock intervals of the offset
    double clockOffset;   // the rest, in [0, 600)
    std::vector<bool> mean;
    double lastStart = -std::numeric_limits<double>::infinity();
    Running threeSecond;
    Running runOn;  // the 150/180-cycle interval that runs on past a tick
    Running tenMinute;
    Closed threeSecondClosed;
    Closed tenMinuteClosed;
    Running twoHour;  // of the closed 10-minute values; windowCount counts those
    bool twoHourWhole = true;  // every 10-minute value in it complete
    Closed twoHourClosed;

    long long clockOf(double time) const {
        return clockBase +
               static_cast<long long>(std::floor((time + clockOffset + tickTolerance) / clockIntervalSeconds));
    }

    void close(Running& running, Closed& closed, bool complete) {
        running.frame.complete = complete;
        const double count = static_cast<double>(running.frame.windowCount);
        closed.frames.emplace_back();  // byte for byte, the zeroed bytes after the flags too
        std::memcpy(static_cast<void*>(&closed.frames.back()), &running.frame, sizeof running.frame);
        for (std::size_t i = 0; i < valueCount; ++i) {
            closed.values.push_back(mean[i] ? meanOf(running.sums[i], running.sumShifts[i], count)
                                            : rootMeanSquare(running.squares[i], running.squareShifts[i], count));
        }
        running.open = false;
    }

    void add(double startTime, double endTime, const double* values, bool flagged) {
        const long long clock = clockOf(startTime);
        // Both intervals hold windows of one clock interval: a window past the
        // tick closes them (the resynchronisation of the 150/180 cycles).
        // A 10-minute interval is complete when the windows before and after
        // it lie in the clock intervals next to it.
        const bool tick = tenMinute.open && clock > tenMinute.frame.clockInterval;
        const bool adjacent = tick && clock == tenMinute.frame.clockInterval + 1;
        if (tick) {
            // The 150/180-cycle interval in progress runs on past the tick to
            // its full count while a new one starts here ("overlap 1"),
            // unless the data paused over a whole clock interval; one still
            // running on from the tick before (windows far apart) ends now.
            if (runOn.open) {
                close(runOn, threeSecondClosed, false);
            }
            if (threeSecond.open && adjacent) {
                std::swap(runOn, threeSecond);
            } else if (threeSecond.open) {
                close(threeSecond, threeSecondClosed, false);
            }
            close(tenMinute, tenMinuteClosed, tenMinute.startedOnTick && adjacent);
            addToTwoHour();
        }
        if (!tenMinute.open) {
            tenMinute.begin(valueCount, startTime, clock, adjacent);
        }
        if (!threeSecond.open) {
            threeSecond.begin(valueCount, startTime, clock, false);
        }
        tenMinute.add(endTime, values, flagged);
        if (runOn.open) {
            runOn.add(endTime, values, flagged);
            if (runOn.frame.windowCount == windowsPerInterval) {
                close(runOn, threeSecondClosed, true);
            }
        }
        threeSecond.add(endTime, values, flagged);
        if (threeSecond.frame.windowCount == windowsPerInterval) {
            close(threeSecond, threeSecondClosed, true);
        }
        lastStart = startTime;
    }

    void flush() {
        if (runOn.open) {
            close(runOn, threeSecondClosed, false);
        }
        if (threeSecond.open) {
            close(threeSecond, threeSecondClosed, threeSecond.frame.windowCount == windowsPerInterval);
        }
        if (tenMinute.open) {
            close(tenMinute, tenMinuteClosed, false);
            addToTwoHour();
        }
        if (twoHour.open) {
            close(twoHour, twoHourClosed, false);
        }
    }

    // The 10-minute value just closed joins the 2-hour block of its clock
    // interval; the block is closed by its twelfth clock interval, by a value
    // of a later block, or by flush.
    void addToTwoHour() {
        const IntervalAggregate ten = tenMinuteClosed.frames.back();
        const std::vector<double> values(tenMinuteClosed.values.end() - static_cast<std::ptrdiff_t>(valueCount),
                                         tenMinuteClosed.values.end());
        const long long perBlock = tenMinutesPerTwoHours;
        const long long block = floorBlock(ten.clockInterval);
        if (twoHour.open && floorBlock(twoHour.frame.clockInterval) != block) {
            close(twoHour, twoHourClosed, false);
        }
        if (!twoHour.open) {
            twoHour.begin(valueCount, ten.startTime, ten.clockInterval, false);
            twoHourWhole = true;
        }
        twoHour.add(ten.endTime, values.data(), ten.flagged);
        twoHourWhole = twoHourWhole && ten.complete;
        if (ten.clockInterval - block * perBlock == perBlock - 1) {
            close(twoHour, twoHourClosed, twoHourWhole && twoHour.frame.windowCount == tenMinutesPerTwoHours);
        }
    }

    static long long floorBlock(long long clockInterval) {
        const long long perBlock = tenMinutesPerTwoHours;
        return (clockInterval >= 0 ? clockInterval : clockInterval - (perBlock - 1)) / perBlock;
    }

    int take(Closed& closed, int capacity, IntervalAggregate* records, double* values) {
        if (capacity < 0) {
            throw std::invalid_argument("negative capacity");
        }
        if (capacity > 0 && (records == nullptr || values == nullptr)) {
            throw std::invalid_argument("null records or values array");
        }
        const std::size_t n = std::min(static_cast<std::size_t>(capacity), closed.frames.size());
        for (std::size_t k = 0; k < n; ++k) {
            // Whole, with the zeroed bytes after the flags: not field by field.
            std::memcpy(static_cast<void*>(records + k), &closed.frames[k], sizeof(IntervalAggregate));
        }
        for (std::size_t k = 0; k < n * valueCount; ++k) {
            values[k] = closed.values[k];
        }
        closed.frames.erase(closed.frames.begin(), closed.frames.begin() + static_cast<std::ptrdiff_t>(n));
        closed.values.erase(closed.values.begin(),
                            closed.values.begin() + static_cast<std::ptrdiff_t>(n * valueCount));
        return static_cast<int>(n);
    }
};

IntervalAggregator::IntervalAggregator(int valueCount, double clockOffset) : impl(nullptr) {
    if (valueCount < 1) {
        throw std::invalid_argument("IntervalAggregator: the value count must be at least 1, not " +
                                    std::to_string(valueCount));
    }
    if (!(std::fabs(clockOffset) <= timeLimit)) {
        throw std::invalid_argument("IntervalAggregator: the clock offset must be finite and within 1e15 s");
    }
    const double whole = std::floor(clockOffset / clockIntervalSeconds);
    double offset = clockOffset - whole * clockIntervalSeconds;  // exact for offsets below 2^53 s
    long long base = static_cast<long long>(whole);
    if (offset >= clockIntervalSeconds) {  // rounding at the edge
        offset -= clockIntervalSeconds;
        base += 1;
    }
    if (offset < 0.0) {
        offset += clockIntervalSeconds;
        base -= 1;
    }
    impl = new Impl(valueCount, base, offset);
}

IntervalAggregator::IntervalAggregator(IntervalAggregator&& other) noexcept : impl(other.impl) {
    other.impl = nullptr;
}

IntervalAggregator& IntervalAggregator::operator=(IntervalAggregator&& other) noexcept {
    if (this != &other) {
        delete impl;
        impl = other.impl;
        other.impl = nullptr;
    }
    return *this;
}

IntervalAggregator::~IntervalAggregator() {
    delete impl;
}

int IntervalAggregator::getValueCount() const {
    return static_cast<int>(impl->valueCount);
}

double IntervalAggregator::getClockOffset() const {
    return impl->clockOffset;
}

static std::size_t checkedIndex(int valueIndex, std::size_t valueCount) {
    if (valueIndex < 0 || static_cast<std::size_t>(valueIndex) >= valueCount) {
        throw std::invalid_argument("IntervalAggregator: value index " + std::to_string(valueIndex) +
                                    " out of range 0.." + std::to_string(valueCount - 1));
    }
    return static_cast<std::size_t>(valueIndex);
}

void IntervalAggregator::setMeanAggregated(int valueIndex, bool mean) {
    impl->mean[checkedIndex(valueIndex, impl->valueCount)] = mean;
}

bool IntervalAggregator::isMeanAggregated(int valueIndex) const {
    return impl->mean[checkedIndex(valueIndex, impl->valueCount)];
}

// Refuses a window that addWindow may not take after a window that started
// at previousStart; where names the window in the message.
static void checkWindow(double startTime, double endTime, const double* values, std::size_t valueCount,
                        double previousStart, const std::string& where) {
    if (!(std::fabs(startTime) <= timeLimit) || !(std::fabs(endTime) <= timeLimit)) {
        throw std::invalid_argument("IntervalAggregator: " + where + "times must be finite and within 1e15 s");
    }
    if (endTime < startTime) {
        throw std::invalid_argument("IntervalAggregator: " + where + "ends before it starts");
    }
    if (startTime < previousStart) {
        throw std::invalid_argument("IntervalAggregator: " + where +
                                    "starts before the previous window (time goes back)");
    }
    if (values == nullptr) {
        throw std::invalid_argument("IntervalAggregator: null values");
    }
    for (std::size_t i = 0; i < valueCount; ++i) {
        if (!std::isfinite(values[i])) {
            throw std::invalid_argument("IntervalAggregator: " + where + "value " + std::to_string(i) +
                                        " is not finite");
        }
    }
}

void IntervalAggregator::addWindow(double startTime, double endTime, const double* values, bool flagged) {
    checkWindow(startTime, endTime, values, impl->valueCount, impl->lastStart, "");
    impl->add(startTime, endTime, values, flagged);
}

void IntervalAggregator::addWindows(int count, const double* startTimes, const double* endTimes,
                                    const double* values, const bool* flags) {
    if (count < 0) {
        throw std::invalid_argument("IntervalAggregator: negative window count");
    }
    if (count > 0 && (startTimes == nullptr || endTimes == nullptr || values == nullptr)) {
        throw std::invalid_argument("IntervalAggregator: null times or values array");
    }
    const std::size_t n = impl->valueCount;
    double previous = impl->lastStart;
    for (int k = 0; k < count; ++k) {
        checkWindow(startTimes[k], endTimes[k], values + static_cast<std::size_t>(k) * n, n, previous,
                    "window " + std::to_string(k) + ": ");
        previous = startTimes[k];
    }
    for (int k = 0; k < count; ++k) {
        impl->add(startTimes[k], endTimes[k], values + static_cast<std::size_t>(k) * n,
                  flags != nullptr && flags[k]);
    }
}

void IntervalAggregator::flush() {
    impl->flush();
}

int IntervalAggregator::getThreeSecondIntervals(int capacity, IntervalAggregate* records, double* values) {
    return impl->take(impl->threeSecondClosed, capacity, records, values);
}

int IntervalAggregator::getTenMinuteIntervals(int capacity, IntervalAggregate* records, double* values) {
    return impl->take(impl->tenMinuteClosed, capacity, records, values);
}

int IntervalAggregator::getTwoHourIntervals(int capacity, IntervalAggregate* records, double* values) {
    return impl->take(impl->twoHourClosed, capacity, records, values);
}

int IntervalAggregator::getPendingTwoHourCount() const {
    return static_cast<int>(impl->twoHourClosed.frames.size());
}

int IntervalAggregator::getPendingThreeSecondCount() const {
    return static_cast<int>(impl->threeSecondClosed.frames.size());
}

int IntervalAggregator::getPendingTenMinuteCount() const {
    return static_cast<int>(impl->tenMinuteClosed.frames.size());
}
