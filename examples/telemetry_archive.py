"""A sample telemetry archive: write one, or decode one into columns.

    python3 examples/telemetry_archive.py write housekeeping.tlm [--packets 5000] [--seed 1]
    python3 examples/telemetry_archive.py read housekeeping.tlm

"write" makes a file of back-to-back 64-byte housekeeping packets of a small spacecraft, one a
second, in the mix of encodings such archives hold: unsigned counters, a packed-BCD time of day,
unpacked-BCD altitude, two's complement, sign-magnitude and ones' complement readings, IEEE 754
half, single and double floats, US-ASCII, windows-1252 and UTF-8 text, and a checksum over the
rest of the packet. "read" decodes the file with Layout.unpack_file (numpy columns when numpy is
installed, lists otherwise; a tqdm bar when tqdm is) and prints one line per column.
"""

import argparse
import math
import random
import sys
import time


def field(name, bits, encoding="unsigned", byte_order="big"):
    return {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
            "reverse_bits": False}


RECIPE = [
    field("apid", 16),
    field("sequence", 16),
    field("time_of_day", 24, "packed_bcd"),        # hhmmss
    field("day", 16, byte_order="little"),
    field("mode", 32, "us_ascii"),
    field("bus_voltage", 32, "ieee754_f32"),
    field("bus_current", 16, "ieee754_f16", "little"),
    field("battery_temp", 16, "twos_complement", "little"),   # hundredths of a degree
    field("panel_temp", 8, "twos_complement"),
    field("wheel_speed", 16, "sign_magnitude"),    # rpm
    field("gyro_bias", 16, "ones_complement"),
    field("heater_duty", 8),                       # percent
    field("elapsed", 64, "ieee754_f64", "little"),  # seconds since launch
    field("altitude_km", 24, "unpacked_bcd"),
    field("label", 128, "windows_1252"),
    field("operator", 64, "utf8"),
    field("checksum", 16),                          # of the 62 bytes before it
]
MODES = ["NOML", "SAFE", "SCI ", "DUMP"]
LABELS = ["Bus A – nominal", "Bus B – standby", "Heater › on", "Wheel ±5 rpm"]
OPERATORS = ["Zoë", "Łukasz", "Ana", "Jürgen"]
TEXT_ENCODINGS = {"us_ascii", "windows_1252", "utf8"}


def packets(count, seed):
    """The packets' values, one dict a packet."""
    rnd = random.Random(seed)
    mode = 0
    for i in range(count):
        if rnd.random() < 0.002:
            mode = rnd.randrange(len(MODES))
        seconds = 6 * 3600 + i
        hours, minutes, secs = seconds // 3600 % 24, seconds // 60 % 60, seconds % 60
        orbit = 2 * math.pi * i / 5400
        yield {
            "apid": rnd.choice([0x101, 0x102, 0x1A0]),
            "sequence": i % 16384,
            "time_of_day": hours * 10000 + minutes * 100 + secs,
            "day": 211 + seconds // 86400,
            "mode": MODES[mode],
            "bus_voltage": 28.0 + 0.4 * math.sin(orbit) + rnd.gauss(0, 0.02),
            "bus_current": 3.5 + rnd.gauss(0, 0.1),
            "battery_temp": round(1500 + 800 * math.sin(orbit) + rnd.gauss(0, 20)),
            "panel_temp": round(60 * math.sin(orbit)),
            "wheel_speed": round(1200 * math.sin(orbit / 3) + rnd.gauss(0, 5)),
            "gyro_bias": rnd.randint(-300, 300),
            "heater_duty": max(0, min(100, round(50 - 45 * math.sin(orbit)))),
            "elapsed": 18_000_000.0 + i,
            "altitude_km": 512 + round(8 * math.sin(orbit)),
            "label": LABELS[(i // 600) % len(LABELS)],
            "operator": OPERATORS[(i // 1800) % len(OPERATORS)],
            "checksum": 0,
        }


def write(path, count, seed):
    from fieldpack_layout import Layout

    layout = Layout(RECIPE)
    with open(path, "wb") as out:
        for values in packets(count, seed):
            packet = bytearray(layout.pack(values))
            packet[-2:] = (sum(packet[:-2]) & 0xFFFF).to_bytes(2, "big")
            out.write(packet)
    print(f"wrote {count} packets of {layout.size} bytes to {path}")


def read(path):
    from fieldpack_layout import Layout

    try:
        import numpy  # noqa: F401 - columns as arrays when numpy is there
        as_arrays = True
    except ImportError:
        as_arrays = False
    layout = Layout(RECIPE)
    start = time.perf_counter()
    columns = layout.unpack_file(path, numpy=as_arrays, progress=True)
    seconds = time.perf_counter() - start
    count = len(columns["apid"])
    print(f"{path}: {count} packets of {layout.size} bytes in {seconds * 1e3:.1f} ms")
    for entry in RECIPE:
        name, column = entry["name"], columns[entry["name"]]
        text = entry["encoding"] in TEXT_ENCODINGS
        # Without numpy every column is a list; its kind follows from the encoding, as an
        # array's dtype does, so an empty archive prints the same kinds.
        if hasattr(column, "dtype"):
            kind = str(column.dtype)
        elif text:
            kind = "list of str"
        elif entry["encoding"].startswith("ieee754"):
            kind = "list of float"
        else:
            kind = "list of int"
        if count == 0:
            print(f"  {name:13} {kind:13}")
        elif text:
            distinct = sorted({value.rstrip("\0") for value in column})
            print(f"  {name:13} {kind:13} {len(distinct)} distinct: {', '.join(distinct)}")
        else:
            print(f"  {name:13} {kind:13} min {min(column)!s:>12}  max {max(column)!s:>12}")
    return columns


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    commands = parser.add_subparsers(dest="command", required=True)
    writing = commands.add_parser("write", help="write a sample archive")
    writing.add_argument("path")
    writing.add_argument("--packets", type=int, default=5000)
    writing.add_argument("--seed", type=int, default=1)
    reading = commands.add_parser("read", help="decode an archive into columns")
    reading.add_argument("path")
    args = parser.parse_args(argv)
    if args.command == "write":
        write(args.path, args.packets, args.seed)
    else:
        read(args.path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
