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


def normal_depth(deck, Q):
    """Manning's normal depth of the deck's first segment.

    A rectangular channel of the width, bed slope and roughness at X = 0,
    where Q = (1/n) B h (B h / (B + 2 h))^(2/3) S^(1/2).

    Parameters
    ----------
    deck : quarno.Deck
    Q : float
        The discharge (m3/s), finite and not negative.

    Returns
    -------
    float
        The depth h (m).

    Raises
    ------
    DeckError
        For a discharge that is not such a number, or a channel without a
        positive width, slope and roughness at X = 0.
    """
    from scipy.optimize import brentq
    if not hasattr(deck, "table"):
        raise DeckError(f"normal depth: {shown(deck)} is not a Deck")
    try:
        Q = float(Q)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"normal depth: the discharge {shown(Q)} is not a number") from None
    if not (math.isfinite(Q) and Q >= 0.0):
        raise DeckError(f"normal depth: the discharge must be finite and not negative "
                        f"(found {Q!r})")
    widths = deck.table("Width")
    B = float(numpy.interp(0.0, widths["X"], widths["Width"]))
    S = _first_row_value(deck, "Slope")
    n = _first_row_value(deck, "Rough")
    if not (B > 0.0 and S > 0.0 and n > 0.0):
        raise DeckError(f"normal depth: needs a positive width, bed slope and roughness at X = 0 "
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
    return brentq(excess, 0.0, high, xtol=1e-14, rtol=1e-14)


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


def _seconds(times, start):
    """Times as seconds from the start: numbers as they are, datetimes (naive
    ones taken as UTC, like the program's --start-date) from `start` or the
    first time. Returns (seconds, start as an ISO 8601 text or None)."""
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
        origin = stamps[0] if start is None else pandas.to_datetime(start, utc=True)
    except (TypeError, ValueError) as e:
        raise DeckError(f"schedule: the times are neither seconds nor datetimes ({e})") from None
    if pandas.isna(origin) or stamps.isna().any():
        raise DeckError("schedule: a time is missing (NaT)")
    seconds = [(t - origin).total_seconds() for t in stamps]
    return seconds, origin.isoformat()


def set_schedule(deck, times, discharge, concentration=None, depth=None, start=None):
    """Rewrites the boundary schedule of crbicond.txt from a time series: one
    row per time, holding that time's depth, discharge and concentration at
    X = 0. As in the program, a row's values apply from the previous row's
    time up to its own, the run ends at the last time, and a row at time 0
    only opens the schedule. `times` are seconds from the start of the run,
    or datetimes counted from `start` (default: the first time);
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

    Returns
    -------
    str or None
        The start as an ISO 8601 text for the program's --start-date (None
        for seconds).

    Raises
    ------
    DeckError
        For a bad value, leaving the deck as it was.
    """
    bic = _bicond_of(deck, "schedule")
    seconds, origin = _seconds(times, start)
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
    deck.set_bicond_text(bic.replaced("NTInt", rows, repr))
    return origin


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
    for x in xs:
        if not 0.0 <= x <= deck.length:
            raise DeckError(f"observation site {x!r} m lies outside the reach (0 to "
                            f"L = {deck.length!r} m)")
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
