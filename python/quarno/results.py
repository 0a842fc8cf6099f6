"""Reading Quarno's results from Python: the full-precision CSV files that
`quarno --csv` writes, and the fixed-column files when there are no CSV files
(numbers as the program prints them, including exponents of three digits that
replace the letter E, such as 0.28996-185).

Standard library only, so that any tool can use it:

    from quarno.results import read_observations
    rows = read_observations("run1")   # list of dicts, one per record and site

quarno.run and quarno.Results give the same tables as pandas DataFrames.
"""

import csv
import math
import os
import re

from .contract import (OBS_COLUMNS, OBS_CSV_FILE, OBS_FILE, OUTPUT_FILE, PARAM_FILE,
                       PROFILE_CELL_COLUMNS, PROFILE_NODE_COLUMNS)
from .errors import ResultsError

# Columns of crObsNode.csv that hold no number: `datetime` (with
# --start-date), kept as its ISO 8601 text.
TEXT_COLUMNS = ("datetime",)

# Mantissa, then an exponent with its letter (sign optional) or, for three
# digits, a signed exponent without the letter.
_NUMBER = re.compile(r"^([+-]?(?:\d+\.?\d*|\.\d+))(?:[EeDd]([+-]?\d+)|([+-]\d+))?$")


def read_number(text):
    """A number as the program prints it: integers, fixed point, E and D
    exponents, and the three-digit exponent form without the letter
    (0.28996-185).

    Parameters
    ----------
    text : str
        One printed field.

    Returns
    -------
    float
        The number; NaN for asterisks, NaN, empty fields and anything else
        that is not a number, +-inf for Infinity.
    """
    t = text.strip()
    if t in ("Infinity", "+Infinity", "Inf"):
        return math.inf
    if t in ("-Infinity", "-Inf"):
        return -math.inf
    m = _NUMBER.match(t)
    if not m:
        return math.nan
    mantissa, exponent = m.group(1), m.group(2) or m.group(3)
    return float(f"{mantissa}e{exponent}" if exponent else mantissa)  # correctly rounded


def _count_of(line, path):
    """The count after "Nobs=" on a line of the input echo."""
    text = line.split("Nobs=")[1].strip()
    if not (text.isascii() and text.isdigit() and len(text) < 10):
        raise ResultsError(f"{path}: Nobs is not a count: {text[:20]!r}")
    return int(text)


def _open_text(path):
    try:
        return open(path, encoding="latin-1")
    except OSError as e:
        raise ResultsError(f"{path}: cannot read: {e.strerror}") from None


def read_obs_fixed(path, positions, x_positions=None):
    """Records of a crObsNode.txt with `positions` positions, as rows like
    those of crObsNode.csv (without the storage-zone concentration and the
    fluxes, which that file does not hold: they are NaN).

    Parameters
    ----------
    path : str or path-like
        The crObsNode.txt.
    positions : int
        The number of observation positions (Nobs).
    x_positions : list of float, optional
        Their X (m); NaN without them.

    Returns
    -------
    list of dict
        One row per complete record and position (a record cut short is
        left out).

    Raises
    ------
    ResultsError
        The file cannot be read.
    """
    with _open_text(path) as f:
        lines = f.read().splitlines()[11:]  # the head is 11 lines
    # A record is the time (12 columns) and 5 values of 14 columns per
    # position, 25 values to a line; longer records go on, on the next line.
    per_record = 1 + 5 * positions
    values = []
    rows = []
    for line in lines:
        fields = [line[:12]] if not values else []
        rest = line[12:] if not values else line
        fields += [rest[k:k + 14] for k in range(0, len(rest), 14)]
        values += [read_number(v) for v in fields if v.strip()]
        if len(values) >= per_record:
            t = values[0]
            for j in range(positions):
                h, u, q, c, cb = values[1 + 5 * j:6 + 5 * j]
                x = x_positions[j] if x_positions else math.nan
                row = dict.fromkeys(OBS_COLUMNS, math.nan)
                row.update({"time_s": t, "site": j + 1, "x_m": x, "h_m": h, "u_m_per_s": u,
                            "Q_m3_per_s": q, "C": c, "Cb": cb})
                rows.append(row)
            values = []
    return rows


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
    empty cells as NaN and the datetime column, when there is one, as text."""
    return _csv_dicts(path)


def read_observations(folder):
    """Observation rows of a run folder: crObsNode.csv when it belongs to the
    folder's latest run (its run manifest says so), otherwise crObsNode.txt
    with the positions from crOutput.txt.

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


# Profiles, balances and the run's description, from the CSV files or from
# crOutput.txt.


