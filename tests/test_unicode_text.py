"""UTF-8, UTF-16 and UTF-32 codecs: strict validation and its messages, byte order marks, and
agreement with Python's codecs on valid text."""


import pytest
from hypothesis import given
from hypothesis import strategies as st

import fieldpack
from helpers import raises_exactly


def invalid_utf8(length, index):
    return f"Invalid UTF-8 bytes: invalid utf-8 sequence of {length} bytes from index {index}"


def incomplete_utf8(index):
    return f"Invalid UTF-8 bytes: incomplete utf-8 byte sequence from index {index}"


LONE_SURROGATE = "Invalid UTF-16 sequence: invalid utf-16: lone surrogate found"
UTF16_ODD = "UTF-16 requires an even number of bytes"
UTF16_SHORT = "UTF-16 requires an even number of bytes with at least 2 bytes"
UTF32_LENGTH = "UTF-32 requires a multiple of 4 bytes"
UTF32_SHORT = "UTF-32 requires a multiple of 4 bytes with at least 4 bytes"

DECODED = [
    ("decode_utf8", "", ""),
    ("decode_utf8", "EF BB BF 41", "\ufeffA"),
    ("decode_utf8", "C3 A9 E2 82 AC F0 9F 98 80", "é€😀"),
    ("decode_utf8", "F4 8F BF BF EF BF BE", "\U0010ffff\ufffe"),
    ("decode_utf16", "FE FF", ""),
    ("decode_utf16", "FF FE", ""),
    ("decode_utf16", "00 41", "A"),
    ("decode_utf16", "FF FE 41 00", "A"),
    ("decode_utf16", "FE FF 00 41", "A"),
    ("decode_utf16", "FE FF FE FF", "\ufeff"),  # only the first mark is removed
    ("decode_utf16be", "", ""),
    ("decode_utf16le", "", ""),
    ("decode_utf16be", "FE FF 00 41", "\ufeffA"),
    ("decode_utf16be", "FF FE", "\ufffe"),
    ("decode_utf16le", "FF FE", "\ufeff"),
    ("decode_utf16be", "D8 3D DE 00", "\U0001f600"),
    ("decode_utf16le", "3D D8 00 DE", "\U0001f600"),
    ("decode_utf16be", "DB FF DF FF D7 FF E0 00", "\U0010ffff\ud7ff\ue000"),
    ("decode_utf32", "FF FE 00 00 41 00 00 00", "A"),
    ("decode_utf32", "00 00 FE FF", ""),
    ("decode_utf32", "FF FE 00 00", ""),
    ("decode_utf32", "00 00 00 41", "A"),
    ("decode_utf32be", "", ""),
    ("decode_utf32le", "", ""),
    ("decode_utf32be", "00 00 FE FF", "\ufeff"),
    ("decode_utf32le", "FF FF 10 00", "\U0010ffff"),
    ("decode_utf32be", "00 00 D7 FF 00 00 E0 00", "\ud7ff\ue000"),
]


@pytest.mark.parametrize("function, data, text", DECODED)
def test_decode(function, data, text):
    assert getattr(fieldpack, function)(bytes.fromhex(data)) == text


