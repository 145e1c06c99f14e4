"""One long recording serially and in spans on worker processes: positions per second per worker, the speed-up.

    /usr/bin/python3 python/bench/spans_bench.py [--hours 24] [--rate 3200] [--jobs 2] [--keep DIR]

Generates, block by block, a three-phase recording of voltages and currents (COMTRADE BINARY, 16-bit
samples, from 00:00 so its spans lie on whole hours) with a dip, an interruption and a flicker modulation,
then in one run:

- serial: the recording's stream, as the command line's ``analyze`` runs it, in this process: its blocks to
  the summary (``report.Digest``) and to ``spans.Light`` (the events, intervals and flicker, standing in for
  the tables);
- spans: ``spans.analyze_spans(..., jobs=N, light=True)``, the same recording in spans on N processes, as
  ``analyze --jobs N`` runs it, its joined results then to the summary (``spans.blocks``);

and prints for each the wall time, the CPU time (this process and its workers), the positions per CPU-second
(per worker: what one core does, so that a machine with more cores can be judged from it; the spans'
positions include their lead-in and lead-out, their CPU time the worker's whole call), where the spans'
wall time went (the parent before the first span and after the last, the workers' idle time between) and
the speed-up of the wall time. It also checks that the 10-minute values agree. The machine's load average
is printed before and after: on a shared machine the wall-time speed-up reads low when other work takes
the second core. With --keep, a recording already there (of the same length and rate) is used again.

The real figure is --hours 24 at 3200 per second (about 2.8e8 positions, 3.3 GB of samples as 16-bit
records in a temporary folder); the default, 2 hours, is a quick run.
"""

import argparse
import math
import os
import resource
import shutil
import tempfile
import time

import numpy as np

from powerquality import analysis, report, spans

U_SCALE = 230.0 * math.sqrt(2) * 1.5 / 32767
I_SCALE = 50.0 * math.sqrt(2) * 1.5 / 32767


def write(base, hours, fs):
    n = int(round(hours * 3600 * fs))
    if os.path.exists(base + ".dat") and os.path.getsize(base + ".dat") == n * 20 and os.path.exists(base + ".cfg"):
        with open(base + ".cfg") as f:
            if f"{fs!r},{n}\n" in f.read():
                return base + ".cfg", n
    lines = "".join(f"{k + 1},U{c},{c},circuit,V,{U_SCALE!r},0.0,0,-32767,32767,1,1,P\n" for k, c in enumerate("ABC"))
    lines += "".join(f"{k + 4},I{c},{c},circuit,A,{I_SCALE!r},0.0,0,-32767,32767,1,1,P\n" for k, c in enumerate("ABC"))
    with open(base + ".cfg", "w") as f:
        f.write(f"bench,recorder,1999\n6,6A,0D\n{lines}50.0\n1\n{fs!r},{n}\n"
                "01/01/2020,00:00:00.000000\n01/01/2020,00:00:00.000000\nBINARY\n1000\n")
    record = np.dtype([("n", "<u4"), ("t", "<u4"), ("v", "<i2", (6,))])
    block = int(60 * fs)
    with open(base + ".dat", "wb") as f:
        for start in range(0, n, block):
            k = np.arange(start, min(n, start + block))
            t = k / fs
            level = 230.0 * math.sqrt(2) * (1 + 0.0025 * np.sin(2 * np.pi * 8.8 * t))
            hour = np.mod(t, 3600.0)
            level = np.where((hour >= 1799.8) & (hour < 1800.3), 0.6 * level, level)  # a dip every hour
            # An interruption of 30 s across every hour (longer than a span's lead-out: joined).
            level = np.where(((hour >= 3590.0) | (hour < 20.0)) & (t > 20.0), 0.01 * level, level)
            rows = np.zeros(len(k), record)
            rows["n"] = k + 1
            rows["t"] = np.round(k * 1000.0 / fs).astype(np.uint32)
            v = np.empty((len(k), 6))
            for p in range(3):
                w = 2 * np.pi * 50.0 * t - p * 2 * np.pi / 3
                v[:, p] = level * (np.sin(w) + 0.04 * np.sin(5 * w)) / U_SCALE
                v[:, 3 + p] = 40.0 * math.sqrt(2) * (np.sin(w - 0.3) + 0.1 * np.sin(5 * w)) / I_SCALE
            rows["v"] = np.round(v).astype(np.int16)
            rows.tofile(f)
    return base + ".cfg", n


def cpu():
    me, children = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + children.ru_utime + children.ru_stime


