"""The dates and units of a sampling's runs, and the dataset of its samples.

The sampled runs share one deck and one set of options, so they share one
start date (the option --start-date, else the forcing file's [deck]
start_date) and one concentration unit (its [deck] concentration_unit).
The dataset is what samples.nc holds and what SampleResult.to_xarray gives:
each sample's parameters and site series (sample x site x time), with a
`time` coordinate of dates when the runs have a start date.
"""

import tomllib

from .contract import DATE_COLUMN
from .errors import DeckError
from .units import Unit

# Without a declared unit a concentration is in whatever unit the deck's
# values are in.
UNDECLARED = "deck concentration unit"
CONCENTRATION_COLUMNS = ("C", "Cs", "Cb")

_LONG_NAMES = {
    "C": "stream-water concentration", "Cs": "storage-zone concentration",
    "Cb": "bed concentration", "h_m": "depth", "u_m_per_s": "velocity",
    "Q_m3_per_s": "discharge",
}


def parse_date(text):
    """A start date as a UTC pandas.Timestamp (a time without a zone is UTC).

    Parameters
    ----------
    text : str or datetime.datetime

    Returns
    -------
    pandas.Timestamp

    Raises
    ------
    DeckError
        For a text that is no date.
    """
    import pandas
    try:
        stamp = pandas.Timestamp(text)
    except (TypeError, ValueError):
        raise DeckError(f"start date {text!r} is not an ISO 8601 date and time") from None
    if pandas.isna(stamp):
        raise DeckError(f"start date {text!r} is not an ISO 8601 date and time")
    return stamp.tz_localize("UTC") if stamp.tzinfo is None else stamp.tz_convert("UTC")


def run_dating(options, forcing):
    """The start date and concentration unit of runs of a deck.

    Parameters
    ----------
    options : sequence of str
        The program's options; --start-date wins over the deck's start date.
    forcing : tuple or None
        The deck's forcing file, (bytes, contents), or None.

    Returns
    -------
    start_date : pandas.Timestamp or None
        UTC.
    unit : Unit or None

    Raises
    ------
    DeckError
        A start date or unit that cannot be read.
    """
    declared = {}
    if forcing is not None:
        try:
            declared = tomllib.loads(forcing[0].decode("utf-8")).get("deck", {})
        except (UnicodeDecodeError, tomllib.TOMLDecodeError):
            declared = {}  # the forcing file's reader reports its faults
    start = declared.get("start_date")
    options = [str(o) for o in options]
    for k, option in enumerate(options):
        if option == "--start-date" and k + 1 < len(options):
            start = options[k + 1]
        elif option.startswith("--start-date="):
            start = option.split("=", 1)[1]
    unit = declared.get("concentration_unit")
    return (None if start is None else parse_date(start),
            None if unit is None else Unit.parse(unit))


def date_texts(start, seconds):
    """The dates of model times as the program writes them: UTC to the
    millisecond, "2024-06-01T00:01:00.800Z".

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


def dates_of(start, seconds):
    """Model times as numpy datetime64[ns] (UTC, naive) from the start date.

    Parameters
    ----------
    start : pandas.Timestamp
    seconds : array_like

    Returns
    -------
    numpy.ndarray
    """
    import numpy as np
    origin = np.datetime64(start.tz_convert("UTC").tz_localize(None).to_datetime64(), "ns")
    ns = np.rint(np.asarray(seconds, dtype=float) * 1e9).astype("int64")
    return origin + ns.astype("timedelta64[ns]")


def column_unit(column, unit):
    """The unit of a column of the observation records, and the factor that
    turns the model's values into it.

    Parameters
    ----------
    column : str
        A column of crObsNode.csv.
    unit : Unit or None
        The deck's concentration unit.

    Returns
    -------
    (str, float)
        The concentrations in the deck's unit, the bed's in amount per kg
        (unconverted without a declared unit); other columns in the unit
        their name ends with.
    """
    if column in CONCENTRATION_COLUMNS:
        if unit is None:
            return UNDECLARED, 1.0
        return (unit.bed_text, unit.bed_factor) if column == "Cb" else (unit.text, 1.0)
    parts = column.split("_")[1:]
    return "/".join("".join(parts).split("per")) if parts else "1", 1.0


def unit_comment(variable, unit):
    """The comment lines of a band file naming the unit of its values: one
    for a concentration in the deck's declared unit, else none.

    Parameters
    ----------
    variable : str
        The sampled column.
    unit : Unit or None

    Returns
    -------
    list of str
    """
    if unit is None or variable not in ("C", "Cs"):
        return []
    return [f"unit: {unit.text}"]


def samples_dataset(result):
    """The dataset of a sampling's samples.

    Parameters
    ----------
    result : SampleResult
        With its samples (SampleResult.set_samples).

    Returns
    -------
    xarray.Dataset
        Variables parameter_value (sample, parameter), the sampled variable
        (sample, site, time), objective, failed and the method's extras per
        sample; coordinates sample, parameter, site (1..), x_m, time (dates
        when dated, else seconds) and time_s; CF attributes.
    """
    import numpy as np
    import xarray as xr
    from . import __version__
    s = result.samples
    if s is None:
        raise DeckError("the sampling holds no samples yet")
    variable = s["variable"]
    units, factor = column_unit(variable, result.unit)
    series = xr.Variable(("sample", "site", "time"), np.asarray(s["cube"]) * factor,
                         {"units": units, "long_name": _LONG_NAMES.get(variable, variable)})
    data = {
        "parameter_value": (("sample", "parameter"), np.asarray(s["X"], dtype=float)),
        variable: series,
        "objective": (("sample",), np.asarray(s["objective"], dtype=float),
                      {"long_name": "weighted sum of squared residuals"}),
        "failed": (("sample",), np.asarray(s["failed"], dtype=np.int8),
                   {"long_name": "the run failed (1)"}),
    }
    for key, values in s["extra"].items():
        data[key] = (("sample",), np.asarray(values, dtype=float))
    time_s = np.asarray(s["time_s"], dtype=float)
    if result.start_date is None:
        time = xr.Variable("time", time_s, {"units": "s", "long_name": "model time"})
    else:
        time = xr.Variable("time", dates_of(result.start_date, time_s),
                           {"long_name": "time", "standard_name": "time"})
        time.encoding.update(units=f"seconds since {_iso(result.start_date)}",
                             calendar="proleptic_gregorian", dtype="float64")
    coords = {
        "sample": np.asarray(s["ids"]), "parameter": list(result.labels),
        "site": ("site", np.arange(1, len(s["x_m"]) + 1)),
        "x_m": ("site", np.asarray(s["x_m"], dtype=float), {"units": "m"}),
        "time": time,
        "time_s": ("time", time_s, {"units": "s", "long_name": "seconds since model time 0"}),
    }
    ds = xr.Dataset(data, coords=coords)
    ds.attrs.update(s["attrs"])
    ds.attrs.update(Conventions="CF-1.8", source=f"quarno {__version__}",
                    start_date="" if result.start_date is None else _iso(result.start_date),
                    concentration_unit="" if result.unit is None else result.unit.text)
    return ds


def _iso(stamp):
    return stamp.tz_convert("UTC").tz_localize(None).isoformat()


# The column the band files add beside time_s when the runs are dated.
BAND_DATE_COLUMN = DATE_COLUMN
