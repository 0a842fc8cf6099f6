"""quarno.run and Results on the real program (QUARNO, or the tree's build):
the tables from the CSV files and from the fixed-column files agree, a CSV
file of an earlier run is never read, and failures raise QuarnoError with
the program's exit status."""

import csv
import math
import os
import shutil
from pathlib import Path

import pandas
import pytest

import quarno

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "first-deck"
CSV_FILES = {"observations": "crObsNode.csv", "profiles": "crProfiles.csv",
             "balances": "crBalance.csv"}


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The first-deck example run with --csv and without, each in a folder
    of its own."""
    before = sorted(os.listdir(EXAMPLE))
    base = tmp_path_factory.mktemp("runs")
    full = quarno.run(EXAMPLE, ["--csv"], folder=base / "full")
    fixed = quarno.run(str(EXAMPLE), folder=base / "fixed")
    assert sorted(os.listdir(EXAMPLE)) == before  # the source folder gets no results
    return full, fixed


def _csv_rows(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def _close(a, b, rel):
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return abs(a - b) <= rel * max(abs(a), abs(b)) + 1e-30


# Table, the rows of the CSV table the fixed-column files also give, the
# columns compared and the relative tolerance of their printed digits.
TABLES = [
    ("observations", None, ("time_s", "site", "x_m", "h_m", "u_m_per_s", "Q_m3_per_s", "C",
                            "Cb"), 1e-4),
    ("profiles", ("kind", "cell"), ("index", "x_m", "h_m", "u_m_per_s", "q_m2_per_s",
                                    "Q_m3_per_s", "C", "Cb", "Cs"), 5e-4),
    ("balances", None, ("balance", "term", "value"), 5e-3),
]


@pytest.mark.parametrize("name,subset,columns,rel", TABLES, ids=[t[0] for t in TABLES])
def test_csv_and_fixed_tables_agree(runs, name, subset, columns, rel):
    full, fixed = runs
    table = getattr(full, name)
    head, rows = _csv_rows(full.folder / CSV_FILES[name])
    # From the CSV file: its head and its rows, every number to the bit.
    assert list(table.columns) == head
    assert len(table) == len(rows)
    for got, row in zip(table.itertuples(index=False), rows):
        for value, text in zip(got, row):
            if isinstance(value, str):
                assert value == text
            else:
                assert (math.isnan(value) and text == "") or value == float(text)
    # From the fixed-column files of the run without --csv: the same rows
    # within the printed digits, the columns of the CSV head.
    other = getattr(fixed, name)
    assert [c for c in other.columns if c != "datetime"] == [c for c in head
                                                             if c != "datetime"]
    if subset:
        table = table[table[subset[0]] == subset[1]]
    assert len(other) == len(table) > 0
    for column in columns:
        pairs = list(zip(table[column], other[column]))
        bad = [p for p in pairs if not _close(p[0], p[1], rel)]
        assert not bad, f"{column}: {len(bad)} of {len(pairs)} differ, first {bad[0]}"


def test_a_deck_object_runs_as_its_folder(runs, tmp_path):
    full, _ = runs
    res = quarno.run(quarno.Deck.read(EXAMPLE), ["--csv"], folder=tmp_path)
    assert res.observations.equals(full.observations)
    # Dated: `datetime` as pandas UTC datetimes, model time after the start.
    dated = quarno.run(EXAMPLE, ["--csv", "--start-date=2024-06-01T06:00"],
                       folder=tmp_path / "dated").observations
    assert str(dated["datetime"].dtype) == "datetime64[ns, UTC]"
    since = (dated["datetime"] - pandas.Timestamp("2024-06-01T06:00Z")).dt.total_seconds()
    assert (abs(since - dated["time_s"]) < 1e-3).all()
    assert dated.drop(columns="datetime").equals(full.observations)


def _with_inflow(src, dest, concentration):
    """A copy of the deck with the salt pulse at another concentration."""
    dest.mkdir(parents=True, exist_ok=True)
    shutil.copy(src / "crparam.txt", dest)
    text = (src / "crbicond.txt").read_text(encoding="latin-1")
    old = "    600.   0.306   1.      50."
    assert old in text
    (dest / "crbicond.txt").write_text(text.replace(old, f"    600.   0.306   1.      "
                                                    f"{concentration}."), encoding="latin-1")


def test_a_csv_file_of_an_earlier_run_is_never_read(tmp_path):
    # A run with --csv, then at once (well within a second, so that file
    # times cannot tell) one without it on a deck whose pulse is 80, not 50:
    # its results hold 80 at the inlet, whatever the CSV files left there.
    _with_inflow(EXAMPLE, tmp_path, 50)
    quarno.run(tmp_path, ["--csv"])
    _with_inflow(EXAMPLE, tmp_path, 80)
    res = quarno.run(tmp_path)
    inlet = res.observations[res.observations["site"] == 1]
    assert inlet["C"].max() == pytest.approx(80.0, rel=1e-4)
    # A folder read without knowing how it was run: a CSV file older than
    # crOutput.txt belongs to an earlier run; one as new is the run's.
    quarno.run(tmp_path, ["--csv"])
    report = os.path.getmtime(tmp_path / "crOutput.txt")
    for age, from_csv in ((0.0, True), (3600.0, False)):
        for name in CSV_FILES.values():
            os.utime(tmp_path / name, (report - age, report - age))
        res = quarno.Results(tmp_path)
        # Only the CSV file holds the storage-zone concentration Cs.
        assert res.observations["Cs"].notna().all() == from_csv, age
        assert ("node" in set(res.profiles["kind"])) == from_csv, age


def _program(folder, body):
    path = folder / "program"
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def test_failures_raise_quarno_error(tmp_path):
    bad = tmp_path / "bad"
    _with_inflow(EXAMPLE, bad, 50)
    text = (bad / "crparam.txt").read_text(encoding="latin-1")
    (bad / "crparam.txt").write_text(text.replace("  1  0  101", "  1  0  many"),
                                     encoding="latin-1")
    (tmp_path / "empty").mkdir()
    cases = [  # (deck, program, exit status, words of the message)
        (bad, None, 1, "crparam.txt"),
        (tmp_path / "empty", None, 1, "crparam.txt: cannot open"),
        (tmp_path / "missing", None, 1, "no such folder"),
        (EXAMPLE, _program(tmp_path, "echo 'cannot write crOutput.txt' >&2; exit 3"), 3,
         "cannot write crOutput.txt"),
        (EXAMPLE, _program(tmp_path / "empty", "kill -TERM $$"), 143, "SIGTERM"),
    ]
    for k, (deck, program, status, words) in enumerate(cases):
        with pytest.raises(quarno.QuarnoError) as caught:
            quarno.run(deck, folder=tmp_path / f"run{k}" if deck == EXAMPLE else None,
                       program=program)
        assert caught.value.status == status, (deck, caught.value)
        assert words in caught.value.message, (deck, caught.value)
    # Results of a folder never run, and of the failed run in "empty".
    (tmp_path / "never").mkdir()
    for folder, words in (("never", "no crObsNode.txt"), ("empty", "no Nobs")):
        with pytest.raises(quarno.QuarnoError, match=words):
            quarno.Results(tmp_path / folder).observations