DECODE_FAILURES = [
    ("decode_utf8", "FF", invalid_utf8(1, 0)),
    ("decode_utf8", "80", invalid_utf8(1, 0)),
    ("decode_utf8", "C1 BF", invalid_utf8(1, 0)),
    ("decode_utf8", "F5 80 80 80", invalid_utf8(1, 0)),
    ("decode_utf8", "61 E2 82", incomplete_utf8(1)),
    ("decode_utf8", "C2", incomplete_utf8(0)),
    ("decode_utf8", "F0 9F 98", incomplete_utf8(0)),
    ("decode_utf8", "E2 28 A1", invalid_utf8(1, 0)),
    ("decode_utf8", "F0 9F 98 41", invalid_utf8(3, 0)),
    ("decode_utf8", "E2 82 E2 82 AC", invalid_utf8(2, 0)),
    ("decode_utf8", "ED A0 80", invalid_utf8(1, 0)),  # an encoded surrogate
    ("decode_utf8", "C0 80", invalid_utf8(1, 0)),  # overlong
    ("decode_utf8", "E0 9F BF", invalid_utf8(1, 0)),  # overlong
    ("decode_utf8", "F0 8F BF BF", invalid_utf8(1, 0)),  # overlong
    ("decode_utf8", "F4 90 80 80", invalid_utf8(1, 0)),  # above 10FFFF
    ("decode_utf8", "E0 80", invalid_utf8(1, 0)),  # cut short, but the second byte is wrong
    ("decode_utf8", "41 C3 A9 FF 80", invalid_utf8(1, 3)),  # the first fault wins
    ("decode_utf16", "", UTF16_SHORT),
    ("decode_utf16", "41", UTF16_SHORT),
    ("decode_utf16", "FE FF 41", UTF16_SHORT),
    ("decode_utf16be", "00 41 00", UTF16_ODD),
    ("decode_utf16le", "41", UTF16_ODD),
    ("decode_utf16le", "00 D8", LONE_SURROGATE),
    ("decode_utf16be", "DC 00", LONE_SURROGATE),
    ("decode_utf16be", "DE 00 D8 3D", LONE_SURROGATE),  # a pair in the wrong order
    ("decode_utf16be", "D8 3D 00 41", LONE_SURROGATE),
    ("decode_utf16be", "D8 3D D8 3D DE 00", LONE_SURROGATE),
    ("decode_utf16", "FE FF D8 3D", LONE_SURROGATE),
    ("decode_utf16", "FF FE 3D D8", LONE_SURROGATE),
    ("decode_utf32", "", UTF32_SHORT),
    ("decode_utf32", "00 00 FE", UTF32_SHORT),
    ("decode_utf32", "00 00 00 41 00", UTF32_SHORT),
    ("decode_utf32le", "41 00 00 00 00", UTF32_LENGTH),
    ("decode_utf32be", "00 00", UTF32_LENGTH),
    ("decode_utf32", "00 00 D8 00", "Invalid UTF-32 codepoint: 0x0000D800"),
    ("decode_utf32", "00 11 00 00", "Invalid UTF-32 codepoint: 0x00110000"),
    ("decode_utf32le", "00 00 11 00", "Invalid UTF-32 codepoint: 0x00110000"),
    ("decode_utf32be", "00 00 DF FF", "Invalid UTF-32 codepoint: 0x0000DFFF"),
    ("decode_utf32be", "FF FF FF FF", "Invalid UTF-32 codepoint: 0xFFFFFFFF"),
    ("decode_utf32", "FF FE 00 00 00 D8 00 00", "Invalid UTF-32 codepoint: 0x0000D800"),
    ("decode_utf32be", "00 00 00 41 80 00 00 00 00 00 DC 00",
     "Invalid UTF-32 codepoint: 0x80000000"),
]


@pytest.mark.parametrize("function, data, message", DECODE_FAILURES)
def test_decode_failure(function, data, message):
    with raises_exactly(ValueError, message):
        getattr(fieldpack, function)(bytes.fromhex(data))


# The scans judge blocks of units at a time; a fault must be found, and found first, wherever it
# falls in a block, after an astral character as well as after plain text.
@pytest.mark.parametrize("position", [0, 1, 7, 8, 15, 16, 17, 31, 40, 63, 64, 70])
@pytest.mark.parametrize("prefix_character", ["a", "é", "😀"])
def test_fault_position(position, prefix_character):
    prefix = prefix_character * position
    utf8 = prefix.encode()
    with raises_exactly(ValueError, invalid_utf8(1, len(utf8))):
        fieldpack.decode_utf8(utf8 + b"\xff" + b"a" * 40 + b"\xff")
    with raises_exactly(ValueError, incomplete_utf8(len(utf8))):
        fieldpack.decode_utf8(utf8 + b"\xf0\x9f")
    for function, codec, lone in (("decode_utf16be", "utf-16-be", b"\xdc\x00"),
                                  ("decode_utf16le", "utf-16-le", b"\x00\xd8")):
        with raises_exactly(ValueError, LONE_SURROGATE):
            getattr(fieldpack, function)(prefix.encode(codec) + lone + "a".encode(codec) * 40)
    for function, codec, first, second in (
            ("decode_utf32be", "utf-32-be", b"\x00\x00\xd8\x00", b"\x00\x11\x00\x00"),
            ("decode_utf32le", "utf-32-le", b"\x00\xd8\x00\x00", b"\x00\x00\x11\x00")):
        with raises_exactly(ValueError, "Invalid UTF-32 codepoint: 0x0000D800"):
            getattr(fieldpack, function)(prefix.encode(codec) + first + second * 10)


