// The extension `powerquality._core`: PowerModule with Python names, its
// waveform rings as numpy views, and its records as structured arrays.
//
// Errors: the library's exceptions cross as Python exceptions with the
// library's message (std::invalid_argument -> ValueError, other standard
// exceptions -> RuntimeError, GpuException -> GpuError,
// PowerErrorTooManyResults -> TooManyResultsError). Arguments the library
// would not check (channel indices, array shapes, block lengths) are checked
// here before they reach it.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <stdexcept>
#include <cstring>
#include <string>
#include <vector>

#include "powerquality/PowerExceptions.h"
#include "powerquality/PowerModule.h"
#include "records.h"

namespace py = pybind11;
using namespace powerquality_python;

namespace {

// PowerModule plus what its facade does not report back: the grid type, the
// period count and the sample-index divisor, and the running number of the
// period items fetched since the last reset.
struct Module {
    PowerModule module;
    PowerGridConfigType gridType = SinglePhaseDefault;
    unsigned short periodCount = 10;
    int sampleIndexDivisor = 1;
    long long itemsFetched = 0;
    // The dtype object last given to get_period_results and found to extend
    // PERIOD_DTYPE, and that dtype: the same object again is not checked again.
    py::object rowDtypeArg;
    py::object rowDtype;
    // The rows of the last period fetch: the length a fetch that runs across the end of the results ring
    // makes its array with at its first part.
    std::size_t lastFetchRows = 0;
    // Open update brackets, as the module counts them. While it is not 0 the
    // settings may describe rings that are not laid out yet (the buffer
    // length reports the new value before the storage has it), so the rings
    // are not handed out or written then.
    int updateDepth = 0;
    // Ring views handed out by u_input_ring and its siblings that are still
    // alive (numpy arrays over the module's storage, and views of them).
    int ringViews = 0;

