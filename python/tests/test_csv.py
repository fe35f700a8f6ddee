"""tqsort in this process: the same bytes as the tqsort program, its messages, progress
heard and obeyed, the GIL released while it runs, nothing left behind."""

import os
import random
import threading

import pytest

import tqdatafile as tq
from conftest import run_tqsort


def write_csv(path, rows, header=None, line_end="\n", mark=False):
    with open(path, "wb") as f:
        if mark:
            f.write(b"\xef\xbb\xbf")
        if header:
            f.write((header + line_end).encode())
        for r in rows:
            f.write((r + line_end).encode())
    return str(path)


def sample_rows(n, seed=1):
    rng = random.Random(seed)
    words = ["pear", "apple", "fig", "", "\"quoted, with comma\"", "kiwi"]
    return ["%d,%s,%s,%d.%02d,2024-%02d-%02d" % (rng.randrange(-50, 50), rng.choice(words), rng.choice("abc"),
                                                rng.randrange(100), rng.randrange(100), rng.randrange(1, 13),
                                                rng.randrange(1, 29)) for _ in range(n)]


@pytest.mark.parametrize("options,args", [
    (dict(keys=["1:int"], stable=True), ["-k", "1:int", "-s"]),
    (dict(keys=["2", "1:int:r"], unique=True), ["-k", "2", "-k", "1:int:r", "-u"]),
    (dict(keys=["4:dec:r", "5:date"], stable=True, parallel=1, memory="1M"),
     ["-k", "4:dec:r", "-k", "5:date", "-s", "--parallel=1", "-S", "1M"]),
    (dict(keys=["n:int", "w:str:r"], header=True, stable=True), ["-k", "n:int", "-k", "w:str:r", "--header", "-s"]),
    (dict(keys=["2"], separator="\t", stable=True), ["-k", "2", "-t", "\t", "-s"]),
])
def test_the_same_bytes_as_the_tqsort_program(options, args, tmp, tqsort_bin):
    rows = sample_rows(20000)
    if options.get("separator") == "\t":
        rows = [r.replace(",", "\t") for r in rows]
    header = "n,w,c,d,day" if options.get("header") else None
    a = write_csv(tmp / "a.csv", rows[:12000], header=header, line_end="\r\n", mark=True)
    b = write_csv(tmp / "b.csv", rows[12000:], header=header)
    out = tmp / "out.csv"
    tq.sort_csv([a, b], out, temp_dirs=tmp, **options)
    status, expected, err = run_tqsort(tqsort_bin, args + [a, b], tmp)
    assert status == 0, err
    assert out.read_bytes() == expected


def test_tqsort_takes_the_command_line_and_may_write_over_its_input(tmp):
    path = write_csv(tmp / "in.csv", ["3,c", "1,a", "2,b"])
    tq.tqsort(["-k", "1:int", "-T", str(tmp), "-o", path, path])
    assert open(path).read() == "1,a\n2,b\n3,c\n"


def test_failures_raise_tqsorts_message(tmp):
    path = write_csv(tmp / "bad.csv", ["1,a", "2,b", "x,c"])
    with pytest.raises(tq.Error) as e:
        tq.sort_csv(path, tmp / "out.csv", keys=["1:int"], temp_dirs=tmp)
    assert str(e.value) == path + ":3: column 1 (int): 'x' is not a 64-bit integer"
    assert e.value.code is None and not os.path.exists(tmp / "out.csv")
    with pytest.raises(tq.InvalidArgument, match="invalid key '0': columns are numbered from 1"):
        tq.sort_csv(path, keys=["0"])
    with pytest.raises(tq.InvalidArgument, match="unknown option '--frobnicate'"):
        tq.tqsort(["--frobnicate", "-k", "1", path])
    with pytest.raises(tq.Error, match="cannot read '.*missing.csv'"):
        tq.sort_csv(str(tmp / "missing.csv"), keys=["1"], temp_dirs=tmp)
    with pytest.raises(tq.InvalidArgument, match="for the command line"):
        tq.tqsort(["--help"])


def big_input(tmp, n=400000):
    return write_csv(tmp / "big.csv", ["%d,row %d" % ((i * 7919) % n, i) for i in range(n)])


def test_progress_is_heard_on_the_calling_thread_and_stops_the_run(tmp):
    path = big_input(tmp)
    heard = []

    def listen(phase, fraction):
        heard.append((phase, fraction, threading.current_thread() is threading.main_thread()))

    tq.sort_csv(path, tmp / "out.csv", keys=["1:int"], memory="2M", temp_dirs=tmp, progress=listen)
    assert heard and all(p in ("reading", "merging") and 0 <= f <= 1 and main for p, f, main in heard)
    assert heard[0][0] == "reading"

    os.unlink(tmp / "out.csv")
    with pytest.raises(tq.Stopped) as e:
        tq.sort_csv(path, tmp / "out.csv", keys=["1:int"], memory="2M", temp_dirs=tmp,
                    progress=lambda p, f: False)
    assert e.value.code == "stopped"
    assert not os.path.exists(tmp / "out.csv")

    def broken(phase, fraction):
        raise LookupError("progress broke")

    with pytest.raises(LookupError, match="progress broke"):
        tq.sort_csv(path, tmp / "out.csv", keys=["1:int"], memory="2M", temp_dirs=tmp, progress=broken)
    assert not os.path.exists(tmp / "out.csv")


def test_the_gil_is_released_while_tqsort_reads(tmp):
    # The run reads a FIFO that only this test's main thread writes: were the GIL held
    # while tqsort waits for its input, the writer could never run and this would hang.
    fifo = str(tmp / "fifo")
    os.mkfifo(fifo)
    outcome = {}

    def sort():
        try:
            tq.sort_csv(fifo, tmp / "out.csv", keys=["1:int"], temp_dirs=tmp)
            outcome["ok"] = True
        except Exception as e:  # reported below
            outcome["error"] = e

    t = threading.Thread(target=sort)
    t.start()
    with open(fifo, "w") as f:
        f.write("".join("%d\n" % (i * 37 % 1000) for i in range(1000)))
    t.join(60)
    assert not t.is_alive() and outcome == {"ok": True}, outcome
    assert [int(x) for x in open(tmp / "out.csv")] == sorted(i * 37 % 1000 for i in range(1000))


def test_runs_from_several_threads_take_turns(tmp):
    path = big_input(tmp, 100000)
    errors = []

    def sort(i):
        try:
            tq.sort_csv(path, tmp / ("out%d.csv" % i), keys=["1:int"], stable=True, temp_dirs=tmp)
        except Exception as e:
            errors.append(e)

    threads = [threading.Thread(target=sort, args=(i,)) for i in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    assert errors == []
    outs = [open(tmp / ("out%d.csv" % i), "rb").read() for i in range(3)]
    assert outs[0] == outs[1] == outs[2] and outs[0].startswith(b"0,row 0\n1,row")
    # A row sort that names no directory still finds the one it was given.
    assert list(tq.sort([(2,), (1,)], columns=[int], keys=[0], temp_dirs=tmp)) == [(1,), (2,)]
