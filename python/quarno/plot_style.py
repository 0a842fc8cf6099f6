"""What every plot of a run shares: the units of the concentrations, the
markers of the observation groups, the log axis, the legend beside the axes,
the time axis (hours or dates) and the figure's title."""

import math
import os

# Units of the concentrations, which the deck does not name: the model works
# in SI, so a concentration in the water is an amount per m³ and one in the
# bed an amount per kg of sediment (the entrainment rate is in kg/(m² s)).
# quarno-plot --conc-unit and --bed-unit name them (CFU/m³, mg/m³, ...).
DEFAULT_UNITS = {"conc": "amount/m³", "bed": "amount/kg"}

# On a log axis, values below this share of the largest are not drawn: a
# breakthrough curve's numerical tail (1e-40 and less) would flatten the rest.
LOG_RANGE = 1e-8

GROUP_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")


def finite(values):
    """The values that are not NaN.

    Parameters
    ----------
    values : iterable of float

    Returns
    -------
    list of float
    """
    return [v for v in values if not math.isnan(v)]


def hours_label(offset_h):
    """The label of a time axis in hours.

    Parameters
    ----------
    offset_h : float
        Hours added to the model time (0: model time).

    Returns
    -------
    str
    """
    return f"Clock time (h, model time + {offset_h:g} h)" if offset_h else "Time (h)"


class TimeAxis:
    """How model times (s) are drawn: as dates when the run has a start date
    and no offset is asked for, else as hours since the start plus the
    offset.

    Parameters
    ----------
    start_date : pandas.Timestamp or None
        The date of model time 0 (UTC).
    offset_h : float, optional
        Hours added to the model time (an axis in hours only).
    """

    def __init__(self, start_date=None, offset_h=0.0):
        self.start_date = start_date if not offset_h else None
        self.offset_h = offset_h

    @property
    def dated(self):
        """Whether the axis shows dates."""
        return self.start_date is not None

    def values(self, seconds):
        """The positions of model times on the axis.

        Parameters
        ----------
        seconds : float or sequence of float

        Returns
        -------
        float, list of float, or numpy datetime64 value(s)
        """
        import numpy as np
        scalar = np.ndim(seconds) == 0
        if self.dated:
            from .dates import datetimes
            dates = datetimes(self.start_date, np.atleast_1d(seconds))
            return dates[0] if scalar else dates
        if scalar:
            return seconds / 3600.0 + self.offset_h
        return [t / 3600.0 + self.offset_h for t in seconds]

    def text(self, seconds):
        """A model time as a legend names it ("2024-06-01 06:00" or "t = 6.00 h")."""
        if self.dated:
            from .dates import date_texts
            return date_texts(self.start_date, [seconds])[0][:16].replace("T", " ")
        return f"t = {seconds / 3600.0 + self.offset_h:.2f} h"

    @property
    def label(self):
        """The axis label."""
        return "Date (UTC)" if self.dated else hours_label(self.offset_h)

    def dress(self, ax):
        """Label the time axis; dates get concise date ticks.

        Parameters
        ----------
        ax : matplotlib.axes.Axes
        """
        if self.dated:
            import matplotlib.dates as mdates
            locator = mdates.AutoDateLocator()
            ax.xaxis.set_major_locator(locator)
            ax.xaxis.set_major_formatter(mdates.ConciseDateFormatter(locator))
        ax.set_xlabel(self.label)


def suptitle(fig, run, what):
    """Title a figure with what it shows and the run's title (or folder name).

    Parameters
    ----------
    fig : matplotlib.figure.Figure
    run : dict
        A run from quarno.plot_data.load_run.
    what : str
        What the figure shows.
    """
    title = run["title"] or os.path.basename(os.path.normpath(run["folder"]))
    fig.suptitle(f"{what}\n{title}", fontsize=10)


def legend_outside(ax, handles, **kw):
    """Draw the legend right of the axes, never over the data.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
    handles : list of matplotlib.artist.Artist
    **kw
        Further arguments of Axes.legend.
    """
    ax.legend(handles=handles, fontsize=8, loc="upper left", bbox_to_anchor=(1.01, 1.0),
              borderaxespad=0.0, **kw)


def log_axis(ax, values):
    """Make the value axis logarithmic, from the largest value down LOG_RANGE of it.

    Parameters
    ----------
    ax : matplotlib.axes.Axes
    values : iterable of float
        The values drawn on the axis; those not positive and finite are ignored.
    """
    positive = [v for v in values if v > 0 and math.isfinite(v)]
    ax.set_yscale("log")
    if positive:
        top = max(positive)
        ax.set_ylim(max(min(positive), top * LOG_RANGE) / 2.0, top * 2.0)
