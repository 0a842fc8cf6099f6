"""The figure of a quantity's Sobol indices over time: per site, the
discharge (the hydrograph) above the first-order (solid) and total (dashed)
indices of each parameter, on one time axis, dated when the run is."""

import matplotlib.pyplot as plt

from .plot_style import TimeAxis


def _index_limits(S1, ST):
    """The index axis' range: 0 to 1, widened to the estimates that stray
    outside it (sampling noise) but never beyond -0.5 to 1.5."""
    import numpy as np
    both = np.concatenate([np.ravel(S1), np.ravel(ST)])
    both = both[np.isfinite(both)]
    low = float(both.min()) if both.size else 0.0
    high = float(both.max()) if both.size else 1.0
    return max(-0.5, min(-0.05, low - 0.05)), min(1.5, max(1.05, high + 0.05))


def indices_over_time(sampler, path, quantity, times, flow, S1, ST):
    """Write the figure of one quantity's indices over time.

    Parameters
    ----------
    sampler : Sampler
        Its configuration, outputs and start date.
    path : str
        The PNG file written.
    quantity : str
        The quantity's name.
    times : numpy.ndarray
        The times (s).
    flow : numpy.ndarray
        sites x times: the median discharge over the samples.
    S1, ST : numpy.ndarray
        sites x times x parameters.
    """
    labels, x = sampler.cfg.labels, sampler.outputs.x
    n = len(x)
    axis = TimeAxis(sampler.start_date)
    at = axis.values(times)
    fig, axes = plt.subplots(2, n, figsize=(3.8 * n + 1.8, 5.4), squeeze=False, sharex=True,
                             layout="constrained", gridspec_kw={"height_ratios": [1, 2]})
    low, high = _index_limits(S1, ST)
    for k in range(n):
        top, ax = axes[0, k], axes[1, k]
        top.plot(at, flow[k], color="0.3", lw=1.2)
        top.set_title(f"site {k + 1}, x = {x[k]:g} m", fontsize=9)
        top.grid(alpha=0.3)
        for p, label in enumerate(labels):
            line, = ax.plot(at, S1[k, :, p], lw=1.4, label=f"{label} S1")
            ax.plot(at, ST[k, :, p], lw=1.0, ls="--", color=line.get_color(),
                    label=f"{label} ST")
        ax.set_ylim(low, high)
        ax.axhline(0.0, color="0.5", lw=0.8)
        ax.grid(alpha=0.3)
        axis.dress(ax)
    axes[0, 0].set_ylabel("Q (m3/s), median")
    axes[1, 0].set_ylabel(f"Sobol index of {quantity} (-)")
    axes[1, -1].legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.02, 1.0))
    cfg = sampler.cfg
    fig.suptitle(f"Sobol indices of {quantity} over time (S1 solid, ST dashed)\n"
                 f"{cfg.fit.path.name}: {sampler.runs} runs, seed {cfg.seed}", fontsize=10)
    fig.savefig(path, dpi=110)
    plt.close(fig)
