"""Throughput of Layout.unpack_columns with one and more threads, each decoding its share of one
archive (slices of one memoryview), numpy columns and list columns.

    PYTHONPATH=build/bench python3 bench/bench_columns.py [--packets 200000] [--threads 1 2]

The layout is 24 unsigned byte-aligned fields in both byte orders (78-byte packets), the shape of
the yardstick's telemetry24_u. Times are the median of --repeat runs of the whole archive;
throughput is packets and field values per second. Numeric fields into numpy arrays are decoded
without the interpreter lock, so threads add throughput there; list columns make Python objects
and hold the lock.
"""

import argparse
import random
import statistics
import threading
import time

from fieldpack_layout import Layout

WIDTHS = [16, 16, 16, 16, 8, 8, 32, 16, 32, 32, 64, 16, 64, 8, 32, 32,
          32, 16, 32, 32, 64, 16, 8, 16]
RECIPE = [{"name": f"p{i:02d}", "encoding": "unsigned", "bits": bits,
           "byte_order": "big" if i < 16 else "little", "reverse_bits": False}
          for i, bits in enumerate(WIDTHS)]


def run(layout, view, threads, numpy):
    size = layout.size
    count = len(view) // size
    bounds = [count * k // threads * size for k in range(threads + 1)]
    parts = [view[bounds[k]:bounds[k + 1]] for k in range(threads)]
    results = [None] * threads

    def work(k):
        results[k] = layout.unpack_columns(parts[k], numpy=numpy)

    workers = [threading.Thread(target=work, args=(k,)) for k in range(threads)]
    start = time.perf_counter()
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=200_000)
    parser.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--repeat", type=int, default=9)
    args = parser.parse_args()
    layout = Layout(RECIPE)
    rnd = random.Random(7)
    archive = bytes(rnd.getrandbits(8) for _ in range(layout.size * args.packets))
    view = memoryview(archive)
    try:
        import numpy  # noqa: F401
        modes = [True, False]
    except ImportError:
        modes = [False]
    print(f"{args.packets} packets of {layout.size} bytes, {len(WIDTHS)} fields; "
          f"median of {args.repeat} runs")
    print(f"{'columns':8} {'threads':>7} {'ms':>8} {'Mpackets/s':>11} {'Mvalues/s':>10} "
          f"{'speed-up':>9}")
    for numpy_mode in modes:
        single = None
        for threads in args.threads:
            run(layout, view, threads, numpy_mode)  # warm up: arrays' pages, code
            seconds = statistics.median(run(layout, view, threads, numpy_mode)
                                        for _ in range(args.repeat))
            single = single or seconds
            print(f"{'numpy' if numpy_mode else 'lists':8} {threads:7d} {seconds * 1e3:8.1f} "
                  f"{args.packets / seconds / 1e6:11.1f} "
                  f"{args.packets * len(WIDTHS) / seconds / 1e6:10.0f} {single / seconds:8.2f}x")


if __name__ == "__main__":
    main()
