"""fieldpack_layout.Stream: the walk over packets of several layouts gives, per key, the columns
that Layout.unpack gives packet by packet, and counts what a walk written here in Python counts;
every way in (a buffer, a file in chunks of any size) gives the same, failures included."""

import io
import pickle
import threading
import warnings

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from fieldpack_layout import Layout, Stream, StreamResult, StreamSummary, StreamWarning
from helpers import assert_documented_alike, field, raises_exactly
from test_layout import entries

try:
    import numpy
except ImportError:  # PyPy, or a machine without it: the numpy=True cases skip
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")
MODES = [False, pytest.param(True, marks=needs_numpy)]


def notes(error):
    return list(getattr(error, "__notes__", []))


def quietly(call, *args, **kwargs):
    """The call's result and the StreamWarnings it issued."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = call(*args, **kwargs)
    return result, [w for w in caught if issubclass(w.category, StreamWarning)]


# ---------------------------------------------------------------------------------------------
# The reference: the walk in Python, each packet unpacked on its own


def reference(stream, data, tail=None):
    """What a stream gives for `data`: ({key: {name: [values]}}, summary fields), or the failure
    of the first packet that fails to unpack (its error, and where the packet starts)."""
    header = stream.header
    header_need = max(need(header), 1)
    layouts = stream.layouts
    keys = stream.key if isinstance(stream.key, tuple) else (stream.key,)
    columns = {k: {name: [] for name in dict.fromkeys(layout.names)} for k, layout in
               layouts.items()}
    for k in columns:
        if tail:
            columns[k][tail] = []
    counts = {name: dict.fromkeys(layouts, 0) for name in
              ("packets", "short", "gaps", "repeats", "segmented")}
    last = {}
    unknown = {}
    idle = truncated = 0
    lost = None
    position = 0
    while True:
        left = len(data) - position
        if left < header_need:
            truncated = left
            break
        values = header.unpack(data[position:position + header_need])
        length = (values[stream.length] + stream.length_offset if stream.length is not None
                  else stream.size)
        if any(values[f] != v for f, v in (stream.sync or {}).items()) or length < header_need:
            lost = position
            break
        if length > left:
            truncated = left
            break
        key = values[keys[0]] if len(keys) == 1 else tuple(values[f] for f in keys)
        packet = data[position:position + length]
        if key in layouts:
            layout = layouts[key]
            if length >= need(layout):
                counts["packets"][key] += 1
                try:
                    unpacked = layout.unpack(packet)
                except ValueError as error:
                    return None, (error, key, counts["packets"][key] - 1, position)
                for name, value in unpacked.items():
                    columns[key][name].append(value)
                if tail:
                    columns[key][tail].append(packet[need(layout):])
            else:
                counts["short"][key] += 1
            if stream.sequence is not None:
                count = values[stream.sequence] % stream.sequence_modulus
                if key in last:
                    step = (count - last[key]) % stream.sequence_modulus
                    if step == 0:
                        counts["repeats"][key] += 1
                    else:
                        counts["gaps"][key] += step - 1
                last[key] = count
            if any(values[f] != v for f, v in (stream.unsegmented or {}).items()):
                counts["segmented"][key] += 1
        elif key in stream.idle:
            idle += 1
        else:
            unknown[key] = unknown.get(key, 0) + 1
        position += length
    return (columns, dict(counts, unknown=unknown, idle=idle, truncated=truncated,
                          lost_sync=lost)), None


def need(layout):
    """The bytes of a whole packet of a layout: its size (the streams here have layouts with
    one)."""
    return layout.size


def as_lists(result):
    return {key: {name: [repr(v) for v in (c.tolist() if hasattr(c, "tolist") else c)]
                  for name, c in columns.items()} for key, columns in result.items()}


def summary_fields(summary):
    return {name: getattr(summary, name) for name in StreamSummary.__slots__}


def outcome(call):
    try:
        result, caught = quietly(call)
    except ValueError as error:
        return "raise", (str(error), notes(error))
    assert len(caught) == (0 if result.summary.clean else 1)
    return "ok", (as_lists(result), summary_fields(result.summary))


def expected(stream, data, function, tail=None):
    made, failed = reference(stream, data, tail)
    if failed:
        error, key, index, start = failed
        return "raise", (str(error), notes(error) + [
            f"packet {index} of key {key!r} in {function}, at byte {start}"])
    columns, counts = made
    return "ok", ({k: {n: [repr(v) for v in c] for n, c in cs.items()}
                   for k, cs in columns.items()}, counts)


# ---------------------------------------------------------------------------------------------
# Streams made up by Hypothesis

HEADERS = {
    # packing: (header fields, the key's field); the key may be unsigned or signed
    "bits": lambda key: [field("version", 3), field("k", 7, key), field("s", 4),
                         field("n", 16), field("pad", 2)],
    "bytes": lambda key: [field("k", 8, key), field("s", 8), field("n", 16)],
}


@st.composite
def streams(draw):
    packing = draw(st.sampled_from(["bits", "bytes"]))
    key_encoding = draw(st.sampled_from(["unsigned", "twos_complement"]))
    header_fields = HEADERS[packing](key_encoding)
    header = Layout(header_fields, packing=packing)
    low, high = (0, 127) if key_encoding == "unsigned" else (-64, 63)
    if packing == "bytes":
        low, high = (0, 255) if key_encoding == "unsigned" else (-128, 127)
    keys = draw(st.lists(st.integers(low, high), min_size=1, max_size=4, unique=True))
    layouts = {}
    for key in keys:
        extra = draw(st.lists(entries(), max_size=3))
        try:
            layout = Layout(header_fields + extra, packing=packing)
        except (ValueError, TypeError):
            layout = header
        if layout.size is None or layout.size > 64:
            layout = header
        layouts[key] = layout
    idle = draw(st.lists(st.integers(low, high).filter(lambda k: k not in layouts), max_size=1))
    offset = draw(st.sampled_from([0, 3, -2]))
    options = {}
    if draw(st.booleans()):
        options["sequence"] = "s"
        if draw(st.booleans()):
            options["sequence_modulus"] = draw(st.integers(1, 20))
    if packing == "bits" and draw(st.booleans()):
        options["sync"] = {"version": 0}
    if draw(st.booleans()):
        options["unsegmented"] = {"pad": 0} if packing == "bits" else {"s": 0}
    if draw(st.booleans()):
        options["tail"] = "rest"
        if any("rest" in layout.names for layout in layouts.values()):
            del options["tail"]
    stream = Stream(header, key="k", layouts=layouts, length="n", length_offset=offset,
                    idle=idle, **options)

    # The packets: of the layouts' keys mostly, some idle or unknown, of any length from the
    # header's on, with payloads that may fail to decode.
    packets = []
    counters = {}
    for _ in range(draw(st.integers(0, 12))):
        key = draw(st.one_of(st.sampled_from(keys + idle), st.sampled_from(keys),
                             st.integers(low, high)))
        size = draw(st.integers(header.size, max(need(layouts.get(key, header)), header.size) + 6))
        counters[key] = counters.get(key, 0) + draw(st.sampled_from([1, 1, 1, 0, 2, 5]))
        values = {"version": draw(st.sampled_from([0, 0, 0, 0, 1])), "k": key,
                  "s": counters[key] % 16, "n": size - offset, "pad": draw(st.integers(0, 1))}
        if draw(st.integers(0, 30)) == 0:
            values["n"] = max(0, header.size - 1 - offset)  # a length below the header's
        payload = draw(st.binary(min_size=size - header.size, max_size=size - header.size))
        packets.append(header.pack(values) + payload)
    data = b"".join(packets)
    data = data[:len(data) - draw(st.integers(0, min(len(data), 9)))]
    return stream, data, options.get("tail")


@settings(max_examples=150)
@given(streams(), st.integers(1, 40), st.sampled_from([False, True]))
def test_streams_give_what_layouts_give_packet_by_packet(made, chunk_bytes, use_numpy):
    stream, data, tail = made
    if use_numpy and numpy is None:
        use_numpy = False
    want = expected(stream, data, "Stream.unpack_columns", tail)
    assert outcome(lambda: stream.unpack_columns(data, numpy=use_numpy)) == want
    assert outcome(lambda: stream.unpack_columns(bytearray(data))) == want
    # From a file in chunks of every size: packets cut by a chunk wait for the next one, and
    # chunks grow to hold the longest.
    want = expected(stream, data, "Stream.unpack_file", tail)
    assert outcome(lambda: stream.unpack_file(io.BytesIO(data), chunk_bytes=chunk_bytes,
                                              numpy=use_numpy)) == want


@settings(max_examples=60)
@given(streams())
def test_split_joins_each_keys_packets(made):
    stream, data, _ = made
    made, failed = reference(stream, data)
    result, _ = quietly(stream.split, data)
    assert list(result) == list(stream.layouts)
    # Decoded or not, every whole packet of a key is there, in stream order.
    keyed = {k: [] for k in stream.layouts}
    for key, start, length in walked(stream, data):
        keyed[key].append(data[start:start + length])
    assert result == {k: b"".join(v) for k, v in keyed.items()}
    if failed is None:
        assert summary_fields(result.summary) == made[1]


def walked(stream, data):
    """(key, start, length) of each whole packet of a layout's key, by the reference walk."""
    header, header_need = stream.header, max(stream.header.size, 1)
    position = 0
    while len(data) - position >= header_need:
        values = header.unpack(data[position:position + header_need])
        length = values["n"] + stream.length_offset
        if any(values[f] != v for f, v in (stream.sync or {}).items()) or length < header_need:
            return
        if length > len(data) - position:
            return
        if values["k"] in stream.layouts:
            yield values["k"], position, length
        position += length


