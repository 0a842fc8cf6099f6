"""Reading the forcing file crforcing.toml and the CSV series files it names
into its contents (quarno.forcing_data), with every fault one DeckError
naming the file and the line."""

import csv
import datetime
import os
import re
import tomllib

from .deck_table import parse_deck_table
from .errors import DeckError
from .steps import shown
from .forcing_data import (
    FORCING_FILE,
    SOURCE_KEYS,
    INLINE_KEYS,
    ENVIRONMENT,
    ENVIRONMENT_KEYS,
    RATE_COLUMNS,
    RATES_KEYS,
    Source,
    Environment,
    Rates,
    Contents,
    is_number,
    utc_date,
    check_source,
    check_environment,
    check_rates,
)


# ----------------------------------------------------------------------------
# Reading


def _line_of(data, offset):
    """The line (1-based) of a byte offset."""
    return data[:offset].count(b"\n") + 1


def _source_lines(text):
    """The line (1-based) of each [[source]] header, in file order."""
    return [n for n, line in enumerate(text.splitlines(), 1)
            if re.match(r"^\s*\[\[\s*source\s*\]\]", line)]


def _float(v, where):
    """A TOML number as a float; an integer too large for one is refused."""
    try:
        return float(v)
    except OverflowError:
        raise DeckError(f"{where}: the number {shown(v)} is out of range") from None


def csv_float(text):
    """A CSV field as a float, as the program's reader takes it: ASCII only
    (no other script's digits, no digit-group underscores); ValueError
    otherwise."""
    if not text.isascii() or "_" in text:
        raise ValueError(text)
    return float(text)


def _time(v, where):
    if is_number(v):
        return _float(v, where)
    if isinstance(v, (datetime.datetime, str)):
        d = utc_date(v)
        if d is not None:
            return d
    raise DeckError(f"{where}: a time must be seconds or a date (found {v!r})")


def _number_list(table, key, where):
    v = table[key]
    if not isinstance(v, list) or not all(is_number(a) for a in v):
        raise DeckError(f"{where}: '{key}' must be an array of numbers")
    return [_float(a, where) for a in v]


def _series_lines(folder, name, where):
    """(path, bytes, [(line number, line)] without blank and '#' lines) of a
    CSV series file named in the forcing file."""
    if os.path.isabs(name) or ".." in name.replace("\\", "/").split("/"):
        raise DeckError(f"{where}: the series file {name!r} must lie in the forcing file's "
                        "folder or below it")
    path = os.path.join(folder, name)
    if not os.path.isfile(path):
        raise DeckError(f"{path}: the series file is missing or not a regular file")
    try:
        with open(path, "rb") as f:
            data = f.read()
        text = data.decode("utf-8")
    except OSError as e:
        raise DeckError(f"{path}: cannot read ({e.strerror})") from None
    except UnicodeDecodeError as e:
        raise DeckError(f"{path}, line {_line_of(data, e.start)}: not UTF-8 text") from None
    rows = [(n, line) for n, line in enumerate(text.splitlines(), 1)
            if line.strip() and not line.lstrip().startswith("#")]
    if not rows:
        raise DeckError(f"{path}: no header line")
    return path, data, rows


def _read_series(folder, name, where):
    """(bytes, times, discharge, values, load) of a CSV series file."""
    path, data, rows = _series_lines(folder, name, where)
    n0, head = rows[0]
    cols = [c.strip() for c in next(csv.reader([head]))]
    time_col = next((c for c in ("time_s", "datetime") if c in cols), None)
    value_cols = [c for c in ("concentration", "load") if c in cols]
    if (time_col is None or "discharge_m3s" not in cols or len(value_cols) != 1
            or len(cols) != 3):
        raise DeckError(f"{path}, line {n0}: the header must name time_s (or datetime), "
                        "discharge_m3s and concentration (or load)")
    idx = {c: cols.index(c) for c in cols}
    times, discharge, values = [], [], []
    for n, line in rows[1:]:
        fields = [f.strip() for f in next(csv.reader([line]))]
        if len(fields) != 3:
            raise DeckError(f"{path}, line {n}: {len(fields)} values for 3 columns")
        try:
            t = fields[idx[time_col]]
            if time_col == "time_s":
                times.append(csv_float(t))
            else:
                d = utc_date(t)
                if d is None:
                    raise ValueError
                times.append(d)
            discharge.append(csv_float(fields[idx["discharge_m3s"]]))
            values.append(csv_float(fields[idx[value_cols[0]]]))
        except ValueError:
            raise DeckError(f"{path}, line {n}: expected {','.join(cols)}, found "
                            f"{line.strip()!r}") from None
    return data, times, discharge, values, value_cols[0] == "load"


