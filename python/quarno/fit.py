"""Fitting Quarno's reach parameters to measured concentrations.

The tool edits copies of a deck (values of the segment tables of crparam.txt,
reach by reach), runs the program once per parameter set in a folder of its
own (cached by the content of the deck, the options and the program), reads
the modelled series at the sampling sites and lets
scipy.optimize.least_squares (trust-region reflective, with bounds) minimise
the weighted differences. The Jacobian is taken by forward differences, all
its runs at once, on a local pool of workers or through GNU parallel.

    quarno-fit CONFIG.toml [--out FOLDER]

The command is quarno.cli.fit_main; see docs/calibration.md for the
configuration and the files written. The configuration is quarno.config's,
the observations quarno.observations', the result a quarno.fit_result.FitResult.
"""

import time

from . import forcing
from .cache import Runner
from .config import Config
from .contract import BICOND_FILE
from .deck import Deck
from .errors import FitError, RunFailure
from .fit_flow import FitFlow
from .fit_outputs import prune_runs, write_outputs
from .fit_result import FitResult, diagnose
from .jacobian import difference_jacobian, difference_steps
from .observations import Matcher, Residuals
from .outfolder import FolderLock
from .progress import Progress
from .results import read_obs_csv
from .task import stop_error

__all__ = ["Config", "Fit", "FitError", "FitResult", "Matcher"]


