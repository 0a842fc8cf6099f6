"""quarno-fit in process on the twin deck (tests/fit-twin) with the real program:
its errors, runs killed or refused their folder, the cache, log10 observations."""

import csv
import json
import math
import os
import resource
import shutil
import subprocess
import sys
from pathlib import Path

import fcntl
import numpy as np
import pytest

from quarno.cache import Runner
from quarno.cli import fit_main
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
sys.path.insert(0, {str(ROOT / 'python')!r})
from quarno.deck import Deck
run = sys.argv[-1]
if run.startswith("-"):
    os.execv({QUARNO!r}, [{QUARNO!r}] + sys.argv[1:])
with open(os.path.join(run, "argv.json"), "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\\n")
mode = {mode!r}
if mode == "term" and Deck.read(os.path.join(run, "crparam.txt")).value("aL", 0) != 1.5:
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
        path = config(twin, wrapper(tmp_path, mode), options, fit_extra=launch)
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
    params = (("aL", 1.5, 0.01, 100), ("Kds", 1e-6, 1e-9, 1e-3))
    path = config(twin, obs_extra='transform = {"x=281" = "log10"}', fit_extra="xtol = 1e-10",
                  params=params)
    status, stdout, err = fit(capsys, path, "--out", tmp_path / "log")
    assert status == 0, err
    est = estimates(tmp_path / "log")
    assert float(est["aL"]["value"]) == pytest.approx(3.0, rel=0.01)
    assert 0 < float(est["aL"]["standard_error"]) < 0.1
    assert math.isnan(float(est["Kds"]["standard_error"]))
    assert "standard errors NaN for Kds 0-300" in stdout
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
