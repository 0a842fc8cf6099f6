"""Decks read, edited, built from data and written: every character that is
not edited survives, edits read back as set, bad values are refused without
touching the deck, and the real program runs a deck built from a gauge
series with its schedule, sites and output times."""

import math
from pathlib import Path

import numpy
import pytest

import quarno
from quarno.build import normal_depth

ROOT = Path(__file__).resolve().parents[2]
DECKS = sorted(ROOT.glob("examples/*/crbicond.txt")) + sorted(
    ROOT.glob("tests/data/golden/*/crbicond.txt"))
STORM = ROOT / "examples" / "storm-calibration"
FILES = ("crparam.txt", "crbicond.txt")


@pytest.mark.parametrize("folder", [p.parent for p in DECKS],
                         ids=[p.parent.name for p in DECKS])
def test_a_deck_written_unchanged_is_byte_identical(folder, tmp_path):
    deck = quarno.Deck.read(folder)
    deck.write(tmp_path)
    for name in FILES:
        assert (tmp_path / name).read_bytes() == (folder / name).read_bytes(), name


# The inlet depths the example decks were written with, worked out by hand to
# three decimals (storm-calibration's schedule, steady-reach's guide example).
NORMAL_DEPTHS = [("storm-calibration", 1.0, 0.254), ("storm-calibration", 5.0, 0.694),
                 ("storm-calibration", 20.0, 1.727), ("steady-reach", 10.0, 0.919),
                 ("steady-reach", 0.0, 0.0)]


@pytest.mark.parametrize("example,Q,h", NORMAL_DEPTHS)
def test_normal_depth_of_the_first_segment(example, Q, h):
    assert normal_depth(quarno.Deck.read(ROOT / "examples" / example), Q) == pytest.approx(
        h, abs=5e-4)


# Edits on a deck with repeat factors, commas and a count written as 3*1
# (golden deck-09) and on a plain one: each reads back as set, and the lines
# outside the edited block stay as they were.
EDITS = [
    ("sites", lambda d: d.set_sites([0.0, 12.5]), "XObs", [0.0, 12.5]),
    ("no sites", lambda d: d.set_sites([]), "XObs", []),
    ("output times", lambda d: d.set_output_times([60.0, 120.0, 180.0]), "TOut",
     [60.0, 120.0, 180.0]),
    # A row at time 0 covers no time and is left out.
    ("schedule", lambda d: d.set_schedule([0, 100, 250], [3.0, 4.0, 5.0], 7.0, 0.5), "QBC",
     [4.0, 5.0]),
    ("roughness", lambda d: d.set("Rough", 0.042), "Rough", None),
]


@pytest.mark.parametrize("folder", [ROOT / "tests/data/golden/deck-09", STORM],
                         ids=["deck-09", "storm"])
@pytest.mark.parametrize("what,edit,column,expected", EDITS, ids=[e[0] for e in EDITS])
def test_edits_read_back_and_keep_the_rest(folder, what, edit, column, expected, tmp_path):
    deck = quarno.Deck.read(folder)
    edit(deck)
    deck.write(tmp_path)
    again = quarno.Deck.read(tmp_path)
    values = list(again.table(column)[column])
    if expected is None:  # a reach edit over the whole table
        expected = [0.042] * len(values)
    assert values == expected
    if column == "QBC":
        sched = again.table("TBC")
        assert list(sched["TBC"]) == [100.0, 250.0]
        assert list(sched["hBC"]) == [0.5] * 2 and list(sched["CBC"]) == [7.0] * 2
    old = (folder / "crbicond.txt").read_text("latin-1").splitlines()
    new = (tmp_path / "crbicond.txt").read_text("latin-1").splitlines()
    block = deck._bic.blocks
    edited_table = next((t for t, b in block.items() if column in b.columns), None)
    if edited_table is None:  # crparam.txt edited: crbicond.txt untouched
        assert new == old
        return
    original = quarno.Deck.read(folder)._bic.blocks[edited_table]
    before, after = original.count.line, len(old) - original.end
    assert new[:before] == old[:before]  # everything before the count
    assert new[len(new) - after:] == old[len(old) - after:]  # and after the rows
    if column == "XObs" and not expected:  # no list and no heading left
        assert new[-1].split()[0] == "0"


