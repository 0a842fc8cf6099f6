"""The outputs of quarno-sample's runs: each sample's site series on one time
axis, its weighted residuals at the observations, and from them the
objective and each site's peak and time integral."""

import math

from .observations import Matcher


class Outputs:
    """The model's outputs of every sample: the site series on one time axis
    (the first good run's), the fit's weighted residuals at the observations,
    and from them the objective and each site's peak and time integral.

    Parameters
    ----------
    observations : list of dict
        The observations, as the configuration read them.
    weighted : Residuals
        Their weights and transforms.
    variable : str
        The variable compared.
    obs_file : str
        The observation file, for the messages.
    """

    def __init__(self, observations, weighted, variable, obs_file):
        import numpy as np
        self.np = np
        self.observations, self.weighted, self.obs_file = observations, weighted, obs_file
        self.matcher = None
        self.variable = variable
        self.time = None
        self.x = None
        self.series = {}      # sample id -> array sites x times (NaN: failed run)
        self.extra_variables = ()  # further columns kept, for the indices over time
        self.more = {}        # sample id -> {column: array sites x times}, the variable's too
        self.residuals = {}   # sample id -> weighted residuals at the observations
        self.failed = {}      # sample id -> message
        self.flow = {}

    def take(self, result):
        """Keep the outputs of one run's result.

        Parameters
        ----------
        result : dict
            The engine's result of one run: sample, status, message, flow, time,
            x, site and series.
        """
        np = self.np
        i = result["sample"]
        self.flow[result["flow"]] = self.flow.get(result["flow"], 0) + 1
        if result["status"] != 0:
            self.failed[i] = f"exit {result['status']}: {result['message']}"
            return
        kept = {v: result["series"][v] for v in (self.variable, *self.extra_variables)}
        if self.time is None:
            self.time, self.x = result["time"], result["x"]
            rows = [{"site": int(s), "x_m": float(x), "time_s": float(t), self.variable: 0.0}
                    for s, x in zip(result["site"], result["x"]) for t in result["time"]]
            self.matcher = Matcher(self.observations, rows, self.variable, self.obs_file)
            self.site_of = [list(result["site"]).index(s) for s in self.matcher.index]
        elif len(result["time"]) != len(self.time) or np.any(result["time"] != self.time):
            kept = {v: np.array([np.interp(self.time, result["time"], s) for s in series])
                    for v, series in kept.items()}
        series = self.series[i] = kept[self.variable]
        self.more[i] = kept
        model = np.array([np.interp(o["time_s"], self.time, series[k])
                          for o, k in zip(self.observations, self.site_of)])
        r = self.weighted.at(model)
        self.residuals[i] = r if np.all(np.isfinite(r)) else None

    def objective(self, i):
        """The weighted sum of squares of sample i (NaN when its run failed)."""
        r = self.residuals.get(i)
        return math.nan if r is None else float(r @ r)

    def table(self, ids):
        """The outputs of samples: the objective, then each site's peak and time integral.

        Parameters
        ----------
        ids : list of int
            The samples.

        Returns
        -------
        names : list of str
            The outputs' names.
        values : numpy.ndarray
            (samples, outputs); NaN for a failed run.
        """
        np = self.np
        names = ["objective"] + [f"peak {self.variable} x={x:g}" for x in self.x] + \
                [f"integral {self.variable} x={x:g}" for x in self.x]
        rows = []
        for i in ids:
            s = self.series.get(i)
            if s is None:
                rows.append([math.nan] * len(names))
                continue
            rows.append([self.objective(i), *np.max(s, axis=1),
                         *np.trapz(s, self.time, axis=1)])
        return names, np.array(rows, dtype=float)

    def cube(self, ids):
        """The site series of samples `ids`: samples x sites x times."""
        np = self.np
        blank = np.full((len(self.x), len(self.time)), np.nan)
        return np.stack([self.series.get(i, blank) for i in ids])

    def predictive_coverage(self, ids, weights, seed, draws=20, factors=None):
        """The share of observations inside the band with the observation error.

        The error is Gaussian with sigma = 1/weight on the fit's scale (log10 where
        transformed), drawn into the weighted model values (seeded); an observation
        (weight > 0) is inside when zero lies between the 5 and 95 % quantiles of
        its residuals.

        Parameters
        ----------
        ids : list of int
            The samples.
        weights : array_like
            One weight per sample.
        seed : int
            The seed of the errors drawn.
        draws : int, optional
            The errors drawn per sample.
        factors : array_like, optional
            (samples, observations): each error's sigma as a factor on 1/weight
            (an estimated error model); 1 when not given.

        Returns
        -------
        float
        """
        np = self.np
        from .uncertainty import weighted_quantiles
        keep = [k for k, i in enumerate(ids) if weights[k] > 0
                and self.residuals.get(i) is not None]
        R = np.array([self.residuals[ids[k]] for k in keep])
        used = self.weighted.scale > 0
        rng = np.random.default_rng(seed)
        error = rng.standard_normal((len(keep), draws, int(used.sum())))
        if factors is not None:
            error = error * np.asarray(factors, float)[keep][:, None, used]
        noisy = R[:, None, used] + error
        w = np.repeat(np.asarray(weights)[keep] / draws, draws)
        lo, hi = weighted_quantiles(noisy.reshape(len(keep) * draws, -1), w, q=(0.05, 0.95))
        return float(np.mean((lo <= 0.0) & (0.0 <= hi)))
