"""Tests of tools/quarno-plot and of the profile and balance readers it uses:
real runs of the uvas-reach example with and without --csv, the readers of
crOutput.txt held against the CSV files of the same run, and the tool's
files and error exits.

    /usr/bin/python3 tests/test_plot.py

The program is $QUARNO, or build/quarno in this repository.
"""

import contextlib
import io
import json
import math
import os
import shutil
import struct
import subprocess
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
TOOLS = ROOT / "tools"

from quarno.manifest import MANIFEST, file_entry  # noqa: E402
from quarno.results import (  # noqa: E402
    balance_series, read_balance_csv, read_balance_fixed, read_obs_positions, read_profiles_csv,
    read_profiles_fixed)

QUARNO = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())
HAVE_QUARNO = os.access(QUARNO, os.X_OK)
try:
    import matplotlib  # noqa: F401
    HAVE_MPL = True
except ImportError:
    HAVE_MPL = False

NEEDS_QUARNO = unittest.skipUnless(HAVE_QUARNO, f"no quarno program at {QUARNO} (set QUARNO)")
NEEDS_MPL = unittest.skipUnless(HAVE_MPL,
                                "matplotlib is not installed (Debian: python3-matplotlib)")
PLOTS = ("breakthrough_C.png", "profiles_flow.png", "profiles_concentration.png",
         "balance_errors.png")


def run_example(example, csv):
    """A temporary copy of an example deck, run; the folder."""
    folder = tempfile.mkdtemp(prefix="quarno-plot-test-")
    for name in ("crparam.txt", "crbicond.txt"):
        shutil.copy(ROOT / "examples" / example / name, folder)
    subprocess.run([QUARNO, "--no-pause", "--quiet"] + (["--csv"] if csv else []) + [folder],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    if csv and not os.path.exists(os.path.join(folder, MANIFEST)):
        write_manifest(folder)  # a program that writes none: its CSV files are this run's
    return folder


def write_manifest(folder):
    """A finished run's manifest listing the result files in `folder`."""
    files = [file_entry(os.path.join(folder, name)) for name in sorted(os.listdir(folder))
             if name.startswith("cr") and name not in ("crparam.txt", "crbicond.txt")]
    with open(os.path.join(folder, MANIFEST), "w") as f:
        f.write(json.dumps({"format": "quarno run manifest, version 1", "version": "0.5.0",
                            "arguments": ["--csv", folder], "folder": folder,
                            "started": "2026-12-10T04:00:00.000Z",
                            "ended": "2026-12-10T04:00:01.000Z", "state": "finished",
                            "exit_status": 0, "message": "", "files": files}))


def plot(*args):
    """The tool run as a user runs it: (exit status, stdout, stderr)."""
    p = subprocess.run([str(TOOLS / "quarno-plot"), *map(str, args)], capture_output=True,
                       text=True, stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout, p.stderr


def png_size(path):
    """(width, height) from the PNG header; fails on anything not a PNG."""
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        raise AssertionError(f"{path} is not a PNG file")
    return struct.unpack(">II", head[16:24])


class UvasRuns(unittest.TestCase):
    """One run of uvas-reach with --csv and one without, shared by the tests."""

    @classmethod
    def setUpClass(cls):
        if not HAVE_QUARNO:
            raise unittest.SkipTest(f"no quarno program at {QUARNO} (set QUARNO)")
        cls.full = run_example("uvas-reach", csv=True)
        cls.fixed = run_example("uvas-reach", csv=False)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.full, ignore_errors=True)
        shutil.rmtree(cls.fixed, ignore_errors=True)


class FixedReadersAgreeWithCsv(UvasRuns):
    def test_profiles_to_the_printed_digits(self):
        full = read_profiles_csv(os.path.join(self.full, "crProfiles.csv"))
        fixed = read_profiles_fixed(os.path.join(self.fixed, "crOutput.txt"))
        self.assertEqual(len(full), 4)  # three output times and the end of the schedule
        self.assertEqual(len(fixed), len(full))
        for a, b in zip(fixed, full):
            self.assertAlmostEqual(a["time_s"], b["time_s"], delta=5e-7 * b["time_s"])
            self.assertEqual(len(b["node"]["x_m"]), 61)
            self.assertEqual(len(a["cell"]["x_m"]), 60)
            for column, exact in b["cell"].items():
                self.assertEqual(len(a["cell"][column]), len(exact), column)
                for i, (p, e) in enumerate(zip(a["cell"][column], exact)):
                    # E12.4: four digits, the first one not zero
                    self.assertLessEqual(abs(p - e), 5.01e-4 * abs(e), (column, i, p, e))
        # Values that vary: the storage zone lags the stream at the first output.
        first = full[0]["cell"]
        self.assertGreater(first["C"][0] - first["Cs"][0], 1.0)

    def test_balances_to_the_printed_digits(self):
        full = read_balance_csv(os.path.join(self.full, "crBalance.csv"))
        fixed = read_balance_fixed(os.path.join(self.fixed, "crOutput.txt"))
        self.assertEqual([(r["balance"], r["term"]) for r in fixed],
                         [(r["balance"], r["term"]) for r in full])
        for a, b in zip(fixed, full):
            # E10.3 for the balance terms, F6.3 for the Froude number
            tol = 5e-4 if b["term"] == "Fr" else 5.01e-3 * abs(b["value"])
            self.assertLessEqual(abs(a["value"] - b["value"]), tol, (a, b))
        series = balance_series(fixed)
        self.assertEqual(set(series), {"water", "stream-water solute", "bed-sediment solute"})
        times, errors = series["stream-water solute"]
        self.assertEqual(len(times), 4)
        self.assertEqual(times, sorted(times))
        self.assertTrue(all(e > 0 for e in errors))

    def test_observation_positions_from_the_echo(self):
        self.assertEqual(read_obs_positions(self.fixed), [38.0, 105.0, 281.0])


class FixedReaderForms(unittest.TestCase):
    """Printed forms a real run seldom shows: three-digit exponents, a minus
    sign in the leading blank, asterisks; and a flow-only report."""

    def test_block_and_flow_only_report(self):
        row = "".join(f"  {v:>12}" for v in ("0.2500E+01", "0.1272E+00", "-0.8397E-01",
                                              "0.1068E-01", "0.1278E-01", "0.2899-185",
                                              "************", "0.0000E+00"))
        text = ("RESULTS\n \nTime= 0.3600821E+04\n\n"
                "       X(m)           h(m)          u(m/s)       q(m2/s)       Q(m3/s)"
                "         C           Cs           Cst\n\n" + row + "\n" + row + "\n\n"
                "     Froude number at X=0:  0.075\n\n\n     WATER BALANCE\n"
                " Initial storage (m3).....Wini=   0.426E+02\n"
                " Flow at X=0(m3).......... QX0=   0.461E+02\n"
                " Relative error(%)........ER_R=  -0.124E+01\n\n \n")
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "crOutput.txt")
            with open(path, "w") as f:
                f.write(text)
            blocks = read_profiles_fixed(path)
            rows = read_balance_fixed(path)
        self.assertEqual(len(blocks), 1)
        cell = blocks[0]["cell"]
        self.assertEqual(cell["x_m"], [2.5, 2.5])
        self.assertEqual(cell["u_m_per_s"][0], -0.08397)
        self.assertAlmostEqual(cell["C"][0], 0.2899e-185, delta=1e-195)
        self.assertTrue(math.isnan(cell["Cb"][0]))
        self.assertEqual([(r["balance"], r["term"], r["value"]) for r in rows],
                         [("inlet", "Fr", 0.075), ("water", "Wini", 42.6),
                          ("water", "QX0", 46.1), ("water", "ER_R", -1.24)])
        self.assertEqual(rows[-1]["time_s"], 3600.821)


