#!/usr/bin/python3
"""The estimates of a fit of this deck in the published model's terms.

    report.py FIT_FOLDER        (the --out folder of quarno-fit, default fit/)

Reads FIT_FOLDER/estimates.csv and this folder's reach-mapping.csv (written by
make_deck.py) and prints a Markdown table: each fitted aL, f and Alfa with its
95% range, translated back into the published quantities with the model's own
steady reach-mean area and velocity (D = aL u_mean, As = f A_model,
alpha = Alfa A_model / A), beside the published value.
"""

import csv
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))

# What each fitted column becomes, and the published column it compares with.
TRANSLATION = {
    "aL": ("D (m²/s)", "D_m2_per_s", lambda v, r: v * r["u_mean_m_per_s"]),
    "f": ("As (m²)", "As_m2", lambda v, r: v * r["A_model_m2"]),
    "Alfa": ("alpha (1/s)", "alpha_per_s", lambda v, r: v * r["A_model_m2"] / r["A_m2"]),
}


def read_rows(path):
    with open(path, newline="") as f:
        return list(csv.DictReader(line for line in f if not line.startswith("#")))


def reach_of(mapping, x_from):
    for r in mapping:
        if abs(r["x_from_m"] - x_from) < 1e-4:
            return r
    raise ValueError(f"no reach starts at {x_from} m in reach-mapping.csv")


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 1
    mapping = [{k: float(v) for k, v in r.items()} for r in
               read_rows(os.path.join(HERE, "reach-mapping.csv"))]
    estimates = read_rows(os.path.join(argv[1], "estimates.csv"))
    print("| reach | parameter | fitted | 95% range | as | fitted | 95% range | published |")
    print("|---|---|---|---|---|---|---|---|")
    for e in estimates:
        name = e["name"]
        if name not in TRANSLATION:
            continue
        quantity, published, convert = TRANSLATION[name]
        r = reach_of(mapping, float(e["x_from"]))
        value, lo, hi = (float(e[k]) for k in ("value", "lower95", "upper95"))
        print(f"| {int(r['reach'])} | {name} | {value:.3g} | {lo:.3g}-{hi:.3g} | {quantity} | "
              f"{convert(value, r):.3g} | {convert(lo, r):.3g}-{convert(hi, r):.3g} | "
              f"{r[published]:.3g} |")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
