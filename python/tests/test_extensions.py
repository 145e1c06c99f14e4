# Tracker, event detector, aggregator and flicker meter through the binding: layouts, conversions, refusals.
import numpy as np
import pytest

import powerquality as pq

core = pq._core
FS = 6400.0


def test_detector_event_layout_and_refused_input():
    dtype = core.VOLTAGE_EVENT_DTYPE
    assert dtype.itemsize == 40 and [dtype.fields[n][1] for n in dtype.names] == [0, 4, 8, 16, 24, 32]
    d = core.VoltageEventDetector(230.0, 3)
    for refused in (lambda: d.add_rms_values([0.0], [[230.0, 230.0]]),
                    lambda: d.add_rms_values([2.0], [[np.nan, 230.0, 230.0]]),
                    lambda: setattr(d, "dip_threshold", 120.0)):  # above the swell threshold
        with pytest.raises(ValueError):
            refused()


def test_aggregator_rows_and_a_batch_refused_whole():
    a = core.IntervalAggregator(2, clock_offset=-1.0)  # a tick at 1 s
    assert a.clock_offset == 599.0 and a.dtype.itemsize == 48 and a.TEN_MINUTES_PER_TWO_HOURS == 12
    starts = 0.1 + 0.2 * np.arange(21)
    values = np.column_stack([100.0 + np.arange(21), np.ones(21)])
    bad = values.copy()
    bad[20, 0] = np.inf
    with pytest.raises(ValueError, match="window 20: value 0"):
        a.add_windows(starts, starts + 0.2, bad)
    with pytest.raises(ValueError):
        a.add_windows(starts, starts + 0.2, values[:, :1])
    assert a.pending_three_second == 0 and a.pending_ten_minute == 0
    a.add_windows(starts, starts + 0.2, values, flags=np.arange(21) == 7)
    a.flush()
    rows = a.three_second_intervals()
    assert list(rows["windowCount"]) == [15, 15, 1] and list(rows["flagged"]) == [True, True, False]
    assert list(rows["clockInterval"]) == [-1, 0, 0] and list(rows["complete"]) == [True, True, False]
    assert rows["values"].shape == (3, 2) and len(a.three_second_intervals()) == 0
    assert list(a.ten_minute_intervals()["windowCount"]) == [5, 16] and len(a.two_hour_intervals()) == 2


def test_flicker_meter_takes_numpy_and_refuses_nonsense():
    fs = 2000.0
    t = np.arange(int(20 * fs)) / fs
    u = 325 * np.sin(2 * np.pi * 50 * t) * (1 + 0.0025 / 2 * np.sin(2 * np.pi * 8.8 * t))
    meter = pq.FlickerMeter(fs, 50.0, 230.0, clock_offset=590.0)  # a tick 10 s in
    assert np.isnan(meter.instantaneous_maximum())
    meter.add_samples(u[:7])
    meter.add_samples(u[7:])
    assert meter.sample_position == len(u) and meter.first_clock_interval == 0
    pst = meter.short_term_severities()
    assert pst.dtype == np.float64 and len(pst) == 1
    assert len(meter.short_term_severities()) == 0 and len(meter.long_term_severities()) == 0
    for refused in (lambda: pq.FlickerMeter(fs, 50.0, 220.0), lambda: pq.FlickerMeter(500.0, 50.0, 230.0),
                    lambda: pq.FlickerMeter(fs, 16.7, 230.0), lambda: meter.add_samples(np.zeros((2, 3)))):
        with pytest.raises(ValueError):
            refused()


def test_flicker_meters_together_give_their_own_results_from_rows_read_in_place_or_converted():
    fs = 2000.0
    t = np.arange(int(30 * fs)) / fs
    rows = np.stack([325 * np.sin(2 * np.pi * 50 * t - k) * (1 + 0.002 * (k + 1) * np.sin(2 * np.pi * 8.8 * t))
                     for k in range(3)])
    rows[1, 20000:20400] = np.nan
    # float64, float32 rows of a bigger array (the first three of four), a transposed copy's view
    four = np.vstack([rows, rows[:1]]).astype(np.float32)
    for given in (rows, four[:3], np.ascontiguousarray(rows.T).T):
        meters = [pq.FlickerMeter(fs, 50.0, 230.0, clock_offset=590.0) for _ in range(3)]
        solos = [pq.FlickerMeter(fs, 50.0, 230.0, clock_offset=590.0) for _ in range(3)]
        for lo, hi in ((0, 7), (7, 25000), (25000, len(t))):
            core.FlickerMeter.add_samples_together(meters, given[:, lo:hi])
            for solo, row in zip(solos, rows):
                solo.add_samples(row[lo:hi])
            for meter, solo in zip(meters, solos):
                assert np.float64(meter.instantaneous_maximum()).tobytes() == \
                    np.float64(solo.instantaneous_maximum()).tobytes()
        for meter, solo in zip(meters, solos):
            assert meter.sample_position == len(t)
            pst, gaps = meter.short_term_severities(return_gaps=True)
            solo_pst, solo_gaps = solo.short_term_severities(return_gaps=True)
            assert pst.tobytes() == solo_pst.tobytes() and list(gaps) == list(solo_gaps)
    core.FlickerMeter.add_samples_together([], np.zeros((0, 5)))
    for refused in (lambda: core.FlickerMeter.add_samples_together(meters, rows[:2]),
                    lambda: core.FlickerMeter.add_samples_together(meters, rows[0])):
        with pytest.raises(ValueError):
            refused()


def test_flicker_meter_marks_the_intervals_that_hold_missing_samples():
    fs = 2000.0
    t = np.arange(int(611 * fs)) / fs
    u = 325 * np.sin(2 * np.pi * 49.5 * t)
    u[int(300 * fs):int(310 * fs)] = np.nan  # 10 s missing in the second interval
    meter = pq.FlickerMeter(fs, 50.0, 230.0, clock_offset=7190.0)  # a tick 10 s in, and the end of a 2-hour block
    meter.add_samples(u)
    pst, gaps = meter.short_term_severities(return_gaps=True)
    assert gaps.dtype == np.bool_ and list(gaps) == [False, True] and np.all(pst[1:] < 0.05)
    plt, gaps = meter.long_term_severities(return_gaps=True)
    assert len(plt) == 1 and list(gaps) == [False]
    empty = meter.short_term_severities(return_gaps=True)
    assert isinstance(empty, tuple) and len(empty[0]) == 0 and len(empty[1]) == 0
