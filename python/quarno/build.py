"""Building a deck from data: the inlet depth from Manning's normal depth,
the boundary schedule from a time series, observation sites and output
times. Each rewrites one block of crbicond.txt and keeps every other
character of the file.

    deck = quarno.Deck.read("examples/storm-calibration")
    start = deck.set_schedule(gauge.index, gauge["Q"], concentration=gauge["C"])
    deck.set_sites([250., 1000.])
    deck.set_output_times([3600., 7200.])
    quarno.run(deck, ["--csv", "--start-date", start], folder="storm")
"""

import math

import numpy

from . import plausible
from .errors import DeckError
from .steps import shown
from .tables import X_TOLERANCE


def _first_row_value(deck, column):
    """The value of a stepwise column at X = 0: that of the row whose
    segment holds X = 0 (the first row when the table starts after it)."""
    tab = deck.table(column)
    k = 0
    for j, x in enumerate(tab["X"][:-1]):
        if x <= X_TOLERANCE:
            k = j
    return float(tab[column][k])


def _bicond_of(deck, what):
    """The deck's crbicond.txt (DeckError for what is not a Deck holding one)."""
    if not hasattr(deck, "bicond_file"):
        raise DeckError(f"{what}: {shown(deck)} is not a Deck")
    return deck.bicond_file()


def _channel_number(v, what):
    """A channel value given to normal_depth as a float (DeckError otherwise)."""
    try:
        return float(v)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"normal depth: the {what} {shown(v)} is not a number") from None


def normal_depth(Q, deck=None, *, width_m=None, slope=None, manning_n=None):
    """Manning's normal depth of a rectangular channel: the depth h with
    Q = (1/n) B h (B h / (B + 2 h))^(2/3) S^(1/2).

    The channel is the deck's first segment (the width, bed slope and
    roughness at X = 0), or the one the keywords give; a keyword given wins
    over the deck's value. ``normal_depth(deck, Q)`` is read as
    ``normal_depth(Q, deck)``.

    Parameters
    ----------
    Q : float
        The discharge (m3/s), finite and not negative.
    deck : quarno.Deck, optional
    width_m, slope, manning_n : float, optional
        The width B (m), bed slope S (m/m) and Manning's n (s/m^(1/3)); each
        needed when there is no deck.

    Returns
    -------
    float
        The depth h (m).

    Raises
    ------
    DeckError
        For a discharge that is not such a number, a channel without a
        positive width, slope and roughness, or a depth beyond any river's
        (over a kilometre: a discharge in L/s, or swapped columns).
    """
    from scipy.optimize import brentq
    if hasattr(Q, "table") and not hasattr(deck, "table"):
        Q, deck = deck, Q
    if deck is not None and not hasattr(deck, "table"):
        raise DeckError(f"normal depth: {shown(deck)} is not a Deck")
    try:
        Q = float(Q)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"normal depth: the discharge {shown(Q)} is not a number") from None
    if not (math.isfinite(Q) and Q >= 0.0):
        raise DeckError(f"normal depth: the discharge must be finite and not negative "
                        f"(found {Q!r})")
    given = {"width_m": width_m, "slope": slope, "manning_n": manning_n}
    missing = [k for k, v in given.items() if v is None]
    if deck is None and missing:
        raise DeckError(f"normal depth: without a deck, give width_m, slope and manning_n "
                        f"({missing[0]} is missing)")
    if width_m is None:
        widths = deck.table("Width")
        width_m = numpy.interp(0.0, widths["X"], widths["Width"])
    B = _channel_number(width_m, "width")
    S = _channel_number(_first_row_value(deck, "Slope") if slope is None else slope, "slope")
    n = _channel_number(_first_row_value(deck, "Rough") if manning_n is None else manning_n,
                        "roughness")
    if not (B > 0.0 and S > 0.0 and n > 0.0 and math.isfinite(B + S + n)):
        raise DeckError(f"normal depth: needs a positive width, bed slope and roughness "
                        f"(found B = {B!r}, S = {S!r}, n = {n!r})")
    if Q == 0.0:
        return 0.0

    def excess(h):
        return B * h * (B * h / (B + 2.0 * h)) ** (2.0 / 3.0) * math.sqrt(S) / n - Q

    high = 1.0
    while excess(high) < 0.0:
        high *= 2.0
        if high > 1e12:
            raise DeckError(f"normal depth: no depth carries Q = {Q!r} m3/s")
    h = brentq(excess, 0.0, high, xtol=1e-14, rtol=1e-14)
    plausible.check_depth(h, Q, B)
    return h


