"""Argument binding and the named conversions, seen through the module functions."""
import pytest

import fieldpack
from helpers import field, raises_exactly


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Bytes(bytes):
    pass


class Text(str):
    pass


@pytest.mark.parametrize("call, message", [
    (lambda: fieldpack.decode_utf8(b"", b""),
     "decode_utf8() takes 1 positional arguments but 2 were given"),
    (lambda: fieldpack.decode_packed_bcd(1, 2, False, 4),
     "decode_packed_bcd() takes from 2 to 3 positional arguments but 4 were given"),
    (lambda: fieldpack.pack_parameters([], {}, 1),
     "pack_parameters() takes 2 positional arguments but 3 were given"),
    (lambda: fieldpack.unpack_parameters(),
     "unpack_parameters() missing 3 required positional arguments: "
     "'packet_bytes', 'offset_bits', and 'recipe'"),
    (lambda: fieldpack.decode_packed_bcd(),
     "decode_packed_bcd() missing 2 required positional arguments: 'value' and 'bits'"),
    (lambda: fieldpack.decode_packed_bcd(bits=8),
     "decode_packed_bcd() missing 1 required positional argument: 'value'"),
    (lambda: fieldpack.decode_utf8(),
     "decode_utf8() missing 1 required positional argument: 'bytes'"),
    (lambda: fieldpack.decode_utf8(data=b""),
     "decode_utf8() got an unexpected keyword argument 'data'"),
    (lambda: fieldpack.decode_ibm_f32(value=1),
     "decode_ibm_f32() got an unexpected keyword argument 'value'"),
    (lambda: fieldpack.decode_utf8(b"", bytes=b""),
     "decode_utf8() got multiple values for argument 'bytes'"),
    (lambda: fieldpack.decode_utf8(b"", b"", data=1),
     "decode_utf8() takes 1 positional arguments but 2 were given"),
    (lambda: fieldpack.decode_ones_complement(1, 2, 3),
     "decode_ones_complement() takes 2 positional arguments but 3 were given"),
])
def test_binding_errors(call, message):
    with raises_exactly(TypeError, message):
        call()


def test_keywords_and_positions_bind_alike():
    assert fieldpack.decode_utf8(bytes=b"ab") == fieldpack.decode_utf8(b"ab") == "ab"
    assert (fieldpack.decode_packed_bcd(signed=True, bits=20, value=0x1234D)
            == fieldpack.decode_packed_bcd(0x1234D, 20, True) == -1234)
    assert fieldpack.decode_packed_bcd(0x1234, 16) == fieldpack.decode_packed_bcd(0x1234, 16, False) == 1234


@pytest.mark.parametrize("call, message", [
    (lambda: fieldpack.decode_utf8(bytearray(b"a")),
     "argument 'bytes': 'bytearray' object cannot be cast as 'bytes'"),
    (lambda: fieldpack.decode_utf8(memoryview(b"a")),
     "argument 'bytes': 'memoryview' object cannot be cast as 'bytes'"),
    (lambda: fieldpack.encode_utf8(b"a"), "argument 'text': 'bytes' object cannot be cast as 'str'"),
    (lambda: fieldpack.decode_packed_bcd(1, 8, 1),
     "argument 'signed': 'int' object cannot be cast as 'bool'"),
    (lambda: fieldpack.decode_packed_bcd(1, 8, None),
     "argument 'signed': 'NoneType' object cannot be cast as 'bool'"),
    (lambda: fieldpack.pack_parameters("abc", {}),
     "argument 'recipe': Can't extract `str` to `Vec`"),
    (lambda: fieldpack.pack_parameters("abc", []),
     "argument 'recipe': Can't extract `str` to `Vec`"),
    (lambda: fieldpack.pack_parameters({}, {}),
     "argument 'recipe': 'dict' object cannot be cast as 'Sequence'"),
    (lambda: fieldpack.pack_parameters([], []),
     "argument 'values': 'list' object cannot be cast as 'dict'"),
    (lambda: fieldpack.unpack_parameters(b"", 0, 5),
     "argument 'recipe': 'int' object cannot be cast as 'Sequence'"),
])
def test_type_cast_errors_name_the_argument(call, message):
    with raises_exactly(TypeError, message):
        call()


@pytest.mark.parametrize("call, parameter", [
    (lambda: fieldpack.decode_twos_complement(1.0, 8), "value"),
    (lambda: fieldpack.decode_twos_complement("1", 8), "value"),
    (lambda: fieldpack.encode_twos_complement(1.5, 8), "value"),
    (lambda: fieldpack.decode_sign_magnitude(1, 8.0), "bits"),
    (lambda: fieldpack.encode_ieee754_f64("x"), "value"),
    (lambda: fieldpack.encode_ti_f32("x"), "_value"),
    (lambda: fieldpack.decode_ieee754_f128(1.0), "value"),
    (lambda: fieldpack.unpack_parameters(b"", None, []), "offset_bits"),
])
def test_host_type_errors_get_the_argument_prefix(call, parameter):
    with pytest.raises(TypeError) as caught:
        call()
    assert str(caught.value).startswith(f"argument '{parameter}': ")


