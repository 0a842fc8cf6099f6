"""Running the program from Python and reading its results as pandas tables.

    import quarno
    res = quarno.run("examples/first-deck", folder="run1")
    res.observations          # one row per record and site, the columns of crObsNode.csv

Every run writes the full-precision CSV files, and the tables come from them.
A failed run raises a QuarnoError with the program's message and exit status.
"""

import os
import shutil
import tempfile
from pathlib import Path

from . import results as _r
from . import run_info, service
from .contract import (BALANCE_COLUMNS, BALANCE_CSV_FILE, BICOND_FILE, DECK_FILES, OBS_CSV_FILE,
                       OBS_FILE, OUTPUT_FILE, PARAM_FILE, PROFILE_COLUMNS, PROFILES_CSV_FILE)
from .errors import ResultsError, RunError
from .progress import Progress, wanted
from .results_frame import read_csv_frame
from .manifest import MANIFEST, RunFiles
from .service import default_program


__all__ = ["Results", "default_program", "run", "run_in"]


def _pandas():
    import pandas
    return pandas


class Results:
    """The results of a run folder, read when first asked for.

    Which files belong to the folder's latest run is the run manifest's
    (crManifest.json) to say: a run that failed, was interrupted or is
    still running gives no tables (ResultsError with its state, exit status
    and message), nor does a result file changed since. Without a manifest
    (an older program) the tables come from the fixed-column files
    crObsNode.txt and crOutput.txt (printed digits; the columns those files
    do not hold are NaN), unless `csv` says the CSV files are the run's.

    Parameters
    ----------
    folder : str or path-like
        The run folder.
    csv : bool, optional
        True when the caller has just made this run with --csv and it
        succeeded (as `run` does): then a folder without a manifest is read
        from its CSV files.
    stderr : str, optional
        What the run printed on stderr (its notes).

    Attributes
    ----------
    warnings : list of str
        The lines of `stderr`: the warnings and notes of a successful run.

    Raises
    ------
    ResultsError
        A folder that is not a path.
    """

    def __init__(self, folder, csv=None, stderr=""):
        self.files = RunFiles(folder, csv=bool(csv))
        self.folder = self.files.folder
        self.csv = csv
        self.stderr = stderr
        self.warnings = run_info.warning_lines(stderr)
        self._tables = {}

    @property
    def manifest(self):
        """The folder's run manifest as a dict (None without one)."""
        return self.files.manifest

    @property
    def start_date(self):
        """The run's start date (model time 0) from its manifest: a UTC-aware
        pandas.Timestamp, a UTC-aware datetime.datetime for a year pandas
        cannot hold, or None for an undated run."""
        return run_info.start_date(self.manifest, str(self.folder / MANIFEST))

    @property
    def concentration_unit(self):
        """The deck's declared concentration unit (a quarno.Unit) from the
        run's manifest, or None when it declares none."""
        return run_info.concentration_unit(self.manifest, str(self.folder / MANIFEST))

    def to_xarray(self):
        """The run's tables as one xarray.Dataset: see
        quarno.results_xarray.dataset for the layout.

        Returns
        -------
        xarray.Dataset
        """
        from . import results_xarray
        return results_xarray.dataset_of(self)

    def to_netcdf(self, path):
        """Writes `to_xarray()` to a netCDF file, the time encoded as
        seconds since the start date when the run has one.

        Parameters
        ----------
        path : str or path-like
        """
        from . import results_xarray
        results_xarray.write_netcdf(self.to_xarray(), path)

    def path(self, name):
        """The file `name` of the folder when it belongs to the latest run,
        else None (see RunFiles.path)."""
        return self.files.path(name)

    def _table(self, name, from_fixed):
        if name not in self._tables:
            path = self.path(name)
            if path is not None:
                self._tables[name] = read_csv_frame(path)
            else:
                self._tables[name] = from_fixed()
        return self._tables[name]

    def _need(self, name):
        path = self.path(name)
        if path is None:
            raise ResultsError(f"{self.folder}: no {name} (has the run been made?)")
        return str(path)

    @property
    def observations(self):
        """The observation records, read once.

        Returns
        -------
        pandas.DataFrame
            One row per record and observation site (`time_s`, `site`,
            `x_m`, `h_m`, ..., `C`, `Cb`, `Cs`, fluxes).

        Raises
        ------
        ResultsError
            The latest run did not finish, a result file changed since or
            cannot be read, or the folder holds no observations.
        """
        def fixed():
            path = self._need(OBS_FILE)
            self._need(OUTPUT_FILE)
            positions = _r.read_obs_positions(str(self.folder))
            rows = _r.read_obs_fixed(path, len(positions), positions)
            return _pandas().DataFrame(rows, columns=list(_r.OBS_COLUMNS))
        return self._table(OBS_CSV_FILE, fixed)

    @property
    def profiles(self):
        """The profiles at the output times, read once.

        Returns
        -------
        pandas.DataFrame
            Rows of `kind` "cell" (and "node" from the CSV file), with
            `index` from 1.

        Raises
        ------
        ResultsError
            As for `observations`.
        """
        def fixed():
            rows = []
            for block in _r.read_profiles_fixed(self._need(OUTPUT_FILE)):
                cells = block["cell"]
                for k in range(len(cells["x_m"])):
                    row = {"time_s": block["time_s"], "kind": "cell", "index": k + 1}
                    row.update({c: cells[c][k] for c in _r.PROFILE_CELL_COLUMNS})
                    rows.append(row)
            return _pandas().DataFrame(rows, columns=list(PROFILE_COLUMNS))
        return self._table(PROFILES_CSV_FILE, fixed)

    @property
    def balances(self):
        """The balance reports: `time_s`, `balance`, `term`, `value`."""
        def fixed():
            rows = _r.read_balance_fixed(self._need(OUTPUT_FILE))
            return _pandas().DataFrame(rows, columns=list(BALANCE_COLUMNS))
        return self._table(BALANCE_CSV_FILE, fixed)


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
        with open(folder / PARAM_FILE, "w", encoding="latin-1", newline="") as f:
            f.write(deck.text)
        (folder / BICOND_FILE).write_bytes(bicond)
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


