"""Plots of a Quarno run's results: breakthrough curves at the observation
sites, profiles along the reach at every output time, and the relative errors
of the balances. Reads the CSV files of `quarno --csv` when they belong to
the latest run, otherwise the fixed-column files.

    from quarno.plot import load_run, plot_profiles
    plot_profiles(load_run("run1"), "run1/plots")   # writes run1/plots/profiles_*.png

The command quarno-plot is quarno.cli.plot_main, which chooses matplotlib's
backend (files only); importing this module chooses none.
"""

import csv
import math
import os
import sys

import matplotlib.pyplot as plt
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from .errors import PlotError
from .observations import SITE_TOLERANCE, nearest_site, read_observation_file
from .results import (
    ResultsError, balance_series, read_balance_csv, read_balance_fixed, read_obs_csv,
    read_obs_fixed, read_obs_positions, read_profiles_csv, read_profiles_fixed, read_run_title)

# Units of the concentrations, which the deck does not name: the model works
# in SI, so a concentration in the water is an amount per m³ and one in the
# bed an amount per kg of sediment (the entrainment rate is in kg/(m² s)).
# quarno-plot --conc-unit and --bed-unit name them (CFU/m³, mg/m³, ...).
DEFAULT_UNITS = {"conc": "amount/m³", "bed": "amount/kg"}

# Observation variables: column in the results, axis label ({conc} and
# {bed} stand for the concentration units).
VARIABLES = {
    "C": ("C", "Stream-water concentration C ({conc})"),
    "Cs": ("Cs", "Storage-zone concentration Cs ({conc})"),
    "Cb": ("Cb", "Bed concentration Cb ({bed})"),
    "h": ("h_m", "Depth h (m)"),
    "u": ("u_m_per_s", "Velocity u (m/s)"),
    "Q": ("Q_m3_per_s", "Discharge Q (m³/s)"),
}
CONCENTRATIONS = ("C", "Cs", "Cb")

# On a log axis, values below this share of the largest are not drawn: a
# breakthrough curve's numerical tail (1e-40 and less) would flatten the rest.
LOG_RANGE = 1e-8

BALANCE_LABELS = {
    "water": "water",
    "stream-water solute": "solute, stream water",
    "bed-sediment solute": "solute, bed sediment",
}

# A site and an observation match when their X differ by at most this (m).
SITE_TOLERANCE_M = SITE_TOLERANCE

GROUP_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")


def _finite(values):
    return [v for v in values if not math.isnan(v)]


def _run_csv(files, name):
    """The path of a CSV result file when it belongs to the folder's latest
    run; a note when one lies there that is not known to be the run's."""
    path = files.path(name)
    if path is None and (files.folder / name).is_file():
        print(f"note: {files.folder / name}: no run manifest says it is the latest run's "
              "(it may be an earlier run's); reading the fixed-column files", file=sys.stderr)
    return None if path is None else str(path)


def load_run(folder):
    """Everything the plots need from a run folder.

    The files are chosen as quarno.Results chooses them: those of the
    folder's latest run by its manifest, only the fixed-column files in a
    folder without one.

    Parameters
    ----------
    folder : str
        The run folder.

    Returns
    -------
    dict
        title, observations (rows with x filled in), profiles, balance rows
        and, under "sources", the file each came from.

    Raises
    ------
    PlotError
        The folder holds no results, its latest run did not finish, or a
        results file cannot be read (cut short, changed since the run).
    """
    try:
        return _load_run(folder)
    except ResultsError as e:
        raise PlotError(f"{e}; run quarno on this folder again") from None


