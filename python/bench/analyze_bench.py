"""Positions per second of the Python path, on a synthesised three-phase star
recording with currents, set up as BM_PeriodThreePhaseFullHalfOverlap of
bench/period_bench.cpp (line-to-line values, RVC and period symmetrical
components on, two half periods with 50 % overlap, 10240 Hz), so that the
"module" figure compares with that benchmark's positions per second. Unlike
it, the Python loop also copies the samples into the rings and feeds one
segment per tracked cycle (divisor 16) instead of one per block.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/analyze_bench.py [seconds] [rate]

Prints four figures (CPU time, best of a few runs):
  module   the binding alone: Module.write + schedule_periods +
           get_period_results over one-second blocks, segments precomputed;
  tracker  the library's FrequencyTracker over the reference voltage, through
           the binding;
  analyze  the whole powerquality.analyze call (tracker, module, events, windows,
           aggregation with the currents' subgroups, flicker);
  voltages the same call on the voltages alone.
"""

import sys
import time

import numpy as np

import powerquality as pq
from powerquality import tracking


def signal(seconds, fs):
    t = np.arange(int(seconds * fs)) / fs
    f = 50.0 + 0.05 * np.sin(2 * np.pi * 0.1 * t)
    phase = 2 * np.pi * np.cumsum(f) / fs
    u = np.vstack([230 * np.sqrt(2) * np.sin(phase - k * 2 * np.pi / 3) for k in range(3)])
    i = np.vstack([10 * np.sqrt(2) * np.sin(phase - k * 2 * np.pi / 3 - 0.5) for k in range(3)])
    return u, i


def best(fn, repeat=3):
    times = []
    for _ in range(repeat):
        # CPU time of this process, as Google Benchmark's figures are, so
        # that other load on the machine does not count.
        start = time.process_time()
        fn()
        times.append(time.process_time() - start)
    return min(times)


def main():
    seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 60.0
    fs = float(sys.argv[2]) if len(sys.argv) > 2 else 10240.0
    u, i = signal(seconds, fs)
    n = u.shape[1]
    rows = np.vstack([u, i]).astype(np.float32)
    first, lengths, freqs, flags, _ = tracking.cycle_segments(u[0], fs, 50.0, 16)
    block = int(fs)
    edges = np.arange(block, n, block, dtype=np.int64) * 16
    sf, sl, sq, sg = tracking.split_at(first, lengths, freqs, flags, edges)
    sb = (sf.astype(np.int64) // 16) // block

    def module_only():
        m = pq.Module(grid_config_type=pq.GridConfigType.ThreePhaseStar, sample_rate=fs,
                      sample_index_divisor=16, buffer_length=2 * block,
                      variable_frequency=(25.0, 75.0), period_values_enabled=True,
                      half_period_values_count=2, period_values_overlap_in_percent=50, rvc_enabled=True,
                      period_symmetrical_components_enabled=True, line_to_line_results_enabled=True)
        m.reset(int(sf[0]) // 16)
        lo = 0
        for b, start in enumerate(range(0, n, block)):
            m.write(rows[:, start:start + block], start)
            hi = int(np.searchsorted(sb, b, side="right"))
            m.schedule_periods(sf[lo:hi], sl[lo:hi], sq[lo:hi], sg[lo:hi])
            lo = hi
            m.get_period_results()

    t_module = best(module_only)
    t_tracker = best(lambda: tracking.cycle_segments(u[0], fs, 50.0, 16))
    t_analyze = best(lambda: pq.analyze(voltages=u, currents=i, sample_rate=fs, nominal_frequency=50.0), 2)
    t_voltages = best(lambda: pq.analyze(voltages=u, sample_rate=fs, nominal_frequency=50.0), 2)
    print(f"{seconds:g} s at {fs:g} Hz: {n} positions, three-phase star with currents, Urms(1/2), RVC")
    for name, t in (("module", t_module), ("tracker", t_tracker), ("analyze", t_analyze), ("voltages", t_voltages)):
        print(f"{name:<8} {t:8.3f} s  {n / t / 1e6:7.2f} million positions/s")


if __name__ == "__main__":
    main()
