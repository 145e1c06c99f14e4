import numpy as np
import pytest

import powerquality as pq


def _module(**settings):
    return pq.Module(sample_rate=1000.0, buffer_length=100, period_values_enabled=True, **settings)


def test_settings_by_keyword_and_properties():
    # The rate is applied before the length (which fixes the rings' duration) whatever the keyword order.
    m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, buffer_length=64000, rvc_threshold=3.5,
                  period_values_enabled=True, current_enabled=False, period_count=12, harmonic_subgroups_enabled=True,
                  variable_frequency=(25.0, 75.0), sample_rate=64000.0, sample_index_divisor=16)
    assert (m.phases_count, m.voltages_count, m.currents_count, m.sample_rate, m.sample_index_divisor,
            m.buffer_length, m.rvc_threshold, m.period_count, m.harmonic_subgroups_enabled) == \
        (3, 3, 0, 64000.0, 16, 64000, 3.5, 12, True)
    assert m.grid_config_type == pq.GridConfigType.ThreePhaseStar and m.u_input_ring(2).shape == (64000,)


def test_update_bracket_initialises_once_at_the_end():
    m = _module()
    with m:
        m.rvc_enabled = True
        m.buffer_length = 200
        with m:
            m.rvc_threshold = 4.0
        # Not laid out yet: the length says 200, the storage has 100 floats: no view or write now.
        assert m.buffer_length == 200
        for call in (lambda: m.u_input_ring(0), lambda: m.write(np.zeros((2, 10)), 0)):
            with pytest.raises(RuntimeError, match="inside an update bracket"):
                call()
    assert m.u_input_ring(0).shape == (200,)
    m.begin_update()
    m.end_update()
    assert m.u_input_ring(0).shape == (200,)
    m.end_update()  # unmatched: the module stops initialising, so the rings are refused
    with pytest.raises(RuntimeError):
        m.u_input_ring(0)


def test_write_wraps_round_the_ring_and_views_write_through():
    m = _module()
    block = np.arange(2 * 30, dtype=np.float64).reshape(2, 30)
    m.write(block, position=1090)  # ring index 90: 10 at the end, 20 from index 0
    u, i = m.u_input_ring(0), m.current_ring(0)
    for ring, row in ((u, block[0]), (i, block[1])):
        np.testing.assert_array_equal(np.concatenate([ring[90:], ring[:20]]), row)
    assert u[20] == 0.0 and u[89] == 0.0
    u[50] = 3.25  # a view, not a copy
    assert m.u_input_ring(0)[50] == 3.25
    del m  # the view keeps the module alive
    assert u[50] == 3.25


@pytest.mark.parametrize("call, error, message", [
    (lambda m: m.write(np.zeros((3, 10)), 0), ValueError, "3 channel rows; this configuration takes 2"),
    (lambda m: m.write(np.zeros((2, 101)), 0), ValueError, "does not fit a ring of 100"),
    (lambda m: m.write(np.zeros((2, 2, 2)), 0), ValueError, "1-D block"),
    # Without period values (or windows) there are no rings to write.
    (lambda m: pq.Module(sample_rate=1000.0, buffer_length=100).write(np.zeros((2, 5)), 0), ValueError,
     "channel row 0 has no ring"),
    (lambda m: m.u_input_ring(3), IndexError, "out of range 0..2"),
    (lambda m: _module(current_enabled=False).current_ring(0), ValueError, "has no ring"),
    (lambda m: m.configure(rvc_treshold=1.0), TypeError, "no setting 'rvc_treshold'"),
    (lambda m: m.schedule_periods([0], [0], [50.0]), ValueError, "length"),
    (lambda m: m.schedule_periods([0, 10], [10], [50.0]), ValueError, "one length"),
])
def test_calls_that_do_not_fit_are_refused_and_schedule_nothing(call, error, message):
    m = _module()
    m.reset(0)
    with pytest.raises(error, match=message):
        call(m)
    assert len(m.get_period_results()) == 0


def test_ring_views_hold_back_every_setting_that_could_move_the_rings():
    # As a bytearray with exports refuses to resize: no re-initialising setting while a ring view lives.
    m = _module()
    part = m.u_input_ring(0)[10:20]  # a view of the view keeps the export alive
    with pytest.raises(BufferError, match="buffer_length cannot change while 1 ring view"):
        with m:
            m.buffer_length = 1 << 20
    for setting, value in (("rvc_threshold", 3.0), ("period_values_enabled", False), ("sample_rate", 2000.0)):
        with pytest.raises(BufferError, match=setting):
            setattr(m, setting, value)
    with pytest.raises(BufferError):
        m.set_static_frequency(60.0, 0.1)
    assert (m.buffer_length, m.sample_rate, m.period_values_enabled) == (100, 1000.0, True)
    part[0] = 2.5
    assert m.u_input_ring(0)[10] == 2.5
    m.half_period_values_count = 4  # read at the next reset: the rings stay where they are
    del part
    m.buffer_length = 200
    assert m.u_input_ring(0).shape == (200,)
