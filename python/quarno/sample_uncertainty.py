"""quarno-sample's GLUE and MCMC: the runs, the behavioural samples or the
chain, its convergence, the error model, and the bands of the model and of
the model plus the observation error."""

import numpy as np

from . import errors
from .errors import FitError

# Fewer behavioural GLUE samples than this give a band that is not to be trusted.
GLUE_LEAST = 30


def run_glue(s):
    """GLUE on a Sampler `s`: likelihoods, behavioural weights, the band of
    the model and the predictive band with the weights' observation error.

    Parameters
    ----------
    s : Sampler
    """
    from .sensitivity import saltelli_design
    from .uncertainty import glue_weights, lhs_design
    cfg = s.cfg
    if cfg.design == "lhs":
        X = lhs_design(cfg.bounds, cfg.n, cfg.seed)
    else:  # the first n points of the base block of a Sobol design
        X = saltelli_design(cfg.bounds, cfg.n, cfg.seed)[:cfg.n]
    s.log(f"glue: {len(X)} runs, likelihood {cfg.likelihood}, threshold {cfg.threshold:g}")
    s.expect(len(X))
    ids = s.evaluate(X)
    like = np.array([s.likelihood(i) for i in ids])
    if cfg.likelihood == "nse":
        weights = glue_weights(like, cfg.threshold)
        rule = f"Nash-Sutcliffe efficiency >= {cfg.threshold:g}"
    else:  # log-likelihood within `threshold` of the best
        best = np.nanmax(like) if np.isfinite(like).any() else -np.inf
        weights = glue_weights(like, best - cfg.threshold, log=True)
        rule = f"log-likelihood within {cfg.threshold:g} of the best"
    good = weights > 0
    misfit = np.array([s.outputs.objective(i) for i in ids])[good]
    report = [f"{int(good.sum())} of {len(ids)} samples behavioural ({rule}), admitting "
              f"misfits (weighted sum of squares) {misfit.min():.6g} to {misfit.max():.6g}",
              "the threshold sets the band's width: a looser one admits more samples and "
              "widens the band"]
    if good.sum() < GLUE_LEAST:
        warning = (f"only {int(good.sum())} of {len(ids)} GLUE samples are behavioural "
                   f"(fewer than {GLUE_LEAST}): the bands rest on too few samples; raise n "
                   "or loosen the threshold")
        errors.warn(warning, stacklevel=2)
        report.append(f"warning: {warning}")
    for line in report:
        s.log(f"glue: {line}")
    s.notes += report
    s.result.likelihood, s.result.weights = like, weights
    s.add_bands("glue_bands.csv", ids, weights, comments=report[:2])
    sd = 1.0 / np.where(s.weighted.scale > 0, s.weighted.scale, 1.0)
    add_predictive(s, "glue_predictive.csv", ids, weights, sd)
    s.add_samples(ids, X, likelihood=like, weight=weights)


def add_predictive(s, name, ids, weights, sd):
    """The band of the model plus the observation error, written as `name`.

    Parameters
    ----------
    s : Sampler
    name : str
        The band file.
    ids : list of int
        The samples.
    weights : array_like
        One weight per sample.
    sd : array_like
        (samples, observations): the error's standard deviation on each
        observation's scale.
    """
    from .error_model import predictive_band, site_errors
    sd_site, log = site_errors(s.outputs, np.broadcast_to(sd, (len(ids), len(s.weighted.scale))))
    bands = predictive_band(s.outputs.cube(ids), weights, sd_site, log, s.cfg.seed)
    s.write_band(name, bands, ["the model's band plus the observation error"])


def _walkers_needed(cfg, d):
    """The walkers of an MCMC over d sampled values: the configured ones, else
    max(8, 2 d + 2); FitError when the configured ones are too few."""
    given = cfg.fit.sample["walkers"]
    least = 2 * d + 2
    if given is None:
        return max(8, least)
    if given < least:
        raise FitError(f"{cfg.fit.path} [sample]: 'walkers' must be an integer of at least "
                       f"{least} with noise = \"estimate\" ({d} values sampled, the noise "
                       f"levels among them; found {given})")
    return given


