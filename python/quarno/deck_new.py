"""A deck from nothing: crparam.txt and crbicond.txt written as text in the
layout the program reads, from the channel's values given as numbers or
(x, value) tables. The boundary schedule, and from it the initial flow and
the run's end, come later from Deck.set_schedule."""

import math

import numpy

from .errors import DeckError
from .steps import shown
from .tables import TABLES, X_TOLERANCE

# The transport parameters a deck made from nothing takes when not given:
# a conservative tracer (no resuspension, settling, storage exchange or
# decay), with 2 m of dispersivity and the values that must be positive at
# harmless sizes.
TRANSPORT_DEFAULTS = {"aL": 2.0, "Re": 0.0, "TauCR": 1.0, "f": 0.1, "Vs": 0.0, "Alfa": 0.0,
                      "Kdw": 0.0, "Kds": 0.0, "TSS": 0.0, "Hb": 0.05, "Rb": 1600.0}
TRANSPORT_COLUMNS = dict(TABLES)["NTrPar"]
# Values the program refuses unless positive.
POSITIVE = ("Width", "Rough", "TauCR", "f", "Hb", "Rb")
# May be negative: the bed slope (adverse) and the groundwater inflow (a
# losing reach); every other value is at least 0.
SIGNED = ("Slope", "GWUpw")

# The boundary types by name: (NB0, NBL).
BOUNDARIES = {"inflow": (1, 1), "inflow-wall": (1, 0), "wall-outflow": (0, 1), "walls": (0, 0)}

# What a deck from nothing still lacks until its schedule is set; the parts
# made from the schedule while the user has not set them.
SCHEDULE, INITIAL_FLOW, OUTPUT_TIMES = "schedule", "initial flow", "output times"


def _check(name, values):
    for v in values:
        if not math.isfinite(v):
            raise DeckError(f"Deck.new: {name} {v!r} is not a finite number")
        if name in POSITIVE and not v > 0.0:
            raise DeckError(f"Deck.new: {name} must be positive (found {v!r})")
        if name not in POSITIVE and name not in SIGNED and v < 0.0:
            raise DeckError(f"Deck.new: {name} must not be negative (found {v!r})")


def table(value, name, length):
    """An (x, value) table over the reach from a number or a table.

    Parameters
    ----------
    value : float, pandas.Series, list of (x, value) pairs, or tuple (xs, values)
        A number holds over the whole reach; a Series is indexed by x. The
        positions must increase and lie from 0 to L; a table that starts
        after 0 or ends before L is held at its first and last value there.
    name : str
        The column, for messages and checks.
    length : float
        L (m).

    Returns
    -------
    (list of float, list of float)

    Raises
    ------
    DeckError
    """
    if hasattr(value, "index") and hasattr(value, "to_numpy"):  # a pandas Series
        value = (list(value.index), list(value.to_numpy()))
    try:
        if numpy.ndim(value) == 0:
            xs, vs = [0.0, length], [float(value)] * 2
        else:
            arr = numpy.asarray(value, dtype=float)
            if arr.ndim == 2 and arr.shape[0] == 2 and (isinstance(value, tuple)
                                                        or arr.shape[1] != 2):
                arr = arr.T
            if arr.ndim != 2 or arr.shape[1] != 2 or len(arr) == 0:
                raise ValueError
            xs, vs = [float(x) for x in arr[:, 0]], [float(v) for v in arr[:, 1]]
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"Deck.new: {name} must be a number or an (x, value) table "
                        f"(found {shown(value)})") from None
    _check(name, vs)
    for k, x in enumerate(xs):
        if not (math.isfinite(x) and -X_TOLERANCE <= x <= length + X_TOLERANCE):
            raise DeckError(f"Deck.new: {name}: x = {x!r} lies outside the reach (0 to "
                            f"{length!r} m)")
        if k and not x > xs[k - 1]:
            raise DeckError(f"Deck.new: {name}: the positions must increase ({x!r} follows "
                            f"{xs[k - 1]!r})")
    if xs[0] > X_TOLERANCE:
        xs, vs = [0.0] + xs, vs[:1] + vs
    if xs[-1] < length - X_TOLERANCE:
        xs, vs = xs + [length], vs + vs[-1:]
    return xs, vs


