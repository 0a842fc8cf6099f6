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

from .results import (
    balance_series, csv_is_stale, read_balance_csv, read_balance_fixed, read_obs_csv,
    read_obs_fixed, read_obs_positions, read_profiles_csv, read_profiles_fixed, read_run_title)

# Observation variables: column in the results, axis label.
VARIABLES = {
    "C": ("C", "Stream-water concentration C (deck units)"),
    "Cs": ("Cs", "Storage-zone concentration Cs (deck units)"),
    "Cb": ("Cb", "Bed concentration Cb (deck units per kg)"),
    "h": ("h_m", "Depth h (m)"),
    "u": ("u_m_per_s", "Velocity u (m/s)"),
    "Q": ("Q_m3_per_s", "Discharge Q (m³/s)"),
}

BALANCE_LABELS = {
    "water": "water",
    "stream-water solute": "solute, stream water",
    "bed-sediment solute": "solute, bed sediment",
}

# A site and an observation match when their X differ by at most this (m).
SITE_TOLERANCE_M = 0.5

GROUP_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")


class PlotError(Exception):
    """A problem with the input that ends the tool with exit status 1."""


def _finite(values):
    return [v for v in values if not math.isnan(v)]


def _fresh_csv(folder, name):
    """The path of a CSV result file when it is there and not older than the
    latest crOutput.txt (a run without --csv leaves old CSV files behind)."""
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return None
    if csv_is_stale(folder, name):
        print(f"note: {path} is older than crOutput.txt (an earlier run); "
              "reading the fixed-column files", file=sys.stderr)
        return None
    return path


def load_run(folder):
    """Everything the plots need from a run folder: a dict with title,
    observations (rows with x filled in), profiles, balance rows and, for
    each, the file it came from. Raises PlotError when the folder holds no
    results at all."""
    if not os.path.isdir(folder):
        raise PlotError(f"{folder}: no such folder")
    report = os.path.join(folder, "crOutput.txt")
    has_report = os.path.exists(report)
    run = {"folder": folder, "title": read_run_title(folder), "sources": {},
           "observations": [], "profiles": [], "balance": []}

    path = _fresh_csv(folder, "crObsNode.csv")
    if path:
        run["observations"] = read_obs_csv(path)
        run["sources"]["observations"] = path
    elif has_report and os.path.exists(os.path.join(folder, "crObsNode.txt")):
        positions = read_obs_positions(folder)
        path = os.path.join(folder, "crObsNode.txt")
        run["observations"] = read_obs_fixed(path, len(positions), positions) if positions else []
        run["sources"]["observations"] = path

    # Profiles and balances: from their CSV file, else from crOutput.txt.
    for key, name, from_csv, from_report in (
            ("profiles", "crProfiles.csv", read_profiles_csv, read_profiles_fixed),
            ("balance", "crBalance.csv", read_balance_csv, read_balance_fixed)):
        path = _fresh_csv(folder, name)
        if path:
            run[key] = from_csv(path)
            run["sources"][key] = path
        elif has_report:
            run[key] = from_report(report)
            run["sources"][key] = report

    if not (run["observations"] or run["profiles"] or run["balance"]):
        raise PlotError(f"{folder}: no results to plot (no crOutput.txt with profile blocks, "
                        "no observation records); run quarno on this folder first")
    return run


