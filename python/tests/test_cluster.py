"""The sort across machines on a local Dask cluster: worker processes on the loopback
address, each with its own memory limit, a directory they all see.  The parts, in
order, must be byte for byte what `tqsort -s` writes for the same input.

TQ_CLUSTER_ROWS sets the rows of the large run (default 200000; a few million for a
measurement: it prints the times and each worker's peak memory), TQ_CLUSTER_MEMORY the
memory of each task (default 8 MiB), TQ_CLUSTER_WORKERS the worker processes (default 2)."""

import logging
import os
import random
import resource
import subprocess
import time

import pytest

distributed = pytest.importorskip("distributed")

import tqdatafile as tq
from tqdatafile.cluster import sort_csv_on_cluster
from conftest import run_tqsort

WORKERS = int(os.environ.get("TQ_CLUSTER_WORKERS", 2))  # worker processes, 2 to 4
LIMIT = 320 << 20   # each worker's memory limit
MEMORY = int(os.environ.get("TQ_CLUSTER_MEMORY", 8 << 20))  # what a task may hold (a range's -S)
# What a task may add to its worker's peak beyond MEMORY: tqsort's buffers (about ten
# times 1/128 of -S, at least 64 KiB each), the split's record, Python's objects.
MARGIN = 24 << 20
BASELINE = {}       # each worker's peak memory before the first task


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    cluster = distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1, processes=True,
                                       memory_limit=LIMIT, host="127.0.0.1", dashboard_address=":0",
                                       local_directory=str(tmp_path_factory.mktemp("workers")),
                                       silence_logs=logging.ERROR)
    c = distributed.Client(cluster)
    BASELINE.update(c.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024))
    yield c
    c.close()
    cluster.close()


