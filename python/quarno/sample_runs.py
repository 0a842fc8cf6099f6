"""The runs of a sampling: each result journaled as it arrives
(quarno.journal), taken back from the journal when resuming, and the others
made on the engine, started only when a run is missing."""

import contextlib

from .contract import BICOND_FILE
from .journal import JOURNAL, Journal, sampling_key


class SampleRuns:
    """The runs of one sampling, open while it lasts. Use it as a context manager.

    Parameters
    ----------
    sampler : Sampler
        The sampling: its configuration, deck, engine (or how to start one)
        and its progress (run_done).
    resume : bool, optional
        Take the runs of the output folder's journal instead of making them
        again; otherwise the journal is written anew.

    Attributes
    ----------
    taken, made : int
        The runs taken from the journal and those made.
    """

    def __init__(self, sampler, resume=False):
        self.sampler, self.resume = sampler, resume
        self.engine = sampler.engine
        self.taken = self.made = 0
        self.edits = {}  # sample id -> edits, of the runs under way
        self.stack = contextlib.ExitStack()

    def __enter__(self):
        from . import forcing
        s = self.sampler
        fit = s.cfg.fit
        key = sampling_key(fit.path.read_bytes(), fit.deck_text,
                           (fit.deck / BICOND_FILE).read_bytes(), fit.options, fit.program,
                           forcing.run_files(fit.forcing, [], []) if fit.forcing else None,
                           fit.variable)
        self.journal = self.stack.enter_context(Journal(s.cfg.out / JOURNAL, key, self.resume))
        if self.resume:
            found = (f"{len(self.journal.kept)} runs in {self.journal.path}"
                     if self.journal.found else f"no journal {self.journal.path}: every run "
                     "is made")
            s.log(f"resume: {found}")
        return self

    def __exit__(self, *exc):
        self.stack.close()
        if self.resume and exc[0] is None:
            self.sampler.log(f"resume: {self.taken} runs taken from the journal, "
                             f"{self.made} made")

    def results(self, items):
        """The results of runs, from the journal or made now.

        Parameters
        ----------
        items : list of (int, list)
            Sample ids and their edits.

        Returns
        -------
        list of dict
            The engine's results, in the order of `items`' ids.

        Raises
        ------
        FitError
            A sample of the journal run with other edits.
        QuarnoError
            The engine's errors.
        """
        kept = [self.journal.take(i, edits) for i, edits in items]
        todo = [item for item, result in zip(items, kept) if result is None]
        done = [r for r in kept if r is not None]
        self.taken += len(done)
        for _ in done:
            self.sampler.run_done(None)
        if todo:
            self.edits.update(todo)
            s = self.sampler
            done += self.start().map(todo, s.deck, options=s.cfg.fit.options,
                                     variables=(s.cfg.fit.variable, *s.outputs.extra_variables),
                                     on_result=self.arrived)
            self.made += len(todo)
            self.edits.clear()
        return sorted(done, key=lambda r: r["sample"])

    def arrived(self, result):
        """Journals a finished run and moves the progress on."""
        self.journal.add(result, self.edits[result["sample"]])
        self.sampler.run_done(result)

    def start(self):
        """The engine, started here on first use unless one was given.

        Returns
        -------
        Engine or object
            The engine (its `map`), closed with this object.
        """
        if self.engine is None:
            from .engine import Engine
            s = self.sampler
            self.engine = self.stack.enter_context(Engine(
                s.scheduler, workers=s.cfg.workers, program=s.program, progress=False,
                launcher=s.cfg.launcher, parallel_args=s.cfg.parallel_args,
                scratch=s.cfg.out))
        return self.engine