def _numbers(values, what, n=None):
    """A list of finite floats from a scalar (when n is given) or sequence."""
    if numpy.ndim(values) == 0 and n is not None:
        values = [values] * n
    try:
        out = [float(v) for v in values]
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"{what}: every value must be a number") from None
    if n is not None and len(out) != n:
        raise DeckError(f"{what}: {len(out)} values for {n} times")
    bad = [v for v in out if not math.isfinite(v)]
    if bad:
        raise DeckError(f"{what}: {bad[0]!r} is not a finite number")
    return out


def _any_naive(times):
    """Whether any of the datetimes `times` has no time zone."""
    import pandas
    tz = getattr(times, "tz", "none")
    if tz != "none":                                   # a DatetimeIndex
        return tz is None
    if isinstance(times, pandas.Series) and times.dtype.kind == "M":
        return times.dt.tz is None
    for t in times:
        if isinstance(t, numpy.datetime64):
            return True
        if isinstance(t, str):
            try:
                t = pandas.Timestamp(t)
            except (TypeError, ValueError):
                continue
        if getattr(t, "tzinfo", "aware") is None:
            return True
    return False


def _seconds(times, start, deck_start=None):
    """Times as seconds from the start: numbers as they are, datetimes (naive
    ones taken as UTC, like the program's --start-date, with a warning) from
    `start`, else the deck's start date `deck_start`, else the first time.
    Returns (seconds, the start as a UTC pandas.Timestamp or None)."""
    arr = numpy.asarray(times)
    if arr.ndim != 1 or len(arr) == 0:
        raise DeckError("schedule: the times must be a non-empty list")
    if arr.dtype.kind in "iuf":
        if start is not None:
            raise DeckError("schedule: a start is given only with datetimes, not with seconds")
        return _numbers(arr, "schedule times"), None
    import pandas
    try:
        stamps = pandas.to_datetime(list(times), utc=True)
        origin = pandas.to_datetime(start, utc=True) if start is not None else \
            deck_start if deck_start is not None else stamps[0]
    except (TypeError, ValueError) as e:
        raise DeckError(f"schedule: the times are neither seconds nor datetimes ({e})") from None
    if pandas.isna(origin) or stamps.isna().any():
        raise DeckError("schedule: a time is missing (NaT)")
    if deck_start is not None and origin != deck_start:
        raise DeckError(f"schedule: the start {origin.isoformat()} differs from the deck's start "
                        f"date {deck_start.isoformat()} (change it with Deck.set_start_date)")
    seconds = [(t - origin).total_seconds() for t in stamps]
    return seconds, origin


