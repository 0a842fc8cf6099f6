"""Statistics of a fit: the residual variance, standard errors and
correlations at the optimum, and the agreement site by site."""

import math


def covariance(J, res):
    """The least-squares statistics at an optimum.

    Parameters
    ----------
    J : numpy.ndarray
        The Jacobian of the residuals, (n, p).
    res : numpy.ndarray
        The residuals, (n,).

    Returns
    -------
    ssr : float
        The sum of squares.
    s2 : float
        The residual variance SSR/(n-p); NaN when n <= p.
    se : numpy.ndarray
        The standard errors from s^2 (J^T J)^-1; NaN for parameters the data
        cannot determine.
    corr : numpy.ndarray
        The correlations, (p, p).
    singular : bool
        Whether J^T J was singular or nearly so (its pseudo-inverse is used then).
    """
    import numpy as np
    n, p = J.shape
    ssr = float(res @ res)
    s2 = ssr / (n - p) if n > p else math.nan
    JtJ = J.T @ J
    singular = False
    try:
        if np.linalg.cond(JtJ) > 1e14:
            raise np.linalg.LinAlgError
        inv = np.linalg.inv(JtJ)
    except np.linalg.LinAlgError:
        inv = np.linalg.pinv(JtJ)
        singular = True
    cov = s2 * inv
    se = np.sqrt(np.clip(np.diag(cov), 0, None))
    if singular:
        se[undetermined(JtJ)] = np.nan
    with np.errstate(invalid="ignore", divide="ignore"):
        d = np.sqrt(np.clip(np.diag(inv), 0, None))
        corr = inv / np.outer(d, d)
    return ssr, s2, se, corr, singular

def undetermined(JtJ):
    """Which parameters the data cannot determine: those with a part in an
    eigenvector of J^T J whose eigenvalue is below 1e-14 of the largest (no
    change of them, alone or with others, changes the residuals)."""
    import numpy as np
    w, V = np.linalg.eigh(JtJ)
    top = max(float(w.max()), 0.0)
    null = w <= 1e-14 * top if top > 0 else np.ones(len(w), bool)
    return np.any(np.abs(V[:, null]) > 1e-6, axis=1)


def exp_or_inf(x):
    """exp(x), infinite beyond the largest double instead of an error: the
    range of a parameter the data cannot determine may be that wide; NaN
    stays NaN."""
    return math.exp(x) if x < 709.0 or x != x else math.inf


def site_statistics(observations, model, site_index, series):
    """The fit's statistics per group of observations.

    Parameters
    ----------
    observations : list of dict
        The observations (with value, time_s and group).
    model : sequence of float
        The modelled value at each observation.
    site_index : sequence
        The observation site each observation belongs to.
    series : dict
        {site: (times, values)}, the model's whole record at each site.

    Returns
    -------
    list of dict
        Per group: group, n, rmse and bias (model - observed) at the
        observation times, obs_peak_t and obs_peak, mod_peak_t and mod_peak (the
        modelled peak over the model's whole record when the group is one site,
        otherwise at the observation times).
    """
    groups = {}
    for o, m, s in zip(observations, model, site_index):
        groups.setdefault(o["group"], []).append((o, float(m), s))
    stats = []
    for g, items in groups.items():
        d = [m - o["value"] for o, m, _ in items]
        n = len(d)
        obs_peak = max(items, key=lambda i: i[0]["value"])[0]
        sites = {s for _, _, s in items}
        if len(sites) == 1:
            t, v = series[sites.pop()]
            k = max(range(len(v)), key=lambda i: v[i])
            mod_t, mod_v = t[k], v[k]
        else:
            o, m, _ = max(items, key=lambda i: i[1])
            mod_t, mod_v = o["time_s"], m
        stats.append({"group": g, "n": n, "rmse": math.sqrt(sum(x * x for x in d) / n),
                      "bias": sum(d) / n, "obs_peak_t": obs_peak["time_s"],
                      "obs_peak": obs_peak["value"], "mod_peak_t": float(mod_t),
                      "mod_peak": float(mod_v)})
    return stats


def format_sites(stats):
    """The statistics per group as a text table.

    Parameters
    ----------
    stats : list of dict
        From site_statistics.

    Returns
    -------
    str
        A head line and one line per group.
    """
    head = (f"{'group':<16}{'n':>5}{'RMSE':>12}{'bias':>12}{'obs peak t':>12}"
            f"{'obs peak':>12}{'mod peak t':>12}{'mod peak':>12}")
    lines = [head]
    for s in stats:
        lines.append(f"{s['group']:<16}{s['n']:>5}{s['rmse']:>12.4g}{s['bias']:>12.4g}"
                     f"{s['obs_peak_t']:>12.6g}{s['obs_peak']:>12.4g}{s['mod_peak_t']:>12.6g}"
                     f"{s['mod_peak']:>12.4g}")
    return "\n".join(lines)
