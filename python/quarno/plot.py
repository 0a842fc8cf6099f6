"""Plots of a Quarno run's results: breakthrough curves at the observation
sites, profiles along the reach at every output time, and the relative errors
of the balances. Reads the CSV files of `quarno --csv` when they belong to
the latest run, otherwise the fixed-column files.

    from quarno.plot import load_run, plot_profiles
    plot_profiles(load_run("run1"), "run1/plots")   # writes run1/plots/profiles_*.png

The reading is in quarno.plot_data, the breakthrough curves in
quarno.plot_series, what the figures share in quarno.plot_style; this module
draws the profiles and the balances and gives the names of all of them.
The command quarno-plot is quarno.cli.plot_main, which chooses matplotlib's
backend (files only); importing this module chooses none.
"""

import math
import os
import sys

import matplotlib.pyplot as plt

from .errors import PlotError
from .plot_data import load_run, read_bands, read_observed
from .plot_series import (
    CONCENTRATIONS, SITE_TOLERANCE_M, VARIABLES, match_sites, plot_breakthrough)
from .plot_style import (
    DEFAULT_UNITS, GROUP_MARKERS, LOG_RANGE, TimeAxis, legend_outside, log_axis, suptitle)
from .results import balance_series

__all__ = [
    "BALANCE_LABELS", "CONCENTRATIONS", "DEFAULT_UNITS", "GROUP_MARKERS", "LOG_RANGE",
    "PlotError", "SITE_TOLERANCE_M", "VARIABLES", "load_run", "match_sites", "plot_balance",
    "plot_breakthrough", "plot_profiles", "plot_run", "read_bands", "read_observed",
]

BALANCE_LABELS = {
    "water": "water",
    "stream-water solute": "solute, stream water",
    "bed-sediment solute": "solute, bed sediment",
}


def _profile_figure(run, panels, what, path, offset_h, log=False):
    """Panels (label, kind, column) stacked over X, one line per output time,
    on log axes with `log`. Panels whose values are zero or missing
    everywhere are left out and named in the title. Returns path, or None
    when no panel has values."""
    blocks = run["profiles"]
    axis = TimeAxis(run.get("start_date"), offset_h)
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
                    label=axis.text(b["time_s"]))
        if log:
            log_axis(ax, [v for b in blocks for v in b[kind][column]])
        ax.set_ylabel(label)
        ax.grid(alpha=0.3)
    handles, _ = axes[0, 0].get_legend_handles_labels()
    legend_outside(axes[0, 0], handles, title=("date (UTC)" if axis.dated else "clock time"
                                               if offset_h else "model time"),
                   title_fontsize=8)
    axes[-1, 0].set_xlabel("Distance along the reach X (m)")
    if empty:
        names = (label[0].lower() + label[1:].split(" (")[0] for label, _, _ in empty)
        what += "; zero everywhere, not shown: " + ", ".join(names)
    suptitle(fig, run, what)
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def plot_profiles(run, out_dir, offset_h=0.0, log=False, units=None):
    """Plot the flow and the concentrations along the reach at every output time.

    Parameters
    ----------
    run : dict
        A run from load_run.
    out_dir : str
        The folder the PNG files are written to.
    offset_h : float, optional
        Hours added to the model time in the legend.
    log : bool, optional
        Log axes for the concentrations.
    units : dict, optional
        {"conc": ..., "bed": ...}; DEFAULT_UNITS when None.

    Returns
    -------
    list of str
        The files written: profiles_flow.png (h, u, Q over the cells) and
        profiles_concentration.png (C, Cs, Cb over the nodes, or the cell
        means when the run wrote no node rows), each left out when all its
        values are zero.
    """
    if not run["profiles"]:
        return []
    written = []
    flow = [(VARIABLES[v][1], "cell", VARIABLES[v][0]) for v in ("h", "u", "Q")]
    path = _profile_figure(run, flow, "Depth, velocity and discharge along the reach",
                           os.path.join(out_dir, "profiles_flow.png"), offset_h)
    if path:
        written.append(path)
    kind = "node" if run["profiles"][0]["node"].get("x_m") else "cell"
    units = units or DEFAULT_UNITS
    concentrations = [(f"Stream water C ({units['conc']})", kind, VARIABLES["C"][0]),
                      (f"Storage zone Cs ({units['conc']})", kind, VARIABLES["Cs"][0]),
                      (f"Bed Cb ({units['bed']})", kind, VARIABLES["Cb"][0])]
    where = "nodes" if kind == "node" else "cell means"
    path = _profile_figure(run, concentrations, f"Concentrations along the reach ({where})",
                           os.path.join(out_dir, "profiles_concentration.png"), offset_h, log)
    if path:
        written.append(path)
    return written


