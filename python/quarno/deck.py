"""The parameter file crparam.txt read the way the program reads it, keeping
where each value stands so that it can be rewritten in place: the segment
tables by column, and an editor that changes values over a reach and keeps
every other character."""

import math
import os
import re

from .errors import DeckError

# Segment tables of crparam.txt in file order: count name, value columns after
# the position column. The program's column registry lists the same tables
# (a test holds the two equal).
TABLES = (
    ("NWidth", ("Width",)),
    ("NSlope", ("Slope",)),
    ("NRough", ("Rough",)),
    ("NGW", ("GWUpw", "CGW")),
    ("NTrPar", ("aL", "Re", "TauCR", "f", "Vs", "Alfa", "Kdw", "Kds", "TSS", "Hb", "Rb")),
)

# Columns interpolated between rows rather than held over a segment.
LINEAR = ("Width",)

# Columns the flow reads (width, slope, roughness, groundwater inflow); every
# other column enters only the transport, so a flow solved once serves every
# value of them.
FLOW_COLUMNS = ("Width", "Slope", "Rough", "GWUpw")

# Options of the program that choose how the flow is obtained: a configuration
# that passes one itself keeps it, and the fit records no flow of its own.
FLOW_OPTIONS = ("--steady-flow", "--flow-state", "--save-flow", "--replay-flow")

# Columns a fit may change: a reach value of an interpolated column would not
# mean what it says.
FITTABLE = {col: table for table, cols in TABLES for col in cols if col not in LINEAR}

# Nodes within this distance (m) beyond a row's position still belong to the
# segment that ends there; the program maps tables with the same tolerance.
X_TOLERANCE = 1e-4


class _Token:
    """Where one value of a value step was written: line index, start and end
    column of its token, and for a repeat factor r*v which of the r copies it
    is. `text` is None for a value that is not written (an empty value between
    commas, or a target after a slash): the target keeps its previous value."""

    __slots__ = ("line", "start", "end", "text", "copy", "copies", "value")

    def __init__(self, line, start, end, text, copy=0, copies=1, value=0.0):
        self.line, self.start, self.end, self.text = line, start, end, text
        self.copy, self.copies, self.value = copy, copies, value


def _split_lines(text):
    """Lines with their ends kept, so that joining them gives the text back.
    Only a line feed ends a line (a CR before it belongs to the line end), as
    in the program's reader."""
    lines = [line + "\n" for line in text.split("\n")]
    lines[-1] = lines[-1][:-1]
    if not lines[-1]:
        lines.pop()
    return lines


def _body(line):
    """A line without its end (LF or CRLF)."""
    if line.endswith("\n"):
        line = line[:-1]
    if line.endswith("\r"):
        line = line[:-1]
    return line


# The program's number syntax: optional sign, digits with an optional decimal
# point, an optional exponent introduced by E or D.
_REAL = re.compile(r"^[+-]?(\d+\.?\d*|\.\d+)([EeDd][+-]?\d+)?$")
_INTEGER = re.compile(r"^[+-]?\d+$")


def _parse_real(token, where):
    if not _REAL.match(token):
        raise DeckError(f"{where}: expected a number, found {token!r}")
    return float(token.replace("D", "e").replace("d", "e"))


class _StepReader:
    """The program's read steps over the lines of a file: skip steps and
    value steps (blanks, commas and line ends separate values, r*v repeats,
    an empty value between commas and a slash leave targets unchanged, the
    rest of the line after the last value is discarded)."""

    def __init__(self, name, lines):
        self.name = name
        self.lines = lines
        self.next = 0

    def _need_line(self, what):
        if self.next >= len(self.lines):
            raise DeckError(f"{self.name}: expected {what}, found the end of the file")

    def skip(self):
        self._need_line("a heading line")
        self.next += 1

    def values(self, n, what):
        """The tokens of a value step with n targets."""
        self._need_line(what)
        if n <= 0:
            self.next += 1
            return []
        out = []
        li = self.next
        line = _body(self.lines[li])
        pos = 0
        need_separator = False
        while len(out) < n:
            if pos >= len(line):
                li += 1
                pos = 0
                if li >= len(self.lines):
                    raise DeckError(f"{self.name}: expected {what}, found the end of the file")
                line = _body(self.lines[li])
                continue
            c = line[pos]
            if c in " \t":
                pos += 1
                continue
            if c == ",":
                if need_separator:
                    need_separator = False
                else:
                    out.append(_Token(li, pos, pos, None))
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
                if not count.isdigit() or int(count) < 1:
                    raise DeckError(f"{where}: a repeat count must be a positive integer ({token!r})")
                r = int(count)
                for j in range(min(r, n - len(out))):
                    if value:
                        out.append(_Token(li, pos, end, token, j, r, _parse_real(value, where)))
                    else:
                        out.append(_Token(li, pos, end, None))
            else:
                out.append(_Token(li, pos, end, token, 0, 1, _parse_real(token, where)))
            pos = end
            need_separator = True
        while len(out) < n:  # after a slash
            out.append(_Token(li, pos, pos, None))
        self.next = li + 1
        return out


