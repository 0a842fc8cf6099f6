"""The statistics of quarno-sample against functions whose answers are known:
Sobol on Ishigami, Morris ranking, GLUE and MCMC on twin experiments."""

import warnings

import numpy as np
import pytest

from quarno.errors import FitError
from quarno.sensitivity import morris_design, morris_effects, saltelli_design
from quarno.sobol import small_sample_note, sobol_design, sobol_indices
from quarno.uncertainty import (coverage, gaussian_loglik, glue_weights, lhs_design,
                                run_emcee, weighted_quantiles)

PI = (-np.pi, np.pi, False)


def ishigami(X):
    return np.sin(X[:, 0]) + 7 * np.sin(X[:, 1]) ** 2 + 0.1 * X[:, 2] ** 4 * np.sin(X[:, 0])


def test_sobol_ishigami_with_a_dummy_parameter():
    X = saltelli_design([PI] * 4, 6000, seed=1)       # rounded up to 2^13
    assert X.shape == (8192 * 6, 4)
    assert np.array_equal(X, saltelli_design([PI] * 4, 8192, seed=1))
    X = sobol_design([PI] * 4, 6000, 10, seed=1)      # 10 replicates of 600 rounded up to 2^10
    assert X.shape == (10 * 1024 * 6, 4)
    assert np.array_equal(X, sobol_design([PI] * 4, 10240, 10, seed=1))
    r = sobol_indices(ishigami(X), 4, 10)
    S1 = [0.3139, 0.4424, 0.0, 0.0]
    ST = [0.5576, 0.4424, 0.2437, 0.0]
    for est, conf, true in ((r["S1"], r["S1_conf"], S1), (r["ST"], r["ST_conf"], ST)):
        assert np.all(np.abs(est - true) <= conf + 0.005), (est, conf)
        assert np.all(conf[:3] < 0.04)
    assert abs(r["ST"][3]) < 1e-12 and r["n_dropped"] == 0 and r["replicates_used"] == 10


