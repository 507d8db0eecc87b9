"""One numeric column against numpy: Layout.unpack_columns(numpy=True) for a single field over
1.44 M packets of 12 bytes, against numpy decoding the same field from a structured view of the
same buffer, in the same run.

    PYTHONPATH=build/bench python3 bench/bench_numpy_columns.py [--packets 1440000] [--runs 3]

numpy's side of each case: for two's complement, unsigned and floats, `.astype` of the field
(big-endian) into the column's dtype; for sign-magnitude, ones' complement and BCD, numpy's
vectorised arithmetic on the unsigned field; for a field at a bit offset, the word that holds it,
shifted, masked and sign-extended. Before timing, every case checks that both give the same
column. Each time is the best of --repeat calls, the two sides timed in turns; the ratio
(fieldpack's time over numpy's) is printed per run, and with --runs above 1 the median of the
runs' ratios, marked "(missed)" where it is above the case's limit: 1.0 for unsigned fields, 1.5
for every other.
"""

import argparse
import statistics
import time

import numpy as np

from fieldpack_layout import Layout

STRIDE = 12


def field(name, bits, encoding="unsigned", offset_bits=0, byte_order="big"):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": False, "offset_bits": offset_bits}


def view(buffer, offset, fmt):
    """The field of format `fmt` at byte `offset` of every packet, as numpy sees it."""
    dtype = np.dtype({"names": ["f"], "formats": [fmt], "offsets": [offset], "itemsize": STRIDE})
    return np.frombuffer(buffer, dtype=dtype)["f"]


def sign_extend(x, bits, dtype):
    x = x.astype(dtype)
    sign = dtype(1 << (bits - 1))
    return (x ^ sign) - sign


def packed_bcd(u, digits):
    value = np.zeros(len(u), dtype=np.int64)
    u = u.astype(np.int64)
    for k in range(digits - 1, -1, -1):
        value = value * 10 + ((u >> (4 * k)) & 0xF)
    return value


