"""Measured values and the model's values at them: one reader of the
observation files (of quarno-fit, quarno-sample and quarno-plot), the
matcher of their positions and times to the model's sites and record, and
the weighted residuals the fit and the sampler minimise or weigh."""

import csv
import datetime
import math

from .dates import utc_date
from .errors import FitError, RunFailure, warn

COLUMNS = ("x_m", "time_s", "value", "weight", "group")
KNOWN = COLUMNS + ("datetime",)  # a header may name datetime instead of time_s
LAYOUT = "x_m,time_s,value[,weight][,group]"
NEEDS_START = ("the run's start date (the deck's [deck] start_date in crforcing.toml, or "
               "--start-date)")
SITE_TOLERANCE = 0.5  # m: how far an observation may lie from a model site


def read_observation_file(path, error=FitError, start_date=None):
    """Read an observation file.

    Parameters
    ----------
    path : str or Path
        A CSV file of rows x_m,time_s,value[,weight][,group]. Blank lines and
        lines starting with '#' are skipped; a UTF-8 byte order mark is
        allowed; an optional first line names the columns (any order, each
        at most once; x_m, value and exactly one of time_s and datetime
        required). A datetime is ISO 8601, with or without its offset
        (without: taken as UTC, with one QuarnoWarning naming the file).
    error : type, optional
        The `QuarnoError` raised for anything unreadable (FitError by
        default; the plots pass PlotError). Its message names the file and
        the line.
    start_date : datetime.datetime or pandas.Timestamp, optional
        The date of model time 0 (naive: UTC), which a datetime column
        needs to give its rows' time_s; without it such a file is an error.

    Returns
    -------
    list of dict
        One dict per row: x_m, time_s (seconds since model time 0), value,
        weight (1 when not given; finite and not negative), group (the text
        given, else "") and line (its line number in the file); and datetime
        (a UTC datetime.datetime) when the file gives it.
    """
    try:
        with open(path, newline="", encoding="utf-8-sig") as f:
            text = f.read()
    except OSError as e:
        raise error(f"{path}: cannot read the observations ({e.strerror})") from None
    except UnicodeDecodeError as e:
        line = e.object[:e.start].count(b"\n") + 1
        raise error(f"{path}, line {line}: not UTF-8 text") from None
    lines = [(n, line) for n, line in enumerate(text.splitlines(), 1)
             if line.strip() and not line.lstrip().startswith("#")]
    names = list(COLUMNS)
    if lines and _is_header(lines[0][1]):
        names = _header(path, *lines[0], error)
        lines = lines[1:]
    rows = [_row(path, n, line, names, error) for n, line in lines]
    if not rows:
        raise error(f"{path}: no observations")
    if "datetime" in names:
        _date_rows(path, rows, start_date, error)
    return rows


def _date_rows(path, rows, start_date, error):
    """Reads the datetime text of each row and gives it its time_s since
    `start_date`; one warning when any of them has no offset."""
    if start_date is None:
        raise error(f"{path}: the observations give datetime, which needs {NEEDS_START}")
    start = utc_date(start_date)
    naive = 0
    for r in rows:
        text = r["datetime"]
        try:
            if not text.isascii():
                raise ValueError
            date = datetime.datetime.fromisoformat(text)
        except ValueError:
            raise error(f"{path}, line {r['line']}: datetime {text!r} is not an ISO 8601 date "
                        "and time (such as 2024-06-01T08:30:00Z)") from None
        naive += date.tzinfo is None
        r["datetime"] = utc_date(date)
        if r["datetime"] is None:
            raise error(f"{path}, line {r['line']}: datetime {text!r} lies outside the years "
                        "1 to 9999 in UTC")
        r["time_s"] = (r["datetime"] - start).total_seconds()
    if naive:
        warn(f"{path}: {naive} datetime{'s' if naive > 1 else ''} without an offset, taken "
             "as UTC", stacklevel=4)


def _is_header(line):
    first = next(csv.reader([line]), [""])
    try:
        float(first[0] if first else "")
    except ValueError:
        return True
    return False


def _header(path, n, line, error):
    names = [c.strip() for c in next(csv.reader([line]))]
    unknown = [c for c in names if c not in KNOWN]
    if unknown or len(set(names)) < len(names):
        what = f"unknown column '{unknown[0]}'" if unknown else "a repeated column"
        raise error(f"{path}, line {n}: the header has {what} (known: {', '.join(KNOWN)})")
    missing = sorted({"x_m", "value"} - set(names))
    if "time_s" not in names and "datetime" not in names:
        missing.insert(1, "time_s (or datetime)")
    if missing:
        raise error(f"{path}, line {n}: the header lacks {', '.join(missing)}")
    if "time_s" in names and "datetime" in names:
        raise error(f"{path}, line {n}: the header names both time_s and datetime; give one")
    return names


def _row(path, n, line, names, error):
    fields = [v.strip() for v in next(csv.reader([line]))]
    if len(fields) > len(names):
        raise error(f"{path}, line {n}: {len(fields)} values for the {len(names)} "
                    f"columns {','.join(names)}")
    rec = dict(zip(names, fields))
    try:
        # float() takes digits of any script; only ASCII numbers are read.
        if not all(rec.get(k, "").isascii() for k in ("x_m", "time_s", "value", "weight")):
            raise ValueError
        dated = "datetime" in rec
        x, v = float(rec["x_m"]), float(rec["value"])
        t = 0.0 if dated else float(rec["time_s"])
        w = float(rec["weight"]) if rec.get("weight") else 1.0
    except (KeyError, ValueError):
        layout = ",".join(names) if "datetime" in names else LAYOUT
        raise error(f"{path}, line {n}: expected {layout}, found {line.strip()!r}") from None
    if not all(math.isfinite(a) for a in (x, t, v, w)) or w < 0:
        raise error(f"{path}, line {n}: values must be finite and the weight not negative")
    if not math.isfinite((w * v) * (w * v)):
        raise error(f"{path}, line {n}: the weighted value {w * v:g} is too large (its "
                    "square, a term of the sum of squares, overflows)")
    row = {"x_m": x, "time_s": t, "value": v, "weight": w, "group": rec.get("group") or "",
           "line": n}
    if dated:
        row["datetime"] = rec["datetime"]
    return row


