"""The convergence diagnostics of an MCMC chain on draws whose answer is known:
independent normal draws (R-hat 1, ESS the number of draws), an AR(1) chain
(ESS n (1 - phi) / (1 + phi)), and chains that disagree in place, spread or
over time (R-hat large), or do not move at all."""

import numpy as np
import pytest

from quarno.mcmc_diagnostics import bulk_ess, diagnose, split_rhat

N, M = 1000, 8   # steps, chains


def ar1(phi, rng):
    x = np.zeros((N, M))
    for t in range(1, N):
        x[t] = phi * x[t - 1] + rng.standard_normal(M)
    return x


def moved(shift=0.0, scale=1.0, trend=0.0):
    """Independent normal draws, the first chain shifted and scaled, every
    chain drifting by `trend` over its length."""
    def make(rng):
        x = rng.standard_normal((N, M)) + np.linspace(0, trend, N)[:, None]
        x[:, 0] = shift + scale * x[:, 0]
        return x
    return make


# name, draws, R-hat range, ESS range
CASES = [
    ("independent", moved(), (0.99, 1.01), (0.85 * N * M, 1.15 * N * M)),
    ("ar1 0.9", lambda rng: ar1(0.9, rng), (0.99, 1.05),
     (0.75 * N * M * 0.1 / 1.9, 1.25 * N * M * 0.1 / 1.9)),
    ("one chain shifted", moved(shift=2.0), (1.1, np.inf), (0, 0.1 * N * M)),
    ("one chain three times wider", moved(scale=3.0), (1.05, np.inf), (0, np.inf)),
    ("every chain drifting", moved(trend=3.0), (1.1, np.inf), (0, 0.5 * N * M)),
]


@pytest.mark.parametrize("name,make,rhat,ess", CASES, ids=[c[0] for c in CASES])
def test_rhat_and_ess_of_draws_with_a_known_answer(name, make, rhat, ess):
    draws = make(np.random.default_rng(11))
    r, e = split_rhat(draws), bulk_ess(draws)
    assert rhat[0] <= r <= rhat[1], r
    assert ess[0] <= e <= ess[1], e
    # The verdict follows the rule: converged only when R-hat < 1.05 and ESS >= 100.
    diag = diagnose(draws[:, :, None], ["p"], np.full(M, 0.3), [1.0])
    assert diag["converged"] == (r < 1.05 and e >= 100)
    assert diag["verdict"].startswith("the chain has converged" if diag["converged"]
                                      else "the chain has not converged: R-hat of p")


def test_a_short_or_stuck_chain_is_not_converged():
    rng = np.random.default_rng(3)
    short = rng.standard_normal((10, 4, 1))   # 40 independent draws: ESS below 100
    diag = diagnose(short, ["p"], np.full(4, 0.3), [1.0])
    assert not diag["converged"] and "ESS of p" in diag["verdict"]
    assert "R-hat of p" not in diag["verdict"]
    stuck = np.concatenate([short, np.ones((10, 4, 1))], axis=2)
    diag = diagnose(stuck, ["p", "q"], np.full(4, 0.3), [1.0, 1.0])
    assert np.isnan(diag["rhat"][1]) and np.isnan(diag["ess"][1])
    assert "R-hat of q undefined (the walkers do not move)" in diag["verdict"]


def test_the_default_move_converges_where_the_stretch_move_has_not():
    """Eight values, two of them correlated at 0.95, started in a small ball:
    run on 300 steps at a time up to 3000, differential evolution converges
    and recovers the covariance; the stretch move has not converged by then
    (it needs some 3.5 times the steps)."""
    from quarno.uncertainty import run_emcee
    d = 8
    cov = np.eye(d)
    cov[0, 1] = cov[1, 0] = 0.95
    precision = np.linalg.inv(cov)
    labels = [f"p{j}" for j in range(d)]

    def log_lik(X):
        Z = X - 0.5
        return -0.5 * np.einsum("ij,jk,ik->i", Z, precision, Z)

    def converged(chain):
        return diagnose(chain[len(chain) // 2:], labels, np.ones(1), np.zeros(d))["converged"]

    bounds = [(-20.0, 20.0, False)] * d
    steps = {}
    for move in ("de", "stretch"):
        r = run_emcee(log_lik, bounds, [0.5] * d, 18, 300, seed=3, spread=0.001,
                      max_steps=3000, converged=converged, move=move)
        steps[move] = r["steps"]
        if move == "de":
            draws = r["chain"][r["steps"] // 2:].reshape(-1, d)
            assert converged(r["chain"])
            np.testing.assert_allclose(np.cov(draws.T), cov, atol=0.3)   # ESS >= 100
    assert steps["de"] < 3000 and steps["stretch"] == 3000, steps
