"""The forcing file crforcing.toml beside a deck: sources along the reach,
each a point source or a distributed inflow with series of times, discharge
and concentration (or load), inline or in a CSV file beside it; the weather
([environment]: water temperature and irradiance over time, inline or in a
CSV file) and how the die-off rates follow it per reach segment ([rates]).

A file read and not edited is written back byte for byte, with its CSV
series files. An edited one is written anew in one canonical form by the
small TOML writer below (strings quoted and escaped as TOML wants them,
floats by repr so that they read back exactly, dates as UTC date-times)."""

import csv
import datetime
import math
import os
import re
import tomllib
import warnings

from .deck import X_TOLERANCE, DeckError

FORCING_FILE = "crforcing.toml"

_SOURCE_KEYS = {"name", "x", "x_to", "times", "discharge", "concentration", "load", "series",
                "strength"}
_INLINE = ("times", "discharge")
_UTC = datetime.timezone.utc

# The weather: the environment's quantities (the key in the file and the
# column of its CSV series) and their bounds.
ENVIRONMENT = ("temperature_C", "irradiance_W_per_m2")
_ENVIRONMENT_KEYS = {"times", "series", *ENVIRONMENT}
TEMPERATURE_RANGE = (-5.0, 50.0)

# The columns of the rate table, each with its default on a reach the table
# does not set.
RATE_COLUMNS = ("theta_w", "theta_b", "light_alpha", "extinction")
RATE_DEFAULTS = {"theta_w": 1.0, "theta_b": 1.0, "light_alpha": 0.0, "extinction": 1.0}
_RATES_KEYS = {"x", *RATE_COLUMNS}
# theta outside THETA_RANGE is refused; outside THETA_USUAL (the range found
# for faecal indicator bacteria) it draws a warning.
THETA_RANGE = (0.9, 1.3)
THETA_USUAL = (1.0, 1.2)
# The quantity of the environment a rate column follows: without it the
# column changes nothing.
RATE_FOLLOWS = {"theta_w": "temperature_C", "theta_b": "temperature_C",
                "light_alpha": "irradiance_W_per_m2", "extinction": "irradiance_W_per_m2"}


class Source:
    """One source: `values` holds the concentration series, or with
    kind "load" the load series; `series` is the CSV file it came from, if
    any, and `series_bytes` that file's content."""

    __slots__ = ("name", "x", "x_to", "times", "discharge", "values", "load", "strength",
                 "series", "series_bytes")

    def __init__(self, name, x, x_to, times, discharge, values, load, strength=1.0,
                 series=None, series_bytes=None):
        self.name, self.x, self.x_to = name, x, x_to
        self.times, self.discharge, self.values, self.load = times, discharge, values, load
        self.strength, self.series, self.series_bytes = strength, series, series_bytes

    def copy(self, **changes):
        s = Source(*(getattr(self, k) for k in Source.__slots__))
        for k, v in changes.items():
            setattr(s, k, v)
        return s

    def as_dict(self):
        return {
            "name": self.name,
            "x": self.x,
            "x_to": self.x_to,
            "kind": "point" if self.x_to is None else "distributed",
            "times": list(self.times),
            "discharge": list(self.discharge),
            "concentration": None if self.load else list(self.values),
            "load": list(self.values) if self.load else None,
            "strength": self.strength,
            "series": self.series,
        }


class Environment:
    """The weather over time: `times` (seconds or UTC datetimes), and
    `values` {quantity: list}, a quantity left out missing; `series` the CSV
    file it came from, if any, and `series_bytes` that file's content."""

    __slots__ = ("times", "values", "series", "series_bytes")

    def __init__(self, times, values, series=None, series_bytes=None):
        self.times, self.values = times, values
        self.series, self.series_bytes = series, series_bytes

    def __eq__(self, other):
        return isinstance(other, Environment) and all(
            getattr(self, k) == getattr(other, k) for k in Environment.__slots__)

    def as_dict(self):
        out = {"times": list(self.times)}
        out.update({q: (list(self.values[q]) if q in self.values else None) for q in ENVIRONMENT})
        out["series"] = self.series
        return out


