"""A mixed file of CCSDS space packets: write one, or decode one into columns per packet type.

    python3 examples/ccsds_stream.py write mission.bin [--megabytes 1] [--seed 1]
    python3 examples/ccsds_stream.py read mission.bin

"write" makes the kind of level-0 file a small satellite downlinks: packets of seven types back
to back, each a 6-byte primary header, a 6-byte time code (a secondary header) and its data,
bit fields that do not end on byte boundaries among them. Power housekeeping has the shortest
data field (10 bytes), science frames the longest (up to 1,500 bytes); event messages and
science frames vary in length from packet to packet, their variable part past the fixed fields.
Idle packets (APID 0x7FF) fill gaps in the downlink, three thermal packets are missing (a
sequence gap), and the file ends in the middle of a packet, as a dump cut short does.

"read" decodes the file with fieldpack_layout's CCSDS stream (numpy columns when numpy is
installed, lists otherwise), prints what the walk found, then one line per packet type.
"""

import argparse
import math
import random
import sys
import time
import warnings


def field(name, bits, encoding="unsigned"):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": "big",
            "reverse_bits": False}


# CCSDS unsegmented time code: seconds and 2^-16 seconds.
TIME_CODE = [field("coarse_time", 32), field("fine_time", 16)]

IDLE_APID = 0x7FF
SEQUENCE_MODULUS = 1 << 14

# APID -> (type name, data fields after the time code, what its variable part holds or None).
PACKET_TYPES = {
    0x064: ("power", [
        field("bus_voltage", 12), field("bus_current", 12, "twos_complement"),
        field("power_mode", 3), field("heater_on", 1), field("faults", 4)], None),
    0x065: ("thermal", [field(f"temp_{i}", 12, "twos_complement") for i in range(12)]
            + [field("thermal_status", 16)], None),
    0x0C8: ("attitude", [field(f"q{i}", 32, "ieee754_f32") for i in range(4)]
            + [field(f"rate_{a}", 16, "ieee754_f16") for a in "xyz"]
            + [field("control_mode", 8)]
            + [field(f"wheel_torque_{i}", 16, "sign_magnitude") for i in range(4)], None),
    0x0C9: ("navigation", [field(f"position_{a}", 64, "ieee754_f64") for a in "xyz"]
            + [field(f"velocity_{a}", 32, "ieee754_f32") for a in "xyz"]
            + [field("gps_week", 16), field("gps_seconds", 20), field("satellites", 4),
               field("fix", 32, "us_ascii")], None),
    0x12C: ("events", [field("event_id", 16), field("severity", 3), field("source", 5)],
            "message text"),
    0x190: ("science", [field("frame", 32), field("gain", 8, "packed_bcd"),
                        field("exposure", 16, "ones_complement")], "samples"),
    0x1F4: ("configuration", [field("table_id", 8), field("table_version", 16, "unpacked_bcd"),
                              field("table_name", 128, "us_ascii")]
            + [field(f"parameter_{i}", 32) for i in range(58)], None),
}


def layouts():
    """{apid: Layout} of the seven types, each the whole packet: primary header, time code, data
    fields, back to back from bit 0."""
    from fieldpack_layout import ccsds

    return {apid: ccsds.packet(fields, secondary_header=TIME_CODE)
            for apid, (_, fields, _) in PACKET_TYPES.items()}


EVENT_TEXTS = ["heater 2 on", "heater 2 off", "wheel 3 speed above limit",
               "star tracker lost lock", "star tracker acquired", "payload in standby",
               "downlink pass begins: ground station 4, elevation above 10 degrees"]
FIXES = ["NONE", "2D  ", "3D  ", "DGPS"]


def _data_values(apid, second, rnd, state):
    """The values of a packet's data fields, and its variable part (bytes or None)."""
    orbit = 2 * math.pi * second / 5400
    if apid == 0x064:
        return {"bus_voltage": 3000 + round(200 * math.sin(orbit)) + rnd.randrange(8),
                "bus_current": round(900 * math.sin(orbit)) + rnd.randrange(-20, 20),
                "power_mode": state["mode"], "heater_on": int(math.sin(orbit) < 0),
                "faults": 1 if rnd.random() < 0.001 else 0}, None
    if apid == 0x065:
        values = {f"temp_{i}": round(400 * math.sin(orbit + i / 3)) + rnd.randrange(-4, 4)
                  for i in range(12)}
        values["thermal_status"] = 0x8000 | state["mode"]
        return values, None
    if apid == 0x0C8:
        half = orbit / 2
        values = {"q0": math.cos(half), "q1": math.sin(half) * 0.6, "q2": math.sin(half) * 0.8,
                  "q3": 0.0, "control_mode": state["mode"]}
        values.update({f"rate_{a}": rnd.gauss(0, 0.01) for a in "xyz"})
        values.update({f"wheel_torque_{i}": rnd.randrange(-2000, 2000) for i in range(4)})
        return values, None
    if apid == 0x0C9:
        radius = 6_878_137.0
        values = {"position_x": radius * math.cos(orbit), "position_y": radius * math.sin(orbit),
                  "position_z": 1000.0 * math.sin(orbit / 7), "velocity_x": -7600 * math.sin(orbit),
                  "velocity_y": 7600 * math.cos(orbit), "velocity_z": 0.5,
                  "gps_week": 2300 + second // 604800, "gps_seconds": second % 604800,
                  "satellites": 4 + second % 9, "fix": FIXES[min(3, second % 9)]}
        return values, None
    if apid == 0x12C:
        text = rnd.choice(EVENT_TEXTS)
        return ({"event_id": EVENT_TEXTS.index(text), "severity": rnd.randrange(8),
                 "source": rnd.randrange(32)}, text.encode("ascii"))
    if apid == 0x190:
        state["frame"] += 1
        # 1,500 bytes of data at most: 6 of time code, 7 of fixed fields, 1,487 samples.
        samples = rnd.randrange(64, 1488)
        return ({"frame": state["frame"], "gain": rnd.choice([1, 2, 4, 8, 16, 32, 64]),
                 "exposure": rnd.randrange(-500, 500)}, rnd.randbytes(samples))
    values = {"table_id": 3, "table_version": 17, "table_name": "ADCS-GAINS"}
    values.update({f"parameter_{i}": (i * 2654435761 + second) % (1 << 32) for i in range(58)})
    return values, None


