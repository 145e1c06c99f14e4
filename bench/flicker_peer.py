#!/usr/bin/python3
"""The flickermeter's throughput beside a straightforward scipy.signal version of the same chain, in one run.

The peer is what a careful numpy user would write: samples fed in blocks
(one second each), every filter a ``sosfilt``/``lfilter`` call that keeps its
state between blocks (``zi``), the squared signal decimated to about 1 kHz
after a Butterworth anti-alias low-pass, then the 1-minute mean, the
0.05 Hz high-pass, the 6th-order Butterworth low-pass, the 230 V lamp's
weighting filter, squaring and the 300 ms smoothing at the decimated rate, and
a numpy classifier (log-spaced histogram, percentiles at the end of each
10-minute interval). Both run on one core over the same signal; the library
is measured by bench/flicker_bench (Google Benchmark, CPU time), the peer by
this script (process time). Both print the largest Pinst of the signal as a
check that they compute the same thing.

    bench/flicker_peer.py [BUILD_DIR]      (default: build)

The machine is shared: run it a few times and compare the ratio, which is
measured in one run, rather than the absolute figures.
"""

import json
import os
import subprocess
import sys
import time

import numpy as np
from scipy import signal

FS = 10240.0
F0 = 50.0
BLOCK = 10240
SECONDS = 60.0
LAMP = (1.74802, 4.05981, 9.15494, 2.27979, 1.22535, 21.9)


def test_signal(seconds):
    t = np.arange(int(seconds * FS)) / FS
    carrier = np.sin(2 * np.pi * F0 * t) + 0.03 * np.sin(2 * np.pi * 5 * F0 * t)
    return (325.0 * carrier * (1.0 + 0.0025 * np.sin(2 * np.pi * 8.8 * t))).astype(np.float32)


