"""What a fit's or a sampling's runs declare about their numbers: the date of
model time 0 (the deck's [deck] start_date, or --start-date among the
options, which wins) and the unit of the deck's concentrations; and what
follows for the observations (their units converted into the deck's, their
positions checked for kilometres) and for the dated columns of the outputs."""

import datetime
import math
import os
import tomllib

from .contract import FORCING_FILE
from .errors import DeckError, FitError, warn
from .observations import as_utc
from .units import Unit

# The variables whose values are concentrations in the deck's unit.
CONCENTRATIONS = ("C", "Cs")


def parse_date(value, what):
    """A start date as an aware UTC datetime.

    Parameters
    ----------
    value : str, datetime.datetime or pandas.Timestamp
        ISO 8601 text (naive: UTC) or a date and time.
    what : str
        What gave it, for the message.

    Returns
    -------
    datetime.datetime

    Raises
    ------
    FitError
        When it is no date and time.
    """
    if isinstance(value, datetime.datetime):
        return as_utc(value)
    try:
        text = value.strip()
        if text.endswith(("z", "Z")):
            text = text[:-1] + "+00:00"
        return as_utc(datetime.datetime.fromisoformat(text))
    except (AttributeError, ValueError):
        raise FitError(f"{what}: {value!r} is not an ISO 8601 date and time") from None


def _deck_table(deck, folder):
    """The deck's start date and unit as it declares them: the [deck] table
    of the forcing file in `folder`, else what the Deck carries."""
    table = {}
    path = os.path.join(folder, FORCING_FILE)
    try:
        with open(path, "rb") as f:
            table = tomllib.load(f).get("deck", {})
    except (OSError, ValueError):
        pass  # no forcing file; the forcing reader reports what is wrong with one
    if not isinstance(table, dict) or not table:
        table = {"start_date": getattr(deck, "start_date", None),
                 "concentration_unit": getattr(deck, "concentration_unit", None)}
    return table.get("start_date"), table.get("concentration_unit")


def option_start_date(options):
    """The --start-date among a run's options.

    Parameters
    ----------
    options : list of str
        The options, `--start-date X` or `--start-date=X` among them.

    Returns
    -------
    str or None
        The last one's value, or None when there is none.
    """
    found = None
    for k, option in enumerate(options):
        if option == "--start-date" and k + 1 < len(options):
            found = options[k + 1]
        elif option.startswith("--start-date="):
            found = option.split("=", 1)[1]
    return found


class Declared:
    """A run's start date and the deck's concentration unit.

    Parameters
    ----------
    deck : Deck
        The deck (its own declarations when it carries them).
    folder : str or path-like
        The deck's folder, for its forcing file.
    options : list of str
        The runs' options (their --start-date wins over the deck's).
    where : str
        The configuration, for the messages.

    Attributes
    ----------
    start_date : datetime.datetime or None
        Model time 0, in UTC.
    unit : Unit or None
        The unit of the deck's concentrations.
    """

    def __init__(self, deck, folder, options, where):
        start, unit = _deck_table(deck, folder)
        given = option_start_date(options)
        if given is not None:
            self.start_date = parse_date(given, f"{where} [model] options: --start-date")
        else:
            self.start_date = None if start is None else parse_date(
                start, f"{folder}/{FORCING_FILE} [deck] start_date")
        try:
            self.unit = None if unit is None else Unit.parse(unit)
        except DeckError as e:
            raise FitError(f"{folder}/{FORCING_FILE} [deck]: {e}") from None

    def datetime_text(self, seconds):
        """The ISO 8601 UTC text (to the millisecond, as the program writes
        it) of `seconds` after model time 0; "" without a start date or for
        a time that is not finite."""
        if self.start_date is None or not math.isfinite(seconds):
            return ""
        date = self.start_date + datetime.timedelta(seconds=float(seconds))
        return date.strftime("%Y-%m-%dT%H:%M:%S.") + f"{date.microsecond // 1000:03d}Z"

    def convert_observations(self, observations, unit_text, variable, where):
        """Turns observed values given in `unit_text` into the deck's unit.

        A weight (1/sigma) of an observation compared as it is goes with
        the inverse factor, so that the weighted residuals stay what they
        were in the file's unit; on the log10 scale a weight is unitless.

        Parameters
        ----------
        observations : list of dict
            As read, their transforms marked.
        unit_text : str or None
            The file's unit ([observations] unit); None: nothing to do.
        variable : str
            The variable compared.
        where : str
            The configuration, for the messages.

        Raises
        ------
        FitError
            A unit for a variable that is no concentration, a deck that
            declares none, or a unit that does not convert into it.
        """
        if unit_text is None:
            return
        if variable not in CONCENTRATIONS:
            raise FitError(f"{where} [observations]: 'unit' is the unit of a concentration "
                           f"({', '.join(CONCENTRATIONS)}); {variable} has its own")
        if self.unit is None:
            raise FitError(f"{where} [observations]: unit = {unit_text!r}, but the deck declares "
                           f"no concentration unit ([deck] concentration_unit in {FORCING_FILE})")
        try:
            factor = Unit.parse(unit_text).factor_to(self.unit)
        except DeckError as e:
            raise FitError(f"{where} [observations]: {e}") from None
        for o in observations:
            o["value"] *= factor
            if o.get("transform", "none") != "log10":
                o["weight"] /= factor


def check_site_units(observations, length, path):
    """Warns (QuarnoWarning) when every observation lies within L/1000 of the
    upstream end of a reach of kilometres: positions given in km.

    Parameters
    ----------
    observations : list of dict
        As read by `read_observation_file`.
    length : float or None
        The reach's length L (m).
    path : str or Path
        The observation file, for the message.
    """
    if length is None or length < 1000.0:
        return
    if all(0.0 <= o["x_m"] <= length / 1000.0 for o in observations):
        warn(f"{path}: every observation lies within {length / 1000.0:g} m of the upstream "
             f"end of a reach of {length:g} m: are the positions in km? (x_m is in metres)",
             stacklevel=3)