# ---------------------------------------------------------------------------------------------
# A stream written out by hand

HEADER = [field("version", 3), field("type", 1), field("apid", 12), field("count", 8),
          field("length", 8)]
HEADER_LAYOUT = Layout(HEADER, packing="bits")


def kind(apid, *fields):
    return Layout(HEADER + list(fields), packing="bits")


LAYOUTS = {
    0x10: kind(0x10, field("temp", 12, "twos_complement"), field("flag", 4)),
    0x20: kind(0x20, field("volts", 32, "ieee754_f32"), field("time", 16, "packed_bcd")),
    0x30: kind(0x30, field("name", 32, "us_ascii")),
}


def packet(apid, count, payload, version=0, type_=0, length=None):
    size = 4 + len(payload)
    return HEADER_LAYOUT.pack({"version": version, "type": type_, "apid": apid, "count": count,
                               "length": size if length is None else length}) + payload


def stream_of(**options):
    arguments = dict(key="apid", layouts=LAYOUTS, length="length", sequence="count")
    arguments.update(options)
    return Stream(HEADER_LAYOUT, **arguments)


CLEAN = (packet(0x10, 0, b"\xff\xe1") + packet(0x20, 0, b"\x41\xe0\x00\x00\x12\x34")
         + packet(0x10, 1, b"\x00\x52") + packet(0x30, 7, b"SAFE"))


