"""The commands quarno-fit, quarno-sample and quarno-plot: their arguments, messages and
exit statuses. Each chooses what it needs when called, nothing at import."""

import argparse
import math
import signal
import sys
import threading

from .errors import QuarnoError


def fit_main(argv=None):
    """quarno-fit CONFIG.toml [--out FOLDER] [--no-progress]: the fit.

    Parameters
    ----------
    argv : list of str, optional
        The arguments; sys.argv[1:] when None.

    Returns
    -------
    int
        The exit status: 0 done (runs that failed numerically on the way, bad
        points, are named in one line on stderr); the QuarnoError's status (1 a
        bad configuration or observations, or a run that failed for a reason
        that is not its parameters; 3 such a run that could not write its
        results; 2 the model failed at the start; 128 + N a run ended by
        signal N); 1 a file that cannot be written; 2 bad arguments; 130 on
        Ctrl-C, 143 on SIGTERM.
    """
    ap = argparse.ArgumentParser(
        prog="quarno-fit",
        description="Fit Quarno's reach parameters to measured concentrations "
                    "(see docs/calibration.md).")
    ap.add_argument("config", help="the fit configuration (TOML)")
    ap.add_argument("--out", help="folder for runs and results (default: fit/ beside the config)")
    ap.add_argument("--no-progress", action="store_true",
                    help="no progress bar (by default one is shown when stderr is a terminal)")
    args = ap.parse_args(argv)
    from .fit import Config, Fit

    def work():
        cfg = Config(args.config, args.out)
        fit = Fit(cfg, log=lambda s: print(s, flush=True))
        fit.run(progress=False if args.no_progress else None)
        _note_failed("quarno-fit", len(fit.runner.failed), "counted as bad points",
                     cfg.out / "summary.txt")
    resume = "; finished runs are kept and a new start resumes from them"
    return _run_command("quarno-fit", work, resume)


def sample_main(argv=None):
    """quarno-sample CONFIG.toml [--out FOLDER] [--scheduler ADDRESS] [--no-progress]
    [--resume]: the sampling.

    Parameters
    ----------
    argv : list of str, optional
        The arguments; sys.argv[1:] when None.

    Returns
    -------
    int
        The exit status, as for fit_main.
    """
    ap = argparse.ArgumentParser(
        prog="quarno-sample",
        description="Sobol and Morris sensitivity, GLUE bands and an MCMC posterior of Quarno's "
                    "reach parameters, the runs spread over a Dask cluster "
                    "(see docs/uncertainty.md).")
    ap.add_argument("config", help="the configuration (TOML): quarno-fit's with a [sample] "
                                   "section")
    ap.add_argument("--out", help="folder for the results (default: sample/ beside the config)")
    ap.add_argument("--no-progress", action="store_true",
                    help="no progress bar (by default one is shown when stderr is a terminal)")
    ap.add_argument("--scheduler", metavar="ADDRESS",
                    help="a running Dask scheduler, tcp://HOST:PORT (default: a local cluster "
                         "in this process, a thread per core, each run a process of its own, "
                         "started and stopped here)")
    ap.add_argument("--resume", action="store_true",
                    help="take the runs of the output folder's journal (runs.journal) of a "
                         "sampling cut short and make only the missing ones (without it the "
                         "journal is written anew)")
    args = ap.parse_args(argv)
    import matplotlib
    matplotlib.use("Agg")  # files only, never a window
    from .config import check_address
    from .sample import SampleConfig, Sampler
    def work():
        if args.scheduler is not None:
            check_address(args.scheduler, "--scheduler")
        cfg = SampleConfig(args.config, args.out)
        result = Sampler(cfg, args.scheduler, log=lambda s: print(s, flush=True)).run(
            progress=False if args.no_progress else None, resume=args.resume)
        _note_failed("quarno-sample", result.failed, "left out of the analysis",
                     cfg.out / "summary.txt")
    return _run_command("quarno-sample", work, "; the runs finished are in the journal: "
                                               "--resume makes only the others")


