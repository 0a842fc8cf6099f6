"""Hostile input to the deck side of the package ends in one DeckError of one
line, at once, and leaves the deck as it was; the package's modules import
one another without circles and without another module's private names."""

import ast
import datetime
import math
import time
from pathlib import Path

import numpy
import pytest

import quarno
from quarno import forcing
from quarno.build import normal_depth

ROOT = Path(__file__).resolve().parents[2]
STORM = ROOT / "examples" / "storm-calibration"
PARAM = (STORM / "crparam.txt").read_text("latin-1")
BICOND = (STORM / "crbicond.txt").read_text("latin-1")
PACKAGE = ROOT / "python" / "quarno"


def param(old, new):
    """Reads the storm deck's crparam.txt with `old` replaced by `new`."""
    assert old in PARAM
    return lambda deck, tmp: quarno.Deck(PARAM.replace(old, new, 1))


def folder_with(name, text):
    """Reads a copy of the storm deck whose file `name` is `text`."""
    def read(deck, tmp):
        for f, t in (("crparam.txt", PARAM), ("crbicond.txt", BICOND), (name, text)):
            (tmp / f).write_text(t, "utf-8" if f.endswith(".toml") else "latin-1")
        return quarno.Deck.read(tmp)
    return read


def source(times, **kw):
    kw.setdefault("concentration", 1.0)
    return lambda deck, tmp: deck.add_source("s", kw.pop("x", 10.0), times, 1.0, **kw)


def toml_source(times, discharge="[1, 1]"):
    return ("[[source]]\nname = \"s\"\nx = 1\ntimes = " + times + "\ndischarge = " + discharge
            + "\nconcentration = [1, 1]\n")


Y3000 = [datetime.datetime(3000, 1, 1), datetime.datetime(3000, 1, 2)]
HUGE = 10 ** 400

