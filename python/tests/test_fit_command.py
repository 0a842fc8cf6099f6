"""Tests of quarno-fit: the deck editor on the example decks, a twin
experiment that recovers known parameters with the real program, resuming from
the run cache, configuration errors and failed runs.

    /usr/bin/python3 tests/test_fit.py        (program: $QUARNO or build/quarno)
"""

import csv
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

from quarno.deck import Deck, DeckError  # noqa: E402
from quarno.results import read_obs_csv  # noqa: E402

QUARNO = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())
TOOL = ROOT / "tools" / "quarno-fit"
TRUTH = {"aL": 3.0, "Alfa": 3.0e-4, "f": 0.5}  # the values written in tests/fit-twin


def run_quarno(folder):
    subprocess.run([QUARNO, "--csv", "--no-pause", "--quiet", str(folder)], check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def run_tool(config, *args):
    return subprocess.run([sys.executable, str(TOOL), str(config), *args], text=True,
                          capture_output=True, stdin=subprocess.DEVNULL)


def parameter(name, initial, lower, upper, x_from=0.0, x_to=300.0, log=True):
    return (f"[[parameter]]\nname = \"{name}\"\nx_from = {x_from}\nx_to = {x_to}\n"
            f"initial = {initial}\nlower = {lower}\nupper = {upper}\n"
            f"log = {'true' if log else 'false'}\n")


def write_config(folder, params, program=None, extra_fit="", name="fit.toml"):
    prog = f'program = "{program}"\n' if program else f'program = "{QUARNO}"\n'
    text = (f'[model]\ndeck = "deck"\n{prog}options = ["--threads", "1"]\n'
            '[observations]\nfile = "obs.csv"\nvariable = "C"\n'
            f'[fit]\nworkers = 2\n{extra_fit}\n' + "".join(params))
    path = Path(folder) / name
    path.write_text(text)
    return path


def twin_folder(prefix):
    """A folder holding the twin deck and observations sampled from its own
    run at 105 and 281 m every 300 s."""
    folder = Path(tempfile.mkdtemp(prefix=prefix))
    shutil.copytree(HERE / "fit-twin", folder / "truth")
    run_quarno(folder / "truth")
    rows = read_obs_csv(folder / "truth" / "crObsNode.csv")
    shutil.copytree(HERE / "fit-twin", folder / "deck")
    with open(folder / "obs.csv", "w") as f:
        f.write("# synthetic: the twin deck run with its own values\nx_m,time_s,value\n")
        for site, x in ((2, 105.0), (3, 281.0)):
            series = [(r["time_s"], r["C"]) for r in rows if r["site"] == site]
            for t in range(600, 8701, 300):
                k = next(i for i, (ti, _) in enumerate(series) if ti >= t)
                (t0, c0), (t1, c1) = series[k - 1], series[k]
                f.write(f"{x},{t},{c0 + (c1 - c0) * (t - t0) / (t1 - t0)!r}\n")
    return folder


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def echo_transport_rows(results):
    """The transport-parameter rows echoed in crOutput.txt, as floats."""
    lines = Path(results).read_text(encoding="latin-1").splitlines()
    k = next(i for i, line in enumerate(lines) if line.lstrip().startswith("X(m)    aL"))
    rows = []
    for line in lines[k + 2:]:
        if not line.strip():
            break
        rows.append([float(v.replace("D", "E")) for v in line.split()])
    return rows


class TwinExperiment(unittest.TestCase):
    """Observations made by the model from known aL, Alfa and f; a fit started
    a factor 2 away recovers them, and a second fit is served by the cache."""

    @classmethod
    def setUpClass(cls):
        cls.folder = twin_folder("quarno-fit-twin-")
        params = [parameter("aL", 1.5, 0.01, 100), parameter("Alfa", 6e-4, 1e-6, 0.1),
                  parameter("f", 0.25, 0.01, 5)]
        cls.config = write_config(cls.folder, params)
        cls.first = run_tool(cls.config)
        cls.out = cls.folder / "fit"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def test_recovers_the_true_values(self):
        self.assertEqual(self.first.returncode, 0, self.first.stderr)
        est = {r["name"]: r for r in read_csv(self.out / "estimates.csv")}
        for name, truth in TRUTH.items():
            self.assertAlmostEqual(float(est[name]["value"]) / truth, 1.0, delta=0.01, msg=name)
            self.assertLessEqual(float(est[name]["lower95"]), float(est[name]["value"]))
        # Progress lines on the console, one per evaluation and Jacobian.
        self.assertRegex(self.first.stdout, r"jacobian: 3 columns, cost [0-9.e+-]+")

    def test_result_files(self):
        series = read_csv(self.out / "fit_series.csv")
        self.assertEqual(len(series), 56)
        worst = max(abs(float(r["modelled"]) - float(r["observed"])) for r in series)
        self.assertLess(worst, 0.01)
        sites = {r["group"]: r for r in read_csv(self.out / "sites.csv")}
        self.assertEqual(set(sites), {"x=105", "x=281"})
        self.assertEqual(sites["x=281"]["n"], "28")
        # The peak arrives later downstream, in the data and in the model.
        self.assertGreater(float(sites["x=281"]["modelled_peak_time_s"]),
                           float(sites["x=105"]["modelled_peak_time_s"]))
        corr = read_csv(self.out / "correlation.csv")
        self.assertEqual([r[""] for r in corr], ["aL 0-300", "Alfa 0-300", "f 0-300"])
        # best/ is a runnable deck holding the estimates, with its results.
        best = Deck.read(self.out / "best" / "crparam.txt")
        self.assertAlmostEqual(best.value("aL", 0), 3.0, delta=0.03)
        self.assertTrue((self.out / "best" / "crObsNode.csv").is_file())
        summary = (self.out / "summary.txt").read_text()
        made = int(re.search(r"runs made: (\d+)", summary).group(1))
        self.assertGreater(made, 4)
        self.assertIn("failed runs: 0", summary)

    def test_a_parameter_held_by_its_bound_is_flagged(self):
        # The truth, aL = 3, lies beyond the upper bound: the fit stops there
        # and says that the range it reports does not hold.
        # Kds, the die-off in a bed the chloride never reaches, changes
        # nothing: the data cannot determine it, and the fit says so and
        # still reports.
        params = [parameter("aL", 1.5, 0.01, 2.0), parameter("Alfa", 6e-4, 1e-6, 0.1),
                  parameter("Kds", 1e-6, 1e-9, 1e-3)]
        config = write_config(self.folder, params, name="bounded.toml")
        out = self.folder / "bounded"
        done = run_tool(config, "--out", str(out))
        self.assertEqual(done.returncode, 0, done.stderr)
        est = {r["name"]: r for r in read_csv(out / "estimates.csv")}
        self.assertAlmostEqual(float(est["aL"]["value"]), 2.0, delta=1e-6)
        summary = (out / "summary.txt").read_text()
        self.assertIn("aL 0-300 ends at its upper bound", summary)
        self.assertNotIn("Alfa 0-300 ends at", summary)
        self.assertIn("Kds 0-300: the data cannot determine it", summary)
        self.assertIn("Kds", est)

    def test_second_fit_makes_no_new_runs(self):
        again = run_tool(self.config)
        self.assertEqual(again.returncode, 0, again.stderr)
        summary = (self.out / "summary.txt").read_text()
        self.assertIn("runs made: 0\n", summary)
        self.assertRegex(summary, r"runs from the cache: [1-9]")

    def test_failed_runs_are_counted_and_the_fit_goes_on(self):
        # A program that fails for Alfa above 4.5e-4: the fit, starting at
        # 4e-4, meets failures on its way and still ends at the truth.
        wrapper = self.folder / "flaky"
        wrapper.write_text(
            f"#!{sys.executable}\nimport os, sys\nsys.path.insert(0, {str(ROOT / 'python')!r})\n"
            "from quarno.deck import Deck\n"
            "deck = Deck.read(os.path.join(sys.argv[-1], 'crparam.txt'))\n"
            "if deck.value('Alfa', 0) > 4.5e-4:\n"
            "    sys.stderr.write('The flow solution cannot advance at t = 1 s.\\n')\n"
            "    sys.exit(2)\n"
            f"os.execv({QUARNO!r}, [{QUARNO!r}] + sys.argv[1:])\n")
        wrapper.chmod(0o755)
        params = [parameter("aL", 1.5, 0.01, 100), parameter("Alfa", 4.4e-4, 1e-6, 0.1)]
        config = write_config(self.folder, params, program=wrapper, name="flaky.toml")
        out = self.folder / "flaky-fit"
        proc = run_tool(config, "--out", str(out))
        self.assertEqual(proc.returncode, 0, proc.stderr)
        summary = (out / "summary.txt").read_text()
        failed = int(re.search(r"failed runs: (\d+)", summary).group(1))
        self.assertGreater(failed, 0)
        self.assertIn("cannot advance", summary)

    def test_failure_at_the_start_is_reported(self):
        params = [parameter("Alfa", 5e-4, 1e-6, 0.1)]
        program = self.folder / "failing"
        program.write_text("#!/bin/sh\necho 'The flow solution became non-finite' >&2\nexit 2\n")
        program.chmod(0o755)
        config = write_config(self.folder, params, program=program, name="failing.toml")
        proc = run_tool(config, "--out", str(self.folder / "failing-fit"))
        self.assertEqual(proc.returncode, 2)
        self.assertIn("became non-finite", proc.stderr)
        self.assertIn("exit 2", proc.stderr)


class DeckEditor(unittest.TestCase):
    EXAMPLES = sorted((ROOT / "examples").glob("*/crparam.txt"))

    def test_values_change_only_where_asked(self):
        for path in self.EXAMPLES:
            deck = Deck.read(path)
            with self.subTest(deck=path.parent.name):
                # The same values again: the very same bytes.
                self.assertEqual(deck.edited([("Rough", 0, 1e9, deck.value("Rough", 0))]),
                                 deck.text)
                new = Deck(deck.edited([("Rough", 0, 1e9, 0.0421)]))
                self.assertEqual(new.tables["NRough"]["columns"]["Rough"][0].value, 0.0421)
                for table, content in deck.tables.items():
                    for col, toks in content["columns"].items():
                        if col != "Rough":
                            self.assertEqual([t.value for t in toks],
                                             [t.value for t in new.tables[table]["columns"][col]])
                old_lines, new_lines = deck.text.splitlines(), new.text.splitlines()
                self.assertEqual(len(old_lines), len(new_lines))
                changed = [(a, b) for a, b in zip(old_lines, new_lines) if a != b]
                self.assertEqual(len(changed), 2)  # both rows of the roughness table
                for a, b in changed:  # only the number differs
                    old, new_ = a.split(), b.split()
                    self.assertEqual(new_[1], "0.0421")
                    self.assertEqual(old[:1] + old[2:], new_[:1] + new_[2:])
                    self.assertTrue(b.startswith(a[:a.index(old[1])]))

    def test_rows_per_sub_segment_and_reach_edges(self):
        text = (ROOT / "examples" / "uvas-reach" / "crparam.txt").read_text()
        rows = [f"  {x}   3.0   0.   5.0   0.5   0.   3.0e-4   0.   0.   0.01   0.05   1600."
                for x in ("0.", "3.", "6.", "8.99995", "12.00005", "15.", "300.")]
        head, _, _ = text.partition("NTrPar")
        lines = text[len(head):].splitlines()
        deck = Deck(head + "\n".join([lines[0], "  7", lines[2]] + rows) + "\n")
        # Rows at 3 and 6 are in [3, 9); the row just short of 9 starts the
        # segment of nodes beyond 9 and so belongs to [9, 12), and the row
        # just beyond 12 to the reach after it.
        self.assertEqual(deck.rows_in("aL", 3.0, 9.0), [1, 2])
        self.assertEqual(deck.rows_in("aL", 9.0, 12.0), [3])
        self.assertEqual(deck.rows_in("aL", 12.0, 15.0), [4])
        self.assertEqual(deck.rows_in("aL", 6.0, 1000.0), [2, 3, 4, 5, 6])
        edited = Deck(deck.edited([("aL", 3.0, 12.0, 7.5)]))
        self.assertEqual([edited.value("aL", k) for k in range(7)],
                         [3.0, 7.5, 7.5, 7.5, 3.0, 3.0, 3.0])

    def test_repeat_factors_are_written_out(self):
        text = (ROOT / "examples" / "first-deck" / "crparam.txt").read_text()
        text = text.replace("     0.   2.   0.   1.   0.1   0.   0.   0.   0.   0.   0.05",
                            "     0.   2.   0.   1.   0.1   5*0.   0.05")
        deck = Deck(text)
        self.assertEqual(deck.value("Kdw", 0), 0.0)
        edited = Deck(deck.edited([("Alfa", 0, 500, 2e-4)]))
        self.assertEqual([edited.value(c, 0) for c in ("Vs", "Alfa", "Kdw", "Hb")],
                         [0.0, 2e-4, 0.0, 0.05])
        self.assertIn("0. 0.0002 0. 0. 0.", edited.text)
        with self.assertRaises(DeckError):
            Deck(text.replace("  2\nX  aL", "  x\nX  aL"))

    def test_the_program_reads_the_edited_deck(self):
        folder = Path(tempfile.mkdtemp(prefix="quarno-fit-deck-"))
        self.addCleanup(shutil.rmtree, folder)
        shutil.copytree(HERE / "fit-twin", folder, dirs_exist_ok=True)
        deck = Deck.read(folder / "crparam.txt")
        text = deck.edited([("aL", 0, 150, 2.125), ("Alfa", 0, 300, 1.5e-05),
                            ("Rough", 0, 300, 0.061)])
        (folder / "crparam.txt").write_text(text, encoding="latin-1")
        run_quarno(folder)
        rows = echo_transport_rows(folder / "crOutput.txt")
        self.assertEqual([r[1] for r in rows], [2.125, 3.0])     # aL: first row only
        self.assertEqual([r[6] for r in rows], [1.5e-5, 1.5e-5])  # Alfa: the whole reach
        results = (folder / "crOutput.txt").read_text(encoding="latin-1")
        self.assertIn("0.610E-01", results)


class ConfigErrors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = twin_folder("quarno-fit-config-")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def check(self, params, expected, obs=None, extra_fit=""):
        if obs is not None:
            (self.folder / "obs.csv").write_text(obs)
        config = write_config(self.folder, params, extra_fit=extra_fit)
        proc = run_tool(config, "--out", str(self.folder / "out"))
        self.assertEqual(proc.returncode, 1, proc.stdout + proc.stderr)
        self.assertEqual(len(proc.stderr.strip().splitlines()), 1, proc.stderr)
        self.assertIn(expected, proc.stderr)

    def test_errors(self):
        good = parameter("aL", 2.0, 0.1, 10)
        cases = [
            ([parameter("Dispersion", 2.0, 0.1, 10)], "unknown parameter name 'Dispersion'"),
            ([good.replace("lower = 0.1\n", "")], "missing key 'lower'"),
            ([parameter("aL", 20.0, 0.1, 10)], "initial value 20 lies outside the bounds"),
            ([parameter("aL", 2.0, -1, 10)], "log parameter needs a positive lower bound"),
            ([parameter("aL", 2.0, 0.1, 10, x_from=100.0, x_to=200.0)],
             "parameter 'aL 100-200': no row of the NTrPar table"),
            ([good, parameter("aL", 2.0, 0.1, 10, x_from=0.0, x_to=150.0)
              .replace('name = "aL"', 'name = "aL"\nlabel = "aL upper"')], "overlap"),
            ([good], "unknown key 'worker'", None, "worker = 2"),
        ]
        for params, expected, *rest in cases:
            with self.subTest(expected=expected):
                self.check(params, expected, *rest)

    def test_observations_the_model_cannot_match(self):
        good = [parameter("aL", 2.0, 0.1, 10)]
        with self.subTest("no site"):
            self.check(good, "no model observation position within 0.5 m of x = 200",
                       obs="x_m,time_s,value\n105,600,3.7\n200,600,3.7\n")
        with self.subTest("after the record"):
            self.check(good, "line 3 (t = 99999 s)",
                       obs="x_m,time_s,value\n105,600,3.7\n105.3,99999,3.7\n")


@unittest.skipUnless(shutil.which("parallel"), "GNU parallel is not installed")
class GnuParallel(unittest.TestCase):
    def test_fit_through_parallel(self):
        folder = twin_folder("quarno-fit-parallel-")
        self.addCleanup(shutil.rmtree, folder)
        config = write_config(folder, [parameter("aL", 1.5, 0.01, 100)],
                              extra_fit='launcher = "parallel"\nparallel_args = ["--halt", "never"]')
        proc = run_tool(config)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        est = read_csv(folder / "fit" / "estimates.csv")
        self.assertAlmostEqual(float(est[0]["value"]), 3.0, delta=0.03)


if __name__ == "__main__":
    unittest.main()