def read_observed(path):
    """Measured values from a CSV file with a header naming the columns
    x_m, time_s and value, optionally weight and group. Blank lines and lines
    starting with # are skipped. A list of dicts; PlotError names the file
    and line of anything unreadable."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            lines = [(n, line) for n, line in enumerate(f, 1)
                     if line.strip() and not line.lstrip().startswith("#")]
    except OSError as e:
        raise PlotError(f"{path}: cannot read: {e.strerror}")
    if not lines:
        raise PlotError(f"{path}: no header line (x_m,time_s,value)")
    header_no, header = lines[0]
    columns = [c.strip() for c in next(csv.reader([header]))]
    for need in ("x_m", "time_s", "value"):
        if need not in columns:
            raise PlotError(f"{path}:{header_no}: the header has no column {need} "
                            "(expected x_m,time_s,value[,weight,group])")
    points = []
    for n, line in lines[1:]:
        fields = [c.strip() for c in next(csv.reader([line]))]
        if len(fields) != len(columns):
            raise PlotError(f"{path}:{n}: {len(fields)} fields, the header has {len(columns)}")
        row = dict(zip(columns, fields))
        point = {"group": row.get("group", "")}
        for key in ("x_m", "time_s", "value", "weight"):
            if key not in row:
                continue
            try:
                point[key] = float(row[key])
            except ValueError:
                raise PlotError(f"{path}:{n}: {key} is not a number: {row[key]!r}")
        point.setdefault("weight", 1.0)
        points.append(point)
    return points


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
        best = min(sites, key=lambda s: abs(sites[s] - p["x_m"]), default=None)
        if best is not None and abs(sites[best] - p["x_m"]) <= SITE_TOLERANCE_M:
            matched.setdefault(best, []).append(p)
        else:
            unmatched.append(p)
    return matched, unmatched


def _hours_label(offset_h):
    return f"Clock time (h, model time + {offset_h:g} h)" if offset_h else "Time (h)"


def _suptitle(fig, run, what):
    title = run["title"] or os.path.basename(os.path.normpath(run["folder"]))
    fig.suptitle(f"{what}\n{title}", fontsize=10)


def plot_breakthrough(run, out_dir, variable="C", offset_h=0.0, observed=None):
    """One line per observation site of the variable against time, the
    storage-zone concentration dashed beside C, measured points as markers.
    Returns the file written, or None when there are no observation records."""
    rows = run["observations"]
    if not rows:
        return None
    column, label = VARIABLES[variable]
    if not any(not math.isnan(r[column]) for r in rows):
        raise PlotError(f"{run['folder']}: {variable} is not in "
                        f"{os.path.basename(run['sources']['observations'])}"
                        + (" (run quarno with --csv to get it)" if variable == "Cs" else ""))
    sites = _sites(rows)
    fig, ax = plt.subplots(figsize=(9, 5.5), layout="constrained")
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    with_storage = False
    for k, (site, x) in enumerate(sites.items()):
        colour = colours[k % len(colours)]
        mine = [r for r in rows if r["site"] == site]
        hours = [r["time_s"] / 3600.0 + offset_h for r in mine]
        ax.plot(hours, [r[column] for r in mine], color=colour, lw=1.5, label=f"X = {x:g} m")
        storage = [r["Cs"] for r in mine]
        if variable == "C" and _finite(storage):
            ax.plot(hours, storage, color=colour, lw=1.2, ls="--")
            with_storage = True
    extra = []
    if with_storage:
        extra.append(Line2D([], [], color="0.3", ls="--", label="storage zone Cs"))
    if observed:
        matched, unmatched = match_sites(observed, sites)
        if unmatched:
            xs = sorted({p["x_m"] for p in unmatched})
            print(f"warning: {len(unmatched)} observed value(s) at X = "
                  f"{', '.join(f'{x:g}' for x in xs)} m match no observation site "
                  f"(within {SITE_TOLERANCE_M} m); not drawn", file=sys.stderr)
        groups = sorted({p["group"] for p in observed})
        marker = {g: GROUP_MARKERS[i % len(GROUP_MARKERS)] for i, g in enumerate(groups)}
        for k, site in enumerate(sites):
            colour = colours[k % len(colours)]
            for p in matched.get(site, []):
                hollow = p["weight"] <= 0  # not used in a fit: drawn open
                ax.plot(p["time_s"] / 3600.0 + offset_h, p["value"], ls="none",
                        marker=marker[p["group"]], ms=5, mec=colour,
                        mfc="none" if hollow else colour)
        for g in groups:
            extra.append(Line2D([], [], ls="none", marker=marker[g], color="0.3",
                                label=f"observed {g}".strip()))
    handles, _ = ax.get_legend_handles_labels()
    ax.legend(handles=handles + extra, fontsize=8, loc="best")
    ax.set_xlabel(_hours_label(offset_h))
    ax.set_ylabel(label)
    ax.grid(alpha=0.3)
    _suptitle(fig, run, f"{variable} at the observation sites")
    path = os.path.join(out_dir, f"breakthrough_{variable}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def _profile_figure(run, panels, what, path, offset_h):
    """Panels (label, kind, column) stacked over X, one line per output time.
    Panels whose values are zero or missing everywhere are left out and named
    in the title. Returns path, or None when no panel has values."""
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
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    axes[0, 0].legend(fontsize=8, loc="best", title="clock time" if offset_h else "model time",
                      title_fontsize=8)
    axes[-1, 0].set_xlabel("Distance along the reach X (m)")
    if empty:
        names = (label[0].lower() + label[1:].split(" (")[0] for label, _, _ in empty)
        what += "; zero everywhere, not shown: " + ", ".join(names)
    _suptitle(fig, run, what)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_profiles(run, out_dir, offset_h=0.0):
    """Flow (h, u, Q over the cells) and concentrations (C, Cs, Cb over the
    nodes, or the cell means when only crOutput.txt is there) along the
    reach. Returns the files written."""
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
    concentrations = [("Stream water C", kind, "C"), ("Storage zone Cs", kind, "Cs"),
                      ("Bed Cb (per kg)", kind, "Cb")]
    where = "nodes" if kind == "node" else "cell means"
    path = _profile_figure(run, concentrations,
                           f"Concentrations along the reach ({where}, deck units)",
                           os.path.join(out_dir, "profiles_concentration.png"), offset_h)
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
    ax.legend(fontsize=8, loc="best")
    _suptitle(fig, run, "Balance errors since the start of the run")
    path = os.path.join(out_dir, "balance_errors.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
