"""Many model runs of one deck on a Dask cluster: a local one of single-threaded
worker processes (one per core), or an existing one started with
`dask-scheduler` and `dask-worker` on any machines.

    from quarno.engine import Engine
    with Engine() as engine:                       # or Engine("tcp://host:8786")
        results = engine.map([(i, [("Re", 0, 300, re)]) for i, re in enumerate(values)],
                             deck)                  # a Deck read with Deck.read(folder)
    results[0]["series"]["C"][0]                   # site 1's concentration over time

A task carries the deck's text and its edits and returns the site series:
no shared file system is needed, but the program (and this package) must be
there on every worker. Each worker records the flow once per flow key and
replays it for its later runs when no edited column is a flow column.
"""

import csv
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import uuid

from . import forcing as _forcing
from . import service
from .deck import FLOW_COLUMNS, FLOW_OPTIONS, Deck
from .errors import QuarnoError
from .service import default_program

# Per worker process: the cache folder of flow records.
_state = {"folder": None, "lock": threading.Lock()}


def _cache_folder():
    """This worker's folder for flow records: inside the worker's own local
    directory (one per worker process, removed when the worker closes), or,
    outside a worker, a temporary folder of this process removed at exit."""
    with _state["lock"]:
        if _state["folder"] is None:
            try:
                from distributed import get_worker
                base = get_worker().local_directory
                folder = tempfile.mkdtemp(prefix="quarno-flow-", dir=base)
            except (ImportError, ValueError):
                import atexit
                folder = tempfile.mkdtemp(prefix="quarno-flow-")
                atexit.register(shutil.rmtree, folder, True)
            _state["folder"] = folder
        return _state["folder"]


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


def _execute(program, options, folder):
    """The Outcome of one run; a run ended by a signal, or a program that
    cannot start here, raises."""
    outcome = service.execute(program, options, folder)
    if outcome.status is None or service.signal_of(outcome.status) is not None:
        raise service.failure(outcome, program,
                              hint=" on this worker (set QUARNO or put quarno on PATH there)")
    return outcome


def _read_series(path, variables):
    """(times, sites, x, {variable: array sites x times}) of a crObsNode.csv,
    whose rows go by time, then site."""
    import numpy as np
    with open(path, newline="") as f:
        reader = csv.reader(f)
        head = next(reader)
        rows = list(reader)
    missing = [v for v in variables if v not in head]
    if missing:
        raise QuarnoError(f"crObsNode.csv has no column {missing[0]!r}", 1)
    col = {name: k for k, name in enumerate(head)}
    sites = sorted({int(r[col["site"]]) for r in rows})
    n = len(sites)
    times = np.array([float(r[col["time_s"]]) for r in rows[::n]]) if n else np.zeros(0)
    x = np.array([float(r[col["x_m"]]) for r in rows[:n]])
    series = {}
    for v in variables:
        flat = np.array([float(r[col[v]]) if r[col[v]] else np.nan for r in rows])
        series[v] = flat.reshape(len(times), n).T.copy()
    return times, np.array(sites), x, series


