"""The package's exceptions: every one it raises for bad input or a failed
run is a `QuarnoError`, carrying the exit status its command ends with.

QuarnoError
    DeckError       a deck, state or forcing file that cannot be read or edited
    FitError        a fit or sampling configuration or observation file at fault
        RunFailure  the model failed where the fit cannot go on without it
        Stopped     a model run was ended by a signal
    RunError        a run of the program that failed
    ResultsError    result files that cannot be read, or belong to no finished run
    PlotError       a plot that cannot be drawn from its inputs

QuarnoWarning (a UserWarning, not an error): what the package or the program
warns of, from a plausibility check or from the program's own warnings.
"""

import warnings


class QuarnoError(Exception):
    """Root of the package's errors.

    Parameters
    ----------
    message : str
        One line saying what is wrong and where.
    status : int or None, optional
        The exit status a command ends with for it (1 for bad input unless a
        subclass says otherwise; None when a program could not be started).
    """

    status = 1

    def __init__(self, message, status=...):
        super().__init__(message)
        self.message = message
        if status is not ...:
            self.status = status

    def __str__(self):
        return self.message


class DeckError(QuarnoError):
    """A deck, state or forcing file that cannot be read, edited or written."""


class FitError(QuarnoError):
    """A fault of a fit or sampling configuration or its observations: exit 1."""


class RunFailure(FitError):
    """The model failed where the fit cannot go on without it: exit 2."""

    status = 2


class Stopped(FitError):
    """A model run was ended by a signal: the command stops with 128 + its
    number (130 for SIGINT, 143 for SIGTERM)."""

    def __init__(self, message, status):
        super().__init__(message, status)


class RunError(QuarnoError):
    """A run of the program that failed: `status` is its exit status (1 input,
    2 numerical failure, 3 output error; 128 + N when signal N ended it; None
    when it could not be started)."""

    def __str__(self):
        return self.message if self.status is None else f"{self.message} (exit {self.status})"


class ResultsError(QuarnoError):
    """Result files that cannot be read, or that belong to no finished run."""


class PlotError(QuarnoError):
    """A plot that cannot be drawn from its inputs."""


class QuarnoWarning(UserWarning):
    """A warning of the package or of the program: a value that is allowed
    but probably a mistake (a discharge in L/s given as m3/s, sites in km),
    a naive date taken as UTC, or a warning the program printed in a run.
    Shown once per place by Python's default filter; silenced with
    ``warnings.simplefilter("ignore", quarno.QuarnoWarning)``."""


def warn(message, stacklevel=3):
    """Issues `message` as a `QuarnoWarning`, pointing at the caller's caller
    (the user's line) by default.

    Parameters
    ----------
    message : str
        One line saying what looks wrong and what was done about it.
    stacklevel : int, optional
        As for `warnings.warn`.
    """
    warnings.warn(message, QuarnoWarning, stacklevel=stacklevel)
