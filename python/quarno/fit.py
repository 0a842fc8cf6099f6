"""Fitting Quarno's reach parameters to measured concentrations.

The tool edits copies of a deck (values of the segment tables of crparam.txt,
reach by reach), runs the program once per parameter set in a folder of its
own (cached by the content of the deck, the options and the program), reads
the modelled series at the sampling sites and lets
scipy.optimize.least_squares (trust-region reflective, with bounds) minimise
the weighted differences. The Jacobian is taken by forward differences, all
its runs at once, on a local pool of workers or through GNU parallel.

    quarno-fit CONFIG.toml [--out FOLDER]

The command is quarno.cli.fit_main; see docs/calibration.md for the
configuration and the files written.
"""

import csv
import fcntl
import math
import os
import subprocess
import time
import tomllib
import warnings
from pathlib import Path

from . import forcing
from .cache import Runner
from .deck import FITTABLE, FLOW_COLUMNS, FLOW_OPTIONS, X_TOLERANCE, Deck
from .errors import FitError, RunFailure
from .results import read_obs_csv
from .service import FLOW_RECORD_HEAD, FlowRecord, default_program, file_hash
from .stats import covariance, exp_or_inf, format_sites, site_statistics

# ----------------------------------------------------------------------------
# Configuration


class Parameter:
    def __init__(self, name, x_from, x_to, initial, lower, upper, log, label):
        self.name, self.x_from, self.x_to = name, x_from, x_to
        self.initial, self.lower, self.upper, self.log = initial, lower, upper, log
        self.label = label

    def to_theta(self, value):
        return math.log(value) if self.log else value

    def from_theta(self, theta):
        return math.exp(theta) if self.log else theta


_MODEL_KEYS = {"deck", "program", "options", "steady_flow", "replay_flow"}
_OBS_KEYS = {"file", "variable", "transform", "weight"}
_FIT_KEYS = {"jacobian_step", "workers", "launcher", "parallel_args", "max_nfev",
             "normalise_groups", "ftol", "xtol", "gtol"}
_TRANSFORMS = ("none", "log10")
_PARAM_KEYS = {"name", "x_from", "x_to", "initial", "lower", "upper", "log", "label"}
_VARIABLES = ("h_m", "u_m_per_s", "Q_m3_per_s", "C", "Cb", "Cs")


def _number(table, key, where, default=None):
    if key not in table:
        if default is None:
            raise FitError(f"{where}: missing key '{key}'")
        return default
    v = table[key]
    if isinstance(v, bool) or not isinstance(v, (int, float)) or not math.isfinite(v):
        raise FitError(f"{where}: '{key}' must be a number (found {v!r})")
    return float(v)


def _string(table, key, where, default=None):
    if key not in table:
        if default is None:
            raise FitError(f"{where}: missing key '{key}'")
        return default
    v = table[key]
    if not isinstance(v, str) or not v:
        raise FitError(f"{where}: '{key}' must be a non-empty string (found {v!r})")
    return v


def _transforms(obs, where):
    """The transform of the observations: one name for all, or a table of
    group name -> name (groups not named are not transformed)."""
    t = obs.get("transform", "none")
    table = t if isinstance(t, dict) else {None: t}
    for group, name in table.items():
        if name not in _TRANSFORMS:
            raise FitError(f"{where}: transform{'' if group is None else f' of {group!r}'} "
                           f"must be one of {', '.join(_TRANSFORMS)} (found {name!r})")
    return table


def _unknown(table, allowed, where):
    extra = sorted(set(table) - allowed)
    if extra:
        raise FitError(f"{where}: unknown key '{extra[0]}' (known: {', '.join(sorted(allowed))})")