@pytest.mark.parametrize("use_numpy", MODES)
def test_columns_per_key_in_the_layouts_order(use_numpy):
    result, caught = quietly(stream_of().unpack_columns, CLEAN, numpy=use_numpy)
    assert type(result) is StreamResult and list(result) == [0x10, 0x20, 0x30] and caught == []
    temps = result[0x10]["temp"]
    assert list(temps) == [-2, 5] and list(result[0x10]["flag"]) == [1, 2]
    assert list(result[0x20]["volts"]) == [28.0] and list(result[0x20]["time"]) == [1234]
    assert result[0x30]["name"] == ["SAFE"]
    if use_numpy:
        assert str(temps.dtype) == "int16" and str(result[0x20]["volts"].dtype) == "float32"
    assert result.summary.clean and result.summary.packets == {0x10: 2, 0x20: 1, 0x30: 1}


@pytest.mark.parametrize("use_numpy", MODES)
def test_a_key_that_never_occurs_has_empty_columns_of_its_types(use_numpy):
    result, _ = quietly(stream_of(tail="rest").unpack_columns, b"", numpy=use_numpy,
                        offsets=True)
    columns = result[0x20]
    assert list(columns) == list(LAYOUTS[0x20].names) + ["rest", "offset"]
    assert all(len(c) == 0 for c in columns.values())
    if use_numpy:
        assert str(columns["volts"].dtype) == "float32" and str(columns["time"].dtype) == "int64"
        assert str(columns["offset"].dtype) == "uint64"
        assert columns["rest"] == [] and result[0x30]["name"] == []
    else:
        assert all(type(c) is list for c in columns.values())


