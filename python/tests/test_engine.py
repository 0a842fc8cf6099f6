"""quarno.engine on the real program: the same results from a local Dask
cluster, from a scheduler and two workers started as separate processes
(also when one of them is killed halfway) and from direct runs that solve
their own flow; and the flow record's cases in one worker."""

import json
import shutil
import signal
import socket
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")

from quarno import Deck, QuarnoError, default_program, task  # noqa: E402
from quarno.cache import Runner  # noqa: E402
from quarno.errors import Stopped  # noqa: E402
from quarno.batch import MAX_BATCH, batch_sizes  # noqa: E402
from quarno.engine import Engine, flow_key, run_task  # noqa: E402
from quarno.fit import Config, Fit  # noqa: E402
from quarno.task import LOST, Task, cache_folder, perform, read_series  # noqa: E402
from conftest import many_runs  # noqa: E402

TWIN = Path(__file__).resolve().parents[2] / "tests" / "fit-twin"
FAILING = 13  # a negative dispersion: the run fails with a numerical failure
ITEMS = [(i, [("Alfa", 0, 300, 1e-4 * (1 + 0.25 * i))]
          + ([("aL", 0, 300, -3.0)] if i == FAILING else [])) for i in range(20)]


def _same(got, want):
    """Both lists hold the same samples with identical series, bit for bit."""
    assert [r["sample"] for r in got] == [r["sample"] for r in want]
    for g, w in zip(got, want):
        assert (g["status"], g["message"]) == (w["status"], w["message"]), g["sample"]
        if w["status"] == 0:
            for name in ("time", "site", "x"):
                assert np.array_equal(g[name], w[name]), (g["sample"], name)
            assert np.array_equal(g["series"]["C"], w["series"]["C"]), g["sample"]


def _free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


@many_runs
def test_cluster_results_equal_direct_runs_and_survive_a_killed_worker(tmp_path, dask_scheduler):
    deck = Deck.read(TWIN)
    direct = [run_task(i, deck.text, deck.bicond, edits, replay=False) for i, edits in ITEMS]
    assert direct[FAILING]["status"] == 2 and direct[FAILING]["message"]
    assert sum(r["status"] == 0 for r in direct) == len(ITEMS) - 1

    with Engine(dask_scheduler, progress=False) as engine:
        _same(engine.map(reversed(ITEMS), deck), direct)
        # Each worker records the flow once, the other runs replay it.
        assert engine.counts.get("recorded", 0) <= 2 and engine.counts["replayed"] >= 15
        assert "mismatch" not in engine.counts

    port = _free_port()
    address = f"tcp://127.0.0.1:{port}"
    python = [sys.executable, "-m"]
    log = open(tmp_path / "dask.log", "w")
    procs = [subprocess.Popen([*python, "distributed.cli.dask_scheduler", "--host", "127.0.0.1",
                               "--port", str(port), "--no-dashboard"], stdout=log, stderr=log)]
    try:
        for k in range(2):
            procs.append(subprocess.Popen(
                [*python, "distributed.cli.dask_worker", address, "--nthreads", "1",
                 "--no-nanny", "--no-dashboard", "--local-directory", str(tmp_path / f"w{k}")],
                stdout=log, stderr=log))
        with Engine(address, progress=False) as engine:
            engine.client.wait_for_workers(2, timeout=60)
            _same(engine.map(ITEMS, deck), direct)

            victim = procs[1]

            def kill_halfway(result, seen=[]):
                seen.append(result)
                if len(seen) == len(ITEMS) // 2:
                    victim.send_signal(signal.SIGKILL)

            _same(engine.map(ITEMS, deck, on_result=kill_halfway), direct)
            assert victim.wait(timeout=30) == -signal.SIGKILL
            assert len(engine.client.scheduler_info()["workers"]) == 1
    finally:
        for p in reversed(procs):  # the workers first, so that they clean up
            p.terminate()
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        log.close()


BACK_ENDS = ["local", "dask"] + (["parallel"] if shutil.which("parallel") else [])


