# The structured arrays against the C++ records: every field the compiler
# filled must come back under its own name, and rows copied out of the ring
# must not change when the ring comes round.
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
    for k, name in enumerate(scalars):
        assert r[name] == k + 1.5, name
    v = r["rvcVoltage"]
    assert (bool(v["stateChanged"]), int(v["state"]), bool(v["eventEnded"])) == (True, -1, True)
    assert (v["deltaUss"], v["deltaUmax"], v["duration"], v["time"]) == (18.5, 19.5, 20.5, 21.5)
    l2l = r["rvcLineToLineVoltage"]
    assert (int(l2l["state"]), l2l["deltaUmax"], l2l["time"], bool(l2l["stateChanged"])) == (1, 22.5, 23.5, False)
    s = r["symmetricalComponent"]
    assert s["voltage"] == 24.5 - 24.5j and s["lineToLineVoltage"] == 25.5 - 25.5j and s["current"] == 26.5 - 26.5j
    assert s["voltageMagnitude"] == 27.5 and s["currentUnbalance"] == 28.5
    assert pq.PERIOD_RECORD_DTYPE.itemsize == 384 and pq.RVC_RESULT_DTYPE.itemsize == 40
    assert pq.SYMMETRICAL_COMPONENT_DTYPE.itemsize == 168


def test_general_record_fields_read_back_by_name():
    r = np.frombuffer(pq._core._general_record_probe(), pq.GENERAL_RECORD_DTYPE)[0]
    assert (r["time"], r["frequency"], r["dFrequency"]) == (1.5, 2.5, 3.5)
    assert int(r["firstSampleIndex"]) == 0x123456789
    assert (int(r["length"]), int(r["fftOutputLength"]), int(r["harmonicLength"]), int(r["phasesCount"])) == (5, 6, 7, 3)
    assert r["phases"][2]["rmsVoltage"] == 8.5 and r["phases"][3]["harmonicCurrentContent"] == 9.5
    assert r["phases"][1]["thdVoltage"]["thd"] == 10.5
    assert r["phases"][1]["thdInterLineToLine"]["totalDistortion"] == 11.5
    assert r["symmetricalComponents"][2]["voltage"] == 12.5 + 13.5j
    assert r["symmetricalComponents"][1]["voltageUnbalance"] == 14.5
    assert r["phases"][0]["rmsVoltage"] == 0.0


def _three_phase_module(fs=10000.0, length=10000):
    m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=length,
                  period_values_enabled=True, period_symmetrical_components_enabled=True)
    m.set_sample_rate(fs, 1)
    m.reset(0)
    return m


def test_period_rows_have_item_and_phase_columns_total_first():
    fs = 10000.0
    m = _three_phase_module(fs)
    u = three_phase(fs, 0.1, rms=[100.0, 110.0, 120.0])
    i = u / 10.0
    m.write(np.vstack([u, i]), position=0)
    m.schedule_periods([0], [u.shape[1]], [50.0])
    rows = m.get_period_results()
    assert len(rows) == 5 * 4
    assert list(rows["phase"][:4]) == [-1, 0, 1, 2]
    assert list(rows["item"][::4]) == [0, 1, 2, 3, 4]
    phase_rms = rows["rmsVoltage"].reshape(5, 4)
    np.testing.assert_allclose(phase_rms[:, 1:], [[100, 110, 120]] * 5, rtol=1e-5)
    np.testing.assert_allclose(phase_rms[:, 0], 110.0, rtol=1e-5)
    np.testing.assert_allclose(rows["time"][::4], [0.02, 0.04, 0.06, 0.08, 0.1], rtol=1e-9)
    # The total row carries the zero sequence, phase A's row the positive one.
    pos = rows[1]["symmetricalComponent"]["voltage"]
    assert abs(pos) == pytest.approx(110.0, rel=1e-4)


def test_rows_are_copies_that_survive_the_ring():
    fs = 2000.0
    m = _three_phase_module(fs, length=400)  # a ring of a few items only
    u = three_phase(fs, 0.2)
    m.write(np.vstack([u, u]), position=0)
    m.schedule_periods([0], [400], [50.0])
    first = m.get_period_results()
    kept = first.copy()
    for start in range(400, 4000, 200):
        scale = 1.0 + start / 4000.0
        block = np.roll(three_phase(fs, 0.1), 0) * scale
        m.write(np.vstack([block, block]), position=start)
        m.schedule_periods([start], [200], [50.0])
        later = m.get_period_results()
        assert later["item"][0] == (start // 40)
    np.testing.assert_array_equal(first, kept)
    assert first["item"][-1] == 9


def test_single_phase_rows_have_no_total():
    m = pq.Module(sample_rate=1000.0, buffer_length=1000, period_values_enabled=True)
    m.reset(0)
    u = np.sin(2 * np.pi * 50 * np.arange(200) / 1000.0)
    m.write(np.vstack([u, u]), 0)
    m.schedule_periods([0], [200], [50.0])
    rows = m.get_period_results()
    assert list(rows["phase"]) == [0] * 10 and list(rows["item"]) == list(range(10))
