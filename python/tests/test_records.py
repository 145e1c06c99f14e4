# The structured arrays against the C++ records field by field, and rows copied out of the ring as it comes round.
import numpy as np
import pytest

import powerquality as pq
from conftest import three_phase


def test_period_record_fields_read_back_by_name():
    r = np.frombuffer(pq._core._period_record_probe(), pq.PERIOD_RECORD_DTYPE)[0]
    scalars = ["time", "frequency", "rmsVoltage", "rmsCurrent", "rmsLineToLine", "activePower", "nonActivePower",
               "apparentPower", "powerFactor", "fundamentalVoltage", "fundamentalCurrent", "reserved",
               "fundamentalActivePower", "fundamentalReactivePower", "fundamentalReactivePowerSum",
               "fundamentalApparentPower", "fundamentalPhaseAngle"]
    assert [r[name] for name in scalars] == [k + 1.5 for k in range(len(scalars))]
    assert r["rvcVoltage"].tolist() == (True, -1, True, 18.5, 19.5, 20.5, 21.5)
    assert r["rvcLineToLineVoltage"].tolist() == (False, 1, False, 0.0, 22.5, 0.0, 23.5)
    s = r["symmetricalComponent"]
    assert [s[n] for n in ("voltage", "lineToLineVoltage", "current", "voltageMagnitude", "currentUnbalance")] == \
        [24.5 - 24.5j, 25.5 - 25.5j, 26.5 - 26.5j, 27.5, 28.5]
    assert [d.itemsize for d in (pq.PERIOD_RECORD_DTYPE, pq.RVC_RESULT_DTYPE, pq.SYMMETRICAL_COMPONENT_DTYPE)] == \
        [384, 40, 168]


def test_general_record_fields_read_back_by_name():
    r = np.frombuffer(pq._core._general_record_probe(), pq.GENERAL_RECORD_DTYPE)[0]
    assert (r["time"], r["frequency"], r["dFrequency"]) == (1.5, 2.5, 3.5) and int(r["firstSampleIndex"]) == 0x123456789
    assert [int(r[n]) for n in ("length", "fftOutputLength", "harmonicLength", "phasesCount")] == [5, 6, 7, 3]
    p, s = r["phases"], r["symmetricalComponents"]
    assert (p[2]["rmsVoltage"], p[3]["harmonicCurrentContent"], p[1]["thdVoltage"]["thd"],
            p[1]["thdInterLineToLine"]["totalDistortion"], s[2]["voltage"], s[1]["voltageUnbalance"]) == \
        (8.5, 9.5, 10.5, 11.5, 12.5 + 13.5j, 14.5)


