"""Sorting rows and CSV files larger than memory, from Python.

    import tqdatafile as tq

    rows = [("Ada", 36), ("Alan", 41), ("Grace", 85)]
    for name, age in tq.sort(rows, columns=[str, int], keys=[tq.Key(1, descending=True)]):
        print(name, age)

    tq.sort_csv(["cities.csv"], output="sorted.csv", keys=["2:int"], stable=True)

`sort` (and `Sorter`, to add rows bit by bit) sorts Python tuples within a memory budget:
rows beyond it go to temporary files, so any number of rows from a generator pass
through the memory given.  `sort_csv` and `tqsort` run the tqsort tool's sort in this
process.  `tqdatafile.cluster` sorts CSV inputs on a Dask cluster.

The library works without the GIL.  The progress callable is called on the calling
thread with the GIL held, as `progress(phase, fraction)`; returning False cancels the
sort (`Stopped` is raised), and so does an exception it raises (raised again when the
sort has stopped) or Ctrl-C.  Failures are raised as `Error` (the library's or
tqsort's message; `code` names the library's status), `InvalidArgument` (also a
ValueError) for what the library refused, `TypeError` for a value of a type its column
does not take.
"""

import datetime as _datetime
import decimal as _decimal
import os as _os
import sys as _sys
import tempfile as _tempfile

from ._tqdatafile import Error, InvalidArgument, Stopped
from . import _tqdatafile

__all__ = ["Error", "InvalidArgument", "Stopped", "Column", "Key", "Collation", "Sorter", "sort",
           "sort_csv", "tqsort"]

DEFAULT_STRING_LENGTH = 1024
_KINDS = {str: "str", bytes: "bytes", int: "int", float: "float", _decimal.Decimal: "decimal",
          _datetime.date: "date", bool: "bool"}


class Column:
    """A column of the rows: its kind, and for str and bytes the longest value in bytes.

    `columns=[str, int]` takes the Python types (a str or bytes column then holds
    DEFAULT_STRING_LENGTH bytes); `Column(str, 40)` gives the length.  A string costs
    its own length in the default engine; the fixed and external engines give every
    row the full length.
    """

    def __init__(self, kind, max_length=None):
        if kind not in _KINDS:
            raise TypeError("a column is one of str, bytes, int, float, decimal.Decimal, "
                            "datetime.date, bool; not %r" % (kind,))
        self.kind = kind
        self.max_length = max_length if max_length is not None else DEFAULT_STRING_LENGTH

    def _native(self):
        return (_KINDS[self.kind], int(self.max_length) if self.kind in (str, bytes) else 0)

    def __repr__(self):
        if self.kind in (str, bytes):
            return "Column(%s, %d)" % (self.kind.__name__, self.max_length)
        return "Column(%s)" % self.kind.__name__


_STRENGTHS = ["standard", "primary", "secondary", "tertiary", "quaternary", "identical"]
_CASE_FIRST = ["standard", "upper", "lower"]
_VARIANTS = ["standard", "phonebook", "pinyin", "stroke", "traditional", "big5han",
             "gb2312han", "posix", "direct"]


def _choice(name, value, words):
    if value not in words:
        raise InvalidArgument("%s: one of %s, not %r" % (name, ", ".join(words), value))
    return words.index(value)


class Collation:
    """Linguistic order of a str key (ICU), e.g. Collation("de", variant="phonebook").

    Only the external engine sorts by a collation (engine "auto" takes it then).
    """

    def __init__(self, locale="", strength="standard", case_first="standard", variant="standard",
                 numeric=False, ignore_punctuation=False):
        self.locale = locale
        self.strength = strength
        self.case_first = case_first
        self.variant = variant
        self.numeric = numeric
        self.ignore_punctuation = ignore_punctuation

    def _native(self):
        return {"locale": str(self.locale),
                "strength": _choice("strength", self.strength, _STRENGTHS),
                "case_first": _choice("case_first", self.case_first, _CASE_FIRST),
                "variant": _choice("variant", self.variant, _VARIANTS),
                "numeric": bool(self.numeric),
                "ignore_punctuation": bool(self.ignore_punctuation)}


class Key:
    """A sort key: a field of the rows (from 0), its direction, and a collation for str."""

    def __init__(self, field, descending=False, collation=None):
        self.field = field
        self.descending = descending
        self.collation = collation

    def _native(self):
        collation = self.collation._native() if self.collation is not None else None
        return (int(self.field), bool(self.descending), collation)


def _column(spec):
    return (spec if isinstance(spec, Column) else Column(spec))._native()


def _key(spec):
    return (spec if isinstance(spec, Key) else Key(spec))._native()


def _temp_dirs(temp_dirs):
    if temp_dirs is None:
        return _tempfile.gettempdir()
    if isinstance(temp_dirs, (str, bytes, _os.PathLike)):
        return _os.fsdecode(temp_dirs)
    return ":".join(_os.fsdecode(d) for d in temp_dirs)


