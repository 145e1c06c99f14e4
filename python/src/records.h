// numpy dtypes of the library's result records, built from the C++ offsetof's
// and field types, so that the Python view of a record cannot drift from its
// layout. Field names are the C++ names.
#ifndef POWERQUALITY_PYTHON_RECORDS_H
#define POWERQUALITY_PYTHON_RECORDS_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <type_traits>

namespace powerquality_python {

namespace py = pybind11;

// The dtype `make` returns, made on the first call and kept until exit: the
// result fetches hand out arrays many times a second, and a nested dtype made
// again for each of them cost about 2 % of a command line run. Each lambda
// passed has a type of its own, so each call site keeps its own dtype.
template <class Make>
const py::dtype& keptDtype(Make make) {
    static const py::dtype* const kept = new py::dtype(make());  // never freed: the interpreter may be gone at exit
    return *kept;
}

class DtypeBuilder {
public:
    explicit DtypeBuilder(std::size_t itemsize) : itemsize(itemsize) {}

    // A scalar field whose numpy type follows from its C++ type.
    template <class Field>
    DtypeBuilder& scalar(const char* name, std::size_t offset) {
        using Plain = std::remove_cv_t<Field>;
        return add(name, py::dtype::of<Plain>(), offset);
    }
    // A nested record or a fixed-size array of them ((dtype, count) tuple).
    DtypeBuilder& add(const char* name, py::object format, std::size_t offset) {
        names.append(py::str(name));
        formats.append(std::move(format));
        offsets.append(py::int_(offset));
        return *this;
    }
    py::dtype build() const {
        py::dict description;
        description["names"] = names;
        description["formats"] = formats;
        description["offsets"] = offsets;
        description["itemsize"] = py::int_(itemsize);
        return py::dtype::from_args(description);
    }

private:
    std::size_t itemsize;
    py::list names;
    py::list formats;
    py::list offsets;
};

// Dtypes of RvcResult (40 bytes), PowerResultsSymmetricalComponent (168),
// PowerResultsThd (72), PowerResultsPeriod (384), PowerResultsGeneralPhase and
// PowerResultsGeneral (sizes of this build). The pointer slots of a general
// phase block are left unnamed: they point into the module's buffers, which
// the record outlives once copied, so the copies hold 0 there; the arrays
// behind them are copied out separately.
py::dtype rvcResultDtype();
py::dtype symmetricalComponentDtype();
py::dtype thdDtype();
py::dtype periodRecordDtype();
py::dtype generalPhaseDtype();
py::dtype generalRecordDtype();

// One row per period record as the binding hands them out: the running item
// number since reset (int64 `item`), the phase (int32 `phase`, -1 for the
// total record), then every field of the record at its own offset plus
// `periodRowHeader` bytes.
constexpr std::size_t periodRowHeader = 16;
py::dtype periodRowDtype();

void bindRecords(py::module_& m);
// FrequencyTracker and VoltageEventDetector.
void bindExtensions(py::module_& m);

// The COMTRADE reader's scaling of binary records (reader.cpp).
void bindReader(py::module_& m);

}  // namespace powerquality_python

#endif
