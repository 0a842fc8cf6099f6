"""The errors of the fit tools: each carries the exit status of its command."""


class FitError(Exception):
    """A fault of the user's input (configuration, deck, observations): exit 1."""

    status = 1


class RunFailure(FitError):
    """The model failed where the fit cannot go on without it: exit 2."""

    status = 2


class Stopped(FitError):
    """A model run was killed by a signal: the fit stops with 128 + its number
    (130 for SIGINT, 143 for SIGTERM)."""

    def __init__(self, message, status):
        super().__init__(message)
        self.status = status
