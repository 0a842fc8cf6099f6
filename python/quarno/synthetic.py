"""Synthetic observations for the examples: a deck run as it stands, its
stream concentration sampled at some sites at regular times, each value times
log-normal noise exp(sigma z), z standard normal from numpy's default
generator with a fixed seed, written as an observations file of quarno-fit
(x_m,time_s,value,weight,group; weight 1/value of the value as written, so
that a fit weighs relative errors, as multiplicative noise calls for)."""

import tempfile
from pathlib import Path

from .contract import OBS_CSV_FILE
from .deck import Deck
from .results import read_obs_csv
from .run import run


def concentration_series(folder, program):
    """The stream concentration of a deck run as it stands.

    Parameters
    ----------
    folder : str or os.PathLike
        The deck's folder (with its forcing file).
    program : str
        The program to run.

    Returns
    -------
    dict
        {x: (times, C)} at every record of each observation site.
    """
    with tempfile.TemporaryDirectory(prefix="quarno-truth-") as tmp:
        run(Deck.read(folder), ["--csv"], folder=tmp, program=program)
        rows = read_obs_csv(Path(tmp) / OBS_CSV_FILE)
    series = {}
    for r in rows:
        t, c = series.setdefault(r["x_m"], ([], []))
        t.append(r["time_s"])
        c.append(r["C"])
    return series


def _interpolate(times, values, t):
    k = next((i for i, ti in enumerate(times) if ti >= t), len(times) - 1)
    if times[k] <= t or k == 0:
        return values[k]
    t0, t1 = times[k - 1], times[k]
    return values[k - 1] + (values[k] - values[k - 1]) * (t - t0) / (t1 - t0)


def write_observations(folder, program, out, sites, times, sigma, seed, note):
    """Samples the deck's C with noise and writes an observations file.

    Parameters
    ----------
    folder : str or os.PathLike
        The deck's folder.
    program : str
        The program to run.
    out : str or os.PathLike
        The observations file written.
    sites, times : sequence of float
        Observation sites of the deck (m) and sampling times (s).
    sigma : float
        The noise's log-normal spread.
    seed : int
        The seed of numpy's default generator.
    note : str
        The file's first line, a comment.
    """
    import numpy as np
    series = concentration_series(folder, program)
    rng = np.random.default_rng(seed)
    lines = [f"# {note}", "x_m,time_s,value,weight,group"]
    for x in sites:
        record_times, values = series[x]
        for t in times:
            v = _interpolate(record_times, values, t) * float(np.exp(sigma * rng.standard_normal()))
            lines.append(f"{x:g},{t},{v:.6g},{1.0 / float(f'{v:.6g}'):.6g},x={x:g}")
    Path(out).write_text("\n".join(lines) + "\n", encoding="ascii")
