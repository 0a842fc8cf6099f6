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

import math
import time

from .config import METHODS, SampleConfig
from .contract import BICOND_FILE
from .errors import FitError
from .observations import Residuals
from .outfolder import FolderLock
from .progress import Progress
from .dates import date_texts
from .sample_data import BAND_DATE_COLUMN, unit_comment
from .sample_outputs import Outputs
from .sample_result import SampleResult
from .task import stop_error
from .time_indices import time_variables

__all__ = ["METHODS", "Outputs", "SampleConfig", "SampleResult", "Sampler"]


class Sampler:
    """One quarno-sample run: the design, the runs on the engine, the
    analysis and the files in the output folder.

    Parameters
    ----------
    cfg : SampleConfig
        The configuration.
    scheduler : str, optional
        A running Dask scheduler's address (default: the configuration's, else
        a local cluster); only with launcher = "dask".
    log : callable, optional
        Called with each line of progress.
    engine : object, optional
        An engine already started (its `map`), instead of one made here.
    """

    def __init__(self, cfg, scheduler=None, log=print, engine=None):
        self.cfg = cfg
        self.log = log
        self.scheduler = scheduler or cfg.scheduler
        if scheduler is not None and cfg.launcher != "dask":
            raise FitError(f"a scheduler needs launcher = \"dask\" in [sample] (found "
                           f"{cfg.launcher!r})")
        self.engine = engine
        if cfg.method == "sobol":  # the base samples' split, checked before any run
            from .sobol_run import check_sobol_keys
            check_sobol_keys(cfg)
        self.observations = cfg.fit.observations
        self.weighted = Residuals(self.observations, cfg.fit.normalise_groups)
        self.lock = FolderLock(cfg.out, "sampling")
        self.outputs = Outputs(self.observations, self.weighted, cfg.fit.variable,
                               str(cfg.fit.obs_file))
        self.outputs.extra_variables = time_variables(cfg)
        self.deck = (cfg.fit.deck_text, (cfg.fit.deck / BICOND_FILE).read_bytes(),
                     cfg.fit.forcing)
        self.program = (cfg.fit.program if cfg.fit.program_given else None)
        self.result = SampleResult(cfg.method, cfg.seed, cfg.labels)
        self.start_date, self.unit = cfg.fit.declared.start_date, cfg.fit.declared.unit
        self.result.start_date, self.result.unit = self.start_date, self.unit
        self.progress = None
        self.bar = None
        self.started = time.monotonic()
        self.runs = 0
        self.coverages = self.result.coverages  # band file -> (model band, predictive band)
        self.notes = []  # lines for the summary: what the user should know of the result

    def edits(self, values):
        """The deck edits (name, x_from, x_to, value) of a parameter set."""
        return [(p.name, p.x_from, p.x_to, float(v))
                for p, v in zip(self.cfg.fit.parameters, values)]

    def evaluate(self, X, first_id=0):
        """Run parameter sets as samples.

        Parameters
        ----------
        X : array_like
            The parameter sets (rows), in physical units.
        first_id : int, optional
            The id of the first; the others follow in order.

        Returns
        -------
        list of int
            The samples' ids.

        Raises
        ------
        FitError
            When every run so far failed, or one failed for a reason that is
            not its parameters (quarno.task.stop_error).
        """
        ids = list(range(first_id, first_id + len(X)))
        results = self.runner.results([(i, self.edits(x)) for i, x in zip(ids, X)])
        for r in results:
            error = stop_error(r["status"], r["message"], f"the run of sample {r['sample']}",
                               "the sampling stops")
            if error is not None:
                raise error
        for r in results:
            self.outputs.take(r)
        self.runs += len(ids)
        if len(self.outputs.failed) == self.runs:
            first = next(iter(self.outputs.failed.values()))
            raise FitError(f"every run failed; the first: {first}")
        return ids

    def run_done(self, result):
        """Moves the progress bar on by one finished run."""
        if self.bar is not None:
            self.bar.update(1)

    def expect(self, runs):
        """Shows the progress bar over `runs` runs (when wanted)."""
        if self.bar is None:
            self.bar = Progress(runs, f"{self.cfg.method} runs", "run", self.progress)

    def run(self, progress=None, resume=False):
        """The sampling, holding the output folder.

        Parameters
        ----------
        progress : bool or None, optional
            A bar over the runs with the time left: True always, False never,
            None in a notebook or when stderr is a terminal.
        resume : bool, optional
            Take the runs of the output folder's journal (runs.journal) and
            make only the missing ones; otherwise the journal is written anew.

        Returns
        -------
        SampleResult
            The indices, bands or chain, also written to the output folder.

        Raises
        ------
        FitError
            Resuming from the journal of another configuration, deck or program.
        """
        from .sample_runs import SampleRuns
        self.progress = progress
        try:
            with self.lock, SampleRuns(self, resume) as self.runner:
                return self.analyse()
        finally:
            if self.bar is not None:
                self.bar.close()
                self.bar = None

    def analyse(self):
        """The method's runs and analysis, and the files written from its result.

        Returns
        -------
        SampleResult
        """
        getattr(self, f"run_{self.cfg.method}")()
        if self.bar is not None:
            self.bar.moved_to(self.bar.total)
            self.bar.close()
            self.bar = None
        failed = len(self.outputs.failed)
        flow = ", ".join(f"{n} {k}" for k, n in sorted(self.outputs.flow.items()))
        seconds = time.monotonic() - self.started
        summary = [f"method {self.cfg.method}, seed {self.cfg.seed}, {self.runs} runs "
                   f"({failed} failed) in {seconds:.1f} s, "
                   f"{self.runs / max(seconds, 1e-9):.2f} runs/s",
                   f"flow: {flow}"]
        self.result.runs, self.result.failed = self.runs, failed
        summary += [f"{name}: {100 * a:.1f} % of the observations inside the model's 5-95 % "
                    f"band, {100 * b:.1f} % inside the band with the observation error"
                    for name, (a, b) in self.coverages.items()]
        summary += self.notes
        summary += [f"failed sample {i}: {m}" for i, m in sorted(self.outputs.failed.items())]
        self.result.add_text("summary.txt", summary)
        for path in self.result.write(self.cfg.out):
            self.log(f"wrote {path}")
        return self.result

    # -- methods

    def run_sobol(self):
        """Sobol indices of every output from a replicated Saltelli design."""
        from .sobol_run import sobol_analysis
        sobol_analysis(self)

    def run_morris(self):
        """Morris elementary effects of every output."""
        from .sensitivity import morris_design, morris_effects
        X, info = morris_design(self.cfg.bounds, self.cfg.n, self.cfg.levels, self.cfg.seed)
        self.log(f"morris: {len(X)} runs ({self.cfg.n} trajectories)")
        self.expect(len(X))
        ids = self.evaluate(X)
        names, Y = self.outputs.table(ids)
        rows = []
        for o, name in enumerate(names):
            eff = morris_effects(Y[:, o], info)
            rows += [[name, lab, eff["mu"][j], eff["mu_star"][j], eff["sigma"][j],
                      int(eff["n_effects"][j])] for j, lab in enumerate(self.cfg.labels)]
        self.result.effects, self.result.outputs = rows, names
        self.result.add_csv("morris.csv", ["output", "parameter", "mu", "mu_star", "sigma",
                                           "n_effects"], rows)
        self.add_samples(ids, X)
        self.add_plot("morris.png", "morris", rows)

    def run_glue(self):
        """GLUE: likelihoods, behavioural weights and bands (quarno.sample_uncertainty)."""
        from .sample_uncertainty import run_glue
        run_glue(self)

    def run_mcmc(self):
        """An MCMC chain (emcee), its convergence, the posterior and its bands
        (quarno.sample_uncertainty)."""
        from .sample_uncertainty import run_mcmc
        run_mcmc(self)

    # -- shared parts

    def likelihood(self, i):
        """A sample's likelihood.

        Parameters
        ----------
        i : int
            The sample.

        Returns
        -------
        float
            Its Nash-Sutcliffe efficiency, or the Gaussian log-likelihood of its
            weighted residuals; NaN when its run failed.
        """
        if self.cfg.likelihood == "gaussian":
            return -0.5 * self.outputs.objective(i)
        r = self.outputs.residuals.get(i)
        if r is None:
            return math.nan
        return self.weighted.nash_sutcliffe(r)

    def add_bands(self, name, ids, weights, factors=None, comments=()):
        """The 5/50/95 % bands per site and time of the weighted samples, the
        share of observations inside, and the plot of both.

        Parameters
        ----------
        name : str
            The band file's name.
        ids : list of int
            The samples.
        weights : array_like
            One weight per sample.
        factors : array_like, optional
            (samples, observations): the observation error's sigma as a factor
            on 1/weight, when estimated.
        comments : sequence of str, optional
            Comment lines of the band file, after its unit line.
        """
        np = self.outputs.np
        from .uncertainty import weighted_quantiles
        cube = self.outputs.cube(ids)
        o = self.outputs
        bands = np.stack([weighted_quantiles(cube[:, k, :], weights) for k in range(len(o.x))])
        self.write_band(name, bands, comments)
        inside = []
        for obs, k in zip(self.observations, o.site_of):
            lo, hi = (np.interp(obs["time_s"], o.time, bands[k, q]) for q in (0, 2))
            inside.append(lo <= obs["value"] <= hi)
        share = sum(inside) / len(inside)
        predictive = self.outputs.predictive_coverage(ids, weights, self.cfg.seed,
                                                      factors=factors)
        sigma = "sigma = 1/weight" if factors is None else "sigma estimated"
        self.log(f"{name}: {100 * share:.1f} % of the {len(inside)} observations inside the "
                 f"5-95 % band of the model, {100 * predictive:.1f} % inside the 5-95 % band "
                 f"of the model plus the observation error ({sigma})")
        self.coverage = share
        self.coverages[name] = (share, predictive)

    def write_band(self, name, bands, comments=()):
        """A band file (site, x_m, time_s[, datetime], lower, median, upper)
        and its plot.

        Parameters
        ----------
        name : str
            The band file's name.
        bands : numpy.ndarray
            (sites, 3, times): the 5, 50 and 95 % quantiles.
        comments : sequence of str, optional
            Comment lines after the unit line.
        """
        o = self.outputs
        head = ["site", "x_m", "time_s", "lower", "median", "upper"]
        if self.start_date is None:
            rows = [[k + 1, o.x[k], t, *bands[k, :, j]] for k in range(len(o.x))
                    for j, t in enumerate(o.time)]
        else:
            dates = date_texts(self.start_date, o.time)
            head.insert(3, BAND_DATE_COLUMN)
            rows = [[k + 1, o.x[k], t, dates[j], *bands[k, :, j]] for k in range(len(o.x))
                    for j, t in enumerate(o.time)]
        self.result.bands[name] = bands
        self.result.add_csv(name, head, rows, unit_comment(self.cfg.fit.variable, self.unit)
                            + list(comments))
        self.add_plot(name.replace(".csv", ".png"), "bands", bands)

    def add_samples(self, ids, X, **extra):
        """Add samples.nc: each sample's parameters and site series (sample x site x time).

        Parameters
        ----------
        ids : list of int
            The samples.
        X : array_like
            Their parameters.
        **extra
            Further arrays per sample; the objective is always added.
        """
        o = self.outputs
        self.result.set_samples(
            ids=list(ids), X=X, cube=o.cube(ids), objective=[o.objective(i) for i in ids],
            failed=[i in o.failed for i in ids], extra=extra, variable=self.cfg.fit.variable,
            x_m=o.x, time_s=o.time,
            attrs=dict(method=self.cfg.method, seed=self.cfg.seed, n=self.cfg.n,
                       config=str(self.cfg.fit.path), variable=self.cfg.fit.variable))

    def add_plot(self, name, kind, *args):
        """The plot `kind` of quarno.sample_plots, drawn when the files are
        written."""
        from . import sample_plots
        self.result.add_file(name, lambda path: getattr(sample_plots, kind)(self, path, *args))
