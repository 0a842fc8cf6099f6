"""Sources along the reach in the package: the forcing file kept byte for
byte or written anew so that it reads back equal, bad sources refused with
the deck unchanged, a source's strength as a fit parameter that keeps the
recorded flow, and (once the program reads the file) runs with sources."""

import datetime
import csv
import math
import os
import shutil
import tomllib
from pathlib import Path

import pytest

import quarno
from quarno import engine
from quarno.fit import Config, Fit

from conftest import many_runs  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
STORM = ROOT / "examples" / "storm-calibration"   # L = 2000 m
TWIN = ROOT / "tests" / "fit-twin"                # L = 300 m
QUARNO = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())
UTC = datetime.timezone.utc

# A forcing file as a person writes it: comments, integers, a local date-time,
# a string date, a series in a CSV file below the folder, odd spacing.
HANDWRITTEN = b"""# outfalls of the storm reach
[[source]]
name = "outfall"     # the works
x = 1200
times = [0, 3600.0, 7200]
discharge = [0.05, 0.2, 0.05]
concentration = [2.0e5, 2e5, 200000.0]

[[source]]
name = 'farm ditches'
x = 100.0
x_to = 600
times = [2024-05-14T02:00:00, "2024-05-14T05:00:00Z"]
discharge = [0.01, -0.02]
load = [50, 0.0]
strength = 0.25

[[source]]
name = "trib"
x = 2000.0
series = "series/trib.csv"

[environment]   # hourly, the gauge's thermometer and the met station
times = [0, 3600, 7200.0]
temperature_C = [16.5, 16.2, 16]
irradiance_W_per_m2 = [0.0, 0, 120.5]

[rates]
x = [0, 1200.0]
theta_w = [1.07, 1.05]
light_alpha = [2.0e-6, 2e-6]
"""
TRIB_CSV = b"# the tributary's gauge\ntime_s,discharge_m3s,concentration\n0,0.3,1e3\n\n7200,0.4,2.5e3\n"
WEATHER_CSV = b"datetime,irradiance_W_per_m2\n2024-05-14T02:00:00Z,0\n2024-05-14T03:00:00Z,55.5\n"
BAD_WEATHER_CSV = b"time_s,temperature_C\n0,12.0\n600,55.0\n"


def storm_with_sources(folder):
    shutil.copytree(STORM, folder)
    (folder / "crforcing.toml").write_bytes(HANDWRITTEN)
    (folder / "series").mkdir()
    (folder / "series" / "trib.csv").write_bytes(TRIB_CSV)
    (folder / "series" / "weather.csv").write_bytes(WEATHER_CSV)
    (folder / "series" / "bad-weather.csv").write_bytes(BAD_WEATHER_CSV)
    return folder