def _load_run(folder):
    from .run import Results
    if not os.path.isdir(folder):
        raise PlotError(f"{folder}: no such folder")
    files = Results(folder)
    report = files.path("crOutput.txt")
    run = {"folder": folder, "title": read_run_title(folder), "sources": {},
           "observations": [], "profiles": [], "balance": []}

    path = _run_csv(files, "crObsNode.csv")
    fixed = files.path("crObsNode.txt")
    if path:
        run["observations"] = read_obs_csv(path)
        run["sources"]["observations"] = path
    elif report and fixed:
        positions = read_obs_positions(folder)
        run["observations"] = read_obs_fixed(str(fixed), len(positions), positions) \
            if positions else []
        run["sources"]["observations"] = str(fixed)

    # Profiles and balances: from their CSV file, else from crOutput.txt.
    for key, name, from_csv, from_report in (
            ("profiles", "crProfiles.csv", read_profiles_csv, read_profiles_fixed),
            ("balance", "crBalance.csv", read_balance_csv, read_balance_fixed)):
        path = _run_csv(files, name)
        if path:
            run[key] = from_csv(path)
            run["sources"][key] = path
        elif report:
            run[key] = from_report(str(report))
            run["sources"][key] = str(report)

    if not (run["observations"] or run["profiles"] or run["balance"]):
        raise PlotError(f"{folder}: no results to plot (no crOutput.txt with profile blocks, "
                        "no observation records); run quarno on this folder first")
    return run


