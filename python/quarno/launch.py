"""Launching model runs: a local pool of worker threads, or GNU parallel
(which may spread them over machines). Each run's outcome goes back through
the runner, which records it in the run's folder."""

import concurrent.futures
import os
import shlex
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


def through_parallel(runner, runs, options):
    """The runs through GNU parallel: one shell command a line, each
    writing its exit status and messages into its own folder (which must
    therefore be on a filesystem every host shares)."""
    if not shutil.which("parallel"):
        raise FitError("launcher = \"parallel\" needs GNU parallel, which is not on PATH")
    jobs = runs[0].folder.parent / f"jobs-{os.getpid()}-{threading.get_ident()}.txt"
    with open(jobs, "w") as f:
        for run in runs:
            cmd = " ".join(shlex.quote(c) for c in runner.command(run.folder, options))
            folder = shlex.quote(str(run.folder))
            f.write(f"{cmd} >/dev/null 2>{folder}/stderr.txt </dev/null; "
                    f"echo $? >{folder}/status\n")
    for run in runs:
        for name in ("status", "stderr.txt"):
            (run.folder / name).unlink(missing_ok=True)
    with open(jobs) as f:
        subprocess.run(["parallel", "--will-cite", "--jobs", str(runner.workers),
                        *runner.parallel_args],
                       stdin=f, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    jobs.unlink(missing_ok=True)
    for run in runs:
        try:
            status = int((run.folder / "status").read_text().strip())
            stderr = (run.folder / "stderr.txt").read_text(errors="replace")
        except (OSError, ValueError):
            status, stderr = -1, "GNU parallel did not run this job (no status written)"
        runner.finish(run, status, stderr)