def test_the_forcing_file_round_trips(tmp_path):
    """Read and written unchanged: every byte of the forcing file and its CSV
    series. Sources added, edited and removed, the weather and rates set: the
    file is written anew, is TOML that reads back to the same sources and
    weather (floats exactly, dates as UTC), the CSV series still copied
    unchanged; a rate set over a reach splits the rows where it starts and
    ends; removing the last source removes the file from a folder written
    again."""
    deck = quarno.Deck.read(storm_with_sources(tmp_path / "deck"))
    outfall, ditches, trib = deck.sources
    assert (outfall["name"], outfall["x"], outfall["kind"]) == ("outfall", 1200.0, "point")
    assert (ditches["kind"], ditches["x_to"], ditches["load"], ditches["concentration"]) == (
        "distributed", 600.0, [50.0, 0.0], None)
    assert ditches["times"] == [datetime.datetime(2024, 5, 14, h, tzinfo=UTC) for h in (2, 5)]
    assert (trib["series"], trib["concentration"], trib["strength"]) == (
        "series/trib.csv", [1e3, 2.5e3], 1.0)

    deck.write(tmp_path / "same")
    assert (tmp_path / "same" / "crforcing.toml").read_bytes() == HANDWRITTEN
    assert (tmp_path / "same" / "series" / "trib.csv").read_bytes() == TRIB_CSV

    tricky = [0.1 + 0.2, 1e-300, 123456789.12345679, 0.0]
    stamps = [datetime.datetime(2024, 5, 14, 2, 0, 0, 500000), "2024-05-14T05:00:00+02:00",
              datetime.datetime(2024, 5, 14, 4, tzinfo=UTC), "2024-05-14T05:00:00Z"]
    deck.add_source('back\\slash "quoted"', 0.0, stamps, tricky, concentration=7.5)
    deck.add_source("long", 1999.0, range(0, 24000, 600), -0.001, load=tricky * 10, x_to=2000.0,
                    strength=3)
    deck.set_source_strength("outfall", 1.7)
    deck.remove_source("farm ditches")
    assert deck.environment["irradiance_W_per_m2"] == [0.0, 0.0, 120.5]
    deck.set_environment(stamps, temperature_C=[0.1 + 0.2, 1e-300, 12.345678901234567, -5.0],
                         irradiance_W_per_m2=3.5)
    assert deck.set("theta_w", 1.1, 500.0, 1500.0) == [1, 2]
    rates = deck.table("theta_b")
    assert list(rates.X) == [0.0, 500.0, 1200.0, 1500.0]
    assert list(rates.theta_w) == [1.07, 1.1, 1.1, 1.05]
    assert list(rates.light_alpha) == [2e-6] * 4 and list(rates.theta_b) == [1.0] * 4
    expected = deck.sources
    deck.write(tmp_path / "edited")
    text = (tmp_path / "edited" / "crforcing.toml").read_bytes()
    assert tomllib.loads(text.decode())["source"][2]["name"] == 'back\\slash "quoted"'
    assert max(len(line) for line in text.splitlines()) <= 100   # long arrays wrapped
    again = quarno.Deck.read(tmp_path / "edited")
    assert again.sources == expected
    assert again.environment == deck.environment and again.table("extinction").equals(rates)
    assert sorted(tomllib.loads(text.decode())["rates"]) == ["light_alpha", "theta_w", "x"]
    dated = again.sources[2]
    assert dated["times"][:2] == [datetime.datetime(2024, 5, 14, 2, 0, 0, 500000, tzinfo=UTC),
                                  datetime.datetime(2024, 5, 14, 3, tzinfo=UTC)]
    assert dated["discharge"] == tricky and dated["concentration"] == [7.5] * 4
    assert (tmp_path / "edited" / "series" / "trib.csv").read_bytes() == TRIB_CSV
    assert (tmp_path / "edited" / "crparam.txt").read_bytes() == (STORM / "crparam.txt").read_bytes()

    for s in expected:
        again.remove_source(s["name"])
    assert again.sources == [] and again.forcing_files() != {}   # the weather stays
    assert again.environment == deck.environment and again.table("extinction").equals(rates)

    # The weather from a CSV series: kept as read, and by name when edited.
    folder = tmp_path / "deck"
    (folder / "crforcing.toml").write_bytes(b'[environment]\nseries = "series/weather.csv"\n')
    weather = quarno.Deck.read(folder)
    assert weather.environment == {
        "times": [datetime.datetime(2024, 5, 14, h, tzinfo=UTC) for h in (2, 3)],
        "temperature_C": None, "irradiance_W_per_m2": [0.0, 55.5], "series": "series/weather.csv"}
    with pytest.warns(UserWarning, match="theta_b 1.25 lies outside 1 to 1.2"):
        weather.set("theta_b", 1.25)
    weather.write(tmp_path / "weather")
    assert (tmp_path / "weather" / "series" / "weather.csv").read_bytes() == WEATHER_CSV
    with pytest.warns(UserWarning, match=r"weather/crforcing.toml, line 8: theta_b 1.25 lies"):
        assert quarno.Deck.read(tmp_path / "weather").environment == weather.environment

    plain = quarno.Deck.read(STORM)
    plain.add_source("only", 10.0, [0.0], 0.0, concentration=0.0)
    plain.remove_source("only")
    assert plain.forcing_files() == {}
    plain.write(tmp_path / "edited")
    assert not (tmp_path / "edited" / "crforcing.toml").exists()


