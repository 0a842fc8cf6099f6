"""Global sensitivity and uncertainty of a deck's parameters: Sobol indices,
Morris screening, GLUE bands and an MCMC posterior, every run spread over a
Dask cluster (quarno.engine).

    quarno-sample CONFIG.toml [--out FOLDER] [--scheduler tcp://HOST:PORT]

The configuration is quarno-fit's ([model], [observations], [[parameter]]:
each parameter's bounds and log switch give its prior range) with a
[sample] section. All samples are drawn up front from the seed and the
results are taken in sample order, so the same seed gives the same numbers
whatever cluster runs them. See docs/uncertainty.md.
"""

import csv
import math
import os
import time

from .errors import FitError
from .fit import Config, Fit, Matcher

METHODS = ("sobol", "morris", "glue", "mcmc")
_SAMPLE_KEYS = {"method", "n", "seed", "n_boot", "conf", "levels", "design", "likelihood",
                "threshold", "walkers", "burn", "workers"}
_LIKELIHOODS = ("nse", "gaussian")


def _integer(table, key, where, default, least=1):
    v = table.get(key, default)
    if isinstance(v, bool) or not isinstance(v, int) or v < least:
        raise FitError(f"{where}: '{key}' must be an integer of at least {least} (found {v!r})")
    return v


def _choice(table, key, where, choices):
    v = table.get(key, choices[0])
    if v not in choices:
        raise FitError(f"{where}: '{key}' must be one of {', '.join(choices)} (found {v!r})")
    return v


