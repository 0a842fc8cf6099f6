"""Plausibility checks of what a deck is given: values the program would run
without a word but that are almost surely a mistake (a discharge in L/s
given as m3/s, sites in km, a naive date) draw a `QuarnoWarning`; values no
river can have (a normal depth of kilometres) are a `DeckError`.

The bankfull estimate follows downstream hydraulic geometry: bankfull width
grows as the square root of bankfull discharge, W = a Q^b with b close to
0.5 (Leopold and Maddock 1953, U.S. Geological Survey Professional Paper
252; Pelletier 2021, Earth Surface Dynamics 9, 379-391, gives b = 0.5 over
many orders of magnitude of discharge). The coefficient a is taken as 4 (W
in m, Q in m3/s): a regional curve of bankfull geometry against drainage
area (Q = 45.3 A^0.856 in cfs, W = 13.5 A^0.449 in ft, A in square miles)
gives W = 3.8 Q^0.5 for a 10 m channel. The coefficient scatters by about
a factor of two between regions and bank materials (Huang and Nanson 1998,
Earth Surface Processes and Landforms 23, 865-876, find up to a three-fold
change of width with bank strength), that is a factor of four or more in
discharge, and floods exceed bankfull; so only a discharge more than
`BANKFULL_FACTOR` times the estimate is called far beyond it."""

from .errors import DeckError, warn

# W = BANKFULL_COEFFICIENT * Q_bf ** BANKFULL_EXPONENT (m, m3/s).
BANKFULL_COEFFICIENT = 4.0
BANKFULL_EXPONENT = 0.5
# A discharge beyond this many times the bankfull estimate draws a warning.
BANKFULL_FACTOR = 20.0
# The deepest rivers measured (the lower Congo, over 200 m in its gorges)
# stay well within this depth: a normal depth beyond it is no river.
DEPTH_LIMIT_M = 1000.0
# A reach of at least this length whose sites all lie within LENGTH/1000 of
# the inlet looks like sites given in km.
KM = 1000.0


def bankfull_discharge(width_m):
    """The bankfull discharge a channel of this width carries, estimated from
    downstream hydraulic geometry (see the module's description).

    Parameters
    ----------
    width_m : float
        The bankfull (here: the deck's) width, m.

    Returns
    -------
    float
        m3/s.
    """
    return (width_m / BANKFULL_COEFFICIENT) ** (1.0 / BANKFULL_EXPONENT)


def check_discharge(discharges, width_m, what="schedule"):
    """Warns (`QuarnoWarning`) when the largest discharge lies far beyond the
    bankfull estimate of a channel `width_m` wide: the likely cause is a
    discharge in L/s given as m3/s, or the columns of a table swapped.

    Parameters
    ----------
    discharges : sequence of float
        m3/s.
    width_m : float
        The channel's width at the inlet (m).
    what : str, optional
        Names the values in the message.
    """
    if not discharges or not width_m > 0.0:
        return
    peak = max(discharges)
    bankfull = bankfull_discharge(width_m)
    if peak > BANKFULL_FACTOR * bankfull:
        warn(f"{what}: a discharge of {peak:.6g} m3/s is {peak / bankfull:.0f} times the "
             f"bankfull discharge of a {width_m:g} m wide channel (about {bankfull:.3g} m3/s): "
             "was it given in L/s, or are the discharge and concentration swapped?", 5)


def check_depth(h, Q, B):
    """DeckError for a normal depth no river has.

    Parameters
    ----------
    h, Q, B : float
        The depth (m), its discharge (m3/s) and the width (m).

    Raises
    ------
    DeckError
        When h exceeds DEPTH_LIMIT_M.
    """
    if h > DEPTH_LIMIT_M:
        raise DeckError(f"normal depth: Q = {Q:.6g} m3/s needs a depth of {h:.4g} m in a "
                        f"{B:g} m wide channel, deeper than any river (over "
                        f"{DEPTH_LIMIT_M:g} m): is the discharge in L/s, or are the discharge "
                        "and concentration columns swapped?")


def check_sites(xs, length):
    """Checks observation positions against the reach's length L: a site
    beyond L is a DeckError (saying so when the sites look like metres
    against a length given in km); sites all within L/1000 of the inlet on a
    reach of a kilometre or more draw a `QuarnoWarning` (sites in km?).

    Parameters
    ----------
    xs : sequence of float
        The positions (m).
    length : float
        L (m).

    Raises
    ------
    DeckError
        For a site outside 0 to L.
    """
    for x in xs:
        if 0.0 <= x <= length:
            continue
        if x > length and max(xs) <= KM * length * (1.0 + 1e-9) and length < KM:
            raise DeckError(f"observation site {x!r} m lies beyond the reach of L = {length!r} m: "
                            f"the sites look like metres against a length given in km (the "
                            f"reach would be {length * KM:g} m)")
        raise DeckError(f"observation site {x!r} m lies outside the reach (0 to "
                        f"L = {length!r} m)")
    if xs and length >= KM and 0.0 < max(xs) <= length / KM:
        warn(f"observation sites: all lie within {max(xs):g} m of the inlet on a reach of "
             f"{length:g} m: were the sites given in km?", 5)


def warn_naive(what, stacklevel=3):
    """Warns that naive dates (no time zone) were taken as UTC, as the
    program takes its dates.

    Parameters
    ----------
    what : str
        Names the dates in the message.
    stacklevel : int, optional
        1 points at the caller of this function, 2 at its caller, and so on.
    """
    warn(f"{what}: dates without a time zone are taken as UTC", stacklevel + 2)
