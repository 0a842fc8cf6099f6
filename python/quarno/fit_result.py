"""The result of a fit, in the manner of scipy's OptimizeResult: the
estimates with their standard errors, 95 % ranges, bounds and correlations,
the statistics at the optimum and the agreement site by site; the text of
its report and the files a fit writes."""

import csv
import math

from .stats import covariance, exp_or_inf, format_sites


class Estimate:
    """One fitted parameter at the optimum.

    Parameters
    ----------
    prm : Parameter
        The parameter fitted.
    theta : float
        Its value in the fitted space (the logarithm for a log parameter).
    se : float
        The standard error of theta.

    Attributes
    ----------
    name, label : str
        What it sets, and its name in messages and files.
    x_from, x_to : float or None
        Its reach (None for a source's strength).
    value, stderr : float
        The estimate and its standard error (for a log parameter, value
        times the standard error of its logarithm).
    lower95, upper95 : float
        The 95 % range (for a log parameter, exp(log value +- 1.96 se)).
    initial, lower, upper : float
        The starting value and the bounds.
    log : bool
        Fitted as its logarithm.
    """

    def __init__(self, prm, theta, se):
        value = prm.from_theta(theta)
        if prm.log:
            lo, hi, sev = exp_or_inf(theta - 1.96 * se), exp_or_inf(theta + 1.96 * se), value * se
        else:
            lo, hi, sev = value - 1.96 * se, value + 1.96 * se, se
        self.name, self.label, self.log = prm.name, prm.label, prm.log
        self.x_from, self.x_to = prm.x_from, prm.x_to
        self.value, self.stderr, self.lower95, self.upper95 = value, sev, lo, hi
        self.initial, self.lower, self.upper = prm.initial, prm.lower, prm.upper


def loose_estimate(theta, se, log):
    """Why an estimate is too loose to mean much, or None.

    The rule: a relative standard error above 1 in the fitted space. For a
    parameter fitted as its natural logarithm that is a standard error of
    the logarithm above ln 10, a 95 % range over more than four decades
    (2 * 1.96 * se / ln 10 > 3.9); for a linear one, a standard error above
    the value's magnitude, a 95 % range that takes in zero and the
    opposite sign. A NaN standard error is the singular case, warned
    apart.

    Parameters
    ----------
    theta, se : float
        The estimate in the fitted space and its standard error.
    log : bool
        Fitted as its logarithm.

    Returns
    -------
    str or None
        The reason, for a warning.
    """
    if log:
        if se > math.log(10.0):
            return (f"standard error of its logarithm {se:.3g} above ln 10: its 95 % range "
                    f"spans {2 * 1.96 * se / math.log(10.0):.1f} decades")
    elif se > abs(theta):
        ratio = se / abs(theta) if theta else math.inf
        return f"relative standard error {ratio:.3g} above 1"
    return None


def diagnose(J, res, theta, params, bounds, active, warn):
    """The statistics at the optimum, warning of what makes them doubtful.

    Parameters
    ----------
    J, res : ndarray
        The Jacobian and the weighted residuals at the optimum.
    theta : ndarray
        The optimum in the fitted space.
    params : list of Parameter
        The fitted parameters.
    bounds : tuple of list
        The lower and upper bounds in the fitted space.
    active : ndarray or None
        The optimiser's active_mask.
    warn : callable
        Called with the text of each warning.

    Returns
    -------
    tuple
        The sum of squares, the residual variance s^2, the standard errors
        in the fitted space and the correlation matrix.
    """
    import numpy as np
    n, p = J.shape
    ssr, s2, se, corr, singular = covariance(J, res)
    if singular and n > p:
        warn("standard errors NaN for "
             + ", ".join(prm.label for prm, s in zip(params, se) if s != s)
             + ": the data cannot determine them (J^T J singular or nearly so)")
    norms = np.linalg.norm(J, axis=0)
    if n <= p:
        warn(f"{n} observations for {p} parameters: no standard errors")
    # A parameter on a bound, or closer to it than a thousandth of its range
    # in the fitted space (the optimiser stays strictly inside).
    lb, ub = bounds
    for j, prm in enumerate(params):
        near = 1e-3 * (ub[j] - lb[j])
        at_lower = (active is not None and active[j] < 0) or theta[j] - lb[j] <= near
        at_upper = (active is not None and active[j] > 0) or ub[j] - theta[j] <= near
        if at_lower or at_upper:
            side = "lower" if at_lower else "upper"
            warn(f"{prm.label} ends at its {side} bound: the data would take it "
                 "further, and its standard error and range do not hold there")
    top = float(norms.max()) if p else 0.0
    for j, prm in enumerate(params):
        if top == 0 or norms[j] < 1e-6 * top:
            warn(f"{prm.label}: the data cannot determine it (its Jacobian column "
                 f"norm {norms[j]:.3g} is tiny beside the largest, {top:.3g})")
    for j, prm in enumerate(params):
        loose = loose_estimate(theta[j], se[j], prm.log)
        if loose:
            warn(f"{prm.label}: the data hardly determine it ({loose})")
    for i in range(p):
        for j in range(i + 1, p):
            if abs(corr[i, j]) > 0.95:
                warn(f"{params[i].label} and {params[j].label} are "
                     f"correlated ({corr[i, j]:+.3f}): the data hardly tell them apart")
    return ssr, s2, se, corr


