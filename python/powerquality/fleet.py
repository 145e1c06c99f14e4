"""Many recordings at once: found in folders and by patterns, each analysed
by one task, on this process, on local worker processes or on a Dask
distributed cluster, and gathered into one summary row per recording and
one table of the events of all of them.

The work is a map of one function, :func:`analyze_one` (a job: the path of
one recording -> its summary row and its events), over the recordings; the
serial loop, the process pool and the Dask client are three executors of
that same function, and the rows are put back in the order the recordings
were found, whatever order the tasks end in. So the tables are the same,
byte for byte, whichever executor made them.

Finding recordings (:func:`find`)
    Each argument in its order. A folder gives every recording under it, at
    any depth, in sorted order: files ending in .cfg, .cff or .csv (any
    case), and a .dat without a .cfg or .cff beside it (so that it shows as
    unreadable instead of being lost); the output folder is never searched,
    and files named as the tables this writes (period.csv, events.csv,
    summary.csv, ...: TABLE_NAMES) are not taken, so that the output of an
    earlier run inside a searched folder is not analysed.
    A name that does not exist and holds ``*``, ``?`` or ``[`` is a pattern
    (``**`` reaches into sub-folders); its matches are taken by the same
    rule, in sorted order, folders among them searched. A pattern that
    matches nothing and a folder without a recording are rows with that
    error. Any other name is taken as it is: a file of any extension, or a
    COMTRADE base name. A recording found twice is analysed once, where it
    was first found. A folder that cannot be listed or entered (no
    permission, gone while searched), under a folder named or reached by a
    pattern (a ``**`` pattern's too), is a row with that error after the
    recordings of that name, and the search goes on beside it.

Output
    With an output folder each recording's tables (those the command line
    writes for one recording: events.csv, rvc.csv, frequency_10s.csv,
    aggregated_3s.csv, aggregated_10min.csv, aggregated_2h.csv, and with
    ``detail`` detail.h5), with summary.txt (what it prints for one), go
    to a folder of their own under it, named after the file without its
    extension; where names repeat, the second is NAME-2, the third NAME-3,
    in the order found (the summary's ``folder`` column says which is
    which; a recording that failed keeps the name it would have had). Each task writes
    its own folder where it runs, so on a cluster the output folder, like
    the recordings, must be on storage that every worker reaches by the
    same path; tasks get absolute paths, since a worker's working folder is
    not the caller's. ``summary.csv`` and ``events.csv`` are written by the
    caller at the end, each on its own: one that cannot be written does not
    keep the other (or the index page) from being written.

    A recording's name never chooses a file of the run's own: the files
    written at the top of the output folder are listed in one place
    (:func:`top_level_names`: OUTPUTS, and the index page when it goes
    there), and no recording's folder takes one of those names, compared
    without regard to case (a folder on a case-insensitive disk would be
    the same file); a recording named ``summary.csv.cfg`` gets the folder
    ``summary.csv-2``, as if a recording named so had come first. A name
    that would leave the folder (empty, ``.``, ``..``) becomes
    ``recording``. Text cells of every CSV table that begin with ``=``,
    ``+``, ``-``, ``@``, a tab or a carriage return are written as text a
    spreadsheet does not evaluate (see ``report.csv_fields``).

EN 50160 reports (``en50160``: level, system, limits, and the file names
of the report and of the assessment)
    Each task also gathers the assessment (``en50160.Gather`` in its
    pipeline), writes the report (HTML) and the assessment (JSON) under the
    given file names into its recording's folder, where it runs, and hands
    back its overall verdict and coverage, which the summary gets as four
    more columns (ASSESSMENT_DTYPE: verdict; coverage, said shortly;
    weekPercent, the share of a week recorded; failing, the rows not within
    their limits). Without ``en50160`` the summary and the tables are as
    they were. The caller writes the index page (:func:`write_index`) from
    the summary: one row per recording, its report linked.

Failures
    Anything that goes wrong with one recording (unreadable, too short, no
    voltage channel, its folder not writable) makes its row's ``status``
    'error' with the message in ``error``; the run goes on. A local worker
    process that dies under a recording (out of memory, a crash) breaks
    the pool: the recordings it had not finished are run again, each alone
    in a fresh process, and one that kills that too is an error row. On a
    cluster, a task the scheduler gives up on (a worker lost under it too
    often) is an error row as well.

Summary columns (SUMMARY_DTYPE; times in seconds, voltages in volts,
frequencies in hertz, THD, unbalance and percentages in percent)
    path, folder; start (ISO date and time of the first sample, empty when
    the file gives none), duration, sampleRate, nominalFrequency, grid;
    udin and udinSource (where the analysis took Udin from, in words: given,
    a rating the waveform agrees with, the nominal voltage nearest the
    measured level, or that level);
    dips, swells, interruptions (counts, -1 when not analysed);
    worstResidual and worstResidualPercent (the lowest residual voltage of
    a dip or interruption), largestSwell and largestSwellPercent; rvcs
    (count) and largestRvc, largestRvcPercent (the largest delta Umax, and
    that in percent of Udin); frequencyMin, frequencyMax (over the cycles
    the tracker trusts, those measured over a dip, swell or interruption
    left out); thd10minMax (the highest 10-minute voltage THD of any phase) and
    unbalance10minMax (the highest 10-minute u2), taken over
    every 10-minute value, the partial ones at the ends of a recording
    included, since a fault record of a few seconds has no other; pstMax,
    pltMax when the analysis gives flicker severities; notes (the reader's
    remarks), status ('ok' or 'error') and error. A value that the
    recording or the analysis does not have is NaN in the array and empty
    in the CSV file.
"""

import glob
import os
import sys

import numpy as np

from . import analysis, spans
from .recording import _PATTERN_CHARACTERS, is_many, is_pattern  # noqa: F401 (is_many: the command line's road)

RECORDING_SUFFIXES = (".cfg", ".cff", ".csv")
# The tables that analyze writes: never taken for recordings when searching.
TABLE_NAMES = ("period.csv", "frequency.csv", "frequency_10s.csv", "rvc.csv", "events.csv", "windowed.csv",
               "aggregated_3s.csv", "aggregated_10min.csv", "aggregated_2h.csv", "summary.csv")
# The files a run writes at the top of its output folder, besides the index page (whose name the caller gives):
# no recording's folder takes one of these names (see top_level_names).
OUTPUTS = ("summary.csv", "events.csv")
# Seconds of samples per block, as the command line reads one recording.
BLOCK_SECONDS = 8