def _fit_config(folder, observations, launcher):
    folder.mkdir()
    (folder / "obs.csv").write_text(observations)
    (folder / "fit.toml").write_text(
        f'[model]\ndeck = {json.dumps(str(TWIN))}\noptions = ["--threads", "1"]\n'
        f'[observations]\nfile = "obs.csv"\n[fit]\nworkers = 2\nmax_nfev = 3\nkeep_runs = "all"\n'
        f'launcher = "{launcher}"\n[[parameter]]\nname = "Alfa"\nx_from = 0\nx_to = 300\n'
        f'initial = 3e-4\nlower = 1e-5\nupper = 1e-3\nlog = true\n')
    return folder / "fit.toml"


@many_runs
def test_every_back_end_gives_the_same_samples_and_the_same_fit(tmp_path):
    deck = Deck.read(TWIN)
    items = [ITEMS[i] for i in (0, 1, 2, 3, 4, FAILING)]
    direct = [run_task(i, deck.text, deck.bicond, edits, replay=False) for i, edits in items]
    truth = direct[0]
    observations = "x_m,time_s,value\n" + "".join(
        f"{truth['x'][k]!r},{t!r},{c!r}\n" for k in (1, 2)
        for t, c in zip(truth["time"][::20], truth["series"]["C"][k][::20]))
    fits = {}
    for launcher in BACK_ENDS:
        # Single runs per task, then batches of 4 and 2 (the failed run in the second).
        for batch in (1, 4):
            with Engine(workers=2, progress=False, launcher=launcher, scratch=tmp_path,
                        batch=batch) as engine:
                _same(engine.map(items, deck), direct)
                # Every back end records the flow and replays it for later runs;
                # each run's result is passed on once.
                assert engine.counts.get("replayed", 0) >= 1 and "solved" not in engine.counts
                assert sum(engine.counts.values()) == len(items), (launcher, batch)
        out = tmp_path / f"fit-{launcher}"
        cfg = Config(_fit_config(tmp_path / launcher, observations, launcher), out)
        fit = Fit(cfg, log=lambda line: None)
        fit.run()
        assert fit.record is not None and fit.runner.failed == []
        # The result files of every run (their hashes, in the done marks).
        marks = sorted(json.dumps(json.loads(p.read_text())["files"], sort_keys=True)
                       for p in out.glob("runs/*/done"))
        fits[launcher] = ((out / "estimates.csv").read_bytes(), marks)
    assert len(fits["local"][1]) >= 3
    for launcher, got in fits.items():
        assert got == fits["local"], launcher
    assert not list(tmp_path.glob("jobs-*"))


@pytest.mark.parametrize("runs,workers", [(0, 2), (1, 2), (3, 2), (20, 2), (100, 2), (300, 2),
                                          (6144, 2), (1000, 7), (5, 1)])
def test_batches_cover_every_run_once_and_shrink_towards_the_end(runs, workers):
    """Every run in one batch; one run per worker first, none over MAX_BATCH,
    never growing, the last ones as small as allowed."""
    for smallest in (1, 4):
        sizes = batch_sizes(runs, workers, None, smallest)
        assert sum(sizes) == runs and all(k >= 1 for k in sizes), smallest
        singles = min(runs, workers)
        assert sizes[:singles] == [1] * singles and max(sizes, default=1) <= MAX_BATCH
        rest = sizes[singles:]
        assert all(a >= b for a, b in zip(rest, rest[1:])), smallest
        assert all(k >= smallest for k in rest[:-1]), smallest
        if runs >= 4 * smallest * workers:
            assert rest[-workers:-1] == [smallest] * (workers - 1) and max(rest) > smallest


def test_runs_after_a_closed_local_cluster_still_replay_the_flow(monkeypatch):
    """The local cluster's worker, in this process, takes its folder with it
    when it closes: the runs after it still record and replay the flow."""
    deck = Deck.read(TWIN)
    monkeypatch.setattr(task, "_state", {"folder": None, "workers": {},
                                         "lock": threading.Lock()})
    got = []
    for launcher in ("dask", "dask", "local"):
        with Engine(workers=2, progress=False, launcher=launcher) as engine:
            got.append(engine.map(ITEMS[:4], deck))
            assert engine.counts.get("replayed", 0) >= 2 and "solved" not in engine.counts
    got.append([run_task(0, deck.text, deck.bicond, ITEMS[0][1])])
    direct = [run_task(i, deck.text, deck.bicond, edits, replay=False) for i, edits in ITEMS[:4]]
    for results in got:
        _same(results, direct[:len(results)])