def _add(**kw):
    args = dict(name="new", x=500.0, times=[0.0, 600.0], discharge=[0.1, 0.1],
                concentration=[1.0, 1.0])
    args.update(kw)
    return lambda d: d.add_source(**args)


REFUSED = [  # (what, edit, message)
    ("x below 0", _add(x=-0.5), "outside the reach"),
    ("x beyond L", _add(x=2000.5), "outside the reach"),
    ("x_to at x", _add(x_to=500.0), "must lie beyond"),
    ("x_to beyond L", _add(x_to=2001.0), "beyond the reach's end"),
    ("times not increasing", _add(times=[0.0, 0.0]), "must increase"),
    ("dates not increasing",
     _add(times=["2024-06-01T01:00Z", datetime.datetime(2024, 6, 1, 1)]), "must increase"),
    ("lengths differ", _add(discharge=[0.1, 0.2, 0.3]), "3 values of discharge for 2 times"),
    ("no times", _add(times=[], discharge=[], concentration=[]), "empty"),
    ("NaN concentration", _add(concentration=[1.0, math.nan]), "not a finite number"),
    ("negative concentration", _add(concentration=-1.0), "concentration is negative"),
    ("negative load", _add(concentration=None, load=[2.0, -0.1]), "load is negative"),
    ("both", _add(load=1.0), "exactly one"),
    ("neither", _add(concentration=None), "exactly one"),
    ("not a date", _add(times=["soon", "later"]), "neither seconds nor a date"),
    ("duplicate name", _add(name="outfall"), "already there"),
    ("empty name", _add(name=""), "1 to 40 printable"),
    ("negative strength", _add(strength=-1.0), "strength must be"),
    ("remove unknown", lambda d: d.remove_source("nope"), "no source named 'nope'"),
    ("strength of unknown", lambda d: d.set_source_strength("nope", 1.0), "no source named"),
    ("strength NaN", lambda d: d.set_source_strength("outfall", math.nan), "strength must be"),
    ("too warm", lambda d: d.set_environment([0.0, 60.0], temperature_C=[20.0, 50.5]),
     "temperature_C 50.5 lies outside -5 to 50"),
    ("negative irradiance", lambda d: d.set_environment(0.0, irradiance_W_per_m2=-1.0),
     "irradiance_W_per_m2 -1.0 is negative"),
    ("weather times not increasing", lambda d: d.set_environment([60.0, 0.0], 15.0),
     "must increase"),
    ("weather lengths differ", lambda d: d.set_environment([0.0, 60.0], [15.0]),
     "1 values of temperature_C for 2 times"),
    ("theta below 0.9", lambda d: d.set("theta_w", 0.85, 0.0, 100.0), "outside 0.9 to 1.3"),
    ("theta NaN", lambda d: d.set("theta_b", math.nan), "not a finite number"),
    ("negative light_alpha", lambda d: d.set("light_alpha", -1e-7), "light_alpha -1e-07 is neg"),
    ("extinction 0", lambda d: d.set("extinction", 0.0), "extinction must be positive"),
    ("rate beyond L", lambda d: d.set("theta_w", 1.05, 2500.0, 3000.0), "no row of the rate"),
    ("rate not a number", lambda d: d.set("extinction", "dark"), "'dark' is not a number"),
]


@pytest.mark.parametrize("what,edit,message", REFUSED, ids=[r[0] for r in REFUSED])
def test_bad_sources_are_refused_and_lose_nothing(what, edit, message, tmp_path):
    deck = quarno.Deck.read(storm_with_sources(tmp_path / "deck"))
    before = (deck.sources, deck.forcing_files(), deck.text, deck.bicond)
    with pytest.raises(quarno.DeckError, match=message):
        edit(deck)
    assert (deck.sources, deck.forcing_files(), deck.text, deck.bicond) == before


