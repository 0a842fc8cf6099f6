"""The forcing file crforcing.toml beside a deck: sources along the reach,
each a point source or a distributed inflow with series of times, discharge
and concentration (or load), inline or in a CSV file beside it; the weather
([environment]: water temperature and irradiance over time, inline or in a
CSV file) and how the die-off rates follow it per reach segment ([rates]).

A file read and not edited is written back byte for byte, with its CSV
series files; an edited one is written anew in one canonical form
(quarno.forcing_write).

The contents and their checks are in quarno.forcing_data, the reading in
quarno.forcing_read, the TOML writer in quarno.forcing_write; this module
edits and writes the files, and offers all four."""

import math
import os
import re

from .errors import DeckError
from .steps import shown
from .tables import X_TOLERANCE
from .forcing_data import (
    ENVIRONMENT, ENVIRONMENT_KEYS, FORCING_FILE, INLINE_KEYS, RATE_COLUMNS, RATE_DEFAULTS,
    RATE_FOLLOWS, RATES_KEYS, SOURCE_KEYS, TEMPERATURE_RANGE, THETA_RANGE, THETA_USUAL, UTC,
    Contents, Environment, Rates, Source, check_environment, check_rate_value, check_rates,
    check_source, is_number, utc_date)
from .forcing_read import parse, read
from .forcing_write import toml_array, toml_string, toml_value, write_text

# The forcing file's whole interface: its contents and checks, reading, and
# writing and editing.
__all__ = [
    "DeckError", "FORCING_FILE", "SOURCE_KEYS", "INLINE_KEYS", "UTC", "ENVIRONMENT",
    "ENVIRONMENT_KEYS", "TEMPERATURE_RANGE", "RATE_COLUMNS", "RATE_DEFAULTS", "RATES_KEYS",
    "THETA_RANGE", "THETA_USUAL", "RATE_FOLLOWS", "Source", "Environment", "Rates", "Contents",
    "is_number", "utc_date", "check_source", "check_environment", "check_rate_value",
    "check_rates", "parse", "read", "toml_string", "toml_value", "toml_array", "write_text",
    "files", "flow_files", "rows_in", "set_rate", "with_edits", "write_files",
    "strength_source", "split_edits", "run_files",
]


# ----------------------------------------------------------------------------
# Files and edits

def files(data, contents):
    """The files of a forcing file and its series files.

    Parameters
    ----------
    data : bytes
        The forcing file.
    contents : Contents
        What it holds.

    Returns
    -------
    dict
        {relative path: bytes}.
    """
    out = {FORCING_FILE: data}
    env = contents.environment
    if env is not None and env.series is not None:
        out[env.series] = env.series_bytes
    for s in contents.sources:
        if s.series is not None:
            out[s.series] = s.series_bytes
    return out


def flow_files(data, contents):
    """The files of a forcing file that the flow depends on: the whole file
    and its series when it holds no weather (as it is read), else the
    sources alone written anew with their series. The weather enters only
    the transport."""
    if not contents.weather():
        return files(data, contents)
    sources = contents.copy(environment=None, rates=None)
    return files(write_text(sources), sources) if sources.sources else {}


def rows_in(rates, x_from, x_to):
    """Indices of the rows of a rate table with x_from <= x < x_to, with the
    program's tolerance: each row holds to the next one, the last to the
    reach's end."""
    return [k for k, x in enumerate(rates.x)
            if x >= x_from - X_TOLERANCE and x < x_to - X_TOLERANCE]


def set_rate(rates, column, value, x_from, x_to, length):
    """(Rates, indices of the rows set): `rates` (None: no table, one row at
    0 with the defaults) with `column` set to `value` over
    x_from <= X < x_to. Where a bound falls inside a row's stretch a row is
    added there with the values of that row, so that the value holds over
    exactly the reach; a column left out is written with its default on the
    other rows.

    Parameters
    ----------
    rates : Rates or None
    column : str
        A column of RATE_COLUMNS.
    value : float
        A value the column can take.
    x_from, x_to : float
        The reach.
    length : float or None
        The reach's length L (m).

    Returns
    -------
    (Rates, list of int)

    Raises
    ------
    DeckError
        For a column, value or bound that cannot be, or a reach holding no
        row.
    """
    if column not in RATE_COLUMNS:
        raise DeckError(f"{column!r} is not a column of the rate table ({', '.join(RATE_COLUMNS)})")
    check_rate_value(column, value, "rates")
    for bound in (x_from, x_to):
        try:
            if not float(bound) == float(bound):  # NaN
                raise ValueError
        except (TypeError, ValueError, OverflowError):
            raise DeckError(f"{column}: the reach's bound {shown(bound)} is not a number") from None
    if rates is None:
        rates = Rates([0.0], {})
    xs = list(rates.x)
    cols = {c: list(v) for c, v in rates.columns.items()}
    cols.setdefault(column, [RATE_DEFAULTS[column]] * len(xs))
    for x in (x_from, x_to):
        if (not math.isfinite(x) or x <= xs[0] + X_TOLERANCE
                or (length is not None and x >= length - X_TOLERANCE)
                or any(abs(x - r) <= X_TOLERANCE for r in xs)):
            continue
        k = max(i for i in range(len(xs)) if xs[i] < x)  # the row whose stretch holds x
        xs.insert(k + 1, float(x))
        for v in cols.values():
            v.insert(k + 1, v[k])
    new = Rates(xs, cols)
    rows = rows_in(new, x_from, x_to)
    if not rows:
        raise DeckError(f"{column}: no row of the rate table lies in {x_from} <= X < {x_to}")
    for k in rows:
        cols[column][k] = float(value)
    return new, rows


