"""quarno-sample's Sobol method: the replicated design run on the engine, the
indices with their intervals, the second-order indices when asked, the
convergence view and a warning when the sample is too small."""

from .errors import FitError, warn
from .time_indices import add_time_indices
from .sobol import (convergence_rows, small_sample_note, sobol_design, sobol_indices,
                    replicate_size)

HEAD = ["parameter", "S1", "S1_conf", "ST", "ST_conf"]


def check_sobol_keys(cfg):
    """The base samples and replicates of a configuration, after checking them.

    Parameters
    ----------
    cfg : SampleConfig

    Returns
    -------
    replicates, m : int
        The replicates and the base samples of each.

    Raises
    ------
    FitError
        Fewer base samples than replicates, in one line naming the file.
    """
    if cfg.n < cfg.replicates:
        raise FitError(f"{cfg.fit.path} [sample]: 'replicates' ({cfg.replicates}) must not "
                       f"exceed n ({cfg.n}), the base samples split among them")
    return cfg.replicates, replicate_size(cfg.n, cfg.replicates)


def sobol_analysis(sampler):
    """Run the design of `sampler`'s configuration and add the Sobol files to its result.

    Writes sobol.csv (the objective), sobol_outputs.csv (every output),
    sobol_second_order.csv (with second_order), samples.nc, sobol.png,
    sobol_convergence.csv and sobol_convergence.png.

    Parameters
    ----------
    sampler : Sampler
        The sampling: its configuration, engine, outputs and result.
    """
    cfg = sampler.cfg
    R, m = check_sobol_keys(cfg)
    second = bool(cfg.second_order)
    X = sobol_design(cfg.bounds, cfg.n, R, cfg.seed, second)
    d = X.shape[1]
    sampler.log(f"sobol: {len(X)} runs ({R} replicates of {m} base samples, {d} parameters"
                f"{', second-order indices' if second else ''})")
    sampler.expect(len(X))
    ids = sampler.evaluate(X)
    names, Y = sampler.outputs.table(ids)
    res = sobol_indices(Y, d, R, cfg.conf, second)
    labels = cfg.labels
    result = sampler.result
    result.indices, result.outputs = res, names
    result.add_csv("sobol.csv", HEAD, [[lab, *(res[k][0][j] for k in HEAD[1:])]
                                       for j, lab in enumerate(labels)])
    rows = [[name, lab, *(res[k][o][j] for k in HEAD[1:])]
            for o, name in enumerate(names) for j, lab in enumerate(labels)]
    result.add_csv("sobol_outputs.csv", ["output"] + HEAD, rows)
    if second:
        rows = [[name, labels[i], labels[j], res["S2"][o][i, j], res["S2_conf"][o][i, j]]
                for o, name in enumerate(names) for i in range(d) for j in range(i + 1, d)]
        result.add_csv("sobol_second_order.csv",
                       ["output", "parameter_i", "parameter_j", "S2", "S2_conf"], rows)
    dropped = [int(v) for v in res["n_dropped"]]
    if any(dropped):
        sampler.log(f"sobol: base samples left out for failed runs: {max(dropped)}")
    note = small_sample_note(R * m, res["S1_conf"][0], cfg.conf)
    if note is not None:
        sampler.notes.append(note)
        warn(note, stacklevel=2)
    sampler.add_samples(ids, X)
    sampler.add_plot("sobol.png", "indices", names, res)
    add_time_indices(sampler, ids, R, second)
    rows = convergence_rows(Y, d, R, m, cfg.conf, names, labels, second)
    result.add_csv("sobol_convergence.csv", ["output", "parameter", "replicates",
                                             "base_samples", *HEAD[1:]], rows)
    sampler.add_plot("sobol_convergence.png", "convergence", rows)
