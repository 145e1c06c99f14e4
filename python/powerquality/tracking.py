"""Frequency of a reference voltage as segments for ``Module.schedule_periods``.

The library's FrequencyTracker does the work: one segment per cycle, in
caller indices (positions x divisor), starting at the first crossing it
trusts; the last cycles of a recording stay unreported (its delay is about
six cycles).
"""

import numpy as np

from . import _core


def cycle_segments(reference, fs, nominal, divisor=16):
    """(first_indices, lengths, frequencies, flags, cycle_starts) of the whole signal.

    reference: samples of the reference voltage; fs: sample rate in Hz;
    nominal: nominal frequency in Hz. ``cycle_starts`` are the segments'
    starts in (fractional) positions.
    """
    tracker = _core.FrequencyTracker(float(fs), float(nominal), int(divisor))
    tracker.add_samples(np.nan_to_num(np.asarray(reference, dtype=np.float32)))
    first, lengths, freqs, flags = tracker.get_segments()
    return (first.astype(np.uint64), lengths.astype(np.int64), freqs, flags.astype(bool),
            first.astype(np.float64) / divisor)


def split_at(first, lengths, freqs, flags, edges):
    """The segments cut at the caller indices in ``edges`` (sorted)."""
    starts = first.astype(np.int64)
    ends = starts + lengths
    cuts = np.union1d(np.concatenate([starts, ends[-1:]]), edges)
    cuts = cuts[(cuts >= starts[0]) & (cuts <= ends[-1])]
    owner = np.searchsorted(starts, cuts[:-1], side="right") - 1
    return cuts[:-1].astype(np.uint64), np.diff(cuts), freqs[owner], flags[owner]
