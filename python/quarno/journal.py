"""The journal of a sampling's runs: each finished run's result appended to
OUT/runs.journal as it arrives, so that a sampling cut short (a crash, a
kill, a lost cluster) can be resumed with only its missing runs made.

The first line names the content the runs depend on (the configuration's
text, the deck's files, the options and the program: sampling_key); each
further line is one run's result (its sample id, its edits, status, message,
how its flow was obtained, and its site series as the exact bytes of its
arrays), after the checksum of the rest of its line. A line cut short by a
crash, or one whose checksum does not match, is ignored on reading.
"""

import base64
import hashlib
import json
import os
import threading
import zlib

from .errors import FitError
from .run_key import content_key

# The journal's name in the output folder.
JOURNAL = "runs.journal"
# The first words of the journal's first line; its key follows.
HEAD = "quarno-sample runs journal 1, key"
# Hex digits of a record's checksum.
CHECK_WIDTH = 16
# The exit statuses of runs whose result is a property of their parameters
# (success and a numerical failure): only these are kept.
KEPT_STATUSES = (0, 2)
# The arrays of a result, by their key.
_ARRAYS = ("time", "site", "x")


def sampling_key(config_bytes, deck_text, bicond, options, program, files=None, variable="C"):
    """The key of what a sampling's runs depend on.

    Parameters
    ----------
    config_bytes : bytes
        The configuration file's content.
    deck_text : str
        crparam.txt.
    bicond : bytes
        crbicond.txt.
    options : list of str
        The runs' options.
    program : str
        The program (its content counts).
    files : dict, optional
        The forcing files {relative path: bytes}.
    variable : str, optional
        The column sampled.

    Returns
    -------
    str
        Hex digits (quarno.run_key.content_key).
    """
    extra = hashlib.sha256(config_bytes).hexdigest() + " " + variable
    return content_key(deck_text, bicond, list(options), program, extra, files)


def _check(payload):
    return hashlib.sha256(payload.encode()).hexdigest()[:CHECK_WIDTH]


def _pack(array):
    import numpy as np
    a = np.ascontiguousarray(array)
    return [a.dtype.str, list(a.shape), base64.b64encode(zlib.compress(a.tobytes())).decode()]


def _unpack(packed):
    import numpy as np
    dtype, shape, data = packed
    return np.frombuffer(zlib.decompress(base64.b64decode(data)), dtype=dtype).reshape(shape)


def encode(result, edits):
    """One record's line (without its newline).

    Parameters
    ----------
    result : dict
        The engine's result of one run.
    edits : list
        The run's edits (name, x_from, x_to, value).

    Returns
    -------
    str
    """
    rec = {k: result[k] for k in ("sample", "status", "message", "flow")}
    rec["edits"] = [list(e) for e in edits]
    rec["arrays"] = {k: _pack(result[k]) for k in _ARRAYS if k in result}
    if "series" in result:
        rec["series"] = {v: _pack(s) for v, s in result["series"].items()}
    payload = json.dumps(rec, separators=(",", ":"))
    return f"{_check(payload)} {payload}"


def decode(line):
    """The result and edits of one record's line, or None when the line is
    cut short or damaged.

    Parameters
    ----------
    line : str
        The line, with or without its newline.

    Returns
    -------
    tuple of (dict, list) or None
    """
    if not line.endswith("\n"):
        return None
    check, _, payload = line[:-1].partition(" ")
    if len(check) != CHECK_WIDTH or _check(payload) != check:
        return None
    try:
        rec = json.loads(payload)
        result = {k: rec[k] for k in ("sample", "status", "message", "flow")}
        result.update({k: _unpack(p) for k, p in rec["arrays"].items()})
        if "series" in rec:
            result["series"] = {v: _unpack(p) for v, p in rec["series"].items()}
        return result, rec["edits"]
    except (ValueError, KeyError, TypeError, zlib.error):
        return None


class Journal:
    """The journal of one sampling's runs, open for appending.

    Opening it writes it anew (its first line only), or, when resuming,
    reads the journal already there (which must name the same key) and cuts
    off a line cut short at its end.

    Parameters
    ----------
    path : pathlib.Path
        The journal's file.
    key : str
        The sampling's key (sampling_key).
    resume : bool, optional
        Keep the runs of the journal already there.

    Attributes
    ----------
    kept : dict
        Sample id -> (result, edits) of the runs read back when resuming.
    found : bool
        A journal was there to resume.

    Raises
    ------
    FitError
        When resuming from a journal of another key, or from a file that is
        no journal: one line naming the file.
    """

    def __init__(self, path, key, resume=False):
        self.path, self.key = path, key
        self.kept, self.found = {}, False
        self.lock = threading.Lock()
        if resume and path.exists():
            self.found = True
            os.truncate(path, self._read())
        else:
            tmp = path.with_name(path.name + ".tmp")
            tmp.write_text(f"{HEAD} {key}\n")
            os.replace(tmp, path)
        self.file = open(path, "a")

    def _read(self):
        """Keep the journal's runs; returns the length of its whole lines (a
        line cut short at its end is cut off before appending)."""
        with open(self.path, "rb") as f:
            lines = f.read().splitlines(keepends=True)
        head = lines[0].decode("utf-8", "replace") if lines else ""
        if not head.startswith(HEAD + " ") or not head.endswith("\n"):
            raise FitError(f"{self.path}: not a journal of quarno-sample's runs; start "
                           "without --resume to replace it")
        if head[len(HEAD) + 1:-1] != self.key:
            raise FitError(f"{self.path}: the journal of a sampling of another "
                           "configuration, deck or program; start without --resume to "
                           "replace it")
        for line in lines[1:]:
            record = decode(line.decode("utf-8", "replace"))
            if record is not None and record[0]["status"] in KEPT_STATUSES:
                self.kept[record[0]["sample"]] = record
        return sum(len(line) for line in lines if line.endswith(b"\n"))

    def take(self, sample, edits):
        """The result kept for a sample, or None.

        Parameters
        ----------
        sample : int
            The sample id.
        edits : list
            The edits the sampler asks for now.

        Returns
        -------
        dict or None

        Raises
        ------
        FitError
            When the journal's run of this sample had other edits.
        """
        record = self.kept.get(sample)
        if record is None:
            return None
        if record[1] != json.loads(json.dumps([list(e) for e in edits])):
            raise FitError(f"{self.path}: sample {sample} was run with other parameters than "
                           "the sampling asks for now; start without --resume to replace it")
        return record[0]

    def add(self, result, edits):
        """Append one run's result and flush it (a run that failed for a
        reason that is not its parameters is not kept).

        Parameters
        ----------
        result : dict
        edits : list

        Raises
        ------
        OSError
            When the journal cannot be written (a full disk), naming it.
        """
        if result["status"] not in KEPT_STATUSES:
            return
        line = encode(result, edits) + "\n"
        with self.lock:
            try:
                self.file.write(line)
                self.file.flush()
            except OSError as e:  # a full disk: the sampling stops, the journal resumable
                raise OSError(e.errno, e.strerror, str(self.path)) from None

    def close(self):
        """Close the file. Every record was flushed as it came: what is left
        to write is the rest of one that could not be, and is dropped."""
        try:
            self.file.close()
        except OSError:
            pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