class Rates:
    """The rate table: row positions `x` (the first 0) and `columns`
    {column: list}, a column left out missing (its default holds)."""

    __slots__ = ("x", "columns")

    def __init__(self, x, columns):
        self.x, self.columns = x, columns

    def __eq__(self, other):
        return isinstance(other, Rates) and (self.x, self.columns) == (other.x, other.columns)

    def column(self, name):
        """The values of `name` on every row, its default where it is left out."""
        return list(self.columns.get(name, [RATE_DEFAULTS[name]] * len(self.x)))


class Contents:
    """What a forcing file holds: its sources in file order, the environment
    and the rate table (None when left out); `length` is the reach's length
    it was checked against (None: unknown)."""

    __slots__ = ("sources", "environment", "rates", "length")

    def __init__(self, sources=(), environment=None, rates=None, length=None):
        self.sources, self.environment, self.rates = list(sources), environment, rates
        self.length = length

    def copy(self, **changes):
        c = Contents(self.sources, self.environment, self.rates, self.length)
        for k, v in changes.items():
            setattr(c, k, v)
        return c

    def empty(self):
        return not self.sources and self.environment is None and self.rates is None

    def weather(self):
        """Whether the file holds any of the weather sections."""
        return self.environment is not None or self.rates is not None


# ----------------------------------------------------------------------------
# Values


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def utc_date(value):
    """A date as an aware UTC datetime: a datetime (naive ones read as UTC),
    a pandas Timestamp, a numpy datetime64 or an ISO 8601 text; None when
    the value is none of them."""
    if isinstance(value, str):
        try:
            value = datetime.datetime.fromisoformat(value)
        except ValueError:
            return None
    elif not isinstance(value, datetime.datetime) and type(value).__name__ == "datetime64":
        import pandas
        value = pandas.Timestamp(value)
    if not isinstance(value, datetime.datetime):
        return None
    if hasattr(value, "to_pydatetime"):  # pandas
        if value != value:  # NaT
            return None
        value = value.to_pydatetime()
    if value.tzinfo is None:
        return value.replace(tzinfo=_UTC)
    return value.astimezone(_UTC)


def check_source(src, length, where, names=()):
    """Raises DeckError naming `where` when the source cannot stand in a
    reach of `length` m (None: the position is not checked)."""
    if not isinstance(src.name, str) or not 1 <= len(src.name) <= 40 or not all(
            " " <= c <= "~" for c in src.name):
        raise DeckError(f"{where}: a name is 1 to 40 printable characters (found {src.name!r})")
    if src.name in names:
        raise DeckError(f"{where}: a source named {src.name!r} is already there")
    for key, v in (("x", src.x), ("x_to", src.x_to)):
        if v is not None and (not _is_number(v) or not math.isfinite(v)):
            raise DeckError(f"{where}: {key} must be a finite number (found {v!r})")
    if length is not None and not 0.0 <= src.x <= length:
        raise DeckError(f"{where}: x = {src.x!r} lies outside the reach (0 to {length!r} m)")
    if src.x_to is not None and not src.x < src.x_to:
        raise DeckError(f"{where}: x_to = {src.x_to!r} must lie beyond x = {src.x!r}")
    if src.x_to is not None and length is not None and src.x_to > length:
        raise DeckError(f"{where}: x_to = {src.x_to!r} lies beyond the reach's end "
                        f"({length!r} m)")
    what = "load" if src.load else "concentration"
    n = len(src.times)
    if n == 0:
        raise DeckError(f"{where}: the series is empty")
    for key, vals in (("discharge", src.discharge), (what, src.values)):
        if len(vals) != n:
            raise DeckError(f"{where}: {len(vals)} values of {key} for {n} times")
        bad = [v for v in vals if not _is_number(v) or not math.isfinite(v)]
        if bad:
            raise DeckError(f"{where}: {key} {bad[0]!r} is not a finite number")
    if any(v < 0 for v in src.values):
        raise DeckError(f"{where}: a {what} is negative")
    dates = [isinstance(t, datetime.datetime) for t in src.times]
    if any(dates) and not all(dates):
        raise DeckError(f"{where}: the times mix seconds and dates")
    if not all(dates) and any(not _is_number(t) or not math.isfinite(t) for t in src.times):
        raise DeckError(f"{where}: a time is not a finite number of seconds")
    for k in range(1, n):
        if not src.times[k] > src.times[k - 1]:
            raise DeckError(f"{where}: the times must increase (time {k + 1}, {src.times[k]!r}, "
                            f"follows {src.times[k - 1]!r})")
    if not _is_number(src.strength) or not math.isfinite(src.strength) or src.strength < 0:
        raise DeckError(f"{where}: strength must be a finite number >= 0 "
                        f"(found {src.strength!r})")


