"""quarno-fit's flow record (recorded once, replayed by every run, the
estimates unchanged; none for a flow parameter; a mismatch noted) and the
storm-calibration example's observations."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import PROGRAM, ROOT, fit_parameter, run_fit_tool, write_fit_config

EXAMPLE = ROOT / "examples" / "storm-calibration"


def logging_program(folder, name, deck_edit=""):
    """A program that appends its arguments to FOLDER/NAME.log, optionally
    rewrites the deck of a replaying run (Python code using `deck`, the
    crparam.txt text), then runs the real program."""
    log = Path(folder) / f"{name}.log"
    log.write_text("")
    program = Path(folder) / f"{name}-program"
    program.write_text(
        f"#!{sys.executable}\nimport os, sys\n"
        f"with open({str(log)!r}, 'a') as f:\n    f.write(' '.join(sys.argv[1:]) + '\\n')\n"
        "path = os.path.join(sys.argv[-1], 'crparam.txt')\n"
        "if '--replay-flow' in sys.argv and os.path.exists(path):\n"
        "    deck = open(path).read()\n"
        f"    {deck_edit or 'pass'}\n"
        "    open(path, 'w').write(deck)\n"
        f"os.execv({PROGRAM!r}, [{PROGRAM!r}] + sys.argv[1:])\n")
    program.chmod(0o755)
    return program, log


def model_runs(log):
    """The argument lists of the model runs the log holds (not --help)."""
    return [line.split() for line in log.read_text().splitlines() if "--help" not in line]


def fit(folder, name, params, model_extra="", deck_edit="", extra_fit=""):
    """quarno-fit through a logging program: (process, output folder, runs)."""
    program, log = logging_program(folder, name, deck_edit)
    config = write_fit_config(folder, params, program=program, extra_fit=extra_fit,
                              name=f"{name}.toml")
    if model_extra:
        config.write_text(config.read_text().replace("[observations]",
                                                     model_extra + "\n[observations]"))
    out = folder / name
    proc = run_fit_tool(config, "--out", str(out))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    return proc, out, model_runs(log)


@pytest.mark.slow
def test_replayed_fit_equals_the_solved_one(fit_twin):
    params = [fit_parameter("aL", 1.5, 0.01, 100), fit_parameter("Alfa", 6e-4, 1e-6, 0.1)]
    keep = 'keep_runs = "all"'  # the second fit below takes every run from the cache
    proc, out, runs = fit(fit_twin, "replay", params, extra_fit=keep)
    record = out.resolve() / "flow" / "flow.qflow"
    saves = [r for r in runs if "--save-flow" in r]
    assert len(saves) == 1
    assert saves[0][saves[0].index("--save-flow") + 1] == str(record)
    others = [r for r in runs if "--save-flow" not in r]
    assert len(others) > 4
    for r in others:
        assert r[r.index("--replay-flow") + 1] == str(record)
    assert f"flow record: {record}" in proc.stdout
    summary = (out / "summary.txt").read_text()
    assert "runs that did not match it: 0" in summary

    _, solved, runs = fit(fit_twin, "solve", params, "replay_flow = false")
    assert not [r for r in runs if "--replay-flow" in r or "--save-flow" in r]
    assert not (solved / "flow").exists()
    for name in ("estimates.csv", "fit_series.csv", "correlation.csv"):
        assert (out / name).read_text() == (solved / name).read_text(), name

    # Again with replay: the record and every run come from the cache.
    proc, _, runs = fit(fit_twin, "replay", params, extra_fit=keep)
    assert runs == []
    assert "from the cache" in proc.stdout


@pytest.mark.slow
def test_a_flow_parameter_or_a_mismatch_means_solving_the_flow(fit_twin):
    proc, out, runs = fit(fit_twin, "rough", [fit_parameter("Rough", 0.06, 0.01, 0.2)],
                          extra_fit="max_nfev = 2")
    assert "flow record: none, the flow depends on the fitted Rough 0-300" in proc.stdout
    assert not [r for r in runs if "--replay-flow" in r or "--save-flow" in r]
    assert not (out / "flow").exists()
    assert "flow: solved by every run" in (out / "summary.txt").read_text()
    # Replaying runs handed a rougher channel than the record's: each
    # notes the mismatch and solves its own flow; the fit goes on.
    proc, out, runs = fit(fit_twin, "mismatch", [fit_parameter("aL", 1.5, 0.01, 100)],
                          deck_edit="deck = deck.replace('0.08', '0.09')",
                          extra_fit="max_nfev = 2")
    assert re.search(r"flow record: the run in .* did not match it", proc.stdout)
    assert any("--replay-flow" in r for r in runs)
    summary = (out / "summary.txt").read_text()
    made = int(re.search(r"runs made: (\d+)", summary).group(1))
    assert f"runs that did not match it: {made - 1}" in summary


@pytest.mark.slow
def test_storm_calibration_observations_are_reproduced(tmp_path):
    made = tmp_path / "observations.csv"
    subprocess.run([sys.executable, str(EXAMPLE / "make_observations.py"),
                    "--program", PROGRAM, "--out", str(made)], check=True)
    assert made.read_text() == (EXAMPLE / "observations.csv").read_text()