BAD_FILES = [  # (change of the handwritten file, what the message says)
    ((b'name = "outfall"', b'name = "outfall"\ncolour = "brown"'), "line 2: unknown key 'colour'"),
    ((b"name = 'farm ditches'", b'name = "outfall"'), "line 9: a source named 'outfall'"),
    ((b'series = "series/trib.csv"', b'series = "series/none.csv"'), "missing or not a regular"),
    ((b'series = "series/trib.csv"', b'series = "series"'), "missing or not a regular"),
    ((b'series = "series/trib.csv"', b'series = "../trib.csv"'), "must lie in"),
    ((b'x = 2000.0\nseries', b'x = 2000.0\ntimes = [0]\nseries'), "both an inline series"),
    ((b"load = [50, 0.0]", b"load = [50, 0.0]\nconcentration = [1, 1]"), "exactly one"),
    ((b"times = [0, 3600.0, 7200]", b"times = [0, 3600.0, 7200"), "not valid TOML"),
    ((b"[rates]", b"[weather]"), "unknown key 'weather'"),
    ((b"temperature_C = [16.5", b"wind = [1]\ntemperature_C = [16.5"), "line 25: unknown key 'wind'"),
    ((b"theta_w = [1.07", b"Kdw = [1]\ntheta_w = [1.07"), "line 30: unknown key 'Kdw'"),
    ((b"times = [0, 3600, 7200.0]", b"times = [0, 7200, 3600.0]"), "line 24: the times must"),
    ((b"times = [0, 3600, 7200.0]", b"times = []"), "line 24: the series is empty"),
    ((b"[16.5, 16.2, 16]", b"[16.5, 16.2]"), "line 25: 2 values of temperature_C for 3"),
    ((b"[16.5, 16.2, 16]", b"[16.5, nan, 16]"), "line 25: temperature_C nan is not a finite"),
    ((b"[16.5, 16.2, 16]", b"[16.5, -5.5, 16]"), "line 25: temperature_C -5.5 lies outside"),
    ((b"[0.0, 0, 120.5]", b"[0.0, -0.1, 120.5]"), "line 26: irradiance_W_per_m2 -0.1 is neg"),
    ((b"times = [0, 3600, 7200.0]\n", b""), "line 24: missing 'times'"),
    ((b"times = [0, 3600, 7200.0]", b'times = [0, 3600, 7200.0]\nseries = "series/weather.csv"'),
     "both an inline series"),
    ((b"times = [0, 3600, 7200.0]\ntemperature_C = [16.5, 16.2, 16]\n"
      b"irradiance_W_per_m2 = [0.0, 0, 120.5]", b'series = "series/bad-weather.csv"'),
     "bad-weather.csv, line 3: temperature_C 55.0 lies outside"),
    ((b"times = [0, 3600, 7200.0]\ntemperature_C = [16.5, 16.2, 16]\n"
      b"irradiance_W_per_m2 = [0.0, 0, 120.5]", b'series = "series/trib.csv"'),
     "trib.csv, line 2: the header has an unknown column 'discharge_m3s'"),
    ((b"times = [0, 3600, 7200.0]\ntemperature_C = [16.5, 16.2, 16]\n"
      b"irradiance_W_per_m2 = [0.0, 0, 120.5]", b'series = "series/rain.csv"'),
     "rain.csv: the series file is missing"),
    ((b"x = [0, 1200.0]", b"x = [0.5, 1200.0]"), "line 29: the first x must be 0"),
    ((b"x = [0, 1200.0]", b"x = [0, 0.0]"), "line 29: x must increase"),
    ((b"x = [0, 1200.0]", b"x = [0, 2000.5]"), "line 29: x = 2000.5 lies beyond the reach"),
    ((b"x = [0, 1200.0]\n", b""), "missing 'x'"),
    ((b"[1.07, 1.05]", b"[1.07]"), "line 30: 1 values of theta_w for 2 rows"),
    ((b"[1.07, 1.05]", b"[1.07, 1.31]"), "line 30: theta_w 1.31 lies outside 0.9 to 1.3"),
    ((b"[2.0e-6, 2e-6]", b"[2.0e-6, -2e-6]"), "line 31: light_alpha -2e-06 is negative"),
    ((b"light_alpha", b"extinction = [1.5, 0]\nlight_alpha"), "line 31: extinction must be"),
    ((b"[rates]", b"[deck]\nstart = 2024-06-01\n[rates]"), "line 29: unknown key 'start'"),
    ((b"[rates]", b'[deck]\nstart_date = "June"\n[rates]'), "start_date must be a date"),
    ((b"[rates]", b'[deck]\nconcentration_unit = "CFU/100 m3"\n[rates]'), "not an amount per"),
    ((b"[rates]", b"[deck]\nconcentration_unit = 5\n[rates]"), "must be a string"),
]