def _read_csv_rows(path, needed, optional, layout):
    """Rows of a small CSV file whose header names the columns: the needed
    and optional ones as numbers, `group` as text. Blank lines and lines
    starting with # are skipped. PlotError names the file and line of
    anything unreadable."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            lines = [(n, line) for n, line in enumerate(f, 1)
                     if line.strip() and not line.lstrip().startswith("#")]
    except OSError as e:
        raise PlotError(f"{path}: cannot read: {e.strerror}")
    except UnicodeDecodeError as e:
        raise PlotError(f"{path}: not UTF-8 text (byte {e.start})")
    if not lines:
        raise PlotError(f"{path}: no header line ({layout})")
    header_no, header = lines[0]
    columns = [c.strip() for c in next(csv.reader([header]))]
    for need in needed:
        if need not in columns:
            raise PlotError(f"{path}:{header_no}: the header has no column {need} "
                            f"(expected {layout})")
    rows = []
    for n, line in lines[1:]:
        fields = [c.strip() for c in next(csv.reader([line]))]
        if len(fields) != len(columns):
            raise PlotError(f"{path}:{n}: {len(fields)} fields, the header has {len(columns)}")
        row = dict(zip(columns, fields))
        point = {"group": row.get("group", "")}
        for key in (*needed, *optional):
            if key not in row:
                continue
            try:
                point[key] = float(row[key])
            except ValueError:
                raise PlotError(f"{path}:{n}: {key} is not a number: {row[key]!r}")
        rows.append(point)
    return rows


def read_observed(path):
    """Measured values to draw, read as quarno-fit reads them
    (quarno.observations.read_observation_file): a list of dicts; PlotError
    names the file and line of anything unreadable."""
    return read_observation_file(path, PlotError)


def _sites(observations):
    """{site: x} in site order."""
    sites = {}
    for r in observations:
        sites.setdefault(r["site"], r["x_m"])
    return dict(sorted(sites.items()))


def match_sites(points, sites):
    """{site: [points]} for the points within SITE_TOLERANCE_M of a site's X,
    and the list of points that match none."""
    matched, unmatched = {}, []
    for p in points:
        best = nearest_site(sites, p["x_m"])
        if best is not None:
            matched.setdefault(best, []).append(p)
        else:
            unmatched.append(p)
    return matched, unmatched


def _hours_label(offset_h):
    return f"Clock time (h, model time + {offset_h:g} h)" if offset_h else "Time (h)"


def _suptitle(fig, run, what):
    title = run["title"] or os.path.basename(os.path.normpath(run["folder"]))
    fig.suptitle(f"{what}\n{title}", fontsize=10)


def read_bands(path):
    """Uncertainty bands from a CSV file with the columns x_m, time_s, lower
    and upper (median optional), such as quarno-sample's glue_bands.csv:
    {x_m: {"time_s": [...], "lower": [...], "upper": [...], "median": [...]}}
    in file order. PlotError names the file and line of anything unreadable."""
    rows = _read_csv_rows(path, ("x_m", "time_s", "lower", "upper"), ("median",),
                          "x_m,time_s,lower,upper[,median]")
    bands = {}
    for row in rows:
        band = bands.setdefault(row["x_m"], {"time_s": [], "lower": [], "upper": [],
                                             "median": []})
        for key in band:
            band[key].append(row.get(key, math.nan))
    return bands


def _legend_outside(ax, handles, **kw):
    """The legend right of the axes, never over the data."""
    ax.legend(handles=handles, fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0),
              borderaxespad=0.0, **kw)


def _log_axis(ax, values):
    """A log value axis from the largest value down LOG_RANGE of it."""
    positive = [v for v in values if v > 0 and math.isfinite(v)]
    ax.set_yscale("log")
    if positive:
        top = max(positive)
        ax.set_ylim(max(min(positive), top * LOG_RANGE) / 2.0, top * 2.0)


def _site_colours(sites):
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    return {site: colours[k % len(colours)] for k, site in enumerate(sites)}


def _draw_observed(ax, observed, sites, colour_of, offset_h):
    """The measured values as markers in their site's colour (weight 0 open,
    one shape per group); legend handles of the groups."""
    matched, unmatched = match_sites(observed, sites)
    if unmatched:
        xs = sorted({p["x_m"] for p in unmatched})
        print(f"warning: {len(unmatched)} observed value(s) at X = "
              f"{', '.join(f'{x:g}' for x in xs)} m match no observation site "
              f"(within {SITE_TOLERANCE_M} m); not drawn", file=sys.stderr)
    groups = sorted({p["group"] for p in observed})
    marker = {g: GROUP_MARKERS[i % len(GROUP_MARKERS)] for i, g in enumerate(groups)}
    for site, points in matched.items():
        for p in points:
            hollow = p["weight"] <= 0  # not used in a fit: drawn open
            ax.plot(p["time_s"] / 3600.0 + offset_h, p["value"], ls="none",
                    marker=marker[p["group"]], ms=5, mec=colour_of[site],
                    mfc="none" if hollow else colour_of[site], zorder=3)
    return [Line2D([], [], ls="none", marker=marker[g], color="0.3",
                   label=f"observed {g}".strip()) for g in groups]


def _draw_bands(ax, bands, sites, colour_of, offset_h):
    """Each site's band shaded in its colour, its median dotted; the legend
    handle, or None when no band matches a site."""
    matched, unmatched = match_sites([{"x_m": x} for x in bands], sites)
    if unmatched:
        xs = ", ".join(f"{p['x_m']:g}" for p in unmatched)
        print(f"warning: bands at X = {xs} m match no observation site; not drawn",
              file=sys.stderr)
    for site, points in matched.items():
        band = bands[points[0]["x_m"]]
        hours = [t / 3600.0 + offset_h for t in band["time_s"]]
        ax.fill_between(hours, band["lower"], band["upper"], color=colour_of[site],
                        alpha=0.22, lw=0)
        if _finite(band["median"]):
            ax.plot(hours, band["median"], color=colour_of[site], lw=1.0, ls=":")
    if not matched:
        return None
    return Patch(color="0.3", alpha=0.22, label="uncertainty band")


def plot_breakthrough(run, out_dir, variable="C", offset_h=0.0, observed=None, log=False,
                      discharge=False, bands=None, units=None):
    """One line per observation site of the variable against time, the
    storage-zone concentration dashed beside C, measured points as markers,
    uncertainty bands shaded; with `discharge` a panel of the discharge at the
    sites above it; with `log` a log axis for a concentration. Returns the
    file written, or None when there are no observation records."""
    rows = run["observations"]
    if not rows:
        return None
    column, label = VARIABLES[variable]
    if not any(not math.isnan(r[column]) for r in rows):
        raise PlotError(f"{run['folder']}: {variable} is not in "
                        f"{os.path.basename(run['sources']['observations'])}"
                        + (" (run quarno with --csv to get it)" if variable == "Cs" else ""))
    sites = _sites(rows)
    colour_of = _site_colours(sites)
    if discharge:
        fig, (qax, ax) = plt.subplots(2, 1, sharex=True, figsize=(10, 7.5), layout="constrained",
                                      gridspec_kw={"height_ratios": (1, 2.2)})
    else:
        fig, ax = plt.subplots(figsize=(10, 5.5), layout="constrained")
    drawn = []
    with_storage = False
    for site, x in sites.items():
        mine = [r for r in rows if r["site"] == site]
        hours = [r["time_s"] / 3600.0 + offset_h for r in mine]
        values = [r[column] for r in mine]
        drawn += values
        ax.plot(hours, values, color=colour_of[site], lw=1.5, label=f"X = {x:g} m")
        storage = [r["Cs"] for r in mine]
        if variable == "C" and _finite(storage):
            ax.plot(hours, storage, color=colour_of[site], lw=1.2, ls="--")
            with_storage = True
        if discharge:
            qax.plot(hours, [r["Q_m3_per_s"] for r in mine], color=colour_of[site], lw=1.3)
    extra = []
    if with_storage:
        extra.append(Line2D([], [], color="0.3", ls="--", label="storage zone Cs"))
    if bands:
        handle = _draw_bands(ax, bands, sites, colour_of, offset_h)
        if handle:
            extra.append(handle)
    if observed:
        extra += _draw_observed(ax, observed, sites, colour_of, offset_h)
        drawn += [p["value"] for p in observed]
    handles, _ = ax.get_legend_handles_labels()
    _legend_outside(ax, handles + extra)
    if log and variable in CONCENTRATIONS:
        _log_axis(ax, drawn)
    ax.set_xlabel(_hours_label(offset_h))
    ax.set_ylabel(label.format(**(units or DEFAULT_UNITS)))
    ax.grid(alpha=0.3, which="both" if log else "major")
    if discharge:
        qax.set_ylabel("Discharge Q (m³/s)")
        qax.grid(alpha=0.3)
    _suptitle(fig, run, f"{variable} at the observation sites")
    path = os.path.join(out_dir, f"breakthrough_{variable}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def _profile_figure(run, panels, what, path, offset_h, log=False):
    """Panels (label, kind, column) stacked over X, one line per output time,
    on log axes with `log`. Panels whose values are zero or missing
    everywhere are left out and named in the title. Returns path, or None
    when no panel has values."""
    blocks = run["profiles"]
    shown, empty = [], []
    for label, kind, column in panels:
        values = [v for b in blocks for v in b[kind].get(column, [])]
        (shown if any(v != 0 and not math.isnan(v) for v in values) else empty).append(
            (label, kind, column))
    if not shown:
        return None
    fig, axes = plt.subplots(len(shown), 1, sharex=True, squeeze=False,
                             figsize=(9, 1.2 + 2.4 * len(shown)), layout="constrained")
    cmap = plt.get_cmap("viridis")
    for ax, (label, kind, column) in zip(axes[:, 0], shown):
        for n, b in enumerate(blocks):
            share = n / max(1, len(blocks) - 1)
            # Earlier times drawn wider, so that a later line on top of an
            # equal one leaves it visible at its edges.
            ax.plot(b[kind]["x_m"], b[kind][column], color=cmap(share * 0.9),
                    lw=2.8 - 1.6 * share,
                    label=f"t = {b['time_s'] / 3600.0 + offset_h:.2f} h")
        if log:
            _log_axis(ax, [v for b in blocks for v in b[kind][column]])
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    handles, _ = axes[0, 0].get_legend_handles_labels()
    _legend_outside(axes[0, 0], handles, title="clock time" if offset_h else "model time",
                    title_fontsize=8)
    axes[-1, 0].set_xlabel("Distance along the reach X (m)")
    if empty:
        names = (label[0].lower() + label[1:].split(" (")[0] for label, _, _ in empty)
        what += "; zero everywhere, not shown: " + ", ".join(names)
    _suptitle(fig, run, what)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_profiles(run, out_dir, offset_h=0.0, log=False, units=None):
    """Flow (h, u, Q over the cells) and concentrations (C, Cs, Cb over the
    nodes, or the cell means when only crOutput.txt is there, on log axes
    with `log`) along the reach. Returns the files written."""
    if not run["profiles"]:
        return []
    written = []
    flow = [("Depth h (m)", "cell", "h_m"), ("Velocity u (m/s)", "cell", "u_m_per_s"),
            ("Discharge Q (m³/s)", "cell", "Q_m3_per_s")]
    path = _profile_figure(run, flow, "Depth, velocity and discharge along the reach",
                           os.path.join(out_dir, "profiles_flow.png"), offset_h)
    if path:
        written.append(path)
    kind = "node" if run["profiles"][0]["node"].get("x_m") else "cell"
    units = units or DEFAULT_UNITS
    concentrations = [(f"Stream water C ({units['conc']})", kind, "C"),
                      (f"Storage zone Cs ({units['conc']})", kind, "Cs"),
                      (f"Bed Cb ({units['bed']})", kind, "Cb")]
    where = "nodes" if kind == "node" else "cell means"
    path = _profile_figure(run, concentrations, f"Concentrations along the reach ({where})",
                           os.path.join(out_dir, "profiles_concentration.png"), offset_h, log)
    if path:
        written.append(path)
    return written


def plot_balance(run, out_dir, offset_h=0.0):
    """Relative error ER_R of each balance at each report. Returns the file
    written, or None when the run has no balance reports."""
    series = balance_series(run["balance"], "ER_R")
    if not series:
        return None
    fig, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
    markers = iter(("o", "s", "^", "D"))
    for name, (times, values) in series.items():
        ax.plot([t / 3600.0 + offset_h for t in times], values, marker=next(markers, "o"),
                lw=1.2, label=BALANCE_LABELS.get(name, name))
    ax.axhline(0.0, color="0.5", lw=0.8)
    ax.set_xlabel(_hours_label(offset_h))
    ax.set_ylabel("Relative error ER_R (%)")
    ax.grid(alpha=0.3)
    _legend_outside(ax, ax.get_legend_handles_labels()[0])
    _suptitle(fig, run, "Balance errors since the start of the run")
    path = os.path.join(out_dir, "balance_errors.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_run(folder, out_dir=None, variable="C", offset_h=0.0, observed=None, log=False,
             discharge=False, bands=None, units=None):
    """All the plots of a run folder into out_dir (default FOLDER/plots):
    the breakthrough curves of `variable` (with `observed` values from
    read_observed, `bands` from read_bands, the `discharge` panel, `log`
    axes), the profiles and the balance errors. `units` names the
    concentration units ({"conc": ..., "bed": ...}, DEFAULT_UNITS when
    None). Returns the files written; PlotError when there is nothing to plot."""
    run = load_run(folder)
    out_dir = out_dir or os.path.join(folder, "plots")
    try:
        os.makedirs(out_dir, exist_ok=True)
    except OSError as e:
        raise PlotError(f"cannot create {out_dir}: {e.strerror}")
    written = []
    path = plot_breakthrough(run, out_dir, variable, offset_h, observed, log, discharge, bands,
                             units)
    if path:
        written.append(path)
    elif observed or bands:
        print(f"warning: {folder} has no observation records; "
              "the observed values and bands are not drawn", file=sys.stderr)
    written += plot_profiles(run, out_dir, offset_h, log, units)
    path = plot_balance(run, out_dir, offset_h)
    if path:
        written.append(path)
    if not written:
        raise PlotError(f"{folder}: nothing to plot")
    return written
