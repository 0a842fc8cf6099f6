"""A long record run as a chain of shorter runs that continue each other.

    chain = quarno.run_chain(deck, "1D", "week")    # one link per day
    chain.observations          # the links' records joined: the unsplit run's
    chain.links[0].profiles     # a link's own tables, its end-of-link profile too

The deck is cut at schedule-row ends: link k holds the schedule up to its
split and the output times up to it, saves its state at its end
(--save-state) and the next link goes on from that state
(--initial-state); the last link is the whole deck. Split at row ends, the
joined tables hold the unsplit run's rows to the last digit.
"""

import copy
import math
import os
from pathlib import Path

from . import run_info
from .dates import START_OPTION, option_start_date, start_date
from .deck import Deck
from .errors import DeckError, RunError
from .progress import Progress, wanted
from .run import run_in

__all__ = ["Chain", "run_chain"]

# Options a chain sets itself or that cannot continue from a state.
_REFUSED = ("--steady-flow", "--flow-state", "--initial-state", "--save-state")
# How close a split must lie to a row's end (s).
_TOLERANCE = 1e-3


def _option_name(o):
    return o.split("=", 1)[0]


def _start_of(deck, options):
    """The run's start date: the --start-date option's, else the deck's."""
    given = option_start_date(options)
    if given is not None:
        return start_date(given, DeckError, START_OPTION)
    return getattr(deck, "start_date", None)


def split_times(split_at, start, end):
    """The split times in seconds from model time 0.

    Parameters
    ----------
    split_at : sequence or str
        Seconds, datetimes (counted from `start`), or a pandas frequency
        such as "1D": every such step from the start date (from time 0 when
        the run has no start date), up to the end.
    start : pandas.Timestamp or None
        The run's start date.
    end : float
        The end of the schedule (s).

    Returns
    -------
    list of float

    Raises
    ------
    DeckError
        Datetimes without a start date, or a frequency pandas does not know.
    """
    import numpy
    import pandas
    if isinstance(split_at, str):
        try:
            step = pandas.tseries.frequencies.to_offset(split_at)
        except ValueError:
            raise DeckError(f"split_at {split_at!r}: not a pandas frequency such as '1D'") \
                from None
        origin = start if start is not None else pandas.Timestamp(0, tz="UTC")
        stamps = pandas.date_range(origin, origin + pandas.Timedelta(seconds=end), freq=step)
        seconds = [(s - origin).total_seconds() for s in stamps]
        return [t for t in seconds if _TOLERANCE < t < end - _TOLERANCE]
    values = list(split_at)
    if not values:
        return []
    arr = numpy.asarray(values)
    if arr.dtype.kind in "iuf":
        return [float(t) for t in arr]
    if start is None:
        raise DeckError("split_at: datetimes need the run's start date (the deck's or "
                        "--start-date among the options)")
    try:
        stamps = pandas.to_datetime(values, utc=True)
    except (TypeError, ValueError) as e:
        raise DeckError(f"split_at: neither seconds nor datetimes ({e})") from None
    return [(s - start).total_seconds() for s in stamps]


def _row_ends(ends, splits):
    """The schedule rows (indices into `ends`) the splits fall on; DeckError
    naming the nearest row ends for a split that is none."""
    rows = []
    for t in splits:
        k = min(range(len(ends) - 1), key=lambda i: abs(ends[i] - t), default=None)
        if k is None or abs(ends[k] - t) > _TOLERANCE or ends[k] <= 0.0:
            near = sorted(ends[:-1], key=lambda e: abs(e - t))[:2]
            raise DeckError(f"split_at {t!r} s is not the end of a schedule row before the "
                            f"last (nearest: {', '.join(f'{e!r} s' for e in sorted(near))})"
                            if near else f"split_at {t!r} s: the schedule has one row only")
        if rows and k <= rows[-1]:
            raise DeckError(f"split_at: the splits must increase ({t!r} s)")
        rows.append(k)
    return rows


def link_deck(deck, last_row):
    """A copy of `deck` whose schedule ends with row `last_row` (0-based) and
    whose output times are those up to that row's end (that end alone when
    none is).

    Parameters
    ----------
    deck : quarno.Deck
    last_row : int

    Returns
    -------
    quarno.Deck
    """
    bic = deck.bicond_file()
    sched = bic.blocks["NTInt"]
    cols = sched.columns
    rows = [[sched.values[c][k] for c in cols] for k in range(last_row + 1)]
    end = rows[-1][0]
    link = copy.copy(deck)
    link.set_bicond_text(bic.replaced("NTInt", rows, repr))
    outs = [t for t in link.bicond_file().blocks["NTout"].values["TOut"] if t <= end]
    link.set_bicond_text(link.bicond_file().replaced("NTout", [[t] for t in outs or [end]],
                                                      repr))
    return link


def state_time(path):
    """The model time (s) a saved run state holds (its `t_s` line).

    Parameters
    ----------
    path : str or path-like

    Returns
    -------
    float
    """
    with open(path, encoding="latin-1") as f:
        for line in f:
            if line.startswith("t_s,"):
                return float(line.split(",", 1)[1])
    raise RunError(f"{path}: no t_s line in the saved state", 1)


