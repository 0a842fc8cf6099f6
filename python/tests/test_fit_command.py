"""quarno-fit as a command: the deck editor on the example decks, a twin
experiment that recovers known parameters with the real program, resuming from
the run cache, configuration errors and failed runs."""

import csv
import re
import shutil
import sys
from pathlib import Path

import pytest

from conftest import PROGRAM, ROOT, fit_parameter, run_fit_tool, run_program, write_fit_config
from quarno.cli import fit_main
from quarno.deck import Deck, DeckError

TRUTH = {"aL": 3.0, "Alfa": 3.0e-4, "f": 0.5}  # the values written in tests/fit-twin


def read_csv(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(f))


def echo_transport_rows(results):
    """The transport-parameter rows echoed in crOutput.txt, as floats."""
    lines = Path(results).read_text(encoding="latin-1").splitlines()
    k = next(i for i, line in enumerate(lines) if line.lstrip().startswith("X(m)    aL"))
    rows = []
    for line in lines[k + 2:]:
        if not line.strip():
            break
        rows.append([float(v.replace("D", "E")) for v in line.split()])
    return rows


@pytest.fixture(scope="module")
def twin_fit(fit_twin):
    """Observations made by the model from known aL, Alfa and f, and the fit
    started a factor 2 away from them: (its configuration, the finished
    command, its output folder)."""
    params = [fit_parameter("aL", 1.5, 0.01, 100), fit_parameter("Alfa", 6e-4, 1e-6, 0.1),
              fit_parameter("f", 0.25, 0.01, 5)]
    config = write_fit_config(fit_twin, params, extra_fit='keep_runs = "all"')
    return config, run_fit_tool(config), fit_twin / "fit"


@pytest.mark.slow
def test_a_twin_fit_recovers_the_true_values_and_writes_its_files(twin_fit):
    _, first, out = twin_fit
    assert first.returncode == 0, first.stderr
    est = {r["name"]: r for r in read_csv(out / "estimates.csv")}
    for name, truth in TRUTH.items():
        assert float(est[name]["value"]) / truth == pytest.approx(1.0, abs=0.01), name
        assert float(est[name]["lower95"]) <= float(est[name]["value"])
    # Progress lines on the console, one per evaluation and Jacobian.
    assert re.search(r"jacobian: 3 columns, cost [0-9.e+-]+", first.stdout)

    series = read_csv(out / "fit_series.csv")
    assert len(series) == 56
    assert max(abs(float(r["modelled"]) - float(r["observed"])) for r in series) < 0.01
    sites = {r["group"]: r for r in read_csv(out / "sites.csv")}
    assert set(sites) == {"x=105", "x=281"}
    assert sites["x=281"]["n"] == "28"
    # The peak arrives later downstream, in the data and in the model.
    assert float(sites["x=281"]["modelled_peak_time_s"]) > \
        float(sites["x=105"]["modelled_peak_time_s"])
    corr = read_csv(out / "correlation.csv")
    assert [r[""] for r in corr] == ["aL 0-300", "Alfa 0-300", "f 0-300"]
    # best/ is a runnable deck holding the estimates, with its results.
    best = Deck.read(out / "best" / "crparam.txt")
    assert best.value("aL", 0) == pytest.approx(3.0, abs=0.03)
    assert (out / "best" / "crObsNode.csv").is_file()
    summary = (out / "summary.txt").read_text()
    assert int(re.search(r"runs made: (\d+)", summary).group(1)) > 4
    assert "failed runs: 0" in summary


@pytest.mark.slow
def test_a_parameter_held_by_its_bound_is_flagged(fit_twin):
    # The truth, aL = 3, lies beyond the upper bound: the fit stops there
    # and says that the range it reports does not hold.
    # Kds, the die-off in a bed the chloride never reaches, changes
    # nothing: the data cannot determine it, and the fit says so and
    # still reports.
    params = [fit_parameter("aL", 1.5, 0.01, 2.0), fit_parameter("Alfa", 6e-4, 1e-6, 0.1),
              fit_parameter("Kds", 1e-6, 1e-9, 1e-3)]
    config = write_fit_config(fit_twin, params, name="bounded.toml")
    out = fit_twin / "bounded"
    done = run_fit_tool(config, "--out", str(out))
    assert done.returncode == 0, done.stderr
    est = {r["name"]: r for r in read_csv(out / "estimates.csv")}
    assert float(est["aL"]["value"]) == pytest.approx(2.0, abs=1e-6)
    summary = (out / "summary.txt").read_text()
    assert "aL 0-300 ends at its upper bound" in summary
    assert "Alfa 0-300 ends at" not in summary
    assert "Kds 0-300: the data cannot determine it" in summary
    assert "Kds" in est


