"""One model run as a task every back end runs the same way (a thread of this
machine, a job of GNU parallel, a Dask worker): `perform(task)` writes the
task's inputs into its folder, runs the program, and returns what the caller
asked for (the exit status and messages, the site series of crObsNode.csv,
the result files themselves for a caller that shares no folder with the
worker).

    python3 -m quarno.task JOB      # GNU parallel's job: perform JOB.task,
                                    # the result pickled into JOB.result
"""

import csv
import io
import os
import pickle
import shutil
import sys
import tempfile
import threading
import time

from . import forcing as _forcing
from . import service
from .contract import OBS_CSV_FILE
from .deck import FLOW_COLUMNS, FLOW_OPTIONS
from .errors import FitError, QuarnoError
from .service import default_program

# The cache folder of flow records and private run folders: one per process,
# and one per Dask worker ({worker's local directory: folder}).
_state = {"folder": None, "workers": {}, "lock": threading.Lock()}

# The message of a task whose back end lost it (no result came back).
LOST = "GNU parallel did not run this job (no status written)"
# The program's exit status for a numerical failure of the model: the one
# failure of a run that is a property of its parameters.
NUMERICAL_FAILURE = 2


def stop_error(status, message, run, stops):
    """The error that stops a fit or a sampling for a run that failed for a
    reason that is not its parameters.

    Only a numerical failure of the model (exit 2) makes a bad point of a fit
    or a failed sample. Bad input, a flow record cut short or damaged, a
    folder or a disk that cannot be written (exit 1 or 3), a program that
    cannot start or a run that wrote no results say nothing about the
    parameters: counted as bad points they would steer the optimiser.

    Parameters
    ----------
    status : int
        The run's exit status (-1: it could not be made or wrote no results).
    message : str
        Its messages; the first line is kept.
    run : str
        The run, for the message ("the run in FOLDER").
    stops : str
        What stops and how to go on, for the message.

    Returns
    -------
    FitError or None
        None for a numerical failure (or success); otherwise the error, of
        the run's status when it is 1 or 3, else 1.
    """
    if status in (0, NUMERICAL_FAILURE):
        return None
    first = next((line for line in str(message).splitlines() if line.strip()), "no message")
    how = f"exit {status}" if status >= 0 else "no exit status"
    return FitError(f"{run} failed for a reason that is not its parameters ({how}): "
                    f"{first.strip()}; {stops}", status if status in (1, 3) else 1)


def cache_folder():
    """This process's folder for flow records and private run folders.

    Returns
    -------
    str
        Inside a Dask worker's own local directory (removed when the worker
        closes; a worker of a local cluster in this process has its own, and
        a folder gone with its worker is made anew); elsewhere a temporary
        folder of this process, removed at exit.
    """
    with _state["lock"]:
        base = _worker_directory()
        if base is not None:
            folder = _state["workers"].get(base)
            if folder is None or not os.path.isdir(folder):
                folder = tempfile.mkdtemp(prefix="quarno-flow-", dir=base)
                _state["workers"][base] = folder
            return folder
        if _state["folder"] is None:
            import atexit
            _state["folder"] = tempfile.mkdtemp(prefix="quarno-flow-")
            atexit.register(shutil.rmtree, _state["folder"], True)
        return _state["folder"]


def _worker_directory():
    """The local directory of the Dask worker this runs in, or None (also
    where Dask is not loaded: a GNU parallel job does not import it)."""
    if "distributed" not in sys.modules:
        return None
    from distributed import get_worker
    try:
        return get_worker().local_directory
    except ValueError:
        return None


def flow_key(base_text, bicond, options, program, forcing=None):
    """The key of a flow record: the content key (service.content_key) of the
    base deck (before its edits, which touch transport columns, source
    strengths and rates only) with its forcing file as read (without the
    weather, which the flow does not see), the options and the program."""
    files = _forcing.flow_files(*forcing) if forcing is not None else None
    return service.content_key(base_text, bicond, options, program, files=files)