def _run_command(command, work, resume=""):
    """Calls `work` and turns how it ends into one line on stderr and the exit
    status: 0 done, a QuarnoError's status, 1 a file that cannot be written
    (a full disk, a folder that is a file, no scheduler there), 143 on SIGTERM
    (which ends the command as Ctrl-C does) and 130 on Ctrl-C; `resume` ends
    the lines of the last two."""
    main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _terminated) if main else None
    try:
        work()
    except QuarnoError as e:
        print(f"{command}: {e}", file=sys.stderr)
        return e.status
    except OSError as e:
        where = f"{e.filename}: " if e.filename else ""
        print(f"{command}: {where}{e.strerror or e}", file=sys.stderr)
        return 1
    except _Terminated:
        print(f"{command}: terminated{resume}", file=sys.stderr)
        return 143
    except KeyboardInterrupt:
        print(f"{command}: interrupted{resume}", file=sys.stderr)
        return 130
    finally:
        if main:
            signal.signal(signal.SIGTERM, previous)
    return 0


def _note_failed(command, failed, how, summary):
    """One line on stderr when runs failed on the way (only numerical
    failures of the model get this far: any other failure stops the command)."""
    if failed:
        print(f"{command}: runs that failed numerically at their parameters, {how}: "
              f"{failed}; see {summary}", file=sys.stderr)


class _Terminated(BaseException):
    pass


def _terminated(signum, frame):
    raise _Terminated


def _plot_args(argv, variables):
    p = argparse.ArgumentParser(
        prog="quarno-plot",
        description="Write PNG plots of a quarno run's results: breakthrough curves at the "
                    "observation sites, profiles along the reach at each output time and the "
                    "balance errors. Reads the CSV results of --csv when present, otherwise "
                    "crOutput.txt and crObsNode.txt.")
    p.add_argument("folder", metavar="FOLDER", help="the run folder")
    p.add_argument("--out", metavar="DIR",
                   help="where to write the PNG files (default FOLDER/plots)")
    p.add_argument("--variable", choices=tuple(variables), default="C",
                   help="quantity of the breakthrough curves (default C)")
    p.add_argument("--observations", metavar="FILE.csv",
                   help="measured values to draw as markers: CSV with columns x_m,time_s,value "
                        "(time_s in model time; optional weight, group; weight 0 drawn open)")
    p.add_argument("--time-offset-h", metavar="H", type=float, default=0.0,
                   help="hours added to the printed time axes (clock time of the run's start)")
    p.add_argument("--log", action="store_true",
                   help="log axes for the concentrations (values below 1e-8 of the largest "
                        "are cut off)")
    p.add_argument("--discharge", action="store_true",
                   help="a panel of the discharge at the sites above the breakthrough curves")
    p.add_argument("--bands", metavar="FILE.csv",
                   help="uncertainty bands to shade: CSV with columns x_m,time_s,lower,upper"
                        "[,median], such as quarno-sample's glue_bands.csv")
    p.add_argument("--conc-unit", metavar="UNIT", default="amount/m³",
                   help="the unit of the water and storage concentrations in the deck, for "
                        "the axis labels (default amount/m³; e.g. CFU/m³, mg/m³)")
    p.add_argument("--bed-unit", metavar="UNIT", default="amount/kg",
                   help="the unit of the bed concentration (default amount/kg)")
    return p.parse_args(argv)


def plot_main(argv=None):
    """quarno-plot FOLDER [options]: PNG plots of a run.

    Chooses matplotlib's file-only backend before the plots are imported.

    Parameters
    ----------
    argv : list of str, optional
        The arguments; sys.argv[1:] when None.

    Returns
    -------
    int
        The exit status: 0 done, 1 nothing to plot or a file that cannot be
        read or written, 2 bad arguments.
    """
    import matplotlib
    matplotlib.use("Agg")  # files only, never a window
    from .plot import VARIABLES, plot_run, read_bands, read_observed
    args = _plot_args(sys.argv[1:] if argv is None else argv, VARIABLES)
    if not math.isfinite(args.time_offset_h):
        print("quarno-plot: --time-offset-h must be a finite number", file=sys.stderr)
        return 1
    units = {"conc": args.conc_unit, "bed": args.bed_unit}
    try:
        observed = None
        if args.observations:  # dated observations are placed by the run's start date
            from .manifest import RunFiles
            observed = read_observed(args.observations, RunFiles(args.folder).start_date)
        bands = read_bands(args.bands) if args.bands else None
        written = plot_run(args.folder, args.out, args.variable, args.time_offset_h, observed,
                           args.log, args.discharge, bands, units)
    except QuarnoError as e:
        print(f"quarno-plot: {e}", file=sys.stderr)
        return 1
    for path in written:
        print(path)
    return 0
