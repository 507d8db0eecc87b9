"""Instructions per call, counted by callgrind: a measure that does not move with the machine's
load, for comparing two builds of the same code (the yardstick's ratios need an idle machine).

    python3 bench/instructions.py                          # the installed fieldpack
    PYTHONPATH=build python3 bench/instructions.py         # a build directory
    python3 bench/instructions.py --only telemetry24_u --calls 2000

Each cell runs a child interpreter under `valgrind --tool=callgrind` twice, with n and 2n calls;
the difference over n is the cost of one call, start-up and warm-up left out. Workloads come from
the yardstick harness beside the repository (../shared/bench/workloads.py, or --harness).
"""

import argparse
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_HARNESS = os.path.normpath(os.path.join(HERE, "..", "..", "shared", "bench"))

CHILD = r"""
import sys
sys.path.insert(0, {harness!r})
import workloads
import fieldpack
from fieldpack_layout import Layout
w = {{x.name: x for x in workloads.PACKET_WORKLOADS}}[{workload!r}]
recipe, values, packet = w.recipe, w.values, w.packet
layout = Layout(recipe)
calls = {{
    ("functions", "unpack"): lambda: fieldpack.unpack_parameters(packet, 0, recipe),
    ("functions", "pack"): lambda: fieldpack.pack_parameters(recipe, values),
    ("Layout", "unpack"): lambda: layout.unpack(packet),
    ("Layout", "pack"): lambda: layout.pack(values),
}}
call = calls[({impl!r}, {op!r})]
for _ in range(200):
    call()
for _ in range({n}):
    call()
"""


def count(code):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        # A fixed hash seed: str hashes decide how dicts probe, which moves the counts.
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        sys.executable, "-c", code], check=True, capture_output=True,
                       env=dict(os.environ, PYTHONHASHSEED="0"))
        text = open(out).read()
    return int(re.search(r"^summary: (\d+)", text, re.MULTILINE).group(1))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", action="append", help="workload name (repeatable)")
    parser.add_argument("--calls", type=int, default=1000)
    parser.add_argument("--harness", default=DEFAULT_HARNESS)
    args = parser.parse_args()
    workloads = args.only or ["telemetry24_u", "telemetry24", "single1", "wide200"]
    print(f"{'workload':<16} {'impl':<10} {'op':<7} {'instructions/call':>18}")
    for workload in workloads:
        for impl in ("functions", "Layout"):
            for op in ("unpack", "pack"):
                fields = dict(harness=args.harness, workload=workload, impl=impl, op=op)
                once = count(CHILD.format(n=args.calls, **fields))
                twice = count(CHILD.format(n=2 * args.calls, **fields))
                print(f"{workload:<16} {impl:<10} {op:<7} {(twice - once) / args.calls:>18.0f}",
                      flush=True)


if __name__ == "__main__":
    main()
