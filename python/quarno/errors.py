"""The errors of the fit tools: each carries the exit status of its command."""


class FitError(Exception):
    """A fault of the user's input (configuration, deck, observations): exit 1."""

    status = 1


class RunFailure(FitError):
    """The model failed where the fit cannot go on without it: exit 2."""

    status = 2
