"""quarno-fit in process on the twin deck (tests/fit-twin) with the real program:
its errors, runs killed or refused their folder, the cache, log10 observations."""

import csv
import json
import math
import os
import re
import resource
import shutil
import subprocess
import sys
import warnings
from pathlib import Path

import fcntl
import numpy as np
import pytest

from quarno.cache import Runner
from quarno.cli import fit_main, sample_main
from quarno.fit import Config, Fit
from quarno.results import read_obs_csv

ROOT = Path(__file__).resolve().parents[2]
QUARNO = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())


@pytest.fixture(scope="module")
def twin(tmp_path_factory):
    """The twin deck and positive observations from its own run at 105 and 281 m."""
    base = tmp_path_factory.mktemp("twin")
    shutil.copytree(ROOT / "tests" / "fit-twin", base / "truth")
    subprocess.run([QUARNO, "--csv", "--no-pause", "--quiet", str(base / "truth")], check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    rows = read_obs_csv(base / "truth" / "crObsNode.csv")
    lines = ["x_m,time_s,value"]
    for site, x in ((2, 105.0), (3, 281.0)):
        t, c = zip(*[(r["time_s"], r["C"]) for r in rows if r["site"] == site])
        lines += [f"{x},{ts},{v!r}" for ts in range(600, 8701, 300)
                  if (v := float(np.interp(ts, t, c))) > 1e-6]
    (base / "obs.csv").write_text("\n".join(lines) + "\n")
    shutil.copytree(ROOT / "tests" / "fit-twin", base / "deck")
    return base


def config(folder, program=QUARNO, options=("--threads", "1"), obs_extra="", fit_extra="",
           params=(("aL", 1.5, 0.01, 100),)):
    text = (f'[model]\ndeck = "deck"\nprogram = {json.dumps(str(program))}\n'
            f'options = {json.dumps(list(options))}\n'
            f'[observations]\nfile = "obs.csv"\n{obs_extra}\n[fit]\nworkers = 2\n{fit_extra}\n')
    for name, initial, lower, upper in params:
        text += (f'[[parameter]]\nname = "{name}"\nx_from = 0\nx_to = 300\ninitial = {initial}\n'
                 f'lower = {lower}\nupper = {upper}\nlog = true\n')
    path = Path(folder) / "fit.toml"
    path.write_text(text)
    return path


def fit(capsys, *argv):
    return (fit_main([str(a) for a in argv]), *capsys.readouterr())


def estimates(out):
    return {r["name"]: r for r in csv.DictReader((Path(out) / "estimates.csv").open())}


def test_every_error_is_one_line_and_exit_1(twin, capsys, tmp_path):
    good_obs = (twin / "obs.csv").read_bytes()
    (a_file := tmp_path / "a-file").write_text("")
    (busy := tmp_path / "busy").mkdir()
    cases = [  # (config text edit, observations, --out, expected)
        (('deck = "deck"', "deck = 5"), None, None, "'deck' must be a non-empty string"),
        (('name = "aL"', "name = 3"), None, None, "'name' must be a non-empty string"),
        (("workers = 2", 'workers = 2\nftol = "tight"'), None, None, "'ftol' must be a number"),
        (("[model]", "# \xe9\n[model]"), None, None, "not UTF-8"),
        (None, b"x_m,time_s,value,wieght\n105,600,1\n", None,
         "line 1: the header has unknown column 'wieght'"),
        (None, b"x_m,time_s,value\n105,600,1\n105,900,1e200\n", None, "line 3: the weighted"),
        (None, b"105,600,1\n105,900,\xff\n", None, "line 2: not UTF-8"),
        (None, b"105,600,1,1,a,b\n", None, "line 1: 6 values for the 5 columns"),
        (('file = "obs.csv"', 'file = "obs.csv"\ntransform = "log10"'),
         b"x_m,time_s,value\n105,600,1\n105,900,0\n", None,
         "line 3: transform log10 needs a positive value (found 0)"),
        (('file = "obs.csv"', 'file = "obs.csv"\ntransform = {"x=3" = "log10"}'), None, None,
         "transform names the group 'x=3'"),
        (("workers = 2", 'workers = 2\nlauncher = "dask"\nscheduler = "host:8786"'), None,
         None, "'scheduler' must be a scheduler's address, tcp://HOST:PORT"),
        (("workers = 2", 'workers = 2\nscheduler = "tcp://host:8786"'), None, None,
         "'scheduler' needs launcher = \"dask\""),
        (None, None, a_file, "cannot use it as the output folder"),
        (None, None, busy, "another fit is using this output folder"),
    ]
    lock = os.open(busy, os.O_RDONLY)
    fcntl.flock(lock, fcntl.LOCK_EX)
    try:
        for edit, obs, out, expected in cases:
            path = config(twin)
            if edit:
                text = path.read_text().replace(*edit)
                path.write_bytes(text.encode("latin-1" if "\xe9" in text else "utf-8"))
            (twin / "obs.csv").write_bytes(obs or good_obs)
            status, _, err = fit(capsys, path, "--out", out or tmp_path / "out")
            assert (status, len(err.splitlines())) == (1, 1), (expected, err)
            assert expected in err
    finally:
        os.close(lock)
        (twin / "obs.csv").write_bytes(good_obs)
        config(twin)
    assert not (busy / "runs").exists()  # the refused fit touched nothing


INJECTED = ["; touch X", "$(touch X)", "a\ntouch X", "`touch X`"]


def wrapper(folder, mode):
    """A program recording its arguments, then: 'term' killed by SIGTERM once aL
    leaves 1.5; 'busy' refusing each folder once, 'always' every time; then
    the real program without the options given only to be recorded."""
    path = Path(folder) / f"program-{mode}"
    path.write_text(f"""#!{sys.executable}
import json, os, signal, sys
run = sys.argv[-1]
if run.startswith("-"):
    os.execv({QUARNO!r}, [{QUARNO!r}] + sys.argv[1:])
with open(os.path.join(run, "argv.json"), "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\\n")
mode = {mode!r}
if mode == "term":  # the package imported only here: it takes longer than a run
    sys.path.insert(0, {str(ROOT / 'python')!r})
    from quarno.deck import Deck
    if Deck.read(os.path.join(run, "crparam.txt")).value("aL", 0) != 1.5:
        os.kill(os.getpid(), signal.SIGTERM)
mark = os.path.join(run, "refused")
if mode == "always" or (mode == "busy" and not os.path.exists(mark)):
    open(mark, "w").close()
    sys.stderr.write("another run is using this folder\\n")
    sys.exit(1)
args = [a for a in sys.argv[1:] if a not in {INJECTED!r}]
os.execv({QUARNO!r}, [{QUARNO!r}] + args)
""")
    path.chmod(0o755)
    return path


LAUNCHERS = ["local"] + (["parallel"] if shutil.which("parallel") else [])


@pytest.mark.parametrize("launcher", LAUNCHERS)
def test_killed_or_refused_runs_are_not_model_failures(twin, capsys, tmp_path, monkeypatch,
                                                       launcher):
    monkeypatch.chdir(tmp_path)
    launch = f'launcher = "{launcher}"'
    options = ["--threads", "1", *INJECTED]
    for mode, expected, message in (("term", 143, "killed by SIGTERM"),
                                    ("always", 1, "another run is using this folder, twice"),
                                    ("busy", 0, "")):
        out = tmp_path / f"out {mode}\n$(touch X)"
        # The fit that goes through starts nearer the truth (3): fewer runs.
        start = 2.4 if mode == "busy" else 1.5
        path = config(twin, wrapper(tmp_path, mode), options, fit_extra=launch,
                      params=(("aL", start, 0.01, 100),))
        status, stdout, err = fit(capsys, path, "--out", out)
        assert status == expected, (mode, err)
        assert message in err
        assert not (out / "estimates.csv").exists() or mode == "busy"
        argv = [json.loads(line) for f in out.rglob("argv.json") for line in f.open()]
        assert argv and all(a[5:5 + len(INJECTED)] == INJECTED for a in argv)
    # Each refused folder ran once more; the fit found the truth with no
    # failed run.
    assert all(len(f.read_text().splitlines()) == 2 for f in out.rglob("argv.json"))
    assert "failed runs: 0" in (out / "summary.txt").read_text()
    assert float(estimates(out)["aL"]["value"]) == pytest.approx(3.0, rel=0.01)
    assert not list(tmp_path.rglob("X")) and not list(twin.rglob("X"))


def failing_later(folder, mode, after):
    """The real program, which from its run number `after` on (counted in a
    file) meets a fault that is not its parameters: 'cut' finds the flow
    record it replays cut to half its length (once), 'full' writes under a
    file-size limit of 3000 bytes (SIGXFSZ ignored, so writes fail)."""
    path = Path(folder) / f"program-{mode}"
    path.write_text(f"""#!{sys.executable}
import fcntl, os, resource, signal, sys
args = sys.argv[1:]
if not args[-1].startswith("-"):
    with open({str(path) + ".count"!r}, "a+") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        f.write("run\\n")
        f.flush()
        f.seek(0)
        n = len(f.read().splitlines())
    cut = {str(path) + ".cut"!r}
    if n >= {after} and {mode!r} == "cut" and "--replay-flow" in args and not os.path.exists(cut):
        open(cut, "w").close()
        record = args[args.index("--replay-flow") + 1]
        os.truncate(record, os.path.getsize(record) // 2)
    if n >= {after} and {mode!r} == "full":
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (3000, 3000))
os.execv({QUARNO!r}, [{QUARNO!r}] + args)
""")
    path.chmod(0o755)
    return path


@pytest.mark.slow
@pytest.mark.parametrize("command,mode,status,message", [
    ("fit", "cut", 1, "failed for a reason that is not its parameters (exit 1): {record}: the "
     "flow record is cut short"),
    ("fit", "full", 3, "failed for a reason that is not its parameters (exit 3): crObsNode.csv: "
     "cannot write (File too large); the fit stops"),
    ("sample", "full", 3, "failed for a reason that is not its parameters (exit 3): "
     "crObsNode.csv: cannot write (File too large); the sampling stops"),
    ("sample", "cut", 0, ""),
], ids=["fit-cut", "fit-full", "sample-full", "sample-cut"])
def test_runs_failing_for_no_reason_of_their_parameters_stop_the_fit(twin, capsys, tmp_path,
                                                                      command, mode, status,
                                                                      message):
    """A flow record cut mid-fit or a full disk stops the fit or the sampling
    (never a bad point): one line, its exit status, no estimates. The fit's
    next start records the flow again and ends at the truth; the sampler
    records it again at once and goes on."""
    program = failing_later(tmp_path, mode, 3)
    path = config(twin, program, fit_extra="\n[sample]\nmethod = \"glue\"\nn = 4\n"
                  "launcher = \"local\"\nworkers = 1\n" if command == "sample" else "",
                  params=(("aL", 2.4, 0.01, 100),))
    inputs = {f: f.read_bytes() for f in [*(twin / "deck").iterdir(), twin / "obs.csv"]}
    out = tmp_path / "out"
    main = fit_main if command == "fit" else sample_main
    got, stdout, err = (main([str(path), "--out", str(out)]), *capsys.readouterr())
    message = message.format(record=out / "flow" / "flow.qflow")
    assert (got, len(err.splitlines())) == (status, 1 if status else 0), err
    if status:
        assert message in err and err.startswith(f"quarno-{command}: the run "), err
        assert not (out / "estimates.csv").exists() and not (out / "summary.txt").exists()
    else:
        assert "(0 failed)" in (out / "summary.txt").read_text()
    assert {f: f.read_bytes() for f in inputs} == inputs
    if command == "fit" and mode == "cut":
        assert fit(capsys, path, "--out", out)[0] == 0
        assert float(estimates(out)["aL"]["value"]) == pytest.approx(3.0, rel=0.01)
        assert "failed runs: 0" in (out / "summary.txt").read_text()
    if command == "sample" and mode == "cut":
        assert (tmp_path / "program-cut.cut").exists()
        assert "flow: 2 recorded, 2 replayed" in (out / "summary.txt").read_text()


def test_the_cache_checks_each_result_file(tmp_path):
    program = tmp_path / "program"
    program.write_text('#!/bin/sh\nfor f; do :; done\necho "x,1" > "$f/crObsNode.csv"\n'
                       'echo "run" > "$f/crOutput.txt"\n')
    program.chmod(0o755)
    runner = Runner(str(program), [], 1, log=lambda s: None)
    folder = tmp_path / "run"
    for change, cached in ((None, True), ("crObsNode.csv", False), ("crOutput.txt", False),
                           ("done", False)):
        run = runner.prepare(folder, "deck", b"bicond", "k")
        if not run.cached:
            runner.execute([run], [])
        if change == "done":
            (folder / "done").write_text(json.dumps({"key": "k", "size": 4}))
        elif change:  # the same size, another content
            text = (folder / change).read_text()
            (folder / change).write_text(text[:-2] + chr(ord(text[-2]) ^ 1) + "\n")
        assert runner.prepare(folder, "deck", b"bicond", "k").cached == cached, change


def test_log10_observations_and_an_undetermined_parameter(twin, capsys, tmp_path):
    # aL from observations on a log scale at one site and a linear one at the
    # other; Kds (a bed the chloride never reaches) changes nothing, so its
    # standard error is NaN and aL's is not.
    # The fit in process returns its FitResult, from which the files are
    # written: the same values, standard errors, correlations and report.
    params = (("aL", 1.5, 0.01, 100), ("Kds", 1e-6, 1e-9, 1e-3))
    path = config(twin, obs_extra='transform = {"x=281" = "log10"}',
                  fit_extra='xtol = 1e-10\nkeep_runs = "all"', params=params)
    lines = []
    result = Fit(Config(path, tmp_path / "log"), log=lines.append).run()
    stdout = "\n".join(lines)
    est = estimates(tmp_path / "log")
    assert float(est["aL"]["value"]) == pytest.approx(3.0, rel=0.01)
    assert 0 < float(est["aL"]["standard_error"]) < 0.1
    assert math.isnan(float(est["Kds"]["standard_error"]))
    assert "standard errors NaN for Kds 0-300" in stdout
    assert [e.label for e in result.estimates] == ["aL 0-300", "Kds 0-300"]
    for e in result.estimates:
        row = est[e.name]
        assert [repr(v) for v in (e.value, e.stderr, e.lower95, e.upper95, e.lower, e.upper)] \
            == [row[k] for k in ("value", "standard_error", "lower95", "upper95",
                                 "lower_bound", "upper_bound")]
    corr = list(csv.reader((tmp_path / "log" / "correlation.csv").open()))
    assert [[repr(float(c)) for c in r] for r in result.correlation] == [r[1:] for r in corr[1:]]
    assert result.report() == (tmp_path / "log" / "summary.txt").read_text()
    assert result.cost == pytest.approx(0.5 * float(result.fun @ result.fun))
    assert result.success and result.nse > 0.99 and "Kds 0-300" in result.params
    # aL is well determined: no warning names it; the summary counts them all.
    assert [w for w in result.warnings if "aL" in w] == []
    assert f"warnings: {len(result.warnings)}" in result.report()
    # Again, every run from the cache, with files limited to 2 kB as on a
    # full disk: writing the results fails, in one line.
    proc = subprocess.run(
        [sys.executable, "-c", "import sys; from quarno.cli import fit_main; "
         "sys.exit(fit_main(sys.argv[1:]))", str(path), "--out", str(tmp_path / "log")],
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000)),
        capture_output=True, text=True, stdin=subprocess.DEVNULL)
    assert (proc.returncode, len(proc.stderr.splitlines())) == (1, 1), proc.stderr
    assert "File too large" in proc.stderr and "runs made: " not in proc.stdout
    # The same fit capped at one evaluation says it was cut short.
    path = config(twin, obs_extra='transform = "log10"', fit_extra="max_nfev = 1")
    status, stdout, err = fit(capsys, path, "--out", tmp_path / "capped")
    assert status == 0, err
    assert "stopped at max_nfev = 1" in (tmp_path / "capped" / "summary.txt").read_text()


