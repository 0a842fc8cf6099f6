"""The figures of quarno-sample: Sobol indices with their intervals and
against the sample size, Morris mu* against sigma, bands with the
observations, and a pair plot of a posterior. Each takes the Sampler and
the path to write; matplotlib's backend is the command's choice."""

import matplotlib.pyplot as plt
import numpy as np

from .plot_style import GROUP_MARKERS, TimeAxis
from .results_xarray import UNDECLARED, column_unit


def _title(fig, sampler, what):
    cfg = sampler.cfg
    fig.suptitle(f"{what}\n{cfg.fit.path.name}: {sampler.runs} runs, seed {cfg.seed}",
                 fontsize=10)


def _output_unit(sampler, name):
    """The unit of an index figure's output: the objective's, a peak's or an
    integral's (the variable's unit times seconds)."""
    if name == "objective":
        return "weighted sum of squares, -"
    unit, _ = column_unit(sampler.cfg.fit.variable, sampler.unit)
    unit = "deck units" if unit == UNDECLARED else unit
    return f"{unit} s" if name.startswith("integral") else unit


def _period(sampler):
    """The runs' period: their start date and length, or their length alone."""
    time = sampler.outputs.time
    hours = f"{float(time[-1]) / 3600:.4g} h" if time is not None and len(time) else ""
    if sampler.start_date is None:
        return f"runs of {hours}" if hours else ""
    return f"runs from {sampler.start_date:%Y-%m-%d %H:%M} UTC" + (f", {hours}" if hours else "")


