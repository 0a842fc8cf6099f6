"""Global sensitivity: the parameter space, the Saltelli design (its base
block also serves GLUE) and Morris elementary effects; Sobol indices from
replicated designs are in quarno.sobol.

Every method is split in two: a design function draws all parameter sets up
front (deterministic for a seed), the caller runs them in any order and hands
back the outputs ordered by row of the design, and an analysis function turns
them into indices.

Parameters are given as a list of (lower, upper, log) triples; `log` means
uniform in log10 between the bounds. Designs are returned in physical units.
"""

import math

import numpy as np

from .errors import FitError


def check_bounds(bounds):
    """The bounds as arrays, after checking each triple.

    Parameters
    ----------
    bounds : sequence
        One (lower, upper, log) triple per parameter: finite, lower < upper,
        both positive when log.

    Returns
    -------
    lower, upper : numpy.ndarray
    log : numpy.ndarray of bool

    Raises
    ------
    FitError
        No parameter, or a triple that breaks a rule.
    """
    if len(bounds) == 0:
        raise FitError("no parameter to sample")
    lo, hi, log = [], [], []
    for k, b in enumerate(bounds, 1):
        try:
            a, c, g = float(b[0]), float(b[1]), bool(b[2])
        except (TypeError, ValueError, IndexError):
            raise FitError(f"parameter {k}: bounds must be (lower, upper, log), got {b!r}")
        if not (math.isfinite(a) and math.isfinite(c) and a < c):
            raise FitError(f"parameter {k}: lower bound {a} must be below upper bound {c}")
        if g and a <= 0:
            raise FitError(f"parameter {k}: a log parameter needs positive bounds, got {a}")
        lo.append(a)
        hi.append(c)
        log.append(g)
    return np.array(lo), np.array(hi), np.array(log)


def to_unit_space(bounds):
    """The ends of each parameter's sampling axis: (lower, upper) in the
    units in which it is uniform (log10 for log parameters), and the log flags."""
    lo, hi, log = check_bounds(bounds)
    a = np.where(log, np.log10(np.where(log, lo, 1.0)), lo)
    c = np.where(log, np.log10(np.where(log, hi, 1.0)), hi)
    return a, c, log


def from_unit(u, bounds):
    """Points u of the unit cube (rows) mapped to physical parameters."""
    a, c, log = to_unit_space(bounds)
    z = a + np.asarray(u, float) * (c - a)
    return np.where(log, 10.0 ** z, z)


# ---------------------------------------------------------------- Sobol

def saltelli_design(bounds, n, seed):
    """The Saltelli design for first-order and total Sobol indices.

    Draws a scrambled Sobol sequence of dimension 2d (scipy.stats.qmc.Sobol,
    seeded): its first d columns are matrix A, its last d matrix B. n is
    rounded up to a power of 2 (N), which keeps the sequence balanced.

    Parameters
    ----------
    bounds : sequence
        One (lower, upper, log) triple per parameter (check_bounds).
    n : int
        The base samples wanted.
    seed : int
        The seed of the scrambling.

    Returns
    -------
    numpy.ndarray
        (N*(d+2), d) in physical units, rows in blocks of N: A, B, AB_1, ...,
        AB_d, where AB_i is A with column i taken from B. Row j of every block
        belongs to base sample j.
    """
    from scipy.stats import qmc
    d = len(check_bounds(bounds)[0])
    if int(n) < 1:
        raise FitError(f"the number of base samples must be at least 1, got {n}")
    m = max(0, math.ceil(math.log2(int(n))))
    x = qmc.Sobol(2 * d, scramble=True, seed=seed).random_base2(m)
    return from_unit(np.vstack(saltelli_blocks(x[:, :d], x[:, d:])), bounds)


