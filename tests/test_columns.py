"""Layout.unpack_columns and Layout.unpack_file: the columns hold what iter_unpack yields packet by
packet, and a failure is the one iter_unpack meets first, with the same notes."""

import array
import io
import mmap
import sys
import threading

import pytest
from hypothesis import given
from hypothesis import strategies as st

from fieldpack_layout import Layout
from helpers import field, raises_exactly
from test_layout import entries

try:
    import numpy
except ImportError:  # PyPy, or a machine without it: the numpy=True cases skip
    numpy = None

needs_numpy = pytest.mark.skipif(numpy is None, reason="numpy is not installed")
MODES = [False, pytest.param(True, marks=needs_numpy)]


def notes(error):
    return getattr(error, "__notes__", [])


def failure(error, function="iter_unpack"):
    """An exception as comparable text, its packet note in iter_unpack's words."""
    return (type(error), str(error),
            [n.replace(f" of {function}, ", " of iter_unpack, ") for n in notes(error)])


def by_packets(layout, buffer, stride=None):
    """What iter_unpack gives: (columns as lists of reprs, None) or (None, failure)."""
    names = dict.fromkeys(layout.names)
    try:
        packets = list(layout.iter_unpack(buffer, stride))
    except Exception as error:  # noqa: BLE001 - the failure is the outcome compared
        return None, failure(error)
    return {name: [repr(p[name]) for p in packets] for name in names}, None


def as_reprs(columns):
    return {name: [repr(v) for v in (c.tolist() if hasattr(c, "tolist") else c)]
            for name, c in columns.items()}


def by_columns(call, function):
    try:
        columns = call()
    except Exception as error:  # noqa: BLE001
        return None, failure(error, function)
    return as_reprs(columns), None


def dtype_of(entry):
    """The dtype a numeric field's column has, from its encoding and width alone."""
    encoding, bits = entry["encoding"].lower(), entry["bits"]
    size = 8 if bits <= 8 else 16 if bits <= 16 else 32 if bits <= 32 else 64
    if encoding == "unsigned":
        return f"uint{size}"
    if encoding in ("twos_complement", "ones_complement", "sign_magnitude"):
        return f"int{size}"
    if "bcd" in encoding:
        return "int64"
    if encoding in ("ieee754_f16", "ieee754_f32"):
        return "float16" if encoding.endswith("16") else "float32"
    if encoding.startswith(("ieee", "ibm", "dec", "ti", "mil")):
        return "float64"
    return None  # text


@given(st.lists(entries(), max_size=6), st.sampled_from(["bytes", "bits"]), st.data())
def test_columns_hold_what_iter_unpack_yields(recipe, packing, data):
    try:
        layout = Layout(recipe, packing=packing)
    except ValueError:
        return
    size = layout.size or 0
    stride = data.draw(st.one_of(st.just(None), st.integers(1, size + 3)) if size
                       else st.integers(1, 12))
    step = stride or size
    count = data.draw(st.integers(0, 6))
    # Mostly zeros (valid BCD and text), now and then bytes that make codecs fail.
    body = data.draw(st.one_of(st.binary(min_size=step * count, max_size=step * count),
                               st.just(bytes(step * count))))
    expected = by_packets(layout, body, stride)
    assert by_columns(lambda: layout.unpack_columns(bytearray(body), stride),
                      "unpack_columns") == expected
    chunk = data.draw(st.integers(1, 4))
    assert by_columns(lambda: layout.unpack_file(io.BytesIO(body), stride, chunk_packets=chunk),
                      "unpack_file") == expected
    if numpy is not None:
        got = by_columns(lambda: layout.unpack_columns(body, stride, numpy=True), "unpack_columns")
        assert got == expected
        if got[0] is not None:
            columns = layout.unpack_columns(body, stride, numpy=True)
            last = {e["name"]: e for e in layout.recipe}
            for name, column in columns.items():
                want = dtype_of(last[name])
                assert (column.dtype.name if want else type(column)) == (want or list)


