"""Sobol indices over time, site by site, of quantities a user chooses
([sample] time_indices): which parameter moves the concentration, the load,
the discharge or the misfit at each moment of the event, not only its peak
or its time integral.

The quantities, from the Sobol runs' site series:

- "C": the concentration; "log10 C": its logarithm (a concentration at or
  below zero gives NaN there, and that base sample is left out at that site
  and time: `n_used` counts the base samples kept);
- "load": C x Q, the solute carried past the site per second;
- "Q": the discharge;
- "misfit": the running misfit of each site, the squared weighted residuals
  of its observations summed over those up to each time (a site without
  observations has none and gets NaN).

The first-order (S1) and total (ST) indices are the point estimates of
quarno.sensitivity.sobol_indices, on values centred on their mean, at every
record time, or at MOST_TIMES of them spread evenly over the run. A quantity
no parameter moves at a site and time (the discharge of runs that replay one
flow) gets NaN.
"""

import math

from .errors import FitError

QUANTITIES = ("C", "log10 C", "load", "Q", "misfit")
MOST_TIMES = 200
CONCENTRATION = "C"
FLOW = "Q_m3_per_s"

__all__ = ["MOST_TIMES", "QUANTITIES", "add_time_indices", "file_name", "indices_over_time",
           "quantity_cube", "record_times", "time_variables"]


def time_variables(cfg):
    """Check [sample] time_indices and give the columns its runs must bring back.

    Parameters
    ----------
    cfg : SampleConfig
        The configuration.

    Returns
    -------
    tuple of str
        The columns of the site series needed besides the fit's variable
        (empty when no index over time is asked for).

    Raises
    ------
    FitError
        An unknown or repeated quantity, or indices over time asked of a
        method other than sobol.
    """
    names = list(cfg.time_indices)
    if not names:
        return ()
    where = f"{cfg.fit.path} [sample]"
    for name in names:
        if name not in QUANTITIES:
            raise FitError(f"{where}: 'time_indices' must name some of "
                           f"{', '.join(repr(q) for q in QUANTITIES)} (found {name!r})")
        if names.count(name) > 1:
            raise FitError(f"{where}: 'time_indices' names {name!r} twice")
    if cfg.method != "sobol":
        raise FitError(f"{where}: 'time_indices' needs method = \"sobol\" (found "
                       f"{cfg.method!r})")
    return tuple(v for v in (CONCENTRATION, FLOW) if v != cfg.fit.variable)


def file_name(quantity, ext="csv"):
    """The file of a quantity's indices over time ("sobol_time_log10_C.csv")."""
    return f"sobol_time_{quantity.replace(' ', '_')}.{ext}"


def record_times(n, most=MOST_TIMES):
    """The record times used: all of them, or `most` spread evenly over the
    run, the first and the last kept.

    Parameters
    ----------
    n : int
        The record times of the runs.
    most : int, optional

    Returns
    -------
    numpy.ndarray of int
        Their positions, ascending.
    """
    import numpy as np
    if n <= most:
        return np.arange(n)
    return np.unique(np.round(np.linspace(0, n - 1, most)).astype(int))


def running_misfit(residuals, obs_times, obs_sites, sites, times):
    """One run's running misfit per site: the squared weighted residuals of
    the site's observations at or before each time, summed.

    Parameters
    ----------
    residuals : numpy.ndarray or None
        The weighted residuals at the observations (None: a failed run).
    obs_times, obs_sites : numpy.ndarray
        Each observation's time (s) and site (row of the series).
    sites : int
        The sites.
    times : numpy.ndarray
        The times (s).

    Returns
    -------
    numpy.ndarray
        sites x times; NaN for a failed run and for a site without
        observations.
    """
    import numpy as np
    out = np.full((sites, len(times)), np.nan)
    if residuals is None:
        return out
    for k in range(sites):
        here = obs_sites == k
        if here.any():
            seen = obs_times[here][None, :] <= times[:, None]
            out[k] = seen.astype(float) @ (residuals[here] ** 2)
    return out


def quantity_cube(quantity, outputs, ids, chosen):
    """A quantity of every sample at every site and chosen time.

    Parameters
    ----------
    quantity : str
        One of QUANTITIES.
    outputs : Outputs
        The sampler's outputs, with the site series of CONCENTRATION and FLOW.
    ids : list of int
        The samples, in design order.
    chosen : numpy.ndarray of int
        The positions of the times used.

    Returns
    -------
    numpy.ndarray
        samples x sites x times; NaN for a failed run.
    """
    import numpy as np
    sites, times = len(outputs.x), outputs.time[chosen]
    if quantity == "misfit":
        obs_t = np.array([o["time_s"] for o in outputs.observations], float)
        obs_k = np.array(outputs.site_of)
        return np.stack([running_misfit(outputs.residuals.get(i), obs_t, obs_k, sites, times)
                         for i in ids])
    blank = np.full((sites, len(times)), np.nan)
    cube = []
    for i in ids:
        more = outputs.more.get(i)
        if more is None:
            cube.append(blank)
            continue
        c, q = more[CONCENTRATION][:, chosen], more[FLOW][:, chosen]
        if quantity == "C":
            cube.append(c)
        elif quantity == "log10 C":
            with np.errstate(divide="ignore", invalid="ignore"):
                cube.append(np.where(c > 0, np.log10(np.where(c > 0, c, 1.0)), np.nan))
        elif quantity == "load":
            cube.append(c * q)
        else:
            cube.append(q)
    return np.stack(cube)


