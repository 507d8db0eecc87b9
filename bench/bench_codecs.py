"""Time single codec calls against a built-in function of the same shape.

Run as ``PYTHONPATH=build/release python bench/bench_codecs.py [--quick]``.

A codec call is mostly interpreter call overhead plus argument conversion; the codec itself is a
handful of operations. So each codec is timed beside a C built-in that takes the same number and
kind of arguments (``math.gcd`` for two ints, ``math.fabs`` for one number, which like the
half decoder turns an int into a new float), in the same run, and the ratio is what counts. Times are the minimum over the repeats, in
nanoseconds per call.
"""

import argparse
import math
import sys
import timeit

import fieldpack

TARGET = 1.3

# (label, codec statement, built-in statement of the same shape). gcd(a, b) is given arguments
# whose result, like the codecs' results, is an int outside the interpreter's small-int cache,
# so both sides allocate their result.
CASES = [
    ("decode_twos_complement(v, 16)", "decode_twos_complement(v, 16)", "gcd(a, b)"),
    ("encode_twos_complement(s, 16)", "encode_twos_complement(s, 16)", "gcd(a, b)"),
    ("decode_packed_bcd(p, 16)", "decode_packed_bcd(p, 16)", "gcd(a, b)"),
    ("decode_ieee754_f16(h)", "decode_ieee754_f16(h)", "fabs(h)"),
    ("encode_ieee754_f16(x)", "encode_ieee754_f16(x)", "fabs(x)"),
]

NAMESPACE = {
    "decode_twos_complement": fieldpack.decode_twos_complement,
    "encode_twos_complement": fieldpack.encode_twos_complement,
    "decode_packed_bcd": fieldpack.decode_packed_bcd,
    "decode_ieee754_f16": fieldpack.decode_ieee754_f16,
    "encode_ieee754_f16": fieldpack.encode_ieee754_f16,
    "gcd": math.gcd,
    "fabs": math.fabs,
    "a": 48879,
    "b": 3 * 48879,
    "v": 0xBEEF,
    "s": -12345,
    "p": 0x1234,
    "h": 0x3555,
    "x": 0.333251953125,
}


def paired_nanoseconds(first, second, number, repeat):
    """Minimum ns per call of each statement, timed in alternation so that drift in the machine's
    load affects both alike."""
    timers = [timeit.Timer(statement, globals=NAMESPACE) for statement in (first, second)]
    best = [math.inf, math.inf]
    for _ in range(repeat):
        for i, timer in enumerate(timers):
            best[i] = min(best[i], timer.timeit(number) / number * 1e9)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer calls, for a smoke run")
    args = parser.parse_args()
    number, repeat = (20_000, 3) if args.quick else (200_000, 25)

    # The two sides must do comparable work: the inputs are valid and give ordinary results.
    assert fieldpack.decode_twos_complement(0xBEEF, 16) == 0xBEEF - 0x10000
    assert fieldpack.decode_packed_bcd(0x1234, 16) == 1234
    assert fieldpack.encode_ieee754_f16(0.333251953125) == 0x3555
    assert math.gcd(48879, 3 * 48879) == 48879

    print(f"{'codec call':34} {'codec ns':>9} {'built-in':>20} {'ns':>7} {'ratio':>6}")
    worst = 0.0
    for label, codec, builtin in CASES:
        codec_ns, builtin_ns = paired_nanoseconds(codec, builtin, number, repeat)
        ratio = codec_ns / builtin_ns
        worst = max(worst, ratio)
        print(f"{label:34} {codec_ns:9.1f} {builtin:>20} {builtin_ns:7.1f} {ratio:6.2f}")
    print(f"worst ratio {worst:.2f} (target <= {TARGET})")
    return 0 if worst <= TARGET else 1


if __name__ == "__main__":
    sys.exit(main())