# Long mostly-ASCII text after a first non-ASCII character: ASCII stretches are skipped a word at
# a time, so a fault at any byte of a word, in either half, must still be seen.
@pytest.mark.parametrize("index", [2, 9, 263, 520, 1031, 1039, 1535, 2047])
def test_fault_in_long_text(index):
    data = bytearray("é".encode() + b"a" * 2046)
    data[index] = 0x80
    with raises_exactly(ValueError, invalid_utf8(1, index)):
        fieldpack.decode_utf8(bytes(data))
    data[index] = 0xE2
    message = incomplete_utf8(index) if index == len(data) - 1 else invalid_utf8(1, index)
    with raises_exactly(ValueError, message):
        fieldpack.decode_utf8(bytes(data))


ENCODED = [
    ("encode_utf8", "", ""),
    ("encode_utf16", "", "FE FF"),
    ("encode_utf32", "", "00 00 FE FF"),
    ("encode_utf16be", "", ""),
    ("encode_utf32le", "", ""),
    ("encode_utf16", "A", "FE FF 00 41"),
    ("encode_utf32", "A", "00 00 FE FF 00 00 00 41"),
    ("encode_utf16be", "\U0001f600", "D8 3D DE 00"),
    ("encode_utf16le", "\U0001f600", "3D D8 00 DE"),
    ("encode_utf16", "\U0010ffff", "FE FF DB FF DF FF"),
    ("encode_utf32le", "A", "41 00 00 00"),
    ("encode_utf32be", "A", "00 00 00 41"),
    ("encode_utf32be", "\U0010ffff\ufeff", "00 10 FF FF 00 00 FE FF"),
    ("encode_utf8", "\ufeffé", "EF BB BF C3 A9"),
]


@pytest.mark.parametrize("function, text, data", ENCODED)
def test_encode(function, text, data):
    assert getattr(fieldpack, function)(text) == bytes.fromhex(data)


def test_encoders_refuse_lone_surrogates_through_the_text_conversion():
    with pytest.raises(UnicodeEncodeError):
        fieldpack.encode_utf16be("\ud800")


# Python's codec of the same name, and the mark the plain forms write.
PAIRS = [
    ("utf8", "utf-8", b""),
    ("utf16", "utf-16-be", b"\xfe\xff"),
    ("utf16be", "utf-16-be", b""),
    ("utf16le", "utf-16-le", b""),
    ("utf32", "utf-32-be", b"\x00\x00\xfe\xff"),
    ("utf32be", "utf-32-be", b""),
    ("utf32le", "utf-32-le", b""),
]

# Every storage width a str can have, astral characters included, and long ASCII runs.
TEXTS = st.text(st.one_of(st.characters(max_codepoint=0x7F), st.characters(max_codepoint=0xFF),
                          st.characters(codec="utf-8"),
                          st.characters(min_codepoint=0x10000, codec="utf-8"))) | \
    st.builds(lambda a, b, c: a * 37 + b + a * 11 + c, st.text(max_size=3), st.text(max_size=2),
              st.text(max_size=2))


@given(TEXTS)
def test_agrees_with_python_and_round_trips(text):
    for name, codec, mark in PAIRS:
        encoded = getattr(fieldpack, "encode_" + name)(text)
        assert encoded == mark + text.encode(codec)
        decoded = getattr(fieldpack, "decode_" + name)(encoded)
        assert decoded == text  # str equality also compares the storage width on CPython
        assert decoded.encode(codec) == text.encode(codec)
        if name in ("utf16", "utf32"):
            python_name = "utf-16" if name == "utf16" else "utf-32"
            assert encoded.decode(python_name) == text


@given(TEXTS)
def test_plain_forms_read_little_endian_after_a_little_endian_mark(text):
    assert fieldpack.decode_utf16(b"\xff\xfe" + text.encode("utf-16-le")) == text
    assert fieldpack.decode_utf32(b"\xff\xfe\x00\x00" + text.encode("utf-32-le")) == text