def test_tails_and_offsets_put_keys_back_in_stream_order():
    data = (packet(0x10, 0, b"\x00\x11tail") + packet(0x30, 0, b"NAME")
            + packet(0x10, 1, b"\x00\x12"))
    result, _ = quietly(stream_of(tail="rest").unpack_columns, data, offsets=True)
    assert result[0x10]["rest"] == [b"tail", b""] and result[0x30]["rest"] == [b""]
    assert result[0x10]["offset"] == [0, 18] and result[0x30]["offset"] == [10]
    merged = sorted((offset, key) for key, columns in result.items()
                    for offset in columns["offset"])
    assert [key for _, key in merged] == [0x10, 0x30, 0x10]


@pytest.mark.parametrize("data, fields", [
    # A packet too short for its layout: counted, left out of the columns, kept by split.
    (packet(0x20, 0, b"\x41\xe0") + packet(0x10, 0, b"\x00\x10"),
     dict(short={0x10: 0, 0x20: 1, 0x30: 0}, packets={0x10: 1, 0x20: 0, 0x30: 0})),
    # Counts that skip, repeat and wrap at 256 (the field's 8 bits).
    (packet(0x10, 254, b"\0\0") + packet(0x10, 255, b"\0\0") + packet(0x10, 1, b"\0\0")
     + packet(0x10, 1, b"\0\0") + packet(0x10, 5, b"\0\0"),
     dict(gaps={0x10: 4, 0x20: 0, 0x30: 0}, repeats={0x10: 1, 0x20: 0, 0x30: 0})),
    # Unknown keys, counted per key in the order met.
    (packet(0x99, 0, b"") + packet(0x10, 0, b"\0\0") + packet(0x98, 0, b"x")
     + packet(0x99, 3, b""), dict(unknown={0x99: 2, 0x98: 1})),
    # The end inside a header, and inside a packet.
    (packet(0x10, 0, b"\0\0") + b"\x00\x10", dict(truncated=2)),
    (packet(0x10, 0, b"\0\0") + packet(0x30, 0, b"NAME")[:-1], dict(truncated=7)),
    # A length below the header's: sync is lost there, and nothing after it is read.
    (packet(0x10, 0, b"\0\0") + packet(0x10, 1, b"\0\0", length=3) + packet(0x10, 2, b"\0\0"),
     dict(lost_sync=6, packets={0x10: 1, 0x20: 0, 0x30: 0}, truncated=0)),
    # A length of 0: the walk stops rather than stand still.
    (packet(0x10, 0, b"\0\0", length=0) * 3, dict(lost_sync=0)),
])
def test_what_the_summary_counts(data, fields):
    result, caught = quietly(stream_of().unpack_columns, data)
    summary = result.summary
    for name, value in fields.items():
        assert getattr(summary, name) == value, name
    assert not summary.clean and len(caught) == 1
    assert str(caught[0].message) == "Stream.unpack_columns(): " + "; ".join(summary.problems())


def test_a_sync_check_stops_the_walk_where_it_fails():
    data = packet(0x10, 0, b"\0\0") + packet(0x10, 1, b"\0\0", version=1) + packet(0x10, 2, b"\0\0")
    result, caught = quietly(stream_of(sync={"version": 0}).unpack_columns, data)
    assert result.summary.lost_sync == 6 and result.summary.packets[0x10] == 1
    assert "sync lost at byte 6" in str(caught[0].message)


