"""The forcing file's contents and their checks: the sources along the reach,
the weather ([environment]) and the rate table ([rates]) as the package holds
them, with the rules every value must keep (shared by reading and editing)."""

import datetime
import math
import warnings

from .contract import FORCING_FILE  # noqa: F401  (the forcing modules take it from here)
from .dates import UTC, utc_date  # noqa: F401  (the forcing modules take them from here)
from .errors import DeckError


SOURCE_KEYS = {"name", "x", "x_to", "times", "discharge", "concentration", "load", "series",
                "strength"}
INLINE_KEYS = ("times", "discharge")
# The [deck] table: the run's start date and the deck's concentration unit.
DECK_KEYS = ("start_date", "concentration_unit")

# The weather: the environment's quantities (the key in the file and the
# column of its CSV series) and their bounds.
ENVIRONMENT = ("temperature_C", "irradiance_W_per_m2")
ENVIRONMENT_KEYS = {"times", "series", *ENVIRONMENT}
TEMPERATURE_RANGE = (-5.0, 50.0)

# The columns of the rate table, each with its default on a reach the table
# does not set.
RATE_COLUMNS = ("theta_w", "theta_b", "light_alpha", "extinction")
RATE_DEFAULTS = {"theta_w": 1.0, "theta_b": 1.0, "light_alpha": 0.0, "extinction": 1.0}
RATES_KEYS = {"x", *RATE_COLUMNS}
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
        """A copy with the attributes `changes` names set anew."""
        s = Source(*(getattr(self, k) for k in Source.__slots__))
        for k, v in changes.items():
            setattr(s, k, v)
        return s

    def as_dict(self):
        """The source as the dict Deck.sources lists.

        Returns
        -------
        dict
        """
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
        """The weather as the dict Deck.environment gives."""
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
    it was checked against (None: unknown); `start_date` (an aware UTC
    datetime) and `concentration_unit` (a unit's canonical text) are the
    [deck] table's, None when left out."""

    __slots__ = ("sources", "environment", "rates", "length", "start_date",
                 "concentration_unit")

    def __init__(self, sources=(), environment=None, rates=None, length=None, start_date=None,
                 concentration_unit=None):
        self.sources, self.environment, self.rates = list(sources), environment, rates
        self.length = length
        self.start_date, self.concentration_unit = start_date, concentration_unit

    def copy(self, **changes):
        """A copy with the attributes `changes` names set anew."""
        c = Contents(self.sources, self.environment, self.rates, self.length, self.start_date,
                     self.concentration_unit)
        for k, v in changes.items():
            setattr(c, k, v)
        return c

    def empty(self):
        """Whether the file would hold nothing."""
        return (not self.sources and self.environment is None and self.rates is None
                and not self.dated_or_united())

    def dated_or_united(self):
        """Whether the file holds a [deck] table with a key."""
        return self.start_date is not None or self.concentration_unit is not None

    def weather(self):
        """Whether the file holds any of the weather sections."""
        return self.environment is not None or self.rates is not None


# ----------------------------------------------------------------------------
# Values


def is_number(v):
    """Whether `v` is an int or a float (not a bool)."""
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def check_source(src, length, where, names=()):
    """Check that a source can stand in a reach.

    Parameters
    ----------
    src : Source
    length : float or None
        The reach's length (m); None: the position is not checked.
    where : str
        Names the source in the messages.
    names : collection of str, optional
        Names already taken by other sources.

    Raises
    ------
    DeckError
        Naming `where`.
    """
    if not isinstance(src.name, str) or not 1 <= len(src.name) <= 40 or not all(
            " " <= c <= "~" for c in src.name):
        raise DeckError(f"{where}: a name is 1 to 40 printable characters (found {src.name!r})")
    if src.name in names:
        raise DeckError(f"{where}: a source named {src.name!r} is already there")
    for key, v in (("x", src.x), ("x_to", src.x_to)):
        if v is not None and (not is_number(v) or not math.isfinite(v)):
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
        bad = [v for v in vals if not is_number(v) or not math.isfinite(v)]
        if bad:
            raise DeckError(f"{where}: {key} {bad[0]!r} is not a finite number")
    if any(v < 0 for v in src.values):
        raise DeckError(f"{where}: a {what} is negative")
    dates = [isinstance(t, datetime.datetime) for t in src.times]
    if any(dates) and not all(dates):
        raise DeckError(f"{where}: the times mix seconds and dates")
    if not all(dates) and any(not is_number(t) or not math.isfinite(t) for t in src.times):
        raise DeckError(f"{where}: a time is not a finite number of seconds")
    for k in range(1, n):
        if not src.times[k] > src.times[k - 1]:
            raise DeckError(f"{where}: the times must increase (time {k + 1}, {src.times[k]!r}, "
                            f"follows {src.times[k - 1]!r})")
    if not is_number(src.strength) or not math.isfinite(src.strength) or src.strength < 0:
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
        if not dates[k] and (not is_number(t) or not math.isfinite(t)):
            raise DeckError(f"{where('times', k)}: a time is not a finite number of seconds")
    for k in range(1, len(times)):
        if not times[k] > times[k - 1]:
            raise DeckError(f"{where('times', k)}: the times must increase (time {k + 1}, "
                            f"{times[k]!r}, follows {times[k - 1]!r})")


def _check_finite(vals, key, where):
    for k, v in enumerate(vals):
        if not is_number(v) or not math.isfinite(v):
            raise DeckError(f"{where(key, k)}: {key} {v!r} is not a finite number")


def check_environment(env, where):
    """Check that the environment can be read as the weather.

    Parameters
    ----------
    env : dict
        The [environment] table.
    where : callable
        where(key, index) names the place of a key's value (index None: the key
        as a whole).

    Raises
    ------
    DeckError
    """
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
    """Check a value of the rate table.

    Parameters
    ----------
    column : str
    v : float
    where : str
        Names the value in the messages.

    Raises
    ------
    DeckError
        For a value `column` cannot take.

    Warns
    -----
    UserWarning
        For a theta past the range found for faecal indicator bacteria.
    """
    if not is_number(v) or not math.isfinite(v):
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
    """Check that the rate table can stand in a reach.

    Parameters
    ----------
    rates : dict
        The [rates] table.
    length : float or None
        The reach's length (m); None: not checked.
    where : callable
        As for check_environment.

    Raises
    ------
    DeckError
    """
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
