# The package as a caller meets it: the signatures that help() and inspect show, arrays taken either way round,
# and names that do not shadow Dask's.
import inspect
import warnings

import numpy as np
import pytest

import powerquality as pq
from powerquality import analysis, fleet
from conftest import three_phase

FS = 6400.0


@pytest.mark.parametrize("function, parameters", [
    (pq.analyze, ["recording", "voltages", "currents", "sample_rate", "declared_voltage", "inter_harmonics"]),
    (pq.analyze_many, ["paths", "jobs", "client", "out", "en50160"]),
])
def test_the_top_level_callables_show_their_parameters(function, parameters):
    signature = inspect.signature(function)
    assert set(parameters) <= set(signature.parameters), signature
    assert "args" not in signature.parameters and "self" not in signature.parameters
    assert function.__doc__ and len(function.__doc__) > 200


def test_the_flickermeters_signature_has_pybinds_defaults():
    signature = inspect.signature(pq.FlickerMeter)
    assert [(p.name, p.default) for p in signature.parameters.values()] == [
        ("sample_rate", inspect.Parameter.empty), ("nominal_frequency", 50.0), ("lamp_voltage", 230.0),
        ("clock_offset", 0.0)]
    assert signature.parameters["sample_rate"].annotation is float and len(pq.FlickerMeter.__doc__) > 200
    assert pq.FlickerMeter(**{"sample_rate": 4000.0, "lamp_voltage": 120.0}) is not None


# One rule for every shape: a side that is a number of channels (1 or 3 voltages) is the channels' side; when
# both sides could be, the rows are taken, with a warning that says so.
@pytest.mark.parametrize("shape, channels, transposed", [
    ((3, 500), 3, False), ((500, 3), 3, True), ((1, 500), 1, False), ((500, 1), 1, True), ((500,), 1, False),
    ((3, 2), 3, False), ((2, 3), 3, True), ((3, 4), 3, False), ((4, 3), 3, True),
])
def test_arrays_are_taken_either_way_round_when_their_shape_says_which(shape, channels, transposed):
    values = np.arange(np.prod(shape), dtype=np.float64).reshape(shape)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        got, was_transposed = analysis.channels_first(values)
    assert was_transposed == transposed and got.shape[0] == channels and got.dtype == np.float64
    np.testing.assert_array_equal(got, values.T if transposed else values.reshape(channels, -1))


@pytest.mark.parametrize("shape", [(3, 3), (1, 3), (3, 1), (1, 1)])
def test_an_array_that_reads_either_way_is_taken_by_rows_with_a_warning_that_says_so(shape):
    values = np.ones(shape)
    with pytest.warns(UserWarning, match=rf"voltages: shape \({shape[0]}, {shape[1]}\) reads either way; took the "
                                         rf"rows as channels \({shape[0]} channels of {shape[1]} samples\); pass "
                                         r"voltages.T to take the columns"):
        got, transposed = analysis.channels_first(values)
    assert got.shape == shape and not transposed


# The currents must match the voltages (three of 6400 samples, here given as columns) either way round.
@pytest.mark.parametrize("voltages, currents, message", [
    (np.ones((2, 500)), None, r"voltages: shape \(2, 500\): give 1 or 3 channel\(s\), as \(channels, samples\) "
                              r"or \(samples, channels\)"),
    (np.ones((500, 4)), None, r"voltages: shape \(500, 4\): give 1 or 3"),
    (np.ones((3, 500, 1)), None, r"voltages: shape \(3, 500, 1\): give samples as \(n,\), \(channels, n\) or"),
    (np.float64(1.0), None, r"voltages: shape \(\): give samples"),
    ([["a", "b", "c"]], None, r"voltages: not an array of numbers \(could not convert string to float: 'a'\)"),
    (None, np.ones((2, 6400)), r"currents: shape \(2, 6400\): give 3 channel\(s\) of 6400 samples"),
    (None, np.ones((3, 6000)), r"currents: shape \(3, 6000\): give 3 channel\(s\) of 6400 samples"),
    (None, np.ones(6400), r"currents: one channel of 6400 samples; give 3 channel\(s\) of 6400 samples"),
])
def test_arrays_that_fit_no_reading_are_refused_naming_the_shape(voltages, currents, message):
    with pytest.raises(ValueError, match=message):
        if currents is None:
            analysis.channels_first(voltages)
        else:
            pq.analyze(voltages=three_phase(FS, 1.0).T, currents=currents, sample_rate=FS)


def _results(a):
    """Every table field by field (not byte by byte: records have padding between fields), and the windows'
    arrays."""
    return [{name: analysis.flatten(table) for name, table in a.tables().items()}, a.harmonics, a.declared_voltage]


def test_an_n_by_3_array_analyses_exactly_as_its_transpose():
    u = three_phase(FS, 2.0)
    u[1, int(0.8 * FS):int(1.0 * FS)] *= 0.5  # a dip on B: events, flags and phases in the right order
    i = three_phase(FS, 2.0, rms=10.0, angle=-0.5)
    i[2] *= 2.0
    rows = pq.analyze(voltages=u, currents=i, sample_rate=FS, declared_voltage=230.0)
    columns = pq.analyze(voltages=np.ascontiguousarray(u.T), currents=i.T, sample_rate=FS, declared_voltage=230.0)
    assert list(rows.events["phases"]) == [2]
    np.testing.assert_equal(_results(columns), _results(rows))
    assert [c.name for c in columns.recording.channels] == ["UA", "UB", "UC", "IA", "IB", "IC"]


def test_a_pandas_frame_of_samples_by_channels_analyses_as_its_array():
    pd = pytest.importorskip("pandas", reason="pandas is not installed (Debian python3-pandas)")
    u = three_phase(FS, 1.0)
    frame = pd.DataFrame(u.T, columns=["UA", "UB", "UC"])
    np.testing.assert_equal(_results(pq.analyze(voltages=frame, sample_rate=FS)),
                            _results(pq.analyze(voltages=u, sample_rate=FS)))


def test_the_private_cluster_keeps_its_old_name_only_as_a_deprecated_alias():
    assert not hasattr(fleet, "LocalCluster") or issubclass(fleet.LocalCluster, fleet.PrivateCluster)
    with pytest.warns(DeprecationWarning, match="LocalCluster is now PrivateCluster"):
        cluster = fleet.LocalCluster(3, folder="somewhere", timeout=5.0)
    assert (cluster.workers, cluster.folder, cluster.timeout, cluster.processes) == (3, "somewhere", 5.0, [])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        fleet.PrivateCluster(1)