def run_task(sample, base_text, bicond, edits=(), options=(), variables=("C",),
             program=None, replay=True, forcing=None):
    """One run on a worker: the base deck with its edits (a list of (column,
    x_from, x_to, value) as Deck.edited takes, the same for a column of the
    rate table, or (source.NAME.strength, None, None, value) for a source's
    strength) and its forcing file
    (`forcing`: (bytes, sources) or None) written into a private temporary
    folder, the program run with --csv and `options`, the folder deleted.
    Returns a dict:

      sample   the sample id given
      status   the program's exit status (0: the run succeeded)
      message  its message when it failed
      time     the record times (numpy array), site: the site numbers,
      x        their positions, series: {variable: array sites x times}
      flow     "recorded", "replayed", "mismatch" (the record did not fit
               and the run solved its flow) or "solved"
      seconds  the run's wall time

    A failed run is a result; a run ended by a signal raises QuarnoError, so
    that Dask retries the task. The program is $QUARNO or the default of
    quarno.run, looked up on the worker."""
    program = program or default_program()
    options = [str(o) for o in options]
    columns, strengths, rates = _forcing.split_edits(list(edits))
    text = Deck(base_text).edited(columns) if columns else base_text
    files = _forcing.run_files(forcing, strengths, rates)
    cache = _cache_folder()
    record = None
    if replay and can_replay(edits, options):
        record = service.FlowRecord(os.path.join(
            cache, flow_key(base_text, bicond, options, program, forcing) + ".qflow"))
    folder = tempfile.mkdtemp(prefix="run-", dir=cache)
    try:
        with open(os.path.join(folder, "crparam.txt"), "w", encoding="latin-1",
                  newline="") as f:
            f.write(text)
        with open(os.path.join(folder, "crbicond.txt"), "wb") as f:
            f.write(bicond)
        _forcing.write_files(folder, files)
        start = time.monotonic()
        if record is None:
            outcome, flow = _execute(program, options, folder), "solved"
        else:
            outcome, flow = record.run(lambda o: _execute(program, o, folder), options)
        out = {"sample": sample, "status": outcome.status, "message": "", "flow": flow,
               "seconds": time.monotonic() - start}
        if not outcome.ok:
            out["message"] = outcome.stderr.strip() or "no message"
            return out
        out["time"], out["site"], out["x"], out["series"] = _read_series(
            os.path.join(folder, "crObsNode.csv"), variables)
        return out
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def dask_setup(worker):
    """Start-up of the local cluster's workers: Ctrl-C at the terminal reaches
    every process of its group, and the workers leave it to the client, which
    cancels the runs and closes the cluster (no traceback from each worker)."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


def _deck_parts(deck):
    """(crparam text, crbicond bytes, forcing (bytes, sources) or None) of a
    Deck, or of such a triple or a (text, bicond) pair."""
    if isinstance(deck, Deck):
        if deck.bicond is None:
            raise QuarnoError("the deck holds no crbicond.txt: read it with Deck.read(folder)",
                              1)
        return deck.text, deck.bicond, deck._forcing
    text, bicond, *rest = deck
    return text, bytes(bicond), (rest[0] if rest else None)


class Engine:
    """Runs model tasks on Dask. Use it as a context manager.

    Parameters
    ----------
    scheduler : str, optional
        "tcp://HOST:PORT" of an existing cluster; None starts a local one of
        single-threaded worker processes here, stopped on close.
    workers : int, optional
        The local cluster's workers (default: one per core).
    retries : int, optional
        How often a task is tried again after its worker or run was lost.
    program : str, optional
        The program on the workers (default: default_program() there).
    progress : bool, optional
        A progress line on stderr (default: when stderr is a terminal).
    """

    def __init__(self, scheduler=None, workers=None, retries=3, program=None, progress=None):
        import logging
        from distributed import Client, LocalCluster
        self.cluster = None
        self.retries = retries
        self.program = program
        self.progress = sys.stderr.isatty() if progress is None else progress
        self.counts = {}  # how the flow was obtained, over every result: flow -> runs
        if scheduler is None:
            # The workers' own start-up messages (preloads, nannies) stay
            # quiet too: they read this when they start.
            os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "error")
            self.cluster = LocalCluster(n_workers=workers or os.cpu_count() or 1,
                                        threads_per_worker=1, processes=True,
                                        dashboard_address=":0", silence_logs=logging.ERROR,
                                        preload=["quarno.engine"])
            self.client = Client(self.cluster)
        else:
            self.client = Client(scheduler)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()
            self.cluster = None

    def map(self, items, deck, options=(), variables=("C",), replay=True, on_result=None):
        """Runs every item on `deck` on the cluster.

        Parameters
        ----------
        items : iterable of (id, edits)
            Distinct ids and the edits of each run (as run_task takes them).
        deck : Deck or tuple
            A Deck with its crbicond.txt and forcing file, or (text, bicond
            bytes[, forcing]).
        options : list of str, optional
            The program's options.
        variables : tuple of str, optional
            The columns of crObsNode.csv returned.
        replay : bool, optional
            Record the flow once per worker and replay it where possible.
        on_result : callable, optional
            Called with each result as it arrives.

        Returns
        -------
        list of dict
            run_task's results ordered by id, whatever order they finished in.

        Raises
        ------
        QuarnoError
            The first task's error that retries did not cure (the rest are
            cancelled), or ids that are not distinct.
        """
        text, bicond, forcing = _deck_parts(deck)
        items = list(items)
        ids = [i for i, _ in items]
        if len(set(ids)) != len(ids):
            raise QuarnoError("sample ids must be distinct")
        tag = uuid.uuid4().hex[:8]
        pending = {}
        for i, edits in items:
            future = self.client.submit(run_task, i, text, bicond, list(edits), list(options),
                                        tuple(variables), self.program, replay, forcing,
                                        key=f"quarno-run-{tag}-{i}", retries=self.retries)
            pending[future.key] = future
        return sorted(self._gather(pending, on_result), key=lambda r: r["sample"])

    def _gather(self, pending, on_result):
        """The results of the futures in `pending` (by key) as they finish;
        each future is let go once its result is here, so that the workers
        keep no result twice and a lost worker costs only unfinished runs."""
        from distributed import as_completed
        results = []
        meter = _Progress(len(pending), self.progress)
        try:
            for future, result in as_completed(list(pending.values()), with_results=True):
                del pending[future.key]
                results.append(result)
                self.counts[result["flow"]] = self.counts.get(result["flow"], 0) + 1
                meter.update(len(results))
                if on_result is not None:
                    on_result(result)
        except BaseException:  # Ctrl-C or a failed task: nothing left running
            self.client.cancel(list(pending.values()))
            raise
        finally:
            meter.finish()
        return results


class _Progress:
    """One line on stderr: runs done of the total, runs per second and the
    time left, drawn at most four times a second."""

    def __init__(self, total, shown):
        self.total, self.shown = total, shown
        self.start = self.last = time.monotonic()
        self.drawn = False

    def update(self, done, force=False):
        now = time.monotonic()
        if not self.shown or (now - self.last < 0.25 and not force and done < self.total):
            return
        self.last = now
        rate = done / max(now - self.start, 1e-9)
        left = (self.total - done) / rate if rate > 0 else 0.0
        sys.stderr.write(f"\rruns {done}/{self.total}  {rate:.1f} runs/s  time left "
                         f"{int(left) // 60}:{int(left) % 60:02d} ")
        sys.stderr.flush()
        self.drawn = True

    def finish(self):
        if self.drawn:
            sys.stderr.write("\n")
            sys.stderr.flush()
