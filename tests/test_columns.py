"""The calibration tool's tables of crparam.txt and its interpolated columns,
and the results reader's CSV columns, against the program's column registry,
printed by quarno_print_columns.

    PYTHONPATH=python /usr/bin/python3 tests/test_columns.py build/quarno_print_columns
"""

import subprocess
import sys

from quarno import deck as quarno_deck
from quarno import results as quarno_results

out = subprocess.run([sys.argv[1]], check=True, capture_output=True, text=True).stdout
rows = [line.split() for line in out.splitlines()]
param = [r[1] for r in rows if r[0] == "table" and r[3] == "crparam.txt"]
cols = [r for r in rows if r[0] == "column" and r[1] in param]
tables = tuple((t, tuple(c[2] for c in cols if c[1] == t)) for t in param)
linear = tuple(c[2] for c in cols if c[5] == "linear")
faults = [f"quarno.deck.{name} is {mine}, the registry has {theirs}"
          for name, mine, theirs in (("TABLES", quarno_deck.TABLES, tables),
                                     ("LINEAR", quarno_deck.LINEAR, linear))
          if mine != theirs]
csv_columns = {r[1]: tuple(r[2:]) for r in rows if r[0] == "csv"}
if quarno_results.OBS_COLUMNS != csv_columns["crObsNode.csv"]:
    faults.append(f"quarno.results.OBS_COLUMNS is {quarno_results.OBS_COLUMNS}, "
                  f"the registry has {csv_columns['crObsNode.csv']}")
for name in quarno_results.PROFILE_CELL_COLUMNS + quarno_results.PROFILE_NODE_COLUMNS:
    if name not in csv_columns["crProfiles.csv"]:
        faults.append(f"quarno.results reads {name}, which crProfiles.csv does not have")
print("\n".join(faults + [f"{len(tables)} tables, {len(cols)} columns compared"]))
sys.exit(1 if faults else 0)
