"""Properties that tie pack_parameters, unpack_parameters and the codec functions together."""

import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import fieldpack

BYTE_ORDERS = ["big", "little"]


def field(name, encoding, bits, byte_order="big", reverse_bits=False, offset_bits=None):
    entry = {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": reverse_bits}
    if offset_bits is not None:
        entry["offset_bits"] = offset_bits
    return entry


def mirror(value, bits):
    """The low `bits` bits of `value` in reverse order."""
    if bits == 0:
        return 0
    return int(format(value & ((1 << bits) - 1), f"0{bits}b")[::-1], 2)


def spelled(draw, text):
    """The encoding or byte-order text in a random letter case, which must not matter."""
    return draw(st.sampled_from([text, text.upper(), text.capitalize()]))


# ---------------------------------------------------------------------------------------------
# Byte-aligned "unsigned" packets against an independent byte layout

@st.composite
def unsigned_packets(draw):
    recipe, values, expected = [], {}, b""
    for index in range(draw(st.integers(1, 8))):
        bits = draw(st.sampled_from(range(8, 65, 8)))
        byte_order = draw(st.sampled_from(BYTE_ORDERS))
        reverse_bits = draw(st.booleans())
        name = f"f{index}"
        value = draw(st.integers(0, (1 << bits) - 1))
        recipe.append(field(name, spelled(draw, "unsigned"), bits, spelled(draw, byte_order),
                            reverse_bits))
        values[name] = value
        code = mirror(value, bits) if reverse_bits else value
        expected += code.to_bytes(bits // 8, byte_order)
    return recipe, values, expected


@given(unsigned_packets())
def test_unsigned_byte_aligned_packets_round_trip(case):
    recipe, values, expected = case
    packet = fieldpack.pack_parameters(recipe, values)
    assert packet == expected
    assert fieldpack.unpack_parameters(packet, 0, recipe) == values


# ---------------------------------------------------------------------------------------------
# Every encoding that both engines support: pack, unpack, compare

def to_single(x):
    """x rounded to binary32 as the module rounds it; struct refuses what rounds to infinity."""
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def to_half(x):
    """x rounded to binary32 first and then to binary16, the two roundings the module makes."""
    single = to_single(x)
    try:
        return struct.unpack("<e", struct.pack("<e", single))[0]
    except OverflowError:
        return math.copysign(math.inf, single)


def ints_in(low, high):
    return st.integers(low, high).map(lambda v: (v, v))


def numeric(min_bits, max_bits, values_for_bits):
    """(bits, (value to pack, value expected back)) for widths min_bits..max_bits."""
    return st.integers(min_bits, max_bits).flatmap(
        lambda bits: st.tuples(st.just(bits), values_for_bits(bits)))


def signed_magnitude_range(bits):
    limit = (1 << (bits - 1)) - 1
    return ints_in(-limit, limit)


FLOATS = st.one_of(st.floats(), st.floats(width=32), st.floats(width=16),
                   st.integers(-2**60, 2**60))


@st.composite
def near_half_ties(draw):
    """Doubles a hair off the midpoint of two neighbouring halves.

    Rounded to single first they land on the midpoint, which then goes to the even half;
    rounded straight to half they would go to the nearer one."""
    pattern = draw(st.integers(0, 0x7BFF))
    low, high = struct.unpack("<2e", struct.pack("<2H", pattern, pattern + 1))
    if math.isinf(high):  # past the largest half: the tie at 65520 rounds to infinity
        high = 65536.0
    middle = (low + high) / 2
    nudge = middle * 2.0**-30 * draw(st.sampled_from([1, -1]))
    return (middle + nudge) * draw(st.sampled_from([1, -1]))


# The characters that have a windows-1252 byte, in byte order. The five bytes the standard
# library leaves undefined map to the C1 control characters of the same value.
WINDOWS_1252_CHARS = ([chr(b) for b in range(0x80)]
                      + [bytes([b]).decode("cp1252", errors="ignore") or chr(b)
                         for b in range(0x80, 0x100)])

TEXT_ALPHABETS = {
    "unicode": st.characters(codec="utf-8"),
    "us_ascii": st.characters(max_codepoint=0x7F),
    "latin1": st.characters(max_codepoint=0xFF, exclude_categories=("Cs",)),
    "windows_1252": st.sampled_from(WINDOWS_1252_CHARS),
}

# The decoder takes these leading bytes for a byte order mark and decodes the rest as UTF.
WINDOWS_1252_MARKS = ("\u00ef\u00bb\u00bf", "\u00ff\u00fe", "\u00fe\u00ff")
WINDOWS_1252_BYTES = {ch: bytes([b]) for b, ch in enumerate(WINDOWS_1252_CHARS)}


def python_codec(name, mark=b""):
    return lambda text: mark + text.encode(name)


# For each text encoding: its alphabet and the bytes the standard library makes of a text.
TEXT_ENCODINGS = {
    "utf8": ("unicode", python_codec("utf-8")),
    "utf16": ("unicode", python_codec("utf-16-be", b"\xfe\xff")),
    "utf16le": ("unicode", python_codec("utf-16-le")),
    "utf16be": ("unicode", python_codec("utf-16-be")),
    "utf32": ("unicode", python_codec("utf-32-be", b"\x00\x00\xfe\xff")),
    "utf32le": ("unicode", python_codec("utf-32-le")),
    "utf32be": ("unicode", python_codec("utf-32-be")),
    "us_ascii": ("us_ascii", python_codec("ascii")),
    "iso_8859_1": ("latin1", python_codec("latin-1")),
    "latin1": ("latin1", python_codec("latin-1")),
    "windows_1252": ("windows_1252",
                     lambda text: b"".join(WINDOWS_1252_BYTES[ch] for ch in text)),
}


def encode_text(encoding, text):
    return TEXT_ENCODINGS[encoding][1](text)


def text_field(encoding):
    alphabet = TEXT_ALPHABETS[TEXT_ENCODINGS[encoding][0]]
    texts = st.text(alphabet, max_size=6)
    if encoding == "windows_1252":
        texts = texts.filter(lambda t: not t.startswith(WINDOWS_1252_MARKS))
    # A text that fills its field exactly: the field is as wide as the encoded text.
    return texts.map(lambda t: (8 * len(encode_text(encoding, t)), (t, t)))


NUMERIC_ENCODINGS = {
    "unsigned": numeric(0, 64, lambda b: ints_in(0, (1 << b) - 1)),
    "sign_magnitude": numeric(2, 64, signed_magnitude_range),
    "ones_complement": numeric(1, 64, signed_magnitude_range),
    "twos_complement": numeric(1, 64, lambda b: ints_in(-(1 << (b - 1)), (1 << (b - 1)) - 1)),
    "packed_bcd": numeric(4, 64, lambda b: ints_in(0, 10 ** (b // 4) - 1)),
    "packed_bcd_signed": numeric(
        4, 64, lambda b: ints_in(-(10 ** (b // 4 - 1) - 1), 10 ** (b // 4 - 1) - 1)),
    # Negative values are refused here rather than packed without their sign.
    "unpacked_bcd": numeric(8, 64, lambda b: ints_in(0, 10 ** (b // 8) - 1)),
    "unpacked_bcd_signed": numeric(
        8, 64, lambda b: ints_in(-(10 ** (b // 8) - 1), 10 ** (b // 8) - 1)),
    "ieee754_f16": numeric(16, 64, lambda b: st.one_of(FLOATS, near_half_ties())
                           .map(lambda x: (x, to_half(float(x))))),
    "ieee754_f32": numeric(32, 64, lambda b: FLOATS.map(lambda x: (x, to_single(float(x))))),
    "ieee754_f64": numeric(64, 64, lambda b: FLOATS.map(lambda x: (x, float(x)))),
}

FIELD_STRATEGIES = {**NUMERIC_ENCODINGS,
                    **{name: text_field(name) for name in TEXT_ENCODINGS}}


@st.composite
def byte_aligned_layouts(draw, encoding):
    """Fields of one encoding, each starting on a byte boundary, some with gaps between them.

    Returns the recipe, the values to pack, the values expected back, and the byte ranges
    that no field covers (they must stay zero)."""
    recipe, values, expected, gaps = [], {}, {}, []
    cursor = 0  # where the packet engines' running position stands, in bits
    next_byte = 0  # the first byte after the previous field's window
    for index in range(draw(st.integers(1, 4))):
        bits, (value, back) = draw(FIELD_STRATEGIES[encoding])
        gap = draw(st.integers(0, 2))
        start = 8 * (next_byte + gap)
        # Without "offset_bits" the field starts at the cursor, so the key is needed after a
        # gap or after a field whose width is not a whole number of bytes.
        offset = start if start != cursor or draw(st.booleans()) else None
        name = f"f{index}"
        recipe.append(field(name, spelled(draw, encoding), bits,
                            spelled(draw, draw(st.sampled_from(BYTE_ORDERS))),
                            draw(st.booleans()), offset))
        values[name] = value
        expected[name] = back
        if gap:
            gaps.append((next_byte, next_byte + gap))
        cursor = start + bits
        next_byte = start // 8 + (bits + 7) // 8
    return recipe, values, expected, gaps


def same_value(got, want):
    if isinstance(want, float):
        if math.isnan(want):
            return isinstance(got, float) and math.isnan(got)
        # Compared by bit pattern, so that -0.0 and 0.0 count as different.
        return isinstance(got, float) and struct.pack("<d", got) == struct.pack("<d", want)
    return type(got) is type(want) and got == want


@pytest.mark.parametrize("encoding", sorted(FIELD_STRATEGIES))
@settings(suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_byte_aligned_fields_round_trip(encoding, data):
    recipe, values, expected, gaps = data.draw(byte_aligned_layouts(encoding))
    packet = fieldpack.pack_parameters(recipe, values)
    for first, end in gaps:
        assert packet[first:end] == bytes(end - first)
    got = fieldpack.unpack_parameters(packet, 0, recipe)
    assert list(got) == list(expected)
    for name, want in expected.items():
        assert same_value(got[name], want), (name, got[name], want)


# ---------------------------------------------------------------------------------------------
# Unpacking any packet: each field is its codec applied to the field's value or bytes

# Encoding name -> (codec function name, whether it takes the width, arguments after those).
# Names resolve at call time, so a codec still missing fails its own examples and not the
# whole module.
NUMERIC_DECODERS = {
    "unsigned": None,
    "sign_magnitude": ("decode_sign_magnitude", True, ()),
    "ones_complement": ("decode_ones_complement", True, ()),
    "twos_complement": ("decode_twos_complement", True, ()),
    "packed_bcd": ("decode_packed_bcd", True, (False,)),
    "packed_bcd_signed": ("decode_packed_bcd", True, (True,)),
    "unpacked_bcd": ("decode_unpacked_bcd", True, (False,)),
    "unpacked_bcd_signed": ("decode_unpacked_bcd", True, (True,)),
    "ieee754_f16": ("decode_ieee754_f16", False, ()),
    "ieee754_f32": ("decode_ieee754_f32", False, ()),
    "ieee754_f64": ("decode_ieee754_f64", False, ()),
}

TEXT_DECODERS = {name: "decode_" + name for name in TEXT_ENCODINGS}
TEXT_DECODERS["latin1"] = "decode_iso_8859_1"


def decode_number(encoding, value, bits):
    if NUMERIC_DECODERS[encoding] is None:  # "unsigned" is the field value itself
        return value
    function, takes_bits, extra = NUMERIC_DECODERS[encoding]
    arguments = (value, bits) if takes_bits else (value,)
    return getattr(fieldpack, function)(*arguments, *extra)


def field_value(buffer, bits, reverse_bits):
    """The field's number: its first eight bytes read big-endian, cut to `bits`, mirrored."""
    raw = int.from_bytes(buffer[:8], "big")
    value = raw & ((1 << bits) - 1) if bits < 64 else raw
    return mirror(value, bits) if reverse_bits else value


@st.composite
def packets_with_fields(draw):
    """A recipe of fields at any bit position and a random packet that holds all windows."""
    offset_argument = draw(st.integers(0, 40))
    recipe, starts = [], []
    cursor = offset_argument
    for index in range(draw(st.integers(1, 5))):
        offset_key = draw(st.none() | st.integers(0, 100))
        start = cursor if offset_key is None else offset_argument + offset_key
        encoding = draw(st.sampled_from(sorted(NUMERIC_DECODERS) + sorted(TEXT_DECODERS)))
        # Numbers wider than 64 bits are read from the window's first eight bytes.
        bits = draw(st.integers(0, 80 if encoding in NUMERIC_DECODERS else 8 * 12))
        # How a mirror works across more than 64 bits is not part of the contract.
        reverse_bits = bits <= 64 and draw(st.booleans())
        recipe.append(field(f"f{index}", encoding, bits, draw(st.sampled_from(BYTE_ORDERS)),
                            reverse_bits, offset_key))
        starts.append(start // 8)
        cursor = start + bits
    needed = max(first + (entry["bits"] + 7) // 8 for first, entry in zip(starts, recipe))
    packet = draw(st.binary(min_size=needed, max_size=needed + 3))
    windows = [packet[first:first + (entry["bits"] + 7) // 8]
               for first, entry in zip(starts, recipe)]
    return packet, offset_argument, recipe, windows


def decode_like_the_codecs(recipe, windows):
    """The dictionary unpack_parameters must give, or the codec error it must report."""
    result = {}
    for entry, window in zip(recipe, windows):
        buffer = window[::-1] if entry["byte_order"] == "little" else window
        encoding = entry["encoding"]
        try:
            if encoding in TEXT_DECODERS:
                result[entry["name"]] = getattr(fieldpack, TEXT_DECODERS[encoding])(buffer)
            else:
                value = field_value(buffer, entry["bits"], entry["reverse_bits"])
                result[entry["name"]] = decode_number(encoding, value, entry["bits"])
        except ValueError as error:
            return f"ValueError: {error}"
    return result


@given(packets_with_fields())
def test_unpacked_fields_match_the_codec_functions(case):
    packet, offset_argument, recipe, windows = case
    want = decode_like_the_codecs(recipe, windows)
    if isinstance(want, str):
        with pytest.raises(ValueError) as raised:
            fieldpack.unpack_parameters(packet, offset_argument, recipe)
        assert str(raised.value) == want
        return
    got = fieldpack.unpack_parameters(packet, offset_argument, recipe)
    assert list(got) == list(want)
    for name, value in want.items():
        assert same_value(got[name], value), (name, got[name], value)


# ---------------------------------------------------------------------------------------------
# Over-long text stays inside its own field

@st.composite
def over_long_text_layouts(draw):
    encoding = draw(st.sampled_from(sorted(TEXT_ENCODINGS)))
    alphabet = TEXT_ALPHABETS[TEXT_ENCODINGS[encoding][0]]
    text = draw(st.text(alphabet, min_size=2, max_size=12))
    length = len(encode_text(encoding, text))
    window = draw(st.integers(1, length - 1))
    # A width that is not a whole number of bytes still owns ceil(bits / 8) bytes.
    bits = 8 * window - draw(st.integers(0, 7))
    before_bits = draw(st.sampled_from([8, 16, 24, 32]))
    after_bits = draw(st.sampled_from([8, 16, 24, 32, 64]))
    byte_order = draw(st.sampled_from(BYTE_ORDERS))
    # The text is packed last, so that nothing placed after it could hide a spill.
    recipe = [
        field("before", "unsigned", before_bits, draw(st.sampled_from(BYTE_ORDERS))),
        field("after", "unsigned", after_bits, draw(st.sampled_from(BYTE_ORDERS)),
              offset_bits=before_bits + 8 * window),
        field("text", encoding, bits, byte_order, draw(st.booleans()), offset_bits=before_bits),
    ]
    values = {"before": draw(st.integers(0, (1 << before_bits) - 1)),
              "text": text,
              "after": draw(st.integers(0, (1 << after_bits) - 1))}
    return recipe, values


@given(over_long_text_layouts())
def test_over_long_text_is_cut_at_its_own_window(case):
    recipe, values = case
    before, after, text_entry = recipe
    window = (text_entry["bits"] + 7) // 8
    packet = fieldpack.pack_parameters(recipe, values)
    first = before["bits"] // 8
    assert len(packet) == first + window + after["bits"] // 8
    assert packet[:first] == values["before"].to_bytes(first, before["byte_order"])
    after_bytes = after["bits"] // 8
    assert packet[first + window:] == values["after"].to_bytes(after_bytes, after["byte_order"])
    if text_entry["byte_order"] == "big":
        encoded = encode_text(text_entry["encoding"], values["text"])
        assert packet[first:first + window] == encoded[:window]
