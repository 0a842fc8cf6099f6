"""What a fit's or a sampling's runs declare about their numbers: the date of
model time 0 (the deck's [deck] start_date, or --start-date among the
options, which wins) and the unit of the deck's concentrations; and what
follows for the observations (their units converted into the deck's, their
positions checked for kilometres) and for the dated columns of the outputs."""

import datetime
import math

from .contract import FORCING_FILE
from .dates import date_text, date_texts, option_start_date, start_date
from .errors import DeckError, FitError, warn
from .units import Unit

# The variables whose values are concentrations in the deck's unit.
CONCENTRATIONS = ("C", "Cs")


class Declared:
    """A run's start date and the deck's concentration unit.

    Parameters
    ----------
    deck : Deck, forcing Contents or None
        What declares them: a deck read from its folder, or the contents of
        its forcing file (None: no forcing file, nothing declared).
    folder : str or path-like
        The deck's folder, for the messages.
    options : list of str
        The runs' options (their --start-date wins over the deck's).
    where : str
        The configuration, for the messages.

    Attributes
    ----------
    start_date : pandas.Timestamp, datetime.datetime or None
        Model time 0, in UTC (as `quarno.dates.start_date` gives it).
    unit : Unit or None
        The unit of the deck's concentrations.
    """

    def __init__(self, deck, folder, options, where):
        given = option_start_date(options)
        if given is not None:
            self.start_date = start_date(given, FitError, f"{where} [model] options: --start-date")
        else:
            start = getattr(deck, "start_date", None)
            self.start_date = None if start is None else start_date(
                start, FitError, f"{folder}/{FORCING_FILE} [deck] start_date")
        try:
            unit = getattr(deck, "concentration_unit", None)
            self.unit = None if unit is None else Unit.parse(unit)
        except DeckError as e:
            raise FitError(f"{folder}/{FORCING_FILE} [deck]: {e}") from None

    def datetime_text(self, seconds):
        """The ISO 8601 UTC text (to the millisecond, as the program writes
        it) of `seconds` after model time 0; "" without a start date or for
        a time that is not finite."""
        if self.start_date is None or not math.isfinite(seconds):
            return ""
        if hasattr(self.start_date, "tz_convert"):
            return date_texts(self.start_date, [seconds])[0]
        return date_text(self.start_date + datetime.timedelta(seconds=round(float(seconds), 3)))

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
