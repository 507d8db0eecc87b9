"""US-ASCII, ISO-8859-1 and Windows-1252 codecs: their messages, the windows-1252 index checked
against Python's cp1252, and the byte order mark sniffing of the Windows-1252 decoder."""


import pytest
from hypothesis import given
from hypothesis import strategies as st

import fieldpack
from helpers import raises_exactly


SINGLE_BYTE = ["us_ascii", "iso_8859_1", "windows_1252"]

# Bytes that Python's cp1252 leaves undefined; here each is the C1 control of the same value.
UNLISTED_IN_CP1252 = [0x81, 0x8D, 0x8F, 0x90, 0x9D]


@pytest.mark.parametrize("name", SINGLE_BYTE)
def test_empty(name):
    assert getattr(fieldpack, "decode_" + name)(b"") == ""
    assert getattr(fieldpack, "encode_" + name)("") == b""


DECODE_FAILURES = [
    ("decode_us_ascii", "41 80", "Invalid US-ASCII byte: 0x80 (must be <= 0x7F)"),
    ("decode_us_ascii", "FF", "Invalid US-ASCII byte: 0xFF (must be <= 0x7F)"),
    ("decode_us_ascii", "41" * 40 + "C3 A9", "Invalid US-ASCII byte: 0xC3 (must be <= 0x7F)"),
    ("decode_windows_1252", "EF BB BF FF", "Failed to decode Windows-1252 bytes"),
    ("decode_windows_1252", "EF BB BF E2 82", "Failed to decode Windows-1252 bytes"),
    ("decode_windows_1252", "EF BB BF ED A0 80", "Failed to decode Windows-1252 bytes"),
    ("decode_windows_1252", "FF FE 41", "Failed to decode Windows-1252 bytes"),
    ("decode_windows_1252", "FE FF 00 41 00", "Failed to decode Windows-1252 bytes"),
    ("decode_windows_1252", "FF FE 00 D8", "Failed to decode Windows-1252 bytes"),
    ("decode_windows_1252", "FE FF DC 00 00 41", "Failed to decode Windows-1252 bytes"),
]


@pytest.mark.parametrize("function, data, message", DECODE_FAILURES)
def test_decode_failure(function, data, message):
    with raises_exactly(ValueError, message):
        getattr(fieldpack, function)(bytes.fromhex(data))


WINDOWS_1252_DECODED = [
    ("80", "\u20ac"),
    ("81", "\x81"),
    ("9F", "\u0178"),
    ("E9", "\u00e9"),
    ("EF BB BF 41", "A"),
    ("EF BB BF", ""),
    ("EF BB BF EF BB BF", "\ufeff"),  # no mark is looked for after the first
    ("EF BB BF E2 82 AC", "€"),
    ("EF BB", "\u00ef\u00bb"),
    ("FF FE 41 00", "A"),
    ("FE FF 00 41", "A"),
    ("FF FE", ""),
    ("FE FF D8 3D DE 00", "\U0001f600"),
    ("FF", "\u00ff"),
    ("FE", "\u00fe"),
    ("FE FE", "\u00fe\u00fe"),
    ("EF FE FF", "\u00ef\u00fe\u00ff"),
    ("41 FF FE 41 00", "A\u00ff\u00feA\x00"),  # a mark counts only at the very start
]


@pytest.mark.parametrize("data, text", WINDOWS_1252_DECODED)
def test_decode_windows_1252(data, text):
    assert fieldpack.decode_windows_1252(bytes.fromhex(data)) == text


@pytest.mark.parametrize("byte", range(256))
def test_windows_1252_byte_against_cp1252(byte):
    expected = chr(byte) if byte in UNLISTED_IN_CP1252 else bytes([byte]).decode("cp1252")
    text = fieldpack.decode_windows_1252(bytes([byte]))
    assert text == expected
    assert fieldpack.encode_windows_1252(text) == bytes([byte])


