"""Sobol indices from independent replicates of a Saltelli design.

The base samples are split among `replicates` independently scrambled Sobol
sequences. The indices are estimated on all of them pooled; their intervals
come from the spread of the replicates' own estimates (a Student t interval),
which, unlike a bootstrap over the points of one scrambled sequence, treats
as independent only what is independent.

Design order: replicate after replicate, each in blocks of m rows: A, B,
AB_1 ... AB_d (A with column i from B) and, for second-order indices,
BA_1 ... BA_d (B with column i from A). Row j of every block of a replicate
belongs to its base sample j.
"""

import math

import numpy as np

from .errors import FitError
from .sensitivity import check_bounds, from_unit, saltelli_blocks

# The mean half-width of the first-order intervals above which the indices
# are called too uncertain to rank parameters by: a tenth of the index's range.
WIDE = 0.1


def replicate_size(n, replicates):
    """The base samples of each replicate: n/replicates rounded up to a power of 2.

    Parameters
    ----------
    n : int
        The base samples wanted in all.
    replicates : int
        The independent sequences.

    Returns
    -------
    int

    Raises
    ------
    FitError
        Fewer base samples than replicates.
    """
    n, replicates = int(n), int(replicates)
    if replicates < 1:
        raise FitError(f"the number of replicates must be at least 1, got {replicates}")
    if n < replicates:
        raise FitError(f"the {n} base samples cannot be split among {replicates} replicates")
    return 2 ** max(0, math.ceil(math.log2(math.ceil(n / replicates))))


def blocks(d, second_order):
    """The blocks of m rows in one replicate: 2 + d, or 2 + 2d with second order."""
    return 2 + d * (2 if second_order else 1)


def sobol_design(bounds, n, replicates, seed, second_order=False):
    """The replicated Saltelli design.

    Parameters
    ----------
    bounds : sequence
        One (lower, upper, log) triple per parameter (check_bounds).
    n : int
        The base samples wanted in all; each replicate gets
        replicate_size(n, replicates) of them.
    replicates : int
        The independent scrambled Sobol sequences (scipy.stats.qmc.Sobol, each
        of dimension 2d, seeded from `seed`).
    seed : int
        The seed of the scramblings.
    second_order : bool, optional
        Add the BA blocks the second-order indices need.

    Returns
    -------
    numpy.ndarray
        (replicates * m * blocks, d) in physical units, in design order.
    """
    from scipy.stats import qmc
    d = len(check_bounds(bounds)[0])
    m = replicate_size(n, replicates)
    parts = []
    for child in np.random.SeedSequence(int(seed)).spawn(int(replicates)):
        x = qmc.Sobol(2 * d, scramble=True, seed=np.random.default_rng(child))
        x = x.random_base2(int(math.log2(m)))
        parts += saltelli_blocks(x[:, :d], x[:, d:], second_order)
    return from_unit(np.vstack(parts), bounds)


def _estimates(G, d, second_order):
    """S1 (Saltelli 2010), ST (Jansen) and S2 (after Saltelli 2002) of one output
    from its blocks G (blocks, N); NaN where the output does not vary."""
    fA, fB = G[0], G[1]
    var = np.var(np.concatenate([fA, fB]))
    if not var > 0:
        nan = np.full(d, np.nan)
        return nan, nan, np.full((d, d), np.nan)
    fAB = G[2:2 + d]
    S1 = np.mean(fB * (fAB - fA), axis=1) / var
    ST = np.mean((fA - fAB) ** 2, axis=1) / 2 / var
    S2 = np.full((d, d), np.nan)
    if second_order:
        # The closed index of a pair from two matrices sharing only its two
        # columns, less each one's first-order part from the matrix pairs that
        # share only that column with A or B; both ways round, averaged. So a
        # factor with no effect gives exactly 0 with any other.
        fBA, f00 = G[2 + d:], fA * fB
        VA = np.mean(fA * fBA - f00, axis=1)            # column i from A
        VB = np.mean(fB * fAB - f00, axis=1)            # column i from B
        for i in range(d):
            for j in range(i + 1, d):
                one = np.mean(fBA[i] * fAB[j] - f00) - VA[i] - VB[j]
                two = np.mean(fAB[i] * fBA[j] - f00) - VB[i] - VA[j]
                S2[i, j] = S2[j, i] = (one + two) / 2 / var
    return S1, ST, S2


