"""The program's reading of its text input files, step by step: a file is a
sequence of skip steps (one heading line) and value steps (values separated
by blanks, commas and line ends, with repeat factors r*v, empty values and a
closing slash). Each value is kept with where it is written, so that a file
can be rewritten in place with every other character kept."""

import re

from .errors import DeckError

# The program's number syntax: optional sign, digits with an optional decimal
# point, an optional exponent introduced by E or D. Only ASCII digits count.
REAL = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)([EeDd][+-]?\d+)?", re.ASCII)
INTEGER = re.compile(r"[+-]?\d+", re.ASCII)
_DIGITS = re.compile(r"\d+", re.ASCII)

# The range of the program's integers (a count) and of its repeat counts.
INT_RANGE = (-2**31, 2**31 - 1)
_REPEAT_MAX = 2**63 - 1


def shown(value):
    """`value` as a message quotes it: its repr, cut short past 40
    characters, so that a message stays one short line."""
    text = repr(value)
    return text if len(text) <= 40 else f"{text[:30]}... ({len(text)} characters)"


class Token:
    """Where one value of a value step is written.

    Parameters
    ----------
    line : int
        Index (0-based) of the line holding the token.
    start, end : int
        Columns of the token within the line (end excluded).
    text : str or None
        The token as written; None for a value that is not written (an
        empty value between commas, or a target after a slash): the target
        keeps its previous value.
    copy, copies : int
        For a repeat factor r*v, which of the copies read this is, and how
        many are read (r, or fewer when the step ends before them).
    value : float
        The number read (0.0 when not written).
    """

    __slots__ = ("line", "start", "end", "text", "copy", "copies", "value")

    def __init__(self, line, start, end, text, copy=0, copies=1, value=0.0):
        self.line, self.start, self.end, self.text = line, start, end, text
        self.copy, self.copies, self.value = copy, copies, value


def split_lines(text):
    """The lines of `text` with their ends kept, so that joining them gives
    the text back. Only a line feed ends a line (a CR before it belongs to
    the line end), as in the program's reader.

    Parameters
    ----------
    text : str

    Returns
    -------
    list of str
    """
    lines = [line + "\n" for line in text.split("\n")]
    lines[-1] = lines[-1][:-1]
    if not lines[-1]:
        lines.pop()
    return lines


def line_body(line):
    """A line without its end (LF or CRLF).

    Parameters
    ----------
    line : str

    Returns
    -------
    str
    """
    if line.endswith("\n"):
        line = line[:-1]
    if line.endswith("\r"):
        line = line[:-1]
    return line


def parse_real(token, where):
    """The number a token holds in the program's syntax.

    Parameters
    ----------
    token : str
    where : str
        The file and line, for the message.

    Returns
    -------
    float

    Raises
    ------
    DeckError
        When the token is not a number, or one too large for a double.
    """
    if not REAL.fullmatch(token):
        raise DeckError(f"{where}: expected a number, found {shown(token)}")
    value = float(token.replace("D", "e").replace("d", "e"))
    if value in (float("inf"), float("-inf")):
        raise DeckError(f"{where}: expected a number, found {shown(token)}, which is out of range")
    return value


def replace_keeping_columns(line, start, end, text):
    """`line` with line[start:end] replaced by `text`, keeping the columns
    after it where possible: a longer number takes blanks that follow it
    (leaving at least one), a shorter one is padded with blanks unless it
    ends the line.

    Parameters
    ----------
    line : str
        A line without its end.
    start, end : int
        The columns replaced (end excluded).
    text : str

    Returns
    -------
    str
    """
    rest = line[end:]
    grow = len(text) - (end - start)
    if grow > 0:
        blanks = len(rest) - len(rest.lstrip(" "))
        take = min(grow, max(0, blanks - 1))
        if blanks == len(rest):  # only blanks after it
            take = min(grow, blanks)
        rest = rest[take:]
    elif grow < 0 and rest.strip() and rest[:1] == " ":
        rest = " " * (-grow) + rest
    return line[:start] + text + rest


def read_text(path):
    """A deck file's text, every byte kept (latin-1, line ends as written).

    Parameters
    ----------
    path : str or Path
        The file.

    Returns
    -------
    str

    Raises
    ------
    DeckError
        When the file cannot be read or the path is not one.
    """
    try:
        with open(path, encoding="latin-1", newline="") as f:
            return f.read()
    except OSError as e:
        raise DeckError(f"{path}: cannot read ({e.strerror})") from None
    except (TypeError, ValueError) as e:
        raise DeckError(f"{path!r}: not a file name ({e})") from None


