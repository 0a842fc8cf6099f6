"""The deck's edits of its forcing file crforcing.toml: the sources along the
reach, the weather ([environment]) and the rate table ([rates]). An edited
file is written anew (quarno.forcing). Deck takes these methods from
ForcingEdits."""

import math

from . import forcing, plausible
from .deck_table import with_deck_keys
from .errors import DeckError
from .steps import shown


def _stamps(times, who):
    """Times as floats (seconds) or, when any is not a number, UTC
    datetimes; a scalar is one time."""
    import numpy
    try:
        stamps = [times] if numpy.ndim(times) == 0 else list(times)
    except (TypeError, ValueError):
        raise DeckError(f"{who}: the times must be a list") from None
    if all(isinstance(t, (int, float, numpy.number)) and not isinstance(t, bool) for t in stamps):
        try:
            return [float(t) for t in stamps]
        except OverflowError:
            raise DeckError(f"{who}: a time is too large for a number of seconds") from None
    dated = [forcing.utc_date(t) for t in stamps]
    if any(d is None for d in dated):
        bad = stamps[[d is None for d in dated].index(True)]
        raise DeckError(f"{who}: the time {shown(bad)} is neither seconds nor a date")
    return dated


def _naive(date):
    """Whether a date given to set_start_date has no time zone."""
    import datetime
    if isinstance(date, str):
        try:
            return datetime.datetime.fromisoformat(date).tzinfo is None
        except ValueError:
            return False
    if type(date).__name__ == "datetime64":
        return True
    return getattr(date, "tzinfo", "aware") is None


def _series(values, n, what):
    """A list of floats: a scalar held at n times, or the values given."""
    import numpy
    try:
        vals = [values] * n if numpy.ndim(values) == 0 else list(values)
        return [float(v) for v in vals]
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"{what} must be a number") from None


def _number(v, what):
    """`v` as a float (DeckError naming `what` when it is not a number)."""
    try:
        return float(v)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"{what} {shown(v)} is not a number") from None


