"""The TOML configuration of quarno-fit and quarno-sample: one schema of
sections and keys (type, default, bounds) and one reader of it, whose every
error is one line naming the file, the key and what is wrong. Everything is
checked here, before any cluster or run starts."""

import math
import os
import re
import tomllib
from pathlib import Path

from . import forcing
from .contract import BICOND_FILE, OBS_COLUMNS, PARAM_FILE, PROFILE_COLUMNS
from .declared import Declared, check_site_units
from .deck import Deck
from .errors import FitError
from .observations import check_transforms, read_observation_file
from .parameters import check_distinct, read_parameter
from .run import default_program
from .uncertainty import MOVES

REQUIRED = object()  # the default of a key that must be given
LARGEST = 1_000_000  # the largest count a configuration may ask for
TRANSFORMS = ("none", "log10")
# The state a fit can match: the columns the program writes both at the
# observation sites and along the reach, other than when and where.
VARIABLES = tuple(c for c in OBS_COLUMNS if c in PROFILE_COLUMNS and c not in ("time_s", "x_m"))
METHODS = ("sobol", "morris", "glue", "mcmc")
LIKELIHOODS = ("nse", "gaussian")
# A Dask scheduler's address: PROTOCOL://HOST:PORT, the port 1 to 65535.
SCHEDULER = re.compile(r"^(tcp|tls)://[^\s/]+:([0-9]{1,5})$")


class Key:
    """One key of the schema.

    Parameters
    ----------
    kind : {"string", "strings", "bool", "number", "integer", "choice", "transform", "address"}
        The type of its value.
    default : object, optional
        Its value when absent; REQUIRED when it must be given.
    low, high : float, optional
        Bounds of a number or an integer (None: none).
    open_low, open_high : bool, optional
        Whether a number's bound is excluded.
    choices : tuple of str, optional
        The values of a choice.
    """

    def __init__(self, kind, default=REQUIRED, low=None, high=None, open_low=False,
                 open_high=False, choices=()):
        self.kind, self.default, self.choices = kind, default, choices
        self.low, self.high, self.open_low, self.open_high = low, high, open_low, open_high


def _unit(open_low=False, open_high=True, default=REQUIRED):
    return Key("number", default, 0.0, 1.0, open_low, open_high)


SCHEMA = {
    "model": {"deck": Key("string"), "program": Key("string", None),
              "options": Key("strings", ()), "steady_flow": Key("bool", False),
              "replay_flow": Key("bool", True)},
    "observations": {"file": Key("string"), "variable": Key("choice", "C", choices=VARIABLES),
                     "transform": Key("transform", {None: "none"}),
                     "weight": Key("number", None, 0.0, open_low=True),
                     "unit": Key("string", None)},
    "fit": {"jacobian_step": _unit(True, True, 1e-2),
            "workers": Key("integer", None, 1, 4096),
            "launcher": Key("choice", "local", choices=("local", "parallel", "dask")),
            "parallel_args": Key("strings", ()), "scheduler": Key("address", None),
            "max_nfev": Key("integer", 0, 0, LARGEST), "normalise_groups": Key("bool", False),
            "ftol": _unit(default=None), "xtol": _unit(default=None),
            "gtol": _unit(default=None),
            "keep_runs": Key("choice", "needed", choices=("needed", "all"))},
    "parameter": {"name": Key("string"), "x_from": Key("number", None),
                  "x_to": Key("number", None), "initial": Key("number", None),
                  "lower": Key("number"), "upper": Key("number"), "log": Key("bool", False),
                  "label": Key("string", "")},
    "sample": {"method": Key("choice", choices=METHODS), "n": Key("integer", REQUIRED, 1, LARGEST),
               "seed": Key("integer", 0, 0, 2**63 - 1), "n_boot": Key("integer", 500, 1, LARGEST),
               "conf": _unit(True, True, 0.95), "levels": Key("integer", 4, 2, 1000),
               "design": Key("choice", "lhs", choices=("lhs", "sobol")),
               "likelihood": Key("choice", "nse", choices=LIKELIHOODS),
               "threshold": Key("number", None), "walkers": Key("integer", None, 2, 10_000),
               "burn": Key("integer", None, 0, LARGEST), "workers": Key("integer", None, 1, 4096),
               "launcher": Key("choice", "dask", choices=("dask", "local", "parallel")),
               "parallel_args": Key("strings", ()), "scheduler": Key("address", None),
               # sobol: independent scrambled replicates behind the intervals;
               # second-order indices; the quantities with indices at every
               # record time
               "replicates": Key("integer", 10, 2, 1000), "second_order": Key("bool", False),
               "time_indices": Key("strings", ()),
               # mcmc: the error model (its noise level estimated, or fixed by
               # the weights) and how far a chain may run on until converged
               "noise": Key("choice", "estimate", choices=("estimate", "fixed")),
               "max_steps": Key("integer", None, 1, LARGEST),
               # mcmc: emcee's proposal
               "move": Key("choice", "de", choices=MOVES)},
}
_HINTS = {"method": f" ({', '.join(METHODS)})",
          "n": " (base samples, trajectories, samples or steps, by method)"}