REFUSED = [
    ("unknown column", lambda d: d.set("Width", 9.0), "cannot be set"),
    ("not finite", lambda d: d.set("Rough", math.nan), "cannot write"),
    ("empty reach", lambda d: d.set("Rough", 0.03, x_from=5000, x_to=6000), "no row"),
    ("times not increasing", lambda d: d.set_schedule([0, 50, 50], [1, 1, 1]), "increase"),
    ("lengths differ", lambda d: d.set_schedule([0, 50], [1, 1, 1]), "3 values for 2"),
    ("negative discharge", lambda d: d.set_schedule([0, 50], [1, -1]), "negative"),
    ("infinite depth", lambda d: d.set_schedule([0, 50], [1, 1], depth=math.inf), "finite"),
    ("before the start",
     lambda d: d.set_schedule(["2024-06-01T00:00", "2024-06-01T01:00"], [1, 1],
                              start="2024-06-01T00:30"), "before the start"),
    ("seconds with a start", lambda d: d.set_schedule([0, 50], [1, 1], start="2024-06-01"),
     "only with datetimes"),
    ("site beyond L", lambda d: d.set_sites([100.0, 2000.5]), "outside the reach"),
    ("output times decreasing", lambda d: d.set_output_times([600, 300]), "increase"),
    ("no output time", lambda d: d.set_output_times([]), "at least one"),
    ("negative Q", lambda d: normal_depth(d, -1.0), "not negative"),
]


@pytest.mark.parametrize("what,edit,message", REFUSED, ids=[r[0] for r in REFUSED])
def test_bad_values_are_refused_and_lose_nothing(what, edit, message):
    deck = quarno.Deck.read(STORM)
    before = (deck.text, deck.bicond)
    with pytest.raises(quarno.DeckError, match=message):
        edit(deck)
    assert (deck.text, deck.bicond) == before


def test_a_deck_without_its_bicond_file_cannot_be_written(tmp_path):
    deck = quarno.Deck((STORM / "crparam.txt").read_text("latin-1"))
    with pytest.raises(quarno.DeckError, match="no crbicond.txt"):
        deck.write(tmp_path)
    assert not any(tmp_path.iterdir())


def test_a_deck_built_from_a_gauge_series_runs(tmp_path):
    """A storm hydrograph at 30-minute steps with dates, sites at the inlet and
    two more, two output times: the run ends at the last gauge time, the inlet
    site carries each scheduled discharge by the end of its interval, and the
    sites, output times and dates are the ones set."""
    import pandas
    deck = quarno.Deck.read(STORM)
    stamps = pandas.date_range("2024-06-01T06:00", periods=7, freq="30min")
    Q = [1.0, 1.0, 3.0, 6.0, 4.0, 2.0, 2.0]
    start = deck.set_schedule(list(stamps.to_pydatetime()), Q, concentration=2.0e4)
    assert start == "2024-06-01T06:00:00+00:00"
    deck.set_sites([0.0, 700.0, 1800.0])
    deck.set_output_times([1800.0, 5400.0])
    res = quarno.run(deck, ["--csv", "--start-date", start], folder=tmp_path)
    obs = res.observations
    assert sorted(set(obs["x_m"])) == [0.0, 700.0, 1800.0]
    assert obs["time_s"].max() == pytest.approx(10800.0, abs=60.0)
    assert obs["datetime"].iloc[0].isoformat().startswith("2024-06-01T06:0")
    inlet = obs[obs["site"] == 1]
    for k in range(1, 7):  # the last record of each 30-minute interval
        last = inlet[inlet["time_s"] <= 1800.0 * k].iloc[-1]
        assert last["Q_m3_per_s"] == pytest.approx(Q[k], rel=0.02), k
    times = sorted(set(res.profiles["time_s"]))
    assert times == pytest.approx([1800.0, 5400.0, 10800.0], abs=60.0)


