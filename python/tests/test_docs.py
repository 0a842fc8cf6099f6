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
