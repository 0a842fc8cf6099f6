"""quarno.engine on the real program: the same results from a local Dask
cluster, from a scheduler and two workers started as separate processes
(also when one of them is killed halfway) and from direct runs that solve
their own flow; and the flow record's cases in one worker."""

import signal
import socket
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("distributed")

from quarno import Deck, QuarnoError, default_program  # noqa: E402
from quarno.engine import Engine, _cache_folder, flow_key, run_task  # noqa: E402
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
    record = Path(_cache_folder()) / (key + ".qflow")
    if damage:
        record.write_text("not a record\n")
    got = run_task(0, deck.text, deck.bicond, edits)
    assert got["flow"] == flow
    if damage:
        assert record.read_bytes().startswith(b"quarno flow record")
    _same([got], [run_task(0, deck.text, deck.bicond, edits, replay=False)])
