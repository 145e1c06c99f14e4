"""Resident memory over a long recording: of ``analysis.stream`` and of the command line, sampled every hour.

Generates a three-phase star recording of voltages block by block as the
pipeline asks for it (nothing on disk, nothing held whole): 230 V, the
frequency wandering around 50 Hz, 3 % fifth harmonic, and every 10 minutes
a 100 ms dip to 60 % in A, a 1 s swell to 115 %, a 30 s step to 94 % (two
rapid voltage changes) and a 200 ms interruption of all phases, so that
events, RVCs and every interval table grow as they would in a real week.
Then runs, each in a child process of its own:

  stream  ``analysis.stream`` with every block dropped at once;
  cli     ``python3 -m powerquality analyze`` (its ``main``, in the child) with
          ``--out``, ``--report`` and ``--assessment`` (``--plot`` and
          ``--detail`` too when matplotlib and h5py are installed), the
          recording handed to it by its opener;
  analyze ``analysis.analyze``, which returns every table: it may grow by
          their size only, which it prints (at 3200 Hz the period values
          alone take some 580 MB an hour: give it minutes, e.g.
          ``--hours 0.5 --every 5 --modes analyze``);

and prints the resident memory (VmRSS) after every simulated hour (or
``--every`` minutes) and the growth after the first sample (hour 1: the
figure that must stay within 50 MB).

    PYTHONPATH=build/python /usr/bin/python3 python/bench/memory_bench.py [--hours 24] [--rate 3200]
        [--modes stream,cli] [--every 60] [--trace N]

``--trace N`` (in one mode) also compares tracemalloc snapshots taken at
hour 1 and at the last whole hour and prints the N places whose live memory grew most
(slow: about twice the run time).
"""

import argparse
import contextlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import tracemalloc

import numpy as np

from powerquality import analysis
from powerquality.recording import Channel, Recording

HOUR = 3600.0