@pytest.mark.parametrize("call", [
    lambda: fieldpack.decode_twos_complement(-1, 8),
    lambda: fieldpack.decode_twos_complement(2**64, 8),
    lambda: fieldpack.encode_twos_complement(2**63, 8),
    lambda: fieldpack.encode_twos_complement(-2**63 - 1, 8),
    lambda: fieldpack.decode_ieee754_f128(-1),
    lambda: fieldpack.decode_ieee754_f128(2**128),
    lambda: fieldpack.decode_ti_f40(-1),
    lambda: fieldpack.unpack_parameters(b"", -1, []),
])
def test_out_of_range_integers_raise_the_hosts_overflow_error_unprefixed(call):
    with pytest.raises(OverflowError) as caught:
        call()
    assert not str(caught.value).startswith("argument")


@pytest.mark.parametrize("bits", [2**32, 2**64 - 1])
def test_sizes_stop_at_32_bits_on_every_host(bits):
    with raises_exactly(OverflowError, "out of range integral type conversion attempted"):
        fieldpack.decode_sign_magnitude(0, bits)


def test_size_conversion_edges():
    assert fieldpack.decode_sign_magnitude(0, 2**32 - 1) == 0
    assert fieldpack.decode_twos_complement(Index(0xFF), Index(8)) == -1
    assert fieldpack.decode_twos_complement(True, 8) == 1


def test_unsigned_128_bit_conversion_reads_both_halves():
    assert fieldpack.decode_ieee754_f128(0x3FFF << 112) == 1.0
    assert fieldpack.decode_ieee754_f128(Index(0x40008 << 108)) == 3.0
    assert fieldpack.decode_ieee754_f128(2**128 - 1) != fieldpack.decode_ieee754_f128(2**128 - 1)


@pytest.mark.parametrize("value, expected", [
    (True, 0x3C00), (3, 0x4200), (1e300, 0x7C00), (-1e300, 0xFC00)])
def test_single_conversion(value, expected):
    assert fieldpack.encode_ieee754_f16(value) == expected


def test_single_conversion_rounds_ties_to_even():
    # 1 + 2**-24 lies halfway between two singles; the even one is 1.0.
    assert fieldpack.encode_ieee754_f32(1 + 2**-24) == 0x3F800000
    assert fieldpack.encode_ieee754_f32(1 + 3 * 2**-24) == 0x3F800002


def test_subclasses_of_bytes_and_str_are_accepted():
    assert fieldpack.decode_utf8(Bytes(b"ok")) == "ok"
    assert fieldpack.encode_utf8(Text("ok")) == b"ok"


def test_text_that_is_not_unicode_fails_with_the_hosts_error():
    with pytest.raises(UnicodeEncodeError):
        fieldpack.encode_utf8("\ud800")


def test_numpy_booleans_are_accepted():
    numpy = pytest.importorskip("numpy")
    assert fieldpack.decode_packed_bcd(0x12D, 12, numpy.bool_(True)) == -12
    recipe = [field("a", 8, reverse_bits=numpy.True_)]
    assert fieldpack.unpack_parameters(b"\x01", 0, recipe) == {"a": 0x80}


def test_a_failing_sequence_is_the_conversions_failure():
    class Broken:
        def __len__(self):
            return 1

        def __getitem__(self, index):
            raise RuntimeError("boom")

    with pytest.raises(RuntimeError, match="^boom$"):
        fieldpack.pack_parameters(Broken(), {})


class Entries:
    """A sequence by __getitem__ whose length fails or lies."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [ValueError("no length"), -1, 0, 10**12])
def test_the_recipe_is_iterated_whatever_its_length_says(length):
    recipe = Entries([field("a", 8), field("b", 8)], length)
    assert fieldpack.unpack_parameters(b"\x01\x02", 0, recipe) == {"a": 1, "b": 2}
    assert fieldpack.pack_parameters(recipe, {"a": 1, "b": 2}) == b"\x01\x02"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("function, expected", [
    ("encode_ieee754_f64", 0x4008000000000000), ("encode_ieee754_f32", 0x40400000),
    ("encode_ieee754_f16", 0x4200),
])
def test_floats_accept_what_float_accepts_on_every_host(function, expected):
    assert float(Index(3)) == 3.0
    assert getattr(fieldpack, function)(Index(3)) == expected
    recipe = [field("a", 16, encoding="ieee754_f16")]
    assert fieldpack.pack_parameters(recipe, {"a": Index(3)}) == b"\x42\x00"
    with pytest.raises(TypeError):
        getattr(fieldpack, function)("3")


def test_tuple_recipes_work_like_lists():
    recipe = (field("a", 8), field("b", 8))
    assert fieldpack.pack_parameters(recipe, {"a": 1, "b": 2}) == b"\x01\x02"
    assert fieldpack.unpack_parameters(b"\x01\x02", 0, recipe) == {"a": 1, "b": 2}
