"""Running the program from Python and reading its results as pandas tables.

    import quarno
    res = quarno.run("examples/first-deck", ["--csv"], folder="run1")
    res.observations          # one row per record and site, the columns of crObsNode.csv

A failed run raises QuarnoError with the program's message and exit status.
"""

import os
import shutil
import signal
import subprocess
import tempfile
from pathlib import Path

from . import results as _r
from .errors import QuarnoError, RunError

DECK_FILES = ("crparam.txt", "crbicond.txt")

# The tables of the CSV results, in the order of their heads; with a start
# date the CSV files hold `datetime` after `time_s`, which the fixed-column
# files do not give.
PROFILE_COLUMNS = ("time_s", "kind", "index") + _r.PROFILE_CELL_COLUMNS
BALANCE_COLUMNS = ("time_s", "balance", "term", "value")


def default_program():
    """The program to run: $QUARNO, else the build of this source tree, else
    the one installed beside this package, else quarno on PATH."""
    env = os.environ.get("QUARNO")
    if env:
        return env
    here = Path(__file__).resolve()
    tree = here.parents[2] / "build" / "quarno"
    installed = here.parents[4] / "bin" / "quarno" if len(here.parents) > 4 else tree
    for candidate in (tree, installed):
        if candidate.is_file():
            return str(candidate)
    return shutil.which("quarno") or str(tree)


def _pandas():
    import pandas
    return pandas


class Results:
    """The results of a run folder, read when first asked for.

    `csv` says whether the CSV files belong to the run: True after a run with
    --csv, False after one without (any CSV file there is an earlier run's),
    None when not known (then a CSV file older than crOutput.txt is an
    earlier run's). Tables come from the CSV files when they belong to the
    run, otherwise from crObsNode.txt and crOutput.txt (printed digits; the
    columns those files do not hold are NaN)."""

    def __init__(self, folder, csv=None, stderr=""):
        self.folder = Path(folder)
        self.csv = csv
        self.stderr = stderr
        self._tables = {}

    def _csv_path(self, name):
        path = self.folder / name
        if self.csv is False or not path.is_file():
            return None
        if self.csv is None and _r.csv_is_stale(str(self.folder), name):
            return None
        return path

    def _table(self, name, from_fixed):
        if name not in self._tables:
            path = self._csv_path(name)
            if path is not None:
                self._tables[name] = _read_csv_table(path)
            else:
                self._tables[name] = from_fixed()
        return self._tables[name]

    def _need(self, name):
        path = self.folder / name
        if not path.is_file():
            raise RunError(f"{self.folder}: no {name} (has the run been made?)", 1)
        return str(path)

    @property
    def observations(self):
        """One row per record and observation site (`time_s`, `site`, `x_m`,
        `h_m`, ..., `C`, `Cb`, `Cs`, fluxes)."""
        def fixed():
            path = self._need("crObsNode.txt")
            try:
                self._need("crOutput.txt")
                positions = _r.read_obs_positions(str(self.folder))
            except (ValueError, QuarnoError) as e:
                raise RunError(f"{e} (a failed or unfinished run?)", 1) from None
            rows = _r.read_obs_fixed(path, len(positions), positions)
            return _pandas().DataFrame(rows, columns=list(_r.OBS_COLUMNS))
        return self._table("crObsNode.csv", fixed)

    @property
    def profiles(self):
        """The profiles at the output times: rows of `kind` "cell" (and
        "node" from the CSV file), with `index` from 1."""
        def fixed():
            rows = []
            for block in _r.read_profiles_fixed(self._need("crOutput.txt")):
                cells = block["cell"]
                for k in range(len(cells["x_m"])):
                    row = {"time_s": block["time_s"], "kind": "cell", "index": k + 1}
                    row.update({c: cells[c][k] for c in _r.PROFILE_CELL_COLUMNS})
                    rows.append(row)
            return _pandas().DataFrame(rows, columns=list(PROFILE_COLUMNS))
        return self._table("crProfiles.csv", fixed)

    @property
    def balances(self):
        """The balance reports: `time_s`, `balance`, `term`, `value`."""
        def fixed():
            rows = _r.read_balance_fixed(self._need("crOutput.txt"))
            return _pandas().DataFrame(rows, columns=list(BALANCE_COLUMNS))
        return self._table("crBalance.csv", fixed)