def can_replay(edits, options):
    """Whether runs with these edits and options may replay a recorded flow:
    no edited column is a flow column and no option already chooses the flow."""
    return (not any(e[0] in FLOW_COLUMNS for e in edits)
            and not any(str(o).split("=", 1)[0] in FLOW_OPTIONS for o in options))


class Task:
    """One run of the program, as every back end takes it (it pickles).

    Parameters
    ----------
    sample : object
        The task's id, given back in its result.
    options : sequence of str
        The program's options (service.BASE_OPTIONS are added).
    program : str, optional
        The program; None: default_program() where the task runs.
    folder : str, optional
        The run folder (on a filesystem the worker shares); None: a private
        temporary folder where the task runs, removed after it.
    inputs : dict, optional
        Files {relative name: bytes} written into the folder first.
    paths : dict, optional
        {index in options: (name, bytes or None)}: options naming a file,
        replaced by that name in the folder; the bytes, when given, are
        written there first (a file the run reads), else the run writes it.
    flow_base : tuple, optional
        (base text, bicond bytes, forcing or None) of the deck: the flow is
        recorded once per flow key in the cache folder and replayed after.
    variables : sequence of str, optional
        Columns of crObsNode.csv returned as site series.
    bring : bool, optional
        Return the files the run wrote, {name: bytes}.
    strict : bool, optional
        A run ended by a signal, or a program that cannot start, raises
        (a Dask task is then tried again) instead of giving its status.
    """

    def __init__(self, sample, options, program=None, folder=None, inputs=None, paths=None,
                 flow_base=None, variables=(), bring=False, strict=False):
        self.sample, self.options, self.program = sample, [str(o) for o in options], program
        self.folder, self.inputs, self.paths = folder, dict(inputs or {}), dict(paths or {})
        self.flow_base, self.variables = flow_base, tuple(variables)
        self.bring, self.strict = bring, strict


def lost(task, message=LOST):
    """The result of a task its back end did not run (status -1).

    Raises
    ------
    QuarnoError
        For a strict task, which has no status to give.
    """
    if task.strict:
        raise QuarnoError(message, 1)
    return {"sample": task.sample, "status": -1, "message": message, "stderr": message,
            "flow": "solved", "seconds": 0.0}


def read_series(path, variables):
    """The site series of a crObsNode.csv, whose rows go by time, then site.

    Parameters
    ----------
    path : str or path-like
        The crObsNode.csv.
    variables : sequence of str
        Its columns to read.

    Returns
    -------
    tuple
        (times, sites, x, {variable: array sites x times}); an empty cell is
        NaN.

    Raises
    ------
    QuarnoError
        When a variable is not a column of the file.
    """
    import numpy as np
    with open(path, newline="") as f:
        text = f.read()
    lines = text.split("\n")
    plain = '"' not in text and "\r" not in text  # the program's own layout
    rows = lines[1:] if plain else list(csv.reader(io.StringIO(text)))
    head = lines[0].split(",") if plain else (rows.pop(0) if rows else [])
    missing = [v for v in variables if v not in head]
    if missing:
        raise QuarnoError(f"{OBS_CSV_FILE} has no column {missing[0]!r}", 1)
    col = {name: k for k, name in enumerate(head)}
    if plain:  # each row cut only as far as the last column read
        last = max(col[v] for v in ("site", "time_s", "x_m", *variables))
        rows = [line.split(",", last + 1) for line in rows if line]
    sites = sorted({int(r[col["site"]]) for r in rows})
    n = len(sites)
    times = np.array([float(r[col["time_s"]]) for r in rows[::n]]) if n else np.zeros(0)
    x = np.array([float(r[col["x_m"]]) for r in rows[:n]])
    series = {}
    for v in variables:
        flat = np.array([float(r[col[v]]) if r[col[v]] else np.nan for r in rows])
        series[v] = flat.reshape(len(times), n).T.copy()
    return times, np.array(sites), x, series


