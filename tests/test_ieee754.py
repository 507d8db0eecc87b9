"""IEEE 754 binary16, binary32, binary64 and binary128 codecs."""

import math
import random
import re
import struct
from fractions import Fraction

import pytest

import fieldpack

INF = math.inf


def bits_of(x):
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


def single(pattern):
    return struct.unpack("<f", struct.pack("<I", pattern))[0]


# (function, argument, double bit pattern of the result). Compared by bits: signs of zeros and
# NaN payloads count.
DECODE = [
    ("f16", 0x13C00, bits_of(1.0)),
    ("f16", 0x0001, bits_of(2.0**-24)),
    ("f16", 0x7BFF, bits_of(65504.0)),
    ("f16", 0x7E00, 0x7FF8000000000000),
    ("f16", 0x7C01, 0x7FF8040000000000),  # signalling: comes out quiet, payload at the top
    ("f16", 0xFDFF, 0xFFFFFC0000000000),
    ("f32", 0x1_3F800000, bits_of(1.0)),
    ("f32", 0x00000001, bits_of(2.0**-149)),
    ("f32", 0x7F800001, 0x7FF8000020000000),
    ("f32", 0xFFBFFFFF, 0xFFFFFFFFE0000000),
    ("f64", 0xBFF0000000000000, bits_of(-1.0)),
]


@pytest.mark.parametrize("fmt, value, expected", DECODE)
def test_decode(fmt, value, expected):
    assert bits_of(getattr(fieldpack, f"decode_ieee754_{fmt}")(value)) == expected


def quad(exponent, fraction=0, negative=False):
    return (negative << 127) | (exponent << 112) | fraction


F128 = [
    (quad(0x3FFF), 1.0),
    (quad(0x3FFF, 2**60 - 1), 1.0),  # truncated, not rounded
    (quad(0x3FFF, 2**60), 1.0000000000000002),
    (quad(0x3C01), 2.2250738585072014e-308),
    (quad(0x3C00, 2**111, negative=True), -0.0),
    (quad(0x43FE, 2**112 - 1), 1.7976931348623157e308),
    (quad(0x43FF, 1), INF),
    (quad(0x7FFF, negative=True), -INF),
    (quad(0, 1, negative=True), -0.0),
    (quad(0x7FFF, 1, negative=True), double(0x7FF8000000000000)),
    (quad(0x7FFF, 2**111 + 5), double(0x7FF8000000000000)),
]


@pytest.mark.parametrize("value, expected", F128)
def test_decode_f128(value, expected):
    assert bits_of(fieldpack.decode_ieee754_f128(value)) == bits_of(expected)


def test_decode_f128_truncates_toward_zero():
    rng = random.Random(128)
    for _ in range(500):
        exponent, fraction = rng.randint(0x3C01, 0x43FE), rng.getrandbits(112)
        exact = Fraction(2**112 + fraction, 2**112) * Fraction(2) ** (exponent - 16383)
        nearest = float(exact)
        truncated = nearest if nearest <= exact else math.nextafter(nearest, 0.0)
        assert fieldpack.decode_ieee754_f128(quad(exponent, fraction)) == truncated


ENCODE_F16 = [
    (65519.0, 0x7BFF),
    (65520.0, 0x7C00),  # the tie above the largest half goes to even: infinity
    (2.0**-25, 0x0000),
    (-(2.0**-25), 0x8000),
    (3 * 2.0**-26, 0x0001),
    (2.0**-14 - 2.0**-25, 0x0400),  # rounds up out of the subnormals into the smallest normal
    (1 + 2**-11 + 2**-40, 0x3C00),  # the single rounding lands on a tie; direct would give 0x3C01
    (math.nan, 0x7E00),
    (-math.nan, 0xFE00),
    (double(0x7FF0000000000001), 0x7E00),  # payload below the kept bits: still a NaN
    (double(0xFFFFFFFFFFFFFFFF), 0xFFFF),
    (-1e300, 0xFC00),
    (1, 0x3C00),
]