# Two packets of [text, BCD, text, BCD]: which packet and field fails first decides what is
# raised, whatever the field's kind.
FAILING = [field("t1", 8, "us_ascii"), field("b1", 8, "packed_bcd"),
           field("t2", 8, "us_ascii"), field("b2", 8, "packed_bcd")]


@pytest.mark.parametrize("numpy_mode", MODES)
@pytest.mark.parametrize("bad, note", [
    ({5: 0xFF}, "field 1 'b1' (packed_bcd, 8 bits at bit 8)"),
    ({4: 0xFF, 7: 0xFF}, "field 0 't1' (us_ascii, 8 bits at bit 0)"),
    ({6: 0xFF, 7: 0xAA}, "field 2 't2' (us_ascii, 8 bits at bit 16)"),
    ({7: 0xAA, 6: 0xFF, 2: 0xFF}, "field 2 't2' (us_ascii, 8 bits at bit 16)"),
    ({3: 0xAA, 4: 0xFF}, "field 3 'b2' (packed_bcd, 8 bits at bit 24)"),
    ({3: 0xAA, 2: 0xFF}, "field 2 't2' (us_ascii, 8 bits at bit 16)"),
])
def test_the_first_failure_by_packet_then_field_is_raised(bad, note, numpy_mode):
    layout = Layout(FAILING)
    buffer = bytearray(b"a\x12b\x34" * 2)
    for at, byte in bad.items():
        buffer[at] = byte
    with pytest.raises(ValueError) as by_iteration:
        list(layout.iter_unpack(buffer))
    with pytest.raises(ValueError) as caught:
        layout.unpack_columns(buffer, numpy=numpy_mode)
    assert failure(caught.value, "unpack_columns") == failure(by_iteration.value)
    assert notes(caught.value)[0] == note


@pytest.mark.parametrize("numpy_mode", MODES)
def test_failures_deep_in_a_long_buffer_name_their_packet(numpy_mode):
    # Several blocks of packets; the failure sits in a later one, past a clean block boundary.
    layout = Layout([field("n", 16), field("d", 8, "packed_bcd"), field("t", 16, "us_ascii")])
    buffer = bytearray(layout.pack({"n": 7, "d": 42, "t": "ok"}) * 20000)
    buffer[12345 * 5 + 2] = 0x4F
    buffer[15000 * 5 + 3] = 0x80
    with pytest.raises(ValueError) as caught:
        layout.unpack_columns(buffer, numpy=numpy_mode)
    assert notes(caught.value) == ["field 1 'd' (packed_bcd, 8 bits at bit 16)",
                                   "packet 12345 of unpack_columns, at byte 61725"]
    buffer[12345 * 5 + 2] = 0x42
    with pytest.raises(ValueError) as caught:
        layout.unpack_file(io.BytesIO(buffer), numpy=numpy_mode, chunk_packets=4096)
    assert notes(caught.value) == ["field 2 't' (us_ascii, 16 bits at bit 24)",
                                   "packet 15000 of unpack_file, at byte 75000"]
    buffer[15000 * 5 + 3] = ord("o")
    columns = layout.unpack_columns(buffer, numpy=numpy_mode)
    assert list(columns["d"][12340:12350]) == [42] * 10 and columns["t"][-1] == "ok"


@pytest.mark.parametrize("recipe, stride, message", [
    ([field("a", 8), field("r", 32, "ibm_f32")], None, "NotImplementedError: IBM f32 format not yet implemented"),
    ([field("a", 8), field("q", 128, "ieee754_f128")], None, "ValueError: IEEE 754 f128 requires special handling for >64 bits (not yet implemented in process_recipe)"),
    ([field("a", 8), field("b", 32)], 3, None),
    ([field("a", 8), field("far", 8, offset_bits=2**32 - 4)], 2, None),
])
@pytest.mark.parametrize("numpy_mode", MODES)
def test_fields_that_fail_in_every_packet(recipe, stride, message, numpy_mode):
    layout = Layout(recipe)
    buffer = bytes(range((stride or layout.size) * 3))
    expected = by_packets(layout, buffer, stride)
    assert expected[1] is not None and (message is None or expected[1][1] == message)
    assert by_columns(lambda: layout.unpack_columns(buffer, stride, numpy=numpy_mode),
                      "unpack_columns") == expected
    # With no packet there is nothing to fail.
    assert all(len(c) == 0 for c in layout.unpack_columns(b"", stride, numpy=numpy_mode).values())


