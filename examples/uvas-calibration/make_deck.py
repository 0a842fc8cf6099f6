#!/usr/bin/python3
"""Build the Uvas Creek calibration deck from the published reach parameters.

The 1972 chloride injection in Uvas Creek (California) was fitted with a
transient-storage model by Bencala & Walters (1983). Their parameters are
given per reach as a cross-section area A, a dispersion coefficient D, a
storage-zone area As, an exchange coefficient alpha and a lateral inflow;
Quarno describes the same stream by a channel (width, slope, roughness), a
dispersivity aL, a storage fraction f and an exchange coefficient Alfa. This
script translates one description into the other and writes

    crparam.txt, crbicond.txt   the deck
    observations.csv            observed chloride, x_m,time_s,value
    published-model.csv         the published model's chloride, same layout

How the published values become the deck
-----------------------------------------

Channel. The flow equations use Manning friction on the hydraulic radius of
a rectangular section, S = n^2 u|u| / R^1.3333 with R = B h / (B + 2h) and
u = Q / (B h). Every reach gets the same depth h0 (0.2 m), so that there is
no backwater between reaches, and a width whose mean over the reach is
A / h0, so that the reach's mean area is the published one. The width varies
linearly between rows at the middle of each reach (level before the first
and after the last middle); the row values are solved so that each reach's
mean width is its target. A width that changes abruptly makes the scheme's
discharge dip and overshoot near the change, and the concentration with it:
spread over whole reaches the changes stay gentle and the sampling sites at
the reach boundaries lie in smooth flow. The roughness is one Manning n for
the whole stream (0.1, a cobble pool-and-riffle bed at low flow), and each
reach's bed slope is the one for which h0 is the normal depth of the reach's
mid-reach discharge at its mean width. The width targets are then corrected
by the ratio of published to modelled area of a steady-flow run, so that
the model's own steady reach-mean areas come out at the published ones.

Lateral inflow. The groundwater table carries the published lateral inflow
per metre of channel (GWUpw, m3/s per m) at 3.7 mg/L (CGW). The table's
rows start each reach; each row's value holds up to the next row.

Transport. Dispersion in the model is D = aL |u| with the model's own
velocity, so aL = D / u_mean with u_mean the reach mean of the model's
steady cell velocity. The storage zone exchanges Alfa An (C - Cs) per metre
of stream and its concentration follows dCs/dt = (Alfa / f)(C - Cs); the
published model exchanges alpha A (Cs - C) per metre and its storage zone
follows dCs/dt = alpha (A / As)(C - Cs). Both agree when
f = As / A_model and Alfa A_model = alpha A. A_model and u_mean come from a
flow-only run of this deck (the program is run once, in a scratch folder,
up to 8 h clock time, and the reach means are taken from its crProfiles.csv);
with --no-probe the ideal values A and Q_mid / A are used instead. The
transport table has one row per reach (each row holds up to the next, so the
row at 105 m carries reach 3 from 105 to 281 m) and a closing row at the
outlet that repeats reach 5.

Reach 5 (433-669 m) is extended to the outlet at 800 m with its own
properties, so that the outlet lies well below the last site at 619 m.

Time. Model time 0 is 6.0 h clock time; the flow settles for 2.4 h before
the injection holds the inlet at 11.4 mg/L from 8.4 h to 11.4 h clock
(8640 s to 19440 s), then 3.7 mg/L until 24.25 h clock (65700 s). The
inflow is 12.5 L/s at the reach-1 depth throughout.

Grid. 201 nodes on 800 m (4 m cells). The transport scheme's own numerical
dispersion is small against D = 0.12-0.40 m2/s at this spacing: the same
deck on 2 m cells gives breakthrough curves that differ by 0.006-0.011 of
the 7.7 mg/L rise (root mean square, 8.25-24 h clock) and by 0.036 at most
(on the steep front at 38 m), and takes five times as long to run.

Usage:
    make_deck.py [--out DIR] [--nodes N] [--no-probe] [--program PATH]
                 [--field-data DIR]
"""

import argparse
import csv
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))