def _shares(cpu, jobs):
    """Each process's CPU time when the spans go, in order, to the first process free."""
    ends = [0.0] * max(1, jobs)
    for c in cpu:
        k = ends.index(min(ends))
        ends[k] += c
    return ends


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--hours", type=float, default=2.0)
    p.add_argument("--rate", type=float, default=3200.0)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--span", type=float, default=None, help="span seconds (default: as analyze_spans chooses)")
    p.add_argument("--keep", metavar="DIR", help="write the recording there and keep it")
    args = p.parse_args()
    folder = args.keep or tempfile.mkdtemp(prefix="spans_bench_")
    os.makedirs(folder, exist_ok=True)
    try:
        started = time.perf_counter()
        path, n = write(os.path.join(folder, "bench"), args.hours, args.rate)
        print(f"recording   {args.hours:g} h, 3 voltages and 3 currents at {args.rate:g}/s: {n} positions "
              f"({time.perf_counter() - started:.1f} s to write)")
        print(f"load        {os.getloadavg()[0]:.2f} (1-minute average, {os.cpu_count()} cores)")

        c0, w0 = cpu(), time.perf_counter()
        # As the command line's serial run: the stream's blocks to its summary (and to the tables: here the
        # intervals and events kept).
        stream = analysis.stream(analysis.open_recording(path))
        collector, digest = spans.Light(), report.Digest(stream.ctx)
        for b in stream:
            collector.process(b)
            digest.process(b)
        serial = collector.analysis(stream.ctx)
        digest.lines()
        serial_cpu, serial_wall = cpu() - c0, time.perf_counter() - w0
        print(f"serial      {serial_wall:8.1f} s wall {serial_cpu:8.1f} s CPU  "
              f"{n / serial_cpu / 1e6:6.2f} M positions per CPU-second")

        c0, w0 = cpu(), time.perf_counter()
        split = spans.analyze_spans(path, jobs=args.jobs, span_seconds=args.span, light=True)
        joined = time.perf_counter() - w0
        digest = report.Digest(spans.context(split))
        for b in spans.blocks(split):
            digest.process(b)
        digest.lines()
        split_cpu, split_wall = cpu() - c0, time.perf_counter() - w0
        read = sum(split.span_positions)
        worker = read / sum(split.span_cpu) if split.span_cpu else float("nan")
        print(f"spans       {split_wall:8.1f} s wall {split_cpu:8.1f} s CPU  {split.spans} spans on {args.jobs} "
              f"processes, {read / n:.3f} of the positions read (lead-ins, lead-outs)")
        print(f"per worker  {worker / 1e6:6.2f} M positions per CPU-second (the spans' own CPU time, their set-up "
              f"included): {worker / (n / serial_cpu):.3f} of the serial run's")
        print(f"span CPU    {', '.join(f'{c:.1f}' for c in split.span_cpu)} s; the serial CPU time over the largest "
              f"share of a process (spans dealt in turn): {serial_cpu / max(_shares(split.span_cpu, args.jobs)):.2f}x "
              "(the speed-up with the cores free and nothing shared)")
        if split.span_wall:
            first = min(a for a, _ in split.span_wall)
            last = max(b for _, b in split.span_wall)
            busy = sum(b - a for a, b in split.span_wall)
            order = ", ".join(f"{a:.1f}-{b:.1f}" for a, b in split.span_wall)
            print(f"timeline    parent {first:.2f} s before the first span; spans {order} s; "
                  f"{min(args.jobs, split.spans) * (last - first) - busy:.1f} worker-seconds idle between the "
                  f"first start and the last end; parent {joined - last:.2f} s joining, "
                  f"{split_wall - joined:.2f} s summarising")
        print(f"speed-up    {serial_wall / split_wall:.2f}x wall ({args.jobs} processes), "
              f"{serial_cpu / split_cpu:.2f} of the serial CPU time per CPU-second")
        print(f"load        {os.getloadavg()[0]:.2f} (1-minute average)")
        ten_s, ten_p = serial.aggregated["10min"], split.aggregated["10min"]
        same = len(ten_s) == len(ten_p) and all(
            np.allclose(ten_p[name], ten_s[name], rtol=1e-9, equal_nan=True)
            for name in ten_s.dtype.names if ten_s[name].dtype.kind == "f")
        print(f"check       10-minute values {'agree' if same else 'DIFFER'} ({len(ten_s)} rows), "
              f"events {len(serial.events)} / {len(split.events)}")
    finally:
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
