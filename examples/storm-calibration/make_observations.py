#!/usr/bin/python3
"""Synthetic E. coli observations for the storm-calibration example.

Runs this folder's deck with the true bed-exchange values written in (TRUTH),
samples the stream concentration C at the four sites every SPACING seconds,
multiplies each value by log-normal noise exp(SIGMA * z), z standard normal
from numpy's default generator seeded with SEED, and writes observations.csv
(x_m,time_s,value,weight,group; weight 1/value, so that the fit weighs
relative errors, as multiplicative noise calls for).

    /usr/bin/python3 make_observations.py [--program QUARNO] [--out FILE]

The program defaults to $QUARNO, else the tree's build/quarno, else the one
installed beside the package, else quarno on PATH.
"""

import argparse
import os
import shutil
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The package quarno: of this source tree, or of the installation that holds
# this example (PREFIX/share/doc/quarno/examples/NAME beside PREFIX/lib).
for _root in (os.path.join(str(HERE.parents[1]), "python"),
              os.path.join(str(HERE.parents[1]), "..", "..", "..", "lib", "python3", "dist-packages")):
    if os.path.isdir(os.path.join(_root, "quarno")):
        sys.path.insert(0, os.path.abspath(_root))
        break
from quarno.deck import Deck  # noqa: E402
from quarno.run import default_program  # noqa: E402
from quarno.synthetic import write_observations  # noqa: E402

# The values the observations are made with: those of the storm-resuspension
# example. The deck in this folder holds the fit's start, a factor 2 off each.
TRUTH = {"Re": 1.0e-4, "TauCR": 2.5, "Vs": 1.0e-4}
SITES = (500.0, 1000.0, 1500.0, 2000.0)  # m, the deck's observation positions
SPACING = 600                            # s between samples
FIRST, LAST = 600, 21000                 # s, the first and last sample
SIGMA = 0.1                              # standard deviation of log(noise)
SEED = 2024


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", default=default_program())
    ap.add_argument("--out", default=str(HERE / "observations.csv"))
    args = ap.parse_args()
    note = ("Synthetic: the deck run with " + ", ".join(f"{k} = {v:g}" for k, v in TRUTH.items())
            + f", times log-normal noise (sigma {SIGMA}, seed {SEED}); make_observations.py")
    with tempfile.TemporaryDirectory(prefix="storm-truth-") as tmp:
        text = Deck.read(HERE / "crparam.txt").edited(
            [(name, 0.0, 1e9, value) for name, value in TRUTH.items()])
        Path(tmp, "crparam.txt").write_text(text, encoding="latin-1")
        shutil.copy(HERE / "crbicond.txt", tmp)
        write_observations(tmp, args.program, args.out, SITES, range(FIRST, LAST + 1, SPACING),
                           SIGMA, SEED, note)


if __name__ == "__main__":
    main()
