"""Positions per CPU-second of the command line (``python3 -m powerquality analyze REC --out DIR``) on the two
recordings that set its pace: three-phase V+I at 10240 Hz and three voltages at 3200 Hz, both written as
COMTRADE BINARY; against a baseline build in the same run.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/cli_speed_bench.py [options]

Options:
  --minutes M          length of each recording (default 5)
  --repeat R           runs of each build on each recording, taken turn by turn (default 3); the best is shown
  --baseline DIR       a PYTHONPATH folder holding another build's ``powerquality`` package, measured beside this one
  --baseline-commit REV --baseline-core FOLDER
                       the same, assembled here: the pure-Python modules of commit REV (``git show``) beside the
                       extension files in FOLDER (e.g. the ``_core*.so`` of that commit's build)
  --keep DIR           write the recordings into DIR and keep them (they are reused when already there)
  --profile            also print where this build's time goes: the CPU time of every stage's and consumer's
                       ``process`` (the module's calls inside _Module shown apart), and the rest (the reader, the
                       blocks' making, the setup)

Each run is a fresh interpreter that imports the package, then runs the command line's ``main`` under
``time.process_time`` (the CPU time of that process: user and system, the import left out), so that other load on
a shared machine does not count. The recordings are synthesised: a supply of 230 V with harmonics, 0.5 % flicker,
a dip, a swell, an RVC and currents of 10 A with harmonics, the frequency wandering round 50 Hz. The figures are
positions (samples of every channel at one instant) per CPU-second and times real time.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from powerquality import comtrade, signals

CASES = (("V+I 10240 Hz", 10240.0, True), ("3 U 3200 Hz", 3200.0, False))

_RUN = """
import sys, time
from powerquality.__main__ import main
t = time.process_time()
status = main(["analyze", sys.argv[1], "--quiet", "--out", sys.argv[2]])
print("CPU", time.process_time() - t, status)
"""

_PROFILE = """
import collections, sys, time
from powerquality import analysis, report
from powerquality.__main__ import main
spent = collections.Counter()


def timed(owner, name, label):
    inner = getattr(owner, name)

    def wrapper(*args, **kwargs):
        t = time.process_time()
        try:
            return inner(*args, **kwargs)
        finally:
            spent[label] += time.process_time() - t

    setattr(owner, name, wrapper)


for module in (analysis, report):
    for value in list(vars(module).values()):
        if isinstance(value, type) and "process" in vars(value):
            timed(value, "process", value.__name__)
for name in ("write", "schedule_periods", "get_period_results", "schedule_for_calculation", "get_results"):
    timed(analysis.Module, name, "  Module." + name)
t = time.process_time()
main(["analyze", sys.argv[1], "--quiet", "--out", sys.argv[2]])
total = time.process_time() - t
stages = sum(v for k, v in spent.items() if not k.startswith(" "))
spent["reader, blocks, setup"] = total - stages
for label, v in sorted(spent.items(), key=lambda kv: -kv[1]):
    print(f"  {label:34s} {v:6.3f} CPU-s {100 * v / total:5.1f} %")