def test_windows_1252_encode_against_cp1252_for_every_bmp_character():
    refused_here_but_not_there = []
    for code_point in range(0x10000):
        # U+FFFE marks undefined bytes in the host's cp1252 table, and PyPy's cp1252 encoder
        # maps it back to one of them; it is refused here (see the failure table).
        if 0xD800 <= code_point < 0xE000 or code_point == 0xFFFE:
            continue
        character = chr(code_point)
        try:
            expected = character.encode("cp1252")
        except UnicodeEncodeError:
            expected = bytes([code_point]) if code_point in UNLISTED_IN_CP1252 else None
        try:
            got = fieldpack.encode_windows_1252(character)
        except ValueError as error:
            assert str(error) == "Failed to encode to Windows-1252"
            got = None
        if got != expected:
            refused_here_but_not_there.append((hex(code_point), got, expected))
    assert refused_here_but_not_there == []


def test_decode_iso_8859_1_every_byte():
    assert fieldpack.decode_iso_8859_1(bytes(range(256))) == "".join(map(chr, range(256)))


def test_decode_us_ascii_every_byte_below_80():
    assert fieldpack.decode_us_ascii(bytes(range(128))) == "".join(map(chr, range(128)))


ENCODED = [
    ("encode_us_ascii", "\x00\x7f", "00 7F"),
    ("encode_iso_8859_1", "\u00ff\u0080A", "FF 80 41"),
    ("encode_windows_1252", "\u20ac", "80"),
    ("encode_windows_1252", "\u00e9", "E9"),
    ("encode_windows_1252", "\u0081", "81"),
    ("encode_windows_1252", "\u2122\u2022\u0178", "99 95 9F"),  # low bytes alike in the index
]


@pytest.mark.parametrize("function, text, data", ENCODED)
def test_encode(function, text, data):
    assert getattr(fieldpack, function)(text) == bytes.fromhex(data)