class Config:
    """A fit configuration read from TOML; paths relative to its folder."""

    def __init__(self, path, out=None, default_out="fit"):
        path = Path(path)
        try:
            with open(path, "rb") as f:
                data = tomllib.load(f)
        except OSError as e:
            raise FitError(f"{path}: cannot read the configuration ({e.strerror})") from None
        except tomllib.TOMLDecodeError as e:
            raise FitError(f"{path}: not valid TOML ({e})") from None
        except UnicodeDecodeError as e:
            raise FitError(f"{path}: not UTF-8 text (byte {e.start})") from None
        base = path.resolve().parent
        self.path = path
        where = str(path)
        # [sample] belongs to quarno-sample, which reads the same file.
        _unknown(data, {"model", "observations", "fit", "parameter", "sample"}, where)
        self.data = data
        for section in ("model", "observations"):
            if not isinstance(data.get(section), dict):
                raise FitError(f"{where}: missing section [{section}]")
        model, obs, fit = data["model"], data["observations"], data.get("fit", {})
        if not isinstance(fit, dict):
            raise FitError(f"{where}: [fit] must be a table")
        _unknown(model, _MODEL_KEYS, f"{where} [model]")
        _unknown(obs, _OBS_KEYS, f"{where} [observations]")
        _unknown(fit, _FIT_KEYS, f"{where} [fit]")

        self.deck = base / _string(model, "deck", f"{where} [model]")
        for name in ("crparam.txt", "crbicond.txt"):
            if not (self.deck / name).is_file():
                raise FitError(f"{where} [model]: the deck folder {self.deck} has no {name}")
        self.program = (str(base / _string(model, "program", f"{where} [model]"))
                        if "program" in model else default_program())
        if not os.path.isfile(self.program):
            raise FitError(f"{where} [model]: the program {self.program} does not exist")
        self.options = model.get("options", [])
        if not isinstance(self.options, list) or not all(isinstance(o, str) for o in self.options):
            raise FitError(f"{where} [model]: 'options' must be a list of strings")
        self.steady_flow = model.get("steady_flow", False)
        if not isinstance(self.steady_flow, bool):
            raise FitError(f"{where} [model]: 'steady_flow' must be true or false")
        self.replay_flow = model.get("replay_flow", True)
        if not isinstance(self.replay_flow, bool):
            raise FitError(f"{where} [model]: 'replay_flow' must be true or false")

        self.obs_file = base / _string(obs, "file", f"{where} [observations]")
        self.variable = _string(obs, "variable", f"{where} [observations]", "C")
        self.transform = _transforms(obs, f"{where} [observations]")
        if self.variable not in _VARIABLES:
            raise FitError(f"{where} [observations]: variable '{self.variable}' is not one of "
                           f"{', '.join(_VARIABLES)}")

        self.jacobian_step = _number(fit, "jacobian_step", f"{where} [fit]", 1e-2)
        if not 0 < self.jacobian_step < 1:
            raise FitError(f"{where} [fit]: jacobian_step must lie between 0 and 1")
        self.workers = int(_number(fit, "workers", f"{where} [fit]", float(os.cpu_count() or 1)))
        if self.workers < 1:
            raise FitError(f"{where} [fit]: workers must be at least 1")
        self.launcher = _string(fit, "launcher", f"{where} [fit]", "local")
        if self.launcher not in ("local", "parallel"):
            raise FitError(f"{where} [fit]: launcher must be \"local\" or \"parallel\"")
        self.parallel_args = fit.get("parallel_args", [])
        if not isinstance(self.parallel_args, list) or not all(
                isinstance(a, str) for a in self.parallel_args):
            raise FitError(f"{where} [fit]: 'parallel_args' must be a list of strings")
        self.max_nfev = int(_number(fit, "max_nfev", f"{where} [fit]", 0.0)) or None
        self.normalise_groups = fit.get("normalise_groups", False)
        if not isinstance(self.normalise_groups, bool):
            raise FitError(f"{where} [fit]: 'normalise_groups' must be true or false")
        # Tolerances for least_squares, passed only when given.
        self.tolerances = {}
        for key in ("ftol", "xtol", "gtol"):
            if key in fit:
                self.tolerances[key] = _number(fit, key, f"{where} [fit]")
                if not 0 <= self.tolerances[key] < 1:
                    raise FitError(f"{where} [fit]: {key} must lie in [0, 1)")

        self.out = Path(out) if out else base / default_out

        deck = Deck.read(self.deck / "crparam.txt")
        self.deck_text = deck.text
        # The forcing file beside the deck, (bytes, sources) or None: every
        # run gets it, with the strengths of the parameters set.
        self.forcing = forcing.read(str(self.deck), deck.length)
        plist = data.get("parameter")
        if not isinstance(plist, list) or not plist:
            raise FitError(f"{where}: no [[parameter]] to fit")
        self.parameters = []
        for k, p in enumerate(plist, 1):
            pw = f"{where} [[parameter]] {k}"
            if not isinstance(p, dict):
                raise FitError(f"{pw}: not a table")
            _unknown(p, _PARAM_KEYS, pw)
            name = _string(p, "name", pw)
            if forcing.strength_source(name) is not None:
                x_from = x_to = None
                label, pw, current = self.strength_parameter(p, name, pw)
            elif name in forcing.RATE_COLUMNS:
                x_from, x_to, label, pw, current = self.rate_parameter(p, name, pw, deck)
            else:
                x_from, x_to, label, pw, current = self.reach_parameter(p, name, pw, deck)
            lower = _number(p, "lower", pw)
            upper = _number(p, "upper", pw)
            initial = _number(p, "initial", pw, current)
            log = p.get("log", False)
            if not isinstance(log, bool):
                raise FitError(f"{pw}: 'log' must be true or false")
            if not lower < upper:
                raise FitError(f"{pw}: lower ({lower:g}) must be less than upper ({upper:g})")
            if not lower <= initial <= upper:
                raise FitError(f"{pw}: the initial value {initial:g} lies outside the bounds "
                               f"[{lower:g}, {upper:g}]")
            if x_from is None and lower < 0:
                raise FitError(f"{pw}: a strength is not negative: lower must be >= 0 "
                               f"(found {lower:g})")
            if log and lower <= 0:
                raise FitError(f"{pw}: a log parameter needs a positive lower bound "
                               f"(found {lower:g})")
            if name in forcing.RATE_COLUMNS:
                for bound in (lower, upper):
                    try:
                        with warnings.catch_warnings():
                            warnings.simplefilter("ignore")
                            forcing.check_rate_value(name, bound, pw)
                    except forcing.DeckError as e:
                        raise FitError(f"{e} (a bound of the parameter)") from None
            self.parameters.append(Parameter(name, x_from, x_to, initial, lower, upper, log, label))
        labels = [p.label for p in self.parameters]
        dup = {lab for lab in labels if labels.count(lab) > 1}
        if dup:
            raise FitError(f"{where}: two parameters share the label '{sorted(dup)[0]}'")
        for i, a in enumerate(self.parameters):
            for b in self.parameters[i + 1:]:
                if a.name == b.name and a.x_from is None:
                    raise FitError(f"{where}: parameters '{a.label}' and '{b.label}' both set "
                                   f"{a.name}")
                if a.name == b.name and a.x_from < b.x_to and b.x_from < a.x_to:
                    raise FitError(f"{where}: parameters '{a.label}' and '{b.label}' overlap "
                                   "(same name, overlapping reaches)")
        self.observations = read_observation_file(self.obs_file)
        if "weight" in obs:  # one weight (1/sigma) for every observation
            weight = _number(obs, "weight", f"{where} [observations]")
            if not weight > 0:
                raise FitError(f"{where} [observations]: 'weight' must be positive")
            for o in self.observations:
                o["weight"] = weight
        check_transforms(self.observations, self.transform, self.obs_file, where)

    def _reach(self, p, name, pw):
        """(x_from, x_to, label, where) of a parameter set over a reach."""
        x_from = _number(p, "x_from", pw)
        x_to = _number(p, "x_to", pw)
        label = str(p.get("label", "")) or f"{name} {x_from:g}-{x_to:g}"
        pw = f"{self.path} parameter '{label}'"
        if not x_from < x_to:
            raise FitError(f"{pw}: x_from ({x_from:g}) must be less than x_to ({x_to:g})")
        return x_from, x_to, label, pw

    def reach_parameter(self, p, name, pw, deck):
        """(x_from, x_to, label, where, deck value) of a parameter that sets
        a column of crparam.txt over a reach."""
        if name not in FITTABLE:
            raise FitError(f"{pw}: unknown parameter name '{name}' (known: "
                           f"{', '.join((*FITTABLE, *forcing.RATE_COLUMNS))}, "
                           "source.NAME.strength)")
        x_from, x_to, label, pw = self._reach(p, name, pw)
        if FITTABLE[name] not in deck.tables:
            raise FitError(f"{pw}: the deck has no transport table (NTr = 0)")
        rows = deck.rows_in(name, x_from, x_to)
        if not rows:
            raise FitError(f"{pw}: no row of the {FITTABLE[name]} table lies in the reach "
                           f"{x_from:g} <= X < {x_to:g}")
        if rows == [len(deck.tables[FITTABLE[name]]["x"]) - 1]:
            raise FitError(f"{pw}: the reach {x_from:g} <= X < {x_to:g} holds only the last "
                           f"row of the {FITTABLE[name]} table, which closes the table and "
                           "which no node takes its value from")
        return x_from, x_to, label, pw, deck.value(name, rows[0])

    def rate_parameter(self, p, name, pw, deck):
        """(x_from, x_to, label, where, current value) of a parameter that
        sets a column of the forcing file's rate table over a reach. The
        environment must hold the quantity the column follows, else the
        column would change nothing."""
        x_from, x_to, label, pw = self._reach(p, name, pw)
        if not x_from < deck.length - X_TOLERANCE:
            raise FitError(f"{pw}: the reach {x_from:g} <= X < {x_to:g} starts at or beyond "
                           f"the reach's end ({deck.length:g} m)")
        contents = self.forcing[1] if self.forcing else None
        env = contents.environment if contents else None
        needs = forcing.RATE_FOLLOWS[name]
        if env is None or needs not in env.values:
            raise FitError(f"{pw}: {name} follows {needs}, which the deck's "
                           f"{forcing.FORCING_FILE} does not give in its [environment]: the "
                           "parameter would change nothing")
        rates = contents.rates or forcing.Rates([0.0], {})
        row = max(k for k, x in enumerate(rates.x) if x <= max(x_from, 0.0) + X_TOLERANCE)
        return x_from, x_to, label, pw, rates.column(name)[row]

    def strength_parameter(self, p, name, pw):
        """(label, where, current value) of a parameter `source.NAME.strength`,
        the factor on a source's concentration or load: it has no reach."""
        source = forcing.strength_source(name)
        for key in ("x_from", "x_to"):
            if key in p:
                raise FitError(f"{pw}: {name} has no reach: leave out '{key}'")
        sources = {s.name: s for s in (self.forcing[1].sources if self.forcing else [])}
        if source not in sources:
            known = ", ".join(repr(n) for n in sources) or "none"
            raise FitError(f"{pw}: the deck has no source named {source!r} (its "
                           f"{forcing.FORCING_FILE} names: {known})")
        label = str(p.get("label", "")) or name
        return label, f"{self.path} parameter '{label}'", sources[source].strength


