"""The row sorter: Python values in, the same values out in the library's order, within
the memory given; refused values, options and misuse raise with the library's message."""

import datetime
import decimal
import os
import random
import threading

import pytest

import tqdatafile as tq
from conftest import peak_growth

D = decimal.Decimal
COLUMNS = [str, bytes, int, float, D, datetime.date, bool]


def random_value(rng, kind):
    if rng.random() < 0.1:
        return None
    if kind is str:
        return "".join(rng.choice("aAbä€\U0001F600z\x01") for _ in range(rng.randrange(4)))
    if kind is bytes:
        return bytes(rng.choice(b"\x00\x01\x02a\xff") for _ in range(rng.randrange(4)))
    if kind is int:
        return rng.choice([-(1 << 63), (1 << 63) - 1, 0, -1, 1, rng.randrange(-5, 5)])
    if kind is float:
        return rng.choice([-1e308, -0.5, 0.1, 2.5, 1e-300, float("inf"), -float("inf"), 3.0])
    if kind is D:
        return rng.choice([D("-1.5"), D("0"), D("1.50"), D("1E+10"), D("123456789012345678901234567890.5"),
                           D(rng.randrange(-3, 3))])
    if kind is datetime.date:
        return rng.choice([datetime.date(1, 1, 1), datetime.date(1969, 12, 31), datetime.date(1970, 1, 1),
                           datetime.date(9999, 12, 31), datetime.date(2024, 2, 29)])
    return rng.random() < 0.5


def expected_order(rows, keys, unique=False):
    """Python's stable sort with the library's rules: None lowest in both directions (so
    last when descending); with unique, the first row of each group of equal keys."""
    out = list(rows)
    for field, descending in reversed(keys):
        out.sort(key=lambda r: (r[field] is not None, r[field] if r[field] is not None else 0),
                 reverse=descending)
    if unique:
        seen, kept = set(), []
        for r in out:
            k = tuple(r[f] for f, _ in keys)
            if k not in seen:
                seen.add(k)
                kept.append(r)
        out = kept
    return out


def same(a, b):
    """Rows equal value for value, -0.0 and 0.0 apart, Decimal by its digits too."""
    return [tuple(repr(v) for v in r) for r in a] == [tuple(repr(v) for v in r) for r in b]


@pytest.mark.parametrize("engine", ["variable", "fixed", "external"])
def test_every_kind_comes_back_in_the_librarys_order(engine, tmp):
    rng = random.Random(7)
    rows = [tuple(random_value(rng, k) for k in COLUMNS) for _ in range(3000)]
    columns = [tq.Column(str, 16), tq.Column(bytes, 8)] + COLUMNS[2:]
    for field in range(len(COLUMNS)):
        for descending in (False, True):
            keys = [(field, descending), ((field + 2) % len(COLUMNS), not descending)]
            got = list(tq.sort(rows, columns=columns, keys=[tq.Key(f, d) for f, d in keys], stable=True,
                               engine=engine, memory=1 << 20, temp_dirs=tmp))
            assert same(got, expected_order(rows, keys)), (field, descending)


def test_unique_keeps_one_row_of_each_group_and_with_stable_the_first(tmp):
    rows = [(i % 50, i) for i in range(1000)]
    got = list(tq.sort(rows, columns=[int, int], keys=[0], unique=True, stable=True, temp_dirs=tmp))
    assert got == [(k, k) for k in range(50)]
    got = list(tq.sort(rows, columns=[int, int], keys=[0], unique=True, temp_dirs=tmp))
    assert [k for k, _ in got] == list(range(50))


def test_a_collation_orders_strings_as_the_language_does(tmp):
    names = [("Zoë",), ("Ähre",), ("zoo",), ("Ahre",), ("Müller",), ("Muller",), ("Mueller",)]
    german = tq.Collation("de", variant="phonebook")
    got = [r[0] for r in tq.sort(names, columns=[tq.Column(str, 40)], keys=[tq.Key(0, collation=german)],
                                 temp_dirs=tmp)]
    assert got == ["Ähre", "Ahre", "Mueller", "Müller", "Muller", "Zoë", "zoo"]
    with pytest.raises(tq.Error, match="the locale .xx. is not known"):
        tq.Sorter([tq.Column(str, 8)], [tq.Key(0, collation=tq.Collation("xx"))], temp_dirs=tmp)
    with pytest.raises(tq.InvalidArgument, match="collation orders str fields"):
        tq.Sorter([bytes], [tq.Key(0, collation=tq.Collation("de"))], temp_dirs=tmp)