def stepwise_at(xs, vs, x):
    """The value of a stepwise table at x: that of the row whose segment
    holds x (the last row only closes the table)."""
    k = 0
    for j in range(len(xs) - 1):
        if xs[j] <= x + X_TOLERANCE:
            k = j
    return vs[k]


def _rows(columns, stepwise):
    """Rows over the union of the tables' positions, each column's value at
    each position (stepwise or interpolated)."""
    xs = sorted({x for cx, _ in columns for x in cx})
    merged = [xs[0]]
    for x in xs[1:]:
        if x - merged[-1] > X_TOLERANCE:
            merged.append(x)
    rows = []
    for x in merged:
        row = [x]
        for cx, cv in columns:
            row.append(stepwise_at(cx, cv, x) if stepwise else float(numpy.interp(x, cx, cv)))
        rows.append(row)
    return rows


def _block(count_heading, heading, rows):
    out = [count_heading, f"  {len(rows)}", heading]
    out += ["  " + "  ".join(repr(float(v)) for v in row) for row in rows]
    return out


def texts(length_m, nodes, width_m, slope, manning_n, transport=None, groundwater=None,
          concentration=0.0, bed_concentration=0.0, boundary="inflow"):
    """The texts of crparam.txt and crbicond.txt of a deck from nothing, the
    schedule, initial flow and output times placeholders.

    Parameters
    ----------
    length_m, nodes, width_m, slope, manning_n, transport, groundwater,
    concentration, bed_concentration, boundary
        As for Deck.new.

    Returns
    -------
    (str, str)

    Raises
    ------
    DeckError
        For a value the program would refuse, or a table that cannot be read.
    """
    try:
        L = float(length_m)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"Deck.new: the length {shown(length_m)} is not a number") from None
    if not (math.isfinite(L) and L > 0.0):
        raise DeckError(f"Deck.new: the length must be positive (found {L!r})")
    if isinstance(nodes, bool) or not isinstance(nodes, (int, numpy.integer)) or nodes < 3:
        raise DeckError(f"Deck.new: nodes must be a whole number of at least 3 (found "
                        f"{shown(nodes)})")
    pair = BOUNDARIES.get(boundary) if isinstance(boundary, str) else (
        tuple(boundary) if isinstance(boundary, (tuple, list)) else None)
    if pair is None or len(pair) != 2 or any(b not in (0, 1) for b in pair):
        raise DeckError(f"Deck.new: boundary must be one of {', '.join(BOUNDARIES)} or a pair "
                        f"(NB0, NBL) of 0 and 1 (found {shown(boundary)})")
    if transport is not None and not isinstance(transport, dict):
        raise DeckError(f"Deck.new: transport must be a dict of transport parameters (found "
                        f"{shown(transport)})")
    unknown = sorted(set(transport or {}) - set(TRANSPORT_COLUMNS))
    if unknown:
        raise DeckError(f"Deck.new: {unknown[0]!r} is not a transport parameter "
                        f"({', '.join(TRANSPORT_COLUMNS)})")
    if transport is None and (numpy.any(numpy.asarray(concentration, dtype=object) != 0.0)
                              or numpy.any(numpy.asarray(bed_concentration, dtype=object) != 0.0)):
        raise DeckError("Deck.new: an initial concentration needs transport (give transport={} "
                        "for the default parameters)")
    ntr = 0 if transport is None else 1
    title = f"A {L:g} m reach of {int(nodes)} nodes, made by quarno.Deck.new"
    param = [title, "NTr (1 = transport on)   Ninv (echoed only)   Nfdn (grid nodes)",
             f"  {ntr}  0  {int(nodes)}",
             "L (m): reach length   Btm0 (m): bed elevation at X=0 (echoed only)",
             f"  {L!r}  0.0"]
    for count, heading, value, name in (
            ("NWidth: rows of the width table", "X (m)   Width (m), interpolated", width_m,
             "Width"),
            ("NSlope: rows of the bed-slope table", "X (m)   Slope (m/m, positive downhill), "
             "stepwise", slope, "Slope"),
            ("NRough: rows of the roughness table", "X (m)   Manning n (s/m^(1/3)), stepwise",
             manning_n, "Rough")):
        param += _block(count, heading, [list(r) for r in zip(*table(value, name, L))])
    if groundwater is None:
        gw = [[0.0, 0.0, 0.0], [L, 0.0, 0.0]]
    else:
        try:
            arr = numpy.asarray(groundwater, dtype=float)
        except (TypeError, ValueError):
            arr = None
        if arr is None or arr.ndim != 2 or arr.shape[1] != 3 or len(arr) == 0:
            raise DeckError("Deck.new: groundwater must be a table of rows (x, upwelling m2/s, "
                            "concentration)")
        gw = _rows([table((arr[:, 0], arr[:, 1]), "GWUpw", L),
                    table((arr[:, 0], arr[:, 2]), "CGW", L)], True)
    param += _block("NGW: rows of the groundwater table",
                    "X (m)   GWUpw (m2/s per m of channel)   CGW, stepwise", gw)
    if ntr:
        given = {c: transport.get(c, TRANSPORT_DEFAULTS[c]) for c in TRANSPORT_COLUMNS}
        param += _block("NTrPar: rows of the transport-parameter table",
                        "X  aL(m)  Re(kg/m2/s)  TauCR(N/m2)  f(-)  Vs(m/s)  Alfa(1/s)  Kdw(1/s)  "
                        "Kds(1/s)  TSS(kg/m3)  Hb(m)  Rb(kg/m3), stepwise",
                        _rows([table(given[c], c, L) for c in TRANSPORT_COLUMNS], True))
    bic = _block("NInCW: rows of the initial flow table",
                 "X (m)   h (m)   Q (m3/s): the normal depth of the schedule's first discharge",
                 [[0.0, 0.0, 0.0], [L, 0.0, 0.0]])
    if ntr:
        bic += _block("NInCT: rows of the initial concentration table",
                      "X (m)   C (water)   Cb (bed), interpolated",
                      _rows([table(concentration, "C", L), table(bed_concentration, "Cb", L)],
                            False))
    nb0, nbl = pair
    bic += ["NTInt (schedule rows)   NB0 (1 = inflow at X=0)   NBL (1 = free outflow at X=L)",
            f"  1  {nb0}  {nbl}",
            "T (s): END of each interval, then h (m), Q (m3/s) and C held during it",
            "  1.0  0.0  0.0  0.0"]
    bic += _block("NTout: number of output times (the end of the schedule is always added)",
                  "Output times (s)", [[1.0]])
    bic += ["Nobs: number of observation positions", "  0"]
    return "\n".join(param) + "\n", "\n".join(bic) + "\n"