def _read_csv_table(path):
    """A CSV results file as a DataFrame with the columns of its head, numbers
    parsed exactly as Python parses them (site and index as integers, empty
    cells as NaN) and `datetime`, when the run was dated, as pandas
    datetimes in UTC."""
    try:
        head, rows = _r.read_csv_table(path)
    except _r.ResultsError as e:
        raise RunError(str(e), 1) from None
    pandas = _pandas()
    table = pandas.DataFrame(rows, columns=head)
    if "datetime" in table.columns:
        table["datetime"] = pandas.to_datetime(table["datetime"], utc=True)
    return table


def _deck_source(deck_or_folder):
    """(folder, Deck or None) of run()'s first argument."""
    if isinstance(deck_or_folder, (str, os.PathLike)):
        folder = Path(deck_or_folder)
        if not folder.is_dir():
            raise RunError(f"{folder}: no such folder", 1)
        return folder, None
    if hasattr(deck_or_folder, "text"):
        return None, deck_or_folder
    raise RunError(f"run() takes a deck or a folder, not {type(deck_or_folder).__name__}",
                      1)


def _place_deck(source, deck, folder):
    """The deck's files written or copied into `folder`: its two files, and
    its forcing file with the series files it names when it has one (a
    forcing file left there by another deck is removed)."""
    from . import forcing
    from .deck import DeckError
    folder.mkdir(parents=True, exist_ok=True)
    if deck is not None:
        bicond = getattr(deck, "bicond", None)
        if bicond is None:
            raise RunError("the deck holds no crbicond.txt: read it with Deck.read(folder)", 1)
        with open(folder / "crparam.txt", "w", encoding="latin-1", newline="") as f:
            f.write(deck.text)
        (folder / "crbicond.txt").write_bytes(bicond)
        files = deck.forcing_files() if hasattr(deck, "forcing_files") else {}
    else:
        for name in DECK_FILES:
            if not (source / name).is_file():
                raise RunError(f"{source}: no {name}", 1)
            if (folder / name).exists() and os.path.samefile(source / name, folder / name):
                continue
            shutil.copyfile(source / name, folder / name)
        if folder.resolve() == source.resolve():
            return
        files = _forcing_of_folder(source)
    try:
        forcing.write_files(folder, files)
    except DeckError as e:
        raise RunError(str(e), 1) from None


def _forcing_of_folder(source):
    """The forcing file of a deck folder and the series files it names, as
    {relative path: bytes}; a file the package cannot read is copied alone,
    for the program to report."""
    from . import forcing
    from .deck import DeckError
    path = source / forcing.FORCING_FILE
    if not path.is_file():
        return {}
    data = path.read_bytes()
    try:
        return forcing.files(data, forcing.parse(data, str(source), None, str(path)))
    except DeckError:
        return {forcing.FORCING_FILE: data}


def run(deck_or_folder, options=(), folder=None, program=None):
    """Runs the program on a deck and returns its Results.

    deck_or_folder: a folder holding crparam.txt and crbicond.txt, or a Deck
    read with Deck.read(folder). With `folder` None a folder runs where it
    is and a Deck in a new temporary folder; with `folder` given the deck's
    two files are copied there and the run made there. `options` are the
    program's (for example ["--csv"]). Raises QuarnoError on failure."""
    if isinstance(options, str):
        raise RunError("options must be a list of strings, such as ['--csv']", 1)
    options = [str(o) for o in options]
    source, deck = _deck_source(deck_or_folder)
    if folder is not None:
        where = Path(folder)
        _place_deck(source, deck, where)
    elif deck is not None:
        where = Path(tempfile.mkdtemp(prefix="quarno-run-"))
        _place_deck(None, deck, where)
    else:
        where = source
    program = program or default_program()
    extra = [o for o in ("--no-pause", "--quiet") if o not in options]
    try:
        p = subprocess.run([program, *extra, *options, str(where)], stdin=subprocess.DEVNULL,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                           errors="replace")
    except OSError as e:
        raise RunError(f"cannot start {program}: {e.strerror}", None) from None
    if p.returncode < 0:
        name = signal.Signals(-p.returncode).name
        raise RunError(f"{program} was ended by {name} in {where}", 128 - p.returncode)
    if p.returncode != 0:
        message = p.stderr.strip() or p.stdout.strip() or "no message"
        raise RunError(message, p.returncode)
    return Results(where, csv="--csv" in options, stderr=p.stderr)
