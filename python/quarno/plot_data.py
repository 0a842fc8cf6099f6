"""What the plots of a run read: the run's results (the CSV files of
`quarno --csv` when they belong to the latest run, otherwise the
fixed-column files), measured values and uncertainty bands."""

import csv
import math
import os
import sys

from .contract import (
    BALANCE_CSV_FILE, MANIFEST_FILE, OBS_CSV_FILE, OBS_FILE, OUTPUT_FILE, PROFILES_CSV_FILE)
from .errors import PlotError
from .observations import read_observation_file
from .results import (
    ResultsError, read_balance_csv, read_balance_fixed, read_obs_csv, read_obs_fixed,
    read_obs_positions, read_profiles_csv, read_profiles_fixed, read_run_title)


def _run_csv(files, name):
    """The path of a CSV result file when it belongs to the folder's latest
    run; a note when one lies there that is not known to be the run's."""
    path = files.path(name)
    if path is None and (files.folder / name).is_file():
        print(f"note: {files.folder / name}: no run manifest says it is the latest run's "
              "(it may be an earlier run's); reading the fixed-column files", file=sys.stderr)
    return None if path is None else str(path)


def load_run(folder):
    """Everything the plots need from a run folder.

    The files are chosen as quarno.Results chooses them: those of the
    folder's latest run by its manifest, only the fixed-column files in a
    folder without one.

    Parameters
    ----------
    folder : str
        The run folder.

    Returns
    -------
    dict
        title, observations (rows with x filled in), profiles, balance rows,
        under "sources" the file each came from, and from the run's manifest
        start_date (a UTC pandas.Timestamp) and unit (the deck's
        concentration Unit), each None when the run has none.

    Raises
    ------
    PlotError
        The folder holds no results, its latest run did not finish, or a
        results file cannot be read (cut short, changed since the run).
    """
    try:
        return _load_run(folder)
    except ResultsError as e:
        raise PlotError(f"{e}; run quarno on this folder again") from None


def _load_run(folder):
    from .run import Results
    if not os.path.isdir(folder):
        raise PlotError(f"{folder}: no such folder")
    files = Results(folder)
    report = files.path(OUTPUT_FILE)
    run = {"folder": folder, "title": read_run_title(folder), "sources": {},
           "observations": [], "profiles": [], "balance": [],
           **_dating(files.files.manifest)}

    path = _run_csv(files, OBS_CSV_FILE)
    fixed = files.path(OBS_FILE)
    if path:
        run["observations"] = read_obs_csv(path)
        run["sources"]["observations"] = path
    elif report and fixed:
        positions = read_obs_positions(folder)
        run["observations"] = read_obs_fixed(str(fixed), len(positions), positions) \
            if positions else []
        run["sources"]["observations"] = str(fixed)

    # Profiles and balances: from their CSV file, else from the run's report.
    for key, name, from_csv, from_report in (
            ("profiles", PROFILES_CSV_FILE, read_profiles_csv, read_profiles_fixed),
            ("balance", BALANCE_CSV_FILE, read_balance_csv, read_balance_fixed)):
        path = _run_csv(files, name)
        if path:
            run[key] = from_csv(path)
            run["sources"][key] = path
        elif report:
            run[key] = from_report(str(report))
            run["sources"][key] = str(report)

    if not (run["observations"] or run["profiles"] or run["balance"]):
        raise PlotError(f"{folder}: no results to plot (no {OUTPUT_FILE} with profile blocks, "
                        "no observation records); run quarno on this folder first")
    return run


def _dating(manifest):
    """start_date and unit of a run from its manifest (None when it has none)."""
    from .errors import QuarnoError
    from .run_info import concentration_unit, start_date
    try:
        return {"start_date": start_date(manifest, MANIFEST_FILE),
                "unit": concentration_unit(manifest, MANIFEST_FILE)}
    except QuarnoError as e:
        raise PlotError(str(e)) from None


def _read_csv_rows(path, needed, optional, layout):
    """Rows of a small CSV file whose header names the columns: the needed
    and optional ones as numbers, `group` as text. Blank lines and lines
    starting with # are skipped. PlotError names the file and line of
    anything unreadable."""
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            lines = [(n, line) for n, line in enumerate(f, 1)
                     if line.strip() and not line.lstrip().startswith("#")]
    except OSError as e:
        raise PlotError(f"{path}: cannot read: {e.strerror}")
    except UnicodeDecodeError as e:
        raise PlotError(f"{path}: not UTF-8 text (byte {e.start})")
    if not lines:
        raise PlotError(f"{path}: no header line ({layout})")
    header_no, header = lines[0]
    columns = [c.strip() for c in next(csv.reader([header]))]
    for need in needed:
        if need not in columns:
            raise PlotError(f"{path}:{header_no}: the header has no column {need} "
                            f"(expected {layout})")
    rows = []
    for n, line in lines[1:]:
        fields = [c.strip() for c in next(csv.reader([line]))]
        if len(fields) != len(columns):
            raise PlotError(f"{path}:{n}: {len(fields)} fields, the header has {len(columns)}")
        row = dict(zip(columns, fields))
        point = {"group": row.get("group", "")}
        for key in (*needed, *optional):
            if key not in row:
                continue
            try:
                point[key] = float(row[key])
            except ValueError:
                raise PlotError(f"{path}:{n}: {key} is not a number: {row[key]!r}")
        rows.append(point)
    return rows


def read_observed(path, start_date=None):
    """Measured values to draw, read as quarno-fit reads them.

    Parameters
    ----------
    path : str
        An observation file (quarno.observations.read_observation_file).
    start_date : pandas.Timestamp, datetime or str, optional
        The run's start date, which a file of dates (a `datetime` column)
        needs to place them on the model's time.

    Returns
    -------
    list of dict
        One dict per value: x_m, time_s, value, weight, group, line.

    Raises
    ------
    PlotError
        Names the file and line of anything unreadable.
    """
    return read_observation_file(path, PlotError, start_date=start_date)


def read_bands(path):
    """Uncertainty bands from a CSV file such as quarno-sample's glue_bands.csv.

    Parameters
    ----------
    path : str
        A CSV file with the columns x_m, time_s, lower and upper (median
        optional).

    Returns
    -------
    dict
        {x_m: {"time_s": [...], "lower": [...], "upper": [...], "median": [...]}}
        in file order (a missing median is NaN).

    Raises
    ------
    PlotError
        Names the file and line of anything unreadable.
    """
    rows = _read_csv_rows(path, ("x_m", "time_s", "lower", "upper"), ("median",),
                          "x_m,time_s,lower,upper[,median]")
    bands = {}
    for row in rows:
        band = bands.setdefault(row["x_m"], {"time_s": [], "lower": [], "upper": [],
                                             "median": []})
        for key in band:
            band[key].append(row.get(key, math.nan))
    return bands