    void requireLaidOut(const char* what) const {
        if (updateDepth != 0) {
            throw std::runtime_error(std::string(what) +
                                     " inside an update bracket: the rings are laid out when the bracket closes");
        }
    }
};

// Python's rule for exported buffers (a bytearray refuses to resize while
// views of it exist): a setting that re-initialises the module (every one
// but half_period_values_count and period_values_overlap_in_percent) is
// refused with BufferError while ring views are alive, before anything
// changes, since the initialisation may give the rings new storage and free
// the old one under the views. Views are taken only outside an update
// bracket, and no setting changes while they live, so closing a bracket
// keeps the rings where they are.
void requireNoRingViews(const Module& m, const char* setting) {
    if (m.ringViews > 0) {
        throw py::buffer_error(std::string(setting) + " cannot change while " + std::to_string(m.ringViews) +
                               " ring view(s) from u_input_ring, current_ring, ... are alive: the change "
                               "re-initialises the module and may move the rings under them; delete the views "
                               "first (del view)");
    }
}

// What keeps a ring view's memory valid: the module, and the count of its
// live views, which the view's base object gives back when numpy frees it.
struct RingExport {
    py::object owner;
    Module* module;
};

using RingAccessor = void (PowerModule::*)(unsigned char, float**) const;

// A writable float32 view of one waveform ring; the view keeps the module
// alive, and while it lives the module refuses the settings that could move
// the ring (see requireNoRingViews).
py::array_t<float> ringView(py::object self, RingAccessor accessor, int channel, const char* what) {
    Module& m = self.cast<Module&>();
    m.requireLaidOut("waveform ring requested");
    if (channel < 0 || channel > 2) {
        throw py::index_error(std::string(what) + " channel " + std::to_string(channel) + " is out of range 0..2");
    }
    float* ring = nullptr;
    (m.module.*accessor)(static_cast<unsigned char>(channel), &ring);
    if (ring == nullptr) {
        throw py::value_error(std::string(what) + " channel " + std::to_string(channel) +
                              " has no ring in this configuration (rings exist once period values or windowed results are "
                              "enabled and the buffer length is set)");
    }
    py::capsule base(new RingExport{self, &m}, [](void* p) {
        RingExport* e = static_cast<RingExport*>(p);
        --e->module->ringViews;
        delete e;
    });
    ++m.ringViews;
    return py::array_t<float>({static_cast<py::ssize_t>(m.module.getBufferLength())}, {sizeof(float)}, ring, base);
}

// Writes samples[row, n] at ring index (position + n) % bufferLength of every
// channel: rows 0..voltages-1 to the voltage inputs, then the currents.
void writeBlock(Module& m, py::array_t<float, py::array::c_style | py::array::forcecast> samples,
                unsigned long long position) {
    m.requireLaidOut("samples written");
    if (samples.ndim() != 1 && samples.ndim() != 2) {
        throw py::value_error("samples must be a 1-D block (one channel) or 2-D (channels, samples)");
    }
    const py::ssize_t rows = samples.ndim() == 1 ? 1 : samples.shape(0);
    const py::ssize_t n = samples.ndim() == 1 ? samples.shape(0) : samples.shape(1);
    const unsigned voltages = m.module.getVoltagesCount();
    const unsigned currents = m.module.getCurrentsCount();
    if (rows != static_cast<py::ssize_t>(voltages + currents)) {
        throw py::value_error("samples have " + std::to_string(rows) + " channel rows; this configuration takes " +
                              std::to_string(voltages + currents) + " (" + std::to_string(voltages) +
                              " voltages, then " + std::to_string(currents) + " currents)");
    }
    const unsigned long long length = m.module.getBufferLength();
    if (length == 0) {
        throw py::value_error("the module has no waveform buffers yet: set buffer_length and sample_rate first");
    }
    if (static_cast<unsigned long long>(n) > length) {
        throw py::value_error("a block of " + std::to_string(n) + " samples does not fit a ring of " +
                              std::to_string(length) + "; write it in parts and fetch results between them");
    }
    // Every ring is looked up before any is written, so that a refused block
    // leaves all of them as they were.
    std::vector<float*> rings;
    for (unsigned k = 0; k < voltages + currents; ++k) {
        float* ring = nullptr;
        if (k < voltages) {
            m.module.getWaveformBufferUInput(static_cast<unsigned char>(k), &ring);
        } else {
            m.module.getWaveformBufferI(static_cast<unsigned char>(k - voltages), &ring);
        }
        if (ring == nullptr) {
            throw py::value_error("channel row " + std::to_string(k) +
                                  " has no ring in this configuration (rings exist once period values or "
                                  "windowed results are enabled)");
        }
        rings.push_back(ring);
    }
    if (n == 0) {
        return;
    }
    const std::size_t start = static_cast<std::size_t>(position % length);
    const std::size_t first = std::min<std::size_t>(static_cast<std::size_t>(n), static_cast<std::size_t>(length) - start);
    const float* data = samples.data();
    for (py::ssize_t row = 0; row < rows; ++row) {
        float* ring = rings[static_cast<std::size_t>(row)];
        const float* block = data + row * n;
        std::memcpy(ring + start, block, first * sizeof(float));
        std::memcpy(ring, block + first, (static_cast<std::size_t>(n) - first) * sizeof(float));
    }
}

void schedulePeriods(Module& m, py::array_t<unsigned long long, py::array::c_style | py::array::forcecast> first,
                     py::array_t<int, py::array::c_style | py::array::forcecast> lengths,
                     py::array_t<double, py::array::c_style | py::array::forcecast> frequencies, py::object flagsArg) {
    const py::ssize_t count = first.size();
    if (first.ndim() != 1 || lengths.ndim() != 1 || frequencies.ndim() != 1 || lengths.size() != count ||
        frequencies.size() != count) {
        throw py::value_error("first_sample_indices, lengths and frequencies must be 1-D arrays of one length");
    }
    // bool arrays for the module (all true unless flags are given).
    std::unique_ptr<bool[]> flagArray(new bool[static_cast<std::size_t>(count > 0 ? count : 1)]);
    std::fill(flagArray.get(), flagArray.get() + count, true);
    if (!flagsArg.is_none()) {
        auto flags = py::array_t<bool, py::array::c_style | py::array::forcecast>::ensure(flagsArg);
        if (!flags || flags.ndim() != 1 || flags.size() != count) {
            throw py::value_error("flags must be a 1-D array of the same length as the segments");
        }
        std::copy(flags.data(), flags.data() + count, flagArray.get());
    }
    if (count == 0) {
        return;
    }
    m.module.scheduleForPeriodCalculation(static_cast<int>(count), first.mutable_data(), lengths.mutable_data(),
                                          frequencies.mutable_data(), flagArray.get());
}

// Every waiting period item, copied out of the ring into rows of
// PERIOD_DTYPE: the total record first (phase -1, only with more than one
// phase, since a single phase has no total), then one row per phase. With a
// dtype that extends PERIOD_DTYPE (its fields at their offsets, a larger
// itemsize) the rows are that long, the bytes beyond PERIOD_DTYPE's zero.
// Each row is written once, straight into the array handed out, also when the
// module's ring ends inside the fetch and it comes in two parts (see below).
// The dtype checked last is kept (Module::rowDtype), so that a caller who
// passes the same dtype object at every fetch has it checked once.
py::array getPeriodResults(Module& m, py::object dtypeArg) {
    static const py::dtype* const periodDtype = new py::dtype(periodRowDtype());  // kept until exit
    const std::size_t periodRowSize = periodRowHeader + sizeof(PowerResultsPeriod);
    py::dtype dtype = *periodDtype;
    if (!dtypeArg.is_none()) {
        // Only a numpy dtype is kept: it cannot change, while a list or dict describing one could.
        if (!m.rowDtypeArg || !dtypeArg.is(m.rowDtypeArg)) {
            py::dtype given = py::dtype::from_args(dtypeArg);
            bool extends = given.itemsize() >= static_cast<py::ssize_t>(periodRowSize) &&
                           py::hasattr(given, "fields") && !given.attr("fields").is_none();
            if (extends) {
                const py::dict own = periodDtype->attr("fields");
                const py::dict fields = given.attr("fields");
                for (const auto& field : own) {
                    extends = extends && fields.contains(field.first) &&
                              fields[field.first].attr("__eq__")(field.second).cast<bool>();
                }
            }
            if (!extends) {
                throw py::value_error("dtype " + py::str(dtypeArg).cast<std::string>() +
                                      " does not extend PERIOD_DTYPE (its fields at the same offsets, an itemsize of "
                                      "at least " + std::to_string(periodRowSize) + ")");
            }
            dtype = given;
            if (py::isinstance<py::dtype>(dtypeArg)) {
                m.rowDtypeArg = dtypeArg;
                m.rowDtype = given;
            }
        } else {
            dtype = py::reinterpret_borrow<py::dtype>(m.rowDtype);
        }
    }
    const std::size_t rowSize = static_cast<std::size_t>(dtype.itemsize());
    const unsigned phases = m.module.getPhasesCount();
    const unsigned recordsPerItem = phases + 1;
    const unsigned firstRecord = phases > 1 ? 0 : 1;
    const std::size_t rowsPerItem = recordsPerItem - firstRecord;
    // Writes `count` items of records at `row` (header, padding 0, record, the extending dtype's bytes beyond
    // the record 0), numbering them on.
    const auto writeRows = [&](char* row, const PowerResultsPeriod* records, int count) {
        for (int item = 0; item < count; ++item, ++m.itemsFetched) {
            const PowerResultsPeriod* record = records + static_cast<std::size_t>(item) * recordsPerItem;
            for (unsigned r = firstRecord; r < recordsPerItem; ++r, row += rowSize) {
                const long long itemNumber = m.itemsFetched;
                const int32_t phase = static_cast<int32_t>(r) - 1;
                std::memcpy(row, &itemNumber, sizeof itemNumber);
                std::memcpy(row + 8, &phase, sizeof phase);
                std::memset(row + 12, 0, periodRowHeader - 12);
                std::memcpy(row + periodRowHeader, record + r, sizeof(PowerResultsPeriod));
                if (rowSize > periodRowSize) {
                    std::memset(row + periodRowSize, 0, rowSize - periodRowSize);
                }
            }
        }
    };
    // The array is made at the first part: as long as it when the fetch ends there, else as long as the
    // last fetch was (the ring's end comes about every other block, and fetches are about as long as each
    // other), so that the second part is written straight in too; it grows when that was too short and is
    // cut to the rows written at the end (in place).
    py::object out;  // the rows' array once the first part is in (a default py::array would be one of its own)
    std::size_t rows = 0;
    std::size_t capacity = 0;
    const auto resized = [&](std::size_t length) {
        py::reinterpret_borrow<py::array>(out).resize(std::vector<py::ssize_t>{static_cast<py::ssize_t>(length)},
                                                      false);
    };
    bool more = true;
    while (more) {
        int count = 0;
        more = false;
        PowerResultsPeriod* records = nullptr;
        m.module.getPeriodResults(&count, &more, &records);
        if (count <= 0) {
            break;
        }
        const std::size_t need = rows + static_cast<std::size_t>(count) * rowsPerItem;
        if (!out) {
            capacity = more ? std::max(need, m.lastFetchRows) : need;
            out = py::array(dtype, std::vector<py::ssize_t>{static_cast<py::ssize_t>(capacity)});
        } else if (need > capacity) {
            capacity = need;
            resized(capacity);
        }
        writeRows(static_cast<char*>(py::reinterpret_borrow<py::array>(out).mutable_data()) + rows * rowSize, records,
                  count);
        rows = need;
    }
    if (!out) {
        return py::array(dtype, std::vector<py::ssize_t>{0});
    }
    if (rows < capacity) {
        resized(rows);
    }
    m.lastFetchRows = rows;
    return py::reinterpret_steal<py::array>(out.release());
}

// Copies the array behind one pointer slot of every phase slot of every
// record into a (records, 4, length) float array; NaN where a slot has none.
template <class T>
py::array_t<T> copySlots(const std::vector<PowerResultsGeneral>& results, T* PowerResultsGeneralPhase::*slot,
                         uint32_t PowerResultsGeneral::*lengthField) {
    std::size_t length = 0;
    for (const auto& r : results) {
        length = std::max<std::size_t>(length, r.*lengthField);
    }
    constexpr std::size_t slots = sizeof(PowerResultsGeneral::phases) / sizeof(PowerResultsGeneral::phases[0]);
    py::array_t<T> out({results.size(), slots, length});
    T* data = out.mutable_data();
    const T none(std::numeric_limits<float>::quiet_NaN());
    // Each row written once: the copy, then NaN after it (or NaN throughout).
    for (std::size_t n = 0; n < results.size(); ++n) {
        for (std::size_t p = 0; p < slots; ++p) {
            T* row = data + (n * slots + p) * length;
            const T* source = p <= results[n].phasesCount ? results[n].phases[p].*slot : nullptr;
            const std::size_t copied = source != nullptr ? results[n].*lengthField : 0;
            std::copy(source, source + copied, row);
            std::fill(row + copied, row + length, none);
        }
    }
    return out;
}

// arrays: False (records only), True (every array) or the names of the arrays wanted.
py::object getResults(Module& m, int maxCount, py::object arrays) {
    const std::vector<PowerResultsGeneral> results = m.module.getResults(maxCount);
    py::array records(keptDtype([] { return generalRecordDtype(); }),
                      std::vector<py::ssize_t>{static_cast<py::ssize_t>(results.size())});
    if (!results.empty()) {
        std::memcpy(records.mutable_data(), results.data(), results.size() * sizeof(PowerResultsGeneral));
        // The pointer slots (unnamed in the dtype) would carry addresses of the
        // module's buffers, different from run to run: they read 0, so that
        // the same data give the same bytes.
        constexpr std::size_t first = offsetof(PowerResultsGeneralPhase, spectrumVoltage);
        auto* bytes = static_cast<unsigned char*>(records.mutable_data());
        for (std::size_t n = 0; n < results.size(); ++n) {
            for (std::size_t p = 0; p < sizeof(PowerResultsGeneral::phases) / sizeof(PowerResultsGeneralPhase); ++p) {
                std::memset(bytes + n * sizeof(PowerResultsGeneral) + offsetof(PowerResultsGeneral, phases) +
                                p * sizeof(PowerResultsGeneralPhase) + first,
                            0, sizeof(PowerResultsGeneralPhase) - first);
            }
        }
    }
    const bool flag = py::isinstance<py::bool_>(arrays) || arrays.is_none();
    if (flag && !py::bool_(arrays)) {
        return std::move(records);
    }
    const py::set wanted = flag ? py::set() : py::set(arrays);
    const auto want = [&](const char* name) { return flag || wanted.contains(name); };
    using P = PowerResultsGeneralPhase;
    using G = PowerResultsGeneral;
    py::dict copies;
    if (want("harmonicsVoltage")) {
        copies["harmonicsVoltage"] = copySlots<float>(results, &P::harmonicsVoltage, &G::harmonicLength);
    }
    if (want("harmonicsCurrent")) {
        copies["harmonicsCurrent"] = copySlots<float>(results, &P::harmonicsCurrent, &G::harmonicLength);
    }
    if (want("harmonicsLineToLine")) {
        copies["harmonicsLineToLine"] = copySlots<float>(results, &P::harmonicsLineToLine, &G::harmonicLength);
    }
    if (want("interHarmonicsVoltage")) {
        copies["interHarmonicsVoltage"] = copySlots<float>(results, &P::interHarmonicsVoltage, &G::harmonicLength);
    }
    if (want("interHarmonicsCurrent")) {
        copies["interHarmonicsCurrent"] = copySlots<float>(results, &P::interHarmonicsCurrent, &G::harmonicLength);
    }
    if (want("harmonicAnglesVoltage")) {
        copies["harmonicAnglesVoltage"] = copySlots<float>(results, &P::harmonicAnglesVoltage, &G::harmonicLength);
    }
    if (want("harmonicAnglesCurrent")) {
        copies["harmonicAnglesCurrent"] = copySlots<float>(results, &P::harmonicAnglesCurrent, &G::harmonicLength);
    }
    if (want("spectrumVoltage")) {
        copies["spectrumVoltage"] = copySlots<std::complex<float>>(results, &P::spectrumVoltage, &G::fftOutputLength);
    }
    if (want("spectrumCurrent")) {
        copies["spectrumCurrent"] = copySlots<std::complex<float>>(results, &P::spectrumCurrent, &G::fftOutputLength);
    }
    return py::make_tuple(records, copies);
}

#define PQ_FLAG(pyName, getter, setter)                                                                   \
    def_property(                                                                                        \
        pyName, [](Module& m) { return m.module.getter(); },                                             \
        [](Module& m, bool v) {                                                                          \
            requireNoRingViews(m, pyName);                                                               \
            m.module.setter(v);                                                                          \
        })

}  // namespace