def test_a_reach_edit_splits_the_table_and_acts_only_downstream(tmp_path):
    """A row added inside a segment changes no result; a value set over the
    lower half of the storm reach (a split at 1000 m) leaves the upper sites'
    concentrations as they were, within the reach of dispersion."""
    base = quarno.run(STORM, ["--csv"], folder=tmp_path / "base").observations
    deck = quarno.Deck.read(STORM)
    assert deck.split("TauCR", 1000.0) and not deck.split("TauCR", 1000.00005)
    assert list(deck.table("TauCR")["X"]) == [0.0, 1000.0, 2000.0]
    split = quarno.run(deck, ["--csv"], folder=tmp_path / "split").observations
    assert split.equals(base)
    deck = quarno.Deck.read(STORM)
    assert deck.set("TauCR", 5.0, x_from=1000.0, x_to=2000.0) == [1, 2]
    assert list(deck.table("TauCR")["TauCR"]) == [1.25, 5.0, 5.0]
    lower = quarno.run(deck, ["--csv"], folder=tmp_path / "lower").observations
    peak = {x: (base[base.x_m == x].C.max(), lower[lower.x_m == x].C.max()) for x in (500, 2000)}
    assert peak[500][1] == pytest.approx(peak[500][0], rel=1e-6)
    assert peak[2000][1] < 0.9 * peak[2000][0]  # less resuspended below 1000 m


def _reach(length=6000.0):
    """A 10 m wide reach of the study's length, made from nothing."""
    return quarno.Deck.new(length, 61, 10.0, 0.001, 0.035, transport={})


def _hours(tz="UTC"):
    import pandas
    return pandas.date_range("2024-06-01T01:00", periods=3, freq="h", tz=tz)


# The study's mistakes (what was done, the QuarnoWarning or DeckError it
# draws) and a clean use of the same calls that draws nothing.
MISTAKES = [
    ("clean", lambda d: (d.set_start_date("2024-06-01T00:00Z"), d.set_schedule(_hours(), 2.0),
                         d.set_sites([0.0, 500.0, 6000.0])), None, None),
    ("Q in L/s", lambda d: d.set_schedule([3600.0], 1500.0), quarno.QuarnoWarning,
     r"1500 m3/s is \d+ times the bankfull .* L/s"),
    ("Q and C swapped", lambda d: d.set_schedule([3600.0, 7200.0], [5.0e6, 4.0e6], 2.0),
     quarno.DeckError, "deeper than any river"),
    ("swapped, no deck", lambda d: quarno.normal_depth(5.0e6, width_m=10.0, slope=0.001,
                                                       manning_n=0.035),
     quarno.DeckError, "deeper than any river"),
    ("naive schedule", lambda d: d.set_schedule(_hours(None), 2.0), quarno.QuarnoWarning,
     "taken as UTC"),
    ("naive start", lambda d: d.set_start_date("2024-06-01T00:00"), quarno.QuarnoWarning,
     "taken as UTC"),
    ("sites in km", lambda d: d.set_sites([0.5, 2.0, 6.0]), quarno.QuarnoWarning,
     "sites given in km"),
    ("length in km", lambda d: _reach(6.0).set_sites([500.0, 6000.0]), quarno.DeckError,
     "metres against a length given in km"),
    ("start differs", lambda d: (d.set_start_date("2024-05-01T00:00Z"),
                                 d.set_schedule(_hours(), 2.0, start="2024-06-01T00:00Z")),
     quarno.DeckError, "differs from the deck's start date"),
]


@pytest.mark.parametrize("what,action,raised,message", MISTAKES, ids=[m[0] for m in MISTAKES])
def test_plausibility_checks_catch_the_studys_mistakes(what, action, raised, message):
    import warnings
    deck = _reach()
    if raised is None:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            action(deck)
        assert deck.start_date.isoformat() == "2024-06-01T00:00:00+00:00"
        assert list(deck.table("TBC")["TBC"]) == [3600.0, 7200.0, 10800.0]
    elif raised is quarno.QuarnoWarning:
        with pytest.warns(quarno.QuarnoWarning, match=message):
            action(deck)
    else:
        with pytest.raises(raised, match=message):
            action(deck)