# (label, limit, recipe entry, numpy expression over the buffer, bytes of a valid packet)
def cases():
    def any_bytes(rng, count):
        return rng.integers(0, 256, count * STRIDE, dtype=np.uint8)

    def bcd_nibbles(rng, count):
        digits = rng.integers(0, 10, count * STRIDE * 2, dtype=np.uint8)
        return (digits[0::2] << 4) | digits[1::2]

    def bcd_bytes(rng, count):
        return rng.integers(0, 10, count * STRIDE, dtype=np.uint8)

    def signed_bcd(rng, count):
        data = bcd_nibbles(rng, count).reshape(count, STRIDE)
        data[:, 1] = (data[:, 1] & 0xF0) | rng.choice([0xC, 0xD], count).astype(np.uint8)
        return data.reshape(-1)

    yield ("unsigned 8", 1.0, field("x", 8, offset_bits=8), lambda b: view(b, 1, "u1").copy(), any_bytes)
    yield ("unsigned 16", 1.0, field("x", 16, offset_bits=16),
           lambda b: view(b, 2, ">u2").astype(np.uint16), any_bytes)
    yield ("unsigned 32", 1.0, field("x", 32, offset_bits=32),
           lambda b: view(b, 4, ">u4").astype(np.uint32), any_bytes)
    yield ("unsigned 64", 1.0, field("x", 64, offset_bits=32),
           lambda b: view(b, 4, ">u8").astype(np.uint64), any_bytes)
    yield ("unsigned 16 little", 1.0, field("x", 16, offset_bits=16, byte_order="little"),
           lambda b: view(b, 2, "<u2").copy(), any_bytes)
    yield ("twos_complement 8", 1.5, field("x", 8, "twos_complement", 8),
           lambda b: view(b, 1, "i1").copy(), any_bytes)
    yield ("twos_complement 16", 1.5, field("x", 16, "twos_complement", 16),
           lambda b: view(b, 2, ">i2").astype(np.int16), any_bytes)
    yield ("twos_complement 32", 1.5, field("x", 32, "twos_complement", 32),
           lambda b: view(b, 4, ">i4").astype(np.int32), any_bytes)
    yield ("twos_complement 64", 1.5, field("x", 64, "twos_complement", 32),
           lambda b: view(b, 4, ">i8").astype(np.int64), any_bytes)
    yield ("twos_complement 32 little", 1.5, field("x", 32, "twos_complement", 32, "little"),
           lambda b: view(b, 4, "<i4").copy(), any_bytes)
    yield ("sign_magnitude 16", 1.5, field("x", 16, "sign_magnitude", 16),
           lambda b: (lambda u: np.where(u & 0x8000, -(u & 0x7FFF).astype(np.int16),
                                         (u & 0x7FFF).astype(np.int16)))(
               view(b, 2, ">u2").astype(np.uint16)), any_bytes)
    yield ("ones_complement 16", 1.5, field("x", 16, "ones_complement", 16),
           lambda b: (lambda s: s + (s < 0))(view(b, 2, ">i2").astype(np.int16)), any_bytes)
    yield ("ieee754_f16", 1.5, field("x", 16, "ieee754_f16", 16),
           lambda b: view(b, 2, ">f2").astype(np.float16), any_bytes)
    yield ("ieee754_f32", 1.5, field("x", 32, "ieee754_f32", 32),
           lambda b: view(b, 4, ">f4").astype(np.float32), any_bytes)
    yield ("ieee754_f64", 1.5, field("x", 64, "ieee754_f64", 32),
           lambda b: view(b, 4, ">f8").astype(np.float64), any_bytes)
    yield ("packed_bcd 16", 1.5, field("x", 16, "packed_bcd", 16),
           lambda b: packed_bcd(view(b, 2, ">u2").astype(np.uint16), 4), bcd_nibbles)
    yield ("packed_bcd 32", 1.5, field("x", 32, "packed_bcd", 32),
           lambda b: packed_bcd(view(b, 4, ">u4").astype(np.uint32), 8), bcd_nibbles)
    yield ("packed_bcd_signed 16", 1.5, field("x", 16, "packed_bcd_signed", 0),
           lambda b: (lambda u: np.where((u & 0xF) == 0xD, -1, 1) * packed_bcd(u >> 4, 3))(
               view(b, 0, ">u2").astype(np.uint16)), signed_bcd)
    yield ("unpacked_bcd 32", 1.5, field("x", 32, "unpacked_bcd", 32),
           lambda b: (lambda u: ((u >> 24) & 0xF) * 1000 + ((u >> 16) & 0xF) * 100
                      + ((u >> 8) & 0xF) * 10 + (u & 0xF))(
               view(b, 4, ">u4").astype(np.int64)), bcd_bytes)
    # At a bit offset: the word that holds the field, shifted, masked and sign-extended.
    yield ("unsigned 12 at bit 3", 1.0, field("x", 12, offset_bits=3),
           lambda b: (view(b, 0, ">u2").astype(np.uint16) >> 1) & 0xFFF, any_bytes)
    yield ("unsigned 20 at bit 13", 1.0, field("x", 20, offset_bits=13),
           lambda b: (view(b, 1, ">u4").astype(np.uint32) >> 7) & 0xFFFFF, any_bytes)
    yield ("twos_complement 12 at bit 3", 1.5, field("x", 12, "twos_complement", 3),
           lambda b: sign_extend((view(b, 0, ">u2").astype(np.uint16) >> 1) & 0xFFF, 12,
                                 np.int16), any_bytes)
    yield ("twos_complement 20 at bit 13", 1.5, field("x", 20, "twos_complement", 13),
           lambda b: sign_extend((view(b, 1, ">u4").astype(np.uint32) >> 7) & 0xFFFFF, 20,
                                 np.int32), any_bytes)
    yield ("sign_magnitude 12 at bit 3", 1.5, field("x", 12, "sign_magnitude", 3),
           lambda b: (lambda x: np.where(x & 0x800, -(x & 0x7FF).astype(np.int16),
                                         (x & 0x7FF).astype(np.int16)))(
               (view(b, 0, ">u2").astype(np.uint16) >> 1) & 0xFFF), any_bytes)
    yield ("ones_complement 12 at bit 3", 1.5, field("x", 12, "ones_complement", 3),
           lambda b: (lambda s: s + (s < 0))(
               sign_extend((view(b, 0, ">u2").astype(np.uint16) >> 1) & 0xFFF, 12, np.int16)),
           any_bytes)
    yield ("ieee754_f32 at bit 4", 1.5, field("x", 32, "ieee754_f32", 4),
           lambda b: ((view(b, 0, ">u8").astype(np.uint64) >> 28) & 0xFFFFFFFF)
           .astype(np.uint32).view(np.float32), any_bytes)
    yield ("ieee754_f64 at bit 4", 1.5, field("x", 64, "ieee754_f64", 4),
           lambda b: ((view(b, 0, ">u8").astype(np.uint64) << np.uint64(4))
                      | (view(b, 8, "u1").astype(np.uint64) >> np.uint64(4))).view(np.float64),
           any_bytes)
    yield ("packed_bcd 16 at bit 4", 1.5, field("x", 16, "packed_bcd", 4),
           lambda b: packed_bcd((view(b, 0, ">u4").astype(np.uint32) >> 12) & 0xFFFF, 4),
           lambda rng, count: np.frombuffer(
               (np.frombuffer(bcd_nibbles(rng, count).tobytes(), dtype=">u8").astype(np.uint64)
                >> np.uint64(4)).astype(">u8").tobytes(), dtype=np.uint8)[:count * STRIDE])


