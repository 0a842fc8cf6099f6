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
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
for _root in (os.path.join(str(HERE.parents[1]), "python"),
              os.path.join(str(HERE.parents[1]), "..", "..", "..", "lib", "python3", "dist-packages")):
    if os.path.isdir(os.path.join(_root, "quarno")):
        sys.path.insert(0, os.path.abspath(_root))
        break
from quarno.deck import Deck  # noqa: E402
from quarno.run import default_program  # noqa: E402
from quarno.results import read_obs_csv  # noqa: E402

SITES = (2000.0, 3000.0, 4000.0)  # m: below the overflow, the tributary, the outlet
SPACING = 1200                    # s between samples
FIRST, LAST = 1200, 42000         # s, the first and last sample
SIGMA = 0.1                       # standard deviation of log(noise)
SEED = 2025


def true_series(program):
    """{x: (times, C)} of the deck run as it stands, at every record."""
    with tempfile.TemporaryDirectory(prefix="outfall-truth-") as tmp:
        Deck.read(HERE).write(tmp)
        subprocess.run([program, "--csv", "--no-pause", "--quiet", tmp], check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        rows = read_obs_csv(Path(tmp) / "crObsNode.csv")
    series = {}
    for r in rows:
        t, c = series.setdefault(r["x_m"], ([], []))
        t.append(r["time_s"])
        c.append(r["C"])
    return series


def interpolate(times, values, t):
    k = next((i for i, ti in enumerate(times) if ti >= t), len(times) - 1)
    if times[k] <= t or k == 0:
        return values[k]
    t0, t1 = times[k - 1], times[k]
    return values[k - 1] + (values[k] - values[k - 1]) * (t - t0) / (t1 - t0)


def main():
    import numpy as np
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", default=default_program())
    ap.add_argument("--out", default=str(HERE / "observations.csv"))
    args = ap.parse_args()
    series = true_series(args.program)
    rng = np.random.default_rng(SEED)
    lines = ["# Synthetic: this deck as it stands (every source at strength 1), times log-normal "
             f"noise (sigma {SIGMA}, seed {SEED}); make_observations.py",
             "x_m,time_s,value,weight,group"]
    for x in SITES:
        times, values = series[x]
        for t in range(FIRST, LAST + 1, SPACING):
            v = interpolate(times, values, t) * float(np.exp(SIGMA * rng.standard_normal()))
            lines.append(f"{x:g},{t},{v:.6g},{1 / v:.6g},x={x:g}")
    Path(args.out).write_text("\n".join(lines) + "\n", encoding="ascii")


if __name__ == "__main__":
    main()