class SampleConfig:
    """quarno-fit's configuration with its [sample] section read and checked."""

    def __init__(self, path, out=None):
        self.fit = Config(path, out, default_out="sample")
        where = f"{path} [sample]"
        s = self.fit.data.get("sample")
        if not isinstance(s, dict):
            raise FitError(f"{path}: missing section [sample] (method, n, seed)")
        extra = sorted(set(s) - _SAMPLE_KEYS)
        if extra:
            raise FitError(f"{where}: unknown key '{extra[0]}' (known: "
                           f"{', '.join(sorted(_SAMPLE_KEYS))})")
        if "method" not in s:
            raise FitError(f"{where}: missing key 'method' ({', '.join(METHODS)})")
        self.method = _choice(s, "method", where, METHODS)
        if "n" not in s:
            raise FitError(f"{where}: missing key 'n' (base samples, trajectories, samples or "
                           "steps, by method)")
        self.n = _integer(s, "n", where, None)
        self.seed = _integer(s, "seed", where, 0, least=0)
        self.n_boot = _integer(s, "n_boot", where, 500)
        self.levels = _integer(s, "levels", where, 4, least=2)
        if self.levels % 2:
            raise FitError(f"{where}: 'levels' must be even (found {self.levels})")
        self.design = _choice(s, "design", where, ("lhs", "sobol"))
        self.likelihood = _choice(s, "likelihood", where, _LIKELIHOODS)
        self.conf = s.get("conf", 0.95)
        if isinstance(self.conf, bool) or not isinstance(self.conf, float) \
                or not 0 < self.conf < 1:
            raise FitError(f"{where}: 'conf' must be a number between 0 and 1")
        default = 0.5 if self.likelihood == "nse" else 10.0
        self.threshold = s.get("threshold", default)
        if isinstance(self.threshold, bool) or not isinstance(self.threshold, (int, float)) \
                or not math.isfinite(self.threshold):
            raise FitError(f"{where}: 'threshold' must be a number")
        d = len(self.fit.parameters)
        self.walkers = _integer(s, "walkers", where, max(8, 2 * d + 2), least=2 * d + 2)
        self.burn = _integer(s, "burn", where, self.n // 2, least=0)
        if self.method == "mcmc" and self.burn >= self.n:
            raise FitError(f"{where}: 'burn' ({self.burn}) must be less than n ({self.n}), the "
                           "steps of the chain")
        self.workers = _integer(s, "workers", where, os.cpu_count() or 1)
        self.out = self.fit.out

    @property
    def bounds(self):
        return [(p.lower, p.upper, p.log) for p in self.fit.parameters]

    @property
    def labels(self):
        return [p.label for p in self.fit.parameters]


class Outputs:
    """The model's outputs of every sample: the site series on one time axis
    (the first good run's), the fit's weighted residuals at the observations,
    and from them the objective and each site's peak and time integral."""

    def __init__(self, fit, variable):
        import numpy as np
        self.np = np
        self.fit = fit
        self.variable = variable
        self.time = None
        self.x = None
        self.series = {}      # sample id -> array sites x times (NaN: failed run)
        self.residuals = {}   # sample id -> weighted residuals at the observations
        self.failed = {}      # sample id -> message
        self.flow = {}

    def take(self, result):
        np = self.np
        i = result["sample"]
        self.flow[result["flow"]] = self.flow.get(result["flow"], 0) + 1
        if result["status"] != 0:
            self.failed[i] = f"exit {result['status']}: {result['message']}"
            return
        series = result["series"][self.variable]
        if self.time is None:
            self.time, self.x = result["time"], result["x"]
            rows = [{"site": int(s), "x_m": float(x), "time_s": float(t), self.variable: 0.0}
                    for s, x in zip(result["site"], result["x"]) for t in result["time"]]
            self.fit.matcher = Matcher(self.fit.obs, rows, self.variable,
                                       str(self.fit.cfg.obs_file))
            self.site_of = [list(result["site"]).index(s) for s in self.fit.matcher.index]
        elif len(result["time"]) != len(self.time) or np.any(result["time"] != self.time):
            series = np.array([np.interp(self.time, result["time"], s) for s in series])
        self.series[i] = series
        model = np.array([np.interp(o["time_s"], self.time, series[k])
                          for o, k in zip(self.fit.obs, self.site_of)])
        r = self.fit.residuals_at(model)
        self.residuals[i] = r if np.all(np.isfinite(r)) else None

    def objective(self, i):
        """The weighted sum of squares of sample i (NaN when its run failed)."""
        r = self.residuals.get(i)
        return math.nan if r is None else float(r @ r)

    def table(self, ids):
        """The outputs of samples `ids` as (names, array samples x outputs):
        the objective, then each site's peak and time integral."""
        np = self.np
        names = ["objective"] + [f"peak {self.variable} x={x:g}" for x in self.x] + \
                [f"integral {self.variable} x={x:g}" for x in self.x]
        rows = []
        for i in ids:
            s = self.series.get(i)
            if s is None:
                rows.append([math.nan] * len(names))
                continue
            rows.append([self.objective(i), *np.max(s, axis=1),
                         *np.trapz(s, self.time, axis=1)])
        return names, np.array(rows, dtype=float)

    def cube(self, ids):
        """The site series of samples `ids`: samples x sites x times."""
        np = self.np
        blank = np.full((len(self.x), len(self.time)), np.nan)
        return np.stack([self.series.get(i, blank) for i in ids])


class Sampler:
    """One quarno-sample run: the design, the runs on the engine, the
    analysis and the files in the output folder."""

    def __init__(self, cfg, scheduler=None, log=print, engine=None):
        self.cfg = cfg
        self.log = log
        self.scheduler = scheduler
        self.engine = engine
        self.fit = Fit(cfg.fit, log=log)  # observations, weights, the folder's lock
        self.fit.kind = "sampling"
        self.outputs = Outputs(self.fit, cfg.fit.variable)
        self.deck = (cfg.fit.deck_text, (cfg.fit.deck / "crbicond.txt").read_bytes(),
                     cfg.fit.forcing)
        self.program = (cfg.fit.program if "program" in cfg.fit.data["model"] else None)
        self.started = time.monotonic()
        self.runs = 0
        self.coverages = {}  # band file -> (share in the model band, in the predictive band)

    def edits(self, values):
        return [(p.name, p.x_from, p.x_to, float(v))
                for p, v in zip(self.cfg.fit.parameters, values)]

    def evaluate(self, X, first_id=0):
        """Runs the parameter sets X (rows) as samples first_id, ...; their ids."""
        ids = list(range(first_id, first_id + len(X)))
        results = self.engine.map([(i, self.edits(x)) for i, x in zip(ids, X)], self.deck,
                                  options=self.cfg.fit.options,
                                  variables=(self.cfg.fit.variable,))
        for r in results:
            self.outputs.take(r)
        self.runs += len(ids)
        if len(self.outputs.failed) == self.runs:
            first = next(iter(self.outputs.failed.values()))
            raise FitError(f"every run failed; the first: {first}")
        return ids

    def run(self):
        from .engine import Engine
        self.fit.lock_out()
        try:
            if self.engine is None:
                with Engine(self.scheduler, workers=self.cfg.workers,
                            program=self.program) as engine:
                    self.engine = engine
                    return self.analyse()
            return self.analyse()
        finally:
            self.fit.unlock_out()

    def analyse(self):
        method = getattr(self, f"run_{self.cfg.method}")
        files = method()
        failed = len(self.outputs.failed)
        flow = ", ".join(f"{n} {k}" for k, n in sorted(self.outputs.flow.items()))
        seconds = time.monotonic() - self.started
        summary = [f"method {self.cfg.method}, seed {self.cfg.seed}, {self.runs} runs "
                   f"({failed} failed) in {seconds:.1f} s, "
                   f"{self.runs / max(seconds, 1e-9):.2f} runs/s",
                   f"flow: {flow}"]
        summary += [f"{name}: {100 * a:.1f} % of the observations inside the model's 5-95 % "
                    f"band, {100 * b:.1f} % inside the band with the observation error"
                    for name, (a, b) in self.coverages.items()]
        summary += [f"failed sample {i}: {m}" for i, m in sorted(self.outputs.failed.items())]
        files.append(self.write_text("summary.txt", summary))
        for path in files:
            self.log(f"wrote {path}")
        return files

    # -- methods

    def run_sobol(self):
        from .sensitivity import saltelli_design, sobol_indices
        X = saltelli_design(self.cfg.bounds, self.cfg.n, self.cfg.seed)
        d = X.shape[1]
        self.log(f"sobol: {len(X)} runs ({len(X) // (d + 2)} base samples, {d} parameters)")
        ids = self.evaluate(X)
        names, Y = self.outputs.table(ids)
        res = sobol_indices(Y, d, n_boot=self.cfg.n_boot, seed=self.cfg.seed,
                            conf=self.cfg.conf)
        head = ["parameter", "S1", "S1_conf", "ST", "ST_conf"]
        rows = [[lab, *(res[k][0][j] for k in head[1:])] for j, lab in enumerate(self.cfg.labels)]
        files = [self.write_csv("sobol.csv", head, rows)]
        rows = [[name, lab, *(res[k][o][j] for k in head[1:])]
                for o, name in enumerate(names) for j, lab in enumerate(self.cfg.labels)]
        files.append(self.write_csv("sobol_outputs.csv", ["output"] + head, rows))
        dropped = [int(v) for v in res["n_dropped"]]
        if any(dropped):
            self.log(f"sobol: base samples left out for failed runs: {max(dropped)}")
        files.append(self.write_samples(ids, X))
        files.append(self.plot("sobol.png", "indices", names, res))
        return files

    def run_morris(self):
        from .sensitivity import morris_design, morris_effects
        X, info = morris_design(self.cfg.bounds, self.cfg.n, self.cfg.levels, self.cfg.seed)
        self.log(f"morris: {len(X)} runs ({self.cfg.n} trajectories)")
        ids = self.evaluate(X)
        names, Y = self.outputs.table(ids)
        rows = []
        for o, name in enumerate(names):
            eff = morris_effects(Y[:, o], info)
            rows += [[name, lab, eff["mu"][j], eff["mu_star"][j], eff["sigma"][j],
                      int(eff["n_effects"][j])] for j, lab in enumerate(self.cfg.labels)]
        files = [self.write_csv("morris.csv", ["output", "parameter", "mu", "mu_star", "sigma",
                                               "n_effects"], rows)]
        files.append(self.write_samples(ids, X))
        files.append(self.plot("morris.png", "morris", rows))
        return files

    def run_glue(self):
        np = self.outputs.np
        from .sensitivity import saltelli_design
        from .uncertainty import glue_weights, lhs_design
        if self.cfg.design == "lhs":
            X = lhs_design(self.cfg.bounds, self.cfg.n, self.cfg.seed)
        else:  # the first n points of the base block of a Sobol design
            X = saltelli_design(self.cfg.bounds, self.cfg.n, self.cfg.seed)[:self.cfg.n]
        self.log(f"glue: {len(X)} runs, likelihood {self.cfg.likelihood}, threshold "
                 f"{self.cfg.threshold:g}")
        ids = self.evaluate(X)
        like = np.array([self.likelihood(i) for i in ids])
        if self.cfg.likelihood == "nse":
            weights = glue_weights(like, self.cfg.threshold)
        else:  # log-likelihood within `threshold` of the best
            best = np.nanmax(like) if np.isfinite(like).any() else -np.inf
            weights = glue_weights(like, best - self.cfg.threshold, log=True)
        behavioural = int(np.count_nonzero(weights))
        self.log(f"glue: {behavioural} of {len(ids)} samples behavioural")
        files = self.write_bands("glue_bands.csv", ids, weights)
        files.append(self.write_samples(ids, X, likelihood=like, weight=weights))
        return files

    def run_mcmc(self):
        np = self.outputs.np
        from .uncertainty import run_emcee
        start = [p.initial for p in self.cfg.fit.parameters]
        self.by_point = {}

        def log_prob_many(X):
            ids = self.evaluate(X, first_id=self.runs)
            for i, x in zip(ids, X):
                self.by_point[tuple(x)] = i
            return np.array([-0.5 * self.outputs.objective(i) for i in ids])

        self.log(f"mcmc: {self.cfg.walkers} walkers, {self.cfg.n} steps, burn-in "
                 f"{self.cfg.burn}")
        res = run_emcee(log_prob_many, self.cfg.bounds, start, self.cfg.walkers, self.cfg.n,
                        self.cfg.seed)
        chain = res["chain"][self.cfg.burn:].reshape(-1, len(start))
        ids = [self.by_point[tuple(x)] for x in chain]
        weights = np.full(len(ids), 1.0 / len(ids))
        files = self.write_bands("mcmc_bands.csv", ids, weights)
        q = np.percentile(chain, [2.5, 50.0, 97.5], axis=0)
        rows = [[lab, chain[:, j].mean(), chain[:, j].std(ddof=1), q[0, j], q[1, j], q[2, j],
                 res["tau"][j]] for j, lab in enumerate(self.cfg.labels)]
        files.append(self.write_csv("posterior.csv", ["parameter", "mean", "sd", "q2.5",
                                                      "median", "q97.5", "tau_steps"], rows))
        diag = [f"acceptance fraction: mean {res['acceptance'].mean():.3f} (walkers "
                f"{res['acceptance'].min():.3f} to {res['acceptance'].max():.3f})",
                "autocorrelation time (steps): " + ", ".join(
                    f"{lab} {t:.1f}" for lab, t in zip(self.cfg.labels, res["tau"])),
                res["tau_note"], f"failed runs: {res['n_failed']}"]
        files.append(self.write_text("mcmc_diagnostics.txt", diag))
        files.append(self.write_samples(ids, chain, step=np.repeat(
            np.arange(self.cfg.burn, self.cfg.n), self.cfg.walkers)))
        files.append(self.plot("posterior.png", "pairs", chain))
        return files

    # -- shared parts

    def likelihood(self, i):
        if self.cfg.likelihood == "gaussian":
            return -0.5 * self.outputs.objective(i)
        r = self.outputs.residuals.get(i)
        if r is None:
            return math.nan
        t = self.fit.scale * self.fit.target
        return 1.0 - float(r @ r) / float(((t - t.mean()) ** 2).sum())

    def write_bands(self, name, ids, weights):
        """The 5/50/95 % bands per site and time of the weighted samples, the
        share of observations inside, and the plot of both."""
        np = self.outputs.np
        from .uncertainty import weighted_quantiles
        cube = self.outputs.cube(ids)
        o = self.outputs
        bands = np.stack([weighted_quantiles(cube[:, k, :], weights) for k in range(len(o.x))])
        rows = [[k + 1, o.x[k], t, *bands[k, :, j]] for k in range(len(o.x))
                for j, t in enumerate(o.time)]
        files = [self.write_csv(name, ["site", "x_m", "time_s", "lower", "median", "upper"],
                                rows)]
        inside = []
        for obs, k in zip(self.fit.obs, o.site_of):
            lo, hi = (np.interp(obs["time_s"], o.time, bands[k, q]) for q in (0, 2))
            inside.append(lo <= obs["value"] <= hi)
        share = sum(inside) / len(inside)
        predictive = self.predictive_coverage(ids, weights)
        self.log(f"{name}: {100 * share:.1f} % of the {len(inside)} observations inside the "
                 f"5-95 % band of the model, {100 * predictive:.1f} % inside the 5-95 % band "
                 "of the model plus the observation error (sigma = 1/weight)")
        self.coverage = share
        self.coverages[name] = (share, predictive)
        files.append(self.plot(name.replace(".csv", ".png"), "bands", bands))
        return files

    def predictive_coverage(self, ids, weights, draws=20):
        """The share of observations (weight > 0) inside the 5-95 % band of
        the weighted model values plus a Gaussian observation error of
        sigma = 1/weight on the fit's scale (log10 where transformed): an
        observation is inside when zero lies between the 5 and 95 %
        quantiles of its residuals with the error drawn in (seeded)."""
        np = self.outputs.np
        from .uncertainty import weighted_quantiles
        keep = [k for k, i in enumerate(ids) if weights[k] > 0
                and self.outputs.residuals.get(i) is not None]
        R = np.array([self.outputs.residuals[ids[k]] for k in keep])
        used = self.fit.scale > 0
        rng = np.random.default_rng(self.cfg.seed)
        noisy = (R[:, None, used] + rng.standard_normal((len(keep), draws, int(used.sum()))))
        w = np.repeat(np.asarray(weights)[keep] / draws, draws)
        lo, hi = weighted_quantiles(noisy.reshape(len(keep) * draws, -1), w, q=(0.05, 0.95))
        return float(np.mean((lo <= 0.0) & (0.0 <= hi)))

    def write_csv(self, name, head, rows):
        path = self.cfg.out / name
        tmp = path.with_name(name + ".tmp")
        with open(tmp, "w", newline="") as f:
            w = csv.writer(f, lineterminator="\n")
            w.writerow(head)
            w.writerows([[repr(float(v)) if isinstance(v, float) or hasattr(v, "dtype")
                          else v for v in row] for row in rows])
        os.replace(tmp, path)
        return path

    def write_text(self, name, lines):
        path = self.cfg.out / name
        path.write_text("\n".join(lines) + "\n")
        return path

    def write_samples(self, ids, X, **extra):
        """samples.nc: the parameters of each sample and its site series
        (sample x site x time), with the objective and any `extra` per sample."""
        import xarray as xr
        np = self.outputs.np
        o = self.outputs
        data = {
            "parameter_value": (("sample", "parameter"), np.asarray(X, dtype=float)),
            self.cfg.fit.variable: (("sample", "site", "time"), o.cube(ids)),
            "objective": (("sample",), np.array([o.objective(i) for i in ids])),
            "failed": (("sample",), np.array([i in o.failed for i in ids], dtype=np.int8)),
        }
        for key, values in extra.items():
            data[key] = (("sample",), np.asarray(values, dtype=float))
        ds = xr.Dataset(data, coords={
            "sample": np.asarray(ids), "parameter": self.cfg.labels,
            "x_m": ("site", o.x), "time_s": ("time", o.time)})
        ds.attrs.update(method=self.cfg.method, seed=self.cfg.seed, n=self.cfg.n,
                        config=str(self.cfg.fit.path), variable=self.cfg.fit.variable)
        path = self.cfg.out / "samples.nc"
        tmp = path.with_name("samples.nc.tmp")
        ds.to_netcdf(tmp)
        os.replace(tmp, path)
        return path

    def plot(self, name, kind, *args):
        from . import sample_plots
        path = self.cfg.out / name
        getattr(sample_plots, kind)(self, path, *args)
        return path