@pytest.mark.parametrize("columns,theta,log,expected", [
    # Jacobian columns at 40 points, the optimum, log flags: the warnings' fragments.
    (("1", "t"), (0.5, 2.0), (True, False), []),
    (("1", "0"), (0.5, 2.0), (True, True), ["p2: the data cannot determine it",
                                            "standard errors NaN for p2"]),
    (("1", "1+0.3*t"), (0.5, 2.0), (True, True), ["p1 and p2 are correlated"]),
    (("1", "1e-3*t"), (0.5, 2.0), (False, True), ["p2: the data hardly determine it "
                                                  "(standard error of its logarithm"]),
    (("1", "1e-3*t"), (0.5, 2.0), (False, False), ["p2: the data hardly determine it "
                                                   "(relative standard error"]),
    (("1", "1e-3*t"), (0.5, -1e6), (False, False), []),
], ids=["determined", "inert", "trade-off", "loose-log", "loose-linear", "large-linear"])
def test_the_fit_names_parameters_the_data_do_not_determine(columns, theta, log, expected):
    # Residuals of unit noise (s^2 near 1): the standard errors follow from
    # the Jacobian's columns alone.
    from types import SimpleNamespace
    from quarno.fit_result import diagnose
    t = np.linspace(-1.0, 1.0, 40)
    J = np.column_stack([eval(c, {"t": t}) * np.ones_like(t) for c in columns])
    res = np.random.default_rng(1).standard_normal(40)
    params = [SimpleNamespace(label=f"p{j + 1}", log=g) for j, g in enumerate(log)]
    warned = []
    diagnose(J, res, np.array(theta), params, ([-1e9] * 2, [1e9] * 2), None, warned.append)
    assert len(warned) == len(expected), warned
    for fragment in expected:
        assert any(fragment in w for w in warned), (fragment, warned)