def make_inputs(tmp, n, seed=5, skew=False, payload=0):
    """Three files of n rows in all: a byte-order mark and CRLF in the first, quoted
    fields with line breaks, duplicates, empty (null) keys, no line end at the very end;
    with `skew`, half the rows have the key 7; each row ends with `payload` bytes more."""
    rng = random.Random(seed)
    words = ["pear", "Apple", "fig", "", "\"two\nlines\"", "\"a, b\"", "kiwi", "zz"]
    paths = []
    cuts = [0, n // 2, n * 3 // 4, n]
    pad = "," + "p" * payload if payload else ""
    for f in range(3):
        lines = []
        for i in range(cuts[f], cuts[f + 1]):
            key = 7 if skew and rng.random() < 0.5 else rng.randrange(-2000, 2000)
            lines.append("%s,%s,%d.%d,2024-%02d-%02d,%d%s" % (
                "" if rng.random() < 0.01 else key, rng.choice(words), rng.randrange(50), rng.randrange(10),
                rng.randrange(1, 13), rng.randrange(1, 29), i, pad))
        end = "\r\n" if f == 0 else "\n"
        text = ("\ufeff" if f == 0 else "") + end.join(lines) + (end if f < 2 else "")
        path = tmp / ("in%d.csv" % f)
        path.write_bytes(text.encode())
        paths.append(str(path))
    return paths


def single_sort(tqsort_bin, tmp, args, inputs):
    status, out, err = run_tqsort(tqsort_bin, ["-s"] + args + inputs, tmp)
    assert status == 0, err
    return out


def concatenated(parts):
    return b"".join(open(p, "rb").read() for p in parts)


def check_memory(result):
    assert len(result.peak_memory) >= 1
    for address, peak in result.peak_memory.items():
        assert peak < LIMIT, "%s peaked at %d MiB" % (address, peak >> 20)
        assert peak - BASELINE[address] < MEMORY + MARGIN, "%s grew by %d MiB" % (
            address, (peak - BASELINE[address]) >> 20)


@pytest.mark.parametrize("keys,args", [
    (["1:int"], ["-k", "1:int"]),
    (["2:str:r", "3:dec"], ["-k", "2:str:r", "-k", "3:dec"]),
    (["4:date:r", "2"], ["-k", "4:date:r", "-k", "2"]),
])
def test_parts_are_what_tqsort_s_writes(client, tmp, tqsort_bin, keys, args):
    inputs = make_inputs(tmp, 30000)
    result = sort_csv_on_cluster(client, inputs, tmp / "out", keys=keys, memory=MEMORY,
                                 share_bytes=64 << 10, ranges=5)
    assert concatenated(result.parts) == single_sort(tqsort_bin, tmp, args, inputs)
    assert sorted(os.listdir(tmp / "out")) == [os.path.basename(p) for p in result.parts]
    check_memory(result)


def test_a_share_begun_inside_a_quoted_field_is_split_again(client, tmp, tqsort_bin):
    # Every record is 100 bytes and every share boundary falls 10 bytes into one, inside
    # a quoted field whose line break comes 40 bytes later.
    rows = ['%05d,"%s\n%s"' % ((i * 7919) % 3000, "x" * 46, "y" * 44) for i in range(3000)]
    assert all(len(r) + 1 == 100 for r in rows)
    path = tmp / "quoted.csv"
    path.write_text("\n".join(rows) + "\n")
    result = sort_csv_on_cluster(client, [str(path)], tmp / "out", keys=["1:int"], memory=MEMORY,
                                 share_bytes=100 * 97 + 10, ranges=3)
    assert result.repairs == 1  # the first share that began wrong, and the file's rest with it
    assert concatenated(result.parts) == single_sort(tqsort_bin, tmp, ["-k", "1:int"], [str(path)])


def test_a_record_that_begins_with_a_byte_order_mark_keeps_it(client, tmp, tqsort_bin):
    # The first share holds only the header: the range's first piece begins with the
    # record that begins with a mark's bytes, which are the record's own.
    path = tmp / "marked.csv"
    path.write_bytes(b"h,n\n\xef\xbb\xbfx,1\nb,0\nc,2\n")
    result = sort_csv_on_cluster(client, [str(path)], tmp / "out", keys=["2:int"], header=True, memory=MEMORY,
                                 share_bytes=4, ranges=1)
    expected = single_sort(tqsort_bin, tmp, ["-k", "2:int", "--header"], [str(path)])
    assert expected == b"h,n\nb,0\n\xef\xbb\xbfx,1\nc,2\n"
    assert concatenated(result.parts) == expected


def test_a_header_names_the_keys_and_heads_the_parts(client, tmp, tqsort_bin):
    inputs = []
    for f in range(2):
        rows = ["%d,%s" % ((i * 31 + f) % 97, "n%d" % i) for i in range(5000)]
        path = tmp / ("h%d.csv" % f)
        path.write_text("count,name\n" + "\n".join(rows) + "\n")
        inputs.append(str(path))
    result = sort_csv_on_cluster(client, inputs, tmp / "out", keys=["count:int:r"], header=True,
                                 memory=MEMORY, share_bytes=8 << 10, ranges=4)
    assert open(result.parts[0], "rb").read() == b"count,name\n"
    expected = single_sort(tqsort_bin, tmp, ["-k", "count:int:r", "--header"], inputs)
    assert concatenated(result.parts) == expected

    (tmp / "h1.csv").write_text("count,other\n1,x\n")
    with pytest.raises(tq.Error, match="h1.csv:1: the header 'count,other' differs from the header of"):
        sort_csv_on_cluster(client, inputs, tmp / "out2", keys=["count:int"], header=True, memory=MEMORY)
    assert os.listdir(tmp / "out2") == []


def test_equal_keys_share_a_range_even_when_half_the_rows_hold_one(client, tmp, tqsort_bin):
    # 500000 rows of 80 MB: the range of the key that half of them hold is larger than a
    # task's memory and its margin together, and is sorted on disk within them.
    inputs = make_inputs(tmp, 500000, skew=True, payload=120)
    assert sum(os.path.getsize(p) for p in inputs) > 2 * (MEMORY + MARGIN)
    result = sort_csv_on_cluster(client, inputs, tmp / "out", keys=["1:int"], memory=MEMORY,
                                 share_bytes=4 << 20, ranges=4)
    assert concatenated(result.parts) == single_sort(tqsort_bin, tmp, ["-k", "1:int"], inputs)
    heavy = max(result.ranges)
    assert heavy >= 0.45 * sum(result.ranges)  # the key of half the rows: one range
    others = sorted(result.ranges)[:-1]
    assert others[-1] < 3 * others[0] + 1000, result.ranges  # the rest share what is left
    check_memory(result)


def test_unique_keeps_the_first_row_of_each_key(client, tmp, tqsort_bin):
    inputs = make_inputs(tmp, 20000, seed=9)
    result = sort_csv_on_cluster(client, inputs, tmp / "out", keys=["2", "4:date"], unique=True,
                                 memory=MEMORY, share_bytes=32 << 10, ranges=3)
    assert concatenated(result.parts) == single_sort(tqsort_bin, tmp, ["-u", "-k", "2", "-k", "4:date"], inputs)


def test_a_bad_value_fails_with_tqsorts_message_and_leaves_nothing(client, tmp, tqsort_bin):
    inputs = make_inputs(tmp, 20000, seed=11)
    text = open(inputs[1], "rb").read()
    at = len(text) // 2
    while not (text[at:at + 1] == b"\n" and text[at - 1:at].isdigit()):  # a record's end
        at += 1
    at += 1
    open(inputs[1], "wb").write(text[:at] + b"notanumber" + text[at:])
    status, _, err = run_tqsort(tqsort_bin, ["-k", "1:int"] + inputs, tmp)
    assert status == 2
    with pytest.raises(tq.Error) as e:
        sort_csv_on_cluster(client, inputs, tmp / "out", keys=["1:int"], memory=MEMORY, share_bytes=16 << 10)
    assert "tqsort: %s\n" % e.value == err
    assert os.listdir(tmp / "out") == []


def tqsort_merges(tqsort_bin, tmp):
    empty = tmp / "empty.csv"
    empty.write_bytes(b"")
    return subprocess.run([tqsort_bin, "-m", "-k", "1", str(empty)], capture_output=True).returncode == 0


def test_merging_the_parts_in_any_order_gives_the_same(client, tmp, tqsort_bin):
    if not tqsort_merges(tqsort_bin, tmp):
        pytest.skip("this tqsort has no -m (merging sorted inputs) yet")
    inputs = make_inputs(tmp, 20000, seed=13)
    result = sort_csv_on_cluster(client, inputs, tmp / "out", keys=["1:int"], memory=MEMORY,
                                 share_bytes=32 << 10, ranges=5)
    parts = [p for p in result.parts if not p.endswith("part-00000.csv")]
    random.Random(1).shuffle(parts)
    lead = open(result.parts[0], "rb").read() if result.parts[0].endswith("part-00000.csv") else b""
    status, merged, err = run_tqsort(tqsort_bin, ["-m", "-s", "-k", "1:int"] + parts, tmp)
    assert status == 0, err
    assert lead + merged == single_sort(tqsort_bin, tmp, ["-k", "1:int"], inputs)


def test_the_large_run(client, tmp, tqsort_bin):
    rows = int(os.environ.get("TQ_CLUSTER_ROWS", "200000"))
    inputs = make_inputs(tmp, rows, seed=17)
    t = time.monotonic()
    expected = single_sort(tqsort_bin, tmp, ["-k", "1:int", "-S", str(MEMORY)], inputs)
    single = time.monotonic() - t
    result = sort_csv_on_cluster(client, inputs, tmp / "out", keys=["1:int"], memory=MEMORY)
    assert concatenated(result.parts) == expected
    check_memory(result)
    print("\n%d rows, %d MiB: one tqsort -s -S %dM %.2f s; cluster of %d: %s; %d ranges of %d to %d rows; "
          "peak memory per worker (growth): %s" % (
              rows, sum(os.path.getsize(p) for p in inputs) >> 20, MEMORY >> 20, single, WORKERS,
              ", ".join("%s %.2f s" % kv for kv in result.seconds.items()), len(result.ranges),
              min(result.ranges), max(result.ranges),
              ", ".join("%d MiB (+%d MiB)" % (p >> 20, (p - BASELINE[a]) >> 20)
                        for a, p in sorted(result.peak_memory.items()))))