# Balance headings of crOutput.txt and the names crBalance.csv gives them.
BALANCE_HEADINGS = {
    "WATER BALANCE": "water",
    "SOLUTE BALANCE: STREAM WATER": "stream-water solute",
    "SOLUTE BALANCE: BED SEDIMENT": "bed-sediment solute",
}

_TERM = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=\s*(\S+)\s*$")


def read_profiles_csv(path):
    """The profile blocks of a crProfiles.csv, in file order: a list of dicts
    {"time_s", "cell": {column: [values]}, "node": {column: [values]}} with
    the columns of PROFILE_CELL_COLUMNS and PROFILE_NODE_COLUMNS."""
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


def read_profiles_fixed(path):
    """The profile blocks of a crOutput.txt, in the form of read_profiles_csv.
    The file prints cell rows only (the concentrations are the cell means of
    the node values, bed under "Cs" and storage under "Cst"), so "node" is
    empty and the values carry the printed precision (4 digits)."""
    blocks = []
    in_rows = False
    with _open_text(path) as f:
        for line in f:
            line = line.rstrip("\r\n")
            if line.startswith("Time="):
                blocks.append({"time_s": read_number(line[5:]),
                               "cell": {c: [] for c in PROFILE_CELL_COLUMNS}, "node": {}})
                in_rows = False
            elif blocks and "X(m)" in line and "Cst" in line:
                in_rows = True
            elif in_rows:
                if not line.strip():
                    if blocks[-1]["cell"]["x_m"]:
                        in_rows = False  # the blank line after the rows
                    continue
                # Eight fields of two blanks and 12 columns.
                fields = [line[k:k + 14] for k in range(0, 8 * 14, 14)]
                for column, text in zip(PROFILE_CELL_COLUMNS, fields):
                    blocks[-1]["cell"][column].append(read_number(text))
    return blocks


def read_balance_csv(path):
    """The rows of a crBalance.csv: dicts {"time_s", "balance", "term", "value"}."""
    return [{k: r[k] for k in ("time_s", "balance", "term", "value")} for r in _csv_dicts(path)]


def read_balance_fixed(path):
    """The balance reports of a crOutput.txt as rows like those of
    read_balance_csv (printed precision, 3 digits). A report takes the time
    of the profile block it follows."""
    rows = []
    t = None
    balance = None
    with _open_text(path) as f:
        for line in f:
            text = line.strip()
            if line.startswith("Time="):
                t = read_number(line[5:])
                balance = None
            elif t is None:
                continue  # the input echo
            elif text.startswith("Froude number at X=0:"):
                rows.append({"time_s": t, "balance": "inlet", "term": "Fr",
                             "value": read_number(text.split(":", 1)[1])})
            elif text in BALANCE_HEADINGS:
                balance = BALANCE_HEADINGS[text]
            elif balance:
                m = _TERM.search(text)
                if m:
                    rows.append({"time_s": t, "balance": balance, "term": m.group(1),
                                 "value": read_number(m.group(2))})
                else:
                    balance = None
    return rows


def balance_series(rows, term="ER_R"):
    """{balance: ([times], [values])} of one term, in report order."""
    series = {}
    for r in rows:
        if r["term"] == term:
            times, values = series.setdefault(r["balance"], ([], []))
            times.append(r["time_s"])
            values.append(r["value"])
    return series


def read_obs_positions(folder):
    """The X (m) of the observation positions, from the echo in crOutput.txt.

    Raises
    ------
    ResultsError
        No such file, or no count of positions (Nobs) in its echo.
    """
    positions = []
    count = None
    path = os.path.join(folder, OUTPUT_FILE)
    with _open_text(path) as f:
        for line in f:
            if count is None:
                if "Nobs=" in line:
                    count = _count_of(line, path)
                continue
            if len(positions) == count:
                break
            value = read_number(line)
            if not math.isnan(value):
                positions.append(value)
    if count is None:
        raise ResultsError(f"{path}: no Nobs in the input echo (a failed or unfinished run?)")
    return positions


def read_run_title(folder):
    """The run's title: the first line of crparam.txt, or the one between < >
    in crOutput.txt; empty when neither is there."""
    try:
        with open(os.path.join(folder, PARAM_FILE), encoding="latin-1") as f:
            title = f.readline().strip()
        if title:
            return title
    except OSError:
        pass
    try:
        with open(os.path.join(folder, OUTPUT_FILE), encoding="latin-1") as f:
            for _, line in zip(range(20), f):
                text = line.strip()
                if text.startswith("<") and text.endswith(">"):
                    return text[1:-1].strip()
    except OSError:
        pass
    return ""
