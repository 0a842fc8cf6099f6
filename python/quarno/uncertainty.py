"""Uncertainty: GLUE (Latin hypercube samples, likelihoods, behavioural
weights, weighted bands) and a posterior by MCMC with emcee.

Parameters are (lower, upper, log) triples as in quarno.sensitivity; series
are arrays (n_samples, n_points) of simulated values at the observation
points, observations arrays (n_points,) with NaN where none was taken.
"""

import numpy as np

from .errors import FitError
from .sensitivity import check_bounds, from_unit, to_unit_space


def lhs_design(bounds, n, seed):
    """n Latin hypercube samples (scipy.stats.qmc.LatinHypercube, seeded) in
    physical units, uniform in log10 for log parameters: an (n, d) matrix."""
    from scipy.stats import qmc
    d = len(check_bounds(bounds)[0])
    if int(n) < 1:
        raise FitError(f"the number of samples must be at least 1, got {n}")
    return from_unit(qmc.LatinHypercube(d, seed=seed).random(int(n)), bounds)


def _residuals(series, obs):
    """Simulated minus observed at the points with an observation."""
    series = np.atleast_2d(np.asarray(series, float))
    obs = np.asarray(obs, float)
    if series.shape[-1] != obs.shape[0]:
        raise FitError(f"{series.shape[-1]} simulated points for {obs.shape[0]} observations")
    seen = ~np.isnan(obs)
    if not seen.any():
        raise FitError("no observation to compare with")
    return series[:, seen] - obs[seen], obs[seen], seen


def gaussian_loglik(series, obs, weights):
    """Gaussian log-likelihood of each sample with the observation weights
    as inverse standard deviations: -sum(w^2 r^2)/2, the terms that do not
    depend on the parameters left out. NaN for a failed run."""
    r, _, seen = _residuals(series, obs)
    w = np.broadcast_to(np.asarray(weights, float), seen.shape)[seen]
    return -0.5 * np.sum((w * r) ** 2, axis=1)


def glue_weights(likelihood, threshold, log=False):
    """Weights of the samples by their likelihood.

    Behavioural samples (likelihood >= threshold) are weighted in proportion
    to their likelihood (to exp(likelihood) when `log`), normalised to sum 1
    over them; the others weigh 0 (NaN is never behavioural).

    Parameters
    ----------
    likelihood : array_like
        One likelihood per sample.
    threshold : float
        The least likelihood of a behavioural sample.
    log : bool, optional
        The likelihoods are logarithms.

    Returns
    -------
    numpy.ndarray
        One weight per sample.

    Raises
    ------
    FitError
        No sample is behavioural, or a behavioural likelihood is negative and
        not in log form.
    """
    L = np.asarray(likelihood, float)
    good = np.zeros(L.shape, bool)
    np.greater_equal(L, threshold, out=good, where=~np.isnan(L))
    if not good.any():
        best = np.nanmax(L) if (~np.isnan(L)).any() else np.nan
        raise FitError(f"no sample is behavioural: the best likelihood {best:.6g} "
                       f"is below the threshold {threshold:.6g}")
    if log:
        w = np.where(good, np.exp(np.where(good, L - L[good].max(), 0.0)), 0.0)
    else:
        if L[good].min() < 0:
            raise FitError(f"likelihoods down to {L[good].min():.6g} are behavioural; "
                           "as weights they must not be negative: raise the threshold")
        w = np.where(good, L, 0.0)
    if w.sum() <= 0:
        raise FitError("the behavioural likelihoods are all zero: raise the threshold")
    return w / w.sum()


