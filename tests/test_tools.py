"""Tests of the Python results reader: numbers as the program prints them, and
the fixed-column observation file read back against the program's own CSV
results on real runs (one position, five, and ten with continuation lines).

    python3 tests/test_tools.py QUARNO_EXE
"""

import math
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))

from quarno.results import OBS_COLUMNS, read_number, read_obs_csv, read_obs_fixed, read_observations  # noqa: E402

QUARNO = None


class ReadNumber(unittest.TestCase):
    def test_printed_forms(self):
        self.assertEqual(read_number("  0.12345E+02"), 12.345)
        self.assertEqual(read_number(" -0.1000E-01"), -0.01)
        self.assertEqual(read_number("1.5D3"), 1500.0)
        self.assertEqual(read_number("  42"), 42.0)
        self.assertAlmostEqual(read_number("0.28996-185"), 0.28996e-185, delta=1e-195)
        self.assertAlmostEqual(read_number("-0.15000+101"), -0.15e101, delta=1e91)
        self.assertEqual(read_number("-Infinity"), -math.inf)

    def test_unreadable_fields_are_nan(self):
        for text in ("*******", "NaN", "", "   ", "abc", "1.2.3"):
            self.assertTrue(math.isnan(read_number(text)), text)


class FixedAgainstCsv(unittest.TestCase):
    """Each golden deck run with --csv: every value read from crObsNode.txt
    agrees with the CSV value to the 5 printed digits."""

    def run_deck(self, deck):
        folder = tempfile.mkdtemp(prefix="quarno-tools-")
        self.addCleanup(shutil.rmtree, folder)
        for name in ("crparam.txt", "crbicond.txt"):
            shutil.copy(os.path.join(HERE, "data", "golden", deck, name), folder)
        subprocess.run([QUARNO, "--csv", "--no-pause", "--quiet", "--start-date", "2024-06-01",
                        folder], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        return folder

    def test_one_five_and_ten_positions(self):
        for deck, positions in (("deck-03", 1), ("deck-12", 5), ("deck-04", 10)):
            with self.subTest(deck=deck):
                folder = self.run_deck(deck)
                full = read_obs_csv(os.path.join(folder, "crObsNode.csv"))
                fixed = read_obs_fixed(os.path.join(folder, "crObsNode.txt"), positions)
                self.assertGreater(len(full), 0)
                self.assertEqual(len(fixed), len(full))
                for a, b in zip(fixed, full):
                    self.assertEqual(a["site"], b["site"])
                    self.assertEqual(set(b), set(OBS_COLUMNS) | {"datetime"})
                    self.assertRegex(b["datetime"], r"^2024-06-01T\d\d:\d\d:\d\d\.\d{3}Z$")
                    for key in ("time_s", "h_m", "u_m_per_s", "Q_m3_per_s", "C", "Cb"):
                        tol = 0.5e-5 * abs(b[key]) * 10 + 1e-300
                        self.assertLessEqual(abs(a[key] - b[key]), tol, (deck, key, a, b))
                # Without the CSV file the folder is read from the fixed columns.
                os.remove(os.path.join(folder, "crObsNode.csv"))
                self.assertEqual(read_observations(folder)[-1]["site"], positions)


if __name__ == "__main__":
    QUARNO = sys.argv.pop(1)
    unittest.main()
