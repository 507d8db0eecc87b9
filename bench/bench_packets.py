"""Time unpack_parameters and pack_parameters against struct and bitstruct's C extension.

Run as ``PYTHONPATH=build/bench python bench/bench_packets.py [--quick]`` on CPython.

Every case first checks that fieldpack and each peer produce the same packet and the same
dictionary for the timed inputs, so that the peers do the same work. Times are the minimum
over the repeats, in nanoseconds per call. Ratios below 1 mean fieldpack is faster.
"""

import argparse
import json
import random
import struct
import sys
import timeit

import fieldpack

try:
    import bitstruct.c as bitstruct_c
except ImportError:  # the peer is optional; its columns stay empty without it
    bitstruct_c = None


STRUCT_CODES = {8: "B", 16: "H", 32: "I"}

# Limits on fieldpack's time as a multiple of the peer's, per case.
TARGET_24 = 1.6
TARGET_200 = 2.1
TARGET_1 = 0.6
TARGET_JSON = 1.25
TARGET_TELEMETRY = 2.0


def unsigned_field(name, bits, byte_order):
    return {"name": name, "encoding": "unsigned", "bits": bits, "byte_order": byte_order,
            "reverse_bits": False}


class UnsignedCase:
    """A byte-aligned recipe of "unsigned" fields with one byte order, and its peers."""

    def __init__(self, label, widths, byte_order, seed):
        rng = random.Random(seed)
        self.label = label
        self.names = [f"p{i:03d}" for i in range(len(widths))]
        self.recipe = [unsigned_field(n, w, byte_order) for n, w in zip(self.names, widths)]
        # Read from a file, the recipe's keys are fresh strings that are not the interned
        # literals the module looks up with; that must not fall off a fast path.
        self.recipe_json = json.loads(json.dumps(self.recipe))
        self.values = {n: rng.randrange(1 << w) for n, w in zip(self.names, widths)}
        prefix = ">" if byte_order == "big" else "<"
        self.struct = struct.Struct(prefix + "".join(STRUCT_CODES[w] for w in widths))
        self.packet = self.struct.pack(*[self.values[n] for n in self.names])
        self.bitstruct = None
        if bitstruct_c is not None:
            self.bitstruct = bitstruct_c.compile("".join(f"u{w}" for w in widths), self.names)
            # bitstruct.c reads big-endian only; a byte swap per field does the rest.
            swap_groups = (str(w // 8) if byte_order == "little" else "1" * (w // 8)
                           for w in widths)
            self.swap = "".join(swap_groups)

    def check(self):
        packed = fieldpack.pack_parameters(self.recipe, self.values)
        assert packed == self.packet, (self.label, packed.hex(), self.packet.hex())
        assert fieldpack.pack_parameters(self.recipe_json, self.values) == self.packet
        assert fieldpack.unpack_parameters(self.packet, 0, self.recipe) == self.values
        assert fieldpack.unpack_parameters(self.packet, 0, self.recipe_json) == self.values
        assert dict(zip(self.names, self.struct.unpack(self.packet))) == self.values
        if self.bitstruct is not None:
            assert bitstruct_c.byteswap(self.swap, self.bitstruct.pack(self.values)) == self.packet
            swapped = bitstruct_c.byteswap(self.swap, self.packet)
            assert self.bitstruct.unpack(swapped) == self.values

    def namespace(self):
        return {
            "fp": fieldpack, "S": self.struct, "names": self.names, "p": self.packet,
            "v": self.values, "r": self.recipe, "rj": self.recipe_json,
            "B": self.bitstruct, "swap": getattr(self, "swap", None),
            "byteswap": bitstruct_c.byteswap if bitstruct_c else None,
        }

    statements = {
        ("unpack", "fieldpack"): "fp.unpack_parameters(p, 0, r)",
        ("unpack", "fieldpack json"): "fp.unpack_parameters(p, 0, rj)",
        ("unpack", "struct"): "dict(zip(names, S.unpack(p)))",
        ("unpack", "bitstruct"): "B.unpack(byteswap(swap, p))",
        ("pack", "fieldpack"): "fp.pack_parameters(r, v)",
        ("pack", "fieldpack json"): "fp.pack_parameters(rj, v)",
        ("pack", "struct"): "S.pack(*[v[n] for n in names])",
        ("pack", "bitstruct"): "byteswap(swap, B.pack(v))",
    }


# A housekeeping frame: header words, counters, temperatures and voltages, a BCD-coded
# on-board time field and an 8-character ASCII source tag.
TELEMETRY = [
    ("apid", "unsigned", 16, "H"),
    ("sequence", "unsigned", 16, "H"),
    ("length", "unsigned", 16, "H"),
    ("mode", "unsigned", 8, "B"),
    ("flags", "unsigned", 8, "B"),
    ("uptime", "unsigned", 32, "I"),
    ("frame_count", "unsigned", 32, "I"),
    ("temp_cpu", "twos_complement", 16, "h"),
    ("temp_battery", "twos_complement", 16, "h"),
    ("current_bus", "twos_complement", 32, "i"),
    ("current_heater", "twos_complement", 32, "i"),
    ("voltage_bus", "ieee754_f32", 32, "f"),
    ("voltage_battery", "ieee754_f32", 32, "f"),
    ("voltage_solar", "ieee754_f32", 32, "f"),
    ("attitude_q0", "ieee754_f64", 64, "d"),
    ("attitude_q1", "ieee754_f64", 64, "d"),
    ("attitude_q2", "ieee754_f64", 64, "d"),
    ("attitude_q3", "ieee754_f64", 64, "d"),
    ("obt_minutes", "packed_bcd", 16, "H"),
    ("rssi", "unsigned", 8, "B"),
    ("error_count", "unsigned", 8, "B"),
    ("last_command", "unsigned", 16, "H"),
    ("wheel_speed", "twos_complement", 16, "h"),
    ("source", "us_ascii", 64, "8s"),
]

TELEMETRY_VALUES = {
    "apid": 0x07FF, "sequence": 0xC123, "length": 117, "mode": 3, "flags": 0xA5,
    "uptime": 86_400_123, "frame_count": 4_000_000_001, "temp_cpu": -1_234,
    "temp_battery": 2_550, "current_bus": -70_000, "current_heater": 1_234_567,
    # Single-precision values, so that packing and unpacking round-trip them exactly.
    "voltage_bus": 28.125, "voltage_battery": 15.75, "voltage_solar": -0.5,
    "attitude_q0": 0.7071067811865476, "attitude_q1": -0.0012, "attitude_q2": 0.5,
    "attitude_q3": -0.49999, "obt_minutes": 1439, "rssi": 200, "error_count": 0,
    "last_command": 0xBEEF, "wheel_speed": -32_768, "source": "GNDSTN01",
}


class TelemetryCase:
    """The mixed telemetry frame against a struct doing the same conversions."""

    def __init__(self, byte_order):
        self.label = f"telemetry 24, {byte_order}"
        self.recipe = [
            {"name": name, "encoding": encoding, "bits": bits, "byte_order": byte_order,
             "reverse_bits": False}
            for name, encoding, bits, _ in TELEMETRY
        ]
        self.values = dict(TELEMETRY_VALUES)
        names = [name for name, *_ in TELEMETRY]
        prefix = ">" if byte_order == "big" else "<"
        layout = struct.Struct(prefix + "".join(code for *_, code in TELEMETRY))
        bcd = names.index("obt_minutes")
        text = names.index("source")
        # A little-endian text field holds its bytes in reverse order.
        step = 1 if byte_order == "big" else -1

        def struct_unpack(packet):
            fields = list(layout.unpack(packet))
            fields[bcd] = int(f"{fields[bcd]:x}")
            fields[text] = fields[text][::step].decode("ascii")
            return dict(zip(names, fields))

        def struct_pack(values):
            fields = [values[n] for n in names]
            fields[bcd] = int(str(fields[bcd]), 16)
            fields[text] = fields[text].encode("ascii")[::step]
            return layout.pack(*fields)

        self.struct_unpack = struct_unpack
        self.struct_pack = struct_pack
        self.packet = struct_pack(self.values)

    def check(self):
        assert fieldpack.pack_parameters(self.recipe, self.values) == self.packet, self.label
        assert fieldpack.unpack_parameters(self.packet, 0, self.recipe) == self.values
        assert self.struct_unpack(self.packet) == self.values

    def namespace(self):
        return {"fp": fieldpack, "p": self.packet, "v": self.values, "r": self.recipe,
                "su": self.struct_unpack, "sp": self.struct_pack}

    statements = {
        ("unpack", "fieldpack"): "fp.unpack_parameters(p, 0, r)",
        ("unpack", "struct"): "su(p)",
        ("pack", "fieldpack"): "fp.pack_parameters(r, v)",
        ("pack", "struct"): "sp(v)",
    }


def time_ns(statements, namespace, repeats, budget):
    """Minimum time per call in ns of each statement, over `repeats` runs of about `budget`
    seconds each. The runs of the statements alternate, so that a change in the machine's load
    shifts all of them alike and leaves their ratios standing."""
    timers = {}
    for key, statement in statements.items():
        timer = timeit.Timer(statement, globals=namespace)
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= budget / 4:
                break
            number *= 4
        timers[key] = (timer, max(1, int(number * budget / elapsed)))
    best = dict.fromkeys(statements, float("inf"))
    for _ in range(repeats):
        for key, (timer, number) in timers.items():
            best[key] = min(best[key], timer.timeit(number) / number * 1e9)
    return best


def widths_cycle(count):
    return [(8, 16, 32)[i % 3] for i in range(count)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer and shorter repeats: a rough reading in a few seconds")
    args = parser.parse_args()
    repeats, budget = (5, 0.01) if args.quick else (7, 0.04)

    unsigned_cases = [
        (UnsignedCase("24 x unsigned, big", widths_cycle(24), "big", 24), TARGET_24),
        (UnsignedCase("24 x unsigned, little", widths_cycle(24), "little", 25), TARGET_24),
        (UnsignedCase("1 x unsigned 32, big", [32], "big", 1), TARGET_1),
        (UnsignedCase("200 x unsigned, little", widths_cycle(200), "little", 200), TARGET_200),
    ]
    telemetry_cases = [(TelemetryCase("big"), TARGET_TELEMETRY),
                       (TelemetryCase("little"), TARGET_TELEMETRY)]
    for case, _ in unsigned_cases + telemetry_cases:
        case.check()

    rows = []  # (case, op, fieldpack ns, reference label, reference ns, target, bitstruct ns)
    for case, target in unsigned_cases + telemetry_cases:
        namespace = case.namespace()
        for op in ("unpack", "pack"):
            statements = {who: statement for (statement_op, who), statement
                          in case.statements.items()
                          if statement_op == op
                          and (who != "bitstruct" or namespace.get("B") is not None)}
            timed = time_ns(statements, namespace, repeats, budget)
            rows.append((case.label, op, timed["fieldpack"], "struct", timed["struct"], target,
                         timed.get("bitstruct")))
            if "fieldpack json" in timed:
                rows.append((case.label + " (json)", op, timed["fieldpack json"],
                             "interned", timed["fieldpack"], TARGET_JSON, None))

    header = (f"{'case':<34} {'op':<6} {'fieldpack':>10} {'reference':>19} {'ratio':>6} "
              f"{'target':>7} {'met':>4} {'bitstruct.c':>12} {'fp/bs':>6}")
    print(f"fieldpack packet benchmark, Python {sys.version.split()[0]}"
          f"{', quick' if args.quick else ''}; ns per call, min of {repeats} repeats")
    print(header)
    print("-" * len(header))
    met_count = 0
    for label, op, ours, ref_label, ref, target, peer in rows:
        ratio = ours / ref
        met = ratio <= target
        met_count += met
        peer_text = f"{peer:12.0f} {ours / peer:6.2f}" if peer is not None else f"{'':12} {'':6}"
        print(f"{label:<34} {op:<6} {ours:10.0f} {ref_label:>9} {ref:9.0f} {ratio:6.2f} "
              f"{'<=' + format(target, '.2f'):>7} {'yes' if met else 'NO':>4} {peer_text}")
    print("-" * len(header))
    print(f"{met_count} of {len(rows)} targets met. 'reference' is struct doing the same work, "
          "or, for (json) rows, the same recipe with interned keys.")


if __name__ == "__main__":
    main()
