"""The [deck] table of the forcing file: the run's start date (used when
the program is not given --start-date) and the concentration unit of every
concentration of the deck. Read into the forcing file's contents, written
in the canonical file, and edited in place in an existing file, every other
character kept."""

import datetime
import re
import tomllib

from .errors import DeckError
from .forcing_data import DECK_KEYS, utc_date
from .forcing_write import deck_lines
from .steps import shown

_HEADER = re.compile(r"^\s*\[\s*deck\s*\]\s*(#.*)?$")
_ANY_HEADER = re.compile(r"^\s*\[")


def parse_deck_table(d, where):
    """The start date and unit of a [deck] table.

    Parameters
    ----------
    d : object
        The table as tomllib reads it.
    where : callable
        where(key) names the place of a key in messages.

    Returns
    -------
    (datetime.datetime or None, str or None)
        The start date as an aware UTC datetime (a TOML date-time, naive
        ones taken as UTC; a TOML date, midnight UTC; or a text in the forms
        of --start-date), and the unit's canonical text.

    Raises
    ------
    DeckError
        For an unknown key, a start date that is no date, or a unit this
        package does not know.
    """
    from .units import Unit
    if not isinstance(d, dict):
        raise DeckError(f"{where('deck')}: 'deck' must be a table")
    extra = sorted(set(d) - set(DECK_KEYS))
    if extra:
        raise DeckError(f"{where(extra[0])}: unknown key '{extra[0]}'")
    start = d.get("start_date")
    if start is not None:
        value = start
        if isinstance(start, datetime.date) and not isinstance(start, datetime.datetime):
            value = datetime.datetime(start.year, start.month, start.day)
        start = utc_date(value) if isinstance(value, (datetime.datetime, str)) else None
        if start is None:
            raise DeckError(f"{where('start_date')}: start_date must be a date and time "
                            f"(found {shown(d['start_date'])})")
    unit = d.get("concentration_unit")
    if unit is not None:
        if not isinstance(unit, str):
            raise DeckError(f"{where('concentration_unit')}: concentration_unit must be a "
                            f"string (found {shown(unit)})")
        try:
            unit = Unit.parse(unit).text
        except DeckError as e:
            raise DeckError(f"{where('concentration_unit')}: {e}") from None
    return start, unit


def with_deck_keys(data, start_date, unit):
    """A forcing file's bytes with its [deck] table set to hold `start_date`
    and `unit` (a key whose value is None is taken out), every other
    character kept: a key's line is replaced where it stands, a new key
    follows the table's header, and a file without the table gets it at its
    end.

    Parameters
    ----------
    data : bytes
        The forcing file (UTF-8).
    start_date : datetime.datetime or None
    unit : str or None

    Returns
    -------
    bytes

    Raises
    ------
    DeckError
        When the edited file would not read back with these values.
    """
    wanted = {k: next((line for line in deck_lines(start_date, unit)[1:]
                       if line.startswith(k + " ")), None) for k in DECK_KEYS}
    text = data.decode("utf-8")
    lines = text.splitlines(keepends=True)
    head = next((k for k, line in enumerate(lines) if _HEADER.match(line.rstrip("\r\n"))), None)
    if head is None:
        added = [line for line in wanted.values() if line is not None]
        if added:
            if text and not text.endswith("\n"):
                text += "\n"
            text += "\n[deck]\n" + "".join(line + "\n" for line in added)
    else:
        end = next((k for k in range(head + 1, len(lines)) if _ANY_HEADER.match(lines[k])),
                   len(lines))
        for key, line in wanted.items():
            at = next((k for k in range(head + 1, end)
                       if re.match(rf"^\s*{key}\s*=", lines[k])), None)
            if at is not None:
                ending = lines[at][len(lines[at].rstrip("\r\n")):] or "\n"
                if line is None:
                    del lines[at]
                    end -= 1
                else:
                    lines[at] = line + ending
            elif line is not None:
                last = max([head] + [k for k in range(head + 1, end) if lines[k].strip()])
                if not lines[last].endswith("\n"):
                    lines[last] += "\n"
                lines.insert(last + 1, line + "\n")
                end += 1
        text = "".join(lines)
    try:
        got = parse_deck_table(tomllib.loads(text).get("deck", {}), lambda key: "[deck]")
    except (tomllib.TOMLDecodeError, DeckError) as e:
        raise DeckError(f"the forcing file's [deck] table cannot be edited in place ({e})") \
            from None
    if got != (start_date, unit):
        raise DeckError("the forcing file's [deck] table cannot be edited in place: it reads "
                        f"back as {got!r}")
    return text.encode("utf-8")
