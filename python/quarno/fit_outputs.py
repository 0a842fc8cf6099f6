"""What a fit leaves in its output folder: the best deck run in OUT/best,
the files of its result and report, and of its run folders only those it
needs (the optimum's, the Jacobian's at the optimum and the failed ones)."""

import shutil
import time
from pathlib import Path

from .contract import OBS_CSV_FILE
from .results import read_obs_csv
from .stats import site_statistics


def run_best(fit, values):
    """Run the best deck in a folder of its own, OUT/best.

    Parameters
    ----------
    fit : Fit
        The fit.
    values : sequence of float
        The parameters' estimates.

    Returns
    -------
    list
        The rows of its observation record (of the optimum's run, with a
        warning, if the run in OUT/best fails).
    """
    best = fit.out / "best"
    text, files = fit.deck_text(values), fit.run_files(values)
    best.mkdir(parents=True, exist_ok=True)
    best_run = fit.runner.prepare(best, text, fit.bicond,
                                  fit.runner.key(text, fit.bicond, fit.flow.run_options,
                                                 fit.flow.flow_extra, files), files)
    fit.runner.execute([best_run], fit.flow.run_options)
    fit.flow.note_mismatches([best_run])
    if not best_run.ok:
        fit.warn(f"the best deck failed when run in {best}: {best_run.stderr}")
        return read_obs_csv(fit.best_run.obs_csv)
    return read_obs_csv(best / OBS_CSV_FILE)


def write_outputs(fit, result, t_start):
    """Write the fit's files in the output folder and its report in the
    log; the best deck's run completes `result` with the agreement at the
    sites.

    Parameters
    ----------
    fit : Fit
        The fit, done.
    result : FitResult
        The fit's result.
    t_start : float
        The time.monotonic() at which the fit began, for the wall time.
    """
    out = fit.out
    result.write_estimates(out)
    result.write_correlation(out)
    rows = run_best(fit, [e.value for e in result.estimates])
    model = fit.matcher.values(rows)
    series = fit.matcher.series(rows)
    result.add_agreement(fit.obs, model, site_statistics(
        fit.obs, model, fit.matcher.index, series),
        fit.weighted.nash_sutcliffe(fit.residuals_at(model)))
    result.write_series(out)
    result.write_sites(out)
    result.set_runs(fit.cfg.path, fit.cfg.program, fit.cfg.variable, fit.runner.made,
                    fit.runner.from_cache, fit.runner.failed, fit.flow.summary(),
                    time.monotonic() - t_start)
    lines = result.report_lines()
    (out / "summary.txt").write_text("\n".join(lines) + "\n")
    fit.log("")
    for line in lines[3:]:
        fit.log(line)


def prune_runs(fit, needed):
    """Remove the folders of OUT/runs that the fit no longer needs.

    A later fit in the same folder makes again any run it asks for whose
    folder is gone (a run is reused only from a folder holding it).

    Parameters
    ----------
    fit : Fit
        The fit, done.
    needed : iterable of path-like
        The run folders to keep besides the failed ones.

    Returns
    -------
    int
        The number of folders removed.
    """
    runs = fit.out / "runs"
    if not runs.is_dir():
        return 0
    keep = {p.resolve() for p in needed}
    keep |= {Path(folder).resolve() for folder, _, _ in fit.runner.failed}
    removed = 0
    for folder in sorted(runs.iterdir()):
        if folder.is_dir() and not folder.is_symlink() and folder.resolve() not in keep:
            shutil.rmtree(folder)
            removed += 1
    return removed