@pytest.mark.slow
def test_failed_runs_are_counted_and_the_fit_goes_on(fit_twin):
    # A program that fails for Alfa above 4.5e-4: the fit, starting at
    # 4e-4, meets failures on its way and still ends at the truth. It reads
    # Alfa from the first row under the transport table's head (importing
    # the package would take longer than the run).
    wrapper = fit_twin / "flaky"
    wrapper.write_text(
        f"#!{sys.executable}\nimport os, sys\n"
        "lines = open(os.path.join(sys.argv[-1], 'crparam.txt'), encoding='latin-1').readlines()\n"
        "k = next(i for i, line in enumerate(lines) if line.split()[:2] == ['X', 'aL(m)'])\n"
        "if float(lines[k + 1].split()[6]) > 4.5e-4:\n"
        "    sys.stderr.write('The flow solution cannot advance at t = 1 s.\\n')\n"
        "    sys.exit(2)\n"
        f"os.execv({PROGRAM!r}, [{PROGRAM!r}] + sys.argv[1:])\n")
    wrapper.chmod(0o755)
    params = [fit_parameter("aL", 1.5, 0.01, 100), fit_parameter("Alfa", 4.4e-4, 1e-6, 0.1)]
    config = write_fit_config(fit_twin, params, program=wrapper, name="flaky.toml")
    out = fit_twin / "flaky-fit"
    proc = run_fit_tool(config, "--out", str(out))
    assert proc.returncode == 0, proc.stderr
    summary = (out / "summary.txt").read_text()
    assert int(re.search(r"failed runs: (\d+)", summary).group(1)) > 0
    assert "cannot advance" in summary


def test_a_failure_at_the_start_is_reported(fit_twin):
    program = fit_twin / "failing"
    program.write_text("#!/bin/sh\necho 'The flow solution became non-finite' >&2\nexit 2\n")
    program.chmod(0o755)
    config = write_fit_config(fit_twin, [fit_parameter("Alfa", 5e-4, 1e-6, 0.1)],
                              program=program, name="failing.toml")
    proc = run_fit_tool(config, "--out", str(fit_twin / "failing-fit"))
    assert proc.returncode == 2
    assert "became non-finite" in proc.stderr
    assert "exit 2" in proc.stderr


@pytest.mark.slow
def test_a_second_fit_makes_no_new_runs(twin_fit):
    config, first, out = twin_fit
    assert first.returncode == 0, first.stderr
    again = run_fit_tool(config)
    assert again.returncode == 0, again.stderr
    summary = (out / "summary.txt").read_text()
    assert "runs made: 0\n" in summary
    assert re.search(r"runs from the cache: [1-9]", summary)


EXAMPLES = sorted((ROOT / "examples").glob("*/crparam.txt"))


@pytest.mark.parametrize("path", EXAMPLES, ids=[p.parent.name for p in EXAMPLES])
def test_deck_values_change_only_where_asked(path):
    deck = Deck.read(path)
    # The same values again: the very same bytes.
    assert deck.edited([("Rough", 0, 1e9, deck.value("Rough", 0))]) == deck.text
    new = Deck(deck.edited([("Rough", 0, 1e9, 0.0421)]))
    assert new.tables["NRough"]["columns"]["Rough"][0].value == 0.0421
    for table, content in deck.tables.items():
        for col, toks in content["columns"].items():
            if col != "Rough":
                assert [t.value for t in toks] == \
                    [t.value for t in new.tables[table]["columns"][col]]
    old_lines, new_lines = deck.text.splitlines(), new.text.splitlines()
    assert len(old_lines) == len(new_lines)
    changed = [(a, b) for a, b in zip(old_lines, new_lines) if a != b]
    assert len(changed) == 2  # both rows of the roughness table
    for a, b in changed:  # only the number differs
        old, new_ = a.split(), b.split()
        assert new_[1] == "0.0421"
        assert old[:1] + old[2:] == new_[:1] + new_[2:]
        assert b.startswith(a[:a.index(old[1])])


def test_deck_rows_per_sub_segment_and_reach_edges():
    text = (ROOT / "examples" / "uvas-reach" / "crparam.txt").read_text()
    rows = [f"  {x}   3.0   0.   5.0   0.5   0.   3.0e-4   0.   0.   0.01   0.05   1600."
            for x in ("0.", "3.", "6.", "8.99995", "12.00005", "15.", "300.")]
    head, _, _ = text.partition("NTrPar")
    lines = text[len(head):].splitlines()
    deck = Deck(head + "\n".join([lines[0], "  7", lines[2]] + rows) + "\n")
    # Rows at 3 and 6 are in [3, 9); the row just short of 9 starts the
    # segment of nodes beyond 9 and so belongs to [9, 12), and the row
    # just beyond 12 to the reach after it.
    assert deck.rows_in("aL", 3.0, 9.0) == [1, 2]
    assert deck.rows_in("aL", 9.0, 12.0) == [3]
    assert deck.rows_in("aL", 12.0, 15.0) == [4]
    assert deck.rows_in("aL", 6.0, 1000.0) == [2, 3, 4, 5, 6]
    edited = Deck(deck.edited([("aL", 3.0, 12.0, 7.5)]))
    assert [edited.value("aL", k) for k in range(7)] == [3.0, 7.5, 7.5, 7.5, 3.0, 3.0, 3.0]