class ForcingEdits:
    """The forcing-file side of a Deck (its `length` and `_forcing`, the
    forcing file's bytes and quarno.forcing.Contents, or None)."""

    def forcing_files(self):
        """The files of the deck's forcing file.

        Returns
        -------
        dict
            {relative path: bytes} of the forcing file and the CSV series
            files it names; empty when the deck has no forcing file.
        """
        if self._forcing is None:
            return {}
        return forcing.files(*self._forcing)

    @property
    def sources(self):
        """The sources of the forcing file, in file order, each a dict: name,
        x, x_to (None for a point source), kind ("point" or "distributed"),
        times (seconds, or UTC datetimes), discharge (m3/s), concentration
        or load (the other None), strength, and series (the CSV file the
        series came from, or None)."""
        return [s.as_dict() for s in self._contents().sources]

    def _contents(self):
        return forcing.Contents(length=self.length) if self._forcing is None else self._forcing[1]

    def _source_list(self):
        return list(self._contents().sources)

    def _set_contents(self, contents):
        """Takes new contents of the forcing file, written anew; none left
        takes the file away."""
        self._forcing = None if contents.empty() else (forcing.write_text(contents), contents)

    def _set_deck_table(self, start_date, unit):
        """Sets the [deck] table's values, editing an existing file in place."""
        contents = self._contents().copy(start_date=start_date, concentration_unit=unit)
        if contents.empty():
            self._forcing = None
        elif self._forcing is None:
            self._forcing = (forcing.write_text(contents), contents)
        else:
            self._forcing = (with_deck_keys(self._forcing[0], start_date, unit), contents)

    @property
    def start_date(self):
        """The deck's start date (the date of model time 0, a UTC
        pandas.Timestamp) from the [deck] table of its forcing file, or None.
        The program takes it when it is not given --start-date."""
        import pandas
        d = self._contents().start_date
        return None if d is None else pandas.Timestamp(d)

    def set_start_date(self, date):
        """Set the deck's start date, the date of model time 0.

        Parameters
        ----------
        date : str, datetime, pandas.Timestamp, numpy.datetime64 or None
            An ISO 8601 text or a datetime; one without a time zone is taken
            as UTC (with a warning). None takes the start date away.

        Raises
        ------
        DeckError
            For a value that is no date.
        """
        if date is None:
            stamp = None
        else:
            stamp = forcing.utc_date(date)
            if stamp is None:
                raise DeckError(f"start date: {shown(date)} is not a date and time")
            if _naive(date):
                plausible.warn_naive("start date", 2)
        self._set_deck_table(stamp, self._contents().concentration_unit)

    @property
    def concentration_unit(self):
        """The unit of every concentration of the deck (a quarno.Unit) from
        the [deck] table of its forcing file, or None when it declares none."""
        from .units import Unit
        text = self._contents().concentration_unit
        return None if text is None else Unit.parse(text)

    def set_concentration_unit(self, text):
        """Declare the unit of every concentration of the deck.

        Parameters
        ----------
        text : str, quarno.Unit or None
            An amount per volume such as "CFU/100 mL" or "mg/L" (written in
            its canonical text); None takes the declaration away. The deck's
            values are not converted: they are declared to be in this unit.

        Raises
        ------
        DeckError
            For a unit the package does not know.
        """
        from .units import Unit
        unit = None if text is None else Unit.parse(text).text
        self._set_deck_table(self._contents().start_date, unit)

    def _set_sources(self, sources):
        self._set_contents(self._contents().copy(sources=sources))

    @property
    def environment(self):
        """The weather of the forcing file as a dict, or None: times
        (seconds, or UTC datetimes), temperature_C (degrees C) and
        irradiance_W_per_m2 (W/m2), a quantity left out None, and series
        (the CSV file it came from, or None)."""
        env = self._contents().environment
        return None if env is None else env.as_dict()

    def set_environment(self, times, temperature_C=None, irradiance_W_per_m2=None):
        """Set the weather of the forcing file.

        Between times the values follow straight lines. With neither quantity the
        environment is removed.

        Parameters
        ----------
        times : sequence
            Seconds since time 0 or datetimes (written as UTC date-times: the deck
            must then be run with --start-date).
        temperature_C : float or sequence, optional
            The water temperature (degrees C, -5 to 50); left out of the file when
            None (the temperature is then 20 degrees C). A scalar holds at every time.
        irradiance_W_per_m2 : float or sequence, optional
            The solar irradiance at the water surface (W/m2, at least 0); left out
            when None (then 0).

        Raises
        ------
        DeckError
            For a bad value, leaving the deck as it was.
        """
        if temperature_C is None and irradiance_W_per_m2 is None:
            self._set_contents(self._contents().copy(environment=None))
            return
        stamps = _stamps(times, "environment")
        values = {}
        for q, v in zip(forcing.ENVIRONMENT, (temperature_C, irradiance_W_per_m2)):
            if v is not None:
                values[q] = _series(v, len(stamps), f"environment: every {q}")
        env = forcing.Environment(stamps, values)
        forcing.check_environment(env, lambda key, k: "environment"
                                  + ("" if k is None else f", value {k + 1}"))
        self._set_contents(self._contents().copy(environment=env))

    def _set_rate(self, column, value, x_from, x_to):
        value = _number(value, f"{column}:")
        contents = self._contents()
        rates, rows = forcing.set_rate(contents.rates, column, value, x_from, x_to, self.length)
        self._set_contents(contents.copy(rates=rates))
        return rows

    def add_source(self, name, x, times, discharge, concentration=None, x_to=None, load=None,
                   strength=1.0):
        """Adds a source along the reach to the forcing file.

        A point source at `x`, or with `x_to` a distributed inflow over
        x..x_to (the discharge spread over the stretch). Between times the
        values follow straight lines.

        Parameters
        ----------
        name : str
            1 to 40 printable characters, not a name already there.
        x, x_to : float
        times : sequence
            Seconds since time 0, or datetimes (datetime, pandas or numpy;
            naive ones read as UTC), written as UTC date-times: a deck with
            dated sources must be run with --start-date, from which they
            count.
        discharge : float or sequence
            m3/s (negative takes water out); a scalar holds at every time.
        concentration, load : float or sequence
            Exactly one: of the inflow, or the amount per second.
        strength : float
            The factor on either.

        Raises
        ------
        DeckError
            For a bad value, leaving the deck as it was.
        """
        if (concentration is None) == (load is None):
            raise DeckError(f"source {name!r}: give exactly one of concentration and load")
        stamps = _stamps(times, f"source {name!r}")

        def series(values, what):
            return _series(values, len(stamps), f"source {name!r}: every {what}")

        values = concentration if load is None else load
        src = forcing.Source(name, _number(x, f"source {name!r}: x"),
                             None if x_to is None else _number(x_to, f"source {name!r}: x_to"),
                             stamps, series(discharge, "discharge"),
                             series(values, "load" if load is not None else "concentration"),
                             load is not None, _number(strength, f"source {name!r}: strength"))
        sources = self._source_list()
        forcing.check_source(src, self.length, f"source {name!r}", [s.name for s in sources])
        self._set_sources(sources + [src])

    def remove_source(self, name):
        """Removes the source `name` (DeckError when there is none). The
        last one removed takes the forcing file with it, unless the file
        holds the weather."""
        sources = self._source_list()
        if name not in [s.name for s in sources]:
            raise DeckError(f"no source named {name!r}")
        self._set_sources([s for s in sources if s.name != name])

    def set_source_strength(self, name, value):
        """Set the strength of a source: the factor on its concentration or load.

        Parameters
        ----------
        name : str
            The source.
        value : float
            Finite, >= 0.

        Raises
        ------
        DeckError
            No source of that name, or a bad value.
        """
        sources = self._source_list()
        if name not in [s.name for s in sources]:
            raise DeckError(f"no source named {name!r}")
        value = _number(value, f"source {name!r}: strength")
        if not math.isfinite(value) or value < 0:
            raise DeckError(f"source {name!r}: strength must be a finite number >= 0 "
                            f"(found {value!r})")
        self._forcing = forcing.with_edits(*self._forcing, {name: value})