def set_schedule(deck, times, discharge, concentration=None, depth=None, start=None):
    """Rewrites the boundary schedule of crbicond.txt from a time series: one
    row per time, holding that time's depth, discharge and concentration at
    X = 0. As in the program, a row's values apply from the previous row's
    time up to its own and the run ends at the last time; a row at time 0
    covers no time, so it is left out (the program would skip it, with a
    warning at every run). `times` are seconds from the start of the run,
    or datetimes counted from the deck's start date; a deck without one
    takes `start` (default: the first time) as its start date. Naive
    datetimes are taken as UTC, with a warning;
    `concentration` defaults to 0, `depth` to the normal depth of each
    discharge; either may be one number for all rows.

    Parameters
    ----------
    deck : quarno.Deck
        Read from a folder (with its crbicond.txt).
    times : sequence of float or of datetimes
    discharge : float or sequence of float
        m3/s, not negative.
    concentration, depth : float or sequence of float, optional
    start : datetime or str, optional
        Must be the deck's start date when it has one.

    Returns
    -------
    str or None
        The start as an ISO 8601 text for the program's --start-date (None
        for seconds).

    Raises
    ------
    DeckError
        For a bad value, leaving the deck as it was.

    Warns
    -----
    QuarnoWarning
        For naive datetimes, and for a discharge far beyond the bankfull
        estimate of the inlet's width (quarno.plausible).
    """
    bic = _bicond_of(deck, "schedule")
    deck_start = getattr(deck, "start_date", None)
    seconds, origin = _seconds(times, start, deck_start)
    n = len(seconds)
    Q = _numbers(discharge, "discharge", n)
    if any(q < 0.0 for q in Q):
        raise DeckError("schedule: a discharge is negative")
    C = _numbers(0.0 if concentration is None else concentration, "concentration", n)
    if depth is None:
        h = [normal_depth(deck, q) for q in Q]
    else:
        h = _numbers(depth, "depth", n)
    if seconds[0] < 0.0:
        raise DeckError(f"schedule: the first time lies {-seconds[0]!r} s before the start")
    for k in range(1, n):
        if not seconds[k] > seconds[k - 1]:
            raise DeckError(f"schedule: the times must increase (row {k + 1} at {seconds[k]!r} s "
                            f"follows {seconds[k - 1]!r} s)")
    if seconds[-1] <= 0.0:
        raise DeckError("schedule: the last time must lie after the start")
    rows = list(zip(seconds, h, Q, C))
    if rows[0][0] == 0.0:
        rows = rows[1:]
    widths = deck.table("Width")
    plausible.check_discharge(Q, float(numpy.interp(0.0, widths["X"], widths["Width"])))
    if origin is not None and _any_naive(times):
        plausible.warn_naive("schedule")
    deck.set_bicond_text(bic.replaced("NTInt", rows, repr))
    if origin is not None and deck_start is None and hasattr(deck, "set_start_date"):
        deck.set_start_date(origin)
    return None if origin is None else origin.isoformat()


def set_sites(deck, positions):
    """Rewrites the observation positions of crbicond.txt.

    Parameters
    ----------
    deck : quarno.Deck
    positions : float or sequence of float
        Each from 0 to L (m); an empty list leaves the deck without
        observation sites.

    Raises
    ------
    DeckError
        For a bad value, leaving the deck as it was.
    """
    bic = _bicond_of(deck, "observation sites")
    xs = _numbers(numpy.atleast_1d(positions), "observation sites")
    plausible.check_sites(xs, deck.length)
    deck.set_bicond_text(bic.replaced("Nobs", [[x] for x in xs], repr))


def set_output_times(deck, times):
    """Rewrites the output times of crbicond.txt.

    Parameters
    ----------
    deck : quarno.Deck
    times : float or sequence of float
        Seconds, increasing, at least one; the program adds the end of the
        schedule as the last one.

    Raises
    ------
    DeckError
        For a bad value, leaving the deck as it was.
    """
    bic = _bicond_of(deck, "output times")
    ts = _numbers(numpy.atleast_1d(times), "output times")
    if not ts:
        raise DeckError("output times: at least one is needed")
    for k in range(1, len(ts)):
        if not ts[k] > ts[k - 1]:
            raise DeckError(f"output times: they must increase ({ts[k]!r} s follows "
                            f"{ts[k - 1]!r} s)")
    if ts[0] < 0.0:
        raise DeckError(f"output times: {ts[0]!r} s lies before the start")
    deck.set_bicond_text(bic.replaced("NTout", [[t] for t in ts], repr))
