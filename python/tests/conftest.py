import os

import numpy as np
import pytest

SHARED = os.environ.get("POWERQUALITY_SHARED_DATA_DIR",
                        os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "data"))


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
