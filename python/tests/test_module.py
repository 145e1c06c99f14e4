import numpy as np
import pytest

import powerquality as pq


def test_settings_by_keyword_and_properties():
    m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, sample_rate=6400.0, buffer_length=3200,
                  rvc_threshold=3.5, period_values_enabled=True, current_enabled=False, period_count=12)
    assert (m.phases_count, m.voltages_count, m.currents_count) == (3, 3, 0)
    assert (m.sample_rate, m.buffer_length, m.rvc_threshold, m.period_count) == (6400.0, 3200, 3.5, 12)
    # The rate is applied before the length whatever the keyword order (the
    # length fixes the rings' duration with the rate it finds).
    late = pq.Module(buffer_length=64000, variable_frequency=(25.0, 75.0), period_values_enabled=True,
                     sample_rate=64000.0, sample_index_divisor=16)
    assert (late.sample_rate, late.sample_index_divisor) == (64000.0, 16)
    assert m.grid_config_type == pq.GridConfigType.ThreePhaseStar
    assert m.u_input_ring(2).shape == (3200,)
    with pytest.raises(ValueError, match="has no ring"):
        m.current_ring(0)
    with pytest.raises(IndexError):
        m.u_input_ring(3)
    with pytest.raises(TypeError, match="no setting 'rvc_treshold'"):
        m.configure(rvc_treshold=1.0)


def test_update_bracket_initialises_once_at_the_end():
    m = pq.Module(sample_rate=1000.0, buffer_length=100, period_values_enabled=True)
    with m:
        m.rvc_enabled = True
        m.buffer_length = 200
        with m:
            m.rvc_threshold = 4.0
        # Not laid out yet: the buffer length already says 200, the storage
        # still has 100 floats, so no view or write may be made now.
        assert m.buffer_length == 200
        with pytest.raises(RuntimeError, match="inside an update bracket"):
            m.u_input_ring(0)
        with pytest.raises(RuntimeError, match="inside an update bracket"):
            m.write(np.zeros((2, 10)), 0)
    assert m.u_input_ring(0).shape == (200,)
    m.begin_update()
    m.end_update()
    m.end_update()  # unmatched: the module stops initialising, so the rings are refused
    with pytest.raises(RuntimeError):
        m.u_input_ring(0)


def test_write_wraps_round_the_ring_and_views_write_through():
    m = pq.Module(sample_rate=1000.0, buffer_length=100, period_values_enabled=True)
    block = np.arange(2 * 30, dtype=np.float64).reshape(2, 30)
    m.write(block, position=1090)  # ring index 90: 10 at the end, 20 from index 0
    u, i = m.u_input_ring(0), m.current_ring(0)
    np.testing.assert_array_equal(u[90:], block[0, :10])
    np.testing.assert_array_equal(u[:20], block[0, 10:])
    np.testing.assert_array_equal(i[90:], block[1, :10])
    np.testing.assert_array_equal(i[:20], block[1, 10:])
    assert u[20] == 0.0 and u[89] == 0.0
    u[50] = 3.25  # a view, not a copy
    assert m.u_input_ring(0)[50] == 3.25
    # Without period values (or windows) there are no rings to write.
    with pytest.raises(ValueError, match="channel row 0 has no ring"):
        pq.Module(sample_rate=1000.0, buffer_length=100).write(np.zeros((2, 5)), 0)
    # A view keeps the module alive.
    del m
    assert u[50] == 3.25


@pytest.mark.parametrize("samples, message", [
    (np.zeros((3, 10)), "3 channel rows; this configuration takes 2"),
    (np.zeros((2, 101)), "does not fit a ring of 100"),
    (np.zeros((2, 2, 2)), "1-D block"),
])
def test_write_rejects_blocks_that_do_not_fit(samples, message):
    m = pq.Module(sample_rate=1000.0, buffer_length=100, period_values_enabled=True)
    with pytest.raises(ValueError, match=message):
        m.write(samples, position=0)


def test_library_errors_become_exceptions_with_its_message():
    m = pq.Module(sample_rate=1000.0, buffer_length=100, period_values_enabled=True)
    m.reset(0)
    with pytest.raises(ValueError, match="length"):
        m.schedule_periods([0], [0], [50.0])
    with pytest.raises(ValueError, match="one length"):
        m.schedule_periods([0, 10], [10], [50.0])
    with pytest.raises(ValueError):
        m.schedule_periods([0], [10], [float("nan")])
    assert issubclass(pq.GpuError, RuntimeError) and issubclass(pq.TooManyResultsError, RuntimeError)
    # Nothing was scheduled by the failed calls.
    assert len(m.get_period_results()) == 0


def test_windowed_results_come_back_as_records():
    m = pq.Module(sample_rate=1000.0, buffer_length=1000)
    m.reset(0)
    records = m.get_results()
    assert records.dtype == pq.GENERAL_RECORD_DTYPE
    records, arrays = m.get_results(arrays=True)
    assert arrays["harmonicsVoltage"].shape[:2] == (len(records), 4)
