#!/usr/bin/python3
"""Synthetic E. coli observations for the outfall example.

Runs this folder's deck as it stands (the true strengths of its sources are
those of crforcing.toml: 1), samples the stream concentration C at the sites
below the overflow (2000, 3000 and 4000 m) every SPACING seconds, multiplies
each value by log-normal noise exp(SIGMA * z), z standard normal from numpy's
default generator seeded with SEED, and writes observations.csv
(x_m,time_s,value,weight,group; weight 1/value, so that the fit weighs
relative errors, as multiplicative noise calls for).

    /usr/bin/python3 make_observations.py [--program QUARNO] [--out FILE]

The program defaults to $QUARNO, else the tree's build/quarno, else the one
installed beside the package, else quarno on PATH.
"""

import argparse
import os
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The package quarno: of this source tree, or of the installation that holds
# this example (PREFIX/share/doc/quarno/examples/NAME beside PREFIX/lib).
for _root in (os.path.join(str(HERE.parents[1]), "python"),
              os.path.join(str(HERE.parents[1]), "..", "..", "..", "lib", "python3", "dist-packages")):
    if os.path.isdir(os.path.join(_root, "quarno")):
        sys.path.insert(0, os.path.abspath(_root))
        break
from quarno.run import default_program  # noqa: E402
from quarno.synthetic import write_observations  # noqa: E402

SITES = (2000.0, 3000.0, 4000.0)  # m: below the overflow, the tributary, the outlet
SPACING = 1200                    # s between samples
FIRST, LAST = 1200, 42000         # s, the first and last sample
SIGMA = 0.1                       # standard deviation of log(noise)
SEED = 2025
NOTE = (f"Synthetic: this deck as it stands (every source at strength 1), times log-normal noise "
        f"(sigma {SIGMA}, seed {SEED}); make_observations.py")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", default=default_program())
    ap.add_argument("--out", default=str(HERE / "observations.csv"))
    args = ap.parse_args()
    write_observations(HERE, args.program, args.out, SITES, range(FIRST, LAST + 1, SPACING),
                       SIGMA, SEED, NOTE)


if __name__ == "__main__":
    main()
