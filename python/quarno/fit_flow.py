"""How the runs of a fit get their flow.

Either the flow is brought to its steady state once (steady_flow) and every
run starts from that state, or the unsteady flow of the starting deck is
recorded once and replayed by every run whose deck cannot change it, or each
run solves its own. The choice adds options to every run and a text to every
run's cache key, so that runs made with another flow are never reused.
"""


from .contract import STEADY_FLOW_FILE
from .deck import FLOW_COLUMNS, FLOW_OPTIONS
from .errors import RunFailure
from .service import FLOW_RECORD_HEAD, FlowRecord, file_hash, program_offers

# The zstd level of the fit's flow record: written once, replayed by every
# run. On a storm deck level 9 wrote a record 2 % smaller than level 1 in
# about a tenth of a second more, and replays took as long; level 19 saved
# 1 % more for seconds of writing.
FLOW_COMPRESSION = 9


class FitFlow:
    """The flow of a fit's runs: set up once in OUT/flow/, then used by all.

    Parameters
    ----------
    cfg : Config
        The fit's configuration (program, options, parameters, output folder,
        steady_flow and replay_flow).
    runner : Runner
        The runner of the fit's runs.
    bicond : bytes
        The deck's boundary-condition file.
    warn : callable
        Called with the text of a warning for the summary.
    log : callable
        Called with each line of progress.

    Attributes
    ----------
    run_options : list of str
        The options every run is given for its flow.
    flow_extra : str
        The text added to every run's cache key for its flow.
    record : pathlib.Path or None
        The flow record every run replays, if any.
    mismatched : set
        The folders of runs that found the record not matching their deck.
    """

    def __init__(self, cfg, runner, bicond, warn, log):
        self.cfg = cfg
        self.runner = runner
        self.bicond = bicond
        self.warn = warn
        self.log = log
        self.run_options = []
        self.flow_extra = ""
        self.record = None
        self.mismatched = set()

    def start(self, text, files):
        """Set up the flow from the starting deck.

        With steady_flow the flow is brought to its steady state once, in
        OUT/flow/, and every later run starts from it; otherwise the unsteady
        flow is recorded once and replayed (`start_replay`).

        Parameters
        ----------
        text : str
            crparam.txt at the parameters' initial values.
        files : dict
            The forcing files at the initial values, {relative path: bytes}.

        Raises
        ------
        RunFailure
            When the steady-flow run fails or writes no state.
        """
        if not self.cfg.steady_flow:
            self.start_replay(text, files)
            return
        fitted_flow = [p.label for p in self.cfg.parameters if p.name in FLOW_COLUMNS]
        if fitted_flow:
            self.warn(f"steady_flow with flow parameters fitted ({', '.join(fitted_flow)}): the "
                      "saved flow state matches only the starting deck, so runs that change "
                      "them recompute their own steady flow")
        key = self.runner.key(text, self.bicond, ["--steady-flow"], files=files)
        run = self.runner.prepare(self.cfg.out / "flow", text, self.bicond, key, files)
        self.runner.execute([run], ["--steady-flow"])
        if not run.ok:
            if run.status == 1 and "not expected" in run.stderr:
                raise RunFailure(f"{self.cfg.program} does not know --steady-flow yet "
                                 f"({run.stderr.splitlines()[0] if run.stderr else ''}); "
                                 "set steady_flow = false in [model]")
            raise RunFailure(f"the steady-flow run in {run.folder} failed (exit {run.status}): "
                             f"{run.stderr}")
        state = self.cfg.out / "flow" / STEADY_FLOW_FILE
        if not state.is_file():
            raise RunFailure(f"the steady-flow run wrote no {state}")
        self.run_options = ["--flow-state", str(state.resolve())]
        self.flow_extra = file_hash(state)
        self.log(f"steady flow: {state}{' (from the cache)' if run.cached else ''}")

    def start_replay(self, text, files):
        """Record the flow of the starting deck once in OUT/flow/ for every
        later run to replay, when no fitted parameter can change it.

        The record's key goes into every run's cache key, so that runs
        replayed from another flow are never reused.

        Parameters
        ----------
        text : str
            crparam.txt at the parameters' initial values.
        files : dict
            The forcing files at the initial values, {relative path: bytes}.

        Raises
        ------
        RunFailure
            When the run fails or leaves no record this package reads.
        """
        why = self.why_no_record()
        if why:
            self.log(f"flow record: none, {why}")
            return
        folder = self.cfg.out / "flow"
        folder.mkdir(parents=True, exist_ok=True)
        record = FlowRecord(folder.resolve() / "flow.qflow")
        options = record.save_options()
        if program_offers(self.cfg.program, "--flow-compression"):
            options += ["--flow-compression", str(FLOW_COMPRESSION)]
        key = self.runner.key(text, self.bicond, options, files=files)
        run = self.runner.prepare(folder, text, self.bicond, key, files)
        if run.cached and not record.key:  # the record has gone or is damaged
            (folder / "done").unlink()
            run = self.runner.prepare(folder, text, self.bicond, key, files)
        self.runner.execute([run], options)
        if not run.ok:
            raise RunFailure(f"the model failed at the starting values (exit {run.status}, "
                             f"{run.folder}): {run.stderr}")
        flow_key = record.key
        if not flow_key:
            raise RunFailure(f"{record.path}: not a flow record this tool reads (it expects "
                             f"'{FLOW_RECORD_HEAD}' and a key line)")
        self.run_options = record.replay_options()
        self.flow_extra = f"flow record {flow_key}"
        self.record = record.path
        self.log(f"flow record: {record.path} (key {flow_key}"
                 f"{', from the cache' if run.cached else ''}); every run replays it")

    def why_no_record(self):
        """Why the flow is not recorded.

        Returns
        -------
        str or None
            The reason, or None when the flow is recorded and replayed.
        """
        if not self.cfg.replay_flow:
            return "replay_flow = false"
        given = [o for o in self.cfg.options if o.split("=", 1)[0] in FLOW_OPTIONS]
        if given:
            return f"the options already choose the flow ({given[0]})"
        fitted = [p.label for p in self.cfg.parameters if p.name in FLOW_COLUMNS]
        if fitted:
            return (f"the flow depends on the fitted {', '.join(fitted)}: every run solves "
                    "its own")
        if not program_offers(self.cfg.program, "--replay-flow"):
            return f"{self.cfg.program} does not offer --replay-flow: every run solves its flow"
        return None

    def note_mismatches(self, runs):
        """Count the runs that found the flow record not matching their deck
        (they say so in one note and solve their own flow); log the first.

        Parameters
        ----------
        runs : iterable of Run
            Runs just executed.
        """
        if self.record is None:
            return
        head = f"note: {self.record}"
        for run in runs:
            if run.cached or not run.ok:
                continue
            note = next((line for line in run.stderr.splitlines() if line.startswith(head)),
                        None)
            if note is None or run.folder in self.mismatched:
                continue
            self.mismatched.add(run.folder)
            if len(self.mismatched) == 1:
                self.log(f"flow record: the run in {run.folder} did not match it and solved "
                         f"its own flow ({note}); later such runs are only counted")

    def summary(self):
        """How the runs got their flow, for the fit's summary.

        Returns
        -------
        str
            One line of text.
        """
        if self.cfg.steady_flow:
            return f"steady, {' '.join(self.run_options) or 'each run its own'}"
        if self.record is None:
            return "solved by every run"
        return (f"replayed from {self.record}; runs that did not match it: "
                f"{len(self.mismatched)}")
