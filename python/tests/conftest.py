import os

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


def three_phase(fs, seconds, rms=230.0, f=50.0, angle=0.0):
    """Star voltages A, B, C (positive sequence) of the given RMS value."""
    t = np.arange(int(round(seconds * fs))) / fs
    rms = np.broadcast_to(np.asarray(rms, dtype=np.float64).reshape(-1), (3,))
    return np.vstack([rms[k] * np.sqrt(2) * np.sin(2 * np.pi * f * t - k * 2 * np.pi / 3 + angle) for k in range(3)])


def hour_recording(base, seconds=3600.0, fs=1600.0):
    """A generated three-phase COMTRADE recording (16-bit BINARY): 230 V drifting by ±3 % over the hour, 1.5 %
    third and 4 % fifth harmonic, a little unbalance, a dip to 60 % for 150 ms at 25 minutes and a swell to
    120 % for 80 ms at 45 minutes (both inside a 10-minute interval). Returns the .cfg path."""
    from powerquality import comtrade

    n = int(round(seconds * fs))
    t = np.arange(n) / fs
    rms = 230.0 * (1 + 0.03 * np.sin(2 * np.pi * t / seconds))
    envelope = np.ones(n)
    envelope[(t >= 1500.0) & (t < 1500.15)] = 0.6
    envelope[(t >= 2700.0) & (t < 2700.08)] = 1.2
    channels = {}
    for k, p in enumerate("ABC"):
        w = 2 * np.pi * 50.0 * t - k * 2 * np.pi / 3
        u = np.sin(w) + 0.015 * np.sin(3 * w) + 0.04 * np.sin(5 * w)
        channels["U" + p] = (rms * (1 + 0.005 * (k - 1)) * np.sqrt(2) * envelope) * u
    return comtrade.write(str(base), channels, fs, phases={"UA": "A", "UB": "B", "UC": "C"}, file_type="BINARY")
