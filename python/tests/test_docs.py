"""docs/python.md run as written: its Python blocks, in order, in a folder
that sees the repository's examples, with the real program."""

import contextlib
import io
import os
import re
from pathlib import Path
from conftest import many_runs  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]


@many_runs
def test_the_python_guide_runs_as_written(tmp_path, monkeypatch):
    text = (ROOT / "docs" / "python.md").read_text(encoding="utf-8")
    blocks = re.findall(r"```python\n(.*?)```", text, re.S)
    assert len(blocks) >= 6
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    monkeypatch.chdir(tmp_path)
    import matplotlib
    import matplotlib.dates as mdates
    from matplotlib.figure import Figure
    matplotlib.use("Agg")
    figures, savefig = [], Figure.savefig
    monkeypatch.setattr(Figure, "savefig", lambda fig, path, *a, **k: (
        figures.append((str(path), fig)), savefig(fig, path, *a, **k)))
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile("\n".join(blocks), "docs/python.md", "exec"), {})
    # The figures the guide shows, and the numbers it prints.
    for path in ("storm-runs/compare.png", "storm-runs/armoured/plots/breakthrough_C.png"):
        assert os.path.getsize(path) > 20000, path
    printed = out.getvalue()
    assert re.search(r"2000\.0\s+793471\.9\s+434766\.2\s+-45\.2", printed), printed
    assert "1 storm-runs/no-such-deck: no such folder" in printed
    assert "2024-06-01T06:00:00+00:00" in printed

    # The worked example from gauge data: the mistakes caught, the truth
    # inside the fit's ranges, units and dates kept to the netCDF file, the
    # chain equal to the single run with its end-of-link profile.
    assert "QuarnoWarning | schedule: a discharge of 600 m3/s" in printed
    assert "DeckError | normal depth" in printed
    for name, truth in (("Kdw", 2.3e-5), ("Re", 4.0e-4)):
        low, high = map(float, re.search(name + r" 0-6000: \S+ \(95 %: (\S+) to (\S+)\)",
                                         printed).groups())
        assert low < truth < high, (name, low, high)
    assert "['# unit: CFU/100 mL', 'site,x_m,time_s,datetime,lower,median,upper']" in printed
    assert "('time', 'site') datetime64[ns] CFU/100 mL CFU/kg" in printed
    assert "2 True 86400.0" in printed
    # Every figure of the study: a date axis wherever time runs along x, the
    # unit on every concentration axis.
    study = [(p, fig) for p, fig in figures if p.startswith("study/")]
    assert len(study) >= 5
    for path, fig in study:
        for ax in fig.axes:
            distance = "Distance" in fig.axes[-1].get_xlabel()
            assert distance or isinstance(ax.xaxis.get_major_formatter(),
                                          mdates.ConciseDateFormatter), path
            label = ax.get_ylabel()
            if re.search(r"\bC[sb]?\b", label):
                assert "(CFU/100 mL)" in label or "(CFU/kg)" in label, (path, label)
