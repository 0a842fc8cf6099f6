"""Starting the program: the one place that builds its command line, runs it,
turns its exit status (or the signal that ended it) into an error, keys a run
by its content and makes or reuses a flow record.

    from quarno import service
    outcome = service.execute(program, ["--threads", "1"], "run1")
    if not outcome.ok:
        raise service.failure(outcome, program, "run1")

`quarno.run`, the task every back end runs (`quarno.task.perform`) and the
query of the program's options all start the program from here.
"""

import os
import re
import shutil
import signal
import subprocess
import threading
from pathlib import Path

from .contract import CONTRACT, EXIT_STATUSES
from .errors import RunError, Stopped
# The keys of runs' contents, offered here too.
from .run_key import KEY_WIDTH, content_key, file_hash, program_hash  # noqa: F401


def option(name):
    """`name`, an option of the program's contract.

    Raises
    ------
    KeyError
        When the contract lists no such option (a renamed option then fails
        on import, not in the middle of a fit).
    """
    if not any(name in o["names"] for o in CONTRACT["options"]):
        raise KeyError(f"the program has no option {name}")
    return name


# Options every run of the package gets: full-precision CSV results, no
# pause for Enter at the end, no progress on the console.
BASE_OPTIONS = tuple(map(option, ("--csv", "--no-pause", "--quiet")))
SAVE_FLOW, REPLAY_FLOW = option("--save-flow"), option("--replay-flow")
QUIET = option("--quiet")

# The progress line the program prints on stdout per observation record
# (without --quiet): the model time reached, in seconds.
PROGRESS_LINE = re.compile(r"^Time \(sec\)=\s*(\S+)\s*$")

# The first line of a flow record, and the pattern of its second.
FLOW_RECORD_HEAD = "quarno flow record, version 1"
FLOW_RECORD_KEY = re.compile(r"^key ([0-9a-f]{16})$")

def default_program():
    """The program to run.

    Returns
    -------
    str
        $QUARNO when set, else the build of this source tree, else the one
        installed beside this package, else ``quarno`` on PATH.
    """
    env = os.environ.get("QUARNO")
    if env:
        return env
    here = Path(__file__).resolve()
    in_tree = (here.parents[2] / "CMakeLists.txt").is_file()
    tree = here.parents[2] / "build" / "quarno"
    installed = here.parents[4] / "bin" / "quarno" if len(here.parents) > 4 else tree
    for candidate in (tree, installed):
        if candidate.is_file():
            return str(candidate)
    # Nothing built or installed beside the package: PATH's, else the source
    # tree's future build (in a tree) or the bare name, so that the error
    # names what was looked for.
    return shutil.which("quarno") or (str(tree) if in_tree else "quarno")


def command(program, options, folder, quiet=True):
    """The command line of one run.

    Parameters
    ----------
    program : str
        The program.
    options : sequence of str
        The program's options; each of BASE_OPTIONS not among them comes first.
    folder : str or path-like
        The run folder, the last argument.
    quiet : bool, optional
        False leaves out --quiet (unless `options` give it), so that the
        program prints its progress lines.

    Returns
    -------
    list of str
    """
    options = [str(o) for o in options]
    base = [o for o in BASE_OPTIONS if o not in options and (quiet or o != QUIET)]
    return [str(program), *base, *options, str(folder)]


def signal_of(status):
    """The signal that ended a run.

    Parameters
    ----------
    status : int or None
        A negative status from Python's subprocess, or 128 + N from a shell.

    Returns
    -------
    int or None
        The signal's number; None for an exit of the program (or no status).
    """
    if status is None:
        return None
    if status < -1:
        return -status
    if 128 < status < 128 + 65:
        return status - 128
    return None


def signal_name(number):
    """The name of signal `number` (SIGTERM), or "signal N" when it has none."""
    try:
        return signal.Signals(number).name
    except ValueError:
        return f"signal {number}"


class Outcome:
    """How one run ended.

    Attributes
    ----------
    status : int or None
        The exit status, 128 + N when signal N ended it, None when the
        program could not be started.
    stdout, stderr : str
        What it printed (stdout only when asked for), or why it could not start.
    """

    def __init__(self, status, stdout="", stderr=""):
        self.status, self.stdout, self.stderr = status, stdout, stderr

    @property
    def ok(self):
        """Whether the run succeeded (exit status 0)."""
        return self.status == 0


def execute(program, options, folder, keep_stdout=False, progress_to=None):
    """Runs the program once on a folder, with no input.

    Parameters
    ----------
    program : str
        The program.
    options : sequence of str
        Its options (BASE_OPTIONS added as `command` does).
    folder : str or path-like
        The run folder.
    keep_stdout : bool, optional
        Keep what it prints on stdout (dropped by default).
    progress_to : callable, optional
        progress_to(t) with the model time t (s) of each progress line: the
        run is then made without --quiet and its stdout read as it comes;
        the progress lines are left out of the stdout kept, which is what
        the run with --quiet prints. None: the command line of `command`.

    Returns
    -------
    Outcome
        A signal's end as 128 + N; a program that cannot start as status None
        and the reason in `stderr`.
    """
    if progress_to is not None:
        return _execute_streaming(program, options, folder, keep_stdout, progress_to)
    try:
        p = subprocess.run(command(program, options, folder), stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE if keep_stdout else subprocess.DEVNULL,
                           stderr=subprocess.PIPE, text=True, errors="replace")
    except OSError as e:
        return Outcome(None, "", e.strerror or str(e))
    return Outcome(_status(p.returncode), p.stdout or "", p.stderr)


