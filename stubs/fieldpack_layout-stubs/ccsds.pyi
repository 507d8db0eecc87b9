"""CCSDS space packets ready-made: the primary header, whole-packet layouts built from their data
fields, and the stream of a file of mixed packets. Every layout here is bit-exact."""

from collections.abc import Mapping, Sequence
from typing import Any

from fieldpack_layout import Layout, Stream

__all__ = ["IDLE_APID", "PRIMARY_HEADER", "SEQUENCE_MODULUS", "packet", "primary_header",
           "stream"]

PRIMARY_HEADER: tuple[dict[str, Any], ...]
"""The primary header's fields as a recipe: version (3 bits), type (1), secondary_header_flag
(1), apid (11), sequence_flags (2), sequence_count (14), data_length (16)."""
IDLE_APID: int
"""0x7FF, the APID of idle packets."""
SEQUENCE_MODULUS: int
"""16384: sequence counts are 14 bits."""
primary_header: Layout
"""The primary header as a bit-exact Layout of 6 bytes."""

def packet(
    fields: Sequence[Mapping[str, Any]], *, secondary_header: Sequence[Mapping[str, Any]] = ()
) -> Layout:
    """A whole packet's bit-exact Layout: the primary header, the secondary header's fields,
    then the data fields. An "offset_bits" of a secondary-header field counts from the end of
    the primary header, one of a data field from the end of the secondary header.

    Example:
        >>> from fieldpack_layout import ccsds
        >>> layout = ccsds.packet([{"name": "volts", "encoding": "unsigned", "bits": 12,
        ...                         "byte_order": "big", "reverse_bits": False}])
        >>> layout.size, layout.names[-2:]
        (8, ('data_length', 'volts'))

    """

def stream(layouts: Mapping[int, Layout], *, tail: str | None = None) -> Stream:
    """The Stream of a file of space packets: key APID, each packet data length + 7 bytes,
    sequence counts per APID modulo 16384, idle packets (APID 0x7FF) counted as idle, a version
    other than 0 lost sync, packets whose sequence flags are not 0b11 counted as segmented."""
