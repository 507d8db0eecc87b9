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
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol, SupportsIndex, final, overload

from typing_extensions import Buffer, TypeAlias

__all__ = ["Layout"]

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