def _check_times(times, where):
    """Times all seconds (finite) or all dates, increasing."""
    if not times:
        raise DeckError(f"{where('times', None)}: the series is empty")
    dates = [isinstance(t, datetime.datetime) for t in times]
    if any(dates) and not all(dates):
        raise DeckError(f"{where('times', None)}: the times mix seconds and dates")
    for k, t in enumerate(times):
        if not dates[k] and (not _is_number(t) or not math.isfinite(t)):
            raise DeckError(f"{where('times', k)}: a time is not a finite number of seconds")
    for k in range(1, len(times)):
        if not times[k] > times[k - 1]:
            raise DeckError(f"{where('times', k)}: the times must increase (time {k + 1}, "
                            f"{times[k]!r}, follows {times[k - 1]!r})")


def _check_finite(vals, key, where):
    for k, v in enumerate(vals):
        if not _is_number(v) or not math.isfinite(v):
            raise DeckError(f"{where(key, k)}: {key} {v!r} is not a finite number")


def check_environment(env, where):
    """Raises DeckError when the environment cannot be read as the weather:
    `where(key, index)` names the place of a key's value (index None: the
    key as a whole)."""
    _check_times(env.times, where)
    for q in ENVIRONMENT:
        if q not in env.values:
            continue
        vals = env.values[q]
        if len(vals) != len(env.times):
            raise DeckError(f"{where(q, None)}: {len(vals)} values of {q} for "
                            f"{len(env.times)} times")
        _check_finite(vals, q, where)
        for k, v in enumerate(vals):
            if q == "temperature_C" and not TEMPERATURE_RANGE[0] <= v <= TEMPERATURE_RANGE[1]:
                raise DeckError(f"{where(q, k)}: temperature_C {v!r} lies outside "
                                f"{TEMPERATURE_RANGE[0]:g} to {TEMPERATURE_RANGE[1]:g} degrees C")
            if q == "irradiance_W_per_m2" and v < 0:
                raise DeckError(f"{where(q, k)}: irradiance_W_per_m2 {v!r} is negative")


def check_rate_value(column, v, where):
    """Raises DeckError for a value `column` cannot take; warns (UserWarning)
    for a theta past the range found for faecal indicator bacteria."""
    if not _is_number(v) or not math.isfinite(v):
        raise DeckError(f"{where}: {column} {v!r} is not a finite number")
    if column.startswith("theta"):
        if not THETA_RANGE[0] <= v <= THETA_RANGE[1]:
            raise DeckError(f"{where}: {column} {v!r} lies outside {THETA_RANGE[0]:g} to "
                            f"{THETA_RANGE[1]:g}")
        if not THETA_USUAL[0] <= v <= THETA_USUAL[1]:
            warnings.warn(f"{where}: {column} {v!r} lies outside {THETA_USUAL[0]:g} to "
                          f"{THETA_USUAL[1]:g}, the range found for faecal indicator bacteria",
                          UserWarning, stacklevel=3)
    elif column == "light_alpha" and v < 0:
        raise DeckError(f"{where}: light_alpha {v!r} is negative")
    elif column == "extinction" and not v > 0:
        raise DeckError(f"{where}: extinction must be positive (found {v!r})")


