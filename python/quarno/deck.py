"""The deck: the parameter file crparam.txt read the way the program reads
it, keeping where each value stands so that it can be rewritten in place,
with the deck's crbicond.txt and forcing file beside it. Editing over a
reach is in quarno.reach, the forcing file's edits in quarno.deck_forcing,
building blocks from data in quarno.build; the tables' constants live in
quarno.tables and are offered here too."""

import os

from . import build, deck_new, forcing
from .bicond import Bicond
from .contract import BICOND_FILE, PARAM_FILE
from .deck_forcing import ForcingEdits
from .errors import DeckError
from .reach import ReachEdits, column_name
from .steps import StepReader, read_text, split_lines
from .tables import FITTABLE, FLOW_COLUMNS, FLOW_OPTIONS, LINEAR, TABLES, X_TOLERANCE

__all__ = ["Deck", "DeckError", "FITTABLE", "FLOW_COLUMNS", "FLOW_OPTIONS", "LINEAR", "TABLES",
           "X_TOLERANCE"]


class Deck(ReachEdits, ForcingEdits):
    """The segment tables of a crparam.txt, with where each value is written.

    Parameters
    ----------
    text : str
        The text of crparam.txt.
    name : str, optional
        The file's name, for messages.

    Attributes
    ----------
    tables : dict
        {count name: {"count": Token, "x_tokens": [Token], "x": [positions],
        "columns": {column: [Token]}}}, in file order.
    ntr : int
        NTr: transport on (1) or off (0).
    length : float
        The reach's length L (m).

    Raises
    ------
    DeckError
        When the text cannot be read as the program reads it.
    """

    def __init__(self, text, name=PARAM_FILE):
        if not isinstance(text, str):
            raise DeckError(f"{name}: the text of a deck is a string (found {type(text).__name__})")
        self.name = name
        self.text = text
        self.lines = split_lines(text)
        r = StepReader(name, self.lines)
        r.next = 1                      # the title line
        r.skip()
        ntr = int(r.values(3, "NTr, Ninv, Nfdn")[0].value)
        r.skip()
        self.ntr = ntr
        self.length = r.values(2, "L, Btm0")[0].value
        self.tables = {}
        for table, cols in TABLES:
            if table == "NTrPar" and ntr <= 0:
                break
            r.skip()
            ncol = 1 + len(cols)
            count_tok, count = r.count(table, ncol, 2)
            r.skip()
            toks = r.values(count * ncol, f"the rows of {table}")
            self.tables[table] = {
                "count": count_tok,
                "x_tokens": toks[0::ncol],
                "x": [t.value for t in toks[0::ncol]],
                "columns": {c: toks[1 + k::ncol] for k, c in enumerate(cols)},
            }

    # The deck's crbicond.txt (quarno.bicond.Bicond), when read from a folder.
    _bic = None
    # The forcing file: (its bytes, quarno.forcing.Contents), or None when
    # the deck has none.
    _forcing = None
    # Of a deck made by Deck.new: what it still lacks (the schedule) and the
    # parts made from the schedule until the user sets them.
    _generated = frozenset()

    @classmethod
    def new(cls, length_m, nodes, width_m, slope, manning_n, *, transport=None,
            groundwater=None, concentration=0.0, bed_concentration=0.0, boundary="inflow",
            start_date=None, concentration_unit=None):
        """A deck from nothing: a rectangular channel, with its crbicond.txt.

        Complete it with set_schedule (needed before write: the initial flow
        is then the normal depth of the schedule's first discharge along the
        reach, and the run's end the output time, until set_output_times),
        then set_sites and set_output_times as wanted. Every edit of a read
        deck works on it.

        Parameters
        ----------
        length_m : float
            The reach's length L (m).
        nodes : int
            Nfdn, the grid nodes (at least 3): Nfdn - 1 cells of equal length.
        width_m, slope, manning_n : float or table
            The width (m, interpolated between positions), bed slope (m/m,
            positive downhill) and Manning's n (s/m^(1/3)), both stepwise:
            each value holds from its x to the next. A number holds over the
            whole reach; a table is a list of (x, value) pairs, a tuple of
            two arrays (xs, values) or a pandas Series indexed by x, held at
            its first and last values beyond its ends.
        transport : dict, optional
            Transport on (NTr = 1) with these parameters by their names, each
            a number or table (stepwise); None: flow only. Defaults, a
            conservative tracer: aL = 2 m (dispersivity), Re = 0
            kg/(m2 s) (no resuspension), TauCR = 1 N/m2, f = 0.1 (storage
            zone fraction), Vs = 0 m/s (no settling), Alfa = 0 1/s (no
            storage exchange), Kdw = 0 1/s and Kds = 0 1/s (no decay in the
            water, no die-off in the bed), TSS = 0 kg/m3, Hb = 0.05 m and
            Rb = 1600 kg/m3 (the bed layer).
        groundwater : table, optional
            Rows (x, upwelling m2/s per m of channel, concentration),
            stepwise; None: no exchange.
        concentration, bed_concentration : float or table, optional
            The initial C in the water and Cb in the bed (interpolated);
            only with transport.
        boundary : str or (int, int), optional
            "inflow" (the scheduled discharge enters at X = 0 and leaves
            freely at X = L), "inflow-wall" (a wall at X = L),
            "wall-outflow" (a wall at X = 0), "walls", or (NB0, NBL).
        start_date : str or datetime, optional
            The date of model time 0 (set_start_date).
        concentration_unit : str, optional
            The unit of every concentration (set_concentration_unit).

        Returns
        -------
        Deck

        Raises
        ------
        DeckError
            For a value the program would refuse.
        """
        param, bicond = deck_new.texts(length_m, nodes, width_m, slope, manning_n, transport,
                                       groundwater, concentration, bed_concentration, boundary)
        deck = cls(param)
        deck.set_bicond_text(bicond)
        deck._generated = frozenset({deck_new.SCHEDULE, deck_new.INITIAL_FLOW,
                                     deck_new.OUTPUT_TIMES})
        if start_date is not None:
            deck.set_start_date(start_date)
        if concentration_unit is not None:
            deck.set_concentration_unit(concentration_unit)
        return deck

    @property
    def bicond(self):
        """The bytes of the deck's crbicond.txt, or None."""
        return None if self._bic is None else self._bic.text.encode("latin-1")

    @classmethod
    def read(cls, path):
        """The deck of a folder (its crparam.txt, crbicond.txt and forcing
        file, every character kept), or of a crparam.txt file alone.

        Parameters
        ----------
        path : str or os.PathLike
            A deck's folder or its crparam.txt.

        Returns
        -------
        Deck

        Raises
        ------
        DeckError
            When a file is missing, cannot be read, or does not read as the
            program reads it.
        """
        if not isinstance(path, (str, os.PathLike)):
            raise DeckError(f"a deck is read from a folder or file name (found {path!r})")
        if os.path.isdir(path):
            deck = cls.read(os.path.join(path, PARAM_FILE))
            deck.set_bicond_text(read_text(os.path.join(path, BICOND_FILE)))
            deck._forcing = forcing.read(path, deck.length)
            return deck
        return cls(read_text(path), name=os.path.basename(path))

    def set_bicond_text(self, text):
        """Takes `text` as the deck's crbicond.txt, read as the program reads
        it (DeckError, leaving the deck as it was, when it cannot be)."""
        self._bic = Bicond(text, self.ntr)

    def bicond_file(self):
        """The deck's crbicond.txt as a quarno.bicond.Bicond (DeckError when
        the deck was read without it)."""
        if self._bic is None:
            raise DeckError("the deck holds no crbicond.txt: read it with Deck.read(folder)")
        return self._bic

    def _set_text(self, text):
        """Takes a new crparam.txt text, read again as the program reads it."""
        bic = self._bic
        self.__init__(text, self.name)
        if bic is not None:
            self.set_bicond_text(bic.text)

    def table(self, column):
        """The table holding `column` as a pandas DataFrame.

        Parameters
        ----------
        column : str
            A column name such as "Rough", "QBC" or "XObs".

        Returns
        -------
        pandas.DataFrame
            One row per table row: "X" and the value columns of a segment,
            rate or initial-condition table, the schedule's TBC, hBC, QBC,
            CBC, the output times TOut, the positions XObs.
        """
        import pandas
        column = column_name(column)
        if column in forcing.RATE_COLUMNS:
            rates = self._contents().rates or forcing.Rates([0.0], {})
            data = {"X": list(rates.x)}
            data.update({c: rates.column(c) for c in forcing.RATE_COLUMNS})
            return pandas.DataFrame(data)
        if column in FITTABLE or column in LINEAR:
            table = next(t for t, cols in TABLES if column in cols)
            if table not in self.tables:
                raise DeckError(f"{self.name}: the deck has no {table} table (NTr = 0)")
            t = self.tables[table]
            data = {"X": t["x"]}
            data.update({c: [tok.value for tok in toks] for c, toks in t["columns"].items()})
            return pandas.DataFrame(data)
        bic = self.bicond_file()
        table = bic.table_of(column)
        if table is None:
            raise DeckError(f"no table of the deck has a column {column!r}")
        return pandas.DataFrame(bic.blocks[table].values, columns=list(bic.blocks[table].columns))

    def write(self, folder):
        """Writes the deck into `folder` (made if need be).

        crparam.txt and crbicond.txt are written each through a temporary
        file, so that a failed write leaves the folder's files as they were;
        and the forcing file crforcing.toml with the CSV series files it
        names (unchanged), when the deck has one (sources or the weather). A
        crforcing.toml already in the folder is removed when the deck has
        none, since it would add what the deck does not hold.

        Parameters
        ----------
        folder : str or os.PathLike

        Raises
        ------
        DeckError
            When the deck has no crbicond.txt or a file cannot be written.
        """
        bic = self.bicond_file()
        if deck_new.SCHEDULE in self._generated:
            raise DeckError("the deck has no schedule yet: call set_schedule before write (the "
                            "initial flow and the run's end come from it)")
        if not isinstance(folder, (str, os.PathLike)):
            raise DeckError(f"a deck is written into a folder name (found {folder!r})")
        try:
            os.makedirs(folder, exist_ok=True)
        except (OSError, ValueError) as e:
            raise DeckError(f"{folder}: cannot make the folder "
                            f"({getattr(e, 'strerror', None) or e})") from None
        for name, text in ((PARAM_FILE, self.text), (BICOND_FILE, bic.text)):
            path = os.path.join(folder, name)
            tmp = path + ".tmp"
            try:
                with open(tmp, "w", encoding="latin-1", newline="") as f:
                    f.write(text)
                os.replace(tmp, path)
            except OSError as e:
                if os.path.exists(tmp):
                    os.remove(tmp)
                raise DeckError(f"{path}: cannot write ({e.strerror})") from None
        forcing.write_files(folder, self.forcing_files())

    # -- blocks of crbicond.txt from data (quarno.build)

    def set_schedule(self, times, discharge, concentration=None, depth=None, start=None):
        """Rewrites the boundary schedule from a time series: see
        quarno.build.set_schedule. A deck made by Deck.new takes its initial
        flow from the first discharge and, until set_output_times, the end
        of the schedule as its output time."""
        origin = build.set_schedule(self, times, discharge, concentration, depth, start)
        deck_new.complete_from_schedule(self)
        return origin

    def set_sites(self, positions):
        """Rewrites the observation positions: see quarno.build.set_sites."""
        build.set_sites(self, positions)

    def set_output_times(self, times):
        """Rewrites the output times: see quarno.build.set_output_times."""
        build.set_output_times(self, times)
        self._generated = self._generated - {deck_new.OUTPUT_TIMES}

    def value(self, column, row):
        """The value of `column` (a column of a segment table) on `row`
        (0-based)."""
        tok = self.tables[FITTABLE[column]]["columns"][column][row]
        return tok.value