def test_idle_and_segmented_packets():
    stream = stream_of(idle=[0x7F], unsegmented={"type": 0})
    data = packet(0x7F, 9, b"fill") + packet(0x10, 0, b"\0\0", type_=1) + packet(0x10, 1, b"\0\0")
    result, caught = quietly(stream.unpack_columns, data)
    assert result.summary.idle == 1 and result.summary.unknown == {}
    assert result.summary.segmented == {0x10: 1, 0x20: 0, 0x30: 0}
    assert len(result[0x10]["temp"]) == 2 and len(caught) == 1
    # A key that is both idle and a layout's is the layout's.
    both = stream_of(idle=[0x10])
    result, _ = quietly(both.unpack_columns, CLEAN)
    assert result.summary.idle == 0 and result.summary.packets[0x10] == 2


def test_a_warning_turned_error_raises_it():
    with warnings.catch_warnings():
        warnings.simplefilter("error", StreamWarning)
        with pytest.raises(StreamWarning, match="a truncated packet of 1 byte at the end"):
            stream_of().unpack_columns(CLEAN + b"\x00")
        stream_of().unpack_columns(CLEAN)  # clean: no warning


def test_the_first_failure_in_stream_order_is_raised():
    # Key 0x20's packet at byte 14 has an invalid BCD digit, key 0x30's at byte 6 invalid ASCII:
    # 0x30 comes first in the stream though it comes last among the layouts.
    data = (packet(0x10, 0, b"\0\0") + packet(0x30, 0, b"AB\xffD")
            + packet(0x20, 0, b"\0\0\0\0\x1a\x00") + packet(0x30, 1, b"\xff"))
    for call, function in ((lambda: stream_of().unpack_columns(data), "Stream.unpack_columns"),
                           (lambda: stream_of().unpack_file(io.BytesIO(data), chunk_bytes=5),
                            "Stream.unpack_file")):
        with pytest.raises(ValueError) as caught:
            quietly(call)
        with pytest.raises(ValueError) as alone:
            LAYOUTS[0x30].unpack(data[6:14])
        assert str(caught.value) == str(alone.value)
        assert notes(caught.value) == notes(alone.value) + [
            f"packet 0 of key 48 in {function}, at byte 6"]


def test_files_paths_and_progress(tmp_path):
    path = tmp_path / "stream.bin"
    data = CLEAN * 50 + b"\x00\x10"
    path.write_bytes(data)
    stream = stream_of()
    want, _ = quietly(stream.unpack_columns, data)
    opened = open(path, "rb")
    for source, total in ((str(path), len(data)), (path, len(data)), (opened, len(data)),
                          (io.BytesIO(data), None), (Reads(data), None)):
        calls = []
        got, caught = quietly(stream.unpack_file, source, chunk_bytes=64,
                              progress=lambda done, total: calls.append((done, total)))
        assert got == want and got.summary == want.summary and len(caught) == 1
        # Bytes read so far, from none to all of them, 64 (or what a packet needs) at a time.
        assert calls[0] == (0, total) and calls[-1] == (len(data), total)
        assert all(0 < b[0] - a[0] <= 64 for a, b in zip(calls, calls[1:]))
    assert not opened.closed  # the caller's file is left open, read to its end
    assert opened.read() == b""
    opened.close()


class Reads:
    """A binary file with read() alone."""

    def __init__(self, data):
        self._file = io.BytesIO(data)

    def read(self, size):
        return self._file.read(size)


def test_a_packet_longer_than_the_chunk_grows_it():
    big = Layout(HEADER + [field("blob", 8 * 200, "latin1")], packing="bits")
    stream = Stream(HEADER_LAYOUT, key="apid", layouts={0x40: big}, length="length",
                    length_offset=0)
    # Packets of 204 bytes read 16 bytes at a time.
    data = HEADER_LAYOUT.pack({"version": 0, "type": 0, "apid": 0x40, "count": 0,
                               "length": 204}) + bytes(range(200))
    result, _ = quietly(stream.unpack_file, io.BytesIO(data * 3), chunk_bytes=16)
    assert result[0x40]["blob"] == [bytes(range(200)).decode("latin1")] * 3
    assert result.summary.clean


