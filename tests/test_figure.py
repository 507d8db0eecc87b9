"""Layout.figure and Layout._repr_svg_: the picture is well-formed SVG that stands on its own,
names every field, shows the bytes pack gives, says when what reads back is not what was given,
and refuses what pack refuses, as pack refuses it."""

import re
import xml.etree.ElementTree as ET

import pytest

from fieldpack_layout import Layout
from helpers import field, outcome

SVG = "{http://www.w3.org/2000/svg}"
# What a picture that is text only and refers to nothing outside itself is made of.
ELEMENTS = {f"{SVG}{name}" for name in ("svg", "title", "rect", "text", "line")}

LAYOUTS = {
    "header": ([field("version", 3), field("flag", 1), field("apid", 12)],
               {"version": 5, "flag": 1, "apid": 0x7FF}),
    "offsets": ([field("A", 16, offset_bits=16), field("B", 8, offset_bits=0), field("C", 8)],
                {"A": 0xAABB, "B": 0x11, "C": 0x22}),
    "mixed": ([field("apid", 11, offset_bits=5), field("temp", 16, "twos_complement", "little"),
               field("volts", 32, "ieee754_f32"), field("mode", 32, "us_ascii"),
               field("bcd", 16, "packed_bcd"), field("label", 96, "utf8"),
               field("crc", 16, reverse_bits=True)],
              {"apid": 0x123, "temp": -40, "volts": 28.5, "mode": "SAFE", "bcd": 1234,
               "label": "Zoë <&> ±5", "crc": 0xBEEF}),
    "markup in names": ([field("<a&b>\"'", 8), field("tab\there\x00", 8, "utf8")],
                        {"<a&b>\"'": 1, "tab\there\x00": "x"}),
    "empty field": ([field("nothing", 0), field("n", 8)], {"nothing": 0, "n": 1}),
    "no fields": ([], {}),
}


def texts(svg):
    root = ET.fromstring(svg)
    assert root.tag == f"{SVG}svg"
    return [element.text or "" for element in root.iter(f"{SVG}text")]


@pytest.mark.parametrize("with_values", [False, True])
@pytest.mark.parametrize("name", LAYOUTS)
def test_picture_is_self_contained_svg_naming_every_field(name, with_values):
    recipe, values = LAYOUTS[name]
    layout = Layout(recipe)
    svg = layout.figure(values if with_values else None)
    assert isinstance(svg, str)
    root = ET.fromstring(svg)
    assert int(root.get("width")) > 0 and int(root.get("height")) > 0
    for element in root.iter():
        assert element.tag in ELEMENTS, element.tag
        for attribute, value in element.attrib.items():
            assert "href" not in attribute and "url(" not in value and "@import" not in value
    shown = texts(svg)
    for entry in recipe:
        # Characters that do not print stand as their escapes, as repr writes them.
        assert repr(entry["name"]) in shown
    # Deterministic: the same picture again, and from a layout made anew from the recipe.
    assert svg == layout.figure(values if with_values else None)
    assert svg == Layout(layout.recipe).figure(values if with_values else None)


@pytest.mark.parametrize("name", LAYOUTS)
def test_packed_bytes_appear_in_order(name):
    recipe, values = LAYOUTS[name]
    layout = Layout(recipe)
    packet = layout.pack(values)
    # The bytes come first, row by row; two-digit numbers of the table under them may follow.
    pairs = [t for t in texts(layout.figure(values)) if re.fullmatch("[0-9A-F]{2}", t)]
    assert pairs[:len(packet)] == [f"{byte:02X}" for byte in packet]


def test_notebook_picture_is_the_figure_without_values():
    layout = Layout(LAYOUTS["mixed"][0])
    values = LAYOUTS["mixed"][1]
    assert layout._repr_svg_() == layout.figure() == layout.figure(None)
    assert layout.figure(values=values) == layout.figure(values) != layout.figure()


@pytest.mark.parametrize("recipe, values, lost", [
    ([field("a", 4), field("b", 4)], {"a": 1, "b": 2}, True),  # b's byte overwrites a's
    ([field("t", 16, "utf8")], {"t": "ABCD"}, True),  # cut at its window
    ([field("t", 32, "utf8")], {"t": "A"}, False),  # zero bytes after the text
    ([field("x", 32, "ieee754_f32")], {"x": 0.1}, False),  # rounded to 32 bits
    ([field("x", 32, "ieee754_f32")], {"x": 1e300}, True),  # infinite at 32 bits
    ([field("x", 16, "ieee754_f16")], {"x": 1e-9}, True),  # zero at 16 bits
    ([field("x", 64, "ieee754_f64")], {"x": float("nan")}, False),
    ([field("v", 3), field("f", 1), field("apid", 12)], {"v": 5, "f": 1, "apid": 0x7FF}, True),
    ([field("v", 8), field("apid", 16)], {"v": 5, "apid": 0x7FF}, False),
])
def test_says_when_a_value_does_not_read_back(recipe, values, lost):
    svg = Layout(recipe).figure(values)
    assert any("other than given" in t for t in texts(svg)) == lost


def test_bytes_that_do_not_unpack_are_shown_with_the_failure():
    layout = Layout([field("t", 8, "utf8")])
    shown = texts(layout.figure({"t": "é"}))  # packs its first byte, c3, which fails to unpack
    assert "C3" in shown
    assert any(t.startswith("unpack fails") and "ValueError" in t for t in shown)


def test_long_fields_are_not_drawn_byte_by_byte():
    layout = Layout([field("text", 8 * 4096, "utf8"), field("n", 8, offset_bits=8 * 100000)])
    shown = texts(layout.figure({"text": "hello", "n": 7}))
    assert 0 < sum(t.startswith("byte ") for t in shown) <= 32
    assert any("bytes 8 to " in t and "'text'" in t for t in shown)  # the gap says what it is
    assert shown.count("07") == 1 and "68" in shown  # n's byte and the text's first byte


@pytest.mark.parametrize("values", [
    [("a", 1)],  # not a dict
    {},  # a value missing
    {"a": 256},  # out of range for 8 bits
    {"a": "1"},  # of the wrong type
])
def test_refuses_what_pack_refuses(values):
    layout = Layout([field("a", 8)])

    def with_notes(call):
        try:
            call()
        except Exception as error:  # noqa: BLE001 - compared below
            return type(error), str(error), getattr(error, "__notes__", None)
        return None

    refused = with_notes(lambda: layout.pack(values))
    assert refused is not None
    assert with_notes(lambda: layout.figure(values)) == refused


@pytest.mark.parametrize("call", [
    lambda layout: layout.figure({}, {}),
    lambda layout: layout.figure(value={}),
    lambda layout: layout._repr_svg_(None),
])
def test_argument_errors(call):
    assert outcome(call, Layout([]))[0] is TypeError
