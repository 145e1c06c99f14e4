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