ENCODE_FAILURES = [
    ("encode_us_ascii", "a\u00e9", "Character '\u00e9' (U+00E9) is not valid US-ASCII"),
    ("encode_us_ascii", "\x80", "Character '\x80' (U+0080) is not valid US-ASCII"),
    ("encode_us_ascii", "\U0001f600", "Character '\U0001f600' (U+1F600) is not valid US-ASCII"),
    ("encode_us_ascii", "\U0010ffff", "Character '\U0010ffff' (U+10FFFF) is not valid US-ASCII"),
    ("encode_us_ascii", "x" * 40 + "\u20ac\u00e9",
     "Character '\u20ac' (U+20AC) is not valid US-ASCII"),
    ("encode_iso_8859_1", "\u20ac", "Character '\u20ac' (U+20AC) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "\u00ff\u0100", "Character '\u0100' (U+0100) is not valid ISO-8859-1"),
    ("encode_iso_8859_1", "\u00e9" * 20 + "\U0001f600\u20ac",
     "Character '\U0001f600' (U+1F600) is not valid ISO-8859-1"),
    ("encode_windows_1252", "\u0080", "Failed to encode to Windows-1252"),
    ("encode_windows_1252", "\u0100", "Failed to encode to Windows-1252"),
    ("encode_windows_1252", "\u009f", "Failed to encode to Windows-1252"),
    ("encode_windows_1252", "\ufffe", "Failed to encode to Windows-1252"),
    ("encode_windows_1252", "abc\u20ac\U0001f600", "Failed to encode to Windows-1252"),
]


@pytest.mark.parametrize("function, text, message", ENCODE_FAILURES)
def test_encode_failure(function, text, message):
    with raises_exactly(ValueError, message):
        getattr(fieldpack, function)(text)


WINDOWS_1252_CHARACTERS = "".join(
    fieldpack.decode_windows_1252(bytes([b])) for b in range(256))
# Texts whose bytes would start with a byte order mark do not come back, by design.
MARK_STARTS = ("\u00ef\u00bb\u00bf", "\u00ff\u00fe", "\u00fe\u00ff")


@given(st.text(st.sampled_from(WINDOWS_1252_CHARACTERS))
       | st.text(st.characters(max_codepoint=0x7F)))
def test_windows_1252_round_trip(text):
    encoded = fieldpack.encode_windows_1252(text)
    assert len(encoded) == len(text)
    if not text.startswith(MARK_STARTS):
        assert fieldpack.decode_windows_1252(encoded) == text


@given(st.text(st.characters(max_codepoint=0xFF)))
def test_iso_8859_1_and_us_ascii_agree_with_python(text):
    assert fieldpack.encode_iso_8859_1(text) == text.encode("latin-1")
    assert fieldpack.decode_iso_8859_1(text.encode("latin-1")) == text
    ascii_only = text.isascii()
    if ascii_only:
        assert fieldpack.encode_us_ascii(text) == text.encode("ascii")
        assert fieldpack.decode_us_ascii(text.encode("ascii")) == text
    else:
        with pytest.raises(ValueError):
            fieldpack.encode_us_ascii(text)
        with pytest.raises(ValueError):
            fieldpack.decode_us_ascii(text.encode("latin-1"))


# Encoders read a str in its own storage, one, two or four bytes per character; the failure
# names the first character without a byte even when a wider one, later, set the storage width.
BLOCK_EDGES = [0, 1, 7, 8, 9, 15, 16, 31, 32, 33, 63, 64, 255, 256, 1024]
OWN_VALUE_SETS = [("us_ascii", 0x80, "US-ASCII"), ("iso_8859_1", 0x100, "ISO-8859-1")]


def windows_1252_bytes(text):
    """The expected encoding, from Python's cp1252 and the five bytes it leaves undefined."""
    out = bytearray()
    for character in text:
        if ord(character) in UNLISTED_IN_CP1252:
            out.append(ord(character))
            continue
        try:
            out += character.encode("cp1252")
        except UnicodeEncodeError:
            return None
    return bytes(out)


@pytest.mark.parametrize("position", BLOCK_EDGES)
@pytest.mark.parametrize("character", ["é", "\x80", "\x9d", "\xff", "\u0100", "€", "\u2122",
                                       "\uffff", "\U0001f600"])
@pytest.mark.parametrize("later", ["", "z", "\u0101", "\U0001f680"])
def test_single_byte_encoders_read_every_storage_width(position, character, later):
    text = "a" * position + character + "b" * 40 + later
    for name, limit, set_name in OWN_VALUE_SETS:
        refused = [c for c in text if ord(c) >= limit]
        encode = getattr(fieldpack, "encode_" + name)
        if not refused:
            assert encode(text) == text.encode("latin-1")
        else:
            c = refused[0]
            with raises_exactly(ValueError, f"Character '{c}' (U+{ord(c):04X}) is not valid {set_name}"):
                encode(text)
    expected = windows_1252_bytes(text)
    if expected is None:
        with raises_exactly(ValueError, "Failed to encode to Windows-1252"):
            fieldpack.encode_windows_1252(text)
    else:
        assert fieldpack.encode_windows_1252(text) == expected


# Wide text maps through one table up to U+21FF and refuses all beyond; U+0000 is the one code
# point whose byte is 0.
@pytest.mark.parametrize("text, data", [
    ("\x00€", "00 80"),
    ("€\x00", "80 00"),
    ("\u2122\u0178\u02dc", "99 9F 98"),
    ("\u00a0\u00ff\u0081€", "A0 FF 81 80"),
    ("€" * 70 + "\x00", "80" * 70 + "00"),
])
def test_encode_windows_1252_from_wide_storage(text, data):
    assert fieldpack.encode_windows_1252(text) == bytes.fromhex(data)


@pytest.mark.parametrize("character", ["\u0080", "\u009f", "\u0100", "\u21ff", "\u2200",
                                       "\u2123", "\uffff", "\U00010000", "\U0010ffff"])
@pytest.mark.parametrize("wide", ["€", "\U0001f600"])
def test_encode_windows_1252_refuses_from_wide_storage(character, wide):
    for text in (wide + character, character + "a" * 20 + wide, "é" * 17 + character):
        with raises_exactly(ValueError, "Failed to encode to Windows-1252"):
            fieldpack.encode_windows_1252(text)


# Decoders settle the width at the first byte that needs it; the text after it still counts.
@pytest.mark.parametrize("position", BLOCK_EDGES)
@pytest.mark.parametrize("byte, tail", [(0xE9, b""), (0x80, b""), (0x81, b"\x9d"),
                                        (0x41, b"\x8d\x8f\x90"), (0x41, b"\x99")])
def test_single_byte_decoders_find_the_width_anywhere(position, byte, tail):
    data = b"a" * position + bytes([byte]) + b"b" * 20 + tail
    assert fieldpack.decode_iso_8859_1(data) == data.decode("latin-1")
    expected = "".join(chr(b) if b in UNLISTED_IN_CP1252 else bytes([b]).decode("cp1252")
                       for b in data)
    assert fieldpack.decode_windows_1252(data) == expected  # on CPython also the storage width