def test_a_deck_from_nothing_reads_back_and_runs_steady_at_normal_depth(tmp_path):
    """Channel values given as a Series, pairs and two arrays; a schedule
    whose row at time 0 only opens it: the initial flow is the normal depth
    of the next row's discharge, the run ends with it, and the real program
    keeps that flow uniform, closes the water balance and decays the inlet
    concentration by Kdw over the travel time."""
    import pandas
    L, Q, Kdw = 2000.0, 3.0, 1.0e-4
    deck = quarno.Deck.new(L, 41, pandas.Series([8.0, 8.0], index=[0.0, L]), [(0.0, 0.001)],
                           ([0.0, 500.0], [0.03, 0.03]), transport={"Kdw": Kdw})
    with pytest.raises(quarno.DeckError, match="no schedule yet"):
        deck.write(tmp_path / "early")
    deck.set_schedule([0.0, 7200.0], [5.0, Q], concentration=100.0)
    deck.set_sites([0.0, L / 2, L])
    h = normal_depth(Q, width_m=8.0, slope=0.001, manning_n=0.03)
    assert normal_depth(Q, deck) == normal_depth(deck, Q) == h
    deck.write(tmp_path / "deck")
    back = quarno.Deck.read(tmp_path / "deck")
    assert (back.text, back.bicond, back.forcing_files()) == (deck.text, deck.bicond, {})
    assert set(back.table("h")["h"]) == {h} and list(back.table("TOut")["TOut"]) == [7200.0]
    assert (back.ntr, back.value("Kdw", 0), back.value("Kds", 0), back.value("TauCR", 0)) == (
        1, Kdw, 0.0, 1.0)
    res = quarno.run(back, ["--csv"], folder=tmp_path / "run")
    end = res.profiles[res.profiles["time_s"] == res.profiles["time_s"].max()]
    cells = end[end["kind"] == "cell"]
    assert cells["h_m"].to_numpy() == pytest.approx(h, rel=5e-3)
    assert cells["Q_m3_per_s"].to_numpy() == pytest.approx(Q, rel=5e-3)
    bal = res.balances
    last = bal[bal["time_s"] == bal["time_s"].max()]
    water = last[(last["balance"] == "water") & (last["term"] == "ER_R")]["value"]
    assert abs(float(water.iloc[0])) < 0.1  # per cent
    u = Q / (8.0 * h)
    inner = cells.iloc[:-1]  # the last cell feels the free outflow
    assert inner["C"].to_numpy() == pytest.approx(
        100.0 * numpy.exp(-Kdw * inner["x_m"].to_numpy() / u), rel=0.01)

def _program_reads_deck_table():
    """Whether the program's --describe lists the concentration units, as
    one that reads the forcing file's [deck] table does."""
    import json
    import subprocess
    from conftest import PROGRAM
    try:
        out = subprocess.run([PROGRAM, "--describe"], capture_output=True, text=True, timeout=60)
        return out.returncode == 0 and "units" in json.loads(out.stdout)
    except (OSError, ValueError, subprocess.SubprocessError):
        return False


@pytest.mark.skipif(not _program_reads_deck_table(),
                    reason="the program does not read the forcing file's [deck] table")
def test_the_deck_table_is_edited_in_place_read_back_and_used_by_the_program(tmp_path):
    import json
    import pandas
    from quarno.contract import FORCING_FILE, MANIFEST_FILE
    deck = quarno.Deck.read(ROOT / "examples" / "outfall")
    handwritten = deck.forcing_files()[FORCING_FILE]
    deck.set_start_date("2024-06-01T06:30:00+02:00")
    deck.set_concentration_unit("CFU / 100mL")
    assert deck.start_date == pandas.Timestamp("2024-06-01T04:30Z")
    assert deck.concentration_unit == quarno.Unit.parse("CFU/100 mL")
    edited = deck.forcing_files()[FORCING_FILE]
    assert edited.startswith(handwritten) and edited.count(b"[deck]") == 1
    deck.set_concentration_unit("MPN/100 mL")
    assert deck.forcing_files()[FORCING_FILE] == edited.replace(b'unit = "CFU/', b'unit = "MPN/')
    deck.write(tmp_path / "deck")
    back = quarno.Deck.read(tmp_path / "deck")
    assert (back.start_date, back.concentration_unit) == (deck.start_date,
                                                          deck.concentration_unit)
    res = quarno.run(back, ["--csv"], folder=tmp_path / "run")
    manifest = json.loads((tmp_path / "run" / MANIFEST_FILE).read_text())
    assert (manifest["start_date"], manifest["concentration_unit"]) == (
        "2024-06-01T04:30:00.000Z", "MPN/100 mL")
    first = res.profiles.iloc[0]
    assert first["datetime"] == deck.start_date + pandas.Timedelta(seconds=first["time_s"])
    plain = quarno.Deck.new(100.0, 11, 2.0, 0.01, 0.04, concentration_unit="mg/L")
    plain.set_concentration_unit(None)
    assert plain.forcing_files() == {} and plain.concentration_unit is None
