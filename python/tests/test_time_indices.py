"""Sobol indices over time through the whole sampler, on an analytic stand-in
for the program: a storm passes, one parameter sets the concentration at base
flow and another during the flood, a third does nothing."""

import math
import shutil
from pathlib import Path

import numpy as np
import pandas as pd

from quarno.sample import SampleConfig, Sampler

TWIN = Path(__file__).resolve().parents[2] / "tests" / "fit-twin"
BOUNDS = {"Alfa": (1e-4, 1e-3), "aL": (0.5, 5.0), "TSS": (0.001, 1.0)}
TIMES = np.arange(0.0, 18001.0, 60.0)       # 301 records: a subset of 200 is used
X = np.array([0.0, 105.0, 281.0])


def series(t, x, values):
    """C and Q: the flood's share w of the flow peaks at 9000 s (+1 s per m);
    C = 1 + Alfa's place in its range x (1 - w) + 3 x aL's place x w."""
    u = {n: math.log10(v / BOUNDS[n][0]) / math.log10(BOUNDS[n][1] / BOUNDS[n][0])
         for n, v in values.items()}
    w = np.exp(-((t - x - 9000.0) / 1500.0) ** 2)
    return {"C": 1.0 + u["Alfa"] * (1.0 - w) + 3.0 * u["aL"] * w, "Q_m3_per_s": 1.0 + 9.0 * w}


class StormEngine:
    """The engine's interface: each sample's site series from the formulas."""

    def map(self, items, deck, options=(), variables=("C",), on_result=None):
        self.asked = tuple(variables)
        return [{"sample": i, "status": 0, "message": "", "flow": "replayed", "time": TIMES,
                 "site": np.array([1, 2, 3]), "x": X,
                 "series": {v: np.array([series(TIMES, x, {n: val for n, _, _, val in edits})[v]
                                         for x in X]) for v in variables}}
                for i, edits in items]


# quantity, site, the times' window (s), the parameter that must dominate there and the
# least S1 it has there (the others' S1 stay below 1 minus it). The running misfit keeps
# the base-flow observations' share after the flood's have come in.
SWITCHES = [("C", 2, (0, 4000), "Alfa", 0.8), ("C", 2, (8900, 9300), "aL", 0.8),
            ("C", 3, (13500, 18000), "Alfa", 0.8), ("log10 C", 3, (9100, 9450), "aL", 0.8),
            ("load", 1, (0, 3000), "Alfa", 0.8), ("load", 1, (8800, 9200), "aL", 0.8),
            ("misfit", 2, (1200, 4000), "Alfa", 0.95), ("misfit", 3, (9900, 11800), "aL", 0.65)]


def test_indices_over_time_follow_the_storm(tmp_path):
    import matplotlib
    matplotlib.use("Agg")
    shutil.copytree(TWIN, tmp_path / "deck")
    mid = {n: math.sqrt(a * b) for n, (a, b) in BOUNDS.items()}
    (tmp_path / "obs.csv").write_text("x_m,time_s,value\n" + "".join(
        f"{x},{t},{series(t, x, mid)['C'] * 1.1!r}\n"
        for x in (105.0, 281.0) for t in range(1200, 18001, 1200)))
    text = ['[model]\ndeck = "deck"\noptions = ["--start-date=2024-06-01T00:00:00Z"]',
            '[observations]\nfile = "obs.csv"', '[sample]\nmethod = "sobol"\nn = 128\nseed = 5',
            'n_boot = 10\ntime_indices = ["C", "log10 C", "load", "Q", "misfit"]']
    text += [f'[[parameter]]\nname = "{name}"\nx_from = 0\nx_to = 300\nlower = {lo}\n'
             f'upper = {hi}\nlog = true' for name, (lo, hi) in BOUNDS.items()]
    (tmp_path / "storm.toml").write_text("\n".join(text) + "\n")
    log, engine, out = [], StormEngine(), tmp_path / "out"
    Sampler(SampleConfig(tmp_path / "storm.toml", out), log=log.append, engine=engine).run()
    assert engine.asked == ("C", "Q_m3_per_s")
    assert any("sobol over time of misfit: 200 of 301 record times" in line for line in log)
    files = {}
    for q in ("C", "log10 C", "load", "Q", "misfit"):
        table = pd.read_csv(out / f"sobol_time_{q.replace(' ', '_')}.csv")
        assert list(table) == ["site", "x_m", "time_s", "datetime", "parameter", "S1", "ST",
                               "n_used"]
        assert (out / f"sobol_time_{q.replace(' ', '_')}.png").stat().st_size > 10000
        files[q] = {k: g for k, g in table.groupby(["site", "parameter"])}
    assert len(files["C"][1, "Alfa 0-300"]) == 200
    for q, site, (t0, t1), boss, least in SWITCHES:
        other = "aL" if boss == "Alfa" else "Alfa"
        rows = files[q][site, f"{boss} 0-300"]
        when = ((rows.time_s >= t0) & (rows.time_s <= t1) & rows.S1.notna()).to_numpy()
        assert when.sum() >= 3, (q, site)
        assert np.all(rows.S1.to_numpy()[when] > least), (q, site)
        assert np.all(files[q][site, f"{other} 0-300"].S1.to_numpy()[when] < 1 - least), (q,)
    for q in ("C", "log10 C", "load", "misfit"):
        for site in (1, 2, 3):
            inert = files[q][site, "TSS 0-300"]
            assert set(inert.S1.dropna()) <= {0.0} and set(inert.ST.dropna()) <= {0.0}
            total = sum(files[q][site, f"{p} 0-300"].S1.to_numpy() for p in BOUNDS)
            assert not np.any(total > 1.1), (q, site)
    # Nothing moves the flow, and the upstream site has no observations: no indices.
    assert all(g.S1.isna().all() for g in files["Q"].values())
    assert files["misfit"][1, "Alfa 0-300"].S1.isna().all()
