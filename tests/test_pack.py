import math
import struct

import pytest

import fieldpack
from helpers import field, raises_exactly


def pack(recipe, values):
    return fieldpack.pack_parameters(recipe, values)


@pytest.mark.parametrize("recipe, values, expected", [
    ([], {}, b""),
    ([], {"a": 1}, b""),
    ([field("a", 8)], {"a": 0x12}, b"\x12"),
    ([field("a", 16), field("b", 16, byte_order="little")], {"a": 0x1234, "b": 0x1234},
     b"\x12\x34\x34\x12"),
    ([field("a", 12)], {"a": 0xABC}, b"\x0A\xBC"),
    ([field("a", 12, byte_order="Little")], {"a": 0xABC}, b"\xBC\x0A"),
    ([field("a", 12, reverse_bits=True)], {"a": 1}, b"\x08\x00"),
    ([field("a", 8, reverse_bits=True)], {"a": 1}, b"\x80"),
    ([field("a", 4), field("b", 4)], {"a": 1, "b": 2}, b"\x02"),
    ([field("a", 16, offset_bits=16), field("b", 8, offset_bits=0), field("c", 8)],
     {"a": 0xAABB, "b": 0x11, "c": 0x22}, b"\x11\x22\xAA\xBB\x00"),
    ([field("z", 0), field("a", 8)], {"z": 0, "a": 5}, b"\x05"),
    ([field("z", 0)], {"z": 0}, b""),
    ([field("a", 64)], {"a": 2**64 - 1}, b"\xFF" * 8),
    ([field("a", 72)], {"a": 0x0102030405060708}, bytes(range(9))),
    ([field("a", 72, byte_order="little")], {"a": 0x0102030405060708},
     bytes(range(8, 0, -1)) + b"\x00"),
    ([field("a", 8, encoding="UNSIGNED")], {"a": True}, b"\x01"),
    ([field("a", 8), field("b", 8)], {"a": 1, "b": 2, "unused": "x"}, b"\x01\x02"),
    ([field("a", 8), field("a", 8)], {"a": 7}, b"\x07\x07"),
])
def test_unsigned_layouts(recipe, values, expected, recipe_form):
    assert pack(recipe_form(recipe), values) == expected


def f32(name, bits=32, **kw):
    return field(name, bits, encoding="ieee754_f32", **kw)


@pytest.mark.parametrize("entry, value, expected", [
    (f32("x"), 1.0, "3F800000"),
    (f32("x", byte_order="little"), 1.0, "0000803F"),
    (field("x", 64, encoding="ieee754_f64"), 1.0, "3FF0000000000000"),
    (field("x", 16, encoding="ieee754_f16"), 1.0, "3C00"),
    (field("x", 16, encoding="ieee754_f16"), 1, "3C00"),
    (field("x", 16, encoding="ieee754_f16"), 65520.0, "7C00"),
    (field("x", 16, encoding="ieee754_f16"), math.nan, "7E00"),
    (f32("x", bits=16), 1.0, "0000"),
    (f32("x", reverse_bits=True), 1.0, "000001FC"),
    (field("x", 8, encoding="twos_complement"), -1, "FF"),
    (field("x", 16, encoding="twos_complement", byte_order="little"), -2, "FEFF"),
    (field("x", 8, encoding="sign_magnitude"), -5, "85"),
    (field("x", 8, encoding="ones_complement"), -1, "FE"),
    (field("x", 16, encoding="packed_bcd"), 1234, "1234"),
    (field("x", 16, encoding="packed_bcd_signed"), -12, "012D"),
    (field("x", 24, encoding="unpacked_bcd_signed"), -123, "F1F2D3"),
    (field("x", 24, encoding="utf8"), "é", "C3A900"),
    (field("x", 16, encoding="utf8", byte_order="little"), "AB", "4241"),
    (field("x", 16, encoding="utf8", reverse_bits=True), "AB", "4142"),
    (field("x", 8, encoding="latin1"), "é", "E9"),
    (field("x", 8, encoding="iso_8859_1"), "é", "E9"),
    (field("x", 16, encoding="utf16be"), "A", "0041"),
    (field("x", 16, encoding="utf16le"), "A", "4100"),
    (field("x", 32, encoding="utf16"), "A", "FEFF0041"),
    (field("x", 32, encoding="utf8"), "A", "41000000"),
    (field("x", 8, encoding="windows_1252"), "€", "80"),
])
def test_encodings(entry, value, expected, recipe_form):
    assert pack(recipe_form([entry]), {"x": value}).hex().upper() == expected


