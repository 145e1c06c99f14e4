"""Recordings per minute of ``analyze_many``: serially, on two local worker
processes (``jobs=2``) and on a local Dask cluster (a dask-scheduler and two
single-threaded dask-worker processes on 127.0.0.1, started before the clock
runs, as a running cluster would be), on the same files.

    PYTHONPATH=build/python /usr/bin/python3 python/bench/many_bench.py [count] [seconds] [repeat]
    PYTHONPATH=build/python /usr/bin/python3 python/bench/many_bench.py --files REC [REC ...]

Without --files it writes `count` (default 4) three-phase star recordings of
`seconds` (default 120) at 6400 Hz with a dip each, as COMTRADE FLOAT32, in
a temporary folder. Wall time, best of `repeat` (default 2) runs per
executor taken turn by turn, since the point is what the other processes
add; on a machine that others share, compare the ratios of one run. The
CPU seconds are those of every process that took part (the cluster's
workers counted whole, their idle chatter included), so that a machine
too busy to give two cores shows as wall time far above CPU time. Also
prints the peak resident memory of the largest cluster worker process (a
fresh process that ran only tasks, unlike the forked local workers).
"""

import os
import resource
import sys
import tempfile
import time

import numpy as np

from powerquality import comtrade, fleet


def write_recordings(folder, count, seconds, fs=6400.0):
    t = np.arange(int(seconds * fs)) / fs
    paths = []
    for k in range(count):
        f = 50.0 + 0.02 * np.sin(2 * np.pi * 0.01 * t + k)
        phase = 2 * np.pi * np.cumsum(f) / fs
        u = np.vstack([230 * np.sqrt(2) * np.sin(phase - p * 2 * np.pi / 3) for p in range(3)])
        dip = int((1 + k) * fs)
        u[k % 3, dip:dip + int(0.1 * fs)] *= 0.6
        paths.append(comtrade.write(os.path.join(folder, f"site{k}"), {"VA": u[0], "VB": u[1], "VC": u[2]}, fs,
                                    file_type="FLOAT32", start="01/01/2020,00:00:00.000000"))
    return paths


def peak_megabytes():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_seconds(who=resource.RUSAGE_SELF):
    r = resource.getrusage(who)
    return r.ru_utime + r.ru_stime


def _cluster_cpu(client):
    return sum(client.run(cpu_seconds).values())


def timed(paths, **how):
    """(wall seconds, CPU seconds of every process that took part, summary) of one run."""
    client = how.get("client")
    cpu = cpu_seconds() + cpu_seconds(resource.RUSAGE_CHILDREN) + (_cluster_cpu(client) if client else 0.0)
    start = time.perf_counter()
    summary = fleet.run(paths, **how)[0]
    elapsed = time.perf_counter() - start
    cpu = cpu_seconds() + cpu_seconds(resource.RUSAGE_CHILDREN) + (_cluster_cpu(client) if client else 0.0) - cpu
    if np.any(summary["status"] != "ok"):
        raise SystemExit(f"a recording failed: {summary['error'][summary['status'] != 'ok'][0]}")
    return elapsed, cpu, summary


def main():
    args = sys.argv[1:]
    with tempfile.TemporaryDirectory(prefix="powerquality-bench-") as folder:
        if args[:1] == ["--files"]:
            paths, repeat = args[1:], 2
            what = f"{len(paths)} given recordings"
        else:
            count = int(args[0]) if len(args) > 0 else 4
            seconds = float(args[1]) if len(args) > 1 else 120.0
            repeat = int(args[2]) if len(args) > 2 else 2
            paths = write_recordings(folder, count, seconds)
            what = f"{count} recordings of {seconds:g} s, three-phase star at 6400 Hz"
        with fleet.PrivateCluster(2, folder=folder) as scheduler_file:
            client = fleet.connect(scheduler_file)
            executors = {"serial": dict(jobs=1), "jobs=2": dict(jobs=2), "cluster": dict(client=client)}
            results = {}
            try:
                # Turn by turn, so that a change of the machine's load hits every executor alike.
                for _ in range(repeat):
                    for name, how in executors.items():
                        run = timed(paths, **how)
                        if name not in results or run[0] < results[name][0]:
                            results[name] = run
                worker_peak = max(client.run(peak_megabytes).values())
            finally:
                client.close()
    print(f"{what}; wall time, best of {repeat}")
    serial = results["serial"][0]
    for name, (seconds_taken, cpu, summary) in results.items():
        same = "same summary" if summary.tobytes() == results["serial"][2].tobytes() else "DIFFERENT summary"
        print(f"{name:<8} {seconds_taken:8.2f} s  {60 * len(paths) / seconds_taken:8.1f} recordings/min  "
              f"x{serial / seconds_taken:4.2f}  {cpu:6.2f} CPU s  {same}")
    print(f"peak resident memory of a cluster worker process: {worker_peak:.0f} MB")


if __name__ == "__main__":
    main()