class Sorter:
    """Rows in (add, extend), then sort() once: an iterator over the rows in key order.

    columns      the rows' columns: types (str, bytes, int, float, decimal.Decimal,
                 datetime.date, bool) or Column objects
    keys         fields (int, ascending) or Key objects; keys[0] sorts first.  None is
                 lower than every value, in both directions
    memory       bytes the sort holds (default 64 MiB); beyond it rows go to files
    processors   sorting threads
    stable       equal keys keep the order in which the rows came
    unique       of rows with equal keys only one is kept (with stable, the first)
    engine       "auto", "variable", "fixed" or "external" (the one that collates)
    temp_dirs    a directory or a list of them (default: tempfile.gettempdir())
    progress     progress(phase, fraction); returning False cancels
    """

    def __init__(self, columns, keys, *, memory=64 << 20, processors=1, stable=False,
                 unique=False, engine="auto", chunk_size=0, temp_dirs=None, expected_rows=0,
                 progress=None):
        self._native = _tqdatafile._RowSorter(
            [_column(c) for c in columns], [_key(k) for k in keys], int(memory), int(chunk_size),
            int(processors), bool(stable), bool(unique), str(engine), _temp_dirs(temp_dirs),
            int(expected_rows), progress)

    def add(self, row):
        """Adds one row: a tuple (or sequence) with one value per column."""
        self._native.add(row)

    def extend(self, rows):
        """Adds every row of an iterable; a failure is raised after the rows before it."""
        self._native.extend(rows)

    @property
    def row_count(self):
        return self._native.row_count

    def sort(self):
        """Sorts (the Sorter takes no more rows) and returns an iterator over the rows."""
        return self._native.sort()


def sort(rows, columns, keys, **options):
    """The rows of an iterable, sorted: an iterator of tuples (see Sorter for options)."""
    sorter = Sorter(columns, keys, **options)
    sorter.extend(rows)
    return sorter.sort()


def tqsort(args, progress=None):
    """Runs tqsort with its command-line arguments `args` in this process.

    tqsort(["-k", "2:int", "-s", "-o", "out.csv", "in.csv"]) does what the command does,
    without a process of its own: the GIL is released while it runs, progress(phase,
    fraction) hears it ("reading", then "merging"), and a failure is raised as Error with
    tqsort's message.  Its temporary files are removed however it ends.  Output without
    -o goes to this process's standard output (file descriptor 1).
    """
    args = [_os.fsdecode(a) for a in args]
    _sys.stdout.flush()
    _tqdatafile._run_tqsort(args, progress)


def _tqsort_args(keys, separator=",", header=False, stable=False, unique=False, memory=None,
                 temp_dirs=None, parallel=None, lenient=False, collate=None, strength=None,
                 case_first=None, numeric=False, ignore_punctuation=False, collation=None):
    """tqsort's arguments for the keyword options of sort_csv."""
    if isinstance(keys, (str, bytes)):
        keys = [keys]
    args = []
    for k in keys:
        args += ["-k", str(k)]
    args += ["-t", separator]
    flags = [(header, "--header"), (stable, "-s"), (unique, "-u"), (lenient, "--lenient"),
             (numeric, "--numeric"), (ignore_punctuation, "--ignore-punctuation")]
    args += [flag for on, flag in flags if on]
    if memory is not None:
        args += ["-S", str(memory)]
    if temp_dirs is not None:
        for d in ([temp_dirs] if isinstance(temp_dirs, (str, bytes, _os.PathLike)) else temp_dirs):
            args += ["-T", _os.fsdecode(d)]
    if parallel is not None:
        args += ["--parallel=%d" % parallel]
    for value, option in [(collate, "--collate"), (strength, "--strength"),
                          (case_first, "--case-first"), (collation, "--collation")]:
        if value is not None:
            args += ["%s=%s" % (option, value)]
    return args


def sort_csv(inputs, output=None, *, keys, progress=None, **options):
    """Sorts CSV (or TSV) files as tqsort does, in this process.

    inputs      a path or a list of paths ("-" is standard input)
    output      the path of the sorted output (it may be an input); None: standard output
    keys        tqsort's -k values: "2:int", "name:str:r" (with header=True), ...
    options     separator (","), header, stable, unique, memory (bytes, or "64M"),
                temp_dirs, parallel, lenient, collate (a locale), strength, case_first,
                numeric, ignore_punctuation, collation: as tqsort's options
    """
    if isinstance(inputs, (str, bytes, _os.PathLike)):
        inputs = [inputs]
    args = _tqsort_args(keys, **options)
    if output is not None:
        args += ["-o", _os.fsdecode(output)]
    tqsort(args + ["--"] + [_os.fsdecode(i) for i in inputs], progress=progress)