# Each: the call on a fresh storm deck (and a scratch folder), and a fragment
# of the one-line DeckError it must raise.
CASES = [
    # crparam.txt and crbicond.txt as the program reads them
    ("count past the file", param("NWidth: rows of the width table\n  2", "N\n  50000000"),
     "NWidth must be at most"),
    ("count out of range", param("NSlope: rows of the bed-slope table\n  2", "N\n  99999999999"),
     "out of range"),
    ("count of one row", param("NRough: rows of the roughness table\n  2", "N\n  1"),
     "NRough must be at least 2"),
    ("count not an integer", param("NRough: rows of the roughness table\n  2", "N\n  2.5"),
     "expected an integer for NRough"),
    ("huge repeat count", param("     0.   8.\n  2000.   8.", "  99999999999999999999*0."),
     "repeat count"),
    ("word repeat count", param("     0.   8.\n  2000.   8.", "  x*0. 2000. 8."), "repeat count"),
    # Thousands of digits, past what Python converts to an integer.
    ("5000-digit repeat count", param("     0.   8.\n  2000.   8.", "  " + "9" * 5000 + "*0."),
     "repeat count"),
    ("5000-digit count", param("NWidth: rows of the width table\n  2", "N\n  " + "9" * 5000),
     "expected a number"),
    ("superscript before *", param("     0.   8.\n  2000.   8.", "  2\u00b2*0."), "repeat count"),
    ("repeat of a word", param("     0.   8.\n  2000.   8.", "  4*abc"), "expected a number"),
    ("1e999", param("  2000.   120.", "  1e999   120."), "'1e999', which is out of range"),
    ("non-ASCII digits", param("  2000.   120.", "  ١٢   120."), "expected a number, found '١٢'"),
    ("bicond count past the file", folder_with("crbicond.txt", BICOND.replace("  3\n", "  9999\n")),
     "NTout must be at most"),
    ("bicond 1e999", folder_with("crbicond.txt", BICOND.replace("0.254", "1d999", 1)),
     "out of range"),
    ("no such folder", lambda d, tmp: quarno.Deck.read(tmp / "none"), "cannot read"),
    ("read None", lambda d, tmp: quarno.Deck.read(None), "folder or file name"),
    ("read a dict", lambda d, tmp: quarno.Deck.read({}), "folder or file name"),
    ("deck of None", lambda d, tmp: quarno.Deck(None), "is a string"),
    # the forcing file
    ("forcing year 1 in UTC", folder_with("crforcing.toml", toml_source(
        "[0001-01-01T00:00:00+01:00, 0001-01-02T00:00:00+01:00]")), "seconds or a date"),
    ("forcing beyond 9999", folder_with("crforcing.toml", toml_source(
        "[9999-12-31T23:00:00-05:00, 9999-12-31T23:30:00-05:00]")), "seconds or a date"),
    ("forcing 1e999", folder_with("crforcing.toml", toml_source("[0, 1]", "[1e999, 1]")),
     "not a finite number"),
    ("forcing huge integer", folder_with("crforcing.toml", toml_source("[0, 1]") + "strength = "
                                         + "9" * 400 + "\n"), "out of range"),
    ("series non-ASCII digits", lambda d, tmp: (
        (tmp / "s.csv").write_text("time_s,discharge_m3s,concentration\n0,1,1\n١٢,1,1\n", "utf-8"),
        folder_with("crforcing.toml", "[[source]]\nname = \"s\"\nx = 1\nseries = \"s.csv\"\n")(
            d, tmp)), "line 3: expected"),
    ("parse None", lambda d, tmp: forcing.parse(None, tmp, 100.0), "is bytes"),
    # Deck.set, split, table and write
    ("set NaN", lambda d, tmp: d.set("Rough", math.nan), "cannot write the value nan"),
    ("set inf", lambda d, tmp: d.set("Rough", math.inf), "cannot write the value inf"),
    ("set a word", lambda d, tmp: d.set("Rough", "abc"), "is not a number"),
    ("set None", lambda d, tmp: d.set("TauCR", None), "is not a number"),
    ("set a huge int", lambda d, tmp: d.set("Rough", HUGE), "is not a number"),
    ("set a dict column", lambda d, tmp: d.set({}, 1.0), "named by a string"),
    ("set a word bound", lambda d, tmp: d.set("Rough", 0.03, x_from="a"), "x_from"),
    ("set a NaN bound", lambda d, tmp: d.set("Rough", 0.03, x_to=math.nan), "x_to"),
    ("set a rate to NaN", lambda d, tmp: d.set("theta_w", math.nan), "not a finite number"),
    ("set a rate to a huge int", lambda d, tmp: d.set("theta_w", HUGE), "is not a number"),
    ("set a rate over a dict", lambda d, tmp: d.set("theta_w", 1.05, x_from={}), "x_from"),
    ("split at a word", lambda d, tmp: d.split("Rough", "x"), "not a number"),
    ("table of None", lambda d, tmp: d.table(None), "named by a string"),
    ("write to None", lambda d, tmp: d.write(None), "folder name"),
    ("write over a file", lambda d, tmp: (tmp / "f").write_text("") or d.write(tmp / "f"),
     "cannot make the folder"),
    # blocks built from data
    ("schedule of None", lambda d, tmp: d.set_schedule(None, None), "non-empty list"),
    ("schedule of a dict", lambda d, tmp: d.set_schedule({}, 1.0), "non-empty list"),
    ("schedule huge Q", lambda d, tmp: d.set_schedule([0, 10], [HUGE, 1]), "must be a number"),
    ("schedule in year 1000", lambda d, tmp: d.set_schedule(
        [datetime.datetime(1000, 1, 1), datetime.datetime(1000, 1, 2)], [1, 1]),
     "neither seconds nor datetimes"),
    ("schedule in year 3000", lambda d, tmp: d.set_schedule(Y3000, [1, 1]),
     "neither seconds nor datetimes"),
    ("schedule from 3000", lambda d, tmp: d.set_schedule(["2000-01-01", "2000-01-02"], [1, 1],
                                                         start="3000-01-01"), "neither"),
    ("sites huge", lambda d, tmp: d.set_sites([HUGE]), "must be a number"),
    ("sites of a dict", lambda d, tmp: d.set_sites({}), "must be a number"),
    ("output times 1e999", lambda d, tmp: d.set_output_times([1e999]), "not a finite number"),
    ("output times of None", lambda d, tmp: d.set_output_times(None), "must be a number"),
    ("normal depth huge", lambda d, tmp: normal_depth(d, HUGE), "not a number"),
    ("normal depth of None", lambda d, tmp: normal_depth(None, 1.0), "not a Deck"),
    # sources and the weather
    ("source x huge", source([0, 1], x=HUGE), "is not a number"),
    ("source time huge", source([0, HUGE]), "too large"),
    ("source year 1 in UTC", source(["0001-01-01T00:00+01:00", "0001-01-02T00:00+01:00"]),
     "neither seconds nor a date"),
    ("source times None", source(None), "neither seconds nor a date"),
    ("source strength a word", source([0, 1], strength="x"), "is not a number"),
    ("strength of a dict source", lambda d, tmp: d.set_source_strength({}, 1.0), "no source"),
    ("temperature huge", lambda d, tmp: d.set_environment([0, 1], HUGE), "must be a number"),
]


