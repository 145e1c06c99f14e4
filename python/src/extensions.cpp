// Bindings of the library's helper classes that hosts use beside a module:
// FrequencyTracker (frequency segments from a reference voltage),
// VoltageEventDetector (dips, swells and interruptions from period values)
// IntervalAggregator (150/180-cycle and 10-minute values from windows) and
// FlickerMeter (Pinst, Pst and Plt of one voltage).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "records.h"

namespace py = pybind11;

#include "powerquality/FlickerMeter.h"
#include "powerquality/FrequencyTracker.h"
#include "powerquality/IntervalAggregator.h"
#include "powerquality/RapidVoltageChangeDetector.h"
#include "powerquality/VoltageEventDetector.h"

namespace powerquality_python {

namespace {

py::dtype intervalDtype() {
    DtypeBuilder b(sizeof(FrequencyTrackerInterval));
    b.scalar<decltype(FrequencyTrackerInterval::firstSampleIndex)>("firstSampleIndex",
                                                                  offsetof(FrequencyTrackerInterval, firstSampleIndex));
    b.scalar<decltype(FrequencyTrackerInterval::endSampleIndex)>("endSampleIndex",
                                                                offsetof(FrequencyTrackerInterval, endSampleIndex));
    b.scalar<decltype(FrequencyTrackerInterval::frequency)>("frequency", offsetof(FrequencyTrackerInterval, frequency));
    b.scalar<decltype(FrequencyTrackerInterval::cycleCount)>("cycleCount",
                                                            offsetof(FrequencyTrackerInterval, cycleCount));
    b.scalar<decltype(FrequencyTrackerInterval::flag)>("flag", offsetof(FrequencyTrackerInterval, flag));
    return b.build();
}

// The samples of one voltage into a tracker or a flicker meter, in pieces of
// at most INT_MAX.
template <class Consumer>
void addSamples(Consumer& t, py::array_t<float, py::array::c_style | py::array::forcecast> samples) {
    if (samples.ndim() != 1) {
        throw py::value_error("samples must be a 1-D array of one voltage");
    }
    const float* data = samples.data();
    py::ssize_t left = samples.size();
    while (left > 0) {
        const int count = static_cast<int>(std::min<py::ssize_t>(left, INT_MAX));
        t.addSamples(data, count);
        data += count;
        left -= count;
    }
}

// Every closed segment waiting, as four arrays in the form
// Module.schedule_periods takes.
py::tuple getSegments(FrequencyTracker& t) {
    const int pending = t.getPendingSegmentsCount();
    py::array_t<unsigned long long> first(pending);
    py::array_t<int> lengths(pending);
    py::array_t<double> frequencies(pending);
    py::array_t<bool> flags(pending);
    int taken = 0;
    if (pending > 0) {
        taken = t.getSegments(pending, first.mutable_data(), lengths.mutable_data(), frequencies.mutable_data(),
                              flags.mutable_data());
    }
    if (taken != pending) {
        first.resize({taken});
        lengths.resize({taken});
        frequencies.resize({taken});
        flags.resize({taken});
    }
    return py::make_tuple(first, lengths, frequencies, flags);
}

py::array getTenSecond(FrequencyTracker& t) {
    std::vector<FrequencyTrackerInterval> all;
    FrequencyTrackerInterval chunk[64];
    int got = 0;
    while ((got = t.getTenSecondFrequencies(64, chunk)) > 0) {
        all.insert(all.end(), chunk, chunk + got);
    }
    py::array out(keptDtype([] { return intervalDtype(); }),
                  std::vector<py::ssize_t>{static_cast<py::ssize_t>(all.size())});
    if (!all.empty()) {
        std::memcpy(out.mutable_data(), all.data(), all.size() * sizeof(FrequencyTrackerInterval));
    }
    return out;
}

void bindTracker(py::module_& m) {
    m.attr("TEN_SECOND_INTERVAL_DTYPE") = intervalDtype();
    py::class_<FrequencyTracker>(m, "FrequencyTracker",
                                 "Frequency segments of a reference voltage, ready for Module.schedule_periods.")
        .def(py::init<double, double, int>(), py::arg("sample_rate"), py::arg("nominal_frequency"),
             py::arg("sample_index_divisor") = 1)
        .def_property_readonly("sample_rate", &FrequencyTracker::getSampleRate)
        .def_property_readonly("nominal_frequency", &FrequencyTracker::getNominalFrequency)
        .def_property_readonly("sample_index_divisor", &FrequencyTracker::getSampleIndexDivisor)
        .def_property_readonly("min_frequency", &FrequencyTracker::getMinFrequency)
        .def_property_readonly("max_frequency", &FrequencyTracker::getMaxFrequency)
        .def("set_frequency_range", &FrequencyTracker::setFrequencyRange, py::arg("min_frequency"),
             py::arg("max_frequency"))
        .def_property("loss_level", &FrequencyTracker::getLossLevel, &FrequencyTracker::setLossLevel)
        .def_property_readonly("frequency", &FrequencyTracker::getFrequency)
        .def_property_readonly("locked", &FrequencyTracker::isLocked)
        .def_property_readonly("sample_position", &FrequencyTracker::getSamplePosition)
        .def("add_samples", &addSamples<FrequencyTracker>, py::arg("samples"))
        .def("get_segments", &getSegments,
             "Take every closed segment: (first_sample_indices, lengths, frequencies, flags).")
        .def("ten_second_frequencies", &getTenSecond,
             "Take every finished 10-second interval, as rows of TEN_SECOND_INTERVAL_DTYPE.");
}

py::dtype eventDtype() {
    DtypeBuilder b(sizeof(VoltageEvent));
    b.scalar<decltype(VoltageEvent::type)>("type", offsetof(VoltageEvent, type));
    b.scalar<decltype(VoltageEvent::phases)>("phases", offsetof(VoltageEvent, phases));
    b.scalar<decltype(VoltageEvent::startTime)>("startTime", offsetof(VoltageEvent, startTime));
    b.scalar<decltype(VoltageEvent::duration)>("duration", offsetof(VoltageEvent, duration));
    b.scalar<decltype(VoltageEvent::extremeVoltage)>("extremeVoltage", offsetof(VoltageEvent, extremeVoltage));
    b.scalar<decltype(VoltageEvent::extremePercent)>("extremePercent", offsetof(VoltageEvent, extremePercent));
    return b.build();
}

py::array eventArray(const std::vector<VoltageEvent>& events) {
    py::array out(keptDtype([] { return eventDtype(); }),
                  std::vector<py::ssize_t>{static_cast<py::ssize_t>(events.size())});
    if (!events.empty()) {
        std::memcpy(out.mutable_data(), events.data(), events.size() * sizeof(VoltageEvent));
    }
    return out;
}

// One value per phase and time: rms has shape (times, phases).
template <class Detector>
void addRmsValues(Detector& d, py::array_t<double, py::array::c_style | py::array::forcecast> times,
                  py::array_t<double, py::array::c_style | py::array::forcecast> rms) {
    const py::ssize_t phases = static_cast<py::ssize_t>(d.getPhasesCount());
    if (times.ndim() != 1 || rms.ndim() != 2 || rms.shape(0) != times.shape(0) || rms.shape(1) != phases) {
        throw py::value_error("rms must have shape (len(times), phases_count)");
    }
    for (py::ssize_t k = 0; k < times.shape(0); ++k) {
        d.addRmsValues(times.data()[k], rms.data() + k * phases);
    }
}

void bindEvents(py::module_& m) {
    m.attr("VOLTAGE_EVENT_DTYPE") = eventDtype();
    py::class_<VoltageEventDetector>(m, "VoltageEventDetector",
                                     "Voltage dips, swells and interruptions from RMS values per phase.")
        .def(py::init<double, unsigned int>(), py::arg("declared_voltage"), py::arg("phases_count"))
        .def_property_readonly("declared_voltage", &VoltageEventDetector::getDeclaredVoltage)
        .def_property_readonly("phases_count", &VoltageEventDetector::getPhasesCount)
        .def("set_thresholds", &VoltageEventDetector::setThresholds, py::arg("dip"), py::arg("swell"),
             py::arg("interruption"), py::arg("hysteresis"))
        .def_property("dip_threshold", &VoltageEventDetector::getDipThreshold, &VoltageEventDetector::setDipThreshold)
        .def_property("swell_threshold", &VoltageEventDetector::getSwellThreshold,
                      &VoltageEventDetector::setSwellThreshold)
        .def_property("interruption_threshold", &VoltageEventDetector::getInterruptionThreshold,
                      &VoltageEventDetector::setInterruptionThreshold)
        .def_property("hysteresis", &VoltageEventDetector::getHysteresis, &VoltageEventDetector::setHysteresis)
        .def_property("window_start_stamps", &VoltageEventDetector::getWindowStartStamps,
                      &VoltageEventDetector::setWindowStartStamps,
                      "Values per window of IEC 61000-4-30 Ed. 3 start stamps (2 for Urms(1/2)); 0 stamps the "
                      "end of the first value beyond the threshold.")
        .def("add_rms_values", &addRmsValues<VoltageEventDetector>, py::arg("times"), py::arg("rms"))
        .def("get_events", [](VoltageEventDetector& d) { return eventArray(d.getEvents()); },
             "Take every finished event, in the order they ended (rows of VOLTAGE_EVENT_DTYPE).")
        .def("running_events", [](VoltageEventDetector& d) { return eventArray(d.getRunningEvents()); })
        .def("close_running_events", &VoltageEventDetector::closeRunningEvents);
}

py::dtype rvcDtype() {
    DtypeBuilder b(sizeof(RapidVoltageChange));
    b.scalar<decltype(RapidVoltageChange::phases)>("phases", offsetof(RapidVoltageChange, phases));
    b.scalar<decltype(RapidVoltageChange::startTime)>("startTime", offsetof(RapidVoltageChange, startTime));
    b.scalar<decltype(RapidVoltageChange::duration)>("duration", offsetof(RapidVoltageChange, duration));
    b.scalar<decltype(RapidVoltageChange::deltaUmax)>("deltaUmax", offsetof(RapidVoltageChange, deltaUmax));
    b.scalar<decltype(RapidVoltageChange::deltaUss)>("deltaUss", offsetof(RapidVoltageChange, deltaUss));
    b.scalar<decltype(RapidVoltageChange::deltaUmaxPercent)>("deltaUmaxPercent",
                                                            offsetof(RapidVoltageChange, deltaUmaxPercent));
    b.scalar<decltype(RapidVoltageChange::deltaUssPercent)>("deltaUssPercent",
                                                           offsetof(RapidVoltageChange, deltaUssPercent));
    return b.build();
}

py::array rvcArray(const std::vector<RapidVoltageChange>& events) {
    py::array out(keptDtype([] { return rvcDtype(); }),
                  std::vector<py::ssize_t>{static_cast<py::ssize_t>(events.size())});
    if (!events.empty()) {
        std::memcpy(out.mutable_data(), events.data(), events.size() * sizeof(RapidVoltageChange));
    }
    return out;
}

void bindRapidVoltageChanges(py::module_& m) {
    m.attr("RAPID_VOLTAGE_CHANGE_DTYPE") = rvcDtype();
    py::class_<RapidVoltageChangeDetector>(
        m, "RapidVoltageChangeDetector",
        "Rapid voltage changes as IEC 61000-4-30 Class A defines them, from Urms(1/2) values per phase.")
        .def(py::init<double, unsigned int, unsigned int>(), py::arg("declared_voltage"), py::arg("phases_count"),
             py::arg("steady_state_length") = 100)
        .def_property_readonly("declared_voltage", &RapidVoltageChangeDetector::getDeclaredVoltage)
        .def_property_readonly("phases_count", &RapidVoltageChangeDetector::getPhasesCount)
        .def_property_readonly("steady_state_length", &RapidVoltageChangeDetector::getSteadyStateLength)
        .def("set_thresholds", &RapidVoltageChangeDetector::setThresholds, py::arg("threshold"),
             py::arg("hysteresis"), "RVC threshold and hysteresis in percent of the declared voltage.")
        .def_property_readonly("threshold", &RapidVoltageChangeDetector::getThreshold)
        .def_property_readonly("hysteresis", &RapidVoltageChangeDetector::getHysteresis)
        .def("set_dip_swell_thresholds", &RapidVoltageChangeDetector::setDipSwellThresholds, py::arg("dip"),
             py::arg("swell"))
        .def_property_readonly("dip_threshold", &RapidVoltageChangeDetector::getDipThreshold)
        .def_property_readonly("swell_threshold", &RapidVoltageChangeDetector::getSwellThreshold)
        .def_property("window_start_stamps", &RapidVoltageChangeDetector::getWindowStartStamps,
                      &RapidVoltageChangeDetector::setWindowStartStamps)
        .def("add_rms_values", &addRmsValues<RapidVoltageChangeDetector>, py::arg("times"), py::arg("rms"))
        .def("get_events", [](RapidVoltageChangeDetector& d) { return rvcArray(d.getEvents()); },
             "Take every finished event, in the order they ended (rows of RAPID_VOLTAGE_CHANGE_DTYPE).")
        .def("running_events", [](RapidVoltageChangeDetector& d) { return rvcArray(d.getRunningEvents()); });
}

// Rows of an aggregator's intervals: the IntervalAggregate frame at its own
// offsets, then `values`, valueCount doubles, at offset 32.
py::dtype aggregateDtype(int valueCount) {
    DtypeBuilder b(sizeof(IntervalAggregate) + sizeof(double) * static_cast<std::size_t>(valueCount));
    b.scalar<decltype(IntervalAggregate::startTime)>("startTime", offsetof(IntervalAggregate, startTime));
    b.scalar<decltype(IntervalAggregate::endTime)>("endTime", offsetof(IntervalAggregate, endTime));
    b.scalar<decltype(IntervalAggregate::clockInterval)>("clockInterval", offsetof(IntervalAggregate, clockInterval));
    b.scalar<decltype(IntervalAggregate::windowCount)>("windowCount", offsetof(IntervalAggregate, windowCount));
    b.scalar<decltype(IntervalAggregate::flagged)>("flagged", offsetof(IntervalAggregate, flagged));
    b.scalar<decltype(IntervalAggregate::complete)>("complete", offsetof(IntervalAggregate, complete));
    b.add("values", py::make_tuple(py::dtype::of<double>(), valueCount), sizeof(IntervalAggregate));
    return b.build();
}

// stream: 0 150/180-cycle, 1 10-minute, 2 2-hour intervals.
py::array takeIntervals(IntervalAggregator& a, int stream) {
    const int pending = stream == 2   ? a.getPendingTwoHourCount()
                        : stream == 1 ? a.getPendingTenMinuteCount()
                                      : a.getPendingThreeSecondCount();
    const std::size_t n = static_cast<std::size_t>(a.getValueCount());
    std::vector<IntervalAggregate> frames(static_cast<std::size_t>(pending));
    std::vector<double> values(static_cast<std::size_t>(pending) * n);
    const int taken = stream == 2   ? a.getTwoHourIntervals(pending, frames.data(), values.data())
                      : stream == 1 ? a.getTenMinuteIntervals(pending, frames.data(), values.data())
                                    : a.getThreeSecondIntervals(pending, frames.data(), values.data());
    py::array out(aggregateDtype(a.getValueCount()), std::vector<py::ssize_t>{taken});
    const std::size_t row = sizeof(IntervalAggregate) + sizeof(double) * n;
    auto* bytes = static_cast<unsigned char*>(out.mutable_data());
    for (std::size_t k = 0; k < static_cast<std::size_t>(taken); ++k) {
        std::memcpy(bytes + k * row, &frames[k], sizeof(IntervalAggregate));
        std::memcpy(bytes + k * row + sizeof(IntervalAggregate), values.data() + k * n, sizeof(double) * n);
    }
    return out;
}

using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

// Windows as arrays: starts and ends of shape (n,), values (n, valueCount),
// flags (n,) or None; refused whole when any window is bad.
void addWindows(IntervalAggregator& a, DoubleArray starts, DoubleArray ends, DoubleArray values, py::object flags) {
    const py::ssize_t n = starts.ndim() == 1 ? starts.shape(0) : -1;
    if (n < 0 || ends.ndim() != 1 || ends.shape(0) != n || values.ndim() != 2 || values.shape(0) != n ||
        values.shape(1) != a.getValueCount()) {
        throw py::value_error("starts and ends must have shape (n,) and values (n, value_count)");
    }
    if (n > INT_MAX) {
        throw py::value_error("too many windows in one call");
    }
    py::array_t<bool, py::array::c_style | py::array::forcecast> flagArray;
    const bool* flagData = nullptr;
    if (!flags.is_none()) {
        flagArray = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(flags);
        if (!flagArray || flagArray.ndim() != 1 || flagArray.shape(0) != n) {
            throw py::value_error("flags must have shape (n,)");
        }
        flagData = flagArray.data();
    }
    a.addWindows(static_cast<int>(n), starts.data(), ends.data(), values.data(), flagData);
}

void bindAggregator(py::module_& m) {
    py::class_<IntervalAggregator>(m, "IntervalAggregator",
                                   "150/180-cycle and 10-minute aggregation of window values (IEC 61000-4-30).")
        .def(py::init<int, double>(), py::arg("value_count"), py::arg("clock_offset") = 0.0)
        .def_readonly_static("WINDOWS_PER_INTERVAL", &IntervalAggregator::windowsPerInterval)
        .def_readonly_static("CLOCK_INTERVAL_SECONDS", &IntervalAggregator::clockIntervalSeconds)
        .def_property_readonly("value_count", &IntervalAggregator::getValueCount)
        .def_property_readonly("clock_offset", &IntervalAggregator::getClockOffset)
        .def_property_readonly("dtype", [](const IntervalAggregator& a) { return aggregateDtype(a.getValueCount()); })
        .def("set_mean", &IntervalAggregator::setMeanAggregated, py::arg("index"), py::arg("mean") = true,
             "Aggregate value `index` as an arithmetic mean (signed quantities) instead of as an RMS.")
        .def("is_mean", &IntervalAggregator::isMeanAggregated, py::arg("index"))
        .def(
            "add_window",
            [](IntervalAggregator& a, double start, double end, DoubleArray values, bool flagged) {
                if (values.ndim() != 1 || values.shape(0) != a.getValueCount()) {
                    throw py::value_error("values must have shape (value_count,)");
                }
                a.addWindow(start, end, values.data(), flagged);
            },
            py::arg("start"), py::arg("end"), py::arg("values"), py::arg("flagged") = false)
        .def("add_windows", &addWindows, py::arg("starts"), py::arg("ends"), py::arg("values"),
             py::arg("flags") = py::none())
        .def("flush", &IntervalAggregator::flush, "Close the running intervals (at the end of the data).")
        .def_property_readonly("pending_three_second", &IntervalAggregator::getPendingThreeSecondCount)
        .def_property_readonly("pending_ten_minute", &IntervalAggregator::getPendingTenMinuteCount)
        .def("three_second_intervals", [](IntervalAggregator& a) { return takeIntervals(a, 0); },
             "Take every closed 150/180-cycle interval, as rows of `dtype`.")
        .def("ten_minute_intervals", [](IntervalAggregator& a) { return takeIntervals(a, 1); },
             "Take every closed 10-minute interval, as rows of `dtype`.")
        .def_readonly_static("TEN_MINUTES_PER_TWO_HOURS", &IntervalAggregator::tenMinutesPerTwoHours)
        .def_property_readonly("pending_two_hour", &IntervalAggregator::getPendingTwoHourCount)
        .def("two_hour_intervals", [](IntervalAggregator& a) { return takeIntervals(a, 2); },
             "Take every closed 2-hour value (from the 10-minute values of 2 hours of the clock; windowCount is "
             "their number), as rows of `dtype`.");
}


// Every value waiting in one of the meter's queues, as a float64 array, and
// with return_gaps also their gap marks, as a bool array.
py::object takeSeverities(FlickerMeter& meter, bool longTerm, bool returnGaps) {
    const int pending = longTerm ? meter.getPendingLongTermCount() : meter.getPendingShortTermCount();
    py::array_t<double> out(pending);
    py::array_t<bool> gaps(pending);
    const int taken = longTerm ? meter.getLongTermSeverities(pending, out.mutable_data(), gaps.mutable_data())
                               : meter.getShortTermSeverities(pending, out.mutable_data(), gaps.mutable_data());
    if (taken != pending) {
        out.resize({taken});
        gaps.resize({taken});
    }
    if (returnGaps) {
        return py::make_tuple(out, gaps);
    }
    return std::move(out);
}

// Row c of samples to meters[c], through FlickerMeter::addSamples of all of
// them at once, in pieces of at most INT_MAX. The array is read in place
// when it is C-contiguous float32 (the first rows of such an array are).
void addSamplesTogether(const std::vector<FlickerMeter*>& meters,
                        py::array_t<float, py::array::c_style | py::array::forcecast> samples) {
    if (samples.ndim() != 2 || samples.shape(0) != static_cast<py::ssize_t>(meters.size())) {
        throw py::value_error("samples must be a 2-D array with a row for each meter");
    }
    for (FlickerMeter* meter : meters) {
        if (meter == nullptr) {
            throw py::value_error("meters must not hold None");
        }
    }
    const int count = static_cast<int>(meters.size());
    std::vector<const float*> rows(meters.size());
    py::ssize_t done = 0;
    const py::ssize_t total = samples.shape(1);
    while (done < total) {
        const int n = static_cast<int>(std::min<py::ssize_t>(total - done, INT_MAX));
        for (int c = 0; c < count; ++c) {
            rows[static_cast<std::size_t>(c)] = samples.data(c, done);
        }
        FlickerMeter::addSamples(meters.data(), rows.data(), count, n);
        done += n;
    }
}

void bindFlicker(py::module_& m) {
    py::class_<FlickerMeter>(m, "FlickerMeter", R"doc(Flickermeter of IEC 61000-4-15 over one voltage: Pinst, Pst, Plt.

Parameters
----------
sample_rate : float
    Samples per second (at least 20 times the nominal frequency).
nominal_frequency : float
    Supply frequency, 40 to 70 Hz (50 or 60).
lamp_voltage : float
    230 or 120: the lamp the weighting filter models.
clock_offset : float
    Absolute time in seconds of the first sample: 10-minute intervals end on
    whole 10 minutes of that clock (0: intervals from the first sample).

Notes
-----
Samples that are NaN or infinite are missing. A gap never reads as flicker:
the meter bridges it with the level before it, its Pinst values (and half a
second after it) are not measured, and the intervals that hold one are
marked (``short_term_severities(return_gaps=True)``).

Examples
--------
>>> import numpy as np, powerquality as pq
>>> fs = 4000.0; t = np.arange(int(20 * fs)) / fs
>>> u = 325 * np.sin(2 * np.pi * 50 * t) * (1 + 0.0025 / 2 * np.sin(2 * np.pi * 8.8 * t))
>>> meter = pq.FlickerMeter(fs, 50.0, 230.0)
>>> meter.add_samples(u)
>>> round(meter.instantaneous_maximum(), 2)
1.0
)doc")
        .def(py::init([](double sampleRate, double nominalFrequency, double lampVoltage, double clockOffset) {
                 FlickerMeter meter(sampleRate, nominalFrequency, lampVoltage);
                 meter.setClockOffset(clockOffset);
                 return meter;
             }),
             py::arg("sample_rate"), py::arg("nominal_frequency") = 50.0, py::arg("lamp_voltage") = 230.0,
             py::arg("clock_offset") = 0.0)
        .def_readonly_static("SHORT_TERM_SECONDS", &FlickerMeter::shortTermSeconds)
        .def_readonly_static("SHORT_TERM_PER_LONG_TERM", &FlickerMeter::shortTermPerLongTerm)
        .def_readonly_static("SETTLING_SECONDS", &FlickerMeter::settlingSeconds)
        .def_property_readonly("sample_rate", &FlickerMeter::getSampleRate)
        .def_property_readonly("nominal_frequency", &FlickerMeter::getNominalFrequency)
        .def_property_readonly("lamp_voltage", &FlickerMeter::getLampVoltage)
        .def_property_readonly("decimation_factor", &FlickerMeter::getDecimationFactor)
        .def_property_readonly("clock_offset", &FlickerMeter::getClockOffset)
        .def_property_readonly("first_clock_interval", &FlickerMeter::getFirstClockInterval,
                               "k of the 10-minute clock interval that holds the first sample: the first Pst's.")
        .def_property_readonly("sample_position", &FlickerMeter::getSamplePosition)
        .def("add_samples", &addSamples<FlickerMeter>, py::arg("samples"),
             "The next samples of the voltage, in any scale (converted to float32).")
        .def_static("add_samples_together", &addSamplesTogether, py::arg("meters"), py::arg("samples"),
                    "The next samples of several voltages, row c of the 2-D ``samples`` (converted to float32) "
                    "to ``meters[c]``: the results of each meter's ``add_samples`` in turn, bit for bit, faster "
                    "when the meters share their settings and sample position.")
        .def("instantaneous_maximum", &FlickerMeter::getInstantaneousMaximum,
             "The largest Pinst since the previous call (the first: since the meter settled); NaN when none.")
        .def("short_term_severities",
             [](FlickerMeter& meter, bool returnGaps) { return takeSeverities(meter, false, returnGaps); },
             py::arg("return_gaps") = false,
             "Take the Pst of every 10-minute interval finished since the previous call, oldest first; with "
             "return_gaps=True a tuple (pst, gaps), gaps (bool) True where the interval held missing samples "
             "(NaN or infinite) or lost Pinst values to them.")
        .def("long_term_severities",
             [](FlickerMeter& meter, bool returnGaps) { return takeSeverities(meter, true, returnGaps); },
             py::arg("return_gaps") = false,
             "Take the Plt of every 2-hour block finished since the previous call, oldest first; with "
             "return_gaps=True a tuple (plt, gaps), gaps True where any of the block's intervals is marked.");
}

}  // namespace

void bindExtensions(py::module_& m) {
    bindTracker(m);
    bindEvents(m);
    bindAggregator(m);
    bindRapidVoltageChanges(m);
    bindFlicker(m);
}

}  // namespace powerquality_python