SUMMARY_DTYPE = [
    ("path", "U"), ("folder", "U"), ("start", "U"), ("duration", "f8"), ("sampleRate", "f8"),
    ("nominalFrequency", "f8"), ("grid", "U"), ("udin", "f8"), ("udinSource", "U"),
    ("dips", "i8"), ("swells", "i8"), ("interruptions", "i8"),
    ("worstResidual", "f8"), ("worstResidualPercent", "f8"), ("largestSwell", "f8"), ("largestSwellPercent", "f8"),
    ("rvcs", "i8"), ("largestRvc", "f8"), ("largestRvcPercent", "f8"),
    ("frequencyMin", "f8"), ("frequencyMax", "f8"), ("thd10minMax", "f8"), ("unbalance10minMax", "f8"),
    ("pstMax", "f8"), ("pltMax", "f8"), ("notes", "U"), ("status", "U"), ("error", "U"),
]
# The summary's columns when each recording is assessed against EN 50160.
ASSESSMENT_DTYPE = [("verdict", "U"), ("coverage", "U"), ("weekPercent", "f8"), ("failing", "U")]
EVENTS_DTYPE = [("path", "U")] + [(name, analysis.EVENT_DTYPE[name].str) for name in analysis.EVENT_DTYPE.names] \
    + [("start", "U")]
# The options of analysis.stream that a run passes to every recording.
OPTIONS = ("sample_rate", "nominal_frequency", "declared_voltage", "voltage_channels", "current_channels",
           "fixed_frequency", "rvc_threshold", "time_zone")


class FleetError(RuntimeError):
    """A run that cannot start: no Dask, no scheduler, bad arguments."""


# --- Finding recordings ---------------------------------------------------------------------------------------------

def _is_recording(path):
    base, ext = os.path.splitext(path)
    ext = ext.lower()
    if os.path.basename(path).lower() in TABLE_NAMES:
        return False
    if ext in RECORDING_SUFFIXES:
        return True
    # A .dat alone cannot be read; taken so that its row says so.
    return ext == ".dat" and not any(os.path.exists(base + e) for e in (".cfg", ".CFG", ".cff", ".CFF"))


def _same(a, b):
    return os.path.normcase(os.path.abspath(a)) == os.path.normcase(os.path.abspath(b))


def _inside(path, folder):
    """Whether path is folder or lies under it."""
    path, folder = (os.path.normcase(os.path.abspath(p)) for p in (path, folder))
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


def _walk(folder, skip, unreadable):
    """The recordings under folder, in sorted order; each folder that cannot be listed is appended to
    unreadable as (folder, message)."""
    found = []

    def refused(error):
        name = error.filename or folder
        unreadable.append((name, f"{name}: cannot be searched ({error.strerror or error})"))

    for root, dirs, files in os.walk(folder, onerror=refused):
        dirs[:] = sorted(d for d in dirs if not (skip and _same(os.path.join(root, d), skip)))
        found += [os.path.join(root, f) for f in sorted(files) if _is_recording(os.path.join(root, f))]
    return found


def _unsearchable(pattern, skip, unreadable):
    """The folders that a ``**`` pattern would reach but cannot list (glob passes them over without a word):
    those under the pattern's fixed leading folders, hidden ones left out as glob leaves them out."""
    parts = pattern.split(os.sep)
    fixed = next(k for k, part in enumerate(parts) if any(c in part for c in _PATTERN_CHARACTERS))
    top = os.sep.join(parts[:fixed]) or (os.sep if pattern.startswith(os.sep) else os.curdir)
    if not os.path.isdir(top):
        return

    def refused(error):
        name = error.filename or top
        unreadable.append((name, f"{name}: cannot be searched ({error.strerror or error})"))

    for root, dirs, _ in os.walk(top, onerror=refused):
        dirs[:] = [d for d in dirs if not d.startswith(".") and not (skip and _same(os.path.join(root, d), skip))]


def find(names, out=None):
    """The recordings that names (files, folders, patterns) stand for, in order.

    Returns a list of (path, error): error is None for a recording to
    analyse, else the message of a folder or pattern that gave none.
    """
    if isinstance(names, (str, os.PathLike)):
        names = [names]
    entries, seen = [], set()

    def add(path, error=None):
        key = os.path.normcase(os.path.abspath(path))
        if error is None and key in seen:
            return
        seen.add(key)
        entries.append((path, error))

    for name in map(os.fspath, names):
        unreadable = []
        if os.path.isdir(name):
            found = _walk(name, out, unreadable)
            for path in found:
                add(path)
            for path, error in unreadable:
                add(path, error)
            if not found and not unreadable:
                add(name, f"{name}: no recording (.cfg, .cff, .csv) in this folder")
        elif is_pattern(name):
            found = []
            for match in sorted(glob.glob(name, recursive=True)):
                if out and _inside(match, out):
                    continue
                if os.path.isdir(match):
                    found += _walk(match, out, unreadable)
                elif _is_recording(match):
                    found.append(match)
            if "**" in name:
                _unsearchable(name, out, unreadable)
            for path in found:
                add(path)
            for path, error in sorted(set(unreadable)):
                add(path, error)
            if not found and not unreadable:
                add(name, f"{name}: no recording matches")
        else:
            add(name)
    return entries


def top_level_names(out=None, index=None):
    """The names of the files a run writes at the top of out: OUTPUTS, and the index page's when it goes there
    (a bare file name, or a path whose folder is out)."""
    names = list(OUTPUTS)
    if index and (not os.path.dirname(os.fspath(index)) or
                  out is not None and _same(os.path.dirname(os.path.abspath(index)), out)):
        names.append(os.path.basename(os.fspath(index)))
    return names


def folder_names(paths, reserved=OUTPUTS):
    """One output folder name per path: the file name without its extension, NAME-2, NAME-3 where names repeat
    or where a name is one of the reserved ones (the run's own files: see :func:`top_level_names`), compared
    without regard to case."""
    names, used = [], {name.lower() for name in reserved}
    for path in paths:
        stem = os.path.splitext(os.path.basename(os.path.normpath(path)))[0]
        if stem in ("", ".", ".."):
            stem = "recording"
        name, k = stem, 1
        while name.lower() in used:
            k += 1
            name = f"{stem}-{k}"
        used.add(name.lower())
        names.append(name)
    return names


# --- The task ---------------------------------------------------------------------------------------------------------

def _empty_row():
    row = {name: (np.nan if kind == "f8" else -1 if kind == "i8" else "")
           for name, kind in SUMMARY_DTYPE + ASSESSMENT_DTYPE}
    row["status"] = "ok"
    return row


