"""Layout(recipe, strict=..., defaults=...): a strict layout refuses what packing would lose,
defaults fill in names the values lack; without them a layout packs as pack_parameters does."""

import copy
import math
import pickle

import pytest

import fieldpack
from fieldpack_layout import Layout
from helpers import field


def notes(error):
    return getattr(error, "__notes__", [])


# (recipe, values, what the refusal says): each loses something when packed, silently without
# `strict`.
LOSSY = [
    ([field("name", 32, "us_ascii")], {"name": "TOOLONGNAME"}, "Text encodes to 11 bytes"),
    ([field("e", 8, "utf8")], {"e": "\xe9"}, "Text encodes to 2 bytes"),
    ([field("u", 16, "utf16")], {"u": "AB"}, "its byte-order mark included"),
    ([field("x", 32, "ieee754_f32")], {"x": 1e300}, "Value 1e+300 is too large for ieee754_f32"),
    ([field("x", 32, "ieee754_f32")], {"x": -1e-50}, "it would pack as -0.0"),
    ([field("h", 16, "ieee754_f16", "little")], {"h": 70000.0}, "it would pack as inf"),
    ([field("v", 3), field("t", 1), field("apid", 12)], {"v": 7, "t": 1, "apid": 5},
     "Field 1 is written over this field's bytes"),
    ([field("f", 16, "ieee754_f32")], {"f": 1.5}, "does not fit the field's 16 bits"),
    ([field("w", 72)], {"w": 0x1234}, "does not fit the field's 72 bits"),
    ([field("a", 16), field("t", 16, "us_ascii", offset_bits=8)], {"a": 0xABCD, "t": "xy"},
     "Field 1 is written over"),
]

# Values that pack without loss: rounding to the width, infinities and NaNs as given, text
# shorter than its window.
KEPT = [
    ([field("x", 32, "ieee754_f32")], {"x": 0.1}),
    ([field("x", 32, "ieee754_f32"), field("y", 16, "ieee754_f16")],
     {"x": math.inf, "y": math.nan}),
    ([field("t", 64, "utf16le", "little")], {"t": "AB"}),
    ([field("a", 4), field("b", 4, offset_bits=4), field("c", 72)], {"a": 1, "b": 1, "c": 0}),
    ([field("s", 12, "twos_complement", reverse_bits=True)], {"s": -100}),
]


@pytest.mark.parametrize("recipe, values, says", LOSSY)
def test_strict_refuses_what_packing_would_lose(recipe, values, says):
    plain, strict = Layout(recipe), Layout(recipe, strict=True)
    assert plain.pack(values) == fieldpack.pack_parameters(recipe, values)
    with pytest.raises(ValueError) as caught:
        strict.pack(values)
    assert str(caught.value).startswith("ValueError: ") and says in str(caught.value)
    assert notes(caught.value)[0].startswith("field ")
    buffer = bytearray(b"\x55" * (strict.size + 2))
    with pytest.raises(ValueError):
        strict.pack_into(buffer, values, offset_bits=8)
    assert buffer == b"\x55" * (strict.size + 2)


@pytest.mark.parametrize("recipe, values", KEPT)
def test_strict_packs_what_it_keeps_as_the_functions_do(recipe, values):
    assert Layout(recipe, strict=True).pack(values) == fieldpack.pack_parameters(recipe, values)


RECIPE = [field("apid", 16), field("spare", 8), field("mode", 8, "twos_complement")]


def test_defaults_fill_in_what_the_values_lack():
    layout = Layout(RECIPE, defaults={"spare": 0xAA, "mode": -1})
    assert layout.pack({"apid": 1}) == b"\x00\x01\xaa\xff"
    assert layout.pack({"apid": 1, "mode": 2}) == b"\x00\x01\xaa\x02"
    with pytest.raises(ValueError, match="Missing value for parameter: 'apid'"):
        layout.pack({})
    buffer = bytearray(4)
    layout.pack_into(buffer, {"apid": 2})
    assert buffer == b"\x00\x02\xaa\xff"


@pytest.mark.parametrize("defaults, error, says", [
    ({"nope": 1}, ValueError, "^Layout\\(\\) argument 'defaults' names no field of the recipe: 'nope'"),
    ({"spare": 256}, ValueError, "^ValueError: Value 256 is too large for 8 bits"),
    ({"mode": "x"}, ValueError, "^TypeError: "),
    ([("spare", 1)], TypeError, "argument 'defaults' must be a mapping or None, not list"),
])
def test_defaults_are_checked_when_the_layout_is_made(defaults, error, says):
    with pytest.raises(error, match=says) as caught:
        Layout(RECIPE, defaults=defaults)
    if says.startswith(("^ValueError", "^TypeError")):
        assert notes(caught.value)[0].startswith("field ")


def test_strict_checks_defaults_too():
    with pytest.raises(ValueError, match="Text encodes to 5 bytes"):
        Layout([field("t", 8, "us_ascii")], strict=True, defaults={"t": "hello"})


@pytest.mark.parametrize("options", [{}, {"strict": True}, {"defaults": {"spare": 3}},
                                     {"strict": True, "defaults": {"spare": 3, "mode": -2}}])
def test_options_survive_pickling_and_copies(options):
    layout = Layout(RECIPE, **options)
    for clone in (pickle.loads(pickle.dumps(layout)), copy.deepcopy(layout)):
        assert (clone.strict, clone.defaults, repr(clone)) == (
            layout.strict, layout.defaults, repr(layout))
        assert clone.recipe == layout.recipe
    assert layout.defaults is not layout.defaults  # a copy each time: the layout stays as made


def test_the_options_show_in_repr_and_change_no_unpacking():
    layout = Layout(RECIPE, strict=True, defaults={"spare": 1})
    assert repr(layout) == "<Layout 3 fields, 4 bytes, strict, 1 default>"
    assert layout.unpack(b"\x00\x01\x02\xff") == Layout(RECIPE).unpack(b"\x00\x01\x02\xff")
    assert layout.problems() == Layout(RECIPE).problems()
    with pytest.raises(TypeError, match="argument 'strict' must be bool, not int"):
        Layout(RECIPE, strict=1)
