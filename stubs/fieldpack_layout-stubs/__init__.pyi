"""Compiled layouts for fieldpack: a recipe read once, then packets unpacked and packed without
reading it again, one at a time or a whole archive into columns.

``Layout(recipe)`` reads and checks a recipe (the sequence of field definitions that
``fieldpack.unpack_parameters`` and ``fieldpack.pack_parameters`` take). From then on
``unpack`` and ``pack`` give exactly what those functions give for that recipe, results and
exceptions alike, and an exception raised while working on a field carries a note naming it
(PEP 678), such as "field 3 'temperature' (unsigned, 8 bits at bit 24)".

    >>> from fieldpack_layout import Layout
    >>> layout = Layout([
    ...     {"name": "apid", "encoding": "unsigned", "bits": 16, "byte_order": "big",
    ...      "reverse_bits": False},
    ...     {"name": "temp", "encoding": "twos_complement", "bits": 8, "byte_order": "big",
    ...      "reverse_bits": False},
    ... ])
    >>> layout.unpack(b"\\x12\\x34\\xfe")
    {'apid': 4660, 'temp': -2}
    >>> layout.unpack_columns(b"\\x00\\x01\\xfe\\x00\\x02\\x05")
    {'apid': [1, 2], 'temp': [-2, 5]}

"""

import os
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol, SupportsIndex, TypeVar, final, overload

from typing_extensions import Buffer, TypeAlias

__all__ = ["Layout", "Stream", "StreamResult", "StreamSummary", "StreamWarning"]

class _ReadsInto(Protocol):
    def readinto(self, buffer: Buffer, /) -> int | None: ...

class _Reads(Protocol):
    def read(self, size: int, /) -> bytes: ...

_PathOrFile: TypeAlias = (
    str | bytes | os.PathLike[str] | os.PathLike[bytes] | _ReadsInto | _Reads
)
_Progress: TypeAlias = Callable[[int, int | None], object] | bool | None

