"""The Python results reader: numbers as the program prints them, and the
fixed-column observation file read back against the program's own CSV
results on real runs (one position, five, and ten with continuation lines)."""

import datetime
import math
import os
import re
import shutil
import subprocess

import pytest

import quarno
from conftest import ROOT, run_program
from quarno.results import OBS_COLUMNS, read_number, read_obs_csv, read_obs_fixed, read_observations

PRINTED = [("  0.12345E+02", 12.345, 0), (" -0.1000E-01", -0.01, 0), ("1.5D3", 1500.0, 0),
           ("  42", 42.0, 0), ("0.28996-185", 0.28996e-185, 1e-195),
           ("-0.15000+101", -0.15e101, 1e91), ("-Infinity", -math.inf, 0)]


@pytest.mark.parametrize("text,value,delta", PRINTED, ids=[p[0].strip() for p in PRINTED])
def test_printed_forms(text, value, delta):
    got = read_number(text)
    if delta:
        assert abs(got - value) <= delta
    else:
        assert got == value


@pytest.mark.parametrize("text", ["*******", "NaN", "", "   ", "abc", "1.2.3"])
def test_unreadable_fields_are_nan(text):
    assert math.isnan(read_number(text))


@pytest.mark.parametrize("deck,positions", [("deck-03", 1), ("deck-12", 5), ("deck-04", 10)])
def test_fixed_columns_agree_with_the_csv_file(deck, positions, tmp_path):
    """A golden deck run with --csv: every value read from crObsNode.txt
    agrees with the CSV value to the 5 printed digits."""
    for name in ("crparam.txt", "crbicond.txt"):
        shutil.copy(ROOT / "tests" / "data" / "golden" / deck / name, tmp_path)
    run_program(tmp_path, "--start-date", "2024-06-01")
    full = read_obs_csv(tmp_path / "crObsNode.csv")
    fixed = read_obs_fixed(tmp_path / "crObsNode.txt", positions)
    assert len(full) > 0
    assert len(fixed) == len(full)
    for a, b in zip(fixed, full):
        assert a["site"] == b["site"]
        assert set(b) == set(OBS_COLUMNS) | {"datetime"}
        assert re.search(r"^2024-06-01T\d\d:\d\d:\d\d\.\d{3}Z$", b["datetime"]), b["datetime"]
        for key in ("time_s", "h_m", "u_m_per_s", "Q_m3_per_s", "C", "Cb"):
            tol = 0.5e-5 * abs(b[key]) * 10 + 1e-300
            assert abs(a[key] - b[key]) <= tol, (deck, key, a, b)
    # Without the CSV file the folder is read from the fixed columns.
    os.remove(tmp_path / "crObsNode.csv")
    assert read_observations(tmp_path)[-1]["site"] == positions


@pytest.mark.parametrize("start", ["0001-01-01T00:00:00Z", "1600-06-01T06:00:00Z",
                                   "2024-06-01T06:00:00Z", "9998-12-31T12:00:00Z"])
def test_every_date_the_program_writes_is_read(start, tmp_path):
    """Runs dated from year 1 to 9998: in every table each datetime is the
    start plus its time_s; pandas datetimes within pandas' years, Python
    datetimes in UTC outside them."""
    shutil.copytree(ROOT / "tests" / "fit-twin", tmp_path, dirs_exist_ok=True)
    run_program(tmp_path, "--start-date", start)
    results = quarno.Results(tmp_path)
    t0 = datetime.datetime.fromisoformat(start)
    for table in (results.observations, results.profiles, results.balances):
        assert len(table) > 0
        assert (table["datetime"].dtype == object) == (not 1677 < t0.year < 2262)
        for when, seconds in zip(table["datetime"], table["time_s"]):
            assert abs((when - t0).total_seconds() - seconds) < 1e-3, (when, seconds)


@pytest.mark.parametrize("start,unit", [(None, None), ("2024-06-01T10:00:00.25+02:00", None),
                                        (None, "CFU/100 mL"), ("1999-12-31", "mg/L")])
