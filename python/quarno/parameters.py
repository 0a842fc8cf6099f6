"""The fitted parameters of a configuration: what each one sets in the deck
(a column of crparam.txt or of the forcing file's rate table over a reach,
or a source's strength), its bounds and its fitted space."""

import math
import warnings

from . import forcing
from .deck import FITTABLE, X_TOLERANCE
from .errors import FitError


class Parameter:
    """One fitted parameter.

    Parameters
    ----------
    name : str
        A column of crparam.txt (FITTABLE), of the rate table, or
        `source.NAME.strength`.
    x_from, x_to : float or None
        The reach it is set over (None for a strength).
    initial, lower, upper : float
        The starting value and the bounds.
    log : bool
        Fitted as its logarithm.
    label : str
        Its name in messages and files.
    """

    def __init__(self, name, x_from, x_to, initial, lower, upper, log, label):
        self.name, self.x_from, self.x_to = name, x_from, x_to
        self.initial, self.lower, self.upper, self.log = initial, lower, upper, log
        self.label = label

    def to_theta(self, value):
        """The value in the fitted space."""
        return math.log(value) if self.log else value

    def from_theta(self, theta):
        """The value of a point of the fitted space."""
        return math.exp(theta) if self.log else theta


def read_parameter(p, pw, path, deck, forcing_run):
    """A Parameter of a checked [[parameter]] table.

    Parameters
    ----------
    p : dict
        The table, its keys and types already checked.
    pw : str
        Where it is, for the messages.
    path : str
        The configuration file.
    deck : Deck
        The starting deck.
    forcing_run : tuple or None
        The deck's forcing file as `forcing.read` gives it.

    Returns
    -------
    Parameter

    Raises
    ------
    FitError
        A name, reach or bound the deck cannot take.
    """
    name = p["name"]
    if forcing.strength_source(name) is not None:
        x_from = x_to = None
        label, pw, current = _strength(p, name, pw, path, forcing_run)
    elif name in forcing.RATE_COLUMNS:
        x_from, x_to, label, pw, current = _rate(p, name, pw, path, deck, forcing_run)
    else:
        x_from, x_to, label, pw, current = _column(p, name, pw, path, deck)
    lower, upper, log = p["lower"], p["upper"], p["log"]
    initial = p["initial"] if p["initial"] is not None else current
    if not lower < upper:
        raise FitError(f"{pw}: lower ({lower:g}) must be less than upper ({upper:g})")
    if not lower <= initial <= upper:
        raise FitError(f"{pw}: the initial value {initial:g} lies outside the bounds "
                       f"[{lower:g}, {upper:g}]")
    if x_from is None and lower < 0:
        raise FitError(f"{pw}: a strength is not negative: lower must be >= 0 "
                       f"(found {lower:g})")
    if log and lower <= 0:
        raise FitError(f"{pw}: a log parameter needs a positive lower bound "
                       f"(found {lower:g})")
    if name in forcing.RATE_COLUMNS:
        for bound in (lower, upper):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    forcing.check_rate_value(name, bound, pw)
            except forcing.DeckError as e:
                raise FitError(f"{e} (a bound of the parameter)") from None
    return Parameter(name, x_from, x_to, initial, lower, upper, log, label)


def check_distinct(parameters, where):
    """Check that no two parameters share a label or set one thing.

    Parameters
    ----------
    parameters : list of Parameter
    where : str
        Where they are, for the messages.

    Raises
    ------
    FitError
        Two parameters with one label, setting one column on the whole reach,
        or on overlapping reaches.
    """
    labels = [p.label for p in parameters]
    dup = {lab for lab in labels if labels.count(lab) > 1}
    if dup:
        raise FitError(f"{where}: two parameters share the label '{sorted(dup)[0]}'")
    for i, a in enumerate(parameters):
        for b in parameters[i + 1:]:
            if a.name == b.name and a.x_from is None:
                raise FitError(f"{where}: parameters '{a.label}' and '{b.label}' both set "
                               f"{a.name}")
            if a.name == b.name and a.x_from < b.x_to and b.x_from < a.x_to:
                raise FitError(f"{where}: parameters '{a.label}' and '{b.label}' overlap "
                               "(same name, overlapping reaches)")


