"""Model runs in folders keyed by their content (the deck, the options and
the program), reused when a finished run of the same key is there, and
launched together on a back end (quarno.backends: a pool of threads of this
machine, GNU parallel, which may spread them over machines sharing the
folders, or a Dask cluster, whose tasks carry the inputs and bring the
result files back). Each run's outcome goes back through the runner, which
records it in the run's folder."""

import json
import threading
from pathlib import Path

from . import backends, forcing, service
from .contract import (BICOND_FILE, CONTRACT, FORCING_FILE, MANIFEST_FILE, OBS_CSV_FILE,
                       PARAM_FILE)
from .errors import FitError, QuarnoError
from .service import file_hash
from .task import Task


# The files of a run folder that are its inputs or the tool's own records,
# not results of the run.
_NOT_RESULTS = {PARAM_FILE, BICOND_FILE, FORCING_FILE, MANIFEST_FILE, "stderr.txt", "status", "done"}
# Options whose value names a file: sent to (or brought back from) a worker
# that shares no folder with this machine.
_PATH_OPTIONS = tuple(name for o in CONTRACT["options"] if o["argument"] == "FILE"
                      for name in o["names"])
# The program's message when another process holds its folder lock.
BUSY = "another run is using this folder"


def result_hashes(folder):
    """The hash of every result file in a run folder, by name."""
    return {p.name: file_hash(p) for p in sorted(Path(folder).iterdir())
            if p.is_file() and p.name not in _NOT_RESULTS}


class Run:
    """One model run: its folder, its key and its outcome.

    Parameters
    ----------
    folder : str or path-like
        The run folder.
    key : str
        The run's content key.

    Attributes
    ----------
    status : int or None
        The exit status (128 + N for signal N; -1 when the run could not be
        made or wrote no results), None until run.
    stderr : str
        The run's messages.
    cached : bool
        Whether a finished run of the same key was found in the folder.
    """

    def __init__(self, folder, key):
        self.folder, self.key = Path(folder), key
        self.status = None       # exit status, None until run
        self.stderr = ""
        self.cached = False
        self.files = {}          # its forcing files, {relative path: bytes}

    @property
    def ok(self):
        """Whether the run succeeded."""
        return self.status == 0

    @property
    def obs_csv(self):
        """The run's crObsNode.csv."""
        return self.folder / OBS_CSV_FILE


