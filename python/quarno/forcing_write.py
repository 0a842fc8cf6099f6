"""The small TOML writer of the forcing file: an edited file is written anew
in one canonical form, strings quoted and escaped as TOML wants them, floats
by repr so that they read back exactly, dates as UTC date-times."""

import datetime
import math

from .errors import DeckError
from .forcing_data import ENVIRONMENT, RATE_COLUMNS, UTC


def toml_string(s):
    """A TOML basic string: quotes, backslashes and control characters escaped.

    Parameters
    ----------
    s : str

    Returns
    -------
    str
        The string in double quotes.
    """
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
    """A number or a date as TOML writes it.

    Parameters
    ----------
    v : float or datetime.datetime
        A number (written by repr, which reads back as the same float) or a
        date (written as a UTC offset date-time).

    Returns
    -------
    str

    Raises
    ------
    DeckError
        For a number that is not finite.
    """
    if isinstance(v, datetime.datetime):
        v = v.astimezone(UTC)
        frac = f".{v.microsecond:06d}" if v.microsecond else ""
        return v.strftime("%Y-%m-%dT%H:%M:%S") + frac + "Z"
    v = float(v)
    if not math.isfinite(v):
        raise DeckError(f"cannot write the value {v!r} in TOML")
    return repr(v)


def toml_array(values, key, width=96):
    """`key = [a, b, ...]`, wrapped when too long.

    Parameters
    ----------
    values : sequence
        Numbers or dates (toml_value).
    key : str
    width : int, optional
        The longest line: a longer array is wrapped with the values indented
        four blanks, as many a line as fit.

    Returns
    -------
    str
    """
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


def deck_lines(start_date, unit):
    """The lines of a [deck] table (none when both are None).

    Parameters
    ----------
    start_date : datetime.datetime or None
        An aware date, written as a UTC date-time.
    unit : str or None
        A unit's canonical text.

    Returns
    -------
    list of str
    """
    out = []
    if start_date is not None:
        out.append(f"start_date = {toml_value(start_date)}")
    if unit is not None:
        out.append(f"concentration_unit = {toml_string(unit)}")
    return ["[deck]"] + out if out else []


def write_text(contents):
    """The canonical text of a forcing file: the [deck] table first, then the
    weather, then the sources.

    Parameters
    ----------
    contents : Contents

    Returns
    -------
    bytes
        The file, UTF-8.
    """
    title = ("Sources along the reach" if not contents.weather() else
             "The weather" if not contents.sources else "The weather and sources along the reach")
    if not contents.weather() and not contents.sources:
        title = "The deck's start date and concentration unit"
    out = [f"# {title} (written by the quarno package)."]
    table = deck_lines(contents.start_date, contents.concentration_unit)
    if table:
        out += [""] + table
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