def check_rates(rates, length, where):
    """Raises DeckError when the rate table cannot stand in a reach of
    `length` m (None: not checked); `where` as for check_environment."""
    xs = rates.x
    if not xs:
        raise DeckError(f"{where('x', None)}: the rate table is empty")
    _check_finite(xs, "x", where)
    if xs[0] != 0:
        raise DeckError(f"{where('x', 0)}: the first x must be 0 (found {xs[0]!r})")
    for k in range(1, len(xs)):
        if not xs[k] > xs[k - 1]:
            raise DeckError(f"{where('x', k)}: x must increase (row {k + 1}, {xs[k]!r}, "
                            f"follows {xs[k - 1]!r})")
    if length is not None and xs[-1] > length:
        raise DeckError(f"{where('x', len(xs) - 1)}: x = {xs[-1]!r} lies beyond the reach's "
                        f"end ({length!r} m)")
    for column, vals in rates.columns.items():
        if len(vals) != len(xs):
            raise DeckError(f"{where(column, None)}: {len(vals)} values of {column} for "
                            f"{len(xs)} rows of x")
        for k, v in enumerate(vals):
            check_rate_value(column, v, where(column, k))


# ----------------------------------------------------------------------------
# Reading


def _line_of(data, offset):
    """The line (1-based) of a byte offset."""
    return data[:offset].count(b"\n") + 1


def _source_lines(text):
    """The line (1-based) of each [[source]] header, in file order."""
    return [n for n, line in enumerate(text.splitlines(), 1)
            if re.match(r"^\s*\[\[\s*source\s*\]\]", line)]


def _time(v, where):
    if _is_number(v):
        return float(v)
    if isinstance(v, (datetime.datetime, str)):
        d = utc_date(v)
        if d is not None:
            return d
    raise DeckError(f"{where}: a time must be seconds or a date (found {v!r})")