def weighted_quantiles(series, weights, q=(0.05, 0.5, 0.95)):
    """Quantiles of the weighted samples at each point.

    At each point the values are sorted and placed at the midpoints of their
    cumulative weights, and quantiles interpolated between them; NaN values are
    left out of that point. Equal weights give the Hazen quantiles.

    Parameters
    ----------
    series : array_like
        The samples' values, (n_samples, n_points).
    weights : array_like
        One weight per sample.
    q : sequence of float, optional
        The quantiles, each in [0, 1].

    Returns
    -------
    numpy.ndarray
        (len(q), n_points).
    """
    S = np.atleast_2d(np.asarray(series, float))
    w = np.asarray(weights, float)
    if w.shape != (S.shape[0],) or (w < 0).any():
        raise FitError(f"need {S.shape[0]} non-negative weights, got shape {w.shape}")
    out = np.full((len(q), S.shape[1]), np.nan)
    order = np.argsort(S, axis=0)            # NaN sorts last
    for j in range(S.shape[1]):
        v = S[order[:, j], j]
        wj = np.where(np.isnan(v), 0.0, w[order[:, j]])
        keep = wj > 0
        if not keep.any():
            continue
        v, wj = v[keep], wj[keep]
        c = (np.cumsum(wj) - wj / 2) / wj.sum()
        out[:, j] = np.interp(q, c, v)
    return out


def coverage(lower, upper, obs):
    """The share of the observations inside a band.

    Parameters
    ----------
    lower, upper : array_like
        The band's limits at each observation.
    obs : array_like
        The observations; NaN ones are left out.

    Returns
    -------
    float
        The share inside [lower, upper].
    """
    obs = np.asarray(obs, float)
    seen = ~np.isnan(obs)
    if not seen.any():
        raise FitError("no observation to compare with")
    inside = (obs >= np.asarray(lower)) & (obs <= np.asarray(upper))
    return float(np.mean(inside[seen]))


# ---------------------------------------------------------------- MCMC

# emcee's proposals by name: differential evolution with a fifth of snooker
# updates (ter Braak and Vrugt 2008), the mixture emcee's documentation
# suggests, and the affine-invariant stretch move (Goodman and Weare 2010).
# On a near-Gaussian posterior of 8 values the stretch move's autocorrelation
# time is some 2.5 times differential evolution's, and a chain needs about
# 3.5 times the steps to converge.
MOVES = ("de", "stretch")


def emcee_moves(move):
    """emcee's moves for a name.

    Parameters
    ----------
    move : str
        One of MOVES.

    Returns
    -------
    emcee move or list of (move, weight)
        What emcee.EnsembleSampler takes as `moves`.

    Raises
    ------
    FitError
        For a name not in MOVES.
    """
    import emcee
    if move == "de":
        return [(emcee.moves.DEMove(), 0.8), (emcee.moves.DESnookerMove(), 0.2)]
    if move == "stretch":
        return emcee.moves.StretchMove()
    raise FitError(f"unknown MCMC move {move!r}: {' or '.join(MOVES)}")


