# The library's tracker, event detector, aggregator and flicker meter through the binding.
import numpy as np
import pytest

import powerquality as pq

core = pq._core
FS = 6400.0


def test_tracker_segments_join_up_whatever_the_block_lengths():
    f = 49.9
    u = 325 * np.sin(2 * np.pi * f * np.arange(int(12 * FS)) / FS)
    tracker = core.FrequencyTracker(FS, 50.0, 16)
    parts = []
    for start, stop in ((0, 1), (1, 8), (8, 4104), (4104, len(u))):
        tracker.add_samples(u[start:stop])
        parts.append(tracker.get_segments())
    first, lengths, freqs, flags = (np.concatenate([p[k] for p in parts]) for k in range(4))
    np.testing.assert_array_equal(first[1:], first[:-1] + lengths[:-1].astype(np.uint64))
    assert np.all(np.abs(freqs[flags] - f) < 0.01) and tracker.sample_position == len(u) and tracker.locked
    # One interval of ten seconds (not flagged: the tracker locks a few cycles after the first sample).
    (interval,) = tracker.ten_second_frequencies()
    assert interval.dtype.itemsize == 32 and interval["cycleCount"] > 490
    assert interval["frequency"] == pytest.approx(f, abs=0.001)


def test_detector_event_layout_and_refused_input():
    dtype = core.VOLTAGE_EVENT_DTYPE
    assert dtype.itemsize == 40 and [dtype.fields[n][1] for n in dtype.names] == [0, 4, 8, 16, 24, 32]
    d = core.VoltageEventDetector(230.0, 3)
    for refused in (lambda: d.add_rms_values([0.0], [[230.0, 230.0]]),
                    lambda: d.add_rms_values([2.0], [[np.nan, 230.0, 230.0]]),
                    lambda: setattr(d, "dip_threshold", 120.0)):  # above the swell threshold
        with pytest.raises(ValueError):
            refused()


def test_aggregator_rows_flags_mean_and_a_batch_refused_whole():
    a = core.IntervalAggregator(2, clock_offset=-1.0)  # a tick at 1 s
    assert a.clock_offset == 599.0 and a.dtype.itemsize == 48
    a.set_mean(1)
    starts = 0.1 + 0.2 * np.arange(21)
    values = np.column_stack([100.0 + np.arange(21), np.where(np.arange(21) % 2, -1.0, 3.0)])
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
    # The interval over the tick runs on to 15 windows, sharing 5 .. 14 with the one that starts at the tick.
    assert list(rows["windowCount"]) == [15, 15, 1] and list(rows["flagged"]) == [True, True, False]
    assert list(rows["clockInterval"]) == [-1, 0, 0] and list(rows["complete"]) == [True, True, False]
    np.testing.assert_allclose(rows["values"][0], [np.sqrt(np.mean(values[:15, 0] ** 2)), np.mean(values[:15, 1])])
    np.testing.assert_allclose(rows["values"][1], [np.sqrt(np.mean(values[5:20, 0] ** 2)), np.mean(values[5:20, 1])])
    ten = a.ten_minute_intervals()
    assert list(ten["windowCount"]) == [5, 16] and len(a.three_second_intervals()) == 0


def test_aggregator_two_hour_values_from_the_ten_minute_ones():
    # One-minute windows from 100 minutes into a 2-hour block: it holds two 10-minute values, the next twelve.
    agg = core.IntervalAggregator(2, 6000.0)
    starts = 60.0 * np.arange(141)
    agg.add_windows(starts, starts + 60.0, np.column_stack([100.0 + np.arange(141.0), np.ones(141)]))
    ten, two = agg.ten_minute_intervals(), agg.two_hour_intervals()
    assert agg.TEN_MINUTES_PER_TWO_HOURS == 12 and list(two["windowCount"]) == [2, 12]
    assert list(two["clockInterval"]) == [10, 12] and list(two["complete"]) == [False, True]
    expected = [np.sqrt(np.mean(ten["values"][a:b, 0] ** 2)) for a, b in ((0, 2), (2, 14))]
    np.testing.assert_allclose(two["values"][:, 0], expected, rtol=1e-12)


def test_flicker_meter_takes_numpy_and_refuses_nonsense():
    fs = 2000.0
    t = np.arange(int(20 * fs)) / fs
    u = 325 * np.sin(2 * np.pi * 50 * t) * (1 + 0.0025 / 2 * np.sin(2 * np.pi * 8.8 * t))
    meter = pq.FlickerMeter(fs, 50.0, 230.0, clock_offset=590.0)  # a tick 10 s in
    assert np.isnan(meter.instantaneous_maximum())
    meter.add_samples(u[:7])
    meter.add_samples(u[7:])
    assert meter.sample_position == len(u) and meter.first_clock_interval == 0
    assert abs(meter.instantaneous_maximum() - 1.0) < 0.01
    pst = meter.short_term_severities()
    assert pst.dtype == np.float64 and len(pst) == 1 and 0.5 < pst[0] < 0.75
    assert len(meter.short_term_severities()) == 0 and len(meter.long_term_severities()) == 0
    for refused in (lambda: pq.FlickerMeter(fs, 50.0, 220.0), lambda: pq.FlickerMeter(500.0, 50.0, 230.0),
                    lambda: pq.FlickerMeter(fs, 16.7, 230.0), lambda: meter.add_samples(np.zeros((2, 3)))):
        with pytest.raises(ValueError):
            refused()
