"""A mixed CCSDS file into columns per packet type: Stream.unpack_file(numpy=True) against the same
split and decode written by hand with struct and numpy (bench/stream_by_hand.py), in the same
run; then one thread against two.

    PYTHONPATH=build python3 bench/bench_stream.py [--megabytes 50] [--runs 3] [--file PATH]

The file is written by examples/ccsds_stream.py (seven packet types, variable lengths, idle
packets, a sequence gap, a truncated tail) unless --file names one it wrote. Before timing, the
two sides must give the same columns (names, dtypes, values; the bytes past each layout as a
column of bytes) and the same counts. Each side reads the file itself. A run times each side
--repeat times, in turns, and keeps the best; the ratio printed per run is the stream's time
over the hand-written one's, and the median of the runs' ratios is the figure.

Threads, not a target (a file of variable-length packets must be walked before it can be shared
out): one thread decoding the file, against two threads each decoding the whole file at once
(the same work twice: how far one call runs beside another), and against two threads each
decoding one half of the buffer, cut at the packet boundary nearest the middle (the offsets
column of an earlier call says where packets start).
"""

import argparse
import importlib.util
import os
import statistics
import sys
import tempfile
import threading
import time
import warnings
from pathlib import Path

import numpy as np

from fieldpack_layout import StreamWarning, ccsds

ROOT = Path(__file__).resolve().parent.parent


def load(relative, name):
    spec = importlib.util.spec_from_file_location(name, ROOT / relative)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


example = load("examples/ccsds_stream.py", "ccsds_stream")
by_hand = load("bench/stream_by_hand.py", "stream_by_hand")


def read_by_hand(path):
    with open(path, "rb") as file:
        data = file.read()
    return by_hand.decode(data)


def check(stream, path):
    """The two sides agree, column by column and count by count; the packet count."""
    columns, counts = read_by_hand(path)
    result = stream.unpack_file(path, numpy=True)
    assert list(result) == list(columns)
    for key, mine in result.items():
        theirs = columns[key]
        assert list(mine) == list(theirs), hex(key)
        for name, column in mine.items():
            other = theirs[name]
            if isinstance(column, list):
                assert column == other, (hex(key), name)
            else:
                assert column.dtype == other.dtype, (hex(key), name)
                assert np.array_equal(column, other, equal_nan=column.dtype.kind == "f"), name
    summary = result.summary
    for name in ("packets", "short", "gaps", "repeats", "idle", "unknown", "truncated"):
        assert getattr(summary, name) == counts[name], name
    return sum(summary.packets.values()) + summary.idle


def best(function, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def in_threads(functions):
    """The time of running the functions at once, one thread each."""
    threads = [threading.Thread(target=f) for f in functions]
    start = time.perf_counter()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return time.perf_counter() - start


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=50.0)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--file", help="a file examples/ccsds_stream.py wrote (kept)")
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore", StreamWarning)

    folder = None
    path = args.file
    if path is None:
        folder = tempfile.mkdtemp()
        path = os.path.join(folder, "level0.bin")
        example.write(path, args.megabytes, 1)
    stream = ccsds.stream(example.layouts(), tail="tail")
    packets = check(stream, path)
    size = os.path.getsize(path)
    print(f"{path}: {size / 1e6:.1f} MB, {packets} packets; the two sides agree")

    def stream_file():
        stream.unpack_file(path, numpy=True)

    def hand_file():
        read_by_hand(path)

    ratios = []
    for run in range(args.runs):
        ours, theirs = [], []
        for _ in range(args.repeat):
            ours.append(best(stream_file, 1))
            theirs.append(best(hand_file, 1))
        ratio = min(ours) / min(theirs)
        ratios.append(ratio)
        print(f"run {run + 1}: Stream.unpack_file {min(ours) * 1e3:7.1f} ms, by hand "
              f"{min(theirs) * 1e3:7.1f} ms: {ratio:.3f}x ({1 / ratio:.1f} times faster)")
    median = statistics.median(ratios)
    print(f"median of {args.runs}: {median:.3f}x ({1 / median:.1f} times faster); target: "
          f"at most 0.25x{'' if median <= 0.25 else ' (missed)'}")

    # Threads: the buffer in memory, so that reading the file is not what is measured.
    with open(path, "rb") as file:
        data = file.read()
    offsets = np.sort(np.concatenate([columns["offset"] for columns in
                                      stream.unpack_columns(data, numpy=True,
                                                            offsets=True).values()]))
    cut = int(offsets[np.searchsorted(offsets, len(data) // 2)])
    halves = [memoryview(data)[:cut], memoryview(data)[cut:]]

    def whole():
        stream.unpack_columns(data, numpy=True)

    one, twice, halved = [], [], []
    for run in range(args.runs):
        one.append(best(whole, args.repeat))
        twice.append(min(in_threads([whole, whole]) for _ in range(args.repeat)))
        halved.append(min(in_threads([lambda h=h: stream.unpack_columns(h, numpy=True)
                                      for h in halves]) for _ in range(args.repeat)))
        print(f"run {run + 1}: one thread {one[-1] * 1e3:.1f} ms; two threads, each the whole "
              f"buffer {twice[-1] * 1e3:.1f} ms; two threads, a half each "
              f"{halved[-1] * 1e3:.1f} ms")
    one_t, twice_t, halved_t = (statistics.median(x) for x in (one, twice, halved))
    print(f"median of {args.runs}: one thread {one_t * 1e3:.1f} ms; two threads doing the work "
          f"twice {twice_t * 1e3:.1f} ms ({2 * one_t / twice_t:.2f}x the throughput of one); "
          f"two threads a half each {halved_t * 1e3:.1f} ms ({one_t / halved_t:.2f}x as fast as "
          f"one)")
    if folder:
        os.remove(path)
        os.rmdir(folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
