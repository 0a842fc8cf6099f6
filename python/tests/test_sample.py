"""quarno-sample on the twin deck (tests/fit-twin) with the real program: the
command on a local Dask cluster and the sampler in process with the runs made
one by one in reverse order give the same indices; a parameter with no effect
gets none; GLUE and MCMC bands cover the noisy observations of a twin
experiment; bad configurations end with one message and exit 1."""

import contextlib
import fcntl
import io
import math
import os
import resource
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")

from quarno import Deck  # noqa: E402
from quarno.cli import sample_main  # noqa: E402
from quarno.engine import run_task  # noqa: E402
from quarno.sample import SampleConfig, Sampler  # noqa: E402
from conftest import many_runs  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
TWIN = ROOT / "tests" / "fit-twin"
TOOLS = ROOT / "tools"
QUARNO = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())
ALFA = 3.0e-4   # the twin deck's storage exchange, the truth here
SIGMA = 0.05    # the observations' log-normal noise


class SerialEngine:
    """The engine's interface, each run made here, the last sample first."""

    def map(self, items, deck, options=(), variables=("C",), on_result=None):
        text, bicond, forcing = deck
        done = [run_task(i, text, bicond, edits, options, variables, forcing=forcing)
                for i, edits in reversed(list(items))]
        for result in done if on_result else ():
            on_result(result)
        return sorted(done, key=lambda r: r["sample"])


@pytest.fixture(scope="module")
def twin(tmp_path_factory):
    """The deck and its observations at 105 and 281 m: the truth run's C with
    log-normal noise (seed 7)."""
    base = tmp_path_factory.mktemp("twin")
    shutil.copytree(TWIN, base / "deck")
    deck = Deck.read(TWIN)
    truth = run_task(0, deck.text, deck.bicond, replay=False)
    rng = np.random.default_rng(7)
    lines = ["x_m,time_s,value"]
    for k in (1, 2):
        for t in range(900, 8101, 600):
            c = float(np.interp(t, truth["time"], truth["series"]["C"][k]))
            lines.append(f"{truth['x'][k]!r},{t},{c * math.exp(SIGMA * rng.standard_normal())!r}")
    (base / "obs.csv").write_text("\n".join(lines) + "\n")
    return base


def config(base, name, sample, parameters=(("Alfa", 1e-4, 1e-3),), initial=None):
    """A configuration in `base`: log10 observations weighted 1/sigma."""
    text = ['[model]\ndeck = "deck"\n\n[observations]\nfile = "obs.csv"\ntransform = "log10"',
            f"weight = {math.log(10) / SIGMA!r}\n", "[sample]"]
    text += [f"{k} = {v!r}".replace("'", '"') for k, v in sample.items()]
    for label, lo, hi in parameters:
        text += ["\n[[parameter]]", f'name = "{label}"', "x_from = 0.0\nx_to = 300.0",
                 f"lower = {lo!r}\nupper = {hi!r}\nlog = true"]
        if initial and label in initial:
            text.append(f"initial = {initial[label]!r}")
    path = base / f"{name}.toml"
    path.write_text("\n".join(text) + "\n")
    return path


def quiet(main, argv):
    with contextlib.redirect_stdout(io.StringIO()), \
            contextlib.redirect_stderr(io.StringIO()) as err:
        return main(argv), err.getvalue()