SAMPLE = '[sample]\nmethod = "glue"\nn = 4\n'
HOSTILE = [  # (command, edit of the configuration or None, observations or None, expected)
    ("fit", ("workers = 2", "workers = 2\nmax_nfev = -1"), None,
     "[fit]: 'max_nfev' must be an integer of at least 0 (found -1)"),
    ("fit", ("workers = 2", "workers = true"), None, "'workers' must be an integer"),
    ("fit", ("workers = 2", "workers = 99999999999999999999"), None,
     "'workers' must be an integer of at most"),
    ("fit", ("workers = 2", "workers = 2\njacobian_step = 1e999"), None,
     "'jacobian_step' must be a number (found inf)"),
    ("fit", ("workers = 2", "workers = 2\nftol = nan"), None, "'ftol' must be a number"),
    ("fit", ("workers = 2", "workers = 2\ngtol = 1.5"), None, "'gtol' must be a number in [0, 1)"),
    ("fit", ("lower = 0.01", "lower = 1979-05-27"), None, "'lower' must be a number"),
    ("fit", ("lower = 0.01", 'lower = "0.01"'), None, "'lower' must be a number"),
    ("fit", ("log = true", "log = 1"), None, "'log' must be true or false"),
    ("fit", ('options = ["--threads", "1"]', 'options = "--threads 1"'), None,
     "'options' must be a list of strings"),
    ("fit", ('file = "obs.csv"', 'file = "obs.csv"\nvariable = "Z"'), None,
     "'variable' must be one of"),
    ("fit", ('file = "obs.csv"', 'file = "obs.csv"\nweight = 0'), None,
     "'weight' must be a number above 0"),
    ("fit", ("[[parameter]]", "[[parameter]]\nlabel = 7"), None,
     "'label' must be a non-empty string"),
    ("fit", None, "x_m,time_s,value\n105,600,high\n", "line 2: expected x_m,time_s,value"),
    ("fit", None, "x_m,time_s,value\n\u0661\u0660\u0665,600,1\n", "line 2: expected"),
    ("fit", None, "x_m,time_s,value\n105,600,1e999\n", "line 2: values must be finite"),
    ("fit", None, "x_m,time_s,value,weight\n105,600,1,-1\n", "the weight not negative"),
    ("fit", None, "105,2024-01-01,1\n", "line 1: expected x_m,time_s,value"),
    ("fit", None, "x_m,value\n105,1\n", "line 1: the header lacks time_s"),
    ("fit", None, "x_m,time_s,value,value\n105,600,1,1\n", "line 1: the header has a repeated"),
    ("fit", None, "# nothing measured\n\n", "no observations"),
    ("sample", None, None, "missing section [sample]"),
    ("sample", ("n = 4", "n = -5"), None, "'n' must be an integer of at least 1 (found -5)"),
    ("sample", ("n = 4", "n = 10000000000000000000000000000"), None,
     "'n' must be an integer of at most 1000000"),
    ("sample", ("n = 4", "n = 1000000000000"), None,
     "'n' must be an integer of at most 1000000 (found 1000000000000)"),
    ("sample", ("n = 4", 'n = "ten"'), None, "'n' must be an integer"),
    ("sample", ("n = 4", "n = 4\nseed = 1.5"), None, "'seed' must be an integer"),
    ("sample", ("n = 4", "n = 4\nconf = 1e999"), None, "'conf' must be a number"),
    ("sample", ("n = 4", "n = 4\nn_boot = 0"), None, "'n_boot' must be an integer of at least 1"),
    ("sample", ("n = 4", "n = 4\nwalkers = true"), None, "'walkers' must be an integer"),
    ("sample", ("n = 4", "n = 4\nlevels = 3"), None, "'levels' must be even"),
    ("sample", ('method = "glue"', "method = 3"), None, "'method' must be one of"),
    ("sample", None, "x_m,time_s\n105,600\n", "line 1: the header lacks value"),
]


