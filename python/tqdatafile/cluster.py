"""Sorting CSV inputs larger than one machine on a Dask cluster, as tqsort -s sorts them.

    from distributed import Client
    from tqdatafile.cluster import sort_csv_on_cluster

    client = Client("tcp://scheduler:8786")
    result = sort_csv_on_cluster(client, ["/shared/in/a.csv", "/shared/in/b.csv"],
                                 "/shared/out", keys=["2:int"], memory="256M")
    print(result.parts)     # /shared/out/part-00000.csv, ...: concatenated, the sort

or from a shell: python3 -m tqdatafile.cluster --scheduler tcp://scheduler:8786 -k 2:int
-o /shared/out /shared/in/*.csv (--local N starts a local cluster of N workers).

How it works, in the way large sorts are done:

1. Shares.  Each input file is cut into shares of about `share_bytes`.
2. Sample.  Each share gives keys from evenly spread offsets (a task per share); the
   driver sorts them and cuts them into ranges of about equal counts.  A boundary is a
   key: a range holds the keys above the boundary before it and up to its own, so
   equal keys always share a range (a key held by half the rows makes one large range,
   which its worker sorts within its memory like any other, on disk).
3. Split.  A task per share writes each of its records to the piece file of its range,
   in a directory every worker sees.  Each share reports where its first record began
   and where the record after its last begins; a share that did not begin where the one
   before it ended (its first line start lay inside a quoted field) is split again,
   with the rest of its file, from there.
4. Sort.  A task per range runs tqsort -s on the range's pieces, in share order, within
   the memory given, and writes the range's part.  Ties keep their input order: a
   range's pieces come in input order and tqsort -s keeps it.
5. The parts, in order, are byte for byte what `tqsort -s` of all the inputs writes; a
   byte-order mark and the header (with --header) are part 0.  Parts never overlap in
   their keys, so `tqsort -m` of the parts in any order gives the same.

Every worker and the driver must see the inputs, the work directory and the output
directory under the same paths (a shared file system), and have this module.  Each
task holds about `memory` bytes of its own (the sort's -S, the split's buffers) on top
of the worker's Python.  Failures are raised as tqdatafile.Error with tqsort's message
(the line numbers those of the whole file); the work directory is removed however the
sort ends, and a failed sort leaves no part behind.
"""

import argparse
import bisect
import os
import resource
import shutil
import sys
import tempfile
import time

from . import Error, InvalidArgument, _tqdatafile, _tqsort_args, tqsort

_UTF8_MARK = b"\xef\xbb\xbf"


class Share:
    """A byte range [begin, end) of one input file: the records that begin in it."""

    def __init__(self, index, path, file_index, begin, end):
        self.index = index          # its place in the input order
        self.path = path
        self.file_index = file_index
        self.begin = begin
        self.end = end
        self.aligned = begin == 0  # known to begin at a record's start

    def __repr__(self):
        return "Share(%d, %r, %d, %d)" % (self.index, self.path, self.begin, self.end)


class Result:
    """What a cluster sort made: the parts in order, and figures of the run.

    parts          the output files; concatenated in this order, the sorted input
    ranges         rows per key range
    seconds        per phase: "sample", "split", "sort", and "total"
    peak_memory    per worker address: the largest resident memory its process had
                   reached when its last task of this sort ended (bytes)
    repairs        shares split again because their first line start lay in a quoted field
    """

    def __init__(self):
        self.parts = []
        self.ranges = []
        self.seconds = {}
        self.peak_memory = {}
        self.repairs = 0


