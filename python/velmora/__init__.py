"""velmora's data files in Python, read by the very rules velmora reads them.

    >>> import velmora
    >>> data = velmora.read("examples/layout2/injection_run1.dat")
    >>> data.table[:, 1]            # column 2 in file units, a numpy array
    >>> velmora.run("examples/layout2").line
    '   ...'                        # velmora's result line, bit for bit

read() gives one file's header and table; compare() and run() give the total
velmora prints (run() as velmora started in a folder); explain() gives
velmora-explain's JSON report. Where velmora would stop with its two-line
diagnostic, these raise StopError with the same facts and lines.

Files are opened for reading only: nothing is created or changed (where
velmora would create a missing file, StopError says so as velmora would stop
after creating it). The working directory is never changed.

Paths may be str, bytes or os.PathLike. The interpreter's lock is released
while files are read. The reader's channels belong to the process, so calls
take one process-wide lock: calls from several threads are safe and read one
at a time.
"""

import json as _json
import os as _os

from . import _velmora

__all__ = ["DataFile", "Result", "StopError", "read", "compare", "run", "explain", "MAX_ROWS"]

MAX_ROWS = 1_000_000
"""The most rows a table holds; later rows are not read."""


def _text(raw):
    # Bytes of a file's own text, as str; bytes that are not UTF-8 survive
    # as os.fsdecode keeps them, so os.fsencode gives them back.
    return raw.decode("utf-8", "surrogateescape")


class StopError(Exception):
    """velmora stops here: the file cannot be read under its rules.

    str(error) is velmora's two diagnostic lines. Attributes:
      kind       "open", "already-open", "end-of-file", "bad-number",
                 "bad-text", "cannot-read", "input-output" or "out-of-memory"
      statement  velmora's statement number (0 for out-of-memory)
      channel    11 for the control file, 13 for a data file
      file       the file the stop is in, or the name that could not be
                 opened (str, as os.fsdecode gives it); None when none
      line       the line of a bad number or bad text, else None
      item       the item of a bad number or bad text (from 1), else None
      reason     the system's reason (open, input-output, out-of-memory), else None
    """

    def __init__(self, text, kind, statement=0, channel=0, file=None, line=None, item=None, reason=None):
        super().__init__(text)
        self.text = text
        self.kind = kind
        self.statement = statement
        self.channel = channel
        self.file = file
        self.line = line
        self.item = item
        self.reason = reason

    def __str__(self):
        return self.text

    @classmethod
    def _from(cls, facts):
        return cls(
            _text(facts["text"]).rstrip("\n"),
            facts["kind"],
            statement=facts["statement"],
            channel=facts["channel"],
            file=None if facts["file"] is None else _os.fsdecode(facts["file"]),
            line=facts["line"] or None,
            item=facts["item"] or None,
            reason=facts["reason"],
        )


def _call(function, *arguments):
    try:
        return function(*arguments)
    except _velmora.Stop as stop:
        raise StopError._from(stop.args[0]) from None


def _path(path):
    return _os.fsencode(path)


class DataFile:
    """One data file as velmora reads it.

    layout           1, 2 or "plain" (by the format code)
    format_code      character 12 of the title's first value (" " when shorter)
    title            the title's first value
    header           [(label, value, line), ...]: the labelled numbers in file
                     order, each value in file units (not divided by 1000)
    table            numpy float64 array of shape (rows, 3), file units
                     (column 2 is not multiplied by 1000); it owns its memory
    lines            numpy int64 array: the line of each row's first record
    rows_past_limit  True when the table stopped at MAX_ROWS rows and the
                     file holds more
    """

    __slots__ = ("layout", "format_code", "title", "header", "table", "lines", "rows_past_limit")

    def __init__(self, layout, format_code, title, header, table, lines, rows_past_limit):
        self.layout = layout
        self.format_code = format_code
        self.title = title
        self.header = header
        self.table = table
        self.lines = lines
        self.rows_past_limit = rows_past_limit

    def __len__(self):
        return len(self.table)

    def __repr__(self):
        return "<velmora.DataFile layout={!r} title={!r} rows={}>".format(self.layout, self.title, len(self.table))

    def to_pandas(self):
        """The table as a pandas DataFrame (columns c1, c2, c3, line); needs pandas."""
        import pandas

        frame = pandas.DataFrame(self.table, columns=["c1", "c2", "c3"], copy=False)
        frame["line"] = self.lines
        return frame


class Result:
    """A comparison's total (a float, bit for bit velmora's) and its result
    line (26 characters, without the line feed)."""

    __slots__ = ("total", "line")

    def __init__(self, total, line):
        self.total = total
        self.line = line

    def __repr__(self):
        return "<velmora.Result line={!r}>".format(self.line)


def read(path):
    """Read one data file as velmora reads it; returns a DataFile.

    The statement numbers a StopError names are those of velmora's first data
    file. The path is taken as given (trailing blanks removed), relative to
    the working directory. Raises StopError where velmora would stop.
    """
    layout, code, title, header, table, lines, past = _call(_velmora.read, _path(path))
    return DataFile(layout, _text(code), _text(title),
                    [(_text(label), value, line) for label, value, line in header], table, lines, past)


def compare(reference, compared):
    """The total velmora prints for a control file naming these two files; a Result.

    Raises StopError where velmora would stop.
    """
    return Result(*_call(_velmora.compare, _path(reference), _path(compared)))


def run(folder="."):
    """velmora's run in `folder`: its CompareThese.inp, the names in it
    relative to the folder (the working directory is not changed); a Result.

    Raises StopError where velmora would stop, OSError when the folder cannot
    be found.
    """
    return Result(*_call(_velmora.run, _path(folder)))


def explain(reference, compared, top=10):
    """velmora-explain's JSON report of a pair (what was read, the rows that
    add most, the findings), as Python objects. A stop is in its "error".
    """
    return _json.loads(_call(_velmora.explain, _path(reference), _path(compared), int(top)))
