"""Progress of runs, fits and samplings, with an estimate of the time left.

A bar from tqdm (tqdm.auto: a widget in a notebook, a text bar on a
terminal) when tqdm is installed, else one plain line on stderr redrawn in
place. Shown by default only where someone watches: in a notebook, or when
stderr is a terminal; ``progress=True`` shows it anywhere (a log file gets
the bar's lines), ``progress=False`` never.

    with Progress(total=3600.0, desc="run", unit="s", progress=None) as bar:
        bar.moved_to(1800.0)   # an absolute position: model seconds done
        bar.update(1)          # or a step: one run more
"""

import sys
import time


def wanted(progress):
    """Whether a bar is shown for the `progress` argument of a run, fit or
    sampling.

    Parameters
    ----------
    progress : bool or None
        True or False as given; None: in a notebook, or when stderr is a
        terminal.

    Returns
    -------
    bool
    """
    if progress is not None:
        return bool(progress)
    if "ipykernel" in sys.modules:
        return True
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


def _tqdm():
    try:
        from tqdm.auto import tqdm
    except ImportError:
        return None
    return tqdm


class _Line:
    """The bar without tqdm: one line on stderr, redrawn at most twice a
    second, with the share done and the time left at the rate so far."""

    def __init__(self, total, desc, unit):
        self.total, self.desc, self.unit = total, desc, unit
        self.n = 0.0
        self.started = time.monotonic()
        self.drawn = 0.0

    def update(self, n):
        self.n += n
        now = time.monotonic()
        if now - self.drawn >= 0.5 or self.n >= self.total:
            self.drawn = now
            self._draw(now)

    def _draw(self, now):
        share = self.n / self.total if self.total else 1.0
        spent = now - self.started
        left = spent * (1.0 - share) / share if share > 0.0 else float("nan")
        text = f"\r{self.desc}: {100.0 * share:5.1f}% ({self.n:g}/{self.total:g} {self.unit})"
        if left == left:
            text += f", about {_duration(left)} left"
        sys.stderr.write(text)
        sys.stderr.flush()

    def close(self):
        sys.stderr.write("\n")
        sys.stderr.flush()


def _duration(seconds):
    seconds = int(round(seconds))
    if seconds < 60:
        return f"{seconds} s"
    if seconds < 3600:
        return f"{seconds // 60} min {seconds % 60:02d} s"
    return f"{seconds // 3600} h {seconds // 60 % 60:02d} min"


class Progress:
    """A progress bar over `total` units, or nothing when not wanted.

    Parameters
    ----------
    total : float
        The amount of the whole task (runs, model seconds).
    desc : str
        What is in progress, shown before the bar.
    unit : str, optional
        The unit of `total`.
    progress : bool or None, optional
        Whether to show it (see `wanted`).
    """

    def __init__(self, total, desc, unit="run", progress=None):
        self.total = float(total)
        self.done = 0.0
        self._bar = None
        if not wanted(progress) or not self.total > 0.0:
            return
        tqdm = _tqdm()
        if tqdm is None:
            self._bar = _Line(self.total, desc, unit)
        else:
            self._bar = tqdm(total=total, desc=desc, unit=unit, leave=True,
                             file=sys.stderr, dynamic_ncols=True)

    @property
    def shown(self):
        """Whether a bar is being shown."""
        return self._bar is not None

    def update(self, n=1):
        """Moves the bar on by `n` units."""
        self.done += n
        if self._bar is not None:
            self._bar.update(n)

    def moved_to(self, position):
        """Moves the bar to `position` units done (never back, never past
        the total)."""
        position = min(float(position), self.total)
        if position > self.done:
            self.update(position - self.done)

    def close(self):
        """Ends the bar (idempotent)."""
        if self._bar is not None:
            self._bar.close()
            self._bar = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False