# Cases also run through the real commands (a process each): the rest run in
# process, through the same entry points.
THROUGH_THE_COMMAND = ("'max_nfev' must be an integer of at least 0 (found -1)",
                       "'n' must be an integer of at most 1000000")


@pytest.mark.parametrize("command,edit,obs,expected", HOSTILE,
                         ids=[f"{c}-{e}" for c, _, _, e in HOSTILE])
def test_hostile_configurations_and_observations_end_in_one_line(twin, tmp_path, capsys, command,
                                                                  edit, obs, expected):
    """Exit 1, one line naming the file at fault, and nothing started (not
    even the output folder)."""
    folder = tmp_path / "case"
    shutil.copytree(twin / "deck", folder / "deck")
    shutil.copy(twin / "obs.csv", folder / "obs.csv")
    path = config(folder)
    text = path.read_text() + (SAMPLE if command == "sample" and expected[:7] != "missing" else "")
    if edit:
        assert edit[0] in text
        text = text.replace(*edit, 1)
    path.write_text(text)
    if obs is not None:
        (folder / "obs.csv").write_text(obs, encoding="utf-8")
    named = folder / ("obs.csv" if obs is not None else "fit.toml")
    argv = [str(path), "--out", str(folder / "out")]
    status = (fit_main if command == "fit" else sample_main)(argv)
    ends = [(status, capsys.readouterr().err)]
    if any(case in expected for case in THROUGH_THE_COMMAND):
        proc = subprocess.run([sys.executable, str(ROOT / "tools" / f"quarno-{command}"), *argv],
                              capture_output=True, text=True, stdin=subprocess.DEVNULL,
                              env={**os.environ, "QUARNO": QUARNO})
        ends.append((proc.returncode, proc.stderr))
    for status, err in ends:
        assert (status, len(err.splitlines())) == (1, 1), err
        assert expected in err
        assert err.startswith(f"quarno-{command}: {named}"), err
    assert not (folder / "out").exists()


