"""Quarno from Python: decks, runs and their results.

    import quarno
    deck = quarno.Deck.read("examples/first-deck")
    res = quarno.run(deck, ["--csv"], folder="run1")
    res.observations        # a pandas DataFrame with the columns of crObsNode.csv

Decks are read, edited and written with every untouched character kept:

    deck.set("Rough", 0.045, x_from=0, x_to=1000)
    start = deck.set_schedule(gauge.index, gauge["Q"], concentration=gauge["C"])
    deck.set_sites([0., 500.]); deck.set_output_times([3600.])
    deck.write("storm")    # or quarno.run(deck, ["--start-date", start], ...)

The commands quarno-fit and quarno-plot are quarno.cli.fit_main and
quarno.cli.plot_main. The plots (quarno.plot) and the fit (quarno.fit) are
imported on their own, since they need matplotlib and scipy.
"""

from .build import normal_depth
from .chain import Chain, run_chain
from .deck import FITTABLE, FLOW_COLUMNS, TABLES, Deck
from .errors import (DeckError, FitError, PlotError, QuarnoError, QuarnoWarning, ResultsError,
                     RunError, RunFailure)
from .results import (OBS_COLUMNS, read_balance_csv, read_balance_fixed, read_number,
                      read_obs_csv, read_obs_fixed, read_observations, read_profiles_csv,
                      read_profiles_fixed)
from .run import Results, default_program, run
from .units import Unit

__version__ = "0.5.0"

__all__ = ["Chain", "Deck", "DeckError", "FITTABLE", "FLOW_COLUMNS", "FitError", "OBS_COLUMNS",
           "PlotError", "QuarnoError", "QuarnoWarning", "Results", "ResultsError", "RunError", "RunFailure", "TABLES", "Unit", "default_program", "normal_depth",
           "read_balance_csv", "read_balance_fixed", "read_number", "read_obs_csv",
           "read_obs_fixed", "read_observations", "read_profiles_csv", "read_profiles_fixed",
           "run", "run_chain"]