def test_a_file_that_resizes_its_chunk_raises_and_never_crashes():
    class Resizing(io.RawIOBase):
        def readinto(self, view):
            try:
                view.obj.clear()  # refused on CPython (a view holds the chunk), done on PyPy
            except (BufferError, AttributeError):
                pass
            return 0

    try:
        result, _ = quietly(stream_of().unpack_file, Resizing())
    except BufferError:
        return
    assert result.summary.packets == {0x10: 0, 0x20: 0, 0x30: 0}


def test_streams_and_results_pickle():
    stream = stream_of(idle=[0x7F], sync={"version": 0}, tail="rest", sequence_modulus=100)
    copy = pickle.loads(pickle.dumps(stream))
    assert type(copy) is Stream and repr(copy) == repr(stream)
    for name in ("key", "length", "length_offset", "size", "sequence", "sequence_modulus",
                 "tail", "idle", "sync", "unsegmented"):
        assert getattr(copy, name) == getattr(stream, name), name
    data = CLEAN + packet(0x55, 0, b"")
    want, _ = quietly(stream.unpack_columns, data)
    got, _ = quietly(copy.unpack_columns, data)
    assert got == want and got.summary == want.summary
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        again = pickle.loads(pickle.dumps(got, protocol))
        assert type(again) is StreamResult and again == got and again.summary == got.summary


def test_tuple_keys_signed_keys_and_fixed_sizes():
    header = Layout([field("service", 8), field("subtype", 8, "twos_complement"),
                     field("pad", 16)])
    layouts = {(3, -1): Layout([field("service", 8), field("subtype", 8, "twos_complement"),
                                field("value", 16)]),
               (3, 25): Layout([field("service", 8), field("subtype", 8, "twos_complement"),
                                field("word", 16, "sign_magnitude")])}
    stream = Stream(header, key=("service", "subtype"), layouts=layouts, size=4)
    data = b"\x03\xff\x00\x07" + b"\x03\x19\x80\x05" + b"\x04\x00\x00\x00" + b"\x03\xff\x00\x08"
    result, _ = quietly(stream.unpack_columns, data)
    assert result[(3, -1)]["value"] == [7, 8] and result[(3, 25)]["word"] == [-5]
    assert result.summary.unknown == {(4, 0): 1}


def test_keys_wider_than_the_table_slots():
    header = Layout([field("id", 32), field("n", 8)])
    layouts = {0xDEADBEEF: Layout([field("id", 32), field("n", 8), field("x", 8)]),
               7: Layout([field("id", 32), field("n", 8)])}
    stream = Stream(header, key="id", layouts=layouts, length="n")
    data = bytes.fromhex("deadbeef06aa") + bytes.fromhex("0000000705") + bytes.fromhex("0000000805")
    result, _ = quietly(stream.unpack_columns, data)
    assert result[0xDEADBEEF]["x"] == [0xAA] and result[7]["n"] == [5]
    assert result.summary.unknown == {8: 1}


def test_a_64_bit_sequence_counts_modulo_2_to_the_64():
    header = Layout([field("k", 8), field("s", 64)])
    stream = Stream(header, key="k", layouts={1: header}, size=9, sequence="s")
    assert stream.sequence_modulus == 2**64
    data = b"\x01" + (2**64 - 1).to_bytes(8, "big") + b"\x01" + (1).to_bytes(8, "big")
    result, _ = quietly(stream.unpack_columns, data)
    assert result.summary.gaps == {1: 1}


class Pairs:
    """A mapping as far as a stream reads one: items() alone, which may repeat a key."""

    def __init__(self, pairs):
        self.pairs = pairs

    def items(self):
        return iter(self.pairs)