def test_a_bad_forcing_file_is_refused_when_read(tmp_path):
    folder = storm_with_sources(tmp_path / "deck")
    for (old, new), message in BAD_FILES:
        assert old in HANDWRITTEN
        (folder / "crforcing.toml").write_bytes(HANDWRITTEN.replace(old, new, 1))
        with pytest.raises(quarno.DeckError, match=message):
            quarno.Deck.read(folder)


def strength_config(folder, params, deck=None):
    """The twin deck with a point source at 150 m (or `deck`) and a fit
    configuration of `params` (TOML text of [[parameter]] tables)."""
    if deck is None:
        deck = quarno.Deck.read(TWIN)
        deck.add_source("outfall", 150.0, [0.0, 3000.0], 0.002, concentration=[50.0, 80.0])
    deck.write(folder / "deck")
    (folder / "obs.csv").write_text("x_m,time_s,value\n281,3000,5\n")
    path = folder / "fit.toml"
    path.write_text(f'[model]\ndeck = "deck"\nprogram = "{QUARNO}"\n'
                    f'[observations]\nfile = "obs.csv"\n{params}')
    return path


STRENGTH = '[[parameter]]\nname = "source.outfall.strength"\nlower = 0.1\nupper = 10\nlog = true\n'


def test_a_strength_parameter_keeps_the_recorded_flow(tmp_path):
    """A fit of the outfall's strength with a transport column: the flow is
    still recorded, each run's forcing file carries its strength and nothing
    else changes, and the engine's flow key is the same for every strength.
    A strength of a source the deck lacks, with a reach, or below 0 is refused."""
    cfg = Config(strength_config(tmp_path, STRENGTH + '[[parameter]]\nname = "Alfa"\n'
                                 'x_from = 0\nx_to = 300\nlower = 1e-5\nupper = 1e-2\n'))
    p = cfg.parameters[0]
    assert (p.name, p.label, p.x_from, p.initial) == ("source.outfall.strength",
                                                      "source.outfall.strength", None, 1.0)
    fit = Fit(cfg, log=lambda *_: None)
    assert fit.why_no_record() is None          # the flow is recorded and replayed
    runs = [fit.run_files([s, 3e-4]) for s in (1.0, 2.5)]
    assert runs[0]["crforcing.toml"] == (tmp_path / "deck" / "crforcing.toml").read_bytes()
    src = [tomllib.loads(r["crforcing.toml"].decode())["source"] for r in runs]
    assert [s[0].pop("strength") for s in src] == [1.0, 2.5] and src[0] == src[1]
    assert fit.deck_text([1.0, 3e-4]) == fit.deck_text([2.5, 3e-4])
    edits = [[("source.outfall.strength", None, None, s), ("Alfa", 0.0, 300.0, 3e-4)]
             for s in (1.0, 2.5)]
    assert all(engine.can_replay(e, []) for e in edits)
    base = quarno.Deck.read(tmp_path / "deck")
    assert engine.flow_key(base.text, base.bicond, [], QUARNO, base._forcing) != engine.flow_key(
        base.text, base.bicond, [], QUARNO)     # the sources' discharges are in the key

    for old, new, message in [("outfall.strength", "works.strength", "no source named 'works'"),
                              ("lower", "x_from = 0\nlower", "has no reach"),
                              ("lower = 0.1\nupper = 10\nlog = true", "lower = -1\nupper = 10",
                               "strength is not negative")]:
        with pytest.raises(quarno.FitError, match=message):
            Config(strength_config(tmp_path / message[:8], STRENGTH.replace(old, new)))