@many_runs
def test_sobol_is_the_same_from_a_cluster_and_in_process_and_an_inert_parameter_gets_nothing(
        twin, dask_scheduler):
    cfg = config(twin, "sobol", {"method": "sobol", "n": 8, "seed": 3, "n_boot": 50,
                                 "time_indices": ["C", "misfit"]},
                 (("Alfa", 1e-4, 1e-3), ("TSS", 0.001, 1.0)))
    status, err = quiet(sample_main, [str(cfg), "--out", str(twin / "cluster"),
                                      "--scheduler", dask_scheduler])
    assert status == 0, err
    Sampler(SampleConfig(cfg, twin / "serial"), log=lambda s: None, engine=SerialEngine()).run()
    sobol = (twin / "cluster" / "sobol.csv").read_text()
    assert sobol == (twin / "serial" / "sobol.csv").read_text()
    rows = {r.split(",")[0]: [float(v) for v in r.split(",")[1:]]
            for r in sobol.splitlines()[1:]}
    assert rows["TSS 0-300"] == [0.0, 0.0, 0.0, 0.0]  # echoed only: not one output moves
    assert rows["Alfa 0-300"][2] > 0.5
    # Over time too: the same from both; the inert one gets nothing at any
    # site or time; Alfa, the one left, has indices near 1 (8 base samples:
    # the median over the times) wherever the chloride is.
    for name in ("sobol_time_misfit.csv", "sobol_time_C.csv"):
        over_time = (twin / "cluster" / name).read_text()
        assert over_time == (twin / "serial" / name).read_text()
        rows = [r.split(",") for r in over_time.splitlines()[1:]]
        assert {r[4] for r in rows if r[3] == "TSS 0-300"} <= {"0.0", "nan"}
        assert {r[5] for r in rows if r[3] == "TSS 0-300"} <= {"0.0", "nan"}
    alfa = np.array([r[4:6] for r in rows if r[3] == "Alfa 0-300" and r[4] != "nan"], float)
    assert len(alfa) > 100 and np.all(np.median(alfa, axis=0) > 0.5)
    import xarray as xr
    with xr.open_dataset(twin / "cluster" / "samples.nc") as ds:
        assert ds["C"].shape == (32, 3, len(ds.time_s)) and int(ds.failed.sum()) == 0
    # Morris screening of the same two: the inert one moves nothing.
    cfg = config(twin, "morris", {"method": "morris", "n": 4, "seed": 3},
                 (("Alfa", 1e-4, 1e-3), ("TSS", 0.001, 1.0)))
    Sampler(SampleConfig(cfg, twin / "morris"), log=lambda s: None, engine=SerialEngine()).run()
    effects = {r.split(",")[1]: float(r.split(",")[3]) for r in
               (twin / "morris" / "morris.csv").read_text().splitlines() if r[:9] == "objective"}
    assert effects["TSS 0-300"] == 0.0 and effects["Alfa 0-300"] > 0.0


@many_runs
@pytest.mark.parametrize("method,extra,initial", [
    ("glue", {"n": 60, "likelihood": "gaussian", "threshold": 6.0}, None),
    ("mcmc", {"n": 24, "burn": 12, "walkers": 4}, {"Alfa": ALFA}),
], ids=["glue", "mcmc"])
def test_bands_cover_a_twin_experiments_observations(twin, method, extra, initial):
    cfg = config(twin, method, {"method": method, "seed": 5, **extra},
                 (("Alfa", 1e-4, 1e-3),), initial)
    sampler = Sampler(SampleConfig(cfg, twin / method), log=lambda s: None,
                      engine=SerialEngine())
    result = sampler.run()
    model, predictive = result.coverages[f"{method}_bands.csv"]
    assert 0.8 <= predictive <= 1.0 and model <= predictive
    bands = np.loadtxt(twin / method / f"{method}_bands.csv", delimiter=",", skiprows=1)
    assert np.all(bands[:, 3] <= bands[:, 4]) and np.all(bands[:, 4] <= bands[:, 5])
    # The file is written from the result: its bands, site by site and time by time.
    held = result.bands[f"{method}_bands.csv"]
    assert np.array_equal(bands[:, 3:], held.transpose(0, 2, 1).reshape(-1, 3))
    assert (result.runs, result.failed) == (sampler.runs, 0)
    if method == "mcmc":
        post = (twin / method / "posterior.csv").read_text().splitlines()[1].split(",")
        assert float(post[3]) < ALFA < float(post[5])  # the truth in the 95 % range
        assert post[1:] == [repr(float(v)) for v in result.posterior[0][1:]]
        assert result.chain.shape == ((24 - 12) * 4, 1)
    else:
        assert result.weights.shape == (60,) and np.isfinite(result.likelihood).all()