def _path_or_none(value, what):
    if value is not None and not isinstance(value, (str, os.PathLike)):
        raise RunError(f"run(): {what} must be a path, not {type(value).__name__}", 1)


def run(deck_or_folder, options=(), folder=None, program=None, progress=None):
    """Runs the program on a deck and returns its Results.

    Each line the program printed on stderr (its warnings and notes) is
    issued as a QuarnoWarning pointing at the caller's line, and kept in
    `Results.warnings`.

    Parameters
    ----------
    deck_or_folder : str, path-like or Deck
        A folder holding crparam.txt and crbicond.txt, or a Deck read with
        Deck.read(folder).
    options : list of str, optional
        The program's options (such as ["--start-date=2024-06-01"]); --csv,
        --no-pause and --quiet are always given (--quiet not while a bar is
        shown: the bar follows the program's progress lines).
    folder : str or path-like, optional
        Where to run: the deck's files are copied there. With None a folder
        runs where it is and a Deck in a new temporary folder.
    program : str, optional
        The program (default_program() by default).
    progress : bool or None, optional
        A bar over the model time with the time left: None shows it in a
        notebook or on a terminal, True always, False never.

    Returns
    -------
    Results
        The run's tables, from its CSV files (every digit).

    Raises
    ------
    QuarnoError
        RunError for a failed run (its message and exit status; 128 + N when
        signal N ended it) or arguments of the wrong type.
    """
    if isinstance(options, (str, bytes)) or not isinstance(options, (list, tuple)):
        raise RunError("options must be a list of strings, such as ['--threads', '1']", 1)
    if not all(isinstance(o, (str, int, float, os.PathLike)) and not isinstance(o, bool)
               for o in options):
        raise RunError("options must be a list of strings, such as ['--threads', '1']", 1)
    _path_or_none(folder, "folder")
    _path_or_none(program, "program")
    options = [os.fspath(o) if isinstance(o, os.PathLike) else str(o) for o in options]
    source, deck = _deck_source(deck_or_folder)
    if folder is not None:
        where = Path(folder)
        _place_deck(source, deck, where)
    elif deck is not None:
        where = Path(tempfile.mkdtemp(prefix="quarno-run-"))
        _place_deck(None, deck, where)
    else:
        where = source
    results = run_in(where, options, program, progress, desc=f"run {where.name}")
    run_info.issue_warnings(results.warnings, 2)
    return results


def run_in(where, options, program=None, progress=None, desc="run", bar=None):
    """Runs the program on the deck already in folder `where`, without
    issuing its warnings (they are in the Results).

    Parameters
    ----------
    where : pathlib.Path
        The run folder, holding the deck.
    options : list of str
        The program's options.
    program : str, optional
        The program (default_program() by default).
    progress : bool or None, optional
        As for `run`; the bar runs over the deck's schedule.
    desc : str, optional
        The bar's label.
    bar : quarno.progress.Progress, optional
        A bar to move instead (one over a chain of runs); `progress` and
        `desc` are then not used.

    Returns
    -------
    Results

    Raises
    ------
    RunError
        For a failed run.
    """
    program = os.fspath(program or default_program())
    (where / MANIFEST).unlink(missing_ok=True)  # an earlier run's, never this one's
    end = run_info.schedule_end(folder=where) if bar is None and wanted(progress) else None
    if bar is not None and bar.shown:
        outcome = service.execute(program, options, where, keep_stdout=True,
                                  progress_to=bar.moved_to)
    elif end is None:
        outcome = service.execute(program, options, where, keep_stdout=True)
    else:
        with Progress(end, desc, unit="s", progress=True) as bar:
            outcome = service.execute(program, options, where, keep_stdout=True,
                                      progress_to=bar.moved_to)
            if outcome.ok:
                bar.moved_to(end)
    if not outcome.ok:
        raise service.failure(outcome, program, where)
    return Results(where, csv=True, stderr=outcome.stderr)
