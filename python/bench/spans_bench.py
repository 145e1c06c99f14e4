"""One long recording serially and in spans on worker processes: the command line's speed-up, positions per
second per worker, and where the two-process run's wall time goes.

    /usr/bin/python3 python/bench/spans_bench.py [--hours 24] [--rate 3200] [--jobs 2] [--repeat 3] [--keep DIR]
    /usr/bin/python3 python/bench/spans_bench.py --api [--hours 24] ...

Generates, block by block, a three-phase recording of voltages and currents (COMTRADE BINARY, 16-bit
samples, 20 bytes a position: 5.5 GB a day at 3200 Hz, from 00:00 so its spans lie on whole hours) with a
dip every hour, an interruption of 30 s across every hour and a flicker modulation, then in one run:

- the command line (the default): ``python3 -m powerquality analyze REC --out DIR`` (serial) and the same with
  ``--jobs N``, each in a fresh interpreter, taken in turn (serial, spans, spans, serial, serial, ... : ABBA,
  so that a drift of the machine's speed hits both alike; its speed scatters some 15 % from one run to the
  next), ``--repeat`` runs of each. Every run is printed, then the medians: the single-core figures (positions
  per CPU-second of the serial run, times real time), the wall speed-up (the median of each pair's, and the
  ratio of the medians), the CPU time of each (the spans' run: the parent's and each worker's), and the
  positions per second per worker (per CPU-second of the worker, and per wall-second of the run over N), so
  that a machine with more cores can be judged from it; and the speed-up the CPU times allow on free cores
  (the serial CPU time over the critical path's: the parent's, which waits while the spans run, and the
  largest span's), which a shared machine's load disturbs less than the wall times. The two-process run's
  timeline (seconds from the launch): the interpreter's start and imports, the parent's work before the
  first span (opening the recording, the head's choices, the plan, the fork), each span's lead-in, its own
  positions and its end, the idle time of a worker whose span ended first, the parent's join, tables and
  summary after the last span, the interpreter's exit. The runs take the command line's ``main`` through a small driver that marks
  these times (it wraps ``spans.Joined``'s iteration and its parts as they come, ``spans.run_span`` and the
  span's collector's ``process``, nothing else: a time stamp per block);
  the CPU time of a run is that of its process and the workers it waited for (``os.wait4``). The tables of
  the first pair are compared file by file.
- ``--api``: the Python stream, as the command line's ``analyze`` runs it but with the stream's defaults
  (about twice the command line's work a position), in this process: its blocks to the summary
  (``report.Digest``) and to ``spans.Light``; then ``spans.analyze_spans(..., jobs=N, light=True)``.

``--block-seconds S`` runs the command line with blocks of S seconds of samples (its own are 8 s): for trials
of how the block's size moves the one-core cost and the two cores' slowing each other.

The machine's load (``uptime``) is printed before and after, and the 1-minute load average before each run:
on a shared machine the speed-up reads low when other work takes a core. With --keep, a recording already
there (of the same length and rate) is used again.

The real figure is --hours 24 at 3200 per second (2.76e8 positions); the default, 2 hours, is a quick run.
"""

import argparse
import json
import math
import os
import resource
import shutil
import statistics
import subprocess
import sys
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


def api(args, path, n):
    """The Python stream serially and ``spans.analyze_spans`` (see the module's docstring)."""
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
    ten_s, ten_p = serial.aggregated["10min"], split.aggregated["10min"]
    same = len(ten_s) == len(ten_p) and all(
        np.allclose(ten_p[name], ten_s[name], rtol=1e-9, equal_nan=True)
        for name in ten_s.dtype.names if ten_s[name].dtype.kind == "f")
    print(f"check       10-minute values {'agree' if same else 'DIFFER'} ({len(ten_s)} rows), "
          f"events {len(serial.events)} / {len(split.events)}")


