"""The report as one HTML file: summary tables and plotly figures, everything inlined.

Figures are plain plotly.js figure descriptions (``data`` and ``layout``),
written as JSON without plotly's Python figure classes.  Numeric arrays go in
as plotly.js typed arrays (``{"dtype", "bdata", "shape"}``, base64 of
the raw little-endian values), which is several times smaller than decimal
text and needs no formatting per value.  plotly.js itself is the bundle that
the ``plotly`` package ships, inlined, so the page needs no network.  A
Content-Security-Policy forbids every request the page could make to
anywhere but itself.
"""

from __future__ import annotations

import base64
import html
import json
import math
import warnings
from importlib import resources
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from .aggregate import RunProfile, intensity_bin_edges
from ..scan_file import Truncation

MAP_DISPLAY_COLUMNS = 1024    # the MS1 map's m/z bins on the page, at most
MAX_TRACE_POINTS = 20_000     # per chromatogram trace; longer ones show the maximum of each group of spectra
MAX_SCATTER_POINTS = 50_000   # per precursor trace; more are thinned evenly
SCAN_RATE_BINS = 120
SCANS_PER_RATE_WINDOW = 20
PEAK_COUNT_BINS_PER_DECADE = 20

_POLICY = ("default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
           "img-src data: blob:; font-src data:")
_CONFIG = {"displaylogo": False, "responsive": True}
_COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
           "#bcbd22", "#17becf"]
# Viridis, with white for bins without intensity.
_MAP_COLORS = [[0.0, "#ffffff"], [0.5 / 255, "#ffffff"], [1.0 / 255, "#440154"], [0.25, "#3b528b"],
               [0.5, "#21918c"], [0.75, "#5ec962"], [1.0, "#fde725"]]

_STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; margin: 0 auto;
       max-width: 1200px; padding: 1rem 2rem; color: #222; }