class ScipyFlickerMeter:
    """The chain with scipy.signal filters that keep their state between blocks."""

    def __init__(self, fs, f0):
        self.r = max(1, int(fs // 1000))
        fd = fs / self.r
        self.aa = signal.butter(6, 0.4 * fd, fs=fs, output="sos")
        self.aa_zi = np.zeros((self.aa.shape[0], 2))
        self.phase = 0
        w = [2 * np.pi * v for v in LAMP[1:]]
        k, lam, w1, w2, w3, w4 = LAMP[0], *w
        weighting = signal.bilinear_zpk(*signal.tf2zpk(np.polymul([k * w1, 0], [1 / w2, 1]),
                                                       np.polymul([1, 2 * lam, w1 * w1],
                                                                  [1 / (w3 * w4), 1 / w3 + 1 / w4, 1])), fd)
        hp = signal.butter(1, 0.05, "highpass", fs=fd, output="zpk")
        lp = signal.butter(6, 0.7 * f0, fs=fd, output="zpk")
        zeros = np.concatenate([hp[0], lp[0], weighting[0]])
        poles = np.concatenate([hp[1], lp[1], weighting[1]])
        self.band = signal.zpk2sos(zeros, poles, hp[2] * lp[2] * weighting[2])
        self.band_zi = None
        self.mean_b, self.mean_a = [1 - np.exp(-1 / (60 * fd))], [1, -np.exp(-1 / (60 * fd))]
        self.mean_zi = None
        self.smooth_b, self.smooth_a = signal.bilinear([1], [0.3, 1], fd)
        self.smooth_zi = np.zeros(1)
        _, h = signal.sosfreqz(self.band, [8.8], fs=fd)
        _, ripple = signal.freqz(self.smooth_b, self.smooth_a, [17.6], fs=fd)
        self.scale = 2 / ((0.0025 * abs(h[0])) ** 2 * (1 + abs(ripple[0])))
        self.edges = np.logspace(-9, 10, 19 * 256 + 1)
        self.counts = np.zeros(len(self.edges) + 1, np.int64)
        self.pinst_max = 0.0
        self.settle = int(5 * fd)
        self.steps = 0

    def add(self, x):
        x = np.nan_to_num(np.asarray(x, np.float64)) ** 2
        if self.band_zi is None:  # the filters start in the steady state of the first block's mean
            self.aa_zi = signal.sosfilt_zi(self.aa) * np.mean(x)
        y, self.aa_zi = signal.sosfilt(self.aa, x, zi=self.aa_zi)
        d = y[(self.r - 1 - self.phase) % self.r::self.r]
        self.phase = (self.phase + len(x)) % self.r
        if self.band_zi is None:
            self.band_zi = signal.sosfilt_zi(self.band) * 0.0
            self.mean_zi = signal.lfilter_zi(self.mean_b, self.mean_a) * np.mean(d)
        mean, self.mean_zi = signal.lfilter(self.mean_b, self.mean_a, d, zi=self.mean_zi)
        v, self.band_zi = signal.sosfilt(self.band, d - mean, zi=self.band_zi)
        v /= np.where(mean > 0, mean, np.inf)
        p, self.smooth_zi = signal.lfilter(self.smooth_b, self.smooth_a, v * v, zi=self.smooth_zi)
        p *= self.scale
        p = p[max(0, self.settle - self.steps):]
        self.steps += len(d)
        if len(p):
            self.pinst_max = max(self.pinst_max, float(p.max()))
            self.counts += np.bincount(np.searchsorted(self.edges, p), minlength=len(self.counts))

    def pst(self):
        above = np.cumsum(self.counts[::-1])[::-1] / self.counts.sum()
        levels = np.concatenate([[0.0], self.edges])

        def p(percent):
            return levels[np.searchsorted(-above, -percent / 100.0, side="left") - 1]

        smooth = {"1s": (0.7, 1, 1.5), "3s": (2.2, 3, 4), "10s": (6, 8, 10, 13, 17), "50s": (30, 50, 80)}
        s = {k: np.mean([p(v) for v in vs]) for k, vs in smooth.items()}
        return float(np.sqrt(0.0314 * p(0.1) + 0.0525 * s["1s"] + 0.0657 * s["3s"] + 0.28 * s["10s"]
                             + 0.08 * s["50s"]))


def run_peer(x):
    meter = ScipyFlickerMeter(FS, F0)
    started = time.process_time()
    for i in range(0, len(x), BLOCK):
        meter.add(x[i:i + BLOCK])
    pst = meter.pst()
    seconds = time.process_time() - started
    return len(x) / seconds, meter.pinst_max, pst


def run_library(build):
    """The library through Google Benchmark (CPU time), and its Pinst maximum over the same signal via Python."""
    out = subprocess.run([os.path.join(build, "bench", "flicker_bench"), "--benchmark_format=json",
                          "--benchmark_filter=BM_FlickerMeter/10240/10240$", "--benchmark_min_time=2"],
                         check=True, capture_output=True, text=True).stdout
    rate = json.loads(out)["benchmarks"][0]["items_per_second"]
    pinst = None
    try:
        sys.path.insert(0, os.path.join(build, "python"))
        import powerquality

        meter = powerquality.FlickerMeter(FS, F0, 230.0)
        meter.add_samples(test_signal(SECONDS))
        pinst = meter.instantaneous_maximum()
    except (ImportError, AttributeError):
        pass
    return rate, pinst


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else "build"
    x = test_signal(SECONDS)
    peer_rate, peer_pinst, _ = run_peer(x)
    lib_rate, lib_pinst = run_library(build)
    print(f"library flicker_bench   {lib_rate / 1e6:8.1f} M samples/s   Pinst max {lib_pinst:.4f}")
    print(f"scipy.signal peer       {peer_rate / 1e6:8.1f} M samples/s   Pinst max {peer_pinst:.4f}")
    print(f"ratio library / peer    {lib_rate / peer_rate:8.1f}")


if __name__ == "__main__":
    main()