def test_period_rows_have_item_and_phase_columns_total_first_and_survive_the_ring():
    m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=1000,  # a ring of five items
                  period_values_enabled=True, period_symmetrical_components_enabled=True)
    m.set_sample_rate(10000.0, 1)
    m.reset(0)
    u = three_phase(10000.0, 0.1, rms=[100.0, 110.0, 120.0])
    m.write(np.vstack([u, u / 10.0]), position=0)  # a whole ring at once
    m.schedule_periods([0], [1000], [50.0])
    kept = (rows := m.get_period_results()).copy()
    assert list(rows["phase"]) == [-1, 0, 1, 2] * 5 and list(rows["item"]) == list(np.repeat(range(5), 4))
    # The total row reads the mean of the phases.
    np.testing.assert_allclose(rows["rmsVoltage"].reshape(5, 4), [[110, 100, 110, 120]] * 5, rtol=1e-5)
    np.testing.assert_allclose(rows["time"][::4], [0.02, 0.04, 0.06, 0.08, 0.1], rtol=1e-9)
    for start in range(1000, 5000, 1000):
        m.write(np.vstack([u, u]) * (1.0 + start / 5000.0), position=start)
        m.schedule_periods([start], [1000], [50.0])
        assert list(m.get_period_results()["item"][::4]) == list(range(start // 200, start // 200 + 5))
    np.testing.assert_array_equal(rows, kept)



def _fetches_across_the_ring_end(buffer_length, dtype=None):
    """Rows of three fetches of one-cycle values from a module whose rings hold `buffer_length` samples: with a
    ring of five items, 4 items that fit, then 3 that run across its end after the first, then 5 after the
    third."""
    m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=buffer_length,
                  period_values_enabled=True)
    m.set_sample_rate(10000.0, 1)
    m.reset(0)
    u = three_phase(10000.0, 0.24, rms=[100.0, 110.0, 120.0])
    u *= 1.0 + np.arange(u.shape[1]) / 2400.0  # every cycle its own values
    fetched = []
    for start, stop in ((0, 800), (800, 1400), (1400, 2400)):
        m.write(np.vstack([u, u / 10.0])[:, start:stop], position=start)
        m.schedule_periods([start], [stop - start], [50.0])
        fetched.append(m.get_period_results(dtype=dtype))
    return fetched


@pytest.mark.parametrize("dtype", [None, "gap"])
def test_a_fetch_across_the_ring_end_holds_both_parts_in_order(dtype):
    """The module hands out a fetch that runs across the end of its results ring in two parts; the rows hold the
    first part, then the second, numbered on, with the values a ring that does not end there gives."""
    dtype = pq.analysis.PERIOD_GAP_DTYPE if dtype else None
    short, long = _fetches_across_the_ring_end(1000, dtype), _fetches_across_the_ring_end(20000, dtype)
    assert [len(rows) for rows in short] == [4 * 4, 4 * 3, 4 * 5]
    for a, b, items in zip(short, long, (range(0, 4), range(4, 7), range(7, 12))):
        assert a.dtype == b.dtype == (dtype or pq.PERIOD_DTYPE)
        assert list(a["phase"]) == [-1, 0, 1, 2] * len(items)
        assert list(a["item"][::4]) == list(items)
        np.testing.assert_array_equal(a["time"], b["time"])
        np.testing.assert_allclose(a["rmsVoltage"], b["rmsVoltage"], rtol=1e-6)
        if dtype is not None:
            size = pq.PERIOD_DTYPE.itemsize
            assert not a.view(np.uint8).reshape(len(a), -1)[:, size:].any()
    # Every cycle its own value: no row stands twice, none is left out.
    rms = np.concatenate([rows["rmsVoltage"][1::4] for rows in short])
    assert len(np.unique(rms)) == 12 and (np.diff(rms) > 0).all()


def test_the_dtype_is_checked_again_unless_it_is_the_same_numpy_dtype():
    """A numpy dtype given at every fetch is checked once; any other, and a description that may have changed
    since (a dict), is checked again."""
    m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=1000, period_values_enabled=True)
    m.set_sample_rate(10000.0, 1)
    m.reset(0)
    u = three_phase(10000.0, 0.02)
    gap = pq.analysis.PERIOD_GAP_DTYPE
    description = {"names": list(gap.names), "formats": [gap.fields[n][0] for n in gap.names],
                   "offsets": [gap.fields[n][1] for n in gap.names], "itemsize": gap.itemsize}
    for _ in range(3):
        m.write(np.vstack([u, u]), position=0)
        assert m.get_period_results(dtype=gap).dtype == gap
        assert m.get_period_results(dtype=description).dtype == gap
    with pytest.raises(ValueError, match="does not extend PERIOD_DTYPE"):
        m.get_period_results(dtype=np.dtype([("time", "f8")]))
    assert m.get_period_results(dtype=gap).dtype == gap
    assert m.get_period_results(dtype=description).dtype == gap
    description["offsets"][1] = 0  # `phase` over `item`
    with pytest.raises(ValueError, match="does not extend PERIOD_DTYPE"):
        m.get_period_results(dtype=description)


def test_period_rows_in_a_dtype_that_extends_the_record():
    """Rows of a longer dtype hold the same bytes and zeros beyond them; one that moves or lacks a field, or is
    shorter, is refused naming it."""
    rows = {}
    for dtype in (None, pq.analysis.PERIOD_GAP_DTYPE):
        m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=1000,
                      period_values_enabled=True, period_values_overlap_in_percent=50)
        m.set_sample_rate(10000.0, 1)
        m.reset(0)
        u = three_phase(10000.0, 0.1, rms=[100.0, 110.0, 120.0])
        m.write(np.vstack([u, u / 10.0]), position=0)
        m.schedule_periods([0], [1000], [50.0])
        rows[dtype] = m.get_period_results(dtype=dtype)
    plain, longer = rows[None], rows[pq.analysis.PERIOD_GAP_DTYPE]
    size = pq.PERIOD_DTYPE.itemsize
    assert len(plain) == len(longer) == 4 * 9 and longer.dtype == pq.analysis.PERIOD_GAP_DTYPE
    assert longer.view(np.uint8).reshape(len(longer), -1)[:, :size].tobytes() == plain.tobytes()
    assert not longer.view(np.uint8).reshape(len(longer), -1)[:, size:].any()
    longer["gap"][1] = True  # the caller's to write
    assert list(longer["gap"][:3]) == [False, True, False]
    fields = {n: pq.PERIOD_DTYPE.fields[n] for n in pq.PERIOD_DTYPE.names}
    moved = dict(fields, time=(np.dtype("f8"), fields["frequency"][1] + 8))
    for bad in (np.dtype([("time", "f8")]), np.dtype({"names": list(moved), "formats": [v[0] for v in moved.values()],
                                                      "offsets": [v[1] for v in moved.values()],
                                                      "itemsize": size + 8}),
                np.dtype({"names": ["item"], "formats": ["i8"], "itemsize": size + 8}), "f8"):
        m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, period_values_enabled=True)
        with pytest.raises(ValueError, match="does not extend PERIOD_DTYPE"):
            m.get_period_results(dtype=bad)