def _number_list(table, key, where):
    v = table[key]
    if not isinstance(v, list) or not all(_is_number(a) for a in v):
        raise DeckError(f"{where}: '{key}' must be an array of numbers")
    return [float(a) for a in v]


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
                times.append(float(t))
            else:
                d = utc_date(t)
                if d is None:
                    raise ValueError
                times.append(d)
            discharge.append(float(fields[idx["discharge_m3s"]]))
            values.append(float(fields[idx[value_cols[0]]]))
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
                    times.append(float(v))
                elif c == "datetime":
                    d = utc_date(v)
                    if d is None:
                        raise ValueError
                    times.append(d)
                else:
                    values[c].append(float(v))
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
    extra = sorted(set(e) - _ENVIRONMENT_KEYS)
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
    extra = sorted(set(r) - _RATES_KEYS)
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
    series files are read from `folder`."""
    try:
        text = data.decode("utf-8")
        table = tomllib.loads(text)
    except UnicodeDecodeError as e:
        raise DeckError(f"{name}, line {_line_of(data, e.start)}: not UTF-8 text") from None
    except tomllib.TOMLDecodeError as e:
        raise DeckError(f"{name}: not valid TOML ({e})") from None
    extra = sorted(set(table) - {"source", "environment", "rates"})
    if extra:
        raise DeckError(f"{name}: unknown key '{extra[0]}'")
    sections = _section_lines(text)
    environment = rates = None
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
        extra = sorted(set(s) - _SOURCE_KEYS)
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
            missing = [key for key in _INLINE if key not in s]
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
        src = Source(s["name"], float(s["x"]) if _is_number(s["x"]) else s["x"],
                     float(x_to) if _is_number(x_to) else x_to, times, discharge, values, load,
                     float(s["strength"]) if _is_number(s.get("strength")) else
                     s.get("strength", 1.0), s.get("series"), raw)
        check_source(src, length, where, [p.name for p in sources])
        sources.append(src)
    return Contents(sources, environment, rates, length)


def read(folder, length):
    """(bytes, Contents) of the forcing file in `folder`, or None when there
    is none."""
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


# ----------------------------------------------------------------------------
# Writing


def toml_string(s):
    """A TOML basic string: quotes, backslashes and control characters escaped."""
    out = []
    for c in s:
        if c == '"':
            out.append('\\"')
        elif c == "\\":
            out.append("\\\\")
        elif c in "\b\t\n\f\r":
            out.append({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}[c])
        elif ord(c) < 0x20 or ord(c) == 0x7F:
            out.append(f"\\u{ord(c):04X}")
        else:
            out.append(c)
    return '"' + "".join(out) + '"'


def toml_value(v):
    """A number (by repr, which reads back as the same float) or a date (a
    UTC offset date-time)."""
    if isinstance(v, datetime.datetime):
        v = v.astimezone(_UTC)
        frac = f".{v.microsecond:06d}" if v.microsecond else ""
        return v.strftime("%Y-%m-%dT%H:%M:%S") + frac + "Z"
    v = float(v)
    if not math.isfinite(v):
        raise DeckError(f"cannot write the value {v!r} in TOML")
    return repr(v)


def toml_array(values, key, width=96):
    """`key = [a, b, ...]` on one line when it fits `width`, else wrapped with
    the values indented four blanks, as many a line as fit."""
    items = [toml_value(v) for v in values]
    one = f"{key} = [{', '.join(items)}]"
    if len(one) <= width:
        return one
    lines, line = [f"{key} = ["], "   "
    for item in items:
        if len(line) + len(item) + 2 > width and line.strip():
            lines.append(line)
            line = "   "
        line += f" {item},"
    lines.append(line)
    lines.append("]")
    return "\n".join(lines)


def write_text(contents):
    """The canonical text of a forcing file holding `contents`: the weather
    first, then the sources."""
    title = ("Sources along the reach" if not contents.weather() else
             "The weather" if not contents.sources else "The weather and sources along the reach")
    out = [f"# {title} (written by the quarno package)."]
    env = contents.environment
    if env is not None:
        out += ["", "[environment]"]
        if env.series is not None:
            out.append(f"series = {toml_string(env.series)}")
        elif env.times:
            out.append(toml_array(env.times, "times"))
            out += [toml_array(env.values[q], q) for q in ENVIRONMENT if q in env.values]
    if contents.rates is not None:
        out += ["", "[rates]", toml_array(contents.rates.x, "x")]
        out += [toml_array(contents.rates.columns[c], c) for c in RATE_COLUMNS
                if c in contents.rates.columns]
    for s in contents.sources:
        out += ["", "[[source]]", f"name = {toml_string(s.name)}", f"x = {toml_value(s.x)}"]
        if s.x_to is not None:
            out.append(f"x_to = {toml_value(s.x_to)}")
        if s.series is not None:
            out.append(f"series = {toml_string(s.series)}")
        else:
            out.append(toml_array(s.times, "times"))
            out.append(toml_array(s.discharge, "discharge"))
            out.append(toml_array(s.values, "load" if s.load else "concentration"))
        out.append(f"strength = {toml_value(s.strength)}")
    return ("\n".join(out) + "\n").encode("utf-8")


def files(data, contents):
    """{relative path: bytes} of a forcing file and its series files."""
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
    other rows. The value must be one the column can take."""
    if column not in RATE_COLUMNS:
        raise DeckError(f"{column!r} is not a column of the rate table ({', '.join(RATE_COLUMNS)})")
    check_rate_value(column, value, "rates")
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
    """(bytes, Contents) with the strengths of `strengths` (name -> value)
    and the rate edits `rates` ((column, x_from, x_to, value), in order) set:
    the same bytes when nothing changes, else the file written anew."""
    strengths = strengths or {}
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
    """Writes {relative path: bytes} into `folder`, each through a
    temporary file; removes a forcing file already there when `file_map`
    holds none (it would add sources the deck does not have)."""
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
    """Edits (name, x_from, x_to, value) split into those of crparam.txt's
    columns, the strengths they set {source name: value}, and those of the
    rate table (column, x_from, x_to, value)."""
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
    """{relative path: bytes} of a run's forcing file and series files:
    `forcing` (bytes, Contents) with `strengths` and the rate edits `rates`
    set, or {} without a forcing file."""
    if forcing is None:
        if strengths:
            raise DeckError(f"no {FORCING_FILE}: no source named {sorted(strengths)[0]!r}")
        if rates:
            raise DeckError(f"no {FORCING_FILE}: {rates[0][0]} follows the weather, which the "
                            "deck does not have")
        return {}
    return files(*with_edits(*forcing, strengths, rates))
