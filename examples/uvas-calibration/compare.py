#!/usr/bin/python3
"""Compare a run of the Uvas Creek deck with the observed chloride.

    compare.py RUN_FOLDER [--observations FILE] [--published FILE]

For every site, the root-mean-square difference between model and
observation over the observations of observations.csv (8.25 h to 24 h clock),
as a fraction of the 7.7 mg/L plateau rise (11.4 - 3.7 mg/L). The model
series (crObsNode.csv, or crObsNode.txt without --csv) and the published
model's series (published-model.csv) are both interpolated linearly to the
observation times; observations outside a series' time span are left out of
that series' figure (n counts the observations used by the run). Prints one
row per site: site, n, RMSE of the run, RMSE of the published model.
"""

import argparse
import csv
import math
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The package quarno: of this source tree, or of the installation that holds
# this example (PREFIX/share/doc/quarno/examples/NAME beside PREFIX/lib).
for _root in (os.path.join(os.path.dirname(os.path.dirname(HERE)), "python"),
              os.path.join(os.path.dirname(os.path.dirname(HERE)), "..", "..", "..", "lib", "python3", "dist-packages")):
    if os.path.isdir(os.path.join(_root, "quarno")):
        sys.path.insert(0, os.path.abspath(_root))
        break
from quarno.results import read_observations  # noqa: E402

PLATEAU_RISE = 11.4 - 3.7   # mg/L
SITE_TOLERANCE = 0.01       # m: how close a run's position must be to a site


def read_long_csv(path):
    """{x_m: ([time_s], [value])} from an x_m,time_s,value file ('#' lines skipped)."""
    series = {}
    with open(path, newline="") as f:
        rows = csv.DictReader(line for line in f if not line.startswith("#"))
        for r in rows:
            times, values = series.setdefault(float(r["x_m"]), ([], []))
            times.append(float(r["time_s"]))
            values.append(float(r["value"]))
    return series


def interpolate(times, values, t):
    """Linear interpolation in a time series sorted by time; None outside it."""
    if not times or t < times[0] or t > times[-1]:
        return None
    lo, hi = 0, len(times) - 1
    while hi - lo > 1:
        mid = (lo + hi) // 2
        if times[mid] <= t:
            lo = mid
        else:
            hi = mid
    if times[hi] == times[lo]:
        return values[lo]
    w = (t - times[lo]) / (times[hi] - times[lo])
    return values[lo] + w * (values[hi] - values[lo])


def relative_rmse(series, obs_times, obs_values, scale=PLATEAU_RISE):
    """(n, RMSE / scale) of the series against the observations it spans."""
    if series is None:
        return 0, math.nan
    times, values = series
    sq = []
    for t, v in zip(obs_times, obs_values):
        m = interpolate(times, values, t)
        if m is not None:
            sq.append((m - v) ** 2)
    if not sq:
        return 0, math.nan
    return len(sq), math.sqrt(sum(sq) / len(sq)) / scale


def run_series(folder, variable="C"):
    """{x_m: ([time_s], [value])} of one column of a run's observation records."""
    series = {}
    for r in read_observations(folder):
        times, values = series.setdefault(r["x_m"], ([], []))
        times.append(r["time_s"])
        values.append(r[variable])
    return series


def site_series(series, x):
    for xs, s in series.items():
        if abs(xs - x) <= SITE_TOLERANCE:
            return s
    return None


def compare(run_folder, observations, published):
    """Rows (site, n, rmse_run, rmse_published) for every site of the observations."""
    obs = read_long_csv(observations)
    run = run_series(run_folder)
    pub = read_long_csv(published) if published and os.path.exists(published) else {}
    rows = []
    for x in sorted(obs):
        times, values = obs[x]
        n, e_run = relative_rmse(site_series(run, x), times, values)
        _, e_pub = relative_rmse(site_series(pub, x), times, values)
        rows.append((x, n, e_run, e_pub))
    return rows


def main(argv=None):
    p = argparse.ArgumentParser(description="Per-site RMSE of a Uvas Creek run against the observations.")
    p.add_argument("run_folder")
    p.add_argument("--observations", default=os.path.join(HERE, "observations.csv"))
    p.add_argument("--published", default=os.path.join(HERE, "published-model.csv"))
    args = p.parse_args(argv)
    try:
        rows = compare(args.run_folder, args.observations, args.published)
    except (OSError, ValueError, KeyError) as e:
        print(f"compare.py: {e}", file=sys.stderr)
        return 1
    print(f"RMSE as a fraction of the {PLATEAU_RISE:.1f} mg/L plateau rise")
    print(f"{'site (m)':>9} {'n':>4} {'RMSE run':>10} {'RMSE published':>15}")
    for x, n, e_run, e_pub in rows:
        print(f"{x:9g} {n:4d} {e_run:10.4f} {e_pub:15.4f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
