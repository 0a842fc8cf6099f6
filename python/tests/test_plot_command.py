"""tools/quarno-plot and the profile and balance readers it uses: real runs of
the uvas-reach example with and without --csv, the readers of crOutput.txt
held against the CSV files of the same run, and the tool's files and error
exits."""

import importlib.util
import math
import os
import shutil
import struct
import subprocess
from pathlib import Path

import numpy as np
import pytest

from conftest import PROGRAM, ROOT
from quarno.results import (
    balance_series, read_balance_csv, read_balance_fixed, read_obs_positions, read_profiles_csv,
    read_profiles_fixed)

PLOTS = ("breakthrough_C.png", "profiles_flow.png", "profiles_concentration.png",
         "balance_errors.png")
needs_mpl = pytest.mark.skipif(
    importlib.util.find_spec("matplotlib") is None,
    reason="matplotlib is not installed (Debian: python3-matplotlib)")


def run_example(folder, example, csv):
    """A copy of an example deck in `folder`, run; the folder as a string."""
    folder.mkdir()
    for name in ("crparam.txt", "crbicond.txt"):
        shutil.copy(ROOT / "examples" / example / name, folder)
    subprocess.run([PROGRAM, "--no-pause", "--quiet"] + (["--csv"] if csv else []) + [folder],
                   check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    return str(folder)


@pytest.fixture(scope="module")
def uvas(tmp_path_factory):
    """One run of uvas-reach with --csv ("full") and one without ("fixed")."""
    base = tmp_path_factory.mktemp("uvas")
    return {"full": run_example(base / "full", "uvas-reach", csv=True),
            "fixed": run_example(base / "fixed", "uvas-reach", csv=False)}


def plot(*args):
    """The tool run as a user runs it: (exit status, stdout, stderr)."""
    p = subprocess.run([str(ROOT / "tools" / "quarno-plot"), *map(str, args)],
                       capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return p.returncode, p.stdout, p.stderr


def png_size(path):
    """(width, height) from the PNG header; fails on anything not a PNG."""
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", f"{path} is no PNG"
    return struct.unpack(">II", head[16:24])


def check_plots(out, stdout, names=PLOTS):
    assert [Path(line).name for line in stdout.split()] == list(names)
    for name in names:
        width, height = png_size(os.path.join(out, name))
        assert width > 600 and height > 300, name
        assert os.path.getsize(os.path.join(out, name)) > 15000, name


def test_fixed_profiles_agree_with_csv_to_the_printed_digits(uvas):
    full = read_profiles_csv(os.path.join(uvas["full"], "crProfiles.csv"))
    fixed = read_profiles_fixed(os.path.join(uvas["fixed"], "crOutput.txt"))
    assert len(full) == 4  # three output times and the end of the schedule
    assert len(fixed) == len(full)
    for a, b in zip(fixed, full):
        assert abs(a["time_s"] - b["time_s"]) <= 5e-7 * b["time_s"]
        assert len(b["node"]["x_m"]) == 61
        assert len(a["cell"]["x_m"]) == 60
        for column, exact in b["cell"].items():
            assert len(a["cell"][column]) == len(exact), column
            for i, (p, e) in enumerate(zip(a["cell"][column], exact)):
                # E12.4: four digits, the first one not zero
                assert abs(p - e) <= 5.01e-4 * abs(e), (column, i, p, e)
    # Values that vary: the storage zone lags the stream at the first output.
    first = full[0]["cell"]
    assert first["C"][0] - first["Cs"][0] > 1.0


def test_fixed_balances_agree_with_csv_to_the_printed_digits(uvas):
    full = read_balance_csv(os.path.join(uvas["full"], "crBalance.csv"))
    fixed = read_balance_fixed(os.path.join(uvas["fixed"], "crOutput.txt"))
    assert [(r["balance"], r["term"]) for r in fixed] == [(r["balance"], r["term"]) for r in full]
    for a, b in zip(fixed, full):
        # E10.3 for the balance terms, F6.3 for the Froude number
        tol = 5e-4 if b["term"] == "Fr" else 5.01e-3 * abs(b["value"])
        assert abs(a["value"] - b["value"]) <= tol, (a, b)
    series = balance_series(fixed)
    assert set(series) == {"water", "stream-water solute", "bed-sediment solute"}
    times, errors = series["stream-water solute"]
    assert len(times) == 4
    assert times == sorted(times)
    assert all(e > 0 for e in errors)
    assert read_obs_positions(uvas["fixed"]) == [38.0, 105.0, 281.0]


def test_fixed_reader_forms_a_real_run_seldom_shows(tmp_path):
    """Three-digit exponents, a minus sign in the leading blank, asterisks;
    and a flow-only report."""
    row = "".join(f"  {v:>12}" for v in ("0.2500E+01", "0.1272E+00", "-0.8397E-01",
                                          "0.1068E-01", "0.1278E-01", "0.2899-185",
                                          "************", "0.0000E+00"))
    text = ("RESULTS\n \nTime= 0.3600821E+04\n\n"
            "       X(m)           h(m)          u(m/s)       q(m2/s)       Q(m3/s)"
            "         C           Cs           Cst\n\n" + row + "\n" + row + "\n\n"
            "     Froude number at X=0:  0.075\n\n\n     WATER BALANCE\n"
            " Initial storage (m3).....Wini=   0.426E+02\n"
            " Flow at X=0(m3).......... QX0=   0.461E+02\n"
            " Relative error(%)........ER_R=  -0.124E+01\n\n \n")
    path = tmp_path / "crOutput.txt"
    path.write_text(text)
    blocks = read_profiles_fixed(str(path))
    rows = read_balance_fixed(str(path))
    assert len(blocks) == 1
    cell = blocks[0]["cell"]
    assert cell["x_m"] == [2.5, 2.5]
    assert cell["u_m_per_s"][0] == -0.08397
    assert cell["C"][0] == pytest.approx(0.2899e-185, abs=1e-195)
    assert math.isnan(cell["Cb"][0])
    assert [(r["balance"], r["term"], r["value"]) for r in rows] == \
        [("inlet", "Fr", 0.075), ("water", "Wini", 42.6), ("water", "QX0", 46.1),
         ("water", "ER_R", -1.24)]
    assert rows[-1]["time_s"] == 3600.821


@needs_mpl
@pytest.mark.parametrize("run", ["full", "fixed"])
def test_plots_of_both_runs(uvas, run):
    status, out, err = plot(uvas[run])
    assert status == 0, err
    check_plots(os.path.join(uvas[run], "plots"), out)


@needs_mpl
def test_observations_and_options(uvas, tmp_path):
    observed = tmp_path / "samples.csv"
    observed.write_text("# chloride samples\nx_m,time_s,value,weight,group\n\n"
                        "38,3600,11.1,1,grab\n105.3,3600,10.5,0,auto\n500,3600,4,1,grab\n")
    status, out, err = plot("--observations", observed, "--time-offset-h", "9.5",
                            "--variable", "Q", "--out", tmp_path, uvas["full"])
    assert status == 0, err
    check_plots(tmp_path, out, ("breakthrough_Q.png",) + PLOTS[1:])
    assert "X = 500 m match no observation site" in err  # 105.3 does match
    # A file as quarno-fit takes it, without a header, is drawn as well.
    observed.write_text("38,3600,11.1\n500,3600,4,1,grab\n")
    status, out, err = plot("--observations", observed, "--out", tmp_path, uvas["full"])
    assert status == 0, err
    assert "X = 500 m match no observation site" in err


@needs_mpl
def test_log_axes_discharge_panel_bands_and_units(uvas, tmp_path, capsys, monkeypatch):
    from quarno.cli import plot_main
    from quarno.results import read_obs_csv
    rows = [r for r in read_obs_csv(os.path.join(uvas["full"], "crObsNode.csv"))
            if r["site"] == 2]
    bands = tmp_path / "bands.csv"
    bands.write_text("site,x_m,time_s,lower,median,upper\n"
                     + "".join(f"2,{r['x_m']},{r['time_s']},{r['C'] * 0.8},{r['C']},"
                               f"{r['C'] * 1.2}\n" for r in rows))
    figures = []
    monkeypatch.setattr("matplotlib.pyplot.close", figures.append)
    status = plot_main(["--log", "--discharge", "--bands", str(bands), "--conc-unit", "mg/m³",
                        "--out", str(tmp_path), uvas["full"]])
    out, err = capsys.readouterr()
    assert status == 0, err
    check_plots(tmp_path, out)
    figures = [f for f in figures if hasattr(f, "axes")]
    discharge, conc = figures[0].axes[:2]
    assert discharge.get_ylabel() == "Discharge Q (m³/s)"
    assert conc.get_ylabel() == "Stream-water concentration C (mg/m³)"
    assert conc.get_yscale() == "log"
    assert len(conc.collections) == 1  # one site's band
    legend = conc.get_legend()
    assert legend.get_window_extent().x0 > conc.get_window_extent().x1
    assert "uncertainty band" in [t.get_text() for t in legend.get_texts()]
    assert figures[2].axes[0].get_yscale() == "log"  # concentration profiles


@needs_mpl
def test_csv_files_not_in_the_manifest_are_not_read(uvas, tmp_path, capsys):
    # The run without --csv and its own manifest; CSV files of another run
    # copied in after it, newer than its files but listed nowhere: the
    # fixed-column files are read.
    from quarno.plot import load_run
    for name in os.listdir(uvas["fixed"]):
        if name.startswith("cr"):
            shutil.copy2(os.path.join(uvas["fixed"], name), tmp_path)
    assert (tmp_path / "crManifest.json").is_file()
    for name in ("crObsNode.csv", "crProfiles.csv", "crBalance.csv"):
        shutil.copy(os.path.join(uvas["full"], name), tmp_path)
    run = load_run(str(tmp_path))
    assert {Path(p).name for p in run["sources"].values()} == {"crOutput.txt", "crObsNode.txt"}
    assert "earlier run" in capsys.readouterr().err
    assert run["observations"][0]["x_m"] == 38.0


@needs_mpl
def test_bad_input_exits_1_with_a_message(uvas, tmp_path, capsys):
    from quarno.cli import plot_main
    d = str(tmp_path)
    (tmp_path / "bad.csv").write_text("x_m,time_s,value\n38,3600,high\n")
    cut = tmp_path / "cut"
    shutil.copytree(uvas["full"], cut, ignore=shutil.ignore_patterns("plots"))
    with open(cut / "crObsNode.csv", "rb+") as f:
        f.truncate(os.path.getsize(f.name) - 5)
    (tmp_path / "nobands.csv").write_text("x_m,time_s,lower\n")
    cases = [([d], "no results to plot"),
             ([cut], "crObsNode.csv: changed since the run"),
             (["--bands", tmp_path / "nobands.csv", uvas["fixed"]],
              "nobands.csv:1: the header has no column upper"),
             ([tmp_path / "missing"], "no such folder"),
             (["--observations", tmp_path / "bad.csv", uvas["fixed"]],
              "bad.csv, line 2: expected x_m,time_s,value"),
             (["--variable", "Cs", "--out", d, uvas["fixed"]], "--csv")]
    for argv, message in cases:
        assert plot_main([str(a) for a in argv]) == 1, argv
        assert message in capsys.readouterr().err, argv
    assert sorted(os.listdir(d)) == ["bad.csv", "cut", "nobands.csv"]
    assert not (cut / "plots").exists()  # nothing written


@needs_mpl
def test_a_flow_only_run_has_no_concentration_plot_and_a_water_balance_only(tmp_path):
    folder = run_example(tmp_path / "steady", "steady-reach", csv=False)
    status, out, err = plot("--variable", "h", folder)
    assert status == 0, err
    assert [Path(line).name for line in out.split()] == \
        ["breakthrough_h.png", "profiles_flow.png", "balance_errors.png"]
    series = balance_series(read_balance_fixed(os.path.join(folder, "crOutput.txt")))
    assert list(series) == ["water"]


@needs_mpl
def test_a_dated_run_with_a_declared_unit_gets_date_axes_and_its_units(tmp_path, capsys,
                                                                        monkeypatch):
    """A run whose manifest records its start date and the deck's unit: every
    time axis shows concise dates (hours again with --time-offset-h), the
    concentration axes the unit, the bed's per kg with its values scaled."""
    import json
    from datetime import datetime
    import matplotlib.dates as mdates
    from quarno.cli import plot_main
    from quarno.results import read_profiles_csv
    folder = tmp_path / "run"
    folder.mkdir()
    for path in (ROOT / "examples" / "storm-resuspension").glob("cr*"):
        shutil.copy(path, folder)
    subprocess.run([PROGRAM, "--no-pause", "--quiet", "--csv", "--start-date=2024-06-01T06:00Z",
                    folder], check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
    manifest = json.loads((folder / "crManifest.json").read_text())
    manifest.update(start_date="2024-06-01T06:00:00.000Z", concentration_unit="mg/L")
    (folder / "crManifest.json").write_text(json.dumps(manifest))
    first_date = (folder / "crObsNode.csv").read_text().splitlines()[1].split(",")[1]
    for offset, dated in (("0", True), ("2", False)):
        figures = []
        monkeypatch.setattr("matplotlib.pyplot.close", figures.append)
        status = plot_main(["--out", str(tmp_path / offset), "--time-offset-h", offset,
                            str(folder)])
        assert status == 0, capsys.readouterr().err
        breakthrough, flow, conc, balance = [f for f in figures if hasattr(f, "axes")]
        for ax in (breakthrough.axes[0], balance.axes[0]):
            formatter = ax.xaxis.get_major_formatter()
            assert isinstance(formatter, mdates.ConciseDateFormatter) == dated
            assert ax.get_xlabel() == ("Date (UTC)" if dated else
                                       "Clock time (h, model time + 2 h)")
        line = breakthrough.axes[0].lines[0]
        if dated:  # the first point at the program's own date of it
            drawn = mdates.num2date(line.get_xdata(orig=False)[0])
            written = datetime.fromisoformat(first_date.replace("Z", "+00:00"))
            assert abs((drawn - written).total_seconds()) <= 0.5e-3 + 1e-5  # ms rounding
        assert breakthrough.axes[0].get_ylabel() == "Stream-water concentration C (mg/L)"
        labels = [ax.get_ylabel() for ax in conc.axes if ax.get_ylabel()]
        assert labels[0] == "Stream water C (mg/L)"
        title = conc.axes[0].get_legend().get_title().get_text()
        assert title == ("date (UTC)" if dated else "clock time")
    # The bed concentration drawn per kg: the run's values times 1000 (L per m3).
    bed = conc.axes[-1]
    assert bed.get_ylabel() == "Bed Cb (mg/kg)"
    last = read_profiles_csv(str(folder / "crProfiles.csv"))[-1]
    kind = "node" if last["node"].get("x_m") else "cell"
    assert max(last[kind]["Cb"]) > 0.0
    assert np.allclose(bed.lines[-1].get_ydata(), 1000.0 * np.asarray(last[kind]["Cb"]),
                       rtol=1e-15, atol=0.0)