@pytest.mark.parametrize("options, error, message", [
    (dict(header=LAYOUTS, key="apid"), TypeError,
     "Stream() argument 'header' must be Layout, not dict"),
    (dict(key="nope"), ValueError, "Stream() argument 'key' names no field of the header: 'nope'"),
    (dict(key=5), TypeError, "Stream() argument 'key' must be str or a tuple of str, not int"),
    (dict(key=()), ValueError, "Stream() argument 'key' must name at least one field"),
    (dict(layouts={0x10: 5}), TypeError,
     "Stream() argument 'layouts' must map keys to Layout objects, not int"),
    (dict(layouts=[1]), TypeError, "Stream() argument 'layouts' must be a mapping, not list"),
    (dict(layouts={0x1000: HEADER_LAYOUT}), ValueError,
     "Stream() layouts key 4096 cannot occur: field 'apid' of the header is unsigned in 12 bits"),
    (dict(layouts={-1: HEADER_LAYOUT}), ValueError,
     "Stream() layouts key -1 cannot occur: field 'apid' of the header is unsigned in 12 bits"),
    (dict(layouts=Pairs([(1, HEADER_LAYOUT), (True, HEADER_LAYOUT)])), ValueError,
     "Stream() layouts has key 1 twice"),
    (dict(layouts={"1": HEADER_LAYOUT}), TypeError, "'str' object cannot be interpreted as an integer"),
    (dict(key=("apid", "type"), layouts={1: HEADER_LAYOUT}), TypeError,
     "Stream() argument 'layouts' must have keys that are a tuple of 2 ints, not int"),
    (dict(length=None), ValueError,
     "Stream() takes exactly one of the arguments 'length' and 'size'"),
    (dict(size=8), ValueError, "Stream() takes exactly one of the arguments 'length' and 'size'"),
    (dict(length=None, size=3), ValueError,
     "Stream() size must be at least the header's 4 bytes, not 3"),
    (dict(length="nope"), ValueError,
     "Stream() argument 'length' names no field of the header: 'nope'"),
    (dict(length=None, size=8, length_offset=1), ValueError,
     "Stream() argument 'length_offset' needs the argument 'length'"),
    (dict(sequence=None, sequence_modulus=8), ValueError,
     "Stream() argument 'sequence_modulus' needs the argument 'sequence'"),
    (dict(sequence_modulus=0), ValueError,
     "Stream() sequence_modulus must be from 1 to 2**64, not 0"),
    (dict(sequence_modulus=2**64 + 1), ValueError,
     "Stream() sequence_modulus must be from 1 to 2**64, not 18446744073709551617"),
    (dict(tail="temp"), ValueError,
     "Stream() tail 'temp' is the name of a field of the layout of key 16"),
    (dict(tail=1), TypeError, "Stream() argument 'tail' must be str or None, not int"),
    (dict(sync={"version": 8}), ValueError,
     "Stream() sync value 8 cannot occur: field 'version' of the header is unsigned in 3 bits"),
    (dict(sync=[("version", 0)]), TypeError, "Stream() argument 'sync' must be a mapping, not list"),
    (dict(idle=[0x10000]), ValueError,
     "Stream() idle key 65536 cannot occur: field 'apid' of the header is unsigned in 12 bits"),
])
def test_argument_errors(options, error, message):
    arguments = dict(header=HEADER_LAYOUT, key="apid", layouts=LAYOUTS, length="length",
                     sequence="count")
    arguments.update(options)
    with raises_exactly(error, message):
        Stream(**arguments)


@pytest.mark.parametrize("header_fields, key, message", [
    ([field("k", 32, "utf8")], "k",
     "Stream() argument 'key' must name an integer field of 1 to 64 bits, but field 'k' of the "
     "header is utf8 in 32 bits"),
    ([field("k", 72)], "k",
     "Stream() argument 'key' must name an integer field of 1 to 64 bits, but field 'k' of the "
     "header is unsigned in 72 bits"),
    ([field("k", 8, "packed_bcd")], "k",
     "Stream() argument 'key' must name an integer field of 1 to 64 bits, but field 'k' of the "
     "header is packed_bcd in 8 bits"),
])
def test_header_fields_must_be_integers(header_fields, key, message):
    with raises_exactly(ValueError, message):
        Stream(Layout(header_fields), key=key, layouts={}, size=16)