class Deck:
    """The segment tables of a crparam.txt, with where each value is written.

    tables[count_name] = {"x": [positions], "columns": {col: [tokens]}}"""

    def __init__(self, text, name="crparam.txt"):
        self.name = name
        self.text = text
        self.lines = _split_lines(text)
        r = _StepReader(name, self.lines)
        r.next = 1                      # the title line
        r.skip()
        ntr = int(r.values(3, "NTr, Ninv, Nfdn")[0].value)
        r.skip()
        self.ntr = ntr
        self.length = r.values(2, "L, Btm0")[0].value
        self.tables = {}
        for table, cols in TABLES:
            if table == "NTrPar" and ntr <= 0:
                break
            r.skip()
            (count_tok,) = r.values(1, table)
            if count_tok.text is None or not _INTEGER.match(count_tok.text):
                raise DeckError(f"{name}, line {count_tok.line + 1}: expected an integer "
                                f"for {table}")
            count = int(count_tok.value)
            r.skip()
            ncol = 1 + len(cols)
            toks = r.values(count * ncol, f"the rows of {table}")
            self.tables[table] = {
                "count": count_tok,
                "x_tokens": toks[0::ncol],
                "x": [t.value for t in toks[0::ncol]],
                "columns": {c: toks[1 + k::ncol] for k, c in enumerate(cols)},
            }

    # The deck's crbicond.txt (quarno.bicond.Bicond), when read from a folder.
    _bic = None
    # The forcing file: (its bytes, quarno.forcing.Contents), or None when
    # the deck has none.
    _forcing = None

    @property
    def bicond(self):
        """The bytes of the deck's crbicond.txt, or None."""
        return None if self._bic is None else self._bic.text.encode("latin-1")

    @classmethod
    def read(cls, path):
        """The deck of a folder (its crparam.txt and crbicond.txt, every
        character kept), or of a crparam.txt file alone."""
        if os.path.isdir(path):
            from . import forcing
            deck = cls.read(os.path.join(path, "crparam.txt"))
            deck._set_bicond(_read_text(os.path.join(path, "crbicond.txt")))
            deck._forcing = forcing.read(path, deck.length)
            return deck
        return cls(_read_text(path), name=os.path.basename(path))

    def _set_bicond(self, text):
        from .bicond import Bicond
        self._bic = Bicond(text, self.ntr)

    def _need_bicond(self):
        if self._bic is None:
            raise DeckError("the deck holds no crbicond.txt: read it with Deck.read(folder)")
        return self._bic

    def _set_text(self, text):
        """Takes a new crparam.txt text, read again as the program reads it."""
        bic = self._bic
        self.__init__(text, self.name)
        if bic is not None:
            self._set_bicond(bic.text)

    def table(self, column):
        """The table holding `column` (a column name such as "Rough", "QBC"
        or "XObs") as a pandas DataFrame, one row per table row: "X" and the
        value columns of a segment or initial-condition table, the schedule's
        TBC, hBC, QBC, CBC, the output times TOut, the positions XObs."""
        import pandas
        from . import forcing
        if column in forcing.RATE_COLUMNS:
            rates = self._contents().rates or forcing.Rates([0.0], {})
            data = {"X": list(rates.x)}
            data.update({c: rates.column(c) for c in forcing.RATE_COLUMNS})
            return pandas.DataFrame(data)
        if column in FITTABLE or column in LINEAR:
            table = next(t for t, cols in TABLES if column in cols)
            if table not in self.tables:
                raise DeckError(f"{self.name}: the deck has no {table} table (NTr = 0)")
            t = self.tables[table]
            data = {"X": t["x"]}
            data.update({c: [tok.value for tok in toks] for c, toks in t["columns"].items()})
            return pandas.DataFrame(data)
        bic = self._need_bicond()
        table = bic.table_of(column)
        if table is None:
            raise DeckError(f"no table of the deck has a column {column!r}")
        return pandas.DataFrame(bic.blocks[table].values, columns=list(bic.blocks[table].columns))

    def set(self, column, value, x_from=-math.inf, x_to=math.inf):
        """Sets `column` of crparam.txt to `value` over the reach
        x_from <= X < x_to (the whole table by default). Where a bound falls
        inside a segment of the table, the table is first split there
        (split), so that the value holds over exactly that reach; then every
        row of the reach, by the reach rules of rows_in, takes the value.
        Every other character of the file is kept. Returns the indices of
        the rows set.

        The columns of the forcing file's rate table (theta_w, theta_b,
        light_alpha, extinction) are set the same way, in the file written
        anew; each row holds to the next one and the last to the reach's
        end, and a deck without the table gets one."""
        from . import forcing
        if column in forcing.RATE_COLUMNS:
            return self._set_rate(column, value, x_from, x_to)
        if column not in FITTABLE:
            raise DeckError(f"{column!r} cannot be set over a reach: the columns that can are "
                            + ", ".join((*FITTABLE, *forcing.RATE_COLUMNS)))
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise DeckError(f"{column}: {value!r} is not a number") from None
        if not math.isfinite(value):
            raise DeckError(f"{column}: cannot write the value {value!r}")
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
        """Splits the segment of `column`'s table that holds X = x in two, by
        a new row at x carrying the values of the row the segment starts
        with, so that the nodes keep their values and a reach can start or
        end at x. Nothing is done when a row stands at x (within the
        program's tolerance) or x lies outside the table's first row and the
        reach's end. Returns whether a row was added."""
        table = self.tables.get(FITTABLE.get(column))
        if table is None or not math.isfinite(x):
            return False
        xs = table["x"]
        if (x <= xs[0] + X_TOLERANCE or x >= self.length - X_TOLERANCE
                or any(abs(x - r) <= X_TOLERANCE for r in xs)):
            return False
        k = max(i for i in range(len(xs) - 1) if xs[i] < x)  # the segment holding x
        cols = table["columns"]
        first = _first_token(self, table, k)
        row = [first] + [toks[k] for toks in cols.values()]
        last = row[-1]
        following = [t for toks in cols.values() for t in toks[k + 1:k + 2]]
        texts = [repr(float(x))] + [t.text if t.text and t.copies == 1 else repr(t.value)
                                    for t in row[1:]]
        lines = list(self.lines)
        line = lines[last.line]
        body = _body(line)
        one_line = first.line == last.line and not body[:first.start].strip()
        if one_line and not any(t.line == last.line for t in following):
            # The usual layout, a row per line: a copy of the row's line, its
            # X rewritten, after it.
            new = body[:last.end]
            for tok, text in reversed(list(zip(row, texts))):
                new = _replace_keeping_columns(new, tok.start, tok.end, text)
            lines.insert(last.line + 1, new + line[len(body):])
        else:  # rows run on: the new one follows the row's last value
            lines[last.line] = body[:last.end] + " " + " ".join(texts) + line[len(body):]
        count = table["count"]
        count_body = _body(lines[count.line])
        lines[count.line] = (_replace_keeping_columns(count_body, count.start, count.end,
                                                      str(len(xs) + 1))
                             + lines[count.line][len(count_body):])
        self._set_text("".join(lines))
        return True

    def write(self, folder):
        """Writes crparam.txt and crbicond.txt into `folder` (made if need
        be), each through a temporary file, so that a failed write leaves the
        folder's files as they were; and the forcing file crforcing.toml with
        the CSV series files it names (unchanged), when the deck has one
        (sources or the weather). A crforcing.toml already in the folder is
        removed when the deck has none, since it would add what the deck does
        not hold."""
        from . import forcing
        bic = self._need_bicond()
        os.makedirs(folder, exist_ok=True)
        for name, text in (("crparam.txt", self.text), ("crbicond.txt", bic.text)):
            path = os.path.join(folder, name)
            tmp = path + ".tmp"
            try:
                with open(tmp, "w", encoding="latin-1", newline="") as f:
                    f.write(text)
                os.replace(tmp, path)
            except OSError as e:
                if os.path.exists(tmp):
                    os.remove(tmp)
                raise DeckError(f"{path}: cannot write ({e.strerror})") from None
        forcing.write_files(folder, self.forcing_files())

    # -- sources along the reach (the forcing file)

    def forcing_files(self):
        """{relative path: bytes} of the forcing file and the CSV series
        files it names; empty when the deck has no forcing file."""
        from . import forcing
        if self._forcing is None:
            return {}
        return forcing.files(*self._forcing)

    @property
    def sources(self):
        """The sources of the forcing file, in file order, each a dict: name,
        x, x_to (None for a point source), kind ("point" or "distributed"),
        times (seconds, or UTC datetimes), discharge (m3/s), concentration
        or load (the other None), strength, and series (the CSV file the
        series came from, or None)."""
        return [s.as_dict() for s in self._contents().sources]

    def _contents(self):
        from . import forcing
        return forcing.Contents(length=self.length) if self._forcing is None else self._forcing[1]

    def _source_list(self):
        return list(self._contents().sources)

    def _set_contents(self, contents):
        """Takes new contents of the forcing file, written anew; none left
        takes the file away."""
        from . import forcing
        self._forcing = None if contents.empty() else (forcing.write_text(contents), contents)

    def _set_sources(self, sources):
        self._set_contents(self._contents().copy(sources=sources))

    # -- the weather (the forcing file's [environment] and [rates])

    @property
    def environment(self):
        """The weather of the forcing file as a dict, or None: times
        (seconds, or UTC datetimes), temperature_C (degrees C) and
        irradiance_W_per_m2 (W/m2), a quantity left out None, and series
        (the CSV file it came from, or None)."""
        env = self._contents().environment
        return None if env is None else env.as_dict()

    def set_environment(self, times, temperature_C=None, irradiance_W_per_m2=None):
        """Sets the weather of the forcing file: the water temperature
        (degrees C, -5 to 50) and the solar irradiance at the water surface
        (W/m2, at least 0) at `times`, seconds since time 0 or datetimes
        (written as UTC date-times: the deck must then be run with
        --start-date). A scalar holds at every time; a quantity left out is
        left out of the file (the temperature is then 20 degrees C, the
        irradiance 0). Between times the values follow straight lines. With
        neither quantity the environment is removed. Raises DeckError,
        leaving the deck as it was, for a bad value."""
        from . import forcing
        if temperature_C is None and irradiance_W_per_m2 is None:
            self._set_contents(self._contents().copy(environment=None))
            return
        stamps = _stamps(times, "environment")
        values = {}
        for q, v in zip(forcing.ENVIRONMENT, (temperature_C, irradiance_W_per_m2)):
            if v is not None:
                values[q] = _series(v, len(stamps), f"environment: every {q}")
        env = forcing.Environment(stamps, values)
        forcing.check_environment(env, lambda key, k: "environment"
                                  + ("" if k is None else f", value {k + 1}"))
        self._set_contents(self._contents().copy(environment=env))

    def _set_rate(self, column, value, x_from, x_to):
        from . import forcing
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise DeckError(f"{column}: {value!r} is not a number") from None
        contents = self._contents()
        rates, rows = forcing.set_rate(contents.rates, column, value, x_from, x_to, self.length)
        self._set_contents(contents.copy(rates=rates))
        return rows

    def add_source(self, name, x, times, discharge, concentration=None, x_to=None, load=None,
                   strength=1.0):
        """Adds a source along the reach to the forcing file: a point source
        at `x`, or with `x_to` a distributed inflow over x..x_to (the
        discharge spread over the stretch). `times` are seconds since time 0
        or datetimes (datetime, pandas or numpy; naive ones read as UTC),
        written as UTC date-times: a deck with dated sources must be run
        with --start-date, from which they count. `discharge` is in m3/s
        (negative takes water out); exactly one of `concentration` (of the
        inflow) and `load` (amount per second); `strength` multiplies either.
        A scalar discharge, concentration or load holds at every time.
        Between times the values follow straight lines. Raises DeckError,
        leaving the deck as it was, for a bad value."""
        from . import forcing
        if (concentration is None) == (load is None):
            raise DeckError(f"source {name!r}: give exactly one of concentration and load")
        stamps = _stamps(times, f"source {name!r}")

        def series(values, what):
            return _series(values, len(stamps), f"source {name!r}: every {what}")

        def position(v, what):
            try:
                return float(v)
            except (TypeError, ValueError):
                raise DeckError(f"source {name!r}: {what} {v!r} is not a number") from None

        values = concentration if load is None else load
        src = forcing.Source(name, position(x, "x"),
                             None if x_to is None else position(x_to, "x_to"), stamps,
                             series(discharge, "discharge"),
                             series(values, "load" if load is not None else "concentration"),
                             load is not None, position(strength, "strength"))
        sources = self._source_list()
        forcing.check_source(src, self.length, f"source {name!r}", [s.name for s in sources])
        self._set_sources(sources + [src])

    def remove_source(self, name):
        """Removes the source `name` (DeckError when there is none). The
        last one removed takes the forcing file with it, unless the file
        holds the weather."""
        sources = self._source_list()
        if name not in [s.name for s in sources]:
            raise DeckError(f"no source named {name!r}")
        self._set_sources([s for s in sources if s.name != name])

    def set_source_strength(self, name, value):
        """Sets the strength of source `name`, the factor on its
        concentration or load (finite, >= 0)."""
        from . import forcing
        sources = self._source_list()
        if name not in [s.name for s in sources]:
            raise DeckError(f"no source named {name!r}")
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise DeckError(f"source {name!r}: strength {value!r} is not a number") from None
        if not math.isfinite(value) or value < 0:
            raise DeckError(f"source {name!r}: strength must be a finite number >= 0 "
                            f"(found {value!r})")
        self._forcing = forcing.with_edits(*self._forcing, {name: value})

    def set_schedule(self, times, discharge, concentration=None, depth=None, start=None):
        """See quarno.build.set_schedule."""
        from . import build
        return build.set_schedule(self, times, discharge, concentration, depth, start)

    def set_sites(self, positions):
        """See quarno.build.set_sites."""
        from . import build
        build.set_sites(self, positions)

    def set_output_times(self, times):
        """See quarno.build.set_output_times."""
        from . import build
        build.set_output_times(self, times)

    def rows_in(self, column, x_from, x_to):
        """Indices (0-based) of the table rows of `column` in the reach
        x_from <= X < x_to, with the tolerance of the program's mapping. The
        last row of a table only closes it (no node takes its value); it goes
        with the reach that ends at or beyond it, so that the deck reads as
        the model uses it."""
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

    def value(self, column, row):
        tok = self.tables[FITTABLE[column]]["columns"][column][row]
        return tok.value

    def edited(self, changes):
        """The file's text with new values: changes is a list of
        (column, x_from, x_to, value). Every row of the reach gets the value;
        every other character of the file stays as it was, as far as the new
        numbers' widths allow (blanks after a number absorb a longer one and
        pad a shorter one)."""
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
            body = _body(line)
            ending = line[len(body):]
            # From the right, so that earlier columns stay valid.
            for start, end, tok, copies in sorted(edits, key=lambda e: -e[0]):
                if tok.copies == 1:
                    text = repr(float(copies[0]))
                else:  # r*v written out value by value
                    v_text = tok.text.split("*", 1)[1]
                    text = " ".join(repr(float(copies[j])) if j in copies else v_text
                                    for j in range(tok.copies))
                body = _replace_keeping_columns(body, start, end, text)
            lines[li] = body + ending
        return "".join(lines)


