"""Reading the fixed-column files Quarno always writes (crObsNode.txt,
crOutput.txt): numbers as the program prints them, including exponents of
three digits that replace the letter E, such as 0.28996-185. quarno.results
reads these when a run wrote no CSV files, and gives the same names.

Standard library only, so that any tool can use it.
"""

import math
import os
import re

from .contract import OBS_COLUMNS, OUTPUT_FILE, PARAM_FILE, PROFILE_CELL_COLUMNS
from .errors import ResultsError

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


# Balance headings of crOutput.txt and the names crBalance.csv gives them.
BALANCE_HEADINGS = {
    "WATER BALANCE": "water",
    "SOLUTE BALANCE: STREAM WATER": "stream-water solute",
    "SOLUTE BALANCE: BED SEDIMENT": "bed-sediment solute",
}


_TERM = re.compile(r"([A-Za-z_][A-Za-z0-9_]*)=\s*(\S+)\s*$")


def read_profiles_fixed(path):
    """The profile blocks of a crOutput.txt, in the form of read_profiles_csv.

    The file prints cell rows only (the concentrations are the cell means of
    the node values, bed under "Cs" and storage under "Cst"), so "node" is
    empty and the values carry the printed precision (4 digits).

    Parameters
    ----------
    path : str or path-like
        The crOutput.txt.

    Returns
    -------
    list of dict
        {"time_s", "cell": {column: [values]}, "node": {}} per block.

    Raises
    ------
    ResultsError
        The file cannot be read.
    """
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


def read_balance_fixed(path):
    """The balance reports of a crOutput.txt as rows like those of
    read_balance_csv (printed precision, 3 digits), with the inlet's Froude
    number as balance "inlet", term "Fr". A report takes the time of the
    profile block it follows.

    Parameters
    ----------
    path : str or path-like
        The crOutput.txt.

    Returns
    -------
    list of dict
        {"time_s", "balance", "term", "value"} per term.

    Raises
    ------
    ResultsError
        The file cannot be read.
    """
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


def read_obs_positions(folder):
    """The X (m) of the observation positions, from the echo in crOutput.txt.

    Parameters
    ----------
    folder : str or path-like
        The run folder.

    Returns
    -------
    list of float
        The positions, Nobs of them at most.

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
    in the first 20 lines of crOutput.txt.

    Parameters
    ----------
    folder : str or path-like
        The run folder.

    Returns
    -------
    str
        The title; empty when neither file gives one.
    """
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