class FitResult:
    """The result of a fit.

    Parameters
    ----------
    params : list of Parameter
        The fitted parameters.
    optimum : OptimizeResult
        least_squares' result.
    J, res : ndarray
        The Jacobian and the weighted residuals at the optimum.
    statistics : tuple
        `diagnose`'s sum of squares, s^2, standard errors and correlations.

    Attributes
    ----------
    estimates : list of Estimate
        Per parameter: value, standard error, 95 % range, bounds.
    params : dict
        Label -> Estimate.
    x : ndarray
        The optimum in the fitted space.
    correlation : ndarray
        The parameters' correlation matrix.
    cost, ssr, s2 : float
        Half the weighted sum of squares, the sum and the residual variance
        SSR/(n-p).
    nfev, njev, status, message, success
        As least_squares gives them.
    jac, fun : ndarray
        The Jacobian and the weighted residuals.
    observations, modelled, sites, nse
        Set by `add_agreement`: the observations, the best deck's values at
        them, the statistics per group and the Nash-Sutcliffe efficiency of
        the weighted residuals.
    warnings : list of str
        What makes the estimates doubtful.
    start_date : pandas.Timestamp or None
        The date of model time 0 (UTC), when the run has one: the files
        with times gain datetime columns.
    unit : Unit or None
        The unit of the concentrations compared, when the deck declares
        one: the files with such values gain a unit column.
    """

    def __init__(self, params, optimum, J, res, statistics, warnings, declared=None):
        ssr, s2, se, corr = statistics
        self.estimates = [Estimate(p, th, s) for p, th, s in zip(params, optimum.x, se)]
        self.params = {e.label: e for e in self.estimates}
        self.x, self.jac, self.fun = optimum.x, J, res
        self.correlation, self.ssr, self.s2, self.cost = corr, ssr, s2, 0.5 * ssr
        self.nfev, self.njev = optimum.nfev, optimum.njev
        self.status, self.message, self.success = optimum.status, optimum.message, \
            optimum.success
        self.warnings = warnings
        self.observations = self.modelled = self.sites = self.nse = None
        self.runs = None
        self.declared = declared
        self.start_date = self.unit = None
        if declared is not None and declared.start_date is not None:
            import pandas
            self.start_date = pandas.Timestamp(declared.start_date)
        if declared is not None:
            self.unit = declared.unit

    def _dated(self, fields, times, head=False):
        """A row of a file (or its head) with the datetime of each of
        `times` (seconds; for the head, their column names) and the unit
        added, as far as the fit has them."""
        if self.start_date is not None:
            fields = fields + ([t.replace("time_s", "datetime") for t in times] if head else
                               [self.declared.datetime_text(t) for t in times])
        if self.unit is not None:
            fields = fields + ["unit" if head else self.unit.text]
        return fields

    def add_agreement(self, observations, modelled, sites, nse):
        """The best deck's values at the observations and their statistics."""
        self.observations, self.modelled, self.sites, self.nse = \
            observations, modelled, sites, nse

    def write_estimates(self, out):
        """Write OUT/estimates.csv: one row per parameter.

        Parameters
        ----------
        out : Path
            The fit's folder.
        """
        with open(out / "estimates.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["name", "label", "x_from", "x_to", "value", "standard_error", "lower95",
                        "upper95", "initial", "lower_bound", "upper_bound"])
            for e in self.estimates:
                reach = ["", ""] if e.x_from is None else [repr(e.x_from), repr(e.x_to)]
                w.writerow([e.name, e.label, *reach, repr(e.value), repr(e.stderr),
                            repr(e.lower95), repr(e.upper95), repr(e.initial), repr(e.lower),
                            repr(e.upper)])

    def write_correlation(self, out):
        """OUT/correlation.csv: the correlation matrix with its labels."""
        with open(out / "correlation.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow([""] + [e.label for e in self.estimates])
            for e, row in zip(self.estimates, self.correlation):
                w.writerow([e.label] + [repr(float(c)) for c in row])

    def write_series(self, out):
        """Write OUT/fit_series.csv: observed and modelled values.

        Parameters
        ----------
        out : Path
            The fit's folder.
        """
        with open(out / "fit_series.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(self._dated(["x_m", "time_s", "observed", "modelled", "weight", "group"],
                                   ["time_s"], head=True))
            for o, m in zip(self.observations, self.modelled):
                w.writerow(self._dated([repr(o["x_m"]), repr(o["time_s"]), repr(o["value"]),
                                        repr(float(m)), repr(o["weight"]), o["group"]],
                                       [o["time_s"]]))

    def write_sites(self, out):
        """Write OUT/sites.csv: the agreement per group of observations.

        Parameters
        ----------
        out : Path
            The fit's folder.
        """
        with open(out / "sites.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(self._dated(["group", "n", "rmse", "bias", "observed_peak_time_s",
                                    "observed_peak", "modelled_peak_time_s", "modelled_peak"],
                                   ["observed_peak_time_s", "modelled_peak_time_s"], head=True))
            for s in self.sites:
                w.writerow(self._dated([s["group"], s["n"]] + [repr(s[k]) for k in (
                    "rmse", "bias", "obs_peak_t", "obs_peak", "mod_peak_t", "mod_peak")],
                    [s["obs_peak_t"], s["mod_peak_t"]]))

    def set_runs(self, config, program, variable, made, cached, failed, flow, wall):
        """What the report says of the fit's runs: the configuration and
        program, the variable compared, the runs made and taken from the
        cache, the failed ones (folder, status, message), the flow and the
        wall time in seconds."""
        self.runs = {"config": config, "program": program, "variable": variable, "made": made,
                     "cached": cached, "failed": list(failed), "flow": flow, "wall": wall}

    def report_lines(self):
        """The report's lines, as summary.txt holds them.

        Returns
        -------
        list of str
        """
        r = self.runs
        lines = [
            f"configuration: {r['config']}",
            f"program: {r['program']}",
            f"observations: {len(self.observations)} ({r['variable']}), parameters: "
            f"{len(self.estimates)}",
            f"runs made: {r['made']}",
            f"runs from the cache: {r['cached']}",
            f"failed runs: {len(r['failed'])}",
            f"flow: {r['flow']}",
            *([f"start date (model time 0): {self.declared.datetime_text(0.0)}"]
              if self.start_date is not None else []),
            *([f"concentration unit: {self.unit.text}"] if self.unit is not None else []),
            f"iterations: {self.njev} (residual evaluations {self.nfev}, Jacobians "
            f"{self.njev})",
            f"wall time: {r['wall']:.1f} s",
            f"final cost (half the weighted sum of squares): {0.5 * self.ssr:.9g}",
            f"residual variance s^2 = SSR/(n-p): {self.s2:.6g}",
            f"optimiser status {self.status}: {self.message}",
            "",
            "estimates (standard errors from s^2 (J^T J)^-1 at the optimum, in the fitted "
            "space; for log parameters se = value * se(log value) and the 95% range is "
            "exp(log value +- 1.96 se(log value))):",
        ]
        lines += [f"  {e.label:<24} {e.value:.6g}  +- {e.stderr:.3g}" for e in self.estimates]
        lines += ["", format_sites(self.sites), "", f"warnings: {len(self.warnings)}"]
        lines += [f"  {wtext}" for wtext in self.warnings]
        if r["failed"]:
            lines += ["", "failed runs:"]
            for folder, status, msg in r["failed"]:
                lines.append(f"  {folder} (exit {status}): {msg.splitlines()[0] if msg else ''}")
        return lines

    def report(self):
        """The report as text, as summary.txt holds it."""
        return "\n".join(self.report_lines()) + "\n"

    def write_summary(self, out):
        """OUT/summary.txt: the report."""
        (out / "summary.txt").write_text(self.report())
