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
    """The segments cut at the caller indices in ``edges`` (sorted): back to back segments (each starts where the
    one before ends) with strictly increasing starts, as the tracker gives them. An edge on a segment's start or
    outside the segments cuts nothing; a piece keeps its segment's frequency and flag."""
    starts = first.astype(np.int64)
    bounds = np.append(starts, starts[-1] + lengths[-1])
    edges = np.asarray(edges, np.int64)
    edges = edges[(edges > bounds[0]) & (edges < bounds[-1])]
    at = np.searchsorted(bounds, edges)
    inside = bounds[at] != edges
    at, edges = at[inside], edges[inside]
    if not len(edges):
        return first.astype(np.uint64), np.asarray(lengths, np.int64), freqs, flags
    # Every segment in as many pieces as edges fall inside it, plus one.
    pieces = np.bincount(at - 1, minlength=len(starts)) + 1
    cuts = np.concatenate([bounds, edges])
    cuts.sort()
    return cuts[:-1].astype(np.uint64), np.diff(cuts), np.repeat(freqs, pieces), np.repeat(flags, pieces)