def test_netcdf_reads_back_the_tables_dates_and_units(start, unit, tmp_path):
    """A real run to netCDF and back: every value of the three tables in
    its place (Cb and the solute amounts in the unit's amount), the times
    as the program's own dates to its millisecond and as the Dataset's to
    the microsecond, the units and the global attributes."""
    import numpy
    import pandas
    import xarray
    folder = tmp_path / "run"  # 4 hours of 15-minute rows, a bed that holds solute
    subprocess.run([ROOT / "scripts" / "long-record-deck", "21", "2000", "16", "900", "4", "3",
                    str(folder)], check=True)
    if unit:
        (folder / "crforcing.toml").write_text(f'[deck]\nconcentration_unit = "{unit}"\n')
    run_program(folder, *(["--start-date", start] if start else []))
    res = quarno.Results(folder)
    res.to_netcdf(tmp_path / "r.nc")
    back = xarray.open_dataset(tmp_path / "r.nc")
    amount = quarno.Unit.parse(unit).bed_factor if unit else 1.0
    assert back.attrs["Conventions"] == "CF-1.8" and back.attrs["concentration_unit"] == (unit or "")
    assert back["site_C"].attrs["units"] == (unit or "deck concentration unit")
    assert back["site_Cb"].attrs["units"] == (quarno.Unit.parse(unit).bed_text if unit
                                              else "deck concentration unit")
    assert back["site_Q_m3_per_s"].attrs["units"] == "m3/s"
    assert back["cell_u_m_per_s"].attrs["units"] == "m/s"
    obs, prof, bal = res.observations, res.profiles, res.balances
    k = numpy.searchsorted(back["time_s"].values, obs["time_s"].values)
    s = numpy.searchsorted(back["site"].values, obs["site"].values)
    for col, factor in (("C", 1.0), ("Cb", amount), ("h_m", 1.0), ("load_per_s", amount)):
        assert (obs[col] != 0).all(), col
        assert numpy.array_equal(back[f"site_{col}"].values[k, s], obs[col].values * factor), col
    cells = prof[prof["kind"] == "cell"]
    k = numpy.searchsorted(back["profile_time_s"].values, cells["time_s"].values)
    assert numpy.array_equal(back["cell_h_m"].values[k, cells["index"].values - 1],
                             cells["h_m"].values)
    water = bal[bal["term"] == "Wini"]
    assert numpy.array_equal(back["balance_water_Wini"].values, water["value"].values)
    solute = bal[(bal["balance"] == "stream-water solute") & (bal["term"] == "Cwfin")]
    assert numpy.array_equal(back["balance_stream_water_solute_Cwfin"].values,
                             solute["value"].values * amount)
    if start is None:
        assert res.start_date is None and back.attrs["start_date"] == ""
        assert numpy.array_equal(back["time"].values, back["time_s"].values)
        return
    t0 = pandas.Timestamp(start).tz_convert("UTC") if "+" in start else \
        pandas.Timestamp(start, tz="UTC")
    assert res.start_date == t0
    dates = obs["datetime"].dt.tz_localize(None).values
    gap = numpy.abs(back["time"].values[numpy.searchsorted(back["time_s"].values,
                                                           obs["time_s"].values)] - dates)
    assert gap.max() <= numpy.timedelta64(500, "us")
    near = numpy.abs(back["time"].values - res.to_xarray()["time"].values)
    assert near.max() <= numpy.timedelta64(1, "us")


# Units of the numeric CSV columns in a deck declaring mg/L, and the factor
# into them ("amount" columns and Cb into mg: 1000 L per m3).
MG_PER_L = {"time_s": ("s", 1), "x_m": ("m", 1), "h_m": ("m", 1), "u_m_per_s": ("m/s", 1),
            "Q_m3_per_s": ("m3/s", 1), "q_m2_per_s": ("m2/s", 1), "C": ("mg/L", 1),
            "Cs": ("mg/L", 1), "Cb": ("mg/kg", 1e3), "bed_shear_N_per_m2": ("N/m2", 1),
            "resuspension_per_m2_per_s": ("mg/(m2 s)", 1e3),
            "settling_per_m2_per_s": ("mg/(m2 s)", 1e3),
            "storage_exchange_per_m_per_s": ("mg/(m s)", 1e3), "load_per_s": ("mg/s", 1e3),
            "source_Q_m3_per_s": ("m3/s", 1), "source_load_per_s": ("mg/s", 1e3),
            "lateral_m2_per_s": ("m2/s", 1), "temperature_C": ("degC", 1),
            "irradiance_W_per_m2": ("W/m2", 1), "k_water_per_s": ("1/s", 1),
            "k_bed_per_s": ("1/s", 1)}


def test_every_csv_column_has_its_unit():
    """Every numeric column the program's contract lists gets a unit from
    its name; without a declared unit nothing is converted."""
    from quarno.contract import CONTRACT
    from quarno.results_xarray import column_unit
    columns = {c for f in CONTRACT["csv"]["files"]
               for c in f["columns"] + f["source_columns"] + f["weather_columns"]}
    assert columns - {"site", "kind", "index", "balance", "term", "value"} == set(MG_PER_L)
    for column, (text, factor) in MG_PER_L.items():
        assert column_unit(column, quarno.Unit.parse("mg/L")) == (text, factor), column
        bare, one = column_unit(column, None)
        assert one == 1.0 and (bare == text or "deck concentration unit" in bare), column
