"""The calibration tool's list of crparam.txt tables against the program's
column registry, printed by the test program quarno_print_columns.

    /usr/bin/python3 tests/test_columns.py build/quarno_print_columns
"""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import quarno_fit  # noqa: E402


def registry(program):
    """crparam.txt tables in order, as (count, (columns...)), and the
    columns mapped with the linear rule."""
    lines = subprocess.run([program], check=True, capture_output=True, text=True).stdout
    files, tables, linear = {}, {}, []
    for line in lines.splitlines():
        kind, count, *rest = line.split()
        if kind == "table":
            files[count] = rest[1]
        elif files[count] == "crparam.txt":
            tables.setdefault(count, []).append(rest[0])
            if rest[3] == "linear":
                linear.append(rest[0])
    return tuple((count, tuple(cols)) for count, cols in tables.items()), tuple(linear)


def main():
    tables, linear = registry(sys.argv[1])
    faults = []
    if quarno_fit.TABLES != tables:
        faults.append(f"quarno_fit.TABLES is {quarno_fit.TABLES},\n  the registry has {tables}")
    if quarno_fit.LINEAR != linear:
        faults.append(f"quarno_fit.LINEAR is {quarno_fit.LINEAR}, the registry has {linear}")
    for fault in faults:
        print(fault)
    print(f"{len(tables)} tables, {sum(len(c) for _, c in tables)} columns compared, "
          f"{len(faults)} differences")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
