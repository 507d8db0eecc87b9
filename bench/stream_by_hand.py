"""The split and decode of a mixed CCSDS file as a user writes it without a packet stream: a loop
over the primary headers with `struct`, then each packet type's fields with numpy. It is the
yardstick of bench/bench_stream.py, and decodes the files that examples/ccsds_stream.py writes
into the same columns (same names, dtypes and values) and counts as the library's stream.

    python3 bench/stream_by_hand.py mission.bin

The walk: every packet is `data_length + 7` bytes; APID 0x7FF is idle; a header or packet that
does not fit before the end is the truncated tail. Per APID the sequence counts (modulo 2^14)
give the packets missing (gaps) and repeated. Each type's packets are gathered into one array of
rows by fancy indexing, their fields read from it: whole bytes through a big-endian view, bit
fields from the bytes that hold them, shifted and masked; signed encodings by their arithmetic.
"""

import struct
import sys

import numpy as np

MODULUS = 1 << 14
IDLE = 0x7FF
# Bytes of each type's fixed fields, header and time code included; the rest is the tail.
FIXED = {0x064: 16, 0x065: 32, 0x0C8: 43, 0x0C9: 57, 0x12C: 15, 0x190: 19, 0x1F4: 263}


def walk(data):
    """Offsets and lengths of each type's packets, in file order, and the counts of the walk."""
    offsets = {apid: [] for apid in FIXED}
    lengths = {apid: [] for apid in FIXED}
    sequences = {apid: [] for apid in FIXED}
    unknown = {}
    idle = truncated = 0
    unpack = struct.Struct(">HHH").unpack_from
    position, size = 0, len(data)
    while True:
        if size - position < 6:
            truncated = size - position
            break
        word, sequence, data_length = unpack(data, position)
        length = data_length + 7
        if length > size - position:
            truncated = size - position
            break
        apid = word & 0x7FF
        if apid in offsets:
            offsets[apid].append(position)
            lengths[apid].append(length)
            sequences[apid].append(sequence & 0x3FFF)
        elif apid == IDLE:
            idle += 1
        else:
            unknown[apid] = unknown.get(apid, 0) + 1
        position += length
    return offsets, lengths, sequences, {"unknown": unknown, "idle": idle, "truncated": truncated}


def bits(rows, start, width):
    """The big-endian bit field [start, start + width) of every row, as uint64."""
    first, last = start // 8, (start + width - 1) // 8
    word = np.zeros(len(rows), dtype=np.uint64)
    for byte in range(first, last + 1):
        word = (word << np.uint64(8)) | rows[:, byte].astype(np.uint64)
    word >>= np.uint64(8 * (last + 1) - start - width)
    return word & np.uint64((1 << width) - 1)


def sign_extend(raw, width, dtype):
    value = raw.astype(np.int64)
    return np.where(value >= 1 << (width - 1), value - (1 << width), value).astype(dtype)


def floats(rows, byte, fmt, dtype):
    return rows[:, byte:byte + np.dtype(fmt).itemsize].copy().view(fmt)[:, 0].astype(dtype)


def text(rows, byte, size):
    return [bytes(row).decode("ascii") for row in rows[:, byte:byte + size]]


def header(rows):
    return {
        "version": (rows[:, 0] >> 5).astype(np.uint8),
        "type": ((rows[:, 0] >> 4) & 1).astype(np.uint8),
        "secondary_header_flag": ((rows[:, 0] >> 3) & 1).astype(np.uint8),
        "apid": bits(rows, 5, 11).astype(np.uint16),
        "sequence_flags": (rows[:, 2] >> 6).astype(np.uint8),
        "sequence_count": bits(rows, 18, 14).astype(np.uint16),
        "data_length": bits(rows, 32, 16).astype(np.uint16),
        "coarse_time": bits(rows, 48, 32).astype(np.uint32),
        "fine_time": bits(rows, 80, 16).astype(np.uint16),
    }


def power(rows):
    return {"bus_voltage": bits(rows, 96, 12).astype(np.uint16),
            "bus_current": sign_extend(bits(rows, 108, 12), 12, np.int16),
            "power_mode": bits(rows, 120, 3).astype(np.uint8),
            "heater_on": bits(rows, 123, 1).astype(np.uint8),
            "faults": bits(rows, 124, 4).astype(np.uint8)}


def thermal(rows):
    columns = {f"temp_{i}": sign_extend(bits(rows, 96 + 12 * i, 12), 12, np.int16)
               for i in range(12)}
    columns["thermal_status"] = bits(rows, 240, 16).astype(np.uint16)
    return columns