@final
class Layout:
    """A recipe read once, for packing and unpacking many packets.

    The recipe is read and checked here, in the order and with the messages of
    ``unpack_parameters``; a fault raises that function's ValueError. The layout keeps what it
    read: changing the recipe afterwards changes nothing. Layouts are immutable, hashable by
    identity, safe to share between threads, and pickle and copy with their options (so they
    ship to worker processes as they are).

    Without options, ``pack`` and ``pack_into`` pack exactly as ``pack_parameters`` does. With
    ``strict=True`` they refuse, with a ValueError naming the field and without writing into the
    buffer, any value that packing would lose: text longer than its window (a byte-order mark
    included), a finite float that becomes infinite or a nonzero one that becomes zero at its
    width, and a field that does not read back what was packed (a later field writing over its
    bytes, a code wider than the field). Rounding a float to its width is not loss.
    ``defaults`` maps field names to the values packed when the values lack them; they are
    copied and checked when the layout is made. Neither option changes unpacking.

    ``packing="bits"`` makes the layout bit-exact: a field occupies exactly bits [p, p + bits)
    of the packet, the most significant bit first, instead of the whole bytes from the byte
    where it starts. Integers and BCD may have any width at any start (little-endian ones whole
    bytes); text and floats are whole bytes at any start. ``pack`` writes exactly each field's
    bits, and ``pack_into`` keeps every bit of the buffer that belongs to no field. Fields of
    whole bytes on byte boundaries read and write the same under both packings.

    A ValueError that wraps another exception ("KeyError: ...") keeps it as ``__cause__``.

    Raises:
        ValueError: the first fault of the recipe, as unpack_parameters words it, for example
            "KeyError: \\"Recipe missing required field: 'bits'\\""; a default that names no
            field, or that its field cannot pack.
            A bit-exact layout refuses a little-endian number, text or float that is not a
            whole number of bytes, with a note naming the field.
        TypeError: a recipe that is a str or no sequence, ``strict`` not a bool, ``defaults``
            not a mapping, ``packing`` not a str.

    Example:
        >>> layout = Layout([{"name": "a", "encoding": "unsigned", "bits": 8,
        ...                   "byte_order": "big", "reverse_bits": False}])
        >>> layout
        <Layout 1 field, 1 byte>
        >>> layout.pack({"a": 7})
        b'\\x07'

    """

    def __new__(
        cls,
        recipe: Sequence[Mapping[str, Any]],
        *,
        strict: bool = False,
        defaults: Mapping[str, Any] | None = None,
        packing: Literal["bytes", "bits"] = "bytes",
    ) -> Layout: ...
    @property
    def packing(self) -> Literal["bytes", "bits"]:
        """How fields are placed: "bytes" (whole bytes from the byte a field starts in) or
        "bits" (exactly the field's bits)."""
    @property
    def strict(self) -> bool:
        """Whether pack and pack_into refuse any value that packing would lose."""
    @property
    def defaults(self) -> dict[str, Any]:
        """A new dict of the values packed for fields the values do not name."""
    @property
    def size(self) -> int | None:
        """The packet length in bytes, from pack_parameters' sizing walk; None if it fails."""
    @property
    def names(self) -> tuple[str, ...]:
        """The field names in recipe order."""
    @property
    def recipe(self) -> list[dict[str, Any]]:
        """A new list of dict copies of the entries as read, extra keys kept."""
    def unpack(self, buffer: Buffer, offset_bits: SupportsIndex = 0) -> dict[str, Any]:
        """Unpack the packet in ``buffer`` from bit ``offset_bits`` into a new dict.

        ``buffer`` is any C-contiguous buffer (bytes, bytearray, memoryview, mmap, array); the
        result and any exception are those of ``unpack_parameters(bytes(buffer), offset_bits,
        recipe)``.
        """
    def pack(self, values: dict[str, Any]) -> bytes:
        """Pack the values of a dict into a new bytes object of ``size`` bytes, as
        ``pack_parameters(recipe, values)`` does."""
    def pack_into(
        self, buffer: Buffer, values: dict[str, Any], offset_bits: SupportsIndex = 0
    ) -> None:
        """Pack the values of a dict into a writable buffer from bit ``offset_bits``.

        Every value is converted and encoded before the first byte is written; a failure, a
        read-only buffer or one too small leaves the buffer untouched.
        """
    def iter_unpack(
        self, buffer: Buffer, stride: SupportsIndex | None = None
    ) -> Iterator[dict[str, Any]]:
        """The packets of a buffer one by one: packet i is the ``stride`` bytes from byte
        i * stride (stride defaults to ``size``; the length must be a multiple of it)."""
    @overload
    def unpack_columns(
        self,
        buffer: Buffer,
        stride: SupportsIndex | None = None,
        *,
        numpy: Literal[False] = False,
    ) -> dict[str, list[Any]]:
        """Unpack every packet of a buffer into columns: name -> one value per packet.

        Packets are read as ``iter_unpack`` reads them, and the values are those it gives. The
        columns are lists; with ``numpy=True`` numeric fields become numpy arrays whose dtype
        follows from the field's encoding and width (integers in the smallest of 8/16/32/64
        bits the width needs, BCD as int64, IEEE 754 half, single and double floats as float16,
        float32 and float64, other floats as float64), and text fields stay lists of str. Numeric fields into arrays are decoded without the interpreter lock, so threads
        that decode parts of one archive use several cores.

        Raises:
            ValueError: what ``iter_unpack`` would raise first, packet by packet and field by
                field, with notes naming the field and the packet ("packet 7 of
                unpack_columns, at byte 546"); the stride refusals of ``iter_unpack``.
            ModuleNotFoundError: ``numpy=True`` without numpy installed.

        Example:
            >>> layout = Layout([{"name": "a", "encoding": "unsigned", "bits": 8,
            ...                   "byte_order": "big", "reverse_bits": False}])
            >>> layout.unpack_columns(b"\\x01\\x02\\x03")
            {'a': [1, 2, 3]}

        """
    @overload
    def unpack_columns(
        self, buffer: Buffer, stride: SupportsIndex | None = None, *, numpy: bool
    ) -> dict[str, Any]: ...
    @overload
    def unpack_file(
        self,
        path_or_file: _PathOrFile,
        stride: SupportsIndex | None = None,
        *,
        numpy: Literal[False] = False,
        chunk_packets: SupportsIndex = 65536,
        progress: _Progress = None,
    ) -> dict[str, list[Any]]:
        """Unpack a file of back-to-back packets into columns, as ``unpack_columns`` does.

        ``path_or_file`` is a path, or a binary file read from where it stands and left open.
        The file is read ``chunk_packets`` packets at a time: memory beyond the result stays
        at one chunk. ``progress`` is called as ``progress(packets_done, packets_total)`` at
        the start and after each chunk (the total is None when the file cannot tell its
        size), or is True for a tqdm bar (a plain line on stderr without tqdm).

        Raises:
            ValueError: a partial packet at the end ("Layout.unpack_file() requires a file of
                a multiple of {stride} bytes, not {length}"), up front when the file tells its
                size, else once the packets before it are decoded; the failures of
                ``unpack_columns``, their notes counting packets and bytes from where reading
                started.
            TypeError: neither a path nor a binary file.
            OSError: what opening or reading the file raises.

        """
    @overload
    def unpack_file(
        self,
        path_or_file: _PathOrFile,
        stride: SupportsIndex | None = None,
        *,
        numpy: bool,
        chunk_packets: SupportsIndex = 65536,
        progress: _Progress = None,
    ) -> dict[str, Any]: ...
    def problems(self) -> list[str]:
        """What the recipe does that is legal but probably a mistake, one sentence each."""
    def figure(self, values: dict[str, Any] | None = None) -> str:
        """The SVG picture of the layout, as a str.

        Per field it shows the bits the recipe declares and the whole bytes (the window) the
        field occupies, in rows of 8 bytes (rows that would only repeat the rows around them,
        inside a long field or a wide gap, are left out and said so), and a table of the fields.
        Given ``values``, it also shows the packet ``pack(values)`` makes, bit by bit and in
        hexadecimal, and in the table each value and what unpacking that packet reads back,
        marked where the two differ. The SVG is text only (no embedded fonts, no external
        references) and the same for the same layout and values. Notebooks show it for a
        layout (``_repr_svg_``).

        Raises:
            ValueError, TypeError: what ``pack(values)`` raises, with its notes.

        Example:
            >>> layout = Layout([{"name": "a", "encoding": "unsigned", "bits": 12,
            ...                   "byte_order": "big", "reverse_bits": False}])
            >>> svg = layout.figure({"a": 0xABC})
            >>> svg.startswith("<svg") and ">0A<" in svg and ">BC<" in svg
            True

        """
    def _repr_svg_(self) -> str:
        """``figure()``: the picture that notebooks show for a layout."""