# The command line's main in a fresh interpreter, marking when its parts begin and end (time.time, which the
# workers share): argv[1] the JSON file for the marks, the rest the command line's arguments.
_DRIVER = r"""
import json, os, resource, sys, time
marks = {"start": time.time()}
from powerquality import spans
from powerquality import __main__ as command
from powerquality.__main__ import main
marks["imported"] = time.time()
if os.environ.get("SPANS_BENCH_BLOCK_SECONDS"):
    command.BLOCK_SECONDS = float(os.environ["SPANS_BENCH_BLOCK_SECONDS"])
collectors = []
init, process, run = spans._SpanCollector.__init__, spans._SpanCollector.process, spans.run_span
joined_iter, joined_parts = spans.Joined.__iter__, spans.Joined._joined


def _init(self, *args, **kwargs):
    init(self, *args, **kwargs)
    self.marks = {}
    collectors.append(self)


def _process(self, b):
    if "first_block" not in self.marks:
        self.marks["first_block"] = time.time()
    if "own_start" not in self.marks and b.position >= self.first:
        self.marks["own_start"], self.marks["cpu_own_start"] = time.time(), time.process_time()
    process(self, b)
    self.marks["last_block"] = time.time()


def run_span(job):
    cpu = time.process_time()
    out = run(job)
    out["marks"] = dict(collectors[-1].marks if collectors else {}, returned=time.time(), pid=os.getpid(),
                        cpu_called=cpu)
    return out


def _iter(self):
    # The spans' run as the parent sees it: from the call to the last block handed on.
    marks["spans_called"], marks["cpu_spans_called"] = time.time(), time.process_time()
    try:
        yield from joined_iter(self)
    finally:
        marks["spans_returned"], marks["cpu_spans_returned"] = time.time(), time.process_time()


def _joined(self, parts):
    # Each span's part as the parent receives it (the join and the tables go on while later spans run).
    def seen():
        for p, s in zip(parts, self.spans):
            marks.setdefault("received", time.time())
            marks.setdefault("spans", []).append(
                dict(p.get("marks", {}), wall=list(p["wall"]), cpu=p["cpu"], positions=p["positions"],
                     own=s["stop"] - s["first"], lead=s["first"] - s["lo"]))
            yield p
    return joined_parts(self, seen())


# The workers (forked) find the wrapped run_span by its name in the module.
run_span.__module__, run_span.__qualname__ = "powerquality.spans", "run_span"
spans.run_span, spans.Joined.__iter__, spans.Joined._joined = run_span, _iter, _joined
spans._SpanCollector.__init__, spans._SpanCollector.process = _init, _process
status = main(sys.argv[2:])
marks["main_end"], marks["cpu_main_end"] = time.time(), time.process_time()
me, workers = resource.getrusage(resource.RUSAGE_SELF), resource.getrusage(resource.RUSAGE_CHILDREN)
marks["parent_cpu"] = me.ru_utime + me.ru_stime
marks["workers_cpu"] = workers.ru_utime + workers.ru_stime
with open(sys.argv[1], "w") as f:
    json.dump(marks, f)
sys.exit(status)
"""


