"""The program's contract (quarno --describe) against the program itself:
its tables, columns and CSV heads against the column registry, its options
against --help; and the checked-in quarno/contract.py against what
scripts/make-contract writes from it now."""

import json
import re
import subprocess
import sys

from conftest import PROGRAM, ROOT
from quarno import contract as generated, deck, results


def run(*args):
    return subprocess.run([PROGRAM, *args], capture_output=True, text=True)


def test_the_contract_is_the_programs_and_the_package_module_is_generated_from_it(registry):
    described = run("--describe")
    assert described.returncode == 0 and described.stderr == ""
    contract = json.loads(described.stdout)
    assert contract["format"] == "quarno contract, version 1"
    assert ["quarno", contract["version"]] == run("--version").stdout.split()

    tables = [(r[1], r[2], r[3], r[4] == "1") for r in registry if r[0] == "table"]
    assert [(t["count"], t["position"], t["file"], t["transport_only"])
            for t in contract["tables"]] == tables
    columns = [(r[1], r[2], r[3], r[4], r[5], r[6] == "1") for r in registry if r[0] == "column"]
    assert [(t["count"], c["name"], c["array"], c["node"] or "-", c["rule"], c["positive"])
            for t in contract["tables"] for c in t["columns"]] == columns
    assert {f["file"]: f["columns"] for f in contract["csv"]["files"]} == \
        {r[1]: r[2:] for r in registry if r[0] == "csv"}

    help_text = run("--help").stdout
    help_names = re.findall(r"^\s+((?:-\w|--[\w-]+)(?:,\s*--[\w-]+)?|[A-Z]+)\s", help_text, re.M)
    help_names = [n.strip() for name in help_names for n in name.split(",")]
    assert sorted(n for o in contract["options"] for n in o["names"]) == sorted(help_names)
    for option in contract["options"]:
        if option["argument"] != "none" and not option["positional"]:
            assert option["argument"] in help_text, option["names"]

    check = subprocess.run([sys.executable, str(ROOT / "scripts" / "make-contract"), "--program",
                            PROGRAM, "--check", str(ROOT / "python" / "quarno" / "contract.py")],
                           capture_output=True, text=True)
    assert check.returncode == 0, check.stderr

    # The names the package's modules offer are the contract's.
    for module, names in ((deck, ("TABLES", "LINEAR", "FLOW_COLUMNS", "FLOW_OPTIONS",
                                  "FITTABLE", "X_TOLERANCE")),
                          (results, ("OBS_COLUMNS", "PROFILE_CELL_COLUMNS",
                                     "PROFILE_NODE_COLUMNS"))):
        for name in names:
            assert getattr(module, name) == getattr(generated, name), f"{module.__name__}.{name}"