# A stream's key: an int for one key field, a tuple of ints for several.
_Key: TypeAlias = int | tuple[int, ...]
_V = TypeVar("_V")

class StreamWarning(UserWarning):
    """A stream's walk met something other than whole packets of known keys, in sequence.

    Issued once per call whose summary is not clean; the summary says what and where.
    """

class StreamSummary:
    """What a stream's walk found, per key of the layouts (in their order) and in all."""

    packets: dict[_Key, int]
    """Packets decoded: long enough for their layout."""
    short: dict[_Key, int]
    """Packets shorter than their layout, left out of the columns."""
    gaps: dict[_Key, int]
    """Packets missing by the sequence counts."""
    repeats: dict[_Key, int]
    """Packets with the same sequence count as the one before them."""
    segmented: dict[_Key, int]
    """Packets that are segments (those failing the stream's ``unsegmented`` checks)."""
    unknown: dict[_Key, int]
    """Packets of keys that no layout has, per key, in the order first met."""
    idle: int
    """Idle packets."""
    truncated: int
    """The bytes of the last packet, cut short by the end."""
    lost_sync: int | None
    """The byte where the walk stopped because the bytes no longer read as packets."""
    def __init__(
        self,
        *,
        packets: dict[_Key, int],
        short: dict[_Key, int],
        gaps: dict[_Key, int],
        repeats: dict[_Key, int],
        segmented: dict[_Key, int],
        unknown: dict[_Key, int],
        idle: int,
        truncated: int,
        lost_sync: int | None,
    ) -> None: ...
    @property
    def clean(self) -> bool:
        """Whether every packet was a whole packet of a known key (or idle), in sequence."""
    def problems(self) -> list[str]:
        """What was not clean, one sentence each (the text of the call's StreamWarning)."""
    __hash__: None  # type: ignore[assignment]

