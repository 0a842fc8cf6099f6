"""Several runs of one deck as one task of a back end: the deck's text, its
crbicond.txt and forcing file travel once per batch, not once per run, and a
back end pays its per-task cost (a Dask submission, a GNU parallel job with
its python3 start) once for k runs.

    batch = Batch([(0, edits0), (1, edits1)], text, bicond)
    perform_unit(batch)          # [result of sample 0, result of sample 1]

`perform_unit` is what every back end runs: a Task gives one result, a Batch
the list of its runs' results, in its order.

    python3 -m quarno.batch JOB     # GNU parallel's job: JOB.task holds a Task
                                    # or a Batch, its answer goes into JOB.result
"""

import sys

from . import forcing as _forcing
from .contract import BICOND_FILE, PARAM_FILE
from .deck import Deck
from .task import Task, answer_job, can_replay, lost, perform

# The most runs in one batch: a lost worker or a retried batch costs at most
# this many runs again, and results still arrive in steps a progress line shows.
MAX_BATCH = 32
# A batch holds at most this share of the runs left per worker: batches
# shrink towards the end, so that the workers finish together.
SHARE_PER_WORKER = 2


def sample_task(sample, base_text, bicond, edits=(), options=(), variables=("C",),
                program=None, replay=True, forcing=None):
    """The Task of one sample: the base deck with its edits and its forcing
    file, run in a private folder, its site series returned.

    Parameters
    ----------
    sample : object
        The sample id.
    base_text : str
        crparam.txt before the edits.
    bicond : bytes
        crbicond.txt.
    edits : list, optional
        (column, x_from, x_to, value) as Deck.edited takes them, the same for
        a column of the rate table, or (source.NAME.strength, None, None,
        value) for a source's strength.
    options : sequence of str, optional
        The program's options.
    variables : tuple of str, optional
        The columns of crObsNode.csv returned.
    program : str, optional
        The program (default: default_program() where the task runs).
    replay : bool, optional
        Record the flow once per worker and replay it where the edits allow.
    forcing : tuple, optional
        The deck's forcing file, (bytes, sources), or None.

    Returns
    -------
    Task
        A strict task: a run ended by a signal raises, so that Dask retries it.
    """
    options = [str(o) for o in options]
    edits = list(edits)
    columns, strengths, rates = _forcing.split_edits(edits)
    text = Deck(base_text).edited(columns) if columns else base_text
    inputs = {PARAM_FILE: text.encode("latin-1"), BICOND_FILE: bytes(bicond),
              **_forcing.run_files(forcing, strengths, rates)}
    flow_base = ((base_text, bytes(bicond), forcing)
                 if replay and can_replay(edits, options) else None)
    return Task(sample, options, program, inputs=inputs, flow_base=flow_base,
                variables=variables, strict=True)


class Batch:
    """Runs of one deck, each with its own edits, made one after the other
    where the batch is performed (it pickles).

    Parameters
    ----------
    items : sequence of (id, edits)
        The runs, as sample_task takes them.
    base_text, bicond, options, variables, program, replay, forcing
        As sample_task takes them, the same for every run.
    """

    def __init__(self, items, base_text, bicond, options=(), variables=("C",), program=None,
                 replay=True, forcing=None):
        self.items = [(sample, list(edits)) for sample, edits in items]
        self.base_text, self.bicond, self.forcing = base_text, bytes(bicond), forcing
        self.options, self.variables = [str(o) for o in options], tuple(variables)
        self.program, self.replay = program, replay

    def __len__(self):
        return len(self.items)

    def tasks(self):
        """The Task of each run, in order.

        Returns
        -------
        list of Task
        """
        return [sample_task(sample, self.base_text, self.bicond, edits, self.options,
                            self.variables, self.program, self.replay, self.forcing)
                for sample, edits in self.items]


def batch_sizes(runs, workers, size=None, smallest=1):
    """How many runs each batch holds, in the order they are handed out.

    Parameters
    ----------
    runs : int
        The runs to be made.
    workers : int
        The runs made at once.
    size : int, optional
        Every batch this many runs (the last may hold fewer). None: first
        one run per worker (the first results and the flow records come
        after one run), then each batch 1/(SHARE_PER_WORKER x workers) of
        the runs still left, at most MAX_BATCH: large batches while many
        runs are left, one run each at the end, so that no worker is left
        alone with a large batch while the others have finished.
    smallest : int, optional
        The shrinking batches hold no fewer runs than this (the last may),
        for a back end whose task costs as much as a run or more.

    Returns
    -------
    list of int
        Positive, summing to `runs`.
    """
    if size is not None:
        size = max(1, int(size))
        return [min(size, runs - a) for a in range(0, runs, size)]
    workers = max(1, int(workers))
    sizes = [1] * min(runs, workers)
    left, share = runs - len(sizes), SHARE_PER_WORKER * workers
    while left > 0:
        sizes.append(min(left, MAX_BATCH, max(smallest, -(-left // share))))
        left -= sizes[-1]
    return sizes


def batches(items, sizes, base_text, bicond, **common):
    """The items cut into Batches of the given sizes, in order.

    Parameters
    ----------
    items : sequence of (id, edits)
    sizes : list of int
        The runs of each batch (batch_sizes), summing to the items.
    base_text : str
    bicond : bytes
    **common
        Batch's other parameters.

    Returns
    -------
    list of Batch
    """
    items, cut, a = list(items), [], 0
    for k in sizes:
        cut.append(Batch(items[a:a + k], base_text, bicond, **common))
        a += k
    return cut


def perform_unit(unit):
    """Performs a Task or a Batch where it is: every back end's task function.

    Parameters
    ----------
    unit : Task or Batch

    Returns
    -------
    dict or list of dict
        quarno.task.perform's result; for a Batch, its runs' results in order.

    Raises
    ------
    QuarnoError
        As perform raises; the first run of a Batch that raises stops it.
    """
    # A Task is asked for by its class (quarno.task's, one class wherever this
    # module runs from); run as `python -m quarno.batch`, this module's own
    # Batch is a second class beside the one the pickled batches hold.
    if isinstance(unit, Task):
        return perform(unit)
    return [perform(task) for task in unit.tasks()]


def unit_runs(unit):
    """The runs a unit holds.

    Parameters
    ----------
    unit : Task or Batch

    Returns
    -------
    int
        1 for a Task, the Batch's length for a Batch.
    """
    return 1 if isinstance(unit, Task) else len(unit)


def lost_unit(unit, message=None):
    """The result of a unit its back end did not run.

    Parameters
    ----------
    unit : Task or Batch
    message : str, optional
        The message (quarno.task.LOST by default).

    Returns
    -------
    dict or list of dict
        quarno.task.lost's result, one per run of a Batch.

    Raises
    ------
    QuarnoError
        For strict tasks (a Batch's are), which have no status to give.
    """
    args = () if message is None else (message,)
    if isinstance(unit, Batch):
        return [lost(task, *args) for task in unit.tasks()]
    return lost(unit, *args)


def main(argv=None):
    """GNU parallel's job: quarno.task.answer_job for the Task or Batch
    pickled in JOB.task.

    Parameters
    ----------
    argv : list of str, optional
        [JOB], the path of the task file without ".task"; sys.argv[1:] by
        default.

    Returns
    -------
    int
        0: a unit's QuarnoError goes into its result, not into the exit status.
    """
    answer_job((argv or sys.argv[1:])[0], perform_unit)
    return 0


if __name__ == "__main__":
    sys.exit(main())
