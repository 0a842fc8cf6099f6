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
from quarno.errors import QuarnoWarning  # noqa: E402
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
    text += [f"{k} = {str(v).lower() if isinstance(v, bool) else repr(v)}".replace("'", '"')
             for k, v in sample.items()]
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
    cfg = config(twin, "sobol", {"method": "sobol", "n": 8, "seed": 3, "replicates": 4,
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
        lines = [r.split(",") for r in over_time.splitlines()[1:]]
        assert {r[4] for r in lines if r[3] == "TSS 0-300"} <= {"0.0", "nan"}
        assert {r[5] for r in lines if r[3] == "TSS 0-300"} <= {"0.0", "nan"}
    alfa = np.array([r[4:6] for r in lines if r[3] == "Alfa 0-300" and r[4] != "nan"], float)
    assert len(alfa) > 100 and np.all(np.median(alfa, axis=0) > 0.5)
    import xarray as xr
    with xr.open_dataset(twin / "cluster" / "samples.nc") as ds:
        assert ds["C"].shape == (32, 3, len(ds.time_s)) and int(ds.failed.sum()) == 0
    # The convergence view ends on the indices of all 4 replicates; the summary
    # says the sample is too small exactly when the objective's first-order
    # intervals are wider than +-0.1 on average.
    every = [r.split(",") for r in (twin / "serial" / "sobol_outputs.csv").read_text()
             .splitlines()[1:]]
    steps = [r.split(",") for r in (twin / "serial" / "sobol_convergence.csv").read_text()
             .splitlines()[1:]]
    assert sorted({int(r[2]) for r in steps}) == [1, 2, 4]
    assert [r[:2] + r[4:] for r in steps if r[2] == "4"] == every
    wide = np.mean([v[1] for v in rows.values()]) > 0.1
    assert ("n = 8 is too small" in (twin / "serial" / "summary.txt").read_text()) == wide
    # Second-order indices: the inert TSS interacts with nothing.
    cfg = config(twin, "sobol2", {"method": "sobol", "n": 4, "seed": 3, "replicates": 2,
                                  "second_order": True},
                 (("Alfa", 1e-4, 1e-3), ("TSS", 0.001, 1.0)))
    with pytest.warns(QuarnoWarning, match="n = 4 is too small"):
        Sampler(SampleConfig(cfg, twin / "second"), log=lambda s: None,
                engine=SerialEngine()).run()
    pair = (twin / "second" / "sobol_second_order.csv").read_text().splitlines()
    assert pair[0] == "output,parameter_i,parameter_j,S2,S2_conf" and len(pair) == 1 + 7
    assert all(abs(float(r.split(",")[3])) < 1e-12 for r in pair[1:])
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
    ("mcmc", {"n": 24, "burn": 12, "walkers": 4, "noise": "fixed"}, {"Alfa": ALFA}),
], ids=["glue", "mcmc"])
def test_bands_cover_a_twin_experiments_observations(twin, method, extra, initial):
    cfg = config(twin, method, {"method": method, "seed": 5, **extra},
                 (("Alfa", 1e-4, 1e-3),), initial)
    sampler = Sampler(SampleConfig(cfg, twin / method), log=lambda s: None,
                      engine=SerialEngine())
    result = sampler.run()
    model, predictive = result.coverages[f"{method}_bands.csv"]
    assert 0.8 <= predictive <= 1.0 and model <= predictive
    bands = np.loadtxt([r for r in (twin / method / f"{method}_bands.csv").read_text()
                        .splitlines() if r[:1] != "#"][1:], delimiter=",")
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
             ({"method": "sobol", "n": 9, "replicates": 10},
              "[sample]: 'replicates' (10) must not exceed n (9)"),
             ({"method": "mcmc", "n": 10, "burn": 10}, "'burn' (10) must be less than n"),
             ({"method": "mcmc", "n": 10, "move": "walk"}, "'move' must be one of"),
             ({**good, "time_indices": ["C"]}, "'time_indices' needs method = \"sobol\""),
             ({"method": "sobol", "n": 4, "replicates": 2, "time_indices": ["C", "T"]},
              "'time_indices' must name some of 'C', 'log10 C', 'load', 'Q', 'misfit' "
              "(found 'T')"),
             ({"method": "sobol", "n": 4, "replicates": 2, "time_indices": ["Q", "Q"]},
              "names 'Q' twice"),
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
    (8000, "samples.nc", "sobol.csv, sobol_outputs.csv",
     "samples.nc, sobol.png, sobol_convergence.csv, sobol_convergence.png"),
    (50000, "sobol.png", "sobol.csv, sobol_outputs.csv, samples.nc",
     "sobol.png, sobol_convergence.csv, sobol_convergence.png"),
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
    cfg = config(twin, f"full{limit}", {"method": "sobol", "n": 2, "replicates": 2,
                                        "launcher": "local", "workers": 1})
    cfg.write_text(cfg.read_text().replace('deck = "deck"',
                                           f'deck = "deck"\nprogram = "{program}"'))
    out = tmp_path / "out"
    # The runs' journal (as large as samples.nc) is written first, unlimited; the
    # sampling under the limit resumes from it and only writes the files.
    command = [sys.executable, str(TOOLS / "quarno-sample"), str(cfg), "--out", str(out)]
    subprocess.run(command, check=True, capture_output=True, stdin=subprocess.DEVNULL)
    journal = (out / "runs.journal").read_bytes()
    earlier = {name: f"{name} of an earlier sampling".encode() for name in not_written.split(", ")}
    for name, data in earlier.items():
        (out / name).write_bytes(data)

    def limited():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
    proc = subprocess.run(command + ["--resume"], preexec_fn=limited, capture_output=True,
                          text=True, stdin=subprocess.DEVNULL,  # n = 2 is warned of as too small
                          env={**os.environ, "PYTHONWARNINGS": "ignore::UserWarning"})
    line = (f"quarno-sample: {out / failing}: cannot write (File too large); written: "
            f"{written}; not written: {not_written}\n")
    assert (proc.returncode, proc.stderr) == (3, line)
    assert sorted(os.listdir(out)) == sorted([*written.split(", "), *earlier, "summary.txt",
                                              "runs.journal"])
    assert (out / "runs.journal").read_bytes() == journal
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
    head = next(k for k, r in enumerate(lines) if r[:1] != "#")  # after the comment lines
    assert [lines[0], lines[head]] == ["# unit: CFU/100 mL",
                                       "site,x_m,time_s,datetime,lower,median,upper"]
    run = tmp_path / "run"
    shutil.copytree(TWIN, run)
    subprocess.run([QUARNO, "--csv", "--quiet", "--start-date=2024-06-01T06:00:00+02:00", run],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    program = [r.split(",")[:2] for r in (run / "crObsNode.csv").read_text().splitlines()[1:]
               if r.split(",")[2] == "1"]
    assert [r.split(",")[2:4] for r in lines[head + 1:] if r[:2] == "1,"] == program
    # The band plot: concise dates on every panel, the unit on each value axis.
    axes = [f for f in figures if hasattr(f, "axes")][0].axes
    assert all(isinstance(ax.xaxis.get_major_formatter(), mdates.ConciseDateFormatter)
               for ax in axes)
    assert axes[-1].get_xlabel() == "Date (UTC)" and "(CFU/100 mL)" in axes[0].get_ylabel()
    assert mdates.num2date(axes[0].lines[0].get_xdata(orig=False)[0]).isoformat()[:19] == \
        program[0][1][:19]


@many_runs
@pytest.mark.parametrize("method,extra,kill_at", [
    ("sobol", {"n": 4, "replicates": 2}, 7),
    ("mcmc", {"n": 5, "burn": 2, "walkers": 6, "noise": "fixed"}, 16),
    ("mcmc", {"n": 5, "burn": 2, "walkers": 10}, 26),
], ids=["sobol", "mcmc", "mcmc-noise"])
def test_a_sampling_killed_after_k_runs_resumes_to_the_same_files(twin, tmp_path, method, extra,
                                                                 kill_at):
    """quarno-sample killed by its k-th run (SIGKILL, the journal's last line
    cut short by hand) and resumed makes only the missing runs and writes the
    files of a sampling never cut, byte for byte (samples.nc under another
    hash seed); a journal of another configuration is refused."""
    program = tmp_path / "program"
    program.write_text(
        '#!/bin/sh\ncase " $* " in *" --help "*) exec "$REAL" "$@";; esac\n'
        'echo run >> "$RUNS_FILE"\n'
        'if [ -n "$KILL_AT" ] && [ "$(wc -l < "$RUNS_FILE")" -ge "$KILL_AT" ]; then\n'
        '  kill -9 $PPID; sleep 5; fi\nexec "$REAL" "$@"\n')
    program.chmod(0o755)
    cfg = config(twin, f"resume-{method}", {"method": method, "seed": 4, "launcher": "local",
                                            "workers": 1, **extra},
                 (("Alfa", 1e-4, 1e-3), ("TSS", 0.001, 1.0)), {"Alfa": ALFA, "TSS": 0.1})
    cfg.write_text(cfg.read_text().replace('deck = "deck"',
                                           f'deck = "deck"\nprogram = "{program}"'))

    def sample(out, hash_seed, *args, kill_at=""):
        runs = tmp_path / "runs"
        runs.unlink(missing_ok=True)
        env = {**os.environ, "REAL": QUARNO, "RUNS_FILE": str(runs), "KILL_AT": str(kill_at),
               "PYTHONHASHSEED": str(hash_seed)}
        proc = subprocess.run([sys.executable, str(TOOLS / "quarno-sample"), str(cfg), "--out",
                               str(tmp_path / out), "--no-progress", *args], env=env,
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)
        made = len(runs.read_text().splitlines()) if runs.exists() else 0
        return proc, made

    whole, total = sample("whole", 1)
    assert whole.returncode == 0, whole.stderr
    cut, made = sample("cut", 2, kill_at=kill_at)
    assert (cut.returncode, made) == (-signal.SIGKILL, kill_at)
    journal = tmp_path / "cut" / "runs.journal"
    lines = journal.read_text().splitlines(keepends=True)
    # The head and the runs of the tasks finished (runs come back a task, a
    # batch of them, at a time): at least the first, at most the k - 1 before.
    kept = len(lines) - 1
    assert 1 <= kept <= kill_at - 1
    journal.write_text("".join(lines) + lines[-1][:len(lines[-1]) // 2])  # a record cut short
    resumed, made = sample("cut", 2, "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert made == total - kept
    assert f"resume: {kept} runs taken from the journal, {made} made" in resumed.stdout
    names = sorted(os.listdir(tmp_path / "whole"))
    assert names == sorted(os.listdir(tmp_path / "cut")) and "samples.nc" in names
    for name in names:
        a, b = ((tmp_path / out / name).read_bytes() for out in ("whole", "cut"))
        if name == "summary.txt":  # the wall time and how each run's flow was had may differ
            a, b = ([line.split(b" in ")[0] if k == 0 else line
                     for k, line in enumerate(t.splitlines()) if k != 1] for t in (a, b))
        if name != "runs.journal":
            assert a == b, name
    # A resume with another configuration (one comment more) is refused, the journal kept.
    before = journal.read_bytes()
    cfg.write_text(cfg.read_text() + "# changed\n")
    refused, made = sample("cut", 3, "--resume")
    assert (refused.returncode, made) == (1, 0)
    assert refused.stderr == (f"quarno-sample: {journal}: the journal of a sampling of another "
                              "configuration, deck or program; start without --resume to "
                              "replace it\n")
    assert journal.read_bytes() == before


class AnalyticEngine:
    """The engine's interface without the program: the truth run's series
    times (Alfa / ALFA)^0.3, so that a chain costs seconds."""

    def __init__(self):
        deck = Deck.read(TWIN)
        self.truth = run_task(0, deck.text, deck.bicond, replay=False)

    def map(self, items, deck, options=(), variables=("C",), on_result=None):
        done = [{**self.truth, "sample": i, "flow": "analytic",
                 "series": {"C": self.truth["series"]["C"] * (edits[0][3] / ALFA) ** 0.3}}
                for i, edits in items]
        for result in done if on_result else ():
            on_result(result)
        return done


@pytest.mark.parametrize("method,extra,initial,verdict", [
    ("glue", {"n": 40, "likelihood": "gaussian", "threshold": 2.0}, None,
     r"only \d+ of 40 GLUE samples are behavioural \(fewer than 30\)"),
    ("mcmc", {"n": 30, "walkers": 8, "noise": "fixed"}, {"Alfa": 1.02e-4},
     r"the chain has not converged: R-hat of Alfa 0-300 [\d.]+ >= 1.05"),
    pytest.param("mcmc", {"n": 200, "walkers": 8, "max_steps": 3000}, {"Alfa": ALFA},
                 r"the chain has converged: every R-hat < 1.05", marks=pytest.mark.slow),
], ids=["glue-few", "mcmc-far-off", "mcmc-at-truth"])
def test_the_sampler_says_when_its_bands_are_not_to_be_trusted(twin, recwarn, method, extra,
                                                               initial, verdict):
    """On the console, in the summary and as a warning: GLUE with too few
    behavioural samples, MCMC started far off; a chain started at the truth
    with its noise estimated runs on until it converges, and its posterior
    holds the truth and the observations' noise. The band with the
    observation error is wider than the model's and covers more."""
    import re
    from quarno.errors import QuarnoWarning
    cfg = config(twin, f"honest-{method}-{extra['n']}", {"method": method, "seed": 4, **extra},
                 (("Alfa", 1e-4, 1e-3),), initial)
    out = twin / f"honest-{method}-{extra['n']}"
    lines = []
    result = Sampler(SampleConfig(cfg, out), log=lines.append, engine=AnalyticEngine()).run()
    summary = (out / "summary.txt").read_text()
    warned = [str(w.message) for w in recwarn if issubclass(w.category, QuarnoWarning)]
    assert any(re.search(verdict, line) for line in lines), lines
    assert re.search(verdict, summary), summary
    assert any(re.search(verdict, w) for w in warned) == ("has converged" not in verdict)
    model = result.bands[f"{method}_bands.csv"]
    noisy = result.bands[f"{method}_predictive.csv"]
    assert np.all(noisy[:, 2] - noisy[:, 0] >= model[:, 2] - model[:, 0])
    inside, predictive = result.coverages[f"{method}_bands.csv"]
    assert inside <= predictive
    if method == "glue":
        head = (out / "glue_bands.csv").read_text().splitlines()[:2]
        assert re.match(r"# \d+ of 40 samples behavioural \(log-likelihood within 2 of the best"
                        r"\), admitting misfits \(weighted sum of squares\) [\d.]+ to [\d.]+$",
                        head[0]) and "threshold sets the band's width" in head[1]
    elif "has converged" in verdict:
        post = {r[0]: [float(v) for v in r[1:]] for r in result.posterior}
        assert max(p[6] for p in post.values()) < 1.05 and min(p[7] for p in post.values()) >= 100
        assert post["Alfa 0-300"][2] < ALFA < post["Alfa 0-300"][4]
        for site in ("105", "281"):  # the noise of log10 C: SIGMA / ln 10
            sigma = post[f"sigma x={site} (log10)"]
            assert sigma[2] < SIGMA / math.log(10) < sigma[4]
        assert "(run on to converge: converged)" in summary and predictive >= 0.8