h1 { font-size: 1.5rem; margin-bottom: 0.2rem; }
h2 { font-size: 1.2rem; border-bottom: 1px solid #ccc; margin-top: 2rem; }
.byline { color: #666; margin-top: 0; }
table.summary { border-collapse: collapse; font-size: 0.9rem; }
table.summary th, table.summary td { border: 1px solid #ddd; padding: 0.25rem 0.6rem; text-align: left;
       vertical-align: top; }
table.summary thead th { background: #f4f4f4; }
table.summary tbody th { font-weight: normal; color: #555; white-space: nowrap; }
.problems { list-style: none; padding: 0; }
.problems li { border-left: 4px solid; padding: 0.3rem 0.7rem; margin: 0.3rem 0; }
.problems li.error { border-color: #c62828; background: #fdecea; }
.problems li.warning { border-color: #ef6c00; background: #fff4e5; }
.plot { width: 100%; height: 380px; }
.plot.map { height: 460px; }
.note { color: #666; font-size: 0.85rem; }
"""

_SCRIPT = """
const figures = JSON.parse(document.getElementById("figures").textContent);
const config = %s;
Promise.all(Object.entries(figures).map(([id, figure]) =>
    Plotly.newPlot(document.getElementById(id), figure.data, figure.layout, config)))
  .then(() => { document.body.dataset.plotted = String(Object.keys(figures).length); });
"""


def plotly_bundle() -> str:
    """plotly.js as the plotly package ships it."""
    return (resources.files("plotly") / "package_data" / "plotly.min.js").read_text(encoding="utf-8")


def typed(values: Any, dtype: str) -> Dict[str, str]:
    """``values`` as a plotly.js typed array of ``dtype`` (f4, f8, u1, ...)."""
    array = np.ascontiguousarray(values, dtype=np.dtype(dtype).newbyteorder("<"))
    encoded = {"dtype": dtype, "bdata": base64.b64encode(array.tobytes()).decode("ascii")}
    if array.ndim > 1:
        encoded["shape"] = ", ".join(str(n) for n in array.shape)
    return encoded


def _from_zero(title: str) -> Dict[str, Any]:
    return {"title": {"text": title}, "rangemode": "tozero"}


def _color(k: int) -> str:
    return _COLORS[k % len(_COLORS)]


def _layout(title: str, x_title: str, y_title: str, **extra: Any) -> Dict[str, Any]:
    layout = {"title": {"text": title}, "margin": {"l": 70, "r": 20, "t": 50, "b": 50},
              "xaxis": {"title": {"text": x_title}}, "yaxis": {"title": {"text": y_title}},
              "legend": {"orientation": "h", "y": -0.2}, "hovermode": "closest"}
    layout.update(extra)
    return layout


# ---------------------------------------------------------------------------
# Figure data
# ---------------------------------------------------------------------------

def chromatogram_spectra(profile: RunProfile) -> np.ndarray:
    """Positions drawn in the chromatograms: the survey spectra, or every spectrum of a run without any."""
    levels = profile.spectra["ms_level"]
    surveys = np.flatnonzero(levels == 1)
    return surveys if len(surveys) else np.arange(len(levels))


def thin_max(x: np.ndarray, y: np.ndarray, limit: int) -> Tuple[np.ndarray, np.ndarray, int]:
    """At most ``limit`` points: the mean x and the largest y of each group of consecutive points."""
    group = max(1, math.ceil(len(x) / limit))
    if group == 1:
        return x, y, 1
    pad = (-len(x)) % group
    xs = np.concatenate([x, np.full(pad, np.nan)]).reshape(-1, group)
    ys = np.concatenate([y, np.full(pad, np.nan)]).reshape(-1, group)
    # A group of spectra that were never read gives NaN, a gap in the line, without a warning.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return np.nanmean(xs, axis=1), np.nanmax(ys, axis=1), group


def _minutes(profile: RunProfile, positions: np.ndarray) -> np.ndarray:
    minutes: np.ndarray = profile.spectra["retention_time_sec"][positions] / 60.0
    return minutes


def chromatogram_figures(profiles: Sequence[RunProfile]) -> Dict[str, Dict[str, Any]]:
    tic: List[Dict[str, Any]] = []
    bpc: List[Dict[str, Any]] = []
    notes = []
    for k, profile in enumerate(profiles):
        positions = chromatogram_spectra(profile)
        rt = _minutes(profile, positions)
        line = {"color": _color(k), "width": 1.2}
        computed = profile.intensity_sum[positions]
        reported = profile.spectra["reported_tic_cps"][positions]
        x, y, group = thin_max(rt, computed, MAX_TRACE_POINTS)
        _, y_reported, _ = thin_max(rt, reported, MAX_TRACE_POINTS)
        if group > 1:
            notes.append(f"{profile.label}: largest of every {group} spectra")
        tic.append({"type": "scatter", "mode": "lines", "name": profile.label, "legendgroup": profile.label,
                    "x": typed(x, "f4"), "y": typed(y, "f4"), "line": line,
                    "hovertemplate": "%{x:.2f} min<br>TIC %{y:.4s}<extra>" + html.escape(profile.label) + "</extra>"})
        tic.append({"type": "scatter", "mode": "lines", "name": profile.label + " (reported)",
                    "legendgroup": profile.label, "x": typed(x, "f4"), "y": typed(y_reported, "f4"),
                    "line": dict(line, dash="dot", width=1), "opacity": 0.7,
                    "hovertemplate": "%{x:.2f} min<br>reported TIC %{y:.4s}<extra>"
                                     + html.escape(profile.label) + "</extra>"})
        bp_intensity = profile.base_peak_intensity[positions]
        bp_mz = profile.base_peak_mz[positions]
        if group > 1:   # the m/z of each group's largest peak
            x, y, _ = thin_max(rt, bp_intensity, MAX_TRACE_POINTS)
            bp_mz = _group_pick(bp_mz, bp_intensity, group)
        else:
            x, y = rt, bp_intensity
        bpc.append({"type": "scatter", "mode": "lines", "name": profile.label, "x": typed(x, "f4"),
                    "y": typed(y, "f4"), "customdata": typed(bp_mz, "f8"), "line": line,
                    "hovertemplate": "%{x:.2f} min<br>m/z %{customdata:.4f}<br>%{y:.4s}<extra>"
                                     + html.escape(profile.label) + "</extra>"})
    note = f" ({'; '.join(notes)})" if notes else ""
    return {
        "tic": {"data": tic, "layout": _layout("Total ion current: sum of the peaks, and as reported" + note,
                                               "retention time (min)", "intensity")},
        "bpc": {"data": bpc, "layout": _layout("Base peak" + note, "retention time (min)", "intensity")},
    }


def _group_pick(values: np.ndarray, weights: np.ndarray, group: int) -> np.ndarray:
    pad = (-len(values)) % group
    v = np.concatenate([values, np.full(pad, np.nan)]).reshape(-1, group)
    w = np.concatenate([weights, np.full(pad, np.nan)]).reshape(-1, group)
    w = np.where(np.isnan(w), -np.inf, w)
    picked: np.ndarray = v[np.arange(len(v)), np.argmax(w, axis=1)]
    return picked


def map_display(profile: RunProfile) -> Optional[Dict[str, np.ndarray]]:
    """The MS1 map cut to the columns that hold intensity, at most MAP_DISPLAY_COLUMNS wide.

    Returns the summed intensity per cell, the m/z of each column's lower
    edge and the bin width, and the mean retention time (s) of each row's
    spectra; None without survey peaks.
    """
    grid = profile.ms1_map
    used = grid.used()
    if used is None:
        return None
    first, last = used
    intensity = grid.intensity[:, first:last + 1]
    group = max(1, math.ceil(intensity.shape[1] / MAP_DISPLAY_COLUMNS))
    pad = (-intensity.shape[1]) % group
    if pad:
        intensity = np.concatenate([intensity, np.zeros((intensity.shape[0], pad))], axis=1)
    intensity = intensity.reshape(intensity.shape[0], -1, group).sum(axis=2)
    width = grid.bin_width * group
    low = grid.low_mz + first * grid.bin_width
    rows = profile.map_row
    surveys = rows >= 0
    rt = profile.spectra["retention_time_sec"][surveys]
    counts = np.bincount(rows[surveys], minlength=intensity.shape[0])
    row_rt = np.bincount(rows[surveys], weights=rt, minlength=intensity.shape[0]) / np.maximum(counts, 1)
    return {"intensity": intensity, "mz_low": low + width * np.arange(intensity.shape[1]), "bin_width": width,
            "row_rt_sec": row_rt}


def log_levels(values: np.ndarray) -> Tuple[np.ndarray, float, float]:
    """Values as levels 1-255 on a log10 scale between the smallest and largest positive value; 0 for none."""
    positive = values > 0
    if not positive.any():
        return np.zeros(values.shape, dtype=np.uint8), 0.0, 1.0
    logs = np.log10(values, where=positive, out=np.zeros_like(values))
    low, high = float(logs[positive].min()), float(logs[positive].max())
    span = max(high - low, 1e-9)
    levels = np.where(positive, 1 + np.rint(254 * (logs - low) / span), 0)
    return levels.astype(np.uint8), low, high


def map_figure(profile: RunProfile) -> Dict[str, Any]:
    shown = map_display(profile)
    layout = _layout(f"MS1 map: {profile.label}", "m/z", "retention time (min)")
    if shown is None:
        layout["annotations"] = [{"text": "no survey peaks", "showarrow": False, "x": 0.5, "y": 0.5,
                                  "xref": "paper", "yref": "paper"}]
        return {"data": [], "layout": layout}
    levels, low, high = log_levels(shown["intensity"])
    decades = list(range(math.ceil(low), math.floor(high) + 1)) or [round(low)]
    span = max(high - low, 1e-9)
    heatmap = {
        "type": "heatmap", "z": typed(levels, "u1"), "zmin": 0, "zmax": 255,
        "x": typed(shown["mz_low"] + shown["bin_width"] / 2, "f8"),
        "y": typed(shown["row_rt_sec"] / 60.0, "f4"),
        "colorscale": _MAP_COLORS, "hovertemplate": "m/z %{x:.2f}<br>%{y:.2f} min<extra></extra>",
        "colorbar": {"title": {"text": "intensity"},
                     "tickvals": [1 + 254 * (d - low) / span for d in decades],
                     "ticktext": [f"1e{d}" for d in decades]},
    }
    return {"data": [heatmap], "layout": layout}


def precursor_figure(profiles: Sequence[RunProfile]) -> Dict[str, Any]:
    traces = []
    notes = []
    for k, profile in enumerate(profiles):
        mz = profile.spectra["precursor_mz"]
        shown = np.flatnonzero((profile.spectra["ms_level"] >= 2) & np.isfinite(mz))
        step = max(1, math.ceil(len(shown) / MAX_SCATTER_POINTS))
        if step > 1:
            shown = shown[::step]
            notes.append(f"{profile.label}: every {step}th")
        traces.append({"type": "scatter", "mode": "markers", "name": profile.label,
                       "x": typed(_minutes(profile, shown), "f4"), "y": typed(mz[shown], "f8"),
                       "marker": {"color": _color(k), "size": 3, "opacity": 0.6},
                       "hovertemplate": "%{x:.2f} min<br>precursor m/z %{y:.4f}<extra>"
                                        + html.escape(profile.label) + "</extra>"})
    note = f" ({'; '.join(notes)})" if notes else ""
    return {"data": traces, "layout": _layout("Fragment spectra: precursor m/z" + note, "retention time (min)",
                                              "precursor m/z")}


def scan_rate(profile: RunProfile) -> Tuple[np.ndarray, np.ndarray]:
    """Scans per second in equal retention-time windows of SCANS_PER_RATE_WINDOW scans or more on
    average: (the windows' edges in s, the rate in each)."""
    rt = profile.spectra["retention_time_sec"]
    if len(rt) == 0:
        return np.zeros(0), np.zeros(0)
    low, high = float(rt.min()), float(rt.max())
    if high <= low:
        return np.array([low, low]), np.array([float(len(rt))])
    bins = min(SCAN_RATE_BINS, max(1, len(rt) // SCANS_PER_RATE_WINDOW))
    counts, edges = np.histogram(rt, bins=bins, range=(low, high))
    return edges, counts / np.diff(edges)


def _steps(edges: np.ndarray, values: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Points of a step line ("hv") that draws each value across its bin, the last one included."""
    return edges, np.append(values, values[-1:]).astype(np.float64)


def cycle_times(profile: RunProfile) -> Tuple[np.ndarray, np.ndarray]:
    """Seconds from each survey scan to the next, at the later one's retention time."""
    rt = profile.spectra["retention_time_sec"][profile.spectra["ms_level"] == 1]
    return rt[1:], np.diff(rt)


def speed_figures(profiles: Sequence[RunProfile]) -> Dict[str, Dict[str, Any]]:
    rates, cycles = [], []
    for k, profile in enumerate(profiles):
        edges, rate = _steps(*scan_rate(profile))
        rates.append({"type": "scatter", "mode": "lines", "line": {"shape": "hv", "color": _color(k)},
                      "name": profile.label, "x": typed(edges / 60.0, "f4"), "y": typed(rate, "f4"),
                      "hovertemplate": "%{x:.2f} min<br>%{y:.3g} scans/s<extra>"
                                       + html.escape(profile.label) + "</extra>"})
        at, seconds = cycle_times(profile)
        cycles.append({"type": "scatter", "mode": "lines+markers", "name": profile.label,
                       "x": typed(at / 60.0, "f4"), "y": typed(seconds, "f4"),
                       "line": {"color": _color(k), "width": 1}, "marker": {"size": 3},
                       "hovertemplate": "%{x:.2f} min<br>cycle %{y:.3f} s<extra>"
                                        + html.escape(profile.label) + "</extra>"})
    return {
        "scan-rate": {"data": rates, "layout": _layout("Scan rate", "retention time (min)", "scans per second",
                                                       yaxis=_from_zero("scans per second"))},
        "cycle-time": {"data": cycles, "layout": _layout("Cycle time: survey to survey", "retention time (min)",
                                                         "seconds", yaxis=_from_zero("seconds"))},
    }


def peak_count_histogram(counts: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Spectra per log-spaced bin of peak count, empty spectra left out: (bin edges, spectra per bin)."""
    counts = counts[counts > 0]
    if len(counts) == 0:
        return np.zeros(0), np.zeros(0, dtype=np.int64)
    decades = max(1, math.ceil(math.log10(float(counts.max()) + 1)))
    edges = np.unique(np.floor(np.logspace(0, decades, decades * PEAK_COUNT_BINS_PER_DECADE + 1)))
    spectra, _ = np.histogram(counts, bins=edges)
    return edges, spectra


def intensity_histogram(profile: RunProfile) -> Tuple[np.ndarray, np.ndarray]:
    """Peaks per intensity bin (eight per octave) from the first to the last bin with peaks, bin 0 (zero
    and below) left out: (bin edges, peaks per bin)."""
    counts = profile.intensity_histogram[1:]
    used = np.flatnonzero(counts)
    if len(used) == 0:
        return np.zeros(0), np.zeros(0, dtype=np.uint64)
    first, last = used[0], used[-1]
    edges = np.append(intensity_bin_edges(), np.inf)[1:]
    return edges[first:last + 2], counts[first:last + 1]


def distribution_figures(profiles: Sequence[RunProfile]) -> Dict[str, Dict[str, Any]]:
    peaks, intensities = [], []
    for k, profile in enumerate(profiles):
        levels = profile.spectra["ms_level"]
        for level in np.unique(levels).tolist():
            edges, spectra = peak_count_histogram(profile.peak_count[levels == level])
            if len(spectra) == 0:
                continue
            edges, spectra = _steps(edges, spectra)
            name = f"{profile.label} MS{level}"
            peaks.append({"type": "scatter", "mode": "lines", "name": name, "legendgroup": profile.label,
                          "line": {"shape": "hv", "color": _color(k), "dash": "solid" if level == 1 else "dash"},
                          "x": typed(edges, "f8"), "y": typed(spectra, "f8"),
                          "hovertemplate": "%{x:.0f} peaks or more<br>%{y} spectra<extra>" + html.escape(name)
                                           + "</extra>"})
        edges, counts = intensity_histogram(profile)
        if len(counts) == 0:
            continue
        # The eight bins of an octave are not equally wide on a log axis: peaks per decade of intensity
        # draws their density without a saw-tooth.
        with np.errstate(divide="ignore", invalid="ignore"):
            density = counts / np.log10(edges[1:] / edges[:-1])
        edges, counts = _steps(edges, density)
        intensities.append({"type": "scatter", "mode": "lines", "name": profile.label,
                            "line": {"shape": "hv", "color": _color(k)},
                            "x": typed(edges, "f8"), "y": typed(counts, "f8"),
                            "hovertemplate": "from %{x:.4g}<br>%{y:.3s} peaks per decade<extra>"
                                             + html.escape(profile.label) + "</extra>"})
    return {
        "peaks-per-spectrum": {"data": peaks, "layout": _layout(
            "Peaks per spectrum", "peaks (log scale)", "spectra", xaxis={"type": "log",
                                                                         "title": {"text": "peaks"}})},
        "intensity": {"data": intensities, "layout": _layout(
            "Peak intensity", "intensity", "peaks per decade of intensity",
            xaxis={"type": "log", "title": {"text": "intensity"}})},
    }


# ---------------------------------------------------------------------------
# Tables
# ---------------------------------------------------------------------------

def _g(value: Optional[float], digits: int = 6) -> str:
    return "-" if value is None else f"{value:.{digits}g}"


def truncation_text(finding: Optional[Truncation]) -> str:
    return "complete" if finding is None else f"TRUNCATED: {finding.describe()}"


def summary_rows(profile: RunProfile) -> List[Tuple[str, str]]:
    """The run summary, label by label: what ``corvex info`` prints, and the report's own counts."""
    s = profile.summary
    levels = ", ".join(f"MS{level}: {count}" for level, count in s["ms_levels"].items())
    rt = s["retention_time_sec"]
    instrument = s["instrument"]
    cal = s["calibration"]
    tic = s["tic"]
    params = s["ion_source_parameters"]
    decoded = profile.peak_count >= 0
    counts = profile.peak_count[decoded]
    return [
        ("File", profile.path),
        ("Sample", s["name"]),
        ("Scans", f"{s['scan_count']} ({levels})"),
        ("RT range", f"{rt['first']:.2f} - {rt['last']:.2f} s" if rt else "-"),
        ("Polarity", s["polarity"] or "-"),
        ("Instrument", f"{instrument['name']} [{instrument['accession']}]"),
        ("Serial number", s["instrument_serial_number"] or "-"),
        ("Started", s["start_timestamp"] or "-"),
        ("Calibration", f"slope {cal['slope']!r}, intercept {cal['intercept']!r}" if cal else "none"),
        ("TIC", f"{tic['points']} points, sum {_g(tic['sum'])}, max {_g(tic['max'])} at "
                f"{_g(tic['max_time_sec'], 4)} s" if tic else "-"),
        ("DDE precursors", str(s["dde_precursor_count"])),
        ("Ion source", ", ".join(f"{k}={v:g}" for k, v in params.items()) if params else "-"),
        ("Scan file", f"{s['scan_file_bytes']:,} bytes"),
        ("Scan data", truncation_text(profile.truncation)),
        ("Spectra read", f"{int(decoded.sum())} of {len(decoded)}"),
        ("Peaks", f"{int(counts.sum()):,}"),
        ("Empty spectra", str(int((counts == 0).sum()))),
        ("Median peaks per spectrum", f"{float(np.median(counts)):g}" if len(counts) else "-"),
    ]


def _summary_table(columns: Sequence[Tuple[str, List[Tuple[str, str]]]]) -> str:
    labels: List[str] = []
    for _, rows in columns:
        for label, _ in rows:
            if label not in labels:
                labels.append(label)
    head = "".join(f"<th>{html.escape(name)}</th>" for name, _ in columns)
    body = []
    for label in labels:
        cells = "".join(f"<td>{html.escape(dict(rows).get(label, '-'))}</td>" for _, rows in columns)
        body.append(f"<tr><th>{html.escape(label)}</th>{cells}</tr>")
    return (f'<table class="summary"><thead><tr><th></th>{head}</tr></thead>'
            f"<tbody>{''.join(body)}</tbody></table>")


# ---------------------------------------------------------------------------
# The page
# ---------------------------------------------------------------------------

def figures(profiles: Sequence[RunProfile]) -> Dict[str, Dict[str, Any]]:
    """Every figure of the page by the id of its element."""
    result: Dict[str, Dict[str, Any]] = {}
    result.update(chromatogram_figures(profiles))
    for k, profile in enumerate(profiles):
        result[f"ms1-map-{k}"] = map_figure(profile)
    result["precursors"] = precursor_figure(profiles)
    result.update(speed_figures(profiles))
    result.update(distribution_figures(profiles))
    return result


def _plot_divs(ids: Iterable[str], kind: str = "") -> str:
    return "".join(f'<div class="plot{(" " + kind) if kind else ""}" id="{i}"></div>' for i in ids)


def _problems(profiles: Sequence[RunProfile], failures: Sequence[Tuple[str, str]]) -> str:
    items = [f'<li class="error">{html.escape(label)}: {html.escape(text)}</li>' for label, text in failures]
    for p in profiles:
        if p.error:
            items.append(f'<li class="error">{html.escape(p.label)}: reading stopped: {html.escape(p.error)}</li>')
        if p.truncation:
            items.append(f'<li class="warning">{html.escape(p.label)}: {html.escape(truncation_text(p.truncation))}'
                         "</li>")
    if not items:
        return ""
    return f'<section><h2>Problems</h2><ul class="problems">{"".join(items)}</ul></section>'


def _json_for_script(value: Any) -> str:
    # Inside <script>, "</" could end the element early; "<\/" means the same in JSON.
    return json.dumps(value, allow_nan=False, separators=(",", ":")).replace("</", "<\\/")


def render(profiles: Sequence[RunProfile], failures: Sequence[Tuple[str, str]], version: str) -> str:
    """The whole page. ``failures`` are (label, error text) of runs that could not be read at all."""
    figs = figures(profiles)
    columns = [(p.label, summary_rows(p)) for p in profiles]
    columns += [(label, [("Error", text)]) for label, text in failures]
    runs = len(profiles) + len(failures)
    title = profiles[0].label if runs == 1 and profiles else f"{runs} runs"
    maps = _plot_divs((f"ms1-map-{k}" for k in range(len(profiles))), kind="map")
    parts = [
        "<!DOCTYPE html>",
        '<html lang="en"><head><meta charset="utf-8">',
        f'<meta http-equiv="Content-Security-Policy" content="{_POLICY}">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>corvex report: {html.escape(title)}</title>",
        f"<style>{_STYLE}</style></head><body>",
        f"<h1>Run report: {html.escape(title)}</h1>",
        f'<p class="byline">corvex {html.escape(version)}</p>',
        _problems(profiles, failures),
        f"<section><h2>Summary</h2>{_summary_table(columns)}</section>",
    ]
    if profiles:
        parts += [
            f"<section><h2>Chromatograms</h2>{_plot_divs(['tic', 'bpc'])}</section>",
            '<section><h2>MS1 map</h2><p class="note">Summed intensity of the survey spectra, '
            f'log scale.</p>{maps}</section>',
            f"<section><h2>Fragment precursors</h2>{_plot_divs(['precursors'])}</section>",
            f"<section><h2>Acquisition speed</h2>{_plot_divs(['scan-rate', 'cycle-time'])}</section>",
            f"<section><h2>Distributions</h2>{_plot_divs(['peaks-per-spectrum', 'intensity'])}</section>",
            f"<script>{plotly_bundle()}</script>",
            f'<script type="application/json" id="figures">{_json_for_script(figs)}</script>',
            f"<script>{_SCRIPT % json.dumps(_CONFIG)}</script>",
        ]
    parts.append("</body></html>\n")
    return "\n".join(parts)
