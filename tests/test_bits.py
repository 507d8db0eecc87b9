"""Bit-exact layouts, Layout(recipe, packing="bits"): a field occupies exactly bits [p, p + bits)
of the packet, most significant bit first. Checked against a short reference that cuts a field's
bits out with int arithmetic and hands them, right-aligned in whole bytes, to the packet
functions (the codecs' own rule); fields of whole bytes on byte boundaries read and write as
under byte packing."""

import copy
import json
import math
import pickle
import random
import struct

import pytest
from hypothesis import given
from hypothesis import strategies as st

import fieldpack
from fieldpack_layout import Layout
from helpers import field, outcome, raises_exactly
from test_columns import as_reprs, by_columns, by_packets, needs_numpy, numpy
from test_layout import entries, values_for

# ---------------------------------------------------------------------------------------------
# The reference


def starts(recipe):
    """Where each field starts: at its offset_bits, or where the field before it ends."""
    cursor, out = 0, []
    for entry in recipe:
        start = entry.get("offset_bits", cursor)
        out.append(start)
        cursor = start + entry["bits"]
    return out


def reference_unpack(recipe, packet, offset=0):
    """The dict a bit-exact layout gives, or the ValueError it raises."""
    whole = int.from_bytes(packet, "big")
    result = {}
    for entry, start in zip(recipe, starts(recipe)):
        start += offset
        bits, name = entry["bits"], entry["name"]
        first, end = start // 8, (start + bits + 7) // 8 if bits else start // 8
        if end > len(packet):
            count = end - first
            raise ValueError(
                f"ValueError: Field '{name}' needs {count} byte{'s' * (count != 1)} from byte "
                f"{first}, but the packet is {len(packet)} byte{'s' * (len(packet) != 1)} long")
        value = (whole >> (8 * len(packet) - start - bits)) & ((1 << bits) - 1) if bits else 0
        window = value.to_bytes((bits + 7) // 8, "big")
        result.update(fieldpack.unpack_parameters(window, 0, [dict(entry, offset_bits=0)]))
    return result


# The encoded length of text, for the bytes of a text field that packing writes.
TEXT_CODECS = {"utf8": "utf-8", "utf16le": "utf-16-le", "utf32be": "utf-32-be",
               "us_ascii": "ascii", "latin1": "latin-1"}


def reference_image(recipe, values, length, offset=0):
    """What packing writes, as an int of `length` bytes, fields placed from bit `offset`:
    each field's bits in recipe order, the later winning shared bits; text only its encoded
    bytes that fit."""
    image, total = 0, 8 * length
    for entry, start in zip(recipe, starts(recipe)):
        start += offset
        bits, name = entry["bits"], entry["name"]
        single = dict(entry, offset_bits=0)
        window = fieldpack.pack_parameters([single], {name: values[name]})
        count = len(window)
        written = count
        if entry["encoding"] in TEXT_CODECS:
            written = min(count, len(values[name].encode(TEXT_CODECS[entry["encoding"]])))
        pattern = int.from_bytes(window, "big")
        for j in range(bits):  # bit j of the field, most significant first
            if (8 * count - bits + j) // 8 < written:
                at = total - 1 - (start + j)
                image = (image & ~(1 << at)) | (((pattern >> (bits - 1 - j)) & 1) << at)
    return image


def reference_pack_into(recipe, values, buffer, offset):
    """pack_into: every field's bits from the image, every other bit of the buffer kept."""
    total = 8 * len(buffer)
    image = reference_image(recipe, values, len(buffer), offset)
    result = int.from_bytes(buffer, "big")
    for entry, start in zip(recipe, starts(recipe)):
        mask = ((1 << entry["bits"]) - 1) << (total - (offset + start) - entry["bits"])
        result = (result & ~mask) | (image & mask)
    return result.to_bytes(len(buffer), "big")


# ---------------------------------------------------------------------------------------------
# Random bit-exact recipes and fitting values

UNSIGNED, SIGNED = ["unsigned"], ["twos_complement", "ones_complement", "sign_magnitude"]
BCD = ["packed_bcd", "packed_bcd_signed", "unpacked_bcd", "unpacked_bcd_signed"]


@st.composite
def bit_entries(draw, names=st.sampled_from(["a", "b", "c", "d", "a"])):
    kind = draw(st.sampled_from(["int", "int", "int", "little", "bcd", "float", "text"]))
    if kind == "int":
        encoding = draw(st.sampled_from(UNSIGNED + SIGNED))
        bits, order = draw(st.one_of(st.integers(0, 72), st.sampled_from([1, 63, 64]))), "big"
    elif kind == "little":
        encoding = draw(st.sampled_from(UNSIGNED + SIGNED + BCD))
        bits, order = 8 * draw(st.integers(0, 9)), "little"
    elif kind == "bcd":
        encoding, bits, order = draw(st.sampled_from(BCD)), draw(st.integers(0, 72)), "big"
    elif kind == "float":
        encoding = draw(st.sampled_from(["ieee754_f16", "ieee754_f32", "ieee754_f64"]))
        bits = draw(st.sampled_from([16, 32, 64, int(encoding[-2:]) if encoding[-2] != "f" else 16]))
        order = draw(st.sampled_from(["big", "little"]))
    else:
        encoding = draw(st.sampled_from(sorted(TEXT_CODECS)))
        bits, order = 8 * draw(st.integers(0, 5)), draw(st.sampled_from(["big", "little"]))
    entry = field(draw(names), bits, encoding, order, draw(st.booleans()))
    if draw(st.integers(0, 3)) == 0:
        entry["offset_bits"] = draw(st.integers(0, 90))
    return entry


def fitting(entry):
    """Values that the field's codec packs without failing."""
    encoding, bits = entry["encoding"], entry["bits"]
    if encoding == "unsigned":
        return st.integers(0, (1 << min(bits, 64)) - 1)
    if encoding in SIGNED:
        if bits == 0:
            return st.just(0)
        reach = (1 << (min(bits, 64) - 1)) - (encoding != "twos_complement")
        return st.integers(-reach - (encoding == "twos_complement"), reach)
    if encoding in BCD:
        digits = bits // 4 if encoding.startswith("packed") else bits // 8
        digits = min(digits - encoding.endswith("signed"), 15 if encoding.startswith("packed") else 7)
        if digits <= 0:
            return st.just(0)
        low = -(10**digits - 1) if encoding.endswith("signed") else 0
        return st.integers(low, 10**digits - 1)
    if encoding.startswith("ieee"):
        return st.floats(width=int(encoding[9:]))
    alphabet = "abcZ" if encoding == "us_ascii" else "abc\xe9" if encoding == "latin1" else "a\xe9\u20ac"
    return st.text(alphabet=alphabet, max_size=6)


# ---------------------------------------------------------------------------------------------
# Properties


@given(st.lists(bit_entries(), max_size=6), st.data())
def test_bit_layouts_read_and_write_as_the_reference(recipe, data):
    layout = Layout(recipe, packing="bits")
    size = layout.size
    packet = data.draw(st.binary(min_size=max(size - 2, 0), max_size=size + 3))
    offset = data.draw(st.integers(0, 19))
    assert outcome(layout.unpack, bytearray(packet), offset) == outcome(
        reference_unpack, recipe, packet, offset)

    # Mostly values that fit, now and then any value of the kind (out of range, of another type).
    last = {entry["name"]: entry for entry in recipe}
    values = {name: data.draw(st.one_of(fitting(entry), fitting(entry), fitting(entry),
                                        values_for(entry["encoding"])))
              for name, entry in last.items()}
    packed = outcome(layout.pack, values)
    assert packed == outcome(lambda: reference_image(recipe, values, size).to_bytes(size, "big"))
    if packed[0] != "ok":
        return
    expected = layout.pack(values)
    buffer = data.draw(st.binary(min_size=size + 3, max_size=size + 3))
    target = bytearray(buffer)
    layout.pack_into(target, values, offset)
    assert bytes(target) == reference_pack_into(recipe, values, buffer, offset)
    # What strict packing keeps reads back as packed.
    strict = outcome(Layout(recipe, packing="bits", strict=True).pack, values)
    assert strict[0] != "ok" or strict == ("ok", repr(expected))


def whole_bytes(entry):
    """The entry with its width and offset (where they are ints) cut to whole bytes."""
    if isinstance(entry, dict):
        entry = dict(entry)
        for key in ("bits", "offset_bits"):
            if type(entry.get(key)) is int:
                entry[key] = entry[key] // 8 * 8
    return entry


@given(st.lists(entries().map(whole_bytes), max_size=6), st.data())
def test_fields_of_whole_bytes_read_and_write_alike_in_both_packings(recipe, data):
    try:
        by_bytes = Layout(recipe)
    except (ValueError, TypeError) as error:
        with pytest.raises(type(error)) as caught:
            Layout(recipe, packing="bits")
        assert str(caught.value) == str(error)
        return
    by_bits = Layout(recipe, packing="bits")
    assert (by_bits.size, by_bits.names, by_bits.recipe) == (
        by_bytes.size, by_bytes.names, by_bytes.recipe)
    size = by_bytes.size if by_bytes.size is not None else 16
    packet = data.draw(st.binary(min_size=size // 2, max_size=size + 4))
    offset = 8 * data.draw(st.integers(0, 3))
    assert outcome(by_bits.unpack, packet, offset) == outcome(by_bytes.unpack, packet, offset)
    names = {entry["name"]: entry["encoding"] for entry in reversed(by_bytes.recipe)}
    values = {name: data.draw(values_for(encoding)) for name, encoding in names.items()
              if data.draw(st.integers(0, 19))}
    assert outcome(by_bits.pack, values) == outcome(by_bytes.pack, values)
    buffers = [bytearray(data.draw(st.binary(min_size=size + 4, max_size=size + 4)))
               for _ in range(2)]
    buffers[1][:] = buffers[0]
    assert outcome(by_bits.pack_into, buffers[0], values, offset) == outcome(
        by_bytes.pack_into, buffers[1], values, offset)
    assert buffers[0] == buffers[1]
    if size and packet:
        assert by_columns(lambda: by_bits.unpack_columns(packet, len(packet)), "x") == by_columns(
            lambda: by_bytes.unpack_columns(packet, len(packet)), "x")


# ---------------------------------------------------------------------------------------------
# Columns of every codec, at every shift


NUMERIC = UNSIGNED + SIGNED + BCD + ["ieee754_f16", "ieee754_f32", "ieee754_f64", "ieee754_f128"]
WIDTHS = [1, 3, 4, 8, 9, 12, 16, 17, 24, 31, 32, 33, 48, 57, 58, 63, 64, 65, 72]


def column_cases():
    for encoding in NUMERIC:
        for bits in WIDTHS:
            if encoding.startswith("ieee") and bits % 8:
                continue
            for order in ("big", "little"):
                if order == "little" and bits % 8:
                    continue
                yield encoding, bits, order


@pytest.mark.parametrize("encoding, bits, order", list(column_cases()))
def test_columns_of_every_codec_hold_what_iter_unpack_yields(encoding, bits, order):
    rng = random.Random(f"{encoding}{bits}{order}")
    for shift in (0, 1, 5, 7):
        for reverse in (False, True):
            layout = Layout([field("pad", shift), field("x", bits, encoding, order, reverse),
                             field("tail", rng.choice([0, 3, 8, 24]))], packing="bits")
            count = 40
            # Mostly valid BCD digits, now and then anything; the last packets end right
            # after the field, so no read may go past them.
            packets = bytes(rng.choice([0x12, 0x99, 0x30, 0xF9, rng.randrange(256)])
                            for _ in range(count * layout.size))
            expected = by_packets(layout, packets)
            assert by_columns(lambda: layout.unpack_columns(packets), "unpack_columns") == expected
            if numpy is not None:
                assert by_columns(lambda: layout.unpack_columns(packets, numpy=True),
                                  "unpack_columns") == expected


def float_bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


@needs_numpy
@pytest.mark.parametrize("packing, shift", [("bytes", 0), ("bits", 0), ("bits", 3)])
def test_float_columns_keep_their_format_and_make_nans_quiet(packing, shift):
    layout = Layout([field("pad", shift), field("h", 16, "ieee754_f16"),
                     field("s", 32, "ieee754_f32"), field("d", 64, "ieee754_f64")],
                    packing=packing)
    # Signalling and quiet NaNs of both signs with payloads, infinities, subnormals, zeros.
    halves = [0x7C01, 0xFD55, 0x7E00, 0x7C00, 0x8001, 0x0000, 0x3C00]
    singles = [0x7F800001, 0xFFA5A5A5, 0x7FC00000, 0xFF800000, 0x00000001, 0x80000000, 0x3F800000]
    doubles = [0x7FF0000000000001, 0xFFF5A5A5A5A5A5A5, 0x7FF8000000000000, 0x0000000000000001,
               0x8000000000000000, 0x3FF0000000000000, 0xFFF0000000000000]
    packets = b""
    for h, s, d in zip(halves, singles, doubles):
        packed = ((h << 96) | (s << 64) | d) << (layout.size * 8 - shift - 112)
        packets += packed.to_bytes(layout.size, "big")
    columns = layout.unpack_columns(packets, numpy=True)
    unpacked = [layout.unpack(packets[i:i + layout.size])
                for i in range(0, len(packets), layout.size)]
    assert [columns[n].dtype.name for n in "hsd"] == ["float16", "float32", "float64"]
    for name in "hsd":
        # float16 and float32 widen without touching a NaN's bits beyond making it quiet.
        assert [int(b) for b in columns[name].astype(numpy.float64).view(numpy.uint64)] == [
            float_bits(p[name]) for p in unpacked], name
    assert [int(b) for b in columns["s"].view(numpy.uint32)] == [
        struct.unpack("<I", struct.pack("<f", p["s"]))[0] for p in unpacked]
    assert all(int(b) & 0x200 for b in columns["h"].view(numpy.uint16)[:2])  # quiet
    lists = layout.unpack_columns(packets)
    assert [[float_bits(v) for v in lists[n]] for n in "hsd"] == [
        [float_bits(p[n]) for p in unpacked] for n in "hsd"]


@pytest.mark.parametrize("numpy_mode", [False, pytest.param(True, marks=needs_numpy)])
def test_a_bit_column_raises_the_first_failure_in_packet_then_field_order(numpy_mode):
    layout = Layout([field("a", 5), field("p", 8, "packed_bcd"), field("t", 8, "us_ascii"),
                     field("q", 12, "packed_bcd_signed"), field("z", 7)], packing="bits")
    good = layout.pack({"a": 1, "p": 42, "t": "x", "q": -12, "z": 3})
    packets = bytearray(good * 3000)
    bad = 2345 * layout.size
    packets[bad + 1] |= 0x04  # t (bits 13-20): its top bit, not ASCII
    packets[(bad + 1) + 7 * layout.size] |= 0xF0  # a later packet's p: not BCD
    packets[bad + 1] |= 0xF0  # p (bits 5-12): a digit of at least 0xE
    with pytest.raises(ValueError) as expected:
        list(layout.iter_unpack(packets))
    with pytest.raises(ValueError) as caught:
        layout.unpack_columns(packets, numpy=numpy_mode)
    assert (str(caught.value), caught.value.__notes__) == (
        str(expected.value), [n.replace("iter_unpack", "unpack_columns")
                              for n in expected.value.__notes__])
    assert caught.value.__notes__[0] == "field 1 'p' (packed_bcd, 8 bits at bit 5)"


# ---------------------------------------------------------------------------------------------
# The layout's own answers


@pytest.mark.parametrize("entry, message", [
    (field("x", 12, byte_order="little"), "Field 'x' is little-endian in 12 bits: a bit-exact layout reads little-endian fields in whole bytes only"),
    (field("x", 3, "twos_complement", "little"), "Field 'x' is little-endian in 3 bits: a bit-exact layout reads little-endian fields in whole bytes only"),
    (field("x", 9, "packed_bcd", "little"), "Field 'x' is little-endian in 9 bits: a bit-exact layout reads little-endian fields in whole bytes only"),
    (field("x", 12, "utf8"), "Field 'x' is text in 12 bits: a bit-exact layout reads text in whole bytes only"),
    (field("x", 12, "ieee754_f32"), "Field 'x' is ieee754_f32 in 12 bits: a bit-exact layout reads floats in whole bytes only"),
    (field("x", 1, "ieee754_f128"), "Field 'x' is ieee754_f128 in 1 bit: a bit-exact layout reads floats in whole bytes only"),
    (field("x", 20, "ti_f32"), "Field 'x' is ti_f32 in 20 bits: a bit-exact layout reads floats in whole bytes only"),
])
def test_bit_exact_layouts_refuse_fields_they_cannot_place(entry, message):
    with raises_exactly(ValueError, "ValueError: " + message) as caught:
        Layout([field("a", 3), entry], packing="bits")
    assert caught.value.__notes__[0].startswith(f"field 1 'x' ({entry['encoding']}, ")
    assert caught.value.__notes__[0].endswith(" at bit 3)")
    Layout([field("a", 3), entry])  # byte packing takes it


def test_fields_of_any_width_at_any_start():
    layout = Layout([field("version", 3), field("type", 1), field("flag", 1), field("apid", 11),
                     field("seq", 2), field("count", 14), field("le", 16, byte_order="little"),
                     field("t", 16, "us_ascii"), field("f", 32, "ieee754_f32", "little"),
                     field("bcd", 10, "packed_bcd"), field("s", 6, "twos_complement")],
                    packing="bits")
    values = {"version": 5, "type": 1, "flag": 0, "apid": 0x7FE, "seq": 3, "count": 0x2ABC,
              "le": 0x1234, "t": "OK", "f": 1.5, "bcd": 99, "s": -17}
    packet = layout.pack(values)
    assert packet[:4].hex() == "b7feeabc" and packet[4:6] == b"\x34\x12"
    assert packet[6:8] == b"OK" and packet[8:12] == struct.pack("<f", 1.5)
    assert layout.unpack(packet) == values
    assert layout.unpack(b"\x80" + packet, 8) == values
    assert layout.size == 14 and repr(layout) == "<Layout 11 fields, 14 bytes, bit-exact>"


def test_a_window_past_the_end_counts_the_bytes_the_bits_touch():
    layout = Layout([field("a", 6), field("b", 4)], packing="bits")
    with raises_exactly(ValueError, "ValueError: Field 'b' needs 2 bytes from byte 0, but the "
                                    "packet is 1 byte long") as caught:
        layout.unpack(b"\xff")
    assert caught.value.__notes__ == ["field 1 'b' (unsigned, 4 bits at bit 6)"]
    with raises_exactly(ValueError, "Layout.pack_into() requires a buffer of at least 4 bytes at "
                                    "offset_bits 15, not 3"):
        layout.pack_into(bytearray(3), {"a": 1, "b": 2}, 15)
    assert layout.unpack(b"\x00\xff\xff", 13) == {"a": 63, "b": 15}


def test_pack_into_keeps_every_bit_of_no_field():
    layout = Layout([field("a", 3), field("b", 5, offset_bits=6), field("t", 8, "latin1")],
                    packing="bits")
    buffer = bytearray(b"\xff\xff\xff\xff")
    layout.pack_into(buffer, {"a": 0, "b": 0, "t": "\x00"}, 4)
    assert buffer.hex() == "f1c001ff"  # bits 4-6, 10-14 and 15-22 cleared
    # The later field wins the bits both claim.
    overlapping = Layout([field("a", 8), field("b", 4, offset_bits=2)], packing="bits")
    assert overlapping.pack({"a": 0xFF, "b": 0}) == b"\xc3"
    assert overlapping.problems() == [
        "fields 0 'a' and 1 'b' share bits 2 to 5: packing writes the later over the earlier"]


@pytest.mark.parametrize("recipe, by_bits, by_bytes", [
    ([field("v", 3), field("t", 1), field("apid", 12)], [],
     ["field 1 't' starts at bit 3, 3 bits into byte 0: the layout is byte-granular, so the field "
      "is read and written from the start of that byte",
      "field 2 'apid' starts at bit 4, 4 bits into byte 0: the layout is byte-granular, so the "
      "field is read and written from the start of that byte",
      "fields 0 'v' and 1 't' share byte 0: packing writes the later over the earlier",
      "fields 0 'v' and 2 'apid' share byte 0: packing writes the later over the earlier"]),
    ([field("a", 4), field("b", 1, offset_bits=3), field("w", 72, offset_bits=16)],
     ["field 2 'w' is 72 bits wide, but its values have 64 bits: only eight of its 9 bytes are "
      "read or written",
      "fields 0 'a' and 1 'b' share bit 3: packing writes the later over the earlier"], None),
])
def test_problems_judge_overlap_by_bits(recipe, by_bits, by_bytes):
    assert Layout(recipe, packing="bits").problems() == by_bits
    if by_bytes is not None:
        assert Layout(recipe).problems() == by_bytes


def test_strict_packing_reads_back_what_unpack_reads():
    # Fields that share bytes but no bits are kept; bits that a later field takes are not.
    header = [field("v", 3), field("t", 1), field("apid", 12)]
    assert Layout(header, packing="bits", strict=True).pack(
        {"v": 7, "t": 1, "apid": 5}) == b"\xf0\x05"
    with pytest.raises(ValueError, match="Field 1 is written over this field's bytes") as caught:
        Layout([field("a", 6), field("b", 4, offset_bits=4)], packing="bits", strict=True).pack(
            {"a": 5, "b": 15})
    assert caught.value.__notes__[0] == "field 0 'a' (unsigned, 6 bits at bit 0)"
    with pytest.raises(ValueError, match="does not fit the field's 16 bits"):
        Layout([field("f", 16, "ieee754_f32")], packing="bits", strict=True).pack({"f": 1.5})


class Values(dict):
    pass


@pytest.mark.parametrize("packing", ["bytes", "bits"])
def test_values_pack_alike_in_any_order_under_any_equal_keys(packing):
    # The walk finds values given in field order under the names' own objects without hashing;
    # every other dict must pack the same.
    layout = Layout([field("a", 5), field("b", 12, "twos_complement"), field("c", 7),
                     field("a", 4, offset_bits=24)], packing=packing)
    values = {"a": 9, "b": -300, "c": 77}
    expected = layout.pack(values)
    for form in (dict(reversed(values.items())), json.loads(json.dumps(values)),
                 {**values, "z": 1}, {"z": 1, **values}, Values(values),
                 {"a": 9, "c": 77, "b": -300}, dict(zip(layout.names, [9, -300, 77]))):
        assert layout.pack(form) == expected
        buffer = bytearray(layout.size)
        layout.pack_into(buffer, form)
        assert buffer == expected
    with pytest.raises(ValueError, match="Missing value for parameter: 'c'"):
        layout.pack({"a": 9, "b": -300})


@pytest.mark.parametrize("options", [{"packing": "bits"}, {"packing": "bits", "strict": True},
                                     {"packing": "bits", "defaults": {"b": 3}}])
def test_the_packing_survives_pickling_and_copies(options):
    layout = Layout([field("a", 3), field("b", 5)], **options)
    for clone in (pickle.loads(pickle.dumps(layout)), copy.deepcopy(layout)):
        assert (clone.packing, clone.strict, clone.defaults, repr(clone)) == (
            "bits", layout.strict, layout.defaults, repr(layout))
        assert clone.pack({"a": 5, "b": 3}) == b"\xa3"
    assert Layout([]).packing == "bytes" and Layout([], packing="bytes").packing == "bytes"


@pytest.mark.parametrize("packing, error, message", [
    (1, TypeError, "Layout() argument 'packing' must be str, not int"),
    (b"bits", TypeError, "Layout() argument 'packing' must be str, not bytes"),
    ("BITS", ValueError, "Layout() argument 'packing' must be 'bytes' or 'bits', not 'BITS'"),
    ("nibbles", ValueError, "Layout() argument 'packing' must be 'bytes' or 'bits', not 'nibbles'"),
])
def test_packing_argument_errors(packing, error, message):
    with raises_exactly(error, message):
        Layout([field("a", 8)], packing=packing)


def test_the_figure_of_a_bit_layout_draws_no_windows():
    layout = Layout([field("version", 3), field("apid", 13)], packing="bits")
    svg = layout.figure({"version": 5, "apid": 0x1FFF})
    assert "window (bytes)" not in svg and "declared bits" in svg and ">BF<" in svg
    assert "window (bytes)" in Layout(layout.recipe).figure()
    assert math.isclose(len(svg), len(layout.figure({"version": 5, "apid": 0x1FFF})))