def indices_over_time(cube, d, replicates=1, second_order=False):
    """First-order and total Sobol indices of a quantity at every site and time.

    Parameters
    ----------
    cube : array_like
        samples x sites x times, the samples in the order of a replicated
        Saltelli design (sobol.sobol_design) of d parameters.
    d : int
        The parameters.
    replicates : int, optional
        The design's replicates (the estimates pool them).
    second_order : bool, optional
        Whether the design has the blocks of second-order indices.

    Returns
    -------
    S1, ST : numpy.ndarray
        sites x times x d.
    n_used : numpy.ndarray
        sites x times: the base samples kept.
    """
    import numpy as np
    from .sobol import sobol_indices
    cube = np.asarray(cube, float)
    rows, sites, times = cube.shape
    with np.errstate(invalid="ignore", divide="ignore"):
        # Centred first: S1's estimator takes products of the values, and
        # their mean multiplies the sampling error of mean(fAB - fA) into it
        # (with 8 base samples, values far from zero beside their spread
        # gave first-order indices in the thousands); the expectations do
        # not change, and ST and the variance take differences only.
        seen = np.isfinite(cube)
        mean = np.where(seen, cube, 0.0).sum(axis=0) / np.maximum(seen.sum(axis=0), 1)
        centred = cube - mean
        res = sobol_indices(centred.reshape(rows, sites * times), d, replicates,
                            second_order=second_order)
        # Values that differ by rounding alone (a replayed flow) do not vary:
        # their variance of a few ulps would give indices of noise.
        size = np.nanmax(np.abs(cube), axis=0, initial=0.0)
        still = (np.nanmax(cube, axis=0, initial=-np.inf)
                 - np.nanmin(cube, axis=0, initial=np.inf)) <= 1e-12 * size
    S1, ST = (np.where(still[..., None], np.nan, res[k].reshape(sites, times, d))
              for k in ("S1", "ST"))
    return S1, ST, np.asarray(res["n_used"]).reshape(sites, times)


def add_time_indices(sampler, ids, replicates=1, second_order=False):
    """The indices over time of a Sobol sampling's chosen quantities: a CSV
    file and a figure each, added to the sampler's result.

    Parameters
    ----------
    sampler : Sampler
        The sampler, its Sobol runs done.
    ids : list of int
        The samples, in design order.
    replicates : int, optional
        The design's replicates.
    second_order : bool, optional
        Whether the design has the blocks of second-order indices.
    """
    cfg = sampler.cfg
    if not cfg.time_indices:
        return
    import numpy as np
    from . import time_plots
    from .dates import date_texts
    from .sample_data import BAND_DATE_COLUMN
    o = sampler.outputs
    chosen = record_times(len(o.time))
    times = o.time[chosen]
    flow = np.nanmedian(quantity_cube("Q", o, ids, chosen), axis=0)
    head = ["site", "x_m", "time_s", "parameter", "S1", "ST", "n_used"]
    dates = None
    if sampler.start_date is not None:
        head.insert(3, BAND_DATE_COLUMN)
        dates = date_texts(sampler.start_date, times)
    d, labels = len(cfg.labels), cfg.labels
    for quantity in cfg.time_indices:
        S1, ST, used = indices_over_time(quantity_cube(quantity, o, ids, chosen), d, replicates,
                                         second_order)
        rows = []
        for k in range(len(o.x)):
            for j, t in enumerate(times):
                when = [t] if dates is None else [t, dates[j]]
                rows += [[k + 1, o.x[k], *when, lab, S1[k, j, p], ST[k, j, p], int(used[k, j])]
                         for p, lab in enumerate(labels)]
        sampler.result.add_csv(file_name(quantity), head, rows)
        sampler.result.add_file(
            file_name(quantity, "png"),
            lambda path, q=quantity, s1=S1, st=ST: time_plots.indices_over_time(
                sampler, path, q, times, flow, s1, st))
        sampler.log(f"sobol over time of {quantity}: {len(times)} of {len(o.time)} record "
                    f"times at {len(o.x)} sites; the largest sum of S1 "
                    f"{largest_sum(S1):.3f}")


def largest_sum(S1):
    """The largest sum of the first-order indices over the parameters, over
    every site and time with indices (NaN when none has)."""
    import numpy as np
    sums = np.nansum(S1, axis=-1)[~np.isnan(S1).all(axis=-1)]
    return float(sums.max()) if sums.size else math.nan