def check_transforms(observations, transform, path, where):
    """Mark each observation with its transform.

    Parameters
    ----------
    observations : list of dict
        As read by `read_observation_file`, with their groups set.
    transform : dict
        Group name (None: every group) -> "none" or "log10".
    path, where : str
        The observation file and the configuration, for the messages.

    Raises
    ------
    FitError
        A group named in `transform` that no observation has, or a log10
        observation that is not positive.
    """
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


def nearest_site(sites, x):
    """The site of `sites` ({site: x}) nearest to x within SITE_TOLERANCE,
    or None."""
    best = min(sites, key=lambda s: abs(sites[s] - x), default=None)
    if best is None or abs(sites[best] - x) > SITE_TOLERANCE:
        return None
    return best


class Matcher:
    """The model's values at the observations.

    For each observation, the model site within SITE_TOLERANCE and the time
    interpolation in its record; built from one run's rows.

    Parameters
    ----------
    observations : list of dict
        As read by `read_observation_file`.
    model_rows : list of dict
        A run's observation record (site, x_m, time_s and the variable).
    variable : str
        The column compared.
    obs_file : str, optional
        The observation file, for the messages.

    Raises
    ------
    FitError
        An observation with no site near it, or outside the record's times.
    """

    SITE_TOLERANCE = SITE_TOLERANCE

    def __init__(self, observations, model_rows, variable, obs_file="observations"):
        self.variable = variable
        sites = {}
        for r in model_rows:
            sites.setdefault(r["site"], r["x_m"])
        self.sites = sites
        self.index = [nearest_site(sites, o["x_m"]) for o in observations]
        unmatched = [o for o, s in zip(observations, self.index) if s is None]
        if unmatched:
            xs = sorted({o["x_m"] for o in unmatched})
            raise FitError(f"{obs_file}: no model observation position within 0.5 m of "
                           f"x = {', '.join(f'{x:g}' for x in xs)} m (the deck's positions: "
                           f"{', '.join(f'{x:g}' for x in sites.values())} m)")
        self.observations = observations
        self.obs_file = obs_file
        self.check_times(model_rows)

    def series(self, model_rows):
        """The variable's record at each observation site.

        Parameters
        ----------
        model_rows : list of dict
            The rows of a run's observation records.

        Returns
        -------
        dict
            {site: (times, values)}.
        """
        out = {}
        for r in model_rows:
            out.setdefault(r["site"], ([], []))
            out[r["site"]][0].append(r["time_s"])
            out[r["site"]][1].append(r[self.variable])
        return out

    def check_times(self, model_rows):
        """Check that the record covers every observation's time.

        Parameters
        ----------
        model_rows : list of dict
            The rows of a run's observation records.

        Raises
        ------
        FitError
            For observations outside the record's times.
        """
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
        """The modelled values at the observations.

        Parameters
        ----------
        model_rows : list of dict
            The rows of a run's observation records.

        Returns
        -------
        numpy.ndarray
            One value per observation, interpolated in time.

        Raises
        ------
        RunFailure
            When the record does not reach an observation's time.
        """
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


class Residuals:
    """The weighted residuals of modelled values at the observations.

    Parameters
    ----------
    observations : list of dict
        As read by `read_observation_file`, transforms marked.
    normalise_groups : bool
        Divide each weight by the square root of its group's size.

    Attributes
    ----------
    scale : ndarray
        The weight of each observation.
    observed, target : ndarray
        The observed values, and the same on the log10 scale where an
        observation is transformed.
    """

    def __init__(self, observations, normalise_groups=False):
        import numpy as np
        self.np = np
        self.observations = observations
        w = np.array([o["weight"] for o in observations])
        if normalise_groups:
            counts = {}
            for o in observations:
                counts[o["group"]] = counts.get(o["group"], 0) + 1
            w = w / np.sqrt([counts[o["group"]] for o in observations])
        self.scale = w
        self.observed = np.array([o["value"] for o in observations])
        # Observations compared on a log10 scale, and the floor below which a
        # modelled value counts as that floor there (a thousandth of the
        # smallest such observation: a model still at zero is far off, not
        # a failed run).
        self.log10 = np.array([o.get("transform") == "log10" for o in observations])
        self.floor = 1e-3 * float(self.observed[self.log10].min()) if self.log10.any() else 0.0
        self.target = np.where(self.log10, np.log10(np.where(self.log10, self.observed, 1.0)),
                               self.observed)

    def at(self, model):
        """The weighted residuals of the modelled values `model`, on the
        log10 scale where an observation is transformed."""
        if not self.log10.any():
            return self.scale * (model - self.observed)
        np = self.np
        scaled = np.where(self.log10, np.log10(np.maximum(model, self.floor)), model)
        return self.scale * (scaled - self.target)

    def nash_sutcliffe(self, r):
        """The Nash-Sutcliffe efficiency of the weighted residuals `r`:
        1 - SSE / the weighted targets' sum of squares about their mean (NaN
        when the targets do not vary)."""
        t = self.scale * self.target
        spread = float(((t - t.mean()) ** 2).sum())
        return 1.0 - float(r @ r) / spread if spread > 0 else math.nan