@needs_numpy
@pytest.mark.parametrize("encoding, bits, dtype", [
    ("unsigned", 0, "uint8"), ("unsigned", 8, "uint8"), ("unsigned", 9, "uint16"),
    ("unsigned", 24, "uint32"), ("unsigned", 33, "uint64"), ("unsigned", 72, "uint64"),
    ("twos_complement", 1, "int8"), ("sign_magnitude", 16, "int16"),
    ("ones_complement", 17, "int32"), ("twos_complement", 64, "int64"),
    ("packed_bcd", 8, "int64"), ("unpacked_bcd", 16, "int64"),
    ("ieee754_f16", 16, "float16"), ("ieee754_f32", 32, "float32"), ("IEEE754_F64", 64, "float64"),
    ("ieee754_f16", 12, "float16"), ("ieee754_f32", 64, "float32"), ("ieee754_f64", 16, "float64"),
    ("ieee754_f128", 64, "float64"),
])
def test_dtypes_follow_from_encoding_and_width(encoding, bits, dtype):
    layout = Layout([field("x", bits, encoding, reverse_bits=True), field("pad", 8)])
    size = layout.size
    buffer = bytes(size * 3)
    columns = layout.unpack_columns(buffer, numpy=True)
    assert columns["x"].dtype == numpy.dtype(dtype) and columns["x"].dtype.isnative
    assert columns["x"].tolist() == [p["x"] for p in layout.iter_unpack(buffer)]


@needs_numpy
def test_extreme_values_keep_their_exact_value():
    layout = Layout([field("u", 64, byte_order="little"), field("t", 64, "twos_complement"),
                     field("s", 8, "sign_magnitude"), field("f", 16, "ieee754_f16"),
                     field("d", 64, "ieee754_f64"), field("txt", 32, "utf16le", "little")])
    values = [{"u": 2**64 - 1, "t": -(2**63), "s": -127, "f": float("-inf"), "d": -0.0,
               "txt": "é!"},
              {"u": 0, "t": 2**63 - 1, "s": 127, "f": 65504.0, "d": float("nan"), "txt": "ab"}]
    buffer = b"".join(layout.pack(v) for v in values)
    expected = by_packets(layout, buffer)
    assert (as_reprs(layout.unpack_columns(buffer, numpy=True)), None) == expected
    assert (as_reprs(layout.unpack_columns(buffer)), None) == expected


@pytest.mark.parametrize("numpy_mode", MODES)
def test_repeated_names_keep_the_later_field_at_the_first_place(numpy_mode):
    layout = Layout([field("a", 8), field("b", 8, "us_ascii"), field("a", 16, "twos_complement"),
                     field("b", 8)])
    buffer = b"\x01x\xff\xfe\x05" * 3
    columns = layout.unpack_columns(buffer, numpy=numpy_mode)
    assert list(columns) == ["a", "b"]
    assert list(columns["a"]) == [-2] * 3 and list(columns["b"]) == [5] * 3
    # The earlier field of a name is decoded all the same: its failures count.
    with pytest.raises(ValueError, match="^ValueError: Invalid US-ASCII"):
        layout.unpack_columns(b"\x01\x80\xff\xfe\x05", numpy=numpy_mode)


@pytest.mark.parametrize("form", [bytes, bytearray, memoryview, lambda b: array.array("B", b),
                                  lambda b: memoryview(b"xy" + b)[2:]])
@pytest.mark.parametrize("numpy_mode", MODES)
def test_any_contiguous_buffer(form, numpy_mode):
    layout = Layout([field("a", 16, byte_order="little"), field("t", 8, "latin1")])
    columns = layout.unpack_columns(form(b"\x01\x02A\x03\x04B"), numpy=numpy_mode)
    assert list(columns["a"]) == [0x0201, 0x0403] and columns["t"] == ["A", "B"]
    with pytest.raises(BufferError):
        layout.unpack_columns(memoryview(b"\x01\x02A\x03\x04B" * 2)[::2])