class StepReader:
    """The program's read steps over the lines of a file: skip steps and
    value steps (blanks, commas and line ends separate values, r*v repeats,
    an empty value between commas and a slash leave targets unchanged, the
    rest of the line after the last value is discarded).

    Parameters
    ----------
    name : str
        The file's name, for messages.
    lines : list of str
        The file's lines with their ends (split_lines).

    Attributes
    ----------
    next : int
        Index of the line the next step starts at.
    """

    def __init__(self, name, lines):
        self.name = name
        self.lines = lines
        self.next = 0
        # after[k]: the characters of the lines from line k to the end.
        self._after = [0] * (len(lines) + 1)
        for k in range(len(lines) - 1, -1, -1):
            self._after[k] = self._after[k + 1] + len(lines[k])

    def _need_line(self, what):
        if self.next >= len(self.lines):
            raise DeckError(f"{self.name}: expected {what}, found the end of the file")

    def skip(self):
        """A skip step: passes one heading line."""
        self._need_line("a heading line")
        self.next += 1

    def count(self, table, width, lowest, n=1):
        """A count step whose first value is the row count of a table.

        The count is an integer from `lowest` up whose rows fit in the rest of the
        file (every value takes at least one character), checked before any row is
        read.

        Parameters
        ----------
        table : str
            The table counted, for the messages.
        width : int
            The values of each row.
        lowest : int
            The least count allowed.
        n : int, optional
            The values of the step.

        Returns
        -------
        (Token, int)
            The count's token and the count.
        """
        tok = self.values(n, table)[0]
        where = f"{self.name}, line {tok.line + 1}"
        text = None if tok.text is None else tok.text.split("*")[-1]
        if text is None or not INTEGER.fullmatch(text):
            raise DeckError(f"{where}: expected an integer for {table}")
        # Python refuses to convert integers of thousands of digits: a count
        # that long is out of range whatever its digits.
        count = int(text) if len(text.lstrip("+-").lstrip("0")) <= 19 else INT_RANGE[1] + 1
        if not INT_RANGE[0] <= count <= INT_RANGE[1]:
            raise DeckError(f"{where}: expected an integer for {table}, found {text!r}, "
                            "which is out of range")
        if count < lowest:
            raise DeckError(f"{where}: {table} must be at least {lowest} (found {count})")
        left = self._after[self.next]
        if count > left // width:
            each = "each value" if width == 1 else f"each of the {width} values of a row"
            raise DeckError(f"{where}: {table} must be at most {left // width} (found {count}): "
                            f"the rest of the file holds {left} characters, and {each} "
                            "takes at least one")
        return tok, count

    def values(self, n, what):
        """The tokens of a value step.

        Parameters
        ----------
        n : int
            The step's targets.
        what : str
            What the step holds, for the messages.

        Returns
        -------
        list of Token
            One per target, in order.
        """
        self._need_line(what)
        if n <= 0:
            self.next += 1
            return []
        out = []
        li = self.next
        line = line_body(self.lines[li])
        pos = 0
        need_separator = False
        while len(out) < n:
            if pos >= len(line):
                li += 1
                pos = 0
                if li >= len(self.lines):
                    raise DeckError(f"{self.name}: expected {what}, found the end of the file")
                line = line_body(self.lines[li])
                continue
            c = line[pos]
            if c in " \t":
                pos += 1
                continue
            if c == ",":
                if need_separator:
                    need_separator = False
                else:
                    out.append(Token(li, pos, pos, None))
                pos += 1
                continue
            if c == "/":
                break
            end = pos
            while end < len(line) and line[end] not in " \t,/":
                end += 1
            token = line[pos:end]
            where = f"{self.name}, line {li + 1}"
            if "*" in token:
                count, value = token.split("*", 1)
                if (not _DIGITS.fullmatch(count) or len(count.lstrip("0")) > 19
                        or not 1 <= int(count) <= _REPEAT_MAX):
                    raise DeckError(f"{where}: a repeat count must be a positive integer "
                                    f"({shown(token)})")
                # Copies past the step's last target are discarded, as the
                # program does: a token counts the copies that are read.
                used = min(int(count), n - len(out))
                number = parse_real(value, where) if value else 0.0
                for j in range(used):
                    if value:
                        out.append(Token(li, pos, end, token, j, used, number))
                    else:
                        out.append(Token(li, pos, end, None))
            else:
                out.append(Token(li, pos, end, token, 0, 1, parse_real(token, where)))
            pos = end
            need_separator = True
        while len(out) < n:  # after a slash
            out.append(Token(li, pos, pos, None))
        self.next = li + 1
        return out
