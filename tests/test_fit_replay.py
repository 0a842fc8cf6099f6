"""Tests of quarno-fit's flow record (recorded once, replayed by every run,
the estimates unchanged; none for a flow parameter; a mismatch noted) and of
the storm-calibration example's observations.

    /usr/bin/python3 tests/test_fit_replay.py   (program: $QUARNO or build/quarno)
"""

import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

from test_fit import QUARNO, ROOT, parameter, run_tool, twin_folder, write_config

EXAMPLE = ROOT / "examples" / "storm-calibration"


def logging_program(folder, name, deck_edit=""):
    """A program that appends its arguments to FOLDER/NAME.log, optionally
    rewrites the deck of a replaying run (Python code using `deck`, the
    crparam.txt text), then runs the real program."""
    log = Path(folder) / f"{name}.log"
    log.write_text("")
    program = Path(folder) / f"{name}-program"
    program.write_text(
        f"#!{sys.executable}\nimport os, sys\n"
        f"with open({str(log)!r}, 'a') as f:\n    f.write(' '.join(sys.argv[1:]) + '\\n')\n"
        "path = os.path.join(sys.argv[-1], 'crparam.txt')\n"
        "if '--replay-flow' in sys.argv and os.path.exists(path):\n"
        "    deck = open(path).read()\n"
        f"    {deck_edit or 'pass'}\n"
        "    open(path, 'w').write(deck)\n"
        f"os.execv({QUARNO!r}, [{QUARNO!r}] + sys.argv[1:])\n")
    program.chmod(0o755)
    return program, log


def model_runs(log):
    """The argument lists of the model runs the log holds (not --help)."""
    return [line.split() for line in log.read_text().splitlines() if "--help" not in line]


class FlowRecord(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = twin_folder("quarno-fit-replay-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def fit(self, name, params, model_extra="", deck_edit="", extra_fit=""):
        program, log = logging_program(self.folder, name, deck_edit)
        config = write_config(self.folder, params, program=program, extra_fit=extra_fit,
                              name=f"{name}.toml")
        if model_extra:
            config.write_text(config.read_text().replace("[observations]",
                                                         model_extra + "\n[observations]"))
        out = self.folder / name
        proc = run_tool(config, "--out", str(out))
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        return proc, out, model_runs(log)

    def test_replayed_fit_equals_the_solved_one(self):
        params = [parameter("aL", 1.5, 0.01, 100), parameter("Alfa", 6e-4, 1e-6, 0.1)]
        proc, out, runs = self.fit("replay", params)
        record = out.resolve() / "flow" / "flow.qflow"
        saves = [r for r in runs if "--save-flow" in r]
        self.assertEqual(len(saves), 1)
        self.assertEqual(saves[0][saves[0].index("--save-flow") + 1], str(record))
        others = [r for r in runs if "--save-flow" not in r]
        self.assertGreater(len(others), 4)
        for r in others:
            self.assertEqual(r[r.index("--replay-flow") + 1], str(record))
        self.assertIn(f"flow record: {record}", proc.stdout)
        summary = (out / "summary.txt").read_text()
        self.assertIn("runs that did not match it: 0", summary)

        _, solved, runs = self.fit("solve", params, "replay_flow = false")
        self.assertFalse([r for r in runs if "--replay-flow" in r or "--save-flow" in r])
        self.assertFalse((solved / "flow").exists())
        for name in ("estimates.csv", "fit_series.csv", "correlation.csv"):
            self.assertEqual((out / name).read_text(), (solved / name).read_text(), name)

        # Again with replay: the record and every run come from the cache.
        proc, _, runs = self.fit("replay", params)
        self.assertEqual(runs, [])
        self.assertIn("from the cache", proc.stdout)

    def test_a_flow_parameter_or_a_mismatch_means_solving_the_flow(self):
        proc, out, runs = self.fit("rough", [parameter("Rough", 0.06, 0.01, 0.2)],
                                   extra_fit="max_nfev = 2")
        self.assertIn("flow record: none, the flow depends on the fitted Rough 0-300",
                      proc.stdout)
        self.assertFalse([r for r in runs if "--replay-flow" in r or "--save-flow" in r])
        self.assertFalse((out / "flow").exists())
        self.assertIn("flow: solved by every run", (out / "summary.txt").read_text())
        # Replaying runs handed a rougher channel than the record's: each
        # notes the mismatch and solves its own flow; the fit goes on.
        proc, out, runs = self.fit("mismatch", [parameter("aL", 1.5, 0.01, 100)],
                                   deck_edit="deck = deck.replace('0.08', '0.09')",
                                   extra_fit="max_nfev = 2")
        self.assertRegex(proc.stdout, r"flow record: the run in .* did not match it")
        self.assertTrue(any("--replay-flow" in r for r in runs))
        summary = (out / "summary.txt").read_text()
        made = int(re.search(r"runs made: (\d+)", summary).group(1))
        self.assertIn(f"runs that did not match it: {made - 1}", summary)


class StormCalibrationExample(unittest.TestCase):
    def test_observations_are_reproduced(self):
        with tempfile.TemporaryDirectory(prefix="quarno-storm-obs-") as tmp:
            made = Path(tmp) / "observations.csv"
            subprocess.run([sys.executable, str(EXAMPLE / "make_observations.py"),
                            "--program", QUARNO, "--out", str(made)], check=True)
            self.assertEqual(made.read_text(), (EXAMPLE / "observations.csv").read_text())


if __name__ == "__main__":
    unittest.main()