@pytest.mark.parametrize("call, message", [
    (lambda s: s.unpack_columns(CLEAN, numpy=1), "Stream.unpack_columns() argument 'numpy' must "
     "be bool, not int"),
    (lambda s: s.unpack_file(io.BytesIO(), chunk_bytes=0), "Stream.unpack_file() chunk_bytes "
     "must be at least 1, not 0"),
    (lambda s: s.unpack_file(io.BytesIO(), progress=1), "Stream.unpack_file() argument "
     "'progress' must be callable, True or None, not int"),
    (lambda s: s.unpack_file(5), "Stream.unpack_file() argument 'path_or_file' must be a path or "
     "a binary file, not int"),
    (lambda s: s.split(CLEAN, 1), "Stream.split() takes 1 positional arguments but 2 were given"),
])
def test_call_argument_errors(call, message):
    with pytest.raises((TypeError, ValueError)) as caught:
        call(stream_of())
    assert str(caught.value) == message


def test_offsets_refused_where_a_field_has_that_name():
    layout = Layout(HEADER + [field("offset", 8)], packing="bits")
    stream = Stream(HEADER_LAYOUT, key="apid", layouts={1: layout}, length="length")
    with raises_exactly(ValueError, "Stream.unpack_columns() offsets=True adds a column 'offset', "
                                    "which the layout of key 1 already has"):
        stream.unpack_columns(b"", offsets=True)


def test_streams_are_immutable_and_keep_what_they_read():
    layouts = dict(LAYOUTS)
    stream = stream_of(layouts=layouts)
    layouts.clear()
    assert list(stream.layouts) == [0x10, 0x20, 0x30]
    with pytest.raises(AttributeError):
        stream.key = "type"
    with pytest.raises(TypeError):
        class Sub(Stream):  # noqa: F841 - the class statement is what fails
            pass


def test_mappings_that_are_not_dicts_and_hooks_that_change_them():
    class Shifty(int):
        def __index__(self):
            LAYOUTS_COPY.clear()  # the stream already holds the items
            return int(self)

    LAYOUTS_COPY = dict(LAYOUTS)
    stream = stream_of(layouts=Pairs([(Shifty(0x10), LAYOUTS[0x10]), (0x30, LAYOUTS[0x30])]))
    assert list(stream.layouts) == [0x10, 0x30] and type(list(stream.layouts)[0]) is int
    result, _ = quietly(stream.unpack_columns, CLEAN)
    assert result.summary.unknown == {0x20: 1}


@pytest.mark.filterwarnings("ignore::fieldpack_layout.StreamWarning")
def test_threads_share_a_stream():
    stream = stream_of(tail="rest")
    data = CLEAN * 200 + packet(0x10, 9, b"\0\0")
    want, _ = quietly(stream.unpack_columns, data, offsets=True)
    results = []

    def work():
        for _ in range(5):
            results.append(stream.unpack_columns(bytearray(data), offsets=True) == want)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [True] * 20


def test_the_summary_text_and_equality():
    summary = StreamSummary(packets={1: 3}, short={1: 1}, gaps={1: 2}, repeats={1: 0},
                            segmented={1: 0}, unknown={9: 4}, idle=2, truncated=1, lost_sync=40)
    assert summary.problems() == [
        "4 packets of unknown keys (key 9: 4)", "1 packet shorter than their layout (key 1: 1)",
        "2 packets missing by the sequence counts (key 1: 2)",
        "a truncated packet of 1 byte at the end", "sync lost at byte 40: the walk stopped there"]
    assert not summary.clean and summary == pickle.loads(pickle.dumps(summary))
    assert "lost_sync=40" in repr(summary)


def test_both_faces_document_streams_alike():
    from fieldpack_layout import _docs

    assert_documented_alike(Stream, "Stream", _docs.STREAM, _docs.STREAM_SIGNATURE,
                            _docs.STREAM_MEMBERS)


class Answering(io.RawIOBase):
    """A file whose readinto() answers `count` and reads nothing."""

    def __init__(self, count):
        self.count = count

    def readable(self):
        return True

    def readinto(self, view):
        return self.count


@pytest.mark.parametrize("read", [lambda file: Layout([field("x", 8)]).unpack_file(file),
                                  lambda file: stream_of().unpack_file(file)])
def test_a_readinto_that_answers_a_float_is_refused_on_every_python(read):
    # Python 3.9's C API would take 1.5 as 1 (by __int__): such a file would then never end.
    with raises_exactly(TypeError, "'float' object cannot be interpreted as an integer"):
        read(Answering(1.5))
