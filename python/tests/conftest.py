"""Shared by the package's tests.

`many_runs` marks a test of the Python orchestration (clusters, samplers,
guides, fits) that makes many runs: it is also marked `slow`, and with
QUARNO_SLOW_RUNS=1 (a program built with the sanitizers, whose runs take five
to ten times as long) it is skipped: the program meets the same decks in the
other tests, and `make test` runs it in full.

`slow` tests are left out by `pytest -m "not slow"` (the developer's loop,
`make test-fast`); `make test` runs both kinds.

Fixtures: `program` (the program's path: $QUARNO or the tree's build),
`dask_scheduler` (the address of one local Dask cluster of two worker
processes, shared by the whole session), `fit_twin` (a folder holding the
twin deck and observations sampled from its own run)."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PROGRAM = str(Path(os.environ.get("QUARNO") or ROOT / "build" / "quarno").resolve())
FIT_TOOL = ROOT / "tools" / "quarno-fit"

_skip_slow_runs = pytest.mark.skipif(os.environ.get("QUARNO_SLOW_RUNS") == "1",
                                     reason="many runs of a slow (sanitizer) build; "
                                            "make test runs it")

# Tests of other modules that make many runs but carry no mark of their own,
# by module and function name: they are marked slow when collected.
SLOW_TESTS = {("test_fit.py", "test_killed_or_refused_runs_are_not_model_failures"),
              ("test_deck.py", "test_a_reach_edit_splits_the_table_and_acts_only_downstream")}


def many_runs(test):
    """Marks `test` slow, and skipped when the program's runs are slow."""
    return pytest.mark.slow(_skip_slow_runs(test))


def pytest_collection_modifyitems(items):
    for item in items:
        if (item.path.name, item.originalname) in SLOW_TESTS:
            item.add_marker(pytest.mark.slow)


@pytest.fixture(scope="session")
def program():
    """The program's path."""
    return PROGRAM


@pytest.fixture(scope="session")
def dask_scheduler():
    """The address of a local Dask cluster of two single-threaded worker
    processes, as a cluster started by hand would be (the engine's own local
    cluster runs in its process), started once for the session and closed at
    its end."""
    pytest.importorskip("distributed")
    import logging
    from distributed import LocalCluster
    os.environ.setdefault("DASK_LOGGING__DISTRIBUTED", "error")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                      dashboard_address=":0", silence_logs=logging.ERROR,
                      preload=["quarno.engine"]) as cluster:
        yield cluster.scheduler_address


def run_program(folder, *options, check=True):
    """Runs the program on `folder` with --csv, quietly."""
    return subprocess.run([PROGRAM, "--csv", "--no-pause", "--quiet", *options, str(folder)],
                          check=check, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)


def run_fit_tool(config, *args):
    """quarno-fit on `config`: the finished process, its output captured."""
    return subprocess.run([sys.executable, str(FIT_TOOL), str(config), *args], text=True,
                          capture_output=True, stdin=subprocess.DEVNULL)


def fit_parameter(name, initial, lower, upper, x_from=0.0, x_to=300.0, log=True):
    """A [[parameter]] table of a fit configuration."""
    return (f"[[parameter]]\nname = \"{name}\"\nx_from = {x_from}\nx_to = {x_to}\n"
            f"initial = {initial}\nlower = {lower}\nupper = {upper}\n"
            f"log = {'true' if log else 'false'}\n")


def write_fit_config(folder, params, program=None, extra_fit="", name="fit.toml"):
    """A fit configuration of the twin deck in `folder` with two workers."""
    text = (f'[model]\ndeck = "deck"\nprogram = "{program or PROGRAM}"\n'
            'options = ["--threads", "1"]\n'
            '[observations]\nfile = "obs.csv"\nvariable = "C"\n'
            f'[fit]\nworkers = 2\n{extra_fit}\n' + "".join(params))
    path = Path(folder) / name
    path.write_text(text)
    return path


@pytest.fixture(scope="module")
def fit_twin(tmp_path_factory):
    """A folder holding the twin deck (deck/) and observations (obs.csv)
    sampled from its own run at 105 and 281 m every 300 s."""
    from quarno.results import read_obs_csv
    folder = tmp_path_factory.mktemp("fit-twin")
    shutil.copytree(ROOT / "tests" / "fit-twin", folder / "truth")
    run_program(folder / "truth")
    rows = read_obs_csv(folder / "truth" / "crObsNode.csv")
    shutil.copytree(ROOT / "tests" / "fit-twin", folder / "deck")
    with open(folder / "obs.csv", "w") as f:
        f.write("# synthetic: the twin deck run with its own values\nx_m,time_s,value\n")
        for site, x in ((2, 105.0), (3, 281.0)):
            series = [(r["time_s"], r["C"]) for r in rows if r["site"] == site]
            for t in range(600, 8701, 300):
                k = next(i for i, (ti, _) in enumerate(series) if ti >= t)
                (t0, c0), (t1, c1) = series[k - 1], series[k]
                f.write(f"{x},{t},{c0 + (c1 - c0) * (t - t0) / (t1 - t0)!r}\n")
    return folder


@pytest.fixture(scope="session")
def registry():
    """The registry's rows, split into words."""
    tool = os.environ.get("QUARNO_PRINT_COLUMNS")
    if not tool:
        tool = Path(PROGRAM).parent / "quarno_print_columns"
        if not tool.is_file():
            pytest.skip(f"no {tool}: set QUARNO_PRINT_COLUMNS")
    out = subprocess.run([str(tool)], check=True, capture_output=True, text=True).stdout
    return [line.split() for line in out.splitlines()]