def _schedule(second, rnd):
    """The APIDs sent in one second of the downlink, in order."""
    apids = [0x064] * 8 + [0x065] + [0x0C8] * 4 + [0x0C9] + [0x190] * 2
    if rnd.random() < 0.3:
        apids.append(0x12C)
    if second % 60 == 0:
        apids.append(0x1F4)
    rnd.shuffle(apids)
    if rnd.random() < 0.2:
        apids.insert(rnd.randrange(len(apids) + 1), IDLE_APID)
    return apids


def packets(megabytes, seed):
    """The packets of the file, as bytes, until it holds `megabytes` MB; the last one cut."""
    from fieldpack_layout import ccsds

    types = layouts()
    header = ccsds.packet([], secondary_header=TIME_CODE)
    rnd = random.Random(seed)
    counts = dict.fromkeys(list(PACKET_TYPES) + [IDLE_APID], 0)
    state = {"mode": 1, "frame": 0}
    target = int(megabytes * 1_000_000)
    written = 0
    dropped = False
    second = 0
    while True:
        if rnd.random() < 0.001:
            state["mode"] = rnd.randrange(8)
        for apid in _schedule(second, rnd):
            common = {"version": 0, "type": 0, "secondary_header_flag": 1, "apid": apid,
                      "sequence_flags": 3, "sequence_count": counts[apid] % SEQUENCE_MODULUS,
                      "coarse_time": 1_700_000_000 + second,
                      "fine_time": rnd.randrange(1 << 16)}
            counts[apid] += 1
            if apid == IDLE_APID:
                fill = rnd.randrange(4, 58)
                common["data_length"] = 6 + fill - 1
                packet = header.pack(common) + b"\x55" * fill
            else:
                values, variable = _data_values(apid, second, rnd, state)
                values.update(common)
                layout = types[apid]
                variable = variable or b""
                values["data_length"] = layout.size + len(variable) - 7
                packet = layout.pack(values) + variable
            # A sequence gap: three thermal packets lost on the way, a third into the file.
            if apid == 0x065 and not dropped and written > target // 3:
                if counts[apid] % 10 in (1, 2, 3):
                    if counts[apid] % 10 == 3:
                        dropped = True
                    continue
            if written + len(packet) >= target:
                # The dump ends inside this packet.
                yield packet[: max(1, min(len(packet) - 1, target - written))]
                return
            written += len(packet)
            yield packet
        second += 1


def write(path, megabytes, seed):
    count = size = 0
    with open(path, "wb") as out:
        for packet in packets(megabytes, seed):
            out.write(packet)
            count += 1
            size += len(packet)
    print(f"wrote {count} packets, {size} bytes, to {path} (the last packet cut short)")


def read(path):
    from fieldpack_layout import ccsds

    try:
        import numpy  # noqa: F401 - columns as arrays when numpy is there
        as_arrays = True
    except ImportError:
        as_arrays = False
    stream = ccsds.stream(layouts(), tail="variable")
    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = stream.unpack_file(path, numpy=as_arrays)
    seconds = time.perf_counter() - start
    summary = result.summary
    print(f"{path}: {sum(summary.packets.values())} packets of {len(result)} types in "
          f"{seconds * 1e3:.1f} ms ({'numpy arrays' if as_arrays else 'lists'})")
    for warning in caught:
        print(f"warning: {warning.message}")
    print(f"idle packets: {summary.idle}, unknown: {sum(summary.unknown.values())}, "
          f"truncated tail: {summary.truncated} bytes, sync lost: {summary.lost_sync}")
    for apid, columns in result.items():
        name, fields, variable = PACKET_TYPES[apid]
        line = (f"  0x{apid:03X} {name:<14} {summary.packets[apid]:>7} packets, "
                f"{len(columns)} columns")
        if summary.gaps[apid]:
            line += f", {summary.gaps[apid]} missing"
        if variable:
            sizes = [len(tail) for tail in columns["variable"]]
            line += f", {variable} of {min(sizes, default=0)} to {max(sizes, default=0)} bytes"
        print(line)
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    writing = commands.add_parser("write", help="write a sample file")
    writing.add_argument("path")
    writing.add_argument("--megabytes", type=float, default=1.0)
    writing.add_argument("--seed", type=int, default=1)
    reading = commands.add_parser("read", help="decode a file into columns per packet type")
    reading.add_argument("path")
    args = parser.parse_args(argv)
    if args.command == "write":
        write(args.path, args.megabytes, args.seed)
        return 0
    return read(args.path)


if __name__ == "__main__":
    sys.exit(main())