def test_text_is_cut_at_its_own_window():
    recipe = [field("t", 16, encoding="utf8"), field("n", 8)]
    assert pack(recipe, {"t": "ABCD", "n": 0x7F}) == b"AB\x7F"
    # A field moved back over an earlier one is not overwritten by the text's tail.
    recipe = [field("n", 8, offset_bits=16), field("t", 16, encoding="utf8", offset_bits=0)]
    assert pack(recipe, {"t": "ABCD", "n": 0x7F}) == b"AB\x7F"
    # Bytes that belong to no field stay zero.
    recipe = [field("t", 8, encoding="utf8"), field("gap", 8, offset_bits=16)]
    assert pack(recipe, {"t": "XYZ", "gap": 1}) == b"X\x00\x01"
    # Little-endian keeps the text's first bytes, then reverses them.
    recipe = [field("t", 16, encoding="utf8", byte_order="little"), field("n", 8)]
    assert pack(recipe, {"t": "ABCD", "n": 1}) == b"BA\x01"


@pytest.mark.parametrize("recipe, values, message", [
    ([field("a", 8)], {"a": 256}, "ValueError: Value 256 is too large for 8 bits"),
    ([field("a", 0)], {"a": 1}, "ValueError: Value 1 is too large for 0 bits"),
    ([field("a", 63)], {"a": 2**63}, "ValueError: Value 9223372036854775808 is too large for 63 bits"),
    ([field("a", 8)], {}, "KeyError: \"Missing value for parameter: 'a'\""),
    ([field("a", 8, byte_order="middle")], {"a": 256}, "ValueError: Value 256 is too large for 8 bits"),
    ([field("a", 8, byte_order="middle")], {"a": 1},
     "ValueError: Invalid byte_order 'middle': must be 'big' or 'little'"),
    ([field("a", 8, encoding="foo")], {}, "KeyError: \"Missing value for parameter: 'a'\""),
    ([field("a", 8, encoding="foo")], {"a": 1}, "ValueError: Unsupported encoding type: foo"),
    ([field("a", 8, encoding="ieee754_f128")], {"a": 1.0},
     "ValueError: Unsupported encoding type: ieee754_f128"),
    ([field("a", 8, encoding="TI_F32")], {"a": 1.0}, "ValueError: Unsupported encoding type: TI_F32"),
    ([field("a", 8, encoding="twos_complement")], {"a": 128},
     "ValueError: Value 128 out of range for 8 bits (range: -128 to 127)"),
    ([field("a", 8, encoding="unpacked_bcd")], {"a": -5},
     "ValueError: Cannot encode negative value in unsigned BCD"),
    ([field("a", 8, encoding="utf8")], {"a": b"x"}, "TypeError: 'bytes' object cannot be cast as 'str'"),
    ([field("a", 8, encoding="us_ascii")], {"a": "é"},
     "ValueError: Character 'é' (U+00E9) is not valid US-ASCII"),
    ([field("a", 8, encoding="utf8", byte_order="big")] + [{"name": "b"}], {"a": "x"},
     "KeyError: \"Recipe missing required field: 'bits'\""),
    ([{"bits": 8}, {"name": "b"}], {}, "KeyError: \"Recipe missing required field: 'bits'\""),
    ([{"bits": 8}, field("b", 8)], {}, "KeyError: \"Recipe missing required field: 'name'\""),
    ([field("a", 8), 3], {"a": 1}, "TypeError: 'int' object cannot be cast as 'dict'"),
    ([{k: v for k, v in field("a", 8).items() if k != "reverse_bits"}], {"a": 1},
     "KeyError: \"Recipe missing required field: 'reverse_bits'\""),
    ([{k: v for k, v in field("a", 8, encoding="utf8").items() if k != "reverse_bits"}], {"a": "x"},
     "KeyError: \"Recipe missing required field: 'reverse_bits'\""),
    ([field("a", 2**32 - 1), field("b", 8)], {"a": 0, "b": 0},
     "ValueError: Field 'b' would end at bit 4294967303, beyond the largest bit position 4294967295"),
    ([field("a", 16, offset_bits=2**32 - 8)], {"a": 0},
     "ValueError: Field 'a' would end at bit 4294967304, beyond the largest bit position 4294967295"),
    ([{"bits": 16, "offset_bits": 2**32 - 8}], {},
     "ValueError: Field '#0' would end at bit 4294967304, beyond the largest bit position 4294967295"),
])
def test_failures(recipe, values, message, recipe_form):
    with raises_exactly(ValueError, message) as caught:
        pack(recipe_form(recipe), values)
    assert caught.value.__cause__ is None