print(f"  {'total':34s} {total:6.3f} CPU-s")
"""


def write_recording(base, seconds, fs, currents):
    """A synthesised supply (see the module's docstring) as COMTRADE BINARY; returns the .cfg path."""
    n = int(round(seconds * fs))
    change = signals.Change
    s = signals.supply(seconds, fs, frequency=[(0.0, 49.98), (seconds / 2, 50.03), (seconds, 49.99)],
                       harmonics={3: 1.0, 5: 3.0, 7: 1.5, 11: 0.8}, flicker={"frequency": 8.8, "dv": 0.5},
                       changes=[change(seconds * 0.3, 60.0, 0.12, "A"), change(seconds * 0.6, 115.0, 0.2, "BC"),
                                change(seconds * 0.8, 94.0, None, "ABC", 0.05)])
    channels = {"V" + p: s.voltages[k] for k, p in enumerate("ABC")}
    phases = {"V" + p: p for p in "ABC"}
    units = {"V" + p: "V" for p in "ABC"}
    if currents:
        t = np.arange(n) / fs
        for k, p in enumerate("ABC"):
            angle = 2 * np.pi * 50.0 * t - k * 2 * np.pi / 3 - 0.4
            channels["I" + p] = 10 * np.sqrt(2) * (np.sin(angle) + 0.2 * np.sin(5 * angle) + 0.1 * np.sin(7 * angle))
            phases["I" + p], units["I" + p] = p, "A"
    return comtrade.write(base, channels, fs, phases=phases, units=units, start="01/01/2024,09:58:00.000000")


def _packages(args, folder):
    builds = [("this", os.environ.get("PYTHONPATH", ""))]
    if args.baseline:
        builds.insert(0, ("baseline", args.baseline))
    elif args.baseline_commit:
        root = os.path.join(folder, "baseline")
        package = os.path.join(root, "powerquality")
        os.makedirs(package)
        # From the top of the checkout: git ls-tree lists relative to the folder it runs in.
        here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
        names = subprocess.run(["git", "ls-tree", "--name-only", f"{args.baseline_commit}:python/powerquality"],
                               cwd=here, check=True, capture_output=True, text=True).stdout.split()
        for name in names:
            if name.endswith(".py"):
                text = subprocess.run(["git", "show", f"{args.baseline_commit}:python/powerquality/{name}"],
                                      cwd=here, check=True, capture_output=True).stdout
                with open(os.path.join(package, name), "wb") as f:
                    f.write(text)
        for name in os.listdir(args.baseline_core):
            shutil.copy(os.path.join(args.baseline_core, name), package)
        builds.insert(0, (f"baseline {args.baseline_commit}", root))
    return builds


def _cpu(path, pythonpath, out):
    run = subprocess.run([sys.executable, "-c", _RUN, path, out], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=pythonpath))
    line = [x for x in run.stdout.splitlines() if x.startswith("CPU ")]
    if run.returncode or not line or line[0].split()[2] != "0":
        raise SystemExit(f"cli_speed_bench: the run with PYTHONPATH={pythonpath} failed:\n{run.stderr[-2000:]}")
    return float(line[0].split()[1])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--minutes", type=float, default=5.0)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--baseline")
    p.add_argument("--baseline-commit")
    p.add_argument("--baseline-core")
    p.add_argument("--keep")
    p.add_argument("--profile", action="store_true")
    args = p.parse_args()
    if bool(args.baseline_commit) != bool(args.baseline_core):
        raise SystemExit("cli_speed_bench: --baseline-commit and --baseline-core go together")
    folder = tempfile.mkdtemp(prefix="cli_speed_")
    try:
        where = args.keep or folder
        os.makedirs(where, exist_ok=True)
        builds = _packages(args, folder)
        seconds = 60.0 * args.minutes
        print(f"{args.minutes:g} min recordings, best of {args.repeat} runs, CPU time of each run's process")
        for name, fs, currents in CASES:
            base = os.path.join(where, f"{'vi' if currents else 'u'}_{int(fs)}_{args.minutes:g}min")
            path = base + ".cfg"
            if not os.path.exists(path):
                write_recording(base, seconds, fs, currents)
            positions = int(round(seconds * fs))
            best = {label: np.inf for label, _ in builds}
            for _ in range(args.repeat):
                for label, pythonpath in builds:  # turn by turn, so that a change in load hits both alike
                    out = tempfile.mkdtemp(dir=folder)
                    best[label] = min(best[label], _cpu(path, pythonpath, out))
            for label, _ in builds:
                t = best[label]
                print(f"{name:14s} {label:24s} {t:7.2f} CPU-s  {positions / t / 1e6:6.2f} M positions/CPU-s  "
                      f"{seconds / t:7.0f}x real time")
            if len(builds) > 1:
                print(f"{name:14s} this / baseline: {best[builds[0][0]] / best['this']:.3f}x")
            if args.profile:
                run = subprocess.run([sys.executable, "-c", _PROFILE, path, tempfile.mkdtemp(dir=folder)],
                                     capture_output=True, text=True)
                print("\n".join(line for line in run.stdout.splitlines() if "CPU-s" in line),
                      run.stderr[-2000:] if run.returncode else "", sep="\n")
    finally:
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
