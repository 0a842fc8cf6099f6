"""Editing the segment tables of crparam.txt over a reach: a value set over
x_from <= X < x_to, a table split where a reach starts or ends, and the
file's text rewritten with every other character kept. Deck takes these
methods from ReachEdits."""

import math

from . import forcing
from .errors import DeckError
from .steps import line_body, replace_keeping_columns, shown
from .tables import FITTABLE, X_TOLERANCE


def column_name(column):
    """`column` when it is a string.

    Raises
    ------
    DeckError
        For anything else (None, a number, a dict).
    """
    if not isinstance(column, str):
        raise DeckError(f"a column is named by a string (found {shown(column)})")
    return column


def reach_bound(x, what):
    """A bound of a reach as a float; infinite ones mean the table's ends.

    Parameters
    ----------
    x : object
        The bound as given.
    what : str
        Which bound, for the message.

    Returns
    -------
    float

    Raises
    ------
    DeckError
        When `x` is not a number, or is NaN.
    """
    if isinstance(x, bool):
        raise DeckError(f"{what}: {shown(x)} is not a number")
    try:
        x = float(x)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"{what}: {shown(x)} is not a number") from None
    if math.isnan(x):
        raise DeckError(f"{what}: {x!r} is not a number")
    return x


def finite_value(column, value):
    """`value` as a finite float, to be written into the file.

    Parameters
    ----------
    column : str
        The column it is for, for the message.
    value : object
        The value as given.

    Returns
    -------
    float

    Raises
    ------
    DeckError
        When it is not a number, or not a finite one.
    """
    if isinstance(value, bool):
        raise DeckError(f"{column}: {shown(value)} is not a number")
    try:
        value = float(value)
    except (TypeError, ValueError, OverflowError):
        raise DeckError(f"{column}: {shown(value)} is not a number") from None
    if not math.isfinite(value):
        raise DeckError(f"{column}: cannot write the value {value!r}")
    return value


def first_token(deck, table, k):
    """The X token of row k of a table, which must be written out as one
    number (DeckError otherwise)."""
    tok = table["x_tokens"][k]
    if tok.text is None or tok.copies != 1:
        raise DeckError(f"{deck.name}, line {tok.line + 1}: the X of row {k + 1} is not written "
                        "out as one number; write it out to split the table there")
    return tok