@pytest.mark.parametrize("call,message", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_hostile_input_raises_one_line_deck_error(call, message, tmp_path):
    deck = quarno.Deck.read(STORM)
    before = (deck.text, deck.bicond, deck.forcing_files())
    start = time.monotonic()
    with pytest.raises(quarno.DeckError) as caught:
        call(deck, tmp_path)
    assert time.monotonic() - start < 1.0
    text = str(caught.value)
    assert message in text and "\n" not in text and len(text) < 400, text
    assert (deck.text, deck.bicond, deck.forcing_files()) == before


def test_dates_beyond_pandas_years_are_taken():
    """Sources and weather may lie in any year from 1 to 9999, however given."""
    deck = quarno.Deck.read(STORM)
    deck.add_source("a", 10.0, Y3000, 1.0, concentration=1.0)
    deck.add_source("b", 10.0, numpy.array(["3000-01-01", "3000-01-02"], "datetime64[s]"), 1.0,
                    concentration=1.0)
    assert [s["times"][0].year for s in deck.sources] == [3000, 3000]
    deck.set_environment(Y3000, 20.0)
    assert deck.environment["times"][1].day == 2


def _imports(path):
    """{module of the package: [names]} that `path` imports, anywhere in it."""
    out = {}
    for node in ast.walk(ast.parse(path.read_text("utf-8"))):
        if isinstance(node, ast.ImportFrom) and (node.level or
                                                 (node.module or "").startswith("quarno")):
            module = (node.module or "").removeprefix("quarno").lstrip(".")
            if module:
                out.setdefault(module.split(".")[0], []).extend(a.name for a in node.names)
            else:
                for a in node.names:
                    out.setdefault(a.name, [])
        elif isinstance(node, ast.Import):
            for a in node.names:
                if a.name.startswith("quarno."):
                    out.setdefault(a.name.split(".")[1], [])
    return out


def test_the_package_imports_without_circles_or_private_names():
    graph = {p.stem: _imports(p) for p in PACKAGE.glob("*.py") if p.stem != "__init__"}
    private = [f"{m} imports {n} from {d}" for m, deps in graph.items()
               for d, names in deps.items() for n in names if n.startswith("_")]
    assert not private
    state = {}

    def visit(m, path):
        if state.get(m) == "done":
            return
        assert state.get(m) != "open", "circle: " + " -> ".join(path + [m])
        state[m] = "open"
        for d in graph.get(m, {}):
            visit(d, path + [m])
        state[m] = "done"

    for m in sorted(graph):
        visit(m, [])
    long = {p.stem for p in PACKAGE.glob("*.py")
            if len(p.read_text("utf-8").splitlines()) > 400}
    assert not long


# Modules whose docstrings are still prose (each to be given numpydoc sections).
PROSE = set()
SHORT_BODY = 5  # code lines up to which a one-line summary documents a function


def _undocumented(path):
    """What `path` leaves undocumented: public functions, classes and methods
    without a docstring, and those longer than SHORT_BODY lines that take
    arguments without a numpydoc Parameters section or return a value without
    a Returns (or Yields) section. A class's __init__ may be documented in the
    class's docstring."""
    def section(doc, name):
        lines = doc.splitlines()
        return any(a.strip() == name and set(b.strip()) == {"-"} for a, b in zip(lines, lines[1:]))

    def own_nodes(fn):
        """The nodes of `fn`, not those of the functions defined in it."""
        todo = list(ast.iter_child_nodes(fn))
        while todo:
            n = todo.pop()
            yield n
            if not isinstance(n, (ast.FunctionDef, ast.Lambda, ast.ClassDef)):
                todo += ast.iter_child_nodes(n)

    def check(fn, where, outer=""):
        own = ast.get_docstring(fn) or ""
        doc = own + "\n" + outer
        if not doc.strip():
            return [f"{where}: no docstring"]
        body = fn.body[1:] if own else fn.body
        if not body or body[-1].end_lineno - body[0].lineno < SHORT_BODY:
            return []
        a = fn.args
        args = [x.arg for x in a.posonlyargs + a.args + a.kwonlyargs + [a.vararg, a.kwarg] if x]
        gives = any(isinstance(n, (ast.Yield, ast.YieldFrom)) or (
            isinstance(n, ast.Return) and n.value is not None
            and not (isinstance(n.value, ast.Constant) and n.value.value is None))
            for n in own_nodes(fn))
        missing = [f"{where}: no Parameters section"] if set(args) - {"self", "cls"} and \
            not section(doc, "Parameters") else []
        if gives and fn.name != "__init__" and not (section(doc, "Returns")
                                                     or section(doc, "Yields")):
            missing.append(f"{where}: no Returns section")
        return missing

    out = []
    for node in ast.parse(path.read_text("utf-8")).body:
        name = f"{path.stem}.{getattr(node, 'name', '')}"
        if isinstance(node, ast.FunctionDef) and not node.name.startswith("_"):
            out += check(node, name)
        elif isinstance(node, ast.ClassDef) and not node.name.startswith("_"):
            cdoc = ast.get_docstring(node) or ""
            out += [] if cdoc.strip() else [f"{name}: no docstring"]
            for m in node.body:
                if isinstance(m, ast.FunctionDef) and (m.name == "__init__"
                                                       or not m.name.startswith("_")):
                    out += check(m, f"{name}.{m.name}", cdoc if m.name == "__init__" else "")
    return out


def test_public_functions_and_classes_have_numpydoc_docstrings(tmp_path):
    undocumented = [u for p in sorted(PACKAGE.glob("*.py")) if p.stem not in PROSE
                    for u in _undocumented(p)]
    assert not undocumented
    # The rule itself: a long function with arguments and a result needs both
    # sections, a short one a summary; a class may document its __init__.
    steps = "".join(f"    x{k} = {k}\n" for k in range(SHORT_BODY))
    body, init = steps + "    return a\n", (steps + "    self.a = a\n").replace("    ", "        ")
    params = "\n\n    Parameters\n    ----------\n    a : int\n"
    cases = {
        'def f(a):\n    """Summary."""\n' + body: 2,
        'def f(a):\n    """Summary.' + params + '    """\n' + body: 1,
        'def f(a):\n    """Summary.' + params + '\n    Returns\n    -------\n    int\n    """\n'
        + body: 0,
        'def f(a):\n    """Summary."""\n    return a\n': 0,
        'def f(a):\n    return a\n': 1,
        'def _f(a):\n    return a\n': 0,
        'def f():\n    """Summary."""\n    def g():\n        return 1\n' + steps: 0,
        'class C:\n    """C.' + params + '    """\n    def __init__(self, a):\n' + init: 0,
        'class C:\n    """C."""\n    def __init__(self, a):\n' + init: 1,
        'class C:\n    pass\n': 1,
    }
    for k, (text, count) in enumerate(cases.items()):
        (tmp_path / f"m{k}.py").write_text(text)
        assert len(_undocumented(tmp_path / f"m{k}.py")) == count, text