def rss_mb():
    """Resident memory of this process, MB (VmRSS)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def synthetic(hours, fs, on_hour=None, every=HOUR):
    """A Recording of `hours` of three phase voltages at fs, generated block by block; on_hour(h) is called
    once the reader has handed out the samples up to h hours (every `every` seconds)."""
    n = int(round(hours * HOUR * fs))
    channels = [Channel(f"V{p}", None, "V", "voltage", p, "feeder") for p in "ABC"]

    def reader(size, indices, dtype=np.float32):
        phase, done = 0.0, 0
        for lo in range(0, n, size):
            k = np.arange(lo, min(n, lo + size))
            t = k / fs
            freq = 50.0 + 0.05 * np.sin(2 * np.pi * t / 37.0)
            theta = phase + 2 * np.pi * np.cumsum(freq) / fs
            phase = float(theta[-1])
            s = t % 600.0
            level = np.ones((3, len(t)))
            level[0, (s >= 120.0) & (s < 120.1)] = 0.6
            level[:, (s >= 300.0) & (s < 301.0)] = 1.15
            level[:, (s >= 360.0) & (s < 390.0)] = 0.94
            level[:, (s >= 480.0) & (s < 480.2)] = 0.0
            out = np.empty((len(indices), len(k)), dtype)
            for row, p in enumerate(indices):
                shift = p * 2 * np.pi / 3
                out[row] = 230 * np.sqrt(2) * level[p] * (np.sin(theta - shift) + 0.03 * np.sin(5 * (theta - shift)))
            yield out
            while on_hour is not None and (done + 1) * every * fs <= lo + len(k):
                done += 1
                on_hour(done * every / HOUR)

    return Recording(channels, float(fs), 50.0, "01/01/2024,00:00:00.000000", "generated", reader=reader, length=n)


class Sampler:
    """RSS after every hour; with `trace` the tracemalloc snapshot of hour 1 and the end compared."""

    def __init__(self, trace=0, first=1.0, last=0.0):
        self.trace, self.first, self.last, self.started = trace, first, last, time.monotonic()
        self.samples, self.snapshots = [], []

    def __call__(self, hour):
        self.samples.append((hour, rss_mb(), time.monotonic() - self.started))
        if self.trace and hour in (self.first, self.last) and len(self.snapshots) < 2:
            if not tracemalloc.is_tracing():
                tracemalloc.start(8)
            self.snapshots.append(tracemalloc.take_snapshot())

    def growth(self):
        """The places whose live memory grew most between hour 1 and the last whole hour (before the outputs
        are written at the end)."""
        if len(self.snapshots) < 2:
            return []
        first, last = self.snapshots
        return [str(stat) for stat in last.compare_to(first, "lineno")[:self.trace]]


def child(mode, hours, fs, every, trace, options):
    step = every * 60.0
    sampler = Sampler(trace, step / HOUR, (hours * HOUR // step) * step / HOUR)
    recording = synthetic(hours, fs, sampler, step)
    tables = None
    sampler(0.0)  # before the run: the interpreter, numpy and the package
    if mode == "stream":
        for _ in analysis.stream(recording, block_size=int(8 * fs)):
            pass
    elif mode == "cli":
        from powerquality import __main__ as cli

        folder = tempfile.mkdtemp(prefix="pq-memory-")
        args = ["analyze", "generated.cfg", "--quiet", "--out", os.path.join(folder, "tables"),
                "--report", os.path.join(folder, "report.html"), "--assessment", os.path.join(folder, "a.json")]
        for module, extra in (("matplotlib", ["--plot", os.path.join(folder, "p.png")]), ("h5py", ["--detail"])):
            with contextlib.suppress(ImportError):
                __import__(module)
                args += extra
        cli.analysis.open_recording = lambda path, sample_rate=None, nominal_frequency=None: recording
        try:
            with open(os.devnull, "w") as quiet, contextlib.redirect_stdout(quiet):
                status = cli.main(args + options)
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        if status:
            raise SystemExit(f"the command line ended with status {status}")
    elif mode == "analyze":
        a = analysis.analyze(recording, block_size=int(8 * fs))
        arrays = list(a.tables().values()) + list((a.harmonics or {}).values()) + \
            [a.window_flags, a.window_gaps, a.crossings, a.ten_second]
        tables = sum(x.nbytes for x in arrays) / 2 ** 20
    sampler(hours)  # after the end: what the outputs took
    json.dump({"samples": sampler.samples, "growth": sampler.growth(), "tables": tables}, sys.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hours", type=float, default=24.0)
    parser.add_argument("--rate", type=float, default=3200.0)
    parser.add_argument("--modes", default="stream,cli")
    parser.add_argument("--every", type=float, default=60.0, metavar="MINUTES")
    parser.add_argument("--trace", type=int, default=0, metavar="N")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args, options = parser.parse_known_args()
    if args.child:
        return child(args.child, args.hours, args.rate, args.every, args.trace, options)
    print(f"{args.hours:g} h of three voltages at {args.rate:g} Hz, generated as read; VmRSS in MB", flush=True)
    for mode in args.modes.split(","):
        started = time.monotonic()
        run = subprocess.run([sys.executable, __file__, "--child", mode, "--hours", str(args.hours), "--rate",
                              str(args.rate), "--every", str(args.every), "--trace", str(args.trace)] + options,
                             stdout=subprocess.PIPE,
                             text=True)
        if run.returncode:
            print(f"{mode}: failed (exit status {run.returncode})")
            continue
        result = json.loads(run.stdout)
        samples = result["samples"]
        print(f"{mode}: {time.monotonic() - started:.0f} s")
        print("  hour  " + " ".join(f"{h:6.4g}" for h, _, _ in samples[:-1]) + "    end")
        print("  RSS   " + " ".join(f"{r:6.1f}" for _, r, _ in samples))
        start, samples = samples[0][1], samples[1:]
        if len(samples) > 2:
            (first, one, _), (last, before, _) = samples[0], samples[-2]
            after = [r for _, r, _ in samples]
            print(f"  after hour {first:.4g}: largest {max(after) - one:+.1f} MB, at the end {after[-1] - one:+.1f} MB "
                  f"({(before - one) / max(last - first, 1e-9):+.2f} MB per hour up to hour {last:.4g})")
        if result["tables"] is not None:
            print(f"  the tables returned: {result['tables']:.1f} MB; RSS at the end {samples[-1][1] - start:+.1f} MB "
                  "from before the run")
        for line in result["growth"]:
            print("  grew: " + line)


if __name__ == "__main__":
    main()