@pytest.mark.parametrize("value, expected", ENCODE_F16)
def test_encode_f16(value, expected):
    assert fieldpack.encode_ieee754_f16(value) == expected


ENCODE_F32 = [
    (1e39, 0x7F800000),
    (-1e39, 0xFF800000),
    (3.4028235677973366e38, 0x7F800000),  # half-way above the largest single: to even, infinity
    (math.nextafter(3.4028235677973366e38, 0.0), 0x7F7FFFFF),
    (math.nan, 0x7FC00000),
    (double(0xFFF0000000000001), 0xFFC00000),
    (double(0x7FF7FFFFE0000000), 0x7FFFFFFF),
]


@pytest.mark.parametrize("value, expected", ENCODE_F32)
def test_encode_f32(value, expected):
    assert fieldpack.encode_ieee754_f32(value) == expected


def test_encode_f64_and_f128():
    assert fieldpack.encode_ieee754_f64(-0.0) == 0x8000000000000000
    assert fieldpack.encode_ieee754_f64(3) == bits_of(3.0)
    message = "IEEE 754 f128 encoding not yet implemented"
    with pytest.raises(NotImplementedError, match=f"^{re.escape(message)}$"):
        fieldpack.encode_ieee754_f128(1.0)
    with pytest.raises(TypeError, match="^argument '_value': "):
        fieldpack.encode_ieee754_f128("1.0")


def test_every_half_pattern_against_numpy():
    np = pytest.importorskip("numpy")
    reference = np.arange(65536, dtype=np.uint32).astype(np.uint16).view(np.float16)
    reference = reference.astype(np.float64)
    for pattern in range(65536):
        got, want = fieldpack.decode_ieee754_f16(pattern), float(reference[pattern])
        if math.isnan(want):
            assert math.isnan(got) and math.copysign(1, got) == math.copysign(1, want)
            assert bits_of(got) & 0x0008000000000000, hex(pattern)  # quiet
        else:
            assert bits_of(got) == bits_of(want), hex(pattern)


def test_every_non_nan_half_survives_decode_then_encode():
    for pattern in range(65536):
        if pattern & 0x7C00 != 0x7C00 or pattern & 0x3FF == 0:
            assert fieldpack.encode_ieee754_f16(fieldpack.decode_ieee754_f16(pattern)) == pattern


def random_doubles(count, seed):
    """Random bit patterns, plus values spread over the half and single exponent ranges."""
    rng = random.Random(seed)
    for _ in range(count):
        x = double(rng.getrandbits(64))
        if not math.isnan(x):
            yield x
        yield rng.uniform(-2.0, 2.0) * 2.0 ** rng.randint(-30, 17)
        yield rng.uniform(-2.0, 2.0) * 2.0 ** rng.randint(-152, 128)


def test_encode_f16_against_numpy_rounding_through_single():
    np = pytest.importorskip("numpy")
    values = np.array(list(random_doubles(20000, 16)), dtype=np.float64)
    with np.errstate(over="ignore"):
        expected = values.astype(np.float32).astype(np.float16).view(np.uint16)
    for x, want in zip(values.tolist(), expected.tolist()):
        assert fieldpack.encode_ieee754_f16(x) == want, x


def test_encode_f32_against_struct():
    for x in random_doubles(20000, 32):
        try:
            want = struct.unpack("<I", struct.pack("<f", x))[0]
        except OverflowError:  # beyond the single range: struct refuses, the codec saturates
            continue
        assert fieldpack.encode_ieee754_f32(x) == want, x


def test_single_and_double_patterns_survive_decode_then_encode():
    rng = random.Random(3264)
    for _ in range(20000):
        p32, p64 = rng.getrandbits(32), rng.getrandbits(64)
        if not math.isnan(single(p32)):
            assert fieldpack.encode_ieee754_f32(fieldpack.decode_ieee754_f32(p32)) == p32
        if not math.isnan(double(p64)):
            assert fieldpack.encode_ieee754_f64(fieldpack.decode_ieee754_f64(p64)) == p64
