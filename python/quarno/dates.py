"""Dates of runs, in one place: a date read as an instant in UTC, a run's
start date (from a text, a deck, or the --start-date among its options),
the date text the program writes, model times as datetimes, and the CF
encoding of those times in netCDF files.

The program counts model time in seconds from its start date; a date
without a time zone is UTC, as the program reads it.
"""

import datetime

from .errors import DeckError

UTC = datetime.timezone.utc
START_OPTION = "--start-date"


def utc_date(value):
    """A date as an aware UTC datetime.

    Parameters
    ----------
    value : object
        A datetime (naive ones read as UTC), a pandas Timestamp, a numpy
        datetime64 or an ISO 8601 text.

    Returns
    -------
    datetime.datetime or None
        None when the value is none of them, or lies outside the years 1 to
        9999 in UTC.
    """
    if isinstance(value, str):
        try:
            value = datetime.datetime.fromisoformat(value)
        except ValueError:
            return None
    elif not isinstance(value, datetime.datetime) and type(value).__name__ == "datetime64":
        import pandas
        try:
            value = pandas.Timestamp(value)
        except (ValueError, OverflowError):  # beyond pandas' years: to microseconds
            value = value.astype("datetime64[us]").item()
    if not isinstance(value, datetime.datetime):
        return None
    if hasattr(value, "to_pydatetime"):  # pandas
        if value != value:  # NaT
            return None
        value = value.to_pydatetime()
    if value.tzinfo is None:
        return value.replace(tzinfo=UTC)
    try:
        return value.astimezone(UTC)
    except OverflowError:  # in UTC it would lie before year 1 or after 9999
        return None


def start_date(value, error=DeckError, what="start date"):
    """A run's start date: a UTC-aware pandas Timestamp, or a UTC-aware
    datetime for a year pandas cannot hold (before 1677, after 2262).

    Parameters
    ----------
    value : str, datetime.datetime, pandas.Timestamp or numpy.datetime64
        ISO 8601 text ("2024-06-01T00:00:00Z"; without a zone: UTC) or a date.
    error : type, optional
        The QuarnoError raised for what is no date.
    what : str, optional
        What gave it, for the message.

    Returns
    -------
    pandas.Timestamp or datetime.datetime

    Raises
    ------
    QuarnoError
        `error`, for a value that is no date and time.
    """
    import pandas
    when = utc_date(value)
    if when is None:
        raise error(f"{what}: {value!r} is not an ISO 8601 date and time")
    try:
        return pandas.Timestamp(when)
    except (pandas.errors.OutOfBoundsDatetime, OverflowError, ValueError):
        return when


def option_start_date(options):
    """The value of the last --start-date among a run's options.

    Parameters
    ----------
    options : sequence of str
        `--start-date X` or `--start-date=X` among them.

    Returns
    -------
    str or None
    """
    found = None
    options = [str(o) for o in options]
    for k, option in enumerate(options):
        if option == START_OPTION and k + 1 < len(options):
            found = options[k + 1]
        elif option.startswith(START_OPTION + "="):
            found = option.split("=", 1)[1]
    return found


def date_text(when):
    """An instant as the program writes a date: UTC to the millisecond,
    "2024-06-01T00:01:00.800Z" (more digits when it has them).

    Parameters
    ----------
    when : pandas.Timestamp or datetime.datetime

    Returns
    -------
    str
    """
    when = utc_date(when) if not hasattr(when, "nanosecond") else when.tz_convert("UTC")
    frac = f"{when.microsecond * 1000 + getattr(when, 'nanosecond', 0):09d}".rstrip("0")
    return f"{when.strftime('%Y-%m-%dT%H:%M:%S')}.{frac.ljust(3, '0')}Z"


def date_texts(start, seconds):
    """The dates of model times as the program writes them, to the
    millisecond.

    Parameters
    ----------
    start : pandas.Timestamp
        The date of model time 0.
    seconds : sequence of float

    Returns
    -------
    list of str
    """
    import pandas
    stamps = (start + pandas.to_timedelta(list(seconds), unit="s")).round("ms")
    return [s.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z" for s in stamps]


def datetimes(start, seconds):
    """Model times as numpy datetime64[ns] (UTC, without a zone).

    Parameters
    ----------
    start : pandas.Timestamp
        The date of model time 0.
    seconds : array_like

    Returns
    -------
    numpy.ndarray
    """
    import numpy as np
    origin = np.datetime64(start.tz_convert("UTC").tz_localize(None).to_datetime64(), "ns")
    ns = np.rint(np.asarray(seconds, dtype=float) * 1e9).astype("int64")
    return origin + ns.astype("timedelta64[ns]")


def cf_time_encoding(start):
    """The netCDF encoding of times dated from `start`: seconds since it, in
    the proleptic Gregorian calendar, as float64.

    Parameters
    ----------
    start : pandas.Timestamp or datetime.datetime

    Returns
    -------
    dict
    """
    origin = start.tz_convert("UTC").tz_localize(None) if hasattr(start, "tz_convert") \
        else utc_date(start).replace(tzinfo=None)
    return {"units": f"seconds since {origin.isoformat()}", "calendar": "proleptic_gregorian",
            "dtype": "float64"}
