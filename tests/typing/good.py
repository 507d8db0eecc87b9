"""Typed use of fieldpack that both type checkers must accept without a single complaint.

Checked, not run, by test_type_checkers.py (mypy --strict and basedpyright).
"""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, NoReturn

import fieldpack
from fieldpack_layout import Layout, Stream, StreamResult, StreamSummary, ccsds

if TYPE_CHECKING:
    from fieldpack import EncodingName, FieldDefinition

# A plain literal: lists of dicts with mixed value types are recipes as they stand.
HEADER = [
    {"name": "version", "encoding": "unsigned", "bits": 8, "byte_order": "big",
     "reverse_bits": False},
    {"name": "apid", "encoding": "unsigned", "bits": 16, "byte_order": "big",
     "reverse_bits": False},
]

# The same with the TypedDict, for a checker that looks at the keys.
TYPED: list[FieldDefinition] = [
    {"name": "temperature", "encoding": "twos_complement", "bits": 8, "byte_order": "BIG",
     "reverse_bits": False},
    {"name": "label", "encoding": "utf8", "bits": 32, "byte_order": "big",
     "reverse_bits": False, "offset_bits": 8},
]


def field(name: str, encoding: EncodingName, bits: int) -> FieldDefinition:
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "little",
            "reverse_bits": False}


def round_trip(values: dict[str, Any]) -> dict[str, Any]:
    packet: bytes = fieldpack.pack_parameters(HEADER, values)
    return fieldpack.unpack_parameters(packet, 0, HEADER)


def from_json(text: str) -> bytes:
    recipe: list[dict[str, object]] = json.loads(text)
    return fieldpack.pack_parameters(recipe, {"version": 1})


def from_tuple() -> dict[str, Any]:
    recipe = (field("count", "unsigned", 16), field("ratio", "ieee754_f32", 32))
    return fieldpack.unpack_parameters(bytes(6), 0, recipe)


def codecs() -> tuple[int, float, str, bytes, int]:
    pattern: int = fieldpack.encode_twos_complement(-3, 16)
    number: float = fieldpack.decode_ieee754_f16(0x3C00)
    text: str = fieldpack.decode_utf8(b"\xc3\xa9")
    data: bytes = fieldpack.encode_windows_1252(text)
    bcd: int = fieldpack.encode_packed_bcd(-12, 12, signed=True)
    fieldpack.decode_packed_bcd(value=0x12, bits=8, signed=False)
    fieldpack.encode_ieee754_f64(3)  # an int converts to a float
    return pattern, number, text, data, bcd


def always_fails() -> NoReturn:
    # The reserved formats never return, so a checker knows the code after them is dead.
    fieldpack.encode_dec_f64(_value=1.0)


def keyword_names() -> None:
    fieldpack.unpack_parameters(packet_bytes=b"", offset_bits=0, recipe=[])
    fieldpack.pack_parameters(recipe=[], values={})
    fieldpack.encode_utf16(text="A")
    fieldpack.decode_utf16(bytes=b"\xfe\xff")


NAMES: list[str] = fieldpack.__all__


def archive(path: str) -> dict[str, list[Any]]:
    layout = Layout(HEADER)
    size: int | None = layout.size
    names: tuple[str, ...] = layout.names
    values: dict[str, Any] = layout.unpack(bytearray(size or 0), offset_bits=0)
    packet: bytes = layout.pack({"version": 1, "apid": 2})
    layout.pack_into(bytearray(3), values)
    for one in layout.iter_unpack(memoryview(packet), stride=None):
        values.update(one)
    lists: dict[str, list[Any]] = layout.unpack_columns(packet)
    arrays: dict[str, Any] = layout.unpack_columns(packet, 3, numpy=True)
    with open(path, "rb") as file:
        layout.unpack_file(file, numpy=True, progress=True)
    lists.update(arrays)
    seen: list[tuple[int, int | None]] = []
    problems: list[str] = layout.problems()
    seen.extend((n, len(names)) for n in range(len(problems)))
    return layout.unpack_file(path, chunk_packets=1024,
                              progress=lambda done, total: seen.append((done, total)))


def streams(path: str) -> int:
    header = Layout(HEADER)
    stream = Stream(header, key="version", layouts={1: header, 2: Layout(HEADER)},
                    length="apid", length_offset=-2, sequence="apid", sequence_modulus=256,
                    tail="rest", idle=[3], sync={"version": 1}, unsegmented=None)
    lists: StreamResult[dict[str, list[Any]]] = stream.unpack_columns(b"", offsets=True)
    arrays: StreamResult[dict[str, Any]] = stream.unpack_file(path, numpy=True, chunk_bytes=1024)
    parts: dict[int | tuple[int, ...], bytes] = stream.split(bytearray(4))
    summary: StreamSummary = lists.summary
    problems: list[str] = summary.problems()
    missing: int = sum(summary.gaps.values()) + len(arrays) + len(parts) + len(problems)
    space = ccsds.stream({0x10: ccsds.packet(TYPED, secondary_header=HEADER)}, tail=None)
    first: Layout = space.layouts[0x10]
    return missing + (summary.lost_sync or 0) + (first.size or 0) + ccsds.IDLE_APID
