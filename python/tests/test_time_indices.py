"""Sobol indices over time through the whole sampler, on an analytic stand-in
for the program: a storm passes, one parameter sets the concentration at base
flow and another during the flood, a third does nothing."""

import math
import shutil
from pathlib import Path

import numpy as np
import pytest

from quarno.sample import SampleConfig, Sampler

TWIN = Path(__file__).resolve().parents[2] / "tests" / "fit-twin"
BOUNDS = {"Alfa": (1e-4, 1e-3), "aL": (0.5, 5.0), "TSS": (0.001, 1.0)}
TIMES = np.arange(0.0, 18001.0, 60.0)       # 301 records: a subset of 200 is used
X = np.array([0.0, 105.0, 281.0])
PEAK, WIDTH = 9000.0, 1500.0


def storm(t, x):
    """The flood's share of the flow, 0 at base flow, 1 at the peak."""
    return np.exp(-((t - x - PEAK) / WIDTH) ** 2)


def concentration(t, x, values):
    """C: 1 + Alfa's position in its range at base flow, + 3 x aL's during the flood."""
    u = {n: math.log10(v / BOUNDS[n][0]) / math.log10(BOUNDS[n][1] / BOUNDS[n][0])
         for n, v in values.items()}
    w = storm(t, x)
    return 1.0 + u["Alfa"] * (1.0 - w) + 3.0 * u["aL"] * w


class StormEngine:
    """The engine's interface: each sample's site series from the formulas."""

    asked = None

    def map(self, items, deck, options=(), variables=("C",), on_result=None):
        StormEngine.asked = tuple(variables)
        out = []
        for i, edits in items:
            values = {name: value for name, _, _, value in edits}
            series = {"C": np.array([concentration(TIMES, x, values) for x in X]),
                      "Q_m3_per_s": np.array([1.0 + 9.0 * storm(TIMES, x) for x in X])}
            out.append({"sample": i, "status": 0, "message": "", "flow": "replayed",
                        "time": TIMES, "site": np.array([1, 2, 3]), "x": X,
                        "series": {v: series[v] for v in variables}})
        return out


@pytest.fixture(scope="module")
def stormy(tmp_path_factory):
    """A sampling of the stand-in with every quantity over time: its folder."""
    import matplotlib
    matplotlib.use("Agg")
    base = tmp_path_factory.mktemp("storm")
    shutil.copytree(TWIN, base / "deck")
    mid = {n: math.sqrt(a * b) for n, (a, b) in BOUNDS.items()}
    lines = ["x_m,time_s,value"] + [f"{x},{t},{concentration(t, x, mid) * 1.1!r}"
                                    for x in (105.0, 281.0) for t in range(1200, 18001, 1200)]
    (base / "obs.csv").write_text("\n".join(lines) + "\n")
    text = ['[model]\ndeck = "deck"\noptions = ["--start-date=2024-06-01T00:00:00Z"]',
            '[observations]\nfile = "obs.csv"', '[sample]\nmethod = "sobol"\nn = 128\nseed = 5',
            'n_boot = 10\ntime_indices = ["C", "log10 C", "load", "Q", "misfit"]']
    for name, (lo, hi) in BOUNDS.items():
        text.append(f'[[parameter]]\nname = "{name}"\nx_from = 0\nx_to = 300\nlower = {lo}\n'
                    f'upper = {hi}\nlog = true')
    (base / "storm.toml").write_text("\n".join(text) + "\n")
    log = []
    Sampler(SampleConfig(base / "storm.toml", base / "out"), log=log.append,
            engine=StormEngine()).run()
    return base / "out", log


def read_indices(out, quantity):
    """{(site, parameter): (times, S1, ST)} of a sobol_time file, and its head."""
    import csv
    with open(out / f"sobol_time_{quantity.replace(' ', '_')}.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    table = {}
    for r in rows:
        t, s1, st = table.setdefault((int(r["site"]), r["parameter"]), ([], [], []))
        t.append(float(r["time_s"]))
        s1.append(float(r["S1"]))
        st.append(float(r["ST"]))
    return {k: tuple(np.array(v) for v in vs) for k, vs in table.items()}, list(rows[0])


# quantity, site, the times' window (s), the parameter that must dominate there and the
# least S1 it has there (the others' S1 stay below 1 minus it). The running misfit keeps
# the base-flow observations' share after the flood's have come in.
SWITCHES = [("C", 2, (0, 4000), "Alfa", 0.8), ("C", 2, (8900, 9300), "aL", 0.8),
            ("C", 3, (13500, 18000), "Alfa", 0.8), ("log10 C", 3, (9100, 9450), "aL", 0.8),
            ("load", 1, (0, 3000), "Alfa", 0.8), ("load", 1, (8800, 9200), "aL", 0.8),
            ("misfit", 2, (1200, 4000), "Alfa", 0.95), ("misfit", 3, (9900, 11800), "aL", 0.65)]


def test_indices_over_time_follow_the_storm(stormy):
    out, log = stormy
    assert StormEngine.asked == ("C", "Q_m3_per_s")
    files = {}
    for quantity in ("C", "log10 C", "load", "Q", "misfit"):
        files[quantity], head = read_indices(out, quantity)
        assert head == ["site", "x_m", "time_s", "datetime", "parameter", "S1", "ST", "n_used"]
        assert (out / f"sobol_time_{quantity.replace(' ', '_')}.png").stat().st_size > 10000
    assert len(files["C"][1, "Alfa 0-300"][0]) == 200
    assert any("sobol over time of misfit: 200 of 301 record times" in line for line in log)
    for quantity, site, (t0, t1), boss, least in SWITCHES:
        other = "aL" if boss == "Alfa" else "Alfa"
        t, s1, st = files[quantity][site, f"{boss} 0-300"]
        when = (t >= t0) & (t <= t1) & ~np.isnan(s1)
        assert when.sum() >= 3, (quantity, site)
        assert np.all(s1[when] > least), (quantity, site, s1[when])
        assert np.all(files[quantity][site, f"{other} 0-300"][1][when] < 1 - least), \
            (quantity, site)
    for quantity in ("C", "log10 C", "load", "misfit"):
        for site in (1, 2, 3):
            t, s1, st = files[quantity][site, "TSS 0-300"]
            assert np.all((s1 == 0) | np.isnan(s1)) and np.all((st == 0) | np.isnan(st))
            total = sum(files[quantity][site, f"{p} 0-300"][1] for p in BOUNDS)
            assert not np.any(total > 1.1), (quantity, site)
    # Nothing moves the flow, and the upstream site has no observations: no indices.
    assert all(np.isnan(v[1]).all() for v in files["Q"].values())
    assert np.isnan(files["misfit"][1, "Alfa 0-300"][1]).all()