def indices(sampler, path, names, res):
    """S1 and ST of each parameter with their intervals, one panel per output.

    Each panel has its own y axis; the intervals are drawn as error bars over
    light bars, so that a narrow one still shows. Panel titles give each
    output's unit, the figure's title the runs' period.

    Parameters
    ----------
    sampler : Sampler
    path : str
        The PNG file written.
    names : list of str
        The outputs' names, one panel each.
    res : dict
        From sobol.sobol_indices, (outputs, parameters) arrays.
    """
    labels = sampler.cfg.labels
    n = len(names)
    cols = min(3, n)
    rows = -(-n // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(4.2 * cols, 2.9 * rows + 0.8),
                             squeeze=False, layout="constrained")
    x = np.arange(len(labels))
    for o, ax in enumerate(axes.flat):
        if o >= n:
            ax.axis("off")
            continue
        for shift, key, colour, what in ((-0.2, "S1", "C0", "first order S1"),
                                         (0.2, "ST", "C1", "total ST")):
            ax.bar(x + shift, res[key][o], 0.36, color=colour, alpha=0.35)
            ax.errorbar(x + shift, res[key][o], yerr=res[key + "_conf"][o], ls="none",
                        marker="o", ms=4, color=colour, elinewidth=1.6, capsize=4, label=what)
        ax.set_xticks(x, labels, rotation=30, ha="right", fontsize=8)
        ax.set_title(f"{names[o]} ({_output_unit(sampler, names[o])})", fontsize=9)
        ax.axhline(0.0, color="0.5", lw=0.8)
        ax.grid(axis="y", alpha=0.3)
        ax.set_ylabel("Sobol index (-)", fontsize=8)
    axes[0, -1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1.0))
    period = _period(sampler)
    _title(fig, sampler, f"Sobol indices ({100 * sampler.cfg.conf:g} % intervals from "
                         f"{sampler.cfg.replicates} replicates)"
                         + (f", {period}" if period else ""))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def convergence(sampler, path, rows):
    """The objective's S1 and ST against the base samples analysed, with their intervals.

    Parameters
    ----------
    sampler : Sampler
    path : str
        The PNG file written.
    rows : list of list
        From sobol.convergence_rows: output, parameter, replicates, base
        samples, S1, S1_conf, ST, ST_conf.
    """
    fig, axes = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
    mine = [r for r in rows if r[0] == "objective"]
    for k, label in enumerate(sampler.cfg.labels):
        pts = [r for r in mine if r[1] == label]
        n = [r[3] * (1 + 0.03 * (k - 1)) for r in pts]   # apart, so the bars do not hide
        for ax, col in zip(axes, (4, 6)):
            # A step of one replicate has no interval, and a failed step no value.
            shown = [(x, r[col], r[col + 1] if np.isfinite(r[col + 1]) else 0.0)
                     for x, r in zip(n, pts) if np.isfinite(r[col])]
            if not shown:
                continue
            xs, ys, errs = zip(*shown)
            ax.errorbar(xs, ys, yerr=errs, marker=GROUP_MARKERS[k % len(GROUP_MARKERS)], ms=5,
                        capsize=3, color=f"C{k}", label=label)
    for ax, what in zip(axes, ("first order S1", "total ST")):
        ax.set_xscale("log", base=2)
        ax.set_xlabel("base samples analysed (first replicates)")
        ax.set_ylabel(f"{what} of the objective (-)")
        ax.axhline(0.0, color="0.5", lw=0.8)
        ax.grid(alpha=0.3)
    axes[1].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1.0))
    _title(fig, sampler, f"Sobol indices against the sample size "
                         f"({100 * sampler.cfg.conf:g} % intervals)")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def morris(sampler, path, rows):
    """mu* against sigma of each parameter, for the objective.

    Parameters
    ----------
    sampler : Sampler
    path : str
        The PNG file written.
    rows : list of list
        (output, label, mu, mu_star, sigma, n_effects) per output and parameter.
    """
    fig, ax = plt.subplots(figsize=(7, 5), layout="constrained")
    for k, (_, label, _, mu_star, sigma, _) in enumerate(r for r in rows
                                                         if r[0] == "objective"):
        ax.plot(mu_star, sigma, ls="none", marker=GROUP_MARKERS[k % len(GROUP_MARKERS)],
                ms=8, label=label)
    ax.set_xlabel("mu*, mean absolute elementary effect on the objective")
    ax.set_ylabel("sigma, their standard deviation")
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.02, 1.0))
    _title(fig, sampler, "Morris screening")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def bands(sampler, path, bands):
    """Each site's 5-95 % band and median over time, the observations as markers.

    One panel per site; a date axis when the runs have a start date; the
    values in the unit of column_unit (the bed's in amount per kg when the
    deck declares its unit).

    Parameters
    ----------
    sampler : Sampler
    path : str
        The PNG file written.
    bands : numpy.ndarray
        (sites, 3, times): the 5 %, 50 % and 95 % quantiles.
    """
    o = sampler.outputs
    n = len(o.x)
    fig, axes = plt.subplots(n, 1, figsize=(9, 1.2 + 2.3 * n), sharex=True, squeeze=False,
                             layout="constrained")
    axis = TimeAxis(sampler.start_date)
    hours = axis.values(o.time)
    unit, factor = column_unit(sampler.cfg.fit.variable, sampler.unit)
    bands = bands * factor
    by_site = {}
    for obs, k in zip(sampler.observations, o.site_of):
        by_site.setdefault(k, []).append(obs)
    log = any(obs.get("transform") == "log10" for obs in sampler.observations)
    for k, ax in enumerate(axes[:, 0]):
        # The band's edges are drawn too, so a band narrower than a line still
        # shows; the median is a thin dark line over it.
        ax.fill_between(hours, bands[k, 0], bands[k, 2], color="C0", alpha=0.35, lw=0,
                        label=f"{sampler.cfg.method} 90 % band (5-95 %)")
        for q in (0, 2):
            ax.plot(hours, bands[k, q], color="C0", lw=0.8)
        ax.plot(hours, bands[k, 1], color="k", lw=0.6, label="median")
        seen = by_site.get(k, [])
        if seen:
            ax.plot(axis.values([s["time_s"] for s in seen]), [factor * s["value"] for s in seen],
                    ls="none", marker="o", ms=3.5, color="k", label="observed")
        if log:
            ax.set_yscale("log")
        ax.set_ylabel(f"{sampler.cfg.fit.variable} at {o.x[k]:g} m\n"
                      f"({'deck units' if unit == UNDECLARED else unit})", fontsize=9)
        ax.grid(alpha=0.3)
    axes[0, 0].legend(fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    axis.dress(axes[-1, 0])  # the panels share their time axis, ticks and all
    _title(fig, sampler, f"{sampler.cfg.method} bands: {100 * sampler.coverage:.0f} % of the "
                         "observations inside")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def pairs(sampler, path, chain):
    """The posterior's marginals (histograms) and pairs (scatter).

    On log axes for log parameters.

    Parameters
    ----------
    sampler : Sampler
    path : str
        The PNG file written.
    chain : numpy.ndarray
        The posterior's samples, (n, parameters), in physical units.
    """
    params = sampler.cfg.fit.parameters
    d = len(params)
    fig, axes = plt.subplots(d, d, figsize=(2.4 * d + 1, 2.4 * d + 0.6), squeeze=False,
                             layout="constrained")
    show = [np.log10(chain[:, j]) if p.log else chain[:, j] for j, p in enumerate(params)]
    names = [f"log10 {p.label}" if p.log else p.label for p in params]
    for i in range(d):
        for j in range(d):
            ax = axes[i, j]
            if j > i:
                ax.axis("off")
            elif i == j:
                ax.hist(show[j], bins=30, color="C0", alpha=0.8)
            else:
                ax.plot(show[j], show[i], ls="none", marker=".", ms=1.5, alpha=0.4, color="C0")
            if i == d - 1:
                ax.set_xlabel(names[j], fontsize=8)
            if j == 0 and i > 0:
                ax.set_ylabel(names[i], fontsize=8)
            ax.tick_params(labelsize=7)
    _title(fig, sampler, "Posterior")
    fig.savefig(path, dpi=110)
    plt.close(fig)