def best_of_both(first, second, repeat):
    """The best time of each of two calls, timed in turns, so that a change in the machine's
    load meets both alike."""
    times = ([], [])
    for _ in range(repeat):
        for call, kept in zip((first, second), times):
            start = time.perf_counter()
            call()
            kept.append(time.perf_counter() - start)
    return min(times[0]), min(times[1])


def same(ours, theirs):
    if ours.dtype != theirs.dtype:
        return False
    if ours.dtype.kind == "f":  # NaNs: compare what the bits mean, quiet or not
        return bool(np.array_equal(ours, theirs, equal_nan=True))
    return bool(np.array_equal(ours, theirs))


def one_run(args, data):
    ratios = {}
    for label, limit, entry, expression, make in cases():
        buffer = data[label]
        layout = Layout([entry], packing="bits")
        ours = layout.unpack_columns(buffer, STRIDE, numpy=True)["x"]
        theirs = expression(buffer)
        assert same(ours, theirs), label
        fieldpack_s, numpy_s = best_of_both(
            lambda: layout.unpack_columns(buffer, STRIDE, numpy=True), lambda: expression(buffer),
            args.repeat)
        ratios[label] = fieldpack_s / numpy_s
        print(f"  {label:30} {ours.dtype.name:8} {fieldpack_s * 1e3:8.2f} {numpy_s * 1e3:8.2f} "
              f"{fieldpack_s / numpy_s:7.2f}", flush=True)
    return ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--packets", type=int, default=1_440_000)
    parser.add_argument("--runs", type=int, default=1)
    parser.add_argument("--repeat", type=int, default=11)
    args = parser.parse_args()
    rng = np.random.default_rng(21)
    data = {label: make(rng, args.packets).tobytes()
            for label, _, _, _, make in cases()}
    runs = []
    for run in range(args.runs):
        print(f"run {run + 1}: {args.packets} packets of {STRIDE} bytes, one field; best of "
              f"{args.repeat}, in turns")
        print(f"  {'case':30} {'dtype':8} {'fp ms':>8} {'numpy ms':>8} {'fp/numpy':>7}")
        runs.append(one_run(args, data))
    if args.runs > 1:
        print(f"median of {args.runs} runs' ratios (fieldpack / numpy)")
        for label, limit, *_ in cases():
            ratio = statistics.median(r[label] for r in runs)
            mark = "" if ratio <= limit else "  (missed)"
            print(f"  {label:30} {ratio:6.3f}  limit {limit:.1f}{mark}")


if __name__ == "__main__":
    main()