def test_values_a_column_does_not_take_are_refused_and_the_sorter_goes_on(tmp):
    s = tq.Sorter([tq.Column(str, 4), int, D, datetime.date, bool, float], [1], temp_dirs=tmp)
    s.add(("ok", 1, D(1), datetime.date(2000, 1, 1), True, 1.0))
    cases = [
        ((5, 1, None, None, None, None), TypeError, "field 0 takes str or None, not int"),
        (("toolong", 1, None, None, None, None), tq.InvalidArgument,
         "field 0: a text of 7 bytes; the column holds at most 4."),
        (("a\0b", 1, None, None, None, None), tq.InvalidArgument, "field 0: the text holds a zero byte."),
        (("", 1 << 63, None, None, None, None), tq.InvalidArgument, "beyond the 64-bit integers"),
        (("", 1, D("1" * 60), None, None, None), tq.InvalidArgument, "has more than 52 significant digits"),
        (("", 1, 1.5, None, None, None), TypeError, "field 2 takes decimal.Decimal or int"),
        (("", 1, None, datetime.datetime(2000, 1, 1, 12), None, None), TypeError, "not datetime"),
        (("", 1, None, None, 1, None), TypeError, "field 4 takes bool"),
        (("", 1, None, None, None, "1.0"), TypeError, "field 5 takes float or int"),
        (("", 1), tq.InvalidArgument, "The row has 2 values; the rows have 6 fields."),
    ]
    for row, error, message in cases:
        with pytest.raises(error) as e:
            s.add(row)
        assert message in str(e.value), row
        if isinstance(e.value, tq.Error):
            assert e.value.code == "invalidArgument"
    s.add(("last", 0, None, None, None, None))
    assert [r[0] for r in s.sort()] == ["last", "ok"]


def test_options_the_library_refuses_raise_its_message(tmp):
    cases = [
        (dict(columns=[], keys=[0]), "columns: a row needs at least one column."),
        (dict(columns=[int], keys=[]), "keys: a sort needs at least one key."),
        (dict(columns=[int], keys=[1]), "keys[0]: field 1 does not exist"),
        (dict(columns=[int], keys=[0], processors=65), "processors: from 0 to 64, not 65."),
        (dict(columns=[int], keys=[0], engine="quick"), "engine: 'auto', 'variable', 'fixed' or 'external'"),
        (dict(columns=[tq.Column(str, 0)], keys=[0]), "a string column takes a maxLength from 1"),
        (dict(columns=[int], keys=[0], temp_dirs=str(tmp / "missing")), "missing"),
    ]
    for options, message in cases:
        with pytest.raises(tq.Error) as e:
            tq.Sorter(temp_dirs=options.pop("temp_dirs", tmp), **options)
        assert message in str(e.value), options
    with pytest.raises(TypeError):
        tq.Column(list)


def test_a_sorted_sorter_takes_no_more_rows(tmp):
    s = tq.Sorter([int], [0], temp_dirs=tmp)
    s.extend([(2,), (1,)])
    rows = s.sort()
    with pytest.raises(tq.Error) as e:
        s.add((3,))
    assert e.value.code == "notAllowed"
    with pytest.raises(tq.Error):
        s.sort()
    assert list(rows) == [(1,), (2,)]
    assert list(rows) == []  # an iterator: read once


def test_a_failing_generator_keeps_the_rows_before_it(tmp):
    def rows():
        for i in range(5000):
            if i == 4321:
                raise KeyError("the source broke")
            yield (5000 - i,)

    s = tq.Sorter([int], [0], temp_dirs=tmp, memory=1 << 20)
    with pytest.raises(KeyError, match="the source broke"):
        s.extend(rows())
    assert s.row_count == 4321
    got = [r[0] for r in s.sort()]
    assert got == list(range(5000 - 4320, 5001))


def test_a_bad_row_in_a_batch_comes_after_the_rows_before_it(tmp):
    s = tq.Sorter([int], [0], temp_dirs=tmp)
    with pytest.raises(TypeError):
        s.extend([(i,) for i in range(100)] + [("x",)] + [(i,) for i in range(100)])
    assert s.row_count == 100


def many_rows(n, payload=80):
    pad = "p" * payload
    return (((i * 2654435761) % n, pad + str(i)) for i in range(n))


def test_a_progress_callable_that_says_stop_cancels_the_sort(tmp):
    heard = []

    def stop(phase, fraction):
        heard.append((phase, fraction))
        assert threading.current_thread() is threading.main_thread()
        return False

    with pytest.raises(tq.Stopped) as e:
        list(tq.sort(many_rows(200000), columns=[int, str], keys=[0], memory=1 << 20, temp_dirs=tmp,
                     progress=stop))
    assert e.value.code == "stopped"
    assert heard and all(p == "sorting" and 0.0 <= f <= 1.0 for p, f in heard)


def test_an_exception_of_the_progress_callable_is_raised_again(tmp):
    def broken(phase, fraction):
        raise ZeroDivisionError("progress broke")

    with pytest.raises(ZeroDivisionError, match="progress broke"):
        list(tq.sort(many_rows(200000), columns=[int, str], keys=[0], memory=1 << 20, temp_dirs=tmp,
                     progress=broken))
    # None (or anything but False) goes on.
    got = list(tq.sort(many_rows(1000), columns=[int, str], keys=[0], temp_dirs=tmp,
                       progress=lambda p, f: None))
    assert len(got) == 1000


def test_a_generator_of_many_rows_passes_through_the_memory_given(tmp):
    # 1.2 million rows of about 100 bytes (120 MB of rows) through 16 MiB: the process
    # grows by the sort's memory and its buffers, not by the rows.
    growth, out = peak_growth("""
        n = 1200000
        pad = "p" * 90
        rows = (((i * 2654435761) % n, pad + str(i)) for i in range(n))
        last, count = -1, 0
        for key, text in tqdatafile.sort(rows, columns=[int, str], keys=[0], memory=16 << 20,
                                         ):
            assert key >= last
            last, count = key, count + 1
        print("rows", count)
    """, TMPDIR=str(tmp))
    assert out == ["rows 1200000"]
    assert growth < (16 << 20) + (48 << 20), "peak grew by %d MiB" % (growth >> 20)