class Fit:
    """One fit: its runs, residuals, Jacobians, the optimiser and the files.

    Parameters
    ----------
    cfg : Config
        The configuration.
    log : callable, optional
        Called with each line of progress.

    Attributes
    ----------
    flow : FitFlow
        How the runs get their flow, set up when the fit starts.
    result : FitResult
        Set by `run`.
    """

    # What holds the output folder, for the message of a second one.
    kind = "fit"
    # Iterations a fit without max_nfev is expected to take, for its bar.
    EXPECTED_ITERATIONS = 10

    def __init__(self, cfg, log=print):
        import numpy as np
        self.np = np
        self.cfg = cfg
        self.log = log
        self.out = cfg.out
        self.deck = Deck(cfg.deck_text)
        self.bicond = (cfg.deck / BICOND_FILE).read_bytes()
        self.params = cfg.parameters
        self.runner = Runner(cfg.program, cfg.options, cfg.workers, cfg.launcher,
                             cfg.parallel_args, log, cfg.scheduler)
        self.flow = FitFlow(cfg, self.runner, self.bicond, self.warn, log)
        self.memo = {}           # tuple(theta) -> (run, residuals or None)
        self.warnings = []
        self.obs = cfg.observations
        self.weighted = Residuals(self.obs, cfg.normalise_groups)
        self.matcher = None
        self.penalty = None
        self.evaluations = 0
        self.lock = FolderLock(self.out, self.kind)
        self.bar = None
        self.jac_folders = (None, [])  # the Jacobian's point and its runs' folders

    # -- decks and runs

    def values_of(self, theta):
        """The parameters' values at a point of the fitted space."""
        return [p.from_theta(t) for p, t in zip(self.params, theta)]

    def deck_text(self, values):
        """crparam.txt with the values of the parameters that set its columns."""
        columns, _, _ = forcing.split_edits([(p.name, p.x_from, p.x_to, v)
                                             for p, v in zip(self.params, values)])
        return self.deck.edited(columns)

    def run_files(self, values):
        """The forcing file (with the strengths and rates of the parameters
        set) and its series files, {relative path: bytes}; {} without a
        forcing file."""
        _, strengths, rates = forcing.split_edits([(p.name, p.x_from, p.x_to, v)
                                                   for p, v in zip(self.params, values)])
        return forcing.run_files(self.cfg.forcing, strengths, rates)

    def prepare(self, theta, folder=None):
        """The run of the deck at `theta`, its folder made ready.

        Parameters
        ----------
        theta : sequence of float
            A point of the fitted space.
        folder : pathlib.Path, optional
            Where to run; OUT/runs/KEY (KEY the run's cache key) by default.

        Returns
        -------
        Run
            The run, already done when its folder is in the cache.
        """
        values = self.values_of(theta)
        text, files = self.deck_text(values), self.run_files(values)
        key = self.runner.key(text, self.bicond, self.flow.run_options, self.flow.flow_extra,
                              files)
        return self.runner.prepare(folder or self.out / "runs" / key, text, self.bicond, key,
                                   files)

    @property
    def record(self):
        """The flow record every run replays, or None."""
        return self.flow.record

    def why_no_record(self):
        """Why the flow is not recorded, or None when it is."""
        return self.flow.why_no_record()

    def warn(self, text):
        """Keep a warning for the summary and log it."""
        self.warnings.append(text)
        self.log(f"warning: {text}")

    def residuals_of(self, run):
        """The weighted residuals of a run and its values at the
        observations; the matcher is built from the first run."""
        rows = read_obs_csv(run.obs_csv)
        if self.matcher is None:
            self.matcher = Matcher(self.obs, rows, self.cfg.variable, str(self.cfg.obs_file))
        model = self.matcher.values(rows)
        return self.residuals_at(model), model

    def residuals_at(self, model):
        """The weighted residuals of modelled values at the observations, on
        the log10 scale where an observation is transformed."""
        return self.weighted.at(model)

    def evaluate(self, thetas):
        """The runs and residuals at the given points, the runs launched
        together; points already evaluated are not run again.

        Parameters
        ----------
        thetas : sequence of sequences of float
            Points of the fitted space.

        Returns
        -------
        list of (Run, numpy.ndarray or None)
            Per point its run and its weighted residuals; None for a run that
            failed numerically or whose residuals are not all finite.

        Raises
        ------
        FitError
            A run failed for a reason that is not its parameters (task.stop_error).
        """
        out = [None] * len(thetas)
        runs = {}
        for k, th in enumerate(thetas):
            key = tuple(float(t) for t in th)
            if key in self.memo:
                out[k] = self.memo[key]
            else:
                runs[k] = self.prepare(th)
        self.runner.execute(list(runs.values()), self.flow.run_options)
        if self.bar is not None:
            self.bar.update(len(runs))
        for run in runs.values():
            error = stop_error(run.status, run.stderr, f"the run in {run.folder}",
                               "the fit stops (finished runs are kept and a new start "
                               "resumes from them)")
            if error is not None:
                raise error
        self.flow.note_mismatches(runs.values())
        for k, run in runs.items():
            res = None
            if run.ok:
                try:
                    res = self.residuals_of(run)[0]
                except RunFailure as e:
                    run.status, run.stderr = -1, str(e)
                    self.runner.failed.append((str(run.folder), -1, str(e)))
            if res is not None and not self.np.all(self.np.isfinite(res)):
                res = None
            out[k] = (run, res)
            self.memo[tuple(float(t) for t in thetas[k])] = out[k]
        return out

    def cost_line(self, what, theta, res):
        """Log the cost and the parameters' values at theta."""
        vals = ", ".join(f"{p.label}={v:.6g}" for p, v in zip(self.params, self.values_of(theta)))
        cost = "failed" if res is None else f"{0.5 * float(res @ res):.6g}"
        self.log(f"{what}: cost {cost}  [{vals}]  runs {self.runner.made} made, "
                 f"{self.runner.from_cache} cached")

    def fun(self, theta):
        """The residuals at theta, for the optimiser; its cost is logged.

        Parameters
        ----------
        theta : numpy.ndarray
            A point of the fitted space.

        Returns
        -------
        numpy.ndarray
            The weighted residuals; for a failed run the penalty, far beyond
            anything the data allow, at every observation.
        """
        self.evaluations += 1
        ((run, res),) = self.evaluate([theta])
        self.cost_line(f"evaluation {self.evaluations}", theta, res)
        if res is None:
            return self.np.full(len(self.obs), self.penalty)
        return res

    def jac(self, theta):
        """The Jacobian at theta by forward differences, its runs launched
        together. A column whose runs fail on both sides is set to zero with a
        warning.

        Parameters
        ----------
        theta : numpy.ndarray
            A point of the fitted space.

        Returns
        -------
        numpy.ndarray
            The Jacobian of the residuals, one column per parameter.
        """
        ((_, f0),) = self.evaluate([theta])
        if f0 is None:
            f0 = self.np.full(len(self.obs), self.penalty)
        hs = difference_steps(theta, self.cfg.jacobian_step, self.bounds())

        def both_failed(j):
            self.warn(f"{self.params[j].label}: the runs on both sides of "
                      f"{self.values_of(theta)[j]:.6g} failed; its Jacobian column is "
                      "set to zero for this iteration")
        folders = []

        def evaluate(points):
            done = self.evaluate(points)
            folders.extend(run.folder for run, _ in done)
            return done
        J = difference_jacobian(evaluate, theta, f0, hs, both_failed)
        self.log(f"jacobian: {len(theta)} columns, cost {0.5 * float(f0 @ f0):.6g}, runs "
                 f"{self.runner.made} made, {self.runner.from_cache} cached")
        self.last_jac = (tuple(float(t) for t in theta), J)
        self.jac_folders = (self.last_jac[0], folders)
        return J

    def bounds(self):
        """The lower and upper bounds in the fitted space."""
        lb = [p.to_theta(p.lower) for p in self.params]
        ub = [p.to_theta(p.upper) for p in self.params]
        return lb, ub

    # -- the whole fit

    def expected_runs(self):
        """The model runs the fit is expected to make, and whence the figure.

        Returns
        -------
        (int, str)
            With max_nfev, its residual evaluations each with a Jacobian of
            one run per parameter, and the best deck's run; without, the
            same for EXPECTED_ITERATIONS iterations.
        """
        per = len(self.params) + 1
        if self.cfg.max_nfev:
            return self.cfg.max_nfev * per + 1, f"at most, from max_nfev = {self.cfg.max_nfev}"
        return (self.EXPECTED_ITERATIONS * per + 1,
                f"an estimate of {self.EXPECTED_ITERATIONS} iterations")

    def run(self, progress=None):
        """The fit, holding the output folder.

        Parameters
        ----------
        progress : bool or None, optional
            A bar over the model runs with the time left: True shows it,
            False never, None in a notebook or on a terminal.

        Returns
        -------
        FitResult
            The estimates and statistics, also written to the output folder.
        """
        total, whence = self.expected_runs()
        with self.lock, self.runner, Progress(total, "fit", "run", progress) as bar:
            if bar.shown:
                self.log(f"progress: {total} model runs ({whence})")
                self.bar = bar
            try:
                result = self.fit()
            finally:
                self.bar = None
            bar.moved_to(total)
            return result

    def fit(self):
        """The fit in an output folder already held: the flow set up, the
        optimiser run from the initial values, the files written.

        Returns
        -------
        FitResult
            The estimates and statistics.

        Raises
        ------
        RunFailure
            When the model fails or is not finite at the starting values, or
            its run at the optimum fails.
        """
        from scipy.optimize import least_squares
        np = self.np
        t_start = time.monotonic()
        initial = [p.initial for p in self.params]
        self.flow.start(self.deck_text(initial), self.run_files(initial))
        theta0 = np.array([p.to_theta(p.initial) for p in self.params])
        ((run0, res0),) = self.evaluate([theta0])
        if run0.status != 0:
            raise RunFailure(f"the model failed at the starting values (exit {run0.status}, "
                             f"{run0.folder}): {run0.stderr}")
        if res0 is None:
            raise RunFailure(f"the model's values at the starting point are not finite "
                             f"({run0.folder})")
        self.cost_line("start", theta0, res0)
        # A failed run counts as residuals far beyond anything the data allow.
        self.penalty = 1e3 * (float(np.max(np.abs(res0))) + float(np.max(
            np.abs(self.weighted.scale * self.weighted.target))) + 1.0)
        lb, ub = self.bounds()
        optimum = least_squares(self.fun, theta0, jac=lambda th: self.jac(th),
                                bounds=(lb, ub), method="trf", x_scale="jac",
                                max_nfev=self.cfg.max_nfev, **self.cfg.tolerances)
        if optimum.status == 0:
            self.warn(f"the fit stopped at max_nfev = {self.cfg.max_nfev} residual evaluations "
                      "before any convergence test held: the estimates may not be the optimum")
        theta = optimum.x
        key = tuple(float(t) for t in theta)
        run, res = self.memo.get(key, (None, None))
        if res is None:
            ((run, res),) = self.evaluate([theta])
        if res is None:
            raise RunFailure(f"the run at the optimum failed: {run.stderr if run else ''}")
        if getattr(self, "last_jac", (None,))[0] == key:
            J = self.last_jac[1]
        else:
            J = self.jac(theta)
        self.best_run = run
        statistics = diagnose(J, res, theta, self.params, self.bounds(),
                              getattr(optimum, "active_mask", None), self.warn)
        self.result = FitResult(self.params, optimum, J, res, statistics, self.warnings,
                                self.cfg.declared)
        write_outputs(self, self.result, t_start)
        if self.cfg.keep_runs == "needed":
            jac_point, jac_folders = self.jac_folders
            removed = prune_runs(self, [run.folder, *(jac_folders if jac_point == key else [])])
            self.log(f"run folders removed (keep_runs = \"needed\"): {removed}")
            path = self.record
            if path is not None and path.is_file():  # made again when a fit starts again
                size = path.stat().st_size
                path.unlink()
                self.log(f"flow record removed (keep_runs = \"needed\"): {size / 1e6:.1f} MB")
        return self.result