RATES = ('[[parameter]]\nname = "theta_w"\nx_from = 0\nx_to = 150\nlower = 1.0\nupper = 1.2\n'
         '[[parameter]]\nname = "light_alpha"\nx_from = 0\nx_to = 300\nlower = 0\nupper = 1e-5\n')


def test_rate_parameters_keep_the_recorded_flow(tmp_path):
    """A fit of theta_w over 0-150 m and light_alpha over the whole reach on
    the twin deck with an outfall and the weather: the flow is still recorded
    and replayed; each run's forcing file differs only in its rate table, set
    over exactly the reaches; the flow key ignores the weather and rates. A
    rate parameter the environment cannot move, or with a bound the column
    cannot take, is refused."""
    deck = quarno.Deck.read(TWIN)
    deck.add_source("outfall", 150.0, [0.0, 3000.0], 0.002, concentration=[50.0, 80.0])
    deck.set_environment([0.0, 3600.0], temperature_C=[14.0, 18.0], irradiance_W_per_m2=[0, 400])
    cfg = Config(strength_config(tmp_path, RATES, deck))
    assert [(p.label, p.initial) for p in cfg.parameters] == [("theta_w 0-150", 1.0),
                                                              ("light_alpha 0-300", 0.0)]
    fit = Fit(cfg, log=lambda *_: None)
    assert fit.why_no_record() is None
    runs = [fit.run_files(v) for v in ([1.07, 2e-6], [1.1, 4e-6])]
    read = [tomllib.loads(r["crforcing.toml"].decode()) for r in runs]
    assert [r.pop("rates") for r in read] == [
        {"x": [0.0, 150.0], "theta_w": [1.07, 1.0], "light_alpha": [2e-6, 2e-6]},
        {"x": [0.0, 150.0], "theta_w": [1.1, 1.0], "light_alpha": [4e-6, 4e-6]}]
    assert read[0] == read[1] == tomllib.loads(deck.forcing_files()["crforcing.toml"].decode())
    assert fit.deck_text([1.07, 2e-6]) == fit.deck_text([1.1, 4e-6]) == deck.text
    assert engine.can_replay([("theta_w", 0.0, 150.0, 1.1), ("light_alpha", 0, 300, 0)], [])
    key = engine.flow_key(deck.text, deck.bicond, [], QUARNO, deck._forcing)
    other = quarno.Deck.read(tmp_path / "deck")
    other.set_environment([0.0], temperature_C=25.0)
    other.set("theta_b", 1.04, 100.0, 200.0)
    assert engine.flow_key(other.text, other.bicond, [], QUARNO, other._forcing) == key
    other.set_source_strength("outfall", 1.0)
    other.add_source("pipe", 20.0, [0.0], 0.001, concentration=1.0)
    assert engine.flow_key(other.text, other.bicond, [], QUARNO, other._forcing) != key

    for old, new, message in [("upper = 1.2", "upper = 1.4", "theta_w 1.4 lies outside 0.9"),
                              ("lower = 0\n", "lower = -1e-6\n", "light_alpha -1e-06 is neg"),
                              ("x_from = 0\nx_to = 150", "x_from = 300\nx_to = 400",
                               "starts at or beyond the reach's end")]:
        with pytest.raises(quarno.FitError, match=message):
            Config(strength_config(tmp_path / message[:8], RATES.replace(old, new, 1), deck))
    deck.set_environment([0.0], irradiance_W_per_m2=100.0)   # no temperature
    with pytest.raises(quarno.FitError, match="theta_w follows temperature_C, which"):
        Config(strength_config(tmp_path / "cold", RATES, deck))


