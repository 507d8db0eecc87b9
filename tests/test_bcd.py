"""Packed and unpacked (zoned) binary-coded decimal codecs."""


import pytest
from hypothesis import given
from hypothesis import strategies as st

import fieldpack
from helpers import raises_exactly

MAX_SIZE = 2**32 - 1
SIGN = "Invalid BCD sign nibble: expected 0xA-0xF for signed packed BCD"
NEGATIVE = "Cannot encode negative value in unsigned BCD"


def signed_byte(byte):
    return (f"Invalid zoned decimal signed byte: 0x{byte:02X} "
            "(expected 0x30-0x39, 0xC0-0xC9, 0xD0-0xD9, or 0xF0-0xF9)")


def zoned_byte(byte):
    return f"Invalid zoned decimal byte: 0x{byte:02X} (expected ASCII 0x30-0x39 or EBCDIC 0xF0-0xF9)"


def digit(value):
    return f"Invalid BCD digit: {value} (must be 0-9)"


def too_many(value, digits):
    return f"Value {value} has too many digits for {digits} BCD digits"


# (function, value, bits, signed, result or failure message)
CASES = [
    ("decode_packed_bcd", 0x1234, 12, False, 234),
    ("decode_packed_bcd", 0x1234B, 20, True, -1234),
    ("decode_packed_bcd", 0x12345, 20, True, SIGN),
    ("decode_packed_bcd", 0x1239, 16, True, SIGN),
    ("decode_packed_bcd", 0xFA3, 12, True, SIGN),
    ("decode_packed_bcd", 0x5D, 4, True, 0),
    ("decode_packed_bcd", 0x5, 3, False, 0),
    ("decode_packed_bcd", 0xFB1A, 16, False, digit(10)),  # the lowest bad nibble is reported
    ("decode_packed_bcd", 0xF0C1, 16, False, digit(12)),
    ("decode_packed_bcd", 0xE000C, 20, True, digit(14)),
    ("decode_packed_bcd", 0x9999999999999999, MAX_SIZE, False, 9999999999999999),
    ("decode_packed_bcd", 0x999999999999999D, 68, True, -999999999999999),
    ("decode_unpacked_bcd", 0x313233, 24, False, digit(51)),
    ("decode_unpacked_bcd", 0x0900000000000000, 64, False, 90000000),
    ("decode_unpacked_bcd", 0x0102, 72, False, 12),
    ("decode_unpacked_bcd", 0xFF0102, 20, False, 12),
    ("decode_unpacked_bcd", 0xF1F2D3, 24, True, -123),
    ("decode_unpacked_bcd", 0x31F2C3, 24, True, 123),
    ("decode_unpacked_bcd", 0xF130, 16, True, 10),
    ("decode_unpacked_bcd", 0xF1F2A3, 24, True, signed_byte(0xA3)),
    ("decode_unpacked_bcd", 0x0A, 8, True, signed_byte(0x0A)),
    ("decode_unpacked_bcd", 0x41F2C3, 24, True, zoned_byte(0x41)),
    ("decode_unpacked_bcd", 0x41FAC3, 24, True, zoned_byte(0xFA)),
    ("decode_unpacked_bcd", 0xF1F1F1F1F1F1F1D9, 64, True, -11111119),
    ("decode_unpacked_bcd", 0xF1F1F1F1F1F1F1D9, 72, True, zoned_byte(0x00)),
    ("decode_unpacked_bcd", 0xF1F1F1F1F1F1F1D9, MAX_SIZE, True, zoned_byte(0x00)),
    ("encode_packed_bcd", 1234, 12, False, too_many(1234, 3)),
    ("encode_packed_bcd", 5, 4, True, too_many(5, 0)),
    ("encode_packed_bcd", -5, 8, False, NEGATIVE),
    ("encode_packed_bcd", -5, 3, False, "bits must be >= 4 for packed BCD"),
    ("encode_packed_bcd", 10**16, 64, False, too_many(10**16, 16)),
    ("encode_packed_bcd", -(2**63), 64, True, too_many(-(2**63), 15)),
    # A wide field still yields one 64-bit pattern: a value that fits encodes as for 64 bits, and
    # one that needs digits beyond the pattern is refused rather than cut.
    ("encode_packed_bcd", 1234, MAX_SIZE, True, 0x1234C),
    ("encode_packed_bcd", 10**16, 68, False, too_many(10**16, 16)),  # fits 68 bits, not 64
    # More digits than the width holds: the width's count, also above 64 bits.
    ("encode_packed_bcd", 10**18, 68, False, too_many(10**18, 17)),
    ("encode_packed_bcd", 10**18, 72, True, too_many(10**18, 17)),
    ("encode_unpacked_bcd", 9999999999999999, 76, False, too_many(9999999999999999, 9)),
    ("encode_unpacked_bcd", 123456789, 80, False, too_many(123456789, 8)),  # fits 10, not 8
    ("encode_packed_bcd", 10**15, MAX_SIZE, True, too_many(10**15, 15)),
    ("encode_unpacked_bcd", 1000, 24, True, too_many(1000, 3)),
    ("encode_unpacked_bcd", 5, 7, False, "bits must be >= 8 for unpacked BCD"),
    ("encode_unpacked_bcd", -5, 7, False, "bits must be >= 8 for unpacked BCD"),
    # Unsigned unpacked has no place for a sign; dropping it would return a different number.
    ("encode_unpacked_bcd", -123, 24, False, NEGATIVE),
    ("encode_unpacked_bcd", 12, MAX_SIZE, False, 0x0102),
    ("encode_unpacked_bcd", 10**8, 72, False, too_many(10**8, 8)),
    # Zone bytes above the 64-bit pattern cannot be written: refused, not written unreadable.
    ("encode_unpacked_bcd", 5, 72, True, "bits must be < 72 for signed unpacked BCD"),
    ("encode_unpacked_bcd", 5, MAX_SIZE, True, "bits must be < 72 for signed unpacked BCD"),
    ("encode_unpacked_bcd", 5, 71, True, 0xF0F0F0F0F0F0F0C5),
]


