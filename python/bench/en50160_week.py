"""A week of three-phase voltages with a known EN 50160 truth, written as COMTRADE, block by block.

    /usr/bin/python3 python/bench/en50160_week.py OUT_BASE [--hours 168] [--rate 1000]
    /usr/bin/python3 -m powerquality analyze OUT_BASE.cfg --assessment week.json --report week.html

The supply, from 01/01/2020 00:00 (on a tick, so every 10-minute interval is whole):
- 230 V with a daily swing of ±4 % (the voltage rows pass), phase C 3 % high (u2 about 1 %: passes);
- 50 Hz, but 50.7 Hz from 12:00 to 12:20 every day (1.4 % of the 10-s values beyond ±1 %: the ±1 % row fails,
  the +4/-6 % row passes);
- 5th harmonic 4 %, 7th 3 % (THD 5 %: passes), and a 3rd of 5.5 % from 18:00 to 21:00 every day (12.5 % of the
  10-minute values above 5 %: the h3 row fails; THD 7.4 % then, still passing);
- a sinusoidal 8.8 Hz fluctuation of 0.125 % peak to peak (Pst about 0.36: flicker passes).
At 1000 samples per second the harmonics reach order 10: h11 ... h25 are not judged.
Timestamps are written in milliseconds (timemult 1000), so that a week fits their 32 bits.
"""

import argparse
import math

import numpy as np

DAY = 86400.0
SCALE = 230.0 * math.sqrt(2) * 1.25 / 32767  # volts per count


def supply(t, phase0):
    """Samples (3, n) at times t (s) and the running phase of the fundamental (rad) at t[0]; returns the new one."""
    day = np.mod(t, DAY)
    f = np.where((day >= 12 * 3600) & (day < 12 * 3600 + 1200), 50.7, 50.0)
    dt = t[1] - t[0]
    phase = phase0 + 2 * np.pi * np.concatenate([[0.0], np.cumsum(f[:-1] * dt)])
    level = 230.0 * math.sqrt(2) * (1 + 0.04 * np.sin(2 * np.pi * t / DAY))
    level *= 1 + 0.00125 / 2 * np.sin(2 * np.pi * 8.8 * t)
    h3 = np.where((day >= 18 * 3600) & (day < 21 * 3600), 0.055, 0.0)
    out = np.empty((3, len(t)))
    for k in range(3):
        w = phase - k * 2 * np.pi / 3
        out[k] = level * (1 + 0.03 * (k == 2)) * (np.sin(w) + h3 * np.sin(3 * w) + 0.04 * np.sin(5 * w)
                                                  + 0.03 * np.sin(7 * w))
    return out, phase[-1] + 2 * np.pi * f[-1] * dt


def main():
    p = argparse.ArgumentParser()
    p.add_argument("base")
    p.add_argument("--hours", type=float, default=168.0)
    p.add_argument("--rate", type=float, default=1000.0)
    args = p.parse_args()
    fs, n = args.rate, int(round(args.hours * 3600 * args.rate))
    channels = "".join(f"{k + 1},V{c},{c},circuit,V,{SCALE!r},0.0,0,-32767,32767,1,1,P\n" for k, c in enumerate("ABC"))
    with open(args.base + ".cfg", "w") as f:
        f.write(f"test station,recorder,1999\n3,3A,0D\n{channels}50.0\n1\n{fs!r},{n}\n"
                "01/01/2020,00:00:00.000000\n01/01/2020,00:00:00.000000\nBINARY\n1000\n")
    record = np.dtype([("n", "<u4"), ("t", "<u4"), ("v", "<i2", (3,))])
    phase, block = 0.0, int(600 * fs)
    with open(args.base + ".dat", "wb") as f:
        for start in range(0, n, block):
            k = np.arange(start, min(n, start + block))
            samples, phase = supply(k / fs, phase)
            rows = np.zeros(len(k), record)
            rows["n"] = k + 1
            rows["t"] = np.round(k * 1000.0 / fs).astype(np.uint32)
            rows["v"] = np.round(samples / SCALE).T.astype(np.int16)
            rows.tofile(f)


if __name__ == "__main__":
    main()