def plot_balance(run, out_dir, offset_h=0.0):
    """Plot the relative error ER_R of each balance at each report.

    Parameters
    ----------
    run : dict
        A run from load_run.
    out_dir : str
        The folder balance_errors.png is written to.
    offset_h : float, optional
        Hours added to the model time on the time axis.

    Returns
    -------
    str or None
        The file written; None when the run has no balance reports.
    """
    series = balance_series(run["balance"], "ER_R")
    if not series:
        return None
    fig, ax = plt.subplots(figsize=(8, 4.5), layout="constrained")
    axis = TimeAxis(run.get("start_date"), offset_h)
    markers = iter(("o", "s", "^", "D"))
    for name, (times, values) in series.items():
        ax.plot(axis.values(times), values, marker=next(markers, "o"),
                lw=1.2, label=BALANCE_LABELS.get(name, name))
    ax.axhline(0.0, color="0.5", lw=0.8)
    axis.dress(ax)
    ax.set_ylabel("Relative error ER_R (%)")
    ax.grid(alpha=0.3)
    legend_outside(ax, ax.get_legend_handles_labels()[0])
    suptitle(fig, run, "Balance errors since the start of the run")
    path = os.path.join(out_dir, "balance_errors.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path


def _scale_bed(run, factor):
    """The bed concentration of a run's records and profiles times `factor`."""
    column = VARIABLES["Cb"][0]
    rows = run["observations"] + [b[kind] for b in run["profiles"] for kind in ("cell", "node")]
    for row in rows:
        values = row.get(column)
        if isinstance(values, list):
            row[column] = [v * factor for v in values]
        elif values is not None:
            row[column] = values * factor


def plot_run(folder, out_dir=None, variable="C", offset_h=0.0, observed=None, log=False,
             discharge=False, bands=None, units=None):
    """Write all the plots of a run folder.

    Parameters
    ----------
    folder : str
        The run folder.
    out_dir : str, optional
        Where the PNG files go; FOLDER/plots when None (made when missing).
    variable : str, optional
        The variable of the breakthrough curves (a key of VARIABLES).
    offset_h : float, optional
        Hours added to the model time on the time axes.
    observed : list of dict, optional
        Measured values from read_observed.
    log : bool, optional
        Log axes for the concentrations.
    discharge : bool, optional
        A discharge panel above the breakthrough curves.
    bands : dict, optional
        Uncertainty bands from read_bands.
    units : dict, optional
        The concentration units {"conc": ..., "bed": ...}. None or
        DEFAULT_UNITS: the deck's declared unit when the run has one (the bed
        concentration then drawn in amount per kg), else DEFAULT_UNITS.

    Returns
    -------
    list of str
        The files written: the breakthrough curves, the profiles and the
        balance errors, each when the run has what it shows. A run with a
        start date gets date axes unless `offset_h` is given.

    Raises
    ------
    PlotError
        The folder holds nothing to plot, or a file cannot be read or written.
    """
    run = load_run(folder)
    if run["unit"] is not None and (units is None or units == DEFAULT_UNITS):
        units = {"conc": run["unit"].text, "bed": run["unit"].bed_text}
        _scale_bed(run, run["unit"].bed_factor)
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
