"""The boundary and initial-condition file crbicond.txt read the way the
program reads it, keeping where each count and each block of rows stands so
that a block can be rewritten and every other character kept."""

from .contract import BICOND_FILE
from .steps import StepReader, line_body, replace_keeping_columns, split_lines

# The tables of crbicond.txt in file order: count name, columns of a row.
# NInCT is present only when transport is on; XObs only when Nobs > 0.
BICOND_TABLES = (
    ("NInCW", ("X", "h", "Q")),
    ("NInCT", ("X", "C", "Cb")),
    ("NTInt", ("TBC", "hBC", "QBC", "CBC")),
    ("NTout", ("TOut",)),
    ("Nobs", ("XObs",)),
)

# The fewest rows each table may have, as the program reads them.
LOWEST_ROWS = {"NInCW": 2, "NInCT": 2, "NTInt": 1, "NTout": 1, "Nobs": 0}

# Heading written before a list of observation positions that the file did
# not have (Nobs was 0).
SITES_HEADING = "X (m) of the observation positions"


class Block:
    """One table of the file.

    Parameters
    ----------
    count : quarno.steps.Token
        The token of the table's row count.
    first, end : int
        The lines [first, end) its rows take.
    columns : tuple of str
        The columns of a row.
    tokens : list of quarno.steps.Token
        The tokens of its values, row by row.

    Attributes
    ----------
    values : dict
        {column: [values]}.
    """

    def __init__(self, count, first, end, columns, tokens):
        self.count, self.first, self.end = count, first, end
        self.columns = columns
        n = len(columns)
        self.values = {c: [t.value for t in tokens[k::n]] for k, c in enumerate(columns)}


class Bicond:
    """The tables of a crbicond.txt, read as the program reads them.

    Parameters
    ----------
    text : str
        The file's text.
    ntr : int
        The deck's NTr (the initial concentration table is read when it is 1).
    name : str, optional
        The file's name, for messages.

    Attributes
    ----------
    blocks : dict
        {count name: Block}, in file order.

    Raises
    ------
    DeckError
        When the text cannot be read as the program reads it.
    """

    def __init__(self, text, ntr, name=BICOND_FILE):
        self.name, self.text, self.ntr = name, text, ntr
        self.lines = split_lines(text)
        r = StepReader(name, self.lines)
        self.blocks = {}
        for table, cols in BICOND_TABLES:
            if table == "NInCT" and ntr <= 0:
                continue
            r.skip()
            count_line = r.next
            count, n = r.count(table, len(cols), LOWEST_ROWS[table], 3 if table == "NTInt" else 1)
            if table == "Nobs" and n == 0:
                # No heading and no list: a new list goes after the count.
                self.blocks[table] = Block(count, count_line + 1, count_line + 1, cols, [])
                break
            r.skip()
            first = r.next
            rows = r.values(n * len(cols), f"the rows of {table}")
            self.blocks[table] = Block(count, first, r.next, cols, rows)

    def table_of(self, column):
        """The count name of the table holding `column`, or None."""
        for table, cols in BICOND_TABLES:
            if column in cols and table in self.blocks:
                return table
        return None

    def replaced(self, table, rows, fmt):
        """The file's text with the rows of a table replaced.

        A list of observation positions that the file did not have gets a heading
        line; an emptied one loses its heading.

        Parameters
        ----------
        table : str
            The table's count name.
        rows : list of list of float
            The new rows, one line each; the count is set to their number.
        fmt : callable
            Writes a number as the file holds it.

        Returns
        -------
        str
        """
        block = self.blocks[table]
        lines = list(self.lines)
        count = block.count
        body = line_body(lines[count.line])
        ending = lines[count.line][len(body):] or "\n"
        text = str(len(rows))
        if count.copies > 1:  # r*v: the count is the first of r values
            text = " ".join([text] + [count.text.split("*", 1)[1]] * (count.copies - 1))
        lines[count.line] = replace_keeping_columns(body, count.start, count.end, text) + ending
        new = ["  " + "  ".join(fmt(v) for v in row) + ending for row in rows]
        first, end = block.first, block.end
        if table == "Nobs":
            if first == end and rows:
                new.insert(0, SITES_HEADING + ending)
            elif not rows:
                first -= 1  # the heading of the list goes with it
        if end > first and not lines[end - 1].endswith("\n") and new:
            new[-1] = line_body(new[-1])  # the file ended without a line end
        lines[first:end] = new
        return "".join(lines)
