"""The program's contract (quarno --describe) against the program itself, and
the checked-in python/quarno/contract.py against what scripts/make-contract
writes from it now.

    PYTHONPATH=python /usr/bin/python3 tests/test_contract.py build/quarno build/quarno_print_columns
"""

import json
import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
program, print_columns = sys.argv[1], sys.argv[2]
faults = []

# Valid JSON of the agreed format.
described = subprocess.run([program, "--describe"], capture_output=True, text=True)
contract = json.loads(described.stdout)
if described.returncode != 0 or described.stderr or contract["format"] != "quarno contract, version 1":
    faults.append(f"--describe: status {described.returncode}, {described.stderr!r}, "
                  f"format {contract.get('format')!r}")
version = subprocess.run([program, "--version"], capture_output=True, text=True).stdout.split()
if ["quarno", contract["version"]] != version:
    faults.append(f"--describe gives version {contract['version']}, --version {version}")

# The tables and columns, rule by rule, as the column registry lists them.
registry = [line.split() for line in subprocess.run(
    [print_columns], check=True, capture_output=True, text=True).stdout.splitlines()]
tables = [(r[1], r[2], r[3], r[4] == "1") for r in registry if r[0] == "table"]
described_tables = [(t["count"], t["position"], t["file"], t["transport_only"])
                    for t in contract["tables"]]
if described_tables != tables:
    faults.append(f"tables {described_tables}, the registry has {tables}")
columns = [(r[1], r[2], r[3], r[4], r[5], r[6] == "1") for r in registry if r[0] == "column"]
described_columns = [(t["count"], c["name"], c["array"], c["node"] or "-", c["rule"],
                      c["positive"]) for t in contract["tables"] for c in t["columns"]]
if described_columns != columns:
    faults.append(f"columns {described_columns}, the registry has {columns}")
csv = {r[1]: r[2:] for r in registry if r[0] == "csv"}
described_csv = {f["file"]: f["columns"] for f in contract["csv"]["files"]}
if described_csv != csv:
    faults.append(f"CSV heads {described_csv}, the registry has {csv}")

# The options, name for name, as --help lists them.
help_text = subprocess.run([program, "--help"], capture_output=True, text=True).stdout
help_names = re.findall(r"^\s+((?:-\w|--[\w-]+)(?:,\s*--[\w-]+)?|[A-Z]+)\s", help_text, re.M)
help_names = [n.strip() for name in help_names for n in name.split(",")]
described_names = [n for o in contract["options"] for n in o["names"]]
if sorted(described_names) != sorted(help_names):
    faults.append(f"options {described_names}, --help lists {help_names}")
for option in contract["options"]:
    if option["argument"] != "none" and not option["positional"] \
            and option["argument"] not in help_text:
        faults.append(f"{option['names']}: --help does not name the argument "
                      f"{option['argument']}")

# The checked-in module is what the generator writes now.
check = subprocess.run([sys.executable, str(ROOT / "scripts" / "make-contract"), "--program",
                        program, "--check", str(ROOT / "python" / "quarno" / "contract.py")],
                       capture_output=True, text=True)
if check.returncode != 0:
    faults.append(check.stderr.strip())

# The package's names agree with those the contract gives (until the
# package's modules take them from it).
from quarno import contract as generated, deck, results  # noqa: E402

for module, names in ((deck, ("TABLES", "LINEAR", "FLOW_COLUMNS", "FLOW_OPTIONS", "FITTABLE",
                              "X_TOLERANCE")),
                      (results, ("OBS_COLUMNS", "PROFILE_CELL_COLUMNS", "PROFILE_NODE_COLUMNS"))):
    for name in names:
        if getattr(module, name) != getattr(generated, name):
            faults.append(f"{module.__name__}.{name} is {getattr(module, name)}, "
                          f"the contract gives {getattr(generated, name)}")

print("\n".join(faults + [f"{len(described_tables)} tables, {len(described_columns)} columns, "
                          f"{len(described_names)} option names compared"]))
sys.exit(1 if faults else 0)
