"""The dates and units of a sampling's runs, and the dataset of its samples.

The sampled runs share one deck and one set of options, so they share one
start date (the option --start-date, else the forcing file's [deck]
start_date) and one concentration unit (its [deck] concentration_unit).
The dataset is what samples.nc holds and what SampleResult.to_xarray gives:
each sample's parameters and site series (sample x site x time), with a
`time` coordinate of dates when the runs have a start date.
"""

from .contract import DATE_COLUMN
from .dates import cf_time_encoding, date_text, datetimes
from .errors import DeckError
from .results_xarray import column_unit, long_name

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
                         {"units": units, "long_name": long_name(variable, "site")})
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
        time = xr.Variable("time", datetimes(result.start_date, time_s),
                           {"long_name": "time", "standard_name": "time"})
        time.encoding.update(cf_time_encoding(result.start_date))
    coords = {
        "sample": np.asarray(s["ids"]), "parameter": list(result.labels),
        "site": ("site", np.arange(1, len(s["x_m"]) + 1)),
        "x_m": ("site", np.asarray(s["x_m"], dtype=float), {"units": "m"}),
        "time": time,
        "time_s": ("time", time_s, {"units": "s", "long_name": "seconds since model time 0"}),
    }
    ds = xr.Dataset(data, coords=coords)
    name_coordinates(ds)
    ds.attrs.update(s["attrs"])
    ds.attrs.update(Conventions="CF-1.8", source=f"quarno {__version__}",
                    start_date="" if result.start_date is None else date_text(result.start_date),
                    concentration_unit="" if result.unit is None else result.unit.text)
    return ds


def name_coordinates(ds):
    """Give each data variable of `ds` its CF "coordinates" attribute in
    sorted order, so that the file is the same whatever Python's hash seed
    (left to the writer, the names follow the order of a set).

    Parameters
    ----------
    ds : xarray.Dataset
        Changed in place: the variables' encoding.
    """
    extra = [name for name in ds.coords if name not in ds.dims]
    for var in ds.data_vars.values():
        names = sorted(str(c) for c in extra if set(ds[c].dims) <= set(var.dims))
        if names:
            var.encoding["coordinates"] = " ".join(names)


# The column the band files add beside time_s when the runs are dated.
BAND_DATE_COLUMN = DATE_COLUMN
