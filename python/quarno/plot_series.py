"""Breakthrough curves: a variable at the observation sites against time,
with measured values as markers and uncertainty bands shaded."""

import math
import os
import sys

import matplotlib.pyplot as plt
from matplotlib.lines import Line2D
from matplotlib.patches import Patch

from .contract import OBS_COLUMNS
from .errors import PlotError
from .observations import SITE_TOLERANCE, nearest_site
from .plot_style import (
    DEFAULT_UNITS, GROUP_MARKERS, TimeAxis, finite, legend_outside, log_axis, suptitle)

# The variables of the breakthrough curves by short name (the column's name
# before its unit) and their axis labels ({conc} and {bed} stand for the
# concentration units).
_LABELS = {
    "C": "Stream-water concentration C ({conc})",
    "Cs": "Storage-zone concentration Cs ({conc})",
    "Cb": "Bed concentration Cb ({bed})",
    "h": "Depth h (m)",
    "u": "Velocity u (m/s)",
    "Q": "Discharge Q (m³/s)",
}
_COLUMN_OF = {c.split("_")[0]: c for c in OBS_COLUMNS}
# {short name: (column of the observation records, axis label)}
VARIABLES = {v: (_COLUMN_OF[v], label) for v, label in _LABELS.items()}
CONCENTRATIONS = ("C", "Cs", "Cb")

# A site and an observation match when their X differ by at most this (m).
SITE_TOLERANCE_M = SITE_TOLERANCE


def _sites(observations):
    """{site: x} in site order."""
    sites = {}
    for r in observations:
        sites.setdefault(r["site"], r["x_m"])
    return dict(sorted(sites.items()))


def match_sites(points, sites):
    """Match points to the observation sites by their X.

    Parameters
    ----------
    points : list of dict
        Each with its position x_m.
    sites : dict
        {site: x_m} of the observation sites.

    Returns
    -------
    matched : dict
        {site: [points]} for the points within SITE_TOLERANCE_M of a site's X.
    unmatched : list of dict
        The points that match no site.
    """
    matched, unmatched = {}, []
    for p in points:
        best = nearest_site(sites, p["x_m"])
        if best is not None:
            matched.setdefault(best, []).append(p)
        else:
            unmatched.append(p)
    return matched, unmatched


def _site_colours(sites):
    colours = plt.rcParams["axes.prop_cycle"].by_key()["color"]
    return {site: colours[k % len(colours)] for k, site in enumerate(sites)}


def _draw_observed(ax, observed, sites, colour_of, axis):
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
            ax.plot(axis.values(p["time_s"]), p["value"], ls="none",
                    marker=marker[p["group"]], ms=5, mec=colour_of[site],
                    mfc="none" if hollow else colour_of[site], zorder=3)
    return [Line2D([], [], ls="none", marker=marker[g], color="0.3",
                   label=f"observed {g}".strip()) for g in groups]


def _draw_bands(ax, bands, sites, colour_of, axis):
    """Each site's band shaded in its colour, its median dotted; the legend
    handle, or None when no band matches a site."""
    matched, unmatched = match_sites([{"x_m": x} for x in bands], sites)
    if unmatched:
        xs = ", ".join(f"{p['x_m']:g}" for p in unmatched)
        print(f"warning: bands at X = {xs} m match no observation site; not drawn",
              file=sys.stderr)
    for site, points in matched.items():
        band = bands[points[0]["x_m"]]
        hours = axis.values(band["time_s"])
        ax.fill_between(hours, band["lower"], band["upper"], color=colour_of[site],
                        alpha=0.22, lw=0)
        if finite(band["median"]):
            ax.plot(hours, band["median"], color=colour_of[site], lw=1.0, ls=":")
    if not matched:
        return None
    return Patch(color="0.3", alpha=0.22, label="uncertainty band")


def plot_breakthrough(run, out_dir, variable="C", offset_h=0.0, observed=None, log=False,
                      discharge=False, bands=None, units=None):
    """Plot a variable at every observation site against time.

    One line per site, the storage-zone concentration dashed beside C,
    measured points as markers (weight 0 open), uncertainty bands shaded.

    Parameters
    ----------
    run : dict
        A run from quarno.plot_data.load_run.
    out_dir : str
        The folder the PNG file is written to.
    variable : str, optional
        A key of VARIABLES.
    offset_h : float, optional
        Hours added to the model time on the time axis; with 0 a run with a
        start date (run["start_date"]) gets a date axis.
    observed : list of dict, optional
        Measured values from read_observed.
    log : bool, optional
        A log axis for a concentration.
    discharge : bool, optional
        A panel of the discharge at the sites above the plot.
    bands : dict, optional
        Uncertainty bands from read_bands.
    units : dict, optional
        {"conc": ..., "bed": ...}; DEFAULT_UNITS when None.

    Returns
    -------
    str or None
        The file written; None when the run has no observation records.

    Raises
    ------
    PlotError
        The variable is not in the run's observation records.
    """
    rows = run["observations"]
    if not rows:
        return None
    column, label = VARIABLES[variable]
    if not any(not math.isnan(r[column]) for r in rows):
        raise PlotError(f"{run['folder']}: {variable} is not in "
                        f"{os.path.basename(run['sources']['observations'])}"
                        + (" (run quarno with --csv to get it)" if variable == "Cs" else ""))
    sites = _sites(rows)
    axis = TimeAxis(run.get("start_date"), offset_h)
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
        hours = axis.values([r["time_s"] for r in mine])
        values = [r[column] for r in mine]
        drawn += values
        ax.plot(hours, values, color=colour_of[site], lw=1.5, label=f"X = {x:g} m")
        storage = [r[VARIABLES["Cs"][0]] for r in mine]
        if variable == "C" and finite(storage):
            ax.plot(hours, storage, color=colour_of[site], lw=1.2, ls="--")
            with_storage = True
        if discharge:
            qax.plot(hours, [r[VARIABLES["Q"][0]] for r in mine], color=colour_of[site], lw=1.3)
    extra = []
    if with_storage:
        extra.append(Line2D([], [], color="0.3", ls="--", label="storage zone Cs"))
    if bands:
        handle = _draw_bands(ax, bands, sites, colour_of, axis)
        if handle:
            extra.append(handle)
    if observed:
        extra += _draw_observed(ax, observed, sites, colour_of, axis)
        drawn += [p["value"] for p in observed]
    handles, _ = ax.get_legend_handles_labels()
    legend_outside(ax, handles + extra)
    if log and variable in CONCENTRATIONS:
        log_axis(ax, drawn)
    axis.dress(ax)
    ax.set_ylabel(label.format(**(units or DEFAULT_UNITS)))
    ax.grid(alpha=0.3, which="both" if log else "major")
    if discharge:
        qax.set_ylabel("Discharge Q (m³/s)")
        qax.grid(alpha=0.3)
    suptitle(fig, run, f"{variable} at the observation sites")
    path = os.path.join(out_dir, f"breakthrough_{variable}.png")
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return path
