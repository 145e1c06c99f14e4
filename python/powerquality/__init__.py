"""powerquality: power-quality measurement of grid waveforms.

A thin binding of the C++ library (``Module``: one measuring module with its
waveform rings and result records) plus readers of recordings
(``powerquality.comtrade``, ``powerquality.csvfile``) and one call from
samples to tables (``analyze``).

Examples
--------
>>> import numpy as np, powerquality as pq
>>> m = pq.Module(grid_config_type=pq.GridConfigType.SinglePhaseDefault,
...               sample_rate=10000.0, buffer_length=10000,
...               period_values_enabled=True)
>>> m.reset(0)
>>> t = np.arange(2000) / 10000.0
>>> u = 230.0 * np.sqrt(2) * np.sin(2 * np.pi * 50.0 * t)
>>> m.write(np.vstack([u, u / 10]), position=0)
>>> m.schedule_periods([0], [2000], [50.0])
>>> rows = m.get_period_results()
>>> len(rows), round(float(rows["rmsVoltage"][0]), 3)
(10, 230.0)
"""

try:
    from ._core import (  # noqa: F401
        GENERAL_PHASE_DTYPE,
        GENERAL_RECORD_DTYPE,
        PERIOD_DTYPE,
        PERIOD_RECORD_DTYPE,
        RVC_RESULT_DTYPE,
        SYMMETRICAL_COMPONENT_DTYPE,
        THD_DTYPE,
        FlickerMeter,
        GpuError,
        GridConfigType,
        TooManyResultsError,
        __version__,
    )
except ImportError as error:  # most often: another interpreter than the one it was built for
    import sys as _sys

    from ._build_info import PYTHON as _PYTHON, PYTHON_VERSION as _VERSION

    raise ImportError(f"powerquality's extension was built for {_PYTHON} (Python {_VERSION}) with its numpy; "
                      f"this is {_sys.executable}: {error}") from error
from ._module import Module  # noqa: F401

__all__ = [
    "Module",
    "FlickerMeter",
    "GridConfigType",
    "GpuError",
    "TooManyResultsError",
    "PERIOD_DTYPE",
    "PERIOD_RECORD_DTYPE",
    "GENERAL_RECORD_DTYPE",
    "analyze",
    "analyze_many",
]


def analyze(*args, **kwargs):
    """Analyse a recording or arrays; see :func:`powerquality.analysis.analyze`."""
    from .analysis import analyze as _analyze

    return _analyze(*args, **kwargs)


def analyze_many(*args, **kwargs):
    """Analyse many recordings, locally or on a Dask cluster; see :func:`powerquality.fleet.analyze_many`."""
    from .fleet import analyze_many as _analyze_many

    return _analyze_many(*args, **kwargs)