def _reach(p, name, pw, path, length):
    """(x_from, x_to, label, where) of a parameter set over a reach; without
    x_from and x_to, over the whole reach (0 to L)."""
    x_from = 0.0 if p["x_from"] is None else p["x_from"]
    x_to = length if p["x_to"] is None else p["x_to"]
    label = p["label"] or f"{name} {x_from:g}-{x_to:g}"
    pw = f"{path} parameter '{label}'"
    if not x_from < x_to:
        raise FitError(f"{pw}: x_from ({x_from:g}) must be less than x_to ({x_to:g})")
    return x_from, x_to, label, pw


def _column(p, name, pw, path, deck):
    """(x_from, x_to, label, where, deck value) of a parameter that sets a
    column of crparam.txt over a reach."""
    if name not in FITTABLE:
        raise FitError(f"{pw}: unknown parameter name '{name}' (known: "
                       f"{', '.join((*FITTABLE, *forcing.RATE_COLUMNS))}, "
                       "source.NAME.strength)")
    x_from, x_to, label, pw = _reach(p, name, pw, path, deck.length)
    if FITTABLE[name] not in deck.tables:
        raise FitError(f"{pw}: the deck has no transport table (NTr = 0)")
    rows = deck.rows_in(name, x_from, x_to)
    if not rows:
        raise FitError(f"{pw}: no row of the {FITTABLE[name]} table lies in the reach "
                       f"{x_from:g} <= X < {x_to:g}")
    if rows == [len(deck.tables[FITTABLE[name]]["x"]) - 1]:
        raise FitError(f"{pw}: the reach {x_from:g} <= X < {x_to:g} holds only the last "
                       f"row of the {FITTABLE[name]} table, which closes the table and "
                       "which no node takes its value from")
    return x_from, x_to, label, pw, deck.value(name, rows[0])


def _rate(p, name, pw, path, deck, forcing_run):
    """(x_from, x_to, label, where, current value) of a parameter that sets a
    column of the forcing file's rate table over a reach. The environment
    must hold the quantity the column follows, else it would change nothing."""
    x_from, x_to, label, pw = _reach(p, name, pw, path, deck.length)
    if not x_from < deck.length - X_TOLERANCE:
        raise FitError(f"{pw}: the reach {x_from:g} <= X < {x_to:g} starts at or beyond "
                       f"the reach's end ({deck.length:g} m)")
    contents = forcing_run[1] if forcing_run else None
    env = contents.environment if contents else None
    needs = forcing.RATE_FOLLOWS[name]
    if env is None or needs not in env.values:
        raise FitError(f"{pw}: {name} follows {needs}, which the deck's "
                       f"{forcing.FORCING_FILE} does not give in its [environment]: the "
                       "parameter would change nothing")
    rates = contents.rates or forcing.Rates([0.0], {})
    row = max(k for k, x in enumerate(rates.x) if x <= max(x_from, 0.0) + X_TOLERANCE)
    return x_from, x_to, label, pw, rates.column(name)[row]


def _strength(p, name, pw, path, forcing_run):
    """(label, where, current value) of a parameter `source.NAME.strength`,
    the factor on a source's concentration or load: it has no reach."""
    source = forcing.strength_source(name)
    for key in ("x_from", "x_to"):
        if p[key] is not None:
            raise FitError(f"{pw}: {name} has no reach: leave out '{key}'")
    sources = {s.name: s for s in (forcing_run[1].sources if forcing_run else [])}
    if source not in sources:
        known = ", ".join(repr(n) for n in sources) or "none"
        raise FitError(f"{pw}: the deck has no source named {source!r} (its "
                       f"{forcing.FORCING_FILE} names: {known})")
    label = p["label"] or name
    return label, f"{path} parameter '{label}'", sources[source].strength