def _dirty_heap(byte):
    """Blocks of 32 bytes to 8 MB filled with `byte` and handed back to the heap, so that what the next
    allocations get holds it (twice: the second round after the first freed its mapped blocks)."""
    import ctypes
    libc = ctypes.CDLL(None)
    libc.malloc.restype, libc.malloc.argtypes = ctypes.c_void_p, [ctypes.c_size_t]
    libc.free.argtypes = [ctypes.c_void_p]
    for _ in range(2):
        blocks = [libc.malloc(32 << k) for k in range(19) for _ in range(4)]
        for k, p in enumerate(blocks):
            ctypes.memset(p, byte, 32 << (k // 4))
        for p in blocks:
            libc.free(p)


def _records_of_one_run(byte):
    """Every table of `analyze` and the rows of each helper class, as bytes, after the heap was filled with
    `byte`: 21 s of three-phase voltages and currents with a 200 ms dip to half after 5 s."""
    _dirty_heap(byte)
    fs = 6400.0
    u = three_phase(fs, 21.0)
    u[:, int(5 * fs):int(5.2 * fs)] *= 0.5
    i = three_phase(fs, 21.0, rms=10.0, angle=-0.3)
    a = pq.analyze(voltages=u, currents=i, sample_rate=fs, signalling_frequencies=[316.67])
    out = {name: table.tobytes() for name, table in a.tables().items()}
    tracker = pq._core.FrequencyTracker(fs, 50.0)
    tracker.add_samples(u[0])
    out["ten_second"] = tracker.ten_second_frequencies().tobytes()
    rms = a.period[a.period["phase"] >= 0]["rmsVoltage"].reshape(-1, 3)
    times = a.period[a.period["phase"] == 0]["time"]
    events = pq._core.VoltageEventDetector(230.0, 3)
    events.add_rms_values(times, rms)
    events.close_running_events()
    rvc = pq._core.RapidVoltageChangeDetector(230.0, 3)
    rvc.add_rms_values(times, rms)
    out["detector_events"] = events.get_events().tobytes()
    out["detector_rvc"] = rvc.get_events().tobytes() + rvc.running_events().tobytes()
    aggregator = pq._core.IntervalAggregator(2)
    starts = np.arange(300) * 2.0
    aggregator.add_windows(starts, starts + 2.0, np.column_stack([230.0 + starts % 7, starts * 0.0 + 5.0]),
                           flags=starts == 34.0)
    aggregator.flush()
    for name in ("three_second_intervals", "ten_minute_intervals", "two_hour_intervals"):
        out["aggregator_" + name] = getattr(aggregator, name)().tobytes()
    for longer in (False, True):  # rows of the record, then of a dtype that extends it
        m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=6400, period_values_enabled=True,
                      rvc_enabled=True, windowed_results_enabled=True, thd_enabled=True)
        m.set_sample_rate(fs, 1)
        m.reset(0)
        m.write(np.vstack([u[:, :6400], i[:, :6400]]), position=0)
        m.schedule_periods([0], [6400], [50.0])
        m.schedule_for_calculation(0, 10, 50.0)
        out[f"module_period_{longer}"] = m.get_period_results(
            dtype=pq.analysis.PERIOD_GAP_DTYPE if longer else None).tobytes()
    out["module_windowed"] = m.get_results().tobytes()
    return out


def test_the_same_data_give_the_same_bytes_whatever_the_heap_held():
    """Byte for byte, the bytes between the fields and the windowed records' unnamed pointer slots included:
    a caller may hash the rows or compare them whole."""
    a, b = _records_of_one_run(0xAA), _records_of_one_run(0x55)
    assert a.keys() == b.keys()
    assert {name for name in a if a[name] != b[name]} == set()
    assert all(len(a[name]) for name in ("windowed", "events", "module_windowed", "ten_second",
                                         "aggregator_three_second_intervals", "detector_events"))
