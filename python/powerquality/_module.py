"""The Python face of the module: keyword settings in one update bracket."""

from . import _core


class Module(_core.Module):
    """One measuring module (the C++ ``PowerModule``).

    Parameters
    ----------
    **settings
        Any settable property (``sample_rate``, ``buffer_length``,
        ``grid_config_type``, ``period_values_enabled``, ``rvc_enabled``, ...),
        plus ``static_frequency=(f, tolerance)`` or
        ``variable_frequency=(low, high)``. They are applied inside one update
        bracket, so the module initialises once.

    Notes
    -----
    ``with module: ...`` is the update bracket: settings changed inside it
    initialise the module once, when the outermost ``with`` ends. Ring views
    (``u_input_ring``, ``current_ring``, ...) write into the module's rings:
    while one lives (a slice of it too), a setting that re-initialises the
    module raises ``BufferError`` before anything changes, as a
    ``bytearray`` with exports refuses to resize; drop the views first.
    Period and windowed results are copies and stay valid.
    """

    def __init__(self, **settings):
        super().__init__()
        if settings:
            self.configure(**settings)

    def configure(self, **settings):
        """Apply settings by name in one update bracket; returns the module."""
        # The buffer duration follows from the buffer length and the sample
        # rate at the time the length is set: the rate goes first.
        first = ("sample_index_divisor", "sample_rate")
        ordered = sorted(settings.items(), key=lambda item: item[0] not in first)
        with self:
            for name, value in ordered:
                if name == "static_frequency":
                    self.set_static_frequency(*value)
                elif name == "variable_frequency":
                    self.set_variable_frequency(*value)
                elif name.startswith("_") or not isinstance(getattr(type(self), name, None), property):
                    raise TypeError(f"Module has no setting {name!r}")
                else:
                    setattr(self, name, value)
        return self