def read_toml(path):
    """The TOML file `path` as a dict.

    Parameters
    ----------
    path : str or Path

    Returns
    -------
    dict

    Raises
    ------
    FitError
        When the file cannot be read or is not TOML.
    """
    try:
        with open(path, "rb") as f:
            return tomllib.load(f)
    except OSError as e:
        raise FitError(f"{path}: cannot read the configuration ({e.strerror})") from None
    except tomllib.TOMLDecodeError as e:
        raise FitError(f"{path}: not valid TOML ({e})") from None
    except UnicodeDecodeError as e:
        raise FitError(f"{path}: not UTF-8 text (byte {e.start})") from None


def read_table(table, schema, where):
    """The values of a TOML table by its schema.

    Parameters
    ----------
    table : dict
        The table as read.
    schema : dict
        Key name -> Key.
    where : str
        The file and section, for the messages.

    Returns
    -------
    dict
        Every key of the schema: its checked value or its default.

    Raises
    ------
    FitError
        An unknown or missing key, a value of the wrong type (booleans are
        not numbers; infinities and NaN are refused) or out of its bounds.
    """
    if not isinstance(table, dict):
        raise FitError(f"{where}: not a table")
    extra = sorted(set(table) - set(schema))
    if extra:
        raise FitError(f"{where}: unknown key '{extra[0]}' (known: {', '.join(sorted(schema))})")
    out = {}
    for name, key in schema.items():
        if name not in table:
            if key.default is REQUIRED:
                raise FitError(f"{where}: missing key '{name}'{_HINTS.get(name, '')}")
            out[name] = key.default
        else:
            out[name] = _value(table[name], name, key, where)
    return out


def _value(v, name, key, where):
    kind = key.kind
    if kind == "string" and not (isinstance(v, str) and v):
        raise FitError(f"{where}: '{name}' must be a non-empty string (found {v!r})")
    if kind == "strings" and not (isinstance(v, list) and all(isinstance(a, str) for a in v)):
        raise FitError(f"{where}: '{name}' must be a list of strings")
    if kind == "address":
        check_address(v, f"{where}: '{name}'")
    if kind == "bool" and not isinstance(v, bool):
        raise FitError(f"{where}: '{name}' must be true or false")
    if kind == "choice" and v not in key.choices:
        raise FitError(f"{where}: '{name}' must be one of {', '.join(key.choices)} "
                       f"(found {v!r})")
    if kind == "transform":
        table = v if isinstance(v, dict) else {None: v}
        for group, t in table.items():
            if not isinstance(t, str) or t not in TRANSFORMS:
                raise FitError(f"{where}: transform{'' if group is None else f' of {group!r}'} "
                               f"must be one of {', '.join(TRANSFORMS)} (found {t!r})")
        return table
    if kind == "integer":
        if isinstance(v, bool) or not isinstance(v, int) or (key.low is not None and v < key.low):
            raise FitError(f"{where}: '{name}' must be an integer of at least {key.low} "
                           f"(found {v!r})")
        if key.high is not None and v > key.high:
            raise FitError(f"{where}: '{name}' must be an integer of at most {key.high} "
                           f"(found {v!r})")
    if kind == "number":
        if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
            raise FitError(f"{where}: '{name}' must be a number (found {v!r})")
        v = float(v)
        low = key.low is None or (v > key.low if key.open_low else v >= key.low)
        high = key.high is None or (v < key.high if key.open_high else v <= key.high)
        if not (low and high):
            lo = "" if key.low is None else f"{'(' if key.open_low else '['}{key.low:g}"
            hi = "" if key.high is None else f"{key.high:g}{')' if key.open_high else ']'}"
            within = f"in {lo}, {hi}" if lo and hi else (
                f"{'above' if key.open_low else 'at least'} {key.low:g}" if lo else
                f"{'below' if key.open_high else 'at most'} {key.high:g}")
            raise FitError(f"{where}: '{name}' must be a number {within} (found {v:g})")
    return v


