"""Reading Quarno's results from Python: the full-precision CSV files that
`quarno --csv` writes, and the fixed-column files when there are no CSV files
(numbers as the program prints them, including exponents of three digits that
replace the letter E, such as 0.28996-185).

Standard library only, so that any tool can use it:

    from quarno_results import read_observations
    rows = read_observations("run1")   # list of dicts, one per record and site
"""

import csv
import math
import os
import re

OBS_COLUMNS = ("time_s", "site", "x_m", "h_m", "u_m_per_s", "Q_m3_per_s", "C", "Cb", "Cs")

# Mantissa, then an exponent with its letter (sign optional) or, for three
# digits, a signed exponent without the letter.
_NUMBER = re.compile(r"^([+-]?(?:\d+\.?\d*|\.\d+))(?:[EeDd]([+-]?\d+)|([+-]\d+))?$")


def read_number(text):
    """A number as the program prints it: integers, fixed point, E and D
    exponents, and the three-digit exponent form without the letter
    (0.28996-185). Asterisks, NaN, Infinity and empty fields read as NaN."""
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


def _positions_from_results(folder):
    """The number of observation positions, from the echo in crOutput.txt."""
    with open(os.path.join(folder, "crOutput.txt"), encoding="latin-1") as f:
        for line in f:
            if "Nobs=" in line:
                return int(line.split("Nobs=")[1])
    raise ValueError(f"{folder}/crOutput.txt: no Nobs in the input echo")


def read_obs_fixed(path, positions, x_positions=None):
    """Records of a crObsNode.txt with `positions` positions, as rows like
    those of crObsNode.csv (without the storage-zone concentration, which
    that file does not hold: Cs is NaN)."""
    with open(path, encoding="latin-1") as f:
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
                rows.append({"time_s": t, "site": j + 1, "x_m": x, "h_m": h, "u_m_per_s": u,
                             "Q_m3_per_s": q, "C": c, "Cb": cb, "Cs": math.nan})
            values = []
    return rows


def read_obs_csv(path):
    """The rows of a crObsNode.csv, with numbers as floats (site as int)."""
    with open(path, newline="") as f:
        rows = []
        for row in csv.DictReader(f):
            rows.append({k: (int(v) if k == "site" else float(v)) for k, v in row.items()})
        return rows


def read_observations(folder):
    """Observation rows of a run folder: crObsNode.csv when it is there,
    otherwise crObsNode.txt with the positions from crOutput.txt."""
    csv_path = os.path.join(folder, "crObsNode.csv")
    if os.path.exists(csv_path):
        return read_obs_csv(csv_path)
    return read_obs_fixed(os.path.join(folder, "crObsNode.txt"), _positions_from_results(folder))