def test_observation_files_with_dates_and_units(tmp_path):
    # Each case: the file, the deck's start date and unit, the --start-date
    # option, the [observations] unit and variable; then the expected
    # (time_s, value, weight) rows, warnings and error.
    from types import SimpleNamespace
    from quarno.declared import Declared, check_site_units
    from quarno.errors import FitError, QuarnoWarning
    from quarno.observations import check_transforms, read_observation_file
    at = "x_m,datetime,value,weight\n"
    cases = [
        ("x_m,time_s,value\n105,600,2\n", None, None, None, None, "C",
         [(600.0, 2.0, 1.0)], 0, None),
        (at + "105,2024-06-01T01:00:00Z,2,1\n105,2024-06-01T03:30:00+02:00,3,1\n",
         "2024-06-01T00:00:00Z", None, None, None, "C",
         [(3600.0, 2.0, 1.0), (5400.0, 3.0, 1.0)], 0, None),
        # A naive datetime is UTC, with one warning for the file.
        (at + "105,2024-06-01 00:10,2,1\n105,2024-06-01T00:20:00,2,1\n",
         None, None, "2024-06-01T00:00:00Z", None, "C",
         [(600.0, 2.0, 1.0), (1200.0, 2.0, 1.0)], 1, None),
        # The option wins over the deck's date.
        (at + "105,2024-06-02T00:00:00Z,2,1\n", "2024-05-01T00:00:00Z", None,
         "2024-06-01T12:00:00", None, "C", [(43200.0, 2.0, 1.0)], 0, None),
        # CFU/100 mL into CFU/m3: values times 1e4, the weight (1/sigma) over 1e4.
        ("x_m,time_s,value,weight\n105,600,3,2\n", None, "CFU/m3", None, "CFU/100 mL", "C",
         [(600.0, 3e4, 2e-4)], 0, None),
        ("x_m,time_s,value\n105,600,5\n", None, "mg/L", None, "ug/L", "Cs",
         [(600.0, 5e-3, 1e3)], 0, None),
        (at + "105,2024-06-01T01:00:00Z,2,1\n", None, None, None, None, "C", None, 0,
         "needs the run's start date"),
        ("x_m,time_s,datetime,value\n105,600,2024-06-01T01:00:00Z,2\n", None, None, None, None,
         "C", None, 0, "names both time_s and datetime"),
        (at + "105,June 1st,2,1\n", "2024-06-01T00:00:00Z", None, None, None, "C", None, 0,
         "line 2: datetime 'June 1st' is not an ISO 8601"),
        ("x_m,time_s,value\n105,600,2\n", None, None, None, "CFU/100 mL", "C", None, 0,
         "the deck declares no concentration unit"),
        ("x_m,time_s,value\n105,600,2\n", None, "CFU/m3", None, "mg/L", "h_m", None, 0,
         "'unit' is the unit of a concentration"),
        ("x_m,time_s,value\n105,600,2\n", None, "CFU/m3", None, "MPN/100 mL", "C", None, 0,
         "cannot convert MPN/100 mL to CFU/m3"),
        ("x_m,time_s,value\n105,600,2\n", None, "CFU/m3", None, "CFU/gallon", "C", None, 0,
         "not an amount per volume"),
    ]
    path = tmp_path / "obs.csv"
    for text, start, unit, option, given, variable, rows, warned, error in cases:
        path.write_text(text)
        deck = SimpleNamespace(start_date=start, concentration_unit=unit)
        options = ["--threads", "1"] + (["--start-date", option] if option else [])
        with warnings.catch_warnings(record=True) as record:
            warnings.simplefilter("always")
            try:
                declared = Declared(deck, tmp_path, options, "fit.toml")
                obs = read_observation_file(path, start_date=declared.start_date)
                check_transforms(obs, {None: "none"}, path, "fit.toml")
                declared.convert_observations(obs, given, variable, "fit.toml")
            except FitError as e:
                assert error is not None and error in str(e) and "\n" not in str(e), (text, e)
                continue
        assert error is None, text
        assert [(o["time_s"], o["value"], o["weight"]) for o in obs] == pytest.approx(rows), text
        assert all(("datetime" in o) == ("datetime" in text) for o in obs)
        assert [str(path) in str(w.message) for w in record
                if issubclass(w.category, QuarnoWarning)] == [True] * warned, text
    # On a log10 scale the weight has no unit.
    path.write_text("x_m,time_s,value,weight\n105,600,3,2\n")
    obs = read_observation_file(path)
    check_transforms(obs, {None: "log10"}, path, "fit.toml")
    Declared(SimpleNamespace(start_date=None, concentration_unit="CFU/m3"), tmp_path, [],
             "fit.toml").convert_observations(obs, "CFU/100 mL", "C", "fit.toml")
    assert (obs[0]["value"], obs[0]["weight"]) == (3e4, 2.0)
    # Sites that look like kilometres on a reach of kilometres warn; in metres, not.
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        for xs, length in (([0.5, 2.0], 6000.0), ([0.5, 2000.0], 6000.0), ([0.5], 300.0)):
            check_site_units([{"x_m": x} for x in xs], length, path)
    assert ["are the positions in km" in str(w.message) for w in record] == [True]


