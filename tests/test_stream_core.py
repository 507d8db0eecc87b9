"""The stream walk of the core's C library (fp_stream_*), as a host that reaches C through an FFI
drives it: fed the bytes of a stream in pieces of any size, it finds the packets and counts that
Stream finds. Runs where the library and its FFI module are built (PyPy); skipped elsewhere."""

import os
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fieldpack_layout import Layout, Stream
from helpers import field

try:
    from fieldpack_layout._core_ffi import ffi
except ImportError:
    ffi = None

pytestmark = pytest.mark.skipif(ffi is None, reason="the core's C library is built for PyPy only")

HEADER = [field("version", 3), field("apid", 5), field("count", 4), field("length", 12)]


def library():
    import fieldpack_layout

    folder = os.path.dirname(os.path.abspath(fieldpack_layout.__file__))
    return ffi.dlopen(os.path.join(folder, "_fieldpack_core.so"))


def plan(lib, layout):
    """The layout's plan in the C library, and what keeps its texts alive."""
    specs = layout._specs()
    c_specs = ffi.new("fp_field_spec[]", max(len(specs), 1))
    keep = []
    for i, (name, encoding, row, bits, little, reverse, has_offset, offset) in enumerate(specs):
        texts = ffi.new("char[]", name), ffi.new("char[]", encoding)
        keep.append(texts)
        spec = c_specs[i]
        spec.name, spec.name_size, spec.encoding, spec.encoding_size = (
            texts[0], len(name), texts[1], len(encoding))
        spec.encoding_row, spec.bits, spec.little = row, bits, little
        spec.reverse_bits, spec.has_offset, spec.offset_bits = reverse, has_offset, offset
    made = lib.fp_plan_new(c_specs, len(specs), layout.packing == "bits")
    assert made != ffi.NULL
    return ffi.gc(made, lib.fp_plan_free), keep


def walk(lib, header, layout_keys, layout_sizes, data, piece):
    """The C walk over `data` handed over `piece` bytes at a time, as a file reader would: what
    is left of a packet is handed over again with the next bytes."""
    header_plan, keep = plan(lib, header)
    spec = ffi.new("fp_stream_spec*")
    key_fields = ffi.new("size_t[]", [1])
    keys = ffi.new("uint64_t[]", layout_keys or [0])
    needs = ffi.new("uint64_t[]", layout_sizes or [0])
    idle = ffi.new("uint64_t[]", [31])
    sync_fields, sync_values = ffi.new("size_t[]", [0]), ffi.new("uint64_t[]", [0])
    spec.key_fields, spec.key_count = key_fields, 1
    spec.has_length, spec.length_field, spec.length_offset = 1, 3, 0
    spec.has_sequence, spec.sequence_field, spec.sequence_modulus = 1, 2, 16
    spec.sync_fields, spec.sync_values, spec.sync_count = sync_fields, sync_values, 1
    spec.layout_keys, spec.layout_needs, spec.layout_count = keys, needs, len(layout_keys)
    spec.idle_keys, spec.idle_count = idle, 1
    stream = lib.fp_stream_new(header_plan, spec)
    assert stream != ffi.NULL
    stream = ffi.gc(stream, lib.fp_stream_free)
    consumed, wanted = ffi.new("uint64_t*"), ffi.new("uint64_t*")
    base, size = 0, piece
    packets = {key: [] for key in layout_keys}
    while True:
        chunk = data[base:base + size]
        at_end = base + len(chunk) == len(data)
        assert lib.fp_stream_walk(stream, chunk, len(chunk), base, at_end, consumed, wanted)
        for index, key in enumerate(layout_keys):
            count = lib.fp_stream_packets(stream, index, ffi.NULL, ffi.NULL, 0)
            offsets, lengths = ffi.new("uint64_t[]", count), ffi.new("uint64_t[]", count)
            lib.fp_stream_packets(stream, index, offsets, lengths, count)
            packets[key] += [(offsets[i], lengths[i]) for i in range(count)]
        lib.fp_stream_clear_packets(stream)
        tallies = ffi.new("fp_stream_tally[]", max(len(layout_keys), 1))
        totals = ffi.new("fp_stream_totals*")
        lib.fp_stream_counts(stream, tallies, totals)
        if at_end or totals.lost:
            break
        base += consumed[0]
        size = max(piece, wanted[0])
    counts = {key: (tallies[i].packets, tallies[i].short_packets, tallies[i].gaps,
                    tallies[i].repeats) for i, key in enumerate(layout_keys)}
    return packets, counts, (totals.idle, totals.unknown_packets, totals.truncated,
                             totals.lost_at if totals.lost else None)


@settings(max_examples=60)
@given(st.lists(st.tuples(st.integers(0, 31), st.integers(3, 12), st.integers(0, 3)),
                max_size=15),
       st.integers(1, 20), st.integers(0, 5), st.integers(0, 40))
def test_the_c_walk_finds_what_stream_finds(packets, piece, cut, lose_at):
    lib = library()
    header = Layout(HEADER, packing="bits")
    layouts = {1: Layout(HEADER + [field("x", 16)], packing="bits"), 2: header,
               7: Layout(HEADER + [field("y", 8)], packing="bits")}
    data = b"".join(
        header.pack({"version": int(i == lose_at), "apid": apid, "count": (i + skip) % 16,
                     "length": size}) + bytes(size - 3)
        for i, (apid, size, skip) in enumerate(packets))
    data = data[:len(data) - cut]
    stream = Stream(header, key="apid", layouts=layouts, length="length", sequence="count",
                    idle=[31], sync={"version": 0})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        split = stream.split(data)
    found, counts, totals = walk(lib, header, list(layouts), [l.size for l in layouts.values()],
                                 data, piece)
    summary = split.summary
    for key in layouts:
        assert b"".join(data[o:o + n] for o, n in found[key]) == split[key]
        assert counts[key] == (summary.packets[key], summary.short[key], summary.gaps[key],
                               summary.repeats[key])
    assert totals == (summary.idle, sum(summary.unknown.values()), summary.truncated,
                      summary.lost_sync)


def test_a_spec_naming_no_integer_field_makes_no_stream():
    lib = library()
    header_plan, keep = plan(lib, Layout([field("k", 8), field("t", 16, "utf8")]))
    spec = ffi.new("fp_stream_spec*")
    fields = ffi.new("size_t[]", [1])
    spec.key_fields, spec.key_count, spec.size = fields, 1, 3
    assert lib.fp_stream_new(header_plan, spec) == ffi.NULL
    fields[0] = 5  # past the header's fields
    assert lib.fp_stream_new(header_plan, spec) == ffi.NULL
    fields[0] = 0
    made = lib.fp_stream_new(header_plan, spec)
    assert made != ffi.NULL
    lib.fp_stream_free(made)