def check_address(value, what):
    """A Dask scheduler's address, PROTOCOL://HOST:PORT (tcp or tls, the port
    1 to 65535), checked before any cluster is reached.

    Parameters
    ----------
    value : object
        The address given.
    what : str
        What gave it, for the message (a key of a file, an option).

    Returns
    -------
    str
        The address.

    Raises
    ------
    FitError
        One line naming `what` when it is no such address.
    """
    match = SCHEDULER.match(value) if isinstance(value, str) else None
    if not match or not 1 <= int(match.group(2)) <= 65535:
        raise FitError(f"{what} must be a scheduler's address, tcp://HOST:PORT with a port "
                       f"from 1 to 65535 (found {value!r})")
    return value


def check_scheduler(table, where):
    """The `scheduler` of a table read by its schema: given only with
    launcher = "dask"; FitError otherwise."""
    if table["scheduler"] is not None and table["launcher"] != "dask":
        raise FitError(f"{where}: 'scheduler' needs launcher = \"dask\" (found launcher = "
                       f"{table['launcher']!r})")
    return table["scheduler"]


class Config:
    """A fit configuration read from TOML; paths relative to its folder.

    Parameters
    ----------
    path : str or Path
        The TOML file.
    out : str or Path, optional
        The output folder (default: `default_out` beside the file).
    default_out : str, optional
        The output folder's name beside the file.
    sample : bool, optional
        Read and check the [sample] section too (quarno-sample); quarno-fit
        leaves it to the sampler.

    Raises
    ------
    FitError
        Anything wrong in the file, the deck it names or its observations,
        in one line.
    """

    def __init__(self, path, out=None, default_out="fit", sample=False):
        path = Path(path)
        data = read_toml(path)
        base = path.resolve().parent
        self.path, self.data = path, data
        where = str(path)
        extra = sorted(set(data) - set(SCHEMA))
        if extra:
            raise FitError(f"{where}: unknown key '{extra[0]}' (known: "
                           f"{', '.join(sorted(SCHEMA))})")
        for section in ("model", "observations") + (("sample",) if sample else ()):
            if not isinstance(data.get(section), dict):
                hint = " (method, n, seed)" if section == "sample" else ""
                raise FitError(f"{where}: missing section [{section}]{hint}")
        if not isinstance(data.get("fit", {}), dict):
            raise FitError(f"{where}: [fit] must be a table")
        model = read_table(data["model"], SCHEMA["model"], f"{where} [model]")
        obs = read_table(data["observations"], SCHEMA["observations"],
                         f"{where} [observations]")
        fit = read_table(data.get("fit", {}), SCHEMA["fit"], f"{where} [fit]")
        plist = data.get("parameter")
        if not isinstance(plist, list) or not plist:
            raise FitError(f"{where}: no [[parameter]] to fit")
        ptables = [read_table(p, SCHEMA["parameter"], f"{where} [[parameter]] {k}")
                   for k, p in enumerate(plist, 1)]
        self.sample = (read_table(data["sample"], SCHEMA["sample"], f"{where} [sample]")
                       if sample else None)

        self.deck = base / model["deck"]
        for name in (PARAM_FILE, BICOND_FILE):
            if not (self.deck / name).is_file():
                raise FitError(f"{where} [model]: the deck folder {self.deck} has no {name}")
        self.program_given = model["program"] is not None
        self.program = str(base / model["program"]) if self.program_given else default_program()
        if not os.path.isfile(self.program):
            raise FitError(f"{where} [model]: the program {self.program} does not exist")
        self.options = list(model["options"])
        self.steady_flow, self.replay_flow = model["steady_flow"], model["replay_flow"]

        self.obs_file = base / obs["file"]
        self.variable, self.transform = obs["variable"], obs["transform"]
        self.jacobian_step = fit["jacobian_step"]
        self.workers = fit["workers"] or os.cpu_count() or 1
        self.launcher, self.parallel_args = fit["launcher"], list(fit["parallel_args"])
        self.scheduler = check_scheduler(fit, f"{where} [fit]")
        self.max_nfev = fit["max_nfev"] or None
        self.normalise_groups, self.keep_runs = fit["normalise_groups"], fit["keep_runs"]
        # Tolerances for least_squares, passed only when given.
        self.tolerances = {k: fit[k] for k in ("ftol", "xtol", "gtol") if fit[k] is not None}
        self.out = Path(out) if out else base / default_out

        deck = Deck.read(self.deck / PARAM_FILE)
        self.deck_text = deck.text
        # The forcing file beside the deck, (bytes, sources) or None: every
        # run gets it, with the strengths of the parameters set.
        self.forcing = forcing.read(str(self.deck), deck.length)
        self.parameters = [read_parameter(p, f"{where} [[parameter]] {k}", path, deck,
                                          self.forcing) for k, p in enumerate(ptables, 1)]
        check_distinct(self.parameters, where)
        # The run's start date and the deck's unit; the observations' dates
        # and units follow them.
        self.declared = Declared(self.forcing[1] if self.forcing else None, self.deck,
                                 self.options, where)
        self.observations = read_observation_file(self.obs_file,
                                                  start_date=self.declared.start_date)
        check_site_units(self.observations, deck.length, self.obs_file)
        for o in self.observations:
            o["group"] = o["group"] or f"x={o['x_m']:g}"
            if obs["weight"] is not None:  # one weight (1/sigma) for every observation
                o["weight"] = obs["weight"]
        check_transforms(self.observations, self.transform, self.obs_file, where)
        self.declared.convert_observations(self.observations, obs["unit"], self.variable, where)