@pytest.mark.parametrize("entry, value", [
    (field("a", 8), -1), (field("a", 8), 2**64), (field("a", 8), 1.5),
    (field("a", 8, encoding="twos_complement"), 1.5), (field("a", 8, offset_bits=None), 1),
    (field("a", -1), 1), (field("a", 8, encoding="ieee754_f32"), "1.0"),
])
def test_conversion_failures_are_wrapped(entry, value, recipe_form):
    with pytest.raises(ValueError) as caught:
        pack(recipe_form([entry]), {"a": value})
    assert str(caught.value).split(": ")[0] in ("TypeError", "OverflowError")


def test_value_lookup_uses_the_name_text_not_a_subclass_hook():
    class Name(str):
        def __hash__(self):
            return 1

    assert pack([field(Name("a"), 8)], {"a": 3}) == b"\x03"


def test_packed_fields_read_back(recipe_form):
    recipe = recipe_form([
        field("a", 8), field("b", 16, byte_order="little"), field("c", 32, reverse_bits=True),
        field("d", 8, encoding="twos_complement"), field("e", 64, encoding="ieee754_f64")])
    values = {"a": 1, "b": 0xBEEF, "c": 0x12345678, "d": -3, "e": -2.5}
    assert fieldpack.unpack_parameters(pack(recipe, values), 0, recipe) == values


def test_entries_changed_by_a_conversion_are_read_afresh():
    later = field("b", 8)

    class Changes:
        def __init__(self, value):
            self.value = value

        def __index__(self):
            later["encoding"] = "twos_complement"
            return self.value

    assert pack([field("a", Changes(8)), later], {"a": 1, "b": -1}) == b"\x01\xFF"
    later["encoding"] = "unsigned"
    assert pack([field("a", 8), later], {"a": Changes(1), "b": -1}) == b"\x01\xFF"


def test_a_values_key_whose_eq_changes_a_later_entry_is_seen():
    later = field("b", 8)

    class Key:
        def __hash__(self):
            return hash("a")

        def __eq__(self, other):
            later["encoding"] = "twos_complement"
            return False

    values = {Key(): 0, "a": 1, "b": -1}
    later["encoding"] = "unsigned"  # building the dict already ran __eq__
    assert pack([field("a", 8), later], values) == b"\x01\xFF"


def notes_of(call):
    with pytest.raises(BaseException) as caught:
        call()
    return getattr(caught.value, "__notes__", [])


