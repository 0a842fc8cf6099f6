"""A run's (or a chain's) tables as one xarray.Dataset and a netCDF file.

    ds = quarno.run("storm").to_xarray()
    ds["site_C"].sel(site=2).plot()

Layout (CF-1.8):

- dimension `time`: the observation records; coordinate `time` holds
  datetime64 (UTC, naive in numpy) when the run has a start date, else the
  model seconds (units "s"); coordinate `time_s` always holds the model
  seconds. Dimension `site` (1..Nobs) with coordinate `x_m`.
- dimension `profile_time` (with `profile_time_s`): the profile blocks and
  balance reports, which come at the output times and so have times of
  their own; dimension `x` (cell centres, m) and `x_node` (node positions).
- variables: the CSV columns, prefixed by where they are: `site_h_m`,
  `site_C`, ... on (time, site); `cell_h_m`, `cell_C`, ... on
  (profile_time, x); `node_C`, `node_Cb`, `node_Cs` on (profile_time,
  x_node); `balance_<balance>_<term>` on (profile_time), such as
  `balance_water_Wini`. The prefix keeps a site's `C` and a cell's `C`
  apart in one Dataset; the attribute `column` gives the CSV column.
- units: from the column name's suffix (`_m3_per_s`: m3/s); C and Cs in the
  deck's concentration unit; Cb, the solute fluxes and the solute balance
  terms converted to the unit's amount (per kg of sediment for Cb); without
  a declared unit C is in "deck concentration unit" and nothing is
  converted.
"""

import numpy

from .dates import cf_time_encoding, date_text, datetimes
from .errors import ResultsError

# Words that end a column's name as its unit (h_m, Q_m3_per_s, temperature_C).
_UNIT_WORDS = {"m", "m2", "m3", "s", "N", "W", "C", "per"}
_CONCENTRATIONS = {"C": "stream-water concentration", "Cs": "storage-zone concentration",
                   "Cb": "bed concentration"}
_QUANTITIES = {"h": "depth", "u": "velocity", "Q": "discharge",
               "q": "discharge per unit width"}
# Without a declared unit a concentration is in whatever unit the deck's
# values are in.
UNDECLARED = "deck concentration unit"
_PLACES = {"site": "at the observation sites", "cell": "of the cells", "node": "at the nodes"}


def column_unit(name, unit):
    """The unit of a CSV column and the factor its values are multiplied by.

    Parameters
    ----------
    name : str
        The column's name (`Q_m3_per_s`, `C`, `load_per_s`).
    unit : quarno.Unit or None
        The deck's concentration unit.

    Returns
    -------
    (str, float)
        The unit's text and the factor (1 but for the bed concentration and
        the solute amounts of a deck with a unit: into the unit's amount).
    """
    if name in ("C", "Cs"):
        return (unit.text if unit else UNDECLARED), 1.0
    if name == "Cb":
        return (unit.bed_text, unit.bed_factor) if unit else (UNDECLARED, 1.0)
    tokens = name.split("_")
    k = len(tokens)
    while k > 1 and tokens[k - 1] in _UNIT_WORDS:
        k -= 1
    words = tokens[k:]
    if not words:
        return "1", 1.0
    parts = " ".join(words).split("per")
    top = parts[0].split()
    below = [p.strip() for p in parts[1:]]
    factor = 1.0
    if top:
        top_text = "degC" if top == ["C"] else " ".join(top)
    elif tokens[0] == "k":  # a rate constant
        top_text = "1"
    elif unit:
        top_text, factor = unit.amount, unit.bed_factor
    else:
        top_text = f"({UNDECLARED}) m3"
    if not below:
        return top_text, factor
    return (f"{top_text}/{below[0]}" if len(below) == 1
            else f"{top_text}/({' '.join(below)})"), factor


def long_name(name, place):
    """The long name of a CSV column (`h_m`: "depth at the observation sites").

    Parameters
    ----------
    name : str
        The column's name.
    place : str
        "site", "cell" or "node".

    Returns
    -------
    str
    """
    if name in _CONCENTRATIONS:
        what = _CONCENTRATIONS[name]
    else:
        tokens = name.split("_")
        k = len(tokens)
        while k > 1 and tokens[k - 1] in _UNIT_WORDS:
            k -= 1
        quantity = "_".join(tokens[:k])
        what = _QUANTITIES.get(quantity, quantity.replace("_", " "))
    return f"{what} {_PLACES[place]}"


def _balance_unit(balance, term, unit):
    if term == "ER_R":
        return "%", 1.0
    if balance == "inlet":
        return "1", 1.0
    if balance == "water":
        return "m3", 1.0
    return (unit.amount, unit.bed_factor) if unit else (f"({UNDECLARED}) m3", 1.0)


def _time_coords(seconds, start, dim):
    """{name: (dims, values, attrs)} of a time dimension and its seconds,
    and the time's netCDF encoding (or None)."""
    import pandas
    seconds = numpy.asarray(seconds, dtype=float)
    coords = {f"{dim}_s":
              (dim, seconds, {"units": "s", "long_name": "model time since time 0"})}
    if start is None or not isinstance(start, pandas.Timestamp):
        attrs = {"units": "s", "long_name": "model time"}
        if start is not None:  # a year numpy's nanoseconds cannot hold
            enc = cf_time_encoding(start)
            attrs = {"units": enc["units"], "calendar": enc["calendar"], "long_name": "time"}
        coords[dim] = (dim, seconds, attrs)
        return coords, None
    coords[dim] = (dim, datetimes(start, seconds),
                   {"standard_name": "time", "long_name": "time (UTC)"})
    return coords, cf_time_encoding(start)