class ReachEdits:
    """The reach edits of a Deck (its `tables`, `lines`, `text`, `length`)."""

    def set(self, column, value, x_from=-math.inf, x_to=math.inf):
        """Sets `column` to `value` over the reach x_from <= X < x_to.

        Where a bound falls inside a segment of the table, the table is
        first split there (split), so that the value holds over exactly that
        reach; then every row of the reach, by the reach rules of rows_in,
        takes the value. Every other character of the file is kept.

        The columns of the forcing file's rate table (theta_w, theta_b,
        light_alpha, extinction) are set the same way, in the file written
        anew; each row holds to the next one and the last to the reach's
        end, and a deck without the table gets one.

        Parameters
        ----------
        column : str
            A column of FITTABLE or of the rate table.
        value : float
        x_from, x_to : float, optional
            The reach (the whole table by default).

        Returns
        -------
        list of int
            The indices of the rows set.

        Raises
        ------
        DeckError
            For a column that cannot be set, a value that is not a finite
            number or a reach holding no row; the deck is left as it was.
        """
        column = column_name(column)
        x_from, x_to = reach_bound(x_from, "x_from"), reach_bound(x_to, "x_to")
        if column in forcing.RATE_COLUMNS:
            return self._set_rate(column, value, x_from, x_to)
        if column not in FITTABLE:
            raise DeckError(f"{column!r} cannot be set over a reach: the columns that can are "
                            + ", ".join((*FITTABLE, *forcing.RATE_COLUMNS)))
        value = finite_value(column, value)
        before = self.text
        try:
            for x in (x_from, x_to):
                self.split(column, x)
            rows = self.rows_in(column, x_from, x_to)
            if not rows:
                raise DeckError(f"{column}: no row of its table lies in {x_from} <= X < {x_to}")
            self._set_text(self.edited([(column, x_from, x_to, value)]))
        except DeckError:
            self._set_text(before)
            raise
        return rows

    def split(self, column, x):
        """Split the segment of `column`'s table that holds X = x in two.

        The new row at x carries the values of the row the segment starts with, so
        that the nodes keep their values and a reach can start or end at x. Nothing
        is done when a row stands at x (within the program's tolerance) or x lies
        outside the table's first row and the reach's end.

        Parameters
        ----------
        column : str
            A column of the table.
        x : float
            Where to split (m).

        Returns
        -------
        bool
            Whether a row was added.
        """
        table = self.tables.get(FITTABLE.get(column_name(column)))
        x = reach_bound(x, "split")
        if table is None or not math.isfinite(x):
            return False
        xs = table["x"]
        if (x <= xs[0] + X_TOLERANCE or x >= self.length - X_TOLERANCE
                or any(abs(x - r) <= X_TOLERANCE for r in xs)):
            return False
        k = max(i for i in range(len(xs) - 1) if xs[i] < x)  # the segment holding x
        cols = table["columns"]
        first = first_token(self, table, k)
        row = [first] + [toks[k] for toks in cols.values()]
        last = row[-1]
        following = [t for toks in cols.values() for t in toks[k + 1:k + 2]]
        texts = [repr(float(x))] + [t.text if t.text and "*" not in t.text else repr(t.value)
                                    for t in row[1:]]
        lines = list(self.lines)
        line = lines[last.line]
        body = line_body(line)
        one_line = first.line == last.line and not body[:first.start].strip()
        if one_line and not any(t.line == last.line for t in following):
            # The usual layout, a row per line: a copy of the row's line, its
            # X rewritten, after it.
            new = body[:last.end]
            for tok, text in reversed(list(zip(row, texts))):
                new = replace_keeping_columns(new, tok.start, tok.end, text)
            lines.insert(last.line + 1, new + line[len(body):])
        else:  # rows run on: the new one follows the row's last value
            lines[last.line] = body[:last.end] + " " + " ".join(texts) + line[len(body):]
        count = table["count"]
        count_body = line_body(lines[count.line])
        lines[count.line] = (replace_keeping_columns(count_body, count.start, count.end,
                                                     str(len(xs) + 1))
                             + lines[count.line][len(count_body):])
        self._set_text("".join(lines))
        return True

    def rows_in(self, column, x_from, x_to):
        """The table rows of `column` in a reach.

        The last row of a table only closes it (no node takes its value); it goes
        with the reach that ends at or beyond it, so that the deck reads as the
        model uses it.

        Parameters
        ----------
        column : str
            A column of the table.
        x_from, x_to : float
            The reach x_from <= X < x_to (m), with the tolerance of the program's
            mapping.

        Returns
        -------
        list of int
            The rows' indices (0-based).
        """
        table = self.tables.get(FITTABLE[column])
        if table is None:
            return []
        xs = table["x"]
        rows = [k for k, x in enumerate(xs)
                if x >= x_from - X_TOLERANCE and x < x_to - X_TOLERANCE]
        last = len(xs) - 1
        if rows and rows[-1] == last - 1 and x_to >= xs[last] - X_TOLERANCE:
            rows.append(last)
        return rows

    def edited(self, changes):
        """The file's text with new values.

        Every row of each reach gets its value; every other character of the
        file stays as it was, as far as the new numbers' widths allow (blanks
        after a number absorb a longer one and pad a shorter one).

        Parameters
        ----------
        changes : list of tuple
            (column, x_from, x_to, value) each.

        Returns
        -------
        str
        """
        new = {}  # (line, start, end) -> {copy: value}, plus the token
        for column, x_from, x_to, value in changes:
            if not math.isfinite(value):
                raise DeckError(f"{column}: cannot write the value {value!r}")
            rows = self.rows_in(column, x_from, x_to)
            for row in rows:
                tok = self.tables[FITTABLE[column]]["columns"][column][row]
                if tok.text is None:
                    raise DeckError(
                        f"{self.name}, line {tok.line + 1}: {column} of row {row + 1} is not "
                        "written in the file (empty value or after a slash); write it out to fit it")
                if tok.copies == 1 and value == tok.value:
                    continue  # the same number: its text stays as written
                new.setdefault((tok.line, tok.start, tok.end), [tok, {}])[1][tok.copy] = value
        lines = list(self.lines)
        by_line = {}
        for (li, start, end), (tok, copies) in new.items():
            by_line.setdefault(li, []).append((start, end, tok, copies))
        for li, edits in by_line.items():
            line = lines[li]
            body = line_body(line)
            ending = line[len(body):]
            # From the right, so that earlier columns stay valid.
            for start, end, tok, copies in sorted(edits, key=lambda e: -e[0]):
                if tok.copies == 1:
                    text = repr(float(copies[0]))
                else:  # r*v written out value by value
                    v_text = tok.text.split("*", 1)[1]
                    text = " ".join(repr(float(copies[j])) if j in copies else v_text
                                    for j in range(tok.copies))
                body = replace_keeping_columns(body, start, end, text)
            lines[li] = body + ending
        return "".join(lines)