def _peak_rss():
    """The largest resident memory this process has had, in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def _worker_address():
    try:
        from distributed import get_worker
        return get_worker().address
    except (ImportError, ValueError):
        return "driver"


# --- tasks: they run on the workers ------------------------------------------------------

def _sample_task(args, share, count, memory):
    keys = _tqdatafile._sample_keys(args, share.path, share.begin, share.end, count, memory)
    return keys, _worker_address(), _peak_rss()


def _split_task(args, share, header, header_file, boundaries, prefix, memory):
    """Splits a share; a failure is returned, not raised: the driver decides whether the
    share began where it should have (then it is the input's) or not (then it goes)."""
    try:
        split = _tqdatafile._split_share(args, share.path, share.begin, share.end, header,
                                         header_file, 1, boundaries, prefix, memory)
        split["error"] = None
    except Error as e:
        split = {"error": str(e), "first": None}
    return split, _worker_address(), _peak_rss()


def _sort_task(args, pieces, part, strip_mark, temp_dir):
    """Sorts one range's pieces into its part, then removes the pieces."""
    if not pieces:
        open(part, "wb").close()
    else:
        tqsort(args + ["-T", temp_dir, "-o", part, "--"] + pieces)
        if strip_mark:
            _strip_mark(part)
    for p in pieces:
        os.unlink(p)
    return os.path.getsize(part), _worker_address(), _peak_rss()


def _strip_mark(path):
    """Takes off a byte-order mark that tqsort wrote because a piece began with one it
    was given (the record's own bytes follow it)."""
    with open(path, "rb") as src, open(path + ".strip", "wb") as dst:
        if src.read(len(_UTF8_MARK)) != _UTF8_MARK:
            raise Error("internal error: '%s' was to begin with a byte-order mark" % path)
        shutil.copyfileobj(src, dst, 1 << 20)
    os.replace(path + ".strip", path)


# --- the driver ----------------------------------------------------------------------------

def _boundaries(samples, ranges):
    """At most ranges - 1 keys that cut the sorted samples into runs of about equal
    counts; all copies of a key stay in one run, and the runs after a large one share
    what is left."""
    samples = sorted(samples)
    cuts = []
    i = 0
    while len(cuts) < ranges - 1 and i < len(samples):
        left = ranges - len(cuts)
        want = i + max(1, round((len(samples) - i) / left))
        key = samples[min(want, len(samples)) - 1]
        i = bisect.bisect_right(samples, key)
        if i >= len(samples):
            break  # the rest is one range
        cuts.append(key)
    return cuts


class _Job:
    """One cluster sort's state: its options, its files, its figures."""

    def __init__(self, client, inputs, output_dir, args, memory, work_dir):
        self.client = client
        self.inputs = [os.path.abspath(os.fsdecode(p)) for p in inputs]
        self.output_dir = os.path.abspath(output_dir)
        self.memory = memory
        self.options = _tqdatafile._tqsort_options(args + ["--"] + self.inputs)
        if self.options["collate"]:
            raise InvalidArgument("a cluster sort orders by the library's key bytes; --collate "
                                  "orders within one sort only")
        if "-" in self.inputs:
            raise InvalidArgument("a cluster sort reads files that every worker sees, not standard input")
        self.work = tempfile.mkdtemp(prefix="tqsort-cluster-", dir=work_dir or self.output_dir)
        self.result = Result()
        self.range_args = []   # tqsort's arguments for a range's sort: keys by number
        self.split_args = []   # and for reading the inputs (--header: their first lines)
        self.header = b""      # with --header: the header's content, and its file
        self.header_file = ""
        self.shares_made = 0

    def gather(self, futures):
        out = []
        for value, address, peak in self.client.gather(futures):
            self.result.peak_memory[address] = max(self.result.peak_memory.get(address, 0), peak)
            out.append(value)
        return out

    def lead(self):
        """The output's first bytes: tqsort's byte-order mark (when the first input with
        bytes has one) and, with --header, the header; the header's content is kept."""
        args = ["-t", self.options["separator"], "-k", "1"]
        for path in self.inputs:
            if os.path.getsize(path) > 0:
                bom, record = _tqdatafile._first_record(args, path)
                mark = _UTF8_MARK if bom else b""
                if not self.options["header"]:
                    return mark
                content = record[:-2] if record.endswith(b"\r\n") else record[:-1]
                self.header, self.header_file = content, path
                return mark + record
        return b""

    def share(self, path, file_index, begin, end):
        s = Share(self.shares_made, path, file_index, begin, end)
        self.shares_made += 1
        return s

    def piece_prefix(self, share):
        return os.path.join(self.work, "s%06d-r" % share.index)

    def split(self, shares, boundaries):
        """Splits every share; shares that began at a wrong line start are split again,
        with the rest of their file, from where the share before them ended.  Returns the
        shares in input order and their splits."""
        order = list(shares)
        results = {}
        pending = order
        while pending:
            futures = [self.client.submit(
                _split_task, self.split_args, s, self.header if s.begin == 0 else b"",
                self.header_file if s.begin == 0 else "", boundaries, self.piece_prefix(s), self.memory,
                pure=False) for s in pending]
            for s, split in zip(pending, self.gather(futures)):
                results[s.index] = split
            order, pending = self.check_chain(order, results)
        return order, results

    def check_chain(self, order, results):
        """Walks the shares in input order.  A share that did not begin where the one before
        it (in its file) ended goes, with the rest of its file, and one share from there
        takes their place (returned to be split).  A share that failed and began where it
        should have fails the sort, once every share before it is settled."""
        kept, again = [], []
        cut_file = None   # the file whose rest was replaced
        for s in order:
            if s.file_index == cut_file:
                self.drop(s, results.pop(s.index))
                continue
            split = results[s.index]
            before = kept[-1] if kept and kept[-1].file_index == s.file_index else None
            # A share that failed began where it should have only when that is known: at
            # its file's start, or where the share before it ended (one split again).
            failed = split["error"] is not None
            if before is not None and (failed and not s.aligned or
                                       not failed and split["first"] != results[before.index]["next"]):
                self.drop(s, results.pop(s.index))
                cut_file = s.file_index
                self.result.repairs += 1
                begin = results[before.index]["next"]
                if begin < os.path.getsize(s.path):
                    repair = self.share(s.path, s.file_index, begin, os.path.getsize(s.path))
                    repair.aligned = True
                    again.append(repair)
                    kept.append(repair)
                continue
            kept.append(s)
            if split["error"] is not None and not again:
                raise Error(self.exact_error(kept, results, s))
        return kept, again

    def drop(self, share, split):
        for r, rows in enumerate(split.get("rows") or []):
            if rows:
                os.unlink(self.piece_prefix(share) + str(r))

    def exact_error(self, kept, results, share):
        """tqsort's message for a share that failed, with the line numbers of its file."""
        first_line = 1
        if share.begin > 0:
            first_line += sum(results[k.index]["lines"] for k in kept
                              if k.file_index == share.file_index and k is not share)
        try:
            _tqdatafile._split_share(self.split_args, share.path, share.begin, share.end,
                                     self.header if share.begin == 0 else b"",
                                     self.header_file if share.begin == 0 else "", first_line, [], "",
                                     self.memory)
        except Error as e:
            return str(e)
        return results[share.index]["error"]


def sort_csv_on_cluster(client, inputs, output_dir, *, keys, separator=",", header=False,
                        unique=False, lenient=False, memory="64M", share_bytes=None, ranges=None,
                        samples_per_range=64, work_dir=None, parallel=1):
    """Sorts CSV files with a Dask cluster into parts in `output_dir`, returns a Result.

    keys, separator, header, unique, lenient   as tqsort's options (-k values etc.); the
                   sort is stable: the parts are what `tqsort -s` writes
    memory         what each task may hold (tqsort's -S for a range's sort: bytes, or "256M")
    share_bytes    the size of a share of the input (default: the inputs cut into four
                   shares per worker, 1 MiB to 256 MiB each)
    ranges         key ranges, one part each (default: twice the workers, or more so that a
                   range is about what `memory` sorts)
    work_dir       where the pieces go (default: a directory in output_dir)
    parallel       tqsort's --parallel for a range's sort (threads a task takes)
    """
    started = time.monotonic()
    memory_bytes = _bytes(memory)
    args = _tqsort_args(keys, separator=separator, header=header, unique=unique, lenient=lenient)
    os.makedirs(output_dir, exist_ok=True)
    job = _Job(client, inputs, output_dir, args, memory_bytes, work_dir)
    try:
        return _run(job, args, started, share_bytes, ranges, samples_per_range, parallel)
    except BaseException:
        for part in job.result.parts:
            if os.path.exists(part):
                os.unlink(part)
        raise
    finally:
        shutil.rmtree(job.work, ignore_errors=True)


def _bytes(memory):
    if isinstance(memory, int):
        return memory
    units = {"K": 10, "M": 20, "G": 30, "T": 40}
    text = str(memory).strip()
    if text and text[-1].upper() in units:
        return int(text[:-1]) << units[text[-1].upper()]
    return int(text)


def _run(job, args, started, share_bytes, ranges, samples_per_range, parallel):
    workers = max(1, len(job.client.scheduler_info().get("workers", {})))
    total = sum(os.path.getsize(p) for p in job.inputs)
    if share_bytes is None:
        share_bytes = min(256 << 20, max(1 << 20, total // (4 * workers) + 1))
    if ranges is None:
        ranges = max(2 * workers, -(-total * 5 // (4 * job.memory)))
    lead = job.lead()
    numbered = _tqdatafile._resolved_keys(args + ["--"] + job.inputs, job.header)
    job.range_args = [a for k in numbered for a in ("-k", k)] + ["-t", job.options["separator"]]
    job.range_args += [flag for on, flag in [(job.options["unique"], "-u"),
                                             (job.options["lenient"], "--lenient")] if on]
    job.split_args = job.range_args + (["--header"] if job.options["header"] else [])
    shares = [job.share(path, i, begin, end) for i, path in enumerate(job.inputs)
              for begin, end in _cuts(os.path.getsize(path), share_bytes)]

    t = time.monotonic()
    count = max(8, samples_per_range * ranges // max(1, len(shares)))
    futures = [job.client.submit(_sample_task, job.split_args, s, count, job.memory, pure=False)
               for s in shares]
    boundaries = _boundaries([k for keys in job.gather(futures) for k in keys], ranges)
    job.result.seconds["sample"] = time.monotonic() - t

    t = time.monotonic()
    order, results = job.split(shares, boundaries)
    job.result.seconds["split"] = time.monotonic() - t

    t = time.monotonic()
    _sort_ranges(job, order, results, boundaries, lead, parallel)
    job.result.seconds["sort"] = time.monotonic() - t
    job.result.seconds["total"] = time.monotonic() - started
    return job.result


def _cuts(size, share_bytes):
    begins = list(range(0, size, share_bytes)) or [0]
    return [(b, begins[i + 1] if i + 1 < len(begins) else size) for i, b in enumerate(begins)]


def _sort_ranges(job, order, results, boundaries, lead, parallel):
    """A task per range sorts its pieces into its part; part 0 is the lead, if any."""
    parts = job.result.parts
    if lead:
        parts.append(os.path.join(job.output_dir, "part-00000.csv"))
        with open(parts[0], "wb") as f:
            f.write(lead)
    sort_args = job.range_args + ["-s", "-S", str(job.memory), "--parallel=%d" % parallel,
                                  "--no-progress"]
    futures = []
    for r in range(len(boundaries) + 1):
        holding = [s for s in order if results[s.index]["rows"][r]]
        pieces = [job.piece_prefix(s) + str(r) for s in holding]
        strip = bool(holding) and results[holding[0].index]["mark_added"][r]
        part = os.path.join(job.output_dir, "part-%05d.csv" % (r + 1))
        parts.append(part)
        job.result.ranges.append(sum(results[s.index]["rows"][r] for s in holding))
        futures.append(job.client.submit(_sort_task, sort_args, pieces, part, strip, job.work, pure=False))
    job.gather(futures)


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python3 -m tqdatafile.cluster",
        description="Sorts CSV files on a Dask cluster into parts that, concatenated in order, "
                    "are what tqsort -s writes.")
    parser.add_argument("inputs", nargs="+", help="CSV files every worker can read")
    parser.add_argument("-k", "--key", action="append", required=True, help="as tqsort's -k")
    parser.add_argument("-o", "--output-dir", required=True, help="where the parts go")
    parser.add_argument("-t", "--field-separator", default=",")
    parser.add_argument("--header", action="store_true")
    parser.add_argument("-u", "--unique", action="store_true")
    parser.add_argument("--lenient", action="store_true")
    parser.add_argument("-S", "--buffer-size", default="64M", help="memory of each task")
    parser.add_argument("--ranges", type=int)
    parser.add_argument("--share-bytes", type=int)
    parser.add_argument("--work-dir")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--scheduler", help="the address of a running scheduler")
    where.add_argument("--local", type=int, metavar="N", help="a local cluster of N worker processes")
    parser.add_argument("--memory-limit", default="1GiB", help="each local worker's memory limit")
    a = parser.parse_args(argv)

    from distributed import Client, LocalCluster
    cluster = None
    if a.local:
        cluster = LocalCluster(n_workers=a.local, threads_per_worker=1, processes=True,
                               memory_limit=a.memory_limit, host="127.0.0.1", dashboard_address=":0")
    client = Client(cluster if cluster is not None else a.scheduler)
    try:
        result = sort_csv_on_cluster(
            client, a.inputs, a.output_dir, keys=a.key, separator=a.field_separator, header=a.header,
            unique=a.unique, lenient=a.lenient, memory=a.buffer_size, share_bytes=a.share_bytes,
            ranges=a.ranges, work_dir=a.work_dir)
    except Error as e:
        print("tqdatafile.cluster: %s" % e, file=sys.stderr)
        return 2
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    for part in result.parts:
        print(part)
    if result.repairs:
        print("shares split again (begun inside a quoted field): %d" % result.repairs, file=sys.stderr)
    print("seconds: " + ", ".join("%s %.2f" % kv for kv in result.seconds.items()), file=sys.stderr)
    for address, peak in sorted(result.peak_memory.items()):
        print("peak memory %s: %.0f MiB" % (address, peak / (1 << 20)), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
