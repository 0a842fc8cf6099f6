"""The result of a sampling: what each method found (Sobol indices, Morris
effects, GLUE weights, an MCMC chain), the bands and their coverage, and the
files written from them."""

import csv
import os


class SampleResult:
    """The result of quarno-sample.

    Parameters
    ----------
    method : str
        sobol, morris, glue or mcmc.
    seed : int
        The seed of the design.
    labels : list of str
        The parameters' labels.

    Attributes
    ----------
    indices : dict or None
        Sobol: S1, S1_conf, ST, ST_conf (outputs x parameters) and n_dropped.
    outputs : list of str
        The outputs the indices or effects are of (the objective, each
        site's peak and time integral).
    effects : list of list or None
        Morris: rows output, parameter, mu, mu_star, sigma, n_effects.
    likelihood, weights : ndarray or None
        GLUE: each sample's likelihood and weight.
    chain : ndarray or None
        MCMC: the samples after the burn-in (steps x walkers, parameters).
    posterior : list of list or None
        MCMC: per parameter mean, sd, 2.5/50/97.5 % quantiles, tau.
    bands : dict
        Band file name -> sites x (5, 50, 95 %) x times.
    coverages : dict
        Band file name -> (share of observations inside the model's band,
        inside the band with the observation error).
    runs, failed : int
        The runs made and those that failed.
    """

    def __init__(self, method, seed, labels):
        self.method, self.seed, self.labels = method, seed, list(labels)
        self.indices = self.effects = self.likelihood = self.weights = None
        self.chain = self.posterior = None
        self.outputs = []
        self.bands, self.coverages = {}, {}
        self.runs = self.failed = 0
        self.files = []  # (name, writer of the file at a path), in the order written

    def add_csv(self, name, head, rows):
        """A CSV file to write: floats in full precision."""
        self.files.append((name, lambda path: _write_csv(path, head, rows)))

    def add_text(self, name, lines):
        """A text file to write, one line each."""
        self.files.append((name, lambda path: path.write_text("\n".join(lines) + "\n")))

    def add_file(self, name, writer):
        """A file written by `writer(path)` (a dataset, a plot)."""
        self.files.append((name, writer))

    def write(self, out):
        """Write the files into the folder `out`; their paths, in order."""
        paths = []
        for name, writer in self.files:
            writer(out / name)
            paths.append(out / name)
        return paths


def _write_csv(path, head, rows):
    tmp = path.with_name(path.name + ".tmp")
    with open(tmp, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(head)
        w.writerows([[repr(float(v)) if isinstance(v, float) or hasattr(v, "dtype")
                      else v for v in row] for row in rows])
    os.replace(tmp, path)