# Byte strings near valid UTF-8: valid sequences, cut sequences, lone leads, continuation bytes and
# the boundary bytes of each second-byte range.
UTF8_PIECES = st.sampled_from([
    b"a", b"\xc3\xa9", b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xf4\x8f\xbf\xbf", b"\xed\x9f\xbf",
    b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98", b"\x80", b"\xbf", b"\xc0", b"\xc1", b"\xc2", b"\xe0",
    b"\xed", b"\xef", b"\xf0", b"\xf4", b"\xf5", b"\xff", b"\x9f", b"\xa0", b"\x8f", b"\x90",
])


# Long inputs are validated as two halves side by side, skipping ASCII stretches: the fault may
# fall in either half, at the seam or after a long ASCII run.
@given(st.lists(UTF8_PIECES, max_size=12).map(b"".join) | st.binary(max_size=24),
       st.text(max_size=40), st.integers(0, 600), st.text(max_size=300))
def test_utf8_faults_follow_python(middle, before, ascii_run, after):
    data = before.encode() + b"x" * ascii_run + middle + after.encode()
    try:
        expected = data.decode("utf-8")
    except UnicodeDecodeError as error:
        if error.reason == "unexpected end of data":
            message = incomplete_utf8(error.start)
        else:
            message = invalid_utf8(error.end - error.start, error.start)
        with raises_exactly(ValueError, message):
            fieldpack.decode_utf8(data)
    else:
        assert fieldpack.decode_utf8(data) == expected


@given(st.binary(max_size=40))
def test_utf16_and_utf32_accept_what_python_accepts(data):
    for name, codec in (("utf16be", "utf-16-be"), ("utf16le", "utf-16-le"),
                        ("utf32be", "utf-32-be"), ("utf32le", "utf-32-le")):
        try:
            expected = data.decode(codec)
        except UnicodeDecodeError:
            with pytest.raises(ValueError):
                getattr(fieldpack, "decode_" + name)(data)
        else:
            assert getattr(fieldpack, "decode_" + name)(data) == expected


def test_decoders_take_bytes_subclasses_and_refuse_others():
    class Packet(bytes):
        pass

    assert fieldpack.decode_utf8(Packet(b"ok")) == "ok"
    message = "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"
    with raises_exactly(TypeError, message):
        fieldpack.decode_utf16be(bytearray(b"\x00A"))


# Encoders read a str in its own storage: one byte per character below U+0100, two below
# U+10000, four beyond. The character that sets the width sits at the edges of the blocks the
# encoders take at a time, and again after a run long enough for their fast paths.
BLOCK_EDGES = [0, 1, 7, 8, 9, 15, 16, 31, 32, 33, 63, 64, 239, 240, 255, 256, 1024]
WIDTH_CHARACTERS = ["é", "\x80", "\xff", "\u0100", "€", "\uffff", "\U0001f600", "\U0010ffff"]


@pytest.mark.parametrize("position", BLOCK_EDGES)
@pytest.mark.parametrize("character", WIDTH_CHARACTERS)
def test_encoders_read_every_storage_width(position, character):
    text = "a" * position + character + "b" * 40 + character + "c" * (position % 9)
    for name, codec, mark in PAIRS:
        assert getattr(fieldpack, "encode_" + name)(text) == mark + text.encode(codec), name


