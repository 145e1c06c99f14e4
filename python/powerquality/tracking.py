"""Frequency of a reference voltage as segments for ``Module.schedule_periods``.

``cycle_segments`` uses the library's FrequencyTracker when this build has
one (``fallback=True`` forces the other way); otherwise it falls back on a
zero-crossing estimate made here with numpy:

1. band-pass around the nominal frequency (0.5 to 1.5 times nominal) with a
   symmetric FIR filter, which has no delay, so crossings stay at the
   positions of the input;
2. rising zero crossings of the filtered signal, refined by linear
   interpolation between the two samples around each;
3. crossings closer than half a nominal period to the previous one are
   spurious and dropped; so are crossings between two cycles whose
   amplitude is below a tenth of the median cycle's (reference lost); a gap
   longer than 1.5 nominal periods is filled with cycles at the last good
   frequency, flagged False;
4. the first and last three cycles, which the filter computes partly from
   beyond the signal's ends, are flagged False too.

Segments are cycles from crossing to crossing, in caller indices
(position x divisor, the crossing rounded to 1/divisor of a sample); the
part before the first crossing runs at the first cycle's frequency and the
part after the last at the last cycle's.
"""

import numpy as np

from . import _core


def _bandpass(x, fs, nominal):
    """Zero-phase band-pass 0.5..1.5 x nominal: a symmetric Hann-windowed
    sinc of six nominal periods, applied as a linear convolution through
    FFTs and centred, so every frequency keeps its phase (no delay) and only
    the first and last three cycles see the signal's ends."""
    half = int(3 * fs / nominal)
    k = np.arange(-half, half + 1) / fs
    window = 0.5 + 0.5 * np.cos(np.pi * k * fs / (half + 1))
    kernel = (3.0 * nominal * np.sinc(3.0 * nominal * k) - nominal * np.sinc(nominal * k)) / fs * window
    x = np.nan_to_num(np.asarray(x, dtype=np.float64))
    x = x - np.mean(x)
    # Overlap-save in blocks of 2^16 (or less), so that long recordings
    # need neither one huge FFT nor its memory.
    taps = len(kernel)
    size = max(1 << 16, 1 << int(np.ceil(np.log2(4 * taps))))
    size = min(size, 1 << int(np.ceil(np.log2(len(x) + 2 * taps))))
    step = size - taps + 1
    response = np.fft.rfft(kernel, size)
    padded = np.concatenate([np.zeros(half), x, np.zeros(half + size)])
    y = np.empty(len(x))
    for start in range(0, len(x), step):
        block = np.fft.irfft(np.fft.rfft(padded[start:start + size]) * response, size)
        count = min(step, len(x) - start)
        y[start:start + count] = block[taps - 1:taps - 1 + count]
    return y


def uses_library():
    """True when cycle_segments takes the library's FrequencyTracker."""
    return hasattr(_core, "FrequencyTracker")


def rising_crossings(x):
    """Fractional positions where x goes from negative to non-negative."""
    k = np.nonzero((x[:-1] < 0) & (x[1:] >= 0))[0]
    return k + x[k] / (x[k] - x[k + 1])


def cycle_segments(reference, fs, nominal, divisor=16, fallback=False):
    """(first_indices, lengths, frequencies, flags, crossings) covering the whole signal.

    reference: samples of the reference voltage; fs: sample rate in Hz;
    nominal: nominal frequency in Hz. ``crossings`` are the cycle starts in
    positions (fractional); the frequencies are per cycle.
    """
    tracker = getattr(_core, "FrequencyTracker", None)
    if tracker is not None and not fallback:
        return _segments_from_tracker(tracker, reference, fs, nominal, divisor)
    n = len(reference)
    x = _bandpass(np.asarray(reference, dtype=np.float64), fs, nominal)
    crossings = rising_crossings(x)
    period = fs / nominal
    kept = []
    for c in crossings:
        if not kept or c - kept[-1] >= 0.5 * period:
            kept.append(c)
    crossings = np.array(kept)
    if len(crossings) >= 3:
        # Cycles whose amplitude is below a tenth of the typical one have lost
        # the reference: crossings between two such cycles are dropped, so
        # that the gap is bridged at the last good frequency below.
        edges = np.round(crossings).astype(np.int64)
        amplitude = np.maximum.reduceat(np.abs(x), edges)[:-1]
        lost = amplitude < 0.1 * np.median(amplitude)
        inner = np.concatenate([[False], lost[:-1] & lost[1:], [False]])
        crossings = crossings[~inner]
    if len(crossings) < 2:
        # No usable cycles: the nominal frequency over the whole signal, flagged.
        return (np.array([0], np.uint64), np.array([n * divisor], np.int64), np.array([float(nominal)]),
                np.array([False]), crossings)
    starts, freqs, flags = [], [], []
    last_good = fs / (crossings[1] - crossings[0])
    for a, b in zip(crossings[:-1], crossings[1:]):
        gap = b - a
        if gap <= 1.5 * period:
            last_good = fs / gap
            starts.append(a)
            freqs.append(last_good)
            flags.append(True)
        else:
            cycles = max(1, int(round(gap * last_good / fs)))
            for j in range(cycles):
                starts.append(a + j * gap / cycles)
                freqs.append(fs * cycles / gap)
                flags.append(False)
    starts.append(crossings[-1])
    freqs.append(last_good)
    flags.append(True)
    # The filter reaches past the signal's ends for the first and last three
    # cycles: their frequencies stand, but flagged as less sure.
    flags = np.asarray(flags)
    flags[:3] = False
    flags[-3:] = False
    bounds = np.round(np.array(starts) * divisor).astype(np.int64)
    bounds = np.concatenate([[0], bounds, [n * divisor]])
    freqs = np.concatenate([[freqs[0]], freqs])
    flags = np.concatenate([[flags[0]], flags])
    keep = np.diff(bounds) > 0
    first = bounds[:-1][keep]
    lengths = np.diff(bounds)[keep]
    return first.astype(np.uint64), lengths, np.asarray(freqs)[keep], np.asarray(flags)[keep], crossings


def _segments_from_tracker(tracker_class, reference, fs, nominal, divisor):
    """Segments of the library's FrequencyTracker over the whole signal.

    They start at the first crossing it trusts and end where its delay
    (about six cycles) leaves the last cycles unreported.
    """
    tracker = tracker_class(fs, nominal, divisor)
    tracker.add_samples(np.nan_to_num(np.asarray(reference, dtype=np.float32)))
    first, lengths, freqs, flags = tracker.get_segments()
    crossings = first.astype(np.float64) / divisor
    return first.astype(np.uint64), lengths.astype(np.int64), freqs, flags.astype(bool), crossings


def split_at(first, lengths, freqs, flags, edges):
    """The segments cut at the caller indices in ``edges`` (sorted)."""
    starts = first.astype(np.int64)
    ends = starts + lengths
    cuts = np.union1d(np.concatenate([starts, ends[-1:]]), edges)
    cuts = cuts[(cuts >= starts[0]) & (cuts <= ends[-1])]
    owner = np.searchsorted(starts, cuts[:-1], side="right") - 1
    return cuts[:-1].astype(np.uint64), np.diff(cuts), freqs[owner], flags[owner]
