"""Decks read, edited, built from data and written: every character that is
not edited survives, edits read back as set, bad values are refused without
touching the deck, and the real program runs a deck built from a gauge
series with its schedule, sites and output times."""

import math
from pathlib import Path

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
    ("schedule", lambda d: d.set_schedule([0, 100, 250], [3.0, 4.0, 5.0], 7.0, 0.5), "QBC",
     [3.0, 4.0, 5.0]),
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
        assert list(sched["TBC"]) == [0.0, 100.0, 250.0]
        assert list(sched["hBC"]) == [0.5] * 3 and list(sched["CBC"]) == [7.0] * 3
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
