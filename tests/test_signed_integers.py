"""Sign-magnitude, ones' complement and two's complement codecs."""


import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import fieldpack
from helpers import raises_exactly

MAX_U64 = 2**64 - 1
MIN_I64 = -(2**63)
MAX_SIZE = 2**32 - 1


# (function, pattern, bits, value). Bits above the field are treated differently by each decoder;
# widths 0 and 65 pick the sign bit (bits - 1) mod 64 in 32-bit arithmetic.
DECODE = [
    ("sign_magnitude", 0x80, 8, 0),
    ("sign_magnitude", 0x85, 8, -5),
    ("sign_magnitude", 0x1FF, 8, -127),
    ("sign_magnitude", 2**63 + 5, 0, -5),
    ("sign_magnitude", MAX_U64, 65, 0),
    ("sign_magnitude", MAX_U64, MAX_SIZE, -(2**62 - 1)),
    ("ones_complement", 0xFF, 8, 0),
    ("ones_complement", 0x80, 8, -127),
    ("ones_complement", 0x1FE, 8, 255),
    ("ones_complement", 0x180, 8, 129),
    ("ones_complement", MAX_U64, 64, 0),
    ("ones_complement", 2**63, 65, -(2**63 - 1)),
    ("ones_complement", MAX_U64 - 4, 0, -5),
    ("twos_complement", 0x80, 8, -128),
    ("twos_complement", 0x180, 8, -128),
    ("twos_complement", 0x100, 8, 256),
    ("twos_complement", 1, 1, -1),
    ("twos_complement", MAX_U64, MAX_SIZE, -1),
    ("twos_complement", MAX_U64, 0, 0),
    ("twos_complement", 2**62, 0, 2**62),
]


@pytest.mark.parametrize("name, pattern, bits, value", DECODE)
def test_decode(name, pattern, bits, value):
    assert getattr(fieldpack, f"decode_{name}")(pattern, bits) == value


# (function, value, bits, pattern or failure message)
ENCODE = [
    ("sign_magnitude", -5, 8, 0x85),
    ("sign_magnitude", -(2**63 - 1), 64, MAX_U64),
    ("sign_magnitude", 0, 1, "bits must be between 2 and 64 for sign-magnitude encoding"),
    ("sign_magnitude", 0, 65, "bits must be between 2 and 64 for sign-magnitude encoding"),
    ("ones_complement", -1, 8, 254),
    ("ones_complement", -1, 64, 2**64 - 2),
    ("ones_complement", 0, 1, 0),
    ("ones_complement", 1, 1, "Value 1 is too large for 1 bits"),
    ("ones_complement", -1, 1, "Value -1 is too large (magnitude) for 1 bits"),
    ("ones_complement", 2**63 - 1, 0, 2**63 - 1),
    ("ones_complement", -5, 0, 0),
    ("ones_complement", MIN_I64, 0, f"Value {MIN_I64} is too large (magnitude) for 0 bits"),
    ("ones_complement", 0, 65, "bits must be <= 64 for ones' complement encoding"),
    ("twos_complement", -1, 1, 1),
    ("twos_complement", -1, 64, MAX_U64),
    ("twos_complement", MIN_I64, 0, 0),
    ("twos_complement", 2**63 - 1, 0, 0),
    ("twos_complement", 0, 65, "bits must be <= 64 for two's complement encoding"),
    ("twos_complement", 0, MAX_SIZE, "bits must be <= 64 for two's complement encoding"),
]


@pytest.mark.parametrize("name, value, bits, expected", ENCODE)
def test_encode(name, value, bits, expected):
    encode = getattr(fieldpack, f"encode_{name}")
    if isinstance(expected, str):
        with raises_exactly(ValueError, expected):
            encode(value, bits)
    else:
        assert encode(value, bits) == expected


CODECS = ["sign_magnitude", "ones_complement", "twos_complement"]


def representable(name, bits):
    high = 2 ** (bits - 1) - 1
    return (-high - 1 if name == "twos_complement" else -high), high


def out_of_range_message(name, value, bits):
    if name == "twos_complement":
        low, high = representable(name, bits)
        return f"Value {value} out of range for {bits} bits (range: {low} to {high})"
    if name == "sign_magnitude":
        return f"Magnitude of {value} is too large for {bits} bits"
    return f"Value {value} is too large{' (magnitude)' if value < 0 else ''} for {bits} bits"


@pytest.mark.parametrize("bits", range(2, 65))
@pytest.mark.parametrize("name", CODECS)
def test_first_value_out_of_range_on_each_side(name, bits):
    encode = getattr(fieldpack, f"encode_{name}")
    low, high = representable(name, bits)
    for value in (low - 1, high + 1):
        if MIN_I64 <= value < 2**63:
            with raises_exactly(ValueError, out_of_range_message(name, value, bits)):
                encode(value, bits)
    for value in (low, high):
        assert getattr(fieldpack, f"decode_{name}")(encode(value, bits), bits) == value


@pytest.mark.parametrize("bits", range(2, 65))
@pytest.mark.parametrize("name", CODECS)
@settings(max_examples=10, deadline=None)
@given(data=st.data())
def test_round_trip_over_representable_range(name, bits, data):
    value = data.draw(st.integers(*representable(name, bits)))
    pattern = getattr(fieldpack, f"encode_{name}")(value, bits)
    assert 0 <= pattern < 2**bits
    if name == "twos_complement":  # an independent account of the layout
        assert pattern == int.from_bytes(value.to_bytes(8, "big", signed=True), "big") % 2**bits
    assert getattr(fieldpack, f"decode_{name}")(pattern, bits) == value