PYBIND11_MODULE(_core, mod) {
    mod.doc() = "Binding of the powerquality C++ library (PowerModule and its result records).";
    bindRecords(mod);
    bindExtensions(mod);
    bindReader(mod);
    mod.attr("__version__") = PowerModule::getVersionString();

    static py::exception<GpuException> gpuError(mod, "GpuError", PyExc_RuntimeError);
    static py::exception<PowerErrorTooManyResults> tooMany(mod, "TooManyResultsError", PyExc_RuntimeError);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) {
                std::rethrow_exception(p);
            }
        } catch (const GpuException& e) {
            gpuError(e.what());
        } catch (const PowerErrorTooManyResults& e) {
            tooMany(e.what());
        }
    });

    py::enum_<PowerGridConfigType>(mod, "GridConfigType")
        .value("SinglePhaseDefault", SinglePhaseDefault)
        .value("ThreePhaseStar", ThreePhaseStar)
        .value("ThreePhaseStarTwoCurrents", ThreePhaseStarTwoCurrents)
        .value("ThreePhaseDelta", ThreePhaseDelta)
        .value("ThreePhaseDeltaTwoCurrents", ThreePhaseDeltaTwoCurrents)
        .value("TwoPhaseStar", TwoPhaseStar)
        .value("ThreePhaseDeltaTwoVoltages", ThreePhaseDeltaTwoVoltages)
        .value("SinglePhase", SinglePhase);

    py::class_<Module>(mod, "Module", "One measuring module (PowerModule). See the package docstring.")
        .def(py::init<>())
        .def("begin_update", [](Module& m) { m.module.beginUpdate(); ++m.updateDepth; })
        .def("end_update", [](Module& m) { --m.updateDepth; m.module.endUpdate(); })
        .def("__enter__",
             [](py::object self) {
                 Module& m = self.cast<Module&>();
                 m.module.beginUpdate();
                 ++m.updateDepth;
                 return self;
             })
        .def("__exit__",
             [](Module& m, py::args) {
                 --m.updateDepth;
                 m.module.endUpdate();
                 return false;
             })
        .def_property(
            "grid_config_type", [](Module& m) { return m.gridType; },
            [](Module& m, PowerGridConfigType t) {
                requireNoRingViews(m, "grid_config_type");
                m.module.setGridConfigType(t);
                m.gridType = t;
            })
        .def_property(
            "sample_rate", [](Module& m) { return m.module.getSampleRate(); },
            [](Module& m, double rate) {
                requireNoRingViews(m, "sample_rate");
                m.module.setSampleRate(rate, m.sampleIndexDivisor);
            })
        .def_property(
            "sample_index_divisor", [](Module& m) { return m.sampleIndexDivisor; },
            [](Module& m, int divisor) {
                requireNoRingViews(m, "sample_index_divisor");
                m.module.setSampleRate(m.module.getSampleRate(), divisor);
                m.sampleIndexDivisor = divisor;
            })
        .def(
            "set_sample_rate",
            [](Module& m, double rate, int divisor) {
                requireNoRingViews(m, "sample rate");
                m.module.setSampleRate(rate, divisor);
                m.sampleIndexDivisor = divisor;
            },
            py::arg("sample_rate"), py::arg("sample_index_divisor") = 1)
        .def_property(
            "buffer_length", [](Module& m) { return m.module.getBufferLength(); },
            [](Module& m, unsigned int length) {
                requireNoRingViews(m, "buffer_length");
                m.module.setBufferLength(length);
            })
        .def(
            "set_static_frequency",
            [](Module& m, double f, double tolerance) {
                requireNoRingViews(m, "the static frequency");
                m.module.setStaticFrequency(f, tolerance);
            },
            py::arg("frequency") = 50.0, py::arg("tolerance") = 0.1)
        .def(
            "set_variable_frequency",
            [](Module& m, double lo, double hi) {
                requireNoRingViews(m, "the variable frequency");
                m.module.setVariableFrequency(lo, hi);
            },
            py::arg("min_frequency"), py::arg("max_frequency"))
        .def_property(
            "period_count", [](Module& m) { return m.periodCount; },
            [](Module& m, unsigned short count) {
                requireNoRingViews(m, "period_count");
                m.module.setPeriodCount(count);
                m.periodCount = count;
            })
        .def_property(
            "half_period_values_count", [](Module& m) { return m.module.getHalfPeriodValuesCount(); },
            [](Module& m, unsigned short v) { m.module.setHalfPeriodValuesCount(v); })
        .def_property(
            "period_values_overlap_in_percent", [](Module& m) { return m.module.getPeriodValuesOverlapInPercent(); },
            [](Module& m, unsigned short v) { m.module.setPeriodValuesOverlapInPercent(v); })
        .PQ_FLAG("period_values_enabled", getPeriodValuesEnabled, setPeriodValuesEnabled)
        .PQ_FLAG("fundamental_period_values_enabled", getFundamentalPeriodValuesEnabled,
                 setFundamentalPeriodValuesEnabled)
        .PQ_FLAG("period_symmetrical_components_enabled", getPeriodSymmetricalComponentsEnabled,
                 setPeriodSymmetricalComponentsEnabled)
        .PQ_FLAG("current_enabled", getCurrentEnabled, setCurrentEnabled)
        .PQ_FLAG("line_to_line_results_enabled", getLineToLineResultsEnabled, setLineToLineResultsEnabled)
        .PQ_FLAG("waveforms_enabled", getWaveformsEnabled, setWaveformsEnabled)
        .PQ_FLAG("inter_harmonics_enabled", getInterHarmonicsEnabled, setInterHarmonicsEnabled)
        .PQ_FLAG("full_fft_enabled", getFullFftEnabled, setFullFftEnabled)
        .PQ_FLAG("thd_enabled", getThdEnabled, setThdEnabled)
        .PQ_FLAG("symmetrical_components_enabled", getSymmetricalComponentsEnabled, setSymmetricalComponentsEnabled)
        .PQ_FLAG("rvc_enabled", getRvcEnabled, setRvcEnabled)
        .PQ_FLAG("windowed_results_enabled", getWindowedResultsEnabled, setWindowedResultsEnabled)
        .PQ_FLAG("harmonic_subgroups_enabled", getHarmonicSubgroupsEnabled, setHarmonicSubgroupsEnabled)
        .def_property(
            "signalling_frequencies", [](Module& m) { return m.module.getSignallingFrequencies(); },
            [](Module& m, const std::vector<double>& v) { m.module.setSignallingFrequencies(v); },
            "Mains signalling frequencies, Hz (a list; empty: none). Read by each window as it is scheduled.")
        .def(
            "signalling_voltages",
            [](Module& m) {
                const std::vector<double> values = m.module.getSignallingVoltages();
                py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
                std::copy(values.begin(), values.end(), out.mutable_data());
                return out;
            },
            R"(The signalling voltages (volts) of the windows the latest get_results returned: a copy, window by
window, then phase by phase, then frequency by frequency (reshape to (windows, phases, frequencies)).)")
        .def_property(
            "highest_requested_harmonic", [](Module& m) { return m.module.getHighestRequestedHarmonic(); },
            [](Module& m, int v) {
                requireNoRingViews(m, "highest_requested_harmonic");
                m.module.setHighestRequestedHarmonic(v);
            })
        .def_property(
            "thd_highest_harmonic", [](Module& m) { return m.module.getThdHighestHarmonic(); },
            [](Module& m, int v) {
                requireNoRingViews(m, "thd_highest_harmonic");
                m.module.setThdHighestHarmonic(v);
            })
        .def_property(
            "rvc_steady_state_length", [](Module& m) { return m.module.getRvcSteadyStateLength(); },
            [](Module& m, int v) {
                requireNoRingViews(m, "rvc_steady_state_length");
                m.module.setRvcSteadyStateLength(v);
            })
        .def_property(
            "rvc_threshold", [](Module& m) { return m.module.getRvcThreshold(); },
            [](Module& m, double v) {
                requireNoRingViews(m, "rvc_threshold");
                m.module.setRvcThreshold(v);
            })
        .def_property(
            "rvc_threshold_hysteresis", [](Module& m) { return m.module.getRvcThresholdHysteresis(); },
            [](Module& m, double v) {
                requireNoRingViews(m, "rvc_threshold_hysteresis");
                m.module.setRvcThresholdHysteresis(v);
            })
        .def_property_readonly("phases_count", [](Module& m) { return int(m.module.getPhasesCount()); })
        .def_property_readonly("voltages_count", [](Module& m) { return int(m.module.getVoltagesCount()); })
        .def_property_readonly("currents_count", [](Module& m) { return int(m.module.getCurrentsCount()); })
        .def("u_input_ring",
             [](py::object self, int k) { return ringView(self, &PowerModule::getWaveformBufferUInput, k, "voltage"); },
             py::arg("channel"))
        .def("u_star_ring",
             [](py::object self, int k) { return ringView(self, &PowerModule::getWaveformBufferUStar, k, "star voltage"); },
             py::arg("channel"))
        .def("u_delta_ring",
             [](py::object self, int k) {
                 return ringView(self, &PowerModule::getWaveformBufferUDelta, k, "line-to-line voltage");
             },
             py::arg("channel"))
        .def("current_ring",
             [](py::object self, int k) { return ringView(self, &PowerModule::getWaveformBufferI, k, "current"); },
             py::arg("channel"))
        .def(
            "reset",
            [](Module& m, unsigned long long first) {
                m.module.reset(first);
                m.itemsFetched = 0;
            },
            py::arg("first_sample_index") = 0)
        .def("skip_samples", [](Module& m, unsigned int n) { m.module.skipSamples(n); }, py::arg("count"))
        .def("is_any_result_ready", [](Module& m) { return m.module.isAnyResultReady(); })
        .def("write", &writeBlock, py::arg("samples"), py::arg("position"),
             R"(Write a block of samples into the waveform rings.

Parameters
----------
samples : array_like, shape (channels, n) or (n,)
    Rows: the voltage inputs 0..voltages_count-1, then the currents
    0..currents_count-1 (converted to float32). n may be any length up to
    buffer_length; the block wraps round the end of the rings.
position : int
    Stream position of the first sample (ring index position % buffer_length).)")
        .def("schedule_periods", &schedulePeriods, py::arg("first_sample_indices"), py::arg("lengths"),
             py::arg("frequencies"), py::arg("flags") = py::none(),
             R"(Report the tracked frequency as segments (scheduleForPeriodCalculation).

Parameters
----------
first_sample_indices, lengths, frequencies : array_like
    One entry per segment, in time order, without gaps: first caller index
    (position x sample_index_divisor), length in caller indices, Hz.
flags : array_like of bool, optional
    The segments' flags (all True by default).

Raises
------
ValueError
    With the library's message, for a segment it rejects; nothing is then
    scheduled.)")
        .def(
            "schedule_for_calculation",
            [](Module& m, unsigned long long first, int periods, double f) { m.module.scheduleForCalculation(first, periods, f); },
            py::arg("first_sample_index"), py::arg("period_count"), py::arg("frequency"))
        .def("get_period_results", &getPeriodResults, py::arg("dtype") = py::none(),
             R"(Fetch every finished period value as rows of PERIOD_DTYPE.

Parameters
----------
dtype : numpy.dtype, optional
    Rows of this dtype instead: one that extends PERIOD_DTYPE (its fields at
    the same offsets, a larger itemsize), the bytes beyond PERIOD_DTYPE's
    zero, so that a caller's extra fields start at 0 without a second copy.

Returns
-------
numpy.ndarray
    One row per record, copied out of the results ring (valid for good):
    ``item`` (running number since reset), ``phase`` (-1 for the total,
    which exists with more than one phase and comes first), then the
    fields of PowerResultsPeriod.)")
        .def("get_results", &getResults, py::arg("max_count") = 0, py::arg("arrays") = py::bool_(false),
             R"(Fetch windowed results as rows of GENERAL_RECORD_DTYPE (copies).

Parameters
----------
max_count : int
    At most this many windows (0: all ready ones).
arrays : bool or collection of str
    Also return a dict of the arrays behind the records' pointers
    (harmonicsVoltage, spectrumVoltage, ...; given names: only those),
    copied into arrays of shape
    (windows, 4 phase slots, length), NaN where a slot has none.)");
}