def test_killed_and_lost_runs_keep_their_rules_on_every_back_end(tmp_path):
    """A run killed by a signal fails the sampler and stops the fit (128 + N,
    after Dask's retries); a job GNU parallel never ran is a failed fit run."""
    killed = tmp_path / "quarno-killed"
    killed.write_text("#!/bin/sh\nkill -KILL $$\n")
    killed.chmod(0o755)
    deck = Deck.read(TWIN)
    for launcher in BACK_ENDS:
        with Engine(workers=2, retries=1, program=str(killed), progress=False,
                    launcher=launcher, scratch=tmp_path) as engine:
            with pytest.raises(QuarnoError) as err:
                engine.map(ITEMS[:3], deck)
            assert err.value.status == 128 + signal.SIGKILL, launcher
        with Runner(str(killed), [], 2, launcher, log=lambda line: None) as runner:
            runs = [runner.prepare(tmp_path / launcher / str(k), deck.text, deck.bicond,
                                   f"key{k}") for k in range(3)]
            with pytest.raises(Stopped) as err:
                runner.execute(runs, [])
            assert err.value.status == 128 + signal.SIGKILL, launcher
    if "parallel" in BACK_ENDS:
        with Runner(default_program(), [], 2, "parallel", ["--dry-run"],
                    lambda line: None) as runner:
            runs = [runner.prepare(tmp_path / "lost" / str(k), deck.text, deck.bicond, f"k{k}")
                    for k in range(2)]
            runner.execute(runs, [])
        assert [(r.status, r.stderr) for r in runs] == [(-1, LOST)] * 2
        assert len(runner.failed) == 2 and not list((tmp_path / "lost").glob("*/done"))


def test_a_run_ended_by_a_signal_raises_so_that_dask_retries_it(tmp_path):
    program = tmp_path / "quarno-killed"
    program.write_text("#!/bin/sh\nkill -KILL $$\n")
    program.chmod(0o755)
    deck = Deck.read(TWIN)
    with pytest.raises(QuarnoError) as err:
        run_task(0, deck.text, deck.bicond, [("Alfa", 0, 300, 2e-4)], program=str(program))
    assert err.value.status == 128 + signal.SIGKILL


# An edited flow column solves its own flow; a damaged record is replaced
# by a new one and the run is still right.
CASES = [("flow column", [("Rough", 0, 300, 0.07)], False, "solved"),
         ("damaged record", [("Alfa", 0, 300, 2e-4)], True, "recorded")]


@pytest.mark.parametrize("edits,damage,flow", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_run_task_flow_record_cases(edits, damage, flow):
    deck = Deck.read(TWIN)
    key = flow_key(deck.text, deck.bicond, [], default_program())
    record = Path(cache_folder()) / (key + ".qflow")
    if damage:
        record.write_text("not a record\n")
    got = run_task(0, deck.text, deck.bicond, edits)
    assert got["flow"] == flow
    if damage:
        assert record.read_bytes().startswith(b"quarno flow record")
    _same([got], [run_task(0, deck.text, deck.bicond, edits, replay=False)])


def test_site_series_read_alike_from_every_layout_of_the_csv(tmp_path):
    """The program's own crObsNode.csv, the same with CRLF line ends and with
    every cell quoted give the same series, bit for bit."""
    deck = Deck.read(TWIN)
    task = Task(0, [], inputs={"crparam.txt": deck.text.encode("latin-1"),
                               "crbicond.txt": deck.bicond}, variables=("C", "Cb"), bring=True)
    run = perform(task)
    plain = run["files"]["crObsNode.csv"].decode()
    quoted = "\n".join(",".join(f'"{cell}"' for cell in line.split(","))
                       for line in plain.splitlines()) + "\n"
    for name, text in (("plain", plain), ("crlf", plain.replace("\n", "\r\n")),
                       ("quoted", quoted)):
        (tmp_path / name).write_text(text, newline="")
        times, sites, x, series = read_series(tmp_path / name, ("Cb", "C"))
        assert len(times) > 10 and list(sites) == list(run["site"]), name
        for got, want in ((times, run["time"]), (x, run["x"]), (series["C"], run["series"]["C"]),
                          (series["Cb"], run["series"]["Cb"])):
            assert np.array_equal(got, want, equal_nan=True), name
        with pytest.raises(QuarnoError, match="no column 'Q'"):
            read_series(tmp_path / name, ("C", "Q"))
