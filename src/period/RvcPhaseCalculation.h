// RvcPhaseCalculation: rapid voltage change detector of one voltage.
//
// It watches a stream of RMS values (one per period value). A steady state
// holds while the last steadyStateLength values all lie within
// +/- steadyStateThreshold percent of their own mean. An event starts with the
// first value that breaks the steady state and ends once the window is steady
// again under the narrower band thresholdHysteresis percent of the threshold,
// and at least steadyStateLength values have passed since the start. Below
// steadyStateLength values the window counts as steady, so no event starts
// before the window has filled.
//
// The steady-state test keeps the window's smallest and largest value as
// values come and go (a value above the band or below it exists exactly when
// the largest is above or the smallest below), so a value costs the same
// whatever the window's length.
//
// Non-finite values (NaN or infinite RMS values, from a glitch in the
// samples): while one is in the window, that is for the next
// steadyStateLength values, the window is not judged. The detector keeps its
// state and reports it: no event starts and none ends, an event in progress
// counts the values on, and a non-finite value is no deviation. The mean
// before a value, while the window holds non-finite values, is the mean of
// its finite ones. When the last non-finite value leaves, the window's sum is
// taken afresh and detection goes on as before. A stream of finite values
// never meets any of this.
#ifndef POWERQUALITY_PERIOD_RVCPHASECALCULATION_H
#define POWERQUALITY_PERIOD_RVCPHASECALCULATION_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "powerquality/Export.h"
#include "powerquality/PowerResults.h"

// A queue in one ring of storage that doubles when full: the operations of
// std::deque the detector uses, without its blocks, for a window of a few
// hundred values fed one at a time.
template <class T>
class RvcQueue {
public:
    class const_iterator {
    public:
        const_iterator(const RvcQueue* queue, std::size_t k) : queue(queue), k(k) {}
        const T& operator*() const { return queue->at(k); }
        const_iterator& operator++() {
            ++k;
            return *this;
        }
        bool operator!=(const const_iterator& other) const { return k != other.k; }

    private:
        const RvcQueue* queue;
        std::size_t k;
    };

    bool empty() const { return count == 0; }
    std::size_t size() const { return count; }
    const T& front() const { return storage[head]; }
    const T& back() const { return at(count - 1); }
    const T& at(std::size_t k) const { return storage[(head + k) & mask]; }
    // Inline, with the growth out of line: a push costs a few instructions.
    __attribute__((always_inline)) void push_back(const T& value) {
        if (count == capacity) {
            grow();
        }
        storage[(head + count) & mask] = value;
        ++count;
    }
    void pop_front() {
        head = (head + 1) & mask;
        --count;
    }
    void pop_back() { --count; }
    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, count); }

private:
    std::vector<T> storage;
    std::size_t head = 0;
    std::size_t count = 0;
    std::size_t capacity = 0;  // storage.size(), 0 or a power of two
    std::size_t mask = 0;      // capacity - 1

    __attribute__((noinline)) void grow() {
        std::vector<T> larger(storage.empty() ? 16 : 2 * storage.size());
        for (std::size_t k = 0; k < count; ++k) {
            larger[k] = at(k);
        }
        storage.swap(larger);
        head = 0;
        capacity = storage.size();
        mask = capacity - 1;
    }
};

class POWERQUALITY_API RvcPhaseCalculation {
public:
    RvcPhaseCalculation();

    // Feeds one value with its time in seconds; the result is currentResult.
    void calculate(double value, double time);
    const RvcResult& getCurrentResult() const;

    void setSteadyStateLength(unsigned int length);
    unsigned int getSteadyStateLength() const;
    void setSteadyStateThreshold(double percentOfAverage);
    double getSteadyStateThreshold() const;
    void setThresholdHysteresis(double percentOfThreshold);
    double getThresholdHysteresis() const;
    // Newest minus oldest time of the window with 2 or more values, else 0.
    double getSteadyStateDuration() const;

    // Empties the window and returns to the steady state with no result
    // (state -1); the settings and eventStartTime stay.
    void reset();
    void initialize();

    RvcQueue<double> values;
    RvcQueue<double> times;
    unsigned int steadyStateLength;
    double steadyStateThreshold;
    double thresholdHysteresis;
    int32_t state;
    RvcResult currentResult;
    double sum;
    unsigned int eventLength;
    double averageBeforeEvent;
    double eventStartTime;
    double maxDeviation;

private:
    // The window's extremes as (number of the value, value): minima rising
    // and maxima falling from the oldest on, finite values only.
    RvcQueue<std::pair<uint64_t, double>> windowMinima;
    RvcQueue<std::pair<uint64_t, double>> windowMaxima;
    uint64_t valuesAdded;         // number of values fed since the reset
    unsigned int nonFiniteCount;  // non-finite values in the window

    void addToWindow(double value, double time);
    void dropOldest();
    double getAverage() const;
    double getThreshold() const;
    bool isSteadyState() const;
    void report(int32_t newState);
};

#endif
