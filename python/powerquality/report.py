"""Summary text, CSV tables and the report picture of an Analysis."""

import csv
import os

import numpy as np

from .analysis import EVENT_TYPES, flatten, start_datetime

PHASE_NAMES = "ABC"
_EVENT_COLOURS = {1: "tab:orange", 2: "tab:red", 3: "tab:purple"}


def _phases(mask):
    return ",".join(PHASE_NAMES[p] for p in range(3) if mask & (1 << p)) or "-"


def _range(values, unit, scale=1.0):
    values = values[np.isfinite(values)]
    if values.size == 0:
        return "-"
    return f"{values.min() * scale:.6g} .. {values.max() * scale:.6g} {unit}"


def summary(a):
    """The summary printed by the command line, as a list of lines."""
    r = a.recording
    lines = [
        f"recording   {r.source}: {len(r.channels)} analog channels, {a.sample_rate:g} Hz, "
        f"{r.samples} samples ({r.duration:.3f} s), nominal {a.nominal_frequency:g} Hz"
        + (f", start {r.start}" if r.start else ""),
        f"channels    {a.grid} voltages {', '.join(a.voltages)}"
        + (f"; currents {', '.join(a.currents)}" if a.currents else "; no currents"),
    ]
    f = a.frequency
    flagged = int(np.count_nonzero(~f["valid"])) if len(f) else 0
    lines.append(f"frequency   {_range(f['frequency'][f['valid']], 'Hz')} ({len(f)} cycles"
                 + (f"; {flagged} flagged, near the ends or without a reference, left out)" if flagged else ")"))
    for k, name in enumerate(a.voltages):
        lines.append(f"RMS U {PHASE_NAMES[k] if len(a.voltages) > 1 else ' '}     {name}: "
                     f"{_range(a.phase_rows(k)['rmsVoltage'], 'V')}")
    for k, name in enumerate(a.currents):
        lines.append(f"RMS I {PHASE_NAMES[k] if len(a.currents) > 1 else ' '}     {name}: "
                     f"{_range(a.phase_rows(k)['rmsCurrent'], 'A')}")
    lines.append(f"events      {len(a.events)} (Udin {a.declared_voltage:.6g} V; dip < 90 %, swell > 110 %, "
                 "interruption < 5 %)")
    for e in a.events:
        state = "" if e["ended"] else " (still running at the end)"
        lines.append(f"  {EVENT_TYPES[int(e['type'])]:<12} phases {_phases(int(e['phases'])):<6} at "
                     f"{e['startTime']:.4f} s for {e['duration'] * 1000:.1f} ms, extreme {e['extremeVoltage']:.6g} V "
                     f"({e['extremePercent']:.1f} % of Udin){state}")
    lines.append(f"RVC         {len(a.rvc)} rapid voltage change(s)")
    for e in a.rvc:
        lines.append(f"  at {e['startTime']:.4f} s, duration {e['duration'] * 1000:.1f} ms, "
                     f"dUmax {e['deltaUmax']:.6g} V, dUss {e['deltaUss']:.6g} V"
                     + ("" if e["ended"] else " (still running at the end)"))
    if a.windowed is not None and len(a.windowed):
        thd = _thd(a)
        lines.append(f"THD U       {_range(thd, '%')} over {len(a.windowed)} windows")
    else:
        lines.append("THD         no windowed results in this build")
    if getattr(a, "aggregated", None) is not None:
        short, ten = a.aggregated["3s"], a.aggregated["10min"]
        cycles = 180 if a.nominal_frequency > 55.0 else 150
        lines.append(f"aggregated  {len(short)} {cycles}-cycle interval(s), {int(np.count_nonzero(short['complete']))} "
                     f"of them whole, {int(np.count_nonzero(short['flagged']))} flagged; {len(ten)} 10-minute "
                     f"interval(s), {int(np.count_nonzero(ten['complete']))} whole, "
                     f"{int(np.count_nonzero(ten['flagged']))} flagged")
    return lines


def _thd(a):
    """THD of the voltage per window, the highest among the phases, percent."""
    phases = len(a.voltages)
    return np.max(np.stack([a.windowed["phases"][:, k]["thdVoltage"]["thd"] for k in range(phases)]), axis=0)


def _start(a):
    """The recording's start as a datetime, when the file says it readably."""
    return start_datetime(a.recording)