def _grid(table, row_key, col_key, value, rows, cols):
    """The values of `table` as a (rows x cols) array; NaN where missing."""
    try:
        wide = table.pivot(index=row_key, columns=col_key, values=value)
    except ValueError:
        raise ResultsError(f"{value}: two rows for one time and {col_key}") from None
    return wide.reindex(index=rows, columns=cols).to_numpy(dtype=float)


def dataset(observations, profiles, balances, start_date=None, unit=None, version=None):
    """The tables of a run (or a chain) as one xarray.Dataset (see the
    module's docstring for the layout).

    Parameters
    ----------
    observations, profiles, balances : pandas.DataFrame
        The tables of `quarno.Results`.
    start_date : pandas.Timestamp, datetime.datetime or None
        The start date (model time 0), when the run has one.
    unit : quarno.Unit or None
        The deck's concentration unit.
    version : str, optional
        The program's version, for the `source` attribute.

    Returns
    -------
    xarray.Dataset

    Raises
    ------
    ResultsError
        Tables with two rows for one time and place.
    """
    import xarray
    data, coords, encodings = {}, {}, {}
    if len(observations):
        times = numpy.unique(observations["time_s"].to_numpy(dtype=float))
        sites = numpy.unique(observations["site"].to_numpy())
        first = observations.drop_duplicates("site").set_index("site")["x_m"]
        c, enc = _time_coords(times, start_date, "time")
        coords.update(c)
        coords["site"] = ("site", sites, {"long_name": "observation site number"})
        coords["x_m"] = ("site", first.reindex(sites).to_numpy(dtype=float),
                         {"units": "m", "long_name": "position of the observation site"})
        encodings["time"] = enc
        for col in observations.columns:
            if col in ("time_s", "datetime", "site", "x_m"):
                continue
            text, factor = column_unit(col, unit)
            values = _grid(observations, "time_s", "site", col, times, sites) * factor
            data[f"site_{col}"] = (("time", "site"), values, {
                "units": text, "long_name": long_name(col, "site"), "column": col})
    ptimes = numpy.unique(numpy.concatenate([profiles["time_s"].to_numpy(dtype=float),
                                             balances["time_s"].to_numpy(dtype=float)]))
    if len(ptimes):
        c, enc = _time_coords(ptimes, start_date, "profile_time")
        coords.update(c)
        encodings["profile_time"] = enc
    for kind, dim in (("cell", "x"), ("node", "x_node")):
        rows = profiles[profiles["kind"] == kind]
        if not len(rows):
            continue
        index = numpy.unique(rows["index"].to_numpy())
        x = rows.drop_duplicates("index").set_index("index")["x_m"].reindex(index)
        coords[dim] = (dim, x.to_numpy(dtype=float), {
            "units": "m", "long_name": f"position of the {'cell centre' if kind == 'cell' else 'node'}"})
        for col in rows.columns:
            if col in ("time_s", "datetime", "kind", "index", "x_m") or rows[col].isna().all():
                continue
            text, factor = column_unit(col, unit)
            values = _grid(rows, "time_s", "index", col, ptimes, index) * factor
            data[f"{kind}_{col}"] = (("profile_time", dim), values, {
                "units": text, "long_name": long_name(col, kind), "column": col})
    for (balance, term), rows in balances.groupby(["balance", "term"], sort=False):
        text, factor = _balance_unit(balance, term, unit)
        values = rows.set_index("time_s")["value"]
        if values.index.duplicated().any():
            raise ResultsError(f"balance {balance} {term}: two rows for one time")
        name = f"balance_{'_'.join(balance.replace('-', ' ').split())}_{term}"
        data[name] = ("profile_time", values.reindex(ptimes).to_numpy(dtype=float) * factor, {
            "units": text, "long_name": f"{balance} balance: {term}", "balance": balance,
            "term": term})
    ds = xarray.Dataset(data, coords=coords)
    for dim, enc in encodings.items():
        if enc is not None:
            ds[dim].encoding.update(enc)
    ds.attrs = {"Conventions": "CF-1.8", "source": f"quarno {version or 'unknown'}",
                "start_date": "" if start_date is None else date_text(start_date),
                "concentration_unit": unit.text if unit else ""}
    return ds


def dataset_of(results):
    """`dataset` of a quarno.Results (its tables, start date, unit and the
    version of the program in its manifest).

    Parameters
    ----------
    results : quarno.Results

    Returns
    -------
    xarray.Dataset
    """
    version = (results.manifest or {}).get("version")
    return dataset(results.observations, results.profiles, results.balances,
                   results.start_date, results.concentration_unit, version)


def write_netcdf(ds, path):
    """Writes a Dataset of `dataset` to a netCDF file (the times encoded as
    set by `dataset`: seconds since the start date).

    Parameters
    ----------
    ds : xarray.Dataset
    path : str or path-like

    Raises
    ------
    ResultsError
        When the file cannot be written.
    """
    try:
        ds.to_netcdf(path)
    except (OSError, RuntimeError, ValueError) as e:
        raise ResultsError(f"{path}: cannot write the netCDF file ({e})") from None
