"""CCSDS space packets ready-made: the primary header, whole-packet layouts built from their data
fields, and the stream of a file of mixed packets.

    from fieldpack_layout import ccsds
    power = ccsds.packet([voltage, current], secondary_header=time_code)
    result = ccsds.stream({0x064: power, 0x065: thermal}).unpack_file("level0.bin", numpy=True)

Every layout here is bit-exact (packing="bits"): the primary header's fields are 3, 1, 1, 11, 2,
14 and 16 bits, most significant bit first, as the standard numbers them.
"""

import operator

from fieldpack_layout import Layout, Stream

__all__ = ["IDLE_APID", "PRIMARY_HEADER", "SEQUENCE_MODULUS", "packet", "primary_header",
           "stream"]


def _field(name, bits):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": "big",
            "reverse_bits": False}


# The primary header's fields, as a recipe.
PRIMARY_HEADER = (
    _field("version", 3),
    _field("type", 1),
    _field("secondary_header_flag", 1),
    _field("apid", 11),
    _field("sequence_flags", 2),
    _field("sequence_count", 14),
    _field("data_length", 16),
)
# The APID of idle packets, which fill a link and carry nothing.
IDLE_APID = 0x7FF
# Sequence counts are 14 bits.
SEQUENCE_MODULUS = 1 << 14
# Sequence flags of a packet that is not a segment of a larger one.
_UNSEGMENTED = 0b11
# A packet is the data length field's value plus 7 bytes (the 6 of the header, and 1).
_LENGTH_OFFSET = 7

primary_header = Layout(list(PRIMARY_HEADER), packing="bits")


def _moved(entries, by_bits):
    """The entries as dicts, those with an offset_bits moved by `by_bits`."""
    moved = []
    for entry in entries:
        entry = dict(entry)
        if "offset_bits" in entry:
            entry["offset_bits"] = operator.index(entry["offset_bits"]) + by_bits
        moved.append(entry)
    return moved


def packet(fields, *, secondary_header=()):
    """A whole packet's Layout, bit-exact: the primary header, the secondary header's fields, then
    the data fields. Fields without "offset_bits" follow one another; an "offset_bits" of a
    secondary-header field counts from the end of the primary header, one of a data field from
    the end of the secondary header (its whole bytes, as the standard has them)."""
    secondary = list(secondary_header)
    secondary_bytes = Layout(secondary, packing="bits").size if secondary else 0
    if secondary_bytes is None:
        secondary_bytes = 0  # a secondary header that cannot be sized: the Layout below says why
    recipe = (list(PRIMARY_HEADER) + _moved(secondary, 48)
              + _moved(fields, 48 + 8 * secondary_bytes))
    return Layout(recipe, packing="bits")


def stream(layouts, *, tail=None):
    """The Stream of a file of space packets: the primary header read at the start of every
    packet, the APID picking the packet's layout in `layouts` (a mapping of APID -> Layout of the
    whole packet, such as packet() makes), each packet data length + 7 bytes long, sequence
    counts per APID modulo 16384. Idle packets (APID 0x7FF) are counted as idle; a packet whose
    version is not 0 has lost sync; packets whose sequence flags are not 0b11 (segments) are
    counted as segmented. With `tail`, the bytes past a layout come back as a column of that
    name."""
    return Stream(primary_header, key="apid", layouts=layouts, length="data_length",
                  length_offset=_LENGTH_OFFSET, sequence="sequence_count",
                  sequence_modulus=SEQUENCE_MODULUS, tail=tail, idle=(IDLE_APID,),
                  sync={"version": 0}, unsegmented={"sequence_flags": _UNSEGMENTED})
