"""Model runs in folders keyed by their content (the deck, the options and
the program), reused when a finished run of the same key is there, and the
flow record's key."""

import hashlib
import json
import re
import signal
import threading
from pathlib import Path

from . import forcing, launch
from .errors import FitError, Stopped

# The first line of a flow record, and the pattern of its second.
FLOW_RECORD_HEAD = "quarno flow record, version 1"
FLOW_RECORD_KEY = re.compile(r"^key ([0-9a-f]{16})$")


def _sha(data):
    return hashlib.sha256(data).hexdigest()


def file_hash(path):
    with open(path, "rb") as f:
        return _sha(f.read())


# The files of a run folder that are its inputs or the tool's own records,
# not results of the run.
_NOT_RESULTS = {"crparam.txt", "crbicond.txt", "crforcing.toml", "stderr.txt", "status", "done"}
# The program's message when another process holds its folder lock.
BUSY = "another run is using this folder"


def result_hashes(folder):
    """The hash of every result file in a run folder, by name."""
    return {p.name: file_hash(p) for p in sorted(Path(folder).iterdir())
            if p.is_file() and p.name not in _NOT_RESULTS}


def signal_of(status):
    """The signal that ended a run: a negative status from Python's
    subprocess, or 128 + N from a shell; None for an exit of the program."""
    if status is None:
        return None
    if status < -1:
        return -status
    if 128 < status < 128 + 65:
        return status - 128
    return None


class Run:
    """One model run: its folder, its outcome."""

    def __init__(self, folder, key):
        self.folder, self.key = Path(folder), key
        self.status = None       # exit status, None until run
        self.stderr = ""
        self.cached = False

    @property
    def ok(self):
        return self.status == 0

    @property
    def obs_csv(self):
        return self.folder / "crObsNode.csv"


class Runner:
    """Runs decks in content-keyed folders, reuses finished ones, and counts."""

    def __init__(self, program, options, workers, launcher="local", parallel_args=(),
                 log=print):
        self.program = program
        self.options = list(options)
        self.workers = workers
        self.launcher = launcher
        self.parallel_args = list(parallel_args)
        self.log = log
        self.program_hash = file_hash(program)
        self.made = 0
        self.from_cache = 0
        self.failed = []          # (folder, status, message)
        self.lock = threading.Lock()

    def key(self, param_text, bicond_bytes, options, extra="", files=None):
        """The key of a run: its deck, options and program, `extra` and the
        forcing files {relative path: bytes} when there are any (a deck
        without them keeps the key it always had)."""
        h = hashlib.sha256()
        for part in (param_text.encode("latin-1"), bicond_bytes,
                     json.dumps(options).encode(), self.program_hash.encode(), extra.encode()):
            h.update(_sha(part).encode())
        for name, data in sorted((files or {}).items()):
            h.update(_sha(name.encode()).encode())
            h.update(_sha(data).encode())
        return h.hexdigest()[:16]

    def command(self, folder, options):
        return [self.program, "--csv", "--no-pause", "--quiet", *self.options, *options,
                str(folder)]

    def prepare(self, folder, param_text, bicond_bytes, key, files=None):
        """A Run for the deck in `folder` (with the forcing files `files`,
        {relative path: bytes}); cached when the folder already holds a
        finished run of the same key."""
        run = Run(folder, key)
        done = run.folder / "done"
        if done.is_file() and run.obs_csv.is_file():
            try:
                mark = json.loads(done.read_text())
            except (ValueError, UnicodeDecodeError):
                mark = {}
            files = mark.get("files") if isinstance(mark, dict) else None
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
        run.status, run.stderr = status, stderr.strip()
        (run.folder / "stderr.txt").write_text(stderr)
        if status == 0 and run.obs_csv.is_file():
            (run.folder / "done").write_text(json.dumps(
                {"key": run.key, "files": result_hashes(run.folder)}))
        elif status == 0:
            run.status, run.stderr = -1, "the run wrote no crObsNode.csv"

    def execute(self, runs, options):
        """Runs every run that is not cached, in parallel; returns them."""
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
        if self.launcher == "parallel":
            launch.through_parallel(self, runs, options)
        else:
            launch.local_pool(self, runs, options)

    @staticmethod
    def check_stopped(runs):
        """Stops the fit when a run was killed by a signal or is still refused
        its folder: neither says anything about the parameters."""
        for run in runs:
            sig = signal_of(run.status)
            if sig is not None:
                try:
                    name = signal.Signals(sig).name
                except ValueError:
                    name = f"signal {sig}"
                raise Stopped(f"the run in {run.folder} was killed by {name}; the fit stops "
                              "(finished runs are kept and a new start resumes from them)",
                              128 + sig)
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


def flow_record_key(path):
    """The key on the second line of a flow record written by the program, or
    None when there is no such file or it does not begin as a record does."""
    try:
        with open(path, "rb") as f:
            lines = [f.readline(200).decode("latin-1").rstrip("\r\n") for _ in range(2)]
    except OSError:
        return None
    match = FLOW_RECORD_KEY.match(lines[1])
    return match.group(1) if lines[0] == FLOW_RECORD_HEAD and match else None