# Period record fields that analyze's configuration does not produce, or
# that only the total record carries: left out of period.csv.
_NOT_PRODUCED = ("reserved", "rmsLineToLine", "rvcLineToLineVoltage.", "symmetricalComponent.lineToLineVoltage",
                 "symmetricalComponent.voltageRms", "symmetricalComponent.currentRms",
                 "symmetricalComponent.voltageUnbalance", "symmetricalComponent.currentUnbalance",
                 "symmetricalComponent.voltageRmsUnbalance", "symmetricalComponent.currentRmsUnbalance")
_CURRENT_FIELDS = ("rmsCurrent", "activePower", "nonActivePower", "apparentPower", "powerFactor",
                   "fundamentalCurrent", "fundamentalActivePower", "fundamentalReactivePower",
                   "fundamentalApparentPower", "fundamentalPhaseAngle", "symmetricalComponent.current",
                   "symmetricalComponent.activePower", "symmetricalComponent.reactivePower",
                   "symmetricalComponent.apparentPower", "symmetricalComponent.activeCurrent",
                   "symmetricalComponent.reactiveCurrent", "symmetricalComponent.powerFactor")


def _period_columns(a, columns):
    drop = list(_NOT_PRODUCED)
    if not a.currents:
        drop += list(_CURRENT_FIELDS)
    if a.grid == "single":
        drop.append("symmetricalComponent.")
    out = {k: v for k, v in columns.items() if not any(k.startswith(d) for d in drop)}
    # The sequence components lie one per record: zero in the total row,
    # positive in phase A's, negative in phase B's; phase C's row has none.
    for k in out:
        if k.startswith("symmetricalComponent."):
            out[k] = np.where(a.period["phase"] <= 1, out[k], np.nan)
    # Only the total record (phase -1) has the sum of the phases' reactive powers.
    if "fundamentalReactivePowerSum" in out:
        out["fundamentalReactivePowerSum"] = np.where(a.period["phase"] == -1, out["fundamentalReactivePowerSum"],
                                                      np.nan)
    return out


# Per phase slot of a windowed record: the fields written to windowed.csv.
_WINDOW_FIELDS = ("dcVoltage", "rmsVoltage", "fundamentalVoltage", "rmsCurrent", "fundamentalCurrent",
                  "activePower", "reactivePower", "apparentPower", "powerFactor", "displacementPowerFactor",
                  "thdVoltage.thd", "thdCurrent.thd")


def _windowed_columns(a):
    """windowed.csv: the window, then per phase (A, B, C, total) its main
    values, then the unbalance ratios u2 and u0 (percent) on three phases."""
    w = a.windowed
    columns = {name: w[name] for name in ("time", "frequency", "firstSampleIndex", "length")}
    phases = len(a.voltages)
    slots = [(k, PHASE_NAMES[k] if phases > 1 else "") for k in range(phases)]
    if phases > 1:
        slots.append((phases, "total"))
    for slot, label in slots:
        block = w["phases"][:, slot]
        for field in _WINDOW_FIELDS:
            if not a.currents and ("Current" in field or "Power" in field):
                continue
            if label == "total" and field.startswith("thd"):
                continue  # distortion is a per-waveform figure
            value = block
            for part in field.split("."):
                value = value[part]
            columns[f"{label}.{field}" if label else field] = value
    if phases == 3:
        columns["u2"] = w["symmetricalComponents"][:, 2]["voltageUnbalance"]
        columns["u0"] = w["symmetricalComponents"][:, 0]["voltageUnbalance"]
    return columns


def _iso(start, seconds):
    import datetime

    return np.array([(start + datetime.timedelta(seconds=float(t))).isoformat() for t in seconds], dtype=object)