def saltelli_blocks(A, B, second_order=False):
    """The blocks of a Saltelli design from its base matrices A and B (unit space).

    Parameters
    ----------
    A, B : numpy.ndarray
        (N, d) each.
    second_order : bool, optional
        Whether to add the blocks BA_i (B with column i taken from A) that
        second-order indices need.

    Returns
    -------
    list of numpy.ndarray
        A, B, AB_1, ..., AB_d (AB_i: A with column i taken from B), then
        BA_1, ..., BA_d with second order.
    """
    blocks = [A, B]
    for first, second in ((A, B), (B, A))[:2 if second_order else 1]:
        for i in range(A.shape[1]):
            M = first.copy()
            M[:, i] = second[:, i]
            blocks.append(M)
    return blocks


# ---------------------------------------------------------------- Morris

def morris_design(bounds, r, levels=4, seed=0):
    """Morris trajectories on a grid.

    Each trajectory has d+1 points and moves one factor by
    Delta = levels/(2(levels-1)) at each step, factors in random order and in
    random directions.

    Parameters
    ----------
    bounds : sequence
        One (lower, upper, log) triple per parameter (check_bounds).
    r : int
        The trajectories.
    levels : int, optional
        The grid's values per factor (even).
    seed : int, optional
        The seed of the trajectories.

    Returns
    -------
    X : numpy.ndarray
        The (r*(d+1), d) design in physical units, trajectory by trajectory.
    info : dict
        The unit-cube design `unit`, `r`, `d` and `delta`: all morris_effects needs.
    """
    d = len(check_bounds(bounds)[0])
    p = int(levels)
    if p < 2 or p % 2:
        raise FitError(f"Morris needs an even number of levels, at least 2, got {levels}")
    if int(r) < 1:
        raise FitError(f"the number of trajectories must be at least 1, got {r}")
    rng = np.random.default_rng(seed)
    jump = p // 2                            # Delta in grid steps
    U = np.empty((int(r), d + 1, d))
    for t in range(int(r)):
        x = rng.integers(0, p - jump, size=d)   # base point: x + Delta stays on the grid
        sign = rng.choice([-1, 1], size=d)
        x = x + np.where(sign < 0, jump, 0)
        U[t, 0] = x
        for s, i in enumerate(rng.permutation(d), 1):
            x = x.copy()
            x[i] += sign[i] * jump
            U[t, s] = x
    unit = U.reshape(-1, d) / (p - 1)
    info = {"unit": unit, "r": int(r), "d": d, "delta": jump / (p - 1)}
    return from_unit(unit, bounds), info


def morris_effects(y, info):
    """Elementary effects from the outputs of a Morris design.

    Each effect is the change of the output over the factor's step in the unit
    cube. Effects touching a NaN output (a failed run) are left out.

    Parameters
    ----------
    y : array_like
        The outputs in design order.
    info : dict
        From morris_design.

    Returns
    -------
    dict
        Per factor mu (mean effect), mu_star (mean absolute effect), sigma
        (standard deviation of the effects) and n_effects (the effects used).
    """
    y = np.asarray(y, float)
    r, d = info["r"], info["d"]
    if y.shape != (r * (d + 1),):
        raise FitError(f"Morris needs {r * (d + 1)} outputs in design order, got {y.shape}")
    U = info["unit"].reshape(r, d + 1, d)
    Y = y.reshape(r, d + 1)
    E = np.full((r, d), np.nan)
    for t in range(r):
        step = np.diff(U[t], axis=0)         # (d, d): one nonzero per row
        i = np.argmax(np.abs(step), axis=1)
        E[t, i] = np.diff(Y[t]) / step[np.arange(d), i]
    n = np.sum(~np.isnan(E), axis=0)
    with np.errstate(invalid="ignore", divide="ignore"):
        mu = np.nansum(E, axis=0) / n
        mu_star = np.nansum(np.abs(E), axis=0) / n
        dev = np.where(np.isnan(E), 0.0, E - mu)
        sigma = np.sqrt(np.sum(dev ** 2, axis=0) / (n - 1))
    sigma = np.where(n > 1, sigma, np.nan)
    return {"mu": mu, "mu_star": mu_star, "sigma": sigma, "n_effects": n}