def _message(error):
    if isinstance(error, (analysis.RecordingError, OSError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def _largest(values):
    values = np.asarray(values, dtype=np.float64).ravel()
    values = values[np.isfinite(values)]
    return float(values.max()) if values.size else np.nan


def _columns(table, name):
    """The values of a table's column `name` and of columns ending in '.name' (one per phase), or None."""
    if table is None:
        return None
    if isinstance(table, dict) and isinstance(table.get(name), np.ndarray) and table[name].dtype.names:
        return _columns(table[name], name)  # the flicker stage's {'pst': rows with 'A.pst', ...}
    if isinstance(table, dict):
        keys = [k for k in table if k == name or str(k).endswith("." + name)]
        return np.concatenate([np.ravel(table[k]) for k in keys]) if keys else None
    table = np.asarray(table)
    if table.dtype.names is None:
        return None
    keys = [k for k in table.dtype.names if k == name or k.endswith("." + name)]
    return np.concatenate([np.ravel(table[k]) for k in keys]) if keys else None


def _flicker(a, name):
    """The largest Pst or Plt that a block or the context gives: its attribute pst / plt, or a column of its
    flicker table; NaN where there is none."""
    value = getattr(a, name, None)
    if value is not None and not isinstance(value, (dict, np.ndarray)) or \
            isinstance(value, np.ndarray) and value.dtype.names is None:
        return _largest(value)
    for table in (value, getattr(a, "flicker", None)):
        found = _columns(table, name)
        if found is not None:
            return _largest(found)
    return np.nan


class Summary:
    """Consumer of the analysis pipeline: what the summary row and the recording's own tables need.

    Of each block it keeps the events, the RVCs and the 10-minute values
    (rows that grow with events and intervals, not with samples or blocks:
    one growing array each, ``analysis.Rows``), the range of the trusted
    cycles' frequency (those measured over a dip, swell or interruption left out)
    and the largest flicker severities (a block's ``pst`` and ``plt``, or
    columns of its ``flicker``, when the pipeline gives them); the rest of the block is left to go, so memory does not grow
    with the recording's length.
    """

    def __init__(self):
        self.parts = {name: analysis.Rows() for name in ("events", "rvc", "10min")}
        self.frequency = (np.inf, -np.inf)
        self.flicker = {"pst": np.nan, "plt": np.nan}

    def process(self, b):
        for name in ("events", "rvc"):
            self.parts[name].add(getattr(b, name))
        if b.aggregated is not None:
            self.parts["10min"].add(b.aggregated["10min"])
        f = b.cycles  # the cycles measured over a dip, swell or interruption left out, as in the summary
        valid = f["frequency"][f["valid"] & ~f["flagged"] & np.isfinite(f["frequency"])]
        if valid.size:
            self.frequency = (min(self.frequency[0], float(valid.min())), max(self.frequency[1], float(valid.max())))
        reduced = getattr(b, "reduced", None)  # the cycles' range, reduced by the spans that dropped them
        if reduced and "frequency" in reduced and reduced["frequency"][2]:
            low, high = reduced["frequency"][:2]
            self.frequency = (min(self.frequency[0], float(low)), max(self.frequency[1], float(high)))
        for name in self.flicker:
            self.flicker[name] = float(np.fmax(self.flicker[name], _flicker(b, name)))

    def tables(self):
        """The rows kept: 'events' (in order of start), 'rvc' and, with windows, 'aggregated_10min'."""
        p = {name: rows.array() for name, rows in self.parts.items()}
        events = p["events"] if p["events"] is not None else np.zeros(0, analysis.EVENT_DTYPE)
        out = {"events": events[np.argsort(events["startTime"], kind="stable")],
               "rvc": p["rvc"] if p["rvc"] is not None else np.zeros(0, analysis.RVC_DTYPE)}
        if p["10min"] is not None:
            out["aggregated_10min"] = p["10min"]
        return out

    def row(self, ctx, declared_voltage=None):
        """The summary columns (all but path and folder) once the pipeline has run; ctx: its Context."""
        from . import report

        row = _empty_row()
        tables = self.tables()
        r = ctx.recording
        udin = float(ctx.declared_voltage)
        row.update(start=str(report.clock_texts(r, 0.0)[0]),  # as events.csv's times
                   duration=ctx.positions / ctx.sample_rate, sampleRate=float(ctx.sample_rate),
                   nominalFrequency=float(ctx.nominal_frequency),
                   grid=str(ctx.grid), udin=udin, notes="; ".join(r.notes))
        source = getattr(ctx, "declared_voltage_source", None) or getattr(ctx, "udin_source", None)
        row["udinSource"] = str(source) if source else ("given" if declared_voltage else "median")
        e = tables["events"]
        kinds = {name: e[e["type"] == code] for code, name in analysis.EVENT_TYPES.items()}
        row.update(dips=len(kinds["dip"]), swells=len(kinds["swell"]), interruptions=len(kinds["interruption"]))
        low = e[(e["type"] == 1) | (e["type"] == 3)]
        if len(low):
            k = int(np.argmin(low["extremeVoltage"]))
            row.update(worstResidual=float(low["extremeVoltage"][k]),
                       worstResidualPercent=float(low["extremePercent"][k]))
        if len(kinds["swell"]):
            k = int(np.argmax(kinds["swell"]["extremeVoltage"]))
            row.update(largestSwell=float(kinds["swell"]["extremeVoltage"][k]),
                       largestSwellPercent=float(kinds["swell"]["extremePercent"][k]))
        rvc = tables["rvc"]
        row["rvcs"] = len(rvc)
        row["largestRvc"] = _largest(rvc["deltaUmax"])
        row["largestRvcPercent"] = 100.0 * row["largestRvc"] / udin if udin > 0 else np.nan
        if np.isfinite(self.frequency[0]):
            row["frequencyMin"], row["frequencyMax"] = self.frequency
        for column, name in (("thd10minMax", "thdVoltage.thd"), ("unbalance10minMax", "u2")):
            found = _columns(tables.get("aggregated_10min"), name)
            if found is not None:
                row[column] = _largest(found)
        for name, column in (("pst", "pstMax"), ("plt", "pltMax")):
            row[column] = float(np.fmax(self.flicker[name], _flicker(ctx, name)))
        return row


def _assessment(gather, settings, folder, path):
    """The EN 50160 assessment of what gather took: its files written into folder, its summary columns returned."""
    from . import en50160, htmlreport

    if gather is None:
        raise ValueError("no samples to assess")
    tables = gather.tables()
    result = gather.assess(tables, level=settings.get("level", "LV"), system=settings.get("system", "synchronous"),
                           limits=settings.get("limits"))
    ctx = gather.ctx
    result["recording"] = en50160.describe(ctx.recording, ctx.positions / ctx.sample_rate, site=settings.get("site"),
                                           operator=settings.get("operator"),
                                           lamp=getattr(ctx, "flicker_lamp", None))
    if folder and settings.get("assessment"):
        with open(os.path.join(folder, settings["assessment"]), "w", encoding="utf-8") as f:
            f.write(htmlreport.to_json(result))
    if folder and settings.get("report"):
        htmlreport.write(os.path.join(folder, settings["report"]), result, tables, gather.events(),
                         title=f"EN 50160 report: {os.path.basename(path)}")
    cov = result["coverage"]
    coverage = en50160._duration_text(cov["seconds"]) + \
        (", a whole week" if cov["whole_week"] else f", {cov['week_share']:.3g} % of a week") + \
        f"; {cov['used']} of {cov['intervals']} ten-minute intervals used"
    failing = [f"{r['parameter']} {r['condition'].split(':')[0]}" for r in result["rows"] if r["verdict"] == "fail"]
    return {"verdict": result["verdict"], "coverage": coverage, "weekPercent": float(cov["week_share"]),
            "failing": "; ".join(failing)}


def analyze_one(job, client=None):
    """The task: analyse the recording job['path'] block by block, write its tables to job['folder'] when given.

    job: dict with 'path' (absolute), 'folder' (absolute or None), 'detail'
    (also detail.h5 in the folder), 'options' (keyword arguments of
    analysis.stream, 'sample_rate' among them for CSV files) and
    'en50160' (None, or the settings of the assessment), and optionally
    'spans': {'jobs': N, 'span_seconds': S or None} to cut the recording,
    when it is long enough, into spans analysed side by side on N local
    processes or on ``client`` (see ``spans``; the run gives it to a lone
    recording; joined span by span as the spans end, see ``spans.Joined``). Memory stays
    bounded whatever the recording's length: each block is dropped once
    the consumers (the Summary, and with a folder the command line's
    tables, summary text and detail) have taken from it. Never raises for
    a fault of the recording. Returns {'row': summary columns, 'events':
    EVENT_DTYPE rows, 'starts': their ISO start times or empty texts}.
    """
    from . import report

    options = dict(job.get("options") or {})
    row = _empty_row()
    events, starts = np.zeros(0, analysis.EVENT_DTYPE), []
    try:
        sample_rate = options.pop("sample_rate", None)
        recording = analysis.open_recording(job["path"], sample_rate=sample_rate,
                                            nominal_frequency=options.get("nominal_frequency"),
                                            time_zone=options.pop("time_zone", None))
        recording.check_rates(options.get("nominal_frequency"))  # before the block size is taken from the rate
        assess = job.get("en50160")
        options.update(block_size=int(BLOCK_SECONDS * recording.sample_rate),
                       arrays=("harmonicsVoltage",) if assess else False)
        spread = job.get("spans")
        joined = None
        if spread is not None and not job.get("detail") and spans.splits(recording, spans.workers_of(spread["jobs"], client),
                                               spread.get("span_seconds"), client is not None):
            # One long recording, alone in the run: in spans side by side, their results joined span by span
            # and handed on as the serial run's blocks would be (see spans.Joined).
            joined = spans.Joined(recording, jobs=spread["jobs"], client=client,
                                  span_seconds=spread.get("span_seconds"), sample_rate=sample_rate, **options)
        while True:
            if joined is not None:
                pipeline, ctx = joined, joined.ctx
            else:
                pipeline = analysis.stream(recording, **options)
                ctx = pipeline.ctx
            summary = Summary()
            consumers = [summary]
            folder = job.get("folder")
            tables = None
            if folder:
                digest = report.Digest(ctx)
                tables = report.Tables(ctx, folder)
                consumers += [tables, digest]
                if job.get("detail"):
                    consumers.append(report.Detail(ctx, os.path.join(folder, "detail.h5")))
            if joined is not None:
                joined.tables, joined.assess = tables, bool(assess)
            gather = None
            try:
                for block in pipeline:
                    if assess and gather is None:
                        from .en50160 import Gather

                        gather = Gather(ctx)
                        consumers.append(gather)
                    for consumer in consumers:
                        consumer.process(block)
            except spans.Rerun:
                # The spans could not be joined into the serial run's results: on one core, the tables again.
                for table in (tables.files.values() if tables is not None else ()):
                    table.close()
                joined = None
                continue
            break
        row = summary.row(ctx, options.get("declared_voltage"))
        if assess:
            row.update(_assessment(gather, assess, folder, job["path"]))
        events = summary.tables()["events"]
        starts = [str(text) for text in report.clock_texts(ctx.recording, events["startTime"])]
        if folder:
            with open(os.path.join(folder, "summary.txt"), "w") as f:
                f.write("\n".join(digest.lines()) + "\n")
    except Exception as error:  # noqa: BLE001 - any fault of one recording is its row's, not the run's
        row.update(status="error", error=_message(error))
    return {"row": row, "events": events, "starts": starts}


def _failed(message):
    row = _empty_row()
    row.update(status="error", error=message)
    return {"row": row, "events": np.zeros(0, analysis.EVENT_DTYPE), "starts": []}


# --- Executors --------------------------------------------------------------------------------------------------------

def _serial(jobs, done):
    for k, job in enumerate(jobs):
        done(k, analyze_one(job))


def _processes(jobs, workers, done, task=analyze_one):
    import multiprocessing
    from concurrent.futures import ProcessPoolExecutor, as_completed
    from concurrent.futures.process import BrokenProcessPool

    # fork: the workers inherit the imported package and sys.path, and a
    # caller's script is not run again in them.
    context = multiprocessing.get_context("fork") if "fork" in multiprocessing.get_all_start_methods() else None
    lost = []
    with ProcessPoolExecutor(max_workers=workers, mp_context=context) as pool:
        futures = {pool.submit(task, job): k for k, job in enumerate(jobs)}
        for future in as_completed(futures):
            try:
                done(futures[future], future.result())
            except BrokenProcessPool:
                lost.append(futures[future])
    for k in sorted(lost):
        with ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
            try:
                done(k, pool.submit(task, jobs[k]).result())
            except BrokenProcessPool:
                done(k, _failed("the worker process ended abruptly while analysing it (out of memory?)"))


def _dask(jobs, client, done):
    from distributed import as_completed

    futures = client.map(analyze_one, jobs, pure=False)
    index = {future.key: k for k, future in enumerate(futures)}
    for future in as_completed(futures, loop=client.loop):
        k = index[future.key]
        try:
            done(k, future.result())
        except Exception as error:  # noqa: BLE001 - the cluster's failure of one task is that recording's row
            hint = (" (start dask-worker where `import powerquality` works, e.g. with PYTHONPATH set)"
                    if isinstance(error, ImportError) else "")
            done(k, _failed(f"the task failed on the cluster: {type(error).__name__}: {error}{hint}"))
        future.release()


# The files of a TLS cluster's credentials, under the names that a scheduler
# file of PrivateCluster has beside it (and that the command line's options
# take): the authority that signed the scheduler's and the workers'
# certificates, this side's certificate, and its key.
CREDENTIALS = (("ca_file", "tls-ca.pem"), ("cert", "tls-cert.pem"), ("key", "tls-key.pem"))
TLS_OPTIONS = {"ca_file": "--tls-ca-file", "cert": "--tls-cert", "key": "--tls-key"}


def _scheduler_address(path):
    """The address written in a scheduler file ('' when it has none)."""
    import json

    try:
        with open(path) as f:
            address = json.load(f).get("address", "")
    except (OSError, ValueError, AttributeError) as error:
        raise FleetError(f"{path}: not a readable scheduler file ({error})") from None
    return address if isinstance(address, str) else ""


def client_security(credentials, labels=None):
    """The distributed.Security of a client of a TLS cluster, from {'ca_file', 'cert', 'key'} (paths, PEM).

    Each file is read here, so that a missing or unreadable one is a
    FleetError naming it (and its option: labels maps 'ca_file', 'cert',
    'key' to the command line's names), not a failure deep in a connection.
    Encryption is required: with it, the client refuses a plain tcp://
    scheduler.
    """
    import distributed

    if isinstance(credentials, distributed.Security):
        return credentials
    names = dict(CREDENTIALS)
    if not isinstance(credentials, dict) or set(credentials) != set(names) or \
            not all(isinstance(v, (str, os.PathLike)) for v in credentials.values()):
        raise FleetError(f"security: a distributed.Security or the files {', '.join(names)} of the cluster's TLS "
                         f"credentials, not {credentials!r}")
    paths = {name: os.fspath(credentials[name]) for name in names}
    for name, path in paths.items():
        label = (labels or {}).get(name, f"security {name!r}")
        try:
            with open(path, "rb") as f:
                text = f.read(1 << 20)
        except OSError as error:
            raise FleetError(f"{label} {path}: cannot read it ({error.strerror})") from None
        if b"-----BEGIN " not in text:
            raise FleetError(f"{label} {path}: not a PEM file")
    return distributed.Security(require_encryption=True, tls_ca_file=paths["ca_file"],
                                tls_client_cert=paths["cert"], tls_client_key=paths["key"])


def _credentials_beside(path):
    """The credentials that a PrivateCluster keeps beside its scheduler file, or None."""
    folder = os.path.dirname(os.path.abspath(path))
    found = {name: os.path.join(folder, file) for name, file in CREDENTIALS}
    return found if all(os.path.isfile(p) for p in found.values()) else None


def connect(address, timeout=30, security=None, labels=None):
    """A distributed.Client of the scheduler at address or of a scheduler file.

    address: ``tls://host:port`` or ``tcp://host:port`` (``host:port`` is
    tcp), or the file that ``dask-scheduler --scheduler-file`` writes.
    security: for a TLS scheduler, a distributed.Security or a dict of the
    files ``ca_file``, ``cert`` and ``key`` (:func:`client_security`). Without it
    a scheduler file takes the credentials beside it (tls-ca.pem,
    tls-cert.pem, tls-key.pem, as PrivateCluster writes them), and else
    Dask's configuration (``distributed.comm.tls.*``) is used; a TLS
    address with none of these is refused here, not after a timeout.
    """
    try:
        import distributed
    except ImportError as error:
        raise FleetError("a Dask cluster needs the Python package distributed "
                         f"(Debian: apt-get install python3-distributed): {error}") from None
    address = os.fspath(address)
    is_file = os.path.isfile(address)
    if not is_file and "://" not in address and ":" not in address:
        raise FleetError(f"{address}: neither a scheduler address (tls://host:8786) nor a scheduler file")
    target = _scheduler_address(address) if is_file else address
    if security is None and is_file:
        security = _credentials_beside(address)
    if security is not None:
        security = client_security(security, labels)
        if not target.startswith("tls://"):
            raise FleetError(f"{address}: not a TLS scheduler ({target or 'no address'}), but TLS credentials "
                             "are given: every connection must then be TLS (tls://host:port)")
    elif target.startswith("tls://"):
        configured = distributed.Security()
        if not (configured.tls_ca_file and configured.tls_client_cert):
            raise FleetError(f"{address}: a TLS scheduler; give the cluster's credentials "
                             "(--tls-ca-file, --tls-cert, --tls-key, or Dask's distributed.comm.tls configuration)")
    try:
        if is_file:
            return distributed.Client(scheduler_file=address, timeout=timeout, set_as_default=False,
                                      security=security)
        return distributed.Client(address, timeout=timeout, set_as_default=False, security=security)
    except (OSError, TimeoutError, ValueError, TypeError, RuntimeError) as error:
        raise FleetError(f"cannot reach the Dask scheduler at {address}: {error}") from None


# --- Runs and tables --------------------------------------------------------------------------------------------------

def _table(rows, dtype):
    """A structured array of dict rows; text fields as wide as their longest value."""
    fields = []
    for name, kind in dtype:
        if kind == "U":
            kind = f"U{max([1] + [len(str(r[name])) for r in rows])}"
        fields.append((name, kind))
    return np.array([tuple(r[name] for name, _ in fields) for r in rows], dtype=fields)


def run(names, *, jobs=1, client=None, security=None, out=None, detail=False, progress=None, en50160=None,
        index=None, span_seconds=None, **options):
    """Find the recordings that names stand for and analyse each; see :func:`analyze_many` (``index``: the index
    page that will be written, whose name no recording's folder may take).

    Returns (summary, events): structured arrays of SUMMARY_DTYPE (and with
    en50160 ASSESSMENT_DTYPE) and EVENTS_DTYPE fields.
    """
    unknown = set(options) - set(OPTIONS)
    if unknown:
        raise TypeError(f"unknown option(s): {', '.join(sorted(unknown))}")
    if client is not None and jobs not in (None, 1):
        raise FleetError("give local jobs or a Dask client, not both")
    if security is not None and not isinstance(client, (str, os.PathLike)):
        raise FleetError("security: the credentials for a client given as a scheduler address or file")
    options = {k: v for k, v in options.items() if v is not None}
    _check_options(options)
    settings = _settings(en50160)
    entries = find(names, out)
    recordings = [path for path, error in entries if error is None]
    folders = dict(zip(recordings, folder_names(recordings, top_level_names(out, index))))
    results = [None] * len(entries)
    todo, jobs_list = [], []
    for k, (path, error) in enumerate(entries):
        if error is not None:
            results[k] = _failed(error)
            continue
        todo.append(k)
        jobs_list.append({"path": os.path.abspath(path), "options": options, "detail": bool(detail and out),
                          "en50160": settings,
                          "folder": os.path.abspath(os.path.join(out, folders[path])) if out else None})
    count = [0]

    def done(j, result):
        results[todo[j]] = result
        count[0] += 1
        if progress is not None:
            progress(count[0], len(todo))

    if len(jobs_list) == 1 and (client is not None or jobs not in (None, 1)):
        # One recording alone: its spans are spread over the workers instead (a short one stays serial).
        jobs_list[0]["spans"] = {"jobs": jobs, "span_seconds": span_seconds}
        own = isinstance(client, (str, os.PathLike))
        client = connect(os.fspath(client), security=security) if own else client
        try:
            done(0, analyze_one(jobs_list[0], client))
        finally:
            if own:
                client.close()
    elif client is not None:
        own = isinstance(client, (str, os.PathLike))
        client = connect(os.fspath(client), security=security) if own else client
        try:
            _dask(jobs_list, client, done)
        finally:
            if own:
                client.close()
    elif jobs == 0 and len(jobs_list) > 1:
        _processes(jobs_list, min(len(jobs_list), os.cpu_count() or 1), done)
    elif (jobs or 1) > 1 and len(jobs_list) > 1:
        _processes(jobs_list, jobs, done)
    else:
        _serial(jobs_list, done)

    rows, events = [], []
    for (path, error), result in zip(entries, results):
        row = dict(result["row"], path=path, folder=folders.get(path, "") if out else "")
        rows.append(row)
        for e, start in zip(result["events"], result["starts"]):
            events.append(dict(zip(e.dtype.names, e.tolist()), path=path, start=start))
    return _table(rows, SUMMARY_DTYPE + (ASSESSMENT_DTYPE if en50160 else [])), _table(events, EVENTS_DTYPE)


def _check_options(options):
    """The options every recording gets, refused (ValueError naming the option) before any is analysed."""
    from .recording import check_rate

    for name, kind in (("sample_rate", "sample rate"), ("nominal_frequency", "line frequency"),
                       ("fixed_frequency", "line frequency")):
        if name in options:
            check_rate(options[name], name, kind)
    for name in ("declared_voltage", "rvc_threshold"):
        if name in options:
            analysis._positive(options[name], name)
    if "time_zone" in options:
        from .recording import check_time_zone

        check_time_zone(options["time_zone"])


def _settings(en50160):
    """What a task needs of the assessment's settings (plain data, sent to the workers), or None."""
    if not en50160:
        return None
    unknown = set(en50160) - {"level", "system", "limits", "limits_file", "report", "assessment", "site",
                              "operator"}
    if unknown:
        raise TypeError(f"unknown en50160 setting(s): {', '.join(sorted(unknown))}")
    from .en50160 import LIMITS, check_limits

    level, system = en50160.get("level", "LV"), en50160.get("system", "synchronous")
    if level not in LIMITS or system not in ("synchronous", "island"):
        raise ValueError(f"en50160: level 'LV' or 'MV' and system 'synchronous' or 'island', not {level!r} and "
                         f"{system!r}")
    if en50160.get("limits") is not None:
        check_limits(en50160["limits"], "en50160 limits")
    for key in ("report", "assessment"):
        name = en50160.get(key)
        if name and os.path.basename(name) != name:
            raise ValueError(f"en50160 {key} {name!r}: a file name, written into each recording's folder")
    return {k: v for k, v in en50160.items() if k != "limits_file"}


def analyze_many(paths, *, jobs=1, client=None, security=None, out=None, detail=False, progress=None,
                 as_pandas=False, with_events=False, en50160=None, index="report.html", span_seconds=None,
                 **options):
    """Analyse many recordings: serially, on local worker processes, or on a Dask cluster.

    Parameters
    ----------
    paths : str or list of str
        Recordings, folders (searched at any depth) and glob patterns.
    jobs : int
        Local worker processes (1: this process; 0: one per processor). A recording found alone is instead cut
        into spans at 10-minute ticks of its clock, analysed side by side on them (or on ``client``) and
        joined into the serial run's results (see ``spans``, which says within what); one shorter than two
        spans stays serial.
    span_seconds : float, optional
        The length of those spans (default: the recording over the local processes, or over twice the
        cluster's threads; an hour at least).
    client : distributed.Client or str, optional
        Run on this Dask cluster instead: a client, a scheduler address
        (``tls://host:8786``, ``tcp://host:8786``) or a scheduler file. The
        workers read the recordings (and write to ``out``) under the same
        paths as here.
    security : distributed.Security or dict, optional
        With ``client`` an address or a scheduler file: the credentials of
        a TLS cluster, a Security or the files ``{'ca_file': ..., 'cert':
        ..., 'key': ...}`` (PEM). Without it a scheduler file takes the
        files beside it that PrivateCluster writes (tls-ca.pem, tls-cert.pem,
        tls-key.pem), else Dask's ``distributed.comm.tls`` configuration.
    out : str, optional
        Folder for one sub-folder of tables per recording, ``summary.csv``
        and ``events.csv``.
    detail : bool
        Also write each recording's detail.h5 (needs h5py and ``out``).
    en50160 : dict, optional
        Assess each recording against EN 50160: ``level`` ('LV', 'MV'),
        ``system`` ('synchronous', 'island'), ``limits`` (as
        ``en50160.limits_for`` returns them), and with ``out`` the file
        names ``report`` (HTML) and ``assessment`` (JSON) to write into each
        recording's folder; ``site`` and ``operator``, text each report
        names (the site instead of the station its file names). The summary
        gets ASSESSMENT_DTYPE's columns.
    index : str
        With ``out`` and an en50160 ``report``: the index page, in ``out``
        when a bare file name.
    progress : callable(done, total), optional
        Called as each recording is finished.
    as_pandas : bool
        Return pandas DataFrames instead of structured arrays.
    with_events : bool
        Return (summary, events) instead of the summary alone.
    **options
        Passed to every recording: sample_rate, nominal_frequency,
        declared_voltage, voltage_channels, current_channels,
        fixed_frequency, rvc_threshold, and time_zone (the offset of
        recorders' clocks whose files give none, or overrule theirs:
        +02:00 or a name such as Europe/Paris; ``Recording.set_clock``).

    Returns
    -------
    summary : ndarray of SUMMARY_DTYPE fields (one row per recording found, in order)
    events : ndarray of EVENTS_DTYPE fields, with ``with_events``

    Raises
    ------
    ValueError
        Before any recording is searched for: an option out of its range
        (``recording.check_rate``), limits that are not limits
        (``en50160.check_limits``).
    OSError
        With ``out``: summary.csv, events.csv or the index page could not
        be written (the others were).

    Examples
    --------
    >>> import powerquality as pq
    >>> s = pq.analyze_many(["no-such-folder/*.cfg"])
    >>> s["status"][0], s["error"][0]
    ('error', 'no-such-folder/*.cfg: no recording matches')
    """
    reports = bool(out and en50160 and en50160.get("report"))
    summary, events = run(paths, jobs=jobs, client=client, security=security, out=out, detail=detail,
                          progress=progress, en50160=en50160, index=index if reports else None,
                          span_seconds=span_seconds, **options)
    if out:
        failed = [message for _, message in write(summary, events, out) if message]
        if reports:
            try:
                write_index(summary, out, index, en50160)
            except OSError as error:
                failed.append(f"{index}: cannot be written ({error.strerror or error})")
        if failed:
            raise OSError("; ".join(failed))
    if as_pandas:
        import pandas as pd

        summary, events = pd.DataFrame(summary), pd.DataFrame(events)
    return (summary, events) if with_events else summary


def _csv(table, path):
    """The table as CSV: numbers as the per-recording tables write them, NaN and counts of -1 as empty fields,
    text as ``report.csv_fields`` writes it (never as a formula a spreadsheet would evaluate)."""
    from .report import csv_fields, write_fields

    columns = []
    for name in table.dtype.names:
        values = table[name]
        if values.dtype.kind == "f":
            text = np.char.mod("%.10g", values).astype(object)
            text[~np.isfinite(values)] = ""
        elif values.dtype.kind == "b":
            text = values.astype(np.int64).astype(str).astype(object)
        elif values.dtype.kind in "iu":
            text = values.astype(str).astype(object)
            text[values < 0] = ""
        else:
            text = csv_fields(values)
        columns.append(text)
    with open(path, "w", newline="") as f:
        write_fields(f, [csv_fields(np.array([name])) for name in table.dtype.names])
        write_fields(f, columns)
    return path


def write(summary, events, out):
    """summary.csv and events.csv (event type and phases as words, as in each recording's events.csv) in out.

    Each is written on its own, so that one that cannot be written (its name taken by a folder, a full disk)
    does not keep the other from being written; returns [(path, None when written, else the message)]."""
    from .report import _phases

    os.makedirs(out, exist_ok=True)
    readable = events.astype([(n, "U16" if n in ("type", "phases") else events.dtype[n]) for n in events.dtype.names])
    readable["type"] = [analysis.EVENT_TYPES.get(int(t), str(t)) for t in events["type"]]
    readable["phases"] = [_phases(int(m)) for m in events["phases"]]
    tables = {"summary.csv": summary, "events.csv": readable}
    written = []
    for name in OUTPUTS:
        path = os.path.join(out, name)
        try:
            _csv(tables[name], path)
            written.append((path, None))
        except OSError as error:
            written.append((path, f"{path}: cannot be written ({error.strerror or error})"))
    return written


def write_index(summary, out, index, en50160):
    """The index page of the recordings' reports (out/index when index is a bare file name); returns its path.

    summary: what :func:`run` returned with en50160 (whose 'report' names each recording's page)."""
    from . import htmlreport

    path = index if os.path.dirname(index) else os.path.join(out, index)
    here = os.path.dirname(os.path.abspath(path))

    def relative(*parts):
        return os.path.relpath(os.path.join(os.path.abspath(out), *parts), here)

    entries = []
    for row in summary:
        entry = {name: row[name].item() for name in summary.dtype.names}
        entry["name"] = row["folder"] or os.path.basename(row["path"])
        entry["href"] = relative(row["folder"], en50160["report"]) if row["folder"] and row["status"] == "ok" \
            else None
        entries.append(entry)
    level, system = en50160.get("level", "LV"), en50160.get("system", "synchronous")
    limits = f"the limits of {en50160['limits_file']} over EN 50160's" if en50160.get("limits_file") \
        else "EN 50160's limits"
    return htmlreport.write_index(path, entries, title="EN 50160 reports",
                                  settings=f"EN 50160, {level} network, {system} system; {limits}.",
                                  links=[(name, relative(name)) for name in ("summary.csv", "events.csv")])


# --- The command line -------------------------------------------------------------------------------------------------

def _line(row):
    if row["status"] != "ok":
        return f"error {row['path']}: {row['error']}"
    return (f"ok    {row['path']}: {row['duration']:.3f} s, {row['dips']} dip(s), {row['swells']} swell(s), "
            f"{row['interruptions']} interruption(s), {row['rvcs']} RVC(s)"
            + (f", EN 50160 {row['verdict']}" if "verdict" in row.dtype.names else ""))


def command(args):
    """analyze with several recordings; exit status 1 when any failed, 2 when the run cannot start."""
    options = dict(sample_rate=args.rate, nominal_frequency=args.nominal, declared_voltage=args.udin,
                   voltage_channels=args.voltages.split(",") if args.voltages else None,
                   current_channels=args.currents.split(",") if args.currents else None,
                   fixed_frequency=args.fixed_frequency, rvc_threshold=args.rvc_threshold,
                   time_zone=getattr(args, "timezone", None))
    jobs = 1 if args.jobs is None else args.jobs
    tty = sys.stderr.isatty() and not args.quiet
    en50160 = None
    if args.report or args.assessment:
        from .en50160 import limits_for

        try:
            limits = limits_for(args.level, args.limits)
        except (OSError, ValueError) as error:
            print(f"powerquality: {error}", file=sys.stderr)
            return 2
        en50160 = {"level": args.level, "system": args.system, "limits": limits, "limits_file": args.limits,
                   "report": os.path.basename(args.report) if args.report else None,
                   "assessment": args.assessment, "site": getattr(args, "site", None),
                   "operator": getattr(args, "operator", None)}

    def progress(done, total):
        if tty:
            sys.stderr.write(f"\ranalyze: {done} of {total} recordings" + ("\n" if done == total else ""))
            sys.stderr.flush()

    try:
        credentials = dict(ca_file=args.tls_ca_file, cert=args.tls_cert, key=args.tls_key) if args.tls_cert else None
        client = connect(args.scheduler, security=credentials, labels=TLS_OPTIONS) if args.scheduler else None
    except FleetError as error:
        print(f"powerquality: {error}", file=sys.stderr)
        return 2
    try:
        summary, events = run(args.recording, jobs=jobs, client=client, out=args.out, detail=args.detail,
                              progress=progress, en50160=en50160, index=args.report,
                              span_seconds=getattr(args, "span_seconds", None), **options)
    finally:
        if client is not None:
            client.close()
    # The summary on stdout; with --quiet only the recordings that failed, on stderr, as errors are.
    for row in summary:
        if not args.quiet:
            print(_line(row))
        elif row["status"] != "ok":
            print(f"powerquality: {row['path']}: {row['error']}", file=sys.stderr)
    failed = int(np.count_nonzero(summary["status"] != "ok"))
    if not args.quiet:
        print(f"{len(summary)} recording(s): {len(summary) - failed} analysed, {failed} failed, "
              f"{len(events)} event(s)")
    unwritten = 0
    if args.out:
        for path, message in write(summary, events, args.out):
            if message is not None:
                print(f"powerquality: {message}", file=sys.stderr)
            elif not args.quiet:
                print(f"wrote {path}")
            unwritten += message is not None
        if args.report:
            try:
                index = write_index(summary, args.out, args.report, en50160)
                if not args.quiet:
                    print(f"wrote {index}")
            except OSError as error:
                print(f"powerquality: {args.report}: cannot be written ({error.strerror or error})", file=sys.stderr)
                unwritten += 1
    return 1 if failed or unwritten else 0


# --- A local cluster, for trying things out and for the tests ---------------------------------------------------------

def _readable_json(path):
    """Whether the file is there and whole (the scheduler writes it while it starts)."""
    import json

    try:
        with open(path) as f:
            json.load(f)
        return True
    except (OSError, ValueError):
        return False


def _last_line(path):
    """The last line of the cluster's log that says something, for a start that failed."""
    try:
        with open(path, errors="replace") as f:
            lines = [line.strip() for line in f if line.strip()]
    except OSError:
        lines = []
    return lines[-1] if lines else "nothing in its log"


def _write_private(path, data):
    """A new file that only this user can read: created 0600, never through an existing file or link."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_NOFOLLOW", 0), 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


def write_credentials(folder, days=365):
    """A self-signed certificate (its own authority) and its key, written into folder as CREDENTIALS names them.

    An ECDSA P-256 key, made anew each time, so nothing but these files
    admits to the cluster. The files are 0600; folder should be readable by
    this user only (PrivateCluster makes it with tempfile.mkdtemp). Returns
    {'ca_file', 'cert', 'key'}: their paths.
    """
    import datetime

    try:
        from cryptography import x509
        from cryptography.hazmat.primitives import hashes, serialization
        from cryptography.hazmat.primitives.asymmetric import ec
        from cryptography.x509.oid import NameOID
    except ImportError as error:
        raise FleetError("a private cluster's certificate needs the Python package cryptography "
                         f"(Debian: apt-get install python3-cryptography): {error}") from None
    key = ec.generate_private_key(ec.SECP256R1())
    name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "powerquality local cluster")])
    now = datetime.datetime.now(datetime.timezone.utc)
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(x509.random_serial_number())
                   .not_valid_before(now - datetime.timedelta(minutes=5))
                   .not_valid_after(now + datetime.timedelta(days=days))
                   .add_extension(x509.BasicConstraints(ca=True, path_length=0), critical=True)
                   .sign(key, hashes.SHA256()))
    pem = certificate.public_bytes(serialization.Encoding.PEM)
    contents = {"ca_file": pem, "cert": pem,
                "key": key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                         serialization.NoEncryption())}
    paths = {}
    for name, file in CREDENTIALS:
        paths[name] = os.path.join(folder, file)
        _write_private(paths[name], contents[name])
    return paths


# Dask's configuration for the cluster's processes: every connection
# encrypted, and no pages on the HTTP servers that the scheduler and each
# worker start whatever --no-dashboard says (they are bound to 127.0.0.1
# on a free port by --dashboard-address; this leaves them nothing to show).
CLUSTER_ENVIRONMENT = {"DASK_DISTRIBUTED__COMM__REQUIRE_ENCRYPTION": "True",
                       "DASK_DISTRIBUTED__SCHEDULER__HTTP__ROUTES": "[]",
                       "DASK_DISTRIBUTED__WORKER__HTTP__ROUTES": "[]"}


class PrivateCluster:
    """A dask-scheduler and `workers` dask-worker processes on this machine, private to the user who starts them.

    >>> with PrivateCluster(2) as scheduler_file:          # doctest: +SKIP
    ...     pq.analyze_many(paths, client=scheduler_file)

    Not Dask's ``distributed.LocalCluster``: entering it returns the path of
    the scheduler file (which :func:`analyze_many` and :func:`connect` take),
    not a cluster object. It was called ``LocalCluster`` before; that name
    is kept as a deprecated alias.

    Private: every process (scheduler, nannies, workers) and every HTTP
    server they start listens on 127.0.0.1 only, on free ports; every
    connection is TLS with both sides' certificates required (mutual TLS),
    signed by a certificate made for this cluster alone (write_credentials).
    Its key, the certificate and the scheduler file are in a folder that
    only this user can enter (0700, made by tempfile.mkdtemp under
    ``folder`` or the system's temporary folder), removed at the end. So
    another user of the machine can reach the ports but cannot submit work
    (nor read the key); this user's own processes can, as with any file of
    theirs. The returned scheduler file has the credentials beside it
    (CREDENTIALS' names), which :func:`connect` takes; ``security`` is the
    client's distributed.Security and ``credentials`` the files' paths.

    The workers are single-threaded (one recording at a time each); the
    scheduler and the workers run in this process's interpreter (that of a
    virtual environment too) and inherit its environment (PYTHONPATH among
    it), so they import the same powerquality. ``folder`` keeps the log
    (cluster.log) after the end; without it the log goes with the rest.
    """

    def __init__(self, workers=2, folder=None, timeout=60.0):
        self.workers, self.folder, self.timeout = workers, folder, timeout
        self.processes = []
        self.private = self.credentials = self.security = self.scheduler_file = None
        self._log = None

    def __enter__(self):
        import importlib.util
        import subprocess
        import sys
        import tempfile
        import time

        # The scheduler and the workers run in this interpreter (a virtual
        # environment's too), so they import the powerquality it imports.
        if importlib.util.find_spec("distributed") is None:
            raise FleetError("Dask's distributed is not installed (Debian: apt-get install python3-distributed)")
        self.private = tempfile.mkdtemp(prefix="powerquality-cluster-", dir=self.folder)
        try:
            self.credentials = write_credentials(self.private)
            self.security = client_security(self.credentials)
            self.scheduler_file = os.path.join(self.private, "scheduler.json")
            log = os.path.join(self.folder or self.private, "cluster.log")
            self._log = open(log, "ab")
            tls = ["--protocol", "tls", "--host", "127.0.0.1", "--dashboard-address", "127.0.0.1:0",
                   "--no-dashboard", "--tls-ca-file", self.credentials["ca_file"],
                   "--tls-cert", self.credentials["cert"], "--tls-key", self.credentials["key"]]
            quiet = dict(stdout=subprocess.DEVNULL, stderr=self._log, env=dict(os.environ, **CLUSTER_ENVIRONMENT))
            self.processes.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_scheduler", *tls, "--port", "0",
                 "--scheduler-file", self.scheduler_file], **quiet))
            deadline = time.monotonic() + self.timeout
            while not _readable_json(self.scheduler_file):
                if time.monotonic() > deadline or self.processes[0].poll() is not None:
                    raise FleetError(f"the dask-scheduler did not start: {_last_line(log)}"
                                     + (f" (see {log})" if self.folder else ""))
                time.sleep(0.1)
            for _ in range(self.workers):
                self.processes.append(subprocess.Popen(
                    [sys.executable, "-m", "distributed.cli.dask_worker", *tls, "--scheduler-file",
                     self.scheduler_file, "--nthreads", "1", "--local-directory", self.private], **quiet))
            client = connect(self.scheduler_file, timeout=self.timeout)
            try:
                client.wait_for_workers(self.workers, timeout=self.timeout)
            finally:
                client.close()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self.scheduler_file

    def __exit__(self, *exc):
        import shutil

        for process in reversed(self.processes):
            process.terminate()
        for process in reversed(self.processes):
            try:
                process.wait(timeout=30)
            except Exception:  # noqa: BLE001 - a process that does not end on TERM is killed
                process.kill()
                process.wait()
        self.processes = []
        if self._log is not None:
            self._log.close()
            self._log = None
        if self.private is not None:
            shutil.rmtree(self.private, ignore_errors=True)
            self.private = None


class LocalCluster(PrivateCluster):
    """Deprecated name of :class:`PrivateCluster` (it read as Dask's ``LocalCluster``, which it is not)."""

    def __init__(self, workers=2, folder=None, timeout=60.0):
        import warnings

        warnings.warn("powerquality.fleet.LocalCluster is now PrivateCluster (it is not Dask's LocalCluster: it "
                      "returns a scheduler file); the old name will go", DeprecationWarning, stacklevel=2)
        super().__init__(workers, folder, timeout)