def sobol_indices(y, d, replicates, conf=0.95, second_order=False, use=None):
    """First-order (S1), total (ST) and second-order (S2) Sobol indices with
    intervals from the spread between replicates.

    A base sample with a NaN output (a failed run) in any of its rows is left
    out for that output. A replicate with fewer than 2 complete base samples
    gives no estimate; the interval needs 2 replicates with one. An output
    that does not vary gets NaN indices.

    Parameters
    ----------
    y : array_like
        The outputs in design order (sobol_design): (rows,) or (rows, k).
    d : int
        The parameters.
    replicates : int
        The replicates of the design.
    conf : float, optional
        The confidence level of the intervals.
    second_order : bool, optional
        Whether the design has the BA blocks; S2 is NaN without them.
    use : int, optional
        Analyse only the first `use` replicates (default: all).

    Returns
    -------
    dict
        S1, S1_conf, ST, ST_conf of shape (d,) for a 1-D y, else (k, d); S2,
        S2_conf of shape (d, d) or (k, d, d), symmetric, NaN on the diagonal;
        n_used and n_dropped (complete and left-out base samples, scalars or
        (k,)); replicates_used (with an estimate, scalar or (k,)).
    """
    from scipy.stats import t as student
    y = np.asarray(y, float)
    one = y.ndim == 1
    Y = y[:, None] if one else y
    nb = blocks(d, second_order)
    R = int(replicates)
    if Y.ndim != 2 or R < 1 or Y.shape[0] == 0 or Y.shape[0] % (R * nb):
        raise FitError(f"{Y.shape[0]} outputs are not whole groups of {nb} blocks in "
                       f"{replicates} replicates")
    if not 0 < conf < 1:
        raise FitError(f"confidence level {conf} must lie between 0 and 1")
    m, k = Y.shape[0] // (R * nb), Y.shape[1]
    R = R if use is None else min(R, int(use))
    G = Y[:R * nb * m].reshape(R, nb, m, k)
    out = {key: np.full((k, d), np.nan) for key in ("S1", "S1_conf", "ST", "ST_conf")}
    out["S2"], out["S2_conf"] = np.full((k, d, d), np.nan), np.full((k, d, d), np.nan)
    used, reps = np.zeros(k, int), np.zeros(k, int)
    for o in range(k):
        keep = ~np.isnan(G[:, :, :, o]).any(axis=1)       # (R, m) complete base samples
        used[o] = keep.sum()
        each = [_estimates(G[r, :, keep[r], o].T, d, second_order)
                for r in range(R) if keep[r].sum() >= 2]
        reps[o] = len(each)
        if used[o] >= 2:
            pooled = np.concatenate([G[r, :, keep[r], o].T for r in range(R)], axis=1)
            out["S1"][o], out["ST"][o], out["S2"][o] = _estimates(pooled, d, second_order)
        if len(each) >= 2:
            q = student.ppf(0.5 + conf / 2, len(each) - 1) / math.sqrt(len(each))
            for key, part in (("S1", 0), ("ST", 1), ("S2", 2)):
                spread = np.std([e[part] for e in each], axis=0, ddof=1)
                out[key + "_conf"][o] = q * spread
    out["n_used"], out["n_dropped"], out["replicates_used"] = used, R * m - used, reps
    if one:
        out = {key: v[0] for key, v in out.items()}
    return out


def convergence_steps(replicates):
    """The replicates analysed for the convergence view: the first 1/8, 1/4,
    1/2 and all of them (at least one, each count once)."""
    return sorted({max(1, math.ceil(replicates * f)) for f in (0.125, 0.25, 0.5, 1.0)})


def convergence_rows(y, d, replicates, m, conf, names, labels, second_order=False):
    """The indices of every output and parameter from growing shares of the replicates.

    Parameters
    ----------
    y : array_like
        The outputs in design order, (rows, outputs).
    d, replicates, conf, second_order
        As for sobol_indices.
    m : int
        The base samples per replicate.
    names, labels : list of str
        The outputs' and parameters' names.

    Returns
    -------
    list of list
        Rows output, parameter, replicates, base samples, S1, S1_conf, ST, ST_conf.
    """
    rows = []
    for use in convergence_steps(replicates):
        res = sobol_indices(y, d, replicates, conf, second_order, use=use)
        rows += [[name, lab, use, use * m, res["S1"][o][j], res["S1_conf"][o][j],
                  res["ST"][o][j], res["ST_conf"][o][j]]
                 for o, name in enumerate(names) for j, lab in enumerate(labels)]
    return rows


def small_sample_note(n, half_widths, conf):
    """A line saying the indices are too uncertain, or None when they are not.

    Parameters
    ----------
    n : int
        The base samples analysed.
    half_widths : array_like
        The half-widths of the first-order intervals (NaN: no interval).
    conf : float
        Their level.

    Returns
    -------
    str or None
        When the mean half-width is above WIDE (a tenth of an index's range),
        or no interval could be made: "n = N is too small: ..." with the n that
        would bring it to WIDE (half-widths shrink as 1/sqrt(n)).
    """
    w = np.asarray(half_widths, float)
    w = w[np.isfinite(w)]
    level = f"{100 * conf:g}%"
    if w.size == 0:
        return (f"n = {n} is too small: fewer than 2 replicates give indices, so they have "
                f"no {level} interval")
    mean = float(w.mean())
    if mean <= WIDE:
        return None
    wanted = 2 ** math.ceil(math.log2(n * (mean / WIDE) ** 2))
    return (f"n = {n} is too small: the indices' {level} intervals are ±{mean:.2g} wide "
            f"(mean over the first-order indices of the objective); n = {wanted} would "
            f"bring them to about ±{WIDE:g}")
