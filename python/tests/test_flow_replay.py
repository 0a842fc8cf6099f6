"""Runs on a recorded flow: every golden deck and every example is run in
full with --save-flow; then its transport parameters are changed and the
changed deck is run both in full and replaying the record. The two must
write the same files and console to the last byte, and the change must show
in the results (or the test would prove nothing).

With QUARNO_SLOW_RUNS=1 (a build whose runs are slow, under the sanitizers)
the examples are left out (the golden decks and the rough Uvas reach stay).
"""

import os
import shutil
import subprocess

import pytest

from conftest import PROGRAM, ROOT
from quarno.deck import Deck

RESULTS = ("crOutput.txt", "crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv")
# Factors on the transport columns; none of them reaches the flow.
FACTORS = {"aL": 1.5, "Re": 2.0, "TauCR": 0.7, "f": 0.8, "Vs": 1.5, "Alfa": 2.0, "Kdw": 1.5,
           "Kds": 1.5}
SLOW_RUNS = os.environ.get("QUARNO_SLOW_RUNS") == "1"


def deck_folders():
    """The folders of every golden deck and example."""
    return [f for f in sorted((ROOT / "tests" / "data" / "golden").iterdir())
            + sorted((ROOT / "examples").iterdir()) if (f / "crparam.txt").is_file()]


def rough_head():
    """The Uvas reach with Manning's n = 1 on its first 250 m: the step
    controller shows "Stepsize smaller than minimum." during the run, which
    a replay must show at the same places."""
    uvas = ROOT / "examples" / "uvas-reach"
    param = (uvas / "crparam.txt").read_text(encoding="latin-1")
    a, b = param.index("NRough"), param.index("NGW")
    return param[:a] + "NRough\n3\nX n\n0. 1.\n250. 0.03\n300. 0.03\n" + param[b:]


def start(folder, *options):
    return subprocess.Popen([PROGRAM, "--csv", "--no-pause", *options], cwd=folder, text=True,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)


def finish(proc):
    out, err = proc.communicate()
    return proc.returncode, out, err


def with_other_transport(param_text):
    deck = Deck(param_text)
    if "NTrPar" not in deck.tables:
        return param_text
    columns = deck.tables["NTrPar"]["columns"]
    changes = []
    for name, factor in FACTORS.items():
        rows = columns[name]
        for k, tok in enumerate(rows):
            x = deck.tables["NTrPar"]["x"][k]
            changes.append((name, x, x + 1e-3, tok.value * factor))
    return deck.edited(changes)


def check_replay(param, bicond, work):
    """Records the flow of `param`, runs the deck with other transport
    parameters in full and on the record, and checks that both write the
    same; returns the full run's console."""
    record = work / "flow.qflow"
    folders = {}
    # A deck's forcing file and the series files beside it go along.
    extras = [f for f in bicond.parent.glob("*") if f.name == "crforcing.toml"
              or (f.suffix == ".csv" and (bicond.parent / "crforcing.toml").is_file())]
    for name in ("recorded", "full", "replayed"):
        folders[name] = work / name
        folders[name].mkdir(parents=True)
        for f in [bicond, *extras]:
            shutil.copy(f, folders[name])
    changed = with_other_transport(param)
    (folders["recorded"] / "crparam.txt").write_text(param, encoding="latin-1")
    for name in ("full", "replayed"):
        (folders[name] / "crparam.txt").write_text(changed, encoding="latin-1")

    # The recording run and the full run of the changed deck are independent.
    recording = start(folders["recorded"], "--save-flow", str(record))
    full = finish(start(folders["full"]))
    recorded = finish(recording)
    assert recorded[0] == 0, recorded[2]
    assert record.is_file()
    replayed = finish(start(folders["replayed"], "--replay-flow", str(record)))
    assert replayed[0] == full[0], replayed[2]
    assert "note:" not in replayed[2]  # the record matched: nothing was solved
    assert replayed[1:] == full[1:]
    for name in RESULTS:
        assert (folders["replayed"] / name).read_bytes() == \
            (folders["full"] / name).read_bytes(), name
    if changed != param:
        assert (folders["full"] / "crObsNode.csv").read_bytes() != \
            (folders["recorded"] / "crObsNode.csv").read_bytes(), \
            "the changed transport parameters changed nothing"
    return full[1]


@pytest.mark.slow
@pytest.mark.parametrize("folder", deck_folders(), ids=lambda f: f"{f.parent.name}/{f.name}")
def test_replay_is_the_full_run(folder, tmp_path):
    if SLOW_RUNS and folder.parent.name == "examples":
        pytest.skip("the program's runs are slow here")
    check_replay((folder / "crparam.txt").read_text(encoding="latin-1"),
                 folder / "crbicond.txt", tmp_path)


@pytest.mark.slow
def test_replay_shows_the_step_controllers_messages_where_the_full_run_does(tmp_path):
    console = check_replay(rough_head(), ROOT / "examples" / "uvas-reach" / "crbicond.txt",
                           tmp_path)
    assert console.count("Stepsize smaller than minimum.") == 15