@NEEDS_MPL
class PlotTool(UvasRuns):
    def check_plots(self, out, stdout, names=PLOTS):
        self.assertEqual([Path(line).name for line in stdout.split()], list(names))
        for name in names:
            width, height = png_size(os.path.join(out, name))
            self.assertGreater(width, 600, name)
            self.assertGreater(height, 300, name)
            self.assertGreater(os.path.getsize(os.path.join(out, name)), 15000, name)

    def test_plots_of_both_runs(self):
        for folder in (self.full, self.fixed):
            with self.subTest(folder=folder):
                status, out, err = plot(folder)
                self.assertEqual(status, 0, err)
                self.check_plots(os.path.join(folder, "plots"), out)

    def test_observations_and_options(self):
        with tempfile.TemporaryDirectory() as d:
            observed = os.path.join(d, "samples.csv")
            with open(observed, "w") as f:
                f.write("# chloride samples\nx_m,time_s,value,weight,group\n\n"
                        "38,3600,11.1,1,grab\n105.3,3600,10.5,0,auto\n500,3600,4,1,grab\n")
            status, out, err = plot("--observations", observed, "--time-offset-h", "9.5",
                                    "--variable", "Q", "--out", d, self.full)
            self.assertEqual(status, 0, err)
            self.check_plots(d, out, ("breakthrough_Q.png",) + PLOTS[1:])
            self.assertIn("X = 500 m match no observation site", err)  # 105.3 does match
            # A file as quarno-fit takes it, without a header, is drawn as well.
            with open(observed, "w") as f:
                f.write("38,3600,11.1\n500,3600,4,1,grab\n")
            status, out, err = plot("--observations", observed, "--out", d, self.full)
            self.assertEqual(status, 0, err)
            self.assertIn("X = 500 m match no observation site", err)

    def test_log_axes_discharge_panel_bands_and_units(self):
        from unittest import mock
        from quarno.cli import plot_main
        from quarno.results import read_obs_csv
        rows = [r for r in read_obs_csv(os.path.join(self.full, "crObsNode.csv"))
                if r["site"] == 2]
        with tempfile.TemporaryDirectory() as d:
            bands = os.path.join(d, "bands.csv")
            with open(bands, "w") as f:
                f.write("site,x_m,time_s,lower,median,upper\n")
                f.writelines(f"2,{r['x_m']},{r['time_s']},{r['C'] * 0.8},{r['C']},"
                             f"{r['C'] * 1.2}\n" for r in rows)
            figures = []
            with mock.patch("matplotlib.pyplot.close", side_effect=figures.append), \
                    contextlib.redirect_stdout(io.StringIO()) as out, \
                    contextlib.redirect_stderr(io.StringIO()) as err:
                status = plot_main(["--log", "--discharge", "--bands", bands, "--conc-unit",
                                    "mg/m³", "--out", d, self.full])
            self.assertEqual(status, 0, err.getvalue())
            self.check_plots(d, out.getvalue())
            figures = [f for f in figures if hasattr(f, "axes")]
            discharge, conc = figures[0].axes[:2]
            self.assertEqual(discharge.get_ylabel(), "Discharge Q (m³/s)")
            self.assertEqual(conc.get_ylabel(), "Stream-water concentration C (mg/m³)")
            self.assertEqual(conc.get_yscale(), "log")
            self.assertEqual(len(conc.collections), 1)  # one site's band
            legend = conc.get_legend()
            self.assertGreater(legend.get_window_extent().x0, conc.get_window_extent().x1)
            self.assertIn("uncertainty band", [t.get_text() for t in legend.get_texts()])
            self.assertEqual(figures[2].axes[0].get_yscale(), "log")  # concentration profiles

    def test_csv_files_of_another_run_are_not_read(self):
        # CSV files newer than the run's own files, but no manifest of the
        # run lists them: the fixed-column files are read.
        from quarno.plot import load_run
        with tempfile.TemporaryDirectory() as d:
            for name in os.listdir(self.fixed):
                if name.startswith("cr"):
                    shutil.copy2(os.path.join(self.fixed, name), d)
            for name in ("crObsNode.csv", "crProfiles.csv", "crBalance.csv"):
                shutil.copy(os.path.join(self.full, name), d)
            with contextlib.redirect_stderr(io.StringIO()) as err:
                run = load_run(d)
            self.assertEqual({Path(p).name for p in run["sources"].values()},
                             {"crOutput.txt", "crObsNode.txt"})
            self.assertIn("earlier run", err.getvalue())
            self.assertEqual(run["observations"][0]["x_m"], 38.0)

    def test_bad_input_exits_1_with_a_message(self):
        from quarno.cli import plot_main as main
        with tempfile.TemporaryDirectory() as d:
            bad = os.path.join(d, "bad.csv")
            with open(bad, "w") as f:
                f.write("x_m,time_s,value\n38,3600,high\n")
            cut = os.path.join(d, "cut")
            shutil.copytree(self.full, cut)
            with open(os.path.join(cut, "crObsNode.csv"), "rb+") as f:
                f.truncate(os.path.getsize(f.name) - 5)
            nobands = os.path.join(d, "nobands.csv")
            with open(nobands, "w") as f:
                f.write("x_m,time_s,lower\n")
            cases = [([d], "no results to plot"),
                     ([cut], "crObsNode.csv: changed since the run"),
                     (["--bands", nobands, self.fixed], "nobands.csv:1: the header has no "
                                                        "column upper"),
                     ([os.path.join(d, "missing")], "no such folder"),
                     (["--observations", bad, self.fixed],
                      "bad.csv, line 2: expected x_m,time_s,value"),
                     (["--variable", "Cs", "--out", d, self.fixed], "--csv")]
            for argv, message in cases:
                with self.subTest(argv=argv):
                    with contextlib.redirect_stderr(io.StringIO()) as err, \
                            contextlib.redirect_stdout(io.StringIO()):
                        self.assertEqual(main(argv), 1)
                    self.assertIn(message, err.getvalue())
            self.assertEqual(sorted(os.listdir(d)), ["bad.csv", "cut", "nobands.csv"])
            self.assertFalse(os.path.exists(os.path.join(cut, "plots")))  # nothing written


@NEEDS_MPL
@NEEDS_QUARNO
class FlowOnlyRun(unittest.TestCase):
    def test_no_concentration_plot_and_water_balance_only(self):
        folder = run_example("steady-reach", csv=False)
        self.addCleanup(shutil.rmtree, folder)
        status, out, err = plot("--variable", "h", folder)
        self.assertEqual(status, 0, err)
        self.assertEqual([Path(line).name for line in out.split()],
                         ["breakthrough_h.png", "profiles_flow.png", "balance_errors.png"])
        series = balance_series(read_balance_fixed(os.path.join(folder, "crOutput.txt")))
        self.assertEqual(list(series), ["water"])


if __name__ == "__main__":
    unittest.main()
