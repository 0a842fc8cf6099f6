"""The observation error of quarno-sample's likelihood and predictive bands.

Each observation j with weight w_j > 0 belongs to an error group: its
[observations] group and whether it is compared on the log10 scale (a
log-normal error) or on its own (a normal error). With the noise fixed its
error's standard deviation on that scale is 1/w_j. With the noise estimated
each group g has a standard deviation sigma_g sampled beside the parameters:
observation j's is sigma_g * wbar_g / w_j, wbar_g the group's mean weight (so
the weights only set relative sizes inside a group, and sigma_g = 1/wbar_g is
the fixed model). Its prior is log-uniform (Jeffreys' for a scale) over
1e-3 to 1e3 times 1/wbar_g.
"""

import numpy as np

# The prior range of a group's sigma, as factors on the weights' sigma 1/wbar_g.
PRIOR_FACTORS = (1e-3, 1e3)


class NoiseModel:
    """The error groups of the observations and the estimated error model.

    Parameters
    ----------
    observations : list of dict
        The observations (their group).
    weighted : Residuals
        Their weights (scale) and log10 switches.

    Attributes
    ----------
    labels : list of str
        One per group: "sigma GROUP (log10)" or "sigma GROUP".
    mean_weight : numpy.ndarray
        wbar_g of each group.
    member : numpy.ndarray
        The group of each observation, -1 for one with weight 0.
    """

    def __init__(self, observations, weighted):
        keys = []
        member = []
        for o, w, log in zip(observations, weighted.scale, weighted.log10):
            if not w > 0:
                member.append(-1)
                continue
            key = (o["group"], bool(log))
            if key not in keys:
                keys.append(key)
            member.append(keys.index(key))
        self.member = np.array(member, dtype=int)
        self.log10 = np.array([log for _, log in keys], dtype=bool)
        self.scale = np.asarray(weighted.scale, float)
        self.mean_weight = np.array([self.scale[self.member == g].mean()
                                     for g in range(len(keys))])
        self.counts = np.array([(self.member == g).sum() for g in range(len(keys))])
        self.labels = [f"sigma {name}" + (" (log10)" if log else "") for name, log in keys]

    @property
    def bounds(self):
        """The prior ranges (lower, upper, log = True) of the groups' sigmas."""
        lo, hi = PRIOR_FACTORS
        return [(lo / w, hi / w, True) for w in self.mean_weight]

    @property
    def start(self):
        """The weights' sigmas 1/wbar_g, where the chain starts."""
        return list(1.0 / self.mean_weight)

    def factors(self, sigmas):
        """Each observation's error as a factor on its 1/weight: sigma_g * wbar_g
        of its group (1 for one with weight 0).

        Parameters
        ----------
        sigmas : array_like
            (sets, groups).

        Returns
        -------
        numpy.ndarray
            (sets, observations).
        """
        s = np.atleast_2d(np.asarray(sigmas, float)) * self.mean_weight
        f = np.ones((len(s), len(self.member)))
        used = self.member >= 0
        f[:, used] = s[:, self.member[used]]
        return f

    def log_likelihood(self, r, sigmas):
        """The log-likelihood of weighted residuals under the groups' sigmas:
        sum over observations of -(r_j / f_j)^2 / 2 - ln f_j, f_j =
        sigma_g wbar_g (constants left out; f = 1 gives the fixed model's
        -SSR/2).

        Parameters
        ----------
        r : array_like or None
            The weighted residuals w_j (model - observed) of one run; None for a
            failed run.
        sigmas : array_like
            The groups' sigmas.

        Returns
        -------
        float
            NaN for a failed run.
        """
        if r is None:
            return np.nan
        f = self.factors(sigmas)[0]
        used = self.member >= 0
        z = np.asarray(r, float)[used] / f[used]
        return float(-0.5 * (z @ z) - np.log(f[used]).sum())


def site_errors(outputs, sd):
    """Each site's error for the predictive band: the mean standard deviation
    of its observations (weight > 0) and whether they are on the log10 scale.

    Parameters
    ----------
    outputs : Outputs
        The samples' outputs (sites, and the site of each observation).
    sd : array_like
        (samples, observations): each observation's error standard deviation
        on its scale, per sample.

    Returns
    -------
    sd_site : numpy.ndarray
        (samples, sites); 0 at a site without a weighted observation.
    log : numpy.ndarray
        (sites,) bool.
    """
    sd = np.atleast_2d(np.asarray(sd, float))
    used = np.asarray(outputs.weighted.scale) > 0
    site_of = np.asarray(outputs.site_of)
    n_sites = len(outputs.x)
    sd_site = np.zeros((len(sd), n_sites))
    log = np.zeros(n_sites, bool)
    for k in range(n_sites):
        here = used & (site_of == k)
        if here.any():
            sd_site[:, k] = sd[:, here].mean(axis=1)
            log[k] = bool(np.asarray(outputs.weighted.log10)[here].mean() >= 0.5)
    return sd_site, log


def predictive_band(cube, weights, sd_site, log, seed, draws=20):
    """The 5/50/95 % band of the model plus the observation error.

    Each sample with weight > 0 gets `draws` errors at every site and time
    (seeded): multiplied in as 10^(sd z) where the site is compared on the
    log10 scale, added as sd z elsewhere.

    Parameters
    ----------
    cube : array_like
        (samples, sites, times): the simulated series.
    weights : array_like
        One weight per sample.
    sd_site : array_like
        (samples, sites): the error's standard deviation on the site's scale.
    log : array_like
        (sites,): the site's error is log-normal.
    seed : int
        The seed of the errors.
    draws : int, optional
        The errors drawn per sample.

    Returns
    -------
    numpy.ndarray
        (sites, 3, times).
    """
    from .uncertainty import weighted_quantiles
    cube = np.asarray(cube, float)
    weights = np.asarray(weights, float)
    keep = weights > 0
    S, sd = cube[keep], np.asarray(sd_site, float)[keep]
    w = np.repeat(weights[keep] / draws, draws)
    rng = np.random.default_rng(seed)
    out = []
    for k in range(cube.shape[1]):
        z = rng.standard_normal((len(S), draws, cube.shape[2])) * sd[:, k, None, None]
        noisy = S[:, None, k, :] * 10.0 ** z if log[k] else S[:, None, k, :] + z
        out.append(weighted_quantiles(noisy.reshape(len(S) * draws, -1), w))
    return np.stack(out)