def test_deck_repeat_factors_are_written_out():
    text = (ROOT / "examples" / "first-deck" / "crparam.txt").read_text()
    text = text.replace("     0.   2.   0.   1.   0.1   0.   0.   0.   0.   0.   0.05",
                        "     0.   2.   0.   1.   0.1   5*0.   0.05")
    deck = Deck(text)
    assert deck.value("Kdw", 0) == 0.0
    edited = Deck(deck.edited([("Alfa", 0, 500, 2e-4)]))
    assert [edited.value(c, 0) for c in ("Vs", "Alfa", "Kdw", "Hb")] == [0.0, 2e-4, 0.0, 0.05]
    assert "0. 0.0002 0. 0. 0." in edited.text
    with pytest.raises(DeckError):
        Deck(text.replace("  2\nX  aL", "  x\nX  aL"))


def test_the_program_reads_the_edited_deck(tmp_path):
    shutil.copytree(ROOT / "tests" / "fit-twin", tmp_path, dirs_exist_ok=True)
    deck = Deck.read(tmp_path / "crparam.txt")
    text = deck.edited([("aL", 0, 150, 2.125), ("Alfa", 0, 300, 1.5e-05),
                        ("Rough", 0, 300, 0.061)])
    (tmp_path / "crparam.txt").write_text(text, encoding="latin-1")
    run_program(tmp_path)
    rows = echo_transport_rows(tmp_path / "crOutput.txt")
    assert [r[1] for r in rows] == [2.125, 3.0]     # aL: first row only
    assert [r[6] for r in rows] == [1.5e-5, 1.5e-5]  # Alfa: the whole reach
    assert "0.610E-01" in (tmp_path / "crOutput.txt").read_text(encoding="latin-1")


def test_configuration_errors_are_one_line_and_exit_1(fit_twin, tmp_path, capsys):
    """In process: exit 1 and one line naming the fault, configurations and
    observations the model cannot match alike."""
    shutil.copytree(fit_twin / "deck", tmp_path / "deck")
    good_obs = (fit_twin / "obs.csv").read_text()
    good = fit_parameter("aL", 2.0, 0.1, 10)
    cases = [  # (parameters, expected, observations, extra [fit] keys)
        ([fit_parameter("Dispersion", 2.0, 0.1, 10)], "unknown parameter name 'Dispersion'",
         None, ""),
        ([good.replace("lower = 0.1\n", "")], "missing key 'lower'", None, ""),
        ([fit_parameter("aL", 20.0, 0.1, 10)], "initial value 20 lies outside the bounds",
         None, ""),
        ([fit_parameter("aL", 2.0, -1, 10)], "log parameter needs a positive lower bound",
         None, ""),
        ([fit_parameter("aL", 2.0, 0.1, 10, x_from=100.0, x_to=200.0)],
         "parameter 'aL 100-200': no row of the NTrPar table", None, ""),
        ([good, fit_parameter("aL", 2.0, 0.1, 10, x_from=0.0, x_to=150.0)
          .replace('name = "aL"', 'name = "aL"\nlabel = "aL upper"')], "overlap", None, ""),
        ([good], "unknown key 'worker'", None, "worker = 2"),
        ([good], "no model observation position within 0.5 m of x = 200",
         "x_m,time_s,value\n105,600,3.7\n200,600,3.7\n", ""),
        ([good], "line 3 (t = 99999 s)",
         "x_m,time_s,value\n105,600,3.7\n105.3,99999,3.7\n", ""),
    ]
    for params, expected, obs, extra_fit in cases:
        (tmp_path / "obs.csv").write_text(obs or good_obs)
        config = write_fit_config(tmp_path, params, extra_fit=extra_fit)
        status = fit_main([str(config), "--out", str(tmp_path / "out")])
        out, err = capsys.readouterr()
        assert status == 1, (expected, out + err)
        assert len(err.strip().splitlines()) == 1, err
        assert expected in err


@pytest.mark.slow
@pytest.mark.skipif(not shutil.which("parallel"), reason="GNU parallel is not installed")
def test_a_fit_through_gnu_parallel(fit_twin, tmp_path):
    shutil.copytree(fit_twin / "deck", tmp_path / "deck")
    shutil.copy(fit_twin / "obs.csv", tmp_path)
    config = write_fit_config(tmp_path, [fit_parameter("aL", 1.5, 0.01, 100)],
                              extra_fit='launcher = "parallel"\n'
                                        'parallel_args = ["--halt", "never"]')
    proc = run_fit_tool(config)
    assert proc.returncode == 0, proc.stderr
    est = read_csv(tmp_path / "fit" / "estimates.csv")
    assert float(est[0]["value"]) == pytest.approx(3.0, abs=0.03)