def test_bad_configurations_exit_1_with_one_message(twin, monkeypatch):
    from quarno import backends
    monkeypatch.setattr(backends, "CONNECT_SECONDS", 1)
    good = {"method": "glue", "n": 4}
    free = ["--out", str(twin / "free")]
    # Each: [sample], further arguments, a fragment of the one line.
    cases = [({"n": 4}, "missing key 'method'"),
             *[((good, ["--scheduler", a], f"--scheduler must be a scheduler's address, "
                f"tcp://HOST:PORT with a port from 1 to 65535 (found {a!r})"))
               for a in ("garbage", "http://127.0.0.1:8786", "", "tcp://127.0.0.1:99999")],
             (good, free + ["--scheduler", "tcp://127.0.0.1:1"],
              "cannot reach the Dask scheduler at tcp://127.0.0.1:1 within 1 s"),
             ({"method": "fast", "n": 4}, "'method' must be one of"),
             ({"method": "sobol", "n": 0}, "'n' must be an integer of at least 1"),
             ({"method": "mcmc", "n": 10, "burn": 10}, "'burn' (10) must be less than n"),
             ({**good, "time_indices": ["C"]}, "'time_indices' needs method = \"sobol\""),
             ({"method": "sobol", "n": 4, "time_indices": ["C", "T"]},
              "'time_indices' must name some of 'C', 'log10 C', 'load', 'Q', 'misfit' "
              "(found 'T')"),
             ({"method": "sobol", "n": 4, "time_indices": ["Q", "Q"]}, "names 'Q' twice"),
             ({**good, "spread": 2}, "unknown key 'spread'"),
             ({**good, "launcher": "local", "scheduler": "tcp://h:1"}, "needs launcher = \"dask\""),
             (good, "another sampling is using this output folder")]
    busy = twin / "busy"
    busy.mkdir()
    fd = os.open(busy, os.O_RDONLY | os.O_DIRECTORY)
    fcntl.flock(fd, fcntl.LOCK_EX)
    try:
        for k, (sample, *extra, message) in enumerate(cases):
            cfg = config(twin, f"bad{k}", sample)
            start = time.monotonic()
            status, err = quiet(sample_main, [str(cfg), "--out", str(busy),
                                              *(extra[0] if extra else [])])
            assert time.monotonic() - start < 4.0, message
            assert (status, err.count("\n")) == (1, 1) and message in err, err
    finally:
        os.close(fd)
    assert os.listdir(busy) == []