class SampleConfig:
    """quarno-sample's configuration: the fit's, with its [sample] section.

    Parameters
    ----------
    path : str or Path
        The TOML file.
    out : str or Path, optional
        The output folder (default: sample/ beside the file).

    Attributes
    ----------
    fit : Config
        The model, observations and parameters (their bounds and log
        switches give the prior ranges).
    method, n, seed, n_boot, conf, levels, design, likelihood, threshold,
    walkers, burn, workers, launcher, parallel_args, scheduler
        The [sample] section's values, defaults filled in.
    """

    def __init__(self, path, out=None):
        self.fit = Config(path, out, default_out="sample", sample=True)
        s = dict(self.fit.sample)
        where = f"{path} [sample]"
        if s["levels"] % 2:
            raise FitError(f"{where}: 'levels' must be even (found {s['levels']})")
        if s["threshold"] is None:
            s["threshold"] = 0.5 if s["likelihood"] == "nse" else 10.0
        least = 2 * len(self.fit.parameters) + 2
        if s["walkers"] is None:
            s["walkers"] = max(8, least)
        elif s["walkers"] < least:
            raise FitError(f"{where}: 'walkers' must be an integer of at least {least} "
                           f"(found {s['walkers']})")
        if s["burn"] is None:
            s["burn"] = s["n"] // 2
        if s["method"] == "mcmc" and s["burn"] >= s["n"]:
            raise FitError(f"{where}: 'burn' ({s['burn']}) must be less than n ({s['n']}), the "
                           "steps of the chain")
        s["workers"] = s["workers"] or os.cpu_count() or 1
        check_scheduler(s, where)
        self.__dict__.update(s)
        self.out = self.fit.out

    @property
    def bounds(self):
        """(lower, upper, log) of each parameter."""
        return [(p.lower, p.upper, p.log) for p in self.fit.parameters]

    @property
    def labels(self):
        """The parameters' labels."""
        return [p.label for p in self.fit.parameters]
