"""Reading Quarno's results from Python: the full-precision CSV files that
`quarno --csv` writes, and the fixed-column files when there are no CSV files
(numbers as the program prints them, including exponents of three digits that
replace the letter E, such as 0.28996-185; those readers are in
quarno.results_fixed and are given here too).

Standard library only, so that any tool can use it:

    from quarno.results import read_observations
    rows = read_observations("run1")   # list of dicts, one per record and site

quarno.run and quarno.Results give the same tables as pandas DataFrames.
"""

import csv
import math

from .contract import (OBS_COLUMNS, OBS_CSV_FILE, OBS_FILE, OUTPUT_FILE, PROFILE_CELL_COLUMNS,
                       PROFILE_NODE_COLUMNS)
from .errors import ResultsError
# The fixed-column readers, given here too: this module reads every result file.
from .results_fixed import (BALANCE_HEADINGS, read_balance_fixed, read_number, read_obs_fixed,
                            read_obs_positions, read_profiles_fixed, read_run_title)

__all__ = ["BALANCE_HEADINGS", "OBS_COLUMNS", "PROFILE_CELL_COLUMNS", "PROFILE_NODE_COLUMNS",
           "TEXT_COLUMNS", "balance_series", "read_balance_csv", "read_balance_fixed",
           "read_csv_table", "read_number", "read_obs_csv", "read_obs_fixed",
           "read_obs_positions", "read_observations", "read_profiles_csv",
           "read_profiles_fixed", "read_run_title"]

# Columns of crObsNode.csv that hold no number: `datetime` (with
# --start-date), kept as its ISO 8601 text.
TEXT_COLUMNS = ("datetime",)


def _csv_value(column, text):
    """A field of a CSV results file: text columns as they are, site and
    index as int, empty cells (the fluxes without transport) as NaN."""
    if column in TEXT_COLUMNS or column in ("kind", "balance", "term"):
        return text
    if not text.isascii():  # Python would read other scripts' digits
        raise ValueError(text)
    if column in ("site", "index"):
        return int(text)
    return float(text) if text else math.nan


def read_csv_table(path):
    """The head and the rows of a CSV results file.

    Parameters
    ----------
    path : str or path-like
        The file.

    Returns
    -------
    (list of str, list of list)
        The head, and the rows with text columns as text, site and index as
        int, other fields as float and empty cells as NaN.

    Raises
    ------
    ResultsError
        One line naming the file (and the line): a file that cannot be read,
        is not UTF-8, is cut short, has a row with another number of fields
        than the head, or a field that is not a number in ASCII digits.
    """
    try:
        with open(path, newline="", encoding="utf-8") as f:
            text = f.read()
    except UnicodeDecodeError as e:
        raise ResultsError(f"{path}: not UTF-8 text (byte {e.start})") from None
    except OSError as e:
        raise ResultsError(f"{path}: cannot read: {e.strerror}") from None
    if not text:
        raise ResultsError(f"{path}: empty file")
    lines = text.split("\n")
    if lines[-1]:  # every row the program writes ends with a newline
        raise ResultsError(f"{path}, line {len(lines)}: cut short (no end of line)")
    try:
        return _csv_rows(path, csv.reader(lines[:-1]))
    except csv.Error as e:
        raise ResultsError(f"{path}: not a CSV results file ({e})") from None


def _csv_rows(path, reader):
    head = next(reader)
    rows = []
    for n, fields in enumerate(reader, 2):
        if len(fields) != len(head):
            raise ResultsError(f"{path}, line {n}: {len(fields)} fields, the head has "
                               f"{len(head)} (a cut file?)")
        try:
            rows.append([_csv_value(c, v) for c, v in zip(head, fields)])
        except ValueError:
            raise ResultsError(f"{path}, line {n}: a value is not a number") from None
    return head, rows


def _csv_dicts(path):
    head, rows = read_csv_table(path)
    return [dict(zip(head, row)) for row in rows]


def read_obs_csv(path):
    """The rows of a crObsNode.csv, with numbers as floats (site as int),
    empty cells as NaN and the datetime column, when there is one, as text.

    Parameters
    ----------
    path : str or path-like
        The crObsNode.csv.

    Returns
    -------
    list of dict
        One row per record and site.

    Raises
    ------
    ResultsError
        The file cannot be read or is not a CSV results file.
    """
    return _csv_dicts(path)


def read_observations(folder):
    """Observation rows of a run folder: crObsNode.csv when it belongs to the
    folder's latest run (its run manifest says so), otherwise crObsNode.txt
    with the positions from crOutput.txt.

    Parameters
    ----------
    folder : str or path-like
        The run folder.

    Returns
    -------
    list of dict
        One row per record and site, with the columns of crObsNode.csv (those
        crObsNode.txt lacks are NaN).

    Raises
    ------
    ResultsError
        The latest run did not finish, a result file changed since or
        cannot be read, or the folder holds no observations.
    """
    from .manifest import RunFiles
    files = RunFiles(folder)
    path = files.path(OBS_CSV_FILE)
    if path is not None:
        return read_obs_csv(path)
    fixed, report = files.path(OBS_FILE), files.path(OUTPUT_FILE)
    for name, path in ((OBS_FILE, fixed), (OUTPUT_FILE, report)):
        if path is None:
            raise ResultsError(f"{folder}: no {name} (has the run been made?)")
    positions = read_obs_positions(folder)
    return read_obs_fixed(fixed, len(positions), positions)


# Profiles and balances from the CSV files (crOutput.txt's: quarno.results_fixed).


def read_profiles_csv(path):
    """The profile blocks of a crProfiles.csv, in file order.

    Parameters
    ----------
    path : str or path-like
        The crProfiles.csv.

    Returns
    -------
    list of dict
        {"time_s", "cell": {column: [values]}, "node": {column: [values]}}
        per block, with the columns of PROFILE_CELL_COLUMNS and
        PROFILE_NODE_COLUMNS.

    Raises
    ------
    ResultsError
        The file cannot be read or is not a CSV results file.
    """
    blocks = []
    for row in _csv_dicts(path):
        t = row["time_s"]
        if not blocks or blocks[-1]["time_s"] != t:
            blocks.append({"time_s": t,
                           "cell": {c: [] for c in PROFILE_CELL_COLUMNS},
                           "node": {c: [] for c in PROFILE_NODE_COLUMNS}})
        for column, values in blocks[-1][row["kind"]].items():
            values.append(row[column])
    return blocks


def read_balance_csv(path):
    """The rows of a crBalance.csv: dicts {"time_s", "balance", "term", "value"}."""
    return [{k: r[k] for k in ("time_s", "balance", "term", "value")} for r in _csv_dicts(path)]


def balance_series(rows, term="ER_R"):
    """The series of one term of every balance, in report order.

    Parameters
    ----------
    rows : iterable of dict
        Rows of read_balance_csv or read_balance_fixed.
    term : str, optional
        The term (the relative error ER_R by default).

    Returns
    -------
    dict
        {balance: ([times], [values])}.
    """
    series = {}
    for r in rows:
        if r["term"] == term:
            times, values = series.setdefault(r["balance"], ([], []))
            times.append(r["time_s"])
            values.append(r["value"])
    return series


