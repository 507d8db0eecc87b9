"""The speed targets as one table: runs the yardstick harness several times and prints the
median of each ratio that a target is set for, with the target beside it.

    python3 bench/ratios.py                        # CPython: packets, single-value codecs, text
    pypy3 bench/ratios.py                          # the same under PyPy
    python3 bench/ratios.py --runs 3 --harness ../shared/bench/bench.py

The harness (outside this repository) times the installed fieldpack against its peers and a
plain C floor in one run; ratios, not times, are what carry from one machine to another. Run it
on an otherwise idle machine: the medians of three runs are what the tables in README.md give.
"""

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_HARNESS = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "bench", "bench.py"))
PYPY = platform.python_implementation() == "PyPy"

# (what, workload, op, fieldpack's implementation, impl compared against, target): the ratio is
# the first implementation's best time over the second's, in the same run.
if PYPY:
    PACKET_TARGETS = [
        ("functions, 24 unsigned fields", "telemetry24_u", "unpack", "fieldpack", "floor (C)", 1.4),
        ("functions, 24 unsigned fields", "telemetry24_u", "pack", "fieldpack", "floor (C)", 1.4),
        ("functions, 1 field", "single1", "unpack", "fieldpack", "floor (C)", 1.65),
        ("functions, 1 field", "single1", "pack", "fieldpack", "floor (C)", 1.65),
        ("Layout, 24 unsigned fields", "telemetry24_u", "unpack", "fieldpack Layout", "struct", 1.0),
        ("Layout, 24 unsigned fields", "telemetry24_u", "pack", "fieldpack Layout", "struct", 1.5),
        ("Layout, 24 mixed fields", "telemetry24", "unpack", "fieldpack Layout", "struct", 1.2),
        ("Layout, 1 field", "single1", "unpack", "fieldpack Layout", "struct", 2.0),
        ("Layout, 1 field", "single1", "pack", "fieldpack Layout", "struct", 2.0),
        ("Layout, 1 field, 64 packets", "single1", "unpack", "fieldpack Layout iter x64",
         "struct iter x64", 1.0),
    ]
else:
    PACKET_TARGETS = [
        ("functions, 24 unsigned fields", "telemetry24_u", "unpack", "fieldpack", "floor (C)", 1.0),
        ("functions, 24 unsigned fields", "telemetry24_u", "pack", "fieldpack", "floor (C)", 1.0),
        ("functions, 200 unsigned fields", "wide200", "unpack", "fieldpack", "floor (C)", 1.0),
        ("functions, 200 unsigned fields", "wide200", "pack", "fieldpack", "floor (C)", 1.0),
        ("functions, 1 field", "single1", "unpack", "fieldpack", "floor (C)", 1.2),
        ("functions, 1 field", "single1", "pack", "fieldpack", "floor (C)", 1.2),
        ("Layout, 24 unsigned fields", "telemetry24_u", "unpack", "fieldpack Layout",
         "bitstruct.c compiled", 0.75),
        ("Layout, 24 unsigned fields", "telemetry24_u", "pack", "fieldpack Layout",
         "bitstruct.c compiled", 0.75),
        ("Layout, 24 mixed fields", "telemetry24", "unpack", "fieldpack Layout", "struct", 0.6),
        ("Layout, 24 mixed fields", "telemetry24", "pack", "fieldpack Layout", "struct", 0.5),
        ("Layout bits, 24 bit fields", "bitpacked24", "unpack", "fieldpack Layout bits",
         "bitstruct.c compiled", 0.8),
        ("Layout bits, 24 bit fields", "bitpacked24", "pack", "fieldpack Layout bits",
         "bitstruct.c compiled", 0.8),
    ]
PACKET_WORKLOADS = sorted({target[1] for target in PACKET_TARGETS})
SINGLE_TARGETS = [
    ("two arguments", "single twos_decode", "decode_twos_complement", "builtin (math.gcd)", 1.3),
    ("two arguments", "single twos_encode", "encode_twos_complement", "builtin (math.gcd)", 1.3),
    ("two arguments", "single bcd_decode", "decode_packed_bcd", "builtin (math.gcd)", 1.3),
    ("one argument", "single f16_decode", "decode_ieee754_f16", "builtin (math.fabs)", 1.5),
    ("one argument", "single f16_encode", "encode_ieee754_f16", "builtin (math.fabs)", 1.5),
    ("one argument", "single f32_decode", "decode_ieee754_f32", "builtin (math.fabs)", 1.5),
]


