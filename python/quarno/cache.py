"""Model runs in folders keyed by their content (the deck, the options and
the program), reused when a finished run of the same key is there, and
launched together on a pool of threads of this machine or through GNU
parallel (which may spread them over machines). Each run's outcome goes back
through the runner, which records it in the run's folder."""

import concurrent.futures
import json
import os
import shutil
import subprocess
import threading
from pathlib import Path

from . import forcing, service
from .contract import BICOND_FILE, FORCING_FILE, MANIFEST_FILE, PARAM_FILE
from .errors import FitError
from .service import file_hash


# The files of a run folder that are its inputs or the tool's own records,
# not results of the run.
_NOT_RESULTS = {PARAM_FILE, BICOND_FILE, FORCING_FILE, MANIFEST_FILE, "stderr.txt", "status", "done"}
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

    @property
    def ok(self):
        """Whether the run succeeded."""
        return self.status == 0

    @property
    def obs_csv(self):
        """The run's crObsNode.csv."""
        return self.folder / "crObsNode.csv"


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
    launcher : {"local", "parallel"}, optional
        A pool of threads of this machine, or GNU parallel (its folders on a
        filesystem every host shares).
    parallel_args : list of str, optional
        GNU parallel's own options (such as ["--sshloginfile", "hosts"]).
    log : callable, optional
        Where progress lines go.

    Attributes
    ----------
    made, from_cache : int
        Runs made, and runs found finished in their folder.
    failed : list of (str, int, str)
        The folder, exit status and message of every failed run.
    """

    def __init__(self, program, options, workers, launcher="local", parallel_args=(),
                 log=print):
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
                    and "crObsNode.csv" in files and _unchanged(run.folder, files)):
                run.status, run.cached = 0, True
                return run
        run.folder.mkdir(parents=True, exist_ok=True)
        if done.exists():
            done.unlink()
        with open(run.folder / "crparam.txt", "w", encoding="latin-1", newline="") as f:
            f.write(param_text)
        (run.folder / "crbicond.txt").write_bytes(bicond_bytes)
        forcing.write_files(run.folder, files or {})
        return run

    def finish(self, run, status, stderr):
        """Records a run's outcome in its folder (its messages, and the done
        mark of a finished run with the hashes of its result files)."""
        run.status, run.stderr = status, stderr.strip()
        (run.folder / "stderr.txt").write_text(stderr)
        if status == 0 and run.obs_csv.is_file():
            (run.folder / "done").write_text(json.dumps(
                {"key": run.key, "files": result_hashes(run.folder)}))
        elif status == 0:
            run.status, run.stderr = -1, "the run wrote no crObsNode.csv"

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
        """Runs `runs` on the runner's launcher ("local" or "parallel")."""
        if self.launcher == "parallel":
            _through_parallel(self, runs, options)
        else:
            _local_pool(self, runs, options)

    @staticmethod
    def check_stopped(runs):
        """Stops the fit when a run was killed by a signal (Stopped) or is
        still refused its folder: neither says anything about the parameters."""
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


def _local_pool(runner, runs, options):
    """The runs on `runner.workers` threads of this machine."""
    def one(run):
        outcome = service.execute(runner.program, [*runner.options, *options], run.folder)
        if outcome.status is None:
            runner.finish(run, -1, f"cannot start {runner.program}: {outcome.stderr}")
        else:
            runner.finish(run, outcome.status, outcome.stderr)
    with concurrent.futures.ThreadPoolExecutor(runner.workers) as pool:
        list(pool.map(one, runs))


# The job GNU parallel runs for each folder, given as arguments (never
# parsed by a shell from config text): $1 the folder, the rest the command
# without it.
_JOB = ('f=$1; shift; "$@" "$f" >/dev/null 2>"$f/stderr.txt" </dev/null; '
        'echo $? >"$f/status"')


def _through_parallel(runner, runs, options):
    """The runs through GNU parallel, each writing its exit status and
    messages into its own folder (which must therefore be on a filesystem
    every host shares). The folders go to parallel NUL-separated and the
    command with --quote, so no option or path is ever read by a shell."""
    if not shutil.which("parallel"):
        raise FitError("launcher = \"parallel\" needs GNU parallel, which is not on PATH")
    jobs = runs[0].folder.parent / f"jobs-{os.getpid()}-{threading.get_ident()}.txt"
    with open(jobs, "wb") as f:
        for run in runs:
            f.write(os.fsencode(str(run.folder)) + b"\0")
    for run in runs:
        for name in ("status", "stderr.txt"):
            (run.folder / name).unlink(missing_ok=True)
    command = runner.command("", options)[:-1]
    subprocess.run(["parallel", "--will-cite", "--jobs", str(runner.workers),
                    *runner.parallel_args, "--null", "--quote", "--arg-file", str(jobs),
                    "sh", "-c", _JOB, "sh", "{}", *command],
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    jobs.unlink(missing_ok=True)
    for run in runs:
        try:
            status = int((run.folder / "status").read_text().strip())
            stderr = (run.folder / "stderr.txt").read_text(errors="replace")
        except (OSError, ValueError):
            status, stderr = -1, "GNU parallel did not run this job (no status written)"
        runner.finish(run, status, stderr)
