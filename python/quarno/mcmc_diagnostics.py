"""Convergence of an MCMC chain: rank-normalised split R-hat and bulk
effective sample size per parameter (Vehtari, Gelman, Simpson, Carpenter and
Buerkner 2021), each walker of an ensemble taken as a chain and split in
halves, and the verdict: converged when every R-hat is below 1.05 and every
effective sample size at least 100."""

import numpy as np

# The verdict's limits: every R-hat below RHAT_LIMIT, every ESS at least ESS_LEAST.
RHAT_LIMIT = 1.05
ESS_LEAST = 100


def _split(draws):
    """(steps, chains) -> (steps // 2, 2 chains): each chain in halves, the
    middle draw of an odd length left out."""
    x = np.asarray(draws, float)
    if x.ndim != 2:
        raise ValueError(f"draws must be (steps, chains), got shape {x.shape}")
    half = x.shape[0] // 2
    return np.concatenate([x[:half], x[x.shape[0] - half:]], axis=1)


def _rank_normal(x):
    """The draws replaced by the normal scores of their pooled ranks
    (average ranks for ties; Blom's offset 3/8)."""
    from scipy.stats import norm, rankdata
    r = rankdata(x, method="average").reshape(x.shape)
    return norm.ppf((r - 0.375) / (x.size + 0.25))


def _rhat(x):
    """The classic potential scale reduction of chains x (steps, chains)."""
    n = x.shape[0]
    w = np.mean(np.var(x, axis=0, ddof=1))
    b = n * np.var(np.mean(x, axis=0), ddof=1)
    if not w > 0:
        return np.nan
    return float(np.sqrt(((n - 1) / n * w + b / n) / w))


def split_rhat(draws):
    """Rank-normalised split R-hat of one parameter.

    The larger of the R-hat of the rank-normalised split chains (the bulk)
    and that of the rank-normalised distances from the median (the tails).

    Parameters
    ----------
    draws : array_like
        (steps, chains): each column one chain (an emcee walker).

    Returns
    -------
    float
        R-hat; NaN with fewer than 4 steps or when the draws do not vary.
    """
    x = _split(draws)
    if x.shape[0] < 2 or not np.ptp(x) > 0:
        return np.nan
    bulk = _rhat(_rank_normal(x))
    folded = np.abs(x - np.median(x))
    tail = _rhat(_rank_normal(folded)) if np.ptp(folded) > 0 else bulk
    return float(max(bulk, tail))


def _autocovariance(x):
    """Each chain's autocovariance at lags 0 .. n-1 (biased, by FFT)."""
    n = x.shape[0]
    c = x - x.mean(axis=0)
    size = 1 << (2 * n - 1).bit_length()
    f = np.fft.rfft(c, size, axis=0)
    return np.fft.irfft(f * np.conj(f), size, axis=0)[:n] / n


def bulk_ess(draws):
    """Bulk effective sample size of one parameter.

    From the rank-normalised split chains: the autocorrelation pooled over
    the chains, summed in pairs of lags while a pair's sum is positive and
    kept monotone (Geyer's initial monotone sequence).

    Parameters
    ----------
    draws : array_like
        (steps, chains).

    Returns
    -------
    float
        The effective number of independent draws; NaN with fewer than 4
        steps or when the draws do not vary.
    """
    x = _split(draws)
    n, m = x.shape
    if n < 2 or not np.ptp(x) > 0:
        return np.nan
    z = _rank_normal(x)
    acov = _autocovariance(z)
    within = acov[0].mean() * n / (n - 1)
    var_plus = within * (n - 1) / n + (np.var(z.mean(axis=0), ddof=1) if m > 1 else 0.0)
    rho = 1.0 - (within - acov.mean(axis=1)) / var_plus
    rho[0] = 1.0
    # Pairs (rho[t], rho[t + 1]), t even, while their sum is positive.
    pairs = []
    t = 0
    while t + 1 < n:
        s = rho[t] + rho[t + 1]
        if s <= 0:
            break
        pairs.append(s)
        t += 2
    pairs = np.minimum.accumulate(np.array(pairs)) if pairs else np.array([1.0])
    tau = max(-1.0 + 2.0 * pairs.sum(), 1.0 / np.log10(n * m))
    return float(n * m / tau)


def diagnose(chain, labels, acceptance, tau):
    """The convergence diagnostics of a chain after its burn-in.

    Parameters
    ----------
    chain : array_like
        (steps, walkers, parameters) after the burn-in.
    labels : list of str
        The parameters' labels.
    acceptance : array_like
        Each walker's acceptance fraction.
    tau : array_like
        Each parameter's integrated autocorrelation time in steps.

    Returns
    -------
    dict
        rhat, ess (one per parameter), converged (bool), lines (what the
        console, the summary and mcmc_diagnostics.txt say) and verdict (the
        one line saying whether the chain converged and, if not, why).
    """
    chain = np.asarray(chain, float)
    rhat = np.array([split_rhat(chain[:, :, j]) for j in range(chain.shape[2])])
    ess = np.array([bulk_ess(chain[:, :, j]) for j in range(chain.shape[2])])
    acceptance = np.asarray(acceptance, float)
    faults = [f"R-hat of {lab} {r:.3g} >= {RHAT_LIMIT:g}" if np.isfinite(r) else
              f"R-hat of {lab} undefined (the walkers do not move)"
              for lab, r in zip(labels, rhat) if not r < RHAT_LIMIT]
    faults += [f"ESS of {lab} {e:.0f} < {ESS_LEAST}" for lab, e in zip(labels, ess)
               if np.isfinite(e) and e < ESS_LEAST]
    converged = not faults
    if converged:
        verdict = (f"the chain has converged: every R-hat < {RHAT_LIMIT:g} (largest "
                   f"{np.max(rhat):.3f}) and every ESS >= {ESS_LEAST} (smallest "
                   f"{np.min(ess):.0f})")
    else:
        verdict = ("the chain has not converged: " + ", ".join(faults) + "; its posterior "
                   "and bands are not to be trusted; run longer (max_steps) or start nearer "
                   "(initial = the fit's estimates)")
    lines = [f"{chain.shape[0]} steps x {chain.shape[1]} walkers after the burn-in, each "
             "walker a chain split in halves",
             "R-hat (rank-normalised, split): " + ", ".join(
                 f"{lab} {r:.3f}" for lab, r in zip(labels, rhat)),
             "bulk ESS: " + ", ".join(f"{lab} {e:.0f}" for lab, e in zip(labels, ess)),
             f"acceptance fraction: mean {acceptance.mean():.3f} (walkers "
             f"{acceptance.min():.3f} to {acceptance.max():.3f})",
             "autocorrelation time (steps): " + ", ".join(
                 f"{lab} {t:.1f}" for lab, t in zip(labels, tau)),
             verdict]
    return {"rhat": rhat, "ess": ess, "converged": converged, "lines": lines,
            "verdict": verdict}