def test_mmap_and_numpy_buffers():
    layout = Layout([field("a", 8), field("b", 8)])
    with mmap.mmap(-1, 6) as region:
        region[:] = b"\x01\x02\x03\x04\x05\x06"
        assert layout.unpack_columns(region) == {"a": [1, 3, 5], "b": [2, 4, 6]}
    if numpy is not None:
        packets = numpy.arange(6, dtype=numpy.uint8)
        assert layout.unpack_columns(packets, 3) == {"a": [0, 3], "b": [1, 4]}


@pytest.mark.parametrize("call, error, message", [
    (lambda l: l.unpack_columns(), TypeError, "Layout.unpack_columns() missing 1 required positional argument: 'buffer'"),
    (lambda l: l.unpack_columns(b"", 2, True), TypeError, "Layout.unpack_columns() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda l: l.unpack_columns(b"", numpy=1), TypeError, "Layout.unpack_columns() argument 'numpy' must be bool, not int"),
    (lambda l: l.unpack_columns(b"", nmpy=True), TypeError, "Layout.unpack_columns() got an unexpected keyword argument 'nmpy'"),
    (lambda l: l.unpack_columns(b"", 2, stride=2), TypeError, "Layout.unpack_columns() got multiple values for argument 'stride'"),
    (lambda l: l.unpack_columns("ab"), TypeError, None),
    (lambda l: l.unpack_columns(b"xx", 0), ValueError, "Layout.unpack_columns() stride must be at least 1, not 0"),
    (lambda l: l.unpack_columns(b"xx", 1.0), TypeError, None),
    (lambda l: l.unpack_columns(b"xxx"), ValueError, "Layout.unpack_columns() requires a buffer of a multiple of 2 bytes, not 3"),
    (lambda l: Layout([]).unpack_columns(b""), ValueError, "Layout.unpack_columns() needs a stride: the layout's packets are 0 bytes long"),
    (lambda l: Layout([field("a", 8, offset_bits=2**32 - 1)]).unpack_columns(b""), ValueError, "Layout.unpack_columns() needs a stride: the layout cannot be packed, so it has no size"),
    (lambda l: l.unpack_file(3), TypeError, "Layout.unpack_file() argument 'path_or_file' must be a path or a binary file, not int"),
    (lambda l: l.unpack_file(io.BytesIO(), chunk_packets=0), ValueError, "Layout.unpack_file() chunk_packets must be at least 1, not 0"),
    (lambda l: l.unpack_file(io.BytesIO(), progress="yes"), TypeError, "Layout.unpack_file() argument 'progress' must be callable, True or None, not str"),
    (lambda l: l.unpack_file(io.BytesIO(), 2, True), TypeError, "Layout.unpack_file() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda l: l.unpack_file(io.StringIO("ab")), TypeError, "Layout.unpack_file() read str from the file, not bytes: open it in binary mode"),
    (lambda l: l.unpack_file(io.BytesIO(b"xyz")), ValueError, "Layout.unpack_file() requires a file of a multiple of 2 bytes, not 3"),
])
def test_argument_errors(call, error, message):
    layout = Layout([field("a", 9, offset_bits=4)])
    with pytest.raises(error) if message is None else raises_exactly(error, message):
        call(layout)


def test_empty_inputs_give_empty_columns_of_their_type():
    layout = Layout([field("a", 8), field("t", 8, "utf8")])
    assert layout.unpack_columns(b"") == {"a": [], "t": []}
    assert layout.unpack_file(io.BytesIO()) == {"a": [], "t": []}
    if numpy is not None:
        columns = layout.unpack_file(io.BytesIO(), numpy=True)
        assert columns["a"].dtype == numpy.uint8 and columns["a"].shape == (0,)
        assert columns["t"] == []


TELEMETRY = [field("apid", 11, offset_bits=5), field("count", 16), field("volts", 32, "ieee754_f32"),
             field("mode", 32, "us_ascii"), field("temp", 16, "twos_complement", "little")]


def telemetry(count):
    layout = Layout(TELEMETRY)
    packets = b"".join(layout.pack({"apid": i % 2048, "count": i % 65536, "volts": i / 8,
                                    "mode": ("SAFE", "NOML")[i % 2], "temp": i % 200 - 100})
                       for i in range(count))
    return layout, packets


class Reader(io.RawIOBase):
    """A binary stream of unknown size that records how much it is asked for at a time."""

    def __init__(self, data):
        self.data, self.at, self.asked = data, 0, []

    def readable(self):
        return True

    def readinto(self, buffer):
        self.asked.append(len(buffer))
        # Short reads now and then, as pipes give them.
        n = min(len(buffer), len(self.data) - self.at, 1000 if len(self.asked) % 3 == 0 else 10**9)
        buffer[:n] = self.data[self.at:self.at + n]
        self.at += n
        return n


class ReadOnly:
    """A file with read() alone."""

    def __init__(self, data):
        self.file, self.asked = io.BytesIO(data), []

    def read(self, size):
        self.asked.append(size)
        return self.file.read(size)


@pytest.mark.parametrize("numpy_mode", MODES)
@pytest.mark.parametrize("chunk", [1, 7, 100, 65536])
def test_files_decode_in_bounded_chunks(tmp_path, numpy_mode, chunk):
    layout, packets = telemetry(1000)
    expected = as_reprs(layout.unpack_columns(packets))
    path = tmp_path / "archive.bin"
    path.write_bytes(packets)
    sources = [lambda: str(path), lambda: path, lambda: bytes(path), lambda: Reader(packets),
               lambda: ReadOnly(packets)]
    for make in sources:
        source = make()
        got = layout.unpack_file(source, numpy=numpy_mode, chunk_packets=chunk)
        assert as_reprs(got) == expected
        asked = getattr(source, "asked", [])
        assert max(asked, default=0) <= chunk * layout.size  # never the whole file at once
        if numpy_mode:
            assert {c.dtype.name for c in got.values() if hasattr(c, "dtype")} == {
                "uint16", "float32", "int16"}


def test_a_file_is_read_from_where_it_stands_and_left_open(tmp_path):
    layout, packets = telemetry(50)
    path = tmp_path / "archive.bin"
    path.write_bytes(b"HEADER" + packets)
    with open(path, "rb") as file:
        assert file.read(6) == b"HEADER"
        columns = layout.unpack_file(file, chunk_packets=8)
        assert not file.closed and file.tell() == 6 + len(packets)
    assert columns == layout.unpack_columns(packets)


def test_a_partial_packet_is_found_up_front_when_the_size_is_known(tmp_path):
    layout, packets = telemetry(20)
    broken = bytearray(packets + b"\x00")
    broken[3 * layout.size + 8] = 0xFF  # a bad "mode" in packet 3
    path = tmp_path / "archive.bin"
    path.write_bytes(broken)
    partial = f"Layout.unpack_file() requires a file of a multiple of {layout.size} bytes, not {len(broken)}"
    calls = []
    with raises_exactly(ValueError, partial):
        layout.unpack_file(path, progress=lambda *a: calls.append(a))
    assert calls == []  # nothing was read
    # A stream tells no size: its packets are decoded first, and the bad one is met first.
    with pytest.raises(ValueError) as caught:
        layout.unpack_file(Reader(bytes(broken)), chunk_packets=4)
    assert notes(caught.value)[1] == f"packet 3 of unpack_file, at byte {3 * layout.size}"
    broken[3 * layout.size + 8] = ord("N")
    with raises_exactly(ValueError, partial):
        layout.unpack_file(Reader(bytes(broken)), chunk_packets=4)


def test_progress_is_called_at_the_start_and_after_each_chunk(tmp_path):
    layout, packets = telemetry(10)
    path = tmp_path / "archive.bin"
    path.write_bytes(packets)
    calls = []
    layout.unpack_file(path, chunk_packets=4, progress=lambda *a: calls.append(a))
    assert calls == [(0, 10), (4, 10), (8, 10), (10, 10)]
    calls.clear()
    layout.unpack_file(Reader(packets), chunk_packets=4, progress=lambda *a: calls.append(a))
    assert calls == [(0, None), (4, None), (8, None), (10, None)]

    def stop(done, total):
        if done:
            raise KeyboardInterrupt

    reader = Reader(packets)
    with pytest.raises(KeyboardInterrupt):
        layout.unpack_file(reader, chunk_packets=4, progress=stop)
    assert reader.at == 4 * layout.size  # stopped after the first chunk


def test_progress_true_without_tqdm_writes_a_line_to_stderr(tmp_path, monkeypatch, capsys):
    layout, packets = telemetry(10)
    path = tmp_path / "archive.bin"
    path.write_bytes(packets)
    monkeypatch.setitem(sys.modules, "tqdm", None)  # import tqdm now raises ImportError
    columns = layout.unpack_file(path, chunk_packets=3, progress=True)
    assert capsys.readouterr().err == "unpack_file: 10 of 10 packets (100%), done\n"
    assert columns == layout.unpack_columns(packets)


def test_progress_true_with_tqdm_draws_a_bar(tmp_path, capsys):
    pytest.importorskip("tqdm")
    layout, packets = telemetry(10)
    path = tmp_path / "archive.bin"
    path.write_bytes(packets)
    layout.unpack_file(path, chunk_packets=3, progress=True)
    err = capsys.readouterr().err
    assert "unpack_file" in err and "100%" in err


def test_the_file_opened_here_is_closed_on_failure(tmp_path, monkeypatch):
    import io as io_module

    layout, packets = telemetry(4)
    path, partial = tmp_path / "archive.bin", tmp_path / "partial.bin"
    path.write_bytes(packets)
    partial.write_bytes(packets[:-1])
    opened = []
    real_open = io_module.open

    def spy(*args, **kwargs):
        opened.append(real_open(*args, **kwargs))
        return opened[-1]

    monkeypatch.setattr(io_module, "open", spy)
    with pytest.raises(ValueError):
        layout.unpack_file(partial)
    with pytest.raises(ZeroDivisionError):
        layout.unpack_file(str(path), progress=lambda done, total: 1 / 0)
    assert len(opened) == 2 and all(f.closed for f in opened)


@needs_numpy
def test_threads_decode_parts_of_one_archive():
    layout, packets = telemetry(4000)
    size = layout.size
    view = memoryview(packets)
    serial = layout.unpack_columns(packets, numpy=True)
    parts = [view[i * 1000 * size:(i + 1) * 1000 * size] for i in range(4)]
    results = [None] * 4

    def work(i):
        for _ in range(5):
            results[i] = layout.unpack_columns(parts[i], numpy=True)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for name, column in serial.items():
        joined = [v for r in results for v in list(r[name])]
        assert joined == list(column), name


@pytest.mark.parametrize("numpy_mode", MODES)
def test_writing_into_the_buffer_while_it_is_decoded(numpy_mode):
    """Unspecified values, never a crash, nor a failure the bytes written could not cause."""
    layout = Layout([field("a", 32), field("t", 32, "latin1"), field("b", 8)])
    buffer = bytearray(layout.size * 50000)
    stop = threading.Event()

    def write():
        k = 0
        while not stop.is_set():
            buffer[k % len(buffer)] = k & 0xFF
            k += 7919

    writer = threading.Thread(target=write)
    writer.start()
    try:
        for _ in range(20):
            columns = layout.unpack_columns(buffer, numpy=numpy_mode)
            assert [len(c) for c in columns.values()] == [50000] * 3
    finally:
        stop.set()
        writer.join()


@needs_numpy
def test_memory_that_is_no_array_of_the_size_asked_for_is_refused(monkeypatch):
    layout = Layout([field("a", 32), field("b", 8)])
    monkeypatch.setattr(numpy, "empty", lambda count, dtype: bytearray(3))
    with raises_exactly(BufferError, "numpy.empty gave no array of the size asked for"):
        layout.unpack_columns(bytes(500), numpy=True)
    with pytest.raises((BufferError, AttributeError)):  # too small, or no resize() to grow it
        layout.unpack_file(io.BytesIO(bytes(500)), numpy=True)
