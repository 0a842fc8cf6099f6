"""Checks of the Uvas Creek calibration example: the deck against the
published reach parameters, the fit configuration against the deck, and
compare.py against the published figures."""

import csv
import math
import os
import sys
import tomllib

import pytest

from conftest import ROOT

HERE = str(ROOT / "examples" / "uvas-calibration")
sys.path.insert(0, HERE)
import compare  # noqa: E402
import make_deck as md  # noqa: E402

TRANSPORT_COLUMNS = "aL Re TauCR f Vs Alfa Kdw Kds TSS Hb Rb".split()


def table(lines, count_prefix):
    """Rows of the table whose count line follows the heading starting with count_prefix."""
    i = next(k for k, line in enumerate(lines) if line.startswith(count_prefix))
    n = int(lines[i + 1].split()[0])
    return [[float(v) for v in line.split("!")[0].split()] for line in lines[i + 3:i + 3 + n]]


def interp(x, xs, ys):
    for k in range(len(xs) - 1):
        if xs[k] <= x <= xs[k + 1]:
            return ys[k] + (ys[k + 1] - ys[k]) * (x - xs[k]) / (xs[k + 1] - xs[k])
    return ys[0] if x < xs[0] else ys[-1]


def compare_rows(name):
    with open(os.path.join(HERE, name), newline="") as f:
        return list(csv.DictReader(f))


def step_value(rows, x):
    """The step rule: the row that starts the segment holding x."""
    value = rows[0]
    for r in rows[:-1]:
        if r[0] < x:
            value = r
    return value


@pytest.fixture(scope="module")
def param():
    """The example deck's lines."""
    with open(os.path.join(HERE, "crparam.txt")) as f:
        return f.read().splitlines()


def test_every_reach_has_its_normal_depth_and_the_published_area(param):
    widths = table(param, "NWidth")
    slopes = table(param, "NSlope")
    n = table(param, "NRough")[0][1]
    xs, ws = [w[0] for w in widths], [w[1] for w in widths]
    mapping = {int(float(r["reach"])): r for r in compare_rows("reach-mapping.csv")}
    for k, (x0, x1, area, *_) in enumerate(md.REACHES):
        end = x1 if k < len(md.REACHES) - 1 else md.LENGTH
        # The width table's mean over the reach (linear between rows).
        steps = 4000
        mean_width = sum(interp((x0 + (end - x0) * (j + 0.5) / steps), xs, ws)
                         for j in range(steps)) / steps
        mid = 0.5 * (x0 + x1)
        slope = step_value(slopes, mid)[1]
        # The deck's slope makes 0.2 m the normal depth of the mid-reach
        # discharge at the reach's mean width (the friction law by
        # bisection).
        q = md.discharge_at(mid)
        lo, hi = 0.01, 2.0
        for _ in range(80):
            h = 0.5 * (lo + hi)
            r = mean_width * h / (mean_width + 2 * h)
            sf = n * n * (q / (mean_width * h)) ** 2 / r ** md.MANNING_EXPONENT
            lo, hi = (lo, h) if sf < slope else (h, hi)
        assert abs(h - md.DEPTH) <= 2e-3, f"reach at {x0} m"
        # The steady flow that make_deck.py ran has the published area.
        a_model = float(mapping[k + 1]["A_model_m2"])
        assert abs(a_model / area - 1) < 0.005, f"reach at {x0} m: {a_model}"
        assert abs(mean_width * md.DEPTH / area - 1) < 0.05, f"reach at {x0} m"


def test_transport_rows_translate_the_published_storage_and_inflow(param):
    trans = table(param, "NTrPar")
    gw = table(param, "NGW")
    assert [r[0] for r in trans[:-1]] == [r[0] for r in md.REACHES]
    for (x0, x1, area, disp, area_s, alpha, inflow), row, g in zip(md.REACHES, trans, gw):
        p = dict(zip(TRANSPORT_COLUMNS, row[1:]))
        # f*A_model = As and Alfa*A_model = alpha*A share one A_model.
        a_model = area_s / p["f"]
        assert abs(a_model / area - 1) < 0.005, f"reach at {x0} m"
        assert abs(p["Alfa"] * a_model - alpha * area) <= 1e-5 * area * max(alpha, 1e-9)
        assert 0.01 < disp / p["aL"] < 0.05, f"implied velocity in reach at {x0} m"
        assert (g[1], g[2]) == (inflow, md.C_BACKGROUND)
    assert trans[-1][1:] == trans[-2][1:], "the closing row repeats reach 5"


def test_fit_parameters_cover_rows_and_bracket_the_deck_values(param):
    with open(os.path.join(HERE, "fit.toml"), "rb") as f:
        config = tomllib.load(f)
    trans = table(param, "NTrPar")
    # aL in each reach; f and Alfa where the published model has storage
    # exchange (reaches 3 to 5); each once.
    names = sorted((p["name"], p["x_from"]) for p in config["parameter"])
    expected = [("aL", r[0]) for r in md.REACHES]
    expected += [(n, r[0]) for r in md.REACHES[2:] for n in ("f", "Alfa")]
    assert names == sorted(expected)
    for p in config["parameter"]:
        rows = [r for r in trans if p["x_from"] - 1e-4 <= r[0] < p["x_to"] - 1e-4]
        assert rows, p["label"]
        value = p.get("initial", rows[0][1 + TRANSPORT_COLUMNS.index(p["name"])])
        assert p["lower"] < value < p["upper"], p["label"]
    reach5 = [p for p in config["parameter"] if p["x_from"] == 433.0]
    assert all(p["x_to"] > md.LENGTH for p in reach5), "reach 5 runs to the outlet"


def test_published_model_reproduces_its_published_errors():
    obs = compare.read_long_csv(os.path.join(HERE, "observations.csv"))
    pub = compare.read_long_csv(os.path.join(HERE, "published-model.csv"))
    expected = {105.0: 0.0336, 281.0: 0.0503, 433.0: 0.0280, 619.0: 0.0257}
    for x, e in expected.items():
        n, err = compare.relative_rmse(pub[x], *obs[x])
        assert n == len(obs[x][0])
        assert abs(err - e) <= 5e-5, f"{x} m"


def test_interpolation_and_window():
    times, values = [0.0, 10.0, 20.0], [1.0, 3.0, 2.0]
    assert compare.interpolate(times, values, 5.0) == 2.0
    assert compare.interpolate(times, values, 20.0) == 2.0
    assert compare.interpolate(times, values, 20.5) is None
    # Observations outside the series are left out, not extrapolated.
    n, err = compare.relative_rmse((times, values), [5.0, 15.0, 30.0], [2.0, 3.5, 99.0], scale=1.0)
    assert n == 2
    assert round(err - math.sqrt((0 + 1.0) / 2), 7) == 0

