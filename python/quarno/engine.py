"""Many model runs of one deck, each with its own edits, on a back end
(quarno.backends): a Dask cluster (a local one in this process, a thread per
core, or an existing one started with `dask-scheduler` and
`dask-worker` on any machines), a pool of threads here, or GNU parallel.

    from quarno.engine import Engine
    with Engine() as engine:                       # or Engine("tcp://host:8786")
        results = engine.map([(i, [("Re", 0, 300, re)]) for i, re in enumerate(values)],
                             deck)                  # a Deck read with Deck.read(folder)
    results[0]["series"]["C"][0]                   # site 1's concentration over time

A task (quarno.batch.Batch) carries the deck's text once and the edits of
several runs, and returns their site series: no shared file system is
needed, but the program (and this package) must be there on every worker.
Each worker records the flow once per flow key and replays it for its later
runs when no edited column is a flow column.
"""

import sys

from . import backends
from .batch import batch_sizes, batches, sample_task
from .deck import Deck
from .errors import QuarnoError
from .task import can_replay, flow_key, perform  # noqa: F401 (can_replay, flow_key: public here)


def run_task(sample, base_text, bicond, edits=(), options=(), variables=("C",),
             program=None, replay=True, forcing=None):
    """One sample's run here (sample_task's parameters, performed at once).

    Returns
    -------
    dict
        quarno.task.perform's result: sample, status, message, flow
        ("recorded", "replayed", "mismatch" or "solved"), seconds, and for a
        successful run time, site, x and series {variable: array sites x times}.

    Raises
    ------
    QuarnoError
        The run was ended by a signal, or the program cannot start.
    """
    return perform(sample_task(sample, base_text, bicond, edits, options, variables, program,
                               replay, forcing))


def _deck_parts(deck):
    """(crparam text, crbicond bytes, forcing (bytes, sources) or None) of a
    Deck, or of such a triple or a (text, bicond) pair."""
    if isinstance(deck, Deck):
        if deck.bicond is None:
            raise QuarnoError("the deck holds no crbicond.txt: read it with Deck.read(folder)",
                              1)
        return deck.text, deck.bicond, deck._forcing
    text, bicond, *rest = deck
    return text, bytes(bicond), (rest[0] if rest else None)


class Engine:
    """Runs samples of one deck on a back end. Use it as a context manager.

    Parameters
    ----------
    scheduler : str, optional
        Dask: "tcp://HOST:PORT" of an existing cluster; None starts a local
        one in this process (a run at once per thread), stopped on close.
    workers : int, optional
        Runs at once (default: one per core).
    retries : int, optional
        Dask: how often a task is tried again after its worker or run was lost.
    program : str, optional
        The program on the workers (default: default_program() there).
    progress : bool, optional
        A progress line on stderr (default: when stderr is a terminal).
    launcher : {"dask", "local", "parallel"}, optional
        The back end (quarno.backends).
    parallel_args : sequence of str, optional
        GNU parallel's own options.
    scratch : str or path-like, optional
        GNU parallel: a folder every host shares, for its task files.
    batch : int, optional
        Runs per task; None: chosen from the runs and the workers, large
        first, then smaller (quarno.batch.batch_sizes). The results do not
        depend on it.
    """

    def __init__(self, scheduler=None, workers=None, retries=3, program=None, progress=None,
                 launcher="dask", parallel_args=(), scratch=None, batch=None):
        self.program, self.batch = program, batch
        self.counts = {}  # how the flow was obtained, over every result: flow -> runs
        self.backend = backends.open_backend(
            launcher, workers, scheduler, retries, parallel_args, scratch,
            sys.stderr.isatty() if progress is None else progress)

    @property
    def client(self):
        """The Dask client (the Dask back end only)."""
        return self.backend.client

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def close(self):
        """Stops the back end (a local cluster with it)."""
        self.backend.close()

    def map(self, items, deck, options=(), variables=("C",), replay=True, on_result=None):
        """Runs every item on `deck`.

        Parameters
        ----------
        items : iterable of (id, edits)
            Distinct ids and the edits of each run (as run_task takes them).
        deck : Deck or tuple
            A Deck with its crbicond.txt and forcing file, or (text, bicond
            bytes[, forcing]).
        options : list of str, optional
            The program's options.
        variables : tuple of str, optional
            The columns of crObsNode.csv returned.
        replay : bool, optional
            Record the flow once per worker and replay it where possible.
        on_result : callable, optional
            Called with each result as it arrives.

        Returns
        -------
        list of dict
            run_task's results ordered by id, whatever order they finished in.

        Raises
        ------
        QuarnoError
            The first task's error that retries did not cure (the rest are
            cancelled), or ids that are not distinct.
        """
        text, bicond, forcing = _deck_parts(deck)
        items = list(items)
        ids = [i for i, _ in items]
        if len(set(ids)) != len(ids):
            raise QuarnoError("sample ids must be distinct")
        sizes = batch_sizes(len(items), self.backend.workers, self.batch,
                            self.backend.smallest_batch)
        tasks = batches(items, sizes, text, bicond, options=options, variables=variables,
                        program=self.program, replay=replay, forcing=forcing)

        def count(result):
            self.counts[result["flow"]] = self.counts.get(result["flow"], 0) + 1
            if on_result is not None:
                on_result(result)
        return sorted(self.backend.map(tasks, count), key=lambda r: r["sample"])