def sign_magnitude(raw, width, dtype):
    magnitude = (raw & np.uint64((1 << (width - 1)) - 1)).astype(np.int64)
    return np.where(raw >> np.uint64(width - 1), -magnitude, magnitude).astype(dtype)


def attitude(rows):
    columns = {f"q{i}": floats(rows, 12 + 4 * i, ">f4", np.float32) for i in range(4)}
    columns.update({f"rate_{a}": floats(rows, 28 + 2 * i, ">f2", np.float16)
                    for i, a in enumerate("xyz")})
    columns["control_mode"] = rows[:, 34].copy()
    columns.update({f"wheel_torque_{i}": sign_magnitude(bits(rows, 280 + 16 * i, 16), 16, np.int16)
                    for i in range(4)})
    return columns


def navigation(rows):
    columns = {f"position_{a}": floats(rows, 12 + 8 * i, ">f8", np.float64)
               for i, a in enumerate("xyz")}
    columns.update({f"velocity_{a}": floats(rows, 36 + 4 * i, ">f4", np.float32)
                    for i, a in enumerate("xyz")})
    columns["gps_week"] = bits(rows, 384, 16).astype(np.uint16)
    columns["gps_seconds"] = bits(rows, 400, 20).astype(np.uint32)
    columns["satellites"] = bits(rows, 420, 4).astype(np.uint8)
    columns["fix"] = text(rows, 53, 4)
    return columns


def events(rows):
    return {"event_id": bits(rows, 96, 16).astype(np.uint16),
            "severity": bits(rows, 112, 3).astype(np.uint8),
            "source": bits(rows, 115, 5).astype(np.uint8)}


def ones_complement(raw, width, dtype):
    value = raw.astype(np.int64)
    return np.where(value >= 1 << (width - 1), value - ((1 << width) - 1), value).astype(dtype)


def science(rows):
    gain = rows[:, 16].astype(np.int64)
    return {"frame": bits(rows, 96, 32).astype(np.uint32),
            "gain": (gain >> 4) * 10 + (gain & 15),
            "exposure": ones_complement(bits(rows, 136, 16), 16, np.int16)}


def configuration(rows):
    columns = {"table_id": rows[:, 12].copy(),
               "table_version": (rows[:, 13] & 15).astype(np.int64) * 10 + (rows[:, 14] & 15),
               "table_name": text(rows, 15, 16)}
    columns.update({f"parameter_{i}": bits(rows, 248 + 32 * i, 32).astype(np.uint32)
                    for i in range(58)})
    return columns


DECODERS = {0x064: power, 0x065: thermal, 0x0C8: attitude, 0x0C9: navigation, 0x12C: events,
            0x190: science, 0x1F4: configuration}


def decode(data, tails=True):
    """{apid: {name: column}} and the counts: packets, short, gaps and repeats per APID; idle,
    unknown (per APID) and the truncated tail in bytes."""
    offsets, lengths, sequences, counts = walk(data)
    buffer = np.frombuffer(data, dtype=np.uint8)
    columns = {}
    for key in ("packets", "short", "gaps", "repeats"):
        counts[key] = {}
    for apid, fixed in FIXED.items():
        where = np.array(offsets[apid], dtype=np.int64)
        length = np.array(lengths[apid], dtype=np.int64)
        steps = np.diff(np.array(sequences[apid], dtype=np.int64)) % MODULUS
        counts["gaps"][apid] = int(((steps - 1) % MODULUS)[steps != 0].sum())
        counts["repeats"][apid] = int((steps == 0).sum())
        whole = length >= fixed
        counts["short"][apid] = int((~whole).sum())
        where, length = where[whole], length[whole]
        counts["packets"][apid] = len(where)
        rows = buffer[where[:, None] + np.arange(fixed)]
        columns[apid] = {**header(rows), **DECODERS[apid](rows)}
        if tails:
            columns[apid]["tail"] = [data[o + fixed:o + n] for o, n in zip(where.tolist(),
                                                                          length.tolist())]
    return columns, counts


def main(argv):
    with open(argv[0], "rb") as file:
        data = file.read()
    columns, counts = decode(data)
    for apid, packets in counts["packets"].items():
        print(f"APID 0x{apid:03X}: {packets} packets, {len(columns[apid])} columns, "
              f"gaps {counts['gaps'][apid]}, repeats {counts['repeats'][apid]}")
    print(f"idle {counts['idle']}, unknown {counts['unknown']}, truncated {counts['truncated']}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
