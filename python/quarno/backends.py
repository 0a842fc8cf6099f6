"""Where model runs are made: the back ends behind one call.

    from quarno import backends
    with backends.open_backend("local", workers=4) as backend:   # or "parallel", "dask"
        results = backend.map(tasks)     # quarno.task.Task -> perform's dicts, in order

Every back end runs the same task function, `quarno.batch.perform_unit`
(`quarno.task.perform` for a Task; for a quarno.batch.Batch, the runs it
holds one after the other, their results in its place in the list):

local     a pool of threads of this machine;
parallel  GNU parallel, each task a job `python3 -m quarno.task` (`-m
          quarno.batch` for Batches) whose task and result files lie in a
          scratch folder every host shares (the package, the program and
          this python3, with what the package imports, must be there on
          every host, at the same paths);
dask      a Dask cluster: a given scheduler's ("tcp://HOST:PORT") or a local
          one in this process (a worker of one thread per run at once: the
          runs are processes of their own), stopped on close; a task
          that raised (its run was ended by a signal, its worker was lost) is
          tried again `retries` times.
"""

import concurrent.futures
import os
import pickle
import shutil
import subprocess
import sys
import tempfile
import uuid
from pathlib import Path

from .errors import FitError, QuarnoError
from .progress import Progress
from .batch import Batch, lost_unit, perform_unit, unit_runs

NAMES = ("local", "parallel", "dask")
# How long a given Dask scheduler may take to answer before the command gives up.
CONNECT_SECONDS = 30


