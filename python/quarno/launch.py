"""Launching model runs: a local pool of worker threads, or GNU parallel
(which may spread them over machines). Each run's outcome goes back through
the runner, which records it in the run's folder."""

import concurrent.futures
import os
import shutil
import subprocess
import threading

from .errors import FitError


def local_pool(runner, runs, options):
    """The runs on `runner.workers` threads of this machine."""
    with concurrent.futures.ThreadPoolExecutor(runner.workers) as pool:
        list(pool.map(lambda r: _run_one(runner, r, options), runs))


def _run_one(runner, run, options):
    try:
        p = subprocess.run(runner.command(run.folder, options), stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                           text=True, errors="replace")
        runner.finish(run, p.returncode, p.stderr)
    except OSError as e:
        runner.finish(run, -1, f"cannot start {runner.program}: {e.strerror}")


# The job GNU parallel runs for each folder, given as arguments (never
# parsed by a shell from config text): $1 the folder, the rest the command
# without it.
_JOB = ('f=$1; shift; "$@" "$f" >/dev/null 2>"$f/stderr.txt" </dev/null; '
        'echo $? >"$f/status"')


def through_parallel(runner, runs, options):
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
