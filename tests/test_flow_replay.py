"""Runs on a recorded flow: every golden deck and every example is run in
full with --save-flow; then its transport parameters are changed and the
changed deck is run both in full and replaying the record. The two must
write the same files and console to the last byte, and the change must show
in the results (or the test would prove nothing).

    /usr/bin/python3 tests/test_flow_replay.py      (program: $QUARNO or build/quarno)

With QUARNO_SLOW_RUNS=1 (a build whose runs are slow, under the sanitizers)
the examples are left out (the golden decks and the rough Uvas reach stay).
"""

import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

from quarno.deck import Deck  # noqa: E402

QUARNO = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())
RESULTS = ("crOutput.txt", "crObsNode.txt", "crObsNode.csv", "crProfiles.csv", "crBalance.csv")
# Factors on the transport columns; none of them reaches the flow.
FACTORS = {"aL": 1.5, "Re": 2.0, "TauCR": 0.7, "f": 0.8, "Vs": 1.5, "Alfa": 2.0, "Kdw": 1.5,
           "Kds": 1.5}


def decks():
    """(name, crparam.txt text, crbicond.txt path) of every deck replayed."""
    for folder in sorted((HERE / "data" / "golden").iterdir()) + sorted((ROOT / "examples").iterdir()):
        if (folder / "crparam.txt").is_file():
            yield (f"{folder.parent.name}/{folder.name}",
                   (folder / "crparam.txt").read_text(encoding="latin-1"), folder / "crbicond.txt")
    # The Uvas reach with Manning's n = 1 on its first 250 m: the step
    # controller shows "Stepsize smaller than minimum." during the run, which
    # a replay must show at the same places.
    uvas = ROOT / "examples" / "uvas-reach"
    param = (uvas / "crparam.txt").read_text(encoding="latin-1")
    a, b = param.index("NRough"), param.index("NGW")
    yield ("rough-head", param[:a] + "NRough\n3\nX n\n0. 1.\n250. 0.03\n300. 0.03\n" + param[b:],
           uvas / "crbicond.txt")


def run(folder, *options):
    done = subprocess.run([QUARNO, "--csv", "--no-pause", *options], cwd=folder, text=True,
                          stdin=subprocess.DEVNULL, capture_output=True)
    return done.returncode, done.stdout, done.stderr


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


class ReplayIsTheFullRun(unittest.TestCase):
    def test_every_golden_deck_and_example(self):
        root = Path(tempfile.mkdtemp(prefix="quarno-replay-"))
        try:
            for name, param, bicond in decks():
                if os.environ.get("QUARNO_SLOW_RUNS") == "1" and name.startswith("examples/"):
                    print(f"{name}: left out, the program's runs are slow here")
                    continue
                with self.subTest(deck=name):
                    self.check_deck(param, bicond, root / name.replace("/", "-"))
                    if name == "rough-head":
                        console = (root / name / "full-console.txt").read_text()
                        self.assertEqual(console.count("Stepsize smaller than minimum."), 15)
        finally:
            shutil.rmtree(root)

    def check_deck(self, param, bicond, work):
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

        recorded = run(folders["recorded"], "--save-flow", str(record))
        full = run(folders["full"])
        replayed = run(folders["replayed"], "--replay-flow", str(record))
        self.assertEqual(recorded[0], 0, recorded[2])
        self.assertTrue(record.is_file())
        self.assertEqual(replayed[0], full[0], replayed[2])
        self.assertNotIn("note:", replayed[2])  # the record matched: nothing was solved
        self.assertEqual(replayed[1:], full[1:])
        (work / "full-console.txt").write_text(full[1])
        for name in RESULTS:
            self.assertEqual((folders["replayed"] / name).read_bytes(),
                             (folders["full"] / name).read_bytes(), name)
        if changed != param:
            self.assertNotEqual((folders["full"] / "crObsNode.csv").read_bytes(),
                                (folders["recorded"] / "crObsNode.csv").read_bytes(),
                                "the changed transport parameters changed nothing")


if __name__ == "__main__":
    unittest.main()
