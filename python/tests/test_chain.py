"""quarno.run_chain on the real program: two days of 15-minute rows cut into
links joins back to the unsplit run's tables, digit for digit; bad splits,
refused options and a failed link are QuarnoErrors."""

import subprocess

import numpy
import pandas
import pytest

import quarno
from conftest import ROOT

START = ["--start-date", "2024-06-01T00:00:00Z"]


@pytest.fixture(scope="module")
def record(tmp_path_factory):
    """Two days of 15-minute rows on a 2 km reach of 21 nodes, output times
    every 4.8 hours (none at the 6-hour splits), and its unsplit run."""
    base = tmp_path_factory.mktemp("record")
    subprocess.run([ROOT / "scripts" / "long-record-deck", "21", "2000", "192", "900", "10", "3",
                    str(base / "deck")], check=True)
    return base, quarno.run(base / "deck", START, folder=base / "full", progress=False)


@pytest.mark.parametrize("split_at,ends", [
    ("6h", [21600.0 * k for k in range(1, 8)]),
    ([43200.0, 86400.0], [43200.0, 86400.0]),
    (["2024-06-02T00:00:00Z"], [86400.0]),
    ([], []),
], ids=["every 6 h", "seconds", "datetimes", "one link"])
def test_links_join_to_the_unsplit_run(record, split_at, ends, tmp_path):
    base, full = record
    chain = quarno.run_chain(base / "deck", split_at, tmp_path, START, progress=False)
    assert len(chain.links) == len(ends) + 1
    for name in ("observations", "profiles", "balances"):
        pandas.testing.assert_frame_equal(getattr(chain, name), getattr(full, name),
                                          check_exact=True, obj=name)
    # Every link but the last ends with its own profile and balance at its
    # split, which the unsplit run has only where the split is an output
    # time (86400 s; the joined tables hold it once, the others not at all).
    outputs = set(quarno.Deck.read(base / "deck").table("TOut")["TOut"])
    for link, end in zip(chain.links, ends):
        assert link.profiles["time_s"].max() == end
        assert link.balances["time_s"].max() == end
        assert (end in set(full.profiles["time_s"])) == (end in outputs) == (end == 86400.0)
    ds = chain.to_xarray()
    assert numpy.array_equal(ds["time_s"].values, numpy.unique(full.observations["time_s"]))
    assert ds["time"].values[0] > numpy.datetime64("2024-06-01T00:00:00")


def test_what_a_chain_refuses(record, tmp_path):
    base, _ = record
    fails = tmp_path / "fails"
    fails.write_text(f"#!/bin/sh\ncase \"$*\" in *--initial-state*) echo 'state refused' >&2; "
                     f"exit 1;; esac\nexec {quarno.default_program()} \"$@\"\n")
    fails.chmod(0o755)
    cases = [  # (split_at, options, program, error, words)
        ([1000.0], START, None, quarno.DeckError, "nearest: 900.0 s, 1800.0 s"),
        ([172800.0], START, None, quarno.DeckError, "not the end of a schedule row"),
        ([1800.0, 900.0], START, None, quarno.DeckError, "must increase"),
        (["2024-06-02"], [], None, quarno.DeckError, "need the run's start date"),
        ([900.0], ["--steady-flow"], None, quarno.DeckError, "--steady-flow cannot"),
        ([900.0], ["--save-state=s"], None, quarno.DeckError, "--save-state=s cannot"),
        ([43200.0], START, str(fails), quarno.RunError, "link-02 of the chain"),
    ]
    for k, (split_at, options, program, error, words) in enumerate(cases):
        with pytest.raises(error, match=words):
            quarno.run_chain(base / "deck", split_at, tmp_path / f"c{k}", options, program,
                             progress=False)
    # The link before the failed one stays, with its results and state.
    kept = quarno.Results(tmp_path / f"c{len(cases) - 1}" / "link-01")
    assert kept.profiles["time_s"].max() == 43200.0
    assert (tmp_path / f"c{len(cases) - 1}" / "link-01.state").is_file()