# Bencala & Walters (1983), per reach: start, end (m), A (m2), D (m2/s),
# As (m2), alpha (1/s), lateral inflow (m3/s per m of channel).
REACHES = [
    (0.0, 38.0, 0.30, 0.12, 0.05, 0.0, 0.0),
    (38.0, 105.0, 0.42, 0.15, 0.05, 0.0, 0.0),
    (105.0, 281.0, 0.36, 0.24, 0.36, 3.0e-5, 4.545e-6),
    (281.0, 433.0, 0.41, 0.31, 0.41, 1.0e-5, 1.974e-6),
    (433.0, 669.0, 0.52, 0.40, 1.56, 4.5e-5, 2.151e-6),
]
Q_IN = 0.0125          # m3/s at X = 0
C_BACKGROUND = 3.7     # mg/L, also the lateral inflow
C_INJECTION = 11.4     # mg/L at X = 0 during the injection
CLOCK_ZERO_H = 6.0     # clock hours at model time 0
INJECTION_H = (8.4, 11.4)
END_H = 24.25
SITES = (38.0, 105.0, 281.0, 433.0, 619.0)
FIT_WINDOW_H = (8.25, 24.0)
SITE_WEIGHTS = {38.0: 0.3}  # weight of the observations in the fit; 1 elsewhere

LENGTH = 800.0
NODES = 201
DEPTH = 0.2            # common normal depth of all reaches (m)
MANNING_N = 0.1
AREA_PASSES = 2        # steady-flow runs that correct the width targets
MANNING_EXPONENT = 1.333299994468689  # the exponent on R the flow equations use
OUTPUT_H = (8.0, 10.0, 12.0, 16.0)

FIELD_DATA = "/work/shared/field-data/uvas-creek"


def model_seconds(clock_hours):
    return (clock_hours - CLOCK_ZERO_H) * 3600.0


def discharge_at(x):
    """Published discharge at x: 12.5 L/s plus the lateral inflow above x.
    Reach 5's inflow goes on below 669 m, like its other properties."""
    q = Q_IN
    for k, (x0, x1, *_rest, inflow) in enumerate(REACHES):
        end = x1 if k < len(REACHES) - 1 else float("inf")
        if x > x0:
            q += inflow * (min(x, end) - x0)
    return q


def reach_bounds(length):
    """Start and end of each reach; reach 5 runs to the outlet."""
    return [(r[0], r[1] if k < len(REACHES) - 1 else length) for k, r in enumerate(REACHES)]


def width_rows(targets, length):
    """Rows (X, width) of a width table, linear between the reach middles and
    level beyond the first and last, whose mean over each reach is its target
    (the means are linear in the row values: one linear solve)."""
    import numpy as np
    bounds = reach_bounds(length)
    xs = [0.0] + [0.5 * (a + b) for a, b in bounds] + [length]
    # Row values: the middles' values; the end rows repeat their neighbours.
    n = len(bounds)
    grid = np.linspace(0.0, length, 160001)

    def means(values):
        w = np.interp(grid, xs, [values[0], *values, values[-1]])
        return [float(np.mean(w[(grid >= a) & (grid <= b)])) for a, b in bounds]

    M = np.array([means(list(np.eye(n)[j])) for j in range(n)]).T
    values = np.linalg.solve(M, np.array(targets))
    if np.any(values <= 0):
        raise ValueError(f"no positive widths meet the reach means {targets}")
    return list(zip(xs, [values[0], *values, values[-1]]))


def channel(area_factor=None):
    """Per reach: mean width, mid-reach discharge, velocity and the bed slope
    that makes DEPTH the normal depth there. `area_factor` corrects each
    reach's width target (published over modelled area of a previous pass)."""
    rows = []
    for k, (x0, x1, area, *_) in enumerate(REACHES):
        width = area / DEPTH * (area_factor[k] if area_factor else 1.0)
        q_mid = discharge_at(0.5 * (x0 + x1))
        u = q_mid / (width * DEPTH)
        radius = width * DEPTH / (width + 2.0 * DEPTH)
        slope = MANNING_N ** 2 * u * u / radius ** MANNING_EXPONENT
        rows.append({"width": width, "q_mid": q_mid, "u": q_mid / area, "slope": slope})
    return rows


def transport(a_model, u_mean):
    """aL, f and Alfa per reach from the model's reach-mean area and velocity."""
    rows = []
    for (x0, x1, area, disp, area_s, alpha, _), am, um in zip(REACHES, a_model, u_mean):
        rows.append({"aL": disp / um, "f": area_s / am, "Alfa": alpha * area / am})
    return rows


def _fmt(v):
    return f"{v:.6g}"


