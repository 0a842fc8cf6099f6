"""The forcing file crforcing.toml beside a deck: sources along the reach,
each a point source or a distributed inflow with series of times, discharge
and concentration (or load), inline or in a CSV file beside it.

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

from .deck import DeckError

FORCING_FILE = "crforcing.toml"

_SOURCE_KEYS = {"name", "x", "x_to", "times", "discharge", "concentration", "load", "series",
                "strength"}
_INLINE = ("times", "discharge")
_UTC = datetime.timezone.utc


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


def _read_series(folder, name, where):
    """(bytes, times, discharge, values, load) of a CSV series file."""
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


def parse(data, folder, length, name=FORCING_FILE):
    """The sources of a forcing file's bytes, each checked; its CSV series
    files are read from `folder`."""
    try:
        text = data.decode("utf-8")
        table = tomllib.loads(text)
    except UnicodeDecodeError as e:
        raise DeckError(f"{name}, line {_line_of(data, e.start)}: not UTF-8 text") from None
    except tomllib.TOMLDecodeError as e:
        raise DeckError(f"{name}: not valid TOML ({e})") from None
    extra = sorted(set(table) - {"source"})
    if extra:
        raise DeckError(f"{name}: unknown key '{extra[0]}'")
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
    return sources


def read(folder, length):
    """(bytes, sources) of the forcing file in `folder`, or None when there is
    none."""
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


def write_text(sources):
    """The canonical text of a forcing file holding `sources`."""
    out = ["# Sources along the reach (written by the quarno package)."]
    for s in sources:
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


def files(data, sources):
    """{relative path: bytes} of a forcing file and its series files."""
    out = {FORCING_FILE: data}
    for s in sources:
        if s.series is not None:
            out[s.series] = s.series_bytes
    return out


def with_strengths(data, sources, strengths):
    """(bytes, sources) with the strengths of `strengths` (name -> value)
    set: the same bytes when every value is the one there, else the file
    written anew."""
    known = {s.name for s in sources}
    unknown = sorted(set(strengths) - known)
    if unknown:
        raise DeckError(f"{FORCING_FILE}: no source named {unknown[0]!r}")
    if all(s.strength == float(strengths.get(s.name, s.strength)) for s in sources):
        return data, sources
    new = [s.copy(strength=float(strengths.get(s.name, s.strength))) for s in sources]
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
    columns and the strengths they set, {source name: value}."""
    columns, strengths = [], {}
    for e in edits:
        source = strength_source(e[0])
        if source is None:
            columns.append(e)
        else:
            strengths[source] = float(e[3])
    return columns, strengths


def run_files(forcing, strengths):
    """{relative path: bytes} of a run's forcing file and series files:
    `forcing` (bytes, sources) with `strengths` set, or {} without a forcing
    file."""
    if forcing is None:
        if strengths:
            raise DeckError(f"no {FORCING_FILE}: no source named {sorted(strengths)[0]!r}")
        return {}
    return files(*with_strengths(*forcing, strengths))