class Backend:
    """The interface of a back end: `map` the tasks, `close` when done (or use
    it as a context manager).

    Attributes
    ----------
    retries : int
        How often a task that raised is tried again (0: never).
    workers : int
        Tasks made at once.
    smallest_batch : int
        The fewest runs a batch of the engine's shrinking ones holds here
        (quarno.batch.batch_sizes).
    """

    retries = 0
    workers = 1
    smallest_batch = 1

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Releases what the back end holds (nothing by default)."""

    def map(self, tasks, on_result=None):
        """Performs every task.

        Parameters
        ----------
        tasks : iterable of Task or quarno.batch.Batch
        on_result : callable, optional
            Called with each result as it arrives.

        Returns
        -------
        list of dict
            perform's results, in the order of `tasks`.

        Raises
        ------
        QuarnoError
            The first error of a task (the others are cancelled).
        """
        raise NotImplementedError


class Threads(Backend):
    """Tasks on a pool of threads of this machine.

    Parameters
    ----------
    workers : int
        Tasks at once.
    progress : bool, optional
        A progress line on stderr.
    """

    def __init__(self, workers, progress=False):
        self.workers, self.progress = max(1, int(workers)), progress

    def map(self, tasks, on_result=None):
        """Performs every task on the pool; a task's error cancels the others.

        Parameters
        ----------
        tasks : iterable of Task or quarno.batch.Batch
        on_result : callable, optional
            Called with each result as it arrives.

        Returns
        -------
        list of dict
            perform's results, in the order of `tasks`.
        """
        tasks = list(tasks)
        pool = concurrent.futures.ThreadPoolExecutor(self.workers)
        index = {pool.submit(perform_unit, t): k for k, t in enumerate(tasks)}
        try:
            return _collect(concurrent.futures.as_completed(index),
                            lambda f: (index[f], f.result()), tasks, self.progress,
                            on_result)
        finally:
            pool.shutdown(wait=True, cancel_futures=True)


# The job of GNU parallel: the task file's stem is {} (never read by a shell);
# quarno.task performs Tasks, quarno.batch Batches too.
_JOB = ("-m", "quarno.task")
_BATCH_JOB = ("-m", "quarno.batch")
# The fewest runs of a shrinking batch as a GNU parallel job.
SMALLEST_BATCH = 4


class Parallel(Backend):
    """Tasks as jobs of GNU parallel.

    Each job is a python3 start (about 0.15 s of CPU), so the engine's
    batches shrink to no fewer than SMALLEST_BATCH runs.

    Parameters
    ----------
    workers : int
        Jobs at once.
    scratch : str or path-like
        A folder (every host sees it) for the task and result files.
    parallel_args : sequence of str, optional
        GNU parallel's own options (such as ["--sshloginfile", "hosts"]).
    progress : bool, optional
        A progress line on stderr.
    """

    smallest_batch = SMALLEST_BATCH

    def __init__(self, workers, scratch, parallel_args=(), progress=False):
        if not shutil.which("parallel"):
            raise FitError("launcher = \"parallel\" needs GNU parallel, which is not on PATH")
        self.workers, self.scratch = max(1, int(workers)), Path(scratch)
        self.parallel_args, self.progress = list(parallel_args), progress

    def map(self, tasks, on_result=None):
        """Performs every task as a job of one GNU parallel command, each
        task and its result a file in a folder of the scratch folder (removed
        at the end); a job that left no result gives a lost task's result.

        Parameters
        ----------
        tasks : iterable of Task or quarno.batch.Batch
        on_result : callable, optional
            Called with each result as it arrives.

        Returns
        -------
        list of dict
            perform's results, in the order of `tasks`.
        """
        tasks = list(tasks)
        self.scratch.mkdir(parents=True, exist_ok=True)
        jobs = Path(tempfile.mkdtemp(prefix=f"jobs-{os.getpid()}-", dir=self.scratch))
        try:
            stems = [str(jobs / str(k)) for k in range(len(tasks))]
            for stem, task in zip(stems, tasks):
                with open(stem + ".task", "wb") as f:
                    pickle.dump(task, f)
            with open(jobs / "list", "wb") as f:
                f.write(b"".join(os.fsencode(s) + b"\0" for s in stems))
            env = dict(os.environ)
            package = str(Path(__file__).resolve().parents[1])
            env["PYTHONPATH"] = os.pathsep.join(p for p in (package, env.get("PYTHONPATH")) if p)
            job = _BATCH_JOB if any(isinstance(t, Batch) for t in tasks) else _JOB
            subprocess.run(["parallel", "--will-cite", "--jobs", str(self.workers),
                            *self.parallel_args, "--null", "--quote", "--arg-file",
                            str(jobs / "list"), sys.executable, *job, "{}"],
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE, env=env)
            return _collect(range(len(tasks)), lambda k: (k, _answer(stems[k], tasks[k])),
                            tasks, self.progress, on_result)
        finally:
            shutil.rmtree(jobs, ignore_errors=True)


def _answer(stem, task):
    """The result a job left, its error raised, or the result of a lost task."""
    try:
        with open(stem + ".result", "rb") as f:
            kind, value = pickle.load(f)
    except (OSError, EOFError, pickle.UnpicklingError, ValueError):
        return lost_unit(task)
    if kind == "error":
        raise value
    return value


class Dask(Backend):
    """Tasks on a Dask cluster.

    Parameters
    ----------
    scheduler : str, optional
        "tcp://HOST:PORT" of an existing cluster; None starts a local one in
        this process, stopped on close.
    workers : int, optional
        The local cluster's runs at once, its worker's threads (default: one
        per core).
    retries : int, optional
        How often a task is tried again after its worker or run was lost.
    progress : bool, optional
        A progress line on stderr.

    Attributes
    ----------
    client : distributed.Client
    """

    def __init__(self, scheduler=None, workers=None, retries=3, progress=False):
        import logging
        from distributed import Client, LocalCluster
        self.cluster, self.retries, self.progress = None, retries, progress
        if scheduler is None:
            # The scheduler and one worker of `workers` threads in this
            # process: each run is a process of its own, so the threads do
            # not wait on one another, and no worker or nanny process takes
            # CPU from the runs. No memory limit: the worker would watch
            # this whole process, whose memory is the caller's. The
            # scheduler's HTTP server takes a free port (its default one may
            # be another cluster's).
            self.cluster = LocalCluster(n_workers=1,
                                        threads_per_worker=workers or os.cpu_count() or 1,
                                        processes=False, dashboard_address=":0",
                                        memory_limit=0, silence_logs=logging.ERROR)
            self.client = Client(self.cluster)
        else:
            try:
                self.client = Client(scheduler, timeout=CONNECT_SECONDS)
            except (OSError, TimeoutError) as e:
                reason = str(e).splitlines()[0] if str(e) else type(e).__name__
                raise QuarnoError(f"cannot reach the Dask scheduler at {scheduler} within "
                                  f"{CONNECT_SECONDS} s ({reason})", 1) from None

    @property
    def workers(self):
        """The runs the cluster makes at once (its workers' threads, at least 1)."""
        info = self.client.scheduler_info().get("workers", {})
        return max(1, sum(w.get("nthreads", 1) for w in info.values()))

    def close(self):
        """Closes the client and stops the local cluster, if one was started."""
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()
            self.cluster = None

    def map(self, tasks, on_result=None):
        """Performs every task on the cluster, each tried again up to
        `retries` times; on an error or Ctrl-C the unfinished ones are
        cancelled.

        Parameters
        ----------
        tasks : iterable of Task or quarno.batch.Batch
        on_result : callable, optional
            Called with each result as it arrives.

        Returns
        -------
        list of dict
            perform's results, in the order of `tasks`.
        """
        from distributed import as_completed
        tasks = list(tasks)
        tag = uuid.uuid4().hex[:8]
        pending = {}
        for k, task in enumerate(tasks):
            # Handed out in the order given (the large batches first).
            future = self.client.submit(perform_unit, task, key=f"quarno-run-{tag}-{k}",
                                        retries=self.retries, priority=len(tasks) - k)
            pending[future.key] = (k, future)

        def take(item):
            # Each future is let go once its result is here, so that the
            # workers keep no result twice and a lost worker costs only
            # unfinished runs.
            future, result = item
            return pending.pop(future.key)[0], result
        try:
            return _collect(as_completed([f for _, f in pending.values()], with_results=True),
                            take, tasks, self.progress, on_result)
        except BaseException:  # Ctrl-C or a failed task: nothing left running
            self.client.cancel([f for _, f in pending.values()])
            raise


def open_backend(name, workers=None, scheduler=None, retries=3, parallel_args=(),
                 scratch=None, progress=False):
    """The back end called `name`.

    Parameters
    ----------
    name : {"local", "parallel", "dask"}
    workers : int, optional
        Tasks at once (default: one per core); for Dask, the local cluster's.
    scheduler : str, optional
        Dask: an existing scheduler's address (default: a local cluster).
    retries : int, optional
        Dask: how often a task that raised is tried again.
    parallel_args : sequence of str, optional
        GNU parallel's own options.
    scratch : str or path-like, optional
        GNU parallel: the shared folder of task files (default: a temporary one).
    progress : bool, optional
        A progress line on stderr.

    Returns
    -------
    Backend
    """
    cores = workers or os.cpu_count() or 1
    if name == "local":
        return Threads(cores, progress)
    if name == "parallel":
        return Parallel(cores, scratch or tempfile.gettempdir(), parallel_args, progress)
    if name == "dask":
        return Dask(scheduler, workers, retries, progress)
    raise QuarnoError(f"no back end {name!r} (known: {', '.join(NAMES)})")


def _collect(arrivals, take, units, shown, on_result):
    """The results of `arrivals` in task order: take(arrival) -> (index,
    result), a Batch's list of results standing for its runs, each run's
    result passed to on_result as it comes, with a progress line of runs."""
    results = [None] * len(units)
    meter = Progress(sum(map(unit_runs, units)), "runs", "run", progress=bool(shown))
    done = 0
    try:
        for arrival in arrivals:
            k, result = take(arrival)
            results[k] = result
            runs = result if isinstance(result, list) else [result]
            done += len(runs)
            meter.moved_to(done)
            if on_result is not None:
                for run in runs:
                    on_result(run)
    finally:
        meter.close()
    return [run for result in results
            for run in (result if isinstance(result, list) else [result])]