def _read_environment_series(folder, name, where):
    """(bytes, Environment, where) of an environment's CSV series file: the
    columns time_s (or datetime) and either or both quantities; `where` names
    the file's line of each value."""
    path, data, rows = _series_lines(folder, name, where)
    n0, head = rows[0]
    cols = [c.strip() for c in next(csv.reader([head]))]
    known = ("time_s", "datetime", *ENVIRONMENT)
    unknown = [c for c in cols if c not in known]
    times_named = [c for c in cols if c in ("time_s", "datetime")]
    if unknown or len(set(cols)) != len(cols) or len(times_named) != 1:
        what = (f"an unknown column {unknown[0]!r}" if unknown else "a repeated column"
                if len(set(cols)) != len(cols) else "no time column")
        raise DeckError(f"{path}, line {n0}: the header has {what} (it names time_s or "
                        "datetime, and temperature_C, irradiance_W_per_m2 or both)")
    times, values = [], {q: [] for q in cols if q in ENVIRONMENT}
    for n, line in rows[1:]:
        fields = [f.strip() for f in next(csv.reader([line]))]
        if len(fields) != len(cols):
            raise DeckError(f"{path}, line {n}: {len(fields)} values for {len(cols)} columns")
        try:
            for c, v in zip(cols, fields):
                if c == "time_s":
                    times.append(csv_float(v))
                elif c == "datetime":
                    d = utc_date(v)
                    if d is None:
                        raise ValueError
                    times.append(d)
                else:
                    values[c].append(csv_float(v))
        except ValueError:
            raise DeckError(f"{path}, line {n}: expected {','.join(cols)}, found "
                            f"{line.strip()!r}") from None
    lines = [n for n, _ in rows[1:]]

    def at(key, k):
        return f"{path}, line {n0 if k is None or not lines else lines[k]}"
    return data, Environment(times, values, name, data), at


def _section_lines(text):
    """{section: (header line, {key: line})} of the single-bracket tables
    of a TOML text (the first line of each key)."""
    out, current = {}, None
    for n, line in enumerate(text.splitlines(), 1):
        m = re.match(r"^\s*\[\s*([A-Za-z0-9_-]+)\s*\]", line)
        if m:
            current = out.setdefault(m.group(1), (n, {}))
            continue
        if re.match(r"^\s*\[\[", line):
            current = None
            continue
        m = re.match(r"^\s*([A-Za-z0-9_-]+)\s*=", line)
        if m and current is not None:
            current[1].setdefault(m.group(1), n)
    return out


def _locator(name, lines, section):
    """where(key, index) for a section of the forcing file: the line of the
    key, or of the section's header."""
    header, keys = lines.get(section, (None, {}))

    def at(key, k=None):
        n = keys.get(key, header)
        return f"{name}, line {n}" if n else f"{name}, [{section}]"
    return at


def _parse_environment(e, folder, name, where):
    if not isinstance(e, dict):
        raise DeckError(f"{where('environment')}: 'environment' must be a table")
    extra = sorted(set(e) - ENVIRONMENT_KEYS)
    if extra:
        raise DeckError(f"{where(extra[0])}: unknown key '{extra[0]}'")
    if "series" in e:
        inline = sorted(set(e) - {"series"})
        if inline:
            raise DeckError(f"{where(inline[0])}: both an inline series ('{inline[0]}') and "
                            "'series'")
        if not isinstance(e["series"], str) or not e["series"]:
            raise DeckError(f"{where('series')}: 'series' must be a file name")
        _, env, at = _read_environment_series(folder, e["series"], where("series"))
        check_environment(env, at)
        return env
    given = [q for q in ENVIRONMENT if q in e]
    if given and "times" not in e:
        raise DeckError(f"{where(given[0])}: missing 'times' (or 'series')")
    if "times" not in e:
        return Environment([], {})
    if not isinstance(e["times"], list):
        raise DeckError(f"{where('times')}: 'times' must be an array")
    times = [_time(t, where("times")) for t in e["times"]]
    env = Environment(times, {q: _number_list(e, q, where(q)) for q in given})
    check_environment(env, where)
    return env


def _parse_rates(r, length, where):
    if not isinstance(r, dict):
        raise DeckError(f"{where('rates')}: 'rates' must be a table")
    extra = sorted(set(r) - RATES_KEYS)
    if extra:
        raise DeckError(f"{where(extra[0])}: unknown key '{extra[0]}'")
    if "x" not in r:
        raise DeckError(f"{where('x')}: missing 'x'")
    rates = Rates(_number_list(r, "x", where("x")),
                  {c: _number_list(r, c, where(c)) for c in RATE_COLUMNS if c in r})
    check_rates(rates, length, where)
    return rates