def _status(returncode):
    """The exit status of a finished process, a signal's end as 128 + N."""
    return 128 - returncode if returncode < 0 else returncode


def _execute_streaming(program, options, folder, keep_stdout, progress_to):
    """`execute` reading stdout line by line (stderr read beside it by a
    thread, so that neither pipe fills); the process is killed when the
    caller is interrupted (Ctrl-C) or `progress_to` raises."""
    try:
        p = subprocess.Popen(command(program, options, folder, quiet=False),
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, errors="replace")
    except OSError as e:
        return Outcome(None, "", e.strerror or str(e))
    errors = []
    reader = threading.Thread(target=lambda: errors.append(p.stderr.read()), daemon=True)
    kept = []
    with p:
        reader.start()
        try:
            for line in p.stdout:
                m = PROGRESS_LINE.match(line)
                if m is None:
                    if keep_stdout:
                        kept.append(line)
                    continue
                try:
                    t = float(m.group(1))
                except ValueError:
                    continue
                progress_to(t)
            p.wait()
        except BaseException:
            p.kill()
            p.wait()
            raise
        finally:
            reader.join()
    return Outcome(_status(p.returncode), "".join(kept), "".join(errors))


def program_offers(program, option):
    """Whether the program lists `option` in its --help (an older build may not).

    Parameters
    ----------
    program, option : str
        The program and an option's name, such as "--replay-flow".

    Returns
    -------
    bool
        False also when the program cannot be started.
    """
    try:
        usage = subprocess.run([program, "--help"], stdin=subprocess.DEVNULL,
                               capture_output=True, text=True, errors="replace").stdout
    except OSError:
        return False
    return option in usage


def failure(outcome, program, folder=None, stops_fit=False, hint=""):
    """The error of a run that did not succeed.

    Parameters
    ----------
    outcome : Outcome
        The run's outcome (not ok).
    program : str
        The program, for the messages.
    folder : str or path-like, optional
        The run folder, named in the messages of a signal's end.
    stops_fit : bool, optional
        A signal's end stops a fit: Stopped instead of RunError.
    hint : str, optional
        Added to the message of a program that could not be started.

    Returns
    -------
    RunError or Stopped
        RunError with the program's message and exit status (None when it
        could not start); Stopped (128 + N) for a fit's run ended by signal N.
    """
    status = outcome.status
    if status is None:
        return RunError(f"cannot start {program}: {outcome.stderr}{hint} (set QUARNO to the "
                        f"program's path, or put quarno on PATH)", None)
    sig = signal_of(status)
    if sig is not None:
        if stops_fit:
            return Stopped(f"the run in {folder} was killed by {signal_name(sig)}; the fit stops "
                           "(finished runs are kept and a new start resumes from them)",
                           128 + sig)
        where = f" in {folder}" if folder is not None else ""
        message = outcome.stderr.strip() or f"{program} was ended by {signal_name(sig)}{where}"
        return RunError(message, 128 + sig)
    message = (outcome.stderr.strip() or outcome.stdout.strip()
               or f"no message (exit {status}: {EXIT_STATUSES.get(status, 'unknown')})")
    return RunError(message, status)


def flow_record_key(path):
    """The key on the second line of a flow record written by the program.

    Parameters
    ----------
    path : str or path-like
        The flow record.

    Returns
    -------
    str or None
        The key; None when there is no such file or it does not begin as a
        record does.
    """
    try:
        with open(path, "rb") as f:
            lines = [f.readline(200).decode("latin-1").rstrip("\r\n") for _ in range(2)]
    except OSError:
        return None
    match = FLOW_RECORD_KEY.match(lines[1])
    return match.group(1) if lines[0] == FLOW_RECORD_HEAD and match else None


# The program's note of a run whose flow record belongs to another set-up
# (it then solves its own flow: the result is right, the replay was lost).
MISMATCH_NOTE = "records the flow of another set-up"


class FlowRecord:
    """A flow record file: made by one run (--save-flow), replayed by the
    later ones (--replay-flow).

    Parameters
    ----------
    path : str or path-like
        Where the record is, or is to be written.
    """

    def __init__(self, path):
        self.path = Path(path)

    @property
    def key(self):
        """The record's key, or None when it is missing or damaged."""
        return flow_record_key(self.path)

    def save_options(self):
        """The options of the run that writes the record."""
        return [SAVE_FLOW, str(self.path)]

    def replay_options(self):
        """The options of a run that replays it."""
        return [REPLAY_FLOW, str(self.path)]

    def run(self, launch, options):
        """One run replaying the record when it is there, recording it when it
        is not (under a temporary name, kept only after a successful run). A
        record the program refuses is removed and the run made again without it.

        Parameters
        ----------
        launch : callable
            launch(options) -> Outcome: the run with these options.
        options : list of str
            The run's own options.

        Returns
        -------
        (Outcome, str)
            The outcome and how the flow was had: "replayed", "mismatch" (the
            record did not fit and the run solved its flow) or "recorded".
        """
        record = str(self.path)
        if self.path.is_file():
            outcome = launch([*options, *self.replay_options()])
            if outcome.ok:
                return outcome, "mismatch" if MISMATCH_NOTE in outcome.stderr else "replayed"
            if outcome.status is None or record not in outcome.stderr:
                return outcome, "replayed"
            self.path.unlink(missing_ok=True)  # damaged: once more, recording a new one
        partial = FlowRecord(f"{record}.{os.getpid()}-{threading.get_ident()}.part")
        try:
            outcome = launch([*options, *partial.save_options()])
            if outcome.ok and partial.key:
                os.replace(partial.path, record)
        finally:
            partial.path.unlink(missing_ok=True)
        return outcome, "recorded"
