"""The program's CSV results files as pandas tables: numbers as Python
parses them, the `datetime` column as UTC-aware datetimes."""

import datetime

from .errors import ResultsError
from .results import read_csv_table


def read_csv_frame(path):
    """A CSV results file as a DataFrame with the columns of its head, numbers
    parsed exactly as Python parses them (site and index as integers, empty
    cells as NaN) and `datetime`, when the run was dated, as pandas
    datetimes in UTC; when a date lies outside pandas' years (1677 to 2262),
    as Python datetimes in UTC (years 1 to 9999), the column of dtype object.

    Parameters
    ----------
    path : str or path-like
        A CSV results file.

    Returns
    -------
    pandas.DataFrame

    Raises
    ------
    ResultsError
        A file that cannot be read, or a datetime that is no date.
    """
    head, rows = read_csv_table(path)
    import pandas
    table = pandas.DataFrame(rows, columns=head)
    if "datetime" in table.columns:
        try:
            table["datetime"] = pandas.to_datetime(table["datetime"], utc=True)
        except pandas.errors.OutOfBoundsDatetime:
            table["datetime"] = _python_dates(table["datetime"], path)
        except (ValueError, OverflowError, TypeError) as e:
            raise ResultsError(f"{path}: a datetime pandas cannot read "
                               f"({' '.join(str(e).split())[:80]})") from None
    return table


def _python_dates(column, path):
    """The ISO 8601 texts of a datetime column as Python datetimes in UTC
    (None for an empty cell); ResultsError for one that is no such date."""
    def date(text):
        if not text:
            return None
        try:
            return datetime.datetime.fromisoformat(text).astimezone(datetime.timezone.utc)
        except (ValueError, OverflowError, TypeError):
            raise ResultsError(f"{path}: a datetime that is no date of the years 1 to "
                              f"9999 ({text!r})") from None
    return column.map(date).astype(object)