def with_edits(data, contents, strengths=None, rates=()):
    """The forcing file with strengths and rate edits set.

    Parameters
    ----------
    data : bytes
        The forcing file.
    contents : Contents
        What it holds.
    strengths : dict, optional
        Source name -> strength.
    rates : sequence of tuple, optional
        Rate edits (column, x_from, x_to, value), in order.

    Returns
    -------
    (bytes, Contents)
        The same bytes when nothing changes, else the file written anew.

    Raises
    ------
    DeckError
        For a source the file does not have, a strength that is not a number,
        or a rate edit set_rate refuses.
    """
    strengths = dict(strengths or {})
    for name, value in strengths.items():
        try:
            strengths[name] = float(value)
        except (TypeError, ValueError, OverflowError):
            raise DeckError(f"{FORCING_FILE}: the strength {shown(value)} of source {name!r} is "
                            "not a number") from None
    known = {s.name for s in contents.sources}
    unknown = sorted(set(strengths) - known)
    if unknown:
        raise DeckError(f"{FORCING_FILE}: no source named {unknown[0]!r}")
    table = contents.rates
    for column, x_from, x_to, value in rates:
        table = set_rate(table, column, value, x_from, x_to, contents.length)[0]
    same_rates = table == contents.rates
    if same_rates and all(s.strength == float(strengths.get(s.name, s.strength))
                          for s in contents.sources):
        return data, contents
    new = contents.copy(rates=table, sources=[
        s.copy(strength=float(strengths.get(s.name, s.strength))) for s in contents.sources])
    return write_text(new), new


def write_files(folder, file_map):
    """Write files into a folder, each through a temporary file.

    A forcing file already there is removed when `file_map` holds none (it
    would add sources the deck does not have).

    Parameters
    ----------
    folder : str
    file_map : dict
        {relative path: bytes}.

    Raises
    ------
    DeckError
        When a file cannot be written.
    """
    if FORCING_FILE not in file_map:
        stale = os.path.join(folder, FORCING_FILE)
        if os.path.isfile(stale) or os.path.islink(stale):
            os.remove(stale)
        return
    for name, data in file_map.items():
        path = os.path.join(folder, name)
        os.makedirs(os.path.dirname(path) or folder, exist_ok=True)
        tmp = path + ".tmp"
        try:
            with open(tmp, "wb") as f:
                f.write(data)
            os.replace(tmp, path)
        except OSError as e:
            if os.path.exists(tmp):
                os.remove(tmp)
            raise DeckError(f"{path}: cannot write ({e.strerror})") from None


# ----------------------------------------------------------------------------
# Strengths as parameters of quarno-fit and quarno-sample

_STRENGTH = re.compile(r"^source\.(.+)\.strength$", re.S)


def strength_source(name):
    """The source whose strength a parameter name `source.NAME.strength`
    sets, or None for any other name."""
    m = _STRENGTH.match(name) if isinstance(name, str) else None
    return m.group(1) if m else None


def split_edits(edits):
    """Parameter edits split by what they change.

    Parameters
    ----------
    edits : iterable of tuple
        (name, x_from, x_to, value).

    Returns
    -------
    columns : list of tuple
        The edits of crparam.txt's columns, as given.
    strengths : dict
        {source name: value} of the strengths set.
    rates : list of tuple
        The edits of the rate table (column, x_from, x_to, value).
    """
    columns, strengths, rates = [], {}, []
    for e in edits:
        source = strength_source(e[0])
        if source is not None:
            strengths[source] = float(e[3])
        elif e[0] in RATE_COLUMNS:
            rates.append((e[0], e[1], e[2], float(e[3])))
        else:
            columns.append(e)
    return columns, strengths, rates


def run_files(forcing, strengths, rates=()):
    """The forcing file and series files of a run.

    Parameters
    ----------
    forcing : (bytes, Contents) or None
        The deck's forcing file; None without one.
    strengths : dict
        Source name -> strength.
    rates : sequence of tuple, optional
        Rate edits (column, x_from, x_to, value).

    Returns
    -------
    dict
        {relative path: bytes}; {} without a forcing file.

    Raises
    ------
    DeckError
        Strengths or rate edits without a forcing file, or edits with_edits
        refuses.
    """
    if forcing is None:
        if strengths:
            raise DeckError(f"no {FORCING_FILE}: no source named {sorted(strengths)[0]!r}")
        if rates:
            raise DeckError(f"no {FORCING_FILE}: {rates[0][0]} follows the weather, which the "
                            "deck does not have")
        return {}
    return files(*with_edits(*forcing, strengths, rates))
