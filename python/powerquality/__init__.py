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
from .analysis import analyze  # noqa: E402

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


# The modules a run of one recording does not need, imported when first asked for (``powerquality.fleet``,
# ``powerquality.en50160``, ... as attributes, as ``import powerquality`` gave them before): the fleet (many
# recordings, process pools, Dask) and the report cost every ``import powerquality`` some milliseconds.
_LAZY_MODULES = ("fleet", "en50160", "csvfile", "htmlreport", "conformance")


def __getattr__(name):
    """analyze_many (from fleet) and the modules of _LAZY_MODULES, imported when first asked for."""
    if name == "analyze_many":
        from .fleet import analyze_many

        globals()[name] = analyze_many
        return analyze_many
    if name in _LAZY_MODULES:
        import importlib

        return importlib.import_module(f".{name}", __name__)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(set(globals()) | {"analyze_many"} | set(_LAZY_MODULES))


def _signature_of(cls):
    """The signature pybind11 writes on the first line of a class's ``__init__`` docstring, as an
    inspect.Signature (without ``self``), so that ``inspect.signature`` shows the parameters help() shows;
    None when there are several (overloads) or the line does not parse."""
    import ast
    import inspect
    import re

    doc = (getattr(cls.__init__, "__doc__", None) or "").strip().splitlines()
    match = re.fullmatch(r"__init__\((.*)\) -> None", doc[0]) if doc else None
    if match is None:
        return None
    try:
        tree = ast.parse(f"def f({match.group(1)}): pass").body[0].args
    except SyntaxError:
        return None
    parameters, defaults = [], [None] * (len(tree.args) - len(tree.defaults)) + list(tree.defaults)
    for argument, default in list(zip(tree.args, defaults))[1:]:
        try:
            value = inspect.Parameter.empty if default is None else ast.literal_eval(default)
        except ValueError:
            return None
        annotation = ast.unparse(argument.annotation) if argument.annotation else inspect.Parameter.empty
        annotation = {"float": float, "int": int, "bool": bool, "str": str}.get(annotation, annotation)
        parameters.append(inspect.Parameter(argument.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=value,
                                            annotation=annotation))
    return inspect.Signature(parameters)


for _cls in (FlickerMeter, GridConfigType):
    _cls.__signature__ = _signature_of(_cls)
del _cls