def perform(task):
    """Runs one task where it is: the one task function of every back end.

    Parameters
    ----------
    task : Task

    Returns
    -------
    dict
        sample (the task's id), status (the exit status; 128 + N for signal
        N; -1 when the program could not start), message (stripped, or "no
        message", when it failed), stderr (as printed), flow ("recorded",
        "replayed", "mismatch": the record did not fit and the run solved its
        flow, or "solved"), seconds; with `variables` and success: time,
        site, x, series; with `bring`: files {name: bytes}.

    Raises
    ------
    QuarnoError
        A strict task's run ended by a signal or whose program cannot start.
    """
    program = task.program or default_program()
    private = task.folder is None
    folder = tempfile.mkdtemp(prefix="run-", dir=cache_folder()) if private else task.folder
    try:
        options = list(task.options)
        for name, data in task.inputs.items():
            _write(folder, name, data)
        for index, (name, data) in task.paths.items():
            options[index] = os.path.join(folder, name)
            if data is not None:
                _write(folder, name, data)
        made = set(os.listdir(folder))
        record = None
        if task.flow_base is not None:
            record = service.FlowRecord(os.path.join(
                cache_folder(), flow_key(*task.flow_base[:2], options, program,
                                         task.flow_base[2]) + ".qflow"))
        start = time.monotonic()

        def launch(opts):
            return _execute(program, opts, folder, task.strict)
        if record is None:
            outcome, flow = launch(options), "solved"
        else:
            outcome, flow = record.run(launch, options)
        if outcome.status is None:
            outcome = service.Outcome(-1, "", f"cannot start {program}: {outcome.stderr}")
        out = {"sample": task.sample, "status": outcome.status, "message": "",
               "stderr": outcome.stderr, "flow": flow, "seconds": time.monotonic() - start}
        if not outcome.ok:
            out["message"] = outcome.stderr.strip() or "no message"
        elif task.variables:
            out["time"], out["site"], out["x"], out["series"] = read_series(
                os.path.join(folder, OBS_CSV_FILE), task.variables)
        if task.bring:
            out["files"] = {name: _read(folder, name) for name in sorted(os.listdir(folder))
                            if name not in made and os.path.isfile(os.path.join(folder, name))}
        return out
    finally:
        if private:
            shutil.rmtree(folder, ignore_errors=True)


def _write(folder, name, data):
    path = os.path.join(folder, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def _read(folder, name):
    with open(os.path.join(folder, name), "rb") as f:
        return f.read()


def _execute(program, options, folder, strict):
    """The Outcome of one run; for a strict task, a run ended by a signal or a
    program that cannot start here raises."""
    outcome = service.execute(program, options, folder)
    if strict and (outcome.status is None or service.signal_of(outcome.status) is not None):
        raise service.failure(outcome, program,
                              hint=" on this worker (set QUARNO or put quarno on PATH there)")
    return outcome


def main(argv=None):
    """GNU parallel's job: performs the task pickled in JOB.task and pickles
    ("ok", result) or ("error", exception) into JOB.result (written whole).

    The jobs of one call share JOB's folder as their cache folder, so that
    they replay one another's flow records.

    Parameters
    ----------
    argv : list of str, optional
        [JOB], the path of the task file without ".task"; sys.argv[1:] by
        default.

    Returns
    -------
    int
        0: a task's QuarnoError goes into its result, not into the exit status.
    """
    answer_job((argv or sys.argv[1:])[0])
    return 0


def answer_job(job, performer=perform):
    """Performs what JOB.task holds (pickled) with `performer` and pickles
    ("ok", result) or ("error", exception) into JOB.result, written whole;
    JOB's folder is this process's cache folder.

    Parameters
    ----------
    job : str
        The path of the task file without ".task".
    performer : callable, optional
        What performs the unpickled task (perform by default).
    """
    _state["folder"] = os.path.dirname(os.path.abspath(job))
    with open(job + ".task", "rb") as f:
        task = pickle.load(f)
    try:
        answer = ("ok", performer(task))
    except QuarnoError as e:
        answer = ("error", e)
    with open(job + ".part", "wb") as f:
        pickle.dump(answer, f)
    os.replace(job + ".part", job + ".result")


if __name__ == "__main__":
    sys.exit(main())