def run_mcmc(s):
    """An MCMC chain (emcee) on a Sampler `s`: the posterior (with the noise
    levels when estimated), its convergence, and its bands.

    Parameters
    ----------
    s : Sampler
    """
    from .error_model import NoiseModel
    from .mcmc_diagnostics import diagnose
    from .uncertainty import run_emcee
    cfg = s.cfg
    d = len(cfg.labels)
    noise = NoiseModel(s.observations, s.weighted) if cfg.noise == "estimate" else None
    labels, bounds = list(cfg.labels), list(cfg.bounds)
    start = [p.initial for p in cfg.fit.parameters]
    walkers = cfg.walkers
    if noise is not None:
        labels += noise.labels
        bounds += noise.bounds
        start += noise.start
        walkers = _walkers_needed(cfg, len(labels))
    if cfg.max_steps is not None and cfg.max_steps < cfg.n:
        raise FitError(f"{cfg.fit.path} [sample]: 'max_steps' ({cfg.max_steps}) must be at "
                       f"least n ({cfg.n})")
    by_point = {}

    def log_prob_many(X):
        ids = s.evaluate(X[:, :d], first_id=s.runs)
        for i, x in zip(ids, X):
            by_point[tuple(x)] = i
        if noise is None:
            return np.array([-0.5 * s.outputs.objective(i) for i in ids])
        return np.array([noise.log_likelihood(s.outputs.residuals.get(i), x[d:])
                         for i, x in zip(ids, X)])

    def burn_of(steps):  # the same share of a longer chain is dropped
        return steps * cfg.burn // cfg.n

    def converged(chain):
        burn = burn_of(len(chain))
        diag = diagnose(chain[burn:], labels, np.ones(1), np.full(len(labels), np.nan))
        s.log(f"mcmc: after {len(chain)} steps: {diag['verdict']}")
        return diag["converged"]

    s.log(f"mcmc: {walkers} walkers, {cfg.n} steps, burn-in {cfg.burn}, noise {cfg.noise}, "
          f"move {cfg.move}"
          + (f", run on up to {cfg.max_steps} steps" if cfg.max_steps else ""))
    # At most one run per walker for the start and each step (proposals
    # outside the bounds are not run), up to max_steps when running on.
    s.expect(walkers * ((cfg.max_steps or cfg.n) + 1))
    res = run_emcee(log_prob_many, bounds, start, walkers, cfg.n, cfg.seed,
                    max_steps=cfg.max_steps, converged=converged, move=cfg.move)
    steps, burn = res["steps"], burn_of(res["steps"])
    diag = diagnose(res["chain"][burn:], labels, res["acceptance"], res["tau"])
    chain = res["chain"][burn:].reshape(-1, len(labels))
    ids = [by_point[tuple(x)] for x in chain]
    weights = np.full(len(ids), 1.0 / len(ids))
    s.result.chain = chain
    report = [f"{steps} steps, burn-in {burn}, move {cfg.move}" + (
        "" if cfg.max_steps is None else
        f" (run on to converge: {'converged' if diag['converged'] else 'max_steps reached'})")]
    report += diag["lines"]
    for line in report:
        s.log(f"mcmc: {line}")
    if not diag["converged"]:
        errors.warn(diag["verdict"], stacklevel=2)
    s.notes += [report[0], diag["verdict"]]
    factors = None if noise is None else noise.factors(chain[:, d:])
    s.add_bands("mcmc_bands.csv", ids, weights, factors=factors)
    unit = 1.0 / np.where(s.weighted.scale > 0, s.weighted.scale, 1.0)
    add_predictive(s, "mcmc_predictive.csv", ids, weights,
                   unit * (1.0 if factors is None else factors))
    q = np.percentile(chain, [2.5, 50.0, 97.5], axis=0)
    rows = [[lab, chain[:, j].mean(), chain[:, j].std(ddof=1), q[0, j], q[1, j], q[2, j],
             res["tau"][j], diag["rhat"][j], diag["ess"][j]] for j, lab in enumerate(labels)]
    s.result.posterior = rows
    s.result.add_csv("posterior.csv", ["parameter", "mean", "sd", "q2.5", "median", "q97.5",
                                       "tau_steps", "rhat", "ess_bulk"], rows)
    s.result.add_text("mcmc_diagnostics.txt", diag["lines"] + [
        res["tau_note"], f"failed runs: {res['n_failed']}", report[0]])
    extra = {f"sigma_{g + 1}": chain[:, d + g] for g in range(len(labels) - d)}
    s.add_samples(ids, chain[:, :d], step=np.repeat(np.arange(burn, steps), walkers), **extra)
    s.add_plot("posterior.png", "pairs", chain[:, :d])
