"""What a run says about itself beside its tables: its start date and
concentration unit (from its manifest), the warnings it printed, and how
far its model time goes (for a progress bar)."""

from pathlib import Path

from . import dates
from .dates import option_start_date

from .errors import DeckError, ResultsError, warn
from .units import Unit

def start_date(manifest, where):
    """The start date of a run from its manifest: its "start_date", or for a
    manifest without that key (an older program) the --start-date among its
    arguments.

    Parameters
    ----------
    manifest : dict or None
        The run's manifest (None: no manifest, no date known).
    where : str
        The manifest's path, for messages.

    Returns
    -------
    pandas.Timestamp, datetime.datetime or None
        As `quarno.dates.start_date`; None for an undated run.
    """
    if not manifest:
        return None
    if "start_date" in manifest:
        text = manifest["start_date"]
    else:
        text = option_start_date(a for a in manifest.get("arguments") or () if isinstance(a, str))
    if text is None:
        return None
    return dates.start_date(text, ResultsError, f"{where}: start date")


def concentration_unit(manifest, where):
    """The concentration unit a run's manifest records, or None.

    Parameters
    ----------
    manifest : dict or None
        The run's manifest.
    where : str
        The manifest's path, for messages.

    Returns
    -------
    quarno.Unit or None
    """
    text = (manifest or {}).get("concentration_unit")
    if text is None:
        return None
    try:
        return Unit.parse(text)
    except DeckError as e:
        raise ResultsError(f"{where}: {e}") from None


def warning_lines(stderr):
    """The lines a successful run printed on stderr (its warnings and notes),
    blank ones left out.

    Parameters
    ----------
    stderr : str

    Returns
    -------
    list of str
    """
    return [line.rstrip() for line in (stderr or "").splitlines() if line.strip()]


def issue_warnings(lines, stacklevel):
    """Each line as a QuarnoWarning.

    Parameters
    ----------
    lines : list of str
    stacklevel : int
        Where the warnings point: 1 at the caller of this function, 2 at
        its caller (the user's line when called by the function they called).
    """
    for line in lines:
        warn(line, stacklevel=stacklevel + 2)


def schedule_end(folder=None, deck=None):
    """The end of a deck's schedule (s): the last time of its boundary
    schedule, which is where its run ends.

    Parameters
    ----------
    folder : str or path-like, optional
        A deck's folder, read when `deck` is None.
    deck : quarno.Deck, optional

    Returns
    -------
    float or None
        None when the deck cannot be read (the program will say why).
    """
    from .deck import Deck
    try:
        if deck is None:
            if folder is None:
                return None
            deck = Deck.read(Path(folder))
        return float(deck.bicond_file().blocks["NTInt"].values["TBC"][-1])
    except (DeckError, KeyError, IndexError, OSError):
        return None