@pytest.mark.parametrize("name, value, bits, signed, expected", CASES)
def test_table(name, value, bits, signed, expected):
    function = getattr(fieldpack, name)
    if isinstance(expected, str):
        with raises_exactly(ValueError, expected):
            function(value, bits, signed)
    else:
        assert function(value, bits, signed) == expected


@st.composite
def bcd_fields(draw, nibbles_per_digit):
    signed = draw(st.booleans())
    positions = draw(st.integers(1, 16 // nibbles_per_digit))
    digits = positions - 1 if signed and nibbles_per_digit == 1 else positions
    limit = 10**digits - 1
    value = draw(st.integers(-limit if signed else 0, limit))
    return value, positions * 4 * nibbles_per_digit, signed


@given(bcd_fields(1))
def test_packed_against_hex_digits(field):
    value, bits, signed = field
    text = str(abs(value)) + ("dc"[value >= 0] if signed else "")
    pattern = fieldpack.encode_packed_bcd(value, bits, signed)
    assert pattern == int(text, 16)
    assert fieldpack.decode_packed_bcd(pattern, bits, signed) == value


@given(bcd_fields(2))
def test_unpacked_against_digit_bytes(field):
    value, bits, signed = field
    digits = [int(c) for c in str(abs(value)).zfill(bits // 8)]
    if signed:  # zoned: every byte 0xF-zoned but the last, whose zone carries the sign
        digits = [0xF0 | d for d in digits[:-1]] + [(0xC0 if value >= 0 else 0xD0) | digits[-1]]
    pattern = fieldpack.encode_unpacked_bcd(value, bits, signed)
    assert pattern == int.from_bytes(bytes(digits), "big")
    assert fieldpack.decode_unpacked_bcd(pattern, bits, signed) == value
