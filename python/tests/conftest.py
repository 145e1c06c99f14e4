import os
import subprocess
import sys

import numpy as np
import pytest

SHARED = os.environ.get("POWERQUALITY_SHARED_DATA_DIR",
                        os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data"))


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test of several seconds (a cluster, a browser, an hour of data); "
                            "scripts/mutants.py leaves these out of its fast run")


def recording(name):
    """The shared recording's configuration file; skips the test when the shared data folder is not there."""
    path = os.path.join(SHARED, "comtrade", name + ".cfg")
    if not os.path.exists(path):
        pytest.skip(f"recording {path} not found (the shared data folder is not beside the checkout)")
    return path


def cli(*args, **kwargs):
    """`python3 -m powerquality ARGS` in a process of its own."""
    return subprocess.run([sys.executable, "-m", "powerquality", *map(str, args)], capture_output=True, text=True,
                          **kwargs)


def three_phase(fs, seconds, rms=230.0, f=50.0, angle=0.0):
    """Star voltages A, B, C (positive sequence) of the given RMS value."""
    t = np.arange(int(round(seconds * fs))) / fs
    rms = np.broadcast_to(np.asarray(rms, dtype=np.float64).reshape(-1), (3,))
    return np.vstack([rms[k] * np.sqrt(2) * np.sin(2 * np.pi * f * t - k * 2 * np.pi / 3 + angle) for k in range(3)])


def write_three(base, u, fs, **options):
    """Star voltages u (3 rows) as the COMTRADE channels VA, VB, VC of phases A, B, C; returns the written path."""
    from powerquality import comtrade

    return comtrade.write(str(base), {"V" + p: u[k] for k, p in enumerate("ABC")}, fs,
                          phases={"V" + p: p for p in "ABC"}, **options)


def hour_recording(base, seconds=3600.0, fs=1600.0, **options):
    """A 16-bit COMTRADE .cfg: 230 V ±3 %, harmonics, unbalance, a dip to 60 % at 25 min, a swell to 120 % at 45
    (options: those of ``comtrade.write``)."""
    t = np.arange(int(round(seconds * fs))) / fs
    envelope = 230.0 * np.sqrt(2) * (1 + 0.03 * np.sin(2 * np.pi * t / seconds))
    envelope[(t >= 1500.0) & (t < 1500.15)] *= 0.6
    envelope[(t >= 2700.0) & (t < 2700.08)] *= 1.2
    k = np.arange(3)[:, None]
    w = 2 * np.pi * 50.0 * t - k * 2 * np.pi / 3
    u = (1 + 0.005 * (k - 1)) * envelope * (np.sin(w) + 0.015 * np.sin(3 * w) + 0.04 * np.sin(5 * w))
    return write_three(base, u, fs, **{"file_type": "BINARY", **options})