def check_transforms(observations, transform, path, where):
    """Marks each observation with its transform; a group named in the
    configuration must exist, and a log10 observation must be positive."""
    groups = {o["group"] for o in observations}
    missing = sorted(g for g in transform if g is not None and g not in groups)
    if missing:
        raise FitError(f"{where} [observations]: transform names the group '{missing[0]}', "
                       f"which no observation has (groups: {', '.join(sorted(groups))})")
    for o in observations:
        o["transform"] = transform.get(None, transform.get(o["group"], "none"))
        if o["transform"] == "log10" and not o["value"] > 0:
            raise FitError(f"{path}, line {o['line']}: transform log10 needs a positive value "
                           f"(found {o['value']:g})")


_OBS_COLUMNS = ("x_m", "time_s", "value", "weight", "group")


def read_observation_file(path):
    """Rows x_m,time_s,value[,weight][,group] of a long CSV; '#' lines and
    blank lines skipped; an optional header line names the columns."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            text = f.read()
    except OSError as e:
        raise FitError(f"{path}: cannot read the observations ({e.strerror})") from None
    except UnicodeDecodeError as e:
        line = e.object[:e.start].count(b"\n") + 1
        raise FitError(f"{path}, line {line}: not UTF-8 text") from None
    lines = [(n, line) for n, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    names = list(_OBS_COLUMNS)
    if lines:
        first = next(csv.reader([lines[0][1]]))
        try:
            float(first[0])
        except ValueError:
            names = [c.strip() for c in first]
            unknown = [c for c in names if c not in _OBS_COLUMNS]
            if unknown or len(set(names)) < len(names):
                what = f"unknown column '{unknown[0]}'" if unknown else "a repeated column"
                raise FitError(f"{path}, line {lines[0][0]}: the header has {what} (known: "
                               f"{', '.join(_OBS_COLUMNS)})")
            missing = {"x_m", "time_s", "value"} - set(names)
            if missing:
                raise FitError(f"{path}, line {lines[0][0]}: the header lacks "
                               f"{', '.join(sorted(missing))}")
            lines = lines[1:]
    rows = []
    for n, line in lines:
        fields = [v.strip() for v in next(csv.reader([line]))]
        if len(fields) > len(names):
            raise FitError(f"{path}, line {n}: {len(fields)} values for the {len(names)} "
                           f"columns {','.join(names)}")
        rec = dict(zip(names, fields))
        try:
            x, t, v = float(rec["x_m"]), float(rec["time_s"]), float(rec["value"])
            w = float(rec["weight"]) if rec.get("weight") else 1.0
        except (KeyError, ValueError):
            raise FitError(f"{path}, line {n}: expected x_m,time_s,value[,weight][,group], "
                           f"found {line.strip()!r}") from None
        if not all(math.isfinite(a) for a in (x, t, v, w)) or w < 0:
            raise FitError(f"{path}, line {n}: values must be finite and the weight not negative")
        if not math.isfinite((w * v) * (w * v)):
            raise FitError(f"{path}, line {n}: the weighted value {w * v:g} is too large (its "
                           "square, a term of the sum of squares, overflows)")
        rows.append({"x_m": x, "time_s": t, "value": v, "weight": w,
                     "group": rec.get("group") or f"x={x:g}", "line": n})
    if not rows:
        raise FitError(f"{path}: no observations")
    return rows


# ----------------------------------------------------------------------------
# Model values at the observations


class Matcher:
    """For each observation, the model site (within 0.5 m) and the time
    interpolation; built from the first run's record."""

    SITE_TOLERANCE = 0.5

    def __init__(self, observations, model_rows, variable, obs_file="observations"):
        self.variable = variable
        sites = {}
        for r in model_rows:
            sites.setdefault(r["site"], r["x_m"])
        self.sites = sites
        self.index = []
        unmatched = []
        for o in observations:
            best = min(sites, key=lambda s: abs(sites[s] - o["x_m"]), default=None)
            if best is None or abs(sites[best] - o["x_m"]) > self.SITE_TOLERANCE:
                unmatched.append(o)
            self.index.append(best)
        if unmatched:
            xs = sorted({o["x_m"] for o in unmatched})
            raise FitError(f"{obs_file}: no model observation position within 0.5 m of "
                           f"x = {', '.join(f'{x:g}' for x in xs)} m (the deck's positions: "
                           f"{', '.join(f'{x:g}' for x in sites.values())} m)")
        self.observations = observations
        self.obs_file = obs_file
        self.check_times(model_rows)

    def series(self, model_rows):
        out = {}
        for r in model_rows:
            out.setdefault(r["site"], ([], []))
            out[r["site"]][0].append(r["time_s"])
            out[r["site"]][1].append(r[self.variable])
        return out

    def check_times(self, model_rows):
        series = self.series(model_rows)
        outside = [o for o, s in zip(self.observations, self.index)
                   if not series[s][0][0] <= o["time_s"] <= series[s][0][-1]]
        if outside:
            shown = ", ".join(f"line {o['line']} (t = {o['time_s']:g} s)" for o in outside[:5])
            more = f" and {len(outside) - 5} more" if len(outside) > 5 else ""
            t0 = min(v[0][0] for v in series.values())
            t1 = max(v[0][-1] for v in series.values())
            raise FitError(f"{self.obs_file}: observations outside the model's record "
                           f"({t0:g} to {t1:g} s): {shown}{more}")

    def values(self, model_rows):
        import numpy as np
        series = self.series(model_rows)
        out = np.empty(len(self.observations))
        for k, (o, s) in enumerate(zip(self.observations, self.index)):
            t, v = series[s]
            if not t[0] <= o["time_s"] <= t[-1]:
                raise RunFailure(f"the model's record at x = {self.sites[s]:g} m does not reach "
                                 f"t = {o['time_s']:g} s")
            out[k] = np.interp(o["time_s"], t, v)
        return out