class StreamResult(dict[_Key, _V]):
    """A stream call's result: key -> columns (or bytes), one entry per key of the layouts in
    their order, with the walk's ``summary``."""

    summary: StreamSummary
    def __init__(
        self,
        items: Mapping[_Key, _V] | Iterable[tuple[_Key, _V]] = ...,
        summary: StreamSummary | None = None,
    ) -> None: ...

@final
class Stream:
    """Packets of several layouts back to back, each starting with the same header.

    ``header`` is a Layout read at the start of every packet. ``key`` names one integer field
    of it (or a tuple of them) whose value picks the packet's Layout in ``layouts``; each
    layout describes the whole packet from its first bit, header included. A packet is
    ``header[length] + length_offset`` bytes long, or ``size`` bytes: exactly one of the two
    is given. ``sequence`` names the sequence count, counted per key modulo
    ``sequence_modulus`` (default 2**bits of its field). With ``tail``, the bytes of a packet
    past its layout's size come back as a column of bytes of that name. ``idle`` lists keys
    of idle packets; ``sync`` maps header fields to the value every packet has (a packet that
    differs has lost sync, and the walk stops there); ``unsegmented`` maps header fields to
    the value of a packet that is no segment.

    The walk stops where sync is lost (also at a length below the header's) and never loops;
    a last packet longer than what remains is the truncated tail. Every call's result has the
    walk's summary, and a ``StreamWarning`` is issued once per call whose summary is not
    clean. Streams are immutable, safe to share between threads, and pickle.

    Raises:
        TypeError: a header that is no Layout, a key that is no str or tuple of str, layouts
            that are no mapping of keys to Layout objects, keys that are no ints.
        ValueError: a field name the header lacks or that is no integer field of 1 to 64
            bits, a key or check value its field cannot hold, a key given twice, both or
            neither of ``length`` and ``size``, a size below the header's, a
            ``sequence_modulus`` outside 1 to 2**64, a tail named as a layout's field.

    Example:
        >>> def field(name, bits):
        ...     return {"name": name, "encoding": "unsigned", "bits": bits,
        ...             "byte_order": "big", "reverse_bits": False}
        >>> header = Layout([field("kind", 8), field("length", 8)])
        >>> stream = Stream(header, key="kind", length="length",
        ...                 layouts={1: Layout([field("kind", 8), field("length", 8),
        ...                                     field("x", 8)])})
        >>> result = stream.unpack_columns(b"\\x01\\x03\\x07\\x01\\x03\\x09")
        >>> result
        {1: {'kind': [1, 1], 'length': [3, 3], 'x': [7, 9]}}
        >>> result.summary.clean
        True

    """

    def __new__(
        cls,
        header: Layout,
        *,
        key: str | tuple[str, ...],
        layouts: Mapping[Any, Layout],
        length: str | None = None,
        length_offset: SupportsIndex = 0,
        size: SupportsIndex | None = None,
        sequence: str | None = None,
        sequence_modulus: SupportsIndex | None = None,
        tail: str | None = None,
        idle: Iterable[Any] = (),
        sync: Mapping[str, SupportsIndex] | None = None,
        unsegmented: Mapping[str, SupportsIndex] | None = None,
    ) -> Stream: ...
    @property
    def header(self) -> Layout:
        """The Layout read at the start of every packet."""
    @property
    def key(self) -> str | tuple[str, ...]:
        """The header field (a str) or fields (a tuple) of the key."""
    @property
    def layouts(self) -> dict[_Key, Layout]:
        """A new dict of key -> Layout, in the given order."""
    @property
    def length(self) -> str | None:
        """The header field of the packet length, or None."""
    @property
    def length_offset(self) -> int:
        """What is added to the length field's value to give a packet's bytes."""
    @property
    def size(self) -> int | None:
        """The packet size in bytes when it is fixed, or None."""
    @property
    def sequence(self) -> str | None:
        """The header field of the sequence count, or None."""
    @property
    def sequence_modulus(self) -> int | None:
        """The modulus of the sequence counts, or None without a sequence field."""
    @property
    def tail(self) -> str | None:
        """The name of the column of the bytes past a layout, or None."""
    @property
    def idle(self) -> tuple[_Key, ...]:
        """The keys of idle packets."""
    @property
    def sync(self) -> dict[str, int] | None:
        """A new dict of header field -> the value every packet has, or None."""
    @property
    def unsegmented(self) -> dict[str, int] | None:
        """A new dict of header field -> the value of a packet that is no segment, or None."""
    @overload
    def unpack_columns(
        self, buffer: Buffer, *, numpy: Literal[False] = False, offsets: bool = False
    ) -> StreamResult[dict[str, list[Any]]]:
        """Walk the packets of a buffer and decode each layout's into columns.

        The result has, per key of ``layouts`` in their order, a dict of name -> one value per
        packet of that key, as ``Layout.unpack_columns`` gives it (numpy arrays for numeric
        fields with ``numpy=True``), then the tail column when the stream has one and, with
        ``offsets=True``, "offset": where each packet starts, to merge keys back into stream
        order. A key that never occurs gets empty columns of the same types. The walk and the
        numeric columns run without the interpreter lock.

        Raises:
            ValueError: the first packet that fails to decode in stream order, with notes
                naming the field and the packet ("packet 7 of key 100 in
                Stream.unpack_columns, at byte 546"); offsets=True where a layout has a
                field named "offset".
            StreamWarning: when warnings of its category are errors and the walk is not
                clean.

        """
    @overload
    def unpack_columns(
        self, buffer: Buffer, *, numpy: bool, offsets: bool = False
    ) -> StreamResult[dict[str, Any]]: ...
    @overload
    def unpack_file(
        self,
        path_or_file: _PathOrFile,
        *,
        numpy: Literal[False] = False,
        offsets: bool = False,
        chunk_bytes: SupportsIndex = 16777216,
        progress: _Progress = None,
    ) -> StreamResult[dict[str, list[Any]]]:
        """Walk and decode a file of packets as ``unpack_columns`` does a buffer.

        ``path_or_file`` is a path, or a binary file read from where it stands and left open.
        The file is read ``chunk_bytes`` at a time (a chunk grows to hold the largest packet).
        ``progress`` is called as ``progress(bytes_read, bytes_total)`` at the start and after
        each chunk (the total is None when the file cannot tell its size), or is True for a
        tqdm bar (a plain line on stderr without tqdm).

        Raises:
            ValueError: the failures of ``unpack_columns``.
            TypeError: neither a path nor a binary file.
            OSError: what opening or reading the file raises.

        """
    @overload
    def unpack_file(
        self,
        path_or_file: _PathOrFile,
        *,
        numpy: bool,
        offsets: bool = False,
        chunk_bytes: SupportsIndex = 16777216,
        progress: _Progress = None,
    ) -> StreamResult[dict[str, Any]]: ...
    def split(self, buffer: Buffer) -> StreamResult[bytes]:
        """The packets of each key of ``layouts`` joined as they stand, short ones included,
        without decoding them; with the walk's summary."""
