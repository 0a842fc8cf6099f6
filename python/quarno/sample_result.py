"""The result of a sampling: what each method found (Sobol indices, Morris
effects, GLUE weights, an MCMC chain), the bands and their coverage, and the
files written from them."""

import csv
import errno
import os
import pickle
import subprocess
import sys
from pathlib import Path

from .errors import QuarnoError

# The summary of a sampling, written last: it says which files were written
# when one could not be.
SUMMARY = "summary.txt"


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
    start_date : pandas.Timestamp or None
        The runs' start date (UTC), when they have one.
    unit : Unit or None
        The deck's concentration unit, when it declares one.
    samples : dict or None
        What samples.nc holds: ids, X, cube, objective, failed, extra,
        variable, x_m, time_s, attrs (set_samples).
    """

    def __init__(self, method, seed, labels):
        self.method, self.seed, self.labels = method, seed, list(labels)
        self.indices = self.effects = self.likelihood = self.weights = None
        self.chain = self.posterior = None
        self.outputs = []
        self.bands, self.coverages = {}, {}
        self.runs = self.failed = 0
        self.start_date = self.unit = None
        self.samples = None
        self.files = []  # (name, writer of the file at a path), in the order written
        self.texts = {}  # text file name -> its lines

    def add_csv(self, name, head, rows, comments=()):
        """A CSV file to write: floats in full precision, after `comments`
        (lines written with "# " before the head)."""
        self.files.append((name, lambda path: _write_csv(path, head, rows, comments)))

    def set_samples(self, **samples):
        """Keep the samples' parameters and site series (the `samples`
        attribute's keys) and write them as samples.nc."""
        self.samples = samples
        self.add_file("samples.nc", lambda path: write_netcdf(self.to_xarray(), path))

    def to_xarray(self):
        """The samples as an xarray Dataset, as samples.nc holds them.

        Returns
        -------
        xarray.Dataset
            parameter_value (sample, parameter), the sampled variable
            (sample, site, time) with its unit, objective, failed and the
            method's values per sample; the time as dates (datetime64, UTC)
            when the runs have a start date, else seconds; always time_s.
        """
        from .sample_data import samples_dataset
        return samples_dataset(self)

    def to_netcdf(self, path):
        """Write the samples as netCDF, the time as CF time ("seconds since"
        the start date, proleptic Gregorian calendar) when dated.

        Parameters
        ----------
        path : str or path-like

        Raises
        ------
        OSError
            When the file cannot be written.
        """
        write_netcdf(self.to_xarray(), Path(path))

    def add_text(self, name, lines):
        """A text file to write, one line each."""
        self.texts[name] = list(lines)
        self.files.append((name, lambda path: path.write_text(
            "\n".join(self.texts[name]) + "\n")))

    def add_file(self, name, writer):
        """A file written by `writer(path)` (a dataset, a plot)."""
        self.files.append((name, writer))

    def write(self, out):
        """Write the files into the folder `out`, each whole or not at all.

        Each file is written under a temporary name beside it and renamed
        over it once complete.

        Parameters
        ----------
        out : pathlib.Path
            The output folder.

        Returns
        -------
        list of pathlib.Path
            The files' paths, in order.

        Raises
        ------
        QuarnoError
            Exit 3, when a file cannot be written (a full disk): one line naming
            it, the reason, the files written and those not. Its temporary file
            is removed, and summary.txt, when it is among the files not yet
            written, is written with that line (or removed when even that fails,
            so that no summary of an earlier sampling stays).
        """
        paths = []
        for k, (name, writer) in enumerate(self.files):
            try:
                _whole(out / name, writer)
            except OSError as e:
                rest = [n for n, _ in self.files[k:]]
                line = (f"{out / name}: cannot write ({e.strerror or e}); written: "
                        f"{', '.join(p.name for p in paths) or 'none'}; not written: "
                        f"{', '.join(n for n in rest if n != SUMMARY)}")
                if SUMMARY in self.texts and SUMMARY in rest and name != SUMMARY:
                    self.texts[SUMMARY].append(f"incomplete: {line}")
                    try:
                        _whole(out / SUMMARY, dict(self.files)[SUMMARY])
                    except OSError:
                        (out / SUMMARY).unlink(missing_ok=True)
                        line += f", {SUMMARY}"
                elif SUMMARY in rest:
                    (out / SUMMARY).unlink(missing_ok=True)
                    line += f", {SUMMARY}"
                raise QuarnoError(line, 3) from None
            paths.append(out / name)
        return paths


def _whole(path, writer):
    """writer(temporary path), then the temporary file renamed to `path`;
    removed when the writer fails."""
    tmp = path.with_name(f"{path.stem}.tmp{path.suffix}")
    try:
        writer(tmp)
        os.replace(tmp, path)
    finally:
        tmp.unlink(missing_ok=True)


def write_netcdf(dataset, path):
    """Write an xarray Dataset as netCDF in a process of its own.

    A netCDF library that meets a full disk leaves its file open and may
    crash this process when it exits; the child is ended without its exit
    handlers instead.

    Parameters
    ----------
    dataset : xarray.Dataset
        The data.
    path : pathlib.Path
        The file.

    Raises
    ------
    OSError
        When the file cannot be written: the reason the system gives for a
        write at its end (File too large, No space left on device), else the
        library's message.
    """
    package = str(Path(__file__).resolve().parents[1])
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(
        [package, *filter(None, [os.environ.get("PYTHONPATH")])])}
    p = subprocess.run([sys.executable, "-m", "quarno.sample_result", str(path)],
                       input=pickle.dumps(dataset), capture_output=True, env=env)
    if p.returncode != 0:
        lines = p.stderr.decode("utf-8", "replace").strip().splitlines()
        raise OSError(errno.EIO, lines[-1] if lines else f"exit {p.returncode}", str(path))


def main(argv=None):
    """The child of write_netcdf: the pickled Dataset on stdin written to a
    path; on failure one line on stderr (the reason) and exit 3, at once,
    without the exit handlers.

    Parameters
    ----------
    argv : list of str, optional
        [PATH]; sys.argv[1:] by default.
    """
    path = (argv or sys.argv[1:])[0]
    try:
        dataset = pickle.load(sys.stdin.buffer)
        dataset.to_netcdf(path)
        code = 0
    except Exception as e:  # the library's own error, whatever its class
        reason = _system_reason(path, dataset.nbytes) or str(e) or type(e).__name__
        sys.stderr.write(reason + "\n")
        code = 3
    sys.stderr.flush()
    os._exit(code)


def _system_reason(path, need):
    """The system's reason why a file of at least `need` bytes could not be
    written at `path`, or None: a write at its end fails, the file-size limit
    is below `need`, or the free space is."""
    import resource
    try:
        with open(path, "ab") as f:
            f.write(b"\0")
            f.flush()
    except OSError as e:
        return e.strerror
    soft = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
    if soft != resource.RLIM_INFINITY and need >= soft:
        return os.strerror(errno.EFBIG)
    st = os.statvfs(os.path.dirname(os.path.abspath(path)))
    if st.f_bavail * st.f_frsize < need:
        return os.strerror(errno.ENOSPC)
    return None


def _write_csv(path, head, rows, comments=()):
    with open(path, "w", newline="") as f:
        f.writelines(f"# {line}\n" for line in comments)
        w = csv.writer(f, lineterminator="\n")
        w.writerow(head)
        w.writerows([[repr(float(v)) if isinstance(v, float) or hasattr(v, "dtype")
                      else v for v in row] for row in rows])


if __name__ == "__main__":
    main()

