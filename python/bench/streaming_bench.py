"""Positions per CPU second and peak memory of the command line on long
recordings: generates 10- and 60-minute three-phase star COMTRADE BINARY
recordings with currents at 10240 Hz (frequency wandering around 50 Hz, 3 %
fifth harmonic, a dip, a swell and an interruption every 10 minutes), then
runs ``python3 -m powerquality analyze`` on each in a child process and
prints, in one run, its CPU time (user + system), positions (samples per
channel) per CPU second and peak resident memory.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/streaming_bench.py [DIR] [-- CLI OPTIONS]

DIR (default: a temporary folder, removed afterwards) keeps the recordings
(about 0.74 GB for 60 minutes). Options after ``--`` go to the command line
(e.g. ``--plot x.png`` or ``--detail``); by default it writes the default
tables to a folder beside the recording.
"""

import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np

from powerquality import comtrade

FS = 10240
MINUTES = (10, 60)


def generate(base, minutes, fs=FS):
    """base.cfg and base.dat, written one minute at a time."""
    n = int(minutes * 60 * fs)
    names = ["VA", "VB", "VC", "IA", "IB", "IC"]
    full = {"V": 230 * np.sqrt(2) * 1.6, "I": 50 * np.sqrt(2) * 1.6}
    a = {name: full[name[0]] / 32767 for name in names}
    multiplier = 10  # 60 minutes of microseconds overflow int32
    lines = ["bench station,generator,1999", "6,6A,0D"]
    for k, name in enumerate(names):
        unit = "V" if name[0] == "V" else "A"
        lines.append(f"{k + 1},{name},{name[1]},feeder,{unit},{a[name]!r},0.0,0,-32767,32767,1,1,P")
    lines += ["50", "1", f"{fs},{n}", "01/01/2024,00:00:00.000000", "01/01/2024,00:00:00.000000", "BINARY",
              f"{multiplier}"]
    with open(base + ".cfg", "w", newline="") as f:
        f.write("".join(line + "\r\n" for line in lines))
    record = comtrade._record_dtype("BINARY", 6, 0)
    phase = 0.0
    with open(base + ".dat", "wb") as f:
        for lo in range(0, n, 60 * fs):
            k = np.arange(lo, min(n, lo + 60 * fs))
            t = k / fs
            freq = 50.0 + 0.05 * np.sin(2 * np.pi * t / 37.0)
            theta = phase + 2 * np.pi * np.cumsum(freq) / fs
            phase = theta[-1]
            # Every 10 minutes: a 100 ms dip to 60 % in A at 2:00, a 1 s swell
            # to 115 % at 5:00, a 200 ms interruption of all phases at 8:00.
            s = t % 600.0
            level = np.ones((3, len(t)))
            level[0, (s >= 120.0) & (s < 120.1)] = 0.6
            level[:, (s >= 300.0) & (s < 301.0)] = 1.15
            level[:, (s >= 480.0) & (s < 480.2)] = 0.0
            out = np.zeros(len(k), record)
            out["n"] = (k + 1).astype(np.uint32)
            out["t"] = np.round(k * (1e6 / multiplier) / fs).astype(np.int64)
            for p in range(3):
                shift = p * 2 * np.pi / 3
                u = 230 * np.sqrt(2) * level[p] * (np.sin(theta - shift) + 0.03 * np.sin(5 * (theta - shift)))
                i = 40 * np.sqrt(2) * level[p] * np.sin(theta - shift - 0.4)
                out["a"][:, p] = np.round(u / a[names[p]])
                out["a"][:, 3 + p] = np.round(i / a[names[3 + p]])
            f.write(out.tobytes())
    return base + ".cfg", n


def run(cfg, options):
    """(CPU seconds, peak resident MB, exit status) of the command line on cfg."""
    out = cfg[:-4] + "-tables"
    args = [sys.executable, "-m", "powerquality", "analyze", cfg, "--quiet"]
    args += options if options else ["--out", out]
    child = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    error = child.stderr.read().decode(errors="replace")
    child.stderr.close()
    if status:
        sys.stderr.write(error)
    return usage.ru_utime + usage.ru_stime, usage.ru_maxrss / 1024.0, status


def main():
    argv = sys.argv[1:]
    options = argv[argv.index("--") + 1:] if "--" in argv else []
    argv = argv[:argv.index("--")] if "--" in argv else argv
    folder = argv[0] if argv else tempfile.mkdtemp(prefix="pq-bench-")
    os.makedirs(folder, exist_ok=True)
    try:
        figures = []
        for minutes in MINUTES:
            base = os.path.join(folder, f"bench{minutes}min")
            if os.path.exists(base + ".dat"):
                n = int(open(base + ".cfg").read().splitlines()[10].split(",")[1])
                cfg = base + ".cfg"
            else:
                cfg, n = generate(base, minutes)
            cpu, peak, status = run(cfg, options)
            figures.append((minutes, n, cpu, peak, status))
            print(f"{minutes:3d} min: {n} positions, CPU {cpu:7.2f} s, {n / cpu / 1e6:6.2f} million positions per "
                  f"CPU second, peak memory {peak:7.1f} MB" + (f" (exit status {status})" if status else ""),
                  flush=True)
        (_, _, _, short, _), (_, _, _, long, _) = figures
        print(f"peak memory 60 min / 10 min: {long / short:.3f}")
    finally:
        if not argv:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    main()