# ----------------------------------------------------------------------------
# The fit


class Fit:
    # What holds the output folder, for the message of a second one.
    kind = "fit"

    def __init__(self, cfg, log=print):
        import numpy as np
        self.np = np
        self.cfg = cfg
        self.log = log
        self.out = cfg.out
        self.deck = Deck(cfg.deck_text)
        self.bicond = (cfg.deck / "crbicond.txt").read_bytes()
        self.params = cfg.parameters
        self.runner = Runner(cfg.program, cfg.options, cfg.workers, cfg.launcher,
                             cfg.parallel_args, log)
        self.run_options = []
        self.flow_extra = ""
        self.record = None       # the flow record replayed by every run, if any
        self.mismatched = set()  # folders of runs that found it not matching their deck
        self.memo = {}           # tuple(theta) -> (run, residuals or None)
        self.warnings = []
        self.obs = cfg.observations
        w = np.array([o["weight"] for o in self.obs])
        if cfg.normalise_groups:
            counts = {}
            for o in self.obs:
                counts[o["group"]] = counts.get(o["group"], 0) + 1
            w = w / np.sqrt([counts[o["group"]] for o in self.obs])
        self.scale = w
        self.observed = np.array([o["value"] for o in self.obs])
        # Observations compared on a log10 scale, and the floor below which a
        # modelled value counts as that floor there (a thousandth of the
        # smallest such observation: a model still at zero is far off, not
        # a failed run).
        self.log10 = np.array([o.get("transform") == "log10" for o in self.obs])
        self.floor = 1e-3 * float(self.observed[self.log10].min()) if self.log10.any() else 0.0
        self.target = np.where(self.log10, np.log10(np.where(self.log10, self.observed, 1.0)),
                               self.observed)
        self.matcher = None
        self.penalty = None
        self.evaluations = 0

    # -- decks and runs

    def values_of(self, theta):
        return [p.from_theta(t) for p, t in zip(self.params, theta)]

    def deck_text(self, values):
        """crparam.txt with the values of the parameters that set its columns."""
        columns, _, _ = forcing.split_edits([(p.name, p.x_from, p.x_to, v)
                                             for p, v in zip(self.params, values)])
        return self.deck.edited(columns)

    def run_files(self, values):
        """The forcing file (with the strengths and rates of the parameters
        set) and its series files, {relative path: bytes}; {} without a
        forcing file."""
        _, strengths, rates = forcing.split_edits([(p.name, p.x_from, p.x_to, v)
                                                   for p, v in zip(self.params, values)])
        return forcing.run_files(self.cfg.forcing, strengths, rates)

    def prepare(self, theta, folder=None):
        values = self.values_of(theta)
        text, files = self.deck_text(values), self.run_files(values)
        key = self.runner.key(text, self.bicond, self.run_options, self.flow_extra, files)
        return self.runner.prepare(folder or self.out / "runs" / key, text, self.bicond, key,
                                   files)

    def start_flow(self):
        """With steady_flow: the flow brought to its steady state once, in
        OUT/flow/, and every later run reusing it. Otherwise the unsteady flow
        recorded once and replayed (start_replay)."""
        if not self.cfg.steady_flow:
            self.start_replay()
            return
        fitted_flow = [p.label for p in self.params if p.name in FLOW_COLUMNS]
        if fitted_flow:
            self.warn(f"steady_flow with flow parameters fitted ({', '.join(fitted_flow)}): the "
                      "saved flow state matches only the starting deck, so runs that change "
                      "them recompute their own steady flow")
        initial = [p.initial for p in self.params]
        text, files = self.deck_text(initial), self.run_files(initial)
        key = self.runner.key(text, self.bicond, ["--steady-flow"], files=files)
        run = self.runner.prepare(self.out / "flow", text, self.bicond, key, files)
        self.runner.execute([run], ["--steady-flow"])
        if not run.ok:
            if run.status == 1 and "not expected" in run.stderr:
                raise RunFailure(f"{self.cfg.program} does not know --steady-flow yet "
                                 f"({run.stderr.splitlines()[0] if run.stderr else ''}); "
                                 "set steady_flow = false in [model]")
            raise RunFailure(f"the steady-flow run in {run.folder} failed (exit {run.status}): "
                             f"{run.stderr}")
        state = self.out / "flow" / "crSteadyFlow.csv"
        if not state.is_file():
            raise RunFailure(f"the steady-flow run wrote no {state}")
        self.run_options = ["--flow-state", str(state.resolve())]
        self.flow_extra = file_hash(state)
        self.log(f"steady flow: {state}{' (from the cache)' if run.cached else ''}")

    def start_replay(self):
        """The flow of the starting deck recorded once in OUT/flow/ and replayed
        by every later run, when no fitted parameter can change it. The record's
        key goes into every run's cache key, so that runs replayed from another
        flow are never reused."""
        why = self.why_no_record()
        if why:
            self.log(f"flow record: none, {why}")
            return
        folder = self.out / "flow"
        folder.mkdir(parents=True, exist_ok=True)
        record = FlowRecord(folder.resolve() / "flow.qflow")
        options = record.save_options()
        initial = [p.initial for p in self.params]
        text, files = self.deck_text(initial), self.run_files(initial)
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
        """Why the flow is not recorded, or None when it is."""
        if not self.cfg.replay_flow:
            return "replay_flow = false"
        given = [o for o in self.cfg.options if o.split("=", 1)[0] in FLOW_OPTIONS]
        if given:
            return f"the options already choose the flow ({given[0]})"
        fitted = [p.label for p in self.params if p.name in FLOW_COLUMNS]
        if fitted:
            return (f"the flow depends on the fitted {', '.join(fitted)}: every run solves "
                    "its own")
        try:
            usage = subprocess.run([self.cfg.program, "--help"], stdin=subprocess.DEVNULL,
                                   capture_output=True, text=True, errors="replace").stdout
        except OSError:
            usage = ""
        if "--replay-flow" not in usage:
            return f"{self.cfg.program} does not offer --replay-flow: every run solves its flow"
        return None

    def note_mismatches(self, runs):
        """Runs that found the flow record not matching their deck (they say so
        in one note and solve their own flow): counted, the first one logged."""
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

    def warn(self, text):
        self.warnings.append(text)
        self.log(f"warning: {text}")

    def residuals_of(self, run):
        rows = read_obs_csv(run.obs_csv)
        if self.matcher is None:
            self.matcher = Matcher(self.obs, rows, self.cfg.variable, str(self.cfg.obs_file))
        model = self.matcher.values(rows)
        return self.residuals_at(model), model

    def residuals_at(self, model):
        """The weighted residuals of modelled values at the observations, on
        the log10 scale where an observation is transformed."""
        if not self.log10.any():
            return self.scale * (model - self.observed)
        np = self.np
        scaled = np.where(self.log10, np.log10(np.maximum(model, self.floor)), model)
        return self.scale * (scaled - self.target)

    def evaluate(self, thetas):
        """Residual vectors at the given points, their runs launched together.
        A failed run gives None."""
        out = [None] * len(thetas)
        runs = {}
        for k, th in enumerate(thetas):
            key = tuple(float(t) for t in th)
            if key in self.memo:
                out[k] = self.memo[key]
            else:
                runs[k] = self.prepare(th)
        self.runner.execute(list(runs.values()), self.run_options)
        self.note_mismatches(runs.values())
        for k, run in runs.items():
            res = None
            if run.ok:
                try:
                    res = self.residuals_of(run)[0]
                except RunFailure as e:
                    run.status, run.stderr = -1, str(e)
                    self.runner.failed.append((str(run.folder), -1, str(e)))
            if res is not None and not self.np.all(self.np.isfinite(res)):
                res = None
            out[k] = (run, res)
            self.memo[tuple(float(t) for t in thetas[k])] = out[k]
        return out

    def cost_line(self, what, theta, res):
        vals = ", ".join(f"{p.label}={v:.6g}" for p, v in zip(self.params, self.values_of(theta)))
        cost = "failed" if res is None else f"{0.5 * float(res @ res):.6g}"
        self.log(f"{what}: cost {cost}  [{vals}]  runs {self.runner.made} made, "
                 f"{self.runner.from_cache} cached")

    def fun(self, theta):
        self.evaluations += 1
        ((run, res),) = self.evaluate([theta])
        self.cost_line(f"evaluation {self.evaluations}", theta, res)
        if res is None:
            return self.np.full(len(self.obs), self.penalty)
        return res

    def steps(self, theta):
        lb, ub = self.bounds()
        hs = []
        for j, t in enumerate(theta):
            h = self.cfg.jacobian_step * max(1.0, abs(t))
            if t + h > ub[j] and t - h >= lb[j]:
                h = -h  # a backward step where the forward one leaves the bounds
            hs.append(h)
        return hs

    def jac(self, theta):
        np = self.np
        ((_, f0),) = self.evaluate([theta])
        if f0 is None:
            f0 = np.full(len(self.obs), self.penalty)
        hs = self.steps(theta)
        points = []
        for j, h in enumerate(hs):
            p = np.array(theta, dtype=float)
            p[j] += h
            points.append(p)
        results = self.evaluate(points)
        J = np.zeros((len(self.obs), len(theta)))
        retry = []
        for j, (run, res) in enumerate(results):
            if res is None:
                retry.append(j)
            else:
                J[:, j] = (res - f0) / hs[j]
        if retry:  # the other side of the point, where the first step failed
            back = []
            for j in retry:
                p = np.array(theta, dtype=float)
                p[j] -= hs[j]
                back.append(p)
            for j, (run, res) in zip(retry, self.evaluate(back)):
                if res is None:
                    self.warn(f"{self.params[j].label}: the runs on both sides of "
                              f"{self.values_of(theta)[j]:.6g} failed; its Jacobian column is "
                              "set to zero for this iteration")
                else:
                    J[:, j] = (f0 - res) / hs[j]
        self.log(f"jacobian: {len(theta)} columns, cost {0.5 * float(f0 @ f0):.6g}, runs "
                 f"{self.runner.made} made, {self.runner.from_cache} cached")
        self.last_jac = (tuple(float(t) for t in theta), J)
        return J

    def bounds(self):
        lb = [p.to_theta(p.lower) for p in self.params]
        ub = [p.to_theta(p.upper) for p in self.params]
        return lb, ub

    # -- the whole fit

    def lock_out(self):
        """Creates the output folder and holds an advisory lock on it for the
        fit's duration (released when the process ends): a second fit into
        the same folder is refused instead of mixing its runs and results."""
        try:
            self.out.mkdir(parents=True, exist_ok=True)
            fd = os.open(self.out, os.O_RDONLY | os.O_DIRECTORY)
        except OSError as e:
            raise FitError(f"{self.out}: cannot use it as the output folder "
                           f"({e.strerror})") from None
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            raise FitError(f"{self.out}: another {self.kind} is using this output "
                           "folder") from None
        self.lock_fd = fd

    def unlock_out(self):
        fd, self.lock_fd = getattr(self, "lock_fd", None), None
        if fd is not None:
            os.close(fd)

    def run(self):
        """The fit, holding the output folder; its least_squares result."""
        self.lock_out()
        try:
            return self.fit()
        finally:
            self.unlock_out()

    def fit(self):
        from scipy.optimize import least_squares
        np = self.np
        t_start = time.monotonic()
        self.start_flow()
        theta0 = np.array([p.to_theta(p.initial) for p in self.params])
        ((run0, res0),) = self.evaluate([theta0])
        if run0.status != 0:
            raise RunFailure(f"the model failed at the starting values (exit {run0.status}, "
                             f"{run0.folder}): {run0.stderr}")
        if res0 is None:
            raise RunFailure(f"the model's values at the starting point are not finite "
                             f"({run0.folder})")
        self.cost_line("start", theta0, res0)
        # A failed run counts as residuals far beyond anything the data allow.
        self.penalty = 1e3 * (float(np.max(np.abs(res0))) + float(np.max(
            np.abs(self.scale * self.target))) + 1.0)
        lb, ub = self.bounds()
        result = least_squares(self.fun, theta0, jac=lambda th: self.jac(th),
                               bounds=(lb, ub), method="trf", x_scale="jac",
                               max_nfev=self.cfg.max_nfev, **self.cfg.tolerances)
        if result.status == 0:
            self.warn(f"the fit stopped at max_nfev = {self.cfg.max_nfev} residual evaluations "
                      "before any convergence test held: the estimates may not be the optimum")
        theta = result.x
        key = tuple(float(t) for t in theta)
        run, res = self.memo.get(key, (None, None))
        if res is None:
            ((run, res),) = self.evaluate([theta])
        if res is None:
            raise RunFailure(f"the run at the optimum failed: {run.stderr if run else ''}")
        if getattr(self, "last_jac", (None,))[0] == key:
            J = self.last_jac[1]
        else:
            J = self.jac(theta)
        self.result = result
        self.theta, self.J, self.res = theta, J, res
        self.best_run = run
        self.write_outputs(t_start)
        return result

    # -- results

    def statistics(self):
        n, p = self.J.shape
        ssr, s2, se, corr, singular = covariance(self.J, self.res)
        if singular and n > p:
            self.warn("standard errors NaN for "
                      + ", ".join(prm.label for prm, s in zip(self.params, se) if s != s)
                      + ": the data cannot determine them (J^T J singular or nearly so)")
        norms = self.np.linalg.norm(self.J, axis=0)
        if n <= p:
            self.warn(f"{n} observations for {p} parameters: no standard errors")
        # A parameter on a bound, or closer to it than a thousandth of its
        # range in the fitted space (the optimiser stays strictly inside).
        lb, ub = self.bounds()
        active = getattr(getattr(self, "result", None), "active_mask", None)
        for j, prm in enumerate(self.params):
            near = 1e-3 * (ub[j] - lb[j])
            at_lower = (active is not None and active[j] < 0) or self.theta[j] - lb[j] <= near
            at_upper = (active is not None and active[j] > 0) or ub[j] - self.theta[j] <= near
            if at_lower or at_upper:
                side = "lower" if at_lower else "upper"
                self.warn(f"{prm.label} ends at its {side} bound: the data would take it "
                          "further, and its standard error and range do not hold there")
        top = float(norms.max()) if p else 0.0
        for j, prm in enumerate(self.params):
            if top == 0 or norms[j] < 1e-6 * top:
                self.warn(f"{prm.label}: the data cannot determine it (its Jacobian column "
                          f"norm {norms[j]:.3g} is tiny beside the largest, {top:.3g})")
        for i in range(p):
            for j in range(i + 1, p):
                if abs(corr[i, j]) > 0.95:
                    self.warn(f"{self.params[i].label} and {self.params[j].label} are "
                              f"correlated ({corr[i, j]:+.3f}): the data hardly tell them apart")
        return ssr, s2, se, corr

    def flow_summary(self):
        if self.cfg.steady_flow:
            return f"steady, {' '.join(self.run_options) or 'each run its own'}"
        if self.record is None:
            return "solved by every run"
        return (f"replayed from {self.record}; runs that did not match it: "
                f"{len(self.mismatched)}")

    def write_outputs(self, t_start):
        out = self.out
        ssr, s2, se, corr = self.statistics()
        values = self.values_of(self.theta)
        with open(out / "estimates.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["name", "label", "x_from", "x_to", "value", "standard_error", "lower95",
                        "upper95", "initial", "lower_bound", "upper_bound"])
            for p, th, v, s in zip(self.params, self.theta, values, se):
                if p.log:
                    lo, hi, sev = exp_or_inf(th - 1.96 * s), exp_or_inf(th + 1.96 * s), v * s
                else:
                    lo, hi, sev = v - 1.96 * s, v + 1.96 * s, s
                reach = ["", ""] if p.x_from is None else [repr(p.x_from), repr(p.x_to)]
                w.writerow([p.name, p.label, *reach, repr(v), repr(sev),
                            repr(lo), repr(hi), repr(p.initial), repr(p.lower), repr(p.upper)])
        with open(out / "correlation.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow([""] + [p.label for p in self.params])
            for p, row in zip(self.params, corr):
                w.writerow([p.label] + [repr(float(c)) for c in row])

        # The best deck as a folder of its own, run there.
        best = out / "best"
        text, files = self.deck_text(values), self.run_files(values)
        best.mkdir(parents=True, exist_ok=True)
        best_run = self.runner.prepare(best, text, self.bicond,
                                       self.runner.key(text, self.bicond, self.run_options,
                                                       self.flow_extra, files), files)
        self.runner.execute([best_run], self.run_options)
        self.note_mismatches([best_run])
        if not best_run.ok:
            self.warn(f"the best deck failed when run in {best}: {best_run.stderr}")
            rows = read_obs_csv(self.best_run.obs_csv)
        else:
            rows = read_obs_csv(best / "crObsNode.csv")
        model = self.matcher.values(rows)
        series = self.matcher.series(rows)

        with open(out / "fit_series.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["x_m", "time_s", "observed", "modelled", "weight", "group"])
            for o, m in zip(self.obs, model):
                w.writerow([repr(o["x_m"]), repr(o["time_s"]), repr(o["value"]), repr(float(m)),
                            repr(o["weight"]), o["group"]])

        stats = site_statistics(self.obs, model, self.matcher.index, series)
        with open(out / "sites.csv", "w", newline="") as f:
            w = csv.writer(f)
            w.writerow(["group", "n", "rmse", "bias", "observed_peak_time_s", "observed_peak",
                        "modelled_peak_time_s", "modelled_peak"])
            for s in stats:
                w.writerow([s["group"], s["n"]] + [repr(s[k]) for k in (
                    "rmse", "bias", "obs_peak_t", "obs_peak", "mod_peak_t", "mod_peak")])
        table = format_sites(stats)

        r = self.result
        wall = time.monotonic() - t_start
        lines = [
            f"configuration: {self.cfg.path}",
            f"program: {self.cfg.program}",
            f"observations: {len(self.obs)} ({self.cfg.variable}), parameters: {len(self.params)}",
            f"runs made: {self.runner.made}",
            f"runs from the cache: {self.runner.from_cache}",
            f"failed runs: {len(self.runner.failed)}",
            f"flow: {self.flow_summary()}",
            f"iterations: {r.njev} (residual evaluations {r.nfev}, Jacobians {r.njev})",
            f"wall time: {wall:.1f} s",
            f"final cost (half the weighted sum of squares): {0.5 * ssr:.9g}",
            f"residual variance s^2 = SSR/(n-p): {s2:.6g}",
            f"optimiser status {r.status}: {r.message}",
            "",
            "estimates (standard errors from s^2 (J^T J)^-1 at the optimum, in the fitted "
            "space; for log parameters se = value * se(log value) and the 95% range is "
            "exp(log value +- 1.96 se(log value))):",
        ]
        for p, v, s, th in zip(self.params, values, se, self.theta):
            sev = v * s if p.log else s
            lines.append(f"  {p.label:<24} {v:.6g}  +- {sev:.3g}")
        lines += ["", table, "", f"warnings: {len(self.warnings)}"]
        lines += [f"  {wtext}" for wtext in self.warnings]
        if self.runner.failed:
            lines += ["", "failed runs:"]
            for folder, status, msg in self.runner.failed:
                lines.append(f"  {folder} (exit {status}): {msg.splitlines()[0] if msg else ''}")
        (out / "summary.txt").write_text("\n".join(lines) + "\n")
        self.log("")
        for line in lines[3:]:
            self.log(line)