def _stamps(times, who):
    """Times as floats (seconds) or, when any is not a number, UTC
    datetimes; a scalar is one time."""
    import numpy
    from . import forcing
    stamps = [times] if numpy.ndim(times) == 0 else list(times)
    if all(isinstance(t, (int, float, numpy.number)) and not isinstance(t, bool) for t in stamps):
        return [float(t) for t in stamps]
    dated = [forcing.utc_date(t) for t in stamps]
    if any(d is None for d in dated):
        bad = stamps[[d is None for d in dated].index(True)]
        raise DeckError(f"{who}: the time {bad!r} is neither seconds nor a date")
    return dated


def _series(values, n, what):
    """A list of floats: a scalar held at n times, or the values given."""
    import numpy
    vals = [values] * n if numpy.ndim(values) == 0 else list(values)
    try:
        return [float(v) for v in vals]
    except (TypeError, ValueError):
        raise DeckError(f"{what} must be a number") from None


def _first_token(deck, table, k):
    """The X token of row k of a table, which must be written out."""
    tok = table["x_tokens"][k]
    if tok.text is None or tok.copies != 1:
        raise DeckError(f"{deck.name}, line {tok.line + 1}: the X of row {k + 1} is not written "
                        "out as one number; write it out to split the table there")
    return tok


def _read_text(path):
    """A deck file's text, every byte kept (latin-1, line ends as written)."""
    try:
        with open(path, encoding="latin-1", newline="") as f:
            return f.read()
    except OSError as e:
        raise DeckError(f"{path}: cannot read ({e.strerror})") from None


def _replace_keeping_columns(line, start, end, text):
    """Line with line[start:end] replaced by text, keeping the columns after
    it where possible: a longer number takes blanks that follow it (leaving at
    least one), a shorter one is padded with blanks unless it ends the line."""
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
