"""fieldpack_layout.ccsds, and the mixed CCSDS file of examples/ccsds_stream.py decoded by it: the
primary header as the standard lays it out, whole-packet layouts, the stream's rules (lengths,
idle packets, version, segments, sequence counts), and the example file decoded alike by the
stream, by Layout.unpack packet by packet, and by the split and decode written by hand in
bench/stream_by_hand.py. The example's tests skip where the tests run without examples/ and
bench/ beside them (a copy of the tests against an installed wheel)."""

import importlib.util
import sys
import warnings
from pathlib import Path

import pytest

from fieldpack_layout import Layout, StreamWarning, ccsds
from helpers import field, raises_exactly

ROOT = Path(__file__).resolve().parent.parent

try:
    import numpy
except ImportError:
    numpy = None


def header_bytes(version, type_, flag, apid, flags, count, length):
    """The six bytes of a primary header, by integer arithmetic."""
    word = (version << 45 | type_ << 44 | flag << 43 | apid << 32 | flags << 30 | count << 16
            | length)
    return word.to_bytes(6, "big")


@pytest.mark.parametrize("values", [
    (0, 0, 1, 0x064, 3, 5, 15),
    (7, 1, 0, 0x7FF, 0, 16383, 65535),
    (0, 1, 1, 0x555, 2, 0x2AAA, 0x1234),
])
def test_the_primary_header_reads_and_writes_the_standards_bits(values):
    names = [entry["name"] for entry in ccsds.PRIMARY_HEADER]
    assert names == ["version", "type", "secondary_header_flag", "apid", "sequence_flags",
                     "sequence_count", "data_length"]
    packed = header_bytes(*values)
    assert ccsds.primary_header.unpack(packed) == dict(zip(names, values))
    assert ccsds.primary_header.pack(dict(zip(names, values))) == packed
    assert ccsds.primary_header.packing == "bits" and ccsds.primary_header.size == 6


def test_packets_place_data_fields_after_the_headers():
    time_code = [field("coarse", 32), field("fine", 16, offset_bits=48)]  # 8 bytes
    layout = ccsds.packet([field("a", 4), field("b", 12), field("c", 8, offset_bits=0)],
                          secondary_header=time_code)
    assert layout.packing == "bits" and layout.size == 6 + 8 + 2
    recipe = layout.recipe
    # The secondary header's offset counts from the primary header's end, a data field's from
    # the secondary header's end; fields without one follow the field before them.
    assert recipe[8]["offset_bits"] == 48 + 48 and recipe[11]["offset_bits"] == 48 + 64
    packet = header_bytes(0, 0, 1, 0x10, 3, 0, 9) + bytes(8) + b"\xAB\xCD"
    values = layout.unpack(packet)
    assert (values["a"], values["b"], values["c"]) == (0xA, 0xBCD, 0xAB)
    assert ccsds.packet([]).size == 6 and ccsds.packet([]).names == ccsds.primary_header.names


def test_packet_checks_its_fields_as_layout_does():
    with pytest.raises(ValueError) as caught:
        ccsds.packet([field("t", 12, "utf8")])
    with pytest.raises(ValueError) as direct:
        Layout(list(ccsds.PRIMARY_HEADER) + [field("t", 12, "utf8")], packing="bits")
    assert str(caught.value) == str(direct.value)


