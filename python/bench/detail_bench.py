"""Size and CPU time of writing detail.h5 with and without compression.

Analyses a recording once (the shared 60 Hz dip recording by default, or
the COMTRADE/CSV file given, or with ``--minutes M`` a synthesised
three-phase star recording with currents at 6400 Hz), keeps its blocks,
then writes detail.h5 from them with each setting in turn, interleaved,
REPEAT times, and prints per setting the file's size and the median CPU
time (user + system, ``time.process_time``) of the writing: building the
rows, h5py and the filters, closing the file.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/detail_bench.py [RECORDING | --minutes M] [--repeat N]
"""

import argparse
import os
import tempfile
import time

import numpy as np

from powerquality import analysis, report

SHARED = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data", "comtrade", "test2.cfg")
SETTINGS = {
    "none": {},
    "lzf": {"compression": "lzf"},
    "lzf+shuffle": {"compression": "lzf", "shuffle": True},
    "gzip1+shuffle": {"compression": "gzip", "compression_opts": 1, "shuffle": True},
    "gzip4+shuffle": {"compression": "gzip", "compression_opts": 4, "shuffle": True},
    "gzip1": {"compression": "gzip", "compression_opts": 1},
}


def synthesised(minutes, fs=6400.0):
    n = int(minutes * 60 * fs)
    t = np.arange(n) / fs
    rng = np.random.default_rng(1)
    u = [230 * np.sqrt(2) * (np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3)
                             + 0.03 * np.sin(5 * 2 * np.pi * 50 * t - k * 2 * np.pi / 3)) + rng.normal(0, 0.5, n)
         for k in range(3)]
    i = [20 * np.sqrt(2) * np.sin(2 * np.pi * 50 * t - k * 2 * np.pi / 3 - 0.3) + rng.normal(0, 0.05, n)
         for k in range(3)]
    return analysis._arrays_recording(u, i, fs, 50.0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("recording", nargs="?", default=os.path.normpath(SHARED))
    parser.add_argument("--minutes", type=float)
    parser.add_argument("--repeat", type=int, default=5)
    args = parser.parse_args()
    recording = synthesised(args.minutes) if args.minutes else analysis.open_recording(args.recording)
    began = time.process_time()
    stream = analysis.stream(recording, block_size=int(8 * recording.sample_rate), arrays=False)
    blocks = list(stream)
    analysed = time.process_time() - began
    ctx = stream.ctx
    print(f"{'arrays' if args.minutes else args.recording}: {len(blocks)} block(s), "
          f"{sum(len(b.period) for b in blocks)} period rows; the analysis itself {analysed:.3f} CPU s")
    times = {name: [] for name in SETTINGS}
    sizes = {}
    with tempfile.TemporaryDirectory() as folder:
        for _ in range(args.repeat):
            for name, setting in SETTINGS.items():
                path = os.path.join(folder, f"{name}.h5")
                began = time.process_time()
                detail = report.Detail(ctx, path, compression=setting)
                for b in blocks:
                    detail.process(b)
                times[name].append(time.process_time() - began)
                sizes[name] = os.path.getsize(path)
    plain = float(np.median(times["none"]))
    print(f"{'setting':<15} {'bytes':>10} {'CPU s':>8} {'vs none':>8}")
    for name in SETTINGS:
        cpu = float(np.median(times[name]))
        print(f"{name:<15} {sizes[name]:>10} {cpu:>8.4f} {100 * (cpu / plain - 1):>+7.1f} %")


if __name__ == "__main__":
    main()
