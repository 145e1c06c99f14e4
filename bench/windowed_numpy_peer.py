"""The windowed stage next to the same work in numpy, measured in one run.

    /usr/bin/python3 bench/windowed_numpy_peer.py [--bench build/bench/windowed_bench] [--rounds 5] [--seconds 2]

Both sides compute the windows of bench/windowed_bench.cpp's three-phase
cases (a star with currents and line-to-line voltages, THD, inter-harmonics
and symmetrical components, 10 cycles at 10240 Hz), nine channels a window:

  fixed    50 Hz, every window 2048 samples, transformed as it is;
  tracked  every window at its own frequency between 49.8 and 50.2 Hz,
           resampled synchronously onto 2048 or 2160 points by the stage's
           24-tap interpolation (Kaiser-windowed sinc from a table of 256
           fractions, six-point Lagrange at the ends, mean response divided
           out), so both sides do the same arithmetic.

numpy works in float64 on batches of windows (64 fixed windows per call;
tracked windows one by one for the resampling, then batched per length):
the sums, rfft, line powers, groups and inter-harmonic subgroups by
reshaping the line powers into rows of one order, distortion sums, angles, per-harmonic powers and the sequences of
the fundamentals. The C++ figure is the Google Benchmark's items per second
(CPU time, whole windows: scheduleForCalculation and getResults).

Each round runs the C++ benchmark once and then numpy once, so both see the
same load; the script prints every round and the medians, and the ratio of
the medians. The machine may be shared: compare ratios, not absolute rates.
Also printed, for reference: numpy's rfft alone on the fixed windows, and a
tracked numpy variant that transforms each window at its own length without
resampling (not synchronised, so it leaks; cheaper in numpy).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

FS = 10240.0
P = 10
H = 51          # orders 0 .. 50
THD_HIGHEST = 40


def ring(seconds):
    """Nine channels of 50 Hz with 5th and 7th harmonics, as the benchmark fills them."""
    n = int(seconds * FS)
    p = np.arange(n)
    out = np.empty((9, n))
    for k in range(9):
        th = 2 * np.pi * 50.0 * p / FS - 2.0943951023931953 * (k % 3)
        out[k] = 325.0 * (np.sin(th) + 0.05 * np.sin(5 * th) + 0.03 * np.sin(7 * th))
    return out


class Grouping:
    """Index sets of one FFT length: groups and inter-harmonic subgroups by reshaping the line powers."""

    def __init__(self, M):
        self.M = M
        self.lines = M // 2 + 1
        self.padded = (H + 1) * P  # orders 0 .. H, P lines each
        self.centres = np.minimum(np.arange(H) * P, self.lines - 1)
        orders = np.arange(H)
        self.odd = (orders % 2 == 1) & (orders >= 2) & (orders <= THD_HIGHEST)
        self.even = (orders % 2 == 0) & (orders >= 2) & (orders <= THD_HIGHEST)
        self.weights = np.where((orders >= 14) & (orders <= 40), orders, 0).astype(float)

    def rows(self, power):
        """(..., H + 1, P): row h holds lines hP .. hP + P - 1 (0 beyond the spectrum)."""
        shape = power.shape[:-1] + (self.padded,)
        out = np.zeros(shape)
        n = min(self.lines, self.padded)
        out[..., :n] = power[..., :n]
        return out.reshape(power.shape[:-1] + (H + 1, P))

    def groups(self, q):
        half = P // 2
        g = q[..., :H, :half].sum(-1) + 0.5 * q[..., :H, half]
        g[..., 1:] += q[..., :H - 1, half + 1:].sum(-1) + 0.5 * q[..., :H - 1, half]
        g[..., 0] = 0.0
        return g

    def inter(self, q):
        return q[..., :H, 2:P - 1].sum(-1)

    def distortion(self, g, below):
        return np.stack([g[..., self.odd | self.even].sum(-1), g[..., self.odd].sum(-1), g[..., self.even].sum(-1),
                         g @ self.weights, below], -1)


A = np.exp(2j * np.pi / 3 * np.arange(3))


def finish(Z, sums, squares, products, grouping):
    """Everything after the transform, for Z of shape (B, 9, lines) (RMS phasors)."""
    power = Z.real ** 2 + Z.imag ** 2
    spectrum = power.sum(-1)
    rows = grouping.rows(power)
    groups = grouping.groups(rows)
    harmonics = np.sqrt(groups)
    inter = grouping.inter(rows)
    inter_rms = np.sqrt(inter)
    thd = grouping.distortion(groups, groups[..., 14:41].sum(-1))
    thd_inter = grouping.distortion(inter, inter[..., 0])
    centre = Z[..., grouping.centres]
    angles = np.degrees(np.angle(centre[:, :6]))
    u, i = centre[:, 0:3], centre[:, 3:6]
    s = u * np.conj(i)
    per_harmonic = (s.real, s.imag, np.abs(u) * np.abs(i), (angles[:, 0:3] - angles[:, 3:6] + 180.0) % 360.0 - 180.0)
    cross = (Z[:, 0:3] * np.conj(Z[:, 3:6])).sum(-1)
    fundamentals = Z[..., P]
    uv = np.stack([(fundamentals[:, 0:3] * A[(k * np.arange(3)) % 3]).sum(-1) / 3 for k in range(3)], -1)
    iv = np.stack([(fundamentals[:, 3:6] * A[(k * np.arange(3)) % 3]).sum(-1) / 3 for k in range(3)], -1)
    turn = np.exp(-1j * np.angle(fundamentals[:, 0]))[:, None]
    uv, iv = uv * turn, iv * turn
    return (sums, squares, products, spectrum, harmonics, inter_rms, thd, thd_inter, angles, per_harmonic, cross,
            np.abs(uv) ** 2, np.abs(iv) ** 2)


def rms_phasors(spectrum, M):
    Z = spectrum * (np.sqrt(2.0) / M)
    Z[..., 0] /= np.sqrt(2.0)
    if M % 2 == 0:
        Z[..., M // 2] /= np.sqrt(2.0)
    return Z


def time_domain(x):
    return x.sum(-1), (x * x).sum(-1), (x[:, 0:3] * x[:, 3:6]).sum(-1)


def fixed_windows(data, count, batch=64):
    """Windows per second, CPU time, of `count` fixed 2048-sample windows."""
    M = 2048
    grouping = Grouping(M)
    starts = (np.arange(count) * M) % (data.shape[1] - M)
    t0 = time.process_time()
    for b in range(0, count, batch):
        idx = starts[b:b + batch, None] + np.arange(M)[None, :]
        x = data[:, idx].transpose(1, 0, 2)  # (B, 9, M)
        sums, squares, products = time_domain(x)
        Z = rms_phasors(np.fft.rfft(x, axis=-1), M)
        finish(Z, sums, squares, products, grouping)
    return count / (time.process_time() - t0)


def fft_only(data, count, batch=64):
    M = 2048
    starts = (np.arange(count) * M) % (data.shape[1] - M)
    t0 = time.process_time()
    for b in range(0, count, batch):
        idx = starts[b:b + batch, None] + np.arange(M)[None, :]
        np.fft.rfft(data[:, idx], axis=-1)
    return count / (time.process_time() - t0)


class Interpolator:
    """The stage's resampling interpolator (see src/windowed/WindowedCalculation.cpp)."""
    taps, before, phases, points = 24, 11, 256, 512

    def __init__(self):
        beta = 6.0
        q = np.arange(self.phases + 1)[:, None] / self.phases
        u = np.arange(self.taps)[None, :] - self.before - q
        r = u / (self.taps / 2)
        w = np.where(np.abs(r) < 1, np.i0(beta * np.sqrt(np.clip(1 - r * r, 0, 1))) / np.i0(beta), 0.0)
        self.row = (np.sinc(u) * w).astype(np.float32).astype(np.float64)
        self.delta = self.row[1:] - self.row[:-1]
        omega = np.pi * np.arange(self.points + 1) / self.points
        d = (np.arange(32) + 0.5) / 32
        c = self.coefficients(d)  # (32, taps)
        e = np.exp(1j * omega[:, None, None] * (np.arange(self.taps)[None, None, :] - self.before - d[None, :, None]))
        self.response = (c[None] * e).sum(-1).mean(-1)

    def coefficients(self, d):
        position = d * self.phases
        q = np.clip(position.astype(int), 0, self.phases - 1)
        f = (position - q)[..., None]
        return self.row[q] + f * self.delta[q]

    def resample(self, x, W, M):
        """x: (9, N) window samples; onto M points over exactly W samples."""
        N = x.shape[1]
        t = np.arange(M) * (W / M)
        i = np.floor(t).astype(int)
        base = i - self.before
        inner = (base >= 0) & (base + self.taps <= N)
        out = np.empty((x.shape[0], M))
        c = self.coefficients(t[inner] - i[inner])
        nodes = base[inner, None] + np.arange(self.taps)[None, :]
        out[:, inner] = np.einsum("cmt,mt->cm", x[:, nodes], c)
        ends = np.nonzero(~inner)[0]
        first = np.clip(i[ends] - 2, 0, N - 6)
        u = t[ends] - first
        k = np.arange(6)
        lw = np.ones((len(ends), 6))
        for m in range(6):
            for j in range(6):
                if j != m:
                    lw[:, m] *= (u - j) / (m - j)
        out[:, ends] = np.einsum("cmt,mt->cm", x[:, first[:, None] + k[None, :]], lw)
        return out

    def correction(self, W, M):
        k = np.arange(M // 2 + 1)
        w = 2 * np.pi * k / W
        h = np.interp(np.minimum(w, np.pi), np.linspace(0, np.pi, self.points + 1), self.response.real) + \
            1j * np.interp(np.minimum(w, np.pi), np.linspace(0, np.pi, self.points + 1), self.response.imag)
        ok = (w <= np.pi) & (np.abs(h) >= 0.5) & (k > 0)
        return np.where(ok, 1.0 / np.where(ok, h, 1.0), 1.0)


def fft_length(W):
    n = int(np.ceil(W))
    n = (n + 3) // 4 * 4
    while True:
        v = n
        for p in (2, 3, 5):
            while v % p == 0:
                v //= p
        if v == 1:
            return n
        n += 4


def tracked_plan(count):
    f = 50.0 + 0.2 * np.sin(0.16981581 * np.arange(count))
    W = 10 * FS / f
    N = np.ceil(W).astype(int)
    first = np.concatenate([[0], np.cumsum(N)[:-1]])
    return W, N, first


def tracked_windows(data, count, interp, groupings, batch=64):
    W, N, first = tracked_plan(count)
    L = data.shape[1]
    t0 = time.process_time()
    for b in range(0, count, batch):
        by_length = {}
        for w in range(b, min(b + batch, count)):
            start = first[w] % (L - N[w])
            x = data[:, start:start + N[w]]
            M = fft_length(W[w])
            y = interp.resample(x, W[w], M)
            s = time_domain(x[None])
            by_length.setdefault(M, []).append((y, W[w], s))
        for M, items in by_length.items():
            y = np.stack([it[0] for it in items])
            Z = rms_phasors(np.fft.rfft(y, axis=-1), M)
            Z *= np.stack([interp.correction(it[1], M) for it in items])[:, None, :]
            sums = np.concatenate([it[2][0] for it in items])
            squares = np.concatenate([it[2][1] for it in items])
            products = np.concatenate([it[2][2] for it in items])
            finish(Z, sums, squares, products, groupings.setdefault(M, Grouping(M)))
    return count / (time.process_time() - t0)


def own_length_windows(data, count, groupings):
    """Each tracked window transformed at its own length, no resampling (leaks)."""
    W, N, first = tracked_plan(count)
    L = data.shape[1]
    t0 = time.process_time()
    for w in range(count):
        start = first[w] % (L - N[w])
        x = data[None, :, start:start + N[w]]
        sums, squares, products = time_domain(x)
        Z = rms_phasors(np.fft.rfft(x, axis=-1), int(N[w]))
        finish(Z, sums, squares, products, groupings.setdefault(("own", int(N[w])), Grouping(int(N[w]))))
    return count / (time.process_time() - t0)


def run_cpp(bench, seconds):
    out = subprocess.run([bench, "--benchmark_filter=BM_WindowedThreePhase/50000$|BM_WindowedThreePhaseTracked$",
                          "--benchmark_format=json", f"--benchmark_min_time={seconds}"],
                         check=True, capture_output=True, text=True).stdout
    rates = {}
    for b in json.loads(out)["benchmarks"]:
        key = "tracked" if "Tracked" in b["name"] else "fixed"
        rates[key] = b["items_per_second"]
    return rates


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--bench", default=os.path.join(here, "..", "build", "bench", "windowed_bench"))
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--seconds", type=float, default=1.0, help="minimum time of each C++ case")
    parser.add_argument("--windows", type=int, default=1280, help="fixed windows per numpy round")
    args = parser.parse_args()
    if not os.path.exists(args.bench):
        sys.exit(f"{args.bench} not found: build the benchmarks first (cmake --build build --target windowed_bench)")

    data = ring(20.0)
    interp = Interpolator()
    groupings = {}
    tracked_count = max(32, args.windows // 8)
    rows = []
    print("round  C++ fixed  numpy fixed  C++ tracked  numpy tracked  (windows/s)")
    for r in range(args.rounds):
        cpp = run_cpp(args.bench, args.seconds)
        fixed = fixed_windows(data, args.windows)
        tracked = tracked_windows(data, tracked_count, interp, groupings)
        rows.append((cpp["fixed"], fixed, cpp["tracked"], tracked))
        print(f"{r + 1:5d}  {cpp['fixed']:9.0f}  {fixed:11.0f}  {cpp['tracked']:11.0f}  {tracked:13.0f}", flush=True)
    med = [statistics.median(c) for c in zip(*rows)]
    fft = statistics.median(fft_only(data, args.windows) for _ in range(3))
    own = statistics.median(own_length_windows(data, tracked_count, groupings) for _ in range(3))
    print(f"median  {med[0]:9.0f}  {med[1]:11.0f}  {med[2]:11.0f}  {med[3]:13.0f}")
    print(f"fixed:   C++ / numpy = {med[0] / med[1]:.2f}   (numpy rfft alone: {fft:.0f} windows/s, "
          f"C++ / that = {med[0] / fft:.2f})")
    print(f"tracked: C++ / numpy = {med[2] / med[3]:.2f}   (numpy at each window's own length, unsynchronised: "
          f"{own:.0f} windows/s, C++ / that = {med[2] / own:.2f})")


if __name__ == "__main__":
    main()