def run_emcee(log_prob_many, bounds, start, n_walkers, n_steps, seed, spread=0.01,
              max_steps=None, converged=None, move="de"):
    """A posterior by emcee's ensemble sampler.

    Priors are uniform between the bounds (in log10 for log parameters). The
    seed fixes both the start ball and emcee's own generator, so the same seed
    gives the same chain.

    Parameters
    ----------
    log_prob_many : callable
        log_prob_many(X) gets an (m, d) matrix of physical parameter sets, all
        inside the bounds, and returns their m log-likelihoods (NaN for a failed
        run, which counts as impossible and is counted in `n_failed`).
    bounds : sequence
        The parameters' bounds: (lower, upper, log) each (see sensitivity.check_bounds).
    start : sequence of float
        The physical parameter set the walkers start around.
    n_walkers, n_steps : int
        The walkers and the steps of each.
    seed : int
        The seed of the start ball and of emcee.
    spread : float, optional
        The start ball's radius as a share of each range (kept inside the bounds).
    max_steps : int, optional
        Run on, `n_steps` at a time, until `converged` says so or the chain
        has `max_steps` steps.
    converged : callable, optional
        converged(chain) gets the chain so far (steps, walkers, d) in physical
        units and says whether it has converged.
    move : str, optional
        The proposal (MOVES): "de" (differential evolution and snooker
        updates) or "stretch" (the affine-invariant stretch move).

    Returns
    -------
    dict
        chain (n_steps, n_walkers, d) in physical units, log_prob (n_steps,
        n_walkers), acceptance (n_walkers,), tau (d,) the integrated
        autocorrelation times in steps, tau_trusted (the chain is at least 50
        tau long), tau_note, n_failed and steps (the chain's length).
    """
    import emcee
    a, c, log = to_unit_space(bounds)
    d = len(a)
    n_walkers, n_steps = int(n_walkers), int(n_steps)
    if n_walkers < 2 * d or n_walkers % 2:
        raise FitError(f"emcee needs an even number of walkers, at least {2 * d}, got {n_walkers}")
    if n_steps < 1:
        raise FitError(f"the number of steps must be at least 1, got {n_steps}")
    x0 = np.asarray(start, float)
    if x0.shape != (d,) or (log & (x0 <= 0)).any():
        raise FitError(f"the start needs {d} values, positive for log parameters")
    z0 = np.where(log, np.log10(np.where(log, x0, 1.0)), x0)
    if ((z0 < a) | (z0 > c)).any():
        raise FitError("the start lies outside the bounds")
    failed = [0]

    def log_post(Z):
        lp = np.full(len(Z), -np.inf)
        inside = np.all((Z >= a) & (Z <= c), axis=1)
        if inside.any():
            X = np.where(log, 10.0 ** Z[inside], Z[inside])
            v = np.asarray(log_prob_many(X), float).reshape(-1)
            if v.shape != (int(inside.sum()),):
                raise FitError(f"the likelihood returned {v.shape} values for {inside.sum()} sets")
            failed[0] += int(np.isnan(v).sum())
            lp[inside] = np.where(np.isnan(v), -np.inf, v)
        return lp

    rng = np.random.default_rng(seed)
    width = c - a
    Z0 = z0 + spread * width * rng.standard_normal((n_walkers, d))
    Z0 = np.where(Z0 < a, 2 * a - Z0, np.where(Z0 > c, 2 * c - Z0, Z0))   # reflected:
    Z0 = np.clip(Z0, a, c)          # a start on a bound keeps its walkers independent
    lp0 = log_post(Z0)
    if not np.isfinite(lp0).any():
        raise FitError("no starting walker has a finite likelihood")
    mover = np.random.RandomState(int(rng.integers(2 ** 32)))
    sampler = emcee.EnsembleSampler(n_walkers, d, log_post, vectorize=True,
                                    moves=emcee_moves(move))
    state = emcee.State(Z0, log_prob=lp0, random_state=mover.get_state())
    sampler.run_mcmc(state, n_steps, progress=False)
    steps = n_steps
    while (max_steps is not None and converged is not None and steps < max_steps
           and not converged(np.where(log, 10.0 ** sampler.get_chain(), sampler.get_chain()))):
        more = min(n_steps, max_steps - steps)
        sampler.run_mcmc(None, more, progress=False)
        steps += more
    n_steps = steps
    Z = sampler.get_chain()
    tau = sampler.get_autocorr_time(tol=0)
    trusted = bool(np.all(np.isfinite(tau)) and n_steps >= 50 * np.max(tau))
    note = ("chain long enough for its autocorrelation time" if trusted else
            f"chain of {n_steps} steps shorter than 50 autocorrelation times "
            f"({50 * np.nanmax(tau):.0f} steps): tau is a lower estimate, not to be trusted")
    return {"chain": np.where(log, 10.0 ** Z, Z), "log_prob": sampler.get_log_prob(),
            "acceptance": sampler.acceptance_fraction, "tau": tau,
            "tau_trusted": trusted, "tau_note": note, "n_failed": failed[0],
            "steps": steps}
