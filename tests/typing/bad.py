"""Mistakes the stubs must let a type checker catch, and correct code it must leave alone.

Each line that ends in "# expect-error: <mypy code> / <pyright rule>" must be reported by mypy
--strict with that error code and by basedpyright with that rule; every other line must be
reported by neither. Checked, not run, by test_type_checkers.py.
"""

from __future__ import annotations

from typing import TYPE_CHECKING

import fieldpack
from fieldpack_layout import Layout, Stream

if TYPE_CHECKING:
    from fieldpack import EncodingName, FieldDefinition

# Correct: a plain list-of-dict literal is a recipe, whatever its value types.
RECIPE = [
    {"name": "a", "encoding": "unsigned", "bits": 8, "byte_order": "big", "reverse_bits": False},
]
fieldpack.pack_parameters(RECIPE, {"a": 1})
fieldpack.pack_parameters([{"name": "b", "encoding": "UTF8", "bits": 8, "byte_order": "big",
                            "reverse_bits": False}], {"b": "x"})

# Text codecs take bytes one way and str the other.
fieldpack.decode_utf8("text")  # expect-error: arg-type / reportArgumentType
fieldpack.encode_utf8(b"text")  # expect-error: arg-type / reportArgumentType
fieldpack.decode_utf8(bytearray(b"text"))  # expect-error: arg-type / reportArgumentType

# Integer codecs take integers; "signed" is a bool, not 0 or 1.
fieldpack.encode_twos_complement("3", 16)  # expect-error: arg-type / reportArgumentType
fieldpack.decode_twos_complement(0x80, 8.0)  # expect-error: arg-type / reportArgumentType
fieldpack.decode_packed_bcd(0x12, 8, 1)  # expect-error: arg-type / reportArgumentType

# Misspelt names and parameters.
fieldpack.decode_utf_8(b"")  # expect-error: attr-defined / reportAttributeAccessIssue

# Packet functions: a str is no recipe, a list is no values dict, the result is a dict.
fieldpack.pack_parameters("recipe", {})  # expect-error: arg-type / reportArgumentType
fieldpack.pack_parameters(RECIPE, [("a", 1)])  # expect-error: arg-type / reportArgumentType
packet: bytes = fieldpack.unpack_parameters(b"\x01", 0, RECIPE)  # expect-error: assignment / reportAssignmentType

# The typing-only names catch what a plain dict cannot.
name: EncodingName = "utf-8"  # expect-error: assignment / reportAssignmentType
entry: FieldDefinition = {"name": "x", "encoding": "utf8", "bits": 8, "byte_order": "big"}  # expect-error: typeddict-item / reportAssignmentType


# Compiled layouts: buffers, dicts and flags of the right kinds; attributes are read-only.
LAYOUT = Layout(RECIPE)
LAYOUT.unpack("text")  # expect-error: arg-type / reportArgumentType
LAYOUT.pack([("a", 1)])  # expect-error: arg-type / reportArgumentType
LAYOUT.size = 3  # expect-error: misc / reportAttributeAccessIssue
LAYOUT.unpack_columns(b"", 1, True)  # expect-error: call-overload / reportCallIssue
LAYOUT.unpack_file(3)  # expect-error: call-overload / reportArgumentType
LAYOUT.unpack_file("a.bin", progress="yes")  # expect-error: call-overload / reportArgumentType
Layout("recipe")  # expect-error: arg-type / reportArgumentType

# Streams: a Layout for a header, names for fields, keyword arguments for the rest.
Stream(RECIPE, key="a", layouts={}, size=1)  # expect-error: arg-type / reportArgumentType
Stream(LAYOUT, key=1, layouts={}, size=1)  # expect-error: arg-type / reportArgumentType
Stream(LAYOUT, "a", {}, size=1)  # expect-error: call-arg / reportCallIssue
STREAM = Stream(LAYOUT, key="a", layouts={1: LAYOUT}, size=1)
STREAM.split("text")  # expect-error: arg-type / reportArgumentType
STREAM.unpack_file("a.bin", numpy=True, chunk_bytes="big")  # expect-error: call-overload / reportCallIssue
STREAM.unpack_columns(b"").summary.idle = None  # expect-error: assignment / reportAttributeAccessIssue


def reserved() -> None:
    # Inside a function: the reserved formats never return, so no line after this is checked.
    fieldpack.decode_ibm_f32(value=0)  # expect-error: call-arg / reportCallIssue