@pytest.mark.slow
@pytest.mark.parametrize("limit,failing,written,not_written", [
    (8000, "samples.nc", "sobol.csv, sobol_outputs.csv", "samples.nc, sobol.png"),
    (50000, "sobol.png", "sobol.csv, sobol_outputs.csv, samples.nc", "sobol.png"),
], ids=["samples.nc", "sobol.png"])
def test_a_full_disk_ends_in_one_line_exit_3_and_no_partial_file(twin, tmp_path, limit, failing,
                                                                  written, not_written):
    """quarno-sample under a file-size limit (the program's runs free of it):
    one line naming the file, the reason and what was written, exit 3; no
    temporary file; the files not written keep an earlier sampling's bytes and
    summary.txt says the set is incomplete."""
    program = tmp_path / "program"
    program.write_text(f"#!{sys.executable}\nimport os, resource, sys\n"
                       "resource.setrlimit(resource.RLIMIT_FSIZE, (resource.RLIM_INFINITY,) * 2)\n"
                       f"os.execv({QUARNO!r}, [{QUARNO!r}] + sys.argv[1:])\n")
    program.chmod(0o755)
    cfg = config(twin, f"full{limit}", {"method": "sobol", "n": 2, "launcher": "local",
                                        "workers": 1})
    cfg.write_text(cfg.read_text().replace('deck = "deck"',
                                           f'deck = "deck"\nprogram = "{program}"'))
    out = tmp_path / "out"
    out.mkdir()
    earlier = {name: f"{name} of an earlier sampling".encode() for name in not_written.split(", ")}
    for name, data in earlier.items():
        (out / name).write_bytes(data)

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    proc = subprocess.run([sys.executable, str(TOOLS / "quarno-sample"), str(cfg), "--out",
                           str(out)], preexec_fn=limited, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    line = (f"quarno-sample: {out / failing}: cannot write (File too large); written: "
            f"{written}; not written: {not_written}\n")
    assert (proc.returncode, proc.stderr) == (3, line)
    assert sorted(os.listdir(out)) == sorted([*written.split(", "), *earlier, "summary.txt"])
    assert {name: (out / name).read_bytes() for name in earlier} == earlier
    summary = (out / "summary.txt").read_text()
    assert summary.startswith("method sobol") and summary.endswith(f"incomplete: {line[15:]}")


def test_a_dated_sampling_with_a_declared_unit_keeps_dates_and_units_in_every_output(
        twin, tmp_path, monkeypatch, capsys):
    """GLUE of the twin deck run with a start date: samples.nc and to_netcdf
    hold CF dates and the unit, the band file the program's dates and its
    unit line, the band plot a date axis and the unit; the bar counts every
    run."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.dates as mdates
    import pandas as pd
    import xarray as xr
    from quarno.units import Unit
    cfg = config(twin, "dated", {"method": "glue", "n": 5, "seed": 2, "threshold": 0.0})
    cfg.write_text(cfg.read_text().replace(
        'deck = "deck"', 'deck = "deck"\noptions = ["--start-date=2024-06-01T06:00:00+02:00"]'))
    out = tmp_path / "dated"
    sampler = Sampler(SampleConfig(cfg, out), log=lambda s: None, engine=SerialEngine())
    # The deck declares no unit of its own here: the one a [deck] table would give.
    sampler.unit = sampler.result.unit = Unit.parse("CFU/100 mL")
    figures = []
    monkeypatch.setattr("matplotlib.pyplot.close", figures.append)
    result = sampler.run(progress=True)
    assert "5/5" in capsys.readouterr().err  # the bar over the five runs, to its end
    start = pd.Timestamp("2024-06-01T04:00:00")
    result.to_netcdf(tmp_path / "again.nc")
    for path in (out / "samples.nc", tmp_path / "again.nc"):
        with xr.open_dataset(path) as ds, xr.open_dataset(path, decode_times=False) as raw:
            assert ds.time.dtype == np.dtype("datetime64[ns]")
            seconds = (ds.time.values - np.datetime64(start)) / np.timedelta64(1, "s")
            assert np.allclose(seconds, ds.time_s.values, rtol=0, atol=1e-6)
            assert raw.time.attrs["units"] == "seconds since 2024-06-01T04:00:00"
            assert raw.time.attrs["calendar"] == "proleptic_gregorian"
            assert ds.C.attrs["units"] == "CFU/100 mL" and ds.x_m.attrs["units"] == "m"
            assert (ds.attrs["start_date"], ds.attrs["concentration_unit"]) == (
                "2024-06-01T04:00:00.000Z", "CFU/100 mL")
            assert list(ds.site.values) == [1, 2, 3] and ds.C.shape == (5, 3, ds.time.size)
    # The band file: the unit line, then the dates the program writes for the same times.
    lines = (out / "glue_bands.csv").read_text().splitlines()
    assert lines[:2] == ["# unit: CFU/100 mL", "site,x_m,time_s,datetime,lower,median,upper"]
    run = tmp_path / "run"
    shutil.copytree(TWIN, run)
    subprocess.run([QUARNO, "--csv", "--quiet", "--start-date=2024-06-01T06:00:00+02:00", run],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    program = [r.split(",")[:2] for r in (run / "crObsNode.csv").read_text().splitlines()[1:]
               if r.split(",")[2] == "1"]
    assert [r.split(",")[2:4] for r in lines[2:] if r[:2] == "1,"] == program
    # The band plot: concise dates on every panel, the unit on each value axis.
    axes = [f for f in figures if hasattr(f, "axes")][0].axes
    assert all(isinstance(ax.xaxis.get_major_formatter(), mdates.ConciseDateFormatter)
               for ax in axes)
    assert axes[-1].get_xlabel() == "Date (UTC)" and "(CFU/100 mL)" in axes[0].get_ylabel()
    assert mdates.num2date(axes[0].lines[0].get_xdata(orig=False)[0]).isoformat()[:19] == \
        program[0][1][:19]