def test_the_program_runs_sources_and_replays_the_flow_across_strengths(tmp_path):
    """The twin deck with an outfall: a bad forcing file fails the run with
    exit 1 naming the file; the outfall raises the concentration below it and
    not above it; a run with twice the strength replays the flow recorded at
    strength 1 (no note of another set-up) and equals the run that solves
    its own flow."""
    shutil.copytree(TWIN, tmp_path / "bad")
    (tmp_path / "bad" / "crforcing.toml").write_text(
        '[[source]]\nname = "a"\nx = 400.0\ntimes = [0]\ndischarge = [0]\nconcentration = [1]\n')
    with pytest.raises(quarno.QuarnoError) as e:
        quarno.run(tmp_path / "bad", ["--csv"])
    assert e.value.status == 1 and "crforcing.toml" in e.value.message

    plain = quarno.run(TWIN, ["--csv"], folder=tmp_path / "plain").observations
    deck = quarno.Deck.read(TWIN)
    deck.add_source("outfall", 150.0, [0.0], 0.002, concentration=500.0)
    record = tmp_path / "flow.qflow"
    one = quarno.run(deck, ["--csv", "--save-flow", record], folder=tmp_path / "one").observations
    def site(frame, x):
        return frame[frame.x_m == x]
    above, below = 105.0, 281.0
    # Above it only the flow changes a little (the outfall backs the water up).
    assert site(one, above).C.max() == pytest.approx(site(plain, above).C.max(), rel=1e-2)
    assert site(one, below).C.iloc[-1] > 1.5 * site(plain, below).C.iloc[-1]
    deck.set_source_strength("outfall", 2.0)
    replayed = quarno.run(deck, ["--csv", "--replay-flow", record], folder=tmp_path / "two")
    assert "another set-up" not in replayed.stderr
    solved = quarno.run(deck, ["--csv"], folder=tmp_path / "solved").observations
    assert replayed.observations.equals(solved)
    assert site(solved, below).C.iloc[-1] > site(one, below).C.iloc[-1]


@many_runs
@pytest.mark.parametrize("example, truth", [
    ("outfall", {"source.CSO 12.strength": 1.0, "source.Mill Brook.strength": 1.0}),
    ("summer-week", {"theta_w": 1.07, "light_alpha": 3e-7}),
])
def test_a_fit_on_a_recorded_flow_recovers_an_examples_truth(example, truth, tmp_path, capsys):
    """examples/outfall/fit.toml (the overflow's and the tributary's strengths
    from 0.3 and 3) and examples/summer-week/fit.toml (theta_w and light_alpha
    from 1.0 and 1e-6) back to the truth of their synthetic observations,
    every run replaying the flow recorded once. The fit stops once its
    parameters move by less than 1e-4 of their values: the polishing beyond
    that moves the estimates in their sixth digit and costs a third of the runs."""
    from quarno.cli import fit_main
    folder = tmp_path / example
    shutil.copytree(ROOT / "examples" / example, folder)
    config = (folder / "fit.toml").read_text()
    assert "\nmax_nfev = 30\n" in config and "xtol" not in config
    (folder / "fit.toml").write_text(config.replace("\nmax_nfev = 30\n",
                                                    "\nmax_nfev = 30\nxtol = 1e-4\n"))
    assert fit_main([str(folder / "fit.toml"), "--out", str(tmp_path / "fit")]) == 0
    assert "every run replays it" in capsys.readouterr().out
    with open(tmp_path / "fit" / "estimates.csv", newline="") as f:
        rows = {r["name"]: r for r in csv.DictReader(f)}
    for name, value in truth.items():
        low, high = float(rows[name]["lower95"]), float(rows[name]["upper95"])
        assert low < value < high and high / low < 1.3, (name, low, high)