def initial_flow_rows(deck, Q):
    """Rows (x, h, Q) of an initial flow carrying Q along the reach at the
    normal depth of each segment of the channel's tables.

    Parameters
    ----------
    deck : quarno.Deck
    Q : float
        m3/s.

    Returns
    -------
    list of list of float
    """
    from .build import normal_depth
    W, S, N = (deck.table(c) for c in ("Width", "Slope", "Rough"))
    columns = [(list(t["X"]), list(t[c])) for t, c in ((S, "Slope"), (N, "Rough"))]
    xs = sorted({x for t in (W, S, N) for x in t["X"] if 0.0 <= x <= deck.length}
                | {0.0, deck.length})
    rows = []
    for x in xs:
        if rows and x - rows[-1][0] <= X_TOLERANCE:
            continue
        B = float(numpy.interp(x, W["X"], W["Width"]))
        s, n = (stepwise_at(cx, cv, x) for cx, cv in columns)
        rows.append([x, normal_depth(Q, width_m=B, slope=s, manning_n=n), Q])
    return rows


def complete_from_schedule(deck):
    """After a schedule is set on a deck made from nothing: its initial flow
    becomes the normal depth of the first discharge the run uses (a row
    within 0.01 s of time 0 only opens the schedule), and, until the user
    sets output times, the end of the schedule is the output time. A read
    deck is left as it is.

    Parameters
    ----------
    deck : quarno.Deck
    """
    if not deck._generated:
        return
    from .build import set_output_times
    bic = deck.bicond_file()
    T, Q = bic.blocks["NTInt"].values["TBC"], bic.blocks["NTInt"].values["QBC"]
    first = next((k for k, t in enumerate(T) if t > 0.01), 0)
    if INITIAL_FLOW in deck._generated:
        deck.set_bicond_text(bic.replaced("NInCW", initial_flow_rows(deck, Q[first]), repr))
    if OUTPUT_TIMES in deck._generated:
        set_output_times(deck, [T[-1]])
    deck._generated = deck._generated - {SCHEDULE}
