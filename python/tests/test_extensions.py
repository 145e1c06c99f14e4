# The library's tracker, event detector and windowed stage through the
# binding.
import numpy as np
import pytest

import powerquality as pq
from conftest import three_phase

core = pq._core
FS = 6400.0


def test_tracker_segments_feed_a_module_in_blocks_of_any_length():
    f = 49.9
    t = np.arange(int(12 * FS)) / FS
    u = 325 * np.sin(2 * np.pi * f * t)
    tracker = core.FrequencyTracker(FS, 50.0, 16)
    parts = []
    for start, stop in ((0, 1), (1, 8), (8, 4104), (4104, len(u))):
        tracker.add_samples(u[start:stop])
        parts.append(tracker.get_segments())
    first, lengths, freqs, flags = (np.concatenate([p[k] for p in parts]) for k in range(4))
    np.testing.assert_array_equal(first[1:], first[:-1] + lengths[:-1].astype(np.uint64))
    assert np.all(np.abs(freqs[flags] - f) < 0.01)
    assert tracker.sample_position == len(u) and tracker.locked
    intervals = tracker.ten_second_frequencies()
    assert intervals.dtype.itemsize == 32 and len(intervals) == 1
    # (Not flagged: the tracker locks a few cycles after the first sample.)
    assert intervals[0]["frequency"] == pytest.approx(f, abs=0.001) and intervals[0]["cycleCount"] > 490
    with pytest.raises(ValueError):
        core.FrequencyTracker(0.0, 50.0)


def test_detector_records_and_its_errors():
    names = core.VOLTAGE_EVENT_DTYPE.names
    offsets = [core.VOLTAGE_EVENT_DTYPE.fields[n][1] for n in names]
    assert core.VOLTAGE_EVENT_DTYPE.itemsize == 40 and offsets == [0, 4, 8, 16, 24, 32]
    d = core.VoltageEventDetector(230.0, 3)
    times = np.arange(100) * 0.01
    rms = np.full((100, 3), 230.0)
    rms[20:30, 2] = 100.0  # phase C down to 43 %
    rms[90:, 0] = 260.0  # a swell still running at the end
    d.add_rms_values(times, rms)
    done = d.get_events()
    assert len(done) == 1 and done[0]["type"] == 1 and done[0]["phases"] == 0b100
    assert done[0]["startTime"] == pytest.approx(0.2) and done[0]["duration"] == pytest.approx(0.1)
    assert done[0]["extremePercent"] == pytest.approx(100 / 2.3)
    running = d.running_events()
    assert len(running) == 1 and running[0]["type"] == 2
    with pytest.raises(ValueError, match="shape"):
        d.add_rms_values(times, rms[:, :2])
    with pytest.raises(ValueError):
        d.add_rms_values([2.0], [[np.nan, 230.0, 230.0]])
    with pytest.raises(ValueError):
        d.dip_threshold = 120.0  # above the swell threshold


def test_windowed_harmonics_and_thd_of_a_distorted_sine():
    m = pq.Module(grid_config_type=pq.GridConfigType.SinglePhaseDefault, sample_rate=FS, buffer_length=int(FS),
                  windowed_results_enabled=True, thd_enabled=True, highest_requested_harmonic=10, period_count=10,
                  current_enabled=False)
    m.reset(0)
    t = np.arange(int(0.2 * FS)) / FS
    u = 230 * np.sqrt(2) * (np.sin(2 * np.pi * 50 * t) + 0.05 * np.sin(2 * np.pi * 250 * t))
    m.write(u, 0)
    m.schedule_for_calculation(0, 10, 50.0)
    records, arrays = m.get_results(arrays=True)
    assert len(records) == 1
    h = arrays["harmonicsVoltage"][0, 0]
    assert h[1] == pytest.approx(230.0, rel=1e-3) and h[5] == pytest.approx(11.5, rel=1e-3)
    assert records[0]["phases"][0]["thdVoltage"]["thd"] == pytest.approx(5.0, abs=0.01)


def test_analyze_reports_thd_per_window():
    t = np.arange(int(2 * FS)) / FS
    u = three_phase(FS, 2.0) + np.vstack([230 * np.sqrt(2) * 0.03 * np.sin(2 * np.pi * 350 * t - k * 2 * np.pi * 7 / 3)
                                          for k in range(3)])
    a = pq.analyze(voltages=u, sample_rate=FS, nominal_frequency=50.0)
    thd = a.windowed["phases"][:, 0]["thdVoltage"]["thd"]
    assert len(thd) >= 8
    np.testing.assert_allclose(thd, 3.0, atol=0.05)
    assert a.harmonics["harmonicsVoltage"].shape[:2] == (len(thd), 4)