class Chain:
    """The links of a chained run and their tables joined.

    Parameters
    ----------
    links : list of quarno.Results
        The links' results, in order.
    ends : list of float
        The model time each link but the last ended at (its state's time).
    kept_ends : list of bool
        For each of those ends, whether the unsplit run writes a profile
        there (the split is one of its output times).

    Attributes
    ----------
    links : list of quarno.Results
    """

    def __init__(self, links, ends, kept_ends):
        self.links = links
        self._ends, self._kept = list(ends), list(kept_ends)
        self._tables = {}

    def _joined(self, name, end_blocks):
        if name not in self._tables:
            import pandas
            parts = []
            for k, link in enumerate(self.links):
                table = getattr(link, name)
                if k > 0:
                    table = table[table["time_s"] > self._ends[k - 1]]
                if end_blocks and k < len(self._ends) and not self._kept[k]:
                    table = table[table["time_s"] < self._ends[k]]
                parts.append(table)
            self._tables[name] = pandas.concat(parts, ignore_index=True)
        return self._tables[name]

    @property
    def observations(self):
        """The observation records of every link, joined (pandas.DataFrame)."""
        return self._joined("observations", False)

    @property
    def profiles(self):
        """The profile blocks, joined; a link's own end block is left out
        where the unsplit run has none (pandas.DataFrame)."""
        return self._joined("profiles", True)

    @property
    def balances(self):
        """The balance reports, joined as the profiles are (pandas.DataFrame)."""
        return self._joined("balances", True)

    @property
    def start_date(self):
        """The start date of the chain (its first link's), or None."""
        return self.links[0].start_date

    @property
    def concentration_unit(self):
        """The concentration unit of the chain's deck, or None."""
        return self.links[0].concentration_unit

    def to_xarray(self):
        """The joined tables as one xarray.Dataset, laid out as
        `quarno.Results.to_xarray`.

        Returns
        -------
        xarray.Dataset
        """
        from . import results_xarray
        version = (self.links[0].manifest or {}).get("version")
        return results_xarray.dataset(self.observations, self.profiles, self.balances,
                                      self.start_date, self.concentration_unit, version)

    def to_netcdf(self, path):
        """Writes `to_xarray()` to a netCDF file.

        Parameters
        ----------
        path : str or path-like
        """
        from . import results_xarray
        results_xarray.write_netcdf(self.to_xarray(), path)


def run_chain(deck, split_at, folder, options=(), program=None, progress=None):
    """Runs a deck as a chain of runs cut at schedule-row ends.

    Link k runs in `folder`/link-0k on the deck cut after its split (the
    last link on the whole deck), saving its state in `folder`/link-0k.state
    for the next link to go on from. Each link's warnings are issued as
    QuarnoWarnings.

    Parameters
    ----------
    deck : quarno.Deck, str or path-like
        The whole deck, or its folder.
    split_at : sequence of float or of datetimes, or str
        Where to cut: seconds, datetimes, or a pandas frequency such as
        "1D" (every day from the start date); each must be the end of a
        schedule row. An empty list runs one link.
    folder : str or path-like
        Where the links' folders and states go.
    options : list of str, optional
        The program's options for every link (not --steady-flow,
        --flow-state, --initial-state or --save-state).
    program : str, optional
        The program (quarno.default_program() by default).
    progress : bool or None, optional
        One bar over the whole record (see quarno.run).

    Returns
    -------
    Chain

    Raises
    ------
    DeckError
        A split that is not a row's end (naming the nearest ones), or an
        option a chain cannot take.
    RunError
        A link that failed, naming it; the links before it stay on disk.
    """
    if isinstance(deck, (str, os.PathLike)):
        deck = Deck.read(deck)
    options = [os.fspath(o) if isinstance(o, os.PathLike) else str(o) for o in options]
    refused = [o for o in options if _option_name(o) in _REFUSED]
    if refused:
        raise DeckError(f"run_chain: {refused[0]} cannot be given to a chain (it saves and "
                        "reads the links' states itself, and a frozen flow cannot go on "
                        "from a state)")
    ends = [float(t) for t in deck.bicond_file().blocks["NTInt"].values["TBC"]]
    rows = _row_ends(ends, split_times(split_at, _start_of(deck, options), ends[-1]))
    outs = deck.bicond_file().blocks["NTout"].values["TOut"]
    folder = Path(folder).resolve()
    folder.mkdir(parents=True, exist_ok=True)
    links, times, kept = [], [], []
    state = None
    with Progress(ends[-1], "chain", unit="s", progress=wanted(progress)) as bar:
        for k, row in enumerate(rows + [None]):
            name = f"link-{k + 1:02d}"
            where = folder / name
            (link_deck(deck, row) if row is not None else deck).write(where)
            opts = list(options)
            if state is not None:
                opts += ["--initial-state", str(state)]
            if row is not None:
                state = folder / f"{name}.state"
                opts += ["--save-state", str(state)]
            try:
                links.append(run_in(where, opts, program, bar=bar))
            except RunError as e:
                raise RunError(f"{name} of the chain ({where}): {e.message}", e.status) from None
            run_info.issue_warnings([f"{name}: {w}" for w in links[-1].warnings], 2)
            if row is not None:
                times.append(state_time(state))
                kept.append(any(math.isclose(t, ends[row], abs_tol=_TOLERANCE) for t in outs))
    return Chain(links, times, kept)