def write_param(folder, chan, trans, length, nodes, with_transport=True):
    starts = [r[0] for r in REACHES]
    lines = ["Uvas Creek 1972 chloride injection, reaches of Bencala & Walters (1983)",
             "NTr (1 = transport on)   Ninv (echoed only)   Nfdn (grid nodes)",
             f"  {1 if with_transport else 0}  0  {nodes}",
             "L (m): reach length, 669 m of published reaches and reach 5 extended to the outlet   Btm0 (m, echoed only)",
             f"  {_fmt(length)}   100.",
             "NWidth: rows of the width table"]
    widths = width_rows([c["width"] for c in chan], length)
    lines += [f"  {len(widths)}",
              "X (m)   Width (m): linear between the reach middles, each reach's mean width its area / 0.2 m"]
    lines += [f"  {_fmt(x)}   {_fmt(w)}" for x, w in widths]

    def step_table(count_label, heading, values_per_reach, last_comment):
        out = [count_label, f"  {len(REACHES) + 1}", heading]
        for x0, vals in zip(starts, values_per_reach):
            out.append(f"  {_fmt(x0)}   " + "   ".join(_fmt(v) for v in vals))
        out.append(f"  {_fmt(length)}   " + "   ".join(_fmt(v) for v in values_per_reach[-1])
                   + f"   ! {last_comment}")
        return out

    lines += step_table("NSlope: rows of the bed-slope table",
                        f"X (m)   Slope (m/m): {DEPTH} m is each reach's normal depth; each row holds up to the next",
                        [[c["slope"]] for c in chan], "closing row")
    lines += ["NRough: rows of the roughness table", "  2",
              "X (m)   Manning n (s/m^(1/3)): cobble pool-and-riffle bed at low flow",
              f"  0.   {_fmt(MANNING_N)}", f"  {_fmt(length)}   {_fmt(MANNING_N)}"]
    lines += step_table("NGW: rows of the groundwater table",
                        "X (m)   GWUpw (m3/s per m of channel): published lateral inflow   CGW (mg/L)",
                        [[r[6], C_BACKGROUND] for r in REACHES], "closing row")
    if with_transport:
        # Re 0, Vs 0, Kdw 0, Kds 0: chloride is conservative and never reaches
        # the bed; TauCR, Hb and Rb only need to be positive.
        lines += step_table("NTrPar: rows of the transport-parameter table (one per reach, each holds up to the next)",
                            "X  aL(m)  Re(kg/m2/s)  TauCR(N/m2)  f(-)  Vs(m/s)  Alfa(1/s)  Kdw(1/s)  Kds(1/s)  TSS(kg/m3)  Hb(m)  Rb(kg/m3)",
                            [[t["aL"], 0.0, 5.0, t["f"], 0.0, t["Alfa"], 0.0, 0.0, 0.0, 0.05, 1600.0]
                             for t in trans], "closing row: reach 5 to the outlet")
    with open(os.path.join(folder, "crparam.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def write_bicond(folder, chan, length, end_s, with_transport=True):
    rows = sorted({0.0, *[r[0] for r in REACHES], length})
    lines = ["NInCW: rows of the initial flow table", f"  {len(rows)}",
             "X (m)   h (m): the common normal depth   Q (m3/s): 12.5 L/s plus the lateral inflow above X"]
    lines += [f"  {_fmt(x)}   {_fmt(DEPTH)}   {discharge_at(x):.7g}" for x in rows]
    if with_transport:
        lines += ["NInCT: rows of the initial concentration table", "  2",
                  "X (m)   C (mg/L): background chloride   Cb (bed sediment)",
                  f"  0.   {C_BACKGROUND}   0.", f"  {_fmt(length)}   {C_BACKGROUND}   0."]
    t_on, t_off = (model_seconds(h) for h in INJECTION_H)
    h_in = DEPTH
    lines += ["NTInt (schedule rows)   NB0 (1 = inflow at X=0)   NBL (1 = free outflow at X=L)",
              "  3  1  1",
              "T (s): end of each interval (model time 0 = 6.0 h clock)   h at X=0 (m)   Q at X=0 (m3/s)   C at X=0 (mg/L)",
              f"  {_fmt(t_on)}   {_fmt(h_in)}   {Q_IN}   {C_BACKGROUND}",
              f"  {_fmt(t_off)}   {_fmt(h_in)}   {Q_IN}   {C_INJECTION}",
              f"  {_fmt(end_s)}   {_fmt(h_in)}   {Q_IN}   {C_BACKGROUND}   ! injection 8.4-11.4 h clock, then recovery"]
    outputs = [model_seconds(h) for h in OUTPUT_H if model_seconds(h) < end_s] or [end_s]
    lines += ["NTout: number of output times (the end of the schedule is always added)",
              f"  {len(outputs)}",
              "Output times (s): 8, 10, 12 and 16 h clock",
              "  " + "  ".join(_fmt(t) for t in outputs),
              "Nobs: number of observation positions", f"  {len(SITES)}",
              "X (m) of the observation positions: the sampling sites",
              "  " + "  ".join(_fmt(x) for x in SITES)]
    with open(os.path.join(folder, "crbicond.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")


def write_mapping(folder, a_model, u_mean):
    """The published reach values beside the model's steady reach-mean area
    and velocity, from which fitted aL, f and Alfa translate back into D, As
    and alpha (D = aL u_mean, As = f A_model, alpha = Alfa A_model / A)."""
    with open(os.path.join(folder, "reach-mapping.csv"), "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["reach", "x_from_m", "x_to_m", "A_m2", "D_m2_per_s", "As_m2", "alpha_per_s",
                    "A_model_m2", "u_mean_m_per_s"])
        for k, (r, am, um) in enumerate(zip(REACHES, a_model, u_mean)):
            w.writerow([k + 1, _fmt(r[0]), _fmt(r[1]), _fmt(r[2]), _fmt(r[3]), _fmt(r[4]),
                        _fmt(r[5]), repr(am), repr(um)])


def default_program():
    """$QUARNO, else the tree's build/quarno, else quarno on PATH."""
    tree = os.path.join(REPO, "build", "quarno")
    return (os.environ.get("QUARNO") or (tree if os.path.exists(tree) else None)
            or shutil.which("quarno") or tree)


def reach_means(x, h, q, widths, length):
    """Reach means of the cell area h B and velocity q / h of a flow state,
    over the cells whose centres lie in each published reach (reach 5 to the
    outlet)."""
    areas, speeds = [], []
    for k, (x0, x1, *_) in enumerate(REACHES):
        end = x1 if k < len(REACHES) - 1 else length
        idx = [i for i, xc in enumerate(x) if x0 <= xc < end]
        if not idx:
            raise ValueError(f"no cell centre in the reach {x0}-{x1} m")
        areas.append(sum(h[i] * widths[i] for i in idx) / len(idx))
        speeds.append(sum(abs(q[i] / h[i]) for i in idx) / len(idx))
    return areas, speeds


def probe_flow(program, chan, length, nodes):
    """Bring the flow of the deck to its steady state in a scratch folder
    (quarno --steady-flow, flow only) and return the reach means of area
    and velocity."""
    folder = tempfile.mkdtemp(prefix="uvas-probe-")
    try:
        write_param(folder, chan, None, length, nodes, with_transport=False)
        write_bicond(folder, chan, length, 60.0, with_transport=False)
        run = subprocess.run([program, "--steady-flow", "--quiet", "--no-pause", folder],
                             capture_output=True, text=True)
        if run.returncode != 0:
            raise RuntimeError(f"{program} failed on the flow probe (exit {run.returncode}): {run.stderr.strip()}")
        x, h, q = [], [], []
        with open(os.path.join(folder, "crSteadyFlow.csv")) as f:
            lines = [line for line in f if not line.startswith("#")]
        start = lines.index("cell,x_m,h_m,q_m2_per_s\n") + 1
        for row in csv.reader(lines[start:]):
            x.append(float(row[1]))
            h.append(float(row[2]))
            q.append(float(row[3]))
        rows = width_rows([c["width"] for c in chan], length)
        xs, ws = [r[0] for r in rows], [r[1] for r in rows]
        import numpy as np
        dx = length / (nodes - 1)
        node_w = np.interp(np.arange(nodes) * dx, xs, ws)
        widths = 0.5 * (node_w[:-1] + node_w[1:])  # the cells' widths
        return reach_means(x, h, q, widths, length)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def read_columns(path):
    with open(path) as f:
        return [[float(v) for v in line.split()] for line in f
                if line.strip() and not line.lstrip().startswith("#")]


def write_observations(folder, field_data):
    """Observed chloride from 8.25 h to 24 h clock, and the published model's
    series at the five sites; returns the observation count per site."""
    obs = read_columns(os.path.join(field_data, "observed-chloride.txt"))
    lo, hi = FIT_WINDOW_H
    kept = [(x, model_seconds(t), c) for x, t, c in obs if lo <= t <= hi]
    counts = {x: sum(1 for k in kept if k[0] == x) for x in SITES}
    with open(os.path.join(folder, "observations.csv"), "w", newline="") as f:
        f.write("# Uvas Creek 1972: observed stream chloride (mg/L), USGS data (public domain),\n"
                f"# {lo} h to {hi} h clock; time_s = (clock hours - {CLOCK_ZERO_H}) * 3600.\n"
                "# weight: the fit's weight of each observation (see README.md: the front at\n"
                "# 38 m is steeper and later than the model can make it, and at full weight\n"
                "# that misfit alone would set the dispersivity of reaches 1 and 2).\n")
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["x_m", "time_s", "value", "weight"])
        for x, t, c in kept:
            w.writerow([_fmt(x), f"{t:.6g}", _fmt(c), _fmt(SITE_WEIGHTS.get(x, 1.0))])
    published = read_columns(os.path.join(field_data, "transient-storage-model-run.txt"))
    with open(os.path.join(folder, "published-model.csv"), "w", newline="") as f:
        f.write("# The published transient-storage fit (Bencala & Walters 1983) of the same\n"
                "# injection: stream chloride (mg/L) at the five sites, USGS public domain\n")
        w = csv.writer(f, lineterminator="\n")
        w.writerow(["x_m", "time_s", "value"])
        for j, x in enumerate(SITES):
            for row in published:
                w.writerow([_fmt(x), f"{model_seconds(row[0]):.6g}", _fmt(row[1 + j])])
    return counts


def main(argv=None):
    p = argparse.ArgumentParser(description="Write the Uvas Creek calibration deck.")
    p.add_argument("--out", default=HERE, help="folder to write into (default: this script's folder)")
    p.add_argument("--nodes", type=int, default=NODES, help=f"grid nodes (default {NODES})")
    p.add_argument("--length", type=float, default=LENGTH, help=f"reach length in m (default {LENGTH:g})")
    p.add_argument("--end-hours", type=float, default=END_H, help=f"end of the run, clock hours (default {END_H})")
    p.add_argument("--program", default=default_program(), help="the quarno program for the flow probe")
    p.add_argument("--no-probe", action="store_true",
                   help="do not run the program: use the ideal area A and velocity Q_mid/A")
    p.add_argument("--field-data", default=FIELD_DATA,
                   help="folder of observed-chloride.txt and transient-storage-model-run.txt")
    args = p.parse_args(argv)
    if not 3 <= args.nodes <= 1001:
        p.error("--nodes must be from 3 to 1001")

    os.makedirs(args.out, exist_ok=True)
    chan = channel()
    if args.no_probe:
        a_model = [r[2] for r in REACHES]
        u_mean = [c["u"] for c in chan]
    else:
        factor = [1.0] * len(REACHES)
        for _ in range(AREA_PASSES):
            a_model, u_mean = probe_flow(args.program, chan, args.length, args.nodes)
            factor = [f * r[2] / am for f, r, am in zip(factor, REACHES, a_model)]
            chan = channel(factor)
        a_model, u_mean = probe_flow(args.program, chan, args.length, args.nodes)
    trans = transport(a_model, u_mean)
    end_s = model_seconds(args.end_hours)
    write_param(args.out, chan, trans, args.length, args.nodes)
    write_bicond(args.out, chan, args.length, end_s)
    write_mapping(args.out, a_model, u_mean)

    print(f"dx = {args.length / (args.nodes - 1):g} m, depth {DEPTH} m, Manning n {MANNING_N}")
    print("reach      x (m)    B (m)   slope      Q_mid (m3/s)  A (m2)  A_model  dA/A    u_mean (m/s)  aL (m)   f       Alfa (1/s)")
    for k, (r, c, am, um, t) in enumerate(zip(REACHES, chan, a_model, u_mean, trans)):
        print(f"{k + 1:5d}  {r[0]:5.0f}-{r[1]:<5.0f} {c['width']:6.3f}  {c['slope']:.4e}  {c['q_mid']:.6f}      "
              f"{r[2]:.2f}    {am:.4f}   {100 * (am / r[2] - 1):+5.2f}%  {um:.5f}       "
              f"{t['aL']:7.4f}  {t['f']:.4f}  {t['Alfa']:.4e}")
    if os.path.isdir(args.field_data):
        counts = write_observations(args.out, args.field_data)
        print("observations per site, 8.25-24 h clock: "
              + ", ".join(f"{x:g} m: {n}" for x, n in counts.items())
              + f"; {sum(counts.values())} in all")
    else:
        print(f"{args.field_data}: not found; observations.csv and published-model.csv not written")
    return 0


if __name__ == "__main__":
    sys.exit(main())
