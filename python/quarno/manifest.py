"""Which result files of a run folder belong to its latest run.

The program writes, as its last act, crManifest.json: the run's state
(finished, failed, interrupted; running while it runs) and every file it
wrote, with its size and XXH64. A result file is trusted only when the state
is finished and the file is listed with the same size and hash. A folder
without a manifest (an older program's) gives only the fixed-column files,
whatever CSV files lie there, unless the caller knows the CSV files are the
run's own.

    from quarno.contract import OBS_CSV_FILE
    from quarno.manifest import RunFiles
    path = RunFiles("run1").path(OBS_CSV_FILE)   # None when not the run's
"""

import json
import math
import os
from pathlib import Path

from .contract import MANIFEST_FILE
from .errors import ResultsError

MANIFEST = MANIFEST_FILE  # the manifest's name, as the readers know it
FORMAT = "quarno run manifest, version 1"
STATES = ("running", "finished", "failed", "interrupted")
DECK_KEYS = ("start_date", "concentration_unit")


def xxh64_of(path):
    """The XXH64 (seed 0) of a file's content, read in blocks.

    Parameters
    ----------
    path : str or path-like
        The file.

    Returns
    -------
    str
        16 lowercase hex digits.
    """
    import xxhash
    h = xxhash.xxh64(seed=0)
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def file_entry(path, name=None):
    """A manifest's entry for a file: {"name", "bytes", "xxh64"}.

    Parameters
    ----------
    path : str or path-like
        The file.
    name : str, optional
        The name to record (the file's name by default).
    """
    path = Path(path)
    return {"name": name or path.name, "bytes": path.stat().st_size, "xxh64": xxh64_of(path)}


def _one_line(text):
    return " ".join(str(text).split())


def read_manifest(folder):
    """The manifest of a run folder, checked against the agreed format.

    Parameters
    ----------
    folder : str or path-like
        The run folder.

    Returns
    -------
    dict or None
        The manifest, or None when the folder has none. Its "start_date"
        and "concentration_unit" are text or None (also for a manifest
        written before they existed).

    Raises
    ------
    ResultsError
        A manifest that is not JSON of the agreed format, naming the file.
    """
    path = Path(folder) / MANIFEST
    try:
        data = path.read_bytes()
    except FileNotFoundError:
        return None
    except OSError as e:
        raise ResultsError(f"{path}: cannot read: {e.strerror}") from None
    try:
        manifest = json.loads(data.decode("utf-8"),
                              parse_constant=lambda c: math.nan)
    except (UnicodeDecodeError, ValueError, RecursionError):
        raise ResultsError(f"{path}: not a run manifest (not JSON; cut short?)") from None
    if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
        raise ResultsError(f"{path}: not a run manifest (no format \"{FORMAT}\")")
    state, status = manifest.get("state"), manifest.get("exit_status")
    files = manifest.get("files")
    if (state not in STATES or not isinstance(files, list)
            or not (status is None or type(status) is int)
            or not all(isinstance(f, dict) and isinstance(f.get("name"), str)
                       and type(f.get("bytes")) is int and isinstance(f.get("xxh64"), str)
                       for f in files)):
        raise ResultsError(f"{path}: a damaged run manifest (state, exit_status or files)")
    # The run's start date and concentration unit; a manifest of an older
    # program has neither: None, as for a run without them.
    for key in DECK_KEYS:
        manifest.setdefault(key, None)
        if not (manifest[key] is None or isinstance(manifest[key], str)):
            raise ResultsError(f"{path}: a damaged run manifest ({key} is neither text nor null)")
    return manifest


class RunFiles:
    """The result files of a run folder that belong to its latest run.

    Parameters
    ----------
    folder : str or path-like
        The run folder.
    csv : bool, optional
        For a folder without a manifest: True when the caller has just made
        the run with --csv and seen it succeed, so that its CSV files are
        the run's. Otherwise CSV files of such a folder are never read.

    """

    def __init__(self, folder, csv=False):
        if not isinstance(folder, (str, os.PathLike)):
            raise ResultsError(f"a run folder must be a path, not {type(folder).__name__}")
        self.folder = Path(folder)
        self.csv = csv
        self._manifest = ...
        self._checked = set()

    @property
    def manifest(self):
        """The folder's manifest (read_manifest), read when first asked for."""
        if self._manifest is ...:
            self._manifest = read_manifest(self.folder)
        return self._manifest

    @property
    def start_date(self):
        """The run's start date as the program wrote it
        ("2024-06-01T00:00:00.000Z"), or None (no date, or no manifest)."""
        return None if self.manifest is None else self.manifest["start_date"]

    @property
    def concentration_unit(self):
        """The deck's concentration unit in its canonical text ("CFU/100 mL"),
        or None (none declared, or no manifest)."""
        return None if self.manifest is None else self.manifest["concentration_unit"]

    def _check_finished(self):
        m = self.manifest
        if m["state"] == "finished" and m["exit_status"] in (0, None):
            return
        path = self.folder / MANIFEST
        if m["state"] == "running":
            raise ResultsError(f"{path}: the latest run has not finished (state running: still "
                               "running, or ended by a signal it could not catch)")
        message = _one_line(m.get("message") or "") or "no message"
        raise ResultsError(f"{path}: the latest run {m['state']} "
                           f"(exit {m['exit_status']}): {message}")

    def path(self, name):
        """The file `name` of the folder when it belongs to the latest run.

        Parameters
        ----------
        name : str
            The file's name in the folder.

        Returns
        -------
        pathlib.Path or None
            None when the file is not there or not the latest run's.

        Raises
        ------
        ResultsError
            The manifest cannot be read or says the run did not finish, or
            the file is listed but has changed since (another size or hash).
            A listed file removed since is not there: None.
        """
        path = self.folder / name
        if self.manifest is None:
            if name.endswith(".csv") and not self.csv:
                return None
            return path if path.is_file() else None
        self._check_finished()
        entry = next((f for f in self.manifest["files"] if f["name"] == name), None)
        if entry is None or not path.is_file():
            return None
        if name not in self._checked:
            try:
                same = (path.stat().st_size == entry["bytes"]
                        and xxh64_of(path) == entry["xxh64"].lower())
            except OSError:
                same = False
            if not same:
                raise ResultsError(f"{path}: changed since the run that wrote it (its size or "
                                   f"hash is not the one in {MANIFEST})")
            self._checked.add(name)
        return path