def test_a_dated_fit_in_a_unit_keeps_only_the_runs_it_needs(twin, capsys, tmp_path):
    # The same fit from time_s and from datetime observations (the run's start
    # date among the options): the same estimates to the last digit; the
    # dated fit's files carry dates and the deck's unit, and of its run
    # folders it keeps the optimum's and its Jacobian's (all with "all").
    import pandas
    from quarno.units import Unit
    start = pandas.Timestamp("2024-06-01T00:00:00Z")
    rows = list(csv.DictReader((twin / "obs.csv").open()))
    (twin / "dated.csv").write_text("x_m,datetime,value\n" + "".join(
        f"{r['x_m']},{(start + pandas.Timedelta(seconds=float(r['time_s']))).isoformat()},"
        f"{r['value']}\n" for r in rows))
    plain = config(twin, fit_extra='keep_runs = "all"')
    status, _, err = fit(capsys, plain, "--out", tmp_path / "plain", "--no-progress")
    assert (status, err) == (0, "")
    made = int(next(line for line in (tmp_path / "plain" / "summary.txt").read_text()
                    .splitlines() if line.startswith("runs made:")).split(":")[1])
    # Every run kept: all but the flow record's and the best deck's.
    assert len(list((tmp_path / "plain" / "runs").iterdir())) == made - 2 > 2

    path = config(twin, options=("--threads", "1", "--start-date", "2024-06-01T00:00:00Z"))
    path.write_text(path.read_text().replace('"obs.csv"', '"dated.csv"'))
    cfg = Config(path, tmp_path / "dated")
    cfg.declared.unit = Unit.parse("CFU/m3")
    result = Fit(cfg, log=lambda s: None).run(progress=False)
    assert (result.start_date, result.unit) == (start, Unit.parse("CFU/m3"))
    out = tmp_path / "dated"
    for name in ("estimates.csv", "correlation.csv"):
        assert (out / name).read_text() == (tmp_path / "plain" / name).read_text(), name
    head, *series = list(csv.reader((out / "fit_series.csv").open()))
    plain_head, *plain_series = list(csv.reader((tmp_path / "plain" / "fit_series.csv").open()))
    assert head == plain_head + ["datetime", "unit"]
    assert [r[:-2] for r in series] == plain_series
    for r in series:
        date = start + pandas.Timedelta(seconds=float(r[1]))
        assert r[-2:] == [date.strftime("%Y-%m-%dT%H:%M:%S.%f")[:-3] + "Z", "CFU/m3"]
    sites = list(csv.DictReader((out / "sites.csv").open()))
    assert {s["unit"] for s in sites} == {"CFU/m3"} and all(
        s["observed_peak_datetime"].startswith("2024-06-01T0") for s in sites)
    summary = (out / "summary.txt").read_text()
    assert "start date (model time 0): 2024-06-01T00:00:00.000Z\nconcentration unit: CFU/m3\n" \
        in summary
    assert "datetime" in (out / "best" / "crObsNode.csv").read_text().splitlines()[0]
    kept = sorted((out / "runs").iterdir())
    assert 1 <= len(kept) <= 2 and all((k / "done").is_file() for k in kept)
    # The flow record goes with the runs that needed it; "all" keeps it.
    assert list(out.glob("flow/*.qflow")) == []
    assert len(list((tmp_path / "plain").glob("flow/*.qflow"))) == 1

    # Started again in the same folder, with its bar: the same estimates; the
    # removed runs are made again, not taken from folders that are gone.
    again = Fit(Config(path, out), log=lambda s: None).run(progress=True)
    assert [e.value for e in again.estimates] == [e.value for e in result.estimates]
    assert re.search(r"fit: +100(\.0)?%", capsys.readouterr().err)
    assert len(list((out / "runs").iterdir())) == len(kept)