@pytest.mark.parametrize("recipe, values, expected", [
    ([field("a", 8)], {"a": 256}, ["field 0 'a' (unsigned, 8 bits at bit 0)"]),
    ([field("a", 8), field("b", 8)], {"a": 1}, ["field 1 'b' (unsigned, 8 bits at bit 8)"]),
    # Packing suggests only names it can write.
    ([field("a", 8, "ieee754_f128")], {"a": 1.0},
     ["field 0 'a' (ieee754_f128, 8 bits at bit 0)", "did you mean 'ieee754_f16' or 'ieee754_f32'?"]),
    ([field("a", 8, "TI_F32")], {"a": 1.0}, ["field 0 'a' (TI_F32, 8 bits at bit 0)"]),
    # Failures of the sizing walk name what can be read of the entry.
    ([field("a", 8), {"name": "b"}], {}, ["field 1 'b'"]),
    ([field("a", 2**32 - 1), field("b", 8)], {"a": 0, "b": 0},
     ["field 1 'b' (unsigned, 8 bits at bit 4294967295)"]),
])
def test_failures_carry_a_note_naming_the_field(recipe, values, expected):
    assert notes_of(lambda: pack(recipe, values)) == expected


# Names read from JSON are other objects than the values' keys: they are matched by their text,
# and names of one length that differ in a single character must never be taken for each other.
@pytest.mark.parametrize("length", [1, 2, 3, 4, 5, 7, 8, 9, 12, 16, 17, 40])
def test_names_differing_in_one_character_find_their_own_values(length, recipe_form):
    names = ["x" * position + "y" + "x" * (length - position - 1) for position in range(length)]
    recipe = recipe_form([field(name, 8) for name in names])
    values = {name: index for index, name in enumerate(names)}
    assert pack(recipe, values) == bytes(range(length))
    del values[names[-1]]
    with raises_exactly(ValueError, f"KeyError: \"Missing value for parameter: '{names[-1]}'\""):
        pack(recipe, values)


# Names read from JSON are compared by their text; these agree but for their last characters.
def test_encoding_names_alike_but_for_their_ends(recipe_form):
    recipe = recipe_form([field("a", 16, "ieee754_f16"), field("b", 32, "ieee754_f32"),
                          field("c", 64, "ieee754_f64", byte_order="little"),
                          field("d", 32, "ieee754_f32"), field("e", 16, "ieee754_f16")])
    values = {"a": 1.5, "b": -2.25, "c": 0.1, "d": 3.0, "e": -0.5}
    packet = pack(recipe, values)
    assert packet == struct.pack(">ef", 1.5, -2.25) + struct.pack("<d", 0.1) + struct.pack(
        ">fe", 3.0, -0.5)
    assert fieldpack.unpack_parameters(packet, 0, recipe) == values


# Encoding and byte-order names in any letter case, the table's spelling and others mixed in one
# recipe, as read from JSON too (each a distinct str): every field keeps its own meaning.
def test_names_in_mixed_letter_case_keep_their_meaning(recipe_form):
    recipe = recipe_form([
        field("a", 16, "unsigned", "big"), field("b", 16, "UNSIGNED", "little"),
        field("c", 16, "twos_complement", "Little"), field("d", 16, "Twos_Complement", "BIG"),
        field("e", 16, "unsigned", "little"), field("f", 16, "unsigned", "big"),
        field("g", 16, "ieee754_f16", "BiG"), field("h", 16, "IEEE754_F16", "lIttLe"),
    ])
    values = {"a": 0x1234, "b": 0x1234, "c": -2, "d": -2, "e": 0xABCD, "f": 0xABCD,
              "g": 1.5, "h": -0.25}
    packet = pack(recipe, values)
    expected = b"".join(struct.pack(form, value) for form, value in [
        (">H", 0x1234), ("<H", 0x1234), ("<h", -2), (">h", -2), ("<H", 0xABCD), (">H", 0xABCD),
        (">e", 1.5), ("<e", -0.25)])
    assert packet == expected
    assert fieldpack.unpack_parameters(packet, 0, recipe) == values