def test_the_stream_of_space_packets():
    stream = ccsds.stream({0x10: ccsds.packet([field("x", 8)])}, tail="rest")
    assert (stream.key, stream.length, stream.length_offset, stream.sequence,
            stream.sequence_modulus, stream.idle, stream.sync, stream.unsegmented, stream.tail) \
        == ("apid", "data_length", 7, "sequence_count", 16384, (0x7FF,), {"version": 0},
            {"sequence_flags": 3}, "rest")

    def space_packet(apid, count, data, version=0, flags=3):
        return header_bytes(version, 0, 0, apid, flags, count, len(data) - 1) + data

    data = (space_packet(0x10, 16383, b"\x01") + space_packet(0x7FF, 0, b"\x55" * 9)
            + space_packet(0x10, 1, b"\x02tail", flags=1) + space_packet(0x22, 0, b"\x00")
            + space_packet(0x10, 2, b"\x03", version=1) + space_packet(0x10, 3, b"\x04"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = stream.unpack_columns(data)
    assert result[0x10]["x"] == [1, 2] and result[0x10]["rest"] == [b"", b"tail"]
    summary = result.summary
    # Count 16383 then 1: one packet (count 0) missing across the wrap.
    assert (summary.idle, summary.unknown, summary.gaps, summary.segmented) == \
        (1, {0x22: 1}, {0x10: 1}, {0x10: 1})
    # Version 1 is not a space packet: the walk stops there.
    assert summary.lost_sync == 7 + 15 + 11 + 7
    assert len(caught) == 1 and caught[0].category is StreamWarning


def test_a_layout_for_the_idle_apid_decodes_idle_packets():
    stream = ccsds.stream({0x7FF: ccsds.packet([])})
    result = stream.unpack_columns(header_bytes(0, 0, 0, 0x7FF, 3, 0, 0) + b"\x55")
    assert result.summary.idle == 0 and result.summary.packets == {0x7FF: 1}


def test_stream_refuses_what_is_not_a_layout():
    with raises_exactly(TypeError, "Stream() argument 'layouts' must map keys to Layout objects, "
                                   "not list"):
        ccsds.stream({0x10: [field("x", 8)]})


# ---------------------------------------------------------------------------------------------
# The example file


def load(relative, name):
    path = ROOT / relative
    if not path.is_file():
        pytest.skip(f"no {path}")
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    return load("examples/ccsds_stream.py", "ccsds_stream")


@pytest.fixture(scope="module")
def mission(example, tmp_path_factory):
    path = tmp_path_factory.mktemp("mission") / "level0.bin"
    assert example.main(["write", str(path), "--megabytes", "0.3", "--seed", "5"]) == 0
    return path


def split_by_hand(data):
    """(apid, start, length) of every whole packet, the primary headers read with int
    arithmetic; what is left at the end."""
    position, found = 0, []
    while len(data) - position >= 6:
        word = int.from_bytes(data[position:position + 6], "big")
        length = (word & 0xFFFF) + 7
        if length > len(data) - position:
            break
        found.append((word >> 32 & 0x7FF, position, length))
        position += length
    return found, len(data) - position


def test_the_example_file_holds_what_its_docstring_says(example, mission):
    data = mission.read_bytes()
    packets, left = split_by_hand(data)
    lengths = {}
    for apid, _, length in packets:
        lengths.setdefault(apid, set()).add(length - 6)  # the data field's length
    assert set(lengths) == set(example.PACKET_TYPES) | {0x7FF}
    assert min(lengths[0x064]) == 10 and max(lengths[0x190]) <= 1500
    assert len(lengths[0x12C]) > 1 and len(lengths[0x190]) > 1  # variable in length
    assert left > 0  # the last packet cut short
    assert len(data) == 300_000


def test_the_stream_gives_what_each_packet_unpacks_to(example, mission):
    data = mission.read_bytes()
    layouts = example.layouts()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = ccsds.stream(layouts, tail="variable").unpack_file(str(mission))
    packets, left = split_by_hand(data)
    for apid, layout in layouts.items():
        mine = [(start, length) for key, start, length in packets if key == apid]
        rows = [layout.unpack(data[start:start + length]) for start, length in mine]
        columns = result[apid]
        for name in layout.names:
            assert columns[name] == [row[name] for row in rows], (hex(apid), name)
        assert columns["variable"] == [data[s + layout.size:s + n] for s, n in mine]
    summary = result.summary
    assert summary.truncated == left and summary.idle == sum(k == 0x7FF for k, _, _ in packets)
    assert summary.gaps == {apid: 3 if apid == 0x065 else 0 for apid in layouts}
    assert [str(w.message) for w in caught] == [
        "Stream.unpack_file(): 3 packets missing by the sequence counts (key 101: 3); "
        f"a truncated packet of {left} bytes at the end"]


@pytest.mark.skipif(numpy is None, reason="numpy is not installed")
def test_the_split_and_decode_written_by_hand_agrees(example, mission):
    by_hand = load("bench/stream_by_hand.py", "stream_by_hand")
    data = mission.read_bytes()
    columns, counts = by_hand.decode(data)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", StreamWarning)
        result = ccsds.stream(example.layouts(), tail="tail").unpack_file(mission, numpy=True)
    assert list(result) == list(columns)
    for apid, mine in result.items():
        theirs = columns[apid]
        assert list(mine) == list(theirs), hex(apid)
        for name, column in mine.items():
            other = theirs[name]
            if isinstance(column, list):
                assert column == other, (hex(apid), name)
            else:
                assert column.dtype == other.dtype, (hex(apid), name)
                assert numpy.array_equal(column, other, equal_nan=column.dtype.kind == "f"), \
                    (hex(apid), name)
    summary = result.summary
    assert (summary.packets, summary.short, summary.gaps, summary.repeats) == \
        (counts["packets"], counts["short"], counts["gaps"], counts["repeats"])
    assert (summary.idle, summary.unknown, summary.truncated) == \
        (counts["idle"], counts["unknown"], counts["truncated"])


@pytest.mark.parametrize("with_numpy", [
    False, pytest.param(True, marks=pytest.mark.skipif(numpy is None, reason="no numpy"))])
def test_read_prints_what_the_walk_found(example, mission, capsys, monkeypatch, with_numpy):
    if not with_numpy:
        monkeypatch.setitem(sys.modules, "numpy", None)
    assert example.main(["read", str(mission)]) == 0
    out = capsys.readouterr().out
    assert ("numpy arrays" if with_numpy else "lists") in out
    assert "warning: Stream.unpack_file(): 3 packets missing" in out
    assert out.count("packets, ") == 7 and "0x065 thermal" in out and ", 3 missing" in out