def parse(data, folder, length, name=FORCING_FILE):
    """The Contents of a forcing file's bytes, every part checked; its CSV
    series files are read from `folder`.

    Parameters
    ----------
    data : bytes
        The forcing file's content.
    folder : str or os.PathLike
        Its folder, where the CSV series files it names lie.
    length : float or None
        The reach's length L (m) the positions are checked against (None:
        not checked).
    name : str, optional
        The file's name, for messages.

    Returns
    -------
    Contents

    Raises
    ------
    DeckError
        For any fault of the file or its series files, naming the line.
    """
    if not isinstance(data, bytes):
        raise DeckError(f"{name}: the content of a forcing file is bytes "
                        f"(found {type(data).__name__})")
    if length is not None and (not is_number(length) or length != length):
        raise DeckError(f"{name}: the reach's length must be a number (found {length!r})")
    try:
        text = data.decode("utf-8")
        table = tomllib.loads(text)
    except UnicodeDecodeError as e:
        raise DeckError(f"{name}, line {_line_of(data, e.start)}: not UTF-8 text") from None
    except tomllib.TOMLDecodeError as e:
        raise DeckError(f"{name}: not valid TOML ({e})") from None
    extra = sorted(set(table) - {"source", "environment", "rates", "deck"})
    if extra:
        raise DeckError(f"{name}: unknown key '{extra[0]}'")
    sections = _section_lines(text)
    environment = rates = start = unit = None
    if "deck" in table:
        start, unit = parse_deck_table(table["deck"], _locator(name, sections, "deck"))
    if "environment" in table:
        environment = _parse_environment(table["environment"], folder, name,
                                         _locator(name, sections, "environment"))
    if "rates" in table:
        rates = _parse_rates(table["rates"], length, _locator(name, sections, "rates"))
    found = table.get("source", [])
    if not isinstance(found, list) or not all(isinstance(s, dict) for s in found):
        raise DeckError(f"{name}: 'source' must be written as [[source]] tables")
    lines = _source_lines(text)
    sources = []
    for k, s in enumerate(found):
        where = f"{name}, line {lines[k]}" if k < len(lines) else f"{name}, source {k + 1}"
        extra = sorted(set(s) - SOURCE_KEYS)
        if extra:
            raise DeckError(f"{where}: unknown key '{extra[0]}'")
        for key in ("name", "x"):
            if key not in s:
                raise DeckError(f"{where}: missing '{key}'")
        if not isinstance(s["name"], str):
            raise DeckError(f"{where}: 'name' must be a string")
        inline = [key for key in ("times", "discharge", "concentration", "load") if key in s]
        if "series" in s:
            if inline:
                raise DeckError(f"{where}: both an inline series ('{inline[0]}') and 'series'")
            if not isinstance(s["series"], str) or not s["series"]:
                raise DeckError(f"{where}: 'series' must be a file name")
            raw, times, discharge, values, load = _read_series(folder, s["series"], where)
        else:
            missing = [key for key in INLINE_KEYS if key not in s]
            if missing:
                raise DeckError(f"{where}: missing '{missing[0]}' (or 'series')")
            if ("concentration" in s) == ("load" in s):
                raise DeckError(f"{where}: give exactly one of 'concentration' and 'load'")
            load = "load" in s
            if not isinstance(s["times"], list):
                raise DeckError(f"{where}: 'times' must be an array")
            times = [_time(t, where) for t in s["times"]]
            discharge = _number_list(s, "discharge", where)
            values = _number_list(s, "load" if load else "concentration", where)
            raw = None
        x_to = s.get("x_to")
        src = Source(s["name"], _float(s["x"], where) if is_number(s["x"]) else s["x"],
                     _float(x_to, where) if is_number(x_to) else x_to, times, discharge, values,
                     load, _float(s["strength"], where) if is_number(s.get("strength")) else
                     s.get("strength", 1.0), s.get("series"), raw)
        check_source(src, length, where, [p.name for p in sources])
        sources.append(src)
    return Contents(sources, environment, rates, length, start, unit)


def read(folder, length):
    """The forcing file in a folder.

    Parameters
    ----------
    folder : str
        The deck's folder.
    length : float
        The reach's length (m), for the sources' positions.

    Returns
    -------
    (bytes, Contents) or None
        The file's bytes and contents; None when there is none.

    Raises
    ------
    DeckError
        When the file cannot be read or holds a fault (see parse).
    """
    if not isinstance(folder, (str, os.PathLike)):
        raise DeckError(f"a forcing file is read from a folder name (found {folder!r})")
    path = os.path.join(folder, FORCING_FILE)
    if not os.path.lexists(path):
        return None
    if not os.path.isfile(path):
        raise DeckError(f"{path}: not a regular file")
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise DeckError(f"{path}: cannot read ({e.strerror})") from None
    return data, parse(data, folder, length, path)