def run_harness(harness, args):
    cmd = [sys.executable, harness] + args
    out = subprocess.run(cmd, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def best_of(doc, workload, op, impl):
    for row in doc["results"]:
        if row["workload"] == workload and row["op"] == op and row["impl"] == impl:
            return row["best_ns"]
    return None


def ratio_between(doc, workload, op, ours, theirs):
    mine, other = best_of(doc, workload, op, ours), best_of(doc, workload, op, theirs)
    return mine / other if mine and other else None


def ratio_of(doc, workload, op, impl):
    for row in doc["ratios"]:
        if row["workload"] == workload and row["op"] == op and row["impl"] == impl:
            return row.get("fieldpack_over_impl")
    return None


def json_twin_ratios(doc):
    """Each JSON-loaded recipe's fieldpack time over its interned twin's."""
    best = {(r["workload"], r["op"]): r["best_ns"] for r in doc["results"] if r["impl"] == "fieldpack"}
    return {(w, op): t / best[(w[: -len("_json")], op)]
            for (w, op), t in best.items() if w.endswith("_json") and (w[: -len("_json")], op) in best}


# What the text cells are compared with: on CPython Python's own codec; on PyPy the host's own
# codec called from C on the same object (the floor's cell), since PyPy lays out every str and
# bytes for C before a C function runs, which no C extension can avoid.
TEXT_BASE = "floor (C)" if PYPY else "python codec"


def text_ratios(doc):
    """fieldpack over the compared codec for every text cell the harness timed."""
    out = {}
    for r in doc["ratios"]:
        if r["workload"].startswith("codec") and r["impl"] == TEXT_BASE:
            out[(r["workload"], r["op"])] = r.get("fieldpack_over_impl")
    return out


def text_target(workload):
    """windows-1252 must beat Python's cp1252 by half; every other cell must keep up with the
    compared codec."""
    if "windows1252" in workload and not PYPY:
        return 0.5
    return 1.1 if PYPY else 1.15


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else float("nan")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--harness", default=DEFAULT_HARNESS)
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--no-text", action="store_true", help="skip the 1 MiB text codec cells")
    args = ap.parse_args()

    packets, singles, texts = [], [], []
    for run in range(args.runs):
        only = [arg for workload in PACKET_WORKLOADS for arg in ("--only", workload)]
        packets.append(run_harness(args.harness, ["--build-floor", "--no-codecs"] + only))
        singles.append(run_harness(args.harness, ["--only", "single"]))
        if not args.no_text:
            texts.append(run_harness(args.harness, ["--build-floor", "--only", "codec"]))

    meta = packets[0]["meta"]
    print("# %s %s on %s, median of %d runs" % (meta["python_impl"], meta["python_version"],
                                                 meta["machine"], args.runs))
    print()
    print("| packets | op | ratio to | median | target |")
    print("|---|---|---|---|---|")
    for what, workload, op, ours, impl, target in PACKET_TARGETS:
        value = median([ratio_between(doc, workload, op, ours, impl) for doc in packets])
        mark = "" if value <= target else " (missed)"
        print("| %s | %s | %s | %.2f | %g%s |" % (what, op, impl, value, target, mark))
    twins = [json_twin_ratios(doc) for doc in packets]
    for key in sorted(twins[0]):
        value = median([t.get(key) for t in twins])
        mark = "" if value <= 1.1 else " (missed)"
        print("| JSON-loaded %s | %s | its interned twin | %.2f | 1.1%s |" % (key[0], key[1], value, mark))
    print()
    print("| single-value codec | function | ratio to | median | target |")
    print("|---|---|---|---|---|")
    for what, workload, op, impl, target in SINGLE_TARGETS:
        value = median([ratio_of(doc, workload, op, impl) for doc in singles])
        if PYPY:
            # PyPy's JIT inlines math.gcd and math.fabs into the loop, while every call into C
            # crosses its compatibility layer: the ratio is shown, but no target is set there.
            print("| %s | %s | %s | %.2f | none on PyPy |" % (what, op, impl, value))
            continue
        mark = "" if value <= target else " (missed)"
        print("| %s | %s | %s | %.2f | %g%s |" % (what, op, impl, value, target, mark))
    if texts:
        print()
        print("| text codec cell | op | fieldpack / %s (median) | target |" % TEXT_BASE)
        print("|---|---|---|---|")
        cells = [text_ratios(doc) for doc in texts]
        for key in sorted(cells[0]):
            value = median([c.get(key) for c in cells])
            target = text_target(key[0])
            mark = "" if value <= target else " (missed)"
            print("| %s | %s | %.2f | %g%s |" % (key[0], key[1], value, target, mark))


if __name__ == "__main__":
    main()