class Runner:
    """Runs decks in content-keyed folders, reuses finished ones, and counts.

    Parameters
    ----------
    program : str
        The program.
    options : list of str
        Options of every run.
    workers : int
        Runs at once.
    launcher : {"local", "parallel", "dask"}, optional
        A pool of threads of this machine, GNU parallel (its folders on a
        filesystem every host shares) or a Dask cluster (quarno.backends).
    parallel_args : list of str, optional
        GNU parallel's own options (such as ["--sshloginfile", "hosts"]).
    log : callable, optional
        Where progress lines go.
    scheduler : str, optional
        Dask: a running scheduler's address (default: a local cluster).

    Use it as a context manager: the back end is started at the first
    launch and stopped on leaving.

    Attributes
    ----------
    made, from_cache : int
        Runs made, and runs found finished in their folder.
    failed : list of (str, int, str)
        The folder, exit status and message of every failed run.
    """

    def __init__(self, program, options, workers, launcher="local", parallel_args=(),
                 log=print, scheduler=None):
        self.program = program
        self.options = list(options)
        self.workers = workers
        self.launcher = launcher
        self.parallel_args = list(parallel_args)
        self.log = log
        self.made = 0
        self.from_cache = 0
        self.failed = []          # (folder, status, message)
        self.lock = threading.Lock()
        self.scheduler = scheduler
        self.backend = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Stops the back end, if started."""
        if self.backend is not None:
            self.backend.close()
            self.backend = None

    def key(self, param_text, bicond_bytes, options, extra="", files=None):
        """The content key of a run (service.content_key): its deck, options
        and program, `extra` and the forcing files {relative path: bytes}."""
        return service.content_key(param_text, bicond_bytes, options, self.program, extra,
                                   files)

    def command(self, folder, options):
        """The command line of a run in `folder` with the runner's options and
        `options`."""
        return service.command(self.program, [*self.options, *options], folder)

    def prepare(self, folder, param_text, bicond_bytes, key, files=None):
        """A Run of a deck in `folder`.

        Parameters
        ----------
        folder : str or path-like
            The run folder.
        param_text : str
            crparam.txt.
        bicond_bytes : bytes
            crbicond.txt.
        key : str
            The run's key (Runner.key).
        files : dict, optional
            Forcing files {relative path: bytes}.

        Returns
        -------
        Run
            Cached when the folder already holds a finished run of the same
            key with its result files unchanged; otherwise the deck written
            there, to be run by `execute`.
        """
        run = Run(folder, key)
        done = run.folder / "done"
        if done.is_file() and run.obs_csv.is_file():
            try:
                mark = json.loads(done.read_text())
            except (ValueError, UnicodeDecodeError):
                mark = {}
            mark = mark if isinstance(mark, dict) else {}
            files = mark.get("files")
            if (mark.get("key") == key and isinstance(files, dict)
                    and OBS_CSV_FILE in files and _unchanged(run.folder, files)):
                run.status, run.cached = 0, True
                return run
        run.folder.mkdir(parents=True, exist_ok=True)
        if done.exists():
            done.unlink()
        with open(run.folder / PARAM_FILE, "w", encoding="latin-1", newline="") as f:
            f.write(param_text)
        (run.folder / BICOND_FILE).write_bytes(bicond_bytes)
        forcing.write_files(run.folder, files or {})
        run.files = dict(files or {})
        return run

    def finish(self, run, status, stderr):
        """Records a run's outcome in its folder (its messages, and the done
        mark of a finished run with the hashes of its result files).

        Parameters
        ----------
        run : Run
            The run, given its status and messages.
        status : int
            Its exit status; a run that exits 0 without a crObsNode.csv is
            given -1.
        stderr : str
            Its messages.
        """
        run.status, run.stderr = status, stderr.strip()
        (run.folder / "stderr.txt").write_text(stderr)
        if status == 0 and run.obs_csv.is_file():
            (run.folder / "done").write_text(json.dumps(
                {"key": run.key, "files": result_hashes(run.folder)}))
        elif status == 0:
            run.status, run.stderr = -1, f"the run wrote no {OBS_CSV_FILE}"

    def execute(self, runs, options):
        """Runs every run that is not cached, together.

        Parameters
        ----------
        runs : list of Run
            Runs from `prepare`; several may share one folder.
        options : list of str
            Options of these runs (after the runner's own).

        Returns
        -------
        list of Run
            `runs`, with their outcomes.

        Raises
        ------
        Stopped
            A run was ended by a signal.
        FitError
            A folder was refused twice (another process holds it).
        """
        todo = []
        seen = set()
        for run in runs:
            if run.cached:
                with self.lock:
                    self.from_cache += 1
            elif run.folder not in seen:
                seen.add(run.folder)
                todo.append(run)
        if todo:
            self.launch(todo, options)
            # A run refused because another process held its folder did not
            # run the model: once more, then the fit stops.
            busy = [r for r in todo if r.status == 1 and r.stderr.startswith(BUSY)]
            if busy:
                self.launch(busy, options)
            self.check_stopped(todo)
        by_folder = {r.folder: r for r in todo}
        for run in runs:  # duplicates of one folder share its outcome
            if not run.cached and run not in todo:
                src = by_folder[run.folder]
                run.status, run.stderr = src.status, src.stderr
        with self.lock:
            self.made += len(todo)
            for r in todo:
                if not r.ok:
                    self.failed.append((str(r.folder), r.status, r.stderr))
        return runs

    def launch(self, runs, options):
        """Runs `runs` on the runner's back end (started at the first call),
        each recorded (`finish`) as its result arrives.

        Parameters
        ----------
        runs : list of Run
            Runs in distinct folders.
        options : list of str
            Their options after the runner's own.

        Raises
        ------
        Stopped
            On Dask, a run still ended by a signal after its retries.
        """
        if self.backend is None:
            self.backend = backends.open_backend(
                self.launcher, self.workers, self.scheduler, parallel_args=self.parallel_args,
                scratch=runs[0].folder.parent)
        remote = self.launcher == "dask"
        tasks = [self.task(k, run, options, remote) for k, run in enumerate(runs)]

        def done(result):
            run = runs[result["sample"]]
            for name, data in result.get("files", {}).items():
                (run.folder / name).write_bytes(data)
            self.finish(run, result["status"], result["stderr"])
        try:
            self.backend.map(tasks, done)
        except QuarnoError as e:
            if service.signal_of(e.status) is None:
                raise
            raise service.failure(service.Outcome(e.status), None, "a Dask worker",
                                  stops_fit=True) from None

    def task(self, k, run, options, remote):
        """The Task of a run in its folder.

        Parameters
        ----------
        k : int
            The run's index, the task's id.
        run : Run
            The run, its deck already in its folder.
        options : list of str
            Its options after the runner's own.
        remote : bool
            For workers that share no folder: the task carries the folder's
            inputs and the files its options name, and brings the result
            files back; a run ended by a signal raises (to be tried again).

        Returns
        -------
        Task
        """
        options = [*self.options, *options]
        if not remote:
            return Task(k, options, self.program, folder=str(run.folder))
        inputs = {name: (run.folder / name).read_bytes() for name in (PARAM_FILE, BICOND_FILE)}
        paths = {}
        for i in range(1, len(options)):
            path = Path(options[i])
            if options[i - 1] in _PATH_OPTIONS and path.is_absolute():
                written = path.parent == run.folder.resolve() or not path.is_file()
                paths[i] = (path.name, None if written else path.read_bytes())
        return Task(k, options, self.program, inputs={**inputs, **run.files}, paths=paths,
                    bring=True, strict=True)

    @staticmethod
    def check_stopped(runs):
        """Stops the fit when a run was killed by a signal or is still refused
        its folder: neither says anything about the parameters.

        Parameters
        ----------
        runs : list of Run
            Runs just executed.

        Raises
        ------
        Stopped
            A run was ended by a signal.
        FitError
            A run was refused its folder twice.
        """
        for run in runs:
            if service.signal_of(run.status) is not None:
                raise service.failure(service.Outcome(run.status), None, run.folder,
                                      stops_fit=True)
        for run in runs:
            if run.status == 1 and run.stderr.startswith(BUSY):
                raise FitError(f"{run.folder}: {BUSY}, twice; is another fit or run using "
                               "this output folder?")


def _unchanged(folder, files):
    """Whether every result file recorded in a done mark is there with the
    same content."""
    try:
        return all(isinstance(name, str) and "/" not in name
                   and file_hash(Path(folder) / name) == digest
                   for name, digest in files.items())
    except OSError:
        return False
