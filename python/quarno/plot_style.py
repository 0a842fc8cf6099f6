"""What every plot of a run shares: the units of the concentrations, the
markers of the observation groups, the log axis, the legend beside the axes,
the time axis's label and the figure's title."""

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