@pytest.mark.parametrize("length", [0, 1, 2, 3, 7, 8, 9, 31, 32, 33, 300])
def test_encoders_of_short_and_long_text_in_each_width(length):
    for sample in ("ascii ", "Grüße ", "Ελληνικά ", "中文 ", "🚀🛰 "):
        text = (sample * (length // len(sample) + 1))[:length]
        for name, codec, mark in PAIRS:
            assert getattr(fieldpack, "encode_" + name)(text) == mark + text.encode(codec), name


# UTF-8 of two- and four-byte text is written in one pass into room for three or four bytes a
# character, then cut to length; short texts go through a fixed buffer first. Texts on both sides
# of that buffer's size, with the room filled exactly (every character at its longest) or mostly
# left over.
@pytest.mark.parametrize("length", [255, 256, 257, 341, 342, 343, 1000])
@pytest.mark.parametrize("fill, last", [("😀", "😀"), ("€", "€"), ("a", "😀"), ("a", "€"),
                                        ("é", "\U0010ffff"), ("中", "a")])
def test_utf8_of_wide_text_around_the_buffer_size(length, fill, last):
    text = fill * (length - 1) + last
    assert fieldpack.encode_utf8(text) == text.encode("utf-8")


def test_encoders_take_str_subclasses_in_each_width():
    class Text(str):
        pass

    for text in ("plain", "café", "€uro", "😀!"):
        for name, codec, mark in PAIRS:
            encoded = getattr(fieldpack, "encode_" + name)(Text(text))
            assert encoded == mark + text.encode(codec), name


ENCODERS = ["us_ascii", "iso_8859_1", "windows_1252", "utf8", "utf16", "utf16le", "utf16be",
            "utf32", "utf32le", "utf32be"]

# A lone surrogate has no encoding: every encoder fails with the host's own UTF-8 error,
# wherever it sits, in two- and four-byte storage, and before any error of the encoder itself.
SURROGATE_TEXTS = ["\ud800", "a\udc00", "x" * 40 + "\udfff" + "y", "é" * 33 + "\ud83d",
                   "😀" * 9 + "\udc00", "\ud800\udc00", "€" + "z" * 1100 + "\udbff",
                   "\udfff" + "😀" * 300]


@pytest.mark.parametrize("text", SURROGATE_TEXTS)
@pytest.mark.parametrize("name", ENCODERS)
def test_lone_surrogates_fail_with_the_hosts_error(name, text):
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    with pytest.raises(UnicodeEncodeError) as raised:
        getattr(fieldpack, "encode_" + name)(text)
    assert raised.value.args == expected.value.args


@pytest.mark.parametrize("encoding", ["utf8", "utf16be", "us_ascii", "windows_1252"])
def test_packing_a_lone_surrogate_fails_with_the_hosts_error(encoding):
    text = "é" * 5 + "\udc00"
    with pytest.raises(UnicodeEncodeError) as expected:
        text.encode("utf-8")
    recipe = [{"name": "t", "bits": 64, "encoding": encoding, "byte_order": "big",
               "reverse_bits": False}]
    with raises_exactly(ValueError, f"UnicodeEncodeError: {expected.value}"):
        fieldpack.pack_parameters(recipe, {"t": text})


# On CPython, UTF-8 is decoded on the guess that nothing in it passes U+00FF: in one pass into a
# one-byte string, which is then cut to length. A wider character or a fault anywhere ends the
# guess, and the text must then decode, or fail, exactly as it would without it.
@pytest.mark.parametrize("position", [0, 1, 30, 31, 32, 33, 63, 64, 65, 200])
@pytest.mark.parametrize("before", ["a", "é", "aé"])
@pytest.mark.parametrize("tail", ["", "é", "\xff", "\u0100", "€", "\U0001f600"])
def test_decode_utf8_one_byte_guess(position, before, tail):
    text = (before * position)[:position] + "\x80" + "z" * 40 + tail
    assert fieldpack.decode_utf8(text.encode()) == text  # on CPython also the storage width


@pytest.mark.parametrize("position", [0, 1, 31, 32, 33, 64, 65])
@pytest.mark.parametrize("fault, message", [
    (b"\xc3", incomplete_utf8),
    (b"\xc3(", lambda index: invalid_utf8(1, index)),
    (b"\xc0\x80", lambda index: invalid_utf8(1, index)),
    (b"\x80", lambda index: invalid_utf8(1, index)),
    (b"\xe2\x82", incomplete_utf8),
    (b"\xe2\x82(", lambda index: invalid_utf8(2, index)),
    (b"\xed\xa0\x80", lambda index: invalid_utf8(1, index)),
])
def test_decode_utf8_faults_after_one_byte_text(position, fault, message):
    prefix = ("é" * position)[:position].encode()
    with raises_exactly(ValueError, message(len(prefix))):
        fieldpack.decode_utf8(prefix + fault)
    if message is not incomplete_utf8:  # more text after a cut sequence makes it malformed
        with raises_exactly(ValueError, message(len(prefix) + 1)):
            fieldpack.decode_utf8(prefix + b"a" + fault + ("ü" * 50).encode())
