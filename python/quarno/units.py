"""Concentration units: an amount per volume, such as "CFU/100 mL",
"MPN/100 mL", "CFU/m3", "mg/L" or "g/m3".

The model is linear in concentration, so a deck may hold its
concentrations (inlet, initial, sources, groundwater) in any such unit, the
same one throughout; the bed concentration is then per kg of sediment scaled
by the same volume (`Unit.bed_factor` turns it into amount per kg).

    Unit.parse("CFU/100 mL").factor_to(Unit.parse("CFU/m3"))   # 1e4
"""

import re

from .contract import UNIT_AMOUNTS, UNIT_VOLUMES
from .errors import DeckError

# Amounts: name -> (kind, factor to the kind's base amount). Amounts of
# different kinds (colony counts and most-probable numbers, say) are
# different measurements and are never converted into each other.
# Volumes: name -> m3. Both are the program's own tables.
AMOUNTS = UNIT_AMOUNTS
VOLUMES = UNIT_VOLUMES

_FORM = re.compile(r"^\s*([A-Za-z]+)\s*/\s*((?:100\s*)?[A-Za-z0-9]+)\s*$")


class Unit:
    """A concentration unit, parsed from its text.

    Attributes
    ----------
    text : str
        The canonical text ("CFU/100 mL").
    amount, volume : str
        Its two parts.
    kind : str
        What the amount counts or weighs ("CFU", "mass", ...).
    per_m3 : float
        Values in this unit times `per_m3` are amounts per m3 of the kind's
        base amount (CFU, g, mol).
    """

    def __init__(self, amount, volume):
        self.amount, self.volume = amount, volume
        self.kind, amount_factor = AMOUNTS[amount]
        self.volume_m3 = VOLUMES[volume]
        self.per_m3 = amount_factor / self.volume_m3
        self.text = f"{amount}/{volume}"

    @classmethod
    def parse(cls, text):
        """The unit a text names.

        Parameters
        ----------
        text : str or Unit

        Returns
        -------
        Unit

        Raises
        ------
        DeckError
            For a text that names no known unit.
        """
        if isinstance(text, Unit):
            return text
        m = _FORM.match(text) if isinstance(text, str) else None
        if m is not None:
            volume = re.sub(r"^100\s*", "100 ", m.group(2))
            if m.group(1) in AMOUNTS and volume in VOLUMES:
                return cls(m.group(1), volume)
        raise DeckError(f"concentration unit {text!r}: not an amount per volume this package "
                        f"knows (amounts: {', '.join(AMOUNTS)}; volumes: "
                        f"{', '.join(VOLUMES)}; e.g. 'CFU/100 mL', 'mg/L')")

    def factor_to(self, other):
        """The factor that turns values in this unit into values in `other`.

        Parameters
        ----------
        other : Unit or str

        Returns
        -------
        float

        Raises
        ------
        DeckError
            For units of different kinds (CFU and MPN, mass and counts).
        """
        other = Unit.parse(other)
        if other.kind != self.kind:
            raise DeckError(f"cannot convert {self.text} to {other.text}: they measure "
                            f"different things ({self.kind} and {other.kind})")
        return self.per_m3 / other.per_m3

    @property
    def bed_text(self):
        """The unit of the bed concentration in amount per kg of sediment."""
        return f"{self.amount}/kg"

    @property
    def bed_factor(self):
        """The factor that turns the model's bed concentration of a deck in
        this unit into amount per kg of sediment (1 / the volume in m3)."""
        return 1.0 / self.volume_m3

    def __eq__(self, other):
        return isinstance(other, Unit) and other.text == self.text

    def __hash__(self):
        return hash(self.text)

    def __repr__(self):
        return f"Unit({self.text!r})"

    def __str__(self):
        return self.text


def convert(values, from_unit, to_unit):
    """Values in `from_unit` as values in `to_unit`.

    Parameters
    ----------
    values : float or array-like
    from_unit, to_unit : str or Unit

    Returns
    -------
    float or numpy.ndarray
    """
    import numpy
    factor = Unit.parse(from_unit).factor_to(to_unit)
    return numpy.asarray(values, dtype=float) * factor if numpy.ndim(values) else \
        float(values) * factor