def test_sobol_drops_failed_groups_and_gives_nan_for_a_constant_output():
    X = sobol_design([PI] * 3, 256, 2, seed=3)
    y = ishigami(X)
    m = 128                                  # per replicate; 5 blocks of m rows each
    bad = [(0, 0, 5), (0, 2, 77), (0, 4, 100), (1, 1, 3), (1, 3, 50), (1, 0, 120)]
    y_nan = y.copy()
    for rep, block, j in bad:                # one failed run in each of these base samples
        y_nan[(rep * 5 + block) * m + j] = np.nan
    G = y.reshape(2, 5, m)
    y_kept = np.stack([np.delete(G[0], [5, 77, 100], axis=1),
                       np.delete(G[1], [3, 50, 120], axis=1)]).reshape(-1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        r = sobol_indices(np.c_[y_nan, np.full_like(y, 2.5)], 3, 2)
    ref = sobol_indices(y_kept, 3, 2)
    assert list(r["n_dropped"]) == [6, 0] and list(r["n_used"]) == [2 * m - 6, 2 * m]
    for key in ("S1", "ST", "S1_conf", "ST_conf"):
        np.testing.assert_allclose(r[key][0], ref[key], rtol=1e-12)
    for key in ("S1", "ST"):
        assert np.isnan(r[key][1]).all() and np.isnan(r[key + "_conf"][1]).all()
    with pytest.raises(FitError, match="groups"):
        sobol_indices(y[:-1], 3, 2)


def g_function(a):
    return lambda X: np.prod((np.abs(4 * X - 2) + a) / (1 + a), axis=1)


def g_indices(a):
    """Sobol's g-function (Saltelli & Sobol 1995): V_i = 1/(3 (1 + a_i)^2),
    V = prod(1 + V_i) - 1; S_i = V_i/V, ST_i = V_i prod_{j != i}(1 + V_j)/V,
    S_ij = V_i V_j / V."""
    Vi = 1 / (3 * (1 + np.asarray(a)) ** 2)
    V = np.prod(1 + Vi) - 1
    ST = np.array([Vi[i] * np.prod(np.delete(1 + Vi, i)) for i in range(len(a))]) / V
    return Vi / V, ST, np.outer(Vi, Vi) / V


# Ishigami (a = 7, b = 0.1; Ishigami & Homma 1990): V = a^2/8 + b pi^4/5 +
# b^2 pi^8/18 + 1/2, V_1 = (1 + b pi^4/5)^2/2, V_2 = a^2/8, V_3 = 0 and the one
# interaction V_13 = 8 b^2 pi^8/225.
_V = 49 / 8 + 0.1 * np.pi ** 4 / 5 + 0.01 * np.pi ** 8 / 18 + 0.5
_S1 = np.array([(1 + 0.1 * np.pi ** 4 / 5) ** 2 / 2, 49 / 8, 0.0]) / _V
_S13 = 8 * 0.01 * np.pi ** 8 / 225 / _V
ISHIGAMI = (_S1, _S1 + [_S13, 0, _S13], np.array([[0, 0, _S13], [0, 0, 0], [_S13, 0, 0]]))


@pytest.mark.parametrize("f,bounds,truth,second", [
    (ishigami, [PI] * 3, ISHIGAMI, True),
    (g_function(np.array([0, 1, 4.5, 9, 99.0])), [(0, 1, False)] * 5,
     g_indices([0, 1, 4.5, 9, 99.0]), False),
], ids=["ishigami", "g-function"])
def test_sobol_intervals_cover_the_known_indices_over_50_seeds(f, bounds, truth, second):
    """95 % intervals from 10 replicates (640 base samples): 90-99 % of them
    hold the true index, and their mean half-width is within 1.5 times the
    half-width the spread of the estimates between seeds gives."""
    d = len(bounds)
    pairs = np.triu_indices(d, 1) if second else ([], [])
    est, half = [], []
    for seed in range(50):
        r = sobol_indices(f(sobol_design(bounds, 640, 10, seed, second)), d, 10,
                          second_order=second)
        est.append(np.r_[r["S1"], r["ST"], r["S2"][pairs]])
        half.append(np.r_[r["S1_conf"], r["ST_conf"], r["S2_conf"][pairs]])
        if second:
            assert np.allclose(r["S2"], r["S2"].T, equal_nan=True)
    est, half = np.array(est), np.array(half)
    true = np.r_[truth[0], truth[1], truth[2][pairs]]
    inside = np.abs(est - true) <= half
    assert 0.90 <= inside.mean() <= 0.99, inside.mean(axis=0)
    assert inside.mean(axis=0).min() >= 0.8
    ratio = half.mean(axis=0) / (1.96 * est.std(axis=0, ddof=1))
    assert np.all((ratio > 1 / 1.5) & (ratio < 1.5)), ratio
    # A small sample is said to be one, with the n that would do.
    r = sobol_indices(f(sobol_design(bounds, 40, 10, 0, second)), d, 10, second_order=second)
    note = small_sample_note(40, r["S1_conf"], 0.95)
    assert note.startswith("n = 40 is too small: the indices' 95% intervals are ±")
    assert small_sample_note(640, half[0][:d], 0.95) is None


def test_morris_ranks_dominant_weak_and_inert_factors():
    bounds = [(0, 1, False), (1, 100, True), (-3, 3, False)]
    X, info = morris_design(bounds, r=30, levels=4, seed=5)
    assert X[:, 1].min() >= 1 and X[:, 1].max() <= 100
    assert set(np.round(np.log10(X[:, 1]), 9)) <= set(np.round([0, 2 / 3, 4 / 3, 2], 9))

    def f(X):
        return 10 * X[:, 0] + np.log10(X[:, 1]) ** 2

    y = f(X)
    e = morris_effects(y, info)
    assert e["mu_star"][0] > e["mu_star"][1] > 0 and e["mu_star"][2] == 0
    assert e["mu"][0] == pytest.approx(10) and e["sigma"][0] == pytest.approx(0, abs=1e-9)
    assert e["sigma"][1] > 0.1                      # nonlinear in the unit cube
    y[5] = np.nan              # inside the second trajectory: two effects lost
    assert e["n_effects"].sum() - morris_effects(y, info)["n_effects"].sum() == 2


def test_glue_bands_cover_twin_observations():
    t = np.linspace(0, 5, 100)
    sd = 0.1

    def model(P):
        return P[:, :1] * np.exp(-P[:, 1:] * t)

    truth = model(np.array([[1.0, 0.7]]))[0]
    obs = truth + sd * np.random.default_rng(6).standard_normal(t.size)
    P = lhs_design([(0.5, 1.5, False), (0.3, 1.5, True)], 2000, seed=7)
    sim = model(P)
    L = gaussian_loglik(sim, obs, 1 / sd)
    w = glue_weights(L, L.max() - 10, log=True)
    assert w.sum() == pytest.approx(1) and 50 < np.count_nonzero(w) < 1000
    lo, mid, hi = weighted_quantiles(sim, w)
    assert np.all(lo <= mid) and np.all(mid <= hi) and np.abs(mid - truth).max() < sd
    # predictive band: each behavioural curve with 20 noise draws at its weight
    noisy = sim + sd * np.random.default_rng(8).standard_normal((20,) + sim.shape)
    lo, _, hi = weighted_quantiles(noisy.reshape(-1, t.size), np.tile(w, 20))
    assert 0.85 <= coverage(lo, hi, obs) <= 0.96
    flat = weighted_quantiles(noisy.reshape(-1, t.size), np.ones(20 * len(w)))
    assert coverage(flat[0], flat[2], obs) == 1.0     # the prior's band is far wider
    eq = weighted_quantiles(sim[:50], np.ones(50), q=(0.05, 0.5, 0.95))
    np.testing.assert_allclose(eq, np.quantile(sim[:50], (0.05, 0.5, 0.95), axis=0,
                                               method="hazen"), rtol=1e-12)
    with pytest.raises(FitError, match="no sample is behavioural"):
        glue_weights(np.array([0.1, np.nan, 0.3]), 0.5)


@pytest.mark.parametrize("move,acceptance", [("stretch", (0.4, 0.9)), ("de", (0.2, 0.9))])
def test_mcmc_linear_gaussian_posterior_and_reproducible_chain(move, acceptance):
    x = np.linspace(0, 1, 40)
    sd = 0.3
    y = 1.0 + 2.0 * x + sd * np.random.default_rng(9).standard_normal(x.size)
    calls = []

    def log_lik(P):
        calls.append(len(P))
        return gaussian_loglik(P[:, :1] + P[:, 1:] * x, y, 1 / sd)

    bounds = [(-5, 5, False), (-5, 5, False)]
    r = run_emcee(log_lik, bounds, [0.5, 1.5], 32, 2000, seed=10, move=move)
    assert max(calls) > 1 and r["tau_trusted"] and r["n_failed"] == 0
    assert acceptance[0] < r["acceptance"].mean() < acceptance[1]
    A = np.c_[np.ones_like(x), x]
    mean = np.linalg.lstsq(A, y, rcond=None)[0]
    sdev = sd * np.sqrt(np.diag(np.linalg.inv(A.T @ A)))
    c = r["chain"][500:].reshape(-1, 2)
    assert np.all(np.abs(c.mean(0) - mean) < 0.1 * sdev)
    assert np.all(np.abs(c.std(0) / sdev - 1) < 0.1)
    np.random.random(3)                  # the global generator must not matter
    again = run_emcee(log_lik, bounds, [0.5, 1.5], 32, 50, seed=10, move=move)
    np.testing.assert_array_equal(again["chain"], r["chain"][:50])
    other = run_emcee(log_lik, bounds, [0.5, 1.5], 32, 50, seed=11, move=move)
    assert not np.array_equal(other["chain"], again["chain"])
    assert not again["tau_trusted"] and "not to be trusted" in again["tau_note"]

    def half_fail(P):
        v = log_lik(P)
        v[P[:, 1] > 2.0] = np.nan
        return v

    f = run_emcee(half_fail, bounds, [0.5, 1.5], 32, 200, seed=10, move=move)
    assert f["n_failed"] > 0 and f["chain"][100:, :, 1].max() <= 2.0