def run_cli(path, jobs, folder, label, block_seconds=None):
    """One run of the command line (``jobs`` None: serial): its marks, wall and CPU time (the process's and
    its workers')."""
    out = tempfile.mkdtemp(prefix=label + "_", dir=folder)
    marks_file = os.path.join(folder, label + ".json")
    argv = ["analyze", path, "--out", out] + ([] if jobs is None else ["--jobs", str(jobs)])
    load = os.getloadavg()[0]
    with open(os.path.join(out, "stdout.txt"), "w") as stdout, open(os.path.join(folder, label + ".err"), "w") as err:
        launched = time.time()
        env = dict(os.environ, SPANS_BENCH_BLOCK_SECONDS=str(block_seconds or ""))
        proc = subprocess.Popen([sys.executable, "-c", _DRIVER, marks_file] + argv, stdout=stdout, stderr=err, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        ended = time.time()
        proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode:
        with open(os.path.join(folder, label + ".err")) as f:
            raise SystemExit(f"spans_bench: {' '.join(argv)} ended with status {proc.returncode}:\n{f.read()[-2000:]}")
    with open(marks_file) as f:
        marks = json.load(f)
    marks.update(launched=launched, ended=ended, wall=ended - launched, cpu=usage.ru_utime + usage.ru_stime,
                 sys=usage.ru_stime, load=load, out=out)
    return marks


def _timeline(r, jobs):
    """What the wall time of a run in spans went to, seconds: a dict of named parts, in order."""
    t0, spans_ = r["launched"], r.get("spans", [])
    out = {"start-up": r["imported"] - t0}
    if not spans_:
        return out
    first = min(s["wall"][0] for s in spans_)
    last = max(s["returned"] for s in spans_)
    out["before the spans"] = first - r["imported"]
    out["spans"] = last - first
    out["after the last span"] = r["main_end"] - last
    out["exit"] = r["ended"] - r["main_end"]
    ends = sorted(s["returned"] for s in spans_)
    # Worker-seconds idle between the first span's start and the last span's end, as the spans were dealt.
    busy = sum(s["returned"] - s["wall"][0] for s in spans_)
    out["idle worker-seconds"] = min(jobs, len(spans_)) * (last - first) - busy
    out["first span ended before the last"] = ends[-1] - ends[0]
    return out


def _print_run(k, r, n, jobs):
    t0 = r["launched"]
    what = "serial" if not r.get("spans") else f"--jobs {jobs}"
    print(f"run {k:<2d} {what:8s} {r['wall']:7.1f} s wall {r['cpu']:7.1f} s CPU ({r['sys']:.1f} system) "
          f"{n / r['cpu'] / 1e6:6.2f} M "
          f"positions per CPU-second (load {r['load']:.2f} at its start)")
    if not r.get("spans"):
        return
    t = _timeline(r, jobs)
    after = r["cpu_main_end"] - r["cpu_spans_returned"]
    print(f"         parent {r['parent_cpu']:.1f} s CPU ({r['cpu_spans_called']:.2f} s until the spans, imports "
          f"included, {after:.2f} s after); start-up {t['start-up']:.2f} s, {t['before the spans']:.2f} s "
          "to the first span (open, the head's choices, the plan, the fork)")
    for j, s in enumerate(r["spans"]):
        start, own, end = s["wall"][0] - t0, s.get("own_start", s["wall"][0]) - t0, s["returned"] - t0
        lead_cpu = s.get("cpu_own_start", s["cpu_called"]) - s["cpu_called"]
        print(f"         span {j + 1}: {start:6.2f} .. {end:6.2f} s, lead-in until {own:6.2f} s "
              f"({s['lead'] / (s['own'] or 1) * 100:.1f} % of its positions, {lead_cpu:.2f} s CPU with the set-up); "
              f"{s['cpu']:.1f} s CPU, "
              f"{s['positions'] / s['cpu'] / 1e6:.2f} M positions read per CPU-second, "
              f"{s['own'] / s['cpu'] / 1e6:.2f} M of its own")
    print(f"         {t['first span ended before the last']:.2f} s between the first span's end and the last's, "
          f"{t['idle worker-seconds']:.2f} worker-seconds idle; after the last span's end the parent took "
          f"{r['spans_returned'] - max(s['returned'] for s in r['spans']):.2f} s to join it and write its rows "
          f"(the spans before were joined and written while it ran), {r['main_end'] - r['spans_returned']:.2f} s "
          f"for the rest of the tables and the summary, {t['exit']:.2f} s exit")


def _same_tables(a, b):
    names = sorted(x for x in os.listdir(a) if x.endswith(".csv"))
    same = [x for x in names if open(os.path.join(a, x), "rb").read() == open(os.path.join(b, x), "rb").read()]
    return same, [x for x in names if x not in same]


def cli(args, path, n, folder):
    """The command line serially and with --jobs N, runs taken in turn (see the module's docstring)."""
    order = []
    for k in range(args.repeat):
        order += [None, args.jobs] if k % 2 == 0 else [args.jobs, None]
    runs = {None: [], args.jobs: []}
    for k, jobs in enumerate(order):
        r = run_cli(path, jobs, folder, f"run{k + 1}", args.block_seconds)
        _print_run(k + 1, r, n, args.jobs)
        runs[jobs].append(r)
        if len(runs[None]) == 1 and len(runs[args.jobs]) == 1 and "checked" not in runs:
            same, differ = _same_tables(runs[None][0]["out"], runs[args.jobs][0]["out"])
            runs["checked"] = True
            print(f"check    tables equal byte for byte: {', '.join(same) or 'none'}"
                  + (f"; differing: {', '.join(differ)}" if differ else ""))
        if len(runs[None]) > 1 or len(runs[args.jobs]) > 1:
            shutil.rmtree(r["out"], ignore_errors=True)
    serial, split = runs[None], runs[args.jobs]
    if not all(r.get("spans") for r in split):
        print("note     a run with --jobs did not cut the recording into spans (too short?)")
    med = statistics.median
    seconds = n / args.rate
    s_wall, s_cpu = med(r["wall"] for r in serial), med(r["cpu"] for r in serial)
    p_wall, p_cpu = med(r["wall"] for r in split), med(r["cpu"] for r in split)
    pairs = [s["wall"] / p["wall"] for s, p in zip(serial, split)]
    print(f"medians of {args.repeat} runs each:")
    print(f"one core     {s_wall:7.1f} s wall {s_cpu:7.1f} s CPU: {n / s_cpu / 1e6:.2f} M positions per CPU-second, "
          f"{seconds / s_cpu:.0f}x real time (the command line, serial; CPU {min(r['cpu'] for r in serial):.1f} .. "
          f"{max(r['cpu'] for r in serial):.1f} s, wall {min(r['wall'] for r in serial):.1f} .. "
          f"{max(r['wall'] for r in serial):.1f} s)")
    with_spans = [r for r in split if r.get("spans")]
    if not with_spans:
        return
    worker_cpu = [s["cpu"] for r in with_spans for s in r["spans"]]
    read = [s["positions"] / s["cpu"] for r in with_spans for s in r["spans"]]
    own = [s["own"] / s["cpu"] for r in with_spans for s in r["spans"]]
    print(f"--jobs {args.jobs:<4d} {p_wall:7.1f} s wall {p_cpu:7.1f} s CPU (parent "
          f"{med(r['parent_cpu'] for r in split):.1f} s, workers "
          f"{med(r['workers_cpu'] for r in split):.1f} s; each span {med(worker_cpu):.1f} s), "
          f"{p_cpu / s_cpu:.3f} of the serial CPU time")
    print(f"speed-up     {med(pairs):.2f}x wall (median of the pairs: {', '.join(f'{x:.2f}' for x in pairs)}); "
          f"{s_wall / p_wall:.2f}x the medians")
    print(f"per worker   {med(read) / 1e6:.2f} M positions read per CPU-second ({med(own) / 1e6:.2f} M of its own "
          f"span; the serial run {n / s_cpu / 1e6:.2f} M), {n / p_wall / args.jobs / 1e6:.2f} M positions per "
          f"wall-second per worker (the recording over the run's wall time and {args.jobs})")
    # With the cores free and nothing else running, the wall time of the run in spans is its critical path in
    # CPU time: the parent's (it waits while the spans run) and the largest span's.
    path = [r["parent_cpu"] + max(s["cpu"] for s in r["spans"]) for r in with_spans]
    parent = med(r["parent_cpu"] for r in with_spans)
    after = med(r["cpu_main_end"] - r["cpu_spans_returned"] for r in with_spans)
    largest = med(max(s["cpu"] for s in r["spans"]) for r in with_spans)
    print(f"CPU-bound    {s_cpu / med(path):.2f}x: the serial CPU time over the critical path's (the parent's "
          f"{parent:.2f} s, {after:.2f} s of it after the spans, and the largest span's {largest:.2f} s; "
          f"{s_cpu / 2:.2f} s is half the serial run): the wall speed-up to expect on free cores")
    parts = [_timeline(r, args.jobs) for r in with_spans]
    print("timeline     " + "; ".join(f"{name} {med(t[name] for t in parts):.2f} s" for name in parts[0]))


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--hours", type=float, default=2.0)
    p.add_argument("--rate", type=float, default=3200.0)
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--repeat", type=int, default=3, help="runs of each, serial and in spans, taken in turn")
    p.add_argument("--api", action="store_true", help="the Python stream in this process, not the command line")
    p.add_argument("--span", type=float, default=None, help="--api: span seconds (default: as analyze_spans "
                   "chooses)")
    p.add_argument("--block-seconds", type=float, help="the command line's block length (seconds of samples; "
                   "default its own, 8)")
    p.add_argument("--keep", metavar="DIR", help="write the recording there and keep it")
    args = p.parse_args()
    if args.jobs < 2 or args.repeat < 1:
        raise SystemExit("spans_bench: --jobs 2 or more, --repeat 1 or more")
    folder = args.keep or tempfile.mkdtemp(prefix="spans_bench_")
    os.makedirs(folder, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="spans_bench_runs_")
    try:
        started = time.perf_counter()
        path, n = write(os.path.join(folder, "bench"), args.hours, args.rate)
        print(f"recording   {args.hours:g} h, 3 voltages and 3 currents at {args.rate:g}/s: {n} positions "
              f"({time.perf_counter() - started:.1f} s to write)")
        print(f"load        {_uptime()} ({os.cpu_count()} cores)")
        if args.api:
            api(args, path, n)
        else:
            cli(args, path, n, scratch)
        print(f"load        {_uptime()}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        if not args.keep:
            shutil.rmtree(folder, ignore_errors=True)


def _uptime():
    try:
        return subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "load average %.2f, %.2f, %.2f" % os.getloadavg()


if __name__ == "__main__":
    main()
