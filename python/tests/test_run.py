"""quarno.run and Results on the real program (QUARNO, or the tree's build):
the tables from the CSV files and from the fixed-column files agree, the
tables are the program's own digits, a file that is not the latest finished
run's is never read, and failures and damaged files raise QuarnoError."""

import csv
import json
import math
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

import pandas
import pytest

import quarno
from quarno.manifest import MANIFEST, file_entry

ROOT = Path(__file__).resolve().parents[2]
EXAMPLE = ROOT / "examples" / "first-deck"
CSV_FILES = {"observations": "crObsNode.csv", "profiles": "crProfiles.csv",
             "balances": "crBalance.csv"}
RESULT_FILES = ("crOutput.txt", "crObsNode.txt", *CSV_FILES.values())


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The first-deck example run twice, each in a folder of its own: the
    second read as an older program's folder (no manifest), which gives its
    fixed-column files only, whatever CSV files lie there."""
    before = sorted(os.listdir(EXAMPLE))
    base = tmp_path_factory.mktemp("runs")
    full = quarno.run(EXAMPLE, folder=base / "full")
    quarno.run(str(EXAMPLE), folder=base / "fixed")
    assert sorted(os.listdir(EXAMPLE)) == before  # the source folder gets no results
    (base / "fixed" / MANIFEST).unlink(missing_ok=True)
    assert all((base / "fixed" / name).is_file() for name in CSV_FILES.values())
    return full, quarno.Results(base / "fixed")


def _csv_rows(path):
    with open(path, newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


def _close(a, b, rel):
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return abs(a - b) <= rel * max(abs(a), abs(b)) + 1e-30


# Table, the rows of the CSV table the fixed-column files also give, the
# columns compared and the relative tolerance of their printed digits.
TABLES = [
    ("observations", None, ("time_s", "site", "x_m", "h_m", "u_m_per_s", "Q_m3_per_s", "C",
                            "Cb"), 1e-4),
    ("profiles", ("kind", "cell"), ("index", "x_m", "h_m", "u_m_per_s", "q_m2_per_s",
                                    "Q_m3_per_s", "C", "Cb", "Cs"), 5e-4),
    ("balances", None, ("balance", "term", "value"), 5e-3),
]


@pytest.mark.parametrize("name,subset,columns,rel", TABLES, ids=[t[0] for t in TABLES])
def test_csv_and_fixed_tables_agree(runs, name, subset, columns, rel):
    full, fixed = runs
    table = getattr(full, name)
    head, rows = _csv_rows(full.folder / CSV_FILES[name])
    # From the CSV file: its head and its rows, every number to the bit.
    assert list(table.columns) == head
    assert len(table) == len(rows)
    for got, row in zip(table.itertuples(index=False), rows):
        for value, text in zip(got, row):
            if isinstance(value, str):
                assert value == text
            else:
                assert (math.isnan(value) and text == "") or value == float(text)
    # From the fixed-column files of the run without --csv: the same rows
    # within the printed digits, the columns of the CSV head.
    other = getattr(fixed, name)
    assert [c for c in other.columns if c != "datetime"] == [c for c in head
                                                             if c != "datetime"]
    if subset:
        table = table[table[subset[0]] == subset[1]]
    assert len(other) == len(table) > 0
    for column in columns:
        pairs = list(zip(table[column], other[column]))
        bad = [p for p in pairs if not _close(p[0], p[1], rel)]
        assert not bad, f"{column}: {len(bad)} of {len(pairs)} differ, first {bad[0]}"


def test_a_deck_object_runs_as_its_folder(runs, tmp_path):
    full, _ = runs
    res = quarno.run(quarno.Deck.read(EXAMPLE), ["--csv"], folder=tmp_path)
    assert res.observations.equals(full.observations)
    # Dated: `datetime` as pandas UTC datetimes, model time after the start.
    dated = quarno.run(EXAMPLE, ["--csv", "--start-date=2024-06-01T06:00"],
                       folder=tmp_path / "dated").observations
    assert str(dated["datetime"].dtype) == "datetime64[ns, UTC]"
    since = (dated["datetime"] - pandas.Timestamp("2024-06-01T06:00Z")).dt.total_seconds()
    assert (abs(since - dated["time_s"]) < 1e-3).all()
    assert dated.drop(columns="datetime").equals(full.observations)
    # An edited deck: the table holds the digits of the program's own
    # crObsNode.csv for that deck, to the last one.
    own = tmp_path / "own"
    shutil.copytree(EXAMPLE, own)
    (own / "crparam.txt").write_text(quarno.Deck.read(EXAMPLE).edited([("aL", 0, 1000, 3.0)]),
                                     encoding="latin-1")
    edited = quarno.run(own, folder=tmp_path / "edited").observations
    subprocess.run([quarno.default_program(), "--csv", "--no-pause", "--quiet", str(own)],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    head, rows = _csv_rows(own / "crObsNode.csv")
    assert list(edited.columns) == head and len(edited) == len(rows)
    assert not edited.equals(full.observations)
    for got, row in zip(edited.itertuples(index=False), rows):
        assert [repr(float(v)) for v in got] == [repr(float(t)) if t else "nan" for t in row]


def _with_inflow(src, dest, concentration):
    """A copy of the deck with the salt pulse at another concentration."""
    dest.mkdir(parents=True, exist_ok=True)
    shutil.copy(src / "crparam.txt", dest)
    text = (src / "crbicond.txt").read_text(encoding="latin-1")
    old = "    600.   0.306   1.      50."
    assert old in text
    (dest / "crbicond.txt").write_text(text.replace(old, f"    600.   0.306   1.      "
                                                    f"{concentration}."), encoding="latin-1")


def write_manifest(folder, state="finished", status=0, message="", files=RESULT_FILES):
    """A run manifest beside the results in `folder`, as the program writes it."""
    manifest = {"format": "quarno run manifest, version 1", "version": "0.5.0",
                "arguments": [str(folder)], "folder": str(folder),
                "started": "2026-12-10T04:00:00.000Z", "ended": "2026-12-10T04:00:01.000Z",
                "state": state, "exit_status": status, "message": message,
                "files": [file_entry(Path(folder) / name) for name in files]}
    (Path(folder) / MANIFEST).write_text(json.dumps(manifest))


def _cut(folder):
    with open(folder / "crObsNode.csv", "rb+") as f:
        f.truncate(os.path.getsize(f.name) - 5)


# (case, manifest arguments or None for none, damage after it is written,
# from the CSV files, or the words of the ResultsError).
MANIFEST_CASES = [
    ("finished", {}, None, True),
    ("no manifest", None, None, False),
    ("no CSV listed", {"files": ("crOutput.txt", "crObsNode.txt")}, None, False),
    ("cut after the run", {}, _cut, "crObsNode.csv: changed since the run"),
    ("interrupted", {"state": "interrupted", "status": 130, "message": "stopped by\nSIGINT"},
     None, "run interrupted (exit 130): stopped by SIGINT"),
    ("failed", {"state": "failed", "status": 2, "message": "no convergence"}, None,
     "failed (exit 2): no convergence"),
    ("running", {"state": "running", "status": None, "files": ()}, None, "has not finished"),
    ("damaged manifest", {}, lambda f: (f / MANIFEST).write_text('{"format": '),
     "crManifest.json: not a run manifest"),
]


def test_the_manifest_says_which_files_are_the_latest_runs(tmp_path):
    # A run with CSV files at pulse 50, then one without them at 80 (as an
    # older program, or a run without --csv, leaves a folder): the results
    # hold 80 at the inlet, whatever the CSV files left there.
    _with_inflow(EXAMPLE, tmp_path, 50)
    quarno.run(tmp_path)
    _with_inflow(EXAMPLE, tmp_path, 80)
    subprocess.run([quarno.default_program(), "--no-pause", "--quiet", str(tmp_path)],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    res = quarno.Results(tmp_path)
    inlet = res.observations[res.observations["site"] == 1]
    assert inlet["C"].max() == pytest.approx(80.0, rel=1e-4)
    assert quarno.read_observations(tmp_path)[0]["C"] == res.observations["C"][0]
    # The manifest decides, whatever the file times.
    full = quarno.run(tmp_path)
    for case, manifest, damage, expected in MANIFEST_CASES:
        folder = tmp_path / case.replace(" ", "-")
        shutil.copytree(full.folder, folder, ignore=shutil.ignore_patterns(MANIFEST, "*-*"))
        if manifest is not None:
            write_manifest(folder, **manifest)
        if damage:
            damage(folder)
        res = quarno.Results(folder)
        if isinstance(expected, str):
            for read in (lambda: res.observations, lambda: quarno.read_observations(folder)):
                with pytest.raises(quarno.ResultsError) as caught:
                    read()
                assert expected in str(caught.value) and "\n" not in str(caught.value), case
            continue
        # Only the CSV file holds the storage-zone concentration Cs.
        assert res.observations["Cs"].notna().all() == expected, case
        assert ("node" in set(res.profiles["kind"])) == expected, case
        if expected:
            assert res.observations.equals(full.observations), case


def _program(folder, body):
    path = folder / "program"
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def test_failures_raise_quarno_error(tmp_path):
    bad = tmp_path / "bad"
    _with_inflow(EXAMPLE, bad, 50)
    text = (bad / "crparam.txt").read_text(encoding="latin-1")
    (bad / "crparam.txt").write_text(text.replace("  1  0  101", "  1  0  many"),
                                     encoding="latin-1")
    (tmp_path / "empty").mkdir()
    (tmp_path / "fails").mkdir()
    cases = [  # (deck, program, exit status, words of the message)
        (bad, None, 1, "crparam.txt"),
        (tmp_path / "empty", None, 1, "crparam.txt: cannot open"),
        (tmp_path / "missing", None, 1, "no such folder"),
        (EXAMPLE, _program(tmp_path, "echo 'cannot write crOutput.txt' >&2; exit 3"), 3,
         "cannot write crOutput.txt"),
        (EXAMPLE, _program(tmp_path / "empty", "kill -TERM $$"), 143, "SIGTERM"),
        (EXAMPLE, _program(tmp_path / "fails", "echo 'Time (sec)=  61.48'; "
                           "echo 'the flow failed' >&2; exit 2"), 2, "the flow failed"),
    ]
    # The same with a progress bar, which reads the program's stdout as it comes.
    for k, (deck, program, status, words) in enumerate(cases * 2):
        with pytest.raises(quarno.QuarnoError) as caught:
            quarno.run(deck, folder=tmp_path / f"run{k}" if deck == EXAMPLE else None,
                       program=program, progress=k >= len(cases))
        assert caught.value.status == status, (deck, caught.value)
        assert words in caught.value.message, (deck, caught.value)
    # Results of a folder never run, and of the failed run in "empty".
    (tmp_path / "never").mkdir()
    for folder, words in (("never", "no crObsNode.txt"),
                          ("empty", r"the latest run failed \(exit 1\): crparam.txt: cannot open")):
        with pytest.raises(quarno.QuarnoError, match=words):
            quarno.Results(tmp_path / folder).observations


def test_warnings_and_progress_change_nothing_in_the_results(tmp_path, capfd):
    """A deck whose output time lies past the end: its warning is issued as
    a QuarnoWarning at the caller's line and kept in Results.warnings, with
    a bar or without; the bar runs without --quiet up to the end of the
    schedule, and the result files are the same bytes."""
    deck = quarno.Deck.read(EXAMPLE)
    deck.set_output_times([1200.0, 99999.0])
    runs = {}
    for bar in (False, True):
        with pytest.warns(quarno.QuarnoWarning) as caught:
            runs[bar] = quarno.run(deck, folder=tmp_path / str(bar), progress=bar)
        assert [str(w.message) for w in caught] == runs[bar].warnings
        assert {w.filename for w in caught} == {__file__}
        assert len(runs[bar].warnings) == 1 and "TOut(2) = 99999 s" in runs[bar].warnings[0]
        arguments = json.loads((tmp_path / str(bar) / MANIFEST).read_text())["arguments"]
        assert ("--quiet" in arguments) == (not bar)
    assert runs[True].warnings == runs[False].warnings
    # The bar moved with the program's model time, to the end of the schedule.
    positions = re.findall(r"([0-9.]+)/7200\.0 ", capfd.readouterr().err)
    assert len(set(positions)) > 3 and positions[-1] == "7200.0", positions
    for name in RESULT_FILES:
        assert (tmp_path / "True" / name).read_bytes() == (tmp_path / "False" / name).read_bytes()


def _obs_csv(fields):
    """crObsNode.csv text: the head of the real file and one row from `fields`
    (a dict of changed columns) over a row of zeros."""
    head = list(quarno.OBS_COLUMNS)
    row = {c: "0" for c in head}
    row.update(fields)
    return ",".join(head) + "\n" + ",".join(row[c] for c in head) + "\n"


_ECHO = "title\n Nobs= {}\n   38.0\n"
# (case, files written {name: text or bytes}, the file the message names).
DAMAGED = [
    ("cut short", {"crObsNode.csv": _obs_csv({})[:-3]}, "crObsNode.csv, line 2: cut short"),
    ("fewer fields", {"crObsNode.csv": _obs_csv({})[:-5] + "\n"}, "crObsNode.csv, line 2"),
    ("not a number", {"crObsNode.csv": _obs_csv({"C": "high"})}, "crObsNode.csv, line 2"),
    ("1e999 as a site", {"crObsNode.csv": _obs_csv({"site": "1e999"})}, "crObsNode.csv"),
    ("other digits", {"crObsNode.csv": _obs_csv({"C": "\u0661\u0662"})}, "crObsNode.csv"),
    ("wide digits", {"crObsNode.csv": _obs_csv({"site": "\uff11"})}, "crObsNode.csv"),
    ("huge integer", {"crObsNode.csv": _obs_csv({"site": "9" * 5000})}, "crObsNode.csv"),
    ("huge field", {"crObsNode.csv": _obs_csv({"C": '"' + "1" * 200000 + '"'})},
     "crObsNode.csv: not a CSV"),
    ("not UTF-8", {"crObsNode.csv": b"time_s\n\xff\xfe\n"}, "crObsNode.csv: not UTF-8"),
    ("empty", {"crObsNode.csv": ""}, "crObsNode.csv: empty"),
    ("date out of range", {"crObsNode.csv": "time_s,datetime,site\n0,10000-01-01T00:00Z,1\n"},
     "crObsNode.csv: a datetime"),
    ("Nobs a word", {"crOutput.txt": _ECHO.format("many"), "crObsNode.txt": ""},
     "crOutput.txt: Nobs is not a count"),
    ("Nobs huge", {"crOutput.txt": _ECHO.format("9" * 30), "crObsNode.txt": ""},
     "crOutput.txt: Nobs is not a count"),
    ("Nobs 1e999", {"crOutput.txt": _ECHO.format("1e999"), "crObsNode.txt": ""},
     "crOutput.txt: Nobs is not a count"),
    ("Nobs in other digits", {"crOutput.txt": _ECHO.format("\u0661"), "crObsNode.txt": ""},
     "crOutput.txt: Nobs is not a count"),
    ("no report", {"crObsNode.txt": ""}, "no crOutput.txt"),
]


@pytest.mark.parametrize("files,words", [c[1:] for c in DAMAGED], ids=[c[0] for c in DAMAGED])
def test_damaged_result_files_raise_one_line_naming_the_file(tmp_path, files, words):
    for name, text in files.items():
        data = text if isinstance(text, bytes) else text.encode("utf-8")
        (tmp_path / name).write_bytes(data)
    csv_run = any(name.endswith(".csv") for name in files)
    readers = [lambda: quarno.Results(tmp_path, csv=csv_run).observations]
    if csv_run:  # a finished run's manifest listing the damaged file
        write_manifest(tmp_path, files=list(files))
    if "datetime" not in str(files.get("crObsNode.csv")):  # dates are pandas' to read
        readers.append(lambda: quarno.read_observations(tmp_path))
    for read in readers:
        with pytest.raises(quarno.QuarnoError) as caught:
            read()
        message = str(caught.value)
        assert words in message and "\n" not in message, message
        assert str(tmp_path) in message, message


@pytest.mark.parametrize("call,words", [
    (lambda: quarno.run(5), "not int"),
    (lambda: quarno.run(EXAMPLE, options="--csv"), "options must be a list"),
    (lambda: quarno.run(EXAMPLE, options=5), "options must be a list"),
    (lambda: quarno.run(EXAMPLE, options=[None]), "options must be a list"),
    (lambda: quarno.run(EXAMPLE, folder=5), "folder must be a path"),
    (lambda: quarno.run(EXAMPLE, program=["quarno"]), "program must be a path"),
    (lambda: quarno.Results(None).observations, "not NoneType"),
    (lambda: quarno.read_observations(3.5), "not float"),
], ids=["deck", "options text", "options number", "option None", "folder", "program",
        "Results", "read_observations"])
def test_wrong_types_raise_quarno_error(call, words):
    with pytest.raises(quarno.QuarnoError, match=words):
        call()


def test_a_run_stopped_by_sigint_is_refused_by_results_and_the_plot(tmp_path):
    """The real program stopped by SIGINT once its first records are out:
    its manifest says interrupted, and neither Results nor quarno-plot read
    the short tables it leaves."""
    shutil.copytree(EXAMPLE, tmp_path, dirs_exist_ok=True)
    bicond = (tmp_path / "crbicond.txt").read_text(encoding="latin-1")
    long_run = bicond.replace("   7200.   0.306   1.       0.", "7200000.   0.306   1.       0.")
    assert long_run != bicond
    (tmp_path / "crbicond.txt").write_text(long_run, encoding="latin-1")
    p = subprocess.Popen([quarno.default_program(), "--csv", "--no-pause", "--quiet",
                          str(tmp_path)], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE)
    try:
        # Waits for the event (records written), not for a time; the limit
        # only keeps a broken program from hanging the suite.
        for _ in range(6000):
            obs = tmp_path / "crObsNode.csv"
            if obs.is_file() and obs.stat().st_size > 2000 or p.poll() is not None:
                break
            time.sleep(0.05)
        p.send_signal(signal.SIGINT)
        assert p.wait(600) == 130, p.stderr.read()
    finally:
        p.kill()
    manifest = json.loads((tmp_path / MANIFEST).read_text())
    assert (manifest["state"], manifest["exit_status"]) == ("interrupted", 130)
    assert "crObsNode.csv" in [f["name"] for f in manifest["files"]]
    res = quarno.Results(tmp_path)
    for read in (lambda: res.observations, lambda: quarno.read_observations(tmp_path)):
        with pytest.raises(quarno.ResultsError, match=r"run interrupted \(exit 130\)"):
            read()
    plot = subprocess.run([ROOT / "tools" / "quarno-plot", str(tmp_path), "--out",
                           str(tmp_path / "plots")], capture_output=True, text=True)
    assert plot.returncode == 1 and "interrupted (exit 130)" in plot.stderr, plot
    assert len(plot.stderr.strip().splitlines()) == 1 and not (tmp_path / "plots").exists()
