import importlib
import platform

import pytest

import fieldpack

on_cpython = pytest.mark.skipif(platform.python_implementation() != "CPython",
                                reason="PyPy's built-ins have no __self__ and never re-run init")

FIRST_NAMES = ["unpack_parameters", "pack_parameters", "decode_ones_complement",
               "decode_twos_complement", "decode_sign_magnitude", "decode_unpacked_bcd",
               "decode_packed_bcd", "decode_ieee754_f16"]
LAST_NAMES = ["encode_utf16be", "encode_utf32", "encode_utf32le", "encode_utf32be"]


def test_all_lists_every_function_in_table_order():
    names = fieldpack.__all__
    assert len(names) == 62 == len(set(names))
    assert names[:8] == FIRST_NAMES and names[-4:] == LAST_NAMES
    assert names.index("decode_utf32be") == 31 and names.index("encode_ones_complement") == 32
    for name in names:
        function = getattr(fieldpack, name)
        assert function.__module__ == "fieldpack"
        assert function.__name__ == name


@pytest.mark.parametrize("name, signature", [
    ("unpack_parameters", "(packet_bytes, offset_bits, recipe)"),
    ("pack_parameters", "(recipe, values)"),
    ("decode_packed_bcd", "(value, bits, signed=False)"),
    ("encode_unpacked_bcd", "(value, bits, signed=False)"),
    ("decode_ibm_f32", "(_value)"),
    ("encode_ieee754_f128", "(_value)"),
    ("decode_utf8", "(bytes)"),
    ("encode_windows_1252", "(text)"),
])
def test_text_signature_and_no_documentation(name, signature):
    function = getattr(fieldpack, name)
    assert function.__text_signature__ == signature
    assert not function.__doc__


@on_cpython
def test_functions_are_bound_to_the_module():
    assert fieldpack.decode_utf8.__self__ is fieldpack


@on_cpython
def test_second_initialisation_returns_the_same_module():
    import sys
    del sys.modules["fieldpack"]
    try:
        again = importlib.import_module("fieldpack")
        assert again is fieldpack
    finally:
        sys.modules["fieldpack"] = fieldpack


def test_module_docstring_is_empty():
    assert fieldpack.__doc__ == ""