def write_tables(a, directory):
    """period.csv, frequency.csv, rvc.csv, events.csv (with windows: windowed.csv, aggregated_3s.csv and
    aggregated_10min.csv) in directory; returns their paths.

    Times are seconds from the first sample; events and RVC rows also carry
    the ISO date and time of their start, and aggregated rows their time tag
    ('tag'), when the recording gives its own start.
    """
    os.makedirs(directory, exist_ok=True)
    written = []
    start = _start(a)
    for name, table in a.tables().items():
        columns = flatten(table)
        if name == "period":
            columns = _period_columns(a, columns)
        if name == "windowed":
            columns = _windowed_columns(a)
        if name in ("events", "rvc") and start is not None:
            columns = dict(columns)
            columns["start"] = _iso(start, table["startTime"])
        if name.startswith("aggregated_") and start is not None:
            # The time tag of an aggregated value: the end of its last window,
            # or for a 10-minute value the tick that ends its interval.
            columns = dict(columns)
            columns["tag"] = _iso(start, table["tagTime"] if name == "aggregated_10min" else table["endTime"])
        if name == "events":
            columns["type"] = np.array([EVENT_TYPES.get(int(t), str(t)) for t in table["type"]], dtype=object)
            columns["phases"] = np.array([_phases(int(m)) for m in table["phases"]], dtype=object)
        path = os.path.join(directory, name + ".csv")
        with open(path, "w", newline="") as f:
            out = csv.writer(f)
            out.writerow(list(columns))
            data = [c.tolist() for c in columns.values()]
            for row in zip(*data):
                out.writerow([f"{v:.10g}" if isinstance(v, float) else (int(v) if isinstance(v, bool) else v)
                              for v in row])
        written.append(path)
    return written


def plot(a, path):
    """The report picture: RMS per phase with events shaded, frequency, THD, worst spectrum."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(4, 1, figsize=(11, 12), constrained_layout=True)
    title = os.path.basename(a.recording.source) or "arrays"
    fig.suptitle(f"{title}: {a.grid}, {a.sample_rate:g} Hz, {a.recording.duration:.2f} s", fontsize=13)

    ax = axes[0]
    for k, name in enumerate(a.voltages):
        rows = a.phase_rows(k)
        ax.plot(rows["time"], rows["rmsVoltage"], lw=1, label=f"{name}")
    ax.axhline(a.declared_voltage, color="grey", lw=0.8, ls=":", label=f"Udin {a.declared_voltage:.5g} V")
    seen = set()
    for e in a.events:
        kind = int(e["type"])
        label = EVENT_TYPES[kind] if kind not in seen else None
        seen.add(kind)
        ax.axvspan(e["startTime"], e["startTime"] + max(e["duration"], 1e-3), color=_EVENT_COLOURS[kind],
                   alpha=0.25, label=label)
    ax.set_ylabel("Urms(1/2) / V")
    ax.set_title("RMS voltage per phase (one cycle, every half cycle), events shaded")
    ax.legend(loc="best", fontsize=8)
    ax.grid(alpha=0.3)

    ax = axes[1]
    f = a.frequency
    ax.plot(f["time"], f["frequency"], lw=1, color="tab:green")
    if len(f) and np.any(~f["valid"]):
        ax.plot(f["time"][~f["valid"]], f["frequency"][~f["valid"]], "x", color="tab:red",
                label="flagged (recording's ends, no reference)")
        ax.legend(fontsize=8)
    ax.set_ylabel("f / Hz")
    ax.set_title("Tracked frequency per cycle")
    ax.grid(alpha=0.3)
    for ax in axes[:2]:
        ax.set_xlabel("time / s")

    ax = axes[2]
    ax3 = axes[3]
    if a.windowed is not None and len(a.windowed):
        w = a.windowed
        for k, name in enumerate(a.voltages):
            ax.plot(w["time"], w["phases"][:, k]["thdVoltage"]["thd"], lw=1, label=name)
        ax.set_ylabel("THD / %")
        ax.set_xlabel("time / s")
        ax.set_title("Voltage THD per window")
        ax.legend(fontsize=8)
        ax.grid(alpha=0.3)
        worst = int(np.argmax(_thd(a)))
        h = a.harmonics["harmonicsVoltage"][worst] if a.harmonics else None
        if h is not None and h.shape[-1] > 1:
            orders = np.arange(h.shape[-1])
            width = 0.8 / len(a.voltages)
            for k, name in enumerate(a.voltages):
                ax3.bar(orders[1:] + k * width, 100.0 * h[k, 1:] / h[k, 1], width, label=name)
            ax3.set_yscale("log")
            ax3.set_xlabel("harmonic order")
            ax3.set_ylabel("% of fundamental")
            ax3.set_title(f"Voltage harmonics of the worst window (t = {w['time'][worst]:.2f} s)")
            ax3.legend(fontsize=8)
            ax3.grid(alpha=0.3)
    else:
        for axis, what in ((ax, "THD over time"), (ax3, "harmonic spectrum of the worst window")):
            axis.text(0.5, 0.5, f"{what}: no windowed results in this build", ha="center", va="center",
                      transform=axis.transAxes, color="grey")
            axis.set_xticks([])
            axis.set_yticks([])
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path
